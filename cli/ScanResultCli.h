// Saving a finished scan of quillory-scan to a scan-result file, and the
// device record that lets --restore check it is given the same source.
#pragma once

#include <string>
#include <vector>

#include "model/ScanResultFile.h"

class IFilesystemNode;
class IRecoveryController;
class IStorageDevice;
class IDataRecovery;

// The source as a scan-result file records it: its size and name, and the
// image's own record for a DMG or QVX image.
scanresult::StoredDevice SourceRecord(IStorageDevice* device, const std::string& source);

class ScanResultSaver {
public:
    ScanResultSaver(std::string file, bool deep) : m_file(std::move(file)), m_deep(deep) {}
    ~ScanResultSaver();
    ScanResultSaver(const ScanResultSaver&) = delete;
    ScanResultSaver& operator=(const ScanResultSaver&) = delete;

    // The volume roots one controller run showed. The saver keeps the
    // controller (its builders own the nodes) and releases it.
    void Add(IRecoveryController* controller, const std::vector<IFilesystemNode*>& roots);
    // Writes the file: 0, or 1 after a message on standard error.
    int Save(IStorageDevice* source, const std::string& sourcePath);

private:
    std::string m_file;
    bool m_deep;
    std::vector<IRecoveryController*> m_controllers;
    std::vector<IDataRecovery*> m_writers;
    std::vector<scanresult::VolumeToSave> m_volumes;
};
