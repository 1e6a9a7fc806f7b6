#pragma once
// Compressed archives and related formats: RAR 1.5 to 4, gzip, LZH, tar,
// StuffIt (classic and SITX), cabinet and Corel Photo-Paint. The streaming
// records follow the archive's blocks as the sectors pass; the ones they
// leave unfinished (evicted, or without an end) are sized by their twin
// through a read window.

#include "raw/RawFileAnalyser.h"

// ---- RAR 1.5 to 4 ------------------------------------------------------

namespace classRarSearch {
// Bytes of the block whose header is at `h` (with `available` bytes), or 0
// when the header is not one a RAR 1.5-4 archive holds.
std::uint64_t GetBlockSize(const std::uint8_t* h, std::size_t available);
bool IsValidHead(const std::uint8_t* h, std::size_t available);
}  // namespace classRarSearch

class FileRARAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0xD000000;
    FileRARAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_RAR) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// ---- gzip --------------------------------------------------------------

class FileGZAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0xD000000;
    static constexpr std::int64_t kTextCap = 0x1400000;
    // File names longer than this are not names: they are cut.
    static constexpr std::size_t kNameMax = 254;
    FileGZAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_GZ) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// ---- LZH ---------------------------------------------------------------

class FileLZHAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0xD000000;
    static constexpr int kMaxHeaders = 2048;
    FileLZHAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_LZH) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// ---- tar ---------------------------------------------------------------

// The octal size field at 124 of a ustar header; -1 when it is not octal
// text (GNU base-256 sizes are not read).
std::int64_t OctStringToint(const std::uint8_t* field);

class FileTARAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0xD000000;
    FileTARAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_TAR) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// ---- StuffIt -----------------------------------------------------------

class FileSITAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0x82000001;
    FileSITAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_SIT) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

// ---- cabinet and CPT (random access only) ------------------------------

class FileCABAnalyser : public IRawFileAnalyser {
public:
    FileCABAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_CAB) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
};

class FileCPTAnalyser : public IRawFileAnalyser {
public:
    // Every offset of the table chain must lie below this, and the size too.
    static constexpr std::uint64_t kCap = 0x80000000;
    static constexpr std::uint32_t kMaxEntries = 0x100000;
    FileCPTAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_CPT) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

// The streaming half of a pair: never sizes on its own, and hands a record
// it leaves unfinished to its twin.
template <class Twin, std::uint32_t Type>
class PairedAnalyser : public IRawFileAnalyser {
public:
    PairedAnalyser() : IRawFileAnalyser(Type) {}
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    Twin* TwinAnalyser() {
        m_twin.SetSearchState(GetSearchState());
        return &m_twin;
    }

protected:
    Twin m_twin;
};

// A streaming record whose WillBeRemove hands it to the owner's twin.
template <class Owner>
class PairedRecord : public CRawFileInfo {
public:
    explicit PairedRecord(Owner* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t*, std::int64_t) override {
        if (m_owner) m_analyser = m_owner->TwinAnalyser();
    }

protected:
    Owner* m_owner;
};

class RARAnalyser : public PairedAnalyser<FileRARAnalyser, RAW_FILE_TYPE_RAR> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class RARRawFileInfo : public PairedRecord<RARAnalyser> {
public:
    using PairedRecord::PairedRecord;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_walkOffset = 7;
    std::int64_t m_cap = 0x40000000;
};

class GZAnalyzer : public PairedAnalyser<FileGZAnalyser, RAW_FILE_TYPE_GZ> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class GZRawFileInfo : public PairedRecord<GZAnalyzer> {
public:
    using PairedRecord::PairedRecord;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_minLength = 20;
    std::int64_t m_cap = 400000000;
};

class TARAnalyser : public PairedAnalyser<FileTARAnalyser, RAW_FILE_TYPE_TAR> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class TARRawFileInfo : public PairedRecord<TARAnalyser> {
public:
    using PairedRecord::PairedRecord;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_nextHeader = 0;  // file offset of the next 512-byte header
};

class SITAnalyser : public PairedAnalyser<FileSITAnalyser, RAW_FILE_TYPE_SIT> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class SITRawFileInfo : public PairedRecord<SITAnalyser> {
public:
    using PairedRecord::PairedRecord;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_cap = 2000000000;
    bool m_classic = true;
    bool m_unjudged = true;
    bool m_wrapped = false;
};

}  // namespace RawSpeed

namespace Tessel {

class LZHAnalyser : public RawSpeed::PairedAnalyser<FileLZHAnalyser, RAW_FILE_TYPE_LZH> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class LZHRawFileInfo : public RawSpeed::PairedRecord<LZHAnalyser> {
public:
    using PairedRecord::PairedRecord;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;
    std::int64_t m_walkOffset = 0;
    std::int64_t m_cap = 0xC800000;
    std::int64_t m_retryFrom = -1;  // where a step back was taken from
    bool m_later = false;
    bool m_adjusted = false;
};

}  // namespace Tessel
