// The mixed-model equations of one cycle: every record's terms
// X'(w R^-1)X and X'(w R^-1)y added into s.XX and s.XY, then each random
// group's covariance-inverse terms.
//
// setup_eq is the reference build: every addition goes through the hash
// store s.XX.  Later cycles of a run may take a faster route that makes the
// same additions in the same order straight into s.XX_IJA; which one a
// cycle takes is decided once, at its start, by the equation plan
// (sampler/eq_plan.hpp), and the build leaves the plan when a record or a
// group departs from it.
#pragma once

#include <functional>

#include "model/state.hpp"

namespace sampler {

// Builds the equations of the cycle into s.XX and s.XY (or, on a planned
// route, into s.XX_IJA and s.XY), whose values the caller has set to 0 by
// reset_matrix_values.  At the first cycle of a run (round = start) it reads
// the data file into s.INDATA, checking each record, prints the slots of the
// first nine records and two progress lines, and for at most 20 equations
// prints the whole system.  Leaves s.irec = nrec + 1 and the cursor on the
// last record.
void setup_eq(model::State& s);

// Adds the covariance-inverse terms of the random groups whose first effect
// e has only(e) true to s.XX, by their random type.
void add_random_terms(model::State& s, const std::function<bool(int)>& only);

}  // namespace sampler
