#include "core/rans/payload.hpp"

#include <cstring>

#include "core/common/check.hpp"

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

uint64_t get_le(const uint8_t* p, unsigned size) {
    uint64_t v = 0;
    for (unsigned k = size; k-- > 0;) v = (v << 8) | p[k];
    return v;
}

}  // namespace

void pack_shard_payloads(std::span<const uint64_t> final_states, std::span<const uint32_t> bs_lengths,
                         std::span<const uint32_t> bs_offsets, std::span<const uint8_t> bitstreams,
                         std::span<uint8_t> out, std::span<const uint32_t> write_offsets) {
    for (std::size_t i = 0; i < bs_lengths.size(); ++i) {
        const std::size_t j = at(write_offsets, i);
        for (unsigned t = 0; t < kRecordStates; ++t)
            put_le(out, j + 8 * t, at(final_states, kRecordStates * i + t), 8);
        const std::size_t len = bs_lengths[i];
        put_le(out, j + kRecordLengthAt, len, 4);
        const std::size_t src = at(bs_offsets, i);
        auto dst = slice(out, j + kRecordHeader, j + kRecordHeader + len);
        auto from = slice(bitstreams, src, src + len);
        // out may share memory with bitstreams_flat.
        if (len != 0) std::memmove(dst.data(), from.data(), len);
    }
}

Buffer<ShardRecord> read_shard_records(std::span<const uint8_t> payload, std::size_t n, uint64_t& consumed) {
    Buffer<ShardRecord> records = Buffer<ShardRecord>::uninit(n);
    uint64_t q = 0;
    for (std::size_t i = 0; i < n; ++i) {
        ShardRecord& r = records[i];
        for (unsigned f = 0; f < kRecordStates; ++f) {
            if (q + 8 * f + 8 > payload.size()) panic_range_end(q + 8 * f + 8, payload.size());
            r.st[f] = get_le(payload.data() + q + 8 * f, 8);
        }
        if (q + kRecordHeader > payload.size()) panic_range_end(q + kRecordHeader, payload.size());
        r.len = uint32_t(get_le(payload.data() + q + kRecordLengthAt, 4));
        r.start = q + kRecordHeader;
        q = r.start + r.len;
    }
    consumed = q;
    return records;
}

}  // namespace kelm
