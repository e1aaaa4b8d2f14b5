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
// A stop on a condition that no input can bring about (the reader and the
// start-up checks refuse what would): a fault of the program.  The message
// says so, ahead of `what`, so that nobody looks for it in the input.
[[noreturn]] void internal_error(const std::string& what);

// Prints a caught stop the way the program ends on it.
void report_stop(const Stop& s);

}  // namespace util
