// The forms the sampler calls per block and per record allocate nothing.

#include "count_new.hpp"
#include "dense/ginv1.hpp"
#include "helpers.hpp"

namespace d = denseop;

TEST(NoAllocation, HotFormsAtOrderTwenty) {
  d::denseop_tol = 1.0e-9;
  d::mat20 a(20);
  for (int i = 1; i <= 20; ++i)
    for (int j = 1; j <= i; ++j) a(i, j) = a(j, i) = (i == j ? 30.0 : 1.0 / (i + j));
  a(7, 7) = 0;  // one dropped pivot on the way
  for (int j = 1; j <= 20; ++j) a(7, j) = a(j, 7) = 0;
  double rhs[20], x[20];
  for (int i = 0; i < 20; ++i) rhs[i] = i;
  d::mat20 out;
  int rank = 0;

  const long before = counted::news;
  out = d::fchols8(a);
  out = d::finvcs8(a);
  d::fsolvs8(a, rhs, x);
  const double det = d::fdets8(a);
  d::fchols8(a.data(), 20, d::mat20::ld, out.data(), d::mat20::ld);
  d::finvcs8(a.data(), 20, d::mat20::ld, out.data(), d::mat20::ld);
  d::fsolvs8(a.data(), 20, d::mat20::ld, rhs, x);
  d::ginv1(a.data(), 20, d::mat20::ld, 1e-18, rank);
  EXPECT_EQ(counted::news, before);

  EXPECT_GT(det, 0);
  EXPECT_EQ(rank, 19);
  EXPECT_EQ(x[6], 0.0);
  d::denseop_tol = 1.0e-10;
}
