// One data record as the sampler sees it: its weight and observations, its
// design row per trait as (equation, multiplier) slots, the inverse of its
// residual (co)variance, and the imputation of its missing traits.
//
// Every pass over the data handles one record at a time through the record
// cursor of model::State, in this order: set s.irec; decode_record; find_addresses;
// decode_r; predict_missing_y.  prepare_records must have run for the model
// in hand (setup_eq does it at the first cycle of a run; find_addresses does
// it itself when the cursor's extents do not fit the model).  Where the
// records' slots cannot change between cycles, the equation build and the
// residual pass load them from the stream the build kept
// (for_each_kept_record: find_addresses only for records whose multipliers
// do not follow from their data).
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/record_cursor.hpp"
#include "sampler/workspace.hpp"
#include "util/array.hpp"
#include "util/textio.hpp"

namespace sampler {

// The most traits the per-record kernels hold on the stack.
inline constexpr int max_traits = denseop::max_order;

// x and y the same to the bit (what is kept from a value is reused only for
// the very same value).
inline bool same_bits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// False: no model keeps its records' slots (slots_fixed), so that every
// pass finds them again and takes the general steps.  Tests set it to
// compare the passes over kept slots with those steps.
extern bool allow_kept_slots;

// Sizes the cursor and derives its constants from model::m (the state is
// not read yet).  Keeps the data file.  Stops when the model asks for
// something the record steps cannot do: more than 20 traits, a reaction norm
// without a level column, an "add_an_ms" animal effect absent for trait 1.
void prepare_records(const model::State& s);

// Opens the data file (unit 50).
void open_data_file(const model::State& s, const std::string& name);

// Equation of effect eff, level, trait: (nlev(1)+...+nlev(eff-1) + level - 1)
// * ntrait + trait.  The level is not checked.
int address1(int eff, int level, int trait);

// The record classes of a reduced animal model: the records of animals
// without equations numbered by their pair of weight and DINV (bit for bit,
// as decode_r reads them), in the order the pairs first come.  Records of
// one class share their covariance and its inverse.
class WeightDinvClasses {
 public:
  // The class of record irec of animal a, and whether it is new.
  std::pair<std::int32_t, bool> add(const model::State& s, int irec, int a);
  std::size_t size() const { return of_.size(); }
  // The pair of the class add() last returned.
  double w = 0, d = 0;

 private:
  std::map<std::pair<std::uint64_t, std::uint64_t>, std::int32_t> of_;
};

// s.rec_weight and s.Y of record s.irec.  (Inline: it runs for every record
// twice a cycle.)  NT > 0: the trait count, known at compile time.
template <int NT = 0>
inline void decode_record(model::State& s) {
  const int irec = s.irec;
  VELMORAN_CHECK("data record", irec, 1L, s.INDATA.rows());
  // Column c of the record at row[(c - 1) * ld].
  const long ld = s.INDATA.rows();
  const float* row = s.INDATA.data() + (irec - 1);
  const int pw = model::m.pos_weight, nt = NT > 0 ? NT : model::m.ntrait;
  VELMORAN_CHECK("data column", pw, 0L, s.INDATA.cols());
  s.rec_weight = pw == 0 ? 1.0 : static_cast<double>(row[(pw - 1) * ld]);
  const int* py = model::m.pos_y.data();
  float* y = s.Y.data();
  for (int t = 0; t < nt; ++t) {
    VELMORAN_CHECK("data column", py[t], 1L, s.INDATA.cols());
    y[t] = row[(py[t] - 1) * ld];
  }
}

// Slots of record s.irec: s.ADDRESS, s.WEIGHT_COV (0 beyond the slots), s.naddr,
// and the per-trait counts and owners of `cursor`.
void find_addresses(model::State& s);

// Starts the stream anew for the records of a cycle of s.
void clear_slots(const model::State& s);

// Appends the slots of the record in the cursor (after find_addresses) to
// the stream.
void keep_slots(const model::State& s);

// True when the stream holds the slots of all records for s, kept for
// loading: for_each_kept_record may then stand for find_addresses.
bool slots_loadable(const model::State& s);

// The multipliers x[0..n-1] of record s.irec, one slot per effect and trait
// with the equations eq (a derived record, see for_each_kept_record); c is
// s's cursor, taken once per pass.  NK > 0: n fixed
// at compile time.
template <int NK = 0>
[[gnu::always_inline]] inline void derive_multipliers(const model::State& s, const RecordCursor& c,
                                                      const std::int32_t* eq, int n_run, float* x) {
  const int n = NK > 0 ? NK : n_run;
  const int* col = c.mult_col.data();
  const long ld = s.INDATA.rows();
  const float* row = s.INDATA.data() + (s.irec - 1);
#pragma GCC unroll 16
  for (int k = 0; k < n; ++k) {
    const float v = col[k] == 0 ? 1.0f : row[(col[k] - 1) * ld];
    x[k] = eq[k] < 0 ? 0.0f : v;
  }
}

// model::m.rinv := the inverse of the record's residual (co)variance
// s.res_scale * r, or for a record of an animal without an equation of its
// own s.res_scale * r + w * G / DINV, so that w * rinv is the inverse of the
// record's covariance s.res_scale * r / w + G / DINV (w its weight; G the
// animal effect's block over the traits where that effect has data);
// s.res_scale := its structural and robust scale.  Sets the cursor's nonparent and,
// for such a record, its record_cov.  A pass over records in which
// nothing writes r, g or the pivot tolerance may give its number from
// new_pass(): what decode_r keeps from the records before is then checked
// against r and g only once in the pass.
void decode_r(model::State& s, long pass = 0);
// decode_r in a pass takes what an earlier record of the same class left
// (RecordCursor::classes): the same values.  Tests turn it off to compare.
extern bool use_record_classes;
// The record classes of s's stream as it stands (made when they are not),
// or null when s's records are not all kept or the model has no animals
// without equations.
const RecordCursor::RecordClasses* record_classes(const model::State& s);
// A number for a pass over records (see decode_r).
long new_pass(const model::State& s);

// The equation of the factor of structural residual effect e in slot j of
// trait t of the record in the cursor: the slot's own, or for an effect
// nested in a level column (one factor for the whole effect) its first.
inline int structural_equation(const model::State& s, int e, int j, int t) {
  const RecordCursor& c = workspace(s).cursor;
  return model::m.nestedcov(e, t) > 0 ? static_cast<int>(c.eq_base(e) + t) : s.ADDRESS(j, t);
}

// The structural scale of the record in the cursor: over its traits and,
// within each, the structural effects in turn, the product of factor(q) ^ x
// for the slot of the effect with equation q and multiplier x.  A record
// without a slot of an effect is not scaled by it.
template <class Factor>
inline double structural_scale(const model::State& s, Factor&& factor) {
  const model::Model& m = model::m;
  const RecordCursor& c = workspace(s).cursor;
  double sc = 1.0;
  for (int t = 1; t <= m.ntrait; ++t)
    for (int k = 1; k <= m.neffr; ++k) {
      const int e = m.pos_effr(k);
      const int j = c.EFF_SLOT(e, t);
      if (j == 0) continue;
      sc = sc * std::pow(factor(structural_equation(s, e, j, t)),
                         static_cast<double>(s.WEIGHT_COV(j, t)));
    }
  return sc;
}

// model::m.rinv := the inverse of 1.0 * r (kept from the last time while r
// and the pivot tolerance stay; pass as decode_r's).
void rinv_of_r(const model::State& s, long pass = 0);

// What decode_r gives the record in hand in a pass that the record classes
// serve (RecordCursor::classes), from what its class, or the inverse of r,
// holds from an earlier record of the pass; false, doing nothing, when they
// hold nothing yet (decode_r forms it).  It leaves no memo in use
// (memo_used -1): a pass of decode_r_in_pass reads none.  c: s's cursor,
// taken once per pass.  NT > 0: the trait count, known at compile time.
template <int NT = 0>
[[gnu::always_inline]] inline bool decode_r_kept(model::State& s, RecordCursor& c, long pass) {
  const RecordCursor::RecordClasses& k = c.classes;
  if (pass == 0 || k.checked_pass != pass || !k.on) return false;
  const int nt = NT > 0 ? NT : c.ntrait, cells = nt * nt;
  const int cls = k.of_record[static_cast<std::size_t>(s.irec - 1)];
  const double* from;
  if (cls < 0) {
    if (c.r_pass != pass || !c.rinv_cached) return false;
    from = c.cached_rinv.data();
    c.nonparent = 0;
  } else {
    if (k.pass[static_cast<std::size_t>(cls)] != pass) return false;
    const std::size_t at = static_cast<std::size_t>(cls) * static_cast<std::size_t>(cells);
    from = k.rinv.data() + at;
    const double* kc = k.cov.data() + at;
    double* cov = c.record_cov.data();
    for (int q = 0; q < cells; ++q) cov[q] = kc[q];
    c.nonparent = static_cast<int>(s.INDATA(s.irec, model::m.pos_eff(c.e8, 1)));
  }
  double* ri = model::m.rinv.data();
  for (int q = 0; q < cells; ++q) ri[q] = from[q];
  s.res_scale = 1.0;
  c.memo_used = -1;
  return true;
}

// decode_r for the next record of a pass over the records in which nothing
// else writes r, rinv or the pivot tolerance.  same starts false for the
// pass; once decode_r has found the constant inverse cached, it is already
// in rinv for every later record.
template <int NT = 0>
[[gnu::always_inline]] inline void decode_r_in_pass(model::State& s, RecordCursor& c, bool& same,
                                                    long pass = 0) {
  if (same) {
    s.res_scale = 1.0;
    return;
  }
  if (decode_r_kept<NT>(s, c, pass)) return;
  decode_r(s, pass);
  same = c.rinv_constant && c.rinv_cached;
}

// Residuals of the current record for every trait: Y(t) minus the fitted
// value, each slot's term subtracted in turn.  The record weight does not
// enter: it is a precision (the record's residual covariance is R/w).  A slot
// of an unknown covariable counts with multiplier 1 (its own multiplier
// carries the reaction-norm slopes); a missing-code slot counts nothing.
// e[0..ntrait-1].
void record_residuals(const model::State& s, double* e);
// The same from a record's kept slots (slots_fixed models): slot counts cnt,
// equations eq and multipliers x trait by trait.  NT > 0 and N > 0: NT
// traits of N slots each, known at compile time (cnt unread).
template <int NT = 0, int N = 0>
[[gnu::always_inline]] inline void record_residuals(const model::State& s, const std::int32_t* cnt,
                                                    const std::int32_t* eq, const float* x,
                                                    double* e) {
  const int nt = NT > 0 ? NT : model::m.ntrait;
  const float* y = s.Y.data();
  const double* sol = s.SOL.data() - 1;
  for (int t = 0; t < nt; ++t) {
    double v = static_cast<double>(y[t]);
    const int n = NT > 0 && N > 0 ? N : cnt[t];
#pragma GCC unroll 16
    for (int j = 0; j < n; ++j) {
      // A missing-code slot is kept negated: no term.  (No unknown
      // covariable reaches a kept stream.)
      VELMORAN_CHECK("solution", eq[j], -1L, static_cast<long>(s.SOL.size()));
      if (eq[j] > 0) v = v - static_cast<double>(x[j]) * sol[eq[j]];
    }
    eq += n;
    x += n;
    e[t] = v;
  }
}
inline void record_residuals(const model::State& s, const RecordSlots& r, double* e) {
  record_residuals(s, r.cnt, r.eq, r.x, e);
}

// The draws of predict_missing_y for a record with a missing trait.
void predict_missing_traits(model::State& s);
void predict_missing_traits(model::State& s, const RecordSlots& r);

// True when a trait of the record is missing (value exactly 0).  NT > 0:
// the trait count, known at compile time.
template <int NT = 0>
inline bool any_missing(const model::State& s) {
  const float* y = s.Y.data();
  const int nt = NT > 0 ? NT : model::m.ntrait;
  for (int t = 0; t < nt; ++t)
    if (y[t] == 0.0f) return true;
  return false;
}

// Replaces each missing trait of s.Y (value exactly 0) by a draw from its
// normal distribution given the observed traits, the current solutions and
// the record's residual covariance r / rec_weight (for a record of an animal
// without an equation, whose Mendelian term is not in the solutions, its
// covariance, the cursor's record_cov).  Draws nothing when no
// trait is missing; stops when all are.  (Inline: most records miss none.)
inline void predict_missing_y(model::State& s) {
  if (any_missing(s)) predict_missing_traits(s);
}

// One record of a pass over kept slots (see for_each_kept_record) whose
// slot counts stand at cnt in the stream's keys, with its multipliers when
// Derived_ (they follow from its data; x: room for them) or else at kept_x.
template <int NT, int N, bool Derived_, class Derived, class Found>
[[gnu::always_inline]] inline void kept_record(model::State& s, RecordCursor& c,
                                               const std::int32_t* cnt, const float* kept_x, float* x,
                                               bool& same_r, long pass, Derived& derived, Found& found) {
  const int nt = NT > 0 ? NT : c.ntrait;
  decode_record<NT>(s);
  if constexpr (Derived_) {
    const int nk = NT > 0 && N > 0 ? NT * N : nt * c.neff;
    constexpr int fixed = NT > 0 && N > 0 ? NT * N : 0;
    const std::int32_t* eq = cnt + nt;
    derive_multipliers<fixed>(s, c, eq, nk, x);
    decode_r_in_pass<NT>(s, c, same_r, pass);
    if (any_missing<NT>(s)) predict_missing_traits(s, RecordSlots{cnt, eq, x, nk});
    derived(cnt, eq, static_cast<const float*>(x));
  } else {
    int n = 0;
    for (int t = 0; t < nt; ++t) n += cnt[t];
    const RecordSlots r{cnt, cnt + nt, kept_x, n};
    decode_r_in_pass<NT>(s, c, same_r, pass);
    if (any_missing<NT>(s)) predict_missing_traits(s, r);
    found(r);
  }
}

// A pass over the kept slots of every record (slots_loadable) for NT
// traits of N effects each, both known at compile time (0: read from the
// model): for records 1..nrec in turn, except those skip(irec) passes over
// (nothing is done for them), decode_record, its slots from the
// stream, decode_r and the imputation of missing traits, then
// derived(cnt, eq, x) with the record's slot counts, equations and multipliers (NT*N of each,
// trait by trait) when its multipliers follow from its data, else
// found(slots) with its slots and kept multipliers.  The slots stay in
// locals: no record is copied through memory between the steps.
template <int NT, int N, class Derived, class Found, class Skip>
[[gnu::always_inline]] inline void for_each_kept_record(model::State& s, Derived&& derived, Found&& found,
                                                        Skip&& skip) {
  RecordCursor& c = workspace(s).cursor;
  const int nt = NT > 0 ? NT : c.ntrait;
  const int nk = NT > 0 && N > 0 ? NT * N : nt * c.neff;
  constexpr int fixed = NT > 0 && N > 0 ? NT * N : 0;
  constexpr int most = fixed > 0 ? fixed : 1;
  const std::int32_t* key = c.stream.key.data();
  const std::uint64_t* bits = c.stream.derived.data();
  const float* kept_x = c.stream.mult.data();
  std::size_t key_at = 0, mult_at = 0;
  bool same_r = false;
  const long pass = new_pass(s);
  float xl[most];
  float* x = fixed > 0 ? xl : c.slot_x.data();
  const int nrec = model::m.nrec;
  auto length = [&](const std::int32_t* cnt) {
    int n = 0;
    for (int t = 0; t < nt; ++t) n += cnt[t];
    return n;
  };
  for (int irec = 1; irec <= nrec; ++irec) {
    s.irec = irec;
    const std::int32_t* cnt = key + key_at;
    if (skip(irec)) {
      const int n = length(cnt);
      key_at += static_cast<std::size_t>(nt + n);
      if (!SlotStream::derived_bit(bits, irec)) mult_at += static_cast<std::size_t>(n);
      continue;
    }
    if (SlotStream::derived_bit(bits, irec)) {
      key_at += static_cast<std::size_t>(nt + nk);
      kept_record<NT, N, true>(s, c, cnt, kept_x, x, same_r, pass, derived, found);
    } else {
      const int n = length(cnt);
      kept_record<NT, N, false>(s, c, cnt, kept_x + mult_at, x, same_r, pass, derived, found);
      key_at += static_cast<std::size_t>(nt + n);
      mult_at += static_cast<std::size_t>(n);
    }
  }
}
template <int NT, int N, class Derived, class Found>
[[gnu::always_inline]] inline void for_each_kept_record(model::State& s, Derived&& derived, Found&& found) {
  for_each_kept_record<NT, N>(s, derived, found, [](int) { return false; });
}
// The same over the records of list (ascending, each with its place in
// the stream) alone.
template <int NT, int N, class Derived, class Found>
inline void for_each_listed_record(model::State& s, const std::vector<KeptAt>& list, Derived&& derived,
                                   Found&& found) {
  RecordCursor& c = workspace(s).cursor;
  constexpr int fixed = NT > 0 && N > 0 ? NT * N : 0;
  constexpr int most = fixed > 0 ? fixed : 1;
  const std::int32_t* key = c.stream.key.data();
  const std::uint64_t* bits = c.stream.derived.data();
  const float* kept_x = c.stream.mult.data();
  bool same_r = false;
  const long pass = new_pass(s);
  float xl[most];
  float* x = fixed > 0 ? xl : c.slot_x.data();
  for (const KeptAt& k : list) {
    s.irec = k.irec;
    if (SlotStream::derived_bit(bits, k.irec))
      kept_record<NT, N, true>(s, c, key + k.key_at, kept_x, x, same_r, pass, derived, found);
    else
      kept_record<NT, N, false>(s, c, key + k.key_at, kept_x + k.mult_at, x, same_r, pass, derived, found);
  }
}

// The kept slots of records in ascending order (slots_loadable): at(irec)
// gives those of record irec, not below the record asked for before, with
// the multipliers of a record that follows from its data derived into the
// cursor's room for them.
class KeptRecords {
 public:
  RecordSlots at(const model::State& s, int irec);

 private:
  std::size_t key_at_ = 0, mult_at_ = 0;
  int next_ = 1;  // the record at key_at_
};

// Calls f(std::integral_constant<int, NT>, std::integral_constant<int, N>)
// for the common small orders of for_each_kept_record (1 to 3 traits of 3
// effects), else f with both 0.
template <class F>
inline void with_kept_order(int nt, int neff, F&& f) {
  using std::integral_constant;
  auto by_effects = [&](auto t) {
    if (neff == 3) return f(t, integral_constant<int, 3>{});
    return f(integral_constant<int, 0>{}, integral_constant<int, 0>{});
  };
  switch (nt) {
    case 1: return by_effects(integral_constant<int, 1>{});
    case 2: return by_effects(integral_constant<int, 2>{});
    case 3: return by_effects(integral_constant<int, 3>{});
    default: return f(integral_constant<int, 0>{}, integral_constant<int, 0>{});
  }
}

// Reads record s.irec from the data file into s.INDATA (one line of at
// least s.reclen numbers; blank lines are skipped) and checks it.  Stops on a
// short file with the record count, on a line that does not hold s.reclen
// finite numbers, and on a refused value, naming the file, line, record and
// value.  After the last record, one warning line tells of further records.
void read_data_record(model::State& s);

// The checks of read_data_record on a record already in s.INDATA: every
// value finite, a trait observed, a weight above 0, levels, nesting classes and animals whole
// numbers within their effect, parents and candidate sires of animals
// without equations within the levels.  line > 0 is the record's line in the
// data file, named in the messages.
void check_data_record(const model::State& s, int irec, long line = 0);

}  // namespace sampler
