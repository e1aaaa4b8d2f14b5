// Shared helpers of the generator and deviate tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "random/rangen.hpp"
#include "util/stop.hpp"

namespace rgtest {

// Generator 1 from the library's default seeds, no hooks: the state a
// program has after its first draw, rewound to before that draw.
inline void default_stream() {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setcgn(1);
  rangen::setall(1234567890, 123456789);
}

// Installs a scripted uniform source for the lifetime of the object.
struct ScriptedUniforms {
  std::vector<float> values;
  std::size_t next = 0;
  explicit ScriptedUniforms(std::vector<float> v) : values(std::move(v)) {
    rangen::set_uniform_hook([this] {
      if (next >= values.size()) {
        ADD_FAILURE() << "script of uniforms exhausted";
        return 0.5f;
      }
      return values[next++];
    });
  }
  ~ScriptedUniforms() { rangen::set_uniform_hook({}); }
};

struct ScriptedNormals {
  std::vector<float> values;
  std::size_t next = 0;
  explicit ScriptedNormals(std::vector<float> v) : values(std::move(v)) {
    rangen::set_normal_hook([this] {
      if (next >= values.size()) {
        ADD_FAILURE() << "script of normals exhausted";
        return 0.0f;
      }
      return values[next++];
    });
  }
  ~ScriptedNormals() { rangen::set_normal_hook({}); }
};

// Runs f, which must stop; returns the stop for inspection.
inline util::Stop expect_stop(const std::function<void()>& f) {
  try {
    f();
  } catch (const util::Stop& s) {
    return s;
  }
  ADD_FAILURE() << "expected a stop";
  return util::Stop("", false);
}

// Where a stream of draws starts: seeds through setall, or put in as they
// are (setsd on generator `gen`); the generator; the antithetic flag.
struct StreamStart {
  const char* name;
  rangen::i32 seed1, seed2;
  bool set_directly = false;
  int gen = 1;
  bool anti = false;
};

inline void begin_stream(const StreamStart& s) {
  rangen::clear_hooks();
  rangen::inrgcm();
  rangen::setcgn(1);
  rangen::setall(s.set_directly ? 1 : s.seed1, s.set_directly ? 2 : s.seed2);
  rangen::setcgn(s.gen);
  if (s.set_directly) rangen::setsd(s.seed1, s.seed2);
  rangen::setant(s.anti);
}

// The values drawn and what the generator is left with.
template <class T>
struct Drawn {
  std::vector<T> z;
  rangen::i32 seed1 = 0, seed2 = 0;
  std::uint64_t uniforms = 0;
};

template <class T, class F>
Drawn<T> drawn(const StreamStart& s, F&& draw) {
  begin_stream(s);
  Drawn<T> d;
  const std::uint64_t before = rangen::uniform_draws();
  draw(d.z);
  d.uniforms = rangen::uniform_draws() - before;
  rangen::getsd(d.seed1, d.seed2);
  return d;
}

// Bit for bit, and the generator in the same place.
template <class T>
void expect_same_draws(const Drawn<T>& want, const Drawn<T>& got) {
  ASSERT_EQ(want.z.size(), got.z.size());
  for (std::size_t k = 0; k < want.z.size(); ++k)
    ASSERT_EQ(0, std::memcmp(&want.z[k], &got.z[k], sizeof(T))) << "value " << k;
  EXPECT_EQ(want.seed1, got.seed1);
  EXPECT_EQ(want.seed2, got.seed2);
  EXPECT_EQ(want.uniforms, got.uniforms);
}

}  // namespace rgtest
