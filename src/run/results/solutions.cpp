#include "run/results/solutions.hpp"

#include "model/model.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

using model::m;

// Value of a (rows, cols) array, 0 where it has no element.
double at(const util::mat1<double>& a, int i, int j) {
  return i >= 1 && i <= a.rows() && j >= 1 && j <= a.cols() ? a(i, j) : 0.0;
}

}  // namespace

void write_solutions(const model::State& s, const Kept& sm) {
  const int nt = m.ntrait;
  ResultOut f(solutions_file);
  f.title(title_solutions);
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
        write_level(f, sm, t, e, l, s.SUMSOL(a), s.SSSOL(a), s.SOL(a));
      }
    base += m.nlev(e) * nt;
    if (m.effecttype(e) != model::EffectType::ram) continue;
    // Animals without equations of their own.
    ++j_ram;
    for (int an = m.nlev(e) + 1; an <= m.lenped(f_ram); ++an)
      for (int t = 1; t <= nt; ++t) {
        if (m.pos_eff(e, t) == 0) continue;
        const int i = an - m.nlev(e), c = (j_ram - 1) * nt + t;
        write_level(f, sm, t, e, an, at(s.SUMSOL_N, i, c), at(s.SSSOL_N, i, c), at(s.SOL_N, i, c));
      }
  }
  f.seal();
}

void read_solutions(model::State& s, int start, const Kept& sm) {
  const int nt = m.ntrait;
  ResultIn f(solutions_file, start);
  f.title(title_solutions);
  f.label(head_solutions);
  // The pedigree of the animals without equations of their own.
  const int f_ram = model::reduced_animal_group();
  int j_ram = 0;
  const char* msg = "error reading solutions at effect: ";
  int base = 0;
  for (int e = 1; e <= m.neff; ++e) {
    for (int l = 1; l <= m.nlev(e); ++l)
      for (int t = 1; t <= nt; ++t) {
        const int a = base + (l - 1) * nt + t;
        if (m.pos_eff(e, t) == 0) {
          sm.rebuild(s.SUMSOL(a), s.SSSOL(a), s.SUMSOL(a), s.SSSOL(a));
        } else if (!read_level(f, sm, t, e, l, s.SUMSOL(a), s.SSSOL(a), s.SOL(a))) {
          level_error(f, msg, e, l, t);
        }
      }
    base += m.nlev(e) * nt;
    if (m.effecttype(e) != model::EffectType::ram) continue;
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
          sm.rebuild(S, Q, S, Q);
        } else if (!read_level(f, sm, t, e, an, S, Q, last)) {
          level_error(f, msg, e, an, t);
        }
        if (room) {
          s.SUMSOL_N(i, c) = S;
          s.SSSOL_N(i, c) = Q;
          s.SOL_N(i, c) = last;
        }
      }
  }
  f.end();
  util::say("read solutions from file: \"solutions\"");
}

}  // namespace run::results
