// The log-densities of a run of records under one weight and inverse
// covariance, added after their residual pass: every record's sums must be
// the very numbers that adding each record in turn gives, whether the
// log-determinant is kept when the run starts or is formed by its first
// record (and then reported for every record, as each would report it).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/model_choice.hpp"
#include "stop_capture.hpp"

namespace {

using model::m;

constexpr int nrec = 9;

struct Sums {
  std::vector<double> logl;  // LOGL_OBS column-major, then the total
  std::string out;           // what the records reported
};

// The residuals of record i, trait t at e[(i-1) + t*nrec].
std::vector<double> residuals(int nt) {
  std::vector<double> e(static_cast<std::size_t>(nrec * nt));
  for (int i = 0; i < nrec; ++i)
    for (int t = 0; t < nt; ++t)
      e[static_cast<std::size_t>(i + t * nrec)] = 0.37 * (i - 4) - 0.21 * t * t + 0.05 * i * t;
  return e;
}

// Records from..nrec of s: one by one (by_run false) or as one run; records
// before `from` one by one.
Sums add_records(model::State& s, int nt, int from, bool by_run) {
  const std::vector<double> e = residuals(nt);
  s.LOGL_OBS.fill(0.0);
  s.logl_total = 0.0;
  Sums r;
  r.out = testsupport::captured([&] {
    for (int i = 1; i <= nrec; ++i) {
      if (by_run && i == from) {
        sampler::model_choice_records(s, from, nrec, e.data(), nrec);
        break;
      }
      double ei[8];
      for (int t = 0; t < nt; ++t) ei[t] = e[static_cast<std::size_t>((i - 1) + t * nrec)];
      sampler::model_choice(s, i, ei);
    }
  });
  r.logl.assign(s.LOGL_OBS.data(), s.LOGL_OBS.data() + 2 * nrec);
  r.logl.push_back(s.logl_total);
  return r;
}

// Another inverse covariance seen last: the memo no longer fits.
void forget_determinant(model::State& s, int nt) {
  const std::vector<double> keep(m.rinv.data(), m.rinv.data() + nt * nt);
  for (int k = 0; k < nt * nt; ++k) m.rinv.data()[k] = k % (nt + 1) == 0 ? 9.0 : 0.0;
  double e[8] = {};
  testsupport::captured([&] { sampler::model_choice(s, 1, e); });
  std::memcpy(m.rinv.data(), keep.data(), sizeof(double) * keep.size());
}

TEST(ModelChoiceRecords, ARunGivesWhatEachRecordInTurnGives) {
  struct Case {
    const char* name;
    int nt;
    double w;
    bool singular;  // a negative pivot, reported by every record
  };
  const Case cases[] = {
      {"one trait", 1, 1.0, false},         {"two traits", 2, 1.0, false},
      {"three traits", 3, 1.0, false},      {"four traits (order read)", 4, 1.0, false},
      {"two traits, weight 0.6", 2, 0.6, false}, {"two traits, not positive", 2, 1.0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    eqtest::new_model(c.nt, {model::EffectType::cro}, {1}, nrec);
    model::State s;
    eqtest::new_state(s);
    const int nt = c.nt;
    for (int i = 0; i < nt; ++i)
      for (int j = 0; j < nt; ++j)
        m.rinv.data()[i + j * nt] = i == j ? 2.0 + 0.5 * i : (c.singular ? 3.0 : 0.3 / (1 + i + j));
    s.rec_weight = c.w;

    forget_determinant(s, nt);
    const Sums each = add_records(s, nt, 1, false);
    EXPECT_NE(each.logl.back(), 0.0);
    // The determinant kept by the first record; the rest as a run.
    forget_determinant(s, nt);
    const Sums after_first = add_records(s, nt, 2, true);
    // Not kept when the run starts: its first record forms it.
    forget_determinant(s, nt);
    EXPECT_FALSE(sampler::model_choice_ready(s));
    const Sums whole = add_records(s, nt, 1, true);
    EXPECT_EQ(sampler::model_choice_ready(s), !c.singular);

    eqtest::expect_same_bits(each.logl, after_first.logl, "run after the first record");
    eqtest::expect_same_bits(each.logl, whole.logl, "run of all records");
    EXPECT_EQ(each.out, after_first.out);
    EXPECT_EQ(each.out, whole.out);
    EXPECT_EQ(c.singular, !each.out.empty()) << each.out;
  }
}

}  // namespace
