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

// Said beside a level or id above an effect's levels: ids as the breeding
// records hold them (herd-book numbers) are most often the cause.
inline constexpr const char* recode_hint =
    "; levels are numbered 1, 2, ... up to the levels of the effect: recode ids beyond them"
    " (manual, section 1.1) or give the effect more levels";

// The types of the parameter file, by their codes there: an effect's type
// (`effecttype`, the first three letters of its type word), a random
// group's (`randomtype`) and the residuals' (`residualtype`).  word() gives
// each type's word; what a type implies is asked of the functions below,
// never of its code.
enum class EffectType : int {
  none = -1,  // a word that is no type (the reader refuses such a model)
  cro = 0,    // "cro" cross-classified
  cov = 1,    // "cov" covariable, may be nested
  ram = 2,    // "ram" animal of a reduced animal model
  unk = 3,    // "unk" unknown covariable
  rno = 4,    // "rno" reaction norm, nested in its level column
};
enum class RandomType : int {
  none = 1,  // not random
  diagonal = 2,
  add_animal = 3,
  add_an_upg = 4,
  add_an_upgi = 5,
  add_sire = 6,
  par_domin = 7,  // refused by the reader: no sampling step
  add_an_ms = 8,
  add_an_mb = 9,
  diag_mb = 10,
};
enum class ResidualType : int {
  none = 0,  // not read yet
  homogeneous = 1,
  structural = 2,
  slash = 3,
  struct_slash = 4,
  student_t = 5,
  struct_student_t = 6,
};

// Every type of the parameter file, in code order.
inline constexpr EffectType effect_types[] = {EffectType::cro, EffectType::cov, EffectType::ram,
                                              EffectType::unk, EffectType::rno};
inline constexpr RandomType random_types[] = {
    RandomType::diagonal,    RandomType::add_animal, RandomType::add_an_upg,
    RandomType::add_an_upgi, RandomType::add_sire,   RandomType::par_domin,
    RandomType::add_an_ms,   RandomType::add_an_mb,  RandomType::diag_mb};
inline constexpr ResidualType residual_types[] = {
    ResidualType::homogeneous,  ResidualType::structural, ResidualType::slash,
    ResidualType::struct_slash, ResidualType::student_t,  ResidualType::struct_student_t};

// The word of a type in the parameter file ("cro" for EffectType::cro, the
// three letters that choose it); "" for none.
const char* word(EffectType t);
const char* word(RandomType t);
const char* word(ResidualType t);

// ---- what a type implies
// One factor for the whole effect as a structural residual effect (a
// covariable or reaction norm), else one per level.
constexpr bool single_factor(EffectType t) { return t == EffectType::cov || t == EffectType::rno; }
// Nesting columns may follow the save word of its EFFECTS: line.
constexpr bool nested(EffectType t) { return single_factor(t); }
// A (co)variance block per pair of breeds, drawn by Metropolis-Hastings.
constexpr bool multiple_breed(RandomType t) {
  return t == RandomType::add_an_mb || t == RandomType::diag_mb;
}
// Its pedigree lines may give candidate sires (a negative sire), and line i
// describes animal i.
constexpr bool candidate_sires(RandomType t) {
  return t == RandomType::add_an_ms || multiple_breed(t);
}
// A MULTIPLE_SIRES: section follows its PEDIGREEFILE: line.
constexpr bool multiple_sires_section(RandomType t) {
  return t == RandomType::add_an_ms || t == RandomType::add_an_mb;
}
// Its pedigree names unknown parent groups, and each line carries a code.
constexpr bool parent_groups(RandomType t) {
  return t == RandomType::add_an_upg || t == RandomType::add_an_upgi;
}
// A pedigree of plain lines (animal, parent, parent or sire, its sire, its
// maternal grandsire) whose relationship inverse follows the additive rules.
constexpr bool additive_lines(RandomType t) {
  return t == RandomType::add_animal || t == RandomType::add_sire || parent_groups(t);
}
// Words of its PEDIGREEFILE: value line: the file, then the number of
// lines, of parent groups and of breeds as far as the type has them.
constexpr int pedigree_words(RandomType t) {
  return multiple_breed(t) ? 4 : t == RandomType::add_an_ms ? 3 : additive_lines(t) ? 2 : 1;
}
// Structural residual effects scale the residual variance.
constexpr bool structural(ResidualType t) {
  return t == ResidualType::structural || t == ResidualType::struct_slash ||
         t == ResidualType::struct_student_t;
}
// Student-t or slash robustness weights scale it per record.
constexpr bool student_t(ResidualType t) {
  return t == ResidualType::student_t || t == ResidualType::struct_student_t;
}
constexpr bool slash(ResidualType t) {
  return t == ResidualType::slash || t == ResidualType::struct_slash;
}
constexpr bool robust(ResidualType t) { return student_t(t) || slash(t); }

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
  util::vec1<EffectType> effecttype;   // (neff)
  util::vec1<int> effectsave;          // (neff) 1 = write samples to "solutionsam"
  util::mat1<int> nestedcov;           // (neff, ntrait) nesting column; 0 = none
  util::vec1<RandomType> randomtype;   // (neff) at a group's first effect
  util::vec1<int> randomnumb;          // (neff) effects in the group, at its first effect
  util::vec1<int> dbelief_g;           // (neff) prior degrees of belief of the group
  util::vec1<std::string> randomfile;  // (neff) pedigree file of the group
  util::vec1<int> lenped;              // (neff) pedigree records
  util::vec1<int> ngrp;                // (neff) unknown parent groups
  util::vec1<int> nbreed;              // (neff) breeds
  // (neff, 20, 20): block of the group at g(e, 1..d, 1..d), d = ntrait *
  // randomnumb(e) (* nbreed(e) for a multiple-breed group); 0 outside the
  // blocks, and from the echo on in the rows and columns of effects absent
  // for a trait (present_rows).
  util::arr3<double> g;
  // Same shape, filled by the main program: each cycle a copy of g, in
  // which the block of every group but a multiple-breed one is the inverse
  // of its present rows' block (0 in the absent rows).
  util::arr3<double> ginv;

  // Residual model.
  ResidualType residualtype = ResidualType::none;
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

// ---- questions of the model m

// Order of the (co)variance block of the random group whose first effect is
// e: traits times its effects, times its breeds for a multiple-breed group.
int block_order(int e);
// Whether element (i, j) of the block of the random group at e is sampled,
// and so written to "varcompsam", given its starting matrix g0 (the
// parameter file's g).  An element that is 0 there is not, except in a
// multiple-breed group with Metropolis rounds, whose breed blocks are
// proposed whole: there it is sampled unless a variance of its block in its
// row or column is 0 (so also when the block is wholly 0), which every
// proposal keeps 0.
bool sampled_element(const util::arr3<double>& g0, int e, int i, int j);
// The rows of the block of the non-multiple-breed group at e whose effect
// has data for their trait (pos_eff not 0), in order, into rows (1-based;
// room for maxcorr); returns their count.  The other rows stand for an
// effect absent for a trait: that trait has no such effect, so its rows and
// columns of G are 0 for the whole chain, and the present rows' covariance
// is their own block of G (its inverse, not rows of the inverse of G).
int present_rows(int e, int* rows);
// The group at e is a multiple-breed group built by the additive rules of
// G^-1: one breed, no candidate sires (its equations are add_animal's).
bool one_breed_additive(int e);
// The random type whose rules build the terms of the group at e: add_animal
// for a one-breed additive group, else its own.
RandomType build_type(int e);
// The group at e draws sires: its type can have candidate sires, and the
// multiple-sires section allows them.
bool draws_sires(int e);
// Effect e belongs to a random group (it is a group's first effect or one of
// the effects that follow it in the group); the others are fixed.
bool in_random_group(int e);
// The "add_an_ms" group of a reduced animal model, whose first effect is a
// "ram" effect and whose animals beyond its levels have no equations; 0
// when the model has none.  (The reader and the start-up checks leave a
// "ram" effect in no other group.)
int reduced_animal_group();
// Robustness weights per record (the residual types with Student-t or
// slash weights): "robustness_w" exists.
bool robust_residuals();
// Some group is multiple-breed or the residuals are not homogeneous:
// Metropolis-Hastings steps are tuned, so "mh_dbeliefchg" and
// "mh_acceptance" exist.
bool uses_mh_files();
// Some effect is saved: "solutionsam" exists.
bool saves_solutions();
// The probabilities of candidate sires are resampled: "msirespprsam" exists.
bool samples_msires();
// What the structural residual effect e has: a covariable or reaction norm
// one scale factor per trait and a degrees-of-belief proposal; a
// cross-classified effect or unknown covariable that is also random factors
// per level and a shape (alpha); any other effect factors per level only.
enum class Structural { scale, levels_alpha, levels };
Structural structural_kind(int e);

}  // namespace model
