// VELMORAN: Bayesian analysis of multiple-trait linear mixed models by Gibbs sampling.
#include <cstdio>

#include "util/stop.hpp"

namespace run {
int velmoran_main();
}

int main() {
  try {
    return run::velmoran_main();
  } catch (const util::Stop& s) {
    util::report_stop(s);
    return 1;
  }
}
