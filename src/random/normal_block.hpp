// The multivariate normal deviate of the small orders, shared by
// gen_normal_multi and the block Gibbs draw so that both run one code.
#pragma once

#include "dense/kernels.hpp"
#include "random/rangen.hpp"

namespace prob {

// gen_normal_multi for order N (1 to 4): N standard normals first, then the
// Cholesky factor L of var (leading dimension ldv, lower triangle read),
// x = mean + L z; x may be mean itself.
template <int N>
[[gnu::always_inline]] inline void gen_normal_block(const double* mean, const double* var, int ldv,
                                                    double* x) {
  double z[N];
  for (int i = 0; i < N; ++i) z[i] = rangen::snorm();
  double l[N * N];
  for (int j = 0; j < N; ++j)
    for (int i = 0; i < N; ++i) l[i + j * N] = var[i + j * ldv];
  int rank = 0;
  denseop::kernel::factor_n<N>(l, N, N, rank, true);
  // y = L z, column by column; rows of dropped pivots are zero and add nothing.
  double y[N];
  for (int i = 0; i < N; ++i) y[i] = 0.0;
  for (int j = 0; j < N; ++j) {
    const double zj = z[j];
    for (int i = j; i < N; ++i) y[i] += l[i + j * N] * zj;
  }
  for (int i = 0; i < N; ++i) x[i] = mean[i] + y[i];
}

}  // namespace prob
