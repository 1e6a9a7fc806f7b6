#include "ntfs/NTFSFileNode.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <new>

#include "foundation/RecordContainer.h"
#include "ntfs/NTFSFrameIO.h"
#include "ntfs/NTFSAttributes.h"
#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileRecord.h"
#include "recovery/CompressFileReader.h"
#include "ntfs/NTFSMetaFileRecordType.h"

using namespace byteorder;

// ------------------------------------------------------------- UTF-16 names

std::string NTFSUtf16ToUtf8(const std::uint8_t* s, int units, std::size_t maxBytes) {
    std::string out;
    if (s == nullptr || units <= 0) return out;
    out.reserve(static_cast<std::size_t>(units) * 3);
    for (int i = 0; i < units; ++i) {
        std::uint32_t c = LE16(s + 2 * i);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units) {
            const std::uint32_t lo = LE16(s + 2 * (i + 1));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            } else {
                c = 0xFFFD;
            }
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // unpaired surrogate
        }
        char buf[4];
        std::size_t n;
        if (c < 0x80) {
            buf[0] = static_cast<char>(c);
            n = 1;
        } else if (c < 0x800) {
            buf[0] = static_cast<char>(0xC0 | (c >> 6));
            buf[1] = static_cast<char>(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            buf[0] = static_cast<char>(0xE0 | (c >> 12));
            buf[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buf[2] = static_cast<char>(0x80 | (c & 0x3F));
            n = 3;
        } else {
            buf[0] = static_cast<char>(0xF0 | (c >> 18));
            buf[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            buf[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            buf[3] = static_cast<char>(0x80 | (c & 0x3F));
            n = 4;
        }
        if (out.size() + n > maxBytes) break;
        out.append(buf, n);
    }
    return out;
}

// ----------------------------------------------------------- run list types

void CResidentNTFSDataRunList::InitList(std::int64_t start, std::int64_t length, std::uint32_t offset) {
    DataRun run{start, length};
    AppendDataRunUnmerged(run);
    m_offset = offset;
}

IDataRunList* CResidentNTFSDataRunList::Clone() {
    auto* copy = new (std::nothrow) CResidentNTFSDataRunList;
    if (copy == nullptr) return nullptr;
    for (std::size_t i = 0; i < GetCount(); ++i) copy->AppendDataRunUnmerged(*GetRun(i));
    copy->m_offset = m_offset;
    return copy;
}

bool CNoneResidentNTFSDataRunList::InitFromBuffer(const std::uint8_t* compact, int length) {
    if (compact == nullptr || length <= 0) return false;
    std::vector<CDataRun> runs;
    if (!CNTFSDataRunList::FormDataRunList(compact, length, runs)) return false;
    for (const CDataRun& r : runs) AddDataRun(DataRun{r.LCN, r.length});
    return true;
}

IDataRunList* CNoneResidentNTFSDataRunList::Clone() {
    auto* copy = new (std::nothrow) CNoneResidentNTFSDataRunList;
    if (copy == nullptr) return nullptr;
    for (std::size_t i = 0; i < GetCount(); ++i) copy->AddDataRun(*GetRun(i));
    return copy;
}

// --------------------------------------------------- CCompressedDataRunList

int CCompressedDataRunList::GetNeedBytes(std::int64_t v) {
    for (int n = 1; n < 8; ++n) {
        const std::int64_t limit = std::int64_t{1} << (8 * n - 1);
        if (v < 0 ? v >= -limit : v < limit) return n;
    }
    return 8;
}

std::vector<std::uint8_t> CCompressedDataRunList::CreateCompressedDataRun(const std::vector<DataRun>& runs) {
    std::vector<std::uint8_t> out;
    if (runs.empty()) return out;
    out.reserve(runs.size() * 4 + 1);  // grows as needed: up to 17 bytes per run
    std::int64_t previous = 0;
    for (const DataRun& r : runs) {
        const bool sparse = r.start < 0;
        const std::int64_t delta =
            sparse
                ? 0
                : static_cast<std::int64_t>(static_cast<std::uint64_t>(r.start) - static_cast<std::uint64_t>(previous));
        const int lengthBytes = GetNeedBytes(r.length);
        const int deltaBytes = sparse ? 0 : GetNeedBytes(delta);
        out.push_back(static_cast<std::uint8_t>((deltaBytes << 4) | lengthBytes));
        for (int i = 0; i < lengthBytes; ++i)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(r.length) >> (8 * i)));
        for (int i = 0; i < deltaBytes; ++i)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(delta) >> (8 * i)));
        if (!sparse) previous = r.start;
    }
    out.push_back(0);
    return out;
}

CCompressedDataRunList* CCompressedDataRunList::Compress(IDataRunList* list) {
    assert(list != nullptr && "FALSE");
    if (list == nullptr) return nullptr;
    std::vector<DataRun> runs;
    for (DataRun* r = list->GetFirst(); r != nullptr; r = list->GetNext()) runs.push_back(*r);
    if (runs.empty()) return nullptr;
    auto* c = new (std::nothrow) CCompressedDataRunList;
    if (c == nullptr) return nullptr;
    if (list->GetDataRunListType() == CResidentNTFSDataRunList::kListType) {
        c->m_dataOffset = static_cast<std::uint16_t>(list->GetOffset());
        assert(c->m_dataOffset != 0 && "pCompressedDataRunList->m_u16DataOffset != 0");
    } else {
        assert(list->GetOffset() == 0 && "pDataRunList->GetOffset() == 0");
    }
    const std::vector<std::uint8_t> bytes = CreateCompressedDataRun(runs);
    c->m_bytes.assign(bytes.begin(), bytes.end());
    return c;
}

IDataRunList* CCompressedDataRunList::Decompress() const {
    std::vector<CDataRun> runs;
    if (!m_bytes.empty()) CNTFSDataRunList::FormDataRunList(Data(), static_cast<int>(m_bytes.size()), runs);
    if (m_dataOffset != 0) {
        auto* list = new (std::nothrow) CResidentNTFSDataRunList;
        if (list == nullptr) return nullptr;
        if (!runs.empty()) list->InitList(runs[0].LCN, runs[0].length, m_dataOffset);
        return list;
    }
    auto* list = new (std::nothrow) CNoneResidentNTFSDataRunList;
    if (list == nullptr) return nullptr;
    for (const CDataRun& r : runs) list->AddDataRun(DataRun{r.LCN, r.length});
    return list;
}

int CCompressedDataRunList::GetCompressedDataRunSize() const {
    if (m_bytes.empty()) return 1;
    std::size_t p = 0;
    while (p < m_bytes.size()) {
        const std::uint8_t h = Data()[p];
        if (h == 0) return static_cast<int>(p + 1);
        p += 1 + (h & 0x0F) + (h >> 4);
    }
    return static_cast<int>(m_bytes.size());
}

bool CCompressedDataRunList::Save(IRSData& rs) const {
    std::uint8_t head[4];
    PutLE32(head, static_cast<std::uint32_t>(m_bytes.size()));
    std::uint8_t tail[2];
    PutLE16(tail, m_dataOffset);
    if (!rs.WriteCurFrame(head, sizeof(head))) return false;
    if (!m_bytes.empty() && !rs.WriteCurFrame(Data(), static_cast<unsigned>(m_bytes.size()))) return false;
    return rs.WriteCurFrame(tail, sizeof(tail));
}

CCompressedDataRunList* CCompressedDataRunList::Restore(IRSData& rs) {
    try {
        std::uint8_t head[4];
        if (!ntfsframe::ReadExact(rs, head, sizeof(head))) return nullptr;
        const std::uint32_t count = LE32(head);
        // The count comes from a file: it must fit the frame with its offset.
        const std::uint32_t remaining = rs.GetFrameRemaining();
        if (count == 0 || remaining < 2 || count > remaining - 2) return nullptr;
        auto* c = new (std::nothrow) CCompressedDataRunList;
        if (c == nullptr) return nullptr;
        c->m_bytes.resize(count);
        std::uint8_t tail[2];
        if (!ntfsframe::ReadExact(rs, c->m_bytes.data(), count) || !ntfsframe::ReadExact(rs, tail, sizeof(tail))) {
            delete c;
            return nullptr;
        }
        c->m_dataOffset = LE16(tail);
        return c;
    } catch (const CRSException&) {
        return nullptr;
    }
}

// ------------------------------------------------------ CNTFSFileProperties

CNTFSFileProperties* CNTFSFileProperties::Create() { return new (std::nothrow) CNTFSFileProperties; }

CNTFSFileProperties::~CNTFSFileProperties() {
    delete m_runs;
    delete m_extensions;
}

void CNTFSFileProperties::SetFileName(const char* name) {
    if (name == nullptr) return;
    m_name = name;
    m_nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(m_name.size() + 1, 0xFFFF));
}

IDataRunList* CNTFSFileProperties::GetDataRunList() { return m_runs == nullptr ? nullptr : m_runs->Decompress(); }

IFileProperties* CNTFSFileProperties::Clone() {
    CNTFSFileProperties* copy = Create();
    if (copy == nullptr) return nullptr;
    copy->m_name = m_name;
    copy->m_nameLength = m_nameLength;
    copy->m_size = m_size;
    copy->m_attribute = m_attribute;
    copy->m_creationTime = m_creationTime;
    copy->m_modificationTime = m_modificationTime;
    copy->m_lastAccessTime = m_lastAccessTime;
    copy->m_state = m_state;
    copy->m_recordStartSector = m_recordStartSector;
    copy->m_mftNumber = m_mftNumber;
    // Deep copies: each properties object frees what it holds.
    if (m_runs != nullptr) copy->m_runs = m_runs->Clone();
    if (m_extensions != nullptr) copy->m_extensions = new (std::nothrow) ExtendFileRecordInfoList(*m_extensions);
    return copy;
}

void CNTFSFileProperties::Init(const CNTFSFilePropertiesStruct& s) {
    if (s.name != nullptr)
        SetFileName(s.name);
    else {
        m_name.clear();
        m_nameLength = 0;
    }
    m_size = s.size;
    m_attribute = s.attribute;
    m_creationTime = s.creationTime;
    m_modificationTime = s.modificationTime;
    m_lastAccessTime = s.lastAccessTime;
    m_state = s.state;
    m_recordStartSector = s.recordStartSector;
    if (m_runs != s.runs) {
        delete m_runs;
        m_runs = s.runs;
    }
    m_mftNumber = s.mftNumber;
}

void CNTFSFileProperties::SetExtendFileRecordInfoList(ExtendFileRecordInfoList* list) {
    if (list == m_extensions) return;
    delete m_extensions;
    m_extensions = list;
}

void CNTFSFileProperties::SetDataRunList(IDataRunList* list) {
    if (list == nullptr) return;
    CCompressedDataRunList* runs = CCompressedDataRunList::Compress(list);
    delete m_runs;
    m_runs = runs;
}

// ----------------------------------------------- CNTFSFilePropertiesBuilder

CNTFSFileProperties* CNTFSFilePropertiesBuilder::BuildFileProperties(std::int64_t recordSector,
                                                                     CNTFSMultiFileRecord& record,
                                                                     std::int64_t clusterSize, std::int64_t* parent) {
    if (!record.IsValid()) return nullptr;
    CNTFSFilePropertiesStruct s;
    std::memset(&s, 0, sizeof(s));

    // $FILE_NAME: the Win32 name when the second one is Win32, else the first.
    const std::uint8_t* fn1 = record.FindAttibute(ntfslayout::kAttrFileName, 0, nullptr, nullptr);
    const std::uint8_t* fn2 = record.FindAttibute(ntfslayout::kAttrFileName, 1, nullptr, nullptr);
    if (fn1 == nullptr) return nullptr;
    using FN = CNTFSFileRecordFileNameAttribute;
    const std::uint8_t* chosen = (fn2 != nullptr && FN::GetFileNameNamespaceType(fn2) == 1) ? fn2 : fn1;
    std::int64_t parentNumber;
    if (fn2 != nullptr && FN::GetFileRecordNumberofParentDirectory(fn2) >= 5)
        parentNumber = static_cast<std::int64_t>(FN::GetFileRecordNumberofParentDirectory(fn2));
    else if (FN::GetFileRecordNumberofParentDirectory(fn1) >= 5)
        parentNumber = static_cast<std::int64_t>(FN::GetFileRecordNumberofParentDirectory(fn1));
    else
        parentNumber = static_cast<std::int64_t>(FN::GetFileRecordNumberofParentDirectory(chosen));
    if (parent != nullptr) *parent = parentNumber;
    const int nameUnits = FN::GetNameLength(chosen);
    if (nameUnits == 0) return nullptr;
    if (FN::IsDirectory(chosen)) s.attribute |= NTFS_ATTR_DIRECTORY;
    const std::string name = NTFSUtf16ToUtf8(FN::GetFileName(chosen), nameUnits);
    s.creationTime = FN::GetCreationFileTime(chosen);
    s.modificationTime = FN::GetModificationFileTime(chosen);
    s.lastAccessTime = FN::GetLastAccessFileTime(chosen);
    s.size = FN::GetFileRealSize(chosen);

    // $STANDARD_INFORMATION, when valid by its own length, wins for times and bits.
    const std::uint8_t* si = record.FindAttibute(ntfslayout::kAttrStandardInformation, 0, nullptr, nullptr);
    using SI = CNTFSFileRecordStandardInformationAttribute;
    if (si != nullptr && SI::IsValid(si, static_cast<int>(CNTFSFileRecordAttribute::GetLength(si)))) {
        s.creationTime = SI::GetCreationFileTime(si);
        s.modificationTime = SI::GetModificationFileTime(si);
        s.lastAccessTime = SI::GetLastAccessFileTime(si);
        s.attribute |= static_cast<std::uint16_t>(SI::GetDosFilePermission(si) & 0x27);
    }

    s.recordStartSector = recordSector;
    if (!record.IsinUse()) s.state |= 1;

    // $DATA: the unnamed stream, resident or in runs.
    IDataRunList* finalRuns = nullptr;
    CNTFSDataRunList gathered;
    bool resident = false;
    for (int i = 0;; ++i) {
        std::uint32_t offset = 0;
        std::int64_t sector = 0;
        int available = 0;
        const std::uint8_t* a = record.FindAttibute(ntfslayout::kAttrData, i, &offset, &sector, &available);
        if (a == nullptr) break;
        if (!CNTFSFileRecordAttribute::IsValid(a, available)) continue;
        if (CNTFSFileRecordAttribute::IsNamed(a)) continue;
        if (CNTFSFileRecordAttribute::IsCompressed(a)) s.attribute |= NTFS_ATTR_COMPRESSED;
        if (CNTFSFileRecordAttribute::IsEncrypted(a)) s.attribute |= NTFS_ATTR_ENCRYPTED;
        if (CNTFSFileRecordAttribute::IsResident(a)) {
            auto* list = new (std::nothrow) CResidentNTFSDataRunList;
            if (list != nullptr) list->InitList(sector, 1, CNTFSFileRecordAttribute::GetOffsetToAttribute(a) + offset);
            finalRuns = list;
            s.size = CNTFSFileRecordAttribute::GetLengthOfAttribute(a);
            resident = true;
            break;
        }
        const std::int64_t firstVcn = CNTFSFileRecordDataRunsAttribute::GetStartVCN(a);
        gathered.AddDataRunsfromBuffer(CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(a, available),
                                       CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(a, available), firstVcn);
        if (firstVcn == 0) {
            const std::int64_t real = CNTFSFileRecordAttribute::GetRealSizeOfAttribute(a);
            if (!(s.size > 0 && s.size >= real)) s.size = real;
        }
    }

    if (!resident) {
        gathered.Sort();
        auto* list = new (std::nothrow) CNoneResidentNTFSDataRunList;
        std::int64_t total = 0;
        bool totalOk = true;
        for (const CDataRun& r : gathered.Runs()) {
            if (list != nullptr) list->AddDataRun(DataRun{r.LCN, r.length});
            if (__builtin_add_overflow(total, r.length, &total)) totalOk = false;
        }
        if (s.size < 0) s.size = 0;
        std::int64_t allocated = 0;
        if (clusterSize > 0 && clusterSize % 512 == 0 && totalOk &&
            !__builtin_mul_overflow(clusterSize, total, &allocated)) {
            if (s.size == 0 && allocated != 0)
                s.size = allocated;
            else
                s.size = s.size < allocated ? s.size : allocated;
        }
        finalRuns = list;
    }
    if (finalRuns != nullptr) {
        if (finalRuns->GetFirst() != nullptr) s.runs = CCompressedDataRunList::Compress(finalRuns);
        finalRuns->Release();
    }
    if ((s.attribute & NTFS_ATTR_COMPRESSED) && (s.attribute & NTFS_ATTR_ENCRYPTED))
        s.attribute &= static_cast<std::uint16_t>(~NTFS_ATTR_COMPRESSED);
    s.mftNumber = record.GetMainFileRecordIndex();

    CNTFSFileProperties* p = CNTFSFileProperties::Create();
    if (p == nullptr) {
        delete s.runs;
        return nullptr;
    }
    std::string nameCopy = name;
    s.name = nameCopy.data();
    p->Init(s);
    return p;
}

void CNTFSFilePropertiesBuilder::AdjustFileSizeAccordinttoDataRunsWhenFileSizeLessThanZero(IFileProperties* p,
                                                                                           std::uint8_t spc) {
    auto* props = dynamic_cast<CNTFSFileProperties*>(p);
    if (props == nullptr || props->GetFileSize() >= 0) return;
    const CCompressedDataRunList* runs = props->GetCompressedDataRunList();
    if (runs == nullptr || runs->GetDataOffset() != 0) return;
    IDataRunList* list = runs->Decompress();
    if (list == nullptr) return;
    std::int64_t total = 0;
    for (DataRun* r = list->GetFirst(); r != nullptr; r = list->GetNext()) total += r->length;
    list->Release();
    props->SetFileSize(static_cast<std::int64_t>(spc) * total * 512);
}

// ------------------------------------------------------------ CNTFSFileNode

CNTFSFileNode* CreateNTFSFileNode() { return new (std::nothrow) CNTFSFileNode; }

CNTFSFileNode::~CNTFSFileNode() { delete m_properties; }

const char* CNTFSFileNode::GetFileName() { return m_properties ? m_properties->GetFileName() : ""; }
std::int64_t CNTFSFileNode::GetFileSize() { return m_properties ? m_properties->GetFileSize() : 0; }
std::uint32_t CNTFSFileNode::GetAttribute() { return m_properties ? m_properties->GetAttribute() : 0; }
std::int64_t CNTFSFileNode::GetCreationTime() { return m_properties ? m_properties->GetCreationTime() : 0; }
std::int64_t CNTFSFileNode::GetModificationTime() { return m_properties ? m_properties->GetModificationTime() : 0; }
std::int64_t CNTFSFileNode::GetLastAccessTime() { return m_properties ? m_properties->GetLastAccessTime() : 0; }
int CNTFSFileNode::IsDeleted() { return m_properties && (m_properties->GetState() & 1) ? 1 : 0; }

int CNTFSFileNode::IsCompressed() const {
    return m_properties && (m_properties->GetAttribute() & NTFS_ATTR_COMPRESSED) ? 1 : 0;
}

void CNTFSFileNode::MarkDeleted() {
    if (m_properties) m_properties->SetState(static_cast<unsigned short>(m_properties->GetState() | 1));
}

void CNTFSFileNode::FilterFileNameByDot() {
    if (m_properties == nullptr) return;
    const std::string filtered = CFileNode::FilterFileNameByDot(std::string(m_properties->GetFileName()));
    m_properties->SetFileName(filtered.c_str());
}

void CNTFSFileNode::SetFileProperties(IFileProperties* properties) {
    if (properties != m_properties) delete m_properties;
    m_properties = properties;
    m_nodeId = 0;
    m_parentNodeId = 5;
    if (auto* p = dynamic_cast<CNTFSFileProperties*>(properties)) SetMetaDataSector(p->GetFileRecordStartSector());
    if (m_dataRunList != nullptr) {
        m_dataRunList->Release();
        m_dataRunList = nullptr;
    }
    // The runs stay compact in the properties until someone reads them.
    m_runsLoaded = false;
}

IDataRunList* CNTFSFileNode::LoadDataRunList() const {
    if (m_runsLoaded) return m_dataRunList;
    m_runsLoaded = true;
    // The node itself is not const: only its decoded runs are filled in.
    auto* self = const_cast<CNTFSFileNode*>(this);
    self->m_dataRunList = m_properties != nullptr ? m_properties->GetDataRunList() : nullptr;
    return m_dataRunList;
}

IFileNode* CNTFSFileNode::Clone() {
    CNTFSFileNode* copy = CreateNTFSFileNode();
    if (copy == nullptr) return nullptr;
    IFileProperties* props = m_properties ? m_properties->Clone() : nullptr;
    if (m_properties != nullptr && props == nullptr) {
        copy->Release();
        return nullptr;
    }
    copy->m_properties = props;
    copy->m_nodeId = 0;
    copy->m_parentNodeId = 5;
    if (auto* p = dynamic_cast<CNTFSFileProperties*>(props)) copy->SetMetaDataSector(p->GetFileRecordStartSector());
    if (IDataRunList* runs = GetDataRunList()) copy->m_dataRunList = runs->Clone();
    copy->m_runsLoaded = true;
    copy->m_info = m_info;
    copy->m_metadataStart = m_metadataStart;
    return copy;
}

bool CIsMetaFileRecord::IsMetaFileRecord(std::uint8_t* record, int size) {
    assert(record != nullptr && "u8FileRecordBuffer != NULL");
    if (record == nullptr || size < CNTFSFileRecord::kRecordBytes) return false;
    CNTFSFileRecord r(record, size, 1);
    return CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(r);
}

IFileReader* CNTFSFileNode::CreateCompressFileReader(void*) { return new (std::nothrow) CCompressFileReader; }
