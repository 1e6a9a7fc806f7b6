// What the FAT32 first-cluster repair asks of the raw search's recognisers:
// does a sector start a file of a known kind? The raw search implements it
// over its shared analyser set (set 1, which no search changes); the engine's
// wiring installs it here, so that the FAT library need not link the raw one.
#pragma once

#include <cstdint>

class IFileContentProbes {
public:
    virtual ~IFileContentProbes() = default;
    // A recogniser is keyed on these first four bytes (little-endian).
    virtual bool HasFourByteKey(std::uint32_t key) = 0;
    // A recogniser keyed on these first two bytes (little-endian) accepts the
    // sector. `sector` holds one sector and 4,096 bytes after it.
    virtual bool MatchesTwoByteKey(std::uint16_t key, std::uint8_t* sector) = 0;
    // A recogniser without a fixed signature accepts the sector (same bytes).
    virtual bool MatchesUnkeyed(std::uint8_t* sector) = 0;
    // Upper-case extension of a raw file type, or null for an unknown type.
    virtual const char* ExtensionOf(std::uint32_t rawType) = 0;
};

// The installed probes, or null when none are (a program without the raw
// search): the repair then trusts no content.
IFileContentProbes* GetFileContentProbes();
void SetFileContentProbes(IFileContentProbes* probes);
