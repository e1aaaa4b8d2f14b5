// Random deviates as the sampler uses them: the seed of the single stream,
// 64-bit uniform, normal, (inverse) chi-square, multivariate normal, Wishart
// and inverse-Wishart deviates, truncated normals, and the normal density,
// distribution function and quantile.  Every deviate comes from the one
// uniform stream of rangen; the basic 32-bit deviates are widened exactly
// before any location, scale or matrix factor is applied.
#pragma once

#include <cstdint>
#include <optional>

#include "util/array.hpp"

namespace prob {

using i32 = std::int32_t;

// ---- seed and scalar deviates --------------------------------------------

// Restarts the stream of generator 1 at (seed, seed).  A seed of 0 is refused.
void set_seed(i32 seed);
double gen_uniform_real(double a = 0.0, double b = 1.0);
// var is the variance; var <= 0 returns mean without drawing.
double gen_normal_scalar(double mean = 0.0, double var = 1.0);
double gen_chisq(double s, i32 n);     // s times chi-square with n df
double gen_invchisq(double s, i32 n);  // 1 / (s times chi-square with n df)
double gen_uniform_base();
i32 gen_uniform_integer(i32 a, i32 b);

// ---- multivariate normal -------------------------------------------------

// One draw with the given mean and covariance (order n = size of mean; only
// the diagonal and lower triangle of var are read).  Always draws n standard
// normals; components at dropped pivots equal the mean.
util::vec1<double> gen_normal_multi(const util::vec1<double>& mean, const util::mat1<double>& var);
// Form for hot paths, allocation-free up to order 20: element (i, j) of var
// at var[(i-1) + (j-1)*ldv]; result in x[0..n-1] (x may be mean itself).
void gen_normal_multi(const double* mean, const double* var, int n, int ldv, double* x);

// ---- Wishart and inverse Wishart -----------------------------------------

// Bartlett construction with df degrees of freedom on the scale matrix s
// (gen_wishart_multi), and the generalised inverse of that draw with s the
// inverse of the scale matrix (gen_invwishart_multi).  df below the order of
// s is refused.
util::mat1<double> gen_wishart_multi(const util::mat1<double>& s, i32 df);
util::mat1<double> gen_invwishart_multi(const util::mat1<double>& s, i32 df);
// The same on the leading n by n block of s (leading dimension lds) into w
// (leading dimension ldw); nothing is allocated for orders up to 20.
void gen_invwishart_multi(const double* s, int n, int lds, i32 df, double* w, int ldw);

// The inverse-Wishart draw rescaled so that the diagonal elements named in
// idx become 1; sd(i) holds the scale factor of index i (1 when unnamed).
// The first argument is not used (it keeps the argument list alike with
// gen_invwishart_restrict).  w and sd are resized to the order of s.
void gen_invwishart_restrict1(const util::vec1<i32>& unused, const util::vec1<i32>& idx,
                              const util::mat1<double>& s, i32 df, util::mat1<double>& w,
                              util::vec1<double>& sd);
// Partitioned draw: block idx1 by inverse Wishart, the regression by a
// multivariate normal, block idx2 on a correlation scale (scale factors in
// sd(1..q)).  Only the rows and columns of w named in the lists are written;
// w must be n by n (n = rows of s) and sd at least q long.
void gen_invwishart_restrict(const util::vec1<i32>& idx1, const util::vec1<i32>& idx2,
                             const util::mat1<double>& s, i32 df, util::mat1<double>& w,
                             util::vec1<double>& sd);

// ---- normal density, distribution function and quantile -------------------

double normal(double x);
// Absent mean / sd keep the values remembered from the last call that gave
// them (0 and 1 at start); normalcdf and normal_invcdf remember separately.
double normalcdf(double x, std::optional<double> mean = std::nullopt,
                 std::optional<double> sd = std::nullopt);
// p is clamped to [1e-10 in single precision, 0.9999999999] in place.
double normal_invcdf(double& p, std::optional<double> mean = std::nullopt,
                     std::optional<double> sd = std::nullopt);

// ---- truncated normals ---------------------------------------------------

double gen_trunc_normal_scalar(double a, double b, double mean = 0.0, double var = 1.0);
// a, b bound coordinate 1 only.
util::vec1<double> gen_trunc_normal_mult(double a, double b, const util::vec1<double>& mean,
                                         const util::mat1<double>& var);
// Coordinate i is truncated to [a(i), b(i)] when b(i) > a(i).
util::vec1<double> gen_trunc_normal_mult_mt(const util::vec1<double>& a,
                                            const util::vec1<double>& b,
                                            const util::vec1<double>& mean,
                                            const util::mat1<double>& var);
util::vec1<double> gen_trunc_normal_mult_mt1(const util::vec1<double>& a,
                                             const util::vec1<double>& b,
                                             const util::vec1<double>& mean,
                                             const util::mat1<double>& var);
util::vec1<double> gen_trunc_normal_mult_mt2(const util::vec1<double>& a,
                                             const util::vec1<double>& b,
                                             const util::vec1<double>& mean,
                                             const util::mat1<double>& var);

}  // namespace prob
