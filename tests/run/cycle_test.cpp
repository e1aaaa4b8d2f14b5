// The end of a cycle, after its dispersion step.
#include <gtest/gtest.h>

#include <string>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/state.hpp"
#include "run/cycle.hpp"

namespace {

model::Model& M = model::m;

std::string end_of(model::State& s, int round) {
  M.round = round;
  testing::internal::CaptureStdout();
  run::end_cycle(s);
  return testing::internal::GetCapturedStdout();
}

TEST(EndCycle, ProgressLineEveryTenThinningIntervals) {
  modeltest::new_model(1, {model::EffectType::cro}, {1}, 3);
  M.nround = 100;
  M.skip = 2;
  model::State s;
  EXPECT_EQ(end_of(s, 18), "");
  const std::string out = end_of(s, 20);
  EXPECT_EQ(out.rfind(" round  20 elapsed time ", 0), 0u) << out;
  EXPECT_NE(out.find(" s  ( "), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - 14), " rounds/min )\n") << out;
  EXPECT_GE(s.cpu_last, s.cpu_now);
}

}  // namespace
