// INDX records, $INDEX_ROOT entries and the $LogFile page tests.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "ntfs/NTFSAttributes.h"
#include "ntfs/NTFSIndexRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 512 || size > 8192) return 0;
    const int n = static_cast<int>(size - size % 512);
    std::vector<std::uint8_t> block(data, data + n);
    const std::vector<std::uint8_t> original = block;
    if (CIndexRecord::IsValid(block.data(), n)) CIndexRecord::GetParentFileReference(block.data(), n);
    if (block != original) __builtin_trap();  // the protection is always put back
    CIndexRecord::CheckIndexEntries(block.data(), n);
    CLogFileAnalyzer::IsValidRSTRRecord(block.data(), n);
    CLogFileAnalyzer::IsValidRestartRecordHeader(block.data(), n);
    if (n >= 4096) {
        CRCRDRecord::IsValid(block.data(), n);
        CRCRDRecord::Unfixup(block.data(), n);
    }
    // The same bytes as an $INDEX_ROOT attribute of exactly their size.
    std::vector<std::uint8_t> attr(data, data + size);
    CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(attr.data(), static_cast<int>(attr.size()));
    return 0;
}
