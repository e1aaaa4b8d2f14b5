// Covariance-inverse terms of the random groups whose relationship structure
// is fixed for the run: G^-1 (x) I for "diagonal" groups and G^-1 (x) A^-1 for
// the additive types (animal, animal with unknown parent groups, the same
// with inbreeding, sire).
//
// G^-1 is the group's block of model::m.ginv, indexed effect-major and
// trait-minor (i*ntrait + t for effect e+i, trait t); it changes every cycle,
// so the terms are added again every cycle.  A^-1 is built from the pedigree
// in the first cycle of a run (round == start): it is stored in s.AINV(e) and
// its per-line terms are kept in compact form, from which later cycles re-add
// them to s.XX in the same order, so the hash layout and every sum come out
// as if the pedigree were walked again.  Each group also remembers the table
// slot of each of its additions to s.XX; a remembered slot that no longer
// holds its element (the table grew or was rebuilt) is looked up again.
// Once the equations are built straight into s.XX_IJA (see eq_plan.hpp),
// the remembered slots become positions in it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"

namespace sampler {

// One pedigree line of an additive group: its non-zero ids with the column
// (0, 1, 2) each came from, in column order, and the line's multiplier.
struct PedLine {
  std::int32_t id[3] = {0, 0, 0};
  std::uint8_t k[3] = {0, 0, 0};
  std::uint8_t n = 0;  // non-zero ids
  double m = 0;        // Mendelian multiplier (2, 4/3, ..., code/1000)
};

// What one random group keeps between cycles.
struct GroupTerms {
  model::RandomType type = model::RandomType::none;  // of the kept lines; none = none kept
  int lenped = 0;  // pedigree lines they were built from
  std::vector<PedLine> lines;       // additive types: built in the first cycle of a run
  // Per addition to s.XX that the store keeps (upper triangle), in order:
  // its 0-based slot in s.XX, or, once `positions` is set, its 0-based
  // position among the values of s.XX_IJA.
  std::vector<std::int32_t> slots;
  bool positions = false;
  // Once positions are found, an additive group's additions sorted by their
  // position, each with its product: coefficient (index c into coefs) times
  // G^-1 element (index i in the group's list), numbered c * ng + i.  Walked
  // in this order the values of s.XX_IJA are met window by window of nearby
  // positions, within a window the first addition to each position before
  // the second to any, and every element still receives its additions in
  // their order.  When set, slots is emptied.
  struct Sorted {
    std::int32_t pos;
    std::uint32_t product;
  };
  static constexpr int window_bits = 11;  // windows of 2048 positions
  std::vector<Sorted> sorted;
  std::vector<double> coefs;
  // coefs times the G^-1 elements of the cycle, by product number: filled
  // afresh by every cycle that adds through sorted.
  std::vector<double> products;
  // The G^-1 elements (row and column bases, in pairs) and, for a diagonal
  // group, the levels of the last additions made through s.XX: a later
  // cycle makes the same additions while these and the lines stay.
  std::vector<std::int32_t> gkeys;
  int levels = 0;

  // Random type "add_an_ms".  Its A^-1 in s.AINV(e) changes with the
  // drawn sires; through s.XX its additions follow the compressed-row copy
  // s.AINV_IJA(e), which is made again when ija_stale is set.
  bool ija_stale = false;
  // The slot of s.AINV(e) that holds each element of s.AINV_IJA(e) (0 for a
  // diagonal the table lacks), valid while the table is ainv_table with
  // ainv_nel slots and ainv_filled keys: the copy's values are then
  // refreshed through it instead of being converted anew.
  std::vector<std::int32_t> ija_slot;
  const void* ainv_table = nullptr;
  std::int32_t ainv_nel = -1, ainv_filled = -1;
  // Every element of s.XX receives one addition of the group, so that
  // straight into s.XX_IJA they go in any order: by the keys of s.AINV(e)
  // (their slots in key_slot, in the order found, for the table keys_table
  // of keys_nel slots), each with the position of its addition for each
  // G^-1 element (key_pos, key by key; -1 where it falls below the
  // diagonal).
  std::vector<std::int32_t> key_slot, key_pos;
  const void* keys_table = nullptr;
  std::int32_t keys_nel = -1;
  // Counts the changes of s.AINV(e) (its build, a drawn sire that differs):
  // a reader that saw this count has seen the values as they are.  The
  // cycle's draws leave in changed_slots the slots whose values they changed
  // (for the count ainv_version) and set keys_added when they added keys;
  // rebuilt marks a build from the pedigree since the last copy, built one
  // in the last cycle.
  long ainv_version = 0;
  std::vector<std::int32_t> changed_slots, added_slots;
  bool keys_added = false, rebuilt = false, built = false;
  // Where a drawn sire's change to A^-1 last found its keys: per line the
  // pairs (animal, animal), (animal, dam), (dam, dam); per candidate (by its
  // position in s.MS) the pairs (animal, sire), (dam, sire), (sire, sire).
  std::vector<std::array<std::int32_t, 3>> line_slots, sire_slots;
};

// The kept terms of every group, by first effect (index e-1).  One store per
// chain, in its workspace.
struct RelationshipTerms {
  std::vector<GroupTerms> group;
};

// s's store (in its workspace), that of the forms without a store argument.
RelationshipTerms& relationship_terms(const model::State& s);
// The kept terms of the group whose first effect is e.
GroupTerms& group_terms(RelationshipTerms& terms, int e);

// The compact lines of group e's pedigree read as random type `type`; an id
// outside the group's levels stops the run as the build of A^-1 does.
void pedigree_lines(const model::State& s, model::RandomType type, int e, GroupTerms& t);

// Random type diagonal: adds ginv(e) (x) I over the group's levels to s.XX for
// the traits where both effects have data (pos_eff != 0); in the first cycle
// of a run also stores I in s.AINV(e).  s.DF_RANDOM(e) = nlev(e) at every
// call.  A correlated effect with fewer levels than e stops the run.
void add_g_diag(model::State& s, int e, RelationshipTerms& terms);
void add_g_diag(model::State& s, int e);

// The additive types add_animal, add_an_upg, add_an_upgi and add_sire (and
// a one-breed additive multiple-breed group as add_animal):
// adds ginv(e) (x) A^-1 to s.XX for the traits where both effects have data
// (pos_eff != 0).  In the first cycle of a run builds A^-1 from s.PED (and
// s.PED_CODE for the types with parent groups) into s.AINV(e) and the store, prints
// " read <lenped> additive pedigrees" and sets s.DF_RANDOM(e) to the count
// of lines of weight above 0 (lenped(e) but for lines of no weight);
// a later cycle re-adds the kept terms (building them first, without
// touching AINV, if the store lacks them).  An empty pedigree stops the run;
// so does, when the terms are built, an id outside the levels of the group's
// effects or a type-4 code outside 1..4.
void add_g_add(model::State& s, model::RandomType randomtype, int e, RelationshipTerms& terms);
void add_g_add(model::State& s, model::RandomType randomtype, int e);

// Later cycles whose equations are built straight into the values of
// s.XX_IJA (a, 0-based): the same additions as add_g_diag / add_g_add, in the
// same order, at the positions planned for them.  False, adding nothing,
// when the group has no positions or its additions would differ from those
// planned (another G^-1 pattern, pedigree or level count).
bool add_g_diag_direct(model::State& s, int e, double* a, RelationshipTerms& terms);
bool add_g_add_direct(model::State& s, model::RandomType randomtype, int e, double* a,
                      RelationshipTerms& terms);

// Position of element (row, col) among the values of s.XX_IJA; negative
// when it has none.
using PositionOf = std::int32_t (*)(std::int32_t row, std::int32_t col, const void* ctx);

// Random type add_an_ms, once s.AINV_IJA(e) holds the cycle's A^-1:
// adds ginv(e) (x) A^-1 to s.XX, walking the copy row by row for each G^-1
// element of the traits where both effects have data, each element (r, c)
// also as (c, r).  Every element of s.XX thus receives one addition.
void add_ainv_terms(model::State& s, int e, RelationshipTerms& terms);
// The same additions straight into the values a of s.XX_IJA (in another
// order: each element receives one).  Keys that s.AINV(e) gained have their
// positions found by where(row, col, ctx), and all of them when the table
// was made anew or G^-1's pattern changed (none given: false).  False,
// adding nothing, when an element has no position.
bool add_ainv_terms_direct(model::State& s, int e, double* a, RelationshipTerms& terms,
                           PositionOf where, const void* ctx);
// Finds the positions of the group's additions straight into s.XX_IJA for
// s.AINV(e) as it stands by where(row, col, ctx); false, and none kept, when
// an element has none.
bool plan_ainv_positions(const model::State& s, int e, RelationshipTerms& terms, PositionOf where,
                         const void* ctx);
// s.AINV_IJA(e) := the compressed-row copy of s.AINV(e): converted when the
// table was rebuilt or gained keys since the last copy (or `rebuilt` says
// so), else its values refreshed from the table's slots.
void copy_ainv(model::State& s, int e, bool rebuilt, RelationshipTerms& terms);

// Replaces the remembered slots of group e, whose additions of the last
// cycle went through s.XX as random type `randomtype`, by
// the positions where(row, col, ctx) gives.  False, and no positions, when
// the group kept other additions or an element has no position.
bool plan_group_positions(RelationshipTerms& terms, int e, model::RandomType randomtype,
                          PositionOf where, const void* ctx);

}  // namespace sampler
