// Random symmetric positive semi-definite matrices of order 1 to 20, checked
// against LAPACK: generalised-inverse identities, solve residuals and
// log-determinants over the kept pivots.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "dense/ginv1.hpp"
#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

namespace {

using Mat = util::mat1<double>;

Mat mul(const Mat& a, const Mat& b) {
  Mat c(a.rows(), b.cols());
  for (long j = 1; j <= b.cols(); ++j)
    for (long k = 1; k <= a.cols(); ++k)
      for (long i = 1; i <= a.rows(); ++i) c(i, j) += a(i, k) * b(k, j);
  return c;
}

double max_diff(const Mat& a, const Mat& b) {
  double m = 0;
  for (long j = 1; j <= a.cols(); ++j)
    for (long i = 1; i <= a.rows(); ++i) m = std::max(m, std::fabs(a(i, j) - b(i, j)));
  return m;
}

struct Case {
  Mat a;
  int rank;     // true rank
  bool exact;   // every missing pivot is an exactly zero row
};

// A = B B' with B of order n by r, scaled rows, and now and then a row and
// column set exactly to zero.
Case random_psd(std::mt19937_64& gen, int n) {
  std::normal_distribution<double> z;
  std::uniform_int_distribution<int> pick_r(1, n);
  const int r = (gen() % 3 == 0) ? pick_r(gen) : n;
  Mat b(n, r);
  for (int j = 1; j <= r; ++j)
    for (int i = 1; i <= n; ++i) b(i, j) = z(gen);
  std::uniform_real_distribution<double> scale(0.3, 3.0);
  for (int i = 1; i <= n; ++i) {
    const double s = scale(gen);
    for (int j = 1; j <= r; ++j) b(i, j) *= s;
  }
  int zeroed = 0;
  if (n > 1 && gen() % 4 == 0) {
    const int k = 1 + static_cast<int>(gen() % static_cast<unsigned>(n));
    for (int j = 1; j <= r; ++j) b(k, j) = 0;
    zeroed = 1;
  }
  Mat a(n, n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double s = 0;
      for (int k = 1; k <= r; ++k) s += b(i, k) * b(j, k);
      a(i, j) = s;
    }
  return {a, std::min(r, n - zeroed), r == n};
}

// Log-determinant of the principal submatrix on idx, from its eigenvalues.
double logdet_lapack(const Mat& a, const std::vector<int>& idx) {
  const long k = static_cast<long>(idx.size());
  Mat s(k, k);
  for (long j = 1; j <= k; ++j)
    for (long i = 1; i <= k; ++i) s(i, j) = a(idx[i - 1], idx[j - 1]);
  util::vec1<double> lam;
  Mat v;
  EXPECT_EQ(d::syev8(s, lam, v), 0);
  double ld = 0;
  for (long i = 1; i <= k; ++i) ld += std::log(lam(i));
  return ld;
}

class Random : public CycleTolTest {
 protected:
  std::mt19937_64 gen{20240611};
};

}  // namespace

TEST_F(Random, CholeskyFamilyAgainstLapack) {
  for (int n = 1; n <= 20; ++n) {
    for (int trial = 0; trial < 12; ++trial) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " trial=" << trial);
      const Case c = random_psd(gen, n);
      const Mat& a = c.a;
      const double na = max_abs(a);
      if (na == 0) continue;

      // Factor: the rank found, zero above the diagonal.
      Mat l = a;
      int rank = -1, ierr = -1;
      const std::string out = output_of([&] { d::chols8(l, &rank, &ierr); });
      ASSERT_EQ(out, "");
      EXPECT_EQ(ierr, 0);
      EXPECT_EQ(rank, c.rank);
      std::vector<int> kept;
      for (int i = 1; i <= n; ++i) {
        for (int j = i + 1; j <= n; ++j) EXPECT_EQ(l(i, j), 0.0);
        if (l(i, i) > 0) kept.push_back(i);
      }
      // L L' is A on the kept pivots and zero in the rows and columns of the
      // dropped ones.
      Mat lt(n, n);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) lt(i, j) = l(j, i);
      Mat llt = mul(l, lt), want(n, n);
      for (int i : kept)
        for (int j : kept) want(i, j) = a(i, j);
      EXPECT_LT(max_diff(llt, want), 1e-12 * na);

      // Generalised inverse: symmetric, A G A = A, G A G = G.
      const Mat g = d::finvcs8(a);
      const double ng = max_abs(g);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) EXPECT_EQ(g(i, j), g(j, i));
      EXPECT_LT(max_diff(mul(mul(a, g), a), a), 1e-8 * na);
      EXPECT_LT(max_diff(mul(mul(g, a), g), g), 1e-8 * ng);
      if (c.rank == n) {
        EXPECT_LT(max_diff(g, d::fgeinv8(a)), 1e-7 * ng);
      }

      // Solve for a right-hand side in the range of A.
      util::vec1<double> y(n), b(n);
      std::normal_distribution<double> z;
      for (int i = 1; i <= n; ++i) y(i) = z(gen);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) b(i) += a(i, j) * y(j);
      const util::vec1<double> x = d::fsolvs8(a, b);
      double nb = 0, res = 0, gap = 0;
      for (int i = 1; i <= n; ++i) {
        double ax = 0, gb = 0;
        for (int j = 1; j <= n; ++j) {
          ax += a(i, j) * x(j);
          gb += g(i, j) * b(j);
        }
        nb = std::max(nb, std::fabs(b(i)));
        res = std::max(res, std::fabs(ax - b(i)));
        gap = std::max(gap, std::fabs(gb - x(i)));
      }
      EXPECT_LT(res, 1e-8 * nb);
      EXPECT_LT(gap, 1e-7 * std::max(1.0, ng * nb));
      if (c.rank == n) {
        const util::vec1<double> xl = d::fgesv8(a, b);
        for (int i = 1; i <= n; ++i) EXPECT_NEAR(x(i), xl(i), 1e-7 * std::max(1.0, ng * nb));
      }

      // Determinant over the kept pivots.
      const double det = d::fdets8(a);
      EXPECT_NEAR(std::log(det), logdet_lapack(a, kept), 1e-9 * std::max(1.0, std::fabs(std::log(det))));

      // The raw form on a leading section gives the same bits as the full form.
      Mat big(n + 3, n + 3);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) big(i, j) = a(i, j);
      d::mat20 g20;
      g20.n = n;
      d::finvcs8(big.data(), n, n + 3, g20.data(), d::mat20::ld);
      for (int j = 1; j <= n; ++j)
        for (int i = 1; i <= n; ++i) EXPECT_EQ(g20(i, j), g(i, j));
      EXPECT_EQ(d::fdets8(big.data(), n, n + 3), det);
    }
  }
}

TEST_F(Random, Ginv1AgainstCholeskyInverse) {
  for (int n = 1; n <= 20; ++n) {
    for (int trial = 0; trial < 8; ++trial) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " trial=" << trial);
      const Case c = random_psd(gen, n);
      const Mat& a = c.a;
      const Mat g = d::finvcs8(a);
      const double ng = std::max(1.0, max_abs(g));

      // At the kit's tolerance both drop the same pivots.
      Mat h = a;
      int rank = -1;
      d::ginv1(h, n, 1.0e-9, rank);
      EXPECT_EQ(rank, c.rank);
      EXPECT_LT(max_diff(h, g), 1e-7 * ng);
      for (int i = 1; i <= n; ++i)
        for (int j = 1; j <= n; ++j) EXPECT_EQ(h(i, j), h(j, i));

      // The callers' 1e-18 drops exact zero rows and keeps every real pivot.
      if (c.exact) {
        Mat k = a;
        d::ginv1(k, n, 1.0e-18, rank);
        EXPECT_EQ(rank, c.rank);
        EXPECT_LT(max_diff(mul(mul(a, k), a), a), 1e-8 * std::max(1.0, max_abs(a)));
        EXPECT_LT(max_diff(k, g), 1e-7 * ng);
      }
    }
  }
}

TEST_F(Random, RepairLeavesNoSmallEigenvalue) {
  std::normal_distribution<double> z;
  for (int n = 1; n <= 20; ++n) {
    for (int trial = 0; trial < 5; ++trial) {
      SCOPED_TRACE(testing::Message() << "n=" << n << " trial=" << trial);
      Mat x(n, n);
      for (int j = 1; j <= n; ++j)
        for (int i = j; i <= n; ++i) x(i, j) = x(j, i) = z(gen);
      x(n, n) = std::fabs(x(n, n)) + n;  // keep some eigenvalue positive
      util::vec1<double> lam0;
      Mat v0;
      ASSERT_EQ(d::syev8(x, lam0, v0), 0);
      const double top = lam0(n);
      d::PosDef r;
      output_of([&] { r = d::pos_def(x, std::nullopt, 1e-4); });
      if (lam0(1) >= 1e-4 * top) {
        EXPECT_EQ(r.state, d::Repair::unchanged);
        continue;
      }
      ASSERT_EQ(r.state, d::Repair::repaired);
      util::vec1<double> lam;
      Mat v;
      ASSERT_EQ(d::syev8(x, lam, v), 0);
      EXPECT_GT(lam(1), 1e-4 * top * (1 - 1e-8) - 1e-12 * top);
      EXPECT_NEAR(lam(n), top, 1e-10 * top);
      // And now it passes untouched.
      const Mat again = x;
      EXPECT_EQ(d::pos_def(x, std::nullopt, 1e-4 * 0.5).state, d::Repair::unchanged);
      EXPECT_EQ(max_diff(x, again), 0.0);
    }
  }
}
