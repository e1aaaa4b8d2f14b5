#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "sparse/sparsem.hpp"
#include "support.hpp"

using namespace sparsem;
using sparsetest::captured;

TEST(Printing, HashMatrixInFullAndAsTriples) {
  sparse_hashm A;
  zero_sparse_hashm(A, 2);
  add_sparse_hashm(4.0, 1, 1, A);
  add_sparse_hashm(1.0, 1, 2, A);
  add_sparse_hashm(9.0, 2, 2, A);
  EXPECT_EQ(captured([&] { print_sparse_hashm(A); }), "   4.00   1.00\n   1.00   9.00\n");
  // Triples in slot order: (1,1) at 1473, (1,2) at 2512, (2,2) at 2945.
  EXPECT_EQ(captured([&] { print_sparse_hashm(A, "internal"); }),
            "       1       1      4.0000\n"
            "       1       2      1.0000\n"
            "       2       2      9.0000\n");
  // A key whose value is 0 prints too; options not starting "int" print in full.
  add_sparse_hashm(0.0, 1, 1, A);
  set_sparse_hashm(0.0, 1, 1, A);
  EXPECT_EQ(captured([&] { print_sparse_hashm(A, "in"); }), "   0.00   1.00\n   1.00   9.00\n");
  EXPECT_NE(captured([&] { print_sparse_hashm(A, "int"); }).find("       1       1      0.0000\n"),
            std::string::npos);
}

TEST(Printing, LongRowsWideValuesAndOtherForms) {
  densem D;
  zero_densem(D, 12);
  for (int j = 1; j <= 12; ++j) set_densem(double(j), 1, j, D);
  set_densem(12345.678, 2, 1, D);
  set_densem(-0.004, 2, 2, D);
  const std::string out = captured([&] { print_densem(D); });
  const std::string row1 =
      "   1.00   2.00   3.00   4.00   5.00   6.00   7.00   8.00   9.00  10.00  11.00\n  12.00\n";
  ASSERT_GE(out.size(), row1.size());
  EXPECT_EQ(out.substr(0, row1.size()), row1);
  EXPECT_EQ(out.substr(row1.size(), 14), "*******  -0.00");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 24);

  // Compressed rows: full form mirrors the upper entries, triples list all.
  sparse_ija B;
  B.n = 2;
  B.nel = 3;
  B.ia.resize(3);
  B.ja.resize(3);
  B.a.resize(3);
  B.ia(1) = 1, B.ia(2) = 3, B.ia(3) = 4;
  B.ja(1) = 1, B.ja(2) = 2, B.ja(3) = 2;
  B.a(1) = 2, B.a(2) = -1.5, B.a(3) = 3;
  EXPECT_EQ(captured([&] { print_sparse_ija(B); }), "   2.00  -1.50\n  -1.50   3.00\n");
  EXPECT_EQ(captured([&] { print_sparse_ija(B, "int"); }),
            "       1       1      2.0000\n       1       2     -1.5000\n       2       2      3.0000\n");

  dense_symm S;
  zero_dense_symm(S, 2);
  S.x(1) = 4, S.x(2) = 1, S.x(3) = 9;
  EXPECT_EQ(captured([&] { print_dense_symm(S); }), "   4.00   1.00\n   1.00   9.00\n");

  util::mat1<float> x(21, 2);
  for (int i = 1; i <= 21; ++i) x(i, 1) = float(i);
  x(1, 2) = 0.5f;
  const std::string px = captured([&] { print_x(x); });
  EXPECT_EQ(px.substr(0, 12), "  1.00  2.00");
  EXPECT_EQ(std::count(px.begin(), px.end(), '\n'), 4);
  EXPECT_EQ(px.substr(px.find('\n') + 1, 7), " 21.00\n");
  EXPECT_EQ(px.substr(px.size() - 7), "  0.00\n");
}
