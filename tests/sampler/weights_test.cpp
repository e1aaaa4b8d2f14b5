// Record weights as precisions: a record of weight w has residual y - Xb and
// residual covariance R/w wherever it enters: its log-density, the
// imputation of its missing traits, the residual cross-products of the
// dispersion step and the final evaluation at the posterior means.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/rangen_support.hpp"
#include "run/cycle.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/model_choice.hpp"
#include "sampler/records.hpp"

namespace {

using model::m;

// Three traits; effect 1 cro (2 levels, col 1), effect 2 a covariable (col 2)
// in every trait; weight col 3; traits cols 4..6.  R below, solutions fixed.
const std::vector<double> R3 = {4.0, 1.2, -0.6, 1.2, 2.0, 0.3, -0.6, 0.3, 1.5};

void weighted_model(model::State& s, int nrec) {
  eqtest::new_model(3, {model::EffectType::cro, model::EffectType::cov}, {2, 1}, nrec);
  m.pos_weight = 3;
  for (int t = 1; t <= 3; ++t) {
    m.pos_eff(1, t) = 1;
    m.pos_eff(2, t) = 2;
    m.pos_y(t) = 3 + t;
  }
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) m.r(i, j) = R3[static_cast<std::size_t>((i - 1) + (j - 1) * 3)];
  eqtest::new_state(s);
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.5 + 0.375 * q - 0.125 * q * q;
}

// Fitted value of trait t of a record at level lev with covariable x (32-bit
// as the program holds it), from solutions sol.
double fitted(const util::vec1<double>& sol, int t, int lev, float x) {
  return sol(sampler::address1(1, lev, t)) + static_cast<double>(x) * sol(sampler::address1(2, 1, t));
}

// Lower Cholesky factor of a symmetric positive definite matrix
// (column-major, order n).
std::vector<double> cholesky(const std::vector<double>& a, int n) {
  std::vector<double> l(a.size(), 0.0);
  auto A = [&](int i, int j) { return a[static_cast<std::size_t>(i + j * n)]; };
  auto L = [&](int i, int j) -> double& { return l[static_cast<std::size_t>(i + j * n)]; };
  for (int j = 0; j < n; ++j) {
    double d = A(j, j);
    for (int k = 0; k < j; ++k) d -= L(j, k) * L(j, k);
    L(j, j) = std::sqrt(d);
    for (int i = j + 1; i < n; ++i) {
      double v = A(i, j);
      for (int k = 0; k < j; ++k) v -= L(i, k) * L(j, k);
      L(i, j) = v / L(j, j);
    }
  }
  return l;
}

// ln of the normal density of e under covariance c (order n), by its
// Cholesky factor: -0.5 |L^-1 e|^2 - sum ln L(i,i) - n/2 ln 2pi.
double normal_log_density(const std::vector<double>& e, const std::vector<double>& c, int n) {
  const std::vector<double> l = cholesky(c, n);
  auto L = [&](int i, int j) { return l[static_cast<std::size_t>(i + j * n)]; };
  double q = 0.0, logdet = 0.0;
  std::vector<double> z(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    double v = e[static_cast<std::size_t>(i)];
    for (int k = 0; k < i; ++k) v -= L(i, k) * z[static_cast<std::size_t>(k)];
    z[static_cast<std::size_t>(i)] = v / L(i, i);
    q += z[static_cast<std::size_t>(i)] * z[static_cast<std::size_t>(i)];
    logdet += std::log(L(i, i));
  }
  return -0.5 * q - logdet - 0.5 * n * sampler::ln_2pi;
}

std::vector<double> scaled(const std::vector<double>& a, double f) {
  std::vector<double> b = a;
  for (double& x : b) x *= f;
  return b;
}

// ---------------------------------------------------------------------------
// The log-density of one record through the record steps, against the dense
// normal density with covariance R/w at the record's (imputed) observations.

struct DensityCase {
  float w;
  std::vector<float> y;  // 0 = missing
  std::vector<float> normals;
};

TEST(WeightedRecord, LogDensityIsTheNormalDensityWithCovarianceROverW) {
  const DensityCase cases[] = {
      {1.0f, {10.5f, -3.25f, 7.0f}, {}},
      {2.5f, {10.5f, -3.25f, 7.0f}, {}},
      {4.0f, {10.5f, 0.0f, 7.0f}, {0.8f}},
      {0.5f, {0.0f, -3.25f, 0.0f}, {-1.25f, 0.5f}},
      {3.0f, {-2.0f, 1.5f, 0.0f}, {2.0f}},
  };
  for (const DensityCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "w " << c.w << " y " << c.y[0] << " " << c.y[1] << " " << c.y[2]);
    model::State s;
    weighted_model(s, 1);
    const float x = 0.75f;
    eqtest::put_record(s, 1, {2, x, c.w, c.y[0], c.y[1], c.y[2]});
    eqtest::load(s, 1);
    sampler::decode_r(s);
    {
      rgtest::ScriptedNormals z(c.normals);
      sampler::predict_missing_y(s);
      EXPECT_EQ(z.next, c.normals.size());
    }
    double e[3];
    sampler::record_residuals(s, e);
    sampler::model_choice(s, 1, e);

    std::vector<double> ref(3);
    for (int t = 1; t <= 3; ++t) {
      ref[static_cast<std::size_t>(t - 1)] = static_cast<double>(s.Y(t)) - fitted(s.SOL, t, 2, x);
      EXPECT_NEAR(e[t - 1], ref[static_cast<std::size_t>(t - 1)], 1e-12) << "trait " << t;
    }
    const double want = normal_log_density(ref, scaled(R3, 1.0 / c.w), 3);
    EXPECT_NEAR(s.LOGL_OBS(1, 2), want, 1e-10);
    EXPECT_NEAR(s.LOGL_OBS(1, 1) * std::exp(want), 1.0, 1e-10);
    EXPECT_EQ(s.logl_total, s.LOGL_OBS(1, 2));
  }
}

// ---------------------------------------------------------------------------
// Imputation: the regression on the observed traits does not depend on the
// weight; the conditional covariance is divided by it.

TEST(WeightedRecord, ImputedTraitHasConditionalVarianceOverW) {
  const double r11 = 4, r12 = 1.2, r22 = 2;
  const double v = r22 - r12 * r12 / r11;
  for (float w : {0.25f, 1.0f, 2.0f, 4.0f}) {
    for (float z : {0.0f, 1.5f, -2.0f}) {
      SCOPED_TRACE(testing::Message() << "w " << w << " z " << z);
      model::State s;
      eqtest::new_model(2, {model::EffectType::cro}, {2}, 1);
      m.pos_weight = 2;
      for (int t = 1; t <= 2; ++t) {
        m.pos_eff(1, t) = 1;
        m.pos_y(t) = 2 + t;
      }
      m.r(1, 1) = r11;
      m.r(1, 2) = m.r(2, 1) = r12;
      m.r(2, 2) = r22;
      eqtest::new_state(s);
      for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 1.0 + 0.5 * q;
      eqtest::put_record(s, 1, {2, w, 9.0f, 0.0f});
      eqtest::load(s, 1);
      rgtest::ScriptedNormals zs({z});
      sampler::predict_missing_y(s);
      const double f1 = s.SOL(3), f2 = s.SOL(4);
      const float mean = static_cast<float>(f2 + r12 / r11 * (9.0 - f1));
      EXPECT_NEAR(s.Y(2), static_cast<double>(mean) + std::sqrt(v / w) * z, 1e-5);
      EXPECT_EQ(s.Y(1), 9.0f);
    }
  }
}

TEST(WeightedRecord, TwoImputedTraitsDrawFromTheCholeskyFactorOfVOverW) {
  // Traits 1 and 3 missing given trait 2: V = R_mm - r(.,2) r(2,.)/r22; the
  // draw is mean + chol(V/w) z.
  const float w = 2.5f;
  model::State s;
  weighted_model(s, 1);
  eqtest::put_record(s, 1, {1, -0.5f, w, 0.0f, 6.0f, 0.0f});
  eqtest::load(s, 1);
  rgtest::ScriptedNormals z({0.5f, -1.0f});
  sampler::predict_missing_y(s);
  const double e2 = 6.0 - fitted(s.SOL, 2, 1, -0.5f);
  const double m1 = fitted(s.SOL, 1, 1, -0.5f) + 1.2 / 2.0 * e2;
  const double m3 = fitted(s.SOL, 3, 1, -0.5f) + 0.3 / 2.0 * e2;
  const std::vector<double> V = {(4.0 - 1.2 * 1.2 / 2.0) / w, (-0.6 - 1.2 * 0.3 / 2.0) / w,
                                 (-0.6 - 1.2 * 0.3 / 2.0) / w, (1.5 - 0.3 * 0.3 / 2.0) / w};
  const std::vector<double> L = cholesky(V, 2);
  EXPECT_NEAR(s.Y(1), m1 + L[0] * 0.5, 1e-5);
  EXPECT_NEAR(s.Y(3), m3 + L[1] * 0.5 + L[3] * -1.0, 1e-5);
  EXPECT_EQ(s.Y(2), 6.0f);
}

// ---------------------------------------------------------------------------
// The residual pass of the dispersion step: cross-products sum w e e', each
// row of the residual array is e sqrt(w), and the cycle's log-likelihood is
// the sum of the records' densities under R/w.

TEST(WeightedRecord, ResidualPassSumsWeightedCrossProducts) {
  struct Rec {
    float w;
    int lev;
    float x;
    std::vector<float> y;
  };
  const std::vector<Rec> recs = {{1.0f, 1, 0.5f, {9.0f, -2.0f, 4.0f}},
                                 {2.0f, 2, -1.25f, {11.0f, -3.5f, 6.5f}},
                                 {4.0f, 1, 2.0f, {8.5f, 0.0f, 5.0f}},
                                 {0.5f, 2, 1.0f, {12.0f, -1.0f, 3.0f}}};
  model::State s;
  weighted_model(s, static_cast<int>(recs.size()));
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) s.ORIG_R(i, j) = m.r(i, j);
  for (std::size_t k = 0; k < recs.size(); ++k) {
    const Rec& r = recs[k];
    eqtest::put_record(s, static_cast<int>(k + 1),
                       {static_cast<float>(r.lev), r.x, r.w, r.y[0], r.y[1], r.y[2]});
  }
  m.round = m.nround = 1;
  m.nburn = 0;
  m.skip = 1;
  sampler::DispersionWork dw;
  {
    rgtest::ScriptedNormals z({0.625f});
    sampler::residual_pass(s, dw);
    EXPECT_EQ(z.next, 1u);
  }

  // Record 3's missing trait 2: mean by regression on traits 1 and 3 under R,
  // variance over w = 4.
  std::vector<double> y3 = {8.5, 0.0, 5.0};
  {
    const double f1 = fitted(s.SOL, 1, 1, 2.0f), f2 = fitted(s.SOL, 2, 1, 2.0f), f3 = fitted(s.SOL, 3, 1, 2.0f);
    // T = R(2,o) R(o,o)^-1 with o = {1, 3}.
    const double a = 4.0, b = -0.6, d = 1.5, det = a * d - b * b;
    const double t1 = (1.2 * d - 0.3 * b) / det, t3 = (-1.2 * b + 0.3 * a) / det;
    const double mean = static_cast<float>(f2 + t1 * (8.5 - f1) + t3 * (5.0 - f3));
    const double var = (2.0 - (t1 * 1.2 + t3 * 0.3)) / 4.0;
    y3[1] = static_cast<float>(mean + std::sqrt(var) * 0.625);
  }
  double ee[3][3] = {}, logl = 0.0;
  for (std::size_t k = 0; k < recs.size(); ++k) {
    const Rec& r = recs[k];
    std::vector<double> e(3);
    for (int t = 1; t <= 3; ++t) {
      const double y = k == 2 ? y3[static_cast<std::size_t>(t - 1)] : r.y[static_cast<std::size_t>(t - 1)];
      e[static_cast<std::size_t>(t - 1)] = y - fitted(s.SOL, t, r.lev, r.x);
    }
    for (int i = 0; i < 3; ++i) {
      EXPECT_NEAR(dw.e(static_cast<long>(k + 1), i + 1), e[static_cast<std::size_t>(i)] * std::sqrt(r.w), 1e-5)
          << "record " << k + 1 << " trait " << i + 1;
      for (int j = 0; j < 3; ++j) ee[i][j] += r.w * e[static_cast<std::size_t>(i)] * e[static_cast<std::size_t>(j)];
    }
    const double ld = normal_log_density(e, scaled(R3, 1.0 / r.w), 3);
    logl += ld;
    EXPECT_NEAR(s.LOGL_OBS(static_cast<long>(k + 1), 2), ld, 1e-5) << "record " << k + 1;
  }
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_NEAR(dw.ee(i, j), ee[i - 1][j - 1], 1e-4) << i << "," << j;
  EXPECT_NEAR(s.logl_total, logl, 1e-4);
}

// ---------------------------------------------------------------------------
// The final pass at the posterior means: residuals y - X b-bar, covariance
// R-bar/w for the log-likelihood and the standardised residuals.

TEST(WeightedRecord, FinalPassUsesResidualCovarianceOverW) {
  model::State s;
  weighted_model(s, 3);
  m.nround = 8;
  m.nburn = 0;
  m.skip = 2;  // 4 kept samples
  const double n = 4.0;
  const std::vector<double> rbar = {3.0, 0.9, -0.3, 0.9, 2.5, 0.2, -0.3, 0.2, 1.25};
  for (int j = 1; j <= 3; ++j)
    for (int i = 1; i <= 3; ++i) s.SUMR(i, j) = n * rbar[static_cast<std::size_t>((i - 1) + (j - 1) * 3)];
  util::vec1<double> bbar(s.neq);
  for (int q = 1; q <= s.neq; ++q) {
    bbar(q) = 0.25 * q - 1.0;
    s.SUMSOL(q) = n * bbar(q);
  }
  const float ws[3] = {1.0f, 3.0f, 0.5f};
  const float xs[3] = {0.5f, -1.5f, 2.0f};
  for (int k = 1; k <= 3; ++k)
    eqtest::put_record(s, k, {static_cast<float>(1 + k % 2), xs[k - 1], ws[k - 1], 9.5f, -2.5f + static_cast<float>(k), 4.25f});
  run::logl_thetabar(s);

  const std::vector<double> rinv_bar = eqtest::dense_inverse(rbar, 3);
  for (int k = 1; k <= 3; ++k) {
    SCOPED_TRACE(testing::Message() << "record " << k << " w " << ws[k - 1]);
    const double w = ws[k - 1];
    const float y[3] = {9.5f, -2.5f + static_cast<float>(k), 4.25f};
    std::vector<double> e(3);
    for (int t = 1; t <= 3; ++t)
      e[static_cast<std::size_t>(t - 1)] = static_cast<double>(y[t - 1]) - fitted(bbar, t, 1 + k % 2, xs[k - 1]);
    EXPECT_NEAR(s.LOGL_OBS(k, 3), normal_log_density(e, scaled(rbar, 1.0 / w), 3), 1e-9);
    for (int t = 1; t <= 3; ++t)
      EXPECT_NEAR(s.LOGL_OBS(k, 3 + t),
                  e[static_cast<std::size_t>(t - 1)] * std::sqrt(w * rinv_bar[static_cast<std::size_t>((t - 1) * 4)]),
                  1e-9)
          << "trait " << t;
  }
}

}  // namespace
