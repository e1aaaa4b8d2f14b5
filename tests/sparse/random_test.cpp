// A matrix built element by element with repeated additions, checked in every
// form against a dense reference and against the plain reference store.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "sparse/sparseop.hpp"
#include "support.hpp"

using namespace sparsem;

namespace {

struct Contribution {
  int i, j;
  double v;
};

std::vector<Contribution> random_contributions(int n, int count, unsigned seed) {
  std::mt19937 gen(seed);
  std::uniform_int_distribution<int> idx(1, n);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  std::vector<Contribution> c;
  for (int k = 0; k < count; ++k) {
    int i = idx(gen), j = idx(gen);
    // Favour a band and the diagonal so that keys repeat often.
    if (k % 3 == 0) j = std::min(n, i + (k % 4));
    c.push_back({i, j, val(gen)});
  }
  return c;
}

void expect_near_vec(const util::vec1<double>& y, const std::vector<double>& ref, const char* what) {
  ASSERT_EQ(y.size(), static_cast<long>(ref.size()) - 1) << what;
  for (long i = 1; i <= y.size(); ++i) {
    EXPECT_NEAR(y(i), ref[i], 1e-11 * (1 + std::fabs(ref[i]))) << what << " row " << i;
  }
}

}  // namespace

TEST(RandomMatrix, EveryFormAgreesWithADenseReference) {
  for (unsigned seed : {1u, 2u, 3u}) {
    const int n = 40 + 10 * int(seed);
    const auto contribs = random_contributions(n, 6000, seed);
    sparse_hashm A;
    zero_sparse_hashm(A, n, 64);
    sparsetest::RefHash R(n, 64);
    std::vector<double> up(static_cast<std::size_t>((n + 1) * (n + 1)), 0.0);  // up[i*(n+1)+j], i <= j
    auto U = [&](int i, int j) -> double& { return up[static_cast<std::size_t>(i * (n + 1) + j)]; };
    testing::internal::CaptureStdout();
    for (const auto& c : contribs) {
      add_sparse_hashm(c.v, c.i, c.j, A);
      R.add(c.v, c.i, c.j);
      if (c.i <= c.j) U(c.i, c.j) += c.v;
    }
    const std::string growth = testing::internal::GetCapturedStdout();
    EXPECT_NE(growth.find(" hash matrix increased from 64 to 96\n"), std::string::npos);
    EXPECT_TRUE(sparsetest::same_table(A, R)) << "seed " << seed;

    // Keys: every upper pair that received an addition.
    std::set<std::pair<int, int>> keys;
    for (const auto& c : contribs)
      if (c.i <= c.j) keys.insert({c.i, c.j});
    EXPECT_EQ(A.filled, static_cast<int>(keys.size()));

    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) ASSERT_EQ(get_sparse_hashm(i, j, A), i <= j ? U(i, j) : 0.0);

    // Dense form: each stored element at (i,j) and (j,i).
    densem D;
    convert_hash_densem(D, A);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) ASSERT_EQ(get_densem(i, j, D), i <= j ? U(i, j) : U(j, i));

    // Compressed rows: diagonal first, then the row's keys in slot order.
    sparse_ija B;
    convert_hash_ija(B, A);
    int offdiag = 0;
    for (const auto& k : keys) offdiag += k.first != k.second;
    EXPECT_EQ(B.nel, n + offdiag);
    EXPECT_EQ(B.ia(n + 1), B.nel + 1);
    for (int i = 1; i <= n; ++i) {
      ASSERT_EQ(B.ja(B.ia(i)), i);
      EXPECT_EQ(B.a(B.ia(i)), U(i, i));
      int last_slot = 0;
      for (int k = B.ia(i) + 1; k < B.ia(i + 1); ++k) {
        const int j = B.ja(k);
        ASSERT_GT(j, i);
        EXPECT_EQ(B.a(k), U(i, j));
        const int slot = hashvr_find(i, j, A);
        EXPECT_GT(slot, last_slot);
        last_slot = slot;
      }
    }
    densem D2;
    convert_ija_densem(D2, B);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) ASSERT_EQ(get_densem(i, j, D2), get_densem(i, j, D));

    // Back to a hash laid out by the rows, then a map from entries to slots
    // refreshed after the values are rebuilt, as the sampler does.
    sparse_hashm C;
    testing::internal::CaptureStdout();
    convert_ija_hash(C, B);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(C.filled, B.nel);
    for (int i = 1; i <= n; ++i)
      for (int j = i; j <= n; ++j) ASSERT_EQ(get_sparse_hashm(i, j, C), U(i, j));
    std::vector<int> map(static_cast<std::size_t>(B.nel) + 1);
    for (int i = 1; i <= n; ++i)
      for (int k = B.ia(i); k < B.ia(i + 1); ++k) {
        map[k] = hashvr(i, B.ja(k), C, 0);
        ASSERT_GT(map[k], 0);
      }
    zero_values_sparse_hashm(C);
    for (const auto& c : contribs) add_sparse_hashm(2 * c.v, c.i, c.j, C);
    EXPECT_EQ(C.filled, B.nel);
    for (int k = 1; k <= B.nel; ++k) B.a(k) = C.x(map[k]).val;
    for (int i = 1; i <= n; ++i)
      for (int k = B.ia(i); k < B.ia(i + 1); ++k) ASSERT_EQ(B.a(k), 2 * U(i, B.ja(k)));
    mult_ija_scal(B, 0.5);

    // Products against the dense reference.
    std::mt19937 gen(seed + 100);
    std::uniform_real_distribution<double> val(-2.0, 2.0);
    util::vec1<double> u(n);
    for (int i = 1; i <= n; ++i) u(i) = val(gen);
    std::vector<double> ref(static_cast<std::size_t>(n) + 1, 0.0);
    for (int i = 1; i <= n; ++i) {
      long double s = 0;
      for (int j = 1; j <= n; ++j) s += static_cast<long double>(i <= j ? U(i, j) : U(j, i)) * u(j);
      ref[i] = static_cast<double>(s);
    }
    expect_near_vec(mult_hashm_vec(A, u), ref, "hash");
    expect_near_vec(mult_vec_hashm(u, A), ref, "hash left");
    expect_near_vec(mult_ija_vec(B, u), ref, "ija");
    expect_near_vec(mult_densem_vec(D, u), ref, "dense");
    expect_near_vec(mult_vec_densem(u, D), ref, "dense left");
    // The refreshed hash has the same product as the original.
    mult_hashm_scal(C, 0.5);
    expect_near_vec(mult_hashm_vec(C, u), ref, "rebuilt hash");

    // Dense back to the sparse forms.
    sparse_ija E;
    convert_densem_ija(E, D);
    for (int i = 1; i <= n; ++i)
      for (int j = i; j <= n; ++j) ASSERT_EQ(get_sparse_ija(i, j, E), U(i, j));
    sparse_hashm F;
    convert_densem_hashm(F, D);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) ASSERT_EQ(get_sparse_hashm(i, j, F), i <= j ? U(i, j) : 0.0);
  }
}
