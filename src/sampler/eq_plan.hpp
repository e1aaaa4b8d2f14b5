// The equation plan: the faster routes of the equation build, beside the
// reference build of setup_eq.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/state.hpp"

namespace sampler {

struct RelationshipTerms;

// The routes of a cycle's build.
// Tests turn it off to build every cycle through the table: the reference
// that every planned build must give bit for bit.
extern bool allow_planned_builds;

enum class Route {
  // The reference build: every addition through the hash store s.XX, the
  // records' slots and the groups' keys kept for a plan.
  through_table,
  // Straight into XX_IJA, each record's slots found from its data as on the
  // reference route (and checked against those planned).
  planned_found,
  // Straight into XX_IJA, the records' slots loaded from the stream (where
  // they cannot change between cycles: slots_loadable).
  planned_loaded,
};

// The direct build.  After the first cycle of a run the elements of the
// coefficient matrix stay the same; only their values change.  Once a whole
// cycle has been built through the hash store s.XX (its records' slots kept
// in the record cursor's stream, the groups' keys in the relationship terms)
// and copied into s.XX_IJA, place() finds the XX_IJA position of each of its
// additions, and later cycles make their additions straight into the values
// of XX_IJA.  s.XX then keeps its keys and the values of the last cycle built
// through it.
//
// Invariant: every element of XX_IJA receives the same additions, in the same
// order, as through the hash store and the copy, so every sum comes out as
// before.  Where a cycle cannot keep it (a record or a group whose equations
// differ from the planned ones), leave() moves the values so far into XX and
// the rest of the cycle goes through it; the next cycle is planned anew.
struct EquationPlan {
  // keyed: the stream and the groups' keys hold a whole cycle built through
  // XX; placed: rec_pos holds the positions for the copy as it was at
  // link_generation with nel elements.
  enum class Stage { none, keyed, placed };
  Stage stage = Stage::none;
  long link_generation = -1;
  std::int32_t nel = 0;
  // XX_IJA position (0-based) of each record addition that the store keeps.
  std::vector<std::int32_t> rec_pos;
  // Set by reset() when it zeroed XX_IJA (not XX) for the coming build.
  bool armed = false;
  // The last build went straight into XX_IJA for all of its cycle.
  bool direct = false;
  // For additions the plan does not hold (a record whose parents are drawn
  // sires, a relationship inverse that changed with them): the XX_IJA
  // position of each slot of s.XX (1-based; -1 none), made when first
  // needed for the copy of link generation lookup_generation, and room for
  // one record's positions.
  std::vector<std::int32_t> pos_of_slot;
  long lookup_generation = -1;
  std::vector<std::int32_t> scratch;
  // Where a planned_found build stands: the stream's keys of the next
  // record, and its first position in rec_pos.
  std::size_t key_at = 0, pos_at = 0;

  bool ready() const { return stage == Stage::placed; }
  // Placed for s's copy as it stands.
  bool fits(const model::State& s) const;
  // Sets the values of the coming cycle's matrix to 0 (see reset_matrix_values).
  void reset(model::State& s);
  // The one dispatch: called by the build at its start, it says which route
  // the cycle takes.  On through_table XX's values are 0 and the stream is
  // started anew.
  Route begin(model::State& s, bool first_cycle);
  // Called by the build at its end: direct when it stayed on its planned
  // route to the end.
  void end(Route route, bool direct);
  // planned_found: adds the terms of the record in the cursor at its
  // planned positions, or (its parents drawn sires) at positions looked up
  // by their slots in XX.  False, adding nothing, when neither can be done:
  // the caller leaves the plan.
  bool add_record(model::State& s);
  // planned_loaded: the records' pass, each record's slots from the stream,
  // all straight into XX_IJA; leaves the cursor on the last record.
  void add_loaded_records(model::State& s);
  // The covariance-inverse terms of the group at e straight into XX_IJA
  // (for add_an_ms after update_ainv, its finish_aav left to the caller);
  // false, with nothing added, when they cannot go there.
  bool add_group(model::State& s, int e, RelationshipTerms& terms);
  // The fallback: the build goes on through XX from here.
  void leave(model::State& s);
  // Finds the positions (see plan_equations).
  void place(model::State& s);
  // Makes pos_of_slot fit s's copy as it stands.
  void index_slots(const model::State& s);
};

// Threads that find a plan's positions: 0 lets the plan choose (one for a
// small plan, up to the hardware's count and at most 8 for a large one); a
// positive count is used whatever the size.  The positions are a function
// of the copy and the additions alone, so they do not depend on the count.
inline int plan_threads = 0;
// Parts into which a plan step of `work` elements is shared out.
int plan_parts(std::size_t work);

// Sets the values of the coefficient matrix to 0 for the coming cycle: those
// of XX_IJA when its build can go straight there (a planned later cycle),
// else those of XX (keys kept).
void reset_matrix_values(model::State& s);

// After the block pass's refresh of XX_IJA from XX: finds the positions of
// the cycle's additions when it was built through XX from its start.
void plan_equations(model::State& s);

// After the build of a cycle: false when it went straight into XX_IJA to
// its end, so that XX_IJA holds the cycle's matrix; true when XX holds it
// and its copy must be made.
bool built_through_table(const model::State& s);

// XX_IJA's values from XX through the state's link (see link_hash_ija).
void link_equations(model::State& s);

// After the build: when XX holds the cycle's matrix, copies it into XX_IJA
// and places the plan for the next cycle; nothing when XX_IJA holds it.
void complete_equations(model::State& s);

}  // namespace sampler
