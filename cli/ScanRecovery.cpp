#include "ScanRecovery.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <sys/stat.h>

#include "foundation/FileNode.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryController.h"

std::string PathOf(IFileNode* n) {
    std::string path = n->GetFileName();
    for (IFileNode* p = n->GetParent(); p != nullptr; p = p->GetParent())
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

namespace {

// A name from disk as one path component: never empty, ".", ".." or
// holding "/", so a written path cannot leave the destination.
std::string SafeComponent(const char* name) {
    std::string c = name ? name : "";
    for (char& ch : c)
        if (ch == '/') ch = '_';
    if (c.empty() || c == "." || c == "..") c = "_" + c;
    return c;
}

bool MakeFolders(const std::string& path) {
    for (std::size_t at = 1; (at = path.find('/', at)) != std::string::npos; ++at) {
        const std::string folder = path.substr(0, at);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Writes the node under DIR at its tree path; a path taken already gets
// "_NNNN" added. True when the writer copied it.
bool RecoverNode(IDataRecovery* writer, IFileNode* node, const std::string& dir, std::set<std::string>& used) {
    std::string path = SafeComponent(node->GetFileName());
    for (IFileNode* p = node->GetParent(); p != nullptr; p = p->GetParent())
        path = SafeComponent(p->GetFileName()) + "/" + path;
    path = dir + "/" + path;
    std::string unique = path;
    for (int n = 1; used.count(unique) != 0; ++n) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, "_%04d", n);
        unique = path + suffix;
    }
    used.insert(unique);
    if (!MakeFolders(unique)) return false;
    if (node->GetFileSize() == 0) {  // nothing to read: an empty file
        FILE* f = std::fopen(unique.c_str(), "wb");
        return f != nullptr && std::fclose(f) == 0;
    }
    IFileReader* reader = writer->SetRecoverNode(node);
    if (reader == nullptr) return false;
    reader->Release();
    return !IsEngineFailure(writer->RecoverTo(unique.c_str(), nullptr, 0));
}

}  // namespace

void RecoverFiles(IRecoveryController* controller, const std::vector<IFileNode*>& shown, bool all,
                  const std::string& dir, std::set<std::string>& used, std::int64_t& written,
                  std::int64_t& failed) {
    std::map<int, IDataRecovery*> writers;
    for (IFileNode* n : shown) {
        if (n->IsDirectory() || (!all && !n->IsDeleted())) continue;
        // Nodes of classes that set no searcher take their tree root's.
        int type = n->GetSearcheType();
        for (IFileNode* p = n->GetParent(); type == SEARCHER_DEFAULT && p != nullptr; p = p->GetParent())
            type = p->GetSearcheType();
        auto it = writers.find(type);
        if (it == writers.end())
            it = writers.emplace(type, controller->GetDataRecovery(static_cast<_tagSearcherType>(type))).first;
        if (it->second != nullptr && RecoverNode(it->second, n, dir, used)) {
            ++written;
        } else {
            ++failed;
            std::fprintf(stderr, "quillory-scan: could not recover %s\n", PathOf(n).c_str());
        }
    }
    for (auto& [type, writer] : writers)
        if (writer) writer->Release();
}

