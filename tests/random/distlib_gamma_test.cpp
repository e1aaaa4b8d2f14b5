// Gamma function, its logarithm, the complementary error function, the
// machine constants, 1/Gamma(1 + a) - 1, the log-beta family and the gamma
// power term.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "random/distlib.hpp"
#include "random/distlib_reference_data.hpp"
#include "random/distlib_support.hpp"
#include "util/stop.hpp"

using distlib_test::args;
using distlib_test::near_eps;

namespace {
const double kSqrtPi = 1.7724538509055160273;
}

TEST(DistlibGamma, GammaLogAgainstReference) {
  EXPECT_EQ(distlib::gamma_log(1.0), 0.0);
  EXPECT_EQ(distlib::gamma_log(2.0), 0.0);
  EXPECT_TRUE(near_eps(distlib::gamma_log(10.0), std::log(362880.0), 2, 0, 0, "gamma_log(10)"));
  for (const auto& r : distlib_ref::gamma_log)
    EXPECT_TRUE(near_eps(distlib::gamma_log(r.x), r.v, 4, 0.5, r.kappa, "gamma_log" + args(r.x)));
}

TEST(DistlibGamma, GammaLn1AgainstReference) {
  EXPECT_EQ(distlib::gamma_ln1(0.0), 0.0);
  EXPECT_EQ(distlib::gamma_ln1(1.0), 0.0);
  for (const auto& r : distlib_ref::gamma_ln1)
    EXPECT_TRUE(near_eps(distlib::gamma_ln1(r.x), r.v, 4, 0.5, r.kappa, "gamma_ln1" + args(r.x)));
}

TEST(DistlibGamma, GammaBranchesAndLimits) {
  EXPECT_TRUE(near_eps(distlib::gamma(5.0), 24.0, 2, 0, 0, "gamma(5)"));
  EXPECT_TRUE(near_eps(distlib::gamma(0.5), kSqrtPi, 2, 0, 0, "gamma(0.5)"));
  EXPECT_TRUE(near_eps(distlib::gamma(-0.5), -2.0 * kSqrtPi, 3, 0, 0, "gamma(-0.5)"));
  EXPECT_EQ(distlib::gamma(0.0), 0.0);
  EXPECT_EQ(distlib::gamma(-3.0), 0.0);
  EXPECT_EQ(distlib::gamma(-15.0), 0.0);
  EXPECT_EQ(distlib::gamma(172.0), 0.0);  // ln Gamma(172) = 711.7 > 709.7685
  EXPECT_EQ(distlib::gamma(1000.0), 0.0);
  EXPECT_EQ(distlib::gamma(-1000.5), 0.0);
  EXPECT_EQ(distlib::gamma(1.0e-320), 0.0);  // 1/a would overflow
  EXPECT_EQ(distlib::gamma(1.0e-300), 1.0 / 1.0e-300);
  double g = distlib::gamma(-20.5);
  EXPECT_LT(g, 0.0);
  EXPECT_TRUE(std::isfinite(g));
  // Products, Stirling's series and the reflection; the reflection carries
  // the library's 14-digit pi, and exp(g) the rounding of g (kappa).
  for (const auto& r : distlib_ref::gamma) {
    double base = r.x <= -15.0 ? 60 : 4;
    EXPECT_TRUE(near_eps(distlib::gamma(r.x), r.v, base, 1, r.kappa, "gamma" + args(r.x)));
  }
}

TEST(DistlibGamma, Erfc1PlainAndScaled) {
  EXPECT_EQ(distlib::erfc1(0, 0.0), 1.0);
  EXPECT_EQ(distlib::erfc1(1, 0.0), 1.0);
  EXPECT_EQ(distlib::erfc1(0, 30.0), 0.0);  // 900 > 708.389
  EXPECT_EQ(distlib::erfc1(0, 200.0), 0.0);
  EXPECT_EQ(distlib::erfc1(0, -6.0), 2.0);
  EXPECT_TRUE(near_eps(distlib::erfc1(1, -6.0), 2.0 * std::exp(36.0), 2, 0, 0, "erfcx(-6)"));
  double big = distlib::erfc1(1, 30.0);
  EXPECT_NEAR(big * 30.0 * kSqrtPi, 1.0, 1e-3);
  // The published tables carry about 15 digits.
  for (const auto& r : distlib_ref::erfc)
    EXPECT_TRUE(near_eps(distlib::erfc1(0, r.x), r.v, 12, 1, r.kappa, "erfc" + args(r.x)));
  for (const auto& r : distlib_ref::erfcx)
    EXPECT_TRUE(near_eps(distlib::erfc1(1, r.x), r.v, 12, 1, r.kappa, "erfcx" + args(r.x)));
}

TEST(DistlibGamma, MachineConstants) {
  EXPECT_EQ(distlib::dpmpar(1), 2.220446049250313e-16);
  EXPECT_EQ(distlib::dpmpar(2), 2.2250738585072014e-308);
  EXPECT_EQ(distlib::dpmpar(3), 1.7976931348623157e308);
  try {
    distlib::dpmpar(4);
    FAIL() << "dpmpar(4) returned";
  } catch (const util::Stop& s) {
    EXPECT_EQ(std::string(s.what()), " \n DPMPAR - Fatal error!\n   Illegal input argument I = 4");
    EXPECT_FALSE(s.to_stderr);
  }
}

TEST(DistlibGamma, Gam1) {
  EXPECT_EQ(distlib::gam1(0.0), 0.0);
  EXPECT_EQ(distlib::gam1(1.0), 0.0);
  EXPECT_TRUE(near_eps(distlib::gam1(0.5), 2.0 / kSqrtPi - 1.0, 4, 0, 0, "gam1(0.5)"));
  for (const auto& r : distlib_ref::gam1)
    EXPECT_TRUE(near_eps(distlib::gam1(r.x), r.v, 4, 0.5, r.kappa, "gam1" + args(r.x)));
}

TEST(DistlibGamma, BetaLogFamily) {
  EXPECT_EQ(distlib::beta_log(1.0, 1.0), 0.0);
  EXPECT_TRUE(near_eps(distlib::beta_log(2.0, 3.0), std::log(1.0 / 12.0), 4, 0, 0, "beta_log(2,3)"));
  EXPECT_EQ(distlib::gsumln(1.0, 1.0), 0.0);
  EXPECT_TRUE(near_eps(distlib::gsumln(2.0, 2.0), std::log(6.0), 4, 0, 0, "gsumln(2,2)"));
  for (const auto& r : distlib_ref::beta_log) {
    EXPECT_EQ(distlib::beta_log(r.a, r.b), distlib::beta_log(r.b, r.a));
    EXPECT_TRUE(near_eps(distlib::beta_log(r.a, r.b), r.v, 16, 2, r.kappa,
                         "beta_log" + args(r.a, r.b)));
  }
}

TEST(DistlibGamma, StirlingRemainders) {
  // ln(Gamma(b)/Gamma(a + b)) for either order of the shapes, and the
  // remainder of ln B for two large shapes, against the platform's lgamma.
  const double pairs[][2] = {{0.5, 8.0}, {3.0, 20.0}, {20.0, 10.0}, {150.0, 9.0}};
  for (const auto& s : pairs) {
    double want = std::lgamma(s[1]) - std::lgamma(s[0] + s[1]);
    EXPECT_NEAR(distlib::algdiv(s[0], s[1]), want, 1e-12 * std::fabs(want)) << args(s[0], s[1]);
  }
  auto del = [](double a) { return std::lgamma(a) - ((a - 0.5) * std::log(a) - a + 0.9189385332046728); };
  for (const auto& s : {std::pair{8.0, 9.0}, std::pair{30.0, 12.5}, std::pair{15.0, 40.0}}) {
    double want = del(s.first) + del(s.second) - del(s.first + s.second);
    EXPECT_NEAR(distlib::bcorr(s.first, s.second), want, 1e-12) << args(s.first, s.second);
  }
}

TEST(DistlibGamma, BetaPowerProducts) {
  EXPECT_EQ(distlib::beta_rcomp(2.5, 3.5, 0.0, 1.0), 0.0);
  EXPECT_EQ(distlib::beta_rcomp(2.5, 3.5, 1.0, 0.0), 0.0);
  for (double x : {0.1, 0.3, 0.5, 0.8})
    EXPECT_TRUE(near_eps(distlib::beta_rcomp(1.0, 1.0, x, 1.0 - x), x * (1.0 - x), 6, 0, 0,
                         "beta_rcomp(1,1)" + args(x)));
  // Every branch of the product: small and large shapes, both orders.
  const double shapes[][2] = {{0.3, 0.6}, {0.3, 4.5}, {0.8, 4.5}, {0.3, 12.0}, {2.5, 3.5},
                              {9.0, 11.0}, {12.0, 9.0}, {0.8, 0.4}};
  for (const auto& s : shapes) {
    for (double x : {0.2, 0.5, 0.7}) {
      double y = 1.0 - x;
      double want = std::exp(s[0] * std::log(x) + s[1] * std::log(y) - distlib::beta_log(s[0], s[1]));
      EXPECT_TRUE(near_eps(distlib::beta_rcomp(s[0], s[1], x, y), want, 200, 0, 0,
                           "beta_rcomp" + args(s[0], s[1])));
      EXPECT_EQ(distlib::beta_rcomp1(0, s[0], s[1], x, y), distlib::beta_rcomp(s[0], s[1], x, y));
    }
  }
  // e^-749.3 underflows; scaled by e^708 it is about e^-41.3.
  double x = std::exp(-375.0);
  EXPECT_EQ(distlib::beta_rcomp(2.0, 1.0, x, 1.0 - x), 0.0);
  double scaled = distlib::beta_rcomp1(708, 2.0, 1.0, x, 1.0 - x);
  EXPECT_NEAR(std::log(scaled), 708.0 - 750.0 + std::log(2.0), 1e-9);
}

TEST(DistlibGamma, PowerTerm) {
  // a = 1 is exp(t) / Gamma(1) exactly; a = 20 takes the Stirling form.
  EXPECT_EQ(distlib::rcomp(1.0, 2.5), std::exp(std::log(2.5) - 2.5) / distlib::gamma(1.0));
  const double t = (1.0 / 20.0) * (1.0 / 20.0);
  EXPECT_EQ(distlib::rcomp(20.0, 20.0),
            0.398942280401433 * std::sqrt(20.0) *
                std::exp((((0.75 * t - 1.0) * t + 3.5) * t - 105.0) / (20.0 * 1260.0)));
  for (const auto& r : distlib_ref::rcomp)
    EXPECT_TRUE(near_eps(distlib::rcomp(r.a, r.b), r.v, 16, 2, r.kappa, "rcomp" + args(r.a, r.b)));
  for (const auto& r : distlib_ref::rcomp_a0_5)
    EXPECT_TRUE(near_eps(distlib::rcomp(0.5, r.x), r.v, 16, 2, r.kappa, "rcomp(0.5)" + args(r.x)));
}
