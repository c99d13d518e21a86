// The image passes' Python-facing functions: forward passes, scatter passes,
// reconstruction and channel restoration.
#include <vector>

#include "core/image/forward_pass.hpp"
#include "core/image/reconstruct.hpp"
#include "core/image/restore.hpp"
#include "core/image/scatter_pass.hpp"
#include "errors.hpp"
#include "functions.hpp"

namespace kelm::py {

namespace {

// Collects new references; packs them into a tuple, or drops them all when
// one of them failed to be created.
class TupleBuilder {
public:
    TupleBuilder& add(PyObject* item) {
        ok_ = ok_ && item != nullptr;
        items_.push_back(item);
        return *this;
    }
    PyObject* build() {
        PyObject* tuple = ok_ ? PyTuple_New(Py_ssize_t(items_.size())) : nullptr;
        if (!tuple) {
            for (PyObject* item : items_) Py_XDECREF(item);
            return nullptr;
        }
        for (std::size_t i = 0; i < items_.size(); ++i) PyTuple_SET_ITEM(tuple, Py_ssize_t(i), items_[i]);
        return tuple;
    }

private:
    std::vector<PyObject*> items_;
    bool ok_ = true;
};

PyObject* empty_u8_2d() { return to_numpy(Buffer<uint8_t>::zeroed(0), {0, 0}); }

PyObject* alpha_items(ForwardResult& r, std::size_t h, std::size_t w, PyObject*& stats) {
    stats = TupleBuilder()
                .add(PyLong_FromUnsignedLongLong(r.alpha.exact_count))
                .add(PyFloat_FromDouble(r.alpha.error_sum))
                .build();
    if (r.alpha.ran && h * w > 0) return to_numpy(std::move(r.alpha.residuals), {h, w});
    return empty_u8_2d();
}

// Items shared by both forward passes, from the shard counts on.
void shard_items(TupleBuilder& t, ForwardResult& r, std::size_t h, std::size_t n) {
    t.add(to_numpy(std::move(r.shard_counts), {3, n}))
        .add(to_numpy(std::move(r.histograms), {3, n, 256}))
        .add(to_numpy(std::move(r.shard_starts), {3, n}))
        .add(to_numpy(std::move(r.row_offsets), {h, 3, n}))
        .add(to_numpy(std::move(r.exact_counts), {3}))
        .add(to_numpy(std::move(r.error_sums), {3}));
}

// p1_gray (Planes = 1) and p1_rgb (Planes = 3): the same parameters, the
// pixels as a 2-D or 3-D array, and results laid out for three planes.
template <int Planes>
PyObject* forward_pass(const Function& fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array pixels_a = bind.array(DType::u8, Planes == 3 ? 3 : 2);
    const Array a_ch = bind.array(DType::u8, 2);
    const bool is_rgba = bind.flag();
    const uint64_t n = bind.u64();
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto pixels = take.flat<uint8_t>(pixels_a);
    const auto alpha = take.flat<uint8_t>(a_ch);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    ForwardResult r;
    if (!run_released([&] {
            r = Planes == 3 ? fused_rct_p1_rgb(h, w, pixels, alpha, is_rgba, n, tables)
                            : fused_rct_p1_gray(h, w, pixels, alpha, is_rgba, n, tables);
        }))
        return nullptr;
    PyObject* alpha_stats = nullptr;
    PyObject* alpha_res = alpha_items(r, h, w, alpha_stats);
    TupleBuilder planes;
    for (int k = 0; k < 3; ++k)
        planes.add(k < Planes ? to_numpy(std::move(r.residuals[k]), {h + 2, w + 2}) : empty_u8_2d());
    planes.add(alpha_res);
    TupleBuilder t;
    for (int k = 0; k < Planes; ++k) t.add(to_numpy(std::move(r.planes[k]), {h + 2, w + 2}));
    if constexpr (Planes == 3) t.add(to_numpy(std::move(r.value_histogram), {3, 256}));
    shard_items(t, r, h, n);
    return t.add(planes.build()).add(alpha_stats).build();
}

PyObject* p1_gray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return forward_pass<1>(fn_p1_gray, args, nargs, kwnames);
}

PyObject* p1_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return forward_pass<3>(fn_p1_rgb, args, nargs, kwnames);
}

PyObject* p2_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_p2_rgb, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array gr_ch = bind.array(DType::u8, 2), rd_ch = bind.array(DType::u8, 2), bd_ch = bind.array(DType::u8, 2);
    const Array offsets = bind.array(DType::u32, 3);
    const Array shard_gr = bind.array(DType::u8, 1), shard_rd = bind.array(DType::u8, 1),
                shard_bd = bind.array(DType::u8, 1);
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto gr = take.flat<uint8_t>(gr_ch);
    const auto rd = take.flat<uint8_t>(rd_ch);
    const auto bd = take.flat<uint8_t>(bd_ch);
    const auto offs = take.flat<uint32_t>(offsets);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    // All contiguity checks come first; then the streams must be writeable.
    take.flat<uint8_t>(shard_gr);
    take.flat<uint8_t>(shard_rd);
    take.flat<uint8_t>(shard_bd);
    const auto out_gr = take.out<uint8_t>(shard_gr, "shard_gr");
    const auto out_rd = take.out<uint8_t>(shard_rd, "shard_rd");
    const auto out_bd = take.out<uint8_t>(shard_bd, "shard_bd");
    if (!take) return nullptr;
    if (!run_released([&] { shard_pass_2_rgb(h, w, gr, rd, bd, offs, out_gr, out_rd, out_bd, tables); }))
        return nullptr;
    Py_RETURN_NONE;
}

PyObject* p2_gray(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_p2_gray, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array gr_ch = bind.array(DType::u8, 2);
    const Array offsets = bind.array(DType::u32, 3);
    const Array shard_gr = bind.array(DType::u8, 1);
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto gr = take.flat<uint8_t>(gr_ch);
    const auto offs = take.flat<uint32_t>(offsets);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    const auto out_gr = take.out<uint8_t>(shard_gr, "shard_gr");
    if (!take) return nullptr;
    if (!run_released([&] { shard_pass_2_gray(h, w, gr, offs, out_gr, tables); })) return nullptr;
    Py_RETURN_NONE;
}

PyObject* reconstruct_shards_rgb_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_reconstruct_shards_rgb, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array res_gr = bind.array(DType::u8, 1), res_rd = bind.array(DType::u8, 1),
                res_bd = bind.array(DType::u8, 1);
    const Array off_gr = bind.array(DType::u32, 1), off_rd = bind.array(DType::u32, 1),
                off_bd = bind.array(DType::u32, 1);
    const Array s_lut = bind.array(DType::u8, 2), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto rg = take.flat<uint8_t>(res_gr);
    const auto rr = take.flat<uint8_t>(res_rd);
    const auto rb = take.flat<uint8_t>(res_bd);
    const auto og = take.flat<uint32_t>(off_gr);
    const auto orr = take.flat<uint32_t>(off_rd);
    const auto ob = take.flat<uint32_t>(off_bd);
    const ContextTables tables = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    RebuiltPlanes r;
    if (!run_released([&] { r = reconstruct_shards_rgb(h, w, rg, rr, rb, og, orr, ob, tables); })) return nullptr;
    return TupleBuilder()
        .add(to_numpy(std::move(r.gr), {h, w}))
        .add(to_numpy(std::move(r.rd), {h, w}))
        .add(to_numpy(std::move(r.bd), {h, w}))
        .build();
}

PyObject* restore_channels_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_restore_channels, args, nargs, kwnames);
    const Array gr_rec = bind.array(DType::u8, 2), rd_rec = bind.array(DType::u8, 2),
                bd_rec = bind.array(DType::u8, 2), a_ch = bind.array(DType::u8, 2);
    const bool is_rgba = bind.flag(), is_grayscale = bind.flag(), apply_gsub = bind.flag();
    if (!bind) return nullptr;
    Taker take;
    const auto g = take.flat<uint8_t>(gr_rec);
    const auto r = take.flat<uint8_t>(rd_rec);
    const auto b = take.flat<uint8_t>(bd_rec);
    const auto a = take.flat<uint8_t>(a_ch);
    if (!take) return nullptr;
    const std::vector<std::size_t> shape = gr_rec.shape();
    const std::size_t h = shape[0], w = shape[1], k = is_rgba ? 4 : 3;
    Buffer<uint8_t> out;
    if (!run_released([&] { out = restore_channels(h, w, g, r, b, a, is_rgba, is_grayscale, apply_gsub); }))
        return nullptr;
    return to_numpy(std::move(out), {h, w, k});
}

PyObject* reconstruct_2d_channels_py(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_reconstruct_2d_channels, args, nargs, kwnames);
    const uint64_t h = bind.u64(), w = bind.u64();
    const Array res_ch = bind.array(DType::u8, 2);
    if (!bind) return nullptr;
    Taker take;
    const auto res = take.flat<uint8_t>(res_ch);
    if (!take) return nullptr;
    Buffer<uint8_t> out;
    if (!run_released([&] { out = reconstruct_2d_channels(h, w, res); })) return nullptr;
    return to_numpy(std::move(out), {h, w});
}

}  // namespace

const Function fn_p1_gray{"p1_gray", {"h", "w", "gray_raw", "a_ch", "is_rgba", "n_shards", "s_lut", "i_lut", "d_lut"},
                          p1_gray};
const Function fn_p1_rgb{"p1_rgb", {"h", "w", "rgb_raw", "a_ch", "is_rgba", "n_shards", "s_lut", "i_lut", "d_lut"},
                         p1_rgb};
const Function fn_p2_rgb{"p2_rgb",
                         {"h", "w", "gr_ch", "rd_ch", "bd_ch", "row_global_offsets", "shard_gr", "shard_rd",
                          "shard_bd", "s_lut", "i_lut", "d_lut"},
                         p2_rgb};
const Function fn_p2_gray{"p2_gray", {"h", "w", "gr_ch", "row_global_offsets", "shard_gr", "s_lut", "i_lut", "d_lut"},
                          p2_gray};
const Function fn_reconstruct_shards_rgb{
    "reconstruct_shards_rgb",
    {"h", "w", "res_gr", "res_rd", "res_bd", "off_gr", "off_rd", "off_bd", "s_lut", "i_lut", "d_lut"},
    reconstruct_shards_rgb_py};
const Function fn_restore_channels{
    "restore_channels", {"gr_rec", "rd_rec", "bd_rec", "a_ch", "is_rgba", "is_grayscale", "apply_gsub"},
    restore_channels_py};
const Function fn_reconstruct_2d_channels{"reconstruct_2d_channels", {"h", "w", "res_ch"}, reconstruct_2d_channels_py};

}  // namespace kelm::py
