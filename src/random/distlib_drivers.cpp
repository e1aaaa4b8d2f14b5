// Distribution drivers: any one quantity of a distribution from the others.
// Probabilities come from the cumulative functions; a parameter is found by
// the bracketing search, a probability parameter by the zero finder, the
// normal quantities directly from the normal quantile, the gamma variate and
// rate from the inverse gamma ratio.
//
// Every check is written so that an argument that is not a number fails it.
#include <algorithm>
#include <cmath>
#include <limits>

#include "random/distlib.hpp"

namespace distlib {

namespace {

constexpr double kInf = 1.0e300;
// The range of a quantity that a driver computes by formula rather than by
// search: the finite doubles.
constexpr double kMaxDouble = std::numeric_limits<double>::max();
constexpr double kAbsTol = 1.0e-50;
constexpr double kRelTol = 1.0e-8;
constexpr double kSumTol = 3.0 * 2.220446049250313e-16;
// Lower end of the searches for the degrees of freedom of t and F.  At 0
// itself the cumulative functions take their guard values (a degenerate pair
// of tails, or the beta ratio's error zeros), which are not the limits as
// the degrees of freedom fall to 0; an end test there would stop every such
// search without an answer.  A failure below it still reports the bound 0.
constexpr double kDfLow = 1.0e-100;
// The largest noncentrality the noncentral F driver takes or searches for.
// Its mixture sums stop on terms small against the sum, which with the
// Poisson weights spread over sqrt(noncentrality) terms ends them early:
// measured within 4.0e-3 up to 1e4, not a probability at 1e16.
constexpr double kMaxFncNonc = 1.0e4;
// The noncentral chi-square's: above 1e4 its sums stop on a bound of the
// Poisson weight left instead, at a cost that grows as sqrt(noncentrality)
// (at 1e8 up to 0.02 s a tail, and some seconds a search for a tail below
// 1e-170).
constexpr double kMaxChnNonc = 1.0e8;

// The gamma ratio's error value 2.0 lands in the output that receives P
// (the upper tail of the Poisson); either way it is no tail.
bool gamma_ratio_ok(double c, double cc) { return !(c > 1.5 || cc > 1.5); }

// Two tails that are probabilities: a mixture sum that failed (NaN) or took
// in the gamma ratio's error value is none.
bool is_tail_pair(double c, double cc) { return c >= 0.0 && c <= 1.0 && cc >= 0.0 && cc <= 1.0; }

// Outcome of the checks of one call: the first failure sets status and bound.
struct Verdict {
  int& status;
  double& bound;
  bool failed = false;

  void fail(int s, double b) {
    if (failed) return;
    status = s;
    bound = b;
    failed = true;
  }
  // which in 1..top.
  void which(int w, int top) {
    if (w < 1) fail(-1, 1.0);
    if (w > top) fail(-1, top);
  }
  // A probability in [0, 1], or in (0, 1] when zero is not allowed.
  void prob(double v, bool zero_ok, int code) {
    if (zero_ok ? !(v >= 0.0) : !(v > 0.0)) fail(code, 0.0);
    if (v > 1.0) fail(code, 1.0);
  }
  // The tails p (code -2) and q (code -3).
  void tails(double p, double q, bool p_zero_ok, bool q_zero_ok) {
    prob(p, p_zero_ok, -2);
    prob(q, q_zero_ok, -3);
  }
  // Every real argument has both ends checked: an infinite one is out of
  // range (bound the largest double, or the driver's own top) as a value
  // that is not a number is (bound the lower limit).
  // A double in (0, top].
  void positive(double v, int code, double top = kMaxDouble) {
    if (!(v > 0.0)) fail(code, 0.0);
    if (v > top) fail(code, top);
  }
  // A double in [0, top] (-0 included).
  void nonnegative(double v, int code, double top = kMaxDouble) {
    if (!(v >= 0.0)) fail(code, 0.0);
    if (v > top) fail(code, top);
  }
  // A finite double.
  void finite(double v, int code) {
    if (!(v >= -kMaxDouble)) fail(code, -kMaxDouble);
    if (v > kMaxDouble) fail(code, kMaxDouble);
  }
  // A pair that must sum to 1 within three epsilons.
  void pair(double u, double v, int code) {
    double sum = u + v;
    if (std::fabs((sum - 0.5) - 0.5) > kSumTol) fail(code, sum < 0.0 ? 0.0 : 1.0);
  }
};

// The searches resolve an answer to the relative tolerance, or to the
// absolute one near 0: an answer below kAbsTol / kRelTol is known only to
// lie within kAbsTol of it.  Such an answer is refined, within that band
// (from lo up), by the zero finder with an absolute tolerance of the
// relative one times the smallest normal double, so that every answer that
// is a normal double keeps its relative accuracy; a root below them comes
// back as the end of its final bracket where the function is nearer 0,
// often 0 itself.  fx(x) evaluates
// the function at x; an answer whose band does not bracket a change of sign
// (a zero at lo itself) is kept.
constexpr double kTinyTol = kRelTol * std::numeric_limits<double>::min();

// Runs the zero finder set up by dstzr from v, and takes its answer (the
// lower end of its final bracket) where it converged.
template <class Fx>
void zero_from(double& v, Fx fx_at) {
  int st = 0;
  double x = v, fx = 0.0, xlo = 0.0, xhi = 0.0;
  bool qleft = false, qhi = false;
  dzror(st, x, fx, xlo, xhi, qleft, qhi);
  while (st == 1) {
    fx = fx_at(x);
    dzror(st, x, fx, xlo, xhi, qleft, qhi);
  }
  if (st == 0) v = xlo;
}

template <class Fx>
void refine_small(double& v, double lo, Fx fx_at) {
  if (!(v < kAbsTol / kRelTol)) return;
  dstzr(std::fmax(lo, v - 2.0 * kAbsTol), v + 2.0 * kAbsTol, kTinyTol, kRelTol);
  zero_from(v, fx_at);
}

// An answer whose tail, across the search's tolerance (a relative 2e-8
// either way), moves by more than 1e-4 of its target is refined within that
// band to the doubles' resolution: the tails of a shape of 1e16 and more
// turn on a relative scale of 1/sqrt(shape), finer than the tolerance, and
// an answer to 1e-8 would say little about its tail.  fx(x) evaluates the
// function at x; a band whose ends do not bracket a change of sign keeps
// the answer.
template <class Fx>
void refine_narrow(double& v, double lo, double hi, double target, Fx fx_at) {
  if (!(v > 0.0) || !(v <= hi)) return;
  const double a = std::fmax(lo, v * (1.0 - 2.0 * kRelTol));
  const double b = std::fmin(hi, v * (1.0 + 2.0 * kRelTol));
  const double fa = fx_at(a), fb = fx_at(b);
  if (!(std::fabs(fa - fb) > 1.0e-4 * target)) return;
  if (!((fa < 0.0 && fb > 0.0) || (fa > 0.0 && fb < 0.0))) return;
  dstzr(a, b, kTinyTol, 1.0e-15);
  zero_from(v, fx_at);
  // The zero finder stops within a few units in the last place; the last
  // steps go double by double to where the function changes sign, and the
  // answer is the one of the two doubles there nearer the target (a tail
  // that moves by percents from one double to the next missed it by a step
  // or two).
  double f = fx_at(v);
  if (f == 0.0 || std::isnan(f)) return;
  const double toward = (f < 0.0) == (fa < 0.0) ? b : a;
  for (int step = 0; step < 64; ++step) {
    const double next = std::nextafter(v, toward);
    if (next == v) return;
    const double fn = fx_at(next);
    if (std::isnan(fn)) return;
    if ((fn < 0.0) != (f < 0.0) || fn == 0.0) {
      if (std::fabs(fn) < std::fabs(f)) v = next;
      return;
    }
    v = next;
    f = fn;
  }
}

// No check of the tails in a search.
constexpr auto kAnyTails = [](double, double) { return true; };

// Bracketing search for the value v in [lo, hi] at which the chosen tail of
// cum(v, cum, ccum) meets its target: the lower tail p when lower is set,
// else the upper tail q.  A start value outside the range (possible on valid
// input for some drivers) is moved to the nearest end.  ok(cum, ccum) false
// ends the search with status 10.  rises is +1 where cum rises with v, -1
// where it falls, 0 where that is not known.
template <class Cum, class Ok>
void search(double& v, double start, double lo, double hi, bool lower, double p, double q,
            int& status, double& bound, Cum cum, Ok ok, int rises = 0) {
  v = std::isnan(start) ? 0.5 * (lo + hi) : std::clamp(start, lo, hi);
  dstinv(lo, hi, 0.5, 0.5, 5.0, kAbsTol, kRelTol);
  status = 0;
  double fx = 0.0;
  bool qleft = false, qhi = false;
  dinvr(status, v, fx, qleft, qhi);
  while (status == 1) {
    double c = 0.0, cc = 0.0;
    cum(v, c, cc);
    if (!ok(c, cc)) {
      status = 10;
      return;
    }
    fx = lower ? c - p : cc - q;
    dinvr(status, v, fx, qleft, qhi);
  }
  auto fx_at = [&](double x) {
    double c = 0.0, cc = 0.0;
    cum(x, c, cc);
    return lower ? c - p : cc - q;
  };
  if (status == -1) {
    // A tail that stands level at both ends (0 or 1 at each) is taken by
    // the search for a falling one; where the direction is known and the
    // ends stand on one side of the target, the side is read from them.
    if (rises != 0) {
      const double bottom = fx_at(lo), top = fx_at(hi);
      if ((bottom < 0.0 && top < 0.0) || (bottom > 0.0 && top > 0.0)) {
        qleft = ((rises > 0) == lower) ? top > 0.0 : top < 0.0;
      }
    }
    status = qleft ? 1 : 2;
    bound = qleft ? lo : hi;
    return;
  }
  refine_small(v, lo, fx_at);
  refine_narrow(v, lo, hi, lower ? p : q, fx_at);
}

template <class Cum>
void search(double& v, double start, double lo, double hi, bool lower, double p, double q,
            int& status, double& bound, Cum cum) {
  search(v, start, lo, hi, lower, p, q, status, bound, cum, kAnyTails);
}

// Search for degrees of freedom, from kDfLow up; a failure at the lower end
// reports the bound 0.
template <class Cum>
void search_df(double& v, double hi, bool lower, double p, double q, int& status, double& bound,
               Cum cum) {
  search(v, 5.0, kDfLow, hi, lower, p, q, status, bound, cum);
  if (status == 1) bound = 0.0;
}

// As search_df, for the F tails, which need not be monotone in the degrees
// of freedom (the tail can rise and fall back, most of all the noncentral
// one): a tail that stands on one side of the target at both ends of the
// range may cross it in between, where it turns.  Such a failure looks for
// the point where the tail comes nearest the target or passes it: at every
// tenth power of ten, then by golden sections on the log scale between the
// neighbours of the nearest of those (some 60 evaluations), and searches
// again between a point on each side.  A tail that turns more than once
// within twenty decades may still be missed.
template <class Cum>
void search_df_turning(double& v, double hi, bool lower, double p, double q, int& status,
                       double& bound, Cum cum) {
  // bound is left as the caller had it on success
  const double bound_in = bound;
  search_df(v, hi, lower, p, q, status, bound, cum);
  if (status != 1 && status != 2) return;
  const int first_status = status;
  const double first_bound = bound, first_v = v;
  auto gap = [&](double d) {
    double c = 0.0, cc = 0.0;
    cum(d, c, cc);
    return lower ? c - p : cc - q;
  };
  const double top = std::log10(hi);
  auto at = [&](double e) { return std::pow(10.0, std::fmin(e, top)); };
  // the side of the target the tail keeps at the ends; gap * side > 0 there
  const double side = gap(at(top)) < 0.0 ? -1.0 : 1.0;
  auto away = [&](double e) { return side * gap(at(e)); };
  auto retry = [&](double elo, double ehi) {
    search(v, std::sqrt(at(elo)) * std::sqrt(at(ehi)), at(elo), at(ehi), lower, p, q, status,
           bound, cum);
    if (status == 0) bound = bound_in;
    return status == 0;
  };
  constexpr double kLowExp = -100.0;
  double best_e = kLowExp, best = away(kLowExp);
  for (double e = kLowExp + 10.0; e < top + 10.0; e += 10.0) {
    const double g = away(e);
    if (!(g > 0.0)) {
      if (!std::isnan(g) && retry(e - 10.0, e)) return;
      break;
    }
    if (g < best) {
      best = g;
      best_e = e;
    }
  }
  if (best > 0.0 && status != 0) {
    // golden sections for the least of away() within the nearest one's
    // neighbours
    constexpr double kInvPhi = 0.6180339887498949;
    double a = std::fmax(kLowExp, best_e - 10.0), b = std::fmin(top, best_e + 10.0);
    double c = b - kInvPhi * (b - a), d = a + kInvPhi * (b - a);
    double fc = away(c), fd = away(d);
    while (b - a > 0.01 && fc > 0.0 && fd > 0.0) {
      if (fc < fd) {
        b = d;
        d = c;
        fd = fc;
        c = b - kInvPhi * (b - a);
        fc = away(c);
      } else {
        a = c;
        c = d;
        fc = fd;
        d = a + kInvPhi * (b - a);
        fd = away(d);
      }
    }
    const double e = fc <= fd ? c : d;
    if (!(std::fmin(fc, fd) > 0.0) && retry(std::fmax(kLowExp, best_e - 10.0), e)) return;
  }
  status = first_status;
  bound = first_bound;
  v = first_v;
}

// Zero finder over [0, 1] for a success probability and its complement: pr
// itself when p <= q (matching the lower tail), else ompr (the upper tail).
// The zero finder's tolerance is relative to the value it searches, so an
// answer whose other member is the small one is refined on that member,
// within the final bracket, to the same relative tolerance.
template <class Cum>
void search_prob(double& pr, double& ompr, double p, double q, int& status, double& bound,
                 Cum cum) {
  const bool lower = p <= q;
  double& v = lower ? pr : ompr;
  double& other = lower ? ompr : pr;
  double xlo = 0.0, xhi = 0.0;
  bool qleft = false, qhi = false;
  auto run = [&](double& x, double& rest, double lo, double hi) {
    dstzr(lo, hi, kAbsTol, kRelTol);
    status = 0;
    double fx = 0.0;
    dzror(status, x, fx, xlo, xhi, qleft, qhi);
    rest = 1.0 - x;
    while (status == 1) {
      double c = 0.0, cc = 0.0;
      cum(pr, ompr, c, cc);
      fx = lower ? c - p : cc - q;
      dzror(status, x, fx, xlo, xhi, qleft, qhi);
      rest = 1.0 - x;
    }
  };
  run(v, other, 0.0, 1.0);
  if (status == -1) {
    status = qleft ? 1 : 2;
    bound = qleft ? 0.0 : 1.0;
    return;
  }
  // The answer's smaller member, below the absolute tolerance, refined to
  // the relative one; and where its tail turns finer than that (a binomial
  // of 1e11 trials moved its tail by 1 % within it), to the doubles'
  // resolution.
  auto refine = [&](double& small, double& large) {
    const bool small_is_pr = &small == &pr;
    auto fx_at = [&](double x) {
      double c = 0.0, cc = 0.0;
      if (small_is_pr) {
        cum(x, 1.0 - x, c, cc);
      } else {
        cum(1.0 - x, x, c, cc);
      }
      return lower ? c - p : cc - q;
    };
    refine_small(small, 0.0, fx_at);
    refine_narrow(small, 0.0, 1.0, lower ? p : q, fx_at);
    large = 1.0 - small;
  };
  if (v <= 0.5) {
    refine(v, other);
    return;
  }
  // 1 - x is exact for x in [1/2, 1], so the bracket's ends keep their values.
  const double first = v;
  run(other, v, 1.0 - std::fmax(xlo, xhi), 1.0 - std::fmin(xlo, xhi));
  if (status != 0) {
    v = first;
    other = 1.0 - first;
    status = 0;
  }
  refine(other, v);
}

// --------------------------------------------------------------------- normal
// An answer computed by formula beyond its range, the finite doubles (the
// positive ones when positive is set), is reported rather than returned:
// status 1 with the lower end, 2 with the upper, and the value left at that
// end, as a search leaves it.
bool beyond_doubles(double& v, bool positive, int& status, double& bound) {
  if (v > kMaxDouble) {
    status = 2;
    bound = kMaxDouble;
  } else if (positive ? !(v > 0.0) : !(v >= -kMaxDouble)) {
    status = 1;
    bound = positive ? 0.0 : -kMaxDouble;
  } else {
    return false;
  }
  v = bound;
  return true;
}

// The standard normal quantile at the smaller of p and q.  Near the median
// the quantile comes out to an absolute rather than a relative accuracy
// (about 1e-17 at p = 1/2 itself), which a ratio such as sd = (x - mean) / z
// cannot bear: there it is refined by Newton steps on erf, which keeps its
// relative accuracy near 0, against the exact distance of the tail from 1/2.
double normal_quantile(double p, double q) {
  const double d = p <= q ? p - 0.5 : 0.5 - q;
  if (d == 0.0) return 0.0;
  double z = dinvnr(p, q);
  if (std::fabs(d) < 0.25) {
    constexpr double kRsqrt2 = 0.70710678118654752440;
    constexpr double kRsqrt2pi = 0.39894228040143267794;
    for (int i = 0; i < 2; ++i) {
      z -= (0.5 * std::erf(z * kRsqrt2) - d) / (kRsqrt2pi * std::exp(-0.5 * z * z));
    }
  }
  return z;
}

}  // namespace

// The generator library's driver (which the sampler uses) takes x, mean and
// the signs on trust; this one checks them as the other drivers do.
void cdfnor(int which, double& p, double& q, double& x, double& mean, double& sd, int& status,
            double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.tails(p, q, false, false);
  if (which != 2) v.finite(x, -4);
  if (which != 3) v.finite(mean, -5);
  if (which != 4) v.positive(sd, -6);
  if (which != 1) v.pair(p, q, 3);
  if (v.failed) return;

  status = 0;
  // x - mean and sd z can overflow where what they make does not: they are
  // then taken on halves (exact but for subnormal halves) and doubled.
  const bool wide = !std::isfinite(x - mean);
  const double half_diff = 0.5 * x - 0.5 * mean;
  if (which == 1) {
    cumnor(wide ? 2.0 * (half_diff / sd) : (x - mean) / sd, p, q);
    return;
  }
  const double z = normal_quantile(p, q);
  if (which == 2) {
    x = sd * z + mean;
    if (!std::isfinite(x)) x = 2.0 * ((0.5 * sd) * z + 0.5 * mean);
    beyond_doubles(x, false, status, bound);
  } else if (which == 3) {
    mean = x - sd * z;
    if (!std::isfinite(mean)) mean = 2.0 * (0.5 * x - (0.5 * sd) * z);
    beyond_doubles(mean, false, status, bound);
  } else {
    // P(X <= x) = Phi((x - mean) / sd) lies strictly between 1/2 and the
    // side of x - mean for every sd > 0, and tends to 1/2 as sd grows: a
    // tail on the other side of 1/2 (or at 1/2 with x not the mean) is met
    // only beyond the upper end; at x = mean no sd moves the tail from 1/2.
    const double diff = wide ? half_diff : x - mean;
    if (diff == 0.0 && z == 0.0) {
      sd = 1.0;  // every sd gives the tails 1/2: the standard one is returned
    } else if (diff == 0.0 && z > 0.0) {
      status = 1;
      sd = bound = 0.0;
    } else if (diff == 0.0 || z == 0.0 || (diff > 0.0) != (z > 0.0)) {
      status = 2;
      sd = bound = kMaxDouble;
    } else {
      sd = wide ? 2.0 * (diff / z) : diff / z;
      beyond_doubles(sd, true, status, bound);
    }
  }
}

// ------------------------------------------------------------------ Student's t
void cdft(int which, double& p, double& q, double& t, double& df, int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 3);
  if (which != 1) v.tails(p, q, false, false);
  if (which != 2) v.finite(t, -4);
  if (which != 3) v.positive(df, -5);
  if (which != 1) v.pair(p, q, 3);
  if (v.failed) return;

  const bool lower = p <= q;
  if (which == 1) {
    cumt(t, df, p, q);
    status = 0;
  } else if (which == 2) {
    // For tiny df the start value overflows or leaves the range; it is
    // moved to the range instead.
    const double dfv = df;
    search(t, dt1(p, q, df), -kInf, kInf, lower, p, q, status, bound,
           [dfv](double x, double& c, double& cc) { cumt(x, dfv, c, cc); }, kAnyTails, 1);
  } else {
    const double tv = t;
    search_df(df, 1.0e10, lower, p, q, status, bound,
              [tv](double x, double& c, double& cc) { cumt(tv, x, c, cc); });
  }
}

// -------------------------------------------------------------------- Poisson
void cdfpoi(int which, double& p, double& q, double& s, double& xlam, int& status,
            double& bound) {
  Verdict v{status, bound};
  v.which(which, 3);
  if (which != 1) v.tails(p, q, true, false);
  if (which != 2) v.nonnegative(s, -4);
  if (which != 3) v.nonnegative(xlam, -5);
  if (which != 1) v.pair(p, q, 3);
  if (v.failed) return;

  const bool lower = p <= q;
  if (which == 1) {
    cumpoi(s, xlam, p, q);
    status = gamma_ratio_ok(p, q) ? 0 : 10;
  } else if (which == 2) {
    const double lam = xlam;
    search(s, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [lam](double x, double& c, double& cc) { cumpoi(x, lam, c, cc); }, kAnyTails, 1);
  } else {
    const double sv = s;
    search(xlam, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [sv](double x, double& c, double& cc) { cumpoi(sv, x, c, cc); }, kAnyTails, -1);
  }
}

// -------------------------------------------------------- negative binomial
void cdfnbn(int which, double& p, double& q, double& s, double& xn, double& pr, double& ompr,
            int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.tails(p, q, true, false);
  if (which != 2) v.nonnegative(s, -4);
  if (which != 3) v.nonnegative(xn, -5);
  // A count of 0 successes leaves P = 1 for every s and pr: no tail the
  // checks let through (q > 0) is met by searching either.
  if ((which == 2 || which == 4) && xn == 0.0) v.fail(-5, 0.0);
  if (which != 4) {
    v.prob(pr, true, -6);
    v.prob(ompr, true, -7);
  }
  if (which != 1) v.pair(p, q, 3);
  if (which != 4) v.pair(pr, ompr, 4);
  if (v.failed) return;

  const bool lower = p <= q;
  if (which == 1) {
    cumnbn(s, xn, pr, ompr, p, q);
    status = 0;
  } else if (which == 2) {
    const double n = xn, r = pr, omr = ompr;
    search(s, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [=](double x, double& c, double& cc) { cumnbn(x, n, r, omr, c, cc); }, kAnyTails, 1);
  } else if (which == 3) {
    const double sv = s, r = pr, omr = ompr;
    search(xn, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [=](double x, double& c, double& cc) { cumnbn(sv, x, r, omr, c, cc); }, kAnyTails,
           -1);
  } else {
    const double sv = s, n = xn;
    search_prob(pr, ompr, p, q, status, bound,
                [=](double r, double omr, double& c, double& cc) { cumnbn(sv, n, r, omr, c, cc); });
  }
}

// -------------------------------------------------------------------- central F
void cdff(int which, double& p, double& q, double& f, double& dfn, double& dfd, int& status,
          double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.tails(p, q, true, false);
  if (which != 2) v.nonnegative(f, -4);
  if (which != 3) v.positive(dfn, -5);
  if (which != 4) v.positive(dfd, -6);
  if (which != 1) v.pair(p, q, 3);
  if (v.failed) return;

  const bool lower = p <= q;
  const double fv = f, n = dfn, d = dfd;
  if (which == 1) {
    cumf(f, dfn, dfd, p, q);
    status = 0;
  } else if (which == 2) {
    search(f, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [=](double x, double& c, double& cc) { cumf(x, n, d, c, cc); }, kAnyTails, 1);
  } else if (which == 3) {
    search_df_turning(dfn, kInf, lower, p, q, status, bound,
              [=](double x, double& c, double& cc) { cumf(fv, x, d, c, cc); });
  } else {
    search_df_turning(dfd, kInf, lower, p, q, status, bound,
              [=](double x, double& c, double& cc) { cumf(fv, n, x, c, cc); });
  }
}

// ----------------------------------------------------------------- noncentral F
void cdffnc(int which, double& p, double& q, double& f, double& dfn, double& dfd, double& pnonc,
            int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 5);
  if (which != 1) v.prob(p, true, -2);
  if (which != 2) v.nonnegative(f, -4);
  if (which != 3) v.positive(dfn, -5);
  if (which != 4) v.positive(dfd, -6);
  if (which != 5) v.nonnegative(pnonc, -7, kMaxFncNonc);
  if (v.failed) return;

  // q is never read: the searches match the lower tail.
  const double fv = f, n = dfn, d = dfd, nc = pnonc;
  switch (which) {
    case 1:
      cumfnc(f, dfn, dfd, pnonc, p, q);
      status = is_tail_pair(p, q) ? 0 : 10;
      break;
    case 2:
      search(f, 5.0, 0.0, kInf, true, p, 0.0, status, bound,
             [=](double x, double& c, double& cc) { cumfnc(x, n, d, nc, c, cc); }, kAnyTails, 1);
      break;
    case 3:
      search_df_turning(dfn, kInf, true, p, 0.0, status, bound,
                [=](double x, double& c, double& cc) { cumfnc(fv, x, d, nc, c, cc); });
      break;
    case 4:
      search_df_turning(dfd, kInf, true, p, 0.0, status, bound,
                [=](double x, double& c, double& cc) { cumfnc(fv, n, x, nc, c, cc); });
      break;
    default:
      search(pnonc, 5.0, 0.0, kMaxFncNonc, true, p, 0.0, status, bound,
             [=](double x, double& c, double& cc) { cumfnc(fv, n, d, x, c, cc); }, kAnyTails,
             -1);
      break;
  }
}

// ----------------------------------------------------------------- chi-square
void cdfchi(int which, double& p, double& q, double& x, double& df, int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 3);
  if (which != 1) v.tails(p, q, true, false);
  if (which != 2) v.nonnegative(x, -4);
  if (which != 3) v.positive(df, -5);
  if (which != 1) v.pair(p, q, 3);
  if (v.failed) return;

  const bool lower = p <= q;
  if (which == 1) {
    cumchi(x, df, p, q);
    status = gamma_ratio_ok(p, q) ? 0 : 10;
  } else if (which == 2) {
    const double d = df;
    search(x, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [d](double t, double& c, double& cc) { cumchi(t, d, c, cc); }, gamma_ratio_ok, 1);
  } else {
    const double xv = x;
    search(df, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [xv](double t, double& c, double& cc) { cumchi(xv, t, c, cc); },
           gamma_ratio_ok, -1);
  }
}

// ---------------------------------------------------------------------- gamma
namespace {

// ln y for the y at which the chosen tail of P(a, y) meets its target, where
// the inverse ratio gives up (targets below about 1e-298, near the end of
// the doubles).  A lower tail met below the normal doubles is the first term
// y^a / Gamma(1 + a) of its series, as the ratio computes it there;
// otherwise y is searched for on the logs of the tails, which keep their
// digits where the tails' differences from the target would be subnormal.
// A status other than 0 is the search's.
void gamma_product_root(double a, double p, double q, double& lny, int& status, double& bound) {
  const bool lower = p <= q;
  if (lower) {
    double c = 0.0, cc = 0.0;
    cumgam(std::numeric_limits<double>::min(), a, c, cc);
    if (c >= p) {
      lny = (std::log(p) + ln_gamma_1p(a)) / a;
      status = 0;
      return;
    }
  }
  // A tail that underflows to 0 counts as the least subnormal double.
  constexpr double kLeast = std::numeric_limits<double>::denorm_min();
  auto ln = [](double t) { return std::log(std::fmax(t, kLeast)); };
  double y = 0.0;
  bool ratio_ok = true;
  search(y, 5.0, 0.0, kInf, lower, ln(p), ln(q), status, bound,
         [&](double t, double& c, double& cc) {
           cumgam(t, a, c, cc);
           ratio_ok = gamma_ratio_ok(c, cc);
           c = ln(c);
           cc = ln(cc);
         },
         [&](double, double) { return ratio_ok; });
  if (status != 0) return;
  // With a tiny shape the upper tail stays below its target for every
  // product down to the least subnormal double, and the search's root is
  // the tails' jump at 0 (a product of 0, where x / scale of the least
  // subnormal could be a normal double far from any root).
  double c = 0.0, cc = 0.0;
  cumgam(y, a, c, cc);
  const double t = lower ? c : cc, target = lower ? p : q;
  if (y < std::numeric_limits<double>::min() && !(std::fabs(ln(t) - ln(target)) <= 1.0e-3)) {
    y = 0.0;
  }
  lny = std::log(y);
}

// P(shape, x scale) for x >= 0 and a rate above 0.  A product that leaves
// the normal doubles is taken from its log (x * scale underflowed to 0 for
// a tail of 0.47); 0 times an infinite rate gives the tails 0 and 1.
void gamma_at(double x, double scale, double shape, double& c, double& cc) {
  const double xscale = x * scale;
  if (!(x > 0.0 && scale > 0.0) || std::isnan(xscale)) {
    c = 0.0;
    cc = 1.0;
  } else if (xscale >= std::numeric_limits<double>::min() && xscale <= kMaxDouble) {
    // the product's rounding error, exactly, for the huge shapes' a - x
    cumgam(xscale, shape, c, cc, -std::fma(x, scale, -xscale));
  } else {
    cumgam_ln(std::log(x) + std::log(scale), shape, c, cc);
  }
}

}  // namespace

// scale is a rate: P(X <= x) = P(shape, x * scale).
void cdfgam(int which, double& p, double& q, double& x, double& shape, double& scale,
            int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.tails(p, q, true, false);
  if (which != 2) v.nonnegative(x, -4);
  if (which != 3) v.positive(shape, -5);
  if (which != 4) v.positive(scale, -6);
  if (which != 1) v.pair(p, q, 3);
  if (v.failed) return;

  if (which == 1) {
    gamma_at(x, scale, shape, p, q);
    // The ratio's error exit (p = 2.0) is a failure, not a result.
    status = p > 1.5 ? 10 : 0;
    return;
  }
  if (which == 2 || which == 4) {
    double xx;
    int ierr;
    gamma_inc_inv(shape, xx, -1.0, p, q, ierr);
    double lnxx = 0.0;
    // Its exits where a start or an iterate underflows: the root may still
    // lie within the doubles.
    // A failure or a root below the normal doubles, where the root's product
    // lies below them: the same (with a small shape the ratio there was
    // once 0, and the iteration gave up; now that it is not, the iteration
    // can end on a subnormal iterate with few bits, or fail).
    bool underflowed = ierr == -3 || ierr == -8;
    if (!underflowed && (ierr < 0 || xx < std::numeric_limits<double>::min())) {
      double c = 0.0, cc = 0.0;
      cumgam(std::numeric_limits<double>::min(), shape, c, cc);
      underflowed = p <= q ? c >= p : cc <= q;
    }
    if (underflowed) {
      gamma_product_root(shape, p, q, lnxx, status, bound);
      if (status != 0) return;
    } else if (ierr < 0) {
      status = 10;
      return;
    }
    status = 0;
    // The product from its log where the inverse ratio gave up: it may lie
    // below the normal doubles while the value sought does not.
    if (which == 2) {
      // A quantile that overflows (a rate far below it) is beyond the doubles.
      x = underflowed ? std::exp(lnxx - std::log(scale)) : xx / scale;
      beyond_doubles(x, false, status, bound);
    } else {
      // At x = 0 no rate gives a positive p (the answer lies beyond the
      // upper end), and p = 0 is met only as the rate falls to 0.
      scale = underflowed ? std::exp(lnxx - std::log(x)) : xx / x;
      beyond_doubles(scale, true, status, bound);
    }
    return;
  }

  const double xv = x, sv = scale;
  search(shape, 5.0, 0.0, kInf, p <= q, p, q, status, bound,
         [xv, sv](double t, double& c, double& cc) { gamma_at(xv, sv, t, c, cc); },
         gamma_ratio_ok);
}

// ------------------------------------------------------- noncentral chi-square
void cdfchn(int which, double& p, double& q, double& x, double& df, double& pnonc, int& status,
            double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.prob(p, true, -2);
  if (which != 2) v.nonnegative(x, -4);
  if (which != 3) v.positive(df, -5);
  if (which != 4) v.nonnegative(pnonc, -6, kMaxChnNonc);
  if (v.failed) return;

  const double xv = x, d = df, nc = pnonc;
  switch (which) {
    case 1:
      cumchn(x, df, pnonc, p, q);
      status = is_tail_pair(p, q) ? 0 : 10;
      break;
    case 2:
      search(x, 5.0, 0.0, kInf, true, p, 0.0, status, bound,
             [=](double t, double& c, double& cc) { cumchn(t, d, nc, c, cc); }, kAnyTails, 1);
      break;
    case 3:
      search(df, 5.0, 0.0, kInf, true, p, 0.0, status, bound,
             [=](double t, double& c, double& cc) { cumchn(xv, t, nc, c, cc); }, kAnyTails, -1);
      break;
    default:
      search(pnonc, 5.0, 0.0, kMaxChnNonc, true, p, 0.0, status, bound,
             [=](double t, double& c, double& cc) { cumchn(xv, d, t, c, cc); }, kAnyTails, -1);
      break;
  }
}

// ------------------------------------------------------------------- binomial
void cdfbin(int which, double& p, double& q, double& s, double& xn, double& pr, double& ompr,
            int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.tails(p, q, true, true);
  if (which != 3) v.positive(xn, -5);
  if (which != 2) {
    v.nonnegative(s, -4);
    if (which != 3 && s > xn) v.fail(-4, xn);
  }
  if (which != 4) {
    v.prob(pr, true, -6);
    v.prob(ompr, true, -7);
  }
  if (which != 1) v.pair(p, q, 3);
  if (which != 4) v.pair(pr, ompr, 4);
  if (v.failed) return;

  const bool lower = p <= q;
  const double sv = s, n = xn, r = pr, omr = ompr;
  if (which == 1) {
    cumbin(s, xn, pr, ompr, p, q);
    status = 0;
  } else if (which == 2) {
    // With fewer than 5 trials the usual start value 5 lies beyond the range
    // [0, xn]; it is moved to xn.
    search(s, 5.0, 0.0, xn, lower, p, q, status, bound,
           [=](double x, double& c, double& cc) { cumbin(x, n, r, omr, c, cc); }, kAnyTails, 1);
  } else if (which == 3) {
    search(xn, 5.0, 0.0, kInf, lower, p, q, status, bound,
           [=](double x, double& c, double& cc) { cumbin(sv, x, r, omr, c, cc); }, kAnyTails,
           -1);
  } else {
    search_prob(pr, ompr, p, q, status, bound,
                [=](double a, double b, double& c, double& cc) { cumbin(sv, n, a, b, c, cc); });
  }
}

// ----------------------------------------------------------------------- beta
void cdfbet(int which, double& p, double& q, double& x, double& y, double& a, double& b,
            int& status, double& bound) {
  Verdict v{status, bound};
  v.which(which, 4);
  if (which != 1) v.tails(p, q, true, true);
  if (which != 2) {
    v.prob(x, true, -4);
    v.prob(y, true, -5);
  }
  if (which != 3) v.positive(a, -6);
  if (which != 4) v.positive(b, -7);
  if (which != 1) v.pair(p, q, 3);
  if (which != 2) v.pair(x, y, 4);
  if (v.failed) return;

  const bool lower = p <= q;
  const double xv = x, yv = y, av = a, bv = b;
  switch (which) {
    case 1:
      cumbet(x, y, a, b, p, q);
      status = 0;
      break;
    case 2:
      search_prob(x, y, p, q, status, bound,
                  [=](double u, double w, double& c, double& cc) { cumbet(u, w, av, bv, c, cc); });
      break;
    case 3:
      search(a, 5.0, 0.0, kInf, lower, p, q, status, bound,
             [=](double t, double& c, double& cc) { cumbet(xv, yv, t, bv, c, cc); }, kAnyTails,
             -1);
      break;
    default:
      search(b, 5.0, 0.0, kInf, lower, p, q, status, bound,
             [=](double t, double& c, double& cc) { cumbet(xv, yv, av, t, c, cc); }, kAnyTails,
             1);
      break;
  }
}

}  // namespace distlib
