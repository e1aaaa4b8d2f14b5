// Gauss-Seidel and SOR solvers for the sparse and dense forms.
#include "sparse/gauss_seidel.hpp"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "util/format.hpp"
#include "util/stop.hpp"

namespace sparsem {

namespace {

void need_length(const char* who, const util::vec1<double>& v, std::int32_t n) {
  if (v.size() < n) {
    util::fatal(util::freev(std::string(who) + ": vector of length", v.size(),
                            "shorter than the matrix order", n));
  }
}

void check_order(const char* who, std::int32_t n) {
  if (n < 0) util::fatal(util::freev(std::string(who) + ": negative order", n));
}

// Runs sweeps until the criterion falls below the limit or the largest
// number of sweeps is reached, then prints the summary.  sweep(change, size)
// performs one sweep and adds to both sums.
template <class Sweep>
void run_sweeps(Sweep&& sweep, bool print_rounds) {
  const double conv = static_cast<double>(default_conv);
  const std::int32_t rounds = default_rounds;
  std::string line;
  line.reserve(64);
  std::int32_t iter = 0;
  double c = 0.0;
  for (;;) {
    ++iter;
    double change = 0.0, size = 0.0;
    sweep(change, size);
    c = change / size;
    if (c < conv || iter >= rounds) break;
    if (print_rounds) {
      line.clear();
      util::put_a(line, " round ");
      util::put_i(line, iter, 6);
      util::put_a(line, "  convergence=");
      util::put_g(line, c, 12, 4);
      line.push_back('\n');
      std::fwrite(line.data(), 1, line.size(), stdout);
    }
  }
  if (sparsem_msg >= 2) {
    util::say("solutions computed in ", iter, " rounds of iteration");
    util::say("reached convergence criterion ", c);
  }
}

// One sweep of the sparse forms.  Row i (1-based) holds the entries
// lo(i) <= k < hi(i) with col(k) and val(k); w is the work copy of b.
template <class Rows>
void sparse_sweep(std::int32_t n, const Rows& R, const double* d, const double* b, double* x,
                  double* w, double relax, double& change, double& size) {
  for (std::int32_t i = 0; i < n; ++i) w[i] = b[i];
  for (std::int32_t i = 1; i <= n; ++i) {
    const double di = d[i - 1];
    if (di == 0.0) continue;
    const std::int32_t lo = R.lo(i), hi = R.hi(i);
    double s = 0.0;
    for (std::int32_t k = lo; k < hi; ++k) s += R.val(k) * x[R.col(k) - 1];
    const double xi = x[i - 1];
    const double xn = (w[i - 1] - s) * relax / di + xi;
    const double dx = xi - xn;
    change += dx * dx;
    size += xn * xn;
    x[i - 1] = xn;
    for (std::int32_t k = lo; k < hi; ++k) w[R.col(k) - 1] -= R.val(k) * xn;
  }
}

struct ija_rows {
  const std::int32_t* ia;  // 0-based views of the 1-based arrays
  const std::int32_t* ja;
  const double* a;
  std::int32_t lo(std::int32_t i) const { return ia[i - 1]; }
  std::int32_t hi(std::int32_t i) const { return ia[i]; }
  std::int32_t col(std::int32_t k) const { return ja[k - 1]; }
  double val(std::int32_t k) const { return a[k - 1]; }
};

struct slot_rows {
  const std::int32_t* s;  // s[i] = start of row i, i = 1..n+1
  const hash_slot* t;
  std::int32_t lo(std::int32_t i) const { return std::max(s[i], 1); }
  std::int32_t hi(std::int32_t i) const { return s[i + 1]; }
  std::int32_t col(std::int32_t k) const { return t[k - 1].col; }
  double val(std::int32_t k) const { return t[k - 1].val; }
};

}  // namespace

void solve_sparse_ija_gs(std::int32_t n, const util::vec1<std::int32_t>& ia,
                         const util::vec1<std::int32_t>& ja, const util::vec1<double>& a,
                         const util::vec1<double>& b, util::vec1<double>& x) {
  static const char* who = "solve_sparse_ija_gs";
  check_order(who, n);
  need_length(who, b, n);
  need_length(who, x, n);
  if (n > 0 && ia.size() < n + 1) util::fatal(util::freev(std::string(who) + ": too few row starts"));

  std::vector<double> d(static_cast<std::size_t>(n), 0.0);
  for (std::int32_t i = 1; i <= n; ++i) {
    const std::int32_t lo = ia(i), hi = ia(i + 1);
    if (hi > lo && (lo < 1 || hi - 1 > ja.size() || hi - 1 > a.size())) {
      util::fatal(util::freev(std::string(who) + ": row", i, "lies outside the arrays"));
    }
    for (std::int32_t k = lo; k < hi; ++k) {
      const std::int32_t j = ja(k);
      if (j < 1 || j > n) detail::key_out_of_range(who, i, j, n);
      if (j == i) d[i - 1] = a(k);
    }
  }

  std::vector<double> w(static_cast<std::size_t>(n));
  const ija_rows R{ia.data(), ja.data(), a.data()};
  const double relax = static_cast<double>(default_relax);
  run_sweeps(
      [&](double& change, double& size) {
        sparse_sweep(n, R, d.data(), b.data(), x.data(), w.data(), relax, change, size);
      },
      false);
}

void solve_sparse_hashm_gs(std::int32_t n, const util::vec1<hash_slot>& t,
                           const util::vec1<double>& b, util::vec1<double>& x, std::int32_t m) {
  static const char* who = "solve_sparse_hashm_gs";
  check_order(who, n);
  need_length(who, b, n);
  need_length(who, x, n);
  if (m < 0 || m > t.size()) {
    util::fatal(util::freev(std::string(who) + ":", m, "triples asked of a table of", t.size()));
  }

  // Diagonal and row starts s(1..n+1); rows without triples get empty ranges.
  std::vector<double> d(static_cast<std::size_t>(n), 0.0);
  std::vector<std::int32_t> s(static_cast<std::size_t>(n) + 2, 0);
  std::int32_t cur = 1;
  if (n > 0) s[1] = 1;
  for (std::int32_t k = 1; k <= m; ++k) {
    const hash_slot& e = t(k);
    const std::int32_t i = e.row;
    if (i < 1 || i > n || e.col < 1 || e.col > n) detail::key_out_of_range(who, i, e.col, n);
    if (e.col == i) d[i - 1] = e.val;
    if (i != cur) {
      s[i] = k;
      cur = i;
    }
  }
  if (n > 0) {
    s[cur + 1] = m + 1;
    for (std::int32_t i = cur; i >= 2; --i) {
      if (s[i] == 0) s[i] = s[i + 1];
    }
  }

  std::vector<double> w(static_cast<std::size_t>(n));
  const slot_rows R{s.data(), t.data()};
  const double relax = static_cast<double>(default_relax);
  run_sweeps(
      [&](double& change, double& size) {
        sparse_sweep(n, R, d.data(), b.data(), x.data(), w.data(), relax, change, size);
      },
      true);
}

namespace {

// Sweeps over a full symmetric matrix whose element (i, j) is at(i, j).
template <class At>
void dense_sweeps(std::int32_t n, At at, const util::vec1<double>& b, util::vec1<double>& x) {
  const double relax = static_cast<double>(default_relax);
  const double* bp = b.data();
  double* xp = x.data();
  run_sweeps(
      [&](double& change, double& size) {
        for (std::int32_t i = 1; i <= n; ++i) {
          const double di = at(i, i);
          if (di == 0.0) continue;
          double s = 0.0;
          for (std::int32_t j = 1; j <= n; ++j) s += at(i, j) * xp[j - 1];
          const double xi = xp[i - 1];
          const double xn = (bp[i - 1] - s) * relax / di + xi;
          const double dx = xi - xn;
          change += dx * dx;
          size += xn * xn;
          xp[i - 1] = xn;
        }
      },
      false);
}

}  // namespace

void solve_dense_symm_gs(std::int32_t n, const util::vec1<double>& a, const util::vec1<double>& b,
                         util::vec1<double>& x) {
  static const char* who = "solve_dense_symm_gs";
  check_order(who, n);
  need_length(who, b, n);
  need_length(who, x, n);
  if (a.size() < static_cast<long>(n) * (n + 1) / 2) {
    util::fatal(util::freev(std::string(who) + ": packed triangle of length", a.size(),
                            "too short for order", n));
  }
  const double* ap = a.data();
  dense_sweeps(n, [ap, n](std::int32_t i, std::int32_t j) { return ap[pos_symm(i, j, n) - 1]; }, b, x);
}

void solve_dense_gs(std::int32_t n, const util::mat1<double>& a, const util::vec1<double>& b,
                    util::vec1<double>& x) {
  static const char* who = "solve_dense_gs";
  check_order(who, n);
  need_length(who, b, n);
  need_length(who, x, n);
  if (a.rows() < n || a.cols() < n) {
    util::fatal(util::freev(std::string(who) + ": array of", a.rows(), "by", a.cols(),
                            "too small for order", n));
  }
  dense_sweeps(n, [&a](std::int32_t i, std::int32_t j) { return a(i, j); }, b, x);
}

namespace {

void zero_start(std::int32_t n, util::vec1<double>& x, const char* who) {
  if (!default_zerosol) return;
  need_length(who, x, n);
  for (std::int32_t i = 1; i <= n; ++i) x(i) = 0.0;
}

}  // namespace

void solve_sparse_ija(const sparse_ija& A, const util::vec1<double>& b, util::vec1<double>& x) {
  zero_start(A.n, x, "solve_sparse_ija");
  solve_sparse_ija_gs(A.n, A.ia, A.ja, A.a, b, x);
}

void solve_sparse_hashm(sparse_hashm& A, const util::vec1<double>& b, util::vec1<double>& x) {
  zero_start(A.n, x, "solve_sparse_hashm");
  if (A.status == 1) {
    clusterr(A.x, A.nel, A.filled);
    sortqr(A.x, A.filled);
    A.status = 2;
  } else if (A.status != 2) {
    util::say("Unknown status of hash matrix");
  }
  solve_sparse_hashm_gs(A.n, A.x, b, x, A.filled);
}

void solve_dense_symm_iter(const dense_symm& A, const util::vec1<double>& b, util::vec1<double>& x) {
  zero_start(A.n, x, "solve_dense_symm_iter");
  solve_dense_symm_gs(A.n, A.x, b, x);
}

void solve_dense_iter(const densem& A, const util::vec1<double>& b, util::vec1<double>& x) {
  zero_start(A.n, x, "solve_dense_iter");
  solve_dense_gs(A.n, A.x, b, x);
}

}  // namespace sparsem
