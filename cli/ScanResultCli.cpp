#include "ScanResultCli.h"

#include <cstdio>
#include <cstring>

#include "foundation/SearchedPartitionInfo.h"
#include "foundation/StorageDevice.h"
#include "recovery/DataRecovery.h"
#include "recovery/RecoveryController.h"
#include "storage/DeviceData.h"
#include "storage/DmgDevice.h"
#include "storage/QvxDevice.h"

using namespace scanresult;

StoredDevice SourceRecord(IStorageDevice* device, const std::string& source) {
    StoredDevice stored;
    const std::uint64_t sectorSize = device->GetSectorSize() != 0 ? device->GetSectorSize() : 512;
    stored.size = static_cast<std::uint64_t>(device->GetTotalSectors()) * sectorSize;
    const std::size_t slash = source.rfind('/');
    stored.name = slash == std::string::npos ? source : source.substr(slash + 1);
    IStorageDeviceData* data = device->GetPrivateData();
    if (auto* qvx = dynamic_cast<IQVXDeviceData*>(data); qvx != nullptr && qvx->GetQVXInfo() != nullptr) {
        std::uint8_t raw[kQvxInfoSize];
        SerialiseQvxInfo(*qvx->GetQVXInfo(), raw);
        stored.qvx = true;
        stored.qvxRecord.assign(raw, raw + sizeof raw);
    } else if (auto* dmg = dynamic_cast<IDmgDeviceData*>(data); dmg != nullptr && dmg->GetDMGInfo() != nullptr) {
        std::uint8_t raw[kDmgInfoSize];
        SerialiseDmgInfo(*dmg->GetDMGInfo(), raw);
        stored.dmg = true;
        stored.dmgRecord.assign(raw, raw + sizeof raw);
    }
    return stored;
}

ScanResultSaver::~ScanResultSaver() {
    for (IDataRecovery* writer : m_writers) writer->Release();
    for (IRecoveryController* controller : m_controllers) controller->Release();
}

void ScanResultSaver::Add(IRecoveryController* controller, const std::vector<IFilesystemNode*>& roots) {
    m_controllers.push_back(controller);
    for (IFilesystemNode* root : roots) {
        VolumeToSave volume;
        volume.root = root;
        volume.searcherType = static_cast<std::uint32_t>(root->GetSearcheType());
        const char* name = root->GetVolumeName();
        volume.volumeName = name != nullptr ? name : "";
        // The tag tree's files are read by the raw search's writer.
        const _tagSearcherType type =
            root->GetSearcheType() == SEARCHER_RAW_TAG ? SEARCHER_RAW : root->GetSearcheType();
        IDataRecovery* writer = controller->GetDataRecovery(type);
        if (writer != nullptr) {
            m_writers.push_back(writer);
            if (auto* data = dynamic_cast<CDataRecovery*>(writer))
                for (CSearchedPartitionInfo* p : data->GetSearchedPartition())
                    if (p != nullptr) volume.partitions.push_back(p);
        }
        m_volumes.push_back(std::move(volume));
    }
}

int ScanResultSaver::Save(IStorageDevice* source, const std::string& sourcePath) {
    StoredHead head;
    head.controllerType = m_deep ? RECOVERY_CONTROLLER_DEEP_DISK : RECOVERY_CONTROLLER_QUICK;
    head.deep = m_deep ? 1 : 0;
    head.device = SourceRecord(source, sourcePath);
    const int code = WriteScanResult(m_file.c_str(), head, m_volumes, {});
    if (code != kResultOk) {
        std::fprintf(stderr, "quillory-scan: %s: %s\n", m_file.c_str(), DescribeResult(code, true));
        return 1;
    }
    return 0;
}
