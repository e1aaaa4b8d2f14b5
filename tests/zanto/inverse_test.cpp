// Sparse inverse through the driver (options 60 and 61): worked values,
// random positive definite and singular matrices against LAPACK, the row
// layouts of both forms, and the storage utilities.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <set>
#include <vector>

#include "driver_support.hpp"

using namespace zantotest;
using zanto::word;

namespace {

class Inverse : public PackageTest {};

// Option 61 in place; the factor's kept rows (input numbering) returned.
std::vector<int> inverse_in_place(Pkg& p) {
  p.factorise();
  std::vector<int> kept;
  zanto::Regions r = p.regions();
  for (word i = 1; i <= p.m.n; ++i)
    if (r.diag(r.invp(i)) != 0) kept.push_back(i - 1);
  EXPECT_EQ(p.step(61), 0);
  return kept;
}

// Option 60 into full storage (the arrays given the room they need).
void inverse_full(Pkg& p) {
  p.factorise();
  const std::size_t full = 2 * static_cast<std::size_t>(p.m.nze()) - p.m.n;
  p.m.ja.resize(full);
  p.m.a.resize(full);
  EXPECT_EQ(p.step(60), 0);
  EXPECT_EQ(p.m.ia[p.m.n] - 1, static_cast<word>(full));
}

double tol_of(double ref) { return 1e-9 * (1.0 + std::fabs(ref)); }

void expect_close(const std::vector<double>& got, const std::vector<double>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], 1e-15) << k;
}

// Every stored element of the in-place result against Z, and the row layout:
// diagonal first, then the elements with invp(c) > invp(i) in their earlier
// order, then the others by increasing column.
void check_in_place(const Csr& before, const Csr& after, const Dense& Z,
                    const std::vector<word>& invp) {
  ASSERT_EQ(after.ia, before.ia);
  for (word i = 1; i <= before.n; ++i) {
    std::vector<word> later, earlier, got;
    for (word k = before.ia[i - 1]; k < before.ia[i]; ++k) {
      const word c = before.ja[k - 1];
      if (c == i) continue;
      (invp[c - 1] > invp[i - 1] ? later : earlier).push_back(c);
    }
    std::sort(earlier.begin(), earlier.end());
    std::vector<word> expect{i};
    expect.insert(expect.end(), later.begin(), later.end());
    expect.insert(expect.end(), earlier.begin(), earlier.end());
    for (word k = after.ia[i - 1]; k < after.ia[i]; ++k) {
      const word c = after.ja[k - 1];
      got.push_back(c);
      EXPECT_NEAR(after.a[k - 1], Z[i - 1][c - 1], tol_of(Z[i - 1][c - 1])) << i << "," << c;
    }
    EXPECT_EQ(got, expect) << "row " << i;
  }
}

// The full-storage result: row i holds its neighbours in the matrix, first
// those before it in the new numbering by increasing invp, then its
// diagonal, then those after it by decreasing invp.
void check_full(const Csr& before, const Csr& after, const Dense& Z, const std::vector<word>& invp) {
  const word n = before.n;
  std::vector<std::set<word>> nb(n + 1);
  for (word i = 1; i <= n; ++i)
    for (word k = before.ia[i - 1]; k < before.ia[i]; ++k) {
      const word c = before.ja[k - 1];
      if (c != i) {
        nb[i].insert(c);
        nb[c].insert(i);
      }
    }
  for (word i = 1; i <= n; ++i) {
    std::vector<word> lo, hi, got;
    for (word c : nb[i]) (invp[c - 1] < invp[i - 1] ? lo : hi).push_back(c);
    const auto by_invp = [&](word x, word y) { return invp[x - 1] < invp[y - 1]; };
    std::sort(lo.begin(), lo.end(), by_invp);
    std::sort(hi.begin(), hi.end(), [&](word x, word y) { return by_invp(y, x); });
    std::vector<word> expect = lo;
    expect.push_back(i);
    expect.insert(expect.end(), hi.begin(), hi.end());
    for (word k = after.ia[i - 1]; k < after.ia[i]; ++k) {
      const word c = after.ja[k - 1];
      got.push_back(c);
      EXPECT_NEAR(after.a[k - 1], Z[i - 1][c - 1], tol_of(Z[i - 1][c - 1])) << i << "," << c;
    }
    EXPECT_EQ(got, expect) << "row " << i;
  }
}

std::vector<word> invp_of(Pkg& p) {
  zanto::Regions r = p.regions();
  std::vector<word> v(p.m.n);
  for (word i = 1; i <= p.m.n; ++i) v[i - 1] = r.invp(i);
  return v;
}

}  // namespace

TEST_F(Inverse, WorkedValues) {
  struct Case {
    Dense A;
    std::vector<double> upper;  // expected values in the stored order
  };
  const std::vector<Case> cases = {
      {{{4, 2}, {2, 3}}, {0.375, -0.25, 0.5}},
      // Diagonal, one pivot zero: 1/a(i,i), 0 for the dropped one.
      {{{2, 0, 0}, {0, 0, 0}, {0, 0, 4}}, {0.5, 0.0, 0.25}},
  };
  for (const Case& c : cases) {
    Pkg p(from_dense(c.A));
    inverse_in_place(p);
    expect_close(p.m.a, c.upper);
    EXPECT_EQ(p.m.nze(), static_cast<word>(c.upper.size()));
  }
  // Full storage of the 2 x 2 case: -0.25 at (2,1) as well.
  Pkg f(from_dense({{4, 2}, {2, 3}}));
  inverse_full(f);
  ASSERT_EQ(f.m.nze(), 4);
  Dense Z = to_dense(f.m);
  expect_close(Z[0], {0.375, -0.25});
  expect_close(Z[1], {-0.25, 0.5});
  EXPECT_EQ(f.m.ia, (std::vector<word>{1, 3, 5}));

  // Every element 1: one diagonal element 1, the other two stored ones 0.
  Pkg s(from_dense({{1, 1}, {1, 1}}));
  inverse_in_place(s);
  std::vector<double> v = s.m.a;
  std::sort(v.begin(), v.end());
  expect_close(v, {0.0, 0.0, 1.0});
  EXPECT_EQ(s.m.a[1], 0.0);  // the off-diagonal element
}

TEST_F(Inverse, RandomPositiveDefiniteAgainstLapack) {
  std::mt19937 rng(2026);
  const struct {
    int n;
    double density;
  } sizes[] = {{1, 0}, {5, 0.5}, {12, 0.2}, {30, 0.1}, {40, 0.3}, {60, 0.05}};
  for (const auto& sz : sizes) {
    const Dense A = random_spd(sz.n, sz.density, rng);
    const Dense Z = lapack_inverse(A, all_rows(sz.n));
    ASSERT_FALSE(Z.empty());
    const Csr m = from_dense(A);

    Pkg p(m);
    const std::vector<int> kept = inverse_in_place(p);
    EXPECT_EQ(static_cast<int>(kept.size()), sz.n);
    EXPECT_EQ(p.rank, sz.n);
    check_in_place(m, p.m, Z, invp_of(p));

    Pkg f(m);
    inverse_full(f);
    check_full(m, f.m, Z, invp_of(f));
  }
}

TEST_F(Inverse, SingularMatricesGiveTheKeptSubmatrixInverse) {
  std::mt19937 rng(17);
  const struct {
    int n, r;
    bool zero_row;
  } cases[] = {{6, 3, false}, {10, 4, true}, {20, 12, false}, {25, 20, true}, {16, 16, true}};
  for (const auto& c : cases) {
    const Dense A = random_psd(c.n, c.r, rng, c.zero_row);
    const Csr m = from_dense(A);
    Pkg p(m);
    const std::vector<int> kept = inverse_in_place(p);
    EXPECT_LT(static_cast<int>(kept.size()), c.n);
    EXPECT_EQ(static_cast<int>(kept.size()), p.rank);
    const Dense Z = lapack_inverse(A, kept);
    ASSERT_FALSE(Z.empty()) << "kept submatrix not positive definite";
    check_in_place(m, p.m, Z, invp_of(p));

    // The full form keeps the factor: the same kept rows.
    Pkg f(m);
    inverse_full(f);
    check_full(m, f.m, Z, invp_of(f));
  }
}

TEST_F(Inverse, FullFormLeavesTheFactorUsable) {
  std::mt19937 rng(5);
  const Dense A = random_spd(15, 0.2, rng);
  Pkg p(from_dense(A));
  inverse_full(p);
  // A full solve after option 60 still uses the factor.
  std::vector<double> b(15);
  for (int i = 0; i < 15; ++i) b[i] = i - 7.0;
  p.sol = b;
  EXPECT_EQ(p.call(50), 0);
  const std::vector<double> x = lapack_solve(A, all_rows(15), b);
  for (int i = 0; i < 15; ++i) EXPECT_NEAR(p.sol[i], x[i], 1e-10);
}

TEST(StorageUtilities, PpermRowtocolZero) {
  using namespace zanto;
  // Upper storage of a 4 x 4 pattern; key reversing the order puts every
  // element in the row of its larger index, stably.
  Csr m = from_dense({{1, 2, 0, 3}, {2, 4, 5, 0}, {0, 5, 6, 7}, {3, 0, 7, 8}});
  std::vector<word> key = {4, 3, 2, 1}, count(4), dest(m.nze());
  pperm(4, cview(key), view(m.ia), view(m.ja), view(m.a), view(count), view(dest));
  EXPECT_EQ(m.ia, (std::vector<word>{1, 2, 4, 6, 9}));
  EXPECT_EQ(m.ja, (std::vector<word>{1, 1, 2, 2, 3, 1, 3, 4}));
  EXPECT_EQ(m.a, (std::vector<double>{1, 2, 4, 5, 6, 3, 7, 8}));
  // Back with the identity: the upper storage again.
  std::vector<word> ident = {1, 2, 3, 4};
  pperm(4, cview(ident), view(m.ia), view(m.ja), view(m.a), view(count), view(dest));
  const Csr orig = from_dense({{1, 2, 0, 3}, {2, 4, 5, 0}, {0, 5, 6, 7}, {3, 0, 7, 8}});
  EXPECT_EQ(m.ia, orig.ia);
  EXPECT_EQ(to_dense(m), to_dense(orig));

  std::vector<word> ib(5), jb(orig.nze()), cnt(4);
  std::vector<double> b(orig.nze());
  rowtocol(cview(orig.ia), cview(orig.ja), cview(orig.a), view(ib), view(jb), view(b), view(cnt),
           4);
  EXPECT_EQ(ib, (std::vector<word>{1, 2, 4, 6, 9}));
  EXPECT_EQ(jb, (std::vector<word>{1, 1, 2, 2, 3, 1, 3, 4}));
  EXPECT_EQ(b, (std::vector<double>{1, 2, 4, 5, 6, 3, 7, 8}));

  std::vector<word> z = {5, 6, 7};
  zero(2, view(z));
  EXPECT_EQ(z, (std::vector<word>{0, 0, 7}));
}
