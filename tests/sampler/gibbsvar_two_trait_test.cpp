// Two-trait dispersion step against the textbook full conditionals: with the
// location effects held fixed, G | u is inverse Wishart with q + v_g degrees
// of freedom and scale u'A^-1 u + v_g G0, and R | e is inverse Wishart with
// n + v_r degrees of freedom and scale sum w e e' + v_r R0.  The moments of
// many draws are compared with the closed forms, element by element, so that
// a wrong cross-product, relationship term, weight or degree of freedom shows.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "sampler/dispersion_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sparse/sparsem.hpp"

namespace {

using disptest::cycle;
using disptest::diagonal_group;
using disptest::set_r;
using eqtest::new_model;
using eqtest::new_state;
using eqtest::put_record;
using model::m;

using M2 = std::array<std::array<double, 2>, 2>;

// Mean and variance of element (i, j) of an inverse-Wishart matrix of order
// p with df degrees of freedom and scale psi.
double iw_mean(const M2& psi, int df, int i, int j) { return psi[i][j] / (df - 2 - 1); }
double iw_var(const M2& psi, int df, int i, int j) {
  const double v = df, p = 2;
  return ((v - p + 1) * psi[i][j] * psi[i][j] + (v - p - 1) * psi[i][i] * psi[j][j]) /
         ((v - p) * (v - p - 1) * (v - p - 1) * (v - p - 3));
}

TEST(GibbsvarTwoTraits, DrawsOfGAndRHaveTheConjugateMoments) {
  constexpr int q = 12, nrec = 40, db_g = 6, db_r = 5;
  const M2 g0 = {{{1.0, 0.3}, {0.3, 0.5}}}, r0 = {{{2.0, -0.4}, {-0.4, 1.5}}};
  // Effect 1 an overall mean (column 1), effect 2 the random group (column
  // 2); traits in columns 3 and 4, the weight in column 5.
  new_model(2, {model::EffectType::cro, model::EffectType::cro}, {1, q}, nrec);
  for (int t = 1; t <= 2; ++t) {
    m.pos_eff(1, t) = 1;
    m.pos_eff(2, t) = 2;
  }
  m.pos_y(1) = 3;
  m.pos_y(2) = 4;
  m.pos_weight = 5;
  diagonal_group(2, db_g, {g0[0][0], g0[1][0], g0[0][1], g0[1][1]});
  set_r({r0[0][0], r0[1][0], r0[0][1], r0[1][1]});
  m.dbelief_r = db_r;
  model::State s;
  new_state(s);

  // A relationship inverse with off-diagonal terms (a chain of relatives):
  // each stored pair must count in both orders.
  std::vector<std::vector<double>> ainv(q, std::vector<double>(q, 0.0));
  sparsem::zero_sparse_hashm(s.AINV(2), q);
  for (int l = 1; l <= q; ++l) {
    sparsem::add_sparse_hashm(2.0, l, l, s.AINV(2));
    ainv[l - 1][l - 1] = 2.0;
    if (l < q) {
      sparsem::add_sparse_hashm(-0.75, l, l + 1, s.AINV(2));
      ainv[l - 1][l] = ainv[l][l - 1] = -0.75;
    }
  }
  s.DF_RANDOM(2) = q;

  // Fixed solutions: the mean of each trait, then level by level both traits.
  s.SOL(1) = 1.5;
  s.SOL(2) = -0.5;
  std::vector<std::array<double, 2>> u(q);
  for (int l = 1; l <= q; ++l) {
    u[l - 1] = {0.2 * (l % 5) - 0.4, 0.15 * ((3 * l) % 7) - 0.45 + 0.1 * (l % 5)};
    s.SOL(2 * l + 1) = u[l - 1][0];
    s.SOL(2 * l + 2) = u[l - 1][1];
  }
  M2 sg = {}, sr = {};
  for (int l1 = 0; l1 < q; ++l1)
    for (int l2 = 0; l2 < q; ++l2)
      for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) sg[i][j] += u[l1][i] * ainv[l1][l2] * u[l2][j];
  for (int k = 1; k <= nrec; ++k) {
    const int lev = (k * 5) % q + 1;
    const float w = static_cast<float>(1 + k % 4);
    const float y1 = static_cast<float>(1.2 * std::sin(0.7 * k) + 1.0);
    const float y2 = static_cast<float>(0.9 * std::cos(1.3 * k) - 0.3 + 0.5 * y1);
    put_record(s, k, {1.0f, static_cast<float>(lev), y1, y2, w});
    const double e[2] = {y1 - s.SOL(1) - u[lev - 1][0], y2 - s.SOL(2) - u[lev - 1][1]};
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) sr[i][j] += static_cast<double>(w) * e[i] * e[j];
  }
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) {
      sg[i][j] += db_g * g0[i][j];
      sr[i][j] += db_r * r0[i][j];
    }
  const int dfg = q + db_g, dfr = nrec + db_r;

  cycle(1, 1, 0, 1);
  prob::set_seed(2718);
  constexpr int N = 20000;
  M2 sum_g = {}, ss_g = {}, sum_r = {}, ss_r = {};
  for (int k = 0; k < N; ++k) {
    s.logl_total = 0.0;
    sampler::gibbsvar(s);
    for (int i = 0; i < 2; ++i)
      for (int j = 0; j < 2; ++j) {
        const double g = m.g(2, i + 1, j + 1), r = m.r(i + 1, j + 1);
        sum_g[i][j] += g;
        ss_g[i][j] += g * g;
        sum_r[i][j] += r;
        ss_r[i][j] += r * r;
      }
    ASSERT_EQ(m.g(2, 1, 2), m.g(2, 2, 1));
    ASSERT_EQ(m.r(1, 2), m.r(2, 1));
  }

  auto check = [&](const M2& sum, const M2& ss, const M2& psi, int df, const char* what) {
    for (int i = 0; i < 2; ++i)
      for (int j = i; j < 2; ++j) {
        const double mean = sum[i][j] / N, var = (ss[i][j] - N * mean * mean) / (N - 1);
        const double tm = iw_mean(psi, df, i, j), tv = iw_var(psi, df, i, j);
        EXPECT_NEAR(mean, tm, 4.0 * std::sqrt(tv / N)) << what << "(" << i + 1 << "," << j + 1 << ")";
        // The sample variance of 20000 draws of these moderate degrees of
        // freedom is within a few per cent; a shift of the degrees of freedom
        // by the order moves it by far more.
        EXPECT_NEAR(var, tv, 0.08 * tv) << what << "(" << i + 1 << "," << j + 1 << ")";
      }
  };
  check(sum_g, ss_g, sg, dfg, "G");
  check(sum_r, ss_r, sr, dfr, "R");
}

}  // namespace
