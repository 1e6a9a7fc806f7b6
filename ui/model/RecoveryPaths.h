#pragma once
// Where recovered files go: under the destination, in a numbered folder per
// file system of origin, at the path the file had on its volume.

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "foundation/FileNode.h"

// The numbered folder already made for each searcher type in the running
// recovery, kept with its label: a recovery that runs past midnight stays in
// the folder it began, whose label carries the first day's date.
class RecoveryFolderIndex {
public:
    // The recovery bridge's (QXUIRecovery::instance()).
    static RecoveryFolderIndex& instance();

    // 0 when none was made yet in this recovery.
    int GetCreateDirIndex(int searcherType);
    std::string GetCreateDirLabel(int searcherType);
    void SetCreateDirIndex(int searcherType, int number, const std::string& label);
    // A new recovery opens new folders.
    void ClearCreateDirIndex();

private:
    std::mutex m_lock;
    std::map<int, std::pair<int, std::string>> m_folders;
};

// The clock behind the date in folder labels; tests fix "today".
void SetRecoveryClock(std::function<std::time_t()> clock);

namespace recovery_paths {

// The node's path as the front end shows it: "/volume/folder/.../name".
std::string GetPathByFileNode(IFileNode* node);
// The volume root at most 1,024 parent steps up, or null.
IFilesystemNode* GetFileSystemNode(IFileNode* node);
// The root's searcher type; 38 (none) without a root.
int GetNodeSearcheType(IFileNode* node);
// The label of the numbered folders of a searcher type, dated today.
std::string GetFileSystemStrByType(int searcherType);
// One path component made safe to create under the numbered folder: a name
// read from a damaged or hostile disk must not climb out of it.
std::string SafeComponent(const char* name);

}  // namespace recovery_paths

// The destination path of one node, malloc'd (the caller frees it), or null:
// for a hidden node, a node without a volume root, a folder (which is
// created), or when a folder cannot be created. `destination` ends with "/".
// The numbered folders are those of `folders`; without it, the recovery
// bridge's.
char* CreateRecoveryFilePathByNode(IFileNode* node, const char* destination);
char* CreateRecoveryFilePathByNode(IFileNode* node, const char* destination, RecoveryFolderIndex& folders);
