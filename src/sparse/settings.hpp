// Settings of the iterative solvers (conjugate gradients, Gauss-Seidel/SOR),
// process-wide and kept for the whole run.
#pragma once

#include <cstdint>
#include <optional>

namespace sparsem {

// Stopping limit: a solver stops once its criterion falls below this value,
// widened to 64 bits for the comparison.
inline float default_conv = 1e-10f;
// Largest number of iterations.
inline std::int32_t default_rounds = 1000;
// Relaxation factor of the Gauss-Seidel sweeps.
inline float default_relax = 1.0f;
// The Gauss-Seidel generic solvers start from x = 0 when set.
inline bool default_zerosol = true;
// The Gauss-Seidel solvers print their summary at level 2 or more.
inline std::int32_t sparsem_msg = 2;

// Stores each setting given; an absent one keeps its value.
inline void default_iter(std::optional<float> conv = std::nullopt,
                         std::optional<std::int32_t> rounds = std::nullopt,
                         std::optional<float> relax = std::nullopt,
                         std::optional<bool> zerosol = std::nullopt) {
  if (conv) default_conv = *conv;
  if (rounds) default_rounds = *rounds;
  if (relax) default_relax = *relax;
  if (zerosol) default_zerosol = *zerosol;
}

}  // namespace sparsem
