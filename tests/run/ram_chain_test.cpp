// Reduced animal models and candidate sires through the whole program: a
// reduced animal model is a reparametrisation of the full one, so both give
// the same posterior means of the variances; with uncertain paternity the
// true sire gets the highest posterior probability far more often than
// chance.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

#define NEED_TOOLS()                                                           \
  do {                                                                         \
    if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";        \
    if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set"; \
  } while (0)

std::vector<double> numbers(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> v;
  for (double x; in >> x;) v.push_back(x);
  return v;
}

// Mean and batch-means standard error of G and R of a one-trait chain from
// its "varcompsam" (cycle, g, r per written cycle), over the cycles past
// burn-in.
struct Posterior {
  double mean[2] = {0, 0}, se[2] = {0, 0};
};

Posterior posterior(const fs::path& d, int nburn) {
  const auto lines = lines_of(read_file(d / "varcompsam"));
  std::vector<double> x[2];
  for (std::size_t i = 0; i + 2 < lines.size(); i += 3) {
    if (numbers(lines[i])[0] <= nburn) continue;
    x[0].push_back(numbers(lines[i + 1])[0]);
    x[1].push_back(numbers(lines[i + 2])[0]);
  }
  Posterior p;
  constexpr int batches = 20;
  for (int k = 0; k < 2; ++k) {
    const std::size_t n = x[k].size(), b = n / batches;
    double m = 0;
    for (double v : x[k]) m += v;
    m /= static_cast<double>(n);
    double ss = 0;
    for (int j = 0; j < batches; ++j) {
      double bm = 0;
      for (std::size_t i = 0; i < b; ++i) bm += x[k][j * b + i];
      bm /= static_cast<double>(b);
      ss += (bm - m) * (bm - m);
    }
    p.mean[k] = m;
    p.se[k] = std::sqrt(ss / (batches - 1) / batches);
  }
  return p;
}

class ReducedModel : public ChainFolder {};

TEST_F(ReducedModel, GivesThePosteriorMeansOfTheFullAnimalModel) {
  NEED_TOOLS();
  const fs::path full = dir() / "full", red = dir() / "reduced";
  const std::string common = "--records 800 --nround 6000 --nburn 500 --skip 2 --seed 12";
  for (const fs::path& d : {full, red}) {
    fs::create_directories(d);
    const Process sim = run_simulator(d, common + (d == red ? " --reduced" : ""));
    ASSERT_EQ(sim.status, 0) << sim.err;
    const Process p = run_program(d);
    ASSERT_EQ(p.status, 0) << p.out << p.err;
  }
  const Posterior a = posterior(full, 500), b = posterior(red, 500);
  const char* names[2] = {"G", "R"};
  for (int k = 0; k < 2; ++k) {
    EXPECT_GT(b.se[k], 0.0);
    EXPECT_LT(std::fabs(a.mean[k] - b.mean[k]), 4.0 * std::hypot(a.se[k], b.se[k]))
        << names[k] << ": full " << a.mean[k] << " (" << a.se[k] << "), reduced " << b.mean[k] << " ("
        << b.se[k] << ")";
  }

  // The animals without equations have their values in "solutions" beside
  // the others, and every record its log-likelihood.
  const auto sol = lines_of(read_file(red / "solutions"));
  const auto ped = lines_of(read_file(red / "pedigree.txt"));
  std::size_t effect3 = 0;
  for (std::size_t i = 2; i < sol.size(); ++i) effect3 += numbers(sol[i])[1] == 3;
  EXPECT_EQ(effect3, ped.size());
  const auto ll = lines_of(read_file(red / "loglike_obs"));
  ASSERT_EQ(ll.size(), 2u + 800u);
  for (std::size_t i = 2; i < ll.size(); ++i)
    for (double x : numbers(ll[i])) ASSERT_TRUE(std::isfinite(x)) << ll[i];
}

TEST_F(ReducedModel, TrueSiresGetTheHighestPosteriorProbability) {
  NEED_TOOLS();
  // A heritability of 0.8: each animal's own record tells of its sire.
  const Process sim = run_simulator(dir(), "--records 800 --nround 600 --nburn 100 --skip 2 --seed 8 --reduced "
                                           "--candidates 0.5 --g 4 --r 1");
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;

  std::map<long, long> truth;
  bool in = false;
  for (const std::string& l : lines_of(read_file(dir() / "truth.txt"))) {
    if (in) {
      const std::vector<double> v = numbers(l);
      truth[static_cast<long>(v[0])] = static_cast<long>(v[1]);
    }
    in = in || l.rfind("TRUE_SIRES", 0) == 0;
  }
  // msiresppr: animal, sire, probability mean, sd, last, share of the draws.
  std::map<long, std::vector<std::pair<long, double>>> drawn;
  const auto lines = lines_of(read_file(dir() / "msiresppr"));
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::vector<double> v = numbers(lines[i]);
    ASSERT_EQ(v.size(), 6u) << lines[i];
    drawn[static_cast<long>(v[0])].push_back({static_cast<long>(v[1]), v[5]});
  }
  ASSERT_EQ(drawn.size(), truth.size());
  double hits = 0, chance = 0, var = 0;
  for (const auto& [animal, c] : drawn) {
    double sum = 0;
    std::size_t best = 0;
    for (std::size_t k = 0; k < c.size(); ++k) {
      sum += c[k].second;
      if (c[k].second > c[best].second) best = k;
    }
    EXPECT_NEAR(sum, 1.0, 1e-6) << animal;
    hits += c[best].first == truth[animal];
    const double q = 1.0 / static_cast<double>(c.size());
    chance += q;
    var += q * (1 - q);
  }
  EXPECT_GT(truth.size(), 200u);
  EXPECT_GT(hits, chance + 4.0 * std::sqrt(var)) << "hits " << hits << " of " << truth.size();
}

}  // namespace
