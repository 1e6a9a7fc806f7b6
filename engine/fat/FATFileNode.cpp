#include "fat/FATFileNode.h"

#include <cstdio>
#include <cstring>

#include "fat/FATStructures.h"
#include "foundation/DataRun.h"

using byteorder::LE16;
using byteorder::LE32;

// ---- properties ------------------------------------------------------------

CFATFileProperties::~CFATFileProperties() {
    if (m_p.runs) m_p.runs->Release();
}

CFATFileProperties& CFATFileProperties::operator=(const CFATFileProperties& other) {
    if (this == &other) return *this;
    m_p.name = other.m_p.name;
    m_p.hasName = other.m_p.hasName;
    m_p.nameLength = other.m_p.nameLength;
    m_p.state = other.m_p.state;
    m_p.attribute = other.m_p.attribute;
    m_p.firstCluster = other.m_p.firstCluster;
    m_p.parentFirstCluster = other.m_p.parentFirstCluster;
    m_p.creationTime = other.m_p.creationTime;
    m_p.modificationTime = other.m_p.modificationTime;
    m_p.lastAccessTime = other.m_p.lastAccessTime;
    m_p.size = other.m_p.size;
    return *this;
}

void CFATFileProperties::SetFileName(const char* name) {
    if (name == nullptr) {
        m_p.name.clear();
        m_p.hasName = false;
        m_p.nameLength = 0;
        return;
    }
    m_p.name = name;
    m_p.hasName = true;
    m_p.nameLength = static_cast<std::uint16_t>(m_p.name.size() > 0xFFFF ? 0xFFFF : m_p.name.size());
}

IFileProperties* CFATFileProperties::Clone() {
    auto* copy = new CFATFileProperties();
    *copy = *this;
    copy->m_p.metadataSector = m_p.metadataSector;
    if (m_p.runs) copy->m_p.runs = m_p.runs->Clone();
    return copy;
}

void CFATFileProperties::SetCreationTime(std::uint16_t date, std::uint16_t time) {
    DosDateTimeToFileTime(date, time, &m_p.creationTime);
}

void CFATFileProperties::SetModificationTime(std::uint16_t date, std::uint16_t time) {
    DosDateTimeToFileTime(date, time, &m_p.modificationTime);
}

void CFATFileProperties::SetLastAccessTimeFromDosDate(std::uint16_t date) {
    DosDateTimeToFileTime(date, 0, &m_p.lastAccessTime);
}

void CFATFileProperties::SetDataRunList(IDataRunList* runs) {
    if (m_p.runs && m_p.runs != runs) m_p.runs->Release();
    m_p.runs = runs;
}

IDataRunList* CFATFileProperties::DetachDataRunList() {
    IDataRunList* r = m_p.runs;
    m_p.runs = nullptr;
    return r;
}

// ---- node --------------------------------------------------------------------

CFATFileNode::~CFATFileNode() { delete m_properties; }

const char* CFATFileNode::GetFileName() { return m_properties ? m_properties->GetFileName() : ""; }
std::int64_t CFATFileNode::GetFileSize() { return m_properties ? m_properties->GetFileSize() : 0; }
std::uint32_t CFATFileNode::GetAttribute() { return m_properties ? (m_properties->GetAttribute() & 0xFFFF) : 0; }
std::int64_t CFATFileNode::GetCreationTime() { return m_properties ? m_properties->GetCreationTime() : 0; }
std::int64_t CFATFileNode::GetModificationTime() { return m_properties ? m_properties->GetModificationTime() : 0; }
std::int64_t CFATFileNode::GetLastAccessTime() { return m_properties ? m_properties->GetLastAccessTime() : 0; }
int CFATFileNode::IsDirectory() { return m_properties && (m_properties->GetAttribute() & FAT_ATTR_DIRECTORY) ? 1 : 0; }
int CFATFileNode::IsDeleted() { return m_properties && (m_properties->GetState() & FAT_STATE_DELETED) ? 1 : 0; }

void CFATFileNode::MarkDeleted() {
    if (m_properties) m_properties->SetState(m_properties->GetState() | FAT_STATE_DELETED);
}

void CFATFileNode::FilterFileNameByDot() {
    if (!m_properties) return;
    const std::string cleaned = CFileNode::FilterFileNameByDot(m_properties->GetFileName());
    m_properties->SetFileName(cleaned.c_str());
}

void CFATFileNode::SetFileName(const char* name) {
    if (m_properties) m_properties->SetFileName(name);
}

void CFATFileNode::AdoptPropertiesFrom(const CFileNode& other) {
    const auto* fat = dynamic_cast<const CFATFileNode*>(&other);
    if (fat && fat->m_properties && m_properties) *m_properties = *fat->m_properties;
}

void CFATFileNode::SetFileProperties(CFATFileProperties* properties) {
    if (m_properties && m_properties != properties) delete m_properties;
    m_properties = properties;
    if (!properties) return;
    m_nodeId = properties->GetFirstClusterNum();
    m_parentNodeId = properties->GetParentFirstClusterNum();
    CFileNode::SetMetaDataSector(properties->GetMetaDataSector());
}

void CFATFileNode::SetPartition(std::uint16_t index) {
    SetBelongedPartition(index);
    if (!m_properties) return;
    m_nodeId = FATNodeId(index, m_properties->GetFirstClusterNum());
    m_parentNodeId = FATNodeId(index, m_properties->GetParentFirstClusterNum());
}

void CFATFileNode::SetDataRunList(IDataRunList* runs) {
    if (m_dataRunList && m_dataRunList != runs) m_dataRunList->Release();
    m_dataRunList = runs;
}

void CFATFileNode::DelDataRunList() {
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = nullptr;
}

IFileNode* CFATFileNode::Clone() {
    auto* node = new CFATFileNode();
    if (m_properties) {
        auto* props = static_cast<CFATFileProperties*>(m_properties->Clone());
        if (props == nullptr) {
            node->Release();
            return nullptr;
        }
        node->m_properties = props;
    }
    node->m_nodeId = m_nodeId;
    node->m_parentNodeId = m_parentNodeId;
    node->m_status = m_status;
    node->m_compressed = m_compressed;
    if (m_dataRunList) node->m_dataRunList = m_dataRunList->Clone();
    return node;
}

// ---- builder -----------------------------------------------------------------

CFATFileProperties* CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry(const char* name,
                                                                                const std::uint8_t* e) {
    if (e == nullptr) return nullptr;
    auto* p = CFATFileProperties::Create();
    p->SetFileName(name ? name : "");
    p->SetFileSize(LE32(e + tagFATDIRENTRY::kSize));
    p->SetAttribute(e[tagFATDIRENTRY::kAttribute]);
    p->SetCreationTime(LE16(e + tagFATDIRENTRY::kCreateDate), LE16(e + tagFATDIRENTRY::kCreateTime));
    p->SetModificationTime(LE16(e + tagFATDIRENTRY::kModifyDate), LE16(e + tagFATDIRENTRY::kModifyTime));
    p->SetLastAccessTimeFromDosDate(LE16(e + tagFATDIRENTRY::kAccessDate));
    if (e[tagFATDIRENTRY::kName] == FAT_ENTRY_ERASED) p->SetState(FAT_STATE_DELETED);
    return p;
}

CFATFileProperties* CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(const std::uint8_t* buffer,
                                                                                      std::size_t length) {
    if (buffer == nullptr) return nullptr;
    std::string gathered;
    for (std::size_t off = 0; off + FAT_DIR_ENTRY_SIZE <= length; off += FAT_DIR_ENTRY_SIZE) {
        CTempFATDirEntry entry(buffer + off);
        if (entry.IsLongFileNameEntry()) {
            char piece[FAT_LFN_PIECE_UTF8_MAX];
            entry.GetLongFileName(piece, sizeof piece);
            const std::size_t n = std::strlen(piece);
            if (n < tagFATLFNENTRY::kUnits && !gathered.empty()) gathered.clear();  // a new name starts
            gathered.insert(0, piece);
            if (gathered.size() >= kMaxJoinedName) return nullptr;
            continue;
        }
        const std::string name = (!gathered.empty() && CTempFATDirEntry::IsValidLongFileName(gathered.c_str()))
                                     ? gathered
                                     : entry.GetDisplayShortName();
        return BuildFATFilePropertyFromDirEntry(name.c_str(), buffer + off);
    }
    return nullptr;
}

// ---- partition record ----------------------------------------------------------

CFATSearchedPartitionInfo* CFATSearchedPartitionInfo::Clone() const {
    auto* c = new CFATSearchedPartitionInfo(GetSectorSize());
    c->SetPartitionIndex(GetPartitionIndex());
    c->SetFileSystemType(GetFileSystemType());
    c->SetSectorsPerCluster(GetSectorsPerCluster());
    c->SetStartSector(GetStartSector());
    c->SetCluster0Sector(GetCluster0Sector());
    c->SetTotalSectors(GetTotalSectors());
    c->m_reserved = m_reserved;
    c->m_sectorsPerFat = m_sectorsPerFat;
    c->m_totalClusters = m_totalClusters;
    c->m_rootInfo = m_rootInfo;
    c->m_flags = m_flags;
    return c;
}

CFATSearchedPartitionInfo* CreateFATSearchedPartitionInfo(std::uint32_t sectorSize) {
    return new CFATSearchedPartitionInfo(sectorSize);
}

void DestroyFATSearchedPartitionInfo(CFATSearchedPartitionInfo* info) { delete info; }
