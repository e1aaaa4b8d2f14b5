#include <gtest/gtest.h>

#include "util/array.hpp"

TEST(Arrays, OneBasedZeroFilledColumnMajor) {
  util::vec1<int> v(3);
  EXPECT_EQ(v(1), 0);
  v(3) = 7;
  EXPECT_EQ(v.data()[2], 7);
  util::vec1<double> z(0, 2);
  z(0) = 1.5;
  EXPECT_EQ(z.data()[0], 1.5);
  util::mat1<double> m(2, 3);
  m(2, 1) = 4;
  m(1, 2) = 5;
  EXPECT_EQ(m.data()[1], 4);  // down the column first
  EXPECT_EQ(m.data()[2], 5);
  util::arr3<float> a(2, 3, 4);
  a(2, 3, 4) = 9;
  EXPECT_EQ(a.data()[2 * 3 * 4 - 1], 9);
  a(1, 2, 1) = 3;
  EXPECT_EQ(a.data()[2], 3);
}

#ifdef VELMORAN_BOUNDS
TEST(ArraysDeathTest, OutOfRangeIsCaught) {
  util::vec1<int> v(3);
  EXPECT_DEATH(v(4) = 1, "out of range");
  util::mat1<int> m(2, 2);
  EXPECT_DEATH(m(0, 1) = 1, "out of range");
}
#endif
