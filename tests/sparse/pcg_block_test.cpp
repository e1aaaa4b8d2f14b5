// The block preconditioner of the conjugate-gradient solver, whose blocks
// the sparse factorisation package inverts: solutions against the diagonal
// preconditioner and a dense solve.  Runs in a scratch folder, since the
// package writes its ordering file to the working directory.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "dense/denseop.hpp"
#include "solver_support.hpp"
#include "sparse/pcg.hpp"
#include "sparse/sparseop.hpp"
#include "support.hpp"
#include "zanto/zanto90.hpp"

using namespace sparsem;
using solvertest::SolverSettingsGuard;
using sparsetest::captured;

namespace {

class BlockPcg : public testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(testing::TempDir()) / (std::string("pcg_") + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override { std::filesystem::current_path(old_); }

 private:
  std::filesystem::path old_, dir_;
};

std::string last_line(const std::string& s) {
  const std::size_t end = s.find_last_not_of('\n');
  const std::size_t start = s.rfind('\n', end);
  return s.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
}

int iterations(const std::string& out) { return std::stoi(last_line(out)); }

}  // namespace

TEST_F(BlockPcg, BlockSizesAgainstDiagonalAndDenseSolve) {
  SolverSettingsGuard guard;
  default_iter(1e-24f, 2000);
  for (unsigned seed : {7u, 8u, 9u}) {
    auto s = solvertest::random_spd(10, 30, 1.0, seed);
    const util::vec1<double> ref = denseop::fsolvs8(s.full, s.b);
    util::vec1<double> xd(10);
    const std::string od = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, xd); });
    EXPECT_LT(solvertest::rel_error(xd, ref), 1e-9) << seed;
    // A block size of 1 is the diagonal preconditioner: the package stays idle.
    EXPECT_FALSE(std::filesystem::exists("zanto90.ord"));

    for (int m : {2, 3, 4, 10, 15}) {
      util::vec1<double> xb(10);
      const std::string ob = captured([&] { pcg::solve_sparse_hashm_pcg(s.A, s.b, xb, m); });
      EXPECT_LT(solvertest::rel_error(xb, ref), 1e-9) << seed << " block " << m;
      EXPECT_TRUE(std::filesystem::exists("zanto90.ord"));
      // One block holding the whole matrix is the exact inverse: the first
      // step lands on the solution up to rounding.
      if (m >= 10) {
        EXPECT_LE(iterations(ob), 2) << seed;
      }
      EXPECT_LE(iterations(ob), iterations(od) + 2) << seed << " block " << m;
      // The package's storage is released after every call.
      EXPECT_EQ(zanto::interface_state().status, -1);
      EXPECT_EQ(zanto::interface_state().memory, 100);
      EXPECT_TRUE(zanto::interface_state().work.empty());
    }

    // The twin on a full array.
    densem D;
    convert_hash_densem(D, s.A);
    util::vec1<double> xf(10);
    captured([&] { pcg::solve_densem_pcg(D, s.b, xf, 4); });
    EXPECT_LT(solvertest::rel_error(xf, ref), 1e-9) << seed;
    std::filesystem::remove("zanto90.ord");
  }
}

TEST_F(BlockPcg, SingularBlockUsesTheKeptPart) {
  // An equation with nothing in it: its block is singular, the package
  // drops that pivot and the solver still solves the rest.
  SolverSettingsGuard guard;
  default_iter(1e-10f, 400, 1.4f);
  sparse_hashm A;
  zero_sparse_hashm(A, 6);
  const double v[6] = {4, 5, 0, 3, 6, 2};
  for (int i = 1; i <= 6; ++i)
    if (v[i - 1] != 0) add_sparse_hashm(v[i - 1], i, i, A);
  add_sparse_hashm(1, 1, 2, A);
  add_sparse_hashm(-1, 2, 4, A);
  add_sparse_hashm(0.5, 5, 6, A);
  util::vec1<double> b(6), x(6);
  for (int i = 1; i <= 6; ++i) b(i) = i == 3 ? 0.0 : i;
  captured([&] { pcg::solve_sparse_hashm_pcg(A, b, x, 3); });
  util::vec1<double> r = mult_hashm_vec(A, x);
  for (int i = 1; i <= 6; ++i) EXPECT_NEAR(r(i), b(i), 1e-6) << i;
  EXPECT_EQ(x(3), 0.0);
}
