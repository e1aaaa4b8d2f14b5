#include "run/restart.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/rangen.hpp"
#include "run/chain_state.hpp"
#include "run/result_in.hpp"
#include "run/store.hpp"
#include "run/store_record.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/rnorm.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run {

using model::m;
using namespace results;
using model::Structural;
using model::Tuning;
using util::ReadStatus;

namespace {

// Running sums rebuilt from the stored summaries with the kept count n of
// the stored cycle.  Without kept samples the sums start empty.
struct Rebuild {
  double n = 0;
  bool kept = false;
  void pair(double& S, double& Q, double mean, double sd) const {
    if (!kept) {
      S = 0;
      Q = 0;
      return;
    }
    S = mean * n;
    Q = n * (sd * sd) + S * S / n;
  }
};

// A mean and a standard deviation of the last line: a standard deviation
// (or, before the first kept sample, a sum of squares) is never below 0.
void check_sd(const ResultIn& f, double sd) {
  if (sd < 0) f.refuse("holds a standard deviation of " + text_of(sd) + ", below 0");
}

// Values that a chain holds only within bounds.  Before the first kept
// sample a mean column holds a raw sum, which is not checked.

// A positive quantity: its last sample, and its mean once kept, above lo.
void check_positive(const ResultIn& f, const Rebuild& rb, double mean, double last, double lo,
                    const char* what) {
  f.above(last, lo, std::string("a last ") + what + " of");
  if (rb.kept) f.above(mean, lo, std::string("a mean ") + what + " of");
}

// A robustness weight: above 0, and at most 1 with slash residuals.
void check_weight(const ResultIn& f, const Rebuild& rb, double mean, double last) {
  const bool slash = model::slash(m.residualtype);
  check_positive(f, rb, mean, last, 0.0, "weight");
  if (!slash) return;
  f.within(last, 0.0, 1.0, "a last weight of");
  if (rb.kept) f.within(mean, 0.0, 1.0, "a mean weight of");
}

// A candidate sire's prior probability and share of the kept cycles.
void check_candidate(const ResultIn& f, const Rebuild& rb, double mean, double sd, double last,
                     double prop) {
  check_sd(f, sd);
  f.within(last, 0.0, 1.0, "a last probability of");
  if (!rb.kept) return;
  f.within(mean, 0.0, 1.0, "a mean probability of");
  f.within(prop, 0.0, 1.0, "a sample proportion of");
}

// A record's ordinate (a harmonic mean of densities) and mean log-density:
// their sums must come back as numbers.
void check_ordinate(const ResultIn& f, const Rebuild& rb, double cpo, double logl) {
  if (!(cpo > 0) || !std::isfinite(rb.n / cpo))
    f.refuse("holds a conditional predictive ordinate of " + text_of(cpo) +
             ", which no density gives");
  if (!std::isfinite(rb.n * logl))
    f.refuse("holds an average log-likelihood of " + text_of(logl) + ", too large to use");
}

// The last sample of a (co)variance matrix of order d, as the sampler keeps
// it: symmetric, and unless only that is asked, 0 where the starting matrix
// is 0 and positive definite over the rows that the starting matrix does
// not leave at 0.  lines(i) is the line row i begins on.
template <class Get, class Orig>
void check_last_matrix(const ResultIn& f, const std::string& what, int d, Get g, Orig orig,
                       const std::vector<long>& lines, bool only_symmetry = false) {
  auto line = [&](int i) { return lines[static_cast<std::size_t>(i)]; };
  const std::string sample = "the last sample of " + what;
  for (int i = 1; i <= d; ++i)
    for (int j = 1; j < i; ++j)
      if (g(i, j) != g(j, i))
        f.refuse_at(line(i), "holds " + sample + " that is not symmetric: row " +
                                 std::to_string(i) + " column " + std::to_string(j) + " is " +
                                 text_of(g(i, j)) + " but row " + std::to_string(j) + " column " +
                                 std::to_string(i) + " is " + text_of(g(j, i)));
  if (only_symmetry) return;
  for (int i = 1; i <= d; ++i)
    for (int j = 1; j <= d; ++j)
      if (orig(i, j) == 0.0 && g(i, j) != 0.0)
        f.refuse_at(line(i), "holds " + text_of(g(i, j)) + " in row " + std::to_string(i) +
                                 " column " + std::to_string(j) + " of " + sample +
                                 ", where the starting matrix has 0");
  // Cholesky factor of the rows kept, row by row.
  int rows[model::maxcorr], n = 0;
  for (int i = 1; i <= d; ++i)
    if (orig(i, i) != 0.0) rows[n++] = i;
  double l[model::maxcorr][model::maxcorr] = {};
  for (int a = 0; a < n; ++a) {
    for (int b = 0; b <= a; ++b) {
      double x = g(rows[a], rows[b]);
      for (int k = 0; k < b; ++k) x -= l[a][k] * l[b][k];
      if (b < a) {
        l[a][b] = x / l[b][b];
      } else if (x > 0) {
        l[a][a] = std::sqrt(x);
      } else {
        f.refuse_at(line(rows[a]), "holds " + sample +
                                       " that is not positive definite (pivot of row " +
                                       std::to_string(rows[a]) + ": " + text_of(x) + ")");
      }
    }
  }
}

// The last sample of the G block of the random group at effect e: a
// multiple-breed block breed pair by breed pair, each pair's block in its
// own right (0 where the sampler keeps it 0).
void check_last_g(const ResultIn& f, const model::State& s, int e, int d,
                  const std::vector<long>& lines) {
  const std::string what = "G for effect " + std::to_string(e);
  auto orig = [&](int i, int j) { return s.ORIG_G(e, i, j); };
  if (!model::multiple_breed(m.randomtype(e))) {
    check_last_matrix(
        f, what, d, [e](int i, int j) { return m.g(e, i, j); }, orig, lines);
    return;
  }
  const int nb = m.nbreed(e), k = d / nb;
  check_last_matrix(
      f, what, d, [e](int i, int j) { return m.g(e, i, j); }, orig, lines, true);
  for (int b1 = 1; b1 <= nb; ++b1)
    for (int b2 = b1; b2 <= nb; ++b2) {
      const int r0 = (b1 - 1) * k, c0 = (b2 - 1) * k;
      std::vector<long> sub(static_cast<std::size_t>(k) + 1);
      for (int i = 1; i <= k; ++i)
        sub[static_cast<std::size_t>(i)] = lines[static_cast<std::size_t>(r0 + i)];
      check_last_matrix(
          f, what + " (breeds " + std::to_string(b1) + " and " + std::to_string(b2) + ")", k,
          [&](int i, int j) { return m.g(e, r0 + i, c0 + j); },
          [&](int i, int j) { return model::sampled_element(s.ORIG_G, e, r0 + i, c0 + j) ? 1.0 : 0.0; },
          sub);
    }
}

// The range the tuning reaches from `from` in w windows: every window moves
// the setting down, up or not at all, by maps that keep order.
template <class T, class Step>
void tuned_range(T from, long w, Step step, T& lo, T& hi) {
  lo = hi = from;
  for (long k = 0; k < w; ++k) {
    const T l = step(lo, true), h = step(hi, false);
    if (l == lo && h == hi) break;
    lo = l;
    hi = h;
  }
}

// Tuning windows that close by cycle c.
long tuning_windows(int c, const Tuning& t) {
  return t.window > 0 ? model::last_tuning_cycle(c) / t.window : 0;
}

// An acceptance rate read back at the store of cycle c: a share of the
// probabilities its sum holds, so between 0 and 1, and 0 when it holds none
// (model::acceptance_rate).
void check_rate(const ResultIn& f, int c, double rate, const Tuning& t) {
  const bool holds_any = model::acceptance_sum(1.0, t, c) > 0;
  // Printed with 8 decimals.
  f.within(rate, 0.0, holds_any ? 1.0 : 0.0, "an acceptance rate of", 1e-8);
}

// The setting of a proposal read back at the store of cycle c: one that
// tuning reaches from its start `from` (as the state holds it before the
// restart).
void check_setting(const ResultIn& f, int c, int nu, int from, const Tuning& t) {
  if (from <= t.raised_at) from = t.floor;
  int lo = 0, hi = 0;
  tuned_range(
      from, tuning_windows(c, t),
      [&t](int v, bool down) {
        // Settings past 10^8 are taken as unbounded above.
        if (!down && v > 100000000) return v;
        return sampler::tune_dbelief(down ? 1.0 : 0.0, v, t.floor);
      },
      lo, hi);
  if (hi > 100000000) hi = INT_MAX;
  if (nu < lo || nu > hi)
    f.refuse("holds proposal degrees of belief of " + std::to_string(nu) + ", outside the " +
             std::to_string(lo) + " to " + std::to_string(hi) + " that tuning reaches by cycle " +
             std::to_string(c));
}

void check_setting(const ResultIn& f, int c, double v, double from, const Tuning& t) {
  double lo = 0, hi = 0;
  tuned_range(
      from, tuning_windows(c, t),
      [](double x, bool down) { return sampler::tune_varprop(down ? 0.0 : 1.0, x); }, lo, hi);
  // As printed: 8 decimals, or 6 digits in exponent form.
  if (!(v > 0) || v < lo * (1 - 1e-5) - 1e-8 || v > hi * (1 + 1e-5) + 1e-8)
    f.refuse("holds a proposal variance of " + text_of(v) + ", outside the " + text_of(lo) +
             " to " + text_of(hi) + " (above 0) that tuning reaches by cycle " + std::to_string(c));
}

// A value line of three integers and mean, sd and last, for trait t,
// effect e and level l.  False when it cannot be read.
bool level_values(ResultIn& f, const Rebuild& rb, int t, int e, int l, double& S, double& Q,
                  double& last, double* mean_read = nullptr) {
  int i1, i2, i3;
  double mean, sd, x;
  if (!f.values(i1, i2, i3, mean, sd, x)) return false;
  f.ids({"trait", "effect", "level"}, {i1, i2, i3}, {t, e, l});
  check_sd(f, sd);
  rb.pair(S, Q, mean, sd);
  last = x;
  if (mean_read) *mean_read = mean;
  return true;
}

[[noreturn]] void level_error(const char* what, int e, int l, int t) {
  util::fatal(util::freev(what, e, " level :", l, " trait: ", t));
}

void read_solutions(model::State& s, int start, const Rebuild& rb) {
  const int nt = m.ntrait;
  ResultIn f("solutions", start);
  f.title("Solution after: ");
  f.label(head_solutions);
  // The pedigree of the animals without equations of their own.
  const int f_ram = model::reduced_animal_group();
  int j_ram = 0;
  const char* msg = "error reading solutions at effect: ";
  int base = 0;
  for (int e = 1; e <= m.neff; ++e) {
    for (int l = 1; l <= m.nlev(e); ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = base + (l - 1) * nt + t;
        if (m.pos_eff(e, t) == 0) {
          rb.pair(s.SUMSOL(a), s.SSSOL(a), s.SUMSOL(a), s.SSSOL(a));
        } else if (!level_values(f, rb, t, e, l, s.SUMSOL(a), s.SSSOL(a), s.SOL(a))) {
          level_error(msg, e, l, t);
        }
      }
    base += m.nlev(e) * nt;
    if (m.effecttype(e) != model::EffectType::ram) continue;
    // Animals without equations of their own; values the state has no room
    // for are read and dropped.
    ++j_ram;
    const util::mat1<double>& sn = s.SOL_N;
    for (int an = m.nlev(e) + 1; an <= m.lenped(f_ram); ++an)
      for (int t = 1; t <= nt; ++t) {
        const int i = an - m.nlev(e), c = (j_ram - 1) * nt + t;
        const bool room = i <= sn.rows() && c <= sn.cols() && i <= s.SUMSOL_N.rows() &&
                          c <= s.SUMSOL_N.cols() && i <= s.SSSOL_N.rows() && c <= s.SSSOL_N.cols();
        double S = room ? s.SUMSOL_N(i, c) : 0, Q = room ? s.SSSOL_N(i, c) : 0, last = room ? sn(i, c) : 0;
        if (m.pos_eff(e, t) == 0) {
          rb.pair(S, Q, S, Q);
        } else if (!level_values(f, rb, t, e, an, S, Q, last)) {
          level_error(msg, e, an, t);
        }
        if (room) {
          s.SUMSOL_N(i, c) = S;
          s.SSSOL_N(i, c) = Q;
          s.SOL_N(i, c) = last;
        }
      }
  }
  f.end();
  util::say("read solutions from file: \"solutions\"");
}

void read_msiresppr(model::State& s, int start, const Rebuild& rb) {
  ResultIn f("msiresppr", start);
  f.title("Post. probs after: ");
  f.label(head_msiresppr);
  results::each_candidate(s, [&](int an, int ps, int pp) {
    int id1, id2;
    double mean, sd, last, prop;
    // Every candidate's line is checked, so a bad value is never passed over.
    if (!f.values(id1, id2, mean, sd, last, prop))
      util::fatal(util::freev("error reading msires ppr at effect/animal: ", an));
    f.ids({"animal", "sire"}, {id1, id2}, {an, static_cast<int>(s.MS(ps))});
    check_candidate(f, rb, mean, sd, last, prop);
    rb.pair(s.SUMMS(pp), s.SSMS(pp), mean, sd);
    s.SUMMS(ps) = rb.kept ? prop * rb.n : 0.0;
    s.MS(pp) = last;
  });
  f.end();
  util::say("read msires ppr from file: \"msiresppr\"");
}

// d rows of d values each, one free-format read per row; fail(i) is the
// message of a row that cannot be read.  A row takes exactly the lines of
// its d values, ten to a line; the line each row begins on goes into lines.
template <class Fail, class Put>
void read_rows(ResultIn& f, int d, std::vector<double>& row, Fail fail, Put put,
               std::vector<long>* lines = nullptr) {
  row.assign(static_cast<std::size_t>(d), 0.0);
  if (lines) lines->assign(static_cast<std::size_t>(d) + 1, 0);
  for (int i = 1; i <= d; ++i) {
    if (lines) (*lines)[static_cast<std::size_t>(i)] = f.line_number() + 1;
    if (!f.row_values(std::span<double>(row), (d + 9) / 10)) util::fatal(fail(i));
    for (int j = 1; j <= d; ++j) put(i, j, row[static_cast<std::size_t>(j - 1)]);
  }
}

void read_varcomp(model::State& s, int start, const Rebuild& rb) {
  ResultIn f("varcomp", start);
  f.title("Variance components after: ");
  std::vector<double> row;
  std::vector<long> lines;
  // Sums of squares from the sd and the sum just rebuilt.
  auto squares = [&](double S, double sd) {
    check_sd(f, sd);
    return rb.kept ? rb.n * (sd * sd) + S * S / rb.n : 0.0;
  };
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = model::block_order(e);
    if (d <= 0) continue;
    auto fail = [e](int) { return util::freev("error reading G at effect: ", e); };
    f.label(util::freev(label_g_mean, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SUMG(e, i, j) = rb.kept ? v * rb.n : 0.0; });
    f.label(util::freev(label_g_sd, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SSG(e, i, j) = squares(s.SUMG(e, i, j), v); });
    f.label(util::freev(label_g_last, e));
    read_rows(
        f, d, row, fail, [&](int i, int j, double v) { m.g(e, i, j) = v; }, &lines);
    check_last_g(f, s, e, d, lines);
  }
  const int nt = m.ntrait;
  auto fail = [](int i) { return util::freev("error reading R at trait: ", i); };
  f.label(label_r_mean);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SUMR(i, j) = rb.kept ? v * rb.n : 0.0; });
  f.label(label_r_sd);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SSR(i, j) = squares(s.SUMR(i, j), v); });
  f.label(label_r_last);
  read_rows(
      f, nt, row, fail, [&](int i, int j, double v) { m.r(i, j) = v; }, &lines);
  check_last_matrix(
      f, "R", nt, [](int i, int j) { return m.r(i, j); },
      [&s](int i, int j) { return s.ORIG_R(i, j); }, lines);
  f.end();
  util::say("read variance components from file: \"varcomp\"");
}

// With no cycle left to run, the evaluation at the posterior means (columns
// 3 on) is still that of the stored sums and is kept as well.  Every column
// is read and checked.
void read_loglike_obs(model::State& s, int start, const Rebuild& rb) {
  const int ncol = m.ntrait + 3;
  const bool evaluation = start > m.nround;
  ResultIn f("loglike_obs", start);
  f.title("CPO,Loglike,residuals after: ");
  f.label(head_loglike_obs);
  f.any_size();
  std::vector<double> v(static_cast<std::size_t>(ncol));
  for (int i = 1; i <= m.nrec; ++i) {
    int obs;
    if (!f.values(obs, std::span<double>(v)))
      util::fatal(util::freev("error reading loglike_obs at record: ", i));
    f.ids({"record"}, {obs}, {i});
    const bool any = rb.kept;
    if (any) check_ordinate(f, rb, v[0], v[1]);
    s.LOGL_OBS(i, 1) = any ? rb.n / v[0] : 0.0;
    s.LOGL_OBS(i, 2) = any ? rb.n * v[1] : 0.0;
    if (evaluation)
      for (int c = 3; c <= ncol; ++c) s.LOGL_OBS(i, c) = v[static_cast<std::size_t>(c - 1)];
  }
  f.end();
  util::say("read loglike_obs from file: \"loglike_obs\"");
}

// An acceptance rate back to its sum, checked against the probabilities the
// sum holds at cycle c.
double rate_sum(const ResultIn& f, int c, double rate, const Tuning& t) {
  check_rate(f, c, rate, t);
  return model::acceptance_sum(rate, t, c);
}

// The covariates of unknown covariables drawn by Metropolis-Hastings: the
// proposal variance, as the tuning of the chain can have left it, and each
// level's rate back to its sum.
void read_covariate_rates(ResultIn& f, model::State& s, int c) {
  const Tuning t = model::covariate_tuning();
  for (int u = 1; u <= m.neff; ++u) {
    if (!sampler::covariates_by_mh(u)) continue;
    f.label(util::freev(label_covariate_rates, u));
    const auto fail = [u] {
      util::fatal(util::freev("error reading acceptance rates of the covariates of effect: ", u));
    };
    const double from = s.H_VARPROP(u);
    if (!f.values(s.H_VARPROP(u))) fail();
    check_setting(f, c, s.H_VARPROP(u), from, t);
    for (int l = 1; l <= m.nlev(u); ++l) {
      int level = 0;
      double rate = 0;
      if (!f.values(level, rate)) fail();
      f.ids({"level"}, {level}, {l});
      s.SUMH_ACCEP(sampler::address1(u, l, 1)) = rate_sum(f, c, rate, t);
    }
  }
}

void read_mh_acceptance(model::State& s, int start) {
  ResultIn f("mh_acceptance", start);
  const int c = start - 1;
  // A rate and the setting of its proposal; the setting's start value (as
  // the state holds it before the restart) and tuning window bound both.
  auto rate_and = [&](const std::string& label, auto& setting, double& sum, const Tuning& tuning) {
    f.label(label);
    const auto from = setting;
    double rate;
    if (!f.values(rate, setting)) return false;
    sum = rate_sum(f, c, rate, tuning);
    check_setting(f, c, setting, from, tuning);
    return true;
  };
  for (int e = 1; e <= m.neff; ++e) {
    if (!model::multiple_breed(m.randomtype(e))) continue;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2)
        if (!rate_and(util::freev(label_mb_rate, e, label_breeds, b1, b2), s.MB_DBELIEF(e, b1, b2),
                      s.SUMMB_ACCEP(e, b1, b2), model::mb_tuning(e)))
          util::fatal(util::freev("error reading acceptance rate at effect: ", e));
  }
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    switch (model::structural_kind(e)) {
      case Structural::scale:
        if (!rate_and(util::freev(label_structural_rate, e), s.R_DBELIEFPROP(k), s.SUMR_ACCEP(k),
                      model::structural_tuning()))
          util::fatal(util::freev("error reading acceptance rate at structural effect: ", e));
        break;
      case Structural::levels_alpha:
        if (!rate_and(util::freev(label_structural_alpha_rate, e), s.R_ALPHA_VARPROP(k),
                      s.SUMR_ALPHAACCEP(k), model::structural_alpha_tuning()))
          util::fatal(util::freev("error reading acceptance rate for alpha at structural effect: ", e));
        break;
      case Structural::levels:
        break;
    }
  }
  if (model::student_t(m.residualtype))
    if (!rate_and(label_robust_alpha_rate, s.w_alpha_varprop, s.sumw_alphaaccep,
                  model::robust_alpha_tuning()))
      util::fatal(util::freev("error reading acceptance rate for alpha robust"));
  read_covariate_rates(f, s, c);
  f.end();
  util::say("Read acceptance rates and proposal dbelief from file: \"mh_acceptance\"");
}

void read_structural_r(model::State& s, int start, const Rebuild& rb) {
  const int nt = m.ntrait;
  ResultIn f("structural_r", start);
  f.title("Structural R solution after: ");
  f.label(head_solutions);
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    const Structural kind = model::structural_kind(e);
    if (kind == Structural::levels_alpha) {
      double mean, sd, last;
      int id[2];
      if (!f.labelled(2, id, "alpha", mean, sd, last))
        util::fatal(util::freev("error reading structural R alpha at effect: ", e));
      f.ids({"trait", "effect"}, {id[0], id[1]}, {1, e});
      check_sd(f, sd);
      // Proposals at or below 1 are never taken: the shape stays above 1.
      check_positive(f, rb, mean, last, 1.0, "shape alpha");
      rb.pair(s.SUMR_ALPHA(k), s.SSR_ALPHA(k), mean, sd);
      s.R_ALPHA(k) = last;
    }
    const int levels = kind == Structural::scale ? 1 : m.nlev(e);
    for (int l = 1; l <= levels; ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = sampler::address1(e, l, t);
        if (m.pos_eff(e, t) == 0) {
          rb.pair(s.SUMR_SOL(a), s.SSR_SOL(a), s.SUMR_SOL(a), s.SSR_SOL(a));
        } else if (double mean;
                   !level_values(f, rb, t, e, l, s.SUMR_SOL(a), s.SSR_SOL(a), s.R_SOL(a), &mean)) {
          level_error("error reading structural R at effect: ", e, l, t);
        } else {
          check_positive(f, rb, mean, s.R_SOL(a), 0.0, "factor");
        }
      }
  }
  f.end();
  util::say("read structural R from file: \"structural_r\"");
}

void read_robustness_w(model::State& s, int start, const Rebuild& rb) {
  ResultIn f("robustness_w", start);
  f.title("Robustness weights after: ");
  f.label(head_robustness_w);
  for (int t = 1; t <= m.ntrait; ++t) {
    double mean, sd, last;
    int id[1];
    if (!f.labelled(1, id, "alpha", mean, sd, last)) util::fatal(util::freev("error reading robustness w_alpha"));
    f.ids({"trait"}, {id[0]}, {t});
    check_sd(f, sd);
    check_positive(f, rb, mean, last, 0.0, "shape alpha");
    rb.pair(s.sumw_alpha, s.ssw_alpha, mean, sd);
    s.w_alpha = last;
    for (int i = 1; i <= m.nrec; ++i) {
      int t1, i1;
      double x;
      if (!f.values(t1, i1, mean, sd, x))
        util::fatal(util::freev("error reading robustness w at record: ", i, " trait: ", t));
      f.ids({"trait", "record"}, {t1, i1}, {t, i});
      check_sd(f, sd);
      check_weight(f, rb, mean, x);
      rb.pair(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i), mean, sd);
      s.WEIGHT_ROBUST(i) = x;
    }
  }
  f.end();
  util::say("Read robustness weights from file: \"robustness_w\"");
}

// The stored means become sums again through the kept count, which the
// burn-in and thinning interval fix: a continued chain keeps both.
void check_settings(const record::Store& st, int start) {
  const std::string rec = std::string("\"") + st.source + "\"";
  auto same = [&](const char* what, int given, int stored) {
    if (given != stored)
      util::fatal(util::freev("restart at cycle", start, ": the parameter file gives a " + std::string(what) + " of",
                              given, "but the chain in", rec, "has", stored,
                              "; a continued chain keeps its burn-in and thinning interval"));
  };
  same("burn-in", m.nburn, st.burn_in);
  same("thinning interval", m.skip, st.thinning);
}

// The record of the last store against the restart: the cycle before the
// restart cycle (else the message names the cycle to give), and the result
// files a store of this model writes at that cycle, each once.
void check_record(const record::Store& st, int start) {
  const std::string rec = std::string("\"") + st.source + "\"";
  if (st.cycle != start - 1)
    util::fatal(util::freev("restart at cycle", start, "needs the results of cycle", start - 1,
                            "but", rec, "holds those of cycle", st.cycle,
                            "; the chain continues at cycle", st.cycle + 1));
  check_settings(st, start);
  const char* names[record::max_results];
  const int n = stored_results(st.cycle, names);
  for (int k = 0; k < n; ++k) {
    if (st.has_result(names[k])) continue;
    const std::string name = std::string("\"") + names[k] + "\"";
    // A store of an earlier version of the program, which kept no stream.
    const bool old = names[k] == std::string_view(chain::file);
    util::fatal(util::freev(
        "restart at cycle", start, ": the store of cycle", st.cycle, "in", rec, "has no",
        old ? name + " with the random stream and the model of the chain (a store of an "
                     "earlier version of the program): it cannot be continued"
            : "result file " + name));
  }
  for (int k = 0; k < st.nresults; ++k)
    if (std::find_if(names, names + n, [&](const char* r) {
          return r == std::string_view(st.results[k]);
        }) == names + n)
      util::fatal(util::freev("restart at cycle", start, ": the store of cycle", st.cycle, "in",
                              rec, "has the result file", std::string("\"") + st.results[k] + "\"",
                              ", which this model does not write"));
}

}  // namespace

void restart(model::State& s, int start) {
  // Cycle 1 starts a fresh chain, which creates the sample files anew.
  if (start <= 1)
    util::fatal(util::freev("restart at cycle", start,
                            "not possible: a restarted chain continues at cycle 2 or later"));
  // Every file is checked before any is changed: the last store is read
  // where it stands, a store left unfinished by an interruption from its
  // temporaries.
  record::Store st;
  const bool recorded = record::read(st);
  const ReadingStore reading(recorded ? &st : nullptr);
  if (recorded) check_record(st, start);
  // The model, the sires and the stream come first; the stream goes on from
  // the store once every file is read.
  const rangen::Stream stream = recorded ? chain::read(s, start) : rangen::stream();
  Rebuild rb;
  const int n = model::kept_count(start - 1);
  rb.n = static_cast<double>(n);
  rb.kept = m.nburn < start - 1 && n > 0;

  read_solutions(s, start, rb);
  if (m.max_msires > 1) read_msiresppr(s, start, rb);
  read_varcomp(s, start, rb);
  if (m.nburn < start - 1) {
    read_loglike_obs(s, start, rb);
  } else {
    s.LOGL_OBS.fill(0.0);
  }
  if (!recorded)
    util::fatal(
        util::freev("restart at cycle", start, ":", std::string("\"") + record::file + "\"",
                    "is missing, so the sample files cannot be matched to the result files"));
  if (model::uses_mh_files()) read_mh_acceptance(s, start);
  if (m.neffr > 0) read_structural_r(s, start, rb);
  if (model::robust_residuals()) read_robustness_w(s, start, rb);
  check_sample_files(s, start, st);

  // Only now is anything changed: the unfinished store is finished (or the
  // leftovers of one not made are removed), and the sample files are cut
  // back to the store and opened.
  record::recover();
  open_sample_files(s, start, st);
  rangen::set_stream(stream);
}

}  // namespace run
