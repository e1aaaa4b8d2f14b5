// Multivariate normal, Wishart, restricted inverse-Wishart and multivariate
// truncated normal deviates.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "rangen_support.hpp"

using Mat = util::mat1<double>;
using Vec = util::vec1<double>;
using IVec = util::vec1<prob::i32>;
using rgtest::expect_stop;
using rgtest::ScriptedNormals;
using rgtest::ScriptedUniforms;

namespace {

Mat mat(long n, std::initializer_list<double> by_rows) {
  Mat m(n, n);
  auto it = by_rows.begin();
  for (long i = 1; i <= n; ++i)
    for (long j = 1; j <= n; ++j) m(i, j) = *it++;
  return m;
}

Vec vec(std::initializer_list<double> v) {
  Vec x(static_cast<long>(v.size()));
  long i = 1;
  for (double d : v) x(i++) = d;
  return x;
}

IVec ivec(std::initializer_list<prob::i32> v) {
  IVec x(static_cast<long>(v.size()));
  long i = 1;
  for (auto d : v) x(i++) = d;
  return x;
}

std::pair<rangen::i32, rangen::i32> state() {
  rangen::i32 a, b;
  rangen::getsd(a, b);
  return {a, b};
}

Mat product(const Mat& a, const Mat& b) {
  Mat c(a.rows(), b.cols());
  for (long i = 1; i <= a.rows(); ++i)
    for (long j = 1; j <= b.cols(); ++j)
      for (long k = 1; k <= a.cols(); ++k) c(i, j) += a(i, k) * b(k, j);
  return c;
}

// Running means and standard errors of matrix-valued draws.
struct Moments {
  Mat sum, sum2;
  long count = 0;
  explicit Moments(long n) : sum(n, n), sum2(n, n) {}
  void add(const Mat& w) {
    for (long j = 1; j <= sum.cols(); ++j)
      for (long i = 1; i <= sum.rows(); ++i) {
        sum(i, j) += w(i, j);
        sum2(i, j) += w(i, j) * w(i, j);
      }
    ++count;
  }
  double mean(long i, long j) const { return sum(i, j) / count; }
  double se(long i, long j) const {
    const double m = mean(i, j);
    return std::sqrt((sum2(i, j) / count - m * m) / count);
  }
};

const Mat sigma3 = mat(3, {2.0, 0.6, -0.4, 0.6, 1.0, 0.3, -0.4, 0.3, 1.5});

}  // namespace

// ---------------------------------------------------------------------------
// Multivariate normal

TEST(MultiNormal, EmptyZeroAndDiagonalCovariances) {
  rangen::clear_hooks();
  prob::set_seed(11);
  auto s0 = state();
  EXPECT_EQ(prob::gen_normal_multi(Vec(0), Mat(0, 0)).size(), 0);
  EXPECT_EQ(state(), s0);

  const Vec mean = vec({1.0, -2.0, 3.5});
  const Vec x = prob::gen_normal_multi(mean, Mat(3, 3));
  for (long i = 1; i <= 3; ++i) EXPECT_EQ(x(i), mean(i));
  // Three normals were drawn: the next is the fourth of the stream.
  const float next = rangen::snorm();
  prob::set_seed(11);
  for (int k = 0; k < 3; ++k) (void)rangen::snorm();
  EXPECT_EQ(rangen::snorm(), next);

  ScriptedNormals z({0.5f, -1.5f, 2.0f});
  const Vec y = prob::gen_normal_multi(mean, mat(3, {4, 0, 0, 0, 9, 0, 0, 0, 0.25}));
  EXPECT_EQ(y(1), 1.0 + 2.0 * 0.5);
  EXPECT_EQ(y(2), -2.0 + 3.0 * -1.5);
  EXPECT_EQ(y(3), 3.5 + 0.5 * 2.0);
}

TEST(MultiNormal, DroppedPivotsFixComponentsAtTheirMeans) {
  const Vec mean = vec({10.0, 20.0, 30.0});
  {
    ScriptedNormals z({0.75f, -1.0f, 0.5f});
    const Vec x = prob::gen_normal_multi(mean, mat(3, {4, 0, 2, 0, 0, 0, 2, 0, 5}));
    EXPECT_EQ(x(2), 20.0);  // zero row and column
    EXPECT_EQ(x(1), 10.0 + 2.0 * 0.75);
    EXPECT_EQ(x(3), 30.0 + 1.0 * 0.75 + 2.0 * 0.5);  // z(2) enters nowhere
  }
  {
    ScriptedNormals z({1.25f, 3.0f});
    const Vec x = prob::gen_normal_multi(vec({1.0, 2.0}), mat(2, {1, 1, 1, 1}));
    EXPECT_EQ(x(1), 1.0 + 1.25);
    EXPECT_EQ(x(2), 2.0);  // second pivot 0: fixed at its mean
  }
  {
    // A pivot below the tolerance is dropped too.
    ScriptedNormals z({1.0f, 1.0f});
    const Vec x = prob::gen_normal_multi(vec({0.0, 0.0}), mat(2, {1e-12, 0, 0, 1}));
    EXPECT_EQ(x(1), 0.0);
    EXPECT_EQ(x(2), 1.0);
  }
}

TEST(MultiNormal, NotSemiDefiniteUsesThePartialFactor) {
  ScriptedNormals z({1.0f, 1.0f});
  testing::internal::CaptureStdout();
  const Vec x = prob::gen_normal_multi(vec({0.0, 0.0}), mat(2, {1, 2, 2, 1}));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Matrix not semipositive-definite, row"), std::string::npos);
  EXPECT_EQ(x(1), 1.0);
  EXPECT_TRUE(std::isfinite(x(2)));
}

TEST(MultiNormal, RawFormMatchesAndMayWriteOverTheMean) {
  rangen::clear_hooks();
  const Vec mean = vec({0.5, -1.0, 2.0});
  prob::set_seed(31);
  const Vec x = prob::gen_normal_multi(mean, sigma3);
  denseop::mat20 block(3);
  for (int i = 1; i <= 3; ++i)
    for (int j = 1; j <= 3; ++j) block(i, j) = sigma3(i, j);
  double m[3] = {0.5, -1.0, 2.0};
  prob::set_seed(31);
  prob::gen_normal_multi(m, block.data(), 3, denseop::mat20::ld, m);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(m[i], x(i + 1));
  util::Stop st = expect_stop([&] { prob::gen_normal_multi(mean, Mat(2, 2)); });
  EXPECT_NE(std::string(st.what()).find("GEN_NORMAL_MULTI"), std::string::npos);
}

TEST(MultiNormal, MomentsOverManyDraws) {
  rangen::clear_hooks();
  prob::set_seed(2718);
  const Vec mean = vec({1.0, 0.0, -3.0});
  const long n = 40000;
  Vec sum(3);
  Mat cross(3, 3);
  for (long k = 0; k < n; ++k) {
    const Vec x = prob::gen_normal_multi(mean, sigma3);
    for (long i = 1; i <= 3; ++i) {
      sum(i) += x(i);
      for (long j = 1; j <= 3; ++j) cross(i, j) += (x(i) - mean(i)) * (x(j) - mean(j));
    }
  }
  for (long i = 1; i <= 3; ++i) {
    EXPECT_NEAR(sum(i) / n, mean(i), 5 * std::sqrt(sigma3(i, i) / n)) << i;
    for (long j = 1; j <= 3; ++j) {
      const double se =
          std::sqrt((sigma3(i, i) * sigma3(j, j) + sigma3(i, j) * sigma3(i, j)) / n);
      EXPECT_NEAR(cross(i, j) / n, sigma3(i, j), 5 * se) << i << "," << j;
    }
  }
}

// ---------------------------------------------------------------------------
// Wishart and inverse Wishart

TEST(Wishart, BartlettDrawsInOrderWithTheirShapes) {
  rangen::clear_hooks();
  const Mat id = mat(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  prob::set_seed(404);
  const Mat w = prob::gen_wishart_multi(id, 9);
  const auto after = state();
  prob::set_seed(404);
  Mat a(3, 3);
  a(1, 1) = std::sqrt(2.0f * rangen::sgamma(4.5f));
  a(2, 2) = std::sqrt(2.0f * rangen::sgamma(4.0f));
  a(2, 1) = rangen::snorm();
  a(3, 3) = std::sqrt(2.0f * rangen::sgamma(3.5f));
  a(3, 1) = rangen::snorm();
  a(3, 2) = rangen::snorm();
  EXPECT_EQ(state(), after);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 3; ++j) {
      double t = 0;
      for (long k = 1; k <= 3; ++k) t += a(i, k) * a(j, k);
      EXPECT_NEAR(w(i, j), t, 1e-12 * (1 + std::fabs(t))) << i << "," << j;
    }
}

TEST(Wishart, OrderOneAndTwo) {
  rangen::clear_hooks();
  const Mat s1 = mat(1, {0.8});
  prob::set_seed(55);
  const double iw = prob::gen_invwishart_multi(s1, 6)(1, 1);
  prob::set_seed(55);
  const double w = prob::gen_wishart_multi(s1, 6)(1, 1);
  prob::set_seed(55);
  const double ic = prob::gen_invchisq(0.8, 6);
  EXPECT_NEAR(iw, ic, 1e-6 * ic);
  EXPECT_NEAR(w, 1.0 / ic, 1e-6 / ic);

  prob::set_seed(56);
  const Mat w2 = prob::gen_wishart_multi(mat(2, {1, 0, 0, 1}), 7);
  const Mat iw2 = [] {
    prob::set_seed(56);
    return prob::gen_invwishart_multi(mat(2, {1, 0, 0, 1}), 7);
  }();
  prob::set_seed(56);
  const double a11 = std::sqrt(2.0f * rangen::sgamma(3.5f));
  const double a22 = std::sqrt(2.0f * rangen::sgamma(3.0f));
  const double z = rangen::snorm();
  EXPECT_NEAR(w2(1, 1), a11 * a11, 1e-12);
  EXPECT_NEAR(w2(2, 1), a11 * z, 1e-12);
  EXPECT_NEAR(w2(2, 2), z * z + a22 * a22, 1e-12);
  const Mat prod = product(w2, iw2);
  EXPECT_NEAR(prod(1, 1), 1.0, 1e-12);
  EXPECT_NEAR(prod(1, 2), 0.0, 1e-12);
  EXPECT_NEAR(prod(2, 2), 1.0, 1e-12);
}

TEST(Wishart, SingularScaleMatrices) {
  rangen::clear_hooks();
  const Mat s = mat(3, {2, 0, 0.5, 0, 0, 0, 0.5, 0, 1});
  prob::set_seed(8);
  const Mat w = prob::gen_wishart_multi(s, 5);
  const auto after = state();
  prob::set_seed(8);
  const Mat iw = prob::gen_invwishart_multi(s, 5);
  EXPECT_EQ(state(), after);  // all deviates drawn despite the zero row
  for (long k = 1; k <= 3; ++k) {
    EXPECT_EQ(w(2, k), 0.0);
    EXPECT_EQ(w(k, 2), 0.0);
    EXPECT_EQ(iw(2, k), 0.0);
    EXPECT_EQ(iw(k, 2), 0.0);
  }
  EXPECT_GT(iw(1, 1), 0.0);
  const Mat zero(3, 3);
  prob::set_seed(8);
  const Mat w0 = prob::gen_wishart_multi(zero, 5);
  prob::set_seed(8);
  const Mat iw0 = prob::gen_invwishart_multi(zero, 5);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 3; ++j) {
      EXPECT_EQ(w0(i, j), 0.0);
      EXPECT_EQ(iw0(i, j), 0.0);
    }
}

TEST(Wishart, TooFewDegreesOfFreedomAreRefused) {
  util::Stop st = expect_stop([] { prob::gen_invwishart_multi(sigma3, 2); });
  EXPECT_NE(std::string(st.what()).find("degrees of freedom 2"), std::string::npos);
  expect_stop([] { prob::gen_wishart_multi(sigma3, -1); });
  expect_stop([] { prob::gen_wishart_multi(Mat(2, 3), 5); });
  rangen::clear_hooks();
  prob::set_seed(3);
  EXPECT_EQ(prob::gen_wishart_multi(sigma3, 3).rows(), 3);  // df = n is allowed
}

TEST(Wishart, MomentsOverManyDraws) {
  rangen::clear_hooks();
  prob::set_seed(1618);
  const int df = 8;
  const long n = 20000;
  Moments mw(3), miw(3);
  const Mat sinv = denseop::finvcs8(sigma3);
  for (long k = 0; k < n; ++k) {
    mw.add(prob::gen_wishart_multi(sigma3, df));
    miw.add(prob::gen_invwishart_multi(sinv, df));  // inverse Wishart with scale sigma3
  }
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 3; ++j) {
      EXPECT_NEAR(mw.mean(i, j), df * sigma3(i, j), 5 * mw.se(i, j)) << i << "," << j;
      EXPECT_NEAR(miw.mean(i, j), sigma3(i, j) / (df - 3 - 1), 5 * miw.se(i, j)) << i << "," << j;
    }
}

// ---------------------------------------------------------------------------
// Restricted inverse Wishart

TEST(RestrictedWishart, WholeMatrixRescaled) {
  rangen::clear_hooks();
  const IVec none;
  Mat w;
  Vec sd;
  prob::set_seed(17);
  const Mat ref = prob::gen_invwishart_multi(sigma3, 7);
  prob::set_seed(17);
  prob::gen_invwishart_restrict1(none, IVec(0), sigma3, 7, w, sd);
  for (long i = 1; i <= 3; ++i) {
    EXPECT_EQ(sd(i), 1.0);
    for (long j = 1; j <= 3; ++j) EXPECT_EQ(w(i, j), ref(i, j));
  }
  prob::set_seed(17);
  prob::gen_invwishart_restrict1(none, ivec({1, 2, 3}), sigma3, 7, w, sd);
  for (long i = 1; i <= 3; ++i) {
    EXPECT_EQ(sd(i), std::sqrt(ref(i, i)));
    EXPECT_NEAR(w(i, i), 1.0, 1e-15);
    for (long j = 1; j <= 3; ++j)
      EXPECT_NEAR(w(i, j), ref(i, j) / std::sqrt(ref(i, i) * ref(j, j)), 1e-15);
  }
  Mat w2;
  Vec sd2;
  prob::set_seed(17);
  prob::gen_invwishart_restrict1(none, ivec({2}), sigma3, 7, w, sd);
  prob::set_seed(17);
  prob::gen_invwishart_restrict1(none, ivec({2, 2}), sigma3, 7, w2, sd2);
  const double s2 = std::sqrt(ref(2, 2));
  EXPECT_EQ(sd(1), 1.0);
  EXPECT_EQ(sd(2), s2);
  EXPECT_EQ(sd(3), 1.0);
  EXPECT_EQ(w(1, 1), ref(1, 1));
  EXPECT_EQ(w(1, 3), ref(1, 3));
  EXPECT_EQ(w(3, 3), ref(3, 3));
  EXPECT_NEAR(w(2, 2), 1.0, 1e-15);
  EXPECT_EQ(w(1, 2), ref(1, 2) / s2);
  EXPECT_EQ(w(3, 2), ref(3, 2) / s2);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 3; ++j) EXPECT_EQ(w2(i, j), w(i, j));
  expect_stop([&] { prob::gen_invwishart_restrict1(none, ivec({4}), sigma3, 7, w, sd); });
}

TEST(RestrictedWishart, PartitionedDrawWritesOnlyItsBlocks) {
  rangen::clear_hooks();
  // A positive definite 6 by 6 scale matrix.
  Mat s(6, 6);
  for (long i = 1; i <= 6; ++i)
    for (long j = 1; j <= 6; ++j) s(i, j) = (i == j ? 2.0 : 0.0) + 0.3 / (1.0 + std::abs(i - j));
  const IVec idx1 = ivec({2}), idx2 = ivec({4, 5});
  const int df = 9;
  Mat w(6, 6);
  w.fill(-7.0);
  Vec sd(6);
  sd.fill(-3.0);
  prob::set_seed(123);
  prob::gen_invwishart_restrict(idx1, idx2, s, df, w, sd);
  const auto after = state();
  for (long i = 1; i <= 6; ++i)
    for (long j = 1; j <= 6; ++j) {
      const bool named = (i == 2 || i == 4 || i == 5) && (j == 2 || j == 4 || j == 5);
      if (!named) {
        EXPECT_EQ(w(i, j), -7.0) << i << "," << j;
      }
    }
  EXPECT_GT(sd(1), 0.0);
  EXPECT_GT(sd(2), 0.0);
  EXPECT_EQ(sd(3), -3.0);
  EXPECT_NEAR(w(4, 4), 1.0, 1e-15);
  EXPECT_NEAR(w(5, 5), 1.0, 1e-15);
  EXPECT_EQ(w(4, 2), w(2, 4));

  // The deviates: inverse Wishart of order 1 with df, p*q = 2 normals, then
  // inverse Wishart of order 2 with df - 1 (the gamma draws depend only on
  // the shapes).
  prob::set_seed(123);
  const Mat s11 = mat(1, {s(2, 2)});
  const Mat r0 = prob::gen_invwishart_multi(s11, df);
  (void)rangen::snorm();
  (void)rangen::snorm();
  (void)prob::gen_invwishart_multi(mat(2, {1, 0, 0, 1}), df - 1);
  EXPECT_EQ(state(), after);

  // The assembled matrix inverts Omega = [[R0^-1, R0^-1 X], [X' R0^-1, C^-1 + X' R0^-1 X]]:
  // recover X from W12 = -X C and check W Omega = I.
  Mat wb(3, 3);
  const long id[] = {2, 4, 5};
  for (long a = 0; a < 3; ++a)
    for (long b = 0; b < 3; ++b) wb(a + 1, b + 1) = w(id[a], id[b]);
  Mat c = mat(2, {wb(2, 2), wb(2, 3), wb(3, 2), wb(3, 3)});
  const Mat cinv = denseop::finvcs8(c);
  Mat x(1, 2);
  for (long k = 1; k <= 2; ++k) x(1, k) = -(wb(1, 2) * cinv(1, k) + wb(1, 3) * cinv(2, k));
  const double r0i = 1.0 / r0(1, 1);
  Mat omega(3, 3);
  omega(1, 1) = r0i;
  for (long k = 1; k <= 2; ++k) omega(1, k + 1) = omega(k + 1, 1) = r0i * x(1, k);
  for (long k = 1; k <= 2; ++k)
    for (long l = 1; l <= 2; ++l) omega(k + 1, l + 1) = cinv(k, l) + x(1, k) * r0i * x(1, l);
  const Mat prod = product(wb, omega);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 3; ++j) EXPECT_NEAR(prod(i, j), i == j ? 1.0 : 0.0, 1e-10);

  Vec small(1);
  expect_stop([&] { prob::gen_invwishart_restrict(idx1, idx2, s, df, w, small); });
}

TEST(RestrictedWishart, EmptyListsAndSharedIndices) {
  rangen::clear_hooks();
  Mat w(3, 3);
  Vec sd(3);
  prob::set_seed(909);
  prob::gen_invwishart_restrict(ivec({1, 3}), IVec(0), sigma3, 6, w, sd);
  prob::set_seed(909);
  const Mat r0 = prob::gen_invwishart_multi(mat(2, {2.0, -0.4, -0.4, 1.5}), 6);
  EXPECT_EQ(w(1, 1), r0(1, 1));
  EXPECT_EQ(w(1, 3), r0(1, 2));
  EXPECT_EQ(w(3, 3), r0(2, 2));

  Mat w2(3, 3);
  prob::set_seed(910);
  prob::gen_invwishart_restrict(IVec(0), ivec({1, 2}), sigma3, 6, w2, sd);
  prob::set_seed(910);
  const Mat r1 = prob::gen_invwishart_multi(mat(2, {2.0, 0.6, 0.6, 1.0}), 6);
  EXPECT_NEAR(w2(1, 2), r1(1, 2) / std::sqrt(r1(1, 1) * r1(2, 2)), 1e-15);
  EXPECT_EQ(sd(1), std::sqrt(r1(1, 1)));

  // Index 2 in both lists: the last assignment (the correlation block) wins.
  // Given the first block, index 2 has no variance left: its scale factor is
  // 0 and its correlation row is that of the identity, not 0/0.
  Mat w3(3, 3);
  prob::set_seed(911);
  prob::gen_invwishart_restrict(ivec({1, 2}), ivec({2, 3}), sigma3, 8, w3, sd);
  EXPECT_EQ(sd(1), 0.0);
  EXPECT_GT(sd(2), 0.0);
  EXPECT_EQ(w3(2, 2), 1.0);
  EXPECT_EQ(w3(2, 3), 0.0);
  EXPECT_EQ(w3(3, 2), 0.0);
  EXPECT_NEAR(w3(3, 3), 1.0, 1e-15);
  for (long i = 1; i <= 3; ++i)
    for (long j = 1; j <= 3; ++j) EXPECT_TRUE(std::isfinite(w3(i, j)));
  // The same rule in the whole-matrix form: a named index with a zero row.
  Mat w4;
  Vec sd4;
  prob::gen_invwishart_restrict1(IVec(0), ivec({1, 2}), mat(2, {0, 0, 0, 1}), 4, w4, sd4);
  EXPECT_EQ(sd4(1), 0.0);
  EXPECT_EQ(w4(1, 1), 1.0);
  EXPECT_EQ(w4(2, 1), 0.0);
  EXPECT_NEAR(w4(2, 2), 1.0, 1e-15);
}

// ---------------------------------------------------------------------------
// Multivariate truncated normals

TEST(TruncatedMulti, FirstCoordinateOnly) {
  rangen::clear_hooks();
  const Vec mean = vec({1.0, 2.0, 0.0});
  prob::set_seed(61);
  const Vec x = prob::gen_trunc_normal_mult(0.5, 1.5, mean, sigma3);
  const auto after = state();
  EXPECT_GE(x(1), 0.5);
  EXPECT_LE(x(1), 1.5);
  prob::set_seed(61);
  (void)rangen::ranf();
  (void)rangen::snorm();
  (void)rangen::snorm();
  EXPECT_EQ(state(), after);
  // var(1,1) below the pivot tolerance: the factor drops it.
  const Vec y = prob::gen_trunc_normal_mult(-1.0, 1.0, mean, mat(3, {1e-12, 0, 0, 0, 1, 0, 0, 0, 1}));
  EXPECT_EQ(y(1), 1.0);
}

TEST(TruncatedMulti, SequentialVariantsAgreeWithoutTruncation) {
  rangen::clear_hooks();
  const Vec mean = vec({1.0, -1.0, 0.5});
  const Vec a = vec({0, 0, 0}), b = vec({0, 0, 0});
  prob::set_seed(71);
  const Vec x = prob::gen_trunc_normal_mult_mt(a, b, mean, sigma3);
  prob::set_seed(71);
  const Vec y = prob::gen_trunc_normal_mult_mt1(a, b, mean, sigma3);
  prob::set_seed(71);
  const Vec z = prob::gen_trunc_normal_mult_mt2(a, b, mean, sigma3);
  for (long i = 1; i <= 3; ++i) {
    EXPECT_EQ(x(i), y(i));
    EXPECT_EQ(x(i), z(i));
  }
  // n = 1 without truncation: mean + sd z, or the mean at variance 0.
  const Vec one = vec({0.0});
  {
    ScriptedNormals zz({1.5f});
    EXPECT_EQ(prob::gen_trunc_normal_mult_mt1(one, one, vec({2.0}), mat(1, {4.0}))(1), 5.0);
  }
  EXPECT_EQ(prob::gen_trunc_normal_mult_mt2(one, one, vec({2.0}), mat(1, {0.0}))(1), 2.0);
}

TEST(TruncatedMulti, DrawingOrders) {
  // mt2 with every coordinate truncated draws the last first.
  const Vec lo = vec({-1, -1, -1}), hi = vec({1, 1, 1});
  const Mat id = mat(3, {1, 0, 0, 0, 1, 0, 0, 0, 1});
  {
    ScriptedUniforms u({0.1f, 0.5f, 0.9f});
    const Vec x = prob::gen_trunc_normal_mult_mt2(lo, hi, vec({0, 0, 0}), id);
    EXPECT_LT(x(3), -0.5);
    EXPECT_NEAR(x(2), 0.0, 1e-14);
    EXPECT_GT(x(1), 0.5);
  }
  // mt1: the run before the first truncated coordinate is drawn jointly
  // from its factor (normals first), then the rest one by one.
  {
    ScriptedNormals z({1.0f, -1.0f});
    ScriptedUniforms u({0.5f});
    const Vec a = vec({0, 0, -2}), b = vec({0, 0, 2});
    const Mat v = mat(3, {4, 2, 0, 2, 5, 0, 0, 0, 1});
    const Vec x = prob::gen_trunc_normal_mult_mt1(a, b, vec({1, 1, 0}), v);
    EXPECT_EQ(x(1), 1.0 + 2.0);
    EXPECT_EQ(x(2), 1.0 + 1.0 - 2.0);
    EXPECT_NEAR(x(3), 0.0, 1e-14);
    EXPECT_EQ(z.next, 2u);
    EXPECT_EQ(u.next, 1u);
  }
  // mt2 puts the untruncated coordinates first: coordinate 2 (free) is drawn
  // from the normal source, then coordinate 1 given it.
  {
    ScriptedNormals z({2.0f});
    ScriptedUniforms u({0.5f});
    const Vec a = vec({-50, 0}), b = vec({50, 0});
    const Vec x = prob::gen_trunc_normal_mult_mt2(a, b, vec({0, 0}), mat(2, {1, 0.5, 0.5, 1}));
    EXPECT_EQ(x(2), 2.0);
    EXPECT_NEAR(x(1), 1.0, 1e-12);  // conditional mean 0.5 * 2, median of the interval
  }
}

TEST(TruncatedMulti, ConditionalMomentsAndStops) {
  rangen::clear_hooks();
  prob::set_seed(83);
  const Vec a = vec({0.0, 0.0}), b = vec({10.0, 0.0});
  const Mat v = mat(2, {1, 0.5, 0.5, 1});
  const long n = 40000;
  double s1 = 0, s2 = 0, q2 = 0;
  for (long k = 0; k < n; ++k) {
    const Vec x = prob::gen_trunc_normal_mult_mt(a, b, vec({0, 0}), v);
    ASSERT_GE(x(1), 0.0);
    s1 += x(1);
    s2 += x(2);
    q2 += x(2) * x(2);
  }
  const double m1 = std::sqrt(2.0 / M_PI);
  EXPECT_NEAR(s1 / n, m1, 5 * std::sqrt((1 - 2 / M_PI) / n));
  const double m2 = s2 / n;
  EXPECT_NEAR(m2, 0.5 * m1, 5 * std::sqrt((q2 / n - m2 * m2) / n));
  // A truncated coordinate with no conditional variance stops.
  const Vec lo = vec({0, -1}), hi = vec({0, 1});
  util::Stop st = expect_stop([&] {
    prob::gen_trunc_normal_mult_mt(lo, hi, vec({0, 0}), mat(2, {1, 1, 1, 1}));
  });
  EXPECT_NE(std::string(st.what()).find("GEN_TRUNC_NORMAL: variance ="), std::string::npos);
}
