#include "model/RecoveryPaths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "foundation/Log.h"
#include "foundation/Types.h"
#include "model/QXUIRecovery.h"

namespace fs = std::filesystem;

namespace {

// Deeper trees are taken as damaged (or looped) rather than walked forever.
constexpr int kMaxParentSteps = 1024;
// Past this many same-named files or folders something else is wrong.
constexpr int kMaxCounter = 1000000;

std::mutex g_clockLock;
std::function<std::time_t()> g_clock;

std::time_t Now() {
    std::lock_guard<std::mutex> hold(g_clockLock);
    return g_clock ? g_clock() : std::time(nullptr);
}

std::string Today() {
    const std::time_t now = Now();
    std::tm local{};
    char text[32] = {};
    if (localtime_r(&now, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d", &local) == 0) return "";
    return text;
}

std::string Counter(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d", n);
    return text;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found && !ec;
}

// Each folder of the path in turn. std::filesystem::create_directories
// refuses deep trees (about 2,000 bytes) that the kernel takes; a recovered
// tree may be that deep.
bool MakeFolders(const std::string& path) {
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        const std::string prefix = path.substr(0, at);
        if (prefix.empty()) continue;
        if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            LogDiagnostic("cannot create the folder %s: %s\n", prefix.c_str(), std::strerror(errno));
            return false;
        }
    }
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

RecoveryFolderIndex& RecoveryFolderIndex::instance() { return QXUIRecovery::instance().FolderIndex(); }

int RecoveryFolderIndex::GetCreateDirIndex(int searcherType) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_folders.find(searcherType);
    return it == m_folders.end() ? 0 : it->second.first;
}

std::string RecoveryFolderIndex::GetCreateDirLabel(int searcherType) {
    std::lock_guard<std::mutex> hold(m_lock);
    auto it = m_folders.find(searcherType);
    return it == m_folders.end() ? std::string() : it->second.second;
}

void RecoveryFolderIndex::SetCreateDirIndex(int searcherType, int number, const std::string& label) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_folders[searcherType] = {number, label};
}

void RecoveryFolderIndex::ClearCreateDirIndex() {
    std::lock_guard<std::mutex> hold(m_lock);
    m_folders.clear();
}

void SetRecoveryClock(std::function<std::time_t()> clock) {
    std::lock_guard<std::mutex> hold(g_clockLock);
    g_clock = std::move(clock);
}

namespace recovery_paths {

std::string GetPathByFileNode(IFileNode* node) {
    std::string path;
    for (int steps = 0; node != nullptr && steps <= kMaxParentSteps; ++steps) {
        IFileNode* parent = node->GetParent();
        const char* name = parent != nullptr ? node->GetFileName() : node->GetVolumeName();
        path.insert(0, name != nullptr ? name : "");
        path.insert(0, "/");
        node = parent;
    }
    return path;
}

IFilesystemNode* GetFileSystemNode(IFileNode* node) {
    if (node == nullptr) return nullptr;
    for (int steps = 0; steps < kMaxParentSteps; ++steps) {
        IFileNode* parent = node->GetParent();
        if (parent == nullptr) break;
        node = parent;
    }
    if (node->GetParent() != nullptr) return nullptr;
    return dynamic_cast<IFilesystemNode*>(node);
}

int GetNodeSearcheType(IFileNode* node) {
    IFilesystemNode* root = GetFileSystemNode(node);
    return root == nullptr ? SEARCHER_DEFAULT : static_cast<int>(root->GetSearcheType());
}

std::string GetFileSystemStrByType(int searcherType) {
    const std::string base = "Recovered Data" + Today();
    switch (searcherType) {
    case SEARCHER_HFSPLUS:
        return "HFS+_" + base + "_";
    case SEARCHER_FAT:
        return "Fat_" + base + "_";
    case SEARCHER_EXFAT:
        return "ExFat_" + base + "_";
    case SEARCHER_RAW:
        return "RAW_";
    case SEARCHER_RAW_TAG:
        return "Lable_RAW_" + base + "_";
    case SEARCHER_APFS:
        return "APFS_" + base + "_";
    default:
        return "";
    }
}

std::string SafeComponent(const char* name) {
    std::string out = name != nullptr ? name : "";
    if (out.empty() || out == ".") return "_";
    if (out == "..") return "__";
    for (char& c : out)
        if (c == '/' || c == '\0') c = '_';
    return out;
}

}  // namespace recovery_paths

char* CreateRecoveryFilePathByNode(IFileNode* node, const char* destination) {
    return CreateRecoveryFilePathByNode(node, destination, RecoveryFolderIndex::instance());
}

char* CreateRecoveryFilePathByNode(IFileNode* node, const char* destination, RecoveryFolderIndex& index) {
    using namespace recovery_paths;
    if (node == nullptr || destination == nullptr || !node->IsNodeShow()) return nullptr;
    const int type = GetNodeSearcheType(node);
    if (type == SEARCHER_DEFAULT) return nullptr;

    std::string base = destination;
    if (base.empty() || base.back() != '/') base += '/';

    std::string folder;
    const int number = index.GetCreateDirIndex(type);
    if (number > 0) {
        folder = base + index.GetCreateDirLabel(type) + Counter(number);
    } else {
        const std::string label = GetFileSystemStrByType(type);
        int n = 1;
        for (; n < kMaxCounter; ++n) {
            folder = base + label + Counter(n);
            if (!Exists(folder)) break;
        }
        if (n >= kMaxCounter || !MakeFolders(folder)) return nullptr;
        index.SetCreateDirIndex(type, n, label);
    }

    // Built from the names, not from the display path: each name is one
    // component under the numbered folder, whatever bytes it holds.
    std::vector<std::string> names;
    IFileNode* at = node;
    for (int steps = 0; at != nullptr && steps <= kMaxParentSteps; ++steps) {
        IFileNode* parent = at->GetParent();
        names.push_back(SafeComponent(parent != nullptr ? at->GetFileName() : at->GetVolumeName()));
        at = parent;
    }
    std::string parentPath = folder;
    for (std::size_t i = names.size(); i-- > 1;) parentPath += "/" + names[i];
    const std::string& fileName = names.front();

    if (node->IsDirectory()) {
        MakeFolders(parentPath + "/" + fileName);
        return nullptr;
    }

    std::string candidate = parentPath + "/" + fileName;
    if (Exists(candidate)) {
        const std::size_t dot = fileName.rfind('.');
        const std::string stem = dot == std::string::npos ? fileName : fileName.substr(0, dot);
        const std::string extension = dot == std::string::npos ? "" : fileName.substr(dot);
        int k = 1;
        for (; k < kMaxCounter; ++k) {
            candidate = parentPath + "/" + stem + "_" + Counter(k) + extension;
            if (!Exists(candidate)) break;
        }
        if (k >= kMaxCounter) return nullptr;
    }
    // Most files land in a folder an earlier file of the recovery made: one
    // stat instead of a mkdir per level.
    struct stat st;
    if ((::stat(parentPath.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) && !MakeFolders(parentPath)) return nullptr;
    return strdup(candidate.c_str());
}
