// Buffer<T>: an owned result buffer from malloc/calloc. The binding layer
// hands its memory to NumPy (release) so results are never copied.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <utility>

#include "core/common/check.hpp"

namespace kelm {

template <class T>
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& o) noexcept : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)) {}
    Buffer& operator=(Buffer&& o) noexcept {
        if (this != &o) {
            std::free(data_);
            data_ = std::exchange(o.data_, nullptr);
            size_ = std::exchange(o.size_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    // n elements set to zero (calloc: large buffers get lazily zeroed pages).
    static Buffer zeroed(std::size_t n) { return Buffer(n, std::calloc(byte_size<T>(n) ? byte_size<T>(n) : 1, 1)); }
    // n elements with unspecified content, for buffers that are written in full.
    static Buffer uninit(std::size_t n) { return Buffer(n, std::malloc(byte_size<T>(n) ? byte_size<T>(n) : 1)); }
    static Buffer copy_of(std::span<const T> src) {
        Buffer b = uninit(src.size());
        if (!src.empty()) std::memcpy(b.data_, src.data(), src.size_bytes());
        return b;
    }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    std::span<T> span() { return {data_, size_}; }
    std::span<const T> span() const { return {data_, size_}; }
    std::span<const T> cspan() const { return {data_, size_}; }

    // Gives up ownership; the memory must be freed with std::free.
    T* release() {
        size_ = 0;
        return std::exchange(data_, nullptr);
    }

private:
    Buffer(std::size_t n, void* p) : data_(static_cast<T*>(p)), size_(n) {
        if (!p) throw std::bad_alloc();
    }
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kelm
