// The search for references through the whole program where its
// elimination works hardest: a second fixed effect crossing many herds (its
// levels end up all neighbours, eliminated as a dense block), and a slope
// nested in a class whose covariable is constant within one class at a
// scale far from 1 (dates in seconds, tiny fractions).
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "chain_support.hpp"

namespace {

using namespace chaintest;

std::string params(int nrec, const std::string& effects) {
  return "MCMC_CHAIN:\n20 0 1\nSEED\n3\nRESTART:\nn\nDATAFILE\ndata.txt " + std::to_string(nrec) +
         "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n" + effects +
         "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\n";
}

class ReferencesSearch : public ChainFolder {};

TEST_F(ReferencesSearch, DenseBlocksAndFarScalesHoldTheirLevel) {
  if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
  struct Case {
    const char* what;
    double c;  // 0: herds and a second effect; else the slope's constant
    std::string held;  // empty: the second effect's level of most records (ties: the last)
  };
  const Case cases[] = {
      {"herds beside a second effect of 60 levels", 0, ""},
      {"slope constant in one class, x = 2e9", 2e9, " Effect 2 level 5 is held"},
      {"slope constant in one class, x = 1e-10", 1e-10, " Effect 2 level 5 is held"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string data, expected = c.held;
    int nrec = 0;
    unsigned s = 11;
    if (c.c == 0) {
      // 400 herds of 8 records, each on 8 of the 60 levels.
      nrec = 3200;
      std::vector<int> count(61, 0);
      for (int i = 0; i < nrec; ++i) {
        s = s * 1103515245u + 12345u;
        const int level = 1 + static_cast<int>((s >> 8) % 60);
        ++count[static_cast<std::size_t>(level)];
        char line[64];
        std::snprintf(line, sizeof line, "%d %d %d\n", 10 + static_cast<int>((s >> 16) % 7), 1 + i % 400, level);
        data += line;
      }
      int best = 1;
      for (int l = 2; l <= 60; ++l)
        if (count[static_cast<std::size_t>(l)] >= count[static_cast<std::size_t>(best)]) best = l;
      expected = " Effect 2 level " + std::to_string(best) + " is held";
      std::ofstream(dir() / "params.txt") << params(nrec, "2 400 cross n\n3 60 cross n\n");
    } else {
      // Five classes; the covariable varies within classes 1-4.
      nrec = 50;
      for (int i = 0; i < nrec; ++i) {
        const int k = i % 5;
        char line[64];
        std::snprintf(line, sizeof line, "%d %d %.9g\n", 10 + (i * 7) % 5, 1 + k,
                      k == 4 ? c.c : c.c * (1 + (i / 5) % 3));
        data += line;
      }
      std::ofstream(dir() / "params.txt") << params(nrec, "2 5 cross n\n3 5 cov n 2\n");
    }
    std::ofstream(dir() / "data.txt") << data;
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.err;
    std::vector<std::string> held;
    for (const std::string& l : lines_of(p.out)) {
      if (l.find("held at 0") != std::string::npos) held.push_back(l.substr(0, l.find(" at 0")));
      EXPECT_EQ(l.find("nearly a combination"), std::string::npos) << l;
    }
    EXPECT_EQ(held, std::vector<std::string>{expected});
  }
}

}  // namespace
