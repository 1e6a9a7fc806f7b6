#include "recovery/RecoveryFilter.h"

#include <cstring>

#include "foundation/FileNode.h"

std::string CFileTypeManager::strDocument;
std::string CFileTypeManager::strPics;
std::string CFileTypeManager::strMovies;
std::string CFileTypeManager::strMusic;
std::string CFileTypeManager::strArchives;
std::string CFileTypeManager::strEmail;

int CFileTypeManager::Initialze(std::map<int, std::string>& lists) {
    auto take = [&lists](int key) {
        auto it = lists.find(key);
        return it == lists.end() ? std::string() : it->second;
    };
    strDocument = take(FILTER_DOCUMENT);
    strPics = take(FILTER_PICTURES);
    strMovies = take(FILTER_MOVIES);
    strMusic = take(FILTER_MUSIC);
    strArchives = take(FILTER_ARCHIVES);
    strEmail = take(FILTER_EMAIL);
    return 1;
}

void CFileTypeManager::Insert2Table(const std::string& extensions, FILE_TYPE_ID id) {
    if (extensions.empty()) return;
    size_t begin = 0;
    while (true) {
        const size_t end = extensions.find(';', begin);
        const std::string piece = extensions.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        InsertNode(piece.c_str(), id);
        if (end == std::string::npos) break;
        begin = end + 1;
    }
}

int CFileTypeManager::Initialize() {
    // The order decides which category wins for an extension listed twice:
    // the first insertion is the one lookups reach.
    Insert2Table(strPics, FILE_TYPE_PICTURES);
    Insert2Table(strMusic, FILE_TYPE_MUSIC);
    Insert2Table(strMovies, FILE_TYPE_MOVIES);
    Insert2Table(strEmail, FILE_TYPE_EMAIL);
    Insert2Table(strArchives, FILE_TYPE_ARCHIVES);
    Insert2Table(strDocument, FILE_TYPE_DOCUMENT);
    return 1;
}

FILE_TYPE_ID CFileTypeManager::GetFileTypeID(const char* extension) const {
    FILE_TYPE_ID id = FILE_TYPE_UNKNOWN;
    if (extension == nullptr || !FindNode(extension, id)) return FILE_TYPE_UNKNOWN;
    return id;
}

namespace {

FILE_TYPE_ID CategoryOfBit(unsigned bit) {
    switch (bit) {
    case FILTER_DOCUMENT:
        return FILE_TYPE_DOCUMENT;
    case FILTER_PICTURES:
        return FILE_TYPE_PICTURES;
    case FILTER_MOVIES:
        return FILE_TYPE_MOVIES;
    case FILTER_MUSIC:
        return FILE_TYPE_MUSIC;
    case FILTER_ARCHIVES:
        return FILE_TYPE_ARCHIVES;
    case FILTER_EMAIL:
        return FILE_TYPE_EMAIL;
    default:
        return FILE_TYPE_UNKNOWN;
    }
}

unsigned BitOfCategory(FILE_TYPE_ID id) {
    switch (id) {
    case FILE_TYPE_DOCUMENT:
        return FILTER_DOCUMENT;
    case FILE_TYPE_PICTURES:
        return FILTER_PICTURES;
    case FILE_TYPE_MUSIC:
        return FILTER_MUSIC;
    case FILE_TYPE_MOVIES:
        return FILTER_MOVIES;
    case FILE_TYPE_ARCHIVES:
        return FILTER_ARCHIVES;
    case FILE_TYPE_EMAIL:
        return FILTER_EMAIL;
    default:
        return FILTER_OTHER;
    }
}

}  // namespace

CRecoveryFilter::CRecoveryFilter() { m_fileTypes.Initialize(); }

int CRecoveryFilter::ShowNormalFiles() const { return m_scanType != 0 || m_includeExisting ? 1 : 0; }

void CRecoveryFilter::SetScanType(int scanType) { m_scanType = static_cast<uint32_t>(scanType); }

void CRecoveryFilter::SetFilterTypes(unsigned bits) {
    m_filterBits = bits;
    m_selected = 0;
    if (bits == FILTER_ALL) return;
    for (unsigned i = 0; i < 7; ++i) {
        const unsigned bit = 1u << i;
        if (bits & bit) m_selected |= 1u << CategoryOfBit(bit);
    }
}

FILE_TYPE_ID CRecoveryFilter::GetNodeType(IFileNode* node) const {
    if (node == nullptr) return FILE_TYPE_UNKNOWN;
    const char* name = node->GetFileName();
    if (name == nullptr) return FILE_TYPE_UNKNOWN;
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return FILE_TYPE_UNKNOWN;
    return m_fileTypes.GetFileTypeID(dot + 1);
}

int CRecoveryFilter::IsFileNodeValid(IFileNode* node) {
    if (node == nullptr) return 0;
    if (m_selected == 0) return 1;
    if (node->IsDirectory()) return 1;
    return (m_selected & (1u << GetNodeType(node))) != 0 ? 1 : 0;
}

unsigned CRecoveryFilter::GetNodeFileType(IFileNode* node) { return BitOfCategory(GetNodeType(node)); }

IRecoveryFilter* CreateFilter() {
    static CRecoveryFilter filter;
    return &filter;
}
