// The byte alphabet and the 12-bit frequency tables shared by the rANS coder,
// the table builders and the stored table formats.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm {

constexpr std::size_t kAlphabet = 256;           // symbols per table; row stride of frequency tables
constexpr std::size_t kCumLen = kAlphabet + 1;   // row stride of cumulative tables
constexpr unsigned kProbBits = 12;
constexpr uint64_t kProbScale = 1u << kProbBits;  // every table adds up to 4096
constexpr uint64_t kSlotMask = kProbScale - 1;

}  // namespace kelm
