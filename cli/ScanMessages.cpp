#include "ScanMessages.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr std::int64_t kSmallestSector = 512;

// What a path of a type other than a file or a block device is, for the
// message that refuses it.
const char* KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

std::string NotADisk(const std::string& source, mode_t mode) {
    return source + " is " + KindOf(mode) + ", not a disk or an image";
}

std::string CannotRead(const std::string& source, int err) {
    if (err == ENOENT) return source + ": no such file or device";
    if (err == EACCES || err == EPERM)
        return "cannot read " + source + ": " + std::strerror(err) + " (reading a disk usually needs root)";
    return "cannot open " + source + ": " + std::strerror(err);
}

}  // namespace

std::string RefuseSource(const std::string& source) {
    struct stat st {};
    if (stat(source.c_str(), &st) != 0) return CannotRead(source, errno);
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) return NotADisk(source, st.st_mode);
    // O_NONBLOCK: should the path have become a FIFO since stat, the open
    // still returns at once, and the type check below refuses it.
    const int fd = open(source.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return CannotRead(source, errno);
    std::string why;
    std::int64_t bytes = 0;
    if (fstat(fd, &st) != 0) {
        why = CannotRead(source, errno);
    } else if (S_ISBLK(st.st_mode)) {
        std::uint64_t size = 0;
        if (ioctl(fd, BLKGETSIZE64, &size) == 0) bytes = static_cast<std::int64_t>(size);
    } else if (S_ISREG(st.st_mode)) {
        bytes = st.st_size;
    } else {
        why = NotADisk(source, st.st_mode);
    }
    close(fd);
    if (why.empty() && bytes < kSmallestSector)
        why = source + " holds " + std::to_string(bytes) + " bytes, less than one sector (512 bytes)";
    return why;
}

std::string PrepareRecoveryFolder(const std::string& dir) {
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::string();
        return dir + " exists and is not a folder";
    }
    if (errno != ENOENT) return "cannot use " + dir + ": " + std::strerror(errno);
    // Each missing folder of the path in turn, from the top, as mkdir -p.
    for (std::size_t at = 1;; ++at) {
        at = dir.find('/', at);
        const std::string folder = dir.substr(0, at);
        if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            return "cannot make " + folder + ": " + std::strerror(errno);
        if (at == std::string::npos) break;
    }
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "cannot make " + dir + " a folder";
    return std::string();
}

namespace {

struct ResultWords {
    std::uint8_t module;
    std::uint32_t error;
    const char* words;
};

// Keyed by module and error number: the source line in bits 47-32 only says
// where the engine gave up.
const ResultWords kResultWords[] = {
    {ENGINE_MODULE_SCAN, 0x401, "the volume's file system has no quick scan"},
    {ENGINE_MODULE_SCAN, 0x402, "none of the chosen deep searchers is available"},
    {ENGINE_MODULE_SCAN, 0x404, "a whole disk is quick-scanned volume by volume"},
    {ENGINE_MODULE_SCAN, 0x004, "out of memory for the folder tree"},
    {ENGINE_MODULE_SCAN, 0x001, "the scan could not be set up"},
    {ENGINE_MODULE_SCAN, 0x403, "the scan could not be set up"},
    {ENGINE_MODULE_SCAN, 0x005, "the scan could not be set up"},
    {ENGINE_MODULE_FAT_SEARCH, 0x001, "the FAT root folder cannot be read"},
    {ENGINE_MODULE_FAT_SEARCH, 0x002, "the FAT volume has no partition record"},
    {ENGINE_MODULE_FAT_SEARCH, 0x003, "not a FAT volume"},
    {ENGINE_MODULE_FAT_SEARCH, 0x004, "out of memory"},
    {ENGINE_MODULE_FAT_SEARCH, 0x007, "the FAT volume's records are missing"},
    {ENGINE_MODULE_FAT_SEARCH, 0x00C, "no valid FAT16 or FAT32 boot sector"},
    {ENGINE_MODULE_FAT_SEARCH, 0x00D, "the scan was stopped"},
    {ENGINE_MODULE_FAT_SEARCH, 0x2003, "the exFAT boot sector cannot be read"},
    {ENGINE_MODULE_FAT_SEARCH, 0x2004, "no valid exFAT boot sector"},
    {ENGINE_MODULE_FAT_SEARCH, 0x2005, "the exFAT allocation table cannot be read"},
    {ENGINE_MODULE_FAT_SEARCH, 0x2007, "the exFAT root folder cannot be read"},
    {ENGINE_MODULE_FAT_SEARCH, 0x2008, "out of memory"},
    {ENGINE_MODULE_NTFS_QUICK, 0x010, "no valid NTFS boot sector"},
    {ENGINE_MODULE_NTFS_QUICK, 0x011,
     "the NTFS master file table cannot be located (its own record and its mirror are damaged)"},
    {ENGINE_MODULE_HFSPLUS, 0x004, "out of memory"},
    {ENGINE_MODULE_HFSPLUS, 0x005, "no HFS+ volume header"},
    {ENGINE_MODULE_HFSPLUS, 0x006, "HFS+ data of an unexpected shape"},
    {ENGINE_MODULE_HFSPLUS, 0x00D, "the scan was stopped"},
    {ENGINE_MODULE_HFSPLUS, 0x00E, "a read ended short (the source may be cut off)"},
    {ENGINE_MODULE_HFSPLUS, 0x501, "an HFS+ structure is damaged or cannot be read"},
};

const char* ModuleName(std::uint8_t module) {
    switch (module) {
    case ENGINE_MODULE_SCAN:
        return "the scan controller";
    case ENGINE_MODULE_HFSPLUS:
        return "the HFS+ scan";
    case ENGINE_MODULE_FAT_SEARCH:
        return "the FAT scan";
    case ENGINE_MODULE_FILE_WRITER:
        return "the file writer";
    case ENGINE_MODULE_STORAGE:
        return "reading the source";
    case ENGINE_MODULE_PARTITION_TABLE:
        return "reading the partition table";
    case ENGINE_MODULE_NTFS_QUICK:
        return "the NTFS scan";
    default:
        return "the engine";
    }
}

}  // namespace

std::string DescribeResult(EngineResult result) {
    const std::uint8_t module = EngineResultModule(result);
    const std::uint32_t error = EngineResultError(result);
    std::string words;
    for (const ResultWords& w : kResultWords)
        if (w.module == module && w.error == error) words = w.words;
    if (words.empty()) {
        char number[32];
        std::snprintf(number, sizeof number, "%#x", static_cast<unsigned>(error));
        words = std::string(ModuleName(module)) + " failed with error " + number;
    }
    char code[40];
    std::snprintf(code, sizeof code, " (engine code 0x%016llx)", static_cast<unsigned long long>(result));
    return words + code;
}
