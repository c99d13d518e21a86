#include "core/common/check.hpp"

namespace kelm {

void panic(std::string message) { throw Panic{std::move(message)}; }

void panic_index(std::size_t len, std::size_t index) {
    panic("index out of bounds: the len is " + std::to_string(len) + " but the index is " +
          std::to_string(index));
}

void panic_range_end(std::size_t end, std::size_t len) {
    panic("range end index " + std::to_string(end) + " out of range for slice of length " +
          std::to_string(len));
}

void panic_range_start(std::size_t start, std::size_t len) {
    panic("range start index " + std::to_string(start) + " out of range for slice of length " +
          std::to_string(len));
}

void panic_range_order(std::size_t start, std::size_t end) {
    panic("slice index starts at " + std::to_string(start) + " but ends at " + std::to_string(end));
}

void panic_capacity_overflow() { panic("capacity overflow"); }

void reject(std::string message) { throw InvalidInput{std::move(message)}; }

}  // namespace kelm
