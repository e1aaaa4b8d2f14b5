// An exclusive lock on a file, by which one process holds a folder for
// itself.  The lock is advisory (it binds only processes that take it) and
// belongs to the process: the system releases it when the process ends, in
// whatever way, so a killed holder never blocks the next one.
#pragma once

namespace util {

struct FileLock {
  int fd = -1;
};

// What taking a lock came to: taken; held by another process (its id, or
// -1 when the system does not tell); not possible on this file system (the
// system's reason); or not taken because the name is no file of its own
// (`what` says what it is instead).
struct LockTry {
  enum Kind { taken, held, unsupported, not_own } kind = taken;
  long pid = -1;
  int err = 0;
  const char* what = "";
};

// Takes the lock on file `name` (made empty when missing) without waiting.
// A file that cannot be opened for writing stops the run, naming it.  The
// file stays where it is when the lock is released: removing it could let
// two processes hold locks on two files of the same name.  The name must be
// a regular file with no other name: a lock belongs to the process and the
// file, and the process's closing of any other name of the file (a data file
// read through a link) would let it go.  So a symbolic link is not followed
// and, like a hard link or anything but a regular file, is not_own.
LockTry take_lock(FileLock& l, const char* name);

// What became of file `name` since lock l was taken on it: nullptr while
// the name is still the locked file (device and inode) or no lock is held;
// "removed" when the name is gone; "replaced by another file" when it names
// another.  A lock on a file that lost its name keeps out no run that makes
// the name anew.
const char* lock_lost(const FileLock& l, const char* name);

// Releases the lock (closing the file); nothing when it is not held.
void release(FileLock& l);

}  // namespace util
