// The document analysers: PDF and PostScript, text documents, e-books,
// page layouts, notebooks and mail stores, and the zero-ended record they
// share with other formats.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "foundation/ByteOrder.h"
#include "raw/ZeroEndRawFileInfo.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The context the driver gives a sector: its trailing zero bytes counted in
// steps of 4 up to 32, and a view holding just that sector.
CRawFileInfo::SearchContext ContextFor(const std::uint8_t* sector, std::uint32_t size, std::int64_t number) {
    CRawFileInfo::SearchContext ctx;
    std::uint32_t trailing = 0;
    for (int k = 1; k <= 8 && 4u * k <= size; ++k) {
        if (byteorder::LE32(sector + size - 4 * k) != 0) break;
        trailing += 4;
    }
    ctx.trailingZeroBytes = trailing;
    ctx.bufferStartSector = number;
    ctx.blockEndSector = number + 1;
    ctx.view = SectorView::ForSector(sector, size, number, 0);
    return ctx;
}

// Feeds `data` (zero-padded to whole sectors, then `extraSectors` zero
// sectors) sector by sector, starting at sector `start`, until the record
// answers 1; returns that answer (0 when it never did).
int Stream(CRawFileInfo& record, const Bytes& data, std::uint32_t sectorSize, std::int64_t start = 7,
           int extraSectors = 8) {
    Bytes padded(data);
    padded.resize((data.size() + sectorSize - 1) / sectorSize * sectorSize + extraSectors * sectorSize, 0);
    record.m_startSector = start;
    for (std::size_t at = 0; at < padded.size(); at += sectorSize) {
        const std::int64_t number = start + static_cast<std::int64_t>(at / sectorSize);
        CRawFileInfo::SearchContext ctx = ContextFor(padded.data() + at, sectorSize, number);
        if (record.CalcRawSize(padded.data() + at, static_cast<int>(sectorSize), number, ctx) == 1) return 1;
    }
    return 0;
}

Bytes Text(std::size_t n, char fill = 'x') {
    Bytes b(n, static_cast<std::uint8_t>(fill));
    for (std::size_t i = 79; i < n; i += 80) b[i] = '\n';
    return b;
}

TEST(ZeroEndRawFileInfo, EndsAtTheLastDataByteOfTheFirstZeroTailedSector) {
    struct Case {
        const char* what;
        std::size_t length;
        std::uint32_t unit;
        std::uint64_t skipUntil;
        std::uint64_t cap;
        std::int64_t want;
    };
    const Case cases[] = {
        {"a few bytes", 5, 1, 0, 1 << 30, 5},
        {"ends 1 byte into a sector", 4097, 1, 0, 1 << 30, 4097},
        // Under one zero word the sector does not count as padded: the
        // next, empty sector ends the file and the 3 zero bytes stay.
        {"ends 3 bytes before a sector end", 4096 - 3, 1, 0, 1 << 30, 4096},
        {"ends 20 bytes before a sector end", 4096 - 20, 1, 0, 1 << 30, 4096 - 20},
        {"ends 33 bytes before a sector end", 4096 - 33, 1, 0, 1 << 30, 4096 - 33},
        {"ends exactly on a sector end: the next, empty sector ends it", 4096, 1, 0, 1 << 30, 4096},
        {"step of 4 keeps the last byte", 1001, 4, 0, 1 << 30, 1001},
        {"zero tail before the skip-until position is passed", 1000, 1, 3000, 1 << 30, 3072},
        {"cut at the cap", 10000, 1, 0, 2048, 2048},
    };
    for (std::uint32_t sectorSize : {512u, 4096u}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + " / sector " + std::to_string(sectorSize));
            Bytes data = Text(c.length);
            // A zero inside the data, short of a whole tail, never ends it.
            if (c.length > 600) data[c.length - 300] = 0;
            CZeroEndRawFileInfo record(c.cap, c.unit);
            record.m_skipUntil = c.skipUntil;
            ASSERT_EQ(Stream(record, data, sectorSize), 1);
            std::int64_t want = c.want;
            // Past the skip-until position the first sector seen is all padding.
            if (c.skipUntil) want = static_cast<std::int64_t>((c.skipUntil + sectorSize - 1) / sectorSize * sectorSize);
            EXPECT_EQ(record.m_size, want);
        }
    }
}

TEST(ZeroEndRawFileInfo, ARunOfZerosInsideTheLastSectorDoesNotCutTheFile) {
    // 100 bytes of text, 64 zero bytes, 100 bytes of text, then padding: a
    // bisection probing the inner run would end the file at 100.
    Bytes data = Text(264);
    std::memset(data.data() + 100, 0, 64);
    for (std::uint32_t unit : {1u, 4u}) {
        CZeroEndRawFileInfo record(1 << 30, unit);
        ASSERT_EQ(Stream(record, data, 512), 1);
        EXPECT_EQ(record.m_size, 264);
    }
    const std::uint8_t allZero[16] = {};
    EXPECT_EQ(CZeroEndRawFileInfo::LastDataEnd(allZero, sizeof allZero, 4), 0u);
    EXPECT_EQ(CZeroEndRawFileInfo::LastDataEnd(data.data(), 1, 4), 1u);
    EXPECT_EQ(CZeroEndRawFileInfo::LastDataEnd(nullptr, 16, 4), 0u);
}

}  // namespace
