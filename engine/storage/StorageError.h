#pragma once
// Error numbers kept by the storage devices (module ENGINE_MODULE_STORAGE).

#include <cstdint>

#include "foundation/EngineResult.h"
#include "foundation/StorageDevice.h"  // STORAGE_ERROR_IO: the open or a read failed

// IOCtl was called; no device supports any code.
constexpr std::uint32_t STORAGE_ERROR_IOCTL = 3;
// Bad read arguments: null buffer, negative first sector, count of 0 or less,
// a first sector outside the device, or more sectors than a window holds.
constexpr std::uint32_t STORAGE_ERROR_BAD_ARGUMENT = 5;
// The information holder is missing, of the wrong kind or without a record,
// or a window device has no parent.
constexpr std::uint32_t STORAGE_ERROR_NO_DATA = 7;

#define STORAGE_ERROR(error) ENGINE_ERROR(ENGINE_MODULE_STORAGE, (error))

// True when `result` is the storage module's failure `error`.
constexpr bool IsStorageError(EngineResult result, std::uint32_t error) {
    return IsEngineFailure(result) && EngineResultModule(result) == ENGINE_MODULE_STORAGE &&
           EngineResultError(result) == error;
}
