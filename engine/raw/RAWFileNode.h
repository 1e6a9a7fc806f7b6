#pragma once
// The nodes of raw-found files and of their folders, their properties, the
// naming rule and the raw-time parser.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/FileNode.h"
#include "foundation/FileProperties.h"

class CRawFileInfo;
class CRawSearchState;

// Longest name a node holds: the name length is stored in one byte with
// the terminating zero.
constexpr std::size_t kRawNameMax = 254;

class CRAWFileNode;

class CRAWFileProperties : public IFileProperties {
public:
    static CRAWFileProperties* Create() { return new CRAWFileProperties(); }
    static void Destory(CRAWFileProperties* p) { delete p; }
    // From the raw nodes' pool (see CRAWFileNode).
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size) noexcept;

    // Size, raw time and one run (start sector, size rounded up to whole
    // device sectors) from the record; 1. The run goes into `runs` when
    // given (the list stays the caller's); properties of a node keep it
    // compact and hand out the node's list.
    int InitRawFileProperties(CRawFileInfo& record, std::uint32_t sectorSize, IDataRunList* runs);
    // A null name is ignored.
    void SetRawFileName(const char* name);
    void SetRawFileTime(const std::string& time);
    void SetAttribute(std::uint16_t attribute) { m_attribute = attribute; }
    void SetCheckState(std::uint8_t state) { m_checkState = state; }
    int SetMatchState(int state) {
        m_matchState = static_cast<std::uint8_t>(state);
        return 1;
    }
    std::string GetRawFileTime() const;

    int GetFileNameLength() override { return m_nameLength; }
    void SetFileName(const char*) override {}
    const char* GetFileName() override { return m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_size; }
    std::uint32_t GetAttribute() override { return m_attribute; }
    // The raw time as a FILETIME (0 when there is none).
    std::int64_t GetRawFileCreateTime() override { return m_fileTime; }
    std::int64_t GetCreationTime() override { return 0; }
    std::int64_t GetModificationTime() override { return 0; }
    std::int64_t GetLastAccessTime() override { return 0; }
    unsigned short GetState() override { return m_state; }
    void SetState(unsigned short state) override { m_state = static_cast<std::uint8_t>(state); }
    IDataRunList* GetDataRunList() override;
    IFileProperties* Clone() override { return this; }
    std::uint8_t GetCheckState() const { return m_checkState; }
    int GetMaskFlag() const { return 463; }
    int GetMatchState() const { return m_matchState; }
    int GetFilePropertyiesType() const { return 3; }

private:
    friend class CRAWFileNode;
    CRAWFileProperties() = default;
    explicit CRAWFileProperties(CRAWFileNode* owner) : m_owned(true), m_owner(owner) {}
    void SetNameLength() { m_nameLength = static_cast<std::uint8_t>(m_name.size() + 1); }

    // One per found file: kept small, the fields the tree builder reads
    // first at the front.
    std::uint16_t m_attribute = 0;
    std::uint8_t m_nameLength = 0;  // with the terminating zero
    std::uint8_t m_checkState = 0;
    std::uint8_t m_matchState = 0;
    std::uint8_t m_state = 0;
    bool m_owned = false;  // m_owner, not m_runs, is set
    std::string m_name;
    std::int64_t m_size = 0;
    std::int64_t m_fileTime = 0;
    // The one run, in device sectors; its length is 0 when there is none.
    std::int64_t m_runStart = 0;
    std::int64_t m_runLength = 0;
    // The raw time's length, then its bytes, in one block; null for the
    // many records that carry no time.
    std::unique_ptr<char[]> m_rawFileTime;
    union {
        CRAWFileNode* m_owner;         // the node these belong to
        IDataRunList* m_runs = nullptr;  // not owned; of properties without a node
    };
};

class CRAWFileNode : public CFileNode {
public:
    static constexpr std::uint32_t kFolder = 0x10;
    static constexpr std::uint32_t kFile = 0x20;

    // The state gives the name counters and the device's sector size; a
    // node made without one counts names from 0 and runs in 512-byte sectors.
    // The state is only read while the node is made: trees outlive searches.
    explicit CRAWFileNode(CRawSearchState* state) : m_state(state), m_properties(this) {}
    CRAWFileNode(const CRAWFileNode&) = delete;
    CRAWFileNode& operator=(const CRAWFileNode&) = delete;
    // A search makes a node for every file it finds, hundreds of thousands
    // that live as long as the tree: they come from a pool of large chunks,
    // which the kernel can back with huge pages, since first touches of
    // small pages cost more than the rest of the node's making. Properties
    // live inside the node and the run list is made on first use, so a node
    // costs one pool slot and, for most names, no other allocation.
    static void* operator new(std::size_t size);
    static void operator delete(void* p, std::size_t size) noexcept;
    ~CRAWFileNode() override = default;

    // 1 on success, 0 for a null record or a folder with no usable name.
    int Initilaize(CRawFileInfo* record, unsigned attribute, std::int64_t parentId, std::int64_t nodeId);
    // "%s%03d.%s" (prefix, the type's counter, extension) when the prefix is
    // valid UTF-8, else "FILE%03d.%s"; cut to kRawNameMax bytes at a UTF-8
    // boundary of the prefix, counter and extension kept. `out` holds at
    // least kRawNameMax + 1 bytes. The type's counter then rises by one.
    void BuildFileName(char* out, unsigned short type, const char* prefix);
    // The name rule itself, for a given counter.
    static std::string MakeFileName(std::uint32_t counter, unsigned type, const std::string& prefix);
    // The same into `out` (replacing what it held), reusing its storage.
    static void MakeFileName(std::string& out, std::uint32_t counter, unsigned type, const std::string& prefix);
    // A folder name from metadata: bytes that are not UTF-8 become "_", cut
    // to kRawNameMax at a character boundary; empty when nothing is left.
    static std::string MakeFolderName(const std::string& name);
    // The fields of a raw time, split at blanks, "-" and ":".
    static void FileTimeStructs(std::string time, std::vector<std::string>& fields);
    // Local time "Y M D h m s" (any of those separators) as a FILETIME; 0
    // when there are fewer than 6 numeric fields or the date is out of range.
    static std::int64_t RawTimeToFileTime(const std::string& time);

    const char* GetFileName() override { return m_properties.m_name.c_str(); }
    std::int64_t GetFileSize() override { return m_properties.m_size; }
    std::uint32_t GetAttribute() override { return m_properties.m_attribute; }
    std::int64_t GetCreationTime() override { return m_properties.m_fileTime; }
    std::int64_t GetModificationTime() override { return m_properties.m_fileTime; }
    std::int64_t GetLastAccessTime() override { return m_properties.m_fileTime; }
    int IsDirectory() override { return m_made ? ((m_properties.m_attribute & kFolder) ? 1 : 0) : 1; }
    int IsDeleted() override { return 0; }
    IFileNode* Clone() override { return this; }
    void MarkDeleted() override {}
    void FilterFileNameByDot() override {}
    // Null until the node is made.
    CRAWFileProperties* GetProperties() { return m_made ? &m_properties : nullptr; }

protected:
    // The list of the node's one run, made when first asked for.
    IDataRunList* LoadDataRunList() const override;

private:
    CRawSearchState* m_state;
    bool m_made = false;
    mutable bool m_runsLoaded = false;
    CRAWFileProperties m_properties;
};

// True for well-formed UTF-8 without NUL bytes.
bool IsValidUtf8Name(const std::string& s);
