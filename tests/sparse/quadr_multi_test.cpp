// Several quadratic forms in one pass over the hash table: each must be the
// very number that the single form gives.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "solver_support.hpp"
#include "sparse/blocks.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::stop_message;

namespace {

TEST(QuadrMulti, EveryFormIsTheSingleFormBitForBit) {
  for (unsigned seed : {3u, 17u}) {
    const int n = 37, nx = 4;
    // A small table grows, so that the slot order is scrambled.
    auto sys = solvertest::random_spd(n, 3 * n, 0.3, seed, 16);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> u(-3, 3);
    std::vector<util::vec1<double>> v(nx, util::vec1<double>(n));
    std::vector<double> rows(static_cast<std::size_t>(n * nx));
    for (int p = 0; p < nx; ++p)
      for (int r = 1; r <= n; ++r) {
        v[static_cast<std::size_t>(p)](r) = u(gen);
        rows[static_cast<std::size_t>((r - 1) * nx + p)] = v[static_cast<std::size_t>(p)](r);
      }
    // Every ordered pair, the same pair twice, and one left out.
    std::vector<int> ps, qs;
    for (int p = 0; p < nx; ++p)
      for (int q = 0; q < nx; ++q)
        if (!(p == 1 && q == 2)) {
          ps.push_back(p);
          qs.push_back(q);
        }
    ps.push_back(3);
    qs.push_back(0);
    std::vector<double> out(ps.size(), -1.0);
    quadr_hashm_multi(sys.A, n, rows.data(), nx, ps.data(), qs.data(), static_cast<int>(ps.size()),
                      out.data());
    for (std::size_t k = 0; k < ps.size(); ++k) {
      const double want = quadr_hashm(v[static_cast<std::size_t>(ps[k])], sys.A,
                                      v[static_cast<std::size_t>(qs[k])]);
      EXPECT_EQ(std::memcmp(&out[k], &want, sizeof want), 0)
          << ps[k] << "," << qs[k] << ": " << out[k] << " vs " << want;
    }
  }
}

TEST(QuadrMulti, NoPairsLeavesNothingAndAWrongOrderStops) {
  auto sys = solvertest::random_spd(5, 10, 0.3, 1);
  std::vector<double> rows(10, 1.0);
  double out = 7.0;
  quadr_hashm_multi(sys.A, 5, rows.data(), 2, nullptr, nullptr, 0, &out);
  EXPECT_EQ(out, 7.0);
  const int p = 0, q = 1;
  EXPECT_EQ(stop_message([&] { quadr_hashm_multi(sys.A, 4, rows.data(), 2, &p, &q, 1, &out); }),
            " QUADR_HASHM: incompatible dimensions");
  // An empty matrix of the right order gives 0.
  sparse_hashm empty;
  empty.n = 5;
  quadr_hashm_multi(empty, 5, rows.data(), 2, &p, &q, 1, &out);
  EXPECT_EQ(out, 0.0);
}

}  // namespace
