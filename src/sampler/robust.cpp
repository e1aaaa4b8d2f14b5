// Robustness weights of heavy-tailed residuals and their shape: Student-t
// (student_t, struct_student_t) and slash (slash, struct_slash).  Each record's weight divides its
// residual variance from the next cycle on (decode_r).
#include <cmath>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/distlib.hpp"
#include "random/prob.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/resid_steps.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

double inverse_r() {
  double ri = 0;
  denseop::finvcs8(m.r.data(), 1, 1, &ri, 1);
  m.rinv(1, 1) = ri;
  return ri;
}

[[noreturn]] void bad_weight(int rec, int status, double a, double b, double bound, double w) {
  util::fatal(util::freev("round", m.round, "rec", rec, "status", status, "a", a, "b", b, "bound",
                          bound, "w", w));
}

void add_weight_sums(model::State& s) {
  for (int i = 1; i <= m.nrec; ++i) {
    const double w = s.WEIGHT_ROBUST(i);
    s.SUMWEIGHT_ROBUST(i) += w;
    s.SSWEIGHT_ROBUST(i) += w * w;
  }
}

void add_alpha_sums(model::State& s) {
  s.sumw_alpha += s.w_alpha;
  s.ssw_alpha += s.w_alpha * s.w_alpha;
}

}  // namespace

double t_alpha_log_ratio(double an, double a, double L, double W, int nrec) {
  const double c = std::log(2.0);
  return w_alpha_r_t * (std::log(an) - std::log(a)) +
         nrec * (0.5 * (an * std::log(an) - a * std::log(a) - (an - a) * c) -
                 distlib::gamma_log(an / 2) + distlib::gamma_log(a / 2)) +
         0.5 * (L - w_alpha_s_t - W) * (an - a);
}

double t_alpha_steps(double& alpha, double v, double L, double W, int nrec) {
  double pi = 0;
  for (int step = 1; step <= 5; ++step) {
    const double an = std::exp(prob::gen_normal_scalar(std::log(alpha), v));
    const double lr = t_alpha_log_ratio(an, alpha, L, W, nrec);
    if (lr >= 0) {
      alpha = an;
      pi = 1.0;
    } else {
      pi = std::exp(lr);
      if (prob::gen_uniform_real() < pi) alpha = an;
    }
  }
  return pi;
}

double student_t_weight(double u, double shape, double rate, int& status, double& bound) {
  double p = u, q = 1.0 - u, x = 0;
  status = 0;
  bound = 0;
  distlib::cdfgam(2, p, q, x, shape, rate, status, bound);
  return x;
}

double slash_weight(double shape, double& rate) {
  double p = 0, q = 0, x = 1.0;
  int status = 0;
  double bound = 0;
  // P(W <= 1) can underflow to 0 for a tiny rate; raising the rate moves the
  // law towards 0.  A rate of exactly 0 never gets there.
  bool limit = rate == 0.0;
  if (!limit) {
    distlib::cdfgam(1, p, q, x, shape, rate, status, bound);
    for (int raises = 0; p == 0.0; ++raises) {
      if (raises == 400) {
        limit = true;
        break;
      }
      rate = rate * 10;
      x = 1.0;
      distlib::cdfgam(1, p, q, x, shape, rate, status, bound);
    }
  }
  const double u = prob::gen_uniform_real();
  p = p * u;
  if (limit || p == 0.0) return std::pow(u, 1.0 / shape);
  q = 1.0 - p;
  distlib::cdfgam(2, p, q, x, shape, rate, status, bound);
  return x;
}

double slash_alpha(double L, int nrec) {
  const double u = prob::gen_uniform_real();
  double p = u, q = 1.0 - u, x = 0;
  double sh = nrec + w_alpha_r_slash, rate = w_alpha_s_slash - L, bound = 0;
  int status = 0;
  distlib::cdfgam(2, p, q, x, sh, rate, status, bound);
  return x;
}

void student_t_weights(model::State& s, const util::mat1<double>& e) {
  const double ri = inverse_r();
  const double alpha = s.w_alpha;
  const double shape = (alpha + 1) * 0.5;
  double L = 0, W = 0;
  for (int i = 1; i <= m.nrec; ++i) {
    s.irec = i;
    const double qi = e(i, 1) * e(i, 1) * ri;
    const double b = (qi / s.WEIGHT_ROBUST(i) + alpha) * 0.5;
    const double u = prob::gen_uniform_real();
    int status = 0;
    double bound = 0;
    const double w = student_t_weight(u, shape, b, status, bound);
    if (w <= 0 || status != 0) bad_weight(i, status, shape, b, bound, w);
    s.WEIGHT_ROBUST(i) = w;
    L += std::log(w);
    W += w;
  }
  const bool kept = model::kept_cycle(m.round);
  if (kept) add_weight_sums(s);

  const double pi = t_alpha_steps(s.w_alpha, s.w_alpha_varprop, L, W, m.nrec);
  if (model::tuning_cycle(m.round, m.nburn)) {
    s.sumw_alphaaccep += pi;
    const model::Tuning tune = model::robust_alpha_tuning();
    if (model::tuned_now(tune, m.round)) {
      s.w_alpha_varprop = tune_varprop(s.sumw_alphaaccep / tune.window, s.w_alpha_varprop);
      s.sumw_alphaaccep = 0;
    }
  } else if (kept) {
    s.sumw_alphaaccep += pi;
  }
  if (kept) add_alpha_sums(s);
  write_robust_samples(s, sample_files(s));
}

void slash_weights(model::State& s, const util::mat1<double>& e) {
  const double ri = inverse_r();
  const double shape = s.w_alpha + 0.5;
  double L = 0;
  for (int i = 1; i <= m.nrec; ++i) {
    s.irec = i;
    const double qi = e(i, 1) * e(i, 1) * ri;
    double b = qi / (s.WEIGHT_ROBUST(i) * 2.0);
    const double w = slash_weight(shape, b);
    if (w > 1.0 || w <= 0.0) bad_weight(i, 0, shape, b, 0.0, w);
    s.WEIGHT_ROBUST(i) = w;
    L += std::log(w);
  }
  s.w_alpha = slash_alpha(L, m.nrec);
  if (model::kept_cycle(m.round)) {
    add_weight_sums(s);
    add_alpha_sums(s);
  }
  write_robust_samples(s, sample_files(s));
}

}  // namespace sampler
