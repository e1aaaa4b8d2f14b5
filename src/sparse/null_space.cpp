#include "sparse/null_space.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <functional>
#include <memory>

#include "util/team.hpp"

namespace sparsem {

namespace {

using Entry = std::pair<int, double>;  // (position in the order, value)

// A column whose row reaches this share of the columns left makes them a
// clique once it goes: from there on a dense block costs less than rows.
constexpr double dense_share = 0.5;
// Smaller blocks cost little either way; past dense_max the block's square
// of doubles (2 GB) is too much memory, and rows go on.
constexpr int dense_min = null_dense_min;
constexpr int dense_max = 16384;
// A row of fill becomes a vector over the positions after its own once it
// holds a quarter of them, where they are this many or more.
constexpr int wide_min = 64;
constexpr int wide_share = 4;
// Rows a batch of pivots updates at a time: about the second-level cache.
constexpr std::size_t block_bytes = std::size_t{1} << 20;
// Below this many pairs a batch's updates are not shared out.
constexpr std::size_t fill_work_per_thread = std::size_t{1} << 20;
// Rows of a panel of the dense block, and columns of its trailing update
// taken at a time (their packed panel stays in the second-level cache).
constexpr int panel = 64;
constexpr int chunk = 256;
// Below this many multiply-adds a panel's update is not shared out.
constexpr std::size_t dense_work_per_thread = std::size_t{1} << 21;

using v4 = double __attribute__((vector_size(32)));

// a(k1 + i, k1 + j) -= (F W)(i, j) for the m by m block's upper triangle in
// the 8-column blocks jb0..jb1-1, by 4 by 8 tiles over the panel's bw rows:
// F packed by 4 rows (bw by 4 each), W by 8 columns (bw by 8).  Each
// element's sum is taken in the same order at any vector width and in any
// share of the blocks, so the processors' builds and any count of threads
// agree to the bit.
__attribute__((target_clones("avx2", "default"))) void subtract_tiles(double* a, std::size_t ur, int k1, int m,
                                                                      int bw, const double* F, const double* W,
                                                                      int jb0, int jb1) {
  const int chunk_blocks = chunk / 8;
  const auto fstep = 4 * static_cast<std::size_t>(bw), wstep = 8 * static_cast<std::size_t>(bw);
  for (int jc = jb0; jc < jb1; jc += chunk_blocks) {
    const int je = std::min(jc + chunk_blocks, jb1);
    for (int ib = 0; ib * 4 < std::min(8 * je, m); ++ib) {
      for (int jb = std::max(jc, ib / 2); jb < je; ++jb) {
        const double* f = F + static_cast<std::size_t>(ib) * fstep;
        const double* w = W + static_cast<std::size_t>(jb) * wstep;
        v4 c0{0, 0, 0, 0}, c1 = c0, c2 = c0, c3 = c0, c4 = c0, c5 = c0, c6 = c0, c7 = c0;
        for (int q = 0; q < bw; ++q, f += 4, w += 8) {
          v4 wa, wb;
          std::memcpy(&wa, w, sizeof wa);
          std::memcpy(&wb, w + 4, sizeof wb);
          c0 += f[0] * wa;
          c1 += f[0] * wb;
          c2 += f[1] * wa;
          c3 += f[1] * wb;
          c4 += f[2] * wa;
          c5 += f[2] * wb;
          c6 += f[3] * wa;
          c7 += f[3] * wb;
        }
        const v4 c[4][2] = {{c0, c1}, {c2, c3}, {c4, c5}, {c6, c7}};
        const int jn = std::min(8, m - jb * 8);
        for (int ii = 0; ii < 4 && ib * 4 + ii < m; ++ii) {
          double* row = a + static_cast<std::size_t>(k1 + ib * 4 + ii) * ur + k1 + jb * 8;
          if (jn == 8) {
            v4 ra, rb;
            std::memcpy(&ra, row, sizeof ra);
            std::memcpy(&rb, row + 4, sizeof rb);
            ra -= c[ii][0];
            rb -= c[ii][1];
            std::memcpy(row, &ra, sizeof ra);
            std::memcpy(row + 4, &rb, sizeof rb);
          } else {
            for (int jj = 0; jj < jn; ++jj) row[jj] -= c[ii][jj / 4][jj % 4];
          }
        }
      }
    }
  }
}

// The panel's rows k0..k1-1 over columns j0..j1-1 past the panel (k1 <= j0)
// lose the panel's earlier rows' shares, each element in the order of those
// rows as a row-by-row elimination takes them, and are packed into F and W
// for the trailing update: the pivots and the panel's own block are final.
void panel_columns(double* a, int r, int k0, int k1, int j0, int j1, const std::vector<double>& piv,
                   const std::vector<char>& dep, double* F, double* W) {
  const auto ur = static_cast<std::size_t>(r);
  for (int i = k0; i < k1; ++i) {
    double* ai = a + static_cast<std::size_t>(i) * ur;
    if (dep[static_cast<std::size_t>(i)]) {
      std::fill(ai + j0, ai + j1, 0.0);
      continue;
    }
    const double d = piv[static_cast<std::size_t>(i)];
    for (int i2 = i + 1; i2 < k1; ++i2) {
      const double f = ai[i2] / d;
      if (f == 0) continue;
      double* a2 = a + static_cast<std::size_t>(i2) * ur;
      for (int j = j0; j < j1; ++j) a2[j] -= f * ai[j];
    }
  }
  const int bw = k1 - k0;
  const auto ubw = static_cast<std::size_t>(bw);
  for (int q = 0; q < bw; ++q) {
    const double* ak = a + static_cast<std::size_t>(k0 + q) * ur;
    const double pk = piv[static_cast<std::size_t>(k0 + q)];
    const bool live = !dep[static_cast<std::size_t>(k0 + q)];
    const auto uq = static_cast<std::size_t>(q);
    for (int jr = j0; jr < j1; ++jr) {
      const auto uj = static_cast<std::size_t>(jr - k1);
      W[((uj / 8) * ubw + uq) * 8 + uj % 8] = ak[jr];
      F[((uj / 4) * ubw + uq) * 4 + uj % 4] = live ? ak[jr] / pk : 0.0;
    }
  }
}

// Bounds of `parts` shares of the blocks 0..nb-1, block b weighing b + 1
// (the upper triangle's tiles in its column), each share near an equal weight.
void triangle_shares(int nb, int parts, std::vector<int>& bound) {
  bound.assign(static_cast<std::size_t>(parts) + 1, nb);
  bound[0] = 0;
  const double total = 0.5 * nb * (nb + 1.0);
  int b = 0;
  double sum = 0;
  for (int p = 1; p < parts; ++p) {
    while (b < nb && sum < total * p / parts) sum += ++b;
    bound[static_cast<std::size_t>(p)] = b;
  }
}

// Eliminates the r by r block a (upper triangle by rows) in order, in
// panels: a row's pivot at or below null_pivot marks it dependent, and its
// row is cleared so that it changes nothing after it.  Each row is left as
// it stood when it was eliminated.  The columns past a panel and the
// trailing update are shared out to threads by columns: each element is
// summed by one thread in the order one thread alone takes.
void eliminate_dense(double* a, int r, std::vector<double>& piv, std::vector<char>& dep) {
  const auto ur = static_cast<std::size_t>(r);
  std::vector<double> F, W;
  std::vector<int> bound;
  for (int k0 = 0; k0 < r; k0 += panel) {
    const int k1 = std::min(k0 + panel, r), bw = k1 - k0;
    for (int i = k0; i < k1; ++i) {
      double* ai = a + static_cast<std::size_t>(i) * ur;
      const double d = ai[i];
      if (!(d > null_pivot)) {
        dep[static_cast<std::size_t>(i)] = 1;
        std::fill(ai + i + 1, ai + k1, 0.0);
        continue;
      }
      piv[static_cast<std::size_t>(i)] = d;
      for (int i2 = i + 1; i2 < k1; ++i2) {
        const double f = ai[i2] / d;
        if (f == 0) continue;
        double* a2 = a + static_cast<std::size_t>(i2) * ur;
        for (int j = i2; j < k1; ++j) a2[j] -= f * ai[j];
      }
    }
    // The rows after the panel lose its share: a(i, j) -= sum over the
    // panel's rows k of a(k, i) / piv(k) * a(k, j), for j >= i, by tiles.
    const int m = r - k1;
    if (m == 0) break;
    const auto ubw = static_cast<std::size_t>(bw);
    const int nb = (m + 7) / 8;
    F.assign(static_cast<std::size_t>(nb) * 8 * ubw, 0.0);
    W.assign(static_cast<std::size_t>(nb) * 8 * ubw, 0.0);
    const auto work = static_cast<std::size_t>(m) * static_cast<std::size_t>(m) / 2 * ubw;
    const int parts = std::min(util::team_parts(work, dense_work_per_thread, null_threads), nb);
    util::run_parts(parts, [&](int p) {
      const int b0 = nb * p / parts, b1 = nb * (p + 1) / parts;
      panel_columns(a, r, k0, k1, k1 + 8 * b0, std::min(r, k1 + 8 * b1), piv, dep, F.data(), W.data());
    });
    triangle_shares(nb, parts, bound);
    util::run_parts(parts, [&](int p) {
      const auto up = static_cast<std::size_t>(p);
      subtract_tiles(a, ur, k1, m, bw, F.data(), W.data(), bound[up], bound[up + 1]);
    });
  }
}

// Sums by position, cleared after each use: one for each thread.
struct Scratch {
  explicit Scratch(int n) : work(static_cast<std::size_t>(n), 0.0), hit(static_cast<std::size_t>(n), 0) {}
  std::vector<double> work;
  std::vector<char> hit;
  std::vector<int> touched;
};

class Elimination {
 public:
  Elimination(int n, std::vector<std::vector<Entry>> rows)
      : n_(n), row_(std::move(rows)), wide_(static_cast<std::size_t>(n)), diag_(static_cast<std::size_t>(n), 1.0),
        piv_(static_cast<std::size_t>(n), 0.0), dep_(static_cast<std::size_t>(n), 0),
        users_(static_cast<std::size_t>(n)), main_(n), reached_(static_cast<std::size_t>(n), 0),
        settled_(static_cast<std::size_t>(n), 0) {}

  void run() {
    int k = 0;
    while (k < n_) {
      if (dense_from(k)) {
        dense(k);
        return;
      }
      take(k);
      // The pivots after k that no row of the batch reaches have their rows
      // final already: they go with k, and the batch's updates are made a
      // block of target rows at a time, each row's in the order of the
      // pivots, so that the rows updated stay in cache.
      int next = k + 1;
      while (next < n_ && !reached_[static_cast<std::size_t>(next)] && !dense_from(next)) take(next++);
      update_blocks();
      k = next;
    }
  }

  // The direction of dependent position p over positions, in work (the
  // positions set listed in set); the caller clears them.
  void direction(int p, std::vector<int>& set) {
    set.clear();
    main_.work[static_cast<std::size_t>(p)] = 1;
    if (p >= first_dense_) {
      const int pd = p - first_dense_;
      const auto ur = static_cast<std::size_t>(r_);
      double* v = main_.work.data() + first_dense_;
      for (int i = pd - 1; i >= 0; --i) {
        if (dep_[static_cast<std::size_t>(first_dense_ + i)]) continue;
        const double* ai = a_.get() + static_cast<std::size_t>(i) * ur;
        double sum = 0;
        for (int j = i + 1; j <= pd; ++j) sum += ai[j] * v[j];
        v[i] = -sum / piv_[static_cast<std::size_t>(first_dense_ + i)];
      }
      for (int i = 0; i <= pd; ++i)
        if (v[i] != 0) set.push_back(first_dense_ + i);
    } else {
      set.push_back(p);
    }
    // The columns eliminated as rows that reach these, latest first.
    const std::size_t seeds = set.size();
    for (int q : set) main_.hit[static_cast<std::size_t>(q)] = 1;
    for (std::size_t q = 0; q < set.size(); ++q)
      for (int u : users_[static_cast<std::size_t>(set[q])])
        if (!main_.hit[static_cast<std::size_t>(u)]) {
          main_.hit[static_cast<std::size_t>(u)] = 1;
          set.push_back(u);
        }
    for (int q : set) main_.hit[static_cast<std::size_t>(q)] = 0;
    std::sort(set.begin() + static_cast<std::ptrdiff_t>(seeds), set.end(), std::greater<>());
    for (std::size_t q = seeds; q < set.size(); ++q) {
      const auto u = static_cast<std::size_t>(set[q]);
      double sum = 0;
      for (const auto& [j, v] : row_[u]) sum += v * main_.work[static_cast<std::size_t>(j)];
      main_.work[u] = -sum / piv_[u];
    }
  }

  bool dependent(int k) const { return dep_[static_cast<std::size_t>(k)]; }
  double& work(int k) { return main_.work[static_cast<std::size_t>(k)]; }
  int dense_order() const { return r_; }

 private:
  // Row k summed; whether the columns left from k on are to go as a dense
  // block.
  bool dense_from(int k) {
    collect(k);
    const int left = n_ - k;
    return left >= dense_min && left <= dense_max &&
           static_cast<double>(row_[static_cast<std::size_t>(k)].size()) >= dense_share * (left - 1);
  }
  // Row k's pivot taken into the batch, or k marked dependent.
  void take(int k) {
    std::vector<Entry>& rk = row_[static_cast<std::size_t>(k)];
    const double d = diag_[static_cast<std::size_t>(k)];
    if (!(d > null_pivot)) {
      dep_[static_cast<std::size_t>(k)] = 1;
      std::vector<Entry>().swap(rk);
      return;
    }
    piv_[static_cast<std::size_t>(k)] = d;
    // In order, so that each pair goes to the row of its first.
    std::sort(rk.begin(), rk.end(), [](const Entry& a, const Entry& b) { return a.first < b.first; });
    batch_.push_back(k);
    batch_work_ += rk.size() * rk.size() / 2;
    for (const auto& [i, v] : rk)
      if (!reached_[static_cast<std::size_t>(i)]) {
        reached_[static_cast<std::size_t>(i)] = 1;
        targets_.push_back(i);
      }
  }
  // Pivot k's share of the rows before `to` that its row reaches, from its
  // entry x on; returns the first entry past them.
  std::size_t update(int k, std::size_t x, int to, Scratch& z) {
    const std::vector<Entry>& rk = row_[static_cast<std::size_t>(k)];
    const double d = piv_[static_cast<std::size_t>(k)];
    for (; x < rk.size() && rk[x].first < to; ++x) {
      const auto [i, vi] = rk[x];
      const auto ui = static_cast<std::size_t>(i);
      diag_[ui] -= vi * vi / d;
      users_[ui].push_back(k);
      if (!wide_[ui].empty()) {
        double* w = wide_[ui].data();
        for (std::size_t y = x + 1; y < rk.size(); ++y) w[rk[y].first - i - 1] += -vi * rk[y].second / d;
        continue;
      }
      for (std::size_t y = x + 1; y < rk.size(); ++y) append(i, rk[y].first, -vi * rk[y].second / d, z);
    }
    return x;
  }
  // The batch's updates, by blocks of the rows it reaches that fit in
  // cache, shared out to threads by blocks: each row is updated by one
  // thread in the order one thread alone takes.
  void update_blocks() {
    std::sort(targets_.begin(), targets_.end());
    block_.clear();
    for (std::size_t t = 0; t < targets_.size();) {
      block_.push_back(t);
      // What a row may grow to: a vector over the positions after it.
      for (std::size_t bytes = 0; t < targets_.size() && bytes < block_bytes; ++t)
        bytes += static_cast<std::size_t>(n_ - targets_[t]) * sizeof(double);
    }
    block_.push_back(targets_.size());
    const int nblock = static_cast<int>(block_.size()) - 1;
    const int parts =
        std::clamp(util::team_parts(batch_work_, fill_work_per_thread, null_threads), 1, std::max(nblock, 1));
    while (static_cast<int>(spare_.size()) < parts - 1) spare_.emplace_back(n_);
    cursor_.resize(static_cast<std::size_t>(parts));
    for (auto& c : cursor_) c.resize(batch_.size());
    util::run_parts(parts, [&](int p) {
      Scratch& z = p == 0 ? main_ : spare_[static_cast<std::size_t>(p) - 1];
      std::vector<std::size_t>& cur = cursor_[static_cast<std::size_t>(p)];
      const int b0 = nblock * p / parts, b1 = nblock * (p + 1) / parts;
      if (b0 == b1) return;
      const int from = targets_[block_[static_cast<std::size_t>(b0)]];
      for (std::size_t b = 0; b < batch_.size(); ++b) {
        const std::vector<Entry>& rk = row_[static_cast<std::size_t>(batch_[b])];
        cur[b] = static_cast<std::size_t>(
            std::partition_point(rk.begin(), rk.end(), [from](const Entry& e) { return e.first < from; }) -
            rk.begin());
      }
      for (int x = b0; x < b1; ++x) {
        const std::size_t e = block_[static_cast<std::size_t>(x) + 1];
        const int to = e < targets_.size() ? targets_[e] : n_;
        for (std::size_t b = 0; b < batch_.size(); ++b) cur[b] = update(batch_[b], cur[b], to, z);
      }
    });
    for (int i : targets_) reached_[static_cast<std::size_t>(i)] = 0;
    targets_.clear();
    batch_.clear();
    batch_work_ = 0;
  }

  // Sums a row's entries of one position, dropping those that cancel.
  static void gather(std::vector<Entry>& r, Scratch& z) {
    for (const auto& [j, v] : r) {
      const auto uj = static_cast<std::size_t>(j);
      if (!z.hit[uj]) {
        z.hit[uj] = 1;
        z.touched.push_back(j);
      }
      z.work[uj] += v;
    }
    r.clear();
    for (int j : z.touched) {
      const auto uj = static_cast<std::size_t>(j);
      if (z.work[uj] != 0) r.emplace_back(j, z.work[uj]);
      z.work[uj] = 0;
      z.hit[uj] = 0;
    }
    z.touched.clear();
  }
  // Fill is appended and summed once a row doubles, so it is never
  // searched; a row that holds a good share of the positions after its own
  // becomes a vector over them, added to in place.
  void append(int i, int j, double v, Scratch& z) {
    const auto ui = static_cast<std::size_t>(i);
    std::vector<double>& w = wide_[ui];
    if (!w.empty()) {
      w[static_cast<std::size_t>(j - i - 1)] += v;
      return;
    }
    std::vector<Entry>& r = row_[ui];
    r.emplace_back(j, v);
    if (r.size() > 2 * settled_[ui] + 64) {
      gather(r, z);
      settled_[ui] = r.size();
      const int span = n_ - i - 1;
      if (span >= wide_min && r.size() >= static_cast<std::size_t>(span / wide_share)) {
        w.assign(static_cast<std::size_t>(span), 0.0);
        for (const auto& [c, x] : r) w[static_cast<std::size_t>(c - i - 1)] = x;
        std::vector<Entry>().swap(r);
      }
    }
  }
  // Row k's entries, summed, in row_[k].
  void collect(int k) {
    const auto uk = static_cast<std::size_t>(k);
    std::vector<double>& w = wide_[uk];
    if (w.empty()) {
      gather(row_[uk], main_);
      return;
    }
    std::vector<Entry>& r = row_[uk];
    for (std::size_t c = 0; c < w.size(); ++c)
      if (w[c] != 0) r.emplace_back(k + 1 + static_cast<int>(c), w[c]);
    std::vector<double>().swap(w);
  }
  void dense(int k) {
    first_dense_ = k;
    r_ = n_ - k;
    const auto ur = static_cast<std::size_t>(r_);
    // Not zeroed on allocation: the threads that fill the rows touch their
    // pages first.
    a_.reset(new double[ur * ur]);
    const int parts = util::team_parts(ur * ur, dense_work_per_thread, null_threads);
    util::run_parts(parts, [&](int p) {
      for (int x = k + r_ * p / parts; x < k + r_ * (p + 1) / parts; ++x) {
        double* ax = a_.get() + static_cast<std::size_t>(x - k) * ur;
        std::fill(ax, ax + ur, 0.0);
        ax[x - k] = diag_[static_cast<std::size_t>(x)];
        std::vector<Entry>& rx = row_[static_cast<std::size_t>(x)];
        for (const auto& [j, v] : rx) ax[j - k] += v;
        std::vector<Entry>().swap(rx);
        std::vector<double>& w = wide_[static_cast<std::size_t>(x)];
        for (std::size_t c = 0; c < w.size(); ++c) ax[static_cast<std::size_t>(x - k) + 1 + c] += w[c];
        std::vector<double>().swap(w);
      }
    });
    std::vector<double> piv(ur, 0.0);
    std::vector<char> dep(ur, 0);
    eliminate_dense(a_.get(), r_, piv, dep);
    std::copy(piv.begin(), piv.end(), piv_.begin() + k);
    std::copy(dep.begin(), dep.end(), dep_.begin() + k);
  }

  int n_;
  std::vector<std::vector<Entry>> row_;  // later positions, while sparse
  std::vector<std::vector<double>> wide_;  // or over all later positions
  std::vector<double> diag_, piv_;
  std::vector<char> dep_;
  std::vector<std::vector<int>> users_;  // positions eliminated as rows that hold each
  Scratch main_;  // the calling thread's
  std::vector<char> reached_;  // rows a batch of pivots reaches (targets_)
  std::vector<int> batch_, targets_;
  std::size_t batch_work_ = 0;  // its pairs
  std::vector<std::size_t> block_;  // where each block of targets_ starts
  std::vector<std::vector<std::size_t>> cursor_;  // by thread and pivot
  std::vector<Scratch> spare_;  // the other threads'
  std::vector<std::size_t> settled_;
  int first_dense_ = 0x7fffffff, r_ = 0;
  std::unique_ptr<double[]> a_;  // the dense block, r_ by r_
};

}  // namespace

std::vector<std::vector<std::pair<int, double>>> null_directions(int n, const PairSums& gram, NullSpaceInfo* info) {
  const auto un = static_cast<std::size_t>(n);
  std::vector<double> own(un, 0.0);
  std::vector<int> degree(un, 0);
  gram.each([&](int a, int b, double v) {
    if (a == b)
      own[static_cast<std::size_t>(a)] = v;
    else if (v != 0) {
      ++degree[static_cast<std::size_t>(a)];
      ++degree[static_cast<std::size_t>(b)];
    }
  });
  std::vector<int> order;
  for (int c = 0; c < n; ++c)
    if (own[static_cast<std::size_t>(c)] > 0) order.push_back(c);
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
    return degree[static_cast<std::size_t>(a)] < degree[static_cast<std::size_t>(b)];
  });
  const int np = static_cast<int>(order.size());
  std::vector<int> at(un, -1);
  for (int k = 0; k < np; ++k) at[static_cast<std::size_t>(order[static_cast<std::size_t>(k)])] = k;
  std::vector<double> root(un, 0.0);  // sqrt(G_kk)
  for (int c : order) root[static_cast<std::size_t>(c)] = std::sqrt(own[static_cast<std::size_t>(c)]);
  // Each element, scaled, in the row of whichever of its columns goes first.
  std::vector<std::vector<Entry>> rows(static_cast<std::size_t>(np));
  gram.each([&](int a, int b, double v) {
    const int pa = at[static_cast<std::size_t>(a)], pb = at[static_cast<std::size_t>(b)];
    if (a == b || v == 0 || pa < 0 || pb < 0) return;
    const double s = v / root[static_cast<std::size_t>(a)] / root[static_cast<std::size_t>(b)];
    rows[static_cast<std::size_t>(std::min(pa, pb))].emplace_back(std::max(pa, pb), s);
  });
  Elimination e(np, std::move(rows));
  e.run();
  if (info) {
    info->columns = np;
    info->dense_order = e.dense_order();
  }
  std::vector<std::vector<std::pair<int, double>>> out;
  std::vector<int> set;
  for (int p = 0; p < np; ++p) {
    if (!e.dependent(p)) continue;
    e.direction(p, set);
    double big = 0;
    for (int q : set) big = std::max(big, std::fabs(e.work(q)));
    std::vector<std::pair<int, double>> dir;
    for (int q : set) {
      const double w = e.work(q) / big;
      e.work(q) = 0;
      if (std::fabs(w) <= null_element) continue;
      const int c = order[static_cast<std::size_t>(q)];
      dir.emplace_back(c, w / root[static_cast<std::size_t>(c)]);
    }
    std::sort(dir.begin(), dir.end());
    out.push_back(std::move(dir));
  }
  return out;
}

}  // namespace sparsem
