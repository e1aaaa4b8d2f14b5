// Symbolic and numeric factorisation.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "support.hpp"

using namespace zantotest;
using namespace zanto;

namespace {

// The steps of the factorisation on plain arrays, stopping before merlin.
struct Steps {
  word n = 0, maxlnz = 0, maxsub = 0, rank = -1, flag = -1;
  Ordering o;
  std::vector<word> xlnz, xnzsub, nzsub;
  std::vector<double> diag, lnz;

  explicit Steps(const Csr& m) : n(m.n), o(order(m)) {
    std::vector<word> xadj(n + 1), adjncy(std::max<word>(1, 2 * m.nze())), count(n),
        rchlnk(n), mrglnk(n), marker(n);
    unfold(n, cview(m.ia), cview(m.ja), view(xadj), view(adjncy), view(count));
    xlnz.assign(n + 1, 0);
    xnzsub.assign(n + 1, 0);
    nzsub.assign(std::max<word>(1, o.nofsub), 0);
    maxsub = o.nofsub;
    smbfct(n, cview(xadj), cview(adjncy), cview(o.perm), cview(o.invp), view(xlnz), maxlnz,
           view(xnzsub), view(nzsub), maxsub, view(rchlnk), view(mrglnk), view(marker), flag);
    EXPECT_EQ(flag, 0);
    const word nze = m.nze();
    std::vector<word> ian(n + 1), jan(std::max<word>(1, nze));
    std::vector<double> an(std::max<word>(1, nze)), temp(n);
    diag.assign(n, 0.0);
    lnz.assign(std::max<word>(1, maxlnz), -9.0);
    loadap(n, cview(m.ia), cview(m.ja), cview(m.a), view(ian), view(jan), view(an), view(diag),
           cview(o.invp), view(count));
    loadu(n, cview(ian), cview(jan), cview(an), cview(xlnz), cview(nzsub), cview(xnzsub),
          rvec(lnz.data(), maxlnz), view(temp));
  }
  void numeric() {
    std::vector<word> link(n), first(n);
    std::vector<double> temp(n);
    word iflag = 42;
    fgsfct(n, cview(xlnz), rvec(lnz.data(), maxlnz), cview(xnzsub), cview(nzsub), view(diag),
           view(link), view(first), view(temp), iflag, 1e-8, rank);
    EXPECT_EQ(iflag, 42);  // never written
  }
  void convert() { merlin(n, cview(xlnz), rvec(lnz.data(), maxlnz), view(diag), 1e-8); }
};

TEST(Factor, WorkedTwoByTwo) {
  // A = [[4, 2], [2, 3]] is ordered (2, 1): B = [[3, 2], [2, 4]].
  Steps s(from_dense({{4, 2}, {2, 3}}));
  EXPECT_EQ(s.o.perm, (std::vector<word>{2, 1}));
  EXPECT_EQ(s.maxlnz, 1);
  EXPECT_EQ(s.diag, (std::vector<double>{3, 4}));
  EXPECT_EQ(s.lnz[0], 2);
  s.numeric();
  EXPECT_EQ(s.rank, 2);
  EXPECT_DOUBLE_EQ(s.diag[0], std::sqrt(3.0));
  EXPECT_DOUBLE_EQ(s.diag[1], std::sqrt(8.0 / 3.0));
  EXPECT_DOUBLE_EQ(s.lnz[0], 2 / std::sqrt(3.0));
  s.convert();
  EXPECT_DOUBLE_EQ(s.lnz[0], -2.0 / 3.0);
  EXPECT_DOUBLE_EQ(s.diag[0], 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(s.diag[1], 3.0 / 8.0);
}

TEST(Factor, SingularTwoByTwoDropsItsSecondPivot) {
  Steps s(from_dense({{1, 1}, {1, 1}}));
  s.numeric();
  EXPECT_EQ(s.rank, 1);
  s.convert();
  EXPECT_EQ(s.lnz[0], -1);
  EXPECT_EQ(s.diag, (std::vector<double>{1, 0}));
}

TEST(Factor, PivotRule) {
  // Diagonal matrices: the floor is the single-precision 1e-8.
  const double floor = static_cast<double>(1e-8f);
  struct Case {
    const char* name;
    std::vector<double> d;
    word rank;
  };
  const std::vector<Case> cases = {
      {"zero diagonal", {2, 0, 3}, 2},
      {"negative diagonal", {2, -1, 3}, 2},
      {"below the floor", {1, 5e-9}, 1},
      {"at the floor", {1, floor}, 2},
      {"just below the floor", {1, std::nextafter(floor, 0.0)}, 1},
      {"not a number", {1, std::nan("")}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const word n = static_cast<word>(c.d.size());
    Dense A(n, std::vector<double>(n, 0.0));
    for (word i = 0; i < n; ++i) A[i][i] = c.d[i];
    Steps s(from_dense(A));
    s.numeric();
    EXPECT_EQ(s.rank, c.rank);
    for (word i = 0; i < n; ++i) {
      const double di = A[s.o.perm[i] - 1][s.o.perm[i] - 1];
      if (di >= floor)
        EXPECT_DOUBLE_EQ(s.diag[i], std::sqrt(di));
      else
        EXPECT_EQ(s.diag[i], 0);
    }
  }
}

TEST(Factor, DependentRowWithPositiveDiagonalIsDropped) {
  // Row 3 = row 1 + row 2: its pivot cancels to rounding noise.
  const Dense A = {{2, 1, 3}, {1, 2, 3}, {3, 3, 6}};
  Steps s(from_dense(A));
  s.numeric();
  EXPECT_EQ(s.rank, 2);
  int dropped = 0;
  for (double d : s.diag) dropped += d == 0;
  EXPECT_EQ(dropped, 1);
}

TEST(Factor, DroppedColumnEndsAsZeros) {
  // A zero pivot with an off-diagonal value: its column is zeroed.
  const Dense A = {{0, 1, 0}, {1, 2, 1}, {0, 1, 2}};
  Steps s(from_dense(A));
  s.numeric();
  s.convert();
  EXPECT_EQ(s.rank, 2);
  for (word j = 1; j <= s.n; ++j) {
    if (s.diag[j - 1] != 0) continue;
    for (word k = s.xlnz[j - 1]; k < s.xlnz[j]; ++k) EXPECT_EQ(s.lnz[k - 1], 0);
  }
}

TEST(Merlin, ConvertsEveryAcceptedPivotAndLeavesDroppedOnes) {
  // Three columns in Cholesky form: an ordinary pivot, an accepted pivot
  // whose square root is below the tolerance, and a dropped one.
  std::vector<word> xlnz = {1, 2, 3, 4};
  std::vector<double> lnz = {4, 5e-10, 7}, diag = {2, 5e-9, 0};
  merlin(3, cview(xlnz), view(lnz), view(diag), 1e-8);
  EXPECT_DOUBLE_EQ(lnz[0], -2);
  EXPECT_DOUBLE_EQ(diag[0], 0.25);
  EXPECT_DOUBLE_EQ(lnz[1], -0.1);
  EXPECT_DOUBLE_EQ(diag[1], 1 / (5e-9 * 5e-9));
  EXPECT_EQ(lnz[2], 7);
  EXPECT_EQ(diag[2], 0);
}

TEST(Factor, EmptyMatrix) {
  std::vector<word> xlnz = {-1}, none = {-1};
  word maxlnz = -1, maxsub = 5, flag = -1;
  ivec e(none.data(), 0);
  smbfct(0, e, e, e, e, view(xlnz), maxlnz, e, e, maxsub, e, e, e, flag);
  EXPECT_EQ(xlnz[0], 1);
  EXPECT_EQ(maxlnz, 0);
  EXPECT_EQ(maxsub, 0);
  EXPECT_EQ(flag, 0);
  word rank = -1, iflag = 0;
  fgsfct(0, view(xlnz), rvec(), e, e, rvec(), e, e, rvec(), iflag, 1e-8, rank);
  EXPECT_EQ(rank, 0);
}

TEST(Smbfct, ShortSubscriptSpaceGivesFlagOne) {
  std::mt19937 rng(31);
  const Csr m = from_dense(random_spd(25, 0.2, rng));
  Steps full(m);
  ASSERT_GT(full.maxsub, 1);
  const word n = m.n;
  std::vector<word> xadj(n + 1), adjncy(2 * m.nze()), count(n), rchlnk(n), mrglnk(n), marker(n),
      xlnz(n + 1), xnzsub(n + 1), nzsub(full.maxsub - 1);
  unfold(n, cview(m.ia), cview(m.ja), view(xadj), view(adjncy), view(count));
  word maxlnz = 0, maxsub = full.maxsub - 1, flag = 0;
  smbfct(n, cview(xadj), cview(adjncy), cview(full.o.perm), cview(full.o.invp), view(xlnz),
         maxlnz, view(xnzsub), view(nzsub), maxsub, view(rchlnk), view(mrglnk), view(marker),
         flag);
  EXPECT_EQ(flag, 1);
}

TEST(Factor, RandomPositiveDefinite) {
  std::mt19937 rng(2024);
  for (int t = 0; t < 40; ++t) {
    SCOPED_TRACE(t);
    const int n = 1 + (t * 7) % 45;
    const Dense A = random_spd(n, t % 4 == 0 ? 0.3 : 0.08, rng);
    const Csr m = from_dense(A);

    // Values loaded into the factor's structure: B where B holds a value,
    // 0 at fill positions.
    Steps s(m);
    const Dense B = permuted(A, cview(s.o.invp));
    for (word j = 1; j <= n; ++j) {
      EXPECT_EQ(s.diag[j - 1], B[j - 1][j - 1]);
      for (word k = s.xlnz[j - 1]; k < s.xlnz[j]; ++k) {
        const word i = s.nzsub[s.xnzsub[j - 1] + k - s.xlnz[j - 1] - 1];
        EXPECT_EQ(s.lnz[k - 1], B[i - 1][j - 1]);
      }
    }

    Factored F = factorise(m);
    EXPECT_EQ(F.rank, n);
    EXPECT_EQ(factor_columns(F), boolean_elimination(m, F.invp()));
    const Dense R = rebuild(F);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) EXPECT_NEAR(R[i][j], B[i][j], 1e-12 * (1 + std::fabs(B[i][j])));
    // 1/D against the squared diagonal of LAPACK's Cholesky factor of B.
    std::vector<int> all(n);
    for (int i = 0; i < n; ++i) all[i] = i;
    const auto c = lapack_chol_diag(B, all);
    ASSERT_EQ(static_cast<int>(c.size()), n);
    for (int j = 0; j < n; ++j) EXPECT_NEAR(1 / F.diag()(j + 1), c[j] * c[j], 1e-12 * c[j] * c[j]);
  }
}

TEST(Factor, RandomSemiDefinite) {
  std::mt19937 rng(77);
  for (int t = 0; t < 30; ++t) {
    SCOPED_TRACE(t);
    const int n = 4 + t % 20;
    const int r = 1 + t % (n - 1);
    const Dense A = random_psd(n, r, rng, t % 3 == 0);
    const Csr m = from_dense(A);
    Factored F = factorise(m);
    EXPECT_EQ(factor_columns(F), boolean_elimination(m, F.invp()));
    EXPECT_LE(F.rank, r);
    // The kept pivots form a positive definite principal submatrix, and the
    // factor reproduces the permuted matrix.
    std::vector<int> kept;
    for (int j = 1; j <= n; ++j)
      if (F.diag()(j) != 0) kept.push_back(F.perm()(j) - 1);
    EXPECT_EQ(static_cast<int>(kept.size()), F.rank);
    EXPECT_EQ(lapack_chol_diag(A, kept).size(), kept.size());
    const Dense B = permuted(A, F.invp());
    const Dense R = rebuild(F);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) EXPECT_NEAR(R[i][j], B[i][j], 1e-9 * (1 + std::fabs(B[i][j])));
  }
}

TEST(Loadap, DiagonalsAndRowOrder) {
  // Row 1 stores its diagonal twice (the last value stays); row 2 stores
  // none, so its diagonal position keeps what it held.
  std::vector<word> ia = {1, 5, 6, 7}, ja = {1, 3, 1, 2, 3, 3}, invp = {3, 1, 2};
  std::vector<double> a = {10, 13, 11, 12, 23, 33};
  std::vector<word> ian(4), jan(3), count(3);
  std::vector<double> an(3), diag = {-1, -2, -3};
  loadap(3, cview(ia), cview(ja), cview(a), view(ian), view(jan), view(an), view(diag),
         cview(invp), view(count));
  // New rows: 1 = old 2, 2 = old 3, 3 = old 1.
  EXPECT_EQ(diag, (std::vector<double>{-1, 33, 11}));
  EXPECT_EQ(ian, (std::vector<word>{1, 3, 4, 4}));
  EXPECT_EQ(jan, (std::vector<word>{3, 2, 3}));
  EXPECT_EQ(an, (std::vector<double>{12, 23, 13}));
}

TEST(Gsfct, SinglePrecisionFactorAndFailure) {
  std::mt19937 rng(5);
  Steps s(from_dense(random_spd(12, 0.3, rng)));
  std::vector<float> lnz(s.lnz.begin(), s.lnz.end()), diag(s.diag.begin(), s.diag.end()),
      temp(s.n);
  std::vector<word> link(s.n), first(s.n);
  word iflag = 0;
  gsfct(s.n, cview(s.xlnz), fvec(lnz.data(), s.maxlnz), cview(s.xnzsub), cview(s.nzsub),
        fvec(diag.data(), s.n), view(link), view(first), fvec(temp.data(), s.n), iflag);
  EXPECT_EQ(iflag, 0);
  s.numeric();
  for (word j = 0; j < s.n; ++j) EXPECT_NEAR(diag[j], s.diag[j], 1e-5 * s.diag[j]);
  for (word k = 0; k < s.maxlnz; ++k) EXPECT_NEAR(lnz[k], s.lnz[k], 1e-5);

  Steps bad(from_dense({{1, 1}, {1, 1}}));
  std::vector<float> l2(bad.lnz.begin(), bad.lnz.end()), d2(bad.diag.begin(), bad.diag.end()),
      t2(2);
  std::vector<word> k2(2), f2(2);
  iflag = 0;
  gsfct(2, cview(bad.xlnz), fvec(l2.data(), 1), cview(bad.xnzsub), cview(bad.nzsub),
        fvec(d2.data(), 2), view(k2), view(f2), fvec(t2.data(), 2), iflag);
  EXPECT_EQ(iflag, 1);
}

TEST(VectorUtilities, PermuteAndFriends) {
  std::vector<word> perm = {3, 1, 4, 2}, invp = {2, 4, 1, 3};
  std::vector<double> x = {10, 20, 30, 40}, y(4), z(4);
  permute(4, cview(x), view(y), cview(invp));
  EXPECT_EQ(y, (std::vector<double>{30, 10, 40, 20}));  // y(invp(i)) = x(i)
  permute(4, cview(y), view(z), cview(perm));
  EXPECT_EQ(z, x);

  std::vector<word> list = {4, 1}, out(2);
  spermute(2, cview(list), view(out), cview(invp));
  EXPECT_EQ(out, (std::vector<word>{3, 2}));

  std::vector<word> path = {2, 4, 1}, starts = {1, 3, 4};
  zerout(view(z), cview(path), cview(starts), 2);
  EXPECT_EQ(z, (std::vector<double>{0, 0, 30, 0}));
  rzero(4, view(x));
  EXPECT_EQ(x, (std::vector<double>(4, 0.0)));
  std::vector<word> flags = {1, 1, 1};
  lzero(2, view(flags));
  EXPECT_EQ(flags, (std::vector<word>{0, 0, 1}));
  EXPECT_EQ(fratio(), 2);
  EXPECT_EQ(ival(-17), -17);
}

}  // namespace
