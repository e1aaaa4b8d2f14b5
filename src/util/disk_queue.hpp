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
// A job may have a commit step: the rename after which its work counts as
// done.  When a job fails before its commit step has been made, the files
// of its discard steps are removed, so nothing of it is left behind; once
// the commit is made, what remains is left for a restart to finish.
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
// and with discard the file is removed when the job fails before its commit.
// commit is the rename that makes the job count (its source is removed when
// the job fails before it); sync_folder's failure is reported as "cannot
// write folder".
void fsync_fd(int fd, const char* path, bool discard);
void rename(const char* from, const char* to);
void commit(const char* from, const char* to);
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
