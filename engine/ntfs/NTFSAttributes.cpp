#include "ntfs/NTFSAttributes.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "foundation/ByteOrder.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSIndexRecord.h"
#include "ntfs/NTFSLayout.h"

using namespace byteorder;
using namespace ntfslayout;

namespace GetSectorsPerCluster {
int g_nSectorSize = 512;
}

// ------------------------------------------------- CNTFSFileRecordAttribute

std::uint32_t CNTFSFileRecordAttribute::GetType(const std::uint8_t* a) { return LE32(a + kAttrType); }
std::uint32_t CNTFSFileRecordAttribute::GetLength(const std::uint8_t* a) { return LE32(a + kAttrLength); }
std::uint16_t CNTFSFileRecordAttribute::GetOffsetToName(const std::uint8_t* a) { return LE16(a + kAttrNameOffset); }
std::uint16_t CNTFSFileRecordAttribute::GetFlags(const std::uint8_t* a) { return LE16(a + kAttrFlags); }
std::uint16_t CNTFSFileRecordAttribute::GetID(const std::uint8_t* a) { return LE16(a + kAttrId); }
std::uint32_t CNTFSFileRecordAttribute::GetLengthOfAttribute(const std::uint8_t* a) {
    return LE32(a + kAttrContentLength);
}
std::uint16_t CNTFSFileRecordAttribute::GetOffsetToAttribute(const std::uint8_t* a) {
    return LE16(a + kAttrContentOffset);
}
std::int64_t CNTFSFileRecordAttribute::GetAllocSizeofAttribute(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kAttrAllocatedSize));
}
std::int64_t CNTFSFileRecordAttribute::GetRealSizeOfAttribute(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kAttrRealSize));
}
std::int64_t CNTFSFileRecordAttribute::GetInitializedDataSize(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kAttrInitializedSize));
}
std::uint16_t CNTFSFileRecordAttribute::GetCompressionUnitSize(const std::uint8_t* a) {
    return LE16(a + kAttrCompressionUnit);
}

bool CNTFSFileRecordAttribute::IsValid(const std::uint8_t* a, int available) {
    if (a == nullptr || available < 16) return false;
    const std::uint32_t length = GetLength(a);
    if (length > static_cast<std::uint32_t>(available)) return false;
    // The header itself must fit before any of its fields is read.
    if (IsResident(a)) {
        if (length < kResidentHeaderBytes) return false;
        return IsValidResidentAttribute(a);
    }
    if (length < kNonResidentHeaderBytes) return false;
    return IsValidNonResidentAttribute(a);
}

bool CNTFSFileRecordAttribute::IsValidNonResidentAttribute(const std::uint8_t* a) {
    const std::uint32_t length = GetLength(a);
    const std::uint16_t runsOffset = LE16(a + kAttrRunsOffset);
    if (runsOffset > length) return false;
    if (GetType(a) == kAttrData)
        return CNTFSDataRunList::IsValid(a + runsOffset, static_cast<int>(length - runsOffset));
    return true;
}

bool CNTFSFileRecordAttribute::IsValidResidentAttribute(const std::uint8_t* a) {
    return static_cast<std::uint64_t>(GetOffsetToAttribute(a)) + GetLengthOfAttribute(a) <= GetLength(a);
}

// ------------------------------------- $STANDARD_INFORMATION and $FILE_NAME

bool CNTFSFileRecordStandardInformationAttribute::IsValid(const std::uint8_t* a, int available) {
    assert(a != nullptr && "pAttributeBuffer != NULL");
    if (a == nullptr || !CNTFSFileRecordAttribute::IsValid(a, available)) return false;
    // Every field is read at a fixed place, the content taken to follow the
    // resident header.
    if (CNTFSFileRecordAttribute::GetLength(a) < kStdInfoAt + kStdInfoReadBytes) return false;
    return (static_cast<std::uint32_t>(available) & 0xFFFF) >=
           static_cast<std::uint32_t>(CNTFSFileRecordAttribute::GetOffsetToAttribute(a)) + kStdInfoCheckedBytes;
}
std::int64_t CNTFSFileRecordStandardInformationAttribute::GetCreationFileTime(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kStdInfoAt + kStdInfoCreationTime));
}
std::int64_t CNTFSFileRecordStandardInformationAttribute::GetModificationFileTime(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kStdInfoAt + kStdInfoModificationTime));
}
std::int64_t CNTFSFileRecordStandardInformationAttribute::GetLastAccessFileTime(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kStdInfoAt + kStdInfoAccessTime));
}
std::uint32_t CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(const std::uint8_t* a) {
    return LE32(a + kStdInfoAt + kStdInfoDosPermissions);
}

bool CNTFSFileRecordFileNameAttribute::IsValid(const std::uint8_t* a, int available) {
    if (!CNTFSFileRecordAttribute::IsValid(a, available)) return false;
    if (CNTFSFileRecordAttribute::GetType(a) != kAttrFileName) return false;
    const std::uint32_t length = CNTFSFileRecordAttribute::GetLength(a);
    if (length < static_cast<std::uint32_t>(kNameOffset)) return false;
    const int count = GetNameLength(a);
    // The name must lie inside the attribute (which lies inside the buffer).
    if (static_cast<std::uint32_t>(kNameOffset + 2 * count) > length) return false;
    for (int i = 0; i < count; ++i) {
        const std::uint16_t c = LE16(a + kNameOffset + 2 * i);
        if (c == 0) break;
        switch (c) {
        case '"':
        case '*':
        case '/':
        case ':':
        case '<':
        case '>':
        case '?':
        case '\\':
        case '|':
            return false;
        default:
            break;
        }
    }
    return true;
}

bool CNTFSFileRecordFileNameAttribute::IsFileNameEqual(const std::uint8_t* a, const wchar_t* text) {
    if (a == nullptr || text == nullptr) return false;
    std::size_t n = 0;
    while (text[n] != 0) ++n;
    if (n != GetNameLength(a)) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (static_cast<std::uint16_t>(text[i]) != LE16(a + kNameOffset + 2 * i)) return false;
    return true;
}

void CNTFSFileRecordFileNameAttribute::WCH2U16(const wchar_t* text, int count, std::uint16_t* out) {
    for (int i = 0; i < count; ++i) out[i] = static_cast<std::uint16_t>(text[i]);
}

std::uint64_t CNTFSFileRecordFileNameAttribute::GetFileRecordNumberofParentDirectory(const std::uint8_t* a) {
    return LE64(a + kFileNameAt + kFileNameParent) & kMftReferenceMask;
}
std::int64_t CNTFSFileRecordFileNameAttribute::GetCreationFileTime(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kFileNameAt + kFileNameCreationTime));
}
std::int64_t CNTFSFileRecordFileNameAttribute::GetModificationFileTime(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kFileNameAt + kFileNameModificationTime));
}
std::int64_t CNTFSFileRecordFileNameAttribute::GetLastAccessFileTime(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kFileNameAt + kFileNameAccessTime));
}
std::int64_t CNTFSFileRecordFileNameAttribute::GetFileRealSize(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kFileNameAt + kFileNameRealSize));
}
std::uint32_t CNTFSFileRecordFileNameAttribute::GetFlags(const std::uint8_t* a) {
    return LE32(a + kFileNameAt + kFileNameFlags);
}
std::uint8_t CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(const std::uint8_t* a) {
    const std::uint8_t space = a[kFileNameAt + kFileNameNamespace];
    return space > kFileNameNamespaceLast ? kFileNameNamespaceLast + 1 : space;
}

// ----------------------------------------------------------- $INDEX_ROOT

bool CNTFSFileRecordIndexRootAttribute::IsValid(const std::uint8_t* a, int available) {
    assert(a != nullptr && "pAttributeBuffer != NULL");
    if (a == nullptr || !CNTFSFileRecordAttribute::IsValid(a, available)) return false;
    if (!CNTFSFileRecordAttribute::IsResident(a)) return false;
    const std::uint32_t contentLength = CNTFSFileRecordAttribute::GetLengthOfAttribute(a);
    // The index root and the index header's sizes must be there.
    if (contentLength < kIndexRootHeader + kIndexHeaderBytes) return false;
    const std::uint8_t* content = a + CNTFSFileRecordAttribute::GetOffsetToAttribute(a);
    return static_cast<std::uint64_t>(LE32(content + kIndexRootHeader + kIndexHeaderEntriesSize)) + kIndexRootHeader <=
           contentLength;
}

std::int64_t CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(const std::uint8_t* a, int available) {
    if (a == nullptr || !IsValid(a, available)) return -1;
    const std::uint8_t* content = a + CNTFSFileRecordAttribute::GetOffsetToAttribute(a);
    const std::uint8_t* header = content + kIndexRootHeader;
    const std::uint8_t* attrEnd = a + CNTFSFileRecordAttribute::GetLength(a);
    const std::uint64_t entriesOffset = LE32(header + kIndexHeaderEntriesOffset);
    const std::uint64_t entriesSize = LE32(header + kIndexHeaderEntriesSize);
    if (entriesSize < kIndexHeaderBytes) return -1;
    const std::uint64_t firstOff = entriesOffset;  // from the header
    const std::uint64_t endOff = std::min<std::uint64_t>(firstOff + (entriesSize - kIndexHeaderBytes),
                                                         static_cast<std::uint64_t>(attrEnd - header));
    std::int64_t result = -1;
    bool any = false;
    std::uint64_t off = firstOff;
    while (off < endOff) {
        const std::uint8_t* entry = header + off;
        const std::uint64_t room = static_cast<std::uint64_t>(attrEnd - entry);
        if (room < kIndexEntryHeaderBytes) break;
        const std::uint16_t entryLength = LE16(entry + kIndexEntryLength);
        const std::uint16_t flags = LE16(entry + kIndexEntryFlags);
        if (entryLength == 0) break;
        if (flags == kIndexEntryLast) break;
        if (flags != kIndexEntryHasSubnode) {
            // A key needs its name and sizes inside the attribute.
            if (room < kIndexEntryKey + kFileNameName || entry[kIndexEntryKey + kFileNameNameLength] == 0) break;
            if (!CIndexRecord::IsValid(reinterpret_cast<const CIndexRecordStruct*>(entry))) break;
        }
        if (room < kIndexEntryKey + kFileNameParent + 8) break;
        const std::int64_t parent =
            static_cast<std::int64_t>(LE64(entry + kIndexEntryKey + kFileNameParent) & kMftReferenceMask);
        if (!any) {
            result = parent;
            any = true;
        } else if (parent != result) {
            return -1;
        }
        off += entryLength;
    }
    return any ? result : -1;
}

// ------------------------------------------------------ CNTFSDataRunList

bool CNTFSDataRunList::IsValid(const std::uint8_t* runs, int length) {
    if (runs == nullptr || length < 1) return false;
    int p = 0;
    for (;;) {
        if (p >= length) return false;
        const std::uint8_t h = runs[p];
        if (h == 0) return true;
        const int L = h & kRunLengthSizeMask;
        const int O = h >> kRunDeltaSizeShift;
        if (L > 4 || O > 4) return false;
        const int end = p + 1 + L + O;
        if (end >= length) return false;  // the terminator must follow inside
        p = end;
    }
}

bool CNTFSDataRunList::FormDataRunList(const std::uint8_t* runs, int length, std::vector<CDataRun>& out) {
    assert(runs != nullptr && "pu8Buffer != NULL");
    assert(length > 0 && "iLength > 0");
    if (runs == nullptr || length <= 0) return false;
    std::uint64_t lcn = 0;
    std::uint64_t vcn = 0;
    int p = 0;
    while (p < length) {
        const std::uint8_t h = runs[p];
        if (h == 0) break;
        const int L = h & kRunLengthSizeMask;
        const int O = h >> kRunDeltaSizeShift;
        if (L > 8 || O > 8 || p + 1 + L + O > length) return false;
        std::uint64_t len = 0;
        for (int i = 0; i < L; ++i) len |= static_cast<std::uint64_t>(runs[p + 1 + i]) << (8 * i);
        if (static_cast<std::int64_t>(len) < 0) return false;
        CDataRun run;
        run.length = static_cast<std::int64_t>(len);
        run.VCN = static_cast<std::int64_t>(vcn);
        if (O == 0) {
            run.LCN = -1;
        } else {
            std::uint64_t delta = 0;
            for (int i = 0; i < O; ++i) delta |= static_cast<std::uint64_t>(runs[p + 1 + L + i]) << (8 * i);
            if (O < 8 && (runs[p + L + O] & 0x80) != 0) delta |= ~std::uint64_t{0} << (8 * O);
            lcn += delta;  // wraps instead of overflowing
            run.LCN = static_cast<std::int64_t>(lcn);
        }
        vcn += len;
        out.push_back(run);
        p += 1 + L + O;
    }
    return true;
}

std::int64_t CNTFSDataRunList::GetTotalClusters(const std::uint8_t* runs, int length) {
    if (!IsValid(runs, length)) return -1;
    std::vector<CDataRun> list;
    FormDataRunList(runs, length, list);
    std::int64_t total = 0;
    for (const CDataRun& r : list) total += r.length;  // at most 4 bytes each
    return total;
}

bool CNTFSDataRunList::InitFromBuffer(const std::uint8_t* runs, int length) {
    m_runs.clear();
    if (!IsValid(runs, length)) return false;
    return FormDataRunList(runs, length, m_runs);
}

bool CNTFSDataRunList::AddDataRunsfromBuffer(const std::uint8_t* runs, int length, std::int64_t vcnBase) {
    if (!IsValid(runs, length)) return false;
    std::vector<CDataRun> list;
    if (!FormDataRunList(runs, length, list)) return false;
    for (CDataRun& r : list) {
        r.VCN = static_cast<std::int64_t>(static_cast<std::uint64_t>(r.VCN) + static_cast<std::uint64_t>(vcnBase));
        m_runs.push_back(r);
    }
    return true;
}

std::int64_t CNTFSDataRunList::GetLCN(std::int64_t vcn) const {
    for (const CDataRun& r : m_runs) {
        if (vcn >= r.VCN && vcn - r.VCN < r.length) return r.LCN < 0 ? -1 : r.LCN + (vcn - r.VCN);
    }
    return -1;
}

std::int64_t CNTFSDataRunList::GetVCN(std::int64_t lcn) const {
    for (const CDataRun& r : m_runs) {
        if (r.LCN < 0) continue;
        if (lcn >= r.LCN && lcn - r.LCN < r.length) return r.VCN + (lcn - r.LCN);
    }
    return -1;
}

std::int64_t CNTFSDataRunList::GetTotalClusters() const {
    std::int64_t total = 0;
    for (const CDataRun& r : m_runs) total += r.length;
    return total;
}

void CNTFSDataRunList::GetDataRunList(std::vector<CDataRun>& out) const {
    out.insert(out.end(), m_runs.begin(), m_runs.end());
}

void CNTFSDataRunList::Sort() {
    std::stable_sort(m_runs.begin(), m_runs.end(), [](const CDataRun& a, const CDataRun& b) { return a.VCN < b.VCN; });
}

// ------------------------------------------- CNTFSFileRecordDataRunsAttribute

const std::uint8_t* CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(const std::uint8_t* a, int available) {
    assert(CNTFSFileRecordAttribute::IsValid(a, available) &&
           "CNTFSFileRecordAttribute::IsValid(pu8AttributeBuffer, iLength)");
    (void)available;
    return a + LE16(a + kAttrRunsOffset);
}

int CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(const std::uint8_t* a, int available) {
    assert(CNTFSFileRecordAttribute::IsValid(a, available) &&
           "CNTFSFileRecordAttribute::IsValid(pu8AttributeBuffer, iLength)");
    (void)available;
    return static_cast<int>(CNTFSFileRecordAttribute::GetLength(a) - LE16(a + kAttrRunsOffset));
}

std::int64_t CNTFSFileRecordDataRunsAttribute::GetStartVCN(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kAttrStartVcn));
}
std::int64_t CNTFSFileRecordDataRunsAttribute::GetLastVCN(const std::uint8_t* a) {
    return static_cast<std::int64_t>(LE64(a + kAttrLastVcn));
}

std::int64_t CNTFSFileRecordDataRunsAttribute::GetTotalClusters(const std::uint8_t* a, int available) {
    if (!CNTFSFileRecordAttribute::IsValid(a, available) || CNTFSFileRecordAttribute::IsResident(a)) return -1;
    return CNTFSDataRunList::GetTotalClusters(GetDataRunsBuffer(a, available), GetDataRunsLength(a, available));
}

bool CNTFSFileRecordDataRunsAttribute::GetDataRunList(const std::uint8_t* a, int available, CNTFSDataRunList& list) {
    if (!CNTFSFileRecordAttribute::IsValid(a, available) || CNTFSFileRecordAttribute::IsResident(a)) return false;
    return list.AddDataRunsfromBuffer(GetDataRunsBuffer(a, available), GetDataRunsLength(a, available), GetStartVCN(a));
}

std::uint8_t GuessSectorsPerCluster(std::int64_t bytes, std::int64_t clusters) {
    if (bytes < 1 || clusters < 1) return 0;
    int sectorSize = GetSectorsPerCluster::g_nSectorSize;
    if (sectorSize <= 0 || sectorSize % 512 != 0) sectorSize = 512;
    const double q =
        std::ceil(static_cast<double>(bytes) / static_cast<double>(clusters) / static_cast<double>(sectorSize));
    if (q > 128) return 0;
    std::uint8_t spc = 1;
    while (spc < q) spc = static_cast<std::uint8_t>(spc * 2);
    return spc;
}

std::uint8_t CNTFSFileRecordDataRunsAttribute::GetSectorsPerCluster(const std::uint8_t* a, int available) {
    if (!CNTFSFileRecordAttribute::IsValid(a, available) || CNTFSFileRecordAttribute::IsResident(a)) return 0;
    const std::int64_t size = CNTFSFileRecordAttribute::GetInitializedDataSize(a);
    const std::int64_t clusters = GetTotalClusters(a, available);
    return GuessSectorsPerCluster(size, clusters);
}

// ------------------------------------------------- CNTFSFileRecordAnalyzer

bool CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(const CNTFSFileRecord& record, CNTFSDataRunList& list,
                                                                 int check, std::int64_t* realSize) {
    if (!record.IsValid()) return false;
    const std::uint8_t* buffer = record.GetBuffer();
    for (int i = 0;; ++i) {
        const std::uint32_t offset = CNTFSFileRecord::GetAttributeOffset(buffer, kAttrData, i);
        if (offset == CNTFSFileRecord::kNotFound) return true;
        const std::uint8_t* a = buffer + offset;
        const int available = record.GetSize() - static_cast<int>(offset);
        if (CNTFSFileRecordAttribute::GetLength(a) < 1) return false;
        if (!CNTFSFileRecordAttribute::IsValid(a, available)) return false;
        if (CNTFSFileRecordAttribute::IsNamed(a)) continue;
        if (CNTFSFileRecordAttribute::IsResident(a)) return false;
        const std::int64_t firstVcn = CNTFSFileRecordDataRunsAttribute::GetStartVCN(a);
        if (check && !CNTFSFileRecordAttribute::IsCompressed(a)) {
            const std::int64_t clusters = CNTFSFileRecordDataRunsAttribute::GetTotalClusters(a, available);
            const std::int64_t lastVcn = CNTFSFileRecordDataRunsAttribute::GetLastVCN(a);
            // Compare without overflow on hostile VCNs.
            if (clusters < 0 || static_cast<std::uint64_t>(lastVcn) + 1 - static_cast<std::uint64_t>(firstVcn) !=
                                    static_cast<std::uint64_t>(clusters))
                return false;
        }
        if (!list.AddDataRunsfromBuffer(CNTFSFileRecordDataRunsAttribute::GetDataRunsBuffer(a, available),
                                        CNTFSFileRecordDataRunsAttribute::GetDataRunsLength(a, available), firstVcn))
            return false;
        if (firstVcn == 0 && realSize != nullptr) *realSize = CNTFSFileRecordAttribute::GetRealSizeOfAttribute(a);
    }
}

bool CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(std::uint8_t* buffer, int size, CNTFSDataRunList& list,
                                                                 int check, std::int64_t* realSize) {
    CNTFSFileRecord record(buffer, size, 1);
    return AddDataRunListfromFileRecordBuffer(record, list, check, realSize);
}

bool CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record, std::uint8_t& spc) {
    spc = 0;
    CNTFSDataRunList list;
    std::int64_t realSize = 0;
    if (!AddDataRunListfromFileRecordBuffer(record, list, 1, &realSize)) return false;
    spc = GuessSectorsPerCluster(realSize, list.GetTotalClusters());
    return true;
}

bool CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(std::uint8_t* buffer, std::uint8_t& spc) {
    CNTFSFileRecord record(buffer, CNTFSFileRecord::kRecordBytes, 1);
    return GetSectorsPerClusterfrom0x80(record, spc);
}

bool NTFSPublicFunction::IsClusterNOMatch(std::int64_t sector, std::int64_t cluster, std::int64_t partitionStart,
                                          std::uint32_t spc) {
    // A cluster size read from disk may be anything; refuse what no volume has.
    if (spc == 0 || (spc != 1 && spc % 2 != 0)) return false;
    const std::int64_t rel = sector - partitionStart;
    if (rel % static_cast<std::int64_t>(spc) != 0) return false;
    return rel / static_cast<std::int64_t>(spc) == cluster;
}
