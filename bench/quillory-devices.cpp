// Prints the device list as the engine sees it: each disk, the volumes a user
// can pick on it (the kernel's volumes and the partitions converted because
// no volume covers them), and the partitions of its table.
//
//   quillory-devices [--only NAME[,NAME...]] [--sysfs DIR] [--dev DIR] [--mountinfo FILE] [--verbose]
//
// --only limits the list (and every device opened) to the named disks.
// Standard output holds the table only: the engine's log lines, open failures
// of devices this user may not read among them, go to the log file, or to
// standard error as well with --verbose.
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/Log.h"
#include "foundation/Types.h"
#include "storage/DeviceEnum.h"

namespace {

FILE* g_table = stdout;

std::string Text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

const char* FsName(uint32_t type) {
    const char* name = FileSystemTypeName(type);
    return name ? name : "-";
}

const char* SchemeName(uint32_t scheme) {
    switch (scheme) {
    case 1:
        return "MBR";
    case 2:
        return "GPT";
    case 3:
        return "APM";
    default:
        return "none";
    }
}

const char* BusName(uint32_t bus) {
    switch (bus) {
    case 1:
        return "ATA";
    case 2:
        return "SATA";
    case 3:
        return "SCSI";
    case 4:
        return "USB";
    case 5:
        return "virtual";
    default:
        return "other";
    }
}

std::string Size(int64_t bytes) {
    const char* units[] = {"B", "K", "M", "G", "T", "P"};
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof(buf), u ? "%.1f%s" : "%.0f%s", v, units[u]);
    return buf;
}

std::string Guid(const uint8_t* g) {
    static const uint8_t zero[16] = {};
    if (std::memcmp(g, zero, 16) == 0) return "";
    char buf[40];
    std::snprintf(buf, sizeof(buf), "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", g[3], g[2],
                  g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
    return buf;
}

void Row(const std::string& name, const std::string& kind, const std::string& no, int64_t start, int64_t sectors,
         int64_t sectorSize, const std::string& fs, const std::string& mounted, const std::string& detail) {
    std::fprintf(g_table, "%-16s %-12s %4s %10lld %12lld %6lld %9s %-7s %-7s %s\n", name.c_str(), kind.c_str(),
                 no.c_str(), static_cast<long long>(start), static_cast<long long>(sectors),
                 static_cast<long long>(sectorSize), Size(sectors * sectorSize).c_str(), fs.c_str(), mounted.c_str(),
                 detail.c_str());
}

std::vector<IStorageDevice*> Fetch(int& count, const std::function<EngineResult(IStorageDevice**, int&)>& call) {
    count = 0;
    if (IsEngineFailure(call(nullptr, count)) || count <= 0) return {};
    std::vector<IStorageDevice*> out(static_cast<size_t>(count));
    if (IsEngineFailure(call(out.data(), count))) return {};
    out.resize(static_cast<size_t>(count));
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    EnumDeviceConfig config;
    std::set<std::string> only;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", arg.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--only") {
            std::stringstream ss(value());
            std::string n;
            while (std::getline(ss, n, ','))
                if (!n.empty()) only.insert(n);
        } else if (arg == "--sysfs") {
            config.sysfsRoot = value();
        } else if (arg == "--dev") {
            config.devDir = value();
        } else if (arg == "--mountinfo") {
            config.mountinfoPath = value();
        } else if (arg == "--verbose") {
            verbose = true;
        } else {
            std::fprintf(stderr,
                         "usage: %s [--only NAME[,NAME...]] [--sysfs DIR] [--dev DIR] [--mountinfo FILE] [--verbose]\n",
                         argv[0]);
            return 2;
        }
    }
    if (!only.empty()) config.acceptDisk = [only](const std::string& n) { return only.count(n) != 0; };

    CatchExeception::SetConsoleEcho(verbose);
    // The results own standard output: the log's console copy (with
    // --verbose) and the engine's diagnostics go to standard error, or to
    // the log file alone.
    CatchExeception::SetConsoleStream(stderr);
    SetDiagnosticSink(verbose ? DiagnosticSink::StandardError : DiagnosticSink::LogFile);
    CEnumDeviceEx enumerator(config);
    EngineResult r = enumerator.Init();
    if (IsEngineFailure(r)) {
        std::fprintf(stderr, "no disk found (0x%016llx)\n", static_cast<unsigned long long>(r));
        return 1;
    }
    std::fprintf(g_table, "\n%-16s %-12s %4s %10s %12s %6s %9s %-7s %-7s %s\n", "NAME", "KIND", "NO", "START",
                 "SECTORS", "SSIZE", "SIZE", "FS", "MOUNTED", "NAME / LABEL / TYPE");
    int count = 0;
    for (IStorageDevice* disk :
         Fetch(count, [&](IStorageDevice**out, int&c) { return enumerator.EnumDiskDevice(out, c); })) {
        const CCollectDiskDeviceInfoStruct* d = DiskInfoOf(disk);
        if (!d) continue;
        char devno[32];
        std::snprintf(devno, sizeof(devno), "dev 0x%x", static_cast<unsigned>(d->deviceNumber));
        Row(Text(d->bsdName, sizeof(d->bsdName)), "disk", "", 0, d->totalSectors, d->sectorSize,
            SchemeName(d->partitionScheme), disk->IsPermitted() ? "" : "denied",
            Text(d->mediaName, sizeof(d->mediaName)) + " (" + BusName(d->busType) + ", " + devno +
                (d->writable ? "" : ", read-only") + ")");

        auto volumes =
            Fetch(count, [&](IStorageDevice** out, int& c) { return enumerator.EnumVolumeDevice(disk, out, c); });
        auto partitions =
            Fetch(count, [&](IStorageDevice** out, int& c) { return enumerator.EnumPartitionDevice(disk, out, c); });
        size_t rows = volumes.size() + partitions.size(), row = 0;
        for (IStorageDevice* v : volumes) {
            const CCollectedVolumeDeviceInfoStruct* info = VolumeInfoOf(v);
            if (!info) continue;
            const bool converted = info->bsdName[0] == 0;
            std::string name = converted ? "(partition)" : Text(info->bsdName, sizeof(info->bsdName));
            std::string detail =
                converted ? Text(info->label, sizeof(info->label)) : Text(info->volumeName, sizeof(info->volumeName));
            if (info->mounted) {
                char devno[32];
                std::snprintf(devno, sizeof(devno), " (dev 0x%x)", static_cast<unsigned>(info->deviceNumber));
                detail += devno;
            }
            std::string type = info->apmType[0] ? Text(info->apmType, sizeof(info->apmType)) : Guid(info->typeGuid);
            if (!type.empty()) detail += "  [" + type + "]";
            Row(std::string(++row == rows ? "`-" : "|-") + name, converted ? "part-as-vol" : "volume",
                std::to_string(info->partitionNumber), info->startSector, info->totalSectors, info->sectorSize,
                FsName(info->fileSystemType), info->mounted ? "yes" : "no", detail);
        }
        for (IStorageDevice* p : partitions) {
            const CCollectedPartitionDeviceInfoStruct* info = PartitionInfoOf(p);
            if (!info) continue;
            std::string detail = Text(info->label, sizeof(info->label));
            std::string type = info->apmType[0] ? Text(info->apmType, sizeof(info->apmType)) : Guid(info->typeGuid);
            if (!type.empty()) detail += "  [" + type + "]";
            Row(std::string(++row == rows ? "`-" : "|-") + "(table)", "partition",
                std::to_string(info->partitionNumber), info->startSector, info->sectorCount, info->sectorSize,
                FsName(info->fileSystemType), "", detail);
        }
    }
    enumerator.Uninit();
    return 0;
}
