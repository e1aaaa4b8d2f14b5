#include "run/model.hpp"

#include <algorithm>

namespace model {
Model m;

bool sampled_element(const util::arr3<double>& g0, int e, int i, int j) {
  if (g0(e, i, j) != 0.0) return true;
  const int rt = m.randomtype(e);
  if ((rt != rnd_add_an_mb && rt != rnd_diag_mb) || m.mb_nround <= 0) return false;
  // Element (li, lj) of the upper block of its pair, the one the step
  // reads; a block with both variances is not wholly 0.
  const int d = m.ntrait * m.randomnumb(e);
  const int bi = (i - 1) / d, bj = (j - 1) / d;
  const int r0 = std::min(bi, bj) * d, c0 = std::max(bi, bj) * d;
  const int li = (i - 1) % d + 1, lj = (j - 1) % d + 1;
  return g0(e, r0 + li, c0 + li) != 0.0 && g0(e, r0 + lj, c0 + lj) != 0.0;
}

}  // namespace model
