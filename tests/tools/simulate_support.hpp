// Reading back the simulator's files in its tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulate.hpp"

namespace simtest {

// The lines of a file.
inline std::vector<std::string> lines_of(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// The numbers of a line, blank separated.
inline std::vector<double> numbers(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> v;
  for (double x; in >> x;) v.push_back(x);
  return v;
}

// The message with which the simulator refuses these options ("" if it takes
// them).
inline std::string refusal(const std::vector<std::string>& args) {
  try {
    sim::parse_options(args);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

}  // namespace simtest
