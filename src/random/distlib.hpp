// Distribution-function library: gamma and log-gamma functions, the incomplete
// gamma ratios and their inverse, the gamma distribution driver, the zero
// finder and the bracketing search that inverts monotone functions.
//
// All reals are 64-bit.  Failures are reported through a status argument (the
// drivers), an error code (gamma_inc_inv) or a sentinel result (2.0 from
// gamma_inc); only dpmpar with a bad index and dinvr with a start value outside
// its range stop the run.
//
// Searches use reverse communication: the search routine returns status 1
// with a trial point, the caller evaluates its function there and calls again.
// The zero finder and the bracketing search share one saved state, so one
// search runs at a time in the process.
#pragma once

namespace distlib {

// ---------------------------------------------------------------- numerical
// a[0] + a[1] x + ... + a[n] x^n by Horner's rule.
double eval_pol(const double* a, int n, double x);
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
double erfc1(int ind, double x); // erfc(x) (ind 0) or exp(x^2) erfc(x)
double dpmpar(int i);            // 1 epsilon, 2 smallest normal, 3 largest finite
double rcomp(double a, double x);  // exp(-x) x^a / Gamma(a), a > 0, x > 0

// ------------------------------------------------------ log-beta and friends
double gam1(double a);                   // 1/Gamma(a + 1) - 1, -0.5 <= a <= 1.5
double gsumln(double a, double b);       // ln Gamma(a + b), a, b in [1, 2]
double algdiv(double a, double b);       // ln(Gamma(b)/Gamma(a + b)), b >= 8
double bcorr(double a0, double b0);      // Stirling remainder of ln B, a0, b0 >= 8
double beta_log(double a0, double b0);   // ln B(a0, b0)
double beta_rcomp(double a, double b, double x, double y);          // x^a y^b / B(a, b)
double beta_rcomp1(int mu, double a, double b, double x, double y); // e^mu x^a y^b / B(a, b)

// ----------------------------------------------------- incomplete gamma ratio
// P(a, x) into ans and Q(a, x) into qans; ind 0, 1, other: accuracy 5e-15,
// 5e-7, 5e-4.  Error exit: ans = 2.0, qans unchanged.
void gamma_inc(double a, double x, double& ans, double& qans, int ind);
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

// ------------------------------------------------------------------ drivers
// Gamma distribution with density proportional to x^(shape-1) exp(-scale x).
// which 1: p, q from x; 2: x from p, q; 3: shape; 4: scale.
void cdfgam(int which, double& p, double& q, double& x, double& shape, double& scale,
            int& status, double& bound);

}  // namespace distlib
