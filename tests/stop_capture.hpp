// What a piece of code stops with, and what it prints, for tests of the
// paths that report to the user.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "util/stop.hpp"

namespace testsupport {

// Message of the stop that f ends with, or "<no stop>".
inline std::string stop_message(const std::function<void()>& f) {
  try {
    f();
  } catch (const util::Stop& s) {
    return s.what();
  }
  return "<no stop>";
}

// Standard output written while f runs.
inline std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace testsupport
