#include "raw/RawAnalyserFactory.h"

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/GifAnalyser.h"
#include "raw/analysers/Mp3Analyser.h"
#include "raw/analysers/PngAnalyser.h"
#include "raw/analysers/SmallAudioAnalysers.h"
#include "raw/analysers/SmallImageAnalysers.h"

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
    {"BruteForce::MP3Analyzer", New<BruteForce::MP3Analyzer>},
    {"BruteForce::CAPEAnalyser", New<BruteForce::CAPEAnalyser>},
    {"BruteForce::CADTSAnalyser", New<BruteForce::CADTSAnalyser>},
    {"RawSpeed::MIDAnalyser", New<RawSpeed::MIDAnalyser>},
    {"CFileAIFAnalyzer", New<CFileAIFAnalyzer>},
    {"FileAUAnalyser", New<FileAUAnalyser>},
    {nullptr, nullptr},
};

}  // namespace

std::span<const RawAnalyserFactoryRow> RawAnalyserFactories() {
    // The sentinel row keeps the array non-empty until the first analyser lands.
    return std::span<const RawAnalyserFactoryRow>(kFactories, std::size(kFactories) - 1);
}
