// Printing of the matrix forms on standard output: full rows of at most 11
// values (f7.2 each), or (row, column, value) triples (i8, i8, f12.4).
#include <cstdio>
#include <string>

#include "sparse/sparsem.hpp"
#include "util/format.hpp"

namespace sparsem {

namespace {

void emit(std::string& out) {
  std::fwrite(out.data(), 1, out.size(), stdout);
  out.clear();
}

// One record of values, per_line to a line.
void put_record(std::string& out, const double* v, long count, int per_line, int w, int d) {
  for (long k = 0; k < count; ++k) {
    if (k > 0 && k % per_line == 0) out.push_back('\n');
    util::put_f(out, v[k], w, d);
  }
  out.push_back('\n');
}

// Every row of a square matrix in the full-matrix layout.
void put_full(const densem& W) {
  std::string out;
  std::vector<double> row(static_cast<std::size_t>(W.n));
  for (std::int32_t i = 1; i <= W.n; ++i) {
    for (std::int32_t j = 1; j <= W.n; ++j) row[j - 1] = W.x(i, j);
    put_record(out, row.data(), W.n, 11, 7, 2);
    emit(out);
  }
}

void put_triple(std::string& out, long r, long c, double v) {
  util::put_i(out, r, 8);
  util::put_i(out, c, 8);
  util::put_f(out, v, 12, 4);
  out.push_back('\n');
}

bool triples_wanted(std::string_view option) { return option.substr(0, 3) == "int"; }

}  // namespace

void print_sparse_hashm(const sparse_hashm& A, std::string_view option) {
  if (triples_wanted(option)) {
    std::string out;
    const hash_slot* t = A.x.data();
    const std::int32_t nel = A.has_table() ? A.nel : 0;
    for (std::int32_t k = 0; k < nel; ++k) {
      if (t[k].row == 0) continue;
      put_triple(out, t[k].row, t[k].col, t[k].val);
      if (out.size() > 65536) emit(out);
    }
    emit(out);
    return;
  }
  densem W;
  convert_hash_densem(W, A);
  put_full(W);
}

void print_sparse_ija(const sparse_ija& A, std::string_view option) {
  if (triples_wanted(option)) {
    std::string out;
    for (std::int32_t i = 1; i <= A.n; ++i) {
      for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) {
        put_triple(out, i, A.ja(k), A.a(k));
        if (out.size() > 65536) emit(out);
      }
    }
    emit(out);
    return;
  }
  densem W;
  convert_ija_densem(W, A);
  put_full(W);
}

void print_densem(const densem& A) { put_full(A); }

void print_dense_symm(const dense_symm& A) {
  densem W;
  convert_half_dense(W, A);
  put_full(W);
}

void print_x(const util::mat1<float>& x) {
  std::string out;
  std::vector<double> col(static_cast<std::size_t>(x.rows()));
  for (long j = 1; j <= x.cols(); ++j) {
    for (long i = 1; i <= x.rows(); ++i) col[i - 1] = x(i, j);
    put_record(out, col.data(), x.rows(), 20, 6, 2);
    emit(out);
  }
}

}  // namespace sparsem
