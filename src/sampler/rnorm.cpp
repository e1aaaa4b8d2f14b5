#include "sampler/rnorm.hpp"

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/prob.hpp"
#include "sampler/block_pass.hpp"
#include "sampler/covariable_spread.hpp"
#include "sampler/gibbs.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/record_terms.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/samplefiles.hpp"
#include "sampler/setup_eq.hpp"
#include "sparse/sparsem.hpp"
#include "util/clock.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;


// The observations of the record in the cursor less the terms of the
// effects the pass does not sample.  Reaction norms stay in both passes:
// pass 1 carries them in the covariable's multiplier 1 + b, pass 2 in their
// own multiplier h.  Pass 2 removes a covariable alone, without its
// multiplier, for the same reason.
void correct_observations(model::State& s, int pass) {
  const RecordCursor& c = workspace(s).cursor;
  for (int t = 1; t <= m.ntrait; ++t) {
    const int* addr = s.ADDRESS.col(t);
    const float* wc = s.WEIGHT_COV.col(t);
    const int* own = c.SLOT_EFF.col(t);
    float y = s.Y(t);
    for (int j = 0; j < c.naddr_t(t); ++j) {
      const int ef = own[j];
      if (ef < 0) continue;  // missing code: no term
      const model::EffectType et = m.effecttype(ef);
      if (et == model::EffectType::rno) continue;
      if (et == model::EffectType::unk) {
        if (pass == 2) y = static_cast<float>(static_cast<double>(y) - s.SOL(addr[j]));
      } else if (pass == 1) {
        y = static_cast<float>(static_cast<double>(y) - static_cast<double>(wc[j]) * s.SOL(addr[j]));
      }
    }
    s.Y(t) = y;
  }
}

// The record's terms among the slots of the pass's effects, as the ordinary
// build adds them (weight as a precision, 32-bit multiplier products).
void add_pass_terms(model::State& s, int pass) {
  const RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait;
  const double w = s.rec_weight;
  double ry[max_traits];
  for (int t1 = 1; t1 <= nt; ++t1) {
    double sum = 0.0;
    for (int t2 = 1; t2 <= nt; ++t2) sum += m.rinv(t1, t2) * static_cast<double>(s.Y(t2));
    ry[t1 - 1] = sum;
  }
  auto in_pass = [&](int j, int t) {
    const int ef = c.SLOT_EFF(j, t);
    return ef > 0 && pass_of(ef) == pass;
  };
  const int nmax = c.nslot_max;
  for (int i = 1; i <= nmax; ++i)
    for (int j = 1; j <= nmax; ++j)
      for (int t1 = 1; t1 <= nt; ++t1) {
        if (i > c.naddr_t(t1) || !in_pass(i, t1)) continue;
        const float x1 = s.WEIGHT_COV(i, t1);
        for (int t2 = 1; t2 <= nt; ++t2) {
          if (j > c.naddr_t(t2) || !in_pass(j, t2)) continue;
          sparsem::add_sparse_hashm(multiplier_product(x1, s.WEIGHT_COV(j, t2)) * w * m.rinv(t1, t2), s.ADDRESS(i, t1),
                                    s.ADDRESS(j, t2), s.XX);
        }
      }
  for (int i = 1; i <= nmax; ++i)
    for (int t1 = 1; t1 <= nt; ++t1) {
      if (i > c.naddr_t(t1) || !in_pass(i, t1)) continue;
      s.XY(s.ADDRESS(i, t1)) += static_cast<double>(s.WEIGHT_COV(i, t1)) * w * ry[t1 - 1];
    }
}

void print_system(const model::State& s) {
  util::say("left hand side");
  sparsem::print_sparse_hashm(s.XX);
  util::say_text(util::format(
      "(' right hand side:',(/10f8.2))",
      util::FmtArgs().add(std::span<const double>(s.XY.data(), static_cast<std::size_t>(s.neq)))));
}

}  // namespace

// Per-call work of the covariate step, kept so that cycles reuse it.
struct CovariateWork {
  std::vector<double> h_old, ss, n;
};

bool reaction_norm_model() {
  for (int e = 1; e <= m.neff; ++e)
    if (m.effecttype(e) == model::EffectType::rno) return true;
  return false;
}

int pass_of(int e) { return m.effecttype(e) == model::EffectType::unk ? 1 : 2; }

int structural_rnorm_of(int u) {
  for (int k = 1; k <= m.neffr; ++k) {
    const int ef = m.pos_effr(k);
    if (m.effecttype(ef) == model::EffectType::rno && m.pos_eff(ef, 1) == m.pos_eff(u, 1))
      return ef;
  }
  return 0;
}

void check_rnorm_model() {
  if (!reaction_norm_model()) return;
  const int nf = m.neff;
  for (int e = 1; e <= nf; ++e) {
    if (m.effecttype(e) != model::EffectType::rno) continue;
    for (int t = 1; t <= m.ntrait; ++t) {
      if (m.pos_eff(e, t) == m.miss) continue;
      if (m.nestedcov(e, t) <= 0)
        util::fatal(util::freev("reaction-norm effect", e, "has no level column for trait", t));
      bool found = false;
      for (int k = 1; k <= nf && !found; ++k)
        found = m.effecttype(k) == model::EffectType::unk && m.pos_eff(k, t) == m.pos_eff(e, t);
      if (!found)
        util::fatal(util::freev("reaction-norm effect", e, "trait", t,
                                ": no unknown covariable reads its column", m.pos_eff(e, t)));
    }
  }
  for (int e = 1; e <= nf; ++e) {
    const int n = m.randomnumb(e);
    for (int k = e + 1; k < e + n && k <= nf; ++k)
      if (pass_of(k) != pass_of(e))
        util::fatal(util::freev("random group of effect", e, ": effect", k,
                                "is sampled in the other pass of the reaction-norm model;",
                                "unknown covariables and other effects cannot share a group"));
  }
  for (int u = 1; u <= nf; ++u) {
    if (m.effecttype(u) != model::EffectType::unk || structural_rnorm_of(u) == 0) continue;
    if (m.randomnumb(u) < 1 || m.randomtype(u) == model::RandomType::none)
      util::fatal(util::freev("unknown covariable", u,
                              "with a structural reaction norm must be the first effect of a",
                              "random group: its prior variance is the group's"));
  }
}

void build_pass(model::State& s, int pass) {
  const bool first = m.round == m.start;
  if (first && pass == 1) prepare_records(s);
  for (int irec = 1; irec <= m.nrec; ++irec) {
    s.irec = irec;
    if (first && pass == 1) read_data_record(s);
    decode_record(s);
    find_addresses(s);
    decode_r(s);
    predict_missing_y(s);
    correct_observations(s, pass);
    add_pass_terms(s, pass);
  }
  s.irec = m.nrec + 1;
  if (first && pass == 1) {
    warn_far_covariables(s);
    s.cpu_now = util::cpu_seconds();
    util::say("read ", m.nrec, " records in ", s.cpu_now - s.cpu_start, " s,  ", s.XX.filled,
              " nonzeroes");
  }
  add_random_terms(s, [pass](int e) { return pass_of(e) == pass; });
  if (first) {
    s.cpu_now = util::cpu_seconds();
    util::say("finished peds in ", s.cpu_now - s.cpu_start, " s,  ", s.XX.filled, " nonzeroes");
    if (s.neq <= 20) print_system(s);
  }
}

void draw_effect_blocks(model::State& s, int e) {
  const int nt = m.ntrait;
  for (int l = 1; l <= m.nlev(e); ++l) {
    if (!draw_block(s.XX_IJA, s.XY, s.SOL, address1(e, l, 1), nt))
      util::fatal(" The draw of effect " + std::to_string(e) + " level " + std::to_string(l) +
                  " in cycle " + std::to_string(m.round) +
                  " is not a number: the equations of this block are not usable");
  }
}

void draw_pass(model::State& s, int pass) {
  for (int e = 1; e <= m.neff; ++e) {
    if (pass_of(e) != pass) continue;
    const int r = pass == 1 ? structural_rnorm_of(e) : 0;
    if (r > 0)
      sample_h_rnorm(s, e, r);
    else
      draw_effect_blocks(s, e);
  }
}

double h_log_ratio(double h0, double h1, double ss, double n, double ln_s, double g) {
  return 0.5 * (ss + (h0 * h0 - h1 * h1) / g + ln_s * n * (h0 - h1));
}

void sample_h_rnorm(model::State& s, int u, int r) {
  // r sent u here; every structural reaction norm on u's column scales the
  // records alike (decode_r applies them all), so all of them enter.
  (void)r;
  const RecordCursor& c = workspace(s).cursor;
  const int nl = m.nlev(u);
  const int first = address1(u, 1, 1), last = address1(u, nl, m.ntrait);
  const double g = m.g(u, 1, 1);
  // Every structural reaction norm on u's column scales a record by its
  // factor to the power h, the record's covariate.
  double ln_s = 0;
  for (int k = 1; k <= m.neffr; ++k) {
    const int ef = m.pos_effr(k);
    if (m.effecttype(ef) == model::EffectType::rno && c.unk_of_rno(ef) == u)
      ln_s += std::log(s.R_SOL(address1(ef, 1, 1)));
  }
  CovariateWork& w = made(workspace(s).covariate);
  w.h_old.assign(static_cast<std::size_t>(nl), 0.0);
  w.ss.assign(static_cast<std::size_t>(nl), 0.0);
  w.n.assign(static_cast<std::size_t>(nl), 0.0);

  for (int iter = 1; iter <= m.r_nround; ++iter) {
    // Every level is proposed before any record is read.
    for (int j = 1; j <= nl; ++j) {
      const int l = address1(u, j, 1);
      w.h_old[static_cast<std::size_t>(j - 1)] = s.SOL(l);
      s.SOL(l) = prob::gen_normal_scalar(s.SOL(l), s.H_VARPROP(u));
    }
    std::fill(w.ss.begin(), w.ss.end(), 0.0);
    std::fill(w.n.begin(), w.n.end(), 0.0);
    for (int irec = 1; irec <= m.nrec; ++irec) {
      s.irec = irec;
      decode_record(s);
      find_addresses(s);
      decode_r(s);
      predict_missing_y(s);
      const int su = c.EFF_SLOT(u, 1);
      if (su == 0 || c.SLOT_EFF(su, 1) < 0) continue;  // no covariate for this record
      const int l = s.ADDRESS(su, 1);
      const int j = (l - first) / m.ntrait + 1;
      // The record less every term but the covariate's h (1 + b); other
      // covariables enter with their own multipliers.
      float y = s.Y(1);
      for (int q = 1; q <= c.naddr_t(1); ++q) {
        const int ef = c.SLOT_EFF(q, 1);
        if (ef < 0 || ef == u || m.effecttype(ef) == model::EffectType::rno) continue;
        y = static_cast<float>(static_cast<double>(y) -
                               static_cast<double>(s.WEIGHT_COV(q, 1)) * s.SOL(s.ADDRESS(q, 1)));
      }
      const double cu = static_cast<double>(s.WEIGHT_COV(su, 1));
      const double h0 = w.h_old[static_cast<std::size_t>(j - 1)], h1 = s.SOL(l);
      // decode_r scaled the record at the proposal: its variance is
      // res_scale r / w, the other structural factors and the robustness
      // weight included.
      const double v1 = 1.0 / (m.rinv(1, 1) * s.rec_weight);
      const double v0 = v1 * std::exp(ln_s * (h0 - h1));
      const double e0 = static_cast<double>(y) - cu * h0, e1 = static_cast<double>(y) - cu * h1;
      w.ss[static_cast<std::size_t>(j - 1)] += e0 * e0 / v0 - e1 * e1 / v1;
      w.n[static_cast<std::size_t>(j - 1)] += 1;
    }
    s.irec = m.nrec + 1;
    for (int j = 1; j <= nl; ++j) {
      const int l = address1(u, j, 1);
      const auto k = static_cast<std::size_t>(j - 1);
      const double h0 = w.h_old[k], h1 = s.SOL(l);
      const double L = h_log_ratio(h0, h1, w.ss[k], w.n[k], ln_s, g);
      double P = 1.0;
      if (L < 0) {
        P = std::exp(L);
        if (prob::gen_uniform_real() > P) s.SOL(l) = h0;
      }
      s.SUMH_ACCEP(l) += P;
    }
  }

  if (model::tuning_cycle(m.round, m.nburn) && m.round % m.r_skip == 0) {
    double sum = 0;
    for (int l = first; l <= last; ++l) sum += s.SUMH_ACCEP(l);
    const double rate = sum / nl / m.r_skip / m.r_nround;
    s.H_VARPROP(u) = tune_varprop(rate, s.H_VARPROP(u));
    for (int l = first; l <= last; ++l) s.SUMH_ACCEP(l) = 0;
    write_covariate_tuning(sample_files(s), u, s.H_VARPROP(u), rate);
  }

  if (m.round == m.nround) {
    // The sums stay as they are: the last store keeps them for a chain
    // that goes on.
    double total = 0;
    const double held = model::acceptance_held(model::covariate_tuning(), m.round);
    for (int l = first; l <= last; ++l) total += model::acceptance_rate(s.SUMH_ACCEP(l), held);
    util::say(" MH global acceptance rate for unknown covariate: ", u, " = ", total / nl);
    util::say(" level        acceptance ");
    for (int l = first; l <= last; ++l)
      util::say(l - first + 1, model::acceptance_rate(s.SUMH_ACCEP(l), held));
  }
}

bool covariates_by_mh(int u) {
  return m.effecttype(u) == model::EffectType::unk && structural_rnorm_of(u) != 0;
}

}  // namespace sampler
