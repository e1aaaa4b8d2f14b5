#include "sampler/model_choice.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "sampler/workspace.hpp"

namespace sampler {

namespace {

constexpr int max_cells = denseop::max_order * denseop::max_order;

// e' rinv e, each term e_i e_j rinv_ij in row-major order of (i, j).
inline double quadratic(int nt, const double* e, const double* rinv, int ld) {
  double q = 0.0;
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < nt; ++j) q += e[i] * e[j] * rinv[i + j * ld];
  return q;
}

double log_density(int nt, double q, double log_det) {
  const float half_nt = static_cast<float>(nt) * 0.5f;
  return 0.5 * (log_det - q) - static_cast<double>(half_nt) * ln_2pi;
}

inline bool same_bits(const double* a, const double* b, int n) {
  for (int k = 0; k < n; ++k) {
    std::uint64_t x, y;
    std::memcpy(&x, a + k, sizeof x);
    std::memcpy(&y, b + k, sizeof y);
    if (x != y) return false;
  }
  return true;
}


}  // namespace

double record_log_density(int nt, const double* e, const double* rinv, int ld) {
  const double q = quadratic(nt, e, rinv, ld);
  const double d = denseop::fdets8(rinv, nt, ld);
  return log_density(nt, q, std::log(d));
}

namespace {

// The memo holds the log-determinant of w * ri of order nt.
bool memo_fits(const LogDetMemo& c, int nt, double w, const double* ri) {
  return c.valid && c.nt == nt && same_bits(&c.weight, &w, 1) &&
         same_bits(&c.tol, &denseop::denseop_tol, 1) && same_bits(c.rinv, ri, nt * nt);
}

// The additions of one record with log-density logl.
inline void add_record(model::State& s, int record, double logl) {
  // An underflowing density gives an infinite inverse; the record's CPO is
  // then reported as 0.
  s.LOGL_OBS(record, 1) += 1.0 / std::exp(logl);
  s.LOGL_OBS(record, 2) += logl;
  s.logl_total += logl;
}

// model_choice with the order fixed at compile time for 1 to 4 traits (the
// loops unroll; the same operations in the same order), NT = 0 reads it.
template <int NT>
void model_choice_n(model::State& s, int record, const double* e, int nt_run) {
  const int nt = NT > 0 ? NT : nt_run, cells = nt * nt;
  // The record weight is a precision: the record's inverse covariance is
  // w * rinv.
  const double w = s.rec_weight;
  const double* ri = model::m.rinv.data();
  double wri[max_cells];
  for (int k = 0; k < cells; ++k) wri[k] = w * ri[k];
  const double q = quadratic(nt, e, wri, nt);
  LogDetMemo& c = workspace(s).log_det;
  if (!memo_fits(c, nt, w, ri)) {
    int ierr = 0;
    const double d = denseop::fdets8(wri, nt, nt, &ierr);
    c.log_det = std::log(d);
    c.valid = ierr == 0;
    c.nt = nt;
    c.weight = w;
    c.tol = denseop::denseop_tol;
    std::memcpy(c.rinv, ri, sizeof(double) * static_cast<std::size_t>(cells));
  }
  add_record(s, record, log_density(nt, q, c.log_det));
}

// model_choice_records once the memo fits: w * rinv formed once, as each
// record would form it.
template <int NT>
void records_n(model::State& s, int first, int last, const double* e, long lde, int nt_run) {
  const int nt = NT > 0 ? NT : nt_run, cells = nt * nt;
  const double w = s.rec_weight;
  const double* ri = model::m.rinv.data();
  double wri[max_cells];
  for (int k = 0; k < cells; ++k) wri[k] = w * ri[k];
  const double log_det = workspace(s).log_det.log_det;
  double ei[denseop::max_order];
  for (int i = first; i <= last; ++i) {
    for (int t = 0; t < nt; ++t) ei[t] = e[(i - 1) + t * lde];
    add_record(s, i, log_density(nt, quadratic(nt, ei, wri, nt), log_det));
  }
}

}  // namespace

bool model_choice_ready(const model::State& s) {
  return memo_fits(workspace(s).log_det, model::m.ntrait, s.rec_weight, model::m.rinv.data());
}

void model_choice_records(model::State& s, int first, int last, const double* e, long lde) {
  const int nt = model::m.ntrait;
  if (!model_choice_ready(s)) {
    // The first record forms the determinant: each in turn.
    double ei[denseop::max_order];
    for (int i = first; i <= last; ++i) {
      for (int t = 0; t < nt; ++t) ei[t] = e[(i - 1) + t * lde];
      model_choice(s, i, ei);
    }
    return;
  }
  switch (nt) {
    case 1: records_n<1>(s, first, last, e, lde, nt); break;
    case 2: records_n<2>(s, first, last, e, lde, nt); break;
    case 3: records_n<3>(s, first, last, e, lde, nt); break;
    case 4: records_n<4>(s, first, last, e, lde, nt); break;
    default: records_n<0>(s, first, last, e, lde, nt); break;
  }
}

void model_choice(model::State& s, int record, const double* e) {
  const int nt = model::m.ntrait;
  switch (nt) {
    case 1: model_choice_n<1>(s, record, e, nt); break;
    case 2: model_choice_n<2>(s, record, e, nt); break;
    case 3: model_choice_n<3>(s, record, e, nt); break;
    case 4: model_choice_n<4>(s, record, e, nt); break;
    default: model_choice_n<0>(s, record, e, nt); break;
  }
}

}  // namespace sampler
