// Directory entries and long names: validity, short and long names, the
// joining of long-name groups and the directory-sector test.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fat/FATFileNode.h"
#include "fat/FATStructures.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> buf(data, data + size);
    for (std::size_t off = 0; off + 32 <= buf.size(); off += 32) {
        CTempFATDirEntry e(buf.data() + off);
        (void)e.IsValidFATDirEntry(false);
        (void)e.IsValidFATDirEntry(true);
        std::string s = e.GetShortName(false) + e.GetShortName(true);
        char piece[FAT_LFN_PIECE_UTF8_MAX];
        e.GetLongFileName(piece, sizeof piece);
        char tiny[3];
        e.GetLongFileName(tiny, sizeof tiny);
        (void)CTempFATDirEntry::IsValidLongFileName(piece);
        (void)e.GetFirstClusterNO();
        CFATFileProperties* p =
            CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(buf.data() + off, buf.size() - off);
        if (p) {
            if (std::strlen(p->GetFileName()) != static_cast<std::size_t>(p->GetFileNameLength())) __builtin_trap();
            CFATFileProperties::Destory(p);
        }
    }
    std::vector<std::uint8_t> sector(512, 0);
    if (!buf.empty()) std::memcpy(sector.data(), buf.data(), buf.size() < 512 ? buf.size() : 512);
    CFATFolderAnalyser a(512);
    (void)a.AnalyseSector(sector.data());
    return 0;
}
