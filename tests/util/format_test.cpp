#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "util/format.hpp"
#include "util/stop.hpp"

using util::FmtArgs;
using util::format;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Same descriptor through format() and through the matching put_ field.
std::string one_field(const std::string& desc, double v) {
  return format("(" + desc + ")", FmtArgs(v));
}
std::string put_field(const std::string& desc, double v) {
  char c = desc[0];
  std::size_t i = 1;
  if (desc.compare(0, 2, "ES") == 0) return one_field(desc, v);
  const int w = std::atoi(desc.c_str() + i);
  const std::size_t dot = desc.find('.');
  const int d = std::atoi(desc.c_str() + dot + 1);
  const std::size_t ep = desc.find('E', dot);
  const int e = ep == std::string::npos ? -1 : std::atoi(desc.c_str() + ep + 1);
  std::string s;
  if (c == 'F') util::put_f(s, v, w, d);
  if (c == 'E') util::put_e(s, v, w, d, e);
  if (c == 'G') util::put_g(s, v, w, d, e);
  return s;
}

// Values as a decimal data file holds them.
std::vector<double> seq(int n) {
  std::vector<double> v;
  char b[64];
  for (int k = 0; k < n; ++k) {
    std::snprintf(b, sizeof b, "%.6f", (k + 1) * 1.234567 - 3.1 * k * k);
    v.push_back(std::strtod(b, nullptr));
  }
  return v;
}

std::string stop_text(const std::function<void()>& f) {
  try {
    f();
  } catch (const util::Stop& s) {
    return s.what();
  }
  return "(no stop)";
}

}  // namespace

// Expected fields are the output of a Fortran run-time library, except the
// four marked: there the value lies just below a rounding edge (9.9995 is
// 9.99949999... in binary, 0.95 is 0.94999...), and the standard rule, which
// rounds the value actually held, gives F editing of the smaller number.
TEST(Format, RealFieldsMatchGolden) {
  struct Case {
    const char* desc;
    double v;
    const char* want;
  };
  const Case cases[] = {
      {"F9.6", 0e0, " 0.000000"},
      {"F9.6", -0e0, "-0.000000"},
      {"F9.6", 0.125e0, " 0.125000"},
      {"F9.6", 123456.789e0, "*********"},
      {"F9.6", kNaN, "      NaN"},
      {"F9.6", -kInf, "-Infinity"},
      {"F9.6", -1e-9, "-0.000000"},
      {"F9.6", -0.0004e0, "-0.000400"},
      {"F9.6", 1e-1, " 0.100000"},
      {"F12.4", -123456.789e0, "-123456.7890"},
      {"F12.4", 1e10, "************"},
      {"F12.4", 1e300, "************"},
      {"F12.4", 0.00049999e0, "      0.0005"},
      {"F5.2", 0.125e0, " 0.12"},
      {"F5.2", 2.5e0, " 2.50"},
      {"F5.2", 99.995e0, "*****"},
      {"F5.2", kNaN, "  NaN"},
      {"F5.2", -kInf, " -Inf"},
      {"F5.2", -0.0004e0, "-0.00"},
      {"F5.2", -9.99999e0, "*****"},
      {"F4.1", 99.995e0, "****"},
      {"F4.1", kInf, " Inf"},
      {"F4.1", 0.05e0, " 0.1"},
      {"F4.1", 9.5e0, " 9.5"},
      {"F4.1", -0.0004e0, "-0.0"},
      {"F3.0", -1e0, "-1."},
      {"F3.0", 0.5e0, " 0."},
      {"F3.0", 2.5e0, " 2."},
      {"F3.0", kInf, "Inf"},
      {"F3.0", 0.95e0, " 1."},
      {"F3.0", -0.0004e0, "-0."},
      {"F7.1", kNaN, "    NaN"},
      {"F7.1", -kInf, "   -Inf"},
      {"F7.1", 999999.5e0, "*******"},
      {"E12.4", 0e0, "  0.0000E+00"},
      {"E12.4", -0e0, " -0.0000E+00"},
      {"E12.4", 0.5e0, "  0.5000E+00"},
      {"E12.4", 99999.5e0, "  0.1000E+06"},
      {"E12.4", 1e100, "  0.1000+101"},
      {"E12.4", 1e-100, "  0.1000E-99"},
      {"E12.4", 1e300, "  0.1000+301"},
      {"E12.4", 4.9406564584124654e-324, "  0.4941-323"},
      {"E12.4", 1.7976931348623157e308, "  0.1798+309"},
      {"E12.4", -kInf, "   -Infinity"},
      {"E10.4", -1e0, "-.1000E+01"},
      {"E10.4", 0.5e0, "0.5000E+00"},
      {"E10.4", 1e-100, "0.1000E-99"},
      {"E10.4", -0.0004e0, "-.4000E-03"},
      {"E9.4", 0.5e0, ".5000E+00"},
      {"E9.4", 1e10, ".1000E+11"},
      {"E8.2", -1e0, "-.10E+01"},
      {"E8.2", 1e-100, "0.10E-99"},
      {"E8.2", 9.9995e0, "0.10E+02"},
      {"E12.4E3", 0e0, " 0.0000E+000"},
      {"E12.4E3", 1e-100, " 0.1000E-099"},
      {"E12.4E3", 1e300, " 0.1000E+301"},
      {"E10.3E1", 123456.789e0, "  0.123E+6"},
      {"E10.3E1", 1e10, "**********"},
      {"E10.3E1", 1e-10, "  0.100E-9"},
      {"ES12.4", 0e0, "  0.0000E+00"},
      {"ES12.4", 1e-100, "  1.0000-100"},
      {"ES12.4", 9.9995e0, "  9.9995E+00"},
      {"ES12.4", 12345.6789e0, "  1.2346E+04"},
      {"ES12.4", -2.71828e0, " -2.7183E+00"},
      {"ES9.0", 9.5e0, "   1.E+01"},
      {"ES9.0", 1234.5e0, "   1.E+03"},
      {"G12.5", 0e0, "  0.0000    "},
      {"G12.5", -0e0, " -0.0000    "},
      {"G12.5", 0.099995e0, " 0.99995E-01"},
      {"G12.5", 0.0999949e0, " 0.99995E-01"},
      {"G12.5", 9999.95e0, "  10000.    "},
      {"G12.5", 99999.5e0, " 0.10000E+06"},
      {"G12.5", 99999.4e0, "  99999.    "},
      {"G12.5", 1e5, " 0.10000E+06"},
      {"G12.5", kNaN, "         NaN"},
      {"G12.5", -kInf, "   -Infinity"},
      {"G12.5", -1e-9, "-0.10000E-08"},
      {"G12.5", 0.95e0, " 0.95000    "},
      {"G12.5", 1e-1, " 0.10000    "},
      {"G12.4", 0e0, "   0.000    "},
      {"G12.4", 0.099995e0, "  0.1000    "},
      {"G12.4", 0.0999949e0, "  0.9999E-01"},
      {"G12.4", 9999.95e0, "  0.1000E+05"},
      {"G12.4", 99999.5e0, "  0.1000E+06"},
      {"G12.4", 1e100, "  0.1000+101"},
      {"G12.4", 9.9995e0, "   9.999    "},  // standard rule
      {"G12.4", 1e5, "  0.1000E+06"},
      {"G12.4", -1e-9, " -0.1000E-08"},
      {"G12.4", 0.05e0, "  0.5000E-01"},
      {"G12.4", 0.95e0, "  0.9500    "},
      {"G12.4", 9.5e0, "   9.500    "},
      {"G12.4", 1234.5e0, "   1234.    "},
      {"G10.3", 0.099995e0, " 0.100    "},
      {"G10.3", 9999.95e0, " 0.100E+05"},
      {"G10.3", -123456.789e0, "-0.123E+06"},
      {"G10.3", 9.9995e0, "  10.0    "},
      {"G10.3", 999999.5e0, " 0.100E+07"},
      {"G12.4E3", 0e0, "  0.000     "},
      {"G12.4E3", 0.099995e0, " 0.1000     "},
      {"G12.4E3", 9999.95e0, " 0.1000E+005"},
      {"G12.4E3", 1e-100, " 0.1000E-099"},
      {"G8.1", 0e0, "  0.    "},
      {"G8.1", 1e-5, " 0.1E-04"},
      {"G8.1", 0.05e0, " 0.5E-01"},
      {"G8.1", 0.95e0, " 0.9    "},  // standard rule
      {"G8.1", 9.5e0, " 0.1E+02"},
      {"G8.1", 95e0, " 0.1E+03"},
      {"G10.1", 2.5e0, "    2.    "},
      {"G10.1", 0.95e0, "   0.9    "},  // standard rule
      {"G10.1", 9.5e0, "   0.1E+02"},
      {"G7.2", 0.099995e0, ".10    "},
      {"G7.2", 123456.789e0, ".12E+06"},
      {"G7.2", 9.5e0, "9.5    "},
      {"G7.2", -9.99999e0, "*******"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(one_field(c.desc, c.v), c.want) << c.desc << " of " << c.v;
    EXPECT_EQ(put_field(c.desc, c.v), c.want) << c.desc << " of " << c.v;
  }
}

TEST(Format, SinglePrecisionItemsAndIntegers) {
  struct FCase {
    const char* desc;
    float v;
    const char* want;
  };
  const FCase fcases[] = {
      {"F20.15", 0.1f, "   0.100000001490116"},
      {"F20.15", 3.4028235e38f, "********************"},
      {"F20.15", 1.17549435e-38f, "   0.000000000000000"},
      {"F20.15", 16777217.0f, "********************"},
      {"F20.15", 0.333333343f, "   0.333333343267441"},
      {"F20.15", 9999.95f, "9999.950195312500000"},
      {"F20.15", 0.099995f, "   0.099995002150536"},
      {"G12.5", 0.1f, " 0.10000    "},
      {"G12.5", 3.4028235e38f, " 0.34028E+39"},
      {"G12.5", 1.17549435e-38f, " 0.11755E-37"},
      {"G12.5", 16777217.0f, " 0.16777E+08"},
      {"G12.5", 0.333333343f, " 0.33333    "},
      {"G12.5", 9999.95f, "  10000.    "},
      {"G12.5", 0.099995f, " 0.99995E-01"},
      {"G15.8", 0.1f, " 0.10000000    "},
      {"G15.8", 3.4028235e38f, " 0.34028235E+39"},
      {"G15.8", 1.17549435e-38f, " 0.11754944E-37"},
      {"G15.8", 16777217.0f, "  16777216.    "},
      {"G15.8", 0.333333343f, " 0.33333334    "},
      {"G15.8", 9999.95f, "  9999.9502    "},
      {"G15.8", 0.099995f, " 0.99995002E-01"},
      {"E15.8", 0.1f, " 0.10000000E+00"},
      {"E15.8", 3.4028235e38f, " 0.34028235E+39"},
      {"E15.8", 1.17549435e-38f, " 0.11754944E-37"},
      {"E15.8", 16777217.0f, " 0.16777216E+08"},
      {"E15.8", 0.333333343f, " 0.33333334E+00"},
      {"E15.8", 9999.95f, " 0.99999502E+04"},
      {"E15.8", 0.099995f, " 0.99995002E-01"},
  };
  for (const FCase& c : fcases)
    EXPECT_EQ(format(std::string("(") + c.desc + ")", FmtArgs(c.v)), c.want) << c.desc << " of " << c.v;

  struct ICase {
    const char* desc;
    std::int64_t v;
    const char* want;
  };
  const ICase icases[] = {
      {"I5", 0, "    0"},
      {"I5", -7, "   -7"},
      {"I5", 123, "  123"},
      {"I5", -123, " -123"},
      {"I5", 99999, "99999"},
      {"I5", INT64_C(-2147483648), "*****"},
      {"I3", 0, "  0"},
      {"I3", -7, " -7"},
      {"I3", 123, "123"},
      {"I3", -123, "***"},
      {"I3", 99999, "***"},
      {"I3", INT64_C(-2147483648), "***"},
      {"I8.5", 0, "   00000"},
      {"I8.5", -7, "  -00007"},
      {"I8.5", 123, "   00123"},
      {"I8.5", -123, "  -00123"},
      {"I8.5", 99999, "   99999"},
      {"I8.5", INT64_C(-2147483648), "********"},
      {"I3.0", 0, "   "},
      {"I3.0", -7, " -7"},
      {"I3.0", 123, "123"},
      {"I3.0", -123, "***"},
      {"I3.0", 99999, "***"},
      {"I3.0", INT64_C(-2147483648), "***"},
      {"I0", 0, "0"},
      {"I0", -7, "-7"},
      {"I0", 123, "123"},
      {"I0", -123, "-123"},
      {"I0", 99999, "99999"},
      {"I0", INT64_C(-2147483648), "-2147483648"},
      {"I2.2", 0, "00"},
      {"I2.2", -7, "**"},
      {"I2.2", 123, "**"},
      {"I2.2", -123, "**"},
      {"I2.2", 99999, "**"},
      {"I2.2", INT64_C(-2147483648), "**"},
  };
  for (const ICase& c : icases)
    EXPECT_EQ(format(std::string("(") + c.desc + ")", FmtArgs(c.v)), c.want) << c.desc << " of " << c.v;
  std::string s;
  util::put_i(s, INT64_MIN, 20);
  EXPECT_EQ(s, "-9223372036854775808");
}

TEST(Format, ReversionAndRecords) {
  const auto v = seq(23);
  FmtArgs a;
  a.add(std::span<const double>(v));
  EXPECT_EQ(format("(10F12.4)", a),
            "      1.2346     -0.6309     -8.6963    -22.9617    -43.4272    -70.0926   -102.9580   -142.0235   -187.2889   -238.7543\n"
            "   -296.4198   -360.2852   -430.3506   -506.6161   -589.0815   -677.7469   -772.6124   -873.6778   -980.9432  -1094.4087\n"
            "  -1214.0741  -1339.9395  -1472.0050");
  FmtArgs b("name", 3);
  b.add(std::span<const double>(v.data(), 10));
  b.add("b").add(4).add(v[0]).add(v[1]);
  EXPECT_EQ(format("(a,i8,10f12.4)", b),
            "name       3      1.2346     -0.6309     -8.6963    -22.9617    -43.4272    -70.0926   -102.9580   -142.0235   -187.2889   -238.7543\n"
            "b       4      1.2346     -0.6309");
  // "/" before the final parenthesis: an empty line after each full line.
  const std::string ten = "   1.235     -0.6309      -8.696      -22.96      -43.43      -70.09      -103.0      -142.0      -187.3      -238.8    ";
  FmtArgs c;
  c.add(std::span<const double>(v.data(), 10));
  EXPECT_EQ(format("(10g12.4/)", c), ten + "\n");
  c.add(v[10]).add(v[11]);
  EXPECT_EQ(format("(10g12.4/)", c), ten + "\n\n  -296.4      -360.3    ");
  EXPECT_EQ(format("(10g12.4/)", FmtArgs(v[0], v[1], v[2])), "   1.235     -0.6309      -8.696    ");
  EXPECT_EQ(format("(20g12.5)", FmtArgs(v[0], v[1], v[2])), "  1.2346    -0.63087     -8.6963    ");
  FmtArgs d;
  d.add(std::span<const double>(v.data(), 8));
  EXPECT_EQ(format("(3(f8.3,1x))", d), "   1.235   -0.631   -8.696\n -22.962  -43.427  -70.093\n-102.958 -142.023");
  // Reversion goes to the last top-level group, with its repeat count.
  EXPECT_EQ(format("(2(i2,1x),f5.1)", FmtArgs(1, 2, 3.5, 4, 5, 6.5, 7)), " 1  2   3.5\n 4  5   6.5\n 7");
  EXPECT_EQ(format("(i2,2(i3,f5.1),i4)", FmtArgs(1, 2, 3.0, 4, 5.0, 6, 7, 8.0, 9, 10.0, 11, 12)),
            " 1  2  3.0  4  5.0   6\n  7  8.0  9 10.0  11\n 12");
  EXPECT_EQ(format("(a,2(1x,i2,(f6.2)))", FmtArgs("x", 1, 1.5, 2, 2.5, 3, 3.5)), "x  1  1.50  2  2.50\n  3  3.50");
  EXPECT_EQ(format("(3(i2))", FmtArgs(0, 1, 2, 3, 4, 5, 6)), " 0 1 2\n 3 4 5\n 6");
  EXPECT_EQ(format("(2(a,i1))", FmtArgs("a", 1, "b", 2, "c", 3)), "a1b2\nc3");
  EXPECT_EQ(format("(1x,i2/1x,i3)", FmtArgs(1, 2, 3, 4)), "  1\n   2\n  3\n   4");
  EXPECT_EQ(format("(i5.3, 2/ , i2)", FmtArgs(7, 8)), "  007\n\n 8");
  EXPECT_EQ(format("(i3,/)", FmtArgs(1, 2)), "  1\n\n  2\n");
}

TEST(Format, PositionsLiteralsAndTexts) {
  EXPECT_EQ(format("(a,t3,a)", FmtArgs("hello", "XY")), "heXYo");  // T overwrites
  EXPECT_EQ(format("(a,tl2,a)", FmtArgs("hello", "XY")), "helXY");
  EXPECT_EQ(format("(t10,a,t2,a)", FmtArgs("abc", "Z")), " Z       abc");
  EXPECT_EQ(format("(f10.2,t3,i2)", FmtArgs(123456.789, 99)), " 199456.79");
  EXPECT_EQ(format("(a,tr3,a)", FmtArgs("ab", "cd")), "ab   cd");
  EXPECT_EQ(format("(i3,5x,i3)", FmtArgs(1, 2)), "  1       2");
  EXPECT_EQ(format("(3x,a)", FmtArgs("q")), "   q");
  EXPECT_EQ(format("(5x)", FmtArgs()), "");  // skipped columns alone write nothing
  EXPECT_EQ(format("(a,2x,a)", FmtArgs("trailing", "")), "trailing  ");
  EXPECT_EQ(format("('x=',i3,' y=',f6.2)", FmtArgs(5, 2.125)), "x=  5 y=  2.12");
  EXPECT_EQ(format("(\"it''s\",'it''s')", FmtArgs()), "it''sit's");
  EXPECT_EQ(format("('a','b')", FmtArgs()), "ab");
  EXPECT_EQ(format("(i3)", FmtArgs()), "");
  EXPECT_EQ(format("('[',a5,']')", FmtArgs("abcdefg")), "[abcde]");
  EXPECT_EQ(format("('[',a5,']')", FmtArgs("ab")), "[   ab]");
  EXPECT_EQ(format("(a10,a)", FmtArgs("abc", "d")), "       abcd");
  EXPECT_EQ(format("(i4,:,' sep ')", FmtArgs(1)), "   1");
  EXPECT_EQ(format("(i4,' sep ')", FmtArgs(1)), "   1 sep ");
  EXPECT_EQ(format("(2I3,F6.2)", FmtArgs(1, 2, 3.25)), "  1  2  3.25");
  EXPECT_EQ(format("(es12.4e3)", FmtArgs(12345.678, -1e-200)), " 1.2346E+004\n-1.0000E-200");
  EXPECT_EQ(format("(g12.4,i5)", FmtArgs(42, 1)), "          42    1");
  EXPECT_EQ(format("(f6.2,a)", FmtArgs(-0.001, "|")), " -0.00|");
  EXPECT_EQ(format("(f9.6)", FmtArgs(-0.0f)), "-0.000000");
  EXPECT_EQ(util::formatv("( A , 1X , I2 )", "n", 5), "n  5");
}

TEST(Format, MisuseStops) {
  auto msg = [](const char* f, const FmtArgs& a) { return stop_text([&] { format(f, a); }); };
  EXPECT_NE(msg("(i5)", FmtArgs(1.5)).find("real item under I"), std::string::npos);
  EXPECT_NE(msg("(f8.2)", FmtArgs(3)).find("integer item under F"), std::string::npos);
  EXPECT_NE(msg("(e12.4)", FmtArgs("x")).find("text item under E"), std::string::npos);
  EXPECT_NE(msg("(a)", FmtArgs(2.0)).find("real item under A"), std::string::npos);
  EXPECT_NE(msg("(i5)", FmtArgs(1.5)).find("(i5)"), std::string::npos);  // names the format
  const char* bad[] = {"i5", "(i5", "(f8)", "(i)", "(q5)", "(e8.0)", "(0i3)", "('abc)", "(i5))", "(t0,i2)"};
  for (const char* f : bad) EXPECT_NE(msg(f, FmtArgs(1)).find("format error"), std::string::npos) << f;
  // Items left over with no data descriptor to take them.
  EXPECT_NE(msg("('x')", FmtArgs(1)).find("format error"), std::string::npos);
}

TEST(Format, FreeFormat) {
  EXPECT_EQ(util::freev("Data record length = ", 12), " Data record length =  12");
  EXPECT_EQ(util::freev(0.1, 0.1f, 1.0 / 3, 1.0f / 3, 1e20, -2.5f, 100.0), " 0.1 0.1 0.3333333333333333 0.33333334 1e+20 -2.5 100");
  EXPECT_EQ(util::freev(kNaN, -kInf, std::int64_t{-9000000000}), " NaN -Infinity -9000000000");
  EXPECT_EQ(util::freev(), "");
  EXPECT_EQ(util::freev(std::vector<int>(3).size(), 7u), " 3 7");
  // Shortest text that reads back to the same value, for either width.
  std::mt19937_64 g(7);
  for (int k = 0; k < 2000; ++k) {
    const double x = std::ldexp(static_cast<double>(g() >> 11), static_cast<int>(g() % 120) - 90);
    const float f = static_cast<float>(x);
    const std::string sd = util::freev(x), sf = util::freev(f);
    double bx = 0;
    float bf = 0;
    std::from_chars(sd.data() + 1, sd.data() + sd.size(), bx);
    std::from_chars(sf.data() + 1, sf.data() + sf.size(), bf);
    ASSERT_EQ(bx, x) << sd;
    ASSERT_EQ(bf, f) << sf;
  }
}
