#include "model/qt/NameMatcher.h"

#include <QSettings>
#include <cstring>

#include "foundation/FileNode.h"
#include "model/QXPublic.h"

namespace {

constexpr char kDesktopModeKey[] = "isSelectDesktopDisk";

inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// -1 when the text holds a byte of 0x80 or above, else its length.
long AsciiLength(const char* text) {
    const char* p = text;
    for (; *p != 0; ++p)
        if (static_cast<unsigned char>(*p) >= 0x80) return -1;
    return p - text;
}

bool ContainsAsciiFolded(const char* text, long length, const std::string& lowerNeedle) {
    const long n = static_cast<long>(lowerNeedle.size());
    for (long start = 0; start + n <= length; ++start) {
        long i = 0;
        while (i < n && LowerAscii(text[start + i]) == lowerNeedle[i]) ++i;
        if (i == n) return true;
    }
    return false;
}

}  // namespace

NameMatcher::NameMatcher(const char* needle) : NameMatcher(needle, DesktopModeSetting()) {}

NameMatcher::NameMatcher(const char* needle, bool desktopMode) : m_desktopMode(desktopMode) {
    m_empty = needle == nullptr || *needle == 0;
    if (m_empty) return;
    m_asciiNeedle = AsciiLength(needle) >= 0;
    if (m_asciiNeedle) {
        for (const char* p = needle; *p != 0; ++p) m_lowerAscii.push_back(LowerAscii(*p));
    }
    m_needle = QString::fromUtf8(needle);
}

bool NameMatcher::DesktopModeSetting() {
    QSettings settings("Quillory", "Quillory");
    return settings.value(kDesktopModeKey, false).toBool();
}

bool NameMatcher::MatchesText(const char* text) const {
    if (m_empty) return true;
    if (text == nullptr) return false;
    const long length = AsciiLength(text);
    if (length >= 0 && m_asciiNeedle) return ContainsAsciiFolded(text, length, m_lowerAscii);
    if (!isValidString(text)) return false;
    return QString::fromUtf8(text).contains(m_needle, Qt::CaseInsensitive);
}

bool NameMatcher::MatchesFile(IFileNode* file) const {
    if (!m_desktopMode) return MatchesText(file->GetFileName());
    IFileNode* parent = file->GetParent();
    if (parent == nullptr) return false;
    const char* name = parent->GetFileName();
    return name != nullptr && std::strcmp(name, "Desktop") == 0;
}

bool NameMatcher::MatchesNode(IFileNode* node) const {
    if (m_empty) return true;
    if (node == nullptr) return false;
    if (!node->IsDirectory()) return MatchesFile(node);
    // Walks the folder's subtree in sibling order through the links alone:
    // no stack to grow with the depth of a damaged tree.
    IFileNode* at = node->GetFirstChild();
    while (at != nullptr && at != node) {
        if (!at->IsDirectory()) {
            if (MatchesFile(at)) return true;
        } else if (IFileNode* child = at->GetFirstChild()) {
            at = child;
            continue;
        }
        while (at != nullptr && at != node) {
            if (IFileNode* next = at->GetNextNode()) {
                at = next;
                break;
            }
            at = at->GetParent();
        }
    }
    return false;
}

bool QXUIPublic::IsStringInString(const char* needle, const char* text) {
    return NameMatcher(needle, false).MatchesText(text);
}

bool QXUIPublic::IsStringInFileNode(const char* needle, IFileNode* node) {
    if (needle == nullptr || *needle == 0) return true;
    return NameMatcher(needle).MatchesNode(node);
}
