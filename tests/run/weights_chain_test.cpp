// Weighted data through the whole program: records of weight w simulated
// with residual covariance R/w; the chain recovers G and R, and the
// per-record results stay finite.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

struct WeightedCase {
  int traits;
  const char* extra;  // further simulator options
  int seed;
};

class WeightedCalibration : public ChainFolder, public testing::WithParamInterface<WeightedCase> {};

TEST_P(WeightedCalibration, PosteriorMeansOfGAndRNearTheTruth) {
  if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
  if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  const WeightedCase& c = GetParam();
  // Weights 1 to 4; 1500 records of 2250 animals; the chain starts at 1.5
  // times the truth.
  const Process sim = run_simulator(dir(), "--weights --records 1500 --traits " + std::to_string(c.traits) +
                                               " --nround 600 --nburn 100 --skip 5 --start-scale 1.5 --seed " +
                                               std::to_string(c.seed) + " " + c.extra);
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  expect_calibrated(dir(), c.traits);

  // One line per record after the two header lines: record, CPO, average
  // log-likelihood, log-likelihood at the means, one standardised residual
  // per trait.
  const auto lines = lines_of(read_file(dir() / "loglike_obs"));
  ASSERT_EQ(lines.size(), 2u + 1500u);
  for (std::size_t k = 2; k < lines.size(); ++k) {
    std::istringstream in(lines[k]);
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    ASSERT_EQ(v.size(), 4u + static_cast<std::size_t>(c.traits)) << lines[k];
    EXPECT_GT(v[1], 0.0) << lines[k];
    for (double x : v) EXPECT_TRUE(std::isfinite(x)) << lines[k];
  }
}

INSTANTIATE_TEST_SUITE_P(Weights, WeightedCalibration,
                         testing::Values(WeightedCase{1, "", 61}, WeightedCase{2, "--missing 0.2", 62}),
                         [](const testing::TestParamInfo<WeightedCase>& i) {
                           return std::to_string(i.param.traits) + "_traits";
                         });

}  // namespace
