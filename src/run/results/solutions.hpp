// "solutions": the location effects, one level line (run/results/columns.hpp)
// per trait of each level of each effect, the effects in order, levels
// within effects, traits within levels; a trait the effect leaves out has
// no line.  After the levels of a reduced animal model's "ram" effect come
// the animals without equations of their own (level nlev+1 on).
//
//   Solution after: <cycle> rounds and burn-in of <nburn>
//   trait effect level     mean            sd            last
//     1  1       1      12.345678       0.123456      12.300000
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* solutions_file = "solutions";
// The title line begins so (ResultOut::title).
inline constexpr const char* title_solutions = "Solution after: ";

void write_solutions(const model::State& s, const Kept& sm);
// SOL, SUMSOL and SSSOL (and SOL_N, SUMSOL_N, SSSOL_N) back for a restart
// at cycle start; values the state has no room for are read and dropped.
void read_solutions(model::State& s, int start, const Kept& sm);

}  // namespace run::results
