#include "core/common/cpu_features.hpp"

#include <cstdlib>
#include <cstring>

namespace kelm {

namespace {

SimdLevel cpu_level() {
#if defined(__x86_64__)
    static const SimdLevel level = [] {
        __builtin_cpu_init();
        const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                          __builtin_cpu_supports("popcnt");
        return avx2 ? SimdLevel::avx2 : SimdLevel::scalar;
    }();
    return level;
#else
    return SimdLevel::scalar;
#endif
}

}  // namespace

SimdLevel simd_level() {
    const SimdLevel best = cpu_level();
    const char* requested = std::getenv("KELM_SIMD");
    if (requested && std::strcmp(requested, "scalar") == 0) return SimdLevel::scalar;
    return best;
}

}  // namespace kelm
