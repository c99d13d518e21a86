#include "core/rans/coder.hpp"

namespace kelm {

namespace {
struct MagicTable {
    uint64_t entries[kMagicLen];
    MagicTable() {
        entries[0] = 0;
        for (uint64_t i = 1; i < kMagicLen; ++i) entries[i] = UINT64_MAX / i;
    }
};
}  // namespace

const uint64_t* magic_lut() {
    static const MagicTable table;  // built once, on first use, thread-safe
    return table.entries;
}

}  // namespace kelm
