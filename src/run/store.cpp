#include "run/store.hpp"

#include <cstdio>
#include <iterator>
#include <string>
#include <string_view>

#include "model/model.hpp"
#include "run/results/chain_state.hpp"
#include "run/results/loglike_obs.hpp"
#include "run/results/mh_acceptance.hpp"
#include "run/results/msiresppr.hpp"
#include "run/results/result_out.hpp"
#include "run/results/robustness_w.hpp"
#include "run/results/sample_files.hpp"
#include "run/results/solutions.hpp"
#include "run/results/structural_r.hpp"
#include "run/results/store_record.hpp"
#include "run/results/varcomp.hpp"
#include "util/disk_queue.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run {

using model::m;
using namespace results;

namespace {

// The result files of a store, in the order of record::result_names: when a
// store writes each, its writer, and the line that announces it (none for
// the chain's own state).
struct ResultFile {
  const char* name;
  bool (*written)(int round);
  void (*write)(const model::State& s, const Kept& sm);
  const char* stored;
};

void write_chain_state(const model::State& s, const Kept&) { chain::write(s); }

constexpr ResultFile result_files[] = {
    {solutions_file, [](int) { return true; }, write_solutions,
     "solutions stored in file: \"solutions\""},
    {msiresppr_file, [](int) { return m.max_msires > 1; }, write_msiresppr,
     "msires ppr stored in file: \"msiresppr\""},
    {varcomp_file, [](int) { return true; }, write_varcomp,
     "variance components stored in file: \"varcomp\""},
    {loglike_obs_file, [](int round) { return m.nburn < round; }, write_loglike_obs,
     "loglike_obs stored in file: \"loglike_obs\""},
    {mh_acceptance_file, [](int) { return model::uses_mh_files(); }, write_mh_acceptance,
     "acceptance rates and degrees of belief stored in file: \"mh_acceptance\""},
    {structural_r_file, [](int) { return m.neffr > 0; }, write_structural_r,
     "Structural R  stored in file: \"structural_r\""},
    {robustness_w_file, [](int) { return model::robust_residuals(); }, write_robustness_w,
     "Robustness weights stored in file: \"robustness_w\""},
    {chain::file, [](int) { return true; }, write_chain_state, nullptr},
};
static_assert(std::size(result_files) == record::max_results);

// The table keeps the store record's order of names.
constexpr bool in_record_order() {
  for (int k = 0; k < record::max_results; ++k)
    if (std::string_view(result_files[k].name) != record::result_names[k]) return false;
  return true;
}
static_assert(in_record_order());

// The temporaries of a store that stops before it is made are removed, so
// the previous store stays as it was and nothing is left behind.
struct Unmade {
  const record::Store& st;
  bool made = false;
  ~Unmade() {
    if (made) return;
    util::disk::discard();
    char buf[32];
    for (int k = 0; k < st.nresults; ++k) util::remove_file(record::temporary_of(st.results[k], buf));
    util::remove_file(record::temporary);
  }
};

// The lock of the run's folder, if it holds one.
const util::FileLock* folder_lock = nullptr;
const char* folder_lock_name = "";

// A lock whose file lost its name no longer keeps a second run out: stop
// before this store writes a byte (or, in_store, where it failed), leaving
// the last store as it is.
void check_folder_lock(int round, bool in_store = false) {
  if (!folder_lock) return;
  const char* lost = util::lock_lost(*folder_lock, folder_lock_name);
  if (!lost) return;
  const int last = record::last_cycle();
  const std::string lock = std::string("\"") + folder_lock_name + "\"";
  const std::string from =
      last > 0 ? "; the last store is that of cycle " + std::to_string(last) +
                     ". Let any other run in this folder end (a folder holds one chain), then "
                     "restart from that store"
               : ", the chain's first. Let any other run in this folder end (a folder holds one "
                 "chain), then start the chain afresh";
  util::fatal(" " + lock + ", the file on which this run holds its folder, was " + lost +
              " while the chain ran, so a second run may have started in this folder. The run "
              "stops " + (in_store ? "in" : "before") + " its store of cycle " +
              std::to_string(round) + from + "; never remove " + lock + " while a run goes on");
}

}  // namespace

void watch_folder_lock(const util::FileLock* lock, const char* name) {
  folder_lock = lock;
  folder_lock_name = name;
}

namespace results {

int stored_results(int round, const char* (&names)[record::max_results]) {
  int n = 0;
  for (const ResultFile& r : result_files)
    if (r.written(round)) names[n++] = r.name;
  return n;
}

}  // namespace results

namespace {

void store(model::State& s, bool in_background, int round) {
  const Kept sm = Kept::at_cycle(round);

  // The sample files first: every line the store counts is on disk.
  record::Store st;
  st.cycle = round;
  st.burn_in = m.nburn;
  st.thinning = m.skip;
  sync_sample_files(s, round, st);

  Unmade unmade{st};
  const ResultFile* written[record::max_results];
  int nr = 0;
  for (const ResultFile& r : result_files)
    if (r.written(round)) {
      r.write(s, sm);
      st.add_result(r.name, ResultOut::sealed());
      written[nr++] = &r;
    }
  record::make(st);
  unmade.made = true;
  record::finish(st);

  if (!in_background) util::disk::wait();
  for (int k = 0; k < nr; ++k)
    if (const char* said = written[k]->stored) util::say(said);
  // Standard output redirected to a file is buffered: what it shows keeps
  // up with the chain at least at each store.
  std::fflush(stdout);
  reopen_sample_files(s, round);
}

}  // namespace

void store_solutions(model::State& s, bool in_background) {
  const int round = m.round;
  bool begun = false;
  try {
    // The files of the last store are still being put into place.
    util::disk::wait();
    check_folder_lock(round);
    begun = true;
    store(s, in_background, round);
  } catch (const util::Stop&) {
    // A second run let in by a lost lock makes the files of this one fail
    // under it (its fresh start removes their temporaries): the lock is the
    // cause to name, not the file.
    check_folder_lock(round, begun);
    throw;
  }
}

}  // namespace run
