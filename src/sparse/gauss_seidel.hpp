// Gauss-Seidel solvers with over-relaxation (SOR) for a symmetric system
// A x = b, one per storage form.  x is the starting point and the result.
//
// A sweep updates rows in ascending order and skips rows whose diagonal is 0;
// the criterion is sum (x_old - x_new)^2 / sum x_new^2.  Iteration stops when
// it falls below sparsem::default_conv (a criterion that is not a number does
// not stop) or after sparsem::default_rounds sweeps (at least one sweep is
// run); sparsem::default_relax is the relaxation factor.  The hash solvers
// print a line for every sweep but the last; all print a two-line summary
// when sparsem_msg >= 2.
//
// The sparse forms hold the upper triangle: each stored element of row i is
// passed on to the equation of its column once x(i) is updated.
#pragma once

#include <cstdint>

#include "sparse/settings.hpp"
#include "sparse/sparsem.hpp"

namespace sparsem {

// Core solvers on plain arrays.  b and x need at least n elements.
// Compressed rows ia(1..n+1), ja, a.
void solve_sparse_ija_gs(std::int32_t n, const util::vec1<std::int32_t>& ia,
                         const util::vec1<std::int32_t>& ja, const util::vec1<double>& a,
                         const util::vec1<double>& b, util::vec1<double>& x);
// The first m slots of t, grouped by row in ascending row order.
void solve_sparse_hashm_gs(std::int32_t n, const util::vec1<hash_slot>& t,
                           const util::vec1<double>& b, util::vec1<double>& x, std::int32_t m);
// Packed upper triangle by rows, n(n+1)/2 values.
void solve_dense_symm_gs(std::int32_t n, const util::vec1<double>& a, const util::vec1<double>& b,
                         util::vec1<double>& x);
// Full n by n array, every element used.
void solve_dense_gs(std::int32_t n, const util::mat1<double>& a, const util::vec1<double>& b,
                    util::vec1<double>& x);

// Generic solvers: x = 0 first when default_zerosol is set.
void solve_sparse_ija(const sparse_ija& A, const util::vec1<double>& b, util::vec1<double>& x);
// A hash-form matrix is compacted and sorted by (row, column) and left with
// status 2, on which additions and look-ups stop; a sorted one is used as it
// stands.
void solve_sparse_hashm(sparse_hashm& A, const util::vec1<double>& b, util::vec1<double>& x);
void solve_dense_symm_iter(const dense_symm& A, const util::vec1<double>& b, util::vec1<double>& x);
void solve_dense_iter(const densem& A, const util::vec1<double>& b, util::vec1<double>& x);

}  // namespace sparsem
