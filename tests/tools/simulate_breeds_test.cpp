// The simulator's two-breed data: founders purebred by the parity of their
// id, every other animal the mean of its parents' fractions, the Mendelian
// variances of the breed model, and the options it refuses.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulate.hpp"

namespace {

namespace fs = std::filesystem;

std::vector<std::vector<double>> rows_of(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::vector<double>> out;
  for (std::string l; std::getline(in, l);) {
    std::istringstream s(l);
    std::vector<double> v;
    for (double x; s >> x;) v.push_back(x);
    out.push_back(v);
  }
  return out;
}

TEST(SimulateBreeds, FractionsFollowThePedigree) {
  const fs::path dir = fs::path(testing::TempDir()) / "sim_breeds";
  fs::remove_all(dir);
  sim::simulate(sim::parse_options({"--breeds", "1,2,0.3", "--unknown", "0", "--records", "300", "--seed", "4",
                                    "--out", dir.string()}));
  const auto ped = rows_of(dir / "pedigree.txt");
  ASSERT_EQ(ped.size(), 450u);
  int crossbred = 0;
  for (std::size_t k = 0; k < ped.size(); ++k) {
    const auto& r = ped[k];
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], static_cast<double>(k + 1));
    EXPECT_DOUBLE_EQ(r[3] + r[4], 1.0);
    if (r[1] == 0 && r[2] == 0) {
      EXPECT_EQ(r[3], (k + 1) % 2 == 1 ? 1.0 : 0.0) << k + 1;
      continue;
    }
    const auto& d = ped[static_cast<std::size_t>(r[1]) - 1];
    const auto& s = ped[static_cast<std::size_t>(r[2]) - 1];
    EXPECT_LT(r[1], r[0]);
    EXPECT_LT(r[2], r[0]);
    EXPECT_DOUBLE_EQ(r[3], 0.5 * (d[3] + s[3]));
    crossbred += r[3] > 0 && r[3] < 1;
  }
  EXPECT_GT(crossbred, 50);
  // The parameter file holds the breed blocks and the Metropolis section.
  std::ifstream in(dir / "params.txt");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("add_an_mb 5\nPEDIGREEFILE:\npedigree.txt 450 0 2\n"), std::string::npos) << all;
  EXPECT_NE(all.find("METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n2 5\n(CO)VARIANCES\n1 0.3\n0.3 2\n"),
            std::string::npos)
      << all;
}

TEST(SimulateBreeds, CandidatesShareTheTrueSiresFractions) {
  const fs::path dir = fs::path(testing::TempDir()) / "sim_breeds_cand";
  fs::remove_all(dir);
  sim::simulate(sim::parse_options({"--breeds", "1,2,0.3", "--unknown", "0", "--records", "600", "--candidates",
                                    "0.5", "--mb-rounds", "4", "--seed", "6", "--out", dir.string()}));
  const auto ped = rows_of(dir / "pedigree.txt");
  const auto ms = rows_of(dir / "msires.txt");
  std::size_t at = 0;
  int uncertain = 0;
  for (const auto& r : ped) {
    if (r[2] >= 0) continue;
    ++uncertain;
    // The candidate blocks follow the pedigree's order.
    const int n = static_cast<int>(ms[at][0]);
    ASSERT_GE(n, 2);
    ASSERT_LE(n, 4);
    const auto& first = ped[static_cast<std::size_t>(ms[at + 1][0]) - 1];
    for (int k = 0; k < n; ++k) {
      const auto& c = ped[static_cast<std::size_t>(ms[at + 1 + 2 * k][0]) - 1];
      EXPECT_EQ(c[3], first[3]) << "animal " << r[0];
      EXPECT_NEAR(ms[at + 2 + 2 * k][0], 1.0 / n, 1e-9);
    }
    at += 1 + 2 * static_cast<std::size_t>(n);
  }
  EXPECT_EQ(at, ms.size());
  EXPECT_GT(uncertain, 50);
  std::ifstream in(dir / "params.txt");
  std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(all.find("MULTIPLE_SIRES:\n4 msires.txt " + std::to_string(ms.size()) +
                     " 0\nMETROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n4 5\n"),
            std::string::npos)
      << all;
}

TEST(SimulateBreeds, MendelianVariances) {
  // 1 (breed 1), 2 (breed 2), 3 and 4 their F1, 5 the F2 of 3 and 4.
  sim::Pedigree p;
  p.sire = {0, 0, 0, 1, 1, 3};
  p.dam = {0, 0, 0, 2, 2, 4};
  p.generation = {0, 0, 0, 1, 1, 2};
  const std::vector<double> frac = {0, 0, 1, 0, 0, 1, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5};
  const std::vector<double> bg = {1, 2, 0.3};
  const double want[] = {1, 2, 0.75, 0.75, 1.05};
  for (long i = 1; i <= 5; ++i) EXPECT_NEAR(sim::breed_mendelian_var(p, frac, bg, i), want[i - 1], 1e-15) << i;
}

TEST(SimulateBreeds, RefusedOptions) {
  const std::vector<std::vector<std::string>> bad = {
      {"--breeds", "1,2"},
      {"--breeds", "1,2,0.3"},  // unknown parents by default
      {"--breeds", "1,-2,0.3", "--unknown", "0"},
      {"--breeds", "1,2,-0.1", "--unknown", "0"},
      {"--breeds", "1,2,0.3", "--unknown", "0", "--traits", "2"},
      {"--breeds", "1,2,0.3", "--unknown", "0", "--reduced"},
      {"--breeds", "1,2,0.3", "--unknown", "0", "--dbelief", "2"},
      {"--breeds", "1,2,0.3", "--unknown", "0", "--mb-rounds", "-1"},
  };
  for (const auto& args : bad) EXPECT_THROW(sim::parse_options(args), std::invalid_argument) << args[1];
}

}  // namespace
