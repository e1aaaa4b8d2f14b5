// Small scalar functions of the distribution library.
#include <gtest/gtest.h>

#include <cmath>

#include "random/distlib.hpp"
#include "random/distlib_reference_data.hpp"
#include "random/distlib_support.hpp"

using distlib_test::args;
using distlib_test::near_eps;

TEST(DistlibNumerical, PolynomialAndMachineTable) {
  const double a[4] = {1.5, -2.0, 0.25, 3.0};
  EXPECT_EQ(distlib::eval_pol(a, 0, 7.0), 1.5);
  EXPECT_EQ(distlib::eval_pol(a, 3, 2.0), 1.5 - 4.0 + 1.0 + 24.0);
  const int want[10] = {2, 31, 2147483647, 2, 24, -125, 128, 53, -1021, 1024};
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(distlib::ipmpar(i), want[i - 1]) << i;
  EXPECT_EQ(distlib::ipmpar(0), 0);
  EXPECT_EQ(distlib::ipmpar(11), 0);
  EXPECT_EQ(distlib::eval_pol(a, -1, 2.0), 0.0);
  EXPECT_EQ(distlib::exparg(0), 709.7756150662599);
  EXPECT_EQ(distlib::exparg(1), -708.3893345680835);
  double x = 1.0, y = 2.0;
  distlib::d_swap(x, y);
  EXPECT_EQ(x, 2.0);
  EXPECT_EQ(y, 1.0);
}

TEST(DistlibNumerical, LogarithmAndExponentialForms) {
  EXPECT_EQ(distlib::rlog1(0.0), 0.0);
  EXPECT_EQ(distlib::rlog(1.0), 0.0);
  EXPECT_EQ(distlib::rexp(0.0), 0.0);
  EXPECT_EQ(distlib::dexpm1(0.3), distlib::rexp(0.3));
  // Both sides of each branch boundary agree with the exact value.
  for (const auto& r : distlib_ref::rlog1)
    EXPECT_TRUE(near_eps(distlib::rlog1(r.x), r.v, 4, 1, r.kappa, "rlog1" + args(r.x)));
  for (const auto& r : distlib_ref::rlog)
    EXPECT_TRUE(near_eps(distlib::rlog(r.x), r.v, 4, 1, r.kappa, "rlog" + args(r.x)));
  for (const auto& r : distlib_ref::rexp)
    EXPECT_TRUE(near_eps(distlib::rexp(r.x), r.v, 4, 1, r.kappa, "rexp" + args(r.x)));
  for (const auto& r : distlib_ref::alnrel)
    EXPECT_TRUE(near_eps(distlib::alnrel(r.x), r.v, 4, 1, r.kappa, "alnrel" + args(r.x)));
}

TEST(DistlibNumerical, EsumPicksTheSafeForm) {
  EXPECT_EQ(distlib::esum(0, -1.5), std::exp(-1.5));
  EXPECT_EQ(distlib::esum(3, -1.0), std::exp(3.0) * std::exp(-1.0));
  EXPECT_EQ(distlib::esum(1, -2.0), std::exp(-1.0));
  EXPECT_EQ(distlib::esum(-1, 0.5), std::exp(-1.0) * std::exp(0.5));
  EXPECT_EQ(distlib::esum(-1, 2.0), std::exp(1.0));
}

TEST(DistlibNumerical, Digamma) {
  EXPECT_EQ(distlib::psi(0.0), 0.0);
  EXPECT_EQ(distlib::psi(-3.0), 0.0);
  EXPECT_EQ(distlib::psi(1.4616321449683622), 0.0);
  EXPECT_EQ(distlib::psi(-3.0e9), 0.0);
  // The published rational approximations are good to about 1e-14 apart
  // from the cancellation that the condition number measures.
  for (const auto& r : distlib_ref::psi) {
    if (r.x >= 2147483647.0) {
      EXPECT_EQ(distlib::psi(r.x), std::log(r.x));  // the series is dropped there
      continue;
    }
    EXPECT_TRUE(near_eps(distlib::psi(r.x), r.v, 60, 4, r.kappa, "psi" + args(r.x)));
  }
}

TEST(DistlibNumerical, ErrorFunction) {
  EXPECT_EQ(distlib::erf(0.0), 0.0);
  EXPECT_EQ(distlib::erf(5.8), 1.0);
  EXPECT_EQ(distlib::erf(-5.8), -1.0);
  for (double x : {0.2, 0.5, 1.7, 4.2, 5.5}) EXPECT_EQ(distlib::erf(-x), -distlib::erf(x));
  for (const auto& r : distlib_ref::erf)
    EXPECT_TRUE(near_eps(distlib::erf(r.x), r.v, 8, 2, r.kappa, "erf" + args(r.x)));
}
