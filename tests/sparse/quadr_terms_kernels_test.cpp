// The specialised passes of the gathered quadratic forms (one vector, several
// side by side, vectors too large for the caches, values that are not
// finite): every form must be the very number the single form over the hash
// table gives, bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "sparse/blocks.hpp"
#include "sparse/sparsem.hpp"

using namespace sparsem;

namespace {

// The same bits; any two NaN count as the same (which of two NaN an
// operation passes on is the compiler's choice of operand order, and every
// NaN is written as "NaN").
bool same_bits(double a, double b) {
  if (std::isnan(a) && std::isnan(b)) return true;
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// A symmetric matrix of order n through the hash store: every diagonal
// element and `extra` random off-diagonal ones, some added twice.
sparse_hashm random_matrix(int n, int extra, unsigned seed) {
  sparse_hashm A;
  zero_sparse_hashm(A, n);
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> eq(1, n);
  std::uniform_real_distribution<double> val(-2.0, 2.0);
  for (int i = 1; i <= n; ++i) add_sparse_hashm(val(gen) + 4.0, i, i, A);
  for (int k = 0; k < extra; ++k) {
    int i = eq(gen), j = eq(gen);
    if (i > j) std::swap(i, j);
    add_sparse_hashm(val(gen), i, j, A);
  }
  return A;
}

struct Case {
  const char* name;
  int n, extra, nx;
  bool specials;    // infinities and NaN among the vectors' values
  bool lower_pair;  // a pair (nx-1, 0) after the upper triangle
};

TEST(QuadrTermsKernels, EveryPassIsTheSingleFormBitForBit) {
  const Case cases[] = {
      {"one vector", 300, 900, 1, false, false},
      {"one vector, not finite", 300, 900, 1, true, false},
      {"two side by side, upper triangle", 200, 700, 2, false, false},
      {"two side by side, and a lower pair", 200, 700, 2, false, true},
      {"three side by side, upper triangle, not finite", 150, 500, 3, true, false},
      {"three side by side, and a lower pair, not finite", 150, 500, 3, true, true},
      {"four side by side, upper triangle (two passes)", 100, 300, 4, false, false},
      {"five side by side, upper triangle (three passes)", 80, 250, 5, false, false},
      {"seven side by side, and a lower pair", 60, 200, 7, false, true},
      // Above the size fetched ahead of use.
      {"one large vector", 70000, 140000, 1, false, false},
      {"two large vectors, not finite", 40000, 60000, 2, true, false},
      {"three large vectors, and a lower pair", 30000, 50000, 3, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const sparse_hashm A = random_matrix(c.n, c.extra, static_cast<unsigned>(c.n + c.nx));
    std::mt19937 gen(11);
    std::uniform_real_distribution<double> u(-3, 3);
    std::vector<util::vec1<double>> v(static_cast<std::size_t>(c.nx), util::vec1<double>(c.n));
    std::vector<double> rows(static_cast<std::size_t>(c.n) * static_cast<std::size_t>(c.nx));
    const double specials[] = {std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               std::numeric_limits<double>::quiet_NaN(), -0.0, 1e300};
    for (int p = 0; p < c.nx; ++p)
      for (int r = 1; r <= c.n; ++r) {
        double x = u(gen);
        if (c.specials && r % 53 == p + 1) x = specials[(r / 53 + p) % 5];
        v[static_cast<std::size_t>(p)](r) = x;
        rows[static_cast<std::size_t>(r - 1) * static_cast<std::size_t>(c.nx) + static_cast<std::size_t>(p)] = x;
      }
    std::vector<int> ps, qs;
    for (int p = 0; p < c.nx; ++p)
      for (int q = p; q < c.nx; ++q) {
        ps.push_back(p);
        qs.push_back(q);
      }
    if (c.lower_pair) {
      ps.push_back(c.nx - 1);
      qs.push_back(0);
    }
    hash_terms t;
    gather_hash_terms(t, A);
    std::vector<double> out(ps.size(), -1.0);
    quadr_terms_multi(t, c.n, rows.data(), c.nx, ps.data(), qs.data(), static_cast<int>(ps.size()),
                      out.data());
    for (std::size_t k = 0; k < out.size(); ++k) {
      const double want = quadr_hashm(v[static_cast<std::size_t>(ps[k])], A,
                                      v[static_cast<std::size_t>(qs[k])]);
      EXPECT_TRUE(same_bits(out[k], want))
          << ps[k] << "," << qs[k] << ": " << out[k] << " vs " << want;
    }
    if (c.specials) {
      // The values that are not numbers reach the sums (else the case tests
      // nothing of them).
      bool any_nan = false;
      for (double x : out) any_nan = any_nan || std::isnan(x);
      EXPECT_TRUE(any_nan);
    }
  }
}

}  // namespace
