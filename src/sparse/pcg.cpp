// Preconditioned conjugate gradients on the hash store and on a full array.
#include "sparse/pcg.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "sparse/sparseop.hpp"
#include "sparse/zanto_ija.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/team.hpp"

namespace pcg {

using sparsem::densem;
using sparsem::hash_slot;
using sparsem::sparse_hashm;
using sparsem::sparse_ija;

namespace {

// The hash table read once into rows: row i lists every term of (A u)(i) as
// (column, value), in the table order in which the hash product adds them,
// so that a row sum reproduces that product bit for bit while streaming
// memory and writing each result once.
struct sym_rows {
  std::int32_t n = 0;
  std::vector<std::size_t> start;  // row i (0-based) at start[i] .. start[i+1]-1
  std::vector<std::int32_t> col;   // 0-based
  std::vector<double> val;
  std::vector<double> diag;        // stored diagonal, 0 where there is none
};

void compact(sym_rows& S, const sparse_hashm& A) {
  const std::int32_t n = A.n;
  S.n = n;
  S.start.assign(static_cast<std::size_t>(n) + 1, 0);
  S.diag.assign(static_cast<std::size_t>(n), 0.0);
  const hash_slot* t = A.x.data();
  const std::int32_t nel = A.has_table() ? A.nel : 0;

  // Count the terms of each row in start[row]; elements below the diagonal
  // add nothing to the product and are left out.
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row, c = t[k].col;
    if (r == 0 || r > c) continue;
    if (r < 1 || c > n) sparsem::detail::key_out_of_range("solve_sparse_hashm_pcg", r, c, n);
    ++S.start[static_cast<std::size_t>(r)];
    if (r != c) ++S.start[static_cast<std::size_t>(c)];
  }
  for (std::size_t i = 1; i <= static_cast<std::size_t>(n); ++i) S.start[i] += S.start[i - 1];
  const std::size_t total = S.start[static_cast<std::size_t>(n)];
  S.col.resize(total);
  S.val.resize(total);

  // Fill in table order, with start[i] running as the next free place of row
  // i (0-based); afterwards start[i] is the end of row i, so shift by one.
  std::size_t* next = S.start.data();
  for (std::int32_t k = 0; k < nel; ++k) {
    const std::int32_t r = t[k].row, c = t[k].col;
    if (r == 0 || r > c) continue;
    const double v = t[k].val;
    const std::size_t p = next[r - 1]++;
    S.col[p] = c - 1;
    S.val[p] = v;
    if (r == c) {
      S.diag[static_cast<std::size_t>(r - 1)] = v;
    } else {
      const std::size_t q = next[c - 1]++;
      S.col[q] = r - 1;
      S.val[q] = v;
    }
  }
  for (std::size_t i = static_cast<std::size_t>(n); i >= 1; --i) S.start[i] = S.start[i - 1];
  S.start[0] = 0;
}

// The columns of a row come in table order, at random: u is fetched far
// enough ahead to cover a load from memory once u outgrows the cache.
constexpr std::size_t fetch_ahead = 128;

// y(i) = (A u)(i) for rows first..last-1 (0-based), each row summed in its
// own order; with Dot also u'y over those rows summed in index order.
template <bool Dot>
double product_rows(const sym_rows& S, const double* u, double* y, std::int32_t first,
                    std::int32_t last) {
  const std::size_t* st = S.start.data();
  const std::int32_t* col = S.col.data();
  const double* val = S.val.data();
  const std::size_t end = st[last];
  double dot = 0.0;
  for (std::int32_t i = first; i < last; ++i) {
    double s = 0.0;
    for (std::size_t k = st[i]; k < st[i + 1]; ++k) {
      if (k + fetch_ahead < end) __builtin_prefetch(u + col[k + fetch_ahead]);
      s += val[k] * u[col[k]];
    }
    y[i] = s;
    if constexpr (Dot) dot += u[i] * s;
  }
  return dot;
}

// Below this many terms a product takes too little time to share out.
constexpr std::size_t terms_per_thread = std::size_t{1} << 20;

// Threads for the product: rows are shared out in consecutive ranges of
// about equal numbers of terms, and each row is summed by one thread exactly
// as a single thread would, so the result is the same for any count.
std::int32_t choose_threads(std::size_t terms) {
  return util::team_parts(terms, terms_per_thread, product_threads);
}

// A fixed team for the products of one solve: the calling thread takes the
// first range and the workers the others; they wait between products.
class row_team {
 public:
  row_team(const sym_rows& S, std::int32_t threads) : S_(S) {
    const std::int32_t t = std::max<std::int32_t>(1, std::min(threads, std::max<std::int32_t>(S.n, 1)));
    bounds_.assign(static_cast<std::size_t>(t) + 1, S.n);
    bounds_[0] = 0;
    const std::size_t total = S.start[static_cast<std::size_t>(S.n)];
    for (std::int32_t w = 1; w < t; ++w) {
      const std::size_t want = total / static_cast<std::size_t>(t) * static_cast<std::size_t>(w);
      const auto it = std::lower_bound(S.start.begin(), S.start.end(), want);
      bounds_[static_cast<std::size_t>(w)] =
          std::max(bounds_[static_cast<std::size_t>(w) - 1],
                   static_cast<std::int32_t>(std::min<std::ptrdiff_t>(it - S.start.begin(), S.n)));
    }
    workers_.reserve(static_cast<std::size_t>(t) - 1);
    for (std::int32_t w = 1; w < t; ++w) workers_.emplace_back([this, w] { work(w); });
  }
  row_team(const row_team&) = delete;
  row_team& operator=(const row_team&) = delete;
  ~row_team() {
    {
      std::lock_guard<std::mutex> lock(m_);
      stop_ = true;
    }
    go_.notify_all();
    for (std::thread& t : workers_) t.join();
  }

  void mul(const double* u, double* y) {
    if (workers_.empty()) {
      product_rows<false>(S_, u, y, 0, S_.n);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(m_);
      u_ = u;
      y_ = y;
      pending_ = static_cast<std::int32_t>(workers_.size());
      ++round_;
    }
    go_.notify_all();
    product_rows<false>(S_, u, y, bounds_[0], bounds_[1]);
    std::unique_lock<std::mutex> lock(m_);
    done_.wait(lock, [this] { return pending_ == 0; });
  }

  double mul_dot(const double* u, double* y) {
    if (workers_.empty()) return product_rows<true>(S_, u, y, 0, S_.n);
    mul(u, y);
    // The same sum as the single thread forms beside its rows.
    double dot = 0.0;
    for (std::int32_t i = 0; i < S_.n; ++i) dot += u[i] * y[i];
    return dot;
  }

 private:
  void work(std::int32_t w) {
    std::uint64_t seen = 0;
    for (;;) {
      const double* u;
      double* y;
      {
        std::unique_lock<std::mutex> lock(m_);
        go_.wait(lock, [&] { return stop_ || round_ != seen; });
        if (stop_) return;
        seen = round_;
        u = u_;
        y = y_;
      }
      product_rows<false>(S_, u, y, bounds_[static_cast<std::size_t>(w)],
                          bounds_[static_cast<std::size_t>(w) + 1]);
      bool last;
      {
        std::lock_guard<std::mutex> lock(m_);
        last = --pending_ == 0;
      }
      if (last) done_.notify_one();
    }
  }

  const sym_rows& S_;
  std::vector<std::int32_t> bounds_;
  std::vector<std::thread> workers_;
  std::mutex m_;
  std::condition_variable go_, done_;
  const double* u_ = nullptr;
  double* y_ = nullptr;
  std::int32_t pending_ = 0;
  std::uint64_t round_ = 0;
  bool stop_ = false;
};

struct hashm_op {
  row_team& team;
  void mul(const double* u, double* y) const { team.mul(u, y); }
  double mul_dot(const double* u, double* y) const { return team.mul_dot(u, y); }
};

struct densem_op {
  const densem& A;
  void mul(const double* u, double* y) const { sparsem::mult_densem_vec(A, u, y); }
  double mul_dot(const double* u, double* y) const {
    sparsem::mult_densem_vec(A, u, y);
    double dot = 0.0;
    for (std::int32_t i = 0; i < A.n; ++i) dot += u[i] * y[i];
    return dot;
  }
};

// M^-1: the reciprocal diagonal, or the inverted diagonal blocks.
struct preconditioner {
  bool block = false;
  std::vector<double> d;  // 1 / A(i,i), 0 where A(i,i) = 0
  sparse_ija inv;         // upper triangles of the inverted blocks
};

// The blocks of M are inverted in place by the sparse factorisation package;
// "reset" releases its storage, so nothing is kept between solver calls.
void invert_blocks(sparse_ija& M) {
  sparsem::zanto90r4("invert", M);
  sparsem::zanto90r4("reset", M);
}

void need_length(const char* who, const util::vec1<double>& v, std::int32_t n) {
  if (v.size() < n) {
    util::fatal(util::freev(std::string(who) + ": vector of length", v.size(),
                            "shorter than the matrix order", n));
  }
}

void check_block_size(const char* who, std::int32_t m) {
  if (m < 1) util::fatal(util::freev(std::string(who) + ": block size must be at least 1, not", m));
}

template <class Get>
sparse_ija block_diagonal(std::int32_t n, std::int32_t m, Get get) {
  sparse_hashm local;
  sparsem::zero_sparse_hashm(local, n);
  const std::int32_t count = (n - 1 + m) / m;
  for (std::int32_t blk = 0; blk < count; ++blk) {
    const std::int32_t s = 1 + blk * m;
    const std::int32_t t = blk == count - 1 ? n : s + m - 1;
    for (std::int32_t i = s; i <= t; ++i) {
      for (std::int32_t j = s; j <= t; ++j) sparsem::add_sparse_hashm(get(i, j), i, j, local);
    }
  }
  sparse_ija M;
  sparsem::convert_hash_ija(M, local);
  sparsem::deall_sparse_hashm(local);
  return M;
}

void put_text(char*& p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  p += s.size();
}

// The iteration proper.  The vector passes are fused where that leaves every
// sum in index order: the update of x and r also forms |r|^2 and, for the
// diagonal preconditioner, the next z'r.
template <class Op>
void iterate(const Op& op, std::int32_t n, const double* b, double* x, const preconditioner& M) {
  const std::size_t un = static_cast<std::size_t>(n);
  for (std::size_t i = 0; i < un; ++i) x[i] = 0.0;

  bool zero_rhs = true;
  for (std::size_t i = 0; i < un; ++i) zero_rhs = zero_rhs && b[i] == 0.0;
  if (zero_rhs) {
    // x = 0 solves the system exactly; no iteration is needed.
    util::say(0, " iterations,   convergence criterion=", 0.0);
    return;
  }

  std::vector<double> r(b, b + un), p(un), w(un), z(M.block ? un : 0);
  const double* d = M.block ? nullptr : M.d.data();
  double bb = 0.0;
  for (std::size_t i = 0; i < un; ++i) bb += b[i] * b[i];

  double tau = 0.0;
  if (M.block) {
    sparsem::mult_ija_vec(M.inv, r.data(), z.data());
    for (std::size_t i = 0; i < un; ++i) tau += z[i] * r[i];
  } else {
    for (std::size_t i = 0; i < un; ++i) tau += (d[i] * r[i]) * r[i];
  }

  const double conv = static_cast<double>(sparsem::default_conv);
  const std::int32_t rounds = sparsem::default_rounds;
  char line[128];
  double c = 0.0;  // criterion of the current x
  std::int32_t done = 0;
  double tau_prev = 0.0;
  for (std::int32_t k = 1; k <= rounds; ++k) {
    if (k == 1) {
      if (M.block) {
        for (std::size_t i = 0; i < un; ++i) p[i] = z[i];
      } else {
        for (std::size_t i = 0; i < un; ++i) p[i] = d[i] * r[i];
      }
    } else {
      const double beta = tau / tau_prev;
      if (M.block) {
        for (std::size_t i = 0; i < un; ++i) p[i] = beta * p[i] + z[i];
      } else {
        for (std::size_t i = 0; i < un; ++i) p[i] = beta * p[i] + d[i] * r[i];
      }
    }
    const double pw = op.mul_dot(p.data(), w.data());
    if (pw == 0.0) {
      // No step along p is defined; keep the solution reached so far.
      if (k == 1) c = bb / bb;  // x = 0 leaves r = b
      break;
    }
    const double alpha = tau / pw;

    double rr = 0.0, tau_next = 0.0;
    if (k % 100 == 0) {
      // The recursively updated residual drifts; recompute it from x.
      for (std::size_t i = 0; i < un; ++i) x[i] = x[i] + alpha * p[i];
      op.mul(x, w.data());
      for (std::size_t i = 0; i < un; ++i) {
        r[i] = b[i] - w[i];
        rr += r[i] * r[i];
        if (!M.block) tau_next += (d[i] * r[i]) * r[i];
      }
    } else {
      for (std::size_t i = 0; i < un; ++i) {
        x[i] = x[i] + alpha * p[i];
        r[i] = r[i] - alpha * w[i];
        rr += r[i] * r[i];
        if (!M.block) tau_next += (d[i] * r[i]) * r[i];
      }
    }
    c = rr / bb;
    done = k;
    std::fwrite(line, 1, iteration_line(line, sizeof line, k, c), stdout);
    if (c < conv) break;

    if (M.block) {
      sparsem::mult_ija_vec(M.inv, r.data(), z.data());
      for (std::size_t i = 0; i < un; ++i) tau_next += z[i] * r[i];
    }
    tau_prev = tau;
    tau = tau_next;
  }
  util::say(done, " iterations,   convergence criterion=", c);
}

}  // namespace

std::size_t iteration_line(char* buf, std::size_t cap, std::int32_t k, double c) {
  // Longest line: 27 characters of text and blanks, an integer of at most 11
  // and a real of at most 24, and the newline.
  if (cap < 64) util::fatal(util::freev("iteration_line: buffer too small"));
  char* p = buf;
  char* const end = buf + cap;
  put_text(p, " round  ");
  p = std::to_chars(p, end, k).ptr;
  put_text(p, "    convergence= ");
  if (std::isnan(c)) {
    put_text(p, "NaN");
  } else if (std::isinf(c)) {
    put_text(p, c < 0 ? "-Infinity" : "Infinity");
  } else {
    p = std::to_chars(p, end, c).ptr;
  }
  *p++ = '\n';
  return static_cast<std::size_t>(p - buf);
}

sparse_ija block_diagonal_ija(const sparse_hashm& A, std::int32_t m) {
  check_block_size("block_diagonal_ija", m);
  return block_diagonal(A.n, m, [&A](std::int32_t i, std::int32_t j) {
    return sparsem::get_sparse_hashm(i, j, A);
  });
}

sparse_ija block_diagonal_ija(const densem& A, std::int32_t m) {
  check_block_size("block_diagonal_ija", m);
  return block_diagonal(A.n, m, [&A](std::int32_t i, std::int32_t j) {
    return sparsem::get_densem(i, j, A);
  });
}

void solve_sparse_hashm_pcg(const sparse_hashm& A, const util::vec1<double>& b,
                            util::vec1<double>& x, std::int32_t block_size) {
  const std::int32_t n = A.n;
  need_length("solve_sparse_hashm_pcg", b, n);
  need_length("solve_sparse_hashm_pcg", x, n);
  check_block_size("solve_sparse_hashm_pcg", block_size);
  if (n > 0 && A.status != 1) sparsem::detail::not_ready_get();

  sym_rows S;
  compact(S, A);
  preconditioner M;
  if (block_size > 1) {
    M.block = true;
    M.inv = block_diagonal_ija(A, block_size);
    invert_blocks(M.inv);
  } else {
    M.d.resize(static_cast<std::size_t>(n));
    for (std::int32_t i = 0; i < n; ++i) M.d[i] = S.diag[i] != 0.0 ? 1.0 / S.diag[i] : 0.0;
  }
  row_team team(S, choose_threads(S.start[static_cast<std::size_t>(n)]));
  iterate(hashm_op{team}, n, b.data(), x.data(), M);
}

void solve_densem_pcg(const densem& A, const util::vec1<double>& b, util::vec1<double>& x,
                      std::int32_t block_size) {
  const std::int32_t n = A.n;
  need_length("solve_densem_pcg", b, n);
  need_length("solve_densem_pcg", x, n);
  check_block_size("solve_densem_pcg", block_size);

  preconditioner M;
  if (block_size > 1) {
    M.block = true;
    M.inv = block_diagonal_ija(A, block_size);
    invert_blocks(M.inv);
  } else {
    M.d.resize(static_cast<std::size_t>(n));
    for (std::int32_t i = 1; i <= n; ++i) {
      const double a = sparsem::get_densem(i, i, A);
      M.d[i - 1] = a != 0.0 ? 1.0 / a : 0.0;
    }
  }
  iterate(densem_op{A}, n, b.data(), x.data(), M);
}

}  // namespace pcg
