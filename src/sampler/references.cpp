#include "sampler/references.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "model/model.hpp"
#include "sampler/flat_reach.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sampler/workspace.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

// A pivot below this share of its column's own sum of squares is taken for
// 0: the column is then the others' combination, up to the rounding of
// data read as 32-bit reals (relative remainders near 1e-5 and below).
constexpr double dependent_pivot = 1e-10;
// An element of a direction below this share of its largest is rounding.
constexpr double negligible = 1e-9;
// A direction whose remainder over the records exceeds this share of its
// terms' size is no direction: exact ones come out near 1e-15.
constexpr double verified_residual = 1e-8;

// Effects whose levels are flat-prior location parameters of their own:
// cross-classified effects and covariables in no random group.
std::vector<char> flat_fixed_effects() {
  std::vector<char> fixed(static_cast<std::size_t>(m.neff) + 1, 0);
  for (int e = 1; e <= m.neff; ++e) {
    const model::EffectType t = m.effecttype(e);
    fixed[static_cast<std::size_t>(e)] =
        !model::in_random_group(e) && (t == model::EffectType::cro || t == model::EffectType::cov);
  }
  return fixed;
}

// The effect and level of equation eq (trait by the caller).
std::pair<int, int> owner(int eq) {
  long index = (eq - 1) / m.ntrait + 1;
  for (int e = 1; e <= m.neff; ++e) {
    if (index <= m.nlev(e)) return {e, static_cast<int>(index)};
    index -= m.nlev(e);
  }
  return {m.neff, 0};
}

// Accumulates a symmetric matrix's elements (a <= b) by key.
class PairSums {
 public:
  explicit PairSums(std::size_t expect) {
    std::size_t n = 1024;
    while (n < 2 * expect) n *= 2;
    keys_.assign(n, empty);
    vals_.assign(n, 0.0);
  }
  void add(std::uint32_t a, std::uint32_t b, double v) {
    if (a > b) std::swap(a, b);
    const std::uint64_t key = (static_cast<std::uint64_t>(a) << 32) | b;
    std::size_t h = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_());
    while (keys_[h] != key) {
      if (keys_[h] == empty) {
        keys_[h] = key;
        if (++filled_ * 2 > keys_.size()) {
          grow();
          add(a, b, v);
          return;
        }
        break;
      }
      h = (h + 1) & (keys_.size() - 1);
    }
    vals_[h] += v;
  }
  template <class F>
  void each(F f) const {
    for (std::size_t h = 0; h < keys_.size(); ++h)
      if (keys_[h] != empty)
        f(static_cast<int>(keys_[h] >> 32), static_cast<int>(keys_[h] & 0xffffffffULL), vals_[h]);
  }

 private:
  static constexpr std::uint64_t empty = ~0ULL;
  int shift_() const { return 64 - std::countr_zero(keys_.size()); }
  void grow() {
    std::vector<std::uint64_t> k(keys_.size() * 2, empty);
    std::vector<double> v(keys_.size() * 2, 0.0);
    std::swap(k, keys_);
    std::swap(v, vals_);
    filled_ = 0;
    for (std::size_t h = 0; h < k.size(); ++h)
      if (k[h] != empty) {
        const std::uint64_t key = k[h];
        std::size_t g = static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> shift_());
        while (keys_[g] != empty) g = (g + 1) & (keys_.size() - 1);
        keys_[g] = key;
        vals_[g] = v[h];
        ++filled_;
      }
  }
  std::vector<std::uint64_t> keys_;
  std::vector<double> vals_;
  std::size_t filled_ = 0;
};

using Sparse = std::vector<std::pair<int, double>>;  // (column, value), ascending column

// The directions no row informs of the columns 0..nc-1, given the sums of
// products of the columns (the rows' Gram matrix, a <= b), as vectors over
// the columns.  Eliminated column by column, fewest neighbours first, so
// that the many levels of a large effect go before the few they share: a
// pivot that is 0 beside its column's own sum of squares is a column the
// columns eliminated before it make, and its direction follows from their
// rows by back substitution.
std::vector<Sparse> null_directions(int nc, const PairSums& gram) {
  const auto un = static_cast<std::size_t>(nc);
  std::vector<double> own(un, 0.0);
  std::vector<int> degree(un, 0);
  gram.each([&](int a, int b, double v) {
    if (a == b)
      own[static_cast<std::size_t>(a)] = v;
    else if (v != 0) {
      ++degree[static_cast<std::size_t>(a)];
      ++degree[static_cast<std::size_t>(b)];
    }
  });
  std::vector<int> order(un), at(un);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](int a, int b) { return degree[static_cast<std::size_t>(a)] < degree[static_cast<std::size_t>(b)]; });
  for (std::size_t k = 0; k < un; ++k) at[static_cast<std::size_t>(order[k])] = static_cast<int>(k);
  // Each element in the row of whichever of its two columns goes first.
  std::vector<Sparse> row(un);
  gram.each([&](int a, int b, double v) {
    if (a == b || v == 0) return;
    const int first = at[static_cast<std::size_t>(a)] < at[static_cast<std::size_t>(b)] ? a : b;
    row[static_cast<std::size_t>(first)].emplace_back(a + b - first, v);
  });
  std::vector<double> diag = own, work(un, 0.0);
  std::vector<char> mark(un, 0), eliminated(un, 0);
  std::vector<std::vector<int>> users(un);  // eliminated columns whose rows hold each column
  std::vector<Sparse> out;
  for (std::size_t k = 0; k < un; ++k) {
    const int p = order[k];
    const auto up = static_cast<std::size_t>(p);
    if (own[up] == 0) continue;  // no record: no column
    const double d = diag[up];
    if (!(d > dependent_pivot * own[up])) {
      // Its direction: 1 here, and the eliminated columns that reach it.
      std::vector<int> reach{p};
      mark[up] = 1;
      for (std::size_t q = 0; q < reach.size(); ++q)
        for (int u : users[static_cast<std::size_t>(reach[q])])
          if (!mark[static_cast<std::size_t>(u)]) {
            mark[static_cast<std::size_t>(u)] = 1;
            reach.push_back(u);
          }
      std::sort(reach.begin() + 1, reach.end(),
                [&](int a, int b) { return at[static_cast<std::size_t>(a)] > at[static_cast<std::size_t>(b)]; });
      work[up] = 1;
      for (std::size_t q = 1; q < reach.size(); ++q) {
        const auto u = static_cast<std::size_t>(reach[q]);
        double sum = 0;
        for (const auto& [j, v] : row[u]) sum += v * work[static_cast<std::size_t>(j)];
        work[u] = -sum / diag[u];
      }
      Sparse dir;
      double big = 0;
      for (int u : reach) big = std::max(big, std::fabs(work[static_cast<std::size_t>(u)]));
      for (int u : reach) {
        const double v = work[static_cast<std::size_t>(u)] / big;
        if (std::fabs(v) > negligible) dir.emplace_back(u, v);
        work[static_cast<std::size_t>(u)] = 0;
        mark[static_cast<std::size_t>(u)] = 0;
      }
      std::sort(dir.begin(), dir.end());
      out.push_back(std::move(dir));
      row[up].clear();
      continue;
    }
    // Elimination: every later column of the row loses its share.
    Sparse& r = row[up];
    eliminated[up] = 1;
    for (const auto& [j, v] : r) users[static_cast<std::size_t>(j)].push_back(p);
    for (std::size_t x = 0; x < r.size(); ++x) {
      const auto [i, vi] = r[x];
      const auto ui = static_cast<std::size_t>(i);
      diag[ui] -= vi * vi / d;
      // Row of whichever of i, j goes first.
      for (std::size_t y = x + 1; y < r.size(); ++y) {
        const auto [j, vj] = r[y];
        const int first = at[ui] < at[static_cast<std::size_t>(j)] ? i : j;
        const int other = i + j - first;
        Sparse& rf = row[static_cast<std::size_t>(first)];
        const double change = -vi * vj / d;
        auto it = std::find_if(rf.begin(), rf.end(), [other](const auto& e) { return e.first == other; });
        if (it == rf.end())
          rf.emplace_back(other, change);
        else
          it->second += change;
      }
    }
  }
  return out;
}

// Each direction's remainder over the records' rows, |X v| against the size
// of its terms | |X| |v| |.  The pivots are judged on sums of squares, so a
// column far from 0 beside a constant (dates as yyyymmdd in a slope nested in
// a class) can pass for a combination of the others when its own spread is
// below the square root of their resolution; the rows themselves tell it
// apart, to the resolution of the doubles.
template <class Rows>
std::vector<double> residuals(const std::vector<Sparse>& dirs, int nc, Rows rows) {
  const std::size_t nd = dirs.size();
  std::vector<std::vector<std::pair<std::size_t, double>>> by(static_cast<std::size_t>(nc));
  for (std::size_t d = 0; d < nd; ++d)
    for (const auto& [k, v] : dirs[d]) by[static_cast<std::size_t>(k)].emplace_back(d, v);
  std::vector<double> sum(nd, 0.0), size(nd, 0.0), rr(nd, 0.0), aa(nd, 0.0);
  std::vector<char> hit(nd, 0);
  std::vector<std::size_t> touched;
  rows([&](const Sparse& cells) {
    for (const auto& [k, x] : cells)
      for (const auto& [d, v] : by[static_cast<std::size_t>(k)]) {
        if (!hit[d]) {
          hit[d] = 1;
          touched.push_back(d);
        }
        sum[d] += x * v;
        size[d] += std::fabs(x * v);
      }
    for (std::size_t d : touched) {
      rr[d] += sum[d] * sum[d];
      aa[d] += size[d] * size[d];
      sum[d] = size[d] = 0;
      hit[d] = 0;
    }
    touched.clear();
  });
  std::vector<double> rel(nd, 0.0);
  for (std::size_t d = 0; d < nd; ++d) rel[d] = aa[d] > 0 ? std::sqrt(rr[d] / aa[d]) : 0.0;
  return rel;
}

// A level that the pivots took for a combination of others but the records
// do not: it is drawn, and the user is told why the chain will crawl there.
std::string near_line(int e, int l, int t, double rel) {
  std::string line = " warning:" + util::freev("effect", e, "level", l);
  if (m.ntrait > 1) line += util::freev("of trait", t);
  char r[32];
  std::snprintf(r, sizeof r, "%.1e", rel);
  return line + " is nearly a combination of other fixed levels and parent groups (to within " + r +
         " of its size, not exactly): it is sampled, but the chain moves very slowly along that combination;"
         " a covariable far from 0 beside a class effect does this: centre it (manual, section 3)";
}

// Each direction's last column (in column order) made the pivot of its
// direction alone: the others lose it.  The pivots are then the columns
// that depend on those before them, whatever order found the directions.
std::vector<std::pair<int, Sparse>> references_of(std::vector<Sparse> dirs) {
  std::vector<std::pair<int, Sparse>> out;
  while (!dirs.empty()) {
    std::size_t best = 0;
    for (std::size_t k = 1; k < dirs.size(); ++k)
      if (dirs[k].back().first > dirs[best].back().first) best = k;
    Sparse p = std::move(dirs[best]);
    dirs.erase(dirs.begin() + static_cast<std::ptrdiff_t>(best));
    const int c = p.back().first;
    const double pc = p.back().second;
    for (Sparse& v : dirs) {
      auto it = std::lower_bound(v.begin(), v.end(), std::pair<int, double>(c, -HUGE_VAL));
      if (it == v.end() || it->first != c) continue;
      const double f = it->second / pc;
      Sparse w;
      std::size_t a = 0, b = 0;
      while (a < v.size() || b < p.size()) {
        if (b == p.size() || (a < v.size() && v[a].first < p[b].first)) {
          w.push_back(v[a++]);
        } else if (a == v.size() || p[b].first < v[a].first) {
          w.emplace_back(p[b].first, -f * p[b].second);
          ++b;
        } else {
          w.emplace_back(v[a].first, v[a].second - f * p[b].second);
          ++a;
          ++b;
        }
      }
      double big = 0;
      for (const auto& e : w)
        if (e.first != c) big = std::max(big, std::fabs(e.second));
      v.clear();
      for (const auto& e : w)
        if (e.first != c && std::fabs(e.second) > negligible * big) v.emplace_back(e.first, e.second / big);
    }
    dirs.erase(std::remove_if(dirs.begin(), dirs.end(), [](const Sparse& v) { return v.empty(); }), dirs.end());
    out.emplace_back(c, std::move(p));
  }
  return out;
}

// A flat-prior level of an additive group's effect f and the animals (levels
// of f) whose expected values hold a share of it, itself with share 1.
struct FlatLevel {
  int f = 0, level = 0;
  std::vector<std::pair<int, double>> animals;
};

// Every flat-prior level of the groups with the animals it reaches.
std::vector<FlatLevel> flat_group_levels(const std::vector<FlatReach>& peds) {
  std::vector<FlatLevel> out;
  for (const FlatReach& P : peds) {
    const int e = P.group();
    for (int f = e; f < e + m.randomnumb(e); ++f)
      for (int g = 1; g <= m.nlev(f); ++g)
        if (P.flat(g)) {
          FlatLevel r{f, g, {}};
          P.reach(g, r.animals);
          out.push_back(std::move(r));
        }
  }
  return out;
}

// Levels of group effect f that a record can stand for: with a reduced
// animal model's animals without equations, the pedigree's.
int animal_levels(const std::vector<FlatReach>& peds, int f) {
  for (const FlatReach& P : peds)
    if (f >= P.group() && f < P.group() + m.randomnumb(P.group())) return std::max(m.nlev(f), P.ids());
  return m.nlev(f);
}

// A direction of trait t (columns eq_of) that holds for the candidates'
// average but not for every drawn sire cannot be held by one parameter:
// the run stops.
void refuse_sire_dependence(const std::vector<FlatReach>& peds, const Sparse& dir, const std::vector<int>& eq_of,
                            int t) {
  std::vector<std::pair<int, double>> at;
  for (const FlatReach& P : peds)
    for (int f = P.group(); f < P.group() + m.randomnumb(P.group()); ++f) {
      at.clear();
      for (const auto& [k, v] : dir) {
        const auto [e, l] = owner(eq_of[static_cast<std::size_t>(k)]);
        if (e == f) at.emplace_back(l, v);
      }
      if (at.empty()) continue;
      const int a = P.sire_dependence(at, verified_residual);
      if (a == 0) continue;
      util::fatal(util::freev("The parent groups of effect", f) +
                  (m.ntrait > 1 ? util::freev("of trait", t) : std::string()) +
                  " and the fixed levels beside them have a common shift that no record informs while the"
                  " candidate sires are averaged, but it depends on which candidate sire of animal " +
                  std::to_string(a) + " is drawn: no level held at 0 makes the posterior proper for every"
                  " draw.  Give the candidates of animal " + std::to_string(a) +
                  " parents of the same parent groups, or the animal a known sire");
    }
}

}  // namespace

std::vector<Reference> find_references(model::State& s) {
  std::vector<Reference> out;
  const std::vector<char> fixed = flat_fixed_effects();
  const std::vector<FlatReach> peds = every_flat_reach(s);
  const std::vector<FlatLevel> reach = flat_group_levels(peds);
  const int nt = m.ntrait;
  // Per effect of an additive group, by animal level: the flat levels that
  // reach it with their shares (CSR over levels), and the levels' columns.
  struct Reached {
    std::vector<std::size_t> first;
    std::vector<std::pair<int, double>> by;  // (index into reach, share)
  };
  std::vector<Reached> reached(static_cast<std::size_t>(m.neff) + 1);
  for (std::size_t r = 0; r < reach.size(); ++r) {
    Reached& R = reached[static_cast<std::size_t>(reach[r].f)];
    if (R.first.empty()) R.first.assign(static_cast<std::size_t>(animal_levels(peds, reach[r].f)) + 2, 0);
    for (const auto& [a, sh] : reach[r].animals) ++R.first[static_cast<std::size_t>(a) + 1];
  }
  for (Reached& R : reached) {
    if (R.first.empty()) continue;
    for (std::size_t a = 1; a < R.first.size(); ++a) R.first[a] += R.first[a - 1];
    R.by.resize(R.first.back());
  }
  {
    std::vector<std::vector<std::size_t>> fill(reached.size());
    for (std::size_t e = 0; e < reached.size(); ++e)
      if (!reached[e].first.empty()) fill[e].assign(reached[e].first.begin(), reached[e].first.end() - 1);
    for (std::size_t r = 0; r < reach.size(); ++r) {
      const auto f = static_cast<std::size_t>(reach[r].f);
      for (const auto& [a, sh] : reach[r].animals)
        reached[f].by[fill[f][static_cast<std::size_t>(a)]++] = {static_cast<int>(r), sh};
    }
  }

  const RecordCursor& c = workspace(s).cursor;
  const int ram = model::reduced_animal_group();
  std::vector<int> column(static_cast<std::size_t>(s.neq) + 1, -1);
  std::vector<int> eq_of;
  Sparse cells;
  struct Centred {
    int col, data_col;
    double mean;
  };
  std::vector<Centred> centred;
  for (int t = 1; t <= nt; ++t) {
    // Columns in the order of the references: the fixed levels, then the
    // flat levels of the groups.
    eq_of.clear();
    for (int e = 1; e <= m.neff; ++e)
      if (fixed[static_cast<std::size_t>(e)] && m.pos_eff(e, t) != 0)
        for (int l = 1; l <= m.nlev(e); ++l) {
          const int q = address1(e, l, t);
          column[static_cast<std::size_t>(q)] = static_cast<int>(eq_of.size());
          eq_of.push_back(q);
        }
    const int nfixed = static_cast<int>(eq_of.size());
    for (const FlatLevel& r : reach)
      if (m.pos_eff(r.f, t) != 0) {
        const int q = address1(r.f, r.level, t);
        column[static_cast<std::size_t>(q)] = static_cast<int>(eq_of.size());
        eq_of.push_back(q);
      }
    // A covariable of its own (not nested) is centred where a cross-classified
    // effect before it has a level in every observed record: the constant
    // then lies among the columns before it, so the centred column depends
    // on those before it exactly when the raw one does, and a covariable far
    // from 0 (years 2016-2019, dates) no longer looks like a multiple of
    // the constant to the pivots' tolerance.
    centred.clear();
    auto observed = [&s, t](int i) { return s.INDATA(i, m.pos_y(t)) != static_cast<float>(m.miss); };
    for (int e = 1; e <= m.neff; ++e) {
      if (!fixed[static_cast<std::size_t>(e)] || m.effecttype(e) != model::EffectType::cov || m.nlev(e) != 1 ||
          m.pos_eff(e, t) == 0 || m.nestedcov(e, t) != 0)
        continue;
      bool covered = false;
      for (int b = 1; b < e && !covered; ++b) {
        if (!fixed[static_cast<std::size_t>(b)] || m.effecttype(b) != model::EffectType::cro || m.pos_eff(b, t) == 0)
          continue;
        covered = true;
        for (int i = 1; i <= m.nrec && covered; ++i)
          covered = !observed(i) || s.INDATA(i, m.pos_eff(b, t)) != 0.0f;
      }
      if (!covered) continue;
      double sum = 0;
      long n = 0;
      for (int i = 1; i <= m.nrec; ++i)
        if (observed(i)) {
          sum += static_cast<double>(s.INDATA(i, m.pos_eff(e, t)));
          ++n;
        }
      if (n > 0) centred.push_back({column[static_cast<std::size_t>(address1(e, 1, t))], m.pos_eff(e, t), sum / n});
    }
    if (!eq_of.empty()) {
      PairSums gram(static_cast<std::size_t>(m.nrec) + eq_of.size());
      // A record reaches most of a few parent groups through its animal:
      // their products go to a square of their own when it is small.
      const int ngroup = static_cast<int>(eq_of.size()) - nfixed;
      const bool square = ngroup > 0 && ngroup <= 512;
      std::vector<double> among(square ? static_cast<std::size_t>(ngroup) * static_cast<std::size_t>(ngroup) : 0, 0.0);
      // Record i's row over the columns, in cells (ascending column).
      auto row_of = [&](int i) {
        s.irec = i;
        find_addresses(s);
        cells.clear();
        // Level a of group effect f with multiplier w: the flat levels reaching it.
        auto add_reached = [&](int f, std::size_t a, double w) {
          const Reached& R = reached[static_cast<std::size_t>(f)];
          if (R.first.empty()) return;
          for (std::size_t p = R.first[a]; p < R.first[a + 1]; ++p) {
            const FlatLevel& g = reach[static_cast<std::size_t>(R.by[p].first)];
            cells.emplace_back(column[static_cast<std::size_t>(address1(g.f, g.level, t))], R.by[p].second * w);
          }
        };
        // An animal without equations stands for its parents' slots.
        const int own = nonparent_animal(s, t);
        if (own > 0) add_reached(ram, static_cast<std::size_t>(own), 1.0);
        for (int j = 1; j <= c.naddr_t(t); ++j) {
          const int f = c.SLOT_EFF(j, t);
          const double w = static_cast<double>(s.WEIGHT_COV(j, t));
          if (f <= 0 || w == 0 || (own > 0 && f == ram)) continue;
          const int q = s.ADDRESS(j, t);
          if (fixed[static_cast<std::size_t>(f)]) {
            const int k = column[static_cast<std::size_t>(q)];
            if (std::none_of(centred.begin(), centred.end(), [k](const Centred& x) { return x.col == k; }))
              cells.emplace_back(k, w);
          } else {
            add_reached(f, static_cast<std::size_t>((q - address1(f, 1, t)) / nt + 1), w);
          }
        }
        for (const Centred& x : centred) {
          const double v = static_cast<double>(s.INDATA(i, x.data_col)) - x.mean;
          if (v != 0) cells.emplace_back(x.col, v);
        }
        // A column given twice in a record adds up.
        std::sort(cells.begin(), cells.end());
        std::size_t n = 0;
        for (std::size_t k = 0; k < cells.size(); ++k) {
          if (n > 0 && cells[n - 1].first == cells[k].first)
            cells[n - 1].second += cells[k].second;
          else
            cells[n++] = cells[k];
        }
        cells.resize(n);
      };
      for (int i = 1; i <= m.nrec; ++i) {
        if (!observed(i)) continue;
        row_of(i);
        const std::size_t n = cells.size();
        for (std::size_t a = 0; a < n; ++a) {
          if (square && cells[a].first >= nfixed) {
            double* row = among.data() + static_cast<std::size_t>(cells[a].first - nfixed) * static_cast<std::size_t>(ngroup);
            for (std::size_t b = a; b < n; ++b) row[cells[b].first - nfixed] += cells[a].second * cells[b].second;
            continue;
          }
          for (std::size_t b = a; b < n; ++b)
            gram.add(static_cast<std::uint32_t>(cells[a].first), static_cast<std::uint32_t>(cells[b].first),
                     cells[a].second * cells[b].second);
        }
      }
      for (int a = 0; a < (square ? ngroup : 0); ++a)
        for (int b = a; b < ngroup; ++b) {
          const double v = among[static_cast<std::size_t>(a) * static_cast<std::size_t>(ngroup) + static_cast<std::size_t>(b)];
          if (v != 0) gram.add(static_cast<std::uint32_t>(nfixed + a), static_cast<std::uint32_t>(nfixed + b), v);
        }
      std::vector<Sparse> dirs = null_directions(static_cast<int>(eq_of.size()), gram);
      if (!dirs.empty()) {
        const std::vector<double> rel = residuals(dirs, static_cast<int>(eq_of.size()), [&](auto each_row) {
          for (int i = 1; i <= m.nrec; ++i)
            if (observed(i)) {
              row_of(i);
              each_row(cells);
            }
        });
        std::vector<Sparse> kept;
        for (std::size_t d = 0; d < dirs.size(); ++d) {
          if (rel[d] <= verified_residual) {
            kept.push_back(std::move(dirs[d]));
            continue;
          }
          const auto [e, l] = owner(eq_of[static_cast<std::size_t>(dirs[d].back().first)]);
          util::say_text(near_line(e, l, t, rel[d]));
        }
        dirs = std::move(kept);
      }
      for (const Sparse& dir : dirs) refuse_sire_dependence(peds, dir, eq_of, t);
      for (auto& [col, dir] : references_of(std::move(dirs))) {
        Reference ref;
        ref.eq = eq_of[static_cast<std::size_t>(col)];
        std::tie(ref.effect, ref.level) = owner(ref.eq);
        ref.trait = t;
        for (const auto& [k, v] : dir) {
          const int e = owner(eq_of[static_cast<std::size_t>(k)]).first;
          if (e != ref.effect) ref.with.push_back(e);
        }
        std::sort(ref.with.begin(), ref.with.end());
        ref.with.erase(std::unique(ref.with.begin(), ref.with.end()), ref.with.end());
        out.push_back(std::move(ref));
      }
    }
    for (int q : eq_of) column[static_cast<std::size_t>(q)] = -1;
  }
  std::sort(out.begin(), out.end(), [](const Reference& a, const Reference& b) { return a.eq < b.eq; });
  return out;
}

std::string reference_line(const Reference& r) {
  std::string line = util::freev("Effect", r.effect, "level", r.level);
  if (m.ntrait > 1) line += util::freev("of trait", r.trait);
  line += " is held at 0 as a reference and not sampled: the records cannot tell ";
  if (r.with.empty()) {
    line += "the levels of effect " + std::to_string(r.effect) + " apart from one another";
  } else {
    line += "the levels of effect " + std::to_string(r.effect) + " apart from those of effect";
    line += r.with.size() == 1 ? " " : "s ";
    for (std::size_t k = 0; k < r.with.size(); ++k)
      line += (k == 0 ? "" : k + 1 == r.with.size() ? " and " : ", ") + std::to_string(r.with[k]);
  }
  return line + " (a common shift that no record informs); their solutions are relative to it";
}

const std::vector<int>& held_equations(const model::State& s) {
  static const std::vector<int> none;
  const Workspace& w = workspace(s);
  return w.references ? w.references->held : none;
}

void settle_references(model::State& s) {
  References& R = made(workspace(s).references);
  if (R.searched) return;
  R.searched = true;
  R.refs = find_references(s);
  R.held.clear();
  for (const Reference& r : R.refs) {
    util::say_text(reference_line(r));
    R.held.push_back(r.eq);
  }
  // A chain stored while these parameters were still drawn cannot go on
  // with them held: its sums mix both.
  if (m.rstart == 'y' && m.round > 1)
    for (const Reference& r : R.refs)
      if (s.SOL(r.eq) != 0 || s.SUMSOL(r.eq) != 0)
        util::fatal(util::freev("restart at cycle", m.round, ": effect", r.effect, "level", r.level) +
                    (m.ntrait > 1 ? util::freev("of trait", r.trait) : std::string()) +
                    " is now held at 0 as a reference, but the stored chain drew it (a chain stored by a version of"
                    " the program that held no references), so its sums mix draws along a direction the records"
                    " do not inform: start the chain afresh (RESTART: n)");
}

void hold_references(model::State& s) {
  const std::vector<int>& held = held_equations(s);
  if (held.empty()) return;
  sparsem::sparse_ija& A = s.XX_IJA;
  References& R = *workspace(s).references;
  // The positions of the held rows and columns in the copy, found again
  // only when its layout changed.
  const long generation = workspace(s).link.generation;
  if (R.layout != generation || R.layout_nel != A.nel) {
    R.layout = generation;
    R.layout_nel = A.nel;
    R.is_held.assign(static_cast<std::size_t>(A.n) + 1, 0);
    for (int q : held) R.is_held[static_cast<std::size_t>(q)] = 1;
    R.zero_at.clear();
    R.one_at.clear();
    for (std::int32_t i = 1; i <= A.n; ++i) {
      const bool hi = R.is_held[static_cast<std::size_t>(i)];
      for (std::int32_t k = A.ia(i); k < A.ia(i + 1); ++k) {
        const std::int32_t j = A.ja(k);
        if (j == i && hi)
          R.one_at.push_back(k);
        else if (hi || R.is_held[static_cast<std::size_t>(j)])
          R.zero_at.push_back(k);
      }
    }
  }
  for (std::int32_t k : R.one_at) A.a(k) = 1;
  for (std::int32_t k : R.zero_at) A.a(k) = 0;
  for (int q : held) s.XY(q) = 0;
  zero_held_solutions(s);
}

void zero_held_solutions(model::State& s) {
  for (int q : held_equations(s)) s.SOL(q) = 0;
}

}  // namespace sampler
