#include "raw/RawAnalyserFactory.h"

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/ContainerAnalysers.h"
#include "raw/analysers/GifAnalyser.h"
#include "raw/analysers/MovAnalysers.h"
#include "raw/analysers/OleAnalyser.h"
#include "raw/analysers/PngAnalyser.h"
#include "raw/analysers/SmallImageAnalysers.h"
#include "raw/analysers/StreamAnalysers.h"
#include "raw/analysers/ZipAnalyser.h"

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
    {"BruteForce::MovAnalyzer", New<BruteForce::MovAnalyzer>},
    {"BruteForce::Mp4Analyzer", New<BruteForce::Mp4Analyzer>},
    {"BruteForce::C3GPAnalyser", New<BruteForce::C3GPAnalyser>},
    {"Tessel::RM_RMVBAnalyser", New<Tessel::RM_RMVBAnalyser>},
    {"Tessel::MPGAnalyser", New<Tessel::MPGAnalyser>},
    {"BruteForce::CAsfAnalyser", New<BruteForce::CAsfAnalyser>},
    {"Tessel::FLVAnalyser", New<Tessel::FLVAnalyser>},
    {"Tessel::OGGAnalyser", New<Tessel::OGGAnalyser>},
    {"FileRIFFAnalyser", New<FileRIFFAnalyser>},
    {"FileMKVAnalyser", New<FileMKVAnalyser>},
    {"FileSWFAnalyser", New<FileSWFAnalyser>},
    {"RawSpeed::MLvAnalyser", New<RawSpeed::MLvAnalyser>},
    {"RawSpeed::MxfAnalyser", New<RawSpeed::MxfAnalyser>},
    {"BruteForce::CM2TSAnalyser", New<BruteForce::CM2TSAnalyser>},
    {"FileOLEAnalyser", New<FileOLEAnalyser>},
    {"FileZIPAnalyser", New<FileZIPAnalyser>},
    {nullptr, nullptr},
};

}  // namespace

std::span<const RawAnalyserFactoryRow> RawAnalyserFactories() {
    // The sentinel row keeps the array non-empty until the first analyser lands.
    return std::span<const RawAnalyserFactoryRow>(kFactories, std::size(kFactories) - 1);
}
