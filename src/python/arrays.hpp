// NumPy at the boundary: the lazily loaded C interface, array type checks,
// borrowed flat views, row-major copies, and result arrays that take over an
// owned Buffer without copying.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <vector>

#include "core/common/buffer.hpp"
#include "core/common/pixel.hpp"
#include "python.hpp"

namespace kelm::py {

enum class DType { u8, u16, u32, u64 };

template <class T> constexpr DType dtype_of();
template <> constexpr DType dtype_of<uint8_t>() { return DType::u8; }
template <> constexpr DType dtype_of<uint16_t>() { return DType::u16; }
template <> constexpr DType dtype_of<uint32_t>() { return DType::u32; }
template <> constexpr DType dtype_of<uint64_t>() { return DType::u64; }

// Loads NumPy's C interface on first use; on failure raises the internal-error
// exception and returns false (the next call tries again).
bool numpy_ready();

bool is_array_of(PyObject* obj, DType dtype, int ndim);

// An array argument that passed its type check (borrowed for the call).
struct Array {
    PyObject* obj = nullptr;

    std::size_t size() const;
    std::vector<std::size_t> shape() const;
    bool contiguous() const;
    bool writeable() const;
    void* data() const;
};

// Takes array buffers in the order a function lists them; the first failure
// (not contiguous, not writeable) sets the Python error and later takes are no-ops.
class Taker {
public:
    explicit operator bool() const { return ok_; }

    template <class T>
    std::span<const T> flat(const Array& a) {
        if (!check_contiguous(a)) return {};
        return {static_cast<const T*>(a.data()), a.size()};
    }

    // The three context tables of the image passes, read flat.
    kelm::ContextTables tables(const Array& s_lut, const Array& i_lut, const Array& d_lut) {
        const auto s = flat<uint8_t>(s_lut);
        const auto i = flat<uint8_t>(i_lut);
        return {s, i, flat<uint8_t>(d_lut)};
    }

    // A writeable flat buffer for arrays the call fills in place.
    template <class T>
    std::span<T> out(const Array& a, const char* name) {
        if (!check_contiguous(a) || !check_writeable(a, name)) return {};
        return {static_cast<T*>(a.data()), a.size()};
    }

    // The elements in row-major order, whatever the memory layout.
    // A failed allocation sets MemoryError.
    template <class T>
    Buffer<T> copy(const Array& a) {
        if (!ok_) return {};
        try {
            Buffer<T> b = Buffer<T>::uninit(a.size());
            copy_row_major(a, b.data(), sizeof(T));
            return b;
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
            ok_ = false;
            return {};
        }
    }

private:
    bool check_contiguous(const Array& a);
    bool check_writeable(const Array& a, const char* name);
    static void copy_row_major(const Array& a, void* dst, std::size_t item_size);
    bool ok_ = true;
};

PyObject* new_array(void* owned, DType dtype, std::initializer_list<std::size_t> dims);

// A tuple that takes over the given new references; when one of them is null
// (its creation failed, the error is set) the others are released and the
// result is null.
PyObject* tuple_of(std::initializer_list<PyObject*> items);

// A result array that owns the buffer's memory (no copy).
template <class T>
PyObject* to_numpy(Buffer<T>&& buffer, std::initializer_list<std::size_t> dims) {
    return new_array(buffer.release(), dtype_of<T>(), dims);
}

}  // namespace kelm::py
