// CRC-32 (the zlib and PNG checksum, reflected polynomial 0xEDB88320) of a
// byte range, continuing from a previous value as zlib's crc32 does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm {

// By carry-less multiplication where the CPU has it (unless KELM_SIMD is
// "scalar"), else by table; both give zlib's value.
uint32_t crc32(uint32_t crc, const uint8_t* data, std::size_t len);

// The table version alone: the reference the folding one is tested against.
uint32_t crc32_table(uint32_t crc, const uint8_t* data, std::size_t len);

}  // namespace kelm
