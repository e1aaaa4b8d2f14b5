// Positive-definite repair and its eigen decomposition.
#include <cmath>

#include "helpers.hpp"

using namespace densetest;
namespace d = denseop;

namespace {
const char* kMes = "    Matrix not positive definite: corrected";
}

TEST(PosDef, PositiveDefiniteIsLeftBitForBit) {
  auto x = rows({{2, 0.5}, {0.5, 1}});
  const auto before = x;
  int fix = 7;
  d::PosDef r;
  const std::string out = output_of([&] { r = d::pos_def(x, kMes, 1e-4, &fix); });
  EXPECT_EQ(r.state, d::Repair::unchanged);
  EXPECT_EQ(fix, 0);
  EXPECT_EQ(out, "");
  expect_mat_near(x, before, 0);

  // Non-symmetric input needing no repair keeps its lower triangle.
  auto y = rows({{2, 0.5}, {-8, 1}});
  EXPECT_EQ(d::pos_def(y, kMes, 1e-4).state, d::Repair::unchanged);
  EXPECT_EQ(y(2, 1), -8.0);

  util::mat1<double> e;
  EXPECT_EQ(d::pos_def(e, kMes, 1e-4, &fix).state, d::Repair::unchanged);
  auto z = rows({{0, 0}, {0, 0}});
  EXPECT_EQ(output_of([&] { EXPECT_EQ(d::pos_def(z, kMes, 1e-4).state, d::Repair::unchanged); }), "");
  expect_mat_eq(z, {{0, 0}, {0, 0}});
}

TEST(PosDef, SingularMatrixIsRaised) {
  auto x = rows({{1, 1}, {1, 1}});  // eigenvalues 0 and 2
  int fix = 0;
  d::PosDef r;
  const std::string out = output_of([&] { r = d::pos_def(x, kMes, 1e-4, &fix); });
  EXPECT_EQ(r.state, d::Repair::repaired);
  EXPECT_EQ(fix, -1);
  EXPECT_EQ(out, "Matrix not positive definite: corrected\n");
  expect_mat_near(x, rows({{1.0001, 0.9999}, {0.9999, 1.0001}}), 1e-13);
  EXPECT_EQ(x(1, 2), x(2, 1));
}

TEST(PosDef, RaisingIsRelativeToTheLargest) {
  // Eigenvalues 5e-5 and 1 on the vectors (1,1)/sqrt2 and (1,-1)/sqrt2.
  auto make = [](double l1, double l2) {
    return rows({{(l1 + l2) / 2, (l1 - l2) / 2}, {(l1 - l2) / 2, (l1 + l2) / 2}});
  };
  auto x = make(5e-5, 1);
  EXPECT_EQ(d::pos_def(x, std::nullopt, 1e-4).state, d::Repair::repaired);
  util::vec1<double> lam;
  util::mat1<double> v;
  ASSERT_EQ(d::syev8(x, lam, v), 0);
  EXPECT_NEAR(lam(1), 1e-4, 1e-15);
  EXPECT_NEAR(lam(2), 1, 1e-14);

  // 5e-5 / 0.1 is not below eps: the decision is relative as well, so the
  // matrix is left exactly as it was, without a message.
  auto y = make(5e-5, 0.1);
  const auto before = y;
  int fix = 0;
  const std::string out = output_of([&] { EXPECT_EQ(d::pos_def(y, "m", 1e-4, &fix).state, d::Repair::unchanged); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(fix, 0);
  expect_mat_eq(y, {{before(1, 1), before(1, 2)}, {before(2, 1), before(2, 2)}});
}

TEST(PosDef, ZeroRowsStayOut) {
  // Second row and column zero; the rest is indefinite (eigenvalues 3, -1).
  auto x = rows({{1, 0, 2}, {0, 0, 0}, {2, 0, 1}});
  int fix = 0;
  d::PosDef r;
  const std::string out = output_of([&] { r = d::pos_def(x, kMes, 1e-4, &fix); });
  EXPECT_EQ(r.state, d::Repair::repaired);
  EXPECT_EQ(out, "Matrix not positive definite: corrected\n");  // once
  EXPECT_EQ(fix, -1);
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(x(2, i), 0.0);
    EXPECT_EQ(x(i, 2), 0.0);
  }
  // -1 raised to 3e-4: part = 3 v v' + 3e-4 w w'.
  EXPECT_NEAR(x(1, 1), 1.5 + 1.5e-4, 1e-13);
  EXPECT_NEAR(x(3, 1), 1.5 - 1.5e-4, 1e-13);
  EXPECT_NEAR(x(3, 3), 1.5 + 1.5e-4, 1e-13);
}

TEST(PosDef, NonSymmetricRepairUsesUpperTriangle) {
  auto x = rows({{1, 1}, {-5, 1}});  // upper triangle: ones
  EXPECT_EQ(d::pos_def(x, std::nullopt, 1e-4).state, d::Repair::repaired);
  expect_mat_near(x, rows({{1.0001, 0.9999}, {0.9999, 1.0001}}), 1e-13);
}

TEST(PosDef, NoPositiveEigenvalueIsNotRepairable) {
  for (auto x : {rows({{-2}}), rows({{-1, 0}, {0, -3}}), rows({{-1, 1}, {1, -1}})}) {
    const auto before = x;
    int fix = 5;
    d::PosDef r;
    const std::string out = output_of([&] { r = d::pos_def(x, kMes, 1e-4, &fix); });
    EXPECT_EQ(r.state, d::Repair::not_repairable);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fix, 0);
    expect_mat_near(x, before, 0);
  }
}

TEST(PosDef, EigenFailureIsReported) {
  const double nan = std::nan("");
  auto x = rows({{nan, 1}, {1, nan}});
  // The solver may report status 0 with eigenvectors that are not numbers;
  // that is no repair either.
  d::PosDef r;
  const std::string out = output_of([&] { r = d::pos_def(x, kMes, 1e-4); });
  EXPECT_EQ(r.state, d::Repair::eigen_failed);
  EXPECT_EQ(out, "");
  EXPECT_TRUE(std::isnan(x(1, 1)));
  EXPECT_EQ(x(2, 1), 1.0);
}

TEST(PosDef, Companions) {
  util::vec1<float> lam;
  util::mat1<float> v;
  ASSERT_EQ(d::syev4(rows<float>({{2, 1}, {1, 2}}), lam, v), 0);
  EXPECT_NEAR(lam(1), 1.0f, 1e-6);
  EXPECT_NEAR(lam(2), 3.0f, 1e-6);
  EXPECT_NEAR(std::fabs(v(1, 1)), std::sqrt(0.5f), 1e-6);

  expect_mat_eq(d::diag_vec_mat8(vec({1, 2})), {{1, 0}, {0, 2}});
  expect_mat_eq(d::diag_vec_mat4(vec<float>({3})), {{3}});
  auto dv = d::diag_mat_vec8(rows({{1, 2}, {3, 4}}));
  EXPECT_EQ(dv.size(), 2);
  EXPECT_EQ(dv(2), 4.0);
  EXPECT_EQ(d::diag_mat_vec4(rows<float>({{5, 0}, {0, 6}}))(1), 5.0f);
}
