#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulate.hpp"
#include "simulate_support.hpp"

namespace {

using simtest::lines_of;
using simtest::numbers;

using simtest::refusal;

TEST(SimulateOptions, DefaultsAndRefusals) {
  const sim::Options o = sim::parse_options({"--records", "200", "--traits=2", "--g", "1,0.5,2"});
  EXPECT_EQ(o.records, 200);
  EXPECT_EQ(o.animals, 300);  // 1.5 times the records
  EXPECT_EQ(o.chain_seed, 1);
  const sim::Matrix g = sim::true_g(o);
  ASSERT_EQ(g.size(), 4u);
  EXPECT_EQ(g[1], 0.5);
  EXPECT_EQ(g[2], 0.5);
  EXPECT_EQ(g[3], 2.0);

  const std::vector<std::vector<std::string>> bad = {
      {"--traits", "4"},
      {"--records", "10", "--levels", "11"},
      {"--missing", "0.1"},  // one trait
      {"--traits", "2", "--g", "1,2,1"},  // not positive definite
      {"--traits", "2", "--r", "1,0"},  // wrong count
      {"--prefix", "a b"},
      {"--records", "ten"},
      {"--skip", "0"},
      {"--chain-seed", "2147483399"},
      {"--weights=yes"},
      {"--records"},
      {"--what"},
      {"--groups", "add_animal"},
      {"--groups", "add_an_upg", "--reduced"},
  };
  for (const auto& args : bad) EXPECT_NE(refusal(args), "") << args[0];
}

TEST(SimulatePedigree, ParentsComeFirstAndMendelianSamplingHasItsVariance) {
  sim::Rng rng(7);
  const long n = 80000;
  const sim::Pedigree p = sim::make_pedigree(n, 3, 0.2, rng);
  ASSERT_EQ(p.size(), n);
  long one = 0, two = 0, none = 0;
  std::vector<int> role(n + 1, 0);  // 1 sire, 2 dam
  for (long i = 1; i <= n; ++i) {
    const long s = p.sire[i], d = p.dam[i];
    ASSERT_TRUE(s >= 0 && s < i && d >= 0 && d < i) << i;
    if (s) {
      EXPECT_EQ(p.generation[s], p.generation[i] - 1);
      EXPECT_NE(role[s], 2);
      role[s] = 1;
    }
    if (d) {
      EXPECT_EQ(p.generation[d], p.generation[i] - 1);
      EXPECT_NE(role[d], 1);
      role[d] = 2;
    }
    if (p.generation[i] == 0) {
      EXPECT_EQ(s + d, 0);
    }
    else (s && d ? two : s || d ? one : none) += 1;
  }
  // Non-founders: parents unknown with chance 0.2 each.
  const double m = static_cast<double>(one + two + none);
  EXPECT_NEAR(two / m, 0.64, 0.01);
  EXPECT_NEAR(one / m, 0.32, 0.01);

  const int nt = 2;
  const sim::Matrix g = {1.0, -0.3, -0.3, 0.5};
  const std::vector<double> a = sim::breeding_values(p, g, nt, rng);
  // Covariance of the Mendelian terms per number of known parents: (1 - k/4) G.
  double c[3][3] = {};
  long cnt[3] = {};
  for (long i = 1; i <= n; ++i) {
    const long s = p.sire[i], d = p.dam[i];
    const int k = (s > 0) + (d > 0);
    double m2[2];
    for (int t = 0; t < nt; ++t) m2[t] = a[i * nt + t] - 0.5 * (a[s * nt + t] + a[d * nt + t]);
    c[k][0] += m2[0] * m2[0];
    c[k][1] += m2[0] * m2[1];
    c[k][2] += m2[1] * m2[1];
    ++cnt[k];
  }
  for (int k = 0; k < 3; ++k) {
    SCOPED_TRACE(k);
    const double f = 1.0 - 0.25 * k, nk = static_cast<double>(cnt[k]);
    const double tol = 5.0 * std::sqrt(2.0 / nk);  // about five standard errors
    EXPECT_NEAR(c[k][0] / nk, f * 1.0, tol * f * 1.0);
    EXPECT_NEAR(c[k][1] / nk, f * -0.3, tol * f * 0.8);
    EXPECT_NEAR(c[k][2] / nk, f * 0.5, tol * f * 0.5);
  }
}

TEST(SimulateFiles, LayoutOfTheDataSet) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(testing::TempDir()) / "sim_layout";
  fs::remove_all(dir);
  const sim::Options o = sim::parse_options({"--records", "400", "--animals", "500", "--traits", "3", "--levels",
                                             "7", "--weights", "--missing", "0.3", "--tbv", "--nround", "30",
                                             "--nburn", "10", "--skip", "5", "--out", dir.string(), "--prefix",
                                             "x_"});
  const sim::Summary s = sim::simulate(o);
  ASSERT_EQ(s.files.size(), 5u);

  const auto ped = lines_of((dir / "x_pedigree.txt").string());
  ASSERT_EQ(ped.size(), 500u);
  for (std::size_t i = 0; i < ped.size(); ++i) {
    const std::vector<double> v = numbers(ped[i]);
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0], static_cast<double>(i + 1));
  }

  const auto data = lines_of((dir / "x_data.txt").string());
  ASSERT_EQ(data.size(), 400u);
  long missing = 0;
  for (std::size_t k = 0; k < data.size(); ++k) {
    const std::vector<double> v = numbers(data[k]);
    ASSERT_EQ(v.size(), 7u) << data[k];  // 3 traits, level, covariable, animal, weight
    int miss = 0;
    for (int t = 0; t < 3; ++t) miss += v[t] == 0.0;
    EXPECT_LT(miss, 3) << data[k];
    missing += miss;
    EXPECT_TRUE(v[3] >= 1 && v[3] <= 7 && v[3] == std::floor(v[3]));
    EXPECT_NE(v[4], 0.0);  // a 0 covariable would read as absent
    EXPECT_EQ(v[5], static_cast<double>(101 + k));  // the last 400 animals
    EXPECT_TRUE(v[6] >= 1 && v[6] <= 4);
  }
  EXPECT_GT(missing, 200);
  EXPECT_LT(missing, 500);

  const auto par = lines_of((dir / "x_params.txt").string());
  std::vector<std::string> keys;
  for (const std::string& l : par)
    if (!l.empty() && (std::isupper(static_cast<unsigned char>(l[0])) || l[0] == '(')) keys.push_back(l);
  const std::vector<std::string> want = {
      "MCMC_CHAIN:", "SEED", "RESTART:", "DATAFILE", "NUMBER_OF_TRAITS", "NUMBER_OF_EFFECTS",
      "OBSERVATION(S)", "WEIGHT(S)", "EFFECTS:", "RANDOM_RESIDUAL:", "RESIDUAL_PRIOR_(CO)VARIANCES",
      "RANDOM_GROUP", "RANDOM_TYPE", "PEDIGREEFILE:", "(CO)VARIANCES"};
  EXPECT_EQ(keys, want);
  auto after = [&](const std::string& key, int k = 1) {
    for (std::size_t i = 0; i + k < par.size(); ++i)
      if (par[i] == key) return par[i + k];
    return std::string("?");
  };
  EXPECT_EQ(after("MCMC_CHAIN:"), "30 10 5");
  EXPECT_EQ(after("DATAFILE"), "x_data.txt 400");
  EXPECT_EQ(after("OBSERVATION(S)"), "1 2 3");
  EXPECT_EQ(after("WEIGHT(S)"), "7");
  EXPECT_EQ(after("EFFECTS:", 1), "4 4 4 7 cross n");
  EXPECT_EQ(after("EFFECTS:", 2), "5 5 5 1 cov n");
  EXPECT_EQ(after("EFFECTS:", 3), "6 6 6 500 cross n");
  EXPECT_EQ(after("PEDIGREEFILE:"), "x_pedigree.txt 500");
  EXPECT_EQ(after("RANDOM_TYPE"), "add_animal 0");
  // The true G is the starting G (scale 1), symmetric.
  const auto truth = lines_of((dir / "x_truth.txt").string());
  for (int r = 1; r <= 3; ++r) {
    std::string true_row;
    for (std::size_t i = 0; i < truth.size(); ++i)
      if (truth[i] == "GENETIC_(CO)VARIANCES") true_row = truth[i + r];
    EXPECT_EQ(after("(CO)VARIANCES", r), true_row);
  }
  EXPECT_EQ(lines_of((dir / "x_tbv.txt").string()).size(), 500u);

  // The same seed gives the same files.
  const fs::path again = fs::path(testing::TempDir()) / "sim_again";
  sim::Options o2 = o;
  o2.out = again.string();
  sim::simulate(o2);
  EXPECT_EQ(lines_of((again / "x_data.txt").string()), data);
}

// A parent-group pedigree: founders (generation 0) name no parent, every
// unknown parent of a later animal is group 201, and the code counts the
// parents that are animals.
TEST(SimulateFiles, ParentGroupPedigree) {
  namespace fs = std::filesystem;
  for (const std::string type : {"add_an_upg", "add_an_upgi"}) {
    SCOPED_TRACE(type);
    const fs::path dir = fs::path(testing::TempDir()) / ("sim_" + type);
    fs::remove_all(dir);
    const sim::Summary s = sim::simulate(sim::parse_options({"--records", "100", "--animals", "200", "--generations",
                                                             "2", "--unknown", "0.3", "--groups", type, "--out",
                                                             dir.string()}));
    const auto ped = lines_of(dir / "pedigree.txt");
    ASSERT_EQ(ped.size(), 200u);
    long founders = 0, group = 0, both = 0;
    for (std::size_t k = 0; k < ped.size(); ++k) {
      const std::vector<double> v = numbers(ped[k]);
      ASSERT_EQ(v.size(), 4u) << ped[k];
      const double i = static_cast<double>(k + 1);
      EXPECT_EQ(v[0], i);
      int animals = 0;
      for (int c = 1; c <= 2; ++c) {
        EXPECT_TRUE(v[c] == 201 || v[c] < i) << ped[k];
        animals += v[c] > 0 && v[c] < 201;
        group += v[c] == 201;
      }
      both += v[1] == 201 && v[2] == 201;
      const bool founder = v[1] == 0 && v[2] == 0;
      founders += founder;
      // Generation 0 holds ids 1 to 66 (200 / 3).
      EXPECT_EQ(founder, i <= 66) << ped[k];
      const double code = type == "add_an_upg" ? 3 - animals : animals == 2 ? 2000 : animals == 1 ? 1333 : 1000;
      EXPECT_EQ(v[3], code) << ped[k];
    }
    EXPECT_EQ(founders, 66);
    EXPECT_EQ(s.founders, 66);
    EXPECT_GT(group, 40);
    EXPECT_GT(both, 0);
    const auto par = lines_of(dir / "params.txt");
    auto after = [&](const std::string& key, int k = 1) {
      for (std::size_t i = 0; i + k < par.size(); ++i)
        if (par[i] == key) return par[i + k];
      return std::string("?");
    };
    EXPECT_EQ(after("EFFECTS:", 3), "4 201 cross n");
    EXPECT_EQ(after("RANDOM_TYPE"), type + " 0");
    EXPECT_EQ(after("PEDIGREEFILE:"), "pedigree.txt 200");
  }
}

// The program accepts the parameter file and its inputs (when the test is
// run with the program's path in VELMORAN_EXE).
TEST(SimulateFiles, TheProgramReadsThem) {
  namespace fs = std::filesystem;
  const char* exe = std::getenv("VELMORAN_EXE");
  if (!exe || !fs::exists(exe)) GTEST_SKIP() << "VELMORAN_EXE not set";
  const fs::path dir = fs::path(testing::TempDir()) / "sim_run";
  fs::remove_all(dir);
  sim::simulate(sim::parse_options(
      {"--records", "300", "--traits", "2", "--nround", "20", "--nburn", "10", "--skip", "2", "--out", dir.string()}));
  const std::string cmd = "cd '" + dir.string() + "' && echo params.txt | '" + exe + "' > log.txt 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << "see " << (dir / "log.txt").string();
}

}  // namespace
