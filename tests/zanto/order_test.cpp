// Matrix graph and minimum degree orderings.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "support.hpp"

using namespace zantotest;
using zanto::word;

namespace {

TEST(Unfold, FullAdjacencyInScanOrder) {
  // Row 1 stores (1,1) (1,3) (1,2); row 2 (2,2) (2,0) (2,3) (2,9); row 3 (3,3).
  // Diagonals, column 0 and columns above n are skipped.
  std::vector<word> ia = {1, 4, 8, 9}, ja = {1, 3, 2, 2, 0, 3, 9, 3};
  std::vector<word> xadj(4), adjncy(8, -1), count(3);
  zanto::unfold(3, zanto::cview(ia), zanto::cview(ja), zanto::view(xadj), zanto::view(adjncy),
                zanto::view(count));
  EXPECT_EQ(xadj, (std::vector<word>{1, 3, 5, 7}));
  // Node 1: its stored columns in stored order; node 2: row 1 first, then
  // its own columns; node 3: rows 1 and 2.
  EXPECT_EQ(std::vector<word>(adjncy.begin(), adjncy.begin() + 6),
            (std::vector<word>{3, 2, 1, 3, 1, 2}));
  EXPECT_EQ(count, (std::vector<word>{2, 2, 2}));
}

TEST(Unfold, EmptyMatrixSetsOnlyTheFirstStart) {
  std::vector<word> ia = {1}, ja = {0};
  std::vector<word> xadj = {-4}, adjncy = {-4}, count = {-4};
  zanto::unfold(0, zanto::cview(ia), zanto::cview(ja), zanto::ivec(xadj.data(), 1),
                zanto::ivec(adjncy.data(), 1), zanto::ivec(count.data(), 0));
  EXPECT_EQ(xadj[0], 1);
  EXPECT_EQ(adjncy[0], -4);
}

struct OrderCase {
  const char* name;
  word n;
  std::vector<std::pair<word, word>> pairs;
  std::vector<word> perm, invp;
  word nofsub;
};

TEST(Genmmd, WorkedOrderings) {
  const std::vector<OrderCase> cases = {
      {"diagonal", 4, {}, {4, 3, 2, 1}, {4, 3, 2, 1}, 0},
      {"order two", 2, {{1, 2}}, {2, 1}, {2, 1}, 1},
      {"path of three", 3, {{1, 2}, {2, 3}}, {3, 1, 2}, {2, 3, 1}, 2},
      // Leaves of equal degree go highest first; the centre ends alone.
      {"star", 4, {{1, 2}, {1, 3}, {1, 4}}, {4, 3, 2, 1}, {4, 3, 2, 1}, 3},
      // Isolated node 2 is numbered first; of the pair, 3 goes first and
      // absorbs 1.
      {"isolated and pair", 3, {{1, 3}}, {2, 3, 1}, {3, 1, 2}, 1},
      // A triangle: every node is indistinguishable once 3 is eliminated.
      {"triangle", 3, {{1, 2}, {1, 3}, {2, 3}}, {3, 1, 2}, {2, 3, 1}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Ordering o = order(from_pairs(c.n, c.pairs));
    EXPECT_EQ(o.perm, c.perm);
    EXPECT_EQ(o.invp, c.invp);
    EXPECT_EQ(o.nofsub, c.nofsub);
  }
}

TEST(Genmmd, EmptyOrderWritesNothing) {
  std::vector<word> none = {77};
  word nofsub = 55;
  std::vector<word> xadj = {1};
  zanto::ivec e(none.data(), 1);
  zanto::genmmd(0, zanto::cview(xadj), e, e, e, 0, e, e, e, e, 9999999, nofsub);
  EXPECT_EQ(nofsub, 55);
  EXPECT_EQ(none[0], 77);
}

TEST(Genmmd, RandomPatternsGiveInversePermutationsAndAFittingBound) {
  std::mt19937 rng(4711);
  for (int t = 0; t < 60; ++t) {
    const int n = 1 + t % 37;
    const Dense A = random_spd(n, t % 3 == 0 ? 0.35 : 0.12, rng);
    const Csr m = from_dense(A);
    const Ordering o = order(m);
    ASSERT_TRUE(is_permutation_pair(o.perm, o.invp)) << "case " << t;
    // The bound must admit the subscripts the symbolic step stores.
    Factored F = factorise(m);
    EXPECT_EQ(F.nofsub, o.nofsub);
    EXPECT_LE(F.maxsub, o.nofsub);
    EXPECT_GE(F.maxsub, 0);
  }
}

TEST(Genmmd, TagsRestartBelowMaxint) {
  // A small maxint forces the marker reset many times; the ordering must
  // not change.
  std::mt19937 rng(99);
  const Csr m = from_dense(random_spd(30, 0.2, rng));
  const Ordering ref = order(m);
  const word n = m.n;
  std::vector<word> xadj(n + 1), adjncy(2 * m.nze()), count(n), dhead(n), qsize(n), llist(n),
      marker(n), perm(n), invp(n);
  word nofsub = 0;
  zanto::unfold(n, zanto::cview(m.ia), zanto::cview(m.ja), zanto::view(xadj),
                zanto::view(adjncy), zanto::view(count));
  zanto::genmmd(n, zanto::cview(xadj), zanto::view(adjncy), zanto::view(invp), zanto::view(perm),
                0, zanto::view(dhead), zanto::view(qsize), zanto::view(llist),
                zanto::view(marker), 60, nofsub);
  EXPECT_EQ(perm, ref.perm);
  EXPECT_EQ(nofsub, ref.nofsub);
}

// Quotient minimum degree ordering of m: perm, invp and nofsub.
struct QmdOrdering {
  std::vector<word> perm, invp;
  word nofsub = -1;
};
QmdOrdering qmd_order(const Csr& m) {
  const word n = m.n;
  std::vector<word> xadj(n + 1), adjncy(std::max<word>(1, 2 * m.nze())), count(n), deg(n),
      marker(n), rchset(n), nbrhd(n), qsize(n), qlink(n);
  QmdOrdering o;
  o.perm.assign(n, 0);
  o.invp.assign(n, 0);
  zanto::unfold(n, zanto::cview(m.ia), zanto::cview(m.ja), zanto::view(xadj), zanto::view(adjncy),
                zanto::view(count));
  zanto::genqmd(n, zanto::cview(xadj), zanto::view(adjncy), zanto::view(o.perm),
                zanto::view(o.invp), zanto::view(deg), zanto::view(marker), zanto::view(rchset),
                zanto::view(nbrhd), zanto::view(qsize), zanto::view(qlink), o.nofsub);
  return o;
}

TEST(Genqmd, OrdersSmallPatterns) {
  struct Case {
    const char* name;
    word n;
    std::vector<std::pair<word, word>> pairs;
    std::vector<word> perm;
    word nofsub;
  };
  const std::vector<Case> cases = {
      {"diagonal", 3, {}, {1, 2, 3}, 0},
      // The search takes the first node of minimum degree in perm order.
      {"path of three", 3, {{1, 2}, {2, 3}}, {1, 2, 3}, 2},
      // Once two leaves are gone the centre's degree meets the threshold.
      {"star", 4, {{1, 2}, {1, 3}, {1, 4}}, {2, 3, 1, 4}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QmdOrdering o = qmd_order(from_pairs(c.n, c.pairs));
    EXPECT_EQ(o.perm, c.perm);
    EXPECT_EQ(o.nofsub, c.nofsub);
    EXPECT_TRUE(is_permutation_pair(o.perm, o.invp));
  }
}

}  // namespace

namespace {

// Grids and random sparse graphs large enough to make eliminated nodes'
// lists spill into the storage of the elements they absorb.
std::vector<Csr> larger_graphs() {
  std::vector<Csr> out;
  for (int k : {7, 15}) {
    std::vector<std::pair<word, word>> p;
    for (int r = 0; r < k; ++r)
      for (int c = 0; c < k; ++c) {
        const word v = r * k + c + 1;
        if (c + 1 < k) p.push_back({v, v + 1});
        if (r + 1 < k) p.push_back({v, v + k});
        if (c + 1 < k && r + 1 < k) p.push_back({v, v + k + 1});
      }
    out.push_back(from_pairs(k * k, p));
  }
  std::mt19937 rng(3);
  for (int n : {120, 300}) {
    std::uniform_int_distribution<int> pick(1, n);
    std::set<std::pair<word, word>> pairs;
    while (static_cast<int>(pairs.size()) < 2 * n) {
      const word i = pick(rng), j = pick(rng);
      if (i != j) pairs.insert({std::min(i, j), std::max(i, j)});
    }
    out.push_back(from_pairs(n, {pairs.begin(), pairs.end()}));
  }
  return out;
}

TEST(Orderings, LargerGraphs) {
  for (const Csr& m : larger_graphs()) {
    SCOPED_TRACE(m.n);
    const Ordering o = order(m);
    ASSERT_TRUE(is_permutation_pair(o.perm, o.invp));
    Factored F = factorise(m);
    EXPECT_LE(F.maxsub, o.nofsub);
    EXPECT_EQ(factor_columns(F), boolean_elimination(m, F.invp()));

    const word n = m.n;
    const QmdOrdering q = qmd_order(m);
    ASSERT_TRUE(is_permutation_pair(q.perm, q.invp));
    // Both orderings keep the factor far below a dense one.
    std::size_t mmd_fill = 0, qmd_fill = 0;
    for (const auto& c : boolean_elimination(m, zanto::cview(o.invp))) mmd_fill += c.size();
    for (const auto& c : boolean_elimination(m, zanto::cview(q.invp))) qmd_fill += c.size();
    // The degrees summed at elimination are the column counts of the
    // representatives, at most the factor's size.
    EXPECT_LE(static_cast<std::size_t>(q.nofsub), qmd_fill);
    const std::size_t dense = static_cast<std::size_t>(n) * (n - 1) / 2;
    EXPECT_LT(mmd_fill, dense / 4);
    EXPECT_LT(qmd_fill, dense / 4);
  }
}

}  // namespace
