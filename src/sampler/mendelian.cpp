// Mendelian sampling of the animals without equations of a reduced animal
// model: the pedigree lines nlev+1..lenped of the "add_an_ms" group.  Each
// such animal's value is its parents' average plus a Mendelian term drawn
// here from its one record, all traits and effects of the group together;
// the record's residual and the terms complete the statistics of R and G,
// and an uncertain sire is redrawn from the record's likelihood under each
// candidate, the term integrated out.
#include <algorithm>
#include <cmath>
#include <cstdint>
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

bool one_trait_mendelian = true;

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
  RecordCursor& cur = workspace(s).cursor;
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
void set_residual_rinv(const model::State& s, double rs) {
  if (rs == 1.0) {
    rinv_of_r(s);
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
  set_residual_rinv(s, s.res_scale);
  model_choice(s, s.irec, eps);
  std::copy(kept, kept + cells, ri);
}

// ---- one trait, one effect --------------------------------------------------
// The common reduced animal model (one trait, the animal effect alone in its
// group, records whose slots the build kept, no structural factor or robust
// weight, no sire to draw) takes the same steps as the loop of mendelian()
// in a loop of its own: what that loop finds again for every animal in every
// cycle (its record, where the record's slots stand in the stream, its
// parents' equations) is worked out once for the stream, and the variances
// of the terms once a cycle for each pair of record weight and DINV.

struct OneTraitAnimal {
  std::int32_t irec;     // the animal's record
  std::int32_t key_at;   // its slot count in the stream's keys, its equations after it
  std::int32_t mult_at;  // its multipliers in the stream
  std::int32_t cls;      // its pair of weight and DINV
  std::int32_t dam, sire;  // the parents' equations, 0 for an unknown parent
};

struct OneTraitClass {
  double w = 0, d = 0;     // the record's weight, the animal's DINV
  double root_w = 0;       // sqrt(w)
  double re = 0, var = 0, sd = 0;  // of the cycle in hand: r / w, the term's variance, its root
};


}  // namespace

// The animals of the one-trait Mendelian step's loop of its own, made for a
// stream generation.
struct OneTraitTable {
  long generation = 0;  // of the stream it was made for; 0 none
  int e = 0;
  bool usable = false;
  std::vector<OneTraitAnimal> animals;
  std::vector<OneTraitClass> classes;
};

namespace {

// Makes the table for the stream as it stands; usable stays false where the
// loop of its own does not apply (an animal without its record, a record
// whose multipliers are not kept, a sire to be drawn among candidates).
void make_one_trait_table(const model::State& s, int e) {
  OneTraitTable& t = made(workspace(s).one_trait);
  const SlotStream& st = workspace(s).cursor.stream;
  const int nl = m.nlev(e), len = m.lenped(e), col = m.pos_eff(e, 1);
  t.generation = st.generation;
  t.e = e;
  t.usable = false;
  t.animals.clear();
  t.classes.clear();
  if (st.key.size() >= static_cast<std::size_t>(INT32_MAX) ||
      st.mult.size() >= static_cast<std::size_t>(INT32_MAX))
    return;
  // Each record's place in the stream (one trait: its count, then its
  // equations), in record order as the animals' records come.
  std::size_t key_at = 0, mult_at = 0;
  int next = 1;  // the record at key_at
  const int base = address1(e, 1, 1) - 1;
  WeightDinvClasses class_of;
  int irec = 0;
  t.animals.reserve(static_cast<std::size_t>(std::max(len - nl, 0)));
  for (int an = nl + 1; an <= len; ++an) {
    // The record search of mendelian().
    bool found = false;
    ++irec;
    while (irec <= m.nrec) {
      const int lv = static_cast<int>(s.INDATA(irec, col));
      if (lv == an) {
        found = true;
        break;
      }
      if (lv > an) {
        --irec;
        break;
      }
      ++irec;
    }
    if (!found) return;
    for (; next < irec; ++next) {
      const std::size_t n = static_cast<std::size_t>(st.key[key_at]);
      key_at += 1 + n;
      if (!st.is_derived(next)) mult_at += n;
    }
    if (st.is_derived(irec)) return;
    const int dam = s.PED(e, an, 2), sire = s.PED(e, an, 3);
    if (dam < 0 || sire < 0 || s.MS_STAT(an) == 1) return;
    const auto [cls, added] = class_of.add(s, irec, an);
    if (added) {
      OneTraitClass c;
      c.w = class_of.w;
      c.d = class_of.d;
      c.root_w = std::sqrt(c.w);
      t.classes.push_back(c);
    }
    t.animals.push_back(OneTraitAnimal{irec, static_cast<std::int32_t>(key_at),
                                       static_cast<std::int32_t>(mult_at), cls,
                                       dam != 0 ? base + dam : 0, sire != 0 ? base + sire : 0});
  }
  t.usable = true;
}

// The loop of mendelian() for the model described above, every animal's
// record found in the table: the same sums in the same order, the same
// normals taken from `ahead`.
void one_trait_terms(model::State& s, int e, util::arr3<double>& qform, util::mat1<double>& ee,
                     rangen::NormalsAhead& ahead, bool sample_r, bool sample_g, bool rows) {
  OneTraitTable& t = made(workspace(s).one_trait);
  const bool first = m.round == m.start, kept = model::kept_cycle(m.round);
  const double r = m.r(1, 1), g = m.g(e, 1, 1);
  for (OneTraitClass& c : t.classes) {
    // As ScalarTerms forms them, at a scale of 1.
    c.re = 1.0 * r / c.w;
    c.var = 1.0 / (1.0 / c.re + c.d / g);
    c.sd = c.var > 0.0 ? std::sqrt(c.var) : 0.0;
  }
  const SlotStream& st = workspace(s).cursor.stream;
  const std::int32_t* key = st.key.data();
  const float* mult = st.mult.data();
  const double* sol = s.SOL.data() - 1;
  const float* ycol = s.INDATA.col(m.pos_y(1)) - 1;
  double* erow = rows ? workspace(s).dispersion.e.data() - 1 : nullptr;
  double* soln = s.SOL_N.data() - 1;
  double e11 = ee(1, 1), q11 = qform(e, 1, 1);
  if (kept && !t.animals.empty()) rinv_of_r(s);
  const OneTraitClass* cls = t.classes.data();
  const std::size_t n_an = t.animals.size();
  for (std::size_t i = 0; i < n_an; ++i) {
    const OneTraitAnimal& a = t.animals[i];
    const OneTraitClass& c = cls[a.cls];
    double eps = static_cast<double>(ycol[a.irec]);
    const std::int32_t* eq = key + a.key_at;
    const float* x = mult + a.mult_at;
    const int n = *eq++;
    for (int j = 0; j < n; ++j)
      if (eq[j] > 0) eps = eps - static_cast<double>(x[j]) * sol[eq[j]];
    double term = 0.0;
    if (eps != 0.0) {
      const double mean = eps * c.var / c.re;
      term = c.var <= 0.0 ? mean : mean + c.sd * ahead.next();
      eps -= term;
    }
    if (sample_r) e11 += c.w * eps * eps;
    if (erow != nullptr) erow[a.irec] = eps * c.root_w;
    if (kept) {
      s.rec_weight = c.w;
      model_choice(s, a.irec, &eps);
    }
    if (sample_g) q11 += c.d * term * term;
    if (a.dam != 0) term += 0.5 * sol[a.dam];
    if (a.sire != 0) term += 0.5 * sol[a.sire];
    soln[i + 1] = term;
  }
  if (sample_r) ee(1, 1) = e11;
  if (sample_g) qform(e, 1, 1) = q11;
  if (first) s.DF_RANDOM(e) += static_cast<int>(n_an);
  // The cursor on the last animal's record, as the loop leaves it.
  if (n_an > 0) {
    s.irec = t.animals.back().irec;
    decode_record(s);
    s.res_scale = 1.0;
  }
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
  DispersionWork& dw = workspace(s).dispersion;
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
  const bool rinv_always = !scalar || !workspace(s).cursor.scale_free;
  bool rinv_is_r = false;  // m.rinv holds the inverse of 1.0 * r
  double f_root = 1.0, root_f = 1.0;  // sqrt(f_root)
  const long pass = new_pass(s);
  ScalarTerms scalar_terms;

  // PROBS is 1.0 at each animal's start: every change below is undone.
  s.PROBS.fill(1.0);
  s.irec = 0;
  if (one_trait_mendelian && scalar && K == 1 && loaded && workspace(s).cursor.scale_free && only_normals &&
      present[1]) {
    OneTraitTable& t = made(workspace(s).one_trait);
    if (t.generation != workspace(s).cursor.stream.generation || t.e != e)
      make_one_trait_table(s, e);
    if (t.usable && static_cast<long>(t.animals.size()) == s.SOL_N.rows() && s.SOL_N.cols() == 1) {
      one_trait_terms(s, e, qform, ee, *ahead, nrp == 1, ngp == 1, rows);
      if (first)
        util::say(" calculated ", len - nl, " mendelian samples and ", "read ", s.irec, " records");
      return;
    }
  }
  s.SOL_N.fill(0.0);
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
          set_residual_rinv(s, rs);
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
      const RecordCursor& c = workspace(s).cursor;
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
