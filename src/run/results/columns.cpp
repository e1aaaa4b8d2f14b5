#include "run/results/columns.hpp"

#include <cmath>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

Kept Kept::at_cycle(int c) {
  Kept sm;
  const int n = model::kept_count(c);
  sm.n = static_cast<double>(n);
  sm.kept = model::m.nburn < c && n > 0;
  return sm;
}

double Kept::sd(double S, double Q) const {
  if (!kept) return Q;
  const double v = (Q - S * S / n) / n;
  return v > 0 ? std::sqrt(v) : 0.0;
}

void Kept::rebuild(double& S, double& Q, double mean, double sd) const {
  S = sum(mean);
  Q = squares(S, sd);
}

void write_level(ResultOut& f, const Kept& sm, int t, int e, int l, double S, double Q, double last) {
  std::string& b = f.buf();
  util::put_i_field(b, t, 3);
  util::put_i_field(b, e, 3);
  util::put_i_field(b, l, 8);
  util::put_f_field(b, sm.mean(S), 15, 6);
  util::put_f_field(b, sm.sd(S, Q), 15, 6);
  util::put_f_field(b, last, 15, 6);
  f.end_line();
}

bool read_level(ResultIn& f, const Kept& sm, int t, int e, int l, double& S, double& Q, double& last,
                double* mean_read) {
  int i1, i2, i3;
  double mean, sd, x;
  if (!f.values(i1, i2, i3, mean, sd, x)) return false;
  f.ids({"trait", "effect", "level"}, {i1, i2, i3}, {t, e, l});
  check_sd(f, sd);
  sm.rebuild(S, Q, mean, sd);
  last = x;
  if (mean_read) *mean_read = mean;
  return true;
}

void level_error(const ResultIn& f, const char* what, int e, int l, int t) {
  f.unreadable(util::freev(what, e, " level :", l, " trait: ", t));
}

void check_sd(const ResultIn& f, double sd) {
  if (sd < 0) f.refuse("holds a standard deviation of " + text_of(sd) + ", below 0");
}

void check_positive(const ResultIn& f, const Kept& sm, double mean, double last, double lo,
                    const char* what) {
  f.above(last, lo, std::string("a last ") + what + " of");
  if (sm.kept) f.above(mean, lo, std::string("a mean ") + what + " of");
}

}  // namespace run::results

