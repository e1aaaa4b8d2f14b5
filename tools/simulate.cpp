// simulate: writes a simulated data set (pedigree, data, parameter file and
// the true values) for VELMORAN.  Run with --help for the options.
#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "simulate.hpp"

int main(int argc, char** argv) {
  sim::Options o;
  try {
    o = sim::parse_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "simulate: %s\n(simulate --help lists the options)\n", e.what());
    return 2;
  }
  if (o.help) {
    std::fputs(sim::usage().c_str(), stdout);
    return 0;
  }
  try {
    const sim::Summary s = sim::simulate(o);
    std::printf("simulated %ld records of %d trait(s), %ld animals (%ld founders)\n", s.records, o.traits,
                s.animals, s.founders);
    for (const std::string& f : s.files) std::printf("wrote %s\n", f.c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "simulate: %s\n", e.what());
    return 1;
  }
  return 0;
}
