// Restart from the result files: each file written in its layout, read back
// and stored again (store -> restart -> store),
// sums that go on as in an uninterrupted chain, restarts inside and after
// burn-in, the sample files, and every message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "model/schedule.hpp"
#include "run/restart.hpp"
#include "run/store.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/rnorm.hpp"
#include "sampler/samplefiles.hpp"
#include "store_support.hpp"
#include "util/format.hpp"

namespace {

using statetest::capture;
using statetest::expect_golden;
using statetest::lines;
using namespace storetest;

// The refusal of a line whose values cannot be read, with the reader's words
// for what it wanted there: the file ends at line n (cut), or holds
// something else on line n.  Both name the file and the remedy.
std::string unreadable(const std::string& file, std::size_t n, bool cut, const std::string& what, int cycle) {
  return " restart refused: \"" + file + "\" " +
         (cut ? "ends at line " + std::to_string(n) + ", short of the lines the model gives"
              : "line " + std::to_string(n) + " cannot be read as the model's values") +
         " (" + what + "): the file was " + (cut ? "cut or changed" : "changed") +
         " after the store; put back the file that the store of cycle " + std::to_string(cycle) + " wrote";
}

class Restart : public StoreFolder {
 protected:
  // What a restarted run holds before the restart: the start values, with
  // the candidate counts and sire ids of the multiple-sires file.
  void wipe() {
    model::State& s = state_;
    for (auto* v : {&s.SOL, &s.SUMSOL, &s.SSSOL, &s.R_SOL, &s.SUMR_SOL, &s.SSR_SOL, &s.SUMR_ACCEP,
                    &s.R_ALPHA, &s.SUMR_ALPHAACCEP, &s.SUMR_ALPHA, &s.SSR_ALPHA, &s.WEIGHT_ROBUST,
                    &s.SUMWEIGHT_ROBUST, &s.SSWEIGHT_ROBUST, &s.SUMMS, &s.SSMS})
      v->fill(0.0);
    for (auto* a : {&s.SOL_N, &s.SUMSOL_N, &s.SSSOL_N, &s.SUMR, &s.SSR, &s.LOGL_OBS}) a->fill(0.0);
    for (auto* a : {&s.SUMG, &s.SSG, &s.SUMMB_ACCEP}) a->fill(0.0);
    // Proposal settings at the start values the run gives them.
    s.MB_DBELIEF.fill(0);
    for (int e = 1; e <= M.neff; ++e)
      if (model::multiple_breed(M.randomtype(e)))
        for (int b1 = 1; b1 <= M.nbreed(e); ++b1)
          for (int b2 = 1; b2 <= M.nbreed(e); ++b2) s.MB_DBELIEF(e, b1, b2) = M.nlev(e);
    s.R_DBELIEFPROP.fill(2000);
    s.R_ALPHA_VARPROP.fill(static_cast<double>(0.1f));
    s.w_alpha_varprop = static_cast<double>(0.1f);
    s.w_alpha = s.sumw_alpha = s.ssw_alpha = s.sumw_alphaaccep = 0;
    M.g.fill(0.0);
    M.r.fill(0.0);
    for (int p = 1; p <= s.MS.size();) {  // probabilities only
      const int k = static_cast<int>(s.MS(p));
      for (int j = 1; j <= k; ++j) s.MS(p + 2 * j) = 0;
      p += 1 + 2 * k;
    }
  }
  // Line k (from 0) of a file replaced.
  static void replace_line(const std::string& file, std::size_t k, const std::string& text) {
    auto v = lines(slurp(file));
    ASSERT_LT(k, v.size());
    v[k] = text;
    std::string out;
    for (const auto& l : v) out += l + "\n";
    write(file, out);
  }
  static void keep_lines(const std::string& file, std::size_t n) {
    auto v = lines(slurp(file));
    std::string out;
    for (std::size_t i = 0; i < n && i < v.size(); ++i) out += v[i] + "\n";
    write(file, out);
  }
  static bool finite(const model::State& s) {
    auto ok = [](const auto& v, long n) {
      for (long i = 0; i < n; ++i)
        if (!std::isfinite(v.data()[i])) return false;
      return true;
    };
    return ok(s.SUMSOL, s.SUMSOL.size()) && ok(s.SSSOL, s.SSSOL.size()) &&
           ok(s.LOGL_OBS, s.LOGL_OBS.rows() * s.LOGL_OBS.cols()) && ok(s.SUMR, s.SUMR.rows() * s.SUMR.cols()) &&
           ok(s.SSR, s.SSR.rows() * s.SSR.cols()) && ok(s.SUMR_SOL, s.SUMR_SOL.size()) &&
           ok(s.SSR_SOL, s.SSR_SOL.size()) && ok(s.SUMWEIGHT_ROBUST, s.SUMWEIGHT_ROBUST.size()) &&
           ok(s.SSWEIGHT_ROBUST, s.SSWEIGHT_ROBUST.size()) && std::isfinite(s.sumw_alpha) &&
           std::isfinite(s.ssw_alpha) && std::isfinite(s.sumw_alphaaccep) && ok(s.SUMR_ACCEP, s.SUMR_ACCEP.size());
  }
};

// Each result file of a store, in its layout, read back by a restart after
// the last cycle, and stored again the same.  Two traits, candidate sires, a
// multiple-breed group, animals without equations, a covariable absent for
// one trait; the final store of a chain, past burn-in, the evaluation at the
// posterior means included.
TEST_F(Restart, ResultFilesWrittenReadBackAndStoredAgain) {
  make_sample_files();
  model_a(state_, 1000, 1000);
  for (int i = 1; i <= 4; ++i)
    for (int c = 3; c <= 5; ++c) state_.LOGL_OBS(i, c) = wave(4 * i + c, 0.3);
  {
    const auto r = store();
    ASSERT_EQ(r.stop, "");
    EXPECT_EQ(r.out,
              " solutions stored in file: \"solutions\"\n"
              " msires ppr stored in file: \"msiresppr\"\n"
              " variance components stored in file: \"varcomp\"\n"
              " loglike_obs stored in file: \"loglike_obs\"\n"
              " acceptance rates and degrees of belief stored in file: \"mh_acceptance\"\n");
    for (const char* f : {"solutions", "msiresppr", "varcomp", "loglike_obs", "mh_acceptance"}) {
      const std::string text = slurp(f);
      expect_golden(std::string("store_a_") + f + ".txt", text);
      EXPECT_FALSE(has_nan_or_inf(text)) << f;
    }
    EXPECT_FALSE(exists("structural_r"));
    EXPECT_FALSE(exists("robustness_w"));
    for (const auto& e : std::filesystem::directory_iterator("."))
      EXPECT_NE(e.path().extension(), ".tmp") << e.path();  // every temporary renamed

    // Spot checks against the layout: title, head, field widths.
    const auto sol = lines(slurp("solutions"));
    EXPECT_EQ(sol[0], " Solution after:  1000  rounds and burn-in of  105");
    EXPECT_EQ(sol[1], "trait effect level     mean            sd            last ");
    // 3 levels x 2 traits, 2 animals without equations x 2 traits, 2 levels x
    // 2 traits, covariable for trait 1 only.
    EXPECT_EQ(sol.size(), 2u + 6 + 4 + 4 + 1);
    for (std::size_t i = 2; i < sol.size(); ++i) EXPECT_EQ(sol[i].size(), 3u + 3 + 8 + 45) << i;
    EXPECT_EQ(sol[8].substr(0, 14), "  1  1       4");  // the first animal without equation
    EXPECT_EQ(sol.back().substr(0, 14), "  1  3       1");
    // Mean of the first equation: S / 90.
    EXPECT_NEAR(std::stod(sol[2].substr(14, 15)), state_.SUMSOL(1) / 90, 5e-7);
    const auto ms = lines(slurp("msiresppr"));
    EXPECT_EQ(ms[1], "  animal    sire      post.prob.        sd           last       sample prop");
    ASSERT_EQ(ms.size(), 2u + 5);
    EXPECT_EQ(ms[2], "       2     101      0.325000      0.062500      0.375000      0.400000");
    EXPECT_EQ(ms[6], "       4     113      0.450000      0.187500      0.500000      0.600000");
  }
  const auto first = results();
  ASSERT_EQ(first.size(), 5u);
  const model::State before = std::move(state_);

  model_a(state_, 1000, 1000);
  wipe();
  const auto r = restart(1001);
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(r.out,
            " read random stream, sires and model of the chain from file: \"chain_state\"\n"
            " read solutions from file: \"solutions\"\n"
            " read msires ppr from file: \"msiresppr\"\n"
            " read variance components from file: \"varcomp\"\n"
            " read loglike_obs from file: \"loglike_obs\"\n"
            " Read acceptance rates and proposal dbelief from file: \"mh_acceptance\"\n");
  // Current samples from the "last" columns, sums from mean and sd.
  for (int a = 1; a <= 11; ++a) {
    EXPECT_NEAR(state_.SOL(a), before.SOL(a), 1e-6) << a;
    EXPECT_NEAR(state_.SUMSOL(a), before.SUMSOL(a), 90 * 1e-6) << a;
    EXPECT_NEAR(state_.SSSOL(a), before.SSSOL(a), 1e-3 * (1 + before.SSSOL(a))) << a;
  }
  // Equation 12 (the covariable, trait 2) has no line: start values stay.
  EXPECT_EQ(state_.SUMSOL(12), 0.0);
  EXPECT_EQ(state_.SOL(12), 0.0);
  EXPECT_NEAR(state_.SOL_N(2, 1), before.SOL_N(2, 1), 1e-6);
  EXPECT_NEAR(state_.SUMSOL_N(2, 1), before.SUMSOL_N(2, 1), 90 * 1e-6);
  EXPECT_EQ(M.g(2, 4, 4), 2.0);
  EXPECT_EQ(M.r(1, 2), -0.75);
  EXPECT_EQ(state_.MS(8), 0.2);            // animal 4, candidate 1
  EXPECT_NEAR(state_.SUMMS(7), 9, 1e-9);   // its count: proportion 0.1 x 90
  EXPECT_EQ(state_.MS(7), 111.0);          // ids stay as read from the file
  EXPECT_NEAR(state_.SUMMB_ACCEP(2, 1, 2), 0.4375 * 92, 1e-12);  // 2 cycles of tuning and 90 kept
  EXPECT_EQ(state_.MB_DBELIEF(2, 2, 2), 11);
  EXPECT_NEAR(state_.LOGL_OBS(3, 1), before.LOGL_OBS(3, 1), 1e-6 * before.LOGL_OBS(3, 1));
  EXPECT_NEAR(state_.LOGL_OBS(3, 4), before.LOGL_OBS(3, 4), 5e-13);

  M.round = 1000;
  ASSERT_EQ(store().stop, "");
  EXPECT_EQ(results(), first);
}

// The same for the files of structural and heavy-tailed residuals
// ("structural_r", "robustness_w" and every kind of acceptance line): a
// periodic store, then a restart at the next cycle with no cycle left to run.
TEST_F(Restart, ResidualFilesWrittenReadBackAndStoredAgain) {
  make_sample_files();
  model_b(state_, 300, 400, 100, 5);  // 40 kept samples
  {
    const auto r = store();
    ASSERT_EQ(r.stop, "");
    EXPECT_EQ(r.out,
              " solutions stored in file: \"solutions\"\n"
              " variance components stored in file: \"varcomp\"\n"
              " loglike_obs stored in file: \"loglike_obs\"\n"
              " acceptance rates and degrees of belief stored in file: \"mh_acceptance\"\n"
              " Structural R  stored in file: \"structural_r\"\n"
              " Robustness weights stored in file: \"robustness_w\"\n");
    for (const char* f : {"mh_acceptance", "structural_r", "robustness_w", "loglike_obs"}) {
      const std::string text = slurp(f);
      expect_golden(std::string("store_b_") + f + ".txt", text);
      EXPECT_FALSE(has_nan_or_inf(text)) << f;
    }
    const auto acc = lines(slurp("mh_acceptance"));
    ASSERT_EQ(acc.size(), 6u);
    EXPECT_EQ(acc[0], " Acceptance rate & proposal dbelief for structural R effect:  1");
    EXPECT_EQ(acc[1], "  0.37500000      1900");
    EXPECT_EQ(acc[2], " Acceptance rate & proposal variance for alpha of structural R effect:  2");
    EXPECT_EQ(acc[3], "  0.31250000  0.07500000");
    EXPECT_EQ(acc[4], " Acceptance rate & proposal variance for alpha of robust R ");
    EXPECT_EQ(acc[5], "  0.46875000  0.07812500");
    const auto st = lines(slurp("structural_r"));
    // Alpha line of the random cross-classified effect: I3, I3, A8, 3 F15.6.
    EXPECT_EQ(st[3], "  1  2   alpha       4.500000       0.750000       4.750000");
    const auto rw = lines(slurp("robustness_w"));
    EXPECT_EQ(rw[1], "trait    record       mean            sd            last ");
    EXPECT_EQ(rw[2], "  1     alpha       5.250000       1.125000       6.500000");
    EXPECT_EQ(rw[3], "  1         1       0.875000       0.062500       0.750000");
  }
  const auto first = results();
  ASSERT_EQ(first.size(), 6u);

  model_b(state_, 300, 300, 100, 5);
  wipe();
  const auto r = restart(301);
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(r.out,
            " read random stream, sires and model of the chain from file: \"chain_state\"\n"
            " read solutions from file: \"solutions\"\n"
            " read variance components from file: \"varcomp\"\n"
            " read loglike_obs from file: \"loglike_obs\"\n"
            " Read acceptance rates and proposal dbelief from file: \"mh_acceptance\"\n"
            " read structural R from file: \"structural_r\"\n"
            " Read robustness weights from file: \"robustness_w\"\n");
  EXPECT_EQ(state_.R_ALPHA(2), 4.75);
  EXPECT_EQ(state_.w_alpha, 6.5);
  EXPECT_EQ(state_.WEIGHT_ROBUST(3), 1.25);
  EXPECT_EQ(state_.R_DBELIEFPROP(1), 1900);
  EXPECT_NEAR(state_.SUMR_ACCEP(1), 0.375 * 40, 1e-12);
  EXPECT_EQ(state_.R_ALPHA_VARPROP(2), 0.075);
  EXPECT_NEAR(state_.sumw_alphaaccep, 0.46875 * 40, 1e-12);
  EXPECT_NEAR(state_.SUMR_ALPHA(2), 4.5 * 40, 1e-9);
  EXPECT_NEAR(state_.SSR_ALPHA(2), 40 * (0.75 * 0.75 + 4.5 * 4.5), 1e-9);
  EXPECT_NEAR(state_.sumw_alpha, 5.25 * 40, 1e-9);

  ASSERT_EQ(store().stop, "");
  EXPECT_EQ(results(), first);
}

// A reaction norm on an unknown covariable, both structural: the unknown
// covariable random (factors per level and a shape), the reaction norm with
// one factor, so that the covariates are drawn by Metropolis-Hastings.  Burn-in
// 100, thinning 5, the covariates tuned every 5 cycles up to cycle 50.
void model_c(model::State& s, int round) {
  shape_model(1, 3, 4);
  M.nround = 400;
  M.nburn = 100;
  M.skip = 5;
  M.round = round;
  M.nlev(1) = 1;
  M.effecttype(2) = model::EffectType::unk;
  M.nlev(2) = 3;
  M.randomtype(2) = model::RandomType::diagonal;
  M.randomnumb(2) = 1;
  M.g(2, 1, 1) = 2.0;
  M.effecttype(3) = model::EffectType::rno;
  M.nlev(3) = 2;
  M.nestedcov(3, 1) = 2;
  M.r(1, 1) = 1.5;
  M.residualtype = model::ResidualType::structural;
  M.r_nround = 2;
  M.r_skip = 5;
  M.neffr = 2;
  M.pos_effr.resize(2);
  M.effrsave.resize(2);
  M.pos_effr(1) = 2;
  M.pos_effr(2) = 3;
  allocate(s);
  for (int a = 1; a <= s.neq; ++a) s.SOL(a) = wave(a, 0.5);
  s.R_ALPHA(1) = 4.75;
  s.R_ALPHA_VARPROP(1) = 0.09;
  s.R_DBELIEFPROP(2) = 1458;
  s.H_VARPROP(2) = 100.0 * sampler::narrow * sampler::narrow * sampler::narrow;
}

// The shape of the random structural effect on the unknown covariable, and
// the covariates' proposal variance and acceptance sums (over the 3 cycles
// since the tuning step of cycle 20), come back as the store left them;
// values the tuning cannot have left are refused.
TEST_F(Restart, TunedCovariatesAndTheShapeOfAnUnknownCovariable) {
  const double rates[3] = {0.25, 0.5, 0.375};
  make_sample_files();
  model_c(state_, 23);
  for (int l = 1; l <= 3; ++l) state_.SUMH_ACCEP(sampler::address1(2, l, 1)) = rates[l - 1] * 3 * 2;
  ASSERT_EQ(store().stop, "");
  const std::string acc = slurp("mh_acceptance");
  EXPECT_NE(acc.find(" Acceptance rates & proposal variance for covariates of unknown covariable:  2\n"
                     " 72.89999421\n"
                     "       1  0.25000000\n"
                     "       2  0.50000000\n"
                     "       3  0.37500000\n"),
            std::string::npos)
      << acc;
  EXPECT_NE(acc.find("Acceptance rate & proposal variance for alpha of structural R effect:  2"), std::string::npos);
  EXPECT_NE(slurp("structural_r").find("  1  2   alpha"), std::string::npos);
  sampler::close(sampler::sample_files(state_));

  model_c(state_, 23);
  wipe();
  state_.H_VARPROP.fill(100.0);
  state_.R_ALPHA.fill(3.0);
  state_.R_ALPHA_VARPROP.fill(0.1);
  state_.R_DBELIEFPROP.fill(2000);
  ASSERT_EQ(restart(24).stop, "");
  EXPECT_NEAR(state_.H_VARPROP(2), 72.899994, 1e-6);
  for (int l = 1; l <= 3; ++l) EXPECT_EQ(state_.SUMH_ACCEP(sampler::address1(2, l, 1)), rates[l - 1] * 6) << l;
  EXPECT_EQ(state_.R_ALPHA(1), 4.75);
  EXPECT_EQ(state_.R_ALPHA_VARPROP(1), 0.09);
  EXPECT_EQ(state_.R_DBELIEFPROP(2), 1458);
  sampler::close(sampler::sample_files(state_));

  const std::size_t head = lines(acc).size() - 5;  // the covariates' label line
  struct Bad {
    std::size_t line;  // from the label line
    const char* text;
    std::string stop;
  };
  const Bad bad[] = {
      {1, "  1000.00000000",
       "holds a proposal variance of 1000, outside the 65.60999304771451 to 121.5506029200569 "
       "(above 0) that tuning "
       "reaches by cycle 23"},
      {1, "  0.00000000",
       "holds a proposal variance of 0, outside the 65.60999304771451 to 121.5506029200569 (above "
       "0) that tuning "
       "reaches by cycle 23"},
      {3, "       2  1.50000000", "holds an acceptance rate of 1.5, outside 0 to 1"},
      {3, "       3  0.50000000", "is for level 3 where the model has level 2"},
      // A level line without its rate, the file's last: the read runs off its end.
      {4, "       3",
       unreadable("mh_acceptance", head + 5, true, "error reading acceptance rates of the covariates of effect: 2",
                  23)},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.text);
    replace_line("mh_acceptance", head + b.line, b.text);
    model_c(state_, 23);
    state_.H_VARPROP.fill(100.0);  // as a run starts
    state_.R_DBELIEFPROP.fill(2000);
    state_.R_ALPHA_VARPROP.fill(0.1);
    const std::string stop = restart(24).stop;
    if (b.stop[0] == ' ')
      EXPECT_EQ(stop, b.stop);
    else
      EXPECT_EQ(stop, " restart refused: \"mh_acceptance\" line " + std::to_string(head + b.line + 1) + " " + b.stop);
    write("mh_acceptance", acc);
    sampler::close(sampler::sample_files(state_));
  }
}

// After a restart the sums go on as in the chain that was not stopped: the
// same later samples give the same posterior means and sds.
TEST_F(Restart, SumsGoOnAsInTheUninterruptedChain) {
  make_sample_files();
  model_b(state_, 300, 600, 100, 5);
  ASSERT_EQ(store().stop, "");
  model::State going_on = std::move(state_);
  const double g = M.g(2, 1, 1), r = M.r(1, 1);

  model_b(state_, 300, 600, 100, 5);
  wipe();
  ASSERT_EQ(restart(301).stop, "");
  // Twenty more kept cycles, the same samples in both chains.
  for (int c = 1; c <= 20; ++c) {
    M.round = 300 + 5 * c;
    M.g(2, 1, 1) = g + 0.01 * c;
    M.r(1, 1) = r - 0.02 * c;
    for (model::State* s : {&going_on, &state_}) {
      for (int a = 1; a <= s->neq; ++a) s->SOL(a) = wave(a + c, 0.5);
      sampler::add_posterior_sums(*s);
    }
  }
  M.round = 400;
  ASSERT_EQ(capture([&] { run::store_solutions(going_on); }).stop, "");
  const auto want = results();
  ASSERT_EQ(store().stop, "");
  const auto got = results();
  for (const char* f : {"solutions", "varcomp"}) {
    const auto a = lines(want.at(f)), b = lines(got.at(f));
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(a[0], " " + std::string(f == std::string("solutions") ? "Solution" : "Variance components") +
                        " after:  400  rounds and burn-in of  100");
    for (std::size_t i = 2; i < a.size(); ++i) {
      std::istringstream x(a[i]), y(b[i]);
      std::vector<double> u, v;
      for (std::string w; x >> w;) u.push_back(std::atof(w.c_str()));
      for (std::string w; y >> w;) v.push_back(std::atof(w.c_str()));
      ASSERT_EQ(u.size(), v.size()) << f << i;
      for (std::size_t k = 0; k < u.size(); ++k) EXPECT_NEAR(u[k], v[k], 1e-5) << f << " line " << i;
    }
  }
}

// Inside burn-in only the last samples, the proposal settings and the
// acceptance sums come back; every kept sum is empty and "loglike_obs" is
// not read.
TEST_F(Restart, InsideBurnIn) {
  make_sample_files();
  // Kept count 9 - 20 = -11; the acceptance sums hold the 5 cycles since
  // the tuning step of cycle 40.
  model_b(state_, 45, 300, 100, 5);
  ASSERT_EQ(store().stop, "");
  EXPECT_FALSE(exists("loglike_obs"));

  model_b(state_, 45, 300, 100, 5);
  wipe();
  state_.SUMSOL.fill(99);
  state_.LOGL_OBS.fill(99);
  state_.SUMR_ACCEP.fill(99);
  state_.sumw_alpha = 99;
  const auto r = restart(46);
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(r.out.find("loglike_obs"), std::string::npos);
  for (int a = 1; a <= state_.neq; ++a) {
    EXPECT_EQ(state_.SUMSOL(a), 0.0);
    EXPECT_EQ(state_.SSSOL(a), 0.0);
    EXPECT_EQ(state_.SUMR_SOL(a), 0.0);
    EXPECT_NEAR(state_.SOL(a), wave(a, 2.0), 5e-7);
    EXPECT_EQ(state_.R_SOL(a), 1.0 + 0.0625 * a);
  }
  for (int i = 1; i <= 3; ++i)
    for (int c = 1; c <= 4; ++c) EXPECT_EQ(state_.LOGL_OBS(i, c), 0.0);
  EXPECT_EQ(state_.sumw_alpha, 0.0);
  EXPECT_EQ(state_.SUMG(2, 1, 1), 0.0);
  EXPECT_EQ(M.g(2, 1, 1), 0.875);
  EXPECT_EQ(M.r(1, 1), 3.5);
  EXPECT_EQ(state_.w_alpha, 6.5);
  // Acceptance sums: rate x the 5 cycles, as stored; the structural one
  // too, which the tuning of the continued chain goes on from.
  EXPECT_NEAR(state_.SUMR_ALPHAACCEP(2), 0.3125 * 5, 1e-12);
  EXPECT_NEAR(state_.sumw_alphaaccep, 0.46875 * 5, 1e-12);
  EXPECT_NEAR(state_.SUMR_ACCEP(1), 0.375 * 5, 1e-12);
  EXPECT_EQ(state_.R_DBELIEFPROP(1), 1900);
  // Proposals are still tuned: "mh_dbeliefchg" is open for appending.
  EXPECT_TRUE(sampler::sample_files(state_).mh_dbeliefchg.is_open());
  EXPECT_TRUE(sampler::sample_files(state_).varcompsam.is_open());
  EXPECT_TRUE(sampler::sample_files(state_).loglike_rnd.is_open());
  EXPECT_FALSE(sampler::sample_files(state_).solutionsam.is_open());
}

// At the end of burn-in, and past it before the first kept cycle, the kept
// count is 0: the sums start empty and nothing is NaN.
TEST_F(Restart, KeptCountZero) {
  struct Case {
    int stored, nburn, skip;
    bool loglike;
  };
  for (const Case c : {Case{100, 100, 5, false}, Case{108, 105, 10, true}}) {
    SCOPED_TRACE(c.stored);
    for (const char* f : result_files) std::filesystem::remove(f);
    make_sample_files();
    model_b(state_, c.stored, 300, c.nburn, c.skip);
    ASSERT_EQ(model::kept_count(c.stored), 0);
    // The sums hold what the last tuning window left: nothing when it
    // closed at half of burn-in (cycle 50), cycles 51 and 52 when tuning
    // ended at 52.  A rate of no cycles is 0.
    const double left = c.nburn == 100 ? 0 : 2;
    ASSERT_EQ(state_.SUMR_ACCEP(1), 0.375 * left);
    ASSERT_EQ(store().stop, "");
    EXPECT_EQ(exists("loglike_obs"), c.loglike);
    EXPECT_EQ(lines(slurp("mh_acceptance"))[1],
              left > 0 ? "  0.37500000      1900" : "  0.00000000      1900");

    model_b(state_, c.stored, 300, c.nburn, c.skip);
    wipe();
    const auto r = restart(c.stored + 1);
    ASSERT_EQ(r.stop, "");
    EXPECT_EQ(r.out.find("loglike_obs") != std::string::npos, c.loglike);
    EXPECT_TRUE(finite(state_));
    for (int a = 1; a <= state_.neq; ++a) EXPECT_EQ(state_.SUMSOL(a), 0.0);
    EXPECT_EQ(state_.LOGL_OBS(1, 1), 0.0);
    EXPECT_EQ(state_.SUMR_ACCEP(1), 0.375 * left);
    EXPECT_EQ(state_.sumw_alphaaccep, 0.46875 * left);
    EXPECT_FALSE(sampler::sample_files(state_).mh_dbeliefchg.is_open());  // past half of burn-in
    sampler::close(sampler::sample_files(state_));
  }
}

// The restart opens the sample files at their ends and leaves their lines.
TEST_F(Restart, SampleFilesAppended) {
  ASSERT_NO_FATAL_FAILURE(store_a_with_samples());
  std::map<std::string, std::string> at_store;
  for (const char* f : {"varcompsam", "solutionsam", "msirespprsam"}) at_store[f] = slurp(f);
  model_a_saving();
  wipe();
  ASSERT_EQ(restart(1001).stop, "");
  sampler::SampleFiles& f = sampler::sample_files(state_);
  ASSERT_TRUE(f.solutionsam.is_open());
  ASSERT_TRUE(state_.msirespprsam.is_open());
  EXPECT_FALSE(f.mh_dbeliefchg.is_open());
  f.varcompsam.line(" 1001");
  f.solutionsam.line(" 1001");
  state_.msirespprsam.line(" 1001");
  sampler::close(f);
  state_.msirespprsam.close();
  for (const char* f : {"varcompsam", "solutionsam", "msirespprsam"})
    EXPECT_EQ(slurp(f), at_store[f] + " 1001\n");
}

// With candidates whose sires are never sampled, "msiresppr" is neither
// read nor needed.
TEST_F(Restart, OneCandidateNeedsNoMsiresppr) {
  make_sample_files();
  model_a(state_, 1000, 1000);
  M.max_msires = 1;
  ASSERT_EQ(store().stop, "");
  EXPECT_FALSE(exists("msiresppr"));
  model_a(state_, 1000, 1000);
  M.max_msires = 1;
  wipe();
  const auto r = restart(1001);
  EXPECT_EQ(r.stop, "");
  EXPECT_EQ(r.out.find("msires"), std::string::npos);
}

TEST_F(Restart, RefusedAtCycleOneOrBelow) {
  model_a(state_, 1000, 1000);
  for (int start : {1, 0, -3}) {
    const auto r = restart(start);
    EXPECT_EQ(r.stop, util::freev("restart at cycle", start,
                                  "not possible: a restarted chain continues at cycle 2 or later"));
    EXPECT_EQ(r.out, "");
  }
}

// Files of another cycle than the one before the restart are refused, file
// by file; so are title lines without a cycle.
TEST_F(Restart, StoredCycleChecked) {
  make_sample_files();
  model_a(state_, 1000, 1000);
  ASSERT_EQ(store().stop, "");
  const auto stored = results();
  auto refused = [](int start, const char* file, int cycle) {
    return util::freev("restart at cycle", start, "needs the results of cycle", start - 1, "but",
                       std::string("\"") + file + "\"", "holds those of cycle", cycle);
  };
  // The record of the last store says which cycle to give.
  const std::string give = util::freev("; the chain continues at cycle", 1001);
  EXPECT_EQ(restart(1000).stop, refused(1000, "store_record", 1000) + give);
  EXPECT_EQ(restart(1200).stop, refused(1200, "store_record", 1000) + give);
  // The last cycle there can be: the next is past 32 bits, and said so
  // (a chain whose last cycle reaches the store's).
  const std::string record = slurp("store_record");
  write("store_record", "cycle 2147483647" + record.substr(record.find('\n')));
  M.nround = 2147483647;
  EXPECT_EQ(restart(1001).stop, refused(1001, "store_record", 2147483647) +
                                    util::freev("; the chain continues at cycle", 2147483648LL));
  EXPECT_NE(restart(1001).stop.find("cycle 2147483648"), std::string::npos);
  M.nround = 1000;
  write("store_record", record);

  // A mixture of two stores: "varcomp" of an earlier cycle.
  replace_line("varcomp", 0, " Variance components after:  900  rounds and burn-in of  105");
  const auto r = restart(1001);
  EXPECT_EQ(r.stop, refused(1001, "varcomp", 900));
  EXPECT_EQ(r.out,
            " read random stream, sires and model of the chain from file: \"chain_state\"\n"
            " read solutions from file: \"solutions\"\n read msires ppr from file: \"msiresppr\"\n");
  write("varcomp", stored.at("varcomp"));

  for (const char* f : {"solutions", "msiresppr", "loglike_obs"}) {
    replace_line(f, 0, "no title here");
    EXPECT_EQ(restart(1001).stop, util::freev("restart at cycle", 1001, ": no stored cycle in the title line of",
                                               std::string("\"") + f + "\""));
    write(f, stored.at(f));
  }
  write("loglike_obs", "");
  EXPECT_EQ(restart(1001).stop, util::freev("restart at cycle", 1001, ": no stored cycle in the title line of",
                                             std::string("\"loglike_obs\"")));
  write("loglike_obs", stored.at("loglike_obs"));

  // The words of a title line are those of the file and the chain.
  struct Title {
    const char* file;
    const char* line;
    const char* want;
  };
  for (const Title& t :
       {Title{"solutions", " Solutions after:  1000  rounds and burn-in of  105",
              "Solution after: 1000 rounds and burn-in of 105"},
        Title{"msiresppr", " Post. probs after:  1000  rounds and burn-in of  100",
              "Post. probs after: 1000 rounds and burn-in of 105"},
        Title{"loglike_obs", " Variance components after:  1000  rounds and burn-in of  105",
              "CPO,Loglike,residuals after: 1000 rounds and burn-in of 105"}}) {
    replace_line(t.file, 0, t.line);
    std::string words;
    std::istringstream in(t.line);
    for (std::string w; in >> w;) words += (words.empty() ? "" : " ") + w;
    EXPECT_EQ(restart(1001).stop, std::string(" restart refused: \"") + t.file + "\" line 1 is \"" +
                                      words + "\" where the model has \"" + t.want + "\"")
        << t.file;
    write(t.file, stored.at(t.file));
  }
}

// Each value line that cannot be read stops with the reader's words for it,
// the file, the line and the remedy.
TEST_F(Restart, MessagesOfUnreadableValues) {
  make_sample_files();
  model_a(state_, 1000, 1000);
  ASSERT_EQ(store().stop, "");
  const auto a_files = results();
  struct Case {
    const char* file;
    std::size_t line;  // replaced by a bad line, or kept up to, from 0
    bool truncate;
    std::string message;
  };
  const std::vector<Case> a_cases = {
      {"solutions", 5, false, "error reading solutions at effect: 1 level : 2 trait: 2"},
      {"solutions", 10, false, "error reading solutions at effect: 1 level : 5 trait: 1"},
      {"solutions", 14, true, "error reading solutions at effect: 2 level : 2 trait: 1"},
      {"msiresppr", 5, false, "error reading msires ppr at effect/animal: 4"},
      {"msiresppr", 6, true, "error reading msires ppr at effect/animal: 4"},
      {"varcomp", 17, false, "error reading G at effect: 2"},
      {"varcomp", 3, false, "error reading G at effect: 1"},
      {"varcomp", 30, false, "error reading R at trait: 2"},
      {"varcomp", 33, true, "error reading R at trait: 2"},
      {"loglike_obs", 4, false, "error reading loglike_obs at record: 3"},
      {"mh_acceptance", 3, false, "error reading acceptance rate at effect: 2"},
  };
  for (const Case& c : a_cases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.line));
    if (c.truncate)
      keep_lines(c.file, c.line);
    else
      replace_line(c.file, c.line, "  xx  1  2  3  4.0  5.0  6.0");
    model_a(state_, 1000, 1000);
    // Line c.line + 1 replaced, or the file's end after line c.line.
    EXPECT_EQ(restart(1001).stop, unreadable(c.file, c.truncate ? c.line : c.line + 1, c.truncate, c.message, 1000));
    write(c.file, a_files.at(c.file));
    sampler::close(sampler::sample_files(state_));
  }

  for (const char* f : result_files) std::filesystem::remove(f);
  model_b(state_, 300, 300, 100, 5);
  ASSERT_EQ(store().stop, "");
  const auto b_files = results();
  const std::vector<Case> b_cases = {
      {"mh_acceptance", 1, false, "error reading acceptance rate at structural effect: 1"},
      {"mh_acceptance", 3, false, "error reading acceptance rate for alpha at structural effect: 2"},
      {"mh_acceptance", 5, false, "error reading acceptance rate for alpha robust"},
      {"structural_r", 3, false, "error reading structural R alpha at effect: 2"},
      {"structural_r", 8, false, "error reading structural R at effect: 3 level : 2 trait: 1"},
      {"robustness_w", 2, false, "error reading robustness w_alpha"},
      {"robustness_w", 4, false, "error reading robustness w at record: 2 trait: 1"},
      {"robustness_w", 5, true, "error reading robustness w at record: 3 trait: 1"},
  };
  for (const Case& c : b_cases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.line));
    if (c.truncate)
      keep_lines(c.file, c.line);
    else
      replace_line(c.file, c.line, "  xx  1  2  3  4.0  5.0  6.0");
    model_b(state_, 300, 300, 100, 5);
    EXPECT_EQ(restart(301).stop, unreadable(c.file, c.truncate ? c.line : c.line + 1, c.truncate, c.message, 300));
    write(c.file, b_files.at(c.file));
    sampler::close(sampler::sample_files(state_));
  }
}

// A result or sample file that the restart needs and that does not exist
// ends the run through the file layer, on standard error.
TEST_F(Restart, MissingFiles) {
  make_sample_files();
  model_b(state_, 300, 300, 100, 5);
  ASSERT_EQ(store().stop, "");
  const auto files = results();
  for (const char* f : {"solutions", "varcomp", "loglike_obs", "mh_acceptance", "structural_r", "robustness_w",
                        "varcompsam", "loglike_rnd"}) {
    SCOPED_TRACE(f);
    const std::string keep = slurp(f);
    std::filesystem::remove(f);
    model_b(state_, 300, 300, 100, 5);
    const auto r = restart(301);
    EXPECT_EQ(r.stop, std::string("cannot open file \"") + f + "\": No such file or directory");
    write(f, keep);
    sampler::close(sampler::sample_files(state_));
  }
}

// The program itself: a chain of 100 cycles, a restart after it with no
// cycle left (the files come out as they were), then a restart that goes on
// to cycle 160, whose means and sds are those of the stored sums plus the
// samples of the new cycles (read back from "solutionsam").
TEST_F(Restart, TheProgramContinuesAChainFromItsFiles) {
  const char* exe = std::getenv("VELMORAN_EXE");
  if (!exe || !std::filesystem::exists(exe)) GTEST_SKIP() << "VELMORAN_EXE not set";
  std::string data;
  for (int i = 0; i < 30; ++i) {
    const int l1 = i % 3 + 1, l2 = (i * 7) % 5 + 1;
    data += util::formatv("(f8.3,2i3)", 1 + 0.5 * l1 + 0.3 * l2 + ((i * 13) % 7 - 3) * 0.2, l1, l2) + "\n";
  }
  write("d.txt", data);
  auto params = [](const std::string& chain, const std::string& restart) {
    return "MCMC_CHAIN:\n" + chain + "\nSEED\n7\nRESTART:\n" + restart +
           "\nDATAFILE\nd.txt 30\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\n"
           "WEIGHT(S)\n\nEFFECTS:\n2 3 cross y\n3 5 cross n\nRANDOM_RESIDUAL:\nhomogeneous 5\n"
           "RESIDUAL_PRIOR_(CO)VARIANCES\n1\nRANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone 0\n"
           "(CO)VARIANCES\n0.5\n";
  };
  auto run = [exe](const std::string& par, const std::string& text, const std::string& log) {
    write(par, text);
    const std::string cmd = "echo " + par + " | '" + exe + "' > " + log + " 2>&1";
    return std::system(cmd.c_str());
  };
  ASSERT_EQ(run("a.par", params("100 50 1", "n"), "a.log"), 0) << slurp("a.log");
  const auto stored = results();
  ASSERT_EQ(stored.size(), 3u);

  ASSERT_EQ(run("b.par", params("100 50 1", "y 101"), "b.log"), 0) << slurp("b.log");
  EXPECT_NE(slurp("b.log").find(" read loglike_obs from file: \"loglike_obs\""), std::string::npos);
  EXPECT_EQ(results(), stored);
  // No cycle was run: the last line gives no rate.
  const auto b_out = lines(slurp("b.log"));
  ASSERT_FALSE(b_out.empty());
  EXPECT_NE(b_out.back().find(" Time elapsed "), std::string::npos) << b_out.back();
  EXPECT_TRUE(b_out.back().ends_with(" min ( no cycles run )")) << b_out.back();

  // The burn-in and thinning interval of the chain stay; only its length grows.
  struct Changed {
    const char* chain;
    std::string message;
  };
  const Changed changed[] = {
      {"160 40 1", util::freev("restart at cycle", 101, ": the parameter file gives a burn-in of", 40,
                               "but the chain in", "\"store_record\"", "has", 50,
                               "; a continued chain keeps its burn-in and thinning interval")},
      {"160 50 2", util::freev("restart at cycle", 101, ": the parameter file gives a thinning interval of", 2,
                               "but the chain in", "\"store_record\"", "has", 1,
                               "; a continued chain keeps its burn-in and thinning interval")},
  };
  for (const Changed& c : changed) {
    EXPECT_NE(run("d.par", params(c.chain, "y 101"), "d.log"), 0) << c.chain;
    EXPECT_NE(slurp("d.log").find(c.message), std::string::npos) << c.chain << "\n" << slurp("d.log");
    EXPECT_EQ(results(), stored) << c.chain;
  }

  ASSERT_EQ(run("c.par", params("160 50 1", "y 101"), "c.log"), 0) << slurp("c.log");
  // "solutionsam": every cycle once, 1 to 160, the restart's lines appended.
  std::istringstream sam(slurp("solutionsam"));
  double added[4] = {}, squares[4] = {};
  for (int c = 1; c <= 160; ++c) {
    int cycle = 0;
    ASSERT_TRUE(sam >> cycle);
    ASSERT_EQ(cycle, c);
    for (int l = 1; l <= 3; ++l) {
      double x;
      ASSERT_TRUE(sam >> x);
      if (c > 100) {
        added[l] += x;
        squares[l] += x * x;
      }
    }
  }
  const auto before = lines(stored.at("solutions")), after = lines(slurp("solutions"));
  EXPECT_EQ(after[0], " Solution after:  160  rounds and burn-in of  50");
  for (int l = 1; l <= 3; ++l) {
    std::istringstream b(before[static_cast<std::size_t>(l + 1)]), a(after[static_cast<std::size_t>(l + 1)]);
    int t, e, lev;
    double m0, sd0, m1, sd1, last;
    ASSERT_TRUE(b >> t >> e >> lev >> m0 >> sd0 >> last);
    ASSERT_TRUE(a >> t >> e >> lev >> m1 >> sd1 >> last);
    const double S = m0 * 50 + added[l], Q = 50 * sd0 * sd0 + m0 * m0 * 50 + squares[l];
    EXPECT_NEAR(m1, S / 110, 1e-6) << l;
    EXPECT_NEAR(sd1, std::sqrt((Q - S * S / 110) / 110), 2e-6) << l;
  }
}

}  // namespace
