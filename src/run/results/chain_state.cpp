#include "run/results/chain_state.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "model/model.hpp"
#include "run/lineread.hpp"
#include "run/results/result_in.hpp"
#include "run/results/result_out.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run::chain {

namespace {

using model::m;

// "model LABEL = VALUE" lines of the model kept at start-up.
std::vector<std::string> definition;

void add_number(std::string& s, long long v) {
  char b[24];
  s.append(b, std::to_chars(b, b + sizeof b, v).ptr);
}
// The shortest text that reads back as v, so that texts compare as values.
void add_number(std::string& s, double v) {
  char b[32];
  s.append(b, std::to_chars(b, b + sizeof b, v).ptr);
}
void add_number(std::string& s, float v) {
  char b[32];
  s.append(b, std::to_chars(b, b + sizeof b, v).ptr);
}

// One setting: its keyword (with the effect, line or row it belongs to) and
// its values in the order of the parameter file.
class Setting {
 public:
  explicit Setting(const std::string& label) : text_("model " + label + " =") {}
  template <class T>
  Setting& operator<<(const T& v) {
    text_ += ' ';
    if constexpr (std::is_convertible_v<const T&, std::string_view>)
      text_ += std::string_view(v);
    else if constexpr (std::is_integral_v<T>)
      add_number(text_, static_cast<long long>(v));
    else
      add_number(text_, v);
    return *this;
  }
  ~Setting() { definition.push_back(std::move(text_)); }

 private:
  std::string text_;
};

std::string of_effect(const char* keyword, int e) {
  return std::string(keyword) + " of effect " + std::to_string(e);
}

// f(e, an) for each animal whose sire the chain draws, group by group in
// pedigree order.
template <class F>
void each_drawn_sire(const model::State& s, F f) {
  for (int e = 1; e <= m.neff; ++e) {
    if (!model::draws_sires(e)) continue;
    const long lines =
        std::min({static_cast<long>(m.lenped(e)), s.MS_STAT.size(), s.PED.extent2()});
    for (int an = 1; an <= lines; ++an)
      if (s.MS_STAT(an) == 1) f(e, an);
  }
}

bool whole(std::string_view w, long long& v) {
  if (w.empty()) return false;
  const char* end = w.data() + w.size();
  const auto r = std::from_chars(w.data(), end, v);
  return r.ec == std::errc() && r.ptr == end;
}

// "model LABEL = VALUE" split into label and value; false when it is not.
bool setting_of(std::string_view line, std::string_view& label, std::string_view& value) {
  constexpr std::string_view head = "model ";
  const std::size_t eq = line.find(" = ");
  if (line.substr(0, head.size()) != head || eq == std::string_view::npos || eq < head.size())
    return false;
  label = line.substr(head.size(), eq - head.size());
  value = line.substr(eq + 3);
  return true;
}

// The stored model (read from file `name`) against the one kept at
// start-up, setting by setting.
void compare_models(int start, const std::string& name, const std::vector<std::string>& stored) {
  const std::string in = "\"" + name + "\"";
  const std::string keeps = "; a continued chain keeps its model";
  auto quoted = [](std::string_view v) { return "\"" + std::string(v) + "\""; };
  const std::size_t n = std::max(stored.size(), definition.size());
  for (std::size_t k = 0; k < n; ++k) {
    std::string_view gl, gv, hl, hv;
    const bool given = k < definition.size() && setting_of(definition[k], gl, gv);
    const bool held = k < stored.size() && setting_of(stored[k], hl, hv);
    if (given && held && gl == hl && gv == hv) continue;
    std::string what;
    if (given && held && gl == hl)
      what = util::freev("the parameter file gives", std::string(gl), quoted(gv),
                         "but the chain in", in, "has", quoted(hv));
    else if (given && held)
      what = util::freev("the parameter file gives", std::string(gl), quoted(gv),
                         "where the chain in", in, "has", std::string(hl), quoted(hv));
    else if (given)
      what = util::freev("the parameter file gives", std::string(gl), quoted(gv),
                         ", which the chain in", in, "does not have");
    else
      what = util::freev("the chain in", in, "has", std::string(hl), quoted(hv),
                         ", which the parameter file does not give");
    util::fatal(util::shown(util::freev("restart at cycle", start, ":") + what + " " + keeps));
  }
}

}  // namespace

void keep_model_definition() {
  definition.clear();
  const int nt = m.ntrait;
  Setting("SEED") << m.seed;
  Setting("DATAFILE records") << m.nrec;
  Setting("NUMBER_OF_TRAITS") << nt;
  Setting("NUMBER_OF_EFFECTS") << m.neff;
  {
    Setting obs("OBSERVATION(S)");
    for (int t = 1; t <= nt; ++t) obs << m.pos_y(t);
  }
  Setting("WEIGHT(S)") << m.pos_weight;
  for (int e = 1; e <= m.neff; ++e) {
    Setting line("EFFECTS: effect " + std::to_string(e));
    for (int t = 1; t <= nt; ++t) line << m.pos_eff(e, t);
    line << m.nlev(e) << model::word(m.effecttype(e)) << (m.effectsave(e) == 1 ? "y" : "n");
    if (model::nested(m.effecttype(e)))
      for (int t = 1; t <= nt; ++t) line << m.nestedcov(e, t);
  }
  Setting("RANDOM_RESIDUAL:") << model::word(m.residualtype) << m.dbelief_r;
  if (model::structural(m.residualtype)) {
    Setting("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:") << m.r_nround << m.r_skip;
    Setting("NUMBER_OF_STRUCTURAL_EFFECTS") << m.neffr;
    for (int k = 1; k <= m.neffr; ++k)
      Setting("STRUCTURAL_EFFECTS: line " + std::to_string(k))
          << m.pos_effr(k) << (m.effrsave(k) == 1 ? "y" : "n");
  }
  for (int i = 1; i <= nt; ++i) {
    Setting row("RESIDUAL_PRIOR_(CO)VARIANCES row " + std::to_string(i));
    for (int j = 1; j <= nt; ++j) row << m.r(i, j);
  }
  for (int e = 1; e <= m.neff; ++e) {
    const int n = m.randomnumb(e);
    if (n <= 0) continue;
    {
      Setting group("RANDOM_GROUP");
      for (int k = 0; k < n; ++k) group << e + k;
    }
    const model::RandomType type = m.randomtype(e);
    Setting(of_effect("RANDOM_TYPE", e)) << model::word(type) << m.dbelief_g(e);
    Setting(of_effect("PEDIGREEFILE:", e)) << m.lenped(e) << m.ngrp(e) << m.nbreed(e);
    if (model::multiple_sires_section(type))
      Setting(of_effect("MULTIPLE_SIRES:", e)) << m.max_msires << m.n_ms << m.ms_alpha;
    if (model::multiple_breed(type))
      Setting(of_effect("METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:", e))
          << m.mb_nround << m.mb_skip;
    const int d = model::block_order(e);
    if (d > model::maxcorr) continue;
    for (int i = 1; i <= d; ++i) {
      Setting row(of_effect("(CO)VARIANCES", e) + " row " + std::to_string(i));
      for (int j = 1; j <= d; ++j) row << m.g(e, i, j);
    }
  }
}

void write(const model::State& s) {
  results::ResultOut f(file);
  // Lines are made in the file's own buffer (it holds lines not yet written).
  std::string& b = f.buf();
  b += "cycle ";
  add_number(b, static_cast<long long>(m.round));
  f.end_line();
  const rangen::Stream r = rangen::stream();
  b += "stream ";
  add_number(b, static_cast<long long>(r.generator));
  b += ' ';
  add_number(b, static_cast<long long>(r.seed1));
  b += ' ';
  add_number(b, static_cast<long long>(r.seed2));
  b += r.antithetic ? " y " : " n ";
  add_number(b, static_cast<long long>(r.draws));
  f.end_line();
  for (const std::string& d : definition) f.text(d);
  each_drawn_sire(s, [&](int e, int an) {
    b += "sire ";
    add_number(b, static_cast<long long>(e));
    b += ' ';
    add_number(b, static_cast<long long>(an));
    b += ' ';
    add_number(b, static_cast<long long>(s.PED(e, an, 3)));
    f.end_line();
  });
  f.seal();
}

rangen::Stream read(model::State& s, int start) {
  ResultIn f(file, start);
  std::string_view line;
  textop::Words words;
  // The next line that is not blank, split into words; false at the end.
  auto next = [&] {
    if (!f.next_line(line)) return false;
    textop::nums(line, words);
    return true;
  };
  auto word = [&](int k) { return words.word(k); };

  long long v[3] = {};
  if (!next() || words.n != 2 || word(1) != "cycle" || !whole(word(2), v[0]))
    f.refuse("does not name the cycle of the store");
  if (v[0] != start - 1)
    util::fatal(util::freev("restart at cycle", start, "needs the results of cycle", start - 1,
                            "but", "\"" + f.name() + "\"", "holds those of cycle", v[0]));

  if (!next() || words.n != 6 || word(1) != "stream") f.refuse("does not give the random stream");
  const long stream_line = f.line_number();
  const std::string stream_text(line);
  for (int k = 0; k < 3; ++k)
    if (!whole(word(k + 2), v[k]))
      f.refuse("has \"" + std::string(word(k + 2)) + "\" where a whole number belongs");
  const std::string_view anti = word(5);
  std::uint64_t draws = 0;
  const std::string_view dw = word(6);
  const auto dr = std::from_chars(dw.data(), dw.data() + dw.size(), draws);
  rangen::Stream stream;
  stream.antithetic = anti == "y";
  const bool fits = v[0] >= 1 && v[0] <= rangen::numg && v[1] >= 0 && v[1] <= INT32_MAX &&
                    v[2] >= 0 && v[2] <= INT32_MAX;
  if (fits) {
    stream.generator = static_cast<rangen::i32>(v[0]);
    stream.seed1 = static_cast<rangen::i32>(v[1]);
    stream.seed2 = static_cast<rangen::i32>(v[2]);
  }
  stream.draws = draws;
  if (!fits || !rangen::possible_stream(stream) || (anti != "y" && anti != "n") ||
      dr.ec != std::errc() || dr.ptr != dw.data() + dw.size())
    f.refuse("gives a state \"" + std::string(line) + "\" that the random stream cannot be in");

  std::vector<std::string> stored;
  bool more = next();
  for (; more && word(1) == "model"; more = next()) {
    std::string_view label, value;
    if (!setting_of(line, label, value)) f.refuse("is not a setting of the model");
    stored.emplace_back(line);
  }
  compare_models(start, f.name(), stored);
  // Seeds and count agree with each other and with SEED, so the count is
  // the chain's own.
  if (!rangen::seeded_stream(stream))
    f.refuse_at(stream_line, "gives a state \"" + stream_text + "\" that SEED " + std::to_string(m.seed) +
                                 " does not reach in the " + std::to_string(draws) + " uniforms it counts");

  // The pedigree's own sire is there until the chain first draws one.
  each_drawn_sire(s, [&](int e, int an) {
    if (!more) f.refuse(util::freev("ends before the sire of effect", e, "animal", an).substr(1));
    if (words.n != 4 || word(1) != "sire" || !whole(word(2), v[0]) || !whole(word(3), v[1]) ||
        !whole(word(4), v[2]))
      f.refuse("is not a line of a sire");
    if (v[0] != e || v[1] != an)
      f.refuse(util::freev("is for effect", v[0], "animal", v[1], "where the model has effect", e,
                           "animal", an)
                   .substr(1));
    bool candidate = v[2] == s.PED(e, an, 3);
    const int p = s.P_MS(an);
    const int nc = p > 0 ? static_cast<int>(s.MS(p)) : 0;
    for (int k = 1; k <= nc && !candidate; ++k) {
      const double id = s.MS(p + 2 * k - 1);
      candidate = id != 0 && id == static_cast<double>(v[2]);
    }
    if (!candidate)
      f.refuse(util::freev("gives sire", v[2], "to animal", an, "of effect", e,
                           ": not its pedigree's sire or one of its candidates")
                   .substr(1));
    s.PED(e, an, 3) = static_cast<int>(v[2]);
    more = next();
  });
  if (more) f.refuse("is past the last line the model gives");
  util::say("read random stream, sires and model of the chain from file: \"" + std::string(file) +
            "\"");
  return stream;
}

}  // namespace run::chain
