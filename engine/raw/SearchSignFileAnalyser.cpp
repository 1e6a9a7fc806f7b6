#include "raw/SearchSignFileAnalyser.h"

#include <algorithm>
#include <cstring>

#include "foundation/StorageDevice.h"
#include "raw/RawFileBuffer.h"
#include "raw/RawSearchState.h"
#include "raw/RawUtility.h"

namespace {

void ToCase(std::uint8_t* s, std::uint32_t n, bool upper) {
    for (std::uint32_t i = 0; i < n; ++i) {
        if (upper && s[i] >= 'a' && s[i] <= 'z') s[i] = static_cast<std::uint8_t>(s[i] - 'a' + 'A');
        if (!upper && s[i] >= 'A' && s[i] <= 'Z') s[i] = static_cast<std::uint8_t>(s[i] - 'A' + 'a');
    }
}

// The signature across the boundary before the sector at `offset`: the
// 2 x length bytes from length bytes before it (from the sector's start at
// offset 0).
bool Straddles(WindowReader& reader, std::uint64_t offset, const std::uint8_t* sign, std::uint32_t length) {
    std::uint8_t bytes[128];
    const std::uint64_t from = offset >= length ? offset - length : 0;
    if (!reader.Read(from, 2u * length, bytes)) return false;
    return Apimemstr(bytes, static_cast<int>(2 * length), sign, static_cast<int>(length)) != nullptr;
}

}  // namespace

int SearchSignFileAnalyser::SearchEndSignCode(CRawFileInfo& record, IStorageDevice* device,
                                              const SearchSignCodeInfo& info, int caseSensitive) {
    if (device == nullptr) return 0;
    CRawSearchState* state = GetSearchState();
    WindowReader reader(device, static_cast<std::uint64_t>(std::max<std::int64_t>(record.m_startSector, 0)), state);
    const std::uint32_t sectorSize = reader.Buffer().SectorSize();
    if (state) state->SearchEndSignSectorSize() = sectorSize;
    const std::uint32_t length = std::min<std::uint32_t>(info.length, sizeof info.sign);
    const std::uint64_t maxSize = info.maxSize ? info.maxSize : kDefaultMaxSize;
    std::uint8_t lower[64], upper[64];
    std::memcpy(lower, info.sign, length);
    std::memcpy(upper, info.sign, length);
    ToCase(lower, length, false);
    ToCase(upper, length, true);
    const int n = static_cast<int>(length);

    std::uint64_t offset = 0;
    while (offset <= maxSize && sectorSize >= 8) {
        const std::uint8_t* p = reader.At(offset);
        if (p == nullptr) break;
        // Files end in zero padding: only such a sector can hold the end.
        if (p[sectorSize - 1] == 0 && p[sectorSize - 2] == 0) {
            const int ss = static_cast<int>(sectorSize);
            if (caseSensitive) {
                if (const std::uint8_t* q = Apimemstr(p, ss, info.sign, n)) {
                    record.m_size = static_cast<std::int64_t>(offset + static_cast<std::uint64_t>(q - p) + length);
                    return 1;
                }
                static const std::uint8_t kZero8[8] = {};
                const bool paddedEnd = std::memcmp(p + sectorSize - 8, kZero8, 8) == 0;
                const bool found = length > 0 && Straddles(reader, offset, info.sign, length);
                if (paddedEnd || found) {
                    record.m_size = static_cast<std::int64_t>(found ? offset + length : offset);
                    return 1;
                }
            } else {
                const std::uint8_t* q = Apimemstr(p, ss, lower, n);
                if (q == nullptr) q = Apimemstr(p, ss, upper, n);
                if (q != nullptr) {
                    record.m_size = static_cast<std::int64_t>(offset + static_cast<std::uint64_t>(q - p) + length);
                    return 1;
                }
                if (length > 0 && Straddles(reader, offset, upper, length)) {
                    record.m_size = static_cast<std::int64_t>(offset + length);
                    return 1;
                }
            }
        }
        offset += sectorSize;
    }
    record.m_size = static_cast<std::int64_t>(offset);
    return 1;
}
