#pragma once
// Document, mail, help and font formats whose first sector gives the whole
// file's size: Word for DOS / Word 2, WordPerfect, compiled HTML help,
// WinHelp, MS Money, Outlook PST, iTunes libraries and TrueType fonts. The
// mbox reader recognises by the first sector and sizes on the device.

#include "raw/RawFileAnalyser.h"

#define QUILLORY_HEADER_ANALYSER(Name, Type)                                    \
    class Name : public IRawFileAnalyser {                                      \
    public:                                                                     \
        Name() : IRawFileAnalyser(Type) {}                                      \
        int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override; \
    };

QUILLORY_HEADER_ANALYSER(FileLowDocAnalyser, RAW_FILE_TYPE_DOC)
QUILLORY_HEADER_ANALYSER(FileWPDAnalyser, RAW_FILE_TYPE_WPD)
QUILLORY_HEADER_ANALYSER(FileCHMAnalyser, RAW_FILE_TYPE_CHM)
QUILLORY_HEADER_ANALYSER(FileHLPAnalyser, RAW_FILE_TYPE_HLP)
QUILLORY_HEADER_ANALYSER(FileMNYAnalyser, RAW_FILE_TYPE_MNY)
QUILLORY_HEADER_ANALYSER(FilePSTAnalyser, RAW_FILE_TYPE_PST)
QUILLORY_HEADER_ANALYSER(FileITLAnalyser, RAW_FILE_TYPE_ITL)
QUILLORY_HEADER_ANALYSER(FileTTFAnalyser, RAW_FILE_TYPE_TTF)

#undef QUILLORY_HEADER_ANALYSER

// Recognised by "From " at the start; the end is a message signature or
// address line in a zero-padded 512-byte block, found on the device.
class FileMboxAnalyser : public IRawFileAnalyser {
public:
    static constexpr std::int64_t kWalkCap = 0xD000000;
    FileMboxAnalyser() : IRawFileAnalyser(RAW_FILE_TYPE_MBOX) {}
    int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};
