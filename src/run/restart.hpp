// Restart of an interrupted chain from the result files of its last store.
#pragma once

#include "model/state.hpp"

namespace run {

// Continues a chain at cycle `start` from the result files stored at cycle
// start - 1: the current samples (solutions, (co)variance matrices,
// structural factors, robustness weights, candidate-sire probabilities,
// proposal settings) come from their "last" columns, the running sums and
// sums of squares are rebuilt from the means and standard deviations with the
// kept count of that cycle (empty while it is 0), the acceptance sums from
// the rates and the cycles each sum holds, and the sample files are opened
// for appending.  The random stream and the drawn sires come back from
// "chain_state" (run/results/chain_state.hpp), the stream set last.  Prints one
// line per file read.
//
// Every file is checked before any is changed: the record of the last
// store (a store made but left unfinished is read where it stands, its
// result files from their temporaries), the data, pedigree and
// multiple-sires files against their lengths and checksums in the record
// (run/input_files.hpp), "chain_state" with the model it holds, the result
// files, each against its length and checksum in the record, and the
// sample files.  Only then is an unfinished store finished (or the
// leftovers of one not made removed, run/results/store_record.hpp) and are
// the sample files cut back to their lengths at the store.  A record of an
// earlier version, without checksums, is taken with a warning.
//
// Stops the run when start is 1 or less, when there is no record (no store
// was made), when the parameter file's last cycle is below the stored one,
// when the record names another cycle than start - 1 (the message names the
// cycle to give), other settings than the chain's, when an input file is
// not the one the chain began with, when the parameter file gives another
// model than the stored one, then when the record names other result files
// than the model's, when a result file is not the one the store wrote (its
// length or checksum), when a value line cannot be read (the file, the
// line, and whether the file ends there), when a line does not fit the
// model (other identifiers, words or labels, other counts of values or
// lines, a repeat count) or holds a value the chain cannot hold (not
// finite, too large, outside the bounds of its kind), and when a sample
// file does not match the store (a message naming the file, the line and
// the value, or the checksum of its stored part).  A missing result or
// sample file stops it through the file layer.  When no cycle is left to
// run (start > nround), the evaluation at the posterior means in
// "loglike_obs" is read back as well, so the files stored at the end come
// out as they were.
void restart(model::State& s, int start);

}  // namespace run
