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
// -1 when the system does not tell); or not possible on this file system
// (the system's reason).
struct LockTry {
  enum Kind { taken, held, unsupported } kind = taken;
  long pid = -1;
  int err = 0;
};

// Takes the lock on file `name` (made empty when missing) without waiting.
// A file that cannot be opened for writing stops the run, naming it.  The
// file stays where it is when the lock is released: removing it could let
// two processes hold locks on two files of the same name.
LockTry take_lock(FileLock& l, const char* name);

// Releases the lock (closing the file); nothing when it is not held.
void release(FileLock& l);

}  // namespace util
