// The model description: one global instance that the parameter-file reader
// fills and every other part of the program reads.  Arrays are 1-based.
//
// After the reader and the echo it is read-only, except the current cycle
// `round`, the (co)variance matrices `r`, `g`, their inverses `rinv`, `ginv`,
// and the multiple-sires count `n_ms`, which the pedigree reader reuses.
#pragma once

#include <string>

#include "util/array.hpp"

namespace model {

// Largest order of a random group's (co)variance block; second and third
// extents of `g` and `ginv`.
inline constexpr int maxcorr = 20;

// Effect type codes (`effecttype`), chosen by the first three letters of the
// type word.  `eff_none` marks a word that was not recognised (the reader
// refuses such a model, so no later pass meets it).
inline constexpr int eff_none = -1;
inline constexpr int eff_cro = 0;  // "cro" cross-classified
inline constexpr int eff_cov = 1;  // "cov" covariable, may be nested
inline constexpr int eff_ram = 2;  // "ram" animal of a reduced animal model
inline constexpr int eff_unk = 3;  // "unk" unknown covariable
inline constexpr int eff_rno = 4;  // "rno" reaction norm, may be nested

// Random type codes (`randomtype`).
inline constexpr int rnd_none = 1;         // not random
inline constexpr int rnd_diagonal = 2;     // "diagonal"
inline constexpr int rnd_add_animal = 3;   // "add_animal"
inline constexpr int rnd_add_an_upg = 4;   // "add_an_upg"
inline constexpr int rnd_add_an_upgi = 5;  // "add_an_upgi"
inline constexpr int rnd_add_sire = 6;     // "add_sire"
inline constexpr int rnd_par_domin = 7;    // "par_domin" (refused by the reader)
inline constexpr int rnd_add_an_ms = 8;    // "add_an_ms"
inline constexpr int rnd_add_an_mb = 9;    // "add_an_mb"
inline constexpr int rnd_diag_mb = 10;     // "diag_mb"

// Residual type codes (`residualtype`).
inline constexpr int res_homogeneous = 1;
inline constexpr int res_structural = 2;
inline constexpr int res_slash = 3;
inline constexpr int res_struct_slash = 4;
inline constexpr int res_student_t = 5;
inline constexpr int res_struct_student_t = 6;

struct Model {
  // Chain and files.
  std::string parfile;   // parameter file, as typed (blanks around it removed)
  int nround = 0;        // last cycle
  int nburn = 0;         // burn-in
  int skip = 0;          // thinning interval
  int seed = 0;          // seed of the random stream
  char rstart = ' ';     // 'y': continue from the result files; 'n': a fresh chain
  int start = 0;         // first cycle of this run
  int round = 0;         // current cycle (main loop only)
  std::string datafile;  // data file
  int nrec = 0;          // data records
  int ntrait = 0;        // traits
  int neff = 0;          // effects
  int pos_weight = 0;    // data column of the record weight; 0 = none
  int miss = 0;          // missing code; always 0

  util::vec1<int> pos_y;  // (ntrait) data column of each trait

  // Per effect; allocated when NUMBER_OF_EFFECTS is read.
  util::mat1<int> pos_eff;             // (neff, ntrait) data column; 0 = absent
  util::vec1<int> nlev;                // (neff) levels
  util::vec1<int> effecttype;          // (neff) effect type code
  util::vec1<int> effectsave;          // (neff) 1 = write samples to "solutionsam"
  util::mat1<int> nestedcov;           // (neff, ntrait) nesting column; 0 = none
  util::vec1<int> randomtype;          // (neff) random type code, at a group's first effect
  util::vec1<int> randomnumb;          // (neff) effects in the group, at its first effect
  util::vec1<int> dbelief_g;           // (neff) prior degrees of belief of the group
  util::vec1<std::string> randomfile;  // (neff) pedigree file of the group
  util::vec1<int> lenped;              // (neff) pedigree records
  util::vec1<int> ngrp;                // (neff) unknown parent groups
  util::vec1<int> nbreed;              // (neff) breeds
  // (neff, 20, 20): block of the group at g(e, 1..d, 1..d), d = ntrait *
  // randomnumb(e) (* nbreed(e) for types 9 and 10); 0 outside the blocks.
  util::arr3<double> g;
  util::arr3<double> ginv;  // same shape; allocated and filled by the main program

  // Residual model.
  int residualtype = 0;
  int dbelief_r = 0;
  int r_nround = 0;              // MH steps per cycle (structural types)
  int r_skip = 0;                // tuning interval of those steps
  int neffr = 0;                 // structural residual effects
  util::vec1<int> pos_effr;      // (neffr) effect number of each structural effect
  util::vec1<int> effrsave;      // (neffr) 1 = write its samples
  util::mat1<double> r;          // (ntrait, ntrait) residual (co)variance
  util::mat1<double> rinv;       // (ntrait, ntrait) inverse for the record in hand

  // Multiple sires and multiple breeds (one setting for the whole model).
  int max_msires = 0;   // largest candidate count whose sire is sampled
  std::string msfile;   // multiple-sires file
  int n_ms = 0;         // values in the multiple-sires file
  float ms_alpha = 0;   // Dirichlet prior weight; 0 = probabilities not resampled
  int mb_nround = 0;    // MH steps per cycle for multiple-breed blocks
  int mb_skip = 0;      // tuning interval of those steps
};

// The one description of the analysis.
extern Model m;

// Whether element (i, j) of the block of the random group at e is sampled,
// and so written to "varcompsam", given its starting matrix g0 (the
// parameter file's g).  An element that is 0 there is not, except in a
// multiple-breed group with Metropolis rounds, whose breed blocks are
// proposed whole: there it is sampled unless a variance of its block in its
// row or column is 0 (so also when the block is wholly 0), which every
// proposal keeps 0.
bool sampled_element(const util::arr3<double>& g0, int e, int i, int j);

}  // namespace model
