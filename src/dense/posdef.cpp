// Positive-definite repair through the symmetric eigen decomposition.
#include <cfloat>
#include <cmath>
#include <vector>

#include "dense/denseop.hpp"
#include "dense/lapack.hpp"
#include "dense/work.hpp"
#include "util/format.hpp"

namespace denseop {

namespace {

// Eigen decomposition of the order-n matrix held in v (upper triangle read),
// replaced by its eigenvectors; lam receives the eigenvalues in ascending order.
int eigen(double* v, int n, double* lam) {
  if (n == 0) return 0;
  const char jobz = 'V', uplo = 'U';
  int info = 0, lwork = -1;
  double query = 0;
  dsyev_(&jobz, &uplo, &n, v, &n, lam, &query, &lwork, &info, 1, 1);
  if (info != 0) return info;
  lwork = static_cast<int>(query);
  if (lwork < 3 * n - 1) lwork = 3 * n - 1;
  detail::Work<double, 4096> work(static_cast<std::size_t>(lwork));
  dsyev_(&jobz, &uplo, &n, v, &n, lam, work.data(), &lwork, &info, 1, 1);
  return info;
}

int order_of(long rows, long cols, const char* who) {
  if (cols < rows) detail::shape_fail(who, "matrix has fewer columns than rows");
  return static_cast<int>(rows);
}

}  // namespace

int syev8(const util::mat1<double>& x, util::vec1<double>& lam, util::mat1<double>& v) {
  const int n = order_of(x.rows(), x.cols(), "syev8");
  v.resize(n, n);
  lam.resize(n);
  detail::copy_block(x.data(), static_cast<int>(x.rows()), v.data(), n, n);
  return eigen(v.data(), n, lam.data());
}

int syev4(const util::mat1<float>& x, util::vec1<float>& lam, util::mat1<float>& v) {
  const int n = order_of(x.rows(), x.cols(), "syev4");
  std::vector<double> v8(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  std::vector<double> lam8(static_cast<std::size_t>(n));
  detail::copy_block(x.data(), static_cast<int>(x.rows()), v8.data(), n, n);
  const int info = eigen(v8.data(), n, lam8.data());
  v.resize(n, n);
  lam.resize(n);
  detail::copy_block(v8.data(), n, v.data(), n, n);
  for (int i = 0; i < n; ++i) lam.data()[i] = static_cast<float>(lam8[static_cast<std::size_t>(i)]);
  return info;
}

PosDef pos_def(double* x0, int n, int ldx, std::optional<std::string_view> mes, double eps,
               int* fix) {
  if (fix) *fix = 0;
  const detail::Ref<double> x{x0, ldx};
  constexpr std::size_t cap = static_cast<std::size_t>(max_order) * max_order;
  const std::size_t nn = static_cast<std::size_t>(n) * static_cast<std::size_t>(n);

  // Rows that are zero together with their column stay out of the decomposition.
  detail::Work<int, max_order> list(static_cast<std::size_t>(n));
  int k = 0;
  for (int i = 1; i <= n; ++i) {
    double s = 0;
    for (int j = 1; j <= n; ++j) s += x(i, j) * x(i, j);
    for (int j = 1; j <= n; ++j) s += x(j, i) * x(j, i);
    if (!(s == 0.0)) list[static_cast<std::size_t>(k++)] = i;
  }
  if (k < n) {
    detail::Work<double, cap> y0(static_cast<std::size_t>(k) * static_cast<std::size_t>(k));
    const detail::Ref<double> y{y0.data(), k};
    for (int b = 1; b <= k; ++b)
      for (int a = 1; a <= k; ++a) y(a, b) = x(list[a - 1], list[b - 1]);
    const PosDef inner = pos_def(y0.data(), k, k, mes, eps, fix);
    if (inner.state == Repair::repaired)
      for (int b = 1; b <= k; ++b)
        for (int a = 1; a <= k; ++a) x(list[a - 1], list[b - 1]) = y(a, b);
    return inner;
  }

  detail::Work<double, max_order> lam0(static_cast<std::size_t>(n));
  detail::Work<double, cap> v0(nn);
  detail::copy_block(x0, ldx, v0.data(), n, n);
  const int info = eigen(v0.data(), n, lam0.data());
  const detail::VRef<double> lam{lam0.data()};
  const detail::Ref<double> v{v0.data(), n};
  if (info != 0) return {Repair::eigen_failed, info};
  // Input that is not a number can come back with status 0 and a
  // decomposition that is not one.
  for (int j = 1; j <= n; ++j) {
    if (!std::isfinite(lam(j))) return {Repair::eigen_failed, 0};
    for (int i = 1; i <= n; ++i)
      if (!std::isfinite(v(i, j))) return {Repair::eigen_failed, 0};
  }

  double lam_min = DBL_MAX, lam_max = -DBL_MAX;
  for (int i = 1; i <= n; ++i) {
    if (lam(i) < lam_min) lam_min = lam(i);
    if (lam(i) > lam_max) lam_max = lam(i);
  }
  if (n == 0) return {Repair::unchanged, 0};
  // Raising is relative to the largest eigenvalue; without a positive one
  // there is nothing to raise to, and rebuilding would only return x itself
  // or zero it.
  if (!(lam_max > 0.0)) return {Repair::not_repairable, 0};
  // The decision is relative too, so that a matrix in other units (every
  // element times c) is repaired exactly when it is.
  if (!(lam_min < eps * lam_max)) return {Repair::unchanged, 0};

  if (fix) *fix = -1;
  const bool was_positive = lam_min > 0.0;
  for (int i = 1; i <= n; ++i)
    if (lam(i) / lam_max < eps) lam(i) = eps * lam_max;
  if (mes) util::say(*mes);

  // x = (V D) V', formed on the lower triangle and mirrored so that it is
  // exactly symmetric.
  detail::Work<double, cap> vd0(nn);
  const detail::Ref<double> vd{vd0.data(), n};
  for (int c = 1; c <= n; ++c)
    for (int r = 1; r <= n; ++r) vd(r, c) = v(r, c) * lam(c);
  for (int j = 1; j <= n; ++j)
    for (int i = j; i <= n; ++i) {
      double s = 0;
      for (int c = 1; c <= n; ++c) s += vd(i, c) * v(j, c);
      x(i, j) = s;
      x(j, i) = s;
    }
  return {Repair::repaired, 0, was_positive};
}

PosDef pos_def(util::mat1<double>& x, std::optional<std::string_view> mes, double eps, int* fix) {
  const int n = order_of(x.rows(), x.cols(), "pos_def");
  return pos_def(x.data(), n, static_cast<int>(x.rows()), mes, eps, fix);
}

util::mat1<double> diag_vec_mat8(const util::vec1<double>& v) {
  const long n = v.size();
  util::mat1<double> m(n, n);
  for (long i = 1; i <= n; ++i) m(i, i) = v.data()[i - 1];
  return m;
}

util::mat1<float> diag_vec_mat4(const util::vec1<float>& v) {
  const long n = v.size();
  util::mat1<float> m(n, n);
  for (long i = 1; i <= n; ++i) m(i, i) = v.data()[i - 1];
  return m;
}

util::vec1<double> diag_mat_vec8(const util::mat1<double>& m) {
  const int n = order_of(m.rows(), m.cols(), "diag_mat_vec8");
  util::vec1<double> d(n);
  for (int i = 1; i <= n; ++i) d(i) = m(i, i);
  return d;
}

util::vec1<float> diag_mat_vec4(const util::mat1<float>& m) {
  const int n = order_of(m.rows(), m.cols(), "diag_mat_vec4");
  util::vec1<float> d(n);
  for (int i = 1; i <= n; ++i) d(i) = m(i, i);
  return d;
}

}  // namespace denseop
