// Test doubles shared by the recovery tests: a settable node, a recording
// result sink and a scripted progress sink.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/Progress.h"

class FakeNode : public CFileNode {
public:
    FakeNode(int64_t id, int64_t parentId, std::string name, bool dir, bool deleted = true, int64_t size = 100,
             _tagSearcherType type = SEARCHER_NTFS)
        : m_name(std::move(name)), m_size(size), m_dir(dir), m_deleted(deleted), m_type(type) {
        m_nodeId = id;
        m_parentNodeId = parentId;
    }
    ~FakeNode() override { ++s_destroyed; }

    const char* GetFileName() override { return m_name.c_str(); }
    int64_t GetFileSize() override { return m_size; }
    uint32_t GetAttribute() override { return m_dir ? 0x10u : 0x20u; }
    int64_t GetCreationTime() override { return m_ctime; }
    int64_t GetModificationTime() override { return m_mtime; }
    int64_t GetLastAccessTime() override { return m_atime; }
    int IsDirectory() override { return m_dir ? 1 : 0; }
    int IsDeleted() override { return m_deleted ? 1 : 0; }
    _tagSearcherType GetSearcheType() const override { return m_type; }
    IFileNode* Clone() override { return new FakeNode(*this); }
    void MarkDeleted() override { m_deleted = true; }
    void FilterFileNameByDot() override { m_name = CFileNode::FilterFileNameByDot(m_name); }
    void UpdateFileSize(int64_t size) override { m_size = size; }
    void SetFileName(const char* name) override {
        if (name != nullptr) m_name = name;
    }

    void SetMTime(int64_t t) { m_mtime = t; }
    void SetCTime(int64_t t) { m_ctime = t; }
    void SetSize(int64_t s) { m_size = s; }
    void SetPartition(uint16_t p) { SetBelongedPartition(p); }
    void SetRuns(IDataRunList* runs) { m_dataRunList = runs; }
    void SetCompressedFlag() { m_compressed = 1; }

    static inline int s_destroyed = 0;

private:
    std::string m_name;
    int64_t m_size;
    bool m_dir;
    bool m_deleted;
    _tagSearcherType m_type;
    int64_t m_ctime = 0, m_mtime = 0, m_atime = 0;
};

// Keeps every batch and root it is shown.
class RecordingTree : public IDrirectoryTree {
public:
    struct Batch {
        std::vector<IFileNode*> nodes;
        int flag;
    };
    void ShowNodes(IFileNode** nodes, unsigned count, int flag) override {
        Batch b{std::vector<IFileNode*>(nodes, nodes + count), flag};
        for (IFileNode* n : b.nodes) all.push_back(n);
        batches.push_back(std::move(b));
    }
    void ShowFilesystemNode(IFilesystemNode* root) override { roots.push_back(root); }

    // The shown node with this name, or null.
    IFileNode* Find(const std::string& name) const {
        for (IFileNode* n : all)
            if (n->GetFileName() != nullptr && name == n->GetFileName()) return n;
        return nullptr;
    }
    // "/root/a/b" built by walking parents.
    static std::string PathOf(IFileNode* n) {
        std::string path;
        int guard = 0;
        for (IFileNode* p = n; p != nullptr && guard < 1000; p = p->GetParent(), ++guard)
            path = "/" + std::string(p->GetFileName() ? p->GetFileName() : "?") + path;
        return path;
    }

    std::vector<Batch> batches;
    std::vector<IFileNode*> all;
    std::vector<IFilesystemNode*> roots;
};

// Records progress; Continued answers from a script (default: go on), and can
// block while paused until Resume.
class FakeProgress : public IProgress {
public:
    void UpdateProgress(_PROGRESS_INFO* info) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        records.push_back(*info);
    }
    int Continued() override {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++continuedCalls;
        m_cv.wait(lock, [this] { return !m_paused; });
        if (stopAfter >= 0 && continuedCalls > stopAfter) return 0;
        return 1;
    }
    int shouldBuild() override { return build; }

    void Pause() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_paused = true;
    }
    void Resume() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_paused = false;
        }
        m_cv.notify_all();
    }
    int ContinuedCalls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return continuedCalls;
    }

    std::vector<_PROGRESS_INFO> records;
    int continuedCalls = 0;
    int stopAfter = -1;  // answer 0 once Continued was called more than this many times
    int build = 1;

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_paused = false;
};

#include <cstring>

#include "foundation/StorageDevice.h"

// A device over bytes in memory (512-byte sectors by default).
class MemDevice : public IStorageDevice {
public:
    explicit MemDevice(size_t sectors, uint32_t sectorSize = 512, int type = STORAGE_DEVICE_VOLUME)
        : bytes(sectors * sectorSize, 0), m_sectorSize(sectorSize), m_type(type) {}
    ~MemDevice() override { delete m_data; }
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, int64_t first, int64_t count) override {
        if (buffer == nullptr || first < 0 || count <= 0) return 0;
        const uint64_t off = static_cast<uint64_t>(first) * m_sectorSize;
        const uint64_t len = static_cast<uint64_t>(count) * m_sectorSize;
        if (off + len > bytes.size()) return 0;
        std::memcpy(buffer, bytes.data() + off, len);
        ++reads;
        return 1;
    }
    uint32_t GetSectorSize() override { return m_sectorSize; }
    int64_t GetTotalSectors() override { return static_cast<int64_t>(bytes.size() / m_sectorSize); }
    int IOCtl(uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data; }
    void SetPrivateData(IStorageDeviceData* data) override {
        delete m_data;
        m_data = data;
    }
    int GetType() override { return m_type; }
    EngineResult GetLastError() override { return 0; }

    std::vector<unsigned char> bytes;
    int reads = 0;

private:
    uint32_t m_sectorSize;
    int m_type;
    IStorageDeviceData* m_data = nullptr;
};
