// Records whose slots are loaded from the kept stream must give, bit for
// bit, what finding them again gives: the direct build, the build through
// the hash store and the residual pass, for one to four traits (the term
// kernels are specialised for one to three), with missing traits, record
// weights, missing-code slots, an effect absent for one trait and animals
// without equations (their parents' slots make the traits' counts differ).
#include <gtest/gtest.h>

#include <algorithm>
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
#include "sampler/gibbsvar.hpp"
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
using model::m;

constexpr int nherd = 5, nanimal = 25, nrec = 60;

// Columns: y1..y4 herd cov animal weight.  Herd 0 and covariable 0 are the
// missing code.
std::string data_text() {
  std::ostringstream d;
  for (int r = 1; r <= nrec; ++r) {
    for (int t = 1; t <= 4; ++t)
      d << (t > 1 && (r + t) % 6 == 0 ? 0.0 : 3.0 * t + 0.29 * (r % 7) - 0.07 * r) << ' ';
    d << (r % 11 == 0 ? 0 : 1 + r % nherd) << ' ' << (r % 13 == 0 ? 0.0 : 0.15 * (r % 5) - 0.3)
      << ' ' << 1 + (r * 7) % nanimal << ' ' << 0.5 + 0.25 * (r % 4) << '\n';
  }
  return d.str();
}

// reduced: the animal effect has equations for animals 1..20 only and is
// absent for trait 2.
void make_model(model::State& s, int nt, bool reduced = false) {
  const int nlev = reduced ? nanimal - 5 : nanimal;
  new_model(nt,
            {model::EffectType::cro, model::EffectType::cov,
             reduced ? model::EffectType::ram : model::EffectType::cro},
            {nherd, 1, nlev}, nrec);
  m.lenped(3) = nanimal;
  m.nburn = 0;
  m.pos_weight = 8;
  for (int t = 1; t <= nt; ++t) {
    m.pos_y(t) = t;
    m.pos_eff(1, t) = 5;
    m.pos_eff(2, t) = t == 2 ? 0 : 6;  // the covariable is absent for trait 2
    m.pos_eff(3, t) = reduced && t == 2 ? 0 : 7;
    for (int u = 1; u <= nt; ++u) m.r(t, u) = t == u ? 1.0 + 0.5 * t : 0.2;
  }
  m.randomtype(1) = model::RandomType::diagonal;
  m.randomnumb(1) = 1;
  for (int i = 1; i <= nt; ++i)
    for (int j = 1; j <= nt; ++j) m.g(1, i, j) = i == j ? 0.8 : 0.1;
  new_state(s);
  for (int a = 1; a <= nanimal; ++a) {
    s.PED(3, a, 1) = a;
    s.PED(3, a, 2) = a > 10 ? 1 + (a * 3) % 10 : 0;
    s.PED(3, a, 3) = a > 10 && a % 4 != 0 ? 11 + (a * 5) % 10 : 0;
  }
  for (int t = 1; t <= nt; ++t)
    for (int u = 1; u <= nt; ++u) s.ORIG_R(t, u) = m.r(t, u);
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.02 * (q % 11) - 0.1;
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data_text(), "data.txt");
}

std::vector<double> values(const double* p, long n) { return std::vector<double>(p, p + n); }


struct Cycle {
  std::vector<double> a, xy, e, ee;
};

// Cycle `round` as the main loop makes it (reset, build, refresh) and its
// residual pass, the generator seeded for both.
Cycle run_cycle(model::State& s, int round, bool through_hash) {
  m.round = round;
  run::invert_group_blocks();
  if (through_hash) {
    sparsem::zero_values_sparse_hashm(s.XX);
    s.XY.fill(0.0);
  } else {
    run::reset_equations(s);
  }
  prob::set_seed(41);
  stdout_of([&] { sampler::setup_eq(s); });
  stdout_of([&] { sampler::complete_equations(s); });
  Cycle c;
  c.a = values(s.XX_IJA.a.data(), s.XX_IJA.nel);
  c.xy = values(s.XY.data(), s.XY.size());
  sampler::DispersionWork w;
  prob::set_seed(43);
  sampler::residual_pass(s, w);
  c.e = values(w.e.data(), static_cast<long>(w.e.rows()) * w.e.cols());
  c.ee = values(w.ee.data(), static_cast<long>(w.ee.rows()) * w.ee.cols());
  return c;
}

TEST(SlotStream, LoadedSlotsGiveTheBuildAndResidualsOfFoundOnes) {
  for (int nt = 1; nt <= 4; ++nt) {
    for (bool reduced : {false, true}) {
      SCOPED_TRACE(std::to_string(nt) + (reduced ? " traits, reduced" : " traits"));
      model::State s;
      make_model(s, nt, reduced);
      run_cycle(s, 1, false);
      ASSERT_TRUE(sampler::workspace(s).cursor.slots_fixed);
      ASSERT_TRUE(sampler::slots_loadable(s));
      ASSERT_TRUE(sampler::workspace(s).plan.ready());
      // Records with multipliers from their data and, among animals
      // without equations, records whose slots are found again.
      int derived = 0;
      for (int i = 1; i <= nrec; ++i) derived += sampler::workspace(s).cursor.stream.is_derived(i) ? 1 : 0;
      EXPECT_GT(derived, 0);
      EXPECT_EQ(derived < nrec, reduced);
      for (int round = 2; round <= 3; ++round) {
        SCOPED_TRACE(round);
        for (int q = 1; q <= s.neq; ++q) s.SOL(q) += 0.01 * round;
        const Cycle loaded = run_cycle(s, round, false);
        EXPECT_TRUE(sampler::workspace(s).plan.direct);

        // The same cycle, every record's slots found again: straight into
        // the copy, then through the hash store.
        sampler::workspace(s).cursor.slots_fixed = false;
        const Cycle found = run_cycle(s, round, false);
        EXPECT_TRUE(sampler::workspace(s).plan.direct);
        const Cycle hashed = run_cycle(s, round, true);
        EXPECT_FALSE(sampler::workspace(s).plan.direct);
        sampler::workspace(s).cursor.slots_fixed = true;
        // The cycle through the store kept the stream anew, not for
        // loading; one made with loading allowed keeps it for loading again.
        EXPECT_FALSE(sampler::slots_loadable(s));
        run_cycle(s, round, true);
        EXPECT_TRUE(sampler::slots_loadable(s));

        for (const Cycle* c : {&found, &hashed}) {
          expect_same_bits(c->a, loaded.a, "XX_IJA");
          expect_same_bits(c->xy, loaded.xy, "XY");
          expect_same_bits(c->e, loaded.e, "residuals");
          expect_same_bits(c->ee, loaded.ee, "ee");
        }
      }
    }
  }
}

// Models whose slots read the solutions or drawn values keep finding them.
TEST(SlotStream, ModelsWhoseSlotsCanChangeFindThemEveryCycle) {
  struct Case {
    const char* what;
    void (*change)();
  };
  const Case cases[] = {
      {"unknown covariable", [] { m.effecttype(2) = model::EffectType::unk; }},
      {"structural factor", [] { m.neffr = 1; }},
      {"candidate sires",
       [] {
         m.effecttype(3) = model::EffectType::ram;
         m.max_msires = 2;
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    model::State s;
    make_model(s, 1);
    c.change();
    sampler::prepare_records(s);
    EXPECT_FALSE(sampler::workspace(s).cursor.slots_fixed);
    sampler::clear_slots(s);
    EXPECT_FALSE(sampler::slots_loadable(s));
  }
  model::State s;
  make_model(s, 1);
  EXPECT_TRUE(sampler::workspace(s).cursor.slots_fixed);
}

}  // namespace

// find_addresses clears only the rows the last record used: every row
// beyond a trait's slots must still read 0, record after record, and in
// another state whose table holds other values.
TEST(SlotStream, RowsBeyondTheSlotsReadZeroRecordAfterRecord) {
  model::State s;
  make_model(s, 2, true);
  run_cycle(s, 1, false);
  const int ld = static_cast<int>(s.WEIGHT_COV.rows());
  auto expect_clear = [&](int i) {
    for (int t = 1; t <= 2; ++t)
      for (int r = sampler::workspace(s).cursor.naddr_t(t) + 1; r <= ld; ++r)
        ASSERT_EQ(s.WEIGHT_COV(r, t), 0.0f) << "record " << i << " trait " << t << " row " << r;
  };
  int most = 0, least = 1 << 20;
  for (int i : {21, 3, 22, 1, 25, 2, 24}) {
    s.irec = i;
    sampler::find_addresses(s);
    most = std::max(most, sampler::workspace(s).cursor.naddr_t(1));
    least = std::min(least, sampler::workspace(s).cursor.naddr_t(1));
    expect_clear(i);
  }
  EXPECT_LT(least, most);  // the records' slot counts differ

  // Another state, its table holding other values.
  model::State other;
  other.INDATA = s.INDATA;
  other.PED = s.PED;
  other.ADDRESS = s.ADDRESS;
  other.WEIGHT_COV = s.WEIGHT_COV;
  other.WEIGHT_COV.fill(7.0f);
  other.irec = 1;
  sampler::find_addresses(other);
  for (int t = 1; t <= 2; ++t)
    for (int r = sampler::workspace(s).cursor.naddr_t(t) + 1; r <= ld; ++r) ASSERT_EQ(other.WEIGHT_COV(r, t), 0.0f);
}
