#include "errors.hpp"

#include "compat.hpp"

namespace kelm::py {

namespace {
PyObject* g_panic_type = nullptr;
}  // namespace

PyObject* panic_exception_type() {
    if (!g_panic_type)
        g_panic_type = PyErr_NewExceptionWithDoc(compat::kPanicTypeName, compat::kPanicDoc,
                                                 PyExc_BaseException, nullptr);
    return g_panic_type;
}

void raise_panic(const std::string& message) {
    PyObject* type = panic_exception_type();
    if (!type) return;  // creating the type failed; that error stays set
    PyObject* text = PyUnicode_DecodeUTF8(message.data(), Py_ssize_t(message.size()), "replace");
    if (!text) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

bool Failure::raise() const {
    switch (kind) {
        case Kind::none: return true;
        case Kind::panic: raise_panic(message); break;
        case Kind::memory: PyErr_NoMemory(); break;
        case Kind::value: PyErr_SetString(PyExc_ValueError, message.c_str()); break;
    }
    return false;
}

}  // namespace kelm::py
