// Pairs of cross-classified structural effects whose factors the data
// cannot pin (sampler/structural_pairs.cpp), checked before any factor is
// drawn.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace sampler {

// One effect of the pair as the check sees it.
struct PairSide {
  int e = 0;               // effect
  int nlev = 0;            // its levels
  bool prior = false;      // its factors have the alpha prior
  std::vector<int> level;  // of each record (index i-1), 0 where it has none
  std::vector<char> drawn; // by level (index l): its factor is drawn
};

// The location parameters of each record with their multipliers: those
// with a flat prior (fixed levels and covariables; columns numbered among
// them, 0 to flat_columns-1), and all of them (column eq-1).
struct RecordRows {
  int flat_columns = 0;
  std::vector<std::size_t> flat_first, all_first;  // record i at [first[i-1], first[i])
  std::vector<std::pair<int, double>> flat, all;
  std::vector<double> y;  // observation of each record (index i-1)
};

// Tail slopes of the log posterior along the direction that raises the
// drawn factors of a set of levels of effect a by e^t and lowers those of
// its levels of effect b by e^-t (locations and r integrated out).
struct SetSlopes {
  double up = 0, down = 0;  // at t -> +inf and at t -> -inf
  bool held_up = false, held_down = false;  // bound beyond any power of e^t
};

// Records of the pair: level node of each side per record (-1 none), and
// the node's side is a when below na.
struct SetLinks {
  std::vector<int> ra, rb;
  int na = 0;
};

// Slopes of the set (in_set by node), from the records that it ties to the
// rest.
SetSlopes set_slopes(const SetLinks& L, const std::vector<char>& in_set, const RecordRows& rows);

// Stops the run when some set of drawn levels of the two effects, one of
// each at least, has a factor without a finite posterior mean.  Only pairs
// with one effect at least of flat-prior factors come here.
void refuse_unpinned_pair(const PairSide& a, const PairSide& b, const RecordRows& rows);

}  // namespace sampler
