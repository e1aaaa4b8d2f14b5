// General solves, inverses and the identity.
#include "helpers.hpp"
#include "util/stop.hpp"

using namespace densetest;
namespace d = denseop;

TEST(GeneralSolve, Solves) {
  // A zero first pivot is handled by the row interchange.
  const auto a = rows({{0, 2}, {3, 1}});
  auto x = d::fgesv8(a, vec({4, 5}));
  EXPECT_NEAR(x(1), 1, 1e-15);
  EXPECT_NEAR(x(2), 2, 1e-15);
  util::vec1<double> y;
  d::gesv8(a, vec({4, 5}), y);
  EXPECT_EQ(y(2), x(2));
  expect_mat_eq(a, {{0, 2}, {3, 1}});

  auto id = d::eye8(util::mat1<double>(3, 1));
  expect_mat_eq(id, {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}});
  auto b = vec({0.1, -7, 3e20});
  auto z = d::fgesv8(id, b);
  for (int i = 1; i <= 3; ++i) EXPECT_EQ(z(i), b(i));
  EXPECT_EQ(d::fgesv8(util::mat1<double>(), util::vec1<double>()).size(), 0);

  // 32-bit: the 64-bit solution rounded, not a 32-bit factorisation.
  const auto a4 = rows<float>({{3, 1}, {1, 3}});
  auto x4 = d::fgesv4(a4, vec<float>({1, 0}));
  EXPECT_EQ(x4(1), static_cast<float>(3.0 / 8));
  EXPECT_EQ(x4(2), static_cast<float>(-1.0 / 8));
  util::vec1<float> y4;
  d::gesv4(a4, vec<float>({1, 0}), y4);
  EXPECT_EQ(y4(1), x4(1));
}

TEST(GeneralSolve, Inverses) {
  auto a = rows({{4, 7}, {2, 6}});
  auto inv = d::fgeinv8(a);
  expect_mat_near(inv, rows({{0.6, -0.7}, {-0.2, 0.4}}), 1e-15);
  expect_mat_eq(a, {{4, 7}, {2, 6}});
  d::geinv8(a);
  expect_mat_near(a, inv, 0);
  auto a4 = rows<float>({{4, 7}, {2, 6}});
  auto inv4 = d::fgeinv4(a4);
  EXPECT_EQ(inv4(1, 2), static_cast<float>(inv(1, 2)));
  d::geinv4(a4);
  EXPECT_EQ(a4(2, 1), static_cast<float>(inv(2, 1)));
  expect_mat_eq(d::eye4(util::mat1<float>(2, 2)), {{1, 0}, {0, 1}});
}

TEST(GeneralSolve, FailuresStopTheRun) {
  auto expect_stop = [](auto f, const std::string& code) {
    try {
      f();
      ADD_FAILURE() << "no stop";
    } catch (const util::Stop& s) {
      const std::string msg = s.what();
      EXPECT_NE(msg.find("Program terminated in LAPACK_90 subroutine"), std::string::npos) << msg;
      EXPECT_NE(msg.find("LA_GESV"), std::string::npos) << msg;
      EXPECT_NE(msg.find("Error indicator, INFO ="), std::string::npos) << msg;
      EXPECT_EQ(msg.substr(msg.find_last_not_of(' ') + 1 - code.size()), code) << msg;
    }
  };
  const auto sing = rows({{1, 2}, {1, 2}});
  expect_stop([&] { d::fgesv8(sing, vec({1, 1})); }, "2");
  expect_stop([&] { d::fgeinv8(sing); }, "2");
  expect_stop([&] { d::fgesv8(rows({{1, 0}, {0, 1}}), vec({1, 1, 1})); }, "-2");
  util::mat1<double> wide(2, 3);
  expect_stop([&] { d::geinv8(wide); }, "-1");
}
