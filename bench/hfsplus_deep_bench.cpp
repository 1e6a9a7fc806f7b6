// HFS+ deep-scan speed: the deep controller with the HFS+ searcher only, over
// a 2 GiB sparse disk image (protective MBR and GPT) holding the prebuilt
// journaled HFS+ volume at sector 409,640 as a lost volume, against pread of
// the same file in 4 MiB chunks. Warm page cache; median of 5 runs of each.
//
//   bench-hfsplus-deep [IMAGE]   (default: hfsplus_deep_bench.img in the
//                                 current folder, made when missing)

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "DeepBench.h"
#include "foundation/ScanMemory.h"

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    const std::string path = argc > 1 ? argv[1] : "hfsplus_deep_bench.img";
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "making %s from the prebuilt HFS+ volume\n", path.c_str());
        const std::string dir = path + ".d";
        const std::string cmd =
            "mkdir -p '" + dir + "' && tar -xJf '" QUILLORY_SOURCE_DIR "/tests/data/hfsplus_journal.img.tar.xz' -C '" +
            dir + "' && truncate -s 2G '" + path + "' && sgdisk -o -a 8 -n 1:409640:442407 -t 1:AF00 '" + path +
            "' >/dev/null && dd if='" + dir + "/hfsplus_journal.img' of='" + path +
            "' bs=512 seek=409640 conv=notrunc,sparse status=none && rm -rf '" + dir + "'";
        if (std::system(cmd.c_str()) != 0 || stat(path.c_str(), &st) != 0) return 1;
    }
    deepbench::NoDeepSearchers().hfsplusDeep = CreateHFSPlusSearcher;
    return deepbench::CompareWithPread(path, SEARCHER_HFSPLUS, "HFS+");
}
