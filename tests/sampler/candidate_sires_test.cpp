// Candidate sires in the animal model: the weights and the walk of a sire
// draw, the relationship inverse with Mendelian coefficients (against the
// dense inverse of A), its update after a changed sire (against a rebuild),
// sire frequencies against their closed form, the Dirichlet redraw and the
// schedule of the first cycles of a run.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <utility>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/candidate_sires.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sparse/sparsem.hpp"

namespace {

using eqtest::new_model;
using eqtest::new_state;
using eqtest::stop_of;
using model::m;

constexpr model::EffectType CRO = model::EffectType::cro;

// One trait; effect 1 an add_an_ms group of nlev animals with G = g (ginv =
// 1/g), every pedigree line given as {animal, dam, sire} with its DINV;
// candidate blocks in ms (positions assigned in line order, MS_STAT = 1 for
// each negative sire).
struct Herd {
  std::vector<std::vector<int>> ped;
  std::vector<float> dinv;
  std::vector<double> ms;
  double g = 1.0;
  int ngrp = 0;
  int max_msires = 50;
  float ms_alpha = 0.0f;
};

// Founders 1 and 2, and animal 3 whose sire is one of them, each at 0.5.
Herd two_candidates() {
  Herd h;
  h.ped = {{1, 0, 0}, {2, 0, 0}, {3, 0, -1}};
  h.dinv = {1, 1, 1};
  h.ms = {2, 1, 0.5, 2, 0.5};
  return h;
}

void setup(model::State& s, const Herd& h) {
  const int n = static_cast<int>(h.ped.size());
  new_model(1, {CRO}, {n}, 1);
  m.pos_eff(1, 1) = 1;
  m.pos_y(1) = 2;
  m.randomtype(1) = model::RandomType::add_an_ms;
  m.randomnumb(1) = 1;
  m.lenped(1) = n;
  m.ngrp(1) = h.ngrp;
  m.g(1, 1, 1) = h.g;
  m.max_msires = h.max_msires;
  m.ms_alpha = h.ms_alpha;
  m.nburn = 0;
  m.skip = 1;
  new_state(s);
  m.ginv(1, 1, 1) = 1.0 / h.g;  // (allocated with the state)
  s.DINV.resize(n);
  s.MS.resize(static_cast<long>(std::max<std::size_t>(h.ms.size(), 1)));
  s.SUMMS.resize(s.MS.size());
  s.SSMS.resize(s.MS.size());
  s.MS_ALPHAS.resize(s.MS.size());
  for (std::size_t i = 0; i < h.ms.size(); ++i) {
    s.MS(static_cast<long>(i) + 1) = h.ms[i];
    s.MS_ALPHAS(static_cast<long>(i) + 1) = h.ms_alpha > 0 ? h.ms_alpha : h.ms[i];
  }
  int p = 1;
  for (int l = 1; l <= n; ++l) {
    for (int k = 1; k <= 3; ++k) s.PED(1, l, k) = h.ped[static_cast<std::size_t>(l - 1)][static_cast<std::size_t>(k - 1)];
    s.DINV(l) = h.dinv[static_cast<std::size_t>(l - 1)];
    if (s.PED(1, l, 3) < 0) {
      s.P_MS(l) = p;
      s.MS_STAT(l) = s.MS(p) <= m.max_msires ? 1 : 0;
      p += 1 + 2 * static_cast<int>(s.MS(p));
    }
  }
}

void at_round(int round, int start) {
  m.round = round;
  m.start = start;
  m.nround = std::max(round, m.nround);
}

// The next uniform of the stream, which is left where it was.
double peek_uniform(int seed) {
  prob::set_seed(seed);
  const double u = prob::gen_uniform_real();
  prob::set_seed(seed);
  return u;
}

std::vector<double> dense_of(const sparsem::sparse_hashm& A, int n) {
  std::vector<double> d(static_cast<std::size_t>(n * n), 0.0);
  for (int i = 1; i <= n; ++i)
    for (int j = i; j <= n; ++j) {
      const double v = sparsem::get_sparse_hashm(i, j, A);
      d[static_cast<std::size_t>((i - 1) + (j - 1) * n)] = v;
      d[static_cast<std::size_t>((j - 1) + (i - 1) * n)] = v;
    }
  return d;
}

// ---------------------------------------------------------------------------

TEST(CandidateDraw, WorkedWeightsAndTheBoundaryOfTheWalk) {
  model::State s;
  Herd h = two_candidates();
  setup(s, h);
  // Quadratic forms 0 and 1 at h = 1: weights e^0 and e^-1.
  const double q[] = {0.0, 1.0};
  s.PROBS.fill(0.0);
  sampler::candidate_weights(s, 1, 2, q, 1.0);
  EXPECT_NEAR(s.PROBS(3), 0.7310586, 1e-7);
  EXPECT_NEAR(s.PROBS(4), 0.2689414, 1e-7);
  // Far beyond the range of exp: the same probabilities.
  const double far[] = {2000.0, 2001.0};
  sampler::candidate_weights(s, 1, 2, far, 1.0);
  EXPECT_NEAR(s.PROBS(3), 0.7310586, 1e-7);
  EXPECT_NEAR(s.PROBS(4), 0.2689414, 1e-7);

  // The first candidate whose cumulative weight reaches u wins (>=).
  struct Case {
    const char* what;
    double first;  // weight of candidate 1 relative to u
    int sire;
  };
  const double u = peek_uniform(4711);
  const Case cases[] = {{"equal to u", u, 1},
                        {"just below u", std::nextafter(u, 0.0), 2},
                        {"above u", std::min(1.0, u + 0.1), 1}};
  for (const Case& c : cases) {
    s.PROBS.fill(0.0);
    s.PROBS(3) = c.first;
    s.PROBS(4) = 1.0 - c.first;
    prob::set_seed(4711);
    s.SUMMS.fill(0.0);
    EXPECT_EQ(sampler::draw_candidate(s, 3, 1, true), c.sire) << c.what;
    EXPECT_EQ(s.SUMMS(c.sire == 1 ? 2 : 4), 1.0) << c.what;
  }
}

TEST(CandidateDraw, IdZeroPassesOnAndTheWalkEndsAtTheLastSire) {
  model::State s;
  Herd h;
  h.ped = {{1, 0, 0}, {2, 0, 0}, {3, 0, -1}, {4, 0, -1}};
  h.dinv = {1, 1, 1, 1};
  // Animal 3: candidates 0, 2, 0; animal 4: only 0.
  h.ms = {3, 0, 0.5, 2, 0.3, 0, 0.2, 1, 0, 1};
  setup(s, h);
  struct Case {
    const char* what;
    double w[3];
    bool kept;
    std::vector<double> counts;  // SUMMS at the id slots 2, 4, 6
  };
  const Case cases[] = {
      {"id 0 wins and passes on", {1.0, 0.0, 0.0}, true, {1, 1, 0}},
      {"the sire itself", {0.0, 1.0, 0.0}, true, {0, 1, 0}},
      {"after the last sire nothing is reached", {0.0, 0.0, 1.0}, true, {0, 1, 0}},
      {"weights summing short of u", {0.0, 0.0, 0.0}, true, {0, 1, 0}},
      {"not kept: no count", {1.0, 0.0, 0.0}, false, {0, 0, 0}},
  };
  for (const Case& c : cases) {
    s.SUMMS.fill(0.0);
    s.PROBS.fill(0.0);
    for (int k = 0; k < 3; ++k) s.PROBS(k + 3) = c.w[k];
    prob::set_seed(99);
    EXPECT_EQ(sampler::draw_candidate(s, 3, 1, c.kept), 2) << c.what;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(s.SUMMS(2 + 2 * k), c.counts[static_cast<std::size_t>(k)]) << c.what;
  }
  EXPECT_NE(stop_of([&] { sampler::draw_candidate(s, 4, 8, true); })
                .find("animal 4 has no candidate sire other than 0"),
            std::string::npos);
}

// ---------------------------------------------------------------------------

// A by the tabular method, with the inbreeding of every animal; parents come
// before their progeny.
std::vector<double> tabular_a(const std::vector<std::vector<int>>& ped, std::vector<double>& F) {
  const int n = static_cast<int>(ped.size());
  std::vector<double> A(static_cast<std::size_t>(n * n), 0.0);
  auto a = [&](int i, int j) -> double& { return A[static_cast<std::size_t>((i - 1) + (j - 1) * n)]; };
  for (int i = 1; i <= n; ++i) {
    const int d = ped[static_cast<std::size_t>(i - 1)][1], sr = ped[static_cast<std::size_t>(i - 1)][2];
    for (int j = 1; j < i; ++j) {
      double v = 0.0;
      if (d > 0) v += 0.5 * a(j, d);
      if (sr > 0) v += 0.5 * a(j, sr);
      a(i, j) = a(j, i) = v;
    }
    a(i, i) = 1.0 + (d > 0 && sr > 0 ? 0.5 * a(d, sr) : 0.0);
  }
  F.assign(static_cast<std::size_t>(n) + 1, 0.0);
  for (int i = 1; i <= n; ++i) F[static_cast<std::size_t>(i)] = a(i, i) - 1.0;
  return A;
}

float mendelian_precision(const std::vector<int>& line, const std::vector<double>& F) {
  const int d = line[1], sr = line[2];
  double b = 1.0;
  if (d > 0 && sr > 0)
    b = 0.5 - 0.25 * (F[static_cast<std::size_t>(d)] + F[static_cast<std::size_t>(sr)]);
  else if (d > 0 || sr > 0)
    b = 0.75 - 0.25 * F[static_cast<std::size_t>(d > 0 ? d : sr)];
  return static_cast<float>(1.0 / b);
}

TEST(CandidateAinv, EverySireKnownGivesTheInverseOfAWithInbreeding) {
  model::State s;
  Herd h;
  // Full sibs 5 and 6 mated (7), a half-sib mating (8), a back-cross (9).
  h.ped = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 1, 0}, {5, 2, 1},
           {6, 2, 1}, {7, 6, 5}, {8, 4, 5}, {9, 7, 5}, {10, 3, 0}};
  std::vector<double> F;
  const std::vector<double> A = tabular_a(h.ped, F);
  ASSERT_GT(F[9], 0.3);
  for (const auto& line : h.ped) h.dinv.push_back(mendelian_precision(line, F));
  h.ms = {0};
  h.g = 2.0;
  setup(s, h);
  at_round(1, 1);
  eqtest::stdout_of([&] { sampler::add_g_aav(s, 1, 50); });
  const int n = 10;
  const std::vector<double> ainv = eqtest::dense_inverse(A, n);
  const std::vector<double> got = dense_of(s.AINV(1), n);
  for (int i = 0; i < n * n; ++i)
    EXPECT_NEAR(got[static_cast<std::size_t>(i)], ainv[static_cast<std::size_t>(i)], 2e-6) << i;
  EXPECT_EQ(s.DF_RANDOM(1), 10);
  // XX holds A^-1 times ginv = 1/2.
  EXPECT_NEAR(sparsem::get_sparse_hashm(9, 9, s.XX), 0.5 * ainv[88], 1e-6);
  EXPECT_NEAR(sparsem::get_sparse_hashm(5, 9, s.XX), 0.5 * ainv[4 + 8 * n], 1e-6);
}

// Animals 4 and 5 have candidates {1, 2} and {2, 3}; solutions put a sire
// beyond doubt.
Herd two_uncertain() {
  Herd h;
  h.ped = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 3, -1}, {5, 1, -1}, {6, 4, 5}};
  h.dinv = {1, 1, 1, 2, 2, 2};
  h.ms = {2, 1, 0.5, 2, 0.5, 2, 2, 0.4, 3, 0.6};
  return h;
}

void favour(model::State& s, int sire4, int sire5) {
  // The animal's value is half its dam plus half the favoured sire: the
  // other candidate is 40 units away.
  for (int l = 1; l <= 3; ++l) s.SOL(l) = 40.0 * l;
  s.SOL(4) = 0.5 * (s.SOL(3) + s.SOL(sire4));
  s.SOL(5) = 0.5 * (s.SOL(1) + s.SOL(sire5));
  s.SOL(6) = 0.0;
}

TEST(CandidateAinv, AveragedCandidatesThenDrawsThenUpdatesEqualARebuild) {
  model::State s;
  const Herd h = two_uncertain();
  setup(s, h);
  prob::set_seed(5);
  at_round(1, 1);
  eqtest::stdout_of([&] { sampler::add_g_aav(s, 1, 50); });
  // First cycle: no draw, the probability-weighted average of the sires.
  EXPECT_EQ(s.PED(1, 4, 3), -1);
  // Candidates 1 and 2 of animal 4 (0.5 each), dam 1 and candidate 2 (0.4)
  // of animal 5, both at DINV 2 and coefficients -1/2.
  EXPECT_NEAR(sparsem::get_sparse_hashm(1, 2, s.AINV(1)), 0.25 * 2 * 0.5 * 0.5 + 0.25 * 2 * 0.4, 1e-15);
  // Dam 3 and candidate 2 of animal 4; candidates 2 and 3 of animal 5.
  EXPECT_NEAR(sparsem::get_sparse_hashm(2, 3, s.AINV(1)), 0.25 * 2 * 0.5 + 0.25 * 2 * 0.4 * 0.6, 1e-15);

  favour(s, 1, 3);
  at_round(2, 1);
  sampler::add_g_aav(s, 1, 50);
  EXPECT_EQ(s.PED(1, 4, 3), 1);
  EXPECT_EQ(s.PED(1, 5, 3), 3);

  // A forced change of both sires, updated in place ...
  favour(s, 2, 2);
  at_round(3, 1);
  sampler::add_g_aav(s, 1, 50);
  ASSERT_EQ(s.PED(1, 4, 3), 2);
  ASSERT_EQ(s.PED(1, 5, 3), 2);
  const std::vector<double> updated = dense_of(s.AINV(1), 6);
  // ... equals the inverse built afresh from the drawn sires.
  model::State r;
  Herd known = h;
  known.ped[3][2] = 2;
  known.ped[4][2] = 2;
  setup(r, known);
  at_round(1, 1);
  eqtest::stdout_of([&] { sampler::add_g_aav(r, 1, 50); });
  const std::vector<double> rebuilt = dense_of(r.AINV(1), 6);
  for (int i = 0; i < 36; ++i) EXPECT_NEAR(updated[static_cast<std::size_t>(i)], rebuilt[static_cast<std::size_t>(i)], 1e-14) << i;
  // The former sire pair keeps its key at 0.
  EXPECT_GT(sparsem::hashvr_find(1, 3, s.AINV(1)), 0);
  EXPECT_NEAR(sparsem::get_sparse_hashm(1, 3, s.AINV(1)), 0.0, 1e-15);
}

TEST(CandidateAinv, SireFrequenciesMatchTheirClosedForm) {
  model::State s;
  Herd h;
  h.ped = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 0, 0}, {5, 4, -1}};
  h.dinv = {1, 1, 1, 1, 2};
  h.ms = {3, 1, 0.2, 2, 0.5, 3, 0.3};
  h.g = 0.5;
  setup(s, h);
  const double sol[] = {0.4, -0.3, 1.1, 0.2, 0.35};
  for (int l = 1; l <= 5; ++l) s.SOL(l) = sol[l - 1];
  // p_k proportional to prior_k exp(-DINV/2 * (a - (s_k + d)/2)^2 / g).
  double p[3], T = 0;
  for (int k = 0; k < 3; ++k) {
    const double d = sol[4] - 0.5 * (sol[k] + sol[3]);
    p[k] = h.ms[static_cast<std::size_t>(2 + 2 * k)] * std::exp(-1.0 * d * d / h.g);
    T += p[k];
  }
  prob::set_seed(2024);
  at_round(1, 1);
  eqtest::stdout_of([&] { sampler::add_g_aav(s, 1, 50); });
  const int draws = 6000;
  int count[3] = {0, 0, 0};
  for (int i = 0; i < draws; ++i) {
    at_round(2 + i, 1);
    sampler::add_g_aav(s, 1, 50);
    ++count[s.PED(1, 5, 3) - 1];
  }
  double chi2 = 0;
  for (int k = 0; k < 3; ++k) {
    const double e = draws * p[k] / T;
    chi2 += (count[k] - e) * (count[k] - e) / e;
  }
  EXPECT_LT(chi2, 13.8);  // 2 degrees of freedom, p = 0.001
  // Every kept cycle counted its sire.
  EXPECT_EQ(s.SUMMS(2) + s.SUMMS(4) + s.SUMMS(6), draws);
}

// ---------------------------------------------------------------------------

// Cycle 5 as the fifth of a chain and as the first of a run continued from
// the chain's store of cycle 4 (its sires and probabilities): the same
// draws from the same uniforms, the same sums and the same A^-1 (built
// whole in the continued run, updated in place in the chain).
TEST(CandidateSchedule, AContinuedRunDrawsInItsFirstCycleAsTheChainWould) {
  Herd h = two_uncertain();
  h.ms_alpha = 2.0f;
  h.max_msires = 2;
  model::State chain, continued;
  setup(chain, h);
  favour(chain, 1, 3);
  prob::set_seed(17);
  for (int round = 1; round <= 2; ++round) {
    at_round(round, 1);
    eqtest::stdout_of([&] { sampler::add_g_aav(chain, 1, 50); });
  }
  ASSERT_GE(chain.PED(1, 4, 3), 1);
  setup(continued, h);
  for (int an : {4, 5}) continued.PED(1, an, 3) = chain.PED(1, an, 3);
  for (int p = 1; p <= chain.MS.size(); ++p) continued.MS(p) = chain.MS(p);
  for (model::State* s : {&chain, &continued}) {
    favour(*s, 2, 2);
    s->SUMMS.fill(0.0);
    s->SSMS.fill(0.0);
  }
  std::uint64_t used[2];
  double next[2];
  int k = 0;
  for (auto [s, start] : {std::pair{&chain, 1}, std::pair{&continued, 5}}) {
    prob::set_seed(31);
    const std::uint64_t before = rangen::uniform_draws();
    at_round(5, start);
    eqtest::stdout_of([&] { sampler::add_g_aav(*s, 1, 50); });
    used[k] = rangen::uniform_draws() - before;
    next[k++] = prob::gen_uniform_real();
  }
  EXPECT_EQ(used[0], used[1]);
  EXPECT_GT(used[0], 2u);  // a uniform per sire, and the Dirichlet gammas
  EXPECT_EQ(next[0], next[1]);
  EXPECT_EQ(continued.PED(1, 4, 3), 2);
  EXPECT_EQ(continued.PED(1, 5, 3), 2);
  EXPECT_EQ(continued.PED(1, 4, 3), chain.PED(1, 4, 3));
  EXPECT_EQ(continued.PED(1, 5, 3), chain.PED(1, 5, 3));
  for (int p = 1; p <= chain.MS.size(); ++p) {
    EXPECT_EQ(continued.MS(p), chain.MS(p)) << p;
    EXPECT_EQ(continued.SUMMS(p), chain.SUMMS(p)) << p;  // the kept cycle counted
    EXPECT_EQ(continued.SSMS(p), chain.SSMS(p)) << p;
  }
  EXPECT_EQ(continued.SUMMS(4), 1.0);  // animal 4, candidate 2
  const std::vector<double> a = dense_of(chain.AINV(1), 6), b = dense_of(continued.AINV(1), 6);
  for (std::size_t i = 0; i < a.size(); ++i) EXPECT_NEAR(a[i], b[i], 1e-12) << i;
  EXPECT_EQ(continued.DF_RANDOM(1), 6);
}

TEST(CandidateSchedule, DirichletRedrawHasTheMeanOfItsShapes) {
  model::State s;
  Herd h = two_candidates();
  h.ms_alpha = 3.0f;
  h.max_msires = 2;
  setup(s, h);
  prob::set_seed(8);
  s.PED(1, 3, 3) = 2;  // the current sire takes the extra 1
  const int draws = 20000;
  double sum = 0, ss = 0;
  for (int i = 0; i < draws; ++i) {
    at_round(10 + i, 1);
    sampler::sample_sire_prob(s, 1, 3);
    ASSERT_NEAR(s.MS(3) + s.MS(5), 1.0, 1e-12);
    sum += s.MS(3);
    ss += s.MS(3) * s.MS(3);
  }
  // Beta(3, 4) for the first candidate: mean 3/7, variance 12 / (49 * 8).
  const double mean = sum / draws, var = ss / draws - mean * mean;
  EXPECT_NEAR(mean, 3.0 / 7.0, 4 * std::sqrt(12.0 / 392.0 / draws));
  EXPECT_NEAR(var, 12.0 / 392.0, 0.003);
  // In the first two cycles of a run every candidate gets the 1: Beta(4, 4).
  sum = 0;
  for (int i = 0; i < draws; ++i) {
    at_round(2, 1);
    sampler::sample_sire_prob(s, 1, 3);
    sum += s.MS(3);
  }
  EXPECT_NEAR(sum / draws, 0.5, 4 * std::sqrt(1.0 / 36.0 / draws));
}

TEST(CandidateAinv, QuadraticFormsOfGFollowTheDrawnSires) {
  model::State s;
  const Herd h = two_uncertain();
  setup(s, h);
  m.dbelief_g(1) = 0;
  prob::set_seed(6);
  sampler::DispersionWork w;
  auto form = [&](int round) {
    at_round(round, 1);
    eqtest::stdout_of([&] { sampler::add_g_aav(s, 1, 50); });
    sampler::sample_g(s, w);
    const std::vector<double> a = dense_of(s.AINV(1), 6);
    double q = 0;
    for (int i = 0; i < 6; ++i)
      for (int j = 0; j < 6; ++j) q += s.SOL(i + 1) * a[static_cast<std::size_t>(i + 6 * j)] * s.SOL(j + 1);
    EXPECT_NEAR(w.qform(1, 1, 1), q, 1e-9 * q) << "cycle " << round;
  };
  favour(s, 1, 3);
  form(1);
  form(2);
  // The values of A^-1 change in place with the sires.
  favour(s, 2, 2);
  form(3);
  ASSERT_EQ(s.PED(1, 4, 3), 2);
  // Back to the first sires: every key is in place already.
  favour(s, 1, 3);
  const std::int32_t filled = s.AINV(1).filled;
  form(4);
  ASSERT_EQ(s.PED(1, 4, 3), 1);
  EXPECT_EQ(s.AINV(1).filled, filled);
}

// ---------------------------------------------------------------------------

TEST(CandidateModel, StartUpRefusals) {
  struct Case {
    const char* what;
    std::vector<model::EffectType> types;
    int group_at, group_size, lenped, ngrp, pos1;
    const char* message;  // "" when accepted
  };
  constexpr model::EffectType RAM = model::EffectType::ram;
  const Case cases[] = {
      {"reduced model", {CRO, RAM}, 2, 1, 9, 0, 2, ""},
      {"two correlated ram effects", {RAM, RAM}, 1, 2, 9, 0, 2, ""},
      {"ram without a group", {CRO, RAM}, 0, 0, 9, 0, 2,
       "the \"ram\" effect 2 is not in an add_an_ms group whose first effect is a \"ram\" effect"},
      {"ram after a cross-classified first effect", {CRO, RAM}, 1, 2, 9, 0, 2,
       "the \"ram\" effect 2 is not in an add_an_ms group whose first effect"},
      {"animal column 0 for trait 1", {CRO, RAM}, 2, 1, 9, 0, 0,
       "the \"ram\" effect 2 has no data column for trait 1"},
      {"short pedigree", {CRO, RAM}, 2, 1, 3, 2, 2,
       "the pedigree of the add_an_ms group of effect 2 holds 3 lines, fewer than its 4 animals (levels less "
       "parent groups): animal 4 has no line"},
      {"groups make up for it", {CRO, RAM}, 2, 1, 3, 3, 2, ""},
  };
  for (const Case& c : cases) {
    new_model(1, c.types, {6, 6}, 1);
    m.pos_eff(1, 1) = 1;
    m.pos_eff(2, 1) = c.pos1;
    if (c.group_at > 0) {
      m.randomtype(c.group_at) = model::RandomType::add_an_ms;
      m.randomnumb(c.group_at) = c.group_size;
      m.lenped(c.group_at) = c.lenped;
      m.ngrp(c.group_at) = c.ngrp;
    }
    if (*c.message == '\0') {
      EXPECT_NO_THROW(sampler::check_candidate_model()) << c.what;
    } else {
      EXPECT_NE(stop_of([] { sampler::check_candidate_model(); }).find(c.message), std::string::npos)
          << c.what;
    }
  }
}

}  // namespace
