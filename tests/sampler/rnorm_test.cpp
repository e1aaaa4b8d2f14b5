// Reaction-norm models: the two passes' corrected observations and
// equations, the equivalence of pass 2 with an ordinary covariable model,
// the start-up refusals, and the Metropolis-Hastings covariate step (its
// draw order and its target).
#include "sampler/rnorm.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "run/store.hpp"
#include "sampler/dispersion_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/setup_eq.hpp"
#include "sparse/sparsem.hpp"
#include "util/format.hpp"

namespace {

using eqtest::new_model;
using eqtest::new_state;
using eqtest::put_record;
using model::m;

constexpr model::EffectType CRO = model::EffectType::cro, COV = model::EffectType::cov,
                            UNK = model::EffectType::unk, RNO = model::EffectType::rno;

double xx(const model::State& s, int i, int j) {
  return sparsem::get_sparse_hashm(std::min(i, j), std::max(i, j), s.XX);
}

// Effects: 1 cross-classified (column 2), 2 reaction norm (column 3, levels
// in column 4), 3 unknown covariable (column 3); y in column 1, weight in
// column 5.  A later cycle, so that no file is read.
void rn_model(model::State& s, int ncro, int nb, int nh, int nrec) {
  new_model(1, {CRO, RNO, UNK}, {ncro, nb, nh}, nrec);
  m.pos_y(1) = 1;
  m.pos_eff(1, 1) = 2;
  m.pos_eff(2, 1) = 3;
  m.nestedcov(2, 1) = 4;
  m.pos_eff(3, 1) = 3;
  m.pos_weight = 5;
  m.round = 2;
  m.start = 1;
  m.nround = 10;
  new_state(s);
}

TEST(ReactionNormPasses, WorkedRecord) {
  // y = 10, beta = 2, h = 3, b = 0.5: pass 1 sees 8 with multiplier 1.5,
  // pass 2 sees 7 with multiplier 3 on the slope; the weight scales the
  // terms, never the correction.
  for (double w : {1.0, 2.0}) {
    SCOPED_TRACE(w);
    model::State s;
    rn_model(s, 1, 1, 1, 1);
    put_record(s, 1, {10, 1, 1, 1, static_cast<float>(w)});
    const int eb = 1, erno = 2, eh = 3;
    s.SOL(eb) = 2;
    s.SOL(erno) = 0.5;
    s.SOL(eh) = 3;
    sampler::build_pass(s, 1);
    EXPECT_EQ(s.Y(1), 8.0f);
    EXPECT_DOUBLE_EQ(s.XY(eh), w * 1.5 * 8);
    EXPECT_DOUBLE_EQ(xx(s, eh, eh), w * 2.25);
    EXPECT_EQ(s.XY(eb), 0.0);
    EXPECT_EQ(s.XY(erno), 0.0);
    sampler::build_pass(s, 2);
    EXPECT_EQ(s.Y(1), 7.0f);
    EXPECT_DOUBLE_EQ(s.XY(erno), w * 3 * 7);
    EXPECT_DOUBLE_EQ(s.XY(eb), w * 7);
    EXPECT_DOUBLE_EQ(xx(s, erno, erno), w * 9);
    EXPECT_DOUBLE_EQ(xx(s, eb, erno), w * 3);
    EXPECT_DOUBLE_EQ(xx(s, eb, eb), w);
    // Pass 2 adds nothing to the covariate's equation.
    EXPECT_DOUBLE_EQ(s.XY(eh), w * 1.5 * 8);
    EXPECT_DOUBLE_EQ(xx(s, eh, eh), w * 2.25);
    EXPECT_EQ(xx(s, eh, erno), 0.0);
    EXPECT_EQ(xx(s, eb, eh), 0.0);
  }
}


TEST(ReactionNormPasses, PassTwoIsTheCovariableModelWhenSlopesAreZero) {
  // With every slope 0 and the covariates fixed, pass 2 builds the
  // equations of an ordinary model with h as a covariable nested in the
  // slope levels, on observations less h.
  const int nrec = 30, ncro = 3, nb = 4, nh = 5;
  const double h[nh] = {0.75, -1.25, 2.5, 0.375, -0.5};
  auto record = [&](int i, std::vector<float>& v) {
    const float y = static_cast<float>(1.0 + std::sin(0.9 * i) * 3.0);
    v = {y, static_cast<float>(i % ncro + 1), static_cast<float>(i % nh + 1),
         static_cast<float>((i / 2) % nb + 1), static_cast<float>(1 + i % 3)};
  };
  model::State a;
  rn_model(a, ncro, nb, nh, nrec);
  std::vector<float> v;
  for (int i = 1; i <= nrec; ++i) {
    record(i, v);
    put_record(a, i, v);
  }
  for (int j = 1; j <= nh; ++j) a.SOL(sampler::address1(3, j, 1)) = h[j - 1];
  sampler::build_pass(a, 2);
  const int neq = ncro + nb;
  std::vector<double> xa, ya;
  for (int i = 1; i <= neq; ++i) {
    ya.push_back(a.XY(i));
    for (int j = i; j <= neq; ++j) xa.push_back(xx(a, i, j));
  }

  model::State b;
  new_model(1, {CRO, COV}, {ncro, nb}, nrec);
  m.pos_y(1) = 1;
  m.pos_eff(1, 1) = 2;
  m.pos_eff(2, 1) = 3;
  m.nestedcov(2, 1) = 4;
  m.pos_weight = 5;
  m.round = 2;
  m.start = 1;
  new_state(b);
  for (int i = 1; i <= nrec; ++i) {
    record(i, v);
    const double hi = h[static_cast<int>(v[2]) - 1];
    v[0] = static_cast<float>(static_cast<double>(v[0]) - hi);
    v[2] = static_cast<float>(hi);
    put_record(b, i, v);
  }
  sampler::setup_eq(b);
  std::size_t k = 0;
  for (int i = 1; i <= neq; ++i) {
    EXPECT_DOUBLE_EQ(b.XY(i), ya[static_cast<std::size_t>(i - 1)]) << "rhs " << i;
    for (int j = i; j <= neq; ++j) EXPECT_DOUBLE_EQ(xx(b, i, j), xa[k++]) << i << "," << j;
  }
}

TEST(ReactionNormModel, StartUpRefusals) {
  struct Case {
    const char* name;
    void (*setup)();
    const char* message;  // "" when the model is accepted
  };
  const Case cases[] = {
      {"accepted", [] {}, ""},
      {"rno without level column", [] { m.nestedcov(2, 1) = 0; }, "has no level column"},
      {"rno without covariable", [] { m.pos_eff(3, 1) = 6; },
       "no unknown covariable reads its column"},
      {"group of both passes",
       [] {
         m.randomnumb(2) = 2;
         m.randomtype(2) = model::RandomType::diagonal;
       },
       "other pass"},
      {"structural covariable not random",
       [] {
         m.residualtype = model::ResidualType::structural;
         m.neffr = 1;
         m.pos_effr.resize(1);
         m.pos_effr(1) = 2;
       },
       "must be the first effect of a random group"},
      {"structural covariable random",
       [] {
         m.residualtype = model::ResidualType::structural;
         m.neffr = 1;
         m.pos_effr.resize(1);
         m.pos_effr(1) = 2;
         m.randomnumb(3) = 1;
         m.randomtype(3) = model::RandomType::diagonal;
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    new_model(1, {CRO, RNO, UNK}, {2, 2, 3}, 1);
    m.pos_y(1) = 1;
    m.pos_eff(1, 1) = 2;
    m.pos_eff(2, 1) = 3;
    m.nestedcov(2, 1) = 4;
    m.pos_eff(3, 1) = 3;
    c.setup();
    if (*c.message == '\0') {
      EXPECT_NO_THROW(sampler::check_rnorm_model());
    } else {
      EXPECT_NE(eqtest::stop_of([] { sampler::check_rnorm_model(); }).find(c.message),
                std::string::npos);
    }
  }
}

// ---------------------------------------------------------------------------
// The covariate step.  Effects as rn_model, 2 slope levels and 2 covariate
// levels, the reaction norm structural with factor sf; with `robust`, the
// cross-classified effect is structural too and the records carry
// robustness weights.  Record 7 has no covariate (and so no slope).

struct McCase {
  const char* name;
  double sf;
  bool robust;
};

const float ys[] = {1.5f, 2.25f, -0.75f, 3.0f, 0.5f, 1.25f, 2.0f, -1.0f, 0.25f};
constexpr int mc_nrec = 9;

void mc_model(model::State& s, const McCase& c) {
  new_model(1, {CRO, RNO, UNK}, {1, 2, 2}, mc_nrec);
  m.pos_y(1) = 1;
  m.pos_eff(1, 1) = 2;
  m.pos_eff(2, 1) = 3;
  m.nestedcov(2, 1) = 4;
  m.pos_eff(3, 1) = 3;
  m.pos_weight = 5;
  m.residualtype =
      c.robust ? model::ResidualType::struct_student_t : model::ResidualType::structural;
  m.neffr = c.robust ? 2 : 1;
  m.pos_effr.resize(m.neffr);
  m.effrsave.resize(m.neffr);
  m.pos_effr(1) = 2;
  if (c.robust) m.pos_effr(2) = 1;
  m.r_nround = 1;
  m.r_skip = 10;
  m.r(1, 1) = 1.6;
  disptest::diagonal_group(3, 0, {0.8});
  m.round = 5;
  m.start = 1;
  m.nround = 1000000;
  m.nburn = 0;
  new_state(s);
  for (int i = 1; i <= mc_nrec; ++i)
    put_record(s, i, {ys[i - 1], 1, i == 7 ? 0.0f : static_cast<float>(i % 2 + 1),
                      static_cast<float>((i / 2) % 2 + 1), static_cast<float>(1 + i % 3)});
  s.SOL(1) = 0.75;  // the mean
  s.SOL(2) = 0.25;  // slopes
  s.SOL(3) = -0.375;
  s.R_SOL(2) = c.sf;
  if (c.robust) {
    s.R_SOL(1) = 1.3;
    for (int i = 1; i <= mc_nrec; ++i) s.WEIGHT_ROBUST(i) = 0.6 + 0.1 * i;
  }
}

// Log full conditional of covariate level j at h, up to a constant, as the
// model defines it: prior N(0, g), records N(c h, v s^h).
double log_target(const model::State& s, const McCase& c, int j, double h) {
  double lp = -0.5 * h * h / m.g(3, 1, 1);
  for (int i = 1; i <= mc_nrec; ++i) {
    if (i == 7 || i % 2 + 1 != j) continue;
    const int bl = (i / 2) % 2 + 1;
    const double w = 1 + i % 3;
    const float ystar = static_cast<float>(static_cast<double>(ys[i - 1]) - s.SOL(1));
    const double cu = static_cast<double>(static_cast<float>(static_cast<double>(1.0f) + s.SOL(1 + bl)));
    double v = m.r(1, 1) / w * std::pow(c.sf, h);
    if (c.robust) v = v * 1.3 / s.WEIGHT_ROBUST(i);
    const double e = static_cast<double>(ystar) - cu * h;
    lp += -0.5 * std::log(v) - 0.5 * e * e / v;
  }
  return lp;
}

const McCase mc_cases[] = {{"normal", 1.0, false}, {"scaled", 1.4, false}, {"robust", 0.7, true}};

TEST(CovariateStep, DrawOrderAndDecisions) {
  // Each round proposes every level (one normal each), then decides each in
  // order, drawing a uniform only for a negative log ratio.
  int uniforms = 0, free_accepts = 0;
  for (const McCase& c : mc_cases)
    for (int seed = 1; seed <= 15; ++seed) {
      SCOPED_TRACE(std::string(c.name) + " seed " + std::to_string(seed));
      model::State s;
      mc_model(s, c);
      s.H_VARPROP(3) = 0.5;
      s.SOL(4) = seed % 3 == 0 ? 2.5 : 0.1;  // far from the mode: uphill moves
      s.SOL(5) = -0.2;
      const double h0[2] = {s.SOL(4), s.SOL(5)};
      prob::set_seed(seed);
      sampler::sample_h_rnorm(s, 3, 2);
      const double after = prob::gen_uniform_real();

      prob::set_seed(seed);
      double h1[2], want[2];
      for (int j = 0; j < 2; ++j) h1[j] = prob::gen_normal_scalar(h0[j], 0.5);
      for (int j = 0; j < 2; ++j) {
        const double L = log_target(s, c, j + 1, h1[j]) - log_target(s, c, j + 1, h0[j]);
        want[j] = h1[j];
        if (L >= 0) {
          ++free_accepts;
          continue;
        }
        ++uniforms;
        if (prob::gen_uniform_real() > std::exp(L)) want[j] = h0[j];
      }
      EXPECT_EQ(s.SOL(4), want[0]);
      EXPECT_EQ(s.SOL(5), want[1]);
      EXPECT_EQ(prob::gen_uniform_real(), after);
      EXPECT_EQ(s.SOL(1), 0.75);  // nothing else moves
    }
  EXPECT_GT(uniforms, 0);
  EXPECT_GT(free_accepts, 0);
}

TEST(CovariateStep, ChainTargetsTheFullConditional) {
  // 50,000 rounds of the step with everything else fixed: the mean and
  // variance of level 1 match its full conditional (by quadrature) within
  // four Monte Carlo errors (batch means).
  for (const McCase& c : mc_cases) {
    SCOPED_TRACE(c.name);
    model::State s;
    mc_model(s, c);
    // Quadrature of the target of level 1.
    double z = 0, m1 = 0, m2 = 0;
    const double lo = -8, hi = 8, dh = 1e-3;
    const double top = log_target(s, c, 1, 0.0);
    for (double h = lo; h <= hi; h += dh) {
      const double p = std::exp(log_target(s, c, 1, h) - top);
      z += p;
      m1 += p * h;
      m2 += p * h * h;
    }
    const double mean = m1 / z, var = m2 / z - mean * mean;
    s.H_VARPROP(3) = 2.4 * 2.4 * var;
    prob::set_seed(2027);
    constexpr int n = 50000, batches = 50, per = n / batches;
    std::vector<double> bm(batches, 0.0), bv(batches, 0.0);
    for (int it = 0; it < n; ++it) {
      sampler::sample_h_rnorm(s, 3, 2);
      const double h = s.SOL(4);
      bm[static_cast<std::size_t>(it / per)] += h / per;
      bv[static_cast<std::size_t>(it / per)] += (h - mean) * (h - mean) / per;
    }
    auto check = [](const std::vector<double>& b, double want, const char* what) {
      double avg = 0, ss = 0;
      for (double x : b) avg += x / static_cast<double>(b.size());
      for (double x : b) ss += (x - avg) * (x - avg);
      const double se = std::sqrt(ss / static_cast<double>(b.size() - 1) / static_cast<double>(b.size()));
      EXPECT_NEAR(avg, want, 4 * se) << what;
    };
    check(bm, mean, "mean");
    check(bv, var, "variance");
  }
}

class CovariateFiles : public disptest::InFolder {};

TEST_F(CovariateFiles, TuningLineAndAcceptanceTable) {
  model::State s;
  mc_model(s, mc_cases[0]);
  m.r_nround = 3;
  m.r_skip = 2;
  m.nburn = 8;
  m.nround = 6;
  sampler::open_new(sampler::sample_files(s));
  prob::set_seed(3);
  // Cycles 1..4 tune at 2 and 4 (a line each, whatever the rate); 5 and 6
  // accumulate; 6 reports over the 2 cycles since, of 3 rounds each.
  std::string out;
  for (int round = 1; round <= 6; ++round) {
    m.round = round;
    out = eqtest::stdout_of([&] { sampler::sample_h_rnorm(s, 3, 2); });
  }
  sampler::close(sampler::sample_files(s));
  const std::vector<std::string> lines = file_lines("mh_dbeliefchg");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].substr(0, 3), " 3 ");
  EXPECT_NE(out.find("MH global acceptance rate for unknown covariate:"), std::string::npos) << out;
  EXPECT_NE(out.find(" level        acceptance "), std::string::npos);
  // The sums stay (a store after the last cycle keeps them); the table
  // divides them by the 6 rounds.
  const model::Tuning t = model::covariate_tuning();
  ASSERT_EQ(model::summed_cycles(6, t.window, t.every_cycle), 2);
  for (int l = 4; l <= 5; ++l) {
    const double rate = s.SUMH_ACCEP(l) / 6;
    EXPECT_GE(rate, 0.0);
    EXPECT_LE(rate, 1.0);
    EXPECT_EQ(model::acceptance_rate(s.SUMH_ACCEP(l), t, 6), rate);
    EXPECT_EQ(model::acceptance_sum(rate, t, 6), rate * 6);
    EXPECT_NE(out.find(util::freev(l - 3, rate)), std::string::npos) << out;
  }
}

}  // namespace
