// Normal and multivariate normal deviates of the generator library.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "random/rangen.hpp"
#include "rangen_support.hpp"

using rangen::i32;
using rgtest::expect_stop;
using rgtest::ScriptedNormals;

TEST(LibraryNormal, GennorScalesAndShifts) {
  {
    ScriptedNormals z({1.5f, -0.25f});
    EXPECT_EQ(rangen::gennor(3.0f, 2.0f), 6.0f);
    EXPECT_EQ(rangen::gennor(1.0f, -4.0f), 2.0f);  // a negative sd mirrors
  }
  rgtest::default_stream();
  const auto before = rangen::uniform_draws();
  EXPECT_EQ(rangen::gennor(7.0f, 0.0f), 7.0f);
  EXPECT_EQ(rangen::uniform_draws() - before, 1u);  // still draws
}

TEST(LibraryNormal, SdotStridesAndUnrolling) {
  const float x[] = {1, 2, 3, 4, 5, 6, 7};
  const float y[] = {7, 6, 5, 4, 3, 2, 1};
  EXPECT_EQ(rangen::sdot(0, x, 1, y, 1), 0.0f);
  EXPECT_EQ(rangen::sdot(7, x, 1, y, 1), 7 + 12 + 15 + 16 + 15 + 12 + 7);
  EXPECT_EQ(rangen::sdot(3, x, -1, y, 1), 3 * 7 + 2 * 6 + 1 * 5);
  EXPECT_EQ(rangen::sdot(3, x, 2, y, 3), 1 * 7 + 3 * 4 + 5 * 1);
}

TEST(LibraryNormal, SpofaFactorsAndReportsTheFailingColumn) {
  float a[4] = {4, 2, 2, 5};  // column-major 2 by 2
  i32 info = -1;
  rangen::spofa(a, 2, 2, info);
  EXPECT_EQ(info, 0);
  EXPECT_EQ(a[0], 2.0f);
  EXPECT_EQ(a[2], 1.0f);
  EXPECT_EQ(a[3], 2.0f);
  EXPECT_EQ(a[1], 2.0f);  // strict lower triangle untouched
  float z[1] = {0};
  rangen::spofa(z, 1, 1, info);
  EXPECT_EQ(info, 1);
  float b[4] = {1, 2, 2, 1};
  rangen::spofa(b, 2, 2, info);
  EXPECT_EQ(info, 2);
  EXPECT_EQ(b[2], 2.0f);  // t computed for column 2
  EXPECT_EQ(b[3], 1.0f);  // diagonal unchanged
}

TEST(LibraryNormal, SetgmnAndGenmn) {
  util::vec1<float> mean(1);
  mean(1) = 3.0f;
  util::mat1<float> c1(1, 1);
  c1(1, 1) = 4.0f;
  util::vec1<float> parm1(3);
  rangen::setgmn(mean, c1, 1, parm1);
  EXPECT_EQ(parm1(1), 1.0f);
  EXPECT_EQ(parm1(2), 3.0f);
  EXPECT_EQ(parm1(3), 2.0f);

  util::vec1<float> m2(2);
  m2(1) = 10.0f;
  m2(2) = -1.0f;
  util::mat1<float> c2(2, 2);
  c2(1, 1) = 4;
  c2(1, 2) = c2(2, 1) = 2;
  c2(2, 2) = 5;
  util::vec1<float> parm(6);
  rangen::setgmn(m2, c2, 2, parm);
  const float want[] = {2, 10, -1, 2, 1, 2};
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(parm(i), want[i - 1]) << i;
  EXPECT_EQ(c2(2, 1), 2.0f);
  util::vec1<float> x(2), work(2);
  {
    ScriptedNormals z({0.5f, -1.25f});
    rangen::genmn(parm, x, work);
  }
  EXPECT_EQ(x(1), 2.0f * 0.5f + 10.0f);
  EXPECT_EQ(x(2), 0.5f + 2.0f * -1.25f + -1.0f);
  EXPECT_EQ(work(2), -1.25f);
  // genmtn: the same from its own parameter vector.
  c2(1, 1) = 4;
  c2(1, 2) = 2;
  c2(2, 2) = 5;
  {
    ScriptedNormals z({0.5f, -1.25f});
    util::vec1<float> y(2);
    rangen::genmtn(m2, c2, 2, y);
    EXPECT_EQ(y(1), x(1));
    EXPECT_EQ(y(2), x(2));
    EXPECT_EQ(z.next, 2u);
  }
}

TEST(LibraryNormal, SetgmnStops) {
  util::vec1<float> m(2);
  util::mat1<float> c(2, 2);
  c(1, 1) = c(2, 2) = 1;
  c(1, 2) = c(2, 1) = 2;
  util::vec1<float> parm(6);
  testing::internal::CaptureStdout();
  util::Stop st = expect_stop([&] { rangen::setgmn(m, c, 2, parm); });
  EXPECT_STREQ(st.what(), " COVM not positive definite in SETGMN");
  EXPECT_TRUE(st.to_stderr);
  st = expect_stop([&] { rangen::setgmn(m, c, 0, parm); });
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_STREQ(st.what(), "P nonpositive in SETGMN");
  EXPECT_NE(out.find("Value of P:"), std::string::npos);
}
