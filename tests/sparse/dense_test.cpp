#include <gtest/gtest.h>

#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::stop_message;

TEST(DenseCompanions, PackedPositionsAndAccess) {
  EXPECT_EQ(pos_symm(1, 1, 3), 1);
  EXPECT_EQ(pos_symm(1, 3, 3), 3);
  EXPECT_EQ(pos_symm(2, 2, 3), 4);
  EXPECT_EQ(pos_symm(3, 2, 3), 5);
  EXPECT_EQ(pos_symm(3, 3, 3), 6);
  EXPECT_EQ(pos_symm(5, 5, 5), 15);
  // Large orders: positions past 2^31 / n do not overflow on the way.
  EXPECT_EQ(pos_symm(60000, 60000, 60000), 60000LL * 60001 / 2);

  dense_symm A;
  zero_dense_symm(A, 3);
  set_dense_symm(7.0, 2, 3, A);
  add_dense_symm(1.0, 2, 3, A);
  set_dense_symm(9.0, 3, 2, A);  // outside the stored triangle: nothing
  add_dense_symm(9.0, 3, 2, A);
  EXPECT_EQ(get_dense_symm(2, 3, A), 8.0);
  EXPECT_EQ(get_dense_symm(3, 2, A), 0.0);
  EXPECT_EQ(A.x(5), 8.0);
  double sum = 0;
  for (int k = 1; k <= 6; ++k) sum += A.x(k);
  EXPECT_EQ(sum, 8.0);

  // Packed 4, 1, 9 is the full matrix (4 1; 1 9).
  dense_symm P;
  zero_dense_symm(P, 2);
  P.x(1) = 4;
  P.x(2) = 1;
  P.x(3) = 9;
  densem F;
  convert_half_dense(F, P);
  EXPECT_EQ(F.n, 2);
  EXPECT_EQ(get_densem(1, 1, F), 4.0);
  EXPECT_EQ(get_densem(1, 2, F), 1.0);
  EXPECT_EQ(get_densem(2, 1, F), 1.0);
  EXPECT_EQ(get_densem(2, 2, F), 9.0);

  init_dense_symm(P);
  EXPECT_EQ(P.n, 0);
  EXPECT_TRUE(P.x.empty());
}

TEST(DenseCompanions, ResetsKeepOrReplaceTheArray) {
  densem A;
  zero_densem(A, 3);
  set_densem(2.0, 1, 3, A);
  add_densem(1.5, 1, 3, A);
  EXPECT_EQ(get_densem(1, 3, A), 3.5);
  const double* before = A.x.data();
  zero_densem(A, 3);
  EXPECT_EQ(A.x.data(), before);
  EXPECT_EQ(get_densem(1, 3, A), 0.0);
  zero_densem(A, 4);
  EXPECT_EQ(A.n, 4);
  EXPECT_EQ(A.x.rows(), 4);
  EXPECT_EQ(A.x.cols(), 4);
  EXPECT_EQ(get_densem(4, 4, A), 0.0);
  deall_densem(A);
  EXPECT_EQ(A.n, 0);
  EXPECT_EQ(A.x.rows(), 0);

  dense_symm S;
  zero_dense_symm(S, 3);
  S.x(6) = 1;
  const double* sb = S.x.data();
  zero_dense_symm(S, 3);
  EXPECT_EQ(S.x.data(), sb);
  EXPECT_EQ(S.x(6), 0.0);
  zero_dense_symm(S, 4);
  EXPECT_EQ(S.x.size(), 10);
  deall_dense_symm(S);
  EXPECT_EQ(S.n, 0);
}

TEST(DenseCompanions, LinkedRowsReset) {
  sparse_ll L;
  zero_ll(L, 3);
  EXPECT_EQ(L.n, 3);
  ASSERT_EQ(L.rows.size(), 3u);
  L.rows[1].val = 2.5f;
  L.rows[1].next = std::make_unique<ll_node>(ll_node{5, 1.5f, nullptr});
  zero_ll(L, 3);
  EXPECT_EQ(L.rows[1].val, 0.0f);
  EXPECT_EQ(L.rows[1].next->val, 0.0f);
  EXPECT_EQ(L.rows[1].next->col, 5);
  EXPECT_EQ(stop_message([&] { zero_ll(L, 4); }), " reset in sparse_ll not yet implemented");
  init_ll(L);
  EXPECT_EQ(L.n, 0);
  zero_ll(L, 4);
  EXPECT_EQ(L.n, 4);
}

TEST(DenseCompanions, ConversionsWithTheSparseForms) {
  // Only (3,1) non-zero: three zero diagonals, and a hash with no keys.
  densem A;
  zero_densem(A, 3);
  set_densem(6.0, 3, 1, A);
  sparse_ija B;
  convert_densem_ija(B, A);
  EXPECT_EQ(B.nel, 3);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(B.ja(B.ia(i)), i);
    EXPECT_EQ(B.a(B.ia(i)), 0.0);
  }
  sparse_hashm H;
  convert_densem_hashm(H, A);
  EXPECT_EQ(H.filled, 0);
  EXPECT_EQ(H.nel, default_hash_size);

  // Upper elements in column order after the diagonal; the lower triangle
  // is ignored.
  densem C;
  zero_densem(C, 3);
  set_densem(1.0, 1, 1, C);
  set_densem(4.0, 1, 3, C);
  set_densem(2.0, 1, 2, C);
  set_densem(8.0, 3, 2, C);
  convert_densem_ija(B, C);
  EXPECT_EQ(B.nel, 5);
  EXPECT_EQ(B.ja(2), 2);
  EXPECT_EQ(B.ja(3), 3);
  EXPECT_EQ(B.a(3), 4.0);
  densem D;
  convert_ija_densem(D, B);
  EXPECT_EQ(get_densem(2, 1, D), 2.0);
  EXPECT_EQ(get_densem(3, 1, D), 4.0);
  EXPECT_EQ(get_densem(3, 2, D), 0.0);
  EXPECT_EQ(get_densem(2, 3, D), 0.0);

  // Dense to hash keeps the upper triangle; a hash made with upper storage
  // off places and mirrors its lower elements when made dense.
  convert_densem_hashm(H, C);
  EXPECT_EQ(H.filled, 3);
  EXPECT_EQ(get_sparse_hashm(1, 3, H), 4.0);
  sparsetest::SettingsGuard guard;
  upper_storage = false;
  convert_densem_hashm(H, C);
  EXPECT_EQ(H.filled, 4);
  convert_hash_densem(D, H);
  EXPECT_EQ(get_densem(3, 2, D), 8.0);
  EXPECT_EQ(get_densem(2, 3, D), 8.0);
  EXPECT_EQ(get_densem(1, 3, D), 4.0);
  EXPECT_EQ(get_densem(3, 1, D), 4.0);
  EXPECT_EQ(get_densem(1, 1, D), 1.0);
  // The upper-triangle conversion leaves the lower element out; every
  // entry it makes is set.
  convert_hash_ija(B, H);
  EXPECT_EQ(B.nel, 5);
  EXPECT_EQ(get_sparse_ija(3, 2, B), 0.0);
  EXPECT_EQ(get_sparse_ija(2, 3, B), 0.0);
  EXPECT_EQ(get_sparse_ija(1, 3, B), 4.0);
}
