// The output side that stores build on: temporaries finished without their
// rename, renames, cuts, sizes, the probe of output steps, and reads that
// tell whether they left items on their last line.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "util/stop.hpp"
#include "util/textio.hpp"

namespace {

using util::ReadStatus;
using util::TextIn;
using util::TextOut;

std::string folder() {
  static std::string dir = [] {
    std::string t = ::testing::TempDir() + "velmoran_textio_store_XXXXXX";
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

TEST(TextInDropped, TellsWhetherTheLastLineHadMoreItems) {
  struct Case {
    const char* text;
    int values;
    bool dropped;
  };
  const std::vector<Case> cases = {
      {"1 2 3\n", 3, false},   {"1 2 3 4\n", 3, true},  {"1 2 3  \t\n", 3, false}, {"1 2\n3\n", 3, false},
      {"1 2\n3 4\n", 3, true}, {"1,2,3,\n", 3, false}, {"1 2 3 x\n", 3, true},    {"1 2 3", 3, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    TextIn in = TextIn::from_text(c.text);
    std::vector<double> v(static_cast<std::size_t>(c.values));
    ASSERT_EQ(in.read(std::vector<util::ReadTarget>{std::span<double>(v)}), ReadStatus::ok);
    EXPECT_EQ(in.dropped_items(), c.dropped);
  }
  // A read that fails says nothing of items left.
  TextIn in = TextIn::from_text("1 2\n");
  double a, b, c;
  EXPECT_EQ(in.readv(a, b, c), ReadStatus::eof);
  EXPECT_FALSE(in.dropped_items());
}

// seal() finishes a temporary and leaves the rename to the caller; close()
// of an unfinished one removes it; commit() does both steps.
TEST(TextOutSeal, TemporaryStaysUntilReplaced) {
  const std::string name = folder() + "sealed";
  std::ofstream(name) << "old\n";
  TextOut out(name, TextOut::Mode::atomic);
  out.line("new");
  out.seal();
  EXPECT_FALSE(out.is_open());
  EXPECT_EQ(slurp(name), "old\n");
  EXPECT_EQ(slurp(name + ".tmp"), "new\n");
  util::replace_file((name + ".tmp").c_str(), name.c_str());
  EXPECT_EQ(slurp(name), "new\n");
  EXPECT_EQ(util::file_size((name + ".tmp").c_str()), -1);

  out.open(name, TextOut::Mode::atomic);
  out.line("unfinished");
  out.close();
  EXPECT_EQ(slurp(name), "new\n");
  EXPECT_EQ(util::file_size((name + ".tmp").c_str()), -1);

  out.open(name, TextOut::Mode::atomic);
  out.line("committed");
  out.commit();
  EXPECT_EQ(slurp(name), "committed\n");
  EXPECT_EQ(util::file_size((name + ".tmp").c_str()), -1);
}

TEST(FileSteps, SizesCutsRemovalsAndFailures) {
  const std::string name = folder() + "cut_me";
  std::ofstream(name) << "0123456789";
  EXPECT_EQ(util::file_size(name.c_str()), 10);
  util::cut_file(name.c_str(), 4);
  EXPECT_EQ(slurp(name), "0123");
  util::remove_file(name.c_str());
  EXPECT_EQ(util::file_size(name.c_str()), -1);
  util::remove_file(name.c_str());  // nothing there: nothing happens
  EXPECT_EQ(util::file_size(folder().c_str()), -1);  // a folder is not a file
  try {
    util::replace_file((folder() + "none").c_str(), name.c_str());
    FAIL() << "no stop";
  } catch (const util::Stop& s) {
    EXPECT_EQ(std::string(s.what()), "cannot replace file \"" + name + "\": No such file or directory");
  }
  EXPECT_THROW(util::cut_file((folder() + "none").c_str(), 0), util::Stop);
}

// The probe sees every output step with its path, in order.
std::vector<std::string> seen;
void record_step(const char* path) { seen.emplace_back(path); }

TEST(IoProbe, SeesEveryStep) {
  const std::string a = folder() + "probed", s = folder() + "sample";
  seen.clear();
  util::io_probe = record_step;
  {
    TextOut out(a, TextOut::Mode::atomic);
    out.line("x");
    out.write("y\n");
    out.seal();
    util::replace_file((a + ".tmp").c_str(), a.c_str());
    TextOut sam(s, TextOut::Mode::append);
    sam.line("1");
    sam.sync();
    util::sync_folder();
  }
  util::io_probe = nullptr;
  const std::string t = a + ".tmp";
  EXPECT_EQ(seen, (std::vector<std::string>{t, t, t, t, s, s, "."}));
  EXPECT_EQ(slurp(a), "x\ny\n");
  EXPECT_EQ(slurp(s), "1\n");
}

}  // namespace
