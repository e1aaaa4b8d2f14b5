// "structural_r": the structural residual effects, in the layout of
// "solutions": for each structural effect, its shape first when it is
// random per level (trait 1, the effect, the word "alpha" in place of the
// level), then the level lines of its factors (one for a scale factor).
//
//   Structural R solution after: <cycle> rounds and burn-in of <nburn>
//   trait effect level     mean            sd            last
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* structural_r_file = "structural_r";
// The title line begins so (ResultOut::title).
inline constexpr const char* title_structural_r = "Structural R solution after: ";

void write_structural_r(const model::State& s, const Kept& sm);
// The factors, the shapes and their sums back for a restart at cycle
// start; a factor must be above 0, a shape above 1.
void read_structural_r(model::State& s, int start, const Kept& sm);

}  // namespace run::results
