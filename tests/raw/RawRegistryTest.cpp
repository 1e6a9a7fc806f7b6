// The analyser registry: both sets from the key tables, in order, with one
// object per key; the two-byte dispatch table against the plain walk.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "raw/RawAnalyserFactory.h"
#include "raw/RawFileAnalyser.h"

namespace {

CRawFileAnalyserListSingle& Registry() { return *CRawFileAnalyserListSingle::CreateInstance(); }

// The key tables' class name of a placeholder or of a written analyser.
std::string Name(IRawFileAnalyser* a) {
    if (auto* p = dynamic_cast<CPendingAnalyser*>(a)) return p->ClassName();
    for (const RawAnalyserFactoryRow& row : RawAnalyserFactories()) {
        std::unique_ptr<IRawFileAnalyser> made(row.make());
        if (made && typeid(*made) == typeid(*a)) return row.className;
    }
    return "?";
}

// The order the registry's rules give: map entry, multimap run (both only
// when the first four bytes are not zero), then the list.
std::vector<IRawFileAnalyser*> Walk(int set, const std::uint8_t* s) {
    auto& r = Registry();
    std::vector<IRawFileAnalyser*> out;
    const std::uint32_t k4 = byteorder::LE32(s);
    if (k4 != 0) {
        auto m = r.GetAnalyserMap(set).find(k4);
        if (m != r.GetAnalyserMap(set).end()) out.push_back(m->second);
        auto range = r.GetAnalyserMultimap(set).equal_range(byteorder::LE16(s));
        for (auto it = range.first; it != range.second; ++it) out.push_back(it->second);
    }
    for (auto* a : r.GetAnalyserList(set)) out.push_back(a);
    return out;
}

std::vector<IRawFileAnalyser*> Dispatched(int set, const std::uint8_t* s) {
    IRawFileAnalyser* buf[64];
    const int n = Registry().Candidates(set, s, buf, 64);
    return std::vector<IRawFileAnalyser*>(buf, buf + n);
}

}  // namespace

TEST(RawRegistry, BothSetsHoldTheKeyTablesWithDistinctObjects) {
    auto& r = Registry();
    r.ReinitAnalyzeList(nullptr);
    std::set<IRawFileAnalyser*> set0, set1;
    for (int set : {0, 1}) {
        auto& objs = set == 0 ? set0 : set1;
        EXPECT_EQ(r.GetAnalyserMap(set).size(), 81u);
        EXPECT_EQ(r.GetAnalyserMultimap(set).size(), 42u);
        EXPECT_EQ(r.GetAnalyserList(set).size(), 9u);
        for (auto& [k, a] : r.GetAnalyserMap(set)) objs.insert(a);
        for (auto& [k, a] : r.GetAnalyserMultimap(set)) objs.insert(a);
        for (auto* a : r.GetAnalyserList(set)) objs.insert(a);
        EXPECT_EQ(objs.size(), 81u + 42u + 9u) << "one object per key";
    }
    for (auto* a : set0) EXPECT_EQ(set1.count(a), 0u);
    // Any set other than 0 is set 1.
    EXPECT_EQ(&r.GetAnalyserMap(7), &r.GetAnalyserMap(1));

    // A rebuild makes new objects with the same content.
    std::set<IRawFileAnalyser*> before = set0;
    r.ReinitAnalyzeList(nullptr);
    EXPECT_EQ(r.GetAnalyserMap(0).size(), 81u);
    EXPECT_EQ(r.GetAnalyserMultimap(0).size(), 42u);
    EXPECT_EQ(r.GetAnalyserList(0).size(), 9u);
    EXPECT_EQ(r.GetAnalyserMap(1).size(), 81u);
}

TEST(RawRegistry, FirstBytesGoToTheirAnalysersInOrder) {
    Registry().ReinitAnalyzeList(nullptr);
    const std::vector<std::string> list = {
        "Tessel::LZHAnalyser",       "FileEMFAnalyser",          "BruteForce::MovAnalyzer",
        "RawSpeed::InddAnalyser",    "RawSpeed::New3DSAnalyser", "RawSpeed::TARAnalyser",
        "BruteForce::CM2TSAnalyser", "RawSpeed::MOBIAnalyser",   "RawSpeed::PSAFE3Analyser"};
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::vector<std::string> keyed;  // before the list
    } cases[] = {
        {{0xFF, 0xD8, 0xFF, 0xE0}, {"BruteForce::JpegAnalyzer"}},
        {{0xFF, 0xD8, 0xFF, 0xE2}, {}},
        {{0xFF, 0xFE, 0x00, 0x00}, {"BruteForce::MP3Analyzer", "RawSpeed::HTMLAnalyser", "FileUnicodeHTMAnalyser"}},
        {{0x00, 0x00, 0x00, 0x00}, {}},
        {{0x00, 0x00, 0x00, 0x14}, {"BruteForce::MovAnalyzer", "BruteForce::Mp4Analyzer", "BruteForce::C3GPAnalyser"}},
        {{'%', '!', 'P', 'S'}, {"BruteForce::PdfAnalyzer", "BruteForce::CEPSAnalyser"}},
        {{'%', 'P', 'D', 'F'}, {"BruteForce::PdfAnalyzer"}},
        {{0x00, 0x01, 0x00, 0x00}, {"FileTTFAnalyser", "RawSpeed::CMDBAnalyser", "RawSpeed::CMDBAnalyser"}},
    };
    for (int set : {0, 1})
        for (const auto& c : cases) {
            std::vector<std::uint8_t> sector(512 + 4096, 0);
            std::copy(c.bytes.begin(), c.bytes.end(), sector.begin());
            std::vector<std::string> got;
            for (auto* a : Dispatched(set, sector.data())) got.push_back(Name(a));
            std::vector<std::string> want = c.keyed;
            want.insert(want.end(), list.begin(), list.end());
            EXPECT_EQ(got, want) << "set " << set << " first byte " << int(c.bytes[0]);
        }
}

TEST(RawRegistry, DispatchTableAgreesWithTheWalkForEveryPrefix) {
    auto& r = Registry();
    r.ReinitAnalyzeList(nullptr);
    // Every two-byte prefix with upper halves 0 and 0x1234 (map misses),
    // and each map key's prefix with the upper half of every map key (hits
    // and near misses).
    std::set<std::uint16_t> uppers = {0, 0x1234}, keyed;
    for (auto& [k, a] : r.GetAnalyserMap(1)) {
        uppers.insert(static_cast<std::uint16_t>(k >> 16));
        keyed.insert(static_cast<std::uint16_t>(k & 0xFFFF));
    }
    const std::set<std::uint16_t> misses = {0, 0x1234};
    std::uint8_t s[8] = {};
    for (int set : {0, 1})
        for (std::uint32_t prefix = 0; prefix < 0x10000; ++prefix)
            for (std::uint16_t up : keyed.count(static_cast<std::uint16_t>(prefix)) ? uppers : misses) {
                byteorder::PutLE16(s, static_cast<std::uint16_t>(prefix));
                byteorder::PutLE16(s + 2, up);
                const auto walk = Walk(set, s), table = Dispatched(set, s);
                if (walk != table) {
                    ADD_FAILURE() << "set " << set << " prefix " << prefix << " upper " << up;
                    return;
                }
            }
}

TEST(RawRegistry, PlaceholdersCarryTheirTypeAndNeverMatch) {
    auto& r = Registry();
    r.ReinitAnalyzeList(nullptr);
    auto* jpeg = r.GetAnalyserMap(1).at(0xE0FFD8FFu);
    EXPECT_EQ(jpeg->GetAnalyserType(), RAW_FILE_TYPE_JPG);
    auto* riff = r.GetAnalyserMap(0).at(byteorder::LE32("RIFF"));
    EXPECT_EQ(riff->GetAnalyserType(), 0xFFFFFFFFu);
    std::vector<std::uint8_t> sector(512 + 4096, 0);
    const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0};
    std::copy(std::begin(head), std::end(head), sector.begin());
    for (int set : {0, 1})
        for (auto* a : Dispatched(set, sector.data())) {
            if (dynamic_cast<CPendingAnalyser*>(a) == nullptr) continue;  // a written analyser may match
            CRawFileInfo info;
            EXPECT_EQ(a->AnalyseBuffer(sector.data(), info), 0) << Name(a);
            EXPECT_EQ(a->GetSpecialRawFile(), nullptr);
        }
}
