#include "util/lock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "util/textio.hpp"

namespace util {

namespace {

struct flock whole_file(short type) {
  struct flock f {};
  f.l_type = type;
  f.l_whence = SEEK_SET;
  f.l_start = 0;
  f.l_len = 0;
  return f;
}

}  // namespace

LockTry take_lock(FileLock& l, const char* name) {
  release(l);
  LockTry r;
  // Not followed: a dangling link would make a file elsewhere.
  const int fd = ::open(name, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0666);
  if (fd < 0) {
    if (errno != ELOOP && errno != EISDIR) io_fail("cannot open file", name, errno);
    r.kind = LockTry::not_own;
    r.what = errno == ELOOP ? "a symbolic link" : "a folder";
    return r;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    io_fail("cannot open file", name, err);
  }
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    ::close(fd);
    r.kind = LockTry::not_own;
    r.what = !S_ISREG(st.st_mode) ? "not a regular file" : "a file with another name as well (a hard link)";
    return r;
  }
  // A holder that ends between the refusal and the question leaves the
  // lock free: try again.
  for (int tries = 0; tries < 3; ++tries) {
    struct flock f = whole_file(F_WRLCK);
    if (const int refused = fault_of("lock", name)) {
      errno = refused;
    } else if (::fcntl(fd, F_SETLK, &f) == 0) {
      l.fd = fd;
      return r;
    }
    r.kind = LockTry::held;
    if (errno != EACCES && errno != EAGAIN) {
      r.kind = LockTry::unsupported;
      r.err = errno;
      break;
    }
    struct flock held = whole_file(F_WRLCK);
    if (::fcntl(fd, F_GETLK, &held) != 0) break;
    if (held.l_type != F_UNLCK) {
      r.pid = held.l_pid > 0 ? static_cast<long>(held.l_pid) : -1;
      break;
    }
  }
  ::close(fd);
  return r;
}

const char* lock_lost(const FileLock& l, const char* name) {
  if (l.fd < 0) return nullptr;
  struct stat held, now;
  if (::fstat(l.fd, &held) != 0) return nullptr;
  // Not followed: a link put in its place is another file.
  if (::lstat(name, &now) != 0) return errno == ENOENT ? "removed" : nullptr;
  return now.st_dev == held.st_dev && now.st_ino == held.st_ino ? nullptr
                                                                : "replaced by another file";
}

void release(FileLock& l) {
  if (l.fd < 0) return;
  ::close(l.fd);
  l.fd = -1;
}

}  // namespace util
