// The units of the traits do not matter: the same data with every trait
// multiplied by c (and the prior (co)variances by c^2), run with the same
// seed, give (co)variance samples c^2 times and solutions c times those of
// the data in their own units, and no other message.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chain_support.hpp"

namespace {

using namespace chaintest;
namespace fs = std::filesystem;

std::vector<std::string> words_of(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string s; in >> s;) w.push_back(s);
  return w;
}

std::string number(double v) {
  char b[40];
  std::snprintf(b, sizeof b, "%.17g", v);
  return b;
}

// Index of the line equal to keyword.
std::size_t line_of(const std::vector<std::string>& lines, const std::string& keyword) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == keyword) return i;
  ADD_FAILURE() << "no line " << keyword;
  return 0;
}

// The samples of a sample file: per cycle written, the values after its
// cycle line (every file here holds the same count for each cycle).
std::vector<std::vector<double>> samples(const fs::path& file, int cycles) {
  const auto l = lines_of(read_file(file));
  std::vector<std::vector<double>> s;
  if (cycles <= 0 || l.size() % static_cast<std::size_t>(cycles) != 0) {
    ADD_FAILURE() << file << ": " << l.size() << " lines for " << cycles << " cycles";
    return s;
  }
  const std::size_t per = l.size() / static_cast<std::size_t>(cycles);
  for (int c = 0; c < cycles; ++c) {
    const std::size_t at = static_cast<std::size_t>(c) * per;
    EXPECT_EQ(std::stoi(l[at]), c + 1) << file;
    std::vector<double> v;
    for (std::size_t k = at + 1; k < at + per; ++k) v.push_back(std::stod(l[k]));
    s.push_back(v);
  }
  return s;
}

class UnitInvariance : public ChainFolder {
 protected:
  static constexpr int ntrait = 2, cycles = 30;
  static constexpr double grid = 15.625;  // traits on a grid that every c below keeps exact in 32 bits

  // A copy of the simulated set in folder name with every trait times c.
  fs::path scaled(const std::string& name, double c) {
    const fs::path to = dir() / name;
    fs::create_directories(to);
    fs::copy_file(dir() / "base" / "pedigree.txt", to / "pedigree.txt");
    std::ofstream data(to / "data.txt");
    for (const std::string& line : lines_of(read_file(dir() / "base" / "data.txt"))) {
      std::vector<std::string> w = words_of(line);
      for (int t = 0; t < ntrait; ++t) {
        const double y = std::stod(w[static_cast<std::size_t>(t)]);
        // 0 marks a missing trait and stays so.
        const double j = y == 0 ? 0 : (std::lround(y) == 0 ? 1.0 : static_cast<double>(std::lround(y)));
        w[static_cast<std::size_t>(t)] = number(j * grid * c);
      }
      for (std::size_t k = 0; k < w.size(); ++k) data << (k ? " " : "") << w[k];
      data << "\n";
    }
    std::vector<std::string> par = lines_of(read_file(dir() / "base" / "params.txt"));
    for (const char* key : {"RESIDUAL_PRIOR_(CO)VARIANCES", "(CO)VARIANCES"}) {
      const std::size_t at = line_of(par, key);
      for (std::size_t i = at + 1; i <= at + ntrait; ++i) {
        std::string row;
        for (const std::string& v : words_of(par[i])) row += " " + number(std::stod(v) * grid * grid * c * c);
        par[i] = row;
      }
    }
    // Every effect's samples are written.
    const std::size_t eff = line_of(par, "EFFECTS:");
    for (std::size_t i = eff + 1; i <= eff + 3; ++i) par[i].back() = 'y';
    std::ofstream p(to / "params.txt");
    for (const std::string& l : par) p << l << "\n";
    return to;
  }

  // Runs the scaled copy and compares its samples with those of c = 1:
  // (co)variances c^2 times, solutions c times, within tol of the largest
  // value of each cycle.
  void expect_invariant(const std::string& name, double c, double tol) {
    SCOPED_TRACE(name);
    const fs::path d = scaled(name, c);
    const Process run = run_program(d);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* warn : {"not positive definite", "not semipositive", "not pos def", "not possible"})
      EXPECT_EQ(run.out.find(warn), std::string::npos) << warn << "\n" << run.out;
    const struct {
      const char* file;
      double power;
    } files[] = {{"varcompsam", 2}, {"solutionsam", 1}};
    for (const auto& f : files) {
      const auto want = samples(dir() / "one" / f.file, cycles), got = samples(d / f.file, cycles);
      ASSERT_EQ(got.size(), want.size()) << f.file;
      const double k = std::pow(c, f.power);
      double worst = 0;
      for (std::size_t cy = 0; cy < want.size(); ++cy) {
        ASSERT_EQ(got[cy].size(), want[cy].size()) << f.file;
        double top = 0;
        for (double v : want[cy]) top = std::fmax(top, std::fabs(v));
        ASSERT_GT(top, 0.0) << f.file << " cycle " << cy + 1;
        for (std::size_t i = 0; i < want[cy].size(); ++i)
          worst = std::fmax(worst, std::fabs(got[cy][i] - k * want[cy][i]) / (k * top));
      }
      EXPECT_LE(worst, tol) << f.file << " with traits times " << c;
    }
  }
};

TEST_F(UnitInvariance, TraitsTimesCGiveGAndRTimesCSquaredAndSolutionsTimesC) {
  if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
  if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  fs::create_directories(dir() / "base");
  const Process sim = run_simulator(dir() / "base",
                                    "--traits 2 --records 60 --animals 40 --levels 3 --missing 0.1 --nround 30"
                                    " --nburn 10 --skip 1 --seed 11");
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process one = run_program(scaled("one", 1.0));
  ASSERT_EQ(one.status, 0) << one.out << one.err;

  // Powers of two near 1e-3 and 1e4 scale every step exactly: only a
  // threshold that ignores the units could make a difference.
  expect_invariant("binary_small", std::ldexp(1.0, -10), 1e-10);
  expect_invariant("binary_large", std::ldexp(1.0, 13), 1e-10);
  // Other factors change the rounding, and the conjugate-gradient start
  // solutions carry it into the chain at about 1e-7.
  expect_invariant("milli", 1e-3, 1e-5);
  expect_invariant("ten_thousand", 1e4, 1e-5);
}

}  // namespace
