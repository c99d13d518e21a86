// Large results are written once, page by page, from fresh memory.
#pragma once

#include <cstddef>

namespace kelm {

// Asks for huge pages on the whole 2 MiB pages of a fresh large buffer, so
// that writing it for the first time takes few page faults.
void prefer_huge_pages(void* data, std::size_t size);

}  // namespace kelm
