#pragma once
// Attributes inside a FILE record and NTFS data runs (mapping pairs). The
// attribute classes are static functions over a pointer to the attribute's
// first byte; `available` is always the number of bytes from that pointer to
// the end of the caller's buffer, and nothing is read past it.

#include <cstdint>
#include <vector>

#include "ntfs/NTFSLayout.h"

class CNTFSFileRecord;
class IRSData;

// Attribute header common to every type.
class CNTFSFileRecordAttribute {
public:
    // The header and the parts it announces (content, or runs offset and for
    // $DATA a valid run list) fit the attribute, which fits `available`.
    static bool IsValid(const std::uint8_t* attribute, int available);
    static bool IsValidNonResidentAttribute(const std::uint8_t* attribute);
    static bool IsValidResidentAttribute(const std::uint8_t* attribute);

    static std::uint32_t GetType(const std::uint8_t* a);
    static std::uint32_t GetLength(const std::uint8_t* a);
    static bool IsResident(const std::uint8_t* a) { return a[ntfslayout::kAttrNonResident] == 0; }
    static bool IsNamed(const std::uint8_t* a) { return a[ntfslayout::kAttrNameLength] != 0; }
    static std::uint8_t GetNameLength(const std::uint8_t* a) { return a[ntfslayout::kAttrNameLength]; }
    static std::uint16_t GetOffsetToName(const std::uint8_t* a);
    static std::uint16_t GetFlags(const std::uint8_t* a);
    static bool IsCompressed(const std::uint8_t* a) { return (GetFlags(a) & ntfslayout::kAttrFlagCompressed) != 0; }
    static bool IsEncrypted(const std::uint8_t* a) { return (GetFlags(a) & ntfslayout::kAttrFlagEncrypted) != 0; }
    static std::uint16_t GetID(const std::uint8_t* a);
    // Resident content.
    static std::uint32_t GetLengthOfAttribute(const std::uint8_t* a);
    static std::uint16_t GetOffsetToAttribute(const std::uint8_t* a);
    // Non-resident sizes (returned whatever the validity).
    static std::int64_t GetAllocSizeofAttribute(const std::uint8_t* a);
    static std::int64_t GetRealSizeOfAttribute(const std::uint8_t* a);
    static std::int64_t GetInitializedDataSize(const std::uint8_t* a);
    static std::uint16_t GetCompressionUnitSize(const std::uint8_t* a);

    static constexpr int kResidentHeaderBytes = ntfslayout::kResidentHeaderBytes;
    static constexpr int kNonResidentHeaderBytes = ntfslayout::kNonResidentHeaderBytes;
};

// $STANDARD_INFORMATION (0x10); content read at offset 24.
class CNTFSFileRecordStandardInformationAttribute {
public:
    // Valid attribute whose length covers every field read (up to byte 60).
    static bool IsValid(const std::uint8_t* attribute, int available);
    static std::int64_t GetCreationFileTime(const std::uint8_t* a);
    static std::int64_t GetModificationFileTime(const std::uint8_t* a);
    static std::int64_t GetLastAccessFileTime(const std::uint8_t* a);
    static std::uint32_t GetDosFilePermission(const std::uint8_t* a);
};

// $FILE_NAME (0x30); content read at offset 24.
class CNTFSFileRecordFileNameAttribute {
public:
    // Valid attribute of type 0x30 whose name fits it, without any of
    // " * / : < > ? \ | in the name.
    static bool IsValid(const std::uint8_t* attribute, int available);
    static bool IsFileNameEqual(const std::uint8_t* attribute, const wchar_t* text);
    static void WCH2U16(const wchar_t* text, int count, std::uint16_t* out);

    static std::uint64_t GetFileRecordNumberofParentDirectory(const std::uint8_t* a);
    static std::int64_t GetCreationFileTime(const std::uint8_t* a);
    static std::int64_t GetModificationFileTime(const std::uint8_t* a);
    static std::int64_t GetLastAccessFileTime(const std::uint8_t* a);
    static std::int64_t GetFileRealSize(const std::uint8_t* a);
    static std::uint32_t GetFlags(const std::uint8_t* a);
    static bool IsDirectory(const std::uint8_t* a) { return (GetFlags(a) & ntfslayout::kFileNameFlagDirectory) != 0; }
    static bool IsCompressed(const std::uint8_t* a) { return (GetFlags(a) & ntfslayout::kFileNameFlagCompressed) != 0; }
    static bool IsEncrypted(const std::uint8_t* a) { return (GetFlags(a) & ntfslayout::kFileNameFlagEncrypted) != 0; }
    static std::uint8_t GetNameLength(const std::uint8_t* a) {
        return a[ntfslayout::kFileNameAt + ntfslayout::kFileNameNameLength];
    }
    // 0..3 as stored, 4 for anything larger.
    static std::uint8_t GetFileNameNamespaceType(const std::uint8_t* a);
    static const std::uint8_t* GetFileName(const std::uint8_t* a) { return a + kNameOffset; }

    static constexpr int kNameOffset = ntfslayout::kFileNameAt + ntfslayout::kFileNameName;
};

// $INDEX_ROOT (0x90).
class CNTFSFileRecordIndexRootAttribute {
public:
    static bool IsValid(const std::uint8_t* attribute, int available);
    // MFT number of the folder that owns the index (the common parent of its
    // entries), or -1.
    static std::int64_t GetMFTFileRecordNumberfrom0x90(const std::uint8_t* attribute, int available);
};

// One decoded run: first cluster on the volume (-1 sparse), first cluster
// within the stream, length in clusters.
struct CDataRun {
    std::int64_t LCN = 0;
    std::int64_t VCN = 0;
    std::int64_t length = 0;
    bool operator==(const CDataRun&) const = default;
};

class CNTFSDataRunList {
public:
    CNTFSDataRunList() = default;
    CNTFSDataRunList(const CNTFSDataRunList&) = default;
    CNTFSDataRunList& operator=(const CNTFSDataRunList&) = default;

    // Header nibbles at most 4 each and a terminating 0 inside `length`.
    static bool IsValid(const std::uint8_t* runs, int length);
    // Decodes (without the nibble rule: the compact form uses up to 8 bytes)
    // and appends; stops at a 0 header or the buffer end. False when a run
    // would pass the buffer end.
    static bool FormDataRunList(const std::uint8_t* runs, int length, std::vector<CDataRun>& out);
    // Sum of run lengths, 64-bit; -1 for an invalid list.
    static std::int64_t GetTotalClusters(const std::uint8_t* runs, int length);

    bool InitFromBuffer(const std::uint8_t* runs, int length);
    bool AddDataRunsfromBuffer(const std::uint8_t* runs, int length, std::int64_t vcnBase);
    void AddDataRun(const CDataRun& run) { m_runs.push_back(run); }

    // -1 when unmapped, sparse or the list is empty.
    std::int64_t GetLCN(std::int64_t vcn) const;
    std::int64_t GetVCN(std::int64_t lcn) const;
    bool IsLCNContained(std::int64_t lcn) const { return GetVCN(lcn) != -1; }
    std::int64_t GetTotalClusters() const;
    bool IsEmpty() const { return m_runs.empty(); }
    std::size_t GetCount() const { return m_runs.size(); }
    std::vector<CDataRun>::const_iterator GetBegin() const { return m_runs.begin(); }
    std::vector<CDataRun>::const_iterator GetEnd() const { return m_runs.end(); }
    const std::vector<CDataRun>& Runs() const { return m_runs; }
    void GetDataRunList(std::vector<CDataRun>& out) const;
    void ClearDataRunList() { m_runs.clear(); }
    bool IsEqual(const CNTFSDataRunList& other) const { return m_runs == other.m_runs; }
    void Sort();

    // Frame layout: run count (i64), then LCN, length, VCN (i64 each) per run.
    bool Save(IRSData& rs) const;
    bool Restore(IRSData& rs);

private:
    std::vector<CDataRun> m_runs;
};

// $DATA and other non-resident attributes.
class CNTFSFileRecordDataRunsAttribute {
public:
    static const std::uint8_t* GetDataRunsBuffer(const std::uint8_t* attribute, int available);
    static int GetDataRunsLength(const std::uint8_t* attribute, int available);
    static std::int64_t GetStartVCN(const std::uint8_t* attribute);
    static std::int64_t GetLastVCN(const std::uint8_t* attribute);
    static std::int64_t GetTotalClusters(const std::uint8_t* attribute, int available);
    static bool GetDataRunList(const std::uint8_t* attribute, int available, CNTFSDataRunList& list);
    // Cluster size guessed from initialised size over clusters; 0 when none.
    static std::uint8_t GetSectorsPerCluster(const std::uint8_t* attribute, int available);
};

// Sector size used by the cluster-size guesses; the deep search sets it to
// its device's sector size.
namespace GetSectorsPerCluster {
extern int g_nSectorSize;
}

// q = ceil(bytes / clusters / sectorSize) rounded up to a power of two; 0
// above 128 or for non-positive inputs.
std::uint8_t GuessSectorsPerCluster(std::int64_t bytes, std::int64_t clusters);

class CNTFSFileRecordAnalyzer {
public:
    // Gathers the runs of the unnamed $DATA stream (with `check`, each
    // extent's clusters must equal its VCN span). False for an invalid
    // record, a resident unnamed $DATA or a failed check.
    static bool AddDataRunListfromFileRecordBuffer(const CNTFSFileRecord& record, CNTFSDataRunList& list, int check,
                                                   std::int64_t* realSize);
    static bool AddDataRunListfromFileRecordBuffer(std::uint8_t* record, int size, CNTFSDataRunList& list, int check,
                                                   std::int64_t* realSize);
    static bool GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record, std::uint8_t& sectorsPerCluster);
    static bool GetSectorsPerClusterfrom0x80(std::uint8_t* record, std::uint8_t& sectorsPerCluster);
};

namespace NTFSPublicFunction {
bool IsClusterNOMatch(std::int64_t sector, std::int64_t cluster, std::int64_t partitionStart,
                      std::uint32_t sectorsPerCluster);
}
