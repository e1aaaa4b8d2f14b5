#include "run/store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "run/chain_state.hpp"
#include "run/store_record.hpp"
#include "sampler/records.hpp"
#include "sampler/resid_steps.hpp"
#include "sampler/rnorm.hpp"
#include "sampler/samplefiles.hpp"
#include "util/disk_queue.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run {

using model::m;
using namespace results;
using model::Structural;
using model::Tuning;

namespace results {

namespace {

// A sample file reopened to go on writing at its end.  It must exist: the
// chain that made it is being continued.
void reopen(util::TextOut& f, const char* name) {
  struct stat st;
  const int err = ::stat(name, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
  if (err != 0) util::fatal_stderr(std::string("cannot open file \"") + name + "\": " + std::strerror(err));
  f.open(name, util::TextOut::Mode::append);
}

// Tuning lines come while the cycle is at most half of burn-in (32-bit
// comparisons).
bool in_tuning(int round, bool strictly) {
  const float c = static_cast<float>(round), h = 0.5f * static_cast<float>(m.nburn);
  return strictly ? c < h : c <= h;
}

// How the lines of a sample file fall into the cycles that wrote them:
// entries that begin with a line holding the cycle, lines that each begin
// with their cycle, or lines without a cycle.
enum class Layout { entries, cycle_lines, lines };

// The sample files of the chain, in the order of record::sample_names, with
// what a store at cycle `round` does to each.
struct SampleFile {
  const char* name;
  util::TextOut* out;
  bool has;     // the chain has the file
  bool close;   // the store closes it
  bool reopen;  // and opens it again at its end
  bool resumed; // a chain restarted at cycle `round` opens it
  Layout layout;
};

void chain_sample_files(model::State& s, int round, SampleFile (&f)[record::max_samples]) {
  sampler::SampleFiles& sf = sampler::sample_files;
  const bool going_on = round < m.nround;
  const bool mh = model::uses_mh_files();
  const bool tuning = in_tuning(round, false);
  f[0] = {sampler::varcompsam_file, &sf.varcompsam, true, true, going_on, true, Layout::entries};
  f[1] = {sampler::loglike_rnd_file, &sf.loglike_rnd, true, true, going_on, true, Layout::entries};
  f[2] = {"msirespprsam", &s.msirespprsam,    model::samples_msires(), true, going_on,
          true,           Layout::cycle_lines};
  f[3] = {sampler::mh_dbeliefchg_file,
          &sf.mh_dbeliefchg,
          mh,
          tuning,
          in_tuning(round, true),
          tuning,
          Layout::lines};
  f[4] = {sampler::solutionsam_file,
          &sf.solutionsam,
          model::saves_solutions(),
          true,
          going_on,
          true,
          Layout::entries};
}

// Bytes [from, to) of a file, fewer where it ends.
std::string bytes_of(const char* name, long long from, long long to) {
  std::string b;
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) util::io_fail("cannot open file", name, errno);
  b.resize(static_cast<std::size_t>(to - from));
  std::size_t got = 0;
  while (got < b.size()) {
    const ssize_t r = ::pread(fd, b.data() + got, b.size() - got,
                              static_cast<off_t>(from) + static_cast<off_t>(got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      const int err = errno;
      ::close(fd);
      util::io_fail("cannot read file", name, err);
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  ::close(fd);
  b.resize(got);
  return b;
}

// The last n lines of a file that end at byte `end` (a line end), or fewer
// when the file has fewer.
std::string last_lines(const char* name, long long end, long long n) {
  long long want = 4096;
  for (;;) {
    const long long from = std::max(0LL, end - want);
    const std::string b = bytes_of(name, from, end);
    // The newline before the n-th line from the end.
    long long seen = 0;
    for (std::size_t i = b.size(); i-- > 0;)
      if (b[i] == '\n' && ++seen == n + 1) return b.substr(i + 1);
    if (from == 0) return b;
    want *= 2;
  }
}

// The first line that starts at byte `from`, when it is complete (a line
// of more than 64 kB counts as not).
bool line_at(const char* name, long long from, std::string& line) {
  const std::string b = bytes_of(name, from, from + 65536);
  const std::size_t nl = b.find('\n');
  if (nl == std::string::npos) return false;
  line = b.substr(0, nl);
  return true;
}

// The cycle a line begins with.
bool leading_cycle(std::string_view line, long long& cycle) {
  std::size_t p = line.find_first_not_of(" \t");
  if (p == std::string_view::npos) return false;
  std::size_t q = line.find_first_of(" \t\r", p);
  if (q == std::string_view::npos) q = line.size();
  const auto r = std::from_chars(line.data() + p, line.data() + q, cycle);
  return r.ec == std::errc() && r.ptr == line.data() + q;
}

std::string first_line(const std::string& text) {
  std::string l = text.substr(0, text.find('\n'));
  const std::size_t b = l.find_first_not_of(' ');
  return b == std::string::npos ? std::string() : l.substr(b);
}

// Elements 0 in a starting matrix that are sampled (inside breed blocks),
// which "varcompsam" of earlier versions left out.
long long sampled_zeros(const model::State& s) {
  long long n = 0;
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = model::block_order(e);
    for (int i = 1; i <= d; ++i)
      for (int j = i; j <= d; ++j) n += s.ORIG_G(e, i, j) == 0.0 && model::sampled_element(s.ORIG_G, e, i, j);
  }
  return n;
}

// The stored length of sample file x ends a line, and the entry (or the
// lines) of the stored cycle; refused otherwise, naming the record's line.
void check_stored_end(const model::State& s, const SampleFile& x, const record::Store& st,
                      long long stored) {
  const std::string where = std::string(" restart refused: \"") + st.source + "\" line " +
                            std::to_string(st.sample_line(x.name)) + " gives \"" + x.name +
                            "\" a length of " + std::to_string(stored) + " bytes, which ";
  if (stored == 0 && x.layout != Layout::entries) return;
  if (stored > 0 && bytes_of(x.name, stored - 1, stored) != "\n")
    util::fatal(where + "is not at the end of a line of it");
  long long c = 0;
  switch (x.layout) {
    case Layout::lines:
      return;
    case Layout::entries: {
      const long long n = x.name == std::string_view(sampler::loglike_rnd_file)
                              ? 1
                              : entry_lines(s, x.name, st.cycle);
      const std::string entry = stored > 0 ? last_lines(x.name, stored, n) : std::string();
      const std::string head = first_line(entry);
      long long lines = 0;
      for (char ch : entry) lines += ch == '\n';
      if (lines >= n && leading_cycle(head, c) && c == st.cycle) return;
      std::string why;
      const long long z = x.name == std::string_view(sampler::varcompsam_file) ? sampled_zeros(s) : 0;
      if (z > 0 && stored > 0 && leading_cycle(first_line(last_lines(x.name, stored, n - z)), c) &&
          c == st.cycle)
        why = "; it ends an entry of " + std::to_string(n - z) +
              " lines, as earlier versions wrote it, without the elements 0 inside breed blocks that"
              " are sampled: a chain begun so cannot go on, start it afresh";
      util::fatal(where + "does not end the entry of cycle " + std::to_string(st.cycle) + " (" +
                  std::to_string(n) + (n == 1 ? " line" : " lines") +
                  "): that entry would begin with \"" + head + "\"" + why);
    }
    case Layout::cycle_lines: {
      const std::string last = first_line(last_lines(x.name, stored, 1));
      if (!leading_cycle(last, c) || c > st.cycle)
        util::fatal(where + "ends with the line \"" + last + "\", not of cycle " +
                    std::to_string(st.cycle) + " or before");
      std::string next;
      if (line_at(x.name, stored, next) && (!leading_cycle(next, c) || c <= st.cycle))
        util::fatal(where + "is followed by the line \"" + first_line(next) + "\" of cycle " +
                    std::to_string(st.cycle) + " or before");
      return;
    }
  }
}

}  // namespace

int stored_results(int round, const char* (&names)[record::max_results]) {
  int n = 0;
  for (const char* r : record::result_names) {
    const std::string_view w = r;
    const bool writes =
        w == "solutions" || w == "varcomp" || (w == "msiresppr" && m.max_msires > 1) ||
        (w == "loglike_obs" && m.nburn < round) ||
        (w == "mh_acceptance" && model::uses_mh_files()) || (w == "structural_r" && m.neffr > 0) ||
        (w == "robustness_w" && model::robust_residuals()) || w == chain::file;
    if (writes) names[n++] = r;
  }
  return n;
}

long long entry_lines(const model::State& s, const char* name, int round) {
  long long n = 1;
  if (name == std::string_view(sampler::solutionsam_file)) {
    for (int e = 1; e <= m.neff; ++e) {
      if (m.effectsave(e) != 1) continue;
      int traits = 0;
      for (int t = 1; t <= m.ntrait; ++t) traits += m.pos_eff(e, t) != 0;
      n += static_cast<long long>(m.nlev(e)) * traits;
    }
    return n;
  }
  // "varcompsam": the kept elements of G and R (the dispersion step) ...
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = model::block_order(e);
    for (int i = 1; i <= d; ++i)
      for (int j = i; j <= d; ++j) n += model::sampled_element(s.ORIG_G, e, i, j);
  }
  for (int i = 1; i <= m.ntrait; ++i)
    for (int j = i; j <= m.ntrait; ++j) n += s.ORIG_R(i, j) != 0.0;
  if (round % m.skip != 0) return n;
  // ... and, at multiples of the thinning interval, the saved structural
  // factors and the shapes (the structural and robustness steps).
  if (m.neffr > 0 && m.r_nround > 0)
    for (int k = 1; k <= m.neffr; ++k) {
      const int e = m.pos_effr(k);
      const bool save = m.effrsave(k) == 1;
      const int rn = m.randomnumb(e);
      if (model::structural_kind(e) == Structural::scale)
        n += save ? 1 : 0;
      else if (rn == 0)
        n += save ? m.nlev(e) - 1 : 0;
      else if (rn > 0)
        n += (save ? m.nlev(e) : 0) + 1;
    }
  if (model::robust_residuals()) n += 1;
  return n;
}

void sync_sample_files(model::State& s, int round, record::Store& st) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, round, f);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    x.out->sync_later();
    const long long size = util::file_size(x.name);
    if (size >= 0) {
      st.add_sample(x.name, size);
    } else if (x.reopen) {
      reopen(*x.out, x.name);  // stops, naming the file
    }
  }
}

void reopen_sample_files(model::State& s, int round) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, round, f);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    if (x.close) x.out->close();
    if (x.reopen) reopen(*x.out, x.name);
  }
}

void check_sample_files(model::State& s, int start, const record::Store& st) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, start, f);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    const long long stored = st.sample_size(x.name), size = util::file_size(x.name);
    if (size < 0) {
      // Not needed any more, or missing: a file the chain goes on writing
      // must be there.
      if (x.resumed) util::io_fail("cannot open file", x.name, ENOENT);
    } else if (stored < 0) {
      util::fatal(util::freev("restart at cycle", start, ": the store of cycle", st.cycle, "has no sample file",
                              std::string("\"") + x.name + "\""));
    } else if (size < stored) {
      util::fatal(util::freev("restart at cycle", start, ":", std::string("\"") + x.name + "\"", "holds", size,
                              "bytes, fewer than the", stored, "it held at the store of cycle", st.cycle));
    } else {
      check_stored_end(s, x, st, stored);
    }
  }
}

void open_sample_files(model::State& s, int start, const record::Store& st) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, start, f);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    const long long stored = st.sample_size(x.name), size = util::file_size(x.name);
    // Lines written after the store, complete or not, are not part of it.
    if (stored >= 0 && size > stored) util::cut_file(x.name, stored);
    if (x.resumed) reopen(*x.out, x.name);
  }
}

}  // namespace results

namespace {

// A result file under construction: lines are gathered in a buffer and
// handed to the temporary file in large pieces; commit() renames it into
// place.  The files of a store are written one at a time, and every store
// reuses the same stream and buffer: a periodic store allocates nothing.
class ResultFile {
 public:
  explicit ResultFile(const char* name) : out_(shared_.out), buf_(shared_.buf) {
    out_.open(name, util::TextOut::Mode::atomic);
    buf_.clear();
  }
  // A file left uncommitted by a stop keeps the old one and loses its temporary.
  ~ResultFile() { out_.close(); }
  ResultFile(const ResultFile&) = delete;
  ResultFile& operator=(const ResultFile&) = delete;

  std::string& buf() { return buf_; }
  void end_line() {
    buf_.push_back('\n');
    if (buf_.size() >= (1 << 16)) spill();
  }
  // A free-format line.
  template <class... A>
  void free(const A&... a) {
    util::free_format_to(buf_, util::FmtArgs(a...).items());
    end_line();
  }
  void text(std::string_view s) {
    buf_ += s;
    end_line();
  }
  void title(const char* t) { free(t, m.round, " rounds and burn-in of ", m.nburn); }
  // Written whole and put on disk; the store renames it into place.
  void seal() {
    spill();
    out_.seal_later();
  }

 private:
  // Made when the program starts, so that no store allocates.
  struct Shared {
    util::TextOut out;
    std::string buf;
    Shared() {
      out.reserve_buffers();
      buf.reserve(1 << 17);
    }
  };
  static Shared shared_;
  void spill() {
    out_.write(buf_);
    buf_.clear();
  }
  util::TextOut& out_;
  std::string& buf_;
};

ResultFile::Shared ResultFile::shared_;

// Posterior summaries of the store: mean and sd once kept samples exist,
// otherwise the raw sums (0 before the first kept sample).
struct Summary {
  double n = 0;       // kept count as a real
  bool kept = false;  // past burn-in with at least one kept sample
  double mean(double S) const { return kept ? S / n : S; }
  double sd(double S, double Q) const {
    if (!kept) return Q;
    const double v = (Q - S * S / n) / n;
    return v > 0 ? std::sqrt(v) : 0.0;
  }
};

// Value of a (rows, cols) array, 0 where it has no element.
double at(const util::mat1<double>& a, int i, int j) {
  return i >= 1 && i <= a.rows() && j >= 1 && j <= a.cols() ? a(i, j) : 0.0;
}

// trait, effect, level, then mean, sd and last.
void level_line(ResultFile& f, const Summary& sm, int t, int e, int l, double S, double Q, double last) {
  std::string& b = f.buf();
  util::put_i_field(b, t, 3);
  util::put_i_field(b, e, 3);
  util::put_i_field(b, l, 8);
  util::put_f_field(b, sm.mean(S), 15, 6);
  util::put_f_field(b, sm.sd(S, Q), 15, 6);
  util::put_f_field(b, last, 15, 6);
  f.end_line();
}

void write_solutions(const model::State& s, const Summary& sm) {
  const int nt = m.ntrait;
  ResultFile f("solutions");
  f.title("Solution after: ");
  f.text(head_solutions);
  // The pedigree of the animals without equations of their own.
  const int f_ram = model::reduced_animal_group();
  int j_ram = 0;
  int base = 0;  // equations of the effects before e
  for (int e = 1; e <= m.neff; ++e) {
    for (int l = 1; l <= m.nlev(e); ++l)
      for (int t = 1; t <= nt; ++t) {
        if (m.pos_eff(e, t) == 0) continue;
        const int a = base + (l - 1) * nt + t;
        level_line(f, sm, t, e, l, s.SUMSOL(a), s.SSSOL(a), s.SOL(a));
      }
    base += m.nlev(e) * nt;
    if (m.effecttype(e) != model::EffectType::ram) continue;
    // Animals without equations of their own.
    ++j_ram;
    for (int an = m.nlev(e) + 1; an <= m.lenped(f_ram); ++an)
      for (int t = 1; t <= nt; ++t) {
        if (m.pos_eff(e, t) == 0) continue;
        const int i = an - m.nlev(e), c = (j_ram - 1) * nt + t;
        level_line(f, sm, t, e, an, at(s.SUMSOL_N, i, c), at(s.SSSOL_N, i, c), at(s.SOL_N, i, c));
      }
  }
  f.seal();
}

void write_msiresppr(const model::State& s, const Summary& sm) {
  ResultFile f("msiresppr");
  f.title("Post. probs after: ");
  f.text(head_msiresppr);
  results::each_candidate(s, [&](int an, int ps, int pp) {
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

// One matrix row of d values, ten fields of F12.4 to a line.
template <class Get>
void matrix_row(ResultFile& f, int d, Get get) {
  std::string& b = f.buf();
  for (int j = 1; j <= d; ++j) {
    util::put_f_field(b, get(j), 12, 4);
    if (j % 10 == 0 || j == d) f.end_line();
  }
}

void write_varcomp(const model::State& s, const Summary& sm) {
  const int nt = m.ntrait;
  ResultFile f("varcomp");
  f.title("Variance components after: ");
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = model::block_order(e);
    if (d <= 0) continue;
    f.free(label_g_mean, e);
    for (int i = 1; i <= d; ++i) matrix_row(f, d, [&](int j) { return sm.mean(s.SUMG(e, i, j)); });
    f.free(label_g_sd, e);
    for (int i = 1; i <= d; ++i)
      matrix_row(f, d, [&](int j) { return sm.sd(s.SUMG(e, i, j), s.SSG(e, i, j)); });
    f.free(label_g_last, e);
    for (int i = 1; i <= d; ++i) matrix_row(f, d, [&](int j) { return m.g(e, i, j); });
  }
  f.free(label_r_mean);
  for (int i = 1; i <= nt; ++i) matrix_row(f, nt, [&](int j) { return sm.mean(s.SUMR(i, j)); });
  f.free(label_r_sd);
  for (int i = 1; i <= nt; ++i) matrix_row(f, nt, [&](int j) { return sm.sd(s.SUMR(i, j), s.SSR(i, j)); });
  f.free(label_r_last);
  for (int i = 1; i <= nt; ++i) matrix_row(f, nt, [&](int j) { return m.r(i, j); });
  f.seal();
}

// Every column of a record on one line, whatever the number of traits.
void write_loglike_obs(const model::State& s, const Summary& sm) {
  const int nt = m.ntrait;
  ResultFile f("loglike_obs");
  f.title("CPO,Loglike,residuals after: ");
  f.free(head_loglike_obs);
  const bool any = sm.n > 0;
  for (int i = 1; i <= m.nrec; ++i) {
    std::string& b = f.buf();
    util::put_i_field(b, i, 10);
    util::put_f_field(b, any ? 1.0 / (s.LOGL_OBS(i, 1) / sm.n) : s.LOGL_OBS(i, 1), 18, 12);
    util::put_f_field(b, any ? s.LOGL_OBS(i, 2) / sm.n : s.LOGL_OBS(i, 2), 18, 12);
    for (int c = 3; c <= nt + 3; ++c) util::put_f_field(b, s.LOGL_OBS(i, c), 18, 12);
    f.end_line();
  }
  f.seal();
}

void rate_line(ResultFile& f, double rate, int setting) {
  std::string& b = f.buf();
  util::put_f_field(b, rate, 12, 8);
  util::put_i_field(b, setting, 10);
  f.end_line();
}
void rate_line(ResultFile& f, double rate, double setting) {
  std::string& b = f.buf();
  util::put_f_field(b, rate, 12, 8);
  util::put_f_field(b, setting, 12, 8);
  f.end_line();
}

// Unknown covariables drawn by Metropolis-Hastings: the proposal variance,
// then each level and its acceptance rate since the last tuning step.
void write_covariate_rates(ResultFile& f, const model::State& s) {
  for (int u = 1; u <= m.neff; ++u) {
    if (!sampler::covariates_by_mh(u)) continue;
    f.free(label_covariate_rates, u);
    util::put_f_field(f.buf(), s.H_VARPROP(u), 12, 8);
    f.end_line();
    for (int l = 1; l <= m.nlev(u); ++l) {
      std::string& b = f.buf();
      util::put_i_field(b, l, 8);
      util::put_f_field(b,
                        model::acceptance_rate(s.SUMH_ACCEP(sampler::address1(u, l, 1)),
                                               model::covariate_tuning(), m.round),
                        12, 8);
      f.end_line();
    }
  }
}

void write_mh_acceptance(const model::State& s) {
  ResultFile f("mh_acceptance");
  for (int e = 1; e <= m.neff; ++e) {
    if (!model::multiple_breed(m.randomtype(e))) continue;
    for (int b1 = 1; b1 <= m.nbreed(e); ++b1)
      for (int b2 = b1; b2 <= m.nbreed(e); ++b2) {
        f.free(label_mb_rate, e, label_breeds, b1, b2);
        rate_line(f, model::acceptance_rate(s.SUMMB_ACCEP(e, b1, b2), model::mb_tuning(e), m.round),
                  s.MB_DBELIEF(e, b1, b2));
      }
  }
  for (int k = 1; k <= m.neffr; ++k) {
    const int e = m.pos_effr(k);
    switch (model::structural_kind(e)) {
      case Structural::scale:
        f.free(label_structural_rate, e);
        rate_line(f, model::acceptance_rate(s.SUMR_ACCEP(k), model::structural_tuning(), m.round),
                  s.R_DBELIEFPROP(k));
        break;
      case Structural::levels_alpha:
        f.free(label_structural_alpha_rate, e);
        rate_line(
            f,
            model::acceptance_rate(s.SUMR_ALPHAACCEP(k), model::structural_alpha_tuning(), m.round),
            s.R_ALPHA_VARPROP(k));
        break;
      case Structural::levels:
        break;
    }
  }
  if (model::student_t(m.residualtype)) {
    f.free(label_robust_alpha_rate);
    rate_line(f, model::acceptance_rate(s.sumw_alphaaccep, model::robust_alpha_tuning(), m.round),
              s.w_alpha_varprop);
  }
  write_covariate_rates(f, s);
  f.seal();
}

void write_structural_r(const model::State& s, const Summary& sm) {
  const int nt = m.ntrait;
  ResultFile f("structural_r");
  f.title("Structural R solution after: ");
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
        level_line(f, sm, t, e, l, s.SUMR_SOL(a), s.SSR_SOL(a), s.R_SOL(a));
      }
  }
  f.seal();
}

void write_robustness_w(const model::State& s, const Summary& sm) {
  ResultFile f("robustness_w");
  f.title("Robustness weights after: ");
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

void write_chain_state(const model::State& s) {
  ResultFile f(chain::file);
  chain::write(s, m.round, [&f](std::string_view line) { f.text(line); });
  f.seal();
}

// The temporaries of a store that stops before it is made are removed, so
// the previous store stays as it was and nothing is left behind.
struct Unmade {
  const record::Store& st;
  bool made = false;
  ~Unmade() {
    if (made) return;
    util::disk::discard();
    char buf[32];
    for (int k = 0; k < st.nresults; ++k) util::remove_file(record::temporary_of(st.results[k], buf));
    util::remove_file(record::temporary);
  }
};

const char* stored_message(const char* name) {
  const std::string_view n = name;
  if (n == "solutions") return "solutions stored in file: \"solutions\"";
  if (n == "msiresppr") return "msires ppr stored in file: \"msiresppr\"";
  if (n == "varcomp") return "variance components stored in file: \"varcomp\"";
  if (n == "loglike_obs") return "loglike_obs stored in file: \"loglike_obs\"";
  if (n == "mh_acceptance") return "acceptance rates and degrees of belief stored in file: \"mh_acceptance\"";
  if (n == "structural_r") return "Structural R  stored in file: \"structural_r\"";
  return "Robustness weights stored in file: \"robustness_w\"";
}

}  // namespace

void store_solutions(model::State& s, bool in_background) {
  // The files of the last store are still being put into place.
  util::disk::wait();
  const int round = m.round;
  Summary sm;
  const int n = model::kept_count(round);
  sm.n = static_cast<double>(n);
  sm.kept = m.nburn < round && n > 0;

  // The sample files first: every line the store counts is on disk.
  record::Store st;
  st.cycle = round;
  st.burn_in = m.nburn;
  st.thinning = m.skip;
  sync_sample_files(s, round, st);

  Unmade unmade{st};
  const char* names[record::max_results];
  const int nr = stored_results(round, names);
  for (int k = 0; k < nr; ++k) {
    const std::string_view w = names[k];
    if (w == "solutions")
      write_solutions(s, sm);
    else if (w == "msiresppr")
      write_msiresppr(s, sm);
    else if (w == "varcomp")
      write_varcomp(s, sm);
    else if (w == "loglike_obs")
      write_loglike_obs(s, sm);
    else if (w == "mh_acceptance")
      write_mh_acceptance(s);
    else if (w == "structural_r")
      write_structural_r(s, sm);
    else if (w == "robustness_w")
      write_robustness_w(s, sm);
    else if (w == chain::file)
      write_chain_state(s);
    st.add_result(names[k]);
  }
  record::make(st);
  unmade.made = true;
  record::finish(st);

  if (!in_background) util::disk::wait();
  // The chain's own state is no result to announce.
  for (int k = 0; k < st.nresults; ++k)
    if (st.results[k] != std::string_view(chain::file)) util::say(stored_message(st.results[k]));
  reopen_sample_files(s, round);
}

}  // namespace run
