// Location parameters the records cannot tell apart, through the whole
// program: each direction gets one parameter held at 0 (said at start-up,
// 0 with sd 0 in "solutions"), the others then have the posterior of the
// model with that parameter left out, and a model without such a direction
// runs as it always did.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "run/chain_support.hpp"
#include "run/state_support.hpp"

namespace {

using namespace chaintest;

class References : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "program not found";
  }
};

// "solutions" as (effect, level) -> (mean, sd), trait 1.
std::map<std::pair<int, int>, std::pair<double, double>> solutions(const fs::path& d, int trait = 1) {
  std::map<std::pair<int, int>, std::pair<double, double>> out;
  const auto lines = lines_of(read_file(d / "solutions"));
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::istringstream in(lines[i]);
    int t = 0, e = 0, l = 0;
    double mean = 0, sd = 0;
    if (in >> t >> e >> l >> mean >> sd && t == trait) out[{e, l}] = {mean, sd};
  }
  return out;
}

// The lines of a text that hold a reference.
std::vector<std::string> reference_lines(const std::string& out) {
  std::vector<std::string> v;
  for (const std::string& l : lines_of(out))
    if (l.find("held at 0") != std::string::npos) v.push_back(l);
  return v;
}

// The parameter file of one trait, its variances held at their starting
// values by prior degrees of belief far above any data, effects and groups
// as given.
std::string params(int nrec, int cycles, int burn, int skip, int neff, const std::string& effects,
                   const std::string& groups = "") {
  std::ostringstream o;
  o << "MCMC_CHAIN:\n"
    << cycles << " " << burn << " " << skip << "\nSEED\n5\nRESTART:\nn\nDATAFILE\ndata.txt " << nrec
    << "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n"
    << neff << "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n"
    << effects << "RANDOM_RESIDUAL:\nhomogeneous 100000000\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\n" << groups;
  return o.str();
}

// Contemporary groups (10, fixed) and a fixed sex overlapping them: the
// sexes' common level and the groups' are one direction.  Held at 0 is the
// last level of the later effect; with the residual variance known the other
// parameters' posterior is the normal one of the model without the held
// column: mean (X'X)^-1 X'y, covariance (X'X)^-1.
TEST_F(References, OverlappingFixedEffectsHoldTheLaterEffectsLastLevel) {
  const int ncg = 10, nrec = 200;
  // With a covariable after them the held level has equations after it,
  // which must not see what the pass draws for it.
  const struct {
    bool sex_first, covariable;
    int held_effect, held_level;
    const char* line;
  } cases[] = {
      {false, false, 2, 2,
       " Effect 2 level 2 is held at 0 as a reference and not sampled: the records cannot tell the levels of"
       " effect 2 apart from those of effect 1 (a common shift that no record informs); their solutions are"
       " relative to it"},
      {true, false, 2, ncg,
       " Effect 2 level 10 is held at 0 as a reference and not sampled: the records cannot tell the levels of"
       " effect 2 apart from those of effect 1 (a common shift that no record informs); their solutions are"
       " relative to it"},
      {false, true, 2, 2,
       " Effect 2 level 2 is held at 0 as a reference and not sampled: the records cannot tell the levels of"
       " effect 2 apart from those of effect 1 (a common shift that no record informs); their solutions are"
       " relative to it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sex_first ? "sex first" : "sex second") + (c.covariable ? ", covariable" : ""));
    Sixteenths noise(41);
    std::ostringstream data;
    std::vector<int> cg(nrec), sex(nrec);
    std::vector<double> y(nrec), x(nrec);
    for (int i = 0; i < nrec; ++i) {
      cg[i] = 1 + i % ncg;
      sex[i] = 1 + (i / ncg + i / 7) % 2;
      x[i] = 0.25 * ((i / 10) % 9) - 1;  // not constant within a CG
      y[i] = 100 + 3 * cg[i] + (sex[i] == 1 ? 4 : -4) + 2 * x[i] + noise.next(2.0);
      data << y[i] << " " << cg[i] << " " << sex[i] << " " << x[i] << "\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    const std::string effects = std::string(c.sex_first ? "3 2 cross n\n2 10 cross n\n" : "2 10 cross n\n3 2 cross n\n") +
                                (c.covariable ? "4 1 cov n\n" : "");
    std::ofstream(dir() / "params.txt") << params(nrec, 6000, 1000, 5, c.covariable ? 3 : 2, effects);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    EXPECT_EQ(reference_lines(p.out), std::vector<std::string>{c.line});
    const auto sol = solutions(dir());
    EXPECT_EQ(sol.at({c.held_effect, c.held_level}), std::make_pair(0.0, 0.0));

    // The exact posterior over the columns left: every CG but the held one,
    // sex 1 (or every CG and sex 1 when the held level is a CG's).
    std::vector<std::pair<int, int>> cols;  // (effect, level)
    const int e_cg = c.sex_first ? 2 : 1, e_sex = c.sex_first ? 1 : 2;
    for (int l = 1; l <= ncg; ++l)
      if (!(e_cg == c.held_effect && l == c.held_level)) cols.push_back({e_cg, l});
    for (int l = 1; l <= 2; ++l)
      if (!(e_sex == c.held_effect && l == c.held_level)) cols.push_back({e_sex, l});
    if (c.covariable) cols.push_back({3, 1});
    const int n = static_cast<int>(cols.size());
    Dense xx(n);
    std::vector<double> xy(static_cast<std::size_t>(n), 0.0);
    for (int i = 0; i < nrec; ++i) {
      std::vector<std::pair<int, double>> in;  // (column, value)
      for (int k = 0; k < n; ++k)
        if ((cols[k].first == e_cg && cols[k].second == cg[i]) || (cols[k].first == e_sex && cols[k].second == sex[i]))
          in.push_back({k, 1.0});
        else if (cols[k].first == 3)
          in.push_back({k, x[i]});
      for (const auto& [a, va] : in) {
        xy[static_cast<std::size_t>(a)] += va * y[i];
        for (const auto& [b, vb] : in) xx(a, b) += va * vb;
      }
    }
    const Dense v = inverse(xx);
    const std::vector<double> mean = multiply(v, xy);
    for (int k = 0; k < n; ++k) {
      const auto [m, s] = sol.at(cols[k]);
      const double sd = std::sqrt(v(k, k));
      // 1000 samples; the chain's mean within a fifth of a posterior sd, its
      // sd within 15 % (a drifting chain has sds of several times these).
      EXPECT_NEAR(m, mean[static_cast<std::size_t>(k)], 0.2 * sd) << "effect " << cols[k].first << " level " << cols[k].second;
      EXPECT_NEAR(s / sd, 1.0, 0.15) << "effect " << cols[k].first << " level " << cols[k].second;
    }
  }
}

// Unknown parent groups beside fixed contemporary groups, every unknown
// parent a group (4 groups: the founders' sires and dams, the later
// animals' sires and dams): the groups' common level is the contemporary
// groups' once more.  The last group is held, and the
// breeding values (additive variance 1, held) have posterior sds below the
// prior's 1 instead of drifting with the common level.
TEST_F(References, ParentGroupsBesideContemporaryGroupsHoldTheLastGroup) {
  const int founders = 40, animals = 240, ngroup = 4, ncg = 8;
  std::ostringstream ped, data;
  Sixteenths draw(7);
  auto pick = [&draw](int lo, int hi) {  // lo..hi
    return lo + static_cast<int>(std::fabs(draw.next(8.0)) * 16) % (hi - lo + 1);
  };
  for (int a = 1; a <= animals; ++a) {
    int sire = 0, dam = 0;
    if (a > founders) {
      const int gen0 = (a - founders - 1) / 50 * 50 + founders;  // 50 a generation
      sire = a % 5 == 0 ? 0 : pick(gen0 - 40 < 1 ? 1 : gen0 - 40, gen0);
      dam = a % 7 == 0 ? 0 : pick(gen0 - 40 < 1 ? 1 : gen0 - 40, gen0);
      if (sire == dam) dam = 0;
    }
    const int unknown = (sire == 0) + (dam == 0);
    const int g = a <= founders ? 0 : 2;  // founders' groups 1-2, later ones' 3-4
    if (sire == 0) sire = animals + 1 + g;
    if (dam == 0) dam = animals + 2 + g;
    ped << a << " " << sire << " " << dam << " " << 1 + unknown << "\n";
    data << 50 + 2 * (a % ncg) + draw.next(3.0) << " " << 1 + a % ncg << " " << a << "\n";
  }
  std::ofstream(dir() / "pedigree.txt") << ped.str();
  std::ofstream(dir() / "data.txt") << data.str();
  std::ostringstream group;
  group << "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_upg 100000000\nPEDIGREEFILE:\npedigree.txt " << animals
        << "\n(CO)VARIANCES\n1\n";
  std::ofstream(dir() / "params.txt")
      << params(animals, 3000, 500, 5, 2, "2 8 cross n\n3 " + std::to_string(animals + ngroup) + " cross n\n",
                group.str());
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  // The founders' sire and dam groups (241, 242) always come together: a
  // direction of their own, whose later group is held as well.
  EXPECT_EQ(reference_lines(p.out),
            (std::vector<std::string>{" Effect 2 level 242 is held at 0 as a reference and not sampled: the records"
                                      " cannot tell the levels of effect 2 apart from one another (a common shift"
                                      " that no record informs); their solutions are relative to it",
                                      " Effect 2 level 244 is held at 0 as a reference and not sampled: the records"
                                      " cannot tell the levels of effect 2 apart from those of effect 1 (a common"
                                      " shift that no record informs); their solutions are relative to it"}));
  const auto sol = solutions(dir());
  EXPECT_EQ(sol.at({2, animals + 2}), std::make_pair(0.0, 0.0));
  EXPECT_EQ(sol.at({2, animals + ngroup}), std::make_pair(0.0, 0.0));
  double largest = 0;
  for (int a = 1; a <= animals; ++a) largest = std::max(largest, sol.at({2, a}).second);
  EXPECT_LT(largest, 1.0);
  for (int g : {1, 3}) EXPECT_LT(sol.at({2, animals + g}).second, 1.0) << "group " << g;
}

// Models without such a direction run as they always did: no line, and
// "solutions" to the byte as the program wrote it before references
// existed.  A sex missing (0) on one record breaks the direction of the
// overlapping effects; founders with unknown parents (not groups) give the
// groups a share the contemporary groups cannot take up; a covariable far
// from 0 (10^6 + 0..3) beside the contemporary groups is no multiple of
// their constant, whatever its origin.
TEST_F(References, ModelsWithoutADirectionAreUnchanged) {
  const int nrec = 120;
  for (const std::string name : {"sex_missing_once", "founders_without_groups", "covariable", "covariable_far_from_0"}) {
    SCOPED_TRACE(name);
    fs::remove_all(dir());
    fs::create_directories(dir());
    Sixteenths noise(3);
    std::ostringstream data, ped;
    for (int i = 0; i < nrec; ++i) {
      const int sex = name == "sex_missing_once" && i == 17 ? 0 : 1 + (i / 6) % 2;
      const double x = name == "covariable_far_from_0" ? 1000000 + i % 4 : 0.5 * (i % 5) - 1;
      data << 20 + i % 6 + noise.next(2.0) << " " << 1 + i % 6 << " " << sex << " " << 1 + i << " " << x << "\n";
      const int sire = i < 20 ? 0 : 1 + (i * 7) % 20, dam = i < 20 ? 0 : 1 + (i * 11 + 3) % 20;
      // One group for both parents: a sire group and a dam group always
      // together would be a direction of their own.
      if (name == "founders_without_groups" && i >= 20 && i % 4 == 0)
        ped << 1 + i << " " << nrec + 1 << " " << nrec + 1 << " 3\n";
      else
        ped << 1 + i << " " << sire << " " << (dam == sire ? 0 : dam) << " "
            << 1 + (sire == 0) + (dam == 0 || dam == sire) << "\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "pedigree.txt") << ped.str();
    std::string effects, groups;
    int neff = 2;
    if (name == "sex_missing_once") {
      effects = "2 6 cross n\n3 2 cross n\n";
    } else if (name == "founders_without_groups") {
      effects = "2 6 cross n\n4 " + std::to_string(nrec + 1) + " cross n\n";
      groups = "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_upg 0\nPEDIGREEFILE:\npedigree.txt " + std::to_string(nrec) +
               "\n(CO)VARIANCES\n1\n";
    } else if (name == "covariable_far_from_0") {
      effects = "2 6 cross n\n5 1 cov n\n";
    } else {
      neff = 3;
      effects = "2 6 cross n\n5 1 cov n\n4 " + std::to_string(nrec) + " cross n\n";
      groups = "RANDOM_GROUP\n3\nRANDOM_TYPE\nadd_animal 0\nPEDIGREEFILE:\npedigree.txt " + std::to_string(nrec) +
               "\n(CO)VARIANCES\n1\n";
    }
    std::string par = params(nrec, 300, 100, 10, neff, effects, groups);
    par.replace(par.find("homogeneous 100000000"), 21, "homogeneous 0");
    std::ofstream(dir() / "params.txt") << par;
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    EXPECT_TRUE(reference_lines(p.out).empty());
    statetest::expect_golden("references_none_" + name + ".txt", read_file(dir() / "solutions"));
  }
}

}  // namespace
