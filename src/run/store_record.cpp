#include "run/store_record.hpp"

#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

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

void put_line(Writer& w, const char* key, const char* name, long long value, bool with_value) {
  w.line.clear();
  w.line += ' ';
  w.line += key;
  w.line += ' ';
  w.line += name;
  if (with_value) {
    w.line += ' ';
    append_number(w.line, value);
  }
  w.out.line(w.line);
}

// A setting of the chain, when the store knows it.
void put_setting(Writer& w, const char* key, int value) {
  if (value < 0) return;
  w.line.assign(" ");
  w.line += key;
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

void parse(const char* name, Store& st) {
  util::TextIn in{std::string(name)};
  st = Store{};
  bool cycle = false;
  std::string_view line;
  textop::Words words;
  while (in.getline(line)) {
    textop::nums(line, words);
    const int n = words.n;
    if (n == 0) continue;
    const std::string_view w[3] = {words.word(1), words.word(2), words.word(3)};
    long long v = 0;
    bool ok = false;
    if (n == 2 && w[0] == "cycle" && number(w[1], v) && !cycle) {
      st.cycle = static_cast<int>(v);
      ok = cycle = true;
    } else if (n == 2 && w[0] == "burn_in" && number(w[1], v) && st.burn_in < 0 && v <= 2147483647) {
      st.burn_in = static_cast<int>(v);
      ok = true;
    } else if (n == 2 && w[0] == "thinning" && number(w[1], v) && st.thinning < 0 && v <= 2147483647) {
      st.thinning = static_cast<int>(v);
      ok = true;
    } else if (n == 2 && w[0] == "result" && st.nresults < max_results) {
      if (const char* r = known(result_names, w[1])) {
        st.add_result(r);
        ok = true;
      }
    } else if (n == 3 && w[0] == "sample" && st.nsamples < max_samples && number(w[2], v)) {
      if (const char* s = known(sample_names, w[1])) {
        st.add_sample(s, v);
        ok = true;
      }
    }
    if (!ok)
      util::fatal(util::freev("\"" + std::string(name) + "\"", "line", in.line_number(),
                              "cannot be read: the store it records is unknown"));
  }
  if (!cycle) util::fatal(util::freev("\"" + std::string(name) + "\"", "names no cycle"));
}

void remove_temporaries() {
  char buf[32];
  for (const char* r : result_names) util::remove_file(temporary_of(r, buf));
  util::remove_file(temporary);
}

}  // namespace

long long Store::sample_size(const char* name) const {
  for (int k = 0; k < nsamples; ++k)
    if (std::strcmp(samples[k], name) == 0) return sizes[k];
  return -1;
}

const char* temporary_of(const char* name, char (&buf)[32]) {
  std::snprintf(buf, sizeof buf, "%s.tmp", name);
  return buf;
}

void make(const Store& st) {
  Writer& w = writer;
  w.out.open(file, util::TextOut::Mode::atomic);
  w.line.assign(" cycle ");
  append_number(w.line, st.cycle);
  w.out.line(w.line);
  put_setting(w, "burn_in", st.burn_in);
  put_setting(w, "thinning", st.thinning);
  for (int k = 0; k < st.nresults; ++k) put_line(w, "result", st.results[k], 0, false);
  for (int k = 0; k < st.nsamples; ++k) put_line(w, "sample", st.samples[k], st.sizes[k], true);
  w.out.seal_later();
  // The store is made once the record stands under its pending name.
  util::disk::rename(temporary, pending);
  util::disk::sync_folder();
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
  util::remove_file(file);
  util::remove_file(pending);
  remove_temporaries();
}

bool read(Store& st) {
  util::disk::wait();
  if (util::file_size(file) < 0) return false;
  parse(file, st);
  return true;
}

}  // namespace run::record
