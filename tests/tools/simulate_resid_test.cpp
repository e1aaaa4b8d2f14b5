// The simulator's residual options: Student-t residuals (variance r df/(df-2))
// and a residual scale at the last fixed level, and the parameter file that
// fits them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulate.hpp"
#include "simulate_support.hpp"

namespace {

namespace fs = std::filesystem;

TEST(SimulateResiduals, RefusalsOfTheResidualOptions) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--student-t", "5", "--traits", "2"}, "--student-t needs one trait"},
      {{"--structural", "4", "--traits", "3"}, "--structural needs one trait"},
      {{"--structural", "4", "--levels", "1"}, "--structural needs two or more levels"},
      {{"--student-t", "0.05"}, "--student-t must be between 0.1 and 1000"},
      {{"--structural", "-1"}, "--structural must be between 0.001 and 1000"},
  };
  for (const Case& c : cases) EXPECT_EQ(simtest::refusal(c.args), c.message);
}

TEST(SimulateResiduals, HeavyTailsAndHerdScaleInDataAndParameters) {
  const fs::path dir = fs::path(testing::TempDir()) / "sim_resid";
  fs::remove_all(dir);
  // Two levels; level 2 has 4 times the residual variance; t with 6 df has
  // variance 1.5 r.  No genetic variance to speak of.
  sim::simulate(sim::parse_options({"--records", "20000", "--levels", "2", "--student-t", "6", "--structural", "4",
                                    "--g", "0.000001", "--r", "1", "--seed", "9", "--out", dir.string()}));
  std::ifstream par(dir / "params.txt");
  std::stringstream text;
  text << par.rdbuf();
  EXPECT_NE(text.str().find("RANDOM_RESIDUAL:\nstruct_student_t 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\n"
                            "NUMBER_OF_STRUCTURAL_EFFECTS\n1\nSTRUCTURAL_EFFECTS:\n1 y\n"
                            "RESIDUAL_PRIOR_(CO)VARIANCES\n"),
            std::string::npos)
      << text.str();

  // Spread of each level around its mean: the covariable adds the same
  // variance to both, the residual 1.5 r and 1.5 * 4 r.
  std::ifstream data(dir / "data.txt");
  double sum[2] = {}, ss[2] = {};
  long n[2] = {};
  for (std::string l; std::getline(data, l);) {
    std::istringstream in(l);
    double y, level, cov, animal;
    ASSERT_TRUE(in >> y >> level >> cov >> animal);
    const int k = static_cast<int>(level) - 1;
    sum[k] += y;
    ss[k] += y * y;
    ++n[k];
  }
  double var[2];
  for (int k = 0; k < 2; ++k) {
    const double m = sum[k] / n[k];
    var[k] = ss[k] / n[k] - m * m;
  }
  EXPECT_NEAR(var[1] - var[0], 1.5 * 3.0, 0.6);
}

}  // namespace
