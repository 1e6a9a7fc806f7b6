// FAT deep-scan speed (results on standard error; the scan's own diagnostic
// lines go to standard output): the deep controller with the FAT searcher only over a
// 2 GiB disk image holding a FAT32 volume, against pread of the same image in
// 4 MiB chunks and PhotoRec's whole-space search of it. Warm page cache;
// median of 3 runs of the scan and of pread, one PhotoRec run.
//
//   bench-fat-deep [IMAGE]   (default: fatdeep-2g.img here, made when missing)

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "DeepBench.h"
#include "foundation/ScanMemory.h"

using namespace deepbench;

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    std::string path = argc > 1 ? argv[1] : "fatdeep-2g.img";
    struct stat st {};
    if (!Fat32BenchImage(path, QUILLORY_SOURCE_DIR, st)) return 1;
    // PhotoRec runs in a scratch folder: it needs the image's full path.
    if (char* full = realpath(path.c_str(), nullptr)) {
        path = full;
        std::free(full);
    }
    NoDeepSearchers().fatDeep = CreateFATSearcher;

    PreadRun(path);  // warm the page cache
    std::vector<double> preadTimes, deepTimes;
    DeepResult last;
    for (int i = 0; i < 3; ++i) {
        preadTimes.push_back(PreadRun(path));
        last = DeepRun(path, SEARCHER_FAT);
        deepTimes.push_back(last.seconds);
    }

    // PhotoRec, whole space, every file type, into a scratch folder.
    char tmpl[] = "/tmp/fatdeep-photorec-XXXXXX";
    const std::string out = mkdtemp(tmpl);
    const std::string photorec = "cd '" + out + "' && photorec /log /d '" + out + "/rec' /cmd '" + path +
                                 "' partition_none,options,paranoid,fileopt,everything,enable,wholespace,search "
                                 ">/dev/null 2>&1";
    const auto t0 = std::chrono::steady_clock::now();
    const int rc = std::system(photorec.c_str());
    const double photorecSeconds = Seconds(t0);
    std::system(("rm -rf '" + out + "'").c_str());

    const double mib = static_cast<double>(st.st_size) / (1 << 20);
    const double p = Median(preadTimes), d = Median(deepTimes);
    std::fprintf(stderr, "image %.0f MiB; FAT deep scan: %s, %llu nodes shown\n", mib,
                 last.kept ? "partition kept" : "NO PARTITION", static_cast<unsigned long long>(last.nodes));
    std::fprintf(stderr, "pread        %7.3f s  %7.0f MiB/s\n", p, mib / p);
    std::fprintf(stderr, "FAT deep     %7.3f s  %7.0f MiB/s  (%.0f%% of pread)\n", d, mib / d, 100.0 * p / d);
    std::fprintf(stderr, "PhotoRec     %7.3f s  %7.0f MiB/s  (exit %d)\n", photorecSeconds, mib / photorecSeconds, rc);
    std::fprintf(stderr, "peak RSS %.1f MiB\n", PeakRssMiB());
    return 0;
}
