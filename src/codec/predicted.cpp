// The shards method with a predictor per plane (format version 2): the
// encoding pass and the band reconstruction.
#include <vector>

#include "core/image/predictors.hpp"
#include "kernels.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// shard_streams_predicted(h, w, rgb, n_shards, s_lut, i_lut, d_lut, predictors)
//   as shard_streams_rgb, each plane (gr, rd, bd) predicted by its own predictor
PyObject* shard_streams_predicted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_shard_streams_predicted, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array rgb_a = bind.array(DType::u8, 3);
    const uint64_t n = bind.u64();
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    const std::vector<uint64_t> pred_seq = bind.u64_sequence();
    if (!bind) return nullptr;
    PlanePredictors predictors{};
    if (!plane_predictors(pred_seq, predictors)) return nullptr;
    Taker take;
    const auto rgb = take.flat<uint8_t>(rgb_a);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    ShardStreams r;
    if (!run_released_sized(rgb.size(), [&] { r = kelm::shard_streams_predicted(h, w, rgb, n, tables, predictors); }))
        return nullptr;
    return shard_streams_tuple(std::move(r), h, w, n);
}

// reconstruct_predicted(heights, w, residuals, offsets, s_lut, i_lut, d_lut, predictors)
//   as reconstruct_bands_rgb, for streams of shard_streams_predicted
PyObject* reconstruct_predicted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_reconstruct_predicted, args, nargs, kwnames);
    const std::vector<uint64_t> heights = bind.u64_sequence();
    const uint64_t w = bind.u64();
    const Array res_a = bind.array(DType::u8, 1);
    const Array off_a = bind.array(DType::u32, 3);
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    const std::vector<uint64_t> pred_seq = bind.u64_sequence();
    if (!bind) return nullptr;
    PlanePredictors predictors{};
    if (!plane_predictors(pred_seq, predictors)) return nullptr;
    std::vector<std::size_t> off_shape;
    if (!band_offsets_shape(off_a, heights.size(), off_shape)) return nullptr;
    Taker take;
    const auto residuals = take.flat<uint8_t>(res_a);
    const auto offsets = take.flat<uint32_t>(off_a);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    BandPlanes r;
    if (!run_released_sized(residuals.size(), [&] {
            r = kelm::reconstruct_predicted(heights, w, residuals, offsets, off_shape[2], tables, predictors);
        }))
        return nullptr;
    return band_planes_tuple(std::move(r), heights, w);
}

}  // namespace

bool plane_predictors(const std::vector<uint64_t>& seq, PlanePredictors& out) {
    if (seq.size() != 3) {
        PyErr_Format(PyExc_ValueError, "argument 'predictors': %zu entries, not 3 (gr, rd, bd)", seq.size());
        return false;
    }
    for (std::size_t k = 0; k < 3; ++k) {
        if (seq[k] >= kPredictors) {
            PyErr_Format(PyExc_ValueError, "argument 'predictors': %llu is not below %zu",
                         static_cast<unsigned long long>(seq[k]), kPredictors);
            return false;
        }
        out[k] = uint8_t(seq[k]);
    }
    return true;
}

const py::Function fn_shard_streams_predicted{
    "shard_streams_predicted", {"h", "w", "rgb", "n_shards", "s_lut", "i_lut", "d_lut", "predictors"},
    shard_streams_predicted};
const py::Function fn_reconstruct_predicted{
    "reconstruct_predicted", {"heights", "w", "residuals", "offsets", "s_lut", "i_lut", "d_lut", "predictors"},
    reconstruct_predicted};

}  // namespace kelm::codec
