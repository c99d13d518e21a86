// The vectorised row step shared by the forward and scatter passes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelm {

// The per-row part that does not depend on the tables: predictions, folded
// residuals (written to the residual row), gradient indices and the sum of
// |X - prediction|, for pixels [0, w) of a bordered row. The arithmetic of
// fold_residual and gradient_index is spelled out on 16-bit lanes so the
// compiler vectorises the loop; the tests compare both forms exhaustively.
uint64_t row_stage(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                   uint8_t* __restrict pred, uint8_t* __restrict res, uint32_t* __restrict grad);

// The same loop compiled for AVX2; only for CPUs that have it (simd_level()).
uint64_t row_stage_avx2(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                        uint8_t* __restrict pred, uint8_t* __restrict res, uint32_t* __restrict grad);

// The loop's predictions and folded residuals alone, for callers that
// classify pixels from their neighbours rather than from gradient indices
// (or do not classify them); the AVX2 build only for CPUs that have it.
void residual_row(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                  uint8_t* __restrict pred, uint8_t* __restrict res);
void residual_row_avx2(const uint8_t* __restrict cur, const uint8_t* __restrict up, std::size_t w,
                       uint8_t* __restrict pred, uint8_t* __restrict res);

}  // namespace kelm
