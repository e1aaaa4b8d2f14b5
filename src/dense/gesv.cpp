// General square systems through LAPACK's LU solver, and the identity.
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "dense/lapack.hpp"
#include "dense/work.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace denseop {

namespace {

[[noreturn]] void gesv_stop(int info) {
  util::fatal(util::freev("Program terminated in LAPACK_90 subroutine ", "LA_GESV") + "\n" +
              util::freev("Error indicator, INFO = ", info));
}

// Solves A X = B for the n by n matrix a and the n by nrhs matrix b (both
// column-major, compact, 64-bit), overwriting a with its LU factors and b
// with X.  Any failure stops the run.
void lu_solve(double* a, int n, double* b, int nrhs) {
  if (n == 0) return;
  std::vector<int> ipiv(static_cast<std::size_t>(n));
  int info = 0;
  dgesv_(&n, &nrhs, a, &n, ipiv.data(), b, &n, &info);
  if (info != 0) gesv_stop(info);
}

template <class T>
int square_order(const util::mat1<T>& a) {
  if (a.cols() != a.rows()) gesv_stop(-1);
  return static_cast<int>(a.rows());
}

template <class T>
util::vec1<T> solve(const util::mat1<T>& a, const util::vec1<T>& b) {
  const int n = square_order(a);
  if (b.size() != n) gesv_stop(-2);
  std::vector<double> bw(static_cast<std::size_t>(n));
  std::vector<double> aw(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) bw[static_cast<std::size_t>(i)] = static_cast<double>(b.data()[i]);
  detail::copy_block(a.data(), n, aw.data(), n, n);
  lu_solve(aw.data(), n, bw.data(), 1);
  util::vec1<T> x(n);
  for (int i = 0; i < n; ++i) x.data()[i] = static_cast<T>(bw[static_cast<std::size_t>(i)]);
  return x;
}

// The inverse of a, widened to 64 bits for the solve, into r.
template <class T>
void inverse(const util::mat1<T>& a, util::mat1<T>& r) {
  const int n = square_order(a);
  std::vector<double> aw(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  std::vector<double> bw(aw.size(), 0.0);
  for (int i = 0; i < n; ++i) bw[static_cast<std::size_t>(i) * (n + 1)] = 1.0;
  detail::copy_block(a.data(), n, aw.data(), n, n);
  lu_solve(aw.data(), n, bw.data(), n);
  if (r.rows() != n || r.cols() != n) r.resize(n, n);
  detail::copy_block(bw.data(), n, r.data(), n, n);
}

template <class T>
util::mat1<T> identity(long n) {
  util::mat1<T> r(n, n);
  for (long i = 1; i <= n; ++i) r(i, i) = T(1);
  return r;
}

}  // namespace

void gesv8(const util::mat1<double>& a, const util::vec1<double>& b, util::vec1<double>& x) {
  x = solve(a, b);
}

void gesv4(const util::mat1<float>& a, const util::vec1<float>& b, util::vec1<float>& x) {
  x = solve(a, b);
}

util::vec1<double> fgesv8(const util::mat1<double>& a, const util::vec1<double>& b) {
  return solve(a, b);
}

util::vec1<float> fgesv4(const util::mat1<float>& a, const util::vec1<float>& b) {
  return solve(a, b);
}

void geinv8(util::mat1<double>& a) { inverse(a, a); }
void geinv4(util::mat1<float>& a) { inverse(a, a); }

util::mat1<double> fgeinv8(const util::mat1<double>& a) {
  util::mat1<double> r;
  inverse(a, r);
  return r;
}

util::mat1<float> fgeinv4(const util::mat1<float>& a) {
  util::mat1<float> r;
  inverse(a, r);
  return r;
}

util::mat1<double> eye8(const util::mat1<double>& m) { return identity<double>(m.rows()); }
util::mat1<float> eye4(const util::mat1<float>& m) { return identity<float>(m.rows()); }

}  // namespace denseop
