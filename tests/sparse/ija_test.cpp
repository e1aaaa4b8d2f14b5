#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::captured;
using sparsetest::stop_message;

namespace {

template <class T>
std::vector<T> values(const util::vec1<T>& v) {
  return std::vector<T>(v.data(), v.data() + v.size());
}

}  // namespace

TEST(CompressedRows, ConversionOfOneOffDiagonalElement) {
  sparse_hashm A;
  zero_sparse_hashm(A, 3);
  add_sparse_hashm(5.0, 1, 3, A);
  sparse_ija B;
  convert_hash_ija(B, A);
  EXPECT_EQ(B.n, 3);
  EXPECT_EQ(B.nel, 4);
  EXPECT_EQ(values(B.ia), (std::vector<int>{1, 3, 4, 5}));
  EXPECT_EQ(values(B.ja), (std::vector<int>{1, 3, 2, 3}));
  EXPECT_EQ(values(B.a), (std::vector<double>{0, 5, 0, 0}));
  EXPECT_EQ(get_sparse_ija(3, 1, B), 0.0);
  EXPECT_EQ(get_sparse_ija(1, 3, B), 5.0);
  EXPECT_EQ(get_sparse_ija(2, 3, B), 0.0);

  // Back to a hash: the same element plus a zero key on every diagonal.
  sparse_hashm C;
  convert_ija_hash(C, B);
  EXPECT_EQ(C.filled, B.nel);
  EXPECT_EQ(get_sparse_hashm(1, 3, C), 5.0);
  for (int i = 1; i <= 3; ++i) EXPECT_GT(hashvr_find(i, i, C), 0);
  EXPECT_EQ(hashvr_find(1, 2, C), 0);

  // A conversion replaces what B held.
  sparse_hashm E;
  zero_sparse_hashm(E, 2);
  convert_hash_ija(B, E);
  EXPECT_EQ(B.n, 2);
  EXPECT_EQ(B.nel, 2);
  EXPECT_EQ(values(B.ia), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(values(B.ja), (std::vector<int>{1, 2}));
  EXPECT_EQ(values(B.a), (std::vector<double>{0, 0}));
}

TEST(CompressedRows, RowsFollowSlotOrderAfterTheirDiagonal) {
  sparse_hashm A;
  zero_sparse_hashm(A, 10, 100);
  // In 100 slots (1,3), (1,9), (1,4) start at slots 51, 85, 90.
  add_sparse_hashm(4.0, 1, 4, A);
  add_sparse_hashm(9.0, 1, 9, A);
  add_sparse_hashm(3.0, 1, 3, A);
  add_sparse_hashm(1.0, 1, 1, A);
  add_sparse_hashm(7.0, 2, 7, A);
  sparse_ija B;
  convert_hash_ija(B, A);
  EXPECT_EQ(B.nel, 10 + 4);
  EXPECT_EQ(B.ia(1), 1);
  EXPECT_EQ(B.ia(2), 5);
  EXPECT_EQ(B.ia(3), 7);
  EXPECT_EQ((std::vector<int>(B.ja.data(), B.ja.data() + 6)), (std::vector<int>{1, 3, 9, 4, 2, 7}));
  EXPECT_EQ((std::vector<double>(B.a.data(), B.a.data() + 6)), (std::vector<double>{1, 3, 9, 4, 0, 7}));

  // Both triangles: row j also receives (j, i), after its diagonal.
  sparsetest::SettingsGuard guard;
  sparse_ija F;
  convert_hash_ija_general(F, A, 1);
  EXPECT_EQ(hash_ija_conversion_type, 1);
  EXPECT_EQ(F.nel, 10 + 8);
  EXPECT_EQ(get_sparse_ija(9, 1, F), 9.0);
  EXPECT_EQ(get_sparse_ija(7, 2, F), 7.0);
  EXPECT_EQ(F.ja(F.ia(9)), 9);
  EXPECT_EQ(F.ja(F.ia(9) + 1), 1);
  // The type is retained by the plain conversion.
  sparse_ija G;
  convert_hash_ija(G, A);
  EXPECT_EQ(G.nel, 18);
}

TEST(CompressedRows, EmptyHashAndResets) {
  sparse_hashm A;
  zero_sparse_hashm(A, 4);
  sparse_ija B;
  EXPECT_FALSE(B.has_arrays());
  convert_hash_ija(B, A);
  EXPECT_EQ(B.nel, 4);
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(B.ja(B.ia(i)), i);
    EXPECT_EQ(B.a(B.ia(i)), 0.0);
  }
  zero_sparse_ija(B);
  EXPECT_EQ(B.n, 0);
  EXPECT_FALSE(B.has_arrays());
  zero_sparse_ija(B);  // nothing held: nothing happens
  convert_hash_ija(B, A);
  deall_sparse_ija(B);
  EXPECT_EQ(B.nel, 0);
  EXPECT_FALSE(B.has_arrays());
}

TEST(CompressedRows, KeysOutsideTheOrderStopTheConversion) {
  sparse_hashm A;
  zero_sparse_hashm(A, 5);
  add_sparse_hashm(1.0, 2, 9, A);  // the hash itself keeps it
  sparse_ija B;
  EXPECT_EQ(stop_message([&] { convert_hash_ija(B, A); }),
            " convert_hash_ija: element 2 9 outside a matrix of order 5");
  densem D;
  EXPECT_EQ(stop_message([&] { convert_hash_densem(D, A); }),
            " convert_hash_densem: element 2 9 outside a matrix of order 5");
}

TEST(CompressedRows, OlderConversionDropsKeysOverTheOrder) {
  sparse_hashm A;
  zero_sparse_hashm(A, 5);
  add_sparse_hashm(1.0, 2, 9, A);
  add_sparse_hashm(2.0, 1, 4, A);
  add_sparse_hashm(3.0, 4, 4, A);
  sparse_ija B;
  const std::string out = captured([&] { convert_hash_ija_old(B, A); });
  EXPECT_EQ(out, " 1 elements in HASH->IJA conversion had index(es) over 5\n");
  EXPECT_EQ(A.filled, 7);  // five diagonals, (1,4) and the dropped (2,9)
  EXPECT_EQ(B.nel, 6);
  EXPECT_EQ(B.ia(6), 7);
  EXPECT_EQ(get_sparse_ija(1, 4, B), 2.0);
  EXPECT_EQ(get_sparse_ija(4, 4, B), 3.0);
  EXPECT_EQ(get_sparse_ija(2, 2, B), 0.0);
  EXPECT_EQ(B.ia(3) - B.ia(2), 1);  // (2,9) left out
  // Row 1 in slot order: (1,1) starts at slot 1473, (1,4) at 4590.
  EXPECT_EQ(B.ja(1), 1);
  EXPECT_EQ(B.ja(2), 4);

  A.status = 2;
  EXPECT_EQ(stop_message([&] { convert_hash_ija_old(B, A); }),
            " Conversion from HASH to IJA must be done before solving with the hash matrix");

  util::vec1<hash_slot> x(4);
  x(1) = {1, 1, 1.0};
  x(3) = {1, 2, 1.0};
  x(4) = {2, 2, 1.0};
  util::vec1<int> ia(3), ja(2);
  util::vec1<double> a(2);
  EXPECT_EQ(stop_message([&] { hashia1(x, 4, 2, ia, ja, a, 2); }),
            " Too small parameter m in hashia:should be > 4");
}

TEST(CompressedRows, CompactionAndSort) {
  util::vec1<hash_slot> x(4);
  x(2) = {2, 2, 1.0};
  x(4) = {1, 3, 2.0};
  clusterr(x, 4, 2);
  EXPECT_EQ(x(1).row, 2);
  EXPECT_EQ(x(2).col, 3);
  EXPECT_EQ(x(2).val, 2.0);
  EXPECT_EQ(x(3).row, 0);
  EXPECT_EQ(x(4).row, 0);
  EXPECT_EQ(x(4).val, 0.0);
  sortqr(x, 2);
  EXPECT_EQ(x(1).row, 1);
  EXPECT_EQ(x(1).col, 3);
  EXPECT_EQ(x(2).row, 2);

  // Large inputs in random, sorted and reversed order.
  std::mt19937 gen(7);
  for (int pattern = 0; pattern < 3; ++pattern) {
    const int n = 200000;
    std::vector<hash_slot> keys;
    for (int i = 1; keys.size() < std::size_t(n); ++i)
      for (int j = i; j <= i + 3; ++j) keys.push_back({i, j, double(i * 10 + j)});
    keys.resize(n);
    if (pattern == 0) std::shuffle(keys.begin(), keys.end(), gen);
    if (pattern == 2) std::reverse(keys.begin(), keys.end());
    util::vec1<hash_slot> t(n + 5);
    for (int k = 0; k < n; ++k) t(k + 1) = keys[k];
    sortqr(t, n);
    bool ordered = true;
    for (int k = 1; k < n; ++k) {
      const hash_slot &a = t(k), &b = t(k + 1);
      ordered = ordered && (a.row < b.row || (a.row == b.row && a.col < b.col));
      ordered = ordered && a.val == a.row * 10 + a.col;
    }
    EXPECT_TRUE(ordered) << "pattern " << pattern;
    EXPECT_EQ(t(n + 1).row, 0);
  }
}
