#include "sampler/model_choice.hpp"

#include <cmath>

#include "dense/denseop.hpp"
#include "run/model.hpp"

namespace sampler {

double record_log_density(int nt, const double* e, const double* rinv, int ld) {
  double q = 0.0;
  for (int i = 0; i < nt; ++i)
    for (int j = 0; j < nt; ++j) q += e[i] * e[j] * rinv[i + j * ld];
  const double d = denseop::fdets8(rinv, nt, ld);
  const float half_nt = static_cast<float>(nt) * 0.5f;
  return 0.5 * (std::log(d) - q) - static_cast<double>(half_nt) * ln_2pi;
}

void model_choice(run::State& s, int record, const double* e) {
  const model::Model& M = model::m;
  const int nt = M.ntrait;
  // The record weight is a precision: the record's inverse covariance is
  // w * rinv.
  const double w = s.rec_weight;
  const double* ri = M.rinv.data();
  double wri[denseop::max_order * denseop::max_order];
  for (int k = 0; k < nt * nt; ++k) wri[k] = w * ri[k];
  const double logl = record_log_density(nt, e, wri, nt);
  // An underflowing density gives an infinite inverse; the record's CPO is
  // then reported as 0.
  s.LOGL_OBS(record, 1) += 1.0 / std::exp(logl);
  s.LOGL_OBS(record, 2) += logl;
  s.logl_total += logl;
}

}  // namespace sampler
