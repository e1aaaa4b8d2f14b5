// Hash-addressed symmetric matrix: table management, growth and overwrite.
#include <climits>
#include <string>
#include <vector>

#include "sparse/sparsem.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sparsem {

namespace {

// A key that keeps failing its probes would otherwise grow the table
// without end.
constexpr int max_growths = 5;

// Smallest filled count whose 32-bit quotient by nel exceeds maxfill; the
// quotient never decreases as the count rises.
std::int32_t growth_point(std::int32_t nel) {
  auto over = [nel](std::int64_t f) {
    return static_cast<float>(f) / static_cast<float>(nel) > maxfill;
  };
  if (!over(nel)) return INT32_MAX;
  std::int64_t lo = 0, hi = nel;  // over(hi) holds
  while (lo < hi) {
    const std::int64_t mid = lo + (hi - lo) / 2;
    if (over(mid)) hi = mid;
    else lo = mid + 1;
  }
  return static_cast<std::int32_t>(lo);
}

void set_table_constants(sparse_hashm& A) {
  const auto d = static_cast<std::uint32_t>(A.nel);
  A.mod_magic_ = UINT64_MAX / d + 1;
  A.step_ = 17 % A.nel;
  A.grow_at_ = growth_point(A.nel);
}

// Places the occupied slots of A, in slot order, in the empty table B as
// additions would when none of them grows B.  Every key is new to B, so each
// takes the first free slot of its probe: a bitmap of B's slots finds it
// without reading B, and B is only written.  False, with B part filled, where
// the additions would grow B.
bool move_slots(const sparse_hashm& A, sparse_hashm& B) {
  const std::int32_t nel = B.nel, step = B.step_;
  std::vector<std::uint64_t> used((static_cast<std::size_t>(nel) + 63) / 64, 0);
  std::uint64_t* bits = used.data();
  const hash_slot* t = A.x.data();
  hash_slot* out = B.x.data();
  // Slots are found for a run of keys, then written with their lines loaded
  // a few writes ahead.
  constexpr std::int32_t run = 1024, ahead = 16;
  std::int32_t place[run], from[run];
  for (std::int32_t k0 = 0; k0 < A.nel; k0 += run) {
    const std::int32_t k1 = A.nel - k0 > run ? k0 + run : A.nel;
    std::int32_t m = 0;
    for (std::int32_t k = k0; k < k1; ++k) {
      const std::int32_t i = t[k].row, j = t[k].col;
      if (i == 0 || (upper_storage && j < i)) continue;  // empty, or dropped by an addition
      if (B.filled + m + 1 >= B.grow_at_) return false;
      std::int32_t s = detail::start_slot(i, j, B);
      int p = 0;
      while (bits[s >> 6] >> (s & 63) & 1) {
        if (++p == detail::max_probes) return false;
        s += step;
        if (s >= nel) s -= nel;
      }
      bits[s >> 6] |= std::uint64_t{1} << (s & 63);
      place[m] = s;
      from[m] = k;
      ++m;
    }
    for (std::int32_t q = 0; q < m; ++q) {
      if (q + ahead < m) __builtin_prefetch(out + place[q + ahead], 1);
      const hash_slot& x = t[from[q]];
      hash_slot& y = out[place[q]];
      y.row = x.row;
      y.col = x.col;
      y.val = 0.0 + x.val;  // as an addition to the empty slot: -0 becomes +0
    }
    B.filled += m;
  }
  return true;
}

// Replaces A's table by one 1.5 times larger; occupied slots enter the new
// table in their old slot order, which fixes its layout.
void grow(sparse_hashm& A) {
  const float want = static_cast<float>(A.nel) * hash_incr;
  if (!(want < 2147483648.0f)) util::fatal(util::freev("hash matrix too large to grow from", A.nel));
  std::int32_t nsize = static_cast<std::int32_t>(want);
  if (nsize <= A.nel) nsize = A.nel + 1;  // a table of one slot would not grow
  sparse_hashm B;
  zero_sparse_hashm(B, A.n, nsize);
  if (!move_slots(A, B)) {
    zero_sparse_hashm(B, A.n, nsize);
    // The new slots lie anywhere: those of the keys a few slots on are
    // loaded while this one goes in.
    const hash_slot* t = A.x.data();
    constexpr std::int32_t ahead = 24;
    for (std::int32_t k = 0; k < A.nel; ++k) {
      if (k + ahead < A.nel && t[k + ahead].row != 0)
        prefetch_sparse_hashm(t[k + ahead].row, t[k + ahead].col, B);
      if (t[k].row != 0) add_sparse_hashm(t[k].val, t[k].row, t[k].col, B);
    }
  }
  util::say("hash matrix increased from", A.nel, "to", nsize);
  A = std::move(B);
}

}  // namespace

namespace detail {

void not_ready_add() {
  util::fatal(util::freev("Structure sparse_hashm not ready; probably destroyed by solving"));
}
void not_ready_get() {
  util::fatal(util::freev("Structure sparse_hashm not ready; probably sorted"));
}
void key_out_of_range(const char* who, long r, long c, long n) {
  util::fatal(util::freev(std::string(who) + ": element", r, c, "outside a matrix of order", n));
}

void add_slow(double a, std::int32_t i, std::int32_t j, sparse_hashm& A, std::int32_t s) {
  int growths = 0;
  for (;;) {
    if (s == -1 || A.filled >= A.grow_at_) {
      if (++growths > max_growths) {
        util::fatal(util::freev("hash matrix: no free slot for element", i, j, "after",
                                max_growths, "growths of the table"));
      }
      grow(A);
      s = probe<true>(i, j, A);
    }
    if (s >= 1) {
      A.x.data()[s - 1].val += a;
      return;
    }
    // Still no slot: the whole addition starts again.
    if (A.status != 1) not_ready_add();
    if (upper_storage && j < i) return;
    s = probe<true>(i, j, A);
  }
}

}  // namespace detail

void init_sparse_hashm(sparse_hashm& A) {
  A.n = 0;
  A.filled = 0;
  A.status = 0;
  A.x.clear();
}

void zero_sparse_hashm(sparse_hashm& A, std::int32_t n) {
  zero_sparse_hashm(A, n, A.has_table() ? A.nel : default_hash_size);
}

void zero_sparse_hashm(sparse_hashm& A, std::int32_t n, std::int32_t nel) {
  if (nel < 1) util::fatal(util::freev("zero_sparse_hashm: table size must be positive, not", nel));
  A.nel = nel;
  if (!A.has_table() || A.x.size() != nel) {
    A.x.clear();
    A.x.resize(nel);  // zero-filled
    set_table_constants(A);
  } else {
    std::memset(static_cast<void*>(A.x.data()), 0, sizeof(hash_slot) * static_cast<std::size_t>(nel));
  }
  A.filled = 0;
  A.n = n;
  A.status = 1;
}

void deall_sparse_hashm(sparse_hashm& A) {
  A.n = 0;
  A.nel = 0;
  A.filled = 0;
  A.status = 0;
  A.x.clear();
}

void zero_values_sparse_hashm(sparse_hashm& A) {
  hash_slot* t = A.x.data();
  const long m = A.x.size();
  for (long k = 0; k < m; ++k) t[k].val = 0.0;
}

std::int32_t hashvr(std::int32_t i, std::int32_t j, sparse_hashm& A, std::int32_t mode) {
  if (!A.has_table()) return mode == 1 ? -1 : 0;
  if (mode == 1) return detail::probe<true>(i, j, A);
  const std::int32_t s = detail::probe<false>(i, j, A);
  if (mode == 0 || s != 0) return s;
  // Other modes: the empty slot where the key would go, nothing written.
  const hash_slot* t = A.x.data();
  std::int32_t p = detail::start_slot(i, j, A);
  while (detail::slot_key(t[p]) != 0) {
    p += A.step_;
    if (p >= A.nel) p -= A.nel;
  }
  return p + 1;
}

void add_sparse_hashm(double a, std::int32_t i, std::int32_t j, sparse_hashm& A,
                      std::string_view option) {
  if (!option.empty() && option[0] == 'f') upper_storage = false;
  add_sparse_hashm(a, i, j, A);
}

void set_sparse_hashm(double a, std::int32_t i, std::int32_t j, sparse_hashm& A) {
  if (A.status != 1) detail::not_ready_get();
  if (j < i) return;
  const std::int32_t s = detail::probe<true>(i, j, A);
  if (s == -1) util::fatal(util::freev("hash matrix too small"));
  A.x.data()[s - 1].val = a;
}

bool fill_sparse_hashm_rows(sparse_hashm& A, const sparse_ija& B, std::int32_t* slot) {
  if (A.status != 1 || !A.has_table() || A.filled != 0) return false;
  if (B.nel >= A.grow_at_) return false;  // the last additions would grow it
  const std::int32_t nel = A.nel, step = A.step_;
  const std::int32_t* ia = B.ia.data() - 1;
  const std::int32_t* ja = B.ja.data() - 1;
  const double* a = B.a.data() - 1;

  // Every key is new, so each goes to the first empty slot of its probe:
  // occupancy alone decides, and a bit per slot keeps it in cache.
  std::vector<std::uint64_t> used((static_cast<std::size_t>(nel) + 63) / 64, 0);
  std::uint64_t* bits = used.data();
  for (std::int32_t i = 1; i <= B.n; ++i) {
    for (std::int32_t k = ia[i]; k < ia[i + 1]; ++k) {
      const std::int32_t j = ja[k];
      if (upper_storage && j < i) return false;  // dropped, no slot
      std::int32_t s = detail::start_slot(i, j, A);
      int p = 0;
      while (bits[s >> 6] >> (s & 63) & 1) {
        if (++p == detail::max_probes) return false;  // the table would grow
        s += step;
        if (s >= nel) s -= nel;
      }
      bits[s >> 6] |= std::uint64_t{1} << (s & 63);
      slot[k - 1] = s + 1;
    }
  }

  // The slots are known ahead: their lines are loaded a few writes early.
  hash_slot* t = A.x.data() - 1;
  constexpr std::int32_t ahead = 32;
  for (std::int32_t i = 1; i <= B.n; ++i) {
    for (std::int32_t k = ia[i]; k < ia[i + 1]; ++k) {
      if (k + ahead <= B.nel) __builtin_prefetch(t + slot[k + ahead - 1], 1);
      hash_slot& x = t[slot[k - 1]];
      x.row = i;
      x.col = ja[k];
      x.val = 0.0 + a[k];  // as an addition to the empty slot: -0 becomes +0
    }
  }
  A.filled = B.nel;
  return true;
}

}  // namespace sparsem
