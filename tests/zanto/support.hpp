// Shared helpers of the factorisation-package tests: matrices in the
// package's input form, random test matrices, the steps from ordering to
// factor carried out in one work array, and plain references (boolean
// elimination, dense reconstruction, LAPACK's Cholesky).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "zanto/sparssub.hpp"

extern "C" void dpotrf_(const char* uplo, const int* n, double* a, const int* lda, int* info,
                        std::size_t uplo_len);

namespace zantotest {

using zanto::word;
using Dense = std::vector<std::vector<double>>;  // 0-based rows

// Upper triangle in compressed rows, each row's diagonal first (also when
// 0), then the row's nonzero off-diagonal elements by increasing column.
struct Csr {
  word n = 0;
  std::vector<word> ia, ja;  // ia: n+1 row starts
  std::vector<double> a;
  word nze() const { return n ? ia[n] - 1 : 0; }
};

inline Csr from_dense(const Dense& A) {
  Csr m;
  m.n = static_cast<word>(A.size());
  m.ia.push_back(1);
  for (word i = 0; i < m.n; ++i) {
    m.ja.push_back(i + 1);
    m.a.push_back(A[i][i]);
    for (word j = i + 1; j < m.n; ++j) {
      if (A[i][j] == 0) continue;
      m.ja.push_back(j + 1);
      m.a.push_back(A[i][j]);
    }
    m.ia.push_back(static_cast<word>(m.ja.size()) + 1);
  }
  if (m.n == 0) m.ia = {1};
  return m;
}

// Matrix from its upper off-diagonal pairs (1-based), unit diagonal.
inline Csr from_pairs(word n, const std::vector<std::pair<word, word>>& pairs) {
  Dense A(n, std::vector<double>(n, 0.0));
  for (word i = 0; i < n; ++i) A[i][i] = 1;
  for (auto [i, j] : pairs) A[i - 1][j - 1] = A[j - 1][i - 1] = 1;
  return from_dense(A);
}

// Random symmetric positive definite matrix with about `density` of its
// off-diagonal pairs nonzero (diagonally dominant).
inline Dense random_spd(int n, double density, std::mt19937& rng) {
  std::uniform_real_distribution<double> u(0, 1), v(-1, 1);
  Dense A(n, std::vector<double>(n, 0.0));
  for (int i = 0; i < n; ++i)
    for (int j = i + 1; j < n; ++j)
      if (u(rng) < density) A[i][j] = A[j][i] = v(rng);
  for (int i = 0; i < n; ++i) {
    double s = 0;
    for (int j = 0; j < n; ++j)
      if (j != i) s += std::fabs(A[i][j]);
    A[i][i] = s + 0.5 + u(rng);
  }
  return A;
}

// Random positive semi-definite matrix C C' with C of n x r small integers
// (so the matrix and its dependencies are exact), and optionally an all-zero
// row and column.
inline Dense random_psd(int n, int r, std::mt19937& rng, bool zero_row) {
  std::uniform_int_distribution<int> pick(0, 5);
  std::vector<std::vector<double>> C(n, std::vector<double>(r, 0.0));
  for (int i = 0; i < n; ++i) {
    for (int k = 0; k < r; ++k) {
      const int c = pick(rng);
      C[i][k] = c <= 2 ? 0.0 : (c == 3 ? 1.0 : (c == 4 ? -1.0 : 2.0));
    }
    C[i][i % r] += 3.0;  // no row without a value
  }
  if (zero_row) std::fill(C[n / 2].begin(), C[n / 2].end(), 0.0);
  Dense A(n, std::vector<double>(n, 0.0));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < r; ++k) A[i][j] += C[i][k] * C[j][k];
  return A;
}

// The factor in a work array of 4-byte words, laid out region by region
// as the package's driver lays it out.
struct Factored {
  word n = 0, nze = 0, nofsub = 0, maxsub = 0, maxlnz = 0, rank = 0;
  std::vector<word> work;
  zanto::Layout lay{};

  zanto::ivec w() { return zanto::view(work); }
  zanto::Regions r() { return zanto::regions(w(), n, maxsub, maxlnz); }
  zanto::ivec perm() { return r().perm; }
  zanto::ivec invp() { return r().invp; }
  zanto::ivec xlnz() { return r().xlnz; }
  zanto::ivec xnzsub() { return r().xnzsub; }
  zanto::ivec nzsub() { return r().nzsub; }
  zanto::rvec diag() { return r().diag; }
  zanto::rvec lnz() { return r().lnz; }
  // A real scratch vector of n above the persistent regions.
  zanto::rvec temp() { return zanto::rvec::in(w(), lay.f, n); }
};

// Ordering (multiple minimum degree), symbolic and numeric factorisation of
// m, with the word positions and scratch regions of the driver.
inline Factored factorise(const Csr& m) {
  using namespace zanto;
  Factored F;
  const word n = m.n;
  const word nze = m.nze();
  F.n = n;
  F.nze = nze;
  F.work.assign(static_cast<std::size_t>(16 * (n + 1) + 8 * nze + 64), 0);
  civec ia = cview(m.ia), ja = cview(m.ja);
  crvec a = cview(m.a);
  ivec w = F.w();

  // Ordering.
  {
    ivec xadj = w.sub(2 * n + 1, n + 1);
    ivec adjncy = w.sub(3 * n + 2, 2 * nze);
    const word s = 3 * n + 2 + 2 * nze;
    ivec dhead = w.sub(s, n), qsize = w.sub(s + n, n), llist = w.sub(s + 2 * n, n),
         marker = w.sub(s + 3 * n, n);
    unfold(n, ia, ja, xadj, adjncy, dhead);
    genmmd(n, xadj, adjncy, w.sub(n + 1, n), w.sub(1, n), 0, dhead, qsize, llist, marker,
           9999999, F.nofsub);
  }
  // Symbolic factorisation; the factor grows by a fresh array when the
  // bound on subscripts makes the scratch regions reach past the end.
  {
    const std::int64_t need = 8LL * n + 4 + F.nofsub + 2LL * nze;
    if (need > static_cast<std::int64_t>(F.work.size())) F.work.resize(need);
    w = F.w();
    const word s = 4 * n + 3 + F.nofsub;
    ivec xadj = w.sub(s, n + 1);
    ivec adjncy = w.sub(s + n + 1, 2 * nze);
    const word r = s + n + 1 + 2 * nze;
    ivec rchlnk = w.sub(r, n), mrglnk = w.sub(r + n, n), marker = w.sub(r + 2 * n, n);
    unfold(n, ia, ja, xadj, adjncy, rchlnk);
    F.maxsub = F.nofsub;
    word flag = -5;
    smbfct(n, xadj, adjncy, w.sub(1, n), w.sub(n + 1, n), w.sub(2 * n + 1, n + 1), F.maxlnz,
           w.sub(3 * n + 2, n + 1), w.sub(4 * n + 3, F.nofsub), F.maxsub, rchlnk, mrglnk, marker,
           flag);
    EXPECT_EQ(flag, 0);
  }
  // Numeric factorisation.
  {
    F.lay = layout(n, F.maxsub, F.maxlnz);
    const std::int64_t f = F.lay.f;
    const std::int64_t g = f + n + 1;
    const std::int64_t h = odd(g + nze);
    const std::int64_t k = odd(h + 2LL * nze);
    const std::int64_t need = std::max(k + 2LL * n, odd(f + 2LL * n) + 2LL * n);
    if (need > static_cast<std::int64_t>(F.work.size())) F.work.resize(need);
    w = F.w();
    ivec ian = w.sub(f, n + 1), jan = w.sub(g, nze);
    rvec an = rvec::in(w, h, nze);
    loadap(n, ia, ja, a, ian, jan, an, F.diag(), F.invp(), w.sub(k, n));
    loadu(n, ian, jan, an, F.xlnz(), F.nzsub(), F.xnzsub(), F.lnz(), rvec::in(w, k, n));
    word iflag = -7;
    fgsfct(n, F.xlnz(), F.lnz(), F.xnzsub(), F.nzsub(), F.diag(), w.sub(f, n), w.sub(f + n, n),
           rvec::in(w, odd(f + 2LL * n), n), iflag, 1e-8, F.rank);
    EXPECT_EQ(iflag, -7);
    merlin(n, F.xlnz(), F.lnz(), F.diag(), 1e-8);
  }
  return F;
}

// Column structures (new numbering) of the factor.
inline std::vector<std::vector<word>> factor_columns(Factored& F) {
  std::vector<std::vector<word>> cols(F.n + 1);
  for (word j = 1; j <= F.n; ++j)
    for (word k = F.xlnz()(j); k < F.xlnz()(j + 1); ++k)
      cols[j].push_back(F.nzsub()(F.xnzsub()(j) + k - F.xlnz()(j)));
  return cols;
}

// Structure of the factor by plain boolean elimination of the permuted
// pattern: column k lists the rows i > k of the filled matrix.
inline std::vector<std::vector<word>> boolean_elimination(const Csr& m, zanto::civec invp) {
  const word n = m.n;
  std::vector<std::vector<char>> B(n + 1, std::vector<char>(n + 1, 0));
  for (word i = 1; i <= n; ++i)
    for (word k = m.ia[i - 1]; k < m.ia[i]; ++k) {
      const word p = invp(i), q = invp(m.ja[k - 1]);
      B[p][q] = B[q][p] = 1;
    }
  std::vector<std::vector<word>> cols(n + 1);
  for (word k = 1; k <= n; ++k) {
    for (word i = k + 1; i <= n; ++i)
      if (B[i][k]) cols[k].push_back(i);
    for (word i : cols[k])
      for (word j : cols[k]) B[i][j] = 1;
  }
  return cols;
}

// The permuted matrix B(invp(i), invp(j)) = A(i, j), 0-based.
inline Dense permuted(const Dense& A, zanto::civec invp) {
  const int n = static_cast<int>(A.size());
  Dense B(n, std::vector<double>(n, 0.0));
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) B[invp(i + 1) - 1][invp(j + 1) - 1] = A[i][j];
  return B;
}

// U D U' rebuilt from the stored -U and 1/D (dropped pivots contribute 0).
inline Dense rebuild(Factored& F) {
  const word n = F.n;
  Dense U(n, std::vector<double>(n, 0.0));
  for (word j = 1; j <= n; ++j) {
    U[j - 1][j - 1] = 1;
    for (word k = F.xlnz()(j); k < F.xlnz()(j + 1); ++k)
      U[F.nzsub()(F.xnzsub()(j) + k - F.xlnz()(j)) - 1][j - 1] = -F.lnz()(k);
  }
  Dense B(n, std::vector<double>(n, 0.0));
  for (word k = 0; k < n; ++k) {
    const double dk = F.diag()(k + 1) != 0 ? 1.0 / F.diag()(k + 1) : 0.0;
    for (word i = 0; i < n; ++i)
      for (word j = 0; j < n; ++j) B[i][j] += U[i][k] * dk * U[j][k];
  }
  return B;
}

// LAPACK's lower Cholesky factor (column-major, m x m) of the principal
// submatrix of A on `rows` (0-based); empty when it fails.
inline std::vector<double> lapack_chol(const Dense& A, const std::vector<int>& rows) {
  const int m = static_cast<int>(rows.size());
  std::vector<double> c(static_cast<std::size_t>(m) * m);
  for (int j = 0; j < m; ++j)
    for (int i = 0; i < m; ++i) c[static_cast<std::size_t>(j) * m + i] = A[rows[i]][rows[j]];
  int info = 0;
  if (m > 0) dpotrf_("L", &m, c.data(), &m, &info, 1);
  if (info != 0) c.clear();
  return c;
}

// The factor's diagonal.
inline std::vector<double> lapack_chol_diag(const Dense& A, const std::vector<int>& rows) {
  const std::vector<double> c = lapack_chol(A, rows);
  const std::size_t m = rows.size();
  std::vector<double> d;
  for (std::size_t i = 0; i < m && !c.empty(); ++i) d.push_back(c[i * m + i]);
  return d;
}

// Solution of the principal subsystem of A on `rows` by that factor, other
// entries 0.
inline std::vector<double> lapack_solve(const Dense& A, const std::vector<int>& rows,
                                        const std::vector<double>& b) {
  const std::vector<double> c = lapack_chol(A, rows);
  const std::size_t m = rows.size();
  EXPECT_EQ(c.size(), m * m);
  std::vector<double> y(m), x(A.size(), 0.0);
  for (std::size_t i = 0; i < m; ++i) y[i] = b[rows[i]];
  for (std::size_t i = 0; i < m; ++i) {  // L y = b
    for (std::size_t k = 0; k < i; ++k) y[i] -= c[k * m + i] * y[k];
    y[i] /= c[i * m + i];
  }
  for (std::size_t i = m; i-- > 0;) {  // L' x = y
    for (std::size_t k = i + 1; k < m; ++k) y[i] -= c[i * m + k] * y[k];
    y[i] /= c[i * m + i];
  }
  for (std::size_t i = 0; i < m; ++i) x[rows[i]] = y[i];
  return x;
}

// Output written to a temporary stream by f.
inline std::string written(const std::function<void(std::FILE*)>& f) {
  std::FILE* t = std::tmpfile();
  f(t);
  std::fflush(t);
  std::rewind(t);
  std::string s;
  char buf[4096];
  std::size_t got;
  while ((got = std::fread(buf, 1, sizeof buf, t)) > 0) s.append(buf, got);
  std::fclose(t);
  return s;
}

// Ordering of m by multiple minimum degree, in plain arrays.
struct Ordering {
  std::vector<word> perm, invp;
  word nofsub = -1;
};
inline Ordering order(const Csr& m, word nofsub_start = -1) {
  using namespace zanto;
  const word n = m.n;
  std::vector<word> xadj(n + 1), adjncy(std::max<word>(1, 2 * m.nze())), count(n), dhead(n),
      qsize(n), llist(n), marker(n);
  Ordering o;
  o.perm.assign(n, -3);
  o.invp.assign(n, -3);
  o.nofsub = nofsub_start;
  unfold(n, cview(m.ia), cview(m.ja), view(xadj), view(adjncy), view(count));
  genmmd(n, cview(xadj), view(adjncy), view(o.invp), view(o.perm), 0, view(dhead), view(qsize),
         view(llist), view(marker), 9999999, o.nofsub);
  return o;
}

inline bool is_permutation_pair(const std::vector<word>& perm, const std::vector<word>& invp) {
  const word n = static_cast<word>(perm.size());
  for (word k = 1; k <= n; ++k) {
    if (perm[k - 1] < 1 || perm[k - 1] > n) return false;
    if (invp[perm[k - 1] - 1] != k) return false;
  }
  return true;
}

}  // namespace zantotest
