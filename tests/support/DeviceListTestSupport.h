#pragma once
// Support for the partition-table and device-list tests: an image-file disk
// double, scratch folders, shell commands, and loop devices that are always
// detached again.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "foundation/StorageDevice.h"
#include "storage/DeviceData.h"
#include "storage/DeviceEnum.h"
#include "support/TempDir.h"

namespace devlist_test {

// Under $TMPDIR (or /tmp), with the path()/operator/ spelling these tests use.
class ScratchDir : public quillory_test::TempDir {
public:
    ScratchDir() : TempDir("quillory-devlist", {std::filesystem::temp_directory_path().string()}) {}
    const std::string& path() const { return Path(); }
    std::string operator/(const std::string& rel) const { return File(rel); }
};

// Runs a shell command; its output is returned, the exit status in `ok`.
inline std::string Capture(const std::string& cmd, bool* ok = nullptr) {
    std::string out;
    FILE* p = popen(("{ " + cmd + " ; } 2>/dev/null").c_str(), "r");
    if (!p) {
        if (ok) *ok = false;
        return out;
    }
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
    int rc = pclose(p);
    if (ok) *ok = rc == 0;
    return out;
}

inline bool Shell(const std::string& cmd) {
    bool ok = false;
    Capture(cmd, &ok);
    return ok;
}

// A disk read from an image file (or any file) with a chosen sector size,
// carrying a disk record: enough for the partition-table reader.
class ImageDisk : public IStorageDevice {
public:
    ImageDisk(const std::string& path, uint32_t sectorSize) : m_sectorSize(sectorSize) {
        m_fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (m_fd >= 0 && fstat(m_fd, &st) == 0) m_total = st.st_size / sectorSize;
        auto* rec = new CCollectDiskDeviceInfoStruct{};
        rec->sectorSize = sectorSize;
        rec->totalSectors = m_total;
        m_holder.reset(CreateDiskDeviceData(rec));
    }
    ~ImageDisk() override {
        if (m_fd >= 0) close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    int Open(char*) override { return m_fd >= 0; }
    int Close() override { return 0; }
    int ReadSector(void* buffer, int64_t first, int64_t count) override {
        ++reads;
        if (failReads || !buffer || first < 0 || count <= 0) {
            m_error = MakeEngineResult(ENGINE_MODULE_STORAGE, 1, failReads ? 1 : 5);
            return 0;
        }
        size_t len = static_cast<size_t>(count) * m_sectorSize;
        std::memset(buffer, 0, len);
        ssize_t n = pread(m_fd, buffer, len, static_cast<off_t>(first) * m_sectorSize);
        if (n < 0) {
            m_error = MakeEngineResult(ENGINE_MODULE_STORAGE, 1, 1);
            return 0;
        }
        m_error = ENGINE_OK;
        return 1;  // past the end reads as zeros, as the shared read path does
    }
    uint32_t GetSectorSize() override { return m_sectorSize; }
    int64_t GetTotalSectors() override { return m_total; }
    int IOCtl(uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_holder.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_holder.reset(data); }
    int GetType() override { return type; }
    EngineResult GetLastError() override { return m_error; }

    int type = STORAGE_DEVICE_DISK;
    bool failReads = false;
    int reads = 0;

private:
    int m_fd = -1;
    uint32_t m_sectorSize;
    int64_t m_total = 0;
    std::unique_ptr<IStorageDeviceData> m_holder;
    EngineResult m_error = ENGINE_OK;
};

// True when this process may attach loop devices (root with a loop driver).
inline bool CanUseLoopDevices() { return geteuid() == 0 && access("/dev/loop-control", R_OK | W_OK) == 0; }

// A device listing that takes only the disk named `name` ("loop3"), so that
// a test sees its own loop disk and never the machine's.
inline EnumDeviceConfig OnlyDisk(const std::string& name) {
    EnumDeviceConfig config;
    config.acceptDisk = [name](const std::string& n) { return n == name; };
    return config;
}

// A loop device over an image, detached when the object goes, whatever the
// test's outcome. Partition nodes are made with partx, since no udev daemon
// runs to make them.
class LoopDevice {
public:
    LoopDevice(const std::string& image, uint32_t sectorSize = 512, bool partitions = true) {
        std::string cmd = "losetup -f --show";
        if (sectorSize != 512) cmd += " --sector-size " + std::to_string(sectorSize);
        if (partitions) cmd += " -P";
        cmd += " '" + image + "'";
        bool ok = false;
        std::string out = Capture(cmd, &ok);
        while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
        if (ok && out.rfind("/dev/loop", 0) == 0) {
            m_path = out;
            if (partitions) {
                // -P may or may not have made the nodes yet; partx fills in what is missing.
                Shell("partx -a '" + m_path + "'");
            }
        }
    }
    ~LoopDevice() { Detach(); }
    LoopDevice(const LoopDevice&) = delete;
    LoopDevice& operator=(const LoopDevice&) = delete;

    void Detach() {
        if (m_path.empty()) return;
        Shell("partx -d '" + m_path + "'");
        Shell("losetup -d '" + m_path + "'");
        m_path.clear();
    }
    bool ok() const { return !m_path.empty(); }
    const std::string& path() const { return m_path; }
    std::string name() const { return m_path.empty() ? "" : m_path.substr(5); }  // "loopN"

private:
    std::string m_path;
};

}  // namespace devlist_test
