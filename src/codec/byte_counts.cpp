// byte_counts: how often each byte value occurs in a buffer, for the
// encoder's analysis of whole channels (np.bincount first widens every byte
// to 64 bits).
#include "core/common/buffer.hpp"
#include "core/tables/freq_table.hpp"
#include "kernels.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace kelm::codec {

namespace {

using namespace kelm::py;

// byte_counts(data) -> uint64 (256,): np.bincount(data, minlength=256) for a
// C-contiguous buffer of bytes.
PyObject* byte_counts(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    if (PyVectorcall_NARGS(nargsf) != 1 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "byte_counts() takes exactly 1 positional argument (data)");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    Buffer<uint64_t> counts = Buffer<uint64_t>::zeroed(256);
    const auto* data = static_cast<const uint8_t*>(view.buf);
    const std::size_t len = std::size_t(view.len);
    const bool ok = run_released_sized(len, [&] { add_histogram({data, len}, counts.data()); });
    PyBuffer_Release(&view);
    return ok ? to_numpy(std::move(counts), {256}) : nullptr;
}

}  // namespace

const py::Function fn_byte_counts{"byte_counts", {"data"}, byte_counts};

}  // namespace kelm::codec
