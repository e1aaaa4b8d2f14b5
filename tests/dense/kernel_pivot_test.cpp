// The small-order kernels decide the usual pivot, the scale and a factor of
// full rank by short tests; every decision and value must still be the one
// the full pivot rule gives.  The rule is written out plainly below and the
// kernels are held to it bit for bit, at the orders fixed when compiled and
// at a run-time order, on pivots around the tolerance, zero, negative, not a
// number and infinite diagonals, and the inverse told the factor's rank.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dense/kernels.hpp"
#include "helpers.hpp"

using namespace densetest;

namespace {

namespace k = denseop::kernel;

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double not_a_number = std::numeric_limits<double>::quiet_NaN();

// The pivot rule written out: the scale is the largest finite |diagonal|; a
// pivot below tol * scale, or exactly zero, is dropped; a negative one stops.
int rule_factor(std::vector<double>& a, int n, int& rank, std::string& said) {
  auto A = [&](int i, int j) -> double& { return a[static_cast<std::size_t>((i - 1) + (j - 1) * n)]; };
  const double tol = denseop::denseop_tol;
  double scale = 0;
  for (int i = 1; i <= n; ++i) {
    const double d = std::fabs(A(i, i));
    if (d > scale && std::isfinite(d)) scale = d;
  }
  rank = 0;
  int ierr = 0;
  for (int i = 1; i <= n; ++i) {
    double s = 0;
    for (int q = 1; q < i; ++q) s += A(i, q) * A(i, q);
    const double d = A(i, i) - s;
    if (std::fabs(d) < tol * scale || d == 0.0) {
      for (int q = 1; q <= i; ++q) A(i, q) = 0;
      for (int q = i + 1; q <= n; ++q) A(q, i) = 0;
      continue;
    }
    if (d < 0) {
      said = "Matrix not semipositive-definite, row " + std::to_string(i) + "\n";
      ierr = -1;
      break;
    }
    const double piv = std::sqrt(d);
    A(i, i) = piv;
    ++rank;
    for (int j = i + 1; j <= n; ++j) {
      double t = 0;
      for (int q = 1; q < i; ++q) t += A(j, q) * A(i, q);
      A(j, i) = (A(j, i) - t) / piv;
    }
  }
  for (int j = 2; j <= n; ++j)
    for (int i = 1; i < j; ++i) A(i, j) = 0;
  return ierr;
}

// The inverse from the factor with the test of each pivot where it is used.
void rule_inverse(std::vector<double>& a, int n) {
  auto A = [&](int i, int j) -> double& { return a[static_cast<std::size_t>((i - 1) + (j - 1) * n)]; };
  std::vector<double> w(static_cast<std::size_t>(n) + 1);
  auto kept = [&](int j) { return A(j, j) != 0.0; };
  for (int i = 1; i <= n; ++i) {
    for (int j = i; j <= n; ++j) w[j] = 0;
    if (kept(i)) w[i] = 1.0 / A(i, i);
    for (int j = i + 1; j <= n; ++j) {
      double s = 0;
      for (int q = i; q < j; ++q) s += A(j, q) * w[q];
      if (kept(j)) w[j] = -s / A(j, j);
    }
    for (int j = n; j >= i; --j) {
      double s = 0;
      for (int q = j + 1; q <= n; ++q) s += A(q, j) * w[q];
      if (kept(j)) w[j] = (w[j] - s) / A(j, j);
    }
    for (int j = i; j <= n; ++j) {
      A(j, i) = w[j];
      A(i, j) = w[j];
    }
  }
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t q = 0; q < a.size(); ++q) {
    if (std::isnan(a[q]) && std::isnan(b[q])) continue;
    if (std::memcmp(&a[q], &b[q], sizeof(double)) != 0) return false;
  }
  return true;
}

struct PivotCase {
  const char* name;
  int n;
  std::vector<double> lower;  // by rows
};

std::vector<double> full(const PivotCase& c) {
  std::vector<double> a(static_cast<std::size_t>(c.n * c.n), 0.0);
  std::size_t e = 0;
  for (int i = 0; i < c.n; ++i)
    for (int j = 0; j <= i; ++j) {
      a[static_cast<std::size_t>(i + j * c.n)] = c.lower[e];
      a[static_cast<std::size_t>(j + i * c.n)] = c.lower[e];
      ++e;
    }
  return a;
}

// The kernels at order N (0: read at run time) against the rule.
template <int N>
void expect_rule(const PivotCase& c, bool loud) {
  std::vector<double> want = full(c), got = want;
  int want_rank = -7, got_rank = -7, got_err = -7;
  std::string want_said;
  const int want_err = rule_factor(want, c.n, want_rank, want_said);
  const std::string said =
      output_of([&] { got_err = k::factor_n<N>(got.data(), c.n, c.n, got_rank, loud); });
  EXPECT_EQ(got_err, want_err);
  EXPECT_EQ(got_rank, want_rank);
  EXPECT_EQ(said, loud ? want_said : "");
  EXPECT_TRUE(same_bits(want, got)) << "factor";
  if (want_err != 0) return;
  rule_inverse(want, c.n);
  std::vector<double> w(static_cast<std::size_t>(c.n)), by_rank = got;
  k::inverse_from_factor_n<N>(got.data(), c.n, c.n, w.data());
  EXPECT_TRUE(same_bits(want, got)) << "inverse";
  k::inverse_from_factor_n<N>(by_rank.data(), c.n, c.n, w.data(), got_rank);
  EXPECT_TRUE(same_bits(want, by_rank)) << "inverse told the rank";
}

class KernelPivots : public CycleTolTest {};

}  // namespace

TEST_F(KernelPivots, ShortTestsDecideAsTheFullRule) {
  const double tol = 1.0e-9;  // CycleTolTest's
  const std::vector<PivotCase> cases = {
      {"1 regular", 1, {2.5}},
      {"1 zero", 1, {0.0}},
      {"1 negative zero", 1, {-0.0}},
      {"1 negative", 1, {-3.0}},
      {"1 not a number", 1, {not_a_number}},
      {"1 infinite", 1, {inf}},
      {"1 least positive", 1, {std::numeric_limits<double>::denorm_min()}},
      {"2 regular", 2, {4.0, 1.3, 2.7}},
      {"2 second pivot at the tolerance", 2, {1.0, 1.0, 1.0 + tol}},
      {"2 second pivot just below it", 2, {1.0, 1.0, 1.0 + 0.5 * tol}},
      {"2 second pivot exactly zero", 2, {1.0, 1.0, 1.0}},
      {"2 second pivot negative", 2, {1.0, 2.0, 1.0}},
      {"2 second pivot tiny negative", 2, {1.0, 1.0, 1.0 - 0.5 * tol}},
      {"2 first dropped", 2, {0.0, 0.0, 2.0}},
      {"2 first negative", 2, {-1.0, 0.5, 2.0}},
      {"2 infinite diagonal out of the scale", 2, {inf, 0.0, 1e-12}},
      {"2 not a number on the diagonal", 2, {1.0, 0.0, not_a_number}},
      {"2 not a number off it", 2, {1.0, not_a_number, 1.0}},
      {"2 huge", 2, {4e300, 1e300, 3e300}},
      {"2 tiny", 2, {4e-300, 1e-300, 3e-300}},
      {"3 regular", 3, {3.1, 0.7, 2.2, -0.4, 0.9, 1.8}},
      {"3 dropped middle", 3, {1.0, 1.0, 1.0, 0.5, 0.5, 2.0}},
      {"3 negative last", 3, {1.0, 0.0, 1.0, 0.0, 0.0, -1.0}},
      {"3 middle at the tolerance of the largest", 3, {1.0, 0.0, 4.0 * tol, 0.0, 0.0, 4.0}},
      {"3 middle below it", 3, {1.0, 0.0, 3.9 * tol, 0.0, 0.0, 4.0}},
      {"4 regular", 4, {5.0, 1.0, 4.0, 0.5, -1.0, 3.0, 0.2, 0.3, 0.1, 2.0}},
      {"4 rank two", 4, {1, 1, 1, 0, 0, 1, 0, 0, 1, 1}},
      {"4 indefinite", 4, {1, 0, 1, 0, 0, 1, 3, 0, 0, 1}},
      {"4 infinite first", 4, {inf, 0, 2, 0, 0.5, 3, 0, 0, 0, 1}},
  };
  for (const PivotCase& c : cases) {
    for (bool loud : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (loud ? ", loud" : ", quiet"));
      expect_rule<0>(c, loud);
      switch (c.n) {
        case 1: expect_rule<1>(c, loud); break;
        case 2: expect_rule<2>(c, loud); break;
        case 3: expect_rule<3>(c, loud); break;
        case 4: expect_rule<4>(c, loud); break;
      }
    }
  }
}

// The scale: the largest finite |diagonal|, whatever comes before or after
// an infinite or NaN one, and the one given when none is larger.
TEST(DiagonalScale, LargestFiniteMagnitude) {
  struct Case {
    double scale, diag, want;
  };
  const std::vector<Case> cases = {
      {0.0, 2.0, 2.0},   {0.0, -2.0, 2.0}, {3.0, 2.0, 3.0},  {3.0, -5.0, 5.0},
      {0.0, inf, 0.0},   {4.0, -inf, 4.0}, {0.0, not_a_number, 0.0},  {4.0, not_a_number, 4.0},
      {0.0, -0.0, 0.0},  {2.0, 2.0, 2.0},  {-1.0, inf, -1.0}, {-1.0, not_a_number, -1.0},
      {0.0, std::numeric_limits<double>::max(), std::numeric_limits<double>::max()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.scale << " " << c.diag);
    const double got = denseop::detail::diagonal_scale(c.scale, c.diag);
    EXPECT_EQ(std::memcmp(&got, &c.want, sizeof(double)), 0) << got;
  }
}
