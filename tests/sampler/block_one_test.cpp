// The one-equation draw forms the variance from the first element of the row
// before the row is summed; any row whose layout breaks that assumption (the
// diagonal later, twice, or absent; an empty row) and any pivot it cannot
// take must still leave exactly what the general calls leave.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "random/rangen.hpp"
#include "sampler/block_pass.hpp"
#include "rows_support.hpp"
#include "stop_capture.hpp"

namespace {

using sparsem::sparse_ija;

using rowstest::Entry;
using rowstest::rows_of;

struct Left {
  std::vector<std::uint64_t> rhs, sol;
  std::string out;
  bool number = false;
  rangen::i32 seed1 = 0, seed2 = 0;
  std::uint64_t uniforms = 0;
};

std::vector<std::uint64_t> bits(const util::vec1<double>& v) {
  std::vector<std::uint64_t> b;
  for (long i = v.lo(); i <= v.hi(); ++i) {
    std::uint64_t u = 0;
    // Any NaN matches any other: a draw that is not a number stops the run.
    if (!std::isnan(v(i))) std::memcpy(&u, &v(i), sizeof u);
    else u = 1;
    b.push_back(u);
  }
  return b;
}

template <class F>
Left draw_with(const sparse_ija& A, int i, F&& draw) {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setcgn(1);
  rangen::setall(97531, 8642);
  util::vec1<double> rhs(A.n), sol(A.n);
  for (int q = 1; q <= A.n; ++q) {
    rhs(q) = 0.8 - 0.13 * q;
    sol(q) = 0.2 + 0.31 * q;
  }
  Left l;
  const std::uint64_t before = rangen::uniform_draws();
  l.out = testsupport::captured([&] { l.number = draw(A, rhs, sol, i); });
  l.uniforms = rangen::uniform_draws() - before;
  rangen::getsd(l.seed1, l.seed2);
  l.rhs = bits(rhs);
  l.sol = bits(sol);
  return l;
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(OneEquationDraw, EveryRowLayoutMatchesTheGeneralCalls) {
  struct Case {
    const char* name;
    std::vector<Entry> row;  // the row of equation 2 of 4
  };
  const std::vector<Case> cases = {
      {"diagonal first", {{2, 2.5}, {4, 0.3}, {1, -0.2}, {3, 0.7}}},
      {"diagonal last", {{4, 0.3}, {1, -0.2}, {3, 0.7}, {2, 2.5}}},
      {"diagonal in the middle", {{3, 0.7}, {2, 2.5}, {4, 0.3}}},
      {"diagonal twice, the same", {{2, 2.5}, {3, 0.7}, {2, 2.5}}},
      {"diagonal twice, the second larger", {{2, 2.5}, {3, 0.7}, {2, 9.0}}},
      {"diagonal twice, the second negative", {{2, 2.5}, {3, 0.7}, {2, -1.0}}},
      {"diagonal twice, the first negative", {{2, -1.0}, {3, 0.7}, {2, 2.5}}},
      {"no diagonal", {{3, 0.7}, {4, 0.3}}},
      {"empty row", {}},
      {"diagonal alone", {{2, 4.0}}},
      {"negative diagonal", {{2, -3.0}, {3, 0.7}}},
      {"zero diagonal", {{2, 0.0}, {3, 0.7}}},
      {"diagonal not a number", {{2, nan}, {3, 0.7}}},
      {"coefficient not a number", {{2, 2.5}, {3, nan}}},
      {"diagonal below the tolerance", {{2, 1e-300}, {4, 0.3}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const sparse_ija A = rows_of({{{1, 3.0}, {2, -0.2}}, c.row, {{3, 2.0}}, {{4, 1.5}}});
    const Left general = draw_with(A, 2, [](const sparse_ija& M, util::vec1<double>& b,
                                            util::vec1<double>& x, int i) {
      return sampler::draw_block_general(M, b, x, i, 1);
    });
    const Left fused = draw_with(A, 2, [](const sparse_ija& M, util::vec1<double>& b,
                                          util::vec1<double>& x, int i) {
      return sampler::draw_block(M, b, x, i, 1);
    });
    const Left pass = draw_with(A, 2, [](const sparse_ija& M, util::vec1<double>& b,
                                         util::vec1<double>& x, int) {
      return sampler::draw_block_pass(M, b, x, M.n, 1) == 0;
    });
    const Left general_pass = draw_with(A, 2, [](const sparse_ija& M, util::vec1<double>& b,
                                                 util::vec1<double>& x, int) {
      for (int f = 1; f <= M.n; ++f)
        if (!sampler::draw_block_general(M, b, x, f, 1)) return false;
      return true;
    });
    for (const Left* l : {&fused}) {
      EXPECT_EQ(general.rhs, l->rhs);
      EXPECT_EQ(general.sol, l->sol);
      EXPECT_EQ(general.out, l->out);
      EXPECT_EQ(general.number, l->number);
      EXPECT_EQ(general.uniforms, l->uniforms);
      EXPECT_EQ(general.seed1, l->seed1);
      EXPECT_EQ(general.seed2, l->seed2);
    }
    EXPECT_EQ(general_pass.rhs, pass.rhs);
    EXPECT_EQ(general_pass.sol, pass.sol);
    EXPECT_EQ(general_pass.out, pass.out);
    EXPECT_EQ(general_pass.number, pass.number);
    EXPECT_EQ(general_pass.uniforms, pass.uniforms);
    EXPECT_EQ(general_pass.seed1, pass.seed1);
    EXPECT_EQ(general_pass.seed2, pass.seed2);
  }
}

}  // namespace
