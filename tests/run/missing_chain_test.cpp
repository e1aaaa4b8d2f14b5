// Missing traits in the chain: with the (co)variances held fixed, the block
// pass together with the imputation of missing traits samples the posterior
// of the location effects given the observed traits only.
#include <gtest/gtest.h>

#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

TEST_F(ChainFolder, WithMissingTraitsTheLocationPosteriorIsThatOfTheObservedData) {
  SmallModel sm = small_model(2, 2, 6, 14, 21);
  // Either trait missing here and there, on animals with and without other
  // records, so that the imputed values feed back into the equations.
  const int missing[][2] = {{2, 2}, {3, 2}, {5, 1}, {8, 2}, {9, 2}, {11, 1}, {12, 1}, {14, 2}};
  for (const auto& mt : missing) sm.recs[static_cast<std::size_t>(mt[0] - 1)].y[static_cast<std::size_t>(mt[1] - 1)] = 0.0;
  // A residual correlation makes the observed trait of a record inform the
  // missing one.
  sm.R(0, 1) = sm.R(1, 0) = 1.5;
  expect_dense_location_posterior(sm, dir());
}

}  // namespace
