// Compressed-row matrices, their conversions to and from the hash store, and
// the compaction and sort of a hash table.
#include <string>
#include <vector>

#include "sparse/sparsem.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sparsem {

void init_sparse_ija(sparse_ija& A) {
  A.n = 0;
  A.nel = 0;
  A.ia.clear();
  A.ja.clear();
  A.a.clear();
}

void zero_sparse_ija(sparse_ija& A) {
  if (A.has_arrays()) init_sparse_ija(A);
}

void deall_sparse_ija(sparse_ija& A) { init_sparse_ija(A); }

double get_sparse_ija(std::int32_t i, std::int32_t j, const sparse_ija& A) {
  for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) {
    if (A.ja(k) == j) return A.a(k);
  }
  return 0.0;
}

void convert_hash_ija(sparse_ija& B, const sparse_hashm& A) {
  const std::int32_t n = A.n;
  const bool both = hash_ija_conversion_type == 1;
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;

  // Count pass.  Elements below the diagonal (kept only when upper storage is
  // off) are left out, so every counted entry is also placed.
  std::vector<std::int32_t> count(static_cast<std::size_t>(n) + 1, 0);
  std::int64_t total = n;
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row, c = t[k].col;
    if (r <= 0 || r > c) continue;
    if (c > n) detail::key_out_of_range("convert_hash_ija", r, c, n);
    if (r < c) {
      ++count[r];
      ++total;
      if (both) {
        ++count[c];
        ++total;
      }
    }
  }
  if (total > INT32_MAX) util::fatal(util::freev("convert_hash_ija: too many elements", total));

  zero_sparse_ija(B);
  B.n = n;
  B.nel = static_cast<std::int32_t>(total);
  B.ia.resize(n + 1);
  B.ja.resize(B.nel);
  B.a.resize(B.nel);
  // Plain 0-based views: element i of the 1-based arrays is at [i - 1].
  std::int32_t* ia = B.ia.data();
  std::int32_t* ja = B.ja.data();
  double* av = B.a.data();

  // Row starts; count becomes the next free position of each row.
  ia[0] = 1;
  for (std::int32_t i = 1; i <= n; ++i) {
    const std::int32_t d = ia[i - 1];
    ja[d - 1] = i;
    av[d - 1] = 0.0;
    ia[i] = d + count[i] + 1;
    count[i] = d + 1;
  }

  // Fill pass.
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row, c = t[k].col;
    if (r <= 0 || r > c) continue;
    const double v = t[k].val;
    if (r == c) {
      av[ia[r - 1] - 1] = v;
    } else {
      const std::int32_t p = count[r]++;
      ja[p - 1] = c;
      av[p - 1] = v;
      if (both) {
        const std::int32_t q = count[c]++;
        ja[q - 1] = r;
        av[q - 1] = v;
      }
    }
  }
}

void convert_hash_ija_general(sparse_ija& B, const sparse_hashm& A) { convert_hash_ija(B, A); }

void convert_hash_ija_general(sparse_ija& B, const sparse_hashm& A, std::int32_t type) {
  hash_ija_conversion_type = type;
  convert_hash_ija(B, A);
}

void hashia1(util::vec1<hash_slot>& x, std::int32_t nel, std::int32_t n,
             util::vec1<std::int32_t>& ia, util::vec1<std::int32_t>& ja,
             util::vec1<double>& a, std::int32_t m) {
  std::vector<std::int32_t> count(static_cast<std::size_t>(n) + 1, 0);
  long dropped = 0;
  for (std::int32_t k = 1; k <= nel; ++k) {
    hash_slot& s = x(k);
    if (s.row == 0) continue;
    if (s.row < 0 || s.row > n || s.col > n) {
      s.row = 0;
      ++dropped;
    } else {
      ++count[s.row];
    }
  }
  ia(1) = 1;
  for (std::int32_t i = 1; i <= n; ++i) ia(i + 1) = ia(i) + count[i];
  if (ia(n + 1) - 1 > m) {
    util::fatal(util::freev("Too small parameter m in hashia:should be >", ia(n + 1)));
  }
  for (std::int32_t i = 1; i <= n; ++i) count[i] = 0;
  for (std::int32_t k = 1; k <= nel; ++k) {
    const hash_slot& s = x(k);
    if (s.row == 0) continue;
    const std::int32_t p = ia(s.row) + count[s.row]++;
    ja(p) = s.col;
    a(p) = s.val;
  }
  if (dropped > 0) util::say(dropped, "elements in HASH->IJA conversion had index(es) over", n);
}

void convert_hash_ija_old(sparse_ija& B, sparse_hashm& A) {
  if (A.status != 1) {
    util::fatal(util::freev("Conversion from HASH to IJA must be done before solving with the hash matrix"));
  }
  for (std::int32_t i = 1; i <= A.n; ++i) add_sparse_hashm(0.0, i, i, A);
  zero_sparse_ija(B);
  B.n = A.n;
  B.nel = A.filled;
  B.ia.resize(B.n + 1);
  B.ja.resize(B.nel);
  B.a.resize(B.nel);
  hashia1(A.x, A.nel, B.n, B.ia, B.ja, B.a, B.nel);
  // Dropped keys leave the table's count above the entries placed; keep the
  // arrays to the placed entries so that ia(n+1) = nel + 1 holds.
  const std::int32_t placed = B.ia(B.n + 1) - 1;
  if (placed < B.nel) {
    util::vec1<std::int32_t> ja(placed);
    util::vec1<double> a(placed);
    for (std::int32_t k = 1; k <= placed; ++k) {
      ja(k) = B.ja(k);
      a(k) = B.a(k);
    }
    B.nel = placed;
    B.ja = std::move(ja);
    B.a = std::move(a);
  }
}

void convert_ija_hash(sparse_hashm& A, const sparse_ija& B) {
  zero_sparse_hashm(A, B.n);
  for (std::int32_t i = 1; i <= B.n; ++i) {
    for (std::int32_t k = B.ia(i); k < B.ia(i + 1); ++k) add_sparse_hashm(B.a(k), i, B.ja(k), A);
  }
}

void clusterr(util::vec1<hash_slot>& x, std::int32_t nel, std::int32_t filled) {
  std::int32_t e = 1, f = 1;
  for (std::int32_t pass = 0; pass < filled; ++pass) {
    while (e <= nel && x(e).row != 0) ++e;
    while (f <= nel && x(f).row == 0) ++f;
    if (e > nel || f > nel) break;  // fewer occupied slots than counted
    if (e < f) {
      x(e) = x(f);
      x(f) = hash_slot{};
    } else {
      ++f;
    }
  }
}

void sortqr(util::vec1<hash_slot>& x, std::int32_t n) {
  auto less = [](const hash_slot& a, const hash_slot& b) {
    return a.row < b.row || (a.row == b.row && a.col < b.col);
  };
  // Pending ranges: pushing the larger part keeps the stack within log2(n).
  struct range {
    std::int32_t l, r;
  };
  range stack[64];
  int top = 0;
  stack[top++] = {1, n};
  while (top > 0) {
    std::int32_t l = stack[top - 1].l, r = stack[top - 1].r;
    --top;
    while (l < r) {
      const hash_slot pivot = x((l + r) / 2);
      std::int32_t i = l, j = r;
      while (i <= j) {
        while (less(x(i), pivot)) ++i;
        while (less(pivot, x(j))) --j;
        if (i <= j) {
          std::swap(x(i), x(j));
          ++i;
          --j;
        }
      }
      // Parts (l, j) and (i, r): continue with the smaller one.
      if (j - l < r - i) {
        if (i < r) stack[top++] = {i, r};
        r = j;
      } else {
        if (l < j) stack[top++] = {l, j};
        l = i;
      }
    }
  }
}

}  // namespace sparsem
