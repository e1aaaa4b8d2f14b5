// The loop of cycles: each cycle inverts the random groups' blocks, rebuilds
// the mixed-model equations, draws every location effect block by block and
// ends with the dispersion step; after the last cycle, the evaluation at the
// posterior means, the final store and the timing line.
#pragma once

#include "run/state.hpp"

namespace run {

// Stops at start-up for a model that needs sampling steps this build does
// not have, naming what is missing.
void refuse_unbuilt_models();

// ginv := g, then each random group's leading block (other than the
// multiple-breed types) inverted in place with pivot tolerance 1e-18.
void invert_group_blocks();

// Values of XX and every element of XY set to 0 (keys kept), logl_total := 0.
void reset_equations(State& s);

// The block Gibbs pass of a cycle; starting solutions and the sample files in
// cycle 1 of a fresh chain.
void gibbssol(State& s);

// Cycles model::m.start .. model::m.nround; afterwards model::m.round holds
// nround, also when no cycle ran.  Returns the number of cycles run.
int run_cycles(State& s);

// Log-likelihood and standardised residuals of every record at the
// posterior means (columns 3 and beyond of LOGL_OBS).
void logl_thetabar(State& s);

// The final pass when it applies, the final store and the timing line.
void finish_run(State& s, int cycles_run);

}  // namespace run
