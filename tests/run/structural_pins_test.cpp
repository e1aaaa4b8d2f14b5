// What pins the factors of structural effects, through the whole program:
// pairs of effects tied by few records, a random effect over a nested fixed
// one, blocks whose factors are never drawn, an empty last level, and the
// count p of a level's own parameters where it needs the rows differenced
// or the columns scaled.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

class StructuralPins : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "program not found";
  }
  // Writes data (lines of fields) and a one-trait model with the given
  // effects (data columns from 2), the first `structural` of them
  // structural, then runs it.
  Process run(const std::string& data, int nrec, const std::string& effects, int neff, int structural,
              const std::string& tail = "", int cycles = 30) {
    std::ofstream(dir() / "data.txt") << data;
    std::ostringstream o;
    o << "MCMC_CHAIN:\n"
      << cycles << " 10 10\nSEED\n5\nRESTART:\nn\nDATAFILE\ndata.txt " << nrec
      << "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n"
      << neff << "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n"
      << effects
      << "RANDOM_RESIDUAL:\nstructural 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\n"
         "NUMBER_OF_STRUCTURAL_EFFECTS\n"
      << structural << "\nSTRUCTURAL_EFFECTS:\n";
    for (int k = 1; k <= structural; ++k) o << k << " y\n";
    o << "RESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n" << tail;
    std::ofstream(dir() / "params.txt") << o.str();
    return run_program(dir());
  }
  // Mean and last value of the factor of level l of effect e in "structural_r".
  std::pair<double, double> factor(int e, int l) {
    for (const std::string& line : lines_of(read_file(dir() / "structural_r"))) {
      std::istringstream in(line);
      int t = 0, ef = 0, lev = 0;
      double mean = 0, sd = 0, last = 0;
      if (in >> t >> ef >> lev >> mean >> sd >> last && ef == e && lev == l) return {mean, last};
    }
    ADD_FAILURE() << "no factor of effect " << e << " level " << l;
    return {0, 0};
  }
};

// Herd (effect 1) by season (effect 2), both fixed and structural: cells of
// n records each, "data.txt" lines "y herd season".
struct Cell {
  int herd, season, n;
};
std::string cells_data(const std::vector<Cell>& cells, int& nrec) {
  Sixteenths noise(11);
  std::ostringstream o;
  nrec = 0;
  for (const Cell& c : cells)
    for (int i = 0; i < c.n; ++i, ++nrec) o << 10 + c.herd + c.season + noise.next(1.5) << " " << c.herd << " " << c.season << "\n";
  return o.str();
}

// Each case: which pair of levels the data pin and which they do not.
//  - thin: herds 1 2 with seasons 1 2 (8 records a cell) are tied to herds 3 4
//    with seasons 3 4 by cells (2,3) and (3,2) of one record each: raising
//    the block's herd factors and lowering its season factors changes only
//    those 2 records (the factors once reached 8e18), falls of 1/2 each way;
//    with 6 records in each (repeated cells) it runs.
//  - isolated: herd 1 has all its records in season 1, which no other herd
//    has.  With 3 records neither factor is drawn (each announced), so
//    nothing is refused; with 6 both are drawn and the block is refused,
//    worded as a block of its own, with pooling advised.
//  - reference season: herd 1 and season 1 as before, 6 records, and herd 1
//    has 6 more in season 5, the reference of effect 2, which no other herd
//    has: that alone holds the block.
TEST_F(StructuralPins, PairsTiedByFewRecordsAndBlocksNeverDrawn) {
  std::vector<Cell> thin, strong;
  for (int h = 1; h <= 4; ++h)
    for (int s = 1; s <= 4; ++s)
      if ((h <= 2) == (s <= 2)) thin.push_back({h, s, 8});
  strong = thin;
  thin.push_back({2, 3, 1});
  thin.push_back({3, 2, 1});
  strong.push_back({2, 3, 6});
  strong.push_back({3, 2, 6});
  auto isolated = [](int n, bool reference) {
    std::vector<Cell> c{{1, 1, n}};
    if (reference) c.push_back({1, 5, 6});
    for (int h = 2; h <= 11; ++h)
      for (int s = 2; s <= (reference ? 4 : 5); ++s) c.push_back({h, s, 3});
    return c;
  };
  const std::string head = " Structural effects 1 and 2 cannot both have factors per level: ";
  const struct {
    const char* name;
    std::vector<Cell> cells;
    int herds, seasons;
    std::string said;  // refusal, or "" for a run
    std::vector<std::string> announced;
  } cases[] = {
      {"thin", thin, 4, 4,
       head + "levels 1 2 of effect 1 and levels 1 2 of effect 2 are tied to the other records by 2 records"
              " (records 65 66): raising those factors of effect 1 and lowering those of effect 2 changes only"
              " these records, which leave the factors of both effects without a finite posterior mean (per unit"
              " of log factor, the log posterior falls by 0.5 as those factors of effect 1 grow and falls by 0.5"
              " as those of effect 2 grow, and a mean needs a fall of more than 1: each record that the change"
              " scales up adds 1/2 to the fall on its side, unless fixed location parameters that only such"
              " records inform take it, and records that it scales down, when they repeat a cell or close a"
              " cycle of cells with values that differ, make the fall unbounded); link the levels by more records,"
              " pool them with other levels of their effects, or keep one of the two effects structural",
       {}},
      {"thin, 6 records a link", strong, 4, 4, "", {}},
      {"isolated, 3 records", isolated(3, false), 11, 5, "",
       {" Structural effect 1 level 1 has 3 records: its factor is not sampled",
        " Structural effect 2 level 1 has 3 records: its factor is not sampled"}},
      {"isolated, 6 records", isolated(6, false), 11, 5,
       head + "the records of level 1 of effect 1 are those of level 1 of effect 2 (a block of their own), and"
              " none of these levels is held (a reference, or a level of too few records to be drawn), so the"
              " data tell only the products of their factors, which would drift apart without bound; pool these"
              " levels with other levels of their effects, or link them to the rest by records",
       {}},
      {"held by the reference season", isolated(6, true), 11, 5, "", {}},
  };
  for (const auto& c : cases) {
    int nrec = 0;
    const std::string data = cells_data(c.cells, nrec);
    const Process p = run(data, nrec,
                          "2 " + std::to_string(c.herds) + " cross n\n3 " + std::to_string(c.seasons) + " cross n\n",
                          2, 2);
    if (!c.said.empty()) {
      EXPECT_EQ(p.status, 1) << c.name << "\n" << p.out;
      EXPECT_NE((p.out + p.err).find(c.said + "\n"), std::string::npos) << c.name << "\n" << p.out << p.err;
      continue;
    }
    EXPECT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    for (const std::string& a : c.announced) EXPECT_NE(p.out.find(a), std::string::npos) << c.name << "\n" << p.out;
    EXPECT_EQ(p.out.find("cannot both have factors"), std::string::npos) << c.name;
  }
}

// Herd random (factors under the alpha prior) and herd-year fixed, nested,
// 6 herds of 3 herd-years of 8 records: only each herd's product is
// identified and the prior does not hold the herd-years' flat factors
// (herd factors fell to 3e-8, herd-years rose to 1e9): refused as a fixed
// nested pair.  Crossed with 3 seasons it runs.
TEST_F(StructuralPins, RandomEffectOverANestedFixedOneIsRefused) {
  const std::string group = "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1.0\n";
  for (bool nested : {true, false}) {
    std::vector<Cell> cells;
    for (int h = 1; h <= 6; ++h)
      for (int k = 1; k <= 3; ++k) cells.push_back({h, nested ? (h - 1) * 3 + k : k, 8});
    int nrec = 0;
    const std::string data = cells_data(cells, nrec);
    const Process p =
        run(data, nrec, std::string("2 6 cross n\n3 ") + (nested ? "18" : "3") + " cross n\n", 2, 2, group);
    if (nested) {
      EXPECT_EQ(p.status, 1) << p.out;
      EXPECT_NE((p.out + p.err)
                    .find(" Structural effects 1 and 2 cannot both have factors per level: the records of level 1 of"
                          " effect 1 are those of levels 1 2 3 of effect 2 (one effect nested in the other)"),
                std::string::npos)
          << p.out << p.err;
    } else {
      EXPECT_EQ(p.status, 0) << p.out << p.err;
    }
  }
}

// Herds 1 to 5 of 12 records each; the effect has 6 levels (herd 6 has no
// record) or 8 (herds 6 to 8 have none).  Nothing pinned the scale when
// the last level was empty (R fell to 5e-6, the factors reached 2e23, then
// a stop on "not a number"): herd 5 becomes the reference, said at start-up,
// its factor and those after it stay 1, the others are drawn.
TEST_F(StructuralPins, EmptyLastLevelLeavesTheLastWithRecordsTheReference) {
  for (int levels : {5, 6, 8}) {
    Sixteenths noise(3);
    std::ostringstream data;
    for (int h = 1; h <= 5; ++h)
      for (int i = 0; i < 12; ++i) data << 10 + h + noise.next(1 + 0.3 * h) << " " << h << "\n";
    const Process p = run(data.str(), 60, "2 " + std::to_string(levels) + " cross n\n", 1, 1, "", 200);
    ASSERT_EQ(p.status, 0) << levels << "\n" << p.out << p.err;
    const std::string said =
        levels == 5 ? "" : levels == 6 ? " Structural effect 1 has no records in level 6: its reference, whose factor"
                                         " stays 1, is level 5, the last level with records\n"
                                       : " Structural effect 1 has no records in levels 6 to 8: its reference, whose"
                                         " factor stays 1, is level 5, the last level with records\n";
    if (said.empty())
      EXPECT_EQ(p.out.find("has no records in"), std::string::npos) << p.out;
    else
      EXPECT_NE(p.out.find(said), std::string::npos) << levels << "\n" << p.out;
    EXPECT_EQ(p.out.find("not sampled"), std::string::npos) << levels << "\n" << p.out;
    for (int l = 1; l <= levels; ++l) {
      const auto [mean, last] = factor(1, l);
      if (l >= 5) {
        EXPECT_EQ(mean, 1.0) << levels << " level " << l;
      } else {
        EXPECT_NE(last, 1.0) << levels << " level " << l;
        EXPECT_LT(mean, 100.0) << levels << " level " << l;
      }
    }
  }
}

// The count p of a level's own parameters where it needs each piece of the
// rank.  Herd 1 (fixed, the structural effect) has its own mean and a slope
// on x nested in 2 herd-years (the herd-years are no effect): p = 3, so 7
// records are announced and 8 sampled.
//  - dates: x = yyyymmdd (relative spread 7e-7) in herd-years of 4 and
//    n - 4 records: the rows of a herd-year differ only below the
//    elimination's tolerance, so each enters less the first of them (read
//    as constant, p was 2 and 7 records were sampled); the columns must be
//    scaled too.
//  - small units, one record a herd-year: x of order 1e-8 beside the mean's
//    1 in rows of their own, which no difference helps: only the scaling of
//    the columns to largest magnitude 1 keeps the slopes.  The herd's other
//    n - 2 records have x = 0 (no slope).
// Herd 2, the reference, has 40 records in 2 herd-years.
TEST_F(StructuralPins, SlopesPerHerdYearCountWhateverTheirOriginAndUnits) {
  const struct {
    const char* name;
    double origin, unit;
    bool singles;
  } xs[] = {{"dates", 20190101, 1, false},
            {"plain", 0, 1, false},
            {"small units, one record a herd-year", 0, 1e-8, true},
            {"one record a herd-year", 0, 1, true}};
  for (const auto& x : xs)
    for (int n : {7, 8}) {
      Sixteenths noise(4);
      std::ostringstream data;
      data.precision(10);
      for (int i = 0; i < n + 40; ++i) {
        int herd = 2, hy = 4 + i % 2;
        double v = x.origin + x.unit * (1 + (i * 3) % 7);
        if (i < n) {
          herd = 1;
          hy = x.singles ? (i < n - 2 ? 1 : 2 + i - (n - 2)) : (i < 4 ? 1 : 2);
          if (x.singles && i < n - 2) v = 0;
        }
        data << 10 + herd + noise.next(2.0) << " " << herd << " " << hy << " " << v << "\n";
      }
      const Process p = run(data.str(), n + 40, "2 2 cross n\n4 5 cov n 3\n", 2, 1);
      ASSERT_EQ(p.status, 0) << x.name << " " << n << "\n" << p.out << p.err;
      const std::string said =
          " Structural effect 1 level 1 has 7 records and 3 fixed location parameters that only they inform: its"
          " factor is not sampled (a finite posterior mean needs 8 records)\n";
      // Dates beside a herd's constant are no combination of it: nothing is
      // held, though the pivots alone would take them for one.
      EXPECT_EQ(p.out.find("held at 0"), std::string::npos) << x.name << "\n" << p.out;
      if (x.origin != 0) {
        // It names the herd's best-informed slope: the herd-year of most
        // records (4 against 3), the later of equals.
        const std::string level = n == 7 ? "1" : "2";
        EXPECT_NE(p.out.find(" warning: effect 2 level " + level + " is nearly a combination of other fixed levels"),
                  std::string::npos)
            << p.out;
      }
      if (n == 7) {
        EXPECT_NE(p.out.find(said), std::string::npos) << x.name << "\n" << p.out;
        EXPECT_EQ(factor(1, 1).second, 1.0) << x.name;
      } else {
        EXPECT_EQ(p.out.find("not sampled"), std::string::npos) << x.name << "\n" << p.out;
        EXPECT_NE(factor(1, 1).second, 1.0) << x.name;
      }
    }
}

}  // namespace
