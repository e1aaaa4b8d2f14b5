// Per-record log-likelihood and conditional predictive ordinate: each kept
// cycle adds, for every record, its normal log-density at the residual
// vector and the record's own residual covariance, the inverse of that
// density, and the log-density into the cycle's total.
#pragma once

#include "model/state.hpp"

namespace sampler {

// ln(2 pi) with the 32-bit value of pi.
inline constexpr double ln_2pi = 1.8378770942368803;

// Normal log-density of the residual vector e[0..nt-1] under the inverse
// covariance rinv (order nt, element (i, j) at rinv[(i-1) + (j-1)*ld]):
// 0.5*(ln d - e'Re) - (nt*0.5)*ln_2pi, with d the determinant of rinv over the
// pivots its Cholesky factor keeps and nt*0.5 formed in 32 bits.
double record_log_density(int nt, const double* e, const double* rinv, int ld);

// Adds record's contribution of the cycle: s.LOGL_OBS(record, 1) += 1/density,
// s.LOGL_OBS(record, 2) += log-density, s.logl_total += log-density, for the
// residual vector e[0..ntrait-1] (not divided by the residual scale) under
// the inverse covariance s.rec_weight * model::m.rinv, with rinv as decode_r
// left it for the record.
void model_choice(model::State& s, int record, const double* e);

// True when model_choice under s.rec_weight and model::m.rinv as they stand
// would find their log-determinant kept (it forms and reports nothing).
bool model_choice_ready(const model::State& s);

// model_choice for records first..last in turn, record i's residuals at
// e[(i-1) + (t-1)*lde], all under s.rec_weight and model::m.rinv as they
// stand: the same sums in the same order.
void model_choice_records(model::State& s, int first, int last, const double* e, long lde);

}  // namespace sampler
