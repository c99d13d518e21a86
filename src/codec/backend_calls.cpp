// kelm_rans's functions that the codec calls on every image, as functions of
// this module: the same code, arguments, results and messages, run on this
// module's pool, with the parallel steps of a call on little data on the
// calling thread. Through kelm_rans, each call wakes that module's workers
// and sleeps until they are done, which costs more than the work on a small
// image; an encoder that tries many candidates on one makes hundreds of them.
#include <cstring>

#include "kernels.hpp"
#include "python/functions.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// The argument bound to parameter `name`, or null when it was not given.
PyObject* argument(const Function& fn, const char* name, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames) {
    std::size_t index = 0;
    while (index < fn.params.size() && std::strcmp(fn.params[index], name) != 0) ++index;
    const std::size_t n_pos = std::size_t(PyVectorcall_NARGS(nargsf));
    if (index < n_pos) return args[index];
    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        const char* key = PyUnicode_AsUTF8(PyTuple_GET_ITEM(kwnames, k));
        if (!key) {
            PyErr_Clear();
            return nullptr;
        }
        if (std::strcmp(key, name) == 0) return args[n_pos + std::size_t(k)];
    }
    return nullptr;
}

// Bytes of the buffer an argument exposes; kInlineBytes when it exposes none
// (the call then runs as kelm_rans runs it, and reports the argument itself).
std::size_t buffer_bytes(PyObject* obj) {
    Py_buffer view;
    if (!obj || PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return kInlineBytes;
    }
    const std::size_t len = std::size_t(view.len);
    PyBuffer_Release(&view);
    return len;
}

// A kelm_rans function whose work grows with its argument `Measure`.
template <const Function& F, const char* Measure>
PyObject* sized_call(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    if (buffer_bytes(argument(F, Measure, args, nargsf, kwnames)) >= kInlineBytes)
        return F.fastcall(self, args, nargsf, kwnames);
    const InlineSteps inline_steps;  // the call's work runs on this thread, with the lock released
    return F.fastcall(self, args, nargsf, kwnames);
}

template <const Function& F, const char* Measure>
const Function* sized() {
    static const Function fn{F.name, F.params, sized_call<F, Measure>};
    return &fn;
}

constexpr char kGrayRaw[] = "gray_raw", kRgbRaw[] = "rgb_raw", kResidFlat[] = "resid_flat", kGrFlat[] = "gr_flat",
               kDataFlat[] = "data_flat", kBitstreams[] = "bitstreams_flat", kCumFreqs[] = "all_cum_freqs",
               kSymFreqs[] = "all_sym_freqs", kCompacted[] = "compacted", kCounts[] = "counts",
               kGrRec[] = "gr_rec", kResCh[] = "res_ch";

}  // namespace

std::vector<const Function*> backend_functions() {
    return {
        sized<fn_p1_gray, kGrayRaw>(),
        sized<fn_p1_rgb, kRgbRaw>(),
        sized<fn_bp_build_pdf_sharded, kResidFlat>(),
        sized<fn_bp_build_pdf_sharded_rgb, kGrFlat>(),
        sized<fn_bp_encode_sharded, kResidFlat>(),
        sized<fn_rans_encode_shards_parallel, kDataFlat>(),
        sized<fn_pack_shard_payloads, kBitstreams>(),
        sized<fn_build_all_lookups, kCumFreqs>(),
        sized<fn_decide_shard_mode, kCounts>(),
        sized<fn_compact_pdf_tables, kSymFreqs>(),
        sized<fn_expand_pdf_tables, kCompacted>(),
        sized<fn_restore_channels, kGrRec>(),
        sized<fn_reconstruct_2d_channels, kResCh>(),
    };
}

}  // namespace kelm::codec
