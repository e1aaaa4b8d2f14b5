// The flat-prior levels of an additive random group and what they reach.
//
// A level of an additive group (add_animal, add_an_upg, add_an_upgi,
// add_sire) has a flat prior when it has no pedigree line of weight above 0:
// a parent group, a line of weight 0, or a level beyond the pedigree's ids
// (an effect of the group with more levels than its fewest).  Such a level
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
  // 0 none) and the share each passes on.
  const std::array<int, 2>& parents(int id) const { return parent_[static_cast<std::size_t>(id)]; }
  double share(int id, int k) const { return share_[static_cast<std::size_t>(id)][static_cast<std::size_t>(k)]; }
  // Ids 1..ids(), parents before offspring.
  const std::vector<int>& order() const { return order_; }
  // out := the levels flat level g reaches with their shares: g first with
  // share 1, then its descendants, parents before offspring (g > ids():
  // g alone).  Uses scratch of the object: one caller at a time.
  void reach(int g, std::vector<std::pair<int, double>>& out) const;

 private:
  int e_ = 0, lim_ = 0;
  std::vector<char> flat_;                    // by id
  std::vector<std::array<int, 2>> parent_;    // by id, of its weighted line
  std::vector<std::array<double, 2>> share_;  // of each parent
  std::vector<int> order_, at_;               // ids parents first; position of each
  std::vector<std::size_t> kid_first_;        // offspring of each id ...
  std::vector<int> kids_;                     // ... at kids_[kid_first_[id]..]
  mutable std::vector<double> got_;           // scratch of reach, by id
};

// The additive groups of the model (random type as given, additive lines),
// by first effect.
std::vector<FlatReach> flat_reaches(const model::State& s);

}  // namespace sampler
