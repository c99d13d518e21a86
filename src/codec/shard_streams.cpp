// The codec's encoding pass: shard streams and statistics of a band in one
// call, and the alpha plane's residuals; RGBA and gray bands read in place.
#include <vector>

#include "core/image/forward_pass.hpp"
#include "core/image/predictors.hpp"
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

// Whether an RGBA argument has pixels of 4 samples; else ValueError.
bool four_samples(const Array& rgba) {
    if (rgba.shape()[2] == 4) return true;
    PyErr_SetString(PyExc_ValueError, "argument 'rgba': pixels of 4 samples expected");
    return false;
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

// alpha_residuals_rgba(h, w, rgba) -> (residuals uint8 (h, w), histogram uint64 (256,)):
// alpha_residuals of the alpha samples of rgba (uint8 (h, w, 4), read in
// memory order), and how often each residual occurs.
PyObject* alpha_residuals_rgba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_alpha_residuals_rgba, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array rgba_a = bind.array(DType::u8, 3);
    if (!bind || !four_samples(rgba_a)) return nullptr;
    Taker take;
    const auto rgba = take.flat<uint8_t>(rgba_a);
    if (!take) return nullptr;
    AlphaResiduals r;
    if (!run_released_sized(rgba.size(), [&] { r = kelm::alpha_residuals_rgba(h, w, rgba); })) return nullptr;
    return tuple_of({to_numpy(std::move(r.residuals), {h, w}), to_numpy(std::move(r.histogram), {256})});
}

// A band read where its samples are: the pass of shard_streams_rgb (or of
// shard_streams_predicted, unless the predictors are all 0) over the planes
// the band's layout gives.
PyObject* band_streams(const Function& fn, BandSamples::Layout layout, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    const bool rgba = layout == BandSamples::Layout::rgba;
    Binder bind(fn, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array band_a = bind.array(DType::u8, rgba ? 3 : 2);
    const uint64_t n = bind.u64();
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    const std::vector<uint64_t> pred_seq = bind.u64_sequence();
    if (!bind || (rgba && !four_samples(band_a))) return nullptr;
    PlanePredictors predictors{};
    if (!plane_predictors(pred_seq, predictors)) return nullptr;
    Taker take;
    const BandSamples band{layout, take.flat<uint8_t>(band_a), w};
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    ShardStreams r;
    if (!run_released_sized(band.samples.size(), [&] {
            r = predictors == PlanePredictors{} ? kelm::shard_streams(h, band, n, tables)
                                                : kelm::shard_streams_predicted(h, band, n, tables, predictors);
        }))
        return nullptr;
    return shard_streams_tuple(std::move(r), h, band.coded_width(), n);
}

// shard_streams_rgba(h, w, rgba, n_shards, s_lut, i_lut, d_lut, predictors)
//   rgba: uint8 (h, w, 4), read in memory order
// -> (streams, counts, histograms): those of shard_streams_predicted on the
//    band's red, green and blue
PyObject* shard_streams_rgba(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return band_streams(fn_shard_streams_rgba, BandSamples::Layout::rgba, args, nargs, kwnames);
}

// shard_streams_gray(h, w, gray, n_shards, s_lut, i_lut, d_lut, predictors)
//   gray: uint8 (h, w), read in memory order; its vertical strips of
//   cw = ceil(w / 3) columns (the last padded with copies of the last column)
//   are the gr, rd and bd planes
// -> (streams uint8 (3, h * cw), counts uint32 (3, n_shards), histograms uint32 (3, n_shards, 256))
PyObject* shard_streams_gray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return band_streams(fn_shard_streams_gray, BandSamples::Layout::strips, args, nargs, kwnames);
}

}  // namespace

PyObject* shard_streams_tuple(ShardStreams&& r, std::size_t h, std::size_t w, std::size_t n) {
    return py::tuple_of({py::to_numpy(std::move(r.streams), {3, h * w}), py::to_numpy(std::move(r.counts), {3, n}),
                         py::to_numpy(std::move(r.histograms), {3, n, 256})});
}

const py::Function fn_shard_streams_rgb{
    "shard_streams_rgb", {"h", "w", "rgb", "n_shards", "s_lut", "i_lut", "d_lut"}, shard_streams_rgb};
const py::Function fn_alpha_residuals{"alpha_residuals", {"h", "w", "alpha"}, alpha_residuals};
const py::Function fn_alpha_residuals_rgba{"alpha_residuals_rgba", {"h", "w", "rgba"}, alpha_residuals_rgba};
const py::Function fn_shard_streams_rgba{
    "shard_streams_rgba", {"h", "w", "rgba", "n_shards", "s_lut", "i_lut", "d_lut", "predictors"},
    shard_streams_rgba};
const py::Function fn_shard_streams_gray{
    "shard_streams_gray", {"h", "w", "gray", "n_shards", "s_lut", "i_lut", "d_lut", "predictors"},
    shard_streams_gray};

}  // namespace kelm::codec
