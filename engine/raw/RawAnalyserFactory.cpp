#include "raw/RawAnalyserFactory.h"

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/DocumentStoreAnalysers.h"
#include "raw/analysers/GifAnalyser.h"
#include "raw/analysers/PdfAnalysers.h"
#include "raw/analysers/PngAnalyser.h"
#include "raw/analysers/SmallImageAnalysers.h"
#include "raw/analysers/TextDocumentAnalysers.h"

namespace {

template <class T>
IRawFileAnalyser* New() {
    return new T();
}

// One row per analyser class that is written.
const RawAnalyserFactoryRow kFactories[] = {
    {"RawSpeed::PNGAnalyser", New<RawSpeed::PNGAnalyser>},
    {"BruteForce::CGifAnalyser", New<BruteForce::CGifAnalyser>},
    {"FileBMPAnalyser", New<FileBMPAnalyser>},
    {"FileICOAnalyser", New<FileICOAnalyser>},
    {"FileICNSAnalyser", New<FileICNSAnalyser>},
    {"FileEMFAnalyser", New<FileEMFAnalyser>},
    {"FileWMFAnalyser", New<FileWMFAnalyser>},
    {"FileMRWAnalyser", New<FileMRWAnalyser>},
    {"BruteForce::PdfAnalyzer", New<BruteForce::PdfAnalyzer>},
    {"BruteForce::CEPSAnalyser", New<BruteForce::CEPSAnalyser>},
    {"RawSpeed::RTFAnalyser", New<RawSpeed::RTFAnalyser>},
    {"RawSpeed::HTMLAnalyser", New<RawSpeed::HTMLAnalyser>},
    {"FileUnicodeHTMAnalyser", New<FileUnicodeHTMAnalyser>},
    {"Tessel::SVGAnalyser", New<Tessel::SVGAnalyser>},
    {"RawSpeed::MOBIAnalyser", New<RawSpeed::MOBIAnalyser>},
    {"RawSpeed::InddAnalyser", New<RawSpeed::InddAnalyser>},
    {"RawSpeed::OneAnalyser", New<RawSpeed::OneAnalyser>},
    {"RawSpeed::DbxAnalyser", New<RawSpeed::DbxAnalyser>},
    {nullptr, nullptr},
};

}  // namespace

std::span<const RawAnalyserFactoryRow> RawAnalyserFactories() {
    // The sentinel row keeps the array non-empty until the first analyser lands.
    return std::span<const RawAnalyserFactoryRow>(kFactories, std::size(kFactories) - 1);
}
