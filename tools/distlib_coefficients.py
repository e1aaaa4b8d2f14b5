#!/usr/bin/python3
"""Derives coefficient tables of the distribution library from the functions'
mathematical definitions, and writes src/random/distlib_coef.hpp.

Run with Debian's python3 (python3-mpmath):  /usr/bin/python3 tools/distlib_coefficients.py

1. Temme's uniform expansion of the incomplete gamma ratio.  With
   lambda = x/a, mu = lambda - 1 and eta = sign(mu) sqrt(2 (mu - ln(1 + mu))),
       Q(a, x) = erfc(eta sqrt(a/2))/2 + exp(-a eta^2/2)/sqrt(2 pi a) sum_k C_k(eta) a^-k,
       C_0(eta) = 1/mu - 1/eta,
       C_k(eta) = C'_{k-1}(eta)/eta + (-1)^k g_k/mu,
   where g_k are the coefficients of Gamma(a) ~ sqrt(2 pi/a) (a/e)^a sum_k g_k a^-k.
   The tables D_k are the Taylor coefficients of C_k about eta = 0; they are
   computed exactly in rational arithmetic (series reversion of eta(mu)).

2. Smooth parts of Gamma(1 + x), ln Gamma(1 + a) and 1/Gamma(1 + a) - 1 on the
   intervals their callers use, as Chebyshev interpolants (mpmath.chebyfit at
   60 digits) written in powers of a shifted variable u; the degree is the
   smallest whose maximum relative error is below 2^-60.
"""

from fractions import Fraction as F
import os
import sys

import mpmath
from mpmath import mp, mpf

mp.dps = 60
NSER = 32  # terms of the eta series carried through


# ---------------------------------------------------------------- series kit
def mul(a, b, n=NSER):
    out = [F(0)] * n
    for i, x in enumerate(a[:n]):
        if x == 0:
            continue
        for j, y in enumerate(b[: n - i]):
            out[i + j] += x * y
    return out


def inv(a, n=NSER):
    # 1/a for a power series with a[0] != 0
    out = [F(0)] * n
    out[0] = 1 / a[0]
    for k in range(1, n):
        s = sum(a[j] * out[k - j] for j in range(1, min(k, len(a) - 1) + 1))
        out[k] = -s / a[0]
    return out


def sqrt_series(a, n=NSER):
    # sqrt(a) for a[0] == 1
    assert a[0] == 1
    out = [F(0)] * n
    out[0] = F(1)
    for k in range(1, n):
        s = sum(out[j] * out[k - j] for j in range(1, k))
        out[k] = (a[k] - s) / 2
    return out


def compose(f, g, n=NSER):
    # f(g(t)) with g[0] == 0
    out = [F(0)] * n
    power = [F(1)] + [F(0)] * (n - 1)
    for k in range(n):
        if k > 0:
            power = mul(power, g, n)
        for i in range(n):
            out[i] += f[k] * power[i]
    return out


def reverse(g, n=NSER):
    # inverse series of g (g[0] = 0, g[1] != 0) by Newton-free iteration
    r = [F(0), 1 / g[1]] + [F(0)] * (n - 2)
    for k in range(2, n):
        c = compose(g, r, k + 1)
        r[k] = -c[k] / g[1]
    return r


# ------------------------------------------------------- Stirling g_k exact
def bernoulli(nmax):
    b = [F(0)] * (nmax + 1)
    b[0] = F(1)
    from math import comb
    for m in range(1, nmax + 1):
        b[m] = -sum(comb(m + 1, k) * b[k] for k in range(m)) / (m + 1)
    return b


def stirling_g(kmax):
    # ln Gamma*(z) = sum_m B_2m / (2m (2m-1)) w^(2m-1), w = 1/z; exponentiate.
    n = kmax + 1
    b = bernoulli(2 * n + 2)
    lg = [F(0)] * n
    for m in range(1, n):
        if 2 * m - 1 < n:
            lg[2 * m - 1] = b[2 * m] / (2 * m * (2 * m - 1))
    # exp of a series with zero constant term: e' = lg' e
    e = [F(0)] * n
    e[0] = F(1)
    for k in range(1, n):
        e[k] = sum(j * lg[j] * e[k - j] for j in range(1, k + 1)) / k
    return e


def temme_tables():
    # eta^2/2 = mu - ln(1+mu) = sum_{k>=2} (-1)^k mu^k / k
    # eta = mu sqrt(2 sum_{k>=2} (-1)^k mu^(k-2)/k)
    inner = [F(2 * (-1) ** k, k) for k in range(2, NSER + 2)]
    root = sqrt_series(inner)
    eta_of_mu = [F(0)] + root[: NSER - 1]
    mu_of_eta = reverse(eta_of_mu)
    assert mu_of_eta[1] == 1
    m = mu_of_eta[1:] + [F(0)]          # mu = eta * M(eta)
    minv = inv(m)                        # 1/M
    # 1/mu = (1/eta) * minv ; C0 = (1/eta)(minv - 1)
    c = [minv[k + 1] for k in range(NSER - 1)]
    g = stirling_g(10)
    tables = [c]
    for k in range(1, 8):
        prev = tables[-1]
        # (1/eta) C'_{k-1}: coefficient of eta^(n-2) is n d_n
        # (-1)^k g_k / mu = (-1)^k g_k (1/eta) minv
        sgn = (-1) ** k
        pole = prev[1] + sgn * g[k]
        assert pole == 0, (k, pole)
        new = []
        for p in range(0, len(prev) - 2):
            new.append((p + 2) * prev[p + 2] + sgn * g[k] * minv[p + 1])
        tables.append(new)
    return tables


def check_temme(tables):
    # Compare the expansion with mpmath's Q at a = 60, lambda = 1.15.
    a = mpf(60)
    x = mpf(69)
    lam = x / a
    mu = lam - 1
    eta = mpmath.sqrt(2 * (mu - mpmath.log(1 + mu)))
    s = mpf(0)
    for k, t in enumerate(tables[:8]):
        ck = sum(mpf(t[n].numerator) / t[n].denominator * eta ** n for n in range(len(t)))
        s += ck / a ** k
    q = mpmath.erfc(eta * mpmath.sqrt(a / 2)) / 2 + mpmath.exp(-a * eta ** 2 / 2) / mpmath.sqrt(2 * mpmath.pi * a) * s
    ref = mpmath.gammainc(a, x, mpmath.inf, regularized=True)
    err = abs(q / ref - 1)
    assert err < mpf("1e-15"), err


# ------------------------------------------------------------ Chebyshev fits
def fit(f, lo, hi, name):
    """Smallest degree whose relative error on [lo, hi] (in u) is below 2^-60."""
    target = mpf(2) ** -60
    grid = [lo + (hi - lo) * mpf(i) / 400 for i in range(401)]
    vals = [f(u) for u in grid]
    for n in range(4, 60):
        poly = mpmath.chebyfit(f, [lo, hi], n)
        worst = max(abs(mpmath.polyval(poly, u) / v - 1) for u, v in zip(grid, vals))
        if worst < target:
            return poly, worst
    raise SystemExit("no fit for " + name)


def gamma1p(u):           # Gamma(1 + x), x = u + 1/2, x in [0, 1]
    return mpmath.gamma(mpf("1.5") + u)


def lngamma1p_lo(u):      # ln Gamma(1 + a) / (a (a - 1)), a = u + 1/4
    a = u + mpf("0.25")
    if a == 0:
        return mpmath.euler
    return mpmath.loggamma(1 + a) / (a * (a - 1))


def lngamma1p_hi(u):      # ln Gamma(2 + x) / (x (x + 1)), x = u - 1/16
    x = u - mpf(1) / 16
    if x == 0:
        return 1 - mpmath.euler
    return mpmath.loggamma(2 + x) / (x * (1 + x))


def rgam_pos(u):          # (1/Gamma(1 + t) - 1)/t, t = u + 1/4, t in [0, 1/2]
    t = u + mpf("0.25")
    if t == 0:
        return mpmath.euler
    return (mpmath.rgamma(1 + t) - 1) / t


def rgam_neg(u):          # (1/Gamma(1 + t) - 1)/t - 1, t = u - 1/4, t in [-1/2, 0]
    t = u - mpf("0.25")
    if t == 0:
        return mpmath.euler - 1
    return (mpmath.rgamma(1 + t) - 1) / t - 1


def c17(v):
    s = mpmath.nstr(mpf(v), 21, min_fixed=1, max_fixed=0)
    if "e" not in s and "." not in s:
        s += ".0"
    return s


def emit_array(out, name, vals, comment):
    out.append("// " + comment)
    out.append("inline constexpr double %s[%d] = {" % (name, len(vals)))
    for v in vals:
        out.append("    %s," % c17(v))
    out.append("};")
    out.append("")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    dest = os.path.join(here, "..", "src", "random", "distlib_coef.hpp")

    tables = temme_tables()
    check_temme(tables)
    lengths = [13, 12, 10, 8, 6, 4, 2]

    out = []
    out.append("// Generated by tools/distlib_coefficients.py; do not edit by hand.")
    out.append("// Coefficients derived with mpmath from the functions' definitions (see the")
    out.append("// script for the method of each table).")
    out.append("#pragma once")
    out.append("")
    out.append("namespace distlib::coef {")
    out.append("")
    out.append("// Temme's expansion: Dk0 is C_k(0), Dk[n-1] the coefficient of eta^n in C_k.")
    for k in range(7):
        t = tables[k]
        if k > 0:
            out.append("inline constexpr double D%d0 = %s;" % (k, c17(mpf(t[0].numerator) / t[0].denominator)))
        vals = [mpf(t[n].numerator) / t[n].denominator for n in range(1, lengths[k] + 1)]
        emit_array(out, "D%d" % k, vals, "C_%d, powers 1..%d of eta" % (k, lengths[k]))
    t7 = tables[7]
    out.append("inline constexpr double D70 = %s;" % c17(mpf(t7[0].numerator) / t7[0].denominator))
    out.append("")

    fits = [
        ("GAMMA1P", gamma1p, mpf("-0.5"), mpf("0.5"),
         "Gamma(1 + x) on 0 <= x <= 1, in powers of u = x - 1/2"),
        ("LNG1P_LO", lngamma1p_lo, mpf("-0.5"), mpf("0.375"),
         "ln Gamma(1 + a) / (a (a - 1)) on -1/4 <= a <= 5/8, in powers of u = a - 1/4"),
        ("LNG1P_HI", lngamma1p_hi, mpf("-0.34375"), mpf("0.40625"),
         "ln Gamma(2 + x) / (x (x + 1)) on -0.40625 <= x <= 0.34375, in powers of u = x + 1/16"),
        ("GAM1_POS", rgam_pos, mpf("-0.25"), mpf("0.25"),
         "(1/Gamma(1 + t) - 1)/t on 0 <= t <= 1/2, in powers of u = t - 1/4"),
        ("GAM1_NEG", rgam_neg, mpf("-0.25"), mpf("0.25"),
         "(1/Gamma(1 + t) - 1)/t - 1 on -1/2 <= t <= 0, in powers of u = t + 1/4"),
    ]
    for name, f, lo, hi, comment in fits:
        poly, worst = fit(f, lo, hi, name)
        comment += "; highest power first; max rel. error %s" % mpmath.nstr(worst, 3)
        emit_array(out, name, poly, comment)
        print(name, "degree", len(poly) - 1, "error", mpmath.nstr(worst, 3), file=sys.stderr)

    out.append("}  // namespace distlib::coef")
    with open(dest, "w") as fh:
        fh.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
