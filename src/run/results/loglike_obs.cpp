#include "run/results/loglike_obs.hpp"

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

using model::m;

// A record's ordinate (a harmonic mean of densities) and mean log-density:
// their sums must come back as numbers.
void check_ordinate(const ResultIn& f, const Kept& sm, double cpo, double logl) {
  if (!(cpo > 0) || !std::isfinite(sm.n / cpo))
    f.refuse("holds a conditional predictive ordinate of " + text_of(cpo) +
             ", which no density gives");
  if (!std::isfinite(sm.n * logl))
    f.refuse("holds an average log-likelihood of " + text_of(logl) + ", too large to use");
}

}  // namespace

// Every column of a record on one line, whatever the number of traits.
void write_loglike_obs(const model::State& s, const Kept& sm) {
  const int nt = m.ntrait;
  ResultOut f(loglike_obs_file);
  f.title(title_loglike_obs);
  f.free(head_loglike_obs);
  const bool any = sm.n > 0;
  for (int i = 1; i <= m.nrec; ++i) {
    std::string& b = f.buf();
    util::put_i_field(b, i, 10);
    util::put_f_field(b, any ? 1.0 / (s.LOGL_OBS(i, 1) / sm.n) : s.LOGL_OBS(i, 1), 18, 12);
    util::put_f_field(b, any ? s.LOGL_OBS(i, 2) / sm.n : s.LOGL_OBS(i, 2), 18, 12);
    for (int c = 3; c <= nt + 3; ++c) util::put_f_field(b, s.LOGL_OBS(i, c), 18, 12);
    f.end_line();
  }
  f.seal();
}

// With no cycle left to run, the evaluation at the posterior means (columns
// 3 on) is still that of the stored sums and is kept as well.  Every column
// is read and checked.
void read_loglike_obs(model::State& s, int start, const Kept& sm) {
  const int ncol = m.ntrait + 3;
  const bool evaluation = start > m.nround;
  ResultIn f(loglike_obs_file, start);
  f.title(title_loglike_obs);
  f.label(head_loglike_obs);
  f.any_size();
  std::vector<double> v(static_cast<std::size_t>(ncol));
  for (int i = 1; i <= m.nrec; ++i) {
    int obs;
    if (!f.values(obs, std::span<double>(v)))
      f.unreadable(util::freev("error reading loglike_obs at record: ", i));
    f.ids({"record"}, {obs}, {i});
    const bool any = sm.kept;
    if (any) check_ordinate(f, sm, v[0], v[1]);
    s.LOGL_OBS(i, 1) = any ? sm.n / v[0] : 0.0;
    s.LOGL_OBS(i, 2) = any ? sm.n * v[1] : 0.0;
    if (evaluation)
      for (int c = 3; c <= ncol; ++c) s.LOGL_OBS(i, c) = v[static_cast<std::size_t>(c - 1)];
  }
  f.end();
  util::say("read loglike_obs from file: \"loglike_obs\"");
}

}  // namespace run::results
