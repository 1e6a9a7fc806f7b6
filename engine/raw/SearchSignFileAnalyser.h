#pragma once
// Sizing by end signature: the file ends just after the first occurrence of
// a known byte string (an end marker such as "%%EOF" or "</html>") found in a
// sector that ends with zero padding.

#include <cstdint>

#include "raw/RawFileAnalyser.h"

struct SearchSignCodeInfo {
    std::uint8_t sign[64] = {};
    std::uint32_t length = 0;   // bytes of sign used, 1..64
    std::uint64_t maxSize = 0;  // largest size searched; 0 = 0xD000000 bytes
};

class SearchSignFileAnalyser : public IRawFileAnalyser {
public:
    using IRawFileAnalyser::IRawFileAnalyser;
    static constexpr std::uint64_t kDefaultMaxSize = 0xD000000;

    // Sets the record's size to the end of the first signature found from
    // its start sector on (or to the offset reached when none is); 1. Only
    // a sector whose last two bytes are zero is searched, and a signature
    // split across two sectors is found by looking `length` bytes back into
    // the previous sector, through the window reader, so that a sector that
    // starts a window never reads before it. Not case-sensitive: the lower-
    // and the upper-case form are searched (the caller's info is left as it
    // was). 0 without a device.
    int SearchEndSignCode(CRawFileInfo& record, IStorageDevice* device, const SearchSignCodeInfo& info,
                          int caseSensitive);
};
