#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::captured;
using sparsetest::stop_message;

namespace {

// 1-based start slot of (i, j) in a table of nel slots, for keys whose hash
// fits in 32 bits.
int start_of(int i, int j, int nel) { return (433 * i + 1039 * j) % nel + 1; }

// First key (i <= j) with the given start slot.
std::pair<int, int> key_starting_at(int slot, int nel, std::pair<int, int> other = {0, 0}) {
  for (int j = 1; j < 3000; ++j) {
    for (int i = 1; i <= j; ++i) {
      if (start_of(i, j, nel) == slot && std::make_pair(i, j) != other) return {i, j};
    }
  }
  return {0, 0};
}

}  // namespace

TEST(HashMatrix, NewMatrixAndFirstAdditions) {
  sparse_hashm A;
  EXPECT_EQ(A.status, 0);
  zero_sparse_hashm(A, 5);
  EXPECT_EQ(A.nel, 50000);
  EXPECT_EQ(A.filled, 0);
  EXPECT_EQ(A.status, 1);
  for (int i = 1; i <= 5; ++i)
    for (int j = 1; j <= 5; ++j) EXPECT_EQ(get_sparse_hashm(i, j, A), 0.0);

  add_sparse_hashm(2.0, 4, 7, A);
  add_sparse_hashm(3.0, 4, 7, A);
  EXPECT_EQ(A.filled, 1);
  EXPECT_EQ(get_sparse_hashm(4, 7, A), 5.0);
  EXPECT_EQ(get_sparse_hashm(7, 4, A), 0.0);
  add_sparse_hashm(1.0, 7, 4, A);
  EXPECT_EQ(A.filled, 1);
  EXPECT_EQ(get_sparse_hashm(4, 7, A), 5.0);

  // A zero addition still creates its key.
  add_sparse_hashm(0.0, 2, 2, A);
  EXPECT_EQ(A.filled, 2);
  EXPECT_GT(hashvr_find(2, 2, A), 0);
}

TEST(HashMatrix, SlotPositionsAndProbing) {
  sparse_hashm A;
  zero_sparse_hashm(A, 3000);
  add_sparse_hashm(1.0, 1, 1, A);
  EXPECT_EQ(hashvr_find(1, 1, A), 1473);

  // Keys sharing a start slot go 17, 34, ... slots further on.
  const auto k1 = key_starting_at(1473, 50000, {1, 1});
  ASSERT_NE(k1.first, 0);
  add_sparse_hashm(2.0, k1.first, k1.second, A);
  EXPECT_EQ(hashvr_find(k1.first, k1.second, A), 1473 + 17);
  // A key starting where the first collision landed steps over it too.
  const auto k2 = key_starting_at(1490, 50000);
  ASSERT_NE(k2.first, 0);
  add_sparse_hashm(3.0, k2.first, k2.second, A);
  EXPECT_EQ(hashvr_find(k2.first, k2.second, A), 1490 + 17);

  // Wrapping past the last slot: 49990 + 17 is slot 7.
  const auto w1 = key_starting_at(49990, 50000);
  const auto w2 = key_starting_at(49990, 50000, w1);
  ASSERT_NE(w2.first, 0);
  add_sparse_hashm(4.0, w1.first, w1.second, A);
  add_sparse_hashm(5.0, w2.first, w2.second, A);
  EXPECT_EQ(hashvr_find(w1.first, w1.second, A), 49990);
  EXPECT_EQ(hashvr_find(w2.first, w2.second, A), 7);
  EXPECT_EQ(get_sparse_hashm(w2.first, w2.second, A), 5.0);
  EXPECT_EQ(A.filled, 5);
}

TEST(HashMatrix, HashvrModes) {
  sparse_hashm A;
  EXPECT_EQ(hashvr(1, 1, A, 0), 0);  // no table yet
  EXPECT_EQ(hashvr(1, 1, A, 1), -1);
  EXPECT_EQ(hashvr_find(1, 1, A), 0);
  prefetch_sparse_hashm(1, 1, A);
  zero_sparse_hashm(A, 10);
  prefetch_sparse_hashm(3, 4, A);
  EXPECT_EQ(A.filled, 0);
  EXPECT_EQ(hashvr(3, 4, A, 0), 0);
  EXPECT_EQ(A.filled, 0);
  const int s = hashvr(3, 4, A, 1);
  EXPECT_EQ(s, start_of(3, 4, 50000));
  EXPECT_EQ(A.filled, 1);
  EXPECT_EQ(hashvr(3, 4, A, 1), s);
  EXPECT_EQ(A.filled, 1);
  EXPECT_EQ(hashvr(3, 4, A, 0), s);
  // Another mode names the free slot without taking it.
  EXPECT_EQ(hashvr(5, 6, A, 2), start_of(5, 6, 50000));
  EXPECT_EQ(A.filled, 1);
  EXPECT_EQ(hashvr(5, 6, A, 0), 0);
}

TEST(HashMatrix, LargeIndicesHashIn64Bits) {
  // 433 i + 1039 j passes 2^31 and 2^32 here; the start slot is the plain
  // remainder of the exact sum.
  sparse_hashm A;
  zero_sparse_hashm(A, 3000001);
  add_sparse_hashm(1.5, 2000000, 2000000, A);
  add_sparse_hashm(2.5, 3000001, 3000001, A);
  EXPECT_EQ(hashvr_find(2000000, 2000000, A), int(1472LL * 2000000 % 50000) + 1);
  EXPECT_EQ(hashvr_find(3000001, 3000001, A), int(1472LL * 3000001 % 50000) + 1);
  EXPECT_EQ(get_sparse_hashm(2000000, 2000000, A), 1.5);
  EXPECT_EQ(get_sparse_hashm(3000001, 3000001, A), 2.5);
}

TEST(HashMatrix, GrowthAtThe45001stKey) {
  sparse_hashm A;
  zero_sparse_hashm(A, 400);
  sparsetest::RefHash R(400, 50000);
  std::vector<std::pair<int, int>> keys;
  for (int j = 1; j <= 400 && keys.size() < 45001; ++j)
    for (int i = 1; i <= j && keys.size() < 45001; ++i) keys.push_back({i, j});
  std::string out = captured([&] {
    for (std::size_t k = 0; k < 45000; ++k) {
      add_sparse_hashm(0.5 * double(k), keys[k].first, keys[k].second, A);
      R.add(0.5 * double(k), keys[k].first, keys[k].second);
    }
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(A.nel, 50000);
  EXPECT_EQ(A.filled, 45000);
  std::vector<double> before;
  for (std::size_t k = 0; k < 45000; ++k) before.push_back(get_sparse_hashm(keys[k].first, keys[k].second, A));

  out = captured([&] {
    add_sparse_hashm(7.0, keys[45000].first, keys[45000].second, A);
    R.add(7.0, keys[45000].first, keys[45000].second);
  });
  EXPECT_EQ(out, " hash matrix increased from 50000 to 75000\n");
  EXPECT_EQ(A.nel, 75000);
  EXPECT_EQ(A.filled, 45001);
  EXPECT_EQ(A.status, 1);
  for (std::size_t k = 0; k < 45000; ++k)
    EXPECT_EQ(get_sparse_hashm(keys[k].first, keys[k].second, A), before[k]);
  EXPECT_EQ(get_sparse_hashm(keys[45000].first, keys[45000].second, A), 7.0);
  // The grown layout is the one made by re-inserting in old slot order.
  EXPECT_TRUE(sparsetest::same_table(A, R));

  // A reset of the same order keeps the grown size and clears every key.
  zero_sparse_hashm(A, 400);
  EXPECT_EQ(A.nel, 75000);
  EXPECT_EQ(A.filled, 0);
  EXPECT_EQ(get_sparse_hashm(1, 1, A), 0.0);
  long occupied = 0;
  for (int k = 1; k <= A.nel; ++k) occupied += A.x(k).row != 0 || A.x(k).col != 0 || A.x(k).val != 0;
  EXPECT_EQ(occupied, 0);
  // So does a reset to another order without a size; a given size wins.
  zero_sparse_hashm(A, 10);
  EXPECT_EQ(A.nel, 75000);
  zero_sparse_hashm(A, 10, 100);
  EXPECT_EQ(A.nel, 100);
}

TEST(HashMatrix, GrowthSizesFollowThe32BitProduct) {
  sparse_hashm A;
  zero_sparse_hashm(A, 2000);
  sparsetest::RefHash R(2000, 50000);
  std::string out = captured([&] {
    for (int j = 1; j <= 2000 && A.nel < 1281442; ++j)
      for (int i = 1; i <= j && A.nel < 1281442; ++i) {
        add_sparse_hashm(1.0, i, j, A);
        R.add(1.0, i, j);
      }
  });
  EXPECT_EQ(out,
            " hash matrix increased from 50000 to 75000\n"
            " hash matrix increased from 75000 to 112500\n"
            " hash matrix increased from 112500 to 168750\n"
            " hash matrix increased from 168750 to 253125\n"
            " hash matrix increased from 253125 to 379687\n"
            " hash matrix increased from 379687 to 569530\n"
            " hash matrix increased from 569530 to 854295\n"
            " hash matrix increased from 854295 to 1281442\n");
  // Keys taken column by column crowd one probe chain: the last growth comes
  // from a probe running out, at 80 % occupancy.
  EXPECT_EQ(A.filled, 687379);
  EXPECT_TRUE(sparsetest::same_table(A, R));
}

TEST(HashMatrix, RepeatedGrowthForOneKeyIsBounded) {
  // 5000 keys whose start slots form one probe chain in every table larger
  // than their hashes, and one more key with the chain's first hash: it can
  // never be placed.
  sparsetest::SettingsGuard guard;
  const int h0 = 433 * 1040 + 1039 * 1;  // also 433 * 1 + 1039 * 434
  sparse_hashm A;
  zero_sparse_hashm(A, 5000, 540000);
  add_sparse_hashm(1.0, 1040, 1, A, "f");
  ASSERT_FALSE(upper_storage);
  for (int k = 1; k < 5000; ++k) {
    const int h = h0 + 17 * k;
    int i = 1;
    while ((h - 433 * i) % 1039 != 0) ++i;
    add_sparse_hashm(1.0, i, (h - 433 * i) / 1039, A);
  }
  ASSERT_EQ(A.filled, 5000);
  ASSERT_EQ(A.nel, 540000);
  std::string msg;
  const std::string out = captured([&] { msg = stop_message([&] { add_sparse_hashm(1.0, 1, 434, A); }); });
  EXPECT_EQ(msg, " hash matrix: no free slot for element 1 434 after 5 growths of the table");
  EXPECT_EQ(out,
            " hash matrix increased from 540000 to 810000\n"
            " hash matrix increased from 810000 to 1215000\n"
            " hash matrix increased from 1215000 to 1822500\n"
            " hash matrix increased from 1822500 to 2733750\n"
            " hash matrix increased from 2733750 to 4100625\n");
}

TEST(HashMatrix, OverwriteAndItsLimits) {
  sparse_hashm A;
  zero_sparse_hashm(A, 5, 3);
  set_sparse_hashm(4.0, 1, 2, A);
  set_sparse_hashm(6.0, 1, 2, A);
  set_sparse_hashm(9.0, 2, 1, A);  // below the diagonal: nothing
  EXPECT_EQ(A.filled, 1);
  EXPECT_EQ(get_sparse_hashm(1, 2, A), 6.0);
  set_sparse_hashm(1.0, 1, 1, A);
  set_sparse_hashm(1.0, 2, 2, A);
  EXPECT_EQ(A.filled, 3);  // a full table: overwrite never grows
  EXPECT_EQ(A.nel, 3);
  EXPECT_EQ(stop_message([&] { set_sparse_hashm(1.0, 3, 3, A); }), " hash matrix too small");
  // An addition on the full table grows it.
  const std::string out = captured([&] { add_sparse_hashm(1.0, 3, 3, A); });
  EXPECT_EQ(out, " hash matrix increased from 3 to 4\n");
  EXPECT_EQ(A.filled, 4);
  EXPECT_EQ(get_sparse_hashm(3, 3, A), 1.0);
}

TEST(HashMatrix, TinyTablesStillGrow) {
  sparse_hashm A;
  zero_sparse_hashm(A, 4, 1);
  std::string out = captured([&] {
    for (int j = 1; j <= 4; ++j)
      for (int i = 1; i <= j; ++i) add_sparse_hashm(double(10 * i + j), i, j, A);
  });
  EXPECT_EQ(out.rfind(" hash matrix increased from 1 to 2\n", 0), 0u);
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= j; ++i) EXPECT_EQ(get_sparse_hashm(i, j, A), double(10 * i + j));
  EXPECT_EQ(stop_message([&] { zero_sparse_hashm(A, 4, 0); }),
            " zero_sparse_hashm: table size must be positive, not 0");
}

TEST(HashMatrix, StatusChecksAndRelease) {
  sparse_hashm A;
  EXPECT_EQ(stop_message([&] { add_sparse_hashm(1.0, 1, 1, A); }),
            " Structure sparse_hashm not ready; probably destroyed by solving");
  zero_sparse_hashm(A, 4);
  add_sparse_hashm(1.0, 3, 4, A);
  add_sparse_hashm(2.0, 1, 2, A);
  add_sparse_hashm(3.0, 2, 2, A);
  // Compacted and sorted as a solver leaves it.
  clusterr(A.x, A.nel, A.filled);
  sortqr(A.x, A.filled);
  A.status = 2;
  EXPECT_EQ(A.x(1).row, 1);
  EXPECT_EQ(A.x(2).row, 2);
  EXPECT_EQ(A.x(3).col, 4);
  EXPECT_EQ(stop_message([&] { add_sparse_hashm(1.0, 1, 1, A); }),
            " Structure sparse_hashm not ready; probably destroyed by solving");
  EXPECT_EQ(stop_message([&] { get_sparse_hashm(1, 2, A); }),
            " Structure sparse_hashm not ready; probably sorted");
  EXPECT_EQ(stop_message([&] { set_sparse_hashm(1.0, 1, 2, A); }),
            " Structure sparse_hashm not ready; probably sorted");
  // Scanning consumers still work on the sorted table.
  sparse_ija B;
  convert_hash_ija(B, A);
  EXPECT_EQ(get_sparse_ija(1, 2, B), 2.0);
  EXPECT_EQ(get_sparse_ija(3, 4, B), 1.0);

  init_sparse_hashm(A);
  EXPECT_EQ(A.n, 0);
  EXPECT_EQ(A.status, 0);
  EXPECT_FALSE(A.has_table());
  zero_sparse_hashm(A, 2);
  EXPECT_EQ(A.nel, default_hash_size);
  deall_sparse_hashm(A);
  EXPECT_EQ(A.nel, 0);
  EXPECT_EQ(A.filled, 0);
  EXPECT_FALSE(A.has_table());
}

TEST(HashMatrix, ZeroValuesKeepsKeysAndSlots) {
  sparse_hashm A;
  zero_sparse_hashm(A, 50);
  for (int i = 1; i <= 50; ++i) add_sparse_hashm(double(i), i, 51 - i > i ? 51 - i : i, A);
  const int filled = A.filled;
  const int s = hashvr_find(7, 44, A);
  zero_values_sparse_hashm(A);
  EXPECT_EQ(A.filled, filled);
  EXPECT_EQ(hashvr_find(7, 44, A), s);
  EXPECT_EQ(get_sparse_hashm(7, 44, A), 0.0);
  add_sparse_hashm(2.0, 7, 44, A);
  EXPECT_EQ(A.filled, filled);
  EXPECT_EQ(A.x(s).val, 2.0);
}
