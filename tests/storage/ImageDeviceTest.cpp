// DMG and QVX image devices: the UDIF checks against images built here (and
// read back by dmg2img as an independent reader), and QVX images made by the
// writer and read back.
#include "foundation/ByteOrder.h"
#include "foundation/VolumeAnalyze.h"
#include "storage/DeviceData.h"
#include "storage/DeviceWithCache.h"
#include "storage/DiskDevice.h"
#include "storage/DmgDevice.h"
#include "storage/QvxDevice.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <plist/plist.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

class ImageTempDir : public quillory_test::TempDir {
public:
    // Images are written with fsync; on tmpfs that costs nothing.
    ImageTempDir() : TempDir("quillory-img", {"/dev/shm", "/tmp"}) {}
};

using quillory_test::ReadAll;
using quillory_test::WriteAll;

// Sector contents that differ everywhere, so a misplaced sector shows.
Bytes Pattern(size_t bytes, uint32_t seed) {
    Bytes b(bytes);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < bytes; ++i) {
        x = x * 1103515245u + 12345u;
        b[i] = static_cast<uint8_t>(x >> 16);
    }
    return b;
}

void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

void PutBe64(uint8_t* p, uint64_t v) {
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

// ---------------------------------------------------------------------------
// A small UDIF writer: data fork, XML property list with one block table,
// and the 512-byte "koly" trailer (all big-endian).

struct UdifChunk {
    uint32_t type;
    uint64_t sector;  // relative to the table's first sector
    uint64_t count;
    uint64_t offset;  // relative to the data fork (plus the table's data offset)
    uint64_t length;
};

struct UdifImage {
    Bytes dataFork;
    uint64_t totalSectors = 0;
    std::vector<UdifChunk> chunks;
    uint64_t tableDataOffset = 0;
    // Damage for the refusal tests.
    bool truncateTable = false;  // "Data" shorter than its chunk count says
    uint64_t xmlLengthOverride = 0;
    uint64_t dataForkLengthOverride = 0;
};

Bytes BlockTable(const UdifImage& image) {
    Bytes t(204 + 40 * image.chunks.size(), 0);
    std::memcpy(t.data(), "mish", 4);
    PutBe32(t.data() + 4, 1);
    PutBe64(t.data() + 8, 0);
    PutBe64(t.data() + 16, image.totalSectors);
    PutBe64(t.data() + 24, image.tableDataOffset);
    PutBe32(t.data() + 32, 2056);
    PutBe32(t.data() + 200, static_cast<uint32_t>(image.chunks.size()));
    for (size_t i = 0; i < image.chunks.size(); ++i) {
        uint8_t* c = t.data() + 204 + 40 * i;
        const UdifChunk& k = image.chunks[i];
        PutBe32(c, k.type);
        PutBe64(c + 8, k.sector);
        PutBe64(c + 16, k.count);
        PutBe64(c + 24, k.offset);
        PutBe64(c + 32, k.length);
    }
    if (image.truncateTable) t.resize(t.size() - 20);
    return t;
}

Bytes BuildUdif(const UdifImage& image) {
    const Bytes table = BlockTable(image);
    plist_t root = plist_new_dict();
    plist_t fork = plist_new_dict();
    plist_t blkx = plist_new_array();
    plist_t entry = plist_new_dict();
    plist_dict_set_item(entry, "Attributes", plist_new_string("0x0050"));
    plist_dict_set_item(entry, "CFName", plist_new_string("whole disk (Apple_HFS : 0)"));
    plist_dict_set_item(entry, "Data", plist_new_data(reinterpret_cast<const char*>(table.data()), table.size()));
    plist_dict_set_item(entry, "ID", plist_new_string("0"));
    plist_dict_set_item(entry, "Name", plist_new_string("whole disk (Apple_HFS : 0)"));
    plist_array_append_item(blkx, entry);
    plist_dict_set_item(fork, "blkx", blkx);
    plist_dict_set_item(root, "resource-fork", fork);
    char* xml = nullptr;
    uint32_t xmlLength = 0;
    plist_to_xml(root, &xml, &xmlLength);
    plist_free(root);

    Bytes out = image.dataFork;
    const uint64_t xmlOffset = out.size();
    out.insert(out.end(), xml, xml + xmlLength);
    plist_to_xml_free(xml);

    uint8_t koly[512] = {};
    std::memcpy(koly, "koly", 4);
    PutBe32(koly + 4, 4);
    PutBe32(koly + 8, 512);
    PutBe32(koly + 12, 1);
    PutBe64(koly + 24, 0);  // data fork offset
    PutBe64(koly + 32, image.dataForkLengthOverride ? image.dataForkLengthOverride : image.dataFork.size());
    PutBe32(koly + 60, 1);
    PutBe64(koly + 216, xmlOffset);
    PutBe64(koly + 224, image.xmlLengthOverride ? image.xmlLengthOverride : xmlLength);
    PutBe32(koly + 488, 1);
    PutBe64(koly + 492, image.totalSectors);
    out.insert(out.end(), koly, koly + 512);
    return out;
}

constexpr uint64_t kChunkSectors = 64;

// Raw chunks at their natural places: the image a flat read gets right.
UdifImage FlatUdif(const Bytes& disk) {
    UdifImage image;
    image.dataFork = disk;
    image.totalSectors = disk.size() / 512;
    for (uint64_t s = 0; s < image.totalSectors; s += kChunkSectors) {
        const uint64_t n = std::min(kChunkSectors, image.totalSectors - s);
        image.chunks.push_back({1, s, n, s * 512, n * 512});
    }
    image.chunks.push_back({0xFFFFFFFF, image.totalSectors, 0, disk.size(), 0});
    return image;
}

// The same disk with every chunk zlib-compressed.
UdifImage ZlibUdif(const Bytes& disk) {
    UdifImage image;
    image.totalSectors = disk.size() / 512;
    for (uint64_t s = 0; s < image.totalSectors; s += kChunkSectors) {
        const uint64_t n = std::min(kChunkSectors, image.totalSectors - s);
        uLongf size = compressBound(n * 512);
        Bytes packed(size);
        compress2(packed.data(), &size, disk.data() + s * 512, n * 512, 6);
        image.chunks.push_back({0x80000005, s, n, image.dataFork.size(), size});
        image.dataFork.insert(image.dataFork.end(), packed.begin(), packed.begin() + size);
    }
    image.chunks.push_back({0xFFFFFFFF, image.totalSectors, 0, image.dataFork.size(), 0});
    return image;
}

// Raw chunks stored back to front: a correct UDIF that cannot be read flat.
UdifImage ReorderedUdif(const Bytes& disk) {
    UdifImage image;
    image.totalSectors = disk.size() / 512;
    std::vector<uint64_t> starts;
    for (uint64_t s = 0; s < image.totalSectors; s += kChunkSectors) starts.push_back(s);
    std::vector<UdifChunk> chunks(starts.size());
    for (size_t i = starts.size(); i-- > 0;) {
        const uint64_t s = starts[i];
        const uint64_t n = std::min(kChunkSectors, image.totalSectors - s);
        chunks[i] = {1, s, n, image.dataFork.size(), n * 512};
        image.dataFork.insert(image.dataFork.end(), disk.begin() + s * 512, disk.begin() + (s + n) * 512);
    }
    image.chunks = chunks;
    image.chunks.push_back({0xFFFFFFFF, image.totalSectors, 0, image.dataFork.size(), 0});
    return image;
}

bool RunDmg2Img(const std::string& dmg, const std::string& img) {
    const std::string command = "dmg2img -s -i '" + dmg + "' -o '" + img + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

Bytes ReadDevice(IStorageDevice* device, int64_t first, int64_t count) {
    Bytes b(static_cast<size_t>(count) * device->GetSectorSize(), 0xEE);
    if (device->ReadSector(b.data(), first, count) != 1) {
        ADD_FAILURE() << "ReadSector(" << first << ", " << count << ") failed: 0x" << std::hex
                      << device->GetLastError();
        return {};
    }
    return b;
}

}  // namespace

TEST(DmgImage, RawImagesAndTrailerLookalikes) {
    ImageTempDir dir;
    struct Case {
        const char* name;
        Bytes content;
        int result;
        uint64_t sectors;
    };
    Bytes kolx = Pattern(4096, 3);
    std::memcpy(kolx.data() + 4096 - 512, "kolx", 4);
    Bytes encrypted = Pattern(4096, 4);
    std::memcpy(encrypted.data(), "encrcdsa", 8);
    Bytes encryptedV1 = Pattern(4096, 5);
    std::memcpy(encryptedV1.data() + 4096 - 8, "cdsaencr", 8);
    const Case cases[] = {
        {"1,000 bytes", Pattern(1000, 1), 1, 2},       {"1,024 bytes", Pattern(1024, 2), 1, 2},
        {"512 bytes", Pattern(512, 2), 0, 0},          {"empty", Bytes(), 0, 0},
        {"kolx trailer is raw", kolx, 1, 8},           {"encrypted (v2 header)", encrypted, 0, 0},
        {"encrypted (v1 trailer)", encryptedV1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("raw.dmg");
        WriteAll(path, c.content);
        CDMGDeviceInfoStruct record;
        InitDmgInfo(record, path.c_str());
        EXPECT_EQ(ParseDmgFile(path.c_str(), record), c.result);
        if (c.result == 1) {
            EXPECT_EQ(record.totalSectors, c.sectors);
            EXPECT_EQ(record.fileSize, c.content.size());
            EXPECT_EQ(record.dataOffset, 0u);
            EXPECT_STREQ(record.fileName, "raw.dmg");
            EXPECT_EQ(std::string(record.filePath), path);
        }
    }
    CDMGDeviceInfoStruct record;
    EXPECT_EQ(ParseDmgFile(dir.File("missing.dmg").c_str(), record), 0);
    EXPECT_EQ(ParseDmgFile(nullptr, record), 0);
}

TEST(DmgImage, FlatUdifReadsLikeDmg2Img) {
    ImageTempDir dir;
    const Bytes disk = Pattern(300 * 512, 7);  // 300 sectors: four full chunks and a short one
    const std::string path = dir.File("flat.dmg");
    WriteAll(path, BuildUdif(FlatUdif(disk)));

    // The independent reader agrees that the builder wrote the disk.
    const std::string oracle = dir.File("flat.img");
    ASSERT_TRUE(RunDmg2Img(path, oracle));
    ASSERT_EQ(ReadAll(oracle), disk);

    CDMGDeviceInfoStruct record;
    InitDmgInfo(record, path.c_str());
    ASSERT_EQ(ParseDmgFile(path.c_str(), record), 1);
    EXPECT_EQ(record.totalSectors, 300u);
    std::unique_ptr<IStorageDevice> device(CreateDmgDevice(path.c_str(), &record));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetType(), STORAGE_DEVICE_DMG);
    EXPECT_EQ(device->GetSectorSize(), 512u);
    EXPECT_EQ(device->GetTotalSectors(), 300);
    EXPECT_EQ(ReadDevice(device.get(), 0, 300), disk);
    // Sectors past the image read as zeros, never as the property list.
    const Bytes tail = ReadDevice(device.get(), 296, 8);
    ASSERT_EQ(tail.size(), 8u * 512);
    ASSERT_EQ(disk.size(), 300u * 512);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 4 * 512, disk.begin() + 296 * 512));
    EXPECT_TRUE(std::all_of(tail.begin() + 4 * 512, tail.end(), [](uint8_t b) { return b == 0; }));
    Bytes one(512);
    EXPECT_EQ(device->ReadSector(one.data(), 300, 1), 0);
    EXPECT_EQ(device->ReadSector(one.data(), 0, 0), 0);
    EXPECT_EQ(EngineResultError(device->GetLastError()), STORAGE_ERROR_BAD_ARGUMENT);
    EXPECT_EQ(device->ReadSector(nullptr, 0, 1), 0);
    EXPECT_EQ(device->ReadSector(one.data(), -1, 1), 0);
    EXPECT_EQ(device->IOCtl(1, nullptr), 0);
    EXPECT_EQ(EngineResultError(device->GetLastError()), STORAGE_ERROR_IOCTL);
}

TEST(DmgImage, ImagesThatCannotBeReadFlatAreRefused) {
    ImageTempDir dir;
    const Bytes disk = Pattern(200 * 512, 9);

    struct Case {
        const char* name;
        UdifImage image;
        bool oracleReads;  // dmg2img decodes it to the same disk
    };
    UdifImage adc = FlatUdif(disk);
    adc.chunks[1].type = 0x80000004;
    UdifImage bzip = FlatUdif(disk);
    bzip.chunks[0].type = 0x80000006;
    UdifImage lzfse = FlatUdif(disk);
    lzfse.chunks[2].type = 0x80000007;
    UdifImage lzma = FlatUdif(disk);
    lzma.chunks[2].type = 0x80000008;
    UdifImage unknown = FlatUdif(disk);
    unknown.chunks[0].type = 3;
    UdifImage shortTable = FlatUdif(disk);
    shortTable.truncateTable = true;
    UdifImage hugeXml = FlatUdif(disk);
    hugeXml.xmlLengthOverride = 1ull << 40;
    UdifImage xmlPastEnd = FlatUdif(disk);
    xmlPastEnd.xmlLengthOverride = 200 * 512;
    UdifImage shortFork = FlatUdif(disk);
    shortFork.dataForkLengthOverride = 100 * 512;  // sectors past the fork would read the trailer
    UdifImage chunkOutside = FlatUdif(disk);
    chunkOutside.chunks[0].sector = 1ull << 60;
    UdifImage misplaced = FlatUdif(disk);
    misplaced.chunks[1].offset += 512;
    const Case cases[] = {
        {"zlib", ZlibUdif(disk), true},
        {"stored out of order", ReorderedUdif(disk), true},
        {"ADC", adc, false},
        {"bzip2", bzip, false},
        {"LZFSE", lzfse, false},
        {"LZMA", lzma, false},
        {"unknown type 3", unknown, false},
        {"block table shorter than its count", shortTable, false},
        {"XML length of 1 TiB", hugeXml, false},
        {"XML past the end", xmlPastEnd, false},
        {"data fork shorter than the image", shortFork, false},
        {"chunk outside the image", chunkOutside, false},
        {"raw chunk not at its sectors' offset", misplaced, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.File("bad.dmg");
        WriteAll(path, BuildUdif(c.image));
        if (c.oracleReads) {
            const std::string img = dir.File("bad.img");
            ASSERT_TRUE(RunDmg2Img(path, img));
            EXPECT_EQ(ReadAll(img), disk);
        }
        CDMGDeviceInfoStruct record;
        InitDmgInfo(record, path.c_str());
        EXPECT_EQ(ParseDmgFile(path.c_str(), record), 0);
    }
    // Comment and zero-fill chunks are not data and are accepted.
    UdifImage withComment = FlatUdif(disk);
    withComment.chunks.insert(withComment.chunks.begin(), {0x7FFFFFFE, 0, 0, 0, 0});
    withComment.chunks[2].type = 2;  // sectors 64..127 "ignored"; stored as zeros
    Bytes zeroed = disk;
    std::fill(zeroed.begin() + 64 * 512, zeroed.begin() + 128 * 512, 0);
    withComment.dataFork = zeroed;
    const std::string path = dir.File("comment.dmg");
    WriteAll(path, BuildUdif(withComment));
    const std::string img = dir.File("comment.img");
    ASSERT_TRUE(RunDmg2Img(path, img));
    EXPECT_EQ(ReadAll(img), zeroed);
    CDMGDeviceInfoStruct record;
    InitDmgInfo(record, path.c_str());
    EXPECT_EQ(ParseDmgFile(path.c_str(), record), 1);
}

TEST(DmgImage, NoTemporaryFileBesideTheImage) {
    ImageTempDir dir;
    const std::string mine = dir.File("temp.plist");
    WriteAll(mine, {'m', 'i', 'n', 'e'});
    const std::string path = dir.File("flat.dmg");
    WriteAll(path, BuildUdif(FlatUdif(Pattern(70 * 512, 11))));
    CDMGDeviceInfoStruct record;
    InitDmgInfo(record, path.c_str());
    ASSERT_EQ(ParseDmgFile(path.c_str(), record), 1);
    EXPECT_EQ(ReadAll(mine), (Bytes{'m', 'i', 'n', 'e'}));
    size_t entries = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
        (void)e;
        ++entries;
    }
    EXPECT_EQ(entries, 2u);
}

TEST(DmgImage, RecordRoundTripsThroughItsStoredBytes) {
    ImageTempDir dir;
    const std::string path = dir.File("disk.dmg");
    const Bytes disk = Pattern(10 * 512, 13);
    WriteAll(path, disk);
    CDMGDeviceInfoStruct record;
    InitDmgInfo(record, path.c_str());
    ASSERT_EQ(ParseDmgFile(path.c_str(), record), 1);
    uint8_t stored[kDmgInfoSize];
    SerialiseDmgInfo(record, stored);
    EXPECT_EQ(stored[0], 0x00);  // 512 little-endian
    EXPECT_EQ(stored[1], 0x02);
    EXPECT_EQ(stored[8], 10);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stored + 32)), "disk.dmg");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(stored + 1056)), path);

    std::unique_ptr<IStorageDevice> device(CreateDmgDeviceByDmgInfo(stored, sizeof stored, "ignored"));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetTotalSectors(), 10);
    EXPECT_EQ(ReadDevice(device.get(), 3, 2), Bytes(disk.begin() + 3 * 512, disk.begin() + 5 * 512));

    EXPECT_EQ(CreateDmgDeviceByDmgInfo(stored, sizeof stored + 1, nullptr), nullptr);
    // A path without its terminator is cut, not read past the record.
    uint8_t unterminated[kDmgInfoSize];
    std::memcpy(unterminated, stored, sizeof stored);
    std::memset(unterminated + 1056, 'a', 1032);
    EXPECT_EQ(CreateDmgDeviceByDmgInfo(unterminated, sizeof unterminated, nullptr), nullptr);
    // A damaged sector size is refused instead of becoming the device's.
    CDMGDeviceInfoStruct zeroSize = record;
    zeroSize.sectorSize = 0;
    EXPECT_EQ(CreateDmgDevice(path.c_str(), &zeroSize), nullptr);
    CDMGDeviceInfoStruct pastEnd = record;
    pastEnd.dataOffset = 1ull << 40;
    EXPECT_EQ(CreateDmgDevice(path.c_str(), &pastEnd), nullptr);
    EXPECT_EQ(CreateDmgDevice(dir.File("missing.dmg").c_str(), &record), nullptr);
    // An image cut short after its record was made: refused, not read as zeros.
    CDMGDeviceInfoStruct longer = record;
    longer.totalSectors = 11;
    EXPECT_EQ(CreateDmgDevice(path.c_str(), &longer), nullptr);
    longer.totalSectors = 10;
    longer.dataOffset = 512;
    EXPECT_EQ(CreateDmgDevice(path.c_str(), &longer), nullptr);
    // A partial last sector is part of a raw image.
    WriteAll(path, Bytes(disk.begin(), disk.end() - 100));
    std::unique_ptr<IStorageDevice> partial(CreateDmgDevice(path.c_str(), &record));
    EXPECT_TRUE(partial);
}

// ---------------------------------------------------------------------------
// QVX

namespace {

// A source disk in memory with a disk record, whose reads can fail at one
// sector or wait at a gate.
class MemoryDisk : public IStorageDevice {
public:
    MemoryDisk(Bytes data, uint32_t sectorSize, const char* mediaName = "Test Disk")
        : m_data(std::move(data)), m_sectorSize(sectorSize) {
        if (mediaName != nullptr) {
            auto* record = new CCollectDiskDeviceInfoStruct{};
            std::strncpy(record->mediaName, mediaName, sizeof record->mediaName - 1);
            record->sectorSize = sectorSize;
            record->totalSectors = static_cast<int64_t>(m_data.size() / sectorSize);
            m_holder = CreateDiskDeviceData(record);
        }
    }
    ~MemoryDisk() override { delete m_holder; }
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, int64_t first, int64_t count) override {
        if (onRead) onRead(first);
        if (first < 0 || count <= 0 || (first + count) * m_sectorSize > static_cast<int64_t>(m_data.size())) return 0;
        if (failAt >= first && failAt < first + count) return 0;
        std::memcpy(buffer, m_data.data() + first * m_sectorSize, static_cast<size_t>(count) * m_sectorSize);
        return 1;
    }
    uint32_t GetSectorSize() override { return m_sectorSize; }
    int64_t GetTotalSectors() override { return static_cast<int64_t>(m_data.size() / m_sectorSize); }
    int IOCtl(uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_holder; }
    void SetPrivateData(IStorageDeviceData* data) override {
        delete m_holder;
        m_holder = data;
    }
    int GetType() override { return STORAGE_DEVICE_DISK; }
    EngineResult GetLastError() override { return ENGINE_OK; }

    int64_t failAt = -1;
    std::function<void(int64_t)> onRead;

private:
    Bytes m_data;
    uint32_t m_sectorSize;
    IStorageDeviceData* m_holder = nullptr;
};

struct Finished {
    std::vector<QvxProgress> reports;
    QvxProgress last{};
};

// Runs one imaging to its end and returns every report.
Finished MakeImage(QXMakeDMG& writer, IStorageDevice* source, const std::string& path, bool raw, int* started) {
    Finished result;
    std::mutex m;
    writer.setQXDelegate([&](const QvxProgress& p) {
        std::lock_guard<std::mutex> lock(m);
        result.reports.push_back(p);
    });
    *started = writer.QXStart(source, path.c_str(), raw);
    writer.Wait();
    writer.setQXDelegate(nullptr);
    if (!result.reports.empty()) result.last = result.reports.back();
    return result;
}

void PutLe(Bytes& b, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

TEST(QvxImage, RoundTripOf512ByteSectors) {
    ImageTempDir dir;
    // The source is a disk device on an image file, named by its record.
    const Bytes disk = Pattern(10000 * 512, 21);
    const std::string sourcePath = dir.File("source.img");
    WriteAll(sourcePath, disk);
    std::unique_ptr<CDiskDevice> source(CreateDiskDevice(sourcePath.c_str()));
    ASSERT_TRUE(source);
    ASSERT_EQ(source->Open(nullptr), 1);
    auto* diskRecord = new CCollectDiskDeviceInfoStruct{};
    std::strcpy(diskRecord->mediaName, "Test Disk");
    diskRecord->sectorSize = 512;
    diskRecord->totalSectors = 10000;
    source->SetPrivateData(CreateDiskDeviceData(diskRecord));
    const std::string path = dir.File("disk.qvx");
    QXMakeDMG writer;
    int started = 1;
    const time_t before = time(nullptr);
    Finished done = MakeImage(writer, source.get(), path, false, &started);
    ASSERT_EQ(started, 0);
    EXPECT_EQ(done.last.error, 0);
    EXPECT_TRUE(done.last.finished);
    EXPECT_EQ(done.last.current, 10000);
    EXPECT_EQ(done.last.total, 10000);
    EXPECT_EQ(done.reports.size(), 3u);  // two chunks and the end

    const Bytes file = ReadAll(path);
    ASSERT_EQ(file.size(), 1536u + 2 * 8192 * 512);
    EXPECT_EQ(std::memcmp(file.data(), "qvx\0", 4), 0);
    EXPECT_EQ(byteorder::LE16(&file[4]), 1192);
    EXPECT_TRUE(std::all_of(file.begin() + 1200, file.begin() + 1536, [](uint8_t b) { return b == 0; }));
    EXPECT_TRUE(std::equal(disk.begin(), disk.end(), file.begin() + 1536));
    EXPECT_TRUE(std::all_of(file.begin() + 1536 + disk.size(), file.end(), [](uint8_t b) { return b == 0; }));

    CQVXDeviceInfoStruct record{};
    ASSERT_EQ(QxFillQvxFileInfo(&record, path.c_str()), 0);
    EXPECT_EQ(record.sectorSize, 512u);
    EXPECT_EQ(record.totalSectors, 10000u);
    EXPECT_EQ(record.dataOffset, 1536u);
    EXPECT_EQ(record.fileSize, file.size());
    EXPECT_STREQ(record.name, "Test Disk");
    EXPECT_EQ(std::string(record.path), path);
    EXPECT_GE(record.createTime, static_cast<uint64_t>(before));

    std::unique_ptr<IStorageDevice> device(CreateQvxDevice(path.c_str()));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetType(), STORAGE_DEVICE_QVX);
    EXPECT_EQ(device->GetSectorSize(), 512u);
    EXPECT_EQ(device->GetTotalSectors(), 10000);
    EXPECT_EQ(ReadDevice(device.get(), 0, 10000), disk);
    const Bytes last = ReadDevice(device.get(), 9998, 4);
    EXPECT_TRUE(std::equal(last.begin(), last.begin() + 1024, disk.end() - 1024));
    EXPECT_TRUE(std::all_of(last.begin() + 1024, last.end(), [](uint8_t b) { return b == 0; }));
}

TEST(QvxImage, FourKSectorsAndRawMode) {
    ImageTempDir dir;
    const Bytes disk = Pattern(100 * 4096, 22);
    MemoryDisk source(disk, 4096);
    QXMakeDMG writer;
    int started = 1;
    const std::string path = dir.File("4k.qvx");
    Finished done = MakeImage(writer, &source, path, false, &started);
    ASSERT_EQ(started, 0);
    ASSERT_EQ(done.last.error, 0);
    EXPECT_EQ(ReadAll(path).size(), 4096u + 8192u * 4096);
    std::unique_ptr<IStorageDevice> device(CreateQvxDevice(path.c_str()));
    ASSERT_TRUE(device);
    EXPECT_EQ(device->GetSectorSize(), 4096u);
    EXPECT_EQ(static_cast<CQvxDevice*>(device.get())->GetDataOffset(), 4096);
    EXPECT_EQ(ReadDevice(device.get(), 0, 100), disk);

    // Raw mode: the sectors alone, whole chunks.
    const Bytes small = Pattern(100 * 512, 27);
    MemoryDisk smallSource(small, 512);
    const std::string raw = dir.File("raw.img");
    done = MakeImage(writer, &smallSource, raw, true, &started);
    ASSERT_EQ(started, 0);
    ASSERT_EQ(done.last.error, 0);
    const Bytes file = ReadAll(raw);
    ASSERT_EQ(file.size(), 8192u * 512);
    EXPECT_TRUE(std::equal(small.begin(), small.end(), file.begin()));
    EXPECT_EQ(writer.GetRecord().dataOffset, 0u);
    EXPECT_EQ(QxFillQvxFileInfo(nullptr, raw.c_str()), -1);
    CQVXDeviceInfoStruct record{};
    EXPECT_EQ(QxFillQvxFileInfo(&record, raw.c_str()), -1);  // no header: not a QVX image
}

TEST(QvxImage, DamagedAndIncompleteImagesAreRefused) {
    ImageTempDir dir;
    // A small complete image built by hand: the reader needs no whole chunks.
    CQVXDeviceInfoStruct made{};
    made.sectorSize = 512;
    made.totalSectors = 10;
    made.dataOffset = 1536;
    made.fileSize = 1536 + 10 * 512;
    std::strcpy(made.name, "Hand Made");
    made.createTime = 1700000000;
    uint8_t recordBytes[kQvxInfoSize];
    SerialiseQvxInfo(made, recordBytes);
    Bytes good = {'q', 'v', 'x', 0, 0xA8, 0x04, 0, 0};
    good.insert(good.end(), recordBytes, recordBytes + sizeof recordBytes);
    good.resize(1536, 0);
    const Bytes data = Pattern(10 * 512, 23);
    good.insert(good.end(), data.begin(), data.end());
    {
        const std::string path = dir.File("good.qvx");
        WriteAll(path, good);
        std::unique_ptr<IStorageDevice> device(CreateQvxDevice(path.c_str()));
        ASSERT_TRUE(device);
        EXPECT_EQ(ReadDevice(device.get(), 0, 10), data);
    }

    struct Case {
        const char* name;
        std::function<void(Bytes&)> damage;
    };
    const Case cases[] = {
        {"last byte cut", [](Bytes& b) { b.pop_back(); }},
        {"a byte added", [](Bytes& b) { b.push_back(0); }},
        {"record length 1193", [](Bytes& b) { PutLe(b, 4, 1193, 4); }},
        {"record length 1191", [](Bytes& b) { PutLe(b, 4, 1191, 4); }},
        {"tag", [](Bytes& b) { b[2] = 'y'; }},
        {"never finished (file size 0)", [](Bytes& b) { PutLe(b, 8 + 24, 0, 8); }},
        {"sector size 0", [](Bytes& b) { PutLe(b, 8, 0, 8); }},
        {"sector size 1000", [](Bytes& b) { PutLe(b, 8, 1000, 8); }},
        {"data offset inside the header", [](Bytes& b) { PutLe(b, 8 + 16, 100, 8); }},
        {"data offset past the end", [](Bytes& b) { PutLe(b, 8 + 16, b.size() + 512, 8); }},
        {"more sectors than the file holds", [](Bytes& b) { PutLe(b, 8 + 8, 11, 8); }},
        {"only the header", [](Bytes& b) { b.resize(1000); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes bad = good;
        c.damage(bad);
        const std::string badPath = dir.File("bad.qvx");
        WriteAll(badPath, bad);
        CQVXDeviceInfoStruct record{};
        EXPECT_EQ(QxFillQvxFileInfo(&record, badPath.c_str()), -1);
        EXPECT_EQ(CreateQvxDevice(badPath.c_str()), nullptr);
    }
    // Unterminated name and path are cut at their last byte.
    Bytes long_ = good;
    std::memset(long_.data() + 8 + 32, 'n', 128);
    std::memset(long_.data() + 8 + 160, 'p', 1024);
    WriteAll(dir.File("long.qvx"), long_);
    CQVXDeviceInfoStruct record{};
    ASSERT_EQ(QxFillQvxFileInfo(&record, dir.File("long.qvx").c_str()), 0);
    EXPECT_EQ(std::strlen(record.name), 127u);
    EXPECT_EQ(std::string(record.path), dir.File("long.qvx"));
}

TEST(QvxImage, ReopenFromAStoredRecord) {
    ImageTempDir dir;
    MemoryDisk source(Pattern(50 * 512, 24), 512);
    QXMakeDMG writer;
    int started = 1;
    const std::string path = dir.File("stored.qvx");
    ASSERT_EQ(MakeImage(writer, &source, path, false, &started).last.error, 0);
    CQVXDeviceInfoStruct record{};
    ASSERT_EQ(QxFillQvxFileInfo(&record, path.c_str()), 0);
    uint8_t stored[kQvxInfoSize];
    SerialiseQvxInfo(record, stored);

    std::unique_ptr<IStorageDevice> same(CreateQvxDeviceByQvxInfo(stored, sizeof stored, nullptr));
    ASSERT_TRUE(same);
    EXPECT_EQ(same->GetTotalSectors(), 50);

    // Moved image: the stored path differs, the image is the same.
    const std::string moved = dir.File("moved.qvx");
    ASSERT_EQ(rename(path.c_str(), moved.c_str()), 0);
    EXPECT_EQ(CreateQvxDeviceByQvxInfo(stored, sizeof stored, nullptr), nullptr);
    std::unique_ptr<IStorageDevice> found(CreateQvxDeviceByQvxInfo(stored, sizeof stored, moved.c_str()));
    EXPECT_TRUE(found);

    CQVXDeviceInfoStruct other = record;
    other.createTime += 1;
    SerialiseQvxInfo(other, stored);
    EXPECT_EQ(CreateQvxDeviceByQvxInfo(stored, sizeof stored, moved.c_str()), nullptr);
    other = record;
    other.name[0] ^= 1;
    SerialiseQvxInfo(other, stored);
    EXPECT_EQ(CreateQvxDeviceByQvxInfo(stored, sizeof stored, moved.c_str()), nullptr);
    SerialiseQvxInfo(record, stored);
    EXPECT_EQ(CreateQvxDeviceByQvxInfo(stored, 1191, moved.c_str()), nullptr);
    EXPECT_EQ(CreateQvxDeviceByQvxInfo(nullptr, 1192, moved.c_str()), nullptr);
}

TEST(QvxImage, WriterFailuresLeaveNoImage) {
    ImageTempDir dir;
    QXMakeDMG writer;
    int started = 1;
    MemoryDisk source(Pattern(20000 * 512, 25), 512);

    EXPECT_EQ(writer.QXStart(nullptr, dir.File("x.qvx").c_str(), false), QVX_ERR_ARGUMENT);
    EXPECT_EQ(writer.QXStart(&source, nullptr, false), QVX_ERR_ARGUMENT);
    MemoryDisk anonymous(Pattern(512, 1), 512, nullptr);
    EXPECT_EQ(writer.QXStart(&anonymous, dir.File("x.qvx").c_str(), false), QVX_ERR_NO_DESCRIPTION);
    EXPECT_EQ(writer.QXStart(&source, dir.File("no/such/dir.qvx").c_str(), false), QVX_ERR_CREATE_IMAGE);

    // A source read that fails in the second chunk.
    source.failAt = 9000;
    const std::string path = dir.File("fail.qvx");
    Finished done = MakeImage(writer, &source, path, false, &started);
    ASSERT_EQ(started, 0);
    EXPECT_EQ(done.last.error, QVX_ERR_READ_SOURCE);
    EXPECT_EQ(done.last.current, 8192);
    EXPECT_FALSE(std::filesystem::exists(path));
    source.failAt = -1;

    // A full device: the header write fails; /dev/full itself is left alone.
    done = MakeImage(writer, &source, "/dev/full", false, &started);
    ASSERT_EQ(started, 0);
    EXPECT_EQ(done.last.error, QVX_ERR_WRITE_IMAGE);
    EXPECT_TRUE(std::filesystem::exists("/dev/full"));

    // A file size limit: the data writes come up short, then fail.
    const std::string limited = dir.File("limited.qvx");
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {3 << 20, 3 << 20};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
        QXMakeDMG childWriter;
        int childStarted = 1;
        Finished childDone = MakeImage(childWriter, &source, limited, false, &childStarted);
        if (childStarted != 0) _exit(11);
        if (childDone.last.error != QVX_ERR_WRITE_IMAGE) _exit(12);
        if (std::filesystem::exists(limited)) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(QvxImage, PauseResumeAndStop) {
    ImageTempDir dir;
    MemoryDisk source(Pattern(5 * 8192 * 512, 26), 512);
    QXMakeDMG writer;
    std::mutex m;
    std::condition_variable cv;
    std::vector<QvxProgress> reports;
    writer.setQXDelegate([&](const QvxProgress& p) {
        std::lock_guard<std::mutex> lock(m);
        reports.push_back(p);
        cv.notify_all();
    });
    auto waitForReports = [&](size_t n) {
        std::unique_lock<std::mutex> lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return reports.size() >= n; });
    };
    auto reportCount = [&] {
        std::lock_guard<std::mutex> lock(m);
        return reports.size();
    };

    // Pause from the first read on: nothing is copied until resumed.
    std::atomic<bool> pauseOnce{true};
    source.onRead = [&](int64_t first) {
        if (first == 0 && pauseOnce.exchange(false)) writer.QXSetState(QVX_STATE_PAUSE);
    };
    const std::string path = dir.File("paused.qvx");
    ASSERT_EQ(writer.QXStart(&source, path.c_str(), false), 0);
    EXPECT_EQ(writer.QXStart(&source, dir.File("second.qvx").c_str(), false), QVX_ERR_BUSY);
    ASSERT_TRUE(waitForReports(1));  // the chunk being read when paused completes
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(reportCount(), 1u);
    EXPECT_TRUE(writer.IsRunning());
    writer.QXSetState(QVX_STATE_RUN);
    writer.Wait();
    ASSERT_EQ(reportCount(), 6u);
    EXPECT_EQ(reports.back().error, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("second.qvx")));
    std::unique_ptr<IStorageDevice> device(CreateQvxDevice(path.c_str()));
    EXPECT_TRUE(device);

    // Stop while paused: the partial image is deleted.
    reports.clear();
    pauseOnce = true;
    const std::string stopped = dir.File("stopped.qvx");
    ASSERT_EQ(writer.QXStart(&source, stopped.c_str(), false), 0);
    ASSERT_TRUE(waitForReports(1));
    writer.QXSetState(QVX_STATE_STOP);
    writer.Wait();
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().error, QVX_ERR_STOPPED);
    EXPECT_TRUE(reports.back().finished);
    EXPECT_FALSE(std::filesystem::exists(stopped));
    writer.setQXDelegate(nullptr);
}

TEST(ImageFiles, OpenedByTheirContent) {
    ImageTempDir dir;
    const Bytes disk = Pattern(100 * 512, 31);
    MemoryDisk source(disk, 512);
    QXMakeDMG writer;
    int started = 1;
    const std::string qvx = dir.File("image.qvx");
    ASSERT_EQ(MakeImage(writer, &source, qvx, false, &started).last.error, 0);
    Bytes cut = ReadAll(qvx);
    cut.pop_back();
    const std::string cutPath = dir.File("cut.qvx");
    WriteAll(cutPath, cut);
    const std::string flat = dir.File("flat.dmg");
    WriteAll(flat, BuildUdif(FlatUdif(disk)));
    const std::string zlib = dir.File("zlib.dmg");
    WriteAll(zlib, BuildUdif(ZlibUdif(disk)));
    Bytes encrypted = disk;
    std::memcpy(encrypted.data(), "encrcdsa", 8);
    const std::string encryptedPath = dir.File("enc.dmg");
    WriteAll(encryptedPath, encrypted);
    const std::string raw = dir.File("raw.dmg");
    WriteAll(raw, disk);

    struct Case {
        std::string path;
        int type;  // -1: refused with a message, -2: not an image (no message)
    };
    const Case cases[] = {
        {qvx, STORAGE_DEVICE_QVX}, {cutPath, -1}, {flat, STORAGE_DEVICE_DMG},    {zlib, -1},
        {encryptedPath, -1},       {raw, -2},     {dir.File("missing.dmg"), -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::string error = "stale";
        std::unique_ptr<IStorageDevice> device(OpenImageFileDevice(c.path.c_str(), error));
        if (c.type >= 0) {
            ASSERT_TRUE(device);
            EXPECT_TRUE(error.empty());
            EXPECT_EQ(device->GetType(), c.type);
            EXPECT_EQ(ReadDevice(device.get(), 0, 100), disk);
        } else {
            EXPECT_FALSE(device);
            EXPECT_EQ(error.empty(), c.type == -2) << error;
        }
    }
}

// A FAT16 volume made by mkfs.fat, read through its raw image, a DMG of it and
// a QVX of it: the volume recogniser sees the same file system in all three.
TEST(ImageFiles, WrappedFatVolumeIsRecognisedLikeTheRawImage) {
    ImageTempDir dir;
    const std::string raw = dir.File("fat16.img");
    const std::string make = "truncate -s 16M '" + raw + "' && mkfs.fat -F 16 -n QFAT16 '" + raw + "' >/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    const Bytes volume = ReadAll(raw);
    const std::string dmg = dir.File("fat16.dmg");
    WriteAll(dmg, BuildUdif(FlatUdif(volume)));

    std::unique_ptr<CDiskDevice> disk(CreateDiskDevice(raw.c_str()));
    ASSERT_TRUE(disk);
    ASSERT_EQ(disk->Open(nullptr), 1);
    auto* record = new CCollectDiskDeviceInfoStruct{};
    std::strcpy(record->mediaName, "fat16");
    record->sectorSize = 512;
    record->totalSectors = disk->GetTotalSectors();
    disk->SetPrivateData(CreateDiskDeviceData(record));
    const std::string qvx = dir.File("fat16.qvx");
    QXMakeDMG writer;
    int started = 1;
    ASSERT_EQ(MakeImage(writer, disk.get(), qvx, false, &started).last.error, 0);

    std::string error;
    std::unique_ptr<IStorageDevice> dmgDevice(OpenImageFileDevice(dmg.c_str(), error));
    std::unique_ptr<IStorageDevice> qvxDevice(OpenImageFileDevice(qvx.c_str(), error));
    ASSERT_TRUE(dmgDevice);
    ASSERT_TRUE(qvxDevice);
    for (IStorageDevice* device : {static_cast<IStorageDevice*>(disk.get()), dmgDevice.get(), qvxDevice.get()}) {
        SCOPED_TRACE(device->GetType());
        EXPECT_EQ(device->GetTotalSectors(), 32768);
        std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(device, 0));
        ASSERT_TRUE(controller);
        IVolumeAnalyze* analyzer = controller->GetVolumeAnzlyzer();
        ASSERT_TRUE(analyzer);
        EXPECT_EQ(analyzer->GetFileSystemType(), 1u);  // FAT16
        EXPECT_EQ(analyzer->GetTotalSector(), 32768);
        char label[32] = {};
        analyzer->GetLabel(label, sizeof label);
        EXPECT_EQ(std::string(label).substr(0, 6), "QFAT16");

        // The deep scan's road: block by block through the read-ahead cache
        // (a short last block included), the same bytes as the raw image.
        CStorageDeviceWithCache cache(device);
        ASSERT_EQ(cache.SetBlockSize(5000), 1);
        cache.BeginCache();
        Bytes seen;
        seen.reserve(volume.size());
        for (int64_t block = 0; cache.IsBlockInValidRange(block); ++block) {
            ASSERT_EQ(cache.SetCurCacheBlock(block), 1);
            const int64_t first = block * 5000;
            const int64_t count = std::min<int64_t>(5000, cache.GetTotalSectors() - first);
            Bytes part(static_cast<size_t>(count) * 512);
            ASSERT_EQ(cache.ReadSector(part.data(), first, count), 1);
            seen.insert(seen.end(), part.begin(), part.end());
        }
        cache.EndCache();
        EXPECT_TRUE(seen == volume);
    }
}
