// "varcomp": the (co)variance matrices.  For every random group (block
// order d) three labelled blocks of d rows, the mean, the sd and the last
// sample, then the same three for R (order ntrait); a row is d values of
// F12.4, ten to a line.
//
//   Variance components after: <cycle> rounds and burn-in of <nburn>
//   Average variance components (G) for effect: <e>
//   ...
//   Last residuals sample (R)
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* varcomp_file = "varcomp";
// The title line begins so (ResultOut::title).
inline constexpr const char* title_varcomp = "Variance components after: ";

// Label lines, written as free-format lines with the numbers that follow.
inline constexpr const char* label_g_mean = "Average variance components (G) for effect: ";
inline constexpr const char* label_g_sd = "Std deviation of variance components (G) for effect: ";
inline constexpr const char* label_g_last = "Last variance components sample (G) for effect: ";
inline constexpr const char* label_r_mean = "Average residuals (R)";
inline constexpr const char* label_r_sd = "Std deviation of residuals (R)";
inline constexpr const char* label_r_last = "Last residuals sample (R)";

void write_varcomp(const model::State& s, const Kept& sm);
// G, R and their sums back for a restart at cycle start.  The last sample
// of each matrix must be one the sampler keeps: symmetric, 0 where the
// starting matrix is 0 (inside breed blocks, where the sampler keeps it 0)
// and positive definite over the rows the starting matrix does not leave
// at 0; a multiple-breed block breed pair by breed pair.
void read_varcomp(model::State& s, int start, const Kept& sm);

}  // namespace run::results
