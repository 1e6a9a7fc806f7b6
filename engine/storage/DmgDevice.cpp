#include "storage/DmgDevice.h"

#include <cstring>
#include <memory>
#include <plist/plist.h>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/Log.h"
#include "foundation/StdFile.h"
#include "storage/QvxDevice.h"

namespace {

constexpr std::uint64_t kDmgSector = 512;
constexpr std::size_t kTrailerSize = 512;
// Real images carry a few hundred KiB of property list; anything far larger
// is damage, and must not drive an allocation.
constexpr std::uint64_t kMaxPlistBytes = 64ull << 20;
constexpr std::size_t kBlockTableHeader = 204;
constexpr std::size_t kChunkSize = 40;

// Chunk types of a UDIF block table.
constexpr std::uint32_t kChunkZeroFill = 0x00000000;
constexpr std::uint32_t kChunkRaw = 0x00000001;
constexpr std::uint32_t kChunkIgnored = 0x00000002;
constexpr std::uint32_t kChunkComment = 0x7FFFFFFE;
constexpr std::uint32_t kChunkTerminator = 0xFFFFFFFF;

// Where the sectors of a UDIF lie in its file.
struct DataFork {
    std::uint64_t offset;
    std::uint64_t length;
    std::uint64_t totalSectors;
};

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};

}  // namespace

// Checks every block table of the image: 1 when each chunk can be read flat,
// 0 at the first chunk that cannot (compressed, encrypted or of an unknown
// kind, or raw data that does not lie at its sectors' place in the file).
int ParseChunkEntry(plist_t blkx, const DataFork& fork) {
    CatchExeception::WriteLog("========= mish info begin =============\n");
    const std::uint32_t tables = plist_array_get_size(blkx);
    for (std::uint32_t t = 0; t < tables; ++t) {
        plist_t entry = plist_array_get_item(blkx, t);
        plist_t dataNode =
            entry != nullptr && plist_get_node_type(entry) == PLIST_DICT ? plist_dict_get_item(entry, "Data") : nullptr;
        if (dataNode == nullptr || plist_get_node_type(dataNode) != PLIST_DATA) {
            CatchExeception::WriteLog("dmg: block table %u has no data\n", t);
            return 0;
        }
        std::uint64_t length = 0;
        const std::uint8_t* data = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(dataNode, &length));
        if (data == nullptr || length < kBlockTableHeader || std::memcmp(data, "mish", 4) != 0) {
            CatchExeception::WriteLog("dmg: block table %u is damaged\n", t);
            return 0;
        }
        const std::uint64_t firstSector = byteorder::BE64(data + 8);
        const std::uint64_t sectorCount = byteorder::BE64(data + 16);
        const std::uint64_t tableDataOffset = byteorder::BE64(data + 24);
        const std::uint32_t chunks = byteorder::BE32(data + 200);
        CatchExeception::WriteLog("sectorcount: %llu, start sectorNum: %llu\n",
                                  static_cast<unsigned long long>(sectorCount),
                                  static_cast<unsigned long long>(firstSector));
        CatchExeception::WriteLog("mish dataoffset: %llu, bufferneed: %u\n",
                                  static_cast<unsigned long long>(tableDataOffset), byteorder::BE32(data + 32));
        if (chunks > (length - kBlockTableHeader) / kChunkSize) {
            CatchExeception::WriteLog("dmg: block table %u announces %u chunks but holds fewer\n", t, chunks);
            return 0;
        }
        for (std::uint32_t i = 0; i < chunks; ++i) {
            const std::uint8_t* c = data + kBlockTableHeader + std::size_t(i) * kChunkSize;
            const std::uint32_t type = byteorder::BE32(c);
            const std::uint64_t sector = byteorder::BE64(c + 8);
            const std::uint64_t count = byteorder::BE64(c + 16);
            const std::uint64_t offset = byteorder::BE64(c + 24);
            const std::uint64_t bytes = byteorder::BE64(c + 32);
            if (type == kChunkTerminator || type == kChunkComment) continue;
            if (type != kChunkZeroFill && type != kChunkRaw && type != kChunkIgnored) {
                // 0x80000004 ADC, 0x80000005 zlib, 0x80000006 bzip2,
                // 0x80000007 LZFSE, 0x80000008 LZMA, and anything unknown.
                CatchExeception::WriteLog(
                    "dmg: chunk %u of block table %u has type 0x%08x, which cannot be "
                    "read flat (compressed image)\n",
                    i, t, type);
                return 0;
            }
            CatchExeception::WriteLog(
                "Bkl %d,start sector:%llu (have %llu sectors) - Compressed to %llu, %llu bytes, type = %u\n",
                static_cast<int>(i), static_cast<unsigned long long>(sector), static_cast<unsigned long long>(count),
                static_cast<unsigned long long>(offset), static_cast<unsigned long long>(bytes), type);
            // The chunk's sectors must lie inside the image and inside the
            // data fork, so a flat read never reaches the property list.
            const std::uint64_t limit = fork.length / kDmgSector;
            if (sector > limit || firstSector > limit - sector || count > limit - sector - firstSector ||
                firstSector + sector + count > fork.totalSectors) {
                CatchExeception::WriteLog("dmg: chunk %u of block table %u lies outside the image\n", i, t);
                return 0;
            }
            if (type == kChunkRaw) {
                const std::uint64_t absoluteSector = firstSector + sector;
                const unsigned __int128 expected =
                    static_cast<unsigned __int128>(fork.offset) + absoluteSector * kDmgSector;
                const unsigned __int128 actual = static_cast<unsigned __int128>(fork.offset) + tableDataOffset + offset;
                if (expected != actual || bytes != count * kDmgSector) {
                    CatchExeception::WriteLog(
                        "dmg: chunk %u of block table %u is not stored in order; the "
                        "image cannot be read flat\n",
                        i, t);
                    return 0;
                }
            }
        }
    }
    return 1;
}

void SerialiseDmgInfo(const CDMGDeviceInfoStruct& record, std::uint8_t (&out)[kDmgInfoSize]) {
    std::memset(out, 0, sizeof out);
    byteorder::PutLE64(out + 0, record.sectorSize);
    byteorder::PutLE64(out + 8, record.totalSectors);
    byteorder::PutLE64(out + 16, record.dataOffset);
    byteorder::PutLE64(out + 24, record.fileSize);
    std::memcpy(out + 32, record.fileName, sizeof record.fileName);
    std::memcpy(out + 1056, record.filePath, sizeof record.filePath);
    out[1055] = 0;
    out[2079] = 0;
}

void ParseDmgInfo(const void* bytes, std::size_t length, CDMGDeviceInfoStruct& record) {
    std::uint8_t raw[kDmgInfoSize] = {};
    if (bytes != nullptr) std::memcpy(raw, bytes, std::min(length, kDmgInfoSize));
    std::memset(&record, 0, sizeof record);
    record.sectorSize = byteorder::LE64(raw + 0);
    record.totalSectors = byteorder::LE64(raw + 8);
    record.dataOffset = byteorder::LE64(raw + 16);
    record.fileSize = byteorder::LE64(raw + 24);
    std::memcpy(record.fileName, raw + 32, sizeof record.fileName);
    std::memcpy(record.filePath, raw + 1056, sizeof record.filePath);
    record.fileName[sizeof record.fileName - 1] = '\0';
    record.filePath[sizeof record.filePath - 1] = '\0';
}

void InitDmgInfo(CDMGDeviceInfoStruct& record, const char* path) {
    std::memset(&record, 0, sizeof record);
    record.sectorSize = kDmgSector;
    const char* name = path != nullptr ? std::strrchr(path, '/') : nullptr;
    CopyFixedText(record.fileName, sizeof record.fileName, name != nullptr ? name + 1 : path);
    CopyFixedText(record.filePath, sizeof record.filePath, path);
}

int ParseDmgFile(const char* path, CDMGDeviceInfoStruct& record) {
    CStdFile file;
    if (path == nullptr || !file.Open(path, CStdFile::OpenReadOnly)) {
        CatchExeception::WriteLog("dmg: cannot open %s\n", path != nullptr ? path : "(null)");
        return 0;
    }
    std::uint8_t head[8] = {};
    if (file.ReadAt(0, head, sizeof head) != static_cast<std::int64_t>(sizeof head)) {
        CatchExeception::WriteLog("dmg: %s is too small to be an image\n", path);
        return 0;
    }
    if (std::memcmp(head, "encrcdsa", 8) == 0) {
        CatchExeception::WriteLog("dmg: %s is encrypted\n", path);
        return 0;
    }
    std::uint64_t size = 0;
    if (!file.GetFileLength(&size) || size <= kTrailerSize) {
        CatchExeception::WriteLog("dmg: %s is too small to be an image\n", path);
        return 0;
    }
    record.fileSize = size;
    std::uint8_t trailer[kTrailerSize];
    if (file.ReadAt(size - kTrailerSize, trailer, sizeof trailer) != static_cast<std::int64_t>(sizeof trailer)) {
        CatchExeception::WriteLog("dmg: cannot read the end of %s\n", path);
        return 0;
    }
    // Version 1 encrypted images carry their tag at the very end instead.
    if (std::memcmp(trailer + kTrailerSize - 8, "cdsaencr", 8) == 0) {
        CatchExeception::WriteLog("dmg: %s is encrypted\n", path);
        return 0;
    }
    if (std::memcmp(trailer, "koly", 4) != 0) {
        record.totalSectors = size / kDmgSector + (size % kDmgSector != 0 ? 1 : 0);
        record.dataOffset = 0;
        return 1;
    }
    const std::uint64_t forkOffset = byteorder::BE64(trailer + 24);
    const std::uint64_t forkLength = byteorder::BE64(trailer + 32);
    const std::uint64_t xmlOffset = byteorder::BE64(trailer + 216);
    const std::uint64_t xmlLength = byteorder::BE64(trailer + 224);
    const std::uint64_t totalSectors = byteorder::BE64(trailer + 492);
    record.totalSectors = totalSectors;
    CatchExeception::WriteLog("========= koly info begin =============\n");
    CatchExeception::WriteLog("XML plist from: %llu, spanning %llu types\n", static_cast<unsigned long long>(xmlOffset),
                              static_cast<unsigned long long>(xmlLength));
    CatchExeception::WriteLog("Original total sectors: %llu\n", static_cast<unsigned long long>(totalSectors));
    CatchExeception::WriteLog("========= koly info end ===============\n");

    const std::uint64_t body = size - kTrailerSize;
    if (xmlLength == 0 || xmlLength > kMaxPlistBytes || xmlOffset > body || xmlLength > body - xmlOffset) {
        CatchExeception::WriteLog("dmg: %s: the property list lies outside the file\n", path);
        return 0;
    }
    if (forkOffset > body || forkLength > body - forkOffset || totalSectors > forkLength / kDmgSector) {
        CatchExeception::WriteLog("dmg: %s: the image's sectors are not all stored in its data fork\n", path);
        return 0;
    }
    std::vector<char> xml(static_cast<std::size_t>(xmlLength));
    if (file.ReadAt(xmlOffset, xml.data(), xml.size()) != static_cast<std::int64_t>(xml.size())) {
        CatchExeception::WriteLog("dmg: %s: cannot read the property list\n", path);
        return 0;
    }
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<std::uint32_t>(xml.size()), &root);
    std::unique_ptr<void, PlistDeleter> owner(root);
    plist_t fork = root != nullptr && plist_get_node_type(root) == PLIST_DICT
                       ? plist_dict_get_item(root, "resource-fork")
                       : nullptr;
    plist_t blkx =
        fork != nullptr && plist_get_node_type(fork) == PLIST_DICT ? plist_dict_get_item(fork, "blkx") : nullptr;
    if (blkx == nullptr || plist_get_node_type(blkx) != PLIST_ARRAY) {
        CatchExeception::WriteLog("dmg: %s: no block tables in the property list\n", path);
        return 0;
    }
    if (ParseChunkEntry(blkx, DataFork{forkOffset, forkLength, totalSectors}) == 0) return 0;
    record.dataOffset = forkOffset;
    return 1;
}

CDMGDeviceInfoStruct* CDmgDevice::GetDMGInfo() {
    IDmgDeviceData* holder = dynamic_cast<IDmgDeviceData*>(m_privateData);
    CDMGDeviceInfoStruct* record = holder != nullptr ? holder->GetDMGInfo() : nullptr;
    if (record == nullptr) m_lastError = STORAGE_ERROR(STORAGE_ERROR_NO_DATA);
    return record;
}

bool CDmgDevice::GeometryFromHolder(IStorageDeviceData* data, std::uint64_t& sectorSize, std::uint64_t& totalSectors,
                                    std::uint64_t& dataOffset) {
    IDmgDeviceData* holder = dynamic_cast<IDmgDeviceData*>(data);
    const CDMGDeviceInfoStruct* record = holder != nullptr ? holder->GetDMGInfo() : nullptr;
    if (record == nullptr) return false;
    sectorSize = record->sectorSize;
    totalSectors = record->totalSectors;
    dataOffset = record->dataOffset;
    return true;
}

CDmgDevice* CreateDmgDeviceImp(const char* path) { return new CDmgDevice(path); }

IStorageDevice* CreateDmgDevice(const char* path, const CDMGDeviceInfoStruct* record) {
    if (path == nullptr || record == nullptr) return nullptr;
    std::unique_ptr<CDmgDevice> device(CreateDmgDeviceImp(path));
    if (device->Open(nullptr) != 1) return nullptr;
    auto* copy = new CDMGDeviceInfoStruct(*record);
    copy->fileName[sizeof copy->fileName - 1] = '\0';
    copy->filePath[sizeof copy->filePath - 1] = '\0';
    device->SetPrivateData(CreateDMGDeviceData(copy));
    if (IsEngineFailure(device->GetLastError())) return nullptr;
    // The sectors must lie inside the file: an image cut short since its
    // record was made (a record read back from a scan-result file) would
    // otherwise read its missing end as zeros.
    struct stat st;
    if (::fstat(device->GetDescriptor(), &st) != 0) return nullptr;
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t sectorSize = device->GetSectorSize();
    const std::uint64_t total = static_cast<std::uint64_t>(device->GetTotalSectors());
    if (size < record->dataOffset || (total > 0 && (total - 1 > (size - record->dataOffset) / sectorSize ||
                                                    (total - 1) * sectorSize >= size - record->dataOffset))) {
        CatchExeception::WriteLog("dmg: %s is shorter than its record says\n", path);
        return nullptr;
    }
    return device.release();
}

IStorageDevice* CreateDmgDeviceByDmgInfo(const void* record, int length, const char* /*path*/) {
    if (record == nullptr || length < 0 || static_cast<std::size_t>(length) > kDmgInfoSize) return nullptr;
    CDMGDeviceInfoStruct copy;
    ParseDmgInfo(record, static_cast<std::size_t>(length), copy);
    IStorageDevice* device = CreateDmgDevice(copy.filePath, &copy);
    if (device != nullptr && static_cast<CDmgDevice*>(device)->GetDMGInfo() == nullptr) {
        delete device;
        return nullptr;
    }
    return device;
}

IStorageDevice* OpenImageFileDevice(const char* path, std::string& error) {
    error.clear();
    CStdFile file;
    if (path == nullptr || !file.Open(path, CStdFile::OpenReadOnly)) {
        error = std::string("cannot open ") + (path != nullptr ? path : "(null)");
        return nullptr;
    }
    std::uint8_t head[8] = {};
    std::uint8_t trailer[kTrailerSize] = {};
    std::uint64_t size = 0;
    const bool haveHead = file.ReadAt(0, head, sizeof head) == static_cast<std::int64_t>(sizeof head);
    const bool haveTrailer =
        file.GetFileLength(&size) && size > kTrailerSize &&
        file.ReadAt(size - kTrailerSize, trailer, sizeof trailer) == static_cast<std::int64_t>(sizeof trailer);
    file.Close();
    if (haveHead && std::memcmp(head, "qvx", 4) == 0) {
        IStorageDevice* device = CreateQvxDevice(path);
        if (device == nullptr)
            error = std::string(path) + ": not a complete QVX image (cut short, unfinished or damaged)";
        return device;
    }
    const bool encrypted = (haveHead && std::memcmp(head, "encrcdsa", 8) == 0) ||
                           (haveTrailer && std::memcmp(trailer + kTrailerSize - 8, "cdsaencr", 8) == 0);
    if (!encrypted && !(haveTrailer && std::memcmp(trailer, "koly", 4) == 0)) return nullptr;
    CDMGDeviceInfoStruct record;
    InitDmgInfo(record, path);
    if (ParseDmgFile(path, record) == 0) {
        error = std::string(path) + (encrypted ? ": encrypted disk image"
                                               : ": this disk image cannot be read as stored (compressed or "
                                                 "damaged); convert it to a read-write image first");
        return nullptr;
    }
    IStorageDevice* device = CreateDmgDevice(path, &record);
    if (device == nullptr) error = std::string("cannot open ") + path;
    return device;
}
