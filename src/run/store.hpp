// The store: the result files of the chain, its posterior summaries,
// rewritten as one unit at every store and read back on a restart
// (run/restart.hpp).  Each result file is a unit of its own in
// run/results/, holding its layout, its writer and its reader.
#pragma once

#include "model/state.hpp"
#include "run/results/store_record.hpp"
#include "util/lock.hpp"

namespace run {

// Rewrites the result files "solutions", "msiresppr", "varcomp",
// "loglike_obs", "mh_acceptance", "structural_r" and "robustness_w" (each on
// its condition), and the chain's own "chain_state", for the current cycle
// model::m.round, and closes and reopens
// the sample files for appending (after the last cycle they stay closed).
// The sample files are put on disk first, and the result files are made as
// one unit with the store record (run/results/store_record.hpp): an
// interrupted or failed store leaves the previous one whole.  One line per
// file goes to standard output once the store is made.
//
// Means and standard deviations (divisor n, the kept count) are written once
// the chain is past burn-in with at least one kept sample; before that the
// mean and sd columns hold the raw sums (run/results/columns.hpp).  An
// acceptance rate is its sum divided by the acceptance probabilities the
// sum holds (model::acceptance_rate).
// With in_background, what waits on the disk is left to util::disk and the
// run goes on; the next store, or anything reading the store, waits for it.
void store_solutions(model::State& s, bool in_background = false);

// The lock by which this run holds its folder, on file `name`: each store
// first checks that the name is still the locked file, and stops the run
// before writing anything when it was removed or replaced (a second run
// could then be in the folder).  None (nullptr) in a run that holds no lock.
void watch_folder_lock(const util::FileLock* lock, const char* name);

namespace results {

// The result files a store at cycle `round` writes, in the order of a
// store; returns their number.
int stored_results(int round, const char* (&names)[record::max_results]);

}  // namespace results

}  // namespace run
