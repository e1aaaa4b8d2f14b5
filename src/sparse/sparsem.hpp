// Symmetric sparse matrices: a hash store for accumulating elements in any
// order, a compressed-row form for walking rows, dense companions for small
// problems, conversions between them and printing.
//
// Conventions: conversions take their destination first; element operations
// take the value first and the matrix last; look-ups take the indices first.
// Symmetric sparse forms hold the upper triangle (row <= column) only.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <string_view>
#include <vector>

#include "util/array.hpp"

namespace sparsem {

// ---------------------------------------------------------------------------
// Settings (process-wide).

// Table size of a hash matrix that gets its first table without a size.
inline std::int32_t default_hash_size = 50000;
// Growth factor and occupancy limit, both 32-bit reals by design.
inline constexpr float hash_incr = 1.5f;
inline constexpr float maxfill = 0.9f;
// Keep only elements with row <= column.  Turned off for good by an addition
// whose option starts with 'f'.
inline bool upper_storage = true;
// Conversion type of convert_hash_ija: 1 stores both triangles, anything else
// the upper one.  Retained between calls.
inline std::int32_t hash_ija_conversion_type = 0;

// ---------------------------------------------------------------------------
// Hash-addressed symmetric matrix.

// One slot of the table.  A slot is empty while row and col are both 0.
struct hash_slot {
  std::int32_t row = 0;
  std::int32_t col = 0;
  double val = 0;
};
static_assert(sizeof(hash_slot) == 16, "slots must stay compact");

struct sparse_hashm {
  std::int32_t n = 0;       // order
  std::int32_t nel = 0;     // number of slots
  std::int32_t filled = 0;  // occupied slots
  std::int32_t status = 0;  // 0 no table, 1 hash form, 2 compacted and sorted
  util::vec1<hash_slot> x;  // slots 1..nel

  // Derived from the table size whenever a table is made; read by the probe.
  std::uint64_t mod_magic_ = 0;  // reciprocal for the start-slot remainder
  std::int32_t step_ = 0;        // the probe step of 17 slots, reduced mod nel
  std::int32_t grow_at_ = 0;     // smallest filled whose ratio to nel exceeds maxfill

  bool has_table() const { return !x.empty(); }
};

// Empty value: n, filled, status 0 and no table; nel keeps its value.
void init_sparse_hashm(sparse_hashm& A);
// Makes A an empty hash of order n.  Without nel, a matrix that holds a table
// keeps its size and one that has none gets default_hash_size slots.
void zero_sparse_hashm(sparse_hashm& A, std::int32_t n);
void zero_sparse_hashm(sparse_hashm& A, std::int32_t n, std::int32_t nel);
// All four integers 0 and the table released.
void deall_sparse_hashm(sparse_hashm& A);
// Sets every value to 0 and keeps the keys, so slot numbers stay valid.
void zero_values_sparse_hashm(sparse_hashm& A);

// Key hash and probe.  mode 1 inserts an absent key (counting it in filled),
// mode 0 only finds; any other mode returns the empty slot without writing.
// Result: the slot (1..nel), 0 for an absent key in mode 0, -1 when 5000
// probes found neither the key nor an empty slot.
std::int32_t hashvr(std::int32_t i, std::int32_t j, sparse_hashm& A, std::int32_t mode);
// Find mode on a matrix that is only read.
inline std::int32_t hashvr_find(std::int32_t i, std::int32_t j, const sparse_hashm& A);

// A(i,j) += a.  Lower-triangle pairs are dropped while upper storage holds.
inline void add_sparse_hashm(double a, std::int32_t i, std::int32_t j, sparse_hashm& A);
void add_sparse_hashm(double a, std::int32_t i, std::int32_t j, sparse_hashm& A,
                      std::string_view option);
// The same addition; returns the element's 1-based slot afterwards, 0 when
// the pair was dropped.
inline std::int32_t add_sparse_hashm_slot(double a, std::int32_t i, std::int32_t j, sparse_hashm& A);
// The same addition through `slot` (1-based), remembered from an earlier
// addition of the key, when the slot still holds the key and the addition
// cannot grow the table; false, and nothing added, when it cannot.
inline bool add_sparse_hashm_at(double a, std::int32_t i, std::int32_t j, std::int32_t slot,
                                sparse_hashm& A);
// A(i,j); 0 for an element without a slot and for j < i.
inline double get_sparse_hashm(std::int32_t i, std::int32_t j, const sparse_hashm& A);
// Starts loading the slot where the probe for (i, j) begins; changes nothing.
// Issuing it for the keys of a record before adding them lets the loads of
// the record's slots overlap.
inline void prefetch_sparse_hashm(std::int32_t i, std::int32_t j, const sparse_hashm& A);
// A(i,j) = a, without growth.
void set_sparse_hashm(double a, std::int32_t i, std::int32_t j, sparse_hashm& A);

struct sparse_ija;
// Adds the elements of B row by row (each row in its stored order) to the
// empty table of A, leaving A exactly as adding them one by one would, and
// writes each element's 1-based slot to slot[0 .. B.nel-1].  B's keys must be
// distinct, as a conversion from the hash store gives them.  The slots are
// found on an occupancy bitmap before the table is touched, so the table is
// written, not searched.  Returns false, with A unchanged, when the additions
// would grow the table or drop an element, or when A is not empty.
bool fill_sparse_hashm_rows(sparse_hashm& A, const sparse_ija& B, std::int32_t* slot);

// ---------------------------------------------------------------------------
// Compressed rows: row i holds entries ia(i)..ia(i+1)-1.

struct sparse_ija {
  std::int32_t n = 0;
  std::int32_t nel = 0;
  util::vec1<std::int32_t> ia;  // 1..n+1
  util::vec1<std::int32_t> ja;  // 1..nel
  util::vec1<double> a;         // 1..nel

  bool has_arrays() const { return !ia.empty(); }
};

void init_sparse_ija(sparse_ija& A);
void zero_sparse_ija(sparse_ija& A);
void deall_sparse_ija(sparse_ija& A);
// Value of the first entry of row i with column j; 0 when there is none.
double get_sparse_ija(std::int32_t i, std::int32_t j, const sparse_ija& A);

// B = A in compressed rows, each row starting with its diagonal, followed by
// the row's off-diagonal elements in slot order.
void convert_hash_ija(sparse_ija& B, const sparse_hashm& A);
void convert_hash_ija_general(sparse_ija& B, const sparse_hashm& A);
void convert_hash_ija_general(sparse_ija& B, const sparse_hashm& A, std::int32_t type);
// Older conversion: adds a zero diagonal key to every row of A, then places
// the slots row by row in slot order through hashia1.
void convert_hash_ija_old(sparse_ija& B, sparse_hashm& A);
// A = B in hash form; the hash layout follows the order of the rows.
void convert_ija_hash(sparse_hashm& A, const sparse_ija& B);

// Counting placement of the occupied slots of x (1..nel) by row; keys over n
// are cleared from the table and left out.  m is the capacity of ja and a.
void hashia1(util::vec1<hash_slot>& x, std::int32_t nel, std::int32_t n,
             util::vec1<std::int32_t>& ia, util::vec1<std::int32_t>& ja,
             util::vec1<double>& a, std::int32_t m);
// Moves the occupied slots to the front, keeping their relative order.
void clusterr(util::vec1<hash_slot>& x, std::int32_t nel, std::int32_t filled);
// Sorts slots 1..n by (row, column).
void sortqr(util::vec1<hash_slot>& x, std::int32_t n);

// ---------------------------------------------------------------------------
// Dense companions.

struct densem {
  std::int32_t n = 0;
  util::mat1<double> x;  // n by n, no symmetry assumed
};

// Upper triangle by rows: (i,j), i <= j, at (i-1)*n - i*(i-1)/2 + j.
struct dense_symm {
  std::int32_t n = 0;
  util::vec1<double> x;  // n(n+1)/2
};

// Linked rows; only the reset exists.
struct ll_node {
  std::int32_t col = 0;
  float val = 0;
  std::unique_ptr<ll_node> next;
};
struct sparse_ll {
  std::int32_t n = 0;
  std::vector<ll_node> rows;  // head node of row i at rows[i-1]
};

void zero_densem(densem& A, std::int32_t n);
void init_densem(densem& A);
void deall_densem(densem& A);
inline double get_densem(std::int32_t i, std::int32_t j, const densem& A) { return A.x(i, j); }
inline void set_densem(double a, std::int32_t i, std::int32_t j, densem& A) { A.x(i, j) = a; }
inline void add_densem(double a, std::int32_t i, std::int32_t j, densem& A) { A.x(i, j) += a; }

// Packed position of (i,j), or of (j,i) when i > j.
inline std::int32_t pos_symm(std::int32_t i, std::int32_t j, std::int32_t n) {
  if (i > j) std::swap(i, j);
  const std::int64_t p = std::int64_t(i - 1) * n - std::int64_t(i) * (i - 1) / 2 + j;
  return static_cast<std::int32_t>(p);
}
void zero_dense_symm(dense_symm& A, std::int32_t n);
void init_dense_symm(dense_symm& A);
void deall_dense_symm(dense_symm& A);
inline double get_dense_symm(std::int32_t i, std::int32_t j, const dense_symm& A) {
  return j < i ? 0.0 : A.x(pos_symm(i, j, A.n));
}
inline void set_dense_symm(double a, std::int32_t i, std::int32_t j, dense_symm& A) {
  if (j >= i) A.x(pos_symm(i, j, A.n)) = a;
}
inline void add_dense_symm(double a, std::int32_t i, std::int32_t j, dense_symm& A) {
  if (j >= i) A.x(pos_symm(i, j, A.n)) += a;
}

void zero_ll(sparse_ll& A, std::int32_t n);
void init_ll(sparse_ll& A);

void convert_half_dense(densem& B, const dense_symm& A);
void convert_densem_ija(sparse_ija& B, const densem& A);
void convert_ija_densem(densem& B, const sparse_ija& A);
void convert_hash_densem(densem& B, const sparse_hashm& A);
void convert_densem_hashm(sparse_hashm& A, const densem& B);

// ---------------------------------------------------------------------------
// Printing on standard output.  An option beginning with "int" prints the
// stored (row, column, value) triples instead of the full matrix.

void print_sparse_hashm(const sparse_hashm& A, std::string_view option = {});
void print_sparse_ija(const sparse_ija& A, std::string_view option = {});
void print_densem(const densem& A);
void print_dense_symm(const dense_symm& A);
// One record per column of x, 20 values per line.
void print_x(const util::mat1<float>& x);

// ---------------------------------------------------------------------------
// Inline hot path of the hash store.

namespace detail {

inline std::uint64_t slot_key(std::int32_t i, std::int32_t j) {
  const hash_slot s{i, j, 0.0};
  std::uint64_t k;
  std::memcpy(&k, &s, sizeof k);
  return k;
}
inline std::uint64_t slot_key(const hash_slot& s) {
  std::uint64_t k;
  std::memcpy(&k, &s, sizeof k);
  return k;
}

// 0-based start slot: |(433 i + 1039 j) rem nel|, the sum taken in 64 bits.
inline std::int32_t start_slot(std::int32_t i, std::int32_t j, const sparse_hashm& A) {
  const std::int64_t h = 433 * std::int64_t(i) + 1039 * std::int64_t(j);
  if (static_cast<std::uint64_t>(h) <= 0xFFFFFFFFull) {
    // Exact remainder of a 32-bit numerator through a 64-bit reciprocal.
    const std::uint64_t low = A.mod_magic_ * static_cast<std::uint32_t>(h);
    return static_cast<std::int32_t>(
        (static_cast<unsigned __int128>(low) * static_cast<std::uint32_t>(A.nel)) >> 64);
  }
  const std::int64_t r = h % A.nel;
  return static_cast<std::int32_t>(r < 0 ? -r : r);
}

inline constexpr int max_probes = 5000;

// Probe for (i,j); Insert writes an absent key into the first empty slot.
// Returns the 1-based slot, 0 (absent, find only) or -1 (no slot found).
template <bool Insert, class M>
inline std::int32_t probe(std::int32_t i, std::int32_t j, M& A) {
  auto* t = A.x.data();
  const std::uint64_t key = slot_key(i, j);
  const std::int32_t nel = A.nel, step = A.step_;
  std::int32_t s = start_slot(i, j, A);
  for (int p = 0; p < max_probes; ++p) {
    const std::uint64_t k = slot_key(t[s]);
    if (k == 0) {
      if constexpr (Insert) {
        t[s].row = i;
        t[s].col = j;
        ++A.filled;
        return s + 1;
      } else {
        return 0;
      }
    }
    if (k == key) return s + 1;
    s += step;
    if (s >= nel) s -= nel;
  }
  return -1;
}

[[noreturn]] void not_ready_add();
[[noreturn]] void not_ready_get();
// Stop for a stored key that a consumer cannot place in a matrix of order n.
[[noreturn]] void key_out_of_range(const char* who, long r, long c, long n);
// Growth and retry of an addition whose probe failed or that filled the table.
void add_slow(double a, std::int32_t i, std::int32_t j, sparse_hashm& A, std::int32_t s);

}  // namespace detail

inline void add_sparse_hashm(double a, std::int32_t i, std::int32_t j, sparse_hashm& A) {
  if (A.status != 1) detail::not_ready_add();
  if (upper_storage && j < i) return;
  const std::int32_t s = detail::probe<true>(i, j, A);
  if (s < 0 || A.filled >= A.grow_at_) [[unlikely]] {
    detail::add_slow(a, i, j, A, s);
    return;
  }
  A.x.data()[s - 1].val += a;
}

inline std::int32_t add_sparse_hashm_slot(double a, std::int32_t i, std::int32_t j, sparse_hashm& A) {
  if (A.status != 1) detail::not_ready_add();
  if (upper_storage && j < i) return 0;
  const std::int32_t s = detail::probe<true>(i, j, A);
  if (s < 0 || A.filled >= A.grow_at_) [[unlikely]] {
    detail::add_slow(a, i, j, A, s);
    return detail::probe<false>(i, j, A);
  }
  A.x.data()[s - 1].val += a;
  return s;
}

inline bool add_sparse_hashm_at(double a, std::int32_t i, std::int32_t j, std::int32_t slot,
                                sparse_hashm& A) {
  const std::uint32_t k = static_cast<std::uint32_t>(slot) - 1u;  // 0 and below: none
  if (k >= static_cast<std::uint32_t>(A.nel)) return false;
  hash_slot& h = A.x.data()[k];
  if (h.row != i || h.col != j || A.status != 1 || A.filled >= A.grow_at_) return false;
  h.val += a;
  return true;
}

inline double get_sparse_hashm(std::int32_t i, std::int32_t j, const sparse_hashm& A) {
  if (A.status != 1) detail::not_ready_get();
  if (j < i) return 0.0;
  const std::int32_t s = detail::probe<false>(i, j, A);
  return s < 1 ? 0.0 : A.x.data()[s - 1].val;
}

inline std::int32_t hashvr_find(std::int32_t i, std::int32_t j, const sparse_hashm& A) {
  if (!A.has_table()) return 0;
  return detail::probe<false>(i, j, A);
}

inline void prefetch_sparse_hashm(std::int32_t i, std::int32_t j, const sparse_hashm& A) {
  if (A.status == 1) __builtin_prefetch(A.x.data() + detail::start_slot(i, j, A));
}

}  // namespace sparsem
