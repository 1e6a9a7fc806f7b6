#pragma once
// NTFS volume services beside the recogniser: the label of a $Volume record,
// and the content of a file's resident unnamed $DATA, which small files keep
// inside their FILE record. Records are read through the device; nothing is
// written.

#include <cstdint>

class CNTFSFileNode;
class CNTFSMultiFileRecord;
class IStorageDevice;

class CVolumeFileAnalyzer {
public:
    // The volume label of a $Volume FILE record (readable or on-disk form) as
    // NUL-terminated UTF-8 in `label` (`labelSize` bytes, cut at a character
    // boundary). False, with `label` untouched, when the record is no valid
    // $Volume record with a $VOLUME_NAME inside its first 1,024 bytes.
    static bool GetLabel(const std::uint8_t* record, char* label, int recordSize, int labelSize);
};

// Sectors read for a FILE record (at most; fewer at the device's end).
constexpr int kResidentRecordSectors = 16;

// The FILE record at `sector`, without extension records; null when it is
// not a valid FILE record. The caller deletes it.
CNTFSMultiFileRecord* GetResidentFileRecord(std::uint64_t sector, IStorageDevice& device);
// The node's FILE record with its extension records; null for a node
// without NTFS properties, a folder, or an invalid record. The caller
// deletes it.
CNTFSMultiFileRecord* GetMultiFileRecord(CNTFSFileNode& node, IStorageDevice& device);
// The first unnamed $DATA attribute across base and extension records;
// `sector` and `offset` (may be null) name the record holding it and its
// place there, `available` the bytes from it to that record's end.
const std::uint8_t* FindMainDataRunsAttribute(CNTFSMultiFileRecord& record, std::int64_t* sector, std::uint32_t* offset,
                                              int* available = nullptr);
// Copies a resident attribute's content; false when it is not resident, does
// not fit `outSize` or does not lie inside the attribute.
bool GetResidentAttributeDatafromAttributeBuffer(const std::uint8_t* attribute, int available, std::uint8_t* out,
                                                 std::uint32_t outSize, std::int64_t* length);
// The node's (or the record's at `recordSector`) resident unnamed $DATA
// content: true with its length when it is resident and fits `outSize`.
bool GetResidentDataRunsStream(CNTFSFileNode& node, IStorageDevice& device, std::int64_t* length, std::uint8_t* out,
                               std::uint32_t outSize);
bool GetResidentDataRunsStream(std::uint64_t recordSector, IStorageDevice& device, std::int64_t* length,
                               std::uint8_t* out, std::uint32_t outSize);
// An attribute's content, resident or in runs: runs are read whole in the
// device's sectors (cluster c at partitionStart + c x sectorsPerCluster,
// holes as zeros) while they fit `outSize`. `length` receives the bytes
// placed, at most the initialised size.
bool GetAttributeDatafromAttributeBuffer(const std::uint8_t* attribute, int available, std::int64_t* length,
                                         std::uint8_t* out, std::uint32_t outSize, std::int64_t partitionStart,
                                         int sectorsPerCluster, IStorageDevice& device);
