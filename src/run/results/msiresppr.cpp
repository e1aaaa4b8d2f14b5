#include "run/results/msiresppr.hpp"

#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

// A candidate sire's prior probability and share of the kept cycles.
void check_candidate(const ResultIn& f, const Kept& sm, double mean, double sd, double last,
                     double prop) {
  check_sd(f, sd);
  f.within(last, 0.0, 1.0, "a last probability of");
  if (!sm.kept) return;
  f.within(mean, 0.0, 1.0, "a mean probability of");
  f.within(prop, 0.0, 1.0, "a sample proportion of");
}

}  // namespace

void write_msiresppr(const model::State& s, const Kept& sm) {
  ResultOut f(msiresppr_file);
  f.title(title_msiresppr);
  f.text(head_msiresppr);
  each_candidate(s, [&](int an, int ps, int pp) {
    std::string& b = f.buf();
    util::put_i_field(b, an, 8);
    util::put_i_field(b, static_cast<int>(s.MS(ps)), 8);
    util::put_f_field(b, sm.mean(s.SUMMS(pp)), 14, 6);
    util::put_f_field(b, sm.sd(s.SUMMS(pp), s.SSMS(pp)), 14, 6);
    util::put_f_field(b, s.MS(pp), 14, 6);
    util::put_f_field(b, sm.mean(s.SUMMS(ps)), 14, 6);
    f.end_line();
  });
  f.seal();
}

void read_msiresppr(model::State& s, int start, const Kept& sm) {
  ResultIn f(msiresppr_file, start);
  f.title(title_msiresppr);
  f.label(head_msiresppr);
  each_candidate(s, [&](int an, int ps, int pp) {
    int id1, id2;
    double mean, sd, last, prop;
    // Every candidate's line is checked, so a bad value is never passed over.
    if (!f.values(id1, id2, mean, sd, last, prop))
      f.unreadable(util::freev("error reading msires ppr at effect/animal: ", an));
    f.ids({"animal", "sire"}, {id1, id2}, {an, static_cast<int>(s.MS(ps))});
    check_candidate(f, sm, mean, sd, last, prop);
    sm.rebuild(s.SUMMS(pp), s.SSMS(pp), mean, sd);
    s.SUMMS(ps) = sm.sum(prop);
    s.MS(pp) = last;
  });
  f.end();
  util::say("read msires ppr from file: \"msiresppr\"");
}

}  // namespace run::results
