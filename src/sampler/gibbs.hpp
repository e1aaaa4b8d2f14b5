// Block Gibbs kernels for the location effects: the refresh of the
// compressed-row copy of the coefficient matrix through a map to its hash
// slots, and the per-block conditional mean and right-hand-side update.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "sparse/sparsem.hpp"
#include "util/array.hpp"

namespace sampler {

// Map from each stored element of the compressed-row copy to the hash slot
// that holds it.  Built on the first refresh and whenever new keys appear.
struct HashLink {
  std::vector<std::int32_t> linkhi;
  bool built = false;
  long generation = 0;  // counts the builds of the map (and of the copy's layout)
};

// Refreshes B's values from A.  On the first call (or after new keys entered
// A) converts A into B, rebuilds A from B so that every row has a diagonal
// key, and builds the map; afterwards only copies values.
void link_hash_ija(sparsem::sparse_hashm& A, sparsem::sparse_ija& B, HashLink& link);

// Rows longer than long_row (the fixed effects' rows, mostly) fetch the
// solutions or right-hand sides of their columns row_ahead entries ahead.
inline constexpr std::int32_t long_row = 64;
inline constexpr std::int32_t row_ahead = 48;

enum class BlockMode { solve, update, none };
// "solve" and "update" (trailing blanks ignored); anything else does nothing.
BlockMode block_mode(std::string_view mode);

// Block first..last (order n = last - first + 1 <= 20).  solve: block (column-major, leading
// dimension ldb) receives the diagonal block, rhs(first..last) loses the
// terms of the other equations and sol(first..last) the conditional mean.
// update: removes the block's terms from the right-hand sides of later
// equations.  With inv given, solve also puts the generalised inverse of the
// block there (leading dimension ldi), as finvcs8 would.
void solve_iterm_block(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                       util::vec1<double>& sol, int first, int last, double* block, int ldb,
                       BlockMode mode, double* inv = nullptr, int ldi = 0);
void solve_iterm_block(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                       util::vec1<double>& sol, int first, int last, util::mat1<double>& block,
                       std::string_view mode);


// rhs block row i minus (A (x) M) x with A at offsets off1 (rows) and off2
// (columns); with diag, the element on the block diagonal also adds a*M there.
void adjust_rhs_block_nd(int i, const sparsem::sparse_ija& A, const util::mat1<double>& M,
                         util::vec1<double>& rhs, const util::vec1<double>& x, int off1, int off2);
void adjust_rhs_block(int i, const sparsem::sparse_ija& A, const util::mat1<double>& M,
                      util::vec1<double>& rhs, const util::vec1<double>& x,
                      util::mat1<double>& diag, int off1, int off2);

// Compressed-row copy holding both triangles.
void convert_hash_ija_full(sparsem::sparse_ija& B, const sparsem::sparse_hashm& A);

}  // namespace sampler
