// The simulator's weighted records: a record of weight w carries a residual
// of covariance R/w, recovered from its files (data, true breeding values,
// fixed levels and slopes).
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "simulate.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<std::vector<double>> rows_of(const fs::path& p) {
  std::ifstream in(p);
  std::vector<std::vector<double>> rows;
  for (std::string l; std::getline(in, l);) {
    std::istringstream s(l);
    std::vector<double> v;
    for (double x; s >> x;) v.push_back(x);
    rows.push_back(v);
  }
  return rows;
}

// The numbers of the lines after the truth file's line starting with key.
std::vector<std::vector<double>> after_key(const fs::path& truth, const std::string& key, std::size_t count) {
  std::ifstream in(truth);
  std::vector<std::vector<double>> rows;
  bool on = false;
  for (std::string l; std::getline(in, l) && rows.size() < count;) {
    if (on) {
      std::istringstream s(l);
      std::vector<double> v;
      for (double x; s >> x;) v.push_back(x);
      rows.push_back(v);
    } else if (l.rfind(key, 0) == 0) {
      on = true;
    }
  }
  return rows;
}

TEST(SimulateWeights, ResidualCovarianceOfARecordIsROverItsWeight) {
  const fs::path dir = fs::path(testing::TempDir()) / "sim_weights";
  fs::remove_all(dir);
  const int nt = 2, levels = 5;
  const sim::Options o =
      sim::parse_options({"--records", "8000", "--traits", "2", "--levels", std::to_string(levels), "--weights",
                          "--tbv", "--r", "2,0.6,1.5", "--seed", "5", "--out", dir.string()});
  sim::simulate(o);

  const auto tbv = rows_of(dir / "tbv.txt");
  const auto slopes = after_key(dir / "truth.txt", "COVARIABLE_SLOPES", 1).at(0);
  const auto fixed = after_key(dir / "truth.txt", "FIXED_LEVELS", levels);
  ASSERT_EQ(slopes.size(), 2u);
  ASSERT_EQ(fixed.size(), static_cast<std::size_t>(levels));

  // Sums of e e' per weight class 1..4: columns y1 y2 level cov animal w.
  double c[5][3] = {};
  long n[5] = {};
  for (const auto& v : rows_of(dir / "data.txt")) {
    ASSERT_EQ(v.size(), 6u);
    const int w = static_cast<int>(v[5]);
    ASSERT_TRUE(w >= 1 && w <= 4 && v[5] == w);
    const auto level = static_cast<std::size_t>(v[2]) - 1;
    const auto animal = static_cast<std::size_t>(v[4]) - 1;
    double e[2];
    for (int t = 0; t < nt; ++t)
      e[t] = v[static_cast<std::size_t>(t)] - fixed[level][static_cast<std::size_t>(1 + t)] -
             slopes[static_cast<std::size_t>(t)] * v[3] - tbv[animal][static_cast<std::size_t>(1 + t)];
    c[w][0] += e[0] * e[0];
    c[w][1] += e[0] * e[1];
    c[w][2] += e[1] * e[1];
    ++n[w];
  }
  const double r[3] = {2.0, 0.6, 1.5};
  for (int w = 1; w <= 4; ++w) {
    SCOPED_TRACE(testing::Message() << "weight " << w);
    ASSERT_GT(n[w], 1500);
    const double nw = static_cast<double>(n[w]);
    // About five standard errors of a sample (co)variance.
    const double tol = 5.0 * std::sqrt(2.0 / nw);
    EXPECT_NEAR(c[w][0] / nw, r[0] / w, tol * r[0] / w);
    EXPECT_NEAR(c[w][1] / nw, r[1] / w, tol * std::sqrt(r[0] * r[2]) / w);
    EXPECT_NEAR(c[w][2] / nw, r[2] / w, tol * r[2] / w);
  }
}

}  // namespace
