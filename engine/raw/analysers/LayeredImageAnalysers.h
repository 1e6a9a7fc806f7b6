#pragma once
// Access databases (4 KiB pages), Photoshop images (sections, then image
// data) and Paint Shop Pro images (a chain of blocks). Each streaming record
// hands what it cannot finish to its twin, which reads the file through a
// read window.

#include "raw/RawFileAnalyser.h"

class FileMDBAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kPage = 4096;
    static constexpr std::int64_t kWalkCap = 0x6400000;
    FileMDBAnalyser() : IRawFileAnalyser(0xFFFFFFFFu) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class FilePSDAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kCountsCap = 0xD000001;
    FilePSDAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_PSD) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class FilePSPAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0xD000000;
    FilePSPAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_PSP) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

template <class Twin, std::uint32_t Type>
class TwinnedAnalyser : public IRawFileAnalyser {
public:
    TwinnedAnalyser() : IRawFileAnalyser(Type) {}
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    Twin* TwinAnalyser() {
        m_twin.SetSearchState(GetSearchState());
        return &m_twin;
    }

protected:
    Twin m_twin;
};

class CMDBAnalyser : public TwinnedAnalyser<FileMDBAnalyser, 0xFFFFFFFFu> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class CMDBRawFileInfo : public CRawFileInfo {
public:
    static constexpr std::int64_t kEmptyRun = 36;
    explicit CMDBRawFileInfo(CMDBAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t*, std::int64_t) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_cap = 2000000000;
    std::int64_t m_emptyRun = 0;
    bool m_nonPageSeen = false;
    bool m_checkingPages = true;

private:
    CMDBAnalyser* m_owner;
};

class PSDAnalyser : public TwinnedAnalyser<FilePSDAnalyser, RAW_FILE_TYPE_PSD> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class PSDRawFileInfo : public CRawFileInfo {
public:
    explicit PSDRawFileInfo(PSDAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t*, std::int64_t) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 30;
    std::int64_t m_cap = 200000000;
    bool m_resourcesPending = true;
    bool m_layersPending = true;

private:
    PSDAnalyser* m_owner;
};

class PSPAnalyser : public TwinnedAnalyser<FilePSPAnalyser, RAW_FILE_TYPE_PSP> {
public:
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

class PSPRawFileInfo : public CRawFileInfo {
public:
    explicit PSPRawFileInfo(PSPAnalyser* owner) : m_owner(owner) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(std::uint8_t*, std::int64_t) override;
    int CalcRawSize(std::uint8_t* sector, int sectorSize, std::int64_t sectorNumber, SearchContext& ctx) override;

    std::int64_t m_next = 36;
    std::int64_t m_cap = 20000000;

private:
    PSPAnalyser* m_owner;
};

}  // namespace RawSpeed
