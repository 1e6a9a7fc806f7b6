#pragma once
// The in-memory model of one found NTFS file: its node, its properties and
// the compact form in which the properties keep its runs.

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/DataRun.h"
#include "foundation/FileNode.h"
#include "foundation/FileProperties.h"
#include "ntfs/NTFSMultiFileRecord.h"

class IRSData;
class CCommonFileRecordInfo;
class CCompressedDataRunList;

// DOS-style attribute bits of NTFS properties.
enum : std::uint16_t {
    NTFS_ATTR_READONLY = 0x0001,
    NTFS_ATTR_HIDDEN = 0x0002,
    NTFS_ATTR_SYSTEM = 0x0004,
    NTFS_ATTR_DIRECTORY = 0x0010,
    NTFS_ATTR_ARCHIVE = 0x0020,
    NTFS_ATTR_ENCRYPTED = 0x0040,
    NTFS_ATTR_COMPRESSED = 0x0800,
};

#pragma pack(push, 1)
struct CNTFSFilePropertiesStruct {
    char* name;  // UTF-8, NUL-terminated (not owned by the struct)
    std::uint16_t nameLength;
    std::int64_t size;
    std::uint16_t attribute;
    std::int64_t creationTime;
    std::int64_t modificationTime;
    std::int64_t lastAccessTime;
    std::uint16_t state;  // bit 0: deleted
    std::int64_t recordStartSector;
    CCompressedDataRunList* runs;
    ExtendFileRecordInfoList* extensions;
    std::int64_t mftNumber;
};
#pragma pack(pop)
static_assert(sizeof(CNTFSFilePropertiesStruct) == 78);

// One resident stream: the FILE record's sector and the content's offset
// inside that record.
class CResidentNTFSDataRunList : public CDataRunList {
public:
    static constexpr int kListType = 1;
    void InitList(std::int64_t start, std::int64_t length, std::uint32_t offset);
    int IsResident() override { return 1; }
    std::int64_t GetOffset() override { return m_offset; }
    int GetDataRunListType() override { return kListType; }
    IDataRunList* Clone() override;

private:
    std::uint32_t m_offset = 0;
};

// Runs {LCN, length in clusters} in VCN order; sparse runs start at -1.
class CNoneResidentNTFSDataRunList : public CDataRunList {
public:
    static constexpr int kListType = 2;
    // Decodes a compact run encoding.
    bool InitFromBuffer(const std::uint8_t* compact, int length);
    // Appends a copy, never joined to the previous run.
    void AddDataRun(const DataRun& run) { AppendDataRunUnmerged(run); }
    using CDataRunList::AddDataRun;
    int GetDataRunListType() override { return kListType; }
    IDataRunList* Clone() override;
};

// Runs kept in the NTFS mapping-pairs layout (deltas up to 8 bytes).
class CCompressedDataRunList {
public:
    static CCompressedDataRunList* Compress(IDataRunList* list);
    IDataRunList* Decompress() const;
    int GetCompressedDataRunSize() const;
    std::uint16_t GetDataOffset() const { return m_dataOffset; }
    std::vector<std::uint8_t> Bytes() const { return {Data(), Data() + m_bytes.size()}; }
    CCompressedDataRunList* Clone() const { return new CCompressedDataRunList(*this); }

    // Frame layout: u32 byte count, the bytes, u16 data offset.
    bool Save(IRSData& rs) const;
    static CCompressedDataRunList* Restore(IRSData& rs);

    // Bytes needed for v as a signed little-endian number (1..8).
    static int GetNeedBytes(std::int64_t v);
    static std::vector<std::uint8_t> CreateCompressedDataRun(const std::vector<DataRun>& runs);

private:
    const std::uint8_t* Data() const { return reinterpret_cast<const std::uint8_t*>(m_bytes.data()); }

    std::uint16_t m_dataOffset = 0;
    // The mapping pairs. A string keeps up to 15 bytes inside the object,
    // which holds the runs of most files (a few runs of small deltas), so a
    // found file's runs cost no allocation of their own.
    std::string m_bytes;
};

class CNTFSFileProperties : public IFileProperties {
public:
    static CNTFSFileProperties* Create();
    static void Destory(CNTFSFileProperties* p) { delete p; }
    ~CNTFSFileProperties() override;

    int GetFileNameLength() override { return m_nameLength; }
    void SetFileName(const char* name) override;
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_size; }
    std::uint32_t GetAttribute() override { return m_attribute; }
    std::int64_t GetRawFileCreateTime() override { return 0; }
    const char* GetRawFileCreateTimeText() const { return ""; }
    std::int64_t GetCreationTime() override { return m_creationTime; }
    std::int64_t GetModificationTime() override { return m_modificationTime; }
    std::int64_t GetLastAccessTime() override { return m_lastAccessTime; }
    unsigned short GetState() override { return m_state; }
    void SetState(unsigned short state) override { m_state = state; }
    // Decoded runs in a new list the caller releases; null without runs.
    IDataRunList* GetDataRunList() override;
    // An independent copy: its own name, runs and extension list.
    IFileProperties* Clone() override;

    // Copies every field except the extension list; the name is copied, the
    // compact runs are taken over.
    void Init(const CNTFSFilePropertiesStruct& s);
    void SetFileSize(std::int64_t size) { m_size = size; }
    void SetAttribute(std::uint16_t attribute) { m_attribute = attribute; }
    std::int64_t GetFileRecordStartSector() const { return m_recordStartSector; }
    void SetFileRecordStartSector(std::int64_t sector) { m_recordStartSector = sector; }
    ExtendFileRecordInfoList* GetExtendFileRecordInfoList() const { return m_extensions; }
    void SetExtendFileRecordInfoList(ExtendFileRecordInfoList* list);  // takes ownership
    std::int64_t GetFileRecordIndex() const { return m_mftNumber; }
    void SetFileRecordIndex(std::int64_t mft) { m_mftNumber = mft; }
    void SetDataRunList(IDataRunList* list);  // the list stays the caller's
    const CCompressedDataRunList* GetCompressedDataRunList() const { return m_runs; }

private:
    CNTFSFileProperties() = default;

    // One per found file: the 16-bit fields sit together so that no padding
    // follows each of them.
    std::string m_name;
    std::int64_t m_size = 0;
    std::int64_t m_creationTime = 0;
    std::int64_t m_modificationTime = 0;
    std::int64_t m_lastAccessTime = 0;
    std::int64_t m_recordStartSector = 0;
    CCompressedDataRunList* m_runs = nullptr;          // owned
    ExtendFileRecordInfoList* m_extensions = nullptr;  // owned
    std::int64_t m_mftNumber = 0;
    std::uint16_t m_nameLength = 0;
    std::uint16_t m_attribute = 0;
    std::uint16_t m_state = 0;
};

class CNTFSFilePropertiesBuilder {
public:
    // New properties from a FILE record and its extension records, or null.
    static CNTFSFileProperties* BuildFileProperties(std::int64_t recordSector, CNTFSMultiFileRecord& record,
                                                    std::int64_t clusterSize, std::int64_t* parent);
    static void AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(IFileProperties* p, std::uint8_t spc);
};

// UTF-16LE to UTF-8; units that do not convert (unpaired surrogates) become
// U+FFFD. At most `maxBytes` bytes of output, cut at a character boundary.
std::string NTFSUtf16ToUtf8(const std::uint8_t* utf16le, int units, std::size_t maxBytes = 1023);

class CNTFSFileNode : public CFileNode {
public:
    CNTFSFileNode() = default;
    ~CNTFSFileNode() override;
    CNTFSFileNode(const CNTFSFileNode&) = delete;
    CNTFSFileNode& operator=(const CNTFSFileNode&) = delete;

    const char* GetFileName() override;
    std::int64_t GetFileSize() override;
    std::uint32_t GetAttribute() override;
    std::int64_t GetCreationTime() override;
    std::int64_t GetModificationTime() override;
    std::int64_t GetLastAccessTime() override;
    int IsDirectory() override { return (GetAttribute() & NTFS_ATTR_DIRECTORY) != 0; }
    int IsDeleted() override;
    _tagSearcherType GetSearcheType() const override { return SEARCHER_NTFS; }
    IFileNode* Clone() override;
    void MarkDeleted() override;
    // A new, unopened reader of NTFS-compressed data; null when memory is short.
    IFileReader* CreateCompressFileReader(void*) override;
    int IsCompressed() const override;
    void FilterFileNameByDot() override;
    // The name lives in the properties (the recycle-bin rename sets it).
    void SetFileName(const char* name) override {
        if (m_properties != nullptr && name != nullptr) m_properties->SetFileName(name);
    }

    // Takes ownership of the properties: the node frees them when it goes.
    void SetFileProperties(IFileProperties* properties);
    IFileProperties* GetFileProperties() const { return m_properties; }
    void SetCurrentNodeID(std::int64_t id) { m_nodeId = id; }
    void SetPrivateDataofSpecifiedFileSystem(CCommonFileRecordInfo* info) { m_info = info; }
    CCommonFileRecordInfo* GetPrivateDataofSpecifiedFileSystem() const { return m_info; }
    void SetMetadataStartPosition(std::int64_t position) { m_metadataStart = position; }
    std::int64_t GetMetadataStartPositionOfNode() const { return m_metadataStart; }

protected:
    // Decodes the runs kept compact in the properties, once.
    IDataRunList* LoadDataRunList() const override;

private:
    // First, so that it fills the tail of the base node: one per found file.
    mutable bool m_runsLoaded = false;
    IFileProperties* m_properties = nullptr;  // owned
    CCommonFileRecordInfo* m_info = nullptr;  // not owned
    std::int64_t m_metadataStart = -1;
};

CNTFSFileNode* CreateNTFSFileNode();

class CIsMetaFileRecord {
public:
    static bool IsMetaFileRecord(std::int64_t mft) { return mft < 25; }
    static bool IsMetaFileRecord(std::uint8_t* record, int size);
};
