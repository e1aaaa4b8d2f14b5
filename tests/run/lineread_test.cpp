#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "run/lineread.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace {

using textop::Words;

TEST(LineReader, SkipsCommentsKeepsBlankLinesAndSignalsEnd) {
  auto in = util::TextIn::from_text(
      "# first comment\n"
      "   \t# indented comment\n"
      "MCMC_CHAIN:\n"
      "\n"
      "   \n"
      "  5   y\n"
      "6\n");
  Words w;
  ASSERT_TRUE(textop::readline(in, w));
  EXPECT_EQ(w.n, 1);
  EXPECT_EQ(w.word(1), "MCMC_CHAIN:");
  ASSERT_TRUE(textop::readline(in, w));
  EXPECT_EQ(w.n, 0);  // empty line
  ASSERT_TRUE(textop::readline(in, w));
  EXPECT_EQ(w.n, 0);  // blanks only
  ASSERT_TRUE(textop::readline(in, w));
  ASSERT_EQ(w.n, 2);
  EXPECT_EQ(w.word(1), "5");
  EXPECT_EQ(w.word(2), "y");
  ASSERT_TRUE(textop::readline(in, w));
  ASSERT_EQ(w.n, 1);
  EXPECT_EQ(w.word(1), "6");
  EXPECT_EQ(w.word(2), "");  // nothing is left over from the line before
  EXPECT_FALSE(textop::readline(in, w));
  EXPECT_EQ(w.n, -1);
  EXPECT_EQ(w.word(1), "");  // the end of file carries no words
  EXPECT_FALSE(textop::readline(in, w));
  EXPECT_EQ(w.n, -1);
}

TEST(LineReader, TabsSeparateAndLinesAreNotCut) {
  auto in = util::TextIn::from_text("1\t2 \t 3\r\n");
  Words w;
  ASSERT_TRUE(textop::readline(in, w));
  ASSERT_EQ(w.n, 3);
  EXPECT_EQ(w.word(3), "3");

  // A line far beyond 100 characters with more than 40 words, and a single
  // word of 150 characters, are taken whole.
  std::string many, big(150, 'x');
  for (int k = 1; k <= 60; ++k) many += std::to_string(k) + " ";
  auto in2 = util::TextIn::from_text(many + "\n" + big + "\n");
  ASSERT_TRUE(textop::readline(in2, w));
  ASSERT_EQ(w.n, 60);
  EXPECT_EQ(w.word(60), "60");
  ASSERT_TRUE(textop::readline(in2, w));
  ASSERT_EQ(w.n, 1);
  EXPECT_EQ(w.word(1), big);
}

TEST(WordValue, DigitsAfterOptionalMinusUpToFirstOther) {
  struct Case {
    const char* word;
    bool fits;
    int value;
  };
  const Case cases[] = {
      {"12ab", true, 12},         {"1.5", true, 1},
      {"-30", true, -30},         {"+3", true, 0},
      {"-", true, 0},             {"y", true, 0},
      {"SEED", true, 0},          {"MCMC_CHAIN:", true, 0},
      {"", true, 0},              {"00000000000005", true, 5},
      {"2147483647", true, INT_MAX}, {"-2147483648", true, INT_MIN},
      {"2147483648", false, 0},   {"-2147483649", false, 0},
      {"99999999999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    int v = 77;
    EXPECT_EQ(textop::word_int(c.word, v), c.fits) << c.word;
    EXPECT_EQ(v, c.value) << c.word;
  }
}

TEST(TextUtilities, DecodeAndPack) {
  EXPECT_EQ(textop::decode("123", 2), 12);
  EXPECT_EQ(textop::decode("123", 9), 123);
  EXPECT_EQ(textop::decode("-5", 1), 0);
  EXPECT_EQ(textop::decode("-5", 2), -5);
  EXPECT_EQ(textop::decode("abc", 3), 0);
  EXPECT_EQ(textop::decode("42", 0), 0);
  EXPECT_THROW(textop::decode("98765432109", 11), util::Stop);

  const std::vector<int> ix = {1, -2, 30, INT_MIN, INT_MAX};
  EXPECT_EQ(textop::pack(ix), "1 -2 30 -2147483648 2147483647");
  EXPECT_EQ(textop::pack(std::vector<int>{}), "");
}

TEST(TextUtilities, FieldRealForms) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"1.5", true, 1.5},  {"-2", true, -2},    {".25", true, 0.25}, {"3.", true, 3},
      {"1e2", true, 100},  {"1D2", true, 100},  {"1.5-3", true, 1.5e-3},
      {"+7E+1", true, 70}, {"  4  ", true, 4},  {"", true, 0},
      {"abc", false, 0},   {"12ab", false, 0},  {"+", false, 0},     {".", false, 0},
      {"1e", false, 0},    {"1e2x", false, 0},
  };
  for (const Case& c : cases) {
    double v = -99;
    EXPECT_EQ(textop::field_real(c.text, v), c.ok) << c.text;
    if (c.ok) {
      EXPECT_DOUBLE_EQ(v, c.value) << c.text;
    }
  }
  float f = 0;
  ASSERT_TRUE(textop::field_real("0.1", f));
  EXPECT_EQ(f, 0.1f);
}

TEST(TextUtilities, Nums2StoresWhatFits) {
  int n = 0;
  std::vector<double> x(3, -1);
  std::vector<std::string> xc(2);
  textop::nums2("  1.5  abc\t3e2 1234567890123 8", n, x, xc);
  EXPECT_EQ(n, 5);  // counted beyond the sizes
  EXPECT_EQ(x[0], 1.5);
  EXPECT_EQ(x[1], 0);  // not a number
  EXPECT_EQ(x[2], 300);
  EXPECT_EQ(xc[0], "1.5");
  EXPECT_EQ(xc[1], "abc");

  std::vector<double> y(1);
  textop::nums2("1234567890123", n, y);  // read in a field of 12 characters
  EXPECT_EQ(n, 1);
  EXPECT_EQ(y[0], 123456789012.0);
  textop::nums2("   ", n);
  EXPECT_EQ(n, 0);
}

TEST(TextUtilities, GetoptionFindsTheFirstMatchingLine) {
  auto par = util::TextIn::from_text(
      "MCMC_CHAIN:\n"
      "OPTION\n"
      "# OPTION foo 9\n"
      "OPTION foo 1 2.5 x\n"
      "OPTION bar 3\n"
      "OPTION foo 7\n");
  int n = 0;
  std::vector<double> x(4, -1);
  std::vector<std::string> xc(2);
  textop::getoption(par, "foo", n, x, xc);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(x[0], 1);
  EXPECT_EQ(x[1], 2.5);
  EXPECT_EQ(x[2], 0);
  EXPECT_EQ(x[3], -1);  // beyond the words
  EXPECT_EQ(xc[0], "1");
  EXPECT_EQ(xc[1], "2.5");
  textop::getoption(par, "bar", n, x);  // the file is read again from the start
  EXPECT_EQ(n, 1);
  EXPECT_EQ(x[0], 3);
  textop::getoption(par, "baz", n);
  EXPECT_EQ(n, -1);
}

TEST(TextUtilities, CreatresTable) {
  util::vec1<double> res;
  textop::creatres(res);
  ASSERT_EQ(res.size(), 256);
  EXPECT_EQ(res(1), 1.0);             // no relative
  EXPECT_EQ(res(2), 1.0 / 0.75);      // first relative: q = 0.25
  EXPECT_EQ(res(4), 2.0);             // first two: q = 0.5
  EXPECT_EQ(res(18), 1.0 / 0.8125);   // first and fifth: q = 0.25 + 0.0625 - 0.125
  EXPECT_EQ(res(8), 0.0);             // first three: q = 1
  EXPECT_EQ(res(16), 0.0);            // first four: q = 1.5
  for (int k = 1; k <= 256; ++k) EXPECT_GE(res(k), 0.0) << k;
}

}  // namespace
