#pragma once
// Recognition of the NTFS system records ($MFT ... $Extend, $Quota, $ObjId,
// $Reparse) by the name of their first $FILE_NAME and their hidden + system
// bits.

#include <cstdint>

class CNTFSFileRecord;

struct NTFSMetaFileEntry {
    std::uint32_t mftNumber;
    const wchar_t* name;
};

class CMetaFileRecordTypeAnalyzer {
public:
    static constexpr std::uint32_t kNotMeta = 0xFFFFFFFF;
    // The system-record table, in order.
    static const NTFSMetaFileEntry* GetMetaFileTable(int* count);

    // MFT number whose name the first $FILE_NAME equals, or 0xFFFFFFFF (also
    // for invalid and extension records).
    static std::uint32_t GetMetaFileRecordIndex(const CNTFSFileRecord& record);
    static bool IsValidMetaFileRecord(const CNTFSFileRecord& record);
    static bool IsValidMetaFileRecord(const CNTFSFileRecord& record, const wchar_t* name);
    static bool IsValidMetaFileRecord(std::uint8_t* record1024, const wchar_t* name);

    static bool IsValidVolumeFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$Volume"); }
    static bool IsValidMFTFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$MFT"); }
    static bool IsValidMFTMirrFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$MFTMirr"); }
    static bool IsValidLogFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$LogFile"); }
    static bool IsValidBitmapFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$Bitmap"); }
    static bool IsValidAttrDefFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$AttrDef"); }
    static bool IsValidUpCaseFileRecord(const CNTFSFileRecord& r) { return IsValidMetaFileRecord(r, L"$UpCase"); }
    static bool IsValidVolumeFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$Volume"); }
    static bool IsValidMFTFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$MFT"); }
    static bool IsValidMFTMirrFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$MFTMirr"); }
    static bool IsValidLogFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$LogFile"); }
    static bool IsValidBitmapFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$Bitmap"); }
    static bool IsValidAttrDefFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$AttrDef"); }
    static bool IsValidUpCaseFileRecord(std::uint8_t* b) { return IsValidMetaFileRecord(b, L"$UpCase"); }

private:
    static bool HasHiddenAndSystem(const CNTFSFileRecord& record);
};
