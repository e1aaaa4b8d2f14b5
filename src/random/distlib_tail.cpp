// Stirling remainders, the logarithm of the normal tail, the normal quantile
// and the start value of the t quantile.
#include <cmath>

#include "random/distlib.hpp"
#include "random/rangen.hpp"
#include "util/stop.hpp"

namespace distlib {

namespace {

constexpr double kLnSqrt2Pi = 0.9189385332046728;

// Stirling series coefficients B(2k) / (2k (2k - 1)), k = 0..9 (k = 0 unused).
constexpr double kStirling[10] = {0.0,
                                  0.08333333333333333,
                                  -0.002777777777777778,
                                  0.0007936507936507937,
                                  -0.0005952380952380953,
                                  0.0008417508417508417,
                                  -0.0019175269175269176,
                                  0.00641025641025641,
                                  -0.029550653594771242,
                                  0.17964437236883057};

}  // namespace

double dstrem(double z) {
  if (z <= 0.0) util::fatal(" \nDTSTREM - Fatal error!\n  Zero or negative argument.");
  if (z > 6.0) return z * eval_pol(kStirling, 9, 1.0 / (z * z));
  // Below the asymptotic range the remainder is formed from ln Gamma itself.
  return gamma_log(z) - (((z - 0.5) * std::log(z) - z) + kLnSqrt2Pi);
}

double dbetrm(double a, double b) {
  double r = -dstrem(a + b);
  r += dstrem(std::fmax(a, b));
  return r + dstrem(std::fmin(a, b));
}

double dlanor(double x) {
  // (-1)^(k+1) (2k + 1)!!, the asymptotic series of the Mills ratio minus 1.
  static constexpr double coef[12] = {-1.0,         3.0,          -15.0,
                                      105.0,        -945.0,       10395.0,
                                      -135135.0,    2027025.0,    -34459425.0,
                                      654729075.0,  -13749310575.0, 316234143225.0};
  const double xx = std::fabs(x);
  if (xx < 5.0) util::fatal(" \nDLANOR - Fatal error!\n  Argument too small.");
  const double x2 = x * x;
  const double approx = (-kLnSqrt2Pi - std::log(xx)) - 0.5 * x2;
  const double correc = eval_pol(coef, 11, 1.0 / x2) / x2;
  return approx + alnrel(correc);
}

// The same start value and Newton inverse as the generator library's, on the
// same normal distribution function, so one piece of code serves both.
double stvaln(double p) { return rangen::stvaln(p); }
double dinvnr(double p, double q) { return rangen::dinvnr(p, q); }

double dt1(double p, double q, double df) {
  static constexpr double coef[4][5] = {{1.0, 1.0, 0.0, 0.0, 0.0},
                                        {3.0, 16.0, 5.0, 0.0, 0.0},
                                        {-15.0, 17.0, 19.0, 3.0, 0.0},
                                        {-945.0, -1920.0, 1482.0, 776.0, 79.0}};
  static constexpr int ideg[4] = {1, 2, 3, 4};
  static constexpr double denom[4] = {4.0, 96.0, 384.0, 92160.0};
  const double x = std::fabs(dinvnr(p, q));
  const double xx = x * x;
  double sum = x;
  double denpow = 1.0;
  for (int i = 0; i < 4; ++i) {
    const double term = eval_pol(coef[i], ideg[i], xx) * x;
    denpow *= df;
    sum += term / (denpow * denom[i]);
  }
  return p >= 0.5 ? sum : -sum;
}

}  // namespace distlib
