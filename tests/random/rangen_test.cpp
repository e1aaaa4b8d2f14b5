// Generator, seeding, uniform, normal, exponential and gamma deviates.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "random/rangen.hpp"
#include "rangen_support.hpp"

using rgtest::default_stream;
using rgtest::expect_stop;
using rgtest::ScriptedUniforms;
using i32 = rangen::i32;

namespace {

std::vector<i32> ints(int n) {
  std::vector<i32> v;
  for (int i = 0; i < n; ++i) v.push_back(rangen::ignlgi());
  return v;
}

// Values and uniform counts of n deviates.
template <class F>
void expect_sequence(F draw, const std::vector<float>& want, const std::vector<int>& counts) {
  for (std::size_t k = 0; k < want.size(); ++k) {
    const auto before = rangen::uniform_draws();
    const float v = draw();
    EXPECT_FLOAT_EQ(v, want[k]) << "deviate " << k + 1;
    EXPECT_EQ(static_cast<int>(rangen::uniform_draws() - before), counts[k]) << "deviate " << k + 1;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Generator

TEST(Generator, FirstDrawOfAFreshProgramSeedsWithTheDefaults) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = !rangen::qrgnin() && !rangen::rgnqsd() && rangen::getcgn() == 1;
        ok = ok && rangen::ignlgi() == 695163044 && rangen::qrgnin() && rangen::rgnqsd();
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Generator, SetsdBeforeInitialisationStops) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        try {
          rangen::setsd(1, 1);
        } catch (const util::Stop& s) {
          const bool ok = s.to_stderr &&
              std::strcmp(s.what(), " SETSD called before random number generator initialized") == 0 &&
              !rangen::qrgnin();
          std::exit(ok ? 0 : 2);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Generator, IntegerStreamsFromKnownStates) {
  default_stream();
  EXPECT_EQ(ints(3), (std::vector<i32>{695163044, 696626468, 1059541850}));
  rangen::setsd(1, 1);
  EXPECT_EQ(ints(3), (std::vector<i32>{2147482884, 2092764894, 1390461064}));
  rangen::setsd(12345, 12345);
  EXPECT_EQ(ints(3), (std::vector<i32>{2139113652, 953804932, 403745442}));
  i32 s1, s2;
  rangen::getsd(s1, s2);
  // Restarting at the initial seeds repeats the stream.
  rangen::initgn(-1);
  EXPECT_EQ(ints(3), (std::vector<i32>{2139113652, 953804932, 403745442}));
  i32 t1, t2;
  rangen::getsd(t1, t2);
  EXPECT_EQ(s1, t1);
  EXPECT_EQ(s2, t2);
}

TEST(Generator, MltmodWorkedValuesAndChecks) {
  EXPECT_EQ(rangen::mltmod(2082007225, 1, 2147483563), 2082007225);
  EXPECT_EQ(rangen::mltmod(40014, 1234567890, 2147483563), 1435150771);
  EXPECT_EQ(rangen::mltmod(2082007225, 1234567890, 2147483563), 1270879355);
  // Against 64-bit arithmetic over the branches (a below and above 2^15 and 2^30).
  const i32 m = 2147483399;
  for (i32 a : {1, 32767, 32768, 40692, 1494757890, 784306273, 2147483398}) {
    for (i32 s : {1, 2, 123456789, 2147483398}) {
      EXPECT_EQ(rangen::mltmod(a, s, m), static_cast<i32>((std::int64_t{a} * s) % m)) << a << " " << s;
    }
  }
  testing::internal::CaptureStdout();
  util::Stop st = expect_stop([] { rangen::mltmod(5, 0, 7); });
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(st.to_stderr);
  EXPECT_STREQ(st.what(), " A, M, S out of order in MLTMOD - ABORT!");
  EXPECT_NE(out.find("MLTMOD requires: 0 < A < M; 0 < S < M"), std::string::npos);
  testing::internal::CaptureStdout();
  expect_stop([] { rangen::mltmod(7, 3, 7); });
  testing::internal::GetCapturedStdout();
}

TEST(Generator, SetallDerivesTheVirtualGeneratorsAndRestoresTheCurrentOne) {
  default_stream();
  rangen::setcgn(2);
  i32 s1, s2;
  rangen::getsd(s1, s2);
  EXPECT_EQ(s1, 1270879355);
  EXPECT_EQ(s2, rangen::mltmod(784306273, 123456789, 2147483399));
  rangen::setall(1234567890, 123456789);
  EXPECT_EQ(rangen::getcgn(), 2);
  rangen::setcgn(32);
  EXPECT_EQ(rangen::getcgn(), 32);
  rangen::setcgn(1);
  // A seed out of range stops in mltmod when generator 2 is derived.
  testing::internal::CaptureStdout();
  EXPECT_STREQ(expect_stop([] { rangen::setall(0, 5); }).what(),
               " A, M, S out of order in MLTMOD - ABORT!");
  EXPECT_STREQ(expect_stop([] { rangen::setall(5, 0); }).what(),
               " A, M, S out of order in MLTMOD - ABORT!");
  EXPECT_STREQ(expect_stop([] { rangen::setall(2147483563, 5); }).what(),
               " A, M, S out of order in MLTMOD - ABORT!");
  testing::internal::GetCapturedStdout();
  rangen::setcgn(1);
}

TEST(Generator, GeneratorNumberAndRestartTypeAreChecked) {
  default_stream();
  testing::internal::CaptureStdout();
  util::Stop st = expect_stop([] { rangen::setcgn(0); });
  EXPECT_STREQ(st.what(), " Generator number out of range in SETCGN");
  expect_stop([] { rangen::setcgn(33); });
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Legal range is 1 to"), std::string::npos);
  testing::internal::CaptureStdout();
  st = expect_stop([] { rangen::initgn(2); });
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_STREQ(st.what(), "ISDTYP NOT IN RANGE");
  EXPECT_EQ(rangen::getcgn(), 1);
}

TEST(Generator, NextBlockAdvancesByTheBlockMultipliers) {
  default_stream();
  rangen::setsd(12345, 6789);
  (void)ints(5);
  rangen::initgn(0);  // back to the block start
  i32 s1, s2;
  rangen::getsd(s1, s2);
  EXPECT_EQ(s1, 12345);
  EXPECT_EQ(s2, 6789);
  rangen::initgn(1);
  rangen::getsd(s1, s2);
  EXPECT_EQ(s1, rangen::mltmod(1033780774, 12345, 2147483563));
  EXPECT_EQ(s2, rangen::mltmod(1494757890, 6789, 2147483399));
}

TEST(Generator, DegenerateStatesAndAntitheticValues) {
  default_stream();
  // Seed 0 keeps both components at 0: z = 0 maps to m1 - 1.
  rangen::setsd(0, 0);
  EXPECT_EQ(ints(3), (std::vector<i32>{2147483562, 2147483562, 2147483562}));
  EXPECT_EQ(rangen::ranf(), 1.0f - std::ldexp(1.0f, -24));
  // A first seed equal to m1 zeroes the first component at once.
  rangen::setsd(2147483563, 12345);
  const i32 s2 = static_cast<i32>((std::int64_t{40692} * 12345) % 2147483399);
  EXPECT_EQ(rangen::ignlgi(), 0 - s2 + 2147483562);
  EXPECT_EQ(rangen::ignlgi(), 0 - static_cast<i32>((std::int64_t{40692} * s2) % 2147483399) + 2147483562);
  rangen::setsd(12345, 12345);
  rangen::setant(true);
  EXPECT_EQ(ints(3), (std::vector<i32>{2147483563 - 2139113652, 2147483563 - 953804932,
                                       2147483563 - 403745442}));
  rangen::inrgcm();  // clears the antithetic flags
  rangen::initgn(-1);
  EXPECT_EQ(ints(1), (std::vector<i32>{2139113652}));
}

// ---------------------------------------------------------------------------
// Uniforms

TEST(Uniforms, RanfWorkedValuesAndRange) {
  default_stream();
  EXPECT_EQ(static_cast<double>(rangen::ranf()), 0.32371053099632263);
  rangen::setsd(1, 1);
  EXPECT_EQ(static_cast<double>(rangen::ranf()), 0.9999996423721313);
  // z = 1 gives 2^-31: second component one step ahead of the first.
  rangen::setsd(1, 1);
  const auto before = rangen::uniform_draws();
  for (int k = 0; k < 20000; ++k) {
    const float u = rangen::ranf();
    ASSERT_GT(u, 0.0f);
    ASSERT_LT(u, 1.0f);
  }
  EXPECT_EQ(rangen::uniform_draws() - before, 20000u);
}

TEST(Uniforms, GenunfAndIgnuin) {
  default_stream();
  auto before = rangen::uniform_draws();
  EXPECT_EQ(rangen::genunf(2.0f, 2.0f), 2.0f);
  EXPECT_EQ(rangen::uniform_draws() - before, 1u);
  {
    ScriptedUniforms u({1.0f - std::ldexp(1.0f, -24)});
    EXPECT_EQ(rangen::genunf(1.0f, 2.0f), 2.0f);
  }
  testing::internal::CaptureStdout();
  util::Stop st = expect_stop([] { rangen::genunf(3.0f, 2.0f); });
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(st.to_stderr);
  EXPECT_STREQ(st.what(), "LOW > High in GENUNF - Abort");

  before = rangen::uniform_draws();
  EXPECT_EQ(rangen::ignuin(5, 5), 5);
  EXPECT_EQ(rangen::uniform_draws(), before);
  // The whole range is accepted: the result is the integer draw minus one.
  default_stream();
  EXPECT_EQ(rangen::ignuin(0, 2147483560), 695163044 - 1);
  default_stream();
  EXPECT_EQ(rangen::ignuin(-3, 2), -3 + (695163044 - 1) % 6);
  for (int k = 0; k < 1000; ++k) {
    const i32 v = rangen::ignuin(-3, 2);
    ASSERT_GE(v, -3);
    ASSERT_LE(v, 2);
  }
  st = expect_stop([] { rangen::ignuin(0, 2147483562); });
  EXPECT_FALSE(st.to_stderr);
  EXPECT_NE(std::string(st.what()).find("( HIGH - LOW ) > 2,147,483,561 in IGNUIN"),
            std::string::npos);
  st = expect_stop([] { rangen::ignuin(-2147483647 - 1, 2147483647); });
  EXPECT_NE(std::string(st.what()).find("IGNUIN"), std::string::npos);
  st = expect_stop([] { rangen::ignuin(2, 1); });
  EXPECT_NE(std::string(st.what()).find("LOW > HIGH in IGNUIN"), std::string::npos);
}

TEST(Uniforms, PhraseSeeds) {
  EXPECT_EQ(rangen::lennob("ab  "), 2);
  EXPECT_EQ(rangen::lennob(""), 0);
  EXPECT_EQ(rangen::lennob("   "), 0);
  EXPECT_EQ(rangen::lennob("a\t"), 2);
  i32 s1, s2;
  rangen::phrtsd("", s1, s2);
  EXPECT_EQ(s1, 1234567890);
  EXPECT_EQ(s2, 123456789);
  rangen::phrtsd("   ", s1, s2);
  EXPECT_EQ(s1, 1234567890);
  rangen::phrtsd("a", s1, s2);
  EXPECT_EQ(s1, 92922513);
  EXPECT_EQ(s2, 123186256);
  rangen::phrtsd("abc", s1, s2);
  EXPECT_EQ(s1, 8241812);
  EXPECT_EQ(s2, 190815113);
  i32 t1, t2;
  rangen::phrtsd("abc ", t1, t2);
  EXPECT_EQ(t1, s1);
  EXPECT_EQ(t2, s2);
  rangen::phrtsd(" abc", t1, t2);
  EXPECT_NE(t1, s1);
  // '#' counts like 'a'; '!', '@', blank and unknown characters all count 63.
  rangen::phrtsd("#", t1, t2);
  rangen::phrtsd("a", s1, s2);
  EXPECT_EQ(t1, s1);
  EXPECT_EQ(t2, s2);
  i32 u1, u2;
  rangen::phrtsd("x!y", s1, s2);
  rangen::phrtsd("x@y", t1, t2);
  rangen::phrtsd("x~y", u1, u2);
  EXPECT_EQ(s1, t1);
  EXPECT_EQ(s1, u1);
  EXPECT_EQ(s2, u2);
}

// ---------------------------------------------------------------------------
// Normal and exponential deviates

TEST(NormalDeviate, WorkedSequences) {
  default_stream();
  expect_sequence(rangen::snorm, {0.8703275f, 0.8729238f, 1.9467938f, 0.9825295f, 0.35396457f},
                  {1, 1, 2, 1, 1});
  rangen::setsd(12345, 12345);
  expect_sequence(rangen::snorm, {-1.9790008f, 1.4534551f, 0.4456385f, -1.4237636f, 0.16211663f},
                  {1, 1, 1, 1, 1});
}

TEST(NormalDeviate, ScriptedEdges) {
  // 0.5 exactly: s = 0, u = 32, interval 31; fractional part 1 is accepted at once.
  {
    ScriptedUniforms u({0.5f});
    const float want = 1.862732f + (1.0f - 0.5847031f) * 0.7010474f;
    EXPECT_EQ(rangen::snorm(), want);
    EXPECT_EQ(u.next, 1u);
  }
  // Just above 0.5: negative, and in the first interval (the tail).
  {
    const float first = 0.5f + std::ldexp(1.0f, -24);
    ScriptedUniforms u({first, 0.9f});
    const float v = rangen::snorm();
    EXPECT_LT(v, -2.153875f);
    EXPECT_EQ(u.next, 2u);
  }
  // Smallest uniform: the tail doubles up to level 30, w = 0, and any
  // positive ustar accepts.
  {
    ScriptedUniforms u({std::ldexp(1.0f, -31), 0.25f});
    float aa = 2.153875f;
    const float d[] = {0.2636843f, 0.2425085f, 0.2255674f, 0.2116342f, 0.1999243f, 0.1899108f,
                       0.1812252f, 0.1736014f, 0.1668419f, 0.1607967f, 0.1553497f, 0.1504094f,
                       0.1459026f, 0.14177f,   0.1379632f, 0.1344418f, 0.1311722f, 0.128126f,
                       0.1252791f, 0.1226109f, 0.1201036f, 0.1177417f, 0.1155119f, 0.1134023f};
    for (float x : d) aa = aa + x;  // D(6) .. D(29)
    EXPECT_EQ(rangen::snorm(), aa + 0.0f);
    EXPECT_EQ(u.next, 2u);
  }
  // Centre with a fraction below T(i): the wedge steps take more uniforms.
  {
    // u = 0.25 -> 16.0 exactly: interval 16, ustar = 0 <= T(16).
    ScriptedUniforms u({0.25f, 0.5f, 0.9f, 0.1f, 0.8f});
    const float v = rangen::snorm();
    EXPECT_GT(v, 0.626099f);
    EXPECT_LT(v, 0.6744898f);
    EXPECT_GE(u.next, 3u);
  }
}

TEST(ExponentialDeviate, WorkedSequenceAndScriptedEdges) {
  default_stream();
  expect_sequence(rangen::sexpo, {0.9879893f, 0.99071515f, 0.7998647f, 0.13242221f, 0.6414397f},
                  {1, 1, 4, 1, 1});
  {
    ScriptedUniforms u({0.75f});
    EXPECT_EQ(rangen::sexpo(), 0.5f);
    EXPECT_EQ(u.next, 1u);
  }
  {
    ScriptedUniforms u({0.375f});
    EXPECT_EQ(rangen::sexpo(), 0.6931472f + 0.5f);
    EXPECT_EQ(u.next, 1u);
  }
  // An exact power of two leaves u = 1 above every table entry: the walk
  // stops at the last entry (seven further draws after the first ustar).
  {
    ScriptedUniforms u({0.5f, 0.9f, 0.8f, 0.7f, 0.3f, 0.6f, 0.5f, 0.4f, 0.35f, 0.01f});
    EXPECT_EQ(rangen::sexpo(), 0.6931472f + 0.3f * 0.6931472f);
    EXPECT_EQ(u.next, 9u);
  }
}

TEST(ExponentialDeviate, MomentsOverManyDraws) {
  rangen::clear_hooks();
  rangen::setsd(424242, 171717);
  const int n = 200000;
  double s = 0, s2 = 0;
  for (int k = 0; k < n; ++k) {
    const double e = rangen::sexpo();
    s += e;
    s2 += e * e;
  }
  const double mean = s / n, var = s2 / n - mean * mean;
  EXPECT_NEAR(mean, 1.0, 5 * std::sqrt(1.0 / n));
  EXPECT_NEAR(var, 1.0, 5 * std::sqrt(8.0 / n));  // var of e^2 is 20, of the variance ~ 8/n
}

TEST(NormalDeviate, MomentsOverManyDraws) {
  rangen::clear_hooks();
  rangen::setsd(98765, 4321);
  const int n = 200000;
  double s = 0, s2 = 0, s4 = 0;
  long beyond3 = 0;
  for (int k = 0; k < n; ++k) {
    const double z = rangen::snorm();
    s += z;
    s2 += z * z;
    s4 += z * z * z * z;
    if (std::fabs(z) > 3.0) ++beyond3;
  }
  const double mean = s / n;
  EXPECT_NEAR(mean, 0.0, 5 * std::sqrt(1.0 / n));
  EXPECT_NEAR(s2 / n, 1.0, 5 * std::sqrt(2.0 / n));
  EXPECT_NEAR(s4 / n, 3.0, 5 * std::sqrt(96.0 / n));
  const double p3 = 0.0026997960632601866;
  EXPECT_NEAR(static_cast<double>(beyond3) / n, p3, 5 * std::sqrt(p3 / n));
}

// ---------------------------------------------------------------------------
// Gamma and chi-square deviates

TEST(GammaDeviate, WorkedSequences) {
  default_stream();
  expect_sequence([] { return rangen::sgamma(2.0f); },
                  {2.7552967f, 2.7596083f, 4.8318276f, 2.944689f, 1.9648391f, 1.348494f},
                  {1, 1, 2, 1, 1, 2});
  default_stream();
  expect_sequence([] { return rangen::sgamma(10.0f); },
                  {12.371897f, 12.381031f, 16.447924f, 12.769701f, 10.6223135f, 9.112602f},
                  {1, 1, 2, 1, 1, 2});
}

TEST(GammaDeviate, CachedConstantsNeverChangeTheStream) {
  // The same draws of shape 2 whatever shape came before (0.5 resets the
  // first cache only; 3.0 and 20.0 fill both with other values).
  auto run = [](float before_shape) {
    rangen::clear_hooks();
    rangen::setsd(777, 888);
    (void)rangen::sgamma(before_shape);
    rangen::setsd(555, 666);
    std::vector<float> v;
    for (int k = 0; k < 3000; ++k) v.push_back(rangen::sgamma(2.0f));
    return v;
  };
  const std::vector<float> ref = run(2.0f);
  EXPECT_EQ(run(0.5f), ref);
  EXPECT_EQ(run(3.0f), ref);
  EXPECT_EQ(run(20.0f), ref);
}

TEST(GammaDeviate, SmallShapeScriptedPaths) {
  const float a = 0.5f;
  const float b0 = 1.0f + 0.3678794f * a;
  // p < 1: g = p^(1/a); an exponential of 0.5 (first uniform 0.75) is not
  // below g... then accept g.
  {
    ScriptedUniforms u({0.5f, 0.75f});
    const float p = 0.5f * b0;
    const float g = std::exp(std::log(p) / a);
    ASSERT_GE(0.5f, g);
    EXPECT_EQ(rangen::sgamma(a), g);
    EXPECT_EQ(u.next, 2u);
  }
  // The exponential inside takes the same guard: first uniform 0.25 (a power
  // of two) walks to the table end, 1 + 1 + 8 uniforms in all.
  {
    ScriptedUniforms u({0.5f, 0.25f, 0.9f, 0.8f, 0.7f, 0.6f, 0.5f, 0.4f, 0.3f, 0.2f, 0.1f});
    const float p = 0.5f * b0;
    const float g = std::exp(std::log(p) / a);
    EXPECT_EQ(rangen::sgamma(a), g);
    EXPECT_EQ(u.next, 10u);
  }
  // p exactly 1 takes the second branch.
  {
    float u1 = 1.0f / b0;
    for (int k = 0; k < 8 && u1 * b0 != 1.0f; ++k) u1 = std::nextafter(u1, 2.0f);
    ASSERT_EQ(u1 * b0, 1.0f);
    ScriptedUniforms u({u1, 0.75f});
    const float g = -std::log((b0 - 1.0f) / a);
    ASSERT_GE(0.5f, (1.0f - a) * std::log(g));
    EXPECT_EQ(rangen::sgamma(a), g);
    EXPECT_EQ(u.next, 2u);
  }
}

TEST(GammaDeviate, ShapeBoundariesAndMoments) {
  rangen::clear_hooks();
  rangen::setsd(13579, 24680);
  const float shapes[] = {0.2f, std::nextafter(1.0f, 0.0f), 1.0f, 3.686f,
                          std::nextafter(3.686f, 5.0f), 13.022f, std::nextafter(13.022f, 20.0f),
                          55.5f};
  for (float a : shapes) {
    const int n = 60000;
    double s = 0, s2 = 0;
    for (int k = 0; k < n; ++k) {
      const double g = rangen::sgamma(a);
      ASSERT_GE(g, 0.0);
      s += g;
      s2 += g * g;
    }
    const double mean = s / n, var = s2 / n - mean * mean;
    // Var of the sample variance of a gamma: (mu4 - var^2)/n, mu4 = 3a^2 + 6a.
    const double sd_var = std::sqrt((3.0 * a * a + 6.0 * a - a * a) / n);
    EXPECT_NEAR(mean, a, 5 * std::sqrt(a / n)) << "shape " << a;
    EXPECT_NEAR(var, a, 6 * sd_var) << "shape " << a;
  }
}

TEST(GammaDeviate, NonPositiveShapesAreRefused) {
  for (float a : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()}) {
    util::Stop st = expect_stop([a] { rangen::sgamma(a); });
    EXPECT_NE(std::string(st.what()).find("Shape of gamma deviate not positive"), std::string::npos);
  }
  default_stream();
  const auto before = rangen::uniform_draws();
  expect_stop([] { rangen::sgamma(0.0f); });
  EXPECT_EQ(rangen::uniform_draws(), before);
}

TEST(GammaDeviate, WrappersGengamAndGenchi) {
  default_stream();
  const float g = rangen::sgamma(3.0f);
  default_stream();
  EXPECT_EQ(rangen::gengam(2.0f, 3.0f), g / 2.0f);
  default_stream();
  EXPECT_EQ(rangen::genchi(6.0f), 2.0f * g);
  for (float df : {0.0f, -1.0f}) {
    testing::internal::CaptureStdout();
    util::Stop st = expect_stop([df] { rangen::genchi(df); });
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(st.to_stderr);
    EXPECT_STREQ(st.what(), "DF <= 0 in GENCHI - ABORT");
    EXPECT_NE(out.find("Value of DF:"), std::string::npos);
  }
}
