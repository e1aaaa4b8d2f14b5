#include "sparse/zanto_ija.hpp"

namespace sparsem {

zanto::Matrix zanto_matrix(sparse_ija& A) {
  const auto n = [](long size) { return static_cast<std::size_t>(size); };
  return {A.n, A.nel, std::span<zanto::word>(A.ia.data(), n(A.ia.size())),
          std::span<zanto::word>(A.ja.data(), n(A.ja.size())), std::span<double>(A.a.data(), n(A.a.size()))};
}

void zanto90r4(std::string_view op, sparse_ija& A, const zanto::Optional& opt) {
  zanto::zanto90r4(op, zanto_matrix(A), opt);
}

void zanto90r8(std::string_view op, sparse_ija& A, std::span<const double> rs8, std::span<double> sol8) {
  zanto::zanto90r8(op, zanto_matrix(A), rs8, sol8);
}

}  // namespace sparsem
