// APFS deep-scan speed: the deep controller with the APFS searcher only, over
// a 2 GiB sparse disk image holding an APFS container (the prebuilt test
// container, live and deleted files), against pread of the same file in
// 4 MiB chunks. Warm page cache; median of 5 runs of each, side by side.
//
//   bench-apfs-deep [IMAGE]   (default: apfs_deep_bench.img in the current
//                              folder, unpacked from tests/data when missing)

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "DeepBench.h"
#include "foundation/ScanMemory.h"

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    const std::string path = argc > 1 ? argv[1] : "apfs_deep_bench.img";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "unpacking the prebuilt APFS container to %s\n", path.c_str());
        const std::string dir = path + ".d";
        const std::string cmd = "mkdir -p '" + dir +
                                "' && tar -xJf '" QUILLORY_SOURCE_DIR "/tests/data/apfs.img.tar.xz' -C '" + dir +
                                "' && mv '" + dir + "/apfs.img' '" + path + "' && rmdir '" + dir + "'";
        if (std::system(cmd.c_str()) != 0 || stat(path.c_str(), &st) != 0) return 1;
    }
    deepbench::NoDeepSearchers().apfsDeep = CreateAPFSDeepSearcher;
    return deepbench::CompareWithPread(path, SEARCHER_APFS, "APFS");
}
