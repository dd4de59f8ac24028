// Table-driven CRC-64, one table of 256 values built at compile time.
#include "crc64.h"

#include <array>

namespace {

constexpr uint64_t kPolynomial = 0x42F0E1EBA9EA3693ull;

constexpr std::array<uint64_t, 256> MakeTable() {
    std::array<uint64_t, 256> table{};
    for (uint64_t byte = 0; byte < 256; ++byte) {
        uint64_t value = byte << 56;
        for (int bit = 0; bit < 8; ++bit) value = (value & (1ull << 63)) ? (value << 1) ^ kPolynomial : value << 1;
        table[byte] = value;
    }
    return table;
}

constexpr std::array<uint64_t, 256> kTable = MakeTable();

}  // namespace

uint64_t Crc64Update(uint64_t crc, const void* data, size_t length) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < length; ++i) crc = kTable[((crc >> 56) ^ bytes[i]) & 0xFF] ^ (crc << 8);
    return crc;
}

uint64_t Crc64(const void* data, size_t length) { return Crc64Finish(Crc64Update(kCrc64Start, data, length)); }
