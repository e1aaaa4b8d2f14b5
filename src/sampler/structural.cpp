// Structural residual effects: the residual variance of a record is r times,
// for each structural effect, a factor of the effect raised to the record's
// multiplier.  Per-level effects (cross-classified, unknown covariable) have a
// factor per level: fixed ones drawn from their inverse-gamma conditionals,
// random ones under an inverse-gamma prior of mean 1 whose shape is drawn as
// well.  Covariable and reaction-norm effects have one factor, drawn by
// Metropolis-Hastings with an inverse chi-square proposal.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/schedule.hpp"
#include "random/distlib.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "sampler/flat_reach.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/structural_pairs.hpp"
#include "sparse/row_rank.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

// Multiplier and parameter equation of effect e for the current record, as
// the record's structural scale reads them.
struct Slot {
  double w;
  int eq;
  bool missing;
};
Slot slot_of(const model::State& s, int e) {
  const int j = workspace(s).cursor.EFF_SLOT(e, 1);
  if (j == 0) return {0.0, 1, true};
  const double w = static_cast<double>(s.WEIGHT_COV(j, 1));
  const bool missing = workspace(s).cursor.SLOT_EFF(j, 1) < 0;
  return {w, structural_equation(s, e, j, 1), missing};
}

// The slots of every record's structural effects into the work.
void keep_record_slots(model::State& s) {
  StructuralWork& work = workspace(s).structural;
  const int nr = m.neffr;
  const std::size_t n = static_cast<std::size_t>(m.nrec) * static_cast<std::size_t>(nr);
  work.slot_w.resize(n);
  work.slot_eq.resize(n);
  std::size_t at = 0;
  for (int i = 1; i <= m.nrec; ++i) {
    s.irec = i;
    find_addresses(s);
    for (int k = 1; k <= nr; ++k, ++at) {
      const Slot sl = slot_of(s, m.pos_effr(k));
      work.slot_w[at] = static_cast<float>(sl.w);
      work.slot_eq[at] = sl.missing ? -sl.eq : sl.eq;
    }
  }
}

// The kept slot of structural effect k (1-based) in record i.
Slot kept_slot(const StructuralWork& work, int i, int k) {
  const std::size_t at = static_cast<std::size_t>(i - 1) * static_cast<std::size_t>(m.neffr) +
                         static_cast<std::size_t>(k - 1);
  const std::int32_t q = work.slot_eq[at];
  return {static_cast<double>(work.slot_w[at]), q < 0 ? -q : q, q < 0};
}

// Brings e(i) from the factor of equation q before its draw to the new one.
void rescale(const model::State& s, const StructuralWork& work, util::mat1<double>& e, int i,
             const Slot& p) {
  if (p.w == 0.0) return;
  const double now = s.R_SOL(p.eq), before = work.old[static_cast<std::size_t>(p.eq - 1)];
  if (now != before) e(i, 1) = e(i, 1) * std::pow(std::sqrt(before / now), p.w);
}

// Under the flat prior the factor of a level of n records, with the p
// location parameters that only those records inform integrated out, has an
// inverse-gamma posterior of shape (n - p)/2 - 1, whose mean is finite only
// above shape 1: n >= 5 + p.  (Every record has its one trait observed: the
// data refuse a record with every trait missing.)
constexpr int records_beyond_own = 5;

// Per-level structural effect e has factors under the flat prior.
bool flat_levels(int e) {
  const model::EffectType et = m.effecttype(e);
  return (et == model::EffectType::cro || et == model::EffectType::unk) && m.randomnumb(e) == 0;
}

// Location parameters that only the records of a level inform, at the least:
// its own, when structural effect e is a fixed location effect.
int own_at_least(const std::vector<char>& fixed, int e) {
  return fixed[static_cast<std::size_t>(e)] && m.pos_eff(e, 1) != 0 ? 1 : 0;
}

// Effects whose levels are fixed location parameters: those in no random
// group (index e).
std::vector<char> fixed_effects() {
  std::vector<char> fixed(static_cast<std::size_t>(m.neff) + 1, 0);
  for (int e = 1; e <= m.neff; ++e) fixed[static_cast<std::size_t>(e)] = !model::in_random_group(e);
  return fixed;
}

// A parameter's level so far joined with that of one more record or
// offspring: 0 none yet, -1 more than one level or outside every level.
std::int32_t joined(std::int32_t h, std::int32_t want) {
  if (want == 0 || h == want) return h;
  return h == 0 ? want : -1;
}

// A record's term of a location parameter: its column and multiplier.
struct Term {
  int rec, eq;
  double w;
};

// A record's level of an effect of an additive group, with its multiplier.
struct RandomSlot {
  int f, level;
  float w;
};

// Terms of the flat-prior levels of the additive groups that only records
// of one level of structural effect x reach, sorted by record, with their
// home levels added to params (index level - 1 from equation a1).
std::vector<Term> local_flat_terms(const std::vector<FlatReach>& peds, const std::vector<std::size_t>& rfirst,
                                   const std::vector<RandomSlot>& rslots, const std::function<int(int)>& want, int a1,
                                   std::vector<std::vector<int>>& params) {
  std::vector<Term> out;
  std::vector<std::int32_t> home;
  std::vector<std::size_t> by_first;
  std::vector<std::pair<int, float>> by;  // records of each level: record, multiplier
  std::vector<std::pair<int, double>> reached;
  for (const FlatReach& P : peds)
    for (int f = P.group(); f < P.group() + m.randomnumb(P.group()); ++f) {
      const int nl = m.nlev(f);
      const auto n = static_cast<std::size_t>(nl) + 1;
      home.assign(n, 0);
      by_first.assign(n + 1, 0);
      for (int i = 1; i <= m.nrec; ++i)
        for (std::size_t p = rfirst[static_cast<std::size_t>(i - 1)]; p < rfirst[static_cast<std::size_t>(i)]; ++p) {
          const auto& [ef, lev, w] = rslots[p];
          if (ef != f) continue;
          const auto l = static_cast<std::size_t>(lev);
          home[l] = joined(home[l], want(i) > 0 ? want(i) : -1);
          ++by_first[l + 1];
        }
      for (std::size_t l = 1; l <= n; ++l) by_first[l] += by_first[l - 1];
      by.assign(by_first[n], {0, 0.0f});
      std::vector<std::size_t> fill(by_first.begin(), by_first.end() - 1);
      for (int i = 1; i <= m.nrec; ++i)
        for (std::size_t p = rfirst[static_cast<std::size_t>(i - 1)]; p < rfirst[static_cast<std::size_t>(i)]; ++p) {
          const auto& [ef, lev, w] = rslots[p];
          if (ef == f) by[fill[static_cast<std::size_t>(lev)]++] = {i, w};
        }
      // Up the pedigree: a level reaches what its offspring reach.
      for (auto it = P.order().rbegin(); it != P.order().rend(); ++it)
        for (int p : P.parents(*it))
          if (p > 0)
            home[static_cast<std::size_t>(p)] =
                joined(home[static_cast<std::size_t>(p)], home[static_cast<std::size_t>(*it)]);
      for (int g = 1; g <= nl; ++g) {
        const auto ug = static_cast<std::size_t>(g);
        if (home[ug] <= 0 || !P.flat(g)) continue;
        const int eq = address1(f, g, 1);
        params[static_cast<std::size_t>(home[ug] - a1)].push_back(eq);
        P.reach(g, reached);
        for (const auto& [d, share] : reached) {
          const auto ud = static_cast<std::size_t>(d);
          for (std::size_t q = by_first[ud]; q < by_first[ud + 1]; ++q)
            out.push_back({by[q].first, eq, share * static_cast<double>(by[q].second)});
        }
      }
    }
  std::stable_sort(out.begin(), out.end(), [](const Term& a, const Term& b) { return a.rec < b.rec; });
  return out;
}

// The rank over a level's records of its own parameters' columns (rows:
// (column, multiplier) pairs from rstart), stopped once five rows have
// depended on those before.  Each column is first centred, where a column
// constant over the same records stands beside it, and scaled to largest
// magnitude 1: neither a shift nor a change of units of a covariable may
// change what the elimination's relative tolerance takes for a remainder.
struct LevelRank {
  int rank, taken;
};
LevelRank level_rank(std::vector<std::pair<int, double>>& cells, const std::vector<std::size_t>& rstart, int np,
                     sparsem::RowEchelon& rows) {
  const std::size_t nrow = rstart.size() - 1;
  const auto un = static_cast<std::size_t>(np);
  std::vector<int> cnt(un, 0);
  std::vector<double> lo(un, 0), hi(un, 0), sum(un, 0);
  std::vector<std::uint64_t> sig(un, 1469598103934665603ULL);
  for (std::size_t r = 0; r < nrow; ++r) {
    // A column given twice in a record adds up.
    auto b = cells.begin() + static_cast<std::ptrdiff_t>(rstart[r]),
         e = cells.begin() + static_cast<std::ptrdiff_t>(rstart[r + 1]);
    std::sort(b, e);
    for (auto it = b; it != e; ++it) {
      if (it + 1 != e && (it + 1)->first == it->first) {
        (it + 1)->second += it->second;
        it->second = 0;
        continue;
      }
      const auto k = static_cast<std::size_t>(it->first);
      const double v = it->second;
      if (v == 0) continue;
      lo[k] = cnt[k] == 0 ? v : std::min(lo[k], v);
      hi[k] = cnt[k] == 0 ? v : std::max(hi[k], v);
      ++cnt[k];
      sum[k] += v;
      sig[k] = (sig[k] ^ (r + 1)) * 1099511628211ULL;
    }
  }
  auto in_row = [&](std::size_t r, int k) {
    const auto b = cells.begin() + static_cast<std::ptrdiff_t>(rstart[r]),
               e = cells.begin() + static_cast<std::ptrdiff_t>(rstart[r + 1]);
    const auto it = std::lower_bound(b, e, std::pair<int, double>(k, -HUGE_VAL));
    for (auto j = it; j != e && j->first == k; ++j)
      if (j->second != 0) return true;
    return false;
  };
  // Columns constant over their records, by those records.
  std::vector<std::pair<std::pair<int, std::uint64_t>, int>> constant;
  for (int k = 0; k < np; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    if (cnt[uk] > 0 && lo[uk] == hi[uk]) constant.push_back({{cnt[uk], sig[uk]}, k});
  }
  std::sort(constant.begin(), constant.end());
  std::vector<double> centre(un, 0), scale(un, 1);
  for (int k = 0; k < np; ++k) {
    const auto uk = static_cast<std::size_t>(k);
    if (cnt[uk] == 0 || lo[uk] == hi[uk]) {
      if (cnt[uk] > 0) scale[uk] = 1 / std::fabs(lo[uk]);
      continue;
    }
    const std::pair<int, std::uint64_t> key{cnt[uk], sig[uk]};
    auto it = std::lower_bound(constant.begin(), constant.end(), std::make_pair(key, -1));
    for (; it != constant.end() && it->first == key; ++it) {
      bool same = true;
      for (std::size_t r = 0; r < nrow && same; ++r)
        if (in_row(r, k)) same = in_row(r, it->second);
      if (same) {
        centre[uk] = sum[uk] / cnt[uk];
        break;
      }
    }
    const double big = std::max(std::fabs(hi[uk] - centre[uk]), std::fabs(lo[uk] - centre[uk]));
    if (big > 0) scale[uk] = 1 / big;
  }
  sparsem::start_rows(rows, np);
  // A row of the same columns as one before it enters less the first such
  // row (the rank stays): dates as yyyymmdd differ by 1e-6 of their size,
  // below the elimination's tolerance, but their differences do not.
  std::map<std::vector<int>, std::vector<std::pair<int, double>>> first_of;
  std::vector<std::pair<int, double>> row;
  std::vector<int> cols;
  int taken = 0;
  for (std::size_t r = 0; r < nrow; ++r) {
    if (rows.dependent == records_beyond_own) break;
    row.clear();
    cols.clear();
    for (std::size_t p = rstart[r]; p < rstart[r + 1]; ++p) {
      const auto [k, v] = cells[p];
      if (v == 0) continue;
      const auto uk = static_cast<std::size_t>(k);
      row.emplace_back(k, (v - centre[uk]) * scale[uk]);
      cols.push_back(k);
    }
    const auto [it, fresh] = first_of.try_emplace(cols, row);
    if (!fresh)
      for (std::size_t q = 0; q < row.size(); ++q) row[q].second -= it->second[q].second;
    sparsem::add_row(rows, row);
    ++taken;
  }
  return {rows.rank, taken};
}

// What a record adds to its level's count of records: 1 for an unknown
// covariable that it holds, else its multiplier.
double record_count(const Slot& sl, model::EffectType et) {
  if (et == model::EffectType::unk) return sl.missing ? 0.0 : 1.0;
  return sl.w;
}

// Records (multiplier sum, as the step counts them) of each level of
// per-level structural effect k (index level).
std::vector<double> level_counts(const StructuralWork& work, int k) {
  const int e = m.pos_effr(k), a1 = address1(e, 1, 1);
  std::vector<double> n(static_cast<std::size_t>(m.nlev(e)) + 1, 0.0);
  for (int i = 1; i <= m.nrec; ++i) {
    const Slot sl = kept_slot(work, i, k);
    const auto l = static_cast<std::size_t>(sl.eq - a1 + 1);
    if (l < 1 || l >= n.size()) continue;
    n[l] += record_count(sl, m.effecttype(e));
  }
  return n;
}

// Level j (equation aj) of a flat-prior structural effect has records
// enough for its factor to be drawn.
bool drawable(const StructuralWork& work, double n, int aj) {
  return n >= records_beyond_own + work.own[static_cast<std::size_t>(aj - 1)] &&
         static_cast<float>(n * 0.5 - 1) > 0.0f;
}

// The reference of flat-prior structural effect k: its last level whose
// factor could be drawn.  A reference that its own records cannot inform
// (none, or as few as its own location parameters take) pins nothing: r
// falls towards 0 and every other factor rises without bound.  Where no
// level could be drawn, the last level with records.
int find_reference(const StructuralWork& work, int k) {
  const int e = m.pos_effr(k), a1 = address1(e, 1, 1), nl = m.nlev(e);
  int with_records = 0;
  for (int i = 1; i <= m.nrec; ++i) {
    const Slot sl = kept_slot(work, i, k);
    if (!sl.missing && sl.w != 0.0) with_records = std::max(with_records, sl.eq - a1 + 1);
  }
  const std::vector<double> n = level_counts(work, k);
  int ref = 0;
  for (int j = 1; j <= nl; ++j)
    if (drawable(work, n[static_cast<std::size_t>(j)], a1 + j - 1)) ref = j;
  if (ref == 0) ref = with_records;
  if (ref == 0 || ref >= nl) return nl;
  const std::string last = std::to_string(nl), at = std::to_string(ref);
  if (with_records <= ref) {
    util::say_text(util::freev("Structural effect", e, "has no records in") +
                   (ref + 1 < nl ? " levels " + std::to_string(ref + 1) + " to " + last : " level " + last) +
                   ": its reference, whose factor stays 1, is level " + at + ", the last level with records");
    return ref;
  }
  const double nlast = n[static_cast<std::size_t>(nl)];
  util::say_text(util::freev("Structural effect", e) +
                 (ref + 1 < nl ? " levels " + std::to_string(ref + 1) + " to " + last +
                                     " have too few records to inform factors of their own"
                               : " level " + last + " has" + util::freev(nlast) +
                                     (nlast == 1 ? " record" : " records") +
                                     ", too few to inform a factor of its own") +
                 ": its reference, whose factor stays 1, is level " + at +
                 ", the last level with records enough for its factor to be drawn");
  return ref;
}

// Each pair of cross-classified structural effects, one at least with
// flat-prior factors, whose factors the data cannot pin stops the run.
void refuse_unpinned_pairs(const StructuralWork& work, const RecordRows& rows) {
  std::vector<PairSide> sides;
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    if (m.effecttype(e) != model::EffectType::cro || m.randomnumb(e) < 0) continue;
    PairSide S;
    S.e = e;
    S.nlev = m.nlev(e);
    const int a1 = address1(e, 1, 1);
    S.level.assign(static_cast<std::size_t>(m.nrec), 0);
    for (int i = 1; i <= m.nrec; ++i) {
      const Slot sl = kept_slot(work, i, k);
      if (!sl.missing && sl.w != 0.0) S.level[static_cast<std::size_t>(i - 1)] = sl.eq - a1 + 1;
    }
    S.drawn.assign(static_cast<std::size_t>(S.nlev) + 1, 1);
    S.prior = m.randomnumb(e) > 0;
    if (m.randomnumb(e) == 0) {
      const std::vector<double> n = level_counts(work, k);
      for (int j = 1; j <= S.nlev; ++j)
        S.drawn[static_cast<std::size_t>(j)] = j < work.reference[static_cast<std::size_t>(k)] &&
                                               drawable(work, n[static_cast<std::size_t>(j)], a1 + j - 1);
    }
    sides.push_back(std::move(S));
  }
  for (std::size_t x = 0; x < sides.size(); ++x)
    for (std::size_t y = x + 1; y < sides.size(); ++y)
      if (m.randomnumb(sides[x].e) == 0 || m.randomnumb(sides[y].e) == 0)
        refuse_unpinned_pair(sides[x], sides[y], rows);
}

// The work's own of the levels of every structural effect with flat-prior
// factors: p, the rank over a level's records of the columns of the flat-
// prior location parameters whose records all lie in it (fixed levels and
// covariables, parent groups), found only where it can decide.
void find_level_information(model::State& s) {
  StructuralWork& work = workspace(s).structural;
  const auto neq = static_cast<std::size_t>(s.neq);
  work.own.assign(neq, 0);
  work.own_groups.assign(neq, 0);
  std::vector<int> flat;  // structural effects k
  for (int k = 1; k <= m.neffr; ++k)
    if (flat_levels(m.pos_effr(k))) flat.push_back(k);
  work.reference.assign(static_cast<std::size_t>(m.neffr) + 1, 0);
  if (flat.empty()) return;
  const std::vector<char> fixed = fixed_effects();
  const std::vector<FlatReach> peds = flat_reaches(s);
  std::vector<char> in_pedigree(static_cast<std::size_t>(m.neff) + 1, 0);
  for (const FlatReach& P : peds)
    for (int f = P.group(); f < P.group() + m.randomnumb(P.group()); ++f) in_pedigree[static_cast<std::size_t>(f)] = 1;

  // Each record's fixed location parameters with their multipliers (its
  // levels are the kept slots), and its levels of the additive groups.
  const std::size_t nk = flat.size();
  std::vector<std::size_t> first(1, 0), rfirst(1, 0);
  std::vector<std::pair<int, float>> terms;
  std::vector<RandomSlot> rslots;
  // Every record's location rows, kept for the pairs' check only.
  int crossed = 0;
  for (int k = 1; k <= m.neffr; ++k)
    crossed += m.effecttype(m.pos_effr(k)) == model::EffectType::cro && m.randomnumb(m.pos_effr(k)) >= 0;
  const bool pairs = crossed >= 2;
  RecordRows located;
  std::vector<int> flat_column(pairs ? neq : 0, -1);
  located.flat_first.assign(1, 0);
  located.all_first.assign(1, 0);
  const RecordCursor& c = workspace(s).cursor;
  for (int i = 1; i <= m.nrec; ++i) {
    s.irec = i;
    find_addresses(s);
    for (int j = 1; j <= c.naddr_t(1); ++j) {
      const int f = c.SLOT_EFF(j, 1);
      const float w = s.WEIGHT_COV(j, 1);
      if (f <= 0 || w == 0.0f) continue;
      const std::pair<int, double> col{s.ADDRESS(j, 1) - 1, static_cast<double>(w)};
      if (fixed[static_cast<std::size_t>(f)]) terms.emplace_back(s.ADDRESS(j, 1), w);
      if (pairs && fixed[static_cast<std::size_t>(f)]) {
        int& at = flat_column[static_cast<std::size_t>(col.first)];
        if (at < 0) at = located.flat_columns++;
        located.flat.emplace_back(at, col.second);
      }
      if (pairs) located.all.push_back(col);
      if (in_pedigree[static_cast<std::size_t>(f)]) rslots.push_back({f, s.ADDRESS(j, 1) - address1(f, 1, 1) + 1, w});
    }
    first.push_back(terms.size());
    rfirst.push_back(rslots.size());
    located.flat_first.push_back(located.flat.size());
    located.all_first.push_back(located.all.size());
    if (pairs) located.y.push_back(static_cast<double>(s.INDATA(i, m.pos_y(1))));
  }

  std::vector<std::int32_t> home(neq), column(neq, -1);
  std::vector<std::pair<int, double>> cells;
  std::vector<std::size_t> rstart;
  sparsem::RowEchelon rows;
  for (std::size_t x = 0; x < nk; ++x) {
    const int ef = m.pos_effr(flat[x]), a1 = address1(ef, 1, 1), nl = m.nlev(ef);
    const int least = own_at_least(fixed, ef);
    auto level_of = [&](int i) {
      const Slot sl = kept_slot(work, i, flat[x]);
      return sl.missing ? 0 : sl.eq;
    };
    // The level all records of each parameter lie in; -1 where they lie in
    // more than one, or outside every level.
    std::fill(home.begin(), home.end(), 0);
    for (int i = 1; i <= m.nrec; ++i) {
      const int want = level_of(i) > 0 ? level_of(i) : -1;
      for (std::size_t p = first[static_cast<std::size_t>(i - 1)]; p < first[static_cast<std::size_t>(i)]; ++p) {
        std::int32_t& h = home[static_cast<std::size_t>(terms[p].first - 1)];
        h = h == 0 || h == want ? want : -1;
      }
    }
    // Records and parameters by level (index level - 1), the reference's
    // too: which level is the reference depends on them.
    std::vector<std::vector<int>> records(static_cast<std::size_t>(nl)), params(static_cast<std::size_t>(nl));
    for (int i = 1; i <= m.nrec; ++i)
      if (level_of(i) > 0) records[static_cast<std::size_t>(level_of(i) - a1)].push_back(i);
    for (std::size_t q = 0; q < neq; ++q)
      if (home[q] > 0) params[static_cast<std::size_t>(home[q] - a1)].push_back(static_cast<int>(q + 1));
    const std::vector<Term> reached = local_flat_terms(peds, rfirst, rslots, level_of, a1, params);
    std::vector<std::size_t> reached_first(static_cast<std::size_t>(m.nrec) + 2, 0);
    for (const Term& t : reached) ++reached_first[static_cast<std::size_t>(t.rec) + 1];
    for (std::size_t i = 1; i < reached_first.size(); ++i) reached_first[i] += reached_first[i - 1];
    for (int j = 1; j <= nl; ++j) {
      const auto aj = static_cast<std::size_t>(address1(ef, j, 1) - 1);
      const std::vector<int>& rec = records[static_cast<std::size_t>(j - 1)];
      const std::vector<int>& par = params[static_cast<std::size_t>(j - 1)];
      const int n = static_cast<int>(rec.size()), np = static_cast<int>(par.size());
      work.own_groups[aj] =
          std::any_of(par.begin(), par.end(), [&](int q) { return home[static_cast<std::size_t>(q - 1)] <= 0; });
      if (np + records_beyond_own <= n) {
        work.own[aj] = np;
        continue;
      }
      for (int k = 0; k < np; ++k) column[static_cast<std::size_t>(par[static_cast<std::size_t>(k)] - 1)] = k;
      cells.clear();
      rstart.assign(1, 0);
      for (int i : rec) {
        const auto ui = static_cast<std::size_t>(i);
        for (std::size_t p = first[ui - 1]; p < first[ui]; ++p) {
          const int k = column[static_cast<std::size_t>(terms[p].first - 1)];
          if (k >= 0) cells.emplace_back(k, static_cast<double>(terms[p].second));
        }
        for (std::size_t p = reached_first[ui]; p < reached_first[ui + 1]; ++p) {
          const int k = column[static_cast<std::size_t>(reached[p].eq - 1)];
          if (k >= 0) cells.emplace_back(k, reached[p].w);
        }
        rstart.push_back(cells.size());
      }
      const LevelRank r = level_rank(cells, rstart, np, rows);
      work.own[aj] = n == 0 ? least : r.rank + (n - r.taken);
      for (int q : par) column[static_cast<std::size_t>(q - 1)] = -1;
    }
    work.reference[static_cast<std::size_t>(flat[x])] = find_reference(work, flat[x]);
  }
  refuse_unpinned_pairs(work, located);
}

// Says, in the first cycle of a run, that the factor of level j of
// structural effect e, with n records and p parameters of its own (parent
// groups among them with groups), is not sampled.
void say_not_sampled(int e, int j, double n, int p, bool groups) {
  std::string line = util::freev("Structural effect", e, "level", j, "has", n, "records");
  if (p != own_at_least(fixed_effects(), e))
    line += util::freev("and", p, p == 1 ? "fixed location parameter" : "fixed location parameters",
                        "that only they inform") +
            (groups ? " (unknown parent groups among them)" : "");
  util::say_text(line + ": its factor is not sampled (a finite posterior mean needs" +
                 util::freev(records_beyond_own + p, "records)"));
}

// Tuning and acceptance of the one-factor step of structural effect k.
void factor_bookkeeping(model::State& s, int k, double P) {
  if (model::tuning_cycle(m.round, m.nburn)) {
    const double sum = s.SUMR_ACCEP(k) + P;
    if (model::tuned_now(model::structural_tuning(), m.round)) {
      const int nu = tune_dbelief(sum / m.r_skip, s.R_DBELIEFPROP(k));
      s.SUMR_ACCEP(k) = 0;
      s.R_DBELIEFPROP(k) = nu;
    } else {
      s.SUMR_ACCEP(k) = sum;
    }
  } else if (model::kept_cycle(m.round)) {
    s.SUMR_ACCEP(k) += P;
  }
}

// The prior-shape step of random per-level effect k (at effect e), given
// A = sum of 1/h + ln h over its levels.
void sample_r_alpha_ggam(model::State& s, int k, int e, double A, bool last_iter) {
  const double P = r_alpha_steps(s.R_ALPHA(k), s.R_ALPHA_VARPROP(k), A, m.nlev(e));
  if (!last_iter) return;
  const bool kept = model::kept_cycle(m.round);
  if (model::tuning_cycle(m.round, m.nburn)) {
    const double sum = s.SUMR_ALPHAACCEP(k) + P;
    const model::Tuning tune = model::structural_alpha_tuning();
    if (model::tuned_now(tune, m.round)) {
      s.R_ALPHA_VARPROP(k) = tune_varprop(sum / tune.window, s.R_ALPHA_VARPROP(k));
      s.SUMR_ALPHAACCEP(k) = 0;
    } else {
      s.SUMR_ALPHAACCEP(k) = sum;
    }
  } else if (kept) {
    s.SUMR_ALPHAACCEP(k) += P;
  }
  if (kept) {
    s.SUMR_ALPHA(k) += s.R_ALPHA(k);
    s.SSR_ALPHA(k) += s.R_ALPHA(k) * s.R_ALPHA(k);
  }
}

}  // namespace

double r_alpha_steps(double& alpha, double v, double A, int nlev) {
  double P = 0;
  for (int step = 1; step <= 5; ++step) {
    const double an = std::exp(prob::gen_normal_scalar(std::log(alpha), v));
    if (an <= 1.0) {
      P = 0;
      continue;
    }
    const double L = r_alpha_log_ratio(an, alpha, A, nlev);
    if (L >= 0) {
      P = 1;
      alpha = an;
    } else {
      P = std::exp(L);
      if (prob::gen_uniform_real() < P) alpha = an;
    }
  }
  return P;
}

double structural_scale_log_ratio(double q, int nu, double ee, double n) {
  return (1.0 / q - q) * (nu - 2) / 2 + ee - ((n - 2) - 2.0 * nu) / 2 * std::log(q);
}

double r_alpha_log_ratio(double an, double alpha, double A, int nlev) {
  return (-r_alpha_s - A) * (an - alpha) + r_alpha_r * (std::log(an) - std::log(alpha)) +
         nlev * (an * std::log(an - 1) - distlib::gamma_log(an) + distlib::gamma_log(alpha) -
                 alpha * std::log(alpha - 1));
}

int tune_dbelief(double rate, int nu, int floor) {
  if (rate > accept_high)
    nu = static_cast<int>(static_cast<float>(nu) * 0.9f);
  else if (rate < accept_low)
    nu = static_cast<int>(static_cast<float>(nu) * 1.05f + 1.0f);
  return std::max(nu, floor);
}

int tune_dbelief(double rate, int nu) { return tune_dbelief(rate, nu, 6); }

double tune_varprop(double rate, double v) {
  if (rate > accept_high) return v * widen;
  if (rate < accept_low) return v * narrow;
  return v;
}

void structural_r(model::State& s, util::mat1<double>& e) {
  const int nr = m.neffr, nrec = m.nrec;
  const auto neq = static_cast<std::size_t>(s.neq);
  double ri = 0;
  denseop::finvcs8(m.r.data(), 1, 1, &ri, 1);
  m.rinv(1, 1) = ri;
  StructuralWork& work = workspace(s).structural;
  work.ee.resize(neq);
  // Factors not drawn in this call keep their value, so nothing is rescaled
  // for them.
  work.old.assign(s.R_SOL.data(), s.R_SOL.data() + neq);
  const bool first_cycle = m.round == m.start;
  auto old = [&work](int q) -> double& { return work.old[static_cast<std::size_t>(q - 1)]; };
  auto ee = [&work](int q) -> double& { return work.ee[static_cast<std::size_t>(q - 1)]; };

  const bool rescale_last = nr > 0 && model::robust_residuals();
  if (m.r_nround > 0 || rescale_last) keep_record_slots(s);
  if (m.r_nround > 0 && (first_cycle || work.own.size() != neq)) find_level_information(s);

  for (int iter = 1; iter <= m.r_nround; ++iter) {
    std::fill(work.ee.begin(), work.ee.end(), 0.0);
    const bool last_iter = iter == m.r_nround;
    for (int k = 1; k <= nr; ++k) {
      const int ef = m.pos_effr(k);
      const model::EffectType et = m.effecttype(ef);
      if (et != model::EffectType::cro && et != model::EffectType::cov &&
          et != model::EffectType::unk && et != model::EffectType::rno)
        util::fatal(util::freev("wrong effecttype: ", ef));
      const bool one = model::single_factor(et);

      // The proposal of a one-factor effect comes before its record loop.
      int a = 0, nu = 0;
      double h = 0, hs = 0, q = 1;
      if (one) {
        a = address1(ef, 1, 1);
        h = s.R_SOL(a);
        nu = s.R_DBELIEFPROP(k);
        hs = prob::gen_invchisq(1.0 / ((nu - 2) * h), nu);
        q = hs / h;
        if (iter == 1 && et == model::EffectType::rno) s.R_NREC(a) = 0;
      }
      const int prev = k > 1 ? k - 1 : (iter > 1 ? nr : 0);
      const int eprev = prev > 0 ? m.pos_effr(prev) : 0;
      const bool count = iter == 1 && (first_cycle || et == model::EffectType::rno);

      for (int i = 1; i <= nrec; ++i) {
        s.irec = i;
        const Slot sl = kept_slot(work, i, k);
        if (count) s.R_NREC(sl.eq) += record_count(sl, et);
        if (eprev > 0) rescale(s, work, e, i, kept_slot(work, i, prev));
        if (sl.w == 0.0) continue;
        const double e2 = e(i, 1) * e(i, 1);
        if (one)
          ee(a) += 0.5 * ri * (e2 - e2 / std::pow(q, sl.w));
        else
          ee(sl.eq) += e2 * ri * std::pow(s.R_SOL(sl.eq), sl.w);
      }

      if (one) {
        old(a) = h;
        const double L = structural_scale_log_ratio(q, nu, ee(a), s.R_NREC(a));
        const double P = L >= 0 ? 1.0 : std::exp(L);
        if (prob::gen_uniform_real() <= P) s.R_SOL(a) = hs;
        if (last_iter) factor_bookkeeping(s, k, P);
        continue;
      }
      const int rn = m.randomnumb(ef);
      if (rn < 0) continue;
      if (rn == 0) {
        // Fixed levels; the reference keeps its factor, and so do the
        // levels after it (they have no records).
        const int ref = work.reference.empty() ? m.nlev(ef) : work.reference[static_cast<std::size_t>(k)];
        for (int j = 1; j <= ref - 1; ++j) {
          const int aj = address1(ef, j, 1);
          old(aj) = s.R_SOL(aj);
          const float sc = static_cast<float>(ee(aj) * 0.5);
          const float shape = static_cast<float>(s.R_NREC(aj) * 0.5 - 1);
          const int own = work.own[static_cast<std::size_t>(aj - 1)];
          if (s.R_NREC(aj) >= records_beyond_own + own && shape > 0.0f) {
            s.R_SOL(aj) = static_cast<double>(sc / rangen::sgamma(shape));
          } else if (first_cycle && iter == 1) {
            // Too few records for a finite posterior mean: the factor
            // would drift without bound, so it stays.
            say_not_sampled(ef, j, s.R_NREC(aj), own, work.own_groups[static_cast<std::size_t>(aj - 1)] != 0);
          }
        }
        continue;
      }
      const double alpha = s.R_ALPHA(k);
      double s1 = 0, s2 = 0;
      for (int j = 1; j <= m.nlev(ef); ++j) {
        const int aj = address1(ef, j, 1);
        old(aj) = s.R_SOL(aj);
        const float b = static_cast<float>(ee(aj) * 0.5 - 1 + alpha);
        const float shape = static_cast<float>(s.R_NREC(aj) * 0.5 + alpha);
        const double hj = static_cast<double>(b / rangen::sgamma(shape));
        s.R_SOL(aj) = hj;
        if (hj <= 0)
          util::say("eff:", ef, "level:", j, "r_nrec:", s.R_NREC(aj), "ee: ", ee(aj), "a: ", shape,
                    "b: ", b, "r_alpha", alpha, "sol: ", hj);
        s1 += 1 / hj;
        s2 += std::log(hj);
      }
      sample_r_alpha_ggam(s, k, ef, s1 + s2, last_iter);
    }
  }

  write_structural_samples(s, sample_files(s));
  if (model::kept_cycle(m.round)) {
    for (int q = 1; q <= s.neq; ++q) {
      s.SUMR_SOL(q) += s.R_SOL(q);
      s.SSR_SOL(q) += s.R_SOL(q) * s.R_SOL(q);
    }
  }
  // The robustness weights read residuals standardised by the new factors;
  // the last effect's change is still to be applied.
  if (rescale_last) {
    for (int i = 1; i <= nrec; ++i) {
      s.irec = i;
      rescale(s, work, e, i, kept_slot(work, i, nr));
    }
  }
}

}  // namespace sampler
