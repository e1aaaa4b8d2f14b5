// Relationship contributions: each A^-1 against the dense inverse of the
// relationship matrix built by the tabular method, the G^-1 (x) A^-1
// placement, degrees of freedom, the worked values, and the exact order of
// additions (hash layout and sums) of the first and of later cycles.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dense/lapack.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/relationship.hpp"
#include "sparse/sparsem.hpp"
#include "util/stop.hpp"

namespace {

model::Model& M = model::m;

// A pedigree line: three ids and, for types 4 and 5, the fourth integer.
struct Line {
  int p1, p2, p3, code = 0;
};

std::string stop_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const util::Stop& s) {
    return s.what();
  }
  return "<no stop>";
}

std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (...) {
    std::fflush(stdout);
    testing::internal::GetCapturedStdout();
    throw;
  }
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Square dense matrix, 1-based, column-major (the layout dgesv takes).
struct Mat {
  int n = 0;
  std::vector<double> x;
  explicit Mat(int order) : n(order), x(static_cast<std::size_t>(order) * order, 0.0) {}
  double& operator()(int i, int j) { return x[static_cast<std::size_t>((j - 1) * n + (i - 1))]; }
  double operator()(int i, int j) const { return x[static_cast<std::size_t>((j - 1) * n + (i - 1))]; }
};

Mat dense(const sparsem::sparse_hashm& A) {
  Mat d(A.n);
  for (long k = 1; k <= A.nel; ++k) {
    const sparsem::hash_slot& s = A.x(k);
    if (s.row == 0) continue;
    d(s.row, s.col) = s.val;
    d(s.col, s.row) = s.val;
  }
  return d;
}

Mat inverse(const Mat& a) {
  Mat work = a, inv(a.n);
  for (int i = 1; i <= a.n; ++i) inv(i, i) = 1.0;
  std::vector<int> ipiv(static_cast<std::size_t>(a.n));
  int info = 0;
  dgesv_(&a.n, &a.n, work.x.data(), &a.n, ipiv.data(), inv.x.data(), &a.n, &info);
  EXPECT_EQ(info, 0);
  return inv;
}

// Largest |a - b| over all elements.
double max_diff(const Mat& a, const Mat& b) {
  double d = 0;
  for (std::size_t k = 0; k < a.x.size(); ++k) d = std::max(d, std::abs(a.x[k] - b.x[k]));
  return d;
}

// Tabular relationship matrix of an animal pedigree; parents precede progeny
// (sire(i), dam(i) < i, 0 unknown).
Mat tabular_animal(const std::vector<std::pair<int, int>>& par) {
  const int n = static_cast<int>(par.size());
  Mat a(n);
  for (int i = 1; i <= n; ++i) {
    const auto [s, d] = par[static_cast<std::size_t>(i - 1)];
    for (int j = 1; j < i; ++j) {
      const double v = 0.5 * ((s ? a(j, s) : 0.0) + (d ? a(j, d) : 0.0));
      a(i, j) = a(j, i) = v;
    }
    a(i, i) = 1.0 + (s && d ? 0.5 * a(s, d) : 0.0);
  }
  return a;
}

// Equation of effect e, level l, trait t.
int eq(int e, int l, int t) {
  int before = 0;
  for (int f = 1; f < e; ++f) before += M.nlev(f);
  return (before + l - 1) * M.ntrait + t;
}

// Model of ntrait traits and effects with the given levels; every effect
// has data for every trait; cycle 1 of a fresh run.
void model_for(int ntrait, const std::vector<int>& nlev) {
  M = model::Model{};
  M.ntrait = ntrait;
  M.neff = static_cast<int>(nlev.size());
  const int nf = M.neff;
  M.nlev.resize(nf);
  for (int e = 1; e <= nf; ++e) M.nlev(e) = nlev[static_cast<std::size_t>(e - 1)];
  M.pos_eff.resize(nf, ntrait);
  M.pos_eff.fill(1);
  M.randomtype.resize(nf);
  M.randomtype.fill(model::RandomType::none);
  M.randomnumb.resize(nf);
  M.lenped.resize(nf);
  M.ngrp.resize(nf);
  M.g.resize(nf, model::maxcorr, model::maxcorr);
  M.ginv.resize(nf, model::maxcorr, model::maxcorr);
  M.start = M.round = 1;
}

// Random group at effect e with q effects and the given pedigree.
void group(model::State& s, int e, model::RandomType type, int q, const std::vector<Line>& ped) {
  M.randomtype(e) = type;
  M.randomnumb(e) = q;
  M.lenped(e) = static_cast<int>(ped.size());
  int lp = 1;
  for (int f = 1; f <= M.neff; ++f) lp = std::max(lp, M.lenped(f));
  if (s.PED.extent2() < lp) {
    util::arr3<int> old = s.PED;
    s.PED.resize(M.neff, lp, 3);
    for (int f = 1; f <= old.extent1(); ++f)
      for (int i = 1; i <= old.extent2(); ++i)
        for (int k = 1; k <= 3; ++k) s.PED(f, i, k) = old(f, i, k);
    util::mat1<int> oldc = s.PED_CODE;
    s.PED_CODE.resize(M.neff, lp);
    for (int f = 1; f <= oldc.rows(); ++f)
      for (int i = 1; i <= oldc.cols(); ++i) s.PED_CODE(f, i) = oldc(f, i);
  }
  for (std::size_t i = 0; i < ped.size(); ++i) {
    const int line = static_cast<int>(i) + 1;
    s.PED(e, line, 1) = ped[i].p1;
    s.PED(e, line, 2) = ped[i].p2;
    s.PED(e, line, 3) = ped[i].p3;
    s.PED_CODE(e, line) = ped[i].code;
  }
}

// Empty equations and relationship stores for the model.
void state_for(model::State& s, int table = 0) {
  s.neq = 0;
  for (int e = 1; e <= M.neff; ++e) s.neq += M.nlev(e) * M.ntrait;
  if (table > 0)
    sparsem::zero_sparse_hashm(s.XX, s.neq, table);
  else
    sparsem::zero_sparse_hashm(s.XX, s.neq);
  s.AINV.resize(M.neff);
  s.AINV_IJA.resize(M.neff);
  s.DF_RANDOM.resize(M.neff);
  s.PED.resize(M.neff, 1, 3);
  s.PED_CODE.resize(M.neff, 1);
}

// A^-1 of a single-trait, single-effect group (g = 1) from one call.
Mat ainv_of(model::RandomType type, int nlev, const std::vector<Line>& ped, int ngrp = 0) {
  model_for(1, {nlev});
  M.ngrp(1) = ngrp;
  M.ginv(1, 1, 1) = 1.0;
  model::State s;
  state_for(s);
  group(s, 1, type, 1, ped);
  sampler::RelationshipTerms terms;
  captured([&] { sampler::add_g_add(s, type, 1, terms); });
  const Mat a = dense(s.AINV(1));
  // With G^-1 = 1 the equations hold A^-1 itself.
  EXPECT_EQ(max_diff(a, dense(s.XX)), 0.0);
  return a;
}

const double r43 = 1.3333333730697632;
const double r1611 = 1.454545497894287;
const double r1615 = 1.0666667222976685;

// ---------------------------------------------------------------------------

TEST(RelationshipWorked, AnimalModelMultipliers) {
  // Animal 3 with both parents, 4 with one, 5 with none; g = 2.5.
  model_for(1, {5});
  M.ginv(1, 1, 1) = 2.5;
  model::State s;
  state_for(s);
  group(s, 1, model::RandomType::add_animal, 1, {{3, 1, 2}, {4, 0, 1}, {5, 0, 0}});
  sampler::RelationshipTerms terms;
  const std::string out =
      captured([&] { sampler::add_g_add(s, model::RandomType::add_animal, 1, terms); });
  EXPECT_EQ(out, "  read  3  additive pedigrees\n");
  const double g = 2.5;
  const Mat x = dense(s.XX);
  EXPECT_EQ(x(3, 3), 2 * g);
  EXPECT_EQ(x(1, 1), 0.5 * g + r43 * 0.25 * g);
  EXPECT_EQ(x(2, 2), 0.5 * g);
  EXPECT_EQ(x(1, 3), -g);
  EXPECT_EQ(x(2, 3), -g);
  EXPECT_EQ(x(1, 2), 0.5 * g);
  EXPECT_EQ(x(4, 4), r43 * g);
  EXPECT_EQ(x(1, 4), r43 * -0.5 * g);
  EXPECT_EQ(x(5, 5), g);
  EXPECT_EQ(x(4, 5), 0.0);
  EXPECT_EQ(sparsem::hashvr_find(4, 5, s.XX), 0);  // no key between unrelated animals
  const Mat a = dense(s.AINV(1));
  EXPECT_EQ(a(3, 3), 2.0);
  EXPECT_EQ(a(4, 4), r43);
  EXPECT_EQ(a(5, 5), 1.0);
  EXPECT_EQ(s.DF_RANDOM(1), 3);
}

TEST(RelationshipWorked, SireModelMultipliers) {
  // Sire 4 with its sire 1 and maternal grandsire 2 known; 5 with sire only;
  // 6 with maternal grandsire only; 3 with neither.
  const Mat a =
      ainv_of(model::RandomType::add_sire, 6, {{4, 1, 2}, {5, 1, 0}, {6, 0, 2}, {3, 0, 0}});
  EXPECT_EQ(a(4, 4), r1611);
  EXPECT_EQ(a(4, 2), r1611 * -0.25);
  EXPECT_EQ(a(4, 1), r1611 * -0.5);
  EXPECT_EQ(a(1, 2), r1611 * 0.125);
  EXPECT_EQ(a(5, 5), r43);
  EXPECT_EQ(a(6, 6), r1615);
  EXPECT_EQ(a(6, 2), r1615 * -0.25);
  EXPECT_EQ(a(3, 3), 1.0);
  EXPECT_EQ(a(1, 1), r1611 * 0.25 + r43 * 0.25);
  EXPECT_EQ(a(2, 2), r1611 * 0.0625 + r1615 * 0.0625);
}

TEST(RelationshipWorked, ParentGroupCodesAndInbreedingMultipliers) {
  // Type 4: code k gives 2, 4/3, 1, 0; code 4 adds zero-valued keys only.
  const Mat a = ainv_of(model::RandomType::add_an_upg, 6,
                        {{1, 0, 0, 1}, {2, 0, 0, 2}, {3, 0, 0, 3}, {4, 5, 6, 4}});
  EXPECT_EQ(a(1, 1), 2.0);
  EXPECT_EQ(a(2, 2), r43);
  EXPECT_EQ(a(3, 3), 1.0);
  EXPECT_EQ(a(4, 4), 0.0);
  EXPECT_EQ(a(5, 6), 0.0);
  // Type 5: the fourth integer / 1000 in single precision.
  const Mat b = ainv_of(model::RandomType::add_an_upgi, 3, {{1, 2, 3, 1333}});
  EXPECT_EQ(b(1, 1), static_cast<double>(1333.0f / 1000.0f));
  EXPECT_NE(b(1, 1), 1.333);
  EXPECT_EQ(b(2, 3), static_cast<double>(1333.0f / 1000.0f) * 0.25);
}

TEST(RelationshipWorked, CodeFourLineCreatesItsKeys) {
  model_for(1, {3});
  M.ginv(1, 1, 1) = 1.0;
  model::State s;
  state_for(s);
  group(s, 1, model::RandomType::add_an_upg, 1, {{1, 2, 3, 4}});
  sampler::RelationshipTerms terms;
  captured([&] { sampler::add_g_add(s, model::RandomType::add_an_upg, 1, terms); });
  EXPECT_EQ(s.XX.filled, 6);  // upper triangle of the 3 ids, all 0
  EXPECT_EQ(s.AINV(1).filled, 6);
  EXPECT_EQ(max_diff(dense(s.XX), Mat(3)), 0.0);
}

// ---------------------------------------------------------------------------
// A^-1 against the dense inverse of the tabular relationship matrix.

TEST(RelationshipInverse, AnimalModel) {
  // Parents unrelated to each other (no inbreeding), lines out of order and
  // parents in either column.
  const std::vector<std::pair<int, int>> par = {{0, 0}, {0, 0}, {1, 2}, {1, 0}, {0, 0},
                                                {4, 5}, {3, 0}, {7, 5}, {0, 0}, {9, 6}};
  std::vector<Line> ped;
  for (int i : {8, 3, 10, 1, 5, 2, 7, 4, 9, 6}) {
    const auto [sire, dam] = par[static_cast<std::size_t>(i - 1)];
    ped.push_back(i % 2 ? Line{i, sire, dam} : Line{i, dam, sire});
  }
  const Mat a = ainv_of(model::RandomType::add_animal, 10, ped);
  const Mat t = tabular_animal(par);
  for (int i = 1; i <= 10; ++i) {
    const auto [sire, dam] = par[static_cast<std::size_t>(i - 1)];
    if (sire && dam) {
      ASSERT_EQ(t(sire, dam), 0.0) << "the pedigree must have no inbreeding";
    }
  }
  EXPECT_LT(max_diff(a, inverse(t)), 1e-6);
}

TEST(RelationshipInverse, SireModel) {
  // Sire, its sire, its maternal grandsire; each sire's sire and maternal
  // grandsire unrelated.  Tabular: a(i, j) = a(ss, j)/2 + a(mgs, j)/4.
  const std::vector<std::pair<int, int>> par = {{0, 0}, {0, 0}, {1, 2}, {1, 0}, {0, 3},
                                                {2, 4}, {5, 0}, {0, 0}, {6, 8}};
  const int n = static_cast<int>(par.size());
  Mat t(n);
  for (int i = 1; i <= n; ++i) {
    const auto [ss, mgs] = par[static_cast<std::size_t>(i - 1)];
    if (ss && mgs) {
      ASSERT_EQ(t(ss, mgs), 0.0);
    }
    for (int j = 1; j < i; ++j)
      t(i, j) = t(j, i) = 0.5 * (ss ? t(j, ss) : 0.0) + 0.25 * (mgs ? t(j, mgs) : 0.0);
    t(i, i) = 1.0;
  }
  std::vector<Line> ped;
  for (int i : {5, 1, 9, 8, 3, 2, 7, 6, 4}) {
    const auto [ss, mgs] = par[static_cast<std::size_t>(i - 1)];
    ped.push_back({i, ss, mgs});
  }
  EXPECT_LT(max_diff(ainv_of(model::RandomType::add_sire, n, ped), inverse(t)), 1e-6);
}

TEST(RelationshipInverse, UnknownParentGroups) {
  // Animals 1-6, groups 7 and 8 (the last two lines, code 4).  Unknown
  // parents are replaced by groups; the code counts the known animals.
  // Expected: [I, -R]' A^-1 [I, -R], A over the animals alone, R the gene
  // fractions of each animal from each group.
  const std::vector<Line> ped = {{1, 7, 8, 3}, {2, 7, 7, 3}, {3, 1, 2, 1}, {4, 8, 1, 2},
                                 {5, 3, 8, 2}, {6, 4, 2, 1}, {7, 0, 0, 4}, {8, 0, 0, 4}};
  const Mat a = ainv_of(model::RandomType::add_an_upg, 8, ped, 2);
  const int na = 6;
  std::vector<std::pair<int, int>> par;
  Mat r(8);  // rows 1..6 animals, columns 7..8 groups
  for (int i = 1; i <= na; ++i) {
    const Line& L = ped[static_cast<std::size_t>(i - 1)];
    par.push_back({L.p2 <= na ? L.p2 : 0, L.p3 <= na ? L.p3 : 0});
    for (int gq = 7; gq <= 8; ++gq)
      for (int p : {L.p2, L.p3}) r(i, gq) += 0.5 * (p > na ? (p == gq ? 1.0 : 0.0) : r(p, gq));
  }
  const Mat ai = inverse(tabular_animal(par));
  Mat tr(8);  // [I, -R]: na by 8
  for (int i = 1; i <= na; ++i) {
    tr(i, i) = 1.0;
    for (int gq = 7; gq <= 8; ++gq) tr(i, gq) = -r(i, gq);
  }
  Mat expect(8);
  for (int i = 1; i <= 8; ++i)
    for (int j = 1; j <= 8; ++j)
      for (int k = 1; k <= na; ++k)
        for (int l = 1; l <= na; ++l) expect(i, j) += tr(k, i) * ai(k, l) * tr(l, j);
  EXPECT_LT(max_diff(a, expect), 1e-6);
}

TEST(RelationshipInverse, InbreedingCoefficientsFromTheFile) {
  // An inbred pedigree; the file carries 1000 / d rounded, d the Mendelian
  // variance from the parents' inbreeding coefficients.
  const std::vector<std::pair<int, int>> par = {{0, 0}, {0, 0}, {1, 2}, {1, 2}, {3, 4},
                                                {5, 1}, {5, 0}, {0, 0}, {6, 7}};
  const int n = static_cast<int>(par.size());
  const Mat t = tabular_animal(par);
  std::vector<Line> ped;
  for (int i : {9, 2, 6, 1, 7, 4, 8, 3, 5}) {
    const auto [sire, dam] = par[static_cast<std::size_t>(i - 1)];
    double d = 1.0;
    if (sire) d -= 0.25 * t(sire, sire);  // 0.25 (1 + F)
    if (dam) d -= 0.25 * t(dam, dam);
    ped.push_back({i, sire, dam, static_cast<int>(std::lround(1000.0 / d))});
  }
  EXPECT_GT(t(9, 9), 1.0);  // inbred
  const Mat a = ainv_of(model::RandomType::add_an_upgi, n, ped);
  // The file's multipliers carry three decimals.
  EXPECT_LT(max_diff(a, inverse(t)), 3e-3);
  // The animal model's rules, which ignore inbreeding, are further off.
  EXPECT_GT(max_diff(ainv_of(model::RandomType::add_animal, n, ped), inverse(t)), 0.1);
}

// ---------------------------------------------------------------------------
// G^-1 (x) A^-1 placement.

// A symmetric G^-1 block of order d with distinct entries.
void fill_ginv(int e, int d, double seed) {
  for (int i = 1; i <= d; ++i)
    for (int j = i; j <= d; ++j) {
      const double v = i == j ? 3.0 + 0.25 * i + seed : 0.1 * i - 0.07 * j + 0.013 * seed;
      M.ginv(e, i, j) = M.ginv(e, j, i) = v;
    }
}

TEST(RelationshipPlacement, TwoTraitsTwoCorrelatedEffects) {
  // Effect 1 fixed (3 levels), group of effects 2 and 3 (5 levels each),
  // effect 4 after it; effect 3 has no data for trait 2.
  model_for(2, {3, 5, 5, 2});
  M.pos_eff(3, 2) = 0;
  fill_ginv(2, 4, 0.5);
  model::State s;
  state_for(s);
  const std::vector<Line> ped = {{3, 1, 2}, {4, 1, 0}, {5, 3, 4}, {1, 0, 0}, {2, 0, 0}};
  group(s, 2, model::RandomType::add_animal, 2, ped);
  sampler::RelationshipTerms terms;
  captured([&] { sampler::add_g_add(s, model::RandomType::add_animal, 2, terms); });
  const Mat a = dense(s.AINV(2));
  EXPECT_EQ(s.AINV(2).n, 5);

  Mat expect(s.neq);
  for (int i1 = 0; i1 < 2; ++i1)
    for (int i2 = 0; i2 < 2; ++i2)
      for (int t1 = 1; t1 <= 2; ++t1)
        for (int t2 = 1; t2 <= 2; ++t2) {
          if (M.pos_eff(2 + i1, t1) == 0 || M.pos_eff(2 + i2, t2) == 0) continue;
          for (int l1 = 1; l1 <= 5; ++l1)
            for (int l2 = 1; l2 <= 5; ++l2)
              expect(eq(2 + i1, l1, t1), eq(2 + i2, l2, t2)) =
                  M.ginv(2, i1 * 2 + t1, i2 * 2 + t2) * a(l1, l2);
        }
  const Mat x = dense(s.XX);
  EXPECT_LT(max_diff(x, expect), 1e-12);
  // Keys only within the group's equations and never for effect 3, trait 2.
  for (long k = 1; k <= s.XX.nel; ++k) {
    const sparsem::hash_slot& h = s.XX.x(k);
    if (h.row == 0) continue;
    EXPECT_LE(h.row, h.col);
    EXPECT_GE(h.row, eq(2, 1, 1));
    EXPECT_LE(h.col, eq(3, 5, 2));
    EXPECT_NE((h.row - 1) % 2 == 1 && h.row >= eq(3, 1, 1), true) << h.row;
    EXPECT_NE((h.col - 1) % 2 == 1 && h.col >= eq(3, 1, 1), true) << h.col;
  }
  // The cross block between effects 2 and 3 uses the off-diagonal block.
  EXPECT_EQ(x(eq(2, 3, 1), eq(3, 3, 1)), M.ginv(2, 1, 3) * 2.5);
  EXPECT_EQ(x(eq(2, 3, 2), eq(3, 1, 1)), M.ginv(2, 2, 3) * -1.0);
}

TEST(RelationshipPlacement, DiagonalGroupFollowsTheDataPattern) {
  model_for(2, {2, 3, 3});
  M.pos_eff(3, 2) = 0;
  fill_ginv(2, 4, 1.0);
  model::State s;
  state_for(s);
  M.randomtype(2) = model::RandomType::diagonal;
  M.randomnumb(2) = 2;
  sampler::add_g_diag(s, 2);
  Mat expect(s.neq);
  for (int l = 1; l <= 3; ++l)
    for (int i1 = 0; i1 < 2; ++i1)
      for (int i2 = 0; i2 < 2; ++i2)
        for (int t1 = 1; t1 <= 2; ++t1)
          for (int t2 = 1; t2 <= 2; ++t2) {
            if (M.pos_eff(2 + i1, t1) == 0 || M.pos_eff(2 + i2, t2) == 0) continue;
            const int r = eq(2 + i1, l, t1), c = eq(2 + i2, l, t2);
            expect(r, c) = expect(c, r) = M.ginv(2, i1 * 2 + t1, i2 * 2 + t2);
          }
  EXPECT_EQ(max_diff(dense(s.XX), expect), 0.0);
  // No key for effect 3, trait 2: the absent effect has no equations' terms.
  for (long k = 1; k <= s.XX.nel; ++k) {
    const sparsem::hash_slot& h = s.XX.x(k);
    if (h.row == 0) continue;
    for (int l = 1; l <= 3; ++l) {
      EXPECT_NE(h.row, eq(3, l, 2));
      EXPECT_NE(h.col, eq(3, l, 2));
    }
  }
  Mat ident(3);
  for (int l = 1; l <= 3; ++l) ident(l, l) = 1.0;
  EXPECT_EQ(max_diff(dense(s.AINV(2)), ident), 0.0);
  EXPECT_EQ(s.DF_RANDOM(2), 3);

  // A later cycle adds the terms again and leaves A alone; the degrees of
  // freedom are set at every call.
  M.round = 2;
  s.DF_RANDOM(2) = -1;
  sparsem::zero_values_sparse_hashm(s.XX);
  sparsem::add_sparse_hashm(5.0, 1, 1, s.AINV(2));
  sampler::add_g_diag(s, 2);
  EXPECT_EQ(max_diff(dense(s.XX), expect), 0.0);
  EXPECT_EQ(dense(s.AINV(2))(1, 1), 6.0);
  EXPECT_EQ(s.DF_RANDOM(2), 3);
}

// ---------------------------------------------------------------------------
// Order of additions: the Part's loop written out plainly is the oracle for
// the hash layout and every sum, first cycle and later ones.

void reference_add(const model::State& s, model::RandomType type, int e, sparsem::sparse_hashm& XX,
                   sparsem::sparse_hashm* A) {
  double W[3] = {1.0, -0.5, -0.5};
  double RES[4] = {2.0, r43, 1.0, 0.0};
  if (type == model::RandomType::add_sire) {
    W[2] = -0.25;
    RES[0] = r1611;
    RES[1] = r43;
    RES[2] = r1615;
    RES[3] = 1.0;
  }
  const int q = M.randomnumb(e), nt = M.ntrait;
  if (A) sparsem::zero_sparse_hashm(*A, M.nlev(e));
  for (int line = 1; line <= M.lenped(e); ++line) {
    int P[3];
    for (int k = 0; k < 3; ++k) P[k] = s.PED(e, line, k + 1);
    double mult;
    if (type == model::RandomType::add_animal)
      mult = P[1] != 0 && P[2] != 0 ? RES[0] : (P[1] != 0 || P[2] != 0 ? RES[1] : RES[2]);
    else if (type == model::RandomType::add_an_upg)
      mult = RES[s.PED_CODE(e, line) - 1];
    else if (type == model::RandomType::add_an_upgi)
      mult = static_cast<double>(static_cast<float>(s.PED_CODE(e, line)) / 1000.0f);
    else if (P[1] != 0 && P[2] != 0)
      mult = RES[0];
    else if (P[1] != 0)
      mult = RES[1];
    else if (P[2] != 0)
      mult = RES[2];
    else
      mult = RES[3];
    for (int i1 = 0; i1 < q; ++i1)
      for (int i2 = 0; i2 < q; ++i2)
        for (int t1 = 1; t1 <= nt; ++t1)
          for (int t2 = 1; t2 <= nt; ++t2) {
            if (M.pos_eff(e + i1, t1) == 0 || M.pos_eff(e + i2, t2) == 0) continue;
            for (int k1 = 0; k1 < 3; ++k1)
              for (int k2 = 0; k2 < 3; ++k2) {
                if (P[k1] == 0 || P[k2] == 0) continue;
                const double v = mult * W[k1] * W[k2] * M.ginv(e, i1 * nt + t1, i2 * nt + t2);
                sparsem::add_sparse_hashm(v, eq(e + i1, P[k1], t1), eq(e + i2, P[k2], t2), XX);
              }
          }
    if (A)
      for (int k1 = 0; k1 < 3; ++k1)
        for (int k2 = 0; k2 < 3; ++k2)
          if (P[k1] != 0 && P[k2] != 0) sparsem::add_sparse_hashm(mult * W[k1] * W[k2], P[k1], P[k2], *A);
  }
}

// Same table, slot by slot, values bit for bit.
void expect_same_table(const sparsem::sparse_hashm& a, const sparsem::sparse_hashm& b) {
  ASSERT_EQ(a.nel, b.nel);
  ASSERT_EQ(a.filled, b.filled);
  ASSERT_EQ(a.n, b.n);
  for (long k = 1; k <= a.nel; ++k) {
    ASSERT_EQ(a.x(k).row, b.x(k).row) << "slot " << k;
    ASSERT_EQ(a.x(k).col, b.x(k).col) << "slot " << k;
    ASSERT_EQ(std::memcmp(&a.x(k).val, &b.x(k).val, sizeof(double)), 0)
        << "slot " << k << ": " << a.x(k).val << " vs " << b.x(k).val;
  }
}

struct OrderCase {
  model::RandomType type;
  std::vector<Line> ped;
  int levels;  // the lines of weight above 0: the degrees of freedom of G
};

TEST(RelationshipOrder, FirstAndLaterCyclesMatchThePlainLoop) {
  // Repeated ids within a line (a parent listed twice, an animal its own
  // parent) make the order of the sums visible; a small table forces growth.
  const std::vector<OrderCase> cases = {
      {model::RandomType::add_animal,
       {{3, 1, 2}, {4, 2, 2}, {5, 5, 3}, {6, 0, 4}, {1, 0, 0}, {2, 6, 0}, {7, 3, 6}},
       7},
      {model::RandomType::add_an_upg,
       {{1, 6, 7, 3},
        {2, 6, 6, 3},
        {3, 1, 2, 1},
        {4, 7, 1, 2},
        {5, 3, 4, 1},
        {6, 0, 0, 4},
        {7, 0, 0, 4}},
       5},
      {model::RandomType::add_an_upgi,
       {{3, 1, 2, 2133}, {4, 3, 3, 1777}, {7, 4, 0, 1455}, {5, 0, 6, 1001}},
       4},
      {model::RandomType::add_sire,
       {{4, 1, 2}, {5, 4, 0}, {6, 0, 4}, {7, 5, 6}, {3, 0, 0}, {2, 2, 2}},
       6},
  };
  for (const OrderCase& c : cases) {
    SCOPED_TRACE(model::word(c.type));
    model_for(2, {2, 7, 7, 3});
    M.pos_eff(3, 1) = 0;
    fill_ginv(2, 4, 0.25);
    model::State s, ref;
    state_for(s, 11);
    state_for(ref, 11);
    group(s, 2, c.type, 2, c.ped);
    group(ref, 2, c.type, 2, c.ped);
    sampler::RelationshipTerms terms;
    const std::string out = captured([&] { sampler::add_g_add(s, c.type, 2, terms); });
    const std::string ref_out = captured([&] {
      reference_add(ref, c.type, 2, ref.XX, &ref.AINV(2));
      util::say(" read ", M.lenped(2), " additive pedigrees");
    });
    EXPECT_EQ(out, ref_out);
    EXPECT_NE(out.find("hash matrix increased"), std::string::npos);
    expect_same_table(s.XX, ref.XX);
    expect_same_table(s.AINV(2), ref.AINV(2));
    EXPECT_EQ(s.DF_RANDOM(2), c.levels);

    // Later cycles: new G^-1, values zeroed, keys kept; A^-1 and the degrees
    // of freedom untouched.  Cycle 3 meets a table grown by other elements,
    // cycle 4 a table emptied and shrunk, so the remembered slots are stale.
    for (int round = 2; round <= 5; ++round) {
      SCOPED_TRACE(round);
      M.round = round;
      fill_ginv(2, 4, 0.125 * round);
      const std::int32_t nel = s.XX.nel;
      for (model::State* x : {&s, &ref}) {
        sparsem::sparse_hashm& XX = x->XX;
        sparsem::zero_values_sparse_hashm(XX);
        if (round == 3) {
          captured([&] {
            for (int i = 1; i <= XX.n && XX.nel == nel; ++i)
              for (int j = i; j <= XX.n && XX.nel == nel; ++j) sparsem::add_sparse_hashm(1.0, i, j, XX);
          });
        }
        if (round == 4) sparsem::zero_sparse_hashm(XX, XX.n, 7);
      }
      if (round == 3) {
        EXPECT_GT(s.XX.nel, nel);
      }
      s.DF_RANDOM(2) = 99;
      const std::string later = captured([&] { sampler::add_g_add(s, c.type, 2, terms); });
      const std::string ref_later = captured([&] { reference_add(ref, c.type, 2, ref.XX, nullptr); });
      EXPECT_EQ(later, ref_later);
      EXPECT_EQ(later.empty(), round != 4);
      expect_same_table(s.XX, ref.XX);
      expect_same_table(s.AINV(2), ref.AINV(2));
      EXPECT_EQ(s.DF_RANDOM(2), 99);
    }

    // A store without the terms (another chain's, say) builds them in a
    // later cycle without touching A^-1.
    sampler::RelationshipTerms fresh;
    sparsem::zero_values_sparse_hashm(s.XX);
    sparsem::zero_values_sparse_hashm(ref.XX);
    captured([&] { sampler::add_g_add(s, c.type, 2, fresh); });
    reference_add(ref, c.type, 2, ref.XX, nullptr);
    expect_same_table(s.XX, ref.XX);
    expect_same_table(s.AINV(2), ref.AINV(2));
  }
}

// The first cycle's additions to the coefficient matrix and to A^-1 are
// interleaved and both tables grow on the way, so the growth messages and
// both layouts show any change of order.
TEST(RelationshipFirstCycle, InterleavedGrowthOfBothTablesKeepsItsOrder) {
  struct Case {
    model::RandomType type;
    int animals;
    std::int32_t ainv_size;  // small: A^-1 grows too
  };
  const std::vector<Case> cases = {{model::RandomType::add_animal, 40, 3},
                                   {model::RandomType::add_animal, 60, 50},
                                   {model::RandomType::add_sire, 40, 4}};
  const std::int32_t keep = sparsem::default_hash_size;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.animals);
    std::vector<Line> ped;
    for (int a = 1; a <= c.animals; ++a) {
      const int sire = a > 4 ? (a * 7) % (a - 1) + 1 : 0;
      const int dam = a > 6 ? (a * 3) % (a - 2) + 1 : 0;
      ped.push_back({a, sire, dam});
    }
    model_for(2, {2, c.animals});
    fill_ginv(2, 2, 0.5);
    model::State s, ref;
    state_for(s, 13);
    state_for(ref, 13);
    group(s, 2, c.type, 1, ped);
    group(ref, 2, c.type, 1, ped);
    sparsem::default_hash_size = c.ainv_size;
    sampler::RelationshipTerms terms;
    const std::string out = captured([&] { sampler::add_g_add(s, c.type, 2, terms); });
    const std::string ref_out = captured([&] {
      reference_add(ref, c.type, 2, ref.XX, &ref.AINV(2));
      util::say(" read ", M.lenped(2), " additive pedigrees");
    });
    sparsem::default_hash_size = keep;
    EXPECT_EQ(out, ref_out);
    EXPECT_NE(out.find("hash matrix increased from 13"), std::string::npos);
    expect_same_table(s.XX, ref.XX);
    expect_same_table(s.AINV(2), ref.AINV(2));
  }
}

TEST(RelationshipOrder, DiagonalLaterCyclesMatchThePlainLoop) {
  model_for(2, {3, 6, 6});
  model::State s, ref;
  state_for(s, 5);
  state_for(ref, 5);
  M.randomtype(2) = model::RandomType::diagonal;
  M.randomnumb(2) = 2;
  sampler::RelationshipTerms terms;
  auto plain = [](model::State& x) {
    for (int l = 1; l <= M.nlev(2); ++l)
      for (int i1 = 0; i1 < 2; ++i1)
        for (int i2 = 0; i2 < 2; ++i2)
          for (int t1 = 1; t1 <= 2; ++t1)
            for (int t2 = 1; t2 <= 2; ++t2)
              sparsem::add_sparse_hashm(M.ginv(2, i1 * 2 + t1, i2 * 2 + t2), eq(2 + i1, l, t1),
                                        eq(2 + i2, l, t2), x.XX);
  };
  for (int round = 1; round <= 5; ++round) {
    SCOPED_TRACE(round);
    M.round = round;
    fill_ginv(2, 4, 0.3 * round);
    if (round == 3) {
      sparsem::zero_sparse_hashm(s.XX, s.neq, 3);
      sparsem::zero_sparse_hashm(ref.XX, ref.neq, 3);
    }
    if (round == 5) {
      // Keys placed without the growth check leave the table due to grow at
      // the next addition, even of an element it holds.
      for (model::State* x : {&s, &ref})
        for (int j = 1; x->XX.filled < x->XX.grow_at_; ++j) sparsem::hashvr(1, j, x->XX, 1);
    }
    const std::string out = captured([&] { sampler::add_g_diag(s, 2, terms); });
    EXPECT_EQ(out.find("hash matrix increased") != std::string::npos, round % 2 == 1);
    EXPECT_EQ(out, captured([&] { plain(ref); }));
    expect_same_table(s.XX, ref.XX);
    sparsem::zero_values_sparse_hashm(s.XX);
    sparsem::zero_values_sparse_hashm(ref.XX);
  }
}

TEST(RelationshipOrder, RestartRebuildsInItsFirstCycle) {
  model_for(1, {4});
  M.ginv(1, 1, 1) = 1.0;
  M.start = M.round = 7;
  model::State s;
  state_for(s);
  group(s, 1, model::RandomType::add_animal, 1, {{3, 1, 2}, {4, 3, 0}});
  const std::string out =
      captured([&] { sampler::add_g_add(s, model::RandomType::add_animal, 1); });
  EXPECT_EQ(out, "  read  2  additive pedigrees\n");
  EXPECT_EQ(dense(s.AINV(1))(3, 3), 2.0 + r43 * 0.25);
  EXPECT_EQ(s.DF_RANDOM(1), 2);
  // Cycle 8 re-adds from the default store.
  M.round = 8;
  sparsem::zero_values_sparse_hashm(s.XX);
  EXPECT_EQ(captured([&] { sampler::add_g_add(s, model::RandomType::add_animal, 1); }), "");
  EXPECT_EQ(max_diff(dense(s.XX), dense(s.AINV(1))), 0.0);
}

// ---------------------------------------------------------------------------

TEST(RelationshipFailures, EmptyPedigreeStops) {
  model_for(1, {4, 3});
  model::State s;
  state_for(s);
  group(s, 2, model::RandomType::add_sire, 1, {});
  std::string msg;
  const std::string out = captured(
      [&] { msg = stop_message([&] { sampler::add_g_add(s, model::RandomType::add_sire, 2); }); });
  EXPECT_EQ(out, "  read  0  additive pedigrees\n");
  EXPECT_EQ(msg, " Additive pedigree file for effect  2  empty");
  EXPECT_EQ(s.AINV(2).n, 3);
  // In a later cycle only the stop.
  M.round = 2;
  const std::string later = captured(
      [&] { msg = stop_message([&] { sampler::add_g_add(s, model::RandomType::add_sire, 2); }); });
  EXPECT_EQ(later, "");
  EXPECT_EQ(msg, " Additive pedigree file for effect  2  empty");
}

TEST(RelationshipFailures, IdsOutsideTheGroupsLevelsStop) {
  model_for(1, {2, 4, 3});
  M.ginv(2, 1, 1) = 1.0;
  {
    model::State s;
    state_for(s);
    group(s, 2, model::RandomType::add_animal, 1, {{1, 0, 0}, {2, 5, 1}});
    EXPECT_EQ(stop_message([&] { sampler::add_g_add(s, model::RandomType::add_animal, 2); }),
              " pedigree line 2 of random effect 2: id 5 is not within 0 to 4, the levels of the "
              "group's effects");
    EXPECT_EQ(s.XX.filled, 0);
  }
  {
    // The second effect of the group has fewer levels than the ids reach.
    model::State s;
    state_for(s);
    group(s, 2, model::RandomType::add_animal, 2, {{1, 0, 0}, {4, 3, 1}});
    EXPECT_EQ(stop_message([&] { sampler::add_g_add(s, model::RandomType::add_animal, 2); }),
              " pedigree line 2 of random effect 2: id 4 is not within 0 to 3, the levels of the "
              "group's effects");
  }
  {
    model::State s;
    state_for(s);
    group(s, 2, model::RandomType::add_sire, 1, {{1, 0, -3}});
    EXPECT_NE(stop_message([&] {
                sampler::add_g_add(s, model::RandomType::add_sire, 2);
              }).find("id -3 is not within 0 to 4"),
              std::string::npos);
  }
  {
    model::State s;
    state_for(s);
    group(s, 2, model::RandomType::add_an_upg, 1, {{1, 0, 0, 5}});
    EXPECT_EQ(stop_message([&] { sampler::add_g_add(s, model::RandomType::add_an_upg, 2); }),
              " pedigree line 1 of random effect 2: multiplier code 5 is not within 1 to 4");
  }
  {
    model::State s;
    state_for(s);
    M.randomtype(2) = model::RandomType::diagonal;
    M.randomnumb(2) = 2;
    EXPECT_EQ(stop_message([&] { sampler::add_g_diag(s, 2); }),
              " random effect 3 has 3 levels, fewer than the 4 of effect 2 whose group it belongs to");
  }
}

}  // namespace
