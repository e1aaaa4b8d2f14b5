// Incomplete beta ratio: its status codes, the trivial cases, every method
// region against mpmath, its symmetry, and the pieces' own edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "random/distlib.hpp"
#include "random/distlib_reference_data.hpp"
#include "random/distlib_support.hpp"

using distlib_test::args;
using distlib_test::kEps;
using distlib_test::near_eps;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Ratio {
  double w = -1, w1 = -1;
  int ierr = -1;
};

Ratio ratio(double a, double b, double x, double y) {
  Ratio r;
  distlib::beta_ratio(a, b, x, y, r.w, r.w1, r.ierr);
  return r;
}

}  // namespace

TEST(DistlibBetaRatio, StatusCodesInOrder) {
  struct Row {
    double a, b, x, y;
    int ierr;
  };
  const Row rows[] = {
      {-1, 2, 0.3, 0.7, 1},       {2, -1, 0.3, 0.7, 1},
      {-1, 2, 1.5, 0.7, 1},       // a shape check comes before the point checks
      {0, 0, 0.3, 0.7, 2},        {0, 0, 1.5, -3, 2},
      {2, 3, 1.5, -0.5, 3},       {2, 3, -0.1, 1.1, 3},
      {2, 3, 0.3, 1.2, 4},        {2, 3, 0.3, -0.7, 4},
      {2, 3, 0.3, 0.700000000000001, 5},  // a miss of 9.99e-16
      {2, 3, 0.5, 0.4, 5},
      {0, 3, 0, 1, 6},            {3, 0, 1, 0, 7},
      // Arguments that are not numbers fail the check of their own.
      {kNaN, 2, 0.3, 0.7, 1},     {2, kNaN, 0.3, 0.7, 1},
      {2, 3, kNaN, 0.7, 3},       {2, 3, 0.3, kNaN, 4},
  };
  for (const Row& r : rows) {
    Ratio got = ratio(r.a, r.b, r.x, r.y);
    EXPECT_EQ(got.ierr, r.ierr) << r.a << " " << r.b << " " << r.x << " " << r.y;
    EXPECT_EQ(got.w, 0.0);
    EXPECT_EQ(got.w1, 0.0);
  }
  // Misses of the pair up to 3 epsilons pass.
  for (double y : {0.7, 0.7000000000000004, 0.7000000000000006}) {
    EXPECT_EQ(ratio(2, 3, 0.3, y).ierr, 0) << y;
  }
}

TEST(DistlibBetaRatio, TrivialCases) {
  struct Row {
    double a, b, x, y, w, w1;
  };
  const Row rows[] = {
      {2, 3, 0, 1, 0, 1},   {0, 3, 0.4, 0.6, 1, 0}, {3, 0, 0.4, 0.6, 0, 1},
      {2, 3, 1, 0, 1, 0},   {0, 2, 0.5, 0.5, 1, 0}, {2, 0, 0.5, 0.5, 0, 1},
      {1e-19, 1e-19, 0.3, 0.7, 0.5, 0.5},  // both shapes negligible
      {1e-19, 3e-19, 0.9, 0.1, 0.75, 0.25},
  };
  for (const Row& r : rows) {
    Ratio got = ratio(r.a, r.b, r.x, r.y);
    EXPECT_EQ(got.ierr, 0);
    EXPECT_EQ(got.w, r.w) << r.a << " " << r.b << " " << r.x;
    EXPECT_EQ(got.w1, r.w1) << r.a << " " << r.b << " " << r.x;
  }
}

TEST(DistlibBetaRatio, ClosedForms) {
  // I_x(1, 1) = x, I_x(a, 1) = x^a, I_x(1, b) = 1 - (1 - x)^b; the complement
  // in w1.  Shapes and points across the regions.
  // The powers are formed as exp(a ln x), whose error grows with |a ln x|.
  for (double x : {1e-8, 0.05, 0.3, 0.5, 0.77, 0.999}) {
    double y = 1.0 - x;
    Ratio u = ratio(1, 1, x, y);
    EXPECT_TRUE(near_eps(u.w, x, 4, 1, std::fabs(std::log(x)), "I(1,1)" + args(x)));
    for (double a : {0.25, 2.0, 7.5, 60.0}) {
      Ratio r = ratio(a, 1, x, y);
      double want = std::pow(x, a);
      if (want > 1e-300) {
        EXPECT_TRUE(near_eps(r.w, want, 16, 2, a * (1 + std::fabs(std::log(x))),
                             "I(a,1)" + args(a, x)));
      }
      EXPECT_NEAR(r.w + r.w1, 1.0, 4 * kEps);
      Ratio s = ratio(1, a, x, y);
      double comp = std::pow(y, a);
      if (comp > 1e-300) {
        EXPECT_TRUE(near_eps(s.w1, comp, 16, 2, a * (1 + std::fabs(std::log(y))),
                             "I(1,b)" + args(a, x)));
      }
    }
  }
}

TEST(DistlibBetaRatio, EveryRegionAgainstReference) {
  distlib_test::Worst worst;
  for (const auto& r : distlib_ref::beta_ratio) {
    double a = r.x1, b = r.x2, x = r.x3, y = 1.0 - x;
    Ratio got = ratio(a, b, x, y);
    ASSERT_EQ(got.ierr, 0) << args(a, b) << " x " << x;
    double small = std::min(r.cum, r.ccum);
    // Each result within the error of its own tail, measured on the smaller.
    double tol = 60 + 4 * r.kappa;
    double ew = (std::fabs(got.w - r.cum) - kEps * (r.cum > 0.5)) / (small * kEps);
    double ew1 = (std::fabs(got.w1 - r.ccum) - kEps * (r.ccum > 0.5)) / (small * kEps);
    worst.add(std::max(ew, ew1), args(a, b) + " x " + std::to_string(x));
    EXPECT_LE(ew, tol) << "w" << args(a, b) << " x " << x << " got " << got.w;
    EXPECT_LE(ew1, tol) << "w1" << args(a, b) << " x " << x << " got " << got.w1;
    // Exchanging the shapes and the pair exchanges the results.
    Ratio sw = ratio(b, a, y, x);
    EXPECT_EQ(sw.ierr, 0);
    EXPECT_LE((std::fabs(sw.w1 - r.cum) - kEps * (r.cum > 0.5)) / (small * kEps), tol)
        << "swapped" << args(a, b) << " x " << x;
    EXPECT_LE((std::fabs(sw.w - r.ccum) - kEps * (r.ccum > 0.5)) / (small * kEps), tol)
        << "swapped" << args(a, b) << " x " << x;
    EXPECT_NEAR(got.w + got.w1, 1.0, 4 * kEps);
  }
  RecordProperty("worst_eps", std::to_string(worst.err) + " at " + worst.at);
}

TEST(DistlibBetaRatio, Pieces) {
  // fpser: x^a underflows (a ln x = -2302.6), and a negligible a skips the power.
  EXPECT_EQ(distlib::fpser(100, 1e-20, 1e-10, 1e-15), 0.0);
  double f = distlib::fpser(1e-19, 1e-40, 0.3, 1e-15);
  EXPECT_NEAR(f, (1e-40 / 1e-19) * (1.0 + 1e-19 * 0.3 / (1e-19 + 1)), 1e-35);
  // beta_pser at x = 0 and with the factor x alone (a = b = 1).
  EXPECT_EQ(distlib::beta_pser(2.5, 3, 0, 1e-15), 0.0);
  EXPECT_TRUE(near_eps(distlib::beta_pser(1, 1, 0.37, 1e-15), 0.37, 4, 0, 0, "pser(1,1)"));
  // beta_up with n = 1 is x^a y^b / (a B(a, b)) = I_x(a, b) - I_x(a + 1, b).
  for (double a : {0.5, 3.0}) {
    double x = 0.4, y = 0.6, b = 2.5;
    double up = distlib::beta_up(a, b, x, y, 1, 1e-15);
    double direct = std::pow(x, a) * std::pow(y, b) / (a * distlib::beta(a, b));
    EXPECT_TRUE(near_eps(up, direct, 32, 0, 0, "beta_up n=1" + args(a)));
    Ratio r0 = ratio(a, b, x, y), r1 = ratio(a + 1, b, x, y);
    EXPECT_NEAR(up, r0.w - r1.w, 32 * kEps);
    // n terms at once.
    Ratio r5 = ratio(a + 5, b, x, y);
    EXPECT_NEAR(distlib::beta_up(a, b, x, y, 5, 1e-15), r0.w - r5.w, 64 * kEps);
  }
  // beta_grat with x = 1: b z = 0, so it reports 1 and leaves w alone.
  double w = 0.25;
  int ierr = 0;
  distlib::beta_grat(30, 0.5, 1.0, 0.0, w, 15e-15, ierr);
  EXPECT_EQ(ierr, 1);
  EXPECT_EQ(w, 0.25);
  // beta_frac and beta_asym return 0 when their leading factor underflows.
  EXPECT_EQ(distlib::beta_frac(5000, 6000, 0.1, 0.9, 11000 * 0.9 - 6000, 15e-15), 0.0);
  EXPECT_EQ(distlib::beta_asym(1e6, 1e6, 5e5, 1e-13), 0.0);
  // apser: for a -> 0, 1 - I_x(a, 2) = a (-ln x - (1 - x)) to first order.
  double s1 = distlib::apser(1e-17, 2, 0.3, 1e-15);
  EXPECT_NEAR(s1, 1e-17 * (-std::log(0.3) - 0.7), 1e-17 * 1e-14);
  // The complete beta function.
  EXPECT_EQ(distlib::beta(1, 1), 1.0);
  EXPECT_TRUE(near_eps(distlib::beta(2, 3), 1.0 / 12.0, 8, 0, 0, "B(2,3)"));
  EXPECT_TRUE(near_eps(distlib::beta(0.5, 0.5), M_PI, 16, 0, 0, "B(1/2,1/2)"));
}

TEST(DistlibBetaRatio, FailuresAreReportedNotLooped) {
  // Infinite shapes pass the checks but no series can converge on them.
  Ratio r = ratio(std::numeric_limits<double>::infinity(), 2, 0.3, 0.7);
  EXPECT_TRUE(r.ierr == 0 || r.ierr == 8);
  EXPECT_FALSE(std::isnan(r.w));
  EXPECT_FALSE(std::isnan(r.w1));
  if (r.ierr == 8) {
    EXPECT_EQ(r.w, 0.0);
    EXPECT_EQ(r.w1, 0.0);
  }
  // The pieces give NaN rather than a loop without end.
  EXPECT_TRUE(std::isnan(distlib::beta_frac(kNaN, 50, 0.4, 0.6, 1.0, 1e-14)));
  EXPECT_TRUE(std::isnan(distlib::apser(1e-17, 2, kNaN, 1e-15)));
  EXPECT_TRUE(std::isnan(distlib::beta_pser(0.5, 0.5, kNaN, 1e-15)));
}
