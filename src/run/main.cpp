// VELMORAN: Bayesian analysis of multiple-trait linear mixed models by Gibbs sampling.
#include <cstdio>
#include <new>
#include <stdexcept>

#include "util/stop.hpp"

namespace run {
int velmoran_main();
bool answer_arguments(int argc, const char* const* argv);
}

int main(int argc, char** argv) {
  try {
    if (run::answer_arguments(argc, argv)) return 0;
    return run::velmoran_main();
  } catch (const util::Stop& s) {
    util::report_stop(s);
    return 1;
  } catch (const std::bad_alloc&) {
    // Allocations that name their counts stop through the path above; this
    // is the last guard for any other.
    util::report_stop(util::Stop(" Not enough memory for this model", false));
    return 1;
  } catch (const std::length_error&) {
    util::report_stop(util::Stop(" Not enough memory for this model", false));
    return 1;
  }
}
