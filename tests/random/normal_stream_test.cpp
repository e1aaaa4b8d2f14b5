// A long stream of standard normals pinned as a whole: every path of the
// deviate (the centre accepted at once, the wedge steps of the centre, the
// tail) occurs thousands of times in it, so any change to a value or to the
// number of uniforms a path takes shows here.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "random/rangen.hpp"

namespace {

struct StreamPrint {
  std::uint64_t hash = 1469598103934665603ull;  // FNV-1a over the bit patterns
  std::uint64_t uniforms = 0;
  long tail = 0, beyond_two = 0;
};

StreamPrint normals(rangen::i32 seed1, rangen::i32 seed2, int n) {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setall(seed1, seed2);
  rangen::setcgn(1);
  StreamPrint p;
  const std::uint64_t before = rangen::uniform_draws();
  for (int i = 0; i < n; ++i) {
    const float z = rangen::snorm();
    std::uint32_t b = 0;
    std::memcpy(&b, &z, sizeof b);
    p.hash = (p.hash ^ b) * 1099511628211ull;
    if (z > 2.153875f || z < -2.153875f) ++p.tail;
    if (z > 2.0f || z < -2.0f) ++p.beyond_two;
  }
  p.uniforms = rangen::uniform_draws() - before;
  return p;
}

TEST(NormalStream, LongStreamIsPinned) {
  const StreamPrint p = normals(20241, 7, 200000);
  EXPECT_EQ(p.hash, 5526855637479912405ull);
  EXPECT_EQ(p.uniforms, 246499u);
  // The tail beyond A(32) carries 1/32 of the first uniforms; |z| > 2 about 4.55 %.
  EXPECT_NEAR(static_cast<double>(p.tail) / 200000.0, 0.03125, 0.002);
  EXPECT_NEAR(static_cast<double>(p.beyond_two) / 200000.0, 0.0455, 0.002);
}

}  // namespace
