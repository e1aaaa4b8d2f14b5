// What the result files share: the mean, sd and last columns of a sampled
// quantity, written by the store from the running sums and turned back into
// sums by the restart, and the lines of one level of an effect ("solutions",
// "structural_r").
#pragma once

#include <string>

#include "run/results/result_in.hpp"
#include "run/results/result_out.hpp"

namespace run::results {

// The posterior summaries of a store at cycle c with the kept count of c.
// Once the chain is past burn-in with at least one kept sample, the mean
// and the standard deviation (divisor n) of the sums; before that the mean
// and sd columns hold the raw sums.  A variance that rounds below 0 gives
// a standard deviation of 0.  The restart rebuilds the sums from the
// columns, empty while nothing is kept.
struct Kept {
  double n = 0;       // kept count as a real
  bool kept = false;  // past burn-in with at least one kept sample

  // The summaries of the store at cycle c.
  static Kept at_cycle(int c);

  double mean(double S) const { return kept ? S / n : S; }
  // S from a mean read back (0 while nothing is kept).
  double sum(double mean) const { return kept ? mean * n : 0.0; }
  double sd(double S, double Q) const;
  // S and Q from a mean and a standard deviation read back.
  void rebuild(double& S, double& Q, double mean, double sd) const;
  // Q from a standard deviation and the S just rebuilt.
  double squares(double S, double sd) const { return kept ? n * (sd * sd) + S * S / n : 0.0; }
};

// The head line of the files of level lines.
inline constexpr const char* head_solutions = "trait effect level     mean            sd            last ";

// A level line: trait, effect, level (I3, I3, I8), then the mean, sd and
// last (F15.6 each).
void write_level(ResultOut& f, const Kept& sm, int t, int e, int l, double S, double Q, double last);
// The level line of trait t, effect e, level l read back into S, Q and
// last (and the mean read, when asked).  False when it cannot be read.
bool read_level(ResultIn& f, const Kept& sm, int t, int e, int l, double& S, double& Q, double& last,
                double* mean_read = nullptr);
// A level line that cannot be read (what: the reader's words for it).
[[noreturn]] void level_error(const ResultIn& f, const char* what, int e, int l, int t);

// Checks of values read back.  A standard deviation (or, before the first
// kept sample, a sum of squares) is never below 0.
void check_sd(const ResultIn& f, double sd);
// A positive quantity: its last sample, and its mean once kept, above lo.
// Before the first kept sample a mean column holds a raw sum, which is not
// checked.
void check_positive(const ResultIn& f, const Kept& sm, double mean, double last, double lo,
                    const char* what);

}  // namespace run::results
