#include "run/results/result_in.hpp"

#include <algorithm>
#include <cmath>

#include "model/model.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run {

using model::m;
using util::ReadStatus;

namespace {

// No value a chain of sensible units holds comes near it: the data and
// parts of the sampler are 32-bit reals, which end at 3.4e38.
constexpr double too_large = 1e35;

// The store being read.
const record::Store* continued = nullptr;

std::string source_name(const char* name) {
  if (!continued) return name;
  char buf[32];
  return record::source_of(*continued, name, buf);
}

}  // namespace

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

std::string text_of(double x) {
  std::string t = util::freev(x);
  return t.empty() ? t : t.substr(1);
}

ReadingStore::ReadingStore(const record::Store* st) {
  continued = st;
}
ReadingStore::~ReadingStore() {
  continued = nullptr;
}

ResultIn::ResultIn(const char* name, int start)
    : name_(source_name(name)), in_(name_), start_(start) {}

void ResultIn::title(const char* text) {
  std::string_view line;
  int stored = 0;
  bool found = in_.getline(line);
  if (found) {
    const std::size_t at = line.find("after:");
    found =
        at != std::string_view::npos &&
        util::TextIn::from_text(std::string(line.substr(at + 6))).readv(stored) == ReadStatus::ok;
  }
  const std::string file = "\"" + name_ + "\"";
  if (!found)
    util::fatal(
        util::freev("restart at cycle", start_, ": no stored cycle in the title line of", file));
  if (stored != start_ - 1)
    util::fatal(util::freev("restart at cycle", start_, "needs the results of cycle", start_ - 1,
                            "but", file, "holds those of cycle", stored));
  const std::string want = words_of(util::freev(text, stored, " rounds and burn-in of ", m.nburn));
  if (words_of(line) != want)
    refuse("is \"" + words_of(line) + "\" where the model has \"" + want + "\"");
}

void ResultIn::skip() {
  std::string_view line;
  in_.getline(line);
}

void ResultIn::label(const std::string& expected) {
  std::string_view line;
  if (!in_.getline(line)) return;  // the next read fails with the file's message
  if (words_of(line) == words_of(expected)) return;
  // A file cut inside its last label.
  if (in_.at_end()) {
    ran_out_ = true;
    unreadable("the line \"" + words_of(expected) + "\"");
  }
  refuse("is \"" + words_of(line) + "\" where the model has \"" + words_of(expected) + "\"");
}

bool ResultIn::next_line(std::string_view& line) {
  while (in_.getline(line))
    if (!words_of(line).empty()) return true;
  return false;
}

bool ResultIn::row_values(std::span<double> v, long lines) {
  const util::ReadTarget ts[] = {util::ReadTarget(v)};
  return checked(std::span<const util::ReadTarget>(ts, 1), lines);
}

bool ResultIn::labelled(int ints, int* ids, std::string_view word, double& a, double& b,
                        double& c) {
  std::string_view line;
  if (!in_.getline(line)) return ran_out(true);
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
  const util::ReadTarget ts[] = {util::ReadTarget(a), util::ReadTarget(b), util::ReadTarget(c)};
  if (const ReadStatus r = rest.read(ts); r != ReadStatus::ok)
    return ran_out(r == ReadStatus::eof && in_.at_end());
  check(rest, ts);
  return true;
}

void ResultIn::ids(std::initializer_list<const char*> names, std::initializer_list<int> found,
                   std::initializer_list<int> want) const {
  if (std::equal(found.begin(), found.end(), want.begin())) return;
  auto list = [&](std::initializer_list<int> v) {
    std::string t;
    auto n = names.begin();
    for (int x : v) t += std::string(t.empty() ? "" : " ") + *n++ + " " + std::to_string(x);
    return t;
  };
  refuse("is for " + list(found) + " where the model has " + list(want));
}

void ResultIn::end() {
  std::string_view line;
  if (next_line(line)) refuse("is past the last line the model gives");
}

void ResultIn::refuse_at(long line, const std::string& what) const {
  util::fatal(" restart refused: \"" + name_ + "\" line " + std::to_string(line) + " " + util::shown(what));
}

void ResultIn::unreadable(const std::string& what) const {
  const std::string line = std::to_string(in_.line_number());
  const bool cut = ran_out_;
  util::fatal(" restart refused: \"" + name_ + "\" " +
              (cut ? "ends at line " + line + ", short of the lines the model gives"
                   : "line " + line + " cannot be read as the model's values") +
              " (" + words_of(what) + "): the file was " + (cut ? "cut or changed" : "changed") +
              " after the store; put back the file that the store of cycle " +
              std::to_string(start_ - 1) + " wrote");
}

void ResultIn::within(double x, double lo, double hi, const std::string& what,
                      double rounding) const {
  if (!(x >= lo - rounding && x <= hi + rounding))
    refuse("holds " + what + " " + text_of(x) + ", outside " + text_of(lo) + " to " + text_of(hi));
}

void ResultIn::above(double x, double lo, const std::string& what) const {
  if (!(x > lo)) refuse("holds " + what + " " + text_of(x) + ", not above " + text_of(lo));
}

bool ResultIn::checked(std::span<const util::ReadTarget> ts, long lines) {
  const long before = in_.line_number();
  if (const ReadStatus r = in_.read(ts); r != ReadStatus::ok) return ran_out(r == ReadStatus::eof);
  const long took = in_.line_number() - before;
  if (took > lines) refuse_at(before + 1, "holds fewer values than the model gives");
  check(in_, ts);
  if (took < lines) refuse("holds more values than the model gives");
  return true;
}

void ResultIn::check(const util::TextIn& in, std::span<const util::ReadTarget> ts) const {
  if (!in.first_repeat().empty())
    refuse("holds \"" + std::string(in.first_repeat()) +
           "\", a repeat count, which the program does not write");
  for (const util::ReadTarget& t : ts)
    for (std::size_t k = 0; k < t.n; ++k) {
      double x = 0;
      if (t.kind == util::ReadTarget::R64)
        x = static_cast<const double*>(t.p)[k];
      else if (t.kind == util::ReadTarget::R32)
        x = static_cast<const float*>(t.p)[k];
      else
        continue;
      if (!std::isfinite(x)) refuse("holds " + text_of(x) + ", a number that is not finite");
      if (bounded_ && std::fabs(x) > too_large)
        refuse("holds " + text_of(x) + ", too large a number to use (above " + text_of(too_large) +
               " in size)");
    }
  if (in.dropped_items())
    refuse("holds more values than the model gives (\"" + std::string(in.first_dropped()) + "\")");
}

}  // namespace run
