#include "run/readfiles.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "run/lineread.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run {

namespace {

using model::m;

using model::RandomType;

// Breed fractions written to a few decimals (thirds as 0.333) still sum to 1
// within this.
constexpr double fraction_tolerance = 1e-3;
// The bound of the parameter file's pedigree line count.
constexpr long long max_pedigree_lines = 1000000000;

// Where a refused value stands, for the messages.
struct Where {
  const util::TextIn& file;
  int e;      // the group's first effect
  int i;      // pedigree record (the animal's line)
  long line;  // its line in the file
  std::string_view text = {};  // the line as read, when the refusal is of its values
  std::size_t fields = 0;      // the values a record takes
};

// Line ends of a carriage return alone make the file one line.
std::string line_end_hint(const util::TextIn& file) {
  return file.lone_carriage_returns()
             ? "; the file's lines end in a carriage return alone (the line ends of old Mac files), which ends"
               " no line here, so the file reads as one line: save it with line feeds (LF, or CR LF)"
             : "";
}

// An empty cell of a tab-separated line is passed over: the values after it
// move one field to the left.  What the line holds, "" when none.
std::string empty_cell(std::string_view text, std::size_t fields) {
  const std::size_t cell = util::empty_tab_cell(text, fields);
  if (cell == 0) return "";
  return "separates its fields by tabs and field " + std::to_string(cell) +
         " is an empty cell, which the read passes over (the values after it move one field to the left):"
         " write 0 for an unknown parent";
}
std::string tab_hint(std::string_view text, std::size_t fields) {
  const std::string cell = empty_cell(text, fields);
  return cell.empty() ? "" : "; the line " + cell;
}

[[noreturn]] void refuse(const Where& w, const std::string& what) {
  util::fatal(" Error in pedigree file " + w.file.name() + " of effect " + std::to_string(w.e) +
              ", line " + std::to_string(w.line) + " (record " + std::to_string(w.i) + "): " + what +
              tab_hint(w.text, w.fields) + line_end_hint(w.file));
}

// What a word where an id stands most likely is: an unknown parent written
// as a missing value (NA, an empty field), or an id that is no level (a
// name, a herd-book number with letters).
std::string id_hint(const util::RecordRead& r) {
  using F = util::RecordRead::Fault;
  if (r.field < 1 || r.field > 3 || (r.fault != F::not_number && r.fault != F::empty_field)) return "";
  if (r.fault == F::empty_field || util::missing_word(r.word))
    return r.field >= 2 ? "; an unknown parent is written 0" : "";
  for (const char c : r.word)
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
      return "; ids are whole numbers from 1 to the levels of the effect: recode ids such as this one"
             " (manual, section 1.1)";
  return "";
}

// Names of the three id columns of a pedigree record.
struct Columns {
  const char* c[3];
};
Columns column_names(RandomType rt) {
  if (rt == RandomType::add_sire) return {{"sire", "sire of the sire", "maternal grandsire"}};
  if (model::candidate_sires(rt)) return {{"animal", "dam", "sire"}};
  return {{"animal", "parent", "parent"}};
}

// Largest id a parent or candidate sire may have: it needs an equation of
// the effect, and for the multiple-breed types also a pedigree line of its
// own (its breed fractions and parents are looked up there).
int parent_limit(int e) {
  return model::multiple_breed(m.randomtype(e)) ? std::min(m.nlev(e), m.lenped(e)) : m.nlev(e);
}

// Checks the three ids of record i of effect e.
void check_ids(const Where& w, const int ids[3]) {
  const int e = w.e;
  const RandomType rt = m.randomtype(e);
  const Columns names = column_names(rt);
  // Animals beyond the levels of an add_an_ms group have no equations of
  // their own (reduced animal model); their id is not used as a level.
  const int animal_max =
      rt == RandomType::add_an_ms && w.i > m.nlev(e) ? std::max(m.nlev(e), m.lenped(e)) : m.nlev(e);
  if (ids[0] < 1 || ids[0] > animal_max)
    refuse(w, std::string(names.c[0]) + " " + std::to_string(ids[0]) + " is not within 1 to " +
                  std::to_string(animal_max) + (ids[0] > animal_max ? model::recode_hint : ""));
  const int pmax = parent_limit(e);
  for (int k = 1; k <= 2; ++k) {
    const int id = ids[k];
    if (k == 2 && id < 0 && model::candidate_sires(rt)) {
      if (m.max_msires <= 0)
        refuse(w, "negative sire " + std::to_string(id) +
                      " (candidate sires) but the model has no multiple-sires file");
      continue;
    }
    if (id < 0 || id > pmax)
      refuse(w, std::string(names.c[k]) + " " + std::to_string(id) + " is not within 0 to " +
                    std::to_string(pmax) + (id > m.nlev(e) ? model::recode_hint : ""));
  }
}

// Block assignment of record i, whose sire is negative: its candidate block
// starts at the running position n_ms, which then moves past the block.
void assign_block(model::State& s, const Where& w, int n_values, int dam) {
  const int p = m.n_ms;
  const std::string file = " of the multiple-sires file " + m.msfile;
  if (p < 1 || p > n_values)
    refuse(w, "the candidate block would start at position " + std::to_string(p) + ", beyond the " +
                  std::to_string(n_values) + " values" + file);
  const double count = s.MS(p);
  if (!(count >= 1.0 && count <= model::max_candidates && count == std::trunc(count)))
    refuse(w, "the candidate count " + util::freev(count).substr(1) + " at position " +
                  std::to_string(p) + file + " is not a whole number from 1 to " +
                  std::to_string(model::max_candidates));
  const int k = static_cast<int>(count);
  if (p + 2 * k > n_values)
    refuse(w, "the block of " + std::to_string(k) + " candidates at position " + std::to_string(p) +
                  file + " runs past its " + std::to_string(n_values) + " values");
  const int pmax = parent_limit(w.e);
  // Some candidate has a probability above 0; some candidate is a sire (not 0).
  bool weighted = false, sire = false;
  for (int j = 1; j <= k; ++j) {
    const double id = std::trunc(s.MS(p + 2 * j - 1));
    const std::string shown = util::freev(s.MS(p + 2 * j - 1)).substr(1);
    if (!(id >= 0.0 && id <= pmax))
      refuse(w, "candidate sire " + shown + " at position " + std::to_string(p + 2 * j - 1) + file +
                    " is not within 0 to " + std::to_string(pmax));
    if (id != s.MS(p + 2 * j - 1))
      refuse(w, "candidate sire " + shown + " at position " + std::to_string(p + 2 * j - 1) + file +
                    " is not a whole number");
    // As for a known sire: not the animal itself, nor its dam.
    if (id == w.i)
      refuse(w, "animal " + std::to_string(w.i) + " is its own candidate sire at position " +
                    std::to_string(p + 2 * j - 1) + file);
    if (id != 0.0 && id == dam)
      refuse(w, "candidate sire " + shown + " at position " + std::to_string(p + 2 * j - 1) + file +
                    " is the animal's dam");
    const double pr = s.MS(p + 2 * j);
    if (!(pr >= 0.0 && pr <= 1.0))
      refuse(w, "the probability " + util::freev(pr).substr(1) + " of candidate " + std::to_string(j) +
                    " at position " + std::to_string(p + 2 * j) + file + " is not within 0 to 1");
    weighted = weighted || pr > 0.0;
    sire = sire || id != 0.0;
  }
  // The draw and the average of the candidates weight each by its
  // probability: with all of them 0 neither has a candidate to weight.
  if (!weighted)
    refuse(w, "the probabilities of the " + std::to_string(k) + " candidates of the block at position " +
                  std::to_string(p) + file + " are all 0");

  if (s.MS(p) <= static_cast<double>(m.max_msires)) {
    // The draw passes over candidates numbered 0 to the next one and ends
    // at the last sire of the block: a sampled block needs one.
    if (!sire)
      refuse(w, "every candidate of the block at position " + std::to_string(p) + file +
                    " is 0; no sire can be drawn for animal " + std::to_string(w.i));
    // The Dirichlet redraw takes each candidate's parameter as a gamma shape.
    if (model::samples_msires() && !s.MS_ALPHAS.empty())
      for (int j = 1; j <= k; ++j) {
        const float a = static_cast<float>(s.MS_ALPHAS(p + 2 * j));
        if (!(a > 0.0f) || !std::isfinite(a))
          refuse(w, "the Dirichlet parameter " + util::freev(s.MS_ALPHAS(p + 2 * j)).substr(1) +
                        " of candidate " + std::to_string(j) + " of the block at position " +
                        std::to_string(p) + file + " is not above 0");
      }
    s.MS_STAT(w.i) = 1;
  }
  s.P_MS(w.i) = p;
  m.n_ms = static_cast<int>(static_cast<double>(p) + 1.0 + 2.0 * s.MS(p));
}

// Records of a group's pedigree by animal id, to find repeated ids and to
// walk ancestries.
struct PedIndex {
  std::vector<int> rec_of;    // (largest id + 1) record of each animal id, 0 none
  std::vector<long> line_of;  // (lenped + 1) file line of each record
};

// Checks of record i against itself and the records before it.
void check_record(const Where& w, const int ids[3], PedIndex& ix) {
  const RandomType rt = m.randomtype(w.e);
  const Columns names = column_names(rt);
  auto id0 = [&] { return std::string(names.c[0]) + " " + std::to_string(ids[0]); };
  // The sampling steps look animals up by their number.
  if (model::candidate_sires(rt) && ids[0] > w.i)
    refuse(w, "animal " + std::to_string(w.i) + " has no line: record " + std::to_string(w.i) +
                  " describes " + id0() + "; each record must describe the animal of its number");
  if (model::candidate_sires(rt) && ids[0] != w.i)
    refuse(w, id0() + " is on record " + std::to_string(w.i) +
                  "; each record must describe the animal of its number");
  int& first = ix.rec_of[static_cast<std::size_t>(ids[0])];
  if (first != 0)
    refuse(w, id0() + " was given before, on line " +
                  std::to_string(ix.line_of[static_cast<std::size_t>(first)]));
  first = w.i;
  ix.line_of[static_cast<std::size_t>(w.i)] = w.line;
  for (int k = 1; k <= 2; ++k)
    if (ids[k] == ids[0]) refuse(w, id0() + " is given as its own " + names.c[k]);
  // The sire model's two ancestors may be one bull, and one unknown parent
  // group may stand for both parents (see check_ancestry).
  if ((rt == RandomType::add_animal || model::candidate_sires(rt)) && ids[1] > 0 &&
      ids[1] == ids[2])
    refuse(w, "both parents are " + std::to_string(ids[1]));
}

// Checks that need the whole pedigree of effect e: one id as both parents is
// refused when it has known parents of its own (an animal, not a parent
// group), and no animal may be its own ancestor.  The walk visits each record
// once, so it takes time linear in the records.
void check_ancestry(const model::State& s, const util::TextIn& file, int e, const PedIndex& ix) {
  const int len = std::max(m.lenped(e), 0);
  const Columns names = column_names(m.randomtype(e));
  auto where = [&](int r) { return Where{file, e, r, ix.line_of[static_cast<std::size_t>(r)]}; };
  auto rec_of = [&](int id) { return ix.rec_of[static_cast<std::size_t>(id)]; };
  auto has_parents = [&](int r) { return s.PED(e, r, 2) > 0 || s.PED(e, r, 3) > 0; };
  if (model::parent_groups(m.randomtype(e)))
    for (int r = 1; r <= len; ++r) {
      const int p = s.PED(e, r, 2);
      if (p <= 0 || p != s.PED(e, r, 3)) continue;
      const int q = rec_of(p);
      if (q > 0 && has_parents(q))
        refuse(where(r), "both parents are " + std::to_string(p) +
                             ", an animal with parents of its own (line " +
                             std::to_string(ix.line_of[static_cast<std::size_t>(q)]) +
                             "), not a parent group");
    }

  // Depth-first walk from each record up through its parents: the known
  // ones, and every candidate sire of a record whose sire is drawn (any of
  // them may become its sire).  1 on the current path, 2 done.
  const bool candidates = model::candidate_sires(m.randomtype(e)) && m.max_msires > 0;
  auto ncand = [&](int r) {
    return candidates && s.PED(e, r, 3) < 0 ? static_cast<int>(s.MS(s.P_MS(r))) : 0;
  };
  // Parent k of record r: 0 the second column, 1 the third, 2.. the
  // candidates (for a negative third column); 0 for none.
  auto parent = [&](int r, int k) {
    if (k == 0) return s.PED(e, r, 2);
    if (k == 1) return std::max(s.PED(e, r, 3), 0);
    return static_cast<int>(s.MS(s.P_MS(r) + 2 * (k - 2) + 1));
  };
  std::vector<unsigned char> state(static_cast<std::size_t>(len) + 1, 0);
  struct Step {
    int rec, next;  // record, next parent to take (parent())
  };
  std::vector<Step> path;
  for (int r0 = 1; r0 <= len; ++r0) {
    if (state[static_cast<std::size_t>(r0)] != 0) continue;
    state[static_cast<std::size_t>(r0)] = 1;
    path.push_back({r0, 0});
    while (!path.empty()) {
      Step& top = path.back();
      if (top.next >= 2 + ncand(top.rec)) {
        state[static_cast<std::size_t>(top.rec)] = 2;
        path.pop_back();
        continue;
      }
      const int p = parent(top.rec, top.next++);
      const int q = p > 0 ? rec_of(p) : 0;
      if (q == 0 || state[static_cast<std::size_t>(q)] == 2) continue;
      if (state[static_cast<std::size_t>(q)] == 0) {
        state[static_cast<std::size_t>(q)] = 1;
        path.push_back({q, 0});
        continue;
      }
      // q is on the path: its ancestry leads back to it.
      std::size_t j = path.size();
      while (path[j - 1].rec != q) --j;
      std::string lines;
      const std::size_t shown_max = 20;
      for (std::size_t k = j - 1, n = 0; k < path.size(); ++k, ++n) {
        if (n == shown_max) {
          lines += " -> ...";
          break;
        }
        if (!lines.empty()) lines += " -> ";
        lines += std::to_string(ix.line_of[static_cast<std::size_t>(path[k].rec)]);
      }
      lines += " -> " + std::to_string(ix.line_of[static_cast<std::size_t>(q)]);
      // A cycle through a candidate: the first candidate on it descends
      // from the animal it is listed for.
      for (std::size_t k = j - 1; k < path.size(); ++k) {
        const int taken = path[k].next - 1;
        if (taken < 2) continue;
        const int r = path[k].rec;
        const int pos = s.P_MS(r) + 2 * (taken - 2) + 1;
        refuse(where(r), "candidate sire " + std::to_string(parent(r, taken)) + " at position " +
                             std::to_string(pos) + " of the multiple-sires file " + m.msfile +
                             " descends from animal " + std::to_string(s.PED(e, r, 1)) +
                             ", through the lines " + lines);
      }
      refuse(where(q), std::string(names.c[0]) + " " + std::to_string(s.PED(e, q, 1)) +
                           " is its own ancestor, through the lines " + lines);
    }
  }
}

// Breed fractions of a multiple-breed line: each a share of the animal.
void check_fractions(const Where& w, std::span<const double> f) {
  double sum = 0;
  for (std::size_t b = 0; b < f.size(); ++b) {
    if (!(f[b] >= 0.0 && f[b] <= 1.0))
      refuse(w, "breed fraction " + util::freev(f[b]).substr(1) + " of breed " + std::to_string(b + 1) +
                    " is not within 0 to 1");
    sum += f[b];
  }
  if (!(std::fabs(sum - 1.0) <= fraction_tolerance))
    refuse(w, "the breed fractions sum to " + util::freev(sum).substr(1) + "; they must sum to 1 (within " +
                  util::freev(fraction_tolerance).substr(1) + ")");
}

// Lines of the multiple-breed types are looked up by animal: every level
// needs its line.
void check_line_count(const util::TextIn& file, int e) {
  const int len = m.lenped(e), nl = m.nlev(e);
  if (len <= 0 || len >= nl) return;
  util::fatal(" Error in pedigree file " + file.name() + " of effect " + std::to_string(e) + ": animal " +
              std::to_string(len + 1) + " has no line: the file is read for " + std::to_string(len) +
              (len == 1 ? " line" : " lines") + " (PEDIGREEFILE:) where the " + std::to_string(nl) +
              " levels of the effect need one each, line i describing animal i");
}

// Grows the line extent of the pedigree arrays to lines, keeping what they hold.
void grow_lines(model::State& s, int lines) {
  const long nf = s.PED.extent1(), lp = s.PED.extent2();
  if (lines <= lp) return;
  util::arr3<int> ped(nf, lines, 3);
  for (int k = 1; k <= 3; ++k)
    for (long i = 1; i <= lp; ++i)
      for (long e = 1; e <= nf; ++e) ped(e, i, k) = s.PED(e, i, k);
  s.PED = std::move(ped);
  if (s.PED_CODE.rows() > 0) {
    util::mat1<int> code(s.PED_CODE.rows(), lines);
    for (long i = 1; i <= s.PED_CODE.cols(); ++i)
      for (long e = 1; e <= s.PED_CODE.rows(); ++e) code(e, i) = s.PED_CODE(e, i);
    s.PED_CODE = std::move(code);
  }
  auto grow = [lines](util::vec1<int>& v) {
    util::vec1<int> x(lines);
    for (long i = 1; i <= v.size(); ++i) x(i) = v(i);
    v = std::move(x);
  };
  grow(s.P_MS);
  grow(s.MS_STAT);
}

// How many parents of a line with parent groups its code counts as animals:
// 2, 1 or 0; -1 for a line of no weight, which tells nothing of its parents.
// add_an_upgi gives 1000 times the weight 4 / (2 - Fs - Fd), a parent group
// counting as F = -1: 2 or more with both parents animals, between 1 and 2
// with one, 1 with neither.
int animals_by_code(RandomType rt, int code) {
  if (rt == RandomType::add_an_upg) return code == 4 ? -1 : 3 - code;
  if (code <= 0) return -1;
  return code >= 2000 ? 2 : code > 1000 ? 1 : 0;
}

// The parents without a line of their own that are parent groups (flag 1 by
// id): those that the codes of their offspring's lines count as unknown
// parents, and those named only on lines of no weight.  A parent that a code
// counts as an animal is one, and gets a founder's line.  A line whose code
// makes one of two parents without lines an animal takes the one numbered
// higher as the group, since groups are numbered after the animals.  Codes
// that make one parent both, or cannot tell which of them is the group,
// stop the run.
std::vector<unsigned char> parents_as_groups(const model::State& s, const util::TextIn& file, int e,
                                             const PedIndex& ix) {
  const RandomType rt = m.randomtype(e);
  const int len = std::max(m.lenped(e), 0);
  auto has_line = [&](int id) { return ix.rec_of[static_cast<std::size_t>(id)] != 0; };
  auto where = [&](int r) { return Where{file, e, r, ix.line_of[static_cast<std::size_t>(r)]}; };
  // The first line that counts each id as an animal and as a group; 0 none.
  struct Count {
    int rec = 0;
    bool by_number = false;  // by the numbering of a line of one animal
  };
  const std::size_t n = static_cast<std::size_t>(std::max(m.nlev(e), 0)) + 1;
  std::vector<Count> animal(n), group(n);
  auto code_of = [&](int r) { return " (code " + std::to_string(s.PED_CODE(e, r)) + ")"; };
  auto count = [&](int id, bool is_animal, int r, bool by_number) {
    Count& c = (is_animal ? animal : group)[static_cast<std::size_t>(id)];
    if (c.rec == 0) c = {r, by_number};
    const Count a = animal[static_cast<std::size_t>(id)], g = group[static_cast<std::size_t>(id)];
    if (a.rec == 0 || g.rec == 0) return;
    const auto line = [&](const Count& k) {
      return std::to_string(ix.line_of[static_cast<std::size_t>(k.rec)]) + code_of(k.rec);
    };
    refuse(where(r), "parent " + std::to_string(id) +
                         " has no line of its own, and the codes of its offspring's lines disagree: line " +
                         line(a) + " counts it as an animal, line " + line(g) + " as a parent group" +
                         (a.by_number || g.by_number
                              ? " (of two parents without lines on a line with one animal parent, the one "
                                "numbered higher is taken as the group: groups are numbered after the animals)"
                              : ""));
  };
  std::vector<unsigned char> named(n, 0);
  for (int r = 1; r <= len; ++r) {
    const int p = s.PED(e, r, 2), q = s.PED(e, r, 3);
    for (const int id : {p, q})
      if (id > 0 && !has_line(id)) named[static_cast<std::size_t>(id)] = 1;
    const int animals = animals_by_code(rt, s.PED_CODE(e, r));
    if (animals == 2 || animals == 0) {
      for (const int id : {p, q})
        if (id > 0 && !has_line(id)) count(id, animals == 2, r, false);
      continue;
    }
    if (animals != 1) continue;
    // One parent an animal, the other a group (or unknown, 0).
    if (p == 0 || q == 0) {
      if (const int id = std::max(p, q); id > 0 && !has_line(id)) count(id, true, r, false);
      continue;
    }
    if (has_line(p) && has_line(q)) continue;
    if (p == q)
      refuse(where(r), "its code " + std::to_string(s.PED_CODE(e, r)) +
                           " makes one parent an animal and the other a parent group, but both parents are " +
                           std::to_string(p) + ", which has no line of its own");
    if (has_line(p) != has_line(q)) {
      // The parent with a line is an animal, unless its line is a group's:
      // one of no weight that names no parent.
      const int lined = has_line(p) ? p : q, other = lined == p ? q : p;
      const int lr = ix.rec_of[static_cast<std::size_t>(lined)];
      const bool group_line = animals_by_code(rt, s.PED_CODE(e, lr)) < 0 && s.PED(e, lr, 2) == 0 &&
                              s.PED(e, lr, 3) == 0;
      count(other, group_line, r, false);
      continue;
    }
    count(std::min(p, q), true, r, true);
    count(std::max(p, q), false, r, true);
  }
  std::vector<unsigned char> groups(n, 0);
  for (std::size_t id = 1; id < n; ++id) groups[id] = named[id] && animal[id].rec == 0;
  return groups;
}

// Up to five ids of a list, for a message.
std::string first_ids(const std::vector<int>& ids) {
  std::string text;
  for (std::size_t k = 0; k < std::min<std::size_t>(ids.size(), 5); ++k) text += " " + std::to_string(ids[k]);
  if (ids.size() > 5) text += " ...";
  return text;
}

// An additive group whose pedigree lists only some levels: every level that
// has no line and is no parent group is given the line of an animal with
// both parents unknown, after the lines read, so that it is not left out of
// the relationship inverse.
void add_founder_lines(model::State& s, const util::TextIn& file, int e, const PedIndex& ix) {
  const RandomType rt = m.randomtype(e);
  const bool coded = model::parent_groups(rt);
  const int len = std::max(m.lenped(e), 0);
  int lim = m.nlev(e);
  for (int i = 1; i < m.randomnumb(e); ++i) lim = std::min(lim, m.nlev(e + i));
  std::vector<unsigned char> groups;
  if (coded) groups = parents_as_groups(s, file, e, ix);
  std::vector<int> added, taken;
  for (int id = 1; id <= std::max(lim, 0); ++id) {
    if (coded && groups[static_cast<std::size_t>(id)])
      taken.push_back(id);
    else if (ix.rec_of[static_cast<std::size_t>(id)] == 0)
      added.push_back(id);
  }
  if (added.empty()) return;

  const int n = static_cast<int>(added.size());
  if (static_cast<long long>(len) + n > max_pedigree_lines)
    util::fatal(" Error in pedigree file " + file.name() + " of effect " + std::to_string(e) + ": " +
                std::to_string(n) + " levels without a line would make more than " +
                std::to_string(max_pedigree_lines) + " lines");
  grow_lines(s, len + n);
  // The code of a line without known parents: class 3 (add_an_upg), or
  // 1000 times the multiplier 1 (add_an_upgi).
  const int code = rt == RandomType::add_an_upg ? 3 : 1000;
  for (int k = 0; k < n; ++k) {
    const int line = len + 1 + k;
    s.PED(e, line, 1) = added[static_cast<std::size_t>(k)];
    s.PED(e, line, 2) = 0;
    s.PED(e, line, 3) = 0;
    if (coded) s.PED_CODE(e, line) = code;
  }
  m.lenped(e) = len + n;

  const bool sires = rt == RandomType::add_sire;
  util::say_text(" warning: " + std::to_string(n) + " level" + (n == 1 ? "" : "s") + " of effect " +
                 std::to_string(e) + (n == 1 ? " has" : " have") + " no line in pedigree file " + file.name() +
                 "; each is taken as " +
                 (sires ? "a sire with neither ancestor known" : "an animal with both parents unknown") + ":" +
                 first_ids(added));
  // Beside it the parents left without a line, so that a founder taken for
  // a group (or a group for a founder) shows.
  if (coded) {
    const int g = static_cast<int>(taken.size());
    util::say_text(" " + std::to_string(g) + (g == 1 ? " parent" : " parents") + " of effect " + std::to_string(e) +
                   " without a line " + (g == 1 ? "is" : "are") + " taken as " +
                   (g == 1 ? "a parent group" : "parent groups") + (g == 0 ? "" : ":" + first_ids(taken)));
  }
}

// Lines of no weight add no term to the relationship inverse, whose rank is
// the count of the other lines: G takes only those as its levels.  Said only
// where such lines are.
void say_unweighted_lines(const model::State& s, const util::TextIn& file, int e) {
  const RandomType rt = m.randomtype(e);
  const int len = std::max(m.lenped(e), 0);
  int none = 0;
  for (int i = 1; i <= len; ++i)
    if (animals_by_code(rt, s.PED_CODE(e, i)) < 0) ++none;
  if (none == 0) return;
  int rows[model::maxcorr];
  const int absent = m.randomnumb(e) * m.ntrait - model::present_rows(e, rows);
  const int levels = len - none;
  const std::string what = none == 1 ? " lines carries no weight (" : " lines carry no weight (";
  const std::string adds = none == 1 ? ") and adds" : ") and add";
  const std::string minus =
      absent > 0 ? " - " + std::to_string(absent) + (absent == 1 ? " absent row" : " absent rows")
                 : "";
  util::say_text(" Pedigree file " + file.name() + " of effect " + std::to_string(e) + ": " +
                 std::to_string(none) + " of its " + std::to_string(len) + what +
                 (rt == RandomType::add_an_upg ? "code 4" : "code 0") + adds +
                 " nothing to the relationship inverse: G of effect " + std::to_string(e) +
                 " counts the other " + std::to_string(levels) + " as its levels, with " +
                 std::to_string(levels + m.dbelief_g(e) - absent) + " degrees of freedom (" +
                 std::to_string(levels) + " levels + " + std::to_string(m.dbelief_g(e)) +
                 " degrees of belief" + minus + ")");
}

// The fields of a line that read as numbers.  A line of the multiple-sires
// file holds one value, and the rest of a line is not read: a second number
// there would be lost unseen (a note in words is not).
std::size_t values_on(std::string_view text) {
  std::size_t n = 0, i = 0;
  const auto sep = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == ','; };
  while (i < text.size()) {
    while (i < text.size() && sep(text[i])) ++i;
    std::size_t j = i;
    while (j < text.size() && !sep(text[j])) ++j;
    double v = 0;
    if (j > i && textop::field_real(text.substr(i, j - i), v)) ++n;
    i = j;
  }
  return n;
}

std::string more_than_a_value(const util::RecordRead& r) {
  std::string_view t = util::trim_right(r.text);
  t.remove_prefix(std::min(t.size(), t.find_first_not_of(" \t")));
  return "the line holds \"" + util::shown(t) + "\", " + std::to_string(values_on(r.text)) +
         " values where one stands (the count, a candidate's id or its probability, one a line)";
}

// A comma separates values: a decimal comma cuts a probability to its whole
// part (0,3333 is read as 0), also where a blank follows it ("0, 3333").
std::string comma_hint(std::string_view text) {
  bool comma = false;
  for (std::size_t k = text.find(','); k != std::string_view::npos && !comma; k = text.find(',', k + 1)) {
    std::size_t d = k + 1;
    while (d < text.size() && (text[d] == ' ' || text[d] == '\t')) ++d;
    comma = d < text.size() && text[d] >= '0' && text[d] <= '9';
  }
  if (!comma) return "";
  return "; a comma separates two values, so a decimal comma cuts a number to its whole part (0,3333 is read as"
         " 0 and 3333): write decimals with a point";
}

void read_msfile(model::State& s) {
  const int n = m.n_ms;
  s.MS.resize(n);
  if (!util::TextIn::exists(m.msfile)) util::fatal(" multiple-sires file not found: " + m.msfile);
  util::TextIn ms(m.msfile);
  for (int i = 1; i <= n; ++i) {
    // One value a line; the rest of the line is not read.
    const util::RecordRead r = ms.read_recordv(s.MS(i));
    if (r.fault == util::RecordRead::Fault::eof)
      util::fatal(" Error in multiple-sires file " + ms.name() + ", record " + std::to_string(i) +
                  ": the file ends after " + std::to_string(i - 1) + " of the " +
                  std::to_string(n) + " values declared");
    if (!r.ok() || values_on(r.text) > 1)
      util::fatal(" Error in multiple-sires file " + ms.name() + ", line " + std::to_string(r.line) +
                  " (record " + std::to_string(i) + "): " + (r.ok() ? more_than_a_value(r) : util::describe(r)) +
                  comma_hint(r.text) + line_end_hint(ms));
    if (i <= 9) util::say_text(util::formatv("(1x,f10.4)", s.MS(i)));
  }
  util::say("read msfile", n, " records ");

  // The sums of the sire draws exist with every multiple-sires file: a
  // single candidate is drawn (and counted) too.
  if (m.max_msires > 0) {
    s.SUMMS.resize(n);
    s.SSMS.resize(n);
    s.MS_ALPHAS.resize(n);
    if (m.ms_alpha > 0)
      s.MS_ALPHAS.fill(static_cast<double>(m.ms_alpha));
    else
      s.MS_ALPHAS = s.MS;
    // Every fresh chain that resamples the probabilities gets the file.
    if (m.rstart != 'y' && model::samples_msires())
      s.msirespprsam = util::TextOut("msirespprsam", util::TextOut::Mode::replace);
  }
}

}  // namespace

void read_files(model::State& s) {
  const int nf = m.neff;
  int lp = 0, nb_max = 0;
  for (int e = 1; e <= nf; ++e) {
    lp = std::max(lp, m.lenped(e));
    nb_max = std::max(nb_max, m.nbreed(e));
  }
  const int n_values = m.max_msires > 0 ? m.n_ms : 0;

  if (m.max_msires > 0) read_msfile(s);

  bool breed_allocated = false, code_allocated = false;
  // Groups that can have candidate sires, and the first that has them.
  std::vector<int> candidate_groups;
  int listed = 0;
  std::vector<double> fractions;
  for (int e = 1; e <= nf; ++e) {
    const RandomType rt = m.randomtype(e);
    // Lines of three ids, of three ids and a code (parent groups), or of
    // the types that can have candidate sires.
    const bool four = model::parent_groups(rt);
    const bool three = model::additive_lines(rt) && !four;
    if (!model::additive_lines(rt) && !model::candidate_sires(rt)) continue;
    const int len = m.lenped(e);
    util::TextIn ped(m.randomfile(e));

    int nb = 0;
    if (four && !code_allocated) {
      s.PED_CODE.resize(nf, lp);
      code_allocated = true;
    }
    if (rt == RandomType::add_an_ms) {
      s.DINV.resize(len);
      if (e == model::reduced_animal_group()) {
        const int rows = len - m.nlev(e), cols = m.randomnumb(e) * m.ntrait;
        s.SUMSOL_N.resize(rows, cols);
        s.SSSOL_N.resize(rows, cols);
        s.SOL_N.resize(rows, cols);
      }
      m.n_ms = 1;
    }
    if (model::multiple_breed(rt)) {
      if (!breed_allocated) {
        s.BREED.resize(nf, lp, nb_max);
        s.SUMMB_ACCEP.resize(nf, nb_max, nb_max);
        s.MB_DBELIEF.resize(nf, nb_max, nb_max);
        breed_allocated = true;
      }
      for (int b2 = 1; b2 <= nb_max; ++b2)
        for (int b1 = 1; b1 <= nb_max; ++b1) s.MB_DBELIEF(e, b1, b2) = m.nlev(e);
      // Each group reads its own number of fractions per record.
      nb = m.nbreed(e);
      fractions.assign(static_cast<std::size_t>(nb), 0.0);
      m.n_ms = 1;
    }

    if (model::multiple_breed(rt)) check_line_count(ped, e);

    bool tab_warned = false;
    PedIndex ix;
    ix.rec_of.assign(static_cast<std::size_t>(std::max({m.nlev(e), len, 0})) + 1, 0);
    ix.line_of.assign(static_cast<std::size_t>(std::max(len, 0)) + 1, 0);
    for (int i = 1; i <= len; ++i) {
      int ids[3] = {0, 0, 0};
      int code = 0;
      float dinv = 0;
      util::RecordRead r;
      if (three)
        r = ped.read_recordv(std::span<int>(ids, 3));
      else if (four)
        r = ped.read_recordv(std::span<int>(ids, 3), code);
      else if (rt == RandomType::add_an_ms)
        r = ped.read_recordv(std::span<int>(ids, 3), dinv);
      else
        r = ped.read_recordv(std::span<int>(ids, 3), std::span<double>(fractions));
      if (r.fault == util::RecordRead::Fault::eof)
        util::fatal(" Error in pedigree file " + ped.name() + " of effect " + std::to_string(e) +
                    ", record " + std::to_string(i) + ": the file ends after " +
                    std::to_string(i - 1) + " of the " + std::to_string(len) + " records declared" +
                    line_end_hint(ped));

      const Where w{ped, e, i, r.line, r.text, r.wanted};
      if (!r.ok()) refuse(w, util::describe(r) + id_hint(r));
      if (!tab_warned && util::empty_tab_cell(r.text, r.wanted) > 0) {
        tab_warned = true;
        util::say_text(" warning: line " + std::to_string(r.line) + " of pedigree file " + ped.name() + " " +
                       empty_cell(r.text, r.wanted));
      }
      check_ids(w, ids);
      check_record(w, ids, ix);
      if (rt == RandomType::add_an_upg && (code < 1 || code > 4))
        refuse(w, "multiplier code " + std::to_string(code) + " is not within 1 to 4");
      // A negative weight takes a term away from the relationship inverse,
      // which is then no longer positive semidefinite.
      if (rt == RandomType::add_an_upgi && code < 0)
        refuse(w, "multiplier code " + std::to_string(code) +
                      " (1000 times the line's weight) is below 0");
      for (int k = 0; k < 3; ++k) s.PED(e, i, k + 1) = ids[k];
      if (four) s.PED_CODE(e, i) = code;
      if (rt == RandomType::add_an_ms) {
        // A precision: the Mendelian variance of the animal is g / DINV.
        if (!(dinv > 0.0f))
          refuse(w, "Mendelian coefficient " + util::freev(dinv).substr(1) + " is not above 0");
        s.DINV(i) = dinv;
      }
      if (model::multiple_breed(rt)) {
        check_fractions(w, fractions);
        for (int b = 1; b <= nb; ++b) s.BREED(e, i, b) = fractions[static_cast<std::size_t>(b - 1)];
      }
      if (model::candidate_sires(rt) && ids[2] < 0) assign_block(s, w, n_values, ids[1]);

      if (i > 10) continue;
      if (three) {
        util::say_text(util::formatv("(1x,3i10)", ids[0], ids[1], ids[2]));
      } else if (four) {
        util::say_text(util::formatv("(1x,4i10)", ids[0], ids[1], ids[2], code));
      } else if (rt == RandomType::add_an_ms) {
        util::say_text(util::formatv("(1x,3i10,f9.4,2i10)", ids[0], ids[1], ids[2], s.DINV(i),
                                     s.MS_STAT(i), s.P_MS(i)));
      } else {
        util::FmtArgs row(ids[0], ids[1], ids[2], s.MS_STAT(i), s.P_MS(i));
        for (int b = 1; b <= nb; ++b) row.add(s.BREED(e, i, b));
        // More than ten fractions continue under the first ones.
        util::say_text(util::format("(1x,5i10,10f9.4:/(51x,10f9.4))", row));
      }
    }
    check_ancestry(s, ped, e, ix);
    util::say("read pedigree", e, "with ", len, " animals ");
    if (const long more = ped.records_left(); more > 0)
      util::say_text(" Warning: pedigree file " + ped.name() + " of effect " + std::to_string(e) + " holds " +
                     std::to_string(std::max(len, 0) + more) + " records; the first " +
                     std::to_string(std::max(len, 0)) + " are read");
    if (three || four) add_founder_lines(s, ped, e, ix);
    if (four) say_unweighted_lines(s, ped, e);
    if (model::candidate_sires(rt)) {
      candidate_groups.push_back(e);
      for (int i = 1; i <= len && listed == 0; ++i)
        if (s.PED(e, i, 3) < 0) listed = e;
    }
  }

  // The candidate lists, the sampled lines and the draws are kept by
  // pedigree line alone: a second group that can have candidate sires would
  // take the first one's lists for its own lines.
  if (listed > 0 && candidate_groups.size() > 1) {
    std::string groups;
    for (const int f : candidate_groups) groups += (groups.empty() ? "" : ", ") + std::to_string(f);
    util::fatal(" The pedigree of effect " + std::to_string(listed) +
                " has candidate sires, and the model has " + std::to_string(candidate_groups.size()) +
                " groups that can have them (effects " + groups +
                "): candidate lists and drawn sires belong to pedigree lines, not to groups, so a "
                "model with candidate sires may hold only one group of types add_an_ms, add_an_mb "
                "and diag_mb");
  }

  if (m.max_msires > 0) util::say("nonparent starting position at ms ", m.n_ms);
}

}  // namespace run
