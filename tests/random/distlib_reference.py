#!/usr/bin/env python3
"""Reference values for the distribution-library tests, computed once with
mpmath (Debian's python3-mpmath) at 60+ digits and written, to 36 significant
digits, to tests/random/distlib_reference_data.hpp.

Run:  python3 tests/random/distlib_reference.py [--grid-only]

The few points of the accuracy grid go to distlib_grid_data.hpp.

Every argument is a double, and the reference is the exact function value at
that double.  Each row also carries a condition number kappa: the relative
change of the result per relative change of the arguments (summed over the
arguments), so that a test can allow for the rounding of intermediate values
that any double-precision method must make.
"""

import os
import sys

import mpmath
from mpmath import mp, mpf

mp.dps = 70
DIG = 36


def lit(v):
    v = mpf(v)
    if v == 0:
        return "0.0"
    s = mpmath.nstr(v, DIG, min_fixed=1, max_fixed=0, strip_zeros=False)
    if "e" not in s and "." not in s:
        s += ".0"
    return s


def klit(v):
    return mpmath.nstr(mpf(v), 4, min_fixed=1, max_fixed=0) if v != 0 else "0.0"


def dlit(x):
    x = float(x)
    if x != x:
        return "NAN"
    if abs(x) == float("inf"):
        return "INFINITY" if x > 0 else "-INFINITY"
    return repr(x)


def cond1(f, x):
    """|x f'(x) / f(x)| by a central difference at high precision."""
    x = mpf(x)
    fx = f(x)
    if fx == 0:
        return mpf(0)
    h = abs(x) * mpf(10) ** -25 if x != 0 else mpf(10) ** -25
    d = (f(x + h) - f(x - h)) / (2 * h)
    return abs(x * d / fx)


# ------------------------------------------------------ incomplete gamma ratio
def quad_pq(a, x):
    """P and Q by quadrature in u = (t - a)/sqrt(a), with the nodes packed
    around u(x) where a tail integrand has its mass; for a >= 1e4."""
    s = mpmath.sqrt(a)
    lg = mpmath.loggamma(a)
    g = lambda u: mpmath.exp((a - 1) * mpmath.log(a + s * u) - (a + s * u) - lg) * s
    ux = (x - a) / s
    pts = [mpf(v) for v in (-90, -40, -20, -8, -3, 0, 3, 8, 20, 40, 90)]
    width = min(mpf(1), 1 / abs(ux)) if ux != 0 else mpf(1)
    for k in (0.05, 0.1, 0.25, 0.5, 1, 2, 4, 8, 16, 32):
        for sgn in (-1, 1):
            v = ux + sgn * k * width
            if -90 < v < 90:
                pts.append(v)
    pts = sorted(set(pts))
    lo = [p for p in pts if p < ux] + [ux]
    hi = [ux] + [p for p in pts if p > ux]
    p = mpmath.quad(g, lo) if len(lo) > 1 else mpf(0)
    q = mpmath.quad(g, hi) if len(hi) > 1 else mpf(0)
    return p, q


def pq(a, x):
    """P(a, x) and Q(a, x): mpmath's own series and fractions where they
    converge, the quadrature above for large shapes where they do not."""
    a = mpf(a)
    x = mpf(x)
    try:
        p = mpmath.gammainc(a, 0, x, regularized=True)
        q = mpmath.gammainc(a, x, mpmath.inf, regularized=True)
        return p, q
    except mpmath.libmp.libhyper.NoConvergence:
        if a < 1e4:
            raise
        return quad_pq(a, x)


def gamma_density(a, x):
    a = mpf(a)
    x = mpf(x)
    return mpmath.exp((a - 1) * mpmath.log(x) - x - mpmath.loggamma(a))


def cond_pq(a, x):
    """Condition of the smaller tail with respect to a and x."""
    a = mpf(a)
    x = mpf(x)
    p, q = pq(a, x)
    small = min(p, q)
    if small == 0:
        return mpf(0)
    kx = x * gamma_density(a, x) / small
    h = a * mpf(10) ** -30
    dp = (pq(a + h, x)[0] - pq(a - h, x)[0]) / (2 * h)
    ka = abs(a * dp) / small
    return kx + ka


def inverse(a, p, q):
    """x with P(a, x) = p when p <= q, else Q(a, x) = q."""
    a = mpf(a)
    use_p = p <= q
    target = mpf(p) if use_p else mpf(q)
    lt = mpmath.log(target)

    def f(x):
        v = pq(a, x)[0 if use_p else 1]
        return mpmath.log(v) - lt

    # Bracket on a log scale, then a robust root finder.
    lo, hi = mpf(0), None
    x = max(a, mpf(1))
    fx = f(x)
    if (fx > 0) == use_p:
        hi = x
        lo = x / 2
        while (f(lo) > 0) == use_p:
            hi = lo
            lo = lo / 2
            if lo < mpf(10) ** -300:
                raise SystemExit("quantile underflows: a=%s p=%s" % (a, p))
    else:
        lo = x
        hi = x * 2
        while (f(hi) > 0) != use_p:
            lo = hi
            hi = hi * 2
    # Bisection (geometric) to a narrow bracket, then Newton on ln(tail):
    # d ln(tail)/dx = +-density/tail.
    while hi / lo - 1 > mpf(10) ** -8:
        mid = mpmath.sqrt(lo * hi)
        if (f(mid) > 0) == use_p:
            hi = mid
        else:
            lo = mid
    root = mpmath.sqrt(lo * hi)
    for _ in range(40):
        v = pq(a, root)[0 if use_p else 1]
        slope = gamma_density(a, root) / v * (1 if use_p else -1)
        step = (mpmath.log(v) - lt) / slope
        root -= step
        if abs(step / root) < mpf(10) ** -50:
            break
    else:
        raise SystemExit("no convergence for the inverse at a=%s p=%s" % (a, p))
    # kappa: relative change of x per relative change of target and of a
    dens = gamma_density(a, root)
    kp = target / (root * dens)
    h = a * mpf(10) ** -30
    dpa = (pq(a + h, root)[0] - pq(a - h, root)[0]) / (2 * h)
    ka = abs(a * dpa / (dens * root))
    return root, kp + ka


# ------------------------------------------------------- incomplete beta ratio
def ibeta_cf(a, b, x):
    """I_x(a, b) by its continued fraction, for x < (a + 1)/(a + b + 2),
    where it converges in about sqrt(max(a, b)) steps; for large shapes,
    where mpmath's hypergeometric series gives up."""
    lnfront = (a * mpmath.log(x) + b * mpmath.log1p(-x) - mpmath.log(a)
               - (mpmath.loggamma(a) + mpmath.loggamma(b) - mpmath.loggamma(a + b)))
    qab, qap, qam = a + b, a + 1, a - 1
    c = mpf(1)
    d = 1 / (1 - qab * x / qap)
    h = d
    for m in range(1, 200000):
        m2 = 2 * m
        aa = m * (b - m) * x / ((qam + m2) * (a + m2))
        d = 1 / (1 + aa * d)
        c = 1 + aa / c
        h *= d * c
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))
        d = 1 / (1 + aa * d)
        c = 1 + aa / c
        step = d * c
        h *= step
        if abs(step - 1) < mpf(10) ** -(mp.dps - 5):
            return mpmath.exp(lnfront) * h
    raise SystemExit("no convergence of the beta fraction at %s %s %s" % (a, b, x))


def ibeta(a, b, x):
    """I_x(a, b) and 1 - I_x(a, b), each computed as a tail of its own."""
    a, b, x = mpf(a), mpf(b), mpf(x)
    if x <= 0:
        return mpf(0), mpf(1)
    if x >= 1:
        return mpf(1), mpf(0)
    if min(a, b) > 100:
        if x < (a + 1) / (a + b + 2):
            w = ibeta_cf(a, b, x)
            return w, 1 - w
        w1 = ibeta_cf(b, a, 1 - x)
        return 1 - w1, w1
    w = mpmath.betainc(a, b, 0, x, regularized=True)
    w1 = mpmath.betainc(b, a, 0, 1 - x, regularized=True)
    return w, w1


def cond_multi(f, args):
    """Sum over the arguments of |arg d f / d arg / f|, by central differences;
    f returns the tail whose relative error matters (the smaller one)."""
    args = [mpf(v) for v in args]
    f0 = f(*args)
    if f0 == 0:
        return mpf(0)
    k = mpf(0)
    for i, v in enumerate(args):
        if v == 0:
            continue
        h = abs(v) * mpf(10) ** -20
        up = list(args)
        dn = list(args)
        up[i] = v + h
        dn[i] = v - h
        k += abs(v * (f(*up) - f(*dn)) / (2 * h) / f0)
    return k


def small_tail(pair):
    return lambda *args: min(pair(*args))


def beta_family(w):
    """Tables of the incomplete beta ratio, the cumulative functions and the
    drivers built on them: each row gives the arguments (doubles), the lower
    tail cum, the upper tail ccum and the condition number of the smaller."""
    w("struct Cum { double x1; double x2; double x3; double x4; double cum; double ccum;")
    w("             double kappa; };")
    w("")

    def table(name, pair, rows):
        w("inline const Cum %s[] = {" % name)
        for row in rows:
            row = [float(v) for v in row] + [0.0] * (4 - len(row))
            print(name, row, file=sys.stderr, flush=True)
            c, cc = pair(*[mpf(v) for v in row])
            k = cond_multi(small_tail(pair), row)
            w("    {%s, %s, %s, %s, %s, %s, %s}," % (dlit(row[0]), dlit(row[1]), dlit(row[2]),
                                                    dlit(row[3]), lit(c), lit(cc), klit(k)))
        w("};")
        w("")

    # beta_ratio: x1 = a, x2 = b, x3 = x (y = 1 - x rounded to a double);
    # one row per method of each region, then the same with (a, b) and
    # (x, y) exchanged where that takes the other side of a swap.
    beta_rows = [
        (2.0, 1e-16, 0.3), (1e-16, 2.0, 0.7),                     # fpser
        (1e-16, 2.0, 0.3), (1e-20, 1e14, 5e-15),                  # apser, both forms of c
        (0.5, 0.5, 0.3), (0.1, 0.5, 0.2),                         # power series, max <= 1
        (0.1, 0.5, 0.4),                                          # series of the complement
        (0.05, 0.5, 0.2), (0.5, 0.05, 0.8),                       # up-recurrence and grat
        (3.0, 0.5, 0.4), (0.5, 3.0, 0.35), (0.5, 3.0, 0.05),      # max > 1
        (0.5, 20.0, 0.2), (20.0, 0.5, 0.8), (0.5, 5.0, 0.2),      # grat with and without
        (1e-3, 1e3, 1e-4), (0.9, 200.0, 0.01),
        (5.0, 3.0, 0.1), (3.0, 5.0, 0.9),                         # large shapes, series
        (5.0, 3.0, 0.5), (10.0, 3.0, 0.6), (2.5, 30.0, 0.05),    # up-recurrence + series
        (10.0, 1.5, 0.75), (30.0, 2.0, 0.8), (1.5, 10.0, 0.25),  # up-recurrence + grat
        (50.0, 60.0, 0.4), (60.0, 50.0, 0.6), (200.0, 300.0, 0.3),  # continued fraction
        (45.5, 1000.0, 0.01), (1e4, 41.0, 0.995),
        (200.0, 300.0, 0.399), (1000.0, 1000.0, 0.5), (5000.0, 8000.0, 0.3846),  # expansion
        (1e5, 1e5, 0.4995),
    ]

    def bpair(a, b, x, _):
        return ibeta(a, b, x)
    table("beta_ratio", bpair, beta_rows)

    # t: x1 = t, x2 = df
    def tpair(t, df, *_):
        tt = t * t
        ix, omix = ibeta(df / 2, mpf(0.5), df / (df + tt))
        half = ix / 2
        return (half, omix + half) if t <= 0 else (omix + half, half)
    table("cumt", tpair, [(-3.0, 2.0), (3.0, 2.0), (-0.1, 7.5), (0.25, 30.0), (-40.0, 1.0),
                          (12.0, 0.3), (-1.96, 1e6), (2.5, 5.0)])

    # chi-square: x1 = x, x2 = df
    def chipair(x, df, *_):
        return pq(df / 2, x / 2)
    table("cumchi", chipair, [(0.5, 3.0), (10.0, 3.0), (1e-4, 0.5), (40.0, 20.0), (5.0, 20.0),
                              (300.0, 250.0)])

    # Poisson: x1 = s, x2 = xlam; cum = Q(s + 1, xlam)
    def poipair(s, lam, *_):
        p, q = pq(s + 1, lam)
        return q, p
    table("cumpoi", poipair, [(0.0, 2.0), (3.0, 0.5), (10.0, 2.0), (2.0, 12.0), (7.5, 8.0),
                              (100.0, 150.0)])

    # negative binomial: x1 = s, x2 = xn, x3 = pr
    def nbnpair(s, xn, pr, *_):
        return ibeta(xn, s + 1, pr)
    table("cumnbn", nbnpair, [(2.0, 3.0, 0.4), (20.0, 3.0, 0.4), (0.0, 5.0, 0.9), (5.5, 2.5, 0.1),
                              (50.0, 10.0, 0.3)])

    # F: x1 = f, x2 = dfn, x3 = dfd
    def fpair(f, dfn, dfd, *_):
        ccum, cum = ibeta(dfd / 2, dfn / 2, dfd / (dfd + dfn * f))
        return cum, ccum
    table("cumf", fpair, [(0.5, 3.0, 7.0), (4.0, 3.0, 7.0), (1.0, 2.0, 2.0), (0.05, 10.0, 4.5),
                          (20.0, 1.0, 100.0), (1.2, 60.0, 80.0)])

    # binomial: x1 = s, x2 = xn, x3 = pr
    def binpair(s, xn, pr, *_):
        ccum, cum = ibeta(s + 1, xn - s, pr)
        return cum, ccum
    table("cumbin", binpair, [(2.0, 10.0, 0.5), (8.0, 10.0, 0.5), (0.0, 20.0, 0.3),
                              (15.0, 40.0, 0.7), (3.0, 1000.0, 0.001), (40.0, 50.0, 0.9)])

    # normal: x1 = arg
    def norpair(x, *_):
        return mpmath.ncdf(x), mpmath.ncdf(-x)
    table("cumnor", norpair, [(-38.0,), (-10.0,), (-5.656854248,), (-3.0,), (-1.5,), (-1.0,),
                              (-0.5,), (1e-17,), (0.3,), (0.66291,), (0.7,), (2.0,), (6.5,)])

    # noncentral F: x1 = f, x2 = dfn, x3 = dfd, x4 = pnonc (Poisson mixture)
    table("cumfnc", fncpair, [(1.0, 3.0, 7.0, 0.5), (2.5, 4.0, 12.0, 3.0), (0.8, 5.0, 5.0, 10.0),
                              (6.0, 2.0, 20.0, 25.0)])
    # far tails: the upper ones formed from their own terms, the lower ones
    # far below any fixed floor
    table("cumfnc_tails", fncpair, [(200.0, 1.0, 10.0, 2.0), (1000.0, 1.0, 10.0, 2.0),
                                    (60.0, 3.0, 12.0, 8.0), (25.0, 4.0, 40.0, 30.0),
                                    (0.02, 4.0, 10.0, 60.0), (0.03, 2.5, 27.0, 650.0),
                                    (3e4, 2.0, 13.0, 650.0)])

    # noncentral chi-square: x1 = x, x2 = df, x3 = pnonc
    table("cumchn", chnpair, [(2.0, 3.0, 0.5), (8.0, 3.0, 2.0), (15.0, 4.0, 9.0),
                              (60.0, 10.0, 40.0), (3.0, 1.5, 1e-3)])
    table("cumchn_tails", chnpair, [(183.6, 3.0, 100.0), (250.0, 3.0, 100.0), (60.0, 2.0, 5.0),
                                    (0.5, 0.5, 50.0), (0.1, 2.0, 80.0), (5.0, 4.0, 120.0),
                                    (0.01, 2.0, 300.0), (2000.0, 3.0, 100.0)])


def mixture(lam, lower_k, upper_k):
    """Both tails of a Poisson mixture, each summed from its own central
    ratios, until the Poisson weight left is negligible against the smaller."""
    lo = hi = mpf(0)
    k = 0
    while True:
        wgt = mpmath.exp(-lam + k * mpmath.log(lam) - mpmath.loggamma(k + 1))
        lo += wgt * lower_k(k)
        hi += wgt * upper_k(k)
        if k > lam and wgt < mpf(10) ** -30 * min(lo, hi):
            return lo, hi
        k += 1


def fncpair(f, dfn, dfd, nc):
    x = dfn * f / (dfd + dfn * f)
    return mixture(nc / 2, lambda k: mpmath.betainc(dfn / 2 + k, dfd / 2, 0, x, regularized=True),
                   lambda k: mpmath.betainc(dfd / 2, dfn / 2 + k, 0, 1 - x, regularized=True))


def chnpair(x, df, nc, *_):
    return mixture(nc / 2, lambda k: pq(df / 2 + k, x / 2)[0], lambda k: pq(df / 2 + k, x / 2)[1])


def solve(tail, target, lo, hi, logscale=True, rel=mpf(10) ** -40):
    """v in [lo, hi] with tail(v) = target; tail monotone."""
    lt = mpmath.log(target)
    g = lambda v: mpmath.log(tail(v)) - lt
    glo = g(mpf(lo))
    lo, hi = mpf(lo), mpf(hi)
    if (glo > 0) == (g(hi) > 0):
        raise SystemExit("no bracket for %s in [%s, %s]" % (target, lo, hi))
    for _ in range(400):
        mid = mpmath.sqrt(lo * hi) if logscale else (lo + hi) / 2
        if (g(mid) > 0) == (glo > 0):
            lo = mid
        else:
            hi = mid
        if hi / lo - 1 < rel:
            break
    return (lo + hi) / 2


def far_row(w):
    """A writer of rows of a Far table: the driver's values in argument
    order, the index of the one sought, the status and the exact answer (the
    bound for a status other than 0)."""
    def row(driver, which, v, k, status, want):
        v = [float(x) for x in v] + [0.0] * (6 - len(v))
        print("far", driver, which, v, file=sys.stderr, flush=True)
        w("    {\"%s\", %d, {%s}, %d, %d, %s}," % (driver, which, ", ".join(dlit(x) for x in v), k,
                                                 status, lit(want)))
    return row


def far_searches(w):
    """Driver searches whose matched tail is far below 1e-160 (where a product
    of two function values underflows; answers above the searches' absolute
    tolerance 1e-50), quantiles beyond the double range of
    the t and F functions, and probability parameters whose small member is
    the complement of the one the tail rule searches.  Each row: the driver's
    values in argument order, the index of the one sought, the status and the
    exact answer (the bound for a status other than 0)."""
    w("struct Far { const char* driver; int which; double v[6]; int k; int status; double want; };")
    w("")
    w("inline const Far far_searches[] = {")

    row = far_row(w)

    bet = lambda a, b, x: mpmath.betainc(a, b, 0, x, regularized=True)
    # chi-square x: P(df/2, x/2) = p, or Q = q
    for p, df, lo, hi in [(1e-170, 30.0, 1e-40, 1), (1e-300, 30.0, 1e-30, 1e-10)]:
        row("chi", 2, [p, 1.0, 0, df], 2, 0, solve(lambda x: pq(df / 2, x / 2)[0], mpf(p), lo, hi))
    row("chi", 2, [1.0, 1e-170, 0, 30.0], 2, 0,
        solve(lambda x: pq(15, x / 2)[1], mpf(1e-170), 100, 2000))
    # Poisson xlam: q = P(s + 1, xlam)
    for q, s in [(2.55e-191, 100.0), (1e-250, 60.0)]:
        row("poi", 3, [1.0, q, s, 0], 3, 0, solve(lambda l: pq(s + 1, l)[0], mpf(q), 1e-10, 10))
    # gamma shape: P(shape, x scale) = p
    row("gam", 3, [1e-170, 1.0, 1.0, 0, 2.0], 3, 0,
        solve(lambda a: pq(a, 2)[0], mpf(1e-170), 10, 1000))
    row("gam", 3, [1e-250, 1.0, 3.0, 0, 0.5], 3, 0,
        solve(lambda a: pq(a, mpf(1.5))[0], mpf(1e-250), 10, 1000))
    # negative binomial xn: I_pr(xn, s + 1) = p
    row("nbn", 3, [1e-170, 1.0, 5.0, 0, 0.01, 0.99], 3, 0,
        solve(lambda n: bet(n, 6, mpf(0.01)), mpf(1e-170), 10, 1000))
    # binomial xn: I_ompr(xn - s, s + 1) = p
    row("bin", 3, [1e-170, 1.0, 2.0, 0, 0.5, 0.5], 3, 0,
        solve(lambda n: bet(n - 2, 3, mpf(0.5)), mpf(1e-170), 100, 2000))
    # beta a from x, b; x from a, b
    row("bet", 3, [1e-170, 1.0, 0.5, 0.5, 0, 2.0], 4, 0,
        solve(lambda a: bet(a, 2, mpf(0.5)), mpf(1e-170), 100, 2000))
    row("bet", 2, [1e-170, 1.0, 0, 0, 5.0, 3.0], 2, 0,
        solve(lambda x: bet(5, 3, x), mpf(1e-170), 1e-40, 1e-30))
    # t quantile in the far lower tail (t^2 overflows) and F in the far upper
    def tlow(df):
        return lambda at: bet(df / 2, mpf(0.5), df / (df + at * at)) / 2
    row("t", 2, [1e-170, 1.0, 0, 1.0], 2, 0, -solve(tlow(mpf(1)), mpf(1e-170), 1e160, 1e180))
    row("t", 2, [1.0, 1e-250, 0, 1.0], 2, 0, solve(tlow(mpf(1)), mpf(1e-250), 1e240, 1e260))
    row("t", 2, [1.0, 1e-200, 0, 3.0], 2, 0, solve(tlow(mpf(3)), mpf(1e-200), 1e60, 1e80))
    row("f", 2, [1.0, 1e-170, 0, 2.0, 2.0], 2, 0,
        solve(lambda f: bet(1, 1, 2 / (2 + 2 * f)), mpf(1e-170), 1e160, 1e180))
    # noncentral lower tails whose term at the Poisson mode underflows
    row("chn", 2, [1e-80, 0.0, 0, 2.0, 300.0], 2, 0,
        solve(lambda x: chnpair(x, mpf(2), mpf(300))[0], mpf(1e-80), 1e-16, 1e-13,
              rel=mpf(10) ** -20))
    row("fnc", 2, [1e-150, 0.0, 0, 2.5, 27.0, 650.0], 2, 0,
        solve(lambda f: fncpair(f, mpf(2.5), mpf(27), mpf(650))[0], mpf(1e-150), 1e-9, 0.1,
              rel=mpf(10) ** -20))
    # quantiles beyond 1e300: tiny degrees of freedom
    for df in (1e-80, 1e-20, 1e-3):
        row("t", 2, [0.975, 0.025, 0, df], 2, 2, mpf(1e300))
    row("f", 2, [0.975, 0.025, 0, 1.0, 1e-80], 2, 2, mpf(1e300))
    # beta x: p > q, the answer's x small (the search for y = 1 - x alone
    # resolves x only to about 1e-8)
    a, b = mpf(1e-6), mpf(1e4)
    for x0 in (1e-10, 1e-12, 1e-8):
        q = 1 - bet(a, b, mpf(x0))
        qd = float(q)
        pd = float(1 - mpf(qd))
        row("bet", 2, [pd, qd, 0, 0, 1e-6, 1e4], 2, 0,
            solve(lambda x: 1 - bet(a, b, x), mpf(qd), x0 / 10, x0 * 10))
    # binomial pr from p > q with pr small: P(X <= 0) = ompr^xn
    for pr0, xn in [(1e-10, 1e6), (1e-13, 1e9)]:
        p = (1 - mpf(pr0)) ** xn
        pd = float(p)
        qd = float(1 - mpf(pd))
        row("bin", 4, [pd, qd, 0.0, xn, 0, 0], 4, 0,
            solve(lambda r: 1 - (1 - r) ** xn, mpf(qd), pr0 / 10, pr0 * 10))
    # negative binomial pr from p <= q with ompr small: the lower tail
    # sum_{j <= s} C(xn + j - 1, j) pr^xn ompr^j, searched in ompr
    s, xn = 50, mpf(1e12)
    def nbn_low(om):
        pr = 1 - om
        return sum(mpmath.binomial(xn + j - 1, j) * pr ** xn * om ** j for j in range(s + 1))
    p = nbn_low(mpf(1e-10))
    pd = float(p)
    qd = float(1 - mpf(pd))
    om = solve(nbn_low, mpf(pd), 1e-11, 1e-9)
    row("nbn", 4, [pd, qd, float(s), 1e12, 0, 0], 5, 0, om)
    w("};")
    w("")


DBL_MAX = mpf(1.7976931348623157e308)


def fault_classes(w):
    """One table per class of answers that once came back with status 0 and
    were wrong (Far rows; which 1 rows give in k the tail, 0 for p or 1 for
    q, and in want its exact value)."""
    row = far_row(w)

    def table(name, make):
        w("inline const Far %s[] = {" % name)
        make()
        w("};")
        w("")

    def nor_quantile(p):
        return mpmath.sqrt(2) * mpmath.erfinv(2 * mpf(p) - 1)

    def normal():
        # sd from p: none when x - mean and the quantile differ in sign, or
        # when p = 1/2 and x is not the mean (both beyond the upper end)
        row("nor", 4, [0.3, 0.7, -1.0, 0.0, 0.0], 4, 0, -1 / nor_quantile(0.3))
        row("nor", 4, [0.3, 0.7, 1.0, 0.0, 0.0], 4, 2, DBL_MAX)
        row("nor", 4, [0.5, 0.5, 1.0, 0.0, 0.0], 4, 2, DBL_MAX)
        row("nor", 4, [0.6, 0.4, 0.0, 0.0, 0.0], 4, 1, 0)
        row("nor", 4, [0.4, 0.6, 0.0, 0.0, 0.0], 4, 2, DBL_MAX)
        row("nor", 4, [0.5, 0.5, 2.0, 2.0, 0.0], 4, 0, 1)
        # next to the median the quantile keeps its relative accuracy
        pm = 0.49999999999999994
        row("nor", 4, [pm, 1.0 - pm, -1.0, 0.0, 0.0], 4, 0, -1 / nor_quantile(pm))
        row("nor", 4, [0.5 + 2.0 ** -40, 0.5 - 2.0 ** -40, 3.0, 1.0, 0.0], 4, 0,
            2 / nor_quantile(0.5 + 2.0 ** -40))
        row("nor", 3, [0.75, 0.25, 1.0, 0.0, 2.0], 3, 0, 1 - 2 * nor_quantile(0.75))
        # answers beyond the doubles, arguments that are not numbers
        row("nor", 2, [0.975, 0.025, 0.0, 1e308, 1e308], 2, 2, DBL_MAX)
        row("nor", 3, [0.025, 0.975, 1e308, 0.0, 1e308], 3, 2, DBL_MAX)
        row("nor", 3, [0.3, 0.7, float("nan"), 0.0, 1.0], 3, -4, -DBL_MAX)
        row("nor", 2, [0.3, 0.7, 0.0, float("inf"), 1.0], 2, -5, DBL_MAX)
        row("nor", 1, [0.0, 0.0, 1.0, 0.0, float("inf")], 0, -6, DBL_MAX)
        row("nor", 1, [0.0, 0.0, 1.0, 0.0, -1.0], 0, -6, 0)

    def gamma_rate():
        # P(shape, x scale): no rate gives a positive p at x = 0; p = 0 is met
        # only as the rate falls to 0; a rate beyond the doubles
        row("gam", 4, [0.3, 0.7, 0.0, 2.0, 0.0], 4, 2, DBL_MAX)
        row("gam", 4, [0.0, 1.0, 0.0, 2.0, 0.0], 4, 1, 0)
        row("gam", 4, [0.0, 1.0, 1.0, 2.0, 0.0], 4, 1, 0)
        row("gam", 4, [0.3, 0.7, 1e-310, 2.0, 0.0], 4, 2, DBL_MAX)
        row("gam", 4, [0.3, 0.7, 0.5, 2.0, 0.0], 4, 0,
            solve(lambda t: pq(2, t)[0], mpf(0.3), 0.1, 10) / mpf(0.5))
        # and a quantile beyond the doubles (a rate far below it)
        row("gam", 2, [0.5, 0.5, 0.0, 2.0, 1e-310], 2, 2, DBL_MAX)

    def beta_lower(a, b, x, y):
        """I_x(a, b) from the smaller of x and y = 1 - x (each given to its
        own relative accuracy): as a complement at the precision it needs."""
        if x <= y:
            return mpmath.betainc(a, b, 0, x, regularized=True)
        dps = mp.dps
        while True:
            with mp.workdps(dps):
                r = 1 - mpmath.betainc(b, a, 0, y, regularized=True)
            if r > mpf(10) ** (30 - dps):
                return r
            dps *= 2

    def f_lower(f, dfn, dfd, k=0):
        """P(F <= f) of the central F, or the k-th term's ratio of the
        noncentral mixture."""
        f, dfn, dfd = mpf(f), mpf(dfn), mpf(dfd)
        x = dfn * f / (dfd + dfn * f)
        y = dfd / (dfd + dfn * f)
        return beta_lower(dfn / 2 + k, dfd / 2, x, y)

    def lower_mixture(nc, ratio):
        """sum_k w_k ratio(k) over the Poisson weights w_k of nc / 2, summed
        outward from its largest term until the terms are negligible."""
        lam = mpf(nc) / 2
        lnw = lambda k: -lam + k * mpmath.log(lam) - mpmath.loggamma(k + 1)
        top = int(lam + 40 * mpmath.sqrt(lam) + 200)
        grid = sorted(set([0, 1, 2] + [top * i // 100 for i in range(101)]))
        lnterm = lambda k: lnw(k) + mpmath.log(ratio(k))
        best = max(grid, key=lnterm)
        lo, hi = max(0, best - top // 100), best + top // 100
        best = max(range(lo, hi + 1), key=lnterm)
        total = mpf(0)
        for step in (-1, 1):
            k = best if step < 0 else best + 1
            while k >= 0:
                t = mpmath.exp(lnterm(k))
                total += t
                if t < mpf(10) ** -30 * total:
                    break
                k += step
        return total

    def fnc_lower(f, dfn, dfd, nc):
        """The noncentral F lower tail alone."""
        return lower_mixture(nc, lambda k: f_lower(f, dfn, dfd, k))

    def chn_lower(x, df, nc):
        """The noncentral chi-square lower tail alone."""
        x, df = mpf(x), mpf(df)
        return lower_mixture(nc, lambda k: mpmath.gammainc(df / 2 + k, 0, x / 2, regularized=True))

    def f_tiny_df():
        # dfd tiny with f near the top of the doubles: the share dfd / (dfd +
        # dfn f) is not a normal double, and P is about dfd (ln(1/share) ...)
        f, dfn = 1.69e307, 0.76
        lower = lambda dfd: f_lower(f, dfn, dfd)
        for dfd in (1.479e-19, 1.5e-19, 1e-30):
            row("f", 1, [0.0, 0.0, f, dfn, dfd], 0, 0, lower(dfd))
        row("f", 4, [5.57e-17, 1.0 - 5.57e-17, f, dfn, 0.0], 4, 0,
            solve(lower, mpf(5.57e-17), 1e-19, 1e-18))
        # and dfn tiny with f near 0: the upper tail is about dfn ln(1/share)
        upper = lambda dfn: 1 - f_lower(1e-300, dfn, 0.76)
        row("f", 1, [0.0, 0.0, 1e-300, 3e-20, 0.76], 1, 0, upper(3e-20))
        row("f", 3, [1.0, 1e-17, 1e-300, 0.0, 0.76], 3, 0, solve(upper, mpf(1e-17), 1e-22, 1e-18))

    def fnc_dfd():
        # the lower tail rises from 0 (dfd near 0) to its chi-square limit
        # (dfd large); an answer below the absolute tolerance 1e-50, and
        # points where dfd is so large that the larger share is 1 in doubles
        row("fnc", 4, [1e-50, 0.0, 10.0, 5.0, 0.0, 10.0], 4, 0,
            solve(lambda d: fnc_lower(10, 5, d, 10), mpf(1e-50), 1e-53, 1e-51))
        for dfd in (1e17, 1e40):
            row("fnc", 1, [0.0, 0.0, 0.1, 0.01, dfd, 100.0], 0, 0, fnc_lower(0.1, 0.01, dfd, 100))
        # 1e-120 lies below the tail at dfd = 1e-100, the lower end
        row("fnc", 4, [1e-120, 0.0, 0.1, 0.01, 0.0, 100.0], 4, 1, 0)

    def near_zero():
        # noncentral lower tails at a point below 1e-300: with small degrees
        # of freedom they are not small, and term 0 carries them
        for x, df, nc in [(1e-310, 0.01, 10.0), (1e-301, 0.01, 140.0), (1e-305, 0.2, 30.0)]:
            row("chn", 1, [0.0, 0.0, x, df, nc], 0, 0, chn_lower(x, df, nc))
        for f, dfn, dfd, nc in [(1e-301, 0.01, 3.0, 140.0), (1e-308, 0.05, 2.0, 20.0)]:
            row("fnc", 1, [0.0, 0.0, f, dfn, dfd, nc], 0, 0, fnc_lower(f, dfn, dfd, nc))
        # searches that end there
        x0 = mpf(1e-305)
        p = chn_lower(x0, 0.2, 30)
        row("chn", 2, [float(p), 0.0, 0.0, 0.2, 30.0], 2, 0,
            solve(lambda x: chn_lower(x, 0.2, 30), mpf(float(p)), 1e-306, 1e-304,
                  rel=mpf(10) ** -20))
        p = fnc_lower(1e-290, 0.05, 2, 20)
        row("fnc", 2, [float(p), 0.0, 0.0, 0.05, 2.0, 20.0], 2, 0,
            solve(lambda f: fnc_lower(f, 0.05, 2, 20), mpf(float(p)), 1e-291, 1e-289,
                  rel=mpf(10) ** -20))

    def far_tails():
        # central tails in the far tail of the beta ratio's up-recurrence,
        # whose leading factor underflowed
        upper = lambda f, dfn, dfd: mpmath.betainc(mpf(dfd) / 2, mpf(dfn) / 2, 0,
                                                   mpf(dfd) / (mpf(dfd) + mpf(dfn) * mpf(f)),
                                                   regularized=True)
        row("f", 1, [0.0, 0.0, 31.76, 79.4, 1610.0], 1, 0, upper(31.76, 79.4, 1610.0))
        row("bet", 1, [0.0, 0.0, 0.3897, 0.6103, 805.0, 39.7], 0, 0,
            mpmath.betainc(805, mpf(39.7), 0, mpf(0.3897), regularized=True))
        # noncentral lower tails stepped to larger shapes through their far
        # lower tail, where the recurrence loses a digit a step
        row("fnc", 1, [0.0, 0.0, 0.1, 700.0, 700.0, 700.0], 0, 0, fnc_lower(0.1, 700, 700, 700))
        for x in (10.0, 50.0):
            row("chn", 1, [0.0, 0.0, x, 300.0, 700.0], 0, 0, chn_lower(x, 300, 700))

    def beyond_800():
        # noncentral tails and searches with a noncentrality above 800 in the
        # far tail: each answer within the noncentral accuracy (the tail's
        # error over its condition) of the root
        for v, k, lo, hi in [([1e-200, 0.0, 0.0, 1000.0, 2000.0], 2, 807, 809),
                             ([1e-250, 0.0, 0.0, 900.0, 5000.0], 2, 2009, 2012)]:
            def tail(t, v=v, k=k):
                vv = list(v)
                vv[k] = t
                return chn_lower(vv[2], vv[3], vv[4])
            row("chn", 2, v, k, 0, solve(tail, mpf(v[0]), lo, hi, rel=mpf(10) ** -11))
        row("chn", 1, [0.0, 0.0, 3000.0, 1000.0, 5980.0], 0, 0, chn_lower(3000, 1000, 5980))
        row("fnc", 1, [0.0, 0.0, 0.3463, 900.0, 300.0, 2000.0], 0, 0,
            fnc_lower(0.3463, 900, 300, 2000))

    def below_floor():
        # noncentral lower tails at points below the normal doubles (a
        # backward step from term 0 overflowed into NaN; halving the point
        # lost its last bits) and tails between the smallest normal double
        # and 1e-290, whose every term lies below the mixtures' floor (they
        # came back as 0)
        for x, df, nc in [(1e-315, 0.009740019733954745, 27.453736267357787),
                          (1.5e-323, 0.2423017336579564, 0.4392641061838521),
                          (6.27e-322, 0.01134891531749599, 990.0282409165471),
                          (1e-300, 0.01134891531749599, 1400.0), (1e-5, 1.0, 1400.0)]:
            row("chn", 1, [0.0, 0.0, x, df, nc], 0, 0, chn_lower(x, df, nc))
        # dfn f underflowing to 0 (its share then came back as NaN)
        for f, dfn, dfd, nc in [(1e-5, 1.0, 3.0, 1400.0), (1e-300, 0.01, 3.0, 1400.0),
                                (2.47e-322, 0.0016559647957379922, 0.07960500700680458,
                                 0.046598581383235166)]:
            row("fnc", 1, [0.0, 0.0, f, dfn, dfd, nc], 0, 0, fnc_lower(f, dfn, dfd, nc))
        # a search ending there
        p = chn_lower(mpf(1e-300), 0.01134891531749599, 1400)
        row("chn", 2, [float(p), 0.0, 0.0, 0.01134891531749599, 1400.0], 2, 0,
            solve(lambda x: chn_lower(x, 0.01134891531749599, 1400), mpf(float(p)), 1e-301,
                  1e-299, rel=mpf(10) ** -20))

    def edge_of_doubles():
        # a gamma tail between the smallest normal double and 1e-304 (it came
        # back as 0), and a noncentral one near 1e-307 whose terms with
        # ratios below the normal doubles were cut (1 % off)
        row("gam", 1, [0.0, 0.0, 822.0, 27.74833640595143, 1.0], 1, 0,
            pq(27.74833640595143, 822)[1])
        row("chn", 1, [0.0, 0.0, 845.1023770101664, 2803.4853019763173, 2.7221766460631853], 0, 0,
            chn_lower(845.1023770101664, 2803.4853019763173, 2.7221766460631853))
        # gamma quantiles and a rate for tails below 1e-298, where the inverse
        # ratio gives up (status 10 before): upper and lower tails, a shape
        # below 1 whose start underflowed, a rate for a product far below the
        # normal doubles
        for p, q, a, rate in [(1.0, 1.86460718747749e-300, 25.136436489070775,
                               0.0026867333169320437),
                              (1.0082223937279845e-298, 1.0, 4893.390611413578, 367.6884137100959),
                              (2.9290206552744026e-305, 1.0, 0.8276089767800874,
                               7.978296712507858e-67)]:
            side = 0 if p <= q else 1
            target = mpf(min(p, q))
            want = solve(lambda t: pq(a, mpf(t) * mpf(rate))[side], target,
                         mpf(10) ** -700 / rate, mpf(1e6) / rate)
            row("gam", 2, [p, q, 0.0, a, rate], 2, 0, want)
        row("gam", 4, [1e-300, 1.0, 1e-300, 0.5, 0.0], 4, 0,
            solve(lambda r: pq(0.5, mpf(1e-300) * r)[0], mpf(1e-300), mpf(1e-305), mpf(1e-295)))

    table("fault_normal", normal)
    table("fault_gamma_rate", gamma_rate)
    table("fault_f_tiny_df", f_tiny_df)
    table("fault_fnc_dfd", fnc_dfd)
    table("fault_near_zero", near_zero)
    table("fault_far_tails", far_tails)
    table("fault_beyond_800", beyond_800)
    table("fault_below_floor", below_floor)
    table("fault_edge_of_doubles", edge_of_doubles)


def grid_points(w):
    """A few points of the accuracy grid of tools/distlib_grid.py (random,
    wide, both tails of every driver): the driver's values with the exact
    smaller tail (k: 0 for p, 1 for q) and its condition number with respect
    to the values, by central differences."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                    "tools"))
    import random
    import distlib_grid as grid
    w("struct GridPt { const char* driver; double v[6]; int k; double tail; double kappa; };")
    w("")
    w("inline const GridPt grid_points[] = {")
    rng = random.Random(45)
    done = {}
    while sum(done.values()) < 2 * len(grid.NARGS):
        d, _, v, _ = grid.draw(rng)
        # shapes, counts and noncentralities up to 300 keep the exact values
        # quick to compute (the grid of the tool goes wider)
        if done.get(d, 0) >= 2 or max(abs(t) for t in v[2:]) > 300:
            continue
        v = list(v)
        v[0] = v[1] = 0.0
        lo, hi = grid.tails(d, v)
        k = 0 if lo <= hi else 1
        small = min(lo, hi)
        if not (mpf(10) ** -300 <= small <= mpf(0.5)):
            continue
        print("grid", d, v, file=sys.stderr, flush=True)
        kappa = mpf(0)
        # a probability and its complement move together
        partner = {"nbn": 4, "bin": 4, "bet": 2}.get(d)
        for i in range(2, len(v)):
            if v[i] == 0 or (partner is not None and i == partner + 1):
                continue
            h = abs(mpf(v[i])) * mpf(10) ** -20
            up, dn = list(v), list(v)
            up[i] = mpf(v[i]) + h
            dn[i] = mpf(v[i]) - h
            if i == partner:
                up[i + 1] = 1 - up[i]
                dn[i + 1] = 1 - dn[i]
            kappa += abs(v[i] * (grid.tails(d, up)[k] - grid.tails(d, dn)[k]) / (2 * h) / small)
        vv = [float(x) for x in v] + [0.0] * (6 - len(v))
        w("    {\"%s\", {%s}, %d, %s, %s}," % (d, ", ".join(dlit(x) for x in vv), k, lit(small),
                                             klit(kappa)))
        done[d] = done.get(d, 0) + 1
    w("};")
    w("")


def write_tables(here):
    """distlib_reference_data.hpp: every table but the grid's."""
    out = []
    w = out.append
    w("// Generated by tests/random/distlib_reference.py with mpmath; do not edit by hand.")
    w("// Each row: arguments (doubles), exact value to 36 digits, condition number.")
    w("#pragma once")
    w("#include <cmath>")
    w("")
    w("namespace distlib_ref {")
    w("")
    w("struct F1 { double x; double v; double kappa; };")
    w("struct F2 { double a; double b; double v; double kappa; };")
    w("struct Inc { double a; double x; double p; double q; double kappa; };")
    w("struct Inv { double a; double p; double q; double x; double kappa; };")
    w("struct Cdf { int which; double p; double q; double x; double shape; double scale;")
    w("             double v; double kappa; };")
    w("")

    def table1(name, f, xs):
        w("inline const F1 %s[] = {" % name)
        for x in xs:
            xv = mpf(float(x))
            v = f(xv)
            w("    {%s, %s, %s}," % (dlit(float(x)), lit(v), klit(cond1(f, xv))))
        w("};")
        w("")

    # gamma_log on every branch: (0, 0.8], (0.8, 2.25], (2.25, 10), [10, inf)
    table1("gamma_log", mpmath.loggamma, [
        1e-300, 1e-30, 1e-8, 1e-3, 0.1, 0.25, 0.4616321449683622, 0.5, 0.6, 0.79, 0.8,
        0.8000000000000002, 0.9, 0.99, 1.0000001, 1.2, 1.5, 1.75, 1.99, 2.0000001, 2.25,
        2.2500000000000004, 2.5, 3.3, 4.7, 6.0, 7.25, 9.99, 10.0, 10.5, 20.0, 55.5, 100.0,
        1234.5, 1e5, 1e10, 1e20, 1e100, 1e300])

    # gamma on the product branches, the reflection branch and both overflow limits
    table1("gamma", mpmath.gamma, [
        1e-20, 1e-5, 0.1, 0.5, 0.9, 1.0, 1.25, 1.5, 1.999, 2.5, 3.0, 5.0, 7.5, 12.3, 14.99,
        15.0, 20.5, 35.0, 100.25, 171.5, -0.5, -0.25, -1.5, -2.75, -7.3, -14.5, -15.5,
        -20.5, -50.25, -100.5, -170.5])

    table1("erf", mpmath.erf, [
        1e-300, 1e-10, 0.1, 0.3, 0.5, 0.5000000000000001, 0.75, 1.0, 2.0, 3.0, 4.0,
        4.000000000000001, 4.5, 5.0, 5.7, -0.3, -1.0, -4.5])
    erfc = lambda x: mpmath.erfc(x)
    table1("erfc", erfc, [
        1e-300, 1e-10, 0.1, 0.3, 0.5, 0.5000000000000001, 0.75, 1.0, 1.5, 2.0, 3.0, 4.0,
        4.000000000000001, 4.5, 5.0, 6.0, 10.0, 20.0, 26.5, -0.3, -0.5, -1.0, -3.0, -4.5,
        -5.5])
    erfcx = lambda x: mpmath.exp(x * x) * mpmath.erfc(x)
    table1("erfcx", erfcx, [
        1e-10, 0.1, 0.3, 0.5, 0.75, 1.0, 1.5, 2.0, 3.0, 4.0, 4.5, 6.0, 10.0, 30.0, 100.0,
        1e5, 1e10, -0.3, -0.5, -1.0, -3.0, -5.0, -5.6, -10.0])

    # ln Gamma(1 + a) on its callers' range, both branches
    table1("gamma_ln1", lambda a: mpmath.loggamma(1 + a), [
        -0.2, -0.1, -1e-5, 1e-12, 1e-5, 0.1, 0.25, 0.4616321449683622, 0.5, 0.59,
        0.6, 0.7, 0.9, 0.999, 1.001, 1.1, 1.25])

    def g1(a):
        return mpmath.rgamma(1 + a) - 1
    table1("gam1", g1, [
        -0.5, -0.4, -0.25, -0.1, -1e-8, 1e-8, 0.1, 0.25, 0.4, 0.5, 0.5000000000000001,
        0.6, 0.75, 0.9, 0.99999, 1.00001, 1.2, 1.4, 1.5])

    table1("psi", mpmath.digamma, [
        1e-12, 0.1, 0.5, 1.0, 1.25, 2.0, 2.9, 3.0, 3.1, 5.5, 10.0, 100.0, 1e6, 1e12,
        -0.3, -0.7, -1.2, -2.5, -10.75])

    table1("rlog1", lambda x: x - mpmath.log(1 + x), [
        -0.9, -0.39, -0.3, -0.18, -0.1, -1e-5, 1e-5, 0.1, 0.18, 0.3, 0.57, 0.6, 2.0, 100.0])
    table1("rlog", lambda x: x - 1 - mpmath.log(x), [
        0.01, 0.5, 0.61, 0.7, 0.82, 0.9, 0.99999, 1.00001, 1.1, 1.18, 1.4, 1.57, 2.0, 50.0])
    table1("rexp", lambda x: mpmath.expm1(x), [
        -5.0, -0.2, -0.15, -0.1, -1e-6, 1e-10, 1e-6, 0.1, 0.15, 0.2, 3.0, 50.0])
    table1("alnrel", lambda x: mpmath.log1p(x), [
        -0.9, -0.375, -0.2, -1e-7, 1e-7, 0.2, 0.375, 0.3750000000000001, 2.0, 1e10])
    table1("rcomp_a0_5", lambda x: mpmath.exp(-x) * x ** mpf(0.5) / mpmath.gamma(mpf(0.5)),
           [1e-5, 0.3, 1.0, 5.0, 40.0])

    def table2(name, f, pairs):
        w("inline const F2 %s[] = {" % name)
        for a, b in pairs:
            av = mpf(float(a))
            bv = mpf(float(b))
            v = f(av, bv)
            ka = cond1(lambda t: f(t, bv), av)
            kb = cond1(lambda t: f(av, t), bv)
            w("    {%s, %s, %s, %s}," % (dlit(float(a)), dlit(float(b)), lit(v), klit(ka + kb)))
        w("};")
        w("")

    table2("beta_log", lambda a, b: mpmath.log(mpmath.beta(a, b)), [
        (0.5, 0.7), (0.5, 3.0), (0.3, 20.0), (1.5, 1.75), (1.5, 5.5), (1.5, 30.0), (3.5, 5.25),
        (3.5, 50.0), (5.5, 2000.0), (7.9, 7.9), (10.0, 12.0), (25.0, 1e6), (100.0, 100.0)])
    table2("rcomp", lambda a, x: mpmath.exp(-x) * x ** a / mpmath.gamma(a), [
        (0.01, 0.5), (0.7, 2.0), (1.0, 1.0), (3.5, 2.0), (19.9, 25.0), (20.0, 20.0),
        (50.0, 45.0), (1000.0, 1010.0), (1e6, 1e6 + 2000.0)])

    # ---------------------------------------------------------- gamma_inc
    inc_cases = [
        # a < 1: the a = 0.5 closed forms, the series with both forms, the fraction
        (0.5, 0.2), (0.5, 0.25), (0.5, 1.0), (0.5, 30.0),
        (1e-10, 0.5), (1e-10, 2.0), (1e-3, 1e-3), (1e-3, 0.2), (1e-3, 1.0),
        (0.1, 1e-5), (0.1, 0.2), (0.1, 0.9), (0.3, 0.1), (0.3, 1.05), (0.7, 0.01),
        (0.7, 0.3), (0.7, 1.0), (0.9, 0.2), (0.99, 1.09), (0.1, 1.1), (0.7, 2.0),
        (0.7, 10.0), (0.3, 100.0), (0.9, 700.0),
        # 1 <= a < 20: finite sums, the series, the fraction, the asymptotic series
        (1.0, 1.0), (1.0, 0.5), (2.0, 5.0), (3.0, 30.0), (10.0, 12.0), (1.5, 2.0), (7.5, 9.0),
        (1.2, 0.5), (1.2, 2.3), (4.3, 4.0), (4.3, 1e-3), (15.5, 15.0), (19.9, 1.0),
        (1.2, 3.0), (4.3, 10.0), (15.5, 20.0), (19.9, 30.0), (1.2, 31.0), (10.5, 40.0),
        (19.9, 35.0), (5.5, 100.0), (12.0, 500.0),
        # a >= 20: Temme near 1, short and full expansions, tails
        (100.0, 100.0), (100.0, 100.001), (100.0, 99.9995), (20.0, 20.01), (1e4, 10000.01),
        (100.0, 100.05), (100.0, 99.95), (20.0, 21.0), (20.0, 19.0), (100.0, 80.0),
        (100.0, 125.0), (1e4, 9800.0), (1e4, 10150.0), (1e4, 9500.0), (1e4, 10500.0),
        (30.0, 18.5), (30.0, 42.5), (25.0, 5.0), (25.0, 40.0), (25.0, 100.0),
        (1000.0, 500.0), (1000.0, 1500.0), (500.0, 250.0),
        # very large shapes
        (1e5, 1e5 + 10.0), (1e5, 1e5 - 1500.0), (1e6, 1e6 + 0.5), (1e6, 1e6 - 3000.0),
        (1e10, 1e10 + 1e5), (1e10, 1e10 - 2e5), (1e15, 1e15 + 1e7),
    ]
    w("inline const Inc gamma_inc[] = {")
    for a, x in inc_cases:
        print("gamma_inc", a, x, file=sys.stderr, flush=True)
        p, q = pq(mpf(a), mpf(x))
        w("    {%s, %s, %s, %s, %s}," % (dlit(a), dlit(x), lit(p), lit(q), klit(cond_pq(a, x))))
    w("};")
    w("")

    # ------------------------------------------------------ gamma_inc_inv
    inv_cases = []
    for a in [1e-3, 0.1, 0.25, 0.5, 0.9, 1.5, 3.0, 10.0, 100.0, 1000.0, 1e4, 1e5]:
        for small in [1e-100, 1e-20, 1e-5, 0.01, 0.3, 0.5]:
            # x is about p^(1/a) for a small lower tail: keep it a normal double
            if a >= 1.0 or mpmath.log10(small) / a > -290:
                inv_cases.append((a, small, 1.0 - small))
            if small != 0.5:
                inv_cases.append((a, 1.0 - small, small))
    w("inline const Inv gamma_inc_inv[] = {")
    for a, p, q in inv_cases:
        print("inverse", a, p, file=sys.stderr, flush=True)
        x, k = inverse(a, p, q)
        w("    {%s, %s, %s, %s, %s}," % (dlit(a), dlit(p), dlit(q), lit(x), klit(k)))
    w("};")
    w("")

    # ---------------------------------------------------------------- cdfgam
    w("inline const Cdf cdfgam[] = {")
    # which 1: the p and q columns hold the exact tails, v is p
    for shape, x, scale in [(1e-6, 0.5, 1.0), (0.01, 3.0, 2.0), (2.0, 1.0, 1.0), (3.5, 2.5, 3.7),
                            (50.0, 12.0, 4.25), (2e4, 1.0, 2e4), (1e5, 0.99, 1e5),
                            (1e6, 5e5 + 700.0, 2.0)]:
        xs = float(x) * float(scale)
        p, q = pq(mpf(shape), mpf(xs))
        w("    {1, %s, %s, %s, %s, %s, %s, %s}," % (lit(p), lit(q), dlit(x), dlit(shape), dlit(scale),
                                                   lit(p), klit(cond_pq(shape, xs))))
    # which 2 and 4: v is x (which 2) or scale (which 4)
    # (shape, lower-tail p or None, upper-tail q or None, scale); tails whose
    # quantile would underflow a double are left out.
    cases2 = [(1e-6, None, 1e-7, 1.0), (1e-6, None, 5e-7, 3.0), (0.01, 0.99, None, 2.0),
              (0.01, None, 1e-3, 2.0), (0.5, 0.2, None, 0.5), (0.5, None, 0.2, 0.5),
              (2.0, 1e-5, None, 1.0), (2.0, None, 1e-5, 1.0), (3.5, 0.4, None, 3.7),
              (3.5, None, 0.4, 3.7), (50.0, 0.05, None, 4.25), (50.0, None, 0.05, 4.25),
              (2e4, 0.3, None, 2e4), (2e4, None, 0.3, 2e4), (1e5, 1e-3, None, 1e5),
              (1e5, None, 1e-3, 1e5), (1e6, 0.5, None, 1.0), (1e6, None, 1e-10, 0.125)]
    for shape, pl, qu, scale in cases2:
        if pl is not None:
            p, q = pl, 1.0 - pl
        else:
            p, q = 1.0 - qu, qu
        print("cdfgam inverse", shape, p, q, file=sys.stderr, flush=True)
        xx, k = inverse(shape, p, q)
        w("    {2, %s, %s, 0.0, %s, %s, %s, %s}," % (dlit(p), dlit(q), dlit(shape), dlit(scale),
                                                   lit(xx / mpf(scale)), klit(k)))
        xgiven = float(xx) * 1.25
        w("    {4, %s, %s, %s, %s, 0.0, %s, %s}," % (dlit(p), dlit(q), dlit(xgiven), dlit(shape),
                                                   lit(xx / mpf(xgiven)), klit(k)))
    # which 3: v is the shape with P(shape, x scale) = p
    for shape, x, scale in [(0.01, 0.5, 1.0), (0.3, 2.0, 0.5), (5.0, 4.0, 1.0), (7.5, 20.0, 0.25),
                            (40.0, 9.0, 3.0), (2e4, 1.01, 2e4)]:
        xs = mpf(float(x) * float(scale))
        p, q = pq(mpf(shape), xs)
        pd, qd = float(p), float(q)
        use_p = pd <= qd
        tgt = mpf(pd) if use_p else mpf(qd)

        def f(s):
            v = pq(s, xs)[0 if use_p else 1]
            return v - tgt
        print("cdfgam shape", shape, x, scale, file=sys.stderr, flush=True)
        root = mpmath.findroot(f, mpf(shape), tol=mpf(10) ** -50)
        w("    {3, %s, %s, %s, 0.0, %s, %s, 0.0}," % (dlit(pd), dlit(qd), dlit(x), dlit(scale),
                                                    lit(root)))
    w("};")
    w("")
    beta_family(w)
    far_searches(w)
    fault_classes(w)
    w("}  // namespace distlib_ref")
    with open(os.path.join(here, "distlib_reference_data.hpp"), "w") as fh:
        fh.write("\n".join(out) + "\n")


def write_grid(here):
    """distlib_grid_data.hpp: the few grid points."""
    grid = []
    grid.append("// Generated by tests/random/distlib_reference.py with mpmath; do not edit by hand.")
    grid.append("#pragma once")
    grid.append("#include <cmath>")
    grid.append("")
    grid.append("namespace distlib_ref {")
    grid.append("")
    grid_points(grid.append)
    grid.append("}  // namespace distlib_ref")
    with open(os.path.join(here, "distlib_grid_data.hpp"), "w") as fh:
        fh.write("\n".join(grid) + "\n")


def main():
    """Both headers; --grid-only writes the grid's alone."""
    here = os.path.dirname(os.path.abspath(__file__))
    if "--grid-only" not in sys.argv:
        write_tables(here)
    write_grid(here)


if __name__ == "__main__":
    main()
