// Every result file stored with values from 1e-30 to 1e30 and read back by
// the restart: no value runs into its neighbour, none comes back as zero,
// each comes back within the digits written, and a second store after the
// restart writes the same files.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run/restart.hpp"
#include "run/store.hpp"
#include "store_support.hpp"

namespace {

using statetest::lines;
using namespace storetest;

// A value of magnitude 10^-30 to 10^30 that varies in sign and digits with k.
double spread(int k) {
  const int e = -30 + (k * 7) % 61;
  const double mant = 1.0 + ((k * 5) % 9) / 9.0;
  return (k % 2 == 0 ? 1 : -1) * mant * std::pow(10.0, e);
}
// A symmetric positive definite 2 by 2 matrix of two spread variances and a
// covariance of half their geometric mean, into (i0 + a, j0 + b).
template <class Put>
void spread_block(int k, Put put) {
  const double a = std::fabs(spread(k)), b = std::fabs(spread(k + 1));
  const double c = (k % 2 == 0 ? 0.5 : -0.5) * std::sqrt(a * b);
  put(1, 1, a);
  put(2, 2, b);
  put(1, 2, c);
  put(2, 1, c);
}
// A standard deviation of 1/100 to 100 times the magnitude of its mean.
double spread_sd(int k) { return std::fabs(spread(k)) * std::pow(10.0, (k % 5) - 2); }
// A probability or rate of magnitude 10^-30 to 10^0.
double spread_rate(int k) {
  const int e = -((k * 7) % 31);
  return (1.0 + (k % 4) / 8.0) * std::pow(10.0, e) * (e == 0 ? 0.5 : 1.0);
}

// What a field of w columns and d decimals keeps of x: d decimals in fixed
// form, or w - 8 decimals of the mantissa in exponent form.
double kept_digits(double x, int w, int d) {
  return 0.6 * (std::pow(10.0, -d) + std::pow(10.0, -(w - 8)) * std::fabs(x));
}

struct Pair {
  double S, Q;
};

class FieldRoundTrip : public StoreFolder {
 protected:

  // Sums of n samples with mean and sd spread over every magnitude.
  void spread_pair(double& S, double& Q, int k) const { set_pair(S, Q, n_, spread(k), spread_sd(k)); }

  // Mean and sd of the restored pair against the stored one, each within the
  // digits of its field.
  void expect_pair(const char* what, int k, double S0, double Q0, double S1, double Q1, int w, int d) const {
    const double m0 = S0 / n_, m1 = S1 / n_;
    const double s0 = std::sqrt(std::fmax(Q0 / n_ - m0 * m0, 0.0));
    const double s1 = std::sqrt(std::fmax(Q1 / n_ - m1 * m1, 0.0));
    EXPECT_NEAR(m1, m0, kept_digits(m0, w, d)) << what << " " << k << " mean";
    EXPECT_NEAR(s1, s0, kept_digits(s0, w, d) + 1e-12 * std::fabs(m0)) << what << " " << k << " sd";
    if (m0 != 0) {
      EXPECT_NE(m1, 0.0) << what << " " << k;
    }
    if (s0 != 0) {
      EXPECT_NE(s1, 0.0) << what << " " << k;
    }
  }
  void expect_value(const char* what, int k, double v0, double v1, int w, int d) const {
    EXPECT_NEAR(v1, v0, kept_digits(v0, w, d)) << what << " " << k;
    if (v0 != 0) {
      EXPECT_NE(v1, 0.0) << what << " " << k;
    }
  }

  // Every value line has its fields apart: the count of blank-separated
  // items of each line is that of its kind.
  static void expect_items(const std::string& file, std::size_t skip, std::size_t items) {
    const auto v = lines(slurp(file));
    for (std::size_t i = skip; i < v.size(); ++i) {
      std::istringstream in(v[i]);
      std::size_t n = 0;
      for (std::string w; in >> w;) ++n;
      EXPECT_EQ(n, items) << file << " line " << i + 1 << ": " << v[i];
    }
  }

  double n_ = 0;
};

// Candidate sires, multiple breeds, the evaluation at the posterior means.
TEST_F(FieldRoundTrip, SolutionsSiresVarianceComponentsAndLogLikelihoods) {
  make_sample_files();
  model_a(state_, 1000, 1000);
  n_ = 90;
  model::State& s = state_;
  int k = 1;
  for (int a = 1; a <= s.neq; ++a, ++k) {
    if (a == 12) continue;  // no line
    s.SOL(a) = spread(k + 11);
    spread_pair(s.SUMSOL(a), s.SSSOL(a), k);
  }
  for (int i = 1; i <= 2; ++i)
    for (int c = 1; c <= 2; ++c, ++k) {
      s.SOL_N(i, c) = spread(k + 17);
      spread_pair(s.SUMSOL_N(i, c), s.SSSOL_N(i, c), k);
    }
  // Last samples as the sampler keeps them: positive definite, breed pair
  // by breed pair in the multiple-breed block of effect 2.
  spread_block(k, [](int i, int j, double x) { M.g(1, i, j) = x; });
  spread_block(k + 2, [](int i, int j, double x) { M.g(2, i, j) = x; });
  spread_block(k + 4, [](int i, int j, double x) { M.g(2, 2 + i, 2 + j) = x; });
  spread_block(k + 6, [](int i, int j, double x) { M.g(2, i, 2 + j) = M.g(2, 2 + i, j) = x; });
  spread_block(k + 8, [](int i, int j, double x) { M.r(i, j) = x; });
  for (int e = 1; e <= 2; ++e) {
    const int d = e == 1 ? 2 : 4;
    for (int i = 1; i <= d; ++i)
      for (int j = 1; j <= d; ++j, ++k) spread_pair(s.SUMG(e, i, j), s.SSG(e, i, j), k);
  }
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j, ++k) spread_pair(s.SUMR(i, j), s.SSR(i, j), k);
  // Candidate probabilities and sample proportions.
  for (int p : {1, 6}) {
    const int m = static_cast<int>(s.MS(p));
    for (int c = 1; c <= m; ++c, ++k) {
      s.MS(p + 2 * c) = spread_rate(k);
      set_pair(s.SUMMS(p + 2 * c), s.SSMS(p + 2 * c), n_, spread_rate(k + 1), spread_rate(k + 2));
      s.SUMMS(p + 2 * c - 1) = n_ * spread_rate(k + 3);
    }
  }
  s.MS(2) = 123456789;  // a sire id wider than its field
  // Ordinates and log-likelihoods.
  for (int i = 1; i <= 4; ++i, ++k) {
    s.LOGL_OBS(i, 1) = n_ / std::fabs(spread(k));
    s.LOGL_OBS(i, 2) = n_ * spread(k + 1);
    for (int c = 3; c <= 5; ++c) s.LOGL_OBS(i, c) = spread(k + c);
  }
  s.SUMMB_ACCEP(2, 1, 2) = n_ * spread_rate(7);
  s.MB_DBELIEF(2, 1, 2) = 2147483647;  // ten digits fill the field

  ASSERT_EQ(store().stop, "");
  const auto first = results();
  ASSERT_EQ(first.size(), 5u);
  expect_items("solutions", 2, 6);
  expect_items("msiresppr", 2, 6);
  expect_items("loglike_obs", 2, 6);
  const model::State before = std::move(state_);
  const model::Model mbefore = M;

  model_a(state_, 1000, 1000);
  s.MS(2) = 123456789;
  // A start no tuning window moves far, so that ten digits come back.
  s.MB_DBELIEF(2, 1, 2) = 2147483647;
  ASSERT_EQ(restart(1001).stop, "");

  k = 1;
  for (int a = 1; a <= s.neq; ++a, ++k) {
    if (a == 12) continue;
    expect_value("SOL", a, before.SOL(a), s.SOL(a), 15, 6);
    expect_pair("SOL", a, before.SUMSOL(a), before.SSSOL(a), s.SUMSOL(a), s.SSSOL(a), 15, 6);
  }
  for (int i = 1; i <= 2; ++i)
    for (int c = 1; c <= 2; ++c) {
      expect_value("SOL_N", 2 * i + c, before.SOL_N(i, c), s.SOL_N(i, c), 15, 6);
      expect_pair("SOL_N", 2 * i + c, before.SUMSOL_N(i, c), before.SSSOL_N(i, c), s.SUMSOL_N(i, c),
                  s.SSSOL_N(i, c), 15, 6);
    }
  for (int e = 1; e <= 2; ++e) {
    const int d = e == 1 ? 2 : 4;
    for (int i = 1; i <= d; ++i)
      for (int j = 1; j <= d; ++j) {
        expect_value("g", 100 * e + 10 * i + j, mbefore.g(e, i, j), M.g(e, i, j), 12, 4);
        expect_pair("G", 100 * e + 10 * i + j, before.SUMG(e, i, j), before.SSG(e, i, j), s.SUMG(e, i, j),
                    s.SSG(e, i, j), 12, 4);
      }
  }
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) {
      expect_value("r", 10 * i + j, mbefore.r(i, j), M.r(i, j), 12, 4);
      expect_pair("R", 10 * i + j, before.SUMR(i, j), before.SSR(i, j), s.SUMR(i, j), s.SSR(i, j), 12, 4);
    }
  for (int q = 1; q <= 12; ++q) {
    expect_value("MS", q, before.MS(q), s.MS(q), 14, 6);
    expect_value("SUMMS", q, before.SUMMS(q) / n_, s.SUMMS(q) / n_, 14, 6);
  }
  for (int i = 1; i <= 4; ++i) {
    expect_value("cpo", i, n_ / before.LOGL_OBS(i, 1), n_ / s.LOGL_OBS(i, 1), 18, 12);
    expect_value("logl", i, before.LOGL_OBS(i, 2) / n_, s.LOGL_OBS(i, 2) / n_, 18, 12);
  }
  expect_value("accep", 1, before.SUMMB_ACCEP(2, 1, 2) / n_, s.SUMMB_ACCEP(2, 1, 2) / n_, 12, 8);
  EXPECT_EQ(s.MB_DBELIEF(2, 1, 2), 2147483647);

  // Columns 3 on of "loglike_obs" are the final evaluation's; keep them.
  for (int i = 1; i <= 4; ++i)
    for (int c = 3; c <= 5; ++c) s.LOGL_OBS(i, c) = before.LOGL_OBS(i, c);
  M.round = 1000;
  ASSERT_EQ(store().stop, "");
  EXPECT_EQ(results(), first);
}

// Structural and Student-t residuals: "structural_r", "robustness_w" and
// the proposal settings of "mh_acceptance".
TEST_F(FieldRoundTrip, StructuralAndRobustnessFiles) {
  make_sample_files();
  model_b(state_, 300, 400, 100, 5);
  n_ = 40;
  model::State& s = state_;
  int k = 3;
  // Factors, weights and shapes are positive; a structural shape is above 1.
  auto positive_pair = [&](double& S, double& Q, int j, double plus = 0) {
    set_pair(S, Q, n_, plus + std::fabs(spread(j)), spread_sd(j));
  };
  for (int a = 1; a <= s.neq; ++a, ++k) {
    s.SOL(a) = spread(k);
    spread_pair(s.SUMSOL(a), s.SSSOL(a), k + 1);
    s.R_SOL(a) = std::fabs(spread(k + 2));
    positive_pair(s.SUMR_SOL(a), s.SSR_SOL(a), k + 3);
  }
  s.R_ALPHA(2) = 1.5 + std::fabs(spread(k++));
  positive_pair(s.SUMR_ALPHA(2), s.SSR_ALPHA(2), k++, 1.5);
  s.w_alpha = std::fabs(spread(k++));
  positive_pair(s.sumw_alpha, s.ssw_alpha, k++);
  for (int i = 1; i <= 3; ++i, ++k) {
    s.WEIGHT_ROBUST(i) = std::fabs(spread(k + 20));
    positive_pair(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i), k);
  }
  s.SUMR_ACCEP(1) = n_ * spread_rate(4);
  s.R_DBELIEFPROP(1) = 1234567890;
  s.SUMR_ALPHAACCEP(2) = n_ * spread_rate(9);
  s.R_ALPHA_VARPROP(2) = 4.5e29;
  s.sumw_alphaaccep = n_ * spread_rate(12);
  s.w_alpha_varprop = 7.25e-27;

  ASSERT_EQ(store().stop, "");
  const auto first = results();
  ASSERT_EQ(first.size(), 6u);
  expect_items("structural_r", 2, 6);
  expect_items("robustness_w", 2, 5);
  const model::State before = std::move(state_);

  model_b(state_, 300, 300, 100, 5);
  // Starts that five tuning windows cannot move from those digits.
  s.R_DBELIEFPROP(1) = 1234567890;
  s.R_ALPHA_VARPROP(2) = 4.5e29;
  s.w_alpha_varprop = 7.25e-27;
  ASSERT_EQ(restart(301).stop, "");

  for (int a = 1; a <= s.neq; ++a) {
    expect_value("R_SOL", a, before.R_SOL(a), s.R_SOL(a), 15, 6);
    expect_pair("R_SOL", a, before.SUMR_SOL(a), before.SSR_SOL(a), s.SUMR_SOL(a), s.SSR_SOL(a), 15, 6);
  }
  expect_value("R_ALPHA", 2, before.R_ALPHA(2), s.R_ALPHA(2), 15, 6);
  expect_pair("R_ALPHA", 2, before.SUMR_ALPHA(2), before.SSR_ALPHA(2), s.SUMR_ALPHA(2), s.SSR_ALPHA(2), 15, 6);
  expect_value("w_alpha", 1, before.w_alpha, s.w_alpha, 15, 6);
  expect_pair("w_alpha", 1, before.sumw_alpha, before.ssw_alpha, s.sumw_alpha, s.ssw_alpha, 15, 6);
  for (int i = 1; i <= 3; ++i) {
    expect_value("WEIGHT_ROBUST", i, before.WEIGHT_ROBUST(i), s.WEIGHT_ROBUST(i), 15, 6);
    expect_pair("WEIGHT_ROBUST", i, before.SUMWEIGHT_ROBUST(i), before.SSWEIGHT_ROBUST(i), s.SUMWEIGHT_ROBUST(i),
                s.SSWEIGHT_ROBUST(i), 15, 6);
  }
  // The structural acceptance sum restarts empty inside burn-in only.
  expect_value("SUMR_ACCEP", 1, before.SUMR_ACCEP(1) / n_, s.SUMR_ACCEP(1) / n_, 12, 8);
  EXPECT_EQ(s.R_DBELIEFPROP(1), 1234567890);
  expect_value("SUMR_ALPHAACCEP", 2, before.SUMR_ALPHAACCEP(2) / n_, s.SUMR_ALPHAACCEP(2) / n_, 12, 8);
  expect_value("R_ALPHA_VARPROP", 2, before.R_ALPHA_VARPROP(2), s.R_ALPHA_VARPROP(2), 12, 8);
  expect_value("sumw_alphaaccep", 1, before.sumw_alphaaccep / n_, s.sumw_alphaaccep / n_, 12, 8);
  expect_value("w_alpha_varprop", 1, before.w_alpha_varprop, s.w_alpha_varprop, 12, 8);

  ASSERT_EQ(store().stop, "");
  EXPECT_EQ(results(), first);
}

}  // namespace
