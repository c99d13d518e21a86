// The codec's decoders: the sharded decoder and the plane decoder held to
// what the encoders write (kelm_rans's decoders accept more).
#include "core/plane/plane_coder.hpp"
#include "core/rans/shard_exact.hpp"
#include "kernels.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// decode_shards(payload, shard_counts, cum_freqs, sym_freqs, lookups, initial_state) -> uint8 (sum(counts),)
//   as rans_decode_shards_parallel, the tables (n, 257), (n, 256), (n, 4096) in
//   row-major order; ValueError unless the records fill the payload and every
//   shard reads all of its bytes and ends at initial_state.
PyObject* decode_shards(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_decode_shards, args, nargs, kwnames);
    const Array payload_a = bind.array(DType::u8, 1), counts_a = bind.array(DType::u32, 1);
    const Array cum_a = bind.array(DType::u64, 2), sym_a = bind.array(DType::u64, 2);
    const Array lookups_a = bind.array(DType::u8, 2);
    const uint64_t initial_state = bind.u64();
    if (!bind) return nullptr;
    Taker take;
    const auto payload = take.flat<uint8_t>(payload_a);
    const auto counts = take.flat<uint32_t>(counts_a);
    const auto cums = take.flat<uint64_t>(cum_a);
    const auto syms = take.flat<uint64_t>(sym_a);
    const auto lookups = take.flat<uint8_t>(lookups_a);
    if (!take) return nullptr;
    Buffer<uint8_t> out;
    if (!run_released([&] { out = rans_decode_shards_exact(payload, counts, cums, syms, lookups, initial_state); }))
        return nullptr;
    const std::size_t n = out.size();
    return to_numpy(std::move(out), {n});
}

// decode_plane(bitstream, st0, st1, st2, st3, h, w, all_cf, all_sf, ref_flat, s_lut, i_lut, d_lut) -> uint8 (h, w)
//   bp_decode_sharded (ref_flat empty) or bp_decode_sharded_with_ref; ValueError
//   where the stream runs out, and unless it is read exactly and ends at the start state.
PyObject* decode_plane(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_decode_plane, args, nargs, kwnames);
    const Array bitstream = bind.array(DType::u8, 1);
    std::array<uint64_t, 4> st;
    for (uint64_t& s : st) s = bind.u64();
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array cf_a = bind.array(DType::u16, 3), sf_a = bind.array(DType::u16, 3), ref_a = bind.array(DType::u8, 1);
    const Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    if (!bind) return nullptr;
    Taker take;
    const auto bytes = take.flat<uint8_t>(bitstream);
    const auto cf = take.flat<uint16_t>(cf_a);
    const auto sf = take.flat<uint16_t>(sf_a);
    const auto ref = take.flat<uint8_t>(ref_a);
    const ContextTables tables{take.flat<uint8_t>(s_lut), take.flat<uint8_t>(i_lut), take.flat<uint8_t>(d_lut)};
    if (!take) return nullptr;
    Buffer<uint8_t> out;
    if (!run_released([&] { out = plane::bp_decode_exact({bytes, st, h, w}, cf, sf, ref, tables); })) return nullptr;
    return to_numpy(std::move(out), {h, w});
}

}  // namespace

const py::Function fn_decode_shards{
    "decode_shards", {"payload", "shard_counts", "cum_freqs", "sym_freqs", "lookups", "initial_state"}, decode_shards};
const py::Function fn_decode_plane{
    "decode_plane",
    {"bitstream", "st0", "st1", "st2", "st3", "h", "w", "all_cf", "all_sf", "ref_flat", "s_lut", "i_lut", "d_lut"},
    decode_plane};

}  // namespace kelm::codec
