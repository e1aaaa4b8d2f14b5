// In-place generalised inverse with an explicit tolerance.
#include <cmath>

#include "dense/ginv1.hpp"
#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

TEST(Ginv1, OneByOne) {
  double a = 4;
  int rank = -9;
  d::ginv1(&a, 1, 1, 1e-18, rank);
  EXPECT_EQ(a, 0.25);
  EXPECT_EQ(rank, 1);

  // The tolerance is relative to the matrix's largest diagonal element: a
  // matrix of order 1 keeps any positive pivot, however small.
  a = 1e-19;
  d::ginv1(&a, 1, 1, 1e-18, rank);
  EXPECT_NEAR(a, 1e19, 1e4);
  EXPECT_EQ(rank, 1);

  double b[4] = {1, 0, 0, 1e-19};  // below the tolerance times 1: dropped
  d::ginv1(b, 2, 2, 1e-18, rank);
  EXPECT_EQ(b[0], 1.0);
  EXPECT_EQ(b[3], 0.0);
  EXPECT_EQ(rank, 1);

  double c[4] = {1, 0, 0, 1e-18};  // equal to the tolerance times 1: kept
  d::ginv1(c, 2, 2, 1e-18, rank);
  EXPECT_NEAR(c[3], 1e18, 1e3);
  EXPECT_EQ(rank, 2);

  a = -2;  // negative: dropped silently
  const std::string out = output_of([&] { d::ginv1(&a, 1, 1, 1e-18, rank); });
  EXPECT_EQ(a, 0.0);
  EXPECT_EQ(rank, 0);
  EXPECT_EQ(out, "");

  a = 7;
  d::ginv1(&a, 0, 1, 1e-18, rank);
  EXPECT_EQ(a, 7.0);
  EXPECT_EQ(rank, 0);
}

TEST(Ginv1, SingularInputs) {
  int rank = -9;
  auto z = rows({{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  d::ginv1(z, 3, 1e-18, rank);
  expect_mat_eq(z, {{0, 0, 0}, {0, 0, 0}, {0, 0, 0}});
  EXPECT_EQ(rank, 0);

  auto ones = rows({{1, 1}, {1, 1}});
  d::ginv1(ones, 2, 1e-18, rank);
  expect_mat_eq(ones, {{1, 0}, {0, 0}});
  EXPECT_EQ(rank, 1);

  // A zero second row and column between non-zero ones: the inverse of the
  // rest, re-expanded.
  auto a = rows({{2, 0, 1}, {0, 0, 0}, {1, 0, 2}});
  d::ginv1(a, 3, 1e-18, rank);
  expect_mat_near(a, rows({{2.0 / 3, 0, -1.0 / 3}, {0, 0, 0}, {-1.0 / 3, 0, 2.0 / 3}}), 1e-15);
  EXPECT_EQ(rank, 2);

  // A dropped middle pivot whose row has non-zero entries to its left.
  auto b = rows({{4, 2, 6}, {2, 1, 3}, {6, 3, 13}});
  d::ginv1(b, 3, 1e-18, rank);
  EXPECT_EQ(rank, 2);
  // Kept pivots 1 and 3: inverse of ((4,6),(6,13)), det 16.
  expect_mat_near(b, rows({{13.0 / 16, 0, -6.0 / 16}, {0, 0, 0}, {-6.0 / 16, 0, 4.0 / 16}}), 1e-15);
}

TEST(Ginv1, ReadsLowerTriangleAndLeadingBlockOnly) {
  // Order 3 in a 20 by 20 array: everything outside the leading block stays.
  util::mat1<double> g(20, 20);
  for (int j = 1; j <= 20; ++j)
    for (int i = 1; i <= 20; ++i) g(i, j) = 100 + i + 20 * j;
  const double lower[3][3] = {{4, 0, 0}, {2, 10, 0}, {6, 9, 22}};
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= i; ++j) g(i, j) = lower[i - 1][j - 1];
  // The upper entries of the block still hold junk; they are ignored.
  int rank = 0;
  d::ginv1(g.data(), 3, 20, 1e-18, rank);
  EXPECT_EQ(rank, 3);
  auto want = d::finvcs8(rows({{4, 2, 6}, {2, 10, 9}, {6, 9, 22}}));
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) {
      EXPECT_NEAR(g(i, j), want(i, j), 1e-15);
      EXPECT_EQ(g(i, j), g(j, i));
    }
  for (int j = 1; j <= 20; ++j)
    for (int i = 1; i <= 20; ++i)
      if (i > 3 || j > 3) {
        EXPECT_EQ(g(i, j), 100 + i + 20 * j) << i << "," << j;
      }
}

TEST(Ginv1, NotANumberPivotStays) {
  double a = std::nan("");
  int rank = 0;
  d::ginv1(&a, 1, 1, 1e-18, rank);
  EXPECT_EQ(rank, 1);
  EXPECT_TRUE(std::isnan(a));
}
