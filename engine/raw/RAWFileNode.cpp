#include "raw/RAWFileNode.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <new>

#include <sys/mman.h>

#include "foundation/DataRun.h"
#include "raw/RawFileAnalyser.h"
#include "raw/RawSearchState.h"

namespace {

// 1601-01-01 to 1970-01-01 in 100-ns units.
constexpr std::int64_t kFileTimeOf1970 = 116444736000000000LL;

// Length of the UTF-8 sequence at s[i], or 0 when it is malformed
// (overlong forms, surrogates and code points above U+10FFFF included).
std::size_t Utf8SequenceAt(const std::string& s, std::size_t i) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = b(i);
    if (c == 0) return 0;
    if (c < 0x80) return 1;
    std::size_t n;
    std::uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2, cp = c & 0x1F;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, cp = c & 0x0F;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, cp = c & 0x07;
    else
        return 0;
    if (s.size() - i < n) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

// Length of the longest prefix of a valid UTF-8 string of at most `max`
// bytes that ends on a character boundary.
std::size_t CutLength(const std::string& s, std::size_t max) {
    if (s.size() <= max) return s.size();
    std::size_t n = max;
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
    return n;
}

std::string CutAtBoundary(const std::string& s, std::size_t max) { return s.substr(0, CutLength(s, max)); }

std::int64_t MkTimeToFileTime(const int v[6]) {
    // Converted on the real year with a 64-bit time_t: shifting the date to
    // a later year to dodge a 32-bit limit puts it a day off whenever the
    // shifted span holds another number of leap days, and applies that
    // year's daylight-saving rules.
    std::tm tm{};
    tm.tm_year = v[0] - 1900;
    tm.tm_mon = v[1] - 1;
    tm.tm_mday = v[2];
    tm.tm_hour = v[3];
    tm.tm_min = v[4];
    tm.tm_sec = v[5];
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1) && !(tm.tm_year == 69 && tm.tm_mon == 11 && tm.tm_mday == 31)) return 0;
    const std::int64_t ft = static_cast<std::int64_t>(t) * 10000000LL + kFileTimeOf1970;
    return ft > 0 ? ft : 0;
}

// mktime looks at the time zone files again on every call, which costs more
// than the rest of a node's making; files of one camera or one album carry
// few distinct times. The conversions are remembered per thread for the
// current TZ and forgotten when TZ changes.
std::int64_t LocalTimeToFileTime(const int v[6]) {
    struct Entry {
        int v[6];
        std::int64_t fileTime;
        bool used;
    };
    struct Cache {
        bool tzSet = false;
        std::string tz;
        Entry entries[64] = {};
    };
    thread_local Cache cache;
    const char* tz = std::getenv("TZ");
    if ((tz != nullptr) != cache.tzSet || (tz != nullptr && cache.tz != tz)) {
        cache.tzSet = tz != nullptr;
        cache.tz = tz != nullptr ? tz : "";
        for (Entry& e : cache.entries) e.used = false;
    }
    std::uint32_t h = 0;
    for (int i = 0; i < 6; ++i) h = h * 61u + static_cast<std::uint32_t>(v[i]);
    Entry& e = cache.entries[(h ^ (h >> 7)) % 64];
    if (e.used && std::memcmp(e.v, v, sizeof e.v) == 0) return e.fileTime;
    std::memcpy(e.v, v, sizeof e.v);
    e.fileTime = MkTimeToFileTime(v);
    e.used = true;
    return e.fileTime;
}

#if defined(__SANITIZE_ADDRESS__)
#define QUILLORY_RAW_NODE_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLORY_RAW_NODE_POOL 0
#endif
#endif
#ifndef QUILLORY_RAW_NODE_POOL
#define QUILLORY_RAW_NODE_POOL 1
#endif

// Objects of one size carved from 2 MiB chunks, freed ones kept for reuse.
// Chunks are never given back: a later scan reuses them. Nodes may be
// released on another thread than the one that made them, hence the lock.
// Under the address sanitizer every object is a heap object of its own, so
// that use after release is still caught.
class FixedPool {
public:
    explicit FixedPool(std::size_t size) : m_size((size + 15) / 16 * 16) {}

    void* Allocate() {
#if QUILLORY_RAW_NODE_POOL
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_free != nullptr) {
            void* p = m_free;
            m_free = *static_cast<void**>(p);
            return p;
        }
        if (m_left < m_size) {
            constexpr std::size_t kChunk = 2u << 20;
            void* chunk = std::aligned_alloc(kChunk, kChunk);
            if (chunk == nullptr) throw std::bad_alloc();
            madvise(chunk, kChunk, MADV_HUGEPAGE);
            m_next = static_cast<std::uint8_t*>(chunk);
            m_left = kChunk;
        }
        void* p = m_next;
        m_next += m_size;
        m_left -= m_size;
        return p;
#else
        return ::operator new(m_size);
#endif
    }

    void Free(void* p) noexcept {
#if QUILLORY_RAW_NODE_POOL
        std::lock_guard<std::mutex> lock(m_mutex);
        *static_cast<void**>(p) = m_free;
        m_free = p;
#else
        ::operator delete(p);
#endif
    }

private:
    std::size_t m_size;
    std::mutex m_mutex;
    void* m_free = nullptr;
    std::uint8_t* m_next = nullptr;
    std::size_t m_left = 0;
};

// Made once and never destroyed: trees may release their nodes while
// statics are being torn down.
FixedPool& NodePool() {
    static FixedPool* pool = new FixedPool(sizeof(CRAWFileNode));
    return *pool;
}

FixedPool& PropertiesPool() {
    static FixedPool* pool = new FixedPool(sizeof(CRAWFileProperties));
    return *pool;
}

}  // namespace

void* CRAWFileNode::operator new(std::size_t size) {
    return size == sizeof(CRAWFileNode) ? NodePool().Allocate() : ::operator new(size);
}

void CRAWFileNode::operator delete(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (size == sizeof(CRAWFileNode))
        NodePool().Free(p);
    else
        ::operator delete(p);
}

void* CRAWFileProperties::operator new(std::size_t size) {
    return size == sizeof(CRAWFileProperties) ? PropertiesPool().Allocate() : ::operator new(size);
}

void CRAWFileProperties::operator delete(void* p, std::size_t size) noexcept {
    if (p == nullptr) return;
    if (size == sizeof(CRAWFileProperties))
        PropertiesPool().Free(p);
    else
        ::operator delete(p);
}

bool IsValidUtf8Name(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = Utf8SequenceAt(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

int CRAWFileProperties::InitRawFileProperties(CRawFileInfo& record, std::uint32_t sectorSize, IDataRunList* runs) {
    m_size = record.m_size;
    SetRawFileTime(record.m_rawFileTime);
    m_runStart = record.m_startSector;
    m_runLength = 0;
    if (m_size > 0) {
        // Runs count in device sectors, like their start.
        const std::int64_t unit = sectorSize ? sectorSize : 512;
        m_runLength = m_size / unit + (m_size % unit ? 1 : 0);
    }
    if (!m_owned) m_runs = runs;
    if (runs != nullptr && m_runLength > 0) {
        DataRun run{m_runStart, m_runLength};
        runs->AddDataRun(&run);
    }
    return 1;
}

IDataRunList* CRAWFileProperties::GetDataRunList() { return m_owned ? m_owner->GetDataRunList() : m_runs; }

std::string CRAWFileProperties::GetRawFileTime() const {
    if (!m_rawFileTime) return std::string();
    std::size_t length;
    std::memcpy(&length, m_rawFileTime.get(), sizeof length);
    return std::string(m_rawFileTime.get() + sizeof length, length);
}

void CRAWFileProperties::SetRawFileName(const char* name) {
    if (name == nullptr) return;
    m_name = name;
    if (m_name.size() > kRawNameMax) m_name.resize(kRawNameMax);
    SetNameLength();
}

void CRAWFileProperties::SetRawFileTime(const std::string& time) {
    m_fileTime = CRAWFileNode::RawTimeToFileTime(time);
    m_rawFileTime.reset();
    if (time.empty()) return;
    const std::size_t length = time.size();
    m_rawFileTime.reset(new char[sizeof length + length]);
    std::memcpy(m_rawFileTime.get(), &length, sizeof length);
    std::memcpy(m_rawFileTime.get() + sizeof length, time.data(), length);
}

IDataRunList* CRAWFileNode::LoadDataRunList() const {
    if (m_runsLoaded || !m_made) return m_dataRunList;
    m_runsLoaded = true;
    // Only the decoded runs are filled in; the node itself stays as it was.
    auto* self = const_cast<CRAWFileNode*>(this);
    self->m_dataRunList = CreateDataRunList();
    if (m_dataRunList != nullptr && m_properties.m_runLength > 0) {
        DataRun run{m_properties.m_runStart, m_properties.m_runLength};
        m_dataRunList->AddDataRun(&run);
    }
    return m_dataRunList;
}

int CRAWFileNode::Initilaize(CRawFileInfo* record, unsigned attribute, std::int64_t parentId, std::int64_t nodeId) {
    if (record == nullptr) return 0;
    // The record's name is filtered where it lies (as GetRawFileName does)
    // and read from there, not copied.
    if (!record->m_rawFileName.empty())
        record->m_rawFileName = ApiStrFilterBadFileName(std::move(record->m_rawFileName));
    CRAWFileProperties& props = m_properties;
    if (attribute & kFolder) {
        std::string name = MakeFolderName(record->m_rawFileName);
        if (name.empty()) return 0;
        props.m_name = std::move(name);
    } else {
        // The whole prefix is checked: a NUL inside it makes it unusable
        // rather than cutting it short.
        const std::uint32_t type = record->m_type;
        MakeFileName(props.m_name, m_state ? m_state->NextNameNumber(type) : 0, type, record->m_rawFileName);
    }
    // Both rules keep names within kRawNameMax bytes.
    props.SetNameLength();
    props.InitRawFileProperties(*record, m_state ? m_state->DeviceSectorSize() : 512, nullptr);
    props.SetAttribute(static_cast<std::uint16_t>(attribute));
    // A node made again starts from fresh properties.
    props.m_checkState = props.m_matchState = props.m_state = 0;
    if (m_dataRunList) m_dataRunList->Release();
    m_dataRunList = nullptr;
    m_runsLoaded = false;
    m_made = true;
    m_nodeId = nodeId;
    m_parentNodeId = parentId;
    return 1;
}

void CRAWFileNode::MakeFileName(std::string& out, std::uint32_t counter, unsigned type, const std::string& prefix) {
    const char* ext = g_s_strFileExtName[type < RAW_FILE_TYPE_COUNT ? type : 0];
    // The tail "%03u.%s": at most 10 digits, the dot and an 8-byte extension.
    char tail[24];
    char digits[10];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + counter % 10);
        counter /= 10;
    } while (counter != 0);
    while (n < 3) digits[n++] = '0';
    std::size_t t = 0;
    while (n > 0) tail[t++] = digits[--n];
    tail[t++] = '.';
    for (std::size_t i = 0; i < sizeof g_s_strFileExtName[0] && ext[i] != 0; ++i) tail[t++] = ext[i];
    out.clear();
    if (prefix.empty() || !IsValidUtf8Name(prefix)) {
        out.append("FILE", 4);
    } else {
        out.reserve(std::min(prefix.size(), kRawNameMax - t) + t);
        out.append(prefix, 0, CutLength(prefix, kRawNameMax - t));
    }
    out.append(tail, t);
}

std::string CRAWFileNode::MakeFileName(std::uint32_t counter, unsigned type, const std::string& prefix) {
    std::string name;
    MakeFileName(name, counter, type, prefix);
    return name;
}

void CRAWFileNode::BuildFileName(char* out, unsigned short type, const char* prefix) {
    if (out == nullptr || prefix == nullptr) return;
    const std::uint32_t counter = m_state ? m_state->NextNameNumber(type) : 0;
    const std::string name = MakeFileName(counter, type, prefix);
    std::snprintf(out, kRawNameMax + 1, "%s", name.c_str());
}

std::string CRAWFileNode::MakeFolderName(const std::string& name) {
    std::string clean;
    clean.reserve(name.size());
    for (std::size_t i = 0; i < name.size();) {
        const std::size_t n = Utf8SequenceAt(name, i);
        if (n == 0) {
            if (name[i] != 0) clean += '_';
            ++i;
        } else {
            clean.append(name, i, n);
            i += n;
        }
    }
    while (!clean.empty() && clean.back() == ' ') clean.pop_back();
    return CutAtBoundary(clean, kRawNameMax);
}

void CRAWFileNode::FileTimeStructs(std::string time, std::vector<std::string>& fields) {
    fields.clear();
    std::string field;
    for (char c : time) {
        if (c == ' ' || c == '-' || c == ':') {
            if (!field.empty()) fields.push_back(field);
            field.clear();
        } else {
            field += c;
        }
    }
    if (!field.empty()) fields.push_back(field);
}

std::int64_t CRAWFileNode::RawTimeToFileTime(const std::string& time) {
    const std::size_t start = time.find_first_not_of(' ');
    if (start == std::string::npos || time.size() - start < 2) return 0;
    // The first six fields, split as FileTimeStructs splits them, read in
    // place; what follows them is not looked at.
    int v[6];
    int fields = 0;
    std::size_t i = start;
    while (fields < 6) {
        while (i < time.size() && (time[i] == ' ' || time[i] == '-' || time[i] == ':')) ++i;
        if (i == time.size()) return 0;
        std::size_t len = 0;
        int value = 0;
        for (; i < time.size() && time[i] != ' ' && time[i] != '-' && time[i] != ':'; ++i, ++len) {
            const char c = time[i];
            if (len >= 9 || c < '0' || c > '9') return 0;
            value = value * 10 + (c - '0');
        }
        v[fields++] = value;
    }
    if (v[0] < 1601 || v[0] > 9999 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 ||
        v[5] > 60)
        return 0;
    return LocalTimeToFileTime(v);
}
