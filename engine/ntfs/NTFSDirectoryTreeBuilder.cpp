// Placeholder: the rebuilt partitions get no folder tree yet. The deep
// search still finds and reports them, so their files can be carved by the
// raw search and the partitions listed.
#include "ntfs/NTFSDirectoryTreeBuilder.h"

CNTFSDirectoryTreeBuilder::~CNTFSDirectoryTreeBuilder() = default;

CFileNode* CNTFSDirectoryTreeBuilder::BuildDirectoryTree(CNTFSIntelligentSearchInfo*, CSearchedPartitionInfo*,
                                                         IStorageDevice*, int, IProgress*,
                                                         IDirecotryTreeBuilder*) {
    return nullptr;
}
