// Keyword interface of the factorisation package: a symmetric matrix in
// compressed rows and an operation word ("fac", "sol", "inv", "res", "det",
// "lde", "sta"; only the first three characters count).  Between calls it
// keeps the work space and how far the matrix of the last order has got
// (ordered and symbolically factorised, factor ready), so repeated requests
// on one matrix redo only what they must.  It serves one matrix at a time.
// The package owns no matrix type: callers lend it their arrays.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "zanto/work.hpp"

namespace zanto {

// A symmetric matrix in compressed rows, upper triangle: row i (from 1)
// holds entries ia[i-1] .. ia[i]-1 (numbered from 1), led by its diagonal,
// then its other columns, each pair of the triangle once.  The arrays are
// the caller's: "inv" overwrites a with the inverse on the same pattern.
// A matrix of order 0 may have no arrays at all.
struct Matrix {
  word n = 0;
  word nel = 0;             // entries (for the messages)
  std::span<word> ia;       // n + 1 row starts
  std::span<word> ja;       // columns
  std::span<double> a;      // values
};

// The optional arguments; absent ones are left empty.
struct Optional {
  std::optional<std::span<const float>> rs;   // right-hand side for "sol"
  std::optional<std::span<float>> sol;        // its solution
  double* det = nullptr;                      // determinant ("det"), log-determinant ("lde")
  std::optional<word> msglev;                 // message level, 0 when absent
  std::optional<std::int64_t> maxmem;         // largest work space in words
  word* rank = nullptr;                       // rank of the last numeric factorisation
  std::optional<std::span<const double>> rs8; // 64-bit pair for "sol", used first
  std::optional<std::span<double>> sol8;
};

// Saved state of the interface, one for the process.
struct InterfaceState {
  word status = -1;           // -1 no work space; 0 ordering needed; 1 numeric needed; 2 ready
  std::int64_t memory = 100;  // work space in 4-byte words, as stated to the driver
  word last_n = 0;            // order of the previous call's matrix
  std::vector<word> work;     // 2 (memory/2 + 1) words while status >= 0
  word rank_o = 0;
  double sc[2] = {0, 0};      // determinant slot of the steps
};
InterfaceState& interface_state();

// Stops the run (through util::fatal) on a missing solution pair, a driver
// failure, or a need beyond maxmem; other misuse is reported and ignored.
void zanto90r4(std::string_view op, const Matrix& fs, const Optional& opt = {});
// The same with 64-bit right-hand side and solution only.
void zanto90r8(std::string_view op, const Matrix& fs, std::span<const double> rs8,
               std::span<double> sol8);

}  // namespace zanto
