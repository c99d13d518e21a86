// The module kelm_codec._kernels: native kernels of the codec that are not
// part of kelm_rans's fixed interface. It shares the core and the binding
// helpers with kelm_rans but has its own worker pool, sized by the same
// environment variables or by set_threads.
#include <iterator>
#include <vector>

#include "core/pool/pool.hpp"
#include "kernels.hpp"
#include "python/compat.hpp"
#include "python/registry.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// set_threads(n): sizes this module's pool (0: the default size); only the
// first call, or the first parallel step, decides.
PyObject* set_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
const Function fn_set_threads{"set_threads", {"n"}, set_threads};

PyObject* set_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_set_threads, args, nargs, kwnames);
    const uint64_t n = bind.u64();
    if (!bind) return nullptr;
    pool_init(std::size_t(n));
    Py_RETURN_NONE;
}

const Function* const kTable[] = {
    &fn_set_threads,
    &fn_reconstruct_bands_rgb,
    &fn_shard_streams_rgb,
    &fn_alpha_residuals,
    &fn_decode_shards,
    &fn_decode_plane,
    &fn_shard_streams_predicted,
    &fn_reconstruct_predicted,
    &fn_decode_bands_rgb,
    &fn_crc32,
    &fn_shard_streams_rgba,
    &fn_shard_streams_gray,
    &fn_alpha_residuals_rgba,
    &fn_byte_counts,
    &fn_choose_shard_tables,
    &fn_encode_shard_records,
    &fn_stored_shard_tables,
    &fn_greedy_chain,
};
// Built on first import, after every module-level Function is: the backend's
// functions copy kelm_rans's, which live in other files.
FunctionTable& functions() {
    static FunctionTable table([] {
        std::vector<const Function*> all(std::begin(kTable), std::end(kTable));
        for (const Function* fn : backend_functions()) all.push_back(fn);
        return all;
    }());
    return table;
}
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "kelm_codec._kernels", "", 0, nullptr, nullptr, nullptr, nullptr,
                            nullptr};
bool g_initialized = false;

}  // namespace

}  // namespace kelm::codec

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__kernels() {
    using namespace kelm::codec;
    if (g_initialized) {
        PyErr_SetString(PyExc_ImportError, "kelm_codec._kernels may only be initialized once per interpreter process");
        return nullptr;
    }
    g_initialized = true;
    kelm::pool_set_size_variables({kelm::py::compat::kThreadsVariable, kelm::py::compat::kCpusVariable});
    PyObject* module = PyModule_Create(&g_module_def);
    if (!module) return nullptr;
    if (!functions().add_to(module, "kelm_codec._kernels")) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
