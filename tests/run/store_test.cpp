// Result files around a store (their layouts, read back and stored again:
// restart_test.cpp): the fields before burn-in ends, the replacement of
// whole files and the sample files around a store.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>

#include "count_new.hpp"
#include "model/schedule.hpp"
#include "run/store.hpp"
#include "sampler/samplefiles.hpp"
#include "store_support.hpp"

namespace {

using statetest::capture;
using statetest::lines;
using namespace storetest;

class Store : public StoreFolder {};

// Candidate sires are listed for every pedigree line that has them, also
// when their group is not the first effect (here its pedigree length is no
// longer the one of effect 1).
TEST_F(Store, CandidateSiresOfAGroupAfterTheFirstEffect) {
  model_a(state_, 1000, 1000);
  M.lenped(1) = 0;
  ASSERT_EQ(store().stop, "");
  const auto ms = lines(slurp("msiresppr"));
  ASSERT_EQ(ms.size(), 7u);
  EXPECT_EQ(ms[6], "       4     113      0.450000      0.187500      0.500000      0.600000");
}

// Before burn-in ends the mean and sd columns hold the raw sums, there is
// no "loglike_obs", and a rate is that of the cycles its sum holds, not
// divided by the (negative) kept count.
TEST_F(Store, BeforeTheEndOfBurnIn) {
  make_sample_files();
  model_b(state_, 45, 300, 100, 5);  // n = 9 - 20 = -11; 5 cycles since the tuning step of 40
  state_.SUMSOL(2) = 7.5;            // raw sums as they stand
  state_.SSSOL(2) = 30.25;
  std::filesystem::remove("loglike_obs");
  const auto r = capture([&] { run::store_solutions(state_); });
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(r.out.find("loglike_obs"), std::string::npos);
  EXPECT_FALSE(exists("loglike_obs"));
  const auto sol = lines(slurp("solutions"));
  EXPECT_EQ(sol[0], " Solution after:  45  rounds and burn-in of  100");
  EXPECT_EQ(sol[3].substr(14, 30), "       7.500000      30.250000");
  EXPECT_EQ(sol[2].substr(14, 30), "       0.000000       0.000000");
  const auto acc = lines(slurp("mh_acceptance"));
  EXPECT_EQ(acc[1], "  0.37500000      1900");  // (0.375 * 5) / 5
  EXPECT_EQ(lines(slurp("robustness_w"))[2], "  1     alpha       0.000000       0.000000       6.500000");
  // Sums of the raw columns are not divided: kept count -11 never shows.
  EXPECT_EQ(lines(slurp("varcomp"))[2], "      0.0000");
}

// Past burn-in but before the first kept cycle, n = 0: nothing divides by
// it; sums (all 0) are written as they stand, and the acceptance sums hold
// cycles 51 and 52, which the last tuning window left.
TEST_F(Store, KeptCountZeroPastBurnIn) {
  make_sample_files();
  model_b(state_, 108, 300, 105, 10);
  ASSERT_EQ(model::kept_count(108), 0);
  state_.SUMR_ACCEP(1) = 0.75;
  state_.sumw_alphaaccep = 2.0;
  const auto r = capture([&] { run::store_solutions(state_); });
  ASSERT_EQ(r.stop, "");
  for (const char* f : {"solutions", "varcomp", "loglike_obs", "mh_acceptance", "structural_r", "robustness_w"}) {
    ASSERT_TRUE(exists(f)) << f;
    EXPECT_FALSE(has_nan_or_inf(slurp(f))) << f;
  }
  const auto ll = lines(slurp("loglike_obs"));
  ASSERT_EQ(ll.size(), 2u + 3);
  EXPECT_EQ(ll[1], " obs       cpo             average logl    logl-thetabar   residuals");
  EXPECT_EQ(ll[2], "         1    0.000000000000    0.000000000000    0.000000000000    0.000000000000");
  const auto acc = lines(slurp("mh_acceptance"));
  EXPECT_EQ(acc[1], "  0.37500000      1900");
  EXPECT_EQ(acc[5], "  1.00000000  0.07812500");
}

// A variance that rounds below 0 gives sd 0, not NaN.
TEST_F(Store, StandardDeviationOfARoundedNegativeVariance) {
  model_b(state_, 300, 300, 100, 5);
  const double n = 40;
  state_.SUMSOL(1) = 0.1 * n;
  state_.SSSOL(1) = 0.1 * 0.1 * n * (1 - 1e-15);  // Q - S^2/n just below 0
  ASSERT_LT(state_.SSSOL(1) - state_.SUMSOL(1) * state_.SUMSOL(1) / n, 0.0);
  capture([&] { run::store_solutions(state_); });
  EXPECT_EQ(lines(slurp("solutions"))[2].substr(14, 30), "       0.100000       0.000000");
}

// Every "varcomp" row starts on a new line and holds ten values a line.
TEST_F(Store, VarcompRowsOfTwelveValues) {
  shape_model(3, 4, 1);
  M.nround = M.round = 20;
  M.nburn = 0;
  for (int e = 1; e <= 4; ++e) M.nlev(e) = 1;
  M.randomtype(1) = model::RandomType::diagonal;
  M.randomnumb(1) = 4;
  for (int i = 1; i <= 12; ++i)
    for (int j = 1; j <= 12; ++j) M.g(1, i, j) = i == j ? 10.0 + i : 0.01 * (i + j);
  allocate(state_);
  capture([&] { run::store_solutions(state_); });
  const auto v = lines(slurp("varcomp"));
  // Title, then three labels and 12 rows of two lines each, then R.
  ASSERT_EQ(v.size(), 1u + 3 * (1 + 24) + 3 * (1 + 3));
  EXPECT_EQ(v[1], " Average variance components (G) for effect:  1");
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < 12; ++i) {
      const std::size_t at = 2 + static_cast<std::size_t>(k) * 25 + 2 * static_cast<std::size_t>(i);
      EXPECT_EQ(v[at].size(), 120u) << at;
      EXPECT_EQ(v[at + 1].size(), 24u) << at;
    }
  EXPECT_EQ(v[52].substr(0, 24), "     11.0000      0.0300");
  EXPECT_EQ(v[76], " Average residuals (R)");
  EXPECT_EQ(v[77].size(), 36u);
}

// A store that cannot be finished leaves every previous file whole, also
// those written before the failure, and no temporary.
TEST_F(Store, AFailedStoreLeavesThePreviousFiles) {
  model_a(state_, 1000, 1000);
  write("varcomp", "old varcomp\n");
  write("solutions", "old solutions\n");
  std::filesystem::create_directory("varcomp.tmp");  // the temporary cannot be made
  const auto r = capture([&] { run::store_solutions(state_); });
  EXPECT_NE(r.stop.find("varcomp.tmp"), std::string::npos) << r.stop;
  EXPECT_EQ(slurp("varcomp"), "old varcomp\n");
  EXPECT_EQ(slurp("solutions"), "old solutions\n");
  EXPECT_FALSE(exists("solutions.tmp"));
  EXPECT_FALSE(exists("msiresppr.tmp"));
  EXPECT_FALSE(exists("store_record"));
  EXPECT_EQ(r.out, "");
}

// A periodic store closes the sample files and reopens them at their end;
// the last store leaves them closed; "mh_dbeliefchg" only while tuning.
TEST_F(Store, SampleFilesAroundAStore) {
  make_sample_files();
  model_b(state_, 40, 300, 100, 5);
  M.effectsave(2) = 1;
  sampler::SampleFiles& f = sampler::sample_files(state_);
  sampler::open_append(f);
  f.varcompsam.line(" 40 varcompsam");
  capture([&] { run::store_solutions(state_); });
  // Written out by the close, and open again for the next lines.
  EXPECT_EQ(slurp("varcompsam"), " 1 varcompsam\n 40 varcompsam\n");
  ASSERT_TRUE(f.varcompsam.is_open());
  EXPECT_TRUE(f.loglike_rnd.is_open());
  EXPECT_TRUE(f.solutionsam.is_open());
  EXPECT_TRUE(f.mh_dbeliefchg.is_open());  // 40 < 50
  f.varcompsam.line(" 45 varcompsam");
  f.varcompsam.flush();
  EXPECT_EQ(slurp("varcompsam"), " 1 varcompsam\n 40 varcompsam\n 45 varcompsam\n");

  // At half of burn-in the tuning file is closed for good.
  M.round = 50;
  capture([&] { run::store_solutions(state_); });
  EXPECT_FALSE(f.mh_dbeliefchg.is_open());
  EXPECT_TRUE(f.varcompsam.is_open());
  // Past it, a store leaves it as it is (an open one stays open).
  sampler::open_append(f);
  M.round = 60;
  capture([&] { run::store_solutions(state_); });
  EXPECT_TRUE(f.mh_dbeliefchg.is_open());

  // The last store closes the others.
  M.round = 300;
  capture([&] { run::store_solutions(state_); });
  EXPECT_FALSE(f.varcompsam.is_open());
  EXPECT_FALSE(f.loglike_rnd.is_open());
  EXPECT_FALSE(f.solutionsam.is_open());
}

// A long chain stores every 100 kept-cycle intervals; once the first store
// has made its buffers, the next allocates nothing, files and all.
TEST_F(Store, ALaterStoreAllocatesNothing) {
  make_sample_files();
  model_b(state_, 40, 300, 100, 5);
  M.effectsave(2) = 1;
  sampler::open_append(sampler::sample_files(state_));
  long news = -1;
  for (int round : {40, 44}) {
    M.round = round;
    const auto r = capture([&] {
      const long before = counted::news;
      run::store_solutions(state_);
      news = counted::news - before;
    });
    ASSERT_EQ(r.stop, "");
  }
  EXPECT_EQ(news, 0);
  EXPECT_TRUE(sampler::sample_files(state_).varcompsam.is_open());
  EXPECT_TRUE(sampler::sample_files(state_).mh_dbeliefchg.is_open());
}

// "msirespprsam" follows the store like the others, when it exists.
TEST_F(Store, CandidateSireSampleFile) {
  make_sample_files();
  model_a(state_, 1000, 2000);
  state_.msirespprsam = util::TextOut("msirespprsam", util::TextOut::Mode::append);
  state_.msirespprsam.line(" 1000 0.5");
  sampler::open_append(sampler::sample_files(state_));
  capture([&] { run::store_solutions(state_); });
  EXPECT_EQ(slurp("msirespprsam"), " 1 msirespprsam\n 1000 0.5\n");
  EXPECT_TRUE(state_.msirespprsam.is_open());
  // No resampled probabilities: the file is neither needed nor touched.
  M.ms_alpha = 0;
  std::filesystem::remove("msirespprsam");
  state_.msirespprsam.close();
  const auto r = capture([&] { run::store_solutions(state_); });
  EXPECT_EQ(r.stop, "");
  EXPECT_FALSE(exists("msirespprsam"));
}

// A sample file that disappeared cannot be continued: the store is not
// made.
TEST_F(Store, MissingSampleFileStops) {
  make_sample_files();
  model_a(state_, 1000, 2000);
  sampler::open_append(sampler::sample_files(state_));
  std::filesystem::remove("loglike_rnd");
  const auto r = capture([&] { run::store_solutions(state_); });
  EXPECT_TRUE(r.stop.starts_with(" sample file \"loglike_rnd\" was removed while the chain wrote it. The run stops "
                                 "before its store of cycle 1000"))
      << r.stop;
  EXPECT_FALSE(exists("store_record"));
}

}  // namespace
