#include "sampler/eq_plan.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <vector>

#include "model/model.hpp"
#include "sampler/gibbs.hpp"
#include "sampler/multibreed.hpp"
#include "sampler/record_terms.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sampler/workspace.hpp"
#include "sparse/sparsem.hpp"
#include "util/stop.hpp"
#include "util/team.hpp"

namespace sampler {

namespace {

using model::m;

// Direct additions fetch their values this many additions ahead: a record
// of three traits makes 45.
constexpr std::size_t direct_ahead = 128;

// Adds the record's terms, of any number of traits and slots, straight into the values a of XX_IJA at the
// planned positions pos[at..], as the store would add them (nothing may wait
// in the queue).  pos ends in direct_ahead positions 0 for the prefetch.
// Fetching ahead pays only when the values do not stay in the cache.
template <bool Ahead>
void direct_terms_any_shape(model::State& s, const SlotView& r, double* a,
                            const std::vector<std::int32_t>& pos, std::size_t& at) {
  const std::int32_t* p = pos.data();
  std::size_t k = at;
  record_terms(s, r, [&](int row, int col, double v) {
    if (col < row) return;  // the store keeps the upper triangle
    VELMORAN_CHECK("planned record addition", static_cast<long>(k), 0L,
                   static_cast<long>(pos.size() - direct_ahead) - 1);
    if constexpr (Ahead) __builtin_prefetch(a + p[k + direct_ahead], 1);
    a[p[k++]] += v;
  });
  at = k;
}

// Slots per trait that direct_terms holds locally.
constexpr int local_slots = 16;

// direct_terms_any_shape for NT traits of at most local_slots slots: the
// same additions in the same order from local copies of the equations,
// multipliers and rinv (which no addition can change), so that the
// compiler keeps them at hand.  N > 0: every trait has exactly N slots,
// known here, so that the loops unroll into straight code.
// The kernel of direct_terms on the slots as eq(t, i) (magnitudes) and
// x(t, i) give them.
// Ordered (one trait, N known): the record's additions are known to come
// in the order of the upper triangle, row by row (upper_in_order), and are
// made without comparing the equations.
template <int NT, bool Ahead, bool Uniform, int N, class Eq, class X, bool Ordered = false>
[[gnu::always_inline]] inline void direct_terms_local(model::State& s, Eq&& eq, X&& x,
                                                      const std::int32_t* cnt, int nmax_run, double* a,
                                                      const std::vector<std::int32_t>& pos,
                                                      std::size_t& at) {
  static_assert(N == 0 || Uniform || NT == 1);
  static_assert(!Ordered || (NT == 1 && N > 0));
  const double w = s.rec_weight;
  double rl[NT * NT];
  for (int k = 0; k < NT * NT; ++k) rl[k] = m.rinv.data()[k];
  const int nmax = N > 0 ? N : nmax_run;
  constexpr bool uniform = NT == 1 || Uniform;
  const std::int32_t* p = pos.data();
  std::size_t k = at;
  // The additions of slot pair (i, j).
  auto pair = [&](int i, int j) {
#pragma GCC unroll 3
    for (int t1 = 0; t1 < NT; ++t1) {
      if (!uniform && i >= cnt[t1]) continue;
      const int a1 = eq(t1, i);
      const float x1 = x(t1, i);
#pragma GCC unroll 3
      for (int t2 = 0; t2 < NT; ++t2) {
        if (!uniform && j >= cnt[t2]) continue;
        if constexpr (Ordered) {
          if (j < i) continue;
        } else {
          if (eq(t2, j) < a1) continue;  // the store keeps the upper triangle
        }
        const double v = multiplier_product(x1, x(t2, j)) * w * rl[t1 + t2 * NT];
        VELMORAN_CHECK("planned record addition", static_cast<long>(k), 0L,
                       static_cast<long>(pos.size() - direct_ahead) - 1);
        if constexpr (Ahead) __builtin_prefetch(a + p[k + direct_ahead], 1);
        a[p[k++]] += v;
      }
    }
  };
  if constexpr (N > 0) {
#pragma GCC unroll 5
    for (int i = 0; i < N; ++i)
#pragma GCC unroll 5
      for (int j = 0; j < N; ++j) pair(i, j);
  } else {
    for (int i = 0; i < nmax; ++i)
      for (int j = 0; j < nmax; ++j) pair(i, j);
  }
  at = k;

  const float* y = s.Y.data();
  double* xy = s.XY.data() - 1;
  double ry[NT];
  rinv_y(rl, y, NT, ry);
  auto slot = [&](int i) {
    for (int t1 = 0; t1 < NT; ++t1) {
      if (!uniform && i >= cnt[t1]) continue;
      xy[eq(t1, i)] += static_cast<double>(x(t1, i)) * w * ry[t1];
    }
  };
  if constexpr (N > 0) {
#pragma GCC unroll 5
    for (int i = 0; i < N; ++i) slot(i);
  } else {
    for (int i = 0; i < nmax; ++i) slot(i);
  }
}

template <int NT, bool Ahead, bool Uniform, int N = 0>
[[gnu::noinline]] void direct_terms(model::State& s, const SlotView& r, double* a,
                                    const std::vector<std::int32_t>& pos, std::size_t& at) {
  int eq[NT][local_slots];
  float x[NT][local_slots];
  for (int t = 0; t < NT; ++t) {
    const int n = N > 0 ? N : r.cnt[t];
    for (int i = 0; i < n; ++i) {
      eq[t][i] = magnitude(r.eq[t][i]);
      x[t][i] = r.x[t][i];
    }
  }
  direct_terms_local<NT, Ahead, Uniform, N>(
      s, [&eq](int t, int i) { return eq[t][i]; }, [&x](int t, int i) { return x[t][i]; }, r.cnt,
      r.nmax, a, pos, at);
}

// direct_terms for a record of NT traits with N slots each, its equations
// and multipliers trait by trait in eq and x (the multipliers read where
// they are: a copy, merging their loads, would wait for the stores that
// just wrote them).
template <int NT, int N, bool Ahead>
[[gnu::always_inline]] inline void direct_terms_flat(model::State& s, const std::int32_t* eq,
                                                     const float* x, double* a,
                                                     const std::vector<std::int32_t>& pos,
                                                     std::size_t& at) {
  static_assert(N > 0);
  int q[NT][N];
  for (int t = 0; t < NT; ++t)
    for (int i = 0; i < N; ++i) q[t][i] = magnitude(eq[t * N + i]);
  direct_terms_local<NT, Ahead, true, N>(
      s, [&q](int t, int i) { return q[t][i]; }, [x](int t, int i) { return x[t * N + i]; },
      nullptr, N, a, pos, at);
}

// One trait, N slots with the equations q (magnitudes): true when the
// additions of the record come in the order of the upper triangle, row by
// row, whatever the equations' values: they ascend, except that the last
// two (the parents of an animal without an equation) may come in either
// order, both above the others and apart.  The addition of those two then
// falls between their diagonal ones either way, and in one trait it is the
// same value (the product of two multipliers does not depend on their
// order).
template <int N>
[[gnu::always_inline]] inline bool upper_in_order(const int* q) {
  bool ok = true;
  for (int i = 0; i + 2 < N; ++i) ok &= q[i] < q[i + 1];
  if constexpr (N >= 3) ok &= q[N - 3] < q[N - 1];
  if constexpr (N >= 2) ok &= q[N - 2] != q[N - 1];
  return ok;
}

// direct_terms_flat for one trait and N slots, in order when
// upper_in_order holds.
template <int N, bool Ahead>
[[gnu::always_inline]] inline void one_trait_terms_flat(model::State& s, const std::int32_t* eq,
                                                        const float* x, double* a,
                                                        const std::vector<std::int32_t>& pos,
                                                        std::size_t& at) {
  int q[N];
  for (int i = 0; i < N; ++i) q[i] = magnitude(eq[i]);
  auto e = [&q](int, int i) { return q[i]; };
  auto m = [x](int, int i) { return x[i]; };
  if (upper_in_order<N>(q))
    direct_terms_local<1, Ahead, true, N, decltype(e)&, decltype(m)&, true>(s, e, m, nullptr, N, a, pos, at);
  else
    direct_terms_local<1, Ahead, true, N>(s, e, m, nullptr, N, a, pos, at);
}

// direct_terms for NT traits of the same number of slots, that number
// fixed at compile time for the common small ones.
template <int NT, bool Ahead>
void direct_terms_sized(model::State& s, const SlotView& r, double* a,
                        const std::vector<std::int32_t>& pos, std::size_t& at) {
  switch (r.nmax) {
    case 1:
      return direct_terms<NT, Ahead, true, 1>(s, r, a, pos, at);
    case 2:
      return direct_terms<NT, Ahead, true, 2>(s, r, a, pos, at);
    case 3:
      return direct_terms<NT, Ahead, true, 3>(s, r, a, pos, at);
    case 4:
      return direct_terms<NT, Ahead, true, 4>(s, r, a, pos, at);
    case 5:
      return direct_terms<NT, Ahead, true, 5>(s, r, a, pos, at);
    default:
      return direct_terms<NT, Ahead, true>(s, r, a, pos, at);
  }
}

// The kernel for the record's number of traits and slots where one is
// made, else direct_terms_any_shape.
template <bool Ahead>
void direct_terms_by_traits(model::State& s, const SlotView& r, double* a,
                            const std::vector<std::int32_t>& pos, std::size_t& at) {
  if (r.nmax <= local_slots) {
    switch (r.nt) {
      case 1:
        return direct_terms_sized<1, Ahead>(s, r, a, pos, at);
      case 2:
        if (r.uniform) return direct_terms_sized<2, Ahead>(s, r, a, pos, at);
        return direct_terms<2, Ahead, false>(s, r, a, pos, at);
      case 3:
        if (r.uniform) return direct_terms<3, Ahead, true>(s, r, a, pos, at);
        return direct_terms<3, Ahead, false>(s, r, a, pos, at);
      default:
        break;
    }
  }
  direct_terms_any_shape<Ahead>(s, r, a, pos, at);
}

// Values of a matrix with at most this many elements (1 MB) stay cached.
constexpr std::int32_t cached_elements = 1 << 17;

// The record's terms straight into XX_IJA by the kernel for its shape,
// fetching ahead for a matrix that does not stay in the cache.
void direct_terms_by_shape(model::State& s, const SlotView& r, double* a,
                           const std::vector<std::int32_t>& pos, std::size_t& at) {
  if (s.XX_IJA.nel > cached_elements)
    direct_terms_by_traits<true>(s, r, a, pos, at);
  else
    direct_terms_by_traits<false>(s, r, a, pos, at);
}

// True (and `at` moved past it) when the record in the cursor has the slot
// counts and equations that the stream holds for it at `at`.
bool record_as_planned(const model::State& s, std::size_t& at) {
  const RecordCursor& c = workspace(s).cursor;
  const std::vector<std::int32_t>& key = c.stream.key;
  const int nt = m.ntrait;
  const std::size_t size = key.size();
  if (at + static_cast<std::size_t>(nt) > size) return false;
  const std::int32_t* k = key.data() + at;
  const int* cnt = c.naddr_t.data();
  std::size_t need = static_cast<std::size_t>(nt);
  for (int t = 0; t < nt; ++t) {
    if (k[t] != cnt[t]) return false;
    need += static_cast<std::size_t>(cnt[t]);
  }
  if (at + need > size) return false;
  const std::int32_t* q = k + nt;
  const long ld = s.ADDRESS.rows();
  const int* addr = s.ADDRESS.data();
  for (int t = 0; t < nt; ++t) {
    const int* own = c.SLOT_EFF.col(t + 1);
    for (int i = 0; i < cnt[t]; ++i) {
      const int a = addr[i + t * ld];
      if (*q++ != (own[i] < 0 ? -a : a)) return false;
    }
  }
  at += need;
  return true;
}

// The length in the stream of the record that starts at k (its slot
// counts, then its equations); 0 when the stream ends before it does.
std::size_t record_length(const std::int32_t* k, const std::int32_t* end) {
  const int nt = m.ntrait;
  if (end - k < nt) return 0;
  long need = nt;
  for (int t = 0; t < nt; ++t) need += k[t];
  return end - k < need ? 0 : static_cast<std::size_t>(need);
}

// Visits a record's additions in the order of the build: slot i, slot j,
// trait t1, trait t2, upper triangle only; eq[t][i] is trait t's slot i,
// cnt[t] its slot count.  False as soon as f is.
template <class Eq, class F>
bool for_each_element(const Eq* eq, const std::int32_t* cnt, int nmax, F&& f) {
  const int nt = m.ntrait;
  for (int i = 0; i < nmax; ++i)
    for (int j = 0; j < nmax; ++j)
      for (int t1 = 0; t1 < nt; ++t1) {
        if (i >= cnt[t1]) continue;
        const std::int32_t r = magnitude(eq[t1][i]);
        for (int t2 = 0; t2 < nt; ++t2) {
          if (j >= cnt[t2]) continue;
          const std::int32_t c = magnitude(eq[t2][j]);
          if (c < r) continue;
          if (!f(r, c)) return false;
        }
      }
  return true;
}

// Visits the kept additions of the stream's records from k (a record's
// start) to end in the order of the build.
template <class F>
bool for_each_record_element(const std::int32_t* k, const std::int32_t* end, F&& f) {
  const int nt = m.ntrait;
  const std::int32_t* col[max_traits];
  while (k < end) {
    const std::size_t need = record_length(k, end);
    if (need == 0) return false;
    const std::int32_t* cnt = k;
    int nmax = 0;
    const std::int32_t* q = k + nt;
    for (int t = 0; t < nt; ++t) {
      nmax = std::max(nmax, static_cast<int>(cnt[t]));
      col[t] = q;
      q += cnt[t];
    }
    if (!for_each_element(col, cnt, nmax, f)) return false;
    k = q;
  }
  return true;
}

// Where an element of s.XX is among the values of s.XX_IJA, by its slot.
struct SlotIndex {
  const sparsem::sparse_hashm* XX;
  const std::int32_t* pos;  // by 1-based slot
};

std::int32_t position_by_slot(std::int32_t r, std::int32_t c, const void* ctx) {
  const SlotIndex& x = *static_cast<const SlotIndex*>(ctx);
  const std::int32_t slot = sparsem::hashvr_find(r, c, *x.XX);
  return slot > 0 ? x.pos[slot] : -1;
}

// The record in the cursor, whose slots differ from those planned for it at
// key_at (its parents are drawn sires), straight into the values a of
// XX_IJA at positions looked up by their slots in XX; key_at and pos_at
// move past the planned record.  False, adding nothing, when the plan holds
// no whole record there or an addition has no element.
bool record_by_lookup(model::State& s, std::size_t& key_at, std::size_t& pos_at, double* a) {
  EquationPlan& p = workspace(s).plan;
  const std::vector<std::int32_t>& key = workspace(s).cursor.stream.key;
  if (key_at > key.size()) return false;
  const std::int32_t* k = key.data() + key_at;
  const std::size_t need = record_length(k, key.data() + key.size());
  if (need == 0) return false;
  std::size_t planned = 0;
  for_each_record_element(k, k + need, [&planned](std::int32_t, std::int32_t) {
    ++planned;
    return true;
  });

  p.index_slots(s);
  const SlotIndex index{&s.XX, p.pos_of_slot.data()};
  SlotView r;
  view_of_cursor(s, r);
  std::vector<std::int32_t>& pos = p.scratch;
  pos.clear();
  const bool found = for_each_element(r.eq, r.cnt, r.nmax, [&](std::int32_t a1, std::int32_t a2) {
    const std::int32_t x = position_by_slot(a1, a2, &index);
    if (x < 0) return false;
    pos.push_back(x);
    return true;
  });
  if (!found) return false;
  pos.resize(pos.size() + direct_ahead, 0);
  std::size_t at = 0;
  direct_terms_by_shape(s, r, a, pos, at);
  key_at += need;
  pos_at += planned;
  return true;
}

// The stream cut at record starts into parts of about equal length:
// part p runs from cut[p] to cut[p + 1].  False when the stream does not
// hold whole records.
bool cut_stream(const std::vector<std::int32_t>& key, int parts, std::vector<const std::int32_t*>& cut) {
  const std::int32_t* begin = key.data();
  const std::int32_t* end = begin + key.size();
  const std::size_t size = key.size();
  cut.assign(static_cast<std::size_t>(parts) + 1, end);
  cut[0] = begin;
  int p = 1;
  for (const std::int32_t* k = begin; k < end;) {
    while (p < parts && static_cast<std::size_t>(k - begin) >= size / static_cast<std::size_t>(parts) * static_cast<std::size_t>(p))
      cut[static_cast<std::size_t>(p++)] = k;
    const std::size_t need = record_length(k, end);
    if (need == 0) return false;
    k += need;
  }
  return true;
}

// The terms of the group at e straight into the values of XX_IJA at their
// planned positions; false, with nothing added, when they cannot go there.
bool add_group_direct(model::State& s, int e, RelationshipTerms& terms) {
  const model::RandomType rt = model::build_type(e);
  double* a = s.XX_IJA.a.data();
  switch (rt) {
    case model::RandomType::diagonal: return add_g_diag_direct(s, e, a, terms);
    case model::RandomType::add_animal:
    case model::RandomType::add_an_upg:
    case model::RandomType::add_an_upgi:
    case model::RandomType::add_sire: return add_g_add_direct(s, rt, e, a, terms);
    case model::RandomType::add_an_mb:
    case model::RandomType::diag_mb: return add_g_mb_direct(s, e, a);
    default:
      return false;  // drawn sires change A^-1, W changes with g: every cycle anew
  }
}

// The copy's columns row by row in ascending order, each beside its
// position: a plan finds its positions here, where a row's few cache lines
// serve all its lookups, rather than by the table's long probe chains.
struct CopyIndex {
  std::int32_t n = 0;
  const std::int32_t* ia = nullptr;  // the copy's row starts, 1-based
  std::vector<std::int32_t> col, pos;
};

// Rows r0 .. r1-1 of the index; row holds the longest of them.
void index_rows(CopyIndex& x, const sparsem::sparse_ija& A, std::int32_t r0, std::int32_t r1,
                std::vector<std::uint64_t>& row) {
  const std::int32_t* ja = A.ja.data() - 1;
  for (std::int32_t i = r0; i < r1; ++i) {
    const std::int32_t b = x.ia[i], e = x.ia[i + 1];
    row.clear();  // column above, position below
    for (std::int32_t k = b; k < e; ++k)
      row.push_back(static_cast<std::uint64_t>(ja[k]) << 32 | static_cast<std::uint32_t>(k - 1));
    std::sort(row.begin(), row.end());
    for (std::size_t q = 0; q < row.size(); ++q) {
      x.col[static_cast<std::size_t>(b - 1) + q] = static_cast<std::int32_t>(row[q] >> 32);
      x.pos[static_cast<std::size_t>(b - 1) + q] = static_cast<std::int32_t>(row[q] & 0xffffffffu);
    }
  }
}

// Every row is sorted on its own: the rows are shared out in ranges of
// about equal numbers of elements.
void index_copy(CopyIndex& x, const sparsem::sparse_ija& A) {
  x.n = A.n;
  x.ia = A.ia.data() - 1;
  const int parts = plan_parts(static_cast<std::size_t>(A.nel));
  std::vector<std::int32_t> bound(static_cast<std::size_t>(parts) + 1, A.n + 1);
  bound[0] = 1;
  const std::int32_t* ia0 = A.ia.data();  // ia0[i - 1] = ia(i), ascending
  for (int p = 1; p < parts; ++p) {
    const std::int64_t want = 1 + static_cast<std::int64_t>(A.nel) * p / parts;
    const std::int32_t* q = std::lower_bound(ia0, ia0 + A.n, want);
    bound[static_cast<std::size_t>(p)] =
        std::max(bound[static_cast<std::size_t>(p) - 1], static_cast<std::int32_t>(q - ia0) + 1);
  }
  // Each part's row buffer is made here, before the index: the threads
  // allocate nothing, and the index is not held up by them when it goes.
  std::vector<std::vector<std::uint64_t>> row(static_cast<std::size_t>(parts));
  for (int p = 0; p < parts; ++p) {
    std::int32_t longest = 0;
    for (std::int32_t i = bound[static_cast<std::size_t>(p)]; i < bound[static_cast<std::size_t>(p) + 1]; ++i)
      longest = std::max(longest, x.ia[i + 1] - x.ia[i]);
    row[static_cast<std::size_t>(p)].reserve(static_cast<std::size_t>(longest));
  }
  x.col.resize(static_cast<std::size_t>(A.nel));
  x.pos.resize(static_cast<std::size_t>(A.nel));
  util::run_parts(parts, [&](int p) {
    const std::size_t q = static_cast<std::size_t>(p);
    index_rows(x, A, bound[q], bound[q + 1], row[q]);
  });
}

std::int32_t position_in_copy(std::int32_t r, std::int32_t c, const void* ctx) {
  const CopyIndex& x = *static_cast<const CopyIndex*>(ctx);
  if (r < 1 || r > x.n) return -1;
  const std::int32_t* cols = x.col.data();
  const std::int32_t* b = cols + (x.ia[r] - 1);
  const std::int32_t* e = cols + (x.ia[r + 1] - 1);
  const std::int32_t* q = std::lower_bound(b, e, c);
  return q != e && *q == c ? x.pos[static_cast<std::size_t>(q - cols)] : -1;
}

// The records of a cycle whose slots are kept in the stream, straight into
// XX_IJA: the steps of the general pass, each record's slots from the
// stream.
template <int NT, int N, bool Ahead>
void build_kept_records(model::State& s, double* a, const std::vector<std::int32_t>& pos) {
  std::size_t pos_at = 0;
  for_each_kept_record<NT, N>(
      s,
      [&](const std::int32_t* cnt, const std::int32_t* eq, const float* x) {
        if constexpr (NT > 0 && N > 0) {
          direct_terms_flat<NT, N, Ahead>(s, eq, x, a, pos, pos_at);
        } else {
          SlotView view;
          view_of_slots(RecordSlots{cnt, eq, x, 0}, m.ntrait, view);
          direct_terms_by_shape(s, view, a, pos, pos_at);
        }
      },
      [&](const RecordSlots& r) {
        if constexpr (NT == 1) {
          // In one trait, the parents of an animal without an equation
          // stand in for it: one slot more or fewer than the effects.
          switch (r.n) {
            case 2:
              return one_trait_terms_flat<2, Ahead>(s, r.eq, r.x, a, pos, pos_at);
            case 3:
              return one_trait_terms_flat<3, Ahead>(s, r.eq, r.x, a, pos, pos_at);
            case 4:
              return one_trait_terms_flat<4, Ahead>(s, r.eq, r.x, a, pos, pos_at);
            default:
              break;
          }
        }
        SlotView view;
        view_of_slots(r, m.ntrait, view);
        direct_terms_by_shape(s, view, a, pos, pos_at);
      });
  // The cursor on the last record, as the general pass leaves it.
  if (m.nrec > 0) {
    s.irec = m.nrec;
    find_addresses(s);
  }
}

void build_loaded_records(model::State& s, double* a, const std::vector<std::int32_t>& pos) {
  const bool ahead = s.XX_IJA.nel > cached_elements;
  with_kept_order(m.ntrait, m.neff, [&](auto nt, auto n) {
    if (ahead)
      build_kept_records<nt(), n(), true>(s, a, pos);
    else
      build_kept_records<nt(), n(), false>(s, a, pos);
  });
}

}  // namespace

bool EquationPlan::fits(const model::State& s) const {
  const HashLink& linkhi = workspace(s).link;
  return stage == Stage::placed && sparsem::upper_storage && linkhi.built &&
         linkhi.generation == link_generation &&
         static_cast<std::int32_t>(linkhi.linkhi.size()) == s.XX.filled && s.XX_IJA.nel == nel;
}

void EquationPlan::reset(model::State& s) {
  armed = m.round != m.start && fits(s);
  if (armed)
    std::memset(s.XX_IJA.a.data(), 0, sizeof(double) * static_cast<std::size_t>(s.XX_IJA.nel));
  else
    sparsem::zero_values_sparse_hashm(s.XX);
}

bool allow_planned_builds = true;

Route EquationPlan::begin(model::State& s, bool first_cycle) {
  const bool go = !first_cycle && armed && allow_planned_builds;
  // XX was left as it was when its build was to go to XX_IJA.
  if (armed && !go) sparsem::zero_values_sparse_hashm(s.XX);
  armed = false;
  key_at = pos_at = 0;
  if (go) return slots_loadable(s) ? Route::planned_loaded : Route::planned_found;
  // A cycle through XX: its additions are kept for a plan.
  direct = false;
  stage = Stage::none;
  clear_slots(s);
  return Route::through_table;
}

void EquationPlan::end(Route route, bool still_direct) {
  direct = still_direct;
  if (route == Route::through_table) stage = Stage::keyed;
}

bool EquationPlan::add_record(model::State& s) {
  if (record_as_planned(s, key_at)) {
    SlotView view;
    view_of_cursor(s, view);
    direct_terms_by_shape(s, view, s.XX_IJA.a.data(), rec_pos, pos_at);
    return true;
  }
  return record_by_lookup(s, key_at, pos_at, s.XX_IJA.a.data());
}

void EquationPlan::add_loaded_records(model::State& s) { build_loaded_records(s, s.XX_IJA.a.data(), rec_pos); }

bool EquationPlan::add_group(model::State& s, int e, RelationshipTerms& terms) {
  if (m.randomtype(e) != model::RandomType::add_an_ms) return add_group_direct(s, e, terms);
  // Its sires were drawn: A^-1 may have changed, and its positions with it,
  // which are looked up.
  index_slots(s);
  const SlotIndex index{&s.XX, pos_of_slot.data()};
  return add_ainv_terms_direct(s, e, s.XX_IJA.a.data(), terms, position_by_slot, &index);
}

void EquationPlan::index_slots(const model::State& s) {
  const HashLink& linkhi = workspace(s).link;
  if (lookup_generation == linkhi.generation &&
      pos_of_slot.size() == static_cast<std::size_t>(s.XX.nel) + 1)
    return;
  pos_of_slot.assign(static_cast<std::size_t>(s.XX.nel) + 1, -1);
  const std::vector<std::int32_t>& link = linkhi.linkhi;
  for (std::size_t k = 0; k < link.size(); ++k) pos_of_slot[static_cast<std::size_t>(link[k])] = static_cast<std::int32_t>(k);
  lookup_generation = linkhi.generation;
}

void EquationPlan::leave(model::State& s) {
  // The values built so far in XX_IJA go into XX, whose keys they came from.
  sparsem::zero_values_sparse_hashm(s.XX);
  sparsem::hash_slot* slots = s.XX.x.data() - 1;  // 1-based slot numbers
  const double* a = s.XX_IJA.a.data();
  const std::vector<std::int32_t>& link = workspace(s).link.linkhi;
  for (std::size_t k = 0; k < link.size(); ++k) slots[link[k]].val = a[k];
  direct = false;
  stage = Stage::none;
}

void EquationPlan::place(model::State& s) {
  const HashLink& linkhi = workspace(s).link;
  if (stage != Stage::keyed || !sparsem::upper_storage || !linkhi.built ||
      static_cast<std::int32_t>(linkhi.linkhi.size()) != s.XX.filled || s.XX_IJA.nel != s.XX.filled)
    return;

  // The records' additions in parts of the stream: each part's count
  // gives where its positions start.
  std::vector<const std::int32_t*> cut;
  const int parts = plan_parts(workspace(s).cursor.stream.key.size() * static_cast<std::size_t>(m.ntrait));
  bool ok = cut_stream(workspace(s).cursor.stream.key, parts, cut);
  std::vector<std::size_t> start(static_cast<std::size_t>(parts) + 1, 0);
  std::vector<char> part_ok(static_cast<std::size_t>(parts), 1);
  if (ok) {
    util::run_parts(parts, [&](int p) {
      const std::size_t q = static_cast<std::size_t>(p);
      std::size_t count = 0;
      part_ok[q] = for_each_record_element(cut[q], cut[q + 1], [&count](std::int32_t, std::int32_t) {
        ++count;
        return true;
      });
      start[q + 1] = count;
    });
    for (int p = 0; p < parts; ++p) {
      const std::size_t q = static_cast<std::size_t>(p);
      ok = ok && part_ok[q];
      start[q + 1] += start[q];
    }
  }
  // The positions before the index: the index, freed last, then leaves no
  // hole below them.
  if (ok) rec_pos.assign(start[static_cast<std::size_t>(parts)] + direct_ahead, 0);

  // Every key of XX has its element in the copy (the link holds one for
  // each), so the copy alone tells where an addition goes.
  CopyIndex index;
  index_copy(index, s.XX_IJA);
  if (ok) {
    util::run_parts(parts, [&](int p) {
      const std::size_t q = static_cast<std::size_t>(p);
      std::int32_t* pos = rec_pos.data() + start[q];
      std::size_t k = 0;
      part_ok[q] = for_each_record_element(cut[q], cut[q + 1], [&](std::int32_t r, std::int32_t c) {
        const std::int32_t x = position_in_copy(r, c, &index);
        pos[k++] = x;
        return x >= 0;
      });
    });
    for (int p = 0; p < parts; ++p) ok = ok && part_ok[static_cast<std::size_t>(p)];
  }
  RelationshipTerms& terms = relationship_terms(s);
  for (int e = 1; e <= m.neff && ok; ++e) {
    const model::RandomType rt = model::build_type(e);
    if (rt == model::RandomType::none) continue;
    if (rt == model::RandomType::add_an_ms) {
      ok = plan_ainv_positions(s, e, terms, position_in_copy, &index);
      continue;
    }
    if (model::multiple_breed(rt)) {
      ok = plan_mb_positions(s, e, position_in_copy, &index);
      continue;
    }
    ok = plan_group_positions(terms, e, rt, position_in_copy, &index);
  }

  stage = ok ? Stage::placed : Stage::none;
  link_generation = linkhi.generation;
  nel = s.XX_IJA.nel;
  if (!ok) {
    rec_pos.clear();
    rec_pos.shrink_to_fit();
  }
  index = CopyIndex{};
#if defined(__GLIBC__)
  // The index and the parts' buffers go back to the system before the
  // solver's rows are made: left free in the heap, the rows may or may not
  // land on them, and the peak memory with them.
  malloc_trim(0);
#endif
}

int plan_parts(std::size_t work) { return util::team_parts(work, std::size_t{1} << 20, plan_threads); }

void reset_matrix_values(model::State& s) { workspace(s).plan.reset(s); }

void plan_equations(model::State& s) { workspace(s).plan.place(s); }

bool built_through_table(const model::State& s) { return !workspace(s).plan.direct; }

void link_equations(model::State& s) { link_hash_ija(s.XX, s.XX_IJA, workspace(s).link); }

void complete_equations(model::State& s) {
  if (!built_through_table(s)) return;
  link_equations(s);
  plan_equations(s);
}

}  // namespace sampler

