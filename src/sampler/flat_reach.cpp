#include "sampler/flat_reach.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "model/model.hpp"
#include "sampler/relationship.hpp"

namespace sampler {

namespace {

using model::m;

// Fewest levels among the group's effects.
int group_levels(int e) {
  int lim = m.nlev(e);
  for (int i = 1; i < m.randomnumb(e); ++i) lim = std::min(lim, m.nlev(e + i));
  return lim;
}

// A group whose lines name a dam and a sire or candidate sires, with its
// own terms (not the plain additive rules a single breed without
// candidates is built by).
bool candidate_lines(int e) {
  const model::RandomType t = model::build_type(e);
  return t == model::RandomType::add_an_ms || model::multiple_breed(t);
}

// The pedigree lines of group e whose animals have terms of their own, as
// ranges of ids: the animals before the parent groups, and in a reduced
// animal model the animals without equations after the levels.
std::array<std::pair<int, int>, 2> weighted_lines(int e, int lim) {
  const int len = std::max(m.lenped(e), 0);
  if (m.randomtype(e) == model::RandomType::add_an_ms) {
    const int animals = std::min(m.nlev(e) - m.ngrp(e), lim);
    if (e == model::reduced_animal_group())
      return {{{1, animals}, {m.nlev(e) + 1, std::min(len, lim)}}};
    return {{{1, animals}, {1, 0}}};
  }
  return {{{1, std::min(len - m.ngrp(e), lim)}, {1, 0}}};
}

}  // namespace

FlatReach::FlatReach(const model::State& s, int e) : e_(e), lim_(group_levels(e)) {
  const bool cand = candidate_lines(e);
  if (cand && e == model::reduced_animal_group()) lim_ = std::max(lim_, m.lenped(e));
  const auto n = static_cast<std::size_t>(lim_) + 1;
  flat_.assign(n, 1);
  parent_.assign(n, {0, 0});
  share_.assign(n, {0.0, 0.0});
  cand_first_.assign(n + 1, 0);
  drawn_.assign(n, 0);
  std::vector<int> pending(n, 0), count(n + 1, 0);
  auto link = [&](std::size_t a, int p) {
    ++pending[a];
    ++count[static_cast<std::size_t>(p)];
  };
  if (!cand) {
    const model::RandomType type = model::build_type(e);
    GroupTerms t;
    pedigree_lines(s, type, e, t);
    for (const PedLine& L : t.lines) {
      // A line of no weight adds nothing to A^-1: its animal keeps a flat prior.
      if (L.n == 0 || L.k[0] != 0 || L.m <= 0.0) continue;
      const auto ua = static_cast<std::size_t>(L.id[0]);
      flat_[ua] = 0;
      for (int j = 1; j < L.n; ++j) {
        const int p = L.id[j], k = L.k[j] - 1;
        parent_[ua][static_cast<std::size_t>(k)] = p;
        share_[ua][static_cast<std::size_t>(k)] =
            type == model::RandomType::add_sire && k == 1 ? 0.25 : 0.5;
        link(ua, p);
      }
    }
  } else {
    // An uncorrelated multiple-breed effect takes nothing from its parents.
    const bool inherits = m.randomtype(e) != model::RandomType::diag_mb;
    auto known = [this](int p) { return p > 0 && p <= lim_; };
    for (const auto& [lo, hi] : weighted_lines(e, lim_))
      for (int an = lo; an <= hi; ++an) {
        const auto ua = static_cast<std::size_t>(an);
        flat_[ua] = 0;
        const int dam = s.PED(e, an, 2), sire = s.PED(e, an, 3);
        if (inherits && known(dam)) {
          parent_[ua][0] = dam;
          share_[ua][0] = 0.5;
          link(ua, dam);
        }
        const bool listed = an <= s.P_MS.size() && s.P_MS(an) > 0;
        const bool draw = listed && an <= s.MS_STAT.size() && s.MS_STAT(an) == 1;
        if (!draw && sire >= 0) {
          if (inherits && known(sire)) {
            parent_[ua][1] = sire;
            share_[ua][1] = 0.5;
            link(ua, sire);
          }
          continue;
        }
        if (!listed || !inherits) continue;
        // The candidates with a sire (0 passes the draw on); a drawn sire's
        // are averaged by their prior probabilities, an undrawn one keeps
        // them as they are for the whole run.
        const int p = s.P_MS(an), nc = static_cast<int>(s.MS(p));
        // While the probabilities stay those of the file, one of 0 is never drawn.
        const bool redrawn = model::samples_msires();
        double sum = 0;
        for (int k = 1; k <= nc; ++k)
          if (known(static_cast<int>(s.MS(p + 2 * k - 1)))) sum += s.MS(p + 2 * k);
        for (int k = 1; k <= nc; ++k) {
          const int c = static_cast<int>(s.MS(p + 2 * k - 1));
          if (!known(c) || (s.MS(p + 2 * k) == 0 && !redrawn)) continue;
          const double w = draw ? (sum > 0 ? s.MS(p + 2 * k) / sum : 0.0) : s.MS(p + 2 * k);
          cands_.emplace_back(c, 0.5 * w);
          link(ua, c);
        }
        drawn_[ua] = draw ? 1 : 0;
        cand_first_[ua + 1] = cands_.size();
      }
    // Candidate lists in id order: ids without candidates take the end of
    // the one before.
    for (std::size_t a = 1; a <= n; ++a)
      cand_first_[a] = std::max(cand_first_[a], cand_first_[a - 1]);
  }
  kid_first_.assign(n + 1, 0);
  for (std::size_t a = 1; a < n; ++a)
    kid_first_[a + 1] = kid_first_[a] + static_cast<std::size_t>(count[a]);
  kids_.assign(kid_first_[n], 0);
  std::vector<std::size_t> fill(kid_first_.begin(), kid_first_.end() - 1);
  for (std::size_t a = 1; a < n; ++a) {
    for (int p : parent_[a])
      if (p > 0) kids_[fill[static_cast<std::size_t>(p)]++] = static_cast<int>(a);
    for (const auto& [c, w] : candidates(static_cast<int>(a)))
      kids_[fill[static_cast<std::size_t>(c)]++] = static_cast<int>(a);
  }
  // Parents before offspring (the pedigree has no loops: it was read so).
  at_.assign(n, 0);
  for (std::size_t a = 1; a < n; ++a)
    if (pending[a] == 0) order_.push_back(static_cast<int>(a));
  for (std::size_t k = 0; k < order_.size(); ++k) {
    const auto a = static_cast<std::size_t>(order_[k]);
    at_[a] = static_cast<int>(k);
    for (std::size_t q = kid_first_[a]; q < kid_first_[a + 1]; ++q)
      if (--pending[static_cast<std::size_t>(kids_[q])] == 0) order_.push_back(kids_[q]);
  }
  got_.assign(n, 0.0);
}

void FlatReach::reach(int g, std::vector<std::pair<int, double>>& out) const {
  out.assign(1, {g, 1.0});
  if (g > lim_) return;
  // Its descendants (got_ -1: seen), then their shares parents first.
  got_[static_cast<std::size_t>(g)] = 1;
  for (std::size_t k = 0; k < out.size(); ++k) {
    const auto uk = static_cast<std::size_t>(out[k].first);
    for (std::size_t q = kid_first_[uk]; q < kid_first_[uk + 1]; ++q) {
      const int d = kids_[q];
      if (got_[static_cast<std::size_t>(d)] == 0) {
        got_[static_cast<std::size_t>(d)] = -1;
        out.emplace_back(d, 0.0);
      }
    }
  }
  std::sort(out.begin() + 1, out.end(),
            [this](const std::pair<int, double>& a, const std::pair<int, double>& b) {
              return at_[static_cast<std::size_t>(a.first)] <
                     at_[static_cast<std::size_t>(b.first)];
            });
  // A parent outside the descendants holds 0; one inside went before.
  for (std::size_t k = 1; k < out.size(); ++k)
    got_[static_cast<std::size_t>(out[k].first)] = out[k].second = inherited(out[k].first, got_);
  for (const auto& [d, v] : out) got_[static_cast<std::size_t>(d)] = 0;
}

double FlatReach::inherited(int id, const std::vector<double>& value) const {
  const auto u = static_cast<std::size_t>(id);
  double v = 0;
  for (std::size_t j = 0; j < 2; ++j)
    if (parent_[u][j] > 0) v += share_[u][j] * value[static_cast<std::size_t>(parent_[u][j])];
  for (const auto& [c, w] : candidates(id)) v += w * value[static_cast<std::size_t>(c)];
  return v;
}

int FlatReach::sire_dependence(const std::vector<std::pair<int, double>>& at, double tol) const {
  std::vector<double> value(static_cast<std::size_t>(lim_) + 1, 0.0);
  double big = 0;
  for (const auto& [l, v] : at) {
    big = std::max(big, std::fabs(v));
    if (l <= lim_) value[static_cast<std::size_t>(l)] = v;
  }
  for (int a : order_)
    if (!flat_[static_cast<std::size_t>(a)]) value[static_cast<std::size_t>(a)] = inherited(a, value);
  for (int a : order_) {
    if (!drawn(a)) continue;
    double lo = HUGE_VAL, hi = -HUGE_VAL;
    for (const auto& [c, w] : candidates(a)) {
      lo = std::min(lo, value[static_cast<std::size_t>(c)]);
      hi = std::max(hi, value[static_cast<std::size_t>(c)]);
    }
    if (hi - lo > tol * big) return a;
  }
  return 0;
}

int nonparent_animal(const model::State& s, int t) {
  const int e = model::reduced_animal_group();
  if (e == 0 || m.pos_eff(e, t) == 0) return 0;
  const int level = static_cast<int>(s.INDATA(s.irec, m.pos_eff(e, t)));
  return level > m.nlev(e) && level <= m.lenped(e) ? level : 0;
}

namespace {

template <class Takes>
std::vector<FlatReach> reaches_of(const model::State& s, Takes takes) {
  std::vector<FlatReach> out;
  for (int e = 1; e <= m.neff; ++e)
    if (m.randomnumb(e) > 0 && takes(e)) out.emplace_back(s, e);
  return out;
}

}  // namespace

std::vector<FlatReach> flat_reaches(const model::State& s) {
  return reaches_of(s, [](int e) { return model::additive_lines(m.randomtype(e)); });
}

std::vector<FlatReach> every_flat_reach(const model::State& s) {
  return reaches_of(s, [](int e) { return model::additive_lines(model::build_type(e)) || candidate_lines(e); });
}

}  // namespace sampler
