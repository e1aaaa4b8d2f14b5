#include "model/model.hpp"

#include <algorithm>

namespace model {
Model m;

const char* word(EffectType t) {
  switch (t) {
    case EffectType::cro: return "cro";
    case EffectType::cov: return "cov";
    case EffectType::ram: return "ram";
    case EffectType::unk: return "unk";
    case EffectType::rno: return "rno";
    case EffectType::none: break;
  }
  return "";
}

const char* word(RandomType t) {
  switch (t) {
    case RandomType::diagonal: return "diagonal";
    case RandomType::add_animal: return "add_animal";
    case RandomType::add_an_upg: return "add_an_upg";
    case RandomType::add_an_upgi: return "add_an_upgi";
    case RandomType::add_sire: return "add_sire";
    case RandomType::par_domin: return "par_domin";
    case RandomType::add_an_ms: return "add_an_ms";
    case RandomType::add_an_mb: return "add_an_mb";
    case RandomType::diag_mb: return "diag_mb";
    case RandomType::none: break;
  }
  return "";
}

const char* word(ResidualType t) {
  switch (t) {
    case ResidualType::homogeneous: return "homogeneous";
    case ResidualType::structural: return "structural";
    case ResidualType::slash: return "slash";
    case ResidualType::struct_slash: return "struct_slash";
    case ResidualType::student_t: return "student_t";
    case ResidualType::struct_student_t: return "struct_student_t";
    case ResidualType::none: break;
  }
  return "";
}

int block_order(int e) {
  int d = m.ntrait * m.randomnumb(e);
  if (multiple_breed(m.randomtype(e))) d *= m.nbreed(e);
  return d;
}

bool sampled_element(const util::arr3<double>& g0, int e, int i, int j) {
  if (g0(e, i, j) != 0.0) return true;
  if (!multiple_breed(m.randomtype(e)) || m.mb_nround <= 0) return false;
  // Element (li, lj) of the upper block of its pair, the one the step
  // reads; a block with both variances is not wholly 0.
  const int d = m.ntrait * m.randomnumb(e);
  const int bi = (i - 1) / d, bj = (j - 1) / d;
  const int r0 = std::min(bi, bj) * d, c0 = std::max(bi, bj) * d;
  const int li = (i - 1) % d + 1, lj = (j - 1) % d + 1;
  return g0(e, r0 + li, c0 + li) != 0.0 && g0(e, r0 + lj, c0 + lj) != 0.0;
}

int present_rows(int e, int* rows) {
  const int nt = m.ntrait;
  int n = 0;
  for (int k = 0; k < m.randomnumb(e); ++k)
    for (int t = 1; t <= nt; ++t)
      if (m.pos_eff(e + k, t) != 0) rows[n++] = k * nt + t;
  return n;
}

bool one_breed_additive(int e) {
  return m.randomtype(e) == RandomType::add_an_mb && m.max_msires == 0 && m.nbreed(e) == 1;
}

RandomType build_type(int e) {
  return one_breed_additive(e) ? RandomType::add_animal : m.randomtype(e);
}

bool draws_sires(int e) {
  return m.randomnumb(e) > 0 && m.max_msires > 0 && candidate_sires(m.randomtype(e));
}

bool in_random_group(int e) {
  for (int f = 1; f <= e; ++f)
    if (e < f + m.randomnumb(f)) return true;
  return false;
}

int reduced_animal_group() {
  for (int e = 1; e <= m.neff; ++e)
    if (m.randomtype(e) == RandomType::add_an_ms && m.effecttype(e) == EffectType::ram) return e;
  return 0;
}

bool robust_residuals() { return robust(m.residualtype); }

bool uses_mh_files() {
  if (m.residualtype != ResidualType::homogeneous) return true;
  for (int e = 1; e <= m.neff; ++e)
    if (multiple_breed(m.randomtype(e))) return true;
  return false;
}

bool saves_solutions() {
  for (int e = 1; e <= m.neff; ++e)
    if (m.effectsave(e) == 1) return true;
  return false;
}

// (The Dirichlet weight is read only where more than one candidate is drawn.)
bool samples_msires() { return m.max_msires > 1 && m.ms_alpha != 0; }

Structural structural_kind(int e) {
  const EffectType et = m.effecttype(e);
  if (single_factor(et)) return Structural::scale;
  if ((et == EffectType::cro || et == EffectType::unk) && m.randomnumb(e) > 0)
    return Structural::levels_alpha;
  return Structural::levels;
}

}  // namespace model
