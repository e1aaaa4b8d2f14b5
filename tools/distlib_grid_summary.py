#!/usr/bin/env python3
"""The figures of the README's "Distribution functions" section, from the
output files of tools/distlib_grid.py (any number of them, any regions).

Run:  python3 tools/distlib_grid_summary.py OUT...

Beyond what the grid judged per call, it checks that every answer below
the smallest normal double lies within an absolute 2.2e-316 of a true root,
and which of the gamma quantiles and rates that gave up (status 10) had an
answer among the normal doubles.
"""

import glob
import os
import sys

from mpmath import mp, mpf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import distlib_grid as grid  # noqa: E402
import distlib_truth as truth  # noqa: E402

mp.dps = 40
TINY = 2.2250738585072014e-308
ABS = 2.2250738585072014e-316
HUGE = 1.7976931348623157e308
NC = ("fnc", "chn")
FORMULA = (("nor", 2), ("nor", 3), ("nor", 4), ("gam", 2), ("gam", 4))


def rows_of(paths):
    rows = []
    for path in paths:
        region = "?"
        for line in open(path):
            if line.startswith("== ") and " region " in line:
                region = line.split(" region ")[1].split(",")[0]
            if line.startswith("ROW"):
                f = line.rstrip("\n").split("\t")
                rows.append({"d": f[1], "w": int(f[2]), "kind": f[3],
                             "err": None if f[4] == "-" else float(f[4]),
                             "fwd": None if f[5] == "-" else float(f[5]), "note": f[6],
                             "in": eval(f[7]), "status": int(f[8]),  # noqa: S307
                             "out": eval(f[9].replace("nan", "float('nan')")),  # noqa: S307
                             "secs": float(f[10]), "self": f[11], "file": path})
    return rows


def shape_of(d, v):
    """The largest shape, count or halved degrees of freedom of a which 1."""
    if d == "gam":
        return v[3]
    if d in ("chi", "t"):
        return v[3] / 2
    if d == "poi":
        return max(v[2] + 1, v[3])
    if d == "nbn":
        return max(v[3], v[2] + 1)
    if d == "bin":
        return max(v[2] + 1, v[3] - v[2])
    if d == "f":
        return max(v[3], v[4]) / 2
    return max(v[4], v[5])


def worst(pairs):
    return max(pairs, default=0.0)


# What counts as a wrong answer with status 0: an error a decade or more
# beyond the worst the README states for its kind.
WRONG_TAIL, WRONG_NC_TAIL, WRONG_FORMULA, WRONG_SEARCH = 1e-10, 4e-2, 1e-9, 1e-7


def wrong(r):
    """Whether a call with status 0 gave a wrong answer (NaN included)."""
    if r["status"] != 0 or r["kind"] in ("skip", "none"):
        return False
    out = r["out"]
    if any(not abs(v) <= HUGE for v in out):
        return True  # NaN or infinite
    d, w = r["d"], r["w"]
    if (d, w) == ("nor", 4) and not out[4] > 0:
        return True  # no sd is 0 or negative
    if w == 1:
        return r["err"] is not None and r["err"] > (WRONG_NC_TAIL if d in NC else WRONG_TAIL)
    k = grid.sought_index(d, w, out)
    if abs(out[k]) < TINY:
        return False  # judged by its absolute accuracy below
    if (d, w) in FORMULA:
        return r["fwd"] is not None and r["fwd"] > (WRONG_SEARCH if d == "gam" else WRONG_FORMULA)
    if d in NC:
        return r["err"] is not None and r["err"] > WRONG_NC_TAIL
    return r["fwd"] is not None and r["fwd"] > WRONG_SEARCH


def main():
    paths = [p for a in sys.argv[1:] for p in sorted(glob.glob(a))]
    rows = rows_of(paths)
    print("calls %d in %d files; slowest %.3g s" % (len(rows), len(paths),
                                                  max(r["secs"] for r in rows)))
    print("statuses", {s: sum(r["status"] == s for r in rows)
                       for s in sorted({r["status"] for r in rows})})
    bad = {}
    for r in rows:
        if wrong(r):
            key = "%s %d" % (r["d"], r["w"])
            bad[key] = bad.get(key, 0) + 1
    print("wrong answers with status 0: %d %s" % (sum(bad.values()), dict(sorted(bad.items()))))
    # which 1
    bands, zero_above, honest_below = {}, 0, 0
    for r in rows:
        if r["w"] != 1 or not r["note"].startswith("true"):
            continue
        true = [mpf(t) for t in r["note"].split()[1:3]]
        for t, got in zip(true, r["out"][:2]):
            zero_above += t >= TINY and got == 0
            honest_below += t < TINY and not got <= TINY
        if r["d"] in NC:
            key = (r["d"], "nc<=800" if r["out"][-1] <= 800 else "nc>800")
        elif r["d"] == "nor":
            key = ("normal",)
        else:
            s = shape_of(r["d"], r["out"])
            key = ("central", "<1e4" if s < 1e4 else "<1e5" if s < 1e5 else ">=1e5")
        bands.setdefault(key, []).append(r["err"])
    for key in sorted(bands):
        print("which 1 %-22s %6d calls, worst relative error %.3g" % (
            " ".join(key), len(bands[key]), worst(bands[key])))
    print("which 1 tails >= smallest normal that came back 0: %d; tails below it that came"
          " back above it: %d" % (zero_above, honest_below))
    # answers
    # The gamma quantile and rate: a formula, but a search where the inverse
    # ratio gives up (targets below 1e10 times the smallest normal double).
    formula, fallback = [], []
    for r in rows:
        if (r["d"], r["w"]) not in FORMULA or r["kind"] != "inv":
            continue
        if abs(r["out"][grid.SOUGHT[r["d"]][r["w"]]]) < TINY:
            continue
        far = r["d"] == "gam" and min(r["in"][0], r["in"][1]) <= 1e10 * TINY
        (fallback if far else formula).append(r["fwd"])
    print("formula answers that are normal doubles %d, worst relative error %.3g; gamma quantiles"
          " and rates searched for %d, worst %.3g" % (len(formula), worst(formula), len(fallback),
                                                      worst(fallback)))
    central, noncentral, below, bad_below = [], {}, 0, 0
    for r in rows:
        if r["w"] == 1 or r["kind"] != "inv":
            continue
        d, w = r["d"], r["w"]
        k = grid.sought_index(d, w, r["out"])
        a = r["out"][k]
        if abs(a) < TINY:
            below += 1
            side, target = grid.target_side(d, r["in"])
            ends = [truth.tails(d, grid.moved(d, w, r["out"], k, x))[side] - target
                    for x in (max(a - ABS, 0.0), a + ABS)]
            if not (ends[0] <= 0 <= ends[1] or ends[1] <= 0 <= ends[0]):
                bad_below += 1
                print("  NOT WITHIN 2.2e-316:", d, w, r["in"], a)
        elif (d, w) in FORMULA:
            continue
        elif d in NC:
            big = max(r["in"][3:]) > 800
            noncentral.setdefault((d, big), []).append(r["err"])
        else:
            central.append(r["fwd"])
    print("central searches, answers normal doubles: %d, worst relative error of the answer"
          " %.3g" % (len(central), worst(central)))
    for (d, big), errs in sorted(noncentral.items()):
        print("noncentral %s searches (%s), answers normal doubles: %d, worst relative error of"
              " the true tail %.3g" % (d, "a parameter > 800" if big else "all <= 800",
                                       len(errs), worst(errs)))
    print("answers below the smallest normal double: %d (%d of them 0); not within %.3g of a"
          " root: %d" % (below, sum(r["kind"] == "inv" and r["w"] != 1 and
                                    r["out"][grid.sought_index(r["d"], r["w"], r["out"])] == 0
                                    for r in rows), ABS, bad_below))
    searched = [r for r in rows if r["w"] != 1 and r["status"] == 0 and (r["d"], r["w"]) not in
                FORMULA]
    print("self-check of %d searches with status 0: %d failed" % (
        len(searched), sum(r["self"].startswith("SELF") for r in searched)))
    none = [r for r in rows if r["kind"] == "none"]
    print("status 1 or 2: %d, with a root inside the range: %d" % (
        len(none), sum("ROOT INSIDE" in r["note"] for r in none)))
    print("timeouts, errors, other statuses: %d" % sum(
        r["kind"] in ("timeout", "error") or (r["kind"] == "other" and r["status"] != 10)
        for r in rows))
    gam = [r for r in rows if r["d"] == "gam" and r["w"] in (2, 4)]
    gave_up = [r for r in gam if r["status"] == 10]
    inside = []
    for r in gave_up:
        side, target = grid.target_side("gam", r["in"])
        k = grid.SOUGHT["gam"][r["w"]]
        ends = [truth.tails("gam", grid.moved("gam", r["w"], r["in"], k, x))[side] - target
                for x in (TINY, HUGE)]
        if ends[0] <= 0 <= ends[1] or ends[1] <= 0 <= ends[0]:
            inside.append(r)
    print("gamma quantile and rate: %d calls, status 10 in %d, of which %d with an answer"
          " among the normal doubles" % (len(gam), len(gave_up), len(inside)))
    for r in inside:
        print("  status 10, answer in the doubles:", r["w"], r["in"])


if __name__ == "__main__":
    main()
