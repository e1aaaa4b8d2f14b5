// Cumulative distribution functions: both tails at one point, each a thin
// reduction to the incomplete beta ratio, the incomplete gamma ratios or the
// normal distribution function; and the noncentral F and chi-square
// functions, Poisson mixtures of those.
#include <cmath>
#include <limits>

#include "random/distlib.hpp"
#include "random/rangen.hpp"

namespace distlib {

void cumbet(double x, double y, double a, double b, double& cum, double& ccum) {
  if (x <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (y <= 0.0) {
    cum = 1.0;
    ccum = 0.0;
    return;
  }
  int ierr;
  beta_ratio(a, b, x, y, cum, ccum, ierr);
}

void cumt(double t, double df, double& cum, double& ccum) {
  double tt = t * t;
  double dfptt = df + tt;
  double xx = df / dfptt;
  double yy = tt / dfptt;
  double ix, omix;
  cumbet(xx, yy, 0.5 * df, 0.5, ix, omix);
  double half = 0.5 * ix;
  if (t <= 0.0) {
    cum = half;
    ccum = omix + half;
  } else {
    ccum = half;
    cum = omix + half;
  }
}

void cumgam(double x, double a, double& cum, double& ccum) {
  if (x <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  gamma_inc(a, x, cum, ccum, 0);
}

void cumchi(double x, double df, double& cum, double& ccum) {
  cumgam(0.5 * x, 0.5 * df, cum, ccum);
}

void cumpoi(double s, double xlam, double& cum, double& ccum) {
  cumchi(2.0 * xlam, 2.0 * (s + 1.0), ccum, cum);
}

void cumnbn(double s, double xn, double pr, double ompr, double& cum, double& ccum) {
  cumbet(pr, ompr, xn, s + 1.0, cum, ccum);
}

namespace {

// The beta argument pair of an F value: d = dfd / (dfd + dfn f) and its
// complement n.  The member that is at most 0.5 is the one divided out.
void f_pair(double f, double dfn, double dfd, double& d, double& n) {
  const double prod = dfn * f;
  const double dsum = dfd + prod;
  d = dfd / dsum;
  if (d > 0.5) {
    n = prod / dsum;
    d = 1.0 - n;
  } else {
    n = 1.0 - d;
  }
}

}  // namespace

void cumf(double f, double dfn, double dfd, double& cum, double& ccum) {
  if (f <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  double xx, yy;
  f_pair(f, dfn, dfd, xx, yy);
  int ierr;
  beta_ratio(0.5 * dfd, 0.5 * dfn, xx, yy, ccum, cum, ierr);
}

void cumbin(double s, double xn, double pr, double ompr, double& cum, double& ccum) {
  if (!(s < xn)) {
    cum = 1.0;
    ccum = 0.0;
    return;
  }
  cumbet(pr, ompr, s + 1.0, xn - s, ccum, cum);
}

// The generator library's normal distribution function has the same cut-offs
// (2^-53 for the square, 2^-1022 for the clamps) and serves both libraries.
void cumnor(double arg, double& result, double& ccum) { rangen::cumnor(arg, result, ccum); }

namespace {

// Mixture terms stop once they are negligible against the sum; eps is a
// single-precision constant.
bool negligible(double term, double sum, float eps) {
  return sum < 1.0e-20 || term < double(eps) * sum;
}

// Caps of the mixture sums; convergent cases stop after a few hundred terms.
constexpr int kMaxMixtureTerms = 1000000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

}  // namespace

void cumfnc(double f, double dfn, double dfd, double pnonc, double& cum, double& ccum) {
  if (f <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (pnonc < 1.0e-10) {
    cumf(f, dfn, dfd, cum, ccum);
    return;
  }
  const double xnonc = pnonc / 2.0;
  // Kept as a real: the count of a huge noncentrality does not fit an int.
  double icent = std::trunc(xnonc);
  if (icent == 0.0) icent = 1.0;
  const double centwt = std::exp(-xnonc + icent * std::log(xnonc) - gamma_log(icent + 1.0));

  double xx, yy;
  f_pair(f, dfn, dfd, yy, xx);
  const double b = dfd / 2.0;
  double adn = dfn / 2.0 + icent;
  double aup = adn;
  double betdn, dummy;
  int ierr;
  beta_ratio(adn, b, xx, yy, betdn, dummy, ierr);
  double betup = betdn;
  double sum = centwt * betdn;

  // Backward from the central Poisson term.
  double xmult = centwt;
  double i = icent;
  double dnterm = std::exp(gamma_log(adn + b) - gamma_log(adn + 1.0) - gamma_log(b) +
                           adn * std::log(xx) + b * std::log(yy));
  int terms = 0;
  while (!negligible(xmult * betdn, sum, 1.0e-4f) && i > 0.0) {
    if (++terms > kMaxMixtureTerms || std::isnan(sum)) {
      sum = kNaN;
      break;
    }
    xmult = xmult * (i / xnonc);
    i -= 1.0;
    adn -= 1.0;
    dnterm = (adn + 1.0) / ((adn + b) * xx) * dnterm;
    betdn += dnterm;
    sum += xmult * betdn;
  }

  // Forward.
  xmult = centwt;
  i = icent + 1.0;
  double upterm;
  if (aup - 1.0 + b == 0.0) {
    upterm = std::exp(-gamma_log(aup) - gamma_log(b) + (aup - 1.0) * std::log(xx) +
                      b * std::log(yy));
  } else {
    upterm = std::exp(gamma_log(aup - 1.0 + b) - gamma_log(aup) - gamma_log(b) +
                      (aup - 1.0) * std::log(xx) + b * std::log(yy));
  }
  terms = 0;
  do {
    if (++terms > kMaxMixtureTerms || std::isnan(sum)) {
      sum = kNaN;
      break;
    }
    xmult = xmult * (xnonc / i);
    i += 1.0;
    aup += 1.0;
    upterm = (aup + b - 2.0) * xx / (aup - 1.0) * upterm;
    betup -= upterm;
    sum += xmult * betup;
  } while (!negligible(xmult * betup, sum, 1.0e-4f));
  cum = sum;
  ccum = 1.0 - cum;
}

void cumchn(double x, double df, double pnonc, double& cum, double& ccum) {
  constexpr int kMaxCount = 1000;
  if (x <= 0.0) {
    cum = 0.0;
    ccum = 1.0;
    return;
  }
  if (pnonc <= 1.0e-10) {
    cumchi(x, df, cum, ccum);
    return;
  }
  const double xnonc = pnonc / 2.0;
  double icent = std::trunc(xnonc);
  if (icent == 0.0) icent = 1.0;
  const double chid2 = x / 2.0;
  const double centwt = std::exp(-xnonc + icent * std::log(xnonc) - gamma_log(icent + 1.0));
  double pcent, pcomp;
  cumchi(x, df + 2.0 * icent, pcent, pcomp);
  const double dfd2 = (df + 2.0 * icent) / 2.0;
  const double centaj = std::exp(dfd2 * std::log(chid2) - chid2 - gamma_log(1.0 + dfd2));
  double sum = centwt * pcent;

  // Backward: each step lowers the degrees of freedom by 2.
  double sumadj = 0.0;
  double adj = centaj;
  double wt = centwt;
  double i = icent;
  int count = 0;
  double term;
  do {
    adj = adj * ((df + 2.0 * i) / 2.0) / chid2;
    sumadj += adj;
    wt = wt * (i / xnonc);
    term = wt * (pcent + sumadj);
    sum += term;
    i -= 1.0;
    ++count;
  } while (!(count > kMaxCount || negligible(term, sum, 1.0e-5f) || i == 0.0));

  // Forward.
  sumadj = centaj;
  adj = centaj;
  wt = centwt;
  i = icent;
  count = 0;
  do {
    wt = wt * (xnonc / (i + 1.0));
    term = wt * (pcent - sumadj);
    sum += term;
    i += 1.0;
    adj = adj * chid2 / ((df + 2.0 * i) / 2.0);
    sumadj += adj;
    ++count;
  } while (!(count > kMaxCount || negligible(term, sum, 1.0e-5f)));
  cum = sum;
  ccum = 1.0 - cum;
}

}  // namespace distlib
