#pragma once
// The SummaryInformation property set of an OLE compound document: a header
// (byte order, version, class id, the sets), then one section of (id, offset)
// pairs pointing at typed values. All fields little-endian; offsets inside
// the section count from the section's start.

#include <cstdint>
#include <string>

#include "raw/FileProperty.h"

// The stream header as stored (48 bytes).
struct PropertySetStream {
    std::uint16_t byteOrder = 0;  // 0xFFFE: the only order written
    std::uint16_t version = 0;    // 0 or 1
    std::uint32_t systemId = 0;
    std::uint8_t classId[16] = {};
    std::uint32_t setCount = 0;  // 1 or 2
    std::uint8_t formatId[16] = {};
    std::uint32_t sectionOffset = 0;
};

class CSummaryInFormation {
public:
    static constexpr int kHeaderSize = 48;
    static constexpr std::uint32_t kMaxProperties = 31;
    static constexpr std::uint32_t kMaxStringBytes = 1024;

    // Property ids and value types read.
    enum : std::uint32_t {
        PID_TITLE = 2,
        PID_AUTHOR = 4,
        PID_LASTAUTHOR = 8,
        PID_CREATE_DTM = 12,
        PID_LASTSAVE_DTM = 13
    };
    enum : std::uint32_t { VT_I2 = 2, VT_LPSTR = 30, VT_LPWSTR = 31, VT_FILETIME = 64 };

    // Fills title, author, last author, creation and save time from the
    // `length` bytes of a summary stream. 1 when any of them was non-empty.
    int GetFileInformation(const std::uint8_t* stream, FileProperty& out, int length);
    // The header test over the stream given to GetFileInformation.
    bool IsDocumentInformation(const std::uint8_t* stream, PropertySetStream& header);
    // The typed value at `offset`; an integer sets codePage, a time or string
    // goes to `out` (left empty when out of bounds or of another type).
    void GetDetailInformation(const std::uint8_t* stream, std::int64_t offset, int& codePage, std::string& out);

    // ":" after the first character becomes "-".
    static std::string FilterFileTime(std::string time);
    // Leading blanks go; text of 25 bytes or more is cut to at most 24 bytes,
    // at a UTF-8 character boundary so the name stays valid text.
    static void OperateString(std::string& text);
    // A FILETIME (100 ns since 1601, UTC) as local "Y-MM-DD-hh-mm-ss"; "" for 0
    // or a time the C library cannot break down.
    static std::string FileTimeToText(std::uint64_t fileTime);

private:
    std::int64_t m_dataLength = 0;
    std::uint32_t m_sectionSize = 0;
    std::uint32_t m_propertyCount = 0;
};
