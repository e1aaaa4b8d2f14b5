// The thinned sample files of the chain: "varcompsam" (unit 55),
// "loglike_rnd" (56), "mh_dbeliefchg" (58) and "solutionsam" (61).
//
// The run control creates them in the first cycle of a fresh run and opens
// them for appending on a restart; the result-file writer closes and reopens
// them at each store; the dispersion step and the Metropolis-Hastings steps
// write one free-format line per value.  A write to a file that is not open
// is dropped, so a file that the model does not need simply stays closed.
// ("msirespprsam", unit 57, belongs to the candidate-sire step and lives in
// model::State.)
#pragma once

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

// The files of the run, shared by the run control, the sampling steps and the
// result-file writer.
extern SampleFiles sample_files;

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
// made in this run and that are still empty.
void discard_empty(SampleFiles& f);

}  // namespace sampler
