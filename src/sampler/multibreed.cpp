#include "sampler/multibreed.hpp"

#include <algorithm>
#include <cmath>
#include <span>

#include "dense/denseop.hpp"
#include "dense/ginv1.hpp"
#include "random/prob.hpp"
#include "run/model.hpp"
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

bool additive(int e) { return m.randomtype(e) == model::rnd_add_an_mb; }

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

// Equation of level 1, trait 0 of effect e, less ntrait.
int level_base(int e) { return address1(e, 1, 1) - 1 - m.ntrait; }

// The animal's values less, for type 9, half of each known parent slot's
// (weighted).
void deviation(const run::State& s, int e, int a, const MbSlots& sl, int d, double* u) {
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

// Sire of animal a drawn from its candidates given the animal's inverse
// (co)variance winv (leading dimension d).
void draw_sire(run::State& s, int e, int a, const double* winv, int d) {
  if (m.ms_alpha != 0) sample_sire_prob(s, e, a);
  s.PROBS.fill(0.0);
  const int nt = m.ntrait, q = d / nt;
  const int p = s.P_MS(a), c = static_cast<int>(s.MS(p)), dam = s.PED(e, a, 2);
  double qh[run::max_candidates];
  double v[denseop::max_order];
  for (int h = 1; h <= c; ++h) {
    const int sid = static_cast<int>(s.MS(p + 2 * h - 1));
    for (int k = 0; k < q; ++k) {
      const int base = level_base(e + k);
      for (int t = 1; t <= nt; ++t) {
        const double vd = dam != 0 ? s.SOL(base + dam * nt + t) : 0.0;
        const double vs = sid != 0 ? s.SOL(base + sid * nt + t) : 0.0;
        v[k * nt + t - 1] = s.SOL(base + a * nt + t) - 0.5 * (vd + vs);
      }
    }
    double Q = 0.0;
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j) Q += v[i] * v[j] * winv[i + j * d];
    qh[h - 1] = Q;
  }
  candidate_weights(s, p, c, qh, 0.5);
  util::say(a, std::span<const double>(s.PROBS.data(), static_cast<std::size_t>(s.PROBS.size())));
  const int sire = draw_candidate(s, a, p, kept_cycle(m.round));
  s.PROBS.fill(1.0);
  s.PED(e, a, 3) = sire;
}

void add_mb_terms(run::State& s, int e, int d, bool candidates) {
  const int nt = m.ntrait, q = m.randomnumb(e);
  const bool first = m.round == m.start;
  // Henderson's coefficients: the animal, then its parent slots.
  const double cpar = additive(e) ? -0.5 : 0.0;
  if (first) s.DF_RANDOM(e) = 0;
  double G[cells20], W[cells20];
  load_g(e, G);
  int base[model::maxcorr];
  for (int i = 0; i < q; ++i) base[i] = level_base(e + i);
  MbSlots sl;
  const int lines = m.lenped(e) - m.ngrp(e);
  for (int an = 1; an <= lines; ++an) {
    if (first) s.DF_RANDOM(e) += 1;
    mb_slots(s, e, an, candidates, sl);
    mb_animal_cov(s, e, an, sl, candidates, G, d, W);
    if (!candidates) (void)denseop::pos_def(W, d, d, "winv add_g_mb", 1e-4);
    int rank = 0;
    denseop::ginv1(W, d, d, 1e-18, rank);
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
        for (int i1 = 0; i1 < q; ++i1)
          for (int t1 = 1; t1 <= nt; ++t1) {
            if (m.pos_eff(e + i1, t1) == 0) continue;
            for (int i2 = 0; i2 < q; ++i2)
              for (int t2 = 1; t2 <= nt; ++t2) {
                if (m.pos_eff(e + i2, t2) == 0) continue;
                const double v = coef * W[(i1 * nt + t1 - 1) + (i2 * nt + t2 - 1) * d];
                sparsem::add_sparse_hashm(v, base[i1] + l1 * nt + t1, base[i2] + l2 * nt + t2,
                                          s.XX);
              }
          }
      }
    }
  }
  if (first) util::say(" read ", s.DF_RANDOM(e), " additive pedigrees");
  if (m.lenped(e) == 0) util::fatal(util::freev("Additive pedigree file for effect ", e, " empty"));
}

void sample_mb_blocks(run::State& s, int e, int d, bool candidates) {
  const int nb = m.nbreed(e);
  if (m.mb_nround <= 0 || nb <= 0) return;
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

        const bool draw = candidates && r == 1 && b1 == 1 && b2 == 1;
        const double lr = mb_log_ratio(s, e, d, b1, b2, nu, C, candidates, draw);
        const double alpha = lr >= 0.0 ? 1.0 : std::exp(lr);
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
        if (tuning_cycle(m.round, m.nburn)) {
          const double sum = s.SUMMB_ACCEP(e, b1, b2) + alpha;
          if (m.round % m.mb_skip == 0) {
            nu = tune_dbelief(sum / m.mb_skip, nu, d + 4);
            s.MB_DBELIEF(e, b1, b2) = nu;
            s.SUMMB_ACCEP(e, b1, b2) = 0.0;
            sample_files.mh_dbeliefchg.free(nu);
          } else {
            s.SUMMB_ACCEP(e, b1, b2) = sum;
          }
        } else if (kept_cycle(m.round)) {
          s.SUMMB_ACCEP(e, b1, b2) += alpha;
        }
      }
  }
}

}  // namespace

void mb_slots(const run::State& s, int e, int x, bool candidates, MbSlots& sl) {
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

void mb_animal_cov(const run::State& s, int e, int a, const MbSlots& sl, bool candidates,
                   const double* G, int d, double* w) {
  const int nb = m.nbreed(e);
  const bool add = additive(e);
  const int self = s.PED(e, a, 1);
  auto f = [&](int x, int b) { return s.BREED(e, x, b); };
  auto add_block = [&](double c, int b1, int b2) {
    const double* g = G + (b1 - 1) * d + (b2 - 1) * d * ld20;
    for (int j = 0; j < d; ++j)
      for (int i = 0; i < d; ++i) w[i + j * d] += c * g[i + j * ld20];
  };
  auto preceding = [&](int id) { return id > 0 && id < self; };
  std::fill(w, w + d * d, 0.0);

  for (int b = 1; b <= nb; ++b) add_block(f(a, b), b, b);
  if (add)
    for (int b = 1; b <= nb; ++b)
      for (int j = 2; j <= sl.n; ++j)
        if (preceding(sl.id[j])) add_block(-(sl.w[j] * 0.25 * f(sl.id[j], b)), b, b);
  for (int b1 = 1; b1 <= nb; ++b1)
    for (int b2 = b1 + 1; b2 <= nb; ++b2)
      for (int j = 2; j <= sl.n; ++j) {
        const int p = sl.id[j];
        if (p > 0) add_block(2.0 * sl.w[j] * f(p, b1) * f(p, b2), b1, b2);
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
          if (g > 0) add_block(-(sl.w[j] * 0.5 * ps.w[k] * f(g, b1) * f(g, b2)), b1, b2);
        }
  }
}

void add_g_mb(run::State& s, int e, int, int d) { add_mb_terms(s, e, d, false); }
void add_g_mbs(run::State& s, int e, int, int d) { add_mb_terms(s, e, d, true); }

double mb_log_ratio(run::State& s, int e, int d, int b1, int b2, int nu, const double* C,
                    bool candidates, bool draw_sires) {
  double G[cells20];
  load_g(e, G);
  double Mn[cells20], Mo[cells20], u[denseop::max_order];
  double Snew = 0.0, Sold = 0.0, Q = 0.0;
  MbSlots sl;
  const int lines = m.lenped(e) - m.ngrp(e);
  for (int a = 1; a <= lines; ++a) {
    if (candidates) s.PROBS.fill(1.0);
    mb_slots(s, e, a, candidates, sl);
    // The type-10 likelihood weighs every slot 1.
    if (!additive(e))
      for (int j = 2; j <= sl.n; ++j) sl.w[j] = 1.0;
    deviation(s, e, a, sl, d, u);
    mb_animal_cov(s, e, a, sl, candidates, C, d, Mn);
    mb_animal_cov(s, e, a, sl, candidates, G, d, Mo);
    int rank = 0;
    denseop::ginv1(Mn, d, d, 1e-18, rank);
    denseop::ginv1(Mo, d, d, 1e-18, rank);
    Snew += std::log(denseop::fdets8(Mn, d, d));
    Sold += std::log(denseop::fdets8(Mo, d, d));
    for (int i = 0; i < d; ++i)
      for (int j = 0; j < d; ++j) Q += u[i] * u[j] * (Mo[i + j * d] - Mn[i + j * d]);
    if (draw_sires && s.MS_STAT(a) == 1) draw_sire(s, e, a, Mn, d);
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
  double P = 0.0, T1 = 0.0, T2 = 0.0;
  for (int i = 0; i < d; ++i) {
    double x = 0.0;
    for (int k = 0; k < d; ++k) x += (A[i + k * d] - B[i + k * d]) * O[k + i * d];
    P += fp * x;
  }
  for (int i = 0; i < d; ++i)
    for (int k = 0; k < d; ++k) {
      T1 += B[i + k * d] * Gold[k + i * d];
      T2 += A[i + k * d] * W[k + i * d];
    }
  const double T = T1 - T2;
  const double h1 = static_cast<double>(static_cast<float>(nu0 - 2 * nu) * 0.5f);
  const double h2 = static_cast<double>(static_cast<float>(nu - d - 1) * 0.5f);
  return 0.5 * (Snew - Sold + Q + P) + (Lold - Lnew) * h1 + h2 * T;
}

void check_mb_dbelief(run::State& s) {
  for (int e = 1; e <= m.neff; ++e) {
    const int rt = m.randomtype(e);
    if (rt != model::rnd_add_an_mb && rt != model::rnd_diag_mb) continue;
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

void sample_mb_g(run::State& s, int e, int d) { sample_mb_blocks(s, e, d, false); }
void sample_mbs_g(run::State& s, int e, int, int d) { sample_mb_blocks(s, e, d, true); }

}  // namespace sampler
