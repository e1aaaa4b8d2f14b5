// Herds by seasons, both fixed and structural: whether a block of levels
// tied to the rest by few records has factors with finite posterior means,
// held to the exact tail slopes of the log posterior along the block's
// direction (block herds times e^t, block seasons times e^-t; locations
// and r integrated out), and through the whole program: refused where a
// drawn factor has no finite mean, run where all have.  Also the reference
// level, which must be informed by its own records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"
#include "sampler/structural_pairs.hpp"

namespace {

using namespace chaintest;

struct Cell {
  int herd, season, n;
};

// Records "y herd season" of the cells in order; herd 0 is none.
struct Layout {
  int herds = 0, seasons = 0;
  std::vector<Cell> cells;
  std::vector<int> block_herds, block_seasons;
  std::vector<int> herd, season;
  std::vector<int> animal;  // of each record, data column 4, when not empty
  std::vector<double> y;
  void make(unsigned long long seed) {
    Sixteenths noise(seed);
    herd.clear();
    season.clear();
    y.clear();
    for (const Cell& c : cells)
      for (int i = 0; i < c.n; ++i) {
        herd.push_back(c.herd);
        season.push_back(c.season);
        y.push_back(10 + 0.25 * c.herd + 0.5 * c.season + noise.next(1.5));
      }
  }
  bool in_block(const std::vector<int>& b, int l) const { return std::find(b.begin(), b.end(), l) != b.end(); }
  // +1 where the block's direction scales a record's variance by e^t, -1
  // by e^-t, 0 where it keeps it.
  int way(std::size_t i) const {
    const bool h = in_block(block_herds, herd[i]), s = in_block(block_seasons, season[i]);
    return h == s ? 0 : h ? 1 : -1;
  }
};

// Log posterior along the block's direction at t, flat priors on the herd
// and season means and on the factors, r with prior 1/r, all but t
// integrated out: J t - 1/2 sum ln d - 1/2 ln det(X'D^-1 X) - (N-p)/2 ln S.
// Householder QR of the weighted rows, heaviest first, keeps the light
// rows' share where the weights span e^36.
double log_posterior(const Layout& L, double t) {
  const std::size_t n = L.y.size();
  const int p = L.herds + L.seasons - 1, nc = p + 1;
  std::vector<std::pair<double, std::size_t>> order;
  for (std::size_t i = 0; i < n; ++i) order.push_back({-L.way(i) * t, i});  // ln of the weight 1/d
  std::sort(order.begin(), order.end(), [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<std::vector<double>> a(n, std::vector<double>(static_cast<std::size_t>(nc), 0.0));
  double log_d = 0;
  for (std::size_t r = 0; r < n; ++r) {
    const std::size_t i = order[r].second;
    const double sw = std::exp(order[r].first / 2);
    log_d -= order[r].first;
    if (L.herd[i] > 0) a[r][static_cast<std::size_t>(L.herd[i] - 1)] = sw;
    if (L.season[i] < L.seasons) a[r][static_cast<std::size_t>(L.herds + L.season[i] - 1)] = sw;
    a[r][static_cast<std::size_t>(p)] = sw * L.y[i];
  }
  // A column that nothing is left of after those before it (a level that
  // only absorbed records tie to the rest) is dropped, and p with it.
  double log_det = 0;
  int rank = 0;
  for (int j = 0; j < nc; ++j) {
    const auto uj = static_cast<std::size_t>(j), k = static_cast<std::size_t>(rank);
    double norm = 0, whole = 0;
    for (std::size_t r = 0; r < n; ++r) whole += a[r][uj] * a[r][uj];
    for (std::size_t r = k; r < n; ++r) norm += a[r][uj] * a[r][uj];
    norm = std::sqrt(norm);
    if (j == p) {
      const double J = static_cast<double>(L.block_herds.size()) - static_cast<double>(L.block_seasons.size());
      return J * t - 0.5 * log_d - 0.5 * log_det - 0.5 * (static_cast<double>(n) - rank) * std::log(norm * norm);
    }
    if (norm <= 1e-9 * std::sqrt(whole)) continue;
    log_det += 2 * std::log(norm);
    ++rank;
    const double alpha = a[k][uj] > 0 ? -norm : norm;
    std::vector<double> v(n, 0.0);
    for (std::size_t r = k; r < n; ++r) v[r] = a[r][uj];
    v[k] -= alpha;
    double vv = 0;
    for (std::size_t r = k; r < n; ++r) vv += v[r] * v[r];
    for (std::size_t c = uj; c < static_cast<std::size_t>(nc); ++c) {
      double dot = 0;
      for (std::size_t r = k; r < n; ++r) dot += v[r] * a[r][c];
      for (std::size_t r = k; r < n; ++r) a[r][c] -= 2 * dot / vv * v[r];
    }
  }
  return 0;
}

// Tail slopes at +inf and -inf, from t = 12 and 18.
std::pair<double, double> exact_slopes(const Layout& L) {
  return {(log_posterior(L, 18) - log_posterior(L, 12)) / 6, (log_posterior(L, -12) - log_posterior(L, -18)) / 6};
}

// The check's own slopes of the block, every level of it drawn.
sampler::SetSlopes checked_slopes(const Layout& L) {
  sampler::SetLinks links;
  links.na = L.herds;
  sampler::RecordRows rows;
  rows.flat_columns = L.herds + L.seasons;
  rows.flat_first.assign(1, 0);
  for (std::size_t i = 0; i < L.y.size(); ++i) {
    const bool h = L.in_block(L.block_herds, L.herd[i]), s = L.in_block(L.block_seasons, L.season[i]);
    links.ra.push_back(h ? L.herd[i] - 1 : -1);
    links.rb.push_back(s ? L.herds + L.season[i] - 1 : -1);
    if (L.herd[i] > 0) rows.flat.push_back({L.herd[i] - 1, 1.0});
    rows.flat.push_back({L.herds + L.season[i] - 1, 1.0});
    rows.flat_first.push_back(rows.flat.size());
  }
  rows.all = rows.flat;
  rows.all_first = rows.flat_first;
  rows.y = L.y;
  std::vector<char> in(static_cast<std::size_t>(rows.flat_columns), 0);
  for (int h : L.block_herds) in[static_cast<std::size_t>(h - 1)] = 1;
  for (int s : L.block_seasons) in[static_cast<std::size_t>(L.herds + s - 1)] = 1;
  return sampler::set_slopes(links, in, rows);
}

class StructuralSlopes : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "program not found";
  }
  Process run(const Layout& L, int structural, int cycles, const std::string& tail = "") {
    std::ostringstream data;
    for (std::size_t i = 0; i < L.y.size(); ++i) {
      data << L.y[i] << " " << L.herd[i] << " " << L.season[i];
      if (!L.animal.empty()) data << " " << L.animal[i];
      data << "\n";
    }
    std::ofstream(dir() / "data.txt") << data.str();
    std::ostringstream o;
    o << "MCMC_CHAIN:\n"
      << cycles << " " << cycles / 4 << " 10\nSEED\n5\nRESTART:\nn\nDATAFILE\ndata.txt " << L.y.size()
      << "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n"
      << (L.seasons > 0 ? 2 : 1) + (L.animal.empty() ? 0 : 1) << "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n2 "
      << L.herds << " cross n\n";
    if (L.seasons > 0) o << "3 " << L.seasons << " cross n\n";
    if (!L.animal.empty()) o << "4 " << *std::max_element(L.animal.begin(), L.animal.end()) << " cross n\n";
    o << "RANDOM_RESIDUAL:\nstructural 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\n"
         "NUMBER_OF_STRUCTURAL_EFFECTS\n"
      << structural << "\nSTRUCTURAL_EFFECTS:\n";
    for (int k = 1; k <= structural; ++k) o << k << " y\n";
    o << "RESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n" << tail;
    std::ofstream(dir() / "params.txt") << o.str();
    return run_program(dir());
  }
  // Posterior means of the factors in "structural_r", and the mean of r in
  // "varcomp".
  std::vector<double> factor_means() {
    std::vector<double> v;
    for (const std::string& line : lines_of(read_file(dir() / "structural_r"))) {
      std::istringstream in(line);
      int t = 0, ef = 0, lev = 0;
      double mean = 0;
      if (in >> t >> ef >> lev >> mean) v.push_back(mean);
    }
    return v;
  }
};

// An animal for every per_animal records of a cell, in cell order (none
// for 0).
void give_animals(Layout& L, int per_animal) {
  int id = 0;
  for (const Cell& cell : L.cells)
    for (int k = 0; per_animal > 0 && k < cell.n; ++k) L.animal.push_back(k % per_animal == 0 ? ++id : id);
}

// The block of herds 1 2 and seasons 1 2 (cells of block_n records) beside
// herds 3 to 3+rh-1 and seasons 3 to 3+rs-1 (cells of 3), then the links;
// the last herd and season are the references.
Layout block_beside(int rh, int rs, const std::vector<Cell>& links, int extra_herds = 0, int block_n = 6) {
  Layout L;
  L.herds = 2 + extra_herds + rh;
  L.seasons = 2 + rs;
  for (int h = 1; h <= 2; ++h)
    for (int s = 1; s <= 2; ++s) L.cells.push_back({h, s, block_n});
  for (int h = 3 + extra_herds; h <= L.herds; ++h)
    for (int s = 3; s <= L.seasons; ++s) L.cells.push_back({h, s, 3});
  for (const Cell& c : links) L.cells.push_back(c);
  L.block_herds = {1, 2};
  L.block_seasons = {1, 2};
  return L;
}

constexpr double held = std::numeric_limits<double>::infinity();

// The check's slopes against the exact ones over small random layouts (6
// herds by 4 seasons, cells of 0 to 3 records, many of them single, so
// that links are repeated and closed in cycles, and a seventh herd of one
// record in the block's first season, which its mean takes), each with a
// random block of 1 or 2 herds and 1 or 2 seasons.  Where the check finds a
// side held, the exact slope there leaves a finite mean with room to spare.
TEST(StructuralSlopeRule, MatchesTheExactSlopesOnRandomLayouts) {
  int held_seen = 0, absorbed_seen = 0;
  for (unsigned long long seed = 1; seed <= 60; ++seed) {
    Sixteenths pick(seed);
    Layout L;
    L.herds = 7;
    L.seasons = 4;
    for (int h = 1; h <= 6; ++h)
      for (int s = 1; s <= L.seasons; ++s) {
        const int n = static_cast<int>(std::fabs(pick.next(3)) * 16) % 7 - 3;  // -3..3
        if (n > 0) L.cells.push_back({h, s, n});
      }
    // Every level has a record, and herd 6 ties every season.
    for (int s = 1; s <= L.seasons; ++s) L.cells.push_back({6, s, 2});
    for (int h = 1; h <= 5; ++h) L.cells.push_back({h, 1 + h % L.seasons, 1});
    L.block_herds = {1 + static_cast<int>(seed % 3)};
    if (seed % 2 == 0) L.block_herds.push_back(4);
    L.block_seasons = {1 + static_cast<int>(seed % 4)};
    if (seed % 3 == 0) L.block_seasons.push_back(1 + static_cast<int>((seed / 3) % 4 + 1) % L.seasons);
    L.cells.push_back({7, L.block_seasons[0], 1});
    std::sort(L.block_seasons.begin(), L.block_seasons.end());
    L.block_seasons.erase(std::unique(L.block_seasons.begin(), L.block_seasons.end()), L.block_seasons.end());
    L.make(seed);
    const auto [up, down] = exact_slopes(L);
    const sampler::SetSlopes s = checked_slopes(L);
    const double J = static_cast<double>(L.block_herds.size()) - static_cast<double>(L.block_seasons.size());
    if (s.held_up) {
      EXPECT_LT(up, -1.5) << "seed " << seed;
    } else {
      EXPECT_NEAR(s.up, up, 0.02) << "seed " << seed;
    }
    if (s.held_down) {
      EXPECT_GT(down, 1.5) << "seed " << seed;
    } else {
      EXPECT_NEAR(s.down, down, 0.02) << "seed " << seed;
    }
    held_seen += s.held_up + s.held_down;
    int ups = 0, downs = 0;
    for (std::size_t i = 0; i < L.y.size(); ++i) (L.way(i) == 1 ? ups : downs) += L.way(i) != 0;
    absorbed_seen += (!s.held_up && s.up > J - ups / 2.0) || (!s.held_down && s.down < J + downs / 2.0);
  }
  // The layouts reach both kinds of binding.
  EXPECT_GT(held_seen, 10);
  EXPECT_GT(absorbed_seen, 3);
}

// One row per layout: the slopes that the exact log posterior shows (held:
// beyond 5 in magnitude, a dependent set of records), and whether the
// program refuses it.  Links "up" carry a block herd and an outside
// season (their variance rises with e^t), "down" the other way.
TEST_F(StructuralSlopes, BlocksTiedByFewRecordsFollowTheirTailSlopes) {
  const std::vector<Cell> up3{{1, 3, 1}, {2, 4, 1}, {1, 5, 1}}, down3{{3, 1, 1}, {4, 2, 1}, {5, 1, 1}};
  auto join = [](std::vector<Cell> a, const std::vector<Cell>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  // Two blocks tied to each other by 3 single records each way, and to the
  // rest by the given links (herds 3 4 and seasons 3 4 the second block).
  auto two_blocks = [](const std::vector<Cell>& to_rest) {
    Layout L = block_beside(9, 4, {}, 0);
    L.cells.clear();
    for (int h = 1; h <= 4; ++h)
      for (int s = 1; s <= 4; ++s)
        if ((h <= 2) == (s <= 2)) L.cells.push_back({h, s, 6});
    for (int h = 5; h <= L.herds; ++h)
      for (int s = 5; s <= L.seasons; ++s) L.cells.push_back({h, s, 3});
    for (const Cell& c : std::vector<Cell>{{1, 3, 1}, {2, 4, 1}, {1, 4, 1}, {3, 1, 1}, {4, 2, 1}, {3, 2, 1}})
      L.cells.push_back(c);
    for (const Cell& c : to_rest) L.cells.push_back(c);
    L.block_herds = {1, 2, 3, 4};
    L.block_seasons = {1, 2, 3, 4};
    return L;
  };
  // Herds 3 to 7 with one record each, in a block season.
  std::vector<Cell> singles;
  for (int h = 3; h <= 7; ++h) singles.push_back({h, 1 + h % 2, 1});
  const struct {
    const char* name;
    Layout layout;
    double up, down;  // exact slopes at +inf and -inf
    bool refused;
  } rows[] = {
      {"1 linking record", block_beside(9, 4, {{1, 3, 1}}), 0, 0, true},
      {"2 single records", block_beside(9, 4, {{1, 3, 1}, {3, 1, 1}}), -0.5, 0.5, true},
      {"4 single records", block_beside(9, 4, {{1, 3, 1}, {2, 4, 1}, {3, 1, 1}, {4, 2, 1}}), -1, 1, true},
      {"3 up, 2 down", block_beside(9, 4, join(up3, {{3, 1, 1}, {4, 2, 1}})), -1.5, 1, true},
      {"3 up, 3 down", block_beside(9, 4, join(up3, down3)), -1.5, 1.5, false},
      {"10: 5 up closing a cycle, 5 down",
       block_beside(9, 4, join({{1, 3, 1}, {1, 4, 1}, {2, 3, 1}, {2, 4, 1}, {1, 5, 1}}, join(down3, {{6, 2, 1}, {7, 1, 1}}))),
       -2.5, held, false},
      {"2 in one cell each way", block_beside(9, 4, {{1, 3, 2}, {3, 1, 2}}), -held, held, false},
      {"2 + 2 in one cell each way, 11 x 6", block_beside(11, 6, {{1, 3, 2}, {3, 1, 2}}), -held, held, false},
      {"5 links, each the only record of its herd", block_beside(9, 4, singles, 5), 0, 0, true},
      {"two blocks, to the rest by 1", two_blocks({{1, 5, 1}}), 0, 0, true},
      {"two blocks, to the rest by 2", two_blocks({{1, 5, 1}, {5, 1, 1}}), -0.5, 0.5, true},
      // Up records alone, in one cell: the locations take one of them back
      // (the block's own shift), and the block's cells of 4 join it to the
      // rest as one block of cells of 3, so only the cut around a level
      // finds it.
      {"3 up in one cell, block cells of 4", block_beside(9, 4, {{1, 3, 3}}, 0, 4), -1, held, true},
      {"4 up in one cell, block cells of 4", block_beside(9, 4, {{1, 3, 4}}, 0, 4), -1.5, held, false},
  };
  for (const auto& row : rows) {
    Layout L = row.layout;
    L.make(7);
    const auto [up, down] = exact_slopes(L);
    if (std::isinf(row.up)) {
      EXPECT_LT(up, -5) << row.name;
    } else {
      EXPECT_NEAR(up, row.up, 0.02) << row.name;
    }
    if (std::isinf(row.down)) {
      EXPECT_GT(down, 5) << row.name;
    } else {
      EXPECT_NEAR(down, row.down, 0.02) << row.name;
    }
    // The check's slopes are the exact ones.
    const sampler::SetSlopes s = checked_slopes(L);
    EXPECT_EQ(s.held_up, std::isinf(row.up)) << row.name;
    EXPECT_EQ(s.held_down, std::isinf(row.down)) << row.name;
    if (!s.held_up) {
      EXPECT_NEAR(s.up, up, 0.02) << row.name;
    }
    if (!s.held_down) {
      EXPECT_NEAR(s.down, down, 0.02) << row.name;
    }

    const Process p = run(L, 2, row.refused ? 20 : 400);
    const bool refused = p.out.find("cannot both have factors per level") != std::string::npos;
    EXPECT_EQ(refused, row.refused) << row.name << "\n" << p.out << p.err;
    if (row.refused) {
      EXPECT_EQ(p.status, 1) << row.name;
      continue;
    }
    ASSERT_EQ(p.status, 0) << row.name << "\n" << p.out << p.err;
    // A mean without a finite variance (slopes between -2 and -1) may
    // stray; a drift to 1e30 may not.
    for (double f : factor_means()) EXPECT_LT(f, 1000) << row.name;
  }
}

// Herds random, their factors under the alpha prior, which holds them
// both ways: a block tied by 3 records (2 up, 1 down) runs, though with
// fixed herds it has slopes -1 and +0.5 and is refused.
TEST_F(StructuralSlopes, AlphaPriorHoldsItsSide) {
  const std::string group = "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1.0\n";
  for (bool random : {false, true}) {
    Layout L = block_beside(9, 4, {{1, 3, 1}, {2, 4, 1}, {3, 1, 1}});
    L.make(7);
    const sampler::SetSlopes s = checked_slopes(L);
    EXPECT_EQ(s.up, -1);
    EXPECT_EQ(s.down, 0.5);
    const Process p = run(L, 2, random ? 400 : 20, random ? group : "");
    const bool refused = p.out.find("cannot both have factors per level") != std::string::npos;
    EXPECT_EQ(refused, !random) << p.out << p.err;
    if (!random) continue;
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    for (double f : factor_means()) EXPECT_LT(f, 50);
  }
}



// Mean of r in "varcomp".
double r_mean(const std::string& varcomp) {
  const std::vector<std::string> l = lines_of(varcomp);
  for (std::size_t i = 0; i + 1 < l.size(); ++i)
    if (l[i].find("Average residuals (R)") != std::string::npos) return std::stod(l[i + 1]);
  ADD_FAILURE() << "no mean of r";
  return 0;
}

// Herds 1 to 4 of 12 records and later herds of the given records, one
// structural effect (fixed, its own mean counting: a factor needs 6).  A
// reference that its own records cannot inform pinned nothing: with one
// record in the last herd, taken by its mean, r fell to 1e-31 and the
// factors rose to 1e31 within 1,000 cycles.  The reference is the last herd
// that could be drawn, said at start-up; it and the herds after it keep 1.
TEST_F(StructuralSlopes, ReferenceIsTheLastLevelItsRecordsCouldDraw) {
  const struct {
    std::vector<int> later;  // records of herds 5, 6, ...
    int reference;
    std::string said;
  } cases[] = {
      {{1}, 4,
       " Structural effect 1 level 5 has 1 record, too few to inform a factor of its own: its reference, whose"
       " factor stays 1, is level 4, the last level with records enough for its factor to be drawn\n"},
      {{1, 0}, 4,
       " Structural effect 1 levels 5 to 6 have too few records to inform factors of their own: its reference,"
       " whose factor stays 1, is level 4, the last level with records enough for its factor to be drawn\n"},
      {{5}, 4,
       " Structural effect 1 level 5 has 5 records, too few to inform a factor of its own: its reference, whose"
       " factor stays 1, is level 4, the last level with records enough for its factor to be drawn\n"},
      {{6}, 5, ""},
      {{12, 0}, 5,
       " Structural effect 1 has no records in level 6: its reference, whose factor stays 1, is level 5, the last"
       " level with records\n"},
  };
  for (const auto& c : cases) {
    Layout L;
    L.herds = 4 + static_cast<int>(c.later.size());
    for (int h = 1; h <= 4; ++h) L.cells.push_back({h, 1, 12});
    for (std::size_t k = 0; k < c.later.size(); ++k) L.cells.push_back({5 + static_cast<int>(k), 1, c.later[k]});
    L.make(3);
    // One effect: the season column is read by nothing.
    const Process p = run(L, 1, 1000);
    const std::string name = std::to_string(c.later[0]) + " records in herd 5";
    ASSERT_EQ(p.status, 0) << name << "\n" << p.out << p.err;
    if (c.said.empty())
      EXPECT_EQ(p.out.find("its reference"), std::string::npos) << name << "\n" << p.out;
    else
      EXPECT_NE(p.out.find(c.said), std::string::npos) << name << "\n" << p.out;
    const std::vector<double> f = factor_means();
    ASSERT_EQ(f.size(), static_cast<std::size_t>(L.herds)) << name;
    for (int h = 1; h <= L.herds; ++h) {
      if (h >= c.reference)
        EXPECT_EQ(f[static_cast<std::size_t>(h - 1)], 1.0) << name << " herd " << h;
      else
        EXPECT_LT(f[static_cast<std::size_t>(h - 1)], 20.0) << name << " herd " << h;
    }
    EXPECT_GT(r_mean(read_file(dir() / "varcomp")), 0.05) << name;
  }
}

// An animal effect (random, diagonal) on every record keeps records in one
// cell from binding: its variance stays when theirs shrinks, so they can
// follow their own values.  The block tied by 2 records in one cell each
// way runs without it (unbounded falls) and with records in pairs on one
// animal within each cell (the difference of a pair still binds), and is
// refused with an animal per record (falls of 1 each way).
TEST_F(StructuralSlopes, AnAnimalPerRecordKeepsRepeatedCellsFromBinding) {
  const std::string group = "RANDOM_GROUP\n3\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n0.5\n";
  const struct {
    const char* name;
    int per_animal;  // records of an animal within a cell (0: no animal effect)
    bool refused;
  } cases[] = {{"no animal", 0, false}, {"an animal per record", 1, true}, {"animals of 2 records", 2, false}};
  for (const auto& c : cases) {
    Layout L = block_beside(9, 4, {{1, 3, 2}, {3, 1, 2}});
    L.make(7);
    give_animals(L, c.per_animal);
    const Process p = run(L, 2, c.refused ? 20 : 400, c.per_animal > 0 ? group : "");
    const bool refused = p.out.find("cannot both have factors per level") != std::string::npos;
    EXPECT_EQ(refused, c.refused) << c.name << "\n" << p.out << p.err;
    if (c.refused) {
      EXPECT_NE(p.out.find("the log posterior falls by 1 as those factors of effect 1 grow and falls by 1 as those"),
                std::string::npos)
          << c.name << "\n" << p.out;
      continue;
    }
    ASSERT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    for (double f : factor_means()) EXPECT_LT(f, 1000) << c.name;
  }
}

// A field-like herd by season layout: 60 herds in 8 seasons, each herd in
// one or two of them, cells of 1 to 4 records, so that many herds have too
// few records to be drawn and the others are tied to the rest by a few
// single records each, seasons linked through the herds seen in two.
// Neither refused nor drifting.
TEST_F(StructuralSlopes, FieldLikeHerdsBySeasonsRunWithoutDrift) {
  Layout L;
  L.herds = 60;
  L.seasons = 8;
  for (int h = 1; h <= L.herds; ++h) {
    const int s1 = 1 + h % 8, s2 = 1 + (h + 1 + h % 3) % 8;
    L.cells.push_back({h, s1, 1 + (h * 7 + s1) % 4});
    if (h % 3 != 0 && s2 != s1) L.cells.push_back({h, s2, 1 + (h * 5 + s2) % 4});
  }
  L.make(5);
  const Process p = run(L, 2, 600);
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  EXPECT_EQ(p.out.find("cannot both"), std::string::npos) << p.out;
  EXPECT_NE(p.out.find("its factor is not sampled"), std::string::npos) << p.out;
  // Levels of 6 or 7 records have a mean but no finite variance: single
  // means may stray, a drift to 1e30 may not.
  std::vector<double> f = factor_means();
  for (double x : f) EXPECT_LT(x, 1e4) << p.out;
  std::nth_element(f.begin(), f.begin() + static_cast<std::ptrdiff_t>(f.size() / 2), f.end());
  EXPECT_LT(f[f.size() / 2], 10);
  EXPECT_GT(r_mean(read_file(dir() / "varcomp")), 0.01);
}



// Herds random (their factors under the alpha prior) by fixed seasons, the
// block tied by 3 records each way.  Lowering r while the drawn season
// factors rise keeps the variance of their records and shrinks that of the
// reference season's: where an animal of one record fits each of those
// exactly, nothing holds r, which fell to 1e-24 with seasons' factors near
// 1e29.  Refused then; animals of 2 records in the reference season, whose
// differences stay exact, hold it.
TEST_F(StructuralSlopes, RecordsOfUndrawnLevelsFittedExactlyDoNotHoldR) {
  const std::string herds = "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1.0\n";
  const std::string animals = "RANDOM_GROUP\n3\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n0.5\n";
  const struct {
    const char* name;
    int per_animal;  // records of an animal within a cell (0: no animal effect)
    bool refused;
  } cases[] = {{"no animal", 0, false}, {"an animal per record", 1, true}, {"animals of 2 records", 2, false}};
  for (const auto& c : cases) {
    Layout L = block_beside(9, 4, {{1, 3, 1}, {2, 4, 1}, {1, 5, 1}, {3, 1, 1}, {4, 2, 1}, {5, 1, 1}});
    L.make(7);
    give_animals(L, c.per_animal);
    const Process p = run(L, 2, c.refused ? 20 : 600, herds + (c.per_animal > 0 ? animals : ""));
    const bool refused = p.out.find("cannot both have factors per level") != std::string::npos;
    EXPECT_EQ(refused, c.refused) << c.name << "\n" << p.out << p.err;
    if (c.refused) {
      EXPECT_NE(p.out.find("the 27 records of the levels of effect 2 whose factors are not drawn (its reference among"
                           " them) are fitted exactly by the location parameters"),
                std::string::npos)
          << c.name << "\n" << p.out;
      continue;
    }
    ASSERT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    for (double f : factor_means()) EXPECT_LT(f, 1000) << c.name;
    EXPECT_GT(r_mean(read_file(dir() / "varcomp")), 0.01) << c.name;
  }
}

}  // namespace
