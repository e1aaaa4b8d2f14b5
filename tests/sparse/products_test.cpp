#include <gtest/gtest.h>

#include "sparse/sparseop.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::stop_message;

namespace {

util::vec1<double> vec(std::initializer_list<double> v) {
  util::vec1<double> x(static_cast<long>(v.size()));
  long i = 1;
  for (double e : v) x(i++) = e;
  return x;
}

}  // namespace

TEST(Products, EmptyMatricesAndStoredZeros) {
  sparse_hashm H;
  zero_sparse_hashm(H, 0);
  util::vec1<double> none;
  EXPECT_EQ(mult_hashm_vec(H, none).size(), 0);
  sparse_ija B;
  convert_hash_ija(B, H);
  EXPECT_EQ(mult_ija_vec(B, none).size(), 0);
  densem D;
  zero_densem(D, 0);
  EXPECT_EQ(mult_densem_vec(D, none).size(), 0);
  EXPECT_EQ(mult_vec_densem(none, D).size(), 0);

  zero_sparse_hashm(H, 3);
  const auto u = vec({1, 2, 3});
  const auto y = mult_hashm_vec(H, u);
  ASSERT_EQ(y.size(), 3);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(y(i), 0.0);
  convert_hash_ija(B, H);
  const auto z = mult_ija_vec(B, u);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(z(i), 0.0);

  // A vector longer than the order is read at 1..n only; a shorter one stops.
  const auto w = mult_hashm_vec(H, vec({1, 2, 3, 4}));
  EXPECT_EQ(w.size(), 3);
  EXPECT_EQ(stop_message([&] { mult_hashm_vec(H, vec({1, 2})); }),
            " mult_hashm_vec: vector of length 2 shorter than the matrix order 3");
}

TEST(Products, OffDiagonalsCountForBothTriangles) {
  // (2 1 0; 1 3 4; 0 4 5) held once in each form.
  sparse_hashm H;
  zero_sparse_hashm(H, 3);
  add_sparse_hashm(2, 1, 1, H);
  add_sparse_hashm(1, 1, 2, H);
  add_sparse_hashm(3, 2, 2, H);
  add_sparse_hashm(4, 2, 3, H);
  add_sparse_hashm(5, 3, 3, H);
  sparse_ija B;
  convert_hash_ija(B, H);
  densem D;
  convert_hash_densem(D, H);
  const auto u = vec({1, -2, 0.5});
  const std::vector<double> expect = {0, 1 * 2 + 1 * -2, 1 * 1 + 3 * -2 + 4 * 0.5, 4 * -2 + 5 * 0.5};
  for (const auto& y : {mult_hashm_vec(H, u), mult_vec_hashm(u, H), mult_ija_vec(B, u),
                        mult_vec_ija(u, B), mult_densem_vec(D, u), mult_vec_densem(u, D)}) {
    ASSERT_EQ(y.size(), 3);
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(y(i), expect[i]) << i;
  }

  // An element stored below the diagonal changes nothing.
  sparsetest::SettingsGuard guard;
  add_sparse_hashm(100, 3, 1, H, "f");
  EXPECT_EQ(H.filled, 6);
  const auto y = mult_hashm_vec(H, u);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(y(i), expect[i]);
  B.ja(B.ia(3)) = 1;  // a compressed entry below the diagonal
  const auto z = mult_ija_vec(B, u);
  EXPECT_EQ(z(1), expect[1]);
  EXPECT_EQ(z(3), 4 * -2);
}

TEST(Products, DenseProductsAssumeNoSymmetry) {
  densem D;
  zero_densem(D, 2);
  set_densem(1, 1, 1, D);
  set_densem(2, 1, 2, D);
  set_densem(3, 2, 1, D);
  set_densem(4, 2, 2, D);
  const auto u = vec({1, 10});
  const auto r = mult_densem_vec(D, u);
  const auto l = mult_vec_densem(u, D);
  EXPECT_EQ(r(1), 21.0);
  EXPECT_EQ(r(2), 43.0);
  EXPECT_EQ(l(1), 31.0);
  EXPECT_EQ(l(2), 42.0);
}

TEST(Products, Scaling) {
  sparse_hashm H;
  zero_sparse_hashm(H, 4, 40);
  add_sparse_hashm(2, 1, 3, H);
  add_sparse_hashm(-1, 4, 4, H);
  const int s13 = hashvr_find(1, 3, H), s44 = hashvr_find(4, 4, H);
  mult_hashm_scal(H, 2.5);
  EXPECT_EQ(H.filled, 2);
  EXPECT_EQ(get_sparse_hashm(1, 3, H), 5.0);
  EXPECT_EQ(get_sparse_hashm(4, 4, H), -2.5);
  for (int k = 1; k <= H.nel; ++k) {
    if (k == s13 || k == s44) continue;
    EXPECT_EQ(H.x(k).row, 0);
    EXPECT_EQ(H.x(k).col, 0);
    EXPECT_EQ(H.x(k).val, 0.0);
  }
  EXPECT_EQ(H.x(s13).row, 1);
  EXPECT_EQ(H.x(s13).col, 3);

  sparse_ija B;
  convert_hash_ija(B, H);
  mult_ija_scal(B, -2);
  EXPECT_EQ(get_sparse_ija(1, 3, B), -10.0);
  EXPECT_EQ(get_sparse_ija(4, 4, B), 5.0);
  densem D;
  convert_ija_densem(D, B);
  mult_densem_scal(D, 0.5);
  EXPECT_EQ(get_densem(3, 1, D), -5.0);
  EXPECT_EQ(get_densem(4, 4, D), 2.5);
}
