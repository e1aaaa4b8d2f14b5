// Mendelian sampling of the animals without equations of a reduced animal
// model: the pedigree lines nlev+1..lenped of the "add_an_ms" group.  Each
// such animal's value is its parents' average plus a Mendelian term drawn
// here from its one record, all traits and effects of the group together;
// the record's residual and the terms complete the statistics of R and G,
// and an uncertain sire is redrawn from the record's likelihood under each
// candidate, the term integrated out.
#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "dense/kernels.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/normal_block.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/candidate_sires.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/model_choice.hpp"
#include "sampler/records.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

constexpr int L = model::maxcorr;

// Every animal without an equation must have exactly one record (its
// Mendelian term is drawn from it; further records of the animal would share
// that term, which the record-by-record equations cannot hold), and these
// records must come in ascending order of animal: the record search walks
// the data once.
void check_nonparent_records(const model::State& s, int e) {
  const int nl = m.nlev(e), len = m.lenped(e), col = m.pos_eff(e, 1);
  const std::size_t n = static_cast<std::size_t>(len > nl ? len - nl : 0) + 1;
  std::vector<int> count(n, 0);
  for (int i = 1; i <= m.nrec; ++i) {
    const int a = static_cast<int>(s.INDATA(i, col));
    if (a > nl && a <= len) ++count[static_cast<std::size_t>(a - nl)];
  }
  for (int a = nl + 1; a <= len; ++a)
    if (count[static_cast<std::size_t>(a - nl)] == 0)
      util::fatal(util::freev("animal", a, "of the pedigree of effect", e,
                              "has no equation and no record: its Mendelian term cannot be sampled"));
  for (int a = nl + 1; a <= len; ++a) {
    const int c = count[static_cast<std::size_t>(a - nl)];
    if (c == 1) continue;
    std::string recs;
    int shown = 0;
    for (int i = 1; i <= m.nrec && shown <= 10; ++i) {
      if (static_cast<int>(s.INDATA(i, col)) != a) continue;
      recs += shown == 10 ? ", ..." : (shown > 0 ? ", " : "") + std::to_string(i);
      ++shown;
    }
    util::fatal(util::freev("animal", a, "of the pedigree of effect", e, "has no equation and",
                            c, "records") +
                " (records " + recs +
                "): an animal without an equation takes one record; give it an equation "
                "(number it among the levels of effect " +
                std::to_string(e) + ") or keep one of its records");
  }
  int last = 0, last_rec = 0;
  for (int i = 1; i <= m.nrec; ++i) {
    const int a = static_cast<int>(s.INDATA(i, col));
    if (a <= nl) continue;
    if (a < last)
      util::fatal(util::freev("record", i, "of animal", a, "comes after record", last_rec,
                              "of animal", last,
                              ": records of animals without equations must be in ascending order "
                              "of animal"));
    last = a;
    last_rec = i;
  }
}

// The Mendelian terms of the group's effects for the animal of the record
// in hand, drawn jointly given the record, whose residuals (the term not yet
// taken off) are eps.  The terms of the animal effect itself, over the
// traits D where it has data, have prior N(0, G_DD / d) and enter the
// record, whose covariance is then Sigma = s R / w + G_DD / d
// (w * rinv = Sigma^-1, from decode_r): given the record they are normal
// with mean A Sigma^-1 eps and covariance A - A Sigma^-1 A, A = G_DD / d.
// The terms of the group's other effects do not enter the record; they
// follow from their prior given the first ones.  Writes the terms to
// SOL_N(row, :) and takes them off eps.
void joint_terms(model::State& s, int e, int row, double d, double w, double* eps) {
  RecordCursor& cur = cursor;
  const int nt = m.ntrait, K = m.randomnumb(e);
  int dl[L], nd = 0;  // traits (0-based) of the animal effect
  for (int t = 0; t < nt; ++t)
    if (m.pos_eff(e, t + 1) != 0) dl[nd++] = t;
  double as_own[L * L], c[L * L], mu[L], x[L];
  // A Sigma^-1 and the covariance's root are those of every record with the
  // same weight and DINV: formed once for them.
  RecordCursor::MendelianMemo* memo =
      cur.memo_used >= 0 ? &cur.mendelian_memo[cur.memo_used] : nullptr;
  const bool small = nd <= 4;
  const bool ready = memo != nullptr && memo->draw_ready && small;
  const double* as = ready ? memo->as.data() : as_own;
  if (!ready) {
    auto sinv = [&](int i, int j) { return w * m.rinv(i + 1, j + 1); };
    double a[L * L];
    for (int j = 0; j < nd; ++j)
      for (int i = 0; i < nd; ++i) a[i + j * L] = m.g(e, dl[i] + 1, dl[j] + 1) / d;
    // A Sigma^-1 over the columns of every trait.
    for (int u = 0; u < nt; ++u)
      for (int i = 0; i < nd; ++i) {
        double sum = 0.0;
        for (int j = 0; j < nd; ++j) sum += a[i + j * L] * sinv(dl[j], u);
        as_own[i + u * L] = sum;
      }
    for (int k = 0; k < nd; ++k)
      for (int i = 0; i <= k; ++i) {
        double sum = 0.0;
        for (int j = 0; j < nd; ++j) sum += as_own[i + dl[j] * L] * a[j + k * L];
        c[i + k * L] = c[k + i * L] = a[i + k * L] - sum;
      }
  }
  for (int i = 0; i < nd; ++i) {
    double sum = 0.0;
    for (int u = 0; u < nt; ++u) sum += as[i + u * L] * eps[u];
    mu[i] = sum;
  }
  if (small) {
    // As gen_normal_multi draws them: the normals, the root of the
    // covariance, mean plus root times normals.
    double root_own[16];
    const double* root = ready ? memo->root.data() : root_own;
    denseop::kernel::by_order(nd, [&](auto n) {
      constexpr int N = decltype(n)::value;
      if constexpr (N > 0) {
        double z[N];
        prob::normal_deviates<N>(z);
        if (!ready && prob::normal_root<N>(c, L, root_own, true) == 0 && memo != nullptr) {
          memo->as.assign(as_own, as_own + L * L);
          memo->root.assign(root_own, root_own + N * N);
          memo->draw_ready = true;
        }
        prob::normal_combine<N>(mu, root, z, x);
      }
    });
  } else {
    prob::gen_normal_multi(mu, c, nd, L, x);
  }
  for (int i = 0; i < nd; ++i) {
    s.SOL_N(row, dl[i] + 1) = x[i];
    eps[dl[i]] -= x[i];
  }
  if (K < 2) return;

  // The other effects' terms O given these: mean G_OD G_DD^- x and
  // covariance (G_OO - G_OD G_DD^- G_DO) / d.
  int ol[L], no = 0;  // indices k*nt+t (1-based) of the block
  for (int k = 1; k < K; ++k)
    for (int t = 1; t <= nt; ++t)
      if (m.pos_eff(e + k, t) != 0) ol[no++] = k * nt + t;
  if (no == 0) return;
  double gdd[L * L], gddi[L * L], h[L * L], v[L * L], mo[L], xo[L];
  for (int j = 0; j < nd; ++j)
    for (int i = 0; i < nd; ++i) gdd[i + j * L] = m.g(e, dl[i] + 1, dl[j] + 1);
  denseop::finvcs8(gdd, nd, L, gddi, L);
  for (int j = 0; j < nd; ++j)
    for (int i = 0; i < no; ++i) {
      double sum = 0.0;
      for (int k = 0; k < nd; ++k) sum += m.g(e, ol[i], dl[k] + 1) * gddi[k + j * L];
      h[i + j * L] = sum;
    }
  for (int i = 0; i < no; ++i) {
    double sum = 0.0;
    for (int j = 0; j < nd; ++j) sum += h[i + j * L] * x[j];
    mo[i] = sum;
  }
  for (int k = 0; k < no; ++k)
    for (int i = 0; i <= k; ++i) {
      double sum = 0.0;
      for (int j = 0; j < nd; ++j) sum += h[i + j * L] * m.g(e, dl[j] + 1, ol[k]);
      v[i + k * L] = v[k + i * L] = (m.g(e, ol[i], ol[k]) - sum) / d;
    }
  prob::gen_normal_multi(mo, v, no, L, xo);
  for (int i = 0; i < no; ++i) s.SOL_N(row, ol[i]) = xo[i];
}

// gen_normal_scalar(mean, var), its normal taken from those drawn ahead
// while they are armed.
double normal_scalar(double mean, double var) {
  if (var <= 0.0) return mean;
  if (rangen::NormalsAhead* ahead = rangen::normals_ahead) {
    const double sd = std::sqrt(var);
    const float z = ahead->next();
    return mean + sd * z;
  }
  return prob::gen_normal_scalar(mean, var);
}

// The record's residual variance re = rs r / w and the variance
// 1 / (1 / re + d / g) of the term of one trait: most records share a few
// of them (the same r and g hold for the whole step).
struct ScalarTerm {
  double rs = 0, w = 0, d = 0, re = 0, var = 0;
};
struct ScalarTerms {
  static constexpr int size = 4;
  ScalarTerm memo[size];
  int used = 0, next = 0;
  const ScalarTerm& of(double rs, double w, double d, double r, double g) {
    for (int k = 0; k < used; ++k) {
      const ScalarTerm& c = memo[k];
      if (c.rs == rs && c.w == w && c.d == d) return c;
    }
    ScalarTerm& c = memo[next];
    next = (next + 1) % size;
    if (used < size) ++used;
    c.rs = rs;
    c.w = w;
    c.d = d;
    c.re = rs * r / w;
    c.var = 1.0 / (1.0 / c.re + d / g);
    return c;
  }
};

// m.rinv := the inverse of rs * r.
void set_residual_rinv(double rs) {
  if (rs == 1.0) {
    rinv_of_r();
    return;
  }
  const int nt = m.ntrait;
  for (int i = 0; i < nt * nt; ++i) m.rinv.data()[i] = rs * m.r.data()[i];
  denseop::invcs8(m.rinv.data(), nt, nt);
}

// The log-density of the record in hand at its residuals eps (its animal's
// Mendelian term taken off): covariance s R / w, as in the full animal
// model.  m.rinv is left as it was.
void record_loglike(model::State& s, const double* eps) {
  const int nt = m.ntrait;
  double kept[L * L];
  double* ri = m.rinv.data();
  const std::size_t cells = static_cast<std::size_t>(nt) * static_cast<std::size_t>(nt);
  std::copy(ri, ri + cells, kept);
  set_residual_rinv(s.res_scale);
  model_choice(s, s.irec, eps);
  std::copy(kept, kept + cells, ri);
}

}  // namespace

void mendelian(model::State& s, int e, util::arr3<double>& qform, util::mat1<double>& ee) {
  const int nt = m.ntrait, K = m.randomnumb(e), nl = m.nlev(e), len = m.lenped(e);
  const int col = m.pos_eff(e, 1);
  const bool first = m.round == m.start;
  const bool kept = model::kept_cycle(m.round);
  if (first) check_nonparent_records(s, e);
  // One trait and at most two effects: each term on its own, the first from
  // the record, the second from its prior given the first.
  const bool scalar = nt == 1 && K <= 2;
  const int n = K * nt;

  // The block's cells p = k*nt + t with data, and the pairs of R and of the
  // block that are sampled (ORIG not 0), each p <= q.
  bool present[L + 1];
  for (int k = 0; k < K; ++k)
    for (int t = 1; t <= nt; ++t) present[k * nt + t] = m.pos_eff(e + k, t) != 0;
  int rp[L * L][2], nrp = 0, gp[L * L][2], ngp = 0;
  for (int t1 = 1; t1 <= nt; ++t1)
    for (int t2 = t1; t2 <= nt; ++t2)
      if (s.ORIG_R(t1, t2) != 0.0) {
        rp[nrp][0] = t1;
        rp[nrp++][1] = t2;
      }
  for (int p = 1; p <= n; ++p)
    for (int q = p; q <= n; ++q)
      if (s.ORIG_G(e, p, q) != 0.0) {
        gp[ngp][0] = p;
        gp[ngp++][1] = q;
      }

  int base[model::maxcorr];
  for (int k = 0; k < K; ++k) base[k] = address1(e + k, 1, 1) - 1 - nt;
  auto sol = [&](int k, int l, int t) { return s.SOL(base[k] + l * nt + t); };

  // The residual array of the dispersion step gets these records' rows too.
  DispersionWork& dw = dispersion_work;
  const bool rows = dw.e.rows() == m.nrec && dw.e.cols() == nt;

  // Where the records' slots cannot change, the build kept them.
  const bool loaded = slots_loadable(s);
  KeptRecords kept_slots;
  // Without a sire to draw, every deviate of the step is a standard normal
  // of the small orders (at most one per trait and effect, and per missing
  // trait): they are drawn ahead.
  bool only_normals = nt <= 4 && (K - 1) * nt <= 4;
  for (int an = nl + 1; an <= len && only_normals; ++an) only_normals = s.MS_STAT(an) != 1;
  std::optional<rangen::NormalsAhead> ahead;
  if (only_normals) ahead.emplace(static_cast<long>(len - nl) * (K + 1) * nt);
  // In one trait the record's inverse covariance serves only a sire draw:
  // without one, and without structural factors or robust weights, the
  // record's scale is 1 and nothing else of decode_r is read.
  const bool rinv_always = !scalar || !cursor.scale_free;
  bool rinv_is_r = false;  // m.rinv holds the inverse of 1.0 * r
  double f_root = 1.0, root_f = 1.0;  // sqrt(f_root)
  const long pass = new_pass();
  ScalarTerms scalar_terms;

  // PROBS is 1.0 at each animal's start: every change below is undone.
  s.PROBS.fill(1.0);
  s.SOL_N.fill(0.0);
  s.irec = 0;
  double eps[model::maxcorr], v[model::maxcorr], qk[model::max_candidates];
  double pobs[L * L];
  for (int an = nl + 1; an <= len; ++an) {
    const int row = an - nl;
    // The animal's record.
    bool found = false;
    ++s.irec;
    while (s.irec <= m.nrec) {
      const int lv = static_cast<int>(s.INDATA(s.irec, col));
      if (lv == an) {
        found = true;
        break;
      }
      if (lv > an) {
        --s.irec;
        break;
      }
      ++s.irec;
    }
    if (!found)
      util::fatal(util::freev("animal", an, "of the pedigree of effect", e,
                              "has no record in ascending order of animal"));

    // The record's missing traits are drawn given its animal's parents with
    // the Mendelian term's covariance in the record's (decode_r), so that
    // with the terms drawn after them they are a joint draw.
    const bool draw_sire = s.MS_STAT(an) == 1;
    decode_record(s);
    auto rinv = [&] {
      if (rinv_always || draw_sire) {
        decode_r(s, pass);
        rinv_is_r = false;
      } else {
        s.res_scale = 1.0;
      }
    };
    if (loaded) {
      // The records come in ascending order: their slots from the stream.
      const RecordSlots r = kept_slots.at(s, s.irec);
      rinv();
      if (any_missing(s)) predict_missing_traits(s, r);
      record_residuals(s, r, eps);
    } else {
      find_addresses(s);
      rinv();
      predict_missing_y(s);
      record_residuals(s, eps);
    }
    // The record's residual covariance is res_scale * R / w.
    const double w = s.rec_weight, rs = s.res_scale;
    const double d = static_cast<double>(s.DINV(an));

    if (scalar) {
      for (int k = 0; k < K; ++k) {
        const int p = k + 1;
        if (eps[0] == 0.0 || !present[p]) continue;
        if (k == 0) {
          const ScalarTerm& c = scalar_terms.of(rs, w, d, m.r(1, 1), m.g(e, p, p));
          const double re = c.re, var = c.var;
          const double mean = eps[0] * var / re;
          const double x = normal_scalar(mean, var);
          eps[0] -= x;
          s.SOL_N(row, p) = x;
        } else {
          // From its prior given the term of the effect before it.
          const double gpp = m.ginv(e, p, p);
          if (gpp == 0.0) {
            s.SOL_N(row, p) = 0.0;
            continue;
          }
          const double mean = -(m.ginv(e, 1, p) / gpp) * s.SOL_N(row, 1);
          s.SOL_N(row, p) = normal_scalar(mean, 1.0 / (gpp * d));
        }
      }
    } else {
      joint_terms(s, e, row, d, w, eps);
    }

    const double f = w / rs;
    for (int k = 0; k < nrp; ++k) {
      const int t1 = rp[k][0], t2 = rp[k][1];
      ee(t1, t2) += f * eps[t1 - 1] * eps[t2 - 1];
      ee(t2, t1) = ee(t1, t2);
    }
    if (rows) {
      if (f != f_root) {
        f_root = f;
        root_f = std::sqrt(f);
      }
      for (int t = 1; t <= nt; ++t) dw.e(s.irec, t) = eps[t - 1] * root_f;
    }
    if (kept) {
      if (draw_sire) {
        record_loglike(s, eps);  // the sire draw reads rinv after
      } else {
        if (rs != 1.0 || !rinv_is_r) {
          set_residual_rinv(rs);
          rinv_is_r = rs == 1.0;
        }
        model_choice(s, s.irec, eps);
      }
    }

    for (int k = 0; k < ngp; ++k) {
      const int p = gp[k][0], q = gp[k][1];
      qform(e, p, q) += d * s.SOL_N(row, p) * s.SOL_N(row, q);
      qform(e, q, p) = qform(e, p, q);
    }
    if (first) s.DF_RANDOM(e) += 1;

    // Parents' average: the dam, and the sire or every candidate weighted
    // by its probability.
    const int dam = s.PED(e, an, 2), sire = s.PED(e, an, 3);
    const int pm = sire < 0 ? s.P_MS(an) : 0;
    const int nslot = sire < 0 ? static_cast<int>(s.MS(pm)) + 2 : 3;
    for (int k = 0; k < K; ++k)
      for (int t = 1; t <= nt; ++t) {
        if (!present[k * nt + t]) continue;
        double& x = s.SOL_N(row, k * nt + t);
        if (dam != 0) x += s.PROBS(2) * 0.5 * sol(k, dam, t);
        for (int j = 3; j <= nslot; ++j) {
          int id = sire;
          if (sire < 0) {
            id = static_cast<int>(s.MS(pm + 2 * (j - 2) - 1));
            s.PROBS(j) = s.MS(pm + 2 * (j - 2));
          }
          if (id != 0) x += s.PROBS(j) * 0.5 * sol(k, id, t);
        }
      }
    if (sire < 0 && !draw_sire) reset_weights(s, nslot - 2);

    if (draw_sire) {
      // The record less its dam's half, over the traits of the animal
      // effect: the sire's half and the Mendelian term are what remains.
      const RecordCursor& c = cursor;
      for (int t = 1; t <= nt; ++t) {
        v[t - 1] = eps[t - 1] + s.SOL_N(row, t);
        if (dam >= 1 && c.ram_trait(t) != 0) v[t - 1] -= 0.5 * sol(0, dam, t);
      }
      // The draw integrates the Mendelian term and the missing traits out:
      // the observed traits' density under each candidate, covariance
      // Sigma = s R / w + G / DINV (w * rinv its inverse).
      int ob[L], no = 0;
      for (int t = 1; t <= nt; ++t)
        if (s.INDATA(s.irec, m.pos_y(t)) != 0.0f) ob[no++] = t;
      const bool all = no == nt;
      if (!all) {
        double so[L * L];
        for (int j = 0; j < no; ++j)
          for (int i = 0; i < no; ++i) so[i + j * L] = c.record_cov.data()[(ob[i] - 1) + (ob[j] - 1) * nt];
        denseop::finvcs8(so, no, L, pobs, L);
      }
      if (model::samples_msires()) sample_sire_prob(s, e, an);
      // candidate_weights sets each candidate's weight; the rest of PROBS
      // stays 1.0 unread.
      const int p = s.P_MS(an), nc = static_cast<int>(s.MS(p));
      for (int i = 1; i <= nc; ++i) {
        const int si = static_cast<int>(s.MS(p + 2 * i - 1));
        double dv[L];
        for (int t = 1; t <= nt; ++t)
          dv[t - 1] = c.ram_trait(t) != 0 ? v[t - 1] - 0.5 * (si != 0 ? sol(0, si, t) : 0.0)
                                          : v[t - 1];
        double Q = 0.0;
        if (all) {
          for (int t1 = 1; t1 <= nt; ++t1)
            for (int t2 = 1; t2 <= nt; ++t2)
              Q += w * m.rinv(t1, t2) * dv[t1 - 1] * dv[t2 - 1];
        } else {
          for (int i1 = 0; i1 < no; ++i1)
            for (int i2 = 0; i2 < no; ++i2)
              Q += pobs[i1 + i2 * L] * dv[ob[i1] - 1] * dv[ob[i2] - 1];
        }
        qk[i - 1] = Q;
      }
      candidate_weights(s, p, nc, qk, 0.5);
      const int drawn = draw_candidate(s, an, p, kept);
      reset_weights(s, nc);
      s.PED(e, an, 3) = drawn;
    }
  }
  if (first)
    util::say(" calculated ", len - nl, " mendelian samples and ", "read ", s.irec, " records");
}

}  // namespace sampler
