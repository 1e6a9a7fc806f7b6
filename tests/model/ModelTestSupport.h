#pragma once
// Doubles and helpers of the UI model's tests: an enumerator with scripted
// disks and volumes, node chains, notification waits, and helper children.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "model/qt/AppInstance.h"
#include "model/qt/NotificationBus.h"
#include "recovery/FakeNode.h"
#include "storage/DeviceData.h"
#include "storage/DeviceEnum.h"

extern char** environ;

namespace model_test {

// Runs the event loop until `done` holds or `ms` milliseconds have passed;
// whether it came to hold. Posts from worker threads arrive through the loop.
inline bool SpinUntil(const std::function<bool()>& done, int ms) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

// A volume root of a fake tree: a volume name and a searcher type.
class FakeRoot : public FakeNode {
public:
    FakeRoot(std::string volume, _tagSearcherType type)
        : FakeNode(0, -1, "", true, false, 0, type), m_volume(std::move(volume)) {}
    const char* GetVolumeName() const override { return m_volume.c_str(); }

private:
    std::string m_volume;
};

// Owns the nodes of a fake tree; Add links a child under a parent.
class NodeTree {
public:
    FakeRoot* Root(const std::string& volume, _tagSearcherType type) {
        auto* root = new FakeRoot(volume, type);
        m_nodes.emplace_back(root);
        return root;
    }
    FakeNode* Add(CFileNode* parent, const std::string& name, bool dir) {
        auto* node = new FakeNode(++m_id, parent ? parent->GetCurrentNodeID() : -1, name, dir);
        m_nodes.emplace_back(node);
        if (parent) parent->AddChild(node);
        return node;
    }

private:
    std::vector<std::unique_ptr<CFileNode>> m_nodes;
    int64_t m_id = 0;
};

// A disk of the fake enumerator: a device in memory with a disk record.
inline MemDevice* MakeDisk(const char* name, const char* bsd, uint32_t bus, uint32_t scheme, int64_t sectors = 2048) {
    auto* disk = new MemDevice(8, 512, STORAGE_DEVICE_DISK);
    auto* record = new CCollectDiskDeviceInfoStruct{};
    std::snprintf(record->mediaName, sizeof record->mediaName, "%s", name);
    std::snprintf(record->bsdName, sizeof record->bsdName, "%s", bsd);
    record->busType = bus;
    record->partitionScheme = scheme;
    record->sectorSize = 512;
    record->totalSectors = sectors;
    disk->SetPrivateData(CreateDiskDeviceData(record));
    return disk;
}

inline MemDevice* MakeVolume(IStorageDevice* disk, const char* name, const char* bsd, uint32_t fs = 2,
                             const uint8_t* typeGuid = nullptr, const char* apmType = "") {
    auto* volume = new MemDevice(8, 512, STORAGE_DEVICE_VOLUME);
    auto* record = new CCollectedVolumeDeviceInfoStruct{};
    std::snprintf(record->volumeName, sizeof record->volumeName, "%s", name);
    std::snprintf(record->bsdName, sizeof record->bsdName, "%s", bsd);
    std::snprintf(record->apmType, sizeof record->apmType, "%s", apmType);
    if (typeGuid) std::memcpy(record->typeGuid, typeGuid, 16);
    record->fileSystemType = fs;
    record->sectorSize = 512;
    record->totalSectors = 1000;
    record->parent = disk;
    volume->SetPrivateData(CreateVolumeDeviceData(record));
    return volume;
}

// Scripted disks and volumes; owns them. Init can be made to fail.
class FakeEnumerator : public IEnumDeviceEx {
public:
    EngineResult Init() override {
        ++inits;
        return failInit ? MakeEngineResult(ENGINE_MODULE_ENUM_DEVICE, 1, 1) : ENGINE_OK;
    }
    EngineResult Uninit() override {
        ++uninits;
        return ENGINE_OK;
    }
    EngineResult EnumDiskDevice(IStorageDevice** out, int& count) override { return Copy(diskOrder, out, count); }
    EngineResult EnumPartitionDevice(const IStorageDevice*, IStorageDevice**, int& count) override {
        count = 0;
        return ENGINE_OK;
    }
    EngineResult EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** out, int& count) override {
        auto it = volumes.find(disk);
        if (it == volumes.end()) return MakeEngineResult(ENGINE_MODULE_ENUM_DEVICE, 2, 2);
        return Copy(it->second, out, count);
    }

    MemDevice* AddDisk(MemDevice* disk) {
        owned.emplace_back(disk);
        diskOrder.push_back(disk);
        volumes[disk];
        return disk;
    }
    MemDevice* AddVolume(MemDevice* disk, MemDevice* volume) {
        owned.emplace_back(volume);
        volumes[disk].push_back(volume);
        return volume;
    }

    bool failInit = false;
    int inits = 0, uninits = 0;
    std::vector<IStorageDevice*> diskOrder;
    std::map<const IStorageDevice*, std::vector<IStorageDevice*>> volumes;
    std::vector<std::unique_ptr<IStorageDevice>> owned;

private:
    static EngineResult Copy(const std::vector<IStorageDevice*>& from, IStorageDevice** out, int& count) {
        if (out == nullptr) {
            count = static_cast<int>(from.size());
            return ENGINE_OK;
        }
        const int n = std::min(count, static_cast<int>(from.size()));
        for (int i = 0; i < n; ++i) out[i] = from[static_cast<size_t>(i)];
        count = n;
        return ENGINE_OK;
    }
};

// Spins the event loop until `name` was posted `times` times or `ms` pass;
// the number of posts seen.
inline int WaitForNotification(const QString& name, int ms, int times = 1) {
    int seen = 0;
    QObject context;
    QEventLoop loop;
    NotificationBus::instance()->observe(name, &context, [&](const QVariant&) {
        if (++seen >= times) loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return seen;
}

// A child process of this test program running a helper mode; killed when
// the object goes.
class HelperChild {
public:
    explicit HelperChild(std::vector<std::string> args) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        const std::string self = QCoreApplication::applicationFilePath().toStdString();
        std::vector<char*> argv{const_cast<char*>(self.c_str())};
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, self.c_str(), &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_out = fds[0];
    }
    ~HelperChild() {
        Kill();
        if (m_out >= 0) close(m_out);
    }
    // The child's first line (it writes one when ready); "" on end of file.
    std::string ReadLine() {
        std::string line;
        char c;
        while (m_out >= 0 && read(m_out, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    void Kill() {
        if (m_pid <= 0) return;
        ::kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }
    pid_t pid() const { return m_pid; }
    // The caller reaped the child itself: nothing is left to kill.
    void Forget() { m_pid = -1; }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// Helper modes of the test program, run instead of the tests:
//   --hold-lock PATH   takes the instance lock at PATH, says "locked", waits.
//   --named NAME       renames itself (the kernel's short name), says "named", waits.
inline bool RunHelperMode(int argc, char** argv) {
    const std::string mode = argv[1];
    if (mode == "--hold-lock" && argc >= 3) {
        QCoreApplication app(argc, argv);
        const bool other = IsAppRunningAt(QString::fromLocal8Bit(argv[2]));
        std::printf("%s\n", other ? "busy" : "locked");
        std::fflush(stdout);
        for (;;) pause();
    }
    if (mode == "--named" && argc >= 3) {
        pthread_setname_np(pthread_self(), argv[2]);
        std::printf("named\n");
        std::fflush(stdout);
        for (;;) pause();
    }
    return false;
}

}  // namespace model_test
