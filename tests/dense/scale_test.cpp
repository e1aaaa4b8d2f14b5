// The dense kit in any units: a matrix times c keeps the pivots, rank and
// decisions of the matrix itself, from c = 1e-30 to 1e30, and its factor,
// inverse, solution and determinant scale with c.
#include <cmath>
#include <random>
#include <vector>

#include "dense/ginv1.hpp"
#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

namespace {

using Mat = util::mat1<double>;

const double kScales[] = {1e-30, 1e-12, 1e-6, 1e-3, 1.0, 1e4, 1e6, 1e12, 1e30};

Mat times(const Mat& a, double c) {
  Mat b = a;
  for (long j = 1; j <= a.cols(); ++j)
    for (long i = 1; i <= a.rows(); ++i) b(i, j) = c * a(i, j);
  return b;
}

// A B' with B of order n by r and rows of unequal size: rank r, and every
// dropped pivot a rounding residue of the kept ones.
Mat low_rank(std::mt19937_64& gen, int n, int r) {
  std::normal_distribution<double> z;
  Mat b(n, r);
  for (int i = 1; i <= n; ++i) {
    const double s = 0.3 + 0.5 * i;
    for (int k = 1; k <= r; ++k) b(i, k) = s * z(gen);
  }
  Mat a(n, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i)
      for (int k = 1; k <= r; ++k) a(i, j) += b(i, k) * b(j, k);
  return a;
}

class Scale : public CycleTolTest {};

}  // namespace

// The worked cases of the pivot rule hold at every scale.
TEST_F(Scale, WorkedCasesAtEveryScale) {
  for (double c : kScales) {
    SCOPED_TRACE(testing::Message() << "c=" << c);
    int rank = -9, ierr = -9;
    // A middle pivot 1e-11 / 9 of the largest is dropped, also when negative.
    for (double mid : {1.0e-11, -1.0e-11}) {
      Mat m = times(diag({4, mid, 9}), c);
      EXPECT_EQ(output_of([&] { d::chols8(m, &rank, &ierr); }), "");
      EXPECT_EQ(rank, 2);
      EXPECT_EQ(ierr, 0);
      EXPECT_EQ(m(2, 2), 0.0);
      EXPECT_NEAR(m(3, 3), 3 * std::sqrt(c), 1e-15 * 3 * std::sqrt(c));
      EXPECT_NEAR(d::fdets8(times(diag({4, mid, 9}), c)), 36 * c * c, 1e-14 * 36 * c * c);
    }
    // Every element equal: the second pivot is a cancellation and dropped.
    Mat ones = times(rows({{1, 1}, {1, 1}}), c);
    d::chols8(ones, &rank, &ierr);
    EXPECT_EQ(rank, 1);
    EXPECT_EQ(ones(2, 2), 0.0);
    Mat g = d::finvcs8(times(rows({{1, 1}, {1, 1}}), c));
    EXPECT_NEAR(g(1, 1), 1 / c, 1e-15 / c);
    EXPECT_EQ(g(2, 2), 0.0);
    // A pivot of tolerance times the scale stays; just below it goes.
    Mat keep = times(diag({1, 1.0e-9}), c), drop = times(diag({1, 0.99e-9}), c);
    d::chols8(keep, &rank);
    EXPECT_EQ(rank, 2);
    d::chols8(drop, &rank);
    EXPECT_EQ(rank, 1);
    // A negative pivot is reported at any scale.
    Mat neg = times(rows({{1, 2}, {2, 1}}), c);
    EXPECT_EQ(output_of([&] { d::chols8(neg, &rank, &ierr); }), "Matrix not semipositive-definite, row 2\n");
    EXPECT_EQ(ierr, -1);
    // Solve: components at dropped pivots are 0, the rest scale with 1/c.
    const util::vec1<double> x = d::fsolvs8(times(diag({4, 0, 9}), c), vec({8 * c, 5 * c, 18 * c}));
    EXPECT_NEAR(x(1), 2, 1e-15);
    EXPECT_EQ(x(2), 0.0);
    EXPECT_NEAR(x(3), 2, 1e-15);
    // The in-place inverse with the callers' tolerance.
    double a[4] = {2 * c, c, c, 2 * c};
    d::ginv1(a, 2, 2, 1e-18, rank);
    EXPECT_EQ(rank, 2);
    EXPECT_NEAR(a[0], 2 / (3 * c), 1e-15 / c);
    EXPECT_NEAR(a[1], -1 / (3 * c), 1e-15 / c);
    double z[4] = {c, 0, 0, 0};
    d::ginv1(z, 2, 2, 1e-18, rank);
    EXPECT_EQ(rank, 1);
    EXPECT_EQ(z[3], 0.0);
  }
}

// Random matrices of full and lower rank: the same pivots at every scale,
// and the results of the kit scaled accordingly.
TEST_F(Scale, RandomMatricesKeepTheirPivots) {
  std::mt19937_64 gen(20261207);
  for (int n = 1; n <= 8; ++n)
    for (int r = 1; r <= n; ++r) {
      const Mat a = low_rank(gen, n, r);
      Mat l1 = a;
      int rank1 = 0, ierr = 0;
      d::chols8(l1, &rank1, &ierr);
      ASSERT_EQ(ierr, 0);
      EXPECT_EQ(rank1, r) << "n=" << n;
      const Mat g1 = d::finvcs8(a);
      const double det1 = d::fdets8(a);
      Mat h1 = a;
      int grank1 = 0;
      d::ginv1(h1, n, 1e-9, grank1);
      EXPECT_EQ(grank1, r) << "n=" << n;
      for (double c : kScales) {
        SCOPED_TRACE(testing::Message() << "n=" << n << " r=" << r << " c=" << c);
        const Mat ac = times(a, c);
        Mat lc = ac;
        int rank = 0;
        d::chols8(lc, &rank);
        EXPECT_EQ(rank, rank1);
        expect_mat_near(lc, times(l1, std::sqrt(c)), 1e-9 * std::sqrt(c) * max_abs(l1));
        expect_mat_near(d::finvcs8(ac), times(g1, 1 / c), 1e-6 * max_abs(g1) / c);
        EXPECT_NEAR(d::fdets8(ac) / (det1 * std::pow(c, rank1)), 1.0, 1e-9);
        Mat hc = ac;
        d::ginv1(hc, n, 1e-9, rank);
        EXPECT_EQ(rank, grank1);
        expect_mat_near(hc, times(h1, 1 / c), 1e-6 * max_abs(h1) / c);
      }
    }
}

// The repair decides and raises relative to the largest eigenvalue: a matrix
// in other units is repaired exactly when it is, and stays quiet otherwise.
TEST_F(Scale, RepairAtEveryScale) {
  auto make = [](double l1, double l2) {
    return rows({{(l1 + l2) / 2, (l1 - l2) / 2}, {(l1 - l2) / 2, (l1 + l2) / 2}});
  };
  for (double c : kScales) {
    SCOPED_TRACE(testing::Message() << "c=" << c);
    Mat fine = make(2e-4 * c, c);
    const Mat before = fine;
    EXPECT_EQ(output_of([&] { EXPECT_EQ(d::pos_def(fine, "m", 1e-4).state, d::Repair::unchanged); }), "");
    expect_mat_near(fine, before, 0);
    Mat bad = make(-0.5 * c, c);
    EXPECT_EQ(output_of([&] { EXPECT_EQ(d::pos_def(bad, "m", 1e-4).state, d::Repair::repaired); }), "m\n");
    util::vec1<double> lam;
    Mat v;
    ASSERT_EQ(d::syev8(bad, lam, v), 0);
    EXPECT_NEAR(lam(1), 1e-4 * c, 1e-12 * c);
    EXPECT_NEAR(lam(2), c, 1e-12 * c);
  }
}
