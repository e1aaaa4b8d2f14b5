#include <cstdio>

namespace run {
int velmoran_main() {
  std::puts(" VELMORAN 1.20");
  std::puts(" Bayesian analysis of multiple-trait linear mixed models by Gibbs sampling.");
  std::puts(" The sampler is not assembled yet: this build reads no input.");
  return 0;
}
}  // namespace run
