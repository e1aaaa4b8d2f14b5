// The block pass takes its normals from a batch drawn ahead.  Where it
// stops at a block that is not a number, early or late, in the first chunk
// of normals or past a chunk's end, the random stream must stand where the
// blocks drawn one after another leave it; and the next draw outside the
// pass must be the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "dense/denseop.hpp"
#include "random/rangen.hpp"
#include "rows_support.hpp"
#include "sampler/block_pass.hpp"

namespace {

using rowstest::Entry;

// Blocks of nt equations on a band: each row couples to its own block and
// to the next two equations.
sparsem::sparse_ija band_system(int neq, int nt) {
  std::vector<std::vector<Entry>> rows(static_cast<std::size_t>(neq));
  for (int i = 1; i <= neq; ++i) {
    auto& row = rows[static_cast<std::size_t>(i - 1)];
    row.push_back({i, 4.0 + 0.01 * (i % 7)});
    const int block_end = ((i - 1) / nt + 1) * nt;
    for (int j = i + 1; j <= std::min(neq, std::max(block_end, i + 2)); ++j)
      row.push_back({j, 0.3 / (1 + j - i)});
  }
  return rowstest::rows_of(rows);
}

struct After {
  util::vec1<double> sol;
  int verdict = 0;
  rangen::i32 seed1 = 0, seed2 = 0;
  std::uint64_t uniforms = 0;
  float next = 0.0f;  // the first normal after the pass
};

After run(const sparsem::sparse_ija& A, int neq, int nt, bool whole_pass) {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setcgn(1);
  rangen::setall(97531, 8642);
  util::vec1<double> rhs(neq);
  After a;
  a.sol = util::vec1<double>(neq);
  for (int i = 1; i <= neq; ++i) rhs(i) = std::sin(0.1 * i);
  const std::uint64_t before = rangen::uniform_draws();
  if (whole_pass) {
    a.verdict = sampler::draw_block_pass(A, rhs, a.sol, neq, nt);
  } else {
    for (int f = 1; f <= neq && a.verdict == 0; f += nt)
      if (!sampler::draw_block(A, rhs, a.sol, f, nt)) a.verdict = f;
  }
  a.uniforms = rangen::uniform_draws() - before;
  rangen::getsd(a.seed1, a.seed2);
  a.next = rangen::snorm();
  return a;
}

TEST(BlockPassStream, StopsWithTheStreamWhereBlockByBlockLeavesIt) {
  struct TolGuard {
    TolGuard() { denseop::denseop_tol = 1e-9; }
    ~TolGuard() { denseop::denseop_tol = 1e-10; }
  } tol;
  constexpr double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    int nt, neq, bad;  // bad: first equation of the block that is not a number, 0 none
  };
  const std::vector<Case> cases = {
      {1, 700, 0},   {1, 700, 1},   {1, 700, 255}, {1, 700, 256}, {1, 700, 257},
      {1, 700, 513}, {1, 700, 700}, {2, 700, 0},   {2, 700, 255}, {2, 700, 257},
      {2, 700, 699}, {3, 600, 256}, {4, 600, 0},   {4, 600, 513},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("nt " + std::to_string(c.nt) + ", bad " + std::to_string(c.bad));
    sparsem::sparse_ija A = band_system(c.neq, c.nt);
    if (c.bad > 0) A.a(A.ia(c.bad)) = nan;
    const After want = run(A, c.neq, c.nt, false);
    const After got = run(A, c.neq, c.nt, true);
    EXPECT_EQ(want.verdict, c.bad);
    EXPECT_EQ(got.verdict, want.verdict);
    EXPECT_EQ(got.seed1, want.seed1);
    EXPECT_EQ(got.seed2, want.seed2);
    EXPECT_EQ(got.uniforms, want.uniforms);
    EXPECT_EQ(got.next, want.next);
    for (int i = 1; i <= c.neq; ++i) {
      if (std::isnan(want.sol(i)) && std::isnan(got.sol(i))) continue;
      ASSERT_EQ(0, std::memcmp(&want.sol(i), &got.sol(i), sizeof(double))) << "equation " << i;
    }
  }
}

}  // namespace
