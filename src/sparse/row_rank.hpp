// The rank of a sparse matrix taken a row at a time: each row offered is
// reduced against the independent rows kept before it (Gaussian elimination;
// a kept row is scaled to 1 at its largest element, its pivot, and has 0 at
// the pivots of the rows kept before it) and kept when something is left.
// An element is left when it exceeds tol times the largest magnitude met
// while reducing its row: data read as 32-bit reals carry relative errors
// near 1e-7, so smaller remainders are taken as cancellations.
#pragma once

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

namespace sparsem {

struct RowEchelon {
  double tol = 1e-6;
  int rank = 0;       // rows kept
  int dependent = 0;  // rows that reduced to nothing
  // Per column: the kept row whose pivot it is, -1 none.
  std::vector<int> pivot_row;
  // Per kept row: its pivot, and its other elements at elem[start[k]..start[k+1]).
  std::vector<int> pivot_col;
  std::vector<std::size_t> start;
  std::vector<std::pair<int, double>> elem;
  // Work of one reduction, per column and per kept row.
  std::vector<double> acc;
  std::vector<char> seen, queued;
  std::vector<int> touched, heap;
};

// Empties r for rows of the given number of columns (0-based).
void start_rows(RowEchelon& r, int columns);

// Offers a row as (column, value) pairs (a column given twice adds up);
// true when it is independent of the rows kept, and then kept.
bool add_row(RowEchelon& r, std::span<const std::pair<int, double>> row);

}  // namespace sparsem
