// Multiple-breed random groups ("add_an_mb" 9, "diag_mb" 10): each animal's
// Mendelian (co)variance W is a breed-fraction mixture of the breed blocks
// of the group's G.  One builder forms W for the equations (add_g_mb,
// add_g_mbs) and for the Metropolis-Hastings steps on the breed blocks
// (sample_mb_g, sample_mbs_g, declared in gibbsvar.hpp), so the two cannot
// disagree.
//
// G of a group at e has order d * nbreed(e), d = ntrait * randomnumb(e);
// breed block (b1, b2) holds rows (b1-1)d+1..b1 d, columns (b2-1)d+1..b2 d.
#pragma once

#include "run/state.hpp"

namespace sampler {

// Parent slots of one pedigree line: slot 2 the dam, then the sire (slot 3)
// or, while the sire is undrawn, each candidate h in slot h+2 weighted by
// its current probability.  Ids <= 0 are unknown parents.
struct MbSlots {
  int n = 3;  // last slot
  int id[run::max_candidates + 3] = {};
  double w[run::max_candidates + 3] = {};
};

// The slots of line x of group e.  Without `candidates` (or with a known
// sire) two slots of weight 1.
void mb_slots(const run::State& s, int e, int x, bool candidates, MbSlots& sl);

// W of animal a (its pedigree line) into w (leading dimension d) from the
// breed blocks of G (20 by 20, column-major).  sl are a's slots with the
// weights the caller wants; `candidates` gives a parent's own slots (for the
// grandparent terms of type 9) their candidates.
void mb_animal_cov(const run::State& s, int e, int a, const MbSlots& sl, bool candidates,
                   const double* G, int d, double* w);

// Random types 9 and 10 in the equation build: W^-1 of every animal spread
// over the equations of the animal and (type 9) its parents with Henderson's
// coefficients.  add_g_mb repairs W before inverting ("winv add_g_mb");
// add_g_mbs takes the candidates of undrawn sires with their probabilities.
// m is the largest candidate count, d = ntrait * randomnumb(e).
void add_g_mb(run::State& s, int e, int m, int d);
void add_g_mbs(run::State& s, int e, int m, int d);

// Log acceptance ratio of the proposal C (the whole 20 by 20 block, breed
// block (b1, b2) replaced by the proposed matrix) against the current g(e)
// for breed pair (b1, b2) with proposal degrees of belief nu: the animals'
// Gaussian densities, the inverse-Wishart prior and the proposal ratio.
// With `draw_sires` (candidate sires, first round, pair (1, 1)) the sires of
// the sampled animals are drawn on the way, as the step itself does.
double mb_log_ratio(run::State& s, int e, int d, int b1, int b2, int nu, const double* C,
                    bool candidates, bool draw_sires);

// Proposal degrees of belief at or below d + 1 give no proposal scale: they
// are raised to d + 4, with one warning line per group.  At start-up, after
// any restart read.
void check_mb_dbelief(run::State& s);

}  // namespace sampler
