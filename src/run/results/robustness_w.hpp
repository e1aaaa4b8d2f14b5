// "robustness_w": the robustness weights of heavy-tailed residuals.  For
// each trait a line of the shape (the trait, the word "alpha"), then one
// line per record: trait (I3), record (I10), mean, sd and last (F15.6).
//
//   Robustness weights after: <cycle> rounds and burn-in of <nburn>
//   trait    record       mean            sd            last
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* robustness_w_file = "robustness_w";
// The title line begins so (ResultOut::title).
inline constexpr const char* title_robustness_w = "Robustness weights after: ";
inline constexpr const char* head_robustness_w = "trait    record       mean            sd            last ";

void write_robustness_w(const model::State& s, const Kept& sm);
// The weights, the shape and their sums back for a restart at cycle start;
// a weight must be above 0 (and at most 1 with slash residuals), the shape
// above 0.
void read_robustness_w(model::State& s, int start, const Kept& sm);

}  // namespace run::results
