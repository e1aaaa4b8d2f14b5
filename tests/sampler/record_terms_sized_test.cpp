// The direct build of later cycles has kernels for records of one or two
// traits with a fixed small number of slots: for every number of slots, with
// record weights, an imputed trait and missing-code slots (which add at
// equation 1, below the others), they must give the values of the build
// through the hash store bit for bit.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "run/cycle.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbs.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sampler/eq_plan.hpp"
#include "sampler/setup_eq.hpp"
#include "sparse/sparsem.hpp"

namespace {

using eqtest::new_model;
using eqtest::new_state;
using eqtest::expect_same_bits;
using eqtest::stdout_of;
using eqtest::values;
using model::m;

constexpr int nrec = 36, nlev = 5;

// Columns: the traits, one level (or covariable) per effect, the weight.
// Effect 2 is a covariable; a level of 0 is the missing code.
std::string data_text(int nt, int nf) {
  std::ostringstream d;
  for (int r = 1; r <= nrec; ++r) {
    for (int t = 1; t <= nt; ++t) d << (t == 2 && r % 7 == 0 ? 0.0 : 3.0 * t + 0.37 * (r % 5) - 0.05 * r) << ' ';
    for (int e = 1; e <= nf; ++e) {
      if (e == 2)
        d << 0.1 * (r % 6) - 0.25 << ' ';
      else if (e == 3 && r % 11 == 0)
        d << 0 << ' ';
      else
        d << 1 + (r * (e + 2) + (e % 2 == 0 ? nlev - 1 - r % nlev : 0)) % nlev << ' ';
    }
    d << 0.5 + (r % 4) * 0.25 << '\n';
  }
  return d.str();
}

void sized_model(model::State& s, int nt, int nf) {
  std::vector<model::EffectType> types;
  std::vector<int> levels;
  for (int e = 1; e <= nf; ++e) {
    types.push_back(e == 2 ? model::EffectType::cov : model::EffectType::cro);
    levels.push_back(e == 2 ? 1 : nlev);
  }
  new_model(nt, types, levels, nrec);
  for (int t = 1; t <= nt; ++t) {
    m.pos_y(t) = t;
    for (int e = 1; e <= nf; ++e) m.pos_eff(e, t) = nt + e;
  }
  m.pos_weight = nt + nf + 1;
  m.r(1, 1) = 2.0;
  if (nt == 2) {
    m.r(1, 2) = m.r(2, 1) = 0.4;
    m.r(2, 2) = 1.5;
  }
  new_state(s);
  sparsem::zero_sparse_hashm(s.XX, s.neq, 11);
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.01 * (q % 13) - 0.05;
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data_text(nt, nf), "data.txt");
}

void build(model::State& s, int round, bool direct) {
  m.round = round;
  run::invert_group_blocks();
  if (direct) {
    run::reset_equations(s);
  } else {
    sparsem::zero_values_sparse_hashm(s.XX);
    s.XY.fill(0.0);
  }
  prob::set_seed(41);
  sampler::setup_eq(s);
}

TEST(RecordTermsSized, EveryNumberOfSlotsBuildsTheCopyBitForBit) {
  // One and two traits with 1 to 6 slots each (6 takes the general kernel).
  for (int nt = 1; nt <= 2; ++nt)
    for (int nf = 1; nf <= 6; ++nf) {
      SCOPED_TRACE("traits " + std::to_string(nt) + " slots " + std::to_string(nf));
      model::State s;
      sized_model(s, nt, nf);
      stdout_of([&] { build(s, 1, true); });
      sampler::link_equations(s);
      sampler::plan_equations(s);
      const sampler::EquationPlan& p = sampler::workspace(s).plan;
      ASSERT_TRUE(p.ready());
      for (int round = 2; round <= 3; ++round) {
        SCOPED_TRACE(round);
        for (int q = 1; q <= s.neq; ++q) s.SOL(q) += 0.003 * round;
        EXPECT_EQ(stdout_of([&] { build(s, round, true); }), "");
        ASSERT_TRUE(p.direct);
        const std::vector<double> a = values(s.XX_IJA.a), xy = values(s.XY);
        // Something was added: the kernels are not skipped.
        double sum = 0.0;
        for (double v : a) sum += v * v;
        EXPECT_GT(sum, 0.0);

        stdout_of([&] { build(s, round, false); });
        EXPECT_FALSE(p.direct);
        sampler::link_equations(s);
        expect_same_bits(values(s.XX_IJA.a), a, "XX_IJA");
        expect_same_bits(values(s.XY), xy, "XY");
        sampler::plan_equations(s);
        ASSERT_TRUE(p.ready());
      }
    }
}

}  // namespace
