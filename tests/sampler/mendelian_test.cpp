// Mendelian sampling of the animals without equations of a reduced animal
// model: the terms against their normal full conditional, the statistics
// they add for R and G, the log-likelihood of their records, sire draws
// against their closed form, correlated effects, and the stops for records
// that are missing, repeated or out of order.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "run/cycle.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/model_choice.hpp"
#include "sampler/records.hpp"

namespace {

using eqtest::new_model;
using eqtest::new_state;
using eqtest::put_record;
using eqtest::stop_of;
using model::m;

constexpr model::EffectType CRO = model::EffectType::cro, RAM = model::EffectType::ram;

// Effect 1 a mean (column 1), effect 2 the "ram" animal (column 2) of an
// add_an_ms group with 3 animals that have equations; animal 4 (dam 1, sire
// 2) and animal 5 (dam 3, candidates 1 at 0.3 and 2 at 0.7) have none.
// Records: animal 1, animal 4 (weight w4), animal 5 (weight 1); the
// observation in column 3, the weight in column 4.
constexpr double g0 = 0.8, r0 = 1.5;
constexpr float w4 = 2.0f;

void herd(model::State& s, int K = 1) {
  std::vector<model::EffectType> types = {CRO, RAM};
  std::vector<int> levels = {1, 3};
  if (K == 2) {
    types.push_back(CRO);
    levels.push_back(3);
  }
  new_model(1, types, levels, 3);
  m.pos_eff(1, 1) = 1;
  m.pos_eff(2, 1) = 2;
  if (K == 2) m.pos_eff(3, 1) = 5;
  m.pos_y(1) = 3;
  m.pos_weight = 4;
  m.randomtype(2) = model::RandomType::add_an_ms;
  m.randomnumb(2) = K;
  m.lenped(2) = 5;
  m.g(2, 1, 1) = g0;
  m.r(1, 1) = r0;
  m.max_msires = 2;
  m.nburn = 0;
  m.skip = 1;
  m.round = m.start = m.nround = 1;
  new_state(s);
  m.ginv(2, 1, 1) = 1.0 / g0;  // (allocated with the state)
  const int ped[5][3] = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 1, 2}, {5, 3, -1}};
  for (int l = 1; l <= 5; ++l)
    for (int k = 1; k <= 3; ++k) s.PED(2, l, k) = ped[l - 1][k - 1];
  s.DINV.resize(5);
  for (int l = 1; l <= 5; ++l) s.DINV(l) = l <= 3 ? 1.0f : 2.0f;
  s.MS.resize(5);
  s.SUMMS.resize(5);
  s.SSMS.resize(5);
  s.MS_ALPHAS.resize(5);
  const double ms[] = {2, 1, 0.3, 2, 0.7};
  for (int i = 1; i <= 5; ++i) s.MS(i) = ms[i - 1];
  s.P_MS(5) = 1;
  s.MS_STAT(5) = 1;
  const int nrow = 2, ncol = K;
  s.SOL_N.resize(nrow, ncol);
  s.SUMSOL_N.resize(nrow, ncol);
  s.SSSOL_N.resize(nrow, ncol);
  // Column 5 (the second effect of the group) only when there is one.
  auto rec = [&](int i, std::vector<float> v) {
    v.resize(static_cast<std::size_t>(s.reclen));
    put_record(s, i, v);
  };
  rec(1, {1, 1, 2.0f, 1.0f, 1});
  rec(2, {1, 4, 3.5f, w4, 1});
  rec(3, {1, 5, -0.5f, 1.0f, 3});
  // Mean 0.25; animals 1 .. 3.
  const double sol[] = {0.25, 0.6, -0.4, 1.2};
  for (int i = 1; i <= 4; ++i) s.SOL(i) = sol[i - 1];
}

struct Forms {
  util::arr3<double> qform;
  util::mat1<double> ee;
  Forms() {
    qform.resize(m.neff, model::maxcorr, model::maxcorr);
    ee.resize(m.ntrait, m.ntrait);
  }
};

TEST(Mendelian, TermsFollowTheirNormalFullConditional) {
  model::State s;
  herd(s);
  // Animal 4: residual before its term y - mean - (dam + sire)/2.
  const double eps = 3.5 - 0.25 - 0.5 * (0.6 - 0.4);
  const double re = r0 / w4, d = 2.0;
  const double v = 1.0 / (1.0 / re + d / g0), mu = eps * v / re;
  const double pa = 0.5 * (0.6 - 0.4);
  prob::set_seed(17);
  m.round = 2;
  const int n = 20000;
  double sum = 0, ss = 0;
  for (int i = 0; i < n; ++i) {
    Forms f;
    sampler::mendelian(s, 2, f.qform, f.ee);
    const double x = s.SOL_N(1, 1) - pa;
    sum += x;
    ss += x * x;
  }
  const double mean = sum / n, var = ss / n - mean * mean;
  EXPECT_NEAR(mean, mu, 4 * std::sqrt(v / n));
  EXPECT_NEAR(var, v, 4 * v * std::sqrt(2.0 / n));
}

TEST(Mendelian, StatisticsOfRAndGAndTheRecordLogLikelihood) {
  model::State s;
  herd(s);
  sampler::workspace(s).dispersion.e.resize(3, 1);
  sampler::workspace(s).dispersion.e.fill(9.0);
  prob::set_seed(3);
  Forms f;
  std::string out = eqtest::stdout_of([&] { sampler::mendelian(s, 2, f.qform, f.ee); });
  EXPECT_EQ(out, "  calculated  2  mendelian samples and  read  3  records\n");
  EXPECT_EQ(s.DF_RANDOM(2), 2);
  const double m4 = s.SOL_N(1, 1) - 0.5 * (0.6 - 0.4);
  const double e4 = 3.5 - 0.25 - 0.5 * (0.6 - 0.4) - m4;
  // Animal 5: the candidates as they stood before its draw, 0.3 and 0.7.
  const double pa5 = 0.5 * 1.2 + 0.3 * 0.5 * 0.6 + 0.7 * 0.5 * -0.4;
  const double m5 = s.SOL_N(2, 1) - pa5;
  const double e5 = -0.5 - 0.25 - pa5 - m5;
  // (The candidates' multipliers are 32-bit values.)
  EXPECT_NEAR(f.ee(1, 1), w4 * e4 * e4 + e5 * e5, 1e-6);
  EXPECT_NEAR(f.qform(2, 1, 1), 2.0 * m4 * m4 + 2.0 * m5 * m5, 1e-9);
  EXPECT_NEAR(sampler::workspace(s).dispersion.e(2, 1), e4 * std::sqrt(static_cast<double>(w4)), 1e-9);
  EXPECT_EQ(sampler::workspace(s).dispersion.e(1, 1), 9.0);  // left to the residual pass
  // Kept cycle: the density of the record at its residual, the term taken
  // off, as in the full animal model: precision w / r.
  const double prec = w4 / r0;
  const double logl = 0.5 * (std::log(prec) - prec * e4 * e4) - 0.5 * sampler::ln_2pi;
  EXPECT_NEAR(s.LOGL_OBS(2, 2), logl, 1e-6);
  EXPECT_NEAR(s.LOGL_OBS(2, 1), 1.0 / std::exp(logl), 1e-6);
  EXPECT_EQ(s.LOGL_OBS(1, 2), 0.0);
  // The sire of animal 5 is drawn and counted.
  EXPECT_TRUE(s.PED(2, 5, 3) == 1 || s.PED(2, 5, 3) == 2);
  EXPECT_EQ(s.SUMMS(2) + s.SUMMS(4), 1.0);
  sampler::workspace(s).dispersion.e.resize(0, 0);
}

TEST(Mendelian, SireFrequenciesMatchTheirClosedForm) {
  model::State s;
  herd(s);
  // y - mean - dam/2, independent of the term drawn.
  const double v = -0.5 - 0.25 - 0.5 * 1.2;
  const double rinv = 1.0 / (r0 + g0 / 2.0);
  double p[2], T = 0;
  const double sire[] = {0.6, -0.4}, prior[] = {0.3, 0.7};
  for (int k = 0; k < 2; ++k) {
    const double dv = v - 0.5 * sire[k];
    p[k] = prior[k] * std::exp(-0.5 * rinv * dv * dv);
    T += p[k];
  }
  prob::set_seed(44);
  m.round = 2;
  const int n = 8000;
  for (int i = 0; i < n; ++i) {
    Forms f;
    sampler::mendelian(s, 2, f.qform, f.ee);
  }
  double chi2 = 0;
  for (int k = 0; k < 2; ++k) {
    const double e = n * p[k] / T;
    chi2 += (s.SUMMS(2 + 2 * k) - e) * (s.SUMMS(2 + 2 * k) - e) / e;
  }
  EXPECT_LT(chi2, 10.8);  // 1 degree of freedom, p = 0.001
}

TEST(Mendelian, SecondEffectFromItsPriorAndAZeroPrecision) {
  model::State s;
  herd(s, 2);
  // Effect 3 (levels 1..3) at equations 5..7.
  for (int l = 1; l <= 3; ++l) s.SOL(4 + l) = 0.1 * l;
  struct Case {
    double g22;
    bool drawn;
  };
  for (const Case c : {Case{0.0, false}, Case{4.0, true}}) {
    m.ginv(2, 1, 2) = m.ginv(2, 2, 1) = c.g22 == 0.0 ? 0.0 : -0.5;
    m.ginv(2, 2, 2) = c.g22;
    prob::set_seed(12);
    Forms f;
    eqtest::stdout_of([&] { sampler::mendelian(s, 2, f.qform, f.ee); });
    // Animal 4's parents 1 and 2 in effect 3.
    const double pa = 0.5 * (0.1 + 0.2);
    if (c.drawn) {
      EXPECT_NE(s.SOL_N(1, 2), pa);
      EXPECT_TRUE(std::isfinite(s.SOL_N(1, 2)));
    } else {
      EXPECT_DOUBLE_EQ(s.SOL_N(1, 2), pa);
    }
  }
}

TEST(Mendelian, MissingOrUnorderedRecordsStopTheFirstCycle) {
  model::State s;
  herd(s);
  put_record(s, 3, {1, 4, -0.5f, 1.0f});
  Forms f;
  EXPECT_NE(stop_of([&] { sampler::mendelian(s, 2, f.qform, f.ee); })
                .find("animal 5 of the pedigree of effect 2 has no equation and no record"),
            std::string::npos);
  herd(s);
  put_record(s, 2, {1, 5, -0.5f, 1.0f});
  put_record(s, 3, {1, 4, 3.5f, 1.0f});
  EXPECT_NE(stop_of([&] { sampler::mendelian(s, 2, f.qform, f.ee); })
                .find("record 3 of animal 4 comes after record 2 of animal 5"),
            std::string::npos);
  // Records that would share one Mendelian term.
  herd(s);
  put_record(s, 1, {1, 4, 2.0f, 1.0f});
  EXPECT_NE(stop_of([&] { sampler::mendelian(s, 2, f.qform, f.ee); })
                .find("animal 4 of the pedigree of effect 2 has no equation and 2 records (records 1, 2)"),
            std::string::npos);
}

TEST(Mendelian, FinalEvaluationUsesTheMeanValueOfAnAnimalWithoutEquation) {
  model::State s;
  herd(s);
  // Ten kept cycles with constant samples: the means are the samples.
  m.nround = m.round = 10;
  m.nburn = 0;
  const double rbar = 1.2, v4 = 0.7;
  s.SUMR(1, 1) = 10 * rbar;
  for (int i = 1; i <= 4; ++i) s.SUMSOL(i) = 10 * s.SOL(i);
  s.SUMSOL_N(1, 1) = 10 * v4;
  s.SUMSOL_N(2, 1) = 10 * -0.3;
  run::logl_thetabar(s);
  // Its parents' slots give way to its value; the record's covariance is
  // R / w.
  const double e4 = 3.5 - 0.25 - v4, e5 = -0.5 - 0.25 + 0.3;
  EXPECT_NEAR(s.LOGL_OBS(2, 4), e4 * std::sqrt(w4 / rbar), 1e-12);
  EXPECT_NEAR(s.LOGL_OBS(3, 4), e5 * std::sqrt(1 / rbar), 1e-12);
  const double prec = w4 / rbar;
  EXPECT_NEAR(s.LOGL_OBS(2, 3), 0.5 * (std::log(prec) - prec * e4 * e4) - 0.5 * sampler::ln_2pi, 1e-9);
  // An animal with an equation: its own slot.
  EXPECT_NEAR(s.LOGL_OBS(1, 4), (2.0 - 0.25 - 0.6) / std::sqrt(rbar), 1e-12);
}

}  // namespace
