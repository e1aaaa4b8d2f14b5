#include "sparse/row_rank.hpp"

#include <algorithm>
#include <cmath>
#include <functional>

namespace sparsem {

void start_rows(RowEchelon& r, int columns) {
  const auto n = static_cast<std::size_t>(columns);
  r.rank = r.dependent = 0;
  r.pivot_row.assign(n, -1);
  r.pivot_col.clear();
  r.start.assign(1, 0);
  r.elem.clear();
  r.acc.assign(n, 0.0);
  r.seen.assign(n, 0);
  r.queued.clear();
  r.touched.clear();
  r.heap.clear();
}

bool add_row(RowEchelon& r, std::span<const std::pair<int, double>> row) {
  double scale = 0;
  auto touch = [&r](int c) {
    const auto u = static_cast<std::size_t>(c);
    if (!r.seen[u]) {
      r.seen[u] = 1;
      r.touched.push_back(c);
    }
    const int k = r.pivot_row[u];
    if (k >= 0 && !r.queued[static_cast<std::size_t>(k)]) {
      r.queued[static_cast<std::size_t>(k)] = 1;
      r.heap.push_back(k);
      std::push_heap(r.heap.begin(), r.heap.end(), std::greater<>());
    }
  };
  for (const auto& [c, v] : row) {
    r.acc[static_cast<std::size_t>(c)] += v;
    scale = std::max(scale, std::fabs(v));
    touch(c);
  }
  // Kept row k holds nothing at the pivots of earlier rows, so taking the
  // pivots in the order their rows were kept clears each one for good.
  while (!r.heap.empty()) {
    std::pop_heap(r.heap.begin(), r.heap.end(), std::greater<>());
    const int k = r.heap.back();
    r.heap.pop_back();
    const auto uk = static_cast<std::size_t>(k);
    r.queued[uk] = 0;
    double& at_pivot = r.acc[static_cast<std::size_t>(r.pivot_col[uk])];
    const double v = at_pivot;
    at_pivot = 0;
    if (v == 0) continue;
    for (std::size_t p = r.start[uk]; p < r.start[uk + 1]; ++p) {
      const auto [c, x] = r.elem[p];
      double& a = r.acc[static_cast<std::size_t>(c)];
      a -= v * x;
      scale = std::max(scale, std::fabs(a));
      touch(c);
    }
  }
  const double small = r.tol * scale;
  int pivot = -1;
  double big = 0;
  for (int c : r.touched) {
    const double a = std::fabs(r.acc[static_cast<std::size_t>(c)]);
    if (a > small && a > big) {
      big = a;
      pivot = c;
    }
  }
  if (pivot >= 0) {
    const double p = r.acc[static_cast<std::size_t>(pivot)];
    for (int c : r.touched) {
      const double a = r.acc[static_cast<std::size_t>(c)];
      if (c != pivot && std::fabs(a) > small) r.elem.emplace_back(c, a / p);
    }
    r.pivot_row[static_cast<std::size_t>(pivot)] = r.rank++;
    r.pivot_col.push_back(pivot);
    r.start.push_back(r.elem.size());
    r.queued.push_back(0);
  } else {
    ++r.dependent;
  }
  for (int c : r.touched) {
    r.acc[static_cast<std::size_t>(c)] = 0;
    r.seen[static_cast<std::size_t>(c)] = 0;
  }
  r.touched.clear();
  return pivot >= 0;
}

}  // namespace sparsem
