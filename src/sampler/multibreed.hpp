// Multiple-breed random groups ("add_an_mb" 9, "diag_mb" 10): each animal's
// Mendelian (co)variance W is a breed-fraction mixture of the breed blocks
// of the group's G.  One enumeration of W's terms serves the equations
// (add_g_mb, add_g_mbs), the Metropolis-Hastings steps on the breed blocks
// (sample_mb_g, sample_mbs_g, declared in gibbsvar.hpp) and the draw of
// candidate sires, so they cannot disagree.
//
// W is linear in the breed blocks: each animal's terms (coefficient and
// block, in the order the sum is formed) are kept from one cycle to the
// next, and animals with the same terms share one W, its inverse and
// determinant.  The terms are formed again only for the animals whose own or
// parents' sires changed.
//
// G of a group at e has order d * nbreed(e), d = ntrait * randomnumb(e);
// breed block (b1, b2) holds rows (b1-1)d+1..b1 d, columns (b2-1)d+1..b2 d.
#pragma once

#include <cstdint>

#include "model/state.hpp"

namespace sampler {

// Parent slots of one pedigree line: slot 2 the dam, then the sire (slot 3)
// or, while the sire is undrawn, each candidate h in slot h+2 weighted by
// its current probability.  Ids <= 0 are unknown parents.
struct MbSlots {
  int n = 3;  // last slot
  int id[model::max_candidates + 3] = {};
  double w[model::max_candidates + 3] = {};
};

// The slots of line x of group e.  Without `candidates` (or with a known
// sire) two slots of weight 1.
void mb_slots(const model::State& s, int e, int x, bool candidates, MbSlots& sl);

// W of animal a (its pedigree line) into w (leading dimension d) from the
// breed blocks of G (20 by 20, column-major).  sl are a's slots with the
// weights the caller wants; `candidates` gives a parent's own slots (for the
// grandparent terms of add_an_mb) their candidates.
void mb_animal_cov(const model::State& s, int e, int a, const MbSlots& sl, bool candidates,
                   const double* G, int d, double* w);

// W of animal a as the kept terms of the group give it (the same numbers as
// mb_animal_cov with a's slots); brings the kept terms up to date first.
void mb_kept_cov(model::State& s, int e, int d, int a, const double* G, double* w);
// Animals of the group that share their W with an earlier one.
int mb_shared_animals(model::State& s, int e, int d);

// The multiple-breed types in the equation build: W^-1 of every animal spread
// over the equations of the animal and (add_an_mb) its parents with Henderson's
// coefficients.  add_g_mb repairs W before inverting ("winv add_g_mb");
// add_g_mbs takes the candidates of undrawn sires with their probabilities.
// m is the largest candidate count, d = ntrait * randomnumb(e).
void add_g_mb(model::State& s, int e, int m, int d);
void add_g_mbs(model::State& s, int e, int m, int d);

// The equation build straight into the values a of s.XX_IJA (see
// eq_plan.hpp): add_g_mb's additions in their order at the positions that
// plan_mb_positions found after the last build through s.XX.  False, adding
// nothing, when there are none or the group's terms changed since.
bool add_g_mb_direct(model::State& s, int e, double* a);
bool plan_mb_positions(const model::State& s, int e, std::int32_t (*where)(std::int32_t, std::int32_t, const void*),
                       const void* ctx);

// Log acceptance ratio of the proposal C (the whole 20 by 20 block, breed
// block (b1, b2) replaced by the proposed matrix) against the current g(e)
// for breed pair (b1, b2) with proposal degrees of belief nu, the sires as
// they stand: the animals' Gaussian densities, the inverse-Wishart prior and
// the proposal ratio.
double mb_log_ratio(model::State& s, int e, int d, int b1, int b2, int nu, const double* C,
                    bool candidates);

// Candidate sires: every animal whose sire is sampled (MS_STAT = 1) gets, in
// line order, its candidates' probabilities redrawn (ms_alpha != 0) and a
// sire drawn from its full conditional given g(e) and the solutions: the
// candidate's probability times the density of the animal's Mendelian
// deviation under that sire and those of its offspring whose W takes their
// grandparents' fractions through it.  One line per animal on standard
// output (the animal and PROBS); the sire goes into PED(e, a, 3).
void draw_mb_sires(model::State& s, int e, int d);

// Proposal degrees of belief at or below d + 1 give no proposal scale: they
// are raised to d + 4, with one warning line per group.  At start-up, after
// any restart read.
void check_mb_dbelief(model::State& s);

}  // namespace sampler
