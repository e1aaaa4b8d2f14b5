// Covariance-inverse terms of the random groups whose relationship structure
// is fixed for the run: G^-1 (x) I for "diagonal" groups and G^-1 (x) A^-1 for
// the additive types (animal, animal with unknown parent groups, the same
// with inbreeding, sire).
#pragma once

#include "run/state.hpp"

namespace sampler {

// Random type 2: adds ginv(e) (x) I over the group's levels to s.XX; in the
// first cycle of a run also stores I in s.AINV(e) and sets s.DF_RANDOM(e).
void add_g_diag(run::State& s, int e);

// Random types 3 to 6 (and a single-breed multiple-breed group as type 3):
// adds ginv(e) (x) A^-1 to s.XX; A^-1 from the pedigree in s.PED, built in
// the first cycle of a run and kept in s.AINV(e).
void add_g_add(run::State& s, int randomtype, int e);

}  // namespace sampler
