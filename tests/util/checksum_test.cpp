// The checksum of the store record against its published check value and a
// bit-by-bit reference, and the tally a writer keeps against its file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>

#include "util/checksum.hpp"
#include "util/textio.hpp"

namespace {

// CRC-64 as its definition gives it, one bit at a time.
std::uint64_t bit_by_bit(std::string_view s) {
  std::uint64_t c = ~0ULL;
  for (unsigned char b : s) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xC96C5795D7870F42ULL : c >> 1;
  }
  return ~c;
}

TEST(Checksum, CheckValueAndTheBitByBitReferenceWholeAndInPieces) {
  EXPECT_EQ(util::crc64(0, "123456789"), 0x995dc9bbdf1939faULL);
  EXPECT_EQ(util::crc64(0, ""), 0u);
  std::string text;
  for (int i = 0; i < 300; ++i) text += static_cast<char>((i * 131 + 7) % 256);
  for (std::size_t n : {1u, 7u, 8u, 9u, 16u, 17u, 64u, 65u, 300u}) {
    const std::string_view v(text.data(), n);
    const std::uint64_t whole = bit_by_bit(v);
    EXPECT_EQ(util::crc64(0, v), whole) << n;
    for (std::size_t cut : {std::size_t{0}, std::size_t{5}, n / 2, n - 1}) {
      if (cut > n) continue;
      EXPECT_EQ(util::crc64(util::crc64(0, v.substr(0, cut)), v.substr(cut)), whole) << n << " cut at " << cut;
    }
  }
  std::string w;
  util::put_checksum(w, 0x0123456789abcdefULL);
  EXPECT_EQ(w, "0123456789abcdef");
  std::uint64_t x = 0;
  EXPECT_TRUE(util::read_checksum(w, x));
  EXPECT_EQ(x, 0x0123456789abcdefULL);
  EXPECT_FALSE(util::read_checksum("0123", x));
  EXPECT_FALSE(util::read_checksum("0123456789abcdeg", x));
  EXPECT_FALSE(util::read_checksum("-123456789abcdef", x));
}

TEST(Checksum, AWriterKnowsItsFileAndSeesItCutReplacedOrRemoved) {
  const std::string name = ::testing::TempDir() + "velmoran_tally_" + std::to_string(::getpid());
  using Check = util::TextOut::Check;
  util::TextOut o(name, util::TextOut::Mode::replace);
  o.line("abc");
  o.write("de");
  EXPECT_EQ(o.check().kind, Check::same);
  EXPECT_EQ(o.tally().bytes, 6);
  EXPECT_EQ(o.tally().sum, bit_by_bit("abc\nde"));
  util::Tally t;
  ASSERT_TRUE(util::tally_of_file(name.c_str(), -1, t));
  EXPECT_EQ(t.bytes, 6);
  EXPECT_EQ(t.sum, bit_by_bit("abc\nde"));
  ASSERT_TRUE(util::tally_of_file(name.c_str(), 3, t));
  EXPECT_EQ(t.sum, bit_by_bit("abc"));

  // Cut under the writer: what it writes next goes to the new end.
  ASSERT_EQ(::truncate(name.c_str(), 2), 0);
  o.line("f");
  Check c = o.check();
  EXPECT_EQ(c.kind, Check::resized);
  EXPECT_EQ(c.bytes, 4);

  // Opened at its end: its length is known, its checksum not yet.
  o.close();
  util::TextOut a(name, util::TextOut::Mode::append);
  EXPECT_EQ(a.tally().bytes, 4);
  EXPECT_FALSE(a.tally().summed);
  a.resume(util::Tally{4, util::crc64(0, "abf\n"), true});
  a.line("g");
  EXPECT_EQ(a.check().kind, Check::same);
  EXPECT_EQ(a.tally().sum, bit_by_bit("abf\ng\n"));

  std::ofstream(name + ".new") << "abf\ng\n";
  ASSERT_EQ(std::rename((name + ".new").c_str(), name.c_str()), 0);
  EXPECT_EQ(a.check().kind, Check::replaced);
  std::remove(name.c_str());
  EXPECT_EQ(a.check().kind, Check::missing);
  a.close();
  EXPECT_FALSE(util::tally_of_file(name.c_str(), -1, t));
}

// A file as its readers read it: the mark and each carriage return before a
// line feed left out (also across the reads of 1 MB the tally takes), every
// other carriage return counted; and as it stands, every byte.
TEST(Checksum, AFileAsItsReadersReadIt) {
  const std::string name = ::testing::TempDir() + "velmoran_read_" + std::to_string(::getpid());
  const std::string long_line(1048575, 'x');  // its CR ends the first read
  const struct {
    std::string file, read;
  } cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"\xEF\xBB\xBF" "1 2\r\n3\n", "1 2\n3\n"},
      {"a\rb\n", "a\rb\n"},
      {"a\r\r\n", "a\r\n"},
      {"a\r", "a\r"},
      {"\r\n\r\n", "\n\n"},
      {"a\n\xEF\xBB\xBF", "a\n\xEF\xBB\xBF"},
      {long_line + "\r\nb\r\n", long_line + "\nb\n"},
      {long_line + "\rb", long_line + "\rb"},
  };
  for (const auto& c : cases) {
    std::ofstream(name, std::ios::binary) << c.file;
    util::Tally t;
    ASSERT_TRUE(util::tally_of_file(name.c_str(), -1, t, true));
    EXPECT_EQ(t.bytes, static_cast<long long>(c.read.size())) << c.file.substr(0, 12);
    EXPECT_EQ(t.sum, util::crc64(0, c.read)) << c.file.substr(0, 12);
    ASSERT_TRUE(util::tally_of_file(name.c_str(), -1, t));
    EXPECT_EQ(t.sum, util::crc64(0, c.file)) << c.file.substr(0, 12);
  }
  std::remove(name.c_str());
  EXPECT_EQ(util::shown("a\rb\r\n"), "a\\rb\\r\n");
}

// The file's time an hour back, as another program may set it.
void set_back(const std::string& name) {
  struct stat st;
  ASSERT_EQ(::stat(name.c_str(), &st), 0);
  struct timespec t[2] = {st.st_atim, st.st_mtim};
  t[1].tv_sec -= 3600;
  ASSERT_EQ(::utimensat(AT_FDCWD, name.c_str(), t, 0), 0);
}

// The writer's own writes, however many buffers they fill and whatever
// the clock does meanwhile, keep the file the writer's; a time set by
// another program shows, open or closed, until the writer accepts it.
TEST(Checksum, AWriterTellsItsOwnWritesFromAnotherProgramsTime) {
  const std::string name = ::testing::TempDir() + "velmoran_time_" + std::to_string(::getpid());
  using Check = util::TextOut::Check;
  util::TextOut o(name, util::TextOut::Mode::replace);
  const std::string longer(70000, 'x');  // longer than the stream's buffer
  for (int k = 0; k < 4; ++k) {
    for (int i = 0; i < 20000; ++i) o.line("0.12345678");
    if (k == 2) o.line(longer);
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
  }
  EXPECT_EQ(o.check().kind, Check::same);
  set_back(name);
  o.line("more");
  EXPECT_EQ(o.check().kind, Check::touched);
  o.accept();
  EXPECT_EQ(o.check().kind, Check::same);

  o.close();
  EXPECT_EQ(o.check().kind, Check::same);
  set_back(name);
  EXPECT_EQ(o.check().kind, Check::touched);
  o.accept();
  EXPECT_EQ(o.check().kind, Check::same);
  ASSERT_EQ(::truncate(name.c_str(), 10), 0);
  EXPECT_EQ(o.check().kind, Check::resized);
  std::remove(name.c_str());
  EXPECT_EQ(o.check().kind, Check::missing);

  // Watched: a closed file it has not written in this process.
  std::ofstream(name) << "abc\n";
  util::TextOut w;
  w.resume(util::Tally{4, util::crc64(0, "abc\n"), true});
  w.watch(name);
  EXPECT_TRUE(w.watched());
  EXPECT_EQ(w.check().kind, Check::same);
  set_back(name);
  EXPECT_EQ(w.check().kind, Check::touched);
  std::remove(name.c_str());
}

}  // namespace
