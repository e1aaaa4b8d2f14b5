// The null space of a symmetric positive semi-definite matrix G, the Gram
// matrix X'X of data columns: the directions v with X v = 0.
//
// Tolerances, all on the matrix scaled to unit diagonal, D^-1/2 G D^-1/2
// with D = diag(G), so that a column of dates in seconds and one of
// fractions of a gram are judged alike:
//  - a pivot at or below null_pivot (a share of its column's own sum of
//    squares) marks its column as a combination of the columns eliminated
//    before it: data read as 32-bit reals leave relative remainders near
//    1e-5 and above, exact combinations near 1e-15;
//  - an element of a direction whose scaled size |v_k| sqrt(G_kk) is at or
//    below null_element times the direction's largest is rounding, dropped.
// Columns with G_kk = 0 (no records) take no part and lie in no direction.
//
// Columns are eliminated fewest neighbours first (their count in G; ties
// by column), so that the many levels of a large effect go before the few
// they share; fill is gathered in a work vector, never searched for, and
// once the columns left are mostly neighbours of one another they are
// eliminated as a dense block (of null_dense_min columns or more).
// Consecutive columns that reach none of one another are eliminated as a
// batch, their fill made by blocks of the rows it lands in.
#pragma once

#include <utility>
#include <vector>

#include "sparse/pair_sums.hpp"

namespace sparsem {

inline constexpr double null_pivot = 1e-10;
inline constexpr double null_element = 1e-9;
inline constexpr int null_dense_min = 32;
// Threads that share a batch's fill and the dense block: 0 lets them choose (one
// for a small block, up to the hardware's count and at most 8 for a large
// one); a positive count is used whatever the size.  Each element is summed
// by one thread in the order one thread alone takes, so the directions do
// not depend on the count.
inline int null_threads = 0;

// What the elimination did, for tests and benchmarks.
struct NullSpaceInfo {
  int columns = 0;      // columns with records
  int dense_order = 0;  // columns eliminated as a dense block
};

// The directions over columns 0..n-1 of the matrix whose elements (a <= b)
// gram holds, one per column found dependent on the columns eliminated
// before it: (column, value) in ascending column, in the raw columns, scaled
// so that the largest |v_k| sqrt(G_kk) is 1 with the dependent column's
// element positive.  Directions come in the order their columns were met.
std::vector<std::vector<std::pair<int, double>>> null_directions(int n, const PairSums& gram,
                                                                 NullSpaceInfo* info = nullptr);

}  // namespace sparsem
