// Covariables far from 0 against their spread: the start-up warns of each,
// naming the effect with its mean and sd; centred ones, or ones whose mean
// is of the order of their sd, pass in silence.  Through the program.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "chain_support.hpp"

namespace {

using namespace chaintest;

// One trait in column 1; a class effect of 4 levels in column 2 (crossing
// the classes), a covariable in column 3, a class of 2 levels in column 4,
// and a class effect of 4 levels within those classes in column 5.  Record
// i (0-based) is of class 1 + i % 2.
std::string params(int neff, const std::string& effects) {
  return "MCMC_CHAIN:\n20 0 1\nSEED\n1\nRESTART:\nn\nDATAFILE\ndata.txt 40\nNUMBER_OF_TRAITS\n1\n"
         "NUMBER_OF_EFFECTS\n" + std::to_string(neff) + "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n" + effects +
         "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\n";
}

std::string data(const std::function<double(int)>& x) {
  std::string d;
  for (int i = 0; i < 40; ++i) {
    char line[100];
    std::snprintf(line, sizeof line, "%.2f %d %.4f %d %d\n", 10.0 + (i * 7) % 5, 1 + (i / 2) % 4, x(i), 1 + i % 2,
                  1 + i % 4);
    d += line;
  }
  return d;
}

std::vector<std::string> covariable_warnings(const std::string& out) {
  std::vector<std::string> w;
  for (const std::string& l : lines_of(out))
    if (l.find("warning: covariable") != std::string::npos) w.push_back(l);
  return w;
}

class CovariableSpread : public ChainFolder {};

TEST_F(CovariableSpread, FarFromZeroWarnsCentredDoesNot) {
  if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
  const std::string plain = "2 4 cross n\n3 1 cov n\n", nested_in_fixed = "2 4 cross n\n4 2 cross n\n3 2 cov n 4\n",
                    nested_alone = "2 4 cross n\n3 2 cov n 4\n";
  auto year = [](int i) { return 2016.0 + i % 4; };
  const std::string why =
      ". Its coefficient and the levels of a fixed class effect beside it are then nearly one direction "
      "(correlation -0.9999998), along which draws of one effect at a time barely move, so the chain mixes very "
      "slowly; centre it (subtract its mean): the model and its coefficient stay the same, the class levels take "
      "in the mean (manual, section 3)";
  struct Case {
    const char* what;
    int neff;
    std::string effects;
    std::function<double(int)> x;
    std::vector<std::string> warnings;  // lines, or the start of a line
  };
  const Case cases[] = {
      {"raw years", 2, plain, year,
       {" warning: covariable effect 2 (data column 3) lies far from 0 against its spread: mean 2017.5, sd 1.132"
        " (40 records)" + why}},
      {"centred years", 2, plain, [&](int i) { return year(i) - 2017.5; }, {}},
      {"mean of the order of the sd", 2, plain, [](int i) { return 1.0 + i % 4; }, {}},
      // Values 1 either side of the mean: sd sqrt(40/39) = 1.0127, so 5 sd is 5.063.
      {"5.13 sd from 0", 2, plain, [](int i) { return 5.2 + (i % 2 ? 1 : -1); },
       {" warning: covariable effect 2 (data column 3) lies far from 0 against its spread: mean 5.2, sd 1.013 (40"
        " records). Its coefficient and the levels of a fixed class effect beside it are then nearly one direction"
        " (correlation -0.982"}},
      {"4.84 sd from 0", 2, plain, [](int i) { return 4.9 + (i % 2 ? 1 : -1); }, {}},
      // A 0 is an absent value: the 8 records of i % 5 == 0 are not counted.
      {"absent values", 2, plain, [&](int i) { return i % 5 == 0 ? 0.0 : year(i); },
       {" warning: covariable effect 2 (data column 3) lies far from 0 against its spread: mean 2017.5, sd 1.136"
        " (32 records)"}},
      {"all values equal", 2, plain, [](int) { return 2017.0; }, {}},
      // Nested in a class that is a fixed effect: judged within each class.
      // Class 1 holds the years 2016 and 2018, class 2 the centred values
      // -0.5 and 1.5.
      {"nested, one class raw", 3, nested_in_fixed, [&](int i) { return i % 2 ? year(i) - 2017.5 : year(i); },
       {" warning: covariable effect 3 (data column 3, nested within the classes of column 4) lies far from 0"
        " against its spread within 1 of its 2 classes: class 1 mean 2017, sd 1.026 (20 records). Within such a"
        " class its coefficient and the levels of a fixed class effect there are then nearly one direction"
        " (correlation -0.9999999), along which draws of one effect at a time barely move, so the chain mixes"
        " very slowly; centre it within each class (subtract each class's mean): the model and its coefficients"
        " stay the same, the class levels take in the means (manual, section 3)"}},
      // Centred over all records but not within the classes.
      {"nested, centred overall only", 3, nested_in_fixed,
       [](int i) { return (i % 2 ? -1 : 1) * (10.0 + (i / 2) % 2); },
       {" warning: covariable effect 3 (data column 3, nested within the classes of column 4) lies far from 0"
        " against its spread within 2 of its 2 classes: class 1 mean 10.5, sd 0.513 (20 records); class 2 mean"
        " -10.5, sd 0.513 (20 records). Within such a class its coefficient and the levels of a fixed class effect"
        " there are then nearly one direction (correlation -0.9988681 at most)"}},
      // A fixed effect whose levels lie within the classes gives each class
      // a constant of its own.
      {"nested, a class effect within the classes", 2, "5 4 cross n\n3 2 cov n 4\n",
       [](int i) { return (i % 2 ? -1 : 1) * (10.0 + (i / 2) % 2); },
       {" warning: covariable effect 2 (data column 3, nested within the classes of column 4) lies far from 0"
        " against its spread within 2 of its 2 classes"}},
      // Without a constant within the classes, centring within them would
      // change the model: judged over all records.
      {"nested, no class effect", 2, nested_alone, [](int i) { return (i % 2 ? -1 : 1) * (10.0 + (i / 2) % 2); },
       {}},
      {"nested, no class effect, raw years", 2, nested_alone, year,
       {" warning: covariable effect 2 (data column 3, nested within the classes of column 4) lies far from 0"
        " against its spread: mean 2017.5, sd 1.132 (40 records)" + why}},
      // Nothing for it to be confounded with.
      {"no fixed class effect", 1, "3 1 cov n\n", year, {}},
  };
  for (const Case& c : cases) {
    std::ofstream(dir() / "params.txt") << params(c.neff, c.effects);
    std::ofstream(dir() / "data.txt") << data(c.x);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << c.what << "\n" << p.out << p.err;
    const std::vector<std::string> got = covariable_warnings(p.out);
    ASSERT_EQ(got.size(), c.warnings.size()) << c.what << "\n" << p.out;
    for (std::size_t k = 0; k < got.size(); ++k)
      EXPECT_EQ(got[k].substr(0, c.warnings[k].size()), c.warnings[k]) << c.what;
  }
}

}  // namespace
