// The codec's encoding pass: shard streams and statistics of a band in one
// call, and the alpha plane's residuals.
#include "core/image/forward_pass.hpp"
#include "core/image/shard_streams.hpp"
#include "kernels.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// shard_streams_rgb(h, w, rgb, n_shards, s_lut, i_lut, d_lut)
//   rgb: uint8 (h, w, 3), read in memory order
// -> (streams uint8 (3, h * w), counts uint32 (3, n_shards), histograms uint32 (3, n_shards, 256)):
//    what p1_rgb counts and p2_rgb writes, without the planes in between.
PyObject* shard_streams_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_shard_streams_rgb, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array rgb_a = bind.array(DType::u8, 3);
    const uint64_t n = bind.u64();
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto rgb = take.flat<uint8_t>(rgb_a);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    ShardStreams r;
    if (!run_released_sized(rgb.size(), [&] { r = kelm::shard_streams_rgb(h, w, rgb, n, tables); })) return nullptr;
    return shard_streams_tuple(std::move(r), h, w, n);
}

// alpha_residuals(h, w, alpha) -> uint8 (h, w): the folded residuals of the
// alpha plane's simple predictor, raster order (inverse: reconstruct_2d_channels).
PyObject* alpha_residuals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_alpha_residuals, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array alpha_a = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto alpha = take.flat<uint8_t>(alpha_a);
    if (!take) return nullptr;
    AlphaResult r;
    if (!run_released_sized(alpha.size(), [&] { r = alpha_pass(h, w, alpha); })) return nullptr;
    return to_numpy(std::move(r.residuals), {h, w});
}

}  // namespace

PyObject* shard_streams_tuple(ShardStreams&& r, std::size_t h, std::size_t w, std::size_t n) {
    return py::tuple_of({py::to_numpy(std::move(r.streams), {3, h * w}), py::to_numpy(std::move(r.counts), {3, n}),
                         py::to_numpy(std::move(r.histograms), {3, n, 256})});
}

const py::Function fn_shard_streams_rgb{
    "shard_streams_rgb", {"h", "w", "rgb", "n_shards", "s_lut", "i_lut", "d_lut"}, shard_streams_rgb};
const py::Function fn_alpha_residuals{"alpha_residuals", {"h", "w", "alpha"}, alpha_residuals};

}  // namespace kelm::codec
