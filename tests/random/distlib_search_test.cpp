// Zero finder and bracketing search: the order of the points they ask for,
// their verdicts and their failure exits.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "random/distlib.hpp"
#include "util/stop.hpp"

namespace {

struct ZeroRun {
  std::vector<double> points;
  int status = 0;
  double xlo = 0, xhi = 0;
  bool qleft = false, qhi = false;
};

ZeroRun run_zero(double lo, double hi, const std::function<double(double)>& f,
                 double abstol = 1e-50, double reltol = 1e-8) {
  ZeroRun r;
  distlib::dstzr(lo, hi, abstol, reltol);
  double x = 0, fx = 0;
  r.status = 0;
  distlib::dzror(r.status, x, fx, r.xlo, r.xhi, r.qleft, r.qhi);
  while (r.status == 1 && r.points.size() < 10000) {
    r.points.push_back(x);
    fx = f(x);
    distlib::dzror(r.status, x, fx, r.xlo, r.xhi, r.qleft, r.qhi);
  }
  return r;
}

struct SearchRun {
  std::vector<double> points;
  int status = 0;
  double x = 0;
  bool qleft = false, qhi = false;
};

SearchRun run_search(double start, const std::function<double(double)>& f, double small = 0.0,
                     double big = 1.0e300) {
  SearchRun r;
  distlib::dstinv(small, big, 0.5, 0.5, 5.0, 1.0e-50, 1.0e-8);
  r.x = start;
  double fx = 0;
  r.status = 0;
  distlib::dinvr(r.status, r.x, fx, r.qleft, r.qhi);
  while (r.status == 1 && r.points.size() < 10000) {
    r.points.push_back(r.x);
    fx = f(r.x);
    distlib::dinvr(r.status, r.x, fx, r.qleft, r.qhi);
  }
  return r;
}

}  // namespace

TEST(DistlibZeroFinder, SecantThenMinimalStep) {
  ZeroRun r = run_zero(0.0, 2.0, [](double x) { return x - 1.0; });
  ASSERT_EQ(r.points.size(), 4u);
  EXPECT_EQ(r.points[0], 0.0);
  EXPECT_EQ(r.points[1], 2.0);
  EXPECT_EQ(r.points[2], 1.0);
  EXPECT_EQ(r.points[3], 1.0 - 5e-9);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.xlo, 1.0);
  EXPECT_EQ(r.xhi, 1.0 - 5e-9);
}

TEST(DistlibZeroFinder, NoSignChangeAtTheEnds) {
  ZeroRun up = run_zero(2.0, 3.0, [](double x) { return x - 1.0; });
  EXPECT_EQ(up.points.size(), 2u);
  EXPECT_EQ(up.status, -1);
  EXPECT_TRUE(up.qhi);
  EXPECT_TRUE(up.qleft);
  ZeroRun down = run_zero(2.0, 3.0, [](double x) { return 1.0 - x; });
  EXPECT_EQ(down.points.size(), 2u);
  EXPECT_EQ(down.status, -1);
  EXPECT_FALSE(down.qhi);
  EXPECT_TRUE(down.qleft);
  // |f| smaller at the upper end: the zero lies beyond it.
  ZeroRun beyond = run_zero(2.0, 3.0, [](double x) { return 4.0 - x; });
  EXPECT_EQ(beyond.status, -1);
  EXPECT_TRUE(beyond.qhi);
  EXPECT_FALSE(beyond.qleft);
}

TEST(DistlibZeroFinder, ConvergesWithinTolerance) {
  ZeroRun atend = run_zero(1.0, 3.0, [](double x) { return x - 1.0; });
  EXPECT_EQ(atend.status, 0);
  EXPECT_EQ(atend.xlo, 1.0);
  const double root = std::cbrt(2.0);
  ZeroRun cube = run_zero(0.0, 2.0, [](double x) { return x * x * x - 2.0; });
  EXPECT_EQ(cube.status, 0);
  EXPECT_LE(std::fabs(cube.xlo - root), 1e-8 * root);
  EXPECT_LT(cube.points.size(), 30u);
  // A steep, nearly flat function forces bisections and still converges.
  ZeroRun steep = run_zero(-1.0, 4.0, [](double x) { return std::tanh(50.0 * (x - 0.3)); });
  EXPECT_EQ(steep.status, 0);
  EXPECT_LE(std::fabs(steep.xlo - 0.3), 1e-8);
  EXPECT_LT(steep.points.size(), 200u);
}

TEST(DistlibZeroFinder, WorseTrialPointSwapsTheEnds) {
  // Piecewise linear through (0, -1), (1, -3), (2, 1): the first step lands
  // on a point worse than the far end, which becomes the best point.
  auto f = [](double x) { return x <= 1.0 ? -1.0 - 2.0 * x : -3.0 + 4.0 * (x - 1.0); };
  ZeroRun r = run_zero(0.0, 2.0, f);
  ASSERT_GE(r.points.size(), 4u);
  EXPECT_EQ(r.points[2], 1.0);
  EXPECT_EQ(r.status, 0);
  EXPECT_LE(std::fabs(r.xlo - 1.75), 1e-8 * 1.75);
  EXPECT_LE(std::fabs(f(r.xlo)), std::fabs(f(r.xhi)));
}

TEST(DistlibZeroFinder, RestartAndNotANumber) {
  distlib::dstzr(0.0, 2.0, 1e-50, 1e-8);
  int status = 0;
  double x = 0, xlo = 0, xhi = 0;
  bool ql = false, qh = false;
  distlib::dzror(status, x, 0.0, xlo, xhi, ql, qh);
  distlib::dzror(status, x, -1.0, xlo, xhi, ql, qh);
  EXPECT_EQ(x, 2.0);
  status = 0;  // start again mid-search
  distlib::dzror(status, x, 0.0, xlo, xhi, ql, qh);
  EXPECT_EQ(status, 1);
  EXPECT_EQ(x, 0.0);
  distlib::dzror(status, x, -1.0, xlo, xhi, ql, qh);
  distlib::dzror(status, x, 1.0, xlo, xhi, ql, qh);
  EXPECT_EQ(status, 1);
  distlib::dzror(status, x, std::numeric_limits<double>::quiet_NaN(), xlo, xhi, ql, qh);
  EXPECT_EQ(status, -1);
}

TEST(DistlibBracketSearch, StepsUpFromTheStart) {
  SearchRun r = run_search(5.0, [](double x) { return x - 100.0; });
  const std::vector<double> want = {0.0, 1e300, 5.0, 7.5, 20.0, 82.5, 395.0, 82.5, 395.0};
  ASSERT_GE(r.points.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(r.points[i], want[i]) << i;
  EXPECT_EQ(r.status, 0);
  EXPECT_LE(std::fabs(r.x - 100.0), 1e-6);
}

TEST(DistlibBracketSearch, StepsDownToTheLowerEnd) {
  SearchRun r = run_search(5.0, [](double x) { return x - 1.0; });
  const std::vector<double> want = {0.0, 1e300, 5.0, 2.5, 0.0, 0.0, 2.5};
  ASSERT_GE(r.points.size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(r.points[i], want[i]) << i;
  EXPECT_EQ(r.status, 0);
  EXPECT_LE(std::fabs(r.x - 1.0), 1e-8);
  // A decreasing function steps the other way for the same answer.
  SearchRun d = run_search(5.0, [](double x) { return 100.0 - x; });
  ASSERT_GE(d.points.size(), 5u);
  EXPECT_EQ(d.points[3], 7.5);
  EXPECT_EQ(d.points[4], 20.0);
  EXPECT_EQ(d.status, 0);
  EXPECT_LE(std::fabs(d.x - 100.0), 1e-6);
}

TEST(DistlibBracketSearch, EndTestsFail) {
  // Increasing and already above the target at small.
  SearchRun a = run_search(5.0, [](double x) { return x + 1.0; });
  EXPECT_EQ(a.points.size(), 2u);
  EXPECT_EQ(a.status, -1);
  EXPECT_TRUE(a.qleft);
  EXPECT_TRUE(a.qhi);
  EXPECT_EQ(a.x, 1e300);
  // Increasing and still below the target at big.
  SearchRun b = run_search(5.0, [](double x) { return std::atan(x) - 2.0; });
  EXPECT_EQ(b.status, -1);
  EXPECT_FALSE(b.qleft);
  EXPECT_FALSE(b.qhi);
  // Decreasing and negative from small on.
  SearchRun c = run_search(5.0, [](double x) { return -1.0 - std::atan(x); });
  EXPECT_EQ(c.status, -1);
  EXPECT_TRUE(c.qleft);
  EXPECT_FALSE(c.qhi);
  // Equal values at both ends count as not increasing.
  SearchRun d = run_search(5.0, [](double) { return 1.0; });
  EXPECT_EQ(d.status, -1);
  EXPECT_FALSE(d.qleft);
  EXPECT_TRUE(d.qhi);
}

TEST(DistlibBracketSearch, ExactZerosAndEnds) {
  SearchRun r = run_search(5.0, [](double x) { return x - 5.0; });
  EXPECT_EQ(r.points.size(), 3u);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.x, 5.0);
  // A zero exactly at a trial point brackets.
  SearchRun t = run_search(5.0, [](double x) { return x - 20.0; });
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.x, 20.0);
  // Start values at the ends are accepted.
  SearchRun lo = run_search(0.0, [](double x) { return x - 3.0; });
  EXPECT_EQ(lo.status, 0);
  SearchRun hi = run_search(1e300, [](double x) { return x - 3.0; });
  EXPECT_EQ(hi.status, 0);
  EXPECT_LE(std::fabs(hi.x - 3.0), 1e-7);
}

TEST(DistlibBracketSearch, StartOutsideTheRangeStops) {
  for (double start : {-1.0, 2e300}) {
    distlib::dstinv(0.0, 1e300, 0.5, 0.5, 5.0, 1e-50, 1e-8);
    int status = 0;
    double x = start;
    bool ql, qh;
    try {
      distlib::dinvr(status, x, 0.0, ql, qh);
      FAIL() << "no stop for " << start;
    } catch (const util::Stop& s) {
      EXPECT_EQ(std::string(s.what()), " \n small, x, big not monotone in invr");
    }
  }
}

TEST(DistlibBracketSearch, LimitWithoutBracket) {
  // Values fed by hand: the ends bracket, but every later value is below
  // the target, up to and including big itself.
  distlib::dstinv(0.0, 100.0, 0.5, 0.5, 5.0, 1e-50, 1e-8);
  int status = 0;
  double x = 5.0;
  bool ql = true, qh = true;
  distlib::dinvr(status, x, 0.0, ql, qh);
  distlib::dinvr(status, x, -1.0, ql, qh);  // at small
  distlib::dinvr(status, x, 1.0, ql, qh);   // at big
  std::vector<double> points;
  while (status == 1 && points.size() < 100) {
    points.push_back(x);
    distlib::dinvr(status, x, -1.0, ql, qh);
  }
  const std::vector<double> want = {5.0, 7.5, 20.0, 82.5, 100.0};
  EXPECT_EQ(points, want);
  EXPECT_EQ(status, -1);
  EXPECT_FALSE(ql);
  EXPECT_FALSE(qh);
  EXPECT_EQ(x, 100.0);
}

TEST(DistlibBracketSearch, SettingsPerSearchAndNotANumber) {
  SearchRun a = run_search(5.0, [](double x) { return x - 1.0; });
  distlib::dstinv(-10.0, 10.0, 1.0, 0.0, 2.0, 1e-50, 1e-10);
  double x = 0.0, fx = 0.0;
  int status = 0;
  bool ql, qh;
  std::vector<double> pts;
  distlib::dinvr(status, x, fx, ql, qh);
  while (status == 1) {
    pts.push_back(x);
    distlib::dinvr(status, x, x - 3.0, ql, qh);
  }
  ASSERT_GE(pts.size(), 5u);
  EXPECT_EQ(pts[0], -10.0);
  EXPECT_EQ(pts[1], 10.0);
  EXPECT_EQ(pts[2], 0.0);
  EXPECT_EQ(pts[3], 1.0);
  EXPECT_EQ(pts[4], 3.0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(x, 3.0);
  EXPECT_EQ(a.status, 0);
  // A value that is not a number ends the search without an answer.
  SearchRun n = run_search(5.0, [](double x) {
    return x > 3.0 ? std::numeric_limits<double>::quiet_NaN() : x - 1.0;
  });
  EXPECT_EQ(n.status, -1);
}
