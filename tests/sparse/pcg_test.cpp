#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>

#include "sparse/pcg.hpp"
#include "sparse/sparseop.hpp"
#include "solver_support.hpp"
#include "support.hpp"
#include "util/format.hpp"

using namespace sparsem;
using solvertest::SolverSettingsGuard;
using solvertest::vec;
using sparsetest::captured;
using sparsetest::stop_message;

namespace {

// The solver written out step by step: diagonal by look-ups, every product
// by the hash product, every vector operation a pass of its own.
void reference_pcg(const sparse_hashm& A, const util::vec1<double>& b, util::vec1<double>& x) {
  const int n = A.n;
  util::vec1<double> d(n), r(n), z(n), p(n), w(n);
  for (int i = 1; i <= n; ++i) {
    const double a = get_sparse_hashm(i, i, A);
    d(i) = a != 0 ? 1 / a : 0;
  }
  for (int i = 1; i <= n; ++i) x(i) = 0;
  for (int i = 1; i <= n; ++i) r(i) = b(i);
  double c = 0, tau = 0, tau_prev = 0;
  int its = 0;
  for (int k = 1; k <= default_rounds; ++k) {
    for (int i = 1; i <= n; ++i) z(i) = d(i) * r(i);
    tau = 0;
    for (int i = 1; i <= n; ++i) tau += z(i) * r(i);
    if (k == 1) {
      for (int i = 1; i <= n; ++i) p(i) = z(i);
    } else {
      const double beta = tau / tau_prev;
      for (int i = 1; i <= n; ++i) p(i) = beta * p(i) + z(i);
    }
    w = mult_hashm_vec(A, p);
    double pw = 0;
    for (int i = 1; i <= n; ++i) pw += p(i) * w(i);
    const double alpha = tau / pw;
    for (int i = 1; i <= n; ++i) x(i) = x(i) + alpha * p(i);
    if (k % 100 == 0) {
      const auto y = mult_hashm_vec(A, x);
      for (int i = 1; i <= n; ++i) r(i) = b(i) - y(i);
    } else {
      for (int i = 1; i <= n; ++i) r(i) = r(i) - alpha * w(i);
    }
    double rr = 0, bb = 0;
    for (int i = 1; i <= n; ++i) rr += r(i) * r(i);
    for (int i = 1; i <= n; ++i) bb += b(i) * b(i);
    c = rr / bb;
    util::say("round ", k, "   convergence=", c);
    its = k;
    if (c < static_cast<double>(default_conv)) break;
    tau_prev = tau;
  }
  util::say(its, " iterations,   convergence criterion=", c);
}

int count_lines(const std::string& s) { return static_cast<int>(std::count(s.begin(), s.end(), '\n')); }

std::string last_line(const std::string& s) {
  const auto end = s.size() - 1;
  const auto start = s.rfind('\n', end - 1);
  return s.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1));
}

// Order-n second-difference matrix (2 on the diagonal, -1 beside it): its
// condition grows with n**2, so the iteration needs about n steps.
sparse_hashm laplacian(int n) {
  sparse_hashm A;
  zero_sparse_hashm(A, n);
  for (int i = n; i >= 1; --i) {
    add_sparse_hashm(2, i, i, A);
    if (i < n) add_sparse_hashm(-1, i, i + 1, A);
  }
  return A;
}

}  // namespace

TEST(SolverSettings, DefaultIterStoresWhatItIsGiven) {
  SolverSettingsGuard guard;
  EXPECT_EQ(default_conv, 1e-10f);
  EXPECT_EQ(default_rounds, 1000);
  EXPECT_EQ(default_relax, 1.0f);
  EXPECT_TRUE(default_zerosol);
  EXPECT_EQ(sparsem_msg, 2);
  default_iter(1e-10f, 400, 1.4f);
  EXPECT_EQ(default_conv, 1e-10f);
  EXPECT_EQ(default_rounds, 400);
  EXPECT_EQ(default_relax, 1.4f);
  EXPECT_TRUE(default_zerosol);
  default_iter(std::nullopt, std::nullopt, std::nullopt, false);
  EXPECT_EQ(default_rounds, 400);
  EXPECT_FALSE(default_zerosol);
  default_iter(1e-6f);
  EXPECT_EQ(default_conv, 1e-6f);
  EXPECT_EQ(default_relax, 1.4f);
}

TEST(Pcg, IterationLineIsTheFreeFormatLine) {
  char buf[128];
  const double inf = std::numeric_limits<double>::infinity();
  for (double c : {0.0, 0.2, 1.0 / 3, 1e-300, 123456789.0, inf, -inf,
                   std::numeric_limits<double>::quiet_NaN()}) {
    for (int k : {1, 100, 2147483647}) {
      const std::size_t len = pcg::iteration_line(buf, sizeof buf, k, c);
      EXPECT_EQ(std::string(buf, len), util::freev("round ", k, "   convergence=", c) + "\n");
    }
  }
}

TEST(Pcg, DiagonalSystemSolvedInTheFirstIteration) {
  SolverSettingsGuard guard;
  default_iter(1e-10f, 400, 1.4f);
  sparse_hashm A;
  zero_sparse_hashm(A, 2);
  add_sparse_hashm(2, 1, 1, A);
  add_sparse_hashm(4, 2, 2, A);
  util::vec1<double> x = vec({9, 9});
  const std::string out = captured([&] { pcg::solve_sparse_hashm_pcg(A, vec({2, 4}), x); });
  EXPECT_EQ(out, " round  1    convergence= 0\n 1  iterations,   convergence criterion= 0\n");
  EXPECT_EQ(x(1), 1.0);
  EXPECT_EQ(x(2), 1.0);

  // A diagonal whose solution is not exact in binary still stops at once,
  // far below the limit.
  zero_sparse_hashm(A, 3);
  add_sparse_hashm(3, 1, 1, A);
  add_sparse_hashm(7, 2, 2, A);
  add_sparse_hashm(0.1, 3, 3, A);
  x = vec({0, 0, 0});
  const std::string out2 = captured([&] { pcg::solve_sparse_hashm_pcg(A, vec({1, 1, 1}), x); });
  EXPECT_EQ(count_lines(out2), 2);
  EXPECT_EQ(last_line(out2).substr(0, 4), " 1  ");
  double c = 1;
  std::istringstream(last_line(out2).substr(last_line(out2).find('=') + 1)) >> c;
  EXPECT_LT(c, 1e-25);
  EXPECT_NEAR(x(3), 10.0, 1e-14);
}

TEST(Pcg, MatchesTheStepByStepSolverBitForBit) {
  // Not converging in 400 iterations: every line, the residual refresh of
  // iterations 100 to 400 and the closing line agree with the literal form.
  SolverSettingsGuard guard;
  default_iter(1e-10f, 400, 1.4f);
  const int n = 1000;
  const sparse_hashm A = laplacian(n);
  util::vec1<double> b(n), x(n), xr(n);
  for (int i = 1; i <= n; ++i) b(i) = std::sin(0.37 * i) + (i == n / 2 ? 5 : 0);
  const std::string out = captured([&] { pcg::solve_sparse_hashm_pcg(A, b, x); });
  const std::string ref = captured([&] { reference_pcg(A, b, xr); });
  EXPECT_EQ(out, ref);
  EXPECT_EQ(count_lines(out), 401);
  EXPECT_EQ(last_line(out).substr(0, 6), " 400  ");
  for (int i = 1; i <= n; ++i) ASSERT_EQ(x(i), xr(i)) << i;

  // Random systems built through the hash store, converging.
  default_iter(1e-20f, 1000);
  for (unsigned seed : {3u, 4u}) {
    auto s = solvertest::random_spd(300, 900, 0.05, seed, 1000);
    util::vec1<double> y(300), yr(300);
    const std::string o = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, y); });
    const std::string r = captured([&] { reference_pcg(s.A, s.b, yr); });
    EXPECT_EQ(o, r);
    for (int i = 1; i <= 300; ++i) ASSERT_EQ(y(i), yr(i)) << i;
  }
}

TEST(Pcg, RandomSystemsAgreeWithADenseSolve) {
  SolverSettingsGuard guard;
  default_iter(1e-24f, 2000);
  for (unsigned seed : {11u, 12u, 13u}) {
    const int n = 150 + 50 * int(seed - 11);
    auto s = solvertest::random_spd(n, 3 * n, 0.2, seed);
    const auto filled = s.A.filled;
    util::vec1<double> x(n);
    const std::string out = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, x); });
    const auto ref = denseop::fgesv8(s.full, s.b);
    EXPECT_LT(solvertest::rel_error(x, ref), 1e-9) << seed;
    EXPECT_LT(count_lines(out), 2000);
    // The matrix is only read.
    EXPECT_EQ(s.A.status, 1);
    EXPECT_EQ(s.A.filled, filled);

    sparsem::densem D;
    convert_hash_densem(D, s.A);
    util::vec1<double> y(n);
    captured([&] { pcg::solve_densem_pcg(D, s.b, y); });
    EXPECT_LT(solvertest::rel_error(y, ref), 1e-9) << seed;
  }
}

TEST(Pcg, ZeroRightHandSideReturnsZeroAtOnce) {
  SolverSettingsGuard guard;
  default_iter(1e-10f, 400, 1.4f);
  auto s = solvertest::random_spd(20, 40, 1.0, 5);
  util::vec1<double> x(20), b(20);
  x.fill(3.0);
  const std::string out = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, b, x); });
  EXPECT_EQ(out, " 0  iterations,   convergence criterion= 0\n");
  for (int i = 1; i <= 20; ++i) EXPECT_EQ(x(i), 0.0);

  // An empty system is the same case.
  sparse_hashm E;
  zero_sparse_hashm(E, 0);
  util::vec1<double> none;
  EXPECT_EQ(captured([&] { pcg::solve_sparse_hashm_pcg(E, none, none); }),
            " 0  iterations,   convergence criterion= 0\n");
}

TEST(Pcg, ZeroDiagonalAndZeroCurvatureStopWithTheSolutionReached) {
  SolverSettingsGuard guard;
  default_iter(1e-10f, 400, 1.4f);
  // diag(0, 2): equation 1 gets no preconditioner entry.  Iteration 1 solves
  // equation 2 and leaves r = (1, 0); then z = 0, p = 0 and p'Ap = 0.
  sparse_hashm A;
  zero_sparse_hashm(A, 2);
  add_sparse_hashm(2, 2, 2, A);
  util::vec1<double> x(2);
  std::string out = captured([&] { pcg::solve_sparse_hashm_pcg(A, vec({1, 2}), x); });
  EXPECT_EQ(out, " round  1    convergence= 0.2\n 1  iterations,   convergence criterion= 0.2\n");
  EXPECT_EQ(x(1), 0.0);
  EXPECT_EQ(x(2), 1.0);

  // All of b on the zero-diagonal equation: no step at all; x = 0, r = b.
  out = captured([&] { pcg::solve_sparse_hashm_pcg(A, vec({1, 0}), x); });
  EXPECT_EQ(out, " 0  iterations,   convergence criterion= 1\n");
  EXPECT_EQ(x(1), 0.0);
  EXPECT_EQ(x(2), 0.0);

  // A singular, inconsistent system: the second direction lies in the null
  // space of A.
  zero_sparse_hashm(A, 2);
  add_sparse_hashm(1, 1, 1, A);
  add_sparse_hashm(1, 1, 2, A);
  add_sparse_hashm(1, 2, 2, A);
  out = captured([&] { pcg::solve_sparse_hashm_pcg(A, vec({1, 0}), x); });
  EXPECT_EQ(out, " round  1    convergence= 1\n 1  iterations,   convergence criterion= 1\n");
  EXPECT_EQ(x(1), 1.0);
  EXPECT_EQ(x(2), 0.0);
}

TEST(Pcg, CriterionThatIsNotANumberNeverStops) {
  SolverSettingsGuard guard;
  default_iter(1e-10f, 3);
  sparse_hashm A;
  zero_sparse_hashm(A, 2);
  add_sparse_hashm(2, 1, 1, A);
  add_sparse_hashm(2, 2, 2, A);
  util::vec1<double> x(2);
  const std::string out = captured(
      [&] { pcg::solve_sparse_hashm_pcg(A, vec({std::numeric_limits<double>::quiet_NaN(), 1}), x); });
  EXPECT_EQ(count_lines(out), 4);
  EXPECT_EQ(last_line(out), " 3  iterations,   convergence criterion= NaN");
}

TEST(Pcg, BlockPreconditionerPatternAndBlockSizeOne) {
  // Blocks 1-4, 5-8 and 9-10 of an order-10 matrix: 10 + 10 + 3 entries,
  // every element of each block's upper triangle, nothing outside.
  auto s = solvertest::random_spd(10, 30, 1.0, 7);
  const sparse_ija M = pcg::block_diagonal_ija(s.A, 4);
  EXPECT_EQ(M.n, 10);
  EXPECT_EQ(M.nel, 23);
  auto block_of = [](int i) { return (i - 1) / 4; };
  for (int i = 1; i <= 10; ++i) {
    EXPECT_EQ(M.ja(M.ia(i)), i);
    int count = 0;
    for (int k = M.ia(i); k < M.ia(i + 1); ++k) {
      const int j = M.ja(k);
      EXPECT_EQ(block_of(j), block_of(i));
      EXPECT_GE(j, i);
      EXPECT_EQ(M.a(k), get_sparse_hashm(i, j, s.A));
      ++count;
    }
    EXPECT_EQ(count, std::min(10, 4 * block_of(i) + 4) - i + 1);
  }
  densem D;
  convert_hash_densem(D, s.A);
  const sparse_ija MD = pcg::block_diagonal_ija(D, 4);
  EXPECT_EQ(MD.nel, 23);
  for (int k = 1; k <= 23; ++k) EXPECT_EQ(MD.a(k), M.a(k));

  // A block size of 1 is the diagonal preconditioner.
  SolverSettingsGuard guard;
  util::vec1<double> x1(10), x2(10);
  const std::string o1 = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, x1); });
  const std::string o2 = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, x2, 1); });
  EXPECT_EQ(o1, o2);
  for (int i = 1; i <= 10; ++i) EXPECT_EQ(x1(i), x2(i));

  EXPECT_EQ(stop_message([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, x1, 0); }),
            " solve_sparse_hashm_pcg: block size must be at least 1, not 0");
}

TEST(Pcg, UnreadyMatrixAndShortVectorsStop) {
  auto s = solvertest::random_spd(5, 10, 1.0, 9);
  util::vec1<double> x(5), shortv(4);
  EXPECT_EQ(stop_message([&] { pcg::solve_sparse_hashm_pcg(s.A, shortv, x); }),
            " solve_sparse_hashm_pcg: vector of length 4 shorter than the matrix order 5");
  EXPECT_EQ(stop_message([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, shortv); }),
            " solve_sparse_hashm_pcg: vector of length 4 shorter than the matrix order 5");
  s.A.status = 2;
  EXPECT_EQ(stop_message([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, x); }),
            " Structure sparse_hashm not ready; probably sorted");
}
