// Whether the factors of two cross-classified structural effects have a
// posterior, decided set by set from its tail slopes.
//
// Raise the drawn factors of a set of levels of effect a by e^t and lower
// those of its levels of effect b by e^-t.  A record with a level of each
// in the set keeps its variance; the rest of the records keep theirs, but
// for U, the records of the set's levels of a only (variance times e^t),
// and D, those of its levels of b only (times e^-t).  With the flat-prior
// locations beta (design X, rank p) and r (prior 1/r) integrated out, the
// log posterior along t is, up to a constant,
//   J t - 1/2 sum ln d_i - 1/2 ln det(X'D^-1 X) - (N - p)/2 ln S(t),
// J = (drawn levels of a in the set) - (those of b) from the flat factor
// priors, S the weighted residual sum of squares at the best beta.  As
// t -> +inf the records of U fade: -1/2 each from ln d, and the dimensions
// of beta that only they inform (k_U = p - rank of X without U) come back
// through the determinant, +1/2 each.  Those of D grow exact: +1/2 each,
// -1/2 per dimension they span (their rows of every location parameter,
// random ones too, since a random effect's variance does not shrink with
// them), which leaves + s_D/2, s_D = |D| - that rank; where the locations
// can follow them (their observations in that span) S stays bounded; where
// not (two records of a cell, or a cycle of cells, whose values differ) S
// grows as e^t and the slope falls by (N - p)/2, beyond any bound we need.
// So
//   slope at +inf = J - (|U| - k_U)/2 + s_D/2, or far below where D binds,
//   slope at -inf = J + (|D| - k_D)/2 - s_U/2, or far above where U binds.
// A factor of a, e^t, has a finite posterior mean where the slope at +inf
// is below -1; a factor of b, where the slope at -inf is above 1.  One
// level alone (J = 1, U its records) gives the single-level rule n >= 5 + p.
// A factor under the alpha prior is held both ways by that prior, so a set
// with such a level is left to it, unless no record ties the set at all
// (the prior's shape then falls to 1 and lets the products drift).
#include "sampler/structural_pairs.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <deque>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "sparse/row_rank.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

// Sets of levels joined by the records that carry both.
struct Joined {
  std::vector<int> up;
  explicit Joined(std::size_t n) : up(n) {
    for (std::size_t v = 0; v < n; ++v) up[v] = static_cast<int>(v);
  }
  int root(int a) {
    while (up[static_cast<std::size_t>(a)] != a)
      a = up[static_cast<std::size_t>(a)] = up[static_cast<std::size_t>(up[static_cast<std::size_t>(a)])];
    return a;
  }
  void join(int a, int b) { up[static_cast<std::size_t>(root(a))] = root(b); }
};

std::string levels_text(const std::vector<int>& l) {
  std::string t = l.size() == 1 ? "level" : "levels";
  for (std::size_t k = 0; k < l.size() && k < 10; ++k) t += " " + std::to_string(l[k]);
  return t + (l.size() > 10 ? " ..." : "");
}

using Row = std::vector<std::pair<int, double>>;

Row row_of(const std::vector<std::size_t>& first, const Row& terms, int i) {
  return Row(terms.begin() + static_cast<std::ptrdiff_t>(first[static_cast<std::size_t>(i)]),
             terms.begin() + static_cast<std::ptrdiff_t>(first[static_cast<std::size_t>(i) + 1]));
}

// The records R (0-based) shrunk toward exactness: whether they bind, their
// observations being no combination of their rows of every location
// parameter (the rank grows when the observation joins each row), and
// else how many of them those rows leave over.
struct Shrunk {
  bool binds;
  int surplus;
};
Shrunk shrunk(const RecordRows& rows, const std::vector<int>& R) {
  // Over the columns that these rows hold only: a set is checked in what
  // its records cost, not in the model's equations.
  std::vector<int> cols;
  for (int i : R)
    for (const auto& [c, v] : row_of(rows.all_first, rows.all, i)) cols.push_back(c);
  std::sort(cols.begin(), cols.end());
  cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
  const int ny = static_cast<int>(cols.size());
  // Observations at the scale of the rows' multipliers, so that a remainder
  // of a row is not lost beside a large observation.
  double big = 0;
  for (int i : R) big = std::max(big, std::fabs(rows.y[static_cast<std::size_t>(i)]));
  const double scale = big > 0 ? 1 / big : 1;
  sparsem::RowEchelon X, XY;
  sparsem::start_rows(X, ny);
  sparsem::start_rows(XY, ny + 1);
  for (int i : R) {
    Row r = row_of(rows.all_first, rows.all, i);
    for (auto& [c, v] : r) c = static_cast<int>(std::lower_bound(cols.begin(), cols.end(), c) - cols.begin());
    sparsem::add_row(X, r);
    r.emplace_back(ny, rows.y[static_cast<std::size_t>(i)] * scale);
    sparsem::add_row(XY, r);
  }
  return {XY.rank > X.rank, static_cast<int>(R.size()) - X.rank};
}

// k_R: the dimensions of the flat-prior locations that only the records R
// inform, the rank that their flat rows add to those of the other records.
int taken_by_locations(const RecordRows& rows, const std::vector<int>& R) {
  const std::size_t nrec = rows.flat_first.size() - 1;
  std::vector<char> in(nrec, 0);
  for (int i : R) in[static_cast<std::size_t>(i)] = 1;
  sparsem::RowEchelon E;
  sparsem::start_rows(E, rows.flat_columns);
  // Repeats of a row add nothing; cells of many records make most of them.
  std::set<Row> offered;
  auto offer = [&](int i) {
    Row r = row_of(rows.flat_first, rows.flat, i);
    if (!r.empty() && offered.insert(r).second) sparsem::add_row(E, r);
  };
  for (std::size_t i = 0; i < nrec; ++i)
    if (!in[i]) offer(static_cast<int>(i));
  const int before = E.rank;
  for (int i : R) offer(i);
  return E.rank - before;
}

// How the log posterior changes per unit of log factor as one side's
// factors grow: `fall` is minus the slope toward that end.
std::string fall_text(double fall, bool held) {
  if (held) return "falls without bound";
  std::ostringstream o;
  o << (fall < 0 ? -fall : fall);
  return fall == 0 ? "stays level" : (fall > 0 ? "falls by " : "rises by ") + o.str();
}

// Max flow from a set of levels to the held side over the records that tie
// them (capacity one per record), stopped at a cap; the levels the source
// still reaches form the set of fewest ties around it.
class Cuts {
 public:
  Cuts(int n, const SetLinks& L) : n_(n), first_(static_cast<std::size_t>(n) + 2, 0) {
    std::map<std::pair<int, int>, int> cap;
    const int sink = n;
    for (std::size_t i = 0; i < L.ra.size(); ++i) {
      const int x = L.ra[i], y = L.rb[i];
      if (x >= 0 && y >= 0) ++cap[{std::min(x, y), std::max(x, y)}];
      else if (x >= 0 || y >= 0) ++cap[{std::max(x, y), sink}];
    }
    for (const auto& [e, c] : cap) {
      ++first_[static_cast<std::size_t>(e.first) + 1];
      ++first_[static_cast<std::size_t>(e.second) + 1];
    }
    for (std::size_t v = 1; v < first_.size(); ++v) first_[v] += first_[v - 1];
    to_.resize(first_.back());
    back_.resize(first_.back());
    cap_.resize(first_.back());
    std::vector<std::size_t> fill(first_.begin(), first_.end() - 1);
    for (const auto& [e, c] : cap) {
      const std::size_t p = fill[static_cast<std::size_t>(e.first)]++, q = fill[static_cast<std::size_t>(e.second)]++;
      to_[p] = e.second;
      to_[q] = e.first;
      back_[p] = q;
      back_[q] = p;
      cap_[p] = cap_[q] = c;
    }
  }
  // The set around `source` (nodes), as its nodes in order, or empty when
  // `limit` records or more tie every such set.  Only what a search touched
  // is reset, so that a search costs what it explores.
  std::vector<int> around(const std::vector<int>& source, int limit) {
    const auto sink = static_cast<std::size_t>(n_);
    flow_.resize(cap_.size(), 0);
    via_.resize(sink + 1);
    mark_.resize(sink + 1, 0);
    is_source_.resize(sink + 1, 0);
    for (int v : source) is_source_[static_cast<std::size_t>(v)] = 1;
    std::vector<int> reached;
    std::vector<std::size_t> pushed;
    for (int total = 0;; ++total) {
      ++stamp_;
      reached.clear();
      std::deque<int> q;
      for (int v : source) {
        mark_[static_cast<std::size_t>(v)] = stamp_;
        reached.push_back(v);
        q.push_back(v);
      }
      while (!q.empty() && mark_[sink] != stamp_) {
        const auto v = static_cast<std::size_t>(q.front());
        q.pop_front();
        for (std::size_t p = first_[v]; p < first_[v + 1]; ++p) {
          const auto w = static_cast<std::size_t>(to_[p]);
          if (mark_[w] == stamp_ || flow_[p] >= cap_[p]) continue;
          mark_[w] = stamp_;
          via_[w] = p;
          if (w != sink) reached.push_back(to_[p]);
          q.push_back(to_[p]);
        }
      }
      const bool cut = mark_[sink] != stamp_;
      if (cut || total + 1 >= limit) {
        for (std::size_t p : pushed) flow_[p] = flow_[back_[p]] = 0;
        for (int v : source) is_source_[static_cast<std::size_t>(v)] = 0;
        if (!cut) return {};
        std::sort(reached.begin(), reached.end());
        return reached;
      }
      auto w = sink;
      do {
        const std::size_t p = via_[w];
        ++flow_[p];
        --flow_[back_[p]];
        pushed.push_back(p);
        w = static_cast<std::size_t>(to_[back_[p]]);
      } while (!is_source_[w]);
    }
  }

 private:
  int n_;
  std::vector<std::size_t> first_, back_;
  std::vector<int> to_, cap_;
  std::vector<int> flow_;
  std::vector<std::size_t> via_;
  std::vector<unsigned> mark_;
  unsigned stamp_ = 0;
  std::vector<char> is_source_;
};

// Sets tied by more records than this are checked only as the blocks that
// cells of several records join.
constexpr int cut_limit = 16;

}  // namespace

SetSlopes set_slopes(const SetLinks& L, const std::vector<char>& in_set, const RecordRows& rows) {
  int J = 0;
  for (std::size_t v = 0; v < in_set.size(); ++v)
    if (in_set[v]) J += static_cast<int>(v) < L.na ? 1 : -1;
  std::vector<int> U, D;
  for (std::size_t i = 0; i < L.ra.size(); ++i) {
    const bool x = L.ra[i] >= 0 && in_set[static_cast<std::size_t>(L.ra[i])];
    const bool y = L.rb[i] >= 0 && in_set[static_cast<std::size_t>(L.rb[i])];
    if (x != y) (x ? U : D).push_back(static_cast<int>(i));
  }
  SetSlopes s;
  const Shrunk d = shrunk(rows, D), u = shrunk(rows, U);
  s.held_up = d.binds;
  s.held_down = u.binds;
  if (!s.held_up) s.up = J - (static_cast<double>(U.size()) - taken_by_locations(rows, U) - d.surplus) / 2;
  if (!s.held_down) s.down = J + (static_cast<double>(D.size()) - taken_by_locations(rows, D) - u.surplus) / 2;
  return s;
}

namespace {

// Whether the records R (0-based) can be fitted exactly by the location
// parameters.  A record with a column that no other record of R has (an
// animal of one record) is fitted by it whatever the rest do, and leaves
// the question to the rest: such records are set aside first, which keeps
// the rank to the few records that share all their columns.
bool fitted_exactly(const RecordRows& rows, const std::vector<int>& R) {
  std::map<int, std::vector<std::size_t>> holders;  // column: the records of R (index k) that hold it
  for (std::size_t k = 0; k < R.size(); ++k)
    for (const auto& [c, v] : row_of(rows.all_first, rows.all, R[k])) holders[c].push_back(k);
  std::map<int, int> count;
  std::deque<std::size_t> free;
  std::vector<char> gone(R.size(), 0), queued(R.size(), 0);
  for (const auto& [c, h] : holders) {
    count[c] = static_cast<int>(h.size());
    if (h.size() == 1 && !queued[h[0]]) free.push_back(h[0]), queued[h[0]] = 1;
  }
  while (!free.empty()) {
    const std::size_t k = free.front();
    free.pop_front();
    gone[k] = 1;
    for (const auto& [c, v] : row_of(rows.all_first, rows.all, R[k]))
      if (--count[c] == 1)
        for (std::size_t j : holders[c])
          if (!gone[j] && !queued[j]) free.push_back(j), queued[j] = 1;
  }
  // Two records of one row whose values differ bind at once (the usual
  // case, records of one cell without animals of their own); one of the
  // same value adds nothing.
  std::map<Row, double> seen;
  std::vector<int> rest;
  for (std::size_t k = 0; k < R.size(); ++k) {
    if (gone[k]) continue;
    const double y = rows.y[static_cast<std::size_t>(R[k])];
    const auto [at, fresh] = seen.try_emplace(row_of(rows.all_first, rows.all, R[k]), y);
    if (!fresh && at->second != y) return false;
    if (fresh) rest.push_back(R[k]);
  }
  return rest.empty() || !shrunk(rows, rest).binds;
}

// Lowering r by e^-t while the drawn factors of flat-prior effect S rise by
// e^t keeps the variance of the records of those levels and shrinks that of
// the others, R.  Where the locations fit R exactly (each record with an
// animal of its own beside it), nothing holds the fall of r: the drawn
// factors grow without bound.
void refuse_exact_rest(const PairSide& S, const std::string& head, const RecordRows& rows) {
  std::vector<int> R;
  for (std::size_t i = 0; i < S.level.size(); ++i)
    if (S.level[i] == 0 || !S.drawn[static_cast<std::size_t>(S.level[i])]) R.push_back(static_cast<int>(i));
  const auto drawn = std::count(S.drawn.begin() + 1, S.drawn.end(), 1);
  if (S.prior || drawn == 0 || R.empty() || !fitted_exactly(rows, R)) return;
  util::fatal(head + "the " + std::to_string(R.size()) + (R.size() == 1 ? " record" : " records") +
              " of the levels of effect " +
              std::to_string(S.e) +
              " whose factors are not drawn (its reference among them) are fitted exactly by the location"
              " parameters (each has a level of a random effect, an animal of one record, or a fixed level of"
              " its own), so they do not hold r: r can fall toward 0 while the " +
              std::to_string(drawn) + " drawn factors of effect " + std::to_string(S.e) +
              " rise without bound, and those factors have no posterior mean; give the animals repeated records,"
              " or make effect " + std::to_string(S.e) +
              " random (named first in a random group), whose prior holds its factors");
}

}  // namespace

void refuse_unpinned_pair(const PairSide& A, const PairSide& B, const RecordRows& rows) {
  const int na = A.nlev;
  const auto n = static_cast<std::size_t>(na + B.nlev);
  const std::size_t nrec = A.level.size();
  // Nodes: the drawn levels, those of b after those of a.
  auto node = [](const PairSide& S, std::size_t i, int base) {
    const int l = S.level[i];
    return l > 0 && S.drawn[static_cast<std::size_t>(l)] ? base + l - 1 : -1;
  };
  SetLinks L;
  L.na = na;
  L.ra.resize(nrec);
  L.rb.resize(nrec);
  std::vector<std::pair<int, int>> cells;
  Joined all(n);
  for (std::size_t i = 0; i < nrec; ++i) {
    L.ra[i] = node(A, i, 0);
    L.rb[i] = node(B, i, na);
    if (L.ra[i] >= 0 && L.rb[i] >= 0) {
      all.join(L.ra[i], L.rb[i]);
      cells.emplace_back(L.ra[i], L.rb[i]);
    }
  }
  auto drawn = [&](std::size_t v) {
    return v < static_cast<std::size_t>(na) ? A.drawn[v + 1] != 0 : B.drawn[v - static_cast<std::size_t>(na) + 1] != 0;
  };
  auto of_side = [&](const std::vector<char>& in, std::vector<int>& la, std::vector<int>& lb) {
    for (std::size_t u = 0; u < n; ++u)
      if (in[u] && drawn(u))
        (u < static_cast<std::size_t>(na) ? la : lb)
            .push_back(static_cast<int>(u) + 1 - (u < static_cast<std::size_t>(na) ? 0 : na));
  };
  const std::string head =
      util::freev("Structural effects", A.e, "and", B.e, "cannot both have factors per level:") + " ";

  // A block of both effects that no record ties to the rest.
  {
    std::vector<int> moved(n, 0);
    std::vector<char> has_a(n, 0), has_b(n, 0);
    for (std::size_t i = 0; i < nrec; ++i) {
      const int x = L.ra[i] >= 0 ? all.root(L.ra[i]) : -1, y = L.rb[i] >= 0 ? all.root(L.rb[i]) : -1;
      if (x == y) continue;
      if (x >= 0) ++moved[static_cast<std::size_t>(x)];
      if (y >= 0) ++moved[static_cast<std::size_t>(y)];
    }
    for (std::size_t v = 0; v < n; ++v)
      if (drawn(v)) (v < static_cast<std::size_t>(na) ? has_a : has_b)[static_cast<std::size_t>(all.root(static_cast<int>(v)))] = 1;
    for (std::size_t v = 0; v < n; ++v) {
      const auto r = static_cast<std::size_t>(all.root(static_cast<int>(v)));
      if (!drawn(v) || !has_a[r] || !has_b[r] || moved[r] > 0) continue;
      std::vector<char> in(n, 0);
      for (std::size_t u = 0; u < n; ++u) in[u] = static_cast<std::size_t>(all.root(static_cast<int>(u))) == r;
      std::vector<int> la, lb;
      of_side(in, la, lb);
      const bool nested = (la.size() == 1) != (lb.size() == 1);
      util::fatal(head + "the records of " + levels_text(la) + " of effect " + std::to_string(A.e) + " are those of " +
                  levels_text(lb) + " of effect " + std::to_string(B.e) +
                  (nested ? " (one effect nested in the other)"
                          : la.size() == 1 ? " (a block of their own)" : " (a block crossed only within itself)") +
                  ", and none of these levels is held (a reference, or a level of too few records to be drawn), so"
                  " the data tell only the products of their factors, which would drift apart without bound" +
                  (nested ? "; keep one of the two effects structural"
                          : "; pool these levels with other levels of their effects, or link them to the rest by"
                            " records"));
    }
  }

  // Sets to weigh: the blocks that cells of at least 5, 3, 2 and 1 records
  // join, and around each level and each block of the cells of 2, the set
  // that the fewest records tie to the levels that are not drawn.  Each set
  // is the list of its nodes.
  std::sort(cells.begin(), cells.end());
  std::vector<std::vector<int>> sets, seeds;
  for (int least : {5, 3, 2, 1}) {
    Joined J(n);
    for (std::size_t k = 0; k < cells.size();) {
      std::size_t j = k;
      while (j < cells.size() && cells[j] == cells[k]) ++j;
      if (static_cast<int>(j - k) >= least) J.join(cells[k].first, cells[k].second);
      k = j;
    }
    std::map<int, std::vector<int>> blocks;
    for (std::size_t v = 0; v < n; ++v)
      if (drawn(v)) blocks[J.root(static_cast<int>(v))].push_back(static_cast<int>(v));
    for (auto& [r, members] : blocks) {
      if (least == 2 && members.size() > 1) seeds.push_back(members);
      sets.push_back(std::move(members));
    }
  }
  for (std::size_t v = 0; v < n; ++v)
    if (drawn(v)) seeds.push_back({static_cast<int>(v)});
  Cuts cuts(static_cast<int>(n), L);
  for (const std::vector<int>& b : seeds) {
    std::vector<int> around = cuts.around(b, cut_limit);
    if (!around.empty()) sets.push_back(std::move(around));
  }

  std::set<std::vector<int>> weighed;
  std::vector<char> in(n, 0);
  for (const std::vector<int>& members : sets) {
    const bool of_a = std::any_of(members.begin(), members.end(), [na](int v) { return v < na; });
    const bool of_b = std::any_of(members.begin(), members.end(), [na](int v) { return v >= na; });
    if (!of_a || !of_b || A.prior || B.prior || !weighed.insert(members).second) continue;
    std::fill(in.begin(), in.end(), 0);
    for (int v : members) in[static_cast<std::size_t>(v)] = 1;
    std::vector<int> la, lb;
    of_side(in, la, lb);
    const SetSlopes s = set_slopes(L, in, rows);
    const bool a_fails = !s.held_up && s.up >= -1, b_fails = !s.held_down && s.down <= 1;
    if (!a_fails && !b_fails) continue;
    std::string recs;
    int k = 0;
    for (std::size_t i = 0; i < nrec; ++i) {
      const bool x = L.ra[i] >= 0 && in[static_cast<std::size_t>(L.ra[i])];
      const bool y = L.rb[i] >= 0 && in[static_cast<std::size_t>(L.rb[i])];
      if (x != y && ++k <= 10) recs += " " + std::to_string(i + 1);
    }
    const std::string ea = std::to_string(A.e), eb = std::to_string(B.e);
    util::fatal(head + levels_text(la) + " of effect " + ea + " and " + levels_text(lb) + " of effect " + eb +
                " are tied to the other records by " + std::to_string(k) + (k == 1 ? " record" : " records") +
                (k == 0 ? "" : (k == 1 ? " (record" : " (records") + recs + (k > 10 ? " ...)" : ")")) +
                ": raising those factors of effect " + ea + " and lowering those of effect " + eb +
                " changes only these records, which leave " +
                (a_fails && b_fails ? "the factors of both effects"
                                    : "those factors of effect " + (a_fails ? ea : eb)) +
                " without a finite posterior mean (per unit of log factor, the log posterior " +
                fall_text(-s.up, s.held_up) + " as those factors of effect " + ea + " grow and " +
                fall_text(s.down, s.held_down) + " as those of effect " + eb +
                " grow, and a mean needs a fall of more than 1: each record that the change scales up adds 1/2"
                " to the fall on its side, unless fixed location parameters that only such records inform take"
                " it, and records that it scales down, when they repeat a cell or close a cycle of cells with"
                " values that differ, make the fall unbounded); link the levels by more records, pool them with"
                " other levels of their effects, or keep one of the two effects structural");
  }
  refuse_exact_rest(A, head, rows);
  refuse_exact_rest(B, head, rows);
}

}  // namespace sampler
