#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dense/denseop.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/gibbs.hpp"

namespace {

using sparsem::sparse_hashm;
using sparsem::sparse_ija;

// Random symmetric positive definite matrix of order n with some zeros.
util::mat1<double> random_spd(int n, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_real_distribution<double> u(-1, 1);
  util::mat1<double> b(n, n), c(n, n);
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) b(i, j) = (gen() % 3 == 0) ? u(gen) : 0.0;
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= n; ++j) {
      double s = (i == j) ? n * 0.5 : 0.0;
      for (int k = 1; k <= n; ++k) s += b(i, k) * b(j, k);
      c(i, j) = s;
    }
  return c;
}

void fill_hash(sparse_hashm& A, const util::mat1<double>& c) {
  sparsem::zero_sparse_hashm(A, static_cast<int>(c.rows()));
  for (int i = 1; i <= c.rows(); ++i)
    for (int j = i; j <= c.rows(); ++j)
      if (c(i, j) != 0.0) sparsem::add_sparse_hashm(c(i, j), i, j, A);
}

struct ZeroNormals {
  ZeroNormals() { rangen::set_normal_hook([] { return 0.0f; }); }
  ~ZeroNormals() { rangen::clear_hooks(); }
};

// With every normal deviate 0 the block pass is block Gauss-Seidel, so
// repeated passes converge to the solution of C s = r.
TEST(BlockGibbs, ZeroDeviatesGiveBlockGaussSeidel) {
  ZeroNormals zero;
  for (int ntrait : {1, 2, 3}) {
    const int neq = 12 * ntrait;
    util::mat1<double> c = random_spd(neq, 7u + ntrait);
    util::vec1<double> r(neq);
    for (int i = 1; i <= neq; ++i) r(i) = std::sin(i);
    sparse_hashm A;
    sparse_ija B;
    sampler::HashLink link;
    fill_hash(A, c);
    util::vec1<double> sol(neq), xy(neq);
    denseop::mat20 block(ntrait), v(ntrait);
    for (int pass = 0; pass < 300; ++pass) {
      xy = r;
      sampler::link_hash_ija(A, B, link);
      for (int f = 1; f <= neq; f += ntrait) {
        const int l = f + ntrait - 1;
        sampler::solve_iterm_block(B, xy, sol, f, l, block.data(), block.ld,
                                   sampler::BlockMode::solve);
        denseop::finvcs8(block.data(), ntrait, block.ld, v.data(), v.ld);
        prob::gen_normal_multi(&sol(f), v.data(), ntrait, v.ld, &sol(f));
        sampler::solve_iterm_block(B, xy, sol, f, l, block.data(), block.ld,
                                   sampler::BlockMode::update);
      }
    }
    util::vec1<double> x(neq);
    for (int i = 1; i <= neq; ++i) x(i) = r(i);
    util::mat1<double> cc = c;
    denseop::solvs8(cc.data(), neq, neq, x.data());
    for (int i = 1; i <= neq; ++i) EXPECT_NEAR(sol(i), x(i), 1e-9) << ntrait << " " << i;
  }
}

TEST(BlockGibbs, LinkKeepsDiagonalKeysAndReportsNewKeys) {
  sparse_hashm A;
  sparse_ija B;
  sampler::HashLink link;
  sparsem::zero_sparse_hashm(A, 3);
  sparsem::add_sparse_hashm(2.0, 1, 1, A);
  sparsem::add_sparse_hashm(1.0, 1, 3, A);  // row 2 and 3 have no diagonal
  testing::internal::CaptureStdout();
  sampler::link_hash_ija(A, B, link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(A.filled, 4);  // diagonals of rows 2 and 3 are keys now (row 3 via ija)
  EXPECT_EQ(B.ia(2) - B.ia(1), 2);
  EXPECT_EQ(B.ja(B.ia(2)), 2);
  EXPECT_EQ(B.ja(B.ia(3)), 3);

  // Values refreshed through the map without new keys.
  sparsem::zero_values_sparse_hashm(A);
  sparsem::add_sparse_hashm(5.0, 1, 3, A);
  testing::internal::CaptureStdout();
  sampler::link_hash_ija(A, B, link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(sparsem::get_sparse_ija(1, 3, B), 5.0);
  EXPECT_EQ(sparsem::get_sparse_ija(1, 1, B), 0.0);

  // A new key rebuilds the map once, with the message.
  sparsem::add_sparse_hashm(7.0, 2, 3, A);
  testing::internal::CaptureStdout();
  sampler::link_hash_ija(A, B, link);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), " link_hash_ija: reinitialized\n");
  EXPECT_EQ(sparsem::get_sparse_ija(2, 3, B), 7.0);
  EXPECT_EQ(sparsem::get_sparse_ija(1, 3, B), 5.0);
}

// The rebuilt table is the one a plain conversion makes, and each element's
// slot holds its key, also when the table grows while it is rebuilt.
TEST(BlockGibbs, LinkSlotsMatchTheRebuiltTable) {
  const int n = 60;
  int offdiag = 0;
  for (int i = 1; i <= n; ++i)
    for (int j = i + 1; j <= n; j += 7) ++offdiag;
  // Just large enough for the off-diagonal keys, then ample.
  for (int size : {offdiag * 10 / 9 + 2, 4001}) {
    sparse_hashm A;
    sparse_ija B;
    sampler::HashLink link;
    sparsem::zero_sparse_hashm(A, n, size);
    // Rows without diagonals, so the rebuild adds keys.
    for (int i = 1; i <= n; ++i)
      for (int j = i + 1; j <= n; j += 7) sparsem::add_sparse_hashm(i + 0.5 * j, i, j, A);
    ASSERT_EQ(A.nel, size);
    testing::internal::CaptureStdout();
    sampler::link_hash_ija(A, B, link);
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(said.find("increased") != std::string::npos, size < 4001) << said;
    sparse_hashm ref;
    sparsem::zero_sparse_hashm(ref, n, size);
    testing::internal::CaptureStdout();
    sparsem::convert_ija_hash(ref, B);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(A.nel, ref.nel) << size;
    for (int k = 1; k <= A.nel; ++k) {
      EXPECT_EQ(A.x(k).row, ref.x(k).row) << size << " " << k;
      EXPECT_EQ(A.x(k).col, ref.x(k).col) << size << " " << k;
    }
    ASSERT_EQ(static_cast<int>(link.linkhi.size()), B.nel);
    for (int i = 1; i <= n; ++i)
      for (int k = B.ia(i); k < B.ia(i + 1); ++k) {
        const sparsem::hash_slot& t = A.x(link.linkhi[k - 1]);
        EXPECT_EQ(t.row, i) << size << " " << k;
        EXPECT_EQ(t.col, B.ja(k)) << size << " " << k;
      }
  }
}

TEST(BlockGibbs, SingleTraitBlockAndModes) {
  sparse_hashm A;
  sparse_ija B;
  sampler::HashLink link;
  sparsem::zero_sparse_hashm(A, 3);
  sparsem::add_sparse_hashm(4.0, 1, 1, A);
  sparsem::add_sparse_hashm(1.0, 1, 2, A);
  sparsem::add_sparse_hashm(0.0, 2, 2, A);  // zero diagonal: mean 0, variance 0
  sparsem::add_sparse_hashm(2.0, 3, 3, A);
  sampler::link_hash_ija(A, B, link);
  util::vec1<double> rhs(3), sol(3);
  rhs(1) = 8;
  rhs(2) = 3;
  rhs(3) = 1;
  sol(2) = 2;
  util::mat1<double> block(1, 1);
  sampler::solve_iterm_block(B, rhs, sol, 1, 1, block, "solve  ");
  EXPECT_DOUBLE_EQ(rhs(1), 6.0);  // 8 - 1*2
  EXPECT_DOUBLE_EQ(sol(1), 1.5);
  EXPECT_DOUBLE_EQ(block(1, 1), 4.0);
  sampler::solve_iterm_block(B, rhs, sol, 1, 1, block, "update");
  EXPECT_DOUBLE_EQ(rhs(2), 1.5);  // 3 - 1.5*1
  EXPECT_DOUBLE_EQ(rhs(3), 1.0);
  sampler::solve_iterm_block(B, rhs, sol, 2, 2, block, "solve");
  EXPECT_EQ(sol(2), 0.0);
  sampler::solve_iterm_block(B, rhs, sol, 2, 2, block, "other");  // does nothing
  sampler::solve_iterm_block(B, rhs, sol, 3, 2, block, "update");  // last < first
  EXPECT_DOUBLE_EQ(rhs(3), 1.0);
}

}  // namespace
