// Record log-likelihood and conditional predictive ordinate sums.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/model_choice.hpp"

namespace {

using model::m;

// ln det of a symmetric positive definite matrix by elimination without
// pivoting (column-major, order n).
double log_det(std::vector<double> a, int n) {
  double ld = 0.0;
  for (int k = 0; k < n; ++k) {
    const double p = a[static_cast<std::size_t>(k + k * n)];
    ld += std::log(p);
    for (int i = k + 1; i < n; ++i) {
      const double f = a[static_cast<std::size_t>(i + k * n)] / p;
      for (int j = k; j < n; ++j) a[static_cast<std::size_t>(i + j * n)] -= f * a[static_cast<std::size_t>(k + j * n)];
    }
  }
  return ld;
}

void one_record_model(int nt) { eqtest::new_model(nt, {model::EffectType::cro}, {1}, 3); }

// The state with an unweighted record under the cursor (the weight scales
// the record's inverse covariance).
void new_state(model::State& s) {
  eqtest::new_state(s);
  s.rec_weight = 1.0;
}

TEST(ModelChoice, ConstantUsesSinglePrecisionPi) {
  EXPECT_EQ(sampler::ln_2pi, std::log(2.0 * static_cast<double>(static_cast<float>(std::numbers::pi))));
  EXPECT_NE(sampler::ln_2pi, std::log(2.0 * std::numbers::pi));
}

TEST(ModelChoice, OneTraitZeroResidual) {
  one_record_model(1);
  model::State s;
  new_state(s);
  m.rinv(1, 1) = 1.0 / 2.5;
  const double e[1] = {0.0};
  sampler::model_choice(s, 2, e);
  const double want = -0.5 * std::log(2.5) - 0.5 * sampler::ln_2pi;
  EXPECT_NEAR(s.LOGL_OBS(2, 2), want, 1e-15);
  EXPECT_NEAR(s.LOGL_OBS(2, 1), 1.0 / std::exp(want), 1e-14);
  EXPECT_EQ(s.logl_total, s.LOGL_OBS(2, 2));
  // Other records and columns are untouched.
  EXPECT_EQ(s.LOGL_OBS(1, 1), 0.0);
  EXPECT_EQ(s.LOGL_OBS(3, 2), 0.0);
  EXPECT_EQ(s.LOGL_OBS(2, 3), 0.0);
}

TEST(ModelChoice, AgreesWithDenseMultivariateNormalDensity) {
  one_record_model(3);
  model::State s;
  new_state(s);
  const std::vector<double> R = {4.0, 1.2, -0.6, 1.2, 2.0, 0.3, -0.6, 0.3, 1.5};
  const std::vector<double> Ri = eqtest::dense_inverse(R, 3);
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) m.rinv(i, j) = Ri[static_cast<std::size_t>((i - 1) + (j - 1) * 3)];
  const double e[3] = {0.7, -1.9, 0.45};
  double q = 0.0;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) q += e[i] * Ri[static_cast<std::size_t>(i + j * 3)] * e[j];
  const double want = -0.5 * q - 0.5 * log_det(R, 3) - 1.5 * sampler::ln_2pi;

  sampler::model_choice(s, 1, e);
  EXPECT_NEAR(s.LOGL_OBS(1, 2), want, 1e-12);
  EXPECT_NEAR(s.LOGL_OBS(1, 1) * std::exp(want), 1.0, 1e-12);

  // A second cycle adds to the sums, and the cycle total gathers records.
  const double e2[3] = {0.0, 0.5, -0.25};
  sampler::model_choice(s, 1, e2);
  sampler::model_choice(s, 3, e);
  const double d2 = sampler::record_log_density(3, e2, m.rinv.data(), 3);
  EXPECT_NEAR(s.LOGL_OBS(1, 2), want + d2, 1e-12);
  EXPECT_NEAR(s.LOGL_OBS(1, 1), 1.0 / std::exp(want) + 1.0 / std::exp(d2), 1e-9);
  EXPECT_NEAR(s.logl_total, 2.0 * want + d2, 1e-12);
}

TEST(ModelChoice, DroppedPivotCountsOnlyKeptPivots) {
  one_record_model(2);
  model::State s;
  new_state(s);
  m.rinv(1, 1) = 2.0;  // second row and column 0: its pivot is dropped
  const double e[2] = {0.5, 3.0};
  sampler::model_choice(s, 1, e);
  EXPECT_NEAR(s.LOGL_OBS(1, 2), 0.5 * (std::log(2.0) - 0.5) - 1.0 * sampler::ln_2pi, 1e-15);
}

TEST(ModelChoice, UnderflowingDensityGivesInfiniteInverse) {
  one_record_model(1);
  model::State s;
  new_state(s);
  m.rinv(1, 1) = 1.0;
  const double e[1] = {60.0};  // log-density about -1800
  sampler::model_choice(s, 1, e);
  EXPECT_TRUE(std::isinf(s.LOGL_OBS(1, 1)));
  EXPECT_NEAR(s.LOGL_OBS(1, 2), -1800.0 - 0.5 * sampler::ln_2pi, 1e-9);
}

}  // namespace
