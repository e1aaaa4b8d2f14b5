#include "run/results/store_record.hpp"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "run/lineread.hpp"
#include "util/disk_queue.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run::record {

namespace {

// Made when the program starts, so that no store allocates.
struct Writer {
  util::TextOut out;
  std::string line;
  Writer() {
    out.reserve_buffers();
    line.reserve(128);
  }
};
Writer writer;

void append_number(std::string& s, long long v) {
  char b[24];
  s.append(b, std::to_chars(b, b + sizeof b, v).ptr);
}

// A file of the store: its name, length and checksum.
void put_file(Writer& w, const char* key, const char* name, const util::Tally& t) {
  w.line.assign(key);
  w.line += ' ';
  w.line += name;
  w.line += ' ';
  append_number(w.line, t.bytes);
  w.line += ' ';
  util::put_checksum(w.line, t.sum);
  w.out.line(w.line);
}

// An input file of the chain: its kind, the effect of a pedigree, its
// length and checksum.
void put_input(Writer& w, const Input& in) {
  w.line.assign("input ");
  w.line += in.kind;
  if (in.effect > 0) {
    w.line += ' ';
    append_number(w.line, in.effect);
  }
  w.line += ' ';
  append_number(w.line, in.tally.bytes);
  w.line += ' ';
  util::put_checksum(w.line, in.tally.sum);
  w.out.line(w.line);
}

// The chain's input files, which every store of this run records.
std::vector<Input> kept_inputs;

// A setting of the chain, when the store knows it.
void put_setting(Writer& w, const char* key, int value) {
  if (value < 0) return;
  w.line.assign(key);
  w.line += ' ';
  append_number(w.line, value);
  w.out.line(w.line);
}

// The known name equal to word, or nullptr.
template <std::size_t N>
const char* known(const char* const (&names)[N], std::string_view word) {
  for (const char* n : names)
    if (word == n) return n;
  return nullptr;
}

bool number(std::string_view w, long long& v) {
  long long x = 0;
  if (w.empty()) return false;
  for (char c : w) {
    if (c < '0' || c > '9' || x > 100000000000000LL) return false;
    x = x * 10 + (c - '0');
  }
  v = x;
  return true;
}

bool whole(std::string_view w, int least, int& to) {
  long long v = 0;
  if (!number(w, v) || v < least || v > 2147483647) return false;
  to = static_cast<int>(v);
  return true;
}

// Takes line `line` of a record, split into words (the key first), into st;
// returns what does not fit, "" when all does.
using Take = std::string (*)(Store& st, const textop::Words& w, long line);

const std::string unknown = "cannot be read: the store it records is unknown";
// What to do about a record that cannot be read.
const std::string damaged = record_damaged;

std::string take_cycle(Store& st, const textop::Words& w, long) {
  return whole(w.word(2), 0, st.cycle) ? "" : unknown;
}
std::string take_burn_in(Store& st, const textop::Words& w, long) {
  return whole(w.word(2), 0, st.burn_in) ? "" : unknown;
}
std::string take_thinning(Store& st, const textop::Words& w, long) {
  return whole(w.word(2), 1, st.thinning) ? "" : unknown;
}
// The length and checksum after the name of a file, or what a record of an
// earlier version gives (a result file's name alone, a sample file's
// length); all the files of a record alike.
bool take_tally(Store& st, const textop::Words& w, bool sample, util::Tally& t) {
  const bool summed = w.n == 4;
  if (!summed && w.n != (sample ? 3 : 2)) return false;
  if (st.nresults + st.nsamples == 0) st.summed = summed;
  if (summed != st.summed) return false;
  t.summed = summed;
  t.bytes = -1;
  if (w.n >= 3 && !number(w.word(3), t.bytes)) return false;
  return !summed || util::read_checksum(w.word(4), t.sum);
}

std::string take_result(Store& st, const textop::Words& w, long) {
  const char* r = known(result_names, w.word(2));
  if (!r) return unknown;
  if (st.has_result(r)) return "names the result file \"" + std::string(r) + "\" a second time";
  util::Tally t;
  if (!take_tally(st, w, false, t)) return unknown;
  st.add_result(r, t);
  return "";
}
std::string take_sample(Store& st, const textop::Words& w, long line) {
  const char* s = known(sample_names, w.word(2));
  if (!s) return unknown;
  if (st.sample_size(s) >= 0)
    return "names the sample file \"" + std::string(s) + "\" a second time";
  util::Tally t;
  if (!take_tally(st, w, true, t)) return unknown;
  st.sample_lines[st.nsamples] = line;
  st.add_sample(s, t);
  return "";
}

// "input KIND [EFFECT] BYTES CHECKSUM": the effect for a pedigree only.
std::string take_input(Store& st, const textop::Words& w, long) {
  const char* kind = known(input_kinds, w.word(2));
  if (!kind) return unknown;
  const bool pedigree = std::string_view(kind) == "pedigree";
  const int n = pedigree ? 5 : 4;
  Input in;
  in.kind = kind;
  if (w.n != n || (pedigree && !whole(w.word(3), 1, in.effect)) ||
      !number(w.word(n - 1), in.tally.bytes) || !util::read_checksum(w.word(n), in.tally.sum))
    return unknown;
  for (const Input& i : st.inputs)
    if (i.kind == in.kind && i.effect == in.effect)
      return "names the input \"" + std::string(kind) +
             (pedigree ? " " + std::to_string(in.effect) : "") + "\" a second time";
  st.inputs.push_back(in);
  return "";
}

// The kinds of line of a record: the key, the words after it (-1: any
// number), whether the line comes once, and what a record without it lacks.
// A new kind of line is a new row (and its line in make()).
struct LineKind {
  const char* key;
  int words;
  bool once;
  const char* lacking;  // nullptr: the line may be absent
  Take take;
};
const LineKind line_kinds[] = {
    {"cycle", 1, true, "cycle", take_cycle},
    {"burn_in", 1, true, "burn-in", take_burn_in},
    {"thinning", 1, true, "thinning interval", take_thinning},
    {"result", -1, false, nullptr, take_result},
    {"sample", -1, false, nullptr, take_sample},
    {"input", -1, false, nullptr, take_input},
};
constexpr int nkinds = sizeof line_kinds / sizeof line_kinds[0];

void parse(const char* name, Store& st) {
  util::TextIn in{std::string(name)};
  st = Store{};
  st.source = name;
  const std::string quoted = "\"" + std::string(name) + "\"";
  int seen[nkinds] = {};
  std::string_view line;
  textop::Words words;
  while (in.getline(line)) {
    textop::nums(line, words);
    const int n = words.n;
    if (n == 0) continue;
    const long at = in.line_number();
    const std::string_view key = words.word(1);
    std::string fault = unknown;
    for (int k = 0; k < nkinds; ++k) {
      const LineKind& kind = line_kinds[k];
      if (key != kind.key) continue;
      if (kind.words >= 0 && n - 1 != kind.words) break;
      if (kind.once && seen[k] > 0) {
        fault = "repeats the \"" + std::string(kind.key) + "\" line";
        break;
      }
      ++seen[k];
      fault = kind.take(st, words, at);
      break;
    }
    if (!fault.empty()) util::fatal(util::freev(quoted, "line", at, fault + damaged));
  }
  for (int k = 0; k < nkinds; ++k)
    if (line_kinds[k].lacking && seen[k] == 0)
      util::fatal(util::freev(quoted, "names no", std::string(line_kinds[k].lacking) + damaged));
}

// The cycle of the last store made or read.
int last_made = 0;

void remove_temporaries() {
  char buf[32];
  for (const char* r : result_names) util::remove_file(temporary_of(r, buf));
  util::remove_file(temporary);
}

}  // namespace

std::string described(const util::Tally& t) {
  std::string s = std::to_string(t.bytes) + " bytes with checksum ";
  util::put_checksum(s, t.sum);
  return s;
}

bool Store::has_result(const char* name) const {
  for (int k = 0; k < nresults; ++k)
    if (std::strcmp(results[k], name) == 0) return true;
  return false;
}

long long Store::sample_size(const char* name) const { return sample_tally(name).bytes; }

int Store::sample_index(const char* name) const {
  for (int k = 0; k < nsamples; ++k)
    if (std::strcmp(samples[k], name) == 0) return k;
  return -1;
}

util::Tally Store::sample_tally(const char* name) const {
  const int k = sample_index(name);
  return k >= 0 ? sample_tallies[k] : util::Tally{-1, 0, false};
}

long Store::sample_line(const char* name) const {
  const int k = sample_index(name);
  return k >= 0 ? sample_lines[k] : 0;
}

bool Store::pending() const {
  return std::strcmp(source, record::pending) == 0;
}

const char* temporary_of(const char* name, char (&buf)[32]) {
  std::snprintf(buf, sizeof buf, "%s.tmp", name);
  return buf;
}

void keep_inputs(std::vector<Input> inputs) {
  kept_inputs = std::move(inputs);
}

void make(const Store& st) {
  Writer& w = writer;
  w.out.open(file, util::TextOut::Mode::atomic);
  put_setting(w, "cycle", st.cycle);
  put_setting(w, "burn_in", st.burn_in);
  put_setting(w, "thinning", st.thinning);
  for (int k = 0; k < st.nresults; ++k) put_file(w, "result", st.results[k], st.result_tallies[k]);
  for (int k = 0; k < st.nsamples; ++k) put_file(w, "sample", st.samples[k], st.sample_tallies[k]);
  for (const Input& in : kept_inputs) put_input(w, in);
  w.out.seal_later();
  // The store is made once the record stands under its pending name.
  util::disk::commit(temporary, pending);
  util::disk::sync_folder();
  last_made = st.cycle;
}

void finish(const Store& st) {
  char buf[32];
  for (int k = 0; k < st.nresults; ++k) util::disk::rename(temporary_of(st.results[k], buf), st.results[k]);
  util::disk::sync_folder();
  util::disk::rename(pending, file);
  util::disk::sync_folder();
  util::disk::submit();
}

void recover() {
  util::disk::wait();
  if (util::file_size(pending) >= 0) {
    Store st;
    parse(pending, st);
    char buf[32];
    for (int k = 0; k < st.nresults; ++k) {
      const char* tmp = temporary_of(st.results[k], buf);
      if (util::file_size(tmp) >= 0) util::replace_file(tmp, st.results[k]);
    }
    util::sync_folder();
    util::replace_file(pending, file);
    util::sync_folder();
  }
  remove_temporaries();
}

void forget() {
  util::disk::wait();
  last_made = 0;
  util::remove_file(file);
  util::remove_file(pending);
  remove_temporaries();
}

bool read(Store& st) {
  util::disk::wait();
  // A store made but not finished is the last one; its record stands under
  // the pending name until the store is finished.
  const char* name = util::file_size(pending) >= 0 ? pending : file;
  if (util::file_size(name) < 0) return false;
  parse(name, st);
  last_made = st.cycle;
  return true;
}

int last_cycle() { return last_made; }

std::string not_stored(const Store& st, int k) {
  char buf[32];
  const char* name = source_of(st, st.results[k], buf);
  util::Tally t;
  // As read: an editor's mark and line ends change no value.
  if (!util::tally_of_file(name, -1, t, true)) util::io_fail("cannot open file", name, ENOENT);
  const util::Tally& want = st.result_tallies[k];
  if (t.bytes == want.bytes && t.sum == want.sum) return "";
  return " restart refused: \"" + std::string(name) +
         "\" is not the file that the store of cycle " + std::to_string(st.cycle) + " wrote (\"" +
         st.source + "\" gives " + described(want) + ", the file holds " + described(t) +
         not_stored_file;
}

void check_result_files(const Store& st) {
  if (!st.summed) return;
  for (int k = 0; k < st.nresults; ++k)
    if (const std::string refused = not_stored(st, k); !refused.empty()) util::fatal(refused);
}

std::string not_stored(const Store& st, const char* name) {
  if (!st.summed) return "";
  for (int k = 0; k < st.nresults; ++k)
    if (std::strcmp(st.results[k], name) == 0) return not_stored(st, k);
  return "";
}

const char* source_of(const Store& st, const char* name, char (&buf)[32]) {
  if (st.pending() && st.has_result(name)) {
    const char* tmp = temporary_of(name, buf);
    if (util::file_size(tmp) >= 0) return tmp;
  }
  return name;
}

}  // namespace run::record
