#include "foundation/VolumeAnalyze.h"

#include <memory>
#include <vector>

namespace {

VolumeAnalyzeFactories& DefaultFactories() {
    static VolumeAnalyzeFactories defaults;
    return defaults;
}

class CVolumeAnalyzeController : public IVolumeAnalyzeController {
public:
    CVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector) {
        // Every recogniser is asked, even after one has accepted: the answer is
        // decided by order, not by who was asked first.
        const VolumeAnalyzeFactories& f = GetVolumeAnalyzeFactories();
        for (const VolumeAnalyzeFactory* factory : {&f.fat, &f.exfat, &f.ntfs, &f.hfsplus, &f.apfs}) {
            if (!*factory) continue;
            Register((*factory)(device, startSector));
        }
    }
    ~CVolumeAnalyzeController() override = default;

    IVolumeAnalyze* GetVolumeAnzlyzer() override {
        for (auto& analyzer : m_analyzers) {
            if (analyzer->GetFileSystemType() != 10) return analyzer.get();
        }
        return nullptr;
    }

private:
    void Register(IVolumeAnalyze* analyzer) {
        if (analyzer != nullptr) m_analyzers.emplace_back(analyzer);
    }

    std::vector<std::unique_ptr<IVolumeAnalyze>> m_analyzers;
};

}  // namespace

VolumeAnalyzeFactories& GetVolumeAnalyzeFactories() {
    static VolumeAnalyzeFactories factories = DefaultFactories();
    return factories;
}

void ResetVolumeAnalyzeFactories() { GetVolumeAnalyzeFactories() = DefaultFactories(); }

void SetDefaultVolumeAnalyzeFactories(const VolumeAnalyzeFactories& defaults) {
    DefaultFactories() = defaults;
    ResetVolumeAnalyzeFactories();
}

IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, uint64_t startSector) {
    return new CVolumeAnalyzeController(device, startSector);
}
