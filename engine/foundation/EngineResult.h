#pragma once
// The 64-bit result of engine operations.
//
//   bits 63-56  0x01 on failure, 0 on success (success is the whole value 0)
//   bits 55-48  module that failed
//   bits 47-32  source line of the failure site (diagnostic only)
//   bits 31-0   error number
//
// Callers test `result >> 56` (or IsEngineFailure). Codes that callers or
// tests compare against are named constants with their exact value; the
// ENGINE_ERROR macro is for failure sites whose code nobody compares.

#include <cstdint>

using EngineResult = std::uint64_t;

constexpr EngineResult ENGINE_OK = 0;

// Module numbers (bits 55-48).
constexpr std::uint8_t ENGINE_MODULE_CONTROLLER = 0x02;       // front-end controller
constexpr std::uint8_t ENGINE_MODULE_ENUM_DEVICE = 0x03;      // device enumeration
constexpr std::uint8_t ENGINE_MODULE_SCAN = 0x04;             // scan controllers and scan bridge
constexpr std::uint8_t ENGINE_MODULE_HFSPLUS = 0x05;          // HFS+ scanner
constexpr std::uint8_t ENGINE_MODULE_FAT_SEARCH = 0x0a;       // FAT search
constexpr std::uint8_t ENGINE_MODULE_FILE_WRITER = 0x0d;      // file writer
constexpr std::uint8_t ENGINE_MODULE_STORAGE = 0x0e;          // storage devices
constexpr std::uint8_t ENGINE_MODULE_PARTITION_TABLE = 0x10;  // partition tables
constexpr std::uint8_t ENGINE_MODULE_NTFS_QUICK = 0x12;       // NTFS quick search

constexpr EngineResult ENGINE_FAILURE_FLAG = 0x01;

constexpr EngineResult MakeEngineResult(std::uint8_t module, std::uint16_t line, std::uint32_t error) {
    return (ENGINE_FAILURE_FLAG << 56) | (static_cast<EngineResult>(module) << 48) |
           (static_cast<EngineResult>(line) << 32) | static_cast<EngineResult>(error);
}

constexpr bool IsEngineFailure(EngineResult r) { return (r >> 56) != 0; }
constexpr std::uint8_t EngineResultModule(EngineResult r) { return static_cast<std::uint8_t>(r >> 48); }
constexpr std::uint16_t EngineResultLine(EngineResult r) { return static_cast<std::uint16_t>(r >> 32); }
constexpr std::uint32_t EngineResultError(EngineResult r) { return static_cast<std::uint32_t>(r); }

// A failure code stamped with the current source line.
#define ENGINE_ERROR(module, error) MakeEngineResult((module), static_cast<std::uint16_t>(__LINE__), (error))
