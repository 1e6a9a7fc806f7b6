// File-type filter: classifies found nodes by file-name extension and passes or
// refuses them by the categories the user chose.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>

class IFileNode;

// Categories of the extension table.
enum FILE_TYPE_ID : uint32_t {
    FILE_TYPE_DOCUMENT = 2,
    FILE_TYPE_PICTURES = 3,
    FILE_TYPE_MUSIC = 4,
    FILE_TYPE_MOVIES = 5,
    FILE_TYPE_ARCHIVES = 6,
    FILE_TYPE_EMAIL = 7,
    FILE_TYPE_UNKNOWN = 8,
};

// The user's choice, one bit per kind; FILTER_ALL (or 0) filters nothing.
enum _FILTER_TYPE : uint32_t {
    FILTER_DOCUMENT = 1,
    FILTER_PICTURES = 2,
    FILTER_MOVIES = 4,
    FILTER_MUSIC = 8,
    FILTER_ARCHIVES = 16,
    FILTER_EMAIL = 32,
    FILTER_OTHER = 64,
    FILTER_ALL = 127,
};

enum _SCAN_TYPE : uint32_t {
    SCAN_TYPE_QUICK = 0,
    SCAN_TYPE_DEEP = 1,
};

class IRecoveryFilter {
public:
    virtual ~IRecoveryFilter() = default;
    // 1 when existing (not deleted) files are shown too: every scan but a quick one.
    virtual int ShowNormalFiles() const = 0;
    virtual void SetScanType(int scanType) = 0;
    virtual int IsFileNodeValid(IFileNode* node) = 0;
    virtual void SetFilterTypes(unsigned bits) = 0;
    // The node's category as a filter bit (64 for anything not listed).
    virtual unsigned GetNodeFileType(IFileNode* node) = 0;
    // The filter lives until process exit; releasing it does nothing.
    virtual void Release() = 0;
};

// The process-wide filter, built on first call from the category lists set
// through CFileTypeManager::Initialze.
IRecoveryFilter* CreateFilter();

// Open-addressing table of string keys (compared without regard to case through
// two check hashes), as used for file-name extensions.
template <class T, unsigned N>
class CKeHashTable {
public:
    static constexpr unsigned kSlots = N;
    static constexpr unsigned kCryptWords = 0x500;

    struct Entry {
        T value;
        uint32_t used;
        uint32_t hashA;
        uint32_t hashB;
    };

    CKeHashTable() {
        std::memset(static_cast<void*>(m_entries), 0, sizeof(m_entries));
        std::memset(m_crypt, 0, sizeof(m_crypt));
        InitliazeCryptTable();
    }

    void InitliazeCryptTable() {
        uint32_t seed = 0x00100001;
        for (unsigned i = 0; i < 256; ++i) {
            for (unsigned j = 0; j < 5; ++j) {
                seed = (seed * 125 + 3) % 0x2AAAAB;
                uint32_t s1 = seed;
                seed = (seed * 125 + 3) % 0x2AAAAB;
                uint32_t s2 = seed;
                m_crypt[j * 256 + i] = ((s1 & 0xFFFFu) << 16) | (s2 & 0xFFFFu);
            }
        }
    }

    // Bytes are taken unsigned: UTF-8 names carry bytes of 0x80 and above.
    uint32_t GetHashCode(const char* key, unsigned kind) const {
        uint32_t a = 0x7FED7FEDu;
        uint32_t b = 0xEEEEEEEEu;
        if (key == nullptr || kind >= 5) return a;
        for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p != 0; ++p) {
            uint32_t c = *p;
            if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
            a = m_crypt[kind * 256 + c] ^ (a + b);
            b = b * 97 + c + a;
        }
        return a;
    }

    // Slot holding the key, or -1. Slots are never freed and an insertion takes
    // the first unused slot of its probe sequence, so the probe can stop at the
    // first never-used slot without changing any answer.
    int GetHashTablePos(const char* key, int /*unused*/) const {
        if (key == nullptr) return -1;
        const uint32_t h0 = GetHashCode(key, 0);
        const uint32_t h1 = GetHashCode(key, 1);
        const uint32_t h2 = GetHashCode(key, 2);
        const unsigned start = h0 % N;
        for (unsigned n = 0; n < N; ++n) {
            const unsigned pos = (start + n) % N;
            const Entry& e = m_entries[pos];
            if (!e.used) return -1;
            if (e.hashA == h1 && e.hashB == h2) return static_cast<int>(pos);
        }
        return -1;
    }

    // 1 when stored; 0 for a null key or a full table.
    int InsertNode(const char* key, const T& value) {
        if (key == nullptr) return 0;
        const uint32_t h0 = GetHashCode(key, 0);
        const unsigned start = h0 % N;
        for (unsigned n = 0; n < N; ++n) {
            Entry& e = m_entries[(start + n) % N];
            if (e.used) continue;
            e.value = value;
            e.used = 1;
            e.hashA = GetHashCode(key, 1);
            e.hashB = GetHashCode(key, 2);
            return 1;
        }
        return 0;
    }

    int FindNode(const char* key, T& value) const {
        const int pos = GetHashTablePos(key, 0);
        if (pos < 0) return 0;
        value = m_entries[pos].value;
        return 1;
    }

private:
    Entry m_entries[N];
    uint32_t m_crypt[kCryptWords];
};

// Extension -> category table, filled from the six category lists.
class CFileTypeManager : public CKeHashTable<FILE_TYPE_ID, 2048u> {
public:
    // Sets the category lists from a map keyed by filter bit (1 documents,
    // 2 pictures, 4 movies, 8 music, 16 archives, 32 e-mail). A missing key
    // leaves its list empty. Run before the filter is first created.
    static int Initialze(std::map<int, std::string>& lists);
    // Fills the table from the category lists; always 1.
    int Initialize();
    // The category of an extension (case-insensitive); 8 for null or unknown.
    FILE_TYPE_ID GetFileTypeID(const char* extension) const;
    // Splits a ";"-separated list and inserts every piece (an empty one too).
    void Insert2Table(const std::string& extensions, FILE_TYPE_ID id);

    static std::string strDocument;
    static std::string strPics;
    static std::string strMovies;
    static std::string strMusic;
    static std::string strArchives;
    static std::string strEmail;
};

// The filter itself. One object serves the whole process (CreateFilter); tests
// may build their own.
class CRecoveryFilter : public IRecoveryFilter {
public:
    CRecoveryFilter();
    int ShowNormalFiles() const override;
    void SetScanType(int scanType) override;
    int IsFileNodeValid(IFileNode* node) override;
    void SetFilterTypes(unsigned bits) override;
    unsigned GetNodeFileType(IFileNode* node) override;
    void Release() override {}

    FILE_TYPE_ID GetNodeType(IFileNode* node) const;
    unsigned GetFilterTypes() const { return m_filterBits; }

    // The include-existing switch: a quick scan shows existing files as well
    // as deleted ones (ShowNormalFiles answers 1), for a caller that recovers
    // everything found, not only what was deleted.
    void SetIncludeExisting(bool include) { m_includeExisting = include; }

private:
    uint32_t m_scanType = SCAN_TYPE_QUICK;
    bool m_includeExisting = false;
    uint32_t m_filterBits = FILTER_ALL;
    CFileTypeManager m_fileTypes;
    uint32_t m_selected = 0;  // bit set of selected FILE_TYPE_IDs; 0 = everything passes
};
