// Parent groups beside fixed contemporary groups (CGs) in the model classes
// with candidate sires, animals without equations, several breeds or
// reaction norms: every group +c and every CG -c leaves the records and
// the Mendelian terms as they are, whatever sire is drawn, so one group is
// held and the chain no longer walks along that shift.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <numeric>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

class ReferenceClasses : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "program not found";
  }
};

using Solutions = std::map<std::pair<int, int>, std::pair<double, double>>;

// "solutions" of trait 1 as (effect, level) -> (mean, sd).
Solutions solutions_of(const fs::path& d) {
  Solutions out;
  const auto lines = lines_of(read_file(d / "solutions"));
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::istringstream in(lines[i]);
    int t = 0, e = 0, l = 0;
    double mean = 0, sd = 0;
    if (in >> t >> e >> l >> mean >> sd && t == 1) out[{e, l}] = {mean, sd};
  }
  return out;
}

// The (effect, level) of each held reference the run announced.
std::vector<std::pair<int, int>> held_levels(const std::string& out) {
  std::vector<std::pair<int, int>> v;
  for (const std::string& l : lines_of(out))
    if (l.find("is held at 0 as a reference") != std::string::npos) {
      std::istringstream in(l);
      std::string word;
      int e = 0, lev = 0;
      in >> word >> e >> word >> lev;
      v.emplace_back(e, lev);
    }
  return v;
}

// The class of a data set: the group's type and what it carries.
struct Layout {
  const char* name;
  const char* type;  // add_an_upg, add_an_ms or add_an_mb
  bool candidates = false, reduced = false, breeds = false, breed_covariable = false, rnorm = false;
  // Two groups that only the two candidate sires of one animal bring to
  // the records, each through one of them.
  bool split_candidates = false;
  // A fixed sex overlapping the CGs, as effect 3, after the animals.
  bool sex = false;
};

// What a data set came to: its animals with equations and its groups, as
// levels of effect 2.
struct Made {
  std::vector<int> animals, groups;
};

// 240 animals in generations of 50 after 40 founders, each with one record
// in one of 8 CGs (effect 1).  The founders' parents are groups, in three
// pairings of three groups (three of each breed with two breeds) so that
// no pair of groups always comes together; every ninth later animal has a
// group for sire (not with breeds).  Candidates: every third later animal
// has its sire among it and two others of the same generations, of prior
// probabilities 0.4, 0.2, 0.2.
Made write_case(const fs::path& dir, const Layout& c, int cycles) {
  fs::create_directories(dir);
  const int founders = 40, n = 240, ncg = 8;
  const bool ms = std::string(c.type) == "add_an_ms", mb = std::string(c.type) == "add_an_mb";
  const int extra =
      c.split_candidates ? 3 : 0;  // two sires without records and their one offspring
  const int nanim = n + extra, ngrp = (c.breeds ? 6 : 3) + (c.split_candidates ? 2 : 0);
  std::vector<int> G(static_cast<std::size_t>(ngrp));
  std::iota(G.begin(), G.end(), nanim + 1);
  Sixteenths draw(19);
  auto pick = [&draw](int lo, int hi) {
    return lo + static_cast<int>(std::fabs(draw.next(8.0)) * 16) % (hi - lo + 1);
  };
  std::vector<int> sire(static_cast<std::size_t>(nanim) + 1), dam(sire.size());
  std::vector<std::vector<std::pair<int, double>>> cand(sire.size());
  std::vector<double> fr(static_cast<std::size_t>(nanim + ngrp) + 1, 0.0);
  for (int k = 0; k < (c.breeds ? 3 : 0); ++k)
    fr[static_cast<std::size_t>(G[static_cast<std::size_t>(k)])] = 1;
  for (int a = 1; a <= n; ++a) {
    const auto ua = static_cast<std::size_t>(a);
    if (a <= founders) {
      const int off = c.breeds && a % 2 == 0 ? 3 : 0, k = (c.breeds ? a / 2 : a) % 3;
      const int pair[3][2] = {{0, 1}, {1, 2}, {0, 2}};
      sire[ua] = G[static_cast<std::size_t>(off + pair[k][0])];
      dam[ua] = G[static_cast<std::size_t>(off + pair[k][1])];
    } else {
      const int g0 = (a - founders - 1) / 50 * 50 + founders, lo = std::max(1, g0 - 40);
      sire[ua] = pick(lo, g0);
      do dam[ua] = pick(lo, g0);
      while (dam[ua] == sire[ua]);
      if (!c.breeds && a % 9 == 0) sire[ua] = G[2];
      if (c.candidates && a % 3 == 0 && sire[ua] <= n) {
        std::vector<int> list{sire[ua]};
        while (list.size() < 3) {
          const int o = pick(lo, g0);
          if (o != dam[ua] && std::find(list.begin(), list.end(), o) == list.end())
            list.push_back(o);
        }
        std::rotate(list.begin(), list.begin() + a % 3, list.end());
        for (int x : list) cand[ua].emplace_back(x, x == sire[ua] ? 0.4 : 0.2);
      }
    }
    fr[ua] = 0.5 * (fr[static_cast<std::size_t>(sire[ua])] + fr[static_cast<std::size_t>(dam[ua])]);
  }
  if (c.split_candidates) {
    sire[static_cast<std::size_t>(n + 1)] = G[3];
    sire[static_cast<std::size_t>(n + 2)] = G[4];
    dam[static_cast<std::size_t>(n + 1)] = dam[static_cast<std::size_t>(n + 2)] = G[0];
    dam[static_cast<std::size_t>(n + 3)] = 100;
    sire[static_cast<std::size_t>(n + 3)] = n + 1;
    cand[static_cast<std::size_t>(n + 3)] = {{n + 1, 0.5}, {n + 2, 0.5}};
  }

  // Ids as written: in a reduced animal model the parents (and candidates)
  // first, then the groups, then the animals without progeny.
  std::vector<int> id(fr.size());
  std::iota(id.begin(), id.end(), 0);
  int nlev = nanim + ngrp;
  if (c.reduced) {
    std::vector<char> parent(fr.size(), 0);
    for (int a = 1; a <= nanim; ++a) {
      parent[static_cast<std::size_t>(sire[static_cast<std::size_t>(a)])] = 1;
      parent[static_cast<std::size_t>(dam[static_cast<std::size_t>(a)])] = 1;
      for (const auto& [x, p] : cand[static_cast<std::size_t>(a)])
        parent[static_cast<std::size_t>(x)] = 1;
    }
    int next = 0;
    for (int a = 1; a <= nanim; ++a)
      if (parent[static_cast<std::size_t>(a)]) id[static_cast<std::size_t>(a)] = ++next;
    for (int g : G) id[static_cast<std::size_t>(g)] = ++next;
    nlev = next;
    for (int a = 1; a <= nanim; ++a)
      if (!parent[static_cast<std::size_t>(a)]) id[static_cast<std::size_t>(a)] = ++next;
  }
  std::vector<int> by_id(fr.size());
  for (std::size_t a = 1; a < fr.size(); ++a)
    by_id[static_cast<std::size_t>(id[a])] = static_cast<int>(a);

  Made made;
  std::ostringstream ped, ms_file, data;
  int nms = 0;
  for (std::size_t line = 1; line < fr.size(); ++line) {
    const int a = by_id[line];
    const auto ua = static_cast<std::size_t>(a);
    const bool group = a > nanim;
    if (!group && static_cast<int>(line) <= nlev) made.animals.push_back(static_cast<int>(line));
    if (group) made.groups.push_back(static_cast<int>(line));
    // Groups have lines where the type reads them (their code, their
    // breeds, or a level of a reduced animal model's effect).
    if (group && ms && !c.reduced) continue;
    if (std::string(c.type) == "add_an_upg") {
      ped << line << " " << (group ? 0 : id[static_cast<std::size_t>(sire[ua])]) << " "
          << (group ? 0 : id[static_cast<std::size_t>(dam[ua])]) << " " << (group ? 4 : 1) << "\n";
      continue;
    }
    const int s = group ? 0 : cand[ua].empty() ? id[static_cast<std::size_t>(sire[ua])] : -1;
    ped << line << " " << (group ? 0 : id[static_cast<std::size_t>(dam[ua])]) << " " << s;
    if (ms) ped << " " << (group ? 1 : 2) << "\n";
    if (mb) ped << " " << fr[ua] << " " << 1 - fr[ua] << "\n";
    if (s < 0) {
      ms_file << cand[ua].size() << "\n";
      for (const auto& [x, p] : cand[ua])
        ms_file << id[static_cast<std::size_t>(x)] << "\n" << p << "\n";
      nms += 1 + 2 * static_cast<int>(cand[ua].size());
    }
  }
  // Records in the order of the animals as written (a reduced animal
  // model needs those without equations in ascending order), each with the
  // noise of its animal whatever the order.
  std::vector<double> noise(fr.size(), 0.0);
  for (double& x : noise) x = draw.next(3.0);
  for (std::size_t line = 1; line < fr.size(); ++line) {
    const int a = by_id[line];
    if (a > n && !(c.split_candidates && a == n + 3)) continue;
    const int cg = 1 + a % ncg, h = 1 + a % 5, b = 1 + a % 4;
    double y = 50 + 2 * (a % ncg) + noise[static_cast<std::size_t>(a)] +
               (c.breeds ? 2 * fr[static_cast<std::size_t>(a)] : 0.0);
    if (c.rnorm) y += (h - 3) * (1 + 0.1 * b);
    const int sex = 1 + (a / 8 + a / 7) % 2;
    if (c.sex) y += sex == 1 ? 3 : -3;
    data << y << " " << cg << " " << line << " " << (c.sex ? sex : 0);
    if (c.breeds) data << " " << fr[static_cast<std::size_t>(a)];
    if (c.rnorm) data << " " << h << " " << b;
    data << "\n";
  }
  const int nrec = n + (c.split_candidates ? 1 : 0);
  std::ofstream(dir / "pedigree.txt") << ped.str();
  std::ofstream(dir / "data.txt") << data.str();
  if (nms > 0) std::ofstream(dir / "msires.txt") << ms_file.str();

  const std::string hold = " 100000000\n";
  std::ostringstream effects, groups;
  int neff = 2;
  effects << "2 " << ncg << " cross n\n3 " << nlev << (c.reduced ? " ram n\n" : " cross n\n");
  const std::string sires = nms > 0
                                ? "MULTIPLE_SIRES:\n4 msires.txt " + std::to_string(nms) + " 0\n"
                                : "MULTIPLE_SIRES:\n0 none 0 0\n";
  groups << "RANDOM_GROUP\n2\nRANDOM_TYPE\n" << c.type << hold << "PEDIGREEFILE:\npedigree.txt ";
  if (ms)
    groups << nanim + (c.reduced ? ngrp : 0) << " " << ngrp << "\n"
           << sires << "(CO)VARIANCES\n1\n";
  if (mb)
    groups << nanim + ngrp << " " << ngrp << " 2\n"
           << sires
           << "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n2 5\n(CO)VARIANCES\n1 0.2\n0.2 1\n";
  if (std::string(c.type) == "add_an_upg") groups << nanim + ngrp << "\n(CO)VARIANCES\n1\n";
  if (c.sex || c.breed_covariable) {
    effects << (c.sex ? "4 2 cross n\n" : "5 1 cov n\n");
    neff = 3;
  }
  if (c.rnorm) {
    effects << "5 5 unk n\n5 4 rno n 6\n";
    neff = 4;
    groups << "RANDOM_GROUP\n3\nRANDOM_TYPE\ndiagonal" << hold
           << "PEDIGREEFILE:\nnone\n(CO)VARIANCES\n4\n"
           << "RANDOM_GROUP\n4\nRANDOM_TYPE\ndiagonal" << hold
           << "PEDIGREEFILE:\nnone\n(CO)VARIANCES\n0.25\n";
  }
  std::ofstream(dir / "params.txt")
      << "MCMC_CHAIN:\n"
      << cycles << " " << cycles / 6 << " 5\nSEED\n5\nRESTART:\nn\nDATAFILE\ndata.txt " << nrec
      << "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n"
      << neff << "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n"
      << effects.str() << "RANDOM_RESIDUAL:\nhomogeneous" << hold
      << "RESIDUAL_PRIOR_(CO)VARIANCES\n2\n"
      << groups.str();
  return made;
}

// Each class: one group held (two with a breed-1 covariable beside groups
// of each breed: that covariable and the breed-1 groups are a second
// shift), its solution 0 with sd 0, and the breeding values (additive
// variance 1, held) with posterior sds below the prior's where the shift
// left them 1.2-1.8 after 2,000 cycles, growing with the chain; the groups'
// solutions near 0 where they wandered to 8-14.  Without candidates the
// animal model with candidate sires is the model with unknown parent
// groups: the same chain.  The reduced animal model has the same posterior
// for the parents and groups.
TEST_F(ReferenceClasses, ParentGroupsBesideContemporaryGroupsAreHeldInEveryClass) {
  const int cycles = 2000;
  const Made upg_made = write_case(dir() / "upg", {"upg", "add_an_upg"}, cycles);
  const Process upg = run_program(dir() / "upg");
  ASSERT_EQ(upg.status, 0) << upg.out << upg.err;
  const Solutions base = solutions_of(dir() / "upg");
  ASSERT_EQ(held_levels(upg.out).size(), 1u);

  // Bounds above what the chains with a reference give and below the
  // drifting ones'; the groups of several breeds also carry the breeds'
  // difference, and their contrasts are wider.
  const struct {
    Layout layout;
    int held;
    double bv_sd, group_sd, group_mean;
    bool same_as_upg, close_to_upg;
  } cases[] = {
      {{"add_an_ms", "add_an_ms"}, 1, 1.0, 1.5, 3.0, true, false},
      {{"add_an_ms with candidate sires", "add_an_ms", true}, 1, 1.0, 1.5, 3.0, false, false},
      {{"reduced animal model", "add_an_ms", false, true}, 1, 1.0, 1.5, 3.0, false, true},
      {{"reduced animal model with candidate sires", "add_an_ms", true, true},
       1,
       1.0,
       1.5,
       3.0,
       false,
       false},
      {{"multiple breeds, breed covariable", "add_an_mb", false, false, true, true},
       2,
       2.0,
       2.5,
       5.0,
       false,
       false},
      {{"multiple breeds with candidate sires", "add_an_mb", true, false, true},
       1,
       2.0,
       2.5,
       5.0,
       false,
       false},
      {{"reaction norm beside add_an_upg", "add_an_upg", false, false, false, false, true},
       1,
       1.0,
       1.5,
       3.0,
       false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.layout.name);
    const fs::path d = dir() / c.layout.name;
    const Made made = write_case(d, c.layout, cycles);
    const Process p = run_program(d);
    const auto held = held_levels(p.out);
    EXPECT_EQ(p.status, 0) << p.out << p.err;
    EXPECT_EQ(held.size(), static_cast<std::size_t>(c.held));
    if (p.status != 0 || held.size() != static_cast<std::size_t>(c.held)) continue;
    const Solutions sol = solutions_of(d);
    for (const auto& h : held) {
      EXPECT_EQ(h.first, 2);
      EXPECT_TRUE(std::count(made.groups.begin(), made.groups.end(), h.second))
          << "held level " << h.second;
      EXPECT_EQ(sol.at(h), std::make_pair(0.0, 0.0));
    }
    double largest = 0;
    for (int a : made.animals) largest = std::max(largest, sol.at({2, a}).second);
    EXPECT_LT(largest, c.bv_sd);
    for (int g : made.groups) {
      EXPECT_LT(std::fabs(sol.at({2, g}).first), c.group_mean) << "group " << g;
      EXPECT_LT(sol.at({2, g}).second, c.group_sd) << "group " << g;
    }
    if (c.same_as_upg)
      for (const auto& [key, v] : base) {
        EXPECT_NEAR(sol.at(key).first, v.first, 1e-6) << key.first << " " << key.second;
        EXPECT_NEAR(sol.at(key).second, v.second, 1e-6) << key.first << " " << key.second;
      }
    if (c.close_to_upg) {
      // The groups in the same order, the last one held in both.
      for (std::size_t k = 0; k < made.groups.size(); ++k) {
        const auto u = base.at({2, upg_made.groups[k]}), r = sol.at({2, made.groups[k]});
        EXPECT_NEAR(r.first, u.first, 0.3 * u.second) << "group " << k + 1;
      }
    }
  }
}

// Groups of two breeds beside a covariable of the breed-1 fraction, with
// one record's fraction nudged: the breed-1 groups against that covariable
// are then a direction that record informs, barely, and the pivots mix it
// into the groups' common shift with the CGs, which stays exact.  The
// common shift still holds a group; the near direction is sampled and the
// warning names the record that departs.
TEST_F(ReferenceClasses, ANearDirectionBesideAnExactOneHidesNeitherOfThem) {
  const struct {
    const char* name;
    int record;
    double nudge;
  } cases[] = {
      {"a founder's fraction", 30, 1e-6},
      {"a crossbred's fraction", 150, 1e-6},
      {"a smaller nudge", 200, 2e-7},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path d = dir() / c.name;
    const Made made = write_case(d, {c.name, "add_an_mb", false, false, true, true}, 600);
    std::string data;
    int line = 0;
    for (const std::string& l : lines_of(read_file(d / "data.txt"))) {
      std::istringstream in(l);
      std::vector<std::string> f(5);
      for (std::string& x : f) in >> x;
      if (++line == c.record) {
        char v[32];
        std::snprintf(v, sizeof v, "%.9g", std::stod(f[4]) + c.nudge);
        f[4] = v;
      }
      data += f[0] + " " + f[1] + " " + f[2] + " " + f[3] + " " + f[4] + "\n";
    }
    std::ofstream(d / "data.txt") << data;
    const Process p = run_program(d);
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    const auto held = held_levels(p.out);
    ASSERT_EQ(held.size(), 1u) << p.out;
    EXPECT_TRUE(std::count(made.groups.begin(), made.groups.end(), held[0].second)) << "held level " << held[0].second;
    EXPECT_EQ(solutions_of(d).at(held[0]), std::make_pair(0.0, 0.0));
    EXPECT_NE(p.out.find("and parent groups, not exactly: record " + std::to_string(c.record) + " departs from it"),
              std::string::npos)
        << p.out;
  }
}

// Two groups that reach the records only through the two candidate sires
// of one animal, one each: averaged over the candidates they are one more
// shift, but which of them the records see depends on the sire drawn.  No
// level held at 0 serves every draw, and the run says so instead of
// sampling.
TEST_F(ReferenceClasses, GroupsThatOnlyOneDrawnSireBringsAreRefused) {
  write_case(dir(), {"split", "add_an_ms", true, false, false, false, false, true}, 200);
  const Process p = run_program(dir());
  EXPECT_EQ(p.status, 1) << p.err;
  EXPECT_NE(p.out.find(" The parent groups of effect 2 and the fixed levels beside them have a "
                       "common shift that no"
                       " record informs while the candidate sires are averaged, but it depends on "
                       "which candidate"
                       " sire of animal 243 is drawn"),
            std::string::npos)
      << p.out;
  EXPECT_EQ(p.out.find("Solution after"), std::string::npos);
}

// Overlapping fixed CGs and sexes beside an animal model with candidate
// sires and groups, the sexes' equations after the animals': the sex of
// more records and the best-informed group are held.  A restarted chain builds its first cycle
// with the stored sires alone, and the animals' rows gain elements in the
// cycles after as other candidates are drawn, which moves the held rows and
// columns within the equations' copy: they must be found again in each new
// layout, or the chain goes elsewhere than the one run without a stop.
TEST_F(ReferenceClasses, HeldRowsFollowTheLayoutThatDrawnSiresChange) {
  Layout sexes{"sexes", "add_an_ms", true};
  sexes.sex = true;
  const std::vector<std::pair<int, int>> held{{2, 243}, {3, 1}};
  write_case(dir() / "whole", sexes, 1500);
  const Process whole = run_program(dir() / "whole");
  ASSERT_EQ(whole.status, 0) << whole.out << whole.err;
  ASSERT_EQ(held_levels(whole.out), held);
  write_case(dir() / "stopped", sexes, 1500);
  set_keyword_value(dir() / "stopped" / "params.txt", "MCMC_CHAIN:", "500 250 5");
  ASSERT_EQ(run_program(dir() / "stopped").status, 0);
  set_keyword_value(dir() / "stopped" / "params.txt", "MCMC_CHAIN:", "1500 250 5");
  set_keyword_value(dir() / "stopped" / "params.txt", "RESTART:", "y 501");
  const Process rest = run_program(dir() / "stopped");
  ASSERT_EQ(rest.status, 0) << rest.out << rest.err;
  EXPECT_EQ(held_levels(rest.out), held);
  // The same draws; the sums come back from the store to its last digits.
  const Solutions a = solutions_of(dir() / "stopped"), b = solutions_of(dir() / "whole");
  ASSERT_EQ(a.size(), b.size());
  for (const auto& [key, v] : b) {
    EXPECT_NEAR(a.at(key).first, v.first, 1e-5) << key.first << " " << key.second;
    EXPECT_NEAR(a.at(key).second, v.second, 1e-5) << key.first << " " << key.second;
  }
}

}  // namespace
