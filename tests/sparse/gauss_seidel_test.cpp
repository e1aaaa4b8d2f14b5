#include <gtest/gtest.h>

#include <string>

#include "sparse/gauss_seidel.hpp"
#include "solver_support.hpp"
#include "support.hpp"

using namespace sparsem;
using solvertest::SolverSettingsGuard;
using solvertest::vec;
using sparsetest::captured;
using sparsetest::stop_message;

namespace {

dense_symm packed_of(const util::mat1<double>& full) {
  dense_symm P;
  const int n = static_cast<int>(full.rows());
  zero_dense_symm(P, n);
  for (int i = 1; i <= n; ++i)
    for (int j = i; j <= n; ++j) set_dense_symm(full(i, j), i, j, P);
  return P;
}

}  // namespace

TEST(GaussSeidel, EveryFormSolvesRandomSystems) {
  SolverSettingsGuard guard;
  default_iter(1e-26f, 5000);
  sparsem_msg = 0;
  for (float relax : {1.0f, 1.4f}) {
    default_relax = relax;
    for (unsigned seed : {21u, 22u}) {
      const int n = 120;
      auto s = solvertest::random_spd(n, 2 * n, 0.5, seed);
      const auto ref = denseop::fgesv8(s.full, s.b);

      sparse_ija B;
      convert_hash_ija(B, s.A);
      densem D;
      convert_hash_densem(D, s.A);
      const dense_symm P = packed_of(s.full);

      util::vec1<double> x(n);
      x.fill(7.0);  // ignored: the generic solvers start from zero
      solve_sparse_ija(B, s.b, x);
      EXPECT_LT(solvertest::rel_error(x, ref), 1e-9) << "ija " << relax;
      const util::vec1<double> x_ija = x;

      x.fill(7.0);
      solve_dense_symm_iter(P, s.b, x);
      EXPECT_LT(solvertest::rel_error(x, ref), 1e-9) << "packed " << relax;
      x.fill(7.0);
      solve_dense_iter(D, s.b, x);
      EXPECT_LT(solvertest::rel_error(x, ref), 1e-9) << "dense " << relax;

      x.fill(7.0);
      captured([&] { solve_sparse_hashm(s.A, s.b, x); });
      EXPECT_LT(solvertest::rel_error(x, ref), 1e-9) << "hash " << relax;
      EXPECT_LT(solvertest::rel_error(x, x_ija), 1e-12);
      // The table is now a sorted list of its triples.
      EXPECT_EQ(s.A.status, 2);
      for (int k = 2; k <= s.A.filled; ++k) {
        const hash_slot &a = s.A.x(k - 1), &b = s.A.x(k);
        ASSERT_TRUE(a.row < b.row || (a.row == b.row && a.col < b.col)) << k;
      }
      EXPECT_EQ(stop_message([&] { add_sparse_hashm(1, 1, 1, s.A); }),
                " Structure sparse_hashm not ready; probably destroyed by solving");
      EXPECT_EQ(stop_message([&] { get_sparse_hashm(1, 1, s.A); }),
                " Structure sparse_hashm not ready; probably sorted");

      // Solving again uses the sorted list as it stands.
      util::vec1<double> y(n);
      captured([&] { solve_sparse_hashm(s.A, s.b, y); });
      for (int i = 1; i <= n; ++i) ASSERT_EQ(y(i), x(i));
    }
  }
}

TEST(GaussSeidel, LinesSummaryAndTheLimitItself) {
  SolverSettingsGuard guard;
  // One equation 1 * x = 2 from x = 1: the first sweep gives change 1 and
  // size 4, a criterion of exactly 0.25; the second changes nothing.
  sparse_hashm A;
  zero_sparse_hashm(A, 1);
  add_sparse_hashm(1, 1, 1, A);
  default_iter(0.25f, 1000, 1.0f, false);
  util::vec1<double> x = vec({1});
  std::string out = captured([&] { solve_sparse_hashm(A, vec({2}), x); });
  EXPECT_EQ(out,
            " round      1  convergence=  0.2500    \n"
            " solutions computed in  2  rounds of iteration\n"
            " reached convergence criterion  0\n");
  EXPECT_EQ(x(1), 2.0);

  // A limit just above: the first sweep stops, and no round line is printed.
  default_conv = 0.26f;
  x(1) = 1;
  out = captured([&] { solve_sparse_hashm(A, vec({2}), x); });
  EXPECT_EQ(out, " solutions computed in  1  rounds of iteration\n reached convergence criterion  0.25\n");

  // Other solvers print no round lines; message level 1 silences the summary.
  x(1) = 1;
  sparse_ija B;
  zero_sparse_hashm(A, 1);
  add_sparse_hashm(1, 1, 1, A);
  convert_hash_ija(B, A);
  default_conv = 0.25f;
  out = captured([&] { solve_sparse_ija(B, vec({2}), x); });
  EXPECT_EQ(out, " solutions computed in  2  rounds of iteration\n reached convergence criterion  0\n");
  sparsem_msg = 1;
  x(1) = 1;
  EXPECT_EQ(captured([&] { solve_sparse_ija(B, vec({2}), x); }), "");
}

TEST(GaussSeidel, ZeroRightHandSideRunsEveryRound) {
  SolverSettingsGuard guard;
  default_iter(1e-10f, 7);
  auto s = solvertest::random_spd(6, 10, 1.0, 23);
  util::vec1<double> x(6), b(6);
  x.fill(5.0);
  const std::string out = captured([&] { solve_sparse_hashm(s.A, b, x); });
  std::string lines;
  for (int k = 1; k <= 6; ++k) lines += " round " + std::string(5, ' ') + char('0' + k) + "  convergence=         NaN\n";
  EXPECT_EQ(out, lines + " solutions computed in  7  rounds of iteration\n reached convergence criterion  NaN\n");
  for (int i = 1; i <= 6; ++i) EXPECT_EQ(x(i), 0.0);
}

TEST(GaussSeidel, RowWithZeroDiagonalIsNeverUpdatedNorPassedOn) {
  // (2 . .; . 0 5; . 5 4), b = (2, 7, 8), x = (0, 3, 0).  Row 2 keeps x(2) = 3.
  // The sparse forms never pass its element (2,3) on, so x(3) = 8/4; the
  // dense forms read (3,2) in row 3's own sum, so x(3) = (8 - 15)/4.
  SolverSettingsGuard guard;
  default_iter(1e-10f, 100, 1.0f, false);
  sparsem_msg = 0;
  sparse_hashm A;
  zero_sparse_hashm(A, 3);
  add_sparse_hashm(2, 1, 1, A);
  add_sparse_hashm(5, 2, 3, A);
  add_sparse_hashm(4, 3, 3, A);
  const auto b = vec({2, 7, 8});
  sparse_ija B;
  convert_hash_ija(B, A);
  densem D;
  convert_hash_densem(D, A);
  dense_symm P = packed_of(D.x);

  util::vec1<double> x = vec({0, 3, 0});
  solve_sparse_ija(B, b, x);
  EXPECT_EQ(x(1), 1.0);
  EXPECT_EQ(x(2), 3.0);
  EXPECT_EQ(x(3), 2.0);
  x = vec({0, 3, 0});
  captured([&] { solve_sparse_hashm(A, b, x); });
  EXPECT_EQ(x(2), 3.0);
  EXPECT_EQ(x(3), 2.0);
  x = vec({0, 3, 0});
  solve_dense_iter(D, b, x);
  EXPECT_EQ(x(2), 3.0);
  EXPECT_EQ(x(3), -1.75);
  x = vec({0, 3, 0});
  solve_dense_symm_iter(P, b, x);
  EXPECT_EQ(x(2), 3.0);
  EXPECT_EQ(x(3), -1.75);
}

TEST(GaussSeidel, CoreHashSolverOnUnsortedInputAndBadArguments) {
  SolverSettingsGuard guard;
  default_iter(1e-10f, 2);
  // A matrix without a table is reported and still iterated.
  sparse_hashm A;
  const std::string out = captured([&] {
    util::vec1<double> none;
    solve_sparse_hashm(A, none, none);
  });
  EXPECT_EQ(out.substr(0, 30), " Unknown status of hash matrix");

  // Triples out of row order leave ranges empty rather than reading outside.
  util::vec1<hash_slot> t(3);
  t(1) = {4, 4, 1.0};
  t(2) = {1, 1, 2.0};
  t(3) = {1, 4, 0.5};
  util::vec1<double> x(4);
  captured([&] { solve_sparse_hashm_gs(4, t, vec({1, 1, 1, 1}), x, 3); });
  EXPECT_EQ(stop_message([&] { solve_sparse_hashm_gs(3, t, vec({1, 1, 1}), x, 3); }),
            " solve_sparse_hashm_gs: element 4 4 outside a matrix of order 3");
  EXPECT_EQ(stop_message([&] { solve_sparse_hashm_gs(4, t, vec({1, 1, 1, 1}), x, 4); }),
            " solve_sparse_hashm_gs: 4 triples asked of a table of 3");
  EXPECT_EQ(stop_message([&] { solve_dense_gs(5, util::mat1<double>(4, 4), vec({1, 1, 1, 1, 1}), x); }),
            " solve_dense_gs: vector of length 4 shorter than the matrix order 5");
}
