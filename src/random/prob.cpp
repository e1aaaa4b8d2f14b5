// Seed, scalar deviates, normal density / distribution / quantile and the
// scalar truncated normal.
#include "random/prob.hpp"

#include <cmath>
#include <cstdint>

#include "random/rangen.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace prob {

void set_seed(i32 seed) {
  // With 0 every uniform would be the same value and the rejection loops of
  // the normal and gamma deviates would never end.
  if (seed == 0) util::fatal("SEED must not be 0: the random generator needs a nonzero seed");
  rangen::inrgcm();
  (void)rangen::ranf();
  rangen::setsd(seed, seed);
}

double gen_uniform_real(double a, double b) {
  const double u = rangen::ranf();
  return a + u * (b - a);
}

double gen_normal_scalar(double mean, double var) {
  if (var <= 0.0) return mean;
  const double sd = std::sqrt(var);
  const double z = rangen::snorm();
  return mean + sd * z;
}

namespace {

// 2 g for a gamma deviate g of shape n/2, in single precision.
float twice_gamma(i32 n) {
  const float shape = static_cast<float>(n) * 0.5f;
  const float g = rangen::sgamma(shape);
  return 2.0f * g;
}

}  // namespace

double gen_chisq(double s, i32 n) { return static_cast<double>(twice_gamma(n)) * s; }

double gen_invchisq(double s, i32 n) {
  const double g2 = twice_gamma(n);
  return 1.0 / (g2 * s);
}

double gen_uniform_base() { return rangen::ranf(); }

i32 gen_uniform_integer(i32 a, i32 b) {
  const std::int64_t k = std::int64_t{b} - std::int64_t{a} + 1;
  if (k < 1 || k > INT32_MAX) {
    util::fatal(util::freev("GEN_UNIFORM_INTEGER: bad range", a, b));
  }
  const double u = rangen::ranf();
  const double x = u * static_cast<double>(k);
  return static_cast<i32>(a + static_cast<std::int64_t>(std::floor(x)));
}

// ---------------------------------------------------------------------------
// Normal density, distribution function and quantile

namespace {

// Remembered parameters, one pair per function.
double cdf_mean1 = 0.0, cdf_sd1 = 1.0;
double inv_mean1 = 0.0, inv_sd1 = 1.0;

constexpr double p_high = 0.9999999999;
const double p_low = static_cast<double>(1.0e-10f);

// Standard normal quantile of p after the clamp, with p in place.
double clamped_quantile(double& p, double mean, double sd, const char* who) {
  if (p > p_high) {
    p = p_high;
  } else if (p < p_low) {
    p = p_low;
  }
  double q = 1.0 - p;
  double x = 0.0, m = mean, s = sd, bound = 0.0;
  rangen::i32 status = 0;
  rangen::cdfnor(2, p, q, x, m, s, status, bound);
  if (status != 0) util::fatal(util::freev(who));
  return x;
}

}  // namespace

double normal(double x) { return std::exp((x * x) * (-0.5)) * 0.3989422804014327; }

double normalcdf(double x, std::optional<double> mean, std::optional<double> sd) {
  if (mean) cdf_mean1 = *mean;
  if (sd) cdf_sd1 = *sd;
  double p = 0.0, q = 0.0, bound = 0.0;
  rangen::i32 status = 0;
  rangen::cdfnor(1, p, q, x, cdf_mean1, cdf_sd1, status, bound);
  if (status != 0) util::fatal(util::freev("Parameters for NORMALCDF incorrect"));
  return p;
}

double normal_invcdf(double& p, std::optional<double> mean, std::optional<double> sd) {
  if (mean) inv_mean1 = *mean;
  if (sd) inv_sd1 = *sd;
  return clamped_quantile(p, inv_mean1, inv_sd1, "Parameters for NORMAL_INVCDF incorrect");
}

double gen_trunc_normal_scalar(double a, double b, double mean, double var) {
  // Infinite bounds give one-sided truncation; a bound that is not a number
  // would turn the deviate into one silently.
  if (std::isnan(a) || std::isnan(b)) {
    util::fatal(util::freev("GEN_TRUNC_NORMAL: bound not a number: a =", a, " b =", b));
  }
  if (a > b) {
    util::fatal(util::freev("GEN_TRUNC_NORMAL: bound b =", b, " < bound a =", a));
  }
  if (var <= 0.0) {
    util::fatal(util::freev("GEN_TRUNC_NORMAL: variance =", var, " <= 0"));
  }
  const double sd = std::sqrt(var);
  const double pa = normalcdf(a, mean, sd);
  const double pb = normalcdf(b, mean, sd);
  const double u = rangen::ranf();
  double p = pa + (pb - pa) * u;
  const double z = clamped_quantile(p, 0.0, 1.0, "Parameters for NORMAL_INVCDF incorrect");
  return sd * z + mean;
}

}  // namespace prob
