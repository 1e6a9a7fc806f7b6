// The parsers against real volumes made by mkntfs and written through
// ntfs-3g, with The Sleuth Kit (istat, icat) as the oracle.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "NTFSTestSupport.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSIndexRecord.h"
#include "ntfs/NTFSMetaFileRecordType.h"
#include "ntfs/NTFSMultiFileRecord.h"

using namespace ntfstest;

namespace {

struct IstatView {
    std::vector<std::string> names;
    std::vector<std::int64_t> parents;
    bool hasData = false;
    bool dataResident = false;
    std::int64_t dataSize = -1;
    std::vector<std::int64_t> clusters;
};

IstatView ParseIstat(const std::string& text) {
    IstatView v;
    std::istringstream in(text);
    std::string line;
    bool inFileName = false;
    bool inData = false;
    while (std::getline(in, line)) {
        if (line.rfind("$FILE_NAME Attribute Values:", 0) == 0) {
            inFileName = true;
            continue;
        }
        if (inFileName && line.rfind("Name: ", 0) == 0) v.names.push_back(line.substr(6));
        if (inFileName && line.rfind("Parent MFT Entry: ", 0) == 0) {
            v.parents.push_back(std::stoll(line.substr(18)));
            inFileName = false;
        }
        if (line.rfind("Type: ", 0) == 0) {
            inData = false;
            if (line.find("Type: $DATA (") == 0 && line.find("Name: N/A") != std::string::npos) {
                v.hasData = true;
                inData = true;
                v.dataResident = line.find("Non-Resident") == std::string::npos;
                const auto pos = line.find("size: ");
                v.dataSize = std::stoll(line.substr(pos + 6));
            }
            continue;
        }
        if (inData && !line.empty() && line.find_first_not_of("0123456789 ") == std::string::npos) {
            std::istringstream nums(line);
            std::int64_t c;
            while (nums >> c) v.clusters.push_back(c);
        }
    }
    return v;
}

std::vector<std::uint8_t> Icat(const std::string& image, std::int64_t mft) {
    const std::string tmp = FixtureDir() + "/icat." + std::to_string(getpid()) + ".bin";
    RunCommand("icat " + image + " " + std::to_string(mft) + " > " + tmp);
    auto out = ReadFile(tmp);
    std::remove(tmp.c_str());
    return out;
}

// The istat dump the fixture script made: record number -> istat output.
std::map<std::int64_t, std::string> LoadIstatDump(const std::string& image) {
    std::map<std::int64_t, std::string> out;
    std::ifstream in(image + ".istat");
    std::string line;
    std::int64_t current = -1;
    while (std::getline(in, line)) {
        if (line.rfind("=== ", 0) == 0) {
            current = std::stoll(line.substr(4));
            out[current];
            continue;
        }
        if (current >= 0) out[current] += line + "\n";
    }
    return out;
}

// Checks every valid base record of an image against istat. Returns the
// number of records checked.
void CheckImageAgainstIstat(const std::string& image, int* checkedOut, int* residentChecked = nullptr) {
    *checkedOut = 0;
    auto bytes = ReadFile(image);
    CNTFSDBR dbr;
    if (!dbr.InitFromBuffer(bytes.data())) {
        ADD_FAILURE() << "boot sector of " << image;
        return;
    }
    const std::uint32_t sectorSize = dbr.GetBytesPerSector();
    const std::uint32_t recordSize = dbr.GetFileRecordSizeByByte();
    const std::uint8_t spc = dbr.GetSectorsperCluster();
    const std::uint8_t spr = static_cast<std::uint8_t>(std::max<std::uint32_t>(1, recordSize / sectorSize));
    const std::int64_t clusterBytes = static_cast<std::int64_t>(spc) * sectorSize;
    MemoryDevice device(bytes, sectorSize);
    const std::vector<std::uint8_t> mft = Icat(image, 0);
    const auto dump = LoadIstatDump(image);
    EXPECT_FALSE(dump.empty()) << image;

    // The $MFT's own runs, from record 0.
    std::vector<std::uint8_t> rec0(mft.begin(), mft.begin() + recordSize);
    CNTFSFileRecord mftRecord(rec0.data(), static_cast<int>(recordSize), 1);
    EXPECT_TRUE(CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(mftRecord));
    CNTFSDataRunList mftRuns;
    EXPECT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(mftRecord, mftRuns, 1, nullptr));
    EXPECT_EQ(mftRuns.GetLCN(0), dbr.GetMFTStartCluster());

    int checked = 0;
    int resident = 0;
    for (std::size_t i = 0; (i + 1) * recordSize <= mft.size(); ++i) {
        std::vector<std::uint8_t> rec(mft.begin() + i * recordSize, mft.begin() + (i + 1) * recordSize);
        const auto original = rec;
        if (!CNTFSFileRecord::IsValid(rec.data(), static_cast<int>(recordSize))) continue;
        EXPECT_EQ(rec, original) << "IsValid changed record " << i;
        if (CNTFSFileRecord::IsExtendFileRecord(rec.data())) continue;
        const std::int64_t sector = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
            static_cast<std::int64_t>(i), spc, 0, &mftRuns, spr);
        ASSERT_GE(sector, 0);
        // The record read from the device at the located sector is this one.
        EXPECT_EQ(0, std::memcmp(device.Bytes().data() + sector * sectorSize, rec.data(), recordSize)) << i;
        std::unique_ptr<ExtendFileRecordInfoList> ext(CNTFSMultiFileRecord::InitExtendFileRecord(
            rec.data(), static_cast<int>(recordSize), sector, spc, 0, device, &mftRuns, spr));
        CNTFSMultiFileRecord multi(rec.data(), recordSize, sector, &device, ext.get());
        ASSERT_TRUE(multi.IsValid());
        std::int64_t parent = -1;
        std::unique_ptr<CNTFSFileProperties> props(
            CNTFSFilePropertiesBuilder::BuildFileProperties(sector, multi, clusterBytes, &parent));
        const auto found = dump.find(static_cast<std::int64_t>(i));
        const IstatView oracle = ParseIstat(found == dump.end() ? std::string() : found->second);
        if (oracle.names.empty()) {
            EXPECT_EQ(props, nullptr) << i;
            continue;
        }
        ASSERT_NE(props, nullptr) << "record " << i;
        ++checked;
        const std::string name = props->GetFileName();
        EXPECT_TRUE(std::find(oracle.names.begin(), oracle.names.end(), name) != oracle.names.end())
            << "record " << i << " name " << name;
        EXPECT_EQ(props->GetFileRecordIndex(), static_cast<std::int64_t>(i));
        EXPECT_EQ(props->GetFileRecordStartSector(), sector);
        EXPECT_EQ((props->GetState() & 1) != 0, !CNTFSFileRecord::IsinUse(rec.data())) << i;
        if (oracle.parents.size() == 1) {
            EXPECT_EQ(parent, oracle.parents[0]) << i;
        }
        if (!oracle.hasData) continue;
        EXPECT_EQ(props->GetFileSize(), oracle.dataSize) << "record " << i << " " << name;
        std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> runs(props->GetDataRunList(), [](IDataRunList* l) {
            if (l) l->Release();
        });
        if (oracle.dataResident) {
            ASSERT_NE(runs, nullptr) << i;
            EXPECT_EQ(runs->IsResident(), 1);
            DataRun* r = runs->GetFirst();
            ASSERT_NE(r, nullptr);
            const std::uint8_t* content = device.Bytes().data() + r->start * sectorSize + runs->GetOffset();
            // The record on disk carries its update sequence; compare in readable form.
            std::vector<std::uint8_t> onDisk(device.Bytes().data() + r->start * sectorSize,
                                             device.Bytes().data() + r->start * sectorSize + recordSize);
            CNTFSFileRecord::UnfixupFileRecord(onDisk.data(), static_cast<int>(recordSize));
            content = onDisk.data() + runs->GetOffset();
            if (oracle.dataSize <= 0 || resident >= 3) continue;  // icat costs a process each
            const auto expected = Icat(image, static_cast<std::int64_t>(i));
            if (!expected.empty()) {
                ASSERT_EQ(expected.size(), static_cast<std::size_t>(props->GetFileSize()));
                EXPECT_EQ(0, std::memcmp(expected.data(), content, expected.size())) << "record " << i;
                ++resident;
            }
            continue;
        }
        std::vector<std::int64_t> clusters;
        if (runs != nullptr)
            for (DataRun* r = runs->GetFirst(); r != nullptr; r = runs->GetNext())
                for (std::int64_t c = 0; c < r->length; ++c) clusters.push_back(r->start < 0 ? 0 : r->start + c);
        // istat shows 0 for clusters past the initialised data; compare the rest.
        ASSERT_EQ(clusters.size(), oracle.clusters.size()) << "record " << i << " " << name;
        for (std::size_t k = 0; k < clusters.size(); ++k)
            if (oracle.clusters[k] != 0) {
                ASSERT_EQ(clusters[k], oracle.clusters[k]) << "record " << i << " cluster " << k;
            }
    }
    if (residentChecked) *residentChecked = resident;
    *checkedOut = checked;
}

}  // namespace

TEST(NTFSRealImage, EveryRecordReadsAsIstatDoes) {
    int resident = 0, checked = 0;
    CheckImageAgainstIstat(Fixture("ntfs_basic.img"), &checked, &resident);
    EXPECT_GT(checked, 50);  // system records, 24 files in Many/, deleted files
    EXPECT_EQ(resident, 3);
}

TEST(NTFSRealImage, AttributeListAndFragmentedRuns) {
    int checked = 0;
    CheckImageAgainstIstat(Fixture("ntfs_attrlist.img"), &checked);
    EXPECT_GT(checked, 16);
}

TEST(NTFSRealImage, FourKilobyteSectorsAndRecords) {
    int checked = 0;
    CheckImageAgainstIstat(Fixture("ntfs_4k.img"), &checked);
    EXPECT_GT(checked, 16);
}

namespace {

struct RealVolume {
    std::vector<std::uint8_t> mft;
    std::unique_ptr<MemoryDevice> device;
    CNTFSDataRunList mftRuns;
    std::uint8_t spc = 0;
    std::string image;

    explicit RealVolume(const std::string& path) : image(path) {
        auto bytes = ReadFile(image);
        CNTFSDBR dbr;
        EXPECT_TRUE(dbr.InitFromBuffer(bytes.data()));
        spc = dbr.GetSectorsperCluster();
        device = std::make_unique<MemoryDevice>(std::move(bytes), 512);
        mft = Icat(image, 0);
        CNTFSFileRecord rec0(mft.data(), 1024, 1);
        CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(rec0, mftRuns, 1, nullptr);
    }
    std::vector<std::uint8_t> Record(std::int64_t n) const {
        return std::vector<std::uint8_t>(mft.begin() + n * 1024, mft.begin() + (n + 1) * 1024);
    }
    std::int64_t Sector(std::int64_t n) const {
        return CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(n, spc, 0, &mftRuns, 2);
    }
    // ntfs-3g may move a file's first name into an extension record when the names
    // outgrow the base record, so which names the base record keeps varies from one
    // fixture build to the next: ask The Sleuth Kit for the base record instead.
    std::int64_t FindByName(const char* name) const {
        const std::string out = RunCommand("ifind -n '" + std::string(name) + "' '" + image + "' 2>/dev/null");
        char* end = nullptr;
        const long long n = std::strtoll(out.c_str(), &end, 10);
        if (end == out.c_str() || n < 0 || (n + 1) * 1024 > static_cast<long long>(mft.size())) return -1;
        return n;
    }
};

}  // namespace

TEST(NTFSRealImage, AttributesAcrossExtensionRecords) {
    RealVolume v(Fixture("ntfs_attrlist.img"));
    const std::int64_t a = v.FindByName("A.bin");
    ASSERT_GE(a, 0);
    auto rec = v.Record(a);
    const auto original = rec;
    std::unique_ptr<ExtendFileRecordInfoList> ext(
        CNTFSMultiFileRecord::InitExtendFileRecord(rec.data(), 1024, v.Sector(a), v.spc, 0, *v.device, &v.mftRuns, 2));
    EXPECT_EQ(rec, original);  // the caller's record is never changed
    ASSERT_NE(ext, nullptr);
    ASSERT_FALSE(ext->empty());
    for (const auto& e : *ext) {
        EXPECT_NE(e.mftNumber, a);  // the base record itself is not an extension
        EXPECT_EQ(e.startSector, v.Sector(e.mftNumber));
    }
    CNTFSMultiFileRecord multi(rec.data(), 1024, v.Sector(a), v.device.get(), ext.get());
    // Seven names in all (the file and six hard links), most in extension records.
    std::set<std::string> names;
    bool sawExtension = false;
    for (int i = 0; i < 7; ++i) {
        std::uint32_t offset = 0;
        std::int64_t sector = -1;
        const std::uint8_t* fn = multi.FindAttibute(0x30, i, &offset, &sector);
        ASSERT_NE(fn, nullptr) << i;
        sawExtension |= sector != v.Sector(a);
        names.insert(NTFSUtf16ToUtf8(CNTFSFileRecordFileNameAttribute::GetFileName(fn),
                                     CNTFSFileRecordFileNameAttribute::GetNameLength(fn)));
    }
    EXPECT_TRUE(sawExtension);
    EXPECT_EQ(names.size(), 7u);
    EXPECT_EQ(multi.FindAttibute(0x30, 7, nullptr, nullptr), nullptr);
    // The fragmented file's runs: many, all inside the volume.
    std::unique_ptr<CNTFSFileProperties> p(
        CNTFSFilePropertiesBuilder::BuildFileProperties(v.Sector(a), multi, 4096, nullptr));
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->GetFileSize(), 300 * 4096);
    IDataRunList* runs = p->GetDataRunList();
    ASSERT_NE(runs, nullptr);
    int count = 0;
    for (DataRun* r = runs->GetFirst(); r != nullptr; r = runs->GetNext()) ++count;
    runs->Release();
    EXPECT_GT(count, 50);
}

TEST(NTFSRealImage, NamesSystemRecordsAndIndexBlocks) {
    RealVolume v(Fixture("ntfs_basic.img"));
    // A CJK name survives the UTF-16 to UTF-8 conversion.
    EXPECT_GE(v.FindByName("文档.txt"), 0);
    // System records are recognised by name and hidden + system bits.
    for (std::int64_t n : {0, 1, 2, 3, 4, 6, 10}) {
        auto rec = v.Record(n);
        CNTFSFileRecord r(rec.data(), 1024, 1);
        EXPECT_EQ(CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(r), static_cast<std::uint32_t>(n));
        EXPECT_TRUE(CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(r)) << n;
        EXPECT_TRUE(CIsMetaFileRecord::IsMetaFileRecord(rec.data(), 1024)) << n;
    }
    {
        auto rec = v.Record(2);
        CNTFSFileRecord r(rec.data(), 1024, 1);
        EXPECT_TRUE(CMetaFileRecordTypeAnalyzer::IsValidLogFileRecord(r));
        EXPECT_FALSE(CMetaFileRecordTypeAnalyzer::IsValidMFTFileRecord(r));
        CLogFileInfo log;
        EXPECT_TRUE(log.InitFromBuffer(r, v.Sector(2)));
        EXPECT_EQ(log.GetSectorsPerCluster(), 8);
        CMFTInfo* mft = nullptr;
        auto rec0 = v.Record(0);
        CNTFSFileRecord r0(rec0.data(), 1024, 1);
        mft = CMFTInfo::Build(r0, v.Sector(0));
        ASSERT_NE(mft, nullptr);
        EXPECT_EQ(mft->GetSectorsPerCluster(), 8);
        EXPECT_EQ(mft->GetFirstClusterNO(), v.mftRuns.GetLCN(0));
        delete mft;
        auto rec6 = v.Record(6);
        CNTFSFileRecord r6(rec6.data(), 1024, 1);
        CBitmapFileInfo bitmap;
        EXPECT_TRUE(bitmap.InitFromBuffer(r6, v.Sector(6)));
        EXPECT_EQ(bitmap.GetFileSize(), (16 * 1024 * 1024 / 4096 + 7) / 8);
    }
    // A user file is not a system record.
    const std::int64_t keep = v.FindByName("keep.txt");
    ASSERT_GE(keep, 0);
    auto user = v.Record(keep);
    CNTFSFileRecord ur(user.data(), 1024, 1);
    EXPECT_EQ(CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(ur), CMetaFileRecordTypeAnalyzer::kNotMeta);
    EXPECT_FALSE(CIsMetaFileRecord::IsMetaFileRecord(user.data(), 1024));

    // The folder Many/ spills into an index allocation whose blocks are INDX
    // records naming it as their parent.
    const std::int64_t many = v.FindByName("Many");
    ASSERT_GE(many, 0);
    auto folder = v.Record(many);
    CNTFSFileRecord fr(folder.data(), 1024, 1);
    EXPECT_TRUE(CFolderFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(fr));
    CFolderIndexAllocationInfo info;
    EXPECT_TRUE(info.InitFromBuffer(folder.data(), 1024, v.Sector(many)));
    EXPECT_EQ(info.GetMFTFileRecordNumber(), many);
    EXPECT_EQ(info.GetSectorsPerCluster(), 8u);
    const std::int64_t lcn = info.GetFirstClusterNO();
    ASSERT_GT(lcn, 0);
    std::vector<std::uint8_t> block(v.device->Bytes().begin() + lcn * 4096,
                                    v.device->Bytes().begin() + lcn * 4096 + 4096);
    const auto blockCopy = block;
    EXPECT_TRUE(CIndexRecord::IsValid(block.data(), 4096));
    EXPECT_EQ(block, blockCopy);
    EXPECT_EQ(CIndexRecord::GetParentFileReference(block.data(), 4096), many);
    // The root folder's own record: its index root names folder 5, not kept.
    auto root = v.Record(5);
    CFolderIndexAllocationInfo rootInfo;
    EXPECT_FALSE(rootInfo.InitFromBuffer(root.data(), 1024, v.Sector(5)));
}
