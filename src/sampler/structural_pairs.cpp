#include "sampler/structural_pairs.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>

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

}  // namespace

void refuse_unpinned_pair(const PairSide& A, const PairSide& B, int least) {
  const int na = A.nlev;
  const auto n = static_cast<std::size_t>(na + B.nlev);
  const std::size_t nrec = A.level.size();
  // Nodes: the drawn levels, those of b after those of a.
  auto node = [](const PairSide& S, std::size_t i, int base) {
    const int l = S.level[i];
    return l > 0 && S.drawn[static_cast<std::size_t>(l)] ? base + l - 1 : -1;
  };
  std::vector<int> ra(nrec), rb(nrec);
  std::vector<std::pair<int, int>> cells;
  Joined all(n), strong(n);
  for (std::size_t i = 0; i < nrec; ++i) {
    ra[i] = node(A, i, 0);
    rb[i] = node(B, i, na);
    if (ra[i] >= 0 && rb[i] >= 0) {
      all.join(ra[i], rb[i]);
      cells.emplace_back(ra[i], rb[i]);
    }
  }
  // Cells of enough records tie their two levels as firmly as a level is
  // tied to its own factor.
  std::sort(cells.begin(), cells.end());
  for (std::size_t k = 0; k < cells.size();) {
    std::size_t j = k;
    while (j < cells.size() && cells[j] == cells[k]) ++j;
    if (static_cast<int>(j - k) >= least) strong.join(cells[k].first, cells[k].second);
    k = j;
  }
  auto drawn = [&](std::size_t v) {
    return v < static_cast<std::size_t>(na) ? A.drawn[v + 1] != 0 : B.drawn[v - static_cast<std::size_t>(na) + 1] != 0;
  };
  auto check = [&](Joined& U, bool thin) {
    // Records that a set's direction changes: those with one level in it.
    std::vector<int> moved(n, 0);
    std::vector<char> has_a(n, 0), has_b(n, 0);
    for (std::size_t i = 0; i < nrec; ++i) {
      const int x = ra[i] >= 0 ? U.root(ra[i]) : -1, y = rb[i] >= 0 ? U.root(rb[i]) : -1;
      if (x == y) continue;
      if (x >= 0) ++moved[static_cast<std::size_t>(x)];
      if (y >= 0) ++moved[static_cast<std::size_t>(y)];
    }
    for (std::size_t v = 0; v < n; ++v)
      if (drawn(v)) (v < static_cast<std::size_t>(na) ? has_a : has_b)[static_cast<std::size_t>(U.root(static_cast<int>(v)))] = 1;
    for (std::size_t v = 0; v < n; ++v) {
      const int r = U.root(static_cast<int>(v));
      const auto ur = static_cast<std::size_t>(r);
      if (!drawn(v) || !has_a[ur] || !has_b[ur] || (thin ? moved[ur] >= least : moved[ur] > 0)) continue;
      // The first such set, its levels by effect.
      std::vector<int> la, lb;
      for (std::size_t u = 0; u < n; ++u)
        if (drawn(u) && U.root(static_cast<int>(u)) == r)
          (u < static_cast<std::size_t>(na) ? la : lb)
              .push_back(static_cast<int>(u) + 1 - (u < static_cast<std::size_t>(na) ? 0 : na));
      const std::string head =
          util::freev("Structural effects", A.e, "and", B.e, "cannot both have factors per level:") + " ";
      const std::string of_a = levels_text(la) + " of effect " + std::to_string(A.e),
                        of_b = levels_text(lb) + " of effect " + std::to_string(B.e);
      if (thin) {
        std::string recs;
        int k = 0;
        for (std::size_t i = 0; i < nrec; ++i) {
          const int x = ra[i] >= 0 ? U.root(ra[i]) : -1, y = rb[i] >= 0 ? U.root(rb[i]) : -1;
          if (x != y && (x == r || y == r) && ++k <= 10) recs += " " + std::to_string(i + 1);
        }
        util::fatal(head + of_a + " and " + of_b + " are tied to the other records by only " +
                    std::to_string(moved[ur]) + (moved[ur] == 1 ? " record (record" : " records (records") + recs +
                    (moved[ur] > 10 ? " ...)" : ")") + ": raising those factors of effect " + std::to_string(A.e) +
                    " and lowering those of effect " + std::to_string(B.e) +
                    " changes only these records, and a finite posterior mean needs at least " +
                    std::to_string(least) + "; link the levels by more records, pool them with other levels of" +
                    " their effects, or keep one of the two effects structural");
      }
      const bool nested = (la.size() == 1) != (lb.size() == 1);
      util::fatal(head + "the records of " + of_a + " are those of " + of_b +
                  (nested ? " (one effect nested in the other)"
                          : la.size() == 1 ? " (a block of their own)" : " (a block crossed only within itself)") +
                  ", and none of these levels is held (a reference, or a level of too few records to be drawn), so"
                  " the data tell only the products of their factors, which would drift apart without bound" +
                  (nested ? "; keep one of the two effects structural"
                          : "; pool these levels with other levels of their effects, or link them to the rest by"
                            " records"));
    }
  };
  check(all, false);
  check(strong, true);
}

}  // namespace sampler
