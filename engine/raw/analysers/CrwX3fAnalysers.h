#pragma once
// Two camera-raw containers that are not TIFF-based, both sized by the record
// that closes the file: Canon's CIFF heap (CRW), whose last records are the
// 07 28 A8/B2/E4 entries a fixed distance before the end, and Sigma's X3F,
// whose "SECd" directory lies a fixed distance before its end. Neither
// structure is read further; the streaming records look for the closing
// pattern in zero-tailed sectors, and their twins do the same through a read
// window.

#include "raw/RawFileAnalyser.h"

class FileCRWAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kDefaultSize = 52428800;
    FileCRWAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_CRW) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    // Always 1: without a closing record the file gets the default size.
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;

private:
    std::uint32_t m_matched = 0;
};

class FileX3FAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkLimit = 0x6800000;
    FileX3FAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_X3F) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace Tessel {

class CRWAnalyser : public IRawFileAnalyser {
public:
    CRWAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_CRW) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileCRWAnalyser* Twin() { return &m_twin; }

private:
    FileCRWAnalyser m_twin;
};

class X3FAnalyser : public IRawFileAnalyser {
public:
    X3FAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_X3F) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override;
    FileX3FAnalyser* Twin() { return &m_twin; }

private:
    FileX3FAnalyser m_twin;
};

class CRWRawFileInfo : public CRawFileInfo {
public:
    explicit CRWRawFileInfo(CRWAnalyser* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_CRW; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_minimumA = 204800;
    std::int64_t m_minimumB = 204800;
    std::int64_t m_end = 0;
    std::int64_t m_sizeCap = 0x6400000;

private:
    CRWAnalyser* m_owner;
};

class X3FRawFileInfo : public CRawFileInfo {
public:
    explicit X3FRawFileInfo(X3FAnalyser* owner) : m_owner(owner) { m_type = RAW_FILE_TYPE_X3F; }
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t* sector, std::int64_t sectorNumber) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_minimumA = 0;
    std::int64_t m_minimumB = 0;
    std::int64_t m_end = 0;
    std::int64_t m_sizeCap = 0x6400000;

private:
    X3FAnalyser* m_owner;
};

}  // namespace Tessel
