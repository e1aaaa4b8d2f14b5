// The rank of a matrix taken row by row: against a dense elimination with
// full pivoting on small integer matrices, and a dependence that 32-bit data
// leave only nearly exact.
#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "sparse/row_rank.hpp"
#include "support.hpp"

namespace {

using sparsetest::dense_rank;
using Row = std::vector<std::pair<int, double>>;

TEST(RowEchelon, RankOfSmallIntegerMatricesAsDenseElimination) {
  unsigned x = 12345;
  auto next = [&x](int n) {
    x = x * 1103515245u + 12345u;
    return static_cast<int>((x >> 16) % static_cast<unsigned>(n));
  };
  sparsem::RowEchelon r;
  for (int trial = 0; trial < 300; ++trial) {
    const int nr = 1 + next(8), nc = 1 + next(6);
    std::vector<std::vector<double>> a(static_cast<std::size_t>(nr), std::vector<double>(static_cast<std::size_t>(nc)));
    for (auto& row : a)
      for (auto& v : row) v = next(3) == 0 ? 0.0 : next(5) - 2;
    // Some rows made sums of earlier ones.
    for (std::size_t i = 2; i < a.size(); ++i)
      if (next(3) == 0)
        for (std::size_t j = 0; j < a[i].size(); ++j) a[i][j] = a[i - 1][j] - 2 * a[i - 2][j];
    sparsem::start_rows(r, nc);
    for (const auto& row : a) {
      Row sparse;
      for (int j = 0; j < nc; ++j)
        if (row[static_cast<std::size_t>(j)] != 0) sparse.emplace_back(j, row[static_cast<std::size_t>(j)]);
      sparsem::add_row(r, sparse);
    }
    ASSERT_EQ(r.rank, dense_rank(a)) << trial;
    ASSERT_EQ(r.rank + r.dependent, nr) << trial;
  }
}

TEST(RowEchelon, ColumnsProportionalIn32BitDataAreDependent) {
  // A covariable and the same in other units (12 times it), each read as a
  // 32-bit real: the second column is 12 times the first only to within
  // the rounding of the data.
  sparsem::RowEchelon r;
  sparsem::start_rows(r, 2);
  int kept = 0;
  for (double v : {0.1, 0.7, 1.3, 2.9, 3.3}) {
    const double a = static_cast<float>(v), b = static_cast<float>(12 * v);
    kept += sparsem::add_row(r, Row{{0, a}, {1, b}});
  }
  EXPECT_EQ(kept, 1);
  // A column that differs in the third digit is not.
  EXPECT_TRUE(sparsem::add_row(r, Row{{0, 1.0}, {1, 12.01}}));
}

}  // namespace
