// Location parameters the records cannot tell apart, through the whole
// program: each direction gets one parameter held at 0 (said at start-up,
// 0 with sd 0 in "solutions"), the others then have the posterior of the
// model with that parameter left out, and a model without such a direction
// runs as it always did.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "run/chain_support.hpp"
#include "run/state_support.hpp"
#include "util/checksum.hpp"

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

// A record's fixed parameters: (effect, level) -> value.
using Row = std::map<std::pair<int, int>, double>;

// The posterior of the parameters `cols` of a model of flat priors and
// residual variance 1 whose other parameters are held at 0: mean
// (X'X)^-1 X'y, covariance (X'X)^-1.  The columns are scaled to sum of
// squares 1 first, so that values of 2e9 or 1e-10 invert as well as 1.
std::vector<std::pair<double, double>> exact_posterior(const std::vector<Row>& rows, const std::vector<double>& y,
                                                       const std::vector<std::pair<int, int>>& cols) {
  const int n = static_cast<int>(cols.size());
  std::vector<double> norm(static_cast<std::size_t>(n), 0.0), xy(static_cast<std::size_t>(n), 0.0);
  for (const Row& r : rows)
    for (int k = 0; k < n; ++k)
      if (auto it = r.find(cols[static_cast<std::size_t>(k)]); it != r.end()) norm[static_cast<std::size_t>(k)] += it->second * it->second;
  for (double& v : norm) v = std::sqrt(v);
  Dense xx(n);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    std::vector<std::pair<int, double>> in;
    for (int k = 0; k < n; ++k)
      if (auto it = rows[i].find(cols[static_cast<std::size_t>(k)]); it != rows[i].end())
        in.push_back({k, it->second / norm[static_cast<std::size_t>(k)]});
    for (const auto& [a, va] : in) {
      xy[static_cast<std::size_t>(a)] += va * y[i];
      for (const auto& [b, vb] : in) xx(a, b) += va * vb;
    }
  }
  const Dense v = inverse(xx);
  const std::vector<double> mean = multiply(v, xy);
  std::vector<std::pair<double, double>> out;
  for (int k = 0; k < n; ++k) {
    const double s = norm[static_cast<std::size_t>(k)];
    out.push_back({mean[static_cast<std::size_t>(k)] / s, std::sqrt(v(k, k)) / s});
  }
  return out;
}

// The chain's means within a fifth of a posterior sd of the exact ones, its
// sds within 15 % (a drifting chain has sds of several times these); about
// 1000 samples.  Only the first `compared` columns (all by default): a
// coefficient of x = 2e9 is written as 0.000000.
void expect_posterior(const std::map<std::pair<int, int>, std::pair<double, double>>& sol, const std::vector<Row>& rows,
                      const std::vector<double>& y, const std::vector<std::pair<int, int>>& cols,
                      std::size_t compared = std::string::npos) {
  const auto want = exact_posterior(rows, y, cols);
  for (std::size_t k = 0; k < std::min(compared, cols.size()); ++k) {
    const auto [m, s] = sol.at(cols[k]);
    EXPECT_NEAR(m, want[k].first, 0.2 * want[k].second) << "effect " << cols[k].first << " level " << cols[k].second;
    EXPECT_NEAR(s / want[k].second, 1.0, 0.15) << "effect " << cols[k].first << " level " << cols[k].second;
  }
}

// Contemporary groups (10, fixed) and a fixed sex overlapping them: the
// sexes' common level and the groups' are one direction.  Held at 0 is the
// best-informed level of the later effect: the one with most records (ties:
// the last); with the residual variance known the other parameters'
// posterior is the normal one of the model without the held column.
TEST_F(References, OverlappingFixedEffectsHoldTheLaterEffectsBestInformedLevel) {
  const int ncg = 10, nrec = 200;
  // With a covariable after them the held level has equations after it,
  // which must not see what the pass draws for it.
  const struct {
    bool sex_first, covariable;
  } cases[] = {{false, false}, {true, false}, {false, true}};
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
    // The later effect's level of most records, the last of equals.
    const int e_cg = c.sex_first ? 2 : 1, e_sex = c.sex_first ? 1 : 2;
    const std::vector<int>& later = c.sex_first ? cg : sex;
    std::map<int, int> count;
    for (int l : later) ++count[l];
    int held = 0;
    for (const auto& [l, n] : count)
      if (held == 0 || n >= count[held]) held = l;
    EXPECT_EQ(reference_lines(p.out),
              std::vector<std::string>{" Effect 2 level " + std::to_string(held) +
                                       " is held at 0 as a reference and not sampled: the records cannot tell the"
                                       " levels of effect 2 apart from those of effect 1 (a common shift that no record"
                                       " informs); of that shift's levels of effect 2 it is the best informed (the"
                                       " largest sum of squares over the records), and their solutions are relative"
                                       " to it"});
    const auto sol = solutions(dir());
    EXPECT_EQ(sol.at({2, held}), std::make_pair(0.0, 0.0));

    std::vector<std::pair<int, int>> cols;  // (effect, level): all but the held one
    for (int l = 1; l <= ncg; ++l)
      if (!(e_cg == 2 && l == held)) cols.push_back({e_cg, l});
    for (int l = 1; l <= 2; ++l)
      if (!(e_sex == 2 && l == held)) cols.push_back({e_sex, l});
    if (c.covariable) cols.push_back({3, 1});
    std::vector<Row> rows(nrec);
    for (int i = 0; i < nrec; ++i) {
      rows[i] = {{{e_cg, cg[i]}, 1.0}, {{e_sex, sex[i]}, 1.0}};
      if (c.covariable) rows[i][{3, 1}] = x[i];
    }
    expect_posterior(sol, rows, y, cols);
  }
}

// Unknown parent groups beside fixed contemporary groups, every unknown
// parent a group (4 groups: the founders' sires and dams, the later
// animals' sires and dams): the groups' common level is the contemporary
// groups' once more, and the founders' sire and dam groups, which always
// come together, are a direction of their own.  Each holds its
// best-informed group, the one whose shares over the records have the
// largest sum of squares (worked here from the pedigree), and the
// breeding values (additive variance 1, held) have posterior sds below the
// prior's 1 instead of drifting with the common level.
TEST_F(References, ParentGroupsBesideContemporaryGroupsHoldTheBestInformedGroup) {
  const int founders = 40, animals = 240, ngroup = 4, ncg = 8;
  std::ostringstream ped, data;
  Sixteenths draw(7);
  auto pick = [&draw](int lo, int hi) {  // lo..hi
    return lo + static_cast<int>(std::fabs(draw.next(8.0)) * 16) % (hi - lo + 1);
  };
  // Each animal's shares of the groups, through its parents.
  std::vector<std::vector<double>> share(animals + ngroup + 1, std::vector<double>(ngroup + 1, 0.0));
  for (int g = 1; g <= ngroup; ++g) share[animals + g][g] = 1;
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
    for (int k = 1; k <= ngroup; ++k) share[a][k] = (share[sire][k] + share[dam][k]) / 2;
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
  std::vector<double> ss(ngroup + 1, 0.0);
  for (int a = 1; a <= animals; ++a)
    for (int g = 1; g <= ngroup; ++g) ss[g] += share[a][g] * share[a][g];
  ASSERT_EQ(ss[1], ss[2]);  // the founders' pair: the later is held
  int best = 1;
  for (int g : {3, 4})
    if (ss[g] >= ss[best]) best = g;
  const std::vector<int> held = {std::min(2, best), std::max(2, best)};
  std::vector<std::string> want;
  for (int g : held)
    want.push_back(" Effect 2 level " + std::to_string(animals + g) +
                   " is held at 0 as a reference and not sampled: the records cannot tell the levels of effect 2 apart"
                   " from those of effect 1 (a common shift that no record informs); of that shift's parent groups it"
                   " is the best informed (the largest sum of squares over the records), and their solutions are"
                   " relative to it");
  EXPECT_EQ(reference_lines(p.out), want);
  const auto sol = solutions(dir());
  double largest = 0;
  for (int a = 1; a <= animals; ++a) largest = std::max(largest, sol.at({2, a}).second);
  EXPECT_LT(largest, 1.0);
  for (int g = 1; g <= ngroup; ++g)
    if (g == held[0] || g == held[1])
      EXPECT_EQ(sol.at({2, animals + g}), std::make_pair(0.0, 0.0)) << "group " << g;
    else
      EXPECT_LT(sol.at({2, animals + g}).second, 1.0) << "group " << g;
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
    data.precision(10);  // 10^6 + 1, not 1e+06
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


// The parameter file of two traits (both observed in columns 1 and 2), the
// residual covariance diagonal and held: the traits' location parameters
// then have the posteriors of two one-trait models over the records where
// each trait is observed, whatever the imputed values.
std::string params2(int nrec, int cycles, int neff, const std::string& effects) {
  std::ostringstream o;
  o << "MCMC_CHAIN:\n"
    << cycles << " " << cycles / 6 << " 5\nSEED\n5\nRESTART:\nn\nDATAFILE\ndata.txt " << nrec
    << "\nNUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n" << neff << "\nOBSERVATION(S)\n1 2\nWEIGHT(S)\n\nEFFECTS:\n"
    << effects << "RANDOM_RESIDUAL:\nhomogeneous 100000000\nRESIDUAL_PRIOR_(CO)VARIANCES\n1 0\n0 1\n";
  return o.str();
}

// The line of a reference held for a direction of fixed levels.
std::string shift_line(int e, int l, int with, int trait = 0) {
  return " Effect " + std::to_string(e) + " level " + std::to_string(l) +
         (trait > 0 ? " of trait " + std::to_string(trait) : std::string()) +
         " is held at 0 as a reference and not sampled: the records cannot tell the levels of effect " +
         std::to_string(e) + " apart from those of effect " + std::to_string(with) +
         " (a common shift that no record informs); of that shift's levels of effect " + std::to_string(e) +
         " it is the best informed (the largest sum of squares over the records), and their solutions are relative"
         " to it";
}

// Contemporary groups, level 2 of most records, a level per record in this
// cycle of 8.
int cg_of(int i) { return std::array<int, 8>{1, 2, 2, 2, 3, 4, 5, 2}[static_cast<std::size_t>(i % 8)]; }

// A covariable equal on every record (3, 2e9 or 1e-10) beside 5 fixed
// contemporary groups is their constant: found whichever effect comes
// first.  After the groups it is centred, which leaves a column of 0s; the
// covariable (the later effect) is held.  Before them the group of most
// records is held.  The groups then have the exact posterior of the model
// without the held column, at every scale.
TEST_F(References, ConstantCovariableBesideClassesIsHeldWhateverTheOrderAndScale) {
  const int nrec = 200;
  for (const double x : {3.0, 2e9, 1e-10})
    for (const bool cov_first : {false, true}) {
      SCOPED_TRACE(std::to_string(x) + (cov_first ? ", covariable first" : ", covariable after"));
      Sixteenths noise(11);
      std::ostringstream data;
      data.precision(10);
      std::vector<Row> rows(nrec);
      std::vector<double> y(nrec);
      const int e_cg = cov_first ? 2 : 1, e_x = 3 - e_cg;
      for (int i = 0; i < nrec; ++i) {
        y[i] = 10 + 2 * cg_of(i) + noise.next(2.0);
        rows[i] = {{{e_cg, cg_of(i)}, 1.0}, {{e_x, 1}, static_cast<double>(static_cast<float>(x))}};
        data << y[i] << " " << cg_of(i) << " " << x << "\n";
      }
      std::ofstream(dir() / "data.txt") << data.str();
      std::ofstream(dir() / "params.txt")
          << params(nrec, 6000, 1000, 5, 2, cov_first ? "3 1 cov n\n2 5 cross n\n" : "2 5 cross n\n3 1 cov n\n");
      const Process p = run_program(dir());
      ASSERT_EQ(p.status, 0) << p.out << p.err;
      const std::pair<int, int> held = cov_first ? std::make_pair(2, 2) : std::make_pair(2, 1);
      EXPECT_EQ(reference_lines(p.out), std::vector<std::string>{shift_line(held.first, held.second, 1)});
      const auto sol = solutions(dir());
      EXPECT_EQ(sol.at(held), std::make_pair(0.0, 0.0));
      std::vector<std::pair<int, int>> cols;
      for (int l = 1; l <= 5; ++l)
        if (std::make_pair(e_cg, l) != held) cols.push_back({e_cg, l});
      if (cov_first) cols.push_back({e_x, 1});
      expect_posterior(sol, rows, y, cols, x == 3.0 ? cols.size() : 4);
    }
}

// Two traits, age a covariable for both after the contemporary groups;
// trait 2 is weighed only at 365 days.  Each trait is centred on its own
// records: trait 1's ages vary and inform its coefficient, trait 2's are
// one constant beside the groups, and its coefficient is held (or, age
// first, the group with most trait-2 records).  Trait 2's parameters have
// the posterior of its one-trait model (trait 1's, an age far from 0 beside
// the groups, mix too slowly for a short chain).
TEST_F(References, TwoTraitsCentreEachTraitOnItsOwnRecords) {
  const int nrec = 240;
  for (const bool age_first : {false, true}) {
    SCOPED_TRACE(age_first ? "age first" : "age after");
    Sixteenths noise(5);
    std::ostringstream data;
    std::vector<double> y2;
    std::vector<Row> rows2;
    const int e_cg = age_first ? 2 : 1, e_age = 3 - e_cg;
    std::map<int, int> count2;
    for (int i = 0; i < nrec; ++i) {
      const int cg = 1 + i % 4;
      const bool weighed = i % 3 == 0 || (cg == 3 && i % 2 == 0);
      const double age = weighed ? 365 : 300 + (i * 7) % 130;
      const double y1 = 100 + 5 * cg + 0.1 * age + noise.next(2.0);
      const double w = weighed ? 200 + 3 * cg + noise.next(2.0) : 0;
      if (weighed) {
        y2.push_back(w);
        rows2.push_back({{{e_cg, cg}, 1.0}, {{e_age, 1}, age}});
        ++count2[cg];
      }
      data << y1 << " " << w << " " << cg << " " << age << "\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "params.txt")
        << params2(nrec, 6000, 2, age_first ? "4 4 1 cov n\n3 3 4 cross n\n" : "3 3 4 cross n\n4 4 1 cov n\n");
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    ASSERT_EQ(count2[3], std::max({count2[1], count2[2], count2[3], count2[4]}));
    const std::pair<int, int> held = age_first ? std::make_pair(2, 3) : std::make_pair(2, 1);
    EXPECT_EQ(reference_lines(p.out), std::vector<std::string>{shift_line(held.first, held.second, 1, 2)});
    std::vector<std::pair<int, int>> cols2;
    for (int l = 1; l <= 4; ++l)
      if (std::make_pair(e_cg, l) != held) cols2.push_back({e_cg, l});
    if (std::make_pair(e_age, 1) != held) cols2.push_back({e_age, 1});
    const auto sol2 = solutions(dir(), 2);
    EXPECT_EQ(sol2.at(held), std::make_pair(0.0, 0.0));
    expect_posterior(sol2, rows2, y2, cols2);
  }
}

// A slope nested in 5 contemporary groups whose covariable is one value in
// group 5: that slope and the group are one direction, at x = 1, 2e9
// (dates as seconds) or 1e-10 alike, and the slope (the later effect) is
// held.  The posterior is exact at every scale, also where the square of
// a covariable leaves the range of 32-bit reals (1e30, 1e-30).
TEST_F(References, SlopeConstantWithinItsClassIsHeldAtAnyScale) {
  const int nrec = 200;
  for (const double scale : {1.0, 2e9, 1e-10, 1e30, 1e-30}) {
    SCOPED_TRACE(scale);
    Sixteenths noise(17);
    std::ostringstream data;
    data.precision(10);
    std::vector<Row> rows(nrec);
    std::vector<double> y(nrec);
    for (int i = 0; i < nrec; ++i) {
      const int cg = cg_of(i);
      const double u = cg == 5 ? 2 : 1 + i % 3, x = static_cast<float>(scale * u);
      y[i] = 10 + 2 * cg + 0.5 * u + noise.next(2.0);
      rows[i] = {{{1, cg}, 1.0}, {{2, cg}, x}};
      data << y[i] << " " << cg << " " << scale * u << "\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "params.txt") << params(nrec, 6000, 1000, 5, 2, "2 5 cross n\n3 5 cov n 2\n");
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    EXPECT_EQ(reference_lines(p.out), std::vector<std::string>{shift_line(2, 5, 1)});
    EXPECT_EQ(p.out.find("nearly a combination"), std::string::npos) << p.out;
    const auto sol = solutions(dir());
    EXPECT_EQ(sol.at({2, 5}), std::make_pair(0.0, 0.0));
    std::vector<std::pair<int, int>> cols;
    for (int l = 1; l <= 5; ++l) cols.push_back({1, l});
    for (int l = 1; l <= 4; ++l) cols.push_back({2, l});
    expect_posterior(sol, rows, y, cols);
  }
}

// A covariable of 200 on every record but one (200.0001 there), before 5
// contemporary groups: that record informs it, so nothing is held and the
// start-up says which record and by how much (its remainder against its
// terms), whatever the number of records.  With 200 on every record the
// group of most records is held.
TEST_F(References, OneRecordOffAConstantInformsItAtAnyNumberOfRecords) {
  for (const int nrec : {100, 1000, 10000})
    for (const bool off : {true, false}) {
      SCOPED_TRACE(std::to_string(nrec) + (off ? " one off" : " all equal"));
      const int odd = nrec / 2 + 3;  // record number, from 1
      std::ostringstream data;
      data.precision(10);
      std::map<int, int> count;
      for (int i = 0; i < nrec; ++i) {
        ++count[cg_of(i)];
        data << 10 + 2 * cg_of(i) + (i % 5) * 0.25 << " " << cg_of(i) << " " << (off && i + 1 == odd ? 200.0001 : 200)
             << "\n";
      }
      std::ofstream(dir() / "data.txt") << data.str();
      std::ofstream(dir() / "params.txt") << params(nrec, 20, 10, 5, 2, "3 1 cov n\n2 5 cross n\n");
      const Process p = run_program(dir());
      ASSERT_EQ(p.status, 0) << p.out << p.err;
      if (!off) {
        EXPECT_EQ(reference_lines(p.out), std::vector<std::string>{shift_line(2, 2, 1)});
        continue;
      }
      EXPECT_TRUE(reference_lines(p.out).empty()) << p.out;
      const std::string said = " warning: effect 2 level 2 is nearly a combination of other fixed levels, not"
                               " exactly: record " + std::to_string(odd) + " departs from it by ";
      const auto at = p.out.find(said);
      ASSERT_NE(at, std::string::npos) << p.out;
      // Its remainder x - mean of its group against x + mean.
      const double x = static_cast<float>(200.0001), n = count[cg_of(odd - 1)];
      const double mean = (200 * (n - 1) + x) / n;
      EXPECT_NEAR(std::stod(p.out.substr(at + said.size(), 7)), (x - mean) / (x + mean), 0.05 * (x - mean) / (x + mean));
    }
}

// Contemporary groups, a breed (2 levels) and a covariable that is the
// breed-1 indicator on every record but one: the breed levels against the
// groups are an exact direction, held; the covariable against breed 1 a
// near one, sampled, and the warning names the record that departs (not
// one that only the pivots' rounding seems to move), by its share.
TEST_F(References, ANearDirectionIsWarnedOfByTheRecordThatInformsIt) {
  const int nrec = 300, odd = 151;
  const float above1 = 1 + 1e-6f;
  const struct {
    const char* what;
    int breed;      // the odd record's
    double x;       // its covariable
    double share;   // its remainder against its terms: |x - indicator| / (x + indicator)
  } cases[] = {
      {"breed 2, a covariable just above 0", 2, 1e-6, 1.0},
      {"breed 2, a covariable further above 0", 2, 1e-5, 1.0},
      {"breed 1, a covariable just above 1", 1, above1, (above1 - 1.0) / (above1 + 1.0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream data;
    data.precision(10);
    for (int i = 0; i < nrec; ++i) {
      const int cg = 1 + i % 5, breed = i + 1 == odd ? c.breed : 1 + (i / 3) % 2;
      data << 10 + cg + breed + (i % 7) * 0.25 << " " << cg << " " << breed << " "
           << (i + 1 == odd ? c.x : breed == 1 ? 1.0 : 0.0) << "\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "params.txt") << params(nrec, 20, 10, 5, 3, "2 5 cross n\n3 2 cross n\n4 1 cov n\n");
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    EXPECT_EQ(reference_lines(p.out).size(), 1u) << p.out;
    const std::string said = "is nearly a combination of other fixed levels, not exactly: record " + std::to_string(odd) +
                             " departs from it by ";
    const auto at = p.out.find(said);
    ASSERT_NE(at, std::string::npos) << p.out;
    EXPECT_NEAR(std::stod(p.out.substr(at + said.size(), 7)), c.share, 0.05 * c.share);
  }
}

// Two traits, 6 contemporary groups: groups 5 and 6 have trait 2 missing on
// every record.  No record informs their trait-2 levels, which the imputed
// values would carry anywhere: held at 0, said so; the other levels have
// their one-trait posteriors.
TEST_F(References, LevelsThatOnlyRecordsMissingATraitHaveAreHeldForIt) {
  const int nrec = 240;
  Sixteenths noise(23);
  std::ostringstream data;
  std::vector<Row> rows1(nrec), rows2;
  std::vector<double> y1(nrec), y2;
  for (int i = 0; i < nrec; ++i) {
    const int cg = 1 + i % 6;
    y1[i] = 20 + cg + noise.next(2.0);
    const double w = cg >= 5 ? 0 : 50 + 2 * cg + noise.next(2.0);
    rows1[i] = {{{1, cg}, 1.0}};
    if (w != 0) {
      rows2.push_back(rows1[i]);
      y2.push_back(w);
    }
    data << y1[i] << " " << w << " " << cg << "\n";
  }
  std::ofstream(dir() / "data.txt") << data.str();
  std::ofstream(dir() / "params.txt") << params2(nrec, 6000, 1, "3 3 6 cross n\n");
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  std::vector<std::string> want;
  for (int l : {5, 6})
    want.push_back(" Effect 1 level " + std::to_string(l) +
                   " of trait 2 is held at 0 as a reference and not sampled: no record where trait 2 is observed has"
                   " it (only records where the trait is missing do), so no record informs it");
  EXPECT_EQ(reference_lines(p.out), want);
  std::vector<std::pair<int, int>> cols1, cols2;
  for (int l = 1; l <= 6; ++l) cols1.push_back({1, l});
  for (int l = 1; l <= 4; ++l) cols2.push_back({1, l});
  expect_posterior(solutions(dir(), 1), rows1, y1, cols1);
  const auto sol2 = solutions(dir(), 2);
  for (int l : {5, 6}) EXPECT_EQ(sol2.at({1, l}), std::make_pair(0.0, 0.0));
  expect_posterior(sol2, rows2, y2, cols2);
}


// A chain stored while it drew the parameter now held (by a build that held
// another level, or none) is not continued: its sums mix draws along the
// direction, and the stop says which builds store such chains.  The store
// is made to read as such a build's: the level now held drawn, the other
// one held or drawn too; the record's checksum follows.
TEST_F(References, RestartOfAChainThatDrewTheHeldLevelIsRefused) {
  const int nrec = 120;
  const struct {
    const char* what;
    const char* level1;  // the stored line of the level not held now
  } cases[] = {
      {"another level held", "  1  2       1       0.000000       0.000000       0.000000\n"},
      {"no level held", "  1  2       1      -1.500000       0.200000      -1.400000\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream data;
    for (int i = 0; i < nrec; ++i) data << 20 + i % 6 << " " << 1 + i % 6 << " " << 1 + (i % 5 < 3) << "\n";
    std::ofstream(dir() / "data.txt") << data.str();
    std::ofstream(dir() / "params.txt") << params(nrec, 100, 50, 5, 2, "2 6 cross n\n3 2 cross n\n");
    Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    ASSERT_EQ(reference_lines(p.out), std::vector<std::string>{shift_line(2, 2, 1)});  // 72 records against 48
    std::string sol;
    for (const std::string& line : lines_of(read_file(dir() / "solutions"))) {
      std::istringstream in(line);
      int t = 0, e = 0, l = 0;
      if (in >> t >> e >> l && e == 2)
        sol += l == 2 ? "  1  2       2       1.500000       0.200000       1.400000\n" : c.level1;
      else
        sol += line + "\n";
    }
    std::ofstream(dir() / "solutions", std::ios::binary) << sol;
    util::Tally t;
    ASSERT_TRUE(util::tally_of_file((dir() / "solutions").c_str(), -1, t, true));
    std::string record;
    for (const std::string& line : lines_of(read_file(dir() / "store_record"))) {
      if (line.rfind("result solutions ", 0) == 0) {
        record += "result solutions " + std::to_string(t.bytes) + " ";
        util::put_checksum(record, t.sum);
        record += "\n";
      } else {
        record += line + "\n";
      }
    }
    std::ofstream(dir() / "store_record", std::ios::binary) << record;
    std::string par = params(nrec, 150, 50, 5, 2, "2 6 cross n\n3 2 cross n\n");
    par.replace(par.find("RESTART:\nn"), 10, "RESTART:\ny 101");
    std::ofstream(dir() / "params.txt") << par;
    p = run_program(dir());
    EXPECT_NE(p.status, 0);
    EXPECT_NE(p.out.find("restart at cycle 101 : effect 2 level 2 is now held at 0 as a reference, but the stored chain"
                         " drew it (a chain stored by a version of the program that held no references, or held"
                         " another level of that direction), so its sums mix draws along a direction the records do"
                         " not inform: start the chain afresh (RESTART: n)"),
              std::string::npos)
        << p.out << p.err;
  }
}


// Two traits, parent groups 61 and 62 beside true founders: the animals
// that group 62 reaches have trait 2 missing on every record.  Its trait-2
// level is informed by no record and held; its trait-1 level, and group 61
// for both traits, are sampled.
TEST_F(References, ParentGroupThatReachesNoRecordOfATraitIsHeldForIt) {
  const int animals = 60;
  std::ostringstream ped, data;
  Sixteenths noise(29);
  for (int a = 1; a <= animals; ++a) {
    if (a <= 20)
      ped << a << " " << (a <= 10 ? 61 : 62) << " " << (a <= 10 ? 61 : 62) << " 3\n";
    else if (a <= 30)
      ped << a << " 0 0 3\n";
    else
      ped << a << " " << (a <= 45 ? 1 + a % 10 : 11 + a % 10) << " " << 21 + a % 10 << " 1\n";
    const bool of62 = (a > 10 && a <= 20) || a > 45;
    data << 30 + a % 3 + noise.next(2.0) << " " << (of62 ? 0 : 60 + noise.next(2.0)) << " " << 1 + a % 2 << " " << a
         << "\n";
  }
  std::ofstream(dir() / "pedigree.txt") << ped.str();
  std::ofstream(dir() / "data.txt") << data.str();
  std::string par = params2(animals, 600, 2, "3 3 2 cross n\n4 4 62 cross n\n");
  par += "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_upg 100000000\nPEDIGREEFILE:\npedigree.txt 60\n(CO)VARIANCES\n1 0\n0 1\n";
  std::ofstream(dir() / "params.txt") << par;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  EXPECT_EQ(reference_lines(p.out),
            std::vector<std::string>{" Effect 2 level 62 of trait 2 is held at 0 as a reference and not sampled: it"
                                     " reaches no animal with a record where trait 2 is observed, so no record"
                                     " informs it"});
  EXPECT_EQ(solutions(dir(), 2).at({2, 62}), std::make_pair(0.0, 0.0));
  for (int t : {1, 2})
    for (int g : {61, 62})
      if (t == 1 || g == 61) EXPECT_GT(solutions(dir(), t).at({2, g}).second, 0.0) << "trait " << t << " group " << g;
}

}  // namespace
