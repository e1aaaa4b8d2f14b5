// Support of the result-file and restart tests: model descriptions and
// sampler states built by hand, with sums that match chosen means and
// standard deviations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "model/state.hpp"
#include "run/restart.hpp"
#include "run/store.hpp"
#include "sampler/samplefiles.hpp"
#include "model/model_support.hpp"
#include "state_support.hpp"

namespace storetest {

inline model::Model& M = model::m;

// Every per-effect array of the model sized, with the defaults of the
// parameter reader (not random, present for every trait in column 1).
inline void shape_model(int ntrait, int neff, int nrec) {
  modeltest::sized_model(ntrait, neff, nrec);
  for (int t = 1; t <= ntrait; ++t) M.pos_y(t) = 1;
  M.pos_eff.fill(1);
}

inline void allocate(model::State& s) {
  s = model::State{};
  s.neq = model::number_of_equations();
  s.reclen = 1;
  model::allocate_state(s);
}

// S and Q of n samples with this mean and standard deviation.
inline void set_pair(double& S, double& Q, double n, double mean, double sd) {
  S = mean * n;
  Q = n * (sd * sd + mean * mean);
}

// A value that varies in sign and size with k.
inline double wave(int k, double scale = 1.0) {
  return scale * ((k % 7) - 3 + 0.123457 * ((k * 37) % 11));
}

// Two traits, three effects, four records, kept count 90 at cycle 1000
// (burn-in 105, thinning 10):
//  1: animal of a reduced animal model, "add_an_ms", 3 levels, a pedigree of
//     5 (two animals without equations), candidate sires for animals 2 and 4;
//  2: cross-classified, "diag_mb" with two breeds (block of order 4);
//  3: covariable, not random, absent for trait 2.
// Cycles an acceptance sum holds after cycle `round` of a chain tuned every
// `window` cycles up to half of burn-in (an even burn-in here): those of the
// window still open, then the kept cycles.
inline double summed_cycles(int round, int nburn, int skip, int window) {
  const int tuned = std::min(round, nburn / 2);
  const int kept = round > nburn ? round / skip - nburn / skip : 0;
  return tuned % window + kept;
}

// Sums are set for n kept samples (the raw sums as they stand when n <= 0).
inline void model_a(model::State& s, int round, int nround, int nburn = 105, int skip = 10) {
  shape_model(2, 3, 4);
  M.nround = nround;
  M.nburn = nburn;
  M.skip = skip;
  M.round = round;
  M.effecttype(1) = model::EffectType::ram;
  M.nlev(1) = 3;
  M.randomtype(1) = model::RandomType::add_an_ms;
  M.randomnumb(1) = 1;
  M.lenped(1) = 5;
  M.effecttype(2) = model::EffectType::cro;
  M.nlev(2) = 2;
  M.randomtype(2) = model::RandomType::diag_mb;
  M.randomnumb(2) = 1;
  M.nbreed(2) = 2;
  M.effecttype(3) = model::EffectType::cov;
  M.nlev(3) = 1;
  M.pos_eff(3, 2) = 0;
  M.max_msires = 3;
  M.ms_alpha = 1.0f;
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) {
      M.g(1, i, j) = i == j ? 1.25 + i : 0.3125;
      M.r(i, j) = i == j ? 2.5 * i : -0.75;
    }
  // Each breed pair's block positive definite, as the sampler keeps them.
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j)
      M.g(2, i, j) = i == j ? 0.5 * i : i + j == 5 ? 0.125 : 0.0625 * (i + j);
  // Proposals tuned every 10 cycles in the first half of burn-in.
  M.mb_nround = 1;
  M.mb_skip = 10;

  allocate(s);
  const int n = model::kept_count(round);
  const double dn = n > 0 ? n : 1;  // sums of the chosen summaries
  const bool kept = nburn < round && n > 0;
  for (int a = 1; a <= s.neq; ++a) {
    s.SOL(a) = wave(a, 0.75);
    if (kept) set_pair(s.SUMSOL(a), s.SSSOL(a), dn, wave(a + 3, 1.5), 0.05 * a);
  }
  // Equations of trait 2 of effect 3 have no line: sums that stay 0.
  s.SUMSOL(12) = s.SSSOL(12) = 0;
  s.SOL_N.resize(2, 2);
  s.SUMSOL_N.resize(2, 2);
  s.SSSOL_N.resize(2, 2);
  for (int i = 1; i <= 2; ++i)
    for (int c = 1; c <= 2; ++c) {
      s.SOL_N(i, c) = wave(10 * i + c, 0.5);
      if (kept) set_pair(s.SUMSOL_N(i, c), s.SSSOL_N(i, c), dn, wave(i + 5 * c, 0.25), 0.125 * c);
    }
  for (int e = 1; e <= 2; ++e)
    for (int i = 1; i <= 20; ++i)
      for (int j = 1; j <= 20; ++j)
        if (M.g(e, i, j) != 0 && kept)
          set_pair(s.SUMG(e, i, j), s.SSG(e, i, j), dn, M.g(e, i, j) * 0.9, 0.01 * (i + j));
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j)
      if (kept) set_pair(s.SUMR(i, j), s.SSR(i, j), dn, M.r(i, j) * 1.1, 0.02 * (i + j));

  // Candidate sires: animal 2 (two candidates) and animal 4 (three).
  s.MS.resize(12);
  s.SUMMS.resize(12);
  s.SSMS.resize(12);
  s.MS_ALPHAS.resize(12);
  const int starts[2] = {1, 6}, animals[2] = {2, 4}, counts[2] = {2, 3};
  const double probs[5] = {0.375, 0.625, 0.2, 0.3, 0.5};
  const double times[5] = {36, 54, 9, 27, 54};
  int q = 0;
  for (int b = 0; b < 2; ++b) {
    const int p = starts[b];
    s.P_MS(animals[b]) = p;
    s.MS_STAT(animals[b]) = 1;
    s.MS(p) = counts[b];
    for (int k = 1; k <= counts[b]; ++k, ++q) {
      s.MS(p + 2 * k - 1) = 100 + 10 * b + k;
      s.MS(p + 2 * k) = probs[q];
      if (kept) {
        set_pair(s.SUMMS(p + 2 * k), s.SSMS(p + 2 * k), dn, probs[q] - 0.05, 0.0625 * k);
        s.SUMMS(p + 2 * k - 1) = times[q] * dn / 90.0;
      }
    }
  }
  // Multiple-breed proposals (degrees of belief that five tuning windows
  // reach from the start of 6).
  s.SUMMB_ACCEP.resize(3, 2, 2);
  s.MB_DBELIEF.resize(3, 2, 2);
  const double summed = summed_cycles(round, nburn, skip, 10);
  s.SUMMB_ACCEP(2, 1, 1) = 0.25 * summed;
  s.SUMMB_ACCEP(2, 1, 2) = 0.4375 * summed;
  s.SUMMB_ACCEP(2, 2, 2) = 0.5625 * summed;
  s.MB_DBELIEF(2, 1, 1) = 7;
  s.MB_DBELIEF(2, 1, 2) = 9;
  s.MB_DBELIEF(2, 2, 2) = 11;

  for (int i = 1; i <= 4; ++i) {
    if (kept) {
      const double cpo = 0.0123456789 * i;
      s.LOGL_OBS(i, 1) = dn / cpo;
      s.LOGL_OBS(i, 2) = dn * (-1.5 - 0.25 * i);
    }
    for (int c = 3; c <= 5; ++c) s.LOGL_OBS(i, c) = 0;
  }
}

// One trait, structural Student-t residuals with three structural effects,
// three records:
//  1: covariable (one scale factor, degrees-of-belief proposal);
//  2: cross-classified, "diagonal" random (factors per level and an alpha);
//  3: cross-classified, not random (factors per level only).
inline void model_b(model::State& s, int round, int nround, int nburn, int skip) {
  shape_model(1, 3, 3);
  M.nround = nround;
  M.nburn = nburn;
  M.skip = skip;
  M.round = round;
  M.effecttype(1) = model::EffectType::cov;
  M.nlev(1) = 1;
  M.effecttype(2) = model::EffectType::cro;
  M.nlev(2) = 3;
  M.randomtype(2) = model::RandomType::diagonal;
  M.randomnumb(2) = 1;
  M.effecttype(3) = model::EffectType::cro;
  M.nlev(3) = 2;
  M.g(2, 1, 1) = 0.875;
  M.r(1, 1) = 3.5;
  M.residualtype = model::ResidualType::struct_student_t;
  M.r_nround = 1;
  M.r_skip = 10;
  M.neffr = 3;
  M.pos_effr.resize(3);
  M.effrsave.resize(3);
  for (int k = 1; k <= 3; ++k) M.pos_effr(k) = k;

  allocate(s);
  const int n = model::kept_count(round);
  const double dn = n > 0 ? n : 1;
  const bool kept = nburn < round && n > 0;
  for (int a = 1; a <= s.neq; ++a) {
    s.SOL(a) = wave(a, 2.0);
    s.R_SOL(a) = 1.0 + 0.0625 * a;
    if (kept) {
      set_pair(s.SUMSOL(a), s.SSSOL(a), dn, wave(a + 1), 0.5);
      set_pair(s.SUMR_SOL(a), s.SSR_SOL(a), dn, 1.0 + 0.03125 * a, 0.015625 * a);
    }
  }
  if (kept) {
    set_pair(s.SUMG(2, 1, 1), s.SSG(2, 1, 1), dn, 0.8, 0.125);
    set_pair(s.SUMR(1, 1), s.SSR(1, 1), dn, 3.25, 0.25);
    set_pair(s.SUMR_ALPHA(2), s.SSR_ALPHA(2), dn, 4.5, 0.75);
    set_pair(s.sumw_alpha, s.ssw_alpha, dn, 5.25, 1.125);
    for (int i = 1; i <= 3; ++i)
      set_pair(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i), dn, 0.75 + 0.125 * i, 0.0625 * i);
    for (int i = 1; i <= 3; ++i) {
      s.LOGL_OBS(i, 1) = dn / (0.03125 * i);
      s.LOGL_OBS(i, 2) = dn * -2.0;
    }
  }
  s.R_ALPHA(2) = 4.75;
  s.w_alpha = 6.5;
  for (int i = 1; i <= 3; ++i) s.WEIGHT_ROBUST(i) = 0.5 + 0.25 * i;
  // Settings that tuning reaches from 2000 and 0.1 in four or five windows
  // of 10 cycles.
  const double summed = summed_cycles(round, nburn, skip, 10);
  s.SUMR_ACCEP(1) = 0.375 * summed;
  s.R_DBELIEFPROP(1) = 1900;
  s.SUMR_ALPHAACCEP(2) = 0.3125 * summed;
  s.R_ALPHA_VARPROP(2) = 0.075;
  s.sumw_alphaaccep = 0.46875 * summed;
  s.w_alpha_varprop = 0.078125;
}

// The result files a store writes, as far as the model calls for them.
inline const char* const result_files[] = {"solutions",     "msiresppr",    "varcomp",     "loglike_obs",
                                           "mh_acceptance", "structural_r", "robustness_w"};

// A value a result file must never hold.
inline bool has_nan_or_inf(const std::string& text) {
  return text.find("NaN") != std::string::npos || text.find("Inf") != std::string::npos ||
         text.find("nan") != std::string::npos || text.find("inf") != std::string::npos;
}

// Runs each test in its own folder; leaves the sample files closed.
class StoreFolder : public statetest::InFolder {
 protected:
  // A store; over sample files of make_sample_files, the entries of the
  // cycle are written first, as the cycle before a store does.
  statetest::Run store() {
    if (fake_samples_) add_sample_entries();
    return statetest::capture([&] { run::store_solutions(state_); });
  }
  // Through the chain's writer of the file when it is open; else into the
  // file, which its writer then takes as it stands.
  void add_sample_entries() {
    sampler::SampleFiles& sf = sampler::sample_files(state_);
    auto add = [&](const char* f, util::TextOut& o, const std::string& text) {
      if (!exists(f)) return;
      if (o.is_open()) {
        o.write(text);
        return;
      }
      write(f, slurp(f) + text);
      o.resume(util::Tally{-1, 0, false});
    };
    const std::string c = " " + std::to_string(M.round) + "\n";
    for (const char* f : {"varcompsam", "solutionsam"}) {
      std::string entry = c;
      for (long long k = 1; k < sampler::entry_lines(state_, f, M.round); ++k)
        entry += " 0.5\n";
      add(f, f == std::string("varcompsam") ? sf.varcompsam : sf.solutionsam, entry);
    }
    add("loglike_rnd", sf.loglike_rnd, " " + std::to_string(M.round) + " -1.5\n");
  }
  statetest::Run restart(int start) {
    return statetest::capture([&] { run::restart(state_, start); });
  }
  // Model A at cycle 1000 of 2000, with samples of effect 3 saved.
  void model_a_saving() {
    model_a(state_, 1000, 2000);
    M.effectsave(3) = 1;
  }
  // A store of that model over sample files that hold a line each; the
  // sample files are left closed, for a restart at cycle 1001.
  void store_a_with_samples() {
    make_sample_files();
    model_a_saving();
    ASSERT_EQ(store().stop, "");
    sampler::close(sampler::sample_files(state_));
    state_.msirespprsam.close();
  }
  // The result files present in the folder, by name.
  std::map<std::string, std::string> results() const {
    std::map<std::string, std::string> m;
    for (const char* f : result_files)
      if (exists(f)) m[f] = slurp(f);
    return m;
  }
  void TearDown() override {
    sampler::close(sampler::sample_files(state_));
    state_ = model::State{};
    statetest::InFolder::TearDown();
  }
  static std::string slurp(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  // The sample files of a chain, with some lines in them.
  void make_sample_files() {
    for (const char* f : {"varcompsam", "loglike_rnd", "mh_dbeliefchg", "solutionsam", "msirespprsam"})
      write(f, std::string(" 1 ") + f + "\n");
    fake_samples_ = true;
  }
  model::State state_;
  bool fake_samples_ = false;
};

}  // namespace storetest
