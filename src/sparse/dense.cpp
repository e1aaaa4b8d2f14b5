// Dense companions of the sparse forms, linked rows, and the conversions
// between the dense and the sparse forms.
#include <vector>

#include "sparse/sparsem.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sparsem {

void zero_densem(densem& A, std::int32_t n) {
  if (A.x.rows() != n || A.x.cols() != n || A.n != n) {
    A.x = util::mat1<double>();
    A.x.resize(n, n);
  } else {
    A.x.fill(0.0);
  }
  A.n = n;
}

void init_densem(densem& A) {
  A.n = 0;
  A.x = util::mat1<double>();
}

void deall_densem(densem& A) { init_densem(A); }

void zero_dense_symm(dense_symm& A, std::int32_t n) {
  const long len = static_cast<long>(n) * (n + 1) / 2;
  if (A.x.size() != len || A.n != n || A.x.empty()) {
    A.x.clear();
    A.x.resize(len);
  } else {
    A.x.fill(0.0);
  }
  A.n = n;
}

void init_dense_symm(dense_symm& A) {
  A.n = 0;
  A.x.clear();
}

void deall_dense_symm(dense_symm& A) { init_dense_symm(A); }

void zero_ll(sparse_ll& A, std::int32_t n) {
  if (A.rows.empty()) {
    A.rows.clear();
    A.rows.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
    A.n = n;
    return;
  }
  if (n != A.n) util::fatal(util::freev("reset in sparse_ll not yet implemented"));
  for (ll_node& head : A.rows) {
    for (ll_node* p = &head; p != nullptr; p = p->next.get()) p->val = 0;
  }
}

void init_ll(sparse_ll& A) {
  A.n = 0;
  A.rows.clear();
}

void convert_half_dense(densem& B, const dense_symm& A) {
  const std::int32_t n = A.n;
  zero_densem(B, n);
  for (std::int32_t i = 1; i <= n; ++i) {
    for (std::int32_t j = i; j <= n; ++j) {
      const double v = A.x(pos_symm(i, j, n));
      B.x(i, j) = v;
      B.x(j, i) = v;
    }
  }
}

void convert_densem_ija(sparse_ija& B, const densem& A) {
  const std::int32_t n = A.n;
  std::vector<std::int32_t> count(static_cast<std::size_t>(n) + 1, 0);
  std::int64_t total = 0;
  for (std::int32_t i = 1; i <= n; ++i) {
    std::int32_t c = 1;  // the diagonal
    for (std::int32_t j = i + 1; j <= n; ++j) {
      if (A.x(i, j) != 0.0) ++c;
    }
    count[i] = c;
    total += c;
  }
  if (total > INT32_MAX) util::fatal(util::freev("convert_densem_ija: too many elements", total));
  zero_sparse_ija(B);
  B.n = n;
  B.nel = static_cast<std::int32_t>(total);
  B.ia.resize(n + 1);
  B.ja.resize(B.nel);
  B.a.resize(B.nel);
  B.ia(1) = 1;
  for (std::int32_t i = 1; i <= n; ++i) B.ia(i + 1) = B.ia(i) + count[i];
  for (std::int32_t i = 1; i <= n; ++i) {
    std::int32_t p = B.ia(i);
    for (std::int32_t j = i; j <= n; ++j) {
      const double v = A.x(i, j);
      if (j == i || v != 0.0) {
        B.ja(p) = j;
        B.a(p) = v;
        ++p;
      }
    }
  }
}

void convert_ija_densem(densem& B, const sparse_ija& A) {
  const std::int32_t n = A.n;
  zero_densem(B, n);
  for (std::int32_t i = 1; i <= n; ++i) {
    for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) {
      const std::int32_t j = A.ja(k);
      if (j < i) continue;
      if (j > n) detail::key_out_of_range("convert_ija_densem", i, j, n);
      const double v = A.a(k);
      B.x(i, j) += v;
      if (j != i) B.x(j, i) += v;
    }
  }
}

void convert_hash_densem(densem& B, const sparse_hashm& A) {
  const std::int32_t n = A.n;
  zero_densem(B, n);
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row, c = t[k].col;
    if (r == 0) continue;
    if (r < 1 || r > n || c < 1 || c > n) detail::key_out_of_range("convert_hash_densem", r, c, n);
    const double v = t[k].val;
    B.x(r, c) += v;
    if (r != c) B.x(c, r) += v;
  }
}

void convert_densem_hashm(sparse_hashm& A, const densem& B) {
  const std::int32_t n = B.n;
  zero_sparse_hashm(A, n);
  for (std::int32_t i = 1; i <= n; ++i) {
    for (std::int32_t j = 1; j <= n; ++j) {
      const double v = B.x(i, j);
      if (v != 0.0) add_sparse_hashm(v, i, j, A);
    }
  }
}

}  // namespace sparsem
