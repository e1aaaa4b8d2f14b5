// snorm_few_n<N> must hand out what N calls of snorm() hand out, widened,
// and leave the generator where they leave it: from any seeds, generator
// and antithetic setting, through the centre and tail of the deviate, and
// with a hook installed.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "random/rangen.hpp"
#include "rangen_support.hpp"

namespace {

using Start = rgtest::StreamStart;
using Drawn = rgtest::Drawn<double>;

template <class F>
Drawn drawn(const Start& s, F&& draw) {
  return rgtest::drawn<double>(s, std::forward<F>(draw));
}

void expect_same(const Drawn& want, const Drawn& got) { rgtest::expect_same_draws(want, got); }

template <int N>
void few_n_times(std::vector<double>& z, int calls) {
  for (int c = 0; c < calls; ++c) {
    double d[N];
    rangen::snorm_few_n<N>(d);
    z.insert(z.end(), d, d + N);
  }
}

template <int N>
void expect_as_snorm(const Start& s, int calls) {
  SCOPED_TRACE(std::string(s.name) + ", N = " + std::to_string(N));
  const Drawn want = drawn(s, [&](std::vector<double>& z) {
    for (int k = 0; k < N * calls; ++k) z.push_back(rangen::snorm());
  });
  const Drawn got = drawn(s, [&](std::vector<double>& z) { few_n_times<N>(z, calls); });
  expect_same(want, got);
}

}  // namespace

TEST(NormalFewN, AsManyCallsOfSnorm) {
  // 4000 deviates reach both the rarer centre and the tail many times.
  const std::vector<Start> starts = {
      {"default seeds", 1234567890, 123456789},
      {"generator 5", 424242, 171717, false, 5},
      {"antithetic", 1357911, 24681012, false, 3, true},
  };
  for (const Start& s : starts) {
    expect_as_snorm<2>(s, 2000);
    expect_as_snorm<3>(s, 1333);
    expect_as_snorm<4>(s, 1000);
  }
}

TEST(NormalFewN, HooksAreCalledOnePerValue) {
  {
    SCOPED_TRACE("uniform hook");
    const std::vector<float> script = {0.9f, 0.3f, 0.52f, 0.01f, 0.6f, 0.2f, 0.001f, 0.75f, 0.4f,
                                       0.77f, 0.5f, 0.1f, 0.99f, 0.55f, 0.02f, 0.8f, 0.7f, 0.6f};
    std::vector<double> want;
    std::size_t used = 0;
    {
      rgtest::default_stream();
      rgtest::ScriptedUniforms u(script);
      for (int k = 0; k < 4; ++k) want.push_back(rangen::snorm());
      used = u.next;
    }
    rgtest::default_stream();
    rgtest::ScriptedUniforms u(script);
    double got[4];
    rangen::snorm_few_n<4>(got);
    EXPECT_EQ(u.next, used);
    EXPECT_EQ(want, std::vector<double>(got, got + 4));
  }
  {
    SCOPED_TRACE("normal hook");
    rgtest::default_stream();
    rgtest::ScriptedNormals z({0.25f, -1.5f, 3.0f, 0.125f, -2.0f});
    double two[2], three[3];
    rangen::snorm_few_n<2>(two);
    rangen::snorm_few_n<3>(three);
    EXPECT_EQ(std::vector<double>(two, two + 2), (std::vector<double>{0.25, -1.5}));
    EXPECT_EQ(std::vector<double>(three, three + 3), (std::vector<double>{3.0, 0.125, -2.0}));
  }
}
