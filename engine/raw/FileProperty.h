#pragma once
// The text metadata of a found document: what the OLE summary stream, an
// Office Open XML core.xml or a PDF Info dictionary says about it. Times are
// local "Y-M-D-h-m-s" text (any of blank, "-" or ":" between the fields), the
// form the raw-node time parser reads.

#include <string>

struct FileProperty {
    std::string m_title;
    std::string m_producer;  // the program that wrote the file (PDF only)
    std::string m_author;
    std::string m_lastAuthor;
    std::string m_createTime;
    std::string m_lastSaveTime;
    // Not filled by the raw search; kept so every reader shares one record.
    std::string m_subject;
    std::string m_keywords;

    void Clear() { *this = FileProperty(); }
};
