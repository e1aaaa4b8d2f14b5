// Record reads: one line is one record, and every way a line can fail to
// hold its values is told apart.
#include <gtest/gtest.h>

#include <string>

#include "util/textio.hpp"

namespace {

using util::RecordRead;
using util::TextIn;
using F = RecordRead::Fault;

TEST(RecordRead, FieldsFaultsAndLines) {
  struct Case {
    const char* text;
    F fault;
    long line;
    std::size_t field;
    const char* word;
    float v[3];  // the values, when read whole
  };
  const Case cases[] = {
      {"1 2.5 -3\n", F::none, 1, 0, "", {1, 2.5f, -3}},
      {"1,2.5,-3", F::none, 1, 0, "", {1, 2.5f, -3}},
      {"  1 , 2.5 ,-3\r\n", F::none, 1, 0, "", {1, 2.5f, -3}},
      {"\t1\t2.5\t-3 header words, / and NA after the values", F::none, 1, 0, "", {1, 2.5f, -3}},
      {"\n   \n\t\n1 2.5D0 -0.3E1\n", F::none, 4, 0, "", {1, 2.5f, -3}},
      {"1,,3\n", F::empty_field, 1, 2, "", {}},
      {"1, ,3\n", F::empty_field, 1, 2, "", {}},
      {",1,2\n", F::empty_field, 1, 1, "", {}},
      {"1,2,\n", F::empty_field, 1, 3, "", {}},
      {"1 2\n3\n", F::short_line, 1, 2, "", {}},
      {"\n1 / 3\n", F::slash, 2, 2, "/", {}},
      {"1 2/3 3\n", F::slash, 1, 2, "2/3", {}},
      {"y w x\n1 2 3\n", F::not_number, 1, 1, "y", {}},
      {"1 NA 3\n", F::not_number, 1, 2, "NA", {}},
      {"1 2 3*1\n", F::not_number, 1, 3, "3*1", {}},
      {"1 NaN 3\n", F::not_finite, 1, 2, "NaN", {}},
      {"1 2 -inf\n", F::not_finite, 1, 3, "-inf", {}},
      {"1 2 1e39\n", F::not_finite, 1, 3, "1e39", {}},  // beyond a 32-bit real
      {"\n \n", F::eof, 2, 0, "", {}},
      {"", F::eof, 0, 0, "", {}},
  };
  for (const Case& c : cases) {
    TextIn in = TextIn::from_text(c.text, "f.txt");
    float v[3] = {0, 0, 0};
    const RecordRead r = in.read_recordv(std::span<float>(v, 3));
    EXPECT_EQ(r.fault, c.fault) << c.text;
    EXPECT_EQ(r.line, c.line) << c.text;
    EXPECT_EQ(r.field, c.field) << c.text;
    EXPECT_EQ(r.word, c.word) << c.text;
    EXPECT_EQ(r.wanted, 3u);
    if (c.fault == F::none) {
      for (int k = 0; k < 3; ++k) EXPECT_EQ(v[k], c.v[k]) << c.text << " value " << k;
    }
  }
}

TEST(RecordRead, IntegerTargetsAndMessages) {
  struct Case {
    const char* text;
    const char* message;  // describe(), "" when read
  };
  const Case cases[] = {
      {"7 -2 0.25", ""},
      {"7 1.0 0.25", "field 2 \"1.0\" is not an integer"},
      {"7 99999999999 0.25", "field 2 \"99999999999\" is too large an integer"},
      {"7 -2 one", "field 3 \"one\" is not a number"},
      {"7 -2 nan", "field 3 \"nan\" is not a finite number"},
      {"7,,0.25", "field 2 is empty"},
      {"7 -2", "the line holds 2 values where 3 are needed"},
      {"7 / 1", "field 2 \"/\" holds a \"/\""},
  };
  for (const Case& c : cases) {
    TextIn in = TextIn::from_text(c.text, "p.txt");
    int a = 0, b = 0;
    double x = 0;
    const RecordRead r = in.read_recordv(a, b, x);
    EXPECT_EQ(r.ok() ? std::string() : util::describe(r), c.message) << c.text;
    if (r.ok()) {
      EXPECT_EQ(a, 7);
      EXPECT_EQ(b, -2);
      EXPECT_EQ(x, 0.25);
    }
  }
}

TEST(RecordRead, RecordsLeftCountsNonBlankLinesAndKeepsThePlace) {
  TextIn in = TextIn::from_text("1\n2\n\n  \n3\n4", "f.txt");
  double v = 0;
  ASSERT_TRUE(in.read_recordv(v).ok());
  EXPECT_EQ(in.records_left(), 3);
  ASSERT_TRUE(in.read_recordv(v).ok());
  EXPECT_EQ(v, 2.0);
  ASSERT_TRUE(in.read_recordv(v).ok());
  EXPECT_EQ(v, 3.0);
  EXPECT_EQ(in.line_number(), 5);
  EXPECT_EQ(in.records_left(), 1);
}

}  // namespace
