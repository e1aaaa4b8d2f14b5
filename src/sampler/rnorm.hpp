// Reaction-norm models: the term h_j (1 + b_i) of an unknown covariable
// ("unk", level j) and the reaction norms ("rno", level i) that read its
// column.  The term is linear in h given b and in b given h, so each cycle
// builds and samples the equations twice on one pair of XX and XY: pass 1
// draws the unknown covariables given everything else, pass 2 all other
// location effects given the covariables.  Where a reaction norm is also a
// structural residual effect the residual variance depends on h, and its
// covariable is drawn by Metropolis-Hastings instead.
#pragma once

#include "model/state.hpp"

namespace sampler {

// True when the model has a reaction-norm effect (and so runs the two
// passes).
bool reaction_norm_model();

// Pass (1 or 2) whose block step draws effect e: 1 for unknown covariables.
int pass_of(int e);

// Stops at start-up for reaction-norm models the passes cannot sample: a
// random group mixing effects of the two passes, a reaction norm without a
// level column, a covariable drawn by Metropolis-Hastings that is not the
// first effect of a random group (its prior variance is its group's g).
void check_rnorm_model();

// The structural reaction norm whose factor scales the records of unknown
// covariable u (the first in structural order on u's column in trait 1), or
// 0 when u is drawn by the block step.
int structural_rnorm_of(int u);

// One pass's equations added into s.XX and s.XY (values as the caller left
// them): every record's terms among the pass's effects, its observations
// corrected for the other pass's effects, then the pass's random groups.  At
// the first cycle of a run (round = start) pass 1 reads the data file, and
// both passes print their progress lines and, for at most 20 equations,
// the system.  Leaves s.irec = nrec + 1.
void build_pass(model::State& s, int pass);

// The block step of every level of effect e (all traits together), in
// equation order, on s.XX_IJA, s.XY and s.SOL.
void draw_effect_blocks(model::State& s, int e);

// The block pass of one pass: the pass's effects in order, each by its block
// steps, or an unknown covariable with a structural reaction norm by
// sample_h_rnorm.
void draw_pass(model::State& s, int pass);

// Metropolis-Hastings draws of the levels of unknown covariable u whose
// records are scaled by structural reaction norm r (single trait): r_nround
// random-walk rounds over all levels, tuning of the proposal variance in the
// first half of burn-in, and in the last cycle the acceptance table (each
// level's rate since the last tuning step).
void sample_h_rnorm(model::State& s, int u, int r);

// True when the levels of unknown covariable u are drawn by sample_h_rnorm.
bool covariates_by_mh(int u);

// Log posterior ratio of a proposal h1 against h0 for one level: ss = sum
// over its records of e0^2/v0 - e1^2/v1 (residual and variance under each
// value), n its record count, ln_s the log of the structural factor whose
// power h scales them, g the prior variance.
double h_log_ratio(double h0, double h1, double ss, double n, double ln_s, double g);

}  // namespace sampler
