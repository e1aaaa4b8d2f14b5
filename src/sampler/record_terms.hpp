// The additions of one record to the mixed-model equations, in the order
// in which every build makes them (slot i, slot j, trait t1, trait t2): the
// reference build in setup_eq.cpp hands them to the hash store, the equation
// plan (eq_plan.cpp) straight to their positions in XX_IJA.  One piece of
// code for both keeps their sums the same to the bit.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/records.hpp"

namespace sampler {

// A record's slots as the term kernels read them: per trait its count,
// equations and multipliers.  A missing-code slot's equation may come
// negated (from the stream): the kernels take its magnitude.
struct SlotView {
  int nt = 0, nmax = 0;
  bool uniform = true;  // every trait has nmax slots
  const std::int32_t* cnt = nullptr;  // (nt)
  const std::int32_t* eq[max_traits];
  const float* x[max_traits];
};

// The product of two multipliers in the equations: a 32-bit value, as it
// has always been, unless that value leaves the 32-bit range (covariables
// beyond about 1e19 or below 1e-19 in size, whose squares would become
// infinite or 0 and their coefficients lost): then the exact product.
inline double multiplier_product(float a, float b) {
  const float p = a * b;
  if (std::isnormal(p) || a == 0 || b == 0) [[likely]]
    return static_cast<double>(p);
  return static_cast<double>(a) * static_cast<double>(b);
}

// The equation of a slot: a missing-code slot's is 1, kept as -1.
inline int magnitude(std::int32_t q) { return std::max(q, 1); }

inline void view_of_cursor(const model::State& s, SlotView& v) {
  const RecordCursor& c = workspace(s).cursor;
  v.nt = model::m.ntrait;
  v.nmax = c.nslot_max;
  v.uniform = true;
  const long ld = s.ADDRESS.rows();
  v.cnt = c.naddr_t.data();
  for (int t = 0; t < v.nt; ++t) {
    v.eq[t] = s.ADDRESS.data() + t * ld;
    v.x[t] = s.WEIGHT_COV.data() + t * ld;
    v.uniform = v.uniform && v.cnt[t] == v.nmax;
  }
}

inline void view_of_slots(const RecordSlots& r, int nt, SlotView& v) {
  if (nt == 1) {  // the common case, without the loops
    v.nt = 1;
    v.nmax = r.cnt[0];
    v.uniform = true;
    v.cnt = r.cnt;
    v.eq[0] = r.eq;
    v.x[0] = r.x;
    return;
  }
  v.nt = nt;
  v.nmax = 0;
  v.uniform = true;
  const std::int32_t* q = r.eq;
  const float* x = r.x;
  v.cnt = r.cnt;
  for (int t = 0; t < nt; ++t) {
    v.eq[t] = q;
    v.x[t] = x;
    q += r.cnt[t];
    x += r.cnt[t];
    v.nmax = std::max(v.nmax, v.cnt[t]);
  }
  for (int t = 0; t < nt; ++t) v.uniform = v.uniform && v.cnt[t] == v.nmax;
}

// R^-1 y of the record (ri column-major, nt by nt): the same for every slot.
[[gnu::always_inline]] inline void rinv_y(const double* ri, const float* y, int nt, double* ry) {
  for (int t1 = 0; t1 < nt; ++t1) {
    double sum = 0.0;
    for (int t2 = 0; t2 < nt; ++t2) sum += ri[t1 + t2 * nt] * static_cast<double>(y[t2]);
    ry[t1] = sum;
  }
}

// Hands the record's XX additions, in their order (slot i, slot j, trait
// t1, trait t2), to add(row, col, v) and adds its RHS terms.
template <class Add>
inline void record_terms(model::State& s, const SlotView& r, Add&& add) {
  const int nt = r.nt;
  const double w = s.rec_weight;
  const double* ri = model::m.rinv.data();
  const float* y = s.Y.data();
  double* xy = s.XY.data() - 1;
  const int nmax = r.nmax;
  const bool uniform = r.uniform;

  for (int i = 0; i < nmax; ++i)
    for (int j = 0; j < nmax; ++j)
      for (int t1 = 0; t1 < nt; ++t1) {
        if (!uniform && i >= r.cnt[t1]) continue;
        const int a1 = magnitude(r.eq[t1][i]);
        const float x1 = r.x[t1][i];
        const double* rcol = ri + t1;
        for (int t2 = 0; t2 < nt; ++t2) {
          if (!uniform && j >= r.cnt[t2]) continue;
          add(a1, magnitude(r.eq[t2][j]), multiplier_product(x1, r.x[t2][j]) * w * rcol[t2 * nt]);
        }
      }

  double ry[max_traits];
  rinv_y(ri, y, nt, ry);
  for (int i = 0; i < nmax; ++i)
    for (int t1 = 0; t1 < nt; ++t1) {
      if (!uniform && i >= r.cnt[t1]) continue;
      xy[magnitude(r.eq[t1][i])] += static_cast<double>(r.x[t1][i]) * w * ry[t1];
    }
}

}  // namespace sampler
