// The flat-prior levels of an additive group and the shares with which they
// reach their descendants, worked by hand.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/flat_reach.hpp"

namespace {

model::Model& M = model::m;

struct Line {
  int id, p1, p2, code;
};

// One effect of nlev levels in a group of the given type and pedigree
// (lines as given: the reader's founder lines are not added).
void one_group(model::State& s, int nlev, model::RandomType type, const std::vector<Line>& ped) {
  M = model::Model{};
  M.ntrait = 1;
  M.neff = 1;
  M.nlev.resize(1);
  M.nlev(1) = nlev;
  M.randomtype.resize(1);
  M.randomtype(1) = type;
  M.randomnumb.resize(1);
  M.randomnumb(1) = 1;
  M.lenped.resize(1);
  M.lenped(1) = static_cast<int>(ped.size());
  s.PED.resize(1, static_cast<int>(ped.size()), 3);
  s.PED_CODE.resize(1, static_cast<int>(ped.size()));
  for (std::size_t i = 0; i < ped.size(); ++i) {
    const int line = static_cast<int>(i) + 1;
    s.PED(1, line, 1) = ped[i].id;
    s.PED(1, line, 2) = ped[i].p1;
    s.PED(1, line, 3) = ped[i].p2;
    s.PED_CODE(1, line) = ped[i].code;
  }
}

using Reach = std::vector<std::pair<int, double>>;

// Each case: a pedigree, the flat levels, and the reach of one of them
// (itself first, then its descendants parents first).
TEST(FlatReach, LevelsAndShares) {
  using RT = model::RandomType;
  const struct {
    const char* name;
    RT type;
    int nlev;
    std::vector<Line> ped;
    std::vector<int> flat;
    int from;
    Reach reach;
  } cases[] = {
      // Groups 6 and 7 (code 4, no weight).  Animal 1 of parents 6 and 6,
      // 2 of 6 and 7, 3 of 1 and 2: 1/2 + 1/2, 1/2, then (1 + 1/2)/2.
      {"parent groups",
       RT::add_an_upg,
       7,
       {{3, 1, 2, 1}, {1, 6, 6, 1}, {2, 6, 7, 1}, {4, 0, 0, 3}, {6, 0, 0, 4}, {7, 0, 0, 4}},
       {5, 6, 7},  // 5 has no line
       6,
       {{6, 1.0}, {1, 1.0}, {2, 0.5}, {3, 0.75}}},
      // A line of code 0 has no weight.
      {"code 0", RT::add_an_upgi, 3, {{1, 3, 0, 1000}, {2, 1, 0, 1000}, {3, 0, 0, 0}}, {3}, 3,
       {{3, 1.0}, {1, 0.5}, {2, 0.25}}},
      // Sire model: sire 1 of sire 4, sire 2 of maternal grandsire 4, sire 3
      // of sire 1 and maternal grandsire 2: 1/2, 1/4, then 1/4 + 1/16.
      {"sire model",
       RT::add_sire,
       4,
       {{1, 4, 0, 0}, {2, 0, 4, 0}, {3, 1, 2, 0}},
       {4},
       4,
       {{4, 1.0}, {1, 0.5}, {2, 0.25}, {3, 0.3125}}},
      {"beyond the ids", RT::add_animal, 2, {{1, 0, 0, 0}}, {2}, 2, {{2, 1.0}}},
  };
  for (const auto& c : cases) {
    model::State s;
    one_group(s, c.nlev, c.type, c.ped);
    const std::vector<sampler::FlatReach> all = sampler::flat_reaches(s);
    ASSERT_EQ(all.size(), 1u) << c.name;
    const sampler::FlatReach& r = all[0];
    EXPECT_EQ(r.group(), 1) << c.name;
    std::vector<int> flat;
    for (int l = 1; l <= c.nlev + 1; ++l)
      if (r.flat(l)) flat.push_back(l);
    std::vector<int> want = c.flat;
    want.push_back(c.nlev + 1);  // beyond every level: flat
    EXPECT_EQ(flat, want) << c.name;
    // Parents before offspring.
    std::vector<int> at(static_cast<std::size_t>(c.nlev) + 1, -1);
    for (std::size_t k = 0; k < r.order().size(); ++k) at[static_cast<std::size_t>(r.order()[k])] = static_cast<int>(k);
    for (int a = 1; a <= r.ids(); ++a)
      for (int p : r.parents(a)) {
        if (p > 0) {
          EXPECT_LT(at[static_cast<std::size_t>(p)], at[static_cast<std::size_t>(a)]) << c.name << " " << a;
        }
      }
    Reach got;
    r.reach(c.from, got);
    EXPECT_EQ(got, c.reach) << c.name;
    r.reach(c.from, got);  // the scratch is left clean
    EXPECT_EQ(got, c.reach) << c.name;
  }
}

// An animal model with candidate sires: animals 1..5, groups 6 and 7.
// Animal 4 (dam 3) has its sire drawn among 1 (0.6), 2 (0.2) and 0 (0.2,
// never drawn): shares 0.5 * 0.75 and 0.5 * 0.25; animal 5 among 2 (0.5)
// and 4 (0.3): 0.5 * 0.625 and 0.5 * 0.375.
TEST(FlatReach, CandidateSires) {
  model::State s;
  one_group(s, 7, model::RandomType::add_an_ms, {{1, 6, 6, 0}, {2, 7, 7, 0}, {3, 7, 1, 0}, {4, 3, -1, 0}, {5, 0, -1, 0}});
  M.effecttype.resize(1);
  M.effecttype(1) = model::EffectType::cro;
  M.ngrp.resize(1);
  M.ngrp(1) = 2;
  const std::vector<double> ms{3, 1, 0.6, 2, 0.2, 0, 0.2, 2, 2, 0.5, 4, 0.3};
  s.MS.resize(static_cast<long>(ms.size()));
  for (std::size_t k = 0; k < ms.size(); ++k) s.MS(static_cast<long>(k) + 1) = ms[k];
  s.P_MS.resize(5);
  s.MS_STAT.resize(5);
  s.P_MS(4) = 1;
  s.P_MS(5) = 8;
  s.MS_STAT(4) = s.MS_STAT(5) = 1;
  const std::vector<sampler::FlatReach> all = sampler::every_flat_reach(s);
  ASSERT_EQ(all.size(), 1u);
  const sampler::FlatReach& r = all[0];
  for (int l = 1; l <= 8; ++l) EXPECT_EQ(r.flat(l), l >= 6) << l;
  EXPECT_TRUE(r.drawn(4));
  EXPECT_FALSE(r.drawn(3));
  const auto c5 = r.candidates(5);
  ASSERT_EQ(c5.size(), 2u);
  EXPECT_EQ(c5[0].first, 2);
  EXPECT_NEAR(c5[0].second, 0.3125, 1e-15);
  EXPECT_EQ(c5[1].first, 4);
  EXPECT_NEAR(c5[1].second, 0.1875, 1e-15);
  Reach got;
  r.reach(6, got);
  ASSERT_EQ(got.size(), 5u);
  const Reach want{{6, 1.0}, {1, 1.0}, {3, 0.5}, {4, 0.625}, {5, 0.1171875}};
  for (std::size_t k = 0; k < want.size(); ++k) {
    EXPECT_EQ(got[k].first, want[k].first) << k;
    EXPECT_NEAR(got[k].second, want[k].second, 1e-15) << k;
  }
  // Both groups up by one: every animal up by one, whichever sire is drawn
  // (4 through its own candidates).  Group 7 down instead: candidate 2 goes
  // down with it, 1 up.
  EXPECT_EQ(r.sire_dependence({{6, 1.0}, {7, 1.0}}, 1e-8), 0);
  EXPECT_EQ(r.sire_dependence({{6, 1.0}, {7, -1.0}}, 1e-8), 4);
  EXPECT_EQ(r.sire_dependence({{6, 1.0}}, 1e-8), 4);

  // A candidate of probability 0 is never drawn (the file's probabilities
  // are kept): animal 3 of groups 4 and 5 through 1 alone.
  model::State z;
  one_group(z, 5, model::RandomType::add_an_ms, {{1, 4, 4, 0}, {2, 5, 5, 0}, {3, 0, -1, 0}});
  M.effecttype.resize(1);
  M.effecttype(1) = model::EffectType::cro;
  M.ngrp.resize(1);
  M.ngrp(1) = 2;
  z.MS.resize(5);
  for (int k = 1; k <= 5; ++k) z.MS(k) = std::vector<double>{2, 1, 1.0, 2, 0.0}[static_cast<std::size_t>(k - 1)];
  z.P_MS.resize(3);
  z.MS_STAT.resize(3);
  z.P_MS(3) = z.MS_STAT(3) = 1;
  const sampler::FlatReach only = sampler::every_flat_reach(z).at(0);
  EXPECT_EQ(only.sire_dependence({{4, 1.0}, {5, -1.0}}, 1e-8), 0);
  only.reach(5, got);
  EXPECT_EQ(got, (Reach{{5, 1.0}, {2, 1.0}}));
}

}  // namespace
