#pragma once

#include <cstdio>
#include <map>
#include <string>

// A small reader of "[section]" and "key=value" lines. Keys and values are
// kept exactly as written (blanks round "=" and a carriage return before the
// line feed stay part of them); the engine reads "bRevise" of
// "UserExperience" from UIConfig.ini beside the executable with it.
class CIniFile {
public:
    CIniFile() = default;
    explicit CIniFile(const char* path);
    explicit CIniFile(const std::string& path);

    // Keep the path and load it: 0 read to the end, -1 refused.
    int Init(const char* path);
    int Init(const std::string& path);
    int Init();
    int LoadFile();

    // 0 with the value; -1 when the section is absent or the value is empty
    // (a missing key reads as empty). `value` is untouched on -1.
    int ReadItem(const std::string& section, const std::string& key, std::string& value) const;
    // -1 when the key is absent (an absent section is still created, empty);
    // else sets the value and writes the file, returning WriteFile's result.
    int WriteItem(const std::string& section, const std::string& key, const std::string& value);
    // 0, or -1 when the file cannot be written completely.
    int WriteFile() const;
    // The sections and keys as the file would hold them, as one diagnostic.
    void Dump() const;

    // Strips spaces and tabs at both ends; -1 when nothing is left.
    static int TrimString(std::string& text);

    const std::string& GetPath() const { return m_path; }

private:
    // One piece of a line (at most 1,023 characters) without its line feed;
    // false at the end of the file.
    static bool ReadLine(FILE* file, std::string& line);
    void Print(FILE* out) const;

    std::string m_path;
    std::map<std::string, std::map<std::string, std::string>> m_sections;
};
