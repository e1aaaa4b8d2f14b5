// The dispersion step, the second half of every cycle: a residual pass over
// the records, new draws of every random group's (co)variance matrix G and of
// the residual (co)variance matrix R from their inverse-Wishart full
// conditionals, the sample files, the posterior sums, the structural residual
// effects and robustness weights, in that order (the order fixes the random
// stream).  The run control then ends the cycle (run::end_cycle).
//
// The starting matrices ORIG_G and ORIG_R give the prior scales and the zero
// pattern: an element that is 0 there is never sampled and stays 0, except
// inside the breed blocks of a multiple-breed group (model::sampled_element).
#pragma once

#include <vector>

#include "model/state.hpp"
#include "sampler/samplefiles.hpp"
#include "sparse/blocks.hpp"
#include "util/array.hpp"

namespace sampler {

// Work arrays of the step, kept between cycles so that a cycle allocates
// nothing of the size of the data; their contents last one call.
struct DispersionWork {
  // (nrec, ntrait): residuals of each record times sqrt(w / residual scale),
  // w its weight, so that each row has covariance R.  The Mendelian step
  // fills the rows of the records it handles.
  util::mat1<double> e;
  util::mat1<double> ee;     // (ntrait, ntrait) residual cross-products
  util::arr3<double> qform;  // (neff, 20, 20) quadratic forms of each group
  // Solutions of one group by level, the block's n values of a level side by
  // side (levels * n), for groups of several effects.
  std::vector<double> levels;
  // A^-1 of each group (index e-1) as its elements in table order, gathered
  // in the first cycle of a run and whenever the table is another.
  struct Ainv {
    sparsem::hash_terms terms;
    const void* table = nullptr;
    std::int32_t nel = -1, filled = -1;
    long version = -1;  // of an add_an_ms group's A^-1 (GroupTerms::ainv_version)
    // For an add_an_ms group: the term of each slot of the table (1-based).
    std::vector<std::int32_t> term_of_slot;
  };
  std::vector<Ainv> ainv;
};

// One dispersion step for cycle model::m.round, working on s, model::m (g and
// r are replaced), the workspace's dispersion work and sample files.  s.logl_total must hold 0
// at entry (the main loop clears it before each cycle).
void gibbsvar(model::State& s);

// ---- the steps of gibbsvar, in their order ----------------------------------

// Residual pass (every record through the record protocol): w.e, w.ee and, on
// kept cycles, the log-likelihoods.  Leaves s.irec at nrec + 1.
void residual_pass(model::State& s, DispersionWork& w);
// New G of every random group (multiple-breed groups through their own step).
void sample_g(model::State& s, DispersionWork& w);
// New R from w.ee.
void sample_r(model::State& s, DispersionWork& w);
// The lines of "varcompsam", "loglike_rnd" and "solutionsam" of the cycle:
// write_samples (sampler/samplefiles.hpp).
// SUMR/SSR, SUMG/SSG, SUMSOL/SSSOL and, with a reduced animal model,
// SUMSOL_N/SSSOL_N.
void add_posterior_sums(model::State& s);

// Structural residual effects (sampler/structural.cpp): new factors and
// prior shapes; e (the residual array of residual_pass) is rescaled in place
// so that, for the residual types with robustness weights, it leaves
// standardised by the new factors.  Moves s.irec.
void structural_r(model::State& s, util::mat1<double>& e);
// Robustness weights and their shape (sampler/robust.cpp), Student-t and
// slash, from the residual array as structural_r leaves it.  Moves s.irec.
void student_t_weights(model::State& s, const util::mat1<double>& e);
void slash_weights(model::State& s, const util::mat1<double>& e);
// Mendelian terms of the animals without equations of a reduced animal
// model (the "add_an_ms" group at e whose first effect is "ram"), in
// pedigree order from nlev(e)+1: each animal's record gives its missing
// traits and its terms of all traits and effects of the group, drawn
// jointly (into s.SOL_N, then its parents' average added), its residual
// and, when its sire is sampled, a new sire drawn with the terms integrated
// out.  Adds the terms' weighted cross-products to qform(e, :, :), the
// records' weighted residual cross-products to ee and their rows of
// the dispersion work's e, and on kept cycles the records' log-likelihoods under
// the residual covariance alone.  In the first cycle of a run stops when
// such an animal has no record or more than one, or their records are not
// in ascending order of animal.
void mendelian(model::State& s, int e, util::arr3<double>& qform, util::mat1<double>& ee);
// mendelian() takes a loop of its own for one trait and the animal effect
// alone in its group, records whose slots the build kept, no structural
// factor or robust weight and no sire to draw: the same draws and sums.
// Tests turn it off to compare it with the general loop.
extern bool one_trait_mendelian;

// Multiple-breed (co)variance blocks of the group at e (sampler/multibreed.cpp;
// order n per breed) by Metropolis-Hastings with inverse-Wishart proposals,
// mb_nround rounds over the breed pairs, the proposal degrees of belief
// tuned in the first half of burn-in; with candidate sires (at most maxc per
// animal) the sampled animals' sires are drawn first, in a step of their own
// (draw_mb_sires), and the rounds take them as drawn.
void sample_mb_g(model::State& s, int e, int n);
void sample_mbs_g(model::State& s, int e, int maxc, int n);

}  // namespace sampler
