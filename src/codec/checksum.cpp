// crc32: the pixel checksum of kelm files, by carry-less multiplication
// where the CPU has it, with the interpreter lock released.
#include "core/common/crc32.hpp"
#include "kernels.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// crc32(data, value) -> int: zlib.crc32(data, value) for a C-contiguous
// buffer; value is the CRC of what came before (0 to start).
PyObject* crc32(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 2 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "crc32() takes exactly 2 positional arguments (data, value)");
        return nullptr;
    }
    const unsigned long value = PyLong_AsUnsignedLong(args[1]);
    if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
    if (value > 0xFFFFFFFFul) {
        PyErr_SetString(PyExc_OverflowError, "crc32() value must fit 32 bits");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    uint32_t crc = uint32_t(value);
    const auto* data = static_cast<const uint8_t*>(view.buf);
    const std::size_t len = std::size_t(view.len);
    const bool ok = len < (std::size_t(1) << 16) ? run_kept([&] { crc = kelm::crc32(crc, data, len); })
                                                 : run_released([&] { crc = kelm::crc32(crc, data, len); });
    PyBuffer_Release(&view);
    return ok ? PyLong_FromUnsignedLong(crc) : nullptr;
}

}  // namespace

const py::Function fn_crc32{"crc32", {"data", "value"}, crc32};

}  // namespace kelm::codec
