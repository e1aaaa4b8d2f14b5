// Structural residual effects and robustness weights on small models: the
// residual array leaves the structural step standardised by the new factors,
// fixed per-level factors are inverse-gamma draws, levels with too few
// records keep their factor, and the sample and tuning lines come in their
// order.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/dispersion_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/samplefiles.hpp"

namespace {

using eqtest::new_model;
using eqtest::new_state;
using eqtest::put_record;
using model::m;

constexpr model::EffectType CRO = model::EffectType::cro, COV = model::EffectType::cov;

// One trait; effect 1 fixed cross-classified (3 levels), effect 2 a
// covariable, effect 3 random cross-classified (4 levels), all structural;
// columns y, level 1, covariable, level 3, record weight.
void three_structural(model::State& s, model::ResidualType residualtype, int nrec) {
  new_model(1, {CRO, COV, CRO}, {3, 1, 4}, nrec);
  m.pos_y(1) = 1;
  for (int e = 1; e <= 3; ++e) m.pos_eff(e, 1) = e + 1;
  m.pos_weight = 5;
  m.randomtype(3) = model::RandomType::diagonal;
  m.randomnumb(3) = 1;
  m.residualtype = residualtype;
  m.neffr = 3;
  m.pos_effr.resize(3);
  m.effrsave.resize(3);
  for (int k = 1; k <= 3; ++k) {
    m.pos_effr(k) = k;
    m.effrsave(k) = 1;
  }
  m.r_nround = 2;
  m.r_skip = 5;
  m.r(1, 1) = 1.7;
  new_state(s);
  for (int i = 1; i <= nrec; ++i) {
    const float y = static_cast<float>(1.0 + std::sin(1.7 * i) * 2.5);
    const float cov = static_cast<float>(0.5 + 0.1 * (i % 7));
    put_record(s, i, {y, static_cast<float>(i % 3 + 1), cov, static_cast<float>(i % 4 + 1),
                      static_cast<float>(1 + i % 2)});
  }
  const double sol[] = {0.3, -0.2, 0.1, 0.8, 0.05, -0.1, 0.2, 0.0};
  for (int q = 1; q <= 8; ++q) s.SOL(q) = sol[q - 1];
  const double f[] = {1.3, 0.7, 1.0, 1.2, 0.9, 1.1, 1.0, 1.4};
  for (int q = 1; q <= 8; ++q) s.R_SOL(q) = f[q - 1];
  if (residualtype >= model::ResidualType::slash)
    for (int i = 1; i <= nrec; ++i) s.WEIGHT_ROBUST(i) = 0.5 + 0.05 * i;
}

class Structural : public disptest::InFolder {};

TEST_F(Structural, ResidualsLeaveStandardisedByTheNewFactors) {
  for (model::ResidualType rt :
       {model::ResidualType::struct_student_t, model::ResidualType::struct_slash}) {
    SCOPED_TRACE(model::word(rt));
    model::State s;
    three_structural(s, rt, 24);
    disptest::cycle(1, 100, 40, 1);
    prob::set_seed(11);
    sampler::DispersionWork w, fresh;
    const std::vector<double> before(s.R_SOL.data(), s.R_SOL.data() + 8);
    sampler::residual_pass(s, w);
    sampler::structural_r(s, w.e);
    int moved = 0;
    for (int q = 1; q <= 8; ++q) moved += s.R_SOL(q) != before[static_cast<std::size_t>(q - 1)];
    EXPECT_EQ(moved, 7);  // all but the reference level of the fixed effect
    EXPECT_EQ(s.R_SOL(3), 1.0);
    // The residual pass at the new factors (and the same weights).
    sampler::residual_pass(s, fresh);
    for (int i = 1; i <= 24; ++i) EXPECT_NEAR(w.e(i, 1), fresh.e(i, 1), 1e-12 * (1 + std::fabs(fresh.e(i, 1)))) << i;
  }
}

TEST_F(Structural, SampleAndTuningLinesInTheirOrder) {
  model::State s;
  three_structural(s, model::ResidualType::struct_student_t, 24);
  sampler::open_new(sampler::sample_files(s));
  prob::set_seed(3);
  sampler::DispersionWork w;
  // Cycle 10 of a burn-in of 40: a tuning cycle of both proposals.
  disptest::cycle(10, 100, 40, 5);
  sampler::residual_pass(s, w);
  sampler::structural_r(s, w.e);
  sampler::student_t_weights(s, w.e);
  // Cycle 11: not a multiple of skip, nothing written.
  disptest::cycle(11, 100, 40, 5);
  sampler::residual_pass(s, w);
  sampler::structural_r(s, w.e);
  sampler::student_t_weights(s, w.e);
  sampler::close(sampler::sample_files(s));

  const auto var = file_lines("varcompsam");
  // Fixed levels 1, 2; the covariable's factor; the random levels 1-4 and
  // their shape; the Student-t shape.
  ASSERT_EQ(var.size(), 9u);
  auto value = [](const std::string& l) { return std::stod(l); };
  EXPECT_DOUBLE_EQ(value(var[0]), s.R_SOL(1));
  EXPECT_DOUBLE_EQ(value(var[1]), s.R_SOL(2));
  for (int j = 1; j <= 4; ++j) EXPECT_GT(value(var[static_cast<std::size_t>(2 + j)]), 0.0);
  const auto tune = file_lines("mh_dbeliefchg");
  // Degrees of belief of the covariable (an integer), the variance of the
  // structural shape and of the Student-t shape.
  ASSERT_EQ(tune.size(), 3u);
  EXPECT_EQ(tune[0].find('.'), std::string::npos) << tune[0];
  EXPECT_EQ(std::stoi(tune[0]), s.R_DBELIEFPROP(2));
  EXPECT_DOUBLE_EQ(value(tune[1]), s.R_ALPHA_VARPROP(3));
  EXPECT_DOUBLE_EQ(value(tune[2]), s.w_alpha_varprop);
  // The window restarted at cycle 10; cycle 11 holds one probability.
  EXPECT_GE(s.SUMR_ACCEP(2), 0.0);
  EXPECT_LE(s.SUMR_ACCEP(2), 1.0);
}

// One trait, one fixed cross-classified effect of `levels` levels that is
// also the structural effect, sampled every round; columns y, level.
// Cross-classified effects of the given levels, all reading column 2; the
// last of them the one structural effect, and the first `group` of them a
// diagonal random group (none for 0).
void structural_model(model::State& s, const std::vector<int>& levels, int nrec, int group) {
  const int nf = static_cast<int>(levels.size());
  new_model(1, std::vector<model::EffectType>(levels.size(), CRO), levels, nrec);
  m.pos_y(1) = 1;
  for (int e = 1; e <= nf; ++e) m.pos_eff(e, 1) = 2;
  if (group > 0) {
    m.randomnumb(1) = group;
    m.randomtype(1) = model::RandomType::diagonal;
  }
  m.residualtype = model::ResidualType::structural;
  m.neffr = 1;
  m.pos_effr.resize(1);
  m.effrsave.resize(1);
  m.pos_effr(1) = nf;
  m.r_nround = 1;
  m.r_skip = 1;
  new_state(s);
}

void one_structural(model::State& s, int levels, int nrec) {
  structural_model(s, {levels}, nrec, 0);
}

TEST_F(Structural, FixedLevelFactorsAreInverseGammaDraws) {
  // Level 1 with 12 records, level 2 (the reference) with 6; r = 1 and
  // the residuals fixed, so each draw is s / Gamma(n/2 - 1) with s half the
  // sum of squares.
  model::State s;
  one_structural(s, 2, 18);
  util::mat1<double> e(18, 1);
  double ss = 0;
  for (int i = 1; i <= 18; ++i) {
    put_record(s, i, {1.0f, i <= 12 ? 1.0f : 2.0f});
    e(i, 1) = 0.3 * i - 2.0;
    if (i <= 12) ss += e(i, 1) * e(i, 1);
  }
  prob::set_seed(2024);
  const int n = 20000;
  double s1 = 0, s2 = 0;
  for (int k = 1; k <= n; ++k) {
    disptest::cycle(k, n, n, 1);
    s.R_SOL(1) = 1.0;  // the residuals stay standardised at factor 1
    sampler::structural_r(s, e);
    s1 += s.R_SOL(1);
    s2 += s.R_SOL(1) * s.R_SOL(1);
    ASSERT_EQ(s.R_SOL(2), 1.0);
  }
  const double a = 12 * 0.5 - 1, sc = 0.5 * ss;
  const double mean = sc / (a - 1), var = sc * sc / ((a - 1) * (a - 1) * (a - 2));
  const double mc = s1 / n, mcvar = s2 / n - mc * mc;
  EXPECT_NEAR(mc, mean, 4 * std::sqrt(var / n));
  EXPECT_NEAR(mcvar, var, 0.08 * var);
  EXPECT_EQ(s.R_NREC(1), 12.0);
  EXPECT_EQ(s.R_NREC(2), 6.0);
}

// A structural effect that is the second effect of a random group has no
// fixed location parameter per level: 5 records give its factor a finite
// posterior mean, 4 do not.
TEST_F(Structural, LevelsOfAnEffectWithRandomLocationsNeedFiveRecords) {
  model::State s;
  structural_model(s, {3, 4}, 14, 2);
  util::mat1<double> e(14, 1);
  const float lev[] = {1, 1, 1, 1, 1, 2, 2, 2, 2, 4, 4, 4, 4, 4};
  for (int i = 1; i <= 14; ++i) {
    put_record(s, i, {1.0f, lev[i - 1]});
    e(i, 1) = 0.5 + 0.1 * i;
  }
  prob::set_seed(8);
  disptest::cycle(1, 10, 5, 1);
  testing::internal::CaptureStdout();
  sampler::structural_r(s, e);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string why = ": its factor is not sampled (a finite posterior mean needs 5 records)\n";
  EXPECT_EQ(out, " Structural effect 2 level 2 has 4 records" + why + " Structural effect 2 level 3 has 0 records" + why);
  const int a1 = sampler::address1(2, 1, 1), a2 = sampler::address1(2, 2, 1);
  EXPECT_NE(s.R_SOL(a1), 1.0);
  EXPECT_EQ(s.R_SOL(a2), 1.0);
}

TEST_F(Structural, LevelsWithTooFewRecordsKeepTheirFactor) {
  // Level 1: 2 records, level 2: none, level 3: 6, level 4: 5, level 5: the
  // reference, 6 (with fewer, level 3 would be the reference).  With the
  // level's own fixed location effect integrated out, the factor of a
  // level of n records has a finite posterior mean from n = 6.
  model::State s;
  one_structural(s, 5, 19);
  util::mat1<double> e(19, 1);
  const float lev[] = {1, 1, 3, 3, 3, 3, 3, 3, 4, 4, 4, 4, 4, 5, 5, 5, 5, 5, 5};
  for (int i = 1; i <= 19; ++i) {
    put_record(s, i, {1.0f, lev[i - 1]});
    e(i, 1) = 0.5 + 0.1 * i;
  }
  s.R_SOL(1) = 1.25;
  prob::set_seed(8);
  disptest::cycle(1, 10, 5, 1);
  testing::internal::CaptureStdout();
  sampler::structural_r(s, e);
  const std::string first = testing::internal::GetCapturedStdout();
  const std::string why = ": its factor is not sampled (a finite posterior mean needs 6 records)\n";
  EXPECT_EQ(first, " Structural effect 1 level 1 has 2 records" + why + " Structural effect 1 level 2 has 0 records" +
                       why + " Structural effect 1 level 4 has 5 records" + why)
      << first;
  EXPECT_EQ(s.R_SOL(1), 1.25);
  EXPECT_EQ(s.R_SOL(2), 1.0);
  EXPECT_EQ(s.R_SOL(4), 1.0);
  EXPECT_NE(s.R_SOL(3), 1.0);
  // One gamma deviate only, for level 3.
  const double drawn = s.R_SOL(3);
  prob::set_seed(8);
  rangen::sgamma(static_cast<float>(6 * 0.5 - 1));
  const double next = prob::gen_uniform_real();
  prob::set_seed(8);
  disptest::cycle(2, 10, 5, 1);
  testing::internal::CaptureStdout();
  s.R_SOL(3) = 1.0;
  sampler::structural_r(s, e);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // said once, in the first cycle
  EXPECT_EQ(s.R_SOL(3), drawn);
  EXPECT_EQ(prob::gen_uniform_real(), next);
}

// Herds (effect 1, fixed, the structural effect) with herd-years (effect 2,
// fixed) and two covariables (effects 3 and 4, each with values in one herd
// only) nested in them.  A herd's factor is sampled when its records number
// at least 5 plus the rank of the fixed parameters that only they inform:
// the herd's own level is collinear with its herd-years, a herd-year shared
// with another herd is not its own, a covariable constant within the herd
// adds nothing, and one that varies adds one.
TEST_F(Structural, LevelsCountTheFixedParametersOnlyTheirRecordsInform) {
  // herd, herd-year, covariable 1, covariable 2
  struct Rec {
    int herd, hy;
    float c1, c2;
  };
  std::vector<Rec> recs;
  auto add = [&recs](int herd, int hy, int n, float c1 = 0, bool varying = false) {
    for (int k = 0; k < n; ++k) recs.push_back({herd, hy, c1, varying ? static_cast<float>(1 + k % 3) : 0.0f});
  };
  add(1, 1, 3);  // herd 1: 6 records, 2 parameters: not sampled
  add(1, 2, 3);
  add(2, 3, 3);  // 7 and 2: sampled
  add(2, 4, 4);
  add(3, 5, 3);  // herd-year 6 is also in herd 7: 7 and 2, sampled
  add(3, 6, 4);
  add(4, 7, 6, 2.5f);     // 6 and 1: sampled
  add(5, 8, 6, 0, true);  // 6 and 2: not sampled
  add(6, 6, 2);           // the reference
  add(6, 9, 5);
  const int nrec = static_cast<int>(recs.size());
  new_model(1, {CRO, CRO, COV, COV}, {6, 9, 1, 1}, nrec);
  m.pos_y(1) = 1;
  for (int e = 1; e <= 4; ++e) m.pos_eff(e, 1) = e + 1;
  m.residualtype = model::ResidualType::structural;
  m.neffr = 1;
  m.pos_effr.resize(1);
  m.effrsave.resize(1);
  m.pos_effr(1) = 1;
  m.r_nround = 1;
  m.r_skip = 1;
  model::State s;
  new_state(s);
  util::mat1<double> e(nrec, 1);
  for (int i = 1; i <= nrec; ++i) {
    const Rec& r = recs[static_cast<std::size_t>(i - 1)];
    put_record(s, i, {1.0f + 0.25f * static_cast<float>(i % 5), static_cast<float>(r.herd),
                      static_cast<float>(r.hy), r.c1, r.c2});
    e(i, 1) = 0.5 + 0.1 * i;
  }
  for (int h = 1; h <= 5; ++h) s.R_SOL(h) = 1.25;
  prob::set_seed(8);
  disptest::cycle(1, 10, 5, 1);
  testing::internal::CaptureStdout();
  sampler::structural_r(s, e);
  const std::string out = testing::internal::GetCapturedStdout();
  const std::string two = " and 2 fixed location parameters that only they inform: its factor is not sampled"
                          " (a finite posterior mean needs 7 records)\n";
  EXPECT_EQ(out, " Structural effect 1 level 1 has 6 records" + two + " Structural effect 1 level 5 has 6 records" + two);
  for (int h : {1, 5}) EXPECT_EQ(s.R_SOL(h), 1.25) << h;
  for (int h : {2, 3, 4}) EXPECT_NE(s.R_SOL(h), 1.25) << h;
}

}  // namespace
