// The pieces of the structural-residual and robustness-weight steps: weight
// draws against closed forms, the Metropolis-Hastings log ratios against
// log-likelihoods and proposal densities written out from scratch, the
// tuning rules, and the shape chains against their targets integrated
// numerically.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <vector>

#include "random/prob.hpp"
#include "sampler/resid_steps.hpp"

namespace {

using namespace sampler;

// ---------------------------------------------------------------------------
// Weight draws.

TEST(RobustWeights, StudentTWithShapeOneIsAnExponentialQuantile) {
  struct Case {
    double u, b;
  } cases[] = {{0.5, 1.0}, {0.01, 3.5}, {0.93, 0.2}, {0.999, 12.0}};
  for (const Case& c : cases) {
    int status = -1;
    double bound = 0;
    const double w = student_t_weight(c.u, 1.0, c.b, status, bound);
    EXPECT_EQ(status, 0);
    EXPECT_NEAR(w, -std::log(1 - c.u) / c.b, 1e-8 * w) << c.u << " " << c.b;
  }
}

TEST(RobustWeights, SlashWithShapeOneInvertsTheTruncatedExponential) {
  // Slash parameter 0.5: shape 1, P(W <= 1) = 1 - exp(-b), and the draw is
  // the quantile of the truncated exponential at the uniform of the stream.
  for (double b : {0.3, 1.0, 4.0, 25.0}) {
    prob::set_seed(97);
    double rate = b;
    const double w = slash_weight(1.0, rate);
    const double after = prob::gen_uniform_real();
    prob::set_seed(97);
    const double u = prob::gen_uniform_real();
    EXPECT_EQ(prob::gen_uniform_real(), after) << "one uniform per weight";
    const double p = 1 - std::exp(-b);
    EXPECT_EQ(rate, b);
    EXPECT_NEAR(w, -std::log(1 - p * u) / b, 1e-7 * w) << b;
  }
}

TEST(RobustWeights, SlashLimitsWhereTheTruncatedLawCannotBeInverted) {
  // A rate of 0 (a residual of exactly 0): the limit u^(1/shape) from the
  // same single uniform.
  prob::set_seed(5);
  double rate = 0.0;
  const double w = slash_weight(2.5, rate);
  prob::set_seed(5);
  EXPECT_DOUBLE_EQ(w, std::pow(prob::gen_uniform_real(), 1 / 2.5));
  EXPECT_EQ(rate, 0.0);

  // A rate so small that P(W <= 1) underflows: raised tenfold until it does
  // not, and the weight lies in (0, 1].
  prob::set_seed(5);
  rate = 1e-300;
  const double w2 = slash_weight(40.0, rate);
  EXPECT_GT(rate, 1e-300);
  EXPECT_GT(w2, 0.0);
  EXPECT_LE(w2, 1.0);

  // A rate so small that the product w * rate lies below the doubles for
  // every w in (0, 1], where the inverse gamma ratio's start underflows (the
  // weight came back as 1.0): the truncated law with shape 1/2 then has
  // P(W <= w) = sqrt(w), and its draw is u^2.
  for (unsigned seed : {5u, 11u, 23u}) {
    prob::set_seed(seed);
    rate = std::numeric_limits<double>::denorm_min();
    const double w3 = slash_weight(0.5, rate);
    prob::set_seed(seed);
    const double u = prob::gen_uniform_real();
    EXPECT_EQ(rate, std::numeric_limits<double>::denorm_min());
    EXPECT_NEAR(w3, u * u, 1e-12 * u * u) << seed;
  }
}

// ---------------------------------------------------------------------------
// Log ratios.

// Scaled inverse chi-square proposal of the one-factor step: h* = (nu-2) h / X
// with X chi-square on nu degrees of freedom; log density of h* given h.
double log_proposal(double hs, double h, int nu) {
  const double s = (nu - 2) * h;  // nu times the scale
  return 0.5 * nu * std::log(0.5 * s) - std::lgamma(0.5 * nu) - (0.5 * nu + 1) * std::log(hs) - 0.5 * s / hs;
}

TEST(StructuralLogRatio, IsTheLikelihoodChangePlusTheHastingsTerm) {
  // Records with raw residuals d and multipliers w (covariable values) under
  // r = 2: variance r h^w.  e is d standardised at the current factor h.
  const double r = 2.0, h = 1.4, hs = 1.1;
  const int nu = 30;
  const std::vector<double> d = {0.5, -2.0, 1.2, 0.1, 3.0}, w = {1.0, 0.5, 2.0, 1.5, 0.8};
  auto loglik = [&](double f) {
    double l = 0;
    for (std::size_t i = 0; i < d.size(); ++i) {
      const double v = r * std::pow(f, w[i]);
      l += -0.5 * std::log(v) - 0.5 * d[i] * d[i] / v;
    }
    return l;
  };
  const double q = hs / h;
  double ee = 0, n = 0;
  for (std::size_t i = 0; i < d.size(); ++i) {
    const double e2 = d[i] * d[i] / std::pow(h, w[i]);
    ee += 0.5 / r * (e2 - e2 / std::pow(q, w[i]));
    n += w[i];
  }
  const double expected = loglik(hs) - loglik(h) + log_proposal(h, hs, nu) - log_proposal(hs, h, nu);
  EXPECT_NEAR(structural_scale_log_ratio(q, nu, ee, n), expected, 1e-12);
}

TEST(StructuralLogRatio, AlphaStepIsThePosteriorOfTheInverseGammaShape) {
  // Factors h_j under an inverse-gamma prior of shape a and scale a - 1,
  // Gamma(0.03, 0.01) prior on a; the log-normal walk adds ln a' - ln a.
  const std::vector<double> hf = {0.8, 1.3, 0.95, 1.6, 0.7, 1.1};
  auto logpost = [&](double a) {
    double l = (r_alpha_r - 1) * std::log(a) - r_alpha_s * a;
    for (double x : hf)
      l += a * std::log(a - 1) - std::lgamma(a) - (a + 1) * std::log(x) - (a - 1) / x;
    return l;
  };
  double A = 0;
  for (double x : hf) A += 1 / x + std::log(x);
  for (auto [an, a] : {std::pair{2.4, 3.1}, {5.0, 1.5}, {1.2, 8.0}}) {
    const double expected = logpost(an) + std::log(an) - logpost(a) - std::log(a);
    EXPECT_NEAR(r_alpha_log_ratio(an, a, A, static_cast<int>(hf.size())), expected, 1e-10) << an << " " << a;
  }
}

// Posterior of the Student-t shape given weights: Gamma(a/2, rate a/2) for
// each weight, Gamma(0.06, 0.005) prior.
double t_logpost(double a, const std::vector<double>& w) {
  double l = (w_alpha_r_t - 1) * std::log(a) - 0.5 * w_alpha_s_t * a;
  for (double x : w)
    l += 0.5 * a * std::log(0.5 * a) - std::lgamma(0.5 * a) + (0.5 * a - 1) * std::log(x) - 0.5 * a * x;
  return l;
}

TEST(StudentTLogRatio, IsThePosteriorOfTheShapeWithTheWalksJacobian) {
  const std::vector<double> w = {0.3, 1.7, 0.9, 1.1, 2.4, 0.6, 1.0};
  double L = 0, W = 0;
  for (double x : w) {
    L += std::log(x);
    W += x;
  }
  for (auto [an, a] : {std::pair{6.2, 4.5}, {1.5, 3.0}, {20.0, 19.0}}) {
    const double expected = t_logpost(an, w) + std::log(an) - t_logpost(a, w) - std::log(a);
    EXPECT_NEAR(t_alpha_log_ratio(an, a, L, W, static_cast<int>(w.size())), expected, 1e-9) << an << " " << a;
  }
}

// ---------------------------------------------------------------------------
// Tuning.

TEST(Tuning, DegreesOfBeliefWindowsAndFloor) {
  struct Case {
    double rate;
    int nu, expected;
  } cases[] = {
      {0.7, 2000, 1800},  // high acceptance: times 0.9, truncated
      {0.1, 2000, 2101},  // low: times 1.05 plus 1, truncated
      {0.4, 2000, 2000},  // inside the window
      {0.6, 2000, 2000},  // the double 0.6 is below the single-precision 0.6
      {0.6000001, 2000, 1800},
      {0.2, 2000, 2101},  // the double 0.2 is below the single-precision 0.2
      {0.2000001, 2000, 2000},
      {0.9, 6, 6},        // 5.4 truncated to 5, floored at 6
      {0.9, 7, 6},        // 6.3 -> 6
      {0.0, 6, 7},        // 7.3 -> 7
      {1.0, 100, 90},
  };
  for (const Case& c : cases) EXPECT_EQ(tune_dbelief(c.rate, c.nu), c.expected) << c.rate << " " << c.nu;
}

TEST(Tuning, ProposalVariance) {
  const double v = static_cast<double>(0.1f);
  EXPECT_EQ(tune_varprop(0.7, v), v * 1.0499999523162842);
  EXPECT_EQ(tune_varprop(0.1, v), v * 0.8999999761581421);
  EXPECT_EQ(tune_varprop(0.5, v), v);
  EXPECT_EQ(tune_varprop(0.2, v), v * 0.8999999761581421);
}

// ---------------------------------------------------------------------------
// Shape chains: with the rest frozen, long runs have the mean and variance of
// the target density, integrated here on a fine grid.

struct Moments {
  double mean, var;
};

Moments integrate(const std::function<double(double)>& logd, double lo, double hi) {
  const int n = 200000;
  const double h = (hi - lo) / n;
  double top = -1e300;
  for (int i = 1; i < n; ++i) top = std::max(top, logd(lo + i * h));
  double s0 = 0, s1 = 0, s2 = 0;
  for (int i = 1; i < n; ++i) {
    const double x = lo + i * h, p = std::exp(logd(x) - top);
    s0 += p;
    s1 += p * x;
    s2 += p * x * x;
  }
  const double mean = s1 / s0;
  return {mean, s2 / s0 - mean * mean};
}

Moments run_chain(const std::function<double(double&)>& step, double start, int n) {
  double a = start, s1 = 0, s2 = 0;
  for (int i = 0; i < 500; ++i) step(a);
  for (int i = 0; i < n; ++i) {
    step(a);
    s1 += a;
    s2 += a * a;
  }
  const double mean = s1 / n;
  return {mean, s2 / n - mean * mean};
}

TEST(ShapeChains, StudentTShapeHasItsPosteriorMoments) {
  std::vector<double> w;
  for (int i = 1; i <= 40; ++i) w.push_back(0.35 + 0.04 * i);  // 0.39 .. 1.95
  double L = 0, W = 0;
  for (double x : w) {
    L += std::log(x);
    W += x;
  }
  const Moments target = integrate([&](double a) { return t_logpost(a, w); }, 0.0, 200.0);
  prob::set_seed(4242);
  const int nw = static_cast<int>(w.size());
  const Moments chain =
      run_chain([&](double& a) { return t_alpha_steps(a, 0.3, L, W, nw); }, 1.5, 12000);
  const double sd = std::sqrt(target.var);
  EXPECT_NEAR(chain.mean, target.mean, 0.05 * sd) << target.mean;
  EXPECT_NEAR(std::sqrt(chain.var), sd, 0.05 * sd);
}

TEST(ShapeChains, SlashShapeHasTheGammaMoments) {
  // 25 weights with sum of logs -10: Gamma(25.015, 10.01).
  prob::set_seed(31);
  const int n = 20000;
  double s1 = 0, s2 = 0;
  for (int i = 0; i < n; ++i) {
    const double a = slash_alpha(-10.0, 25);
    s1 += a;
    s2 += a * a;
  }
  const double shape = 25 + 0.015, rate = 0.01 + 10.0;
  const double mean = shape / rate, var = shape / (rate * rate);
  EXPECT_NEAR(s1 / n, mean, 4 * std::sqrt(var / n));
  EXPECT_NEAR(s2 / n - (s1 / n) * (s1 / n), var, 0.05 * var);
}

TEST(ShapeChains, StructuralPriorShapeHasItsPosteriorMoments) {
  const std::vector<double> hf = {0.8, 1.3, 0.95, 1.6, 0.7, 1.1, 0.9, 1.2, 1.05, 0.85};
  double A = 0;
  for (double x : hf) A += 1 / x + std::log(x);
  auto logd = [&](double a) {
    double l = (r_alpha_r - 1) * std::log(a) - r_alpha_s * a;
    for (double x : hf) l += a * std::log(a - 1) - std::lgamma(a) - (a + 1) * std::log(x) - (a - 1) / x;
    return l;
  };
  const Moments target = integrate(logd, 1.0, 200.0);
  prob::set_seed(777);
  const int nl = static_cast<int>(hf.size());
  const Moments chain = run_chain([&](double& a) { return r_alpha_steps(a, 0.3, A, nl); }, 3.0, 20000);
  const double sd = std::sqrt(target.var);
  EXPECT_NEAR(chain.mean, target.mean, 0.05 * sd) << target.mean;
  EXPECT_NEAR(std::sqrt(chain.var), sd, 0.05 * sd);
}

}  // namespace
