// Stirling remainders, the normal log tail, the normal quantile and the t
// start value: their values, symmetries and the stops outside their domains.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "random/distlib.hpp"
#include "random/distlib_support.hpp"
#include "util/stop.hpp"

using distlib_test::kEps;
using distlib_test::near_eps;

namespace {

std::string stop_text(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const util::Stop& s) {
    return s.what();
  }
  return "no stop";
}

// ln Gamma(z) - ((z - 0.5) ln z - z + ln sqrt(2 pi)) from the C library's
// log-gamma, good to about 1e-14 absolute for moderate z.
double remainder_ref(double z) {
  return std::lgamma(z) - ((z - 0.5) * std::log(z) - z + 0.9189385332046728);
}

}  // namespace

TEST(DistlibTail, StirlingRemainder) {
  // Above 6 the nine-term series: 1/(12 z) - 1/(360 z^3) + ...
  double z = 7.0;
  double series = 1.0 / (12 * z) - 1.0 / (360 * z * z * z) + 1.0 / (1260 * std::pow(z, 5)) -
                  1.0 / (1680 * std::pow(z, 7));
  EXPECT_NEAR(distlib::dstrem(7.0), series, 1e-10);
  EXPECT_NEAR(distlib::dstrem(7.0), 0.0118967, 1e-7);
  for (double zz : {6.000000000000001, 7.0, 12.5}) {
    EXPECT_NEAR(distlib::dstrem(zz), remainder_ref(zz), 1e-13) << zz;
  }
  for (double zz : {100.0, 1e6, 1e100}) {
    double want = 1.0 / (12 * zz) - 1.0 / (360 * zz * zz * zz) + 1.0 / (1260 * std::pow(zz, 5));
    EXPECT_NEAR(distlib::dstrem(zz), want, 4 * kEps * want + 1.0 / (1680 * std::pow(zz, 7)))
        << zz;
  }
  // At and below 6 the remainder itself, not 0.
  for (double zz : {6.0, 3.5, 1.0, 0.5, 1e-3}) {
    EXPECT_NEAR(distlib::dstrem(zz), remainder_ref(zz), 1e-12 * std::fmax(1.0, remainder_ref(zz)))
        << zz;
  }
  EXPECT_NEAR(distlib::dstrem(1.0), 1.0 - 0.9189385332046728, 1e-14);
  // The beta remainder from three of them.
  for (auto [a, b] : {std::pair{8.0, 9.5}, {2.0, 30.0}, {0.5, 0.7}}) {
    double want = -remainder_ref(a + b) + remainder_ref(std::fmax(a, b)) +
                  remainder_ref(std::fmin(a, b));
    EXPECT_NEAR(distlib::dbetrm(a, b), want, 1e-12) << a << " " << b;
    EXPECT_EQ(distlib::dbetrm(a, b), distlib::dbetrm(b, a));
  }
}

TEST(DistlibTail, StopsOutsideTheDomain) {
  const std::string stirling = " \nDTSTREM - Fatal error!\n  Zero or negative argument.";
  EXPECT_EQ(stop_text([] { distlib::dstrem(0.0); }), stirling);
  EXPECT_EQ(stop_text([] { distlib::dstrem(-1.0); }), stirling);
  // a + b = 2 and max = 3 pass; min = -1 stops.
  EXPECT_EQ(stop_text([] { distlib::dbetrm(3.0, -1.0); }), stirling);
  EXPECT_EQ(stop_text([] { distlib::dbetrm(-3.0, 1.0); }), stirling);
  const std::string lanor = " \nDLANOR - Fatal error!\n  Argument too small.";
  EXPECT_EQ(stop_text([] { distlib::dlanor(4.9); }), lanor);
  EXPECT_EQ(stop_text([] { distlib::dlanor(-4.9); }), lanor);
  EXPECT_EQ(stop_text([] { distlib::dlanor(5.0); }), "no stop");
}

TEST(DistlibTail, NormalLogTail) {
  // The asymptotic series is good to the size of its last term.
  for (double x : {5.0, 6.0, 8.0, 12.0, 30.0}) {
    double direct = std::log(0.5 * std::erfc(x / std::sqrt(2.0)));
    double last = 316234143225.0 / std::pow(x, 24);
    EXPECT_NEAR(distlib::dlanor(x), direct, 2 * last + 64 * kEps * std::fabs(direct)) << x;
    EXPECT_EQ(distlib::dlanor(-x), distlib::dlanor(x));
  }
  // Far out, where the tail itself underflows.
  double x = 50.0;
  double want = -0.9189385332046728 - std::log(x) - 0.5 * x * x + std::log1p(-1.0 / (x * x) +
                3.0 / std::pow(x, 4) - 15.0 / std::pow(x, 6));
  EXPECT_TRUE(near_eps(distlib::dlanor(x), want, 16, 0, 0, "dlanor(50)"));
}

TEST(DistlibTail, NormalQuantileAndTStart) {
  // Points whose complement is exact.
  for (double p : {0.015625, 0.125, 0.25, 0.375, 0.4375}) {
    EXPECT_EQ(distlib::stvaln(p), -distlib::stvaln(1.0 - p)) << p;
  }
  EXPECT_GT(distlib::stvaln(0.75), 0.0);
  for (double p : {1e-300, 1e-10, 0.025, 0.3, 0.5, 0.7, 0.975}) {
    double q = 1.0 - p;
    if (p != 0.5) {
      EXPECT_EQ(distlib::dinvnr(p, q), -distlib::dinvnr(q, p)) << p;
    }
    double c, cc;
    double x = distlib::dinvnr(p, q);
    distlib::cumnor(x, c, cc);
    EXPECT_NEAR(std::fmin(c, cc), std::fmin(p, q), 1e-9 * std::fmin(p, q)) << p;
  }
  EXPECT_NEAR(distlib::dinvnr(0.975, 0.025), 1.959963984540054, 1e-13);
  // Cornish-Fisher start values: close for large df, four terms only for small.
  EXPECT_NEAR(distlib::dt1(0.975, 0.025, 1e6), 1.959964, 1e-5);
  EXPECT_NEAR(distlib::dt1(0.975, 0.025, 1.0), 11.30, 0.01);
  EXPECT_NEAR(distlib::dt1(0.975, 0.025, 5.0), 2.5703, 1e-4);
  for (double df : {1.0, 5.0, 40.0}) {
    EXPECT_EQ(distlib::dt1(0.025, 0.975, df), -distlib::dt1(0.975, 0.025, df));
  }
  EXPECT_GE(distlib::dt1(0.5, 0.5, 3.0), 0.0);
}
