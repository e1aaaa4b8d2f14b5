#include "sampler/references.hpp"

#include <algorithm>
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
#include "sparse/null_space.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

// Tolerances, each a share of what the same quantity is where nothing
// cancels, so that no unit or origin of the data moves them.  The
// elimination's columns are scaled to a sum of squares of 1, and its pivot
// rule is the null-space routine's own.
// An element v_k of a direction whose term |v_k| s_k (s_k the root of its
// column's sum of squares over the records) is below this share of the
// direction's largest term is rounding.
constexpr double negligible = sparsem::null_element;
// A direction from which a record departs by more than this share of its
// terms, |x_i v| against sum_k |x_ik v_k|, is no direction: exact ones come
// out near 1e-15, and one unit in the last place of a 32-bit real is 6e-8
// of its value or more.
constexpr double verified_residual = 1e-8;
// Elements of a direction below this share of its largest term, where a
// record departs from it, are rounding that the pivots of a near direction
// left (they come out near 1e-8).
constexpr double near_rounding = 1e-6;

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

using PairSums = sparsem::PairSums;

using Sparse = std::vector<std::pair<int, double>>;  // (column, value), ascending column

// Sorts v by column and adds up the values of a column given twice.
void sum_repeats(Sparse& v) {
  std::sort(v.begin(), v.end());
  std::size_t n = 0;
  for (std::size_t k = 0; k < v.size(); ++k) {
    if (n > 0 && v[n - 1].first == v[k].first)
      v[n - 1].second += v[k].second;
    else
      v[n++] = v[k];
  }
  v.resize(n);
}

// The directions no row informs of the columns, given their Gram matrix.
using sparsem::null_directions;

// a - f b, without the elements whose terms fall below `negligible` of the
// largest term of a (rounding left by the cancellation), and without
// column `gone`, which the step cancels exactly.
Sparse reduced(const Sparse& a, double f, const Sparse& b, int gone, const std::vector<double>& size) {
  double big = 0;
  for (const auto& [k, v] : a) big = std::max(big, std::fabs(v) * size[static_cast<std::size_t>(k)]);
  Sparse out;
  std::size_t i = 0, j = 0;
  while (i < a.size() || j < b.size()) {
    int k;
    double v;
    if (j == b.size() || (i < a.size() && a[i].first < b[j].first)) {
      std::tie(k, v) = a[i++];
    } else if (i == a.size() || b[j].first < a[i].first) {
      k = b[j].first;
      v = -f * b[j++].second;
    } else {
      k = a[i].first;
      v = a[i++].second - f * b[j++].second;
    }
    if (k != gone && std::fabs(v) * size[static_cast<std::size_t>(k)] > negligible * big) out.emplace_back(k, v);
  }
  return out;
}

// The value of column k in d (0 when absent).
double value_at(const Sparse& d, int k) {
  auto it = std::lower_bound(d.begin(), d.end(), std::pair<int, double>(k, -HUGE_VAL));
  return it != d.end() && it->first == k ? it->second : 0.0;
}

// What the records say of a direction: the largest share that a record's
// remainder |x_i v| is of its terms sum_k |x_ik v_k|, and that record.
struct Check {
  double worst = 0;
  int record = 0;
};

// A level that the pivots took for a combination of others (parent groups
// among them where `groups`) but a record does not: it is drawn, and the
// user is told why the chain will crawl there.
std::string near_line(int e, int l, int t, bool groups, const Check& c) {
  std::string line = " warning:" + util::freev("effect", e, "level", l);
  if (m.ntrait > 1) line += util::freev("of trait", t);
  char r[32];
  std::snprintf(r, sizeof r, "%.1e", c.worst);
  return line + " is nearly a combination of other fixed levels" + (groups ? " and parent groups" : "") +
         ", not exactly: record " +
         std::to_string(c.record) + " departs from it by " + r +
         " of its terms, and no record by more, so the records inform it, if barely: it is sampled, but the chain"
         " moves very slowly along that combination; a covariable far from 0 beside a class effect does this:"
         " centre it (manual, section 3)";
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

// Per effect of an additive group, by animal level: the flat levels that
// reach it with their shares (CSR over levels).
struct Reached {
  std::vector<std::size_t> first;
  std::vector<std::pair<int, double>> by;  // (index into the flat levels, share)
};

std::vector<Reached> reached_by_animal(const std::vector<FlatReach>& peds, const std::vector<FlatLevel>& reach) {
  std::vector<Reached> reached(static_cast<std::size_t>(m.neff) + 1);
  for (const FlatLevel& r : reach) {
    Reached& R = reached[static_cast<std::size_t>(r.f)];
    if (R.first.empty()) R.first.assign(static_cast<std::size_t>(animal_levels(peds, r.f)) + 2, 0);
    for (const auto& [a, sh] : r.animals) ++R.first[static_cast<std::size_t>(a) + 1];
  }
  std::vector<std::vector<std::size_t>> fill(reached.size());
  for (std::size_t e = 0; e < reached.size(); ++e) {
    Reached& R = reached[e];
    if (R.first.empty()) continue;
    for (std::size_t a = 1; a < R.first.size(); ++a) R.first[a] += R.first[a - 1];
    R.by.resize(R.first.back());
    fill[e].assign(R.first.begin(), R.first.end() - 1);
  }
  for (std::size_t r = 0; r < reach.size(); ++r) {
    const auto f = static_cast<std::size_t>(reach[r].f);
    for (const auto& [a, sh] : reach[r].animals)
      reached[f].by[fill[f][static_cast<std::size_t>(a)]++] = {static_cast<int>(r), sh};
  }
  return reached;
}

// A covariable of its own (not nested) whose trait has a cross-classified
// effect before it with a level in every observed record: the elimination
// takes its column less its mean, x - mean (the levels of that effect sum
// to 1 on every record), so that a covariable far from 0 (years 2016-2019,
// dates) is not taken for a multiple of the constant to the pivots'
// tolerance.  That is a change of parameters: a direction w found with the
// centred column is, on the parameters drawn, w with every level of the
// covering effect less w_x * mean.
struct Centred {
  int col = 0, data_col = 0, cover = 0;  // cover: the covering effect
  double mean = 0;
  double ss = 0;  // sum of squares of x - mean over the observed records
  std::vector<int> cover_cols;
};

// The search for one trait at a time: its columns are the flat fixed
// levels (fixed effects in model order, levels in order), then the flat
// levels of the additive groups, over the records where the trait is
// observed.
class Search {
 public:
  explicit Search(model::State& s)
      : s_(s), fixed_(flat_fixed_effects()), peds_(every_flat_reach(s)), reach_(flat_group_levels(peds_)),
        reached_(reached_by_animal(peds_, reach_)),
        column_(static_cast<std::size_t>(s.neq) + 1, -1) {}

  void trait(int t, std::vector<Reference>& out) {
    t_ = t;
    lay_columns();
    centre_covariables();
    column_sums();
    unreached(out);
    if (!eq_of_.empty()) {
      std::vector<Sparse> dirs = verified(search());
      for (const Sparse& dir : dirs) refuse_sire_dependence(peds_, dir, eq_of_, t_);
      for (auto& [col, dir] : references_of(std::move(dirs))) out.push_back(reference(col, dir));
    }
    for (int q : eq_of_) column_[static_cast<std::size_t>(q)] = -1;
  }

 private:
  bool observed(int i) const { return s_.INDATA(i, m.pos_y(t_)) != static_cast<float>(m.miss); }
  bool group(int k) const { return k >= nfixed_; }

  void lay_columns() {
    eq_of_.clear();
    auto add = [this](int q) {
      column_[static_cast<std::size_t>(q)] = static_cast<int>(eq_of_.size());
      eq_of_.push_back(q);
    };
    for (int e = 1; e <= m.neff; ++e)
      if (fixed_[static_cast<std::size_t>(e)] && m.pos_eff(e, t_) != 0)
        for (int l = 1; l <= m.nlev(e); ++l) add(address1(e, l, t_));
    nfixed_ = static_cast<int>(eq_of_.size());
    for (const FlatLevel& r : reach_)
      if (m.pos_eff(r.f, t_) != 0) add(address1(r.f, r.level, t_));
  }

  void centre_covariables() {
    centred_.clear();
    const int t = t_;
    for (int e = 1; e <= m.neff; ++e) {
      if (!fixed_[static_cast<std::size_t>(e)] || m.effecttype(e) != model::EffectType::cov || m.nlev(e) != 1 ||
          m.pos_eff(e, t) == 0 || m.nestedcov(e, t) != 0)
        continue;
      int cover = 0;
      for (int b = 1; b < e && cover == 0; ++b) {
        if (!fixed_[static_cast<std::size_t>(b)] || m.effecttype(b) != model::EffectType::cro || m.pos_eff(b, t) == 0)
          continue;
        bool all = true;
        for (int i = 1; i <= m.nrec && all; ++i) all = !observed(i) || s_.INDATA(i, m.pos_eff(b, t)) != 0.0f;
        if (all) cover = b;
      }
      if (cover == 0) continue;
      double sum = 0;
      long n = 0;
      for (int i = 1; i <= m.nrec; ++i)
        if (observed(i)) {
          sum += static_cast<double>(s_.INDATA(i, m.pos_eff(e, t)));
          ++n;
        }
      if (n == 0) continue;
      Centred x{column_[static_cast<std::size_t>(address1(e, 1, t))], m.pos_eff(e, t), cover, sum / n, 0.0, {}};
      for (int l = 1; l <= m.nlev(cover); ++l) x.cover_cols.push_back(column_[static_cast<std::size_t>(address1(cover, l, t))]);
      centred_.push_back(std::move(x));
    }
  }

  // Record i's row over the columns as the records give it, in cells_
  // (ascending column, a column given twice in a record added up).
  void row(int i) {
    s_.irec = i;
    find_addresses(s_);
    const RecordCursor& c = workspace(s_).cursor;
    const int t = t_;
    cells_.clear();
    // Level a of group effect f with multiplier w: the flat levels reaching it.
    auto add_reached = [&](int f, std::size_t a, double w) {
      const Reached& R = reached_[static_cast<std::size_t>(f)];
      if (R.first.empty()) return;
      for (std::size_t p = R.first[a]; p < R.first[a + 1]; ++p) {
        const FlatLevel& g = reach_[static_cast<std::size_t>(R.by[p].first)];
        cells_.emplace_back(column_[static_cast<std::size_t>(address1(g.f, g.level, t))], R.by[p].second * w);
      }
    };
    // An animal without equations stands for its parents' slots.
    const int ram = model::reduced_animal_group();
    const int own = nonparent_animal(s_, t);
    if (own > 0) add_reached(ram, static_cast<std::size_t>(own), 1.0);
    for (int j = 1; j <= c.naddr_t(t); ++j) {
      const int f = c.SLOT_EFF(j, t);
      const double w = static_cast<double>(s_.WEIGHT_COV(j, t));
      if (f <= 0 || w == 0 || (own > 0 && f == ram)) continue;
      const int q = s_.ADDRESS(j, t);
      if (fixed_[static_cast<std::size_t>(f)])
        cells_.emplace_back(column_[static_cast<std::size_t>(q)], w);
      else
        add_reached(f, static_cast<std::size_t>((q - address1(f, 1, t)) / m.ntrait + 1), w);
    }
    sum_repeats(cells_);
  }

  // What the records give each column: its sum of squares over the
  // observed records (and the centred one), and whether only records with
  // the trait missing reach it.
  void column_sums() {
    const std::size_t nc = eq_of_.size();
    own_.assign(nc, 0.0);
    missing_only_.assign(nc, 0);
    for (int i = 1; i <= m.nrec; ++i) {
      row(i);
      const bool obs = observed(i);
      for (const auto& [k, x] : cells_)
        if (obs)
          own_[static_cast<std::size_t>(k)] += x * x;
        else
          missing_only_[static_cast<std::size_t>(k)] = 1;
      for (Centred& x : centred_)
        if (obs) {
          const double v = static_cast<double>(s_.INDATA(i, x.data_col)) - x.mean;
          x.ss += v * v;
        }
    }
    size_.resize(nc);
    for (std::size_t k = 0; k < nc; ++k) {
      if (own_[k] > 0) missing_only_[k] = 0;
      size_[k] = std::sqrt(own_[k]);
    }
  }

  // Levels that no record where the trait is observed reaches, though a
  // record with it missing does (its imputed value would carry them
  // anywhere), and flat group levels that reach no such record: held at 0.
  void unreached(std::vector<Reference>& out) const {
    for (std::size_t k = 0; k < eq_of_.size(); ++k)
      if (own_[k] == 0 && (missing_only_[k] || group(static_cast<int>(k)))) {
        Reference r;
        r.eq = eq_of_[k];
        std::tie(r.effect, r.level) = owner(r.eq);
        r.trait = t_;
        r.why = Reference::Why::unreached;
        r.group = group(static_cast<int>(k));
        out.push_back(std::move(r));
      }
  }

  // The rows' Gram matrix over the (centred) columns; the elimination
  // judges it scaled to unit diagonal, so no unit moves its tolerances.
  PairSums gram() {
    const int nc = static_cast<int>(eq_of_.size());
    PairSums g(static_cast<std::size_t>(m.nrec) + eq_of_.size());
    // A record reaches most of a few parent groups through its animal:
    // their products go to a square of their own when it is small.
    const int ngroup = nc - nfixed_;
    const bool square = ngroup > 0 && ngroup <= 512;
    std::vector<double> among(square ? static_cast<std::size_t>(ngroup) * static_cast<std::size_t>(ngroup) : 0, 0.0);
    // The diagonal, in most records' rows, is summed apart from the table.
    std::vector<double> own(static_cast<std::size_t>(nc), 0.0);
    for (int i = 1; i <= m.nrec; ++i) {
      if (!observed(i)) continue;
      elimination_row(i);
      const Sparse& cells = cells_;
      const std::size_t n = cells.size();
      for (std::size_t a = 0; a < n; ++a) {
        if (square && cells[a].first >= nfixed_) {
          double* row = among.data() + static_cast<std::size_t>(cells[a].first - nfixed_) * static_cast<std::size_t>(ngroup);
          for (std::size_t b = a; b < n; ++b) row[cells[b].first - nfixed_] += cells[a].second * cells[b].second;
          continue;
        }
        own[static_cast<std::size_t>(cells[a].first)] += cells[a].second * cells[a].second;
        for (std::size_t b = a + 1; b < n; ++b)
          g.add(static_cast<std::uint32_t>(cells[a].first), static_cast<std::uint32_t>(cells[b].first),
                cells[a].second * cells[b].second);
      }
    }
    for (int k = 0; k < nc; ++k)
      if (const double v = own[static_cast<std::size_t>(k)]; v != 0)
        g.add(static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(k), v);
    for (int a = 0; a < (square ? ngroup : 0); ++a)
      for (int b = a; b < ngroup; ++b) {
        const double v = among[static_cast<std::size_t>(a) * static_cast<std::size_t>(ngroup) + static_cast<std::size_t>(b)];
        if (v != 0) g.add(static_cast<std::uint32_t>(nfixed_ + a), static_cast<std::uint32_t>(nfixed_ + b), v);
      }
    return g;
  }

  // Record i's row as the elimination takes it: centred.
  void elimination_row(int i) {
    row(i);
    std::size_t n = 0;
    for (const auto& cell : cells_)
      if (std::none_of(centred_.begin(), centred_.end(), [&cell](const Centred& c) { return c.col == cell.first; }))
        cells_[n++] = cell;
    cells_.resize(n);
    for (const Centred& c : centred_) {
      const double v = static_cast<double>(s_.INDATA(i, c.data_col)) - c.mean;
      if (v != 0) cells_.emplace_back(c.col, v);
    }
    if (!only_.empty())
      cells_.erase(std::remove_if(cells_.begin(), cells_.end(),
                                  [this](const auto& x) { return !only_[static_cast<std::size_t>(x.first)]; }),
                   cells_.end());
    std::sort(cells_.begin(), cells_.end());
  }

  // Directions over the centred columns as directions of the parameters
  // drawn.  A centred column of 0s (one value on every record: sums of
  // 32-bit reals are exact in doubles) beside a raw one that is not is a
  // direction of its own: x less its mean on every covering level.
  std::vector<Sparse> raw_directions(std::vector<Sparse> dirs) {
    for (const Centred& c : centred_)
      if (own_[static_cast<std::size_t>(c.col)] > 0 && c.ss == 0 && (only_.empty() || only_[static_cast<std::size_t>(c.col)]))
        dirs.push_back({{c.col, 1.0}});
    for (Sparse& d : dirs) {
      Sparse add;
      for (const Centred& c : centred_)
        if (const double w = value_at(d, c.col); w != 0)
          for (int k : c.cover_cols)
            if (own_[static_cast<std::size_t>(k)] > 0) add.emplace_back(k, w * c.mean);
      if (add.empty()) continue;
      sum_repeats(add);
      d = reduced(d, 1.0, add, -1, size_);
    }
    return dirs;
  }

  // The largest share a record's remainder is of its terms, per direction.
  std::vector<Check> check(const std::vector<Sparse>& dirs) {
    const std::size_t nd = dirs.size();
    std::vector<std::vector<std::pair<std::size_t, double>>> by(eq_of_.size());
    for (std::size_t d = 0; d < nd; ++d)
      for (const auto& [k, v] : dirs[d]) by[static_cast<std::size_t>(k)].emplace_back(d, v);
    std::vector<double> sum(nd, 0.0), size(nd, 0.0);
    std::vector<std::size_t> touched;
    std::vector<Check> out(nd);
    for (int i = 1; i <= m.nrec; ++i) {
      if (!observed(i)) continue;
      row(i);
      for (const auto& [k, x] : cells_)
        for (const auto& [d, v] : by[static_cast<std::size_t>(k)]) {
          if (size[d] == 0) touched.push_back(d);
          sum[d] += x * v;
          size[d] += std::fabs(x * v);
        }
      for (std::size_t d : touched) {
        if (const double r = std::fabs(sum[d]) / size[d]; r > out[d].worst) out[d] = {r, i};
        sum[d] = size[d] = 0;
      }
      touched.clear();
    }
    return out;
  }

  // The directions no record informs, over the parameters drawn (only the
  // columns of only_, when it is set).
  std::vector<Sparse> search() {
    return raw_directions(null_directions(static_cast<int>(eq_of_.size()), gram()));
  }

  // The directions of dirs that hold on every record.
  std::vector<Sparse> holding(std::vector<Sparse> dirs) {
    const std::vector<Check> c = check(dirs);
    std::vector<Sparse> out;
    for (std::size_t d = 0; d < dirs.size(); ++d)
      if (!dirs[d].empty() && c[d].worst <= verified_residual) out.push_back(std::move(dirs[d]));
    return out;
  }

  // A near direction that the pivots took for exact is mixed into every
  // direction found with it, so an exact one can hide in the span of
  // directions that each fail.  Leaving out, in turn, each column of a
  // record that departs and searching the failed directions' other columns
  // again finds the exact ones without the near one; a last search over
  // the columns of what was found makes them independent and clean.
  std::vector<Sparse> exact_within(const std::vector<Sparse>& failed, const std::vector<int>& departing) {
    constexpr int most_tries = 64;  // each is a pass over the records
    std::vector<char> support(eq_of_.size(), 0), found(eq_of_.size(), 0);
    for (const Sparse& d : failed)
      for (const auto& [k, v] : d) support[static_cast<std::size_t>(k)] = 1;
    std::vector<int> tried;
    bool any = false;
    for (int i : departing) {
      row(i);
      const Sparse cells = cells_;
      for (const auto& [k, x] : cells) {
        if (!support[static_cast<std::size_t>(k)] || std::find(tried.begin(), tried.end(), k) != tried.end() ||
            static_cast<int>(tried.size()) == most_tries)
          continue;
        tried.push_back(k);
        only_ = support;
        only_[static_cast<std::size_t>(k)] = 0;
        for (const Sparse& e : holding(search()))
          for (const auto& [j, v] : e) {
            found[static_cast<std::size_t>(j)] = 1;
            any = true;
          }
      }
    }
    std::vector<Sparse> out;
    if (any) {
      only_ = found;
      out = holding(search());
    }
    only_.clear();
    return out;
  }

  // The directions that hold on every record; one that a record departs
  // from is warned of (once for its level) and sampled.
  std::vector<Sparse> verified(std::vector<Sparse> dirs) {
    if (dirs.empty()) return dirs;
    const std::vector<Check> c = check(dirs);
    std::vector<Sparse> kept, failed;
    std::vector<int> departing;
    for (std::size_t d = 0; d < dirs.size(); ++d)
      if (!dirs[d].empty()) {
        if (c[d].worst <= verified_residual) {
          kept.push_back(std::move(dirs[d]));
        } else {
          failed.push_back(std::move(dirs[d]));
          departing.push_back(c[d].record);
        }
      }
    if (failed.empty()) return kept;
    // The near pivots leave rounding in what they give, which a record that
    // barely touches a direction departs from wholly: judged without it, a
    // failed direction names the record that informs it.
    std::vector<Sparse> near;
    for (const Sparse& d : failed) near.push_back(without_rounding(d));
    const std::vector<Check> nc = check(near);
    for (const Check& x : nc) departing.push_back(x.record);
    std::vector<Sparse> hidden;
    if (failed.size() > 1) hidden = exact_within(failed, departing);
    kept.insert(kept.end(), hidden.begin(), hidden.end());
    // Those left near: the failed ones closest to holding, one for each
    // dimension the exact ones found among them did not take.
    std::vector<std::size_t> order(near.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&nc](std::size_t a, std::size_t b) { return nc[a].worst < nc[b].worst; });
    order.resize(order.size() - std::min(order.size(), hidden.size()));
    std::vector<int> warned;
    for (std::size_t j : order) {
      if (near[j].empty()) continue;
      const int col = choose(near[j]);
      if (std::find(warned.begin(), warned.end(), col) != warned.end()) continue;
      warned.push_back(col);
      const auto [e, l] = owner(eq_of_[static_cast<std::size_t>(col)]);
      util::say_text(near_line(e, l, t_, group(near[j].back().first), nc[j]));
    }
    return kept;
  }

  // d without the elements whose terms are below near_rounding of its
  // largest term.
  Sparse without_rounding(const Sparse& d) const {
    double big = 0;
    for (const auto& [k, v] : d) big = std::max(big, std::fabs(v) * size_[static_cast<std::size_t>(k)]);
    Sparse out;
    for (const auto& [k, v] : d)
      if (std::fabs(v) * size_[static_cast<std::size_t>(k)] > near_rounding * big) out.emplace_back(k, v);
    return out;
  }

  // The best-informed parameter of a direction: of its flat group levels,
  // if it has any, the one with the largest sum of squares of its shares
  // over the records; else the level of its latest effect with the largest
  // sum of squares.  Ties go to the later column.
  int choose(const Sparse& d) const {
    const bool groups = group(d.back().first);
    const int latest = owner(eq_of_[static_cast<std::size_t>(d.back().first)]).first;
    int best = -1;
    for (const auto& [k, v] : d) {
      if (groups ? !group(k) : owner(eq_of_[static_cast<std::size_t>(k)]).first != latest) continue;
      if (best < 0 || own_[static_cast<std::size_t>(k)] >= own_[static_cast<std::size_t>(best)]) best = k;
    }
    return best;
  }

  // Each direction's chosen parameter made the pivot of its direction
  // alone: every other direction loses it (Gauss-Jordan), so that holding
  // them all at 0 leaves each direction pinned once.  The most constrained
  // direction, the one of fewest parameters, chooses first.
  std::vector<std::pair<int, Sparse>> references_of(std::vector<Sparse> dirs) const {
    std::stable_sort(dirs.begin(), dirs.end(), [](const Sparse& a, const Sparse& b) { return a.size() < b.size(); });
    std::vector<int> pivot(dirs.size(), -1);
    for (std::size_t i = 0; i < dirs.size(); ++i) {
      if (dirs[i].empty()) continue;
      const int p = choose(dirs[i]);
      pivot[i] = p;
      const double pv = value_at(dirs[i], p);
      for (std::size_t j = 0; j < dirs.size(); ++j)
        if (j != i)
          if (const double f = value_at(dirs[j], p); f != 0) dirs[j] = reduced(dirs[j], f / pv, dirs[i], p, size_);
    }
    std::vector<std::pair<int, Sparse>> out;
    for (std::size_t i = 0; i < dirs.size(); ++i)
      if (pivot[i] >= 0) out.emplace_back(pivot[i], std::move(dirs[i]));
    return out;
  }

  Reference reference(int col, const Sparse& dir) const {
    Reference ref;
    ref.eq = eq_of_[static_cast<std::size_t>(col)];
    std::tie(ref.effect, ref.level) = owner(ref.eq);
    ref.trait = t_;
    ref.group = group(col);
    for (const auto& [k, v] : dir)
      if (const int e = owner(eq_of_[static_cast<std::size_t>(k)]).first; e != ref.effect) ref.with.push_back(e);
    std::sort(ref.with.begin(), ref.with.end());
    ref.with.erase(std::unique(ref.with.begin(), ref.with.end()), ref.with.end());
    return ref;
  }

  model::State& s_;
  const std::vector<char> fixed_;
  const std::vector<FlatReach> peds_;
  const std::vector<FlatLevel> reach_;
  const std::vector<Reached> reached_;
  std::vector<int> column_;  // by equation: its column for the trait, or -1
  int t_ = 0, nfixed_ = 0;
  std::vector<int> eq_of_;
  std::vector<Centred> centred_;
  std::vector<double> own_, size_;  // size: root of own
  std::vector<char> missing_only_;
  std::vector<char> only_;  // by column: whether a search again takes it (empty: all)
  Sparse cells_;
};

}  // namespace

std::vector<Reference> find_references(model::State& s) {
  std::vector<Reference> out;
  Search search(s);
  for (int t = 1; t <= m.ntrait; ++t) search.trait(t, out);
  std::sort(out.begin(), out.end(), [](const Reference& a, const Reference& b) { return a.eq < b.eq; });
  return out;
}

std::string reference_line(const Reference& r) {
  std::string line = util::freev("Effect", r.effect, "level", r.level);
  const std::string trait = m.ntrait > 1 ? util::freev("of trait", r.trait) : std::string();
  line += trait + " is held at 0 as a reference and not sampled: ";
  if (r.why == Reference::Why::unreached) {
    const std::string where = m.ntrait > 1 ? " where trait " + std::to_string(r.trait) + " is observed" : "";
    if (r.group) return line + "it reaches no animal with a record" + where + ", so no record informs it";
    return line + "no record" + where + " has it (only records where the trait is missing do), so no record informs it";
  }
  line += "the records cannot tell ";
  if (r.with.empty()) {
    line += "the levels of effect " + std::to_string(r.effect) + " apart from one another";
  } else {
    line += "the levels of effect " + std::to_string(r.effect) + " apart from those of effect";
    line += r.with.size() == 1 ? " " : "s ";
    for (std::size_t k = 0; k < r.with.size(); ++k)
      line += (k == 0 ? "" : k + 1 == r.with.size() ? " and " : ", ") + std::to_string(r.with[k]);
  }
  line += " (a common shift that no record informs); of that shift's ";
  line += r.group ? "parent groups" : "levels of effect " + std::to_string(r.effect);
  return line + " it is the best informed (the largest sum of squares over the records), and their solutions are"
                " relative to it";
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
                    " the program that held no references, or held another level of that direction), so its sums"
                    " mix draws along a direction the records do not inform: start the chain afresh (RESTART: n)");
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
