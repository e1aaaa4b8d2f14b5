// The positions of an equation plan are found by a few threads over parts of
// the records, of the pedigree lines and of the levels, and the additive
// group's walk is ordered window by window on several: every count of
// threads must give the plan of one thread, and the builds of later cycles
// straight into the copy the values of the build through the hash store.
#include <gtest/gtest.h>

#include <cstdint>
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

using eqtest::expect_same_bits;
using eqtest::new_model;
using eqtest::new_state;
using eqtest::stdout_of;
using eqtest::values;
using model::m;

// Enough animals that the additive group's positions span several windows.
constexpr int nanimal = 1800, nherd = 7, nrec = 900;

// Two traits, some missing; a herd with a diagonal random structure, a
// covariable and the animal.  Columns: y1 y2 herd cov animal.
std::string data_text() {
  std::ostringstream d;
  for (int r = 1; r <= nrec; ++r) {
    const double y1 = r % 11 == 0 ? 0.0 : 10.0 + 0.37 * (r % 5) - 0.01 * r;
    const double y2 = r % 13 == 0 && r % 11 != 0 ? 0.0 : 20.0 - 0.23 * (r % 4) + 0.02 * r;
    d << y1 << ' ' << y2 << ' ' << 1 + r % nherd << ' ' << 0.1 * (r % 6) - 0.2 << ' '
      << 1 + (r * 7) % nanimal << '\n';
  }
  return d.str();
}

void chain_model(model::State& s) {
  new_model(2, {model::EffectType::cro, model::EffectType::cov, model::EffectType::cro},
            {nherd, 1, nanimal}, nrec);
  m.pos_y(1) = 1;
  m.pos_y(2) = 2;
  for (int t = 1; t <= 2; ++t) {
    m.pos_eff(1, t) = 3;
    m.pos_eff(2, t) = 4;
    m.pos_eff(3, t) = 5;
  }
  m.r(1, 2) = m.r(2, 1) = 0.3;
  m.randomtype(1) = model::RandomType::diagonal;
  m.randomnumb(1) = 1;
  m.randomtype(3) = model::RandomType::add_animal;
  m.randomnumb(3) = 1;
  m.lenped(3) = nanimal;
  for (int e : {1, 3})
    for (int i = 1; i <= 2; ++i)
      for (int j = 1; j <= 2; ++j) m.g(e, i, j) = i == j ? 0.5 + 0.25 * i * e : 0.1 * e;
  new_state(s);
  sparsem::zero_sparse_hashm(s.XX, s.neq, 101);
  for (int a = 1; a <= nanimal; ++a) {
    s.PED(3, a, 1) = a;
    s.PED(3, a, 2) = a > 100 ? 1 + (a * 37) % (a - 1) : 0;
    s.PED(3, a, 3) = a > 100 && a % 5 != 0 ? 1 + (a * 53 + 3) % (a - 1) : 0;
  }
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.01 * (q % 13) - 0.05;
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data_text(), "data.txt");
}

void build(model::State& s, int round) {
  m.round = round;
  for (int e : {1, 3}) m.g(e, 1, 1) = 0.75 + 0.125 * round;
  run::invert_group_blocks();
  run::reset_equations(s);
  prob::set_seed(31);
  sampler::setup_eq(s);
  sampler::complete_equations(s);
}

// Everything a plan holds, as one list of integers.
std::vector<std::int64_t> plan_of(const model::State& s) {
  std::vector<std::int64_t> v(sampler::workspace(s).plan.rec_pos.begin(), sampler::workspace(s).plan.rec_pos.end());
  for (const sampler::GroupTerms& g : sampler::relationship_terms(s).group) {
    v.push_back(-1);
    v.insert(v.end(), g.slots.begin(), g.slots.end());
    for (const sampler::GroupTerms::Sorted& q : g.sorted) {
      v.push_back(q.pos);
      v.push_back(q.product);
    }
    for (double c : g.coefs) v.push_back(static_cast<std::int64_t>(c * 1e6));
  }
  return v;
}

struct Restore {
  ~Restore() { sampler::plan_threads = 0; }
};

TEST(PlanThreads, EveryCountGivesThePlanOfOneThreadAndTheSameValues) {
  Restore restore;
  model::State s;
  sampler::plan_threads = 1;
  chain_model(s);
  stdout_of([&] { build(s, 1); });
  ASSERT_TRUE(sampler::workspace(s).plan.ready());
  const std::vector<std::int64_t> one = plan_of(s);
  // The additive group is ordered for its walk, over more than one window.
  const sampler::GroupTerms& animal = sampler::relationship_terms(s).group[2];
  ASSERT_FALSE(animal.sorted.empty());
  EXPECT_GT(animal.sorted.back().pos >> sampler::GroupTerms::window_bits, 2);

  for (int threads : {2, 3, 5, 8, 13}) {
    SCOPED_TRACE(threads);
    sampler::plan_threads = threads;
    chain_model(s);
    stdout_of([&] { build(s, 1); });
    ASSERT_TRUE(sampler::workspace(s).plan.ready());
    EXPECT_EQ(plan_of(s), one);

    // A later cycle straight into the copy, then through the table.
    for (int q = 1; q <= s.neq; ++q) s.SOL(q) += 0.002 * threads;
    stdout_of([&] { build(s, 2); });
    ASSERT_TRUE(sampler::workspace(s).plan.direct);
    const std::vector<double> a = values(s.XX_IJA.a), xy = values(s.XY);
    m.round = 2;
    run::invert_group_blocks();
    sparsem::zero_values_sparse_hashm(s.XX);
    s.XY.fill(0.0);
    prob::set_seed(31);
    stdout_of([&] { sampler::setup_eq(s); });
    ASSERT_FALSE(sampler::workspace(s).plan.direct);
    sampler::link_equations(s);
    expect_same_bits(values(s.XX_IJA.a), a, "XX_IJA");
    expect_same_bits(values(s.XY), xy, "XY");
  }
}

}  // namespace
