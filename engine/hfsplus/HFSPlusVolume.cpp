#include "hfsplus/HFSPlusVolume.h"

#include <algorithm>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "foundation/Log.h"
#include "foundation/DirectoryTree.h"
#include "foundation/StorageDevice.h"
#include "hfsplus/HFSPlusFileNode.h"
#include "hfsplus/HFSPlusJournal.h"
#include "hfsplus/HFSPlusQuickSearch.h"

namespace {
// Sector sizes the 8,192-byte bounce buffer can serve.
constexpr std::uint32_t kMaxSectorSize = 8192;
// Overflow records a single fork may need before we call it damaged; each
// record carries eight extents, so this is far beyond any real file.
constexpr unsigned kMaxOverflowRounds = 65536;
// Largest single device read; bigger requests are split.
constexpr std::uint64_t kMaxDeviceRead = 8ull << 20;
}  // namespace

// ---------------------------------------------------------------------------
// Special-file readers

CHFSPlusRawfile::CHFSPlusRawfile(CHFSPlusVolume* volume, std::uint32_t fileID, const HFSPlusForkData& fork,
                                 std::uint8_t forkType)
    : m_volume(volume), m_fileID(fileID) {
    if (!volume) {
        m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
        return;
    }
    if (!volume->CollectForkExtents(fileID, forkType, fork, false, m_extents)) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
    }
}

CHFSPlusRawfile::~CHFSPlusRawfile() = default;

std::uint64_t CHFSPlusRawfile::GetExtentBytes() const {
    std::uint64_t blocks = 0;
    for (const auto& e : m_extents) blocks += e.blockCount;
    return m_volume ? blocks * m_volume->GetBlockSize() : 0;
}

std::uint64_t CHFSPlusRawfile::Read(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
    return RawRead(offset, buffer, length);
}

std::uint64_t CHFSPlusRawfile::RawRead(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
    auto fail = [&](EngineResult code, std::uint64_t done) {
        m_status = code;
        LogDiagnostic("Location %" PRIu64 " Size %" PRIu64 "\n", offset, length);
        return done;
    };
    if (!m_volume || !m_volume->GetVolumeHeader()) {
        return fail(m_volume ? HFS_PASS(m_volume->GetLastError()) : HFS_FAIL(HFS_ERR_NULL_ARG), 0);
    }
    if (m_extents.empty()) return fail(HFS_FAIL(HFS_ERR_MISSING), 0);
    if (!buffer) return fail(HFS_FAIL(HFS_ERR_NULL_ARG), 0);
    if (length == 0) return 0;
    const std::uint64_t blockSize = m_volume->GetBlockSize();

    // Find the extent that holds the offset.
    std::size_t i = 0;
    std::uint64_t extentStart = 0;  // file offset of extent i
    for (; i < m_extents.size(); ++i) {
        std::uint64_t bytes = m_extents[i].blockCount * blockSize;
        if (offset < extentStart + bytes) break;
        extentStart += bytes;
    }
    if (i == m_extents.size()) return fail(HFS_FAIL(HFS_ERR_BAD_DATA), 0);

    std::uint64_t done = 0;
    std::uint64_t inExtent = offset - extentStart;
    while (done < length) {
        if (i == m_extents.size()) return fail(HFS_FAIL(HFS_ERR_BAD_DATA), done);
        std::uint64_t bytes = m_extents[i].blockCount * blockSize;
        std::uint64_t take = std::min(bytes - inExtent, length - done);
        std::uint64_t at = m_extents[i].startBlock * blockSize + inExtent;
        std::uint64_t got = m_volume->Read(at, buffer + done, take);
        done += got;
        if (got != take) return fail(HFS_FAIL(HFS_ERR_SHORT_READ), done);
        ++i;
        inExtent = 0;
    }
    m_status = 0;
    return done;
}

CHFSPlusFileCache::CHFSPlusFileCache(CHFSPlusVolume* volume, std::uint32_t fileID, const HFSPlusForkData& fork,
                                     std::uint64_t limit)
    : CHFSPlusRawfile(volume, fileID, fork) {
    if (HFSFailed(m_status) || m_extents.empty()) return;
    std::uint64_t size = std::min<std::uint64_t>(static_cast<std::uint64_t>(volume->GetBlockSize()) * fork.totalBlocks,
                                                 std::min(limit, kMaxCache));
    size = std::min(size, GetExtentBytes());
    // Never more than the device holds: a damaged fork must not make us
    // allocate what can never be read.
    if (IStorageDevice* device = volume->GetDevice()) {
        std::int64_t sectors = device->GetTotalSectors();
        if (sectors > 0) {
            size = std::min<std::uint64_t>(size, static_cast<std::uint64_t>(sectors) * volume->GetSectorSize());
        }
    }
    if (size == 0) return;
    try {
        m_cache.resize(size);
    } catch (const std::bad_alloc&) {
        m_cache.clear();
        return;
    }
    if (RawRead(0, m_cache.data(), size) != size) {
        m_cache.clear();
        m_cache.shrink_to_fit();
    }
}

std::uint64_t CHFSPlusFileCache::Read(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length) {
    if (offset < m_cache.size()) {
        if (!buffer) return 0;
        std::uint64_t take = std::min<std::uint64_t>(length, m_cache.size() - offset);
        std::memcpy(buffer, m_cache.data() + offset, take);
        return take;
    }
    return RawRead(offset, buffer, length);
}

// ---------------------------------------------------------------------------
// Deleted-record collections

void CHFSPlusRecordCollection::AddFront(BTKey* key, BTRecord* record) {
    m_entries.push_back(Entry{std::unique_ptr<BTKey>(key), std::unique_ptr<BTRecord>(record)});
    if (m_order) m_index.emplace(key, m_entries.size() - 1);
}

CHFSPlusRecordCollection::Entry* CHFSPlusRecordCollection::Find(const BTKey* key,
                                                                const std::function<bool(const Entry&)>& accept) {
    if (!key || !m_order) return nullptr;
    auto range = m_index.equal_range(key);
    // Equal keys keep their insertion order: walk back from the newest.
    for (auto it = range.second; it != range.first;) {
        --it;
        Entry& entry = m_entries[it->second];
        if (!accept || accept(entry)) return &entry;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// Volume

CHFSPlusVolume::CHFSPlusVolume(IStorageDevice* device, bool withoutCatalog, std::uint64_t catalogCacheLimit,
                               const HFSPlusVolumeHeader* fallbackHeader)
    : m_device(device) {
    if (!device) {
        m_status = HFS_FAIL(HFS_ERR_NULL_ARG);
        return;
    }
    m_deletedCatalog.SetOrder([this](const BTKey* a, const BTKey* b) {
        return CompareCatalogKeys(static_cast<const HFSPlusCatalogKey*>(a), static_cast<const HFSPlusCatalogKey*>(b));
    });
    m_deletedExtents.SetOrder([](const BTKey* a, const BTKey* b) {
        return CHFSPlusExtents::CompareKey(static_cast<const HFSPlusExtentKey*>(a),
                                           static_cast<const HFSPlusExtentKey*>(b));
    });
    m_deletedAttributes.SetOrder([](const BTKey* a, const BTKey* b) {
        return CHFSPlusAttribute::CompareKey(static_cast<const HFSPlusAttrKey*>(a),
                                             static_cast<const HFSPlusAttrKey*>(b));
    });
    std::uint32_t sectorSize = device->GetSectorSize();
    m_sectorSize = sectorSize ? sectorSize : 512;
    if (m_sectorSize > kMaxSectorSize) {
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return;
    }
    if (HFSFailed(ReadVolumeHeader())) {
        if (!fallbackHeader) return;
        m_header.reset(new (std::nothrow) HFSPlusVolumeHeader);
        if (!m_header) {
            m_status = HFS_FAIL(HFS_ERR_ALLOC);
            return;
        }
    }
    if (!m_primaryValid && fallbackHeader) *m_header = *fallbackHeader;
    // The header test lets a block size of 0 pass; nothing can be read
    // through one, nor through a size that is not a power of two.
    if (!IsUsableBlockSize(m_header->blockSize)) {
        m_status = HFS_FAIL(HFS_ERR_BAD_STRUCT);
        return;
    }

    m_journal = new (std::nothrow) CHFSPlusJournal(this);
    if (!m_journal) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }

    m_extentsFile = new (std::nothrow) CHFSPlusRawfile(this, kHFSExtentsFileID, m_header->extentsFile);
    if (!m_extentsFile) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }
    if (HFSFailed(m_extentsFile->GetLastError())) {
        m_status = HFS_PASS(m_extentsFile->GetLastError());
        return;
    }
    m_extentsTree = new (std::nothrow) CHFSPlusExtents(this, m_extentsFile);
    if (!m_extentsTree) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }

    m_attributesFile = new (std::nothrow) CHFSPlusRawfile(this, kHFSAttributesFileID, m_header->attributesFile);
    if (!m_attributesFile) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }
    if (HFSFailed(m_attributesFile->GetLastError())) {
        m_status = HFS_PASS(m_attributesFile->GetLastError());
        return;
    }
    m_attributesTree = new (std::nothrow) CHFSPlusAttribute(this, m_attributesFile);
    if (!m_attributesTree) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }

    if (!withoutCatalog) {
        m_catalogFile =
            new (std::nothrow) CHFSPlusFileCache(this, kHFSCatalogFileID, m_header->catalogFile, catalogCacheLimit);
        if (!m_catalogFile) {
            m_status = HFS_FAIL(HFS_ERR_ALLOC);
            return;
        }
        if (HFSFailed(m_catalogFile->GetLastError())) {
            m_status = HFS_PASS(m_catalogFile->GetLastError());
            return;
        }
    }
    m_catalogTree = new (std::nothrow) CHFSPlusCatalog(this, m_catalogFile);
    if (!m_catalogTree) {
        m_status = HFS_FAIL(HFS_ERR_ALLOC);
        return;
    }
    const BTHeaderRec* header = m_catalogTree->GetHeaderRec();
    if (!header) {
        // Extents and attributes stay usable (a volume opened without its
        // catalog always ends here).
        m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
        return;
    }
    m_keyCompareType = header->keyCompareType;
    m_status = 0;
}

CHFSPlusVolume::~CHFSPlusVolume() {
    delete m_journal;
    delete m_catalogTree;
    delete m_catalogFile;
    delete m_attributesTree;
    delete m_attributesFile;
    delete m_extentsTree;
    delete m_extentsFile;
}

bool CHFSPlusVolume::IsValidVolumeHeader(const std::uint8_t* buffer, std::uint16_t length) {
    if (!buffer || length < kHFSPlusVolumeHeaderSize) return false;
    HFSPlusVolumeHeader h;
    flipVolumeHeader(buffer, &h);
    if (h.signature != kHFSPlusSigWord && h.signature != kHFSXSigWord) return false;
    if (h.blockSize % 512 != 0) return false;
    if (h.version > 16) return false;
    if (h.freeBlocks > h.totalBlocks) return false;
    if (h.journalInfoBlock > h.totalBlocks) return false;
    return static_cast<std::uint64_t>(h.blockSize) * h.catalogFile.totalBlocks == h.catalogFile.logicalSize;
}

EngineResult CHFSPlusVolume::ReadVolumeHeader() {
    std::uint8_t raw[kHFSPlusVolumeHeaderSize];
    m_primaryValid = false;
    if (Read(1024, raw, sizeof raw) != sizeof raw) return m_status = HFS_FAIL(HFS_ERR_SHORT_READ);
    m_primaryValid = IsValidVolumeHeader(raw, sizeof raw);
    auto header = std::unique_ptr<HFSPlusVolumeHeader>(new (std::nothrow) HFSPlusVolumeHeader);
    if (!header) return m_status = HFS_FAIL(HFS_ERR_ALLOC);
    flipVolumeHeader(raw, header.get());
    m_header = std::move(header);
    return m_status = 0;
}

std::uint64_t CHFSPlusVolume::Read(std::uint64_t byteOffset, void* buffer, std::uint64_t length) {
    auto fail = [&](EngineResult code, std::uint64_t done) {
        m_status = code;
        LogDiagnostic("Location %" PRIu64 " Size: %" PRIu64 "\n", byteOffset, length);
        return done;
    };
    if (!m_device || !buffer) return fail(HFS_FAIL(HFS_ERR_BAD_STRUCT), 0);
    if (length == 0) return 0;
    const std::uint64_t ss = m_sectorSize;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t sector = byteOffset / ss;
    std::uint64_t lead = byteOffset % ss;
    std::uint64_t done = 0;
    if (sector > static_cast<std::uint64_t>(INT64_MAX)) return fail(HFS_FAIL(HFS_ERR_BAD_STRUCT), 0);

    std::uint8_t* bounce = nullptr;
    std::unique_ptr<std::uint8_t[]> bounceOwner;
    auto getBounce = [&]() {
        if (!bounce) {
            bounceOwner.reset(new (std::nothrow) std::uint8_t[kMaxSectorSize]);
            bounce = bounceOwner.get();
        }
        return bounce;
    };

    if (lead != 0) {
        if (!getBounce()) return fail(HFS_FAIL(HFS_ERR_ALLOC), 0);
        if (!m_device->ReadSector(bounce, static_cast<std::int64_t>(sector), 1)) {
            return fail(HFS_FAIL(HFS_ERR_BAD_STRUCT), 0);
        }
        std::uint64_t take = std::min(ss - lead, length);
        std::memcpy(out, bounce + lead, take);
        done += take;
        ++sector;
    }
    while (length - done >= ss) {
        std::uint64_t count = std::min((length - done) / ss, kMaxDeviceRead / ss);
        if (!m_device->ReadSector(out + done, static_cast<std::int64_t>(sector), static_cast<std::int64_t>(count))) {
            return fail(HFS_FAIL(HFS_ERR_BAD_STRUCT), done);
        }
        done += count * ss;
        sector += count;
    }
    if (done < length) {
        if (!getBounce()) return fail(HFS_FAIL(HFS_ERR_ALLOC), done);
        if (!m_device->ReadSector(bounce, static_cast<std::int64_t>(sector), 1)) {
            return fail(HFS_FAIL(HFS_ERR_BAD_STRUCT), done);
        }
        std::memcpy(out + done, bounce, length - done);
        done = length;
    }
    return done;
}

bool CHFSPlusVolume::CollectForkExtents(std::uint32_t fileID, std::uint8_t forkType, const HFSPlusForkData& fork,
                                        bool useDeleted, std::vector<HFSPlusExtentDescriptor>& out) {
    out.clear();
    const std::uint64_t total = fork.totalBlocks;
    std::uint64_t placed = 0;
    HFSPlusExtentDescriptor current[8];
    std::copy(fork.extents, fork.extents + 8, current);
    for (unsigned round = 0; placed < total; ++round) {
        std::uint64_t before = placed;
        for (const auto& d : current) {
            if (placed >= total) break;
            if (d.blockCount == 0) continue;
            HFSPlusExtentDescriptor e = d;
            // A descriptor that overshoots the fork is cut to what is left.
            e.blockCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.blockCount, total - placed));
            out.push_back(e);
            placed += e.blockCount;
        }
        if (placed >= total) break;
        // Later records must each add blocks; the extents file cannot have
        // overflow records of its own.
        if ((round > 0 && placed == before) || fileID == kHFSExtentsFileID || round + 1 >= kMaxOverflowRounds) {
            return false;
        }
        HFSPlusExtentKey key;
        key.keyLength = 10;
        key.forkType = forkType;
        key.fileID = fileID;
        key.startBlock = static_cast<std::uint32_t>(placed);
        HFSPlusSearchResult result;
        BTRecord* record = nullptr;
        EngineResult saved = m_status;
        if (m_extentsTree && m_extentsTree->GetHeaderRec()) {
            Search(kHFSExtentsFileID, &key, result, &record);
        }
        if (!result.found && useDeleted) FindDeleteExtent(&key, result, &record);
        m_status = saved;  // a missing record is the caller's to report
        if (!result.found || !record) {
            delete record;
            return false;
        }
        std::copy(static_cast<HFSPlusExtentsRecord*>(record)->extents,
                  static_cast<HFSPlusExtentsRecord*>(record)->extents + 8, current);
        delete record;
    }
    return true;
}

EngineResult CHFSPlusVolume::Search(int fileID, BTKey* key, HFSPlusSearchResult& result, BTRecord** record) {
    result = HFSPlusSearchResult{};
    if (record) *record = nullptr;
    if (!m_header) return m_status = FormatError(HFS_SEARCH_NO_HEADER, __FILE__, __LINE__, __func__);
    CHFSPlusBTreeOptionBase* tree = nullptr;
    switch (fileID) {
    case kHFSAttributesFileID:
        tree = m_attributesTree;
        break;
    case kHFSCatalogFileID:
        tree = m_catalogTree;
        break;
    case kHFSExtentsFileID:
        tree = m_extentsTree;
        break;
    default:
        return m_status = HFS_FAIL(HFS_ERR_TREE_ID);
    }
    if (!tree) return HFS_FAIL(HFS_ERR_MISSING);
    return m_status = tree->Search(key, result, record);
}

EngineResult CHFSPlusVolume::Traverse(int fileID, IDirecotryTreeBuilder* builder,
                                      CHFSPlusQuickFileSystemSearchProgress* progress) {
    if (fileID != static_cast<int>(kHFSCatalogFileID)) return m_status = HFS_FAIL(HFS_ERR_TREE_ID);
    if (!m_header || !m_catalogTree) return m_status = HFS_FAIL(HFS_ERR_MISSING);
    return m_status = m_catalogTree->Traverse(builder, progress);
}

std::uint32_t CHFSPlusVolume::getAttribute(std::uint32_t fileID, const char* name, std::uint8_t** data) {
    if (data) *data = nullptr;
    if (!m_header || !m_attributesTree || !name || !data) return 0;
    HFSPlusAttrKey key;
    HFSUniStr255 wide;
    ASCIIToUnicode(name, &wide);
    key.keyLength = static_cast<std::uint16_t>(2 * wide.length + 14);
    key.fileID = fileID;
    key.startBlock = 0;
    key.nameLength = wide.length;
    std::copy(wide.unicode, wide.unicode + wide.length, key.name);

    HFSPlusSearchResult result;
    BTRecord* found = nullptr;
    EngineResult saved = m_status;
    if (m_attributesTree->GetHeaderRec()) Search(kHFSAttributesFileID, &key, result, &found);
    if (!result.found) FindDeleteAttribute(&key, result, &found);
    m_status = saved;
    std::unique_ptr<BTRecord> record(found);
    if (!result.found || !record) return 0;
    auto* attr = static_cast<HFSPlusAttrRecord*>(record.get());
    if (attr->recordType != kHFSPlusAttrInlineData) {
        LogDiagnostic("unsupported attribute node format\n");
        return 0;
    }
    if (attr->attrSize == 0) return 0;
    auto* copy = new (std::nothrow) std::uint8_t[attr->attrSize];
    if (!copy) return 0;
    std::memcpy(copy, attr->attrData.data(), attr->attrSize);
    *data = copy;
    return attr->attrSize;
}

int CHFSPlusVolume::CompareCatalogKeys(const HFSPlusCatalogKey* a, const HFSPlusCatalogKey* b) const {
    return CHFSPlusCatalog::CompareKey(a, b, m_keyCompareType);
}

EngineResult CHFSPlusVolume::FindDeleted(CHFSPlusRecordCollection& collection, int, BTKey* key,
                                         HFSPlusSearchResult& result, BTRecord** record) {
    result = HFSPlusSearchResult{};
    if (record) *record = nullptr;
    if (!key) return HFS_FAIL(HFS_ERR_NULL_ARG);
    CHFSPlusRecordCollection::Entry* entry = collection.Find(key);
    if (!entry) return 0;
    if (record) {
        *record = entry->record->Clone();
        if (!*record) return HFS_FAIL(HFS_ERR_ALLOC);
    }
    result.found = 1;
    return 0;
}

EngineResult CHFSPlusVolume::FindDeleteCatalog(BTKey* key, HFSPlusSearchResult& result, BTRecord** record) {
    return FindDeleted(m_deletedCatalog, kHFSCatalogFileID, key, result, record);
}

EngineResult CHFSPlusVolume::FindDeleteExtent(BTKey* key, HFSPlusSearchResult& result, BTRecord** record) {
    return FindDeleted(m_deletedExtents, kHFSExtentsFileID, key, result, record);
}

void CHFSPlusVolume::LoadJournalDeletedRecords() {
    if (m_journal) m_journal->GetDeleteRecord(nullptr, m_deletedCatalog, m_deletedExtents, m_deletedAttributes);
}

EngineResult CHFSPlusVolume::FindDeleteAttribute(BTKey* key, HFSPlusSearchResult& result, BTRecord** record) {
    return FindDeleted(m_deletedAttributes, kHFSAttributesFileID, key, result, record);
}

int CHFSPlusVolume::GetNodeBelongToFile(std::uint64_t byteOffset) {
    if (!m_header) {
        m_status = HFS_FAIL(HFS_ERR_MISSING);
        return 0;
    }
    const struct {
        std::uint32_t id;
        const HFSPlusForkData* fork;
    } files[] = {
        {kHFSCatalogFileID, &m_header->catalogFile},       {kHFSExtentsFileID, &m_header->extentsFile},
        {kHFSAttributesFileID, &m_header->attributesFile}, {kHFSAllocationFileID, &m_header->allocationFile},
        {kHFSStartupFileID, &m_header->startupFile},
    };
    for (const auto& f : files) {
        if (IsBelongToFile(f.id, *f.fork, byteOffset)) return static_cast<int>(f.id);
    }
    return 0;
}

bool CHFSPlusVolume::IsBelongToFile(std::uint32_t fileID, const HFSPlusForkData& fork, std::uint64_t byteOffset) {
    if (!m_header) return false;
    const std::uint64_t blockSize = m_header->blockSize;
    std::vector<HFSPlusExtentDescriptor> extents;
    bool complete = CollectForkExtents(fileID, kHFSDataForkType, fork, false, extents);
    for (const auto& e : extents) {
        std::uint64_t start = static_cast<std::uint64_t>(e.startBlock) * blockSize;
        std::uint64_t end = (static_cast<std::uint64_t>(e.startBlock) + e.blockCount) * blockSize;
        if (byteOffset >= start && byteOffset < end) return true;
    }
    if (!complete) m_status = HFS_FAIL(HFS_ERR_BAD_DATA);
    return false;
}

EngineResult CHFSPlusVolume::QuickSearchFiles(IDirecotryTreeBuilder* builder,
                                              CHFSPlusQuickFileSystemSearchProgress* progress) {
    if (!m_journal) return m_status = HFS_FAIL(HFS_ERR_MISSING);
    auto setTotal = [&]() {
        if (!progress || !m_header) return;
        progress->SetTotal(static_cast<std::int64_t>(m_deletedCatalog.Size()) + m_header->fileCount +
                           m_header->folderCount + 1);
    };
    setTotal();
    m_journal->GetDeleteRecord(progress, m_deletedCatalog, m_deletedExtents, m_deletedAttributes);
    setTotal();
    bool goOn = progress ? progress->Continued() : true;
    for (std::size_t i = 0; goOn && i < m_deletedCatalog.Size(); ++i) {
        if (progress && !progress->Continued()) break;
        auto& entry = m_deletedCatalog.At(i);
        CHFSPlusFileNode* node = new (std::nothrow)
            CHFSPlusFileNode(this, entry.key.get(), static_cast<HFSPlusCatalogRecord*>(entry.record.get()), 1);
        if (!node) continue;
        if (node->GetCurrentNodeID() == -1 || !builder) {
            node->Release();
            continue;
        }
        if (builder->AddNode(node, SEARCHER_HFSPLUS)) {
            if (progress) progress->UpdateProgress();
        } else {
            node->Release();
        }
    }
    m_deletedCatalog.Clear();
    if (!m_catalogTree) return m_status = HFS_FAIL(HFS_ERR_MISSING);
    return m_status = m_catalogTree->Traverse(builder, progress);
}
