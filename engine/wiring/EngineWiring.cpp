#include "wiring/EngineWiring.h"

#include <mutex>

#include "foundation/ContentProbes.h"
#include "foundation/SearcherInterfaces.h"
#include "foundation/VolumeAnalyze.h"
#include "raw/RawContentProbes.h"
#include "recovery/ControllerSeams.h"

namespace {

// The searchers a scan may run, beside the controllers' own tree builder,
// writer and flush; the deep controller runs them in its own order.
ScanControllerFactories EngineScanFactories() {
    ResetScanControllerFactories();
    ScanControllerFactories f = GetScanControllerFactories();
    f.fatQuick = CreateFATQuickSearcher;
    f.ntfsQuick = CreateNTFSQuickSearcher;
    f.exfatQuick = CreateEXFatQuickSearcher;
    f.hfsplusQuick = CreateHFSPlusQuickSearcher;
    f.apfsQuick = CreateAPFSQuickSearcher;
    f.hfsplusDeep = CreateHFSPlusSearcher;
    f.exfatDeep = CreateEXFatSearcher;
    f.fatDeep = CreateFATSearcher;
    f.rawDeep = CreateRAWSearcher;
    f.ntfsDeep = CreateNTFSSearcher;
    f.apfsDeep = CreateAPFSDeepSearcher;
    return f;
}

// Recognition asks them in this order; the first that knows its type wins.
VolumeAnalyzeFactories EngineRecognisers() {
    return VolumeAnalyzeFactories{CreateFatVolumeAnalyze, CreateExfatVolumeAnalyze, CreateNTFSVolumeAnalyze,
                                  CreateHFSPlusVolumeAnalyze, CreateAPFSVolumeAnalyze};
}

// Runs before main in every program linking quillory_engine, which links this
// library whole so that the linker keeps this file.
[[maybe_unused]] const bool g_wired = (WireEngine(), true);

}  // namespace

void WireEngine() {
    static std::once_flag once;
    std::call_once(once, [] {
        SetDefaultScanControllerFactories(EngineScanFactories());
        SetDefaultVolumeAnalyzeFactories(EngineRecognisers());
        SetFileContentProbes(GetRawContentProbes());
    });
}
