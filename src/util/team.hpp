// Work shared out to a few threads that live for one call only: nothing
// outlives the call, so a fork between calls finds no threads of ours.
// Each part must be a pure function of its own range that writes only its
// own outputs and does not throw; what the call produces then does not
// depend on how many parts there are, nor on which thread runs which.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace util {

// Parts for `work` units when fewer than `per_part` units do not pay for a
// thread: one for small work, at most the hardware's count and 8.  A
// positive `fixed` is taken whatever the work.
inline int team_parts(std::size_t work, std::size_t per_part, int fixed = 0) {
  if (fixed > 0) return fixed;
  const unsigned hw = std::thread::hardware_concurrency();
  const std::size_t most = std::min<std::size_t>(hw == 0 ? 1 : hw, 8);
  return static_cast<int>(std::clamp<std::size_t>(work / per_part, 1, most));
}

// Runs part(p) for p = 0 .. parts-1: part 0 on the calling thread, each of
// the others on a thread of its own; a part whose thread cannot be started
// runs on the calling thread after part 0.
template <class F>
void run_parts(int parts, F&& part) {
  if (parts <= 1) {
    part(0);
    return;
  }
  std::vector<std::thread> team;
  std::vector<int> left;
  team.reserve(static_cast<std::size_t>(parts - 1));
  for (int p = 1; p < parts; ++p) {
    try {
      team.emplace_back([&part, p] { part(p); });
    } catch (const std::system_error&) {
      left.push_back(p);
    }
  }
  try {
    part(0);
    for (int p : left) part(p);
  } catch (...) {
    for (std::thread& t : team) t.join();
    throw;
  }
  for (std::thread& t : team) t.join();
}

}  // namespace util
