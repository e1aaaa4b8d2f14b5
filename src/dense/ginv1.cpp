// In-place generalised inverse: left-looking Cholesky with dropped pivots,
// inverse of the triangular factor, then X' X, all in the lower triangle.
#include "dense/ginv1.hpp"

#include <cmath>

#include "dense/work.hpp"

namespace denseop {

void ginv1(double* a, int n, int m, double tol, int& rank) {
  if (n < 1) {
    rank = n;
    return;
  }
  const detail::Ref<double> A{a, m};

  // Factor.  A dropped column is zero from its diagonal down, so later
  // columns take nothing from it; the row to its left is left over and
  // cleared by the inversion below.
  double scale = 0;
  for (int c = 1; c <= n; ++c) scale = detail::diagonal_scale(scale, A(c, c));
  int dropped = 0;
  for (int c = 1; c <= n; ++c) {
    for (int k = 1; k < c; ++k) {
      const double ack = A(c, k);
      for (int j = c; j <= n; ++j) A(j, c) = A(j, c) - A(j, k) * ack;
    }
    const double d = A(c, c);
    // Relative to the matrix's scale, so that its units do not decide which
    // pivots stay.
    if (d <= 0.0 || d < tol * scale) {
      for (int j = c; j <= n; ++j) A(j, c) = 0.0;
      ++dropped;
    } else {
      const double piv = std::sqrt(d);
      A(c, c) = piv;
      for (int j = c + 1; j <= n; ++j) A(j, c) = A(j, c) / piv;
    }
  }
  rank = n - dropped;

  // Invert the factor column by column (L X = I): column c of X replaces
  // column c of L; later columns of L are still in place while it is formed.
  detail::Work<double, 64> work(static_cast<std::size_t>(n));
  const detail::VRef<double> w{work.data()};
  for (int c = 1; c <= n; ++c) {
    if (A(c, c) == 0.0) {
      for (int j = c + 1; j <= n; ++j) A(j, c) = 0.0;
      continue;
    }
    A(c, c) = 1.0 / A(c, c);
    for (int j = c + 1; j <= n; ++j) w(j) = 0.0;
    for (int j = c + 1; j <= n; ++j) {
      const double xprev = A(j - 1, c);  // X(j-1, c)
      for (int i = j; i <= n; ++i) w(i) = w(i) - A(i, j - 1) * xprev;
      const double ljj = A(j, j);
      A(j, c) = ljj != 0.0 ? w(j) / ljj : 0.0;
    }
  }

  // X' X into the lower triangle, in an order that reads each entry of X
  // before it is overwritten.
  for (int c = 1; c <= n; ++c)
    for (int r = c; r <= n; ++r) {
      double s = 0.0;
      for (int k = r; k <= n; ++k) s += A(k, c) * A(k, r);
      A(r, c) = s;
    }

  for (int c = 1; c <= n; ++c)
    for (int j = c; j <= n; ++j) A(c, j) = A(j, c);
}

void ginv1(util::mat1<double>& a, int n, double tol, int& rank) {
  if (n > a.rows() || n > a.cols()) detail::shape_fail("ginv1", "order larger than the matrix");
  ginv1(a.data(), n, static_cast<int>(a.rows()), tol, rank);
}

}  // namespace denseop
