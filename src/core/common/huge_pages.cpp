#include "core/common/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace kelm {

void prefer_huge_pages(void* data, std::size_t size) {
    constexpr std::uintptr_t kHuge = std::uintptr_t(1) << 21;
    const std::uintptr_t begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
    const std::uintptr_t end = (reinterpret_cast<std::uintptr_t>(data) + size) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

}  // namespace kelm
