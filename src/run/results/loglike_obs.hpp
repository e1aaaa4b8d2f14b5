// "loglike_obs": per record, once past burn-in, the conditional predictive
// ordinate and the average log-likelihood over the kept cycles, then the
// evaluation at the posterior means (the log-likelihood and each trait's
// residual), every column of a record on one line (I10, then F18.12 each).
//
//   CPO,Loglike,residuals after: <cycle> rounds and burn-in of <nburn>
//   obs       cpo             average logl    logl-thetabar   residuals
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* loglike_obs_file = "loglike_obs";
// The title line begins so (ResultOut::title).
inline constexpr const char* title_loglike_obs = "CPO,Loglike,residuals after: ";
// The column line (a free-format line).
inline constexpr const char* head_loglike_obs = "obs       cpo             average logl    logl-thetabar   residuals";

void write_loglike_obs(const model::State& s, const Kept& sm);
// The sums of the first two columns back for a restart at cycle start;
// with no cycle left to run (start > nround) the evaluation at the
// posterior means as well, which is still that of the stored sums.
void read_loglike_obs(model::State& s, int start, const Kept& sm);

}  // namespace run::results
