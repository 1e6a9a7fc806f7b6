#include "ntfs/NTFSMetaFileRecordType.h"

#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSFileRecord.h"

namespace {

const NTFSMetaFileEntry kMetaFiles[] = {
    {0, L"$MFT"},     {1, L"$MFTMirr"}, {2, L"$LogFile"}, {3, L"$Volume"},  {4, L"$AttrDef"},
    {5, L"."},        {6, L"$Bitmap"},  {7, L"$Boot"},    {8, L"$BadClus"}, {9, L"$Secure"},
    {10, L"$UpCase"}, {11, L"$Extend"}, {32, L"$Quota"},  {33, L"$ObjId"},  {34, L"$Reparse"},
};

// The first $FILE_NAME, already checked by the record's attribute test.
const std::uint8_t* FirstFileName(const CNTFSFileRecord& record) {
    if (!record.IsValid()) return nullptr;
    return record.FindAttibute(ntfslayout::kAttrFileName, 0);
}

}  // namespace

const NTFSMetaFileEntry* CMetaFileRecordTypeAnalyzer::GetMetaFileTable(int* count) {
    if (count) *count = static_cast<int>(sizeof(kMetaFiles) / sizeof(kMetaFiles[0]));
    return kMetaFiles;
}

bool CMetaFileRecordTypeAnalyzer::HasHiddenAndSystem(const CNTFSFileRecord& record) {
    const std::uint32_t offset =
        CNTFSFileRecord::GetAttributeOffset(record.GetBuffer(), ntfslayout::kAttrStandardInformation, 0);
    if (offset == CNTFSFileRecord::kNotFound) return false;
    const std::uint8_t* si = record.GetBuffer() + offset;
    const int length = static_cast<int>(CNTFSFileRecordAttribute::GetLength(si));
    if (length > record.GetSize() - static_cast<int>(offset)) return false;
    if (!CNTFSFileRecordStandardInformationAttribute::IsValid(si, length)) return false;
    return (CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(si) & 0x06) == 0x06;
}

std::uint32_t CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(const CNTFSFileRecord& record) {
    if (!record.IsValid() || record.IsExtendFileRecord()) return kNotMeta;
    const std::uint8_t* fn = FirstFileName(record);
    if (fn == nullptr) return kNotMeta;
    for (const NTFSMetaFileEntry& e : kMetaFiles)
        if (CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, e.name)) return e.mftNumber;
    return kNotMeta;
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(const CNTFSFileRecord& record) {
    return GetMetaFileRecordIndex(record) != kNotMeta && HasHiddenAndSystem(record);
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(const CNTFSFileRecord& record, const wchar_t* name) {
    if (!record.IsValid() || !HasHiddenAndSystem(record)) return false;
    const std::uint8_t* fn = FirstFileName(record);
    return fn != nullptr && CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, name);
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(std::uint8_t* buffer, const wchar_t* name) {
    if (buffer == nullptr) return false;
    CNTFSFileRecord record(buffer, CNTFSFileRecord::kRecordBytes, 1);
    return IsValidMetaFileRecord(record, name);
}
