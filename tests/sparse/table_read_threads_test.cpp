// The conversion of the hash store into compressed rows is shared among
// threads by rows, each reading the whole table: every count must give the
// rows, in their slot order, of one thread, and a key outside the matrix
// must stop it with the message of the first such key in slot order.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sparse/pcg.hpp"
#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::stop_message;

namespace {

struct Restore {
  std::int32_t conv = conversion_threads, prod = pcg::product_threads, type = hash_ija_conversion_type;
  ~Restore() {
    conversion_threads = conv;
    pcg::product_threads = prod;
    hash_ija_conversion_type = type;
  }
};

// A table of order n with about per_row elements a row, some rows empty,
// filled in a scrambled order so that slot order and row order differ.
sparse_hashm random_table(int n, int per_row, unsigned seed) {
  sparse_hashm A;
  zero_sparse_hashm(A, n, 7);
  std::mt19937 g(seed);
  std::uniform_int_distribution<int> pick(1, n);
  std::uniform_real_distribution<double> val(-1.0, 1.0);
  for (int k = 0; k < n * per_row; ++k) {
    int r = pick(g), c = pick(g);
    if (r % 7 == 3 || c % 7 == 3) continue;  // empty rows
    if (c < r) std::swap(r, c);
    add_sparse_hashm(val(g), r, c, A);
  }
  return A;
}

// Every array of B with the bits of its values.
std::vector<std::uint64_t> contents(const sparse_ija& B) {
  std::vector<std::uint64_t> v{static_cast<std::uint64_t>(B.n), static_cast<std::uint64_t>(B.nel)};
  for (long i = 1; i <= B.ia.size(); ++i) v.push_back(static_cast<std::uint64_t>(B.ia(i)));
  for (long i = 1; i <= B.ja.size(); ++i) v.push_back(static_cast<std::uint64_t>(B.ja(i)));
  for (long i = 1; i <= B.a.size(); ++i) {
    std::uint64_t b;
    std::memcpy(&b, &B.a(i), sizeof b);
    v.push_back(b);
  }
  return v;
}

sparse_ija converted(const sparse_hashm& A, std::int32_t threads, std::int32_t type) {
  conversion_threads = threads;
  hash_ija_conversion_type = type;
  sparse_ija B;
  convert_hash_ija(B, A);
  return B;
}

}  // namespace

TEST(TableReadThreads, EveryCountConvertsAsOneThread) {
  Restore restore;
  struct Case {
    const char* what;
    int n, per_row;
    unsigned seed;
  };
  const Case cases[] = {
      {"fewer rows than threads", 3, 2, 41},
      {"one element", 1, 1, 42},
      {"sparse rows", 200, 3, 43},
      {"long rows", 60, 40, 44},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const sparse_hashm A = random_table(c.n, c.per_row, c.seed);
    for (std::int32_t type : {0, 1}) {
      SCOPED_TRACE(type);
      const std::vector<std::uint64_t> one = contents(converted(A, 1, type));
      for (std::int32_t t : {2, 3, 5, 8, 0}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(contents(converted(A, t, type)), one);
      }
    }
  }
}

TEST(TableReadThreads, TheFirstKeyOutsideTheMatrixStopsForEveryCount) {
  Restore restore;
  sparse_hashm A = random_table(40, 4, 45);
  // Keys over the order, placed by the hash anywhere in the table.
  add_sparse_hashm(1.0, 5, 47, A);
  add_sparse_hashm(1.0, 3, 45, A);
  add_sparse_hashm(1.0, 41, 41, A);
  hash_ija_conversion_type = 0;
  conversion_threads = 1;
  sparse_ija B;
  const std::string one = stop_message([&] { convert_hash_ija(B, A); });
  EXPECT_NE(one.find("outside a matrix of order 40"), std::string::npos) << one;
  util::vec1<double> b(40), x(40);
  for (int i = 1; i <= 40; ++i) b(i) = i;
  pcg::product_threads = 1;
  const std::string solver_one = stop_message([&] { pcg::solve_sparse_hashm_pcg(A, b, x); });
  EXPECT_NE(solver_one.find("solve_sparse_hashm_pcg: element"), std::string::npos) << solver_one;
  for (std::int32_t t : {2, 3, 7}) {
    SCOPED_TRACE(t);
    conversion_threads = t;
    EXPECT_EQ(stop_message([&] { convert_hash_ija(B, A); }), one);
    pcg::product_threads = t;
    EXPECT_EQ(stop_message([&] { pcg::solve_sparse_hashm_pcg(A, b, x); }), solver_one);
  }
}
