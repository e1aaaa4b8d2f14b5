// The factorisation package's keyword interface on this folder's compressed
// rows: the package takes a view of the arrays, so what it writes ("inv")
// lands in the matrix.  The package knows nothing of the sparse types; this
// is the one place that joins the two.
#pragma once

#include <span>
#include <string_view>

#include "sparse/sparsem.hpp"
#include "zanto/zanto90.hpp"

namespace sparsem {

// The package's view of A's arrays (no copy).
zanto::Matrix zanto_matrix(sparse_ija& A);

// zanto::zanto90r4 and zanto::zanto90r8 on A.
void zanto90r4(std::string_view op, sparse_ija& A, const zanto::Optional& opt = {});
void zanto90r8(std::string_view op, sparse_ija& A, std::span<const double> rs8, std::span<double> sol8);

}  // namespace sparsem
