#include "raw/RawAnalyserFactory.h"

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/CrwX3fAnalysers.h"
#include "raw/analysers/GifAnalyser.h"
#include "raw/analysers/JpegAnalyser.h"
#include "raw/analysers/PngAnalyser.h"
#include "raw/analysers/SmallImageAnalysers.h"
#include "raw/analysers/TiffAnalyser.h"

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
    {"BruteForce::JpegAnalyzer", New<BruteForce::JpegAnalyzer>},
    {"BruteForce::TiffAnalyzer", New<BruteForce::TiffAnalyzer>},
    {"Tessel::CRWAnalyser", New<Tessel::CRWAnalyser>},
    {"Tessel::X3FAnalyser", New<Tessel::X3FAnalyser>},
    {nullptr, nullptr},
};

}  // namespace

std::span<const RawAnalyserFactoryRow> RawAnalyserFactories() {
    // The sentinel row keeps the array non-empty until the first analyser lands.
    return std::span<const RawAnalyserFactoryRow>(kFactories, std::size(kFactories) - 1);
}
