#include "run/results/structural_r.hpp"

#include <string>

#include "model/model.hpp"
#include "sampler/records.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

using model::m;
using model::Structural;

}  // namespace

void write_structural_r(const model::State& s, const Kept& sm) {
  const int nt = m.ntrait;
  ResultOut f(structural_r_file);
  f.title(title_structural_r);
  f.text(head_solutions);
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    const Structural kind = model::structural_kind(e);
    if (kind == Structural::levels_alpha) {
      std::string& b = f.buf();
      util::put_i_field(b, 1, 3);
      util::put_i_field(b, e, 3);
      util::put_a(b, "  alpha", 8);
      util::put_f_field(b, sm.mean(s.SUMR_ALPHA(k)), 15, 6);
      util::put_f_field(b, sm.sd(s.SUMR_ALPHA(k), s.SSR_ALPHA(k)), 15, 6);
      util::put_f_field(b, s.R_ALPHA(k), 15, 6);
      f.end_line();
    }
    const int levels = kind == Structural::scale ? 1 : m.nlev(e);
    for (int l = 1; l <= levels; ++l)
      for (int t = 1; t <= nt; ++t) {
        if (m.pos_eff(e, t) == 0) continue;
        const int a = sampler::address1(e, l, t);
        write_level(f, sm, t, e, l, s.SUMR_SOL(a), s.SSR_SOL(a), s.R_SOL(a));
      }
  }
  f.seal();
}

void read_structural_r(model::State& s, int start, const Kept& sm) {
  const int nt = m.ntrait;
  ResultIn f(structural_r_file, start);
  f.title(title_structural_r);
  f.label(head_solutions);
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    const Structural kind = model::structural_kind(e);
    if (kind == Structural::levels_alpha) {
      double mean, sd, last;
      int id[2];
      if (!f.labelled(2, id, "alpha", mean, sd, last))
        f.unreadable(util::freev("error reading structural R alpha at effect: ", e));
      f.ids({"trait", "effect"}, {id[0], id[1]}, {1, e});
      check_sd(f, sd);
      // Proposals at or below 1 are never taken: the shape stays above 1.
      check_positive(f, sm, mean, last, 1.0, "shape alpha");
      sm.rebuild(s.SUMR_ALPHA(k), s.SSR_ALPHA(k), mean, sd);
      s.R_ALPHA(k) = last;
    }
    const int levels = kind == Structural::scale ? 1 : m.nlev(e);
    for (int l = 1; l <= levels; ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = sampler::address1(e, l, t);
        if (m.pos_eff(e, t) == 0) {
          sm.rebuild(s.SUMR_SOL(a), s.SSR_SOL(a), s.SUMR_SOL(a), s.SSR_SOL(a));
        } else if (double mean;
                   !read_level(f, sm, t, e, l, s.SUMR_SOL(a), s.SSR_SOL(a), s.R_SOL(a), &mean)) {
          level_error(f, "error reading structural R at effect: ", e, l, t);
        } else {
          check_positive(f, sm, mean, s.R_SOL(a), 0.0, "factor");
        }
      }
  }
  f.end();
  util::say("read structural R from file: \"structural_r\"");
}

}  // namespace run::results
