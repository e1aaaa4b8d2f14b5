// The mixed-model equations of one cycle: every record's terms
// X'(w R^-1)X and X'(w R^-1)y added into s.XX and s.XY, then each random
// group's covariance-inverse terms.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "run/state.hpp"

namespace sampler {

// After the first cycle of a run the elements of the coefficient matrix stay
// the same; only their values change.  So once a cycle has been built through
// the hash store s.XX and copied into s.XX_IJA, the position in s.XX_IJA of
// every addition of that cycle is found once, and later cycles make the same
// additions, in the same order, straight into the values of s.XX_IJA: every
// sum comes out as before, without the hash look-ups and the copy.  s.XX
// then keeps its keys and the values of the last cycle built through it.
// A record whose equations differ from the planned ones sends the rest of
// its cycle back through s.XX (the values so far copied there first), and
// the next cycle is planned anew.
struct EquationPlan {
  bool ready = false;                  // positions valid for owner's XX_IJA
  const run::State* owner = nullptr;
  long link_generation = -1;           // of the copy the positions are in
  std::int32_t nel = 0;                // stored elements of that copy
  // Per record of the last cycle built through s.XX: the slot count of each
  // trait, then the equations of its slots, trait by trait.
  std::vector<std::int32_t> rec_keys;
  bool keys_complete = false;          // rec_keys and the groups' keys cover a whole cycle
  // XX_IJA position (0-based) of each record addition that the store keeps.
  std::vector<std::int32_t> rec_pos;
  // Set by reset_matrix_values when the coming build can go straight into
  // XX_IJA (whose values it set to 0); taken by setup_eq.
  bool direct_next = false;
  // The last build went straight into XX_IJA for all of its cycle.
  bool direct = false;
};

extern EquationPlan equation_plan;

// Sets the values of the coefficient matrix to 0 for the coming cycle: those
// of XX_IJA when its build can go straight there (a planned later cycle),
// else those of XX (keys kept).
void reset_matrix_values(run::State& s);

// After the block pass's refresh of XX_IJA from XX: finds the positions of
// the cycle's additions when it was built through XX from its start.
void plan_equations(run::State& s);

// Builds the equations of the cycle into s.XX and s.XY, whose values the
// caller has set to 0.  At the first cycle of a run (round = start) it reads
// the data file into s.INDATA, checking each record, prints the slots of the
// first nine records and two progress lines, and for at most 20 equations
// prints the whole system.  Leaves s.irec = nrec + 1 and the cursor on the
// last record.
void setup_eq(run::State& s);

// Adds the terms of the record in the cursor (after find_addresses, decode_r
// and predict_missing_y) to s.XX and s.XY.
void add_record_terms(run::State& s);

// Adds the covariance-inverse terms of every random group to s.XX, by its
// random type.
void add_random_terms(run::State& s);
// The same for the groups whose first effect e has only(e) true.
void add_random_terms(run::State& s, const std::function<bool(int)>& only);

}  // namespace sampler
