#include "sampler/candidate_sires.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sampler/samplefiles.hpp"
#include "sparse/sparsem.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

// Equation of level 1, trait 0 of effect e, less ntrait: level l, trait t of
// e is at base + l * ntrait + t.
int level_base(int e) { return address1(e, 1, 1) - 1 - m.ntrait; }

// The pedigree lines of the animals with equations.
int lines_of(int e) { return std::max(m.nlev(e) - m.ngrp(e), 0); }

}  // namespace

void reset_weights(model::State& s, int n) {
  for (int k = 3; k <= n + 2; ++k) s.PROBS(k) = 1.0;
}

void candidate_weights(model::State& s, int p, int n, const double* q, double h) {
  double T = 0.0;
  for (int k = 1; k <= n; ++k) {
    s.PROBS(k + 2) = std::exp(-h * q[k - 1]) * s.MS(p + 2 * k);
    T += s.PROBS(k + 2);
  }
  if (!(T > 0.0) || !std::isfinite(T)) {
    // Every weight underflowed (or one overflowed): the same ratios taken
    // relative to the smallest quadratic form.
    double qmin = q[0];
    for (int k = 2; k <= n; ++k) qmin = std::min(qmin, q[k - 1]);
    T = 0.0;
    for (int k = 1; k <= n; ++k) {
      s.PROBS(k + 2) = std::exp(-h * (q[k - 1] - qmin)) * s.MS(p + 2 * k);
      T += s.PROBS(k + 2);
    }
  }
  if (T > 0.0 && std::isfinite(T))
    for (int k = 1; k <= n; ++k) s.PROBS(k + 2) = s.PROBS(k + 2) / T;
}

int draw_candidate(model::State& s, int an, int p, bool kept) {
  const int n = static_cast<int>(s.MS(p));
  int last = 0;
  for (int k = 1; k <= n; ++k)
    if (static_cast<int>(s.MS(p + 2 * k - 1)) != 0) last = k;
  if (last == 0)
    util::fatal(util::freev("animal", an,
                            "has no candidate sire other than 0: no sire can be drawn for it"));
  const double u = prob::gen_uniform_real();
  double C = 0.0;
  int k = 0, sire = 0;
  do {
    // Rounding may leave the sum short of u: the last sire takes the rest.
    do {
      ++k;
      C += s.PROBS(k + 2);
    } while (!(C >= u) && k < last);
    sire = static_cast<int>(s.MS(p + 2 * k - 1));
    if (kept) s.SUMMS(p + 2 * k - 1) += 1.0;
  } while (sire == 0);
  return sire;
}

void sample_sire_prob(model::State& s, int e, int an) {
  const int p = s.P_MS(an);
  const int n = static_cast<int>(s.MS(p));
  if (n < 1) return;
  // No sire is current before the chain has drawn one.
  const bool all = m.round <= 2;
  const int current = s.PED(e, an, 3);
  float x[model::max_candidates];
  double S = 0.0;
  for (int k = 1; k <= n; ++k) {
    float a = static_cast<float>(s.MS_ALPHAS(p + 2 * k));
    if (all || static_cast<int>(s.MS(p + 2 * k - 1)) == current) a = a + 1.0f;
    x[k - 1] = rangen::sgamma(a);
    S += static_cast<double>(x[k - 1]);
  }
  // All deviates 0 (tiny shapes) leave the probabilities as they were.
  if (S > 0.0)
    for (int k = 1; k <= n; ++k) s.MS(p + 2 * k) = static_cast<double>(x[k - 1]) / S;
  if (!model::kept_cycle(m.round)) return;
  for (int k = 1; k <= n; ++k) {
    const double pr = s.MS(p + 2 * k);
    s.SUMMS(p + 2 * k) += pr;
    s.SSMS(p + 2 * k) += pr * pr;
    if (p == 1) write_sire_probability(s, an, static_cast<int>(s.MS(p + 2 * k - 1)), pr);
  }
}

void update_ainv(model::State& s, int e, int maxc) {
  const int q = m.randomnumb(e), nt = m.ntrait;
  const bool first = m.round == m.start;
  // A^-1 is built whole in the first cycle of a run, and in the chain's
  // second, after the first cycle's probability-weighted terms.
  const bool full = first || m.round <= 2;
  const bool kept = model::kept_cycle(m.round);
  // Henderson's coefficients: the animal, then its dam and sires at -1/2.
  double c[model::max_candidates + 3];
  const int nc = std::min(maxc, model::max_candidates) + 2;
  c[1] = 1.0;
  for (int i = 2; i <= nc; ++i) c[i] = -0.5;
  sparsem::sparse_hashm& A = s.AINV(e);
  if (full) sparsem::zero_sparse_hashm(A, m.nlev(e));
  if (first) s.DF_RANDOM(e) = 0;

  int base[model::maxcorr];
  for (int i = 0; i < q; ++i) base[i] = level_base(e + i);
  auto sol = [&](int i, int l, int t) { return s.SOL(base[i] + l * nt + t); };

  double qk[model::max_candidates];
  int ids[model::max_candidates + 3];
  bool changed = false;
  // A drawn sire's change to A^-1, with the slots it touched.
  GroupTerms& t = group_terms(relationship_terms(s), e);
  t.changed_slots.clear();
  t.added_slots.clear();
  t.keys_added = false;
  const void* table = A.x.data();
  const std::int32_t slots = A.nel;
  // The addition of v at (r, c2), as add_sparse_hashm makes it, through the
  // slot where the same key was last found while it holds it.
  auto note = [&](double v, int r, int c2, std::int32_t& memo) {
    if (sparsem::upper_storage && c2 < r) return;
    if (sparsem::add_sparse_hashm_at(v, r, c2, memo, A)) {
      t.changed_slots.push_back(memo);
      return;
    }
    const std::int32_t filled = A.filled;
    const std::int32_t slot = sparsem::add_sparse_hashm_slot(v, r, c2, A);
    memo = slot;
    if (slot <= 0) return;
    const bool moved = A.x.data() != table || A.nel != slots;
    if (moved || A.filled > filled) {
      t.keys_added = true;
      if (!moved) t.added_slots.push_back(slot);
    } else {
      t.changed_slots.push_back(slot);
    }
  };
  const int lines = lines_of(e);
  if (t.line_slots.size() != static_cast<std::size_t>(lines + 1))
    t.line_slots.assign(static_cast<std::size_t>(lines + 1), {0, 0, 0});
  if (t.sire_slots.size() != static_cast<std::size_t>(s.MS.size()) + 1)
    t.sire_slots.assign(static_cast<std::size_t>(s.MS.size()) + 1, {0, 0, 0});
  // Sires are drawn from the chain's second cycle on; a continued run
  // draws in its first cycle too, from the sires of its store.
  const bool draws = m.round > 1;
  // PROBS is 1.0 at each line's start: every change below is undone.
  s.PROBS.fill(1.0);
  for (int an = 1; an <= lines; ++an) {
    if (first) s.DF_RANDOM(e) += 1;
    // Outside a whole build only a line whose sire is drawn has work.
    const bool draw = draws && s.MS_STAT(an) == 1;
    if (!full && !draw) continue;
    int old = s.PED(e, an, 3), sampled = 0;
    bool drawn = false;
    if (draw) {
      if (model::samples_msires()) sample_sire_prob(s, e, an);
      // candidate_weights sets each candidate's weight; the rest of PROBS stays 1.0 unread.
      const int p = s.P_MS(an), n = static_cast<int>(s.MS(p)), d = s.PED(e, an, 2);
      const double h = static_cast<double>(0.5f * s.DINV(an));
      for (int k = 1; k <= n; ++k) {
        const int sid = static_cast<int>(s.MS(p + 2 * k - 1));
        double delta[model::maxcorr];
        for (int i = 0; i < q; ++i)
          for (int t = 1; t <= nt; ++t) {
            const double vs = sid != 0 ? sol(i, sid, t) : 0.0;
            const double vd = d != 0 ? sol(i, d, t) : 0.0;
            delta[i * nt + t - 1] = sol(i, an, t) - 0.5 * (vs + vd);
          }
        double Q = 0.0;
        for (int i1 = 0; i1 < q; ++i1)
          for (int i2 = 0; i2 < q; ++i2)
            for (int t1 = 1; t1 <= nt; ++t1)
              for (int t2 = 1; t2 <= nt; ++t2)
                Q += m.ginv(e, i1 * nt + t1, i2 * nt + t2) * delta[i1 * nt + t1 - 1] *
                     delta[i2 * nt + t2 - 1];
        qk[k - 1] = Q;
      }
      candidate_weights(s, p, n, qk, h);
      sampled = draw_candidate(s, an, p, kept);
      reset_weights(s, n);
      s.PED(e, an, 3) = sampled;
      drawn = true;
    }

    const double dinv = static_cast<double>(s.DINV(an));
    if (full) {
      int ncoef = 3;
      ids[1] = s.PED(e, an, 1);
      ids[2] = s.PED(e, an, 2);
      if (s.PED(e, an, 3) >= 0) {
        ids[3] = s.PED(e, an, 3);
      } else {
        // Sire still unknown: the probability-weighted average of the
        // candidates stands in for it.
        const int p = s.P_MS(an);
        ncoef = static_cast<int>(s.MS(p)) + 2;
        for (int k = 1; k + 2 <= ncoef; ++k) {
          ids[k + 2] = static_cast<int>(s.MS(p + 2 * k - 1));
          s.PROBS(k + 2) = s.MS(p + 2 * k);
        }
      }
      for (int i = 1; i <= ncoef; ++i)
        for (int j = 1; j <= ncoef; ++j)
          if (ids[i] != 0 && ids[j] != 0)
            sparsem::add_sparse_hashm(c[i] * c[j] * dinv * s.PROBS(i) * s.PROBS(j), ids[i], ids[j], A);
      if (s.PED(e, an, 3) < 0) reset_weights(s, ncoef - 2);
    } else if (drawn && old != sampled) {
      changed = true;
      // The slots of the pairs (k1, k2) of the line's ids: those of the
      // animal and its dam are the line's own, those with the sire the
      // candidate's.
      const int p = s.P_MS(an), n = static_cast<int>(s.MS(p));
      std::array<std::int32_t, 3>& own = t.line_slots[static_cast<std::size_t>(an)];
      auto update = [&](int sire, double sign) {
        std::array<std::int32_t, 3> none = {0, 0, 0};  // a sire not among the candidates
        std::array<std::int32_t, 3>* with = &none;
        for (int k = 1; k <= n; ++k)
          if (static_cast<int>(s.MS(p + 2 * k - 1)) == sire)
            with = &t.sire_slots[static_cast<std::size_t>(p + 2 * k - 1)];
        const int id[4] = {0, s.PED(e, an, 1), s.PED(e, an, 2), sire};
        for (int k1 = 1; k1 <= 3; ++k1)
          for (int k2 = 1; k2 <= 3; ++k2) {
            if (id[k1] == 0 || id[k2] == 0) continue;
            std::int32_t& memo = k1 == 3 || k2 == 3
                                     ? (*with)[static_cast<std::size_t>(std::min(k1, k2) - 1)]
                                     : own[static_cast<std::size_t>(k1 + k2 - 2)];
            const double v = dinv * c[k1] * c[k2];
            note(sign < 0 ? -v : v, id[k1], id[k2], memo);
          }
      };
      update(old, -1.0);
      update(sampled, 1.0);
    }
  }

  if (full || changed) ++t.ainv_version;
  t.built = full;
  if (full) {
    t.rebuilt = true;
    t.positions = false;
  }
  // The copy is made when an addition through s.XX needs it; a copy of the
  // same table would be the same copy.
  if (full || (m.max_msires > 1 && changed)) t.ija_stale = true;
}

void finish_aav(model::State& s, int e) {
  if (m.round == m.start) util::say(" read ", s.DF_RANDOM(e), " additive pedigrees");
  if (m.lenped(e) == 0) util::fatal(util::freev("Additive pedigree file for effect ", e, " empty"));
}

void add_g_aav(model::State& s, int e, int maxc) {
  update_ainv(s, e, maxc);
  add_ainv_terms(s, e, relationship_terms(s));
  finish_aav(s, e);
}

void check_candidate_model() {
  // (The parameter reader allows one add_an_ms group at most.)
  for (int f = 1; f <= m.neff; ++f) {
    if (m.randomtype(f) != model::RandomType::add_an_ms) continue;
    const int len = m.lenped(f), need = m.nlev(f) - m.ngrp(f);
    if (len < need)
      util::fatal(util::freev("the pedigree of the add_an_ms group of effect", f, "holds", len,
                              "lines, fewer than its", need, "animals (levels less parent groups): animal",
                              len + 1, "has no line"));
    if (m.effecttype(f) == model::EffectType::ram && m.pos_eff(f, 1) == 0)
      util::fatal(util::freev("the \"ram\" effect", f,
                              "has no data column for trait 1, where its animals are read"));
  }
  for (int e = 1; e <= m.neff; ++e) {
    if (m.effecttype(e) != model::EffectType::ram) continue;
    int owner = 0;
    for (int f = 1; f <= e; ++f)
      if (m.randomtype(f) == model::RandomType::add_an_ms &&
          m.effecttype(f) == model::EffectType::ram && e < f + std::max(m.randomnumb(f), 1))
        owner = f;
    if (owner == 0)
      util::fatal(util::freev("the \"ram\" effect", e,
                              "is not in an add_an_ms group whose first effect is a \"ram\" effect"));
    if (m.nlev(e) != m.nlev(owner))
      util::fatal(util::freev("the \"ram\" effect", e, "has", m.nlev(e), "levels, not the",
                              m.nlev(owner), "of effect", owner, "whose group it belongs to"));
  }
}

}  // namespace sampler
