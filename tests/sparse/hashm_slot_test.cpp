// The addition that reports its slot: the same table as the plain addition,
// and the slot the element holds afterwards, across growths of the table.
#include <gtest/gtest.h>

#include <string>

#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;

namespace {

TEST(HashmSlot, SameTableAndTheElementsSlot) {
  sparse_hashm a, b;
  zero_sparse_hashm(a, 60, 5);
  zero_sparse_hashm(b, 60, 5);
  sparsetest::captured([&] {
    for (int k = 0; k < 400; ++k) {
      const int i = 1 + (k * 7) % 60, j = 1 + (k * 13) % 60;
      const double v = 0.25 * k - 3;
      add_sparse_hashm(v, i, j, a);
      const std::int32_t s = add_sparse_hashm_slot(v, i, j, b);
      if (j < i) {
        EXPECT_EQ(s, 0);
      } else {
        ASSERT_EQ(s, hashvr_find(i, j, b)) << k;
        EXPECT_EQ(b.x(s).row, i);
        EXPECT_EQ(b.x(s).col, j);
      }
    }
  });
  ASSERT_EQ(a.nel, b.nel);
  EXPECT_GT(a.nel, 5);
  for (int k = 1; k <= a.nel; ++k) {
    EXPECT_EQ(a.x(k).row, b.x(k).row);
    EXPECT_EQ(a.x(k).col, b.x(k).col);
    EXPECT_EQ(a.x(k).val, b.x(k).val);
  }
}

}  // namespace
