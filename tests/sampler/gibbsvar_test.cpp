// The dispersion step: conjugate draws of G and R, the order of the draws,
// zero patterns, sample files, posterior sums, stops and messages.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "random/rangen_support.hpp"
#include "sampler/dispersion_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "util/format.hpp"

namespace {

using disptest::cycle;
using disptest::diagonal_group;
using disptest::identity_ainv;
using disptest::InFolder;
using disptest::set_r;
using eqtest::new_model;
using eqtest::new_state;
using eqtest::put_record;
using model::m;

constexpr model::EffectType CRO = model::EffectType::cro, RAM = model::EffectType::ram;

// ---------------------------------------------------------------------------
// Conjugacy: one trait, one diagonal group, fixed solutions.  G and R are
// inverse gamma with shape df/2 and scale S/2: mean S/(df-2), variance
// 2 S^2 / ((df-2)^2 (df-4)).

TEST(GibbsvarConjugacy, MeanAndVarianceOfManyDrawsOfGAndR) {
  constexpr int q = 20, nrec = 60, db_g = 10, db_r = 4;
  constexpr double g0 = 2.0, r0 = 1.5;
  new_model(1, {CRO}, {q}, nrec);
  m.pos_eff(1, 1) = 1;
  m.pos_y(1) = 2;
  diagonal_group(1, db_g, {g0});
  set_r({r0});
  m.dbelief_r = db_r;
  model::State s;
  new_state(s);
  identity_ainv(s, 1);
  double su = 0.0;
  for (int l = 1; l <= q; ++l) {
    s.SOL(l) = 0.25 * (l % 7) - 0.8;
    su += s.SOL(l) * s.SOL(l);
  }
  double se = 0.0;
  for (int i = 1; i <= nrec; ++i) {
    const int lev = (i * 7) % q + 1;
    const float y = static_cast<float>(std::sin(i) * 1.7 + 0.3 * lev);
    put_record(s, i, {static_cast<float>(lev), y});
    const double e = static_cast<double>(y) - s.SOL(lev);
    se += e * e;
  }
  cycle(1, 1, 0, 1);
  prob::set_seed(4711);

  const double Sg = su + db_g * g0, Sr = se + db_r * r0;
  const int dfg = q + db_g, dfr = nrec + db_r;
  constexpr int N = 20000;
  double mg = 0, vg = 0, mr = 0, vr = 0;
  std::vector<double> gs(N), rs(N);
  for (int k = 0; k < N; ++k) {
    s.logl_total = 0.0;
    sampler::gibbsvar(s);
    gs[k] = m.g(1, 1, 1);
    rs[k] = m.r(1, 1);
    mg += gs[k];
    mr += rs[k];
  }
  mg /= N;
  mr /= N;
  for (int k = 0; k < N; ++k) {
    vg += (gs[k] - mg) * (gs[k] - mg);
    vr += (rs[k] - mr) * (rs[k] - mr);
  }
  vg /= N - 1;
  vr /= N - 1;

  auto check = [&](double mean, double var, double S, int df, const char* what) {
    const double tm = S / (df - 2), tv = 2 * S * S / ((df - 2.0) * (df - 2.0) * (df - 4.0));
    // Four standard errors: of the mean, and of the variance from the
    // inverse-gamma kurtosis.
    const double a = df / 2.0;
    const double kurt = 3.0 + 6.0 * (5 * a - 11) / ((a - 3) * (a - 4));
    EXPECT_NEAR(mean, tm, 4 * std::sqrt(tv / N)) << what;
    EXPECT_NEAR(var, tv, 4 * tv * std::sqrt((kurt - 1) / N)) << what;
  };
  check(mg, vg, Sg, dfg, "G");
  check(mr, vr, Sr, dfr, "R");
}

// Two traits, the group's effect absent for trait 2: G11 has the marginal of
// the present row in an inverse-Wishart matrix of order 2, inverse gamma with
// one degree of freedom fewer; the absent row stays 0.
TEST(GibbsvarConjugacy, ThePresentRowOfAGroupWithAnAbsentEffectHasItsMarginal) {
  constexpr int q = 20, nrec = 40, db_g = 6;
  constexpr double g0 = 2.0;
  new_model(2, {CRO}, {q}, nrec);
  m.pos_eff(1, 1) = 1;
  m.pos_eff(1, 2) = 0;
  m.pos_y(1) = 2;
  m.pos_y(2) = 3;
  // As the echo leaves it: the absent row 0.
  diagonal_group(1, db_g, {g0, 0.0, 0.0, 0.0});
  set_r({1.5, 0.2, 0.2, 1.0});
  m.dbelief_r = 4;
  model::State s;
  new_state(s);
  identity_ainv(s, 1);
  double su = 0.0;
  for (int l = 1; l <= q; ++l) {
    s.SOL(2 * l - 1) = 0.25 * (l % 7) - 0.8;
    su += s.SOL(2 * l - 1) * s.SOL(2 * l - 1);
  }
  for (int i = 1; i <= nrec; ++i)
    put_record(s, i, {static_cast<float>((i * 7) % q + 1), static_cast<float>(std::sin(i) * 1.7),
                      static_cast<float>(std::cos(i))});
  cycle(1, 1, 0, 1);
  prob::set_seed(8191);

  const double S = su + db_g * g0;
  const int df = q + db_g - 1;
  constexpr int N = 20000;
  double mg = 0, vg = 0;
  std::vector<double> gs(N);
  long nonzero = 0;
  for (int k = 0; k < N; ++k) {
    s.logl_total = 0.0;
    sampler::gibbsvar(s);
    gs[k] = m.g(1, 1, 1);
    mg += gs[k];
    nonzero += m.g(1, 1, 2) != 0.0 || m.g(1, 2, 1) != 0.0 || m.g(1, 2, 2) != 0.0;
  }
  EXPECT_EQ(nonzero, 0);
  mg /= N;
  for (int k = 0; k < N; ++k) vg += (gs[k] - mg) * (gs[k] - mg);
  vg /= N - 1;
  const double tm = S / (df - 2), tv = 2 * S * S / ((df - 2.0) * (df - 2.0) * (df - 4.0));
  const double a = df / 2.0;
  const double kurt = 3.0 + 6.0 * (5 * a - 11) / ((a - 3) * (a - 4));
  EXPECT_NEAR(mg, tm, 4 * std::sqrt(tv / N));
  EXPECT_NEAR(vg, tv, 4 * tv * std::sqrt((kurt - 1) / N));
  // The mean with all q + db_g degrees of freedom lies well outside.
  EXPECT_GT(std::fabs(S / (df - 1) - tm), 8 * std::sqrt(tv / N));
}

// ---------------------------------------------------------------------------
// Order of the random draws: the imputation of the residual pass, then G,
// then R.  Normals are scripted; the uniforms come from the seeded stream.

// Two traits; effect 1 a mean (col 1), effect 2 a diagonal group of three
// levels (col 2); traits in cols 3 and 4; record 4 misses trait 2.
void replay_model(model::State& s) {
  new_model(2, {CRO, CRO}, {1, 3}, 4);
  for (int t = 1; t <= 2; ++t) {
    m.pos_eff(1, t) = 1;
    m.pos_eff(2, t) = 2;
  }
  m.pos_y(1) = 3;
  m.pos_y(2) = 4;
  diagonal_group(2, 4, {1.0, 0.5, 0.5, 2.0});
  set_r({2.0, 0.3, 0.3, 1.0});
  m.dbelief_r = 3;
  new_state(s);
  identity_ainv(s, 2);
  const double sol[8] = {0.5, -1.0, 0.25, -0.75, 1.5, 0.5, -1.25, 1.0};
  for (int k = 1; k <= 8; ++k) s.SOL(k) = sol[k - 1];
  put_record(s, 1, {1, 1, 2.5f, -1.0f});
  put_record(s, 2, {1, 2, 0.75f, 3.0f});
  put_record(s, 3, {1, 3, -1.5f, 1.25f});
  put_record(s, 4, {1, 2, 1.0f, 0.0f});
  cycle(2, 10, 0, 1);
}

TEST(GibbsvarOrder, ImputationThenGThenR) {
  const std::vector<float> normals = {0.75f, -1.5f, 0.25f};
  model::State s;
  replay_model(s);
  const util::mat1<double> r_start = m.r;
  prob::set_seed(987);
  {
    rgtest::ScriptedNormals z(normals);
    sampler::gibbsvar(s);
    // One normal for the missing trait, one in each 2 by 2 Bartlett draw.
    EXPECT_EQ(z.next, 3u);
  }
  // The last record's missing trait took the first normal, under the R the
  // cycle started with: mean f2 + r12/r11 (y1 - f1), variance r22 - r12^2/r11.
  const double f1 = 0.5 + 1.5, f2 = -1.0 + 0.5;
  const float mean = static_cast<float>(f2 + 0.3 / 2.0 * (1.0 - f1));
  const double sd = std::sqrt(r_start(2, 2) - 0.3 * 0.3 / 2.0);
  EXPECT_NEAR(s.Y(2), static_cast<double>(mean) + sd * 0.75, 1e-6);
  EXPECT_EQ(s.irec, 5);
  const util::mat1<double> g_got = [] {
    util::mat1<double> x(2, 2);
    for (int j = 1; j <= 2; ++j)
      for (int i = 1; i <= 2; ++i) x(i, j) = m.g(2, i, j);
    return x;
  }();
  const util::mat1<double> r_got = m.r;

  // Replay by hand in the same order.
  model::State t;
  replay_model(t);
  prob::set_seed(987);
  rgtest::ScriptedNormals z(normals);
  util::mat1<double> ee(2, 2);
  for (int i = 1; i <= 4; ++i) {
    t.irec = i;
    sampler::decode_record(t);
    sampler::find_addresses(t);
    sampler::decode_r(t);
    sampler::predict_missing_y(t);
    const int lev = static_cast<int>(t.INDATA(i, 2));
    double e[2];
    for (int k = 1; k <= 2; ++k)
      e[k - 1] = static_cast<double>(t.Y(k)) - t.SOL(k) - t.SOL(2 * lev + k);
    for (int a = 1; a <= 2; ++a)
      for (int b = 1; b <= 2; ++b) ee(a, b) += e[a - 1] * e[b - 1];
  }
  util::mat1<double> S(2, 2);
  for (int p = 1; p <= 2; ++p)
    for (int qq = 1; qq <= 2; ++qq) {
      double v = 0.0;
      for (int l = 1; l <= 3; ++l) v += t.SOL(2 * l + p) * t.SOL(2 * l + qq);
      S(p, qq) = v + 4 * t.ORIG_G(2, p, qq);
    }
  const util::mat1<double> g_want = prob::gen_invwishart_multi(denseop::finvcs8(S), 3 + 4);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) ee(i, j) += 3 * t.ORIG_R(i, j);
  const util::mat1<double> r_want = prob::gen_invwishart_multi(denseop::finvcs8(ee), 4 + 3);
  EXPECT_EQ(z.next, 3u);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) {
      EXPECT_DOUBLE_EQ(g_got(i, j), g_want(i, j)) << i << "," << j;
      EXPECT_DOUBLE_EQ(r_got(i, j), r_want(i, j)) << i << "," << j;
    }
}

// ---------------------------------------------------------------------------
// Zero patterns, sample files and posterior sums.

// Two traits; effect 1 a mean present for trait 1 only and saved; effect 2 a
// diagonal group with 3 levels; G and R start diagonal.
void pattern_model(model::State& s) {
  new_model(2, {CRO, CRO}, {1, 3}, 5);
  m.pos_eff(1, 1) = 1;
  m.effectsave(1) = 1;
  for (int t = 1; t <= 2; ++t) m.pos_eff(2, t) = 2;
  m.pos_y(1) = 3;
  m.pos_y(2) = 4;
  diagonal_group(2, 3, {1.0, 0.0, 0.0, 2.0});
  set_r({2.0, 0.0, 0.0, 1.0});
  m.dbelief_r = 2;
  new_state(s);
  identity_ainv(s, 2);
  for (int k = 1; k <= s.neq; ++k) s.SOL(k) = 0.1 * k - 0.3;
  for (int i = 1; i <= 5; ++i)
    put_record(s, i, {1, static_cast<float>(i % 3 + 1), 0.5f * i, 1.0f - 0.25f * i});
}

using GibbsvarFiles = InFolder;

TEST_F(GibbsvarFiles, KeptCycleWritesSamplesAndSumsAndKeepsZeroPattern) {
  model::State s;
  pattern_model(s);
  cycle(4, 10, 0, 2);
  sampler::open_new(sampler::sample_files(s));
  prob::set_seed(55);
  sampler::gibbsvar(s);
  sampler::close(sampler::sample_files(s));

  EXPECT_EQ(m.g(2, 1, 2), 0.0);
  EXPECT_EQ(m.g(2, 2, 1), 0.0);
  EXPECT_GT(m.g(2, 1, 1), 0.0);
  EXPECT_GT(m.g(2, 2, 2), 0.0);
  EXPECT_EQ(m.g(2, 3, 3), 0.0);
  EXPECT_EQ(m.g(1, 1, 1), 0.0);  // not a random group: untouched
  EXPECT_EQ(m.r(1, 2), 0.0);
  EXPECT_EQ(m.r(2, 1), 0.0);

  const std::vector<std::string> vc = {" 4", util::freev(m.g(2, 1, 1)), util::freev(m.g(2, 2, 2)),
                                       util::freev(m.r(1, 1)), util::freev(m.r(2, 2))};
  EXPECT_EQ(file_lines("varcompsam"), vc);
  double ll = 0.0;
  for (int i = 1; i <= 5; ++i) ll += s.LOGL_OBS(i, 2);
  EXPECT_NE(s.logl_total, 0.0);
  EXPECT_NEAR(s.logl_total, ll, 1e-12);
  EXPECT_EQ(file_lines("loglike_rnd"), std::vector<std::string>{util::freev(4, " ", s.logl_total)});
  // Effect 1 is saved for trait 1 only.
  EXPECT_EQ(file_lines("solutionsam"), (std::vector<std::string>{" 4", util::freev(s.SOL(1))}));
  EXPECT_FALSE(exists("mh_dbeliefchg"));

  EXPECT_EQ(s.SUMG(2, 1, 1), m.g(2, 1, 1));
  EXPECT_EQ(s.SSG(2, 2, 2), m.g(2, 2, 2) * m.g(2, 2, 2));
  EXPECT_EQ(s.SUMR(1, 1), m.r(1, 1));
  EXPECT_EQ(s.SSR(2, 2), m.r(2, 2) * m.r(2, 2));
  EXPECT_EQ(s.SUMSOL(5), s.SOL(5));
  EXPECT_EQ(s.SSSOL(5), s.SOL(5) * s.SOL(5));
}

TEST_F(GibbsvarFiles, BurnInAndLastCyclesWriteWithoutLikelihoodOrSums) {
  model::State s;
  pattern_model(s);
  sampler::open_new(sampler::sample_files(s));
  prob::set_seed(56);
  cycle(3, 10, 5, 1);  // burn-in, written
  sampler::gibbsvar(s);
  cycle(7, 7, 0, 2);  // the last cycle, not a multiple of skip: written, not kept
  sampler::gibbsvar(s);
  cycle(5, 7, 0, 2);  // neither written nor kept
  sampler::gibbsvar(s);
  sampler::close(sampler::sample_files(s));

  EXPECT_EQ(file_lines("loglike_rnd"), (std::vector<std::string>{" 3   0", " 7   0"}));
  const auto vc = file_lines("varcompsam");
  ASSERT_EQ(vc.size(), 10u);
  EXPECT_EQ(vc[0], " 3");
  EXPECT_EQ(vc[5], " 7");
  EXPECT_EQ(file_lines("solutionsam").size(), 4u);
  for (int i = 1; i <= 5; ++i) {
    EXPECT_EQ(s.LOGL_OBS(i, 1), 0.0);
    EXPECT_EQ(s.LOGL_OBS(i, 2), 0.0);
  }
  EXPECT_EQ(s.SUMG(2, 1, 1), 0.0);
  EXPECT_EQ(s.SUMR(1, 1), 0.0);
  EXPECT_EQ(s.SUMSOL(1), 0.0);
}

// ---------------------------------------------------------------------------
// Stops and messages.

TEST(GibbsvarStops, DegreesOfFreedomBelowTheOrder) {
  {
    model::State s;
    new_model(2, {CRO, CRO}, {1, 1}, 3);
    for (int t = 1; t <= 2; ++t) m.pos_eff(1, t) = m.pos_eff(2, t) = 1;
    m.pos_y(1) = 2;
    m.pos_y(2) = 3;
    diagonal_group(2, 0, {1.0, 0.2, 0.2, 1.0});
    new_state(s);
    identity_ainv(s, 2);
    for (int i = 1; i <= 3; ++i) put_record(s, i, {1, 1.0f * i, 2.0f});
    EXPECT_EQ(eqtest::stop_of([&] { sampler::gibbsvar(s); }),
              " Degrees of freedom 1 of the (co)variance matrix of random effect 2 are below its"
              " order 2");
  }
  {
    model::State s;
    new_model(2, {CRO}, {1}, 1);
    for (int t = 1; t <= 2; ++t) m.pos_eff(1, t) = 1;
    m.pos_y(1) = 2;
    m.pos_y(2) = 3;
    new_state(s);
    put_record(s, 1, {1, 1.0f, 2.0f});
    EXPECT_EQ(eqtest::stop_of([&] { sampler::gibbsvar(s); }),
              " Degrees of freedom 1 of the residual (co)variance matrix are below its order 2");
  }
}

TEST(GibbsvarStops, SolutionsThatAreNotNumbersStopTheDraw) {
  model::State s;
  new_model(1, {CRO}, {2}, 2);
  m.pos_eff(1, 1) = 1;
  m.pos_y(1) = 2;
  diagonal_group(1, 2, {1.0});
  new_state(s);
  identity_ainv(s, 1);
  put_record(s, 1, {1, 1.0f});
  put_record(s, 2, {2, 3.0f});
  s.SOL(2) = std::nan("");
  EXPECT_EQ(eqtest::stop_of([&] { sampler::gibbsvar(s); }),
            " Cannot sample: the quadratic forms of random effect 1 cannot be made positive"
            " definite (no positive eigenvalue, or values that are not numbers)");
}

TEST(GibbsvarStops, StepsOfLaterModelsAreRefused) {
  {
    model::State s;
    new_model(1, {CRO}, {2}, 2);
    m.pos_eff(1, 1) = 1;
    m.pos_y(1) = 2;
    m.randomtype(1) = model::RandomType::diag_mb;
    m.randomnumb(1) = 1;
    m.nbreed(1) = 1;
    m.g(1, 1, 1) = 1.0;
    new_state(s);
    put_record(s, 1, {1, 1.0f});
    put_record(s, 2, {2, 3.0f});
    // Multiple-breed blocks are sampled by their own step; with no
    // Metropolis rounds they stay.
    m.mb_nround = 0;
    m.mb_skip = 1;
    eqtest::stdout_of([&] { sampler::gibbsvar(s); });
    EXPECT_EQ(m.g(1, 1, 1), 1.0);
  }
  {
    model::State s;
    new_model(1, {CRO}, {2}, 2);
    m.pos_eff(1, 1) = 1;
    m.pos_y(1) = 2;
    m.residualtype = model::ResidualType::student_t;
    new_state(s);
    put_record(s, 1, {1, 1.0f});
    put_record(s, 2, {2, 3.0f});
    // Student-t weights are sampled now: the step runs and leaves weights.
    testing::internal::CaptureStdout();
    sampler::gibbsvar(s);
    testing::internal::GetCapturedStdout();
    EXPECT_GT(s.WEIGHT_ROBUST(1), 0.0);
    EXPECT_GT(s.WEIGHT_ROBUST(2), 0.0);
  }
}

TEST(GibbsvarMessages, SingularResidualCrossProductsAreRepaired) {
  // Residuals of trait 2 are twice those of trait 1: ee has rank 1.
  model::State s;
  new_model(2, {CRO}, {1}, 2);
  for (int t = 1; t <= 2; ++t) m.pos_eff(1, t) = 1;
  m.pos_y(1) = 2;
  m.pos_y(2) = 3;
  set_r({1.0, 0.5, 0.5, 1.0});
  new_state(s);
  put_record(s, 1, {1, 1.0f, 2.0f});
  put_record(s, 2, {1, -0.5f, -1.0f});
  cycle(1, 5, 0, 1);
  prob::set_seed(3);
  const std::string out = eqtest::stdout_of([&] { sampler::gibbsvar(s); });
  EXPECT_EQ(out, " ee not pos def, fixed\n");
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) EXPECT_TRUE(std::isfinite(m.r(i, j)));
  EXPECT_GT(m.r(1, 1) * m.r(2, 2) - m.r(1, 2) * m.r(2, 1), 0.0);
}

// ---------------------------------------------------------------------------
// Reduced animal model: records of animals without equations are left to the
// Mendelian step.

TEST(GibbsvarResidualPass, RecordsOfAnimalsWithoutEquationsAreSkipped) {
  model::State s;
  new_model(1, {RAM}, {2}, 3);
  m.pos_eff(1, 1) = 1;
  m.pos_y(1) = 2;
  m.randomtype(1) = model::RandomType::add_an_ms;
  m.randomnumb(1) = 1;
  m.lenped(1) = 3;
  m.g(1, 1, 1) = 1.0;
  new_state(s);
  s.SOL(1) = 0.5;
  s.SOL(2) = 0.25;
  put_record(s, 1, {1, 1.0f});
  put_record(s, 2, {2, 2.0f});
  put_record(s, 3, {3, 5.0f});
  cycle(1, 1, 0, 1);
  sampler::DispersionWork w;
  w.e.resize(3, 1);
  w.e.fill(9.0);
  sampler::residual_pass(s, w);
  EXPECT_EQ(w.e(1, 1), 0.5);
  EXPECT_EQ(w.e(2, 1), 1.75);
  EXPECT_EQ(w.e(3, 1), 0.0);
  EXPECT_EQ(w.ee(1, 1), 0.25 + 1.75 * 1.75);
  EXPECT_NE(s.LOGL_OBS(2, 2), 0.0);
  EXPECT_EQ(s.LOGL_OBS(3, 2), 0.0);
  EXPECT_EQ(s.irec, 4);
}

}  // namespace
