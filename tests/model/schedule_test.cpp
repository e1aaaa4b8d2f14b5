// The chain's schedule: kept cycles, the tuning half of burn-in, and the
// cycles an acceptance sum holds.
#include <gtest/gtest.h>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/schedule.hpp"

namespace {

model::Model& M = model::m;

TEST(Schedule, KeptCountCountsTheKeptCycles) {
  modeltest::new_model(1, {model::EffectType::cro}, {1}, 1);
  M.nburn = 105;
  M.skip = 10;
  EXPECT_EQ(model::kept_count(1000), 90);  // cycles 110 ... 1000
  EXPECT_EQ(model::kept_count(110), 1);
  EXPECT_EQ(model::kept_count(109), 0);
  EXPECT_EQ(model::kept_count(105), 0);
  EXPECT_EQ(model::kept_count(100), 0);
  EXPECT_EQ(model::kept_count(50), -5);
  EXPECT_TRUE(model::kept_cycle(110));
  EXPECT_FALSE(model::kept_cycle(100));
  EXPECT_FALSE(model::kept_cycle(111));
  M.nburn = 6;
  M.skip = 7;
  EXPECT_EQ(model::kept_count(14), 2);  // cycles 7 and 14
  M.nburn = 100;
  M.skip = 10;
  EXPECT_EQ(model::kept_count(1000), 90);  // a multiple: (round - nburn) div skip
}

TEST(Schedule, TuningHalfOfBurnInAndTheCyclesASumHolds) {
  modeltest::new_model(1, {model::EffectType::cro}, {1}, 1);
  EXPECT_TRUE(model::tuning_cycle(2, 5));
  EXPECT_FALSE(model::tuning_cycle(3, 5));
  EXPECT_TRUE(model::tuning_cycle(50, 100));
  EXPECT_FALSE(model::tuning_cycle(51, 100));
  EXPECT_FALSE(model::tuning_cycle(1, 0));
  // Tuning windows that do not end at half of burn-in: cycles 1..5 tuned
  // every 3, so the covariates' sums hold cycles 4 on (the last tuning step
  // at 3), and sums of kept cycles only (thinning 2) cycles 4 and 5 and
  // then the kept ones.
  M.r_nround = 3;
  M.r_skip = 2;
  M.nburn = 10;
  M.skip = 2;
  EXPECT_EQ(model::last_tuning_cycle(2), 2);
  EXPECT_EQ(model::last_tuning_cycle(6), 5);
  EXPECT_EQ(model::summed_cycles(2, 3, true), 2);
  EXPECT_EQ(model::summed_cycles(6, 3, true), 3);
  EXPECT_EQ(model::summed_cycles(3, 3, true), 0);
  EXPECT_EQ(model::summed_cycles(8, 3, false), 2);
  EXPECT_EQ(model::summed_cycles(20, 3, false), 2 + 5);
  EXPECT_EQ(model::acceptance_rate(0.0, model::covariate_tuning(), 3), 0.0);
  M.nburn = 1;  // half of it: no cycle is tuned
  EXPECT_EQ(model::last_tuning_cycle(7), 0);
  EXPECT_EQ(model::summed_cycles(7, 3, true), 7);
}

}  // namespace
