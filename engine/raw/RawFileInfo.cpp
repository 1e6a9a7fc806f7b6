#include <array>
#include <utility>

#include "raw/RawFileAnalyser.h"

std::string ApiStrFilterBadFileName(std::string name) {
    while (!name.empty() && name.back() == ' ') name.pop_back();
    // Every found file's name passes here: one table look-up per byte.
    static constexpr auto kBad = [] {
        std::array<bool, 256> bad{};
        for (unsigned char c : {'\x01', '\\', '/', ':', '?', '"', '<', '>', '|', '*', '\r', '\n'}) bad[c] = true;
        return bad;
    }();
    for (char& c : name)
        if (kBad[static_cast<unsigned char>(c)]) c = '_';
    return name;
}

std::string CRawFileInfo::GetRawFileName() {
    m_rawFileName = ApiStrFilterBadFileName(std::move(m_rawFileName));
    return m_rawFileName;
}

void CRawFileInfo::SetRawFileName(std::string name) { m_rawFileName = ApiStrFilterBadFileName(std::move(name)); }

void CRawFileInfo::SetRawFileTagAndValue(RAW_FILE_TAG tag, std::string& value) {
    value = ApiStrFilterBadFileName(value);
    m_tag = tag;
    m_tagValue = value;
}

void CRawFileInfo::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) {
    m_tagValue = ApiStrFilterBadFileName(std::move(m_tagValue));
    tag = static_cast<RAW_FILE_TAG>(m_tag);
    value = m_tagValue;
}
