// The work areas of one chain, owned by its state (model::State::work) and
// made on first use: what the sampler keeps between records, passes and
// cycles that is not the chain's value.  Everything here is worked out
// again from the state and the model when it is missing, so that a state
// that is new, or read back from a restart, starts with an empty one; only
// the sample files, closed in a new one, are opened by the run control.
//
// Who resets what: the equation plan starts anew at every cycle built
// through the table (EquationPlan::begin) and is checked against the link
// before every planned cycle (EquationPlan::fits); the cursor's derived
// constants are made by prepare_records at the first cycle of every run;
// the link is rebuilt whenever new keys enter XX; the dispersion step's and
// the structural step's work areas last one call, except what the structural
// step finds of its levels in the first cycle of a run; the log-determinant memo
// is checked against the weight, the inverse and the tolerance it was made
// from before every use.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "dense/denseop.hpp"
#include "model/state.hpp"
#include "sampler/eq_plan.hpp"
#include "sampler/gibbs.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/record_cursor.hpp"
#include "sampler/relationship.hpp"
#include "sampler/samplefiles.hpp"

namespace sampler {

// Work of the structural residual step; its contents last one call, but
// for the levels' information.
struct StructuralWork {
  std::vector<double> ee;   // statistic of each parameter equation (index eq-1)
  std::vector<double> old;  // factor before its latest draw in this call
  // Slot of structural effect k in record i at (i-1)*neffr + k-1, found
  // once per call: nothing that find_addresses reads changes within it.
  // The multiplier, and the parameter equation, negated for a missing one.
  std::vector<float> slot_w;
  std::vector<std::int32_t> slot_eq;
  // Per parameter equation of a level of a fixed per-level structural effect
  // (index eq-1), found in the first cycle of a run: the location parameters
  // that only the level's records inform.  Exact for a level whose factor
  // is not sampled; for the others it may be an upper bound that still
  // leaves them sampled.
  std::vector<std::int32_t> own;
  // Of the same levels: 1 where unknown parent groups (or other levels of
  // an additive group with a flat prior) are among those parameters.
  std::vector<char> own_groups;
  // Of each fixed per-level structural effect (index k): its reference
  // level, whose factor stays 1 (the last level that has records).
  std::vector<int> reference;
};

// ln det of the last record's inverse covariance, with what it was formed
// from: most models give every record the same weight and rinv, and the
// factorisation and log are the dearest part of a record.  A determinant
// whose factorisation reported a negative pivot is not kept, so that the
// report comes again for every record, as it would without the memo.
struct LogDetMemo {
  bool valid = false;
  int nt = 0;
  double weight = 0, tol = 0, log_det = 0;
  double rinv[denseop::max_order * denseop::max_order];
};

// Work areas whose type only their own unit knows (made by it on first
// use through made()).
struct OneTraitTable;  // mendelian.cpp: the one-trait Mendelian step's animals
struct BreedPlans;     // multibreed.cpp: each multiple-breed group's terms
struct CovariateWork;  // rnorm.cpp: the unknown-covariable step's work
struct References;     // references.cpp: the parameters held at 0
template <class T>
using Owned = std::unique_ptr<T, void (*)(T*)>;
template <class T>
T& made(Owned<T>& p) {
  if (!p) p = Owned<T>{new T, [](T* q) { delete q; }};
  return *p;
}

struct Workspace {
  RecordCursor cursor;
  EquationPlan plan;
  HashLink link;  // of s.XX to s.XX_IJA
  // The kept covariance-inverse terms of the random groups, by first effect.
  RelationshipTerms terms;
  DispersionWork dispersion;
  StructuralWork structural;
  LogDetMemo log_det;
  // The chain's sample files (sampler/samplefiles.hpp), open from the first
  // cycle or the restart to the end of the run; the workspace's end closes
  // whatever is still open.
  SampleFiles samples;
  Owned<OneTraitTable> one_trait{nullptr, nullptr};
  Owned<BreedPlans> breed{nullptr, nullptr};
  Owned<CovariateWork> covariate{nullptr, nullptr};
  Owned<References> references{nullptr, nullptr};
};

// Makes s's workspace.
void make_workspace(const model::State& s);

// s's workspace, made when s has none yet.
[[gnu::always_inline]] inline Workspace& workspace(const model::State& s) {
  if (!s.work) [[unlikely]]
    make_workspace(s);
  return *s.work;
}

}  // namespace sampler
