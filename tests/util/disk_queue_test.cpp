// The store's disk steps handed to a background thread: order, failures
// reported at the next wait with the message they would have given in line,
// in-line fallback, forgotten steps, and a child process made by fork.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "util/disk_queue.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace {

std::string scratch() {
  static std::string dir = [] {
    std::string t = ::testing::TempDir() + "velmoran_disk_XXXXXX";
    char* d = ::mkdtemp(t.data());
    return std::string(d ? d : ".") + "/";
  }();
  return dir;
}

bool exists(const std::string& name) {
  struct stat st;
  return ::stat(name.c_str(), &st) == 0;
}

void touch(const std::string& name) { std::ofstream(name) << "x\n"; }

// The message of the stop f ends in, or "" when it does not stop.
template <class F>
std::string stop_of(F f) {
  try {
    f();
  } catch (const util::Stop& s) {
    return s.what();
  }
  return "";
}

}  // namespace

TEST(DiskQueue, JobRunsInOrderAndAFailureStopsAtTheNextWait) {
  util::disk::start();
  const std::string d = scratch();
  touch(d + "a.tmp");
  touch(d + "b.tmp");
  // a.tmp -> a -> a2, so the second rename needs the first; then one that
  // fails, and one after it that must not be made.
  util::disk::fsync_fd(::open((d + "a.tmp").c_str(), O_RDONLY), (d + "a.tmp").c_str(), true);
  util::disk::rename((d + "a.tmp").c_str(), (d + "a").c_str());
  util::disk::rename((d + "a").c_str(), (d + "a2").c_str());
  util::disk::sync_folder();
  util::disk::rename((d + "missing").c_str(), (d + "c").c_str());
  util::disk::rename((d + "b.tmp").c_str(), (d + "b").c_str());
  EXPECT_EQ(stop_of([] { util::disk::submit(); }), "");
  const std::string msg = stop_of([] { util::disk::wait(); });
  EXPECT_NE(msg.find("cannot replace file \"" + d + "c\""), std::string::npos) << msg;
  EXPECT_TRUE(exists(d + "a2"));
  EXPECT_FALSE(exists(d + "a"));
  EXPECT_TRUE(exists(d + "b.tmp"));
  EXPECT_FALSE(exists(d + "b"));
  // Reported once.
  EXPECT_EQ(stop_of([] { util::disk::wait(); }), "");
}

TEST(DiskQueue, ALongPathRunsTheJobInLineAndStopsThere) {
  util::disk::start();
  const std::string d = scratch();
  touch(d + "c.tmp");
  util::disk::rename((d + "c.tmp").c_str(), (d + "c").c_str());
  const std::string longname = d + std::string(300, 'n');
  // The gathered rename is made at once, then the long one fails in line.
  const std::string msg = stop_of([&] { util::disk::rename(longname.c_str(), (d + "x").c_str()); });
  EXPECT_TRUE(exists(d + "c"));
  EXPECT_NE(msg.find("cannot replace file \"" + d + "x\""), std::string::npos) << msg;
  util::disk::discard();
  EXPECT_EQ(stop_of([] { util::disk::submit(); }), "");
}

// A job that fails before its commit removes every file of its discard
// steps, those already put on disk included; one that fails after it
// removes nothing, for a restart to finish.
TEST(DiskQueue, AFailureBeforeTheCommitLeavesNothingOfTheJob) {
  util::disk::start();
  const std::string d = scratch();
  for (const bool after : {false, true}) {
    SCOPED_TRACE(after ? "after the commit" : "before the commit");
    for (const char* f : {"g.tmp", "h.tmp", "rec.tmp"}) touch(d + f);
    util::disk::fsync_fd(::open((d + "g.tmp").c_str(), O_RDONLY), (d + "g.tmp").c_str(), true);
    util::disk::fsync_fd(::open((d + "h.tmp").c_str(), O_RDONLY), (d + "h.tmp").c_str(), true);
    if (after) util::disk::commit((d + "rec.tmp").c_str(), (d + "rec.new").c_str());
    util::disk::rename((d + "missing").c_str(), (d + "x").c_str());
    if (!after) util::disk::commit((d + "rec.tmp").c_str(), (d + "rec.new").c_str());
    util::disk::submit();
    EXPECT_NE(stop_of([] { util::disk::wait(); }).find("cannot replace file"), std::string::npos);
    EXPECT_EQ(exists(d + "g.tmp"), after);
    EXPECT_EQ(exists(d + "h.tmp"), after);
    EXPECT_FALSE(exists(d + "rec.tmp"));
    EXPECT_EQ(exists(d + "rec.new"), after);
  }
}

TEST(DiskQueue, DiscardClosesTheGatheredDescriptorsAndMakesNothing) {
  util::disk::start();
  const std::string d = scratch();
  touch(d + "e.tmp");
  const int fd = ::open((d + "e.tmp").c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  util::disk::fsync_fd(fd, (d + "e.tmp").c_str(), true);
  util::disk::rename((d + "e.tmp").c_str(), (d + "e").c_str());
  util::disk::discard();
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
  util::disk::submit();
  util::disk::wait();
  EXPECT_TRUE(exists(d + "e.tmp"));
  EXPECT_FALSE(exists(d + "e"));
}

TEST(DiskQueue, AChildMadeByForkHasAQueueOfItsOwn) {
  util::disk::start();
  const std::string d = scratch();
  touch(d + "f.tmp");
  const pid_t pid = ::fork();
  if (pid == 0) {
    int status = 0;
    try {
      util::disk::start();
      util::disk::rename((d + "f.tmp").c_str(), (d + "f").c_str());
      util::disk::submit();
      util::disk::wait();
    } catch (...) {
      status = 2;
    }
    ::_exit(status);
  }
  int st = 0;
  ASSERT_EQ(::waitpid(pid, &st, 0), pid);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
  EXPECT_TRUE(exists(d + "f"));
}
