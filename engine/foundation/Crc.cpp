#include "foundation/Crc.h"

uint16_t CCRC::RunCRC16(const void* data, size_t length, uint16_t polynomial, uint16_t initial) {
    uint16_t table[256];
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t value = static_cast<uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            value =
                (value & 0x8000) ? static_cast<uint16_t>((value << 1) ^ polynomial) : static_cast<uint16_t>(value << 1);
        table[i] = value;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint16_t crc = initial;
    for (size_t i = 0; i < length; ++i) crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ bytes[i]) & 0xFF]);
    return crc;
}

uint32_t CCRC::RunCRC32(const void* data, size_t length, uint32_t polynomial, uint32_t initial) {
    uint32_t table[256];
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t value = i << 24;
        for (int bit = 0; bit < 8; ++bit) value = (value & 0x80000000u) ? ((value << 1) ^ polynomial) : (value << 1);
        table[i] = value;
    }
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    uint32_t crc = initial;
    for (size_t i = 0; i < length; ++i) crc = (crc << 8) ^ table[((crc >> 24) ^ bytes[i]) & 0xFF];
    return crc;
}
