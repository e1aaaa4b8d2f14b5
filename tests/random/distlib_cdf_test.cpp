// Cumulative distribution functions: their guards and the error values they
// pass on, their symmetries, and the noncentral mixtures against mpmath.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <sstream>
#include <string>

#include "random/distlib.hpp"
#include "random/distlib_reference_data.hpp"
#include "random/distlib_support.hpp"

using distlib_test::kEps;

namespace {

std::string row_text(const distlib_ref::Cum& r) {
  std::ostringstream os;
  os.precision(17);
  os << "(" << r.x1 << ", " << r.x2 << ", " << r.x3 << ", " << r.x4 << ")";
  return os.str();
}

}  // namespace

// Both tails of the beta, t, Poisson, negative binomial, F, chi-square,
// binomial and normal functions against mpmath are checked through the
// drivers' which 1 (distlib_drivers_test.cpp).

TEST(DistlibCum, NoncentralMixtures) {
  // The mixture sums stop at relative terms of 1e-4 (F) and 1e-5 (chi-square);
  // the smaller tail, summed from its own terms, keeps about that relative
  // accuracy (7e-4 and 3e-5 measured with noncentralities up to 800) however
  // far out it lies, and the larger is its complement.
  auto check = [](const distlib_ref::Cum& r, double c, double cc, double rel) {
    const bool lower = r.cum <= r.ccum;
    EXPECT_NEAR(lower ? c : cc, lower ? r.cum : r.ccum, rel * std::min(r.cum, r.ccum))
        << row_text(r) << (lower ? " lower" : " upper");
    EXPECT_NEAR(c + cc, 1.0, 2 * kEps) << row_text(r);
  };
  auto fnc = [&](const auto& rows) {
    for (const auto& r : rows) {
      double c = -1, cc = -1;
      distlib::cumfnc(r.x1, r.x2, r.x3, r.x4, c, cc);
      check(r, c, cc, 7e-4);
    }
  };
  auto chn = [&](const auto& rows) {
    for (const auto& r : rows) {
      double c = -1, cc = -1;
      distlib::cumchn(r.x1, r.x2, r.x3, c, cc);
      check(r, c, cc, 2e-5);
    }
  };
  fnc(distlib_ref::cumfnc);
  fnc(distlib_ref::cumfnc_tails);
  chn(distlib_ref::cumchn);
  chn(distlib_ref::cumchn_tails);
  // Thresholds of the central forms: cumchn takes it at 1e-10 itself,
  // cumfnc only below.
  double c1, cc1, c2, cc2;
  distlib::cumchn(3.0, 2.0, 1e-10, c1, cc1);
  distlib::cumchi(3.0, 2.0, c2, cc2);
  EXPECT_EQ(c1, c2);
  EXPECT_EQ(cc1, cc2);
  distlib::cumfnc(1.5, 3.0, 7.0, 0.99e-10, c1, cc1);
  distlib::cumf(1.5, 3.0, 7.0, c2, cc2);
  EXPECT_EQ(c1, c2);
  EXPECT_EQ(cc1, cc2);
  distlib::cumfnc(1.5, 3.0, 7.0, 1e-10, c1, cc1);
  EXPECT_NEAR(c1, c2, 1e-9);
  // A point at or below 0.
  distlib::cumfnc(0.0, 3.0, 7.0, 2.0, c1, cc1);
  EXPECT_EQ(c1, 0.0);
  EXPECT_EQ(cc1, 1.0);
  distlib::cumchn(-1.0, 3.0, 2.0, c1, cc1);
  EXPECT_EQ(c1, 0.0);
  EXPECT_EQ(cc1, 1.0);
}

TEST(DistlibCum, GuardsAndEdges) {
  struct Row {
    const char* what;
    std::function<void(double&, double&)> fn;
    double cum, ccum;
  };
  const Row rows[] = {
      {"cumt t=0", [](double& c, double& cc) { distlib::cumt(0.0, 3.5, c, cc); }, 0.5, 0.5},
      {"cumt df=0 t<0", [](double& c, double& cc) { distlib::cumt(-2.0, 0.0, c, cc); }, 0, 1},
      {"cumt df=0 t>0", [](double& c, double& cc) { distlib::cumt(2.0, 0.0, c, cc); }, 1, 0},
      {"cumt far below 1e-308", [](double& c, double& cc) { distlib::cumt(-1e200, 3.0, c, cc); },
       0, 1},
      {"cumbet x<=0", [](double& c, double& cc) { distlib::cumbet(0.0, 0.0, -1, -1, c, cc); },
       0, 1},
      {"cumbet y<=0", [](double& c, double& cc) { distlib::cumbet(1.0, 0.0, 2, 3, c, cc); },
       1, 0},
      {"cumbin s>=xn", [](double& c, double& cc) { distlib::cumbin(5, 5, -1, 9, c, cc); }, 1, 0},
      {"cumbin pr=0", [](double& c, double& cc) { distlib::cumbin(2, 5, 0, 1, c, cc); }, 1, 0},
      {"cumbin ompr=0", [](double& c, double& cc) { distlib::cumbin(2, 5, 1, 0, c, cc); }, 0, 1},
      {"cumbin s=-1", [](double& c, double& cc) { distlib::cumbin(-1, 4, 0.3, 0.7, c, cc); },
       0, 1},
      {"cumbin s<-1", [](double& c, double& cc) { distlib::cumbin(-2, 4, 0.3, 0.7, c, cc); },
       0, 0},
      {"cumnbn pr=0", [](double& c, double& cc) { distlib::cumnbn(2, 3, 0, 1, c, cc); }, 0, 1},
      {"cumnbn ompr=0", [](double& c, double& cc) { distlib::cumnbn(2, 3, 1, 0, c, cc); }, 1, 0},
      {"cumf f=0", [](double& c, double& cc) { distlib::cumf(0, 3, 4, c, cc); }, 0, 1},
      {"cumf dfd=0", [](double& c, double& cc) { distlib::cumf(2, 3, 0, c, cc); }, 0, 0},
      {"cumf dfn=0", [](double& c, double& cc) { distlib::cumf(2, 0, 3, c, cc); }, 0, 0},
      {"cumpoi xlam=0", [](double& c, double& cc) { distlib::cumpoi(3, 0, c, cc); }, 1, 0},
      {"cumpoi s=-1", [](double& c, double& cc) { distlib::cumpoi(-1, 2.5, c, cc); }, 0, 1},
      {"cumgam x<=0", [](double& c, double& cc) { distlib::cumgam(0, -3, c, cc); }, 0, 1},
      {"cumchi x<=0", [](double& c, double& cc) { distlib::cumchi(-1, 3, c, cc); }, 0, 1},
  };
  for (const Row& r : rows) {
    double c = -7, cc = -7;
    r.fn(c, cc);
    EXPECT_EQ(c, r.cum) << r.what;
    EXPECT_EQ(cc, r.ccum) << r.what;
  }
  // The gamma ratio's error exit: 2.0 where P goes, the other output untouched.
  double c = 9, cc = 9;
  distlib::cumpoi(-2.5, 3.0, c, cc);
  EXPECT_EQ(cc, 2.0);
  EXPECT_EQ(c, 9.0);
  c = 9;
  cc = 9;
  distlib::cumgam(2.0, -0.5, c, cc);
  EXPECT_EQ(c, 2.0);
  EXPECT_EQ(cc, 9.0);
}

TEST(DistlibCum, SymmetriesAndExactMappings) {
  for (double t : {0.3, 1.0, 2.5, 40.0}) {
    for (double df : {0.5, 3.0, 25.0}) {
      double c1, cc1, c2, cc2;
      distlib::cumt(t, df, c1, cc1);
      distlib::cumt(-t, df, c2, cc2);
      EXPECT_EQ(c1, cc2) << t << " " << df;
      EXPECT_EQ(cc1, c2) << t << " " << df;
    }
  }
  for (double x : {0.4, 3.0, 17.5}) {
    for (double df : {1.0, 4.0, 33.0}) {
      double c1, cc1, c2, cc2;
      distlib::cumchi(x, df, c1, cc1);
      distlib::cumgam(x / 2, df / 2, c2, cc2);
      EXPECT_EQ(c1, c2);
      EXPECT_EQ(cc1, cc2);
    }
  }
  for (double arg : {1e-20, 0.5, 0.66291, 1.0, 1.5, 3.7, 5.656854248, 9.0, 40.0}) {
    double c1, cc1, c2, cc2;
    distlib::cumnor(arg, c1, cc1);
    distlib::cumnor(-arg, c2, cc2);
    EXPECT_EQ(c1, cc2) << arg;
    EXPECT_EQ(cc1, c2) << arg;
  }
  // The normal tail is clamped to 0 below the smallest normal double.
  double c, cc;
  distlib::cumnor(-40.0, c, cc);
  EXPECT_EQ(c, 0.0);
  EXPECT_EQ(cc, 1.0);
  // F: the pair is chosen by which member is at most 0.5; both give the
  // same answer at the switch.
  double a1, a2, b1, b2;
  distlib::cumf(1.0, 4.0, 4.0, a1, a2);  // dfd/(dfd + dfn f) = 0.5 exactly
  EXPECT_NEAR(a1, 0.5, 4 * kEps);
  distlib::cumf(std::nextafter(1.0, 0.0), 4.0, 4.0, b1, b2);
  EXPECT_NEAR(a1, b1, 1e-15);
  // Poisson at s = 0 is exp(-xlam).
  distlib::cumpoi(0.0, 1.7, c, cc);
  EXPECT_NEAR(c, std::exp(-1.7), 8 * kEps);
}

TEST(DistlibCum, TAndFWhereTheirQuotientsLeaveTheDoubles) {
  // With one degree of freedom the t upper tail is atan(1/t)/pi, 1/(pi t) to
  // full precision this far out.  The sweep crosses the point where
  // df/(df + t^2) stops being a normal double (6.7e153) and where t^2
  // overflows (1.3e154): no step in the tail at either.  Beyond the first,
  // the quotient is formed from logarithms near -709, whose rounding makes
  // a relative error of up to a few hundred epsilons.
  const double pi = 3.141592653589793;
  const double tol = 1000 * kEps;
  for (double t = 1e150; t < 1e160; t *= 1.7) {
    double c, cc;
    distlib::cumt(t, 1.0, c, cc);
    EXPECT_NEAR(cc, 1.0 / (pi * t), tol / (pi * t)) << t;
    EXPECT_EQ(c, 1.0);
    distlib::cumt(-t, 1.0, c, cc);
    EXPECT_NEAR(c, 1.0 / (pi * t), tol / (pi * t)) << t;
  }
  double c, cc;
  distlib::cumt(1e200, 1.0, c, cc);
  EXPECT_NEAR(cc, 1.0 / (pi * 1e200), tol / (pi * 1e200));
  // Tiny degrees of freedom: the tails stay at 1/2 (less a few 1e-78) as far
  // out as doubles go, instead of dropping to 0 where the quotient underflows.
  distlib::cumt(1e300, 1e-80, c, cc);
  EXPECT_EQ(cc, 0.5);
  EXPECT_EQ(c, 0.5);
  // F with 2 and 2 degrees of freedom: upper tail 1/(1 + f), lower f/(1 + f).
  // dfn f overflows at the first point; at the second, dfn f / dfd is far
  // below the doubles (I_n(1, b) = 1 - (1 - n)^b, about b n here).
  distlib::cumf(1e300, 2.0, 2.0, c, cc);
  EXPECT_NEAR(cc, 1e-300, tol * 1e-300);
  EXPECT_EQ(c, 1.0);
  distlib::cumf(1e308, 4.0, 2.0, c, cc);  // I_d(1, 2) = 1 - (1 - d)^2, d = 1/(1 + 2f)
  EXPECT_NEAR(cc, 1.0 / 1e308, tol / 1e308);
  distlib::cumf(1e-200, 2.0, 1e200, c, cc);
  EXPECT_NEAR(c, 1e-200, tol * 1e-200);
  EXPECT_EQ(cc, 1.0);
}
