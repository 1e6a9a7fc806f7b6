#include "foundation/Utf8Converter.h"

#include <cerrno>
#include <cctype>
#include <string>
#include <deque>

namespace {

const iconv_t kClosed = reinterpret_cast<iconv_t>(-1);

struct Entry {
    std::string charset;
    iconv_t cd;  // kClosed: iconv does not know the set
    bool busy;
};

// The converters one thread opened, closed when it ends. Few sets turn up in
// practice; past the limit, converters are opened for each use as before.
class ThreadConverters {
public:
    static constexpr std::size_t kLimit = 16;

    ~ThreadConverters() {
        for (Entry& e : m_entries)
            if (e.cd != kClosed) iconv_close(e.cd);
    }
    Entry* Find(const char* charset) {
        for (Entry& e : m_entries)
            if (e.charset == charset) return &e;
        if (m_entries.size() >= kLimit) return nullptr;
        m_entries.push_back(Entry{charset, iconv_open("UTF-8", charset), false});
        return &m_entries.back();
    }

private:
    // A deque, so a converter in use keeps its entry while another set is
    // added.
    std::deque<Entry> m_entries;
};

// Sets such as "UTF-16" or "UCS-4" take their byte order from a mark at the
// start of a string and keep it in the converter. So that no string's order
// can leak into the next, only sets that name their byte order (or have
// none) are kept.
bool KeepsByteOrder(const char* charset) {
    std::string name;
    for (const char* p = charset; *p; ++p) name += static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    for (const char* wide : {"UTF-16", "UTF16", "UTF-32", "UTF32", "UCS-2", "UCS2", "UCS-4", "UCS4", "UNICODE"}) {
        if (name.compare(0, std::char_traits<char>::length(wide), wide) != 0) continue;
        const bool namesOrder = name.size() >= 2 && (name.compare(name.size() - 2, 2, "LE") == 0 ||
                                                     name.compare(name.size() - 2, 2, "BE") == 0);
        return !namesOrder;
    }
    return false;
}

}  // namespace

CUtf8Converter::CUtf8Converter(const char* charset) {
    if (charset == nullptr) return;
    if (!KeepsByteOrder(charset)) {
        thread_local ThreadConverters converters;
        Entry* e = converters.Find(charset);
        if (e != nullptr && !e->busy) {
            m_cd = e->cd;
            if (m_cd == kClosed) return;
            e->busy = true;
            m_busy = &e->busy;
            // Back to the initial shift state, whatever the last string left.
            iconv(m_cd, nullptr, nullptr, nullptr, nullptr);
            return;
        }
    }
    m_cd = iconv_open("UTF-8", charset);
    m_owned = m_cd != kClosed;
}

CUtf8Converter::~CUtf8Converter() {
    if (m_owned) iconv_close(m_cd);
    if (m_busy != nullptr) *m_busy = false;
}

std::size_t CUtf8Converter::Convert(char** in, std::size_t* inLeft, char** out, std::size_t* outLeft) {
    if (!IsOpen()) {
        errno = EBADF;
        return static_cast<std::size_t>(-1);
    }
    return iconv(m_cd, in, inLeft, out, outLeft);
}
