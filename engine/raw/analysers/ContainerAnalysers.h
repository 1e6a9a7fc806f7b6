#pragma once
// Containers of sound and film: FLV (tag walk), Ogg (page walk), RIFF (WAVE,
// AVI, animated cursors, Corel formats), Matroska and SWF (sized from the
// header), Magic Lantern MLV (block walk), MXF (KLV walk) and MPEG-2
// transport streams of 188- or 192-byte packets.

#include "raw/RawFileAnalyser.h"

// The size of an FLV file: its tag chain read through a window.
class FileFLVAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0x82000000;
    FileFLVAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_FLV) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class CFileOggAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0x82000000;
    CFileOggAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_OGG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// Size = the RIFF length + 8, rounded up to the device's sectors.
class FileRIFFAnalyser : public IRawFileAnalyser {
public:
    FileRIFFAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// Sized from the Segment element's size in the first sector; a Segment of
// unknown size (live recordings) is sized by a walk of its top-level
// elements on the device.
class FileMKVAnalyser : public IRawFileAnalyser {
public:
    FileMKVAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MKV) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class FileSWFAnalyser : public IRawFileAnalyser {
public:
    FileSWFAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_SWF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
};

// An EBML variable-length integer at p (at most `available` bytes): its
// length in bytes (0 when malformed) and value; `unknown` is set for the
// all-ones form that means "size not known".
int DecodeEbmlVint(const std::uint8_t* p, std::size_t available, std::uint64_t& value, bool& unknown);
// A BER length at p: its length in bytes (0 when malformed or longer than 9).
int DecodeBerLength(const std::uint8_t* p, std::size_t available, std::uint64_t& value);

namespace Tessel {

class FLVAnalyser : public IRawFileAnalyser {
public:
    FLVAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_FLV) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileFLVAnalyser* Twin() { return &m_twin; }

private:
    FileFLVAnalyser m_twin;
};

class FLVRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kCap = 209715200;
    explicit FLVRawFileInfo(FLVAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 0;  // file offset of the next previous-tag-size field
    std::int64_t m_expected = 0;

private:
    int Finish(std::int64_t sectorNumber, std::int64_t size);
    FLVAnalyser* m_owner;
};

// One Ogg file streams at a time: hits are refused while `m_i64OggStartSec`
// marks one. The mark lives in this (set-0) object and is cleared by the
// record when it finishes or leaves the open set; a record never touches it
// on deletion, since the registry may have rebuilt set 0 by then.
class OGGAnalyser : public IRawFileAnalyser {
public:
    OGGAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_OGG) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    CFileOggAnalyser* Twin() { return &m_twin; }

    std::int64_t m_i64OggStartSec = -1;  // -1 = none streaming

private:
    CFileOggAnalyser m_twin;
};

class OGGRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kCap = 209715200;
    static constexpr int kPagesPerCall = 512;
    explicit OGGRawFileInfo(OGGAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 0;  // file offset of the next page

private:
    void ClearMark();
    OGGAnalyser* m_owner;
    bool m_marked = false;
};

}  // namespace Tessel

namespace RawSpeed {

class MLvAnalyser : public IRawFileAnalyser {
public:
    MLvAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MLV) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class MLvRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kCap = 0x7D000000;
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 0;

private:
    int Finish(std::int64_t sectorNumber, std::int64_t size);
};

class MxfAnalyser : public IRawFileAnalyser {
public:
    MxfAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MXF) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
};

class MxfRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kCap = 2000000000;
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 0;
};

}  // namespace RawSpeed

namespace BruteForce {

// Tried on every sector: the first byte tests come before anything else.
// The "being sized" flag lives in this (set-0) object and is owned by the
// record that set it; a set-1 caller (the FAT repair) never sets it.
class CM2TSAnalyser : public IRawFileAnalyser {
public:
    CM2TSAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_M2TS) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;

    bool m_sizing = false;
    int m_packetSize = 188;  // of the last accepted sector
};

class CM2TSFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kMinSize = 20480;
    static constexpr std::int64_t kCap = 10000000000;
    CM2TSFileInfo(CM2TSAnalyser* owner, int packetSize) : m_owner(owner), m_packetSize(packetSize) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 0;  // file offset of the next packet
    std::int64_t m_packets = 0;

private:
    void Release();
    void Settle();
    CM2TSAnalyser* m_owner;
    int m_packetSize;
};

}  // namespace BruteForce
