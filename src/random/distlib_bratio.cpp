// Incomplete beta function ratio I_x(a, b) and its complement, with the
// series, recurrence, continued fraction and asymptotic expansions that each
// region of (a, b, x) is evaluated by.
//
// Every open-ended series and fraction here gives up after kMaxTerms terms,
// and a value that is not a number ends it at once; either way the piece
// returns NaN, which beta_ratio turns into its error code 8.
#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <utility>

#include "random/distlib.hpp"

namespace distlib {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Convergent cases need a few thousand terms at most (apser and the power
// series near their region borders); a cap far beyond that only catches
// arguments with which a loop would never end.
constexpr int kMaxTerms = 1000000;

// Both shapes from 1e40 on: the ratio is the normal distribution function
// to far below 1e-16 of each tail (skewness 2 / sqrt(shape)), where the
// expansions' lambda = (a + b) y - b would have lost every digit (and a + b
// may overflow).  z = (x b - y a) / sqrt(a b / (a + b)), the numerator from
// the smaller of the pair, the other its complement, by exact products and
// compensated sums (on halved shapes, which cannot overflow).
constexpr double kNormalShape = 1.0e40;

void two_sum(double u, double v, double& s, double& e) {
  s = u + v;
  const double bv = s - u;
  e = (u - (s - bv)) + (v - bv);
}

// The sum of the terms, compensated: each addition's rounding error is kept
// and added at the end.
double exact_sum(std::initializer_list<double> terms) {
  double s = 0.0, c = 0.0;
  for (double t : terms) {
    double sum, e;
    two_sum(s, t, sum, e);
    s = sum;
    c += e;
  }
  return s + c;
}

void beta_normal_limit(double a, double b, double x, double y, double& w, double& w1) {
  const double ah = 0.5 * a, bh = 0.5 * b;
  double d;  // (x b - y a) / 2
  if (x <= y) {
    const double p1 = x * bh, p2 = x * ah;
    d = exact_sum({p1, p2, -ah, std::fma(x, bh, -p1), std::fma(x, ah, -p2)});
  } else {
    const double p1 = y * bh, p2 = y * ah;
    d = -exact_sum({p1, p2, -bh, std::fma(y, bh, -p1), std::fma(y, ah, -p2)});
  }
  const double z = d * std::sqrt(2.0) * std::sqrt((ah + bh) / ah) / std::sqrt(bh);
  cumnor(z, w, w1);
}

// Above this both shapes, a - (a + b) x rounded moves the expansions' z by
// about eps sqrt(min(a, b)) (at 1e32 a tail of 0.25 came out 0.014): it is
// formed exactly.
constexpr double kExactLambda = 1.0e15;

// (u + v) t - v, with t exact, to the rounding of the result.
double exact_lambda(double v, double u, double t) {
  double s, e;
  two_sum(u, v, s, e);
  const double p = s * t;
  return exact_sum({p, std::fma(s, t, -p), e * t, -v});
}

}  // namespace

bool shape_beyond(double big, double a, double point) {
  const double m = a + std::fmin(point, 2.0 * a + 2000.0) + 1.0;
  return big >= 1.0e20 * m * m;
}

double fpser(double a, double b, double x, double eps) {
  double f = 1.0;
  if (a > 1.0e-3 * eps) {
    double t = a * std::log(x);
    if (t < exparg(1)) return 0.0;
    f = std::exp(t);
  }
  // 1/B(a, b) is taken as b.
  f = (b / a) * f;
  double tol = eps / a;
  double an = a + 1.0;
  double t = x;
  double s = t / an;
  double c;
  int terms = 0;
  do {
    if (++terms > kMaxTerms) return kNaN;
    an += 1.0;
    t = x * t;
    c = t / an;
    s += c;
  } while (std::fabs(c) > tol);
  return f * (1.0 + a * s);
}

double apser(double a, double b, double x, double eps) {
  constexpr double g = 0.577215664901533;
  double bx = b * x;
  double t = x - bx;
  double c;
  if (b * eps <= 0.02) {
    c = std::log(x) + psi(b) + g + t;
  } else {
    c = std::log(bx) + g + t;
  }
  double tol = 5.0 * eps * std::fabs(c);
  double j = 1.0;
  double s = 0.0;
  double aj;
  int terms = 0;
  do {
    if (++terms > kMaxTerms) return kNaN;
    j += 1.0;
    t = t * (x - bx / j);
    aj = t / j;
    s += aj;
  } while (std::fabs(aj) > tol);
  return -a * (c + s);
}

double beta_pser(double a, double b, double x, double eps) {
  if (x == 0.0) return 0.0;
  double a0 = std::fmin(a, b);
  double b0 = std::fmax(a, b);
  double f;
  if (a0 >= 1.0) {
    f = std::exp(a * std::log(x) - beta_log(a, b)) / a;
  } else if (b0 >= 8.0) {
    double u = gamma_ln1(a0) + algdiv(a0, b0);
    f = (a0 / a) * std::exp(a * std::log(x) - u);
  } else if (b0 > 1.0) {
    double u = beta_step_down(a0, b0, gamma_ln1(a0));
    double z = a * std::log(x) - u;
    b0 -= 1.0;
    double t = gam1_sum(a0, b0);
    f = std::exp(z) * (a0 / a) * (1.0 + gam1(b0)) / t;
  } else {
    f = std::pow(x, a);
    if (f == 0.0) return 0.0;
    double c = (1.0 + gam1(a)) * (1.0 + gam1(b)) / gam1_sum(a, b);
    f = f * c * (b / (a + b));
  }
  if (f == 0.0 || a <= 0.1 * eps) return f;
  double sum = 0.0;
  double n = 0.0;
  double c = 1.0;
  double tol = eps / a;
  double v;
  int terms = 0;
  do {
    if (++terms > kMaxTerms) return kNaN;
    n += 1.0;
    c = c * (1.0 - b / n) * x;
    v = c / (a + n);
    sum += v;
  } while (std::fabs(v) > tol);
  return f * (1.0 + a * sum);
}

// Below this a leading factor of beta_up has lost digits to underflow.
constexpr double kScaleBelow = 1.0e-290;

double beta_up(double a, double b, double x, double y, int n, double eps) {
  double apb = a + b;
  double ap1 = a + 1.0;
  int mu = 0;
  double d = 1.0;
  if (n != 1 && a >= 1.0 && apb >= 1.1 * ap1) {
    mu = std::min(int(std::fabs(exparg(1))), int(exparg(0)));
    d = std::exp(double(-mu));
  }
  double r = beta_rcomp1(mu, a, b, x, y) / a;
  // With a < 1 the terms can still grow a long way (b large, x not small):
  // a leading factor that has underflowed is then scaled as above, lest the
  // whole sum be lost with it.  Only then: a scaled factor that was not tiny
  // could overflow.
  if (mu == 0 && n != 1 && apb >= 1.1 * ap1 && r < kScaleBelow) {
    mu = std::min(int(std::fabs(exparg(1))), int(exparg(0)));
    d = std::exp(double(-mu));
    r = beta_rcomp1(mu, a, b, x, y) / a;
  }
  if (n == 1 || r == 0.0) return r;
  int nm1 = n - 1;
  double w = d;

  // Index of the largest term: terms up to it are all summed.
  int k = 0;
  if (b > 1.0) {
    if (y > 1.0e-4) {
      double rr = (b - 1.0) * x / y - a;
      if (rr >= 1.0) k = rr < nm1 ? int(rr) : nm1;
    } else {
      k = nm1;
    }
  }
  for (int i = 1; i <= k; ++i) {
    double l = i - 1;
    d = ((apb + l) / (ap1 + l)) * x * d;
    w += d;
  }
  for (int i = k + 1; i <= nm1; ++i) {
    double l = i - 1;
    d = ((apb + l) / (ap1 + l)) * x * d;
    w += d;
    if (d <= eps * w) break;
  }
  return r * w;
}

void beta_grat(double a, double b, double x, double y, double& w, double eps, int& ierr) {
  double c[31], d[31];  // 1-based, up to 30 terms
  double bm1 = (b - 0.5) - 0.5;
  double nu = a + 0.5 * bm1;
  double lnx = y > 0.375 ? std::log(x) : alnrel(-y);
  double z = -nu * lnx;
  if (!(b * z != 0.0)) {
    ierr = 1;
    return;
  }
  double r = b * (1.0 + gam1(b)) * std::exp(b * std::log(z)) * std::exp(a * lnx) *
             std::exp(0.5 * bm1 * lnx);
  double u = algdiv(b, a) + b * std::log(nu);
  u = r * std::exp(-u);
  if (!(u != 0.0)) {
    ierr = 1;
    return;
  }
  double p = 0.0, q = kNaN;
  gamma_rat1(b, z, r, p, q, eps);
  // The gamma ratio's error exit leaves q unset.
  if (p > 1.5 || std::isnan(q)) {
    ierr = 1;
    return;
  }
  double v = 0.25 * (1.0 / nu) * (1.0 / nu);
  double t2 = 0.25 * lnx * lnx;
  double l = w / u;
  double j = q / r;
  double sum = j;
  double t = 1.0;
  double cn = 1.0;
  double nn = 0.0;
  for (int n = 1; n <= 30; ++n) {
    double bp2n = b + nn;
    j = (bp2n * (bp2n + 1.0) * j + (z + bp2n + 1.0) * t) * v;
    nn += 2.0;
    t = t * t2;
    cn = cn / (nn * (nn + 1.0));
    c[n] = cn;
    double s = 0.0;
    double coef = b - n;
    for (int i = 1; i <= n - 1; ++i) {
      s += coef * c[i] * d[n - i];
      coef += b;
    }
    d[n] = bm1 * cn + s / n;
    double dj = d[n] * j;
    sum += dj;
    if (!(sum > 0.0)) {
      ierr = 1;
      return;
    }
    if (std::fabs(dj) <= eps * (sum + l)) break;
  }
  ierr = 0;
  w += u * sum;
}

double beta_frac(double a, double b, double x, double y, double lambda, double eps) {
  double r0 = beta_rcomp(a, b, x, y);
  if (r0 == 0.0) return 0.0;
  double c = 1.0 + lambda;
  double c0 = b / a;
  double c1 = 1.0 + 1.0 / a;
  double yp1 = y + 1.0;
  double n = 0.0;
  double p = 1.0;
  double s = a + 1.0;
  double an = 0.0, bn = 1.0, anp1 = 1.0, bnp1 = c / c1;
  double r = c1 / c;
  for (int terms = 1; terms <= kMaxTerms; ++terms) {
    n += 1.0;
    double t = n / a;
    double v = n * (b - n) * x;
    double e = a / s;
    double alpha = (p * (p + c0) * e * e) * (v * x);
    e = (1.0 + t) / (c1 + t + t);
    double beta = n + v / s + e * (c + n * yp1);
    p = 1.0 + t;
    s += 2.0;
    t = alpha * an + beta * anp1;
    an = anp1;
    anp1 = t;
    t = alpha * bn + beta * bnp1;
    bn = bnp1;
    bnp1 = t;
    double rprev = r;
    r = anp1 / bnp1;
    if (std::isnan(r)) return kNaN;
    if (std::fabs(r - rprev) <= eps * r) return r0 * r;
    an = an / bnp1;
    bn = bn / bnp1;
    anp1 = r;
    bnp1 = 1.0;
  }
  return kNaN;
}

double beta_asym(double a, double b, double lambda, double eps) {
  constexpr int num = 20;
  constexpr double e0 = 1.12837916709551;
  constexpr double e1 = 0.353553390593274;
  double a0[num + 2], b0[num + 2], c[num + 2], d[num + 2];  // 1-based
  double h, r0, r1, w0;
  if (a >= b) {
    h = b / a;
    r0 = 1.0 / (1.0 + h);
    r1 = (b - a) / a;
    w0 = 1.0 / std::sqrt(b * (1.0 + h));
  } else {
    h = a / b;
    r0 = 1.0 / (1.0 + h);
    r1 = (b - a) / b;
    w0 = 1.0 / std::sqrt(a * (1.0 + h));
  }
  double f = a * rlog1(-lambda / a) + b * rlog1(lambda / b);
  double t = std::exp(-f);
  if (t == 0.0) return 0.0;
  double z0 = std::sqrt(f);
  double z = 0.5 * (z0 / e1);
  double z2 = f + f;
  a0[1] = (2.0 / 3.0) * r1;
  c[1] = -0.5 * a0[1];
  d[1] = -c[1];
  double j0 = (0.5 / e0) * erfc1(1, z0);
  double j1 = e1;
  double sum = j0 + d[1] * w0 * j1;
  double s = 1.0;
  double h2 = h * h;
  double hn = 1.0;
  double wk = w0;
  double znm1 = z;
  double zn = z2;
  for (int n = 2; n <= num; n += 2) {
    hn = h2 * hn;
    a0[n] = 2.0 * r0 * (1.0 + h * hn) / (n + 2.0);
    s += hn;
    a0[n + 1] = 2.0 * r1 * s / (n + 3.0);
    for (int i = n; i <= n + 1; ++i) {
      double r = -0.5 * (i + 1.0);
      b0[1] = r * a0[1];
      for (int m = 2; m <= i; ++m) {
        double bsum = 0.0;
        for (int jj = 1; jj <= m - 1; ++jj) bsum += (jj * r - (m - jj)) * a0[jj] * b0[m - jj];
        b0[m] = r * a0[m] + bsum / m;
      }
      c[i] = b0[i] / (i + 1.0);
      double dsum = 0.0;
      for (int jj = 1; jj <= i - 1; ++jj) dsum += d[i - jj] * c[jj];
      d[i] = -(dsum + c[i]);
    }
    j0 = e1 * znm1 + (n - 1.0) * j0;
    j1 = e1 * zn + n * j1;
    znm1 = z2 * znm1;
    zn = z2 * zn;
    wk = w0 * wk;
    double t0 = d[n] * wk * j0;
    wk = w0 * wk;
    double t1 = d[n + 1] * wk * j1;
    sum += (t0 + t1);
    if (std::fabs(t0) + std::fabs(t1) <= eps * sum) break;
  }
  return e0 * t * std::exp(-bcorr(a, b)) * sum;
}

double beta(double a, double b) { return std::exp(beta_log(a, b)); }

void beta_ratio(double a, double b, double x, double y, double& w, double& w1, int& ierr,
                double lambda_in) {
  constexpr double eps = 1.0e-15;
  constexpr double pair_tol = 3.0 * 2.220446049250313e-16;
  w = 0.0;
  w1 = 0.0;
  // Written so that arguments that are not numbers fail the check of their own.
  if (!(a >= 0.0) || !(b >= 0.0)) {
    ierr = 1;
    return;
  }
  if (a == 0.0 && b == 0.0) {
    ierr = 2;
    return;
  }
  if (!(x >= 0.0) || x > 1.0) {
    ierr = 3;
    return;
  }
  if (!(y >= 0.0) || y > 1.0) {
    ierr = 4;
    return;
  }
  if (std::fabs(((x - 0.5) - 0.5) + y) > pair_tol) {
    ierr = 5;
    return;
  }
  if (x == 0.0 && a == 0.0) {
    ierr = 6;
    return;
  }
  if (y == 0.0 && b == 0.0) {
    ierr = 7;
    return;
  }
  ierr = 0;
  if (x == 0.0) {
    w1 = 1.0;
    return;
  }
  if (y == 0.0 || a == 0.0) {
    w = 1.0;
    return;
  }
  if (b == 0.0) {
    w1 = 1.0;
    return;
  }
  if (std::fmax(a, b) < 1.0e-3 * eps) {
    w = b / (a + b);
    w1 = a / (a + b);
    return;
  }

  // Shapes beyond the doubles' resolution: the limits.
  if (shape_beyond(b, a, b * x)) {
    cumgam(b * x, a, w, w1);
    return;
  }
  if (shape_beyond(a, b, a * y)) {
    cumgam(a * y, b, w1, w);
    return;
  }
  if (std::fmin(a, b) >= kNormalShape) {
    beta_normal_limit(a, b, x, y, w, w1);
    return;
  }

  double a0 = a, b0 = b, x0 = x, y0 = y;
  bool swapped = false;
  auto swap = [&]() {
    a0 = b;
    b0 = a;
    x0 = y;
    y0 = x;
    swapped = true;
  };
  enum class Method { F, A, P, Q, G20, G, U, C, E };
  Method m;
  double lambda = 0.0;
  if (std::fmin(a, b) <= 1.0) {
    if (x > 0.5) swap();
    if (b0 < std::fmin(eps, eps * a0)) {
      m = Method::F;
    } else if (a0 < std::fmin(eps, eps * b0) && b0 * x0 <= 1.0) {
      m = Method::A;
    } else if (std::fmax(a0, b0) <= 1.0) {
      if (a0 >= std::fmin(0.2, b0) || std::pow(x0, a0) <= 0.9) {
        m = Method::P;
      } else if (x0 >= 0.3) {
        m = Method::Q;
      } else {
        m = Method::G20;
      }
    } else if (b0 <= 1.0) {
      m = Method::P;
    } else if (x0 >= 0.3) {
      m = Method::Q;
    } else if (x0 < 0.1 && std::pow(x0 * b0, a0) <= 0.7) {
      m = Method::P;
    } else {
      m = b0 > 15.0 ? Method::G : Method::G20;
    }
  } else {
    if (!std::isnan(lambda_in)) {
      lambda = lambda_in;
    } else if (std::fmin(a, b) > kExactLambda) {
      lambda = a > b ? exact_lambda(b, a, y) : -exact_lambda(a, b, x);
    } else {
      lambda = a > b ? (a + b) * y - b : a - (a + b) * x;
    }
    if (lambda < 0.0) {
      swap();
      lambda = std::fabs(lambda);
    }
    if (b0 < 40.0) {
      m = b0 * x0 <= 0.7 ? Method::P : Method::U;
    } else {
      double mn = std::fmin(a0, b0);
      m = (mn <= 100.0 || lambda > 0.03 * mn) ? Method::C : Method::E;
    }
  }

  int grat_status = 0;  // not looked at: a failed expansion leaves its sum as it was
  switch (m) {
    case Method::F:
      w = fpser(a0, b0, x0, eps);
      w1 = 1.0 - w;
      break;
    case Method::A:
      w1 = apser(a0, b0, x0, eps);
      w = 1.0 - w1;
      break;
    case Method::P:
      w = beta_pser(a0, b0, x0, eps);
      w1 = 1.0 - w;
      break;
    case Method::Q:
      w1 = beta_pser(b0, a0, y0, eps);
      w = 1.0 - w1;
      break;
    case Method::G20:
    case Method::G:
      w1 = 0.0;
      if (m == Method::G20) {
        w1 = beta_up(b0, a0, y0, x0, 20, eps);
        b0 += 20.0;
      }
      beta_grat(b0, a0, y0, x0, w1, 15.0 * eps, grat_status);
      w = 1.0 - w1;
      break;
    case Method::U: {
      int n = int(b0);
      b0 -= n;
      if (b0 == 0.0) {
        n -= 1;
        b0 = 1.0;
      }
      w = beta_up(b0, a0, y0, x0, n, eps);
      if (x0 <= 0.7) {
        w += beta_pser(a0, b0, x0, eps);
      } else {
        if (a0 <= 15.0) {
          w += beta_up(a0, b0, x0, y0, 20, eps);
          a0 += 20.0;
        }
        beta_grat(a0, b0, x0, y0, w, 15.0 * eps, grat_status);
      }
      w1 = 1.0 - w;
      break;
    }
    case Method::C:
      w = beta_frac(a0, b0, x0, y0, lambda, 15.0 * eps);
      w1 = 1.0 - w;
      break;
    case Method::E:
      w = beta_asym(a0, b0, lambda, 100.0 * eps);
      w1 = 1.0 - w;
      break;
  }
  if (std::isnan(w) || std::isnan(w1)) {
    w = 0.0;
    w1 = 0.0;
    ierr = 8;
    return;
  }
  if (swapped) std::swap(w, w1);
}

}  // namespace distlib
