// The simulator's reduced animal model and candidate sires: parents
// numbered first, every animal without progeny recorded once and in
// ascending order, Mendelian coefficients, candidate blocks holding the true
// sire, and the same data as the full animal model.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "simulate.hpp"
#include "simulate_support.hpp"

namespace {

namespace fs = std::filesystem;

using simtest::lines_of;
using simtest::numbers;

fs::path simulated(const std::string& name, std::vector<std::string> args) {
  const fs::path dir = fs::path(testing::TempDir()) / name;
  fs::remove_all(dir);
  args.insert(args.end(), {"--records", "300", "--animals", "450", "--seed", "5", "--out", dir.string()});
  sim::simulate(sim::parse_options(args));
  return dir;
}

// The value line after a keyword of the parameter file.
std::string after(const std::vector<std::string>& lines, const std::string& key) {
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == key) return lines[i + 1];
  return "";
}

TEST(SimulateReduced, ParentsFirstAndEveryOtherAnimalRecordedOnceInOrder) {
  const fs::path dir = simulated("sim_reduced", {"--reduced", "--candidates", "0.3"});
  const auto par = lines_of(dir / "params.txt");
  const auto ped = lines_of(dir / "pedigree.txt");
  const auto data = lines_of(dir / "data.txt");
  const std::vector<double> eff = numbers(par[static_cast<std::size_t>(
      std::find(par.begin(), par.end(), "EFFECTS:") - par.begin() + 3)]);
  const long with_eq = static_cast<long>(eff[1]);
  EXPECT_NE(par[static_cast<std::size_t>(std::find(par.begin(), par.end(), "EFFECTS:") - par.begin() + 3)]
                .find(" ram n"),
            std::string::npos);
  EXPECT_EQ(after(par, "RANDOM_TYPE"), "add_an_ms 0");
  EXPECT_EQ(after(par, "PEDIGREEFILE:"), "pedigree.txt " + std::to_string(ped.size()) + " 0");

  std::vector<int> progeny(ped.size() + 1, 0), records(ped.size() + 1, 0);
  long negative = 0;
  for (std::size_t i = 0; i < ped.size(); ++i) {
    const std::vector<double> v = numbers(ped[i]);
    ASSERT_EQ(v.size(), 4u);
    EXPECT_EQ(v[0], static_cast<double>(i + 1));
    const int known = (v[1] > 0) + (v[2] != 0);
    EXPECT_FLOAT_EQ(static_cast<float>(v[3]), known == 2 ? 2.0f : known == 1 ? 4.0f / 3.0f : 1.0f) << ped[i];
    for (int k = 1; k <= 2; ++k) {
      if (v[static_cast<std::size_t>(k)] <= 0) continue;
      EXPECT_LE(v[static_cast<std::size_t>(k)], with_eq) << "a parent has an equation: " << ped[i];
      ++progeny[static_cast<std::size_t>(v[static_cast<std::size_t>(k)])];
    }
    negative += v[2] < 0;
  }
  long last = 0;
  for (const std::string& l : data) {
    const long a = static_cast<long>(numbers(l)[3]);
    ++records[static_cast<std::size_t>(a)];
    if (a > with_eq) {
      EXPECT_GT(a, last) << "ascending order of the animals without equations";
      last = a;
    }
  }
  for (std::size_t a = 1; a <= ped.size(); ++a) {
    if (static_cast<long>(a) <= with_eq) continue;
    EXPECT_EQ(records[a], 1) << a;
    EXPECT_EQ(progeny[a], 0) << a;
  }

  // Candidate blocks: one per negative sire, 2 to 4 sires with equal
  // probabilities, the true sire among them.
  const auto ms = lines_of(dir / "msires.txt");
  EXPECT_EQ(after(par, "MULTIPLE_SIRES:"), "4 msires.txt " + std::to_string(ms.size()) + " 0");
  const auto truth = lines_of(dir / "truth.txt");
  std::map<long, long> true_sire;
  for (std::size_t i = std::find_if(truth.begin(), truth.end(),
                                    [](const std::string& l) { return l.rfind("TRUE_SIRES", 0) == 0; }) -
                       truth.begin() + 1;
       i < truth.size(); ++i) {
    const std::vector<double> v = numbers(truth[i]);
    true_sire[static_cast<long>(v[0])] = static_cast<long>(v[1]);
  }
  ASSERT_EQ(static_cast<long>(true_sire.size()), negative);
  ASSERT_GT(negative, 20);
  std::size_t p = 0;
  for (std::size_t i = 0; i < ped.size(); ++i) {
    const std::vector<double> v = numbers(ped[i]);
    if (v[2] >= 0) continue;
    ASSERT_LT(p, ms.size());
    const int k = static_cast<int>(numbers(ms[p])[0]);
    EXPECT_TRUE(k >= 2 && k <= 4) << k;
    bool found = false;
    double sum = 0;
    for (int j = 0; j < k; ++j) {
      const long s = static_cast<long>(numbers(ms[p + 1 + 2 * static_cast<std::size_t>(j)])[0]);
      sum += numbers(ms[p + 2 + 2 * static_cast<std::size_t>(j)])[0];
      EXPECT_TRUE(s >= 1 && s <= with_eq);
      found = found || s == true_sire[static_cast<long>(i + 1)];
    }
    EXPECT_TRUE(found) << "animal " << i + 1;
    EXPECT_NEAR(sum, 1.0, 1e-9);
    p += 1 + 2 * static_cast<std::size_t>(k);
  }
  EXPECT_EQ(p, ms.size());
}

TEST(SimulateReduced, TheSameDataAsTheFullAnimalModel) {
  const fs::path full = simulated("sim_full", {}), red = simulated("sim_red", {"--reduced"});
  const auto a = lines_of(full / "data.txt"), b = lines_of(red / "data.txt");
  ASSERT_EQ(a.size(), b.size());
  // Every column but the animal's number is the same.
  for (std::size_t i = 0; i < a.size(); ++i) {
    std::vector<double> x = numbers(a[i]), y = numbers(b[i]);
    x[3] = y[3] = 0;
    EXPECT_EQ(x, y) << i;
  }
  EXPECT_EQ(after(lines_of(red / "params.txt"), "MULTIPLE_SIRES:"), "0 none 0");
  EXPECT_FALSE(fs::exists(red / "msires.txt"));
  EXPECT_EQ(after(lines_of(full / "params.txt"), "RANDOM_TYPE"), "add_animal 0");
}

TEST(SimulateReduced, Refusals) {
  EXPECT_THROW(sim::parse_options({"--reduced", "--records", "10", "--animals", "9", "--levels", "2"}),
               std::invalid_argument);
  EXPECT_THROW(sim::parse_options({"--candidates", "1.5"}), std::invalid_argument);
}

}  // namespace
