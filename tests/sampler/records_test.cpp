// Record decoding, residual inverse of a record, imputation of missing traits.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "random/rangen.hpp"
#include "random/rangen_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/records.hpp"

namespace {

using eqtest::load;
using eqtest::new_model;
using eqtest::new_state;
using eqtest::put_record;
using eqtest::stop_of;
using model::m;


constexpr model::EffectType CRO = model::EffectType::cro, COV = model::EffectType::cov,
                            RAM = model::EffectType::ram, UNK = model::EffectType::unk,
                            RNO = model::EffectType::rno;

// Two traits; effects: 1 cro (3 levels, col 2), 2 cov (col 3, trait 1 only),
// 3 cov nested in col 5 (2 classes, value col 4), 4 cro (4 levels, col 6);
// weight col 1, traits cols 7 and 8.  20 equations.
void two_trait_model(int nrec) {
  new_model(2, {CRO, COV, COV, CRO}, {3, 1, 2, 4}, nrec);
  m.pos_weight = 1;
  m.pos_y(1) = 7;
  m.pos_y(2) = 8;
  for (int t = 1; t <= 2; ++t) {
    m.pos_eff(1, t) = 2;
    m.pos_eff(3, t) = 4;
    m.nestedcov(3, t) = 5;
    m.pos_eff(4, t) = 6;
  }
  m.pos_eff(2, 1) = 3;
}

// Said beside a level above the effect's levels.
const std::string recode =
    "; levels are numbered 1, 2, ... up to the levels of the effect: recode ids beyond them (manual, section 1.1)"
    " or give the effect more levels";

TEST(RecordsAddress, EquationNumbering) {
  two_trait_model(1);
  EXPECT_EQ(sampler::address1(1, 1, 1), 1);
  EXPECT_EQ(sampler::address1(1, 3, 2), 6);
  EXPECT_EQ(sampler::address1(2, 1, 1), 7);
  EXPECT_EQ(sampler::address1(3, 2, 1), 11);
  EXPECT_EQ(sampler::address1(4, 4, 2), 20);
}

TEST(RecordsDecode, WeightAndObservations) {
  two_trait_model(2);
  model::State s;
  new_state(s);
  put_record(s, 2, {2.5f, 1, 1, 1, 1, 1, 10.25f, -3.5f});
  s.irec = 2;
  sampler::decode_record(s);
  EXPECT_EQ(s.rec_weight, 2.5);
  EXPECT_EQ(s.Y(1), 10.25f);
  EXPECT_EQ(s.Y(2), -3.5f);
  m.pos_weight = 0;
  sampler::decode_record(s);
  EXPECT_EQ(s.rec_weight, 1.0);
}

TEST(RecordsSlots, ClassesCovariablesNestingAndMissingCodes) {
  two_trait_model(2);
  model::State s;
  new_state(s);
  put_record(s, 1, {2, 2, 1.5f, 0.25f, 2, 3.7f, 10, 0});
  put_record(s, 2, {1, 0, 0.0f, 0.5f, 1, 1, 10, 5});
  s.WEIGHT_COV.fill(7.0f);
  load(s, 1);

  // Trait 1: four slots; a level read as 3.7 is level 3.
  EXPECT_EQ(s.naddr, 4);
  EXPECT_EQ(sampler::workspace(s).cursor.naddr_t(1), 4);
  const int a1[] = {3, 7, 11, 17};
  const float x1[] = {1.0f, 1.5f, 0.25f, 1.0f};
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(s.ADDRESS(i, 1), a1[i - 1]) << i;
    EXPECT_EQ(s.WEIGHT_COV(i, 1), x1[i - 1]) << i;
    EXPECT_EQ(sampler::workspace(s).cursor.SLOT_EFF(i, 1), i);
    EXPECT_EQ(sampler::workspace(s).cursor.EFF_SLOT(i, 1), i);
  }
  // Trait 2: the covariable is absent (pos_eff 0): equation 1, multiplier 0.
  const int a2[] = {4, 1, 12, 18};
  const float x2[] = {1.0f, 0.0f, 0.25f, 1.0f};
  for (int i = 1; i <= 4; ++i) {
    EXPECT_EQ(s.ADDRESS(i, 2), a2[i - 1]) << i;
    EXPECT_EQ(s.WEIGHT_COV(i, 2), x2[i - 1]) << i;
  }
  EXPECT_EQ(sampler::workspace(s).cursor.SLOT_EFF(2, 2), -2);
  // Rows beyond the slots are cleared.
  for (int t = 1; t <= 2; ++t)
    for (int i = 5; i <= m.neff + model::extra_slots; ++i) EXPECT_EQ(s.WEIGHT_COV(i, t), 0.0f);

  // Record 2: level code 0 and a covariable of exactly 0 give missing slots.
  load(s, 2);
  EXPECT_EQ(s.ADDRESS(1, 1), 1);
  EXPECT_EQ(s.WEIGHT_COV(1, 1), 0.0f);
  EXPECT_EQ(sampler::workspace(s).cursor.SLOT_EFF(1, 1), -1);
  EXPECT_EQ(s.ADDRESS(2, 1), 1);
  EXPECT_EQ(s.WEIGHT_COV(2, 1), 0.0f);
  EXPECT_EQ(s.ADDRESS(3, 1), 9);  // nested class 1
  EXPECT_EQ(s.WEIGHT_COV(3, 1), 0.5f);
}

// One or two traits; effect 1 cro (2 levels, col 1), effect 2 ram (3 levels,
// col 2, trait 1 only) with a pedigree of 6 lines: 4 has both parents, 5 a dam
// and candidate sires 1 (0.3) and 2 (0.7), 6 no parents.
void ram_model(model::State& s, int nt) {
  new_model(nt, {CRO, RAM}, {2, 3}, 6);
  for (int t = 1; t <= nt; ++t) {
    m.pos_y(t) = 3;
    m.pos_eff(1, t) = 1;
  }
  m.pos_eff(2, 1) = 2;
  m.lenped(2) = 6;
  new_state(s);
  const int ped[6][3] = {{1, 0, 0}, {2, 0, 0}, {3, 0, 0}, {4, 1, 2}, {5, 3, -1}, {6, 0, 0}};
  for (int l = 1; l <= 6; ++l)
    for (int k = 1; k <= 3; ++k) s.PED(2, l, k) = ped[l - 1][k - 1];
  s.MS.resize(5);
  const double ms[] = {2, 1, 0.3, 2, 0.7};
  for (int i = 1; i <= 5; ++i) s.MS(i) = ms[i - 1];
  s.P_MS(5) = 1;
  for (int r = 1; r <= 6; ++r) put_record(s, r, {1, static_cast<float>(r), 9});
}

TEST(RecordsSlots, ReducedAnimalModel) {
  model::State s;
  ram_model(s, 1);
  // An animal with an equation: one slot, multiplier 1.
  load(s, 2);
  EXPECT_EQ(s.naddr, 2);
  EXPECT_EQ(s.ADDRESS(2, 1), 4);
  EXPECT_EQ(s.WEIGHT_COV(2, 1), 1.0f);
  // Both parents known: two slots of 0.5, column 2 first.
  load(s, 4);
  EXPECT_EQ(s.naddr, 3);
  EXPECT_EQ(s.ADDRESS(2, 1), 3);
  EXPECT_EQ(s.ADDRESS(3, 1), 4);
  EXPECT_EQ(s.WEIGHT_COV(2, 1), 0.5f);
  EXPECT_EQ(s.WEIGHT_COV(3, 1), 0.5f);
  EXPECT_EQ(sampler::workspace(s).cursor.EFF_SLOT(2, 1), 2);
  // Dam and candidates: 0.5 times each probability, rounded to 32 bits.
  load(s, 5);
  EXPECT_EQ(s.naddr, 4);
  EXPECT_EQ(s.ADDRESS(2, 1), 5);
  EXPECT_EQ(s.ADDRESS(3, 1), 3);
  EXPECT_EQ(s.ADDRESS(4, 1), 4);
  EXPECT_EQ(s.WEIGHT_COV(3, 1), static_cast<float>(0.5 * 0.3));
  EXPECT_EQ(s.WEIGHT_COV(4, 1), static_cast<float>(0.5 * 0.7));
  for (int i = 2; i <= 4; ++i) EXPECT_EQ(sampler::workspace(s).cursor.SLOT_EFF(i, 1), 2);
  // No known parent: no slot at all.
  load(s, 6);
  EXPECT_EQ(s.naddr, 1);
  EXPECT_EQ(sampler::workspace(s).cursor.EFF_SLOT(2, 1), 0);
  // A drawn sire in column 3 replaces the candidates.
  s.PED(2, 5, 3) = 2;
  load(s, 5);
  EXPECT_EQ(s.naddr, 3);
  EXPECT_EQ(s.ADDRESS(3, 1), 4);
  EXPECT_EQ(s.WEIGHT_COV(3, 1), 0.5f);
}

TEST(RecordsSlots, CountsKeptPerTrait) {
  model::State s;
  ram_model(s, 2);
  load(s, 5);
  // The last trait has two slots (class, absent animal), the first four.
  EXPECT_EQ(s.naddr, 2);
  EXPECT_EQ(sampler::workspace(s).cursor.naddr_t(1), 4);
  EXPECT_EQ(sampler::workspace(s).cursor.naddr_t(2), 2);
  EXPECT_EQ(sampler::workspace(s).cursor.nslot_max, 4);
  EXPECT_EQ(s.ADDRESS(4, 1), 2 * (2 + 2 - 1) + 1);
}

// One trait: an unknown covariable and a reaction norm sharing data column 1,
// the reaction norm's level in column 2; unk_first orders the two effects.
void rnorm_model(model::State& s, bool unk_first) {
  if (unk_first)
    new_model(1, {UNK, RNO}, {3, 2}, 1);
  else
    new_model(1, {RNO, UNK}, {2, 3}, 1);
  m.pos_y(1) = 3;
  m.pos_eff(1, 1) = 1;
  m.pos_eff(2, 1) = 1;
  const int rno = unk_first ? 2 : 1;
  m.nestedcov(rno, 1) = 2;
  new_state(s);
  put_record(s, 1, {2, 1, 5});
}

TEST(RecordsSlots, ReactionNormWhateverTheOrder) {
  for (bool unk_first : {true, false}) {
    SCOPED_TRACE(unk_first);
    model::State s;
    rnorm_model(s, unk_first);
    const int unk = unk_first ? 1 : 2, rno = 3 - unk;
    const int eq_unk = sampler::address1(unk, 2, 1), eq_rno = sampler::address1(rno, 1, 1);
    const double b = 0.1, h = 0.75;
    s.SOL(eq_unk) = h;
    s.SOL(eq_rno) = b;
    load(s, 1);
    // The rno slot carries the covariate, the unk slot 1 + the slope.
    EXPECT_EQ(s.ADDRESS(rno, 1), eq_rno);
    EXPECT_EQ(s.WEIGHT_COV(rno, 1), static_cast<float>(h));
    EXPECT_EQ(s.ADDRESS(unk, 1), eq_unk);
    const float want = unk_first ? static_cast<float>(static_cast<double>(1.0f) + b)
                                 : static_cast<float>(b) + 1.0f;
    EXPECT_EQ(s.WEIGHT_COV(unk, 1), want);
  }
}

// Conditions the reader and the start-up checks leave no input to reach.
TEST(RecordsSlots, Stops) {
  const std::string internal = " Internal error (a fault of the program, not of its input): ";
  {
    two_trait_model(1);
    m.nestedcov(3, 1) = -1;
    model::State s;
    new_state(s);
    put_record(s, 1, {1, 1, 1, 1, 1, 1, 1, 1});
    EXPECT_EQ(stop_of([&] { load(s, 1); }), internal + "wrong description of nested covariable");
  }
  {
    two_trait_model(1);
    m.effecttype(2) = static_cast<model::EffectType>(7);
    model::State s;
    new_state(s);
    put_record(s, 1, {1, 1, 1, 1, 1, 1, 1, 1});
    // The effect's number, not its type.
    EXPECT_EQ(stop_of([&] { load(s, 1); }), internal + "unimplemented effect 2");
  }
  {
    model::State s;
    rnorm_model(s, true);
    m.effecttype(1) = CRO;
    sampler::prepare_records(s);
    EXPECT_EQ(stop_of([&] { load(s, 1); }), internal + "unknown covariable address not found");
  }
}

TEST(RecordsCheck, BadValuesNameRecordEffectTraitAndValue) {
  two_trait_model(1);
  model::State s;
  new_state(s);
  auto check = [&](const std::vector<float>& rec) {
    put_record(s, 1, rec);
    return stop_of([&] { sampler::check_data_record(s, 1); });
  };
  put_record(s, 1, {1, 3, 2.5f, 1, 2, 4, 1, 1});
  sampler::check_data_record(s, 1);  // every value valid
  EXPECT_EQ(check({1, 4, 2, 1, 2, 1, 1, 1}),
            " Error in data record 1, effect 1, trait 1: level 4 is not within 1 to 3" + recode);
  EXPECT_EQ(check({1, 0.5f, 2, 1, 2, 1, 1, 1}),
            " Error in data record 1, effect 1, trait 1: level 0.5 is not within 1 to 3");
  EXPECT_EQ(check({1, -2, 2, 1, 2, 1, 1, 1}),
            " Error in data record 1, effect 1, trait 1: level -2 is not within 1 to 3");
  EXPECT_EQ(check({1, 1, 2, 1, 2, 5, 1, 1}),
            " Error in data record 1, effect 4, trait 1: level 5 is not within 1 to 4" + recode);
  EXPECT_EQ(check({1, 1, 2, 1.5f, 0, 1, 1, 1}),
            " Error in data record 1, effect 3, trait 1: nesting class 0 is not within 1 to 2");
  // A covariable of 0 is missing: its nesting class is not looked at.
  put_record(s, 1, {1, 1, 2, 0, 0, 1, 1, 1});
  sampler::check_data_record(s, 1);
  // Only the trait that uses a column is checked against it.
  m.pos_eff(4, 1) = 0;
  EXPECT_EQ(check({1, 1, 2, 1, 2, 5, 1, 1}),
            " Error in data record 1, effect 4, trait 2: level 5 is not within 1 to 4" + recode);
  // 16777217 reads as 16777216: from 2^24 on no level is held exactly.
  m.nlev(1) = 20000000;
  const std::string big = " (as a 32-bit real) is 16777216 or more; data hold levels exactly only up to 16777215";
  struct Big {
    float level;
    std::string stop;
  };
  const Big bigs[] = {
      {16777215.0f, ""},
      {16777216.0f, " Error in data record 1, effect 1, trait 1: level 16777216" + big},
      {static_cast<float>(16777217.0), " Error in data record 1, effect 1, trait 1: level 16777216" + big},
      {16777218.0f, " Error in data record 1, effect 1, trait 1: level 16777218" + big},
  };
  for (const Big& b : bigs) {
    if (!b.stop.empty()) {
      EXPECT_EQ(check({1, b.level, 2, 1, 2, 1, 1, 1}), b.stop) << b.level;
      continue;
    }
    put_record(s, 1, {1, b.level, 2, 1, 2, 1, 1, 1});
    sampler::check_data_record(s, 1);
  }
  // A record must observe a trait.
  EXPECT_EQ(check({1, 1, 2, 1, 2, 1, 0, 0}),
            " Error in data record 1: All traits are missing; eliminate such records!");
  put_record(s, 1, {1, 1, 2, 1, 2, 1, 0, 3});
  sampler::check_data_record(s, 1);
}

TEST(RecordsCheck, AnimalsParentsAndCandidates) {
  model::State s;
  ram_model(s, 1);
  for (int r = 1; r <= 6; ++r) sampler::check_data_record(s, r);
  put_record(s, 1, {1, 7, 9});
  EXPECT_EQ(stop_of([&] { sampler::check_data_record(s, 1); }),
            " Error in data record 1, effect 2, trait 1: animal 7 is not within 1 to 6" + recode);
  s.MS(2) = 0;  // candidate sire 0 would address level 0
  EXPECT_EQ(stop_of([&] { sampler::check_data_record(s, 5); }),
            " Error in data record 5, effect 2, trait 1: candidate sire 0 of animal 5 is not "
            "within 1 to 3");
  s.MS(2) = 1;
  s.PED(2, 4, 2) = 5;  // a parent without an equation
  EXPECT_EQ(stop_of([&] { sampler::check_data_record(s, 4); }),
            " Error in data record 4, effect 2, trait 1: parent 5 of animal 4 is not within 1 to 3");
  s.PED(2, 4, 2) = 1;
  s.P_MS(5) = 0;
  EXPECT_EQ(stop_of([&] { sampler::check_data_record(s, 5); }),
            " Error in data record 5, effect 2, trait 1: animal 5 has no list of candidate sires");
}

// ---------------------------------------------------------------------------
// Residual covariance inverse.

TEST(RecordsDecodeR, HomogeneousIsTheInverseOfR) {
  two_trait_model(1);
  m.r(1, 1) = 2.0;
  m.r(1, 2) = m.r(2, 1) = 0.5;
  m.r(2, 2) = 1.0;
  model::State s;
  new_state(s);
  put_record(s, 1, {1, 1, 1, 1, 1, 1, 1, 1});
  load(s, 1);
  sampler::decode_r(s);
  const double det = 2.0 - 0.25;
  EXPECT_EQ(s.res_scale, 1.0);
  EXPECT_NEAR(m.rinv(1, 1), 1.0 / det, 1e-15);
  EXPECT_NEAR(m.rinv(1, 2), -0.5 / det, 1e-15);
  EXPECT_NEAR(m.rinv(2, 1), -0.5 / det, 1e-15);
  EXPECT_NEAR(m.rinv(2, 2), 2.0 / det, 1e-15);
  // Another step may overwrite rinv; a new r gives a new inverse.
  m.rinv.fill(0.0);
  sampler::decode_r(s);
  EXPECT_NEAR(m.rinv(2, 2), 2.0 / det, 1e-15);
  m.r(2, 2) = 3.0;
  sampler::decode_r(s);
  EXPECT_NEAR(m.rinv(1, 1), 3.0 / (6.0 - 0.25), 1e-15);
  // A dropped pivot at the current tolerance leaves its row and column 0.
  m.r(1, 1) = 1e-10;
  m.r(1, 2) = m.r(2, 1) = 0.0;
  const double old_tol = denseop::denseop_tol;
  denseop::denseop_tol = 1e-11;
  sampler::decode_r(s);
  EXPECT_NEAR(m.rinv(1, 1), 1e10, 1e-3);
  denseop::denseop_tol = 1e-9;
  sampler::decode_r(s);
  EXPECT_EQ(m.rinv(1, 1), 0.0);
  denseop::denseop_tol = old_tol;
}

// One trait: 1 cro (3 levels, col 1), 2 cov nested in col 3 (2 classes,
// value col 2) as structural effects; r = 2.
void structural_model(model::State& s, model::ResidualType residualtype) {
  new_model(1, {CRO, COV}, {3, 2}, 2);
  m.pos_y(1) = 4;
  m.pos_eff(1, 1) = 1;
  m.pos_eff(2, 1) = 2;
  m.nestedcov(2, 1) = 3;
  m.r(1, 1) = 2.0;
  m.residualtype = residualtype;
  m.neffr = 2;
  m.pos_effr.resize(2);
  m.pos_effr(1) = 1;
  m.pos_effr(2) = 2;
  new_state(s);
}

TEST(RecordsDecodeR, StructuralFactorsAndRobustWeight) {
  model::State s;
  structural_model(s, model::ResidualType::structural);
  s.R_SOL(sampler::address1(1, 2, 1)) = 1.5;  // level 2 of the class effect
  s.R_SOL(sampler::address1(2, 1, 1)) = 3.0;  // the covariable's one factor
  s.R_SOL(sampler::address1(2, 2, 1)) = 99.0;  // never read
  put_record(s, 1, {2, 2, 2, 1});
  load(s, 1);
  sampler::decode_r(s);
  EXPECT_DOUBLE_EQ(s.res_scale, 1.5 * 9.0);
  EXPECT_DOUBLE_EQ(m.rinv(1, 1), 1.0 / (13.5 * 2.0));
  // Missing codes (multiplier 0) scale nothing.
  put_record(s, 2, {0, 0, 1, 1});
  load(s, 2);
  sampler::decode_r(s);
  EXPECT_EQ(s.res_scale, 1.0);
  EXPECT_DOUBLE_EQ(m.rinv(1, 1), 0.5);

  model::State s2;
  structural_model(s2, model::ResidualType::student_t);
  m.neffr = 0;
  sampler::prepare_records(s2);
  s2.WEIGHT_ROBUST(1) = 0.5;
  put_record(s2, 1, {1, 1, 1, 1});
  load(s2, 1);
  sampler::decode_r(s2);
  EXPECT_EQ(s2.res_scale, 2.0);
  EXPECT_DOUBLE_EQ(m.rinv(1, 1), 0.25);
}

TEST(RecordsDecodeR, MendelianTermOfAnimalsWithoutEquations) {
  new_model(1, {RAM, CRO}, {2, 2}, 2);
  m.pos_y(1) = 2;
  m.pos_eff(1, 1) = 1;
  m.randomtype(1) = model::RandomType::add_an_ms;
  m.randomnumb(1) = 1;
  m.lenped(1) = 4;
  m.r(1, 1) = 2.0;
  m.g(1, 1, 1) = 0.6;
  model::State s;
  new_state(s);
  s.DINV.resize(4);
  s.DINV(3) = 2.0f;
  put_record(s, 1, {3, 1});
  put_record(s, 2, {2, 1});
  load(s, 1);
  sampler::decode_r(s);
  EXPECT_DOUBLE_EQ(m.rinv(1, 1), 1.0 / 2.3);
  load(s, 2);
  sampler::decode_r(s);
  EXPECT_DOUBLE_EQ(m.rinv(1, 1), 0.5);
  // Without a "ram" effect there is no term.
  m.effecttype(1) = CRO;
  sampler::prepare_records(s);
  load(s, 1);
  sampler::decode_r(s);
  EXPECT_DOUBLE_EQ(m.rinv(1, 1), 0.5);
}

TEST(RecordsDecodeR, WeightScalesTheResidualNotTheMendelianTerm) {
  // Two traits, the animal effect for trait 1 only; weight 4 in column 4.
  new_model(2, {RAM}, {2}, 2);
  m.pos_y(1) = 2;
  m.pos_y(2) = 3;
  m.pos_weight = 4;
  m.pos_eff(1, 1) = 1;
  m.randomtype(1) = model::RandomType::add_an_ms;
  m.randomnumb(1) = 1;
  m.lenped(1) = 3;
  const double r[2][2] = {{2.0, 0.5}, {0.5, 1.0}};
  for (int i = 1; i <= 2; ++i)
    for (int j = 1; j <= 2; ++j) m.r(i, j) = r[i - 1][j - 1];
  m.g(1, 1, 1) = 0.6;
  m.g(1, 1, 2) = m.g(1, 2, 1) = 0.3;
  m.g(1, 2, 2) = 0.9;
  model::State s;
  new_state(s);
  s.DINV.resize(3);
  s.DINV(3) = 2.0f;
  put_record(s, 1, {3, 1, 2, 4});
  for (int pass = 0; pass < 2; ++pass) {  // formed, then kept
    load(s, 1);
    sampler::decode_r(s);
    // Covariance R / w + G / DINV over trait 1 only, which holds the effect.
    const double c11 = 2.0 / 4 + 0.6 / 2, c12 = 0.5 / 4, c22 = 1.0 / 4;
    const double det = c11 * c22 - c12 * c12;
    EXPECT_NEAR(4 * m.rinv(1, 1), c22 / det, 1e-12);
    EXPECT_NEAR(4 * m.rinv(1, 2), -c12 / det, 1e-12);
    EXPECT_NEAR(4 * m.rinv(2, 2), c11 / det, 1e-12);
    EXPECT_DOUBLE_EQ(sampler::workspace(s).cursor.record_cov.data()[0], c11);
    EXPECT_DOUBLE_EQ(sampler::workspace(s).cursor.record_cov.data()[3], c22);
    EXPECT_EQ(sampler::workspace(s).cursor.nonparent, 3);
  }
}

// ---------------------------------------------------------------------------
// Imputation.

// Traits nt; effect 1 cro (2 levels, col 1) in every trait, effect 2 unk
// (2 levels, col 2) in every trait; weight col 3; traits from col 4.
void impute_model(model::State& s, int nt, std::vector<double> r) {
  new_model(nt, {CRO, UNK}, {2, 2}, 1);
  m.pos_weight = 3;
  for (int t = 1; t <= nt; ++t) {
    m.pos_eff(1, t) = 1;
    m.pos_eff(2, t) = 2;
    m.pos_y(t) = 3 + t;
  }
  for (int j = 1; j <= nt; ++j)
    for (int i = 1; i <= nt; ++i) m.r(i, j) = r[static_cast<std::size_t>((i - 1) + (j - 1) * nt)];
  new_state(s);
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.5 + 0.25 * q;
}

// Fitted value of trait t of the impute model at level 1 of effect 1 and the
// level in column 2 of effect 2 (weight excluded).
double fitted(const model::State& s, int t, int lev2) {
  double f = s.SOL(sampler::address1(1, 1, t));
  if (lev2 > 0) f += s.SOL(sampler::address1(2, lev2, t));
  return f;
}

TEST(RecordsImpute, NothingMissingDrawsNothing) {
  model::State s;
  impute_model(s, 2, {4, 1.2, 1.2, 2});
  put_record(s, 1, {1, 1, 1, 10, -3});
  load(s, 1);
  const auto before = rangen::uniform_draws();
  rgtest::ScriptedNormals none({});
  sampler::predict_missing_y(s);
  EXPECT_EQ(rangen::uniform_draws(), before);
  EXPECT_EQ(none.next, 0u);
  EXPECT_EQ(s.Y(1), 10.0f);
  EXPECT_EQ(s.Y(2), -3.0f);
}

TEST(RecordsImpute, TwoTraitsAgainstTheConditionalNormal) {
  const double r11 = 4, r12 = 1.2, r22 = 2;
  for (double w : {1.0, 2.0}) {
    for (int lev2 : {2, 0}) {
      SCOPED_TRACE(testing::Message() << "w " << w << " level " << lev2);
      model::State s;
      impute_model(s, 2, {r11, r12, r12, r22});
      put_record(s, 1, {1, static_cast<float>(lev2), static_cast<float>(w), 10, 0});
      load(s, 1);
      // The weight is a precision: the fitted values enter as they are and
      // the conditional variance is divided by w.
      const double f1 = fitted(s, 1, lev2), f2 = fitted(s, 2, lev2);
      const double mean = f2 + (r12 / r11) * (10 - f1);
      const double var = (r22 - r12 * r12 / r11) / w;
      {
        rgtest::ScriptedNormals z({0.0f});
        sampler::predict_missing_y(s);
        EXPECT_EQ(z.next, 1u);
      }
      EXPECT_NEAR(s.Y(2), mean, 4e-6 * std::fabs(mean));
      EXPECT_EQ(s.Y(1), 10.0f);
      load(s, 1);
      {
        rgtest::ScriptedNormals z({1.5f});
        sampler::predict_missing_y(s);
      }
      EXPECT_NEAR(s.Y(2), mean + std::sqrt(var) * 1.5, 4e-6 * std::fabs(mean));
    }
  }
}

TEST(RecordsImpute, UncorrelatedAndNegativeZero) {
  model::State s;
  impute_model(s, 2, {4, 0, 0, 2});
  put_record(s, 1, {1, 1, 2, 10, -0.0f});
  load(s, 1);
  rgtest::ScriptedNormals z({-1.0f});
  sampler::predict_missing_y(s);
  // Weight 2: mean f2, variance r22 / 2 = 1.
  const double f2 = fitted(s, 2, 1);
  EXPECT_NEAR(s.Y(2), f2 - 1.0, 1e-5);
}

TEST(RecordsImpute, ThreeTraitsTwoMissing) {
  const std::vector<double> r = {4, 1, 0.5, 1, 3, 0.8, 0.5, 0.8, 2};
  model::State s;
  impute_model(s, 3, r);
  put_record(s, 1, {1, 1, 1.5f, 0, 7, 0});
  load(s, 1);
  rgtest::ScriptedNormals z({0.5f, -0.25f});
  sampler::predict_missing_y(s);
  // Traits 1 and 3 given trait 2 under R/w: mean f + r(.,2)/r22 (y2 - f2),
  // covariance (R_mm - r(.,2) r(2,.)/r22) / w, drawn as mean + L z with L its
  // Cholesky factor.
  const double w = 1.5;
  const double e2 = 7 - fitted(s, 2, 1);
  const double m1 = fitted(s, 1, 1) + r[1] / 3 * e2, m3 = fitted(s, 3, 1) + r[7] / 3 * e2;
  const double v11 = (4 - 1.0 / 3) / w, v13 = (0.5 - 0.8 / 3) / w, v33 = (2 - 0.64 / 3) / w;
  const double l11 = std::sqrt(v11), l21 = v13 / l11, l22 = std::sqrt(v33 - l21 * l21);
  EXPECT_NEAR(s.Y(1), m1 + l11 * 0.5, 1e-5);
  EXPECT_NEAR(s.Y(3), m3 + l21 * 0.5 - l22 * 0.25, 1e-5);
  EXPECT_EQ(s.Y(2), 7.0f);
}

TEST(RecordsImpute, AllMissingStops) {
  model::State s;
  impute_model(s, 2, {1, 0, 0, 1});
  put_record(s, 1, {1, 1, 1, 0, 0});
  load(s, 1);
  EXPECT_EQ(stop_of([&] { sampler::predict_missing_y(s); }),
            " Error in data record 1: All traits are missing; eliminate such records!");
}

TEST(RecordsImpute, ResidualsSkipMissingCodesAndLeaveOutTheWeight) {
  model::State s;
  impute_model(s, 2, {1, 0, 0, 1});
  put_record(s, 1, {1, 2, 3, 10, 20});
  load(s, 1);
  s.WEIGHT_COV(2, 1) = 1.75f;  // slopes on the unk slot are not counted
  double e[2];
  sampler::record_residuals(s, e);
  // Weight 3 is a precision: it does not scale the fitted value.
  EXPECT_DOUBLE_EQ(e[0], 10 - s.SOL(1) - s.SOL(sampler::address1(2, 2, 1)));
  // A missing code of the unknown covariable contributes nothing (not the
  // solution of equation 1).
  put_record(s, 1, {1, 0, 3, 10, 20});
  load(s, 1);
  sampler::record_residuals(s, e);
  EXPECT_DOUBLE_EQ(e[0], 10 - s.SOL(1));
  EXPECT_DOUBLE_EQ(e[1], 20 - s.SOL(2));
}

}  // namespace
