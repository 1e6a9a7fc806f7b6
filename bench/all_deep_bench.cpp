// Deep-scan speed of every file-system searcher together (HFS+, exFAT, FAT,
// NTFS and APFS, each examining every block as a real deep scan does) over
// the 2 GiB FAT32 disk image of the FAT benchmark, against pread of the same
// file in 4 MiB chunks. Warm page cache; median of 5 runs of each, side by
// side. Peak RSS is of the whole program (run it under /usr/bin/time -v for
// the figure the operating system keeps).
//
//   bench-all-deep [IMAGE]   (default: fatdeep-2g.img here, made when missing)

#include <sys/stat.h>

#include <string>

#include "DeepBench.h"
#include "foundation/ScanMemory.h"

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    const std::string path = argc > 1 ? argv[1] : "fatdeep-2g.img";
    struct stat st {};
    if (!deepbench::Fat32BenchImage(path, QUILLORY_SOURCE_DIR, st)) return 1;
    ScanControllerFactories& f = deepbench::NoDeepSearchers();
    f.hfsplusDeep = CreateHFSPlusSearcher;
    f.exfatDeep = CreateEXFatSearcher;
    f.fatDeep = CreateFATSearcher;
    f.ntfsDeep = CreateNTFSSearcher;
    f.apfsDeep = CreateAPFSDeepSearcher;
    return deepbench::CompareWithPread(path, SEARCHER_FAT, "all file-system searchers");
}
