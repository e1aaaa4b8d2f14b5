// Gamma distribution driver: argument checks and their status codes, each
// of the four computations, and the failures of the machinery beneath it.
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

struct Call {
  int which;
  double p, q, x, shape, scale;
  int status = 99;
  double bound = -7;
};

bool same(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

Call run(Call c) {
  distlib::cdfgam(c.which, c.p, c.q, c.x, c.shape, c.scale, c.status, c.bound);
  return c;
}

}  // namespace

TEST(DistlibCdfgam, ArgumentChecksInOrder) {
  struct Row {
    Call in;
    int status;
    double bound;
  };
  const Row rows[] = {
      {{0, 0.5, 0.5, 1, 1, 1}, -1, 1.0},
      {{-3, 0.5, 0.5, 1, 1, 1}, -1, 1.0},
      {{5, -1, -1, -1, -1, -1}, -1, 4.0},
      {{2, -0.1, 0.5, 1, 1, 1}, -2, 0.0},
      {{2, 1.1, 0.5, 1, 1, 1}, -2, 1.0},
      {{2, 1.0, 0.0, 1, 1, 1}, -3, 0.0},  // q = 0 fails even with p = 1
      {{3, 0.5, -0.5, 1, 1, 1}, -3, 0.0},
      {{4, 0.5, 1.5, 1, 1, 1}, -3, 1.0},
      {{1, -5, -5, -1, 1, 1}, -4, 0.0},   // p and q are outputs for which 1
      {{3, 0.5, 0.5, -1, 1, 1}, -4, 0.0},
      {{1, 0, 0, 1, 0, 1}, -5, 0.0},
      {{4, 0.5, 0.5, 1, -2, 1}, -5, 0.0},
      {{1, 0, 0, 1, 1, 0}, -6, 0.0},
      {{2, 0.5, 0.5, 1, 1, -1}, -6, 0.0},
      {{2, 0.3, 0.7 + 1.0e-15, 1, 1, 1}, 3, 1.0},
      {{3, 0.6, 0.6, 1, 1, 1}, 3, 1.0},
      // Arguments that are not numbers fail the check of their own.
      {{2, kNaN, 0.5, 1, 1, 1}, -2, 0.0},
      {{2, 0.5, kNaN, 1, 1, 1}, -3, 0.0},
      {{1, 0, 0, kNaN, 1, 1}, -4, 0.0},
      {{2, 0.5, 0.5, 1, kNaN, 1}, -5, 0.0},
      {{2, 0.5, 0.5, 1, 1, kNaN}, -6, 0.0},
  };
  for (const Row& r : rows) {
    Call c = run(r.in);
    EXPECT_EQ(c.status, r.status) << "which " << r.in.which << " p " << r.in.p << " q " << r.in.q;
    EXPECT_EQ(c.bound, r.bound) << "which " << r.in.which;
    // Nothing but status and bound changes on a failed check.
    EXPECT_TRUE(same(c.x, r.in.x));
    EXPECT_TRUE(same(c.scale, r.in.scale));
    EXPECT_TRUE(same(c.p, r.in.p));
  }
  // The sum test accepts 6.66e-16; the inverse beneath it accepts 2.22e-16.
  Call ok = run({2, 0.3, 0.7 + 4.0e-16, 1, 1, 1});
  EXPECT_EQ(ok.status, 10);
  EXPECT_EQ(ok.x, 1.0);
}

TEST(DistlibCdfgam, ProbabilitiesFromX) {
  Call z = run({1, 9, 9, 0.0, 2.0, 1.0});
  EXPECT_EQ(z.status, 0);
  EXPECT_EQ(z.p, 0.0);
  EXPECT_EQ(z.q, 1.0);
  Call e = run({1, 9, 9, 1.0, 2.0, 1.0});
  EXPECT_EQ(e.status, 0);
  EXPECT_TRUE(near_eps(e.p, 1.0 - 2.0 / std::exp(1.0), 4, 0, 0, "P(2,1)"));
  Call h = run({1, 9, 9, 0.2, 0.5, 1.0});
  EXPECT_EQ(h.p, std::erf(std::sqrt(0.2)));
  for (const auto& r : distlib_ref::cdfgam) {
    if (r.which != 1) continue;
    Call c = run({1, 9, 9, r.x, r.shape, r.scale});
    EXPECT_EQ(c.status, 0);
    double small = std::min(r.p, r.q);
    double tol = 40 + 2 * r.kappa;
    EXPECT_LE((std::fabs(c.p - r.p) - kEps) / (small * kEps), tol) << "p" << args(r.shape, r.x);
    EXPECT_LE((std::fabs(c.q - r.q) - kEps) / (small * kEps), tol) << "q" << args(r.shape, r.x);
  }
}

TEST(DistlibCdfgam, QuantileAndScale) {
  Call zero = run({2, 0.0, 1.0, 5, 3.0, 1.0});
  EXPECT_EQ(zero.status, 0);
  EXPECT_EQ(zero.x, 0.0);
  Call one = run({2, 0.3, 0.7, 0, 3.0, 1.0});
  Call two = run({2, 0.3, 0.7, 0, 3.0, 2.0});
  EXPECT_EQ(two.x, one.x / 2.0);  // scale is a rate
  for (const auto& r : distlib_ref::cdfgam) {
    if (r.which == 2) {
      Call c = run({2, r.p, r.q, -1, r.shape, r.scale});
      EXPECT_EQ(c.status, 0) << args(r.shape, r.p);
      // As for the inverse beneath: a starting value alone is good to 1e-11.
      EXPECT_LE(std::fabs(c.x - r.v), (1.0e-11 + 64 * r.kappa * kEps) * r.v) << args(r.shape, r.p);
    } else if (r.which == 4) {
      Call c = run({4, r.p, r.q, r.x, r.shape, -1});
      EXPECT_EQ(c.status, 0) << args(r.shape, r.p);
      EXPECT_LE(std::fabs(c.scale - r.v), (1.0e-11 + 64 * r.kappa * kEps) * r.v) << args(r.shape, r.p);
    }
  }
}

TEST(DistlibCdfgam, ShapeBySearch) {
  for (const auto& r : distlib_ref::cdfgam) {
    if (r.which != 3) continue;
    Call c = run({3, r.p, r.q, r.x, -1, r.scale});
    EXPECT_EQ(c.status, 0) << args(r.x, r.p);
    // The search stops at a relative tolerance of 1e-8.
    EXPECT_LE(std::fabs(c.shape - r.v), 1.5e-8 * r.v) << args(r.x, r.p) << " " << c.shape;
  }
  // No shape reaches the target: the mass below x = 0 is 0 for all shapes,
  // and the mass below 1e308 is 1 for all of them.
  Call below = run({3, 0.5, 0.5, 0.0, -1, 1.0});
  EXPECT_EQ(below.status, 1);
  EXPECT_EQ(below.bound, 0.0);
  Call above = run({3, 0.5, 0.5, 1.0e308, -1, 1.0});
  EXPECT_EQ(above.status, 2);
  EXPECT_EQ(above.bound, 1.0e300);
}

TEST(DistlibCdfgam, RatioFailuresReachTheStatus) {
  // A product x * rate beyond the doubles next to a shape beyond them: the
  // ratio cannot be formed.  (x = a = 1e30 was such a failure once; it is
  // 0.5 + 1.3e-16 now.)
  Call c = run({1, 9, 8, 1.0e308, 1.79e308, 1.8});
  EXPECT_EQ(c.status, 10);
  EXPECT_EQ(c.q, 8.0);
  Call far = run({1, 9, 8, 1.0e308, 1.0e306, 1.8});
  EXPECT_EQ(far.status, 0);
  EXPECT_EQ(far.p, 1.0);
  EXPECT_EQ(far.q, 0.0);
  Call mid = run({1, 9, 8, 1.0e30, 1.0e30, 1.0});
  EXPECT_EQ(mid.status, 0);
  EXPECT_NEAR(mid.p, 0.5, 1e-15);
}
