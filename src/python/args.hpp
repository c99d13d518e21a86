// Function declarations (name + parameter names, declared once) and the
// binder that matches positional/keyword arguments to them and converts each
// argument kind, producing the module's fixed TypeError/OverflowError messages.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "arrays.hpp"
#include "python.hpp"

namespace kelm::py {

using FastcallImpl = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
using NoArgsImpl = PyObject* (*)(PyObject*, PyObject*);

// One entry of the module's function table.
struct Function {
    const char* name;
    std::vector<const char*> params;
    FastcallImpl fastcall = nullptr;  // functions with parameters
    NoArgsImpl no_args = nullptr;     // functions without any

    std::string text_signature() const;  // "name(a, b)\n--\n\n"
};

// Binds one call's arguments to a Function's parameters, then converts them
// one by one in parameter order. The first failure sets the Python error and
// makes every later conversion a no-op; check ok() before using the values.
class Binder {
public:
    Binder(const Function& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

    explicit operator bool() const { return ok_; }

    uint64_t u64();
    std::vector<uint64_t> u64_sequence();
    bool flag();
    double f64();
    Array array(DType dtype, int ndim);

private:
    PyObject* next();  // the bound value of the next parameter, or null after a failure
    bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
    void prefix_type_error();

    const Function& fn_;
    std::vector<PyObject*> slots_;
    std::size_t index_ = 0;
    bool ok_ = true;
};

}  // namespace kelm::py
