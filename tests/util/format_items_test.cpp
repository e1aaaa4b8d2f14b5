// Item lists longer than the inline room, the appending free format, and the
// line buffer of an output file that has been moved.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/format.hpp"
#include "util/textio.hpp"

namespace {

TEST(FmtItems, LongListsKeepEveryItemInOrder) {
  util::FmtArgs a;
  std::string want;
  for (int k = 1; k <= 19; ++k) {
    if (k % 3 == 0) {
      a.add(0.5 * k);
      std::ostringstream o;
      o << ' ' << 0.5 * k;
      want += o.str();
    } else {
      a.add(k);
      want += ' ' + std::to_string(k);
    }
    ASSERT_EQ(a.items().size(), static_cast<std::size_t>(k));
    EXPECT_EQ(util::free_format(a.items()), want) << k;
  }
  a.clear();
  EXPECT_TRUE(a.items().empty());
  a.add("x");
  EXPECT_EQ(util::free_format(a.items()), " x");
  // A copy keeps its own items.
  util::FmtArgs b(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
  const util::FmtArgs c = b;
  b.clear();
  EXPECT_EQ(util::free_format(c.items()), " 1 2 3 4 5 6 7 8 9 10");
  std::string s = "head";
  util::free_format_to(s, c.items());
  EXPECT_EQ(s, "head 1 2 3 4 5 6 7 8 9 10");
}

TEST(FmtItems, MovedOutputFileWritesItsFreeLines) {
  const std::string path = ::testing::TempDir() + "velmoran_fmt_items_" + std::to_string(::getpid());
  {
    util::TextOut f;
    f = util::TextOut(path, util::TextOut::Mode::replace);
    f.free(1, "a", 2.5);
    util::TextOut g(std::move(f));
    g.free(std::string(300, 'z'));
    g.free(3);
  }
  std::ifstream in(path);
  std::stringstream got;
  got << in.rdbuf();
  EXPECT_EQ(got.str(), " 1 a 2.5\n " + std::string(300, 'z') + "\n 3\n");
  std::remove(path.c_str());
}

}  // namespace
