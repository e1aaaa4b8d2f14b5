// Structural and heavy-tailed residuals through the whole program: the
// posterior of the Student-t shape and of a herd's residual scale cover the
// values the data were simulated with, and for every residual type a restart
// with no cycle left writes its result files back unchanged and a restart
// that goes on runs.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

// mean, sd and last of the first line of a result file that starts with
// the given words (after the two head lines).
struct Summary {
  double mean = 0, sd = 0, last = 0;
};
Summary summary_line(const fs::path& file, int skip_words) {
  const auto lines = lines_of(read_file(file));
  EXPECT_GE(lines.size(), 3u) << file;
  if (lines.size() < 3) return {};
  std::istringstream in(lines[2]);
  std::string word;
  for (int k = 0; k < skip_words; ++k) in >> word;
  Summary s;
  EXPECT_TRUE(in >> s.mean >> s.sd >> s.last) << lines[2];
  return s;
}

class ResidChain : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty() || simulator_path().empty()) GTEST_SKIP() << "program or simulator not found";
  }
  void simulate(const std::string& options) {
    const Process sim = run_simulator(dir(), "--g 0.2 --r 1 " + options);
    ASSERT_EQ(sim.status, 0) << sim.err;
  }
};

TEST_F(ResidChain, StudentTShapeCoversTheSimulatedDegreesOfFreedom) {
  simulate("--records 1000 --levels 4 --student-t 5 --nround 300 --nburn 60 --skip 2 --seed 31");
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  // "  1     alpha  mean sd last"
  const Summary a = summary_line(dir() / "robustness_w", 2);
  EXPECT_GT(a.sd, 0.0);
  EXPECT_LT(std::fabs(a.mean - 5.0), 3.5 * a.sd) << a.mean << " sd " << a.sd;
  const auto acc = lines_of(read_file(dir() / "mh_acceptance"));
  ASSERT_EQ(acc.size(), 2u);
  EXPECT_EQ(acc[0], " Acceptance rate & proposal variance for alpha of robust R ");
}

TEST_F(ResidChain, HerdResidualRatioCoversTheSimulatedRatio) {
  // Two herds (the fixed effect's levels); herd 2, the reference, has four
  // times the residual variance of herd 1.
  simulate("--records 1000 --levels 2 --structural 4 --nround 300 --nburn 60 --skip 2 --seed 31");
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  // "  1  1       1  mean sd last": the factor of herd 1.
  const Summary f = summary_line(dir() / "structural_r", 3);
  ASSERT_GT(f.mean, 0.0);
  const double ratio = 1 / f.mean, sd = f.sd / (f.mean * f.mean);
  EXPECT_LT(std::fabs(ratio - 4.0), 3.5 * sd) << ratio << " sd " << sd;
  EXPECT_NE(p.out.find(" Structural R  stored in file: \"structural_r\""), std::string::npos);
}

struct TypeCase {
  const char* name;
  const char* options;  // simulator options
  const char* word;     // residual type word put in the parameter file
};

class ResidRestart : public ResidChain, public testing::WithParamInterface<TypeCase> {};

TEST_P(ResidRestart, StoreRestartStoreIsTheSame) {
  const TypeCase& c = GetParam();
  simulate(std::string("--records 150 --levels 3 --nround 30 --nburn 10 --skip 1 --seed 7 ") + c.options);
  set_keyword_value(dir() / "params.txt", "RANDOM_RESIDUAL:", std::string(c.word) + " 0");
  const Process first = run_program(dir());
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const char* const names[] = {"solutions", "varcomp", "loglike_obs", "mh_acceptance", "structural_r",
                               "robustness_w"};
  std::map<std::string, std::string> stored;
  for (const char* n : names)
    if (fs::exists(dir() / n)) stored[n] = read_file(dir() / n);
  const std::string w = c.word;
  EXPECT_EQ(stored.count("structural_r"), w.find("struct") == 0 ? 1u : 0u);
  EXPECT_EQ(stored.count("robustness_w"), w == "structural" ? 0u : 1u);
  EXPECT_EQ(stored.count("mh_acceptance"), 1u);

  set_keyword_value(dir() / "params.txt", "RESTART:", "y 31");
  const Process again = run_program(dir());
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  for (const auto& [n, text] : stored) EXPECT_EQ(read_file(dir() / n), text) << n;

  // And the chain goes on from there.
  set_keyword_value(dir() / "params.txt", "MCMC_CHAIN:", "40 10 1");
  const Process more = run_program(dir());
  ASSERT_EQ(more.status, 0) << more.out << more.err;
  EXPECT_EQ(lines_of(read_file(dir() / "loglike_rnd")).size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(Types, ResidRestart,
                         testing::Values(TypeCase{"structural", "--structural 2", "structural"},
                                         TypeCase{"slash", "", "slash"},
                                         TypeCase{"struct_slash", "--structural 2", "struct_slash"},
                                         TypeCase{"student_t", "--student-t 4", "student_t"},
                                         TypeCase{"struct_student_t", "--structural 2 --student-t 4",
                                                  "struct_student_t"}),
                         [](const testing::TestParamInfo<TypeCase>& i) { return std::string(i.param.name); });

}  // namespace
