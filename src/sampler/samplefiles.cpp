#include "sampler/samplefiles.hpp"

#include <string_view>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "sampler/records.hpp"
#include "sampler/workspace.hpp"
#include "util/stop.hpp"

namespace sampler {

SampleFiles& sample_files(const model::State& s) { return workspace(s).samples; }

namespace {

using model::m;
using model::Structural;

void open_set(SampleFiles& f, util::TextOut::Mode mode, bool mh) {
  close(f);
  f.varcompsam = util::TextOut(varcompsam_file, mode);
  f.loglike_rnd = util::TextOut(loglike_rnd_file, mode);
  if (mh && model::uses_mh_files()) f.mh_dbeliefchg = util::TextOut(mh_dbeliefchg_file, mode);
  if (model::saves_solutions()) f.solutionsam = util::TextOut(solutionsam_file, mode);
}

// The layout of an entry of "varcompsam": each part hands its values, in
// file order, to f.  The writers and entry_lines both walk them, so the
// lines a restart counts are the lines the chain wrote.

// The kept elements of every G and of R.
template <class F>
void each_dispersion_value(const model::State& s, F f) {
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int n = model::block_order(e);
    for (int i = 1; i <= n; ++i)
      for (int j = i; j <= n; ++j)
        if (model::sampled_element(s.ORIG_G, e, i, j)) f(m.g(e, i, j));
  }
  for (int t1 = 1; t1 <= m.ntrait; ++t1)
    for (int t2 = t1; t2 <= m.ntrait; ++t2)
      if (s.ORIG_R(t1, t2) != 0.0) f(m.r(t1, t2));
}

// The saved factors of each structural effect (all levels of a random
// one, all but the reference level of a fixed one) and the shape of a
// random one; nothing when the step draws no round.
template <class F>
void each_structural_value(const model::State& s, F f) {
  if (m.r_nround <= 0) return;
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    const bool save = m.effrsave(k) == 1;
    switch (model::structural_kind(e)) {
      case Structural::scale:
        if (save) f(s.R_SOL(address1(e, 1, 1)));
        break;
      case Structural::levels_alpha:
        if (save)
          for (int j = 1; j <= m.nlev(e); ++j) f(s.R_SOL(address1(e, j, 1)));
        f(s.R_ALPHA(k));
        break;
      case Structural::levels:
        if (save && m.randomnumb(e) == 0)
          for (int j = 1; j <= m.nlev(e) - 1; ++j) f(s.R_SOL(address1(e, j, 1)));
        break;
    }
  }
}

// The solutions of the saved effects, level by level, trait by trait.
template <class F>
void each_solution_value(const model::State& s, F f) {
  const int nt = m.ntrait;
  long long base = 0;  // equations before effect e
  for (int e = 1; e <= m.neff; ++e) {
    if (m.effectsave(e) == 1)
      for (int l = 1; l <= m.nlev(e); ++l)
        for (int t = 1; t <= nt; ++t)
          if (m.pos_eff(e, t) != 0)
            f(s.SOL(static_cast<long>(base + static_cast<long long>(l - 1) * nt + t)));
    base += static_cast<long long>(m.nlev(e)) * nt;
  }
}

// The shape of the robustness weights.
template <class F>
void each_robust_value(const model::State& s, F f) {
  if (model::robust_residuals()) f(s.w_alpha);
}

}  // namespace

void open_new(SampleFiles& f) {
  open_set(f, util::TextOut::Mode::replace, true);
  f.made_new = true;
}

void open_append(SampleFiles& f, bool with_mh_dbeliefchg) {
  open_set(f, util::TextOut::Mode::append, with_mh_dbeliefchg);
}

void close(SampleFiles& f) {
  f.made_new = false;
  f.varcompsam.close();
  f.loglike_rnd.close();
  f.mh_dbeliefchg.close();
  f.solutionsam.close();
}

void flush(SampleFiles& f) {
  f.varcompsam.flush();
  f.loglike_rnd.flush();
  f.mh_dbeliefchg.flush();
  f.solutionsam.flush();
}

void discard_empty(SampleFiles& f, bool stored) {
  util::TextOut* const files[] = {&f.varcompsam, &f.loglike_rnd, &f.mh_dbeliefchg, &f.solutionsam};
  const char* const names[] = {varcompsam_file, loglike_rnd_file, mh_dbeliefchg_file, solutionsam_file};
  bool own[4] = {};
  for (int k = 0; k < 4; ++k) {
    // A file that cannot be written out any more is closed all the same; a
    // file put in the place of an open one is not the run's to remove.
    try {
      own[k] = !files[k]->is_open() || files[k]->check().kind == util::TextOut::Check::same;
      files[k]->close();
    } catch (const util::Stop&) {
    }
  }
  if (!f.made_new || stored) return;
  for (int k = 0; k < 4; ++k)
    if (own[k] && util::file_size(names[k]) == 0) util::remove_file(names[k]);
}

void write_samples(const model::State& s, SampleFiles& f) {
  if (f.varcompsam.is_open()) {
    util::TextOut& o = f.varcompsam;
    o.free(m.round);
    each_dispersion_value(s, [&o](double v) { o.free(v); });
  }
  f.loglike_rnd.free(m.round, " ", s.logl_total);
  if (f.solutionsam.is_open()) {
    util::TextOut& o = f.solutionsam;
    o.free(m.round);
    each_solution_value(s, [&o](double v) { o.free(v); });
  }
}

void write_structural_samples(const model::State& s, SampleFiles& f) {
  if (m.r_nround <= 0) return;
  const bool scale_tuned = model::tuned_now(model::structural_tuning(), m.round);
  const bool alpha_tuned = model::tuned_now(model::structural_alpha_tuning(), m.round);
  for (int k = 1; k <= m.neffr; ++k) {
    const Structural kind = model::structural_kind(m.pos_effr(k));
    if (kind == Structural::scale && scale_tuned)
      f.mh_dbeliefchg.free(s.R_DBELIEFPROP(k));
    else if (kind == Structural::levels_alpha && alpha_tuned)
      f.mh_dbeliefchg.free(s.R_ALPHA_VARPROP(k));
  }
  if (m.round % m.skip == 0) each_structural_value(s, [&f](double v) { f.varcompsam.free(v); });
}

void write_robust_samples(const model::State& s, SampleFiles& f) {
  if (model::student_t(m.residualtype) && model::tuned_now(model::robust_alpha_tuning(), m.round))
    f.mh_dbeliefchg.free(s.w_alpha_varprop);
  if (m.round % m.skip == 0) each_robust_value(s, [&f](double v) { f.varcompsam.free(v); });
}

void write_breed_pair_tuning(SampleFiles& f, double dbelief) { f.mh_dbeliefchg.free(dbelief); }

void write_covariate_tuning(SampleFiles& f, int u, double varprop, double rate) {
  f.mh_dbeliefchg.free(u, varprop, rate);
}

void write_sire_probability(model::State& s, int animal, int sire, double probability) {
  s.msirespprsam.free(m.round, animal, sire, probability);
}

long long entry_lines(const model::State& s, const char* name, int round) {
  long long n = 1;
  auto count = [&n](double) { ++n; };
  if (name == std::string_view(solutionsam_file)) {
    each_solution_value(s, count);
    return n;
  }
  each_dispersion_value(s, count);
  if (round % m.skip != 0) return n;
  each_structural_value(s, count);
  each_robust_value(s, count);
  return n;
}

}  // namespace sampler
