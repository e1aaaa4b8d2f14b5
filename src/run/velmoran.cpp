// The program's entry: start-up, then the cycles of the sampler.
#include <csignal>
#include <cstring>
#include <string>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "run/results/chain_state.hpp"
#include "run/results/store_record.hpp"
#include "run/cycle.hpp"
#include "run/echo.hpp"
#include "run/input_files.hpp"
#include "run/readfiles.hpp"
#include "run/restart.hpp"
#include "run/store.hpp"
#include "run/textop.hpp"
#include "sampler/multibreed.hpp"
#include "sampler/records.hpp"
#include "sampler/samplefiles.hpp"
#include "util/disk_queue.hpp"
#include "util/format.hpp"
#include "util/lock.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run {

namespace {

// The file on which a run holds its folder.
constexpr const char* lock_file = "chain_lock";

// A folder holds one chain: a run holds it from start-up to its end, and
// the system lets go when the process ends, however it ends.
struct FolderHold {
  util::FileLock lock;
  FolderHold() {
    const util::LockTry t = util::take_lock(lock, lock_file);
    if (t.kind == util::LockTry::held)
      util::fatal(" another run" + (t.pid > 0 ? " (process " + std::to_string(t.pid) + ")" : std::string()) +
                  " is using this folder, and a folder holds one chain: this run stops without changing a"
                  " file. Wait for that run to end, or give this analysis a folder of its own");
    if (t.kind == util::LockTry::not_own)
      util::fatal(std::string(" \"") + lock_file + "\", the file on which a run holds this folder, is " + t.what +
                  ": a lock taken through it could be lost, letting a second run in. This run stops without"
                  " changing a file. Remove \"" + lock_file + "\" (the run makes it anew) and start the run again");
    if (t.kind == util::LockTry::unsupported)
      util::say_text(std::string(" warning: this folder cannot be locked (\"") + lock_file + "\": " +
                     std::strerror(t.err) + "); nothing keeps a second run out of it while this one runs");
    // Each store sees whether the lock still holds the folder.
    watch_folder_lock(&lock, lock_file);
  }
  ~FolderHold() {
    watch_folder_lock(nullptr, "");
    util::release(lock);
  }
  FolderHold(const FolderHold&) = delete;
  FolderHold& operator=(const FolderHold&) = delete;
};

}  // namespace

// With times, the cycles are timed for a benchmark driver.
int velmoran_main(CycleTimes* times) {
  model::Model& M = model::m;
  // Before anything is read or written, and up to the last file put on
  // disk: a second run in the folder stops here.
  const FolderHold hold;
  // A file-size limit reached is a failed write like any other, reported
  // with the file's name, not a signal that ends the process unannounced.
  std::signal(SIGXFSZ, SIG_IGN);

  // Start-up, in this order.
  textop::read_parameters();
  print_parameters("VELMORAN 1.20");
  check_model_classes();
  // As the parameter file gives it, before a restart takes g and r back.
  chain::keep_model_definition();
  // The only seeding of the run; a restart then continues the stored stream.
  prob::set_seed(M.seed);

  static model::State st;  // lives for the run; large, so not on the stack
  st.neq = model::number_of_equations();
  st.reclen = model::data_record_length();
  util::say("Data record length = ", st.reclen);
  model::allocate_state(st);
  read_files(st);

  // What the stores record of the data, pedigree and multiple-sires files,
  // and what a restart finds unchanged.
  inputs::keep();
  if (M.rstart == 'y') restart(st, M.start);
  sampler::check_mb_dbelief(st);
  // The data file; its records are read at the first cycle of this run.  A
  // missing file stops here, naming it.
  sampler::open_data_file(st, M.datafile);
  model::start_clock(st);
  // Stores are put on disk beside the cycles that follow them.
  util::disk::start();

  try {
    const int cycles = run_cycles(st, times);
    finish_run(st, cycles);
  } catch (...) {
    // No store of this run may still be under way when the caller goes on.
    util::disk::wait_quietly();
    // A chain that stops before writing a sample line leaves no empty files,
    // but a store made names them all: they stay for the restart.
    const bool stored = util::file_size(record::file) >= 0 || util::file_size(record::pending) >= 0;
    sampler::discard_empty(sampler::sample_files(st), stored);
    throw;
  }
  return 0;
}

int velmoran_main() { return velmoran_main(nullptr); }

// The name of the parameter file comes on standard input, so that a job
// script reads the same as an interactive run; an argument is never read.
// Before the folder is locked or the prompt shown: a run asked for help,
// or given a name it would not read, changes nothing.
bool answer_arguments(int argc, const char* const* argv) {
  if (argc < 2) return false;
  const std::string how =
      " velmoran reads the name of its parameter file from standard input, not from its arguments:"
      " echo params.txt | velmoran";
  bool help = false;
  for (int k = 1; k < argc; ++k) help = help || std::strcmp(argv[k], "--help") == 0 || std::strcmp(argv[k], "-h") == 0;
  if (help) {
    util::say_text(how);
    util::say_text(" The files it reads and writes, and its messages, are described in the user manual,"
                   " docs/manual.md (section 1: running the program).");
    return true;
  }
  std::string given;
  for (int k = 1; k < argc; ++k) given += std::string(k == 1 ? "" : " ") + argv[k];
  util::fatal_stderr(how + "; this run stops without reading \"" + given + "\"");
}

}  // namespace run
