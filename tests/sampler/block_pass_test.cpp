// The fused block draw of orders 1 to 4 must leave exactly what the general
// calls leave: solutions, right-hand sides, messages, the verdict on a draw
// that is not a number, and the position of the random stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "random/rangen.hpp"
#include "sampler/block_pass.hpp"
#include "rows_support.hpp"
#include "stop_capture.hpp"

namespace {

using sparsem::sparse_ija;

using rowstest::Entry;
using rowstest::rows_of;

// Bit for bit, except that any two NaNs match: the sign and payload of a NaN
// follow the order of the operands of a commutative operation, which the
// compiler may swap; a draw that is not a number stops the run anyway.
bool same_bits(const util::vec1<double>& a, const util::vec1<double>& b) {
  if (a.size() != b.size()) return false;
  for (long i = a.lo(); i <= a.hi(); ++i) {
    if (std::isnan(a(i)) && std::isnan(b(i))) continue;
    if (std::memcmp(&a(i), &b(i), sizeof(double)) != 0) return false;
  }
  return true;
}

std::string show(const util::vec1<double>& v) {
  std::string s;
  for (long i = v.lo(); i <= v.hi(); ++i) s += std::to_string(v(i)) + " ";
  return s;
}

// What one side leaves behind.
struct Outcome {
  util::vec1<double> rhs, sol;
  std::string out;
  int verdict = 0;
  rangen::i32 seed1 = 0, seed2 = 0;
  std::uint64_t uniforms = 0;
};

template <class F>
Outcome run_side(const util::vec1<double>& rhs, const util::vec1<double>& sol, F&& draw) {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setcgn(1);
  rangen::setall(1357911, 24681012);
  Outcome o;
  o.rhs = rhs;
  o.sol = sol;
  const std::uint64_t before = rangen::uniform_draws();
  o.out = testsupport::captured([&] { o.verdict = draw(o.rhs, o.sol); });
  o.uniforms = rangen::uniform_draws() - before;
  rangen::getsd(o.seed1, o.seed2);
  return o;
}

void expect_same(const Outcome& general, const Outcome& fused) {
  EXPECT_TRUE(same_bits(general.sol, fused.sol)) << show(general.sol) << "| " << show(fused.sol);
  EXPECT_TRUE(same_bits(general.rhs, fused.rhs)) << show(general.rhs) << "| " << show(fused.rhs);
  EXPECT_EQ(general.out, fused.out);
  EXPECT_EQ(general.verdict, fused.verdict);
  EXPECT_EQ(general.uniforms, fused.uniforms);
  EXPECT_EQ(general.seed1, fused.seed1);
  EXPECT_EQ(general.seed2, fused.seed2);
}

struct TolGuard {
  TolGuard() { denseop::denseop_tol = 1e-9; }
  ~TolGuard() { denseop::denseop_tol = 1e-10; }
};

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct BlockCase {
  const char* name;
  int n;
  std::vector<double> lower;  // the block's lower triangle by rows
  double off = 0.3;           // scale of the coefficients off the block
  double rhs = 1.0;           // scale of the right-hand sides and solutions
  int nan_row = 0;            // a row of the block whose right-hand side is NaN
};

// Three blocks of order n; the middle one is drawn.  Its rows hold the
// diagonal first, the rest of the block out of order, columns of the later
// block, and one column of the earlier block (as a copy with both triangles
// stores it).
sparse_ija middle_block_system(const BlockCase& c) {
  const int n = c.n, first = n + 1, last = 2 * n;
  std::vector<std::vector<Entry>> rows(static_cast<std::size_t>(3 * n));
  for (int i = 1; i <= 3 * n; ++i) rows[static_cast<std::size_t>(i - 1)].push_back({i, 2.0 + i});
  auto lower = [&](int r, int q) {  // (r, q) of the block, r >= q, from 1
    return c.lower[static_cast<std::size_t>(r * (r - 1) / 2 + q - 1)];
  };
  for (int i = first; i <= last; ++i) {
    auto& row = rows[static_cast<std::size_t>(i - 1)];
    const int r = i - n;
    row[0].a = lower(r, r);
    for (int q = n; q > r; --q) row.push_back({n + q, lower(q, r)});
    for (int j = last + 1; j <= 3 * n; ++j) row.push_back({j, c.off * (0.5 - 0.1 * (j - i))});
    row.push_back({1 + (i % n), -0.25 * c.off});
  }
  return rows_of(rows);
}

TEST(FusedBlockDraw, MatchesTheGeneralCallsBitForBit) {
  TolGuard tol;
  const std::vector<BlockCase> cases = {
      {"1 regular", 1, {2.5}},
      {"1 zero", 1, {0.0}},
      {"1 negative", 1, {-3.0}},
      {"1 below the tolerance", 1, {1e-300}},
      {"1 not a number", 1, {nan}},
      {"1 infinite", 1, {inf}},
      {"1 huge", 1, {3e300}, 1e150, 1e150},
      {"1 tiny", 1, {3e-300}, 1e-300, 1e-150},
      {"1 off-block not a number", 1, {2.0}, nan},
      {"2 regular", 2, {4.0, 1.3, 2.7}},
      {"2 singular", 2, {1.0, 1.0, 1.0}},
      {"2 indefinite", 2, {1.0, 2.0, 1.0}},
      {"2 first dropped", 2, {0.0, 0.0, 2.0}},
      {"2 zero", 2, {0.0, 0.0, 0.0}},
      {"2 huge", 2, {4e300, 1e300, 3e300}, 1e200, 1e100},
      {"2 tiny", 2, {4e-300, 1e-300, 3e-300}, 1e-300, 1e-100},
      {"2 not a number", 2, {1.0, nan, 1.0}},
      // Dropped pivots keep a NaN right-hand side out of the other draws:
      // only the last draw of the block is not a number.
      {"2 last draw alone not a number", 2, {0.0, 0.0, 2.0}, 0.3, 1.0, 2},
      {"3 last draw alone not a number", 3, {0.0, 0.0, 0.0, 0.0, 0.0, 2.0}, 0.3, 1.0, 3},
      {"4 last draw alone not a number", 4, {0, 0, 0, 0, 0, 0, 0, 0, 0, 2}, 0.3, 1.0, 4},
      {"3 regular", 3, {3.1, 0.7, 2.2, -0.4, 0.9, 1.8}},
      {"3 dropped middle", 3, {1.0, 1.0, 1.0, 0.5, 0.5, 2.0}},
      {"3 negative last", 3, {1.0, 0.0, 1.0, 0.0, 0.0, -1.0}},
      {"3 nearly singular", 3, {1.0, 1.0, 1.0 + 1e-8, 0.5, 0.5, 2.0}},
      {"4 regular", 4, {5.0, 1.0, 4.0, 0.5, -1.0, 3.0, 0.2, 0.3, 0.1, 2.0}},
      {"4 rank two", 4, {1, 1, 1, 0, 0, 1, 0, 0, 1, 1}},
      {"4 indefinite", 4, {1, 0, 1, 0, 0, 1, 3, 0, 0, 1}},
      {"4 scaled", 4, {5e12, 1e12, 4e12, 5e11, -1e12, 3e12, 2e11, 3e11, 1e11, 2e12}, 1e12, 1e-6},
      {"5 general path", 5, {6, 1, 5, 0.5, 1, 4, 0.2, 0.3, 0.4, 3, 0.1, 0.2, 0.3, 0.4, 2}},
  };
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    const sparse_ija A = middle_block_system(c);
    util::vec1<double> rhs(3 * c.n), sol(3 * c.n);
    for (int i = 1; i <= 3 * c.n; ++i) {
      rhs(i) = c.rhs * (1.0 + 0.37 * i);
      sol(i) = c.rhs * (0.5 - 0.21 * i);
    }
    if (c.nan_row > 0) rhs(c.n + c.nan_row) = nan;
    const Outcome general = run_side(rhs, sol, [&](util::vec1<double>& b, util::vec1<double>& x) {
      return static_cast<int>(sampler::draw_block_general(A, b, x, c.n + 1, c.n));
    });
    const Outcome fused = run_side(rhs, sol, [&](util::vec1<double>& b, util::vec1<double>& x) {
      return static_cast<int>(sampler::draw_block(A, b, x, c.n + 1, c.n));
    });
    expect_same(general, fused);
    EXPECT_EQ(general.uniforms > 0, true);
    if (c.nan_row > 0) {
      EXPECT_EQ(general.verdict, 0);
      for (int i = c.n + 1; i < 2 * c.n; ++i) EXPECT_FALSE(std::isnan(general.sol(i))) << i;
    }
  }
}

// A symmetric system stored by upper rows with the diagonal first, the
// first equation coupled to every other (a row long enough to fetch ahead),
// and a few couplings between the rest.
sparse_ija pass_system(int neq, int nt, unsigned seed) {
  std::vector<std::vector<Entry>> rows(static_cast<std::size_t>(neq));
  unsigned s = seed;
  auto next = [&s] {
    s = s * 1103515245u + 12345u;
    return static_cast<double>((s >> 8) % 1000) / 1000.0;
  };
  for (int i = 1; i <= neq; ++i) rows[static_cast<std::size_t>(i - 1)].push_back({i, 3.0 + next()});
  for (int j = neq; j > 1; --j) rows[0].push_back({j, 0.01 * (next() - 0.5)});
  for (int i = 2; i <= neq; ++i) {
    const int block_end = ((i - 1) / nt + 1) * nt;
    for (int j = block_end; j > i; --j) rows[static_cast<std::size_t>(i - 1)].push_back({j, 0.4 * next()});
    for (int j = i + 2 * nt + 1; j <= neq; j += 7) rows[static_cast<std::size_t>(i - 1)].push_back({j, 0.1 * (next() - 0.5)});
  }
  return rows_of(rows);
}

// A whole pass of blocks of nt equations: the fused pass, or the general
// draw block by block.
Outcome whole_pass(const sparse_ija& A, int neq, int nt, const util::vec1<double>& rhs,
                    const util::vec1<double>& sol, bool fused) {
  return run_side(rhs, sol, [&](util::vec1<double>& b, util::vec1<double>& x) {
    if (fused) return sampler::draw_block_pass(A, b, x, neq, nt);
    for (int f = 1; f <= neq; f += nt)
      if (!sampler::draw_block_general(A, b, x, f, nt)) return f;
    return 0;
  });
}

TEST(FusedBlockDraw, PassMatchesBlockByBlockGeneralCalls) {
  TolGuard tol;
  for (int nt = 1; nt <= 5; ++nt) {
    SCOPED_TRACE(nt);
    const int neq = 120 * nt;
    const sparse_ija A = pass_system(neq, nt, 17u + static_cast<unsigned>(nt));
    util::vec1<double> rhs(neq), sol(neq);
    for (int i = 1; i <= neq; ++i) {
      rhs(i) = std::sin(0.3 * i);
      sol(i) = std::cos(0.7 * i);
    }
    for (int cycle = 0; cycle < 2; ++cycle) {
      const Outcome general = whole_pass(A, neq, nt, rhs, sol, false);
      const Outcome fused = whole_pass(A, neq, nt, rhs, sol, true);
      expect_same(general, fused);
      EXPECT_EQ(fused.verdict, 0);
      sol = fused.sol;
    }
  }
}

// Three blocks of order n, every row in the usual layout (the diagonal, the
// block's later columns in order, then the later blocks' columns); layout
// rewrites the rows of the middle block, row q of it at a time.
template <class F>
sparse_ija laid_out_system(int n, F&& layout) {
  std::vector<std::vector<Entry>> rows(static_cast<std::size_t>(3 * n));
  for (int i = 1; i <= 3 * n; ++i) {
    auto& row = rows[static_cast<std::size_t>(i - 1)];
    const int block_end = ((i - 1) / n + 1) * n;
    row.push_back({i, 4.0 + 0.5 * i});
    for (int j = i + 1; j <= block_end; ++j) row.push_back({j, 0.7 / (j - i + 1)});
    for (int j = block_end + 1; j <= 3 * n; j += 2) row.push_back({j, 0.05 * (j - i) - 0.3});
  }
  for (int q = 0; q < n; ++q) layout(q, rows[static_cast<std::size_t>(n + q)]);
  return rows_of(rows);
}

TEST(FusedBlockDraw, EveryRowLayoutOfTheBlockMatchesTheGeneralCalls) {
  TolGuard tol;
  using Row = std::vector<Entry>;
  struct Layout {
    const char* name;
    void (*apply)(int n, int q, Row& row);
  };
  // Where the block's own columns sit in its rows (n + 1 is its first).
  const std::vector<Layout> layouts = {
      {"usual", [](int, int, Row&) {}},
      {"block columns after the later ones",
       [](int n, int, Row& row) {
         std::stable_partition(row.begin() + 1, row.end(), [n](const Entry& e) { return e.j > 2 * n; });
       }},
      {"block columns reversed",
       [](int n, int, Row& row) {
         auto end = std::find_if(row.begin() + 1, row.end(), [n](const Entry& e) { return e.j > 2 * n; });
         std::reverse(row.begin() + 1, end);
       }},
      {"a later column before the block's",
       [](int n, int, Row& row) { row.insert(row.begin() + 1, Entry{3 * n, -0.2}); }},
      {"first row holds the diagonal alone",
       [](int, int q, Row& row) {
         if (q == 0) row.resize(1);
       }},
      {"first row empty",
       [](int, int q, Row& row) {
         if (q == 0) row.clear();
       }},
      {"diagonal last",
       [](int, int, Row& row) { std::rotate(row.begin(), row.begin() + 1, row.end()); }},
      {"block column twice",
       [](int n, int q, Row& row) {
         if (q + 1 < n) row.push_back({2 * n, 0.05});
       }},
      {"diagonal twice", [](int n, int q, Row& row) { row.push_back({n + 1 + q, 9.0}); }},
      {"an earlier block's column", [](int, int q, Row& row) { row.push_back({1 + q, -0.3}); }},
      {"an earlier block's column first",
       [](int, int q, Row& row) { row.insert(row.begin(), Entry{1 + q, -0.3}); }},
  };
  for (int n = 2; n <= 4; ++n) {
    for (const Layout& lay : layouts) {
      SCOPED_TRACE(std::to_string(n) + " " + lay.name);
      const sparse_ija A = laid_out_system(n, [&](int q, Row& row) { lay.apply(n, q, row); });
      const int neq = 3 * n;
      util::vec1<double> rhs(neq), sol(neq);
      for (int i = 1; i <= neq; ++i) {
        rhs(i) = 0.9 - 0.17 * i;
        sol(i) = 0.3 + 0.23 * i;
      }
      const Outcome general = run_side(rhs, sol, [&](util::vec1<double>& b, util::vec1<double>& x) {
        return static_cast<int>(sampler::draw_block_general(A, b, x, n + 1, n));
      });
      const Outcome fused = run_side(rhs, sol, [&](util::vec1<double>& b, util::vec1<double>& x) {
        return static_cast<int>(sampler::draw_block(A, b, x, n + 1, n));
      });
      expect_same(general, fused);
      expect_same(whole_pass(A, neq, n, rhs, sol, false), whole_pass(A, neq, n, rhs, sol, true));
    }
  }
}

TEST(FusedBlockDraw, PassStopsAtTheFirstBlockThatIsNotANumber) {
  TolGuard tol;
  for (int nt = 1; nt <= 4; ++nt) {
    SCOPED_TRACE(nt);
    const int neq = 30 * nt;
    sparse_ija A = pass_system(neq, nt, 5u);
    // The diagonal of the first equation of block 11 (the first entry of its row).
    const int bad = 10 * nt + 1;
    A.a(A.ia(bad)) = nan;
    util::vec1<double> rhs(neq), sol(neq);
    for (int i = 1; i <= neq; ++i) rhs(i) = 1.0 / i;
    const Outcome general = whole_pass(A, neq, nt, rhs, sol, false);
    const Outcome fused = whole_pass(A, neq, nt, rhs, sol, true);
    expect_same(general, fused);
    EXPECT_EQ(fused.verdict, bad);
  }
}

}  // namespace
