// The inverse-Wishart draw on a block of a larger array: the same deviates
// taken and the same numbers as the matrix form.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "random/prob.hpp"
#include "rangen_support.hpp"

namespace {

TEST(InvWishartBlock, SameDrawAsTheMatrixForm) {
  for (int n : {1, 3, 6}) {
    util::mat1<double> s(n, n);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) s(i, j) = i == j ? 2.0 + 0.5 * i : 0.3 / (i + j);
    const int ld = n + 2, ldw = n + 1;
    std::vector<double> a(static_cast<std::size_t>(ld * n), 9.0);
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= n; ++i) a[static_cast<std::size_t>((i - 1) + (j - 1) * ld)] = s(i, j);
    for (int df : {n, n + 7}) {
      rgtest::default_stream();
      const util::mat1<double> want = prob::gen_invwishart_multi(s, df);
      const float after_m = rangen::ranf();
      rgtest::default_stream();
      std::vector<double> w(static_cast<std::size_t>(ldw * n), -5.0);
      prob::gen_invwishart_multi(a.data(), n, ld, df, w.data(), ldw);
      EXPECT_EQ(rangen::ranf(), after_m) << "the same deviates are taken";
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= ldw; ++i) {
          const double got = w[static_cast<std::size_t>((i - 1) + (j - 1) * ldw)];
          if (i > n) {
            EXPECT_EQ(got, -5.0);
            continue;
          }
          EXPECT_EQ(std::memcmp(&got, &want(i, j), sizeof got), 0) << n << " " << df << ": " << i << "," << j;
        }
    }
  }
  // Too few degrees of freedom stop the draw as they stop the matrix form.
  util::mat1<double> s(3, 3);
  std::vector<double> w(9);
  const std::string m = rgtest::expect_stop([&] { prob::gen_invwishart_multi(s, 2); }).what();
  const std::string r =
      rgtest::expect_stop([&] { prob::gen_invwishart_multi(s.data(), 3, 3, 2, w.data(), 3); }).what();
  EXPECT_EQ(r, m);
}

}  // namespace
