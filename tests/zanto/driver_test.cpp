// The package driver: the ordering file and its round trip, the storage
// check of each option, solves, determinants, the residual check and the
// refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "driver_support.hpp"

using namespace zantotest;
using zanto::word;

namespace {

class Driver : public PackageTest {};

// A 12 x 12 positive definite matrix: a chain with two chords.
Csr twelve() {
  Dense A(12, std::vector<double>(12, 0.0));
  for (int i = 0; i < 12; ++i) A[i][i] = 4;
  for (auto [i, j] : std::vector<std::pair<int, int>>{{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6},
                                                      {6, 7}, {7, 8}, {8, 9}, {9, 10}, {10, 11},
                                                      {11, 12}, {1, 7}, {3, 10}})
    A[i - 1][j - 1] = A[j - 1][i - 1] = -1;
  return from_dense(A);
}

std::string i7(const std::vector<word>& v, std::size_t from, std::size_t count) {
  std::string s;
  char buf[16];
  for (std::size_t k = from; k < from + count; ++k) {
    std::snprintf(buf, sizeof buf, "%7d", v[k]);
    s += buf;
  }
  return s;
}

std::vector<word> region(Pkg& p, word first, word len) {
  return std::vector<word>(p.work.begin() + first - 1, p.work.begin() + first - 1 + len);
}

}  // namespace

TEST_F(Driver, OrderingFileLayoutAndRoundTrip) {
  // Stale text in the file is replaced, not left after the ordering.
  { std::ofstream("zanto90.ord") << std::string(400, 'x') << "\n"; }
  Pkg p(twelve(), 200);
  std::FILE* f = std::fopen("zanto90.ord", "r+");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(p.call(10, nullptr, f), 0);
  std::fclose(f);
  const word nofsub = static_cast<word>(zanto::driver_state().stats.nofsub);
  EXPECT_GT(nofsub, 0);
  std::vector<word> both = region(p, 1, 24);  // perm, then invp
  EXPECT_TRUE(is_permutation_pair(std::vector<word>(both.begin(), both.begin() + 12),
                                  std::vector<word>(both.begin() + 12, both.end())));
  const std::string expect = " 12 " + std::to_string(nofsub) + "\n" + i7(both, 0, 10) + "\n" +
                             i7(both, 10, 10) + "\n" + i7(both, 20, 4) + "\n";
  EXPECT_EQ(read_file("zanto90.ord"), expect);

  // Read back into a cleared work array.
  Pkg q(twelve(), 200);
  zanto::driver_state().stats.nofsub = -5;
  f = std::fopen("zanto90.ord", "r");
  EXPECT_EQ(q.call(70, nullptr, f), 0);
  std::fclose(f);
  EXPECT_EQ(region(q, 1, 24), both);
  EXPECT_EQ(zanto::driver_state().stats.nofsub, nofsub);
  // The ordering read back factorises like the one computed.
  EXPECT_EQ(q.step(20), 0);
  EXPECT_EQ(q.step(40), 0);
  EXPECT_EQ(q.rank, 12);
}

TEST_F(Driver, OrderingFileRefusals) {
  Pkg p(twelve(), 200);
  std::FILE* f = std::fopen("zanto90.ord", "w+");
  ASSERT_EQ(p.call(10, nullptr, f), 0);
  std::fclose(f);
  const std::string good = read_file("zanto90.ord");
  const std::vector<word> kept = region(p, 1, 24);

  struct Case {
    const char* what;
    std::string text;
    word n;
    word flag;
    std::string out;
  };
  const std::string five_lines =
      " incorrect size of permutation vector\n size  12  found; size  5  required\n";
  std::vector<word> bad = kept;  // two entries of perm exchanged: invp disagrees
  std::swap(bad[0], bad[1]);
  const std::string swapped = " 12 40\n" + i7(bad, 0, 10) + "\n" + i7(bad, 10, 10) + "\n" +
                              i7(bad, 20, 4) + "\n";
  const std::vector<Case> cases = {
      {"another order", good, 5, -1, five_lines},
      {"empty", "", 12, -1, ""},
      {"header only", " 12 40\n", 12, -1, ""},
      {"short", good.substr(0, good.rfind('\n', good.size() - 2) + 1), 12, -1, ""},
      {"letters", " 12 40\n" + std::string(7, ' ') + "    abc\n", 12, -1, ""},
      {"not a permutation", swapped, 12, -1, ""},
      {"header not a number", "twelve 40\n", 12, -1, ""},
  };
  for (const Case& c : cases) {
    { std::ofstream("bad.ord") << c.text; }
    Csr m = c.n == 12 ? twelve() : from_pairs(5, {{1, 2}});
    Pkg q(m, 200);
    std::copy(kept.begin(), kept.end(), q.work.begin());
    std::FILE* b = std::fopen("bad.ord", "r");
    word flag = 0;
    const std::string out = written([&](std::FILE* iout) { flag = q.call(70, iout, b); });
    std::fclose(b);
    EXPECT_EQ(flag, c.flag) << c.what;
    EXPECT_EQ(out, c.out) << c.what;
    if (c.n == 12) {
      EXPECT_EQ(region(q, 1, 24), kept) << c.what;  // left as it was
    }
  }
  // No unit to read from.
  Pkg q(twelve(), 200);
  word flag = 0;
  const std::string out = written([&](std::FILE* iout) { flag = q.call(70, iout, nullptr); });
  EXPECT_EQ(flag, -2);
  EXPECT_EQ(out, " error in unit IOOR \n");
}

TEST_F(Driver, StorageCheckOfEachOption) {
  std::mt19937 rng(11);
  const Csr m = from_dense(random_spd(20, 0.2, rng));
  const zanto::word n = m.n, nze = m.nze();
  Pkg p(m, 100000);
  const auto& st = zanto::driver_state().stats;
  // need from the sizes found so far, for each option in the order run.
  const auto need_of = [&](word option) -> std::int64_t {
    const zanto::Layout l = zanto::layout(n, st.nofsub, st.maxlnz);
    const std::int64_t f = l.f;
    switch (option) {
      case 10: return 7 * n + 2 + 2 * nze;
      case 20: return 8 * n + 4 + st.nofsub + 2 * nze;
      case 40: {
        const std::int64_t h = zanto::odd(f + n + 1 + nze), k = zanto::odd(h + 2 * nze);
        return k + 2 * n;
      }
      case 51: return zanto::odd(f + 2 * n) + 2 * n + 1 + 200;  // nf = 0
      case 61: return f + 5 * n + nze;
      case 60: {
        const std::int64_t mm = st.maxlnz;
        const std::int64_t z2 = zanto::odd(f + mm + n), z3 = zanto::odd(z2 + 2 * (mm + n));
        const std::int64_t z7 = z3 + 2 * n + n + 1 + mm + n + n;
        return zanto::odd(z7 + n) + 2 * n;
      }
    }
    return -1;
  };
  for (word option : {10, 20, 40, 51, 61, 60}) {
    const std::int64_t need = need_of(option);
    const std::vector<word> before = p.work;
    const Csr mat_before = p.m;
    // The ordering file is not touched either.
    std::FILE* f = std::fopen("zanto90.ord", "w+");
    const word flag = p.call(option, nullptr, f, need - 1);
    std::fclose(f);
    EXPECT_EQ(read_file("zanto90.ord"), "") << option;
    EXPECT_EQ(flag, option * 100 + 1) << option;
    EXPECT_EQ(p.need, need) << option;
    EXPECT_GE(st.max_need, need) << option;
    EXPECT_EQ(p.work, before) << option;  // nothing written
    EXPECT_EQ(p.m.a, mat_before.a) << option;
    if (option == 60) {
      p.m.ja.resize(2 * nze - n);
      p.m.a.resize(2 * nze - n);
    }
    EXPECT_EQ(p.call(option, nullptr, nullptr, need), 0) << option;
    if (option == 61) {
      EXPECT_EQ(p.step(40), 0);  // the inverse consumed the factor
    }
  }
  EXPECT_EQ(p.m.ia[n] - 1, 2 * nze - n);
}

TEST_F(Driver, SolvesDeterminantsAndCheck) {
  std::mt19937 rng(23);
  const int n = 25;
  const Dense A = random_spd(n, 0.15, rng);
  Pkg p(from_dense(A));
  p.factorise();
  std::vector<double> b(n);
  for (int i = 0; i < n; ++i) b[i] = std::sin(i + 1.0);
  const std::vector<double> x = lapack_solve(A, all_rows(n), b);

  p.sol = b;
  EXPECT_EQ(p.call(50), 0);
  for (int i = 0; i < n; ++i) EXPECT_NEAR(p.sol[i], x[i], 1e-12);
  const std::vector<double> solved = p.sol;

  const std::vector<double> d = lapack_chol_diag(A, all_rows(n));
  double det = 1, ldet = 0;
  for (double v : d) {
    det *= v * v;
    ldet += 2 * std::log(v);
  }
  EXPECT_EQ(p.call(54), 0);
  EXPECT_NEAR(p.sol[0], det, 1e-10 * std::fabs(det));
  EXPECT_EQ(p.call(55), 0);
  EXPECT_NEAR(p.sol[0], ldet, 1e-10 * std::fabs(ldet));

  // The residual check: the solution passes, a spoilt one does not.
  const auto check = [&](std::vector<double> s) {
    p.sol = s;
    word flag = -5, scratch = 0;
    written([&](std::FILE* iout) {
      zanto::zanto(56, n, zanto::view(p.m.ia), zanto::view(p.m.ja), zanto::view(p.m.a),
                   zanto::view(p.sol), flag, iout, nullptr, p.work.size(), p.need,
                   zanto::view(p.work), zanto::civec(&scratch, 1), zanto::civec(&scratch, 1), 0, 0,
                   zanto::cview(b), 0, p.rank);
    });
    return flag;
  };
  EXPECT_EQ(check(solved), 0);
  std::vector<double> bad = solved;
  bad[3] += 1.0;
  EXPECT_EQ(check(bad), 1);

  // Sparse right-hand side at two rows: the solution at those rows (same =
  // 1), or at three other rows.
  const std::vector<word> listf = {3, 7}, listb = {1, 5, 9};
  const std::vector<double> vals = {1.0, -2.0};
  std::vector<double> full(n, 0.0);
  full[2] = 1.0;
  full[6] = -2.0;
  const std::vector<double> xs = lapack_solve(A, all_rows(n), full);
  const auto sparse = [&](word option, word same) {
    word f = -5, scratch = 0;
    zanto::zanto(option, n, zanto::view(p.m.ia), zanto::view(p.m.ja), zanto::view(p.m.a),
                 zanto::view(p.sol), f, nullptr, nullptr, p.work.size(), p.need,
                 zanto::view(p.work), zanto::cview(listf), zanto::cview(listb), 2, 3,
                 zanto::cview(vals), same, p.rank);
    (void)scratch;
    return f;
  };
  p.work.resize(p.work.size() + 400);
  EXPECT_EQ(sparse(51, 1), 0);
  p.sol.assign(n, 0.0);
  EXPECT_EQ(sparse(52, 1), 0);
  EXPECT_NEAR(p.sol[0], xs[2], 1e-12);
  EXPECT_NEAR(p.sol[1], xs[6], 1e-12);
  EXPECT_EQ(sparse(52, 0), 0);
  EXPECT_NEAR(p.sol[0], xs[0], 1e-12);
  EXPECT_NEAR(p.sol[1], xs[4], 1e-12);
  EXPECT_NEAR(p.sol[2], xs[8], 1e-12);

  const auto& st = zanto::driver_state().stats;
  EXPECT_EQ(st.n_numeric, 1);
  EXPECT_EQ(st.n_solve, 1);
  EXPECT_EQ(st.n_det, 2);
  EXPECT_EQ(st.n_sparse_solve, 2);
  EXPECT_EQ(st.sum_nf, 4);
  EXPECT_EQ(st.sum_nb, 6);
  EXPECT_EQ(st.max_nf, 2);
  EXPECT_GE(st.max_path, 3);
  EXPECT_GT(st.sum_fpath, 0);
}

TEST_F(Driver, RefusalsAndReport) {
  Pkg p(from_dense({{4, 2}, {2, 3}}));
  word flag = 0;
  std::string out = written([&](std::FILE* iout) { flag = p.call(99, iout); });
  EXPECT_EQ(flag, -99);
  EXPECT_EQ(out, " option no.  99  not implemented\n");

  // The full-storage inverse without room in the matrix arrays: refused,
  // nothing written.
  p.factorise();
  const Csr before = p.m;
  out = written([&](std::FILE* iout) { flag = p.call(60, iout); });
  EXPECT_EQ(flag, -3);
  EXPECT_EQ(out, " option 60: room for 4 matrix elements needed; 3 given\n");
  EXPECT_EQ(p.m.a, before.a);
  EXPECT_EQ(p.m.ja, before.ja);
  EXPECT_EQ(p.m.ia, before.ia);

  out = written([&](std::FILE* iout) { flag = p.call(80, iout); });
  EXPECT_EQ(flag, 0);
  EXPECT_NE(out.find("      DIMENSION OF MATRIX     =                        2"), std::string::npos);
  EXPECT_NE(out.find("      RANK                    =                        2"), std::string::npos);
  EXPECT_NE(out.find("      NO. OF CALLS NUM FACT   =                        1"), std::string::npos);
}
