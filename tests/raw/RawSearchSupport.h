#pragma once
// Running the raw search over a device in tests: the driver fed block by
// block, its nodes collected by a BuilderDouble, and a found file's bytes
// read back through the recovery writer with the search's own partition
// record.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "raw/RAWSearchController.h"
#include "recovery/DataRecovery.h"
#include "recovery/FileReader.h"
#include "foundation/Progress.h"
#include "recovery/RecoveryFilter.h"
#include "support/BuilderDouble.h"

namespace rawtest {

// A committed sample's bytes: tests/data/raw/<group>/<name>; empty when the
// file cannot be read.
inline std::vector<std::uint8_t> ReadSample(const std::string& group, const std::string& name) {
    std::ifstream in(std::string(QUILLORY_SOURCE_DIR) + "/tests/data/raw/" + group + "/" + name, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A progress sink that answers "go on" a given number of times, then "stop".
class StopAfter : public IProgress {
public:
    explicit StopAfter(long calls) : m_left(calls) {}
    int Continued() override { return m_left < 0 || m_left-- > 0 ? 1 : 0; }
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int shouldBuild() override { return 1; }
    void Stop() { m_left = 0; }

private:
    long m_left;
};

struct Found {
    std::string name;
    std::string folder;
    std::int64_t start = -1;
    std::int64_t size = 0;
    IFileNode* node = nullptr;
};

class RawSearch {
public:
    explicit RawSearch(IStorageDevice* device, int blockSectors = 0) : m_device(device) {
        static const std::map<int, std::string> lists = {
            {1, "doc;pdf"}, {2, "jpg;png;gif;bmp;ico"}, {4, "mov"}, {8, "mp3"}, {16, "zip"}, {32, "mbox"}};
        std::map<int, std::string> copy = lists;
        CFileTypeManager::Initialze(copy);
        const std::uint32_t ss = device->GetSectorSize() ? device->GetSectorSize() : 512;
        m_block = blockSectors > 0 ? blockSectors : static_cast<int>(0x400000 / ss);
        search.SetDevice(device);
        search.SetBlockSize(m_block);
        search.SetDirecotryTreeBuilder(&builder);
        search.State().ResetForTest();
    }
    // PreparetoSearch, every block, EndSearch(build).
    void Run(IProgress* progress = nullptr, int build = 1) {
        if (progress) search.SetIProgressSink(progress);
        search.PreparetoSearch();
        const std::int64_t total = m_device->GetTotalSectors();
        for (std::int64_t first = 0; first < total; first += m_block)
            search.AnalyzeBlock(first, std::min<std::int64_t>(m_block, total - first));
        search.EndSearch(build);
    }
    // The files of tree 34 and 36, in the order they were handed over.
    std::vector<Found> Files() const {
        std::vector<Found> out;
        for (IFileNode* n : builder.nodes) {
            if (n->IsDirectory()) continue;
            Found f;
            f.name = n->GetFileName();
            f.size = n->GetFileSize();
            f.node = n;
            const std::string path = builder.PathBelow(n, 1);
            f.folder = path.substr(0, path.find('/'));
            auto* fn = dynamic_cast<CFileNode*>(n);
            IDataRunList* runs = fn ? fn->GetDataRunList() : nullptr;
            if (DataRun* first = runs ? runs->GetFirst() : nullptr) f.start = first->start;
            out.push_back(f);
        }
        return out;
    }
    // The found file's bytes through the recovery writer; empty on failure.
    std::vector<std::uint8_t> Read(IFileNode* node) {
        CDataRecovery writer;
        if (IsEngineFailure(writer.Initialize(&search, m_device))) return {};
        IFileReader* reader = writer.SetRecoverNode(node);
        if (reader == nullptr) return {};
        std::vector<std::uint8_t> bytes(static_cast<std::size_t>(reader->GetDataSize()));
        int err = 0;
        const int got =
            reader->ReadData(0, reinterpret_cast<char*>(bytes.data()), static_cast<unsigned>(bytes.size()), &err);
        reader->Release();
        if (got != static_cast<int>(bytes.size())) return {};
        return bytes;
    }

    CRAWSearchController search;
    quillory_test::BuilderDouble builder;

private:
    IStorageDevice* m_device;
    int m_block;
};

}  // namespace rawtest
