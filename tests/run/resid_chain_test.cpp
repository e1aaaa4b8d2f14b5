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

// Herd 1 has 6 records in 2 fixed herd-years nested in it, so its factor has
// no finite posterior mean: it is announced and stays 1.  Herd 2 has 8 in 2
// and is sampled; herd 3, the reference, has 40 in 4.  With flat priors on
// the locations and factors and 0 degrees of belief for r, integrating out
// the locations and r leaves the exact marginal of herd 2's factor f:
//   p(f | y) ~ f^-(8 - 2)/2 (S2 / f + S1 + S3)^-(54 - 8)/2,
// S_h the sum of squares within the herd-years of herd h.  The chain's mean
// of ln f and its probability below the exact median are held to it.
TEST_F(ResidChain, HerdWithNestedHerdYearsAgainstItsExactPosterior) {
  struct Cell {
    int herd, hy, n;
  };
  const Cell cells[] = {{1, 1, 3}, {1, 2, 3}, {2, 3, 4}, {2, 4, 4}, {3, 5, 10}, {3, 6, 10}, {3, 7, 10}, {3, 8, 10}};
  Sixteenths noise(41);
  std::ostringstream data;
  double ss[4] = {0, 0, 0, 0};
  int nrec = 0;
  for (const Cell& c : cells) {
    std::vector<double> y;
    for (int k = 0; k < c.n; ++k) y.push_back(8 + c.hy + noise.next(c.herd == 3 ? 1.5 : 3.0));
    double mean = 0;
    for (double v : y) mean += v / c.n;
    for (double v : y) {
      ss[c.herd] += (v - mean) * (v - mean);
      data << v << " " << c.herd << " " << c.hy << "\n";
    }
    nrec += c.n;
  }
  const int cycles = 40000, burn = 1000;
  std::ofstream(dir() / "data.txt") << data.str();
  std::ofstream(dir() / "params.txt")
      << "MCMC_CHAIN:\n" << cycles << " " << burn << " 20\nSEED\n3\nRESTART:\nn\nDATAFILE\ndata.txt " << nrec
      << "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n2 3 cross n\n"
         "3 8 cross n\nRANDOM_RESIDUAL:\nstructural 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\n"
         "NUMBER_OF_STRUCTURAL_EFFECTS\n1\nSTRUCTURAL_EFFECTS:\n1 y\nRESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n";
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  const std::string said =
      " Structural effect 1 level 1 has 6 records and 2 fixed location parameters that only they inform: its"
      " factor is not sampled (a finite posterior mean needs 7 records)\n";
  ASSERT_NE(p.out.find(said), std::string::npos) << p.out;
  EXPECT_EQ(p.out.find(said), p.out.rfind(said));

  // The exact marginal of u = ln f on a grid, and its mean and median.
  const double a = (8 - 2) / 2.0, b = (nrec - 8) / 2.0, c = ss[1] + ss[3];
  std::vector<double> u, w;
  double top = -1e300;
  for (double x = -20; x < 30; x += 1e-3) {
    u.push_back(x);
    w.push_back((1 - a) * x - b * std::log(ss[2] * std::exp(-x) + c));
    top = std::max(top, w.back());
  }
  double total = 0, mean_u = 0;
  for (double& v : w) total += v = std::exp(v - top);
  for (std::size_t i = 0; i < u.size(); ++i) mean_u += u[i] * w[i] / total;
  double median = 0, acc = 0;
  for (std::size_t i = 0; i < u.size() && median == 0; ++i)
    if ((acc += w[i]) >= total / 2) median = std::exp(u[i]);

  // "varcompsam": the cycle, r, the factors of herds 1 and 2.
  std::istringstream sam(read_file(dir() / "varcompsam"));
  BatchMeans log_f((cycles - burn) / 20 / 30), below((cycles - burn) / 20 / 30);
  int round = 0;
  double r = 0, f1 = 0, f2 = 0;
  while (sam >> round >> r >> f1 >> f2) {
    ASSERT_EQ(f1, 1.0) << round;
    if (round <= burn) continue;
    log_f.add(std::log(f2));
    below.add(f2 < median ? 1.0 : 0.0);
  }
  ASSERT_EQ(round, cycles);
  EXPECT_LT(std::fabs(log_f.mean() - mean_u), 4 * log_f.se()) << log_f.mean() << " exact " << mean_u;
  EXPECT_LT(std::fabs(below.mean() - 0.5), 4 * below.se()) << below.mean();
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
