// Gamma distribution driver: any one of (p and q), x, shape and scale from
// the others.  scale is a rate: P(X <= x) = P(shape, x * scale).
#include <cmath>

#include "random/distlib.hpp"

namespace distlib {

void cdfgam(int which, double& p, double& q, double& x, double& shape, double& scale,
            int& status, double& bound) {
  constexpr double tol = 1.0e-8;
  constexpr double atol = 1.0e-50;
  constexpr double inf = 1.0e300;
  constexpr double sum_tol = 3.0 * 2.220446049250313e-16;

  if (which < 1 || which > 4) {
    status = -1;
    bound = which < 1 ? 1.0 : 4.0;
    return;
  }
  // The checks are written so that arguments that are not numbers fail them.
  if (which != 1) {
    if (!(p >= 0.0)) {
      status = -2;
      bound = 0.0;
      return;
    }
    if (p > 1.0) {
      status = -2;
      bound = 1.0;
      return;
    }
    if (!(q > 0.0)) {
      status = -3;
      bound = 0.0;
      return;
    }
    if (q > 1.0) {
      status = -3;
      bound = 1.0;
      return;
    }
  }
  if (which != 2 && !(x >= 0.0)) {
    status = -4;
    bound = 0.0;
    return;
  }
  if (which != 3 && !(shape > 0.0)) {
    status = -5;
    bound = 0.0;
    return;
  }
  if (which != 4 && !(scale > 0.0)) {
    status = -6;
    bound = 0.0;
    return;
  }
  if (which != 1) {
    double pq = p + q;
    if (std::fabs((pq - 0.5) - 0.5) > sum_tol) {
      status = 3;
      bound = pq < 0.0 ? 0.0 : 1.0;
      return;
    }
  }

  if (which == 1) {
    status = 0;
    double xscale = x * scale;
    if (xscale <= 0.0) {
      p = 0.0;
      q = 1.0;
      return;
    }
    gamma_inc(shape, xscale, p, q, 0);
    // The ratio's error exit (p = 2.0) is a failure, not a result.
    if (p > 1.5) status = 10;
    return;
  }
  if (which == 2 || which == 4) {
    double xx;
    int ierr;
    gamma_inc_inv(shape, xx, -1.0, p, q, ierr);
    if (ierr < 0) {
      status = 10;
      return;
    }
    status = 0;
    if (which == 2) {
      x = xx / scale;
    } else {
      scale = xx / x;
    }
    return;
  }

  // which 3: search for the shape.
  double xscale = x * scale;
  shape = 5.0;
  dstinv(0.0, inf, 0.5, 0.5, 5.0, atol, tol);
  status = 0;
  double fx = 0.0;
  bool qleft = false, qhi = false;
  const bool qporq = p <= q;
  dinvr(status, shape, fx, qleft, qhi);
  while (status == 1) {
    double cum = 0.0, ccum = 1.0;
    if (xscale > 0.0) gamma_inc(shape, xscale, cum, ccum, 0);
    // The ratio's error value 2.0 always lands in cum, whichever tail is fed
    // back.
    if (cum > 1.5 || ccum > 1.5) {
      status = 10;
      return;
    }
    fx = qporq ? cum - p : ccum - q;
    dinvr(status, shape, fx, qleft, qhi);
  }
  if (status == -1) {
    if (qleft) {
      status = 1;
      bound = 0.0;
    } else {
      status = 2;
      bound = inf;
    }
  }
}

}  // namespace distlib
