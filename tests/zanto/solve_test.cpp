// Solves, determinants, checks and the statistics report.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "support.hpp"

using namespace zantotest;
using namespace zanto;

namespace {

// The factors of the two worked 2 x 2 matrices, ordered (2, 1).
struct TwoByTwo {
  std::vector<word> xlnz = {1, 2, 2}, xnzsub = {1, 2, 2}, nzsub = {2};
  std::vector<double> lnz, diag;
};
TwoByTwo definite() { return {{1, 2, 2}, {1, 2, 2}, {2}, {-2.0 / 3.0}, {1.0 / 3.0, 3.0 / 8.0}}; }
TwoByTwo singular() { return {{1, 2, 2}, {1, 2, 2}, {2}, {-1}, {1, 0}}; }

TEST(Fullfb, WorkedSolves) {
  const std::vector<word> perm = {2, 1}, invp = {2, 1};
  struct Case {
    const char* name;
    TwoByTwo f;
    std::vector<double> b, x;
  };
  const std::vector<Case> cases = {
      {"definite", definite(), {6, 5}, {1, 1}},
      // The dropped pivot's entry is 0: x = (0, 2) solves [[1,1],[1,1]] x = (2, 2).
      {"singular", singular(), {2, 2}, {0, 2}},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> t(2), x(2);
    permute(2, cview(c.b), view(t), cview(invp));
    fullfb(2, cview(c.f.xlnz), cview(c.f.nzsub), cview(c.f.xnzsub), cview(c.f.lnz),
           cview(c.f.diag), view(t));
    permute(2, cview(t), view(x), cview(perm));
    EXPECT_DOUBLE_EQ(x[0], c.x[0]);
    EXPECT_DOUBLE_EQ(x[1], c.x[1]);
  }
}

TEST(Determinants, AcceptedPivotsOnly) {
  struct Case {
    const char* name;
    std::vector<double> diag;
    double det, ldet;
  };
  const std::vector<Case> cases = {
      {"definite", definite().diag, 8, std::log(8.0)},
      {"singular", singular().diag, 1, 0},
      {"dropped pivot", {0.5, 0, 0.25}, 8, std::log(8.0)},
      {"empty", {}, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const word n = static_cast<word>(c.diag.size());
    double det = -5, ldet = -5;
    mkdet(n, crvec(c.diag.data(), n), det);
    mkldet(n, crvec(c.diag.data(), n), ldet);
    EXPECT_DOUBLE_EQ(det, c.det);
    EXPECT_NEAR(ldet, c.ldet, 1e-15);
  }
}

TEST(Paths, TreeAndSegments) {
  // Factor columns of a 6 x 6 pattern: 1 -> 3, 2 -> 3, 3 -> 5, 4 -> 5,
  // 5 -> 6; column 6 has nothing below.
  std::vector<word> xlnz = {1, 2, 3, 5, 6, 7, 7}, xnzsub = {1, 2, 3, 5, 6, 6, 6},
                    nzsub = {3, 3, 5, 6, 5, 6};
  std::vector<word> parent(6, -1);
  makepath(6, view(parent), cview(xlnz), cview(nzsub), cview(xnzsub));
  EXPECT_EQ(parent, (std::vector<word>{3, 3, 5, 5, 6, 0}));

  struct Case {
    const char* name;
    std::vector<word> list, xpath, path;
  };
  const std::vector<Case> cases = {
      {"one node: its whole path", {1}, {1, 5}, {1, 3, 5, 6}},
      {"second path joins the first", {1, 2}, {1, 5, 6}, {1, 3, 5, 6, 2}},
      {"covered node: empty segment", {1, 3, 4}, {1, 5, 5, 6}, {1, 3, 5, 6, 4}},
      {"repeated node", {4, 4}, {1, 4, 4}, {4, 5, 6}},
      {"root", {6}, {1, 2}, {6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const word m = static_cast<word>(c.list.size());
    std::vector<word> xpath(m + 1), path(6, 0), mark(6, 0);
    segpath(6, cview(c.list), m, view(xpath), view(path), cview(parent), view(mark));
    EXPECT_EQ(xpath, c.xpath);
    EXPECT_EQ(std::vector<word>(path.begin(), path.begin() + (xpath[m] - 1)), c.path);
    EXPECT_EQ(mark, std::vector<word>(6, 0));
  }
}

TEST(Paths, DiagonalMatrix) {
  std::vector<word> xlnz = {1, 1, 1, 1}, xnzsub = {1, 1, 1, 1}, nzsub = {0};
  std::vector<word> parent(3, 9);
  makepath(3, view(parent), cview(xlnz), cview(nzsub), cview(xnzsub));
  EXPECT_EQ(parent, (std::vector<word>{0, 0, 0}));
  std::vector<word> list = {2}, xpath(2), path(3), mark(3, 0);
  segpath(3, cview(list), 1, view(xpath), view(path), cview(parent), view(mark));
  EXPECT_EQ(xpath, (std::vector<word>{1, 2}));
  std::vector<double> diag = {0.5, 0.25, 0}, x = {0, 8, 0};
  std::vector<double> none = {0};
  fastfb(cview(path), cview(xpath), 1, cview(path), cview(xpath), 1, cview(xlnz), cview(nzsub),
         cview(xnzsub), crvec(none.data(), 0), cview(diag), view(x));
  EXPECT_EQ(x, (std::vector<double>{0, 2, 0}));
}

TEST(Paths, ExpandCompress) {
  std::vector<word> list = {3, 1};
  std::vector<double> v = {7, 9}, x(4, 0.0), back(2);
  expand(2, cview(list), cview(v), view(x));
  EXPECT_EQ(x, (std::vector<double>{9, 0, 7, 0}));
  compress(2, cview(list), view(back), cview(x));
  EXPECT_EQ(back, v);
}

// Sparse solve of F with right-hand side values at input rows `rows`,
// wanted entries at input rows `want` (or at `rows` when want is empty, the
// forward path serving both ways).  Returns the wanted entries.
std::vector<double> sparse_solve(Factored& F, const std::vector<word>& rows,
                                 const std::vector<double>& vals, const std::vector<word>& want) {
  const word n = F.n;
  std::vector<word> parent(n), mark(n, 0);
  makepath(n, view(parent), F.xlnz(), F.nzsub(), F.xnzsub());
  const word nf = static_cast<word>(rows.size());
  std::vector<word> fnew(nf), fx(nf + 1), fpath(n);
  spermute(nf, cview(rows), view(fnew), F.invp());
  segpath(n, cview(fnew), nf, view(fx), view(fpath), cview(parent), view(mark));
  std::vector<word> bnew, bx, bpath;
  const bool same = want.empty();
  const word nb = same ? nf : static_cast<word>(want.size());
  if (!same) {
    bnew.resize(nb);
    bx.resize(nb + 1);
    bpath.resize(n);
    spermute(nb, cview(want), view(bnew), F.invp());
    segpath(n, cview(bnew), nb, view(bx), view(bpath), cview(parent), view(mark));
  }
  rvec t = F.temp();
  for (word i = 1; i <= n; ++i) t(i) = 1e300;  // only the paths may be read
  zerout(t, cview(fpath), cview(fx), nf);
  if (!same) zerout(t, cview(bpath), cview(bx), nb);
  expand(nf, cview(fnew), cview(vals), t);
  if (same)
    fastfb(cview(fpath), cview(fx), nf, cview(fpath), cview(fx), nf, F.xlnz(), F.nzsub(),
           F.xnzsub(), F.lnz(), F.diag(), t);
  else
    fastfb(cview(fpath), cview(fx), nf, cview(bpath), cview(bx), nb, F.xlnz(), F.nzsub(),
           F.xnzsub(), F.lnz(), F.diag(), t);
  std::vector<double> out(nb);
  compress(nb, same ? cview(fnew) : cview(bnew), view(out), t);
  return out;
}

// Full solve of F for b in the input numbering.
std::vector<double> full_solve(Factored& F, const std::vector<double>& b) {
  rvec t = F.temp();
  std::vector<double> x(F.n);
  permute(F.n, cview(b), t, F.invp());
  fullfb(F.n, F.xlnz(), F.nzsub(), F.xnzsub(), F.lnz(), F.diag(), t);
  permute(F.n, t, view(x), F.perm());
  return x;
}

TEST(Solves, RandomMatricesAgainstLapack) {
  std::mt19937 rng(1234);
  std::uniform_real_distribution<double> u(-1, 1);
  for (int t = 0; t < 40; ++t) {
    SCOPED_TRACE(t);
    const int n = 3 + (t * 5) % 40;
    const bool psd = t % 2 == 1;
    const Dense A = psd ? random_psd(n, 1 + t % (n - 1), rng, t % 4 == 1)
                        : random_spd(n, t % 3 == 0 ? 0.25 : 0.07, rng);
    const Csr m = from_dense(A);
    Factored F = factorise(m);
    std::vector<int> kept;
    for (int j = 1; j <= n; ++j)
      if (F.diag()(j) != 0) kept.push_back(F.perm()(j) - 1);

    // A consistent right-hand side: A times a random vector.
    std::vector<double> x0(n), b(n, 0.0);
    for (double& v : x0) v = u(rng);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) b[i] += A[i][j] * x0[j];

    const std::vector<double> x = full_solve(F, b);
    const std::vector<double> ref = lapack_solve(A, kept, b);
    double scale = 1;
    for (double v : ref) scale = std::max(scale, std::fabs(v));
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], ref[i], 1e-9 * scale) << "row " << i;
    for (int i = 0; i < n; ++i) {  // A x = b also where pivots were dropped
      double r = -b[i];
      for (int j = 0; j < n; ++j) r += A[i][j] * x[j];
      EXPECT_NEAR(r, 0, 1e-8 * scale);
    }

    // Log-determinant over the kept pivots against LAPACK's factor.
    double ldet = 0;
    mkldet(n, F.diag(), ldet);
    const auto c = lapack_chol_diag(A, kept);
    ASSERT_EQ(c.size(), kept.size());
    double ref_ldet = 0;
    for (double v : c) ref_ldet += 2 * std::log(v);
    EXPECT_NEAR(ldet, ref_ldet, 1e-10 * (1 + std::fabs(ref_ldet)));

    // Sparse right-hand sides: a few unit-free entries, all wanted entries
    // at the same rows, and at other rows, match the full solve.
    std::vector<word> rows;
    std::vector<double> vals;
    for (int i = 1; i <= n; ++i)
      if (u(rng) > 0.6 || i == n / 2 + 1) {
        rows.push_back(i);
        vals.push_back(u(rng));
      }
    std::vector<double> bs(n, 0.0);
    for (std::size_t k = 0; k < rows.size(); ++k) bs[rows[k] - 1] = vals[k];
    const std::vector<double> xs = full_solve(F, bs);
    const std::vector<double> at_rows = sparse_solve(F, rows, vals, {});
    for (std::size_t k = 0; k < rows.size(); ++k)
      EXPECT_NEAR(at_rows[k], xs[rows[k] - 1], 1e-12 * (1 + std::fabs(xs[rows[k] - 1])));
    std::vector<word> want;
    for (int i = n; i >= 1; i -= 3) want.push_back(i);
    const std::vector<double> at_want = sparse_solve(F, rows, vals, want);
    for (std::size_t k = 0; k < want.size(); ++k)
      EXPECT_NEAR(at_want[k], xs[want[k] - 1], 1e-12 * (1 + std::fabs(xs[want[k] - 1])));
  }
}

TEST(Checkst, RecordsLargestNeedAndFlagsShortage) {
  std::int64_t largest = 10;
  word flag = 0;
  checkst(40, 8, largest, 100, flag);
  EXPECT_EQ(largest, 10);
  EXPECT_EQ(flag, 0);
  checkst(40, 100, largest, 100, flag);
  EXPECT_EQ(largest, 100);
  EXPECT_EQ(flag, 0);
  checkst(52, 101, largest, 100, flag);
  EXPECT_EQ(flag, 5201);
  // A need beyond the range of a word is still a shortage.
  flag = 0;
  checkst(20, (std::int64_t{1} << 33) + 5, largest, 2147483647, flag);
  EXPECT_EQ(flag, 2001);
  EXPECT_EQ(largest, (std::int64_t{1} << 33) + 5);
  // A later success leaves an earlier flag alone.
  checkst(10, 1, largest, 100, flag);
  EXPECT_EQ(flag, 2001);
}

TEST(Checkb, LinesAndVerdict) {
  // A = [[4, 2], [2, 3]] plus an empty third row; b = A (1, 1, 0).
  const std::vector<word> ia = {1, 3, 4, 4}, ja = {1, 2, 2};
  const std::vector<double> a = {4, 2, 3};
  const std::vector<double> b = {6, 5, 1};
  std::vector<double> t(3);
  {
    const std::vector<double> x = {1, 1, 0};
    word flag = 0;
    const std::string out = written([&](std::FILE* f) {
      checkb(3, cview(ia), cview(ja), cview(a), cview(x), cview(b), 1e-8, view(t), f, flag);
    });
    // The empty row's mismatch is not counted.
    EXPECT_EQ(out, " 1 6 6\n 2 5 5\n 3 0 1\n");
    EXPECT_EQ(flag, 0);
  }
  {
    const std::vector<double> x = {1, 1.5, 0};
    word flag = 0;
    const std::string out = written([&](std::FILE* f) {
      checkb(3, cview(ia), cview(ja), cview(a), cview(x), cview(b), 1e-8, view(t), f, flag);
    });
    // Deviations 1 and 1.5 over n = 3 rows.
    EXPECT_EQ(out,
              " 1 7 6\n 2 6.5 5\n 3 0 1\n ERROR in CHECKB: not accurate solution\n"
              " observed deviation =  0.8333333333333333\n maximum allowed    =  1e-08\n");
    EXPECT_EQ(flag, 1);
  }
}

TEST(CountNza, OffDiagonalsAndEmptyRows) {
  const std::vector<word> ia = {1, 3, 3, 4, 4}, ja = {1, 3, 3};
  std::string out = written([&](std::FILE* f) {
    EXPECT_EQ(count_nza(4, cview(ia), cview(ja), f), 1);
  });
  EXPECT_EQ(out, " WARNING!  2  empty rows\n");
  const std::vector<word> ia2 = {1, 2, 3}, ja2 = {1, 2};
  out = written([&](std::FILE* f) { EXPECT_EQ(count_nza(2, cview(ia2), cview(ja2), f), 0); });
  EXPECT_EQ(out, "");
}

// The report with the digits of its time lines masked.
std::string masked_report(word n, std::int64_t available, const Stats& st, word rank) {
  const std::string s =
      written([&](std::FILE* f) { figureout(n, available, f, st, rank); });
  return std::regex_replace(s, std::regex("(TIME[^=]*=) *[0-9]+\\.[0-9]{6}"), "$1 #");
}

const char* const banner =
    "               **************\n"
    "               **** ZANTO ***\n"
    "               **************\n"
    "\n"
    "              SPARSE STATISTICS\n";
const char* const times =
    "      TOTAL CPU TIME IN ZANTO = #\n"
    "      TIME FOR FINDING ORDER  = #\n"
    "      TIME FOR SYMBOLIC FAC   = #\n"
    "      TIME FOR NUMERICAL FAC  = #\n"
    "      TIME FOR SOLVE          = #\n"
    "      TIME FOR SPARSE SOLVE   = #\n"
    "      TIME FOR SPARSE INVERSE = #\n";

TEST(Figureout, ReportAfterAScriptedSequence) {
  // The star of order 4 with unit diagonal (7 stored elements, rank 3:
  // the centre's pivot is dropped) taken through ordering,
  // symbolic and numeric factorisation, two full solves, a determinant and
  // two sparse solves, with the record kept as the driver keeps it.
  const Csr m = from_pairs(4, {{1, 2}, {1, 3}, {1, 4}});
  Stats st;
  const float t0 = second();
  Factored F = factorise(m);
  const float t1 = second();
  st.nze = m.nze();
  st.nofsub = F.maxsub;
  st.maxlnz = F.maxlnz;
  word flag = 0;
  checkst(10, 7 * 4 + 2 + 2 * st.nze, st.max_need, 500, flag);
  checkst(20, 8 * 4 + 4 + F.nofsub + 2 * st.nze, st.max_need, 500, flag);
  EXPECT_EQ(flag, 0);
  st.t_order += t1 - t0;
  st.n_numeric += 1;
  for (int k = 0; k < 2; ++k) {
    full_solve(F, {1, 2, 3, 4});
    st.n_solve += 1;
  }
  st.n_det += 1;
  const std::vector<double> v = {1, 1};
  sparse_solve(F, {2, 3}, v, {});
  sparse_solve(F, {4}, {1}, {1, 2});
  st.n_sparse_solve = 2;
  st.max_nf = 2;
  st.max_path = 3;
  st.sum_nf = 3;
  st.sum_nb = 5;
  st.sum_fpath = 5;
  st.sum_bpath = 6;
  st.t_total = second() - t0;

  const std::string expected =
      std::string(banner) +
      "      DIMENSION OF MATRIX     =                        4\n"
      "      RANK                    =                        3\n"
      "      STORAGE AVAILABLE       =                      500\n"
      "      MAXIMUM NEEDED          =                       53\n"
      "      NZE IN UPPER TRIANGULAR =                       11\n"
      "      NZE IN FACTOR           =                        3\n"
      "      NO. OF CALLS NUM FACT   =                        1\n"
      "      NO. OF CALLS SOLVE      =                        2\n"
      "      NO. OF CALLS SPARS SOLV =                        2\n"
      "      NO. OF CALLS DET / LDET =                        1\n"
      "      NO. OF CALLS SPARS INV  =                        0\n"
      "      MAX NO. NODES           =                        2\n"
      "      MAX PATH LENGTH         =                        3\n"
      "      AVG NO. NODES FPATH     =                    1.500\n"
      "      AVG NO. NODES BPATH     =                    2.500\n"
      "      AVG FPATH LENGTH        =                    2.500\n"
      "      AVG BPATH LENGTH        =                    3.000\n" +
      times;
  EXPECT_EQ(masked_report(4, 500, st, F.rank), expected);
}

TEST(Figureout, NoSparseSolveLeavesOutThePathLines) {
  Stats st;
  st.nze = 3;
  st.t_total = 1.25;
  const std::string s = written([&](std::FILE* f) { figureout(2, 100, f, st, 1); });
  EXPECT_EQ(s.find("MAX NO. NODES"), std::string::npos);
  EXPECT_NE(s.find("      TOTAL CPU TIME IN ZANTO =                 1.250000\n"), std::string::npos);
  EXPECT_EQ(s.find(std::string(banner) + "      DIMENSION OF MATRIX     =                        2\n"), 0u);
  EXPECT_NE(s.find("      NZE IN UPPER TRIANGULAR =                        5\n"
                   "      NZE IN FACTOR           =                        0\n"),
            std::string::npos);
}

TEST(Second, ProcessTimeDoesNotRunBackwards) {
  const float a = second();
  volatile double s = 0;
  for (int i = 0; i < 200000; ++i) s = s + std::sqrt(static_cast<double>(i));
  const float b = second();
  EXPECT_GE(a, 0.0f);
  EXPECT_GE(b, a);
}

}  // namespace
