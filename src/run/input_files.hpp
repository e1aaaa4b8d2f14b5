// The input files of a chain (the data file, the pedigree files its random
// groups read, the multiple-sires file) by their contents, kept with every
// store, so that a restart can tell that the continued chain reads the
// files the chain began with: a changed file would mix two data sets in one
// set of posterior means.  Names are not compared, so files may move.
#pragma once

#include "run/results/store_record.hpp"

namespace run::inputs {

// Takes the length and checksum of each input file of the model as its
// reader reads it (a byte-order mark and the carriage returns of CR LF line
// ends left out: an editor's encoding and line ends change no value), for
// every store of this run to record (record::keep_inputs).  A file that is
// not there is left out; its reader stops the run, naming it.  Called once
// at start-up, after the parameter file is read.
void keep();

// The input files against those the record of store st names; one whose
// length or checksum differs stops the restart, naming the file.  A record
// that names none (a store of an earlier version) is not compared, and the
// next store records them; one that names some but not all is refused.
// Changes nothing.
void check(const record::Store& st);

}  // namespace run::inputs
