// "mh_acceptance": the acceptance rates of the Metropolis-Hastings steps and
// the settings of their proposals, no title line.  Each rate is its sum
// over the acceptance probabilities the sum holds (model::acceptance_rate),
// F12.8, followed by the setting (degrees of belief I10, or a variance
// F12.8), under a free-format label line: every breed pair of each
// multiple-breed group, each structural scale factor and structural shape,
// the Student-t shape; then each unknown covariable drawn by
// Metropolis-Hastings: its proposal variance, and each level with its rate.
#pragma once

#include "model/state.hpp"
#include "run/results/columns.hpp"

namespace run::results {

inline constexpr const char* mh_acceptance_file = "mh_acceptance";

inline constexpr const char* label_mb_rate = "Acceptance rate & proposal dbelief for effect: ";
inline constexpr const char* label_breeds = "Breed(s): ";
inline constexpr const char* label_structural_rate = "Acceptance rate & proposal dbelief for structural R effect: ";
inline constexpr const char* label_structural_alpha_rate =
    "Acceptance rate & proposal variance for alpha of structural R effect: ";
inline constexpr const char* label_robust_alpha_rate = "Acceptance rate & proposal variance for alpha of robust R ";
inline constexpr const char* label_covariate_rates =
    "Acceptance rates & proposal variance for covariates of unknown covariable: ";

void write_mh_acceptance(const model::State& s, const Kept& sm);
// The acceptance sums and the proposal settings back for a restart at
// cycle start: a rate must lie in [0, 1] (0 when its sum holds no
// probability), a setting within the range that tuning reaches from its
// start by cycle start - 1.
void read_mh_acceptance(model::State& s, int start, const Kept& sm);

}  // namespace run::results
