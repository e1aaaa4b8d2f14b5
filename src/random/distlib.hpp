// Distribution-function library: gamma, log-gamma and beta functions, the
// incomplete gamma and beta ratios, the gamma ratio's inverse, cumulative
// distribution functions, the distribution drivers, the zero finder and the
// bracketing search that inverts monotone functions.
//
// All reals are 64-bit.  Failures are reported through a status argument (the
// drivers), an error code (gamma_inc_inv, beta_ratio) or a sentinel result
// (2.0 from gamma_inc); only dpmpar with a bad index, dinvr with a start value
// outside its range, and dstrem, dbetrm and dlanor outside their domains stop
// the run.
//
// Searches use reverse communication: the search routine returns status 1
// with a trial point, the caller evaluates its function there and calls again.
// The zero finder and the bracketing search share one saved state, so one
// search runs at a time in the process.
#pragma once

#include <limits>

namespace distlib {

// ---------------------------------------------------------------- numerical
// a[0] + a[1] x + ... + a[n] x^n by Horner's rule.
double eval_pol(const double* a, int n, double x);
// c[0] u^(N-1) + c[1] u^(N-2) + ... + c[N-1] by Horner's rule, for the
// tables that list the highest power first.
template <int N>
double horner(const double (&c)[N], double u) {
  double s = c[0];
  for (int i = 1; i < N; ++i) s = s * u + c[i];
  return s;
}
// Integer machine constants, i = 1..10 (bases, digits, exponent limits).
int ipmpar(int i);
double rlog1(double x);   // x - ln(1 + x), x > -1
double rlog(double x);    // x - 1 - ln(x), x > 0
double rexp(double x);    // exp(x) - 1
double dexpm1(double x);  // exp(x) - 1, the same computation as rexp
double alnrel(double a);  // ln(1 + a), a > -1
double esum(int mu, double x);  // exp(mu + x) without needless overflow
double exparg(int l);     // largest (l = 0) or most negative (l != 0) exp argument
double psi(double x);     // digamma
double erf(double x);     // the library's own error function
void d_swap(double& x, double& y);

// ----------------------------------------------------------- gamma functions
double gamma(double a);          // Gamma(a); 0 where it cannot be computed
double gamma_log(double a);      // ln Gamma(a), a > 0
double gamma_ln1(double a);      // ln Gamma(1 + a), -0.2 < a <= 1.25
double ln_gamma_1p(double a);    // ln Gamma(1 + a), a > 0, relative also for a tiny a
double erfc1(int ind, double x); // erfc(x) (ind 0) or exp(x^2) erfc(x)
double dpmpar(int i);            // 1 epsilon, 2 smallest normal, 3 largest finite
double rcomp(double a, double x);  // exp(-x) x^a / Gamma(a), a > 0, x > 0

// ------------------------------------------------------ log-beta and friends
double gam1(double a);                   // 1/Gamma(a + 1) - 1, -0.5 <= a <= 1.5
double gsumln(double a, double b);       // ln Gamma(a + b), a, b in [1, 2]
double algdiv(double a, double b);       // ln(Gamma(b)/Gamma(a + b)), b >= 8
double bcorr(double a0, double b0);      // Stirling remainder of ln B, a0, b0 >= 8
double beta_log(double a0, double b0);   // ln B(a0, b0)
// 1/Gamma(1 + a + b), a + b <= 2.
double gam1_sum(double a, double b);
// u plus ln of the product of b/(a + b) as b steps down by 1 into [1, 2).
double beta_step_down(double a, double& b, double u);
double beta_rcomp(double a, double b, double x, double y);          // x^a y^b / B(a, b)
double beta_rcomp1(int mu, double a, double b, double x, double y); // e^mu x^a y^b / B(a, b)

double beta(double a, double b);          // B(a, b) = exp(beta_log(a, b))

// Whether the shape big is beyond the doubles' resolution against the shape
// a, with the gamma point (big times the share) at point: the beta ratio's
// limit as big grows, the gamma ratio at (a, point), is then exact to a
// relative (a + point)^2 / big < 1e-20 in the log of its tails (a point far
// out, where those underflow, counts as 2a + 2000).
bool shape_beyond(double big, double a, double point);

// ------------------------------------------------------ incomplete beta ratio
// I_x(a, b) into w and 1 - I_x(a, b) into w1, for the point given as x and
// y = 1 - x.  ierr 0 on success; 1 a or b < 0, 2 a = b = 0, 3 x outside
// [0, 1], 4 y outside [0, 1], 5 x + y not 1, 6 x = a = 0, 7 y = b = 0,
// 8 a series or fraction did not converge; w = w1 = 0 on every error.
// lambda, where not NaN, is the caller's exact a - (a + b) x (for a point
// that is itself a rounded quotient); with both shapes above 1e15 it is
// otherwise formed exactly from x or y, as given.
void beta_ratio(double a, double b, double x, double y, double& w, double& w1, int& ierr,
                double lambda = std::numeric_limits<double>::quiet_NaN());
// The pieces of beta_ratio, each for its own region (no domain checks).  The
// open-ended ones return NaN when they fail to converge.
double fpser(double a, double b, double x, double eps);      // b tiny, x <= 0.5
double apser(double a, double b, double x, double eps);      // 1 - I_x(a, b), a tiny
double beta_pser(double a, double b, double x, double eps);  // power series
// I_x(a, b) - I_x(a + n, b), n >= 1.
double beta_up(double a, double b, double x, double y, int n, double eps);
// Adds the expansion of I_x(a, b) for large a and b <= 1 to w; ierr 1 (w
// unchanged) when it cannot be formed.
void beta_grat(double a, double b, double x, double y, double& w, double eps, int& ierr);
// Continued fraction, a, b > 1, lambda = (a + b) y - b.
double beta_frac(double a, double b, double x, double y, double lambda, double eps);
// Asymptotic expansion for large a and b, lambda = (a + b) y - b >= 0.
double beta_asym(double a, double b, double lambda, double eps);

// ----------------------------------------------------- incomplete gamma ratio
// P(a, x) into ans and Q(a, x) into qans; ind 0, 1, other: accuracy 5e-15,
// 5e-7, 5e-4.  Error exit: ans = 2.0, qans unchanged.  lo is what the exact
// a - x exceeds the doubles' a - x by, where a or x is itself a rounded sum
// or product: for shapes from 1e8 on the tails turn on a - x at the scale
// sqrt(a), finer than the rounding of a or x.
void gamma_inc(double a, double x, double& ans, double& qans, int ind, double lo = 0.0);
// P and Q for a <= 1 given r = exp(-x) x^a / Gamma(a) and a tolerance.
void gamma_rat1(double a, double x, double r, double& p, double& q, double eps);
// x with P(a, x) = p, Q(a, x) = q.  x0 > 0 is a starting value (<= 0: none).
// ierr 0 or n > 0 (iterations) on success; -2, -3, -4, -6, -7, -8 on failure.
void gamma_inc_inv(double a, double& x, double x0, double p, double q, int& ierr);

// ------------------------------------------------------------ zero finding
// Interval and tolerances of the next zero-finder run.
void dstzr(double zxlo, double zxhi, double zabstl, double zreltl);
// Reverse-communication zero finder (Bus and Dekker's Algorithm R).
void dzror(int& status, double& x, double fx, double& xlo, double& xhi, bool& qleft, bool& qhi);
// Settings of the next bracketing search.
void dstinv(double small, double big, double absstp, double relstp, double stpmul,
            double abstol, double reltol);
// Bracketing search by reverse communication; refines with the zero finder.
void dinvr(int& status, double& x, double fx, bool& qleft, bool& qhi);

// ------------------------------------------------------ cumulative functions
// Both tails at one point: cum = P(X <= point), ccum the upper tail, taken
// from the primitive beneath rather than formed as 1 - cum.  The error code
// of the beta ratio is discarded (cum = ccum = 0); the error exit of the
// gamma ratio stores 2.0 in the output that receives P.
void cumbet(double x, double y, double a, double b, double& cum, double& ccum);
void cumbin(double s, double xn, double pr, double ompr, double& cum, double& ccum);
// lo as for cumgam: what the exact df / 2 exceeds the doubles' by.
void cumchi(double x, double df, double& cum, double& ccum, double lo = 0.0);
void cumf(double f, double dfn, double dfd, double& cum, double& ccum);
void cumgam(double x, double a, double& cum, double& ccum, double lo = 0.0);
// P(a, e^lnx) for a point given by its log (a product that would leave the
// doubles); error value 2.0 in cum where the ratio cannot be formed.
void cumgam_ln(double lnx, double a, double& cum, double& ccum);
void cumnbn(double s, double xn, double pr, double ompr, double& cum, double& ccum);
void cumnor(double arg, double& result, double& ccum);
void cumpoi(double s, double xlam, double& cum, double& ccum);
void cumt(double t, double df, double& cum, double& ccum);
// Noncentral F and chi-square (Poisson mixtures); ccum = 1 - cum.  NaN in
// both when a mixture sum fails to converge.
void cumfnc(double f, double dfn, double dfd, double pnonc, double& cum, double& ccum);
void cumchn(double x, double df, double pnonc, double& cum, double& ccum);

// --------------------------------------- normal quantile, remainders, t start
double stvaln(double p);             // start value of the normal quantile, 0 < p < 1
double dinvnr(double p, double q);   // normal quantile, p + q = 1
// ln Gamma(z) - ((z - 0.5) ln z - z + ln sqrt(2 pi)), z > 0 (stops otherwise).
double dstrem(double z);
// -dstrem(a + b) + dstrem(max(a, b)) + dstrem(min(a, b)).
double dbetrm(double a, double b);
// ln of the normal tail beyond |x|, |x| >= 5 (stops otherwise).
double dlanor(double x);
// Start value of the t quantile (Cornish-Fisher expansion in 1/df).
double dt1(double p, double q, double df);

// ------------------------------------------------------------------ drivers
// Shared pattern: which picks the quantity computed; status 0 success, -k the
// k-th argument out of range (bound the limit crossed: the lower one for a
// value that is not a number, the upper, at most the largest double, for an
// infinite one; every real argument a which reads is checked at both ends),
// 1 or 2 no answer below or above the search range (bound that end), 3 p + q
// not 1, 4 the distribution's own pair not 1, 10 the gamma ratio or a
// mixture sum failed.  bound is written only when status is not 0.
// Gamma distribution with density proportional to x^(shape-1) exp(-scale x).
// which 1: p, q from x; 2: x from p, q; 3: shape; 4: scale.
void cdfgam(int which, double& p, double& q, double& x, double& shape, double& scale,
            int& status, double& bound);
// Student's t.  which 1: p, q from t, df; 2: t; 3: df.
void cdft(int which, double& p, double& q, double& t, double& df, int& status, double& bound);
// Poisson, p = P(X <= s).  which 1: p, q; 2: s; 3: xlam.
void cdfpoi(int which, double& p, double& q, double& s, double& xlam, int& status,
            double& bound);
// Normal.  which 1: p, q; 2: x; 3: mean; 4: sd.  x - mean and sd z may
// overflow where the answer does not (x = 1e308 from mean -1e308, sd 1e308).
void cdfnor(int which, double& p, double& q, double& x, double& mean, double& sd, int& status,
            double& bound);
// Negative binomial: s failures before the xn-th success.  which 1: p, q;
// 2: s; 3: xn; 4: pr and ompr.  With xn = 0, P = 1 for every s and pr:
// which 2 and 4 refuse it (-5, bound 0).
void cdfnbn(int which, double& p, double& q, double& s, double& xn, double& pr, double& ompr,
            int& status, double& bound);
// Central F.  which 1: p, q; 2: f; 3: dfn; 4: dfd.
void cdff(int which, double& p, double& q, double& f, double& dfn, double& dfd, int& status,
          double& bound);
// Noncentral F; q is only written.  which 1: p, q; 2: f; 3: dfn; 4: dfd; 5: pnonc.
// A noncentrality above 1e4 is refused (-7, bound 1e4), as the noncentral
// chi-square's is (-6).
void cdffnc(int which, double& p, double& q, double& f, double& dfn, double& dfd, double& pnonc,
            int& status, double& bound);
// Chi-square.  which 1: p, q; 2: x; 3: df.
void cdfchi(int which, double& p, double& q, double& x, double& df, int& status, double& bound);
// Noncentral chi-square; q is only written.  which 1: p, q; 2: x; 3: df; 4: pnonc.
void cdfchn(int which, double& p, double& q, double& x, double& df, double& pnonc, int& status,
            double& bound);
// Binomial: s successes in xn trials.  which 1: p, q; 2: s; 3: xn; 4: pr and ompr.
void cdfbin(int which, double& p, double& q, double& s, double& xn, double& pr, double& ompr,
            int& status, double& bound);
// Beta with shapes a, b at x, y = 1 - x.  which 1: p, q; 2: x and y; 3: a; 4: b.
void cdfbet(int which, double& p, double& q, double& x, double& y, double& a, double& b,
            int& status, double& bound);

}  // namespace distlib
