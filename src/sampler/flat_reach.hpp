// The flat-prior levels of an additive random group and what they reach.
//
// A level of an additive group (add_animal, add_an_upg, add_an_upgi,
// add_sire) has a flat prior when it has no pedigree line of weight above 0:
// a parent group, a line of weight 0, or a level beyond the pedigree's ids
// (an effect of the group with more levels than its fewest).  In the groups
// with candidate sires (add_an_ms, add_an_mb, diag_mb) the levels after the
// animals' lines are the parent groups, and an animal whose sire is drawn
// takes a share through each candidate: the candidates' prior
// probabilities average them, and the sire_dependence check tells whether a
// combination of the flat levels holds for every draw.  In a reduced
// animal model the animals without equations are ids beyond the levels,
// reaching the groups through their parents like any other.  Such a level
// enters the expected value of each of its descendants with a share: over
// every path down, the product of 1/2 per parent (1/4 through a sire
// model's maternal grandsire, the same coefficients that build A^-1),
// summed.  The walk is the same for every effect of the group (direct,
// maternal): level g of effect f reaches level d of effect f, and through
// it the records that carry d in f, each with its own multiplier.
//
// Whoever needs which records a flat location parameter reaches (the
// structural step's count of a level's own parameters, a rank search over
// the flat parameters) walks here.
#pragma once

#include <array>
#include <span>
#include <utility>
#include <vector>

#include "model/state.hpp"

namespace sampler {

class FlatReach {
 public:
  // The group whose first effect is e, read from s.PED (and s.PED_CODE).
  // An id outside the group's levels, or a code outside its range, stops
  // the run as the building of A^-1 does.
  FlatReach(const model::State& s, int e);

  int group() const { return e_; }
  // Ids 1..ids() are the pedigree's: the fewest levels among the group's
  // effects.
  int ids() const { return lim_; }
  // Level l (>= 1) of any effect of the group has a flat prior.
  bool flat(int l) const { return l > lim_ || flat_[static_cast<std::size_t>(l)] != 0; }
  // Parents of id (1..ids()) by column (sire, dam or maternal grandsire;
  // 0 none) and the share each passes on; with candidate sires the dam and
  // a known sire.
  const std::array<int, 2>& parents(int id) const { return parent_[static_cast<std::size_t>(id)]; }
  double share(int id, int k) const { return share_[static_cast<std::size_t>(id)][static_cast<std::size_t>(k)]; }
  // The candidate sires of id (1..ids()) with the share each passes on
  // (empty when it has none).  drawn(id): its sire is drawn among them every
  // cycle, their shares then being the average by prior probability.
  std::span<const std::pair<int, double>> candidates(int id) const {
    const auto a = static_cast<std::size_t>(id);
    return {cands_.data() + cand_first_[a], cand_first_[a + 1] - cand_first_[a]};
  }
  bool drawn(int id) const { return drawn_[static_cast<std::size_t>(id)] != 0; }
  // The first animal with a drawn sire whose candidates the flat levels'
  // values `at` (level, value) give values that differ by more than tol of
  // the largest |value| (0 none): along such values the records' expected
  // values would depend on which sire is drawn.
  int sire_dependence(const std::vector<std::pair<int, double>>& at, double tol) const;
  // Ids 1..ids(), parents before offspring.
  const std::vector<int>& order() const { return order_; }
  // out := the levels flat level g reaches with their shares: g first with
  // share 1, then its descendants, parents before offspring (g > ids():
  // g alone).  Uses scratch of the object: one caller at a time.
  void reach(int g, std::vector<std::pair<int, double>>& out) const;

 private:
  // What id takes from its parents and candidates, given their values.
  double inherited(int id, const std::vector<double>& value) const;
  int e_ = 0, lim_ = 0;
  std::vector<char> flat_;                    // by id
  std::vector<std::array<int, 2>> parent_;    // by id, of its weighted line
  std::vector<std::array<double, 2>> share_;  // of each parent
  std::vector<std::size_t> cand_first_;       // candidates of each id ...
  std::vector<std::pair<int, double>> cands_;  // ... at cands_[cand_first_[id]..]
  std::vector<char> drawn_;                   // by id
  std::vector<int> order_, at_;               // ids parents first; position of each
  std::vector<std::size_t> kid_first_;        // offspring of each id ...
  std::vector<int> kids_;                     // ... at kids_[kid_first_[id]..]
  mutable std::vector<double> got_;           // scratch of reach, by id
};

// The additive groups of the model (random type as given, additive lines),
// by first effect.
std::vector<FlatReach> flat_reaches(const model::State& s);
// In a reduced animal model, the animal of the record at s.irec for trait
// t when it has no equations (its level beyond the effect's), else 0.
int nonparent_animal(const model::State& s, int t);

// Every group whose levels can have flat priors and reach records through
// a pedigree: the additive ones, add_an_ms (also of a reduced animal
// model) and the multiple-breed types, by first effect.
std::vector<FlatReach> every_flat_reach(const model::State& s);

}  // namespace sampler
