// Order-templated Cholesky kernels of the dense kit, shared with the hot
// paths that fuse a factorisation into a larger step (the block Gibbs draw):
// calling these, not copies of them, keeps every operation and its order.
#pragma once

#include <cmath>
#include <type_traits>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "dense/denseop.hpp"
#include "dense/work.hpp"

namespace denseop::kernel {

using detail::Ref;
using detail::VRef;

// Before each loop of the kernels below: unrolled whole for the orders 1 to 4
// (by four at a run-time order), the same operations in the same order come
// without the counting and branches that otherwise sit between the roots and
// quotients of the small blocks.
#define VELMORAN_UNROLL_SMALL _Pragma("GCC unroll 4")

// Prints " Matrix not semipositive-definite, row " and the row.
void say_negative_pivot(int row);

// The correctly rounded root of a positive value, as std::sqrt gives it,
// without the check std::sqrt makes for a negative one.
inline double sqrt_positive(double d) {
#if defined(__SSE2__)
  return _mm_cvtsd_f64(_mm_sqrt_sd(_mm_setzero_pd(), _mm_set_sd(d)));
#else
  return std::sqrt(d);
#endif
}
inline float sqrt_positive(float d) {
#if defined(__SSE2__)
  return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(d)));
#else
  return std::sqrt(d);
#endif
}

// A zero pivot goes even in a matrix of scale 0 (all zero).
inline bool dropped_pivot(double d, double scale, double tol) { return std::fabs(d) < tol * scale || d == 0.0; }

// The kernels below take the order as a template argument N as well: N = 0
// reads it at run time; N = 1 to 4 fixes it so the compiler unrolls the small
// blocks of the sampler, with the same operations in the same order.
template <class F>
decltype(auto) by_order(int n, F&& f) {
  switch (n) {
    case 1: return f(std::integral_constant<int, 1>{});
    case 2: return f(std::integral_constant<int, 2>{});
    case 3: return f(std::integral_constant<int, 3>{});
    case 4: return f(std::integral_constant<int, 4>{});
    default: return f(std::integral_constant<int, 0>{});
  }
}

// Factors the leading n by n block of a in place (lower triangle read), sets
// rank to the pivots kept and returns 0, or -1 after a negative pivot.  Sums
// run in T; only the tolerance test is made in 64 bits.
// A quiet factor (loud false) leaves the report of a negative pivot to the
// caller.
template <int N, class T>
int factor_n(T* a, int n_run, int lda, int& rank, bool loud) {
  const int n = N > 0 ? N : n_run;
  const Ref<T> A{a, lda};
  const double tol = denseop_tol;
  double scale = 0;
  VELMORAN_UNROLL_SMALL
  for (int i = 1; i <= n; ++i) scale = detail::diagonal_scale(scale, static_cast<double>(A(i, i)));
  rank = 0;
  int ierr = 0;
  VELMORAN_UNROLL_SMALL
  for (int i = 1; i <= n; ++i) {
    T s = 0;
    VELMORAN_UNROLL_SMALL
    for (int k = 1; k < i; ++k) s += A(i, k) * A(i, k);
    const T d = A(i, i) - s;
    // A positive pivot at or above the tolerance is kept: two comparisons
    // decide the usual case before the full tests below.
    const double dd = static_cast<double>(d);
    T piv;
    if (dd > 0.0 && !(dd < tol * scale)) [[likely]] {
      piv = sqrt_positive(d);
    } else {
      if (dropped_pivot(dd, scale, tol)) {
        // Dropped: its row and column of L are zero, so no later row uses it.
        VELMORAN_UNROLL_SMALL
        for (int k = 1; k <= i; ++k) A(i, k) = 0;
        VELMORAN_UNROLL_SMALL
        for (int k = i + 1; k <= n; ++k) A(k, i) = 0;
        continue;
      }
      if (d < 0) {
        if (loud) say_negative_pivot(i);
        ierr = -1;
        break;
      }
      piv = std::sqrt(d);
    }
    A(i, i) = piv;
    ++rank;
    VELMORAN_UNROLL_SMALL
    for (int j = i + 1; j <= n; ++j) {
      T t = 0;
      VELMORAN_UNROLL_SMALL
      for (int k = 1; k < i; ++k) t += A(j, k) * A(i, k);
      A(j, i) = (A(j, i) - t) / piv;
    }
  }
  VELMORAN_UNROLL_SMALL
  for (int j = 2; j <= n; ++j)
    VELMORAN_UNROLL_SMALL
    for (int i = 1; i < j; ++i) A(i, j) = 0;
  return ierr;
}

// inverse_from_factor_n's work; AllKept: no pivot of the factor was dropped.
template <int N, class T, bool AllKept>
void inverse_columns_n(T* a, int n_run, int lda, T* w0) {
  const int n = N > 0 ? N : n_run;
  const Ref<T> A{a, lda};
  const VRef<T> w{w0};
  // The factorisation leaves exactly 0 at every dropped pivot and a positive
  // root at every kept one, however small the matrix's units make it.
  auto kept = [&](int j) { return AllKept || A(j, j) != T(0); };
  VELMORAN_UNROLL_SMALL
  for (int i = 1; i <= n; ++i) {
    VELMORAN_UNROLL_SMALL
    for (int j = i; j <= n; ++j) w(j) = 0;
    if (kept(i)) w(i) = T(1) / A(i, i);
    VELMORAN_UNROLL_SMALL
    for (int j = i + 1; j <= n; ++j) {
      T s = 0;
      VELMORAN_UNROLL_SMALL
      for (int k = i; k < j; ++k) s += A(j, k) * w(k);
      if (kept(j)) w(j) = -s / A(j, j);
    }
    VELMORAN_UNROLL_SMALL
    for (int j = n; j >= i; --j) {
      T s = 0;
      VELMORAN_UNROLL_SMALL
      for (int k = j + 1; k <= n; ++k) s += A(k, j) * w(k);
      if (kept(j)) w(j) = (w(j) - s) / A(j, j);
    }
    VELMORAN_UNROLL_SMALL
    for (int j = i; j <= n; ++j) {
      A(j, i) = w(j);
      A(i, j) = w(j);
    }
  }
}

// Whether every pivot of the factor in a was kept.
template <int N, class T>
bool all_kept_n(const T* a, int n_run, int lda) {
  const int n = N > 0 ? N : n_run;
  const Ref<const T> A{a, lda};
  bool all = true;
  VELMORAN_UNROLL_SMALL
  for (int i = 1; i <= n; ++i) all = all && A(i, i) != T(0);
  return all;
}

// Replaces the factor in a by (L L')^- over the kept pivots, one column at a
// time, both triangles.  w holds n values.  A factor of full rank, decided
// once, goes without the test at every pivot.
template <int N, class T>
void inverse_from_factor_n(T* a, int n_run, int lda, T* w0) {
  if (all_kept_n<N>(a, n_run, lda))
    inverse_columns_n<N, T, true>(a, n_run, lda, w0);
  else
    inverse_columns_n<N, T, false>(a, n_run, lda, w0);
}

// The same after factor_n set rank: a kept pivot's root is never 0, so a
// rank of n says every pivot was kept without looking at them.
template <int N, class T>
void inverse_from_factor_n(T* a, int n_run, int lda, T* w0, int rank) {
  if (rank == (N > 0 ? N : n_run))
    inverse_columns_n<N, T, true>(a, n_run, lda, w0);
  else
    inverse_columns_n<N, T, false>(a, n_run, lda, w0);
}

// Forward and back substitution through the factor in a; y holds the
// right-hand side on entry and the solution on return; z holds n values.
template <int N, class T>
void substitute_n(const T* a, int n_run, int lda, T* y0, T* z0) {
  const int n = N > 0 ? N : n_run;
  const Ref<const T> A{a, lda};
  const VRef<T> y{y0}, z{z0};
  VELMORAN_UNROLL_SMALL
  for (int i = 1; i <= n; ++i) {
    z(i) = 0;
    if (A(i, i) > 0) {
      T s = 0;
      VELMORAN_UNROLL_SMALL
      for (int k = 1; k < i; ++k) s += A(i, k) * z(k);
      z(i) = (y(i) - s) / A(i, i);
    }
  }
  VELMORAN_UNROLL_SMALL
  for (int i = 1; i <= n; ++i) y(i) = 0;
  VELMORAN_UNROLL_SMALL
  for (int i = n; i >= 1; --i) {
    if (A(i, i) > 0) {
      T s = 0;
      VELMORAN_UNROLL_SMALL
      for (int k = i + 1; k <= n; ++k) s += A(k, i) * y(k);
      y(i) = (z(i) - s) / A(i, i);
    }
  }
}

}  // namespace denseop::kernel
