// The solve and generalised inverse of one factorisation must give exactly
// the numbers and messages of the two separate calls, at every order the
// kernels unroll (1 to 4) and beyond, for regular, singular and indefinite
// blocks stored with a leading dimension larger than their order.
#include <cstring>
#include <vector>

#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

namespace {

struct Case {
  const char* name;
  int n;
  std::vector<double> lower;  // rows of the lower triangle
};

// Column-major n by n block with leading dimension ld, symmetric.
std::vector<double> block_of(const Case& c, int ld) {
  std::vector<double> m(static_cast<std::size_t>(ld) * c.n, -7.0);
  std::size_t k = 0;
  for (int i = 0; i < c.n; ++i)
    for (int j = 0; j <= i; ++j) {
      m[i + j * ld] = c.lower[k];
      m[j + i * ld] = c.lower[k];
      ++k;
    }
  return m;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

using SolveInverse = DenseTest;

TEST_F(SolveInverse, OneFactorisationMatchesTheSeparateCalls) {
  const std::vector<Case> cases = {
      {"1x1", 1, {2.5}},
      {"1x1 zero", 1, {0.0}},
      {"1x1 negative", 1, {-3.0}},
      {"2x2", 2, {4.0, 1.3, 2.7}},
      {"2x2 singular", 2, {1.0, 1.0, 1.0}},
      {"2x2 indefinite", 2, {1.0, 2.0, 1.0}},
      {"3x3", 3, {3.1, 0.7, 2.2, -0.4, 0.9, 1.8}},
      {"3x3 dropped middle", 3, {1.0, 1.0, 1.0, 0.5, 0.5, 2.0}},
      {"4x4", 4, {5.0, 1.0, 4.0, 0.5, -1.0, 3.0, 0.2, 0.3, 0.1, 2.0}},
      {"5x5", 5, {6, 1, 5, 0.5, 1, 4, 0.2, 0.3, 0.4, 3, 0.1, 0.2, 0.3, 0.4, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int ld = c.n + 2, ldg = c.n + 1;
    const std::vector<double> m = block_of(c, ld);
    std::vector<double> rhs(static_cast<std::size_t>(c.n));
    for (int i = 0; i < c.n; ++i) rhs[i] = 1.0 + 0.37 * i;

    std::vector<double> x1(rhs.size(), 9.0), g1(static_cast<std::size_t>(ldg) * c.n, 9.0);
    const std::string out1 = output_of([&] {
      d::fsolvs8(m.data(), c.n, ld, rhs.data(), x1.data());
      d::finvcs8(m.data(), c.n, ld, g1.data(), ldg);
    });
    std::vector<double> x2(rhs.size(), 9.0), g2(g1.size(), 9.0);
    const std::string out2 = output_of(
        [&] { d::fsolvinvs8(m.data(), c.n, ld, rhs.data(), x2.data(), g2.data(), ldg); });
    EXPECT_TRUE(same_bits(x1, x2));
    EXPECT_TRUE(same_bits(g1, g2));
    EXPECT_EQ(out1, out2);
  }
}
