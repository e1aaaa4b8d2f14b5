#include "run/results/mh_acceptance.hpp"

#include <climits>
#include <string>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/rnorm.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

using model::m;
using model::Structural;
using model::Tuning;

void rate_line(ResultOut& f, double rate, int setting) {
  std::string& b = f.buf();
  util::put_f_field(b, rate, 12, 8);
  util::put_i_field(b, setting, 10);
  f.end_line();
}
void rate_line(ResultOut& f, double rate, double setting) {
  std::string& b = f.buf();
  util::put_f_field(b, rate, 12, 8);
  util::put_f_field(b, setting, 12, 8);
  f.end_line();
}

// Unknown covariables drawn by Metropolis-Hastings: the proposal variance,
// then each level and its acceptance rate since the last tuning step.
void write_covariate_rates(ResultOut& f, const model::State& s) {
  const double held = model::acceptance_held(model::covariate_tuning(), m.round);
  for (int u = 1; u <= m.neff; ++u) {
    if (!sampler::covariates_by_mh(u)) continue;
    f.free(label_covariate_rates, u);
    util::put_f_field(f.buf(), s.H_VARPROP(u), 12, 8);
    f.end_line();
    for (int l = 1; l <= m.nlev(u); ++l) {
      std::string& b = f.buf();
      util::put_i_field(b, l, 8);
      util::put_f_field(b, model::acceptance_rate(s.SUMH_ACCEP(sampler::address1(u, l, 1)), held),
                        12, 8);
      f.end_line();
    }
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

// An acceptance rate read back: a share of the `held` probabilities its sum
// holds, so between 0 and 1, and 0 when it holds none
// (model::acceptance_rate); its sum back.
double rate_sum(const ResultIn& f, double rate, double held) {
  // Printed with 8 decimals.
  f.within(rate, 0.0, held > 0 ? 1.0 : 0.0, "an acceptance rate of", 1e-8);
  return rate * held;
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

// The covariates of unknown covariables drawn by Metropolis-Hastings: the
// proposal variance, as the tuning of the chain can have left it, and each
// level's rate back to its sum.
void read_covariate_rates(ResultIn& f, model::State& s, int c) {
  const Tuning t = model::covariate_tuning();
  const double held = model::acceptance_held(t, c);
  for (int u = 1; u <= m.neff; ++u) {
    if (!sampler::covariates_by_mh(u)) continue;
    f.label(util::freev(label_covariate_rates, u));
    const auto fail = [u, &f] {
      f.unreadable(util::freev("error reading acceptance rates of the covariates of effect: ", u));
    };
    const double from = s.H_VARPROP(u);
    if (!f.values(s.H_VARPROP(u))) fail();
    check_setting(f, c, s.H_VARPROP(u), from, t);
    for (int l = 1; l <= m.nlev(u); ++l) {
      int level = 0;
      double rate = 0;
      if (!f.values(level, rate)) fail();
      f.ids({"level"}, {level}, {l});
      s.SUMH_ACCEP(sampler::address1(u, l, 1)) = rate_sum(f, rate, held);
    }
  }
}

}  // namespace

void write_mh_acceptance(const model::State& s, const Kept&) {
  ResultOut f(mh_acceptance_file);
  for (int e = 1; e <= m.neff; ++e) {
    if (!model::multiple_breed(m.randomtype(e))) continue;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2) {
        f.free(label_mb_rate, e, label_breeds, b1, b2);
        rate_line(f, model::acceptance_rate(s.SUMMB_ACCEP(e, b1, b2), model::mb_tuning(e), m.round),
                  s.MB_DBELIEF(e, b1, b2));
      }
  }
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    switch (model::structural_kind(e)) {
      case Structural::scale:
        f.free(label_structural_rate, e);
        rate_line(f, model::acceptance_rate(s.SUMR_ACCEP(k), model::structural_tuning(), m.round),
                  s.R_DBELIEFPROP(k));
        break;
      case Structural::levels_alpha:
        f.free(label_structural_alpha_rate, e);
        rate_line(
            f,
            model::acceptance_rate(s.SUMR_ALPHAACCEP(k), model::structural_alpha_tuning(), m.round),
            s.R_ALPHA_VARPROP(k));
        break;
      case Structural::levels:
        break;
    }
  }
  if (model::student_t(m.residualtype)) {
    f.free(label_robust_alpha_rate);
    rate_line(f, model::acceptance_rate(s.sumw_alphaaccep, model::robust_alpha_tuning(), m.round),
              s.w_alpha_varprop);
  }
  write_covariate_rates(f, s);
  f.seal();
}

void read_mh_acceptance(model::State& s, int start, const Kept&) {
  ResultIn f(mh_acceptance_file, start);
  const int c = start - 1;
  // A rate and the setting of its proposal; the setting's start value (as
  // the state holds it before the restart) and tuning window bound both.
  auto rate_and = [&](const std::string& label, auto& setting, double& sum, const Tuning& tuning) {
    f.label(label);
    const auto from = setting;
    double rate;
    if (!f.values(rate, setting)) return false;
    sum = rate_sum(f, rate, model::acceptance_held(tuning, c));
    check_setting(f, c, setting, from, tuning);
    return true;
  };
  for (int e = 1; e <= m.neff; ++e) {
    if (!model::multiple_breed(m.randomtype(e))) continue;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2)
        if (!rate_and(util::freev(label_mb_rate, e, label_breeds, b1, b2), s.MB_DBELIEF(e, b1, b2),
                      s.SUMMB_ACCEP(e, b1, b2), model::mb_tuning(e)))
          f.unreadable(util::freev("error reading acceptance rate at effect: ", e));
  }
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    switch (model::structural_kind(e)) {
      case Structural::scale:
        if (!rate_and(util::freev(label_structural_rate, e), s.R_DBELIEFPROP(k), s.SUMR_ACCEP(k),
                      model::structural_tuning()))
          f.unreadable(util::freev("error reading acceptance rate at structural effect: ", e));
        break;
      case Structural::levels_alpha:
        if (!rate_and(util::freev(label_structural_alpha_rate, e), s.R_ALPHA_VARPROP(k),
                      s.SUMR_ALPHAACCEP(k), model::structural_alpha_tuning()))
          f.unreadable(
              util::freev("error reading acceptance rate for alpha at structural effect: ", e));
        break;
      case Structural::levels:
        break;
    }
  }
  if (model::student_t(m.residualtype))
    if (!rate_and(label_robust_alpha_rate, s.w_alpha_varprop, s.sumw_alphaaccep,
                  model::robust_alpha_tuning()))
      f.unreadable(util::freev("error reading acceptance rate for alpha robust"));
  read_covariate_rates(f, s, c);
  f.end();
  util::say("Read acceptance rates and proposal dbelief from file: \"mh_acceptance\"");
}

}  // namespace run::results
