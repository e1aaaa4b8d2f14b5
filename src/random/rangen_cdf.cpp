// Normal distribution function, its inverse and the machine constants of the
// generator library (64-bit throughout).
#include <cmath>

#include "random/rangen.hpp"

namespace rangen {

namespace {

constexpr i32 IMACH[11] = {0, 2, 31, 2147483647, 2, 24, -125, 128, 53, -1021, 1024};

// Upper tail of the standard normal at y >= 0, as 0.5 erfc(y / sqrt 2).
// The argument y / sqrt 2 is carried as th + tl (double-double: the rounding
// of the product and of the constant 1/sqrt 2 are both kept), and erfc is
// corrected to first order in tl; otherwise the rounding of the argument
// alone would cost about y^2 ulps of the result far out in the tail.
double upper_tail(double y) {
  constexpr double c_hi = 0.7071067811865476;      // 1/sqrt(2) rounded
  constexpr double c_lo = -4.833646656726457e-17;  // 1/sqrt(2) - c_hi
  const double th = y * c_hi;
  const double tl = std::fma(y, c_hi, -th) + y * c_lo;
  const double e = std::erfc(th);
  if (e == 0.0) return 0.0;
  // d erfc(t)/dt = -(2/sqrt(pi)) exp(-t^2)
  const double slope = M_2_SQRTPI * std::exp(-th * th);
  return 0.5 * (e - tl * slope);
}

}  // namespace

i32 ipmpar(i32 i) {
  VELMORAN_CHECK("ipmpar", i, 1, 10);
  return IMACH[i];
}

double spmpar(i32 i) {
  const double b = ipmpar(4);
  const i32 m = ipmpar(8);
  if (i <= 1) return std::pow(b, 1 - m);
  if (i == 2) {
    const i32 emin = ipmpar(9);
    const double binv = 1.0 / b;
    const double w = std::pow(b, emin + 2);
    return w * binv * binv * binv;
  }
  const i32 emax = ipmpar(10);
  double z = std::pow(b, m - 1);
  const double w = ((z - 1.0) * b + (b - 1.0)) / (b * z);
  z = std::pow(b, emax - 2);
  return ((w * z) * b) * b;
}

double devlpl(const double* a, i32 n, double x) {
  double term = a[n - 1];
  for (i32 i = n - 2; i >= 0; --i) term = term * x + a[i];
  return term;
}

double stvaln(double p) {
  static constexpr double xnum[5] = {-0.322232431088, -1.0, -0.342242088547,
                                     -0.0204231210245, -4.53642210148e-05};
  static constexpr double xden[5] = {0.099348462606, 0.588581570495, 0.531103462366,
                                     0.10353775285, 0.0038560700634};
  double sign, z;
  if (p <= 0.5) {
    sign = -1.0;
    z = p;
  } else {
    sign = 1.0;
    z = 1.0 - p;
  }
  const double y = std::sqrt(0.0 - (std::log(z) + std::log(z)));
  return sign * (y + devlpl(xnum, 5, y) / devlpl(xden, 5, y));
}

// The standard normal distribution function is evaluated through the error
// function of the C library (erf near 0, erfc in the tails with the argument
// kept in double-double), not through a coefficient table.
void cumnor(double arg, double& result, double& ccum) {
  const double eps = spmpar(1) * 0.5;
  const double min = spmpar(2);
  const double x = arg;
  const double y = std::fabs(x);
  if (y <= 0.66291) {
    const double xs = y > eps ? x : 0.0;
    const double t = 0.5 * std::erf(xs * M_SQRT1_2);
    result = 0.5 + t;
    ccum = 0.5 - t;
  } else {
    const double r = upper_tail(y);
    result = r;
    ccum = 1.0 - r;
    if (x > 0.0) {
      result = ccum;
      ccum = r;
    }
  }
  if (result < min) result = 0.0;
  if (ccum < min) ccum = 0.0;
}

double dinvnr(double p, double q) {
  constexpr int maxit = 100;
  constexpr double eps = 1.0e-13;
  constexpr double r2pi = 0.3989422804014326;
  const bool qporq = p <= q;
  const double pp = qporq ? p : q;
  const double strtx = stvaln(pp);
  double xcur = strtx;
  for (int i = 1; i <= maxit; ++i) {
    double cum, ccum;
    cumnor(xcur, cum, ccum);
    const double dx = (cum - pp) / (r2pi * std::exp(-0.5 * xcur * xcur));
    xcur = xcur - dx;
    if (std::fabs(dx / xcur) < eps) return qporq ? xcur : -xcur;
  }
  return qporq ? strtx : -strtx;
}

void cdfnor(i32 which, double& p, double& q, double& x, double& mean, double& sd,
            i32& status, double& bound) {
  if (which < 1) {
    bound = 1.0;
    status = -1;
    return;
  }
  if (which > 4) {
    bound = 4.0;
    status = -1;
    return;
  }
  if (which != 1) {
    if (p <= 0.0) {
      bound = 0.0;
      status = -2;
      return;
    }
    if (p > 1.0) {
      bound = 1.0;
      status = -2;
      return;
    }
    if (q <= 0.0) {
      bound = 0.0;
      status = -3;
      return;
    }
    if (q > 1.0) {
      bound = 1.0;
      status = -3;
      return;
    }
    const double pq = p + q;
    status = 0;
    if (std::fabs((pq - 0.5) - 0.5) > 3.0 * spmpar(1)) {
      bound = pq < 0.0 ? 0.0 : 1.0;
      status = 3;
      return;
    }
  }
  status = 0;
  if (which != 4 && sd <= 0.0) {
    bound = 0.0;
    status = -6;
    return;
  }
  if (which == 1) {
    const double z = (x - mean) / sd;
    cumnor(z, p, q);
  } else if (which == 2) {
    const double z = dinvnr(p, q);
    x = z * sd + mean;
  } else if (which == 3) {
    const double z = dinvnr(p, q);
    mean = x - z * sd;
  } else {
    const double z = dinvnr(p, q);
    sd = (x - mean) / z;
  }
}

}  // namespace rangen
