// Support of the tests of the model description and the chain's state: a
// model description built in code.
#pragma once

#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"

namespace modeltest {

// A fresh model of nt traits, nf effects and nrec records with every
// per-effect array sized: no effect present (pos_eff 0), none random,
// homogeneous residual, r 0, thinning 1.
inline void sized_model(int nt, int nf, int nrec) {
  model::m = model::Model{};
  model::Model& M = model::m;
  M.ntrait = nt;
  M.neff = nf;
  M.nrec = nrec;
  M.skip = 1;
  M.residualtype = model::ResidualType::homogeneous;
  M.pos_y.resize(nt);
  M.pos_eff.resize(nf, nt);
  M.nestedcov.resize(nf, nt);
  M.nlev.resize(nf);
  M.effecttype.resize(nf);
  M.effectsave.resize(nf);
  M.randomtype.resize(nf);
  M.randomtype.fill(model::RandomType::none);
  M.randomnumb.resize(nf);
  M.dbelief_g.resize(nf);
  M.randomfile.resize(nf);
  M.lenped.resize(nf);
  M.ngrp.resize(nf);
  M.nbreed.resize(nf);
  M.g.resize(nf, model::maxcorr, model::maxcorr);
  M.ginv.resize(nf, model::maxcorr, model::maxcorr);
  M.r.resize(nt, nt);
  M.rinv.resize(nt, nt);
}

// A fresh model: nt traits, effects of the given types and levels, nrec
// records, in its first cycle; every effect absent, r the identity, no
// random group.
inline void new_model(int nt, const std::vector<model::EffectType>& types,
                      const std::vector<int>& levels, int nrec) {
  const int nf = static_cast<int>(types.size());
  sized_model(nt, nf, nrec);
  model::Model& M = model::m;
  M.round = 1;
  M.start = 1;
  M.nround = 1;
  for (int e = 1; e <= nf; ++e) {
    M.effecttype(e) = types[static_cast<std::size_t>(e - 1)];
    M.nlev(e) = levels[static_cast<std::size_t>(e - 1)];
  }
  for (int t = 1; t <= nt; ++t) M.r(t, t) = 1.0;
}

// s made anew for the model as it stands, sized and allocated as the
// program does.
inline void allocate_for_model(model::State& s) {
  s = model::State{};
  s.neq = model::number_of_equations();
  s.reclen = model::data_record_length();
  model::allocate_state(s);
}

}  // namespace modeltest
