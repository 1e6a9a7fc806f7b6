#include "ScanRecovery.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <unistd.h>

#include "foundation/FileNode.h"
#include "platform/SafeDestination.h"
#include "platform/SameDevice.h"
#include "recovery/DataRecovery.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryController.h"

using namespace safe_destination;

std::string PathOf(IFileNode* n) {
    std::string path = n->GetFileName();
    for (IFileNode* p = n->GetParent(); p != nullptr; p = p->GetParent())
        path = std::string(p->GetFileName()) + "/" + path;
    return path;
}

bool RecoveryFolderAllowed(const std::string& source, const std::string& dir) {
    std::string why;
    if (!SameDeviceCheck().WritesOntoSource(source, dir, why)) return true;
    std::fprintf(stderr, "quillory-scan: refusing to recover into %s: %s; choose a folder on another disk\n",
                 dir.c_str(), why.c_str());
    return false;
}

namespace {

// Writes the node under the folder `rootFd` (named `dir`) at its tree path.
// True when the whole file was written; otherwise `why` says what happened
// and nothing is left but a "NAME.partial" holding what could be read.
bool RecoverNode(IDataRecovery* writer, IFileNode* node, int rootFd, const std::string& dir,
                 std::set<std::string>& used, std::string& why) {
    std::vector<std::string> folders;
    for (IFileNode* p = node->GetParent(); p != nullptr; p = p->GetParent())
        folders.insert(folders.begin(), SafeComponent(p->GetFileName() ? p->GetFileName() : ""));
    const std::string name = SafeComponent(node->GetFileName() ? node->GetFileName() : "");
    IFileReader* reader = nullptr;
    if (node->GetFileSize() != 0) {
        reader = writer->SetRecoverNode(node);
        if (reader == nullptr) {
            why = "its data cannot be located on the source";
            return false;
        }
        reader->Release();
    }
    const int dirFd = OpenFolderBeneath(rootFd, folders, true);
    if (dirFd < 0) {
        why = errno == ELOOP || errno == ENOTDIR ? "a symbolic link or a file is in the way of its folder"
                                                 : std::string("cannot make its folder: ") + std::strerror(errno);
        return false;
    }
    std::string folder = dir;
    for (const std::string& f : folders) folder += "/" + f;
    std::string chosen;
    const int fd = CreateNewFile(dirFd, name, chosen);
    if (fd < 0) {
        why = std::string("cannot create it: ") + std::strerror(errno);
        close(dirFd);
        return false;
    }
    const std::string path = folder + "/" + chosen;
    RecoveryOutcome outcome;
    EngineResult r =
        node->GetFileSize() == 0 ? ENGINE_OK : writer->RecoverToDescriptor(fd, path.c_str(), nullptr, 0, &outcome);
    if (close(fd) != 0 && !IsEngineFailure(r)) {
        outcome.writeErrno = errno;
        r = DATA_RECOVERY_WRITE_FAILED;
    }
    bool ok = !IsEngineFailure(r);
    if (ok) {
        used.insert(path);
    } else if (outcome.readError != FILE_READ_OK && outcome.writeErrno == 0 && outcome.bytesRead > 0) {
        // What could be read is kept, under a name that says it is not whole.
        std::string partial;
        why = "only " + std::to_string(outcome.bytesRead) + " of " + std::to_string(outcome.size) +
              " bytes could be read (" + FileReadErrorText(outcome.readError) + ")";
        if (RenameToFreeName(dirFd, chosen, chosen + ".partial", partial)) {
            why += "; kept as " + folder + "/" + partial;
        } else {
            unlinkat(dirFd, chosen.c_str(), 0);
        }
    } else {
        if (outcome.readError != FILE_READ_OK && outcome.writeErrno == 0)
            why = std::string("nothing could be read: ") + FileReadErrorText(outcome.readError);
        else if (outcome.writeErrno != 0)
            why = std::string("cannot write it: ") + std::strerror(outcome.writeErrno);
        else
            why = "the writer refused it";
        unlinkat(dirFd, chosen.c_str(), 0);  // no empty or half-written file stays behind
    }
    close(dirFd);
    return ok;
}

}  // namespace

void RecoverFiles(IRecoveryController* controller, const std::vector<IFileNode*>& shown, bool all,
                  const std::string& dir, std::set<std::string>& used, std::int64_t& written, std::int64_t& failed) {
    const int rootFd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0) {
        std::fprintf(stderr, "quillory-scan: cannot open the folder %s: %s\n", dir.c_str(), std::strerror(errno));
    }
    std::map<int, IDataRecovery*> writers;
    for (IFileNode* n : shown) {
        if (n->IsDirectory()) continue;
        // Nodes of classes that set no searcher take their tree root's.
        int type = n->GetSearcheType();
        for (IFileNode* p = n->GetParent(); type == SEARCHER_DEFAULT && p != nullptr; p = p->GetParent())
            type = p->GetSearcheType();
        // Raw-found files are listed as existing (nothing marks them
        // deleted), yet each is lost data: they are copied without --all.
        // The tag tree's files are read by the raw search's writer.
        const bool raw = type == SEARCHER_RAW || type == SEARCHER_RAW_TAG;
        if (type == SEARCHER_RAW_TAG) type = SEARCHER_RAW;
        if (!all && !raw && !n->IsDeleted()) continue;
        auto it = writers.find(type);
        if (it == writers.end())
            it = writers.emplace(type, controller->GetDataRecovery(static_cast<_tagSearcherType>(type))).first;
        std::string why = rootFd < 0 ? "the destination folder cannot be opened" : "no writer for its file system";
        if (rootFd >= 0 && it->second != nullptr && RecoverNode(it->second, n, rootFd, dir, used, why)) {
            ++written;
        } else {
            ++failed;
            std::fprintf(stderr, "quillory-scan: could not recover %s: %s\n", PathOf(n).c_str(), why.c_str());
        }
    }
    for (auto& [type, writer] : writers)
        if (writer) writer->Release();
    if (rootFd >= 0) close(rootFd);
}
