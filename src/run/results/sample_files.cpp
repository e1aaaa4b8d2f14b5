#include "run/results/sample_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>

#include "model/model.hpp"
#include "model/schedule.hpp"
#include "sampler/samplefiles.hpp"
#include "util/disk_queue.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run::results {

using model::m;

namespace {

// A sample file reopened to go on writing at its end, holding what the
// object last wrote or was told.  It must exist: the chain that made it is
// being continued.
void reopen(util::TextOut& f, const char* name) {
  struct stat st;
  const int err = ::stat(name, &st) != 0 ? errno : S_ISREG(st.st_mode) ? 0 : EISDIR;
  if (err != 0) util::io_fail("cannot open file", name, err);
  const util::Tally t = f.tally();
  f.open(name, util::TextOut::Mode::append);
  f.resume(t);
}

// A sample file the store holds empty, made anew where it is missing.
void make_empty(const char* name) {
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) util::io_fail("cannot open file", name, errno);
  ::close(fd);
}

// Tuning lines come after cycle `round` too: it is below half of burn-in
// (in 32 bits, as model::tuning_cycle compares).
bool tuning_goes_on(int round) { return static_cast<float>(round) < 0.5f * static_cast<float>(m.nburn); }

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
  sampler::SampleFiles& sf = sampler::sample_files(s);
  const bool going_on = round < m.nround;
  const bool mh = model::uses_mh_files();
  const bool tuning = model::tuning_cycle(round, m.nburn);
  f[0] = {sampler::varcompsam_file, &sf.varcompsam, true, true, going_on, true, Layout::entries};
  f[1] = {sampler::loglike_rnd_file, &sf.loglike_rnd, true, true, going_on, true, Layout::entries};
  f[2] = {"msirespprsam", &s.msirespprsam,    model::samples_msires(), true, going_on,
          true,           Layout::cycle_lines};
  f[3] = {sampler::mh_dbeliefchg_file,
          &sf.mh_dbeliefchg,
          mh,
          tuning,
          tuning_goes_on(round),
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
                              : sampler::entry_lines(s, x.name, st.cycle);
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
                  "): that entry would begin with \"" + util::shown(head) + "\"" + why);
    }
    case Layout::cycle_lines: {
      const std::string last = first_line(last_lines(x.name, stored, 1));
      if (!leading_cycle(last, c) || c > st.cycle)
        util::fatal(where + "ends with the line \"" + util::shown(last) + "\", not of cycle " +
                    std::to_string(st.cycle) + " or before");
      std::string next;
      if (line_at(x.name, stored, next) && (!leading_cycle(next, c) || c <= st.cycle))
        util::fatal(where + "is followed by the line \"" + util::shown(first_line(next)) + "\" of cycle " +
                    std::to_string(st.cycle) + " or before");
      return;
    }
  }
}

// A sample file that is not what the chain wrote to it stops the run before
// the store of cycle `round` is made: the store before stays the one a
// restart continues from.
[[noreturn]] void changed(const char* name, const std::string& what, int round) {
  const int last = record::last_cycle();
  util::fatal(" sample file \"" + std::string(name) + "\" " + what + ". The run stops before its store of cycle " +
              std::to_string(round) +
              (last > 0 ? "; the last store is that of cycle " + std::to_string(last) +
                              ", from which a restart continues once the file holds again what it held then"
                        : ", the chain's first: start the chain afresh"));
}

// The file under the name of sample file x against what the chain wrote to
// it: the same file, of the length written, and (when another program has
// set its modification time since the chain's own last write to it) of the
// bytes written, by their checksum.  A closed file the chain knows must
// still be there, of its length and bytes.
void check_written(const SampleFile& x, int round) {
  util::TextOut& o = *x.out;
  const util::Tally& t = o.tally();
  auto wrote = [&] { return "the chain has written " + std::to_string(t.bytes) + " bytes to it"; };
  const bool open = o.is_open();
  if (!open && (!o.watched() || t.bytes < 0)) {
    // A file the chain has neither opened nor been told of in this run.
    const long long size = util::file_size(x.name);
    if (size < 0) {
      // Not needed any more; one the chain goes on writing must be there.
      if (x.reopen) reopen(o, x.name);  // stops, naming the file
      return;
    }
    // A file its writer knows nothing of is taken as it stands.
    if (t.bytes >= 0 && size != t.bytes)
      changed(x.name, "holds " + std::to_string(size) + " bytes, but " + wrote() + ": it was changed by another program",
              round);
  } else {
    const util::TextOut::Check c = o.check();
    switch (c.kind) {
      case util::TextOut::Check::same:
        break;
      case util::TextOut::Check::missing:
        changed(x.name, open ? "was removed while the chain wrote it" : "was removed while the chain ran", round);
      case util::TextOut::Check::replaced:
        changed(x.name, "was replaced while the chain wrote it: another file has its name now", round);
      case util::TextOut::Check::resized:
        changed(x.name,
                "holds " + std::to_string(c.bytes) + " bytes, but " + wrote() +
                    (open ? ": it was cut, or written to by another program" : ": it was changed by another program"),
                round);
      case util::TextOut::Check::touched: {
        // Its time alone may have changed (a copy of the same bytes put in
        // its place, a touch): the bytes tell.
        util::Tally now;
        util::tally_of_file(x.name, -1, now);
        if (t.summed && now.sum != t.sum)
          changed(x.name,
                  "was changed in place: its " + std::to_string(now.bytes) +
                      " bytes are not those the chain has written to it (another program wrote to it)",
                  round);
        o.accept();
        break;
      }
    }
  }
  // Opened at its end by someone who did not know what it held: summed now,
  // once.
  if (!t.summed) {
    util::Tally whole;
    util::tally_of_file(x.name, t.bytes, whole);
    o.resume(whole);
  }
}

// The first bytes of a sample file, up to its length at store st, against
// the checksum the store recorded; their tally goes into st, for the
// stores to come (summed here also when an earlier version's record has no
// checksum to compare).
void check_stored_bytes(const char* name, record::Store& st) {
  util::Tally& want = st.sample_tallies[st.sample_index(name)];
  util::Tally t;
  util::tally_of_file(name, want.bytes, t);
  if (want.summed && t.sum != want.sum) {
    std::string sums = " is ";
    util::put_checksum(sums, t.sum);
    sums += ", where \"" + std::string(st.source) + "\" gives ";
    util::put_checksum(sums, want.sum);
    util::fatal(" restart refused: \"" + std::string(name) +
                "\" does not hold what the chain wrote to it up to the store of cycle " + std::to_string(st.cycle) +
                " (the checksum of its first " + std::to_string(want.bytes) + " bytes" + sums +
                record::not_stored_file);
  }
  want = t;
}

}  // namespace

void sync_sample_files(model::State& s, int round, record::Store& st) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, round, f);
  // Every file is checked before the store gathers anything of its own.
  for (const SampleFile& x : f)
    if (x.has) check_written(x, round);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    x.out->sync_later();
    if (x.out->is_open() || util::file_size(x.name) >= 0) st.add_sample(x.name, x.out->tally());
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

void check_sample_files(model::State& s, int start, record::Store& st) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, start, f);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    const long long stored = st.sample_size(x.name), size = util::file_size(x.name);
    if (size < 0) {
      // A file the store names, or one the chain goes on writing, must be
      // there; but one stored empty lost nothing (an earlier version removed
      // it when the run stopped) and is made anew.
      if (stored > 0 || (stored < 0 && x.resumed) || (stored == 0 && x.layout == Layout::entries))
        util::io_fail("cannot open file", x.name, ENOENT);
    } else if (stored < 0) {
      util::fatal(util::freev("restart at cycle", start, ": the store of cycle", st.cycle, "has no sample file",
                              std::string("\"") + x.name + "\"" + record::record_damaged));
    } else if (size < stored) {
      util::fatal(util::freev("restart at cycle", start, ":", std::string("\"") + x.name + "\"", "holds", size,
                              "bytes, fewer than the", stored, "it held at the store of cycle", st.cycle));
    } else {
      check_stored_end(s, x, st, stored);
      check_stored_bytes(x.name, st);
    }
  }
}

void open_sample_files(model::State& s, int start, const record::Store& st) {
  SampleFile f[record::max_samples];
  chain_sample_files(s, start, f);
  for (const SampleFile& x : f) {
    if (!x.has) continue;
    const util::Tally t = st.sample_tally(x.name);
    const long long size = util::file_size(x.name);
    if (size < 0 && t.bytes == 0) make_empty(x.name);
    // Lines written after the store, complete or not, are not part of it.
    if (t.bytes >= 0 && size > t.bytes) util::cut_file(x.name, t.bytes);
    // A file the store has, open or not, is what later stores check.
    if (t.bytes >= 0) x.out->resume(t);
    if (x.resumed)
      reopen(*x.out, x.name);
    else if (t.bytes >= 0)
      x.out->watch(x.name);
  }
}

}  // namespace run::results
