// Structural levels through the whole program: what decides whether a
// level's factor is sampled (the location parameters with a flat prior that
// only its records inform: fixed levels, covariables, parent groups), and
// the pairs of structural effects whose factors the data cannot tell apart.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

class StructuralLevels : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "program not found";
  }
};

// One trait, herds as effect 1 (fixed, the structural effect), effects
// after it as given; the herd is data column 2.
std::string herd_params(int nrec, int cycles, int burn, const std::string& effects, int neff,
                        const std::string& tail = "", int structural = 1, const std::string& r_nu = "0") {
  std::ostringstream o;
  o << "MCMC_CHAIN:\n"
    << cycles << " " << burn << " 10\nSEED\n3\nRESTART:\nn\nDATAFILE\ndata.txt " << nrec
    << "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n"
    << neff << "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n"
    << effects << "RANDOM_RESIDUAL:\nstructural " << r_nu
    << "\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\nNUMBER_OF_STRUCTURAL_EFFECTS\n"
    << structural << "\nSTRUCTURAL_EFFECTS:\n";
  for (int k = 1; k <= structural; ++k) o << k << " y\n";
  o << "RESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n" << tail;
  return o.str();
}

// Herd 1: n records with its own mean and a year covariable nested in the
// herds (p = 2: a finite posterior mean needs 7 records); herd 2, the
// reference, 40.  The year enters as x, shifted or in other units: neither
// may change the decision (the rank once took its tolerance from the
// largest value of a row, so years 2016-2019 beside the herd's 1 looked
// like a multiple of it and a herd of 6 was sampled without a mean).
TEST_F(StructuralLevels, YearCovariableOriginAndUnitsLeaveTheDecision) {
  const struct {
    const char* name;
    std::function<double(int)> x;
  } years[] = {{"x", [](int k) { return 1.0 + k; }},
               {"x + 2016", [](int k) { return 2017.0 + k; }},
               {"1000 x", [](int k) { return 1000.0 * (1 + k); }},
               {"1000 (x + 2016)", [](int k) { return 1000.0 * (2017 + k); }}};
  const std::string announced =
      " Structural effect 1 level 1 has 6 records and 2 fixed location parameters that only they inform: its"
      " factor is not sampled (a finite posterior mean needs 7 records)\n";
  for (const auto& year : years)
    for (int n : {6, 7}) {
      Sixteenths noise(17);
      std::ostringstream data;
      data.precision(10);
      for (int i = 0; i < n + 40; ++i) {
        const int herd = i < n ? 1 : 2, k = i % 4;
        data << 10 + herd + 0.5 * k + noise.next(2.0) << " " << herd << " " << year.x(k) << "\n";
      }
      std::ofstream(dir() / "data.txt") << data.str();
      std::ofstream(dir() / "params.txt") << herd_params(n + 40, 30, 10, "2 2 cross n\n3 2 cov n 2\n", 2);
      const Process p = run_program(dir());
      ASSERT_EQ(p.status, 0) << year.name << " " << n << "\n" << p.out << p.err;
      // "  1  1       1  mean sd last": herd 1's factor.
      const auto lines = lines_of(read_file(dir() / "structural_r"));
      ASSERT_GE(lines.size(), 3u);
      std::istringstream in(lines[2]);
      int e = 0, t = 0, l = 0;
      double mean = 0, sd = 0, last = 0;
      ASSERT_TRUE(in >> e >> t >> l >> mean >> sd >> last) << lines[2];
      if (n == 6) {
        EXPECT_NE(p.out.find(announced), std::string::npos) << year.name << "\n" << p.out;
        EXPECT_EQ(last, 1.0) << year.name;
      } else {
        EXPECT_EQ(p.out.find(" Structural effect 1 level 1 has"), std::string::npos) << year.name << "\n" << p.out;
        EXPECT_NE(last, 1.0) << year.name;
      }
    }
}

// Herd 1 (fixed, the structural effect) has n records, 3 of them on
// animals whose parents are both group 48 (an add_an_upg pedigree), which
// has no other progeny; the other animals are founders.  Herd 2, the
// reference, has 40 records.  The group is a location parameter with a flat
// prior that only herd 1's records reach: p = 2, so 6 records are announced
// and 8 are sampled.  With G = 0.5 and r = 1 held by a billion degrees of
// belief, the records are independent with variance G + r f in herd 1 and
// G + r in herd 2, and integrating out the herds and the group (flat) leaves
// the exact marginal of herd 1's factor f (flat prior):
//   p(f | y) ~ |V|^-1/2 |X'V^-1 X|^-1/2 exp(-(y'V^-1 y - b'X'V^-1 y)/2),
// X the columns of the two herds and the group.  The chain's mean of ln f
// and its probability below the exact median are held to it.
TEST_F(StructuralLevels, ParentGroupOfOneHerdCountsAndItsFactorFollowsTheExactMarginal) {
  for (int n : {6, 8}) {
    const int na = n + 40, group = na + 1, cycles = n == 6 ? 30 : 40000, burn = n == 6 ? 10 : 1000;
    Sixteenths noise(5);
    std::ostringstream data, ped;
    std::vector<double> y;
    std::vector<int> herd, in_group;
    for (int a = 1; a <= na; ++a) {
      const int h = a <= n ? 1 : 2, g = a <= 3 ? 1 : 0;
      const double v = 10 + 2 * h + 1.5 * g + noise.next(h == 1 ? 3.0 : 1.5);
      y.push_back(static_cast<float>(v));
      herd.push_back(h);
      in_group.push_back(g);
      data << v << " " << h << " " << a << "\n";
      ped << a << " " << (g ? group : 0) << " " << (g ? group : 0) << " 3\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "ped.txt") << ped.str();
    std::ostringstream tail;
    tail << "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_upg 1000000000\nPEDIGREEFILE:\nped.txt " << na
         << "\n(CO)VARIANCES\n0.5\n";
    std::ofstream(dir() / "params.txt") << herd_params(
        na, cycles, burn, "2 2 cross n\n3 " + std::to_string(group) + " cross n\n", 2, tail.str(), 1, "1000000000");
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    const std::string said =
        " Structural effect 1 level 1 has 6 records and 2 fixed location parameters that only they inform (unknown"
        " parent groups among them): its factor is not sampled (a finite posterior mean needs 7 records)\n";
    if (n == 6) {
      EXPECT_NE(p.out.find(said), std::string::npos) << p.out;
      continue;
    }
    EXPECT_EQ(p.out.find(" Structural effect 1 level 1 has"), std::string::npos) << p.out;

    // The exact marginal of u = ln f on a grid: its mean and the median of f.
    auto log_marginal = [&](double f) {
      double A[3][3] = {}, b[3] = {}, yy = 0, logdet = 0;
      for (int i = 0; i < na; ++i) {
        const double v = 0.5 + (herd[i] == 1 ? f : 1.0),
                     x[3] = {herd[i] == 1 ? 1.0 : 0.0, herd[i] == 2 ? 1.0 : 0.0, static_cast<double>(in_group[i])};
        logdet += std::log(v);
        yy += y[i] * y[i] / v;
        for (int r = 0; r < 3; ++r) {
          b[r] += x[r] * y[i] / v;
          for (int c = 0; c < 3; ++c) A[r][c] += x[r] * x[c] / v;
        }
      }
      // A = L L' (3 by 3), then b'A^-1 b = |L^-1 b|^2.
      double L[3][3] = {}, z[3] = {}, fit = 0;
      for (int r = 0; r < 3; ++r) {
        for (int c = 0; c <= r; ++c) {
          double s = A[r][c];
          for (int k = 0; k < c; ++k) s -= L[r][k] * L[c][k];
          L[r][c] = r == c ? std::sqrt(s) : s / L[c][c];
        }
        double s = b[r];
        for (int k = 0; k < r; ++k) s -= L[r][k] * z[k];
        z[r] = s / L[r][r];
        fit += z[r] * z[r];
        logdet += 2 * std::log(L[r][r]);
      }
      return -0.5 * logdet - 0.5 * (yy - fit);
    };
    std::vector<double> u, w;
    double top = -1e300;
    for (double x = -12; x < 14; x += 2e-3) {
      u.push_back(x);
      w.push_back(x + log_marginal(std::exp(x)));  // flat in f: the Jacobian e^u
      top = std::max(top, w.back());
    }
    double total = 0, mean_u = 0, median = 0, acc = 0;
    for (double& v : w) total += v = std::exp(v - top);
    for (std::size_t i = 0; i < u.size(); ++i) mean_u += u[i] * w[i] / total;
    for (std::size_t i = 0; i < u.size() && median == 0; ++i)
      if ((acc += w[i]) >= total / 2) median = std::exp(u[i]);

    // "varcompsam": the cycle, G, r, herd 1's factor.
    std::istringstream sam(read_file(dir() / "varcompsam"));
    BatchMeans log_f((cycles - burn) / 10 / 30), below((cycles - burn) / 10 / 30);
    int round = 0;
    double g = 0, r = 0, f = 0;
    while (sam >> round >> g >> r >> f) {
      if (round <= burn) continue;
      log_f.add(std::log(f));
      below.add(f < median ? 1.0 : 0.0);
    }
    ASSERT_EQ(round, cycles);
    EXPECT_LT(std::fabs(log_f.mean() - mean_u), 4 * log_f.se()) << log_f.mean() << " exact " << mean_u;
    EXPECT_LT(std::fabs(below.mean() - 0.5), 4 * below.se()) << below.mean();
  }
}

// Herd (effect 1) and a second effect, both fixed and structural, over 4
// herds of 3 x 10 records.  With herd-years nested in the herds only the
// product of a herd's factor and its herd-years' is identified (their factors
// once drifted to 1e-35 and 1e35 and the run stopped on a number that was
// not one): refused, naming both effects.  Crossed with 3 seasons the
// factors are identified and the run goes on; so it does with the nested
// pair when one herd-year of each herd but the reference also has 9
// records without a herd, which tie its factor down and so its herd's.
// With 5 such records the herd-years' factors have no finite mean: the
// herd's mean and its herd-years' are one parameter but for these records,
// which take one of them, and the herd against 3 herd-years adds -2, so
// -2 + (5 - 1)/2 = 0 at the end where the herd-years rise.
TEST_F(StructuralLevels, NestedStructuralPairIsRefusedCrossedRuns) {
  const struct {
    const char* name;
    int levels;                       // of effect 2
    std::function<int(int, int)> of;  // its level for herd h, cell k
    int loose;                        // more records of herd-years 1, 4, 7 without a herd
    bool refused;
  } cases[] = {{"nested", 12, [](int h, int k) { return (h - 1) * 3 + k; }, 0, true},
               {"crossed", 3, [](int, int k) { return k; }, 0, false},
               {"nested, anchored by 5", 12, [](int h, int k) { return (h - 1) * 3 + k; }, 5, true},
               {"nested, anchored by 9", 12, [](int h, int k) { return (h - 1) * 3 + k; }, 9, false}};
  for (const auto& c : cases) {
    Sixteenths noise(9);
    std::ostringstream data;
    int nrec = 0;
    for (int h = 1; h <= 4; ++h)
      for (int k = 1; k <= 3; ++k)
        for (int i = 0; i < 10; ++i, ++nrec)
          data << 10 + h + k + noise.next(1.0 + 0.5 * h) << " " << h << " " << c.of(h, k) << "\n";
    for (int hy = 1; c.loose > 0 && hy <= 7; hy += 3)
      for (int i = 0; i < c.loose; ++i, ++nrec) data << 11 + noise.next(1.0) << " 0 " << hy << "\n";
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "params.txt") << herd_params(
        nrec, 50, 10, "2 4 cross n\n3 " + std::to_string(c.levels) + " cross n\n", 2, "", 2);
    const Process p = run_program(dir());
    if (c.refused) {
      EXPECT_EQ(p.status, 1) << c.name << "\n" << p.out;
      const std::string head = " Structural effects 1 and 2 cannot both have factors per level: ";
      const std::string block =
          c.loose == 0 ? "the records of level 1 of effect 1 are those of levels 1 2 3 of effect 2 (one effect nested"
                         " in the other)"
                       : "level 1 of effect 1 and levels 1 2 3 of effect 2 are tied to the other records by 5 records"
                         " (records 121 122 123 124 125): raising those factors of effect 1 and lowering those of"
                         " effect 2 changes only these records, which leave those factors of effect 2 without a finite"
                         " posterior mean (per unit of log factor, the log posterior falls without bound as those"
                         " factors of effect 1 grow and stays level as those of effect 2 grow, ";
      EXPECT_NE((p.out + p.err).find(head + block), std::string::npos) << c.name << "\n" << p.out << p.err;
    } else {
      EXPECT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
      EXPECT_NE(p.out.find(" Structural R  stored in file: \"structural_r\""), std::string::npos) << c.name;
    }
  }
}

}  // namespace
