// Very large arrays have their pages touched by a few threads before their
// own initialisation: whatever the size, around and above the point where
// that starts and with a last page only partly used, an array must come out
// whole, zero-filled, and keep what is written to its ends.
#include <gtest/gtest.h>

#include <cstdint>

#include "util/array.hpp"

namespace {

struct Slot {
  std::int32_t row = 0, col = 0;
  double val = 0;
};

constexpr long mib = 1L << 20;

TEST(ArrayPrefault, LargeArraysComeOutZeroAndWhole) {
  struct Case {
    const char* what;
    long bytes;
  };
  const Case cases[] = {
      {"below the threshold", 127 * mib},
      {"at the threshold", 128 * mib},
      {"two parts and a part page", 128 * mib + 4096 + 48},
      {"several parts", 300 * mib + 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const long n = c.bytes / static_cast<long>(sizeof(Slot));
    util::vec1<Slot> x(n);
    ASSERT_EQ(x.size(), n);
    long nonzero = 0;
    for (long i = 1; i <= n; ++i) nonzero += x(i).row != 0 || x(i).col != 0 || x(i).val != 0.0;
    EXPECT_EQ(nonzero, 0);
    x(1) = Slot{1, 2, 3.5};
    x(n) = Slot{4, 5, 6.5};
    EXPECT_EQ(x(1).col, 2);
    EXPECT_EQ(x(n).val, 6.5);
    // A second array of the same size (the memory of the first may come back).
    x.clear();
    util::vec1<Slot> y(n);
    EXPECT_EQ(y(n).row, 0);
    EXPECT_EQ(y(1).val, 0.0);
  }
}

}  // namespace
