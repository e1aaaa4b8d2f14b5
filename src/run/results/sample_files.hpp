// The sample files at a store and at a restart.  Their lines and the
// layout of an entry are the sampler's (sampler/samplefiles.hpp); a store
// records the length of each (run/results/store_record.hpp), and a restart
// checks the files against those lengths and cuts them back to them.
#pragma once

#include "model/state.hpp"
#include "run/results/store_record.hpp"

namespace run::results {

// The sample files of the chain at a store at cycle `round`: each checked
// against what the chain wrote to it (the file open under its name, of the
// length written), then written out and put on disk, their lengths and
// checksums entered in st.  A file that was cut, grown, replaced or removed
// under the chain stops the run before the store gathers anything, naming
// the file, and so does a missing file the store must reopen.
void sync_sample_files(model::State& s, int round, record::Store& st);
// The sample files after a store at cycle `round`: closed, and reopened for
// appending unless the chain has ended (unit 58 only while its proposals
// are still tuned).
void reopen_sample_files(model::State& s, int round);
// The sample files of a chain restarted at cycle `start` from the store st,
// checked without changing them: a file shorter than at the store, one that
// the store does not name, a stored length that does not end a line
// (or, in "varcompsam", "solutionsam" and "loglike_rnd", the entry of the
// stored cycle; in "msirespprsam", the lines of that cycle), naming the
// record's line, and bytes up to the stored length whose checksum is not
// the stored one are refused; a missing file stops the run.  The tally of
// each file's stored part goes into st.
void check_sample_files(model::State& s, int start, record::Store& st);
// Then each is cut back to its length at the store, so lines written after
// it (a partial line or cycle included) go, and opened for appending.
void open_sample_files(model::State& s, int start, const record::Store& st);

}  // namespace run::results
