#include "arrays.hpp"

#include <cstdlib>
#include <cstring>

#include "compat.hpp"
#include "errors.hpp"

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kelm_rans_ARRAY_API
#include <numpy/arrayobject.h>

namespace kelm::py {

namespace {

bool g_numpy_loaded = false;

PyArrayObject* as_array(PyObject* obj) { return reinterpret_cast<PyArrayObject*>(obj); }

int type_number(DType dtype) {
    switch (dtype) {
        case DType::u8: return NPY_UINT8;
        case DType::u16: return NPY_UINT16;
        case DType::u32: return NPY_UINT32;
        case DType::u64: return NPY_UINT64;
    }
    return NPY_UINT8;
}

// Describes the pending Python error as "Type: message" and clears it.
std::string describe_pending_error() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    std::string text = "unknown error";
    if (value) {
        PyObject* repr = PyObject_Repr(value);
        if (repr && PyUnicode_AsUTF8(repr)) text = PyUnicode_AsUTF8(repr);
        Py_XDECREF(repr);
        PyErr_Clear();
    }
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(traceback);
    return text;
}

// numpy.lib.NumpyVersion(numpy.__version__).major
long numpy_major_version() {
    PyObject* numpy = PyImport_ImportModule("numpy");
    if (!numpy) return -1;
    PyObject* version = PyObject_GetAttrString(numpy, "__version__");
    PyObject* lib = version ? PyObject_GetAttrString(numpy, "lib") : nullptr;
    PyObject* parsed = lib ? PyObject_CallMethod(lib, "NumpyVersion", "O", version) : nullptr;
    PyObject* major = parsed ? PyObject_GetAttrString(parsed, "major") : nullptr;
    long result = major ? PyLong_AsLong(major) : -1;
    Py_XDECREF(major);
    Py_XDECREF(parsed);
    Py_XDECREF(lib);
    Py_XDECREF(version);
    Py_DECREF(numpy);
    return result;
}

bool load_numpy() {
    long major = numpy_major_version();
    if (major < 0 && PyErr_Occurred()) return false;
    PyObject* multiarray = PyImport_ImportModule(major >= 2 ? "numpy._core.multiarray" : "numpy.core.multiarray");
    if (!multiarray) return false;
    PyObject* capsule = PyObject_GetAttrString(multiarray, "_ARRAY_API");
    Py_DECREF(multiarray);
    if (!capsule) return false;
    void* table = PyCapsule_GetPointer(capsule, nullptr);
    Py_DECREF(capsule);  // the multiarray module keeps the table alive
    if (!table) return false;
    PyArray_API = static_cast<void**>(table);
#if NPY_API_VERSION >= 0x00000012
    PyArray_RUNTIME_VERSION = int(PyArray_GetNDArrayCFeatureVersion());
#endif
    return true;
}

void free_capsule_memory(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, nullptr)); }

void copy_strided(const char* src, char* dst, int dim, int ndim, const npy_intp* dims,
                  const npy_intp* strides, std::size_t item, std::size_t& written) {
    for (npy_intp i = 0; i < dims[dim]; ++i) {
        const char* p = src + i * strides[dim];
        if (dim + 1 == ndim) {
            std::memcpy(dst + written * item, p, item);
            ++written;
        } else {
            copy_strided(p, dst, dim + 1, ndim, dims, strides, item, written);
        }
    }
}

}  // namespace

bool numpy_ready() {
    if (g_numpy_loaded) return true;
    if (load_numpy()) {
        g_numpy_loaded = true;
        return true;
    }
    raise_panic("Failed to access NumPy array API capsule: " + describe_pending_error());
    return false;
}

bool is_array_of(PyObject* obj, DType dtype, int ndim) {
    if (!PyArray_Check(obj)) return false;
    PyArrayObject* a = as_array(obj);
    if (PyArray_NDIM(a) != ndim) return false;
    PyArray_Descr* wanted = PyArray_DescrFromType(type_number(dtype));
    bool same = PyArray_EquivTypes(PyArray_DESCR(a), wanted);
    Py_DECREF(wanted);
    return same;
}

std::size_t Array::size() const {
    PyArrayObject* a = as_array(obj);
    std::size_t n = 1;
    for (int d = 0; d < PyArray_NDIM(a); ++d) n *= std::size_t(PyArray_DIMS(a)[d]);
    return n;
}

std::vector<std::size_t> Array::shape() const {
    PyArrayObject* a = as_array(obj);
    return std::vector<std::size_t>(PyArray_DIMS(a), PyArray_DIMS(a) + PyArray_NDIM(a));
}

bool Array::contiguous() const {
    static_assert(compat::kFlatContiguity == (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS));
    return PyArray_FLAGS(as_array(obj)) & compat::kFlatContiguity;
}

bool Array::writeable() const { return PyArray_FLAGS(as_array(obj)) & NPY_ARRAY_WRITEABLE; }

void* Array::data() const { return PyArray_DATA(as_array(obj)); }

bool Taker::check_contiguous(const Array& a) {
    if (!ok_) return false;
    if (!a.contiguous()) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous");
        ok_ = false;
    }
    return ok_;
}

bool Taker::check_writeable(const Array& a, const char* name) {
    if (!ok_) return false;
    if (!a.writeable()) {
        PyErr_Format(PyExc_ValueError, "argument '%s': the array is read-only and cannot be written", name);
        ok_ = false;
    }
    return ok_;
}

void Taker::copy_row_major(const Array& a, void* dst, std::size_t item_size) {
    PyArrayObject* arr = as_array(a.obj);
    std::size_t n = a.size();
    if (n == 0) return;
    if (PyArray_FLAGS(arr) & NPY_ARRAY_C_CONTIGUOUS) {
        std::memcpy(dst, PyArray_DATA(arr), n * item_size);
        return;
    }
    std::size_t written = 0;
    copy_strided(static_cast<const char*>(PyArray_DATA(arr)), static_cast<char*>(dst), 0, PyArray_NDIM(arr),
                 PyArray_DIMS(arr), PyArray_STRIDES(arr), item_size, written);
}

PyObject* tuple_of(std::initializer_list<PyObject*> items) {
    bool complete = true;
    for (PyObject* item : items) complete = complete && item;
    PyObject* tuple = complete ? PyTuple_New(Py_ssize_t(items.size())) : nullptr;
    Py_ssize_t i = 0;
    for (PyObject* item : items) {
        if (tuple)
            PyTuple_SET_ITEM(tuple, i++, item);
        else
            Py_XDECREF(item);
    }
    return tuple;
}

PyObject* new_array(void* owned, DType dtype, std::initializer_list<std::size_t> dims) {
    if (!numpy_ready()) {
        std::free(owned);
        return nullptr;
    }
    npy_intp shape[NPY_MAXDIMS];
    int nd = 0;
    for (std::size_t d : dims) shape[nd++] = npy_intp(d);
    PyObject* capsule = PyCapsule_New(owned, nullptr, free_capsule_memory);
    if (!capsule) {
        std::free(owned);
        return nullptr;
    }
    PyObject* array = PyArray_SimpleNewFromData(nd, shape, type_number(dtype), owned);
    if (!array) {
        Py_DECREF(capsule);
        return nullptr;
    }
    if (PyArray_SetBaseObject(as_array(array), capsule) < 0) {  // steals capsule
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace kelm::py
