#include "storage/DeviceData.h"

#include <new>

namespace {

// One holder class per record kind; all behave alike.
template <typename Interface, typename Record>
class CHolderBase : public Interface {
public:
    explicit CHolderBase(Record* info) : m_info(info) {}
    ~CHolderBase() override { delete m_info; }
    CHolderBase(const CHolderBase&) = delete;
    CHolderBase& operator=(const CHolderBase&) = delete;

protected:
    Record* m_info;
};

class CDiskDeviceData final : public CHolderBase<IDiskDeviceData, CCollectDiskDeviceInfoStruct> {
public:
    using CHolderBase::CHolderBase;
    CCollectDiskDeviceInfoStruct* GetDiskInfo() override { return m_info; }
    void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) override { m_info = info; }
};

class CPartitionDeviceData final : public CHolderBase<IPartitionDeviceData, CCollectedPartitionDeviceInfoStruct> {
public:
    using CHolderBase::CHolderBase;
    CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() override { return m_info; }
    void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) override { m_info = info; }
};

class CVolumeDeviceData final : public CHolderBase<IVolumeDeviceData, CCollectedVolumeDeviceInfoStruct> {
public:
    using CHolderBase::CHolderBase;
    CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() override { return m_info; }
    void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) override { m_info = info; }
};

class CDmgDeviceData final : public CHolderBase<IDmgDeviceData, CDMGDeviceInfoStruct> {
public:
    using CHolderBase::CHolderBase;
    CDMGDeviceInfoStruct* GetDMGInfo() override { return m_info; }
    void SetDMGInfo(CDMGDeviceInfoStruct* info) override { m_info = info; }
};

class CQvxDeviceData final : public CHolderBase<IQVXDeviceData, CQVXDeviceInfoStruct> {
public:
    using CHolderBase::CHolderBase;
    CQVXDeviceInfoStruct* GetQVXInfo() override { return m_info; }
    void SetQVXInfo(CQVXDeviceInfoStruct* info) override { m_info = info; }
};

}  // namespace

IDiskDeviceData* CreateDiskDeviceData(CCollectDiskDeviceInfoStruct* info) {
    return new (std::nothrow) CDiskDeviceData(info);
}
IPartitionDeviceData* CreatePartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info) {
    return new (std::nothrow) CPartitionDeviceData(info);
}
IVolumeDeviceData* CreateVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info) {
    return new (std::nothrow) CVolumeDeviceData(info);
}
IDmgDeviceData* CreateDMGDeviceData(CDMGDeviceInfoStruct* info) { return new (std::nothrow) CDmgDeviceData(info); }
IQVXDeviceData* CreateQVXDeviceData(CQVXDeviceInfoStruct* info) { return new (std::nothrow) CQvxDeviceData(info); }

CCollectDiskDeviceInfoStruct* DiskInfoOf(IStorageDevice* device) {
    if (!device) return nullptr;
    auto* holder = dynamic_cast<IDiskDeviceData*>(device->GetPrivateData());
    return holder ? holder->GetDiskInfo() : nullptr;
}
CCollectedPartitionDeviceInfoStruct* PartitionInfoOf(IStorageDevice* device) {
    if (!device) return nullptr;
    auto* holder = dynamic_cast<IPartitionDeviceData*>(device->GetPrivateData());
    return holder ? holder->GetPartitionInfo() : nullptr;
}
CCollectedVolumeDeviceInfoStruct* VolumeInfoOf(IStorageDevice* device) {
    if (!device) return nullptr;
    auto* holder = dynamic_cast<IVolumeDeviceData*>(device->GetPrivateData());
    return holder ? holder->GetVolumeInfo() : nullptr;
}
