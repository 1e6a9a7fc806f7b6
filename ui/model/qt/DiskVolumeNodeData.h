#pragma once
// One row of the device list: a disk, an opened image or a volume, copied
// from the device list's record when it is made.

#include <QString>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "model/DiskVolumeData.h"

class DiskVolumeNodeData {
public:
    explicit DiskVolumeNodeData(const _DiskVolumeData& record);

    // Disk rows with their volume rows, in the list's order.
    static std::vector<std::unique_ptr<DiskVolumeNodeData>> MakeRows(const std::list<_DiskVolumeData>& records);

    // The name as UTF-8; "Unknown" when it is not valid UTF-8, the
    // "untitled" text when it is empty.
    const QString& name() const { return m_name; }
    // "/dev/NAME" of a disk or volume; empty for an image or a refused name.
    const QString& diskPath() const { return m_diskPath; }
    // The file of an opened image; empty for a disk or volume.
    const QString& imagePath() const { return m_imagePath; }
    std::uint64_t capacity() const { return m_capacity; }
    std::uint64_t used() const { return m_used; }
    int diskIndex() const { return m_diskIndex; }
    int volumeIndex() const { return m_volumeIndex; }
    int fileSystem() const { return m_fileSystem; }
    std::uint32_t isDmg() const { return m_isDmg; }
    std::uint32_t isSSD() const { return m_isSSD; }
    std::uint32_t isUSB() const { return m_isUSB; }
    std::uint32_t beCanOpen() const { return m_beCanOpen; }
    std::uint32_t isQvx() const { return m_isQvx; }
    std::uint32_t isAppleDmg() const { return m_isAppleDmg; }
    std::uint32_t isVolumeDmg() const { return m_isVolumeDmg; }
    std::uint32_t isSystemVolume() const { return m_isSystemVolume; }
    const QString& parentName() const { return m_parentName; }
    void setParentName(const QString& name) { m_parentName = name; }
    void setIsVolumeDmg(std::uint32_t flag) { m_isVolumeDmg = flag; }
    void setIsSystemVolume(std::uint32_t flag) { m_isSystemVolume = flag; }

    void setSubNode(std::vector<std::unique_ptr<DiskVolumeNodeData>> children) { m_children = std::move(children); }
    DiskVolumeNodeData* childAtIndex(std::size_t index) const {
        return index < m_children.size() ? m_children[index].get() : nullptr;
    }
    std::size_t numberOfChildren() const { return m_children.size(); }

private:
    QString m_name;
    QString m_diskPath;
    QString m_imagePath;
    std::uint64_t m_capacity = 0;
    std::uint64_t m_used = 0;
    int m_diskIndex = -1;
    int m_volumeIndex = -1;
    int m_fileSystem = -1;
    std::uint32_t m_isDmg = 0;
    std::uint32_t m_isSSD = 0;
    std::uint32_t m_isUSB = 0;
    std::uint32_t m_beCanOpen = 1;
    std::uint32_t m_isQvx = 0;
    std::uint32_t m_isAppleDmg = 0;
    std::uint32_t m_isVolumeDmg = 0;
    std::uint32_t m_isSystemVolume = 0;
    QString m_parentName;
    std::vector<std::unique_ptr<DiskVolumeNodeData>> m_children;
};
