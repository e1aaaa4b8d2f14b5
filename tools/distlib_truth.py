"""Both tails of the distributions of the distribution library, in mpmath at
40 digits and more, by methods of their own: the gamma ratios by their power
series and continued fraction, the beta ratio by its continued fraction, the
noncentral mixtures by recurrences that only ever add positive terms (the
lower ratio stepped down in shape, the upper one up).  Each tail that is
small is formed from its own terms, never as 1 minus the other, so that a
tail down to 1e-320 and below keeps its digits; a complement that comes out
small is computed again at the precision it needs.

Used by tools/distlib_grid.py; fast enough for shapes to 1e6 (integrated numerically
from 1e7 on, to 1e300) and noncentralities to 1e4 (each mixture sums every term whose Poisson weight
is above 1e-400 of the largest), the chi-square's to 1e8 (some 12 s a call there).
"""

import math

import mpmath
from mpmath import mp, mpf

ZERO, ONE = mpf(0), mpf(1)
MAX_STEPS = 2000000


def _tol():
    """Where a series or fraction stops: a few digits above the working
    precision, which a fraction's step of 1 can only meet by rounding."""
    return mpf(10) ** -(mp.dps - 4)


def _digits(*vals):
    """Extra digits that keep a + k exact and ln Gamma of huge arguments
    from cancelling: the decimal exponent of the largest value."""
    top = max(abs(mpf(v)) for v in vals)
    return max(0, int(mpmath.log10(top))) + 5 if top > 1 else 5


def _ln_front(a, x, lnx):
    """ln(x^a e^-x / Gamma(a))."""
    return a * lnx - x - mpmath.loggamma(a)


def _gamma_p_series(a, x):
    # P = x^a e^-x / Gamma(a + 1) sum_n x^n / ((a + 1) ... (a + n))
    term = ONE
    total = ONE
    n = 0
    tol = _tol()
    while True:
        n += 1
        term *= x / (a + n)
        total += term
        if term < tol * total:
            break
        if n > MAX_STEPS:
            raise ArithmeticError("gamma series %s %s" % (a, x))
    return mpmath.exp(_ln_front(a, x, mpmath.log(x)) - mpmath.log(a)) * total


def _gamma_q_fraction(a, x):
    # Q = x^a e^-x / Gamma(a) / (x + 1 - a - 1 (1 - a) / (x + 3 - a - ...)), by Lentz
    tiny = mpf(10) ** -(10 * mp.dps)
    b = x + 1 - a
    c = 1 / tiny
    d = 1 / b
    h = d
    tol = _tol()
    i = 0
    while True:
        i += 1
        an = -i * (i - a)
        b += 2
        d = an * d + b
        if d == 0:
            d = tiny
        c = b + an / c
        if c == 0:
            c = tiny
        d = 1 / d
        delta = d * c
        h *= delta
        if abs(delta - 1) < tol:
            break
        if i > MAX_STEPS:
            raise ArithmeticError("gamma fraction %s %s" % (a, x))
    return mpmath.exp(_ln_front(a, x, mpmath.log(x))) * h


def _with_small_complement(compute):
    """compute() -> (tail, complement as 1 - tail); redone at the precision
    that a small complement needs (a complement of 0 is never exact: the
    tails lie strictly between 0 and 1)."""
    t, c = compute()
    dps = mp.dps
    while abs(c) < mpf(10) ** (25 - dps) and dps < mp.dps + 4000:
        dps = max(2 * dps, mp.dps + int(-mpmath.log10(abs(c))) + 20) if c != 0 else 2 * dps
        with mp.workdps(dps):
            t, c = compute()
    return +t, +c


# Shapes from which the gamma ratios are integrated numerically: the series
# and the fraction need about sqrt(a) terms near the mean.
QUAD_SHAPE = mpf(10) ** 7


def _log1p_less(w):
    """log(1 + w) - w, by its series for a small |w| (where the two cancel)."""
    if abs(w) > mpf(10) ** -4:
        with mp.workdps(mp.dps + 6):
            return mpmath.log1p(w) - w
    total, term, k = ZERO, w, 1
    tol = mpf(10) ** -(mp.dps + 5) * w * w
    while True:
        k += 1
        term *= -w
        total += term / k
        if abs(term) < tol:
            return total


def _gamma_quad(a, x):
    """The tail of the gamma density on the far side of x from the mode,
    integrated by tanh-sinh quadrature over equal steps out to where the
    density has fallen by e^-150 or more, and the rest: (P, Q).  The density
    at x (1 + w) relative to its value at x, (a - 1 - x) w + (a - 1)
    (log(1 + w) - w) in its log, needs the working precision of a's digits
    only for a - 1 - x."""
    lga = mpmath.loggamma(a)
    sig = mpmath.sqrt(a)
    lower = x < a - 1
    # the decay rate of the density away from x, per unit of sig
    rate = abs((a - 1) / x - 1) * sig
    lnf0 = (a - 1) * mpmath.log(x) - x - lga
    gap = (a - 1) - x
    dps = mp.dps
    with mp.workdps(40 + 20):
        am1, gap, sig, x, rate, lnf0 = +(a - 1), +gap, +sig, +x, +rate, +lnf0
        step = sig / x

        def f(u):
            w = -u * step if lower else u * step
            if w <= -1:
                return ZERO
            return mpmath.exp(gap * w + am1 * _log1p_less(w))

        # the log density falls at least as rate u + u^2 / 2 (it is concave):
        # by 150 (1e-65) within span; 60 equal steps to there, then the rest
        span = 1.5 * min(150 / rate, mpf(18)) if rate > 0 else mpf(27)
        top = x / sig if lower else mpmath.inf
        span = min(span, top)
        pts = [span * k / 60 for k in range(61)]
        if span < top:
            pts.append(top)
        tail = sig * mpmath.exp(lnf0) * mpmath.quad(f, pts)
    with mp.workdps(dps):
        tail = +tail
    return (tail, 1 - tail) if lower else (1 - tail, tail)


def gamma_pq(a, x):
    """P(a, x) and Q(a, x)."""
    a, x = mpf(a), mpf(x)
    if x <= 0:
        return ZERO, ONE
    with mp.workdps(mp.dps + _digits(a, x)):
        if a >= QUAD_SHAPE and a / 1000 < x < 1000 * a:
            p, q = _gamma_quad(a, x)
            return +p, +q
        if x < a + 1:
            p, q = _with_small_complement(lambda: (lambda p: (p, 1 - p))(_gamma_p_series(a, x)))
        else:
            q, p = _with_small_complement(lambda: (lambda q: (q, 1 - q))(_gamma_q_fraction(a, x)))
    return +p, +q


def _beta_fraction(a, b, x, y):
    """I_x(a, b) by its continued fraction, for x < (a + 1) / (a + b + 2)."""
    lnfront = (a * mpmath.log(x) + b * mpmath.log(y) - mpmath.log(a)
               - (mpmath.loggamma(a) + mpmath.loggamma(b) - mpmath.loggamma(a + b)))
    tiny = mpf(10) ** -(10 * mp.dps)
    qab, qap, qam = a + b, a + 1, a - 1
    c = ONE
    d = 1 - qab * x / qap
    d = 1 / (d if d != 0 else tiny)
    h = d
    tol = _tol()
    m = 0
    while True:
        m += 1
        m2 = 2 * m
        aa = m * (b - m) * x / ((qam + m2) * (a + m2))
        d = 1 + aa * d
        d = 1 / (d if d != 0 else tiny)
        c = 1 + aa / c
        c = c if c != 0 else tiny
        h *= d * c
        aa = -(a + m) * (qab + m) * x / ((a + m2) * (qap + m2))
        d = 1 + aa * d
        d = 1 / (d if d != 0 else tiny)
        c = 1 + aa / c
        c = c if c != 0 else tiny
        step = d * c
        h *= step
        if abs(step - 1) < tol:
            break
        if m > MAX_STEPS:
            raise ArithmeticError("beta fraction %s %s %s" % (a, b, x))
    return mpmath.exp(lnfront) * h


def beta_pq(a, b, x, y=None):
    """I_x(a, b) and 1 - I_x(a, b) at the point x, y = 1 - x.  Given both
    (as doubles that need not sum to 1 exactly), the smaller is taken as
    exact and the larger as its complement: the smaller is the one known to
    its own relative accuracy.  The complement is formed afresh at every
    precision used."""
    a, b, x = mpf(a), mpf(b), mpf(x)
    x_exact = y is None or x <= mpf(y)
    small = x if x_exact else mpf(y)
    if small <= 0:
        return (ZERO, ONE) if x_exact else (ONE, ZERO)

    def point():
        return (small, 1 - small) if x_exact else (1 - small, small)

    # A shape so far beyond the other and the gamma point that the limit
    # I_x(a, b) -> P(a, b x) (as b grows) is exact to (a + b x)^2 / b < 1e-40,
    # where the fraction's front and its complement would need hundreds of
    # digits (shapes of 1e-204 at 1e303 came out negative).
    with mp.workdps(mp.dps + _digits(a, b)):
        xx, yy = point()
        if b >= mpf(10) ** 40 * (a + b * xx + 1) ** 2:
            return gamma_pq(a, b * xx)
        if a >= mpf(10) ** 40 * (b + a * yy + 1) ** 2:
            q, p = gamma_pq(b, a * yy)
            return p, q

    with mp.workdps(mp.dps + _digits(a, b)):
        xx, _ = point()
        if xx < (a + 1) / (a + b + 2):
            w, w1 = _with_small_complement(
                lambda: (lambda w: (w, 1 - w))(_beta_fraction(a, b, *point())))
        else:
            w1, w = _with_small_complement(
                lambda: (lambda w1: (w1, 1 - w1))(_beta_fraction(b, a, *point()[::-1])))
    return +w, +w1


def _poisson_span(lam):
    """The Poisson terms k = 0..K of mean lam whose weight is above e^-920
    of the largest (every term of a mixture that can matter to a tail down
    to 1e-320 and far below)."""
    lam_f = float(lam)
    lnw = lambda k: -lam_f + k * math.log(lam_f) - math.lgamma(k + 1.0)
    top = lnw(math.floor(lam_f))
    k = max(int(math.floor(lam_f)), 1)
    step = max(1, int(math.sqrt(lam_f)))
    while lnw(k) > top - 920.0:
        k += step
    return k


def _poisson_span_low(lam):
    """The first term of the span: 0, or, for a huge mean, the term below
    the mode whose weight falls below e^-920 of the largest (the weights
    below it add up to less than that again)."""
    lam_f = float(lam)
    if lam_f <= 1e4:
        return 0
    lnw = lambda k: -lam_f + k * math.log(lam_f) - math.lgamma(k + 1.0)
    top = lnw(math.floor(lam_f))
    k = int(math.floor(lam_f))
    step = max(1, int(math.sqrt(lam_f)))
    while k > 0 and lnw(k) > top - 920.0:
        k = max(0, k - step)
    return k


def _mixture(lam, k_top, lower_at_top, upper_at_lo, step_term, k_lo=0):
    """sum_k w_k L_k and sum_k w_k U_k over k = k_lo..k_top, with L_k stepped
    down from L at k_top and U_k up from U at k_lo, each by adding
    step_term(k) (indexed from k_lo), the difference between the ratios at
    k and k + 1 (L_k = L_(k+1) + step_term(k), U_(k+1) = U_k + step_term(k))."""
    lam = mpf(lam)
    n = k_top - k_lo
    # Poisson weights, from the log at k_lo (no underflow in mpmath)
    w = [ZERO] * (n + 1)
    w[0] = mpmath.exp(-lam + k_lo * mpmath.log(lam) - mpmath.loggamma(k_lo + 1))
    for j in range(1, n + 1):
        w[j] = w[j - 1] * lam / (k_lo + j)
    t = step_term
    lower = ZERO
    ratio = lower_at_top
    for j in range(n, -1, -1):
        if j < n:
            ratio = ratio + t[j]
        lower += w[j] * ratio
    upper = ZERO
    ratio = upper_at_lo
    for j in range(0, n + 1):
        if j > 0:
            ratio = ratio + t[j - 1]
        upper += w[j] * ratio
    return lower, upper


def chn_pq(x, df, nc):
    """Noncentral chi-square: P(X <= x) and its complement."""
    x, df, nc = mpf(x), mpf(df), mpf(nc)
    if x <= 0:
        return ZERO, ONE
    if nc == 0:
        return gamma_pq(df / 2, x / 2)
    lam, d, c = nc / 2, df / 2, x / 2
    k_top = _poisson_span(lam)
    k_lo = _poisson_span_low(lam)
    n = k_top - k_lo
    with mp.workdps(mp.dps + _digits(d, c, k_top)):
        # P(a, c) - P(a + 1, c) = c^a e^-c / Gamma(a + 1), from the top down
        steps = [ZERO] * (n + 1)
        a = d + k_top
        steps[n] = mpmath.exp(a * mpmath.log(c) - c - mpmath.loggamma(a + 1))
        for j in range(n - 1, -1, -1):
            steps[j] = steps[j + 1] * (d + k_lo + j + 1) / c
        lower, upper = _mixture(lam, k_top, gamma_pq(d + k_top, c)[0], gamma_pq(d + k_lo, c)[1],
                                steps, k_lo)
    return +lower, +upper


def f_share(f, dfn, dfd):
    """The beta shares of an F value: x = dfn f / (dfd + dfn f) and y = 1 - x,
    each exact, however near 1 the other."""
    f, dfn, dfd = mpf(f), mpf(dfn), mpf(dfd)
    with mp.workdps(mp.dps + abs(int(mpmath.log10(dfn * f / dfd))) + 10):
        x = dfn * f / (dfd + dfn * f)
        y = dfd / (dfd + dfn * f)
    return x, y


# Degrees of freedom beyond which an F tail is taken at its limit: the
# chi-square of the other degrees of freedom (the relative difference is of
# the order of 1/df, nothing at 1e100).
HUGE_DF = mpf(10) ** 100


def f_pq(f, dfn, dfd):
    if f <= 0:
        return ZERO, ONE
    f, dfn, dfd = mpf(f), mpf(dfn), mpf(dfd)
    if dfd >= HUGE_DF and dfn < HUGE_DF:
        return gamma_pq(dfn / 2, dfn * f / 2)
    if dfn >= HUGE_DF and dfd < HUGE_DF:
        q, p = gamma_pq(dfd / 2, dfd / (2 * f))
        return p, q
    x, y = f_share(f, dfn, dfd)
    return beta_pq(dfn / 2, dfd / 2, x, y)


def fnc_pq(f, dfn, dfd, nc):
    """Noncentral F: P(F <= f) and its complement."""
    if f <= 0:
        return ZERO, ONE
    if nc == 0:
        return f_pq(f, dfn, dfd)
    if mpf(dfd) >= HUGE_DF and mpf(dfn) < HUGE_DF:
        return chn_pq(mpf(dfn) * mpf(f), dfn, nc)
    if mpf(dfn) >= HUGE_DF and mpf(dfd) < HUGE_DF:
        q, p = gamma_pq(mpf(dfd) / 2, mpf(dfd) / (2 * mpf(f)))
        return p, q
    x, y = f_share(f, dfn, dfd)
    a, b, lam = mpf(dfn) / 2, mpf(dfd) / 2, mpf(nc) / 2
    k_top = _poisson_span(lam)
    with mp.workdps(mp.dps + _digits(a, b, k_top)):
        # I_x(s, b) - I_x(s + 1, b) = x^s y^b Gamma(s + b) / (Gamma(s + 1) Gamma(b))
        steps = [ZERO] * (k_top + 1)
        s = a + k_top
        steps[k_top] = mpmath.exp(s * mpmath.log(x) + b * mpmath.log(y) + mpmath.loggamma(s + b)
                                  - mpmath.loggamma(s + 1) - mpmath.loggamma(b))
        for k in range(k_top - 1, -1, -1):
            s = a + k
            steps[k] = steps[k + 1] * (s + 1) / (x * (s + b))
        lower, upper = _mixture(lam, k_top, beta_pq(a + k_top, b, x, y)[0],
                                beta_pq(a, b, x, y)[1], steps)
    return +lower, +upper


def t_pq(t, df):
    t, df = mpf(t), mpf(df)
    if t == 0:
        return mpf(0.5), mpf(0.5)
    with mp.workdps(mp.dps + abs(int(mpmath.log10(t * t / df))) + 10):
        xx, yy = df / (df + t * t), t * t / (df + t * t)
    ix, omix = beta_pq(df / 2, mpf(0.5), xx, yy)
    return (ix / 2, omix + ix / 2) if t < 0 else (omix + ix / 2, ix / 2)


def normal_pq(z):
    z = mpf(z)
    if abs(z) > 1e10:
        return (ZERO, ONE) if z < 0 else (ONE, ZERO)
    return mpmath.ncdf(z), mpmath.ncdf(-z)


def tails(d, v):
    """True (lower, upper) tails of driver d at its values v (argument order:
    p, q, then the distribution's values)."""
    if d == "gam":
        return gamma_pq(mpf(v[3]), mpf(v[2]) * mpf(v[4]))
    if d == "chi":
        return gamma_pq(mpf(v[3]) / 2, mpf(v[2]) / 2)
    if d == "poi":
        p, q = gamma_pq(mpf(v[2]) + 1, mpf(v[3]))
        return q, p
    if d == "t":
        return t_pq(v[2], v[3])
    if d == "nor":
        return normal_pq((mpf(v[2]) - mpf(v[3])) / mpf(v[4]))
    if d == "nbn":
        return beta_pq(mpf(v[3]), mpf(v[2]) + 1, mpf(v[4]), mpf(v[5]))
    if d == "bin":
        s, n = mpf(v[2]), mpf(v[3])
        if s >= n:
            return ONE, ZERO
        c, cc = beta_pq(s + 1, n - s, mpf(v[4]), mpf(v[5]))
        return cc, c
    if d == "f":
        return f_pq(v[2], v[3], v[4])
    if d == "fnc":
        return fnc_pq(v[2], v[3], v[4], v[5])
    if d == "chn":
        return chn_pq(v[2], v[3], v[4])
    if d == "bet":
        return beta_pq(mpf(v[4]), mpf(v[5]), mpf(v[2]), mpf(v[3]))
    raise ValueError(d)
