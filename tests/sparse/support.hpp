// Shared helpers of the sparse-matrix tests.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "sparse/sparsem.hpp"
#include "stop_capture.hpp"

namespace sparsetest {

using testsupport::captured;
using testsupport::stop_message;

// Restores the process-wide storage switches when a test ends.
struct SettingsGuard {
  bool upper = sparsem::upper_storage;
  std::int32_t type = sparsem::hash_ija_conversion_type;
  ~SettingsGuard() {
    sparsem::upper_storage = upper;
    sparsem::hash_ija_conversion_type = type;
  }
};

// The hash store written out step by step in its plainest form: a 3-row
// table of 64-bit reals, a 32-bit key hash, a modulo in every probe step and
// the 32-bit occupancy quotient.  The fast store must keep the same layout.
struct RefHash {
  int n = 0, nel = 0, filled = 0;
  std::vector<double> x;  // slot k at x[3(k-1)], x[3(k-1)+1], x[3(k-1)+2]

  RefHash(int order, int size) : n(order), nel(size), x(3 * static_cast<std::size_t>(size), 0.0) {}

  int hashvr(int i, int j, int mode) {
    static const int prime[2] = {433, 1039};
    const double key[2] = {double(i), double(j)};
    std::int32_t h = 0;
    for (int k = 0; k < 2; ++k) h = static_cast<std::int32_t>(double(h) + prime[k] * key[k]);
    int s = std::abs(h % nel) + 1;
    for (int count = 1;; ++count) {
      double* sl = &x[3 * static_cast<std::size_t>(s - 1)];
      if (sl[0] == 0 && sl[1] == 0) {
        if (mode == 1) {
          sl[0] = key[0];
          sl[1] = key[1];
          ++filled;
          return s;
        }
        return mode == 0 ? 0 : s;
      }
      if (int(sl[0]) == i && int(sl[1]) == j) return s;
      s = (s + 16) % nel + 1;
      if (count + 1 > 5000) return -1;
    }
  }

  void grow() {
    RefHash b(n, static_cast<int>(static_cast<float>(nel) * 1.5f));
    for (int k = 1; k <= nel; ++k) {
      const double* sl = &x[3 * static_cast<std::size_t>(k - 1)];
      if (sl[0] != 0) b.add(sl[2], int(sl[0]), int(sl[1]));
    }
    *this = std::move(b);
  }

  void add(double a, int i, int j) {
    if (j < i) return;
    for (;;) {
      int s = hashvr(i, j, 1);
      if (s == -1 || static_cast<float>(filled) / static_cast<float>(nel) > 0.9f) {
        grow();
        s = hashvr(i, j, 1);
      }
      if (s >= 1) {
        x[3 * static_cast<std::size_t>(s - 1) + 2] += a;
        return;
      }
    }
  }
};

// True when A's table equals the reference slot for slot.
inline ::testing::AssertionResult same_table(const sparsem::sparse_hashm& A, const RefHash& R) {
  if (A.nel != R.nel) return ::testing::AssertionFailure() << "nel " << A.nel << " vs " << R.nel;
  if (A.filled != R.filled) return ::testing::AssertionFailure() << "filled " << A.filled << " vs " << R.filled;
  for (int k = 1; k <= A.nel; ++k) {
    const sparsem::hash_slot& s = A.x(k);
    const double* r = &R.x[3 * static_cast<std::size_t>(k - 1)];
    if (s.row != r[0] || s.col != r[1] || s.val != r[2]) {
      return ::testing::AssertionFailure()
             << "slot " << k << ": (" << s.row << "," << s.col << "," << s.val << ") vs (" << r[0]
             << "," << r[1] << "," << r[2] << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

// Rank by Gaussian elimination with full pivoting (rows by columns, dense).
inline int dense_rank(std::vector<std::vector<double>> a) {
  const std::size_t nr = a.size(), nc = nr ? a[0].size() : 0;
  int rank = 0;
  for (std::size_t k = 0; k < std::min(nr, nc); ++k) {
    std::size_t pi = k, pj = k;
    for (std::size_t i = k; i < nr; ++i)
      for (std::size_t j = k; j < nc; ++j)
        if (std::fabs(a[i][j]) > std::fabs(a[pi][pj])) pi = i, pj = j;
    if (std::fabs(a[pi][pj]) < 1e-9) break;
    std::swap(a[k], a[pi]);
    for (auto& r : a) std::swap(r[k], r[pj]);
    for (std::size_t i = k + 1; i < nr; ++i) {
      const double f = a[i][k] / a[k][k];
      for (std::size_t j = k; j < nc; ++j) a[i][j] -= f * a[k][j];
    }
    ++rank;
  }
  return rank;
}

}  // namespace sparsetest
