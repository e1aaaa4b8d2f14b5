// Small scalar functions of the distribution library: polynomial evaluation,
// machine constants, cancellation-free logarithms and exponentials, digamma
// and the error function.
#include <cmath>

#include "random/distlib.hpp"

namespace distlib {

double eval_pol(const double* a, int n, double x) {
  if (n < 0) return 0.0;  // an empty polynomial; never read before a[0]
  double term = a[n];
  for (int i = n - 1; i >= 0; --i) term = term * x + a[i];
  return term;
}

int ipmpar(int i) {
  static const int imach[10] = {2, 31, 2147483647, 2, 24, -125, 128, 53, -1021, 1024};
  if (i < 1 || i > 10) return 0;  // no such constant; never read outside the table
  return imach[i - 1];
}

namespace {
// Shared rational part of rlog1 and rlog.
double rlog_tail(double h, double w1) {
  constexpr double p0 = 0.333333333333333, p1 = -0.224696413112536, p2 = 0.00620886815375787;
  constexpr double q1 = -1.27408923933623, q2 = 0.354508718369557;
  double r = h / (h + 2.0);
  double t = r * r;
  double w = ((p2 * t + p1) * t + p0) / ((q2 * t + q1) * t + 1.0);
  return 2.0 * t * (1.0 / (1.0 - r) - r * w) + w1;
}
constexpr double a_shift = 0.0566749439387324;
constexpr double b_shift = 0.0456512608815524;
}  // namespace

double rlog1(double x) {
  if (x < -0.39 || x > 0.57) return x - std::log(1.0 + x);
  double h, w1;
  if (x < -0.18) {
    h = (x + 0.3) / 0.7;
    w1 = a_shift - 0.3 * h;
  } else if (x > 0.18) {
    h = 0.75 * x - 0.25;
    w1 = h / 3.0 + b_shift;
  } else {
    h = x;
    w1 = 0.0;
  }
  return rlog_tail(h, w1);
}

double rlog(double x) {
  if (x < 0.61 || x >= 1.57) return (x - 0.5) - 0.5 - std::log(x);
  double h, w1;
  if (x < 0.82) {
    h = (x - 0.7) / 0.7;
    w1 = a_shift - 0.3 * h;
  } else if (x < 1.18) {
    h = (x - 0.5) - 0.5;
    w1 = 0.0;
  } else {
    h = 0.75 * x - 1.0;
    w1 = h / 3.0 + b_shift;
  }
  return rlog_tail(h, w1);
}

double rexp(double x) {
  constexpr double p1 = 9.14041914819518e-10, p2 = 0.0238082361044469;
  constexpr double q1 = -0.499999999085958, q2 = 0.107141568980644, q3 = -0.0119041179760821,
                   q4 = 0.000595130811860248;
  if (std::fabs(x) <= 0.15) {
    return x * ((p2 * x + p1) * x + 1.0) / ((((q4 * x + q3) * x + q2) * x + q1) * x + 1.0);
  }
  double w = std::exp(x);
  if (x > 0.0) return (1.0 - 1.0 / w) * w;
  return (w - 0.5) - 0.5;
}

double dexpm1(double x) { return rexp(x); }

double alnrel(double a) {
  constexpr double p1 = -1.29418923021993, p2 = 0.405303492862024, p3 = -0.0178874546012214;
  constexpr double q1 = -1.62752256355323, q2 = 0.747811014037616, q3 = -0.0845104217945565;
  if (std::fabs(a) <= 0.375) {
    double t = a / (a + 2.0);
    double t2 = t * t;
    return 2.0 * t * (((p3 * t2 + p2) * t2 + p1) * t2 + 1.0) /
           (((q3 * t2 + q2) * t2 + q1) * t2 + 1.0);
  }
  return std::log(1.0 + a);
}

double esum(int mu, double x) {
  double w;
  if (x <= 0.0) {
    if (mu < 0) return std::exp(double(mu)) * std::exp(x);
    w = mu + x;
    if (w > 0.0) return std::exp(double(mu)) * std::exp(x);
    return std::exp(w);
  }
  if (mu > 0) return std::exp(double(mu)) * std::exp(x);
  w = mu + x;
  if (w < 0.0) return std::exp(double(mu)) * std::exp(x);
  return std::exp(w);
}

double exparg(int l) {
  double lnb;
  int b = ipmpar(4);
  if (b == 2) {
    lnb = 0.69314718055995;
  } else if (b == 8) {
    lnb = 2.0794415416798;
  } else if (b == 16) {
    lnb = 2.7725887222398;
  } else {
    lnb = std::log(double(b));
  }
  int m = l == 0 ? ipmpar(10) : ipmpar(9) - 1;
  return (m * lnb) * 0.99999;
}

double psi(double x) {
  constexpr double piov4 = 0.785398163397448;
  constexpr double dx0 = 1.4616321449683622;
  static const double p1[7] = {0.0089538502298197, 4.77762828042627, 142.441585084029,
                               1186.45200713425,   3633.51846806499, 4138.10161269013,
                               1305.60269827897};
  static const double q1[6] = {44.8452573429826, 520.752771467162, 2210.0079924783,
                               3641.27349079381, 1908.310765963,   6.91091682714533e-06};
  static const double p2[4] = {-2.12940445131011, -7.01677227766759, -4.48616543918019,
                               -0.648157123766197};
  static const double q2[4] = {32.2703493791143, 89.2920700481861, 54.6117738103215,
                               7.77788548522962};
  const double xmax1 = 2147483647.0;  // min(ipmpar(3), 2^52)
  constexpr double xsmall = 1.0e-9;
  double aug = 0.0;

  if (x == 0.0) return 0.0;
  if (x < 0.5) {
    if (std::fabs(x) <= xsmall) {
      aug = -1.0 / x;
    } else {
      // Reflection: psi(1 - x) - psi(x) = pi cot(pi x), with the cotangent
      // reduced to the first octant.
      double w = -x;
      double sgn = piov4;
      if (w <= 0.0) {
        w = -w;
        sgn = -sgn;
      }
      if (w >= xmax1) return 0.0;
      int nq = int(w);
      w -= double(nq);
      nq = int(w * 4.0);
      w = 4.0 * (w - double(nq) * 0.25);
      int n = nq / 2;
      if (n + n != nq) w = 1.0 - w;
      double z = piov4 * w;
      int m = n / 2;
      if (m + m != n) sgn = -sgn;
      n = (nq + 1) / 2;
      m = n / 2;
      m += m;
      if (m == n) {
        if (z == 0.0) return 0.0;
        aug = sgn * ((std::cos(z) / std::sin(z)) * 4.0);
      } else {
        aug = sgn * ((std::sin(z) / std::cos(z)) * 4.0);
      }
    }
    x = 1.0 - x;
  }
  if (x <= 3.0) {
    double upper = (((((p1[0] * x + p1[1]) * x + p1[2]) * x + p1[3]) * x + p1[4]) * x + p1[5]) * x +
                   p1[6];
    double den = (((((x + q1[0]) * x + q1[1]) * x + q1[2]) * x + q1[3]) * x + q1[4]) * x + q1[5];
    return (upper / den) * (x - dx0) + aug;
  }
  if (x < xmax1) {
    double w = 1.0 / (x * x);
    double upper = (((p2[0] * w + p2[1]) * w + p2[2]) * w + p2[3]) * w;
    double den = (((w + q2[0]) * w + q2[1]) * w + q2[2]) * w + q2[3];
    aug = upper / den - 0.5 / x + aug;
  }
  return aug + std::log(x);
}

double erf(double x) {
  static const double a[5] = {7.7105849500132e-05, -0.00133733772997339, 0.0323076579225834,
                              0.0479137145607681, 1.128379167095513};
  static const double b[3] = {0.00301048631703895, 0.0538971687740286, 0.375795757275549};
  static const double p[8] = {-1.36864857382717e-07, 0.564195517478974, 7.21175825088309,
                              43.1622272220567,      152.98928504694,   339.320816734344,
                              451.918953711873,      300.459261020162};
  static const double q[8] = {1.0,              12.7827273196294, 77.0001529352295,
                              277.585444743988, 638.980264465631, 931.35409485061,
                              790.950925327898, 300.459260956983};
  static const double r[5] = {2.10144126479064, 26.2370141675169, 21.3688200555087,
                              4.6580782871847, 0.282094791773523};
  static const double s[4] = {94.153775055546, 187.11481179959, 99.0191814623914,
                              18.0124575948747};
  constexpr double c = 0.564189583547756;
  double ax = std::fabs(x);
  double value;
  if (ax <= 0.5) {
    double t = x * x;
    double top = (((a[0] * t + a[1]) * t + a[2]) * t + a[3]) * t + a[4];
    double bot = ((b[0] * t + b[1]) * t + b[2]) * t + 1.0;
    value = ax * top / bot;
  } else if (ax <= 4.0) {
    double top = ((((((p[0] * ax + p[1]) * ax + p[2]) * ax + p[3]) * ax + p[4]) * ax + p[5]) * ax +
                  p[6]) * ax + p[7];
    double bot = ((((((q[0] * ax + q[1]) * ax + q[2]) * ax + q[3]) * ax + q[4]) * ax + q[5]) * ax +
                  q[6]) * ax + q[7];
    value = 1.0 - std::exp(-x * x) * top / bot;
  } else if (ax < 5.8) {
    double x2 = x * x;
    double t = 1.0 / x2;
    double top = (((r[0] * t + r[1]) * t + r[2]) * t + r[3]) * t + r[4];
    double bot = (((s[0] * t + s[1]) * t + s[2]) * t + s[3]) * t + 1.0;
    value = 1.0 - std::exp(-x2) * (c - top / (x2 * bot)) / ax;
  } else {
    value = 1.0;
  }
  return x < 0.0 ? -value : value;
}

void d_swap(double& x, double& y) {
  double t = x;
  x = y;
  y = t;
}

}  // namespace distlib
