// Preconditioned conjugate gradients for a symmetric positive (semi-)definite
// system A x = b, with A in hash storage (upper triangle) or a dense array.
//
// The solvers start from x = 0 and stop when |r|^2 / |b|^2 falls below
// sparsem::default_conv or after sparsem::default_rounds iterations, printing
// one line per iteration and a closing line.  A zero right-hand side returns
// x = 0 at once; a search direction with p'Ap = 0 ends the iteration with the
// solution reached so far.
#pragma once

#include <cstdint>

#include "sparse/settings.hpp"
#include "sparse/sparsem.hpp"

namespace pcg {

// Threads that share the matrix products of solve_sparse_hashm_pcg: 0 lets
// the solver choose (one for small systems, up to the hardware's count and at
// most 8 for large ones); a positive count is used whatever the size.  Every
// row is summed by one thread in the order a single thread uses, so the
// results do not depend on the count.
inline std::int32_t product_threads = 0;

// A must be in hash form (status 1); it is only read.  b and x need at least
// A.n elements; x(1..n) is overwritten.  block_size 1 selects the diagonal
// preconditioner, a larger one the block-diagonal preconditioner, whose
// blocks the sparse factorisation package inverts (leaving its ordering file
// "zanto90.ord" in the working directory).
void solve_sparse_hashm_pcg(const sparsem::sparse_hashm& A, const util::vec1<double>& b,
                            util::vec1<double>& x, std::int32_t block_size = 1);
// The same on a full array; products use every element.
void solve_densem_pcg(const sparsem::densem& A, const util::vec1<double>& b,
                      util::vec1<double>& x, std::int32_t block_size = 1);

// The upper triangles of the consecutive diagonal blocks of m equations of A
// (every element of a block's triangle stored, zeros included), in compressed
// rows: the pattern that the block preconditioner inverts.
sparsem::sparse_ija block_diagonal_ija(const sparsem::sparse_hashm& A, std::int32_t m);
sparsem::sparse_ija block_diagonal_ija(const sparsem::densem& A, std::int32_t m);

// The iteration line " round  k    convergence= c" as the free-format writer
// prints it, built without allocating.  Exposed for tests.
std::size_t iteration_line(char* buf, std::size_t cap, std::int32_t k, double c);

}  // namespace pcg
