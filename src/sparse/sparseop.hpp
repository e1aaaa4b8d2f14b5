// Products of the matrix forms with a scalar and with a vector.
//
// The sparse forms hold the upper triangle: a stored (i, j) with i < j stands
// for (i, j) and (j, i), the diagonal counts once, and an element stored
// below the diagonal contributes nothing.  The densem products use the full
// array and assume no symmetry.  For the sparse forms the left product u'A
// is computed exactly as A u.
#pragma once

#include "sparse/sparsem.hpp"

namespace sparsem {

void mult_ija_scal(sparse_ija& A, double s);
void mult_hashm_scal(sparse_hashm& A, double s);
void mult_densem_scal(densem& A, double s);

// New vectors of order n; u is read at 1..n and must hold at least n values.
util::vec1<double> mult_ija_vec(const sparse_ija& A, const util::vec1<double>& u);
util::vec1<double> mult_vec_ija(const util::vec1<double>& u, const sparse_ija& A);
util::vec1<double> mult_hashm_vec(const sparse_hashm& A, const util::vec1<double>& u);
util::vec1<double> mult_vec_hashm(const util::vec1<double>& u, const sparse_hashm& A);
util::vec1<double> mult_densem_vec(const densem& A, const util::vec1<double>& u);
util::vec1<double> mult_vec_densem(const util::vec1<double>& u, const densem& A);

// The same products into storage the caller keeps (no allocation): u[k-1]
// holds u(k) and y[k-1] receives y(k), k = 1..n.  y must not overlap u.
void mult_ija_vec(const sparse_ija& A, const double* u, double* y);
void mult_hashm_vec(const sparse_hashm& A, const double* u, double* y);
void mult_densem_vec(const densem& A, const double* u, double* y);
void mult_vec_densem(const double* u, const densem& A, double* y);

}  // namespace sparsem
