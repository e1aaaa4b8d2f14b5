#include "run/restart.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "random/rangen.hpp"
#include "run/chain_state.hpp"
#include "run/model.hpp"
#include "run/store.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/rnorm.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run {

using model::m;
using namespace results;
using util::ReadStatus;

namespace {

// Running sums rebuilt from the stored summaries with the kept count n of
// the stored cycle.  Without kept samples the sums start empty.
struct Rebuild {
  double n = 0;
  bool kept = false;
  void pair(double& S, double& Q, double mean, double sd) const {
    if (!kept) {
      S = 0;
      Q = 0;
      return;
    }
    S = mean * n;
    Q = n * (sd * sd) + S * S / n;
  }
  // The store writes a rate as the sum itself while n is 0.
  double sum_of_rate(double rate) const { return n != 0 ? rate * n : rate; }
};

// Blanks of a line collapsed and trimmed, for comparing label lines.
std::string words_of(std::string_view line) {
  std::string w;
  for (char c : line) {
    const bool blank = c == ' ' || c == '\t' || c == '\r';
    if (!blank)
      w += c;
    else if (!w.empty() && w.back() != ' ')
      w += ' ';
  }
  if (!w.empty() && w.back() == ' ') w.pop_back();
  return w;
}

bool all_finite(std::span<const util::ReadTarget> ts) {
  for (const util::ReadTarget& t : ts)
    for (std::size_t k = 0; k < t.n; ++k) {
      if (t.kind == util::ReadTarget::R64 && !std::isfinite(static_cast<const double*>(t.p)[k])) return false;
      if (t.kind == util::ReadTarget::R32 && !std::isfinite(static_cast<const float*>(t.p)[k])) return false;
    }
  return true;
}

// One result file read back.  Besides the reads of the layout, a line that
// does not fit the model (other identifiers or labels, more values, lines
// past the end) and a number that is not finite are refused, naming the
// file and the line: such files would poison the continued chain.
class ResultIn {
 public:
  ResultIn(const char* name, int start) : in_(std::string(name)), name_(name), start_(start) {}

  // The title line, whose cycle must be the one before the restart cycle.
  void title() {
    std::string_view line;
    int stored = 0;
    bool found = in_.getline(line);
    if (found) {
      const std::size_t at = line.find("after:");
      found = at != std::string_view::npos &&
              util::TextIn::from_text(std::string(line.substr(at + 6))).readv(stored) == ReadStatus::ok;
    }
    const std::string file = "\"" + name_ + "\"";
    if (!found)
      util::fatal(util::freev("restart at cycle", start_, ": no stored cycle in the title line of", file));
    if (stored != start_ - 1)
      util::fatal(util::freev("restart at cycle", start_, "needs the results of cycle", start_ - 1, "but",
                              file, "holds those of cycle", stored));
  }
  void skip() {
    std::string_view line;
    in_.getline(line);
  }
  // A label line that must read as the store writes it for this model.
  void label(const std::string& expected) {
    std::string_view line;
    if (!in_.getline(line)) return;  // the next read fails with the file's message
    if (words_of(line) != words_of(expected))
      refuse("is \"" + words_of(line) + "\" where the model has \"" + words_of(expected) + "\"");
  }
  // One free-format read of exactly the values of its lines.  False when it
  // cannot be read.
  template <class... T>
  bool values(T&&... t) {
    const util::ReadTarget ts[] = {util::ReadTarget(t)...};
    return checked(std::span<const util::ReadTarget>(ts, sizeof...(T)), true);
  }
  // The same, the rest of the last line not used.
  template <class... T>
  bool leading_values(T&&... t) {
    const util::ReadTarget ts[] = {util::ReadTarget(t)...};
    return checked(std::span<const util::ReadTarget>(ts, sizeof...(T)), false);
  }
  // A line of `ints` integers (into ids) and one word, then three reals.
  bool labelled(int ints, int* ids, std::string_view word, double& a, double& b, double& c) {
    std::string_view line;
    if (!in_.getline(line)) return false;
    auto sep = [](char ch) { return ch == ' ' || ch == '\t' || ch == ',' || ch == '\r'; };
    std::size_t p = 0;
    for (int k = 0; k <= ints; ++k) {
      while (p < line.size() && sep(line[p])) ++p;
      if (p == line.size()) return false;
      const std::size_t b0 = p;
      while (p < line.size() && !sep(line[p])) ++p;
      const std::string_view item = line.substr(b0, p - b0);
      if (k < ints) {
        if (util::TextIn::from_text(std::string(item)).readv(ids[k]) != ReadStatus::ok) return false;
      } else if (item != word) {
        refuse("has \"" + std::string(item) + "\" where the model has \"" + std::string(word) + "\"");
      }
    }
    util::TextIn rest = util::TextIn::from_text(std::string(line.substr(p)));
    if (rest.readv(a, b, c) != ReadStatus::ok) return false;
    if (!std::isfinite(a) || !std::isfinite(b) || !std::isfinite(c)) refuse(not_finite);
    if (rest.dropped_items()) refuse(more_values);
    return true;
  }
  // Identifiers read from the last line against those the model gives there.
  void ids(std::initializer_list<const char*> names, std::initializer_list<int> found,
           std::initializer_list<int> want) {
    if (std::equal(found.begin(), found.end(), want.begin())) return;
    auto list = [&](std::initializer_list<int> v) {
      std::string t;
      auto n = names.begin();
      for (int x : v) t += std::string(t.empty() ? "" : " ") + *n++ + " " + std::to_string(x);
      return t;
    };
    refuse("is for " + list(found) + " where the model has " + list(want));
  }
  // Nothing but blank lines may follow the last line the model gives.
  void end() {
    std::string_view line;
    while (in_.getline(line))
      if (!words_of(line).empty()) refuse("is past the last line the model gives");
  }
  long line_number() const { return in_.line_number(); }
  [[noreturn]] void refuse(const std::string& what) {
    util::fatal(" restart refused: \"" + name_ + "\" line " + std::to_string(in_.line_number()) + " " + what);
  }

 private:
  static constexpr const char* not_finite = "holds a number that is not finite";
  static constexpr const char* more_values = "holds more values than the model gives";
  bool checked(std::span<const util::ReadTarget> ts, bool whole_line) {
    if (in_.read(ts) != ReadStatus::ok) return false;
    if (!all_finite(ts)) refuse(not_finite);
    if (whole_line && in_.dropped_items()) refuse(more_values);
    return true;
  }
  util::TextIn in_;
  std::string name_;
  int start_;
};

// A value line of three integers and mean, sd and last, for trait t,
// effect e and level l.  False when it cannot be read.
bool level_values(ResultIn& f, const Rebuild& rb, int t, int e, int l, double& S, double& Q, double& last) {
  int i1, i2, i3;
  double mean, sd, x;
  if (!f.values(i1, i2, i3, mean, sd, x)) return false;
  f.ids({"trait", "effect", "level"}, {i1, i2, i3}, {t, e, l});
  rb.pair(S, Q, mean, sd);
  last = x;
  return true;
}

[[noreturn]] void level_error(const char* what, int e, int l, int t) {
  util::fatal(util::freev(what, e, " level :", l, " trait: ", t));
}

void read_solutions(State& s, int start, const Rebuild& rb) {
  const int nt = m.ntrait;
  ResultIn f("solutions", start);
  f.title();
  f.label(head_solutions);
  int f_ram = 0, j_ram = 0;
  for (int e = 1; e <= m.neff; ++e)
    if (m.effecttype(e) == model::eff_ram && f_ram == 0) f_ram = e;
  const char* msg = "error reading solutions at effect: ";
  int base = 0;
  for (int e = 1; e <= m.neff; ++e) {
    for (int l = 1; l <= m.nlev(e); ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = base + (l - 1) * nt + t;
        if (m.pos_eff(e, t) == 0) {
          rb.pair(s.SUMSOL(a), s.SSSOL(a), s.SUMSOL(a), s.SSSOL(a));
        } else if (!level_values(f, rb, t, e, l, s.SUMSOL(a), s.SSSOL(a), s.SOL(a))) {
          level_error(msg, e, l, t);
        }
      }
    base += m.nlev(e) * nt;
    if (m.effecttype(e) != model::eff_ram) continue;
    // Animals without equations of their own; values the state has no room
    // for are read and dropped.
    ++j_ram;
    const util::mat1<double>& sn = s.SOL_N;
    for (int an = m.nlev(e) + 1; an <= m.lenped(f_ram); ++an)
      for (int t = 1; t <= nt; ++t) {
        const int i = an - m.nlev(e), c = (j_ram - 1) * nt + t;
        const bool room = i <= sn.rows() && c <= sn.cols() && i <= s.SUMSOL_N.rows() &&
                          c <= s.SUMSOL_N.cols() && i <= s.SSSOL_N.rows() && c <= s.SSSOL_N.cols();
        double S = room ? s.SUMSOL_N(i, c) : 0, Q = room ? s.SSSOL_N(i, c) : 0, last = room ? sn(i, c) : 0;
        if (m.pos_eff(e, t) == 0) {
          rb.pair(S, Q, S, Q);
        } else if (!level_values(f, rb, t, e, an, S, Q, last)) {
          level_error(msg, e, an, t);
        }
        if (room) {
          s.SUMSOL_N(i, c) = S;
          s.SSSOL_N(i, c) = Q;
          s.SOL_N(i, c) = last;
        }
      }
  }
  f.end();
  util::say("read solutions from file: \"solutions\"");
}

void read_msiresppr(State& s, int start, const Rebuild& rb) {
  ResultIn f("msiresppr", start);
  f.title();
  f.label(head_msiresppr);
  results::each_candidate(s, [&](int an, int ps, int pp) {
    int id1, id2;
    double mean, sd, last, prop;
    // Every candidate's line is checked, so a bad value is never passed over.
    if (!f.values(id1, id2, mean, sd, last, prop))
      util::fatal(util::freev("error reading msires ppr at effect/animal: ", an));
    f.ids({"animal", "sire"}, {id1, id2}, {an, static_cast<int>(s.MS(ps))});
    rb.pair(s.SUMMS(pp), s.SSMS(pp), mean, sd);
    s.SUMMS(ps) = rb.kept ? prop * rb.n : 0.0;
    s.MS(pp) = last;
  });
  f.end();
  util::say("read msires ppr from file: \"msiresppr\"");
}

// d rows of d values each, one free-format read per row; fail(i) is the
// message of a row that cannot be read.
// A row takes exactly the lines of its d values, ten to a line.
template <class Fail, class Put>
void read_rows(ResultIn& f, int d, std::vector<double>& row, Fail fail, Put put) {
  row.assign(static_cast<std::size_t>(d), 0.0);
  for (int i = 1; i <= d; ++i) {
    const long before = f.line_number();
    if (!f.values(std::span<double>(row))) util::fatal(fail(i));
    if (f.line_number() - before != (d + 9) / 10) f.refuse("holds fewer values than the model gives");
    for (int j = 1; j <= d; ++j) put(i, j, row[static_cast<std::size_t>(j - 1)]);
  }
}

void read_varcomp(State& s, int start, const Rebuild& rb) {
  ResultIn f("varcomp", start);
  f.title();
  std::vector<double> row;
  // Sums of squares from the sd and the sum just rebuilt.
  auto squares = [&rb](double S, double sd) { return rb.kept ? rb.n * (sd * sd) + S * S / rb.n : 0.0; };
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = block_order(e);
    if (d <= 0) continue;
    auto fail = [e](int) { return util::freev("error reading G at effect: ", e); };
    f.label(util::freev(label_g_mean, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SUMG(e, i, j) = rb.kept ? v * rb.n : 0.0; });
    f.label(util::freev(label_g_sd, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SSG(e, i, j) = squares(s.SUMG(e, i, j), v); });
    f.label(util::freev(label_g_last, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { m.g(e, i, j) = v; });
  }
  const int nt = m.ntrait;
  auto fail = [](int i) { return util::freev("error reading R at trait: ", i); };
  f.label(label_r_mean);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SUMR(i, j) = rb.kept ? v * rb.n : 0.0; });
  f.label(label_r_sd);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SSR(i, j) = squares(s.SUMR(i, j), v); });
  f.label(label_r_last);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { m.r(i, j) = v; });
  f.end();
  util::say("read variance components from file: \"varcomp\"");
}

// With no cycle left to run, the evaluation at the posterior means (columns
// 3 on) is still that of the stored sums and is kept as well.
void read_loglike_obs(State& s, int start, const Rebuild& rb) {
  const int ncol = m.ntrait + 3;
  const bool evaluation = start > m.nround;
  ResultIn f("loglike_obs", start);
  f.title();
  f.label(head_loglike_obs);
  std::vector<double> v(static_cast<std::size_t>(evaluation ? ncol : 2));
  for (int i = 1; i <= m.nrec; ++i) {
    int obs;
    if (!f.leading_values(obs, std::span<double>(v)))
      util::fatal(util::freev("error reading loglilke_obs at record: ", i));
    f.ids({"record"}, {obs}, {i});
    const bool any = rb.kept;
    s.LOGL_OBS(i, 1) = any ? rb.n / v[0] : 0.0;
    s.LOGL_OBS(i, 2) = any ? rb.n * v[1] : 0.0;
    if (evaluation)
      for (int c = 3; c <= ncol; ++c) s.LOGL_OBS(i, c) = v[static_cast<std::size_t>(c - 1)];
  }
  f.end();
  util::say("read loglike_obs from file: \"loglike_obs\"");
}

// The covariates of unknown covariables drawn by Metropolis-Hastings: the
// proposal variance, as the tuning of the chain can have left it, and each
// level's rate back to its sum.
void read_covariate_rates(ResultIn& f, State& s, int start) {
  const int round = start - 1;
  for (int u = 1; u <= m.neff; ++u) {
    if (!sampler::covariates_by_mh(u)) continue;
    f.label(util::freev(label_covariate_rates, u));
    const auto fail = [u] {
      util::fatal(util::freev("error reading acceptance rates of the covariates of effect: ", u));
    };
    double v = 0;
    if (!f.values(v)) fail();
    // From 100, each tuning step multiplies the variance by 1.05 or 0.9;
    // the file has eight decimals.
    const int steps = sampler::covariate_tuning_steps(round);
    const double low = 100.0 * std::pow(sampler::narrow, steps),
                 high = 100.0 * std::pow(sampler::widen, steps);
    if (!(v >= low * (1 - 1e-6) - 1e-8 && v <= high * (1 + 1e-6) + 1e-8))
      f.refuse(util::freev("holds a proposal variance", v, "that", steps,
                           "tuning steps from 100 cannot give")
                   .substr(1));
    s.H_VARPROP(u) = v;
    for (int l = 1; l <= m.nlev(u); ++l) {
      int level = 0;
      double rate = 0;
      if (!f.values(level, rate)) fail();
      f.ids({"level"}, {level}, {l});
      if (!(rate >= 0 && rate <= 1))
        f.refuse(util::freev("holds an acceptance rate", rate, "outside 0 to 1").substr(1));
      s.SUMH_ACCEP(sampler::address1(u, l, 1)) = sampler::covariate_sum(rate, round);
    }
  }
}

void read_mh_acceptance(State& s, int start, const Rebuild& rb) {
  ResultIn f("mh_acceptance", start);
  auto rate_and = [&](const std::string& label, auto& setting, double& sum) {
    f.label(label);
    double rate;
    if (!f.values(rate, setting)) return false;
    sum = rb.sum_of_rate(rate);
    return true;
  };
  for (int e = 1; e <= m.neff; ++e) {
    if (!is_multibreed(m.randomtype(e))) continue;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2)
        if (!rate_and(util::freev(label_mb_rate, e, label_breeds, b1, b2), s.MB_DBELIEF(e, b1, b2),
                      s.SUMMB_ACCEP(e, b1, b2)))
          util::fatal(util::freev("error reading acceptance rate at effect: ", e));
  }
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    switch (structural_kind(e)) {
      case Structural::scale:
        if (!rate_and(util::freev(label_structural_rate, e), s.R_DBELIEFPROP(k), s.SUMR_ACCEP(k)))
          util::fatal(util::freev("error reading acceptance rate at structural effect: ", e));
        break;
      case Structural::levels_alpha:
        if (!rate_and(util::freev(label_structural_alpha_rate, e), s.R_ALPHA_VARPROP(k), s.SUMR_ALPHAACCEP(k)))
          util::fatal(util::freev("error reading acceptance rate for alpha at structural effect: ", e));
        break;
      case Structural::levels:
        break;
    }
  }
  if (m.residualtype == model::res_student_t || m.residualtype == model::res_struct_student_t)
    if (!rate_and(label_robust_alpha_rate, s.w_alpha_varprop, s.sumw_alphaaccep))
      util::fatal(util::freev("error reading acceptance rate for alpha robust"));
  read_covariate_rates(f, s, start);
  f.end();
  util::say("Read acceptance rates and proposal dbelief from file: \"mh_acceptance\"");
}

void read_structural_r(State& s, int start, const Rebuild& rb) {
  const int nt = m.ntrait;
  ResultIn f("structural_r", start);
  f.title();
  f.label(head_solutions);
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    const Structural kind = structural_kind(e);
    if (kind == Structural::levels_alpha) {
      double mean, sd, last;
      int id[2];
      if (!f.labelled(2, id, "alpha", mean, sd, last))
        util::fatal(util::freev("error reading structural R alpha at effect: ", e));
      f.ids({"trait", "effect"}, {id[0], id[1]}, {1, e});
      rb.pair(s.SUMR_ALPHA(k), s.SSR_ALPHA(k), mean, sd);
      s.R_ALPHA(k) = last;
    }
    const int levels = kind == Structural::scale ? 1 : m.nlev(e);
    for (int l = 1; l <= levels; ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = sampler::address1(e, l, t);
        if (m.pos_eff(e, t) == 0) {
          rb.pair(s.SUMR_SOL(a), s.SSR_SOL(a), s.SUMR_SOL(a), s.SSR_SOL(a));
        } else if (!level_values(f, rb, t, e, l, s.SUMR_SOL(a), s.SSR_SOL(a), s.R_SOL(a))) {
          level_error("error reading structural R at effect: ", e, l, t);
        }
      }
  }
  f.end();
  util::say("read structural R from file: \"structural_r\"");
}

void read_robustness_w(State& s, int start, const Rebuild& rb) {
  ResultIn f("robustness_w", start);
  f.title();
  f.label(head_robustness_w);
  for (int t = 1; t <= m.ntrait; ++t) {
    double mean, sd, last;
    int id[1];
    if (!f.labelled(1, id, "alpha", mean, sd, last)) util::fatal(util::freev("error reading robustness w_alpha"));
    f.ids({"trait"}, {id[0]}, {t});
    rb.pair(s.sumw_alpha, s.ssw_alpha, mean, sd);
    s.w_alpha = last;
    for (int i = 1; i <= m.nrec; ++i) {
      int t1, i1;
      double x;
      if (!f.values(t1, i1, mean, sd, x))
        util::fatal(util::freev("error reading robustness w at record: ", i, " trait: ", t));
      f.ids({"trait", "record"}, {t1, i1}, {t, i});
      rb.pair(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i), mean, sd);
      s.WEIGHT_ROBUST(i) = x;
    }
  }
  f.end();
  util::say("Read robustness weights from file: \"robustness_w\"");
}

// The stored means become sums again through the kept count, which the
// burn-in and thinning interval fix: a continued chain keeps both.
void check_settings(const record::Store& st, int start) {
  const std::string rec = std::string("\"") + record::file + "\"";
  auto same = [&](const char* what, int given, int stored) {
    if (stored >= 0 && given != stored)
      util::fatal(util::freev("restart at cycle", start, ": the parameter file gives a " + std::string(what) + " of",
                              given, "but the chain in", rec, "has", stored,
                              "; a continued chain keeps its burn-in and thinning interval"));
  };
  same("burn-in", m.nburn, st.burn_in);
  same("thinning interval", m.skip, st.thinning);
}

}  // namespace

void restart(State& s, int start) {
  // Cycle 1 starts a fresh chain, which creates the sample files anew.
  if (start <= 1)
    util::fatal(util::freev("restart at cycle", start,
                            "not possible: a restarted chain continues at cycle 2 or later"));
  // A store interrupted after it was made is finished first; the leftovers
  // of one interrupted before it are discarded.
  record::recover();
  record::Store st;
  const bool recorded = record::read(st);
  if (recorded) check_settings(st, start);
  // The stream goes on from the store once every file is read.
  const rangen::Stream stream = recorded ? chain::read(s, start, st) : rangen::stream();
  Rebuild rb;
  const int n = kept_count(start - 1);
  rb.n = static_cast<double>(n);
  rb.kept = m.nburn < start - 1 && n > 0;

  read_solutions(s, start, rb);
  if (m.max_msires > 1) read_msiresppr(s, start, rb);
  read_varcomp(s, start, rb);
  if (m.nburn < start - 1) {
    read_loglike_obs(s, start, rb);
  } else {
    s.LOGL_OBS.fill(0.0);
  }
  const std::string rec = std::string("\"") + record::file + "\"";
  if (!recorded)
    util::fatal(util::freev("restart at cycle", start, ":", rec,
                            "is missing, so the sample files cannot be matched to the result files"));
  if (st.cycle != start - 1)
    util::fatal(util::freev("restart at cycle", start, "needs the results of cycle", start - 1, "but", rec,
                            "holds those of cycle", st.cycle));
  open_sample_files(s, start, st);
  if (uses_mh_files()) read_mh_acceptance(s, start, rb);
  if (m.neffr > 0) read_structural_r(s, start, rb);
  if (robust_weights()) read_robustness_w(s, start, rb);
  rangen::set_stream(stream);
}

}  // namespace run
