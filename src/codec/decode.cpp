// The codec's decoders: the sharded decoder and the plane decoder held to
// what the encoders write (kelm_rans's decoders accept more).
#include <vector>

#include "core/image/decode_bands.hpp"
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
    std::size_t symbols = 0;
    for (const uint32_t c : counts) symbols += c;
    Buffer<uint8_t> out;
    const auto decode = [&] { out = rans_decode_shards_exact(payload, counts, cums, syms, lookups, initial_state); };
    if (!run_released_sized(symbols, decode))
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
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    Buffer<uint8_t> out;
    const std::size_t pixels = h && w > SIZE_MAX / h ? SIZE_MAX : h * w;
    if (!run_released_sized(pixels, [&] { out = plane::bp_decode_exact({bytes, st, h, w}, cf, sf, ref, tables); }))
        return nullptr;
    return to_numpy(std::move(out), {h, w});
}

// decode_bands_rgb(out, heights, payloads, payload_sizes, counts, cum_freqs, sym_freqs, lookups,
//                  alpha_payloads, alpha_sizes, alpha_cum, alpha_sym, alpha_lookups, s_lut, i_lut, d_lut,
//                  initial_state, piece_pixels, predictors) -> None
//   Decodes consecutive bands of an RGB or RGBA shards image into out (uint8
//   (sum(heights), w, 3 or 4), C-contiguous, written in full): band b's
//   records are the next payload_sizes[b] bytes of payloads, its shard counts
//   counts[b] (3 n); alpha likewise (empty for RGB). Tables as decode_shards,
//   for the 3 n colour shards and the one alpha shard. Bands of more than
//   piece_pixels pixels decode their shards a piece at a time (less memory).
//   predictors: the file's predictor of gr, rd and bd (0, 0, 0 unless flagged).
PyObject* decode_bands_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_decode_bands_rgb, args, nargs, kwnames);
    const Array out_a = bind.array(DType::u8, 3);
    const std::vector<uint64_t> heights = bind.u64_sequence();
    const Array payloads_a = bind.array(DType::u8, 1);
    const std::vector<uint64_t> sizes = bind.u64_sequence();
    const Array counts_a = bind.array(DType::u32, 2);
    const Array cum_a = bind.array(DType::u64, 2), sym_a = bind.array(DType::u64, 2);
    const Array lookups_a = bind.array(DType::u8, 2);
    const Array alpha_a = bind.array(DType::u8, 1);
    const std::vector<uint64_t> alpha_sizes = bind.u64_sequence();
    const Array alpha_cum_a = bind.array(DType::u64, 2), alpha_sym_a = bind.array(DType::u64, 2);
    const Array alpha_lookups_a = bind.array(DType::u8, 2);
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    const uint64_t initial_state = bind.u64(), piece_pixels = bind.u64();
    const std::vector<uint64_t> predictors = bind.u64_sequence();
    if (!bind) return nullptr;
    if (predictors.size() != 3 || predictors[0] > 255 || predictors[1] > 255 || predictors[2] > 255) {
        PyErr_SetString(PyExc_ValueError, "predictors must be three predictor numbers (gr, rd, bd)");
        return nullptr;
    }
    const std::vector<std::size_t> shape = out_a.shape(), counts_shape = counts_a.shape();
    const bool rgba = shape[2] == 4;
    if (counts_shape[0] != heights.size() || sizes.size() != heights.size() ||
        alpha_sizes.size() != (rgba ? heights.size() : 0)) {
        PyErr_SetString(PyExc_ValueError, "counts, payload_sizes and alpha_sizes must have one entry per band "
                                          "(alpha_sizes none without alpha)");
        return nullptr;
    }
    Taker take;
    const auto out = take.out<uint8_t>(out_a, "out");
    const auto payloads = take.flat<uint8_t>(payloads_a);
    const auto counts = take.flat<uint32_t>(counts_a);
    const ShardCoding colour{take.flat<uint64_t>(cum_a), take.flat<uint64_t>(sym_a), take.flat<uint8_t>(lookups_a)};
    const auto alpha_bytes = take.flat<uint8_t>(alpha_a);
    const ShardCoding alpha{take.flat<uint64_t>(alpha_cum_a), take.flat<uint64_t>(alpha_sym_a),
                            take.flat<uint8_t>(alpha_lookups_a)};
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    std::vector<BandInput> bands(heights.size());
    std::size_t at = 0, alpha_at = 0;
    for (std::size_t b = 0; b < bands.size(); ++b) {
        if (sizes[b] > payloads.size() - at || (rgba && alpha_sizes[b] > alpha_bytes.size() - alpha_at)) {
            PyErr_Format(PyExc_ValueError, "band %zu's records run past the payloads", b);
            return nullptr;
        }
        bands[b].h = heights[b];
        bands[b].payload = payloads.subspan(at, sizes[b]);
        bands[b].counts = counts.subspan(b * counts_shape[1], counts_shape[1]);
        at += sizes[b];
        if (rgba) {
            bands[b].alpha_payload = alpha_bytes.subspan(alpha_at, alpha_sizes[b]);
            alpha_at += alpha_sizes[b];
        }
    }
    if (!run_released_sized(out.size(), [&] {
            decode_colour_bands(bands, shape[1], shape[2], out, colour, alpha, tables, initial_state,
                                piece_pixels, {uint8_t(predictors[0]), uint8_t(predictors[1]), uint8_t(predictors[2])});
        }))
        return nullptr;
    Py_RETURN_NONE;
}

}  // namespace

const py::Function fn_decode_bands_rgb{
    "decode_bands_rgb",
    {"out", "heights", "payloads", "payload_sizes", "counts", "cum_freqs", "sym_freqs", "lookups", "alpha_payloads",
     "alpha_sizes", "alpha_cum", "alpha_sym", "alpha_lookups", "s_lut", "i_lut", "d_lut", "initial_state",
     "piece_pixels", "predictors"},
    decode_bands_rgb};
const py::Function fn_decode_shards{
    "decode_shards", {"payload", "shard_counts", "cum_freqs", "sym_freqs", "lookups", "initial_state"}, decode_shards};
const py::Function fn_decode_plane{
    "decode_plane",
    {"bitstream", "st0", "st1", "st2", "st3", "h", "w", "all_cf", "all_sf", "ref_flat", "s_lut", "i_lut", "d_lut"},
    decode_plane};

}  // namespace kelm::codec
