// Location parameters the records cannot tell apart.  Levels of fixed
// effects, covariables and the flat-prior levels of additive groups (parent
// groups and the like, which reach a record through its animal's share of
// them) have flat priors; a direction of them that no record informs (add c
// to every parent group and take c from every contemporary group) leaves
// the posterior improper, and the chain walks along it without end.  Before
// the first cycle each such direction is found and given a reference: one
// parameter held at 0 and never drawn, so that the solutions of the effects
// in the direction are relative to it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/state.hpp"

namespace sampler {

// One reference: its equation, effect, level and trait, why it is held
// (a direction of several parameters that no record informs, or a level
// that no record where its trait is observed reaches), whether it is a flat
// group level, and the other effects of its direction (ascending; empty
// when only levels of its own effect are in it).
struct Reference {
  enum class Why { shift, unreached };
  int eq = 0, effect = 0, level = 0, trait = 0;
  Why why = Why::shift;
  bool group = false;
  std::vector<int> with;
};

// What the search found for a run, kept in the chain's workspace.
struct References {
  bool searched = false;
  std::vector<Reference> refs;
  std::vector<int> held;  // their equations, ascending
  // Work of hold_references: the held equations, and where their rows and
  // columns lie in s.XX_IJA for the layout of the link's generation.
  std::vector<char> is_held;
  std::vector<std::int32_t> zero_at, one_at;
  long layout = -1;
  std::int32_t layout_nel = -1;
};


// The references of the model and data in s, trait by trait over the
// records where the trait is observed: one per direction, its best-informed
// parameter (of its flat group levels if it has any, the one with the
// largest sum of squares over the records; else the level of its latest
// effect with the largest; ties to the later); and every fixed level that
// no such record reaches while a record with the trait missing does, and
// every flat group level that no such record reaches.  The data must have
// been read (the first cycle's build reads them).
std::vector<Reference> find_references(model::State& s);

// The start-up line of a reference.
std::string reference_line(const Reference& r);

// In the first cycle of a run: the search, its lines, and on a restart the
// refusal of a chain stored while it still drew a parameter now held.
void settle_references(model::State& s);

// The held equations of s (empty before the search, and for most models).
const std::vector<int>& held_equations(const model::State& s);

// Before the block pass: every held equation loses its couplings to the
// others and its right-hand side in s.XX_IJA and s.XY, and its solution is
// 0, so that what the pass draws for it touches no other equation.  After
// the pass: zero_held_solutions sets its solution back to 0.
void hold_references(model::State& s);
void zero_held_solutions(model::State& s);

}  // namespace sampler
