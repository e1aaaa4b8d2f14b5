// Compressed rows written out by hand for the block-draw tests.
#pragma once

#include <cstdint>
#include <vector>

#include "sparse/sparsem.hpp"

namespace rowstest {

struct Entry {
  int j;
  double a;
};

// Compressed rows from lists of (column, value), rows in order.
inline sparsem::sparse_ija rows_of(const std::vector<std::vector<Entry>>& rows) {
  sparsem::sparse_ija A;
  A.n = static_cast<std::int32_t>(rows.size());
  std::int32_t nel = 0;
  for (const auto& r : rows) nel += static_cast<std::int32_t>(r.size());
  A.nel = nel;
  A.ia.resize(A.n + 1);
  A.ja.resize(nel);
  A.a.resize(nel);
  std::int32_t k = 1;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    A.ia(static_cast<long>(i) + 1) = k;
    for (const Entry& e : rows[i]) {
      A.ja(k) = e.j;
      A.a(k) = e.a;
      ++k;
    }
  }
  A.ia(A.n + 1) = k;
  return A;
}

}  // namespace rowstest
