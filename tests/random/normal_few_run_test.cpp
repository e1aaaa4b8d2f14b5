// Runs of snorm_few_n calls share uniforms worked out ahead; whatever
// happens to the generator between two calls (other draws, another
// generator, the antithetic flag, new seeds, a restart, a hook), the values,
// the generator's state and the count of uniforms must be those of the same
// sequence with snorm() in place of each call.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "random/rangen.hpp"
#include "rangen_support.hpp"

namespace {

using Start = rgtest::StreamStart;
using Drawn = rgtest::Drawn<double>;

enum class Op { few2, few3, few4, snorm, ranf, gamma, gen, anti, seeds, restart, next_block, hooked };

struct Step {
  Op op;
  rangen::i32 a = 0, b = 0;
};

// Applies the steps, with N calls of snorm() for each few-deviate call when
// `by_snorm`; every value drawn is recorded, widened.
void play(const std::vector<Step>& steps, bool by_snorm, std::vector<double>& z) {
  auto few = [&](auto n_const) {
    constexpr int N = decltype(n_const)::value;
    if (by_snorm) {
      for (int k = 0; k < N; ++k) z.push_back(rangen::snorm());
    } else {
      double d[N];
      rangen::snorm_few_n<N>(d);
      z.insert(z.end(), d, d + N);
    }
  };
  for (const Step& s : steps) {
    switch (s.op) {
      case Op::few2: few(std::integral_constant<int, 2>{}); break;
      case Op::few3: few(std::integral_constant<int, 3>{}); break;
      case Op::few4: few(std::integral_constant<int, 4>{}); break;
      case Op::snorm: z.push_back(rangen::snorm()); break;
      case Op::ranf: z.push_back(rangen::ranf()); break;
      case Op::gamma: z.push_back(rangen::sgamma(2.5f)); break;
      case Op::gen: rangen::setcgn(s.a); break;
      case Op::anti: rangen::setant(s.a != 0); break;
      case Op::seeds: rangen::setsd(s.a, s.b); break;
      case Op::restart: rangen::initgn(-1); break;
      case Op::next_block: rangen::initgn(1); break;
      case Op::hooked: {
        // Through the centre and the tail: values no generator step makes.
        rgtest::ScriptedUniforms u({0.9f, 0.3f, 0.52f, 0.01f, 0.6f, 0.2f, 0.001f, 0.75f, 0.4f,
                                    0.77f, 0.5f, 0.1f, 0.99f, 0.55f, 0.02f, 0.8f, 0.7f, 0.6f});
        few(std::integral_constant<int, 2>{});
        break;
      }
    }
  }
}

void expect_as_snorm(const std::string& name, const std::vector<Step>& steps) {
  SCOPED_TRACE(name);
  const Start s{"default seeds", 1234567890, 123456789};
  const Drawn want =
      rgtest::drawn<double>(s, [&](std::vector<double>& z) { play(steps, true, z); });
  const Drawn got =
      rgtest::drawn<double>(s, [&](std::vector<double>& z) { play(steps, false, z); });
  rgtest::expect_same_draws(want, got);
  rgtest::default_stream();  // generator 1 current again, for the tests after
}

std::vector<Step> repeat(Op op, int n) { return std::vector<Step>(static_cast<std::size_t>(n), {op}); }

std::vector<Step> join(std::initializer_list<std::vector<Step>> parts) {
  std::vector<Step> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

}  // namespace

TEST(NormalFewRun, WhatHappensBetweenCallsIsSeen) {
  const std::vector<std::pair<std::string, std::vector<Step>>> cases = {
      {"one long run over many blocks", repeat(Op::few2, 500)},
      {"runs of two, three and four", join({repeat(Op::few3, 40), repeat(Op::few4, 40),
                                            repeat(Op::few2, 40), repeat(Op::few3, 5)})},
      {"a single call", repeat(Op::few2, 1)},
      {"other draws between calls",
       join({repeat(Op::few2, 30), {{Op::snorm}}, repeat(Op::few2, 30), {{Op::ranf}},
             repeat(Op::few2, 30), {{Op::gamma}}, repeat(Op::few4, 30)})},
      {"other draws after every call",
       join({{{Op::few2}, {Op::ranf}, {Op::few2}, {Op::snorm}, {Op::few3}, {Op::ranf}},
             {{Op::few2}, {Op::few2}, {Op::ranf}, {Op::few2}, {Op::few2}}})},
      {"another generator between calls",
       join({repeat(Op::few2, 40), {{Op::gen, 5}}, repeat(Op::few2, 40), {{Op::gen, 1}},
             repeat(Op::few2, 40), {{Op::gen, 5}}, repeat(Op::few2, 3)})},
      {"generators taking turns",
       join({{{Op::few2}, {Op::gen, 2}, {Op::few2}, {Op::gen, 1}, {Op::few2}},
             {{Op::gen, 2}, {Op::few2}, {Op::gen, 1}, {Op::few2}, {Op::few2}}})},
      {"the antithetic flag set and cleared in a run",
       join({repeat(Op::few2, 35), {{Op::anti, 1}}, repeat(Op::few2, 35), {{Op::anti, 0}},
             repeat(Op::few2, 35)})},
      {"new seeds, also outside the moduli",
       join({repeat(Op::few2, 20), {{Op::seeds, 2147483647, -5}}, repeat(Op::few2, 20),
             {{Op::seeds, 0, 99}}, repeat(Op::few3, 20), {{Op::seeds, 424242, 171717}},
             repeat(Op::few2, 20)})},
      {"restarts of the generator's blocks",
       join({repeat(Op::few2, 50), {{Op::restart}}, repeat(Op::few2, 50), {{Op::next_block}},
             repeat(Op::few2, 50), {{Op::restart}}, repeat(Op::few2, 2)})},
      {"a hook installed for one call",
       join({repeat(Op::few2, 25), {{Op::hooked}}, repeat(Op::few2, 25), {{Op::hooked}},
             {{Op::hooked}}, repeat(Op::few2, 25)})},
  };
  for (const auto& [name, steps] : cases) expect_as_snorm(name, steps);
  rangen::allow_wide_registers(false);
  for (const auto& [name, steps] : cases) expect_as_snorm(name + ", narrow registers", steps);
  rangen::allow_wide_registers(true);
}

TEST(NormalFewRun, ShuffledSequencesOfCallsAndOtherDraws) {
  // Mostly runs of calls, sometimes broken, so that every kind of break
  // falls at many places of a block of uniforms.
  std::mt19937 pick(20261207);
  for (int trial = 0; trial < 6; ++trial) {
    std::vector<Step> steps;
    for (int k = 0; k < 1500; ++k) {
      const unsigned r = pick() % 100;
      if (r < 70)
        steps.push_back({Op::few2});
      else if (r < 78)
        steps.push_back({Op::few3});
      else if (r < 84)
        steps.push_back({Op::few4});
      else if (r < 88)
        steps.push_back({Op::snorm});
      else if (r < 92)
        steps.push_back({Op::ranf});
      else if (r < 94)
        steps.push_back({Op::gamma});
      else if (r < 96)
        steps.push_back({Op::gen, static_cast<rangen::i32>(1 + pick() % 3)});
      else if (r < 98)
        steps.push_back({Op::anti, static_cast<rangen::i32>(pick() % 2)});
      else
        steps.push_back({Op::restart});
    }
    expect_as_snorm("trial " + std::to_string(trial), steps);
  }
}
