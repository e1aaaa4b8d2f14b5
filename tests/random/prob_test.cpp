// Seed, scalar deviates, normal functions and the scalar truncated normal.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "rangen_support.hpp"

using rgtest::expect_stop;
using rgtest::ScriptedNormals;
using rgtest::ScriptedUniforms;

namespace {

std::pair<rangen::i32, rangen::i32> state() {
  rangen::i32 a, b;
  rangen::getsd(a, b);
  return {a, b};
}

}  // namespace

TEST(Seed, FirstCallOfAProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        prob::set_seed(12345);
        bool ok = rangen::qrgnin() && rangen::rgnqsd();
        ok = ok && prob::gen_normal_scalar() == static_cast<double>(-1.9790008f);
        // Generator 2 keeps the seeds derived from the default pair.
        rangen::setcgn(2);
        rangen::i32 s1 = 0;
        rangen::i32 s2 = 0;
        rangen::getsd(s1, s2);
        ok = ok && s1 == 1270879355;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Seed, RestartsTheSameStreamAndRefusesZero) {
  rangen::clear_hooks();
  prob::set_seed(12345);
  EXPECT_EQ(state(), std::make_pair(12345, 12345));
  const float z1 = rangen::snorm();
  EXPECT_FLOAT_EQ(z1, -1.9790008f);
  for (int k = 0; k < 37; ++k) (void)prob::gen_uniform_base();
  prob::set_seed(12345);
  EXPECT_EQ(rangen::snorm(), z1);
  prob::set_seed(12345);
  EXPECT_EQ(static_cast<double>(rangen::ranf()), static_cast<double>(static_cast<float>(2139113652)) *
                                                     std::ldexp(1.0, -31));
  prob::set_seed(-7);  // negative seeds are brought into range by the first step
  EXPECT_GT(prob::gen_uniform_base(), 0.0);
  util::Stop st = expect_stop([] { prob::set_seed(0); });
  EXPECT_NE(std::string(st.what()).find("SEED"), std::string::npos);
}

TEST(ScalarDeviates, NormalWithMeanAndVariance) {
  rangen::clear_hooks();
  prob::set_seed(4711);
  const auto s0 = state();
  EXPECT_EQ(prob::gen_normal_scalar(3.5, 0.0), 3.5);
  EXPECT_EQ(prob::gen_normal_scalar(-2.0, -1.0), -2.0);
  EXPECT_EQ(state(), s0);  // nothing drawn
  const double z = prob::gen_normal_scalar();
  prob::set_seed(4711);
  EXPECT_EQ(static_cast<double>(rangen::snorm()), z);
  prob::set_seed(4711);
  EXPECT_EQ(prob::gen_normal_scalar(1.25, 4.0), 1.25 + 2.0 * z);
}

TEST(ScalarDeviates, UniformsAndIntegers) {
  rangen::clear_hooks();
  prob::set_seed(99);
  const double u = prob::gen_uniform_real();
  prob::set_seed(99);
  EXPECT_EQ(prob::gen_uniform_base(), u);
  prob::set_seed(99);
  EXPECT_EQ(prob::gen_uniform_real(-3.0, 5.0), -3.0 + u * 8.0);
  {
    ScriptedUniforms s({0.999f, 0.0001f, 0.5f});
    EXPECT_EQ(prob::gen_uniform_integer(1, 6), 6);
    EXPECT_EQ(prob::gen_uniform_integer(-6, -1), -6);  // floor, not truncation
    EXPECT_EQ(prob::gen_uniform_integer(4, 4), 4);      // still draws
    EXPECT_EQ(s.next, 3u);
  }
  for (int k = 0; k < 2000; ++k) {
    const auto v = prob::gen_uniform_integer(-2, 3);
    ASSERT_GE(v, -2);
    ASSERT_LE(v, 3);
  }
  expect_stop([] { prob::gen_uniform_integer(2, 1); });
}

TEST(ScalarDeviates, ChiSquareAndInverse) {
  rangen::clear_hooks();
  prob::set_seed(321);
  const double c = prob::gen_chisq(2.5, 7);
  prob::set_seed(321);
  const double ic = prob::gen_invchisq(2.5, 7);
  EXPECT_EQ(ic, 1.0 / c);
  prob::set_seed(321);
  const float g = rangen::sgamma(3.5f);
  EXPECT_EQ(c, static_cast<double>(2.0f * g) * 2.5);
  // Degrees of freedom of 0 or below reach the gamma deviate's refusal.
  expect_stop([] { prob::gen_chisq(1.0, 0); });
  expect_stop([] { prob::gen_invchisq(1.0, -2); });
  // Scaled inverse chi-square moments: E = 1/(s (n - 2)).
  prob::set_seed(2024);
  const int n = 100000, df = 12;
  const double s = 0.5;
  double sum = 0, sum2 = 0;
  for (int k = 0; k < n; ++k) {
    const double v = prob::gen_invchisq(s, df);
    sum += v;
    sum2 += v * v;
  }
  const double mean = sum / n, sdm = std::sqrt((sum2 / n - mean * mean) / n);
  EXPECT_NEAR(mean, 1.0 / (s * (df - 2)), 5 * sdm);
}

TEST(NormalFunctions, RememberedParametersInAFreshProgram) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = prob::normalcdf(0.0) == 0.5;
        ok = ok && std::fabs(prob::normalcdf(1.0, 1.0, 2.0) - 0.5) < 1e-16;
        ok = ok && prob::normalcdf(1.0) == 0.5;
        double p = 0.975;
        ok = ok && std::fabs(prob::normal_invcdf(p) - 1.959963984540054) < 1e-12;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(NormalFunctions, DensityDistributionAndQuantile) {
  EXPECT_EQ(prob::normal(0.0), 0.3989422804014327);
  EXPECT_NEAR(prob::normal(1.0), 0.24197072451914337, 1e-17);
  EXPECT_NEAR(prob::normalcdf(4.0, 3.0, 2.0), 0.6914624612740131, 2e-16);
  EXPECT_NEAR(prob::normalcdf(2.0), 0.3085375387259869, 2e-16);  // mean 3, sd 2 remembered
  double p = 0.975;
  EXPECT_NEAR(prob::normal_invcdf(p, 10.0, 3.0), 10.0 + 3.0 * 1.959963984540054, 1e-12);
  p = 0.5;
  EXPECT_NEAR(prob::normal_invcdf(p, 0.0, 1.0), 0.0, 1e-15);
  p = 1.0;
  EXPECT_NEAR(prob::normal_invcdf(p), 6.3613409, 1e-7);
  EXPECT_EQ(p, 0.9999999999);
  p = 0.0;
  EXPECT_NEAR(prob::normal_invcdf(p), -6.3613409, 1e-7);
  EXPECT_EQ(p, 1.000000013351432e-10);
  p = 1.0e-10;
  (void)prob::normal_invcdf(p);
  EXPECT_EQ(p, 1.000000013351432e-10);
  util::Stop st = expect_stop([] { prob::normalcdf(1.0, 0.0, 0.0); });
  EXPECT_NE(std::string(st.what()).find("Parameters for NORMALCDF incorrect"), std::string::npos);
  st = expect_stop([] {
    double q = 0.3;
    prob::normal_invcdf(q, 0.0, -1.0);
  });
  EXPECT_NE(std::string(st.what()).find("Parameters for NORMAL_INVCDF incorrect"),
            std::string::npos);
  // The bad values stay remembered until replaced.
  expect_stop([] { prob::normalcdf(1.0); });
  EXPECT_EQ(prob::normalcdf(0.0, 0.0, 1.0), 0.5);
  p = 0.5;
  EXPECT_NEAR(prob::normal_invcdf(p, 0.0, 1.0), 0.0, 1e-15);
}

TEST(TruncatedNormal, ScalarEdges) {
  rangen::clear_hooks();
  prob::set_seed(5);
  auto before = rangen::uniform_draws();
  EXPECT_NEAR(prob::gen_trunc_normal_scalar(1.0, 1.0, 0.0, 1.0), 1.0, 1e-12);
  EXPECT_EQ(rangen::uniform_draws() - before, 1u);
  EXPECT_NEAR(prob::gen_trunc_normal_scalar(10.0, 11.0), 6.3613409, 1e-7);
  // The remembered pair of normalcdf becomes the call's mean and sd.
  (void)prob::gen_trunc_normal_scalar(-1.0, 4.0, 2.0, 9.0);
  EXPECT_NEAR(prob::normalcdf(5.0), 0.8413447460685429, 2e-16);
  {
    ScriptedUniforms u({0.5f});
    EXPECT_NEAR(prob::gen_trunc_normal_scalar(1.0, 5.0, 3.0, 4.0), 3.0, 1e-14);
  }
  before = rangen::uniform_draws();
  testing::internal::CaptureStdout();
  util::Stop st = expect_stop([] { prob::gen_trunc_normal_scalar(2.0, 1.0); });
  testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string(st.what()).find("GEN_TRUNC_NORMAL: bound b ="), std::string::npos);
  st = expect_stop([] { prob::gen_trunc_normal_scalar(0.0, 1.0, 0.0, 0.0); });
  EXPECT_NE(std::string(st.what()).find("GEN_TRUNC_NORMAL: variance ="), std::string::npos);
  expect_stop([] { prob::gen_trunc_normal_scalar(std::nan(""), 1.0); });
  EXPECT_EQ(rangen::uniform_draws(), before);
}

TEST(TruncatedNormal, ScalarMomentsAndInfiniteBounds) {
  rangen::clear_hooks();
  prob::set_seed(77);
  const double a = -1.0, b = 2.0, m = 0.5, v = 2.25, sd = 1.5;
  const int n = 60000;
  double s = 0, s2 = 0;
  for (int k = 0; k < n; ++k) {
    const double x = prob::gen_trunc_normal_scalar(a, b, m, v);
    ASSERT_GE(x, a - 1e-12);
    ASSERT_LE(x, b + 1e-12);
    s += x;
    s2 += x * x;
  }
  const double al = (a - m) / sd, be = (b - m) / sd;
  const double z = prob::normalcdf(be, 0.0, 1.0) - prob::normalcdf(al, 0.0, 1.0);
  const double tmean = m + sd * (prob::normal(al) - prob::normal(be)) / z;
  const double mean = s / n, sdm = std::sqrt((s2 / n - mean * mean) / n);
  EXPECT_NEAR(mean, tmean, 5 * sdm);
  // One-sided truncation through an infinite bound.
  const double inf = std::numeric_limits<double>::infinity();
  s = 0;
  for (int k = 0; k < n; ++k) {
    const double x = prob::gen_trunc_normal_scalar(0.0, inf);
    ASSERT_GE(x, 0.0);
    s += x;
  }
  EXPECT_NEAR(s / n, std::sqrt(2.0 / M_PI), 5 * std::sqrt((1.0 - 2.0 / M_PI) / n));
}
