#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include "util/stop.hpp"
#include "util/textio.hpp"

using util::ReadStatus;
using util::TextIn;
using util::TextOut;

namespace {

std::string scratch_dir() {
  static std::string dir = [] {
    std::string t = ::testing::TempDir() + "velmoran_textio_XXXXXX";
    char* d = ::mkdtemp(t.data());
    return std::string(d ? d : ".") + "/";
  }();
  return dir;
}

std::string slurp(const std::string& name) {
  std::ifstream f(name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

bool file_exists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0;
}

}  // namespace

TEST(TextIn, MissingFileStopsNamingItAndIsNotCreated) {
  const std::string name = scratch_dir() + "no_such_file";
  try {
    TextIn in(name + "   ");  // trailing blanks are not part of the name
    FAIL() << "no stop";
  } catch (const util::Stop& s) {
    EXPECT_NE(std::string(s.what()).find(name + "\""), std::string::npos) << s.what();
  }
  EXPECT_FALSE(file_exists(name));
  EXPECT_FALSE(TextIn::exists(name));
  EXPECT_THROW(TextIn in(scratch_dir()), util::Stop);  // a folder is not a text file
  EXPECT_FALSE(TextIn::exists(scratch_dir()));
}

TEST(TextIn, GetlineHandlesLfCrlfAndAMissingLastNewline) {
  const std::string name = scratch_dir() + "lines.txt";
  { std::ofstream(name, std::ios::binary) << "first\r\n\nthird  \nlast"; }
  ASSERT_TRUE(TextIn::exists(name));
  TextIn in(name);
  std::string_view l;
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, "first");
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, "");
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, "third  ");
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, "last");
  EXPECT_EQ(in.line_number(), 4);
  EXPECT_FALSE(in.getline(l));
  EXPECT_TRUE(in.at_end());
  in.rewind();
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, "first");
}

// A UTF-8 byte-order mark at the start is no text, for line, free-format and
// record reads alike and after a rewind; the same bytes later in the file are
// text.
TEST(TextIn, AByteOrderMarkAtTheStartIsSkipped) {
  const std::string mark = "\xEF\xBB\xBF";
  const std::string name = scratch_dir() + "marked.txt";
  { std::ofstream(name, std::ios::binary) << mark << "13.3708 2\r\n" << mark << "x\n"; }
  TextIn in(name);
  std::string_view l;
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, "13.3708 2");
  ASSERT_TRUE(in.getline(l));
  EXPECT_EQ(l, mark + "x");
  EXPECT_EQ(in.line_number(), 2);
  in.rewind();
  double a = 0;
  int b = 0;
  ASSERT_EQ(in.readv(a, b), ReadStatus::ok);
  EXPECT_EQ(a, 13.3708);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(in.line_number(), 1);
  auto text = TextIn::from_text(mark + "\n7 8\n");
  float x = 0, y = 0;
  const util::RecordRead r = text.read_recordv(x, y);
  ASSERT_TRUE(r.ok()) << util::describe(r);
  EXPECT_EQ(r.line, 2);
  EXPECT_EQ(x, 7.0f);
  auto only = TextIn::from_text(mark);
  EXPECT_FALSE(only.getline(l));
  EXPECT_TRUE(only.at_end());
}

TEST(TextIn, ReadSpansLinesAndSkipsTheRestOfItsLastLine) {
  auto in = TextIn::from_text("1 2\n\n  3,4\t5 99 99\n6 7\n");
  int a[5] = {};
  ASSERT_EQ(in.read({{util::ReadTarget(std::span<int>(a))}}), ReadStatus::ok);
  EXPECT_EQ(a[0], 1);
  EXPECT_EQ(a[4], 5);
  EXPECT_EQ(in.line_number(), 3);
  int x = 0, y = 0;
  ASSERT_EQ(in.readv(x, y), ReadStatus::ok);  // starts on a new line: the 99s are gone
  EXPECT_EQ(x, 6);
  EXPECT_EQ(y, 7);
  EXPECT_EQ(in.readv(x), ReadStatus::eof);
}

TEST(TextIn, ReadsRealForms) {
  auto in = TextIn::from_text(
      "1.5D2 .5 5. -2.5d-1 1.5+3 1E-2 +4 -Inf\r\n"
      "1.00000005960464477550\n"
      "1e50 1e-50 1.00000005960464477550\n");
  double d[8] = {};
  ASSERT_EQ(in.read({{util::ReadTarget(std::span<double>(d))}}), ReadStatus::ok);
  EXPECT_EQ(d[0], 150.0);
  EXPECT_EQ(d[1], 0.5);
  EXPECT_EQ(d[2], 5.0);
  EXPECT_EQ(d[3], -0.25);
  EXPECT_EQ(d[4], 1500.0);
  EXPECT_EQ(d[5], 0.01);
  EXPECT_EQ(d[6], 4.0);
  EXPECT_EQ(d[7], -std::numeric_limits<double>::infinity());
  // Just above the midpoint of two floats: read as float directly it rounds
  // up; through double it would tie and round down to 1.
  float f = 0;
  ASSERT_EQ(in.readv(f), ReadStatus::ok);
  EXPECT_EQ(f, 1.0f + 0x1p-23f);
  float big = 0, tiny = 1;
  double dd = 0;
  ASSERT_EQ(in.readv(big, tiny, dd), ReadStatus::ok);
  EXPECT_TRUE(std::isinf(big));
  EXPECT_EQ(tiny, 0.0f);
  EXPECT_EQ(dd, 1.0000000596046448);
}

TEST(TextIn, RepeatsNullsAndSlash) {
  auto in = TextIn::from_text(
      "3*7 2*2.5\n"
      "1,,3\n"
      ",5 2* 6\n"
      "1 2/ 9\n"
      "4*1\n"
      "8\n");
  int i3[3] = {};
  float f = 0;
  double g = 0;
  ASSERT_EQ(in.readv(std::span<int>(i3), f, g), ReadStatus::ok);
  EXPECT_EQ(i3[2], 7);
  EXPECT_EQ(f, 2.5f);
  EXPECT_EQ(g, 2.5);  // a repeat feeds targets of different kinds
  int a = -1, b = -1, c = -1, d = -1, e = -1;
  ASSERT_EQ(in.readv(a, b, c), ReadStatus::ok);
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, -1);  // null value: left as it was
  EXPECT_EQ(c, 3);
  a = b = c = -1;
  ASSERT_EQ(in.readv(a, b, c, d, e), ReadStatus::ok);
  EXPECT_EQ(a, -1);
  EXPECT_EQ(b, 5);
  EXPECT_EQ(c, -1);
  EXPECT_EQ(d, -1);
  EXPECT_EQ(e, 6);
  a = b = c = -1;
  ASSERT_EQ(in.readv(a, b, c), ReadStatus::ok);
  EXPECT_EQ(b, 2);
  EXPECT_EQ(c, -1);  // the slash ended the read; 9 is skipped with the line
  ASSERT_EQ(in.readv(a, b), ReadStatus::ok);  // excess repeats are dropped
  EXPECT_EQ(b, 1);
  ASSERT_EQ(in.readv(a), ReadStatus::ok);
  EXPECT_EQ(a, 8);
}

TEST(TextIn, BadItemsAndEndOfFile) {
  auto in = TextIn::from_text(
      "1.5 2\n"          // integer target refuses a real
      "3000000000\n"     // overflows 32 bits
      "0*4\n"            // repeat count must be positive
      "# comment\n"      // not a number
      "1.5e 2\n"         // broken exponent
      "+-3\n"
      "3000000000 7\n"   // fine for 64 bits
      "1 2\n");
  int i = 0;
  std::int64_t l = 0;
  float f = 0;
  EXPECT_EQ(in.readv(i), ReadStatus::bad);
  EXPECT_EQ(in.line_number(), 1);
  EXPECT_EQ(in.readv(i), ReadStatus::bad);
  EXPECT_EQ(in.readv(i), ReadStatus::bad);
  EXPECT_EQ(in.readv(f), ReadStatus::bad);
  EXPECT_EQ(in.readv(f), ReadStatus::bad);
  EXPECT_EQ(in.readv(f), ReadStatus::bad);
  EXPECT_EQ(in.line_number(), 6);
  ASSERT_EQ(in.readv(l, i), ReadStatus::ok);  // each bad read left its own line
  EXPECT_EQ(l, 3000000000LL);
  EXPECT_EQ(i, 7);
  int a = 0, b = 0, c = 0;
  EXPECT_EQ(in.readv(a, b, c), ReadStatus::eof);
  EXPECT_EQ(b, 2);
  EXPECT_TRUE(in.at_end());

  auto no_nl = TextIn::from_text("4 5");
  EXPECT_EQ(no_nl.readv(a, b), ReadStatus::ok);
  EXPECT_EQ(b, 5);
  EXPECT_EQ(no_nl.readv(a), ReadStatus::eof);
  auto blank = TextIn::from_text("\n  \n");
  EXPECT_EQ(blank.readv(a), ReadStatus::eof);
}

TEST(TextOut, ReplaceAppendAndAtomic) {
  const std::string name = scratch_dir() + "out.txt";
  {
    TextOut o(name, TextOut::Mode::replace);
    o.line("a");
    o.write("b");
  }
  EXPECT_EQ(slurp(name), "a\nb");
  {
    TextOut o(name, TextOut::Mode::append);
    o.line("c");
    o.commit();
  }
  EXPECT_EQ(slurp(name), "a\nbc\n");
  {
    TextOut o(name, TextOut::Mode::atomic);
    o.line("new");
    o.flush();
    EXPECT_EQ(slurp(name), "a\nbc\n");  // old file untouched until commit
    TextOut moved = std::move(o);
    moved.commit();
  }
  EXPECT_EQ(slurp(name), "new\n");
  EXPECT_FALSE(file_exists(name + ".tmp"));
  {
    TextOut o(name, TextOut::Mode::atomic);
    o.line("interrupted");
  }  // never committed
  EXPECT_EQ(slurp(name), "new\n");
  EXPECT_FALSE(file_exists(name + ".tmp"));
  {
    TextOut o(name, TextOut::Mode::atomic);
    o.line("dropped");
    o.close();
    EXPECT_FALSE(o.is_open());
  }
  EXPECT_EQ(slurp(name), "new\n");
  EXPECT_FALSE(file_exists(name + ".tmp"));
  EXPECT_THROW(TextOut(scratch_dir() + "no/such/folder/x", TextOut::Mode::replace), util::Stop);
}

TEST(TextIn, TrimRight) {
  EXPECT_EQ(util::trim_right("ped.txt   "), "ped.txt");
  EXPECT_EQ(util::trim_right("  a b \t"), "  a b");
  EXPECT_EQ(util::trim_right("   "), "");
}
