#include "util/clock.hpp"

#include <ctime>

namespace util {
float cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<float>(static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec));
}
}  // namespace util
