// Regularised incomplete gamma ratios P(a, x) and Q(a, x) = 1 - P(a, x):
// power series, continued fraction, finite sums, asymptotic series and
// Temme's uniform expansion, each in the region where it is accurate.
#include <cmath>

#include "random/distlib.hpp"
#include "random/distlib_coef.hpp"

namespace distlib {

namespace {

constexpr double ACC0[3] = {5.0e-15, 5.0e-7, 5.0e-4};
constexpr double BIG[3] = {20.0, 14.0, 10.0};
constexpr double E00[3] = {0.00025, 0.025, 0.14};
constexpr double X00[3] = {31.0, 17.0, 9.7};
constexpr double alog10 = 2.30258509299405;
constexpr double rt2pin = 0.398942280401433;
constexpr double rtpi = 1.77245385090552;
constexpr double third = 1.0 / 3.0;
constexpr double eps = 2.220446049250313e-16;
constexpr double kLnLeastSubnormal = 744.44007192138126;  // -ln(2^-1074)
// From this shape on, the expansion for large shapes takes the point's
// distance from the shape as a - x (exact near the mean) rather than from
// the rounded quotient x / a: the tails turn on that distance at the scale
// sqrt(a), and the quotient's rounding moves them by about sqrt(a) eps (2e-6
// at 1e20, tens of percents at 1e30).  Below it the loss is at most about
// 1e-12, and the tails keep the bits they always had.
constexpr double kExactShape = 1.0e8;

// Every series and continued fraction gives up (error exit) after this many
// terms; convergent cases need at most a few hundred.
constexpr int kMaxTerms = 100000;

// z times the polynomial with coefficients d[0] (z^0) .. d[n-1].
double zpoly(const double* d, int n, double z) {
  double s = d[n - 1];
  for (int i = n - 2; i >= 0; --i) s = s * z + d[i];
  return s * z;
}

// Temme's correction sum in powers of u = 1/a with n0..n6 terms of the
// C_k series in z (the full form 13, 12, 10, 8, 6, 4, 2; the short one
// 7, 6, 5, 4, 2, 2, 1).  The Dk tables are the exact Taylor coefficients of
// Temme's C_k(eta), derived in rational arithmetic by
// tools/distlib_coefficients.py.
double temme_sum(double z, double u, const int (&len)[7]) {
  using namespace coef;
  double c0 = zpoly(D0, len[0], z) - third;
  double c1 = zpoly(D1, len[1], z) + D10;
  double c2 = zpoly(D2, len[2], z) + D20;
  double c3 = zpoly(D3, len[3], z) + D30;
  double c4 = zpoly(D4, len[4], z) + D40;
  double c5 = zpoly(D5, len[5], z) + D50;
  double c6 = zpoly(D6, len[6], z) + D60;
  return ((((((D70 * u + c6) * u + c5) * u + c4) * u + c3) * u + c2) * u + c1) * u + c0;
}
constexpr int kFull[7] = {13, 12, 10, 8, 6, 4, 2};
constexpr int kShort[7] = {7, 6, 5, 4, 2, 2, 1};

// Series for P/x^a when x < 1.1 and a < 1, with the choice between the
// P form and the Q form.  False, with p and q untouched, when the series
// fails to converge.
bool small_x_series(double a, double x, double tol, double& p, double& q) {
  double an = 3.0;
  double c = x;
  double sum = x / (a + 3.0);
  double t;
  int terms = 0;
  do {
    if (++terms > kMaxTerms) return false;
    an += 1.0;
    c = -c * x / an;
    t = c / (a + an);
    sum += t;
  } while (std::fabs(t) > tol);
  double j = a * x * ((sum / 6.0 - 0.5 / (a + 2.0)) * x + 1.0 / (a + 1.0));
  double z = a * std::log(x);
  double h = gam1(a);
  double g = 1.0 + h;
  bool p_form = x >= 0.25 ? a >= x / 2.59 : z <= -0.13394;
  if (p_form) {
    p = std::exp(z) * g * (1.0 - j);
    q = 1.0 - p;
    return true;
  }
  double l = rexp(z);
  q = ((1.0 + l) * j - l) * g - h;
  if (q < 0.0) {
    p = 1.0;
    q = 0.0;
  } else {
    p = 1.0 - q;
  }
  return true;
}

// Continued fraction for Q/r.  False when it fails to converge.
bool continued_fraction(double a, double x, double tol, double& an0) {
  double a2nm1 = 1.0, a2n = 1.0;
  double b2nm1 = x, b2n = x + 1.0 - a;
  double c = 1.0;
  double am0;
  int terms = 0;
  do {
    if (++terms > kMaxTerms) return false;
    a2nm1 = x * a2n + c * a2nm1;
    b2nm1 = x * b2n + c * b2nm1;
    am0 = a2nm1 / b2nm1;
    c += 1.0;
    double cma = c - a;
    a2n = a2nm1 + cma * a2n;
    b2n = b2nm1 + cma * b2n;
    an0 = a2n / b2n;
  } while (!(std::fabs(an0 - am0) < tol * an0));
  return true;
}

void erf_half(double x, double& p, double& q) {
  if (x < 0.25) {
    p = std::erf(std::sqrt(x));
    q = 1.0 - p;
  } else {
    q = erfc1(0, std::sqrt(x));
    p = 1.0 - q;
  }
}

void set_limit(double a, double x, double& p, double& q) {
  if (x <= a) {
    p = 0.0;
    q = 1.0;
  } else {
    p = 1.0;
    q = 0.0;
  }
}

}  // namespace

void gamma_inc(double a, double x, double& ans, double& qans, int ind, double lo) {
  // Arguments that are not finite numbers take the error exit.
  if (!std::isfinite(a) || !std::isfinite(x)) {
    ans = 2.0;
    return;
  }
  if (a < 0.0 || x < 0.0 || (a == 0.0 && x == 0.0)) {
    ans = 2.0;
    return;
  }
  if (a * x == 0.0) {
    if (a > 0.0 && x > 0.0) {
      // The product underflowed (a tiny shape at a tiny point): P is the
      // first term x^a / Gamma(1 + a) of its series, near 1 for a tiny
      // shape, and Q is taken from the same logarithm.
      const double lnp = a * std::log(x) - ln_gamma_1p(a);
      ans = std::exp(lnp);
      qans = -std::expm1(lnp);
      return;
    }
    set_limit(a, x, ans, qans);
    return;
  }
  const int iop = ind == 0 ? 0 : (ind == 1 ? 1 : 2);
  const double acc = std::fmax(ACC0[iop], eps);
  const double e0 = E00[iop];
  const double x00 = X00[iop];
  double r;  // e^-x x^a / Gamma(a), for the series and continued fractions

  if (a < 1.0) {
    if (a == 0.5) {
      erf_half(x, ans, qans);
      return;
    }
    if (x < 1.1) {
      if (!small_x_series(a, x, 3.0 * acc / (a + 1.0), ans, qans)) ans = 2.0;
      return;
    }
    double u = a * std::exp(a * std::log(x) - x);
    if (u == 0.0) {
      ans = 1.0;
      qans = 0.0;
      return;
    }
    r = u * (1.0 + gam1(a));
    double an0;
    if (!continued_fraction(a, x, std::fmax(5.0 * eps, acc), an0)) {
      ans = 2.0;
      return;
    }
    qans = r * an0;
    ans = 1.0 - qans;
    return;
  }

  if (a < BIG[iop]) {
    if (a <= x && x < x00) {
      const double twoa = a + a;
      const int ii = int(twoa);
      if (double(ii) == twoa) {
        // Finite sums for whole and half-integer shapes.
        const int i = ii / 2;
        double sum, t, c;
        int n;
        if (ii % 2 == 0) {
          sum = std::exp(-x);
          t = sum;
          n = 1;
          c = 0.0;
        } else {
          double rtx = std::sqrt(x);
          sum = erfc1(0, rtx);
          t = std::exp(-x) / (rtpi * rtx);
          n = 0;
          c = -0.5;
        }
        while (n != i) {
          n += 1;
          c += 1.0;
          t = x * t / c;
          sum += t;
        }
        qans = sum;
        ans = 1.0 - qans;
        return;
      }
    }
    r = std::exp(a * std::log(x) - x) / gamma(a);
  } else {
    // Temme's uniform expansion for large shapes.
    double l = x / a;
    if (l == 0.0) {
      ans = 0.0;
      qans = 1.0;
      return;
    }
    const bool exact = a >= kExactShape;
    const double s = exact ? ((a - x) + lo) / a : 1.0 - l;
    double z = exact ? rlog1(-s) : rlog(l);
    const bool below = exact ? s > 0.0 : l < 1.0;  // x below the shape
    // The tail is about e^-(a z) times factors near 1: it is 0 to the doubles
    // only once a z passes -ln of the least subnormal double (a bound of 700
    // sent tails between 1e-308 and 1e-304 to 0).
    if (z >= kLnLeastSubnormal / a) {
      if (!exact && std::fabs(s) <= 2.0 * eps) {
        ans = 2.0;
        return;
      }
      set_limit(a, x, ans, qans);
      return;
    }
    double y = a * z;
    double rta = std::sqrt(a);
    if (std::fabs(s) <= 0.4) {
      double c, w, t;
      const double u = 1.0 / a;
      if (std::fabs(s) <= e0 / rta) {
        if (!exact && a * eps * eps > 3.28e-3) {
          ans = 2.0;
          return;
        }
        c = 1.0 - y;
        w = (0.5 - std::sqrt(y) * (1.0 - y / 3.0) / rtpi) / c;
        z = std::sqrt(2.0 * z);
        if (below) z = -z;
        if (iop == 0) {
          t = temme_sum(z, u, kShort);
        } else if (iop == 1) {
          t = (coef::D20 * u + coef::D1[0] * z + coef::D10) * u + (coef::D0[1] * z + coef::D0[0]) * z -
              third;
        } else {
          t = coef::D0[0] * z - third;
        }
      } else {
        if (!exact && std::fabs(s) <= 2.0 * eps && a * eps * eps > 3.28e-3) {
          ans = 2.0;
          return;
        }
        c = std::exp(-y);
        w = 0.5 * erfc1(1, std::sqrt(y));
        z = std::sqrt(2.0 * z);
        if (below) z = -z;
        if (iop == 0) {
          t = temme_sum(z, u, std::fabs(s) <= 1.0e-3 ? kShort : kFull);
        } else if (iop == 1) {
          double c0 = zpoly(coef::D0, 6, z) - third;
          double c1 = zpoly(coef::D1, 4, z) + coef::D10;
          double c2 = coef::D2[0] * z + coef::D20;
          t = (c2 * u + c1) * u + c0;
        } else {
          t = zpoly(coef::D0, 3, z) - third;
        }
      }
      if (below) {
        ans = c * (w - rt2pin * t / rta);
        qans = 1.0 - ans;
      } else {
        qans = c * (w + rt2pin * t / rta);
        ans = 1.0 - qans;
      }
      return;
    }
    double tau = 1.0 / (a * a);
    double t1 = (((0.75 * tau - 1.0) * tau + 3.5) * tau - 105.0) / (a * 1260.0);
    r = rt2pin * rta * std::exp(t1 - y);
  }

  // With the power term r.
  if (r == 0.0) {
    set_limit(a, x, ans, qans);
    return;
  }
  double wk[20];
  if (x <= std::fmax(a, alog10)) {
    // Series for P/r; the first terms are kept to be added smallest first.
    double apn = a + 1.0;
    double t = x / apn;
    wk[0] = t;
    int n;
    for (n = 2; n <= 20; ++n) {
      apn += 1.0;
      t = t * x / apn;
      if (t <= 1.0e-3) break;
      wk[n - 1] = t;
    }
    if (n > 20) n = 20;
    double sum = t;
    const double tol = 0.5 * acc;
    int terms = 0;
    do {
      if (++terms > kMaxTerms) {
        ans = 2.0;
        return;
      }
      apn += 1.0;
      t = t * x / apn;
      sum += t;
    } while (t > tol);
    for (int m = n - 1; m >= 1; --m) sum += wk[m - 1];
    ans = (r / a) * (1.0 + sum);
    qans = 1.0 - ans;
    return;
  }
  if (x < x00) {
    double an0;
    if (!continued_fraction(a, x, std::fmax(5.0 * eps, acc), an0)) {
      ans = 2.0;
      return;
    }
    qans = r * an0;
    ans = 1.0 - qans;
    return;
  }
  // Asymptotic series for Q.
  double amn = a - 1.0;
  double t = amn / x;
  wk[0] = t;
  int n;
  for (n = 2; n <= 20; ++n) {
    amn -= 1.0;
    t = t * amn / x;
    if (std::fabs(t) <= 1.0e-3) break;
    wk[n - 1] = t;
  }
  if (n > 20) n = 20;
  double sum = t;
  int terms = 0;
  while (std::fabs(t) > acc) {
    if (++terms > kMaxTerms) {
      ans = 2.0;
      return;
    }
    amn -= 1.0;
    t = t * amn / x;
    sum += t;
  }
  for (int m = n - 1; m >= 1; --m) sum += wk[m - 1];
  qans = (r / x) * (1.0 + sum);
  ans = 1.0 - qans;
}

void gamma_rat1(double a, double x, double r, double& p, double& q, double eps_in) {
  // Not-a-number arguments and a failed series take the sentinel p = 2.0.
  if (std::isnan(a) || std::isnan(x) || std::isnan(r) || std::isnan(eps_in)) {
    p = 2.0;
    return;
  }
  if (a * x == 0.0) {
    set_limit(a, x, p, q);
    return;
  }
  if (a == 0.5) {
    erf_half(x, p, q);
    return;
  }
  if (x < 1.1) {
    if (!small_x_series(a, x, 0.1 * eps_in / (a + 1.0), p, q)) p = 2.0;
    return;
  }
  double an0;
  if (!continued_fraction(a, x, eps_in, an0)) {
    p = 2.0;
    return;
  }
  q = r * an0;
  p = 1.0 - q;
}

}  // namespace distlib
