// Mendelian sampling of the animals without equations of a reduced animal
// model: the pedigree lines nlev+1..lenped of the "add_an_ms" group.  Each
// such animal's value is its parents' average plus a Mendelian term drawn
// here from its first record; the record's residual and the terms complete
// the statistics of R and G, and an uncertain sire is redrawn from the
// record's likelihood under each candidate.
#include <cmath>
#include <vector>

#include "random/prob.hpp"
#include "run/model.hpp"
#include "sampler/candidate_sires.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/model_choice.hpp"
#include "sampler/records.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

// The records of the animals without equations must come in ascending
// order of animal, and every such animal must have one: the record search
// walks the data once.
void check_nonparent_records(const run::State& s, int e) {
  const int nl = m.nlev(e), len = m.lenped(e), col = m.pos_eff(e, 1);
  std::vector<char> seen(static_cast<std::size_t>(len > nl ? len - nl : 0) + 1, 0);
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
    if (a <= len) seen[static_cast<std::size_t>(a - nl)] = 1;
  }
  for (int a = nl + 1; a <= len; ++a)
    if (!seen[static_cast<std::size_t>(a - nl)])
      util::fatal(util::freev("animal", a, "of the pedigree of effect", e,
                              "has no equation and no record: its Mendelian term cannot be sampled"));
}

}  // namespace

void mendelian(run::State& s, int e, util::arr3<double>& qform, util::mat1<double>& ee) {
  const int nt = m.ntrait, K = m.randomnumb(e), nl = m.nlev(e), len = m.lenped(e);
  const int col = m.pos_eff(e, 1);
  const bool first = m.round == m.start;
  const bool kept = kept_cycle(m.round);
  if (first) check_nonparent_records(s, e);

  int base[model::maxcorr];
  for (int k = 0; k < K; ++k) base[k] = address1(e + k, 1, 1) - 1 - nt;
  auto sol = [&](int k, int l, int t) { return s.SOL(base[k] + l * nt + t); };

  // The residual array of the dispersion step gets these records' rows too.
  DispersionWork& dw = dispersion_work;
  const bool rows = dw.e.rows() == m.nrec && dw.e.cols() == nt;

  s.PROBS.fill(1.0);
  s.SOL_N.fill(0.0);
  s.irec = 0;
  const int n = K * nt;
  double eps[model::maxcorr], v[model::maxcorr], qk[run::max_candidates];
  for (int an = nl + 1; an <= len; ++an) {
    s.PROBS.fill(1.0);
    const int row = an - nl;
    // The animal's first record; later ones of the same animal are passed.
    bool found = false;
    ++s.irec;
    while (s.irec <= m.nrec) {
      const int L = static_cast<int>(s.INDATA(s.irec, col));
      if (L == an) {
        found = true;
        break;
      }
      if (L > an) {
        --s.irec;
        break;
      }
      ++s.irec;
    }
    if (!found)
      util::fatal(util::freev("animal", an, "of the pedigree of effect", e,
                              "has no record in ascending order of animal"));

    decode_record(s);
    find_addresses(s);
    decode_r(s);
    predict_missing_y(s);
    record_residuals(s, eps);
    for (int t = 1; t <= nt; ++t)
      if (s.Y(t) == static_cast<float>(m.miss)) eps[t - 1] = 0.0;
    // The record's residual covariance is res_scale * R / w.
    const double w = s.rec_weight, rs = s.res_scale;
    const double d = static_cast<double>(s.DINV(an));

    for (int k = 0; k < K; ++k)
      for (int t = 1; t <= nt; ++t) {
        if (eps[t - 1] == 0.0 || m.pos_eff(e + k, t) == 0) continue;
        const int p = k * nt + t;
        if (k % 2 == 0) {
          const double re = rs * m.r(t, t) / w;
          const double var = 1.0 / (1.0 / re + d / m.g(e, p, p));
          const double mean = eps[t - 1] * var / re;
          const double x = prob::gen_normal_scalar(mean, var);
          eps[t - 1] -= x;
          s.SOL_N(row, p) = x;
        } else {
          // From its prior given the term of the effect before it.
          const int q = (k - 1) * nt + t;
          const double gpp = m.ginv(e, p, p);
          if (gpp == 0.0) {
            s.SOL_N(row, p) = 0.0;
            continue;
          }
          const double mean = -(m.ginv(e, q, p) / gpp) * s.SOL_N(row, q);
          s.SOL_N(row, p) = prob::gen_normal_scalar(mean, 1.0 / (gpp * d));
        }
      }

    const double f = w / rs;
    for (int t1 = 1; t1 <= nt; ++t1)
      for (int t2 = t1; t2 <= nt; ++t2) {
        if (s.ORIG_R(t1, t2) == 0.0) continue;
        ee(t1, t2) += f * eps[t1 - 1] * eps[t2 - 1];
        ee(t2, t1) = ee(t1, t2);
      }
    if (rows)
      for (int t = 1; t <= nt; ++t) dw.e(s.irec, t) = eps[t - 1] * std::sqrt(f);
    if (kept) model_choice(s, s.irec, eps);

    for (int p = 1; p <= n; ++p)
      for (int q = p; q <= n; ++q) {
        if (s.ORIG_G(e, p, q) == 0.0) continue;
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
        if (m.pos_eff(e + k, t) == 0) continue;
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

    if (s.MS_STAT(an) == 1) {
      for (int t = 1; t <= nt; ++t) {
        v[t - 1] = eps[t - 1] + s.SOL_N(row, t);
        if (dam >= 1) v[t - 1] -= 0.5 * sol(0, dam, t);
      }
      if (m.ms_alpha != 0) sample_sire_prob(s, e, an);
      s.PROBS.fill(0.0);
      const int p = s.P_MS(an), c = static_cast<int>(s.MS(p));
      // The record's precision is w * rinv (diagonal only).
      for (int i = 1; i <= c; ++i) {
        const int si = static_cast<int>(s.MS(p + 2 * i - 1));
        double Q = 0.0;
        for (int t = 1; t <= nt; ++t) {
          const double dv = v[t - 1] - 0.5 * (si != 0 ? sol(0, si, t) : 0.0);
          Q += w * m.rinv(t, t) * dv * dv;
        }
        qk[i - 1] = Q;
      }
      candidate_weights(s, p, c, qk, 0.5);
      const int drawn = draw_candidate(s, an, p, kept);
      s.PROBS.fill(1.0);
      s.PED(e, an, 3) = drawn;
    }
  }
  if (first)
    util::say(" calculated ", len - nl, " mendelian samples and ", "read ", s.irec, " records");
}

}  // namespace sampler
