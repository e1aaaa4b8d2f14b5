#include "run/cycle.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "dense/denseop.hpp"
#include "dense/ginv1.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "run/store.hpp"
#include "run/results/store_record.hpp"
#include "sampler/block_pass.hpp"
#include "sampler/candidate_sires.hpp"
#include "sampler/gibbs.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/references.hpp"
#include "sampler/rnorm.hpp"
#include "sampler/samplefiles.hpp"
#include "sampler/eq_plan.hpp"
#include "sampler/setup_eq.hpp"
#include "sparse/pcg.hpp"
#include "sparse/settings.hpp"
#include "util/clock.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run {

namespace {

model::Model& M = model::m;

// Effect and level of the block whose first equation is f.
void block_owner(int f, int& effect, int& level) {
  long index = (f - 1) / M.ntrait + 1;  // 1-based level over all effects
  for (int e = 1; e <= M.neff; ++e) {
    if (index <= M.nlev(e)) {
      effect = e;
      level = static_cast<int>(index);
      return;
    }
    index -= M.nlev(e);
  }
  effect = M.neff;
  level = 0;
}

}  // namespace

void check_model_classes() {
  sampler::check_candidate_model();
  sampler::check_rnorm_model();
}

void invert_group_blocks() {
  const std::size_t cells =
      static_cast<std::size_t>(M.g.extent1() * M.g.extent2() * M.g.extent3());
  if (M.ginv.extent1() != M.g.extent1() || M.ginv.extent2() != M.g.extent2() ||
      M.ginv.extent3() != M.g.extent3())
    M.ginv = M.g;
  else if (cells > 0)
    std::memcpy(M.ginv.data(), M.g.data(), sizeof(double) * cells);
  // The inverse reads and writes only the leading n by n of the block.
  double block[model::maxcorr * model::maxcorr];
  for (int i = 1; i <= M.neff; ++i) {
    if (M.randomnumb(i) == 0) continue;
    // A multiple-breed group reads g, except one built by the additive rules,
    // which read G^-1.
    if (model::multiple_breed(model::build_type(i))) continue;
    // Rows of an effect absent for a trait take no part: the present rows'
    // covariance is their own block of G, whose inverse is not the present
    // rows of G^-1 (those would condition on the absent rows held at 0).
    int rows[model::maxcorr];
    const int n = model::present_rows(i, rows);
    for (int c = 1; c <= n; ++c)
      for (int r = 1; r <= n; ++r) block[(r - 1) + (c - 1) * n] = M.g(i, rows[r - 1], rows[c - 1]);
    int rank = 0;
    denseop::ginv1(block, n, n, 1e-18, rank);
    const int d = M.randomnumb(i) * M.ntrait;
    if (n < d)
      for (int c = 1; c <= d; ++c)
        for (int r = 1; r <= d; ++r) M.ginv(i, r, c) = 0.0;
    for (int c = 1; c <= n; ++c)
      for (int r = 1; r <= n; ++r) M.ginv(i, rows[r - 1], rows[c - 1]) = block[(r - 1) + (c - 1) * n];
  }
}

void reset_equations(model::State& s) {
  s.XY.fill(0.0);
  s.logl_total = 0;
  sampler::reset_matrix_values(s);
}

void start_solutions(model::State& s, bool create_files) {
  sparsem::default_iter(1e-10f, 400, 1.4f);
  pcg::solve_sparse_hashm_pcg(s.XX, s.XY, s.SOL);
  if (s.neq <= 20) {
    util::FmtArgs args(" start solutions: ");
    for (int i = 1; i <= s.neq; ++i) args.add(s.SOL(i));
    util::say_text(util::format("(a/(10f8.2))", args));
  }
  if (!create_files) return;
  // New sample files: a store record of an earlier chain here no longer
  // describes them.
  record::forget();
  sampler::open_new(sampler::sample_files(s));
}

void setup_eq_rnorm(model::State& s) {
  // Both passes work on the one pair of XX and XY that the cycle zeroed:
  // no record term couples an effect of one pass with one of the other.
  for (int pass = 1; pass <= 2; ++pass) {
    sampler::build_pass(s, pass);
    denseop::denseop_tol = 1e-9;
    sampler::link_equations(s);
    // The references are among the effects of the second pass; its build
    // has read the data.
    if (pass == 2 && M.round == M.start) sampler::settle_references(s);
    if (M.round == 1) start_solutions(s, pass == 1);
    if (pass == 2) sampler::hold_references(s);
    sampler::draw_pass(s, pass);
    if (pass == 2) sampler::zero_held_solutions(s);
  }
}

void gibbssol(model::State& s) {
  denseop::denseop_tol = 1e-9;
  // XX_IJA from XX, unless the build went straight there.
  sampler::complete_equations(s);
  // The data are read by the first cycle's build: the references are found
  // after it, before any draw.
  if (M.round == M.start) sampler::settle_references(s);
  // The starting solutions solve the equations as built, the held ones
  // with them; the pass then starts from these with the held ones at 0.
  if (M.round == 1) start_solutions(s, true);
  sampler::hold_references(s);
  const int bad = sampler::draw_block_pass(s.XX_IJA, s.XY, s.SOL, s.neq, M.ntrait);
  sampler::zero_held_solutions(s);
  if (bad > 0) {
    int effect = 0, level = 0;
    block_owner(bad, effect, level);
    util::fatal(" The draw of effect " + std::to_string(effect) + " level " + std::to_string(level) +
                " in cycle " + std::to_string(M.round) +
                " is not a number: the equations of this block are not usable");
  }
}

void end_cycle(model::State& s) {
  const long long round = M.round, skip = M.skip;
  const bool store = round < M.nround && round % (100 * skip) == 0;
  if (store) store_solutions(s, true);
  if (round % (10 * skip) != 0) return;
  s.cpu_now = util::cpu_seconds();
  const float elapsed = s.cpu_now - s.cpu_start;
  const float rate = static_cast<float>(600LL * M.skip) / (s.cpu_now - s.cpu_last);
  util::say("round ", M.round, "elapsed time ", elapsed, " s ", "(", rate, "rounds/min )");
  s.cpu_last = util::cpu_seconds();
  // The store flushed what came before; its cycle's line goes out with it.
  if (store) std::fflush(stdout);
}

int run_cycles(model::State& s, CycleTimes* times) {
  using clock = std::chrono::steady_clock;
  const auto seconds = [](clock::time_point a, clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
  };
  const int first = M.start, last = M.nround;
  int cycles = 0;
  const bool rnorm = sampler::reaction_norm_model();
  for (int round = first; round <= last; ++round) {
    M.round = round;
    clock::time_point t0, t1, t2;
    if (times) t0 = clock::now();
    invert_group_blocks();
    reset_equations(s);
    if (rnorm) {
      setup_eq_rnorm(s);
      if (times) t1 = t2 = clock::now();
    } else {
      sampler::setup_eq(s);
      if (times) t1 = clock::now();
      gibbssol(s);
      if (times) t2 = clock::now();
    }
    sampler::gibbsvar(s);
    end_cycle(s);
    ++cycles;
    if (times) {
      const clock::time_point t3 = clock::now();
      times->build = seconds(t0, t1);
      times->blocks = seconds(t1, t2);
      times->dispersion = seconds(t2, t3);
      if (times->after_cycle) times->after_cycle(s, *times, times->user);
    }
  }
  M.round = M.nround;
  return cycles;
}

void logl_thetabar(model::State& s) {
  const int nt = M.ntrait;
  const double n = static_cast<double>(model::kept_count(M.nround));
  const sampler::RecordCursor& c = sampler::workspace(s).cursor;
  double rin[model::maxcorr * model::maxcorr];
  double e[model::maxcorr];
  const double cst = static_cast<double>(static_cast<float>(nt) * 0.5f) * -1.8378770942368803;
  // The group whose animals beyond its levels have no equations.
  const int e8 = s.SUMSOL_N.rows() > 0 ? model::reduced_animal_group() : 0;
  const bool robust = model::robust_residuals();
  for (int irec = 1; irec <= M.nrec; ++irec) {
    s.irec = irec;
    for (int j = 1; j <= nt; ++j)
      for (int i = 1; i <= nt; ++i) M.rinv(i, j) = s.SUMR(i, j) / n;
    sampler::decode_record(s);
    sampler::find_addresses(s);
    double sc = sampler::structural_scale(s, [&s, n](int q) { return s.SUMR_SOL(q) / n; });
    if (robust) sc = sc / (s.SUMWEIGHT_ROBUST(irec) / n);
    s.res_scale = sc;
    // The record weight is a precision: the record's covariance is sc R / w.
    const double cov_scale = sc / s.rec_weight;
    for (int j = 1; j <= nt; ++j)
      for (int i = 1; i <= nt; ++i) rin[(i - 1) + (j - 1) * nt] = cov_scale * M.rinv(i, j);
    denseop::finvcs8(rin, nt, nt, M.rinv.data(), nt);
    sampler::predict_missing_y(s);
    // An animal without an equation enters with its mean value (parents'
    // average plus Mendelian term) in place of its parents' slots.
    int nonparent = 0;
    if (e8 > 0) {
      const int an = static_cast<int>(s.INDATA(irec, M.pos_eff(e8, 1)));
      if (an > M.nlev(e8)) nonparent = an - M.nlev(e8);
    }
    // Every slot of each trait enters (its own count), and a slot holding the
    // missing code contributes nothing.
    for (int t = 1; t <= nt; ++t) {
      double r = static_cast<double>(s.Y(t));
      if (nonparent > 0) r = r - s.SUMSOL_N(nonparent, t) / n;
      const int ns = c.naddr_t(t);
      for (int j = 1; j <= ns; ++j) {
        const int eff = c.SLOT_EFF(j, t);
        if (eff <= 0 || (nonparent > 0 && eff == e8)) continue;
        const int a = s.ADDRESS(j, t);
        if (M.effecttype(eff) == model::EffectType::unk)
          r = r - s.SOL(a);
        else
          r = r - static_cast<double>(s.WEIGHT_COV(j, t)) * s.SUMSOL(a) / n;
      }
      e[t - 1] = r;
    }
    double q = 0;
    for (int t1 = 1; t1 <= nt; ++t1)
      for (int t2 = 1; t2 <= nt; ++t2) q += e[t1 - 1] * M.rinv(t2, t1) * e[t2 - 1];
    for (int t = 1; t <= nt; ++t) s.LOGL_OBS(irec, 3 + t) = e[t - 1] * std::sqrt(M.rinv(t, t));
    s.LOGL_OBS(irec, 3) = 0.5 * (std::log(denseop::fdets8(M.rinv.data(), nt, nt)) - q) + cst;
  }
}

void finish_run(model::State& s, int cycles_run) {
  // The pass needs the data (read by the first cycle of this run) and at
  // least one kept sample.
  if (M.nround > M.nburn && cycles_run > 0 && model::kept_count(M.nround) > 0) {
    // Its imputations draw outside the chain: the store keeps the stream
    // where the last cycle left it, for a chain made longer.
    const rangen::Stream after_cycles = rangen::stream();
    logl_thetabar(s);
    rangen::set_stream(after_cycles);
  }
  store_solutions(s);
  s.cpu_now = util::cpu_seconds();
  const float elapsed = s.cpu_now - s.cpu_start;
  const float minutes = elapsed / 60.0f;
  // A restart after the last cycle runs none: there is no rate to give.
  if (cycles_run <= 0) {
    util::say(" Time elapsed ", minutes, " min", "(", "no cycles run", ")");
    return;
  }
  const float rate = static_cast<float>(60 * (M.nround - M.start)) / elapsed;
  util::say(" Time elapsed ", minutes, " min", "(", rate, "rounds/min )");
}

}  // namespace run
