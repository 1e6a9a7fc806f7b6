#pragma once
// Search by name over found nodes. The search calls it for every node of a
// scan, so the needle is folded once and ASCII names are compared without
// allocating.

#include <QString>
#include <string>

class IFileNode;

class NameMatcher {
public:
    // Reads the "isSelectDesktopDisk" user setting.
    explicit NameMatcher(const char* needle);
    NameMatcher(const char* needle, bool desktopMode);

    // Whether the text holds the needle, ignoring case; false for a null text
    // and for one that is not valid UTF-8 (no replacement character may
    // match). True for every text when the needle is empty.
    bool MatchesText(const char* text) const;
    // A folder matches when any node below it matches; a file by its name,
    // or in desktop mode when its parent is named exactly "Desktop".
    bool MatchesNode(IFileNode* node) const;

    static bool DesktopModeSetting();

private:
    bool MatchesFile(IFileNode* file) const;

    bool m_empty = true;
    bool m_asciiNeedle = true;
    bool m_desktopMode = false;
    std::string m_lowerAscii;
    QString m_needle;
};
