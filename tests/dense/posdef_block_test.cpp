// The repair on a block of a larger array: the same numbers, messages and
// states as on a matrix of its own.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

namespace {

const char* kMes = "    Matrix not positive definite: corrected";

// x as the leading block of an array with leading dimension ld, the rest
// filled with a marker that must stay.
std::vector<double> embedded(const util::mat1<double>& x, int ld) {
  const long n = x.rows();
  std::vector<double> a(static_cast<std::size_t>(ld * n), -77.0);
  for (long j = 1; j <= n; ++j)
    for (long i = 1; i <= n; ++i) a[static_cast<std::size_t>((i - 1) + (j - 1) * ld)] = x(i, j);
  return a;
}

TEST(PosDefBlock, SameAsTheMatrixFormInEveryState) {
  const std::vector<util::mat1<double>> cases = {
      rows({{2, 0.5}, {0.5, 1}}),                                 // unchanged
      rows({{1, 1, 0.5}, {1, 1, 0.5}, {0.5, 0.5, 0.25}}),         // raised
      rows({{1, 0, 2}, {0, 0, 0}, {2, 0, 1}}),                    // zero row, raised inside
      rows({{-1, 0}, {0, -2}}),                                   // nothing positive
      rows({{1, std::nan("")}, {std::nan(""), 1}}),               // not a number
  };
  for (const auto& x : cases) {
    const int n = static_cast<int>(x.rows()), ld = n + 3;
    util::mat1<double> m = x;
    std::vector<double> a = embedded(x, ld);
    int fix_m = 5, fix_a = 5;
    d::PosDef rm, ra;
    const std::string out_m = output_of([&] { rm = d::pos_def(m, kMes, 1e-4, &fix_m); });
    const std::string out_a = output_of([&] { ra = d::pos_def(a.data(), n, ld, kMes, 1e-4, &fix_a); });
    EXPECT_EQ(ra.state, rm.state);
    EXPECT_EQ(ra.info, rm.info);
    EXPECT_EQ(fix_a, fix_m);
    EXPECT_EQ(out_a, out_m);
    for (int j = 1; j <= n; ++j)
      for (int i = 1; i <= ld; ++i) {
        const double got = a[static_cast<std::size_t>((i - 1) + (j - 1) * ld)];
        if (i > n) {
          EXPECT_EQ(got, -77.0);
          continue;
        }
        const double want = m(i, j);
        EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << i << "," << j;
      }
  }
}

}  // namespace
