// Builds of later cycles straight into the compressed-row copy: every value
// must come out bit for bit as the build through the hash store gives it,
// also when a record or a group leaves the plan part-way through a cycle.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
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

constexpr int nanimal = 30, nherd = 4, nrec = 40;

// Two traits, record weights, a few missing traits; effect 1 a herd with a
// diagonal random structure, effect 2 a covariable, effect 3 the animal with
// an additive relationship.  Columns: y1 y2 herd cov animal weight.
std::string data_text() {
  std::ostringstream d;
  for (int r = 1; r <= nrec; ++r) {
    const double y1 = r % 7 == 0 ? 0.0 : 10.0 + 0.37 * (r % 5) - 0.11 * r;
    const double y2 = r % 9 == 0 ? 0.0 : 20.0 - 0.23 * (r % 4) + 0.05 * r;
    d << y1 << ' ' << y2 << ' ' << 1 + r % nherd << ' ' << 0.1 * (r % 6) - 0.2 << ' '
      << 1 + (r * 7) % nanimal << ' ' << 1 + r % 3 << '\n';
  }
  return d.str();
}

void chain_model(model::State& s) {
  // Each test is a chain of its own.
  new_model(2, {model::EffectType::cro, model::EffectType::cov, model::EffectType::cro},
            {nherd, 1, nanimal}, nrec);
  m.pos_y(1) = 1;
  m.pos_y(2) = 2;
  m.pos_weight = 6;
  for (int t = 1; t <= 2; ++t) {
    m.pos_eff(1, t) = 3;
    m.pos_eff(2, t) = 4;
    m.pos_eff(3, t) = 5;
  }
  m.r(1, 1) = 2.0;
  m.r(1, 2) = m.r(2, 1) = 0.4;
  m.r(2, 2) = 1.5;
  m.randomtype(1) = model::RandomType::diagonal;
  m.randomnumb(1) = 1;
  m.randomtype(3) = model::RandomType::add_animal;
  m.randomnumb(3) = 1;
  m.lenped(3) = nanimal;
  for (int e : {1, 3})
    for (int i = 1; i <= 2; ++i)
      for (int j = 1; j <= 2; ++j) m.g(e, i, j) = i == j ? 0.5 + 0.25 * i * e : 0.1 * e;
  new_state(s);
  // A small table, so that the first cycle grows it.
  sparsem::zero_sparse_hashm(s.XX, s.neq, 11);
  for (int a = 1; a <= nanimal; ++a) {
    s.PED(3, a, 1) = a;
    s.PED(3, a, 2) = a > 10 ? 1 + (a * 3) % 10 : 0;
    s.PED(3, a, 3) = a > 10 && a % 4 != 0 ? 1 + (a * 5 + 3) % 10 : 0;
  }
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.01 * (q % 13) - 0.05;
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data_text(), "data.txt");
}

// The first half of a cycle as the main loop runs it, with the generator
// seeded so that the imputed traits repeat.
void build(model::State& s, int round) {
  m.round = round;
  for (int e : {1, 3}) m.g(e, 1, 1) = 0.75 + 0.125 * round;
  run::invert_group_blocks();
  run::reset_equations(s);
  prob::set_seed(97);
  sampler::setup_eq(s);
}

// The refresh of the block pass.
void refresh(model::State& s) {
  sampler::complete_equations(s);
}

// The same cycle built again through the hash store alone.
void build_through_hash(model::State& s, int round) {
  m.round = round;
  run::invert_group_blocks();
  sparsem::zero_values_sparse_hashm(s.XX);
  s.XY.fill(0.0);
  prob::set_seed(97);
  sampler::setup_eq(s);
}

// Slots of the table, keys and values.
std::vector<double> table_of(const sparsem::sparse_hashm& A) {
  std::vector<double> t;
  for (long k = 1; k <= A.nel; ++k) {
    t.push_back(A.x(k).row);
    t.push_back(A.x(k).col);
    t.push_back(A.x(k).val);
  }
  return t;
}

TEST(EquationPlan, LaterCyclesBuildTheCopyBitForBit) {
  model::State s;
  chain_model(s);
  stdout_of([&] {
    build(s, 1);
    refresh(s);
  });
  const sampler::EquationPlan& p = sampler::workspace(s).plan;
  ASSERT_TRUE(p.ready());
  EXPECT_FALSE(p.direct);
  const std::int32_t filled = s.XX.filled;
  // The animal group adds window by window of its positions, within a
  // window every position's first addition before any second one; the herd
  // group, whose levels come in order anyway, in its own.
  const sampler::GroupTerms& herd = sampler::relationship_terms(s).group[0];
  const sampler::GroupTerms& animal = sampler::relationship_terms(s).group[2];
  EXPECT_TRUE(herd.positions && herd.sorted.empty() && !herd.slots.empty());
  EXPECT_TRUE(animal.positions && !animal.sorted.empty() && animal.slots.empty());
  {
    constexpr int bits = sampler::GroupTerms::window_bits;
    std::map<std::int32_t, int> seen;  // additions so far by position
    for (std::size_t k = 1; k < animal.sorted.size(); ++k) {
      const std::int32_t p0 = animal.sorted[k - 1].pos, p1 = animal.sorted[k].pos;
      const int r0 = seen[p0]++, r1 = seen.count(p1) ? seen[p1] : 0;
      ASSERT_LE(p0 >> bits, p1 >> bits);
      if (p0 >> bits == p1 >> bits) {
        ASSERT_TRUE(r0 < r1 || (r0 == r1 && p0 < p1)) << k;
      }
    }
  }

  for (int round = 2; round <= 4; ++round) {
    SCOPED_TRACE(round);
    // The solutions move the imputed traits.
    for (int q = 1; q <= s.neq; ++q) s.SOL(q) += 0.003 * round;
    EXPECT_EQ(stdout_of([&] { build(s, round); }), "");
    EXPECT_TRUE(p.direct);
    refresh(s);
    const std::vector<double> a = values(s.XX_IJA.a), xy = values(s.XY);

    stdout_of([&] { build_through_hash(s, round); });
    EXPECT_FALSE(p.direct);
    sampler::link_equations(s);
    expect_same_bits(values(s.XX_IJA.a), a, "XX_IJA");
    expect_same_bits(values(s.XY), xy, "XY");
    EXPECT_EQ(s.XX.filled, filled);
    // The cycle through the table is planned again.
    sampler::plan_equations(s);
    EXPECT_TRUE(p.ready());
  }
}

TEST(EquationPlan, ARecordOffThePlanSendsTheRestOfItsCycleThroughTheTable) {
  model::State s;
  chain_model(s);
  stdout_of([&] {
    build(s, 1);
    refresh(s);
    build(s, 2);
    refresh(s);
  });
  ASSERT_TRUE(sampler::workspace(s).plan.direct);

  // Record 25 moves to another herd and animal: new elements part-way
  // through the records.  Data never change under a model whose slots are
  // loaded from the stream; here they do, so its records take the general
  // path, whose check finds the move.
  sampler::workspace(s).cursor.slots_fixed = false;
  s.INDATA(25, 3) = static_cast<float>(1 + (25 + 2) % nherd);
  s.INDATA(25, 5) = 2.0f;
  const std::int32_t filled = s.XX.filled;
  stdout_of([&] { build(s, 3); });
  EXPECT_FALSE(sampler::workspace(s).plan.direct);
  EXPECT_FALSE(sampler::workspace(s).plan.ready());
  EXPECT_GT(s.XX.filled, filled);
  const std::vector<double> table = table_of(s.XX), xy = values(s.XY);

  stdout_of([&] { build_through_hash(s, 3); });
  expect_same_bits(table_of(s.XX), table, "XX");
  expect_same_bits(values(s.XY), xy, "XY");

  // The cycle built through the table is planned after the refresh (which
  // rebuilds the copy for the new elements); the next one is direct again.
  EXPECT_NE(stdout_of([&] { refresh(s); }).find("reinitialized"), std::string::npos);
  EXPECT_TRUE(sampler::workspace(s).plan.ready());
  stdout_of([&] { build(s, 4); });
  EXPECT_TRUE(sampler::workspace(s).plan.direct);
  refresh(s);
  const std::vector<double> a = values(s.XX_IJA.a);
  stdout_of([&] { build_through_hash(s, 4); });
  sampler::link_equations(s);
  expect_same_bits(values(s.XX_IJA.a), a, "XX_IJA");
}

TEST(EquationPlan, AGroupOffThePlanSendsTheRestThroughTheTable) {
  model::State s;
  chain_model(s);
  stdout_of([&] {
    build(s, 1);
    refresh(s);
  });
  ASSERT_TRUE(sampler::workspace(s).plan.ready());

  // The animal group's kept terms are gone (another chain used the store):
  // the records and the herd group go straight into the copy, the animal
  // group through the table after the values so far are moved there.
  sampler::relationship_terms(s).group[2] = sampler::GroupTerms{};
  stdout_of([&] { build(s, 2); });
  EXPECT_FALSE(sampler::workspace(s).plan.direct);
  const std::vector<double> table = table_of(s.XX), xy = values(s.XY);
  stdout_of([&] { build_through_hash(s, 2); });
  expect_same_bits(table_of(s.XX), table, "XX");
  expect_same_bits(values(s.XY), xy, "XY");
}

TEST(EquationPlan, TheFirstCycleOfARunAndBuildsWithoutTheResetGoThroughTheTable) {
  model::State s;
  chain_model(s);
  stdout_of([&] {
    build(s, 1);
    refresh(s);
  });
  ASSERT_TRUE(sampler::workspace(s).plan.ready());
  // A build that the main loop's reset did not prepare fills the table.
  m.round = 2;
  sparsem::zero_values_sparse_hashm(s.XX);
  s.XY.fill(0.0);
  stdout_of([&] { sampler::setup_eq(s); });
  EXPECT_FALSE(sampler::workspace(s).plan.direct);
  EXPECT_NE(sparsem::get_sparse_hashm(1, 1, s.XX), 0.0);

  // A restart at cycle 2 is the first cycle of its run.
  stdout_of([&] { refresh(s); });
  ASSERT_TRUE(sampler::workspace(s).plan.ready());
  m.start = 2;
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data_text(), "data.txt");
  stdout_of([&] { build(s, 2); });
  EXPECT_FALSE(sampler::workspace(s).plan.direct);
}

}  // namespace
