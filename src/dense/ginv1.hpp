// In-place generalised inverse with an explicit pivot tolerance.
#pragma once

#include "util/array.hpp"

namespace denseop {

// Replaces the symmetric matrix of order n held (lower triangle read) in the
// leading n by n block of a, column-major with leading dimension m >= n, by a
// generalised inverse: a pivot d below tol times the matrix's largest
// diagonal element in magnitude (zero and negative ones included) is dropped
// silently and leaves a zero row and column, so every multiple of a matrix
// drops the same pivots.  rank := pivots kept.  Rows n+1..m
// of each column are not touched; no message, no heap allocation for n <= 64.
void ginv1(double* a, int n, int m, double tol, int& rank);
// The same on the leading n by n block of a (leading dimension rows(a)).
void ginv1(util::mat1<double>& a, int n, double tol, int& rank);

}  // namespace denseop
