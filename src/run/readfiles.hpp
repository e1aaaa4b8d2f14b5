// Pedigree and multiple-sires files.
#pragma once

#include "model/state.hpp"

namespace run {

// Reads, once at start-up, the multiple-sires file (when max_msires > 0) and
// the pedigree file of every random group whose type has one (all but
// diagonal)
// into the state: PED, PED_CODE, MS_STAT, P_MS, MS, DINV, BREED; allocates
// and initialises SUMMS, SSMS, MS_ALPHAS, SOL_N, SUMSOL_N, SSSOL_N,
// SUMMB_ACCEP and MB_DBELIEF; assigns each animal with candidate sires its
// block in MS; creates "msirespprsam" on a fresh run that samples the
// candidates' probabilities.  Echoes the first records and writes a count
// line per file to standard output.  Leaves model::m.n_ms at the position
// after the last candidate block assigned.
//
// Each record is one line of its file (blank lines are skipped); a line that
// does not hold the record's values as numbers (integers for ids), or holds a
// value that is not finite, stops the run.  Ids are checked where a wrong one
// would reach outside the state: animals, parents and candidate sires must be
// levels of their effect (and, for the multiple-breed types, lines of its
// pedigree), a negative sire needs a multiple-sires file and a whole candidate
// block of 1 to 50 candidates with whole ids in it, and a multiplier code of
// add_an_upg must be 1 to 4.  The pedigree must be one: an animal given
// twice, an animal as its own parent or ancestor, one animal as both parents
// (an unknown parent group, which has no parents of its own, may be both) and,
// for the types that can have candidate sires, a record not describing the animal of its number
// (or a level without its line) are refused, and so is a breed fraction
// outside 0 to 1 or a line whose fractions do not sum to 1 (within 0.001).
// Every refusal names the file, line and value and stops the run.  A file
// with more records than declared is read as far as declared, with a
// warning.  For the additive types (add_animal, add_an_upg, add_an_upgi,
// add_sire) every level of the group that has no line and is no parent group
// is given the line of an animal with both parents unknown after those read,
// lenped counting them, with one warning line (and, with parent groups, one
// line naming the groups).  With parent groups, a parent without a line of its
// own is a group only where the codes of its offspring's lines count it as an
// unknown parent (or say nothing of it); codes that disagree on it are
// refused.
void read_files(model::State& s);

}  // namespace run
