// encode_shard_records: the shards method's payload of shard records in one
// call, what rans_encode_shards_parallel and pack_shard_payloads give together
// through the caller. The coder's regions (twice the symbols a call codes) are
// kept by the calling thread for its next call instead of mapped afresh.
#include <cstdint>
#include <string>

#include "core/common/buffer.hpp"
#include "core/common/check.hpp"
#include "core/rans/payload.hpp"
#include "core/rans/shard_encoder.hpp"
#include "kernels.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// Regions up to this size stay with their thread between calls.
constexpr std::size_t kKeptRegionBytes = std::size_t(1) << 26;

Buffer<uint8_t> encode_records(std::span<const uint8_t> data, std::span<const uint32_t> offsets,
                               std::span<const uint32_t> lengths, std::span<const uint64_t> cums,
                               std::span<const uint64_t> freqs, uint64_t initial_state) {
    thread_local Buffer<uint8_t> kept;
    EncodedShards r = kelm::rans_encode_shards_parallel(data, offsets, lengths, cums, freqs, initial_state, &kept);
    const std::size_t n = lengths.size();
    Buffer<uint32_t> at = Buffer<uint32_t>::uninit(n);
    uint64_t total = 0;
    for (std::size_t i = 0; i < n; ++i) {
        at[i] = uint32_t(total);
        total += kRecordHeader + uint64_t(r.bs_lengths[i]);
        if (total > UINT32_MAX) reject("shard records of " + std::to_string(total) + " bytes or more");
    }
    Buffer<uint8_t> payload = Buffer<uint8_t>::uninit(std::size_t(total));
    pack_shard_payloads(r.final_states.cspan(), r.bs_lengths.cspan(), r.bs_offsets.cspan(), r.bitstreams.cspan(),
                        payload.span(), at.cspan());
    if (r.bitstreams.size() <= kKeptRegionBytes) kept = std::move(r.bitstreams);
    return payload;
}

// encode_shard_records(data, offsets, lengths, cum_freqs, sym_freqs, initial_state)
// -> uint8 payload: per shard its four final states (u64), its byte count
//    (u32) and its bytes, shards in order.
PyObject* encode_shard_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_encode_shard_records, args, nargs, kwnames);
    const Array data_a = bind.array(DType::u8, 1);
    const Array offsets_a = bind.array(DType::u32, 1);
    const Array lengths_a = bind.array(DType::u32, 1);
    const Array cums_a = bind.array(DType::u64, 2);
    const Array freqs_a = bind.array(DType::u64, 2);
    const uint64_t initial_state = bind.u64();
    if (!bind) return nullptr;
    Taker take;
    const auto data = take.flat<uint8_t>(data_a);
    const auto offsets = take.flat<uint32_t>(offsets_a);
    const auto lengths = take.flat<uint32_t>(lengths_a);
    const Buffer<uint64_t> cums = take.copy<uint64_t>(cums_a);
    const Buffer<uint64_t> freqs = take.copy<uint64_t>(freqs_a);
    if (!take) return nullptr;
    Buffer<uint8_t> payload;
    if (!run_released_sized(data.size(), [&] {
            payload = encode_records(data, offsets, lengths, cums.cspan(), freqs.cspan(), initial_state);
        }))
        return nullptr;
    const std::size_t size = payload.size();
    return to_numpy(std::move(payload), {size});
}

}  // namespace

const py::Function fn_encode_shard_records{
    "encode_shard_records", {"data", "offsets", "lengths", "cum_freqs", "sym_freqs", "initial_state"},
    encode_shard_records};

}  // namespace kelm::codec
