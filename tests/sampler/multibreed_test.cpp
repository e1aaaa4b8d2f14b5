// Multiple-breed groups: the per-animal W, its equations, the
// Metropolis-Hastings log ratio of a breed block against full densities, the
// prior as the target without animals, tuning, and the candidate-sire form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "dense/ginv1.hpp"
#include "dense/lapack.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "run/cycle.hpp"
#include "sampler/dispersion_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/multibreed.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/samplefiles.hpp"
#include "sparse/sparsem.hpp"

namespace {

using model::m;

struct PedLine {
  int a, dam, sire;
  std::vector<double> f;
};

// One multiple-breed group of one effect (type rt) with nt traits over the
// pedigree lines given, the last ngrp of them parent groups; G of order
// nt * nb from g0 (column-major).
void mb_model(model::State& s, int nt, model::RandomType rt, int nb, int ngrp,
              const std::vector<PedLine>& ped, const std::vector<double>& g0) {
  const int len = static_cast<int>(ped.size());
  eqtest::new_model(nt, {model::EffectType::cro}, {len}, 1);
  for (int t = 1; t <= nt; ++t) {
    m.pos_eff(1, t) = 1;
    m.pos_y(t) = 2;
  }
  m.randomtype(1) = rt;
  m.randomnumb(1) = 1;
  m.nbreed(1) = nb;
  m.lenped(1) = len;
  m.ngrp(1) = ngrp;
  m.dbelief_g(1) = 9;
  m.mb_nround = 1;
  m.mb_skip = 1;
  const int n = nt * nb;
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) m.g(1, i, j) = g0[static_cast<std::size_t>((i - 1) + (j - 1) * n)];
  eqtest::new_state(s);
  s.BREED.resize(1, len, nb);
  s.SUMMB_ACCEP.resize(1, nb, nb);
  s.MB_DBELIEF.resize(1, nb, nb);
  s.MB_DBELIEF.fill(20);
  for (int i = 1; i <= len; ++i) {
    const PedLine& p = ped[static_cast<std::size_t>(i - 1)];
    s.PED(1, i, 1) = p.a;
    s.PED(1, i, 2) = p.dam;
    s.PED(1, i, 3) = p.sire;
    for (int b = 1; b <= nb; ++b) s.BREED(1, i, b) = p.f[static_cast<std::size_t>(b - 1)];
  }
}

// Two breeds: purebred founders 1 (breed 1) and 2 (breed 2), F1 animals 3
// and 4 of dam 2 and sire 1, and their F2 offspring 5.
const std::vector<PedLine> two_breeds = {{1, 0, 0, {1, 0}},
                                         {2, 0, 0, {0, 1}},
                                         {3, 2, 1, {0.5, 0.5}},
                                         {4, 2, 1, {0.5, 0.5}},
                                         {5, 4, 3, {0.5, 0.5}}};
// G11 = 1, G22 = 2, G12 = 0.3.
const std::vector<double> g_two = {1, 0.3, 0.3, 2};

double animal_w(model::State& s, int a) {
  sampler::MbSlots sl;
  sampler::mb_slots(s, 1, a, false, sl);
  double G[400] = {}, w[400];
  for (int j = 1; j <= 20; ++j)
    for (int i = 1; i <= 20; ++i) G[(i - 1) + (j - 1) * 20] = m.g(1, i, j);
  const int d = m.ntrait * m.randomnumb(1);
  sampler::mb_animal_cov(s, 1, a, sl, false, G, d, w);
  return w[0];
}

class MbEquations : public testing::Test {
 protected:
  void TearDown() override { model::m = model::Model{}; }
};

TEST_F(MbEquations, HandComputedWOfTwoBreeds) {
  model::State s;
  mb_model(s, 1, model::RandomType::add_an_mb, 2, 0, two_breeds, g_two);
  const double want[] = {1, 2, 0.75, 0.75, 1.05};
  for (int a = 1; a <= 5; ++a) EXPECT_NEAR(animal_w(s, a), want[a - 1], 1e-15) << a;

  // Henderson's terms of every animal with the W above.
  double X[6][6] = {};
  const int par[6][2] = {{0, 0}, {0, 0}, {0, 0}, {2, 1}, {2, 1}, {4, 3}};
  for (int a = 1; a <= 5; ++a) {
    const int id[3] = {a, par[a][0], par[a][1]};
    const double c[3] = {1, -0.5, -0.5};
    for (int k1 = 0; k1 < 3; ++k1)
      for (int k2 = 0; k2 < 3; ++k2)
        if (id[k1] && id[k2]) X[id[k1]][id[k2]] += c[k1] * c[k2] / want[a - 1];
  }
  eqtest::stdout_of([&] { sampler::add_g_mb(s, 1, 50, 1); });
  for (int i = 1; i <= 5; ++i)
    for (int j = i; j <= 5; ++j)
      EXPECT_NEAR(sparsem::get_sparse_hashm(i, j, s.XX), X[i][j], 1e-12) << i << "," << j;
  // Animal 5 alone: its own 1/W, -1/(2W) with each parent, 1/(4W) between them.
  EXPECT_NEAR(sparsem::get_sparse_hashm(3, 4, s.XX), 0.25 / 1.05, 1e-12);
  EXPECT_NEAR(sparsem::get_sparse_hashm(5, 5, s.XX), 1 / 1.05, 1e-12);
  EXPECT_NEAR(sparsem::get_sparse_hashm(4, 5, s.XX), -0.5 / 1.05, 1e-12);
  EXPECT_EQ(s.DF_RANDOM(1), 5);
}

TEST_F(MbEquations, EdgeCasesOfW) {
  struct Case {
    const char* name;
    model::RandomType rt;
    int ngrp;
    std::vector<PedLine> ped;
    int animal;
    double w;
  };
  const std::vector<Case> cases = {
      // Purebred of purebred parents of its breed: half of G_bb.
      {"purebred",
       model::RandomType::add_an_mb,
       0,
       {{1, 0, 0, {0, 1}}, {2, 0, 0, {0, 1}}, {3, 1, 2, {0, 1}}},
       3,
       0.5 * 2},
      // Parents that are groups (numbered after the animals): no 0.25 or
      // grandparent terms; the segregation term uses the groups' fractions.
      {"groups",
       model::RandomType::add_an_mb,
       2,
       {{1, 2, 3, {0.75, 0.25}}, {2, 0, 0, {0.5, 0.5}}, {3, 0, 0, {1, 0}}},
       1,
       0.75 + 0.5 + 2 * 0.25 * 0.3},
      // A crossbred parent whose own parents are purebred: 0.5 G12 from it
      // and no grandparent terms.
      {"F1 parent",
       model::RandomType::add_an_mb,
       0,
       {{1, 0, 0, {1, 0}}, {2, 0, 0, {0, 1}}, {3, 2, 1, {0.5, 0.5}}, {4, 0, 3, {0.75, 0.25}}},
       4,
       0.75 + 0.5 - 0.25 * (0.5 + 1.0) + 0.5 * 0.3},
      // Crossbred grandparents: minus half their segregation terms.
      {"F2 parent",
       model::RandomType::add_an_mb,
       0,
       {{1, 0, 0, {0.5, 0.5}}, {2, 0, 0, {0.5, 0.5}}, {3, 2, 1, {0.5, 0.5}}, {4, 0, 3, {0.5, 0.5}}},
       4,
       1.5 - 0.25 * 1.5 + 0.15 - 0.5 * (0.25 * 0.3 + 0.25 * 0.3)},
      // Type 10: own fractions and the parents' segregation terms only.
      {"diag_mb", model::RandomType::diag_mb, 0, two_breeds, 5, 1.5 + 0.3},
  };
  for (const Case& c : cases) {
    model::State s;
    mb_model(s, 1, c.rt, 2, c.ngrp, c.ped, g_two);
    EXPECT_NEAR(animal_w(s, c.animal), c.w, 1e-14) << c.name;
  }
}

TEST_F(MbEquations, PurebredOfTwoTraitsIsHalfItsBreedBlock) {
  // Two traits, two breeds: G of order 4, breed 1 block [[2, 0.5], [0.5, 1]].
  model::State s;
  std::vector<double> g(16, 0.0);
  auto at = [&](int i, int j) -> double& { return g[static_cast<std::size_t>((i - 1) + (j - 1) * 4)]; };
  at(1, 1) = 2, at(1, 2) = at(2, 1) = 0.5, at(2, 2) = 1;
  at(3, 3) = 3, at(4, 4) = 4, at(1, 3) = at(3, 1) = 0.2, at(2, 4) = at(4, 2) = 0.1;
  mb_model(s, 2, model::RandomType::add_an_mb, 2, 0,
           {{1, 0, 0, {1, 0}}, {2, 0, 0, {1, 0}}, {3, 1, 2, {1, 0}}}, g);
  sampler::MbSlots sl;
  sampler::mb_slots(s, 1, 3, false, sl);
  double G[400] = {}, w[4];
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= 4; ++i) G[(i - 1) + (j - 1) * 20] = at(i, j);
  sampler::mb_animal_cov(s, 1, 3, sl, false, G, 2, w);
  EXPECT_DOUBLE_EQ(w[0], 1.0);
  EXPECT_DOUBLE_EQ(w[1], 0.25);
  EXPECT_DOUBLE_EQ(w[2], 0.25);
  EXPECT_DOUBLE_EQ(w[3], 0.5);
}

TEST_F(MbEquations, KeptTermsGiveTheBuildersWAsSiresChange) {
  // Three breeds, two traits, a parent group (line 9), an animal whose sire
  // is drawn (5: candidates 1 and 4) and one whose candidates stay weighted
  // (7: candidates 5 and 6, above max_msires).
  const std::vector<PedLine> ped = {{1, 0, 0, {1, 0, 0}},         {2, 0, 0, {0, 1, 0}},
                                    {3, 0, 0, {0, 0, 1}},         {4, 2, 1, {0.5, 0.5, 0}},
                                    {5, 3, -1, {0.25, 0.25, 0.5}}, {6, 5, 4, {0.375, 0.375, 0.25}},
                                    {7, 4, -1, {0.4, 0.4, 0.2}},  {8, 9, 6, {0.5, 0.3, 0.2}},
                                    {9, 0, 0, {0.2, 0.3, 0.5}}};
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> U(-1, 1);
  std::vector<double> g(36);
  for (int j = 0; j < 6; ++j)
    for (int i = 0; i <= j; ++i) g[static_cast<std::size_t>(i + 6 * j)] = g[static_cast<std::size_t>(j + 6 * i)] = U(gen) + (i == j ? 3 : 0);
  for (model::RandomType rt : {model::RandomType::add_an_mb, model::RandomType::diag_mb}) {
    model::State s;
    mb_model(s, 2, rt, 3, 1, ped, g);
    m.max_msires = 2;
    s.MS.resize(10);
    const double ms[] = {2, 1, 0.3, 4, 0.7, 2, 5, 0.4, 6, 0.6};
    for (int i = 1; i <= 10; ++i) s.MS(i) = ms[i - 1];
    s.P_MS(5) = 1;
    s.MS_STAT(5) = 1;
    s.P_MS(7) = 6;
    double G[400] = {};
    for (int j = 1; j <= 6; ++j)
      for (int i = 1; i <= 6; ++i) G[(i - 1) + (j - 1) * 20] = m.g(1, i, j);
    for (int sire5 : {-1, 4, 1, 4}) {
      s.PED(1, 5, 3) = sire5;
      for (int a = 1; a <= 8; ++a) {
        sampler::MbSlots sl;
        sampler::mb_slots(s, 1, a, true, sl);
        double want[4], got[4];
        sampler::mb_animal_cov(s, 1, a, sl, true, G, 2, want);
        sampler::mb_kept_cov(s, 1, 2, a, G, got);
        for (int k = 0; k < 4; ++k)
          EXPECT_EQ(got[k], want[k])
              << "type " << model::word(rt) << " sire of 5 " << sire5 << " animal " << a;
      }
    }
  }
  // The two F1 animals of the two-breed pedigree share their W.
  model::State s;
  mb_model(s, 1, model::RandomType::add_an_mb, 2, 0, two_breeds, g_two);
  EXPECT_EQ(sampler::mb_shared_animals(s, 1, 1), 1);
}

TEST_F(MbEquations, EveryAnimalWhoseWIsRepairedIsReported) {
  // Two traits, breed 1's block [[1, 2], [2, 1]] not positive definite: the
  // four purebreds (W = G11 for the founders, G11 / 2 for 3 and 4) are each
  // repaired and reported, and enter with the repaired W's inverse.
  model::State s;
  std::vector<double> g(16, 0.0);
  auto at = [&](int i, int j) -> double& { return g[static_cast<std::size_t>((i - 1) + (j - 1) * 4)]; };
  at(1, 1) = at(2, 2) = 1, at(1, 2) = at(2, 1) = 2, at(3, 3) = at(4, 4) = 1;
  mb_model(s, 2, model::RandomType::add_an_mb, 2, 0,
           {{1, 0, 0, {1, 0}}, {2, 0, 0, {1, 0}}, {3, 2, 1, {1, 0}}, {4, 2, 1, {1, 0}}}, g);
  const std::string out = eqtest::stdout_of([&] { sampler::add_g_mb(s, 1, 50, 2); });
  EXPECT_EQ(out, " winv add_g_mb\n winv add_g_mb\n winv add_g_mb\n winv add_g_mb\n  read  4  additive pedigrees\n");
  double w[4] = {0.5, 1, 1, 0.5};
  (void)eqtest::stdout_of([&] { (void)denseop::pos_def(w, 2, 2, "x", 1e-4); });
  int rank = 0;
  denseop::ginv1(w, 2, 2, 1e-18, rank);
  // Animal 4, traits 1 and 2: its own W^-1 alone.
  EXPECT_EQ(sparsem::get_sparse_hashm(7, 7, s.XX), w[0]);
  EXPECT_EQ(sparsem::get_sparse_hashm(7, 8, s.XX), w[2]);
}

TEST_F(MbEquations, DiagonalTypeTouchesOnlyTheAnimalsOwnEquations) {
  model::State s;
  mb_model(s, 1, model::RandomType::diag_mb, 2, 0, two_breeds, g_two);
  eqtest::stdout_of([&] { sampler::add_g_mb(s, 1, 50, 1); });
  const double w[] = {1, 2, 1.5, 1.5, 1.8};
  for (int i = 1; i <= 5; ++i) {
    EXPECT_NEAR(sparsem::get_sparse_hashm(i, i, s.XX), 1 / w[i - 1], 1e-12) << i;
    for (int j = i + 1; j <= 5; ++j) EXPECT_EQ(sparsem::get_sparse_hashm(i, j, s.XX), 0.0) << i << j;
  }
}

TEST_F(MbEquations, CandidateSiresEnterWithTheirProbabilities) {
  // Animal 5 without a dam and with candidates 3 (0.3) and 4 (0.7).
  model::State s;
  std::vector<PedLine> ped = two_breeds;
  ped[4] = {5, 0, -1, {0.5, 0.5}};
  mb_model(s, 1, model::RandomType::add_an_mb, 2, 0, ped, g_two);
  s.MS.resize(5);
  const double ms[] = {2, 3, 0.3, 4, 0.7};
  for (int i = 1; i <= 5; ++i) s.MS(i) = ms[i - 1];
  s.P_MS(5) = 1;
  s.MS_STAT(5) = 1;
  // W = 1.5 - 0.25 (0.3 + 0.7)(0.5 + 1) + 2 (0.3 + 0.7) 0.25 * 0.3.
  const double W = 1.5 - 0.375 + 0.15;
  eqtest::stdout_of([&] { sampler::add_g_mbs(s, 1, 50, 1); });
  EXPECT_NEAR(sparsem::get_sparse_hashm(3, 5, s.XX), -0.5 * 0.3 / W, 1e-12);
  EXPECT_NEAR(sparsem::get_sparse_hashm(4, 5, s.XX), -0.5 * 0.7 / W, 1e-12);
  EXPECT_NEAR(sparsem::get_sparse_hashm(3, 4, s.XX), 0.25 * 0.3 * 0.7 / W, 1e-12);
  EXPECT_NEAR(sparsem::get_sparse_hashm(5, 5, s.XX), 1 / W, 1e-12);
}

TEST_F(MbEquations, OnlyAOneBreedAdditiveGroupIsInvertedForTheAdditiveRules) {
  struct Case {
    model::RandomType rt;
    int nb, msires;
    double ginv11;
  };
  const Case cases[] = {{model::RandomType::add_an_mb, 1, 0, 0.5},
                        {model::RandomType::add_an_mb, 1, 2, 2.0},
                        {model::RandomType::add_an_mb, 2, 0, 2.0},
                        {model::RandomType::diag_mb, 1, 0, 2.0}};
  for (const Case& c : cases) {
    model::State s;
    mb_model(s, 1, c.rt, c.nb, 0, {{1, 0, 0, {1, 0}}, {2, 0, 0, {1, 0}}},
             c.nb == 1 ? std::vector<double>{2.0} : std::vector<double>{2.0, 0.0, 0.0, 1.0});
    m.max_msires = c.msires;
    run::invert_group_blocks();
    EXPECT_NEAR(m.ginv(1, 1, 1), c.ginv11, 1e-14)
        << model::word(c.rt) << " " << c.nb << " " << c.msires;
  }
}

TEST_F(MbEquations, OneBreedDiagonalGroupGetsGInverseOnItsOwnEquations) {
  // Both animals of breed 1 with G = 2: 1/2 on each diagonal, nothing between
  // the animal and its parent.
  model::State s;
  mb_model(s, 1, model::RandomType::diag_mb, 1, 0, {{1, 0, 0, {1}}, {2, 1, 0, {1}}}, {2.0});
  eqtest::stdout_of([&] { sampler::add_g_mb(s, 1, 50, 1); });
  EXPECT_DOUBLE_EQ(sparsem::get_sparse_hashm(1, 1, s.XX), 0.5);
  EXPECT_DOUBLE_EQ(sparsem::get_sparse_hashm(2, 2, s.XX), 0.5);
  EXPECT_EQ(sparsem::get_sparse_hashm(1, 2, s.XX), 0.0);
}

// ---------------------------------------------------------------------------
// The Metropolis-Hastings step.

// Dense helpers of the independent computation (column-major, order n).
double logdet(std::vector<double> a, int n) {
  std::vector<double> w(static_cast<std::size_t>(n));
  int lwork = 64 * n, info = 0;
  std::vector<double> work(static_cast<std::size_t>(lwork));
  dsyev_("N", "U", &n, a.data(), &n, w.data(), work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  double l = 0;
  for (double x : w) l += std::log(x);
  return l;
}
std::vector<double> inverse(std::vector<double> a, int n) {
  std::vector<double> b(static_cast<std::size_t>(n * n), 0.0);
  for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i + i * n)] = 1.0;
  std::vector<int> ipiv(static_cast<std::size_t>(n));
  int info = 0;
  dgesv_(&n, &n, a.data(), &n, ipiv.data(), b.data(), &n, &info);
  EXPECT_EQ(info, 0);
  return b;
}
double trace_prod(const std::vector<double>& a, const std::vector<double>& b, int n) {
  double t = 0;
  for (int i = 0; i < n; ++i)
    for (int k = 0; k < n; ++k) t += a[static_cast<std::size_t>(i + k * n)] * b[static_cast<std::size_t>(k + i * n)];
  return t;
}
// ln of the inverse-Wishart density of X with nu degrees of freedom and scale S.
double log_iw(const std::vector<double>& X, int nu, const std::vector<double>& S, int d) {
  double lgd = 0.25 * d * (d - 1) * std::log(M_PI);
  for (int j = 1; j <= d; ++j) lgd += std::lgamma(0.5 * (nu + 1 - j));
  return 0.5 * nu * logdet(S, d) - 0.5 * nu * d * std::log(2.0) - lgd -
         0.5 * (nu + d + 1) * logdet(X, d) - 0.5 * trace_prod(S, inverse(X, d), d);
}
double log_normal(const std::vector<double>& u, const std::vector<double>& V, int d) {
  const std::vector<double> Vi = inverse(V, d);
  double q = 0;
  for (int i = 0; i < d; ++i)
    for (int j = 0; j < d; ++j) q += u[static_cast<std::size_t>(i)] * u[static_cast<std::size_t>(j)] * Vi[static_cast<std::size_t>(i + j * d)];
  return -0.5 * d * std::log(2 * M_PI) - 0.5 * logdet(V, d) - 0.5 * q;
}

std::vector<double> random_pd(std::mt19937& gen, int n) {
  std::uniform_real_distribution<double> U(-1, 1);
  std::vector<double> a(static_cast<std::size_t>(n * n)), x(static_cast<std::size_t>(n * n), 0.0);
  for (double& v : a) v = U(gen);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      double t = i == j ? 0.5 : 0.0;
      for (int k = 0; k < n; ++k) t += a[static_cast<std::size_t>(i + k * n)] * a[static_cast<std::size_t>(j + k * n)];
      x[static_cast<std::size_t>(i + j * n)] = t;
    }
  return x;
}

TEST_F(MbEquations, LogRatioAgreesWithFullDensities) {
  const int nt = 2, nb = 2, d = 2, n = 4;
  const std::vector<PedLine> ped = {{1, 0, 0, {1, 0}},        {2, 0, 0, {0, 1}},
                                    {3, 2, 1, {0.5, 0.5}},    {4, 1, 3, {0.75, 0.25}},
                                    {5, 4, 3, {0.625, 0.375}}, {6, 0, 5, {0.3125, 0.6875}}};
  for (model::RandomType rt : {model::RandomType::add_an_mb, model::RandomType::diag_mb})
    for (auto [b1, b2] : {std::pair{1, 1}, std::pair{1, 2}, std::pair{2, 2}}) {
      std::mt19937 gen(static_cast<unsigned>(static_cast<int>(rt) * 10 + b1 * 3 + b2));
      // Block (b1, b2) of the whole matrix, from the three breed blocks.
      std::vector<std::vector<double>> blk = {random_pd(gen, d), random_pd(gen, d), random_pd(gen, d)};
      std::vector<std::vector<double>> orig = {random_pd(gen, d), random_pd(gen, d), random_pd(gen, d)};
      auto idx = [](int x, int y) { return x == y ? (x == 1 ? 0 : 2) : 1; };
      auto whole = [&](const std::vector<std::vector<double>>& B) {
        std::vector<double> g(static_cast<std::size_t>(n * n));
        for (int x = 1; x <= nb; ++x)
          for (int y = 1; y <= nb; ++y)
            for (int j = 0; j < d; ++j)
              for (int i = 0; i < d; ++i)
                g[static_cast<std::size_t>((x - 1) * d + i + ((y - 1) * d + j) * n)] =
                    B[static_cast<std::size_t>(idx(x, y))][static_cast<std::size_t>(i + j * d)];
        return g;
      };
      model::State s;
      mb_model(s, nt, rt, nb, 0, ped, whole(orig));
      s.ORIG_G = m.g;
      const std::vector<double> g = whole(blk);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) m.g(1, i, j) = g[static_cast<std::size_t>((i - 1) + (j - 1) * n)];
      m.dbelief_g(1) = 9;
      const int nu = 12, nu0 = 9;
      std::uniform_real_distribution<double> U(-2, 2);
      for (int i = 1; i <= s.neq; ++i) s.SOL(i) = U(gen);
      const std::vector<double> prop = random_pd(gen, d);
      double C[400] = {};
      for (int j = 1; j <= 20; ++j)
        for (int i = 1; i <= 20; ++i) C[(i - 1) + (j - 1) * 20] = m.g(1, i, j);
      for (int j = 0; j < d; ++j)
        for (int i = 0; i < d; ++i) C[(b1 - 1) * d + i + ((b2 - 1) * d + j) * 20] = prop[static_cast<std::size_t>(i + j * d)];
      const double got = sampler::mb_log_ratio(s, 1, d, b1, b2, nu, C, false);

      // Independent: Gaussian densities of the deviations under each matrix.
      auto Ma = [&](const std::vector<std::vector<double>>& B, int a) {
        auto f = [&](int x, int b) { return ped[static_cast<std::size_t>(x - 1)].f[static_cast<std::size_t>(b - 1)]; };
        std::vector<double> M(static_cast<std::size_t>(d * d), 0.0);
        auto add = [&](double c, int x, int y) {
          for (int k = 0; k < d * d; ++k) M[static_cast<std::size_t>(k)] += c * B[static_cast<std::size_t>(idx(x, y))][static_cast<std::size_t>(k)];
        };
        const PedLine& p = ped[static_cast<std::size_t>(a - 1)];
        const int par[2] = {p.dam, p.sire};
        for (int b = 1; b <= nb; ++b) add(f(a, b), b, b);
        add(2 * (f(par[0] ? par[0] : 1, 1) * f(par[0] ? par[0] : 1, 2)) * (par[0] > 0), 1, 2);
        add(2 * (f(par[1] ? par[1] : 1, 1) * f(par[1] ? par[1] : 1, 2)) * (par[1] > 0), 1, 2);
        if (rt == model::RandomType::add_an_mb)
          for (int q : par) {
            if (q <= 0) continue;
            for (int b = 1; b <= nb; ++b) add(-0.25 * f(q, b), b, b);
            const PedLine& pq = ped[static_cast<std::size_t>(q - 1)];
            for (int r : {pq.dam, pq.sire})
              if (r > 0) add(-0.5 * f(r, 1) * f(r, 2), 1, 2);
          }
        return M;
      };
      auto newblk = blk;
      newblk[static_cast<std::size_t>(idx(b1, b2))] = prop;
      double want = 0;
      for (int a = 1; a <= 6; ++a) {
        const PedLine& p = ped[static_cast<std::size_t>(a - 1)];
        std::vector<double> u(static_cast<std::size_t>(d));
        for (int t = 1; t <= nt; ++t) {
          double x = s.SOL((a - 1) * nt + t);
          if (rt == model::RandomType::add_an_mb)
            for (int q : {p.dam, p.sire})
              if (q > 0) x -= 0.5 * s.SOL((q - 1) * nt + t);
          u[static_cast<std::size_t>(t - 1)] = x;
        }
        want += log_normal(u, Ma(newblk, a), d) - log_normal(u, Ma(blk, a), d);
      }
      const std::vector<double>& G0 = blk[static_cast<std::size_t>(idx(b1, b2))];
      const std::vector<double>& O = orig[static_cast<std::size_t>(idx(b1, b2))];
      auto scaled = [&](const std::vector<double>& x, double c) {
        std::vector<double> y = x;
        for (double& v : y) v *= c;
        return y;
      };
      want += log_iw(prop, nu0, scaled(O, nu0 - d - 1), d) - log_iw(G0, nu0, scaled(O, nu0 - d - 1), d);
      want += log_iw(G0, nu, scaled(prop, nu - d - 1), d) - log_iw(prop, nu, scaled(G0, nu - d - 1), d);
      EXPECT_NEAR(got, want, 1e-10) << "type " << model::word(rt) << " pair " << b1 << b2;
    }
}

class MbSampling : public disptest::InFolder {};

TEST_F(MbSampling, WithoutAnimalsTheChainSamplesThePrior) {
  // d = 1, prior mean O = 2 with nu0 = 10: inverse gamma of mean 2 and
  // variance 4/3.  One line, a parent group: no animal.
  model::State s;
  mb_model(s, 1, model::RandomType::add_an_mb, 1, 1, {{1, 0, 0, {1}}}, {2.0});
  m.dbelief_g(1) = 10;
  s.MB_DBELIEF.fill(8);
  disptest::cycle(1, 100000, 0, 1);
  prob::set_seed(11);
  const int n = 60000;
  double S = 0, SS = 0;
  for (int i = 0; i < n; ++i) {
    sampler::sample_mb_g(s, 1, 1);
    const double x = m.g(1, 1, 1);
    S += x;
    SS += x * x;
  }
  const double mean = S / n, var = SS / n - mean * mean;
  EXPECT_NEAR(mean, 2.0, 0.04);
  EXPECT_NEAR(var, 4.0 / 3.0, 0.15);
  // The acceptance sum of the kept cycles.
  EXPECT_GT(s.SUMMB_ACCEP(1, 1, 1), 0.3 * n);
}

TEST_F(MbSampling, CandidateFormWithoutCandidatesGivesTheSameChain) {
  const std::vector<double> g = {1, 0.2, 0.3, 0.1, 0.2, 1.5, 0.1, 0.2, 0.3, 0.1, 2, 0.4, 0.1, 0.2, 0.4, 1};
  model::State s1, s2;
  for (model::State* s : {&s1, &s2}) {
    mb_model(*s, 2, model::RandomType::add_an_mb, 2, 0, two_breeds, g);
    for (int i = 1; i <= s->neq; ++i) s->SOL(i) = std::sin(3.0 * i);
  }
  const model::Model m0 = m;
  m.mb_nround = 2;
  m.mb_skip = 2;
  disptest::cycle(4, 100, 20, 1);
  sampler::open_new(sampler::sample_files(s1));
  prob::set_seed(5);
  sampler::sample_mb_g(s1, 1, 2);
  const double next1 = prob::gen_uniform_real();
  const model::Model after = m;
  m.g = m0.g;
  prob::set_seed(5);
  sampler::sample_mbs_g(s2, 1, 50, 2);
  const double next2 = prob::gen_uniform_real();
  EXPECT_EQ(next1, next2);
  for (int j = 1; j <= 20; ++j)
    for (int i = 1; i <= 20; ++i) EXPECT_EQ(after.g(1, i, j), m.g(1, i, j)) << i << "," << j;
  for (int b1 = 1; b1 <= 2; ++b1)
    for (int b2 = b1; b2 <= 2; ++b2) {
      EXPECT_EQ(s1.MB_DBELIEF(1, b1, b2), s2.MB_DBELIEF(1, b1, b2));
      EXPECT_EQ(s1.SUMMB_ACCEP(1, b1, b2), s2.SUMMB_ACCEP(1, b1, b2));
    }
  // Symmetric again after the off-diagonal steps.
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(m.g(1, i, j), m.g(1, j, i));
}

TEST_F(MbSampling, ZeroBlockStaysZeroAndItsBeliefShrinksToTheFloor) {
  // G12 = 0: always accepted, rate 1 at every window of 1 cycle.
  model::State s;
  mb_model(s, 1, model::RandomType::add_an_mb, 2, 0, two_breeds, {1, 0, 0, 2});
  for (int i = 1; i <= s.neq; ++i) s.SOL(i) = 0.1 * i;
  s.MB_DBELIEF.fill(10);
  sampler::open_new(sampler::sample_files(s));
  prob::set_seed(9);
  int want = 10;
  for (int round = 1; round <= 8; ++round) {
    disptest::cycle(round, 100, 20, 1);
    sampler::sample_mb_g(s, 1, 1);
    want = std::max(static_cast<int>(static_cast<float>(want) * 0.9f), 1 + 4);
    EXPECT_EQ(s.MB_DBELIEF(1, 1, 2), want) << round;
    EXPECT_EQ(m.g(1, 1, 2), 0.0);
    EXPECT_EQ(m.g(1, 2, 1), 0.0);
    EXPECT_EQ(s.SUMMB_ACCEP(1, 1, 2), 0.0);
  }
  sampler::close(sampler::sample_files(s));
  // One line per pair and tuning cycle, pairs in order.
  const auto lines = file_lines("mh_dbeliefchg");
  ASSERT_EQ(lines.size(), 24u);
  EXPECT_EQ(std::stoi(lines[1]), 9);
  EXPECT_EQ(std::stoi(lines[22]), 5);
}

TEST_F(MbSampling, NoRoundsDrawNothing) {
  model::State s;
  mb_model(s, 1, model::RandomType::add_an_mb, 2, 0, two_breeds, g_two);
  m.mb_nround = 0;
  prob::set_seed(4);
  const double first = prob::gen_uniform_real();
  prob::set_seed(4);
  sampler::sample_mb_g(s, 1, 1);
  EXPECT_EQ(prob::gen_uniform_real(), first);
  EXPECT_EQ(m.g(1, 1, 2), 0.3);
  EXPECT_EQ(s.MB_DBELIEF(1, 1, 1), 20);
}

TEST_F(MbSampling, SampledSireIsDrawnOncePerCycleAndPrinted) {
  model::State s;
  std::vector<PedLine> ped = two_breeds;
  ped[4] = {5, 0, -1, {0.5, 0.5}};
  mb_model(s, 1, model::RandomType::add_an_mb, 2, 0, ped, g_two);
  s.MS.resize(5);
  s.SUMMS.resize(5);
  const double ms[] = {2, 3, 0.3, 4, 0.7};
  for (int i = 1; i <= 5; ++i) s.MS(i) = ms[i - 1];
  s.P_MS(5) = 1;
  s.MS_STAT(5) = 1;
  m.max_msires = 2;
  m.mb_nround = 3;
  for (int i = 1; i <= s.neq; ++i) s.SOL(i) = 0.2 * i;
  disptest::cycle(30, 100, 20, 1);
  prob::set_seed(21);
  const std::string out = eqtest::stdout_of([&] { sampler::sample_mbs_g(s, 1, 50, 1); });
  // One line: the animal, two zeros, the two probabilities, 48 zeros.
  ASSERT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(out.rfind(" 5 0 0 ", 0), 0u) << out;
  const int sire = s.PED(1, 5, 3);
  EXPECT_TRUE(sire == 3 || sire == 4) << sire;
  EXPECT_EQ(s.SUMMS(1 + 2 * (sire - 2) - 1), 1.0);  // a kept cycle
  for (int k = 1; k <= 52; ++k) EXPECT_EQ(s.PROBS(k), 1.0);
}

// ---------------------------------------------------------------------------
// Tuning and the start-up floor of the proposal degrees of belief.

TEST(MbTuning, WindowRatesAndTheFloor) {
  struct Case {
    double rate;
    int nu, floor, want;
  };
  const Case cases[] = {
      {3.0 / 5.0, 20, 5, 20},  // 0.6 in 64 bits is below the 32-bit threshold
      {1.0 / 5.0, 20, 5, 22},  // 0.2 in 64 bits is below the 32-bit 0.2: raised
      {1.0, 20, 5, 18},
      {0.4, 6, 5, 6},          // nu - d = 5 stays
      {1.0, 6, 5, 5},          // 5.4 truncated, at the floor d + 4
      {1.0, 7, 6, 6},          // below d + 4 comes back to it
  };
  for (const Case& c : cases) EXPECT_EQ(sampler::tune_dbelief(c.rate, c.nu, c.floor), c.want) << c.rate << " " << c.nu;
}

TEST(MbTuning, BeliefsAtOrBelowOrderPlusOneAreRaised) {
  model::State s;
  mb_model(s, 2, model::RandomType::add_an_mb, 2, 0, two_breeds, std::vector<double>(16, 0.0));
  s.MB_DBELIEF.fill(3);
  s.MB_DBELIEF(1, 2, 2) = 4;
  const std::string out = eqtest::stdout_of([&] { sampler::check_mb_dbelief(s); });
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
  EXPECT_EQ(s.MB_DBELIEF(1, 1, 1), 6);
  EXPECT_EQ(s.MB_DBELIEF(1, 1, 2), 6);
  EXPECT_EQ(s.MB_DBELIEF(1, 2, 2), 4);
  EXPECT_EQ(eqtest::stdout_of([&] { sampler::check_mb_dbelief(s); }), "");
  model::m = model::Model{};
}

}  // namespace
