// The directions X v = 0 of data columns from their Gram matrix: worked
// models whose directions are known, columns at scales far from 1, a block
// dense enough to be eliminated as one, and random matrices against the
// nullity a dense elimination gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "sparse/null_space.hpp"
#include "support.hpp"

namespace {

using sparsetest::dense_rank;
using Row = std::vector<std::pair<int, double>>;  // one record: (column, value)
using Dir = std::vector<std::pair<int, double>>;

sparsem::PairSums gram_of(const std::vector<Row>& x) {
  sparsem::PairSums g(64);
  for (const Row& r : x)
    for (std::size_t a = 0; a < r.size(); ++a)
      for (std::size_t b = a; b < r.size(); ++b)
        g.add(static_cast<std::uint32_t>(r[a].first), static_cast<std::uint32_t>(r[b].first),
              r[a].second * r[b].second);
  return g;
}

// v over n columns, its largest element 1 in size.
std::vector<double> spread(const Dir& v, int n) {
  std::vector<double> d(n, 0.0);
  double big = 0;
  for (const auto& [k, a] : v) big = std::max(big, std::fabs(a));
  for (const auto& [k, a] : v) d[k] = a / big;
  return d;
}

// |X v| against | |X| |v| |, over the records.
double remainder(const std::vector<Row>& x, const Dir& v, int n) {
  const std::vector<double> d = spread(v, n);
  double rr = 0, aa = 0;
  for (const Row& r : x) {
    double s = 0, t = 0;
    for (const auto& [k, a] : r) s += a * d[k], t += std::fabs(a * d[k]);
    rr += s * s, aa += t * t;
  }
  return aa > 0 ? std::sqrt(rr / aa) : 0.0;
}

// Largest |v_k| sqrt(G_kk).
double largest_scaled(const std::vector<Row>& x, const Dir& v, int n) {
  std::vector<double> own(n, 0.0);
  for (const Row& r : x)
    for (const auto& [j, b] : r) own[j] += b * b;
  double big = 0;
  for (const auto& [k, a] : v) big = std::max(big, std::fabs(a) * std::sqrt(own[k]));
  return big;
}

// Records of a class effect A (columns a0..a0+na-1) crossed with B
// (columns b0..b0+nb-1): record i of A level i % na, B level (i / na) % nb.
std::vector<Row> crossed(int a0, int na, int b0, int nb, int nrec) {
  std::vector<Row> x;
  for (int i = 0; i < nrec; ++i) x.push_back({{a0 + i % na, 1.0}, {b0 + (i / na) % nb, 1.0}});
  return x;
}

// A class effect of 4 levels (columns 0-3) and a slope nested in it
// (columns 4-7) whose covariable is c on every record of class 4 (or c
// and c (1 + spread)) and varies in the others: without the spread class 4
// and its slope are one direction.
std::vector<Row> slope_constant_in_one_class(double c, double spread = 0) {
  std::vector<Row> x;
  for (int i = 0; i < 40; ++i) {
    const int k = i % 4;
    x.push_back({{k, 1.0}, {4 + k, k == 3 ? c * (1 + spread * (i / 4 % 2)) : c * (1 + (i / 4) % 3)}});
  }
  return x;
}

TEST(NullSpace, WorkedDirectionsUpToScale) {
  struct Case {
    std::string what;
    int n;
    std::vector<Row> x;
    std::vector<Dir> want;  // up to a positive factor, in the order found
  };
  std::vector<Case> cases;
  // Two crossed classes: their common levels; a column of no record
  // between them lies in nothing.
  cases.push_back({"crossed classes", 5, crossed(0, 3, 3, 2, 12), {{{0, -1}, {1, -1}, {2, -1}, {3, 1}, {4, 1}}}});
  cases.push_back({"an empty column", 6, crossed(0, 3, 4, 2, 12), {{{0, -1}, {1, -1}, {2, -1}, {4, 1}, {5, 1}}}});
  // A covariable varying within the classes: no direction.
  {
    std::vector<Row> x;
    for (int i = 0; i < 12; ++i) x.push_back({{i % 3, 1.0}, {3, 1.0 + i}});
    cases.push_back({"full rank", 4, x, {}});
  }
  // Two separate crossings and a column twice another: three directions,
  // each over its column and the columns eliminated before it (fewest
  // neighbours first: 1, 4-7, then 0, 2, 3, 8).
  {
    std::vector<Row> x = crossed(0, 2, 2, 2, 8), y = crossed(4, 2, 6, 2, 8);
    x.insert(x.end(), y.begin(), y.end());
    for (Row& r : x)
      if (r[0].first == 0) r.push_back({8, 2.0});
    cases.push_back({"several", 9, x,
                     {{{4, -1}, {5, -1}, {6, 1}, {7, 1}},
                      {{0, -1}, {1, -1}, {2, 1}, {3, 1}},
                      {{0, -2}, {8, 1}}}});
  }
  // The slope's element at its own scale, whatever the covariable's size.
  for (double c : {1.0, 2e9, 1e-10})
    cases.push_back({"slope constant in one class, x = " + std::to_string(c), 8, slope_constant_in_one_class(c),
                     {{{3, -c}, {7, 1}}}});
  // A spread of 1e-4 leaves a pivot near 2.5e-9 of the column's own sum
  // of squares: above the tolerance, no direction.
  cases.push_back({"slope nearly constant in one class", 8, slope_constant_in_one_class(2e9, 1e-4), {}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto dirs = sparsem::null_directions(c.n, gram_of(c.x));
    ASSERT_EQ(dirs.size(), c.want.size());
    for (std::size_t d = 0; d < dirs.size(); ++d) {
      SCOPED_TRACE(d);
      ASSERT_EQ(dirs[d].size(), c.want[d].size());
      const double f = dirs[d][0].second / c.want[d][0].second;
      EXPECT_GT(f, 0);
      for (std::size_t k = 0; k < dirs[d].size(); ++k) {
        EXPECT_EQ(dirs[d][k].first, c.want[d][k].first);
        EXPECT_NEAR(dirs[d][k].second / f, c.want[d][k].second, 1e-9 * std::fabs(c.want[d][k].second));
      }
      EXPECT_NEAR(largest_scaled(c.x, dirs[d], c.n), 1.0, 1e-12);
    }
  }
}

// Herds crossed with a class of many levels, each herd on a few of them:
// once the herds are gone the levels are nearly all neighbours.
TEST(NullSpace, DenseBlockFindsWhatRowsFind) {
  struct Case {
    int herds, levels, nrec;
    bool twin;  // a column repeating level 5 (a second direction, in the block)
    int dense_at_least;
  };
  const Case cases[] = {{20, 6, 60, false, 0}, {300, 40, 3000, false, 40}, {300, 40, 3000, true, 41},
                        {400, 90, 6000, true, 91}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.levels) + (c.twin ? " levels and a twin" : " levels"));
    std::vector<Row> x;
    unsigned s = 7;
    const int n = c.herds + c.levels + (c.twin ? 1 : 0);
    for (int i = 0; i < c.nrec; ++i) {
      s = s * 1103515245u + 12345u;
      const int level = static_cast<int>((s >> 16) % static_cast<unsigned>(c.levels));
      Row r{{i % c.herds, 1.0}, {c.herds + level, 1.0}};
      if (c.twin && level == 5) r.push_back({n - 1, 1.0});
      x.push_back(r);
    }
    sparsem::NullSpaceInfo info;
    const auto dirs = sparsem::null_directions(n, gram_of(x), &info);
    EXPECT_GE(info.dense_order, c.dense_at_least);
    ASSERT_EQ(dirs.size(), c.twin ? 2u : 1u);
    for (const Dir& d : dirs) EXPECT_LT(remainder(x, d, n), 1e-12);
    // The common shift, every herd +1 and every level -1, is among them.
    std::vector<std::vector<double>> vs;
    for (const Dir& d : dirs) vs.push_back(spread(d, n));
    vs.emplace_back(n, 0.0);
    for (int k = 0; k < c.herds + c.levels; ++k) vs.back()[k] = k < c.herds ? 1 : -1;
    EXPECT_EQ(dense_rank(vs), static_cast<int>(dirs.size()));
  }
}

// Random small-integer columns, some sums of others, some empty: as many
// directions as columns with records beyond the rank, each a direction,
// none a combination of the others.
TEST(NullSpace, RandomMatricesHaveTheDenseNullity) {
  unsigned s = 99;
  auto next = [&s](int n) {
    s = s * 1103515245u + 12345u;
    return static_cast<int>((s >> 16) % static_cast<unsigned>(n));
  };
  int dense_seen = 0;
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE(trial);
    const int nc = 2 + next(trial % 4 == 0 ? 60 : 12), nr = 1 + next(2 * nc);
    std::vector<std::vector<double>> a(nr, std::vector<double>(nc, 0.0));
    const int fill = 2 + next(8);
    for (auto& row : a)
      for (auto& v : row) v = next(fill) == 0 ? next(5) - 2 : 0.0;
    for (int j = 2; j < nc; ++j) {
      const int how = next(6);
      for (auto& row : a) row[j] = how == 0 ? row[j - 1] - 2 * row[j / 2] : how == 1 ? 0 : row[j];
    }
    std::vector<Row> x(nr);
    std::vector<char> used(nc, 0);
    for (int i = 0; i < nr; ++i)
      for (int j = 0; j < nc; ++j)
        if (a[i][j] != 0) x[i].emplace_back(j, a[i][j]), used[j] = 1;
    sparsem::NullSpaceInfo info;
    const auto dirs = sparsem::null_directions(nc, gram_of(x), &info);
    dense_seen += info.dense_order > 0;
    ASSERT_EQ(static_cast<int>(dirs.size()), std::count(used.begin(), used.end(), 1) - dense_rank(a));
    std::vector<std::vector<double>> vs;
    for (const Dir& d : dirs) {
      EXPECT_LT(remainder(x, d, nc), 1e-9);
      for (const auto& [k, e] : d) EXPECT_TRUE(used[k]) << k;
      vs.push_back(spread(d, nc));
    }
    EXPECT_EQ(dense_rank(vs), static_cast<int>(dirs.size()));
  }
  EXPECT_GT(dense_seen, 0);
}

// The batch's fill and the dense block shared out to threads: the same
// directions to the bit for any count, on weights whose sums round (a batch
// of herds whose fill spans several blocks of rows, a dense block of many
// panels).
TEST(NullSpace, ThreadsChangeNoBit) {
  struct Restore {
    ~Restore() { sparsem::null_threads = 0; }
  } restore;
  const int herds = 1500, levels = 700, n = herds + levels + 1;
  std::vector<Row> x;
  unsigned s = 11;
  for (int i = 0; i < 30000; ++i) {
    s = s * 1103515245u + 12345u;
    const int level = static_cast<int>((s >> 16) % static_cast<unsigned>(levels));
    Row r{{i % herds, 1.0 + (i % 7) / 3.0}, {herds + level, 1.0 + (i % 7) / 3.0}};
    if (level == 5) r.push_back({n - 1, 0.1 * (1.0 + (i % 7) / 3.0)});
    x.push_back(r);
  }
  const sparsem::PairSums g = gram_of(x);
  sparsem::null_threads = 1;
  sparsem::NullSpaceInfo info;
  const auto one = sparsem::null_directions(n, g, &info);
  EXPECT_GE(info.dense_order, levels);
  ASSERT_EQ(one.size(), 2u);
  for (int threads : {2, 3, 8, 0}) {
    SCOPED_TRACE(threads);
    sparsem::null_threads = threads;
    const auto dirs = sparsem::null_directions(n, g);
    ASSERT_EQ(dirs.size(), one.size());
    for (std::size_t d = 0; d < dirs.size(); ++d) {
      ASSERT_EQ(dirs[d].size(), one[d].size());
      for (std::size_t k = 0; k < dirs[d].size(); ++k) {
        EXPECT_EQ(dirs[d][k].first, one[d][k].first);
        EXPECT_EQ(dirs[d][k].second, one[d][k].second) << k;  // bit for bit
      }
    }
  }
}

}  // namespace
