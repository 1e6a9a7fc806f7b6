#include "hfsplus/LZVN.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "foundation/ByteOrder.h"

namespace {
enum OpKind : std::uint8_t { kSmlD, kMedD, kLrgD, kPreD, kSmlM, kLrgM, kSmlL, kLrgL, kNop, kEos, kUndef };

// The opcode class of each first byte.
constexpr OpKind Classify(unsigned b) {
    if (b == 0x06) return kEos;
    if (b == 0x0E || b == 0x16) return kNop;
    if (b >= 0x70 && b <= 0x7F) return kUndef;
    if (b >= 0xD0 && b <= 0xDF) return kUndef;
    if (b >= 0xA0 && b <= 0xBF) return kMedD;
    if (b == 0xE0) return kLrgL;
    if (b > 0xE0 && b <= 0xEF) return kSmlL;
    if (b == 0xF0) return kLrgM;
    if (b > 0xF0) return kSmlM;
    if ((b & 7) == 7) return kLrgD;
    if ((b & 7) == 6) return b < 0x40 ? kUndef : kPreD;  // 0x1E..0x3E are undefined
    return kSmlD;
}
}  // namespace

std::size_t lzvn_decode(void* dstVoid, std::size_t dstSize, const void* srcVoid, std::size_t srcSize) {
    auto* dst = static_cast<std::uint8_t*>(dstVoid);
    const auto* src = static_cast<const std::uint8_t*>(srcVoid);
    if (!dst || !src) return 0;
    std::size_t s = 0;         // source position
    std::size_t d = 0;         // bytes produced
    std::size_t distance = 0;  // the previous match distance

    while (s < srcSize && d < dstSize) {
        const unsigned op = src[s];
        std::size_t opLen = 1, literals = 0, match = 0;
        bool newDistance = false;
        std::size_t dist = distance;
        switch (Classify(op)) {
        case kEos:
        case kUndef:
            return d;
        case kNop:
            ++s;
            continue;
        case kSmlD:
            if (srcSize - s < 2) return d;
            opLen = 2;
            literals = op >> 6;
            match = ((op >> 3) & 7) + 3;
            dist = (static_cast<std::size_t>(op & 7) << 8) | src[s + 1];
            newDistance = true;
            break;
        case kMedD: {
            if (srcSize - s < 3) return d;
            opLen = 3;
            literals = (op >> 3) & 3;
            unsigned w = byteorder::LE16(src + s + 1);
            match = (((op & 7) << 2) | (w & 3)) + 3;
            dist = w >> 2;
            newDistance = true;
            break;
        }
        case kLrgD:
            if (srcSize - s < 3) return d;
            opLen = 3;
            literals = op >> 6;
            match = ((op >> 3) & 7) + 3;
            dist = byteorder::LE16(src + s + 1);
            newDistance = true;
            break;
        case kPreD:
            literals = op >> 6;
            match = ((op >> 3) & 7) + 3;
            break;
        case kSmlM:
            match = op & 0xF;
            break;
        case kLrgM:
            if (srcSize - s < 2) return d;
            opLen = 2;
            match = static_cast<std::size_t>(src[s + 1]) + 16;
            break;
        case kSmlL:
            literals = op & 0xF;
            break;
        case kLrgL:
            if (srcSize - s < 2) return d;
            opLen = 2;
            literals = static_cast<std::size_t>(src[s + 1]) + 16;
            break;
        }
        s += opLen;
        // Literals follow the opcode.
        if (literals) {
            if (srcSize - s < literals) {
                // Deliver what the source holds, then stop.
                std::size_t n = std::min(srcSize - s, dstSize - d);
                std::memcpy(dst + d, src + s, n);
                return d + n;
            }
            std::size_t n = std::min(literals, dstSize - d);
            std::memcpy(dst + d, src + s, n);
            d += n;
            s += literals;
            if (n < literals) return d;
        }
        if (match) {
            if (dist == 0 || dist > d) return d;  // before the start of the output
            if (newDistance) distance = dist;
            std::size_t n = std::min(match, dstSize - d);
            // Byte by byte: a match may overlap what it produces.
            for (std::size_t i = 0; i < n; ++i, ++d) dst[d] = dst[d - dist];
            if (n < match) return d;
        } else if (newDistance) {
            distance = dist;
        }
    }
    return d;
}
