// The plane coder's Python-facing functions: context tables, encoder, decoders.
#include <optional>

#include "core/plane/plane_coder.hpp"
#include "core/plane/plane_tables.hpp"
#include "errors.hpp"
#include "functions.hpp"

namespace kelm::py {

namespace {

using plane::DecodeStart;
using plane::kPairPlanes;
using plane::Mismatch;
using plane::PlaneStream;
using plane::PlaneTables;

// A tuple that steals its items; null (with the error set) if any item is null.
PyObject* tables_result(PlaneTables& t, std::size_t n_ctx) {
    PyObject* sf = to_numpy(std::move(t.sf), {kPairPlanes, n_ctx, 4});
    PyObject* cf = to_numpy(std::move(t.cf), {kPairPlanes, n_ctx, 5});
    return tuple_of({sf, cf});
}

// Copies of all_cf and all_sf in row-major order.
bool copy_tables(Taker& take, const Array& all_cf, const Array& all_sf, Buffer<uint16_t>& cf, Buffer<uint16_t>& sf) {
    cf = take.copy<uint16_t>(all_cf);
    sf = take.copy<uint16_t>(all_sf);
    return bool(take);
}

PyObject* bp_build_pdf_sharded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_bp_build_pdf_sharded, args, nargs, kwnames);
    Array resid = bind.array(DType::u8, 1), gray = bind.array(DType::u8, 1);
    Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    uint64_t h = bind.u64(), w = bind.u64(), n_ctx = bind.u64();
    bool is_chroma = bind.flag();
    if (!bind) return nullptr;
    Taker take;
    auto resid_v = take.flat<uint8_t>(resid);
    auto gray_v = take.flat<uint8_t>(gray);
    ContextTables t = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    PlaneTables result;
    if (!run_released([&] { result = plane::bp_build_pdf_sharded(resid_v, gray_v, t, h, w, n_ctx, is_chroma); }))
        return nullptr;
    return tables_result(result, n_ctx);
}

PyObject* bp_build_pdf_sharded_rgb(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_bp_build_pdf_sharded_rgb, args, nargs, kwnames);
    Array gr = bind.array(DType::u8, 1), rd = bind.array(DType::u8, 1), bd = bind.array(DType::u8, 1);
    Array gr_ref = bind.array(DType::u8, 1);
    Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    uint64_t h = bind.u64(), w = bind.u64(), n_ctx = bind.u64();
    if (!bind) return nullptr;
    Taker take;
    auto gr_v = take.flat<uint8_t>(gr);
    auto rd_v = take.flat<uint8_t>(rd);
    auto bd_v = take.flat<uint8_t>(bd);
    auto ref_v = take.flat<uint8_t>(gr_ref);
    ContextTables t = take.tables(s_lut, i_lut, d_lut);
    if (!take) return nullptr;
    std::array<PlaneTables, 3> result;
    if (!run_released([&] { result = plane::bp_build_pdf_sharded_rgb(gr_v, rd_v, bd_v, ref_v, t, h, w, n_ctx); }))
        return nullptr;
    PyObject* items[6];
    for (std::size_t c = 0; c < 3; ++c) {
        items[2 * c] = to_numpy(std::move(result[c].sf), {kPairPlanes, n_ctx, 4});
        items[2 * c + 1] = to_numpy(std::move(result[c].cf), {kPairPlanes, n_ctx, 5});
    }
    return tuple_of({items[0], items[1], items[2], items[3], items[4], items[5]});
}

PyObject* bp_encode_sharded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_bp_encode_sharded, args, nargs, kwnames);
    Array resid = bind.array(DType::u8, 1), gray = bind.array(DType::u8, 1);
    Array all_cf = bind.array(DType::u16, 3), all_sf = bind.array(DType::u16, 3);
    Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    uint64_t h = bind.u64(), w = bind.u64(), n_ctx = bind.u64();
    bool is_chroma = bind.flag();
    if (!bind) return nullptr;
    Taker take;
    auto resid_v = take.flat<uint8_t>(resid);
    auto gray_v = take.flat<uint8_t>(gray);
    ContextTables t = take.tables(s_lut, i_lut, d_lut);
    Buffer<uint16_t> cf, sf;
    if (!copy_tables(take, all_cf, all_sf, cf, sf)) return nullptr;
    PlaneStream result;
    if (!run_released([&] {
            result = plane::bp_encode_sharded(resid_v, gray_v, cf.cspan(), sf.cspan(), t, h, w, n_ctx, is_chroma);
        }))
        return nullptr;
    Buffer<uint64_t> states = Buffer<uint64_t>::copy_of(result.states);
    const std::size_t len = result.bytes.size();
    return tuple_of({to_numpy(std::move(states), {4}), to_numpy(std::move(result.bytes), {len})});
}

// The first seven parameters of every decoder.
struct DecodeArgs {
    Array bitstream;
    uint64_t st[4];
    uint64_t h, w;
    Array all_cf, all_sf;

    explicit DecodeArgs(Binder& bind) : bitstream(bind.array(DType::u8, 1)) {
        for (uint64_t& s : st) s = bind.u64();
        h = bind.u64();
        w = bind.u64();
        all_cf = bind.array(DType::u16, 3);
        all_sf = bind.array(DType::u16, 3);
    }
    DecodeStart start(std::span<const uint8_t> bytes) const { return {bytes, {st[0], st[1], st[2], st[3]}, h, w}; }
};

PyObject* bp_decode_sharded(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_bp_decode_sharded, args, nargs, kwnames);
    DecodeArgs d(bind);
    Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    if (!bind) return nullptr;
    Taker take;
    auto bytes = take.flat<uint8_t>(d.bitstream);
    ContextTables t = take.tables(s_lut, i_lut, d_lut);
    Buffer<uint16_t> cf, sf;
    if (!copy_tables(take, d.all_cf, d.all_sf, cf, sf)) return nullptr;
    Buffer<uint8_t> out;
    if (!run_released([&] { out = plane::bp_decode_sharded(d.start(bytes), cf.cspan(), sf.cspan(), t); }))
        return nullptr;
    return to_numpy(std::move(out), {d.h, d.w});
}

PyObject* bp_decode_sharded_with_ref(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_bp_decode_sharded_with_ref, args, nargs, kwnames);
    DecodeArgs d(bind);
    Array ref = bind.array(DType::u8, 1);
    Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    if (!bind) return nullptr;
    Taker take;
    auto bytes = take.flat<uint8_t>(d.bitstream);
    auto ref_v = take.flat<uint8_t>(ref);
    ContextTables t = take.tables(s_lut, i_lut, d_lut);
    Buffer<uint16_t> cf, sf;
    if (!copy_tables(take, d.all_cf, d.all_sf, cf, sf)) return nullptr;
    Buffer<uint8_t> out;
    if (!run_released([&] { out = plane::bp_decode_sharded_with_ref(d.start(bytes), cf.cspan(), sf.cspan(), ref_v, t); }))
        return nullptr;
    return to_numpy(std::move(out), {d.h, d.w});
}

PyObject* bp_decode_sharded_debug(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_bp_decode_sharded_debug, args, nargs, kwnames);
    DecodeArgs d(bind);
    Array s_lut = bind.array(DType::u8, 1), i_lut = bind.array(DType::u8, 1), d_lut = bind.array(DType::u8, 1);
    Array orig_resid = bind.array(DType::u8, 1), orig_gray = bind.array(DType::u8, 1);
    if (!bind) return nullptr;
    Taker take;
    auto bytes = take.flat<uint8_t>(d.bitstream);
    ContextTables t = take.tables(s_lut, i_lut, d_lut);
    auto orig_v = take.flat<uint8_t>(orig_resid);
    take.flat<uint8_t>(orig_gray);  // taken like the others, never read
    Buffer<uint16_t> cf, sf;
    if (!copy_tables(take, d.all_cf, d.all_sf, cf, sf)) return nullptr;
    Buffer<uint8_t> out;
    std::optional<Mismatch> mismatch;
    if (!run_released([&] {
            out = plane::bp_decode_sharded_debug(d.start(bytes), cf.cspan(), sf.cspan(), t, orig_v, mismatch);
        }))
        return nullptr;
    PyObject* record;
    if (mismatch) {
        const Mismatch& m = *mismatch;
        record = Py_BuildValue("(KKLKKKKII)", (unsigned long long)m.row, (unsigned long long)m.column,
                               (long long)m.position, (unsigned long long)m.states[0],
                               (unsigned long long)m.states[1], (unsigned long long)m.states[2],
                               (unsigned long long)m.states[3], unsigned(m.expected), unsigned(m.decoded));
    } else {
        record = Py_NewRef(Py_None);
    }
    return tuple_of({to_numpy(std::move(out), {d.h, d.w}), record});
}

}  // namespace

const Function fn_bp_decode_sharded_debug{
    "bp_decode_sharded_debug",
    {"bitstream", "st0", "st1", "st2", "st3", "h", "w", "all_cf", "all_sf", "s_lut", "i_lut", "d_lut",
     "orig_resid_flat", "orig_gray_flat"},
    bp_decode_sharded_debug};
const Function fn_bp_build_pdf_sharded{
    "bp_build_pdf_sharded",
    {"resid_flat", "gray_flat", "s_lut", "i_lut", "d_lut", "h", "w", "n_ctx", "is_chroma"},
    bp_build_pdf_sharded};
const Function fn_bp_build_pdf_sharded_rgb{
    "bp_build_pdf_sharded_rgb",
    {"gr_flat", "rd_flat", "bd_flat", "gr_ref_flat", "s_lut", "i_lut", "d_lut", "h", "w", "n_ctx"},
    bp_build_pdf_sharded_rgb};
const Function fn_bp_encode_sharded{
    "bp_encode_sharded",
    {"resid_flat", "gray_flat", "all_cf", "all_sf", "s_lut", "i_lut", "d_lut", "h", "w", "n_ctx", "is_chroma"},
    bp_encode_sharded};
const Function fn_bp_decode_sharded{
    "bp_decode_sharded",
    {"bitstream", "st0", "st1", "st2", "st3", "h", "w", "all_cf", "all_sf", "s_lut", "i_lut", "d_lut"},
    bp_decode_sharded};
const Function fn_bp_decode_sharded_with_ref{
    "bp_decode_sharded_with_ref",
    {"bitstream", "st0", "st1", "st2", "st3", "h", "w", "all_cf", "all_sf", "ref_ch_flat", "s_lut", "i_lut",
     "d_lut"},
    bp_decode_sharded_with_ref};

}  // namespace kelm::py
