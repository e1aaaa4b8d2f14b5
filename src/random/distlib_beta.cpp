// Logarithm of the beta function and its helpers: 1/Gamma(a + 1) - 1,
// ln Gamma(a + b) for small shapes, the Stirling remainders of large shapes
// and the beta power products.
#include <cmath>

#include "random/distlib.hpp"
#include "random/distlib_coef.hpp"

namespace distlib {

namespace {

// Stirling coefficients shared by algdiv and bcorr.
constexpr double c0 = 0.0833333333333333, c1 = -0.00277777777760991, c2 = 0.00079365066682539,
                 c3 = -0.00059520293135187, c4 = 0.000837308034031215,
                 c5 = -0.00165322962780713;

// The s3..s11 sums and the remainder series of the larger shape b.
double stirling_ratio_series(double x, double c, double b) {
  double x2 = x * x;
  double s3 = 1.0 + (x + x2);
  double s5 = 1.0 + (x + x2 * s3);
  double s7 = 1.0 + (x + x2 * s5);
  double s9 = 1.0 + (x + x2 * s7);
  double s11 = 1.0 + (x + x2 * s9);
  double t = (1.0 / b) * (1.0 / b);
  return (((((c5 * s11 * t + c4 * s9) * t + c3 * s7) * t + c2 * s5) * t + c1 * s3) * t + c0) *
         (c / b);
}

}  // namespace

// w(t) = (1/Gamma(1 + t) - 1)/t, from two Chebyshev interpolants (t > 0 and
// t < 0; coefficients from tools/distlib_coefficients.py).  The t < 0 one
// carries w - 1, which keeps the a > 0.5 form free of cancellation.
double gam1(double a) {
  double t = a;
  double d = a - 0.5;
  if (d > 0.0) t = d - 0.5;
  if (t == 0.0) return 0.0;
  if (t > 0.0) {
    double w = horner(coef::GAM1_POS, t - 0.25);
    if (d > 0.0) return (t / a) * ((w - 0.5) - 0.5);
    return a * w;
  }
  double w = horner(coef::GAM1_NEG, t + 0.25);
  if (d > 0.0) return t * w / a;
  return a * (w + 1.0);
}

double gsumln(double a, double b) {
  double x = (a - 2.0) + b;
  if (x <= 0.25) return gamma_ln1(1.0 + x);
  if (x <= 1.25) return gamma_ln1(x) + alnrel(x);
  return gamma_ln1(x - 1.0) + std::log(x * (1.0 + x));
}

double algdiv(double a, double b) {
  double h, c, x;
  if (a > b) {
    h = b / a;
    c = 1.0 / (1.0 + h);
    x = h / (1.0 + h);
  } else {
    h = a / b;
    c = h / (1.0 + h);
    x = 1.0 / (1.0 + h);
  }
  double d = a + b - 0.5;
  double w = stirling_ratio_series(x, c, b);
  double u = d * alnrel(a / b);
  double v = a * (std::log(b) - 1.0);
  return w - u - v;
}

double bcorr(double a0, double b0) {
  double a = std::fmin(a0, b0);
  double b = std::fmax(a0, b0);
  double h = a / b;
  double c = h / (1.0 + h);
  double x = 1.0 / (1.0 + h);
  double w = stirling_ratio_series(x, c, b);
  double t = (1.0 / a) * (1.0 / a);
  return (((((c5 * t + c4) * t + c3) * t + c2) * t + c1) * t + c0) / a + w;
}

double gam1_sum(double a, double b) {
  double apb = a + b;
  return apb <= 1.0 ? 1.0 + gam1(apb) : (1.0 + gam1(a + b - 1.0)) / apb;
}

double beta_step_down(double a, double& b, double u) {
  int n = int(b - 1.0);
  if (n < 1) return u;
  double c = 1.0;
  for (int i = 1; i <= n; ++i) {
    b -= 1.0;
    c = c * b / (a + b);
  }
  return std::log(c) + u;
}

double beta_log(double a0, double b0) {
  constexpr double e = 0.918938533204673;
  // Not-a-number shapes would reach the integer reductions below.
  if (std::isnan(a0) || std::isnan(b0)) return a0 + b0;
  double a = std::fmin(a0, b0);
  double b = std::fmax(a0, b0);
  if (a >= 8.0) {
    double w = bcorr(a, b);
    double h = a / b;
    double c = h / (1.0 + h);
    double u = -(a - 0.5) * std::log(c);
    double v = b * alnrel(h);
    return w + e - u - v - 0.5 * std::log(b);
  }
  if (a < 1.0) {
    if (b >= 8.0) return gamma_log(a) + algdiv(a, b);
    return gamma_log(a) + gamma_log(b) - gamma_log(a + b);
  }
  double w;
  if (a <= 2.0) {
    if (b <= 2.0) return gamma_log(a) + gamma_log(b) - gsumln(a, b);
    if (b >= 8.0) return gamma_log(a) + algdiv(a, b);
    w = 0.0;
  } else {
    // 2 < a < 8: bring a down to [1, 2).
    int n = int(a - 1.0);
    w = 1.0;
    if (b > 1000.0) {
      for (int i = 1; i <= n; ++i) {
        a -= 1.0;
        w = w * a / (1.0 + a / b);
      }
      return (std::log(w) - n * std::log(b)) + gamma_log(a) + algdiv(a, b);
    }
    for (int i = 1; i <= n; ++i) {
      a -= 1.0;
      double h = a / b;
      w = w * h / (1.0 + h);
    }
    w = std::log(w);
    if (b >= 8.0) return w + gamma_log(a) + algdiv(a, b);
  }
  // b < 8: bring b down to [1, 2).
  w = beta_step_down(a, b, w);
  return w + gamma_log(a) + gamma_log(b) - gsumln(a, b);
}

namespace {

// The power product of beta_rcomp (mu = 0, plain exponentials) and
// beta_rcomp1 (exponentials of the product scaled by e^mu).
double beta_power(bool scaled, int mu, double a, double b, double x, double y) {
  constexpr double cnst = 0.398942280401433;
  auto ex = [&](double arg) { return scaled ? esum(mu, arg) : std::exp(arg); };
  double a0 = std::fmin(a, b);
  if (a0 < 8.0) {
    double lnx, lny;
    if (x <= 0.375) {
      lnx = std::log(x);
      lny = alnrel(-x);
    } else if (y <= 0.375) {
      lnx = alnrel(-y);
      lny = std::log(y);
    } else {
      lnx = std::log(x);
      lny = std::log(y);
    }
    double z = a * lnx + b * lny;
    if (a0 >= 1.0) return ex(z - beta_log(a, b));
    double b0 = std::fmax(a, b);
    if (b0 >= 8.0) {
      double u = gamma_ln1(a0) + algdiv(a0, b0);
      return a0 * ex(z - u);
    }
    if (b0 > 1.0) {
      double u = beta_step_down(a0, b0, gamma_ln1(a0));
      z -= u;
      b0 -= 1.0;
      double t = gam1_sum(a0, b0);
      return a0 * ex(z) * (1.0 + gam1(b0)) / t;
    }
    double r = ex(z);
    if (r == 0.0) return 0.0;
    double c = (1.0 + gam1(a)) * (1.0 + gam1(b)) / gam1_sum(a, b);
    return r * (a0 * c) / (1.0 + a0 / b0);
  }

  // Both shapes at least 8.
  double h, x0, y0, lambda;
  if (a > b) {
    h = b / a;
    x0 = 1.0 / (1.0 + h);
    y0 = h / (1.0 + h);
    lambda = (a + b) * y - b;
  } else {
    h = a / b;
    x0 = h / (1.0 + h);
    y0 = 1.0 / (1.0 + h);
    lambda = a - (a + b) * x;
  }
  double e = -lambda / a;
  double u = std::fabs(e) <= 0.6 ? rlog1(e) : e - std::log(x / x0);
  e = lambda / b;
  double v = std::fabs(e) <= 0.6 ? rlog1(e) : e - std::log(y / y0);
  return cnst * std::sqrt(b * x0) * ex(-(a * u + b * v)) * std::exp(-bcorr(a, b));
}

}  // namespace

double beta_rcomp(double a, double b, double x, double y) {
  if (x == 0.0 || y == 0.0) return 0.0;
  return beta_power(false, 0, a, b, x, y);
}

double beta_rcomp1(int mu, double a, double b, double x, double y) {
  return beta_power(true, mu, a, b, x, y);
}

}  // namespace distlib
