// Several quadratic forms in one pass over the elements of a hash table in
// table order: each must be the very number that the single form gives.
#include <gtest/gtest.h>

#include <cstdint>
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
    // Every ordered pair but one (more than one pass), and a pair twice.
    std::vector<int> ps, qs;
    for (int p = 0; p < nx; ++p)
      for (int q = 0; q < nx; ++q)
        if (!(p == 1 && q == 2)) {
          ps.push_back(p);
          qs.push_back(q);
        }
    ps.push_back(3);
    qs.push_back(0);
    hash_terms t;
    gather_hash_terms(t, sys.A);
    EXPECT_EQ(static_cast<std::int32_t>(t.size()), sys.A.filled);
    for (int count : {1, 3, 6, static_cast<int>(ps.size())}) {
      std::vector<double> out(static_cast<std::size_t>(count), -1.0);
      quadr_terms_multi(t, n, rows.data(), nx, ps.data(), qs.data(), count, out.data());
      for (std::size_t k = 0; k < out.size(); ++k) {
        const double want = quadr_hashm(v[static_cast<std::size_t>(ps[k])], sys.A,
                                        v[static_cast<std::size_t>(qs[k])]);
        EXPECT_EQ(std::memcmp(&out[k], &want, sizeof want), 0)
            << count << ": " << ps[k] << "," << qs[k] << ": " << out[k] << " vs " << want;
      }
    }
  }
}

TEST(QuadrMulti, NoPairsLeavesNothingAndAWrongOrderOrKeyStops) {
  auto sys = solvertest::random_spd(5, 10, 0.3, 1);
  hash_terms t;
  gather_hash_terms(t, sys.A);
  std::vector<double> rows(10, 1.0);
  double out = 7.0;
  quadr_terms_multi(t, 5, rows.data(), 2, nullptr, nullptr, 0, &out);
  EXPECT_EQ(out, 7.0);
  const int p = 0, q = 1;
  EXPECT_EQ(stop_message([&] { quadr_terms_multi(t, 4, rows.data(), 2, &p, &q, 1, &out); }),
            " QUADR_HASHM: incompatible dimensions");
  // A matrix without a table gives 0.
  sparse_hashm empty;
  empty.n = 5;
  gather_hash_terms(t, empty);
  quadr_terms_multi(t, 5, rows.data(), 2, &p, &q, 1, &out);
  EXPECT_EQ(out, 0.0);
  // A key beyond the order stops, as the single form does.
  sparse_hashm A;
  zero_sparse_hashm(A, 3, 11);
  add_sparse_hashm(1.0, 2, 4, A);
  const std::string single = stop_message([&] {
    util::vec1<double> x(3);
    quadr_hashm(x, A, x);
  });
  EXPECT_NE(single, "<no stop>");
  EXPECT_EQ(stop_message([&] { gather_hash_terms(t, A); }), single);
}

}  // namespace
