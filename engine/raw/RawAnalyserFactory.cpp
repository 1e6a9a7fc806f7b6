#include "raw/RawAnalyserFactory.h"

#include "raw/RawFileAnalyser.h"

namespace {

// One row per analyser class that is written; none yet.
const RawAnalyserFactoryRow kFactories[] = {
    {nullptr, nullptr},
};

}  // namespace

std::span<const RawAnalyserFactoryRow> RawAnalyserFactories() {
    // The sentinel row keeps the array non-empty until the first analyser lands.
    return std::span<const RawAnalyserFactoryRow>(kFactories, std::size(kFactories) - 1);
}
