// Cumulative distribution functions: both tails at one point, each a thin
// reduction to the incomplete beta ratio, the incomplete gamma ratios or the
// normal distribution function; and the noncentral F and chi-square
// functions, Poisson mixtures of those.
#include <cmath>
#include <limits>

#include "random/distlib.hpp"
#include "random/rangen.hpp"

namespace distlib {

void cumbet(double x, double y, double a, double b, double& cum, double& ccum) {
  if (x <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (y <= 0.0) {
    cum = 1.0;
    ccum = 0.0;
    return;
  }
  int ierr;
  beta_ratio(a, b, x, y, cum, ccum, ierr);
}

double ln_gamma_1p(double a) { return a <= 1.25 ? gamma_ln1(a) : gamma_log(a + 1.0); }

namespace {

constexpr double kMinNormal = std::numeric_limits<double>::min();
constexpr double kMaxDouble = std::numeric_limits<double>::max();
// Both shapes of a beta ratio from here on: its normal limit (as in
// beta_ratio).
constexpr double kNormalShape = 1.0e40;
constexpr double kTwoPi = 6.283185307179586477;

// ln(a B(a, b)) = ln Gamma(1 + a) + ln Gamma(b) - ln Gamma(a + b), to a
// relative accuracy also for tiny a, where it is about -a (gamma + psi(b)):
// ln Gamma(1 + a) from its own expansion, and the quotient Gamma(b) /
// Gamma(a + b) stepped up to a b of at least 8, where it has an expansion of
// its own, by factors 1 + a / (b + k).  For a large against b those two
// would cancel: ln Gamma(b) + ln a + ln(Gamma(a) / Gamma(a + b)) instead.
double ln_a_beta(double a, double b) {
  if (a >= 8.0 && a > b) return gamma_log(b) + std::log(a) + algdiv(b, a);
  double lq = 0.0;
  for (; b < 8.0; b += 1.0) lq += std::log1p(a / b);
  lq += algdiv(a, b);
  return ln_gamma_1p(a) + lq;
}

// I_x(a, b) into w and 1 - I_x(a, b) into w1 for x below the smallest normal
// double, from ln x: the series x^a / (a B(a, b)) (1 + a (1 - b) x / (a + 1)
// + ...) is then its first two terms, and x itself would have lost its
// digits or underflowed.  With a tiny a the ratio is near 1, and its
// complement comes from the same logarithm rather than as 1 - w.
void beta_tiny_x(double a, double b, double lnx, double& w, double& w1) {
  const double lnw =
      a * lnx - ln_a_beta(a, b) + std::log1p(a / (a + 1.0) * ((1.0 - b) * std::exp(lnx)));
  w = std::exp(lnw);
  w1 = -std::expm1(lnw);
}

// ln of the shares u / (u + v) and v / (u + v), given lnr = ln(u / v): each
// to its own relative accuracy, however small.
void ln_shares(double lnr, double& lnu, double& lnv) {
  if (lnr < 0.0) {
    lnv = -std::log1p(std::exp(lnr));
    lnu = lnr + lnv;
  } else {
    lnu = -std::log1p(std::exp(-lnr));
    lnv = -lnr + lnu;
  }
}

// I_d(a, b) into w and 1 - I_d(a, b) into w1 at d = u / (u + v), given
// lnr = ln(u / v), for pairs whose smaller share is not a normal double as a
// quotient (or whose v overflowed): each share is formed from its own log.
void beta_at_share(double a, double b, double lnr, double& w, double& w1) {
  const bool d_small = lnr < 0.0;
  double lnu, lnv;
  ln_shares(lnr, lnu, lnv);
  const double lns = d_small ? lnu : lnv;
  int ierr;
  if (lns >= std::log(kMinNormal)) {
    const double sh = std::exp(lns);
    if (d_small) {
      beta_ratio(a, b, sh, 1.0 - sh, w, w1, ierr);
    } else {
      beta_ratio(a, b, 1.0 - sh, sh, w, w1, ierr);
    }
  } else if (d_small) {
    beta_tiny_x(a, b, lns, w, w1);
  } else {
    beta_tiny_x(b, a, lns, w1, w);
  }
}

bool finite_positive(double v) { return v > 0.0 && std::isfinite(v); }

}  // namespace

void cumt(double t, double df, double& cum, double& ccum) {
  if (finite_positive(df) && t != 0.0 && std::fabs(t) <= kMaxDouble) {
    // A df beyond the doubles' resolution: the normal limit, as the gamma
    // ratio at 1/2 of the point (df / 2) tt / (df + tt), formed without
    // overflow.
    const double point = std::fmin(0.5 * t * t / (1.0 + (t / df) * t), kMaxDouble);
    if (shape_beyond(0.5 * df, 0.5, point)) {
      double ix, omix;
      cumgam(point, 0.5, omix, ix);
      const double half = 0.5 * ix;
      cum = t < 0.0 ? half : omix + half;
      ccum = t < 0.0 ? omix + half : half;
      return;
    }
  }
  double tt = t * t;
  double dfptt = df + tt;
  double xx = df / dfptt;
  double yy = tt / dfptt;
  double ix, omix;
  if (!(std::fmin(xx, yy) >= kMinNormal) && finite_positive(df) && t != 0.0 && !std::isnan(t)) {
    // Far out (or very near 0) the quotients underflow, and t^2 may overflow:
    // taking either as 0 would put a jump into the tails that a search takes
    // for a root.
    beta_at_share(0.5 * df, 0.5, std::log(df) - 2.0 * std::log(std::fabs(t)), ix, omix);
  } else {
    cumbet(xx, yy, 0.5 * df, 0.5, ix, omix);
  }
  double half = 0.5 * ix;
  if (t <= 0.0) {
    cum = half;
    ccum = omix + half;
  } else {
    ccum = half;
    cum = omix + half;
  }
}

namespace {

// P(a, x) and Q(a, x) at a point x below the normal doubles, given as ln x.
// The ratio takes a x = 0 (underflowed) for its limit at x = 0, yet with a
// small shape x^a is not small: P is the first term x^a / Gamma(1 + a) of
// its series, Q taken from the same logarithm.
void gamma_below_normal(double a, double lnx, double& cum, double& ccum) {
  const double lnp = a * lnx - ln_gamma_1p(a);
  cum = std::exp(lnp);
  ccum = -std::expm1(lnp);
}

constexpr double kLn2 = 0.69314718055994530942;

}  // namespace

void cumgam(double x, double a, double& cum, double& ccum, double lo) {
  if (x <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (x < kMinNormal && a > 0.0) {
    gamma_below_normal(a, std::log(x), cum, ccum);
    return;
  }
  gamma_inc(a, x, cum, ccum, 0, lo);
}

void cumgam_ln(double lnx, double a, double& cum, double& ccum) {
  if (lnx < std::log(kMinNormal) && a > 0.0) {
    gamma_below_normal(a, lnx, cum, ccum);
    return;
  }
  if (lnx > std::log(std::numeric_limits<double>::max()) && a > 0.0 && !std::isnan(lnx)) {
    // A point beyond the doubles: it passes the shape by a factor e^0.01 or
    // more unless the shape is beyond them too, and the upper tail is then
    // below e^-(a (e^0.01 - 1.01)) ~ e^-(5e-5 a), with a near the largest
    // double.  Nearer the shape the ratio cannot be formed (error value).
    if (lnx - std::log(a) >= 0.01) {
      cum = 1.0;
      ccum = 0.0;
    } else {
      cum = 2.0;
    }
    return;
  }
  cumgam(std::exp(lnx), a, cum, ccum);
}

void cumchi(double x, double df, double& cum, double& ccum, double lo) {
  const double half = 0.5 * x;
  if (x > 0.0 && half < kMinNormal && df > 0.0) {
    // Halving a subnormal x rounds away its last bits: ln(x / 2) from x.
    gamma_below_normal(0.5 * df, std::log(x) - kLn2, cum, ccum);
    return;
  }
  cumgam(half, 0.5 * df, cum, ccum, lo);
}

// P(X <= s) = Q(s + 1, xlam), taken from the gamma ratio itself: doubling
// both, as the chi-square form would, overflows for a xlam above 9e307.
void cumpoi(double s, double xlam, double& cum, double& ccum) {
  const double a = s + 1.0;
  // s + 1 rounds from s = 2^53 on; what it lost, exactly
  cumgam(xlam, a, ccum, cum, std::fabs(s) < 9.0e15 ? 0.0 : (s - a) + 1.0);
}

void cumnbn(double s, double xn, double pr, double ompr, double& cum, double& ccum) {
  if (xn == 0.0) {
    // no success is needed: no failure comes first, whatever pr (pr = 0
    // would otherwise take the beta ratio's limit at x = 0, a tail of 0)
    cum = 1.0;
    ccum = 0.0;
    return;
  }
  cumbet(pr, ompr, xn, s + 1.0, cum, ccum);
}

namespace {

// The beta argument pair of an F value: d = dfd / (dfd + dfn f) and its
// complement n.  The member that is at most 0.5 is the one divided out.
void f_pair(double f, double dfn, double dfd, double& d, double& n) {
  const double prod = dfn * f;
  const double dsum = dfd + prod;
  d = dfd / dsum;
  if (d > 0.5) {
    n = prod / dsum;
    d = 1.0 - n;
  } else {
    n = 1.0 - d;
  }
}

// I_d(a, b) into w and its complement into w1 at the share d of an F value,
// given as the pair (d, n) of f_pair.
void beta_f_share(double a, double b, double f, double dfn, double dfd, double d, double n,
                  double& w, double& w1) {
  if (!(std::fmin(d, n) >= kMinNormal) && finite_positive(dfn) && finite_positive(dfd) &&
      !std::isnan(f)) {
    // As in cumt: a share of the pair underflows, or dfn f overflows.
    beta_at_share(a, b, std::log(dfd) - std::log(dfn) - std::log(f), w, w1);
    return;
  }
  // With both shapes large the expansions turn on a - (a + b) d, which the
  // rounded shares would move by eps sqrt(min(a, b)) standard deviations:
  // from f itself, a (B f - b) / (a + B f) with B = dfn / 2.
  const double hb = 0.5 * dfn, den = a + hb * f;
  const double lambda = std::fmin(a, b) > 1.0e15 && den <= kMaxDouble
                            ? a * (std::fma(hb, f, -b) / den)
                            : std::numeric_limits<double>::quiet_NaN();
  int ierr;
  beta_ratio(a, b, d, n, w, w1, ierr, lambda);
}

// One degrees of freedom beyond the doubles' resolution against the other:
// the chi-square limits, at gamma points formed without overflow (dfn f or
// dfd + dfn f would overflow, and the shares lose their digits).
bool f_limit(double f, double dfn, double dfd, double& cum, double& ccum) {
  if (!(f > 0.0 && f <= kMaxDouble && finite_positive(dfn) && finite_positive(dfd))) return false;
  const double lower = std::fmin(0.5 * dfn * f / (1.0 + (dfn / dfd) * f), kMaxDouble);
  if (shape_beyond(0.5 * dfd, 0.5 * dfn, lower)) {
    cumgam(lower, 0.5 * dfn, cum, ccum);
    return true;
  }
  const double upper = std::fmin(0.5 * dfd / (f + dfd / dfn), kMaxDouble);
  if (shape_beyond(0.5 * dfn, 0.5 * dfd, upper)) {
    cumgam(upper, 0.5 * dfd, ccum, cum);
    return true;
  }
  if (std::fmin(dfn, dfd) >= 2.0 * kNormalShape) {
    // Both beyond: the normal limit of the beta ratio, at
    // z = (f - 1) sqrt(A B (A + B)) / (A + B f) for the halves A, B, formed
    // from f - 1 (the shares' rounding would move z by eps sqrt(A)), on
    // shapes scaled by 2^-600 so that nothing overflows.
    const double s = std::ldexp(1.0, -600);
    const double a = 0.5 * dfd * s, b = 0.5 * dfn * s;
    const double den = a + b * f;
    if (!(den <= kMaxDouble)) {
      cum = 1.0;
      ccum = 0.0;
      return true;
    }
    const double z = (f - 1.0) * std::sqrt(b / den) * std::sqrt(a / den) * std::sqrt(a + b) *
                     std::ldexp(1.0, 300);
    cumnor(z, cum, ccum);
    return true;
  }
  return false;
}

}  // namespace

void cumf(double f, double dfn, double dfd, double& cum, double& ccum) {
  if (f <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (f_limit(f, dfn, dfd, cum, ccum)) return;
  double xx, yy;
  f_pair(f, dfn, dfd, xx, yy);
  beta_f_share(0.5 * dfd, 0.5 * dfn, f, dfn, dfd, xx, yy, ccum, cum);
}

void cumbin(double s, double xn, double pr, double ompr, double& cum, double& ccum) {
  if (!(s < xn)) {
    cum = 1.0;
    ccum = 0.0;
    return;
  }
  cumbet(pr, ompr, s + 1.0, xn - s, ccum, cum);
}

// The generator library's normal distribution function has the same cut-offs
// (2^-53 for the square, 2^-1022 for the clamps) and serves both libraries.
void cumnor(double arg, double& result, double& ccum) { rangen::cumnor(arg, result, ccum); }

namespace {

// Mixture terms stop once they are negligible against the sum; eps is a
// single-precision constant.  There is no absolute floor for a small sum: a
// tail far below any such floor still needs its terms, and a zero sum stops
// only on a zero term (whose recurrence carries nothing further).
bool negligible(double term, double sum, float eps) { return term <= double(eps) * sum; }

// Caps of the mixture sums; convergent cases stop after a few hundred terms.
constexpr int kMaxMixtureTerms = 1000000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Each mixture is summed for the lower tail, and again for the upper tail
// from the central term's upper ratio when the lower one passes 1/2: the
// smaller tail then comes from its own terms, to the relative accuracy of the
// series, rather than as the difference of nearly equal numbers.  Both sums
// run the same recurrences; sgn is +1 for the lower tail and -1 for the
// upper, whose ratios move the other way as the shape steps.
template <class Upper>
void smaller_tail_first(double lower, double& cum, double& ccum, Upper upper) {
  cum = lower;
  if (cum > 0.5) {
    ccum = upper();
    cum = 1.0 - ccum;
  } else {
    ccum = 1.0 - cum;
  }
}

// A tail's term at the Poisson mode can lie below the doubles while the
// tail itself does not (a lower tail near 0 with a large noncentrality); its
// recurrences would then carry nothing but zeros.  The sum then starts at
// the nearest term, in the direction in which the terms grow, that is a
// normal double again with margin.  The term is judged by the weight times
// the ratio's leading power term t, whose log is stepped by
// ln t(k -+ 1) = ln t(k) + step(k).  A lower tail at a point near 0 may
// need term 0 itself (its shape the least, its ratio the largest), which
// the backward sum from any later term would reach only through factors
// that underflow.  A tail whose terms all lie below the floor (a tail
// below about 1e-290, yet possibly above the smallest normal double) is
// summed from its largest term with the weights scaled up by e^scale, and
// scaled back at the end.
constexpr double kLnSeedFloor = -667.0;  // about 1e-290

// A ratio carried from term to term of a mixture by its recurrence, each
// step adding or taking away one term.  Taking away nearly all there is
// loses as many digits as the ratio falls (the lower ratio stepped to larger
// shapes at a point in its far lower tail falls by a constant factor every
// step, and its errors grow by the inverse); once the losses since the last
// direct value pass kMaxLoss, the ratio is computed afresh at its shape.
constexpr double kMaxLoss = 1.0e3;

struct Carried {
  double value;
  double lost = 1.0;

  template <class Direct>
  void step(double delta, double shape, Direct direct) {
    const double next = value + delta;
    if (delta < 0.0) {
      lost = next > 0.0 ? lost * (value / next) : 2.0 * kMaxLoss;
      if (!(lost <= kMaxLoss)) {
        value = direct(shape);
        lost = 1.0;
        return;
      }
    }
    value = next;
  }
};

// ln of the Poisson weight of term k.
double ln_poisson_weight(double xnonc, double k) {
  return -xnonc + k * std::log(xnonc) - gamma_log(k + 1.0);
}

// The term to start a tail's sum from, and the scale of its weights.
struct Start {
  double k;
  double scale;
};

template <class Step>
Start start_term(double k, double lnt, double dir, double xnonc, Step step) {
  if (!std::isfinite(lnt)) return {k, 0.0};
  double lnw = ln_poisson_weight(xnonc, k);
  // The walk goes on while the terms grow and lie below the floor; the cap
  // stops it where they grow too slowly to tell (noncentralities far beyond
  // the searches' range of 1e4).
  for (int steps = 0; lnt + lnw < kLnSeedFloor && steps < 100000 && !(dir < 0.0 && k <= 0.0);
       ++steps) {
    const double dt = step(k);
    const double dw = dir < 0.0 ? std::log(k / xnonc) : std::log(xnonc / (k + 1.0));
    if (!(dt + dw > 0.0)) break;
    lnt += dt;
    lnw += dw;
    k += dir;
  }
  // A largest term below the floor is lifted to it; a ratio below the
  // normal doubles is not (its tail underflows).
  const double scale = std::fmin(kLnSeedFloor - (lnt + lnw), -lnw);
  return {k, std::isfinite(lnt) && scale > 0.0 ? scale : 0.0};
}

// A tail summed with its weights scaled by e^scale, scaled back.
double unscaled(double sum, double scale) {
  return scale > 0.0 ? std::exp(std::log(sum) - scale) : sum;
}

// With scaled weights the weights grow on towards the Poisson mode, beyond
// the doubles, while the ratio falls below them and loses its digits: a
// ratio that is no longer a normal double ends the sum once the spacing of
// the subnormal doubles, times the weight, is no longer negligible against
// the sum (before that such terms still count: a tail near 1e-307 has
// percents in them).
bool scaled_ratio_gone(double scale, double weight, double ratio, double sum) {
  return scale > 0.0 && ratio < kMinNormal &&
         !(weight * std::numeric_limits<double>::denorm_min() <= 1.0e-7 * sum);
}

// Above this noncentrality the chi-square mixture's terms near the mode are
// each far below 1e-5 of the sum (the weights spread over sqrt(noncentrality)
// terms), so a stop on a small term ends it early.  There each direction
// stops once the Poisson weight left, times a bound of the ratios left, is
// below 1e-17 of the sum.  Below it the sums are as they were measured.
constexpr double kWideNonc = 1.0e4;
// A cap far above what the sums need at the largest noncentrality the
// drivers take (some 40 standard deviations of the weights, 3e5 terms at 1e8).
constexpr int kMaxWideTerms = 50000000;

// The weight left beyond a term of weight wt, where each further weight is
// at most r times the one before (a geometric bound, for r < 1), times the
// bound of the ratios left, is below 1e-17 of the sum.  A weight below the
// normal doubles has lost its bits (times a factor near 1 it stays on the
// same subnormal double, for millions of terms), and lies some 37 standard
// deviations out, where what is left is below the normal doubles too.
bool weight_left_small(double wt, double r, double ratio_bound, double sum) {
  return r < 1.0 && (wt < kMinNormal || wt * (r / (1.0 - r)) * ratio_bound <= 1.0e-17 * sum);
}

}  // namespace

void cumfnc(double f, double dfn, double dfd, double pnonc, double& cum, double& ccum) {
  if (f <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (pnonc < 1.0e-10) {
    cumf(f, dfn, dfd, cum, ccum);
    return;
  }
  // Degrees of freedom beyond the doubles' resolution.  A dfn from 1e50 on
  // moves the numerator's mean by pnonc / dfn, below 1e-20 of its sd (the
  // noncentralities stop at 1e4): the central F.  A dfd beyond against the
  // rest: the noncentral chi-square at dfn f, or at a point so far out
  // that its upper tail is below the doubles.
  if (dfn >= 1.0e50) {
    cumf(f, dfn, dfd, cum, ccum);
    return;
  }
  const double shape = 0.5 * (dfn + pnonc);
  const double point = 0.5 * dfn * f / (1.0 + (dfn / dfd) * f);
  if (shape_beyond(0.5 * dfd, shape, point)) {
    cumchn(2.0 * std::fmin(point, 2.0 * shape + 2000.0), dfn, pnonc, cum, ccum);
    return;
  }
  const double xnonc = pnonc / 2.0;
  // Kept as a real: the count of a huge noncentrality does not fit an int.
  double icent = std::trunc(xnonc);
  if (icent == 0.0) icent = 1.0;

  double xx, yy;
  f_pair(f, dfn, dfd, yy, xx);
  const double b = dfd / 2.0;
  // The logs of the shares from their ratio: with a huge dfd the larger
  // share is 1 to the doubles, yet b times its log is not 0.
  double lnx, lny;
  ln_shares(std::log(dfn) + std::log(f) - std::log(dfd), lnx, lny);
  // ln of the step between the ratios at shapes a and a + 1,
  // I_x(a, b) - I_x(a + 1, b) = x^a y^b / (a B(a, b)), without the
  // cancellation of ln Gamma(a + b) against ln Gamma(b) for a huge b.
  auto ln_step = [&](double a) { return a * lnx + b * lny - ln_a_beta(a, b); };
  // A share below the normal doubles has lost its bits (or is 0 where dfn f
  // underflowed), and the recurrences divide by it: each step from its log.
  const bool subnormal = !(xx >= kMinNormal);
  struct Seed {
    double k, scale, wt, a, bet, bet1, term;
  };
  auto seed = [&](Start at) {
    const double k = at.k;
    Seed s{k, at.scale, std::exp(ln_poisson_weight(xnonc, k) + at.scale), dfn / 2.0 + k, 0.0, 0.0,
           0.0};
    beta_f_share(b, s.a, f, dfn, dfd, yy, xx, s.bet1, s.bet);
    s.term = std::exp(ln_step(s.a));
    return s;
  };

  auto tail = [&](const Seed& s, double sgn) {
    const double betc = sgn > 0.0 ? s.bet : s.bet1;
    // The chosen tail's ratio at shape a, computed directly.
    auto direct = [&](double a) {
      double w, w1;
      beta_f_share(b, a, f, dfn, dfd, yy, xx, w1, w);
      return sgn > 0.0 ? w : w1;
    };
    double sum = s.wt * betc;
    // Backward from the starting Poisson term.
    double xmult = s.wt;
    double i = s.k;
    double adn = s.a;
    Carried betdn{betc};
    double dnterm = s.term;
    int terms = 0;
    while (!negligible(xmult * betdn.value, sum, 1.0e-4f) && i > 0.0) {
      if (++terms > kMaxMixtureTerms || std::isnan(sum)) return kNaN;
      xmult = xmult * (i / xnonc);
      i -= 1.0;
      adn -= 1.0;
      dnterm = subnormal ? std::exp(ln_step(adn)) : (adn + 1.0) / ((adn + b) * xx) * dnterm;
      betdn.step(sgn * dnterm, adn, direct);
      if (scaled_ratio_gone(s.scale, xmult, betdn.value, sum)) break;
      sum += xmult * betdn.value;
    }
    // Forward.
    xmult = s.wt;
    i = s.k + 1.0;
    double aup = s.a;
    Carried betup{betc};
    double upterm = s.term;
    terms = 0;
    do {
      if (++terms > kMaxMixtureTerms || std::isnan(sum)) return kNaN;
      xmult = xmult * (xnonc / i);
      i += 1.0;
      betup.step(-sgn * upterm, aup + 1.0, direct);
      aup += 1.0;
      upterm = subnormal ? std::exp(ln_step(aup)) : (aup - 1.0 + b) * xx / aup * upterm;
      if (scaled_ratio_gone(s.scale, xmult, betup.value, sum)) break;
      sum += xmult * betup.value;
    } while (!negligible(xmult * betup.value, sum, 1.0e-4f));
    return unscaled(sum, s.scale);
  };
  const Seed mode = seed({icent, 0.0});
  const double a0 = dfn / 2.0;
  auto from = [&](double dir, double lnt, double ratio) {
    if (mode.wt * ratio >= std::exp(kLnSeedFloor)) return mode;
    const Start at = start_term(icent, lnt, dir, xnonc, [&](double k) {
      const double a = a0 + k;
      const double down = std::log(a) - std::log(a - 1.0 + b) - lnx;
      return dir < 0.0 ? down : -down;
    });
    return at.k == icent && at.scale == 0.0 ? mode : seed(at);
  };
  // The upper ratio's leading term is the step below the shape.
  smaller_tail_first(tail(from(-1.0, ln_step(mode.a), mode.bet), 1.0), cum, ccum,
                     [&] { return tail(from(1.0, ln_step(mode.a - 1.0), mode.bet1), -1.0); });
}

void cumchn(double x, double df, double pnonc, double& cum, double& ccum) {
  if (x <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (pnonc <= 1.0e-10) {
    cumchi(x, df, cum, ccum);
    return;
  }
  const double xnonc = pnonc / 2.0;
  double icent = std::trunc(xnonc);
  if (icent == 0.0) icent = 1.0;
  const bool wide = pnonc > kWideNonc;
  const int max_terms = wide ? kMaxWideTerms : kMaxMixtureTerms;
  const double chid2 = x / 2.0;
  // Below the normal doubles chid2 has lost bits (and quotients by it
  // overflow): its log from x, and the density term from that log.
  const bool subnormal = chid2 < kMinNormal;
  const double lnc = subnormal ? std::log(x) - kLn2 : std::log(chid2);
  // ln of the density term chid2^d e^-chid2 / Gamma(d + 1) at half the
  // degrees of freedom d; for a large d its terms nearly cancel, and it is
  // taken from Stirling's form, -d rlog(chid2 / d) - ln(2 pi d) / 2 minus
  // the remainder of ln Gamma(d).
  auto ln_aj = [&](double d) {
    if (d > 6.0 && !subnormal) {
      return -d * rlog(chid2 / d) - 0.5 * std::log(kTwoPi * d) - dstrem(d);
    }
    return d * lnc - chid2 - gamma_log(1.0 + d);
  };
  struct Seed {
    double k, scale, wt, p, q, aj;
  };
  // The Poisson weight is the density term at k of mean xnonc: for a huge
  // noncentrality in Stirling's form, since -xnonc + k ln xnonc cancels to
  // an error of xnonc eps in the log (3e-3 of the weight at 1e12).
  auto ln_weight = [&](double k) {
    if (wide && k > 6.0) return -k * rlog(xnonc / k) - 0.5 * std::log(kTwoPi * k) - dstrem(k);
    return ln_poisson_weight(xnonc, k);
  };
  // Half the degrees of freedom of term k, df / 2 + k, is rounded where df
  // is far above k (from 1e16 on k is lost in part, at 1e22 a k of 4e5
  // wholly), yet the central tails turn on the shape's distance from x / 2
  // at the scale sqrt(df): the ratio is given what the rounding took away.
  auto central = [&](double k, double& p, double& q) {
    const double h = 0.5 * df, d = h + k, back = d - h;
    cumchi(x, 2.0 * d, p, q, (h - (d - back)) + (k - back));
  };
  auto seed = [&](Start at) {
    const double k = at.k;
    Seed s{k, at.scale, std::exp(ln_weight(k) + at.scale), 0.0, 0.0, 0.0};
    central(k, s.p, s.q);
    s.aj = std::exp(ln_aj((df + 2.0 * k) / 2.0));
    return s;
  };

  auto tail = [&](const Seed& s, double sgn) {
    const double tcent = sgn > 0.0 ? s.p : s.q;
    // The chosen tail's ratio of term k, directly.
    auto direct = [&](double k) {
      double p, q;
      central(k, p, q);
      return sgn > 0.0 ? p : q;
    };
    double sum = s.wt * tcent;
    // Backward: each step lowers the degrees of freedom by 2.
    Carried ratio{tcent};
    double adj = s.aj;
    double wt = s.wt;
    double i = s.k;
    int count = 0;
    double term;
    // No fixed count of terms: far out the largest term can lie thousands
    // of terms from the Poisson mode.  Term 0 has none before it.
    while (i > 0.0) {
      if (++count > max_terms || std::isnan(sum)) return kNaN;
      const double d = (df + 2.0 * (i - 1.0)) / 2.0;
      adj = subnormal ? std::exp(ln_aj(d)) : adj * ((df + 2.0 * i) / 2.0) / chid2;
      wt = wt * (i / xnonc);
      ratio.step(sgn * adj, i - 1.0, direct);
      if (scaled_ratio_gone(s.scale, wt, ratio.value, sum)) break;
      term = wt * ratio.value;
      sum += term;
      i -= 1.0;
      if (wide ? weight_left_small(wt, i / xnonc, sgn < 0.0 ? ratio.value : 1.0, sum)
               : negligible(term, sum, 1.0e-5f)) {
        break;
      }
    }
    // Forward.
    ratio = Carried{tcent};
    adj = s.aj;
    wt = s.wt;
    i = s.k;
    count = 0;
    do {
      if (++count > max_terms || std::isnan(sum)) return kNaN;
      wt = wt * (xnonc / (i + 1.0));
      ratio.step(-sgn * adj, i + 1.0, direct);
      if (scaled_ratio_gone(s.scale, wt, ratio.value, sum)) break;
      term = wt * ratio.value;
      sum += term;
      i += 1.0;
      adj = adj * chid2 / ((df + 2.0 * i) / 2.0);
    } while (wide ? !weight_left_small(wt, xnonc / (i + 1.0), sgn > 0.0 ? ratio.value : 1.0, sum)
                  : !negligible(term, sum, 1.0e-5f));
    return unscaled(sum, s.scale);
  };
  const Seed mode = seed({icent, 0.0});
  // The gamma ratio's error value (2) in the central term leaves the lower
  // sum as it comes.
  if (mode.p > 1.5) {
    cum = tail(mode, 1.0);
    ccum = 1.0 - cum;
    return;
  }
  // The upper ratio's leading term is the density term times d / chid2.
  const double d0 = df / 2.0 + icent;
  auto from = [&](double dir, double lnt, double ratio) {
    if (mode.wt * ratio >= std::exp(kLnSeedFloor)) return mode;
    const Start at = start_term(icent, lnt, dir, xnonc, [&](double k) {
      // as a difference of logs: the quotient overflows for a chid2 below
      // the normal doubles
      const double down = std::log(df / 2.0 + k) - lnc;
      return dir < 0.0 ? down : -down;
    });
    return at.k == icent && at.scale == 0.0 ? mode : seed(at);
  };
  smaller_tail_first(tail(from(-1.0, ln_aj(d0), mode.p), 1.0), cum, ccum, [&] {
    return tail(from(1.0, ln_aj(d0) + std::log(d0) - lnc, mode.q), -1.0);
  });
}

}  // namespace distlib
