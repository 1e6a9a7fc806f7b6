#pragma once
// A scripted scan controller: each StartDataRecovery runs the next step of
// its script on the caller's thread, announcing roots, handing batches of
// nodes and reporting progress as a scan would, and asking Continued()
// between batches. The script outlives the controllers made from it.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/Progress.h"
#include "recovery/RecoveryController.h"

namespace fake_controller {

using Step = std::function<EngineResult(IStorageDevice*, IProgress*, IDrirectoryTree*)>;

struct Script {
    std::vector<Step> steps;
    std::mutex lock;
    std::vector<IStorageDevice*> scanned;         // the device of each run
    std::vector<_RECOVERY_CONTROLLER_TYPE> made;  // the type of each controller made
    std::atomic<int> released{0};
    std::atomic<int> readersMade{0}, readersReleased{0};
};

// The failure of a volume that could not be read.
inline constexpr EngineResult kFakeFailure = 0x0D00000100000001ULL;

// One volume's scan: a root, then each batch, then the finishing report.
// Stops (without finishing report) when Continued() says no.
inline Step Volume(IFilesystemNode* root, std::vector<std::vector<IFileNode*>> batches, bool finish = true) {
    return [root, batches, finish](IStorageDevice*, IProgress* progress, IDrirectoryTree* tree) -> EngineResult {
        if (root != nullptr) tree->ShowFilesystemNode(root);
        _PROGRESS_INFO info;
        int64_t done = 0;
        for (const auto& batch : batches) {
            if (progress->Continued() == 0) return kFakeFailure;
            std::vector<IFileNode*> copy = batch;
            tree->ShowNodes(copy.data(), static_cast<unsigned>(copy.size()), 0);
            MakeProgressInfo(&info, PROGRESS_STATE_RUNNING, static_cast<int64_t>(batches.size()), ++done);
            progress->UpdateProgress(&info);
        }
        if (!finish) return kFakeFailure;
        MakeProgressInfo(&info, PROGRESS_STATE_FINISHED, static_cast<int64_t>(batches.size()), done);
        progress->UpdateProgress(&info);
        return ENGINE_OK;
    };
}

class FakeReader : public IDataRecovery {
public:
    explicit FakeReader(std::shared_ptr<Script> script) : m_script(std::move(script)) { ++m_script->readersMade; }
    EngineResult Initialize(IFileSystemSearchController*, IStorageDevice*) override { return ENGINE_OK; }
    IFileReader* SetRecoverNode(IFileNode*) override { return nullptr; }
    EngineResult RecoverTo(const char*, IProgress*, int) override { return ENGINE_OK; }
    unsigned ReadSmallJPG(char*, unsigned) override { return 0; }
    void Release() override {
        ++m_script->readersReleased;
        delete this;
    }
    EngineResult Initialize(std::vector<CSearchedPartitionInfo*>&, IStorageDevice*) override { return ENGINE_OK; }

private:
    std::shared_ptr<Script> m_script;
};

class FakeController : public IRecoveryController {
public:
    FakeController(std::shared_ptr<Script> script, _RECOVERY_CONTROLLER_TYPE type)
        : m_script(std::move(script)), m_type(type) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_type; }
    int Initialize(IRecoveryFilter* filter) override { return filter != nullptr ? 1 : 0; }
    EngineResult StartDataRecovery(IStorageDevice* device, IProgress* progress, IDrirectoryTree* tree) override {
        Step step;
        {
            std::lock_guard<std::mutex> hold(m_script->lock);
            m_script->scanned.push_back(device);
            const size_t index = m_script->scanned.size() - 1;
            if (index < m_script->steps.size()) step = m_script->steps[index];
        }
        return step ? step(device, progress, tree) : kFakeFailure;
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType) const override { return new FakeReader(m_script); }
    void Release() override {
        ++m_script->released;
        delete this;
    }

private:
    std::shared_ptr<Script> m_script;
    _RECOVERY_CONTROLLER_TYPE m_type;
};

// The factory to install in the scan bridge.
inline std::function<IRecoveryController*(_RECOVERY_CONTROLLER_TYPE)> Factory(std::shared_ptr<Script> script) {
    return [script](_RECOVERY_CONTROLLER_TYPE type) -> IRecoveryController* {
        if (type > RECOVERY_CONTROLLER_DEEP_DISK) return nullptr;
        {
            std::lock_guard<std::mutex> hold(script->lock);
            script->made.push_back(type);
        }
        return new FakeController(script, type);
    };
}

}  // namespace fake_controller
