// The keyword interface: its state machine, the growth of the work space,
// the messages at each message level, and its refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <random>
#include <regex>
#include <span>
#include <string>
#include <vector>

#include "driver_support.hpp"
#include "util/array.hpp"

using namespace zantotest;
using zanto::word;

namespace {

class Interface : public PackageTest {};

// A matrix the test owns, with the 1-based accessors of the program's
// compressed rows, lent to the package as its view.
struct Ija {
  word n = 0, nel = 0;
  util::vec1<word> ia, ja;
  util::vec1<double> a;
  operator zanto::Matrix() {
    const auto len = [](long size) { return static_cast<std::size_t>(size); };
    return {n, nel, std::span<word>(ia.data(), len(ia.size())), std::span<word>(ja.data(), len(ja.size())),
            std::span<double>(a.data(), len(a.size()))};
  }
};

Ija to_ija(const Csr& m) {
  Ija fs;
  fs.n = m.n;
  fs.nel = m.nze();
  fs.ia.resize(m.n + 1);
  fs.ja.resize(m.nze());
  fs.a.resize(m.nze());
  for (word i = 1; i <= m.n + 1; ++i) fs.ia(i) = m.ia[i - 1];
  for (word k = 1; k <= m.nze(); ++k) {
    fs.ja(k) = m.ja[k - 1];
    fs.a(k) = m.a[k - 1];
  }
  return fs;
}

Dense test_matrix(int n, unsigned seed, double density = 0.2) {
  std::mt19937 rng(seed);
  return random_spd(n, density, rng);
}

std::vector<double> rhs(int n) {
  std::vector<double> b(n);
  for (int i = 0; i < n; ++i) b[i] = 1.0 + 0.5 * i;
  return b;
}

// Solves through "sol" with the 64-bit pair at message level msglev.
std::vector<double> solve(Ija& fs, const std::vector<double>& b, word msglev,
                          std::string* out = nullptr) {
  std::vector<double> x(b.size(), -1.0);
  zanto::Optional o;
  o.rs8 = b;
  o.sol8 = x;
  o.msglev = msglev;
  const std::string text = captured([&] { zanto::zanto90r4("solve", fs, o); });
  if (out) *out = text;
  return x;
}

int count_of(const std::string& s, const std::string& what) {
  int c = 0;
  for (std::size_t p = s.find(what); p != std::string::npos; p = s.find(what, p + 1)) ++c;
  return c;
}

}  // namespace

TEST_F(Interface, FirstSolveGrowsTheWorkSpaceStepByStep) {
  const int n = 30;
  const Dense A = test_matrix(n, 1);
  Ija fs = to_ija(from_dense(A));
  std::string out;
  const std::vector<double> x = solve(fs, rhs(n), 1, &out);
  const std::vector<double> ref = lapack_solve(A, all_rows(n), rhs(n));
  for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], ref[i], 1e-12);

  // Each line takes the space from where the previous one left it.
  const std::regex line(" memory increased from: (\\d+)  to: (\\d+)\n");
  long from = 100, lines = 0;
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it, ++lines) {
    EXPECT_EQ(std::stol((*it)[1]), from);
    EXPECT_GT(std::stol((*it)[2]), from);
    from = std::stol((*it)[2]);
  }
  EXPECT_GE(lines, 3);  // the ordering, symbolic and numeric steps each outgrow 100 words
  const auto& s = zanto::interface_state();
  EXPECT_EQ(s.status, 2);
  EXPECT_EQ(s.memory, from);
  EXPECT_EQ(static_cast<long>(s.work.size()), 2 * (from / 2 + 1));
  EXPECT_TRUE(std::filesystem::exists("zanto90.ord"));

  // At level 0 the same growth prints nothing.
  zanto::zanto90r4("reset", fs);
  solve(fs, rhs(n), 0, &out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(zanto::interface_state().memory, from);
}

TEST_F(Interface, StepsRerunOnlyWhatTheyMust) {
  // Every element stored, so that the inverse on the pattern is the whole
  // inverse.
  const int n = 25;
  const Dense A = test_matrix(n, 2, 1.0);
  Ija fs = to_ija(from_dense(A));
  const auto& st = zanto::driver_state().stats;
  std::string out;
  const std::string ord = " ordering time =", sym = " symbolic factorization time=",
                    num = " numerical factorization time=", inv = " inversion time=";

  // Every attempt prints its line, also one that asks for more space.
  solve(fs, rhs(n), 2, &out);
  const int grown = count_of(out, "memory increased");
  EXPECT_GE(count_of(out, ord), 1);
  EXPECT_EQ(count_of(out, ord) + count_of(out, sym) + count_of(out, num), 3 + grown);

  // A second solve: only the solve.
  solve(fs, rhs(n), 2, &out);
  EXPECT_EQ(out, "");
  EXPECT_EQ(st.n_numeric, 1);
  EXPECT_EQ(st.n_solve, 2);

  // "fac": only the numeric factorisation.
  out = captured([&] {
    zanto::Optional o;
    o.msglev = 2;
    zanto::zanto90r4("fac", fs, o);
  });
  EXPECT_EQ(count_of(out, num), 1);
  EXPECT_EQ(count_of(out, ord) + count_of(out, sym), 0);
  EXPECT_EQ(st.n_numeric, 2);
  EXPECT_EQ(zanto::interface_state().status, 2);

  // "inv" on a ready factor: only the inverse; the state drops to 1.
  out = captured([&] {
    zanto::Optional o;
    o.msglev = 2;
    zanto::zanto90r4("inverse", fs, o);
  });
  EXPECT_EQ(count_of(out, inv), 1);
  EXPECT_EQ(count_of(out, num), 0);
  EXPECT_EQ(zanto::interface_state().status, 1);
  const Dense Z = lapack_inverse(A, all_rows(n));
  for (word i = 1; i <= n; ++i)
    for (word k = fs.ia(i); k < fs.ia(i + 1); ++k)
      EXPECT_NEAR(fs.a(k), Z[i - 1][fs.ja(k) - 1], 1e-12);

  // "sol" after "inv" factorises again, now the matrix holding the inverse:
  // its solution is A b.
  const std::vector<double> x = solve(fs, rhs(n), 2, &out);
  EXPECT_EQ(count_of(out, num), 1);
  EXPECT_EQ(count_of(out, ord), 0);
  for (int i = 0; i < n; ++i) {
    double ab = 0;
    for (int j = 0; j < n; ++j) ab += A[i][j] * rhs(n)[j];
    EXPECT_NEAR(x[i], ab, 1e-9 * (1 + std::fabs(ab)));
  }

  // Another (smaller) order: ordering and symbolic factorisation again, in
  // the space already there.
  const long memory = zanto::interface_state().memory;
  const Dense B = test_matrix(10, 3);
  Ija small = to_ija(from_dense(B));
  const std::vector<double> y = solve(small, rhs(10), 2, &out);
  EXPECT_EQ(count_of(out, ord), 1);
  EXPECT_EQ(count_of(out, sym), 1);
  EXPECT_EQ(count_of(out, num), 1);
  EXPECT_EQ(count_of(out, "memory increased"), 0);
  EXPECT_EQ(zanto::interface_state().memory, memory);
  const std::vector<double> yref = lapack_solve(B, all_rows(10), rhs(10));
  for (int i = 0; i < 10; ++i) EXPECT_NEAR(y[i], yref[i], 1e-12);
}

TEST_F(Interface, InvertThenResetAndResetOnAFreshState) {
  Ija fs = to_ija(from_dense({{4, 2}, {2, 3}}));
  zanto::zanto90r4("reset", fs);
  auto& s = zanto::interface_state();
  EXPECT_EQ(s.status, -1);
  EXPECT_EQ(s.memory, 100);
  EXPECT_TRUE(s.work.empty());

  // What the block preconditioner sends.
  const std::string out = captured([&] {
    zanto::zanto90r4("invert", fs);
    zanto::zanto90r4("reset", fs);
  });
  EXPECT_EQ(out, "");
  EXPECT_NEAR(fs.a(1), 0.375, 1e-15);
  EXPECT_NEAR(fs.a(2), -0.25, 1e-15);
  EXPECT_NEAR(fs.a(3), 0.5, 1e-15);
  EXPECT_EQ(fs.ja(1), 1);
  EXPECT_EQ(fs.ja(2), 2);
  EXPECT_EQ(s.status, -1);
  EXPECT_EQ(s.memory, 100);
  EXPECT_TRUE(s.work.empty());

  // The next call starts from scratch: 51 reals, enough for this matrix.
  std::string grown;
  solve(fs, {1.0, 1.0}, 1, &grown);
  EXPECT_EQ(grown, "");
  EXPECT_EQ(s.status, 2);
  EXPECT_EQ(s.work.size(), 102u);
}

TEST_F(Interface, SolutionPairsAndTheirRefusals) {
  const Dense A = {{4, 1, 0}, {1, 3, 1}, {0, 1, 2}};
  Ija fs = to_ija(from_dense(A));
  const std::vector<double> b8 = {1, 2, 3};
  const std::vector<float> b4 = {3, 2, 1};
  const std::vector<double> ref8 = lapack_solve(A, all_rows(3), b8);
  const std::vector<double> ref4 = lapack_solve(A, all_rows(3), {3, 2, 1});

  // All four present: the 64-bit pair is used, the 32-bit solution untouched.
  std::vector<double> x8(3, 0.0);
  std::vector<float> x4(3, -9.0f);
  zanto::Optional o;
  o.rs = b4;
  o.sol = x4;
  o.rs8 = b8;
  o.sol8 = x8;
  word rank = -1;
  o.rank = &rank;
  zanto::zanto90r4("sol", fs, o);
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(x8[i], ref8[i], 1e-14);
  EXPECT_EQ(x4, std::vector<float>(3, -9.0f));
  EXPECT_EQ(rank, 3);

  // The 32-bit pair alone, through the factor already there.
  zanto::Optional o4;
  o4.rs = b4;
  o4.sol = x4;
  zanto::zanto90r4("sol", fs, o4);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(x4[i], static_cast<float>(ref4[i]));

  // zanto90r8.
  std::vector<double> y8(3, 0.0);
  zanto::zanto90r8("sol", fs, b8, y8);
  EXPECT_EQ(y8, x8);

  struct Case {
    const char* what;
    zanto::Optional o;
    std::string stop;
  };
  std::vector<double> short8(2);
  std::vector<Case> cases;
  {
    zanto::Optional c;
    cases.push_back({"none", c, " ZANTO90: optional parameter SOL or RS missing"});
    c.rs8 = b8;
    c.sol = x4;  // crossed pair
    cases.push_back({"crossed", c, " ZANTO90: optional parameter SOL or RS missing"});
    zanto::Optional d;
    d.rs8 = b8;
    d.sol8 = short8;
    cases.push_back({"short solution", d,
                     " ZANTO90: solution of length 2 shorter than the order 3"});
    zanto::Optional e;
    e.rs8 = short8;
    e.sol8 = x8;
    cases.push_back({"short right-hand side", e,
                     " ZANTO90: right-hand side of length 2 shorter than the order 3"});
  }
  for (const Case& c : cases) {
    EXPECT_EQ(stop_message([&] { zanto::zanto90r4("sol", fs, c.o); }), c.stop) << c.what;
  }
  EXPECT_EQ(short8, std::vector<double>(2, 0.0));
}

TEST_F(Interface, MessagesOfTheOperationsAndLevels) {
  const Dense A = {{4, 1, 0}, {1, 3, 1}, {0, 1, 2}};
  Ija fs = to_ija(from_dense(A));
  auto& s = zanto::interface_state();

  struct Case {
    const char* op;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"FAC", " ZANTO90 operation FAC unknown\n"},
      {"factorize_not", ""},  // "fac" is enough; nothing printed at level 0
      {"de", " ZANTO90 operation de unknown\n"},
      {"det", " ZANTO90: optional parameter DET missing\n"},
      {"ldet", " ZANTO90: optional parameter DET misiing\n"},
  };
  zanto::zanto90r4("reset", fs);
  for (const Case& c : cases) {
    const word before = s.status;
    EXPECT_EQ(captured([&] { zanto::zanto90r4(c.op, fs); }), c.out) << c.op;
    if (c.out != "") {
      EXPECT_EQ(s.status, before) << c.op;
    }
  }
  EXPECT_EQ(s.status, 2);

  double det = 0;
  zanto::Optional o;
  o.det = &det;
  zanto::zanto90r4("det", fs, o);
  EXPECT_NEAR(det, 4 * (3 * 2 - 1) - 1 * 2, 1e-12);
  zanto::zanto90r4("ldet", fs, o);
  EXPECT_NEAR(det, std::log(18.0), 1e-12);

  // Level 3 adds the size line after the ordering.
  zanto::zanto90r4("reset", fs);
  zanto::Optional l3;
  l3.msglev = 3;
  const std::string out = captured([&] { zanto::zanto90r4("fac", fs, l3); });
  EXPECT_NE(out.find(" ZANTO90: size= 3   #nonzeroes= 5\n"), std::string::npos);
  EXPECT_LT(out.find(" ZANTO90: size="), out.find(" ordering time ="));

  // "sta" reports whatever the state, and changes nothing.
  zanto::zanto90r4("reset", fs);
  const std::string report = captured([&] { zanto::zanto90r4("statistics", fs); });
  EXPECT_NE(report.find("              SPARSE STATISTICS"), std::string::npos);
  EXPECT_EQ(s.status, -1);
}

TEST_F(Interface, MemoryLimitStopsWithoutEnlarging) {
  const Dense A = test_matrix(12, 4);
  Ija fs = to_ija(from_dense(A));
  const word nze = fs.nel;
  zanto::Optional o;
  o.maxmem = 50;
  o.msglev = 1;
  std::string msg;
  const std::string out = captured([&] { msg = stop_message([&] { zanto::zanto90r4("fac", fs, o); }); });
  EXPECT_EQ(out, "");
  EXPECT_EQ(msg, " ZANTO90: memory needed: " + std::to_string(7 * 12 + 2 + 2 * nze) +
                     "\n          maxmimum memory allowed: 50");
  EXPECT_EQ(zanto::interface_state().memory, 100);
  EXPECT_EQ(zanto::interface_state().work.size(), 102u);
}

TEST_F(Interface, InconsistentMatrixIsRefusedBeforeAnyStep) {
  struct Case {
    const char* what;
    void (*spoil)(Ija&);
  };
  const Case cases[] = {
      {"column above the order", [](Ija& f) { f.ja(2) = 4; }},
      {"column 0", [](Ija& f) { f.ja(3) = 0; }},
      {"row starts past the arrays", [](Ija& f) { f.ia(4) = 9; }},
      {"row starts decreasing", [](Ija& f) { f.ia(2) = 6; }},
      {"empty row, a pair twice", [](Ija& f) { f.ia(2) = 5; }},
      {"diagonal not first", [](Ija& f) { std::swap(f.ja(1), f.ja(2)); }},
      {"pair in both rows", [](Ija& f) { f.ja(4) = 1; }},
  };
  for (const Case& c : cases) {
    Ija fs = to_ija(from_dense({{4, 1, 0}, {1, 3, 1}, {0, 1, 2}}));
    c.spoil(fs);
    EXPECT_EQ(stop_message([&] { zanto::zanto90r4("fac", fs); }),
              " ZANTO90: matrix of order 3 with inconsistent arrays")
        << c.what;
    EXPECT_FALSE(std::filesystem::exists("zanto90.ord")) << c.what;
    zanto::zanto90r4("reset", fs);
  }
  // The report needs no matrix at all.
  Ija none;
  const std::string report = captured([&] { zanto::zanto90r4("sta", none); });
  EXPECT_NE(report.find("      DIMENSION OF MATRIX     =                        0"),
            std::string::npos);
}
