#pragma once
// Shared helpers of the front end's model layer. Functions marked [Qt] are
// defined in quillory_model_qt (they need the text lookup, the settings, the
// event loop or the network); the rest are plain C++ in quillory_model.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "foundation/FileNode.h"
#include "recovery/RecoveryFilter.h"

class IFilesystemNode;

// 100 ns units since 1601-01-01, as the engine's nodes keep times.
using FILETIME_VALUE = std::int64_t;

class QXUIPublic {
public:
    // [Qt] Posts the named notification on the main thread; never waits.
    static void NotifyMainThread(const std::string& name);
    // [Qt] True for a null or empty needle; false for a null text or a text
    // that is not valid UTF-8; else whether the text holds the needle,
    // ignoring case.
    static bool IsStringInString(const char* needle, const char* text);
    // [Qt] See NameMatcher (model/qt/NameMatcher.h).
    static bool IsStringInFileNode(const char* needle, IFileNode* node);
    // [Qt] Long date and short time in the user's locale.
    static std::string FormatFileTimeToString(FILETIME_VALUE time);

    static std::string GetPathByFileNode(IFileNode* node);
    static std::string GetFileSystemStrByType(int searcherType);
};

class QXCPPPublic {
public:
    static IFilesystemNode* GetFileSystemNode(IFileNode* node);
    static int GetNodeSearcheType(IFileNode* node);
    static void GetYearMonthByTimeT(int* year, int* month, std::time_t time);
    static void GetYearMonthByFileTime(int* year, int* month, FILETIME_VALUE time);
    // [Qt] The localised title of one type bit; "" for anything else.
    static std::string FilterTypeToString(unsigned type);
    // [Qt] The first type bit whose title equals the text; 64 otherwise.
    static unsigned StringToFilterType(const char* text);
    // [Qt]
    static bool IsTypeString(const char* text, unsigned type);
    static bool IsStringInFileNode(const char* needle, IFileNode* node) {
        return QXUIPublic::IsStringInFileNode(needle, node);
    }
};

class QXPublicUtilities {
public:
    static std::string longlongDiskSize(std::int64_t bytes);
    static std::string longlongConvertVolSpace(std::int64_t bytes);
    static std::string fileSystemTypeForInt(int type, int isDmg, int isQvx);
    // Answers a fixed 10.15.0: the windows gate features on the macOS-style
    // number (>= 1007), which a Linux kernel version would never meet.
    static void getSystemVersionMajor(unsigned* major, unsigned* minor, unsigned* bugFix);
    static int getSystemVersion();
    // [Qt] From the private-data store.
    static std::string getProductName();
    static std::string getUpDataTimeStr();
    static bool writeUpDataTimeStr(const std::string& text);
    // [Qt] Whether a request to the check address brings any data within
    // 5 s. Blocks the calling thread.
    static bool isCanBeUseNetWork();
    // [Qt] The address asked; empty restores the built-in one.
    static void SetNetworkCheckAddress(const std::string& url);
};

std::int64_t convertWindowsTimeToUnixTime(FILETIME_VALUE time);

// UTF-8 to the C library's wide characters (32-bit on Linux); iconv's
// result, or -1 when the converter cannot be opened.
std::int64_t UTF82WCHAR(const char* in, std::size_t inBytes, char* out, std::size_t outBytes);
bool isValidString(const char* text);
// The folder of the executable, or where the front end pointed it.
std::string GetAppWorkPathString();

// [Qt] True while another Quillory holds the instance lock of this user.
// The first call takes the lock for the life of the process.
bool IsAppRunning();

// Owner of the engine's file-type filter. The filter's category lists must
// be set (CFileTypeManager::Initialze) before the first call of instance().
class QXUIFilter {
public:
    static QXUIFilter& instance();
    IRecoveryFilter* GetFilter() const { return m_filter; }
    void ResetFilter(unsigned mask);
    // A filter of the caller's (not owned); for tests.
    void SetFilterForTest(IRecoveryFilter* filter) { m_filter = filter; }

private:
    QXUIFilter();
    ~QXUIFilter();
    IRecoveryFilter* m_filter = nullptr;
};
