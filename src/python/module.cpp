// The module kelm_rans: its function table in registration order and __all__.
#include <iterator>
#include <vector>

#include "compat.hpp"
#include "core/pool/pool.hpp"
#include "functions.hpp"
#include "registry.hpp"

namespace kelm::py {

namespace {

// Registration order; also the order of __all__.
const Function* const kTable[] = {
    &fn_get_backend_info,
    &fn_set_rayon_threads,
    &fn_get_magic_lut,
    &fn_build_pdf_tables_from_shards,
    &fn_rans_encode_shards_parallel,
    &fn_rans_decode_shards_parallel,
    &fn_rans_decode_4way_core,
    &fn_pack_shard_payloads,
    &fn_build_all_lookups,
    &fn_compact_pdf_tables,
    &fn_expand_pdf_tables,
    &fn_bp_decode_sharded_debug,
    &fn_bp_build_pdf_sharded,
    &fn_bp_build_pdf_sharded_rgb,
    &fn_bp_encode_sharded,
    &fn_bp_decode_sharded,
    &fn_bp_decode_sharded_with_ref,
    &fn_p1_gray,
    &fn_p1_rgb,
    &fn_decide_shard_mode,
    &fn_p2_rgb,
    &fn_p2_gray,
    &fn_reconstruct_shards_rgb,
    &fn_restore_channels,
    &fn_reconstruct_2d_channels,
};
FunctionTable g_functions(std::vector<const Function*>(std::begin(kTable), std::end(kTable)));
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "kelm_rans", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
bool g_initialized = false;

}  // namespace

}  // namespace kelm::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_kelm_rans() {
    using namespace kelm::py;
    if (g_initialized) {
        PyErr_SetString(PyExc_ImportError,
                        "kelm_rans may only be initialized once per interpreter process");
        return nullptr;
    }
    g_initialized = true;
    kelm::pool_set_size_variables({compat::kThreadsVariable, compat::kCpusVariable});
    PyObject* module = PyModule_Create(&g_module_def);
    if (!module) return nullptr;
    if (!g_functions.add_to(module, "kelm_rans")) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
