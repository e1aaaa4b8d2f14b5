// Multivariate normal, Wishart, inverse-Wishart, restricted inverse-Wishart
// and multivariate truncated normal deviates.
#include <array>
#include <cmath>
#include <vector>

#include "dense/denseop.hpp"
#include "random/normal_block.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace prob {

namespace {

using Mat = util::mat1<double>;
using Vec = util::vec1<double>;

// Scratch of n values, on the stack for the block orders of the sampler.
template <std::size_t N>
class Scratch {
 public:
  explicit Scratch(std::size_t n) : p_(n > N ? (heap_.resize(n), heap_.data()) : buf_.data()) {}
  double* data() { return p_; }
  double& operator[](std::size_t i) { return p_[i]; }

 private:
  std::array<double, N> buf_;
  std::vector<double> heap_;
  double* p_;
};

void need_square(const Mat& m, long n, const char* who) {
  if (m.rows() != n || m.cols() != n) {
    util::fatal(util::freev(who, ": matrix is", m.rows(), "by", m.cols(), ", expected", n, "by", n));
  }
}

enum class Tr { none, a, b };

// C = op(A) op(B) with op the transpose where asked (Tr::a: A' B, Tr::b:
// A B'); every sum runs over the inner index in increasing order.
Mat matmul(const Mat& a, const Mat& b, Tr t = Tr::none) {
  const long m = t == Tr::a ? a.cols() : a.rows();
  const long k = t == Tr::a ? a.rows() : a.cols();
  const long n = t == Tr::b ? b.rows() : b.cols();
  Mat c(m, n);
  for (long j = 1; j <= n; ++j)
    for (long i = 1; i <= m; ++i) {
      double s = 0.0;
      for (long l = 1; l <= k; ++l)
        s += (t == Tr::a ? a(l, i) : a(i, l)) * (t == Tr::b ? b(j, l) : b(l, j));
      c(i, j) = s;
    }
  return c;
}

// The Bartlett construction W = (L T) L' with T = A A', on square matrices
// of order n: s and w column-major with leading dimensions lds and ldw.
// Nothing is allocated for the orders of the sampler.
void wishart_raw(const double* s, int n, int lds, i32 df, const char* who, double* w, int ldw) {
  if (df < n) {
    util::fatal(util::freev(who, ": degrees of freedom", df, "below the order", static_cast<long>(n),
                            "of the matrix"));
  }
  constexpr std::size_t cap = static_cast<std::size_t>(denseop::max_order) * denseop::max_order;
  const std::size_t nn = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);
  Scratch<cap> a0(nn), t0(nn), l0(nn), lt0(nn);
  auto at = [n](Scratch<cap>& m, int i, int j) -> double& {
    return m[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(n)];
  };
  // All deviates first, in row order: the chi on the diagonal, then the
  // normals to its left.
  for (int i = 1; i <= n; ++i) {
    const float shape = static_cast<float>(df - static_cast<i32>(i) + 1) * 0.5f;
    const float g = rangen::sgamma(shape);
    at(a0, i, i) = static_cast<double>(std::sqrt(g + g));
    for (int k = 1; k <= i - 1; ++k) {
      at(a0, k, i) = 0.0;
      at(a0, i, k) = static_cast<double>(rangen::snorm());
    }
  }
  // Every sum runs over the inner index in increasing order.
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += at(a0, i, l) * at(a0, j, l);
      at(t0, i, j) = sum;
    }
  denseop::fchols8(s, n, lds, l0.data(), n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += at(l0, i, l) * at(t0, l, j);
      at(lt0, i, j) = sum;
    }
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= n; ++i) {
      double sum = 0.0;
      for (int l = 1; l <= n; ++l) sum += at(lt0, i, l) * at(l0, j, l);
      w[static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(ldw)] = sum;
    }
}

Mat wishart_draw(const Mat& s, i32 df, const char* who) {
  const long n = s.rows();
  need_square(s, n, who);
  Mat w(n, n);
  wishart_raw(s.data(), static_cast<int>(n), static_cast<int>(n), df, who, w.data(), static_cast<int>(n));
  return w;
}

}  // namespace

// ---------------------------------------------------------------------------
// Multivariate normal

void gen_normal_multi(const double* mean, const double* var, int n, int ldv, double* x) {
  switch (n) {
    case 1: return gen_normal_block<1>(mean, var, ldv, x);
    case 2: return gen_normal_block<2>(mean, var, ldv, x);
    case 3: return gen_normal_block<3>(mean, var, ldv, x);
    case 4: return gen_normal_block<4>(mean, var, ldv, x);
    default: break;
  }
  if (n <= 0) return;
  const auto nn = static_cast<std::size_t>(n);
  Scratch<denseop::max_order> z(nn);
  Scratch<denseop::max_order * denseop::max_order> l(nn * nn);
  // Always n deviates, drawn before the covariance is looked at.
  for (int i = 0; i < n; ++i) z[static_cast<std::size_t>(i)] = rangen::snorm();
  denseop::fchols8(var, n, ldv, l.data(), n);
  // y = L z, column by column; rows of dropped pivots are zero and add nothing.
  Scratch<denseop::max_order> y(nn);
  for (int i = 0; i < n; ++i) y[static_cast<std::size_t>(i)] = 0.0;
  for (int j = 0; j < n; ++j) {
    const double zj = z[static_cast<std::size_t>(j)];
    const double* lj = l.data() + static_cast<std::size_t>(j) * nn;
    for (int i = j; i < n; ++i) y[static_cast<std::size_t>(i)] += lj[i] * zj;
  }
  for (int i = 0; i < n; ++i) x[i] = mean[i] + y[static_cast<std::size_t>(i)];
}

Vec gen_normal_multi(const Vec& mean, const Mat& var) {
  const long n = mean.size();
  need_square(var, n, "GEN_NORMAL_MULTI");
  Vec x(n);
  gen_normal_multi(mean.data(), var.data(), static_cast<int>(n), static_cast<int>(n), x.data());
  return x;
}

// ---------------------------------------------------------------------------
// Wishart and inverse Wishart

Mat gen_wishart_multi(const Mat& s, i32 df) { return wishart_draw(s, df, "GEN_WISHART_MULTI"); }

void gen_invwishart_multi(const double* s, int n, int lds, i32 df, double* w, int ldw) {
  constexpr std::size_t cap = static_cast<std::size_t>(denseop::max_order) * denseop::max_order;
  Scratch<cap> x(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  wishart_raw(s, n, lds, df, "GEN_INVWISHART_MULTI", x.data(), n);
  denseop::finvcs8(x.data(), n, n, w, ldw);
}

Mat gen_invwishart_multi(const Mat& s, i32 df) {
  const Mat w = wishart_draw(s, df, "GEN_INVWISHART_MULTI");
  return denseop::finvcs8(w);
}

namespace {

void check_index(const util::vec1<i32>& idx, long n, const char* who) {
  for (long k = idx.lo(); k <= idx.hi(); ++k) {
    if (idx(k) < 1 || idx(k) > n) {
      util::fatal(util::freev(who, ": index", idx(k), "outside 1 ..", n));
    }
  }
}

// Scale factor of a drawn variance.  A variance that is not positive (a
// dropped pivot, or a partial factor) has no correlation form: its factor is
// 0 and its row and column of the correlation form become those of the
// identity, instead of 0/0.
double scale_factor(double d) { return d > 0.0 ? std::sqrt(d) : 0.0; }

}  // namespace

void gen_invwishart_restrict1(const util::vec1<i32>& /*unused*/, const util::vec1<i32>& idx,
                              const Mat& s, i32 df, Mat& w, Vec& sd) {
  const long n = s.rows();
  check_index(idx, n, "GEN_INVWISHART_RESTRICT1");
  w = gen_invwishart_multi(s, df);
  sd.resize(n);
  for (long i = 1; i <= n; ++i) sd(i) = 1.0;
  for (long k = idx.lo(); k <= idx.hi(); ++k) sd(idx(k)) = scale_factor(w(idx(k), idx(k)));
  for (long j = 1; j <= n; ++j)
    for (long i = 1; i <= n; ++i) {
      if (sd(i) == 0.0 || sd(j) == 0.0) {
        w(i, j) = i == j ? 1.0 : 0.0;
      } else {
        w(i, j) = (w(i, j) / sd(i)) / sd(j);
      }
    }
}

void gen_invwishart_restrict(const util::vec1<i32>& idx1, const util::vec1<i32>& idx2,
                             const Mat& s, i32 df, Mat& w, Vec& sd) {
  const long n = s.rows();
  const long p = idx1.size(), q = idx2.size();
  const auto i1 = [&](long a) { return idx1(idx1.lo() + a - 1); };
  const auto i2 = [&](long c) { return idx2(idx2.lo() + c - 1); };
  check_index(idx1, n, "GEN_INVWISHART_RESTRICT");
  check_index(idx2, n, "GEN_INVWISHART_RESTRICT");
  if (s.cols() < n || w.rows() != n || w.cols() < n || sd.lo() != 1 || sd.size() < q) {
    util::fatal("GEN_INVWISHART_RESTRICT: s, w or sd too small for the index lists");
  }

  Mat s11(p, p), s12(p, q), s22(q, q);
  for (long b = 1; b <= p; ++b)
    for (long a = 1; a <= p; ++a) s11(a, b) = s(i1(a), i1(b));
  for (long c = 1; c <= q; ++c)
    for (long a = 1; a <= p; ++a) s12(a, c) = s(i1(a), i2(c));
  for (long d = 1; d <= q; ++d)
    for (long c = 1; c <= q; ++c) s22(c, d) = s(i2(c), i2(d));

  const Mat r0 = gen_invwishart_multi(s11, df);
  const Mat s11i = denseop::finvcs8(s11);
  const Mat h = matmul(s12, s11i, Tr::a);  // S12' S11i
  const Mat k = matmul(h, s12);
  Mat s221(q, q);
  for (long d = 1; d <= q; ++d)
    for (long c = 1; c <= q; ++c) s221(c, d) = s22(c, d) - k(c, d);
  const Mat bmat = matmul(s11i, s12);

  // Regression block: mean B by columns, covariance S22.1 (outer) x R0.
  const long pq = p * q;
  Vec m(pq);
  Mat v(pq, pq);
  for (long c = 1; c <= q; ++c)
    for (long a = 1; a <= p; ++a) m((c - 1) * p + a) = bmat(a, c);
  for (long d = 1; d <= q; ++d)
    for (long b = 1; b <= p; ++b)
      for (long c = 1; c <= q; ++c)
        for (long a = 1; a <= p; ++a) v((c - 1) * p + a, (d - 1) * p + b) = s221(c, d) * r0(a, b);
  const Vec xv = gen_normal_multi(m, v);
  Mat x(p, q);
  for (long c = 1; c <= q; ++c)
    for (long a = 1; a <= p; ++a) x(a, c) = xv((c - 1) * p + a);

  Mat r1 = gen_invwishart_multi(s221, df - static_cast<i32>(p));
  for (long i = 1; i <= q; ++i) {
    sd(i) = scale_factor(r1(i, i));
    if (sd(i) == 0.0) {
      for (long j = 1; j <= q; ++j) r1(i, j) = r1(j, i) = 0.0;
      r1(i, i) = 1.0;
      continue;
    }
    for (long j = 1; j <= q; ++j) r1(i, j) = r1(i, j) / sd(i);
    for (long j = 1; j <= q; ++j) r1(j, i) = r1(j, i) / sd(i);
  }
  const Mat& cmat = r1;

  const Mat xc = matmul(x, cmat);
  const Mat xcx = matmul(xc, x, Tr::b);
  for (long b = 1; b <= p; ++b)
    for (long a = 1; a <= p; ++a) w(i1(a), i1(b)) = r0(a, b) + xcx(a, b);
  for (long c = 1; c <= q; ++c)
    for (long a = 1; a <= p; ++a) w(i1(a), i2(c)) = -xc(a, c);
  for (long a = 1; a <= p; ++a)
    for (long c = 1; c <= q; ++c) w(i2(c), i1(a)) = -xc(a, c);
  for (long d = 1; d <= q; ++d)
    for (long c = 1; c <= q; ++c) w(i2(c), i2(d)) = cmat(c, d);
}

// ---------------------------------------------------------------------------
// Multivariate truncated normals

namespace {

bool truncated(const Vec& a, const Vec& b, long i) { return b(i) > a(i); }

// Draws coordinate i given x(1..i-1) already drawn.
void conditional_step(const Vec& a, const Vec& b, const Vec& mean, const Mat& var, Vec& x,
                      long i) {
  const long k = i - 1;
  const int ld = static_cast<int>(var.rows());
  Mat w(k, k);
  if (k > 0) denseop::finvcs8(var.data(), static_cast<int>(k), ld, w.data(), static_cast<int>(k));
  Vec t(k);
  for (long c = 1; c <= k; ++c) {
    double s = 0.0;
    for (long j = 1; j <= k; ++j) s += var(i, j) * w(j, c);
    t(c) = s;
  }
  double wm = mean(i);
  for (long j = 1; j <= k; ++j) wm += (x(j) - mean(j)) * t(j);
  double wv = var(i, i);
  for (long j = 1; j <= k; ++j) wv -= t(j) * var(j, i);
  if (truncated(a, b, i)) {
    x(i) = gen_trunc_normal_scalar(a(i), b(i), wm, wv);
  } else if (wv > 0.0) {
    x(i) = wm + std::sqrt(wv) * static_cast<double>(rangen::snorm());
  } else {
    x(i) = wm;
  }
}

void check_vectors(const Vec& a, const Vec& b, const Vec& mean, const Mat& var, const char* who) {
  const long n = mean.size();
  need_square(var, n, who);
  if (a.size() != n || b.size() != n) {
    util::fatal(util::freev(who, ": bounds of length", a.size(), "and", b.size(), ", expected", n));
  }
}

Vec trunc_mt1(const Vec& a, const Vec& b, const Vec& mean, const Mat& var) {
  const long n = mean.size();
  Vec x(n);
  if (n == 0) return x;
  long start;
  if (truncated(a, b, 1)) {
    conditional_step(a, b, mean, var, x, 1);
    start = 2;
  } else {
    long k = 0;
    for (long i = 2; i <= n; ++i) {
      if (truncated(a, b, i)) {
        k = i - 1;
        break;
      }
    }
    if (k > 0) {
      Vec z(k);
      for (long i = 1; i <= k; ++i) z(i) = rangen::snorm();
      Mat l(k, k);
      denseop::fchols8(var.data(), static_cast<int>(k), static_cast<int>(var.rows()), l.data(),
                       static_cast<int>(k));
      for (long i = 1; i <= k; ++i) {
        double s = 0.0;
        for (long j = 1; j <= i; ++j) s += l(i, j) * z(j);
        x(i) = mean(i) + s;
      }
    }
    start = k + 1;
  }
  for (long i = start; i <= n; ++i) conditional_step(a, b, mean, var, x, i);
  return x;
}

}  // namespace

Vec gen_trunc_normal_mult(double a, double b, const Vec& mean, const Mat& var) {
  const long n = mean.size();
  need_square(var, n, "GEN_TRUNC_NORMAL_MULT");
  if (n == 0) return Vec(0);
  if (!(var(1, 1) > 0.0)) {
    util::fatal(util::freev("GEN_TRUNC_NORMAL: variance =", var(1, 1), " <= 0"));
  }
  const Mat l = denseop::fchols8(var);
  const double s = std::sqrt(var(1, 1));
  Vec z(n);
  z(1) = gen_trunc_normal_scalar((a - mean(1)) / s, (b - mean(1)) / s);
  for (long i = 2; i <= n; ++i) z(i) = rangen::snorm();
  Vec x(n);
  for (long i = 1; i <= n; ++i) {
    double sum = 0.0;
    for (long j = 1; j <= i; ++j) sum += l(i, j) * z(j);
    x(i) = mean(i) + sum;
  }
  return x;
}

Vec gen_trunc_normal_mult_mt(const Vec& a, const Vec& b, const Vec& mean, const Mat& var) {
  check_vectors(a, b, mean, var, "GEN_TRUNC_NORMAL_MULT_MT");
  const long n = mean.size();
  Vec x(n);
  for (long i = 1; i <= n; ++i) conditional_step(a, b, mean, var, x, i);
  return x;
}

Vec gen_trunc_normal_mult_mt1(const Vec& a, const Vec& b, const Vec& mean, const Mat& var) {
  check_vectors(a, b, mean, var, "GEN_TRUNC_NORMAL_MULT_MT1");
  return trunc_mt1(a, b, mean, var);
}

Vec gen_trunc_normal_mult_mt2(const Vec& a, const Vec& b, const Vec& mean, const Mat& var) {
  check_vectors(a, b, mean, var, "GEN_TRUNC_NORMAL_MULT_MT2");
  const long n = mean.size();
  // Coordinates that are not truncated first, in index order; truncated ones
  // from the back.
  util::vec1<long> perm(n);
  long front = 0, back = n + 1;
  for (long i = 1; i <= n; ++i) {
    if (truncated(a, b, i)) {
      perm(--back) = i;
    } else {
      perm(++front) = i;
    }
  }
  Vec ar(n), br(n), mr(n);
  Mat vr(n, n);
  for (long r = 1; r <= n; ++r) {
    ar(r) = a(perm(r));
    br(r) = b(perm(r));
    mr(r) = mean(perm(r));
    for (long c = 1; c <= n; ++c) vr(r, c) = var(perm(r), perm(c));
  }
  const Vec xr = trunc_mt1(ar, br, mr, vr);
  Vec x(n);
  for (long r = 1; r <= n; ++r) x(perm(r)) = xr(r);
  return x;
}

}  // namespace prob
