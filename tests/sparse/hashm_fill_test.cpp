// Filling an empty hash table from compressed rows at once must leave the
// table, slot by slot, as the additions one by one leave it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;

namespace {

// Compressed rows from (row, column, value) triples, rows in order and each
// row's columns in the order given.
struct Triple {
  std::int32_t r, c;
  double v;
};

sparse_ija rows_of(std::int32_t n, const std::vector<Triple>& t) {
  std::vector<Triple> sorted = t;
  std::stable_sort(sorted.begin(), sorted.end(), [](const Triple& x, const Triple& y) { return x.r < y.r; });
  sparse_ija B;
  B.n = n;
  B.nel = static_cast<std::int32_t>(t.size());
  B.ia.resize(n + 1);
  B.ja.resize(B.nel);
  B.a.resize(B.nel);
  std::size_t q = 0;
  for (std::int32_t i = 1; i <= n; ++i) {
    B.ia(i) = static_cast<std::int32_t>(q) + 1;
    for (; q < sorted.size() && sorted[q].r == i; ++q) {
      B.ja(static_cast<std::int32_t>(q) + 1) = sorted[q].c;
      B.a(static_cast<std::int32_t>(q) + 1) = sorted[q].v;
    }
  }
  B.ia(n + 1) = static_cast<std::int32_t>(q) + 1;
  return B;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Distinct upper-triangle keys of order n, every row with its diagonal
// first, the others in random order; a few values are -0.
std::vector<Triple> random_keys(std::int32_t n, int per_row, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<Triple> t;
  for (std::int32_t i = 1; i <= n; ++i) {
    t.push_back({i, i, i % 7 == 0 ? -0.0 : 1.0 + i});
    std::vector<std::int32_t> cols;
    for (std::int32_t j = i + 1; j <= n; ++j) cols.push_back(j);
    std::shuffle(cols.begin(), cols.end(), gen);
    for (int q = 0; q < per_row && q < static_cast<int>(cols.size()); ++q)
      t.push_back({i, cols[static_cast<std::size_t>(q)], q == 1 ? -0.0 : 0.5 * q - 0.3 * i});
  }
  return t;
}

void expect_empty(const sparse_hashm& A) {
  EXPECT_EQ(A.filled, 0);
  for (std::int32_t k = 1; k <= A.nel; ++k) ASSERT_EQ(A.x(k).row, 0) << k;
}

}  // namespace

TEST(HashmFill, SameTableAndSlotsAsAdditionsOneByOne) {
  struct Case {
    const char* what;
    std::int32_t n;
    int per_row;
    std::int32_t table;
  };
  const Case cases[] = {
      {"sparse table", 50, 3, 1000},
      {"one key below the growth point", 40, 4, 212},  // 190 keys; 191 would grow it
      {"long chains that wrap round", 300, 8, 3001},
      {"one row", 1, 0, 17},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const sparse_ija B = rows_of(c.n, random_keys(c.n, c.per_row, 7));
    sparse_hashm one, all;
    zero_sparse_hashm(one, c.n, c.table);
    zero_sparse_hashm(all, c.n, c.table);
    std::vector<std::int32_t> want(static_cast<std::size_t>(B.nel)), got(want.size(), -1);
    for (std::int32_t i = 1, k = 1; i <= B.n; ++i)
      for (; k < B.ia(i + 1); ++k) want[static_cast<std::size_t>(k - 1)] = add_sparse_hashm_slot(B.a(k), i, B.ja(k), one);
    ASSERT_EQ(one.nel, c.table) << "the case must not grow the table";
    ASSERT_TRUE(fill_sparse_hashm_rows(all, B, got.data()));
    EXPECT_EQ(got, want);
    EXPECT_EQ(all.filled, one.filled);
    EXPECT_EQ(all.nel, one.nel);
    for (std::int32_t k = 1; k <= one.nel; ++k) {
      ASSERT_EQ(all.x(k).row, one.x(k).row) << k;
      ASSERT_EQ(all.x(k).col, one.x(k).col) << k;
      ASSERT_TRUE(same_bits(all.x(k).val, one.x(k).val)) << k;
    }
    // The table stays usable as a hash store.
    for (std::int32_t i = 1, k = 1; i <= B.n; ++i)
      for (; k < B.ia(i + 1); ++k) EXPECT_EQ(hashvr_find(i, B.ja(k), all), got[static_cast<std::size_t>(k - 1)]);
  }
}

TEST(HashmFill, RefusesWhatTheAdditionsCouldNotDoInPlace) {
  // 39 keys: their last addition grows a table of 43 slots, not one of 44.
  {
    const sparse_ija B = rows_of(20, random_keys(20, 1, 3));
    ASSERT_EQ(B.nel, 39);
    sparse_hashm A;
    zero_sparse_hashm(A, 20, 43);  // 39 / 43 > 0.9: the last addition grows it
    std::vector<std::int32_t> slot(static_cast<std::size_t>(B.nel));
    EXPECT_FALSE(fill_sparse_hashm_rows(A, B, slot.data()));
    expect_empty(A);
    zero_sparse_hashm(A, 20, 44);  // 39 / 44 < 0.9
    EXPECT_TRUE(fill_sparse_hashm_rows(A, B, slot.data()));
  }
  // A key below the diagonal would be dropped under upper storage.
  {
    const sparse_ija B = rows_of(3, {{1, 1, 1.0}, {2, 1, 2.0}, {2, 2, 3.0}});
    sparse_hashm A;
    zero_sparse_hashm(A, 3, 100);
    std::vector<std::int32_t> slot(3);
    EXPECT_FALSE(fill_sparse_hashm_rows(A, B, slot.data()));
    expect_empty(A);
  }
  // A table that already holds a key.
  {
    const sparse_ija B = rows_of(2, {{1, 1, 1.0}, {2, 2, 3.0}});
    sparse_hashm A;
    zero_sparse_hashm(A, 2, 100);
    add_sparse_hashm(5.0, 1, 2, A);
    std::vector<std::int32_t> slot(2);
    EXPECT_FALSE(fill_sparse_hashm_rows(A, B, slot.data()));
    EXPECT_EQ(A.filled, 1);
  }
  // A probe that passes 5000 occupied slots: the additions would grow the
  // table.  Keys of row 1 are picked so that their start slots are the
  // probe positions s, s + 17, s + 34, ... of one chain; a last key starting
  // at s then finds no free slot within 5000 probes.
  {
    const std::int32_t nel = 100003, n = nel;
    auto start = [nel](std::int64_t i, std::int64_t j) { return (433 * i + 1039 * j) % nel; };
    std::vector<std::int32_t> col_of(static_cast<std::size_t>(nel), 0);
    for (std::int32_t j = 1; j <= n; ++j) col_of[static_cast<std::size_t>(start(1, j))] = j;
    std::vector<Triple> t;
    const std::int64_t s = start(1, 1);
    for (int p = 0; p < 5000; ++p) {
      const std::int32_t j = col_of[static_cast<std::size_t>((s + 17 * std::int64_t(p)) % nel)];
      ASSERT_GT(j, 0);
      t.push_back({1, j, 1.0});
    }
    // (2, j) starting at s: 433 * 2 + 1039 j = 433 + 1039 j1 (mod nel) for the
    // first key's column j1; found by search.
    std::int32_t last = 0;
    for (std::int32_t j = 2; j <= n && last == 0; ++j)
      if (start(2, j) == s) last = j;
    ASSERT_GT(last, 0);
    t.push_back({2, last, 1.0});
    const sparse_ija B = rows_of(n, t);
    sparse_hashm A;
    zero_sparse_hashm(A, n, nel);
    std::vector<std::int32_t> slot(static_cast<std::size_t>(B.nel));
    EXPECT_FALSE(fill_sparse_hashm_rows(A, B, slot.data()));
    expect_empty(A);
    // One key fewer in the chain leaves a free slot at probe 5000.
    t.erase(t.begin() + 4999);
    const sparse_ija C = rows_of(n, t);
    slot.resize(static_cast<std::size_t>(C.nel));
    EXPECT_TRUE(fill_sparse_hashm_rows(A, C, slot.data()));
    EXPECT_EQ(slot.back(), static_cast<std::int32_t>((s + 17 * 4999) % nel) + 1);
  }
}

TEST(HashmFill, GrownTableIsTheOldSlotsAddedInOrder) {
  // Each growth must leave the table that adding the occupied slots of the
  // old one, in slot order, to an empty table 1.5 times larger leaves.
  struct Case {
    const char* what;
    std::int32_t n, table;
    int additions;
    unsigned seed;
  };
  const Case cases[] = {
      {"from one slot", 30, 1, 200, 1},
      {"small table, many growths", 80, 5, 3000, 2},
      {"large table, few growths", 400, 5000, 20000, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::mt19937 gen(c.seed);
    std::uniform_int_distribution<std::int32_t> eq(1, c.n);
    sparse_hashm A;
    zero_sparse_hashm(A, c.n, c.table);
    int growths = 0;
    std::string mismatch;  // gtest's own output would be captured with the table's
    sparsetest::captured([&] {
      for (int q = 0; q < c.additions && mismatch.empty(); ++q) {
        std::int32_t i = eq(gen), j = eq(gen);
        if (j < i) std::swap(i, j);
        const double v = q % 5 == 0 ? -0.0 : 0.25 * q - 7;
        sparse_hashm before = A;
        add_sparse_hashm(v, i, j, A);
        if (A.nel == before.nel) continue;
        ++growths;
        // The new key takes its slot in the old table before the table grows
        // (unless its probe found none).
        hashvr(i, j, before, 1);
        std::int32_t size = static_cast<std::int32_t>(static_cast<float>(before.nel) * hash_incr);
        if (size <= before.nel) size = before.nel + 1;
        sparse_hashm want;
        zero_sparse_hashm(want, c.n, size);
        for (std::int32_t k = 1; k <= before.nel; ++k)
          if (before.x(k).row != 0) add_sparse_hashm(before.x(k).val, before.x(k).row, before.x(k).col, want);
        add_sparse_hashm(v, i, j, want);
        if (want.nel != A.nel || want.filled != A.filled) mismatch = "size at addition " + std::to_string(q);
        for (std::int32_t k = 1; k <= A.nel && mismatch.empty(); ++k)
          if (A.x(k).row != want.x(k).row || A.x(k).col != want.x(k).col || !same_bits(A.x(k).val, want.x(k).val))
            mismatch = "slot " + std::to_string(k) + " at addition " + std::to_string(q);
      }
    });
    EXPECT_EQ(mismatch, "");
    EXPECT_GT(growths, 0);
  }
}
