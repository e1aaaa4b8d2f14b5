#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>

#include "sparse/blocks.hpp"
#include "solver_support.hpp"
#include "support.hpp"

using namespace sparsem;
using solvertest::vec;
using sparsetest::captured;
using sparsetest::stop_message;

namespace {

// A random symmetric matrix in every form.  The hash has a small table so
// that it grows and its slot order is scrambled.
struct Forms {
  int n;
  sparse_hashm H;
  sparse_ija B;
  densem D;
  util::mat1<double> full;
};

Forms forms(int n, unsigned seed) {
  Forms f;
  f.n = n;
  auto s = solvertest::random_spd(n, 2 * n, 0.3, seed, 16);
  f.H = std::move(s.A);
  f.full = std::move(s.full);
  convert_hash_ija(f.B, f.H);
  convert_hash_densem(f.D, f.H);
  return f;
}

util::vec1<double> random_vec(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-2, 2);
  util::vec1<double> v(n);
  for (int i = 1; i <= n; ++i) v(i) = u(gen);
  return v;
}

double dense_quadr(const util::vec1<double>& x, const util::mat1<double>& A, const util::vec1<double>& y) {
  double s = 0;
  for (long i = 1; i <= x.size(); ++i)
    for (long j = 1; j <= y.size(); ++j) s += x(i) * A(i, j) * y(j);
  return s;
}

double dense_trace(const util::mat1<double>& A, const util::mat1<double>& B) {
  double s = 0;
  for (long i = 1; i <= A.rows(); ++i)
    for (long j = 1; j <= A.cols(); ++j) s += A(i, j) * B(j, i);
  return s;
}

void expect_close(double a, double b, const char* what) {
  EXPECT_NEAR(a, b, 1e-11 * (1 + std::fabs(b))) << what;
}

}  // namespace

TEST(QuadraticForms, WorkedValueAndEveryFormAgainstDense) {
  sparse_hashm H;
  zero_sparse_hashm(H, 2);
  add_sparse_hashm(2, 1, 1, H);
  add_sparse_hashm(1, 1, 2, H);
  add_sparse_hashm(3, 2, 2, H);
  const auto one = vec({1, 1});
  EXPECT_EQ(quadr_hashm(one, H, one), 7.0);
  sparse_ija B;
  convert_hash_ija(B, H);
  EXPECT_EQ(quadr_ija(one, B, one), 7.0);
  densem D;
  convert_hash_densem(D, H);
  EXPECT_EQ(quadr_densem(one, D, one), 7.0);

  for (unsigned seed : {31u, 32u}) {
    Forms f = forms(60, seed);
    const auto x = random_vec(60, seed + 100), y = random_vec(60, seed + 200);
    const double ref = dense_quadr(x, f.full, y);
    expect_close(quadr_hashm(x, f.H, y), ref, "hash");
    expect_close(quadr_ija(x, f.B, y), ref, "ija");
    expect_close(quadr_densem(x, f.D, y), ref, "dense");

    // Strided slices of a longer vector, as the solutions of one trait.
    util::vec1<double> sol(3 * 60);
    for (int i = 1; i <= 60; ++i) {
      sol(3 * (i - 1) + 1) = x(i);
      sol(3 * (i - 1) + 3) = y(i);
    }
    const vec_view sx = slice(sol, 1, 3 * 59 + 1, 3), sy = slice(sol, 3, 3 * 60, 3);
    EXPECT_EQ(quadr_hashm(sx, f.H, sy), quadr_hashm(x, f.H, y));
    EXPECT_EQ(quadr_ija(sx, f.B, sy), quadr_ija(x, f.B, y));
    EXPECT_EQ(quadr_densem(sx, f.D, sy), quadr_densem(x, f.D, y));
    // A sorted table gives the same form, summed in another order.
    clusterr(f.H.x, f.H.nel, f.H.filled);
    sortqr(f.H.x, f.H.filled);
    f.H.status = 2;
    expect_close(quadr_hashm(x, f.H, y), ref, "sorted hash");
  }

  const auto three = vec({1, 1, 1});
  EXPECT_EQ(stop_message([&] { quadr_hashm(three, H, one); }), " QUADR_HASHM: incompatible dimensions");
  EXPECT_EQ(stop_message([&] { quadr_hashm(one, H, three); }), " QUADR_HASHM: incompatible dimensions");
  EXPECT_EQ(stop_message([&] { quadr_ija(three, B, one); }), " QUADR_IJA: incompatible dimensions");
  EXPECT_EQ(stop_message([&] { quadr_densem(one, D, three); }), " QUADR_DENSEM: incompatible dimensions");
}

TEST(Blocks, WorkedExamplesAndStops) {
  densem D;
  zero_densem(D, 4);
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j) D.x(i, j) = 10 * i + j;
  const densem R = block_densem(D, 2, 4, 2, 4, 2);
  ASSERT_EQ(R.n, 2);
  EXPECT_EQ(R.x(1, 1), 22);
  EXPECT_EQ(R.x(1, 2), 24);
  EXPECT_EQ(R.x(2, 1), 42);
  EXPECT_EQ(R.x(2, 2), 44);

  sparse_hashm H;
  zero_sparse_hashm(H, 5);
  sparse_ija B;
  convert_hash_ija(B, H);
  EXPECT_EQ(stop_message([&] { block_hashm(H, 1, 2, 3, 5); }), " BLOCK_HASHM: matrix not square");
  EXPECT_EQ(stop_message([&] { block_ija(B, 1, 2, 3, 5); }), " BLOCK_IJA: matrix not square");
  EXPECT_EQ(stop_message([&] { block_densem(D, 1, 2, 3, 5); }), " BLOCK_DENSEM: matrix not square");
  EXPECT_EQ(stop_message([&] { block_hashm(H, 1, 2, 1, 2, 0); }), " block_hashm: step must be at least 1, not 0");
  EXPECT_EQ(stop_message([&] { block_densem(D, 3, 5, 3, 5); }),
            " block_densem: element 5 3 outside a matrix of order 4");
}

TEST(Blocks, EveryFormAgainstDenseExtraction) {
  Forms f = forms(40, 41);
  // Upper-stored elements: U(r, c) for r <= c, 0 below the diagonal.
  auto U = [&](int r, int c) { return r <= c ? f.full(r, c) : 0.0; };
  struct Range {
    int i1, i2, j1, j2, step;
  };
  for (const Range& g : {Range{1, 40, 1, 40, 1}, Range{5, 33, 5, 33, 4}, Range{3, 20, 11, 28, 3},
                         Range{20, 38, 2, 20, 2}}) {
    const int order = (g.i2 - g.i1) / g.step + 1;
    const sparse_hashm bh = block_hashm(f.H, g.i1, g.i2, g.j1, g.j2, g.step);
    const sparse_ija bi = block_ija(f.B, g.i1, g.i2, g.j1, g.j2, g.step);
    const densem bd = block_densem(f.D, g.i1, g.i2, g.j1, g.j2, g.step);
    ASSERT_EQ(bh.n, order);
    ASSERT_EQ(bi.n, order);
    ASSERT_EQ(bd.n, order);
    EXPECT_EQ(bi.ia(order + 1), bi.nel + 1);
    for (int p = 1; p <= order; ++p) {
      const int r = g.i1 + (p - 1) * g.step;
      for (int q = 1; q <= order; ++q) {
        const int c = g.j1 + (q - 1) * g.step;
        EXPECT_EQ(bd.x(p, q), f.full(r, c));
        // The hash block keeps the upper triangle of the block; the
        // compressed block keeps the stored entries where they fall.
        EXPECT_EQ(get_sparse_hashm(p, q, bh), p <= q ? U(r, c) : 0.0);
        EXPECT_EQ(get_sparse_ija(p, q, bi), U(r, c));
      }
    }
  }
}

TEST(Traces, WholeMatricesAgainstDense) {
  Forms a = forms(50, 51), b = forms(50, 52);
  const double ref = dense_trace(a.full, b.full);
  expect_close(trace_hashm(a.H, b.H), ref, "hash");
  expect_close(trace_hashm(b.H, a.H), ref, "hash swapped");
  expect_close(trace_ija(a.B, b.B), ref, "ija");
  expect_close(trace_densem(a.D, b.D), ref, "dense");

  // Both triangles stored: the lower and upper sums agree.
  sparsetest::SettingsGuard guard;
  sparse_ija a2, b2;
  convert_hash_ija_general(a2, a.H, 1);
  convert_hash_ija_general(b2, b.H, 1);
  std::string out;
  double t = 0;
  out = captured([&] { t = trace_ija(a2, b2); });
  EXPECT_EQ(out, "");
  expect_close(t, ref, "ija both triangles");

  // Mixed storage is still consistent: the upper-only side gives no lower sum.
  out = captured([&] { t = trace_ija(a2, b.B); });
  EXPECT_EQ(out, "");
  expect_close(t, ref, "ija mixed");

  // Both triangles stored but not symmetric: the line, and the plain total.
  sparse_ija m = a2;
  int changed = 0;
  for (int i = 2; i <= 50 && !changed; ++i)
    for (int k = m.ia(i); k < m.ia(i + 1) && !changed; ++k)
      if (m.ja(k) < i && m.a(k) != 0) {
        m.a(k) += 10;
        changed = k;
      }
  ASSERT_NE(changed, 0);
  out = captured([&] { t = trace_ija(a2, m); });
  EXPECT_EQ(out.substr(0, 60), " TRACE_IJA: inconsistent trace value: tr[lower,diag,upper]= ");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
  double total = 0;
  for (int i = 1; i <= 50; ++i)
    for (int k = m.ia(i); k < m.ia(i + 1); ++k) total += m.a(k) * get_sparse_ija(i, m.ja(k), a2);
  EXPECT_EQ(t, total);

  Forms c = forms(49, 53);
  EXPECT_EQ(stop_message([&] { trace_hashm(a.H, c.H); }), " TRACE_DENSEM: Matrices of different size");
  EXPECT_EQ(stop_message([&] { trace_ija(a.B, c.B); }), " TRACE_IJA: Matrices of different size");
  EXPECT_EQ(stop_message([&] { trace_densem(a.D, c.D); }), " TRACE_DENSEM: Matrices of different size");
  // The looked-up matrix must be in hash form.
  a.H.status = 2;
  EXPECT_EQ(stop_message([&] { trace_hashm(a.H, b.H); }), " Structure sparse_hashm not ready; probably sorted");
}

TEST(Traces, SmallMatrixAgainstABlockOfALargeOne) {
  Forms big = forms(60, 61);
  struct Range {
    int i1, i2, j1, j2, step;
  };
  // Blocks on the diagonal, and one wholly above it.
  for (const Range& g : {Range{1, 60, 1, 60, 1}, Range{4, 52, 4, 52, 3}, Range{2, 20, 31, 49, 2}}) {
    const int order = (g.i2 - g.i1) / g.step + 1;
    Forms small = forms(order, 62 + g.step);
    double ref = 0;
    for (int p = 1; p <= order; ++p)
      for (int q = 1; q <= order; ++q)
        ref += small.full(p, q) * big.full(g.i1 + (p - 1) * g.step, g.j1 + (q - 1) * g.step);
    expect_close(traceblock_hashm(small.H, big.H, g.i1, g.i2, g.j1, g.j2, g.step), ref, "hash");
    expect_close(traceblock_ija(small.B, big.B, g.i1, g.i2, g.j1, g.j2, g.step), ref, "ija");
    expect_close(traceblock_densem(small.D, big.D, g.i1, g.i2, g.j1, g.j2, g.step), ref, "dense");
  }
  Forms small = forms(3, 69);
  EXPECT_EQ(stop_message([&] { traceblock_hashm(small.H, big.H, 1, 3, 2, 5); }),
            " BLOCKTRACE_HASHM: ranges not equal");
  EXPECT_EQ(stop_message([&] { traceblock_ija(small.B, big.B, 1, 3, 2, 5); }),
            " BLOCKTRACE_HASHM: ranges not equal");
  EXPECT_EQ(stop_message([&] { traceblock_densem(small.D, big.D, 1, 3, 2, 5); }),
            " BLOCKTRACE_DENSEM: ranges not equal");
  EXPECT_EQ(stop_message([&] { traceblock_densem(small.D, big.D, 1, 4, 1, 4); }),
            " TRACE_DENSEM: Matrices of different size");
}

TEST(Traces, RelativeDifference) {
  EXPECT_EQ(rel_diff(0, 0), 0.0);
  EXPECT_EQ(rel_diff(1, 2), 0.5);
  EXPECT_EQ(rel_diff(-2, 2), 2.0);
  EXPECT_EQ(rel_diff(3, 3), 0.0);
}
