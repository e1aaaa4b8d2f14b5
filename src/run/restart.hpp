// Restart of an interrupted chain from the result files of its last store.
#pragma once

#include "run/state.hpp"

namespace run {

// Continues a chain at cycle `start` from the result files stored at cycle
// start - 1: the current samples (solutions, (co)variance matrices,
// structural factors, robustness weights, candidate-sire probabilities,
// proposal settings) come from their "last" columns, the running sums and
// sums of squares are rebuilt from the means and standard deviations with the
// kept count of that cycle (empty while it is 0), the acceptance sums from
// the rates, and the sample files are opened for appending.  Prints one line
// per file read.
//
// A store left unfinished by an interruption is finished, or discarded when
// it was not yet made (run/store_record.hpp), before anything is read.  The
// sample files are cut back to their lengths at the store.
//
// Stops the run when start is 1 or less, when a title line or the store
// record names another cycle than start - 1, when a value line cannot be
// read (the message of its file), and when a line does not fit the model
// (other identifiers or labels, other counts of values or lines) or holds a
// number that is not finite (a message naming the file and the line).  A missing result or sample file stops it through the file
// layer.  When no cycle is left to run (start > nround), the evaluation at
// the posterior means in "loglike_obs" is read back as well, so the files
// stored at the end come out as they were.
void restart(State& s, int start);

}  // namespace run
