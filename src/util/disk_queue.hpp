// Putting a store on disk without holding up the chain.  A store's files are
// written by the caller; what then waits on the disk (each file's fsync, the
// renames that put the files into place, the folder syncs between them) is
// queued here as one job and carried out, in order, by one background
// thread, while the next cycles run.  The next store, the end of the run and
// anything else that reads or replaces the store's files wait for the job
// first.  A job that fails stops at its failing step (later renames are not
// made, as when the steps ran in line) and the failure stops the run at the
// next wait, with the message it would have given at once.
//
// Nothing here allocates once start() has run, so periodic stores in a
// cycle allocate nothing.
#pragma once

namespace util::disk {

// Starts the background thread (once in each process); later calls do
// nothing.
void start();

// Steps of the job being gathered.  fsync_fd takes over fd (a descriptor of
// its own, closed after its fsync); path names the file in a failure message,
// and when remove_on_failure is set the file is removed if its fsync fails.
void fsync_fd(int fd, const char* path, bool remove_on_failure);
void rename(const char* from, const char* to);
void sync_folder();

// Hands the steps gathered so far to the thread.  Without start(), or when
// the steps did not fit, they run here and now.
void submit();

// Forgets the steps gathered since the last submit (a store that failed
// before it was made), closing their descriptors.
void discard();

// Waits until no job is queued or running; a failed job stops the run here.
void wait();

// As wait, but a failure is only forgotten: for paths that are already
// stopping the run, and for the end of the program.
void wait_quietly();

}  // namespace util::disk
