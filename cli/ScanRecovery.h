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

// Copies the deleted (with `all`, every) file the scan showed to `dir`
// under its tree path, through the writer of the searcher that found it.
// `used` holds the paths taken so far across volumes.
void RecoverFiles(IRecoveryController* controller, const std::vector<IFileNode*>& shown, bool all,
                  const std::string& dir, std::set<std::string>& used, std::int64_t& written,
                  std::int64_t& failed);
