#include "sampler/gibbs.hpp"

#include <algorithm>
#include <cmath>

#include "dense/denseop.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace sampler {

void link_hash_ija(sparsem::sparse_hashm& A, sparsem::sparse_ija& B, HashLink& link) {
  if (link.built && static_cast<std::int32_t>(link.linkhi.size()) != A.filled) {
    util::say_text(" link_hash_ija: reinitialized");
    link.linkhi.clear();
    link.linkhi.shrink_to_fit();
    link.built = false;
  }
  if (!link.built) {
    sparsem::convert_hash_ija(B, A);
    // Rebuilding A from B gives every row a diagonal key and a slot layout
    // that the map stays valid for.  The rebuild adds B's elements in row
    // order, as a conversion would, and keeps the slot of each: written
    // straight from a bitmap of the slots where nothing grows, else added one
    // by one, and a table that grew on the way moved the earlier ones, which
    // are then looked up.
    sparsem::zero_sparse_hashm(A, B.n);
    const std::int32_t size = A.nel;
    link.linkhi.assign(static_cast<std::size_t>(B.nel), 0);
    std::int32_t* slot = link.linkhi.data() - 1;  // 1-based, as B's elements
    if (!sparsem::fill_sparse_hashm_rows(A, B, link.linkhi.data())) {
      const std::int32_t* ia = B.ia.data() - 1;
      const std::int32_t* ja = B.ja.data() - 1;
      const double* a = B.a.data() - 1;
      constexpr std::int32_t ahead = 32;
      std::int32_t ahead_row = 1;
      for (std::int32_t i = 1; i <= B.n; ++i) {
        for (std::int32_t k = ia[i]; k < ia[i + 1]; ++k) {
          const std::int32_t f = k + ahead;
          if (f <= B.nel) {
            while (ia[ahead_row + 1] <= f) ++ahead_row;
            sparsem::prefetch_sparse_hashm(ahead_row, ja[f], A);
          }
          slot[k] = sparsem::add_sparse_hashm_slot(a[k], i, ja[k], A);
        }
      }
      if (A.filled != B.nel) util::internal_error("link_hash_ija: hash conversion problem");
      if (A.nel != size) {
        for (std::int32_t i = 1; i <= B.n; ++i)
          for (std::int32_t k = ia[i]; k < ia[i + 1]; ++k) slot[k] = sparsem::hashvr_find(i, ja[k], A);
      }
    }
    for (std::int32_t k = 1; k <= B.nel; ++k)
      if (slot[k] <= 0) util::internal_error("link_hash_ija: hash conversion problem");
    link.built = true;
    ++link.generation;
    return;
  }
  const sparsem::hash_slot* slots = A.x.data() - 1;  // 1-based slot numbers
  double* a = B.a.data() - 1;
  const std::size_t n = link.linkhi.size();
  for (std::size_t k = 0; k < n; ++k) a[k + 1] = slots[link.linkhi[k]].val;
}

BlockMode block_mode(std::string_view mode) {
  const std::string_view m = util::trim_right(mode);
  if (m == "solve") return BlockMode::solve;
  if (m == "update") return BlockMode::update;
  return BlockMode::none;
}

void solve_iterm_block(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                       util::vec1<double>& sol, int first, int last, double* block, int ldb,
                       BlockMode mode, double* inv, int ldi) {
  const std::int32_t* ia = A.ia.data() - 1;
  const std::int32_t* ja = A.ja.data() - 1;
  const double* a = A.a.data() - 1;
  if (mode == BlockMode::solve) {
    const int n = last - first + 1;
    if (n <= 0) return;
    for (int j = 0; j < n; ++j)
      for (int i = 0; i < n; ++i) block[i + j * ldb] = 0.0;
    for (int i = first; i <= last; ++i) {
      double r = rhs(i);
      const std::int32_t end = ia[i + 1];
      const bool fetch = end - ia[i] > long_row;
      for (std::int32_t k = ia[i]; k < end; ++k) {
        if (fetch && k + row_ahead < end) __builtin_prefetch(&sol(ja[k + row_ahead]));
        const std::int32_t j = ja[k];
        if (j >= first && j <= last) {
          block[(i - first) + (j - first) * ldb] = a[k];
          block[(j - first) + (i - first) * ldb] = a[k];
        } else {
          r = r - a[k] * sol(j);
        }
      }
      rhs(i) = r;
    }
    if (inv)
      denseop::fsolvinvs8(block, n, ldb, &rhs(first), &sol(first), inv, ldi);
    else
      denseop::fsolvs8(block, n, ldb, &rhs(first), &sol(first));
  } else if (mode == BlockMode::update) {
    for (int i = first; i <= last; ++i) {
      const double s = sol(i);
      const std::int32_t end = ia[i + 1];
      const bool fetch = end - ia[i] > long_row;
      for (std::int32_t k = ia[i]; k < end; ++k) {
        if (fetch && k + row_ahead < end) __builtin_prefetch(&rhs(ja[k + row_ahead]), 1);
        const std::int32_t j = ja[k];
        if (j > last) rhs(j) = rhs(j) - s * a[k];
      }
    }
  }
}

void solve_iterm_block(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                       util::vec1<double>& sol, int first, int last, util::mat1<double>& block,
                       std::string_view mode) {
  const int n = last - first + 1;
  const BlockMode m = block_mode(mode);
  if (m == BlockMode::solve && (block.rows() < n || block.cols() < n))
    util::internal_error("solve_iterm_block: block matrix smaller than the block");
  solve_iterm_block(A, rhs, sol, first, last, block.data(), static_cast<int>(block.rows()), m);
}

namespace {
void adjust(int i, const sparsem::sparse_ija& A, const util::mat1<double>& M,
            util::vec1<double>& rhs, const util::vec1<double>& x, util::mat1<double>* diag,
            int off1, int off2) {
  if (diag && diag->rows() != M.rows())
    util::internal_error("ADJUST_RHS_BLOCK: v and diag have different dimensions");
  if (x.size() < off1 + A.n || x.size() < off2 + A.n)
    util::internal_error("ADJUST_RHS_BLOCK: matrix with offsets too large");
  if (i <= off1) return;
  const long m = M.rows();
  const int row = i - off1;
  if (row > A.n) return;
  for (std::int32_t k = A.ia(row); k < A.ia(row + 1); ++k) {
    const std::int32_t j = A.ja(k);
    const double v = A.a(k);
    for (long r = 1; r <= m; ++r) {
      double s = 0;
      for (long c = 1; c <= M.cols(); ++c) s += M(r, c) * x((j + off2 - 1) * m + c);
      rhs((i - 1) * m + r) -= v * s;
    }
    if (diag && j + off2 == i)
      for (long r = 1; r <= m; ++r)
        for (long c = 1; c <= M.cols(); ++c) (*diag)(r, c) += v * M(r, c);
  }
}
}  // namespace

void adjust_rhs_block_nd(int i, const sparsem::sparse_ija& A, const util::mat1<double>& M,
                         util::vec1<double>& rhs, const util::vec1<double>& x, int off1,
                         int off2) {
  adjust(i, A, M, rhs, x, nullptr, off1, off2);
}

void adjust_rhs_block(int i, const sparsem::sparse_ija& A, const util::mat1<double>& M,
                      util::vec1<double>& rhs, const util::vec1<double>& x,
                      util::mat1<double>& diag, int off1, int off2) {
  adjust(i, A, M, rhs, x, &diag, off1, off2);
}

void convert_hash_ija_full(sparsem::sparse_ija& B, const sparsem::sparse_hashm& A) {
  sparsem::init_sparse_ija(B);
  sparsem::convert_hash_ija_general(B, A, 1);
}

}  // namespace sampler
