// The program's entry: start-up, then the cycles of the sampler.
#include <csignal>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "run/results/chain_state.hpp"
#include "run/cycle.hpp"
#include "run/echo.hpp"
#include "run/readfiles.hpp"
#include "run/restart.hpp"
#include "run/textop.hpp"
#include "sampler/multibreed.hpp"
#include "sampler/records.hpp"
#include "sampler/samplefiles.hpp"
#include "util/disk_queue.hpp"
#include "util/format.hpp"

namespace run {

// With times, the cycles are timed for a benchmark driver.
int velmoran_main(CycleTimes* times) {
  model::Model& M = model::m;
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
    // A chain that stops before writing a sample line leaves no empty files.
    sampler::discard_empty(sampler::sample_files(st));
    // No store of this run may still be under way when the caller goes on.
    util::disk::wait_quietly();
    throw;
  }
  return 0;
}

int velmoran_main() { return velmoran_main(nullptr); }

}  // namespace run
