#include "sampler/block_pass.hpp"

#include <cmath>
#include <cstdint>

#include "dense/denseop.hpp"
#include "dense/kernels.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/gibbs.hpp"

namespace sampler {

namespace {

// Blocks ahead whose columns are fetched while this one is drawn: the
// solutions and right-hand sides of a block's columns lie anywhere.
constexpr int ahead = 4;

// The compressed rows and the two vectors as 1-based raw pointers.
struct Rows {
  std::int32_t n;
  const std::int32_t* ia;
  const std::int32_t* ja;
  const double* a;
  double* b;  // right-hand sides
  double* x;  // solutions
};

Rows rows_of(const sparsem::sparse_ija& A, util::vec1<double>& rhs, util::vec1<double>& sol) {
  return {A.n, A.ia.data() - 1, A.ja.data() - 1, A.a.data() - 1, rhs.data() - rhs.lo(),
          sol.data() - sol.lo()};
}

// prefetch_block's loads, for the block first..last.
inline void prefetch(const Rows& R, int first, int last) {
  const std::int32_t begin = R.ia[first];
  std::int32_t end = R.ia[last + 1];
  if (end > begin + long_row) end = begin + long_row;
  for (std::int32_t k = begin; k < end; ++k) {
    __builtin_prefetch(R.x + R.ja[k]);
    __builtin_prefetch(R.b + R.ja[k]);
  }
}

// Element k of row i: into the block, or off it into the right-hand side r.
template <int N>
[[gnu::always_inline]] inline void take(const Rows& R, std::int32_t k, int first, int last, int i,
                                        double* blk, double& r) {
  const std::int32_t j = R.ja[k];
  if (j >= first && j <= last) {
    blk[(i - first) + (j - first) * N] = R.a[k];
    blk[(j - first) + (i - first) * N] = R.a[k];
  } else {
    r = r - R.a[k] * R.x[j];
  }
}

// One block of order N as the general calls draw it: solve_iterm_block
// (solve) with fsolvinvs8, gen_normal_multi, the check, solve_iterm_block
// (update).  Each step runs the dense kit's own kernels for order N, which
// is what those calls do, so every operation and its order are theirs (the
// leading dimension of a matrix changes where it lies, not what is
// computed).  A negative pivot in the block takes
// the calls fsolvinvs8 falls back to, with their messages.
template <int N>
[[gnu::flatten]] inline bool draw_fused(const Rows& R, int first) {
  using namespace denseop::kernel;
  const int last = first + N - 1;
  double blk[N * N];
  for (int k = 0; k < N * N; ++k) blk[k] = 0.0;
  double mean[N];
  for (int i = first; i <= last; ++i) {
    double r = R.b[i];
    const std::int32_t begin = R.ia[i], end = R.ia[i + 1];
    // A long row fetches ahead up to row_ahead entries before its end.
    const std::int32_t fetch_end = end - begin > long_row ? end - row_ahead : begin;
    std::int32_t k = begin;
    for (; k < fetch_end; ++k) {
      __builtin_prefetch(R.x + R.ja[k + row_ahead]);
      take<N>(R, k, first, last, i, blk, r);
    }
    for (; k < end; ++k) take<N>(R, k, first, last, i, blk, r);
    R.b[i] = r;
    mean[i - first] = r;
  }
  // Conditional mean and covariance from one factorisation.
  double v[N * N];
  for (int k = 0; k < N * N; ++k) v[k] = blk[k];
  int rank = 0;
  if (factor_n<N>(v, N, N, rank, false) != 0) [[unlikely]] {
    denseop::fsolvs8(blk, N, N, mean, mean);
    denseop::finvcs8(blk, N, N, v, N);
  } else {
    double w[N];
    substitute_n<N>(v, N, N, mean, w);
    inverse_from_factor_n<N>(v, N, N, w);
  }
  // The deviate: N standard normals first, then the factor of the covariance.
  double z[N];
  for (int i = 0; i < N; ++i) z[i] = rangen::snorm();
  double l[N * N];
  for (int k = 0; k < N * N; ++k) l[k] = v[k];
  factor_n<N>(l, N, N, rank, true);
  double y[N];
  for (int i = 0; i < N; ++i) y[i] = 0.0;
  for (int j = 0; j < N; ++j) {
    const double zj = z[j];
    for (int i = j; i < N; ++i) y[i] += l[i + j * N] * zj;
  }
  bool number = true;
  for (int i = 0; i < N; ++i) {
    const double d = mean[i] + y[i];
    R.x[first + i] = d;
    number = number && !std::isnan(d);
  }
  if (!number) [[unlikely]]
    return false;
  for (int i = first; i <= last; ++i) {
    const double s = R.x[i];
    const std::int32_t begin = R.ia[i], end = R.ia[i + 1];
    const std::int32_t fetch_end = end - begin > long_row ? end - row_ahead : begin;
    std::int32_t k = begin;
    for (; k < fetch_end; ++k) {
      __builtin_prefetch(R.b + R.ja[k + row_ahead], 1);
      const std::int32_t j = R.ja[k];
      if (j > last) R.b[j] = R.b[j] - s * R.a[k];
    }
    for (; k < end; ++k) {
      const std::int32_t j = R.ja[k];
      if (j > last) R.b[j] = R.b[j] - s * R.a[k];
    }
  }
  return true;
}

template <int N>
int pass_fused(const Rows& R, int neq) {
  for (int f = 1; f <= neq; f += N) {
    const int l = f + N - 1;
    if (l + ahead * N <= neq && l + ahead * N <= R.n) prefetch(R, f + ahead * N, l + ahead * N);
    if (!draw_fused<N>(R, f)) [[unlikely]]
      return f;
  }
  return 0;
}

}  // namespace

bool draw_block_general(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                        util::vec1<double>& sol, int first, int nt) {
  const int last = first + nt - 1;
  denseop::mat20 block(nt), v(nt);
  solve_iterm_block(A, rhs, sol, first, last, block.data(), block.ld, BlockMode::solve, v.data(),
                    v.ld);
  prob::gen_normal_multi(&sol(first), v.data(), nt, v.ld, &sol(first));
  for (int i = first; i <= last; ++i)
    if (std::isnan(sol(i))) return false;
  solve_iterm_block(A, rhs, sol, first, last, block.data(), block.ld, BlockMode::update);
  return true;
}

bool draw_block(const sparsem::sparse_ija& A, util::vec1<double>& rhs, util::vec1<double>& sol,
                int first, int nt) {
  const Rows R = rows_of(A, rhs, sol);
  switch (nt) {
    case 1: return draw_fused<1>(R, first);
    case 2: return draw_fused<2>(R, first);
    case 3: return draw_fused<3>(R, first);
    case 4: return draw_fused<4>(R, first);
    default: return draw_block_general(A, rhs, sol, first, nt);
  }
}

int draw_block_pass(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                    util::vec1<double>& sol, int neq, int nt) {
  const Rows R = rows_of(A, rhs, sol);
  switch (nt) {
    case 1: return pass_fused<1>(R, neq);
    case 2: return pass_fused<2>(R, neq);
    case 3: return pass_fused<3>(R, neq);
    case 4: return pass_fused<4>(R, neq);
    default: break;
  }
  for (int f = 1; f <= neq; f += nt) {
    const int l = f + nt - 1;
    if (l + ahead * nt <= neq) prefetch_block(A, rhs, sol, f + ahead * nt, l + ahead * nt);
    if (!draw_block_general(A, rhs, sol, f, nt)) return f;
  }
  return 0;
}

}  // namespace sampler
