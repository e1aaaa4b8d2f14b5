// A store of results as one unit.  The result files of a store are written
// to temporaries and put on disk; then the store record, which names the
// cycle, each result file with its length and checksum, and the length and
// checksum of every sample file at the store, is renamed into
// "store_record.new" — the moment the store counts as made; then the
// temporaries are renamed over the result files and the record to
// "store_record".  The record also names the chain's burn-in and thinning
// interval, which a restart must keep, and the length and checksum of each
// input file of the chain, which a restart must find unchanged.  An
// interruption before that moment leaves the previous store whole (its
// temporaries are discarded later); one after it is finished by recover().
// So the result files always come from one store, the record says where the
// sample files stood at it, and the checksums tie every file to the chain
// that wrote it.
#pragma once

#include <string>
#include <vector>

#include "util/checksum.hpp"

namespace run::record {

inline constexpr const char* file = "store_record";
inline constexpr const char* pending = "store_record.new";
inline constexpr const char* temporary = "store_record.tmp";

// Every result and sample file a store may name, in the order of a store.
inline constexpr const char* result_names[] = {"solutions",     "msiresppr",    "varcomp",     "loglike_obs",
                                               "mh_acceptance", "structural_r", "robustness_w", "chain_state"};
inline constexpr const char* sample_names[] = {"varcompsam", "loglike_rnd", "msirespprsam", "mh_dbeliefchg",
                                               "solutionsam"};
inline constexpr int max_results = 8, max_samples = 5;

// An input file of the chain (the data, a pedigree or the multiple-sires
// file) by its contents, which a continued chain must read unchanged: its
// kind (one of input_kinds), the effect of a pedigree's group (else 0) and
// its tally as read (util::tally_of_file with as_read).  Its name is not
// kept: the files of a chain may move.
inline constexpr const char* input_kinds[] = {"data", "pedigree", "multiple_sires"};
struct Input {
  const char* kind = input_kinds[0];
  int effect = 0;
  util::Tally tally;
};

// What one store holds.  Names point at the constants above.
// How a restart's refusal ends for a file that is not the one the store
// wrote.
inline constexpr const char* not_stored_file =
    "): it comes from another chain, or it was changed after the store; put back the file of that store";

// How a restart's refusal ends for a record that lacks what its store
// wrote: cut at the end of a line, or changed.
inline constexpr const char* record_damaged =
    ": the record was cut or changed after the store; put back the file of that store, or start the chain "
    "afresh (RESTART: n)";

struct Store {
  int cycle = 0;
  // The chain's burn-in and thinning interval, which turn the stored means
  // back into sums.
  int burn_in = -1, thinning = -1;
  int nresults = 0;
  const char* results[max_results] = {};
  util::Tally result_tallies[max_results] = {};
  int nsamples = 0;
  const char* samples[max_samples] = {};
  util::Tally sample_tallies[max_samples] = {};
  // The record gives the checksums (a record of an earlier version does
  // not: its tallies are lengths alone, their `summed` false).
  bool summed = true;
  // Read back: the record it came from (file or pending, a store made but
  // not finished) and the line of each sample file in it.
  const char* source = file;
  long sample_lines[max_samples] = {};
  // Read back: the input files the record names (none in a record of a
  // chain begun before they were kept); a store writes those of
  // keep_inputs instead.
  std::vector<Input> inputs;

  void add_result(const char* name, const util::Tally& t) {
    result_tallies[nresults] = t;
    results[nresults++] = name;
  }
  void add_sample(const char* name, const util::Tally& t) {
    samples[nsamples] = name;
    sample_tallies[nsamples++] = t;
  }
  bool has_result(const char* name) const;
  // Length of a sample file at the store, -1 when the store has none.
  long long sample_size(const char* name) const;
  // Its tally at the store (bytes -1 when the store has none).
  // Its place in samples, -1 when the store has none.
  int sample_index(const char* name) const;
  util::Tally sample_tally(const char* name) const;
  // The line of the record that gives it, 0 when none does.
  long sample_line(const char* name) const;
  bool pending() const;
};

// A length and checksum as the messages give them ("1190 bytes with
// checksum 0a5e8c21b77f3d09").
std::string described(const util::Tally& t);

// The temporary of a result file ("name.tmp"), in a buffer of the caller.
const char* temporary_of(const char* name, char (&buf)[32]);

// The chain's input files, taken once at start-up, which every store of
// this run then records after its files.
void keep_inputs(std::vector<Input> inputs);

// Makes the store whose result files wait in their temporaries: writes the
// record (with the inputs kept) and renames it to its pending name.
// Allocates nothing after its first use, nor does finish.
void make(const Store& st);
// Renames the temporaries of a made store over the result files, and the
// pending record into place.
void finish(const Store& st);

// Finishes a store interrupted after it was made, and removes the
// temporaries of one interrupted before.  A restart runs it once every
// file has been checked.
void recover();

// A fresh chain: the record of an earlier chain in the folder, and any
// store of it left unfinished, no longer describe the files.
void forget();

// Reads the last store made into st without changing a file: the pending
// record when a store was interrupted after it was made, else
// "store_record".  False when there is neither; stops the run, naming the
// line, when the record cannot be read (an unknown or repeated line, no
// cycle, burn-in or thinning line, lines with checksums beside lines
// without, or an input file named twice).
bool read(Store& st);

// The cycle of the last store this run made or continues from (0: none).
int last_cycle();

// Each result file of store st (where it stands: see source_of) against
// its length and checksum in the record; one that does not match stops the
// restart, naming it.  Changes nothing.  A record of an earlier version
// has no checksums: nothing to check.
void check_result_files(const Store& st);

// The refusal of check_result_files for result file `name` (or its k-th
// file) of store st, "" when the file is the store's or the record gives no
// checksums.
std::string not_stored(const Store& st, const char* name);
std::string not_stored(const Store& st, int k);

// The file that holds result file `name` of the store st as it stands:
// its temporary while a pending store has not yet been renamed into place.
const char* source_of(const Store& st, const char* name, char (&buf)[32]);

}  // namespace run::record
