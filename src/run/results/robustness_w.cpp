#include "run/results/robustness_w.hpp"

#include <string>

#include "model/model.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

using model::m;

// A robustness weight: above 0, and at most 1 with slash residuals.
void check_weight(const ResultIn& f, const Kept& sm, double mean, double last) {
  const bool slash = model::slash(m.residualtype);
  check_positive(f, sm, mean, last, 0.0, "weight");
  if (!slash) return;
  f.within(last, 0.0, 1.0, "a last weight of");
  if (sm.kept) f.within(mean, 0.0, 1.0, "a mean weight of");
}

}  // namespace

void write_robustness_w(const model::State& s, const Kept& sm) {
  ResultOut f(robustness_w_file);
  f.title(title_robustness_w);
  f.text(head_robustness_w);
  for (int t = 1; t <= m.ntrait; ++t) {
    std::string& b = f.buf();
    util::put_i_field(b, t, 3);
    util::put_a(b, "    alpha", 10);
    util::put_f_field(b, sm.mean(s.sumw_alpha), 15, 6);
    util::put_f_field(b, sm.sd(s.sumw_alpha, s.ssw_alpha), 15, 6);
    util::put_f_field(b, s.w_alpha, 15, 6);
    f.end_line();
    for (int i = 1; i <= m.nrec; ++i) {
      std::string& r = f.buf();
      util::put_i_field(r, t, 3);
      util::put_i_field(r, i, 10);
      util::put_f_field(r, sm.mean(s.SUMWEIGHT_ROBUST(i)), 15, 6);
      util::put_f_field(r, sm.sd(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i)), 15, 6);
      util::put_f_field(r, s.WEIGHT_ROBUST(i), 15, 6);
      f.end_line();
    }
  }
  f.seal();
}

void read_robustness_w(model::State& s, int start, const Kept& sm) {
  ResultIn f(robustness_w_file, start);
  f.title(title_robustness_w);
  f.label(head_robustness_w);
  for (int t = 1; t <= m.ntrait; ++t) {
    double mean, sd, last;
    int id[1];
    if (!f.labelled(1, id, "alpha", mean, sd, last))
      f.unreadable(util::freev("error reading robustness w_alpha"));
    f.ids({"trait"}, {id[0]}, {t});
    check_sd(f, sd);
    check_positive(f, sm, mean, last, 0.0, "shape alpha");
    sm.rebuild(s.sumw_alpha, s.ssw_alpha, mean, sd);
    s.w_alpha = last;
    for (int i = 1; i <= m.nrec; ++i) {
      int t1, i1;
      double x;
      if (!f.values(t1, i1, mean, sd, x))
        f.unreadable(util::freev("error reading robustness w at record: ", i, " trait: ", t));
      f.ids({"trait", "record"}, {t1, i1}, {t, i});
      check_sd(f, sd);
      check_weight(f, sm, mean, x);
      sm.rebuild(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i), mean, sd);
      s.WEIGHT_ROBUST(i) = x;
    }
  }
  f.end();
  util::say("Read robustness weights from file: \"robustness_w\"");
}

}  // namespace run::results
