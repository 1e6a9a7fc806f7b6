// What the scan controllers create, as replaceable factories: tests put fake
// searchers and writers behind them; the defaults are the real ones, installed
// by the engine's wiring.
#pragma once

#include <functional>

#include "foundation/SearcherInterfaces.h"
#include "recovery/RecoveryController.h"

struct ScanControllerFactories {
    std::function<IQuickFileSystemSearchController*()> fatQuick;
    std::function<IQuickFileSystemSearchController*()> ntfsQuick;
    std::function<IQuickFileSystemSearchController*()> exfatQuick;
    std::function<IQuickFileSystemSearchController*()> hfsplusQuick;
    std::function<IQuickFileSystemSearchController*()> apfsQuick;
    std::function<ICompleteFileSystemSearchController*()> hfsplusDeep;
    std::function<ICompleteFileSystemSearchController*()> exfatDeep;
    std::function<ICompleteFileSystemSearchController*()> fatDeep;
    std::function<ICompleteFileSystemSearchController*()> rawDeep;
    std::function<ICompleteFileSystemSearchController*()> ntfsDeep;
    std::function<ICompleteFileSystemSearchController*()> apfsDeep;
    std::function<IDirecotryTreeBuilder*(bool replay)> treeBuilder;
    std::function<IDataRecovery*()> dataRecovery;
    // Writes out what the kernel holds for the device before a scan reads it
    // (its mounted file systems and its own buffers).
    std::function<void(IStorageDevice*)> flush;
};

// The table the controllers ask; Reset returns it to the defaults: the tree
// builder, writer and flush of this library, plus the searchers once the
// engine's wiring has installed them.
ScanControllerFactories& GetScanControllerFactories();
void ResetScanControllerFactories();
// Makes `defaults` the table Reset returns to, and the current table.
void SetDefaultScanControllerFactories(const ScanControllerFactories& defaults);
