// The simulator's maternal effect and its effects absent for a trait: the
// dam's column, the group of direct and maternal effects, data columns 0 for
// the absent rows, true values 0 there and the rest of the data set as drawn
// without them.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "simulate.hpp"
#include "simulate_support.hpp"

namespace {

namespace fs = std::filesystem;

using simtest::lines_of;
using simtest::numbers;
using simtest::refusal;

fs::path simulated(const std::string& name, std::vector<std::string> args) {
  const fs::path dir = fs::path(testing::TempDir()) / name;
  fs::remove_all(dir);
  args.insert(args.end(), {"--traits", "2", "--records", "300", "--animals", "400", "--maternal", "--weights",
                           "--tbv", "--seed", "9", "--out", dir.string()});
  sim::simulate(sim::parse_options(args));
  return dir;
}

std::string after(const std::vector<std::string>& lines, const std::string& key, std::size_t k = 1) {
  for (std::size_t i = 0; i + k < lines.size(); ++i)
    if (lines[i] == key) return lines[i + k];
  return "?";
}

TEST(SimulateMaternal, AbsentRowsHaveNoColumnAndNoValues) {
  const fs::path full = simulated("sim_maternal", {});
  const fs::path part = simulated("sim_maternal_absent", {"--absent", "4"});

  const auto par = lines_of(part / "params.txt");
  EXPECT_EQ(after(par, "NUMBER_OF_EFFECTS"), "4");
  EXPECT_EQ(after(par, "EFFECTS:", 3), "5 5 400 cross n");
  EXPECT_EQ(after(par, "EFFECTS:", 4), "7 0 400 cross n");  // the dam after the weight
  EXPECT_EQ(after(par, "RANDOM_GROUP"), "3 4");
  // The starting matrix as a user writes it, absent row included; the truth
  // without it.  Default: maternal (co)variances half the direct ones,
  // direct-maternal ones -0.25 times them.
  const sim::Matrix g = sim::true_g(sim::parse_options({"--traits", "2", "--maternal"}));
  ASSERT_EQ(g.size(), 16u);
  EXPECT_EQ(g[2 * 4 + 2], 0.5 * g[0]);
  EXPECT_EQ(g[0 * 4 + 3], -0.25 * g[1]);
  const auto truth = lines_of(part / "truth.txt");
  for (int r = 0; r < 4; ++r) {
    const std::vector<double> start = numbers(after(par, "(CO)VARIANCES", static_cast<std::size_t>(r) + 1));
    const std::vector<double> t =
        numbers(after(truth, "GENETIC_(CO)VARIANCES (direct traits, then maternal traits)", static_cast<std::size_t>(r) + 1));
    ASSERT_EQ(start.size(), 4u);
    ASSERT_EQ(t.size(), 4u);
    for (int c = 0; c < 4; ++c) {
      EXPECT_NEAR(start[static_cast<std::size_t>(c)], g[static_cast<std::size_t>(r * 4 + c)], 1e-9);
      EXPECT_EQ(t[static_cast<std::size_t>(c)], r == 3 || c == 3 ? 0.0 : start[static_cast<std::size_t>(c)]);
    }
  }

  // The same draws: trait 1 as in the full data set, trait 2 less the dam's
  // maternal value of the full one, which the absent data set holds at 0.
  std::vector<std::vector<double>> tbv_full(401), tbv_part(401);
  for (const std::string& l : lines_of(full / "tbv.txt")) {
    const std::vector<double> v = numbers(l);
    tbv_full[static_cast<std::size_t>(v[0])] = v;
  }
  for (const std::string& l : lines_of(part / "tbv.txt")) {
    const std::vector<double> v = numbers(l);
    ASSERT_EQ(v.size(), 5u);
    EXPECT_EQ(v[4], 0.0);
    tbv_part[static_cast<std::size_t>(v[0])] = v;
  }
  const auto ped = lines_of(part / "pedigree.txt");
  const auto a = lines_of(full / "data.txt"), b = lines_of(part / "data.txt");
  ASSERT_EQ(a.size(), b.size());
  long with_dam = 0;
  for (std::size_t k = 0; k < a.size(); ++k) {
    const std::vector<double> x = numbers(a[k]), y = numbers(b[k]);
    ASSERT_EQ(y.size(), 7u);  // 2 traits, level, covariable, animal, weight, dam
    const int animal = static_cast<int>(y[4]), dam = static_cast<int>(y[6]);
    EXPECT_EQ(numbers(ped[static_cast<std::size_t>(animal - 1)])[2], y[6]);
    EXPECT_EQ(x[0], y[0]);
    const double m2 = dam > 0 ? tbv_full[static_cast<std::size_t>(dam)][4] : 0.0;
    EXPECT_NEAR(x[1] - y[1], m2, 1.5e-4) << k;
    with_dam += dam > 0;
  }
  EXPECT_GT(with_dam, 200);
}

TEST(SimulateMaternal, Refusals) {
  const std::vector<std::vector<std::string>> bad = {
      {"--absent", "2"},                                   // one trait: G of order 1
      {"--traits", "2", "--absent", "1,1"},                // twice
      {"--traits", "2", "--absent", "1,2"},                // no row left
      {"--absent", "0"},
      {"--traits", "2", "--maternal", "--g", "1,0,1"},     // G of order 4: 10 values
      {"--traits", "2", "--reduced", "--absent", "1"},     // the ram effect of trait 1
      {"--maternal", "--breeds", "1,2,0.3", "--unknown", "0"},
      {"--rnorm", "4,3", "--records", "20", "--absent", "1"},
  };
  for (const auto& args : bad) EXPECT_NE(refusal(args), "") << args[0] << " " << args[1];
  EXPECT_EQ(refusal({"--traits", "3", "--maternal", "--absent", "2,6"}), "");
}

}  // namespace
