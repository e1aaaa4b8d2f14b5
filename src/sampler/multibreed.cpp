#include "sampler/multibreed.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "dense/denseop.hpp"
#include "dense/ginv1.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/prob.hpp"
#include "sampler/candidate_sires.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/samplefiles.hpp"
#include "sparse/sparsem.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

constexpr int ld20 = model::maxcorr;
constexpr int cells20 = ld20 * ld20;

bool additive(int e) { return m.randomtype(e) == model::RandomType::add_an_mb; }

// g(e, :, :) as a column-major 20 by 20 array.
void load_g(int e, double* G) {
  for (int j = 1; j <= ld20; ++j)
    for (int i = 1; i <= ld20; ++i) G[(i - 1) + (j - 1) * ld20] = m.g(e, i, j);
}
void store_g(int e, const double* G) {
  for (int j = 1; j <= ld20; ++j)
    for (int i = 1; i <= ld20; ++i) m.g(e, i, j) = G[(i - 1) + (j - 1) * ld20];
}

// Breed block (b1, b2) of a 20 by 20 array into x (leading dimension d).
void block_of(const double* G, int d, int b1, int b2, double* x) {
  const double* g = G + (b1 - 1) * d + (b2 - 1) * d * ld20;
  for (int j = 0; j < d; ++j)
    for (int i = 0; i < d; ++i) x[i + j * d] = g[i + j * ld20];
}

// w += c * block (b1, b2) of G.
inline void add_block(double* w, int d, const double* G, double c, int b1, int b2) {
  const double* g = G + (b1 - 1) * d + (b2 - 1) * d * ld20;
  for (int j = 0; j < d; ++j)
    for (int i = 0; i < d; ++i) w[i + j * d] += c * g[i + j * ld20];
}

// Equation of level 1, trait 0 of effect e, less ntrait.
int level_base(int e) { return address1(e, 1, 1) - 1 - m.ntrait; }

// Every term c * G(b1, b2) of the Mendelian (co)variance of line a, in the
// order the sum is formed.
template <class Emit>
void for_each_term(const model::State& s, int e, int a, const MbSlots& sl, bool candidates,
                   Emit&& emit) {
  const int nb = m.nbreed(e);
  const bool add = additive(e);
  const int self = s.PED(e, a, 1);
  auto f = [&](int x, int b) { return s.BREED(e, x, b); };
  auto preceding = [&](int id) { return id > 0 && id < self; };

  for (int b = 1; b <= nb; ++b) emit(f(a, b), b, b);
  if (add)
    for (int b = 1; b <= nb; ++b)
      for (int j = 2; j <= sl.n; ++j)
        if (preceding(sl.id[j])) emit(-(sl.w[j] * 0.25 * f(sl.id[j], b)), b, b);
  for (int b1 = 1; b1 <= nb; ++b1)
    for (int b2 = b1 + 1; b2 <= nb; ++b2)
      for (int j = 2; j <= sl.n; ++j) {
        const int p = sl.id[j];
        if (p > 0) emit(2.0 * sl.w[j] * f(p, b1) * f(p, b2), b1, b2);
      }
  if (!add || nb < 2) return;
  // Segregation terms of the grandparents, through each preceding parent.
  MbSlots ps;
  for (int j = 2; j <= sl.n; ++j) {
    const int p = sl.id[j];
    if (!preceding(p)) continue;
    mb_slots(s, e, p, candidates, ps);
    for (int b1 = 1; b1 <= nb; ++b1)
      for (int b2 = b1 + 1; b2 <= nb; ++b2)
        for (int k = 2; k <= ps.n; ++k) {
          const int g = ps.id[k];
          if (g > 0) emit(-(sl.w[j] * 0.5 * ps.w[k] * f(g, b1) * f(g, b2)), b1, b2);
        }
  }
}

// The animal's values less, for add_an_mb, half of each known parent slot's
// (weighted).
void deviation(const model::State& s, int e, int a, const MbSlots& sl, int d, double* u) {
  const int nt = m.ntrait, q = d / nt;
  for (int k = 0; k < q; ++k) {
    const int base = level_base(e + k);
    for (int t = 1; t <= nt; ++t) {
      double x = s.SOL(base + a * nt + t);
      if (additive(e))
        for (int j = 2; j <= sl.n; ++j)
          if (sl.id[j] > 0) x -= sl.w[j] * 0.5 * s.SOL(base + sl.id[j] * nt + t);
      u[k * nt + t - 1] = x;
    }
  }
}

// ---------------------------------------------------------------------------
// The kept terms of a group.

struct Term {
  double c;
  std::int16_t b1, b2;
};

struct Plan {
  // What the terms were formed from.
  bool valid = false;
  int e = 0, d = 0, nb = 0, len = 0, lines = 0;
  model::RandomType rt = model::RandomType::none;
  bool cand = false;
  std::vector<int> ped;       // PED(e, x, 1..3), 3 per line
  std::vector<double> frac;   // BREED(e, x, 1..nb), nb per line
  std::vector<int> blk_at;    // per line whose sire was undrawn: its candidate block copied at
  std::vector<double> blk;
  // Candidate models: the possible parents of each line (dam, sire,
  // candidates) and, the other way, the lines each may be a parent of.
  std::vector<int> par_at, par, kid_at, kid;
  // Distinct term lists ("classes") and the class of each animal.
  std::vector<Term> terms;
  std::vector<int> cls_first, cls_count, cls_n;
  std::unordered_multimap<std::uint64_t, int> by_hash;
  std::vector<int> class_of;  // (lines + 1)
  // Work.
  std::vector<Term> scratch;
  std::vector<int> dirty, touched;
  std::vector<char> mark;
  std::vector<double> S, Winv;  // per class, d * d
  std::vector<char> repaired;
  // The kept additions (row, column) of the last build through s.XX, and
  // their positions in s.XX_IJA.
  std::vector<std::int32_t> rc, pos;
  bool placed = false;
};

}  // namespace

struct BreedPlans {
  std::vector<Plan> plan;  // by first effect (index e-1)
};

namespace {

Plan& plan_at(const model::State& s, int e) {
  std::vector<Plan>& p = made(workspace(s).breed).plan;
  if (p.size() < static_cast<std::size_t>(m.neff)) p.resize(static_cast<std::size_t>(m.neff));
  return p[static_cast<std::size_t>(e - 1)];
}

std::uint64_t hash_terms(const Term* t, std::size_t n) {
  std::uint64_t h = 1469598103934665603ULL;
  for (std::size_t k = 0; k < n; ++k) {
    std::uint64_t bits;
    std::memcpy(&bits, &t[k].c, sizeof bits);
    const std::uint64_t x = bits ^ (static_cast<std::uint64_t>(t[k].b1) << 48) ^ (static_cast<std::uint64_t>(t[k].b2) << 32);
    h = (h ^ x) * 1099511628211ULL;
    h ^= h >> 29;
  }
  return h;
}

void line_terms(const model::State& s, const Plan& P, int a, std::vector<Term>& out) {
  MbSlots sl;
  mb_slots(s, P.e, a, P.cand, sl);
  out.clear();
  // A term of coefficient 0 adds nothing to W.
  for_each_term(s, P.e, a, sl, P.cand, [&](double c, int b1, int b2) {
    if (c != 0.0) out.push_back({c, static_cast<std::int16_t>(b1), static_cast<std::int16_t>(b2)});
  });
}

int class_of_terms(Plan& P, const std::vector<Term>& t) {
  const std::uint64_t h = hash_terms(t.data(), t.size());
  const auto range = P.by_hash.equal_range(h);
  for (auto it = range.first; it != range.second; ++it) {
    const int k = it->second;
    if (static_cast<std::size_t>(P.cls_count[static_cast<std::size_t>(k)]) != t.size()) continue;
    const Term* x = P.terms.data() + P.cls_first[static_cast<std::size_t>(k)];
    bool same = true;
    for (std::size_t i = 0; i < t.size() && same; ++i)
      same = same_bits(x[i].c, t[i].c) && x[i].b1 == t[i].b1 && x[i].b2 == t[i].b2;
    if (same) return k;
  }
  const int k = static_cast<int>(P.cls_first.size());
  P.cls_first.push_back(static_cast<int>(P.terms.size()));
  P.cls_count.push_back(static_cast<int>(t.size()));
  P.cls_n.push_back(0);
  P.terms.insert(P.terms.end(), t.begin(), t.end());
  P.by_hash.emplace(h, k);
  const std::size_t dd = static_cast<std::size_t>(P.d) * static_cast<std::size_t>(P.d);
  P.S.resize((static_cast<std::size_t>(k) + 1) * dd);
  P.Winv.resize((static_cast<std::size_t>(k) + 1) * dd);
  P.repaired.resize(static_cast<std::size_t>(k) + 1);
  return k;
}

void classify(const model::State& s, Plan& P, int a) {
  int& k = P.class_of[static_cast<std::size_t>(a)];
  if (k >= 0) --P.cls_n[static_cast<std::size_t>(k)];
  line_terms(s, P, a, P.scratch);
  k = class_of_terms(P, P.scratch);
  ++P.cls_n[static_cast<std::size_t>(k)];
}

void copy_line(const model::State& s, Plan& P, int x) {
  const std::size_t i = static_cast<std::size_t>(x - 1);
  for (int c = 0; c < 3; ++c) P.ped[3 * i + static_cast<std::size_t>(c)] = s.PED(P.e, x, c + 1);
  P.blk_at[i] = -1;
  if (P.cand && s.PED(P.e, x, 3) < 0) {
    const int p = s.P_MS(x), n = static_cast<int>(s.MS(p));
    P.blk_at[i] = static_cast<int>(P.blk.size());
    for (int k = 0; k <= 2 * n; ++k) P.blk.push_back(s.MS(p + k));
  }
}

void rebuild(const model::State& s, Plan& P, int e, int d, bool cand) {
  P.valid = true;
  P.e = e;
  P.rt = m.randomtype(e);
  P.d = d;
  P.nb = m.nbreed(e);
  P.len = std::max(m.lenped(e), 0);
  P.lines = std::max(m.lenped(e) - m.ngrp(e), 0);
  P.cand = cand;
  P.placed = false;
  const std::size_t len = static_cast<std::size_t>(P.len), nb = static_cast<std::size_t>(P.nb);
  P.ped.assign(3 * len, 0);
  P.frac.assign(nb * len, 0.0);
  P.blk_at.assign(len, -1);
  P.blk.clear();
  for (int x = 1; x <= P.len; ++x) {
    copy_line(s, P, x);
    for (int b = 1; b <= P.nb; ++b) P.frac[static_cast<std::size_t>(x - 1) * nb + static_cast<std::size_t>(b - 1)] = s.BREED(e, x, b);
  }

  P.par_at.assign(len + 2, 0);
  P.par.clear();
  P.kid_at.assign(len + 2, 0);
  P.kid.clear();
  if (cand) {
    for (int x = 1; x <= P.len; ++x) {
      P.par_at[static_cast<std::size_t>(x)] = static_cast<int>(P.par.size());
      auto put = [&](int id) {
        if (id <= 0 || id > P.len) return;
        for (std::size_t k = static_cast<std::size_t>(P.par_at[static_cast<std::size_t>(x)]); k < P.par.size(); ++k)
          if (P.par[k] == id) return;
        P.par.push_back(id);
      };
      put(s.PED(e, x, 2));
      put(s.PED(e, x, 3));
      if (const int p = s.P_MS(x); p > 0)
        for (int h = 1; h <= static_cast<int>(s.MS(p)); ++h) put(static_cast<int>(s.MS(p + 2 * h - 1)));
    }
    P.par_at[len + 1] = static_cast<int>(P.par.size());
    // Children by parent, in line order.
    std::vector<int> count(len + 2, 0);
    for (int id : P.par) ++count[static_cast<std::size_t>(id)];
    for (std::size_t x = 1; x <= len + 1; ++x) P.kid_at[x] = P.kid_at[x - 1] + count[x - 1];
    P.kid.assign(P.par.size(), 0);
    std::vector<int> next(P.kid_at.begin(), P.kid_at.end());
    for (int x = 1; x <= P.len; ++x)
      for (int k = P.par_at[static_cast<std::size_t>(x)]; k < P.par_at[static_cast<std::size_t>(x) + 1]; ++k)
        P.kid[static_cast<std::size_t>(next[static_cast<std::size_t>(P.par[static_cast<std::size_t>(k)])]++)] = x;
  }

  P.terms.clear();
  P.cls_first.clear();
  P.cls_count.clear();
  P.cls_n.clear();
  P.by_hash.clear();
  P.S.clear();
  P.Winv.clear();
  P.repaired.clear();
  P.class_of.assign(static_cast<std::size_t>(P.lines) + 1, -1);
  P.mark.assign(static_cast<std::size_t>(P.lines) + 1, 0);
  for (int a = 1; a <= P.lines; ++a) classify(s, P, a);
}

// True when the kept terms were formed from the group as it stands, except
// for sires drawn since (listed in P.dirty).
bool in_sync(const model::State& s, Plan& P, int e, int d, bool cand) {
  if (!P.valid || P.e != e || P.rt != m.randomtype(e) || P.d != d ||
      P.nb != m.nbreed(e) || P.len != std::max(m.lenped(e), 0) ||
      P.lines != std::max(m.lenped(e) - m.ngrp(e), 0) || P.cand != cand)
    return false;
  P.dirty.clear();
  const std::size_t nb = static_cast<std::size_t>(P.nb);
  for (int x = 1; x <= P.len; ++x) {
    const std::size_t i = static_cast<std::size_t>(x - 1);
    const int* q = P.ped.data() + 3 * i;
    if (s.PED(e, x, 1) != q[0] || s.PED(e, x, 2) != q[1]) return false;
    for (int b = 1; b <= P.nb; ++b)
      if (!same_bits(s.BREED(e, x, b), P.frac[i * nb + static_cast<std::size_t>(b - 1)])) return false;
    const int sire = s.PED(e, x, 3);
    if (sire != q[2]) {
      // Only a drawn sire, one of the line's own candidates, is followed.
      if (!cand || sire < 0) return false;
      if (sire > 0) {
        bool known = false;
        for (int k = P.par_at[i + 1]; k < P.par_at[i + 2] && !known; ++k)
          known = P.par[static_cast<std::size_t>(k)] == sire;
        if (!known) return false;
      }
      P.dirty.push_back(x);
    } else if (sire < 0) {
      // An undrawn sire: its candidates' probabilities enter the terms.
      const int p = s.P_MS(x), at = P.blk_at[i];
      if (at < 0) return false;
      const int n = static_cast<int>(P.blk[static_cast<std::size_t>(at)]);
      if (!same_bits(s.MS(p), P.blk[static_cast<std::size_t>(at)])) return false;
      for (int k = 1; k <= 2 * n; ++k)
        if (!same_bits(s.MS(p + k), P.blk[static_cast<std::size_t>(at + k)])) return false;
    }
  }
  return true;
}

// The kept terms of group e brought up to date.
Plan& plan_for(const model::State& s, int e, int d, bool cand) {
  Plan& P = plan_at(s, e);
  if (!in_sync(s, P, e, d, cand)) {
    rebuild(s, P, e, d, cand);
    return P;
  }
  if (P.dirty.empty()) return P;
  // A drawn sire changes the animal's terms and, through the grandparent
  // terms, those of the animals it is a parent of.
  P.touched.clear();
  auto touch = [&](int x) {
    if (x < 1 || x > P.lines || P.mark[static_cast<std::size_t>(x)]) return;
    P.mark[static_cast<std::size_t>(x)] = 1;
    P.touched.push_back(x);
  };
  for (int x : P.dirty) {
    P.ped[3 * static_cast<std::size_t>(x - 1) + 2] = s.PED(e, x, 3);
    touch(x);
    for (int k = P.kid_at[static_cast<std::size_t>(x)]; k < P.kid_at[static_cast<std::size_t>(x) + 1]; ++k)
      touch(P.kid[static_cast<std::size_t>(k)]);
  }
  for (int x : P.touched) {
    classify(s, P, x);
    P.mark[static_cast<std::size_t>(x)] = 0;
  }
  P.placed = false;
  return P;
}

// W of class k under G into w (leading dimension d), term by term.
void class_cov(const Plan& P, int k, const double* G, double* w) {
  const int d = P.d;
  std::fill(w, w + d * d, 0.0);
  const Term* t = P.terms.data() + P.cls_first[static_cast<std::size_t>(k)];
  const int n = P.cls_count[static_cast<std::size_t>(k)];
  for (int i = 0; i < n; ++i) add_block(w, d, G, t[i].c, t[i].b1, t[i].b2);
}

bool class_uses(const Plan& P, int k, int b1, int b2) {
  const Term* t = P.terms.data() + P.cls_first[static_cast<std::size_t>(k)];
  const int n = P.cls_count[static_cast<std::size_t>(k)];
  for (int i = 0; i < n; ++i)
    if (t[i].b1 == b1 && t[i].b2 == b2) return true;
  return false;
}

// Sums over each class's animals of u u', u their deviations.
void class_sums(const model::State& s, Plan& P) {
  const int d = P.d;
  const std::size_t dd = static_cast<std::size_t>(d) * static_cast<std::size_t>(d);
  std::fill(P.S.begin(), P.S.end(), 0.0);
  MbSlots sl;
  double u[denseop::max_order];
  for (int a = 1; a <= P.lines; ++a) {
    mb_slots(s, P.e, a, P.cand, sl);
    deviation(s, P.e, a, sl, d, u);
    double* S = P.S.data() + static_cast<std::size_t>(P.class_of[static_cast<std::size_t>(a)]) * dd;
    for (int j = 0; j < d; ++j)
      for (int i = 0; i < d; ++i) S[i + j * d] += u[i] * u[j];
  }
}

double class_log_ratio(model::State& s, const Plan& P, int e, int d, int b1, int b2, int nu,
                       const double* C) {
  double G[cells20];
  load_g(e, G);
  double Mn[cells20], Mo[cells20];
  double Sd = 0.0, Q = 0.0;
  const std::size_t dd = static_cast<std::size_t>(d) * static_cast<std::size_t>(d);
  const int ncls = static_cast<int>(P.cls_n.size());
  for (int k = 0; k < ncls; ++k) {
    const int n = P.cls_n[static_cast<std::size_t>(k)];
    // A class without the block has the same W under both matrices.
    if (n == 0 || !class_uses(P, k, b1, b2)) continue;
    class_cov(P, k, C, Mn);
    class_cov(P, k, G, Mo);
    int rank = 0;
    denseop::ginv1(Mn, d, d, 1e-18, rank);
    denseop::ginv1(Mo, d, d, 1e-18, rank);
    Sd += static_cast<double>(n) *
          (std::log(denseop::fdets8(Mn, d, d)) - std::log(denseop::fdets8(Mo, d, d)));
    const double* S = P.S.data() + static_cast<std::size_t>(k) * dd;
    for (std::size_t i = 0; i < dd; ++i) Q += S[i] * (Mo[i] - Mn[i]);
  }

  double Gold[cells20], W[cells20], A[cells20], B[cells20], O[cells20];
  block_of(G, d, b1, b2, Gold);
  block_of(C, d, b1, b2, W);
  const double Lold = std::log(denseop::fdets8(Gold, d, d));
  const double Lnew = std::log(denseop::fdets8(W, d, d));
  denseop::finvcs8(Gold, d, d, A, d);
  denseop::finvcs8(W, d, d, B, d);
  for (int j = 0; j < d; ++j)
    for (int i = 0; i < d; ++i) O[i + j * d] = s.ORIG_G(e, (b1 - 1) * d + i + 1, (b2 - 1) * d + j + 1);

  // Prior: trace of (nu0 - d - 1) (A - B) O; proposal: tr(B Gold) - tr(A W).
  const int nu0 = m.dbelief_g(e);
  const double fp = static_cast<double>(nu0 - d - 1);
  double Pr = 0.0, T1 = 0.0, T2 = 0.0;
  for (int i = 0; i < d; ++i) {
    double x = 0.0;
    for (int k = 0; k < d; ++k) x += (A[i + k * d] - B[i + k * d]) * O[k + i * d];
    Pr += fp * x;
  }
  for (int i = 0; i < d; ++i)
    for (int k = 0; k < d; ++k) {
      T1 += B[i + k * d] * Gold[k + i * d];
      T2 += A[i + k * d] * W[k + i * d];
    }
  const double T = T1 - T2;
  const double h1 = static_cast<double>(static_cast<float>(nu0 - 2 * nu) * 0.5f);
  const double h2 = static_cast<double>(static_cast<float>(nu - d - 1) * 0.5f);
  return 0.5 * (Sd + Q + Pr) + (Lold - Lnew) * h1 + h2 * T;
}

// ---------------------------------------------------------------------------
// Equations.

// The inverse W of every class in use (repaired first without candidates,
// noting which were).
void class_inverses(Plan& P, int e, bool repair) {
  double G[cells20], W[cells20];
  load_g(e, G);
  const int d = P.d;
  const std::size_t dd = static_cast<std::size_t>(d) * static_cast<std::size_t>(d);
  const int ncls = static_cast<int>(P.cls_n.size());
  for (int k = 0; k < ncls; ++k) {
    if (P.cls_n[static_cast<std::size_t>(k)] == 0) continue;
    class_cov(P, k, G, W);
    P.repaired[static_cast<std::size_t>(k)] = 0;
    if (repair)
      P.repaired[static_cast<std::size_t>(k)] =
          denseop::pos_def(W, d, d, std::nullopt, 1e-4).state == denseop::Repair::repaired;
    int rank = 0;
    denseop::ginv1(W, d, d, 1e-18, rank);
    std::copy(W, W + dd, P.Winv.begin() + static_cast<std::ptrdiff_t>(static_cast<std::size_t>(k) * dd));
  }
}

// Henderson's terms of every animal, each addition (value, row, column)
// handed to add in order.
template <class Add>
void henderson_terms(const model::State& s, const Plan& P, int e, Add&& add) {
  const int nt = m.ntrait, q = m.randomnumb(e), d = P.d;
  const std::size_t dd = static_cast<std::size_t>(d) * static_cast<std::size_t>(d);
  // Henderson's coefficients: the animal, then its parent slots.
  const double cpar = additive(e) ? -0.5 : 0.0;
  int base[model::maxcorr];
  for (int i = 0; i < q; ++i) base[i] = level_base(e + i);
  // Effects and traits with data, as (effect offset, trait).
  int ei[model::maxcorr], ti[model::maxcorr], na = 0;
  for (int i = 0; i < q; ++i)
    for (int t = 1; t <= nt; ++t)
      if (m.pos_eff(e + i, t) != 0) {
        ei[na] = i;
        ti[na] = t;
        ++na;
      }
  static constexpr std::string_view repaired = "winv add_g_mb";
  MbSlots sl;
  for (int an = 1; an <= P.lines; ++an) {
    const int k = P.class_of[static_cast<std::size_t>(an)];
    if (P.repaired[static_cast<std::size_t>(k)]) util::say(repaired);
    const double* W = P.Winv.data() + static_cast<std::size_t>(k) * dd;
    mb_slots(s, e, an, P.cand, sl);
    sl.id[1] = s.PED(e, an, 1);
    sl.w[1] = 1.0;
    for (int k1 = 1; k1 <= sl.n; ++k1) {
      const int l1 = sl.id[k1];
      const double c1 = k1 == 1 ? 1.0 : cpar;
      if (l1 == 0 || c1 == 0.0) continue;
      for (int k2 = 1; k2 <= sl.n; ++k2) {
        const int l2 = sl.id[k2];
        const double c2 = k2 == 1 ? 1.0 : cpar;
        if (l2 == 0 || c2 == 0.0) continue;
        const double coef = c1 * c2 * sl.w[k1] * sl.w[k2];
        for (int x1 = 0; x1 < na; ++x1) {
          const int i1 = ei[x1], t1 = ti[x1];
          const std::int32_t row = base[i1] + l1 * nt + t1;
          for (int x2 = 0; x2 < na; ++x2) {
            const int i2 = ei[x2], t2 = ti[x2];
            add(coef * W[(i1 * nt + t1 - 1) + (i2 * nt + t2 - 1) * d], row, base[i2] + l2 * nt + t2);
          }
        }
      }
    }
  }
}

void add_mb_terms(model::State& s, int e, int d, bool candidates) {
  const bool first = m.round == m.start;
  if (m.lenped(e) == 0) {
    if (first) util::say(" read ", 0, " additive pedigrees");
    util::fatal(util::freev("Additive pedigree file for effect ", e, " empty"));
  }
  Plan& P = plan_for(s, e, d, candidates);
  class_inverses(P, e, !candidates);
  // A build through XX: its additions are kept for a plan of positions.
  P.placed = false;
  P.rc.clear();
  const bool keep = !candidates;
  henderson_terms(s, P, e, [&](double v, std::int32_t r, std::int32_t c) {
    if (keep && !(sparsem::upper_storage && c < r)) {
      P.rc.push_back(r);
      P.rc.push_back(c);
    }
    sparsem::add_sparse_hashm(v, r, c, s.XX);
  });
  if (first) {
    s.DF_RANDOM(e) = P.lines;
    util::say(" read ", s.DF_RANDOM(e), " additive pedigrees");
  }
}

void sample_mb_blocks(model::State& s, int e, int d, bool candidates) {
  if (candidates) draw_mb_sires(s, e, d);
  const int nb = m.nbreed(e);
  if (m.mb_nround <= 0 || nb <= 0) return;
  Plan& P = plan_for(s, e, d, candidates);
  class_sums(s, P);
  double C[cells20], Gold[cells20], S[cells20], Sinv[cells20], Wp[cells20];
  for (int r = 1; r <= m.mb_nround; ++r) {
    load_g(e, C);
    for (int b1 = 1; b1 <= nb; ++b1)
      for (int b2 = b1; b2 <= nb; ++b2) {
        int nu = s.MB_DBELIEF(e, b1, b2);
        // An inverse-Wishart proposal centred on the current block.
        block_of(C, d, b1, b2, Gold);
        const double f = static_cast<double>(nu - d - 1);
        for (int i = 0; i < d * d; ++i) S[i] = f * Gold[i];
        denseop::finvcs8(S, d, d, Sinv, d);
        prob::gen_invwishart_multi(Sinv, d, d, nu, Wp, d);
        double* cb = C + (b1 - 1) * d + (b2 - 1) * d * ld20;
        for (int j = 0; j < d; ++j)
          for (int i = 0; i < d; ++i) cb[i + j * ld20] = Wp[i + j * d];

        const double lr = class_log_ratio(s, P, e, d, b1, b2, nu, C);
        // A ratio that is not a number rejects the proposal.
        const double alpha = lr >= 0.0 ? 1.0 : lr < 0.0 ? std::exp(lr) : 0.0;
        const double U = prob::gen_uniform_real();
        if (U < alpha) {
          if (b1 != b2) {
            double* lb = C + (b2 - 1) * d + (b1 - 1) * d * ld20;
            for (int j = 0; j < d; ++j)
              for (int i = 0; i < d; ++i) lb[i + j * ld20] = cb[i + j * ld20];
          }
          store_g(e, C);
        } else {
          load_g(e, C);
        }

        if (r != m.mb_nround) continue;
        if (model::tuning_cycle(m.round, m.nburn)) {
          const double sum = s.SUMMB_ACCEP(e, b1, b2) + alpha;
          if (m.round % m.mb_skip == 0) {
            nu = tune_dbelief(sum / m.mb_skip, nu, d + 4);
            s.MB_DBELIEF(e, b1, b2) = nu;
            s.SUMMB_ACCEP(e, b1, b2) = 0.0;
            write_breed_pair_tuning(sample_files(s), nu);
          } else {
            s.SUMMB_ACCEP(e, b1, b2) = sum;
          }
        } else if (model::kept_cycle(m.round)) {
          s.SUMMB_ACCEP(e, b1, b2) += alpha;
        }
      }
  }
}

// Minus twice the log density (less constants) of line x's Mendelian
// deviation under G, with the sires as they stand: ln |W| + u' W^-1 u.
double line_cost(const model::State& s, int e, int x, const double* G, int d) {
  MbSlots sl;
  mb_slots(s, e, x, true, sl);
  double u[denseop::max_order], W[cells20];
  deviation(s, e, x, sl, d, u);
  mb_animal_cov(s, e, x, sl, true, G, d, W);
  int rank = 0;
  denseop::ginv1(W, d, d, 1e-18, rank);
  double Q = 0.0;
  for (int i = 0; i < d; ++i)
    for (int j = 0; j < d; ++j) Q += u[i] * u[j] * W[i + j * d];
  return Q - std::log(denseop::fdets8(W, d, d));
}

// True when a stands in a parent slot of line x before x.
bool parent_before(const model::State& s, int e, int x, int a) {
  if (!(a > 0 && a < s.PED(e, x, 1))) return false;
  MbSlots sl;
  mb_slots(s, e, x, true, sl);
  for (int j = 2; j <= sl.n; ++j)
    if (sl.id[j] == a) return true;
  return false;
}

}  // namespace

void mb_slots(const model::State& s, int e, int x, bool candidates, MbSlots& sl) {
  sl.id[2] = s.PED(e, x, 2);
  sl.w[2] = 1.0;
  const int sire = s.PED(e, x, 3);
  if (!candidates || sire >= 0) {
    sl.n = 3;
    sl.id[3] = std::max(sire, 0);
    sl.w[3] = 1.0;
    return;
  }
  const int p = s.P_MS(x);
  sl.n = static_cast<int>(s.MS(p) + 2.0);
  for (int h = 1; h + 2 <= sl.n; ++h) {
    sl.id[h + 2] = static_cast<int>(s.MS(p + 2 * h - 1));
    sl.w[h + 2] = s.MS(p + 2 * h);
  }
}

void mb_animal_cov(const model::State& s, int e, int a, const MbSlots& sl, bool candidates,
                   const double* G, int d, double* w) {
  std::fill(w, w + d * d, 0.0);
  for_each_term(s, e, a, sl, candidates,
                [&](double c, int b1, int b2) { add_block(w, d, G, c, b1, b2); });
}

void mb_kept_cov(model::State& s, int e, int d, int a, const double* G, double* w) {
  const Plan& P = plan_for(s, e, d, m.max_msires != 0);
  class_cov(P, P.class_of[static_cast<std::size_t>(a)], G, w);
}

int mb_shared_animals(model::State& s, int e, int d) {
  const Plan& P = plan_for(s, e, d, m.max_msires != 0);
  int live = 0;
  for (int n : P.cls_n) live += n > 0;
  return P.lines - live;
}

void add_g_mb(model::State& s, int e, int, int d) { add_mb_terms(s, e, d, false); }
void add_g_mbs(model::State& s, int e, int, int d) { add_mb_terms(s, e, d, true); }

bool add_g_mb_direct(model::State& s, int e, double* a) {
  if (m.max_msires != 0 || m.lenped(e) <= 0) return false;
  const int d = m.ntrait * m.randomnumb(e);
  Plan& P = plan_at(s, e);
  if (!P.placed || !in_sync(s, P, e, d, false) || !P.dirty.empty()) return false;
  class_inverses(P, e, true);
  const std::int32_t* pos = P.pos.data();
  std::size_t k = 0;
  const bool upper = sparsem::upper_storage;
  henderson_terms(s, P, e, [&](double v, std::int32_t r, std::int32_t c) {
    if (upper && c < r) return;
    a[pos[k++]] += v;
  });
  return true;
}

bool plan_mb_positions(const model::State& s, int e, std::int32_t (*where)(std::int32_t, std::int32_t, const void*),
                       const void* ctx) {
  if (m.max_msires != 0) return false;
  Plan& P = plan_at(s, e);
  P.placed = false;
  if (!P.valid || P.rc.empty()) return false;
  const std::size_t n = P.rc.size() / 2;
  P.pos.resize(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::int32_t x = where(P.rc[2 * k], P.rc[2 * k + 1], ctx);
    if (x < 0) return false;
    P.pos[k] = x;
  }
  P.placed = true;
  return true;
}

double mb_log_ratio(model::State& s, int e, int d, int b1, int b2, int nu, const double* C,
                    bool candidates) {
  Plan& P = plan_for(s, e, d, candidates);
  class_sums(s, P);
  return class_log_ratio(s, P, e, d, b1, b2, nu, C);
}

void draw_mb_sires(model::State& s, int e, int d) {
  const Plan& P = plan_for(s, e, d, true);
  double G[cells20];
  load_g(e, G);
  // Only add_an_mb with two or more breeds has grandparent terms.
  const bool offspring = additive(e) && m.nbreed(e) >= 2;
  const bool kept = model::kept_cycle(m.round);
  double q[model::max_candidates];
  for (int a = 1; a <= P.lines; ++a) {
    if (s.MS_STAT(a) != 1) continue;
    if (model::samples_msires()) sample_sire_prob(s, e, a);
    s.PROBS.fill(0.0);
    const int p = s.P_MS(a), c = static_cast<int>(s.MS(p));
    for (int h = 1; h <= c; ++h) {
      s.PED(e, a, 3) = static_cast<int>(s.MS(p + 2 * h - 1));
      double x = line_cost(s, e, a, G, d);
      if (offspring)
        for (int k = P.kid_at[static_cast<std::size_t>(a)]; k < P.kid_at[static_cast<std::size_t>(a) + 1]; ++k) {
          const int kid = P.kid[static_cast<std::size_t>(k)];
          if (kid <= P.lines && parent_before(s, e, kid, a)) x += line_cost(s, e, kid, G, d);
        }
      q[h - 1] = x;
    }
    candidate_weights(s, p, c, q, 0.5);
    util::say(a, std::span<const double>(s.PROBS.data(), static_cast<std::size_t>(s.PROBS.size())));
    const int sire = draw_candidate(s, a, p, kept);
    s.PROBS.fill(1.0);
    s.PED(e, a, 3) = sire;
  }
}

void check_mb_dbelief(model::State& s) {
  for (int e = 1; e <= m.neff; ++e) {
    if (!model::multiple_breed(m.randomtype(e))) continue;
    const int d = m.ntrait * m.randomnumb(e);
    bool raised = false;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2)
        if (s.MB_DBELIEF(e, b1, b2) <= d + 1) {
          s.MB_DBELIEF(e, b1, b2) = d + 4;
          raised = true;
        }
    if (raised)
      util::say(" proposal degrees of belief of the multiple-breed blocks of effect", e,
                "at or below", d + 1, "raised to", d + 4);
  }
}

void sample_mb_g(model::State& s, int e, int d) { sample_mb_blocks(s, e, d, false); }
void sample_mbs_g(model::State& s, int e, int, int d) { sample_mb_blocks(s, e, d, true); }

}  // namespace sampler
