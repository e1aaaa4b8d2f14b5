// The mixed-model equations of one cycle: every record's terms
// X'(w R^-1)X and X'(w R^-1)y added into s.XX and s.XY, then each random
// group's covariance-inverse terms.
#pragma once

#include "run/state.hpp"

namespace sampler {

// Builds the equations of the cycle into s.XX and s.XY, whose values the
// caller has set to 0.  At the first cycle of a run (round = start) it reads
// the data file into s.INDATA, checking each record, prints the slots of the
// first nine records and two progress lines, and for at most 20 equations
// prints the whole system.  Leaves s.irec = nrec + 1 and the cursor on the
// last record.
void setup_eq(run::State& s);

// Adds the terms of the record in the cursor (after find_addresses, decode_r
// and predict_missing_y) to s.XX and s.XY.
void add_record_terms(run::State& s);

// Adds the covariance-inverse terms of every random group to s.XX, by its
// random type.
void add_random_terms(run::State& s);

}  // namespace sampler
