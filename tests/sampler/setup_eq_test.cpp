// The per-cycle build of the mixed-model equations.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "random/rangen_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/records.hpp"
#include "sampler/setup_eq.hpp"
#include "sparse/sparsem.hpp"

namespace {

using eqtest::new_model;
using eqtest::new_state;
using eqtest::stdout_of;
using eqtest::stop_of;
using model::m;
using sampler::address1;

constexpr model::EffectType CRO = model::EffectType::cro, COV = model::EffectType::cov,
                            RAM = model::EffectType::ram;

// Values of XX and XY to 0, keys kept, as the main loop does before a build.
void zero_equations(model::State& s) {
  sparsem::zero_values_sparse_hashm(s.XX);
  s.XY.fill(0.0);
}

void set_data(model::State& s, const std::string& text) {
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(text, "data.txt");
}

// Dense symmetric matrix of order n, 1-based.
struct Dense {
  int n;
  std::vector<double> a;
  explicit Dense(int order) : n(order), a(static_cast<std::size_t>(order * order), 0.0) {}
  double& operator()(int i, int j) { return a[static_cast<std::size_t>((i - 1) + (j - 1) * n)]; }
};

// Every upper element of XX against C, every stored key upper, XY against b.
void expect_system(const model::State& s, Dense& C, const std::vector<double>& b, double tol) {
  for (int j = 1; j <= s.neq; ++j)
    for (int i = 1; i <= j; ++i) {
      const double want = C(i, j);
      EXPECT_NEAR(sparsem::get_sparse_hashm(i, j, s.XX), want, tol * (1.0 + std::fabs(want)))
          << "(" << i << "," << j << ")";
    }
  for (int k = 1; k <= s.XX.nel; ++k) {
    const auto& slot = s.XX.x(k);
    if (slot.row != 0) {
      EXPECT_LE(slot.row, slot.col);
    }
  }
  for (int q = 1; q <= s.neq; ++q)
    EXPECT_NEAR(s.XY(q), b[static_cast<std::size_t>(q)], tol * (1.0 + std::fabs(b[q]))) << q;
}

// Two traits; effects: 1 cro (3 levels, col 2), 2 cov (col 3, trait 1 only),
// 3 cov (col 4) nested in col 5 (2 classes), 4 cro (2 levels, col 6); weight
// col 1; traits cols 7, 8.  r = ((4, 1), (1, 2)).  22 equations.
const char* two_trait_data =
    "1 1 1.5  0.25 1 1 10 12\n"
    "2 2 2.5  1.5  2 2 11 0\n"     // trait 2 missing
    "1 3 0    3    1 1 0  7\n"     // trait 1 missing, covariable 0
    "0.5 1 1  2    2 0 9  8\n"     // level code 0 for effect 4
    "\n"                           // a blank line is skipped
    "2 2 3 0.5 1 2 12.5 13\n"
    "1 3 4 0 0 1 8 0 99 99\n";     // nested covariable 0 (class 0 ignored)

void two_trait_model() {
  new_model(2, {CRO, COV, COV, CRO}, {3, 1, 2, 2}, 6);
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
  m.r(1, 1) = 4;
  m.r(1, 2) = m.r(2, 1) = 1;
  m.r(2, 2) = 2;
}

// Design row of trait t of a record (columns 1..8 as in the data), from the
// model's layout, not from the slots.
std::vector<double> design_row(const std::vector<double>& rec, int t, int neq) {
  std::vector<double> x(static_cast<std::size_t>(neq) + 1, 0.0);
  auto put = [&](int e, int l, double v) { x[static_cast<std::size_t>(address1(e, l, t))] += v; };
  if (rec[2] != 0) put(1, static_cast<int>(rec[2]), 1.0);
  if (t == 1 && rec[3] != 0) put(2, 1, rec[3]);
  if (rec[4] != 0) put(3, static_cast<int>(rec[5]), rec[4]);
  if (rec[6] != 0) put(4, static_cast<int>(rec[6]), 1.0);
  return x;
}

// Imputed observations of each record: the record protocol run again with
// the same normal deviates.
std::vector<std::vector<float>> imputed(model::State& s, const std::vector<float>& z) {
  rgtest::ScriptedNormals dev(z);
  std::vector<std::vector<float>> y;
  for (int r = 1; r <= m.nrec; ++r) {
    s.irec = r;
    sampler::decode_record(s);
    sampler::find_addresses(s);
    sampler::decode_r(s);
    sampler::predict_missing_y(s);
    y.push_back({s.Y(1), s.Y(2)});
  }
  return y;
}

// X'(w R^-1)X and X'(w R^-1)y of the records in s.INDATA with observations y.
void dense_system(const model::State& s, const std::vector<std::vector<float>>& y, Dense& C,
                  std::vector<double>& b) {
  const std::vector<double> ri = eqtest::dense_inverse({m.r(1, 1), m.r(2, 1), m.r(1, 2), m.r(2, 2)}, 2);
  for (int r = 1; r <= m.nrec; ++r) {
    std::vector<double> rec(9);
    for (int c = 1; c <= 8; ++c) rec[static_cast<std::size_t>(c)] = s.INDATA(r, c);
    const double w = rec[1];
    const std::vector<double> x[2] = {design_row(rec, 1, s.neq), design_row(rec, 2, s.neq)};
    for (int t1 = 0; t1 < 2; ++t1)
      for (int t2 = 0; t2 < 2; ++t2) {
        const double wr = w * ri[static_cast<std::size_t>(t1 + 2 * t2)];
        for (int i = 1; i <= s.neq; ++i) {
          const double xi = x[t1][static_cast<std::size_t>(i)];
          if (xi == 0) continue;
          b[static_cast<std::size_t>(i)] += xi * wr * y[static_cast<std::size_t>(r - 1)][static_cast<std::size_t>(t2)];
          for (int j = 1; j <= s.neq; ++j) C(i, j) += xi * wr * x[t2][static_cast<std::size_t>(j)];
        }
      }
  }
}

TEST(SetupEq, MultiTraitSystemAgainstDenseDesign) {
  two_trait_model();
  model::State s;
  new_state(s);
  ASSERT_EQ(s.neq, 16);
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.1 * q - 0.7;
  set_data(s, two_trait_data);
  const std::vector<float> z = {0.5f, -1.25f, 0.75f};
  {
    rgtest::ScriptedNormals dev(z);
    stdout_of([&] { sampler::setup_eq(s); });
    EXPECT_EQ(dev.next, 3u);  // one deviate per missing trait
  }
  EXPECT_EQ(s.irec, 7);
  EXPECT_EQ(s.INDATA(5, 8), 13.0f);

  const auto y = imputed(s, z);
  EXPECT_NE(y[1][1], 0.0f);
  EXPECT_NE(y[2][0], 0.0f);
  Dense C(s.neq);
  std::vector<double> b(static_cast<std::size_t>(s.neq) + 1, 0.0);
  dense_system(s, y, C, b);
  expect_system(s, C, b, 1e-12);
  // The missing codes made keys (1, b) whatever their value.
  EXPECT_GT(sparsem::hashvr_find(1, address1(4, 1, 2), s.XX), 0);

  // A later cycle rebuilds the same system from memory, with fresh deviates.
  m.round = 2;
  zero_equations(s);
  const std::int32_t filled = s.XX.filled;
  {
    rgtest::ScriptedNormals dev(z);
    EXPECT_EQ(stdout_of([&] { sampler::setup_eq(s); }), "");
  }
  EXPECT_EQ(s.XX.filled, filled);
  expect_system(s, C, b, 1e-12);
}

// The coefficient matrix of the records made one addition at a time, in the
// loop order slot i, slot j, trait t1, trait t2.
void additions_in_loop_order(model::State& s, sparsem::sparse_hashm& A) {
  for (int r = 1; r <= m.nrec; ++r) {
    s.irec = r;
    sampler::decode_record(s);
    sampler::find_addresses(s);
    sampler::decode_r(s);
    sampler::predict_missing_y(s);
    for (int i = 1; i <= s.naddr; ++i)
      for (int j = 1; j <= s.naddr; ++j)
        for (int t1 = 1; t1 <= m.ntrait; ++t1)
          for (int t2 = 1; t2 <= m.ntrait; ++t2) {
            const float p = s.WEIGHT_COV(i, t1) * s.WEIGHT_COV(j, t2);
            sparsem::add_sparse_hashm(static_cast<double>(p) * s.rec_weight * m.rinv(t1, t2),
                                      s.ADDRESS(i, t1), s.ADDRESS(j, t2), A);
          }
  }
}

TEST(SetupEq, TableLayoutOfAdditionsInLoopOrder) {
  // Many records into a small table: collisions and growths make the slot
  // of every key depend on the order in which the keys arrived.
  two_trait_model();
  m.nrec = 300;
  model::State s;
  new_state(s);
  sparsem::zero_sparse_hashm(s.XX, s.neq, 7);
  std::string data;
  for (int r = 0; r < 300; ++r) {
    std::ostringstream line;
    line << 1 + r % 3 << ' ' << 1 + (r * 7) % 3 << ' ' << 0.25 * (r % 5) << ' ' << 0.5 * (r % 3)
         << ' ' << 1 + r % 2 << ' ' << (r * 5) % 3 << ' ' << 1 + r % 11 << ' ' << 2 + r % 7 << '\n';
    data += line.str();
  }
  set_data(s, data);
  stdout_of([&] { sampler::setup_eq(s); });

  sparsem::sparse_hashm A;
  sparsem::zero_sparse_hashm(A, s.neq, 7);
  m.round = 2;
  stdout_of([&] { additions_in_loop_order(s, A); });
  ASSERT_EQ(A.nel, s.XX.nel);
  ASSERT_EQ(A.filled, s.XX.filled);
  for (int k = 1; k <= A.nel; ++k) {
    EXPECT_EQ(A.x(k).row, s.XX.x(k).row) << k;
    EXPECT_EQ(A.x(k).col, s.XX.x(k).col) << k;
    EXPECT_EQ(A.x(k).val, s.XX.x(k).val) << k;
  }
}

TEST(SetupEq, DiagonalGroupAddsGinvTimesIdentity) {
  two_trait_model();
  m.randomtype(4) = model::RandomType::diagonal;
  m.randomnumb(4) = 1;
  model::State s;
  new_state(s);
  m.ginv(4, 1, 1) = 0.5;
  m.ginv(4, 1, 2) = m.ginv(4, 2, 1) = -0.125;
  m.ginv(4, 2, 2) = 0.25;
  set_data(s, two_trait_data);
  const std::vector<float> z = {0.5f, -1.25f, 0.75f};
  {
    rgtest::ScriptedNormals dev(z);
    stdout_of([&] { sampler::setup_eq(s); });
  }
  const auto y = imputed(s, z);
  Dense C(s.neq);
  std::vector<double> b(static_cast<std::size_t>(s.neq) + 1, 0.0);
  dense_system(s, y, C, b);
  for (int l = 1; l <= 2; ++l)
    for (int t1 = 1; t1 <= 2; ++t1)
      for (int t2 = 1; t2 <= 2; ++t2) C(address1(4, l, t1), address1(4, l, t2)) += m.ginv(4, t1, t2);
  expect_system(s, C, b, 1e-12);
}

// One trait, one cross-classified effect with nl levels; y in col 2, weight
// in col 3 when weighted.
void one_effect_model(int nl, int nrec, bool weighted) {
  new_model(1, {CRO}, {nl}, nrec);
  m.pos_eff(1, 1) = 1;
  m.pos_y(1) = 2;
  m.pos_weight = weighted ? 3 : 0;
}

TEST(SetupEq, OneTraitCountsAndSumsAndWeights) {
  one_effect_model(3, 4, false);
  model::State s;
  new_state(s);
  set_data(s, "1 2.5\n3 4\n1 -1\n0 7\n");
  stdout_of([&] { sampler::setup_eq(s); });
  EXPECT_EQ(sparsem::get_sparse_hashm(1, 1, s.XX), 2.0);
  EXPECT_EQ(sparsem::get_sparse_hashm(2, 2, s.XX), 0.0);
  EXPECT_EQ(sparsem::get_sparse_hashm(3, 3, s.XX), 1.0);
  EXPECT_EQ(s.XY(1), 1.5);
  EXPECT_EQ(s.XY(3), 4.0);
  // The record with the missing code made the key (1, 1) only; (2, 2) was
  // never touched.
  EXPECT_EQ(sparsem::hashvr_find(2, 2, s.XX), 0);

  // Weight 2 doubles both sides; weight 1 is the unweighted record.
  one_effect_model(2, 2, true);
  model::State s2;
  new_state(s2);
  set_data(s2, "1 3 1\n2 3 2\n");
  stdout_of([&] { sampler::setup_eq(s2); });
  EXPECT_EQ(sparsem::get_sparse_hashm(2, 2, s2.XX), 2 * sparsem::get_sparse_hashm(1, 1, s2.XX));
  EXPECT_EQ(s2.XY(2), 2 * s2.XY(1));
}

TEST(SetupEq, RepeatedCandidateSireAddsAllCrossProducts) {
  new_model(1, {RAM}, {2}, 1);
  m.pos_eff(1, 1) = 1;
  m.pos_y(1) = 2;
  m.lenped(1) = 3;
  m.r(1, 1) = 0.5;
  model::State s;
  new_state(s);
  s.PED(1, 3, 1) = 3;
  s.PED(1, 3, 3) = -1;
  s.MS.resize(5);
  const double ms[] = {2, 1, 0.3, 1, 0.7};
  for (int i = 1; i <= 5; ++i) s.MS(i) = ms[i - 1];
  s.P_MS(3) = 1;
  set_data(s, "3 4\n");
  stdout_of([&] { sampler::setup_eq(s); });
  const double x1 = static_cast<float>(0.15), x2 = static_cast<float>(0.35);
  EXPECT_NEAR(sparsem::get_sparse_hashm(1, 1, s.XX), (x1 + x2) * (x1 + x2) * 2.0, 1e-7);
  EXPECT_NEAR(s.XY(1), (x1 + x2) * 2.0 * 4.0, 1e-7);
}

TEST(SetupEq, FirstCycleOutput) {
  one_effect_model(2, 2, false);
  model::State s;
  new_state(s);
  set_data(s, "1 2.5\n2 4\n");
  const std::string out = stdout_of([&] { sampler::setup_eq(s); });
  const auto lines = [&] {
    std::vector<std::string> v;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  }();
  ASSERT_EQ(lines.size(), 11u) << out;
  EXPECT_EQ(lines[0], "     trait    eff    addr    weight");
  EXPECT_EQ(lines[1], "        1       1       1      1.0");
  EXPECT_EQ(lines[3], "        1       1       2      1.0");
  EXPECT_EQ(lines[4].rfind(" read  2  records in ", 0), 0u) << lines[4];
  EXPECT_NE(lines[4].find(" s,   2  nonzeroes"), std::string::npos) << lines[4];
  EXPECT_EQ(lines[5].rfind(" finished peds in ", 0), 0u) << lines[5];
  EXPECT_EQ(lines[6], " left hand side");
  EXPECT_EQ(lines[7], "   1.00   0.00");
  EXPECT_EQ(lines[8], "   0.00   1.00");
  EXPECT_EQ(lines[9], " right hand side:");
  EXPECT_EQ(lines[10], "    2.50    4.00");
}

TEST(SetupEq, RightHandSideOfElevenToTwentyEquations) {
  one_effect_model(12, 1, false);
  model::State s;
  new_state(s);
  set_data(s, "12 3\n");
  const std::string out = stdout_of([&] { sampler::setup_eq(s); });
  const std::size_t p = out.find(" right hand side:\n");
  ASSERT_NE(p, std::string::npos) << out;
  std::string zeros;
  for (int k = 0; k < 10; ++k) zeros += "    0.00";
  // The second group of ten follows an empty line.
  EXPECT_EQ(out.substr(p), " right hand side:\n" + zeros + "\n\n    0.00    3.00\n");
}

TEST(SetupEq, NoSystemPrintedBeyondTwentyEquations) {
  one_effect_model(21, 1, false);
  model::State s;
  new_state(s);
  set_data(s, "1 3\n");
  const std::string out = stdout_of([&] { sampler::setup_eq(s); });
  EXPECT_EQ(out.find("left hand side"), std::string::npos);
  EXPECT_EQ(out.find("right hand side"), std::string::npos);
}

TEST(SetupEq, SlotTableOfTheFirstNineRecordsOnly) {
  one_effect_model(2, 11, false);
  model::State s;
  new_state(s);
  std::string data;
  for (int r = 1; r <= 11; ++r) data += "1 1\n";
  set_data(s, data);
  const std::string out = stdout_of([&] { sampler::setup_eq(s); });
  std::size_t headers = 0;
  for (std::size_t p = 0; (p = out.find("trait    eff", p)) != std::string::npos; ++p) ++headers;
  EXPECT_EQ(headers, 9u);
}

TEST(SetupEq, Stops) {
  one_effect_model(3, 3, false);
  model::State s;
  new_state(s);
  set_data(s, "1 2\n2 3\n");
  EXPECT_EQ(stop_of([&] { sampler::setup_eq(s); }),
            " total number of record in data set data.txt:  2  is not equal   to the value you "
            "have entered:  3");
  new_state(s);
  set_data(s, "1 2\n2 x\n3 1\n");
  EXPECT_EQ(stop_of([&] { sampler::setup_eq(s); }),
            " Error in data file data.txt, line 2 (record 2): field 2 \"x\" is not a number; a missing trait is coded 0");
  new_state(s);
  set_data(s, "1 2\n4 3\n3 1\n");
  EXPECT_EQ(stop_of([&] { sampler::setup_eq(s); }),
            " Error in data file data.txt, line 2 (record 2), effect 1, trait 1: level 4 is not "
            "within 1 to 3; levels are numbered 1, 2, ... up to the levels of the effect: recode ids beyond"
            " them (manual, section 1.1) or give the effect more levels");
}

TEST(SetupEq, RandomTypeDispatch) {
  one_effect_model(2, 1, false);
  m.randomtype(1) = model::RandomType::par_domin;
  m.randomnumb(1) = 1;
  model::State s;
  new_state(s);
  set_data(s, "1 2\n");
  // A type the reader refuses reaches no build.
  EXPECT_EQ(stop_of([&] { sampler::setup_eq(s); }),
            " Internal error (a fault of the program, not of its input): unimplemented random type 7");

  // Several breeds go to the multiple-breed builder, which needs a pedigree.
  for (model::RandomType rt : {model::RandomType::add_an_mb, model::RandomType::diag_mb}) {
    m.randomtype(1) = rt;
    m.nbreed(1) = 2;
    new_state(s);
    set_data(s, "1 2\n");
    EXPECT_NE(stop_of([&] { sampler::setup_eq(s); }).find("Additive pedigree file for effect"),
              std::string::npos);
  }
}

}  // namespace
