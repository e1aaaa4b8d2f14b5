// The package driver: one step of ordering, factorisation, solve,
// determinant, check, sparse inverse or report per call, all working storage
// carved out of one caller-owned array of 4-byte words.
#pragma once

#include <cstdint>
#include <cstdio>

#include "zanto/sparssub.hpp"

namespace zanto {

// Process-wide state of the driver; nothing resets it.
struct DriverState {
  double tol = 1e-8;  // pivot and accuracy tolerance
  word ratio = 0;     // words per 64-bit real, from fratio at the first call
  bool first = false; // ratio taken
  Stats stats;
};
DriverState& driver_state();

// Option codes: 10 ordering (written to ioor), 70 ordering read back from
// ioor, 20 symbolic, 40 numeric factorisation, 50 full solve in sol, 51 and
// 52 set-up and sparse solve (listf, listb, vals, same), 54 determinant and
// 55 log-determinant in sol(1), 56 residual check of sol against vals, 60
// full-storage and 61 in-place sparse inverse, 80 statistics report.
//
// flag: 0; option*100 + 1 when the work array is short (need = the words to
// provide, the regions of earlier steps intact); 1 subscripts overflow (20)
// or inaccurate solution (56); -1 ordering file of another order or
// unreadable (70); -2 no ordering unit (70); -3 the matrix arrays have no
// room for the full-storage inverse (60); -99 unknown option.
// The space available is the smaller of `free` and the length of work.
void zanto(word option, word n, ivec ia, ivec ja, rvec a, rvec sol, word& flag, std::FILE* iout,
           std::FILE* ioor, std::int64_t free, std::int64_t& need, ivec work, civec listf,
           civec listb, word nf, word nb, crvec vals, word same, word& rank);

}  // namespace zanto
