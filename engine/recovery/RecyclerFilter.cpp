#include "recovery/RecyclerFilter.h"

#include <iconv.h>
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "foundation/DataRun.h"
#include "foundation/StorageDevice.h"

namespace {

std::mutex g_readerMutex;
CRecyclerFilter::IndexFileReader& Reader() {
    static CRecyclerFilter::IndexFileReader reader = CRecyclerFilter::ReadByDataRuns;
    return reader;
}

constexpr uint32_t kFolderAttribute = 0x10;
constexpr size_t kIndexReadSize = 1024;
// The path is looked for in the first 512 bytes of the index file.
constexpr size_t kPathArea = 512;

uint16_t Unit(const char* data, size_t offset) { return byteorder::LE16(data + offset); }

}  // namespace

int CRecyclerFilter::IsRecycleBinSigleNode(CFileNode* node) {
    if (node == nullptr || (node->GetAttribute() & kFolderAttribute) == 0) return 0;
    const char* name = node->GetFileName();
    if (name == nullptr) return 0;
    for (const char* bin : {"Recycler", "Recycled", "$Recycle.Bin", "$RECYCLE.BI0"})
        if (strcasecmp(name, bin) == 0) return 1;
    return 0;
}

int CRecyclerFilter::IsRecycleBin(CFileNode* node) {
    // Parent links cannot form a loop (AddChild refuses one).
    for (CFileNode* n = node; n != nullptr; n = n->GetParent())
        if (IsRecycleBinSigleNode(n)) return 1;
    return 0;
}

int CRecyclerFilter::IsRecoverNode(CFileNode* node) {
    const char* name = node ? node->GetFileName() : nullptr;
    if (name == nullptr || std::strlen(name) < 2) return 0;
    return (name[0] == '$' || name[0] == '#') && name[1] == 'I' ? 1 : 0;
}

int CRecyclerFilter::IsRecoverNodeEx(CFileNode* node) {
    const char* name = node ? node->GetFileName() : nullptr;
    if (name == nullptr || std::strlen(name) < 2) return 0;
    if (!((name[0] == '$' || name[0] == '#') && name[1] == 'R')) return 0;
    return std::strstr("$RmMetadata$Reparse$Repair", name) == nullptr ? 1 : 0;
}

size_t CRecyclerFilter::UTF162UTF8(char* in, size_t inBytes, char* out, size_t outBytes) {
    iconv_t cd = iconv_open("UTF-8", "UTF-16LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) return static_cast<size_t>(-1);
    char* src = in;
    char* dst = out;
    size_t srcLeft = inBytes;
    size_t dstLeft = outBytes;
    // A bad sequence or a full buffer stops the conversion; what was converted stays.
    iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    return outBytes - dstLeft;
}

std::string CRecyclerFilter::NameFromIndexData(const char* data, size_t size) {
    if (data == nullptr || size < 4) return std::string();
    const size_t area = std::min(size, kPathArea) & ~static_cast<size_t>(1);
    // The path is UTF-16LE at an even offset: look at whole code units, so that
    // CJK characters such as U+5C0F are not taken for a backslash.
    size_t backslash = area;
    for (size_t off = area; off >= 2;) {
        off -= 2;
        if (Unit(data, off) == 0x005C) {
            backslash = off;
            break;
        }
    }
    if (backslash == area) return std::string();
    bool drive = false;
    for (size_t off = 0; off + 2 <= backslash; off += 2) {
        if (Unit(data, off) == 0x003A && Unit(data, off + 2) == 0x005C) {
            drive = true;
            break;
        }
    }
    if (!drive) return std::string();
    std::vector<char> in(data + backslash + 2, data + area);
    // Up to three UTF-8 bytes per UTF-16 unit, plus the terminator.
    std::vector<char> out(in.size() * 2 + 4, 0);
    const size_t n = UTF162UTF8(in.data(), in.size(), out.data(), out.size() - 1);
    if (n == static_cast<size_t>(-1)) return std::string();
    return std::string(out.data());  // up to the first zero byte
}

void CRecyclerFilter::RestorFileName(IStorageDevice* device, CFileNode* entry, CFileNode* indexFile,
                                     int64_t startSector, int sectorsPerCluster, _tagSearcherType type) {
    if (entry == nullptr || indexFile == nullptr) return;
    if (type != SEARCHER_FAT && type != SEARCHER_EXFAT && type != SEARCHER_NTFS) return;
    IndexFileReader reader;
    {
        std::lock_guard<std::mutex> lock(g_readerMutex);
        reader = Reader();
    }
    if (!reader) return;
    // Zeroed first, so a short read leaves zeros rather than stale bytes.
    char buffer[kIndexReadSize] = {};
    const int64_t got = reader(device, indexFile, startSector, sectorsPerCluster, type, buffer, sizeof(buffer));
    if (got <= 0) return;
    const std::string name = NameFromIndexData(buffer, static_cast<size_t>(std::min<int64_t>(got, kIndexReadSize)));
    if (name.empty()) return;
    entry->SetFileName(name.c_str());
}

void CRecyclerFilter::SetIndexFileReader(IndexFileReader reader) {
    std::lock_guard<std::mutex> lock(g_readerMutex);
    Reader() = std::move(reader);
}

void CRecyclerFilter::ResetIndexFileReader() { SetIndexFileReader(ReadByDataRuns); }

int64_t CRecyclerFilter::ReadByDataRuns(IStorageDevice* device, CFileNode* node, int64_t cluster0Sector,
                                        int sectorsPerCluster, _tagSearcherType, char* buffer, uint32_t size) {
    if (device == nullptr || node == nullptr || buffer == nullptr || sectorsPerCluster <= 0) return 0;
    IDataRunList* runs = node->GetDataRunList();
    const uint32_t sectorSize = device->GetSectorSize();
    if (runs == nullptr || sectorSize == 0 || sectorSize > (1u << 16)) return 0;
    const int64_t fileSize = node->GetFileSize();
    if (fileSize <= 0) return 0;
    const uint64_t want = std::min<uint64_t>(size, static_cast<uint64_t>(fileSize));
    const uint64_t clusterBytes = static_cast<uint64_t>(sectorsPerCluster) * sectorSize;
    std::vector<char> sector(sectorSize);
    uint64_t done = 0;
    for (DataRun* run = runs->GetFirst(); run != nullptr && done < want; run = runs->GetNext()) {
        if (run->length <= 0) continue;
        // Lengths come from disk: never multiply one that is larger than needed.
        const uint64_t left = want - done;
        const uint64_t take = static_cast<uint64_t>(run->length) > left / clusterBytes
                                  ? left
                                  : std::min<uint64_t>(left, static_cast<uint64_t>(run->length) * clusterBytes);
        if (run->start < 0) {  // sparse: zeros, already in the caller's cleared buffer
            done += take;
            continue;
        }
        int64_t offset = 0;
        int64_t first = 0;
        if (__builtin_mul_overflow(run->start, static_cast<int64_t>(sectorsPerCluster), &offset) ||
            __builtin_add_overflow(cluster0Sector, offset, &first) || first < 0)
            return static_cast<int64_t>(done);
        for (uint64_t off = 0; off < take; off += sectorSize) {
            if (!device->ReadSector(sector.data(), first + static_cast<int64_t>(off / sectorSize), 1))
                return static_cast<int64_t>(done + off);
            std::memcpy(buffer + done + off, sector.data(), std::min<uint64_t>(sectorSize, take - off));
        }
        done += take;
    }
    return static_cast<int64_t>(done);
}
