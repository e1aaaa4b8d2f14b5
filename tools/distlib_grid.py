#!/usr/bin/python3
"""Accuracy of the distribution drivers over a random wide grid, judged
against mpmath (Debian's python3-mpmath) at 40 digits and more.

Run:  /usr/bin/python3 tools/distlib_grid.py build/release/distlib_probe [N] [SEED] [JOBS]
      [DRIVERS]   (a comma-separated subset of gam,t,poi,nor,nbn,f,fnc,chi,chn,bin,bet)

Each point draws a driver, a which, shapes and degrees of freedom from 1e-3
to 1e6, noncentralities from 1e-2 to 1e4, counts to 1e7 and a target tail
from 1e-300 to 0.5 on either side.  Inverse calls get that target; which 1
is asked at the point the driver's own which 2 returned for it.  Judged:

- which 1: the relative error of each tail (a true tail below the smallest
  normal double may come back as 0 or any value below it);
- status 0 of a search or formula: the relative error of the true tail at
  the answer against the target, and that error over the tail's condition
  number with respect to the answer (the answer's own relative error);
- status 1 or 2: that the true tails at the two ends of the range leave the
  target on one side, so that the range holds no answer.

Prints the worst cases of each driver and which, and a line per class.
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "random"))
import distlib_reference as ref  # noqa: E402

mp.dps = 40
TINY = mpf(2) ** -1022


def lu(rng, lo, hi):
    return math.exp(rng.uniform(math.log(lo), math.log(hi)))


# ----------------------------------------------------------------- true tails
def gam_pq(a, x):
    if x <= 0:
        return mpf(0), mpf(1)
    return ref.pq(a, x)


def beta_pq(a, b, x, y=None):
    """I_x(a, b) and its complement, each from its own side; y = 1 - x given
    separately when known (a share near 1 is not a 50-digit number)."""
    x = mpf(x)
    y = 1 - x if y is None else mpf(y)
    if x <= 0:
        return mpf(0), mpf(1)
    if y <= 0:
        return mpf(1), mpf(0)
    a, b = mpf(a), mpf(b)
    if min(a, b) > 100:
        if x < y:
            w = ref.ibeta_cf(a, b, x) if x < (a + 1) / (a + b + 2) else None
            if w is not None:
                return w, 1 - w
        else:
            w1 = ref.ibeta_cf(b, a, y) if y < (b + 1) / (a + b + 2) else None
            if w1 is not None:
                return 1 - w1, w1
        return ref.ibeta(a, b, x)
    # the tail at the smaller argument directly, the other as its complement
    # at a precision that keeps a tail down to 1e-320
    with mp.workdps(mp.dps + 330 + int(max(0, -mpmath.log10(min(x, y))))):
        if x <= y:
            w = mpmath.betainc(a, b, 0, x, regularized=True)
            w1 = 1 - w
        else:
            w1 = mpmath.betainc(b, a, 0, y, regularized=True)
            w = 1 - w1
    return +w, +w1


def mixture(lam, term):
    """Both tails of the Poisson mixture sum_k w_k (lower_k, upper_k), each
    summed outward from its own largest term."""
    lam = mpf(lam)
    lnw = lambda k: -lam + k * mpmath.log(lam) - mpmath.loggamma(k + 1)
    kmax = int(lam + 40 * mpmath.sqrt(lam) + 200)
    out = []
    for side in (0, 1):
        def lt(k):
            v = term(k)[side]
            return lnw(k) + mpmath.log(v) if v > 0 else -mpmath.inf
        # the largest term, on a coarse grid and then nearby
        grid = sorted(set([0, 1, 2] + [int(kmax * i / 200) for i in range(201)]))
        best = max(grid, key=lt)
        total = mpf(0)
        for direction in (-1, 1):
            k = best if direction < 0 else best + 1
            while k >= 0:
                t = lt(k)
                if t == -mpmath.inf:
                    v = mpf(0)
                else:
                    v = mpmath.exp(t)
                total += v
                if total > 0 and (v < total * mpf(10) ** -40) and abs(k - best) > 3:
                    break
                if total == 0 and abs(k - best) > 50:
                    break
                k += direction
        out.append(total)
    return out[0], out[1]


def chn_pq(x, df, nc):
    x, df, nc = mpf(x), mpf(df), mpf(nc)
    if x <= 0:
        return mpf(0), mpf(1)
    if nc == 0:
        return gam_pq(df / 2, x / 2)
    return mixture(nc / 2, lambda k: gam_pq(df / 2 + k, x / 2))


def f_share(f, dfn, dfd):
    """The beta shares of an F value: each exact, however near 1 the other."""
    f, dfn, dfd = mpf(f), mpf(dfn), mpf(dfd)
    with mp.workdps(mp.dps + abs(int(mpmath.log10(dfn * f / dfd))) + 10):
        x = dfn * f / (dfd + dfn * f)
        y = dfd / (dfd + dfn * f)
    return x, y


def fnc_pq(f, dfn, dfd, nc):
    if f <= 0:
        return mpf(0), mpf(1)
    x, y = f_share(f, dfn, dfd)
    dfn, dfd = mpf(dfn), mpf(dfd)
    if nc == 0:
        return beta_pq(dfn / 2, dfd / 2, x, y)
    return mixture(mpf(nc) / 2, lambda k: beta_pq(dfn / 2 + k, dfd / 2, x, y))


def tails(d, v):
    """True (lower, upper) tails of driver d at values v (argument order)."""
    if d == "gam":
        return gam_pq(mpf(v[3]), mpf(v[2]) * mpf(v[4]))
    if d == "chi":
        return gam_pq(mpf(v[3]) / 2, mpf(v[2]) / 2)
    if d == "poi":
        p, q = gam_pq(mpf(v[2]) + 1, mpf(v[3]))
        return q, p
    if d == "t":
        t, df = mpf(v[2]), mpf(v[3])
        if t == 0:
            return mpf(0.5), mpf(0.5)
        with mp.workdps(mp.dps + abs(int(mpmath.log10(t * t / df))) + 10):
            xx, yy = df / (df + t * t), t * t / (df + t * t)
        ix, omix = beta_pq(df / 2, mpf(0.5), xx, yy)
        return (ix / 2, omix + ix / 2) if t < 0 else (omix + ix / 2, ix / 2)
    if d == "nor":
        z = (mpf(v[2]) - mpf(v[3])) / mpf(v[4])
        return mpmath.ncdf(z), mpmath.ncdf(-z)
    if d == "nbn":
        return beta_pq(mpf(v[3]), mpf(v[2]) + 1, mpf(v[4]), mpf(v[5]))
    if d == "bin":
        s, n = mpf(v[2]), mpf(v[3])
        if s >= n:
            return mpf(1), mpf(0)
        c, cc = beta_pq(s + 1, n - s, mpf(v[4]), mpf(v[5]))
        return cc, c
    if d == "f":
        if v[2] <= 0:
            return mpf(0), mpf(1)
        x, y = f_share(v[2], v[3], v[4])
        return beta_pq(mpf(v[3]) / 2, mpf(v[4]) / 2, x, y)
    if d == "fnc":
        return fnc_pq(v[2], v[3], v[4], v[5])
    if d == "chn":
        return chn_pq(v[2], v[3], v[4])
    if d == "bet":
        return beta_pq(mpf(v[4]), mpf(v[5]), mpf(v[2]), mpf(v[3]))
    raise ValueError(d)


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
# the search range of a sought value: (lower end, upper end); None where the
# driver computes it by formula
RANGE = {("t", 2): (-1e300, 1e300), ("t", 3): (1e-100, 1e10), ("f", 3): (1e-100, 1e300),
         ("f", 4): (1e-100, 1e300), ("fnc", 3): (1e-100, 1e300), ("fnc", 4): (1e-100, 1e300),
         ("fnc", 5): (0, 1e4), ("chn", 4): (0, 1e4)}


def draw(rng, drivers=None):
    d = rng.choice(sorted(drivers or NARGS))
    which = rng.randint(1, WHICHES[d])
    v = [0.0] * 6
    shape = lambda: lu(rng, 1e-3, 1e6)
    tail = lu(rng, 1e-300, 0.5)
    upper = rng.random() < 0.5
    p, q = (1.0 - tail, tail) if upper else (tail, 1.0 - tail)
    v[0], v[1] = p, q
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
    return d, which, v[:NARGS[d]]


def probe(binary, calls):
    lines = "".join("%s %d %s\n" % (d, w, " ".join(repr(x) for x in v)) for d, w, v in calls)
    out = subprocess.run([binary], input=lines, capture_output=True, text=True, check=True).stdout
    res = []
    for line in out.splitlines():
        f = line.split()
        res.append((int(f[0]), float(f[1]), [float(x) for x in f[2:]]))
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


def forward_error(d, which, k, got, side, target, t):
    """The least tau of the ladder such that the true tail at the answer
    moved by a relative tau either way (an absolute one for an answer 0)
    leaves the target between: a bound on the answer's relative error;
    inf when no tau up to 0.1 does."""
    a = mpf(got[k])
    if t == target:
        return mpf(0)
    pair = (d in ("bin", "nbn") and which == 4) or (d == "bet" and which == 2)

    def at(v):
        vv = list(got)
        vv[k] = v
        if pair:
            vv[k + 1] = 1 - v
        return tails(d, vv)[side] - target

    def bracketed(tau):
        if a == 0:
            lo, hi = mpf(0), mpf(tau)
        else:
            lo, hi = a * (1 - mpf(tau)), a * (1 + mpf(tau))
        if pair:
            hi = min(hi, mpf(1))
        flo, fhi = at(lo), at(hi)
        return (flo <= 0 <= fhi) or (fhi <= 0 <= flo)

    # bisection over the ladder: bracketing grows with tau
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


def judge(item):
    """The verdict of one call: (kind, error, condition, note)."""
    d, which, v, (status, bound, got) = item
    signal.signal(signal.SIGALRM, on_alarm)
    signal.alarm(60)
    try:
        if which == 1:
            if status != 0:
                return ("fwd", None, None, "status %d bound %g" % (status, bound))
            lo, hi = tails(d, got)
            e = max(rel(got[0], lo), rel(got[1], hi))
            return ("fwd", e, None, "true %s %s" % (mpmath.nstr(lo, 5), mpmath.nstr(hi, 5)))
        k = SOUGHT[d][which]
        use_p = d in NONCENTRAL or v[0] <= v[1]
        target = mpf(v[0]) if use_p else mpf(v[1])
        side = 0 if use_p else 1
        if status == 0 and d in NONCENTRAL and v[0] > 1 - 1e-10:
            # a lower tail that is 1 to the doubles: any point where the
            # computed tail rounds to it is an answer
            return ("skip", None, None, "p rounds to 1")
        if status == 0:
            t = tails(d, got)[side]
            e = abs(t - target) / target
            return ("inv", e, forward_error(d, which, k, got, side, target, t),
                    "answer %r true tail %s" % (got[k], mpmath.nstr(t, 5)))
        if status in (1, 2):
            rng = RANGE.get((d, which))
            lo_end = rng[0] if rng else 0.0
            hi_end = rng[1] if rng else 1e300
            if d in ("bin",) and which == 2:
                hi_end = v[3]
            if which == 4 and d in ("bin", "nbn"):
                lo_end, hi_end = 0.0, 1.0
            if d == "bet" and which == 2:
                lo_end, hi_end = 0.0, 1.0
            ends = []
            for end in (lo_end, hi_end):
                vv = list(v)
                vv[k] = end if end != 0 else 1e-300
                if which == 4 and d in ("bin", "nbn") or d == "bet" and which == 2:
                    vv[k] = end
                    vv[k + 1] = 1.0 - end
                ends.append(tails(d, vv)[side] - target)
            same = (ends[0] > 0) == (ends[1] > 0) or ends[0] == 0 and ends[1] == 0
            return ("none", None, None, "ends %s %s %s" % (
                mpmath.nstr(ends[0], 3), mpmath.nstr(ends[1], 3), "ok" if same else "ROOT INSIDE"))
        return ("other", None, None, "status %d" % status)
    except Timeout:
        return ("timeout", None, None, "")
    except Exception as exc:  # noqa: BLE001
        return ("error", None, None, repr(exc)[:80])
    finally:
        signal.alarm(0)


def main():
    binary = sys.argv[1]
    n = int(sys.argv[2]) if len(sys.argv) > 2 else 400
    seed = int(sys.argv[3]) if len(sys.argv) > 3 else 1
    jobs = int(sys.argv[4]) if len(sys.argv) > 4 else 2
    drivers = sys.argv[5].split(",") if len(sys.argv) > 5 else None
    rng = random.Random(seed)
    points = [draw(rng, drivers) for _ in range(n)]
    # which 1 at the point the driver's which 2 finds for the target
    first = [(d, 2, v) if w == 1 else (d, w, v) for d, w, v in points]
    res = probe(binary, first)
    calls = []
    for (d, w, v), r in zip(points, res):
        if w == 1:
            vv = list(r[2])
            if r[0] != 0:
                vv = list(v)
            calls.append((d, 1, vv))
        else:
            calls.append((d, w, v))
    res = probe(binary, calls)
    items = [(d, w, v, r) for (d, w, v), r in zip(calls, res)]
    with multiprocessing.Pool(jobs) as pool:
        verdicts = pool.map(judge, items, chunksize=1)
    by = {}
    for (d, w, v, r), (kind, e, kappa, note) in zip(items, verdicts):
        by.setdefault((d, w), []).append((kind, e, kappa, note, v, r))
        print("ROW\t%s\t%d\t%s\t%s\t%s\t%s\t%s\t%s\t%s" % (
            d, w, kind, mpmath.nstr(e, 3) if e is not None else "-",
            mpmath.nstr(kappa, 3) if kappa is not None else "-", note, v, r[0], r[2]))
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
                x[4], x[5][0], x[5][2]))
        for x in rows:
            if x[0] in ("none", "other", "timeout", "error") and ("ok" not in x[3]):
                print("   %s %s | in %s | out %s %g %s" % (x[0], x[3], x[4], x[5][0], x[5][1],
                                                         x[5][2]))


if __name__ == "__main__":
    main()
