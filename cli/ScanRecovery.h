// Copying found files of a finished scan to a folder, for quillory-scan.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

class IFileNode;
class IRecoveryController;

// The path of a node from its tree root, as the listing prints it.
std::string PathOf(IFileNode* n);

// False, with the reason on standard error, when writing under `dir` could
// write onto `source` (the device scanned, or the image a mounted loop device
// reads). Call before anything is written, `dir` created included.
bool RecoveryFolderAllowed(const std::string& source, const std::string& dir);

// Copies the deleted and raw-found (with `all`, every) file the scan showed to `dir`
// under its tree path, through the writer of the searcher that found it.
// Files land under `dir` or nowhere (no symbolic link inside it is
// followed), never replace anything (a taken name gets "name (1).ext"), and
// a file that could not be wholly read counts as failed, kept only as
// "NAME.partial" when part of it could be read; each failure's reason goes to
// standard error. `used` collects the paths written.
void RecoverFiles(IRecoveryController* controller, const std::vector<IFileNode*>& shown, bool all,
                  const std::string& dir, std::set<std::string>& used, std::int64_t& written, std::int64_t& failed);
