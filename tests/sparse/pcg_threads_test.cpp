// The conjugate-gradient product shared among threads must leave every
// printed line and every solution bit as one thread leaves them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sparse/pcg.hpp"
#include "solver_support.hpp"
#include "support.hpp"

using namespace sparsem;
using solvertest::SolverSettingsGuard;
using sparsetest::captured;

namespace {

struct ThreadsGuard {
  std::int32_t saved = pcg::product_threads;
  ~ThreadsGuard() { pcg::product_threads = saved; }
};

struct Solved {
  std::string out;
  util::vec1<double> x;
};

Solved solve_with(std::int32_t threads, const sparse_hashm& A, const util::vec1<double>& b) {
  pcg::product_threads = threads;
  Solved s;
  s.x.resize(A.n);
  s.out = captured([&] { pcg::solve_sparse_hashm_pcg(A, b, s.x); });
  return s;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(PcgThreads, EveryThreadCountGivesTheOneThreadResult) {
  SolverSettingsGuard settings;
  ThreadsGuard guard;
  struct Case {
    const char* what;
    int n, records;
    double ridge;
    unsigned seed;
    float conv;
    std::int32_t rounds;
  };
  const Case cases[] = {
      {"fewer rows than threads", 3, 4, 0.5, 21, 1e-20f, 50},
      {"rows of very different lengths", 40, 20, 0.1, 22, 1e-20f, 200},
      {"converging", 600, 1800, 0.05, 23, 1e-20f, 1000},
      // Stopped at the round limit: the residual refreshes of rounds 100 and
      // 200 use the plain product.
      {"round limit", 2000, 3000, 0.001, 24, 1e-30f, 250},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    default_iter(c.conv, c.rounds);
    const auto s = solvertest::random_spd(c.n, c.records, c.ridge, c.seed);
    const Solved one = solve_with(1, s.A, s.b);
    for (std::int32_t t : {2, 3, 4, 7, 8, 0}) {
      SCOPED_TRACE(t);
      const Solved many = solve_with(t, s.A, s.b);
      EXPECT_EQ(many.out, one.out);
      for (int i = 1; i <= c.n; ++i) ASSERT_TRUE(same_bits(many.x(i), one.x(i))) << i;
    }
  }
}

TEST(PcgThreads, EmptyRowsAndAZeroRightHandSide) {
  SolverSettingsGuard settings;
  ThreadsGuard guard;
  default_iter(1e-20f, 100);
  // Rows 2, 5 and 6 hold nothing: their solutions stay 0 for any split.
  sparse_hashm A;
  zero_sparse_hashm(A, 6);
  add_sparse_hashm(4, 1, 1, A);
  add_sparse_hashm(1, 1, 3, A);
  add_sparse_hashm(3, 3, 3, A);
  add_sparse_hashm(-1, 3, 4, A);
  add_sparse_hashm(5, 4, 4, A);
  util::vec1<double> b(6);
  for (int i = 1; i <= 6; ++i) b(i) = i;
  const Solved one = solve_with(1, A, b);
  util::vec1<double> zero(6);
  const Solved one0 = solve_with(1, A, zero);
  for (std::int32_t t : {2, 5, 6, 8}) {
    SCOPED_TRACE(t);
    const Solved many = solve_with(t, A, b);
    EXPECT_EQ(many.out, one.out);
    for (int i = 1; i <= 6; ++i) EXPECT_TRUE(same_bits(many.x(i), one.x(i))) << i;
    EXPECT_EQ(many.x(2), 0.0);
    const Solved many0 = solve_with(t, A, zero);
    EXPECT_EQ(many0.out, one0.out);
  }
}
