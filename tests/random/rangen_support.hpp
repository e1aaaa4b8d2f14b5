// Shared helpers of the generator and deviate tests.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
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

}  // namespace rgtest
