// The sharded rANS codec's Python-facing functions.
#include <cstring>

#include "core/rans/coder.hpp"
#include "core/rans/payload.hpp"
#include "core/rans/shard_decoder.hpp"
#include "core/rans/shard_encoder.hpp"
#include "errors.hpp"
#include "functions.hpp"

namespace kelm::py {

namespace {

PyObject* get_magic_lut(PyObject*, PyObject*) {
    Buffer<uint64_t> copy = Buffer<uint64_t>::copy_of({magic_lut(), kMagicLen});
    return to_numpy(std::move(copy), {kMagicLen});
}

PyObject* rans_encode_shards_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_rans_encode_shards_parallel, args, nargs, kwnames);
    Array data_flat = bind.array(DType::u8, 1);
    Array shard_offsets = bind.array(DType::u32, 1);
    Array shard_lengths = bind.array(DType::u32, 1);
    Array cum_freqs = bind.array(DType::u64, 2);
    Array sym_freqs = bind.array(DType::u64, 2);
    uint64_t initial_state = bind.u64();
    if (!bind) return nullptr;

    Taker take;
    const auto data = take.flat<uint8_t>(data_flat);
    const auto offsets = take.flat<uint32_t>(shard_offsets);
    const auto lengths = take.flat<uint32_t>(shard_lengths);
    Buffer<uint64_t> cums = take.copy<uint64_t>(cum_freqs);
    Buffer<uint64_t> freqs = take.copy<uint64_t>(sym_freqs);
    if (!take) return nullptr;

    EncodedShards r;
    if (!run_released([&] {
            r = kelm::rans_encode_shards_parallel(data, offsets, lengths, cums.cspan(), freqs.cspan(), initial_state);
        }))
        return nullptr;
    const std::size_t n = lengths.size();
    const std::size_t total = r.bitstreams.size();
    return tuple_of({to_numpy(std::move(r.final_states), {n, 4}), to_numpy(std::move(r.bitstreams), {total}),
                     to_numpy(std::move(r.bs_offsets), {n}), to_numpy(std::move(r.bs_lengths), {n})});
}

PyObject* rans_decode_shards_parallel(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_rans_decode_shards_parallel, args, nargs, kwnames);
    Array payload_arr = bind.array(DType::u8, 1);
    Array shard_counts = bind.array(DType::u32, 1);
    Array cum_freqs = bind.array(DType::u64, 2);
    Array sym_freqs = bind.array(DType::u64, 2);
    Array lookups_arr = bind.array(DType::u8, 2);
    if (!bind) return nullptr;

    Taker take;
    const auto payload = take.flat<uint8_t>(payload_arr);
    const auto counts = take.flat<uint32_t>(shard_counts);
    Buffer<uint64_t> cums = take.copy<uint64_t>(cum_freqs);
    Buffer<uint64_t> freqs = take.copy<uint64_t>(sym_freqs);
    Buffer<uint8_t> lookups = take.copy<uint8_t>(lookups_arr);
    if (!take) return nullptr;

    DecodedShards r;
    if (!run_released([&] {
            r = kelm::rans_decode_shards_parallel(payload, counts, cums.cspan(), freqs.cspan(), lookups.cspan());
        }))
        return nullptr;
    const std::size_t total = r.decoded.size();
    return tuple_of({to_numpy(std::move(r.decoded), {total}), PyLong_FromUnsignedLongLong(r.consumed)});
}

PyObject* rans_decode_4way_core(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_rans_decode_4way_core, args, nargs, kwnames);
    uint64_t st[4];
    for (uint64_t& s : st) s = bind.u64();
    Array bitstream = bind.array(DType::u8, 1);
    Array cum_freqs = bind.array(DType::u64, 1);
    Array sym_freqs = bind.array(DType::u64, 1);
    Array slot_lookup = bind.array(DType::u8, 1);
    Array out_arr = bind.array(DType::u8, 1);
    if (!bind) return nullptr;

    Taker take;
    auto bytes = take.flat<uint8_t>(bitstream);
    auto cums = take.flat<uint64_t>(cum_freqs);
    auto freqs = take.flat<uint64_t>(sym_freqs);
    auto lookup = take.flat<uint8_t>(slot_lookup);
    auto out = take.out<uint8_t>(out_arr, "out");
    if (!take) return nullptr;

    if (!run_kept([&] { kelm::rans_decode_4way(st, bytes, cums, freqs, lookup, out); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* pack_shard_payloads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_pack_shard_payloads, args, nargs, kwnames);
    Array final_states_arr = bind.array(DType::u64, 2);
    Array bs_lengths = bind.array(DType::u32, 1);
    Array bs_offsets = bind.array(DType::u32, 1);
    Array bitstreams_flat = bind.array(DType::u8, 1);
    Array out_arr = bind.array(DType::u8, 1);
    Array write_offsets = bind.array(DType::u32, 1);
    if (!bind) return nullptr;

    Taker take;
    Buffer<uint64_t> states = take.copy<uint64_t>(final_states_arr);
    const auto lengths = take.flat<uint32_t>(bs_lengths);
    const auto offsets = take.flat<uint32_t>(bs_offsets);
    const auto streams = take.flat<uint8_t>(bitstreams_flat);
    const auto out = take.out<uint8_t>(out_arr, "out");
    const auto writes = take.flat<uint32_t>(write_offsets);
    if (!take) return nullptr;

    if (!run_kept([&] { kelm::pack_shard_payloads(states.cspan(), lengths, offsets, streams, out, writes); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* build_all_lookups(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_build_all_lookups, args, nargs, kwnames);
    Array all_cum_freqs = bind.array(DType::u64, 3);
    if (!bind) return nullptr;

    Taker take;
    Buffer<uint64_t> cums = take.copy<uint64_t>(all_cum_freqs);
    if (!take) return nullptr;
    const std::vector<std::size_t> shape = all_cum_freqs.shape();

    Buffer<uint8_t> lookups;
    if (!run_released([&] { lookups = kelm::build_all_lookups(cums.cspan(), checked_mul(shape[0], shape[1])); }))
        return nullptr;
    return to_numpy(std::move(lookups), {shape[0], shape[1], std::size_t(kProbScale)});
}

}  // namespace

const Function fn_get_magic_lut{"get_magic_lut", {}, nullptr, get_magic_lut};
const Function fn_rans_encode_shards_parallel{
    "rans_encode_shards_parallel",
    {"data_flat", "shard_offsets", "shard_lengths", "cum_freqs", "sym_freqs", "initial_state"},
    rans_encode_shards_parallel};
const Function fn_rans_decode_shards_parallel{
    "rans_decode_shards_parallel", {"payload", "shard_counts", "cum_freqs", "sym_freqs", "lookups"},
    rans_decode_shards_parallel};
const Function fn_rans_decode_4way_core{
    "rans_decode_4way_core",
    {"st0", "st1", "st2", "st3", "bitstream", "cum_freqs", "sym_freqs", "slot_lookup", "out"},
    rans_decode_4way_core};
const Function fn_pack_shard_payloads{
    "pack_shard_payloads",
    {"final_states", "bs_lengths", "bs_offsets", "bitstreams_flat", "out", "write_offsets"},
    pack_shard_payloads};
const Function fn_build_all_lookups{"build_all_lookups", {"all_cum_freqs"}, build_all_lookups};

}  // namespace kelm::py
