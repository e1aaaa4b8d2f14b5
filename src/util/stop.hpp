// The single fatal-stop path: code below main throws Stop; main prints the
// message and ends the process with status 1.
#pragma once

#include <stdexcept>
#include <string>

namespace util {

struct Stop : std::runtime_error {
  bool to_stderr;
  Stop(const std::string& message, bool err) : std::runtime_error(message), to_stderr(err) {}
};

// message may hold several lines separated by '\n'; each is printed as given.
[[noreturn]] void fatal(const std::string& message);
[[noreturn]] void fatal_stderr(const std::string& message);

// Prints a caught stop the way the program ends on it.
void report_stop(const Stop& s);

}  // namespace util
