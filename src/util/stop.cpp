#include "util/stop.hpp"

#include <cstdio>

namespace util {

void fatal(const std::string& message) { throw Stop(message, false); }
void fatal_stderr(const std::string& message) { throw Stop(message, true); }
void internal_error(const std::string& what) {
  throw Stop(" Internal error (a fault of the program, not of its input): " + what, false);
}

void report_stop(const Stop& s) {
  std::fflush(stdout);
  std::FILE* f = s.to_stderr ? stderr : stdout;
  std::fputs(s.what(), f);
  std::fputc('\n', f);
  std::fflush(f);
}

}  // namespace util
