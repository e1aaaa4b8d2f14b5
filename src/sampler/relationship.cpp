#include "sampler/relationship.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <exception>
#include <string>
#include <unordered_map>
#include <utility>

#include "model/model.hpp"
#include "sampler/eq_plan.hpp"
#include "sampler/workspace.hpp"
#include "sparse/sparsem.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/team.hpp"

namespace sampler {

namespace {

using model::m;

// One element of G^-1 with the equation bases of its row and column: the
// equation of level l is base + l * ntrait.
struct GTerm {
  std::int32_t r0 = 0;
  std::int32_t c0 = 0;
  double g = 0;
};
using GTerms = std::array<GTerm, model::maxcorr * model::maxcorr>;

// Equation of level 0, trait 0 of effect e: (sum of nlev before e - 1) * ntrait.
std::int32_t level_base(int e) {
  std::int64_t levels = 0;
  for (int f = 1; f < e; ++f) levels += m.nlev(f);
  return static_cast<std::int32_t>((levels - 1) * m.ntrait);
}

// The group's G^-1 elements in loop order i1, i2, t1, t2 whose effects have
// data for both traits (an effect absent for a trait has no terms there).
// Returns their count.
int gather_ginv(int e, GTerms& out) {
  const int q = m.randomnumb(e), nt = m.ntrait;
  std::array<std::int32_t, model::maxcorr> base{};
  for (int i = 0; i < q; ++i) base[static_cast<std::size_t>(i)] = level_base(e + i);
  int n = 0;
  for (int i1 = 0; i1 < q; ++i1)
    for (int i2 = 0; i2 < q; ++i2)
      for (int t1 = 1; t1 <= nt; ++t1)
        for (int t2 = 1; t2 <= nt; ++t2) {
          if (m.pos_eff(e + i1, t1) == 0 || m.pos_eff(e + i2, t2) == 0) continue;
          GTerm& x = out[static_cast<std::size_t>(n++)];
          x.r0 = base[static_cast<std::size_t>(i1)] + t1;
          x.c0 = base[static_cast<std::size_t>(i2)] + t2;
          x.g = m.ginv(e, i1 * nt + t1, i2 * nt + t2);
        }
  return n;
}

// Fewest levels among the group's effects: the largest level that has an
// equation in every one of them.
int group_levels(int e) {
  int lim = m.nlev(e);
  for (int i = 1; i < m.randomnumb(e); ++i) lim = std::min(lim, m.nlev(e + i));
  return lim;
}

// Per-column coefficients of a pedigree line.
struct Rules {
  double w[3];
  double res[4];
};

// Multipliers 4/3, 16/11 and 16/15 are single-precision constants.
Rules rules_of(model::RandomType type) {
  const double r43 = static_cast<double>(4.0f / 3.0f);
  switch (type) {
    case model::RandomType::add_animal:
    case model::RandomType::add_an_upg:
    case model::RandomType::add_an_upgi: return {{1.0, -0.5, -0.5}, {2.0, r43, 1.0, 0.0}};
    case model::RandomType::add_sire:
      return {{1.0, -0.5, -0.25},
              {static_cast<double>(16.0f / 11.0f), r43, static_cast<double>(16.0f / 15.0f), 1.0}};
    default:
      util::internal_error(std::string("add_g_add: random type ") + model::word(type) +
                           " is not an additive relationship");
  }
}

[[noreturn]] void bad_line(int e, int line, const std::string& what) {
  util::fatal(util::freev("pedigree line", line, "of random effect", e) + ": " + what);
}

// Multiplier of one line from its three ids (and code with parent groups).
double line_multiplier(model::RandomType type, const Rules& r, const int p[3], int code, int e,
                       int line) {
  const bool k2 = p[1] != 0, k3 = p[2] != 0;
  switch (type) {
    case model::RandomType::add_animal:
      return k2 && k3 ? r.res[0] : (k2 || k3 ? r.res[1] : r.res[2]);
    case model::RandomType::add_an_upg:
      if (code < 1 || code > 4)
        bad_line(e, line, "multiplier code " + std::to_string(code) + " is not within 1 to 4");
      return r.res[code - 1];
    case model::RandomType::add_an_upgi:
      return static_cast<double>(static_cast<float>(code) / 1000.0f);
    default:  // add_sire
      return k2 && k3 ? r.res[0] : (k2 ? r.res[1] : (k3 ? r.res[2] : r.res[3]));
  }
}

// Builds the compact terms of group e from its pedigree; every id must be a
// level of each of the group's effects.
void build_terms(const model::State& s, model::RandomType type, int e, GroupTerms& t) {
  const Rules r = rules_of(type);
  const int len = m.lenped(e) > 0 ? m.lenped(e) : 0;
  const int lim = group_levels(e);
  const bool coded = model::parent_groups(type);
  t.type = model::RandomType::none;  // until complete
  t.lines.resize(static_cast<std::size_t>(len));
  for (int line = 1; line <= len; ++line) {
    int p[3];
    for (int k = 0; k < 3; ++k) {
      p[k] = s.PED(e, line, k + 1);
      if (p[k] < 0 || p[k] > lim)
        bad_line(e, line,
                 "id " + std::to_string(p[k]) + " is not within 0 to " + std::to_string(lim) +
                     ", the levels of the group's effects");
    }
    const int code = coded ? s.PED_CODE(e, line) : 0;
    PedLine& L = t.lines[static_cast<std::size_t>(line - 1)];
    L = PedLine{};
    L.m = line_multiplier(type, r, p, code, e, line);
    for (int k = 0; k < 3; ++k) {
      if (p[k] == 0) continue;
      L.id[L.n] = p[k];
      L.k[L.n] = static_cast<std::uint8_t>(k);
      ++L.n;
    }
  }
  t.type = type;
  t.lenped = len;
}

// Additions to a hash matrix through the slots remembered from the same
// additions in an earlier cycle.  Where the remembered slot holds the
// element, the addition goes straight there, as the store's own addition
// would (the key is in place and the table needs no growth); anywhere else
// the store adds it and the slot is remembered anew.  The slots are known
// ahead, so their loads are started a few additions early.
class SlotAdder {
 public:
  SlotAdder(sparsem::sparse_hashm& A, std::vector<std::int32_t>& slots) : A_(A), slots_(slots) {}
  SlotAdder(const SlotAdder&) = delete;
  SlotAdder& operator=(const SlotAdder&) = delete;
  // Adds what waits, then forgets the remembered slots beyond the last
  // addition.  A stop on the way leaves the table as it stands.
  ~SlotAdder() noexcept(false) {
    if (std::uncaught_exceptions() != 0) return;
    finish();
    if (k_ < slots_.size()) slots_.resize(k_);
  }

  // An additive term: coefficient times G^-1 element.
  void term(double coef, int, double g, std::int32_t r, std::int32_t c) { add(coef * g, r, c); }

  void add(double v, std::int32_t r, std::int32_t c) {
    // Dropped by the store without effect.
    if (sparsem::upper_storage && c < r) return;
    sparsem::hash_slot* t = A_.x.data();
    const std::size_t k = k_++;
    const std::size_t n = slots_.size();
    if (k < n) {
      if (k + ahead < n) {
        const std::uint32_t f = static_cast<std::uint32_t>(slots_[k + ahead]);
        if (f < static_cast<std::uint32_t>(A_.nel)) __builtin_prefetch(t + f, 1);
      }
      if (sparsem::add_sparse_hashm_at(v, r, c, slots_[k] + 1, A_)) return;
      slots_[k] = slow(v, r, c);
      return;
    }
    // No slot remembered (and none for any later addition, as k only
    // grows): the addition waits in a short queue while the start of its
    // probe is loaded, and the queue is added in order.
    if (waiting_ == queue_len) pop();
    queue_[(head_ + waiting_) % queue_len] = Pending{v, r, c, nullptr};
    ++waiting_;
    // Most of these keys are new and the table fills towards its growth
    // point, where chains run past their first slots: load a few of them.
    if (A_.status == 1) {
      std::int32_t f = sparsem::detail::start_slot(r, c, A_);
      for (int p = 0; p < probe_lines; ++p) {
        __builtin_prefetch(t + f, 1);
        f += A_.step_;
        if (f >= A_.nel) f -= A_.nel;
      }
    }
  }

  // An addition to another table made among these: it keeps its place
  // behind the waiting ones, so that every addition, and every growth
  // message, comes in the order of the calls.
  void add_other(double v, std::int32_t r, std::int32_t c, sparsem::sparse_hashm& B) {
    if (waiting_ == 0) {
      sparsem::add_sparse_hashm(v, r, c, B);
      return;
    }
    if (waiting_ == queue_len) pop();
    queue_[(head_ + waiting_) % queue_len] = Pending{v, r, c, &B};
    ++waiting_;
  }

  // Adds the waiting additions, in order.
  void finish() {
    while (waiting_ > 0) pop();
  }

 private:
  static constexpr std::size_t ahead = 16;
  static constexpr std::size_t queue_len = 64;
  static constexpr int probe_lines = 4;
  struct Pending {
    double v;
    std::int32_t r, c;
    sparsem::sparse_hashm* other;  // null: an addition to A_
  };

  void pop() {
    const Pending q = queue_[head_];
    head_ = (head_ + 1) % queue_len;
    --waiting_;
    if (q.other)
      sparsem::add_sparse_hashm(q.v, q.r, q.c, *q.other);
    else
      slots_.push_back(slow(q.v, q.r, q.c));
  }

  std::int32_t slow(double v, std::int32_t r, std::int32_t c) {
    return sparsem::add_sparse_hashm_slot(v, r, c, A_) - 1;
  }

  sparsem::sparse_hashm& A_;
  std::vector<std::int32_t>& slots_;
  std::size_t k_ = 0;
  Pending queue_[queue_len];
  std::size_t head_ = 0, waiting_ = 0;
};

// Additions straight into the values of the compressed-row copy, at the
// positions planned for them in order; the positions are known ahead, so
// their loads are started a few additions early.
class PosAdder {
 public:
  PosAdder(double* a, const std::vector<std::int32_t>& pos) : a_(a), pos_(pos.data()), n_(pos.size()) {}

  void term(double coef, int, double g, std::int32_t r, std::int32_t c) { add(coef * g, r, c); }

  void add(double v, std::int32_t r, std::int32_t c) {
    if (sparsem::upper_storage && c < r) return;
    const std::size_t k = k_++;
    VELMORAN_CHECK("planned addition", static_cast<long>(k), 0L, static_cast<long>(n_) - 1);
    if (k + ahead < n_) __builtin_prefetch(a_ + pos_[k + ahead], 1);
    a_[pos_[k]] += v;
  }

 private:
  static constexpr std::size_t ahead = 64;
  double* a_;
  const std::int32_t* pos_;
  std::size_t n_;
  std::size_t k_ = 0;
};

// Counts the kept additions of a walk.
class KeptCounter {
 public:
  void term(double, int, double, std::int32_t r, std::int32_t c) { add(0.0, r, c); }
  void add(double, std::int32_t r, std::int32_t c) {
    if (!(sparsem::upper_storage && c < r)) ++n_;
  }
  std::size_t count() const { return n_; }

 private:
  std::size_t n_ = 0;
};

// Walks the additions without values, writing each kept one's position to
// out[0 .. cap-1], which the walk's kept additions fill exactly.
class PosFinder {
 public:
  PosFinder(std::int32_t* out, std::size_t cap, PositionOf where, const void* ctx)
      : out_(out), cap_(cap), where_(where), ctx_(ctx) {}

  void term(double, int, double, std::int32_t r, std::int32_t c) { add(0.0, r, c); }

  void add(double, std::int32_t r, std::int32_t c) {
    if (sparsem::upper_storage && c < r) return;
    const std::size_t k = k_++;
    if (k >= cap_) {
      ok_ = false;
      return;
    }
    const std::int32_t p = where_(r, c, ctx_);
    if (p < 0) ok_ = false;
    out_[k] = p;
  }
  bool complete() const { return ok_ && k_ == cap_; }

 private:
  std::int32_t* out_;
  std::size_t cap_;
  PositionOf where_;
  const void* ctx_;
  std::size_t k_ = 0;
  bool ok_ = true;
};

// Walks an additive group's additions, giving each kept one its product
// number (coefficient and G^-1 element) beside its position.  Fails when the
// table of products would grow past max_products.
class CoefFinder {
 public:
  CoefFinder(GroupTerms& t, int ng) : t_(t), ng_(static_cast<std::uint32_t>(ng)) { t_.coefs.clear(); }

  void term(double coef, int gi, double, std::int32_t r, std::int32_t c) {
    if (sparsem::upper_storage && c < r) return;
    const std::size_t k = k_++;
    if (k >= t_.sorted.size()) {
      ok_ = false;
      return;
    }
    std::uint64_t bits;
    std::memcpy(&bits, &coef, sizeof bits);
    // A pedigree has few distinct coefficients: most are found in a small
    // cache of the index before the index itself.
    Seen& near = seen_[((bits ^ bits >> 32) * 0x9E3779B97F4A7C15ull) >> (64 - seen_bits)];
    if (!near.used || near.bits != bits) {
      auto it = index_.find(bits);
      if (it == index_.end()) {
        if ((t_.coefs.size() + 1) * ng_ > max_products) {
          ok_ = false;
          return;
        }
        it = index_.emplace(bits, static_cast<std::uint32_t>(t_.coefs.size())).first;
        t_.coefs.push_back(coef);
      }
      near = Seen{bits, it->second, true};
    }
    t_.sorted[k].product = near.index * ng_ + static_cast<std::uint32_t>(gi);
  }
  bool complete() const { return ok_ && k_ == t_.sorted.size(); }

 private:
  static constexpr std::size_t max_products = std::size_t{1} << 20;
  GroupTerms& t_;
  std::uint32_t ng_;
  std::unordered_map<std::uint64_t, std::uint32_t> index_;
  struct Seen {
    std::uint64_t bits = 0;
    std::uint32_t index = 0;
    bool used = false;
  };
  static constexpr int seen_bits = 6;
  Seen seen_[1 << seen_bits];
  std::size_t k_ = 0;
  bool ok_ = true;
};

// Remembered hash slots of a group, made ready for additions through s.XX.
std::vector<std::int32_t>& hash_slots(GroupTerms& t) {
  if (t.positions) {
    t.slots.clear();
    t.sorted.clear();
    t.sorted.shrink_to_fit();
    t.products.clear();
    t.positions = false;
  }
  return t.slots;
}

void remember_keys(GroupTerms& t, const GTerm* gt, int ng) {
  t.gkeys.resize(2 * static_cast<std::size_t>(ng));
  for (int c = 0; c < ng; ++c) {
    t.gkeys[2 * static_cast<std::size_t>(c)] = gt[c].r0;
    t.gkeys[2 * static_cast<std::size_t>(c) + 1] = gt[c].c0;
  }
}

bool same_keys(const GroupTerms& t, const GTerm* gt, int ng) {
  if (t.gkeys.size() != 2 * static_cast<std::size_t>(ng)) return false;
  for (int c = 0; c < ng; ++c)
    if (t.gkeys[2 * static_cast<std::size_t>(c)] != gt[c].r0 ||
        t.gkeys[2 * static_cast<std::size_t>(c) + 1] != gt[c].c0)
      return false;
  return true;
}

// XX terms of one line: for each G^-1 element, every ordered pair of the
// line's known ids in column order, value m * W(k1) * W(k2) * g.
template <class Adder>
inline void add_line(const PedLine& L, const double* w, const GTerm* gt, int ng, std::int32_t nt,
                     Adder& XX) {
  const int n = L.n;
  for (int c = 0; c < ng; ++c) {
    const GTerm& x = gt[c];
    for (int a = 0; a < n; ++a) {
      const std::int32_t row = x.r0 + L.id[a] * nt;
      const double ma = L.m * w[L.k[a]];
      for (int b = 0; b < n; ++b) XX.term(ma * w[L.k[b]], c, x.g, row, x.c0 + L.id[b] * nt);
    }
  }
}

}  // namespace

RelationshipTerms& relationship_terms(const model::State& s) { return workspace(s).terms; }

GroupTerms& group_terms(RelationshipTerms& terms, int e) {
  if (terms.group.size() < static_cast<std::size_t>(m.neff))
    terms.group.resize(static_cast<std::size_t>(m.neff));
  return terms.group[static_cast<std::size_t>(e - 1)];
}

void add_g_diag(model::State& s, int e, RelationshipTerms& terms) {
  const bool first = m.round == m.start;
  const int nl = m.nlev(e);
  if (first) {
    for (int i = 1; i < m.randomnumb(e); ++i)
      if (m.nlev(e + i) < nl)
        util::fatal(util::freev("random effect", e + i, "has", m.nlev(e + i),
                                "levels, fewer than the", nl, "of effect", e,
                                "whose group it belongs to"));
    sparsem::zero_sparse_hashm(s.AINV(e), nl);
  }
  GroupTerms& t = group_terms(terms, e);
  t.type = model::RandomType::diagonal;
  t.lenped = 0;
  t.lines.clear();

  GTerms gt;
  const int ng = gather_ginv(e, gt);
  remember_keys(t, gt.data(), ng);
  t.levels = nl;
  const std::int32_t nt = m.ntrait;
  SlotAdder XX(s.XX, hash_slots(t));
  for (std::int32_t l = 1; l <= nl; ++l) {
    if (first) XX.add_other(1.0, l, l, s.AINV(e));
    const std::int32_t off = l * nt;
    for (int c = 0; c < ng; ++c) XX.add(gt[c].g, gt[c].r0 + off, gt[c].c0 + off);
  }
  s.DF_RANDOM(e) = nl;
}

namespace {

template <class Adder>
void diag_terms(const GTerm* gt, int ng, std::int32_t l0, std::int32_t l1, Adder& XX) {
  const std::int32_t nt = m.ntrait;
  for (std::int32_t l = l0; l <= l1; ++l) {
    const std::int32_t off = l * nt;
    for (int c = 0; c < ng; ++c) XX.add(gt[c].g, gt[c].r0 + off, gt[c].c0 + off);
  }
}

template <class Adder>
void diag_terms(const GTerm* gt, int ng, std::int32_t nl, Adder& XX) {
  diag_terms(gt, ng, 1, nl, XX);
}

// Lines from .. to-1 of the group.
template <class Adder>
void additive_terms(const GroupTerms& t, const Rules& r, const GTerm* gt, int ng, std::size_t from,
                    std::size_t to, Adder& XX) {
  const std::int32_t nt = m.ntrait;
  const PedLine* lines = t.lines.data();
  for (std::size_t i = from; i < to; ++i) add_line(lines[i], r.w, gt, ng, nt, XX);
}

template <class Adder>
void additive_terms(const GroupTerms& t, const Rules& r, const GTerm* gt, int ng, Adder& XX) {
  additive_terms(t, r, gt, ng, 0, t.lines.size(), XX);
}

// Positions of the group's kept additions, by where(), into t.slots, whose
// size must be their count.  The lines (levels) are shared out in parts; a
// part's count gives where its positions start.
bool find_positions(GroupTerms& t, model::RandomType randomtype, const GTerm* gt, int ng,
                    PositionOf where, const void* ctx) {
  const bool diag = randomtype == model::RandomType::diagonal;
  const Rules r = diag ? Rules{} : rules_of(randomtype);
  const std::size_t units = diag ? static_cast<std::size_t>(std::max(t.levels, 0)) : t.lines.size();
  const int parts = static_cast<int>(
      std::min<std::size_t>(static_cast<std::size_t>(plan_parts(t.slots.size())), std::max<std::size_t>(units, 1)));
  auto walk = [&](int p, auto& XX) {
    const std::size_t from = units * static_cast<std::size_t>(p) / static_cast<std::size_t>(parts);
    const std::size_t to = units * static_cast<std::size_t>(p + 1) / static_cast<std::size_t>(parts);
    if (diag)
      diag_terms(gt, ng, static_cast<std::int32_t>(from) + 1, static_cast<std::int32_t>(to), XX);
    else
      additive_terms(t, r, gt, ng, from, to, XX);
  };
  std::vector<std::size_t> start(static_cast<std::size_t>(parts) + 1, 0);
  util::run_parts(parts, [&](int p) {
    KeptCounter n;
    walk(p, n);
    start[static_cast<std::size_t>(p) + 1] = n.count();
  });
  for (int p = 0; p < parts; ++p) start[static_cast<std::size_t>(p) + 1] += start[static_cast<std::size_t>(p)];
  if (start[static_cast<std::size_t>(parts)] != t.slots.size()) return false;
  std::vector<char> ok(static_cast<std::size_t>(parts), 0);
  util::run_parts(parts, [&](int p) {
    const std::size_t q = static_cast<std::size_t>(p);
    PosFinder XX(t.slots.data() + start[q], start[q + 1] - start[q], where, ctx);
    walk(p, XX);
    ok[q] = XX.complete();
  });
  return std::all_of(ok.begin(), ok.end(), [](char c) { return c != 0; });
}

}  // namespace

bool add_g_diag_direct(model::State& s, int e, double* a, RelationshipTerms& terms) {
  GroupTerms& t = group_terms(terms, e);
  const int nl = m.nlev(e);
  if (!t.positions || t.type != model::RandomType::diagonal || t.levels != nl) return false;
  GTerms gt;
  const int ng = gather_ginv(e, gt);
  if (!same_keys(t, gt.data(), ng)) return false;
  PosAdder XX(a, t.slots);
  diag_terms(gt.data(), ng, nl, XX);
  s.DF_RANDOM(e) = nl;
  return true;
}

bool add_g_add_direct(model::State& s, model::RandomType randomtype, int e, double* a,
                      RelationshipTerms& terms) {
  (void)s;
  GroupTerms& t = group_terms(terms, e);
  const int len = m.lenped(e);
  if (!t.positions || t.type != randomtype || t.lenped != (len > 0 ? len : 0)) return false;
  GTerms gt;
  const int ng = gather_ginv(e, gt);
  if (!same_keys(t, gt.data(), ng)) return false;
  if (!t.sorted.empty()) {
    const std::size_t nc = t.coefs.size(), ngs = static_cast<std::size_t>(ng);
    if (t.products.size() != nc * ngs) return false;
    double* P = t.products.data();
    for (std::size_t c = 0; c < nc; ++c)
      for (std::size_t i = 0; i < ngs; ++i) P[c * ngs + i] = t.coefs[c] * gt[i].g;
    for (const GroupTerms::Sorted& q : t.sorted) a[q.pos] += P[q.product];
    return true;
  }
  const Rules r = rules_of(randomtype);
  PosAdder XX(a, t.slots);
  additive_terms(t, r, gt.data(), ng, XX);
  return true;
}

namespace {

// Puts the additions (in their order) in the order of the walk: by window
// of positions, within a window by how many additions to the same position
// came before, then by position.  One position's additions, each of which
// waits for the one before, then no longer follow each other, every element
// still receives its additions in their order, and the walk stays within a
// window that the nearest cache holds.  Counting sorts, each keeping the
// order of ties, so that planning a large pedigree stays linear.
void order_walk(std::vector<GroupTerms::Sorted>& v) {
  using Sorted = GroupTerms::Sorted;
  constexpr int bits = GroupTerms::window_bits;
  constexpr std::uint32_t width = std::uint32_t{1} << bits;
  const std::size_t n = v.size();
  if (n == 0) return;
  std::uint32_t top = 0;
  for (const Sorted& q : v) top = std::max(top, static_cast<std::uint32_t>(q.pos));
  const std::size_t windows = (top >> bits) + 1;

  // By window.
  std::vector<std::size_t> start(windows + 1, 0);
  for (const Sorted& q : v) ++start[(static_cast<std::uint32_t>(q.pos) >> bits) + 1];
  for (std::size_t w = 0; w < windows; ++w) start[w + 1] += start[w];
  std::vector<Sorted> tmp(n);
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (const Sorted& q : v) tmp[next[static_cast<std::uint32_t>(q.pos) >> bits]++] = q;
  }

  // The windows are sorted each on its own: shared out in ranges of about
  // equal numbers of additions.
  const int parts = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(plan_parts(n)), windows));
  std::vector<std::size_t> wcut(static_cast<std::size_t>(parts) + 1, windows);
  wcut[0] = 0;
  for (int p = 1; p < parts; ++p) {
    const std::size_t want = n / static_cast<std::size_t>(parts) * static_cast<std::size_t>(p);
    const auto it = std::lower_bound(start.begin(), start.end() - 1, want);
    wcut[static_cast<std::size_t>(p)] =
        std::max(wcut[static_cast<std::size_t>(p) - 1], static_cast<std::size_t>(it - start.begin()));
  }
  // Each part's counts are made here, large enough for its largest window:
  // the threads allocate nothing.
  std::vector<std::vector<std::uint32_t>> counts(static_cast<std::size_t>(parts)),
      repeats(static_cast<std::size_t>(parts));
  for (std::size_t p = 0; p < static_cast<std::size_t>(parts); ++p) {
    std::size_t most = 0;
    for (std::size_t w = wcut[p]; w < wcut[p + 1]; ++w) most = std::max(most, start[w + 1] - start[w]);
    counts[p].assign(std::max<std::size_t>(width + 1, most + 2), 0u);
    repeats[p].reserve(most);
  }
  util::run_parts(parts, [&](int p) {
    std::vector<std::uint32_t>& count = counts[static_cast<std::size_t>(p)];
    std::vector<std::uint32_t>& repeat = repeats[static_cast<std::size_t>(p)];
    for (std::size_t w = wcut[static_cast<std::size_t>(p)]; w < wcut[static_cast<std::size_t>(p) + 1]; ++w) {
      const std::size_t b = start[w], e = start[w + 1];
      if (b == e) continue;
      // By position within the window, tmp -> v.
      std::fill(count.begin(), count.begin() + width + 1, 0u);
      for (std::size_t k = b; k < e; ++k) ++count[(static_cast<std::uint32_t>(tmp[k].pos) & (width - 1)) + 1];
      for (std::uint32_t i = 0; i < width; ++i) count[i + 1] += count[i];
      for (std::size_t k = b; k < e; ++k)
        v[b + count[static_cast<std::uint32_t>(tmp[k].pos) & (width - 1)]++] = tmp[k];
      // How many additions to its position came before each; then by that
      // count, v -> tmp, and back.
      repeat.resize(e - b);
      std::uint32_t most = 0;
      for (std::size_t k = b; k < e; ++k) {
        const std::uint32_t r = k > b && v[k].pos == v[k - 1].pos ? repeat[k - b - 1] + 1 : 0;
        repeat[k - b] = r;
        most = std::max(most, r);
      }
      std::vector<std::uint32_t>& by = count;
      if (by.size() < static_cast<std::size_t>(most) + 2) by.resize(static_cast<std::size_t>(most) + 2);
      std::fill(by.begin(), by.begin() + most + 2, 0u);
      for (std::size_t k = 0; k < e - b; ++k) ++by[repeat[k] + 1];
      for (std::uint32_t i = 0; i <= most; ++i) by[i + 1] += by[i];
      for (std::size_t k = b; k < e; ++k) tmp[b + by[repeat[k - b]]++] = v[k];
      std::copy(tmp.begin() + static_cast<std::ptrdiff_t>(b), tmp.begin() + static_cast<std::ptrdiff_t>(e),
                v.begin() + static_cast<std::ptrdiff_t>(b));
    }
  });
}

}  // namespace

bool plan_group_positions(RelationshipTerms& terms, int e, model::RandomType randomtype,
                          PositionOf where, const void* ctx) {
  GroupTerms& t = group_terms(terms, e);
  if (t.positions || t.type != randomtype) return false;
  const int ng = static_cast<int>(t.gkeys.size() / 2);
  GTerms gt;
  for (int c = 0; c < ng; ++c) {
    gt[static_cast<std::size_t>(c)].r0 = t.gkeys[2 * static_cast<std::size_t>(c)];
    gt[static_cast<std::size_t>(c)].c0 = t.gkeys[2 * static_cast<std::size_t>(c) + 1];
  }
  t.positions = find_positions(t, randomtype, gt.data(), ng, where, ctx);
  if (!t.positions) {
    t.slots.clear();
    return false;
  }
  if (randomtype != model::RandomType::diagonal) {
    // The pedigree's parents lie anywhere in the copy: in the order of the
    // walk, the additions meet its values window by window.
    t.sorted.resize(t.slots.size());
    for (std::size_t k = 0; k < t.slots.size(); ++k) t.sorted[k].pos = t.slots[k];
    CoefFinder C(t, ng);
    additive_terms(t, rules_of(randomtype), gt.data(), ng, C);
    if (C.complete()) {
      t.products.resize(t.coefs.size() * static_cast<std::size_t>(ng));
      t.slots.clear();
      t.slots.shrink_to_fit();
      order_walk(t.sorted);
    } else {
      t.sorted.clear();
      t.sorted.shrink_to_fit();
      t.coefs.clear();
      t.products.clear();
    }
  }
  return true;
}

namespace {

// The additions of a type-8 group: for each G^-1 element, every element
// (r, c) of the copy B as (r, c) and, off the diagonal, as (c, r).
template <class Adder>
void ainv_walk(const sparsem::sparse_ija& B, const GTerm* gt, int ng, Adder& XX) {
  const std::int32_t nt = m.ntrait;
  const std::int32_t* ia = B.ia.data() - 1;
  const std::int32_t* ja = B.ja.data() - 1;
  const double* av = B.a.data() - 1;
  for (int c = 0; c < ng; ++c) {
    const GTerm& x = gt[c];
    for (std::int32_t r = 1; r <= B.n; ++r) {
      const std::int32_t er = x.r0 + r * nt;
      for (std::int32_t k = ia[r]; k < ia[r + 1]; ++k) {
        const std::int32_t col = ja[k];
        const double v = av[k] * x.g;
        const std::int32_t ec = x.c0 + col * nt;
        XX.add(v, er, ec);
        if (col != r) XX.add(v, ec, er);
      }
    }
  }
}

// Additions straight into a hash matrix.
struct HashAdder {
  sparsem::sparse_hashm& A;
  void add(double v, std::int32_t r, std::int32_t c) { sparsem::add_sparse_hashm(v, r, c, A); }
};

// Positions of the additions of the keys key_slot[from..] of the table A
// for the G^-1 elements gt into key_pos: for key (r, c) and element x, the
// addition (x.r0 + r nt, x.c0 + c nt), or off the diagonal the one of it and
// its mirror that the upper storage keeps.
bool key_positions(GroupTerms& t, const sparsem::sparse_hashm& A, const GTerm* gt, int ng,
                   std::size_t from, PositionOf where, const void* ctx) {
  const std::int32_t nt = m.ntrait;
  const std::size_t nk = t.key_slot.size(), n = static_cast<std::size_t>(ng);
  t.key_pos.resize(nk * n, -1);
  for (std::size_t k = from; k < nk; ++k) {
    const sparsem::hash_slot& h = A.x(t.key_slot[k]);
    for (std::size_t c = 0; c < n; ++c) {
      const GTerm& x = gt[c];
      std::int32_t er = x.r0 + h.row * nt, ec = x.c0 + h.col * nt;
      std::int32_t& pos = t.key_pos[k * n + c];
      pos = -1;
      if (ec < er) {
        if (h.col == h.row) continue;  // below the diagonal: dropped
        std::swap(er, ec);
      }
      pos = where(er, ec, ctx);
      if (pos < 0) {
        t.key_pos.resize(from * n);
        return false;
      }
    }
  }
  return true;
}

// The keys of A in slot order, with their positions.
bool plan_keys(GroupTerms& t, const sparsem::sparse_hashm& A, const GTerm* gt, int ng,
               PositionOf where, const void* ctx) {
  t.positions = false;
  t.key_slot.clear();
  t.key_pos.clear();
  for (std::int32_t k = 1; k <= A.nel; ++k)
    if (A.x(k).row != 0 || A.x(k).col != 0) t.key_slot.push_back(k);
  if (!key_positions(t, A, gt, ng, 0, where, ctx)) {
    t.key_slot.clear();
    t.key_pos.clear();
    return false;
  }
  t.keys_table = A.x.data();
  t.keys_nel = A.nel;
  remember_keys(t, gt, ng);
  t.type = model::RandomType::add_an_ms;
  t.positions = true;
  return true;
}

}  // namespace

void add_ainv_terms(model::State& s, int e, RelationshipTerms& terms) {
  GroupTerms& t = group_terms(terms, e);
  if (t.ija_stale) copy_ainv(s, e, t.rebuilt, terms);
  GTerms gt;
  const int ng = gather_ginv(e, gt);
  // A later cycle plans its additions afresh.
  t.positions = false;
  t.type = model::RandomType::add_an_ms;
  remember_keys(t, gt.data(), ng);
  HashAdder XX{s.XX};
  ainv_walk(s.AINV_IJA(e), gt.data(), ng, XX);
}

bool plan_ainv_positions(const model::State& s, int e, RelationshipTerms& terms, PositionOf where,
                         const void* ctx) {
  GroupTerms& t = group_terms(terms, e);
  if (t.type != model::RandomType::add_an_ms) return false;
  GTerms gt;
  const int ng = gather_ginv(e, gt);
  if (!same_keys(t, gt.data(), ng)) return false;
  return plan_keys(t, s.AINV(e), gt.data(), ng, where, ctx);
}

bool add_ainv_terms_direct(model::State& s, int e, double* a, RelationshipTerms& terms,
                           PositionOf where, const void* ctx) {
  GroupTerms& t = group_terms(terms, e);
  const sparsem::sparse_hashm& A = s.AINV(e);
  GTerms gt;
  const int ng = gather_ginv(e, gt);
  if (!t.positions || t.type != model::RandomType::add_an_ms || !same_keys(t, gt.data(), ng) ||
      t.keys_table != A.x.data() || t.keys_nel != A.nel || A.status != 1) {
    // A table made anew (or another G^-1 pattern): every key.
    if (where == nullptr || !plan_keys(t, A, gt.data(), ng, where, ctx)) return false;
  } else if (static_cast<std::size_t>(A.filled) != t.key_slot.size()) {
    // Keys the draws added since.
    const std::size_t from = t.key_slot.size();
    for (const std::int32_t k : t.added_slots)
      if (std::find(t.key_slot.begin() + static_cast<std::ptrdiff_t>(from), t.key_slot.end(), k) ==
          t.key_slot.end())
        t.key_slot.push_back(k);
    if (where == nullptr || t.key_slot.size() != static_cast<std::size_t>(A.filled) ||
        !key_positions(t, A, gt.data(), ng, from, where, ctx)) {
      t.positions = false;
      return false;
    }
  }
  const std::size_t nk = t.key_slot.size(), n = static_cast<std::size_t>(ng);
  const sparsem::hash_slot* x = A.x.data() - 1;
  const std::int32_t* slot = t.key_slot.data();
  const std::int32_t* pos = t.key_pos.data();
  double g[model::maxcorr * model::maxcorr];
  for (std::size_t c = 0; c < n; ++c) g[c] = gt[c].g;
  for (std::size_t k = 0; k < nk; ++k, pos += n) {
    const double v = x[slot[k]].val;
    for (std::size_t c = 0; c < n; ++c)
      if (pos[c] >= 0) a[pos[c]] += v * g[c];
  }
  return true;
}

void copy_ainv(model::State& s, int e, bool rebuilt, RelationshipTerms& terms) {
  GroupTerms& t = group_terms(terms, e);
  const sparsem::sparse_hashm& A = s.AINV(e);
  sparsem::sparse_ija& B = s.AINV_IJA(e);
  t.ija_stale = false;
  t.rebuilt = false;
  const bool same_table = !rebuilt && A.x.data() == t.ainv_table && A.nel == t.ainv_nel &&
                          A.filled == t.ainv_filled && A.status == 1 &&
                          t.ija_slot.size() == static_cast<std::size_t>(B.nel);
  if (same_table) {
    // The same keys in the same slots: the copy's layout stands.
    const sparsem::hash_slot* x = A.x.data() - 1;
    const std::int32_t* slot = t.ija_slot.data();
    double* av = B.a.data();
    for (std::size_t k = 0; k < t.ija_slot.size(); ++k) av[k] = slot[k] > 0 ? x[slot[k]].val : 0.0;
    return;
  }
  sparsem::convert_hash_ija(B, A);
  t.ija_slot.assign(static_cast<std::size_t>(B.nel), 0);
  const std::int32_t* ia = B.ia.data() - 1;
  const std::int32_t* ja = B.ja.data() - 1;
  for (std::int32_t r = 1; r <= B.n; ++r)
    for (std::int32_t k = ia[r]; k < ia[r + 1]; ++k)
      t.ija_slot[static_cast<std::size_t>(k - 1)] = std::max(sparsem::hashvr_find(r, ja[k], A), 0);
  t.ainv_table = A.x.data();
  t.ainv_nel = A.nel;
  t.ainv_filled = A.filled;
}

void add_g_diag(model::State& s, int e) { add_g_diag(s, e, relationship_terms(s)); }

void add_g_add(model::State& s, model::RandomType randomtype, int e, RelationshipTerms& terms) {
  const bool first = m.round == m.start;
  const Rules r = rules_of(randomtype);
  GroupTerms& t = group_terms(terms, e);
  const int len = m.lenped(e);
  if (first || t.type != randomtype || t.lenped != (len > 0 ? len : 0)) build_terms(s, randomtype, e, t);
  if (first) sparsem::zero_sparse_hashm(s.AINV(e), m.nlev(e));

  GTerms gt;
  const int ng = gather_ginv(e, gt);
  remember_keys(t, gt.data(), ng);
  const std::int32_t nt = m.ntrait;
  // Lines of weight above 0: the rank of A^-1, and so the levels G counts
  // (a parent group's line of no weight adds no term).
  int weighted = 0;
  {
    SlotAdder XX(s.XX, hash_slots(t));
    const PedLine* lines = t.lines.data();
    const std::size_t nlines = t.lines.size();
    if (first) {
      sparsem::sparse_hashm& A = s.AINV(e);
      for (std::size_t i = 0; i < nlines; ++i) {
        const PedLine& L = lines[i];
        if (L.m > 0.0) ++weighted;
        add_line(L, r.w, gt.data(), ng, nt, XX);
        for (int a = 0; a < L.n; ++a) {
          const double ma = L.m * r.w[L.k[a]];
          for (int b = 0; b < L.n; ++b) XX.add_other(ma * r.w[L.k[b]], L.id[a], L.id[b], A);
        }
      }
    } else {
      for (std::size_t i = 0; i < nlines; ++i) add_line(lines[i], r.w, gt.data(), ng, nt, XX);
    }
  }
  if (first) util::say(" read ", len, " additive pedigrees");

  if (len <= 0) util::fatal(util::freev("Additive pedigree file for effect ", e, " empty"));
  if (first) s.DF_RANDOM(e) = weighted;
}

void add_g_add(model::State& s, model::RandomType randomtype, int e) {
  add_g_add(s, randomtype, e, relationship_terms(s));
}

void pedigree_lines(const model::State& s, model::RandomType type, int e, GroupTerms& t) {
  build_terms(s, type, e, t);
}

}  // namespace sampler
