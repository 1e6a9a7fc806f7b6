#pragma once

#include <cstddef>
#include <cstdint>

// Plain table-driven CRCs: no reflection, no final XOR. With polynomial 0x8005
// and initial value 0 the 16-bit variant is the one scan-result files carry
// in their header (CRC-16/UMTS).
class CCRC {
public:
    static uint16_t RunCRC16(const void* data, size_t length, uint16_t polynomial, uint16_t initial = 0);
    static uint32_t RunCRC32(const void* data, size_t length, uint32_t polynomial, uint32_t initial = 0);
};
