// Fields of the files that are read back: values of ordinary size exactly as
// under Iw and Fw.d; values too large, or too small to show a digit, in a form
// that reads back, always with a blank before them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "util/format.hpp"

namespace {

std::string f_field(double v, int w, int d) {
  std::string s;
  util::put_f_field(s, v, w, d);
  return s;
}
std::string i_field(long long v, int w) {
  std::string s;
  util::put_i_field(s, v, w);
  return s;
}
std::string f_plain(double v, int w, int d) {
  std::string s;
  util::put_f(s, v, w, d);
  return s;
}

TEST(ReadBackField, WorkedValues) {
  struct Case {
    double v;
    int w, d;
    const char* want;
  };
  const Case cases[] = {
      // As under Fw.d.
      {762403.9440156977, 12, 4, " 762403.9440"},
      {0.6616, 12, 4, "      0.6616"},
      {-0.000067, 15, 6, "      -0.000067"},
      {0.0, 15, 6, "       0.000000"},
      {-0.0, 15, 6, "      -0.000000"},
      {0.00007, 12, 4, "      0.0001"},  // one digit still reads back as a value
      // Filling the field would join the number before it: exponent form.
      {1569770.0952, 12, 4, " 1.56977E+06"},
      {-1234567.123456, 15, 6, " -1.2345671E+06"},
      {1e30, 15, 6, " 1.00000000E+30"},
      {-1e30, 12, 4, " -1.0000E+30"},
      {1e30, 18, 12, " 1.00000000000E+30"},
      // Too small to show a digit: exponent form rather than zero.
      {1e-30, 15, 6, " 1.00000000E-30"},
      {-4.4e-7, 15, 6, " -4.4000000E-07"},
      {3e-5, 12, 4, " 3.00000E-05"},
      {1.25e-300, 15, 6, " 1.2500000E-300"},
      {4.9e-324, 12, 4, " 4.9407E-324"},
      // Not numbers keep their spelling.
      {std::numeric_limits<double>::quiet_NaN(), 12, 4, "         NaN"},
      {-std::numeric_limits<double>::infinity(), 12, 4, "   -Infinity"},
      {std::numeric_limits<double>::infinity(), 8, 4, " Infinity"},
  };
  for (const Case& c : cases) EXPECT_EQ(f_field(c.v, c.w, c.d), c.want) << c.v << " F" << c.w << "." << c.d;

  // A width too narrow for any exponent form is widened.
  EXPECT_EQ(f_field(123456.0, 5, 1), " 1E+05");
  EXPECT_EQ(f_field(-1e-9, 4, 2), " -1E-09");
}

TEST(ReadBackField, Integers) {
  struct Case {
    long long v;
    int w;
    const char* want;
  };
  const Case cases[] = {
      {1, 3, "  1"},        {12, 3, " 12"},         {123, 3, " 123"},  {-12, 3, " -12"},
      {-1, 3, " -1"},       {1234567, 8, " 1234567"}, {12345678, 8, " 12345678"},
      {123456789012LL, 10, " 123456789012"},
  };
  for (const Case& c : cases) EXPECT_EQ(i_field(c.v, c.w), c.want) << c.v << " I" << c.w;
}

// Over many magnitudes and the widths of the result files: the same text as
// Fw.d whenever that leaves a blank and shows a digit; otherwise a field of
// the same width that starts with a blank and reads back to the value within
// its digits.
TEST(ReadBackField, EveryMagnitudeReadsBack) {
  const int widths[][2] = {{15, 6}, {14, 6}, {12, 4}, {18, 12}, {12, 8}};
  for (const auto& wd : widths) {
    const int w = wd[0], d = wd[1];
    for (int e = -30; e <= 30; ++e)
      for (double m : {1.0, 1.23456789, 9.87654321, -3.14159265, -9.99999999}) {
        const double v = m * std::pow(10.0, e);
        const std::string s = f_field(v, w, d);
        SCOPED_TRACE(testing::Message() << v << " F" << w << "." << d << " [" << s << "]");
        ASSERT_GE(s.size(), static_cast<std::size_t>(w));
        EXPECT_EQ(s[0], ' ');
        const double back = std::strtod(s.c_str(), nullptr);
        EXPECT_NE(back, 0.0);
        EXPECT_EQ(std::signbit(back), std::signbit(v));
        const std::string plain = f_plain(v, w, d);
        if (plain[0] == ' ' && plain.find_first_of("123456789") != std::string::npos) {
          EXPECT_EQ(s, plain);
          EXPECT_LE(std::fabs(back - v), 0.5000001 * std::pow(10.0, -d));
        } else {
          EXPECT_EQ(s.size(), static_cast<std::size_t>(w));
          EXPECT_EQ(s.find_first_of("E"), s.size() - 4);
          EXPECT_LE(std::fabs(back - v), 1e-4 * std::fabs(v));
        }
      }
  }
}

}  // namespace
