// The multivariate normal deviate of orders 1 to 4 runs its own unrolled
// code; it must give exactly what the general route gives: the normals
// first, the factor of the covariance by the dense kit, x = mean + L z.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "rangen_support.hpp"

namespace {

struct Drawn {
  std::vector<double> x;
  std::string out;
  rangen::i32 seed1 = 0, seed2 = 0;
};

Drawn drawn(const std::function<void(double*)>& draw, int n) {
  rgtest::default_stream();
  rangen::setall(97531, 86420);
  Drawn d;
  d.x.assign(static_cast<std::size_t>(n), -1.0);
  testing::internal::CaptureStdout();
  draw(d.x.data());
  std::fflush(stdout);
  d.out = testing::internal::GetCapturedStdout();
  rangen::getsd(d.seed1, d.seed2);
  return d;
}

// The general route, step by step.
void reference(const double* mean, const double* var, int n, int ldv, double* x) {
  std::vector<double> z(static_cast<std::size_t>(n)), l(static_cast<std::size_t>(n * n));
  for (int i = 0; i < n; ++i) z[i] = rangen::snorm();
  denseop::fchols8(var, n, ldv, l.data(), n);
  std::vector<double> y(static_cast<std::size_t>(n), 0.0);
  for (int j = 0; j < n; ++j)
    for (int i = j; i < n; ++i) y[i] += l[i + j * n] * z[j];
  for (int i = 0; i < n; ++i) x[i] = mean[i] + y[i];
}

// Bit for bit; two NaNs match whatever their signs and payloads.
bool same(const std::vector<double>& a, const std::vector<double>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::isnan(a[i]) && std::isnan(b[i])) continue;
    if (std::memcmp(&a[i], &b[i], sizeof(double)) != 0) return false;
  }
  return a.size() == b.size();
}

constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

}  // namespace

TEST(NormalBlock, SmallOrdersMatchTheGeneralRoute) {
  struct Case {
    const char* name;
    int n;
    std::vector<double> lower;  // rows of the lower triangle
  };
  const std::vector<Case> cases = {
      {"1", 1, {2.25}},
      {"1 zero", 1, {0.0}},
      {"1 negative", 1, {-1.0}},
      {"1 not a number", 1, {not_a_number}},
      {"2", 2, {4.0, 1.2, 2.0}},
      {"2 singular", 2, {1.0, 1.0, 1.0}},
      {"2 indefinite", 2, {1.0, 3.0, 1.0}},
      {"2 huge", 2, {4e300, 1e300, 2e300}},
      {"3", 3, {3.0, 0.5, 2.0, -0.3, 0.4, 1.5}},
      {"3 dropped middle", 3, {1.0, 1.0, 1.0, 0.5, 0.5, 2.0}},
      {"3 tiny", 3, {3e-300, 5e-301, 2e-300, -3e-301, 4e-301, 1.5e-300}},
      {"4", 4, {5.0, 1.0, 4.0, 0.5, -1.0, 3.0, 0.2, 0.3, 0.1, 2.0}},
      {"4 negative last", 4, {1, 0, 1, 0, 0, 1, 0, 0, 0, -2}},
  };
  denseop::denseop_tol = 1e-9;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int ld = c.n + 2;
    std::vector<double> var(static_cast<std::size_t>(ld * c.n), 99.0), mean(c.n);
    std::size_t k = 0;
    for (int i = 0; i < c.n; ++i) {
      mean[i] = 0.5 - i;
      for (int j = 0; j <= i; ++j, ++k) var[i + j * ld] = var[j + i * ld] = c.lower[k];
    }
    const Drawn want = drawn([&](double* x) { reference(mean.data(), var.data(), c.n, ld, x); }, c.n);
    const Drawn got =
        drawn([&](double* x) { prob::gen_normal_multi(mean.data(), var.data(), c.n, ld, x); }, c.n);
    EXPECT_TRUE(same(want.x, got.x));
    EXPECT_EQ(want.out, got.out);
    EXPECT_EQ(want.seed1, got.seed1);
    EXPECT_EQ(want.seed2, got.seed2);
    // In place: x the mean itself.
    std::vector<double> m2 = mean;
    drawn(
        [&](double*) { prob::gen_normal_multi(m2.data(), var.data(), c.n, ld, m2.data()); }, c.n);
    EXPECT_TRUE(same(want.x, m2));
  }
  denseop::denseop_tol = 1e-10;
  rgtest::default_stream();
}
