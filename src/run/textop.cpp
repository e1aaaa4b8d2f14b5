#include "run/textop.hpp"

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <new>
#include <stdexcept>
#include <vector>

#include "model/model.hpp"
#include "run/lineread.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace textop {

namespace {

util::TextIn par_unit;

// One piece of a message line: a text, a number or a list of numbers.
struct Piece {
  std::string s;
  Piece(const char* v) : s(v) {}
  Piece(std::string_view v) : s(v) {}
  Piece(const std::string& v) : s(v) {}
  Piece(int v) : s(std::to_string(v)) {}
  Piece(long v) : s(std::to_string(v)) {}
  Piece(long long v) : s(std::to_string(v)) {}
  Piece(double v) : s(util::freev(v).substr(1)) {}
  Piece(const std::vector<int>& v) : s(pack(v)) {}
};

// A free-format message line: one leading blank, the pieces separated by a
// blank where neither side brings its own.
std::string msg(std::initializer_list<Piece> ps) {
  std::string out = " ";
  for (const Piece& p : ps) {
    if (p.s.empty()) continue;
    const char last = out.back(), first = p.s.front();
    if (last != ' ' && first != ' ' && first != '.' && first != ',' && first != ':' && first != ';')
      out.push_back(' ');
    out += p.s;
  }
  return out;
}

std::string quoted(std::string_view w) {
  return "\"" + std::string(w) + "\"";
}

std::string trim(std::string_view s) {
  const std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(" \t\r") - b + 1));
}

// True when the word, cut to width characters, is the key; keys are no
// longer than width, so a longer word matches on its first width characters.
bool same_on(std::string_view word, std::string_view key, std::size_t width) {
  return word.substr(0, width) == key;
}

// The type a word names: a residual type on the word's first 16
// characters, a random type on its first 11, an effect type on its first 3
// (none when it names no type).
model::ResidualType residual_type(std::string_view w) {
  for (const model::ResidualType t : model::residual_types)
    if (same_on(w, model::word(t), 16)) return t;
  return model::ResidualType::none;
}

model::RandomType random_type(std::string_view w) {
  for (const model::RandomType t : model::random_types)
    if (same_on(w, model::word(t), 11)) return t;
  return model::RandomType::none;
}

model::EffectType effect_type(std::string_view w) {
  for (const model::EffectType t : model::effect_types)
    if (same_on(w, model::word(t), 3)) return t;
  return model::EffectType::none;
}

// The answer of RESTART: 'y', 'n', or 0 when it is neither.
char yes_no(std::string_view w) {
  std::string s(w);
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  if (s == "y" || s == "yes") return 'y';
  if (s == "n" || s == "no") return 'n';
  return 0;
}

// Fields of a line of a number block: separated by blanks, tabs and commas.
// A field "r*v" stands for r copies of v.  Returns false with the offending
// field in bad when a field is not a number (an empty field between two
// commas included).
bool block_values(std::string_view text, std::vector<double>& out, std::string& bad) {
  out.clear();
  std::size_t i = 0;
  const std::size_t n = text.size();
  bool comma_pending = false;  // a comma since the last field
  bool any = false;
  auto is_sep = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
  while (i < n) {
    if (is_sep(text[i])) {
      ++i;
      continue;
    }
    if (text[i] == ',') {
      if (comma_pending || !any) {
        bad = "an empty value between commas";
        return false;
      }
      comma_pending = true;
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < n && !is_sep(text[j]) && text[j] != ',') ++j;
    const std::string_view f = text.substr(i, j - i);
    i = j;
    any = true;
    comma_pending = false;
    const std::size_t star = f.find('*');
    int repeat = 1;
    std::string_view v = f;
    if (star != std::string_view::npos) {
      if (whole_number(f.substr(0, star), repeat) != NumRead::ok || repeat < 1 || repeat > 400) {
        bad = quoted(f) + " is not a number";
        return false;
      }
      v = f.substr(star + 1);
    }
    double x = 0;
    const NumRead r = real_number(v, x);
    if (r != NumRead::ok) {
      bad =
          quoted(f) + (r == NumRead::out_of_range ? " is not a finite number" : " is not a number");
      return false;
    }
    for (int k = 0; k < repeat; ++k) out.push_back(x);
  }
  return true;
}

// Every keyword of the parameter file.
constexpr std::string_view keywords[] = {
    "MCMC_CHAIN:",
    "SEED",
    "RESTART:",
    "DATAFILE",
    "NUMBER_OF_TRAITS",
    "NUMBER_OF_EFFECTS",
    "OBSERVATION(S)",
    "WEIGHT(S)",
    "EFFECTS:",
    "RANDOM_RESIDUAL:",
    "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:",
    "NUMBER_OF_STRUCTURAL_EFFECTS",
    "STRUCTURAL_EFFECTS:",
    "RESIDUAL_PRIOR_(CO)VARIANCES",
    "RANDOM_GROUP",
    "RANDOM_TYPE",
    "PEDIGREEFILE:",
    "MULTIPLE_SIRES:",
    "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:",
    "(CO)VARIANCES",
};

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Edits from a to b (a character inserted, dropped or changed, or two
// neighbours swapped), letters compared without case.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  const std::size_t nb = b.size();
  std::vector<std::size_t> before(nb + 1), last(nb + 1), row(nb + 1);
  for (std::size_t j = 0; j <= nb; ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    before.swap(last);
    last.swap(row);
    row[0] = i;
    for (std::size_t j = 1; j <= nb; ++j) {
      const bool same = upper(a[i - 1]) == upper(b[j - 1]);
      row[j] = std::min({last[j] + 1, row[j - 1] + 1, last[j - 1] + (same ? 0 : 1)});
      const bool swapped = i > 1 && j > 1 && upper(a[i - 1]) == upper(b[j - 2]) &&
                           upper(a[i - 2]) == upper(b[j - 1]);
      if (swapped) row[j] = std::min(row[j], before[j - 2] + 1);
    }
  }
  return row[nb];
}

// The keyword a word is near, or empty when it is near none: the keyword
// fewest edits away among those within one edit per four characters of the
// keyword, at most three.  A slip in a long keyword (RANDOM_GRUP,
// RESIDUAL_PRIOR_COVARIANCES) is near; a note's first word (NB:, HERD_B, END)
// is near none, the short SEED allowing one edit only.
std::string_view near_keyword(std::string_view w) {
  std::string_view best;
  std::size_t fewest = 0;
  for (std::string_view k : keywords) {
    const std::size_t d = edit_distance(w, k);
    if (d <= std::min<std::size_t>(3, k.size() / 4) && (best.empty() || d < fewest)) {
      best = k;
      fewest = d;
    }
  }
  return best;
}

// The prompt for the parameter file's name ends without a line break; the
// first message of the reader ends its line first.
bool prompt_open = false;
void end_prompt_line() {
  if (!prompt_open) return;
  prompt_open = false;
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

// Counts that size arrays or enter sums of 32-bit integers stay below this,
// so that a count plus a degree of belief, or a cycle number plus one, fits.
constexpr int max_count = 1000000000;
// Traits and effects size the per-effect blocks (neff by 20 by 20 reals,
// several copies) and the per-record address tables; the residual matrix,
// like every group's, is of order at most maxcorr.
constexpr int max_traits = model::maxcorr;
constexpr int max_effects = 10000;
// Largest data column: the record length sizes the data held in memory.
constexpr int max_column = 1000000;

class Reader {
 public:
  explicit Reader(util::TextIn& in) : in_(in), M(model::m) {}
  void run();

 private:
  util::TextIn& in_;
  model::Model& M;
  Words w_;
  int ms_groups_ = 0;          // groups of type add_an_ms or add_an_mb
  int ram_groups_ = 0;         // groups that hold a "ram" effect
  std::vector<int> group_of_;  // first effect of the group each effect is in; 0 = none
  std::vector<double> line_values_;
  std::string block_key_;  // keyword of the block read last
  int block_order_ = 0;    // and its order
  // Said after the refusal of the line in hand: it reads as a note.
  std::string hint_;

  // Where the reader stands, as the last line of every refusal.
  std::string where() const { return where_line(w_.n < 0 ? -1 : w_.line, w_.text); }
  std::string where_line(long line, std::string_view text) const {
    if (line >= 0) return " in " + in_.name() + ", line " + std::to_string(line) + ": " + quoted(trim(text));
    const long last = in_.line_number();
    return " in " + in_.name() + ", at the end of the file" +
           (last > 0 ? " (after line " + std::to_string(last) + ")" : std::string());
  }
  [[noreturn]] void refuse(const std::string& message) const {
    util::fatal(message + hint_ + "\n" + where());
  }
  [[noreturn]] void refuse(std::initializer_list<Piece> ps) const { refuse(msg(ps)); }

  void next() { readline(in_, w_); }
  // Where the model may end, a blank line does not end it.
  void next_filled() {
    do next();
    while (w_.n == 0);
  }
  bool is(std::string_view key) const { return w_.n >= 1 && w_.word(1) == key; }
  // The line in hand must be the keyword line.
  void expect(std::string_view key, const std::string& message) {
    if (!is(key)) not_found(message);
  }
  // A keyword is missing; where a note stands in its place, the message
  // says how notes are written.
  [[noreturn]] void not_found(const std::string& message) const {
    refuse(notes_line() ? message + note_hint : message);
  }
  static constexpr const char* note_hint = "; a line of text stands in its place (comment lines begin with #)";
  bool notes_line() const;
  // Reads the value line of key, which must hold at least k words; expected
  // tells what it holds.
  void values(int k, std::string_view key, std::string_view expected) {
    next();
    check_values(k, key, expected);
  }
  void check_values(int k, std::string_view key, std::string_view expected) {
    std::string head(key);
    if (!head.ends_with(':')) head += ':';
    if (w_.n == -1) refuse({head, "the value line is missing at the end of the file; expected", expected});
    if (w_.n == 0) refuse({head, "the value line is empty; expected", expected});
    if (w_.n < k)
      refuse({head, "the value line holds", w_.n, w_.n == 1 ? "word" : "words", "; expected", expected});
  }
  // Word k of the line in hand as a whole number; what names it in messages.
  int whole(int k, std::string_view key, std::string_view what) {
    int v = 0;
    switch (whole_number(w_.word(k), v)) {
      case NumRead::ok:
        return v;
      case NumRead::out_of_range:
        refuse({key, "number out of range:", w_.word(k)});
      case NumRead::not_a_number:
        break;
    }
    refuse({what, "must be a whole number. Was", quoted(w_.word(k))});
  }
  // The same, within lo..hi.
  int whole(int k, std::string_view key, std::string_view what, int lo, int hi) {
    const int v = whole(k, key, what);
    if (v < lo) {
      if (lo == 0) refuse({what, "must not be negative. Was", v});
      refuse({what, "must be at least", lo, ". Was", v});
    }
    if (v > hi) refuse({what, "must be at most", hi, ". Was", v});
    return v;
  }

  // A warning line while the file is read.
  void warn(const std::string& text) const {
    end_prompt_line();
    util::say_text(text);
  }
  // Counts the line in hand and the lines after it that is_item accepts
  // (effect lines, structural effect lines), reading them.
  template <class IsItem>
  int count_items(IsItem is_item) {
    int n = 0;
    do {
      ++n;
      next();
    } while (is_item());
    return n;
  }
  // A list of given lines whose length differs from its count keyword.
  [[noreturn]] void refuse_count(std::string_view key, std::string_view what, int given,
                                 std::string_view count_key, int declared, long line,
                                 const std::string& text) const {
    util::fatal(msg({key, "the file gives", given, what, given == 1 ? "line" : "lines", "but", count_key,
                     "is", declared}) +
                "\n" + where_line(line, text));
  }

  // Reads the d*d numbers of a block, column by column, into x (d*d values);
  // error is the first line of the message when they are not there.
  void read_block(std::string_view key, int d, std::vector<double>& x, const std::string& error);
  // After a block: the line in hand must not hold more of its numbers.
  void no_more_rows();
  // Warns of every line after the model that is not a comment.
  void report_unread();

  bool number_first() const {
    int v = 0;
    return whole_number(w_.word(1), v) == NumRead::ok;
  }
  bool effect_line() const;
  bool structural_line() const;

  void chain();
  void data_layout();
  void effects();
  void residual();
  void random_group();
};

void Reader::run() {
  next();
  if (w_.n == -1) refuse({"INPUT FILE EMPTY"});
  chain();
  data_layout();
  effects();
  residual();
  next_filled();
  no_more_rows();
  while (is("RANDOM_GROUP")) {
    random_group();
    next_filled();
    no_more_rows();
  }
  report_unread();
}

void Reader::read_block(std::string_view key, int d, std::vector<double>& x,
                        const std::string& error) {
  const std::size_t need = static_cast<std::size_t>(d) * static_cast<std::size_t>(d);
  x.clear();
  std::string_view line;
  std::string bad;
  while (x.size() < need) {
    if (!in_.getline(line))
      util::fatal(error + "\n" +
                  msg({key, ": the file ends after", static_cast<long>(x.size()), "of the",
                       static_cast<long>(need), "values of a matrix of order", d}) +
                  "\n" + where_line(-1, {}));
    const long no = in_.line_number();
    if (!block_values(line, line_values_, bad))
      util::fatal(error + "\n" + msg({key, ":", bad}) + "\n" + where_line(no, line));
    const std::size_t k = line_values_.size();
    if (k == 0) continue;  // blank line
    if (x.size() + k > need)
      util::fatal(
          msg({key, ": more values than the", static_cast<long>(need), "of a matrix of order", d}) +
          "\n" + where_line(no, line));
    if (k % static_cast<std::size_t>(d) != 0)
      util::fatal(msg({key, ": a line holds", static_cast<long>(k),
                       "values; the rows of a matrix of order", d, "hold", d, "each"}) +
                  "\n" + where_line(no, line));
    x.insert(x.end(), line_values_.begin(), line_values_.end());
  }
  // x is column by column: x[(j-1)*d + i-1] is row i, column j.
  for (int j = 1; j <= d; ++j)
    for (int i = j + 1; i <= d; ++i) {
      const double a = x[static_cast<std::size_t>((j - 1) * d + (i - 1))];
      const double b = x[static_cast<std::size_t>((i - 1) * d + (j - 1))];
      // The file holds the matrix row by row: a stands in row j, b in row i.
      if (a != b)
        util::fatal(msg({key, ": the matrix is not symmetric: row", j, "column", i, "is", a,
                         "but row", i, "column", j, "is", b}) +
                    "\n" + where_line(in_.line_number(), line));
    }
  block_key_ = std::string(key);
  block_order_ = d;
}

void Reader::no_more_rows() {
  if (w_.n < 1) return;
  std::string bad;
  std::string_view first = w_.word(1);
  first = first.substr(0, first.find(','));
  if (first.empty() || !block_values(first, line_values_, bad)) return;
  refuse({block_key_, ": more rows than the order", block_order_, "of the matrix"});
}

void Reader::report_unread() {
  auto report = [this](long no, std::string_view text) {
    const std::string t = trim(text);
    if (t.empty() || t.front() == '#') return;
    // A misspelt keyword would leave its section unread and change the
    // model without a word: it stops the run.
    const std::string_view first = std::string_view(t).substr(0, t.find_first_of(" \t"));
    const std::string_view key = near_keyword(first);
    if (!key.empty()) {
      if (first == key)
        util::fatal(msg({key, "stands after the end of the model and would not be read; after a"
                              " matrix only RANDOM_GROUP may follow"}) +
                    "\n" + where_line(no, text));
      util::fatal(msg({quoted(first), "looks like a keyword but is none; the nearest keyword is", key,
                       ". The model ends before this line, which would not be read"}) +
                  "\n" + where_line(no, text));
    }
    warn(msg({"warning: line", no, "of", in_.name(), "is not part of the model and was not read:", t}));
  };
  if (w_.n >= 0) report(w_.line, w_.text);
  std::string_view line;
  while (in_.getline(line)) report(in_.line_number(), line);
}

// MCMC_CHAIN:, SEED, RESTART:
void Reader::chain() {
  expect("MCMC_CHAIN:", msg({"MCMC_CHAIN: not found"}));
  values(3,
         "MCMC_CHAIN:", "3 numbers: the number of cycles, the burn-in and the thinning interval");
  M.nround = whole(1, "MCMC_CHAIN:", "MCMC_CHAIN: number of cycles", 1, max_count);
  M.nburn = whole(2, "MCMC_CHAIN:", "MCMC_CHAIN: burn-in", 0, max_count);
  M.skip = whole(3, "MCMC_CHAIN:", "MCMC_CHAIN: thinning interval", 1, max_count);
  if (M.nburn >= M.nround)
    refuse(
        {"MCMC_CHAIN: the burn-in must be below the number of cycles", M.nround, ". Was", M.nburn});
  // Posterior means divide by the kept count; without a kept cycle there is none.
  if (M.nround / M.skip - M.nburn / M.skip < 1)
    refuse({"MCMC_CHAIN: no cycle after the burn-in", M.nburn, "up to cycle", M.nround,
            "is a multiple of the thinning interval", M.skip, "; no sample would be kept"});

  next();
  expect("SEED", msg({"SEED not found"}));
  values(1, "SEED", "1 number: the seed");
  M.seed = whole(1, "SEED", "SEED: seed");
  if (M.seed == 0) refuse({"SEED: a seed of 0 is not possible. Was", M.seed});

  next();
  expect("RESTART:", msg({"RESTART: not found"}));
  values(1, "RESTART:", "y or n (y followed by the cycle to restart from)");
  const char answer = yes_no(w_.word(1));
  if (answer == 0) refuse({"RESTART: the answer must be y or n. Was", quoted(w_.word(1))});
  M.rstart = answer;
  if (answer == 'y') {
    check_values(2, "RESTART:", "2 words: y and the cycle to restart from");
    M.start = whole(2, "RESTART:", "RESTART: cycle to restart from", 1, max_count);
  } else {
    M.start = 1;
  }
}

// DATAFILE, NUMBER_OF_TRAITS, NUMBER_OF_EFFECTS (allocations), OBSERVATION(S),
// WEIGHT(S)
void Reader::data_layout() {
  next();
  expect("DATAFILE", msg({"DATAFILE not found"}));
  values(2, "DATAFILE", "2 words: the data file and the number of records");
  M.datafile = std::string(w_.word(1));
  M.nrec = whole(2, "DATAFILE", "DATAFILE: number of records", 1, max_count);

  next();
  expect("NUMBER_OF_TRAITS", msg({"NUMBER_OF_TRAITS not found"}));
  values(1, "NUMBER_OF_TRAITS", "1 number: the number of traits");
  M.ntrait = whole(1, "NUMBER_OF_TRAITS", "NUMBER_OF_TRAITS", 1, max_traits);

  next();
  expect("NUMBER_OF_EFFECTS", msg({"NUMBER_OF_EFFECTS not found"}));
  values(1, "NUMBER_OF_EFFECTS", "1 number: the number of effects");
  M.neff = whole(1, "NUMBER_OF_EFFECTS", "NUMBER_OF_EFFECTS", 1, max_effects);

  const int nf = M.neff, ntr = M.ntrait;
  try {
    M.pos_y.resize(ntr);
    M.pos_eff.resize(nf, ntr);
    M.nlev.resize(nf);
    M.effecttype.resize(nf);
    M.effecttype.fill(model::EffectType::none);
    M.effectsave.resize(nf);
    M.nestedcov.resize(nf, ntr);
    M.randomtype.resize(nf);
    M.randomtype.fill(model::RandomType::none);
    M.randomnumb.resize(nf);
    M.randomfile.resize(nf);
    M.dbelief_g.resize(nf);
    M.r.resize(ntr, ntr);
    M.rinv.resize(ntr, ntr);
    M.g.resize(nf, model::maxcorr, model::maxcorr);
    M.lenped.resize(nf);
    M.ngrp.resize(nf);
    M.nbreed.resize(nf);
    group_of_.assign(static_cast<std::size_t>(nf) + 1, 0);
  } catch (const std::bad_alloc&) {
    refuse({"Not enough memory for the description of", nf, "effects and", ntr, "traits"});
  } catch (const std::length_error&) {
    refuse({"Not enough memory for the description of", nf, "effects and", ntr, "traits"});
  }

  next();
  expect("OBSERVATION(S)", msg({" OBSERVATION(S) not found"}));
  next();
  if (w_.n != ntr) refuse({ntr, " numbers expected after OBSERVATION(S)"});
  for (int t = 1; t <= ntr; ++t) {
    const std::string what = msg({"OBSERVATION(S): data column of trait", t}).substr(1);
    M.pos_y(t) = whole(t, "OBSERVATION(S)", what, 1, max_column);
  }

  next();
  expect("WEIGHT(S)", msg({" WEIGHT(S) not found"}));
  next();
  if (w_.n >= 2 || w_.n == -1) refuse({ntr, " Only one number for WEIGHT"});
  M.pos_weight = w_.n == 1 ? whole(1, "WEIGHT(S)", "WEIGHT(S): data column", 0, max_column) : 0;
}

// EFFECTS: one line per effect.
void Reader::effects() {
  next();
  expect("EFFECTS:", msg({" EFFECTS: not found"}));
  const int nt = M.ntrait;
  long long levels = 0;  // sum of nlev so far
  for (int i = 1; i <= M.neff; ++i) {
    next();
    const int c = w_.n;
    if (c >= 1 && !number_first() && !near_keyword(w_.word(1)).empty())
      refuse_count("EFFECTS:", "effect", i - 1, "NUMBER_OF_EFFECTS", M.neff, w_.line, w_.text);
    // A note among the effect lines is refused as the effect line it
    // stands for; the refusal says how notes are written.
    if (notes_line()) hint_ = note_hint;
    if (c != nt + 3 && c != nt + 4 && c != 2 * nt + 3 && c != 2 * nt + 4)
      refuse({"too few or too many numbers for effect ", i, ". Was ", c});
    for (int t = 1; t <= nt; ++t) {
      const std::string what = msg({"EFFECTS: data column of effect", i, "trait", t}).substr(1);
      M.pos_eff(i, t) = whole(t, "EFFECTS:", what, 0, max_column);
    }
    const std::string lev = msg({"EFFECTS: number of levels of effect", i}).substr(1);
    M.nlev(i) = whole(nt + 1, "EFFECTS:", lev, 1, max_count);
    levels += M.nlev(i);
    if (levels * nt > 2147483647LL)
      refuse({"EFFECTS: the model has", levels * nt,
              "equations (traits times the sum of the levels); at most 2147483647 are possible"});

    const std::string_view type = w_.word(nt + 2);
    const model::EffectType code = effect_type(type);
    if (code == model::EffectType::none) {
      warn(msg({"Unknown type of effect: ", type}));
      refuse({"EFFECTS: the type of effect", i, "must begin with cro, cov, ram, unk or rno"});
    }
    M.effecttype(i) = code;

    if (model::nested(code)) {
      // Nesting columns follow the save word; with 2*ntrait+2 words the save
      // word itself counts as the first of them, and is a column only when
      // it is a number.
      int first = 0;
      if (c == 2 * nt + 3)
        first = nt + 3;
      else if (c == 2 * nt + 2)
        first = nt + 2;
      if (first > 0) {
        for (int t = 1; t <= nt; ++t) {
          const std::string what =
              msg({"EFFECTS: nesting column of effect", i, "trait", t}).substr(1);
          int probe = 0;
          // A save word standing for the first column is no column: 0.
          if (first + t == nt + 3 &&
              whole_number(w_.word(first + t), probe) == NumRead::not_a_number)
            M.nestedcov(i, t) = 0;
          else
            M.nestedcov(i, t) = whole(first + t, "EFFECTS:", what, 0, max_column);
        }
      }
    }
    M.effectsave(i) = w_.word(nt + 3).starts_with('y') ? 1 : 0;
    hint_.clear();
  }
}

// RANDOM_RESIDUAL:, the structural sections, RESIDUAL_PRIOR_(CO)VARIANCES
// True when the line in hand reads as an effect line.
bool Reader::effect_line() const {
  const int c = w_.n, nt = M.ntrait;
  return (c == nt + 3 || c == nt + 4 || c == 2 * nt + 3 || c == 2 * nt + 4) && number_first();
}

// True when the line in hand reads as a line of notes: two words or more,
// the first beginning with a letter, no file name and near no keyword, the
// second no number.  Value lines ("data.txt 2000", "homogeneous 0", "y 3001")
// are none.
bool Reader::notes_line() const {
  if (w_.n < 2) return false;
  const std::string_view first = w_.word(1);
  const char c = upper(first.front());
  if (c < 'A' || c > 'Z' || first.find_first_of("./\\") != std::string_view::npos) return false;
  double x = 0;
  return real_number(w_.word(2), x) == NumRead::not_a_number && near_keyword(first).empty();
}

// True when the line in hand reads as a structural effect line.
bool Reader::structural_line() const { return (w_.n == 1 || w_.n == 2) && number_first(); }

void Reader::residual() {
  next();
  if (!is("RANDOM_RESIDUAL:") && effect_line()) {
    const long line = w_.line;
    const std::string text = w_.text;
    const int more = count_items([this] { return effect_line(); });
    refuse_count("EFFECTS:", "effect", M.neff + more, "NUMBER_OF_EFFECTS", M.neff, line, text);
  }
  expect("RANDOM_RESIDUAL:", msg({" RANDOM_RESIDUAL: not found"}));
  values(1, "RANDOM_RESIDUAL:", "2 words: the residual type and the degrees of belief");
  M.residualtype = residual_type(w_.word(1));
  if (M.residualtype == model::ResidualType::none)
    refuse(msg({"unknown RANDOM_RESIDUAL-TYPE: ", w_.word(1)}) + "\n" +
           msg({" Should be homogeneous, structural, slash, struct_slash, student_t, "
                "struct_student_t"}));
  check_values(2, "RANDOM_RESIDUAL:", "2 words: the residual type and the degrees of belief");
  M.dbelief_r = whole(2, "RANDOM_RESIDUAL:", "RANDOM_RESIDUAL: degrees of belief", 0, max_count);

  if (model::structural(M.residualtype)) {
    next();
    const std::string_view mh = "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:";
    expect(mh, msg({mh, "not found"}));
    values(2, mh, "2 numbers: the steps per cycle and the tuning interval");
    M.r_nround =
        whole(1, mh, "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: steps per cycle", 0, max_count);
    M.r_skip = whole(2, mh, "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: tuning interval", 1, max_count);

    next();
    expect("NUMBER_OF_STRUCTURAL_EFFECTS", msg({"NUMBER_OF_STRUCTURAL_EFFECTS not found"}));
    values(1, "NUMBER_OF_STRUCTURAL_EFFECTS", "1 number: the number of structural effects");
    M.neffr = whole(1, "NUMBER_OF_STRUCTURAL_EFFECTS", "NUMBER_OF_STRUCTURAL_EFFECTS", 0, M.neff);
    M.pos_effr.resize(M.neffr);
    M.effrsave.resize(M.neffr);

    next();
    expect("STRUCTURAL_EFFECTS:", msg({" STRUCTURAL_EFFECTS: not found"}));
    for (int k = 1; k <= M.neffr; ++k) {
      next();
      if (w_.n >= 1 && !structural_line() && !near_keyword(w_.word(1)).empty())
        refuse_count("STRUCTURAL_EFFECTS:", "structural effect", k - 1, "NUMBER_OF_STRUCTURAL_EFFECTS",
                     M.neffr, w_.line, w_.text);
      if (w_.n != 1 && w_.n != 2)
        refuse({"too few or too many numbers for effect ", k, ". Was ", w_.n});
      M.pos_effr(k) = whole(1, "STRUCTURAL_EFFECTS:", "STRUCTURAL_EFFECTS: effect number");
      if (M.pos_effr(k) < 1 || M.pos_effr(k) > M.neff)
        refuse({"STRUCTURAL_EFFECTS: effect number must be within 1 to", M.neff, ". Was",
                M.pos_effr(k)});
      M.effrsave(k) = w_.n == 2 && w_.word(2).starts_with('y') ? 1 : 0;
    }
  }

  next();
  if (M.neffr > 0 && !is("RESIDUAL_PRIOR_(CO)VARIANCES") && structural_line()) {
    const long line = w_.line;
    const std::string text = w_.text;
    const int more = count_items([this] { return structural_line(); });
    refuse_count("STRUCTURAL_EFFECTS:", "structural effect", M.neffr + more,
                 "NUMBER_OF_STRUCTURAL_EFFECTS", M.neffr, line, text);
  }
  expect("RESIDUAL_PRIOR_(CO)VARIANCES", msg({" RESIDUAL_PRIOR_(CO)VARIANCES not found"}));
  std::vector<double> x;
  read_block("RESIDUAL_PRIOR_(CO)VARIANCES", M.ntrait, x,
             msg({"error reading RANDOM_RESIDUAL variances"}));
  for (int j = 1; j <= M.ntrait; ++j)
    for (int i = 1; i <= M.ntrait; ++i)
      M.r(i, j) = x[static_cast<std::size_t>((j - 1) * M.ntrait + (i - 1))];
}

// One group, after its RANDOM_GROUP line.
void Reader::random_group() {
  next();
  const int c = w_.n;
  if (c < 1 || c > M.neff) refuse({"line after RANDOM_GROUP has too few or too many numbers"});
  std::vector<int> nums(static_cast<std::size_t>(c));
  for (int k = 1; k <= c; ++k)
    nums[static_cast<std::size_t>(k - 1)] = whole(k, "RANDOM_GROUP", "RANDOM_GROUP: effect number");
  if (nums.front() < 1 || nums.back() > M.neff)
    refuse({"number ", nums, " after RANDOM_GROUP out of range"});
  for (int k = 1; k < c; ++k)
    if (nums[static_cast<std::size_t>(k)] != nums.front() + k)
      refuse({" correlated effects:", nums, " should be consecutive"});
  const int e = nums.front(), n = c;
  for (int k = e; k < e + n; ++k)
    if (group_of_[static_cast<std::size_t>(k)] != 0)
      refuse({"RANDOM_GROUP", nums, ": effect", k, "is already in the random group of effect",
              group_of_[static_cast<std::size_t>(k)], "; an effect belongs to one group only"});
  for (int k = e; k < e + n; ++k) group_of_[static_cast<std::size_t>(k)] = e;

  bool ram = false;
  for (int k = e; k < e + n; ++k) ram = ram || M.effecttype(k) == model::EffectType::ram;
  if (ram && ++ram_groups_ > 1)
    refuse({"RANDOM_GROUP", nums, ": a second reduced animal model (ram) group is not possible"});
  M.randomnumb(e) = n;
  int present[model::maxcorr];
  if (M.ntrait * n <= model::maxcorr && model::present_rows(e, present) == 0)
    refuse({"RANDOM_GROUP", nums, ": its effects are absent for every trait (every data column 0):"
            " the group has nothing to sample"});

  next();
  expect("RANDOM_TYPE", msg({" RANDOM_TYPE not found"}));
  values(1, "RANDOM_TYPE", "2 words: the random type and the degrees of belief");
  const model::RandomType code = random_type(w_.word(1));
  if (code == model::RandomType::none)
    refuse(msg({"unknown RANDOM-TYPE: ", w_.word(1)}) + "\n" +
           msg({" Should be diagonal, add_animal, add_sire",
                " add_an_upg, add_an_upginb, or par_domin", " add_an_ms, add_an_mb, diag_mb"}));
  if (code == model::RandomType::par_domin)
    refuse(
        {"RANDOM_TYPE par_domin (parental dominance) of random effect", e, "is not implemented"});
  if (model::multiple_sires_section(code) && ++ms_groups_ > 1)
    refuse({"RANDOM_TYPE", w_.word(1), "of random effect", e,
            ": only one group of type add_an_ms or add_an_mb is possible"});
  check_values(2, "RANDOM_TYPE", "2 words: the random type and the degrees of belief");
  M.randomtype(e) = code;
  M.dbelief_g(e) = whole(2, "RANDOM_TYPE", "RANDOM_TYPE: degrees of belief", 0, max_count);
  if (model::multiple_breed(code)) {
    // Breed blocks drawn whole leave no room for rows without a variance.
    for (int k = e; k < e + n; ++k)
      for (int t = 1; t <= M.ntrait; ++t)
        if (M.pos_eff(k, t) == 0)
          refuse({"RANDOM_TYPE", w_.word(1), "of random effect", e, ": effect", k,
                  "is absent for trait", t,
                  "(data column 0); a multiple-breed group needs each of its effects for every"
                  " trait"});
    // The breed blocks' inverse-Wishart prior has scale (nu - d - 1) times
    // the starting block: proper only above d + 1.
    const int least = M.ntrait * n + 2;
    if (M.dbelief_g(e) < least)
      refuse({"RANDOM_TYPE", w_.word(1), "of random effect", e, ": degrees of belief",
              M.dbelief_g(e), "give no proper prior of its breed blocks of order", least - 2,
              "; the least allowed is", least});
  }

  next();
  expect("PEDIGREEFILE:", msg({" PEDIGREEFILE for random effect ", e, " not found"}));
  const int need = model::pedigree_words(code);
  static constexpr std::string_view expected_words[] = {
      "the pedigree file (a name, not read for diagonal)",
      "2 words: the pedigree file and the number of animals",
      "3 words: the pedigree file, the number of animals and the number of groups",
      "4 words: the pedigree file, the number of animals, of groups and of breeds"};
  const std::string_view expected = expected_words[need - 1];
  values(need, "PEDIGREEFILE:", expected);
  M.randomfile(e) = std::string(w_.word(1));
  if (need >= 2)
    M.lenped(e) = whole(2, "PEDIGREEFILE:", "PEDIGREEFILE: number of animals", 0, max_count);
  if (need >= 3)
    M.ngrp(e) = whole(3, "PEDIGREEFILE:", "PEDIGREEFILE: number of groups", 0, max_count);
  if (need >= 4) {
    M.nbreed(e) = whole(4, "PEDIGREEFILE:", "PEDIGREEFILE: number of breeds");
    if (M.nbreed(e) < 1)
      refuse({"PEDIGREEFILE: number of breeds of random effect", e, "must be at least 1. Was",
              M.nbreed(e)});
  }
  if (code != model::RandomType::diagonal && !util::TextIn::exists(M.randomfile(e)))
    refuse({"pedigree file of random effect", e, "not found:", M.randomfile(e)});

  if (model::multiple_sires_section(code)) {
    next();
    expect("MULTIPLE_SIRES:", msg({" MULTIPLE_SIRES: for random effect ", e, " not found"}));
    values(3, "MULTIPLE_SIRES:",
           "3 words: the largest number of candidate sires, the multiple-sires file and its number "
           "of values"
           " (a Dirichlet weight fourth when the largest number is above 1)");
    M.max_msires = whole(1, "MULTIPLE_SIRES:", "MULTIPLE_SIRES: largest number of candidate sires",
                         0, max_count);
    M.msfile = std::string(w_.word(2));
    M.n_ms = whole(3, "MULTIPLE_SIRES:", "MULTIPLE_SIRES: number of values", 0, max_count);
    if (M.max_msires > 1) {
      check_values(
          4, "MULTIPLE_SIRES:",
          "4 words: the largest number of candidate sires, the multiple-sires file, its number of"
          " values and the Dirichlet weight");
      double a = 0;
      if (real_number(w_.word(4), a) != NumRead::ok)
        refuse({"MULTIPLE_SIRES: the Dirichlet weight is not a number:", w_.word(4)});
      M.ms_alpha = 0;
      field_real(w_.word(4), M.ms_alpha);  // rounded once, straight to 32 bits
    }
  }

  if (model::multiple_breed(code)) {
    next();
    const std::string mb = msg({"METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: not found"});
    if (!(w_.n >= 1 && same_on(w_.word(1), "METROPOLIS_STEP_OF_M", 20) && w_.word(1).size() >= 20))
      not_found(mb);
    const std::string_view key = "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:";
    values(2, key, "2 numbers: the steps per cycle and the tuning interval");
    M.mb_nround =
        whole(1, key, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: steps per cycle", 0, max_count);
    M.mb_skip =
        whole(2, key, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: tuning interval", 1, max_count);
  }

  next();
  expect("(CO)VARIANCES", msg({" (CO)VARIANCES not found"}));
  long long d = static_cast<long long>(M.ntrait) * n;
  if (model::multiple_breed(code)) d *= M.nbreed(e);
  if (d > model::maxcorr)
    refuse(msg({"maxcorr should be increased to at least ", d}) + "\n" +
           msg({"the (co)variance block of random effect", e, "has order", d,
                "; the largest possible is", model::maxcorr}));
  const int dd = static_cast<int>(d);
  std::vector<double> block;
  read_block("(CO)VARIANCES", dd, block, msg({"error reading variances for effect ", e}));
  for (int j = 1; j <= dd; ++j)
    for (int i = 1; i <= dd; ++i)
      M.g(e, i, j) = block[static_cast<std::size_t>((j - 1) * dd + (i - 1))];
}

}  // namespace

void read_parameters() {
  read_parameters(std::cin);
}

void read_parameters(std::istream& in) {
  std::fputs("  name of parameter file?", stdout);
  std::fflush(stdout);
  prompt_open = true;
  try {
    std::string line;
    if (!std::getline(in, line))
      util::fatal_stderr(" end of input: no parameter file name was given");
    // A name given from a file saved with a byte-order mark starts with it.
    read_parameter_file(std::string(util::after_byte_order_mark(line)));
  } catch (const util::Stop&) {
    end_prompt_line();
    throw;
  }
  // The echo's banner follows on the prompt's line.
  prompt_open = false;
}

void read_parameter_file(const std::string& name) {
  model::m.parfile = trim(name);
  const std::string& file = model::m.parfile;
  if (!util::TextIn::exists(file)) util::fatal(msg({"parameter file not found:", file}));
  par_unit = util::TextIn(file);
  read_parameter_text(par_unit);
}

void read_parameter_text(util::TextIn& par) {
  std::string parfile = std::move(model::m.parfile);
  model::m = model::Model{};
  model::m.parfile = std::move(parfile);
  Reader(par).run();
}

util::TextIn& parameter_unit() {
  return par_unit;
}

}  // namespace textop
