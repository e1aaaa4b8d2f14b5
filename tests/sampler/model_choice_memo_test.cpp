// The record log-likelihood keeps the determinant of the last record's
// inverse covariance between records: whatever the records before, each
// record's log-density must be the very number that the density of its own
// weight, inverse covariance and pivot tolerance gives.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/model_choice.hpp"
#include "stop_capture.hpp"

namespace {

using model::m;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct ToleranceGuard {
  double tol = denseop::denseop_tol;
  ~ToleranceGuard() { denseop::denseop_tol = tol; }
};

// One record of a sequence: its weight, its inverse covariance (column-major,
// order nt), the pivot tolerance and its residuals.
struct Step {
  double w;
  std::vector<double> rinv;
  double tol;
  std::vector<double> e;
};

// Runs the steps on records 1, 2, ... and checks each record's log-density
// and inverse density against the unshared density of the step.
void run_steps(int nt, const std::vector<Step>& steps) {
  eqtest::new_model(nt, {model::EffectType::cro}, {1}, static_cast<int>(steps.size()));
  model::State s;
  eqtest::new_state(s);
  for (std::size_t k = 0; k < steps.size(); ++k) {
    SCOPED_TRACE("record " + std::to_string(k + 1));
    const Step& st = steps[k];
    denseop::denseop_tol = st.tol;
    s.rec_weight = st.w;
    for (int c = 0; c < nt * nt; ++c) m.rinv.data()[c] = st.rinv[static_cast<std::size_t>(c)];
    const int rec = static_cast<int>(k) + 1;
    const double before = s.logl_total;
    sampler::model_choice(s, rec, st.e.data());
    std::vector<double> wri(st.rinv);
    for (double& x : wri) x *= st.w;
    const double want = sampler::record_log_density(nt, st.e.data(), wri.data(), nt);
    EXPECT_TRUE(same_bits(s.LOGL_OBS(rec, 2), want)) << s.LOGL_OBS(rec, 2) << " vs " << want;
    EXPECT_TRUE(same_bits(s.LOGL_OBS(rec, 1), 1.0 / std::exp(want)));
    EXPECT_TRUE(same_bits(s.logl_total, before + want));
  }
}

TEST(ModelChoiceMemo, EachRecordGetsTheDensityOfItsOwnCovariance) {
  ToleranceGuard guard;
  const double tol = 1e-9;
  const std::vector<double> r1 = {2.0}, r2 = {0.5};
  // Order 1: the same matrix again, another weight, another matrix, back.
  run_steps(1, {{1.0, r1, tol, {0.3}},
                {1.0, r1, tol, {-1.1}},
                {2.5, r1, tol, {0.3}},
                {2.5, r2, tol, {0.3}},
                {1.0, r1, tol, {0.7}},
                {-0.0, r1, tol, {0.7}},
                {0.0, r1, tol, {0.7}}});

  // Order 2: one off-diagonal element changes; a tolerance that drops the
  // second pivot of the same matrix; a zero row.
  const std::vector<double> a = {4.0, 1.9, 1.9, 1.0}, b = {4.0, 1.8, 1.8, 1.0},
                            z = {2.0, 0.0, 0.0, 0.0};
  run_steps(2, {{1.0, a, tol, {0.5, -0.2}},
                {1.0, a, tol, {0.1, 0.4}},
                {1.0, b, tol, {0.1, 0.4}},
                {1.0, b, 0.5, {0.1, 0.4}},
                {1.0, b, tol, {0.1, 0.4}},
                {1.0, z, tol, {0.1, 0.4}},
                {3.0, z, tol, {0.1, 0.4}}});

  // Order 3 after order 2 with the same leading values.
  const std::vector<double> c = {4.0, 1.9, 0.2, 1.9, 1.0, 0.1, 0.2, 0.1, 3.0};
  run_steps(3, {{1.0, c, tol, {0.5, -0.2, 1.0}}, {1.0, c, tol, {0.0, 0.0, 0.0}}});

  // Orders 4 and 5 (the largest with loops of fixed length, and one beyond).
  for (int nt : {4, 5}) {
    std::vector<double> d(static_cast<std::size_t>(nt * nt)), f;
    for (int i = 0; i < nt; ++i)
      for (int j = 0; j < nt; ++j)
        d[static_cast<std::size_t>(i + j * nt)] = i == j ? 3.0 + i : 0.3 / (1 + i + j);
    f = d;
    f[1] = f[static_cast<std::size_t>(nt)] = 0.45;
    std::vector<double> e1(static_cast<std::size_t>(nt)), e2(static_cast<std::size_t>(nt));
    for (int i = 0; i < nt; ++i) {
      e1[static_cast<std::size_t>(i)] = 0.3 * i - 0.7;
      e2[static_cast<std::size_t>(i)] = 1.1 - 0.2 * i * i;
    }
    run_steps(nt, {{1.0, d, tol, e1}, {1.0, d, tol, e2}, {0.5, d, tol, e2}, {0.5, f, tol, e1}});
  }
}

TEST(ModelChoiceMemo, ANegativePivotIsReportedForEveryRecord) {
  ToleranceGuard guard;
  const std::vector<double> bad = {1.0, 2.0, 2.0, 1.0};
  const std::string out = testsupport::captured([&] {
    run_steps(2, {{1.0, bad, 1e-9, {0.1, 0.2}}, {1.0, bad, 1e-9, {0.3, 0.2}}});
  });
  const std::string line = "Matrix not semipositive-definite";
  // Once by each record and once by each check of it.
  std::size_t count = 0;
  for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 4u) << out;
}

}  // namespace
