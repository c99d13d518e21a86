#include "args.hpp"

#include <cstring>

namespace kelm::py {

namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_list(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) out += ",";
            if (i + 1 == names.size()) out += " and";
            out += " ";
        }
        out += "'";
        out += names[i];
        out += "'";
    }
    return out;
}

std::string type_qualname(PyObject* obj) {
#if PY_VERSION_HEX < 0x030B0000
    const char* full = Py_TYPE(obj)->tp_name;
    const char* dot = std::strrchr(full, '.');
    return dot ? dot + 1 : full;
#else
    PyObject* name = PyType_GetQualName(Py_TYPE(obj));
    if (!name) {
        PyErr_Clear();
        return Py_TYPE(obj)->tp_name;
    }
    const char* text = PyUnicode_AsUTF8(name);
    std::string out = text ? text : Py_TYPE(obj)->tp_name;
    if (!text) PyErr_Clear();
    Py_DECREF(name);
    return out;
#endif
}

bool is_numpy_bool_type(PyObject* obj) {
    PyTypeObject* type = Py_TYPE(obj);
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__");
    if (!module) {
        PyErr_Clear();
        return false;
    }
    const char* m = PyUnicode_Check(module) ? PyUnicode_AsUTF8(module) : nullptr;
    bool from_numpy = m && std::strcmp(m, "numpy") == 0;
    Py_DECREF(module);
    if (!m) PyErr_Clear();
    std::string name = type_qualname(obj);
    return from_numpy && (name == "bool_" || name == "bool");
}

}  // namespace

std::string Function::text_signature() const {
    std::string out = std::string(name) + "(";
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (i) out += ", ";
        out += params[i];
    }
    return out + ")\n--\n\n";
}

Binder::Binder(const Function& fn, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)
    : fn_(fn), slots_(fn.params.size(), nullptr) {
    ok_ = bind(args, nargsf, kwnames);
}

bool Binder::bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    const std::size_t n_params = fn_.params.size();
    const std::size_t n_pos = std::size_t(PyVectorcall_NARGS(nargsf));
    if (n_pos > n_params) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zu %s given", fn_.name,
                     n_params, n_pos, n_pos == 1 ? "was" : "were");
        return false;
    }
    for (std::size_t i = 0; i < n_pos; ++i) slots_[i] = args[i];

    const Py_ssize_t n_kw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_kw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        const char* key_text = PyUnicode_AsUTF8(key);
        if (!key_text) return false;
        std::size_t p = 0;
        while (p < n_params && std::strcmp(fn_.params[p], key_text) != 0) ++p;
        if (p == n_params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", fn_.name, key_text);
            return false;
        }
        if (slots_[p]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn_.name, key_text);
            return false;
        }
        slots_[p] = args[n_pos + std::size_t(k)];
    }

    std::vector<const char*> missing;
    for (std::size_t p = 0; p < n_params; ++p)
        if (!slots_[p]) missing.push_back(fn_.params[p]);
    if (!missing.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", fn_.name,
                     missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
        return false;
    }
    return true;
}

PyObject* Binder::next() {
    if (!ok_ || index_ >= slots_.size()) return nullptr;
    return slots_[index_++];
}

// Replaces a pending TypeError by "argument '{name}': {message}", chained.
void Binder::prefix_type_error() {
    ok_ = false;
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *cause, *traceback;
    PyErr_Fetch(&type, &cause, &traceback);
    PyErr_NormalizeException(&type, &cause, &traceback);
    if (traceback) PyException_SetTraceback(cause, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyObject* text = PyObject_Str(cause);
    if (!text) {
        Py_DECREF(cause);
        return;
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", fn_.params[index_ - 1], text);
    Py_DECREF(text);
    PyObject *new_type, *replacement, *new_traceback;
    PyErr_Fetch(&new_type, &replacement, &new_traceback);
    PyErr_NormalizeException(&new_type, &replacement, &new_traceback);
    PyException_SetCause(replacement, cause);  // steals cause
    PyErr_Restore(new_type, replacement, new_traceback);
}

uint64_t Binder::u64() {
    PyObject* obj = next();
    if (!obj) return 0;
    PyObject* number = PyNumber_Index(obj);  // an int is returned as it is
    if (!number) {
        prefix_type_error();
        return 0;
    }
    unsigned long long value = PyLong_AsUnsignedLongLong(number);
    Py_DECREF(number);
    if (value == (unsigned long long)-1 && PyErr_Occurred()) {
        prefix_type_error();
        return 0;
    }
    return value;
}

// A sequence of non-negative integers (a list, a tuple, a 1-D integer array).
std::vector<uint64_t> Binder::u64_sequence() {
    PyObject* obj = next();
    if (!obj) return {};
    const char* name = fn_.params[index_ - 1];
    PyObject* seq = PySequence_Fast(obj, "");
    if (!seq) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object is not a sequence of integers", name,
                     type_qualname(obj).c_str());
        ok_ = false;
        return {};
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
    std::vector<uint64_t> values(std::size_t(n), 0);
    for (Py_ssize_t i = 0; i < n && ok_; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
        PyObject* number = PyNumber_Index(item);
        if (!number) {
            PyErr_Format(PyExc_TypeError, "argument '%s': item %zd is a '%s', not an integer", name, i,
                         type_qualname(item).c_str());
            ok_ = false;
            break;
        }
        const unsigned long long value = PyLong_AsUnsignedLongLong(number);
        Py_DECREF(number);
        if (value == (unsigned long long)-1 && PyErr_Occurred()) {
            PyErr_Format(PyExc_ValueError, "argument '%s': item %zd is not an integer in [0, 2**64)", name, i);
            ok_ = false;
            break;
        }
        values[std::size_t(i)] = value;
    }
    Py_DECREF(seq);
    return ok_ ? values : std::vector<uint64_t>{};
}

double Binder::f64() {
    PyObject* obj = next();
    if (!obj) return 0.0;
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) prefix_type_error();
    return value;
}

bool Binder::flag() {
    PyObject* obj = next();
    if (!obj) return false;
    if (PyBool_Check(obj)) return obj == Py_True;
    if (is_numpy_bool_type(obj)) {
        PyObject* result = PyObject_CallMethod(obj, "__bool__", nullptr);
        if (result && PyBool_Check(result)) {
            bool value = result == Py_True;
            Py_DECREF(result);
            return value;
        }
        Py_XDECREF(result);
        PyErr_Clear();
    }
    PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyBool'",
                 fn_.params[index_ - 1], type_qualname(obj).c_str());
    ok_ = false;
    return false;
}

Array Binder::array(DType dtype, int ndim) {
    PyObject* obj = next();
    if (!obj) return {};
    if (!numpy_ready()) {
        ok_ = false;
        return {};
    }
    if (!is_array_of(obj, dtype, ndim)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to 'PyArray<T, D>'",
                     fn_.params[index_ - 1], type_qualname(obj).c_str());
        ok_ = false;
        return {};
    }
    return Array{obj};
}

}  // namespace kelm::py
