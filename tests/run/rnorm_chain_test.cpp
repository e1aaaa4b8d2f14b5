// Reaction-norm chains end to end: small systems print in both passes of
// the first cycle, a structural reaction norm prints the covariates'
// acceptance table, and on simulated data y = mu + h_j (1 + b_i) + e the
// posterior means of h and b follow the truth.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

// Count of the lines of text that start with prefix.
int lines_starting(const std::string& text, const std::string& prefix) {
  int n = 0;
  for (const std::string& l : lines_of(text)) n += l.rfind(prefix, 0) == 0;
  return n;
}

// Values after the label line `label` in truth.txt: the second number of
// each following line, up to a line that does not start with a digit.
std::vector<double> truth_values(const fs::path& dir, const std::string& label) {
  const std::vector<std::string> lines = lines_of(read_file(dir / "truth.txt"));
  std::vector<double> v;
  bool on = false;
  for (const std::string& l : lines) {
    if (on) {
      if (l.empty() || !std::isdigit(static_cast<unsigned char>(l[0]))) break;
      std::istringstream in(l);
      double k = 0, x = 0;
      in >> k >> x;
      v.push_back(x);
    }
    on = on || l.rfind(label, 0) == 0;
  }
  return v;
}

// Posterior means of effect e from "solutions" (trait 1).
std::vector<double> posterior_means(const fs::path& dir, int e) {
  std::vector<double> v;
  for (const std::string& l : lines_of(read_file(dir / "solutions"))) {
    std::istringstream in(l);
    int t = 0, eff = 0, lev = 0;
    double mean = 0;
    if (in >> t >> eff >> lev >> mean && t == 1 && eff == e) v.push_back(mean);
  }
  return v;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const double n = static_cast<double>(a.size());
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ma += a[i] / n;
    mb += b[i] / n;
  }
  double sab = 0, sa = 0, sb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    sab += (a[i] - ma) * (b[i] - mb);
    sa += (a[i] - ma) * (a[i] - ma);
    sb += (b[i] - mb) * (b[i] - mb);
  }
  return sab / std::sqrt(sa * sb);
}

class ReactionNormChain : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty() || simulator_path().empty())
      GTEST_SKIP() << "the program or the simulator is not built";
  }
};

TEST_F(ReactionNormChain, SmallSystemPrintsInBothPasses) {
  // 1 + 3 + 2 equations: each pass prints its system and start solutions in
  // cycle 1, and only then.
  const Process sim = run_simulator(dir(), "--rnorm 3,2 --records 12 --nround 3 --nburn 0 --skip 1 --seed 5");
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  EXPECT_EQ(lines_starting(p.out, " left hand side"), 2) << p.out;
  EXPECT_EQ(lines_starting(p.out, " right hand side:"), 2);
  EXPECT_EQ(lines_starting(p.out, " start solutions:"), 2);
  EXPECT_EQ(lines_starting(p.out, " finished peds in"), 2);
  EXPECT_EQ(lines_starting(p.out, " read "), 1);
  EXPECT_EQ(lines_starting(p.out, "    trait    eff    addr    weight"), 0);
  EXPECT_EQ(p.out.find("is not available"), std::string::npos);
}

TEST_F(ReactionNormChain, StructuralReactionNormReportsAcceptance) {
  const Process sim = run_simulator(dir(), "--rnorm 4,2 --records 80 --nround 40 --nburn 20 --skip 2 --seed 6");
  ASSERT_EQ(sim.status, 0) << sim.err;
  set_keyword_value(dir() / "params.txt", "RANDOM_RESIDUAL:",
                    "structural 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n2 5\n"
                    "NUMBER_OF_STRUCTURAL_EFFECTS\n1\nSTRUCTURAL_EFFECTS:\n3 y");
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  EXPECT_EQ(lines_starting(p.out, "  MH global acceptance rate for unknown covariate:"), 1) << p.out;
  EXPECT_EQ(lines_starting(p.out, "  level        acceptance"), 1);
  // Tuning at cycles 5 and 10 of the first half of burn-in; a line of the
  // covariate (effect 2) each time.
  EXPECT_EQ(lines_starting(read_file(dir() / "mh_dbeliefchg"), " 2 "), 2);
}

TEST_F(ReactionNormChain, PosteriorMeansFollowTheTruth) {
  const Process sim =
      run_simulator(dir(), "--rnorm 20,5 --records 2000 --nround 800 --nburn 200 --skip 5 --seed 7");
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  const std::vector<double> h = truth_values(dir(), "COVARIATES"), b = truth_values(dir(), "SLOPES");
  ASSERT_EQ(h.size(), 20u);
  ASSERT_EQ(b.size(), 5u);
  const std::vector<double> hm = posterior_means(dir(), 2), bm = posterior_means(dir(), 3);
  ASSERT_EQ(hm.size(), 20u);
  ASSERT_EQ(bm.size(), 5u);
  EXPECT_GT(correlation(h, hm), 0.95);
  EXPECT_GT(correlation(b, bm), 0.9);
}

}  // namespace
