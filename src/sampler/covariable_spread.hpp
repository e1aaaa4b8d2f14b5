// Covariables whose values lie far from 0 against their spread.
//
// Beside a constant (the levels of a fixed class effect that every record
// has), such a covariable's coefficient and the constant are nearly one
// direction: with flat priors their posterior correlation is
// -mean / sqrt(mean^2 + variance) over the records, and draws of one effect
// at a time move along it by about sd/|mean| of its posterior spread per
// cycle, so the chain needs about 2 (mean/sd)^2 cycles per independent draw
// there.  Centring the covariable keeps the model (the constant takes in
// b * mean) and removes the correlation.
#pragma once

#include "model/state.hpp"

namespace sampler {

// |mean| above this many standard deviations counts as far from 0: the
// correlation is then beyond 0.98 and a draw of it takes 50 cycles or more,
// more than a chain's variances usually need; a centred covariable, or one
// whose mean is of the order of its sd, stays below it.
inline constexpr double far_from_zero = 5.0;

// Once the records are read (s.INDATA holds them all): one warning line
// per covariable effect and data column whose values lie far from 0, with
// the mean and sd, saying to centre it and why.  Values 0 (absent) are not
// counted.  Judged only where the trait has a fixed class effect to be
// confounded with.  A nested covariable is judged within each class when a
// fixed class effect of the trait has its levels within the classes (each
// class then has a constant of its own, and centring within the classes keeps
// the model); else over all its records.
void warn_far_covariables(const model::State& s);

}  // namespace sampler
