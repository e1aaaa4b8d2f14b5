// Products of the matrix forms with a scalar and with a vector.
#include "sparse/sparseop.hpp"

#include "util/format.hpp"
#include "util/stop.hpp"

namespace sparsem {

namespace {

void need_length(const char* who, const util::vec1<double>& u, std::int32_t n) {
  if (u.size() < n) {
    util::fatal(util::freev(std::string(who) + ": vector of length", u.size(),
                            "shorter than the matrix order", n));
  }
}

// The vector-returning forms: checked length, fresh result.
template <class Matrix, class Kernel>
util::vec1<double> product(const char* who, const Matrix& A, const util::vec1<double>& u,
                           Kernel kernel) {
  need_length(who, u, A.n);
  util::vec1<double> y(A.n);
  kernel(A, u.data(), y.data());
  return y;
}

}  // namespace

void mult_ija_scal(sparse_ija& A, double s) {
  double* a = A.a.data();
  for (std::int32_t k = 0; k < A.nel; ++k) a[k] *= s;
}

void mult_hashm_scal(sparse_hashm& A, double s) {
  hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  for (std::int32_t k = 0; k < nel; ++k) t[k].val *= s;
}

void mult_densem_scal(densem& A, double s) {
  double* x = A.x.data();
  const long m = static_cast<long>(A.x.rows()) * A.x.cols();
  for (long k = 0; k < m; ++k) x[k] *= s;
}

void mult_ija_vec(const sparse_ija& A, const double* u, double* y) {
  const std::int32_t n = A.n;
  for (std::int32_t i = 0; i < n; ++i) y[i] = 0.0;
  if (n == 0) return;
  const std::int32_t* ia = A.ia.data();
  const std::int32_t* ja = A.ja.data();
  const double* a = A.a.data();
  for (std::int32_t i = 1; i <= n; ++i) {
    const double ui = u[i - 1];
    for (std::int32_t k = ia[i - 1]; k < ia[i]; ++k) {
      const std::int32_t j = ja[k - 1];
      if (j == i) {
        y[i - 1] += a[k - 1] * ui;
      } else if (j > i) {
        if (j > n) detail::key_out_of_range("mult_ija_vec", i, j, n);
        y[i - 1] += a[k - 1] * u[j - 1];
        y[j - 1] += a[k - 1] * ui;
      }
    }
  }
}

void mult_hashm_vec(const sparse_hashm& A, const double* u, double* y) {
  const std::int32_t n = A.n;
  for (std::int32_t i = 0; i < n; ++i) y[i] = 0.0;
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t i = t[k].row;
    if (i == 0) continue;
    const std::int32_t j = t[k].col;
    if (i > j) continue;
    if (i < 1 || j > n) detail::key_out_of_range("mult_hashm_vec", i, j, n);
    const double v = t[k].val;
    if (i == j) {
      y[i - 1] += v * u[j - 1];
    } else {
      y[i - 1] += v * u[j - 1];
      y[j - 1] += v * u[i - 1];
    }
  }
}

void mult_densem_vec(const densem& A, const double* u, double* y) {
  const std::int32_t n = A.n;
  for (std::int32_t i = 1; i <= n; ++i) {
    double s = 0.0;
    for (std::int32_t j = 1; j <= n; ++j) s += A.x(i, j) * u[j - 1];
    y[i - 1] = s;
  }
}

void mult_vec_densem(const double* u, const densem& A, double* y) {
  const std::int32_t n = A.n;
  for (std::int32_t j = 1; j <= n; ++j) {
    const double* col = n > 0 ? A.x.col(j) : nullptr;
    double s = 0.0;
    for (std::int32_t i = 1; i <= n; ++i) s += u[i - 1] * col[i - 1];
    y[j - 1] = s;
  }
}

util::vec1<double> mult_ija_vec(const sparse_ija& A, const util::vec1<double>& u) {
  return product("mult_ija_vec", A, u, [](const sparse_ija& M, const double* x, double* y) {
    mult_ija_vec(M, x, y);
  });
}

// The matrices are symmetric: u'A is Au.
util::vec1<double> mult_vec_ija(const util::vec1<double>& u, const sparse_ija& A) {
  return product("mult_vec_ija", A, u, [](const sparse_ija& M, const double* x, double* y) {
    mult_ija_vec(M, x, y);
  });
}

util::vec1<double> mult_hashm_vec(const sparse_hashm& A, const util::vec1<double>& u) {
  return product("mult_hashm_vec", A, u, [](const sparse_hashm& M, const double* x, double* y) {
    mult_hashm_vec(M, x, y);
  });
}

util::vec1<double> mult_vec_hashm(const util::vec1<double>& u, const sparse_hashm& A) {
  return product("mult_vec_hashm", A, u, [](const sparse_hashm& M, const double* x, double* y) {
    mult_hashm_vec(M, x, y);
  });
}

util::vec1<double> mult_densem_vec(const densem& A, const util::vec1<double>& u) {
  return product("mult_densem_vec", A, u, [](const densem& M, const double* x, double* y) {
    mult_densem_vec(M, x, y);
  });
}

util::vec1<double> mult_vec_densem(const util::vec1<double>& u, const densem& A) {
  return product("mult_vec_densem", A, u, [](const densem& M, const double* x, double* y) {
    mult_vec_densem(x, M, y);
  });
}

}  // namespace sparsem
