#!/usr/bin/env python3
"""Accuracy of the distribution drivers over a random wide grid, judged
against the mpmath values of tools/distlib_truth.py at 40 digits and more.

Run:  python3 tools/distlib_grid.py build/release/distlib_probe [N] [SEED] [JOBS]
      [DRIVERS] [REGION]   (DRIVERS: all, or a comma-separated subset of
      gam,t,poi,nor,nbn,f,fnc,chi,chn,bin,bet; REGION: see draw())

Each point draws a driver, a which, shapes and degrees of freedom from 1e-3
to 1e6, noncentralities from 1e-2 to 1e4, counts to 1e7 and a target tail
from 1e-300 to 0.5 on either side (the targeted regions narrow these).
Inverse calls get that target; which 1 is asked at the point the driver's
own which 2 returned for it.  Judged:

- which 1: the relative error of each tail (a true tail below the smallest
  normal double may come back as 0 or any value below it);
- status 0 of a search or formula: the relative error of the true tail at
  the answer against the target, and the answer's own relative error;
- status 1 or 2: that the true tails at the two ends of the range leave the
  target on one side, so that the range holds no answer;
- every search with status 0, by the driver's own which 1: its tail at the
  answer moved by the search's tolerance either way leaves the target
  between ("SELF" where it does not).

Prints a ROW line per call (with the seconds it took), then the worst cases
of each driver and which.
"""

import math
import multiprocessing
import os
import random
import signal
import subprocess
import sys

import mpmath
from mpmath import mp, mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import distlib_truth as truth  # noqa: E402

mp.dps = 40
TINY = mpf(2) ** -1022


def lu(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


tails = truth.tails


# ---------------------------------------------------------------- the grid
NARGS = {"gam": 5, "t": 4, "poi": 4, "nor": 5, "nbn": 6, "f": 5, "fnc": 6, "chi": 4, "chn": 5,
         "bin": 6, "bet": 6}
WHICHES = {"gam": 4, "t": 3, "poi": 3, "nor": 4, "nbn": 4, "f": 4, "fnc": 5, "chi": 3, "chn": 4,
           "bin": 4, "bet": 4}
NONCENTRAL = ("fnc", "chn")
# the index of the sought value(s) by which
SOUGHT = {"gam": {2: 2, 3: 3, 4: 4}, "t": {2: 2, 3: 3}, "poi": {2: 2, 3: 3},
          "nor": {2: 2, 3: 3, 4: 4}, "nbn": {2: 2, 3: 3, 4: 4}, "f": {2: 2, 3: 3, 4: 4},
          "fnc": {2: 2, 3: 3, 4: 4, 5: 5}, "chi": {2: 2, 3: 3}, "chn": {2: 2, 3: 3, 4: 4},
          "bin": {2: 2, 3: 3, 4: 4}, "bet": {2: 2, 3: 4, 4: 5}}
# the search range of a sought value: (lower end, upper end), where it is
# not [0, 1e300]
RANGE = {("t", 2): (-1e300, 1e300), ("t", 3): (1e-100, 1e10), ("f", 3): (1e-100, 1e300),
         ("f", 4): (1e-100, 1e300), ("fnc", 3): (1e-100, 1e300), ("fnc", 4): (1e-100, 1e300),
         ("fnc", 5): (0, 1e4), ("chn", 4): (0, 1e8), ("nbn", 4): (0, 1), ("bin", 4): (0, 1),
         ("bet", 2): (0, 1)}
# which codes whose sought value is one of a pair summing to 1
PAIRED = (("nbn", 4), ("bin", 4), ("bet", 2))

REGIONS = ("wide", "far800", "ncupper", "fnclow", "nbn2", "tinyx", "gamfar", "edge", "beyond",
           "chnwide", "probfine", "chnhuge", "top")
BEYOND = ("gam", "chi", "poi", "chn", "fnc")


def draw_beyond(rng, drivers):
    """A call of region beyond: the gamma family and the noncentral drivers
    beyond the measured ranges.  Shapes, counts and degrees of freedom from
    1e-300 to 1e30 (noncentral F's from 1e-3 to 1e6), noncentralities from
    1e-2 to 1e16, points at 0, at the mean, at 1e300, below the normal
    doubles or within 10 standard deviations of the mean, and target tails
    from 1e-300 to 0.5 on either side or within 1e-16 of 1."""
    d = rng.choice(drivers or BEYOND)
    which = rng.randint(1, WHICHES[d])
    r = rng.random()
    shape = lu(rng, 1e-300, 1e-3) if r < 0.2 else lu(rng, 1e-3, 1e30)
    nc = lu(rng, 1e-2, 1e4) if rng.random() < 0.5 else lu(rng, 1e4, 1e16)
    r = rng.random()
    if r < 0.3:
        tail = lu(rng, 1e-300, 0.5)
    elif r < 0.6:
        tail = lu(rng, 1e-300, 1e-16)
    else:
        tail = lu(rng, 1e-20, 1e-16)
    upper = rng.random() < 0.5 or r >= 0.6
    if d in NONCENTRAL and r >= 0.6:
        tail = 1.1102230246251565e-16  # the largest p below 1
    p, q = (1.0 - tail, tail) if upper else (tail, 1.0 - tail)

    def point(mean, sd):
        k = rng.randrange(5)
        if k == 0:
            return 0.0
        if k == 1:
            return mean
        if k == 2:
            return 1e300
        if k == 3:
            return lu(rng, 5e-324, 1e-300)
        return max(0.0, mean + rng.uniform(-10, 10) * sd)

    if d == "gam":
        scale = lu(rng, 1e-300, 1e300) if rng.random() < 0.3 else lu(rng, 1e-3, 1e3)
        prod = point(shape, math.sqrt(shape))
        x = min(prod / scale, 1e300)
        return d, which, [p, q, x, shape, scale], which == 1
    if d == "chi":
        df = 2 * shape
        return d, which, [p, q, point(df, math.sqrt(2 * df)), df], which == 1
    if d == "poi":
        lam = lu(rng, 1e-3, 1e30) if rng.random() < 0.9 else 0.0
        s = float(int(point(lam, math.sqrt(lam)))) if lam < 1e15 else point(lam, math.sqrt(lam))
        return d, which, [p, q, min(s, 1e300), lam], which == 1
    if d == "chn":
        df = 2 * shape if shape >= 1e-3 else lu(rng, 1e-3, 1e6)
        mean = df + nc
        x = point(mean, math.sqrt(2 * (df + 2 * nc)))
        return d, which, [p, q, x, df, nc], which == 1
    dfn, dfd = lu(rng, 1e-3, 1e6), lu(rng, 1e-3, 1e6)
    mean = (dfn + nc) / dfn * max(1.0, dfd / max(dfd - 2, 1e-3))
    f = point(mean, mean * 0.1)
    return d, which, [p, q, f, dfn, dfd, nc], which == 1


def draw_chnwide(rng):
    """A noncentral chi-square call with a noncentrality from 1e4 to 1e8 and
    degrees of freedom from 1e-3 to 1e6: which 1 at the mean or 1, 5 or 20
    standard deviations from it, or a search for a target tail from 1e-300
    to 0.5 on either side."""
    df, nc = lu(rng, 1e-3, 1e6), lu(rng, 1e4, 1e8)
    which = 1 if rng.random() < 0.7 else rng.randint(2, 4)
    if which == 1:
        z = rng.choice((0, -1, 1, -5, 5, -20, 20))
        x = max(0.0, df + nc + z * math.sqrt(2 * (df + 2 * nc)))
        return "chn", 1, [0.0, 0.0, x, df, nc], True
    tail = lu(rng, 1e-300, 0.5)
    p, q = (1.0 - tail, tail) if rng.random() < 0.5 else (tail, 1.0 - tail)
    x = df + nc + rng.uniform(-5, 5) * math.sqrt(2 * (df + 2 * nc))
    return "chn", which, [p, q, x, df, nc], False


def draw_probfine(rng):
    """A search for a probability (binomial and negative binomial pr, beta
    x) whose counts or shapes run from 1e6 to 1e15, where the tail turns on
    a relative scale of 1/sqrt(count), finer than the searches' 1e-8; target
    tails from 1e-300 to 0.5 on either side."""
    d = rng.choice(("bin", "nbn", "bet"))
    tail = lu(rng, 1e-300, 0.5)
    p, q = (1.0 - tail, tail) if rng.random() < 0.5 else (tail, 1.0 - tail)
    if d == "bet":
        return d, 2, [p, q, 0.5, 0.5, lu(rng, 1e6, 1e15), lu(rng, 1e6, 1e15)], False
    n = float(int(lu(rng, 1e6, 1e15)))
    s = float(int(n * rng.uniform(1e-3, 0.999))) if d == "bin" else float(int(lu(rng, 1e6, 1e15)))
    return d, 4, [p, q, s, n, 0.5, 0.5], False


def draw_chnhuge(rng):
    """A noncentral chi-square call with degrees of freedom from 1e16 to
    1e30 and a noncentrality from 1e-2 to 1e8: which 1 at the mean or 1, 5
    or 20 standard deviations from it, or a search (which 2 to 4) for a
    target tail from 1e-300 to 0.5 on either side."""
    df, nc = lu(rng, 1e16, 1e30), lu(rng, 1e-2, 1e8)
    which = 1 if rng.random() < 0.7 else rng.randint(2, 4)
    sd = math.sqrt(2 * (df + 2 * nc))
    if which == 1:
        z = rng.choice((0, -1, 1, -5, 5, -20, 20))
        return "chn", 1, [0.0, 0.0, df + nc + z * sd, df, nc], True
    tail = lu(rng, 1e-300, 0.5)
    p, q = (1.0 - tail, tail) if rng.random() < 0.5 else (tail, 1.0 - tail)
    return "chn", which, [p, q, df + nc + rng.uniform(-5, 5) * sd, df, nc], False


def draw_top(rng):
    """A call of F, noncentral F, t, beta, negative binomial, binomial or
    normal, every which, with one degrees of freedom, shape or count from
    1e300 to the largest double and the others as in wide (the truth takes
    the limits of F at a df beyond 1e100 against one below it); a beta point,
    success probability or F value near where the tails turn; for the
    normal, x, mean and sd from 1e300 to the largest double (x - mean may
    overflow).  Target tails from 1e-300 to 0.5 on either side."""
    d = rng.choice(("f", "fnc", "t", "bet", "nbn", "bin", "nor"))
    which = rng.randint(1, WHICHES[d])
    top = lambda: lu(rng, 1e300, 1.7976931348623157e308)
    shape = lambda: lu(rng, 1e-3, 1e6)
    tail = lu(rng, 1e-300, 0.5)
    p, q = (1.0 - tail, tail) if rng.random() < 0.5 else (tail, 1.0 - tail)
    if d in ("f", "fnc"):
        v = [p, q, lu(rng, 1e-3, 1e3), shape(), shape()] + ([lu(rng, 1e-2, 1e4)] if d == "fnc" else [])
        v[rng.choice((3, 4))] = top()
    elif d == "t":
        v = [p, q, lu(rng, 1e-3, 1e2) * rng.choice((-1, 1)), top()]
    elif d == "nor":
        v = [p, q, top() * rng.choice((-1, 1)), top() * rng.choice((-1, 1)), top()]
    elif d == "bet":
        a, b = shape(), top()
        x = min(a / b * lu(rng, 0.1, 10), 0.5)
        v = [p, q, x, 1.0 - x, a, b]
        if rng.random() < 0.5:
            v = [p, q, 1.0 - x, x, b, a]
    else:
        n, s = top(), float(int(lu(rng, 1, 1e6)))
        if d == "nbn" and rng.random() < 0.5:
            n, s = float(int(lu(rng, 1, 1e6))), top()
        small = min(s / n if d == "bin" else min(s, n) / max(s, n), 0.5) * lu(rng, 0.1, 1)
        pr = small if d == "bin" or s > n else 1.0 - small
        v = [p, q, s, n, pr, 1.0 - pr]
    return d, which, v, False


def draw(rng, drivers=None, region="wide"):
    """One call (driver, which, values, direct): direct marks a which 1 call
    asked at the drawn point itself rather than where the driver's which 2
    puts the drawn target.

    Regions: wide, every driver and which over the whole range; far800, the
    noncentral drivers with a noncentrality or degrees of freedom above 800
    and a lower tail from 1e-300 to 1e-150; ncupper, noncentral which 1 far
    above the mean (upper tails down to 1e-320 and below); fnclow, noncentral
    F which 1 far below its mean with degrees of freedom and noncentrality
    below 800; nbn2, the negative binomial's s; tinyx, noncentral which 1
    at points from the least subnormal double to 1e-290; gamfar, the gamma
    quantile and rate for tails from 1e-308 to 1e-290 on either side, with
    x and scale from 1e-300 to 1e300; edge, as wide with target tails from
    the smallest normal double to 1e-300; beyond, see draw_beyond; chnwide,
    see draw_chnwide; probfine, see draw_probfine; chnhuge, see
    draw_chnhuge; top, see draw_top."""
    if region == "beyond":
        return draw_beyond(rng, drivers)
    if region == "chnwide":
        return draw_chnwide(rng)
    if region == "probfine":
        return draw_probfine(rng)
    if region == "chnhuge":
        return draw_chnhuge(rng)
    if region == "top":
        return draw_top(rng)
    shape = lambda: lu(rng, 1e-3, 1e6)
    if region == "ncupper":
        d = rng.choice(drivers or NONCENTRAL)
        df, nc = shape(), lu(rng, 1e-2, 1e4)
        if d == "chn":
            mean = df + nc
            return d, 1, [0.0, 0.0, mean * (1 + lu(rng, 1e-2, 1e3)), df, nc], True
        dfn, dfd = df, shape()
        mean = (dfn + nc) / dfn * max(1.0, dfd / max(dfd - 2, 1e-3))
        return d, 1, [0.0, 0.0, mean * lu(rng, 2, 1e8), dfn, dfd, nc], True
    if region == "tinyx":
        d = rng.choice(drivers or NONCENTRAL)
        x, df, nc = lu(rng, 5e-324, 1e-290), lu(rng, 1e-3, 30), lu(rng, 1e-2, 1e4)
        if d == "chn":
            return d, 1, [0.0, 0.0, x, df, nc], True
        return d, 1, [0.0, 0.0, x, df, lu(rng, 1e-3, 1e6), nc], True
    if region == "gamfar":
        tail = lu(rng, 1e-308, 1e-290)
        p, q = (1.0 - tail, tail) if rng.random() < 0.5 else (tail, 1.0 - tail)
        return "gam", rng.choice((2, 4)), [p, q, lu(rng, 1e-300, 1e300), shape(),
                                           lu(rng, 1e-300, 1e300)], False
    if region == "fnclow":
        dfn, dfd, nc = lu(rng, 1e-2, 800), lu(rng, 1e-2, 800), lu(rng, 1e-2, 800)
        return "fnc", 1, [0.0, 0.0, lu(rng, 1e-12, 1.0), dfn, dfd, nc], True
    d = rng.choice(sorted(drivers or (NONCENTRAL if region == "far800" else NARGS)))
    which = rng.randint(1, WHICHES[d])
    if region == "nbn2":
        d, which = "nbn", 2
    v = [0.0] * 6
    tail = (lu(rng, 1e-300, 1e-150) if region == "far800" else
            lu(rng, 2.2250738585072014e-308, 1e-300) if region == "edge" else lu(rng, 1e-300, 0.5))
    upper = rng.random() < 0.5 and region != "far800"
    p, q = (1.0 - tail, tail) if upper else (tail, 1.0 - tail)
    v[0], v[1] = p, q
    if region == "far800":
        # one of the noncentrality and the degrees of freedom above 800
        big = rng.randrange(3 if d == "fnc" else 2)
        pars = [shape(), shape(), lu(rng, 1e-2, 1e4)] if d == "fnc" else [shape(), lu(rng, 1e-2, 1e4)]
        pars[big - 1 if big else -1] = lu(rng, 800, 1e6 if big else 1e4)
        if d == "fnc":
            v[2], v[3], v[4], v[5] = lu(rng, 1e-3, 1e6), pars[0], pars[1], pars[2]
        else:
            v[2], v[3], v[4] = lu(rng, 1e-3, 1e6), pars[0], pars[1]
        return d, which, v[:NARGS[d]], False
    if d == "gam":
        v[2], v[3], v[4] = lu(rng, 1e-3, 1e3), shape(), lu(rng, 1e-3, 1e3)
    elif d in ("chi", "t"):
        v[2], v[3] = (lu(rng, 1e-3, 1e6) * rng.choice((-1, 1)) if d == "t" else lu(rng, 1e-3, 1e6),
                      shape())
    elif d == "poi":
        v[2], v[3] = float(int(lu(rng, 1, 1e7)) - 1), lu(rng, 1e-3, 1e7)
    elif d == "nor":
        v[2], v[3], v[4] = rng.uniform(-1e3, 1e3), rng.uniform(-1e3, 1e3), lu(rng, 1e-3, 1e3)
    elif d in ("nbn", "bin"):
        n = float(int(lu(rng, 1, 1e7)))
        s = float(int(lu(rng, 1, n + 1)) - 1) if d == "bin" else float(int(lu(rng, 1, 1e7)) - 1)
        pr = lu(rng, 1e-6, 0.5)
        if rng.random() < 0.5:
            pr = 1.0 - pr
        v[2], v[3], v[4], v[5] = s, n, pr, 1.0 - pr
    elif d == "f":
        v[2], v[3], v[4] = lu(rng, 1e-3, 1e6), shape(), shape()
    elif d == "fnc":
        v[2], v[3], v[4], v[5] = lu(rng, 1e-3, 1e6), shape(), shape(), lu(rng, 1e-2, 1e4)
    elif d == "chn":
        v[2], v[3], v[4] = lu(rng, 1e-3, 1e6), shape(), lu(rng, 1e-2, 1e4)
    elif d == "bet":
        x = lu(rng, 1e-6, 0.5)
        if rng.random() < 0.5:
            x = 1.0 - x
        v[2], v[3], v[4], v[5] = x, 1.0 - x, shape(), shape()
    return d, which, v[:NARGS[d]], False


def probe(binary, calls):
    """Each call through the driver: (status, bound, seconds, values)."""
    lines = "".join("%s %d %s\n" % (d, w, " ".join(repr(x) for x in v)) for d, w, v in calls)
    out = subprocess.run([binary], input=lines, capture_output=True, text=True, check=True).stdout
    res = []
    for line in out.splitlines():
        f = line.split()
        res.append((int(f[0]), float(f[1]), float(f[2]), [float(x) for x in f[3:]]))
    return res


class Timeout(Exception):
    pass


def on_alarm(*_):
    raise Timeout()


def rel(got, want):
    got, want = mpf(got), mpf(want)
    if want < TINY:
        # a true tail below the normal doubles: 0 or anything below that is honest
        return mpf(0) if got <= TINY else abs(got - want) / TINY
    return abs(got - want) / want


LADDER = [1e-15, 1e-13, 1e-11, 1e-10, 1e-9, 3e-9, 1e-8, 3e-8, 1e-7, 1e-6, 1e-5, 1e-4, 1e-3,
          1e-2, 1e-1]


def sought_index(d, which, values):
    """The index of the value that moves when the answer is perturbed: the
    smaller member of a pair (the one known to its relative accuracy)."""
    k = SOUGHT[d][which]
    if (d, which) in PAIRED and values[k + 1] < values[k]:
        return k + 1
    return k


def moved(d, which, values, k, v):
    vv = list(values)
    vv[k] = v
    if (d, which) in PAIRED:
        other = k + 1 if k == SOUGHT[d][which] else k - 1
        vv[other] = 1 - v
    return vv


def forward_error(d, which, got, side, target, t):
    """The answer's own relative error (absolute for an answer 0): the least
    tau such that the true tail at the answer moved by tau either way leaves
    the target between.  Estimated from the tail's slope and confirmed by
    the bracket at twice the estimate; the ladder of taus where that fails;
    inf when no tau up to 0.1 brackets."""
    k = sought_index(d, which, got)
    a = mpf(got[k])
    if t == target:
        return mpf(0)
    hi_cap = mpf(1) if (d, which) in PAIRED else None

    def at(v):
        return tails(d, moved(d, which, got, k, v))[side] - target

    def bracketed(tau):
        if a == 0:
            lo, hi = mpf(0), mpf(tau)
        else:
            lo, hi = a * (1 - mpf(tau)), a * (1 + mpf(tau))
        if hi_cap is not None:
            hi = min(hi, hi_cap)
        flo, fhi = at(lo), at(hi)
        return (flo <= 0 <= fhi) or (fhi <= 0 <= flo)

    if a != 0:
        h = mpf(10) ** -12
        slope = (at(a * (1 + h)) + target - t) / h
        if slope != 0:
            est = abs((t - target) / slope)
            if est < mpf(0.01) and bracketed(max(2 * est, mpf(10) ** -16)):
                return est
    lo, hi = 0, len(LADDER) - 1
    if not bracketed(LADDER[hi]):
        return mpf("inf")
    while lo < hi:
        mid = (lo + hi) // 2
        if bracketed(LADDER[mid]):
            hi = mid
        else:
            lo = mid + 1
    return mpf(LADDER[lo])


# the first index of the pair of which 1 (point x, y or pr, ompr)
PAIR_AT = {"bet": 2, "bin": 4, "nbn": 4}


def other_pair(d, v):
    """v with its pair read the other way (the larger member taken as exact,
    the smaller as its complement), or None for a driver without a pair."""
    k = PAIR_AT.get(d)
    if k is None:
        return None
    vv = [mpf(x) for x in v]
    if vv[k] <= vv[k + 1]:
        vv[k] = 1 - vv[k + 1]
    else:
        vv[k + 1] = 1 - vv[k]
    return vv


def target_side(d, v):
    """The tail a search matches and its target: (side, target)."""
    use_p = d in NONCENTRAL or v[0] <= v[1]
    return (0, mpf(v[0])) if use_p else (1, mpf(v[1]))


def judge(item):
    """The verdict of one call: (kind, error, answer error, note)."""
    d, which, v, (status, bound, _, got) = item
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(120)
    try:
        if which == 1:
            if status < 0:
                return ("refused", None, None, "status %d bound %g" % (status, bound))
            if status != 0:
                return ("fwd", None, None, "status %d bound %g" % (status, bound))
            lo, hi = tails(d, got)
            e = max(rel(got[0], lo), rel(got[1], hi))
            alt = other_pair(d, got)
            if alt is not None and e > 0:
                # a pair of doubles that sums to 1 only within rounding: the
                # tails are judged at the nearer of its two readings
                lo2, hi2 = tails(d, alt)
                e2 = max(rel(got[0], lo2), rel(got[1], hi2))
                if e2 < e:
                    e, lo, hi = e2, lo2, hi2
            return ("fwd", e, None, "true %s %s" % (mpmath.nstr(lo, 5), mpmath.nstr(hi, 5)))
        k = SOUGHT[d][which]
        side, target = target_side(d, v)
        if status == 0 and d in NONCENTRAL and v[0] > 1 - 1e-10:
            # a lower tail that is 1 to the doubles: any point where the
            # computed tail rounds to it is an answer
            return ("skip", None, None, "p rounds to 1")
        if status == 0:
            t = tails(d, got)[side]
            e = abs(t - target) / target
            return ("inv", e, forward_error(d, which, got, side, target, t),
                    "answer %r true tail %s" % (got[k], mpmath.nstr(t, 5)))
        if status in (1, 2):
            lo_end, hi_end = RANGE.get((d, which), (0.0, 1e300))
            if d == "bin" and which == 2:
                hi_end = v[3]
            ends = []
            for end in (lo_end, hi_end):
                if end == 0 and (d, which) not in PAIRED:
                    end = 1e-300
                ends.append(tails(d, moved(d, which, v, k, end))[side] - target)
            same = (ends[0] > 0) == (ends[1] > 0) or ends[0] == 0 and ends[1] == 0
            return ("none", None, None, "ends %s %s %s" % (
                mpmath.nstr(ends[0], 3), mpmath.nstr(ends[1], 3), "ok" if same else "ROOT INSIDE"))
        if status < 0:
            return ("refused", None, None, "status %d bound %g" % (status, bound))
        return ("other", None, None, "status %d" % status)
    except Timeout:
        return ("timeout", None, None, "")
    except Exception as exc:  # noqa: BLE001
        return ("error", None, None, repr(exc)[:80])
    finally:
        signal.alarm(0)


def self_check(binary, items):
    """For every answer with status 0 of a search: does the driver's own
    tail, at the answer moved by the search's tolerance either way (a
    relative 2e-8, at least 1e-315), leave the target between?  Returns
    the indices of the answers where it does not."""
    calls, index = [], []
    for i, (d, which, v, (status, _, _, got)) in enumerate(items):
        if which == 1 or status != 0 or (d, which) in (("nor", 2), ("nor", 3), ("nor", 4),
                                                        ("gam", 2), ("gam", 4)):
            continue
        k = sought_index(d, which, got)
        a = got[k]
        tol = max(2e-8 * abs(a), 1e-315)
        lo, hi = a - tol, a + tol
        if (d, which) in PAIRED:
            lo, hi = max(lo, 0.0), min(hi, 1.0)
        elif (d, which) != ("t", 2):
            lo = max(lo, 0.0)
        for x in (lo, hi):
            vv = moved(d, which, got, k, x)
            calls.append((d, 1, vv))
        index.append(i)
    res = probe(binary, calls)
    bad = []
    for j, i in enumerate(index):
        d, which, v, _ = items[i]
        side, target = target_side(d, v)
        flo = res[2 * j][3][side] - float(target)
        fhi = res[2 * j + 1][3][side] - float(target)
        if not ((flo <= 0 <= fhi) or (fhi <= 0 <= flo)):
            bad.append((i, flo, fhi))
    return bad


def main():
    binary = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    jobs = int(sys.argv[4]) if len(sys.argv) > 4 else 2
    drivers = sys.argv[5].split(",") if len(sys.argv) > 5 and sys.argv[5] != "all" else None
    region = sys.argv[6] if len(sys.argv) > 6 else "wide"
    assert region in REGIONS, region
    rng = random.Random(seed)
    points = [draw(rng, drivers, region) for _ in range(n)]
    # which 1 at the point the driver's which 2 finds for the target
    first = [(d, 2, v) if w == 1 and not direct else (d, w, v) for d, w, v, direct in points]
    res = probe(binary, first)
    calls = []
    for (d, w, v, direct), r in zip(points, res):
        if w == 1 and not direct:
            calls.append((d, 1, list(r[3]) if r[0] == 0 else list(v)))
        else:
            calls.append((d, w, v))
    res = probe(binary, calls)
    items = [(d, w, v, r) for (d, w, v), r in zip(calls, res)]
    with multiprocessing.Pool(jobs) as pool:
        verdicts = pool.map(judge, items, chunksize=1)
    bad_self = {i: (flo, fhi) for i, flo, fhi in self_check(binary, items)}
    by = {}
    for i, ((d, w, v, r), (kind, e, kappa, note)) in enumerate(zip(items, verdicts)):
        selfnote = "SELF %.3g %.3g" % bad_self[i] if i in bad_self else "self ok"
        by.setdefault((d, w), []).append((kind, e, kappa, note, v, r, selfnote))
        print("ROW\t%s\t%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%.3g\t%s" % (
            d, w, kind, mpmath.nstr(e, 3) if e is not None else "-",
            mpmath.nstr(kappa, 3) if kappa is not None else "-", note, v, r[0], r[3], r[2],
            selfnote))
    slowest = max(items, key=lambda it: it[3][2])
    print("== %d calls, region %s, seed %d; slowest %.3g s: %s %d %s" % (
        len(items), region, seed, slowest[3][2], slowest[0], slowest[1], slowest[2]))
    for key in sorted(by):
        rows = by[key]
        errs = [x for x in rows if x[1] is not None]
        errs.sort(key=lambda x: -float(x[1]) if key[1] == 1 else -float(x[2]))
        stat = {}
        for x in rows:
            stat[x[5][0]] = stat.get(x[5][0], 0) + 1
        print("== %s which %d: %d calls, statuses %s" % (key[0], key[1], len(rows), stat))
        for x in errs[:4]:
            print("   err %s fwd %s %s | in %s | out %s %s" % (
                mpmath.nstr(x[1], 3), mpmath.nstr(x[2], 3) if x[2] is not None else "-", x[3],
                x[4], x[5][0], x[5][3]))
        for x in rows:
            if x[0] in ("none", "other", "timeout", "error") and ("ok" not in x[3]):
                print("   %s %s | in %s | out %s %g %s" % (x[0], x[3], x[4], x[5][0], x[5][1],
                                                         x[5][3]))
            if x[6] != "self ok":
                print("   %s | in %s | out %s %s" % (x[6], x[4], x[5][0], x[5][3]))


if __name__ == "__main__":
    main()
