// The thinned sample files of the chain: "varcompsam" (unit 55),
// "loglike_rnd" (56), "mh_dbeliefchg" (58) and "solutionsam" (61), their
// lines and the layout of an entry.
//
// The run control creates them in the first cycle of a fresh run and opens
// them for appending on a restart; the store closes and reopens them
// (run/results/sample_files.hpp).  The steps of a cycle hand their values to
// the writers below, which alone write sample lines, one free-format line
// per value.  A write to a file that is not open is dropped, so a file that
// the model does not need simply stays closed.  ("msirespprsam", unit 57,
// lives in model::State, since the candidate sires are read with the data;
// its lines too are written here.)
//
// An entry of "varcompsam" is the cycle's line, the kept elements of every
// G and of R (the dispersion step), and at multiples of the thinning
// interval the saved structural factors with the shape of each random
// structural effect (the structural step) and the robustness shape (the
// robustness step).  An entry of "solutionsam" is the cycle's line and the
// solutions of the saved effects; "loglike_rnd" has one line a cycle.
#pragma once

#include "model/state.hpp"
#include "util/textio.hpp"

namespace sampler {

inline constexpr const char* varcompsam_file = "varcompsam";
inline constexpr const char* loglike_rnd_file = "loglike_rnd";
inline constexpr const char* mh_dbeliefchg_file = "mh_dbeliefchg";
inline constexpr const char* solutionsam_file = "solutionsam";

struct SampleFiles {
  util::TextOut varcompsam;     // cycle, G and R elements, structural and shape values
  util::TextOut loglike_rnd;    // cycle and total log-likelihood
  util::TextOut mh_dbeliefchg;  // proposal settings after each tuning step
  util::TextOut solutionsam;    // cycle and the solutions of the saved effects
  bool made_new = false;        // open_new made them in this run
};

// The files of s's chain, kept in its workspace (sampler/workspace.hpp) and
// shared by the run control, the sampling steps and the result-file writer.
// A state's workspace starts with them closed.
SampleFiles& sample_files(const model::State& s);

// Creates (replaces) "varcompsam" and "loglike_rnd", and the optional files
// on their conditions.  Files already open are closed first.
void open_new(SampleFiles& f);
// Opens the same files for appending (a missing file is created);
// "mh_dbeliefchg" only when with_mh_dbeliefchg is true as well, since tuning
// lines come only in the first half of burn-in.
void open_append(SampleFiles& f, bool with_mh_dbeliefchg = true);
// Closes every open file (pending lines are written out).
void close(SampleFiles& f);
// Writes out pending lines of every open file.
void flush(SampleFiles& f);
// For a run that stops: closes the files, and removes those that open_new
// made in this run and that are still empty, unless a store was made
// (`stored`): a store names every file, empty or not, and the restart that
// continues from it finds them all.
void discard_empty(SampleFiles& f, bool stored);

// ---- the lines of cycle model::m.round, in the order of the cycle ----------

// The dispersion step's: the head of the entry in "varcompsam" (the cycle
// and the G and R elements), the line of "loglike_rnd" and the entry of
// "solutionsam".
void write_samples(const model::State& s, SampleFiles& f);
// The structural step's, once its last round is drawn: the saved factors
// and the shapes in "varcompsam", the proposal settings tuned in this cycle
// in "mh_dbeliefchg", structural effect by structural effect.
void write_structural_samples(const model::State& s, SampleFiles& f);
// The robustness step's: the shape in "varcompsam", and with Student-t
// residuals its proposal variance when tuned in this cycle.
void write_robust_samples(const model::State& s, SampleFiles& f);

// A multiple-breed group's tuning step: the new degrees of belief of one
// breed pair's proposal in "mh_dbeliefchg".
void write_breed_pair_tuning(SampleFiles& f, double dbelief);
// A reaction norm's tuning step: covariate u's new proposal variance and the
// acceptance rate it was tuned from, in "mh_dbeliefchg".
void write_covariate_tuning(SampleFiles& f, int u, double varprop, double rate);
// The candidate-sire step's line of "msirespprsam": an animal's candidate
// and its resampled probability in cycle model::m.round.
void write_sire_probability(model::State& s, int animal, int sire, double probability);

// Lines of the entry of cycle `round` in "varcompsam" or "solutionsam"
// (the cycle's line and one line per value).
long long entry_lines(const model::State& s, const char* name, int round);

}  // namespace sampler
