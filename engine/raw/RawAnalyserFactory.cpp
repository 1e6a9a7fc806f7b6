#include "raw/RawAnalyserFactory.h"

#include "raw/RawFileAnalyser.h"
#include "raw/analysers/ArchiveAnalysers.h"
#include "raw/analysers/ContainerAnalysers.h"
#include "raw/analysers/CrwX3fAnalysers.h"
#include "raw/analysers/DocumentStoreAnalysers.h"
#include "raw/analysers/GifAnalyser.h"
#include "raw/analysers/HeaderSizedAnalysers.h"
#include "raw/analysers/JpegAnalyser.h"
#include "raw/analysers/LayeredImageAnalysers.h"
#include "raw/analysers/MovAnalysers.h"
#include "raw/analysers/Mp3Analyser.h"
#include "raw/analysers/OleAnalyser.h"
#include "raw/analysers/PackageAnalysers.h"
#include "raw/analysers/PdfAnalysers.h"
#include "raw/analysers/PngAnalyser.h"
#include "raw/analysers/SmallAudioAnalysers.h"
#include "raw/analysers/SmallFormatAnalysers.h"
#include "raw/analysers/SmallImageAnalysers.h"
#include "raw/analysers/StreamAnalysers.h"
#include "raw/analysers/TextDocumentAnalysers.h"
#include "raw/analysers/TiffAnalyser.h"
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
    {"FileLowDocAnalyser", New<FileLowDocAnalyser>},
    {"FileWPDAnalyser", New<FileWPDAnalyser>},
    {"FileCHMAnalyser", New<FileCHMAnalyser>},
    {"FileHLPAnalyser", New<FileHLPAnalyser>},
    {"FileMNYAnalyser", New<FileMNYAnalyser>},
    {"FilePSTAnalyser", New<FilePSTAnalyser>},
    {"FileITLAnalyser", New<FileITLAnalyser>},
    {"FileTTFAnalyser", New<FileTTFAnalyser>},
    {"FileMboxAnalyser", New<FileMboxAnalyser>},
    {"RawSpeed::RARAnalyser", New<RawSpeed::RARAnalyser>},
    {"RawSpeed::GZAnalyzer", New<RawSpeed::GZAnalyzer>},
    {"Tessel::LZHAnalyser", New<Tessel::LZHAnalyser>},
    {"RawSpeed::TARAnalyser", New<RawSpeed::TARAnalyser>},
    {"RawSpeed::SITAnalyser", New<RawSpeed::SITAnalyser>},
    {"FileCABAnalyser", New<FileCABAnalyser>},
    {"FileCPTAnalyser", New<FileCPTAnalyser>},
    {"FilePKGAnalyser", New<FilePKGAnalyser>},
    {"Tessel::DMGAnalyser", New<Tessel::DMGAnalyser>},
    {"RawSpeed::CMDBAnalyser", New<RawSpeed::CMDBAnalyser>},
    {"RawSpeed::PSDAnalyser", New<RawSpeed::PSDAnalyser>},
    {"RawSpeed::PSPAnalyser", New<RawSpeed::PSPAnalyser>},
    {"RawSpeed::PSAFE3Analyser", New<RawSpeed::PSAFE3Analyser>},
    {"RawSpeed::SIBAnalyser", New<RawSpeed::SIBAnalyser>},
    {"RawSpeed::JKSAnalyser", New<RawSpeed::JKSAnalyser>},
    {"RawSpeed::WpgAnalyser", New<RawSpeed::WpgAnalyser>},
    {"RawSpeed::NGRRAnalyser", New<RawSpeed::NGRRAnalyser>},
    {"RawSpeed::AEPAnalyser", New<RawSpeed::AEPAnalyser>},
    {"RawSpeed::New3DSAnalyser", New<RawSpeed::New3DSAnalyser>},
    {"BruteForce::CDXFAnalyser", New<BruteForce::CDXFAnalyser>},
    {"BruteForce::CDWGAnalyser", New<BruteForce::CDWGAnalyser>},
    {"BruteForce::CFCPEvtAnalyser", New<BruteForce::CFCPEvtAnalyser>},
    {"BruteForce::CFH11Analyser", New<BruteForce::CFH11Analyser>},
    {"BruteForce::JpegAnalyzer", New<BruteForce::JpegAnalyzer>},
    {"BruteForce::TiffAnalyzer", New<BruteForce::TiffAnalyzer>},
    {"Tessel::CRWAnalyser", New<Tessel::CRWAnalyser>},
    {"Tessel::X3FAnalyser", New<Tessel::X3FAnalyser>},
    {"BruteForce::MP3Analyzer", New<BruteForce::MP3Analyzer>},
    {"BruteForce::CAPEAnalyser", New<BruteForce::CAPEAnalyser>},
    {"BruteForce::CADTSAnalyser", New<BruteForce::CADTSAnalyser>},
    {"RawSpeed::MIDAnalyser", New<RawSpeed::MIDAnalyser>},
    {"CFileAIFAnalyzer", New<CFileAIFAnalyzer>},
    {"FileAUAnalyser", New<FileAUAnalyser>},
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
