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
      {"1 2 1e-46\n", F::underflow, 1, 3, "1e-46", {}},  // nearer 0 than a 32-bit real holds
      {"1 -7.0D-46 3\n", F::underflow, 1, 2, "-7.0D-46", {}},  // half the least, rounded to 0
      {"1 2 5.0-47\n", F::underflow, 1, 3, "5.0-47", {}},
      {"0e-99 -0.0-99 1e-45\n", F::none, 1, 0, "", {0, 0, 1e-45f}},  // 0 written small; the least kept
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

// A decimal comma is told from a comma that separates fields by the blanks
// that separate the others, and counts only where it splits a field read.
TEST(RecordRead, DecimalCommaOfABlankSeparatedLine) {
  struct Case {
    const char* line;
    std::size_t fields;
    const char* comma;  // "" none
  };
  const Case cases[] = {
      {"12 3 45,6", 3, "45,6"},
      {"12\t3\t45,6\r", 3, "45,6"},
      {"  1,5 2", 1, "1,5"},
      {"12 3 45,6", 2, ""},       // the comma after the fields read
      {"12 3,4 5,6", 2, "3,4"},   // the first one read
      {"12,3,45,6", 4, ""},       // fields separated by commas alone
      {"12, 3, 45,6", 4, ""},     // by commas with blanks beside them
      {"12 ,3 ,45", 3, ""},
      {"12 3 4, 5", 3, ""},       // a comma between a digit and a blank
      {"12 3 -0,5e2", 3, "-0,5e2"},
      {"12 3 ,5", 3, ""},
      {"", 3, ""},
      // After a number that has its point, a comma separates two fields.
      {"2 1 17.3271,1", 4, ""},
      {"2 1 17.3271,1 3,5", 5, "3,5"},
      {"2 1 .5,1", 4, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(util::decimal_comma(c.line, c.fields), c.comma) << c.line;
}

// An empty cell between two tabs, or after a last one, is the field after
// those before it; it counts within the fields read and after a field.
TEST(RecordRead, EmptyTabCellOfATabSeparatedLine) {
  struct Case {
    const char* line;
    std::size_t fields, cell;  // cell 0: none
  };
  const Case cases[] = {
      {"5\t\t7", 3, 2},        {"5\t \t7\t2", 4, 2}, {"5\t7\t", 3, 3},      {"5\t7\t\t1", 3, 3},
      {"5\t7\t1\t", 3, 0},    {"5\t7\t1\t\t9", 3, 0}, {"\t5\t7\t1", 3, 0}, {"5 7\t\t1", 3, 3},
      {"5\t7\t1", 3, 0},       {"5  7", 3, 0},
  };
  for (const Case& c : cases) EXPECT_EQ(util::empty_tab_cell(c.line, c.fields), c.cell) << c.line;
}

}  // namespace
