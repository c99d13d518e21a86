#include "payload.hpp"

#include <cstring>

#include "check.hpp"

namespace kelm {

namespace {

// Little-endian bytes of value at out[pos...]; each index is tested, so a
// header that runs past the end stops at its first byte outside.
void put_le(std::span<uint8_t> out, std::size_t pos, uint64_t value, unsigned size) {
    if (pos + size <= out.size()) {
        for (unsigned k = 0; k < size; ++k) out[pos + k] = uint8_t(value >> (8 * k));
        return;
    }
    for (unsigned k = 0; k < size; ++k) at(out, pos + k) = uint8_t(value >> (8 * k));
}

}  // namespace

void pack_shard_payloads(std::span<const uint64_t> final_states, std::span<const uint32_t> bs_lengths,
                         std::span<const uint32_t> bs_offsets, std::span<const uint8_t> bitstreams,
                         std::span<uint8_t> out, std::span<const uint32_t> write_offsets) {
    for (std::size_t i = 0; i < bs_lengths.size(); ++i) {
        const std::size_t j = at(write_offsets, i);
        for (unsigned t = 0; t < 4; ++t) put_le(out, j + 8 * t, at(final_states, 4 * i + t), 8);
        const std::size_t len = bs_lengths[i];
        put_le(out, j + 32, len, 4);
        const std::size_t src = at(bs_offsets, i);
        auto dst = slice(out, j + 36, j + 36 + len);
        auto from = slice(bitstreams, src, src + len);
        // out may share memory with bitstreams_flat.
        if (len != 0) std::memmove(dst.data(), from.data(), len);
    }
}

}  // namespace kelm
