// "msiresppr": the candidate sires' probabilities, one line per candidate of
// every pedigree line with sampled sires (each_candidate), a store of a
// model with more than one candidate per animal writes it:
//
//   Post. probs after: <cycle> rounds and burn-in of <nburn>
//     animal    sire      post.prob.        sd           last       sample prop
//   animal (I8), candidate (I8), mean, sd and last of its probability and
//   the share of kept cycles that drew it (F14.6 each)
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* msiresppr_file = "msiresppr";
// The title line begins so (ResultOut::title).
inline constexpr const char* title_msiresppr = "Post. probs after: ";
inline constexpr const char* head_msiresppr =
    "  animal    sire      post.prob.        sd           last       sample prop";

// The lines of "msiresppr", in file order: f(animal, ps, pp) for each
// candidate of every pedigree line with sampled sires (whichever effect
// holds the group), where MS(ps) is the candidate and MS(pp) its probability.
template <class F>
void each_candidate(const model::State& s, F f) {
  for (int an = 1; an <= s.MS_STAT.size(); ++an) {
    if (s.MS_STAT(an) <= 0) continue;
    const int p = s.P_MS(an);
    const int nc = static_cast<int>(s.MS(p));
    for (int k = 1; k <= nc; ++k) f(an, p + 2 * k - 1, p + 2 * k);
  }
}

void write_msiresppr(const model::State& s, const Kept& sm);
// The probabilities and their sums back for a restart at cycle start.
void read_msiresppr(model::State& s, int start, const Kept& sm);

}  // namespace run::results
