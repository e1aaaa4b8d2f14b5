// The passes over kept slots have loops fixed at compile time for the
// common orders (one to three traits of three effects).  For those and for
// the orders read at run time, every effect present for every trait (so that
// the records' multipliers follow from their data), the build and the
// residual pass must give bit for bit what finding the slots again gives,
// with missing traits, record weights, missing codes and kept cycles (whose
// log-likelihoods the residual pass adds).
#include <gtest/gtest.h>

#include <cmath>
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

using eqtest::expect_same_bits;
using eqtest::new_model;
using eqtest::new_state;
using eqtest::stdout_of;
using model::m;

constexpr int nlev = 6, nrec = 48;

// Columns: y1..ynt, one per effect (effect 2 a covariable), the weight.  A
// level or covariable of 0 is the missing code.
std::string data_text(int nt, int nf) {
  std::ostringstream d;
  for (int r = 1; r <= nrec; ++r) {
    for (int t = 1; t <= nt; ++t)
      d << (t > 1 && (r + t) % 5 == 0 ? 0.0 : 2.0 * t + 0.31 * (r % 7) - 0.04 * r) << ' ';
    for (int e = 1; e <= nf; ++e) {
      if (e == 2)
        d << (r % 13 == 0 ? 0.0 : 0.2 * (r % 6) - 0.45) << ' ';
      else if (r % (9 + e) == 0)
        d << 0 << ' ';
      else
        d << 1 + (r * (e + 3)) % nlev << ' ';
    }
    d << 0.5 + 0.25 * (r % 4) << '\n';
  }
  return d.str();
}

void make_model(model::State& s, int nt, int nf) {
  std::vector<model::EffectType> types;
  std::vector<int> levels;
  for (int e = 1; e <= nf; ++e) {
    types.push_back(e == 2 ? model::EffectType::cov : model::EffectType::cro);
    levels.push_back(e == 2 ? 1 : nlev);
  }
  new_model(nt, types, levels, nrec);
  m.nburn = 0;
  m.skip = 1;
  m.pos_weight = nt + nf + 1;
  for (int t = 1; t <= nt; ++t) {
    m.pos_y(t) = t;
    for (int e = 1; e <= nf; ++e) m.pos_eff(e, t) = nt + e;
    for (int u = 1; u <= nt; ++u) m.r(t, u) = t == u ? 1.0 + 0.4 * t : 0.15;
  }
  m.randomtype(1) = model::RandomType::diagonal;
  m.randomnumb(1) = 1;
  for (int i = 1; i <= nt; ++i)
    for (int j = 1; j <= nt; ++j) m.g(1, i, j) = i == j ? 0.7 : 0.05;
  new_state(s);
  for (int t = 1; t <= nt; ++t)
    for (int u = 1; u <= nt; ++u) s.ORIG_R(t, u) = m.r(t, u);
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.03 * (q % 7) - 0.08;
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data_text(nt, nf), "data.txt");
}

std::vector<double> values(const double* p, long n) { return std::vector<double>(p, p + n); }

struct Cycle {
  std::vector<double> a, xy, e, ee, logl;
  long lde = 0;  // rows of e
};

// Cycle `round` as the main loop makes it and its residual pass (a kept
// cycle), the generator seeded for both.
Cycle run_cycle(model::State& s, int round) {
  m.round = round;
  run::invert_group_blocks();
  run::reset_equations(s);
  prob::set_seed(17);
  stdout_of([&] { sampler::setup_eq(s); });
  stdout_of([&] { sampler::complete_equations(s); });
  Cycle c;
  c.a = values(s.XX_IJA.a.data(), s.XX_IJA.nel);
  c.xy = values(s.XY.data(), s.XY.size());
  sampler::DispersionWork w;
  prob::set_seed(19);
  s.LOGL_OBS.fill(0.0);
  s.logl_total = 0.0;
  sampler::residual_pass(s, w);
  c.e = values(w.e.data(), static_cast<long>(w.e.rows()) * w.e.cols());
  c.lde = w.e.rows();
  c.ee = values(w.ee.data(), static_cast<long>(w.ee.rows()) * w.ee.cols());
  c.logl = values(s.LOGL_OBS.data(), static_cast<long>(s.LOGL_OBS.rows()) * s.LOGL_OBS.cols());
  c.logl.push_back(s.logl_total);
  return c;
}

// weighted false: the data's weight column is not read (every record
// weighs 1), and the fixed loops add the records' log-densities after the
// pass.
void loaded_give_what_found_give(bool weighted) {
  struct Order {
    int nt, nf;
  };
  // 1-3 traits of 3 effects take the fixed loops; the others the general.
  const Order orders[] = {{1, 3}, {2, 3}, {3, 3}, {1, 2}, {2, 4}, {3, 5}, {4, 3}};
  for (const Order& o : orders) {
    SCOPED_TRACE(std::to_string(o.nt) + " traits, " + std::to_string(o.nf) + " effects");
    model::State s;
    make_model(s, o.nt, o.nf);
    if (!weighted) m.pos_weight = 0;
    run_cycle(s, 1);
    ASSERT_TRUE(sampler::slots_loadable(s));
    ASSERT_TRUE(sampler::workspace(s).plan.ready());
    int derived = 0;
    for (int i = 1; i <= nrec; ++i) derived += sampler::workspace(s).cursor.stream.is_derived(i) ? 1 : 0;
    EXPECT_EQ(derived, nrec);
    for (int round = 2; round <= 3; ++round) {
      SCOPED_TRACE(round);
      for (int q = 1; q <= s.neq; ++q) s.SOL(q) += 0.02 * round;
      const Cycle loaded = run_cycle(s, round);
      EXPECT_TRUE(sampler::workspace(s).plan.direct);
      sampler::workspace(s).cursor.slots_fixed = false;
      const Cycle found = run_cycle(s, round);
      sampler::workspace(s).cursor.slots_fixed = true;
      EXPECT_TRUE(sampler::workspace(s).plan.direct);
      // Something was added and drawn: the passes are not skipped.
      double sum = 0.0;
      for (double v : loaded.a) sum += v * v;
      EXPECT_GT(sum, 0.0);
      EXPECT_NE(loaded.logl.back(), 0.0);
      expect_same_bits(found.a, loaded.a, "XX_IJA");
      expect_same_bits(found.xy, loaded.xy, "XY");
      expect_same_bits(found.e, loaded.e, "residuals");
      expect_same_bits(found.ee, loaded.ee, "ee");
      expect_same_bits(found.logl, loaded.logl, "log-likelihoods");
      // The stream is kept for loading again by the next cycle.
      run_cycle(s, round);
      ASSERT_TRUE(sampler::slots_loadable(s));
    }
  }
}

TEST(KeptRecordOrders, LoadedSlotsGiveWhatFoundSlotsGiveForEveryOrder) {
  loaded_give_what_found_give(true);
}

TEST(KeptRecordOrders, LoadedSlotsOfUnweightedRecordsGiveWhatFoundSlotsGive) {
  loaded_give_what_found_give(false);
}

// Each record's residuals are scaled by its own weight (the records'
// weights differ from one to the next): for every record without a missing
// trait, e / sqrt(1 / w) from its slots found again.
TEST(KeptRecordOrders, EachRecordsResidualsAreScaledByItsOwnWeight) {
  for (int nt : {1, 2, 4}) {
    SCOPED_TRACE(std::to_string(nt) + " traits");
    model::State s;
    make_model(s, nt, 3);
    run_cycle(s, 1);
    ASSERT_TRUE(sampler::slots_loadable(s));
    const Cycle c = run_cycle(s, 2);
    int checked = 0;
    for (int i = 1; i <= nrec; ++i) {
      s.irec = i;
      sampler::decode_record(s);
      if (sampler::any_missing(s)) continue;
      sampler::find_addresses(s);
      double e[4];
      sampler::record_residuals(s, e);
      const double sc = std::sqrt(1.0 / s.rec_weight);
      for (int t = 0; t < nt; ++t) {
        const double want = e[t] / sc;
        ASSERT_EQ(std::memcmp(&want, &c.e[static_cast<std::size_t>((i - 1) + t * c.lde)], sizeof want), 0)
            << "record " << i << " trait " << t + 1;
      }
      ++checked;
    }
    EXPECT_GT(checked, nrec / 4);
  }
}

}  // namespace
