#include "run/textop.hpp"

#include <cstdio>
#include <initializer_list>
#include <iostream>
#include <vector>

#include "run/lineread.hpp"
#include "run/model.hpp"
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
  Piece(long long v) : s(std::to_string(v)) {}
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

[[noreturn]] void stop(std::initializer_list<Piece> ps) { util::fatal(msg(ps)); }
[[noreturn]] void stop(const std::string& line) { util::fatal(line); }

// True when the word, cut to width characters, is the key; keys are no
// longer than width, so a longer word matches on its first width characters.
bool same_on(std::string_view word, std::string_view key, std::size_t width) {
  return word.substr(0, width) == key;
}

int residual_code(std::string_view w) {
  static constexpr std::string_view keys[] = {"homogeneous",  "structural", "slash",
                                              "struct_slash", "student_t",  "struct_student_t"};
  for (int k = 0; k < 6; ++k)
    if (same_on(w, keys[k], 16)) return k + 1;
  return 0;
}

int random_code(std::string_view w) {
  static constexpr std::string_view keys[] = {"diagonal", "add_animal", "add_an_upg",
                                              "add_an_upgi", "add_sire", "par_domin",
                                              "add_an_ms", "add_an_mb", "diag_mb"};
  for (int k = 0; k < 9; ++k)
    if (same_on(w, keys[k], 11)) return k + 2;
  return 0;
}

int effect_code(std::string_view w) {
  static constexpr std::string_view keys[] = {"cro", "cov", "ram", "unk", "rno"};
  for (int k = 0; k < 5; ++k)
    if (w.substr(0, 3) == keys[k]) return k;
  return model::eff_none;
}

class Reader {
 public:
  explicit Reader(util::TextIn& in) : in_(in), M(model::m) {}
  void run();

 private:
  util::TextIn& in_;
  model::Model& M;
  Words w_;
  int ms_groups_ = 0;   // groups of type add_an_ms or add_an_mb
  int ram_groups_ = 0;  // groups that hold a "ram" effect

  void next() { readline(in_, w_); }
  bool is(std::string_view key) const { return w_.n >= 1 && w_.word(1) == key; }
  // The line in hand must be the keyword line.
  void expect(std::string_view key, const std::string& message) {
    if (!is(key)) stop(message);
  }
  // Reads a value line that must hold at least k words.
  void values(int k, const std::string& message) {
    next();
    if (w_.n < k) stop(message);
  }
  // Integer value of word k of the line in hand.
  int num(int k, std::string_view key) {
    int v = 0;
    if (!word_int(w_.word(k), v)) stop({key, "number out of range:", w_.word(k)});
    return v;
  }
  static void at_least(int v, int lo, std::string_view what) {
    if (v < lo) stop({what, "must be at least", lo, ". Was", v});
  }

  void chain();
  void data_layout();
  void effects();
  void residual();
  void random_group();
};

void Reader::run() {
  next();
  if (w_.n == -1) stop({"INPUT FILE EMPTY"});
  chain();
  data_layout();
  effects();
  residual();
  next();
  while (is("RANDOM_GROUP")) {
    random_group();
    next();
  }
}

// MCMC_CHAIN:, SEED, RESTART:
void Reader::chain() {
  const std::string mc = msg({"MCMC_CHAIN: not found"});
  expect("MCMC_CHAIN:", mc);
  values(3, mc);
  M.nround = num(1, "MCMC_CHAIN:");
  M.nburn = num(2, "MCMC_CHAIN:");
  M.skip = num(3, "MCMC_CHAIN:");
  at_least(M.nround, 1, "MCMC_CHAIN: number of cycles");
  at_least(M.skip, 1, "MCMC_CHAIN: thinning interval");

  next();
  const std::string sd = msg({"SEED not found"});
  expect("SEED", sd);
  values(1, sd);
  M.seed = num(1, "SEED");
  if (M.seed == 0) stop({"SEED: a seed of 0 is not possible. Was", M.seed});

  next();
  const std::string rs = msg({"RESTART: not found"});
  expect("RESTART:", rs);
  values(1, rs);
  M.rstart = w_.word(1).front();
  if (M.rstart == 'y') {
    if (w_.n < 2) stop(rs);
    M.start = num(2, "RESTART:");
  } else {
    M.start = 1;
  }
}

// DATAFILE, NUMBER_OF_TRAITS, NUMBER_OF_EFFECTS (allocations), OBSERVATION(S),
// WEIGHT(S)
void Reader::data_layout() {
  next();
  const std::string df = msg({"DATAFILE not found"});
  expect("DATAFILE", df);
  values(2, df);
  M.datafile = std::string(w_.word(1));
  M.nrec = num(2, "DATAFILE");
  at_least(M.nrec, 1, "DATAFILE: number of records");

  next();
  const std::string nt = msg({"NUMBER_OF_TRAITS not found"});
  expect("NUMBER_OF_TRAITS", nt);
  values(1, nt);
  M.ntrait = num(1, "NUMBER_OF_TRAITS");
  at_least(M.ntrait, 1, "NUMBER_OF_TRAITS");

  next();
  const std::string ne = msg({"NUMBER_OF_EFFECTS not found"});
  expect("NUMBER_OF_EFFECTS", ne);
  values(1, ne);
  M.neff = num(1, "NUMBER_OF_EFFECTS");
  at_least(M.neff, 1, "NUMBER_OF_EFFECTS");

  const int nf = M.neff, ntr = M.ntrait;
  M.pos_y.resize(ntr);
  M.pos_eff.resize(nf, ntr);
  M.nlev.resize(nf);
  M.effecttype.resize(nf);
  M.effecttype.fill(model::eff_none);
  M.effectsave.resize(nf);
  M.nestedcov.resize(nf, ntr);
  M.randomtype.resize(nf);
  M.randomtype.fill(model::rnd_none);
  M.randomnumb.resize(nf);
  M.randomfile.resize(nf);
  M.dbelief_g.resize(nf);
  M.r.resize(ntr, ntr);
  M.rinv.resize(ntr, ntr);
  M.g.resize(nf, model::maxcorr, model::maxcorr);
  M.lenped.resize(nf);
  M.ngrp.resize(nf);
  M.nbreed.resize(nf);

  next();
  expect("OBSERVATION(S)", msg({" OBSERVATION(S) not found"}));
  next();
  if (w_.n != ntr) stop({ntr, " numbers expected after OBSERVATION(S)"});
  for (int t = 1; t <= ntr; ++t) {
    M.pos_y(t) = num(t, "OBSERVATION(S)");
    if (M.pos_y(t) < 1) stop({"OBSERVATION(S): data column of trait", t, "must be at least 1. Was", M.pos_y(t)});
  }

  next();
  expect("WEIGHT(S)", msg({" WEIGHT(S) not found"}));
  next();
  if (w_.n >= 2 || w_.n == -1) stop({ntr, " Only one number for WEIGHT"});
  M.pos_weight = w_.n == 1 ? num(1, "WEIGHT(S)") : 0;
  if (M.pos_weight < 0) stop({"WEIGHT(S): data column must not be negative. Was", M.pos_weight});
}

// EFFECTS: one line per effect.
void Reader::effects() {
  next();
  expect("EFFECTS:", msg({" EFFECTS: not found"}));
  const int nt = M.ntrait;
  for (int i = 1; i <= M.neff; ++i) {
    next();
    const int c = w_.n;
    if (c != nt + 3 && c != nt + 4 && c != 2 * nt + 3 && c != 2 * nt + 4)
      stop({"too few or too many numbers for effect ", i, ". Was ", c});
    for (int t = 1; t <= nt; ++t) {
      M.pos_eff(i, t) = num(t, "EFFECTS:");
      if (M.pos_eff(i, t) < 0)
        stop({"EFFECTS: data column of effect", i, "trait", t, "must not be negative. Was", M.pos_eff(i, t)});
    }
    M.nlev(i) = num(nt + 1, "EFFECTS:");
    if (M.nlev(i) < 1) stop({"EFFECTS: number of levels of effect", i, "must be at least 1. Was", M.nlev(i)});

    const std::string_view type = w_.word(nt + 2);
    const int code = effect_code(type);
    if (code == model::eff_none) {
      util::say_text(msg({"Unknown type of effect: ", type}));
      stop({"EFFECTS: the type of effect", i, "must begin with cro, cov, ram, unk or rno"});
    }
    M.effecttype(i) = code;

    if (code == model::eff_cov || code == model::eff_rno) {
      // Nesting columns follow the save word; with 2*ntrait+2 words the save
      // word itself counts as the first of them.
      int first = 0;
      if (c == 2 * nt + 3) first = nt + 3;
      else if (c == 2 * nt + 2) first = nt + 2;
      if (first > 0) {
        for (int t = 1; t <= nt; ++t) {
          M.nestedcov(i, t) = num(first + t, "EFFECTS:");
          if (M.nestedcov(i, t) < 0)
            stop({"EFFECTS: nesting column of effect", i, "trait", t, "must not be negative. Was",
                  M.nestedcov(i, t)});
        }
      }
    }
    M.effectsave(i) = w_.word(nt + 3).starts_with('y') ? 1 : 0;
  }
}

// RANDOM_RESIDUAL:, the structural sections, RESIDUAL_PRIOR_(CO)VARIANCES
void Reader::residual() {
  next();
  const std::string rr = msg({" RANDOM_RESIDUAL: not found"});
  expect("RANDOM_RESIDUAL:", rr);
  values(1, rr);
  M.residualtype = residual_code(w_.word(1));
  if (M.residualtype == 0)
    stop(msg({"unknown RANDOM_RESIDUAL-TYPE: ", w_.word(1)}) + "\n" +
         msg({" Should be homogeneous, structural, slash, struct_slash, student_t, struct_student_t"}));
  if (w_.n < 2) stop(rr);
  M.dbelief_r = num(2, "RANDOM_RESIDUAL:");

  const int rt = M.residualtype;
  if (rt == model::res_structural || rt == model::res_struct_slash || rt == model::res_struct_student_t) {
    next();
    const std::string mh = msg({"METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: not found"});
    expect("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:", mh);
    values(2, mh);
    M.r_nround = num(1, "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:");
    M.r_skip = num(2, "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:");
    at_least(M.r_skip, 1, "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: tuning interval");

    next();
    const std::string ns = msg({"NUMBER_OF_STRUCTURAL_EFFECTS not found"});
    expect("NUMBER_OF_STRUCTURAL_EFFECTS", ns);
    values(1, ns);
    M.neffr = num(1, "NUMBER_OF_STRUCTURAL_EFFECTS");
    M.pos_effr.resize(M.neffr);
    M.effrsave.resize(M.neffr);

    next();
    expect("STRUCTURAL_EFFECTS:", msg({" STRUCTURAL_EFFECTS: not found"}));
    for (int k = 1; k <= M.neffr; ++k) {
      next();
      if (w_.n != 1 && w_.n != 2) stop({"too few or too many numbers for effect ", k, ". Was ", w_.n});
      M.pos_effr(k) = num(1, "STRUCTURAL_EFFECTS:");
      if (M.pos_effr(k) < 1 || M.pos_effr(k) > M.neff)
        stop({"STRUCTURAL_EFFECTS: effect number must be within 1 to", M.neff, ". Was", M.pos_effr(k)});
      M.effrsave(k) = w_.n == 2 && w_.word(2).starts_with('y') ? 1 : 0;
    }
  }

  next();
  expect("RESIDUAL_PRIOR_(CO)VARIANCES", msg({" RESIDUAL_PRIOR_(CO)VARIANCES not found"}));
  const std::size_t n = static_cast<std::size_t>(M.ntrait) * static_cast<std::size_t>(M.ntrait);
  if (in_.readv(std::span<double>(M.r.data(), n)) != util::ReadStatus::ok)
    stop({"error reading RANDOM_RESIDUAL variances"});
}

// One group, after its RANDOM_GROUP line.
void Reader::random_group() {
  next();
  const int c = w_.n;
  if (c < 1 || c > M.neff) stop({"line after RANDOM_GROUP has too few or too many numbers"});
  std::vector<int> nums(static_cast<std::size_t>(c));
  for (int k = 1; k <= c; ++k) nums[static_cast<std::size_t>(k - 1)] = num(k, "RANDOM_GROUP");
  if (nums.front() < 1 || nums.back() > M.neff) stop({"number ", nums, " after RANDOM_GROUP out of range"});
  for (int k = 1; k < c; ++k)
    if (nums[static_cast<std::size_t>(k)] != nums.front() + k)
      stop({" correlated effects:", nums, " should be consecutive"});
  const int e = nums.front(), n = c;

  bool ram = false;
  for (int k = e; k < e + n; ++k) ram = ram || M.effecttype(k) == model::eff_ram;
  if (ram && ++ram_groups_ > 1)
    stop({"RANDOM_GROUP", nums, ": a second reduced animal model (ram) group is not possible"});
  M.randomnumb(e) = n;

  next();
  const std::string rt = msg({" RANDOM_TYPE not found"});
  expect("RANDOM_TYPE", rt);
  values(1, rt);
  const int code = random_code(w_.word(1));
  if (code == 0)
    stop(msg({"unknown RANDOM-TYPE: ", w_.word(1)}) + "\n" +
         msg({" Should be diagonal, add_animal, add_sire", " add_an_upg, add_an_upginb, or par_domin",
              " add_an_ms, add_an_mb, diag_mb"}));
  if (code == model::rnd_par_domin)
    stop({"RANDOM_TYPE par_domin (parental dominance) of random effect", e, "is not implemented"});
  if ((code == model::rnd_add_an_ms || code == model::rnd_add_an_mb) && ++ms_groups_ > 1)
    stop({"RANDOM_TYPE", w_.word(1), "of random effect", e,
          ": only one group of type add_an_ms or add_an_mb is possible"});
  if (w_.n < 2) stop(rt);
  M.randomtype(e) = code;
  M.dbelief_g(e) = num(2, "RANDOM_TYPE");

  next();
  const std::string pf = msg({" PEDIGREEFILE for random effect ", e, " not found"});
  expect("PEDIGREEFILE:", pf);
  int need = 1;
  if (code >= model::rnd_add_animal && code <= model::rnd_add_sire) need = 2;
  else if (code == model::rnd_add_an_ms) need = 3;
  else if (code == model::rnd_add_an_mb || code == model::rnd_diag_mb) need = 4;
  values(need, pf);
  M.randomfile(e) = std::string(w_.word(1));
  if (need >= 2) M.lenped(e) = num(2, "PEDIGREEFILE:");
  if (need >= 3) M.ngrp(e) = num(3, "PEDIGREEFILE:");
  if (need >= 4) {
    M.nbreed(e) = num(4, "PEDIGREEFILE:");
    if (M.nbreed(e) < 1)
      stop({"PEDIGREEFILE: number of breeds of random effect", e, "must be at least 1. Was", M.nbreed(e)});
  }
  if (code != model::rnd_diagonal && !util::TextIn::exists(M.randomfile(e)))
    stop({"pedigree file of random effect", e, "not found:", M.randomfile(e)});

  if (code == model::rnd_add_an_ms || code == model::rnd_add_an_mb) {
    next();
    const std::string ms = msg({" MULTIPLE_SIRES: for random effect ", e, " not found"});
    expect("MULTIPLE_SIRES:", ms);
    values(3, ms);
    M.max_msires = num(1, "MULTIPLE_SIRES:");
    M.msfile = std::string(w_.word(2));
    M.n_ms = num(3, "MULTIPLE_SIRES:");
    if (M.max_msires > 1) {
      if (w_.n < 4) stop(ms);
      if (!field_real(w_.word(4), M.ms_alpha))
        stop({"MULTIPLE_SIRES: the Dirichlet weight is not a number:", w_.word(4)});
    }
  }

  if (code == model::rnd_add_an_mb || code == model::rnd_diag_mb) {
    next();
    const std::string mb = msg({"METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: not found"});
    if (!(w_.n >= 1 && same_on(w_.word(1), "METROPOLIS_STEP_OF_M", 20) && w_.word(1).size() >= 20))
      stop(mb);
    values(2, mb);
    M.mb_nround = num(1, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:");
    M.mb_skip = num(2, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:");
    at_least(M.mb_skip, 1, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: tuning interval");
  }

  next();
  expect("(CO)VARIANCES", msg({" (CO)VARIANCES not found"}));
  long long d = static_cast<long long>(M.ntrait) * n;
  if (code == model::rnd_add_an_mb || code == model::rnd_diag_mb) d *= M.nbreed(e);
  if (d > model::maxcorr)
    stop(msg({"maxcorr should be increased to at least ", d}) + "\n" +
         msg({"the (co)variance block of random effect", e, "has order", d, "; the largest possible is",
              model::maxcorr}));
  const int dd = static_cast<int>(d);
  std::vector<double> block(static_cast<std::size_t>(dd * dd));
  if (in_.readv(std::span<double>(block)) != util::ReadStatus::ok)
    stop({"error reading variances for effect ", e});
  for (int j = 1; j <= dd; ++j)
    for (int i = 1; i <= dd; ++i) M.g(e, i, j) = block[static_cast<std::size_t>((j - 1) * dd + (i - 1))];
}

std::string trim(std::string_view s) {
  const std::size_t b = s.find_first_not_of(" \t\r");
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(" \t\r") - b + 1));
}

}  // namespace

void read_parameters() { read_parameters(std::cin); }

void read_parameters(std::istream& in) {
  std::fputs("  name of parameter file?", stdout);
  std::fflush(stdout);
  std::string line;
  if (!std::getline(in, line)) util::fatal_stderr(" end of input: no parameter file name was given");
  read_parameter_file(line);
}

void read_parameter_file(const std::string& name) {
  model::m.parfile = trim(name);
  const std::string& file = model::m.parfile;
  if (!util::TextIn::exists(file)) stop({"parameter file not found:", file});
  par_unit = util::TextIn(file);
  read_parameter_text(par_unit);
}

void read_parameter_text(util::TextIn& par) {
  std::string parfile = std::move(model::m.parfile);
  model::m = model::Model{};
  model::m.parfile = std::move(parfile);
  Reader(par).run();
}

util::TextIn& parameter_unit() { return par_unit; }

}  // namespace textop
