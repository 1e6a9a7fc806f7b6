#pragma once
// Image formats whose first sector gives the whole file's size: BMP, ICO and
// CUR, ICNS, EMF, WMF (standard and placeable) and Minolta MRW. Each check
// reads only the first few hundred bytes of the sector.

#include "raw/RawFileAnalyser.h"

#define QUILLORY_HEADER_ANALYSER(Name, Type)                                    \
    class Name : public IRawFileAnalyser {                                      \
    public:                                                                     \
        Name() : IRawFileAnalyser(Type) {}                                      \
        int AnalyseBuffer(std::uint8_t* sector, CRawFileInfo& record) override; \
    };

QUILLORY_HEADER_ANALYSER(FileBMPAnalyser, RAW_FILE_TYPE_BMP)
QUILLORY_HEADER_ANALYSER(FileICOAnalyser, RAW_FILE_TYPE_ICO)
QUILLORY_HEADER_ANALYSER(FileICNSAnalyser, RAW_FILE_TYPE_ICNS)
QUILLORY_HEADER_ANALYSER(FileEMFAnalyser, RAW_FILE_TYPE_EMF)
QUILLORY_HEADER_ANALYSER(FileWMFAnalyser, RAW_FILE_TYPE_WMF)
QUILLORY_HEADER_ANALYSER(FileMRWAnalyser, RAW_FILE_TYPE_MRW)

#undef QUILLORY_HEADER_ANALYSER
