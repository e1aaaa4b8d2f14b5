// Read-only operations on the three main forms: quadratic forms x'Ay, square
// sub-blocks with an optional step, traces of products (whole matrices, or a
// small matrix against a block of a large one), and the relative difference.
//
// A block is given by rows i1..i2, columns j1..j2 and a step >= 1: block
// element (p, q) is element (i1 + (p-1)*step, j1 + (q-1)*step), and the
// block's order is (i2 - i1) / step + 1.  The sparse forms hold the upper
// triangle and count each stored off-diagonal element for both triangles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sparse/sparsem.hpp"

namespace sparsem {

// A read-only strided view of a vector of 64-bit reals: element k (1..size)
// at p[(k-1)*inc].  Lets a quadratic form read a slice of a longer vector
// without copying it.
struct vec_view {
  const double* p = nullptr;
  long size = 0;
  std::ptrdiff_t inc = 1;
  double operator()(long k) const {
    VELMORAN_CHECK("vec_view", k, 1L, size);
    return p[(k - 1) * inc];
  }
};
inline vec_view view(const util::vec1<double>& v) { return {v.data(), v.size(), 1}; }
// v(first), v(first + step), ... up to last: the slice v(first:last:step).
vec_view slice(const util::vec1<double>& v, long first, long last, long step = 1);

// x'Ay.  Each stops when x or y is not of A's order.
double quadr_hashm(const vec_view& x, const sparse_hashm& A, const vec_view& y);
double quadr_ija(const vec_view& x, const sparse_ija& A, const vec_view& y);
double quadr_densem(const vec_view& x, const densem& A, const vec_view& y);
inline double quadr_hashm(const util::vec1<double>& x, const sparse_hashm& A,
                          const util::vec1<double>& y) {
  return quadr_hashm(view(x), A, view(y));
}
inline double quadr_ija(const util::vec1<double>& x, const sparse_ija& A,
                        const util::vec1<double>& y) {
  return quadr_ija(view(x), A, view(y));
}
inline double quadr_densem(const util::vec1<double>& x, const densem& A,
                           const util::vec1<double>& y) {
  return quadr_densem(view(x), A, view(y));
}

// The stored upper elements of a hash matrix in slot order: quadratic forms
// of a matrix that no longer changes walk this instead of the table.
struct hash_terms {
  // One element: 0-based row and column, value.
  struct term {
    std::int32_t r, c;
    double v;
  };
  std::int32_t n = 0;  // order
  std::vector<term> t;
  std::size_t size() const { return t.size(); }
};
// t := the elements of A; stops like quadr_hashm on a key outside A's order.
void gather_hash_terms(hash_terms& t, const sparse_hashm& A);

// Several quadratic forms in one pass: out[k] = x_p' A x_q for p = p[k],
// q = q[k] (0-based, k < npairs), each sum taken in the order and with the
// operations of quadr_hashm(x_p, A, x_q) on the A that t was gathered from.
// x holds nx vectors of order n by rows: element r (1-based) of vector p at
// x[(r-1)*nx + p].  Stops like quadr_hashm when n is not A's order.
void quadr_terms_multi(const hash_terms& t, std::int32_t n, const double* x, int nx, const int* p,
                       const int* q, int npairs, double* out);

// New matrices holding the block.  Each stops when i2 - i1 differs from
// j2 - j1.  The hash block keeps the upper triangle of the block; the
// compressed-row block keeps the selected entries in their stored order and
// adds no diagonal.
sparse_hashm block_hashm(const sparse_hashm& A, std::int32_t i1, std::int32_t i2, std::int32_t j1,
                         std::int32_t j2, std::int32_t step = 1);
sparse_ija block_ija(const sparse_ija& A, std::int32_t i1, std::int32_t i2, std::int32_t j1,
                     std::int32_t j2, std::int32_t step = 1);
densem block_densem(const densem& A, std::int32_t i1, std::int32_t i2, std::int32_t j1,
                    std::int32_t j2, std::int32_t step = 1);

// Trace of AB for matrices of the same order.  The hash form looks elements
// up in the matrix with more occupied slots, which must be in hash form.
// The compressed-row form also accepts both triangles stored; when its lower
// and upper sums disagree it prints a line and returns the plain total.
double trace_hashm(const sparse_hashm& A, const sparse_hashm& B);
double trace_ija(const sparse_ija& A, const sparse_ija& B);
// Sum of A(i,j) * B(i,j).
double trace_densem(const densem& A, const densem& B);

// Trace of A times the block of B; A is of the block's order.
double traceblock_hashm(const sparse_hashm& A, const sparse_hashm& B, std::int32_t i1,
                        std::int32_t i2, std::int32_t j1, std::int32_t j2, std::int32_t step = 1);
double traceblock_ija(const sparse_ija& A, const sparse_ija& B, std::int32_t i1, std::int32_t i2,
                      std::int32_t j1, std::int32_t j2, std::int32_t step = 1);
double traceblock_densem(const densem& A, const densem& B, std::int32_t i1, std::int32_t i2,
                         std::int32_t j1, std::int32_t j2, std::int32_t step = 1);

// |a - b| / max(|a|, |b|); 0 when both are 0.
double rel_diff(double a, double b);

}  // namespace sparsem
