#include "foundation/IniReader.h"

#include <cstdlib>

#include "foundation/Log.h"

CIniFile::CIniFile(const char* path) : m_path(path != nullptr ? path : "") {}

CIniFile::CIniFile(const std::string& path) : m_path(path) {}

int CIniFile::Init(const char* path) {
    m_path = path != nullptr ? path : "";
    return LoadFile();
}

int CIniFile::Init(const std::string& path) {
    m_path = path;
    return LoadFile();
}

int CIniFile::Init() { return LoadFile(); }

bool CIniFile::ReadLine(FILE* file, std::string& line) {
    char buffer[1024];
    if (std::fgets(buffer, sizeof buffer, file) == nullptr) return false;
    line.assign(buffer);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return true;
}

int CIniFile::LoadFile() {
    m_sections.clear();
    if (m_path.empty()) return -1;
    FILE* file = std::fopen(m_path.c_str(), "re");
    if (file == nullptr) return -1;
    std::string line;
    std::string section;
    bool haveSection = false;
    while (ReadLine(file, line)) {
        const size_t open = line.find('[');
        if (open != std::string::npos) {
            // The closing bracket is looked for after the opening one, so a
            // stray "]" earlier on the line cannot produce a negative length.
            const size_t close = line.find(']', open + 1);
            if (close == std::string::npos) {
                std::fclose(file);
                return -1;
            }
            section = line.substr(open + 1, close - open - 1);
            haveSection = true;
        }
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            if (!haveSection) {
                std::fclose(file);
                return -1;
            }
            m_sections[section][line.substr(0, equals)] = line.substr(equals + 1);
        }
    }
    std::fclose(file);
    return 0;
}

int CIniFile::ReadItem(const std::string& section, const std::string& key, std::string& value) const {
    const auto s = m_sections.find(section);
    if (s == m_sections.end()) return -1;
    const auto k = s->second.find(key);
    if (k == s->second.end() || k->second.empty()) return -1;
    value = k->second;
    return 0;
}

int CIniFile::WriteItem(const std::string& section, const std::string& key, const std::string& value) {
    auto& pairs = m_sections[section];
    const auto k = pairs.find(key);
    if (k == pairs.end()) return -1;
    k->second = value;
    return WriteFile();
}

void CIniFile::Print(FILE* out) const {
    for (const auto& [name, pairs] : m_sections) {
        std::fprintf(out, "[%s]\n", name.c_str());
        for (const auto& [key, value] : pairs) std::fprintf(out, "%s=%s\n", key.c_str(), value.c_str());
        std::fputs("\n", out);
    }
}

int CIniFile::WriteFile() const {
    if (m_path.empty()) return -1;
    FILE* file = std::fopen(m_path.c_str(), "we");
    if (file == nullptr) return -1;
    Print(file);
    const bool failed = std::ferror(file) != 0;
    // fclose flushes: a full disk shows up here.
    if (std::fclose(file) != 0 || failed) return -1;
    return 0;
}

void CIniFile::Dump() const {
    // Printed into memory first, so the whole file is one diagnostic.
    char* text = nullptr;
    size_t size = 0;
    FILE* memory = open_memstream(&text, &size);
    if (memory == nullptr) return;
    Print(memory);
    if (std::fclose(memory) == 0 && text != nullptr) LogDiagnostic("%s", text);
    std::free(text);
}

int CIniFile::TrimString(std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        text.clear();
        return -1;
    }
    const size_t last = text.find_last_not_of(" \t");
    text = text.substr(first, last - first + 1);
    return 0;
}
