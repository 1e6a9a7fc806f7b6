// FILE-record parser with its attribute walk, the properties builder over a
// base record and extension records read from an in-memory device.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "foundation/StorageDevice.h"
#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSDeepSearchRecords.h"
#include "ntfs/NTFSFileNode.h"
#include "ntfs/NTFSFileRecord.h"
#include "ntfs/NTFSMetaFileRecordType.h"
#include "ntfs/NTFSMultiFileRecord.h"

namespace {

// The input doubles as the device: records named by an attribute list are
// read from it.
class BytesDevice : public IStorageDevice {
public:
    BytesDevice(const std::uint8_t* data, std::size_t size) : m_bytes(data, data + size) {
        m_bytes.resize((m_bytes.size() + 511) / 512 * 512);
    }
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void* buffer, std::int64_t first, std::int64_t count) override {
        if (first < 0 || count < 0 || first + count > GetTotalSectors()) return 0;
        std::memcpy(buffer, m_bytes.data() + first * 512, static_cast<std::size_t>(count) * 512);
        return 1;
    }
    std::uint32_t GetSectorSize() override { return 512; }
    std::int64_t GetTotalSectors() override { return static_cast<std::int64_t>(m_bytes.size() / 512); }
    int IOCtl(std::uint64_t, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return nullptr; }
    void SetPrivateData(IStorageDeviceData* d) override { delete d; }
    int GetType() override { return STORAGE_DEVICE_VOLUME; }
    EngineResult GetLastError() override { return 0; }

private:
    std::vector<std::uint8_t> m_bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1024) return 0;
    // Exactly one record: anything the parser reads past it is a finding.
    std::vector<std::uint8_t> rec(data, data + 1024);
    const std::vector<std::uint8_t> original = rec;
    const bool valid = CNTFSFileRecord::IsValid(rec.data(), 1024);
    if (rec != original) __builtin_trap();  // the test must leave the buffer as it was
    CNTFSDBR::IsFullValidDBR(rec.data());
    if (!valid) return 0;
    {
        CNTFSFileRecord r(rec.data(), 1024, 0);
        CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(r);
        CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(r);
        CNTFSDataRunList runs;
        std::int64_t real = 0;
        CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(r, runs, 1, &real);
        std::uint8_t spc = 0;
        CNTFSFileRecordAnalyzer::GetSectorsPerClusterfrom0x80(r, spc);
        std::unique_ptr<CMFTInfo> mft(CMFTInfo::Build(r, 0));
        CBitmapFileInfo().InitFromBuffer(r, 0);
        CCommonFileRecordInfo().InitFromBuffer(r, 0);
    }
    if (rec != original) __builtin_trap();
    CFolderIndexAllocationInfo().InitFromBuffer(rec.data(), 1024, 0);

    BytesDevice device(data, size);
    CNTFSDataRunList mftRuns;
    mftRuns.AddDataRun(CDataRun{0, 0, static_cast<std::int64_t>(size / 512 + 8)});
    std::unique_ptr<ExtendFileRecordInfoList> ext(
        CNTFSMultiFileRecord::InitExtendFileRecord(rec.data(), 1024, 0, 1, 0, device, &mftRuns, 2));
    CNTFSMultiFileRecord multi(rec.data(), 1024, 0, &device, ext.get());
    std::int64_t parent = -1;
    std::unique_ptr<CNTFSFileProperties> props(
        CNTFSFilePropertiesBuilder::BuildFileProperties(0, multi, 4096, &parent));
    if (props) {
        props->SetExtendFileRecordInfoList(ext.release());
        CNTFSFileNode* node = CreateNTFSFileNode();
        node->SetFileProperties(props.release());
        IFileNode* clone = node->Clone();
        node->Release();
        if (clone) {
            (void)std::strlen(clone->GetFileName());
            clone->Release();
        }
    }
    for (int i = 0; i < 4; ++i) multi.FindAttibute(0x80, i, nullptr, nullptr);
    return 0;
}
