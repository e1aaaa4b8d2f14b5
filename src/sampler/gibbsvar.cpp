#include "sampler/gibbsvar.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/prob.hpp"
#include "sampler/model_choice.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sparse/blocks.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {


namespace {

using model::m;

constexpr int maxc = model::maxcorr;

// The Bartlett construction needs at least as many degrees of freedom as the
// order; fewer means too few levels (or records) for the prior given.
void check_df(int df, int n, int e, int absent = 0) {
  if (df >= n) return;
  if (e > 0 && absent > 0)
    util::fatal(util::freev("Degrees of freedom", df, "of the (co)variance matrix of random effect",
                            e, "(levels plus degrees of belief, less one for each of its", absent,
                            "rows of effects absent for a trait) are below the order", n,
                            "of its present rows"));
  if (e > 0)
    util::fatal(util::freev("Degrees of freedom", df, "of the (co)variance matrix of random effect",
                            e, "are below its order", n));
  util::fatal(util::freev("Degrees of freedom", df,
                          "of the residual (co)variance matrix are below its order", n));
}

// Repairs x in place; a matrix that cannot be repaired (values that are not
// numbers, or no positive eigenvalue) would only spread into every later
// draw, so it ends the run.
void repair(double* x, int n, int ldx, const char* mes, int e) {
  const denseop::PosDef r = denseop::pos_def(x, n, ldx, mes, 1.0e-4);
  if (r.state != denseop::Repair::not_repairable && r.state != denseop::Repair::eigen_failed)
    return;
  const std::string what =
      e > 0 ? util::freev("the quadratic forms of random effect", e) : util::freev("ee");
  util::fatal(" Cannot sample: " + what.substr(1) +
              " cannot be made positive definite (no positive eigenvalue, or values that are"
              " not numbers)");
}

}  // namespace

// ---------------------------------------------------------------------------
// Step 1: residuals, their cross-products and the record log-likelihoods.

namespace {

// The record loop of residual_pass.  NT > 0: the trait count fixed at
// compile time (the loops over traits unroll; the same operations in the
// same order); N > 0 besides: every record that keeps its slots has N
// effects.
template <int NT, int N>
void residual_records(model::State& s, DispersionWork& w, int a, bool kept) {
  const int nt = NT > 0 ? NT : m.ntrait, nrec = m.nrec;
  double e[denseop::max_order];
  // The elements of ee that are sampled (ORIG_R not 0), summed here and
  // copied into w.ee at the end: each receives the same additions in order.
  // With NT fixed, the pairs are the whole upper triangle, each flagged.
  constexpr int L = denseop::max_order;
  constexpr int NP = NT > 0 ? NT * (NT + 1) / 2 : L * L;
  int p1[NP], p2[NP], npairs = 0;
  bool on[NP];
  for (int t1 = 0; t1 < nt; ++t1)
    for (int t2 = t1; t2 < nt; ++t2) {
      const bool sampled = s.ORIG_R(t1 + 1, t2 + 1) != 0.0;
      if (NT == 0 && !sampled) continue;
      p1[npairs] = t1;
      p2[npairs] = t2;
      on[npairs] = sampled;
      ++npairs;
    }
  double ee[NP];
  for (int k = 0; k < npairs; ++k) ee[k] = w.ee(p1[k] + 1, p2[k] + 1);
  // The products of the residuals e[0], e[st], e[2 st], ...  With NT fixed
  // the pairs stay in registers ((t1, t2) of pair k follow from k), and the
  // pairs not sampled are summed too, and not kept.
  auto add_ee = [&](const double* e, long st) {
    if constexpr (NT > 0) {
#pragma GCC unroll 10
      for (int t1 = 0, k = 0; t1 < NT; ++t1)
#pragma GCC unroll 10
        for (int t2 = t1; t2 < NT; ++t2, ++k) ee[k] += e[t1 * st] * e[t2 * st];
    } else {
      for (int k = 0; k < npairs; ++k) ee[k] += e[p1[k] * st] * e[p2[k] * st];
    }
  };
  double* const ecol = w.e.data();
  const long lde = w.e.rows();
  // Most records share their residual scale and weight: sc is kept with
  // what it was formed from (bit for bit).
  std::uint64_t sc_of_scale = 0, sc_of_weight = 0;
  double sc = std::sqrt(1.0);
  std::memcpy(&sc_of_scale, &sc, sizeof sc);
  std::memcpy(&sc_of_weight, &sc, sizeof sc);

  // A model whose records keep their slots loads them from the stream.
  const bool loadable = slots_loadable(s);
  // There, without weights and with one R^-1 for every record (no
  // structural, robust or Mendelian scale), the records' residuals are kept
  // as they are (divided by 1) and their log-densities all use the same
  // w R^-1: once a record has left its R^-1 and log-determinant kept
  // (nothing is formed or reported after it), the later ones' are added after
  // the pass, from record deferred_from on.
  const bool may_defer =
      loadable && kept && NT > 0 && m.pos_weight == 0 && workspace(s).cursor.rinv_constant;
  bool deferred = false;
  int deferred_from = 0;

  // The rest of record i after its residuals e; add: its products go into
  // ee here (else they are added after the pass from w.e).
  auto finish = [&](int i, bool add) __attribute__((always_inline)) {
    if (kept && !deferred) {
      model_choice(s, i, e);
      deferred = may_defer && workspace(s).cursor.rinv_cached && model_choice_ready(s);
      deferred_from = i + 1;
    }
    // Scaled to unit covariance R: the record's own is res_scale * R / w.
    std::uint64_t bs, bw;
    std::memcpy(&bs, &s.res_scale, sizeof bs);
    std::memcpy(&bw, &s.rec_weight, sizeof bw);
    if (bs != sc_of_scale || bw != sc_of_weight) {
      sc = std::sqrt(s.res_scale / s.rec_weight);
      sc_of_scale = bs;
      sc_of_weight = bw;
    }
    double* ei = ecol + (i - 1);
    if (sc == 1.0) {
      // Dividing by 1 leaves every value as it is.
      for (int t = 0; t < nt; ++t) ei[t * lde] = e[t];
    } else {
      for (int t = 0; t < nt; ++t) {
        e[t] = e[t] / sc;
        ei[t * lde] = e[t];
      }
    }
    if (add) add_ee(e, 1);
  };

  // Records of animals without an equation belong to the Mendelian step.
  auto nonparent = [&](int i) {
    if (a == 0 || static_cast<int>(s.INDATA(i, m.pos_eff(a, 1))) <= m.nlev(a)) return false;
    for (int t = 1; t <= nt; ++t) w.e(i, t) = 0.0;
    return true;
  };
  auto derived = [&](const std::int32_t* cnt, const std::int32_t* eq, const float* x)
                     __attribute__((always_inline)) {
    record_residuals<NT, N>(s, cnt, eq, x, e);
    finish(s.irec, NT == 0);
  };
  auto found = [&](const RecordSlots& r) __attribute__((always_inline)) {
    record_residuals(s, r, e);
    finish(s.irec, NT == 0);
  };
  // In a reduced animal model the records of animals with equations are
  // listed with their places in the stream: the pass goes to them alone.
  // (No record's log-density is deferred there: the records' inverses are
  // not all one.)
  const RecordCursor::RecordClasses* classes =
      loadable && a > 0 && a == workspace(s).cursor.e8 && use_record_classes ? record_classes(s) : nullptr;
  if (classes != nullptr) {
    std::fill(ecol, ecol + static_cast<std::size_t>(nrec) * static_cast<std::size_t>(nt), 0.0);
    for_each_listed_record<NT, N>(s, classes->with_equation, derived, found);
    // The products of the listed records in record order: those of the
    // others, whose rows are 0 here, would add +0 to sums that are never
    // -0.
    if constexpr (NT > 0)
      for (const KeptAt& k : classes->with_equation) add_ee(ecol + (k.irec - 1), lde);
  } else if (loadable) {
    for_each_kept_record<NT, N>(s, derived, found, nonparent);
    if (deferred) model_choice_records(s, deferred_from, nrec, ecol, lde);
    if constexpr (NT > 0) {
      // Every record's products, in record order, from the residuals as
      // kept: apart from the calls of the record loop, the sums stay in
      // registers.
      for (int i = 1; i <= nrec; ++i) add_ee(ecol + (i - 1), lde);
    }
  }
  if (loadable) {
    // The cursor on the last record, as the general pass leaves it.
    if (nrec > 0) {
      s.irec = nrec;
      find_addresses(s);
    }
  } else {
    for (int i = 1; i <= nrec; ++i) {
      s.irec = i;
      if (nonparent(i)) continue;
      decode_record(s);
      find_addresses(s);
      decode_r(s);
      predict_missing_y(s);
      record_residuals(s, e);
      finish(i, true);
    }
  }
  for (int k = 0; k < npairs; ++k) {
    if (!on[k]) continue;
    w.ee(p1[k] + 1, p2[k] + 1) = ee[k];
    w.ee(p2[k] + 1, p1[k] + 1) = ee[k];
  }
  s.irec = nrec + 1;
}

}  // namespace

void residual_pass(model::State& s, DispersionWork& w) {
  const int nt = m.ntrait, nrec = m.nrec;
  if (w.e.rows() != nrec || w.e.cols() != nt) w.e.resize(nrec, nt);
  if (w.ee.rows() != nt || w.ee.cols() != nt) w.ee.resize(nt, nt);
  w.ee.fill(0.0);
  // (An animal effect absent for trait 1 is refused when the records are
  // prepared.)
  int a = model::reduced_animal_group();
  if (a > 0 && m.pos_eff(a, 1) == 0) a = 0;
  const bool kept = model::kept_cycle(m.round);
  with_kept_order(nt, m.neff, [&](auto t, auto n) { residual_records<t(), n()>(s, w, a, kept); });
}

// ---------------------------------------------------------------------------
// Step 2: G of every random group.

void sample_g(model::State& s, DispersionWork& w) {
  const int nt = m.ntrait;
  if (w.qform.extent1() != m.neff) w.qform.resize(m.neff, maxc, maxc);
  w.qform.fill(0.0);
  const int ram_group = model::reduced_animal_group();

  for (int e = 1; e <= m.neff; ++e) {
    const int k = m.randomnumb(e);
    if (k <= 0) continue;
    const model::RandomType rt = m.randomtype(e);
    const int n = nt * k;
    if (model::multiple_breed(rt)) {
      if (m.max_msires == 0)
        sample_mb_g(s, e, n);
      else
        sample_mbs_g(s, e, model::max_candidates, n);
      continue;
    }

    // u_p' A^-1 u_q over the levels of the group's first effect, for the
    // elements that the starting matrix does not hold at 0: all of them in
    // one walk over A^-1, each level's n solutions side by side.
    const int nl = m.nlev(e);
    const double* u = nullptr;
    for (int k1 = 0; k1 < k; ++k1)
      for (int t1 = 1; t1 <= nt; ++t1) {
        const int p = k1 * nt + t1;
        const int x0 = address1(e + k1, 1, t1);
        const auto x = sparsem::slice(s.SOL, x0, x0 + (nl - 1) * nt, nt);
        if (k == 1) {
          // One effect: its levels' traits already lie side by side.
          if (t1 == 1) u = x.p;
          continue;
        }
        const std::size_t cells = static_cast<std::size_t>(nl) * static_cast<std::size_t>(n);
        if (w.levels.size() < cells) w.levels.resize(cells);
        double* v = w.levels.data();
        for (long l = 1; l <= x.size; ++l) v[(l - 1) * n + (p - 1)] = x.p[(l - 1) * x.inc];
        u = v;
      }
    int pp[maxc * maxc], qq[maxc * maxc], npairs = 0;
    for (int p = 1; p <= n; ++p)
      for (int q = p; q <= n; ++q)
        if (s.ORIG_G(e, p, q) != 0.0) {
          pp[npairs] = p - 1;
          qq[npairs] = q - 1;
          ++npairs;
        }
    if (npairs > 0) {
      // A^-1 stays as the first cycle of the run built it, except where
      // drawn sires change it.
      if (w.ainv.size() < static_cast<std::size_t>(m.neff)) w.ainv.resize(static_cast<std::size_t>(m.neff));
      DispersionWork::Ainv& c = w.ainv[static_cast<std::size_t>(e - 1)];
      const sparsem::sparse_hashm& A = s.AINV(e);
      // (Drawn sires change A^-1 of an add_an_ms group in place.)
      const GroupTerms* gt =
          rt == model::RandomType::add_an_ms ? &group_terms(relationship_terms(s), e) : nullptr;
      const long version = gt ? gt->ainv_version : 0;
      const bool same_table = c.table == A.x.data() && c.nel == A.nel && c.filled == A.filled &&
                              c.terms.n == A.n;
      if (m.round != m.start && same_table && gt && c.version + 1 == version && !gt->keys_added && !gt->built &&
          c.term_of_slot.size() == static_cast<std::size_t>(A.nel) + 1) {
        // The same keys in the same slots: the values the draws changed.
        for (const std::int32_t slot : gt->changed_slots)
          c.terms.t[static_cast<std::size_t>(c.term_of_slot[static_cast<std::size_t>(slot)])].v =
              A.x(slot).val;
        c.version = version;
      } else if (m.round == m.start || c.version != version || !same_table) {
        sparsem::gather_hash_terms(c.terms, A);
        c.table = A.x.data();
        c.nel = A.nel;
        c.filled = A.filled;
        c.version = version;
        c.term_of_slot.clear();
        if (gt) {
          // Where each slot's term stands: the terms follow the table.
          c.term_of_slot.assign(static_cast<std::size_t>(A.nel) + 1, 0);
          std::int32_t k = 0;
          for (std::int32_t slot = 1; slot <= A.nel; ++slot) {
            const sparsem::hash_slot& h = A.x(slot);
            if (h.row != 0 && h.row <= h.col) c.term_of_slot[static_cast<std::size_t>(slot)] = k++;
          }
        }
      }
      double forms[maxc * maxc];
      sparsem::quadr_terms_multi(c.terms, nl, u, k == 1 ? nt : n, pp, qq, npairs, forms);
      for (int k2 = 0; k2 < npairs; ++k2) {
        w.qform(e, pp[k2] + 1, qq[k2] + 1) = forms[k2];
        w.qform(e, qq[k2] + 1, pp[k2] + 1) = forms[k2];
      }
    }

    if (e == ram_group) mendelian(s, e, w.qform, w.ee);

    // Rows of an effect absent for a trait stay 0: the present rows' block
    // is drawn alone, as it lies in a draw of the whole order, whose block
    // of np rows has one degree of freedom fewer for each row left out.
    int rows[maxc];
    const int np = model::present_rows(e, rows);
    const int df = s.DF_RANDOM(e) + m.dbelief_g(e) - (n - np);
    check_df(df, np, e, n - np);
    // Order-np work matrices, column-major with leading dimension np.
    double sc[maxc * maxc], sci[maxc * maxc], draw[maxc * maxc];
    auto at = [np](int i, int j) { return (i - 1) + (j - 1) * np; };
    for (int j = 1; j <= np; ++j)
      for (int i = 1; i <= np; ++i) {
        const int p = rows[i - 1], q = rows[j - 1];
        w.qform(e, p, q) += m.dbelief_g(e) * s.ORIG_G(e, p, q);
        sc[at(i, j)] = w.qform(e, p, q);
      }
    repair(sc, np, np, "qform not pos def, fixed", e);
    for (int j = 1; j <= np; ++j)
      for (int i = 1; i <= np; ++i) w.qform(e, rows[i - 1], rows[j - 1]) = sc[at(i, j)];

    denseop::finvcs8(sc, np, np, sci, np);
    prob::gen_invwishart_multi(sci, np, np, df, draw, np);
    // The starting zero pattern holds; nothing outside the present rows is
    // kept.
    for (int j = 1; j <= maxc; ++j)
      for (int i = 1; i <= maxc; ++i) m.g(e, i, j) = 0.0;
    for (int j = 1; j <= np; ++j)
      for (int i = 1; i <= np; ++i) {
        const int p = rows[i - 1], q = rows[j - 1];
        if (s.ORIG_G(e, p, q) != 0.0) m.g(e, p, q) = draw[at(i, j)];
      }
  }
}

// ---------------------------------------------------------------------------
// Step 3: R.

void sample_r(model::State& s, DispersionWork& w) {
  const int nt = m.ntrait;
  const int df = m.nrec + m.dbelief_r;
  check_df(df, nt, 0);
  for (int j = 1; j <= nt; ++j)
    for (int i = 1; i <= nt; ++i) w.ee(i, j) += m.dbelief_r * s.ORIG_R(i, j);
  repair(w.ee.data(), nt, nt, "ee not pos def, fixed", 0);
  double eei[maxc * maxc], draw[maxc * maxc];
  denseop::finvcs8(w.ee.data(), nt, nt, eei, nt);
  prob::gen_invwishart_multi(eei, nt, nt, df, draw, nt);
  for (int j = 1; j <= nt; ++j)
    for (int i = 1; i <= nt; ++i)
      m.r(i, j) = s.ORIG_R(i, j) != 0.0 ? draw[(i - 1) + (j - 1) * nt] : 0.0;
}

// Step 4, the sample files: sampler/samplefiles.cpp.

// ---------------------------------------------------------------------------
// Step 5: posterior sums.

namespace {

// The three arrays are apart, so four elements at a time go through the
// vector unit (each element's sums are the same operations either way).
void add_sums(const double* __restrict x, double* __restrict sum, double* __restrict ss,
              std::size_t n) {
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double x0 = x[i], x1 = x[i + 1], x2 = x[i + 2], x3 = x[i + 3];
    sum[i] += x0;
    sum[i + 1] += x1;
    sum[i + 2] += x2;
    sum[i + 3] += x3;
    ss[i] += x0 * x0;
    ss[i + 1] += x1 * x1;
    ss[i + 2] += x2 * x2;
    ss[i + 3] += x3 * x3;
  }
  for (; i < n; ++i) {
    sum[i] += x[i];
    ss[i] += x[i] * x[i];
  }
}

std::size_t count(const util::mat1<double>& a) { return static_cast<std::size_t>(a.rows() * a.cols()); }

}  // namespace

void add_posterior_sums(model::State& s) {
  add_sums(m.r.data(), s.SUMR.data(), s.SSR.data(), count(m.r));
  const std::size_t ng =
      static_cast<std::size_t>(m.g.extent1() * m.g.extent2() * m.g.extent3());
  add_sums(m.g.data(), s.SUMG.data(), s.SSG.data(), ng);
  add_sums(s.SOL.data(), s.SUMSOL.data(), s.SSSOL.data(), static_cast<std::size_t>(s.SOL.size()));
  if (model::reduced_animal_group() > 0)
    add_sums(s.SOL_N.data(), s.SUMSOL_N.data(), s.SSSOL_N.data(), count(s.SOL_N));
}

// ---------------------------------------------------------------------------

void gibbsvar(model::State& s) {
  DispersionWork& w = workspace(s).dispersion;

  residual_pass(s, w);
  sample_g(s, w);
  sample_r(s, w);
  if (m.round == m.nround || m.round % m.skip == 0) write_samples(s, sample_files(s));
  if (model::kept_cycle(m.round)) add_posterior_sums(s);
  if (m.neffr > 0) structural_r(s, w.e);
  if (model::student_t(m.residualtype))
    student_t_weights(s, w.e);
  else if (model::slash(m.residualtype))
    slash_weights(s, w.e);
}

}  // namespace sampler
