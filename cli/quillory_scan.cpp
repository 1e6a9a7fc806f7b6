// quillory-scan: the command-line scan and recovery tool.
//
//   quillory-scan [--quick | --deep] [--recover DIR [--all]] [--searchers LIST]
//                 [--verbose] [--save FILE] [--] SOURCE
//   quillory-scan --restore FILE [--recover DIR [--all]] [--verbose] [--] SOURCE
//
// SOURCE (an image file or a block device) is opened as a disk; its volumes
// come from its partition table, or the whole source is one volume. --quick
// (the default) quick-scans every volume of a supported file system (APFS
// volumes are named and left to --deep) and prints one line per found file:
//   deleted|existing <TAB> size <TAB> path from the tree root
// then "scanned B bytes in S s (R MiB/s): F files, D deleted".
// --deep reads every sector of the whole source (a disk, or a DMG or QVX
// image) through the deep searchers and prints the files of every tree they
// build, in the same form; --searchers LIST (comma-separated: ntfs, fat,
// exfat, hfsplus, apfs, raw) keeps only those searchers, for benchmarks.
// --recover DIR (made when missing) copies every deleted file found (with
// --all, every file found, existing ones listed too) to DIR under its tree
// path through the file writer, and prints "recovered W files to DIR, F failed".
// --save FILE writes the finished scan's result to the scan-result file FILE;
// --restore FILE reads one back against SOURCE (the source it was saved
// from), lists its files as a scan does (then "restored F files, D deleted
// from FILE") and, with --recover, copies them. A damaged FILE exits 1.
// The engine's log lines go to its log file only, or to standard error as
// well with --verbose. Errors go to standard error; the exit status is 0 only
// when everything asked for was done, 1 otherwise; bad usage exits 2.
// cli/quillory-scan.1 is the manual page; keep the two, and README.md, alike.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "foundation/DirectoryTree.h"
#include "foundation/FileNode.h"
#include "foundation/Log.h"
#include "foundation/ScanMemory.h"
#include "foundation/Types.h"
#include "foundation/Progress.h"
#include "foundation/VolumeAnalyze.h"
#include "recovery/CompleteRecoveryController.h"
#include "recovery/ControllerSeams.h"
#include "recovery/DirectoryTreeBuilder.h"
#include "recovery/FileReader.h"
#include "recovery/RecoveryController.h"
#include "recovery/RecoveryFilter.h"
#include "storage/SourceVolumes.h"

#include "ScanMessages.h"
#include "ScanRecovery.h"
#include "ScanResultCli.h"
#include "model/ScanResultFile.h"

namespace {

// The listing goes to the standard output the driver was started with; the
// engine's log lines and stray diagnostics never mix with it (they go to the
// log, or to standard error with --verbose).
FILE* g_results = stdout;

const char kUsage[] =
    "usage: quillory-scan [--quick | --deep] [--recover DIR [--all]] [--searchers LIST]\n"
    "                     [--verbose] [--save FILE] [--] SOURCE\n"
    "       quillory-scan --restore FILE [--recover DIR [--all]] [--verbose] [--] SOURCE\n";

const char kHelp[] =
    "Lists the deleted files of SOURCE (a disk image or a block device) and copies\n"
    "them to a folder. It never writes to SOURCE.\n"
    "\n"
    "  --quick           quick-scan each volume's file-system records (default);\n"
    "                    APFS volumes are found by --deep only\n"
    "  --deep            read every sector of SOURCE and rebuild lost volumes\n"
    "  --searchers LIST  with --deep, only these searchers (comma-separated:\n"
    "                    ntfs, fat, exfat, hfsplus, apfs, raw)\n"
    "  --recover DIR     copy the deleted files found under DIR (made if missing)\n"
    "  --all             with --recover, list and copy existing files too\n"
    "  --save FILE       write the scan's result to the scan-result file FILE\n"
    "  --restore FILE    list (and with --recover copy) the files of the result\n"
    "                    saved in FILE, reading them from SOURCE, without scanning\n"
    "  --verbose         show the engine's log lines on standard error\n"
    "  -h, --help        show this help and exit\n"
    "  --                end of options\n"
    "\n"
    "Each found file is one line: deleted|existing, size in bytes, path (tab-\n"
    "separated), then 'scanned B bytes in S s (R MiB/s): F files, D deleted'.\n"
    "Exit status: 0 when everything asked for was done; 1 when SOURCE cannot be\n"
    "read, a volume could not be scanned (the others still are) or a file could\n"
    "not be recovered; 2 on bad usage.\n";

int Usage(const char* why) {
    if (why) std::fprintf(stderr, "quillory-scan: %s\n", why);
    std::fputs(kUsage, stderr);
    return 2;
}

int Fail(const std::string& why) {
    std::fprintf(stderr, "quillory-scan: %s\n", why.c_str());
    return 1;
}

struct Progress : IProgress {
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
};

struct Sink : IDrirectoryTree {
    void ShowNodes(IFileNode** nodes, unsigned count, int) override {
        for (unsigned i = 0; i < count; ++i) shown.push_back(nodes[i]);
    }
    void ShowFilesystemNode(IFilesystemNode* root) override { roots.push_back(root); }
    std::vector<IFileNode*> shown;
    std::vector<IFilesystemNode*> roots;
};

bool Supported(std::uint32_t type) {
    return type == FILE_SYSTEM_FAT16 || type == FILE_SYSTEM_FAT32 || type == FILE_SYSTEM_NTFS ||
           type == FILE_SYSTEM_EXFAT || type == FILE_SYSTEM_HFSPLUS;
}

const char* FileSystemName(std::uint32_t type) {
    const char* name = FileSystemTypeName(type);
    return name ? name : "unknown";
}

// A volume of the source as messages name it: "disk.img partition 2 (NTFS at
// sector 2048)", or "disk.img (FAT32 volume)" without a partition table.
std::string VolumeName(const std::string& source, const SourceVolume& v, std::uint32_t type) {
    if (v.index < 0) return source + " (" + FileSystemName(type) + " volume)";
    return source + " partition " + std::to_string(v.index) + " (" + FileSystemName(type) + " at sector " +
           std::to_string(v.startSector) + ")";
}

// Prints the files a scan showed and adds them to the totals.
void PrintFiles(const std::vector<IFileNode*>& shown, std::int64_t& files, std::int64_t& deleted) {
    for (IFileNode* n : shown) {
        if (n->IsDirectory()) continue;
        ++files;
        if (n->IsDeleted()) ++deleted;
        std::fprintf(g_results, "%s\t%lld\t%s\n", n->IsDeleted() ? "deleted" : "existing",
                     static_cast<long long>(n->GetFileSize()), PathOf(n).c_str());
    }
}

// Keeps the deep searchers named in `list`; false on an unknown name.
bool SelectSearchers(const std::string& list) {
    ScanControllerFactories& f = GetScanControllerFactories();
    std::set<std::string> names;
    for (std::size_t at = 0; at <= list.size();) {
        std::size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        names.insert(list.substr(at, end - at));
        at = end + 1;
    }
    static const char* const known[] = {"ntfs", "fat", "exfat", "hfsplus", "apfs", "raw"};
    // An empty name (from "", "ntfs," or ",,") is no searcher: refused too.
    for (const std::string& n : names) {
        bool ok = false;
        for (const char* k : known) ok = ok || n == k;
        if (!ok) return false;
    }
    if (!names.count("ntfs")) f.ntfsDeep = nullptr;
    if (!names.count("fat")) f.fatDeep = nullptr;
    if (!names.count("exfat")) f.exfatDeep = nullptr;
    if (!names.count("hfsplus")) f.hfsplusDeep = nullptr;
    if (!names.count("apfs")) f.apfsDeep = nullptr;
    if (!names.count("raw")) f.rawDeep = nullptr;
    return true;
}

// The deep scan of the whole source: 0, or 1 after an error.
int DeepScan(IStorageDevice* device, const std::string& source, bool recover, bool all, const std::string& dir,
             ScanResultSaver* saver) {
    const std::int64_t ss = device->GetSectorSize() ? device->GetSectorSize() : 512;
    const auto started = std::chrono::steady_clock::now();
    CRecoveryFilter filter;
    filter.SetScanType(SCAN_TYPE_DEEP);
    filter.SetFilterTypes(FILTER_ALL);
    Sink sink;
    Progress progress;
    IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_DEEP_DISK);
    controller->Initialize(&filter);
    const EngineResult r = controller->StartDataRecovery(device, &progress, &sink);
    if (IsEngineFailure(r)) {
        std::fprintf(stderr, "quillory-scan: %s: deep scan failed: %s\n", source.c_str(), DescribeResult(r).c_str());
        controller->Release();
        return 1;
    }
    std::int64_t files = 0, deleted = 0, written = 0, failed = 0;
    PrintFiles(sink.shown, files, deleted);
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::int64_t bytes = device->GetTotalSectors() * ss;
    std::fprintf(g_results, "scanned %lld bytes in %.3f s (%.1f MiB/s): %lld files, %lld deleted\n",
                 static_cast<long long>(bytes), secs,
                 secs > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / secs : 0.0, static_cast<long long>(files),
                 static_cast<long long>(deleted));
    std::set<std::string> used;
    if (recover) {
        RecoverFiles(controller, sink.shown, all, dir, used, written, failed);
        std::fprintf(g_results, "recovered %lld files to %s, %lld failed\n", static_cast<long long>(written),
                     dir.c_str(), static_cast<long long>(failed));
    }
    if (saver != nullptr) {
        saver->Add(controller, sink.roots);
        return saver->Save(device, source) == 0 && failed == 0 ? 0 : 1;
    }
    controller->Release();
    return failed == 0 ? 0 : 1;
}

// --restore: the result saved in `file` replayed against the source through
// the controller of the saved scan, listed and recovered as a scan's.
int RestoreScan(const std::string& file, const SourceDevice& opened, const std::string& source, bool recover,
                bool all, const std::string& dir) {
    using namespace scanresult;
    CRSData rs(RSMODE_READ);
    StoredHead head;
    if (const int code = OpenScanResult(file.c_str(), rs, head); code != kResultOk)
        return Fail(file + ": " + DescribeResult(code, false));
    const StoredDevice live = SourceRecord(opened.device.get(), source);
    if (live.size != head.device.size)
        return Fail(file + " was saved from a source of " + std::to_string(head.device.size) + " bytes; " + source +
                    " has " + std::to_string(live.size));
    ScanResultReplay replay(&rs, CaptionMatcher(head.device.dmg));
    std::int64_t files = 0, deleted = 0, written = 0, failed = 0;
    std::set<std::string> used;
    auto run = [&](IStorageDevice* device, _RECOVERY_CONTROLLER_TYPE type) {
        CRecoveryFilter filter;
        filter.SetScanType(type == RECOVERY_CONTROLLER_QUICK ? SCAN_TYPE_QUICK : SCAN_TYPE_DEEP);
        filter.SetFilterTypes(FILTER_ALL);
        // What was saved is shown, existing files included.
        filter.SetIncludeExisting(true);
        Sink sink;
        Progress progress;
        IRecoveryController* controller = CreateRecoveryController(type);
        controller->m_pRestoreScanSink = &replay;
        controller->Initialize(&filter);
        controller->StartDataRecovery(device, &progress, &sink);
        controller->m_pRestoreScanSink = nullptr;
        PrintFiles(sink.shown, files, deleted);
        if (recover) RecoverFiles(controller, sink.shown, all, dir, used, written, failed);
        controller->Release();
    };
    if (head.deep != 0) {
        run(opened.device.get(), RECOVERY_CONTROLLER_DEEP_DISK);
    } else if (opened.type == STORAGE_DEVICE_DISK) {
        for (const SourceVolume& v : OpenSourceVolumes(opened.device.get(), CreateVolumeAnalyzeController))
            if (v.device && Supported(v.fileSystemType)) run(v.device.get(), RECOVERY_CONTROLLER_QUICK);
    }
    std::fprintf(g_results, "restored %lld files, %lld deleted from %s\n", static_cast<long long>(files),
                 static_cast<long long>(deleted), file.c_str());
    if (recover)
        std::fprintf(g_results, "recovered %lld files to %s, %lld failed\n", static_cast<long long>(written),
                     dir.c_str(), static_cast<long long>(failed));
    if (replay.Damaged())
        return Fail(file + ": " + DescribeResult(kResultNodesDamaged, false) + "; listed what could be read");
    if (replay.MatchedVolumes() == 0) return Fail("no volume stored in " + file + " is on " + source);
    return failed == 0 ? 0 : 1;
}

// Whether two paths name one file (a scan-result file must never be written
// over the source).
bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

}  // namespace

int main(int argc, char** argv) {
    TuneAllocatorForScanning();
    bool deep = false;
    bool recover = false;
    bool all = false;
    bool verbose = false;
    bool searchersGiven = false;
    bool optionsEnded = false;
    std::string recoverDir;
    std::string source;
    std::string searchers;
    std::string saveFile, restoreFile;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            if (!source.empty()) return Usage("only one SOURCE");
            source = a;
            if (source.empty()) return Usage("SOURCE is empty");
        } else if (a == "--") {
            optionsEnded = true;
        } else if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs(kHelp, stdout);
            return 0;
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--quick") {
            deep = false;
        } else if (a == "--deep") {
            deep = true;
        } else if (a == "--recover") {
            if (++i >= argc) return Usage("--recover needs a folder");
            recover = true;
            recoverDir = argv[i];
        } else if (a == "--save") {
            if (++i >= argc || *argv[i] == '\0') return Usage("--save needs a file");
            saveFile = argv[i];
        } else if (a == "--restore") {
            if (++i >= argc || *argv[i] == '\0') return Usage("--restore needs a file");
            restoreFile = argv[i];
        } else if (a == "--all") {
            all = true;
        } else if (a == "--searchers") {
            if (++i >= argc) return Usage("--searchers needs a list");
            searchers = argv[i];
            searchersGiven = true;
        } else {
            return Usage(("unknown option " + a).c_str());
        }
    }
    if (source.empty()) return Usage("no SOURCE");
    CatchExeception::SetConsoleEcho(verbose);
    // The results own standard output: the log's console copy (with
    // --verbose) and the engine's diagnostics go to standard error, or to
    // the log file alone.
    CatchExeception::SetConsoleStream(stderr);
    SetDiagnosticSink(verbose ? DiagnosticSink::StandardError : DiagnosticSink::LogFile);
    // The tree builder pauses a second after announcing each tree's root, so
    // that a front end's views take the root before its first batch. This
    // driver prints when the scan has ended: nothing here needs the pause.
    GetTreeBuilderTiming().sleepSeconds = [](unsigned) {};
    if (searchersGiven && !deep) return Usage("--searchers goes with --deep");
    if (searchersGiven && !SelectSearchers(searchers))
        return Usage("--searchers takes a comma-separated list of ntfs, fat, exfat, hfsplus, apfs, raw");
    if (all && !recover) return Usage("--all goes with --recover");
    if (recover && recoverDir.empty()) return Usage("--recover needs a folder");
    if (!restoreFile.empty() && (!saveFile.empty() || searchersGiven))
        return Usage("--restore goes with neither --save nor --searchers");
    if (!saveFile.empty() && SameFile(saveFile, source)) return Fail("--save would write over " + source);
    // A path that is no disk or image is refused before anything opens it:
    // a FIFO without a writer would block the open for ever.
    if (const std::string why = RefuseSource(source); !why.empty()) return Fail(why);
    if (recover) {
        while (recoverDir.size() > 1 && recoverDir.back() == '/') recoverDir.pop_back();
        if (!RecoveryFolderAllowed(source, recoverDir)) return 1;
        if (const std::string why = PrepareRecoveryFolder(recoverDir); !why.empty()) return Fail(why);
    }
    // DMG and QVX images, known by their content, are their own devices
    // without volumes.
    const SourceDevice opened = OpenSource(source);
    if (!opened.device) return Fail(opened.error);
    if (!restoreFile.empty()) return RestoreScan(restoreFile, opened, source, recover, all, recoverDir);
    std::unique_ptr<ScanResultSaver> saver;
    if (!saveFile.empty()) saver = std::make_unique<ScanResultSaver>(saveFile, deep);
    if (deep) return DeepScan(opened.device.get(), source, recover, all, recoverDir, saver.get());
    if (opened.type != STORAGE_DEVICE_DISK) {
        std::fprintf(stderr,
                     "quillory-scan: %s is a %s image: it has no volumes and is deep-scanned only; "
                     "--quick does not apply\n",
                     source.c_str(), opened.type == STORAGE_DEVICE_QVX ? "QVX" : "DMG");
        return 1;
    }
    const std::vector<SourceVolume> volumes = OpenSourceVolumes(opened.device.get(), CreateVolumeAnalyzeController);

    const auto started = std::chrono::steady_clock::now();
    std::int64_t bytes = 0, files = 0, deleted = 0, written = 0, failed = 0;
    std::set<std::string> used;
    bool any = false;
    int volumesFailed = 0;
    std::vector<std::string> apfs;
    for (const SourceVolume& v : volumes) {
        const std::uint32_t type = v.fileSystemType;
        // There is no quick scan of APFS: its volumes are rebuilt by --deep.
        if (type == FILE_SYSTEM_APFS) apfs.push_back(VolumeName(source, v, type));
        if (!Supported(type)) continue;
        any = true;
        if (!v.device) {
            std::fprintf(stderr, "quillory-scan: %s cannot be opened: %s\n", VolumeName(source, v, type).c_str(),
                         v.error.c_str());
            ++volumesFailed;
            continue;
        }

        CRecoveryFilter filter;
        filter.SetScanType(SCAN_TYPE_QUICK);
        // With --all the existing files are listed and recovered as well.
        filter.SetIncludeExisting(all);
        Sink sink;
        Progress progress;
        IRecoveryController* controller = CreateRecoveryController(RECOVERY_CONTROLLER_QUICK);
        controller->Initialize(&filter);
        const EngineResult r = controller->StartDataRecovery(v.device.get(), &progress, &sink);
        if (IsEngineFailure(r)) {
            std::fprintf(stderr, "quillory-scan: %s: scan failed: %s\n", VolumeName(source, v, type).c_str(),
                         DescribeResult(r).c_str());
            ++volumesFailed;
        }
        bytes += v.sectorCount * v.sectorSize;
        PrintFiles(sink.shown, files, deleted);
        if (recover) RecoverFiles(controller, sink.shown, all, recoverDir, used, written, failed);
        if (saver)
            saver->Add(controller, sink.roots);
        else
            controller->Release();
    }
    for (const std::string& name : apfs)
        std::fprintf(stderr, "quillory-scan: %s: APFS volumes are found by --deep; the quick scan leaves them\n",
                     name.c_str());
    if (!any) {
        if (!apfs.empty()) return Fail("nothing to quick-scan on " + source + ": run quillory-scan --deep " + source);
        return Fail(source + " has no volume of a supported file system");
    }
    const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::fprintf(g_results, "scanned %lld bytes in %.3f s (%.1f MiB/s): %lld files, %lld deleted\n",
                 static_cast<long long>(bytes), secs,
                 secs > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / secs : 0.0, static_cast<long long>(files),
                 static_cast<long long>(deleted));
    if (recover)
        std::fprintf(g_results, "recovered %lld files to %s, %lld failed\n", static_cast<long long>(written),
                     recoverDir.c_str(), static_cast<long long>(failed));
    if (volumesFailed > 0)
        std::fprintf(stderr, "quillory-scan: %d of the volumes of %s could not be scanned\n", volumesFailed,
                     source.c_str());
    const int saved = saver ? saver->Save(opened.device.get(), source) : 0;
    return failed == 0 && volumesFailed == 0 && saved == 0 ? 0 : 1;
}
