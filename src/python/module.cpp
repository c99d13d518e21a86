// The module kelm_rans: its function table in registration order and __all__.
#include <array>
#include <string>

#include "compat.hpp"
#include "core/pool/pool.hpp"
#include "functions.hpp"

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
constexpr std::size_t kCount = sizeof(kTable) / sizeof(kTable[0]);

std::array<std::string, kCount> g_docs;
std::array<PyMethodDef, kCount + 1> g_methods{};
PyModuleDef g_module_def = {PyModuleDef_HEAD_INIT, "kelm_rans", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};
bool g_initialized = false;

PyMethodDef method_entry(const Function& fn, const std::string& doc) {
    if (fn.no_args) return {fn.name, reinterpret_cast<PyCFunction>(fn.no_args), METH_NOARGS, doc.c_str()};
    return {fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn.fastcall)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

// Adds the functions one by one in table order, appending each name to __all__.
bool add_functions(PyObject* module) {
    PyObject* all = PyList_New(0);
    PyObject* module_name = PyUnicode_FromString("kelm_rans");
    if (!all || !module_name) {
        Py_XDECREF(all);
        Py_XDECREF(module_name);
        return false;
    }
    for (std::size_t i = 0; i < kCount; ++i) {
        g_docs[i] = kTable[i]->text_signature();
        g_methods[i] = method_entry(*kTable[i], g_docs[i]);
        PyObject* name = PyUnicode_FromString(kTable[i]->name);
        PyObject* function = name ? PyCFunction_NewEx(&g_methods[i], module, module_name) : nullptr;
        bool added = function && PyModule_AddObjectRef(module, kTable[i]->name, function) == 0 &&
                     PyList_Append(all, name) == 0;
        Py_XDECREF(function);
        Py_XDECREF(name);
        if (!added) {
            Py_DECREF(all);
            Py_DECREF(module_name);
            return false;
        }
    }
    Py_DECREF(module_name);
    int rc = PyModule_AddObjectRef(module, "__all__", all);
    Py_DECREF(all);
    return rc == 0;
}

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
    if (!add_functions(module)) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
