#include "sampler/covariable_spread.hpp"

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "util/format.hpp"

namespace sampler {

namespace {

using model::m;

// Mean and sum of squared deviations, updated one value at a time (years
// near 2000 with a spread of 1 lose nothing to cancellation).
struct Spread {
  long n = 0;
  double mean = 0.0, ss = 0.0;
  void add(double x) {
    ++n;
    const double d = x - mean;
    mean += d / static_cast<double>(n);
    ss += d * (x - mean);
  }
  double sd() const { return n > 1 ? std::sqrt(ss / static_cast<double>(n - 1)) : 0.0; }
  // Values all equal have no spread to centre against: left alone.
  bool far() const { return sd() > 0.0 && std::fabs(mean) > far_from_zero * sd(); }
  // Posterior correlation of the coefficient with a constant over these
  // records (flat priors, nothing else in the model).
  double correlation() const {
    return -mean / std::sqrt(mean * mean + ss / static_cast<double>(n));
  }
};

std::string num(double v, int digits) {
  char b[40];
  std::snprintf(b, sizeof b, "%.*g", digits, v);
  return b;
}

std::string shown(const Spread& p) {
  return "mean " + num(p.mean, 6) + ", sd " + num(p.sd(), 4) + " (" + std::to_string(p.n) +
         (p.n == 1 ? " record)" : " records)");
}

bool fixed_class_effect(int f, int t) {
  return m.effecttype(f) == model::EffectType::cro && m.pos_eff(f, t) != 0 && !model::in_random_group(f);
}

// True when every level of fixed class effect f (trait t) lies within one
// class of data column nc, over the records that have both.
bool levels_within_classes(const model::State& s, int f, int t, int nc) {
  const int col = m.pos_eff(f, t);
  if (col == nc) return true;
  std::vector<int> class_of(static_cast<std::size_t>(m.nlev(f)) + 1, 0);
  for (int irec = 1; irec <= m.nrec; ++irec) {
    const int l = static_cast<int>(s.INDATA(irec, col)), c = static_cast<int>(s.INDATA(irec, nc));
    if (l < 1 || l > m.nlev(f) || c == 0) continue;
    int& k = class_of[static_cast<std::size_t>(l)];
    if (k == 0) k = c;
    if (k != c) return false;
  }
  return true;
}

void judge(const model::State& s, int e, int t) {
  const int col = m.pos_eff(e, t), nc = m.nestedcov(e, t);
  bool constant = false, per_class = false;
  for (int f = 1; f <= m.neff; ++f) {
    if (!fixed_class_effect(f, t)) continue;
    constant = true;
    if (nc > 0 && !per_class) per_class = levels_within_classes(s, f, t, nc);
  }
  if (!constant) return;
  const int classes = per_class ? m.nlev(e) : 1;
  std::vector<Spread> sp(static_cast<std::size_t>(classes));
  for (int irec = 1; irec <= m.nrec; ++irec) {
    const float v = s.INDATA(irec, col);
    if (v == static_cast<float>(m.miss)) continue;
    const int c = per_class ? static_cast<int>(s.INDATA(irec, nc)) : 1;
    if (c >= 1 && c <= classes) sp[static_cast<std::size_t>(c - 1)].add(static_cast<double>(v));
  }
  int flagged = 0;
  double worst = 0.0;
  std::string which;
  for (int c = 1; c <= classes; ++c) {
    const Spread& p = sp[static_cast<std::size_t>(c - 1)];
    if (!p.far()) continue;
    if (std::fabs(p.correlation()) > std::fabs(worst)) worst = p.correlation();
    if (++flagged <= 5)
      which += (flagged == 1 ? "" : "; ") + (per_class ? "class " + std::to_string(c) + " " : "") +
               shown(p);
    else if (flagged == 6)
      which += "; ...";
  }
  if (flagged == 0) return;
  const std::string what =
      " warning: covariable effect " + std::to_string(e) + " (data column " + std::to_string(col) +
      (nc > 0 ? ", nested within the classes of column " + std::to_string(nc) : "") + ")";
  const std::string corr = "(correlation " + num(worst, 7) + (flagged > 1 ? " at most" : "") + ")";
  const std::string slow =
      ", along which draws of one effect at a time barely move, so the chain mixes very slowly; ";
  if (!per_class) {
    util::say_text(what + " lies far from 0 against its spread: " + which +
                   ". Its coefficient and the levels of a fixed class effect beside it are then"
                   " nearly one direction " + corr + slow +
                   "centre it (subtract its mean): the model and its coefficient stay the same, the"
                   " class levels take in the mean (manual, section 3)");
    return;
  }
  util::say_text(what + " lies far from 0 against its spread within " + std::to_string(flagged) +
                 " of its " + std::to_string(classes) + " classes: " + which +
                 ". Within such a class its coefficient and the levels of a fixed class effect"
                 " there are then nearly one direction " + corr + slow +
                 "centre it within each class (subtract each class's mean): the model and its"
                 " coefficients stay the same, the class levels take in the means (manual,"
                 " section 3)");
}

}  // namespace

void warn_far_covariables(const model::State& s) {
  for (int e = 1; e <= m.neff; ++e) {
    if (m.effecttype(e) != model::EffectType::cov) continue;
    for (int t = 1; t <= m.ntrait; ++t) {
      const int col = m.pos_eff(e, t);
      bool seen = col == 0;  // absent for the trait, or read for an earlier one
      for (int u = 1; u < t && !seen; ++u)
        seen = m.pos_eff(e, u) == col && m.nestedcov(e, u) == m.nestedcov(e, t);
      if (!seen) judge(s, e, t);
    }
  }
}

}  // namespace sampler
