// Pieces of the structural-residual and robustness-weight steps
// (sampler::structural_r, student_t_weights and slash_weights, declared in
// gibbsvar.hpp), open for checking on their own: the Metropolis-Hastings log
// ratios, the tuning rules and the per-record weight draws.
//
// The log ratios already hold the Hastings term of the log-normal or
// inverse chi-square proposal; callers add nothing to them.
#pragma once

#include <cstdint>

namespace sampler {

// Prior constants of the shape steps: 32-bit values widened.
inline constexpr double r_alpha_r = static_cast<double>(0.03f);
inline constexpr double r_alpha_s = static_cast<double>(0.01f);
inline constexpr double w_alpha_r_t = static_cast<double>(0.06f);
inline constexpr double w_alpha_s_t = static_cast<double>(0.01f);
inline constexpr double w_alpha_r_slash = static_cast<double>(0.015f);
inline constexpr double w_alpha_s_slash = static_cast<double>(0.01f);

// Acceptance window thresholds and the proposal-variance factors.
inline constexpr double accept_high = static_cast<double>(0.6f);
inline constexpr double accept_low = static_cast<double>(0.2f);
inline constexpr double widen = static_cast<double>(1.05f);
inline constexpr double narrow = static_cast<double>(0.9f);

// Log ratio of the one-factor step of a covariable or reaction-norm
// structural effect: q = h*/h, nu the proposal degrees of belief, ee the
// log-likelihood change summed over the records, n the effect's record count.
double structural_scale_log_ratio(double q, int nu, double ee, double n);

// Log ratio of the shape step of a random per-level structural effect with
// nlev levels: A = sum over levels of 1/h + ln h.
double r_alpha_log_ratio(double alpha_new, double alpha, double A, int nlev);

// Log ratio of the Student-t shape step: L = sum of ln w, W = sum of w over
// nrec records.
double t_alpha_log_ratio(double alpha_new, double alpha, double L, double W, int nrec);

// Five log-normal random-walk Metropolis-Hastings steps on a shape, the
// rest of the model frozen; each returns the acceptance probability of the
// fifth step.  Student-t shape with the weights' sums L (of ln w) and W over
// nrec records:
double t_alpha_steps(double& alpha, double v, double L, double W, int nrec);
// Prior shape of a random per-level structural effect of nlev levels
// (proposals at or below 1 are rejected with probability 0):
double r_alpha_steps(double& alpha, double v, double A, int nlev);

// New proposal degrees of belief after a tuning window with mean acceptance
// rate `rate` (never below 6, or below `floor`).
int tune_dbelief(double rate, int nu);
int tune_dbelief(double rate, int nu, int floor);
// New log-normal proposal variance after a tuning window.
double tune_varprop(double rate, double v);

// Student-t weight: the u-quantile of Gamma(shape, rate) by inversion.  status
// and bound as cdfgam leaves them.
double student_t_weight(double u, double shape, double rate, int& status, double& bound);

// One slash weight: Gamma(shape, rate) truncated to (0, 1], by inversion with
// one uniform from the stream.  Where the truncated law cannot be inverted
// (rate 0, P(W <= 1) still 0 after 400 tenfold raises of the rate, or p*u
// that is 0) the draw is u^(1/shape), the limit of the law as the rate goes to
// 0.  `rate` returns the rate that was used.
double slash_weight(double shape, double& rate);
// The slash shape: an exact draw from Gamma(nrec + 0.015, 0.01 - L) by
// inversion, L the sum of ln w over the records.
double slash_alpha(double L, int nrec);

}  // namespace sampler
