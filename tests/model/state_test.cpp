// Sizes, allocation and start values of the sampler state.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/state.hpp"
#include "sparse/sparsem.hpp"
#include "util/stop.hpp"

namespace {

using model::EffectType;
using model::ResidualType;

model::Model& M = model::m;

// Two traits (or one), three effects (10 + 4 + 6 levels), 7 records, a
// nested covariable reaching column 9 (absent for trait 2), weights in
// column 3, the third effect an add_animal group of 12 pedigree lines; the
// residual type and its structural effects (each saved) chosen by the
// caller.
void state_model(ResidualType residual, int ntrait = 2, const std::vector<int>& structural = {}) {
  modeltest::new_model(ntrait, {EffectType::cro, EffectType::cov, EffectType::cro}, {10, 4, 6}, 7);
  M.nround = 100;
  M.nburn = 10;
  M.skip = 2;
  M.pos_weight = 3;
  for (int t = 1; t <= ntrait; ++t) {
    M.pos_y(t) = t;
    M.pos_eff(1, t) = 4;
    M.pos_eff(2, t) = t == 1 ? 5 : 0;
    M.nestedcov(2, t) = 9;
    M.pos_eff(3, t) = 6;
  }
  M.effectsave(1) = 1;
  M.residualtype = residual;
  M.dbelief_r = 5;
  M.neffr = static_cast<int>(structural.size());
  M.pos_effr.resize(M.neffr);
  M.effrsave.resize(M.neffr);
  for (int k = 1; k <= M.neffr; ++k) M.pos_effr(k) = structural[static_cast<std::size_t>(k - 1)];
  if (ntrait == 2) {
    M.r(1, 1) = 1;
    M.r(1, 2) = M.r(2, 1) = 0.5;
    M.r(2, 2) = 2;
  } else {
    M.r(1, 1) = 1.5;
  }
  M.randomtype(3) = model::RandomType::add_animal;
  M.randomnumb(3) = 1;
  M.dbelief_g(3) = 4;
  M.lenped(3) = 12;
  M.g(3, 1, 1) = 0.5;
  if (ntrait == 2) {
    M.g(3, 1, 2) = M.g(3, 2, 1) = 0.1;
    M.g(3, 2, 2) = 0.6;
  }
}

model::State make() {
  model::State s;
  modeltest::allocate_for_model(s);
  return s;
}

TEST(StateAlloc, SizesOfTheEquationsAndTheRecords) {
  state_model(ResidualType::homogeneous);
  EXPECT_EQ(model::number_of_equations(), 2 * (10 + 4 + 6));
  EXPECT_EQ(model::data_record_length(), 9);  // the nesting column
  M.pos_weight = 11;
  EXPECT_EQ(model::data_record_length(), 11);
  M.pos_y(2) = 12;
  EXPECT_EQ(model::data_record_length(), 12);

  // Every entry takes part, negative ones included.
  M.pos_weight = 0;
  M.pos_y.fill(-3);
  M.pos_eff.fill(-2);
  M.nestedcov.fill(-5);
  EXPECT_EQ(model::data_record_length(), 0);
  M.pos_weight = -1;
  EXPECT_EQ(model::data_record_length(), -1);

  // A count beyond 32 bits stops instead of wrapping.
  M.nlev(1) = INT_MAX;
  try {
    model::number_of_equations();
    ADD_FAILURE() << "no stop";
  } catch (const util::Stop& e) {
    EXPECT_EQ(std::string(e.what()),
              " The model has 4294967314 equations; at most 2147483647 are possible");
  }
}

TEST(StateAlloc, ShapesAndStartValues) {
  state_model(ResidualType::homogeneous);
  const model::State s = make();
  const int neq = 40;
  ASSERT_EQ(s.neq, neq);
  EXPECT_EQ(s.XY.size(), neq);
  EXPECT_EQ(s.SOL.size(), neq);
  EXPECT_EQ(s.SUMSOL.size(), neq);
  EXPECT_EQ(s.SSSOL.size(), neq);
  for (long i = 1; i <= neq; ++i) {
    EXPECT_EQ(s.XY(i), 0.0);
    EXPECT_EQ(s.SOL(i), 0.0);
    EXPECT_EQ(s.SUMSOL(i), 0.0);
  }

  // Record cursor: slots for every effect plus 50, valid equation numbers.
  EXPECT_EQ(s.ADDRESS.rows(), 3 + 50);
  EXPECT_EQ(s.ADDRESS.cols(), 2);
  EXPECT_EQ(s.WEIGHT_COV.rows(), 53);
  for (int t = 1; t <= 2; ++t)
    for (int j = 1; j <= 53; ++j) {
      EXPECT_EQ(s.ADDRESS(j, t), 1);
      EXPECT_EQ(s.WEIGHT_COV(j, t), 0.0f);
    }
  EXPECT_EQ(s.Y.size(), 2);
  EXPECT_EQ(s.INDATA.rows(), 7);
  EXPECT_EQ(s.INDATA.cols(), 9);
  EXPECT_EQ(s.LOGL_OBS.rows(), 7);
  EXPECT_EQ(s.LOGL_OBS.cols(), 5);

  // Equations: an empty hash of order neq with the default table; no
  // compressed copy yet.
  EXPECT_EQ(s.XX.n, neq);
  EXPECT_EQ(s.XX.nel, sparsem::default_hash_size);
  EXPECT_EQ(s.XX.filled, 0);
  EXPECT_EQ(s.XX.status, 1);
  EXPECT_EQ(s.XX_IJA.n, 0);
  EXPECT_FALSE(s.XX_IJA.has_arrays());

  // Relationship structures: per effect, empty; pedigree arrays sized by
  // the longest pedigree.
  ASSERT_EQ(s.AINV.size(), 3);
  ASSERT_EQ(s.AINV_IJA.size(), 3);
  for (int e = 1; e <= 3; ++e) {
    EXPECT_EQ(s.AINV(e).n, 0);
    EXPECT_EQ(s.AINV(e).nel, 0);
    EXPECT_EQ(s.AINV(e).status, 0);
    EXPECT_FALSE(s.AINV(e).has_table());
    EXPECT_FALSE(s.AINV_IJA(e).has_arrays());
    EXPECT_EQ(s.DF_RANDOM(e), 0);
  }
  EXPECT_EQ(s.PED.extent1(), 3);
  EXPECT_EQ(s.PED.extent2(), 12);
  EXPECT_EQ(s.PED.extent3(), 3);
  EXPECT_EQ(s.P_MS.size(), 12);
  EXPECT_EQ(s.MS_STAT.size(), 12);
  ASSERT_EQ(s.PROBS.size(), 52);
  for (int k = 1; k <= 52; ++k) EXPECT_EQ(s.PROBS(k), 1.0);

  // Prior copies and sums; ginv of the model is allocated with them.
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) {
      EXPECT_EQ(s.ORIG_R(i, j), M.r(i, j));
      EXPECT_EQ(s.SUMR(i, j), 0.0);
      EXPECT_EQ(s.SSR(i, j), 0.0);
    }
  EXPECT_EQ(M.ginv.extent1(), 3);
  EXPECT_EQ(M.ginv.extent2(), 20);
  EXPECT_EQ(M.ginv.extent3(), 20);
  for (int e = 1; e <= 3; ++e)
    for (int j = 1; j <= 20; ++j)
      for (int i = 1; i <= 20; ++i) {
        // g is 0 outside the group's block (effect 3, order 2).
        const bool in_block = e == 3 && i <= 2 && j <= 2;
        if (!in_block) {
          EXPECT_EQ(s.ORIG_G(e, i, j), 0.0);
        }
        EXPECT_EQ(s.ORIG_G(e, i, j), M.g(e, i, j));
        EXPECT_EQ(M.ginv(e, i, j), 0.0);
        EXPECT_EQ(s.SUMG(e, i, j), 0.0);
      }
  EXPECT_EQ(s.ORIG_G(3, 1, 2), 0.1);

  // Scalars of the heavy-tailed weights have their start values everywhere.
  EXPECT_EQ(s.w_alpha, 1.5);
  EXPECT_EQ(s.w_alpha_varprop, 0.10000000149011612);
  EXPECT_EQ(s.sumw_alphaaccep, 0.0);

  // No structural effects, homogeneous residuals: those groups do not exist.
  EXPECT_TRUE(s.R_SOL.empty());
  EXPECT_TRUE(s.SUMH_ACCEP.empty());
  EXPECT_TRUE(s.H_VARPROP.empty());
  EXPECT_TRUE(s.R_DBELIEFPROP.empty());
  EXPECT_TRUE(s.WEIGHT_ROBUST.empty());
  EXPECT_TRUE(s.SSWEIGHT_ROBUST.empty());
}

TEST(StateAlloc, StructuralAndRobustGroups) {
  state_model(ResidualType::struct_student_t, 1, {1, 3});
  const model::State s = make();
  const int neq = 20;
  ASSERT_EQ(s.neq, neq);
  for (const auto* v : {&s.R_SOL, &s.R_NREC, &s.SUMR_SOL, &s.SSR_SOL, &s.SUMH_ACCEP})
    EXPECT_EQ(v->size(), neq);
  for (long i = 1; i <= neq; ++i) {
    EXPECT_EQ(s.R_SOL(i), 1.0);
    EXPECT_EQ(s.R_NREC(i), 0.0);
    EXPECT_EQ(s.SUMH_ACCEP(i), 0.0);
  }
  ASSERT_EQ(s.R_DBELIEFPROP.size(), 2);
  for (int k = 1; k <= 2; ++k) {
    EXPECT_EQ(s.R_DBELIEFPROP(k), 2000);
    EXPECT_EQ(s.R_ALPHA(k), 3.0);
    EXPECT_EQ(s.R_ALPHA_VARPROP(k), 0.10000000149011612);
    EXPECT_EQ(s.SUMR_ACCEP(k), 0.0);
    EXPECT_EQ(s.SUMR_ALPHA(k), 0.0);
    EXPECT_EQ(s.SSR_ALPHA(k), 0.0);
    EXPECT_EQ(s.SUMR_ALPHAACCEP(k), 0.0);
  }
  ASSERT_EQ(s.H_VARPROP.size(), 3);
  for (int e = 1; e <= 3; ++e) EXPECT_EQ(s.H_VARPROP(e), 100.0);
  ASSERT_EQ(s.WEIGHT_ROBUST.size(), 7);
  for (int i = 1; i <= 7; ++i) {
    EXPECT_EQ(s.WEIGHT_ROBUST(i), 1.0);
    EXPECT_EQ(s.SUMWEIGHT_ROBUST(i), 0.0);
    EXPECT_EQ(s.SSWEIGHT_ROBUST(i), 0.0);
  }

  // Slash residuals without structural effects: weights only.
  state_model(ResidualType::slash, 1);
  const model::State t = make();
  EXPECT_EQ(t.WEIGHT_ROBUST.size(), 7);
  EXPECT_TRUE(t.R_SOL.empty());
  // Structural residuals without heavy tails: no weights.
  state_model(ResidualType::structural, 1, {1});
  const model::State u = make();
  EXPECT_TRUE(u.WEIGHT_ROBUST.empty());
  EXPECT_EQ(u.R_SOL.size(), neq);
}

TEST(StateAlloc, ModelWithoutPedigreesAndTheClock) {
  // One trait, one effect of 3 levels, 3 records; no random group.
  modeltest::new_model(1, {EffectType::cro}, {3}, 3);
  M.pos_y(1) = 1;
  M.pos_eff(1, 1) = 2;
  model::State s = make();
  EXPECT_EQ(s.PED.extent2(), 0);
  EXPECT_TRUE(s.P_MS.empty());
  EXPECT_TRUE(s.MS_STAT.empty());
  EXPECT_EQ(s.PROBS.size(), 52);

  model::start_clock(s);
  EXPECT_GE(s.cpu_start, 0.0f);
  EXPECT_EQ(s.cpu_last, s.cpu_start);
}

}  // namespace
