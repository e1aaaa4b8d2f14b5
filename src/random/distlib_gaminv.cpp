// Inverse of the incomplete gamma ratio: a closed-form starting value chosen
// by a, p and q, refined by a third-order Newton-type iteration on P or Q.
#include <cmath>

#include "random/distlib.hpp"

namespace distlib {

namespace {

constexpr double a0 = 3.31125922108741, a1 = 11.6616720288968, a2 = 4.28342155967104,
                 a3 = 0.213623493715853;
constexpr double b1 = 6.61053765625462, b2 = 6.40691597760039, b3 = 1.27364489782223,
                 b4 = 0.036117081018842;
constexpr double c = 0.577215664901533;  // Euler's constant
constexpr double ln10 = 2.302585;
constexpr double amin = 500.0, bmin = 1.0e-28, dmin = 1.0e-6, emin = 2.0e-3;
constexpr double eps0 = 1.0e-10;  // convergence
constexpr double tol = 1.0e-5;
constexpr double e = 2.220446049250313e-16;
constexpr double amax = 0.4e-10 / (e * e);

// Five-term series in 1/y for a small upper tail.
double tail_series(double a, double y, double s, double z) {
  double c1 = -s * z;
  double c2 = -s * (1.0 + c1);
  double c3 = s * ((0.5 * c1 + 2.0 - a) * c1 + 2.5 - 1.5 * a);
  double c4 = -s * (((c1 / 3.0 + 2.5 - 1.5 * a) * c1 + (a - 6.0) * a + 7.0) * c1 +
                    ((11.0 * a - 46.0) * a + 47.0) / 6.0);
  double c5 = -s * ((((-c1 / 4.0 + (11.0 * a - 17.0) / 6.0) * c1 + (-3.0 * a + 13.0) * a - 13.0) * c1 +
                     0.5 * (((2.0 * a - 25.0) * a + 72.0) * a - 61.0)) * c1 +
                    (((25.0 * a - 195.0) * a + 477.0) * a - 379.0) / 12.0);
  return ((((c5 / y + c4) / y + c3) / y + c2) / y + c1) + y;
}

}  // namespace

void gamma_inc_inv(double a, double& x, double x0, double p, double q, int& ierr) {
  const double xmin = dpmpar(2);
  const double xmax = dpmpar(3);
  x = 0.0;
  // Written so that a shape or probabilities that are not numbers fail too.
  if (!(a > 0.0)) {
    ierr = -2;
    return;
  }
  if (!(std::fabs((p - 1.0) + q) <= e)) {
    ierr = -4;
    return;
  }
  ierr = 0;
  if (p == 0.0) return;
  if (q == 0.0) {
    x = xmax;
    return;
  }
  if (a == 1.0) {
    x = q >= 0.9 ? -alnrel(-p) : -std::log(q);
    return;
  }

  double xn;
  bool use_q;  // iterate on Q rather than P
  bool have_start = x0 > 0.0;
  if (have_start) {
    xn = x0;
    use_q = p > 0.5;
  } else if (a < 1.0) {
    double g = gamma(a + 1.0);
    double qg = q * g;
    if (qg == 0.0) {
      x = xmax;
      ierr = -8;
      return;
    }
    double b = qg / a;
    bool done = false;
    if (qg <= 0.6 * a) {
      if (a < 0.3 && b >= 0.35) {
        double t = std::exp(-(b + c));
        double u = t * std::exp(t);
        xn = t * std::exp(u);
        use_q = p > 0.5;
        done = true;
      } else if (b < 0.45) {
        if (b == 0.0) {
          x = xmax;
          ierr = -8;
          return;
        }
        double y = -std::log(b);
        double s = 1.0 - a;
        double z = std::log(y);
        double t = y - s * z;
        if (b >= 0.15) {
          xn = y - s * std::log(t) - std::log(1.0 + s / (t + 1.0));
        } else if (b > 0.01) {
          double u = ((t + 2.0 * (3.0 - a)) * t + (2.0 - a) * (3.0 - a)) / ((t + 5.0 - a) * t + 2.0);
          xn = y - s * std::log(t) - std::log(u);
        } else {
          xn = tail_series(a, y, s, z);
          if (a <= 1.0 && b <= bmin) {
            x = xn;
            return;
          }
        }
        use_q = true;
        done = true;
      }
    }
    if (!done) {
      if (b * q <= 1.0e-8) {
        xn = std::exp(-(q / a + c));
      } else if (p > 0.9) {
        xn = std::exp((alnrel(-q) + gamma_ln1(a)) / a);
      } else {
        xn = std::exp(std::log(p * g) / a);
      }
      if (xn == 0.0) {
        ierr = -3;
        return;
      }
      xn = xn / (1.0 - xn / (a + 1.0));
      use_q = p > 0.5;
    }
  } else {
    // a > 1: normal approximation with Cornish-Fisher terms.
    double w = q <= 0.5 ? std::log(q) : std::log(p);
    double t = std::sqrt(-2.0 * w);
    double s = t - (((a3 * t + a2) * t + a1) * t + a0) / ((((b4 * t + b3) * t + b2) * t + b1) * t + 1.0);
    if (q > 0.5) s = -s;
    double rta = std::sqrt(a);
    double s2 = s * s;
    xn = a + s * rta + (s2 - 1.0) / 3.0 + s * (s2 - 7.0) / (36.0 * rta) -
         ((3.0 * s2 + 7.0) * s2 - 16.0) / (810.0 * a) +
         s * ((9.0 * s2 + 256.0) * s2 - 433.0) / (38880.0 * a * rta);
    xn = std::fmax(xn, 0.0);
    if (a >= amin) {
      x = xn;
      if (std::fabs(1.0 - xn / a) <= dmin) return;
    }
    // x is 0 here when a < amin, else the starting value.
    if (p > 0.5) {
      use_q = true;
      if (xn >= 3.0 * a) {
        double y = -(w + gamma_log(a));
        double d = std::fmax(2.0, a * (a - 1.0));
        if (y >= ln10 * d) {
          double s1 = 1.0 - a;
          double z = std::log(y);
          xn = tail_series(a, y, s1, z);
        } else {
          double t1 = a - 1.0;
          xn = y + t1 * std::log(xn) - alnrel(-t1 / (xn + 1.0));
          xn = y + t1 * std::log(xn) - alnrel(-t1 / (xn + 1.0));
        }
      }
    } else {
      use_q = false;
      double ap1 = a + 1.0;
      if (xn <= 0.7 * ap1) {
        w += gamma_log(ap1);
        bool sum_start = true;
        if (xn <= 0.15 * ap1) {
          double ap2 = a + 2.0;
          double ap3 = a + 3.0;
          x = std::exp((w + x) / a);
          x = std::exp((w + x - std::log(1.0 + (x / ap1) * (1.0 + x / ap2))) / a);
          x = std::exp((w + x - std::log(1.0 + (x / ap1) * (1.0 + x / ap2))) / a);
          x = std::exp((w + x - std::log(1.0 + (x / ap1) * (1.0 + (x / ap2) * (1.0 + x / ap3)))) / a);
          xn = x;
          if (xn <= 1.0e-2 * ap1) {
            if (xn <= emin * ap1) return;
            sum_start = false;
          }
        }
        if (sum_start) {
          double apn = ap1;
          t = xn / apn;
          double sum = 1.0 + t;
          int terms = 0;
          do {
            // A series that does not settle takes the error exit.
            if (++terms > 100000) {
              x = xn;
              ierr = -6;
              return;
            }
            apn += 1.0;
            t = t * xn / apn;
            sum += t;
          } while (t > 1.0e-4);
          t = w - std::log(sum);
          xn = std::exp((xn + t) / a);
          xn = xn * (1.0 - (a * std::log(xn) - xn - t) / (a - 1.0));
        }
      }
    }
  }

  // Third-order Newton-type iteration on P (or on Q).
  const double target = use_q ? q : p;
  if (target <= 1.0e10 * xmin) {
    x = xn;
    ierr = -8;
    return;
  }
  for (;;) {
    if (a > amax && std::fabs(1.0 - xn / a) <= 2.0 * e) {
      x = xn;
      ierr = -8;
      return;
    }
    if (ierr >= 20) {
      x = xn;
      ierr = -6;
      return;
    }
    ierr += 1;
    double pn = 0.0, qn = 0.0;
    gamma_inc(a, xn, pn, qn, 0);
    // A failed ratio (its 2.0 sentinel) ends the iteration like an underflow.
    if (pn == 0.0 || qn == 0.0 || pn > 1.5) {
      x = xn;
      ierr = -8;
      return;
    }
    double r = rcomp(a, xn);
    if (r == 0.0) {
      x = xn;
      ierr = -8;
      return;
    }
    double t = use_q ? (q - qn) / r : (pn - p) / r;
    double w = 0.5 * (a - 1.0 - xn);
    double d;
    if (std::fabs(t) <= 0.1 && std::fabs(w * t) <= 0.1) {
      double h = t * (1.0 + w * t);
      x = xn * (1.0 - h);
      if (x <= 0.0) {
        ierr = -7;
        return;
      }
      if (std::fabs(w) >= 1.0 && std::fabs(w) * t * t <= eps0) return;
      d = std::fabs(h);
    } else {
      x = xn * (1.0 - t);
      if (x <= 0.0) {
        ierr = -7;
        return;
      }
      d = std::fabs(t);
    }
    xn = x;
    if (d > tol) continue;
    if (d <= eps0) return;
    if (use_q ? std::fabs(q - qn) <= tol * q : std::fabs(p - pn) <= tol * p) return;
  }
}

}  // namespace distlib
