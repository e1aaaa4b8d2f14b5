// Cholesky factor with pivot tolerance, and the generalised inverses, solves
// and determinants built on it.
#include <cmath>
#include <string>
#include <type_traits>

#include "dense/denseop.hpp"
#include "dense/kernels.hpp"
#include "dense/work.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace denseop {

double denseop_tol = 1.0e-10;

mat20::mat20(int order) : n(order) {
  VELMORAN_CHECK("mat20 order", order, 0, max_order);
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) a[static_cast<std::size_t>(i + j * ld)] = 0.0;
}

namespace detail {
void shape_fail(const char* who, const char* what) {
  util::fatal(std::string(who) + ": " + what);
}
}  // namespace detail

void kernel::say_negative_pivot(int row) {
  util::say(" Matrix not semipositive-definite, row ", row);
}

using detail::Ref;
using detail::VRef;
using detail::Work;
using kernel::by_order;
using kernel::factor_n;
using kernel::inverse_from_factor_n;
using kernel::substitute_n;

namespace {

constexpr std::size_t mat_cap = static_cast<std::size_t>(max_order) * max_order;

template <class T>
int factor(T* a, int n, int lda, int& rank, bool loud = true) {
  return by_order(n, [&](auto N) { return factor_n<N()>(a, n, lda, rank, loud); });
}

template <class T>
void inverse_from_factor(T* a, int n, int lda, T* w) {
  by_order(n, [&](auto N) { inverse_from_factor_n<N()>(a, n, lda, w); });
}

template <class T>
void substitute(const T* a, int n, int lda, T* y, T* z) {
  by_order(n, [&](auto N) { substitute_n<N()>(a, n, lda, y, z); });
}

template <class T>
void chols_raw(T* m, int n, int ld, int* rank, int* ierr) {
  int r = 0;
  const int e = factor(m, n, ld, r);
  if (rank) *rank = r;
  if (ierr) *ierr = e;
}

template <class T>
void invcs_raw(T* m, int n, int ld, int* rank, int* ierr) {
  int r = 0;
  const int e = factor(m, n, ld, r);
  if (e != 0) {
    util::say("Inverse not possible");
  } else {
    Work<T, max_order> w(static_cast<std::size_t>(n));
    inverse_from_factor(m, n, ld, w.data());
  }
  if (rank) *rank = r;
  if (ierr) *ierr = e;
}

template <class T>
void solvs_raw(T* m, int n, int ld, T* x, int* rank, int* ierr) {
  int r = 0;
  const int e = factor(m, n, ld, r);
  if (e != 0) {
    util::say(sizeof(T) == 8 ? "Solving not possible" : "Solution not possible");
  } else {
    Work<T, max_order> z(static_cast<std::size_t>(n));
    substitute(m, n, ld, x, z.data());
  }
  if (rank) *rank = r;
  if (ierr) *ierr = e;
}

// Determinant over the kept pivots of the 64-bit matrix in a (factored in place).
double det_raw(double* a, int n, int ld, int* ierr = nullptr) {
  int r = 0;
  const int e = factor(a, n, ld, r);
  if (ierr) *ierr = e;
  const Ref<double> A{a, ld};
  double p = 1.0;
  for (int i = 1; i <= n; ++i) {
    const double d = A(i, i);
    p *= d == 0.0 ? 1.0 : d;
  }
  return p * p;
}

template <class T>
int order_of(const util::mat1<T>& m, const char* who) {
  if (m.cols() < m.rows()) detail::shape_fail(who, "matrix has fewer columns than rows");
  return static_cast<int>(m.rows());
}

template <class T>
void need_len(const util::vec1<T>& v, int n, const char* who) {
  if (v.size() < n) detail::shape_fail(who, "vector shorter than the order of the matrix");
}

template <class T>
util::mat1<T> leading_copy(const util::mat1<T>& m, int n) {
  util::mat1<T> r(n, n);
  detail::copy_block(m.data(), static_cast<int>(m.rows()), r.data(), n, n);
  return r;
}

template <class T>
void set_len(util::vec1<T>& v, int n) {
  if (v.lo() != 1 || v.size() != n) v.resize(n);
}

// Packed forms: expand into a work matrix, run op on it, pack back into out.
template <class Op>
void through_full(const util::vec1<double>& in, util::vec1<double>& out, Op op) {
  const int n = packed_order(in.size());
  util::mat1<double> w(n, n);
  unpackit8(in, w);
  op(w);
  packit8(w, out);
}
template <class Op>
void through_full(const util::vec1<float>& in, util::vec1<float>& out, Op op) {
  const int n = packed_order(in.size());
  util::mat1<float> w(n, n);
  unpackit4(in, w);
  op(w);
  packit4(w, out);
}

template <class T>
void solvs_f(const util::mat1<T>& m, const util::vec1<T>& rhs, util::vec1<T>& sol, int* rank,
             int* ierr, const char* who) {
  const int n = order_of(m, who);
  need_len(rhs, n, who);
  util::mat1<T> a = leading_copy(m, n);
  util::vec1<T> y(n);
  for (int i = 0; i < n; ++i) y.data()[i] = rhs.data()[i];
  solvs_raw(a.data(), n, n, y.data(), rank, ierr);
  sol = std::move(y);
}

template <class T>
void solvs_packed(const util::vec1<T>& m, const util::vec1<T>& rhs, util::vec1<T>& sol, int* rank,
                  int* ierr, const char* who) {
  const int n = packed_order(m.size());
  need_len(rhs, n, who);
  util::vec1<T> y(n);
  for (int i = 0; i < n; ++i) y.data()[i] = rhs.data()[i];
  util::mat1<T> w(n, n);
  if constexpr (sizeof(T) == 8)
    unpackit8(m, w);
  else
    unpackit4(m, w);
  solvs_raw(w.data(), n, n, y.data(), rank, ierr);
  sol = std::move(y);
}

}  // namespace

// ---------------------------------------------------------------- Cholesky

void fchols8(const double* m, int n, int ldm, double* l, int ldl) {
  detail::copy_block(m, ldm, l, ldl, n);
  chols_raw(l, n, ldl, nullptr, nullptr);
}

void chols8(double* m, int n, int ldm, int* rank, int* ierr) { chols_raw(m, n, ldm, rank, ierr); }

mat20 fchols8(const mat20& m) {
  mat20 l;
  l.n = m.n;
  fchols8(m.data(), m.n, mat20::ld, l.data(), mat20::ld);
  return l;
}

util::mat1<double> fchols8(const util::mat1<double>& m) {
  util::mat1<double> l = leading_copy(m, order_of(m, "fchols8"));
  chols_raw(l.data(), static_cast<int>(l.rows()), static_cast<int>(l.rows()), nullptr, nullptr);
  return l;
}

util::mat1<float> fchols4(const util::mat1<float>& m) {
  util::mat1<float> l = leading_copy(m, order_of(m, "fchols4"));
  chols_raw(l.data(), static_cast<int>(l.rows()), static_cast<int>(l.rows()), nullptr, nullptr);
  return l;
}

void chols8(util::mat1<double>& m, int* rank, int* ierr) {
  chols_raw(m.data(), order_of(m, "chols8"), static_cast<int>(m.rows()), rank, ierr);
}

void chols4(util::mat1<float>& m, int* rank, int* ierr) {
  chols_raw(m.data(), order_of(m, "chols4"), static_cast<int>(m.rows()), rank, ierr);
}

void chols8t(util::vec1<double>& m, int* rank, int* ierr) {
  through_full(m, m, [&](util::mat1<double>& w) { chols8(w, rank, ierr); });
}

void chols4t(util::vec1<float>& m, int* rank, int* ierr) {
  through_full(m, m, [&](util::mat1<float>& w) { chols4(w, rank, ierr); });
}

util::vec1<double> fchols8t(const util::vec1<double>& m) {
  util::vec1<double> r = m;
  through_full(r, r, [](util::mat1<double>& w) { chols8(w); });
  return r;
}

util::vec1<float> fchols4t(const util::vec1<float>& m) {
  util::vec1<float> r = m;
  through_full(r, r, [](util::mat1<float>& w) { chols4(w); });
  return r;
}

// ------------------------------------------------------ generalised inverse

void finvcs8(const double* m, int n, int ldm, double* g, int ldg) {
  detail::copy_block(m, ldm, g, ldg, n);
  invcs_raw(g, n, ldg, nullptr, nullptr);
}

void invcs8(double* m, int n, int ldm, int* rank, int* ierr) { invcs_raw(m, n, ldm, rank, ierr); }

mat20 finvcs8(const mat20& m) {
  mat20 g;
  g.n = m.n;
  finvcs8(m.data(), m.n, mat20::ld, g.data(), mat20::ld);
  return g;
}

util::mat1<double> finvcs8(const util::mat1<double>& m) {
  util::mat1<double> g = leading_copy(m, order_of(m, "finvcs8"));
  invcs_raw(g.data(), static_cast<int>(g.rows()), static_cast<int>(g.rows()), nullptr, nullptr);
  return g;
}

util::mat1<float> finvcs4(const util::mat1<float>& m) {
  util::mat1<float> g = leading_copy(m, order_of(m, "finvcs4"));
  invcs_raw(g.data(), static_cast<int>(g.rows()), static_cast<int>(g.rows()), nullptr, nullptr);
  return g;
}

void invcs8(util::mat1<double>& m, int* rank, int* ierr) {
  invcs_raw(m.data(), order_of(m, "invcs8"), static_cast<int>(m.rows()), rank, ierr);
}

void invcs4(util::mat1<float>& m, int* rank, int* ierr) {
  invcs_raw(m.data(), order_of(m, "invcs4"), static_cast<int>(m.rows()), rank, ierr);
}

void invcs8t(util::vec1<double>& m, int* rank) {
  through_full(m, m, [&](util::mat1<double>& w) { invcs8(w, rank); });
}

void invcs4t(util::vec1<float>& m, int* rank) {
  through_full(m, m, [&](util::mat1<float>& w) { invcs4(w, rank); });
}

util::vec1<double> finvcs8t(const util::vec1<double>& m) {
  util::vec1<double> r = m;
  through_full(r, r, [](util::mat1<double>& w) { invcs8(w); });
  return r;
}

util::vec1<float> finvcs4t(const util::vec1<float>& m) {
  util::vec1<float> r = m;
  through_full(r, r, [](util::mat1<float>& w) { invcs4(w); });
  return r;
}

// ------------------------------------------------------------------ solves

void fsolvs8(const double* m, int n, int ldm, const double* rhs, double* x) {
  Work<double, mat_cap> a(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  detail::copy_block(m, ldm, a.data(), n, n);
  if (x != rhs)
    for (int i = 0; i < n; ++i) x[i] = rhs[i];
  solvs_raw(a.data(), n, n, x, nullptr, nullptr);
}

void fsolvinvs8(const double* m, int n, int ldm, const double* rhs, double* x, double* g,
                int ldg) {
  detail::copy_block(m, ldm, g, ldg, n);
  if (x != rhs)
    for (int i = 0; i < n; ++i) x[i] = rhs[i];
  int r = 0;
  if (factor(g, n, ldg, r, false) != 0) {
    // The two separate calls say what went wrong, in their order.
    fsolvs8(m, n, ldm, x, x);
    finvcs8(m, n, ldm, g, ldg);
    return;
  }
  Work<double, max_order> w(static_cast<std::size_t>(n));
  substitute(g, n, ldg, x, w.data());
  inverse_from_factor(g, n, ldg, w.data());
}

void solvs8(double* m, int n, int ldm, double* x, int* rank, int* ierr) {
  solvs_raw(m, n, ldm, x, rank, ierr);
}

void fsolvs8(const mat20& m, const double* rhs, double* x) {
  fsolvs8(m.data(), m.n, mat20::ld, rhs, x);
}

util::vec1<double> fsolvs8(const util::mat1<double>& m, const util::vec1<double>& rhs) {
  util::vec1<double> x;
  solvs_f(m, rhs, x, nullptr, nullptr, "fsolvs8");
  return x;
}

util::vec1<float> fsolvs4(const util::mat1<float>& m, const util::vec1<float>& rhs) {
  util::vec1<float> x;
  solvs_f(m, rhs, x, nullptr, nullptr, "fsolvs4");
  return x;
}

void solvs8(util::mat1<double>& m, util::vec1<double>& x, int* rank, int* ierr) {
  const int n = order_of(m, "solvs8");
  need_len(x, n, "solvs8");
  solvs_raw(m.data(), n, static_cast<int>(m.rows()), x.data(), rank, ierr);
}

void solvs4(util::mat1<float>& m, util::vec1<float>& x, int* rank, int* ierr) {
  const int n = order_of(m, "solvs4");
  need_len(x, n, "solvs4");
  solvs_raw(m.data(), n, static_cast<int>(m.rows()), x.data(), rank, ierr);
}

void solvs8f(const util::mat1<double>& m, const util::vec1<double>& rhs, util::vec1<double>& sol,
             int* rank, int* ierr) {
  solvs_f(m, rhs, sol, rank, ierr, "solvs8f");
}

void solvs4f(const util::mat1<float>& m, const util::vec1<float>& rhs, util::vec1<float>& sol,
             int* rank, int* ierr) {
  solvs_f(m, rhs, sol, rank, ierr, "solvs4f");
}

void solvs8t(const util::vec1<double>& m, const util::vec1<double>& rhs, util::vec1<double>& sol,
             int* rank, int* ierr) {
  solvs_packed(m, rhs, sol, rank, ierr, "solvs8t");
}

void solvs4t(const util::vec1<float>& m, const util::vec1<float>& rhs, util::vec1<float>& sol,
             int* rank, int* ierr) {
  solvs_packed(m, rhs, sol, rank, ierr, "solvs4t");
}

util::vec1<double> fsolvs8t(const util::vec1<double>& m, const util::vec1<double>& rhs) {
  util::vec1<double> x;
  solvs_packed(m, rhs, x, nullptr, nullptr, "fsolvs8t");
  return x;
}

util::vec1<float> fsolvs4t(const util::vec1<float>& m, const util::vec1<float>& rhs) {
  util::vec1<float> x;
  solvs_packed(m, rhs, x, nullptr, nullptr, "fsolvs4t");
  return x;
}

// ------------------------------------------------------------ determinants

double fdets8(const double* m, int n, int ldm, int* ierr) {
  Work<double, mat_cap> a(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  detail::copy_block(m, ldm, a.data(), n, n);
  return det_raw(a.data(), n, n, ierr);
}

double fdets8(const mat20& m) { return fdets8(m.data(), m.n, mat20::ld); }

double fdets8(const util::mat1<double>& m) {
  return fdets8(m.data(), order_of(m, "fdets8"), static_cast<int>(m.rows()));
}

double fdets8p(const util::vec1<double>& m) {
  const int n = packed_order(m.size());
  util::mat1<double> w(n, n);
  unpackit8(m, w);
  return det_raw(w.data(), n, n);
}

float fdets4(const util::mat1<float>& m) {
  const int n = order_of(m, "fdets4");
  Work<double, mat_cap> a(static_cast<std::size_t>(n) * static_cast<std::size_t>(n));
  detail::copy_block(m.data(), static_cast<int>(m.rows()), a.data(), n, n);
  return static_cast<float>(det_raw(a.data(), n, n));
}

float fdets4p(const util::vec1<float>& m) {
  const int n = packed_order(m.size());
  util::mat1<float> w(n, n);
  unpackit4(m, w);
  return fdets4(w);
}

}  // namespace denseop
