#include "model/QXPublic.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>

#include "foundation/Log.h"
#include "model/RecoveryPaths.h"

std::string QXUIPublic::GetPathByFileNode(IFileNode* node) { return recovery_paths::GetPathByFileNode(node); }

std::string QXUIPublic::GetFileSystemStrByType(int searcherType) {
    return recovery_paths::GetFileSystemStrByType(searcherType);
}

IFilesystemNode* QXCPPPublic::GetFileSystemNode(IFileNode* node) { return recovery_paths::GetFileSystemNode(node); }

int QXCPPPublic::GetNodeSearcheType(IFileNode* node) { return recovery_paths::GetNodeSearcheType(node); }

void QXCPPPublic::GetYearMonthByTimeT(int* year, int* month, std::time_t time) {
    std::tm local{};
    if (localtime_r(&time, &local) == nullptr) local = std::tm{};
    if (year != nullptr) *year = local.tm_year + 1900;
    if (month != nullptr) *month = local.tm_mon + 1;
}

void QXCPPPublic::GetYearMonthByFileTime(int* year, int* month, FILETIME_VALUE time) {
    GetYearMonthByTimeT(year, month, static_cast<std::time_t>(convertWindowsTimeToUnixTime(time)));
}

std::int64_t convertWindowsTimeToUnixTime(FILETIME_VALUE time) { return time / 10000000 - 11644473600LL; }

std::string QXPublicUtilities::longlongDiskSize(std::int64_t bytes) {
    struct Step {
        double limit;
        double unit;
        const char* format;
    };
    static constexpr Step kSteps[] = {
        {1e3, 1, "%.0f byte"}, {1e6, 1e3, "%0.2f KB"}, {1e9, 1e6, "%0.2f MB"}, {1e12, 1e9, "%0.2f GB"}};
    const double value = static_cast<double>(bytes);
    const char* format = "%0.2f TB";
    double unit = 1e12;
    for (const Step& step : kSteps) {
        if (value < step.limit) {
            format = step.format;
            unit = step.unit;
            break;
        }
    }
    char text[64];
    // The quotient is taken in single precision, as the texts always were.
    std::snprintf(text, sizeof text, format, static_cast<double>(static_cast<float>(value / unit)));
    return text;
}

std::string QXPublicUtilities::longlongConvertVolSpace(std::int64_t bytes) { return longlongDiskSize(bytes); }

std::string QXPublicUtilities::fileSystemTypeForInt(int type, int isDmg, int) {
    static const char* const kNames[] = {"FAT12", "FAT16", "FAT32", "NTFS", "EXT2",   "EXT3",
                                         "RAW",   "EXFAT", "HFS+",  "APFS", "Unknown"};
    if (isDmg != 0) return "Disk Image";
    if (type >= 0 && type < static_cast<int>(sizeof kNames / sizeof kNames[0])) return kNames[type];
    return "Disk";
}

void QXPublicUtilities::getSystemVersionMajor(unsigned* major, unsigned* minor, unsigned* bugFix) {
    if (major != nullptr) *major = 10;
    if (minor != nullptr) *minor = 15;
    if (bugFix != nullptr) *bugFix = 0;
}

int QXPublicUtilities::getSystemVersion() {
    unsigned major = 0, minor = 0;
    getSystemVersionMajor(&major, &minor, nullptr);
    return static_cast<int>(major * 100 + minor);
}

std::int64_t UTF82WCHAR(const char* in, std::size_t inBytes, char* out, std::size_t outBytes) {
    if (in == nullptr || out == nullptr) return -1;
    // glibc has no "UCS-4-INTERNAL"; its wide characters are what callers want.
    iconv_t cd = iconv_open("WCHAR_T", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) return -1;
    char* source = const_cast<char*>(in);
    const std::size_t result = iconv(cd, &source, &inBytes, &out, &outBytes);
    iconv_close(cd);
    return result == static_cast<std::size_t>(-1) ? -1 : static_cast<std::int64_t>(result);
}

bool isValidString(const char* text) {
    if (text == nullptr) return false;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned c = *p;
        int follow;
        std::uint32_t code;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            follow = 1;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            follow = 2;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            follow = 3;
            code = c & 0x07;
        } else {
            return false;
        }
        ++p;
        for (int i = 0; i < follow; ++i, ++p) {
            if ((*p & 0xC0) != 0x80) return false;
            code = (code << 6) | (*p & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
        if ((follow == 2 && code < 0x800) || (follow == 3 && code < 0x10000) || code > 0x10FFFF ||
            (code >= 0xD800 && code <= 0xDFFF))
            return false;
    }
    return true;
}

std::string GetAppWorkPathString() { return GetAppWorkPath(); }

QXUIFilter& QXUIFilter::instance() {
    static QXUIFilter filter;
    return filter;
}

QXUIFilter::QXUIFilter() : m_filter(CreateFilter()) {}

QXUIFilter::~QXUIFilter() {
    if (m_filter != nullptr) m_filter->Release();
}

void QXUIFilter::ResetFilter(unsigned mask) {
    if (m_filter == nullptr) m_filter = CreateFilter();
    if (m_filter != nullptr) m_filter->SetFilterTypes(mask);
}
