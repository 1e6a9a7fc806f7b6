#include "model/qt/DiskVolumeNodeData.h"

#include "model/QXPublic.h"
#include "model/qt/TextLookup.h"
#include "storage/DevicePath.h"

DiskVolumeNodeData::DiskVolumeNodeData(const _DiskVolumeData& record)
    : m_capacity(static_cast<std::uint64_t>(record.capacity)),
      m_used(static_cast<std::uint64_t>(record.used)),
      m_diskIndex(record.diskIndex),
      m_volumeIndex(record.volumeIndex),
      m_fileSystem(record.fileSystem),
      m_isDmg(record.isDmg),
      m_isSSD(record.isSSD),
      m_isUSB(record.isUSB),
      m_beCanOpen(record.beCanOpen),
      m_isQvx(record.isQvx),
      m_isAppleDmg(record.isAppleDmg) {
    if (record.name.empty())
        m_name = L("DEVICE_NAME_UNTITILED");
    else if (!isValidString(record.name.c_str()))
        m_name = QStringLiteral("Unknown");
    else
        m_name = QString::fromStdString(record.name);
    if (record.isQvx || record.isAppleDmg)
        m_imagePath = QString::fromStdString(record.diskPath);
    else if (!record.diskPath.empty())
        m_diskPath = QString::fromStdString(DevicePathOf(record.diskPath.c_str()));
}

std::vector<std::unique_ptr<DiskVolumeNodeData>> DiskVolumeNodeData::MakeRows(
    const std::list<_DiskVolumeData>& records) {
    std::vector<std::unique_ptr<DiskVolumeNodeData>> rows;
    for (const _DiskVolumeData& record : records) {
        auto row = std::make_unique<DiskVolumeNodeData>(record);
        std::vector<std::unique_ptr<DiskVolumeNodeData>> children;
        for (const _DiskVolumeData& volume : record.volumes)
            children.push_back(std::make_unique<DiskVolumeNodeData>(volume));
        row->setSubNode(std::move(children));
        rows.push_back(std::move(row));
    }
    return rows;
}
