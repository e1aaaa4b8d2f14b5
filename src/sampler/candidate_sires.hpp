// Animal models with candidate sires ("add_an_ms"): the relationship inverse
// with unknown parent groups and each animal's Mendelian coefficient DINV,
// the draw of a sire from its candidates given the current solutions, the
// Dirichlet redraw of the candidates' prior probabilities, and the checks
// that such a model needs before its first cycle.
//
// Candidate block of an animal at p = P_MS(an) in MS: the count n, then for
// candidate k its id at p+2k-1 and its probability at p+2k.  PROBS is the
// work vector of one animal: slot 1 the animal, 2 the dam, k+2 candidate k.
#pragma once

#include "model/state.hpp"

namespace sampler {

// Random type add_an_ms in the equation build of a cycle.  In the first cycle of
// the chain A^-1 of the pedigree lines 1..nlev-ngrp is built with the
// pedigree's sires, and for an animal whose sire is still unknown with the
// probability-weighted terms of all its candidates; from the second cycle
// on every animal with MS_STAT = 1 gets a sire drawn (after the Dirichlet
// redraw when ms_alpha != 0), in a continued run from its first cycle, which
// goes on from the sires of the store.  The chain's second cycle and the
// first of every run build A^-1 from scratch, later cycles update it only
// for the animals whose sire changed (the keys of former sires stay at 0).
// Adds ginv(e) (x) A^-1 to s.XX for the traits where both effects have
// data.  maxc is the largest candidate count.
void add_g_aav(model::State& s, int e, int maxc);
// The steps of add_g_aav: the sire draws and A^-1 in s.AINV(e) and its copy
// s.AINV_IJA(e) (update_ainv); then the terms (add_ainv_terms of
// relationship.hpp, through s.XX or straight into s.XX_IJA); then the line of
// the first cycle and the stop for an empty pedigree (finish_aav).
void update_ainv(model::State& s, int e, int maxc);
void finish_aav(model::State& s, int e);

// Redraws the prior probabilities MS(p+2k) of animal an's candidates from
// their Dirichlet full conditional: shape MS_ALPHAS(p+2k) (32-bit), plus 1
// for the current sire, or for every candidate in the first two cycles of
// the chain.  On kept cycles the probabilities enter SUMMS/SSMS, and the
// animal whose block starts at 1 writes one "msirespprsam" line per
// candidate.
void sample_sire_prob(model::State& s, int e, int an);

// PROBS(k+2) := 1.0 for k = 1..n: the work vector as it stands between
// animals, after their candidates' weights.
void reset_weights(model::State& s, int n);

// PROBS(k+2) := exp(-h * q[k-1]) * MS(p+2k), k = 1..n, divided by their sum.
// When that sum is 0 or not finite the weights are formed relative to the
// smallest q instead (the same probabilities without the underflow).
void candidate_weights(model::State& s, int p, int n, const double* q, double h);

// The sire drawn from the weights in PROBS(3..n+2) of the block at p: the
// first candidate whose cumulative weight reaches one uniform deviate; a
// candidate numbered 0 passes the draw on to the next one.  The walk ends at
// the last candidate with a non-zero id.  On kept cycles the id slot of
// every candidate it stops at counts one in SUMMS.  an names the animal in
// the stop for a block without any sire.
int draw_candidate(model::State& s, int an, int p, bool kept);

// Start-up checks of the model description: every "ram" effect lies in an
// "add_an_ms" group whose first effect is a "ram" effect, with that effect's
// levels; that effect is present for trait 1; the pedigree holds at least
// nlev - ngrp lines.
void check_candidate_model();

}  // namespace sampler
