#pragma once
// What the save and restore tests compare: a result's trees and partitions,
// and the bytes recovered from it.

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/SearchedPartitionInfo.h"
#include "model/QXPublic.h"
#include "model/QXUIScan.h"
#include "recovery/DataRecovery.h"
#include "recovery/FileReader.h"
#include "foundation/ByteOrder.h"
#include "model/ScanResultFile.h"
#include "support/TempDir.h"

namespace save_restore_test {

// The writers of a result's volumes: the bridge keeps a quick scan's; a deep
// scan's come from its controller, one per volume root, released with this.
class Writers {
public:
    explicit Writers(QXUIScan& scan) : m_scan(scan) {}
    ~Writers() {
        for (auto& [root, writer] : m_taken)
            if (writer) writer->Release();
    }
    IDataRecovery* For(IFileNode* node) {
        if (IDataRecovery* kept = m_scan.GetFileNodeDataRecover(node)) return kept;
        IFilesystemNode* root = QXCPPPublic::GetFileSystemNode(node);
        IRecoveryController* controller = m_scan.GetRecoveryController();
        if (root == nullptr || controller == nullptr) return nullptr;
        auto it = m_taken.find(root);
        if (it == m_taken.end())
            it = m_taken
                     .emplace(root, controller->GetDataRecovery(
                                        static_cast<_tagSearcherType>(QXCPPPublic::GetNodeSearcheType(root))))
                     .first;
        return it->second;
    }

private:
    QXUIScan& m_scan;
    std::map<IFileNode*, IDataRecovery*> m_taken;
};

// Everything of a result the user sees or recovers through: each node's
// path, size, times, flags, runs and partition index, and each volume's
// partition records.
inline std::multiset<std::string> Snapshot(QXUIScan& scan) {
    std::multiset<std::string> out;
    Writers writers(scan);
    for (IFilesystemNode* root : scan.GetFileSystemNode()) {
        std::ostringstream r;
        r << "root " << root->GetFileName() << " type " << QXCPPPublic::GetNodeSearcheType(root);
        if (auto* writer = dynamic_cast<CDataRecovery*>(writers.For(root)))
            for (CSearchedPartitionInfo* p : writer->GetSearchedPartition()) {
                if (p == nullptr) continue;
                SearchedPartitionFields f = p->Fields();
                f.reservedWord = 0;
                r << " partition " << f.partitionIndex << ',' << f.fileSystemType << ',' << f.sectorsPerCluster << ','
                  << f.startSector << ',' << f.cluster0Sector << ',' << f.sectorSize << ',' << f.totalSectors;
            }
        out.insert(r.str());
        std::deque<std::pair<IFileNode*, std::string>> queue{{root, ""}};
        while (!queue.empty()) {
            auto [folder, path] = queue.front();
            queue.pop_front();
            for (IFileNode* n = folder->GetFirstChild(); n != nullptr; n = n->GetNextNode()) {
                const std::string p = path + "/" + n->GetFileName();
                if (n->IsDirectory()) queue.emplace_back(n, p);
                auto* c = dynamic_cast<CFileNode*>(n);
                std::ostringstream s;
                s << p << ' ' << n->GetFileSize() << ' ' << n->GetAttribute() << ' ' << n->GetCreationTime() << ' '
                  << n->GetModificationTime() << ' ' << n->GetLastAccessTime() << ' ' << n->IsDirectory()
                  << n->IsDeleted() << n->IsCompressed() << " part " << c->GetBelongedPartition() << " meta "
                  << c->GetMetadataStartPosition() << " runs";
                if (IDataRunList* runs = c->GetDataRunList()) {
                    CDataRunWalker walk(runs);
                    for (const DataRun* run = walk.First(); run; run = walk.Next())
                        s << ' ' << run->start << '+' << run->length;
                }
                out.insert(s.str());
            }
        }
    }
    return out;
}

// The bytes of every deleted file of the result, by path, read through the
// bridge's reader of its volume.
inline std::map<std::string, std::vector<std::uint8_t>> Recover(QXUIScan& scan, const std::string& dir) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    Writers writers(scan);
    int n = 0;
    for (IFilesystemNode* root : scan.GetFileSystemNode()) {
        std::deque<std::pair<IFileNode*, std::string>> queue{{root, root->GetFileName()}};
        while (!queue.empty()) {
            auto [folder, path] = queue.front();
            queue.pop_front();
            for (IFileNode* node = folder->GetFirstChild(); node != nullptr; node = node->GetNextNode()) {
                const std::string p = path + "/" + node->GetFileName();
                if (node->IsDirectory()) {
                    queue.emplace_back(node, p);
                    continue;
                }
                if (!node->IsDeleted() || node->GetFileSize() == 0) continue;
                IDataRecovery* writer = writers.For(node);
                EXPECT_NE(writer, nullptr) << p;
                if (writer == nullptr) continue;
                IFileReader* reader = writer->SetRecoverNode(node);
                EXPECT_NE(reader, nullptr) << p;
                if (reader == nullptr) continue;
                reader->Release();
                const std::string out = dir + "/" + std::to_string(n++);
                EXPECT_FALSE(IsEngineFailure(writer->RecoverTo(out.c_str(), nullptr, 0))) << p;
                files[p] = quillory_test::ReadAll(out);
            }
        }
    }
    return files;
}

// A scan-result file as records: everything up to the node frame's data
// verbatim, then per volume its record and partitions, and its node records
// in node-ID order (a replay need not keep the saved sibling order). Empty
// when the file is not laid out as written.
inline std::vector<std::string> CanonicalRecords(const std::string& path) {
    using namespace scanresult;
    const std::vector<std::uint8_t> b = quillory_test::ReadAll(path);
    std::vector<std::string> out;
    std::size_t at = 0;
    auto bytes = [&](std::size_t from, std::size_t to) { return std::string(b.begin() + from, b.begin() + to); };
    auto u32 = [&](std::size_t pos) { return byteorder::LE32(b.data() + pos); };
    // The node record starting at `pos`: its end.
    auto nodeEnd = [&](std::size_t pos) {
        const std::size_t names = pos + kNodeHeadSize + 16 * std::size_t{u32(pos + 58)};
        return names + 4 + u32(names) + kNodeTailSize;
    };
    // Header, controller frame, device frame, node frame header, volume count.
    at = 132 + 36 + 12;
    at += 36 + u32(at + 32);
    at += 36 + 8;
    if (b.size() < at) return {};
    out.push_back(bytes(0, at));
    const std::uint64_t volumes = byteorder::LE64(b.data() + at - 8);
    for (std::uint64_t v = 0; v < volumes; ++v) {
        const std::size_t start = at;
        at = nodeEnd(at + 4);
        at += 4;            // searcher type
        at += 4 + u32(at);  // volume name
        at += 4 + kPartitionEntrySize * std::size_t{u32(at)};
        out.push_back(bytes(start, at));
        std::vector<std::pair<std::int64_t, std::string>> nodes;
        while (u32(at) == kNodeMark) {
            const std::size_t end = nodeEnd(at + 4);
            nodes.emplace_back(static_cast<std::int64_t>(byteorder::LE64(b.data() + at + 4)), bytes(at, end));
            at = end;
        }
        std::sort(nodes.begin(), nodes.end());
        for (auto& [id, record] : nodes) out.push_back(record);
        out.push_back(bytes(at, at + 4));
        at += 4;
    }
    EXPECT_EQ(at, b.size());
    return out;
}

}  // namespace save_restore_test
