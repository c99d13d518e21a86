// The image kernels of the codec.
#include <vector>

#include "core/image/reconstruct_bands.hpp"
#include "kernels.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// reconstruct_bands_rgb(heights, w, residuals, offsets, s_lut, i_lut, d_lut)
//   heights: the rows of each band, a sequence of B integers
//   residuals: uint8 (3 * sum(heights) * w,): per band its gr, rd and bd
//     residual streams (h * w each, grouped by shard), bands in order
//   offsets: uint32 (B, 3, n_shards): the first residual of each shard
// -> (gr, rd, bd), each uint8 (sum(heights), w): the bands' planes stacked.
PyObject* reconstruct_bands_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_reconstruct_bands_rgb, args, nargs, kwnames);
    const std::vector<uint64_t> heights = bind.u64_sequence();
    const uint64_t w = bind.u64();
    const Array res_a = bind.array(DType::u8, 1);
    const Array off_a = bind.array(DType::u32, 3);
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    std::vector<std::size_t> off_shape;
    if (!band_offsets_shape(off_a, heights.size(), off_shape)) return nullptr;
    Taker take;
    const auto residuals = take.flat<uint8_t>(res_a);
    const auto offsets = take.flat<uint32_t>(off_a);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    BandPlanes r;
    const auto rebuild = [&] { r = kelm::reconstruct_bands_rgb(heights, w, residuals, offsets, off_shape[2], tables); };
    if (!run_released_sized(residuals.size(), rebuild))
        return nullptr;
    return band_planes_tuple(std::move(r), heights, w);
}

}  // namespace

PyObject* band_planes_tuple(BandPlanes&& r, const std::vector<uint64_t>& heights, std::size_t w) {
    std::size_t rows = 0;
    for (uint64_t h : heights) rows += h;  // the kernel checked the sum before any work
    return py::tuple_of({py::to_numpy(std::move(r.gr), {rows, w}), py::to_numpy(std::move(r.rd), {rows, w}),
                         py::to_numpy(std::move(r.bd), {rows, w})});
}

bool band_offsets_shape(const py::Array& offsets, std::size_t bands, std::vector<std::size_t>& shape) {
    shape = offsets.shape();
    if (shape[0] == bands && shape[1] == 3) return true;
    PyErr_Format(PyExc_ValueError, "argument 'offsets': shape (%zu, %zu, %zu) is not (%zu, 3, n_shards) for %zu bands",
                 shape[0], shape[1], shape[2], bands, bands);
    return false;
}

const py::Function fn_reconstruct_bands_rgb{
    "reconstruct_bands_rgb", {"heights", "w", "residuals", "offsets", "s_lut", "i_lut", "d_lut"},
    reconstruct_bands_rgb};

}  // namespace kelm::codec
