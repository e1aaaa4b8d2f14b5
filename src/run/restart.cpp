#include "run/restart.hpp"

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "run/model.hpp"
#include "run/store.hpp"
#include "sampler/records.hpp"
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

// One result file read back.
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
  template <class... T>
  bool values(T&&... t) {
    return in_.readv(std::forward<T>(t)...) == ReadStatus::ok;
  }
  // A line of `ints` integers and one word, then three reals.
  bool labelled(int ints, double& a, double& b, double& c) {
    std::string_view line;
    if (!in_.getline(line)) return false;
    auto sep = [](char ch) { return ch == ' ' || ch == '\t' || ch == ',' || ch == '\r'; };
    std::size_t p = 0;
    for (int k = 0; k <= ints; ++k) {
      while (p < line.size() && sep(line[p])) ++p;
      if (p == line.size()) return false;
      const std::size_t b0 = p;
      while (p < line.size() && !sep(line[p])) ++p;
      if (k < ints) {
        int discard;
        if (util::TextIn::from_text(std::string(line.substr(b0, p - b0))).readv(discard) != ReadStatus::ok)
          return false;
      }
    }
    return util::TextIn::from_text(std::string(line.substr(p))).readv(a, b, c) == ReadStatus::ok;
  }

 private:
  util::TextIn in_;
  std::string name_;
  int start_;
};

// A value line of three integers and mean, sd and last.  False when it
// cannot be read.
bool level_values(ResultIn& f, const Rebuild& rb, double& S, double& Q, double& last) {
  int i1, i2, i3;
  double mean, sd, x;
  if (!f.values(i1, i2, i3, mean, sd, x)) return false;
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
  f.skip();
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
        } else if (!level_values(f, rb, s.SUMSOL(a), s.SSSOL(a), s.SOL(a))) {
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
        } else if (!level_values(f, rb, S, Q, last)) {
          level_error(msg, e, an, t);
        }
        if (room) {
          s.SUMSOL_N(i, c) = S;
          s.SSSOL_N(i, c) = Q;
          s.SOL_N(i, c) = last;
        }
      }
  }
  util::say("read solutions from file: \"solutions\"");
}

void read_msiresppr(State& s, int start, const Rebuild& rb) {
  ResultIn f("msiresppr", start);
  f.title();
  f.skip();
  results::each_candidate(s, [&](int an, int ps, int pp) {
    int id1, id2;
    double mean, sd, last, prop;
    // Every candidate's line is checked, so a bad value is never passed over.
    if (!f.values(id1, id2, mean, sd, last, prop))
      util::fatal(util::freev("error reading msires ppr at effect/animal: ", an));
    rb.pair(s.SUMMS(pp), s.SSMS(pp), mean, sd);
    s.SUMMS(ps) = rb.kept ? prop * rb.n : 0.0;
    s.MS(pp) = last;
  });
  util::say("read msires ppr from file: \"msiresppr\"");
}

// d rows of d values each, one free-format read per row; fail(i) is the
// message of a row that cannot be read.
template <class Fail, class Put>
void read_rows(ResultIn& f, int d, std::vector<double>& row, Fail fail, Put put) {
  row.assign(static_cast<std::size_t>(d), 0.0);
  for (int i = 1; i <= d; ++i) {
    if (!f.values(std::span<double>(row))) util::fatal(fail(i));
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
    f.skip();
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SUMG(e, i, j) = rb.kept ? v * rb.n : 0.0; });
    f.skip();
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SSG(e, i, j) = squares(s.SUMG(e, i, j), v); });
    f.skip();
    read_rows(f, d, row, fail, [&](int i, int j, double v) { m.g(e, i, j) = v; });
  }
  const int nt = m.ntrait;
  auto fail = [](int i) { return util::freev("error reading R at trait: ", i); };
  f.skip();
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SUMR(i, j) = rb.kept ? v * rb.n : 0.0; });
  f.skip();
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SSR(i, j) = squares(s.SUMR(i, j), v); });
  f.skip();
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { m.r(i, j) = v; });
  util::say("read variance components from file: \"varcomp\"");
}

// With no cycle left to run, the evaluation at the posterior means (columns
// 3 on) is still that of the stored sums and is kept as well.
void read_loglike_obs(State& s, int start, const Rebuild& rb) {
  const int ncol = m.ntrait + 3;
  const bool evaluation = start > m.nround;
  ResultIn f("loglike_obs", start);
  f.title();
  f.skip();
  std::vector<double> v(static_cast<std::size_t>(evaluation ? ncol : 2));
  for (int i = 1; i <= m.nrec; ++i) {
    int obs;
    if (!f.values(obs, std::span<double>(v)))
      util::fatal(util::freev("error reading loglilke_obs at record: ", i));
    const bool any = rb.kept;
    s.LOGL_OBS(i, 1) = any ? rb.n / v[0] : 0.0;
    s.LOGL_OBS(i, 2) = any ? rb.n * v[1] : 0.0;
    if (evaluation)
      for (int c = 3; c <= ncol; ++c) s.LOGL_OBS(i, c) = v[static_cast<std::size_t>(c - 1)];
  }
  util::say("read loglike_obs from file: \"loglike_obs\"");
}

void read_mh_acceptance(State& s, int start, const Rebuild& rb) {
  util::TextIn in(std::string("mh_acceptance"));
  std::string_view line;
  auto rate_and = [&](auto& setting, double& sum) {
    in.getline(line);  // the label
    double rate;
    if (in.readv(rate, setting) != ReadStatus::ok) return false;
    sum = rb.sum_of_rate(rate);
    return true;
  };
  for (int e = 1; e <= m.neff; ++e) {
    if (!is_multibreed(m.randomtype(e))) continue;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2)
        if (!rate_and(s.MB_DBELIEF(e, b1, b2), s.SUMMB_ACCEP(e, b1, b2)))
          util::fatal(util::freev("error reading acceptance rate at effect: ", e));
  }
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    switch (structural_kind(e)) {
      case Structural::scale:
        if (!rate_and(s.R_DBELIEFPROP(k), s.SUMR_ACCEP(k)))
          util::fatal(util::freev("error reading acceptance rate at structural effect: ", e));
        break;
      case Structural::levels_alpha:
        if (!rate_and(s.R_ALPHA_VARPROP(k), s.SUMR_ALPHAACCEP(k)))
          util::fatal(util::freev("error reading acceptance rate for alpha at structural effect: ", e));
        break;
      case Structural::levels:
        break;
    }
  }
  if (m.neffr > 0 && start <= m.nburn) s.SUMR_ACCEP.fill(0.0);
  if (m.residualtype == model::res_student_t || m.residualtype == model::res_struct_student_t)
    if (!rate_and(s.w_alpha_varprop, s.sumw_alphaaccep))
      util::fatal(util::freev("error reading acceptance rate for alpha robust"));
  util::say("Read acceptance rates and proposal dbelief from file: \"mh_acceptance\"");
}

void read_structural_r(State& s, int start, const Rebuild& rb) {
  const int nt = m.ntrait;
  ResultIn f("structural_r", start);
  f.title();
  f.skip();
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    const Structural kind = structural_kind(e);
    if (kind == Structural::levels_alpha) {
      double mean, sd, last;
      if (!f.labelled(2, mean, sd, last))
        util::fatal(util::freev("error reading structural R alpha at effect: ", e));
      rb.pair(s.SUMR_ALPHA(k), s.SSR_ALPHA(k), mean, sd);
      s.R_ALPHA(k) = last;
    }
    const int levels = kind == Structural::scale ? 1 : m.nlev(e);
    for (int l = 1; l <= levels; ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = sampler::address1(e, l, t);
        if (m.pos_eff(e, t) == 0) {
          rb.pair(s.SUMR_SOL(a), s.SSR_SOL(a), s.SUMR_SOL(a), s.SSR_SOL(a));
        } else if (!level_values(f, rb, s.SUMR_SOL(a), s.SSR_SOL(a), s.R_SOL(a))) {
          level_error("error reading structural R at effect: ", e, l, t);
        }
      }
  }
  util::say("read structural R from file: \"Structural_r\"");
}

void read_robustness_w(State& s, int start, const Rebuild& rb) {
  ResultIn f("robustness_w", start);
  f.title();
  f.skip();
  for (int t = 1; t <= m.ntrait; ++t) {
    double mean, sd, last;
    if (!f.labelled(1, mean, sd, last)) util::fatal(util::freev("error reading robustness w_alpha"));
    rb.pair(s.sumw_alpha, s.ssw_alpha, mean, sd);
    s.w_alpha = last;
    for (int i = 1; i <= m.nrec; ++i) {
      int t1, i1;
      double x;
      if (!f.values(t1, i1, mean, sd, x))
        util::fatal(util::freev("error reading robustness w at record: ", i, " trait: ", t));
      rb.pair(s.SUMWEIGHT_ROBUST(i), s.SSWEIGHT_ROBUST(i), mean, sd);
      s.WEIGHT_ROBUST(i) = x;
    }
  }
  util::say("Read robustness weights from file: \"robustness_w\"");
}

}  // namespace

void restart(State& s, int start) {
  // Cycle 1 starts a fresh chain, which creates the sample files anew.
  if (start <= 1)
    util::fatal(util::freev("restart at cycle", start,
                            "not possible: a restarted chain continues at cycle 2 or later"));
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
  open_sample_files(s, start);
  if (uses_mh_files()) read_mh_acceptance(s, start, rb);
  if (m.neffr > 0) read_structural_r(s, start, rb);
  if (robust_weights()) read_robustness_w(s, start, rb);
}

}  // namespace run
