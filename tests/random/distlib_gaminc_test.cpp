// Incomplete gamma ratios and their inverse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "random/distlib.hpp"
#include "random/distlib_reference_data.hpp"
#include "random/distlib_support.hpp"

using distlib_test::args;
using distlib_test::err_eps;
using distlib_test::kEps;
using distlib_test::near_eps;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kXmax = 1.7976931348623157e308;
}  // namespace

TEST(DistlibGammaInc, EdgeCasesAndErrorExits) {
  double p = -1, q = -1;
  distlib::gamma_inc(1.0, 1.0, p, q, 0);  // finite sum
  EXPECT_TRUE(near_eps(q, std::exp(-1.0), 2, 0, 0, "Q(1,1)"));
  EXPECT_EQ(p, 1.0 - q);
  distlib::gamma_inc(0.5, 0.2, p, q, 0);
  EXPECT_EQ(p, std::erf(std::sqrt(0.2)));
  EXPECT_EQ(q, 1.0 - p);
  distlib::gamma_inc(0.5, 1.0, p, q, 0);
  EXPECT_EQ(q, distlib::erfc1(0, 1.0));
  // The exact limits {a, x, P, Q}.
  const double limits[][4] = {
      {3.0, 0.0, 0.0, 1.0}, {0.0, 2.0, 1.0, 0.0},
      // a power term that underflows, an abscissa negligible beside the shape
      {0.7, 800.0, 1.0, 0.0}, {1.0e300, 1.0e-30, 0.0, 1.0},
      // far beyond the bulk of the Temme region; one ulp above a huge shape
      // is 2e134 standard deviations
      {1.0e4, 5.0e3, 0.0, 1.0}, {1.0e4, 2.0e4, 1.0, 0.0},
      {1.0e300, std::nextafter(1.0e300, 2.0e300), 1.0, 0.0}};
  for (const auto& l : limits) {
    distlib::gamma_inc(l[0], l[1], p, q, 0);
    EXPECT_EQ(p, l[2]) << args(l[0], l[1]);
    EXPECT_EQ(q, l[3]) << args(l[0], l[1]);
  }
  // Error exits store 2.0 in P and leave Q alone.
  const double bad[][2] = {{0.0, 0.0}, {-1.0, 1.0}, {1.0, -1.0}, {kNaN, 1.0}, {1.0, kNaN},
                           {kInf, 1.0}, {2.0, kInf}};
  for (const auto& b : bad) {
    p = 0.25;
    q = 0.75;
    distlib::gamma_inc(b[0], b[1], p, q, 0);
    EXPECT_EQ(p, 2.0) << args(b[0], b[1]);
    EXPECT_EQ(q, 0.75) << args(b[0], b[1]);
  }
  // x at or an ulp from a huge shape, once an error exit (the point's
  // distance from the shape was taken from the rounded x / a): {a, x, P}
  // against mpmath.
  const double huge[][3] = {{1.0e30, 1.0e30, 0.50000000000000013298},
                            {1.0e30, std::nextafter(1.0e30, 0.0), 0.44403866420186923197}};
  for (const auto& h : huge) {
    distlib::gamma_inc(h[0], h[1], p, q, 0);
    EXPECT_NEAR(p, h[2], 1e-15) << args(h[0], h[1]);
    EXPECT_NEAR(q, 1.0 - h[2], 1e-15) << args(h[0], h[1]);
  }
}

TEST(DistlibGammaInc, AccuracyIndexSelectsTheTables) {
  const double cases[][2] = {{0.3, 0.5}, {5.5, 4.0}, {12.0, 15.0}, {15.0, 14.99}, {30.0, 30.01},
                             {30.0, 30.5}, {60.0, 50.0}, {60.0, 100.0}};
  for (const auto& c : cases) {
    double p2, q2, p5, q5, p0, q0, p1, q1;
    distlib::gamma_inc(c[0], c[1], p2, q2, 2);
    distlib::gamma_inc(c[0], c[1], p5, q5, 5);
    EXPECT_EQ(p2, p5);
    EXPECT_EQ(q2, q5);
    distlib::gamma_inc(c[0], c[1], p0, q0, 0);
    distlib::gamma_inc(c[0], c[1], p1, q1, 1);
    // Each level meets its requested accuracy, 5e-7 and 5e-4.
    double small = std::min(p0, q0);
    EXPECT_LE(std::fabs(p1 - p0), 5.0e-7 * small * 4) << args(c[0], c[1]);
    EXPECT_LE(std::fabs(p2 - p0), 5.0e-4 * small * 4) << args(c[0], c[1]);
  }
}

// Error of both tails relative to the smaller one: the smaller tail is the
// one that carries the information, and a method that forms it as 1 minus
// the other would fail this test.
TEST(DistlibGammaInc, RatiosAgainstReference) {
  for (const auto& r : distlib_ref::gamma_inc) {
    double p = -1, q = -1;
    distlib::gamma_inc(r.a, r.x, p, q, 0);
    double small = std::min(r.p, r.q);
    double tol = 40 + 2 * r.kappa;  // requested accuracy 5e-15 is 22.5 eps
    // The larger tail also carries the rounding of 1 minus the smaller.
    double ep = (std::fabs(p - r.p) - kEps) / (small * kEps);
    double eq = (std::fabs(q - r.q) - kEps) / (small * kEps);
    EXPECT_LE(ep, tol) << "P" << args(r.a, r.x) << " got " << p << " want " << r.p;
    EXPECT_LE(eq, tol) << "Q" << args(r.a, r.x) << " got " << q << " want " << r.q;
  }
}

TEST(DistlibGammaInc, SmallShapeRatiosWithGivenPowerTerm) {
  double p = -1, q = -1;
  distlib::gamma_rat1(0.5, 0.2, 0.0, p, q, 1e-15);
  EXPECT_EQ(p, std::erf(std::sqrt(0.2)));
  distlib::gamma_rat1(0.7, 0.0, 0.0, p, q, 1e-15);
  EXPECT_EQ(p, 0.0);
  EXPECT_EQ(q, 1.0);
  p = 0.25;
  q = 0.75;
  distlib::gamma_rat1(kNaN, 1.0, 1.0, p, q, 1e-15);
  EXPECT_EQ(p, 2.0);
  EXPECT_EQ(q, 0.75);
  for (const auto& r : distlib_ref::gamma_inc) {
    if (r.a >= 1.0 || r.a == 0.5) continue;
    distlib::gamma_rat1(r.a, r.x, distlib::rcomp(r.a, r.x), p, q, 1e-15);
    double small = std::min(r.p, r.q);
    double tol = 40 + 2 * r.kappa;
    EXPECT_LE((std::fabs(p - r.p) - kEps) / (small * kEps), tol) << "P" << args(r.a, r.x);
    EXPECT_LE((std::fabs(q - r.q) - kEps) / (small * kEps), tol) << "Q" << args(r.a, r.x);
  }
}

TEST(DistlibGammaIncInv, ClosedFormsAndErrorCodes) {
  double x = -1;
  int ierr = 99;
  distlib::gamma_inc_inv(2.5, x, -1.0, 0.0, 1.0, ierr);
  EXPECT_EQ(x, 0.0);
  EXPECT_EQ(ierr, 0);
  distlib::gamma_inc_inv(2.5, x, -1.0, 1.0, 0.0, ierr);
  EXPECT_EQ(x, kXmax);
  EXPECT_EQ(ierr, 0);
  distlib::gamma_inc_inv(1.0, x, -1.0, 0.5, 0.5, ierr);
  EXPECT_TRUE(near_eps(x, std::log(2.0), 2, 0, 0, "ln 2"));
  EXPECT_EQ(ierr, 0);
  distlib::gamma_inc_inv(1.0, x, -1.0, 0.05, 0.95, ierr);  // q >= 0.9: -alnrel(-p)
  EXPECT_EQ(x, -distlib::alnrel(-0.05));
  distlib::gamma_inc_inv(2.5, x, -1.0, 0.3, 0.7 + 4.0e-16, ierr);
  EXPECT_EQ(ierr, -4);
  EXPECT_EQ(x, 0.0);
  distlib::gamma_inc_inv(0.0, x, -1.0, 0.3, 0.7, ierr);
  EXPECT_EQ(ierr, -2);
  EXPECT_EQ(x, 0.0);
  distlib::gamma_inc_inv(kNaN, x, -1.0, 0.3, 0.7, ierr);
  EXPECT_EQ(ierr, -2);
  distlib::gamma_inc_inv(2.5, x, -1.0, kNaN, 0.7, ierr);
  EXPECT_EQ(ierr, -4);
  // A lower tail below 1e10 times the smallest normal number is out of
  // reach of the iteration; from the closed forms the start underflows.
  distlib::gamma_inc_inv(2.5, x, 1.0, 1.0e-300, 1.0, ierr);
  EXPECT_EQ(ierr, -8);
  EXPECT_EQ(x, 1.0);
  distlib::gamma_inc_inv(0.5, x, -1.0, 1.0e-300, 1.0, ierr);
  EXPECT_EQ(ierr, -3);
  EXPECT_EQ(x, 0.0);
  // From a start of the caller's: a ratio that is exactly 0 at the start
  // ends the iteration (-8); a step past 0 ends it with that iterate (-7).
  distlib::gamma_inc_inv(2.5, x, 1.0e10, 0.3, 0.7, ierr);
  EXPECT_EQ(ierr, -8);
  EXPECT_EQ(x, 1.0e10);
  distlib::gamma_inc_inv(2.5, x, 50.0, 0.3, 0.7, ierr);
  EXPECT_EQ(ierr, -7);
  EXPECT_LE(x, 0.0);
  // Tiny shape with a small upper tail: the start exp(-(q/a + Euler)).
  distlib::gamma_inc_inv(1.0e-12, x, -1.0, 1.0 - 1.0e-11, 1.0e-11, ierr);
  EXPECT_GE(ierr, 0);
  double pp, qq;
  distlib::gamma_inc(1.0e-12, x, pp, qq, 0);
  EXPECT_NEAR(qq / 1.0e-11, 1.0, 1e-12);
  // Half way at a = 1000 the start (about a - 1/3) needs the iteration.
  distlib::gamma_inc_inv(1000.0, x, -1.0, 0.5, 0.5, ierr);
  EXPECT_GT(ierr, 0);
  EXPECT_NEAR(x, 1000.0 - 1.0 / 3.0, 1e-2);
  // A start value of the caller's is refined the same way.
  double x2;
  int ierr2;
  distlib::gamma_inc_inv(1000.0, x2, 990.0, 0.5, 0.5, ierr2);
  EXPECT_GT(ierr2, 0);
  EXPECT_NEAR(x2 / x, 1.0, 1e-12);
}

// The inverse stops by rules of its own: after a step smaller than 1e-10,
// or once |w| t^2 <= 1e-10 (which leaves a third-order remainder of about
// 1e-15 sqrt|w|), and for small lower tails it keeps the starting value,
// a fixed point of the first terms of the series (good to about 1e-11).
double inverse_tolerance(int ierr, double kappa) {
  return (ierr == 0 ? 1.0e-11 : 1.0e-13) + 64 * kappa * kEps;
}

TEST(DistlibGammaIncInv, QuantilesAgainstReference) {
  for (const auto& r : distlib_ref::gamma_inc_inv) {
    double x = -1;
    int ierr = 99;
    distlib::gamma_inc_inv(r.a, x, -1.0, r.p, r.q, ierr);
    EXPECT_GE(ierr, 0) << args(r.a, r.p);
    EXPECT_LE(std::fabs(x - r.x), inverse_tolerance(ierr, r.kappa) * r.x)
        << args(r.a, r.p) << " q " << r.q << " got " << x << " want " << r.x;
  }
}
