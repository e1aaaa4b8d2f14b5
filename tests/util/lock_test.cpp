// The lock by which a run holds its folder: taken when free, refused while
// another process holds it (naming that process) and free again once it
// ends, and reported as not possible where the file system cannot lock.
// (Names that are no file of its own are refused through the program.)
#include "util/lock.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "util/textio.hpp"

namespace {

namespace fs = std::filesystem;

class Lock : public testing::Test {
 protected:
  void SetUp() override {
    home_ = fs::current_path();
    dir_ = fs::temp_directory_path() / ("velmoran_lock_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directory(dir_);
    fs::current_path(dir_);
  }
  void TearDown() override {
    util::io_fault = nullptr;
    fs::current_path(home_);
    fs::remove_all(dir_);
  }
  fs::path home_, dir_;
};

// A child that takes the lock, says so on a pipe and holds it until the
// pipe back is closed.
struct Holder {
  pid_t pid = -1;
  int said = -1, go = -1;
  explicit Holder(const char* name) {
    int up[2], down[2];
    if (::pipe(up) != 0 || ::pipe(down) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::close(up[0]);
      ::close(down[1]);
      util::FileLock l;
      const char c = util::take_lock(l, name).kind == util::LockTry::taken ? 't' : 'n';
      (void)!::write(up[1], &c, 1);
      char x;
      (void)!::read(down[0], &x, 1);
      ::_exit(0);
    }
    ::close(up[1]);
    ::close(down[0]);
    said = up[0];
    go = down[1];
  }
  char wait_taken() const {
    char c = 0;
    return ::read(said, &c, 1) == 1 ? c : 0;
  }
  int end() {
    ::close(go);
    ::close(said);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
  }
};

TEST_F(Lock, HeldByAnotherProcessUntilItEnds) {
  util::FileLock mine;
  ASSERT_EQ(util::take_lock(mine, "chain_lock").kind, util::LockTry::taken);
  EXPECT_EQ(fs::file_size("chain_lock"), 0u);
  util::release(mine);
  EXPECT_EQ(mine.fd, -1);
  EXPECT_TRUE(fs::exists("chain_lock"));  // stays, for the next run

  Holder h("chain_lock");
  ASSERT_GT(h.pid, 0);
  ASSERT_EQ(h.wait_taken(), 't');
  const util::LockTry t = util::take_lock(mine, "chain_lock");
  EXPECT_EQ(t.kind, util::LockTry::held);
  EXPECT_EQ(t.pid, static_cast<long>(h.pid));
  EXPECT_EQ(mine.fd, -1);
  EXPECT_EQ(h.end(), 0);
  EXPECT_EQ(util::take_lock(mine, "chain_lock").kind, util::LockTry::taken);
  // And the other way round: a holder started now finds it held.
  Holder second("chain_lock");
  EXPECT_EQ(second.wait_taken(), 'n');
  second.end();
  util::release(mine);
}

// Where the file system refuses locks (as some network file systems do), the
// reason comes back and no lock is held.
TEST_F(Lock, AFileSystemThatCannotLock) {
  util::io_fault = [](const char* step, const char*) { return std::strcmp(step, "lock") == 0 ? ENOLCK : 0; };
  util::FileLock l;
  const util::LockTry t = util::take_lock(l, "chain_lock");
  EXPECT_EQ(t.kind, util::LockTry::unsupported);
  EXPECT_EQ(t.err, ENOLCK);
  EXPECT_EQ(l.fd, -1);
}

}  // namespace
