// Run-time choice of vector kernels: what the CPU supports, lowered on
// request by the environment variable KELM_SIMD.
#pragma once

namespace kelm {

enum class SimdLevel {
    scalar,
    avx2,  // AVX2 with BMI2 and POPCNT
};

// The best level the CPU supports, lowered to KELM_SIMD when that names a
// lower level ("scalar"); "avx2", an unset variable or any other value leave
// the best level. Reads the environment on every call.
SimdLevel simd_level();

}  // namespace kelm
