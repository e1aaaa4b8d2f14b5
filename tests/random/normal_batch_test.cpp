// Normals drawn many at a time (snorm_fill) and drawn ahead for a caller
// that takes them one by one (NormalsAhead) must be the very values of as
// many calls of snorm(), and leave the generator and the count of uniforms
// exactly where those calls leave them, also when the caller stops early.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "random/normal_block.hpp"
#include "random/rangen.hpp"
#include "rangen_support.hpp"

namespace {

using Start = rgtest::StreamStart;
using Drawn = rgtest::Drawn<float>;

// Seeds as setall derives them, seeds put in as they are (also outside the
// generators' ranges, where a step first reduces them), another generator
// and the antithetic flag.
const std::vector<Start> starts = {
    {"setall", 1357911, 24681012},
    {"default seeds", 1234567890, 123456789},
    {"largest seeds", 2147483562, 2147483398, true},
    {"seeds at the moduli", 2147483563, 2147483399, true},
    {"seeds above the moduli", 2147483647, 2147483646, true},
    {"negative seeds", -5, -2147483647, true},
    {"a zero seed", 0, 99, true},
    {"generator 7", 424242, 171717, false, 7},
    {"antithetic", 1357911, 24681012, false, 3, true},
};

template <class F>
Drawn drawn(const Start& s, F&& draw) {
  return rgtest::drawn<float>(s, std::forward<F>(draw));
}

Drawn one_by_one(const Start& s, long n) {
  return drawn(s, [n](std::vector<float>& z) {
    for (long k = 0; k < n; ++k) z.push_back(rangen::snorm());
  });
}

void expect_same(const Drawn& want, const Drawn& got) { rgtest::expect_same_draws(want, got); }

// n normals from one batch call.
Drawn filled(const Start& s, long n) {
  return drawn(s, [n](std::vector<float>& z) {
    z.resize(static_cast<std::size_t>(n));
    rangen::snorm_fill(z.data(), n);
  });
}

// Counts around the block of 64 uniforms and the chunk of 256 normals.
const std::vector<long> counts = {0, 1, 2, 51, 52, 53, 63, 64, 65, 255, 256, 257, 1000, 30000};

TEST(NormalBatch, FillAndFewAreSnormCalledNTimes) {
  for (const Start& s : starts) {
    for (long n : counts) {
      SCOPED_TRACE(std::string(s.name) + ", n = " + std::to_string(n));
      const Drawn want = one_by_one(s, n);
      const Drawn got = filled(s, n);
      expect_same(want, got);
      if (n > 300) continue;
      const Drawn few = drawn(s, [n](std::vector<float>& z) {
        z.resize(static_cast<std::size_t>(n));
        rangen::snorm_few(z.data(), static_cast<int>(n));
      });
      expect_same(want, few);
    }
  }
}

TEST(NormalBatch, BlocksWithoutTheWiderRegistersAreTheSame) {
  struct Narrow {
    Narrow() { rangen::allow_wide_registers(false); }
    ~Narrow() { rangen::allow_wide_registers(true); }
  } narrow;
  for (const Start& s : starts) {
    for (long n : {1L, 63L, 64L, 65L, 257L, 5000L}) {
      SCOPED_TRACE(std::string(s.name) + ", n = " + std::to_string(n));
      const Drawn want = one_by_one(s, n);
      const Drawn got = filled(s, n);
      expect_same(want, got);
    }
  }
}

TEST(NormalBatch, FillAfterAndBeforeSingleDrawsContinuesTheStream) {
  const Start& s = starts[0];
  const Drawn want = one_by_one(s, 700);
  const Drawn got = drawn(s, [](std::vector<float>& z) {
    z.resize(700);
    z[0] = rangen::snorm();
    rangen::snorm_fill(z.data() + 1, 300);
    z[301] = rangen::snorm();
    rangen::snorm_fill(z.data() + 302, 397);
    z[699] = rangen::snorm();
  });
  expect_same(want, got);
}

TEST(NormalBatch, FillAndFewWithHooksCallSnorm) {
  {
    SCOPED_TRACE("uniform hook");
    // A script that runs through the centre and the tail.
    const std::vector<float> script = {0.9f,  0.3f, 0.52f, 0.01f, 0.6f, 0.2f, 0.001f,
                                       0.75f, 0.4f, 0.77f, 0.5f,  0.1f, 0.99f, 0.55f,
                                       0.02f, 0.8f, 0.7f,  0.6f,  0.9f, 0.3f};
    std::vector<float> want, got;
    std::size_t used = 0;
    {
      rgtest::default_stream();
      rgtest::ScriptedUniforms u(script);
      for (int k = 0; k < 5; ++k) want.push_back(rangen::snorm());
      used = u.next;
    }
    {
      rgtest::default_stream();
      rgtest::ScriptedUniforms u(script);
      got.resize(5);
      rangen::snorm_fill(got.data(), 5);
      EXPECT_EQ(u.next, used);
    }
    EXPECT_EQ(want, got);
    {
      rgtest::default_stream();
      rgtest::ScriptedUniforms u(script);
      got.assign(5, 0.0f);
      rangen::snorm_few(got.data(), 5);
      EXPECT_EQ(u.next, used);
    }
    EXPECT_EQ(want, got);
  }
  {
    SCOPED_TRACE("normal hook");
    rgtest::default_stream();
    rgtest::ScriptedNormals z({0.25f, -1.5f, 3.0f});
    std::vector<float> got(3);
    rangen::snorm_fill(got.data(), 2);
    rangen::snorm_few(got.data() + 2, 1);
    EXPECT_EQ(got, (std::vector<float>{0.25f, -1.5f, 3.0f}));
  }
}

// Takes `take` normals from a NormalsAhead armed for `total`, then ends it
// (by leaving the scope or by an exception).
Drawn ahead(const Start& s, long total, long take, bool by_exception) {
  return drawn(s, [&](std::vector<float>& z) {
    try {
      rangen::NormalsAhead a(total);
      EXPECT_EQ(rangen::normals_ahead, &a);
      for (long k = 0; k < take; ++k) z.push_back(a.next());
      if (by_exception) throw std::runtime_error("stop");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(rangen::normals_ahead, nullptr);
  });
}

TEST(NormalBatch, AheadLeavesTheStreamWhereTheTakenOnesLeaveIt) {
  struct Case {
    long total, take;
    bool by_exception;
  };
  const std::vector<Case> cases = {
      {600, 600, false},  // all of them, over two chunk boundaries
      {600, 0, false},    {600, 1, false},   {600, 255, false}, {600, 256, false},
      {600, 257, false},  {600, 599, false}, {600, 300, true},  {3, 5, false},  // more than armed for
      {1, 1, false},      {0, 2, false},
  };
  for (const Start& s : {starts[0], starts[3], starts[8]}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(s.name) + ", total " + std::to_string(c.total) + ", take " +
                   std::to_string(c.take) + (c.by_exception ? ", by exception" : ""));
      expect_same(one_by_one(s, c.take), ahead(s, c.total, c.take, c.by_exception));
    }
  }
}

TEST(NormalBatch, AheadWithAHookTakesOnlyWhatIsUsed) {
  rgtest::default_stream();
  rgtest::ScriptedNormals z({0.5f, -0.5f, 1.5f, 2.5f});
  {
    rangen::NormalsAhead a(1000);
    EXPECT_EQ(a.next(), 0.5f);
    EXPECT_EQ(a.next(), -0.5f);
  }
  EXPECT_EQ(z.next, 2u);
  EXPECT_EQ(rangen::snorm(), 1.5f);
}

TEST(NormalBatch, BlockDeviatesReadTheArmedNormals) {
  const Start& s = starts[0];
  const Drawn want = one_by_one(s, 20);
  const Drawn got = drawn(s, [](std::vector<float>& z) {
    double d[4];
    auto take = [&](int n) {
      for (int k = 0; k < n; ++k) z.push_back(static_cast<float>(d[k]));
    };
    // Orders 1 to 4 in turn: ten normals.
    auto each_order = [&] {
      prob::normal_deviates<1>(d);
      take(1);
      prob::normal_deviates<2>(d);
      take(2);
      prob::normal_deviates<3>(d);
      take(3);
      prob::normal_deviates<4>(d);
      take(4);
    };
    {
      rangen::NormalsAhead armed(10);
      each_order();
    }
    // Disarmed: from the generator again.
    each_order();
  });
  expect_same(want, got);
}

}  // namespace
