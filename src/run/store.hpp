// Result files: the posterior summaries of the chain, rewritten at every
// store and read back on a restart.
#pragma once

#include "run/state.hpp"

namespace run {

// Samples in the running sums after cycle `round`: the cycles past nburn
// that are multiples of skip, (round div skip) - (nburn div skip).  It is 0
// or negative during burn-in.
int kept_count(int round);

// Rewrites the result files "solutions", "msiresppr", "varcomp",
// "loglike_obs", "mh_acceptance", "structural_r" and "robustness_w" (each on
// its condition) for the current cycle model::m.round, and closes and reopens
// the sample files for appending (after the last cycle they stay closed).
// Each file is written whole to a temporary and renamed into place, so an
// interrupted store leaves the previous files intact.
void store_solutions(State& s);

}  // namespace run
