#include "raw/RawContentProbes.h"

#include "raw/RawFileAnalyser.h"

namespace {

class CRawContentProbes : public IFileContentProbes {
public:
    bool HasFourByteKey(std::uint32_t key) override { return Registry().GetAnalyserMap(1).count(key) != 0; }

    bool MatchesTwoByteKey(std::uint16_t key, std::uint8_t* sector) override {
        auto range = Registry().GetAnalyserMultimap(1).equal_range(key);
        for (auto it = range.first; it != range.second; ++it) {
            if (!it->second) continue;
            CRawFileInfo info;
            if (it->second->AnalyseBuffer(sector, info)) return true;
        }
        return false;
    }

    bool MatchesUnkeyed(std::uint8_t* sector) override {
        for (IRawFileAnalyser* a : Registry().GetAnalyserList(1)) {
            if (!a) continue;
            CRawFileInfo info;
            if (a->AnalyseBuffer(sector, info)) return true;
        }
        return false;
    }

    const char* ExtensionOf(std::uint32_t rawType) override {
        return rawType < RAW_FILE_TYPE_COUNT ? g_s_strFileExtName[rawType] : nullptr;
    }

private:
    static CRawFileAnalyserListSingle& Registry() { return *CRawFileAnalyserListSingle::CreateInstance(); }
};

}  // namespace

IFileContentProbes* GetRawContentProbes() {
    static CRawContentProbes probes;
    return &probes;
}
