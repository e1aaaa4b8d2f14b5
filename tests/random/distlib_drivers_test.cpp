// Distribution drivers: the checks and their status codes and bounds, every
// which against mpmath (probabilities) or as a round trip (parameters), and
// the searches' failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <sstream>
#include <string>
#include <span>
#include <utility>
#include <vector>

#include "random/distlib.hpp"
#include "random/distlib_grid_data.hpp"
#include "random/distlib_reference_data.hpp"
#include "random/distlib_support.hpp"
#include "util/stop.hpp"

using distlib_test::kEps;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

// A driver call with its values in argument order (p, q, then the rest).
using Vals = std::vector<double>;
using Driver = std::function<void(int, Vals&, int&, double&)>;

const Driver kT = [](int w, Vals& v, int& s, double& b) {
  distlib::cdft(w, v[0], v[1], v[2], v[3], s, b);
};
const Driver kPoi = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfpoi(w, v[0], v[1], v[2], v[3], s, b);
};
const Driver kNor = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfnor(w, v[0], v[1], v[2], v[3], v[4], s, b);
};
const Driver kNbn = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfnbn(w, v[0], v[1], v[2], v[3], v[4], v[5], s, b);
};
const Driver kF = [](int w, Vals& v, int& s, double& b) {
  distlib::cdff(w, v[0], v[1], v[2], v[3], v[4], s, b);
};
const Driver kFnc = [](int w, Vals& v, int& s, double& b) {
  distlib::cdffnc(w, v[0], v[1], v[2], v[3], v[4], v[5], s, b);
};
const Driver kChi = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfchi(w, v[0], v[1], v[2], v[3], s, b);
};
const Driver kChn = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfchn(w, v[0], v[1], v[2], v[3], v[4], s, b);
};
const Driver kBin = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfbin(w, v[0], v[1], v[2], v[3], v[4], v[5], s, b);
};
const Driver kBet = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfbet(w, v[0], v[1], v[2], v[3], v[4], v[5], s, b);
};
const Driver kGam = [](int w, Vals& v, int& s, double& b) {
  distlib::cdfgam(w, v[0], v[1], v[2], v[3], v[4], s, b);
};

struct Result {
  Vals v;
  int status = 99;
  double bound = -7;
};

Result run(const Driver& d, int which, Vals v) {
  Result r;
  r.v = v;
  d(which, r.v, r.status, r.bound);
  return r;
}

std::string text(const Vals& v) {
  std::ostringstream os;
  os.precision(17);
  for (double x : v) os << x << " ";
  return os.str();
}

bool same(const Vals& a, const Vals& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
  }
  return true;
}

struct CheckRow {
  const char* name;
  const Driver* d;
  int which;
  Vals v;
  int status;
  double bound;
};

// Each row's status, and on a failed check its bound with nothing else
// changed.
void expect_rows(std::span<const CheckRow> rows) {
  for (const CheckRow& r : rows) {
    Result got = run(*r.d, r.which, r.v);
    EXPECT_EQ(got.status, r.status) << r.name << " which " << r.which << " " << text(r.v);
    if (r.status != 0) {
      EXPECT_EQ(got.bound, r.bound) << r.name << " which " << r.which << " " << text(r.v);
      EXPECT_TRUE(same(got.v, r.v)) << r.name << " " << text(got.v);
    }
  }
}

}  // namespace

TEST(DistlibDrivers, ChecksInOrder) {
  const CheckRow rows[] = {
      // which out of range
      {"t", &kT, 0, {0.5, 0.5, 1, 1}, -1, 1.0},
      {"t", &kT, 4, {0.5, 0.5, 1, 1}, -1, 3.0},
      {"poi", &kPoi, 0, {0.5, 0.5, 1, 1}, -1, 1.0},
      {"poi", &kPoi, 4, {0.5, 0.5, 1, 1}, -1, 3.0},
      {"nor", &kNor, 5, {0.5, 0.5, 0, 0, 1}, -1, 4.0},
      {"nbn", &kNbn, 0, {0.5, 0.5, 1, 1, 0.5, 0.5}, -1, 1.0},
      {"nbn", &kNbn, 5, {0.5, 0.5, 1, 1, 0.5, 0.5}, -1, 4.0},
      {"f", &kF, 0, {0.5, 0.5, 1, 1, 1}, -1, 1.0},
      {"f", &kF, 5, {0.5, 0.5, 1, 1, 1}, -1, 4.0},
      {"fnc", &kFnc, 6, {0.5, 0.5, 1, 1, 1, 1}, -1, 5.0},
      {"chi", &kChi, 4, {0.5, 0.5, 1, 1}, -1, 3.0},
      {"chn", &kChn, 5, {0.5, 0.5, 1, 1, 1}, -1, 4.0},
      {"bin", &kBin, 5, {0.5, 0.5, 1, 2, 0.5, 0.5}, -1, 4.0},
      {"bet", &kBet, -2, {0.5, 0.5, 0.5, 0.5, 1, 1}, -1, 1.0},
      {"bet", &kBet, 5, {0.5, 0.5, 0.5, 0.5, 1, 1}, -1, 4.0},
      // probabilities: p = 0 refused by t and normal only, q = 0 by all but
      // the binomial and beta
      {"t", &kT, 2, {0.0, 1.0, 0, 1}, -2, 0.0},
      {"t", &kT, 2, {0.5, 0.0, 0, 1}, -3, 0.0},
      {"t", &kT, 2, {1.5, 0.5, 0, 1}, -2, 1.0},
      {"nor", &kNor, 2, {0.0, 1.0, 0, 0, 1}, -2, 0.0},
      {"poi", &kPoi, 2, {-0.1, 1.0, 0, 1}, -2, 0.0},
      {"poi", &kPoi, 3, {0.5, 1.5, 1, 0}, -3, 1.0},
      {"nbn", &kNbn, 2, {0.5, 0.0, 1, 1, 0.5, 0.5}, -3, 0.0},
      {"f", &kF, 2, {0.5, 0.0, 1, 1, 1}, -3, 0.0},
      {"chi", &kChi, 2, {0.5, 0.0, 1, 1}, -3, 0.0},
      {"bin", &kBin, 2, {1.0, 0.0, 1, 2, 0.5, 0.5}, 0, 0},  // q = 0 passes every check
      {"bet", &kBet, 3, {1.5, 0.0, 0.5, 0.5, 1, 1}, -2, 1.0},
      {"fnc", &kFnc, 2, {1.2, 0.5, 1, 1, 1, 1}, -2, 1.0},
      {"chn", &kChn, 2, {kNaN, 0.5, 1, 1, 1}, -2, 0.0},
      // parameters, each skipped when it is the one computed
      {"t", &kT, 1, {0, 0, 1, 0.0}, -5, 0.0},
      {"t", &kT, 2, {0.5, 0.5, 1, -1}, -5, 0.0},
      {"poi", &kPoi, 1, {0, 0, -1, 1}, -4, 0.0},
      {"poi", &kPoi, 1, {0, 0, 1, -1}, -5, 0.0},
      {"poi", &kPoi, 1, {0, 0, kNaN, 1}, -4, 0.0},
      {"nor", &kNor, 1, {0, 0, 0, 0, 0.0}, -6, 0.0},
      {"nbn", &kNbn, 1, {0, 0, -1, 1, 0.5, 0.5}, -4, 0.0},
      {"nbn", &kNbn, 1, {0, 0, 1, -1, 0.5, 0.5}, -5, 0.0},
      {"nbn", &kNbn, 1, {0, 0, 1, 1, 1.5, 0.5}, -6, 1.0},
      {"nbn", &kNbn, 1, {0, 0, 1, 1, 0.5, -0.5}, -7, 0.0},
      {"f", &kF, 1, {0, 0, -1, 1, 1}, -4, 0.0},
      {"f", &kF, 1, {0, 0, 1, 0, 1}, -5, 0.0},
      {"f", &kF, 1, {0, 0, 1, 1, 0}, -6, 0.0},
      {"fnc", &kFnc, 1, {0, 0, 1, 1, 1, -1}, -7, 0.0},
      {"chi", &kChi, 1, {0, 0, -1, 1}, -4, 0.0},
      {"chi", &kChi, 1, {0, 0, 1, 0}, -5, 0.0},
      {"chn", &kChn, 1, {0, 0, 1, 1, -1}, -6, 0.0},
      {"bin", &kBin, 1, {0, 0, 1, 0, 0.5, 0.5}, -5, 0.0},  // xn before s
      {"bin", &kBin, 1, {0, 0, -1, 3, 0.5, 0.5}, -4, 0.0},
      {"bin", &kBin, 1, {0, 0, 4, 3, 0.5, 0.5}, -4, 3.0},  // s above xn
      {"bin", &kBin, 1, {0, 0, 1, 3, -0.5, 0.5}, -6, 0.0},
      {"bin", &kBin, 1, {0, 0, 1, 3, 0.5, 1.5}, -7, 1.0},
      {"bet", &kBet, 1, {0, 0, 1.3, 0.5, 1, 1}, -4, 1.0},
      {"bet", &kBet, 1, {0, 0, 0.5, -0.5, 1, 1}, -5, 0.0},
      {"bet", &kBet, 1, {0, 0, 0.5, 0.5, 0, 1}, -6, 0.0},
      {"bet", &kBet, 1, {0, 0, 0.5, 0.5, 1, 0}, -7, 0.0},
      // sums of the pairs
      {"t", &kT, 2, {0.3, 0.7 + 1.0e-15, 0, 1}, 3, 1.0},
      {"f", &kF, 2, {0.3, 0.7000001, 1, 1, 1}, 3, 1.0},
      {"nor", &kNor, 2, {0.3, 0.6, 0, 0, 1}, 3, 1.0},
      {"nbn", &kNbn, 1, {9, 9, 1, 1, 0.3, 0.6}, 4, 1.0},  // p + q not tested for which 1
      {"nbn", &kNbn, 4, {0.3, 0.7, 1, 1, 0.3, 0.6}, 0, 0},  // pr + ompr not tested for which 4
      {"bin", &kBin, 2, {0.3, 0.6, 1, 3, 0.3, 0.6}, 3, 1.0},  // p + q before pr + ompr
      {"bin", &kBin, 2, {0.3, 0.7, 1, 3, 0.3, 0.6}, 4, 1.0},
      {"bet", &kBet, 1, {0, 0, 0.3, 0.6, 1, 1}, 4, 1.0},
  };
  expect_rows(rows);
  // A sum within three epsilons of 1 is accepted.
  EXPECT_EQ(run(kT, 2, {0.3, 0.7 + 4.0e-16, 0, 5}).status, 0);
}

namespace {

constexpr double kMax = std::numeric_limits<double>::max();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

// How an argument is checked, for the bounds its failures report: a
// probability ([0, 1]), a finite real, a nonnegative or positive real up to
// a top; 'w' an output that is never read.
struct Kind {
  char c;
  double top = kMax;
};

struct DriverArgs {
  const char* name;
  const Driver* d;
  Vals base;                 // a valid call
  std::vector<Kind> kinds;   // per value, in argument order from p
  std::vector<std::vector<size_t>> sought;  // per which from 2: the values it computes
};

}  // namespace

// Each argument of each driver that a which reads, set to NaN, +inf or
// -inf in an otherwise valid call, fails with its own status -k, bound the
// lower limit for NaN and -inf and the upper for +inf, and nothing else
// changes.  The first rows are calls that gave numbers with status 0.
TEST(DistlibDrivers, EveryArgumentCheckedForNaNAndInfinity) {
  const CheckRow rows[] = {
      {"t", &kT, 1, {0, 0, 1.5, kInfinity}, -5, kMax},
      {"f", &kF, 1, {0, 0, 2, 5, kInfinity}, -6, kMax},
      {"f", &kF, 1, {0, 0, 2, kInfinity, 7}, -5, kMax},
      {"bet", &kBet, 1, {0, 0, 0.3, 0.7, kInfinity, 3}, -6, kMax},
      {"bin", &kBin, 2, {0.3, 0.7, 0, kInfinity, 0.3, 0.7}, -5, kMax},
      {"nbn", &kNbn, 1, {0, 0, 5, kInfinity, 0.4, 0.6}, -5, kMax},
      {"poi", &kPoi, 3, {0.3, 0.7, kInfinity, 0}, -4, kMax},
      {"t", &kT, 1, {0, 0, kNaN, 3}, -4, -kMax},
      // a count of 0 (or -0) successes: P = 1 for every s and pr, so no
      // tail below 1 is met by searching either
      {"nbn", &kNbn, 4, {0.3, 0.7, 5, 0, 0, 0}, -5, 0.0},
      {"nbn", &kNbn, 4, {0.3, 0.7, 5, -0.0, 0, 0}, -5, 0.0},
      {"nbn", &kNbn, 2, {0.3, 0.7, 0, 0, 0.4, 0.6}, -5, 0.0},
      {"nbn", &kNbn, 1, {0, 0, 5, 0, 0, 1}, 0, 0},
  };
  expect_rows(rows);
  // which 1 with a count of 0 and pr = 0: no success is needed
  Result zero = run(kNbn, 1, {0, 0, 5, 0, 0, 1});
  EXPECT_EQ(zero.v[0], 1.0);
  EXPECT_EQ(zero.v[1], 0.0);

  const Kind P{'p'}, F{'f'}, N{'n'}, W{'w'};
  const DriverArgs drivers[] = {
      {"t", &kT, {0.3, 0.7, 1.5, 3}, {P, P, F, N}, {{2}, {3}}},
      {"poi", &kPoi, {0.3, 0.7, 3, 2}, {P, P, N, N}, {{2}, {3}}},
      {"nor", &kNor, {0.3, 0.7, 1, 0, 2}, {P, P, F, F, N}, {{2}, {3}, {4}}},
      {"nbn", &kNbn, {0.3, 0.7, 5, 3, 0.4, 0.6}, {P, P, N, N, P, P}, {{2}, {3}, {4, 5}}},
      {"f", &kF, {0.3, 0.7, 2, 5, 7}, {P, P, N, N, N}, {{2}, {3}, {4}}},
      {"fnc", &kFnc, {0.3, 0.7, 2, 5, 7, 3}, {P, W, N, N, N, Kind{'n', 1.0e4}},
       {{2}, {3}, {4}, {5}}},
      {"chi", &kChi, {0.3, 0.7, 2, 3}, {P, P, N, N}, {{2}, {3}}},
      {"chn", &kChn, {0.3, 0.7, 2, 3, 1}, {P, W, N, N, Kind{'n', 1.0e8}}, {{2}, {3}, {4}}},
      {"bin", &kBin, {0.3, 0.7, 2, 5, 0.4, 0.6}, {P, P, N, N, P, P}, {{2}, {3}, {4, 5}}},
      {"bet", &kBet, {0.3, 0.7, 0.3, 0.7, 2, 3}, {P, P, P, P, N, N}, {{2, 3}, {4}, {5}}},
      {"gam", &kGam, {0.3, 0.7, 2, 3, 1.5}, {P, P, N, N, N}, {{2}, {3}, {4}}},
  };
  int checked = 0;
  for (const DriverArgs& dr : drivers) {
    const int top = int(dr.sought.size()) + 1;
    ASSERT_EQ(run(*dr.d, 1, dr.base).status, 0) << dr.name;
    for (int which = 1; which <= top; ++which) {
      for (size_t k = 0; k < dr.base.size(); ++k) {
        if (dr.kinds[k].c == 'w' || (which == 1 && k < 2)) continue;
        if (which > 1) {
          const auto& out = dr.sought[which - 2];
          if (std::find(out.begin(), out.end(), k) != out.end()) continue;
        }
        const Kind kind = dr.kinds[k];
        const double low = kind.c == 'f' ? -kMax : 0.0;
        const double high = kind.c == 'p' ? 1.0 : kind.top;
        for (double bad : {kNaN, kInfinity, -kInfinity}) {
          Vals in = dr.base;
          in[k] = bad;
          Result got = run(*dr.d, which, in);
          const std::string what = std::string(dr.name) + " which " + std::to_string(which) +
                                   " " + text(in);
          EXPECT_EQ(got.status, -int(k) - 2) << what;
          EXPECT_EQ(got.bound, bad > 0.0 ? high : low) << what;
          EXPECT_TRUE(same(got.v, in)) << what << " got " << text(got.v);
          ++checked;
        }
      }
    }
  }
  // every real argument of every which of the eleven drivers
  EXPECT_EQ(checked, 3 * 155);
}

namespace {

// Probabilities of which 1 against the reference: both tails within
// (base + weight kappa) epsilons of the smaller, plus one of the larger.
// Leaves the reference tails in v for the inverse checks that follow.
void check_probs(const Driver& d, Vals& v, const distlib_ref::Cum& r, double base, double weight,
                 const char* name) {
  const Vals in = v;
  Result got = run(d, 1, in);
  v[0] = r.cum;
  v[1] = r.ccum;
  ASSERT_EQ(got.status, 0) << name << " " << text(in);
  double small = std::min(r.cum, r.ccum);
  double tol = (base + weight * r.kappa) * small * kEps + kEps;
  EXPECT_NEAR(got.v[0], r.cum, tol) << name << " p " << text(in);
  EXPECT_NEAR(got.v[1], r.ccum, tol) << name << " q " << text(in);
}

// Parameter k (index into the values) from p, q and the rest; the searches
// stop at a relative tolerance of 1e-8.
// A probability parameter comes from the zero finder on [0, 1], whose
// tolerance is relative to the far end of its bracket: floor 1 makes the
// measure absolute.
void check_inverse(const Driver& d, int which, Vals in, size_t k, double tol, const char* name,
                   double floor = 1e-300) {
  const double want = in[k];
  in[k] = -12345.0;
  Result got = run(d, which, in);
  EXPECT_EQ(got.status, 0) << name << " which " << which << " " << text(in);
  EXPECT_LE(std::fabs(got.v[k] - want) / std::max(std::fabs(want), floor), tol)
      << name << " which " << which << " got " << got.v[k] << " want " << want;
}

// Degrees of freedom of F, whose lower tail need not be monotone in them:
// a search that ends with an answer must have met its target there, one that
// ends without must report the end it stopped at.  Returns whether it
// answered.
bool check_df_root(const Driver& d, int which, Vals in, size_t k, double tol, const char* name) {
  Result got = run(d, which, in);
  if (got.status != 0) {
    EXPECT_TRUE(got.status == 1 || got.status == 2) << name << " " << text(in);
    EXPECT_EQ(got.bound, got.status == 1 ? 0.0 : 1.0e300) << name << " " << text(in);
    return false;
  }
  Vals back = got.v;
  Result p = run(d, 1, back);
  EXPECT_NEAR(p.v[0], in[0], tol * in[0]) << name << " which " << which << " df " << got.v[k];
  return true;
}

}  // namespace

TEST(DistlibDrivers, TAndPoissonAndNegativeBinomial) {
  for (const auto& r : distlib_ref::cumt) {
    Vals v = {0, 0, r.x1, r.x2};
    check_probs(kT, v, r, 80, 4, "t");
    check_inverse(kT, 2, v, 2, 1e-7, "t");
    if (r.x2 <= 100) check_inverse(kT, 3, v, 3, 1e-7, "t");
  }
  for (const auto& r : distlib_ref::cumpoi) {
    Vals v = {0, 0, r.x1, r.x2};
    check_probs(kPoi, v, r, 60, 2, "poi");
    if (r.x1 > 0) check_inverse(kPoi, 2, v, 2, 1e-7, "poi");
    check_inverse(kPoi, 3, v, 3, 1e-7, "poi");
  }
  for (const auto& r : distlib_ref::cumnbn) {
    Vals v = {0, 0, r.x1, r.x2, r.x3, 1.0 - r.x3};
    check_probs(kNbn, v, r, 80, 4, "nbn");
    if (r.x1 > 0) check_inverse(kNbn, 2, v, 2, 1e-7, "nbn");
    check_inverse(kNbn, 3, v, 3, 1e-7, "nbn");
    check_inverse(kNbn, 4, v, 4, 1e-7, "nbn", 1.0);
  }
  // The normal driver, directly from the quantile.
  for (const auto& r : distlib_ref::cumnor) {
    if (std::min(r.cum, r.ccum) < 1e-300) continue;
    const double mean = 1.5, sd = 2.0;
    Vals v = {0, 0, mean + sd * r.x1, mean, sd};
    check_probs(kNor, v, r, 64, 4, "nor");
    if (std::fabs(r.x1) > 1e-3) {
      check_inverse(kNor, 2, v, 2, 1e-12, "nor");
      check_inverse(kNor, 4, v, 4, 1e-12, "nor");
    }
    Result m = run(kNor, 3, {r.cum, r.ccum, v[2], -9, sd});
    EXPECT_NEAR(m.v[3], mean, 1e-12 * std::fabs(v[2]) + 1e-13);
  }
  Result x = run(kNor, 2, {0.975, 0.025, 0, 0, 1});
  EXPECT_NEAR(x.v[2], 1.959964, 1e-6);
}

TEST(DistlibDrivers, FamilyOfFChiBinomialBeta) {
  int answered[5] = {0, 0, 0, 0, 0};
  for (const auto& r : distlib_ref::cumf) {
    Vals v = {0, 0, r.x1, r.x2, r.x3};
    check_probs(kF, v, r, 80, 4, "f");
    check_inverse(kF, 2, v, 2, 1e-7, "f");
    for (int which = 3; which <= 4; ++which) {
      answered[which] += check_df_root(kF, which, v, which, 1e-6, "f");
    }
  }
  EXPECT_GT(answered[3], 0);
  EXPECT_GT(answered[4], 0);
  for (const auto& r : distlib_ref::cumchi) {
    Vals v = {0, 0, r.x1, r.x2};
    check_probs(kChi, v, r, 60, 2, "chi");
    check_inverse(kChi, 2, v, 2, 1e-7, "chi");
    check_inverse(kChi, 3, v, 3, 1e-7, "chi");
  }
  for (const auto& r : distlib_ref::cumbin) {
    Vals v = {0, 0, r.x1, r.x2, r.x3, 1.0 - r.x3};
    check_probs(kBin, v, r, 80, 4, "bin");
    if (r.x1 > 0) check_inverse(kBin, 2, v, 2, 1e-7, "bin");
    check_inverse(kBin, 3, v, 3, 1e-7, "bin");
    check_inverse(kBin, 4, v, 4, 1e-7, "bin", 1.0);
  }
  for (const auto& r : distlib_ref::beta_ratio) {
    if (std::min(r.x1, r.x2) < 1e-3 || std::max(r.x1, r.x2) > 1e3) continue;
    double x = r.x3, y = 1.0 - x;
    Vals v = {0, 0, x, y, r.x1, r.x2};
    check_probs(kBet, v, r, 60, 4, "bet");
    if (std::min(r.cum, r.ccum) < 1e-12) continue;
    check_inverse(kBet, 2, v, 2, 1e-7, "bet", 1.0);
    check_inverse(kBet, 3, v, 4, 1e-7, "bet");
    check_inverse(kBet, 4, v, 5, 1e-7, "bet");
  }
}

TEST(DistlibDrivers, NoncentralRoundTrips) {
  int answered[5] = {0, 0, 0, 0, 0};
  // The searches match p alone; q is written only by which 1.
  for (const auto& r : distlib_ref::cumfnc) {
    Result got = run(kFnc, 1, {0, 0, r.x1, r.x2, r.x3, r.x4});
    ASSERT_EQ(got.status, 0);
    EXPECT_NEAR(got.v[0], r.cum, 2e-4 * r.cum);
    EXPECT_NEAR(got.v[0] + got.v[1], 1.0, 2 * kEps);
    Vals v = got.v;
    v[1] = 77.0;  // never read
    check_inverse(kFnc, 2, v, 2, 1e-6, "fnc");
    check_inverse(kFnc, 5, v, 5, 1e-6, "fnc");
    for (int which = 3; which <= 4; ++which) {
      answered[which] += check_df_root(kFnc, which, v, which, 1e-6, "fnc");
    }
  }
  EXPECT_GT(answered[3], 0);
  EXPECT_GT(answered[4], 0);
  for (const auto& r : distlib_ref::cumchn) {
    Result got = run(kChn, 1, {0, 0, r.x1, r.x2, r.x3});
    ASSERT_EQ(got.status, 0);
    EXPECT_NEAR(got.v[0], r.cum, 2e-5 * r.cum);
    Vals v = got.v;
    v[1] = 77.0;
    check_inverse(kChn, 2, v, 2, 1e-6, "chn");
    check_inverse(kChn, 3, v, 3, 1e-6, "chn");
    if (r.x3 > 0.1) check_inverse(kChn, 4, v, 4, 1e-6, "chn");
  }
}

TEST(DistlibDrivers, ProbabilityParameterBySide) {
  // The tail rule picks the member searched first (pr when p <= q, else
  // ompr); the answer's smaller member is the one resolved to the relative
  // tolerance, and the larger is exactly 1 minus it, whichever was first.
  for (const Driver* d : {&kNbn, &kBin}) {
    for (double p : {0.2, 0.8}) {
      Result r = run(*d, 4, {p, 1.0 - p, 3, 10, -1, -1});
      ASSERT_EQ(r.status, 0) << p;
      const double lo = std::min(r.v[4], r.v[5]), hi = std::max(r.v[4], r.v[5]);
      EXPECT_EQ(hi, 1.0 - lo) << p;
      Result back = run(*d, 1, {0, 0, 3, 10, r.v[4], r.v[5]});
      EXPECT_NEAR(back.v[0], p, 1e-7);
    }
  }
  // Beta x and y in the same way.
  for (double p : {0.2, 0.7}) {
    Result b = run(kBet, 2, {p, 1.0 - p, -1, -1, 2.5, 4.0});
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(std::max(b.v[2], b.v[3]), 1.0 - std::min(b.v[2], b.v[3])) << p;
  }
}

TEST(DistlibDrivers, SearchesWithoutAnswer) {
  // Poisson: P(X <= 0) = exp(-1) already exceeds 0.1, so no s >= 0 reaches it.
  Result poi = run(kPoi, 2, {0.1, 0.9, -1, 1.0});
  EXPECT_EQ(poi.status, 1);
  EXPECT_EQ(poi.bound, 0.0);
  // t: P(T <= -1) falls from 1/2 (df near 0) to 0.159 (df large), so 0.6
  // lies beyond the small end and 0.1 beyond the large one.
  Result t = run(kT, 3, {0.6, 0.4, -1.0, -1});
  EXPECT_EQ(t.status, 1);
  EXPECT_EQ(t.bound, 0.0);
  Result t2 = run(kT, 3, {0.1, 0.9, -1.0, -1});
  EXPECT_EQ(t2.status, 2);
  EXPECT_EQ(t2.bound, 1.0e10);
  // Binomial: s = xn - 1 leaves a lower tail of at least 1 - pr^xn.
  Result bin = run(kBin, 4, {0.999, 0.001, 2, 3, -1, -1});
  EXPECT_TRUE(bin.status == 0 || bin.status == 1 || bin.status == 2);
  // P(X <= 0) = 0.1^10 already exceeds 1e-12.
  Result bin2 = run(kBin, 2, {1e-12, 1.0 - 1e-12, -1, 10, 0.9, 0.1});
  EXPECT_EQ(bin2.status, 1);
  EXPECT_EQ(bin2.bound, 0.0);
  // Noncentral: the lower tail falls as the noncentrality grows, so a target
  // above the central value is out of reach on the left.
  Result chn = run(kChn, 4, {0.99, 0, 2.0, 3.0, -1});
  EXPECT_EQ(chn.status, 1);
  EXPECT_EQ(chn.bound, 0.0);
  Result fnc = run(kFnc, 5, {0.99, 0, 2.0, 3.0, 7.0, -1});
  EXPECT_EQ(fnc.status, 1);
  EXPECT_EQ(fnc.bound, 0.0);

}

TEST(DistlibDrivers, StartValuesMovedIntoTheRange) {
  // Binomial s with fewer than 5 trials: the start lies above xn.
  Result p = run(kBin, 1, {0, 0, 1.3, 3, 0.4, 0.6});
  ASSERT_EQ(p.status, 0);
  Result s = run(kBin, 2, {p.v[0], p.v[1], -1, 3, 0.4, 0.6});
  EXPECT_EQ(s.status, 0);
  EXPECT_NEAR(s.v[2], 1.3, 1e-7);
  // t with a tiny df: the Cornish-Fisher start overflows.
  for (double df : {1e-80, 1e-200}) {
    Result t;
    try {
      t = run(kT, 2, {0.9, 0.1, 0, df});
    } catch (const util::Stop&) {
      FAIL() << "stopped for df " << df;
    }
    EXPECT_TRUE(t.status == 0 || t.status == 2) << df;
  }
  // The median needs no start value at all.
  Result t0 = run(kT, 2, {0.5, 0.5, 3, 1e-300});
  EXPECT_EQ(t0.status, 0);
  EXPECT_NEAR(t0.v[2], 0.0, 1e-6);
}

TEST(DistlibDrivers, ChiSquareGammaFailureEndsTheSearch) {
  // The incomplete gamma ratio failed for shapes beyond about 6.65e28 with
  // the point right at the shape, and the search then ended with status 10.
  // The search steps up from 5 by 2.5, 12.5, ...; with df equal to one of
  // its points, x/2 = df/2 is met exactly there, where the ratio is now
  // formed: the quantiles come back, to the doubles' resolution (z the
  // normal quantile of p, the chi-square quantile df + z sqrt(2 df) - 2/3
  // + O(1 / sqrt(df)) nearer than 1e-16 of it).
  double x = 5.0, step = 2.5;
  while (x < 2e29) {
    x += step;
    step *= 5.0;
  }
  for (const auto& [p, z] : {std::pair{0.5, 0.0}, std::pair{0.7, 0.52440051270804067}}) {
    Result c = run(kChi, 2, {p, 1.0 - p, -1, x});
    EXPECT_EQ(c.status, 0) << p;
    EXPECT_NEAR(c.v[2], x + z * std::sqrt(2.0 * x), 4 * kEps * x) << p;
  }
  Result ok = run(kChi, 2, {0.5, 0.5, -1, 1.0e30});
  EXPECT_EQ(ok.status, 0);
  EXPECT_NEAR(ok.v[2], 1.0e30, 1e-8 * 1.0e30);
}

namespace {

const struct {
  const char* name;
  const Driver* d;
  size_t n;
} kDrivers[] = {{"chi", &kChi, 4}, {"poi", &kPoi, 4}, {"gam", &kGam, 5}, {"nbn", &kNbn, 6},
                {"bin", &kBin, 6}, {"bet", &kBet, 6}, {"t", &kT, 4},     {"f", &kF, 5},
                {"chn", &kChn, 5}, {"fnc", &kFnc, 6}, {"nor", &kNor, 5}};

// One row of a Far table: the value sought (or, for which 1, the tail in
// k) within tol of the exact one relative to it, or the status and bound.
void check_far(const distlib_ref::Far& r, double tol) {
  const auto* dr = std::find_if(std::begin(kDrivers), std::end(kDrivers),
                                [&](const auto& e) { return std::string(e.name) == r.driver; });
  ASSERT_NE(dr, std::end(kDrivers)) << r.driver;
  Vals in(r.v, r.v + dr->n);
  if (r.which != 1) in[r.k] = -12345.0;
  Result got = run(*dr->d, r.which, in);
  const std::string what = std::string(r.driver) + " which " + std::to_string(r.which) + " " +
                           text(in) + " got " + text(got.v);
  EXPECT_EQ(got.status, r.status) << what;
  if (r.status != 0 || got.status != 0) {
    EXPECT_EQ(got.bound, r.want) << what;
    return;
  }
  EXPECT_LE(std::fabs(got.v[r.k] - r.want), tol * std::fabs(r.want)) << what;
  // A probability parameter and its complement stay a pair.
  if ((r.which == 4 && (dr->d == &kBin || dr->d == &kNbn)) || (r.which == 2 && dr->d == &kBet)) {
    const size_t j = dr->d == &kBet ? 2 : 4;
    EXPECT_NEAR(got.v[j] + got.v[j + 1], 1.0, kEps) << what;
  }
}

}  // namespace

TEST(DistlibDrivers, FarTailsAndAnswersBeyondTheRange) {
  // Against mpmath (distlib_reference.py): searches whose matched tail lies
  // below 1e-160, where the product of two function values underflows and
  // once took a point that is not a root for one; t and F quantiles whose t^2
  // or dfn f overflows, or that lie beyond 1e300 (tiny degrees of freedom:
  // the bound and status 2, not the jump where the quotient underflows);
  // probability parameters whose small member is not the one the tail rule
  // searches, resolved to the search's relative tolerance; noncentral lower
  // tails whose term at the Poisson mode underflows.
  for (const auto& r : distlib_ref::far_searches) {
    const std::string d = r.driver;
    check_far(r, d == "chn" || d == "fnc" ? 1e-6 : 2e-8);
  }
}

// Answers that once came back with status 0 and were wrong, one table per
// kind, against mpmath.
TEST(DistlibDrivers, NoWrongAnswerWithStatusZero) {
  // The normal driver checks x, mean and sd; an sd that no tail reaches (x -
  // mean and the quantile of opposite signs, or p = 1/2 with x not the mean)
  // is reported beyond the upper end; next to the median the quantile keeps
  // its relative accuracy.
  for (const auto& r : distlib_ref::fault_normal) check_far(r, 4 * kEps);
  // The gamma rate at x = 0, where no rate gives a positive p.
  for (const auto& r : distlib_ref::fault_gamma_rate) check_far(r, 1e-13);
  // F with a tiny df and an extreme f: the tail near 1 - 1e-16 has no jump.
  for (const auto& r : distlib_ref::fault_f_tiny_df) check_far(r, r.which == 1 ? 1e-12 : 2e-8);
  // Noncentral F dfd: an answer below the searches' absolute tolerance, and
  // dfd so large that the larger share is 1 to the doubles.
  // Here the tail is about proportional to dfd, so an answer's error is the
  // tail's.
  for (const auto& r : distlib_ref::fault_fnc_dfd) check_far(r, 7e-4);
  // Noncentral tails at a point below 1e-300, and the searches ending there.
  for (const auto& r : distlib_ref::fault_near_zero) check_far(r, r.which == 1 ? 4e-5 : 1e-6);
  // Far tails: the beta ratio's up-recurrence whose leading factor
  // underflowed, noncentral ratios stepped through their far lower tail.
  for (const auto& r : distlib_ref::fault_far_tails) {
    check_far(r, std::string(r.driver) == "fnc" ? 6e-4 : std::string(r.driver) == "chn" ? 4e-5
                                                                                        : 1e-12);
  }
  // Noncentral tails with a noncentrality above 800 in the far tail, and
  // searches ending there, to the mixtures' accuracy (an answer's error is
  // the tail's over its condition, above 100 here).
  for (const auto& r : distlib_ref::fault_beyond_800) {
    const bool f = std::string(r.driver) == "fnc";
    check_far(r, r.which == 1 ? (f ? 1.5e-3 : 1.5e-4) : 1e-6);
  }
  // Noncentral lower tails at points below the normal doubles, and tails
  // between the smallest normal double and 1e-290 whose every mixture term
  // lies below the sums' floor (NaN, 3.5 % off and 0 before).
  for (const auto& r : distlib_ref::fault_below_floor) {
    const bool f = std::string(r.driver) == "fnc";
    check_far(r, r.which == 1 ? (f ? 1.5e-3 : 1.5e-4) : 1e-6);
  }
  // Tails between the smallest normal double and 1e-304 (0 before, or 1 %
  // off), and gamma quantiles and rates for tails below 1e-298, where the
  // inverse ratio gives up (status 10 before): searched for, or from the
  // first series term where the product lies below the normal doubles.
  for (const auto& r : distlib_ref::fault_edge_of_doubles) {
    check_far(r, std::string(r.driver) == "chn" ? 1e-4 : r.which == 1 ? 1e-12 : 2e-8);
  }
}

// Calls beyond the ranges measured before, against mpmath
// (tools/distlib_truth.py, the gamma ratios of shapes from 1e7 integrated
// numerically), each answer within its tolerance or refused with the status
// and bound: a tiny shape at a tiny point (P about 1, not 0), a product x
// times the rate that underflows, shapes and counts of 1e20 to 1e30 (the
// error value 2 came back as a tail, and the rounding of x / a, x * rate and
// s + 1 moved the tails by sqrt(a) eps), noncentral chi-square tails and
// searches with noncentralities from 1e4 to 1e8 (4 % off at 1e8 before),
// noncentralities beyond 1e8 (chi-square) and 1e4 (F) refused (the mixture
// sums were not probabilities at 1e16), searches for a parameter whose tail turns on a
// scale finer than their relative tolerance, and F degrees of freedom where
// the tail turns (status 1 before).
TEST(DistlibDrivers, BeyondTheMeasuredRanges) {
  struct Row {
    distlib_ref::Far far;
    double tol;
  };
  const Row rows[] = {
      {{"gam", 1, {0.0, 0.0, 5e-324, 0.001, 0.001, 0.0}, 0, 0, 4.7200229382857853154e-1}, 1e-11},
      {{"gam", 1, {0.0, 0.0, 1e-300, 1e-18, 1e-07, 0.0}, 1, 0, 7.0631640788427029324e-16}, 1e-11},
      {{"chi", 1, {0.0, 0.0, 1e+30, 1e+30, 0.0, 0.0}, 0, 0, 5.0000000000000018806e-1}, 1e-11},
      {{"poi", 1, {0.0, 0.0, 1e+30, 1e+30, 0.0, 0.0}, 0, 0, 5.0000000000000026596e-1}, 1e-11},
      {{"gam", 1, {0.0, 0.0, 1.0000000003e+20, 1e+20, 1.0, 0.0},
       1, 0, 1.3498957637072751693e-3}, 1e-11},
      {{"gam", 1, {0.0, 0.0, 6.342339789980085e+23, 9.337096758529089e+20,
                   0.0014721848825066507, 0.0},
       0, 0, 4.9999882459858735056e-1}, 1e-11},
      {{"poi", 1, {0.0, 0.0, 5.142172828158191e+19, 5.142172828158191e+19, 0.0, 0.0},
       1, 0, 4.9999999996291097026e-1}, 1e-11},
      {{"chn", 1, {0.0, 0.0, 1e+30, 1e+30, 3.0, 0.0}, 0, 0, 4.9999999999999934178e-1}, 4e-5},
      // noncentral chi-square from 1e4 to 1e8: the mean, 1 and 20 standard
      // deviations out (0.4795 at the mean before), and the searches back
      {{"chn", 1, {0.0, 0.0, 100000005.0, 5.0, 100000000.0, 0.0}, 0, 0, 5.0001994711362944066e-1},
       1e-10},
      {{"chn", 1, {0.0, 0.0, 99600004.995, 5.0, 100000000.0, 0.0}, 0, 0, 1.8439740178491649565e-89},
       1e-10},
      {{"chn", 1, {0.0, 0.0, 100400005.005, 5.0, 100000000.0, 0.0}, 1, 0, 4.103801592292503839e-89},
       1e-10},
      {{"chn", 1, {0.0, 0.0, 31039370.0, 1e6, 3e7, 0.0}, 1, 0, 1.8308358214244316368e-4}, 1e-10},
      {{"chn", 1, {0.0, 0.0, 18585.0, 0.001, 2e4, 0.0}, 0, 0, 1.781409242895328992e-7}, 1e-10},
      {{"chn", 1, {0.0, 0.0, 998000.0, 5.0, 1e6, 0.0}, 0, 0, 1.5805072071578265523e-1}, 1e-10},
      {{"chn", 2, {1.5805072071578265523e-1, 0.84194927928421734477, 0.0, 5.0, 1e6, 0.0},
       2, 0, 998000.0}, 2e-8},
      {{"chn", 3, {1.5805072071578265523e-1, 0.84194927928421734477, 998000.0, 0.0, 1e6, 0.0},
       3, 0, 5.0}, 2e-8},
      {{"chn", 4, {1.5805072071578265523e-1, 0.84194927928421734477, 998000.0, 5.0, 0.0, 0.0},
       4, 0, 1e6}, 2e-8},
      {{"chn", 2, {1.8439740178491649565e-89, 1.0, 0.0, 5.0, 100000000.0, 0.0}, 2, 0, 99600004.995},
       2e-8},
      // beyond 1e8 refused
      {{"chn", 1, {0.0, 0.0, 100000005.0, 5.0, 100000001.0, 0.0}, 0, -6, 1.0e+8}, 0.0},
      {{"chn", 1, {0.0, 0.0, 1e+16, 5.0, 1e+16, 0.0}, 0, -6, 1.0e+8}, 0.0},
      {{"fnc", 1, {0.0, 0.0, 100000000000.0, 5.0, 10.0, 1000000000000.0}, 0, -7, 1.0e+4}, 1e-11},
      {{"chn", 2, {0.5, 0.5, 0.0, 5.0, 1000000000000.0, 0.0}, 2, -6, 1.0e+8}, 1e-13},
      // a median beyond the range: status 2 at the bound
      {{"chn", 4, {0.5, 0.5, 1e9, 5.0, 0.0, 0.0}, 4, 2, 1.0e+8}, 0.0},
      {{"gam", 3, {0.7, 0.3, 1e-300, 0.0, 0.001, 0.0}, 3, 0, 5.116505870542748382e-4}, 2e-8},
      {{"chi", 3, {0.7, 0.3, 1e-300, 0.0, 0.0, 0.0}, 3, 0, 1.0325058152982071873e-3}, 2e-8},
      {{"chn", 3, {0.7, 0.3, 1e-300, 0.0, 0.001, 0.0}, 3, 0, 1.0310584117175713544e-3}, 1e-9},
      {{"poi", 2, {5.331577826415802e-73, 1.0, 0.0, 7.349811010307957e+16, 0.0, 0.0},
       2, 0, 7.3498105214142050568e+16}, 1e-13},
      {{"chn", 2, {1.22533397018973e-283, 1.0, 0.0, 1.715534279050279e+24, 2284.794448012762, 0.0},
       2, 0, 1.7155342789836508546e+24}, 1e-13},
      {{"f", 3, {0.999999999999994, 5.995204332975845e-15, 16.657945238211212, 0.0,
                 78.31550146506686, 0.0},
       3, 0, 3.6486176707586310886e-16}, 2e-8},
      {{"fnc", 4, {3.9737024054455056e-84, 1.0, 1.6780734132298623, 0.4604829245432502, 0.0,
                   5854.422111576313},
       4, 0, 4.2326813149457428952e-86}, 4e-3},
      // a quantile and rate whose target no product in the doubles reaches
      // (the upper tail of a shape of 4e-201 stays below 3e-198): the
      // tails' jump at 0 (a normal double x = 7e-67 before)
      {{"gam", 2, {1.0, 9.7999146969078e-165, 0.0, 3.9903622675277116e-201,
                   2.2723836684458284e-250, 0.0}, 2, 0, 0.0}, 0.0},
      {{"gam", 4, {1.0, 9.7999146969078e-165, 1.0, 3.9903622675277116e-201, 0.0, 0.0},
       4, 1, 0.0}, 0.0},
  };
  for (const auto& r : rows) check_far(r.far, r.tol);
}

// A value that a formula puts beyond the doubles is left at the end of the
// range that the bound reports, as a failed search leaves it.
TEST(DistlibDrivers, AnswerBeyondTheDoublesLeftAtTheBound) {
  Result gam = run(kGam, 4, {0.3, 0.7, 0.0, 2.0, 1.0});
  EXPECT_EQ(gam.status, 2);
  EXPECT_EQ(gam.v[4], gam.bound);
  Result nor = run(kNor, 4, {0.3, 0.7, 1.0, 0.0, 1.0});
  EXPECT_EQ(nor.status, 2);
  EXPECT_EQ(nor.v[4], nor.bound);
  nor = run(kNor, 4, {0.6, 0.4, 0.0, 0.0, 1.0});
  EXPECT_EQ(nor.status, 1);
  EXPECT_EQ(nor.v[4], 0.0);
}

// A few points of the random wide grid of tools/distlib_grid.py: which 1
// against mpmath, and every other which at the exact tail, whose answer
// must give back (by the driver's own which 1) the tail it was asked for, to
// the accuracy of the tails plus the search's 1e-8 times the condition.
TEST(DistlibDrivers, SmallGrid) {
  const std::map<std::string, int> top = {{"gam", 4}, {"t", 3},   {"poi", 3}, {"nor", 4},
                                          {"nbn", 4}, {"f", 4},   {"fnc", 5}, {"chi", 3},
                                          {"chn", 4}, {"bin", 4}, {"bet", 4}};
  for (const auto& r : distlib_ref::grid_points) {
    const std::string name = r.driver;
    const auto* dr = std::find_if(std::begin(kDrivers), std::end(kDrivers),
                                  [&](const auto& e) { return name == e.name; });
    ASSERT_NE(dr, std::end(kDrivers)) << name;
    const double acc = name == "fnc" ? 1.5e-3 : name == "chn" ? 1.5e-4 : 1e-11;
    const Vals in(r.v, r.v + dr->n);
    Result fwd = run(*dr->d, 1, in);
    ASSERT_EQ(fwd.status, 0) << name << " " << text(in);
    EXPECT_LE(std::fabs(fwd.v[r.k] - r.tail), acc * r.tail) << name << " " << text(fwd.v);
    // The noncentral searches match p alone: only a small p is asked for.
    const bool p_only = name == "fnc" || name == "chn";
    if (p_only && r.k == 1) continue;
    Vals ask = in;
    ask[r.k] = r.tail;
    ask[1 - r.k] = 1.0 - r.tail;
    for (int which = 2; which <= top.at(name); ++which) {
      Result inv = run(*dr->d, which, ask);
      const std::string what = name + " which " + std::to_string(which) + " " + text(ask) +
                               " got " + text(inv.v);
      // The F tails need not be monotone in the degrees of freedom: their
      // searches may end at an end of the range.
      if ((name == "f" || name == "fnc") && (which == 3 || which == 4) && inv.status != 0) {
        EXPECT_TRUE(inv.status == 1 || inv.status == 2) << what;
        continue;
      }
      ASSERT_EQ(inv.status, 0) << what;
      Result back = run(*dr->d, 1, inv.v);
      EXPECT_LE(std::fabs(back.v[r.k] - r.tail), (2 * acc + 4e-8 * r.kappa) * r.tail) << what;
    }
  }
}

// Where a tail turns finer than the searches' relative 1e-8 (1e11 trials
// and more): a probability answer is refined to the doubles' resolution (its
// upper tail was 0.95 % off the target), and the noncentral chi-square keeps
// a noncentrality below half a unit in the last place of the degrees of
// freedom (3.2e-5 off, as if it were 0).  Exact values from mpmath.
TEST(DistlibDrivers, TailsThatTurnFinerThanTheSearches) {
  const double q = 2.0026389723983504e-05;
  Result bin = run(kBin, 4, {1.0 - q, q, 139755635843.0, 275234590876.0, 0, 0});
  ASSERT_EQ(bin.status, 0);
  Result back = run(kBin, 1, bin.v);
  EXPECT_LE(std::fabs(back.v[1] - q), 1e-8 * q) << text(bin.v) << " gives " << back.v[1];
  // the same through the beta's x, with shapes of 1e11 and more
  Result bet = run(kBet, 2, {1.0 - q, q, 0, 0, 139755635844.0, 135479255033.0});
  ASSERT_EQ(bet.status, 0);
  back = run(kBet, 1, bet.v);
  EXPECT_LE(std::fabs(back.v[1] - q), 1e-8 * q) << text(bet.v) << " gives " << back.v[1];

  Result chn = run(kChn, 1, {0, 0, 9.999999999292893e+21, 1e+22, 865416.9385498082});
  ASSERT_EQ(chn.status, 0);
  EXPECT_LE(std::fabs(chn.v[0] - 2.86637802183076e-7), 1e-9 * 2.86637802183076e-7)
      << chn.v[0];

  // Where one double to the next moves the tail by percents, the answer is
  // the double whose tail comes nearest the target, the target between its
  // neighbours' tails (the zero finder alone stopped a step or two away).
  struct Row {
    int which;
    Vals v;
    size_t k;
  };
  const Row rows[] = {
      {2, {4.720222995742052e-53, 1.0, 0, 3.468488185192245e+26, 4839.438718781758}, 2},
      {3, {3.6704574402227465e-248, 1.0, 2.70784774506253e+26, 0, 449.42321603805004}, 3},
  };
  for (const Row& r : rows) {
    Result got = run(kChn, r.which, r.v);
    ASSERT_EQ(got.status, 0) << text(r.v);
    const double target = r.v[0];
    auto gap = [&](double x) {
      Vals at = got.v;
      at[r.k] = x;
      return run(kChn, 1, at).v[0] - target;
    };
    const double x = got.v[r.k];
    const double lo = gap(std::nextafter(x, 0.0)), mid = gap(x),
                 hi = gap(std::nextafter(x, kInfinity));
    EXPECT_TRUE((lo <= 0.0 && hi >= 0.0) || (lo >= 0.0 && hi <= 0.0)) << text(got.v);
    EXPECT_LE(std::fabs(mid), std::min(std::fabs(lo), std::fabs(hi))) << text(got.v);
  }
}

// Arguments near the top of the doubles, against mpmath: a degrees of
// freedom or shape beyond the doubles' resolution takes its limit (F and t
// gave NaN, 0 / 0 or 3e-3 off, beta 0 / 0 at a = b = 1e308); x - mean and
// sd z that overflow where the answer does not; no root below 1e300 (status
// 0 at 9.98e291 before); huge shapes whose expansions took a rounded
// a - (a + b) x; failures on the side they mean (status 1 where the
// root lies above); probability roots below 1e-42 refined (the binomial pr
// below missed its tail 4.3e-17 by a factor 2e131).
TEST(DistlibDrivers, TopOfTheDoubles) {
  constexpr double kMax = std::numeric_limits<double>::max();
  struct Row {
    distlib_ref::Far far;
    double tol;
  };
  const Row rows[] = {
      // F with one df at the top: the chi-square limits, and searches on them
      {{"f", 1, {0, 0, 2.0, kMax, 7.0}, 0, 0, 0.83522548261034213629}, 1e-15},
      {{"f", 1, {0, 0, 2.0, 1e308, 7.0}, 0, 0, 0.83522548261034213629}, 1e-15},
      {{"f", 1, {0, 0, 2.0, 7.0, 1e307}, 1, 0, 0.051181353413065451461}, 1e-14},
      {{"f", 2, {0.3, 0.7, 0, 1e308, 7.0}, 2, 0, 0.83498034910869201133}, 2e-8},
      {{"f", 3, {0.3, 0.7, 0.5, 0, kMax}, 3, 0, 3.2989564291663426356}, 2e-8},
      {{"f", 4, {0.3, 0.7, 2.0, kMax, 0}, 4, 0, 0.34250582119434329638}, 2e-8},
      // both df beyond: the normal limit, centred at f = 1 (0 or 1 before)
      {{"f", 1, {0, 0, 1.0, 1e308, 1e300}, 0, 0, 0.5}, 1e-15},
      {{"fnc", 1, {0, 0, 2.0, kMax, 7.0, 3.0}, 0, 0, 0.83522548261034213629}, 1e-15},
      {{"fnc", 1, {0, 0, 2.0, 7.0, 1e308, 3.0}, 0, 0, 0.80449374037487302414}, 1e-6},
      {{"fnc", 2, {0.3, 0, 0, 1e308, 7.0, 3.0}, 2, 0, 0.83498034910869201133}, 2e-8},
      {{"fnc", 2, {0.3, 0, 0, 7.0, kMax, 3.0}, 2, 0, 0.97704335526126145529}, 1e-6},
      {{"fnc", 3, {0.3, 0, 2.0, 0, kMax, 3.0}, 3, 0, 0.5016169219915376519}, 1e-6},
      // t at a df of 1e308 and above: the normal
      {{"t", 1, {0, 0, 1.5, 1.797e308}, 0, 0, 0.933192798731141934}, 1e-15},
      {{"t", 2, {0.9, 0.1, 0, kMax}, 2, 0, 1.2815515655446005935}, 2e-8},
      // beta with a + b beyond the doubles, or b at the top
      {{"bet", 1, {0, 0, 0.5, 0.5, 1e308, 1e308}, 0, 0, 0.5}, 1e-15},
      {{"bet", 1, {0, 0, 0.3, 0.7, 3e307, 7e307}, 0, 0, 1.0}, 1e-15},
      {{"bet", 2, {0.3, 0.7, 0, 0, 2.0, kMax}, 2, 0, 6.1042076059746257498e-309}, 1e-8},
      {{"nbn", 4, {0.3, 0.7, 1e308, 1e308, 0, 0}, 4, 0, 0.5}, 1e-15},
      // shapes and df of 1e30 to 1e34, where a - (a + b) x rounded moved the
      // tails by standard deviations (0.0137, 1.4e-45, 0.591 and 0.409
      // before); the normal limit is the truth to 1e-14 there
      {{"bet", 1, {0, 0, 1.0 / 3.0, 2.0 / 3.0, 1e32, 2e32}, 0, 0, 0.24829339639380321859}, 1e-13},
      {{"bet", 1, {0, 0, 1.0 / 3.0, 2.0 / 3.0, 1e34, 2e34}, 0, 0, 5.2783774301670134224e-12}, 1e-12},
      {{"f", 1, {0, 0, 1.0000000000000002, 1e30, 3e30}, 0, 0, 0.55407908072434043699}, 1e-13},
      {{"f", 1, {0, 0, 0.99999999999999956, 1e30, 3e30}, 0, 0, 0.39283100485473871829}, 1e-13},
      // the normal where x - mean or sd z overflows
      {{"nor", 1, {0, 0, 1e308, -1e308, 1e308}, 0, 0, 0.97724986805182079}, 1e-15},
      {{"nor", 2, {0.97724986805182079, 0.022750131948179207, 0, -1e308, 1e308}, 2, 0, 1e308},
       1e-15},
      {{"nor", 3, {0.025, 0.975, -1e308, 0, 1e308}, 3, 0, 9.5996398454005422232e+307}, 1e-15},
      {{"nor", 4, {0.97724986805182079, 0.022750131948179207, 1e308, -1e308, 0}, 4, 0, 1e308},
       1e-15},
      // no root below 1e300
      {{"bet", 3, {0.3, 0.7, 0.5, 0.5, 0, kMax}, 4, 2, 1e300}, 0.0},
      {{"nbn", 3, {0.3, 0.7, kMax, 0, 0.5, 0.5}, 3, 2, 1e300}, 0.0},
      {{"f", 3, {0.3, 0.7, 2.0, 0, kMax}, 3, 2, 1e300}, 0.0},
      // the root above the range, where the tail is 0 at both ends
      {{"chi", 2, {0.3, 0.7, 0, 1e305}, 2, 2, 1e300}, 0.0},
      {{"poi", 2, {0.3, 0.7, 0, 1e305}, 2, 2, 1e300}, 0.0},
      {{"nbn", 2, {0.3, 0.7, 0, 1e305, 0.5, 0.5}, 2, 2, 1e300}, 0.0},
      {{"chn", 2, {0.3, 0, 0, 1e305, 3.0}, 2, 2, 1e300}, 0.0},
      {{"bet", 4, {0.3, 0.7, 1e-300, 1.0, 1e10, 0}, 5, 2, 1e300}, 0.0},
      // a probability root below 1e-42, to the doubles' resolution
      {{"bin", 4, {4.341940857166949e-17, 1.0, 8.5292045640763e+19, 5.149160456942368e+68, 0, 0},
        4, 0, 1.6564262549367664775e-49}, 3e-16},
  };
  for (const Row& r : rows) check_far(r.far, r.tol);

  // Where the F search for a df retries where the tail turns, an answer
  // leaves the bound as it was.
  Result f = run(kF, 3, {0.999999999999994, 5.995204332975845e-15, 16.657945238211212, 0,
                         78.31550146506686});
  EXPECT_EQ(f.status, 0);
  EXPECT_EQ(f.bound, -7.0);
}
