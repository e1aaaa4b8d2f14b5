// The multivariate normal deviate of the small orders, shared by
// gen_normal_multi and the block Gibbs draw so that both run one code.
#pragma once

#include "dense/kernels.hpp"
#include "random/rangen.hpp"

namespace prob {

// gen_normal_multi for order N (1 to 4): N standard normals first, then the
// Cholesky factor L of var (leading dimension ldv, lower triangle read),
// x = mean + L z; x may be mean itself.  The three steps are apart so that a
// caller may run the factor ahead of knowing the mean.  The normals come
// from those drawn ahead while a caller has armed them (rangen::NormalsAhead).
template <int N>
[[gnu::always_inline]] inline void normal_deviates(double* z) {
  if (rangen::NormalsAhead* ahead = rangen::normals_ahead) {
    for (int i = 0; i < N; ++i) z[i] = ahead->next();
  } else if constexpr (N == 1) {
    z[0] = rangen::snorm();
  } else {
    rangen::snorm_few_n<N>(z);
  }
}

// L of var into l (leading dimension N); rank, loud and the result as factor_n's.
template <int N>
[[gnu::always_inline]] inline int normal_root(const double* var, int ldv, double* l, bool loud) {
  for (int j = 0; j < N; ++j)
    for (int i = 0; i < N; ++i) l[i + j * N] = var[i + j * ldv];
  int rank = 0;
  return denseop::kernel::factor_n<N>(l, N, N, rank, loud);
}

// normal_root for a var (leading dimension N) that is not needed after:
// L replaces it, loud.
template <int N>
[[gnu::always_inline]] inline int normal_root_in_place(double* var) {
  int rank = 0;
  return denseop::kernel::factor_n<N>(var, N, N, rank, true);
}

// x = mean + L z.
template <int N>
[[gnu::always_inline]] inline void normal_combine(const double* mean, const double* l,
                                                  const double* z, double* x) {
  // y = L z, column by column; rows of dropped pivots are zero and add nothing.
  double y[N];
  for (int i = 0; i < N; ++i) y[i] = 0.0;
  for (int j = 0; j < N; ++j) {
    const double zj = z[j];
    for (int i = j; i < N; ++i) y[i] += l[i + j * N] * zj;
  }
  for (int i = 0; i < N; ++i) x[i] = mean[i] + y[i];
}

template <int N>
[[gnu::always_inline]] inline void gen_normal_block(const double* mean, const double* var, int ldv,
                                                    double* x) {
  double z[N];
  normal_deviates<N>(z);
  double l[N * N];
  normal_root<N>(var, ldv, l, true);
  normal_combine<N>(mean, l, z, x);
}

}  // namespace prob
