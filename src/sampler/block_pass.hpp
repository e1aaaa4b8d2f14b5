// The block pass of a Gibbs cycle: every block of nt equations in turn gets
// its conditional mean and covariance from the compressed rows, one
// multivariate normal draw, and removes its terms from the right-hand sides
// of the later equations.
#pragma once

#include "sparse/sparsem.hpp"
#include "util/array.hpp"

namespace sampler {

// Draws the blocks 1, 1 + nt, ... up to neq in order (denseop_tol as the
// caller set it).  Stops at the first block with a draw that is not a
// number, before that block updates anything, and returns its first
// equation; 0 when every draw is a number.
int draw_block_pass(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                    util::vec1<double>& sol, int neq, int nt);

// One block, first..first + nt - 1, in the way the pass draws it: orders 1
// to 4 by one fused kernel, other orders through the general calls.  false:
// a draw is not a number (nothing updated).
bool draw_block(const sparsem::sparse_ija& A, util::vec1<double>& rhs, util::vec1<double>& sol,
                int first, int nt);

// The same block through the general calls (solve_iterm_block,
// gen_normal_multi, the check, the update): the reference the fused kernel
// must match bit for bit, messages and random draws included.
bool draw_block_general(const sparsem::sparse_ija& A, util::vec1<double>& rhs,
                        util::vec1<double>& sol, int first, int nt);

}  // namespace sampler
