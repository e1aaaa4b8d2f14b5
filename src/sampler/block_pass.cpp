#include "sampler/block_pass.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>

#include "dense/denseop.hpp"
#include "dense/kernels.hpp"
#include "random/normal_block.hpp"
#include "random/prob.hpp"
#include "sampler/gibbs.hpp"

namespace sampler {

namespace {

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

// Element k of row i: into the block, or off it into the right-hand side r.
// Where a row's elements of the block lie among its others is not known (a
// block's rows hold them in slot order), yet a branch on it measured faster
// for every order than a path without one that sends each element both ways.
template <int N>
[[gnu::always_inline]] inline void take(const Rows& R, std::int32_t k, int first, int i,
                                        double* blk, double& r) {
  const std::int32_t j = R.ja[k];
  const std::uint32_t d = static_cast<std::uint32_t>(j - first);
  if (d < static_cast<std::uint32_t>(N)) {
    blk[(i - first) + static_cast<int>(d) * N] = R.a[k];
    blk[static_cast<int>(d) + (i - first) * N] = R.a[k];
  } else {
    r = r - R.a[k] * R.x[j];
  }
}

// Element k of a row of the block whose draw is s: a later equation's
// right-hand side loses the term.
[[gnu::always_inline]] inline void give(const Rows& R, std::int32_t k, int last, double s) {
  const std::int32_t j = R.ja[k];
  if (j > last) R.b[j] = R.b[j] - s * R.a[k];
}

// Row i's elements from k on, each into the block or off it into r; a long
// row fetches the solutions of its columns row_ahead entries ahead.  The row
// walks take the pointers by value: the compiler keeps them in registers
// instead of loading them again after every store.
template <int N>
[[gnu::always_inline]] inline void take_row(const Rows R, int i, std::int32_t k, int first,
                                            double* blk, double& r) {
  const std::int32_t begin = R.ia[i], end = R.ia[i + 1];
  const std::int32_t fetch_end = end - begin > long_row ? end - row_ahead : begin;
  for (; k < fetch_end; ++k) {
    __builtin_prefetch(R.x + R.ja[k + row_ahead]);
    take<N>(R, k, first, i, blk, r);
  }
  for (; k < end; ++k) take<N>(R, k, first, i, blk, r);
}

// Row i of a drawn block from its element k on: every later right-hand side
// loses its term.
[[gnu::always_inline]] inline void give_row(const Rows R, int i, int last, std::int32_t k) {
  const double s = R.x[i];
  const std::int32_t begin = R.ia[i], end = R.ia[i + 1];
  const std::int32_t fetch_end = end - begin > long_row ? end - row_ahead : begin;
  for (; k < fetch_end; ++k) {
    __builtin_prefetch(R.b + R.ja[k + row_ahead], 1);
    give(R, k, last, s);
  }
  for (; k < end; ++k) give(R, k, last, s);
}

// Row first + Q of the block at first.  Its first N - Q elements, where the
// rows are usually built to hold the diagonal and the block's later columns,
// are taken apart from the walk over the rest: each then has a branch of its
// own to predict, and the walk meets the block's columns seldom.
template <int N, int Q>
[[gnu::always_inline]] inline void take_block_row(const Rows R, int first, double* blk,
                                                  double* mean) {
  constexpr int lead = N - Q;
  const int i = first + Q;
  double r = R.b[i];
  std::int32_t k = R.ia[i];
  if (R.ia[i + 1] - k >= lead) {
    for (int t = 0; t < lead; ++t) take<N>(R, k + t, first, i, blk, r);
    k += lead;
  }
  take_row<N>(R, i, k, first, blk, r);
  R.b[i] = r;
  mean[Q] = r;
}

// Row first + Q of the drawn block at first, its first N - Q elements apart
// as in take_block_row.
template <int N, int Q>
[[gnu::always_inline]] inline void give_block_row(const Rows R, int first) {
  constexpr int lead = N - Q;
  const int i = first + Q, last = first + N - 1;
  std::int32_t k = R.ia[i];
  if (R.ia[i + 1] - k >= lead) {
    const double s = R.x[i];
    for (int t = 0; t < lead; ++t) give(R, k + t, last, s);
    k += lead;
  }
  give_row(R, i, last, k);
}

// Rows Q to N - 1 of the block at first, in order.
template <int N, int Q = 0>
[[gnu::always_inline]] inline void take_block_rows(const Rows R, int first, double* blk,
                                                   double* mean) {
  take_block_row<N, Q>(R, first, blk, mean);
  if constexpr (Q + 1 < N) take_block_rows<N, Q + 1>(R, first, blk, mean);
}

template <int N, int Q = 0>
[[gnu::always_inline]] inline void give_block_rows(const Rows R, int first) {
  give_block_row<N, Q>(R, first);
  if constexpr (Q + 1 < N) give_block_rows<N, Q + 1>(R, first);
}

// Whether one of x[0..N-1] is not a number: an unordered comparison of two
// values answers for both.
template <int N>
[[gnu::always_inline]] inline bool any_nan(const double* x) {
  bool nan = false;
  for (int i = 0; i + 1 < N; i += 2) nan = nan || std::isunordered(x[i], x[i + 1]);
  if constexpr (N % 2 == 1) nan = nan || std::isnan(x[N - 1]);
  return nan;
}

// The calls fsolvinvs8 falls back to after a negative pivot, with their
// messages: the mean and the inverse of the block of order n.
[[gnu::noinline, gnu::cold]] void solve_and_invert_general(const double* blk, int n, double* mean,
                                                           double* v) {
  denseop::fsolvs8(blk, n, n, mean, mean);
  denseop::finvcs8(blk, n, n, v, n);
}

// One block of order N as the general calls draw it: solve_iterm_block
// (solve) with fsolvinvs8, gen_normal_multi, the check, solve_iterm_block
// (update).  Each step runs the dense kit's own kernels for order N, which
// is what those calls do, so every operation and its order are theirs (the
// leading dimension of a matrix changes where it lies, not what is
// computed).  A negative pivot in the block takes the calls fsolvinvs8
// falls back to, with their messages.
template <int N>
[[gnu::flatten]] inline bool draw_fused(const Rows& R, int first) {
  using namespace denseop::kernel;
  constexpr int ldb = N;
  double blk[ldb * ldb];
  for (int k = 0; k < ldb * ldb; ++k) blk[k] = 0.0;
  double mean[N];
  take_block_rows<N>(R, first, blk, mean);
  // Conditional mean and covariance from one factorisation.
  double v[N * N];
  for (int c = 0; c < N; ++c)
    for (int q = 0; q < N; ++q) v[q + c * N] = blk[q + c * ldb];
  int rank = 0;
  if (factor_n<N>(v, N, N, rank, false) != 0) [[unlikely]] {
    // Out of line and through copies, so that mean and v, whose addresses
    // are then never taken, may stay in registers.
    double m[N], u[N * N];
    for (int q = 0; q < N; ++q) m[q] = mean[q];
    solve_and_invert_general(blk, N, m, u);
    for (int q = 0; q < N; ++q) mean[q] = m[q];
    for (int k = 0; k < N * N; ++k) v[k] = u[k];
  } else {
    double w[N];
    substitute_n<N>(v, N, N, mean, w);
    inverse_from_factor_n<N>(v, N, N, w, rank);
  }
  // The deviate, as gen_normal_multi draws it: v is not read again, so the
  // root of the variance is formed in it instead of in a copy.
  double z[N];
  prob::normal_deviates<N>(z);
  prob::normal_root_in_place<N>(v);
  prob::normal_combine<N>(mean, v, z, R.x + first);
  if (any_nan<N>(R.x + first)) [[unlikely]]
    return false;
  give_block_rows<N>(R, first);
  return true;
}

// Order 1 with the diagonal stored first, as the rows are built.  The
// variance, its root and the factor for the mean depend on the diagonal
// alone: formed before the row is summed, their chain of roots and quotients
// runs alongside the sum instead of after it.  Each value is draw_fused<1>'s,
// from the same operations on the same operands; only independent steps
// change places.  A row laid out otherwise, or a negative pivot (with its
// messages), goes to draw_fused<1> before anything is changed or drawn.
[[gnu::noinline, gnu::cold]] bool draw_one_general(const Rows& R, int i) {
  return draw_fused<1>(R, i);
}

[[gnu::flatten]] inline bool draw_one(const Rows& R, int i) {
  using namespace denseop::kernel;
  const std::int32_t begin = R.ia[i], end = R.ia[i + 1];
  if (begin >= end || R.ja[begin] != i) [[unlikely]]
    return draw_one_general(R, i);
  const double diag = R.a[begin];
  double f[1] = {diag};
  int rank = 0;
  if (factor_n<1>(f, 1, 1, rank, false) != 0) [[unlikely]]
    return draw_one_general(R, i);
  double v[1] = {f[0]};
  double w[1];
  inverse_from_factor_n<1>(v, 1, 1, w, rank);
  // Quiet here: a negative pivot's message waits until the draw is certain.
  double l[1];
  const bool root_quiet = prob::normal_root<1>(v, 1, l, false) == 0;
  double blk[1] = {diag};
  double r = R.b[i];
  take_row<1>(R, i, begin + 1, i, blk, r);
  // A second diagonal element would have replaced the first.
  if (std::bit_cast<std::uint64_t>(blk[0]) != std::bit_cast<std::uint64_t>(diag)) [[unlikely]]
    return draw_one_general(R, i);
  R.b[i] = r;
  double mean[1] = {r};
  double y[1];
  substitute_n<1>(f, 1, 1, mean, y);
  double z[1];
  prob::normal_deviates<1>(z);
  if (!root_quiet) [[unlikely]]
    prob::normal_root<1>(v, 1, l, true);
  prob::normal_combine<1>(mean, l, z, R.x + i);
  if (std::isnan(R.x[i])) [[unlikely]]
    return false;
  give_row(R, i, i, R.ia[i]);
  return true;
}

// Block of order N at first: the one-equation draw or the fused one.
template <int N>
[[gnu::always_inline]] inline bool draw_n(const Rows& R, int first) {
  if constexpr (N == 1)
    return draw_one(R, first);
  else
    return draw_fused<N>(R, first);
}

// Blocks of N equations in order; the first block that is not a number, or 0.
template <int N>
int pass_fused(const Rows& R, int neq) {
  // One deviate per equation, in order, and no other draw meanwhile, so the
  // passes of orders 1 and 2 take them from a batch drawn ahead, off their
  // own chain of work.  Measured, the longer blocks of orders 3 and 4 hide
  // their draws in line better than they gain from the batch.
  std::optional<rangen::NormalsAhead> normals;
  if constexpr (N <= 2) normals.emplace(neq);
  for (int f = 1; f <= neq; f += N) {
    if (!draw_n<N>(R, f)) [[unlikely]]
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
    case 1: return draw_n<1>(R, first);
    case 2: return draw_n<2>(R, first);
    case 3: return draw_n<3>(R, first);
    case 4: return draw_n<4>(R, first);
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
    if (!draw_block_general(A, rhs, sol, f, nt)) return f;
  }
  return 0;
}

}  // namespace sampler
