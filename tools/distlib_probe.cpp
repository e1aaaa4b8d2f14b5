// Calls the distribution drivers on lines read from standard input, for the
// accuracy grid of tools/distlib_grid.py.  Each line: a driver's name, which
// and its values in argument order; each answer line: status, bound, the
// seconds the call took, and the values as the driver left them, to 17 digits.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "random/distlib.hpp"

int main() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string name;
    int which = 0;
    double v[6] = {0, 0, 0, 0, 0, 0};
    in >> name >> which;
    for (double& x : v) {
      std::string tok;
      if (!(in >> tok)) break;
      x = std::strtod(tok.c_str(), nullptr);
    }
    int status = 0;
    double bound = 0;
    int n = 0;
    using namespace distlib;
    const auto start = std::chrono::steady_clock::now();
    if (name == "gam") {
      cdfgam(which, v[0], v[1], v[2], v[3], v[4], status, bound), n = 5;
    } else if (name == "t") {
      cdft(which, v[0], v[1], v[2], v[3], status, bound), n = 4;
    } else if (name == "poi") {
      cdfpoi(which, v[0], v[1], v[2], v[3], status, bound), n = 4;
    } else if (name == "nor") {
      cdfnor(which, v[0], v[1], v[2], v[3], v[4], status, bound), n = 5;
    } else if (name == "nbn") {
      cdfnbn(which, v[0], v[1], v[2], v[3], v[4], v[5], status, bound), n = 6;
    } else if (name == "f") {
      cdff(which, v[0], v[1], v[2], v[3], v[4], status, bound), n = 5;
    } else if (name == "fnc") {
      cdffnc(which, v[0], v[1], v[2], v[3], v[4], v[5], status, bound), n = 6;
    } else if (name == "chi") {
      cdfchi(which, v[0], v[1], v[2], v[3], status, bound), n = 4;
    } else if (name == "chn") {
      cdfchn(which, v[0], v[1], v[2], v[3], v[4], status, bound), n = 5;
    } else if (name == "bin") {
      cdfbin(which, v[0], v[1], v[2], v[3], v[4], v[5], status, bound), n = 6;
    } else if (name == "bet") {
      cdfbet(which, v[0], v[1], v[2], v[3], v[4], v[5], status, bound), n = 6;
    } else {
      std::printf("unknown %s\n", name.c_str());
      continue;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d %.17g %.3g", status, bound, secs);
    for (int i = 0; i < n; ++i) std::printf(" %.17g", v[i]);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}
