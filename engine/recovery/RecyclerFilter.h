// Windows recycle-bin content: which nodes belong to a recycle bin, and the
// former name of a recycled entry read back from its "$I" index file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "foundation/FileNode.h"

class IStorageDevice;

class CRecyclerFilter {
public:
    // Reads up to `size` bytes from the start of a node's data into buffer and
    // returns the count read (0 or less on failure). cluster0Sector is where
    // run start 0 lies on the device.
    using IndexFileReader =
        std::function<int64_t(IStorageDevice* device, CFileNode* node, int64_t cluster0Sector, int sectorsPerCluster,
                              _tagSearcherType type, char* buffer, uint32_t size)>;

    // 1 for a folder named like a recycle bin (any case).
    static int IsRecycleBinSigleNode(CFileNode* node);
    // 1 when the node or one of its ancestors is a recycle-bin folder.
    static int IsRecycleBin(CFileNode* node);
    // 1 for an index file: "$I..." or "#I...".
    static int IsRecoverNode(CFileNode* node);
    // 1 for a recycled entry: "$R..." or "#R...", except names within "$RmMetadata$Reparse$Repair".
    static int IsRecoverNodeEx(CFileNode* node);

    // Gives `entry` the file name recorded in `indexFile`; leaves it unchanged
    // when the index file cannot be read or holds no drive path.
    static void RestorFileName(IStorageDevice* device, CFileNode* entry, CFileNode* indexFile, int64_t startSector,
                               int sectorsPerCluster, _tagSearcherType type);

    // The file name of a Windows recycle-bin index file (the text after the
    // last backslash of its "X:\..." path), or "" when there is none.
    static std::string NameFromIndexData(const char* data, size_t size);

    // UTF-16LE to UTF-8; bytes written, or (size_t)-1 when no converter opens.
    static size_t UTF162UTF8(char* in, size_t inBytes, char* out, size_t outBytes);

    // The reader of index files. The default follows the node's data runs on
    // the device; file systems whose small files live inside their metadata
    // records install their own.
    static void SetIndexFileReader(IndexFileReader reader);
    static void ResetIndexFileReader();
    static int64_t ReadByDataRuns(IStorageDevice* device, CFileNode* node, int64_t cluster0Sector,
                                  int sectorsPerCluster, _tagSearcherType type, char* buffer, uint32_t size);
};
