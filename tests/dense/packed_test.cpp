// Packed storage and matrix printing.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "helpers.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

using namespace densetest;
namespace d = denseop;

TEST(Packed, Positions) {
  EXPECT_EQ(d::pos_symm(1, 1, 3), 1);
  EXPECT_EQ(d::pos_symm(1, 3, 3), 3);
  EXPECT_EQ(d::pos_symm(2, 2, 3), 4);
  EXPECT_EQ(d::pos_symm(3, 3, 3), 6);
  EXPECT_EQ(d::pos_symm(3, 1, 3), 3);
  EXPECT_EQ(d::pos_symm(2, 3, 3), 5);
  for (int len : {0, 1, 2}) EXPECT_EQ(d::packed_order(len), len == 0 ? 0 : 1);
  EXPECT_EQ(d::packed_order(3), 2);
  EXPECT_EQ(d::packed_order(5), 2);
  EXPECT_EQ(d::packed_order(6), 3);
  EXPECT_EQ(d::packed_order(7), 3);
  EXPECT_EQ(d::packed_order(210), 20);
  EXPECT_EQ(d::packed_order(209), 19);
}

TEST(Packed, PackAndUnpack) {
  util::vec1<double> x(3);
  d::packit8(rows({{1, 2}, {3, 4}}), x);  // (1,2) above the diagonal is never read
  EXPECT_EQ(x(1), 1.0);
  EXPECT_EQ(x(2), 3.0);
  EXPECT_EQ(x(3), 4.0);

  util::vec1<double> longer(5);
  longer(4) = 8, longer(5) = 9;
  d::packit8(rows({{1, 2}, {3, 4}}), longer);
  EXPECT_EQ(longer(4), 8.0);  // positions beyond n(n+1)/2 are not written

  util::mat1<double> m(2, 2);
  m.fill(5);
  d::unpackit8(vec({1, 2, 3}), m);
  expect_mat_eq(m, {{1, 2}, {2, 3}});
  util::mat1<double> wide(2, 3);
  wide.fill(5);
  d::unpackit8(vec({1, 2, 3}), wide);
  expect_mat_eq(wide, {{1, 2, 0}, {2, 3, 0}});

  util::vec1<float> x4;
  d::packit4(rows<float>({{1, 0, 0}, {2, 3, 0}, {4, 5, 6}}), x4);  // enlarged to 6
  ASSERT_EQ(x4.size(), 6);
  util::mat1<float> back(3, 3);
  d::unpackit4(x4, back);
  expect_mat_eq(back, {{1, 2, 4}, {2, 3, 5}, {4, 5, 6}});

  util::mat1<double> big(3, 3);
  EXPECT_THROW(d::unpackit8(vec({1, 2, 3}), big), util::Stop);
}

// Printed text needs the formatter; these stay few.
TEST(Printing, RowsTitleAndDefaultFormat) {
  const auto m = rows({{1, 2}, {3, 4}});
  std::string out = raw_output_of([&] { d::printm8(m); });
  ASSERT_EQ(out.size(), 2u * (24 + 1));
  EXPECT_EQ(out.substr(0, 12), "   1.000    ");
  EXPECT_EQ(out.substr(12, 13), "   2.000    \n");

  out = raw_output_of([&] { d::printm8(util::mat1<double>(), "title"); });
  EXPECT_EQ(output_of([&] { d::printm8(util::mat1<double>(), "title"); }), "title\n");

  // Ten values end their line with an empty one; twelve make 10, empty, 2.
  util::mat1<double> w(12, 12);
  out = raw_output_of([&] { d::printm8(w); });
  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line.size(), 120u);
  std::getline(lines, line);
  EXPECT_EQ(line, "");
  std::getline(lines, line);
  EXPECT_EQ(line.size(), 24u);

  // The parameter echo's layout, from packed storage, 32-bit.
  out = raw_output_of([&] { d::printm4p(vec<float>({2.5f, 0, 1, 9}), std::nullopt, "(20g12.5)"); });
  EXPECT_EQ(out, "  2.5000      0.0000    \n  0.0000      1.0000    \n");
}

TEST(Printing, ToAFile) {
  const auto path = std::filesystem::temp_directory_path() / "velmoran_printm_test.txt";
  {
    util::TextOut f(path.string(), util::TextOut::Mode::replace);
    d::printm8p(vec({1, 0, 1}), "T", "(2f4.1)", &f);
    f.close();
  }
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(ss.str(), "T\n 1.0 0.0\n 0.0 1.0\n");
  std::filesystem::remove(path);
}
