#include "util/disk_queue.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "util/textio.hpp"

namespace util::disk {

namespace {

enum class Kind { fsync, rename, folder };

// Paths of a store are short file names; a longer one makes its job run in
// line rather than allocate.
constexpr std::size_t max_path = 256;
constexpr int max_steps = 64;

struct Step {
  Kind kind = Kind::folder;
  int fd = -1;
  bool discard = false;  // its file (a rename's source) goes if the job fails before its commit
  bool commit = false;   // the rename after which the job counts as made
  char a[max_path] = {};
  char b[max_path] = {};
};

struct Failure {
  const char* what = nullptr;  // nullptr: none
  char path[max_path] = {};
  int err = 0;
};

struct Queue {
  std::mutex mu;
  std::condition_variable cv;
  // The thread lives in storage of its own: a child process made by fork
  // has no such thread and must forget it without joining or destroying it.
  alignas(std::thread) unsigned char worker_room[sizeof(std::thread)];
  std::thread& worker() { return *reinterpret_cast<std::thread*>(worker_room); }
  pid_t pid = 0;  // of the process that started the thread
  bool started = false;
  bool quit = false;
  // Steps being gathered by the caller, and the job handed to the thread.
  Step gather[max_steps];
  int ngather = 0;
  bool in_line = false;  // the job being gathered runs in line
  bool committed = false;  // and its commit step has been made
  Step job[max_steps];
  int njob = 0;  // steps of the job queued or running; 0 when idle
  Failure failed;

  ~Queue() {
    if (!started || pid != ::getpid()) return;
    {
      std::lock_guard<std::mutex> lock(mu);
      quit = true;
    }
    cv.notify_all();
    worker().join();
    worker().~thread();
  }
};

Queue q;

bool copy_path(char (&to)[max_path], const char* from) {
  const std::size_t n = std::strlen(from);
  if (n >= max_path) return false;
  std::memcpy(to, from, n + 1);
  return true;
}

void note(Failure& f, const char* what, const char* path, int err) {
  f.what = what;
  copy_path(f.path, path);
  f.err = err;
}

// One step as it would run in line; false (with f filled) when it fails.
bool run_step(const Step& s, int fd, Failure& f) {
  switch (s.kind) {
    case Kind::fsync: {
      if (io_probe) io_probe(s.a);
      const int err = util::sync_file(fd, s.a);
      ::close(fd);
      if (err == 0) return true;
      note(f, "cannot write file", s.a, err);
      return false;
    }
    case Kind::rename: {
      if (io_probe) io_probe(s.a);
      const int fault = util::fault_of("rename", s.a);
      if (fault == 0 && std::rename(s.a, s.b) == 0) return true;
      note(f, "cannot replace file", s.b, fault != 0 ? fault : errno);
      return false;
    }
    case Kind::folder:
      if (const int err = util::sync_folder_error()) {
        note(f, "cannot write folder", ".", err);
        return false;
      }
      return true;
  }
  return true;
}

// Runs steps[0..n-1] in order up to the first failure; the descriptors of
// the steps not reached are closed.  A failure before the job's commit
// removes the files of its discard steps; committed tells, across the
// pieces of a job run in line, whether the commit was made.
void run_steps(Step* steps, int n, Failure& f, bool& committed) {
  int k = 0;
  for (; k < n; ++k) {
    Step& s = steps[k];
    const int fd = s.fd;
    s.fd = -1;
    if (!run_step(s, fd, f)) break;
    if (s.commit) committed = true;
  }
  if (k == n) return;
  for (int j = k + 1; j < n; ++j)
    if (steps[j].fd >= 0) {
      ::close(steps[j].fd);
      steps[j].fd = -1;
    }
  if (committed) return;
  for (int j = 0; j < n; ++j)
    if (steps[j].discard) std::remove(steps[j].a);
}

void work() {
  std::unique_lock<std::mutex> lock(q.mu);
  for (;;) {
    q.cv.wait(lock, [] { return q.quit || q.njob > 0; });
    if (q.njob > 0) {
      const int n = q.njob;
      lock.unlock();
      Failure f;
      bool committed = false;
      run_steps(q.job, n, f, committed);
      lock.lock();
      if (f.what && !q.failed.what) q.failed = f;
      q.njob = 0;
      q.cv.notify_all();
      continue;
    }
    if (q.quit) return;
  }
}

// In a child made by fork, the parent's thread, its job and the state of
// its lock and signal stay behind: the child starts afresh, without a thread.
void after_fork() {
  if (!q.started || q.pid == ::getpid()) return;
  new (&q.mu) std::mutex();
  new (&q.cv) std::condition_variable();
  q.started = false;
  q.njob = 0;
  q.quit = false;
  q.failed = Failure{};
}

// Waits for the thread; returns its failure, if any, and forgets it.
Failure take_failure() {
  after_fork();
  std::unique_lock<std::mutex> lock(q.mu);
  q.cv.wait(lock, [] { return q.njob == 0; });
  Failure f = q.failed;
  q.failed = Failure{};
  return f;
}

// Gathers a step; without the thread, or when it does not fit, the job from
// here to its submit runs in line instead.
void add(Kind kind, int fd, bool discard, bool commit, const char* a, const char* b) {
  after_fork();
  const bool room = q.ngather < max_steps;
  Step* s = room ? &q.gather[q.ngather] : nullptr;
  bool fits = false;
  if (s) {
    s->kind = kind;
    s->fd = fd;
    s->discard = discard;
    s->commit = commit;
    fits = copy_path(s->a, a) && copy_path(s->b, b);
  }
  if (!q.in_line && q.started && fits) {
    ++q.ngather;
    return;
  }
  // In line: after any job of the thread, the steps gathered so far, then
  // this one (whose descriptor is closed whatever happens).
  q.in_line = true;
  Failure f = take_failure();
  const int n = q.ngather + (fits ? 1 : 0);
  q.ngather = 0;
  if (f.what) {
    for (int k = 0; k < n; ++k)
      if (q.gather[k].fd >= 0) ::close(q.gather[k].fd);
    if (!fits && fd >= 0) ::close(fd);
    io_fail(f.what, f.path, f.err);
  }
  run_steps(q.gather, n, f, q.committed);
  if (!fits) {
    // A path too long for a step, or no room: this step runs on its own.
    if (f.what) {
      if (fd >= 0) ::close(fd);
    } else {
      Step one;
      one.kind = kind;
      one.fd = fd;
      one.discard = discard;
      one.commit = commit;
      const bool named = copy_path(one.a, a) && copy_path(one.b, b);
      if (named) {
        run_steps(&one, 1, f, q.committed);
      } else {
        if (fd >= 0) ::close(fd);
        note(f, kind == Kind::fsync ? "cannot write file" : "cannot replace file",
             kind == Kind::fsync ? a : b, ENAMETOOLONG);
      }
    }
  }
  if (f.what) io_fail(f.what, f.path, f.err);
}

}  // namespace

void start() {
  after_fork();
  std::lock_guard<std::mutex> lock(q.mu);
  if (q.started) return;
  new (q.worker_room) std::thread(work);
  q.pid = ::getpid();
  q.started = true;
}

void discard() {
  for (int k = 0; k < q.ngather; ++k)
    if (q.gather[k].fd >= 0) ::close(q.gather[k].fd);
  q.ngather = 0;
  q.in_line = false;
  q.committed = false;
}

void fsync_fd(int fd, const char* path, bool discard) {
  add(Kind::fsync, fd, discard, false, path, "");
}

void rename(const char* from, const char* to) {
  add(Kind::rename, -1, false, false, from, to);
}

void commit(const char* from, const char* to) {
  add(Kind::rename, -1, true, true, from, to);
}

void sync_folder() {
  add(Kind::folder, -1, false, false, "", "");
}

void submit() {
  after_fork();
  const int n = q.ngather;
  q.ngather = 0;
  q.in_line = false;
  q.committed = false;
  if (n == 0) return;
  {
    std::unique_lock<std::mutex> lock(q.mu);
    q.cv.wait(lock, [] { return q.njob == 0; });
    for (int k = 0; k < n; ++k) q.job[k] = q.gather[k];
    q.njob = n;
  }
  q.cv.notify_all();
}

void wait() {
  const Failure f = take_failure();
  if (f.what) io_fail(f.what, f.path, f.err);
}

void wait_quietly() { (void)take_failure(); }

}  // namespace util::disk
