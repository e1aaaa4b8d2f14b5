// The simulator's reaction-norm data sets: refusals of the options, and data
// whose records follow mu + h_j (1 + b_i) with the true values written.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulate.hpp"
#include "simulate_support.hpp"

namespace {

namespace fs = std::filesystem;

TEST(SimulateReactionNorms, RefusalsOfTheOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--rnorm", "20"}, "--rnorm needs two numbers: environments,slope levels"},
      {{"--rnorm", "1,5"}, "--rnorm needs whole numbers: at least 2 environments and 1 slope level"},
      {{"--rnorm", "2.5,5"}, "--rnorm needs whole numbers: at least 2 environments and 1 slope level"},
      {{"--rnorm", "20,5", "--traits", "2"}, "--rnorm needs one trait"},
      {{"--rnorm", "20,5", "--records", "10"}, "--rnorm needs at least one record per environment and slope level"},
      {{"--rnorm", "20,5", "--weights"},
       "--rnorm takes none of --reduced, --candidates, --student-t, --structural, --weights"},
      {{"--rnorm-var", "1,0"}, "--rnorm-var needs two positive variances"},
  };
  for (const Case& c : cases) EXPECT_EQ(simtest::refusal(c.args), c.message);
}

TEST(SimulateReactionNorms, RecordsFollowTheReactionNorms) {
  const fs::path dir = fs::path(testing::TempDir()) / "sim_rnorm";
  fs::remove_all(dir);
  // Residual variance tiny: each record is mu + h_j (1 + b_i) to the
  // precision of the data file.
  sim::simulate(sim::parse_options({"--rnorm", "6,3", "--rnorm-mean", "2", "--records", "60", "--r", "1e-10",
                                    "--seed", "4", "--out", dir.string()}));
  std::map<std::string, std::vector<double>> truth;
  std::string key;
  std::ifstream t(dir / "truth.txt");
  for (std::string l; std::getline(t, l);) {
    if (l.empty() || l[0] == '#') continue;
    if (std::isalpha(static_cast<unsigned char>(l[0]))) {
      key = l.substr(0, l.find(' '));
      continue;
    }
    std::istringstream in(l);
    std::vector<double> v;
    for (double x; in >> x;) v.push_back(x);
    truth[key].push_back(v.back());
  }
  ASSERT_EQ(truth["COVARIATES"].size(), 6u);
  ASSERT_EQ(truth["SLOPES"].size(), 3u);
  std::ifstream data(dir / "data.txt");
  int n = 0;
  for (std::string l; std::getline(data, l); ++n) {
    std::istringstream in(l);
    double y, mean, env, slope;
    ASSERT_TRUE(in >> y >> mean >> env >> slope) << l;
    EXPECT_EQ(mean, 1.0);
    const double h = truth["COVARIATES"].at(static_cast<std::size_t>(env) - 1);
    const double b = truth["SLOPES"].at(static_cast<std::size_t>(slope) - 1);
    EXPECT_NEAR(y, 2.0 + h * (1.0 + b), 1e-4) << l;
  }
  EXPECT_EQ(n, 60);
  std::ifstream par(dir / "params.txt");
  std::stringstream text;
  text << par.rdbuf();
  EXPECT_NE(text.str().find("EFFECTS:\n2 1 cross n\n3 6 unk y\n3 3 rno y 4\n"), std::string::npos) << text.str();
}

}  // namespace
