// Helpers of the solver and quadratic-form tests: settings guard, random
// symmetric matrices built through the hash store with a dense twin.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dense/denseop.hpp"
#include "sparse/settings.hpp"
#include "sparse/sparsem.hpp"

namespace solvertest {

// Restores the solver settings when a test ends.
struct SolverSettingsGuard {
  float conv = sparsem::default_conv;
  std::int32_t rounds = sparsem::default_rounds;
  float relax = sparsem::default_relax;
  bool zerosol = sparsem::default_zerosol;
  std::int32_t msg = sparsem::sparsem_msg;
  ~SolverSettingsGuard() {
    sparsem::default_conv = conv;
    sparsem::default_rounds = rounds;
    sparsem::default_relax = relax;
    sparsem::default_zerosol = zerosol;
    sparsem::sparsem_msg = msg;
  }
};

// A symmetric matrix accumulated like mixed-model equations: outer products
// of short random records plus a diagonal term, each added to the upper
// triangle of the hash store in record order.  full holds the same matrix
// in both triangles.
struct RandomSystem {
  int n = 0;
  sparsem::sparse_hashm A;
  util::mat1<double> full;
  util::vec1<double> b;
};

inline RandomSystem random_spd(int n, int records, double ridge, unsigned seed,
                               std::int32_t table = 0) {
  RandomSystem s;
  s.n = n;
  if (table > 0) sparsem::zero_sparse_hashm(s.A, n, table);
  else sparsem::zero_sparse_hashm(s.A, n);
  s.full.resize(n, n);
  s.b.resize(n);
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> eq(1, n);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  // A small table grows, with a line on standard output each time.
  if (table > 0) testing::internal::CaptureStdout();
  for (int rec = 0; rec < records; ++rec) {
    int idx[4];
    double w[4];
    for (int k = 0; k < 4; ++k) {
      idx[k] = eq(gen);
      w[k] = val(gen);
    }
    for (int k = 0; k < 4; ++k) {
      for (int l = 0; l < 4; ++l) {
        const int i = idx[k], j = idx[l];
        if (i <= j) sparsem::add_sparse_hashm(w[k] * w[l], i, j, s.A);
        s.full(i, j) += w[k] * w[l];
      }
    }
  }
  for (int i = 1; i <= n; ++i) {
    sparsem::add_sparse_hashm(ridge, i, i, s.A);
    s.full(i, i) += ridge;
    s.b(i) = val(gen);
  }
  if (table > 0) testing::internal::GetCapturedStdout();
  return s;
}

// Largest |x - ref| relative to the largest |ref|.
inline double rel_error(const util::vec1<double>& x, const util::vec1<double>& ref) {
  double e = 0, m = 0;
  for (long i = 1; i <= ref.size(); ++i) {
    e = std::max(e, std::fabs(x(i) - ref(i)));
    m = std::max(m, std::fabs(ref(i)));
  }
  return m > 0 ? e / m : e;
}

inline util::vec1<double> vec(std::initializer_list<double> v) {
  util::vec1<double> x(static_cast<long>(v.size()));
  long i = 1;
  for (double e : v) x(i++) = e;
  return x;
}

}  // namespace solvertest
