// Two-breed data with crossbreds through the whole program: the breed
// variances and the segregation covariance are recovered, and a chain stored
// and restarted goes on from its acceptance file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

class MultiBreedChain : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
    if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  }
  void simulate(const std::string& options) {
    const Process sim = run_simulator(dir(), "--breeds 1,2,0.3 --unknown 0 " + options);
    ASSERT_EQ(sim.status, 0) << sim.err;
  }
};

TEST_F(MultiBreedChain, BreedVariancesNearTheTruth) {
  simulate("--records 1500 --nround 1200 --nburn 400 --skip 5 --dbelief 5 --start-scale 1.5 --seed 3");
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  const auto truth = lines_of(read_file(dir() / "truth.txt"));
  const auto varcomp = lines_of(read_file(dir() / "varcomp"));
  const Dense gt = matrix_after(truth, "BREED_(CO)VARIANCES", 2);
  const Dense gm = matrix_after(varcomp, "Average variance components (G) for effect:", 2);
  const Dense gs = matrix_after(varcomp, "Std deviation of variance components (G) for effect:", 2);
  for (int i = 0; i < 2; ++i)
    for (int j = i; j < 2; ++j) {
      EXPECT_GT(gs(i, j), 0.0);
      EXPECT_LT(std::fabs(gm(i, j) - gt(i, j)), 4.0 * gs(i, j))
          << "G(" << i + 1 << "," << j + 1 << "): mean " << gm(i, j) << ", sd " << gs(i, j);
    }
  EXPECT_EQ(gm(0, 1), gm(1, 0));
  const Dense rt = matrix_after(truth, "RESIDUAL_(CO)VARIANCES", 1);
  const Dense rm = matrix_after(varcomp, "Average residuals (R)", 1);
  const Dense rs = matrix_after(varcomp, "Std deviation of residuals (R)", 1);
  EXPECT_LT(std::fabs(rm(0, 0) - rt(0, 0)), 4.0 * rs(0, 0));
  // Tuned proposals: an acceptance rate and degrees of belief per breed pair.
  const auto acc = lines_of(read_file(dir() / "mh_acceptance"));
  ASSERT_EQ(acc.size(), 6u);
  for (std::size_t k = 1; k < 6; k += 2) {
    double rate = 0;
    int nu = 0;
    ASSERT_EQ(std::sscanf(acc[k].c_str(), "%lf %d", &rate, &nu), 2) << acc[k];
    EXPECT_GT(rate, 0.1) << acc[k];
    EXPECT_LT(rate, 1.0) << acc[k];
    EXPECT_GE(nu, 5) << acc[k];
  }
}

TEST_F(MultiBreedChain, RestartGoesOnAndRefusesDegreesOfBeliefTuningCannotReach) {
  simulate("--records 150 --nround 30 --nburn 10 --skip 1 --dbelief 5 --seed 8");
  const Process first = run_program(dir());
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const std::string stored = read_file(dir() / "mh_acceptance");
  set_keyword_value(dir() / "params.txt", "RESTART:", "y 31");
  const Process again = run_program(dir());
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(read_file(dir() / "mh_acceptance"), stored);
  EXPECT_EQ(again.out.find("raised to"), std::string::npos) << again.out;

  // Degrees of belief of 2 read back: no tuning from the start (the
  // group's levels) reaches them, and the restart is refused before any
  // file changes.
  std::vector<std::string> lines = lines_of(stored);
  std::string text;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (k % 2 == 1) lines[k] = lines[k].substr(0, lines[k].size() - 10) + "         2";
    text += lines[k] + "\n";
  }
  std::ofstream(dir() / "mh_acceptance") << text;
  const std::string loglike_rnd = read_file(dir() / "loglike_rnd");
  set_keyword_value(dir() / "params.txt", "MCMC_CHAIN:", "40 10 1");
  const Process refused = run_program(dir());
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find(" restart refused: \"mh_acceptance\" line 2 holds proposal degrees of belief of 2, "
                             "outside the "),
            std::string::npos)
      << refused.out;
  EXPECT_EQ(read_file(dir() / "mh_acceptance"), text);
  EXPECT_EQ(read_file(dir() / "loglike_rnd"), loglike_rnd);

  std::ofstream(dir() / "mh_acceptance") << stored;
  const Process more = run_program(dir());
  ASSERT_EQ(more.status, 0) << more.out << more.err;
  EXPECT_EQ(lines_of(read_file(dir() / "loglike_rnd")).size(), 40u);
  EXPECT_EQ(lines_of(read_file(dir() / "mh_acceptance")).size(), 6u);
}

}  // namespace
