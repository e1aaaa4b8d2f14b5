// Cholesky factor, generalised inverse, solve and determinant: worked values,
// dropped and negative pivots, partial results and messages.
#include <cmath>

#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

namespace {
const std::string kNeg1 = "Matrix not semipositive-definite, row 1\n";
const std::string kNeg2 = "Matrix not semipositive-definite, row 2\n";
}  // namespace

using Cholesky = DenseTest;

TEST_F(Cholesky, RegularSingularAndEmpty) {
  int rank = -9, ierr = -9;
  util::mat1<double> e;
  d::chols8(e, &rank, &ierr);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(d::fchols8(e).rows(), 0);

  auto z = rows({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  std::string out = output_of([&] { d::chols8(z, &rank, &ierr); });
  expect_mat_eq(z, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(out, "");

  auto id = diag({1, 1, 1});
  d::chols8(id, &rank);
  expect_mat_eq(id, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  EXPECT_EQ(rank, 3);

  // Second pivot 1 - 1 = 0 is dropped and clears L(2,1) computed before it.
  auto ones = rows({{1, 1}, {1, 1}});
  d::chols8(ones, &rank, &ierr);
  expect_mat_eq(ones, {{1, 0}, {0, 0}});
  EXPECT_EQ(rank, 1);
  EXPECT_EQ(ierr, 0);

  auto a = rows({{4, 2, 6}, {2, 10, 9}, {6, 9, 22}});
  expect_mat_eq(d::fchols8(a), {{2, 0, 0}, {1, 3, 0}, {3, 2, 3}});
  expect_mat_eq(a, {{4, 2, 6}, {2, 10, 9}, {6, 9, 22}});  // function form leaves m alone
}

TEST_F(Cholesky, TinyPivotsAreDroppedWithoutMessage) {
  for (double mid : {1.0e-11, -1.0e-11}) {
    auto m = diag({4, mid, 9});
    int rank = -9, ierr = -9;
    const std::string out = output_of([&] { d::chols8(m, &rank, &ierr); });
    expect_mat_eq(m, {{2, 0, 0}, {0, 0, 0}, {0, 0, 3}});
    EXPECT_EQ(rank, 2);
    EXPECT_EQ(ierr, 0);
    EXPECT_EQ(out, "");
  }
  // A pivot equal to the tolerance is kept.
  d::denseop_tol = 1.0e-9;
  auto t = diag({1.0e-9});
  d::chols8(t);
  EXPECT_EQ(t(1, 1), std::sqrt(1.0e-9));
  // The tolerance is the kit's current one.
  auto u = diag({1.0e-10 * 5, 1});
  int rank = 0;
  d::chols8(u, &rank);
  EXPECT_EQ(rank, 1);
  EXPECT_EQ(u(1, 1), 0.0);
}

TEST_F(Cholesky, NegativePivotReportsAndLeavesPartialFactor) {
  auto m1 = diag({-1});
  int rank = -9, ierr = -9;
  std::string out = output_of([&] { d::chols8(m1, &rank, &ierr); });
  EXPECT_EQ(out, kNeg1);
  EXPECT_EQ(m1(1, 1), -1.0);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(ierr, -1);

  // Rows (1,2),(2,1): second pivot 1 - 4 = -3.  The upper input entry 7 is
  // never read and is zero on return.
  auto m2 = rows({{1, 7}, {2, 1}});
  out = output_of([&] { d::chols8(m2, &rank, &ierr); });
  EXPECT_EQ(out, kNeg2);
  expect_mat_eq(m2, {{1, 0}, {2, 1}});
  EXPECT_EQ(rank, 1);
  EXPECT_EQ(ierr, -1);

  // Rows after the failing one keep their input values below the diagonal.
  auto m3 = rows({{1, 0, 0}, {2, 1, 0}, {5, 6, 8}});
  out = output_of([&] { d::chols8(m3, &rank, &ierr); });
  EXPECT_EQ(out, kNeg2);
  expect_mat_eq(m3, {{1, 0, 0}, {2, 1, 0}, {5, 6, 8}});
  EXPECT_EQ(rank, 1);
}

TEST_F(Cholesky, UpperTriangleIsNeverRead) {
  auto a = rows({{4, 100, -3}, {2, 10, 55}, {6, 9, 22}});
  auto b = rows({{4, 2, 6}, {2, 10, 9}, {6, 9, 22}});
  expect_mat_near(d::fchols8(a), d::fchols8(b), 0);
  expect_mat_near(d::finvcs8(a), d::finvcs8(b), 0);
  EXPECT_EQ(d::fdets8(a), d::fdets8(b));
  auto x = d::fsolvs8(a, vec({1, 2, 3}));
  auto y = d::fsolvs8(b, vec({1, 2, 3}));
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(x(i), y(i));
}

TEST_F(Cholesky, RawAndFixedFormsUseLeadingSection) {
  // The leading 2 by 2 section of a 3 by 3 array, leading dimension 3.
  auto big = rows({{4, 0, 99}, {2, 10, 99}, {99, 99, 99}});
  double l[4] = {-1, -1, -1, -1};
  d::fchols8(big.data(), 2, 3, l, 2);
  EXPECT_EQ(l[0], 2.0);
  EXPECT_EQ(l[1], 1.0);
  EXPECT_EQ(l[2], 0.0);
  EXPECT_EQ(l[3], 3.0);
  d::fchols8(big.data(), 0, 3, l, 2);  // k = 0 leaves the output alone
  EXPECT_EQ(l[0], 2.0);

  d::mat20 m(3);
  m(1, 1) = 4, m(2, 1) = 2, m(3, 1) = 6, m(2, 2) = 10, m(3, 2) = 9, m(3, 3) = 22;
  const d::mat20 f = d::fchols8(m);
  EXPECT_EQ(f.n, 3);
  EXPECT_EQ(f(3, 2), 2.0);
  EXPECT_EQ(f(1, 3), 0.0);
  const d::mat20 g = d::finvcs8(m);
  auto want = d::finvcs8(rows({{4, 2, 6}, {2, 10, 9}, {6, 9, 22}}));
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) EXPECT_EQ(g(i, j), want(i, j));
  EXPECT_EQ(d::fdets8(m), 36.0 * 9.0);
  double x[3];
  const double rhs[3] = {12, 21, 37};
  d::fsolvs8(m, rhs, x);
  EXPECT_NEAR(x[0], 1, 1e-14);
  EXPECT_NEAR(x[1], 1, 1e-14);
  EXPECT_NEAR(x[2], 1, 1e-14);
}

TEST_F(Cholesky, SinglePrecisionTwin) {
  auto m = rows<float>({{2, 0}, {1, 2}});
  auto l = d::fchols4(m);
  EXPECT_EQ(l(1, 1), std::sqrt(2.0f));
  EXPECT_EQ(l(2, 1), 1.0f / std::sqrt(2.0f));
  EXPECT_EQ(l(2, 2), std::sqrt(2.0f - l(2, 1) * l(2, 1)));
  EXPECT_EQ(l(1, 2), 0.0f);
  // The tolerance test widens the 32-bit pivot exactly: with a matrix of
  // scale 1, 1e-10f is 1.00000001e-10 and stays, the next float below 1e-10
  // is dropped.
  auto t = diag<float>({1.0f, 1.0e-10f, std::nextafter(1.0e-10f, 0.0f)});
  int rank = 0;
  d::chols4(t, &rank);
  EXPECT_EQ(rank, 2);
  EXPECT_EQ(t(2, 2), std::sqrt(1.0e-10f));
  EXPECT_EQ(t(3, 3), 0.0f);
  auto neg = rows<float>({{1, 0}, {2, 1}});
  int ierr = 0;
  EXPECT_EQ(output_of([&] { d::chols4(neg, &rank, &ierr); }), kNeg2);
  EXPECT_EQ(ierr, -1);
}

TEST_F(Cholesky, PackedForms) {
  // Order 3 from length 6; length 7 is also order 3 and its 7th element stays.
  auto p = vec({4, 2, 6, 10, 9, 22, 77});
  int rank = 0, ierr = -9;
  d::chols8t(p, &rank, &ierr);
  const double want[] = {2, 1, 3, 3, 2, 3, 77};  // L' by rows
  for (int i = 1; i <= 7; ++i) EXPECT_EQ(p(i), want[i - 1]) << i;
  EXPECT_EQ(rank, 3);
  EXPECT_EQ(ierr, 0);

  auto q = vec({4, 2, 6, 10, 9, 22});
  auto r = d::fchols8t(q);
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(r(i), want[i - 1]);
  EXPECT_EQ(q(2), 2.0);

  auto q4 = vec<float>({4, 2, 6, 10, 9, 22, 5});
  auto r4 = d::fchols4t(q4);
  EXPECT_EQ(r4.size(), 7);
  for (int i = 1; i <= 7; ++i) EXPECT_EQ(r4(i), static_cast<float>(i == 7 ? 5 : want[i - 1]));
  d::chols4t(q4, &rank);
  EXPECT_EQ(q4(5), 2.0f);
}

using GenInverse = DenseTest;

TEST_F(GenInverse, WorkedValues) {
  int rank = -9, ierr = -9;
  util::mat1<double> e;
  d::invcs8(e, &rank, &ierr);
  EXPECT_EQ(rank, 0);

  expect_mat_eq(d::finvcs8(diag({1, 1, 1})), {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});

  auto m = diag({4, 0, 9});
  const std::string out = output_of([&] { d::invcs8(m, &rank, &ierr); });
  EXPECT_EQ(out, "");
  expect_mat_near(m, diag({0.25, 0, 1.0 / 9}), 1e-16);
  EXPECT_EQ(rank, 2);
  EXPECT_EQ(ierr, 0);

  expect_mat_near(d::finvcs8(rows({{2, 1}, {1, 2}})), rows({{2.0 / 3, -1.0 / 3}, {-1.0 / 3, 2.0 / 3}}),
                  1e-15);
  expect_mat_eq(d::finvcs8(rows({{1, 1}, {1, 1}})), {{1, 0}, {0, 0}});
  auto z = rows({{0, 0}, {0, 0}});
  d::invcs8(z, &rank);
  expect_mat_eq(z, {{0, 0}, {0, 0}});
  EXPECT_EQ(rank, 0);

  // The 1 by 1 inverse of 0 is 0, not a division by zero.
  expect_mat_eq(d::finvcs8(diag({0})), {{0}});
  EXPECT_DOUBLE_EQ(d::finvcs8(diag({5}))(1, 1), 0.2);
}

TEST_F(GenInverse, NegativePivotLeavesPartialFactor) {
  util::mat1<double> g;
  const std::string out = output_of([&] { g = d::finvcs8(rows({{1, 2}, {2, 1}})); });
  EXPECT_EQ(out, kNeg2 + "Inverse not possible\n");
  expect_mat_eq(g, {{1, 0}, {2, 1}});

  auto m = rows({{1, 2}, {2, 1}});
  int rank = -9, ierr = -9;
  output_of([&] { d::invcs8(m, &rank, &ierr); });
  EXPECT_EQ(ierr, -1);
  EXPECT_EQ(rank, 1);
  expect_mat_eq(m, {{1, 0}, {2, 1}});

  auto p = vec({1, 2, 1});
  EXPECT_EQ(output_of([&] { d::invcs8t(p, &rank); }), kNeg2 + "Inverse not possible\n");
  EXPECT_EQ(p(1), 1.0);
  EXPECT_EQ(p(2), 2.0);  // partial factor packed back
  EXPECT_EQ(p(3), 1.0);

  auto f4 = rows<float>({{1, 2}, {2, 1}});
  EXPECT_EQ(output_of([&] { d::finvcs4(f4); }), kNeg2 + "Inverse not possible\n");
}

TEST_F(GenInverse, DroppedPivotsGiveReflexiveInverse) {
  // Third row is the sum of the first two: its pivot vanishes.
  auto a = rows({{4, 2, 6}, {2, 5, 7}, {6, 7, 13}});
  auto g = d::finvcs8(a);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(g(i, 3), 0.0);
    EXPECT_EQ(g(3, i), 0.0);
  }
  // The kept part is the inverse of the leading 2 by 2 block.
  const double det = 4 * 5 - 2 * 2;
  EXPECT_NEAR(g(1, 1), 5 / det, 1e-15);
  EXPECT_NEAR(g(2, 1), -2 / det, 1e-15);
  EXPECT_NEAR(g(1, 2), -2 / det, 1e-15);
  EXPECT_NEAR(g(2, 2), 4 / det, 1e-15);
}

TEST_F(GenInverse, PackedAndSinglePrecision) {
  auto p = vec({2, 1, 2});
  auto g = d::finvcs8t(p);
  EXPECT_NEAR(g(1), 2.0 / 3, 1e-15);
  EXPECT_NEAR(g(2), -1.0 / 3, 1e-15);
  EXPECT_NEAR(g(3), 2.0 / 3, 1e-15);
  int rank = 0;
  d::invcs8t(p, &rank);
  EXPECT_EQ(rank, 2);
  EXPECT_EQ(p(2), g(2));

  auto g4 = d::finvcs4(rows<float>({{2, 1}, {1, 2}}));
  EXPECT_NEAR(g4(1, 1), 2.0 / 3, 1e-7);
  EXPECT_EQ(g4(1, 2), g4(2, 1));
  auto g4t = d::finvcs4t(vec<float>({4, 0, 0}));
  EXPECT_EQ(g4t(1), 0.25f);
  EXPECT_EQ(g4t(3), 0.0f);
}

using Solve = DenseTest;

TEST_F(Solve, WorkedValues) {
  auto x = d::fsolvs8(rows({{2, 1}, {1, 2}}), vec({3, 3}));
  EXPECT_NEAR(x(1), 1, 1e-15);
  EXPECT_NEAR(x(2), 1, 1e-15);

  auto m = diag({4, 0, 9});
  auto y = vec({8, 5, 18});
  int rank = -9, ierr = -9;
  const std::string out = output_of([&] { d::solvs8(m, y, &rank, &ierr); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(y(1), 2.0);
  EXPECT_EQ(y(2), 0.0);  // the 5 is ignored
  EXPECT_EQ(y(3), 2.0);
  EXPECT_EQ(rank, 2);
  EXPECT_EQ(ierr, 0);
  expect_mat_eq(m, {{2, 0, 0}, {0, 0, 0}, {0, 0, 3}});  // the factor is left in m

  auto s = d::fsolvs8(rows({{1, 1}, {1, 1}}), vec({2, 2}));
  EXPECT_EQ(s(1), 2.0);
  EXPECT_EQ(s(2), 0.0);

  util::vec1<double> sol;
  d::solvs8f(rows({{0, 0}, {0, 0}}), vec({3, 4}), sol, &rank, &ierr);
  EXPECT_EQ(sol(1), 0.0);
  EXPECT_EQ(sol(2), 0.0);
  EXPECT_EQ(rank, 0);

  util::mat1<double> e;
  util::vec1<double> ev;
  d::solvs8(e, ev, &rank, &ierr);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(ierr, 0);
  EXPECT_EQ(d::fsolvs8(e, ev).size(), 0);
}

TEST_F(Solve, NegativePivotReturnsRightHandSide) {
  util::vec1<double> x;
  std::string out = output_of([&] { x = d::fsolvs8(rows({{1, 2}, {2, 1}}), vec({1, 1})); });
  EXPECT_EQ(out, kNeg2 + "Solving not possible\n");
  EXPECT_EQ(x(1), 1.0);
  EXPECT_EQ(x(2), 1.0);

  util::vec1<float> x4;
  out = output_of([&] { x4 = d::fsolvs4(rows<float>({{1, 2}, {2, 1}}), vec<float>({1, 1})); });
  EXPECT_EQ(out, kNeg2 + "Solution not possible\n");
  EXPECT_EQ(x4(2), 1.0f);

  util::vec1<double> sol;
  int rank = -9, ierr = -9;
  out = output_of([&] { d::solvs8t(vec({1, 2, 1}), vec({5, 6}), sol, &rank, &ierr); });
  EXPECT_EQ(out, kNeg2 + "Solving not possible\n");
  EXPECT_EQ(sol(1), 5.0);
  EXPECT_EQ(sol(2), 6.0);
  EXPECT_EQ(ierr, -1);

  // Raw form, solving in place over the right-hand side.
  const auto m = rows({{1, 2}, {2, 1}});
  double v[2] = {7, 8};
  out = output_of([&] { d::fsolvs8(m.data(), 2, 2, v, v); });
  EXPECT_EQ(out, kNeg2 + "Solving not possible\n");
  EXPECT_EQ(v[0], 7.0);
  EXPECT_EQ(v[1], 8.0);
}

TEST_F(Solve, PackedAndSinglePrecision) {
  auto x = d::fsolvs8t(vec({2, 1, 2, 99}), vec({3, 3}));
  ASSERT_EQ(x.size(), 2);
  EXPECT_NEAR(x(1), 1, 1e-15);
  EXPECT_NEAR(x(2), 1, 1e-15);
  auto x4 = d::fsolvs4t(vec<float>({4, 0, 9}), vec<float>({8, 18}));
  EXPECT_EQ(x4(1), 2.0f);
  EXPECT_EQ(x4(2), 2.0f);
  auto m4 = diag<float>({4, 9});
  auto y4 = vec<float>({8, 18});
  int rank = 0, ierr = -9;
  d::solvs4(m4, y4, &rank, &ierr);
  EXPECT_EQ(y4(2), 2.0f);
  EXPECT_EQ(rank, 2);
  EXPECT_EQ(ierr, 0);
}

using Determinant = DenseTest;

TEST_F(Determinant, WorkedValues) {
  util::mat1<double> e;
  EXPECT_EQ(d::fdets8(e), 1.0);
  EXPECT_EQ(d::fdets8(diag({1, 1, 1})), 1.0);
  EXPECT_EQ(d::fdets8(diag({4, 9})), 36.0);
  EXPECT_NEAR(d::fdets8(rows({{2, 1}, {1, 2}})), 3.0, 1e-15);
  EXPECT_EQ(d::fdets8(rows({{1, 1}, {1, 1}})), 1.0);
  EXPECT_EQ(d::fdets8(rows({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}})), 1.0);
  std::string out;
  for (double mid : {1.0e-11, -1.0e-11}) {
    out = output_of([&] { EXPECT_EQ(d::fdets8(diag({4, mid, 9})), 36.0); });
    EXPECT_EQ(out, "");
  }
}

TEST_F(Determinant, NegativePivotUsesPartialFactor) {
  std::string out = output_of([&] { EXPECT_EQ(d::fdets8(diag({-1})), 1.0); });
  EXPECT_EQ(out, kNeg1);
  out = output_of([&] { EXPECT_EQ(d::fdets8(rows({{1, 2}, {2, 1}})), 1.0); });
  EXPECT_EQ(out, kNeg2);
  // Input diagonal values after the failing row enter the product as they are.
  out = output_of([&] { EXPECT_EQ(d::fdets8(rows({{4, 0, 0}, {4, 1, 0}, {0, 0, 3}})), 4.0 * 1 * 9); });
  EXPECT_EQ(out, kNeg2);
}

TEST_F(Determinant, PackedAndSinglePrecision) {
  EXPECT_EQ(d::fdets8p(vec({4, 0, 9})), 36.0);
  EXPECT_EQ(d::fdets8p(vec({4, 0, 9, 1000})), 36.0);  // 4th element takes no part
  EXPECT_EQ(d::fdets4p(vec<float>({4, 0, 9})), 36.0f);
  // 64-bit arithmetic on the widened matrix, narrowed once.
  auto m4 = rows<float>({{3, 0.1f}, {0.1f, 7}});
  util::mat1<double> m8(2, 2);
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) m8(i, j) = m4(i, j);
  EXPECT_EQ(d::fdets4(m4), static_cast<float>(d::fdets8(m8)));
}
