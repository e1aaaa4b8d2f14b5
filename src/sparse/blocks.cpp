// Quadratic forms, blocks and traces of the hash, compressed-row and dense
// forms.
#include "sparse/blocks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "util/format.hpp"
#include "util/stop.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sparsem {

namespace {

[[noreturn]] void stop(const char* message) { util::fatal(util::freev(message)); }

// Order of the block after the range checks; stops with not_square when the
// ranges differ in length.
std::int32_t block_order(const char* who, const char* not_square, std::int32_t i1, std::int32_t i2,
                         std::int32_t j1, std::int32_t j2, std::int32_t step) {
  if (static_cast<std::int64_t>(i2) - i1 != static_cast<std::int64_t>(j2) - j1) stop(not_square);
  if (step < 1) util::fatal(util::freev(std::string(who) + ": step must be at least 1, not", step));
  const std::int32_t order = (i2 - i1) / step + 1;
  if (order < 0) {
    util::fatal(util::freev(std::string(who) + ": reversed range", i1, i2));
  }
  return order;
}

// Position of index r in the range first.. on the step, 0 when it is not on it.
inline std::int32_t on_step(std::int32_t r, std::int32_t first, std::int32_t last,
                            std::int32_t step) {
  if (r < first || r > last || (r - first) % step != 0) return 0;
  return (r - first) / step + 1;
}

// Compressed-row look-up that finds nothing in rows outside the matrix.
double ija_at(std::int32_t i, std::int32_t j, const sparse_ija& A) {
  if (i < 1 || i > A.n) return 0.0;
  return get_sparse_ija(i, j, A);
}

// Element of a dense matrix inside the block's source; stops outside it.
double dense_at(const char* who, std::int64_t i, std::int64_t j, const densem& A) {
  if (i < 1 || i > A.n || j < 1 || j > A.n) detail::key_out_of_range(who, i, j, A.n);
  return A.x(i, j);
}

}  // namespace

vec_view slice(const util::vec1<double>& v, long first, long last, long step) {
  if (step < 1) util::fatal(util::freev("slice: step must be at least 1, not", step));
  const long count = last >= first ? (last - first) / step + 1 : 0;
  if (count == 0) return {v.data(), 0, step};
  if (first < v.lo() || first + (count - 1) * step > v.hi()) {
    util::fatal(util::freev("slice:", first, last, "outside the vector's range", v.lo(), v.hi()));
  }
  return {v.data() + (first - v.lo()), count, step};
}

// ---------------------------------------------------------------------------
// Quadratic forms.

double quadr_hashm(const vec_view& x, const sparse_hashm& A, const vec_view& y) {
  const std::int32_t n = A.n;
  if (x.size != n || y.size != n) stop("QUADR_HASHM: incompatible dimensions");
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  const double* xp = x.p;
  const double* yp = y.p;
  const std::ptrdiff_t ix = x.inc, iy = y.inc;
  double sum = 0.0;
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row;
    if (r == 0) continue;
    const std::int32_t c = t[k].col;
    if (r > c) continue;
    if (r < 1 || c > n) detail::key_out_of_range("quadr_hashm", r, c, n);
    const double a = t[k].val;
    const double xr = xp[(r - 1) * ix], yr = yp[(r - 1) * iy];
    if (r == c) {
      sum += (a * xr) * yr;
    } else {
      sum += (xr * yp[(c - 1) * iy] + xp[(c - 1) * ix] * yr) * a;
    }
  }
  return sum;
}

void gather_hash_terms(hash_terms& t, const sparse_hashm& A) {
  const std::int32_t n = A.n;
  const hash_slot* x = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  std::size_t m = 0;
  for (std::int32_t s = 0; s < nel; ++s) {
    const std::int32_t r = x[s].row, c = x[s].col;
    if (r == 0 || r > c) continue;
    if (r < 1 || c > n) detail::key_out_of_range("quadr_hashm", r, c, n);
    ++m;
  }
  t.n = n;
  t.t.resize(m);
  std::size_t k = 0;
  for (std::int32_t s = 0; s < nel; ++s) {
    const std::int32_t r = x[s].row, c = x[s].col;
    if (r == 0 || r > c) continue;
    t.t[k++] = {r - 1, c - 1, x[s].val};
  }
}

namespace {

// d where diag, else o, read from memory by the flag: a plain choice may be
// compiled to a test and jump, and the diagonal elements lie at random
// among the others.
inline double pick(bool diag, double d, double o) {
  const double v[2] = {o, d};
  return v[diag ? 1 : 0];
}

// NP forms at a time, their sums kept apart.  NX = 1 fixes one vector (and
// the pair (0, 0)); NX = 0 reads nx.  Each element's diagonal and
// off-diagonal shares are both formed and the one for its place taken
// without a branch: the diagonal elements lie at random among the others.
// With Ahead, both ends of the rows of an element a few elements ahead are
// fetched early, for vectors too large for the caches.
// The elements themselves are fetched this many ahead: they are read in
// order, but the lookups into the vectors between them hide the stream from
// the hardware's own fetching.
constexpr std::size_t stream_ahead = 128;

template <int NP, int NX, bool Ahead>
void quadr_terms_pass(const hash_terms& t, const double* x, int nx_run, const int* p, const int* q,
                      double* out) {
  const std::ptrdiff_t nx = NX > 0 ? NX : nx_run;
  double sum[NP];
  int pk[NP], qk[NP];
  for (int k = 0; k < NP; ++k) {
    sum[k] = 0.0;
    pk[k] = NX == 1 ? 0 : p[k];
    qk[k] = NX == 1 ? 0 : q[k];
  }
  constexpr std::size_t ahead = 32;
  const std::size_t m = t.t.size();
  const hash_terms::term* T = t.t.data();
  for (std::size_t s = 0; s < m; ++s) {
    if (Ahead && s + stream_ahead < m) __builtin_prefetch(T + s + stream_ahead);
    if (Ahead && s + ahead < m) {
      const double* fr = x + T[s + ahead].r * nx;
      const double* fc = x + T[s + ahead].c * nx;
      __builtin_prefetch(fr);
      __builtin_prefetch(fc);
      if (NX != 1) {
        __builtin_prefetch(fr + nx - 1);
        __builtin_prefetch(fc + nx - 1);
      }
    }
    const hash_terms::term& e = T[s];
    const double a = e.v;
    const double* xr = x + e.r * nx;
    const double* xc = x + e.c * nx;
    const bool diag = e.r == e.c;
    for (int k = 0; k < NP; ++k) {
      const double d = (a * xr[pk[k]]) * xr[qk[k]];
      const double o = (xr[pk[k]] * xc[qk[k]] + xc[pk[k]] * xr[qk[k]]) * a;
      sum[k] += pick(diag, d, o);
    }
  }
  for (int k = 0; k < NP; ++k) out[k] = sum[k];
}

// Element (r, c) with value a: its share of x_p' A x_q, where rp, rq are
// the row's values of vectors p and q and cp, cq the column's.
inline double share(bool diag, double a, double rp, double rq, double cp, double cq) {
  return pick(diag, (a * rp) * rq, (rp * cq + cp * rq) * a);
}

// The first and last values of a term's row and column in x (nx per
// equation), which may lie on two cache lines each.
template <int NX>
[[gnu::always_inline]] inline void fetch_term(const double* x, const hash_terms::term& e) {
  __builtin_prefetch(x + e.r * NX);
  __builtin_prefetch(x + e.r * NX + NX - 1);
  __builtin_prefetch(x + e.c * NX);
  __builtin_prefetch(x + e.c * NX + NX - 1);
}

// Every pair (p, q), p <= q < NX, in the order p = 0, 1, ..., q = p, ...:
// the whole upper triangle of a block of 2 or 3 traits, with the vectors'
// values of each element read once and each sum in a register of its own.
#if defined(__SSE2__)
// Two forms side by side, lane by lane the operations of share(): the rows'
// values rp, rq and the columns' cp, cq of each form in its lane, the
// element's value in both; the diagonal's share chosen by the mask.
[[gnu::always_inline]] inline __m128d share2(__m128d diag, __m128d a, __m128d rp, __m128d rq,
                                             __m128d cp, __m128d cq) {
  const __m128d d = _mm_mul_pd(_mm_mul_pd(a, rp), rq);
  const __m128d o = _mm_mul_pd(_mm_add_pd(_mm_mul_pd(rp, cq), _mm_mul_pd(cp, rq)), a);
  return _mm_or_pd(_mm_and_pd(diag, d), _mm_andnot_pd(diag, o));
}

[[gnu::always_inline]] inline __m128d diag_mask(const hash_terms::term& e) {
  return _mm_castsi128_pd(_mm_set1_epi64x(-static_cast<long long>(e.r == e.c)));
}

// (s00, s11) in one register, s01 in the low lane of another (its high lane
// sums a form that is not used).
template <bool Ahead>
void quadr_terms_triangle2(const hash_terms& t, const double* x, double* out) {
  __m128d s0011 = _mm_setzero_pd(), s01 = _mm_setzero_pd();
  constexpr std::size_t ahead = 32;
  const std::size_t m = t.t.size();
  const hash_terms::term* T = t.t.data();
  for (std::size_t s = 0; s < m; ++s) {
    if (Ahead && s + ahead < m) fetch_term<2>(x, T[s + ahead]);
    const hash_terms::term& e = T[s];
    const __m128d a = _mm_set1_pd(e.v);
    const __m128d r = _mm_loadu_pd(x + e.r * 2), c = _mm_loadu_pd(x + e.c * 2);
    const __m128d diag = diag_mask(e);
    s0011 = _mm_add_pd(s0011, share2(diag, a, r, r, c, c));
    const __m128d r10 = _mm_shuffle_pd(r, r, 1), c10 = _mm_shuffle_pd(c, c, 1);
    s01 = _mm_add_pd(s01, share2(diag, a, r, r10, c, c10));
  }
  out[0] = _mm_cvtsd_f64(s0011);
  out[1] = _mm_cvtsd_f64(s01);
  out[2] = _mm_cvtsd_f64(_mm_unpackhi_pd(s0011, s0011));
}

// (s00, s11), (s01, s12) and (s02, s22) side by side.
template <bool Ahead>
void quadr_terms_triangle3(const hash_terms& t, const double* x, double* out) {
  __m128d s0011 = _mm_setzero_pd(), s0112 = _mm_setzero_pd(), s0222 = _mm_setzero_pd();
  constexpr std::size_t ahead = 32;
  const std::size_t m = t.t.size();
  const hash_terms::term* T = t.t.data();
  for (std::size_t s = 0; s < m; ++s) {
    if (Ahead && s + ahead < m) fetch_term<3>(x, T[s + ahead]);
    const hash_terms::term& e = T[s];
    const __m128d a = _mm_set1_pd(e.v);
    const double* xr = x + e.r * 3;
    const double* xc = x + e.c * 3;
    const __m128d r01 = _mm_loadu_pd(xr), r12 = _mm_loadu_pd(xr + 1);
    const __m128d c01 = _mm_loadu_pd(xc), c12 = _mm_loadu_pd(xc + 1);
    const __m128d r22 = _mm_unpackhi_pd(r12, r12), c22 = _mm_unpackhi_pd(c12, c12);
    const __m128d r02 = _mm_unpacklo_pd(r01, r22), c02 = _mm_unpacklo_pd(c01, c22);
    const __m128d diag = diag_mask(e);
    s0011 = _mm_add_pd(s0011, share2(diag, a, r01, r01, c01, c01));
    s0112 = _mm_add_pd(s0112, share2(diag, a, r01, r12, c01, c12));
    s0222 = _mm_add_pd(s0222, share2(diag, a, r02, r22, c02, c22));
  }
  auto lo = [](__m128d v) { return _mm_cvtsd_f64(v); };
  auto hi = [](__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); };
  out[0] = lo(s0011);
  out[1] = lo(s0112);
  out[2] = lo(s0222);
  out[3] = hi(s0011);
  out[4] = hi(s0112);
  out[5] = hi(s0222);
}
#else
template <bool Ahead>
void quadr_terms_triangle2(const hash_terms& t, const double* x, double* out) {
  double s00 = 0.0, s01 = 0.0, s11 = 0.0;
  constexpr std::size_t ahead = 32;
  const std::size_t m = t.t.size();
  const hash_terms::term* T = t.t.data();
  for (std::size_t s = 0; s < m; ++s) {
    if (Ahead && s + ahead < m) fetch_term<2>(x, T[s + ahead]);
    const hash_terms::term& e = T[s];
    const double a = e.v;
    const double* xr = x + e.r * 2;
    const double* xc = x + e.c * 2;
    const double r0 = xr[0], r1 = xr[1], c0 = xc[0], c1 = xc[1];
    const bool diag = e.r == e.c;
    s00 += share(diag, a, r0, r0, c0, c0);
    s01 += share(diag, a, r0, r1, c0, c1);
    s11 += share(diag, a, r1, r1, c1, c1);
  }
  out[0] = s00;
  out[1] = s01;
  out[2] = s11;
}

template <bool Ahead>
void quadr_terms_triangle3(const hash_terms& t, const double* x, double* out) {
  double s00 = 0.0, s01 = 0.0, s02 = 0.0, s11 = 0.0, s12 = 0.0, s22 = 0.0;
  constexpr std::size_t ahead = 32;
  const std::size_t m = t.t.size();
  const hash_terms::term* T = t.t.data();
  for (std::size_t s = 0; s < m; ++s) {
    if (Ahead && s + ahead < m) fetch_term<3>(x, T[s + ahead]);
    const hash_terms::term& e = T[s];
    const double a = e.v;
    const double* xr = x + e.r * 3;
    const double* xc = x + e.c * 3;
    const double r0 = xr[0], r1 = xr[1], r2 = xr[2], c0 = xc[0], c1 = xc[1], c2 = xc[2];
    const bool diag = e.r == e.c;
    s00 += share(diag, a, r0, r0, c0, c0);
    s01 += share(diag, a, r0, r1, c0, c1);
    s02 += share(diag, a, r0, r2, c0, c2);
    s11 += share(diag, a, r1, r1, c1, c1);
    s12 += share(diag, a, r1, r2, c1, c2);
    s22 += share(diag, a, r2, r2, c2, c2);
  }
  out[0] = s00;
  out[1] = s01;
  out[2] = s02;
  out[3] = s11;
  out[4] = s12;
  out[5] = s22;
}
#endif

// The pairs are the whole upper triangle of order nx in that order.
bool whole_triangle(int nx, const int* p, const int* q, int npairs) {
  if (npairs != nx * (nx + 1) / 2) return false;
  int k = 0;
  for (int a = 0; a < nx; ++a)
    for (int b = a; b < nx; ++b, ++k)
      if (p[k] != a || q[k] != b) return false;
  return true;
}

template <bool Ahead>
void quadr_terms_passes(const hash_terms& t, const double* x, int nx, const int* p, const int* q,
                        int npairs, double* out) {
  if (nx == 1) {
    for (int k = 0; k < npairs; ++k) quadr_terms_pass<1, 1, Ahead>(t, x, 1, p + k, q + k, out + k);
    return;
  }
  if (nx == 2 && whole_triangle(nx, p, q, npairs)) {
    quadr_terms_triangle2<Ahead>(t, x, out);
    return;
  }
  if (nx == 3 && whole_triangle(nx, p, q, npairs)) {
    quadr_terms_triangle3<Ahead>(t, x, out);
    return;
  }
  // Six forms per pass: the two- and three-trait blocks in one.
  for (int k = 0; k < npairs; k += 6) {
    switch (std::min(npairs - k, 6)) {
      case 1: quadr_terms_pass<1, 0, Ahead>(t, x, nx, p + k, q + k, out + k); break;
      case 2: quadr_terms_pass<2, 0, Ahead>(t, x, nx, p + k, q + k, out + k); break;
      case 3: quadr_terms_pass<3, 0, Ahead>(t, x, nx, p + k, q + k, out + k); break;
      case 4: quadr_terms_pass<4, 0, Ahead>(t, x, nx, p + k, q + k, out + k); break;
      case 5: quadr_terms_pass<5, 0, Ahead>(t, x, nx, p + k, q + k, out + k); break;
      default: quadr_terms_pass<6, 0, Ahead>(t, x, nx, p + k, q + k, out + k); break;
    }
  }
}

}  // namespace

void quadr_terms_multi(const hash_terms& t, std::int32_t n, const double* x, int nx, const int* p,
                       const int* q, int npairs, double* out) {
  if (n != t.n) stop("QUADR_HASHM: incompatible dimensions");
  // Vectors that stay in the nearer caches are read without fetching ahead.
  constexpr std::size_t near_bytes = 512 * 1024;
  const std::size_t bytes = static_cast<std::size_t>(n) * static_cast<std::size_t>(nx) * sizeof(double);
  if (bytes > near_bytes)
    quadr_terms_passes<true>(t, x, nx, p, q, npairs, out);
  else
    quadr_terms_passes<false>(t, x, nx, p, q, npairs, out);
}

double quadr_ija(const vec_view& x, const sparse_ija& A, const vec_view& y) {
  const std::int32_t n = A.n;
  if (x.size != n || y.size != n) stop("QUADR_IJA: incompatible dimensions");
  double sum = 0.0;
  for (std::int32_t i = 1; i <= n; ++i) {
    const double xi = x(i), yi = y(i);
    for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) {
      const std::int32_t j = A.ja(k);
      const double a = A.a(k);
      if (j == i) {
        sum += (xi * a) * yi;
      } else if (j > i) {
        if (j > n) detail::key_out_of_range("quadr_ija", i, j, n);
        sum += (xi * y(j) + yi * x(j)) * a;
      }
    }
  }
  return sum;
}

double quadr_densem(const vec_view& x, const densem& A, const vec_view& y) {
  const std::int32_t n = A.n;
  if (x.size != n || y.size != n) stop("QUADR_DENSEM: incompatible dimensions");
  double sum = 0.0;
  for (std::int32_t j = 1; j <= n; ++j) {
    const double yj = y(j);
    const double* col = A.x.col(j);
    for (std::int32_t i = 1; i <= n; ++i) sum += (x(i) * col[i - 1]) * yj;
  }
  return sum;
}

// ---------------------------------------------------------------------------
// Blocks.

sparse_hashm block_hashm(const sparse_hashm& A, std::int32_t i1, std::int32_t i2, std::int32_t j1,
                         std::int32_t j2, std::int32_t step) {
  const std::int32_t order =
      block_order("block_hashm", "BLOCK_HASHM: matrix not square", i1, i2, j1, j2, step);
  sparse_hashm R;
  zero_sparse_hashm(R, order);
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row;
    if (r == 0) continue;
    const std::int32_t p = on_step(r, i1, i2, step);
    if (p == 0) continue;
    const std::int32_t q = on_step(t[k].col, j1, j2, step);
    if (q == 0) continue;
    // A block element may land below the block's diagonal; the upper
    // storage then drops it.
    add_sparse_hashm(t[k].val, p, q, R);
  }
  return R;
}

sparse_ija block_ija(const sparse_ija& A, std::int32_t i1, std::int32_t i2, std::int32_t j1,
                     std::int32_t j2, std::int32_t step) {
  const std::int32_t order =
      block_order("block_ija", "BLOCK_IJA: matrix not square", i1, i2, j1, j2, step);
  sparse_ija R;
  R.n = order;
  R.ia.resize(order + 1);
  R.ia(1) = 1;
  // Count pass; a source row outside the matrix holds nothing.
  for (std::int32_t p = 1; p <= order; ++p) {
    const std::int64_t r = i1 + static_cast<std::int64_t>(p - 1) * step;
    std::int32_t count = 0;
    if (r >= 1 && r <= A.n) {
      for (std::int32_t k = A.ia(r); k < A.ia(r + 1); ++k) {
        if (on_step(A.ja(k), j1, j2, step) != 0) ++count;
      }
    }
    R.ia(p + 1) = R.ia(p) + count;
  }
  R.nel = R.ia(order + 1) - 1;
  R.ja.resize(R.nel);
  R.a.resize(R.nel);
  // Fill pass, in stored order.
  for (std::int32_t p = 1; p <= order; ++p) {
    const std::int64_t r = i1 + static_cast<std::int64_t>(p - 1) * step;
    if (r < 1 || r > A.n) continue;
    std::int32_t next = R.ia(p);
    for (std::int32_t k = A.ia(r); k < A.ia(r + 1); ++k) {
      const std::int32_t q = on_step(A.ja(k), j1, j2, step);
      if (q == 0) continue;
      R.ja(next) = q;
      R.a(next) = A.a(k);
      ++next;
    }
  }
  return R;
}

densem block_densem(const densem& A, std::int32_t i1, std::int32_t i2, std::int32_t j1,
                    std::int32_t j2, std::int32_t step) {
  const std::int32_t order =
      block_order("block_densem", "BLOCK_DENSEM: matrix not square", i1, i2, j1, j2, step);
  densem R;
  zero_densem(R, order);
  for (std::int32_t q = 1; q <= order; ++q) {
    const std::int64_t c = j1 + static_cast<std::int64_t>(q - 1) * step;
    for (std::int32_t p = 1; p <= order; ++p) {
      const std::int64_t r = i1 + static_cast<std::int64_t>(p - 1) * step;
      R.x(p, q) = dense_at("block_densem", r, c, A);
    }
  }
  return R;
}

// ---------------------------------------------------------------------------
// Traces of products.

double trace_hashm(const sparse_hashm& A, const sparse_hashm& B) {
  if (A.n != B.n) stop("TRACE_DENSEM: Matrices of different size");
  // Scan the matrix with fewer occupied slots, look up in the other.
  const bool scan_b = B.filled <= A.filled;
  const sparse_hashm& S = scan_b ? B : A;
  const sparse_hashm& L = scan_b ? A : B;
  const hash_slot* t = S.x.data();
  const std::int32_t nel = S.has_table() ? S.nel : 0;
  double diag = 0.0, upper = 0.0;
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row;
    if (r == 0) continue;
    const std::int32_t c = t[k].col;
    const double w = get_sparse_hashm(r, c, L);
    if (r == c) {
      diag += w * t[k].val;
    } else if (r < c) {
      upper += w * t[k].val;
    }
  }
  return diag + upper + upper;
}

double trace_ija(const sparse_ija& A, const sparse_ija& B) {
  const std::int32_t n = A.n;
  if (n != B.n) stop("TRACE_IJA: Matrices of different size");
  std::vector<double> work(static_cast<std::size_t>(n) + 1, 0.0);
  double total = 0.0, lower = 0.0, diag = 0.0, upper = 0.0;
  for (std::int32_t i = 1; i <= n; ++i) {
    for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) {
      const std::int32_t j = A.ja(k);
      if (j < 1 || j > n) detail::key_out_of_range("trace_ija", i, j, n);
      work[j] = A.a(k);
    }
    for (std::int32_t k = B.ia(i); k < B.ia(i + 1); ++k) {
      const std::int32_t c = B.ja(k);
      if (c < 1 || c > n) detail::key_out_of_range("trace_ija", i, c, n);
      const double p = B.a(k) * work[c];
      total += p;
      if (c < i) {
        lower += p;
      } else if (c == i) {
        diag += p;
      } else {
        upper += p;
      }
    }
    for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) work[A.ja(k)] = 0.0;
  }
  if (lower == 0.0) return diag + upper + upper;  // upper storage
  if (rel_diff(lower, upper) < 1e-6) return diag + lower + upper;  // both triangles
  util::say("TRACE_IJA: inconsistent trace value: tr[lower,diag,upper]= ", lower, diag, upper);
  return total;
}

double trace_densem(const densem& A, const densem& B) {
  const std::int32_t n = A.n;
  if (n != B.n) stop("TRACE_DENSEM: Matrices of different size");
  double sum = 0.0;
  for (std::int32_t j = 1; j <= n; ++j) {
    const double* a = A.x.col(j);
    const double* b = B.x.col(j);
    for (std::int32_t i = 0; i < n; ++i) sum += a[i] * b[i];
  }
  return sum;
}

// ---------------------------------------------------------------------------
// Traces against a block.

namespace {

// Sum over the stored elements (r, c, v) of A of the block rule: B(R, C) * v
// on the diagonal, (B(R, C) + B(R', C')) * v off it, where (R', C') is the
// mirrored position with its indices in increasing order.
template <class Get>
struct block_trace {
  std::int32_t i1, j1, step;
  Get get;
  double term(std::int32_t r, std::int32_t c, double v) const {
    const std::int32_t R = i1 + (r - 1) * step, C = j1 + (c - 1) * step;
    if (r == c) return get(R, C) * v;
    std::int32_t R2 = i1 + (c - 1) * step, C2 = j1 + (r - 1) * step;
    if (R2 > C2) std::swap(R2, C2);
    return (get(R, C) + get(R2, C2)) * v;
  }
};

}  // namespace

double traceblock_hashm(const sparse_hashm& A, const sparse_hashm& B, std::int32_t i1,
                        std::int32_t i2, std::int32_t j1, std::int32_t j2, std::int32_t step) {
  block_order("traceblock_hashm", "BLOCKTRACE_HASHM: ranges not equal", i1, i2, j1, j2, step);
  auto get = [&B](std::int32_t i, std::int32_t j) { return get_sparse_hashm(i, j, B); };
  const block_trace<decltype(get)> rule{i1, j1, step, get};
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  double total = 0.0;
  for (std::int32_t k = 0; k < nel; ++k) {
    if (t[k].row == 0) continue;
    total += rule.term(t[k].row, t[k].col, t[k].val);
  }
  return total;
}

double traceblock_ija(const sparse_ija& A, const sparse_ija& B, std::int32_t i1, std::int32_t i2,
                      std::int32_t j1, std::int32_t j2, std::int32_t step) {
  block_order("traceblock_ija", "BLOCKTRACE_HASHM: ranges not equal", i1, i2, j1, j2, step);
  auto get = [&B](std::int32_t i, std::int32_t j) { return ija_at(i, j, B); };
  const block_trace<decltype(get)> rule{i1, j1, step, get};
  double total = 0.0;
  for (std::int32_t r = 1; r <= A.n; ++r) {
    for (std::int32_t k = A.ia(r); k < A.ia(r + 1); ++k) total += rule.term(r, A.ja(k), A.a(k));
  }
  return total;
}

double traceblock_densem(const densem& A, const densem& B, std::int32_t i1, std::int32_t i2,
                         std::int32_t j1, std::int32_t j2, std::int32_t step) {
  const std::int32_t order = block_order("traceblock_densem", "BLOCKTRACE_DENSEM: ranges not equal",
                                         i1, i2, j1, j2, step);
  if (order != A.n) stop("TRACE_DENSEM: Matrices of different size");
  double sum = 0.0;
  for (std::int32_t q = 1; q <= order; ++q) {
    const std::int64_t c = j1 + static_cast<std::int64_t>(q - 1) * step;
    for (std::int32_t p = 1; p <= order; ++p) {
      const std::int64_t r = i1 + static_cast<std::int64_t>(p - 1) * step;
      sum += A.x(p, q) * dense_at("traceblock_densem", r, c, B);
    }
  }
  return sum;
}

double rel_diff(double a, double b) {
  if (a == 0.0 && b == 0.0) return 0.0;
  return std::fabs(a - b) / std::max(std::fabs(a), std::fabs(b));
}

}  // namespace sparsem
