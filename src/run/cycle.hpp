// The loop of cycles: each cycle inverts the random groups' blocks, rebuilds
// the mixed-model equations, draws every location effect block by block,
// takes the dispersion step and ends with a periodic store and progress
// line; after the last cycle, the evaluation at the
// posterior means, the final store and the timing line.
#pragma once

#include "model/state.hpp"

namespace run {

// Start-up checks of the candidate-sire and reaction-norm models, made
// before the stream is seeded or any file beyond the parameter file is read.
void check_model_classes();

// ginv := g, then each random group's leading block inverted over its
// present rows with pivot tolerance 1e-18 (its absent rows 0);
// multiple-breed groups keep g, except a one-breed "add_an_mb" group without
// candidate sires (built by the additive rules).
void invert_group_blocks();

// Values of XX (or, when the coming build goes straight there, of XX_IJA)
// and every element of XY set to 0 (keys kept), logl_total := 0.
void reset_equations(model::State& s);

// Starting solutions by conjugate gradients (printed for at most 20
// equations); with create_files, the sample files of a fresh chain.
void start_solutions(model::State& s, bool create_files);

// The cycle's location effects of a reaction-norm model, in place of the
// build and the block pass: pass 1 draws the unknown covariables given the
// other effects, pass 2 the other effects given the covariables, each on
// equations built anew into XX and XY (zeroed once by the caller).
void setup_eq_rnorm(model::State& s);

// The block Gibbs pass of a cycle, after refreshing XX_IJA from XX (unless
// the build went straight into XX_IJA); starting solutions and the sample
// files in cycle 1 of a fresh chain.
void gibbssol(model::State& s);

// The end of cycle model::m.round, after its dispersion step: the result
// files stored (in the background) every 100 thinning intervals before the
// last cycle, and every 10 the line " round <round> elapsed time <s> s (
// <rate> rounds/min )" (s.cpu_now and s.cpu_last set).
void end_cycle(model::State& s);

// Optional timing of the cycles, for benchmarks: wall-clock seconds of the
// three phases of the cycle just run, handed to after_cycle when it is set.
struct CycleTimes {
  double build = 0;       // group inverses and the equation build
  double blocks = 0;      // the block Gibbs pass
  double dispersion = 0;  // the dispersion step and the end of the cycle
  void (*after_cycle)(const model::State& s, const CycleTimes& t, void* user) = nullptr;
  void* user = nullptr;
};

// Cycles model::m.start .. model::m.nround; afterwards model::m.round holds
// nround, also when no cycle ran.  Returns the number of cycles run.  With
// times, each cycle's phases are timed (nothing else changes).
int run_cycles(model::State& s, CycleTimes* times = nullptr);

// Log-likelihood and standardised residuals of every record at the
// posterior means (columns 3 and beyond of LOGL_OBS), under the record's
// covariance: its mean scale times the mean of R, over its weight.
void logl_thetabar(model::State& s);

// The final pass when it applies, the final store and the timing line.
void finish_run(model::State& s, int cycles_run);

}  // namespace run
