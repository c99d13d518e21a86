// get_backend_info and set_rayon_threads.
#include "core/pool/pool.hpp"
#include "compat.hpp"
#include "functions.hpp"

namespace kelm::py {

namespace {

PyObject* get_backend_info(PyObject*, PyObject*) { return Py_BuildValue("(ss)", compat::kBackendId, compat::kBackendVersion); }

PyObject* set_rayon_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Binder bind(fn_set_rayon_threads, args, nargs, kwnames);
    uint64_t n = bind.u64();
    if (!bind) return nullptr;
    pool_init(std::size_t(n));
    Py_RETURN_NONE;
}

}  // namespace

const Function fn_get_backend_info{"get_backend_info", {}, nullptr, get_backend_info};
const Function fn_set_rayon_threads{"set_rayon_threads", {"n"}, set_rayon_threads};

}  // namespace kelm::py
