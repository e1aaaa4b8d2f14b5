// Pairs of cross-classified structural effects whose factors the data
// cannot pin (sampler/structural_pairs.cpp), checked before any factor is
// drawn.
#pragma once

#include <vector>

namespace sampler {

// One effect of the pair as the check sees it.
struct PairSide {
  int e = 0;               // effect
  int nlev = 0;            // its levels
  std::vector<int> level;  // of each record (index i-1), 0 where it has none
  std::vector<char> drawn; // by level (index l): its factor is drawn
};

// Moving the drawn factors of a set of levels of a up by c and those of
// its levels of b down by c changes only the records that carry exactly
// one level of the set.  Where no record does, the data tell only products
// of factors; where fewer than `least` do, that ratio has no finite
// posterior mean, as a level of so few records has none.  Either stops the
// run, naming the levels (and the records that link them).  A level whose
// factor is not drawn (a reference, a level of too few records) holds the
// set it belongs to.
void refuse_unpinned_pair(const PairSide& a, const PairSide& b, int least);

}  // namespace sampler
