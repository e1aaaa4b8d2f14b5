// Reverse-communication zero finder (Bus and Dekker's Algorithm R) and the
// bracketing search that inverts a monotone function with it.  Both keep
// their state between calls in one saved record each; the search drives the
// zero finder's record, so one search runs at a time.
#include <cmath>

#include "random/distlib.hpp"
#include "util/stop.hpp"

namespace distlib {

namespace {

struct ZeroState {
  double xxlo = 0, xxhi = 0, abstol = 0, reltol = 0;
  double a = 0, b = 0, c = 0, d = 0, fa = 0, fb = 0, fc = 0, fd = 0;
  double m = 0, mb = 0, tol = 0, w = 0, p = 0, q = 0, fda = 0, fdb = 0;
  int ext = 0;
  bool first = true;
  bool qrzero = false;
  // Which request the next call answers: 1 the lower end, 2 the upper end,
  // 3 a step.
  int resume = 0;
};
ZeroState zs;

// Strictly opposite signs, judged on the signs themselves: the product of
// two tiny values underflows to a zero of either sign.
bool opposite_signs(double u, double v) { return (u < 0.0 && v > 0.0) || (u > 0.0 && v < 0.0); }

struct SearchState {
  double small = 0, big = 0, absstp = 0, relstp = 0, stpmul = 0, abstol = 0, reltol = 0;
  double xsave = 0, fsmall = 0, step = 0, xlb = 0, xub = 0, xlo = 0, xhi = 0;
  bool qincr = false;
  int zstatus = 0;
  // 1 after the value at small, 2 at big, 3 at the start, 4 stepping up,
  // 5 stepping down, 6 inside the zero finder.
  int resume = 0;
};
SearchState ss;

}  // namespace

void dstzr(double zxlo, double zxhi, double zabstl, double zreltl) {
  zs.xxlo = zxlo;
  zs.xxhi = zxhi;
  zs.abstol = zabstl;
  zs.reltol = zreltl;
}

void dzror(int& status, double& x, double fx, double& xlo, double& xhi, bool& qleft, bool& qhi) {
  ZeroState& z = zs;
  if (status <= 0) {
    xlo = z.xxlo;
    xhi = z.xxhi;
    z.b = xlo;
    x = xlo;
    z.resume = 1;
    status = 1;
    return;
  }
  // Ends the search without a root.
  auto no_root = [&](bool left, bool hi) {
    status = -1;
    qleft = left;
    qhi = hi;
    z.resume = 0;
  };
  // A value that is not a number would keep the steps from ever closing in.
  if (std::isnan(fx)) {
    no_root(false, false);
    return;
  }
  switch (z.resume) {
    case 1:
      z.fb = fx;
      xlo = z.xxhi;
      z.a = z.xxhi;
      x = z.xxhi;
      z.resume = 2;
      status = 1;
      return;
    case 2:
      if (z.fb < 0.0 && fx < 0.0) {
        no_root(fx < z.fb, false);
        return;
      }
      if (z.fb > 0.0 && fx > 0.0) {
        no_root(fx > z.fb, true);
        return;
      }
      z.fa = fx;
      z.first = true;
      z.c = z.a;
      z.fc = z.fa;
      z.ext = 0;
      break;
    case 3:
      z.fb = fx;
      if (!opposite_signs(z.fc, z.fb)) {
        z.c = z.a;
        z.fc = z.fa;
        z.ext = 0;
      } else if (z.w == z.mb) {
        z.ext = 0;
      } else {
        z.ext += 1;
      }
      break;
    default:
      // A continuation call with no search under way.
      no_root(false, false);
      return;
  }

  // Make b the end with the smaller |f|.
  if (std::fabs(z.fc) < std::fabs(z.fb)) {
    if (z.c != z.a) {
      z.d = z.a;
      z.fd = z.fa;
    }
    z.a = z.b;
    z.fa = z.fb;
    xlo = z.c;
    z.b = xlo;
    z.fb = z.fc;
    z.c = z.a;
    z.fc = z.fa;
  }
  z.tol = 0.5 * std::fmax(z.abstol, z.reltol * std::fabs(xlo));
  z.m = (z.c + z.b) * 0.5;
  z.mb = z.m - z.b;
  if (std::fabs(z.mb) <= z.tol) {
    xhi = z.c;
    z.qrzero = (z.fc >= 0.0 && z.fb <= 0.0) || (z.fc < 0.0 && z.fb >= 0.0);
    status = z.qrzero ? 0 : -1;
    z.resume = 0;
    return;
  }
  if (z.ext > 3) {
    z.w = z.mb;
  } else {
    z.tol = std::copysign(z.tol, z.mb);
    z.p = (z.b - z.a) * z.fb;
    if (z.first) {
      z.q = z.fa - z.fb;
      z.first = false;
    } else {
      z.fdb = (z.fd - z.fb) / (z.d - z.b);
      z.fda = (z.fd - z.fa) / (z.d - z.a);
      z.p = z.fda * z.p;
      z.q = z.fdb * z.fa - z.fda * z.fb;
    }
    if (z.p < 0.0) {
      z.p = -z.p;
      z.q = -z.q;
    }
    if (z.ext == 3) z.p *= 2.0;
    if (z.p == 0.0 || z.p <= z.q * z.tol) {
      z.w = z.tol;
    } else if (z.p < z.mb * z.q) {
      z.w = z.p / z.q;
    } else {
      z.w = z.mb;
    }
  }
  z.d = z.a;
  z.fd = z.fa;
  z.a = z.b;
  z.fa = z.fb;
  z.b = z.b + z.w;
  xlo = z.b;
  x = z.b;
  z.resume = 3;
  status = 1;
}

void dstinv(double small, double big, double absstp, double relstp, double stpmul,
            double abstol, double reltol) {
  ss.small = small;
  ss.big = big;
  ss.absstp = absstp;
  ss.relstp = relstp;
  ss.stpmul = stpmul;
  ss.abstol = abstol;
  ss.reltol = reltol;
}

void dinvr(int& status, double& x, double fx, bool& qleft, bool& qhi) {
  SearchState& s = ss;
  if (status <= 0) {
    if (!(s.small <= x && x <= s.big)) util::fatal(" \n small, x, big not monotone in invr");
    s.xsave = x;
    x = s.small;
    s.resume = 1;
    status = 1;
    return;
  }
  auto end_search = [&](bool left, bool hi, double at) {
    status = -1;
    qleft = left;
    qhi = hi;
    x = at;
    s.resume = 0;
  };
  // A value that is not a number ends the search without an answer.
  if (std::isnan(fx)) {
    end_search(false, false, x);
    return;
  }
  auto refine = [&]() {
    dstzr(s.xlb, s.xub, s.abstol, s.reltol);
    bool ql = false, qh = false;
    s.zstatus = 0;
    dzror(s.zstatus, x, fx, s.xlo, s.xhi, ql, qh);
    s.resume = 6;
    status = 1;
  };
  switch (s.resume) {
    case 1:
      s.fsmall = fx;
      x = s.big;
      s.resume = 2;
      status = 1;
      return;
    case 2: {
      const double fbig = fx;
      s.qincr = fbig > s.fsmall;
      if (s.qincr && s.fsmall > 0.0) return end_search(true, true, s.big);
      if (s.qincr && fbig < 0.0) return end_search(false, false, s.big);
      if (!s.qincr && s.fsmall < 0.0) return end_search(true, false, s.big);
      if (!s.qincr && fbig > 0.0) return end_search(false, true, s.big);
      s.step = std::fmax(s.absstp, s.relstp * std::fabs(s.xsave));
      x = s.xsave;
      s.resume = 3;
      status = 1;
      return;
    }
    case 3: {
      const double yy = fx;
      if (yy == 0.0) {
        x = s.xsave;
        status = 0;
        s.resume = 0;
        return;
      }
      const bool up = (s.qincr && yy < 0.0) || (!s.qincr && yy > 0.0);
      if (up) {
        s.xlb = s.xsave;
        s.xub = std::fmin(s.xlb + s.step, s.big);
        x = s.xub;
        s.resume = 4;
      } else {
        s.xub = s.xsave;
        s.xlb = std::fmax(s.xub - s.step, s.small);
        x = s.xlb;
        s.resume = 5;
      }
      status = 1;
      return;
    }
    case 4: {
      const double yy = fx;
      const bool bracketed = (s.qincr && yy >= 0.0) || (!s.qincr && yy <= 0.0);
      if (bracketed) return refine();
      if (s.xub >= s.big) return end_search(false, !s.qincr, s.big);
      s.step = s.stpmul * s.step;
      s.xlb = s.xub;
      s.xub = std::fmin(s.xlb + s.step, s.big);
      x = s.xub;
      status = 1;
      return;
    }
    case 5: {
      const double yy = fx;
      const bool bracketed = (s.qincr && yy <= 0.0) || (!s.qincr && yy >= 0.0);
      if (bracketed) return refine();
      if (s.xlb <= s.small) return end_search(true, s.qincr, s.small);
      s.step = s.stpmul * s.step;
      s.xub = s.xlb;
      s.xlb = std::fmax(s.xub - s.step, s.small);
      x = s.xlb;
      status = 1;
      return;
    }
    case 6: {
      bool ql = false, qh = false;
      dzror(s.zstatus, x, fx, s.xlo, s.xhi, ql, qh);
      if (s.zstatus == 1) {
        status = 1;
        return;
      }
      // The zero finder's own verdict is not passed on: its best point is
      // the answer.
      x = s.xlo;
      status = 0;
      s.resume = 0;
      return;
    }
    default:
      // A continuation call with no search under way.
      end_search(false, false, x);
      return;
  }
}

}  // namespace distlib
