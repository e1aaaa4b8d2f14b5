// Sparse inverse on the pattern of the factor (Takahashi recurrences), and
// the small storage utilities of the package.
#include "zanto/sparssub.hpp"

namespace zanto {

void fsinverse1(word n, civec perm, civec invp, rvec diag, civec xnzsub, civec nzsub,
                civec xlnz, rvec lnz, rvec w1, rvec w2, ivec count, ivec ident, ivec dest,
                ivec ia, ivec ja, rvec a) {
  for (word i = 1; i <= n; ++i) {
    w1(i) = 0.0;
    w2(i) = 0.0;
  }
  // Columns last to first: when column j is reached, lnz of every later
  // column already holds the inverse's elements and diag its diagonal.
  for (word j = n; j >= 1; --j) {
    const word kb = xlnz(j), ke = xlnz(j + 1);
    const word sj = xnzsub(j) - kb;
    for (word k = kb; k < ke; ++k) {
      const word r = nzsub(sj + k);
      const double l = lnz(k);
      w2(r) = l * diag(r);
      w1(r) = l;
    }
    for (word k = kb; k < ke; ++k) {
      const word r = nzsub(sj + k);
      const double w1r = w1(r);
      const word sr = xnzsub(r) - xlnz(r);
      for (word m = xlnz(r); m < xlnz(r + 1); ++m) {
        const word s = nzsub(sr + m);
        const double z = lnz(m);
        w2(r) += w1(s) * z;
        w2(s) += z * w1r;
      }
    }
    double dj = diag(j);
    for (word k = kb; k < ke; ++k) dj += lnz(k) * w2(nzsub(sj + k));
    diag(j) = dj;
    for (word k = kb; k < ke; ++k) {
      const word r = nzsub(sj + k);
      lnz(k) = w2(r);
      w1(r) = 0.0;
      w2(r) = 0.0;
    }
  }

  // Each stored element to the row that comes first in the new numbering,
  // so that row i lists the elements of column invp(i) of the inverse.
  pperm(n, invp, ia, ja, a, count, dest);
  for (word i = 1; i <= n; ++i) {
    const word kc = invp(i);
    const word sc = xnzsub(kc) - xlnz(kc);
    for (word k = xlnz(kc); k < xlnz(kc + 1); ++k) w1(perm(nzsub(sc + k))) = lnz(k);
    w1(i) = diag(kc);
    for (word p = ia(i); p < ia(i + 1); ++p) a(p) = w1(ja(p));
  }
  for (word i = 1; i <= n; ++i) ident(i) = i;
  pperm(n, ident, ia, ja, a, count, dest);
}

void fsinverse(word n, civec perm, civec invp, crvec diag, civec xnzsub, civec nzsub, civec xlnz,
               crvec lnz, rvec w, rvec lval, rvec zdiag, ivec lrow, ivec xrow, ivec rowcol,
               ivec cnt, ivec cnt2, ivec ia, ivec ja, rvec a) {
  // Row structure of the factor, each row's columns increasing.
  factor_row_starts(n, xlnz, nzsub, xnzsub, cnt2, xrow);
  for (word j = 1; j <= n; ++j) {
    const word sj = xnzsub(j) - xlnz(j);
    for (word k = xlnz(j); k < xlnz(j + 1); ++k) {
      const word r = nzsub(sj + k);
      rowcol(xrow(r) + cnt2(r)) = j;
      ++cnt2(r);
    }
  }
  for (word i = 1; i <= n; ++i) {
    cnt(i) = 0;
    w(i) = 0.0;
  }

  // The lists: column k collects (j, Z(j, k)) for j in its structure, in
  // decreasing j, at its own xlnz positions.
  for (word j = n; j >= 1; --j) {
    for (word t = 0; t < cnt(j); ++t) w(lrow(xlnz(j) + t)) = lval(xlnz(j) + t);
    const word sj = xnzsub(j) - xlnz(j);
    double z = diag(j);
    for (word k = xlnz(j); k < xlnz(j + 1); ++k) z += lnz(k) * w(nzsub(sj + k));
    zdiag(j) = z;
    w(j) = z;
    for (word q = xrow(j + 1) - 1; q >= xrow(j); --q) {
      const word k = rowcol(q);
      const word sk = xnzsub(k) - xlnz(k);
      double s = w(k);
      for (word m = xlnz(k); m < xlnz(k + 1); ++m) s += lnz(m) * w(nzsub(sk + m));
      w(k) = s;
      const word at = xlnz(k) + cnt(k);
      lrow(at) = j;
      lval(at) = s;
      ++cnt(k);
    }
    w(j) = 0.0;
    for (word q = xrow(j); q < xrow(j + 1); ++q) w(rowcol(q)) = 0.0;
  }

  // Keep the pairs that the matrix stores (marked by a negative row while
  // the matrix is walked); the others are dropped as row 0.
  for (word i = 1; i <= n; ++i) {
    for (word p = ia(i); p < ia(i + 1); ++p) {
      const word c = ja(p);
      if (c == i) continue;
      const word pi = invp(i), pc = invp(c);
      const word col = pi < pc ? pi : pc, row = pi < pc ? pc : pi;
      // The rows of a list decrease.
      word lo = xlnz(col), hi = xlnz(col) + cnt(col) - 1;
      while (lo <= hi) {
        const word mid = lo + (hi - lo) / 2;
        const word r = lrow(mid) < 0 ? -lrow(mid) : lrow(mid);
        if (r == row) {
          lrow(mid) = -r;
          break;
        }
        if (r > row)
          lo = mid + 1;
        else
          hi = mid - 1;
      }
    }
  }
  for (word i = 1; i <= n; ++i) cnt2(i) = 1;
  for (word k = 1; k <= n; ++k) {
    for (word t = xlnz(k); t < xlnz(k) + cnt(k); ++t) {
      if (lrow(t) > 0) {
        lrow(t) = 0;
      } else {
        lrow(t) = -lrow(t);
        ++cnt2(perm(k));
        ++cnt2(perm(lrow(t)));
      }
    }
  }
  ia(1) = 1;
  for (word i = 1; i <= n; ++i) {
    ia(i + 1) = ia(i) + cnt2(i);
    cnt2(i) = ia(i);
  }
  for (word k = 1; k <= n; ++k) {
    const word i = perm(k);
    ja(cnt2(i)) = i;
    a(cnt2(i)) = zdiag(k);
    ++cnt2(i);
    for (word t = xlnz(k); t < xlnz(k) + cnt(k); ++t) {
      const word r = lrow(t);
      if (r == 0) continue;
      const word c = perm(r);
      const double v = lval(t);
      ja(cnt2(i)) = c;
      a(cnt2(i)) = v;
      ++cnt2(i);
      ja(cnt2(c)) = i;
      a(cnt2(c)) = v;
      ++cnt2(c);
    }
  }
}

void zero(word n, ivec x) {
  for (word i = 1; i <= n; ++i) x(i) = 0;
}

void counts_to_starts(word n, ivec count, ivec starts) {
  starts(1) = 1;
  for (word r = 1; r <= n; ++r) {
    starts(r + 1) = starts(r) + count(r);
    count(r) = 0;
  }
}

void factor_row_starts(word n, civec xlnz, civec nzsub, civec xnzsub, ivec count, ivec starts) {
  for (word r = 1; r <= n; ++r) count(r) = 0;
  for (word j = 1; j <= n; ++j) {
    const word sj = xnzsub(j) - xlnz(j);
    for (word k = xlnz(j); k < xlnz(j + 1); ++k) ++count(nzsub(sj + k));
  }
  counts_to_starts(n, count, starts);
}

void rowtocol(civec ia, civec ja, crvec a, ivec ib, ivec jb, rvec b, ivec count, word n) {
  for (word c = 1; c <= n; ++c) count(c) = 0;
  for (word k = ia(1); k < ia(n + 1); ++k) ++count(ja(k));
  counts_to_starts(n, count, ib);
  for (word i = 1; i <= n; ++i) {
    for (word k = ia(i); k < ia(i + 1); ++k) {
      const word c = ja(k);
      const word at = ib(c) + count(c);
      jb(at) = i;
      b(at) = a(k);
      ++count(c);
    }
  }
}

void rowtocolu(civec xlnz, civec nzsub, civec xnzsub, crvec lnz, ivec ib, ivec jb, rvec b,
               ivec count, word n) {
  factor_row_starts(n, xlnz, nzsub, xnzsub, count, ib);
  for (word j = 1; j <= n; ++j) {
    const word sj = xnzsub(j) - xlnz(j);
    for (word k = xlnz(j); k < xlnz(j + 1); ++k) {
      const word r = nzsub(sj + k);
      const word at = ib(r) + count(r);
      jb(at) = j;
      b(at) = lnz(k);
      ++count(r);
    }
  }
}

void pperm(word n, civec key, ivec ia, ivec ja, rvec a, ivec count, ivec dest) {
  const word base = ia(1);
  for (word r = 1; r <= n; ++r) count(r) = 0;
  // The target row of each element, kept in dest until the rows are known.
  for (word i = 1; i <= n; ++i) {
    for (word p = ia(i); p < ia(i + 1); ++p) {
      const word c = ja(p);
      word t = i;
      if (key(c) < key(i)) {
        t = c;
        ja(p) = i;
      }
      dest(p - base + 1) = t;
      ++count(t);
    }
  }
  for (word r = 1; r <= n; ++r) ia(r + 1) = ia(r) + count(r);
  const word nze = ia(n + 1) - base;
  // Filled from the back of each row, taken from the last element: the
  // elements of a row keep their earlier order.
  for (word p = nze; p >= 1; --p) {
    const word t = dest(p);
    --count(t);
    dest(p) = ia(t) + count(t) - base + 1;
  }
  for (word p = 1; p <= nze; ++p) {
    while (dest(p) != p) {
      const word q = dest(p);
      const word jp = ja(p + base - 1);
      ja(p + base - 1) = ja(q + base - 1);
      ja(q + base - 1) = jp;
      const double ap = a(p + base - 1);
      a(p + base - 1) = a(q + base - 1);
      a(q + base - 1) = ap;
      dest(p) = dest(q);
      dest(q) = q;
    }
  }
}

}  // namespace zanto
