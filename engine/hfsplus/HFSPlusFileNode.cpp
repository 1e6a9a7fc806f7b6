#include "hfsplus/HFSPlusFileNode.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "foundation/DataRun.h"
#include "foundation/Log.h"
#include "hfsplus/HFSPlusCompressFileReader.h"
#include "hfsplus/HFSPlusVolume.h"

#include <uninorm.h>

namespace {
constexpr std::int64_t kEpochDelta1601To1904 = 95616288000000000LL;  // 100 ns units
constexpr std::uint64_t kLargeOrphanSize = 0x40000000;               // 1 GiB

void AppendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}
// Code points HFS+ stores as they are, outside its decomposition: NFC maps
// some of them to others (OHM SIGN to OMEGA, CJK compatibility ideographs to
// their unified forms), which would rename the file.
bool KeptUndecomposed(std::uint32_t cp) {
    return (cp >= 0x2000 && cp <= 0x2FFF) || (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0x2F800 && cp <= 0x2FAFF);
}

// `utf8` in composed form; as it is when the library cannot compose it.
void AppendComposed(std::string& out, const std::string& utf8) {
    if (utf8.empty()) return;
    std::size_t length = 0;
    std::uint8_t* composed =
        u8_normalize(UNINORM_NFC, reinterpret_cast<const std::uint8_t*>(utf8.data()), utf8.size(), nullptr, &length);
    if (!composed) {
        out += utf8;
        return;
    }
    out.append(reinterpret_cast<const char*>(composed), length);
    std::free(composed);
}
}  // namespace

std::string CHFSPlusFileNode::ConvertName(const HFSUniStr255& name) {
    // HFS+ keeps names decomposed (NFD); Linux programs and users type and
    // compare them composed (NFC), so `café.txt` finds the recovered file.
    // Runs between the code points HFS+ leaves alone are composed one by one.
    std::string out, run;
    std::size_t n = std::min<std::size_t>(name.length, 255);
    std::size_t i = 0;
    while (i < n && name.unicode[i] == 0) ++i;
    for (; i < n; ++i) {
        std::uint32_t c = name.unicode[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && name.unicode[i + 1] >= 0xDC00 && name.unicode[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (name.unicode[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;  // a lone surrogate
        } else if (c == '/') {
            // Finder names may hold '/'; the POSIX view shows it as ':' so a
            // recovered path never gains a folder.
            c = ':';
        }
        if (KeptUndecomposed(c)) {
            AppendComposed(out, run);
            run.clear();
            AppendUtf8(out, c);
        } else {
            AppendUtf8(run, c);
        }
    }
    AppendComposed(out, run);
    return out;
}

std::int64_t CHFSPlusFileNode::TimeConvert(std::uint32_t hfsTime) {
    if (hfsTime == 0) return 0;
    return static_cast<std::int64_t>(hfsTime) * 10000000LL + kEpochDelta1601To1904;
}

IDataRunList* CHFSPlusFileNode::BuildFileDataRun(CHFSPlusVolume* volume, std::uint32_t fileID,
                                                 const HFSPlusForkData& fork, std::uint8_t forkType) {
    IDataRunList* list = CreateDataRunList();
    if (!list) return nullptr;
    std::vector<HFSPlusExtentDescriptor> extents;
    if (volume) {
        volume->CollectForkExtents(fileID, forkType, fork, true, extents);
    } else {
        // Without a volume only the fork's own eight extents are known.
        std::uint64_t placed = 0;
        for (const auto& d : fork.extents) {
            if (placed >= fork.totalBlocks) break;
            if (d.blockCount == 0) continue;
            HFSPlusExtentDescriptor e = d;
            e.blockCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.blockCount, fork.totalBlocks - placed));
            extents.push_back(e);
            placed += e.blockCount;
        }
    }
    for (const auto& e : extents) {
        DataRun run;
        run.start = e.startBlock;
        run.length = e.blockCount;
        list->AddDataRun(&run);
    }
    return list;
}

CHFSPlusFileNode::CHFSPlusFileNode(CHFSPlusVolume* volume, BTKey* key, HFSPlusCatalogRecord* record, int deleted)
    : m_volume(volume) {
    CreateFileNode(0, 0, key, record, deleted);
}

CHFSPlusFileNode::CHFSPlusFileNode(CHFSPlusVolume* volume, std::int64_t metadataSector, std::uint16_t partitionIndex,
                                   BTKey* key, HFSPlusCatalogRecord* record)
    : m_volume(volume) {
    CreateFileNode(metadataSector, partitionIndex, key, record, 0);
    SetPlace(partitionIndex);
}

void CHFSPlusFileNode::SetPlace(std::uint16_t place) {
    SetBelongedPartition(place);
    // Built from the catalog ids on disk, so a later stamp replaces an
    // earlier one instead of mixing two places.
    auto onDisk = [](std::int64_t id) { return id < 0 ? id : id & 0xFFFFFFFF; };
    m_nodeId = HFSPlusTreeId(place, onDisk(m_nodeId));
    m_parentNodeId = HFSPlusTreeId(place, onDisk(m_parentNodeId));
}

void CHFSPlusFileNode::CreateFileNode(std::int64_t metadataSector, std::uint16_t partitionIndex, BTKey* key,
                                      HFSPlusCatalogRecord* record, int deleted) {
    if (key && record) {
        const auto* catalogKey = static_cast<const HFSPlusCatalogKey*>(key);
        m_parentNodeId = catalogKey->parentID;
        m_name = ConvertName(catalogKey->nodeName);
        auto stamp = [&](std::uint32_t create, std::uint32_t modify, std::uint32_t access) {
            m_createDate = create;
            m_modifyDate = modify;
            m_accessDate = access;
            SetBelongedPartition(partitionIndex);
            SetMetaDataSector(metadataSector);
        };
        if (record->recordType == kHFSPlusFileRecord) {
            const HFSPlusCatalogFile& file = record->file;
            m_nodeId = file.fileID;
            if (file.permissions.ownerFlags & kHFSOwnerCompressed) {
                m_flags |= kFlagCompressed;
                m_compressed = 1;
                m_forkSize = file.resourceFork.logicalSize;
                m_fileSize = m_forkSize;
                if (m_forkSize != 0) {
                    // The resource fork's own overflow records (fork type 0xFF).
                    m_dataRunList = BuildFileDataRun(m_volume, file.fileID, file.resourceFork, kHFSResourceForkType);
                }
                // What a recovery writes is the uncompressed data: its size
                // is the decmpfs header's, for inline and resource-fork data
                // alike (the fork size would cut the file, inline files would
                // come out empty).
                UpdateNodeInfo();
            } else {
                m_fileSize = file.dataFork.logicalSize;
                m_forkSize = m_fileSize;
                if (m_fileSize == 0) m_fileSize = static_cast<std::uint64_t>(file.dataFork.totalBlocks) * 4096;
                m_dataRunList = BuildFileDataRun(m_volume, file.fileID, file.dataFork, kHFSDataForkType);
            }
            if (m_parentNodeId == 0 && m_name.empty() && m_fileSize > kLargeOrphanSize) return;
            stamp(file.createDate, file.contentModDate, file.accessDate);
            if ((file.userInfo.fdType == kHFSHardLinkFileType && file.userInfo.fdCreator == kHFSPlusCreator) ||
                file.userInfo.fdType == kHFSFolderAliasType) {
                m_flags |= kFlagDirectory;
            }
        } else if (record->recordType == kHFSPlusFolderRecord) {
            m_flags |= kFlagDirectory;
            const HFSPlusCatalogFolder& folder = record->folder;
            if (folder.folderID != kHFSRootParentID) {
                m_nodeId = folder.folderID;
                m_fileSize = 0;
                stamp(folder.createDate, folder.contentModDate, folder.accessDate);
                if (deleted && folder.folderID != kHFSRootFolderID) m_flags |= kFlagDeleted;
                return;
            }
        }
        // Threads and unknown records keep node id -1; the searches drop them.
    }
    if (deleted) m_flags |= kFlagDeleted;
}

void CHFSPlusFileNode::UpdateNodeInfo() {
    if (!IsCompressed() || !m_volume || !m_volume->GetAttributesTree()) return;
    std::uint8_t* data = nullptr;
    std::uint32_t size = m_volume->getAttribute(GetCatalogID(), "com.apple.decmpfs", &data);
    std::unique_ptr<std::uint8_t[]> owner(data);
    if (size >= kDecmpfsHeaderSize && data) {
        m_fileSize = byteorder::LE64(data + kDecmpfsSizeOffset);
    } else {
        LogDiagnostic("Warn:Can't find file 0x%" PRIx64 " Attribute\n", static_cast<std::uint64_t>(m_nodeId));
    }
}

IFileReader* CHFSPlusFileNode::CreateCompressFileReader(void*) {
    if (!IsCompressed()) return nullptr;
    return new (std::nothrow) CHFSPlusCompressFileReader(m_volume, this);
}

CHFSPlusFileNode* CreateHFSPlusFileNode(CHFSPlusVolume* volume, HFSPlusCatalogKey* key, HFSPlusCatalogRecord* record,
                                        int deleted) {
    return new (std::nothrow) CHFSPlusFileNode(volume, key, record, deleted);
}
