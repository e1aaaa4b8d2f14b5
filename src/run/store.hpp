// Result files: the posterior summaries of the chain, rewritten at every
// store and read back on a restart.
#pragma once

#include "model/state.hpp"
#include "run/store_record.hpp"

namespace run {

// Rewrites the result files "solutions", "msiresppr", "varcomp",
// "loglike_obs", "mh_acceptance", "structural_r" and "robustness_w" (each on
// its condition), and the chain's own "chain_state", for the current cycle
// model::m.round, and closes and reopens
// the sample files for appending (after the last cycle they stay closed).
// The sample files are put on disk first, and the result files are made as
// one unit with the store record (run/store_record.hpp): an interrupted or
// failed store leaves the previous one whole.  One line per file goes to
// standard output once the store is made.
//
// Means and standard deviations (divisor n, the kept count) are written once
// the chain is past burn-in with at least one kept sample; before that the
// mean and sd columns hold the raw sums.  An acceptance rate is its sum
// divided by the acceptance probabilities the sum holds (results::
// acceptance_rate).  A variance that rounds below 0 gives a standard
// deviation of 0.
// With in_background, what waits on the disk is left to util::disk and the
// run goes on; the next store, or anything reading the store, waits for it.
void store_solutions(model::State& s, bool in_background = false);

// What the store and the restart share about the layouts.
namespace results {

// Head lines, written as they stand.
inline constexpr const char* head_solutions = "trait effect level     mean            sd            last ";
inline constexpr const char* head_msiresppr =
    "  animal    sire      post.prob.        sd           last       sample prop";
inline constexpr const char* head_robustness_w = "trait    record       mean            sd            last ";
// Label lines, written as free-format lines with the numbers that follow.
inline constexpr const char* label_g_mean = "Average variance components (G) for effect: ";
inline constexpr const char* label_g_sd = "Std deviation of variance components (G) for effect: ";
inline constexpr const char* label_g_last = "Last variance components sample (G) for effect: ";
inline constexpr const char* label_r_mean = "Average residuals (R)";
inline constexpr const char* label_r_sd = "Std deviation of residuals (R)";
inline constexpr const char* label_r_last = "Last residuals sample (R)";
inline constexpr const char* label_mb_rate = "Acceptance rate & proposal dbelief for effect: ";
inline constexpr const char* label_breeds = "Breed(s): ";
inline constexpr const char* label_structural_rate = "Acceptance rate & proposal dbelief for structural R effect: ";
inline constexpr const char* label_structural_alpha_rate =
    "Acceptance rate & proposal variance for alpha of structural R effect: ";
inline constexpr const char* label_robust_alpha_rate = "Acceptance rate & proposal variance for alpha of robust R ";
inline constexpr const char* label_covariate_rates =
    "Acceptance rates & proposal variance for covariates of unknown covariable: ";
// The column line of "loglike_obs" (a free-format line).
inline constexpr const char* head_loglike_obs = "obs       cpo             average logl    logl-thetabar   residuals";

// The lines of "msiresppr", in file order: f(animal, ps, pp) for each
// candidate of every pedigree line with sampled sires (whichever effect
// holds the group), where MS(ps) is the candidate and MS(pp) its probability.
template <class F>
void each_candidate(const model::State& s, F f) {
  for (int an = 1; an <= s.MS_STAT.size(); ++an) {
    if (s.MS_STAT(an) <= 0) continue;
    const int p = s.P_MS(an);
    const int nc = static_cast<int>(s.MS(p));
    for (int k = 1; k <= nc; ++k) f(an, p + 2 * k - 1, p + 2 * k);
  }
}

// The result files a store at cycle `round` writes, in the order of a
// store; returns their number.
int stored_results(int round, const char* (&names)[record::max_results]);

// The sample files of the chain at a store at cycle `round`: written out
// and put on disk, their lengths entered in st.  A file the store must
// reopen that is missing stops the run.
void sync_sample_files(model::State& s, int round, record::Store& st);
// The sample files after a store at cycle `round`: closed, and reopened for
// appending unless the chain has ended (unit 58 only while its proposals
// are still tuned).
void reopen_sample_files(model::State& s, int round);
// Lines of the entry of cycle `round` in "varcompsam" or "solutionsam"
// (the cycle's line and one line per value).
long long entry_lines(const model::State& s, const char* name, int round);
// The sample files of a chain restarted at cycle `start` from the store st,
// checked without changing them: a file shorter than at the store, one that
// the store does not name, and a stored length that does not end a line
// (or, in "varcompsam", "solutionsam" and "loglike_rnd", the entry of the
// stored cycle; in "msirespprsam", the lines of that cycle) are refused,
// naming the record's line; a missing file stops the run.
void check_sample_files(model::State& s, int start, const record::Store& st);
// Then each is cut back to its length at the store, so lines written after
// it (a partial line or cycle included) go, and opened for appending.
void open_sample_files(model::State& s, int start, const record::Store& st);

}  // namespace results

}  // namespace run
