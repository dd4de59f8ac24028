// The 64-bit CRC of the scan's fingerprints: polynomial 0x42F0E1EBA9EA3693,
// most significant bit first, initial value all ones, complemented at the end.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr uint64_t kCrc64Start = ~0ull;

// Feeds bytes through a running register (start with kCrc64Start).
uint64_t Crc64Update(uint64_t crc, const void* data, size_t length);
inline uint64_t Crc64Finish(uint64_t crc) { return ~crc; }
// The finished CRC of one block of bytes.
uint64_t Crc64(const void* data, size_t length);
