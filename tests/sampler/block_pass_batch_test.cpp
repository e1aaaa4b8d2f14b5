// The passes of orders 1 and 2 take their normals from a batch drawn ahead.
// Blocks that report a negative pivot print while the batch is armed, and a
// batch is drawn in chunks: wherever such blocks lie (first, at a chunk's
// edge, last), the pass must print, draw and leave the stream as the general
// calls do block by block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "random/rangen.hpp"
#include "rows_support.hpp"
#include "sampler/block_pass.hpp"
#include "stop_capture.hpp"

namespace {

using rowstest::Entry;

// Blocks of nt equations coupled to their own block and the next three
// equations; the blocks named in bad get coefficients with a negative pivot
// (order 1: a negative diagonal; otherwise an off-diagonal twice the
// diagonal).
sparsem::sparse_ija system_with(int neq, int nt, const std::vector<int>& bad) {
  std::vector<std::vector<Entry>> rows(static_cast<std::size_t>(neq));
  for (int i = 1; i <= neq; ++i) {
    const int block = (i - 1) / nt;
    const int block_end = (block + 1) * nt;
    bool odd = false;
    for (int b : bad) odd = odd || b == block;
    auto& row = rows[static_cast<std::size_t>(i - 1)];
    row.push_back({i, odd && nt == 1 ? -2.0 : odd ? 1.0 : 4.0 + 0.01 * (i % 5)});
    for (int j = i + 1; j <= std::min(neq, std::max(block_end, i + 3)); ++j)
      row.push_back({j, j <= block_end && odd ? 2.0 : 0.3 / (1 + j - i)});
  }
  return rowstest::rows_of(rows);
}

struct Left {
  util::vec1<double> sol, rhs;
  std::string out;
  int verdict = 0;
  rangen::i32 seed1 = 0, seed2 = 0;
  std::uint64_t uniforms = 0;
};

Left run(const sparsem::sparse_ija& A, int neq, int nt, bool whole_pass) {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setcgn(1);
  rangen::setall(24680, 13579);
  Left l;
  l.sol = util::vec1<double>(neq);
  l.rhs = util::vec1<double>(neq);
  for (int i = 1; i <= neq; ++i) {
    l.rhs(i) = std::cos(0.2 * i);
    l.sol(i) = 0.1 * std::sin(0.5 * i);
  }
  const std::uint64_t before = rangen::uniform_draws();
  l.out = testsupport::captured([&] {
    if (whole_pass) {
      l.verdict = sampler::draw_block_pass(A, l.rhs, l.sol, neq, nt);
    } else {
      for (int f = 1; f <= neq && l.verdict == 0; f += nt)
        if (!sampler::draw_block_general(A, l.rhs, l.sol, f, nt)) l.verdict = f;
    }
  });
  l.uniforms = rangen::uniform_draws() - before;
  rangen::getsd(l.seed1, l.seed2);
  return l;
}

bool same_bits(const util::vec1<double>& a, const util::vec1<double>& b) {
  for (long i = a.lo(); i <= a.hi(); ++i) {
    if (std::isnan(a(i)) && std::isnan(b(i))) continue;
    if (std::memcmp(&a(i), &b(i), sizeof(double)) != 0) return false;
  }
  return true;
}

TEST(BlockPassBatch, NegativePivotsAnywhereInThePassAsTheGeneralCalls) {
  struct TolGuard {
    TolGuard() { denseop::denseop_tol = 1e-9; }
    ~TolGuard() { denseop::denseop_tol = 1e-10; }
  } tol;
  struct Case {
    int nt, blocks;
    std::vector<int> bad;  // blocks from 0
  };
  // A chunk of the batch holds 256 normals: blocks 127/128 of order 2 and
  // 255/256 of order 1 sit at its edge.
  const std::vector<Case> cases = {
      {1, 600, {0}},       {1, 600, {255, 256}}, {1, 600, {599}},
      {2, 300, {0}},       {2, 300, {127, 128}}, {2, 300, {299}},
      {2, 300, {5, 6, 7}}, {3, 120, {0, 85}},    {4, 90, {64, 89}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("order " + std::to_string(c.nt) + ", first bad block " + std::to_string(c.bad[0]));
    const int neq = c.nt * c.blocks;
    const sparsem::sparse_ija A = system_with(neq, c.nt, c.bad);
    const Left want = run(A, neq, c.nt, false);
    const Left got = run(A, neq, c.nt, true);
    EXPECT_NE(want.out.find("not semipositive-definite"), std::string::npos);
    EXPECT_EQ(got.out, want.out);
    EXPECT_EQ(got.verdict, want.verdict);
    EXPECT_EQ(got.uniforms, want.uniforms);
    EXPECT_EQ(got.seed1, want.seed1);
    EXPECT_EQ(got.seed2, want.seed2);
    EXPECT_TRUE(same_bits(got.sol, want.sol));
    EXPECT_TRUE(same_bits(got.rhs, want.rhs));
  }
}

}  // namespace
