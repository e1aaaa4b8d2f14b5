// Symbolic and numeric factorisation, and the small vector routines around
// the solves.
#include <cmath>
#include <cstdint>
#include <limits>

#include "zanto/sparssub.hpp"

namespace zanto {

void smbfct(word n, civec xadj, civec adjncy, civec perm, civec invp, ivec xlnz, word& maxlnz,
            ivec xnzsub, ivec nzsub, word& maxsub, ivec rchlnk, ivec mrglnk, ivec marker,
            word& flag) {
  constexpr std::int64_t word_max = std::numeric_limits<word>::max();
  xlnz(1) = 1;
  if (n < 1) {
    maxlnz = 0;
    maxsub = 0;
    flag = 0;
    return;
  }
  word nzbeg = 1;
  word nzend = 0;
  for (word k = 1; k <= n; ++k) {
    mrglnk(k) = 0;
    marker(k) = 0;
  }

  // Column k's structure is built as a sorted list in rchlnk (ending at
  // n + 1) from the permuted adjacency of perm(k) and the structures of the
  // columns whose first subscript is k, linked through mrglnk.  marker(i)
  // names the column whose subscript list holds row i.
  for (word k = 1; k <= n; ++k) {
    word knz = 0;
    const word mrgk = mrglnk(k);
    bool mrkflg = false;
    marker(k) = k;
    if (mrgk != 0) marker(k) = marker(mrgk);
    xnzsub(k) = nzend;
    const word node = perm(k);
    const word astrt = xadj(node);
    const word astop = xadj(node + 1) - 1;
    if (astrt <= astop) {
      rchlnk(k) = n + 1;
      for (word j = astrt; j <= astop; ++j) {
        const word nabor = invp(adjncy(j));
        if (nabor <= k) continue;
        word m;
        word rchm = k;
        do {
          m = rchm;
          rchm = rchlnk(m);
        } while (rchm <= nabor);
        ++knz;
        rchlnk(m) = nabor;
        rchlnk(nabor) = rchm;
        if (marker(nabor) != marker(k)) mrkflg = true;
      }

      bool stored = false;
      if (!mrkflg && mrgk != 0 && mrglnk(mrgk) == 0) {
        // Mass elimination: the structure is the single merged column's
        // without its first subscript, which shares that column's list.
        xnzsub(k) = xnzsub(mrgk) + 1;
        knz = xlnz(mrgk + 1) - (xlnz(mrgk) + 1);
        stored = true;
      } else {
        word lmax = 0;
        for (word i = mrglnk(k); i != 0; i = mrglnk(i)) {
          const word inz = xlnz(i + 1) - (xlnz(i) + 1);
          const word jstrt = xnzsub(i) + 1;
          const word jstop = xnzsub(i) + inz;
          if (inz > lmax) {
            lmax = inz;
            xnzsub(k) = jstrt;
          }
          word rchm = k;
          for (word j = jstrt; j <= jstop; ++j) {
            const word nabor = nzsub(j);
            word m;
            do {
              m = rchm;
              rchm = rchlnk(m);
            } while (rchm < nabor);
            if (rchm == nabor) continue;
            ++knz;
            rchlnk(m) = nabor;
            rchlnk(nabor) = rchm;
            rchm = nabor;
          }
        }
        // The longest merged column already lists exactly this structure.
        if (knz == lmax) stored = true;
        // Or the tail of the previous list is its head: reuse and extend it.
        if (!stored && nzbeg <= nzend) {
          word i = rchlnk(k);
          for (word jstrt = nzbeg; jstrt <= nzend; ++jstrt) {
            if (nzsub(jstrt) < i) continue;
            if (nzsub(jstrt) > i) break;
            xnzsub(k) = jstrt;
            bool mismatch = false;
            for (word j = jstrt; j <= nzend; ++j) {
              if (nzsub(j) != i) {
                mismatch = true;
                break;
              }
              i = rchlnk(i);
              if (i > n) {
                stored = true;
                break;
              }
            }
            // A match running to the end of the list is continued in place.
            if (!stored && !mismatch) nzend = jstrt - 1;
            break;
          }
        }
        if (!stored) {
          const std::int64_t end = static_cast<std::int64_t>(nzend) + knz;
          if (end > maxsub || end > word_max) {
            flag = 1;
            return;
          }
          nzbeg = nzend + 1;
          nzend = static_cast<word>(end);
          word i = k;
          for (word j = nzbeg; j <= nzend; ++j) {
            i = rchlnk(i);
            nzsub(j) = i;
            marker(i) = k;
          }
          xnzsub(k) = nzbeg;
          marker(k) = k;
        }
      }
      if (knz > 1) {
        const word i = nzsub(xnzsub(k));
        mrglnk(k) = mrglnk(i);
        mrglnk(i) = k;
      }
    }
    const std::int64_t next = static_cast<std::int64_t>(xlnz(k)) + knz;
    if (next > word_max) {
      flag = 1;
      return;
    }
    xlnz(k + 1) = static_cast<word>(next);
  }
  maxlnz = xlnz(n) - 1;
  maxsub = xnzsub(n);
  xnzsub(n + 1) = xnzsub(n);
  flag = 0;
}

void loadap(word n, civec ia, civec ja, crvec a, ivec ian, ivec jan, rvec an, rvec diag,
            civec invp, ivec count) {
  for (word r = 1; r <= n; ++r) count(r) = 0;
  for (word i = 1; i <= n; ++i) {
    const word p = invp(i);
    for (word k = ia(i); k < ia(i + 1); ++k) {
      const word q = invp(ja(k));
      if (p == q)
        diag(p) = a(k);
      else
        ++count(p < q ? p : q);
    }
  }
  counts_to_starts(n, count, ian);
  for (word i = 1; i <= n; ++i) {
    const word p = invp(i);
    for (word k = ia(i); k < ia(i + 1); ++k) {
      const word q = invp(ja(k));
      if (p == q) continue;
      const word r = p < q ? p : q;
      const word at = ian(r) + count(r);
      jan(at) = p < q ? q : p;
      an(at) = a(k);
      ++count(r);
    }
  }
}

void loadu(word n, civec ian, civec jan, crvec an, civec xlnz, civec nzsub, civec xnzsub,
           rvec lnz, rvec temp) {
  for (word i = 1; i <= n; ++i) temp(i) = 0.0;
  for (word r = 1; r <= n; ++r) {
    for (word k = ian(r); k < ian(r + 1); ++k) temp(jan(k)) = an(k);
    const word len = xlnz(r + 1) - xlnz(r);
    for (word m = 0; m < len; ++m) {
      const word s = nzsub(xnzsub(r) + m);
      lnz(xlnz(r) + m) = temp(s);
      temp(s) = 0.0;
    }
  }
}

namespace {

// Left-looking step of column j: every earlier column listed in link(j)
// adds its contribution into temp and moves on to the list of its next row.
// Returns the sum of squares of row j of the factor.
template <class Real, class Vec>
Real gather_updates(word j, civec xlnz, Vec lnz, civec xnzsub, civec nzsub, ivec link,
                    ivec first, Vec temp) {
  Real s = 0;
  for (word newk = link(j); newk != 0;) {
    const word k = newk;
    newk = link(k);
    const word kfirst = first(k);
    const Real ljk = lnz(kfirst);
    s += ljk * ljk;
    const word istrt = kfirst + 1;
    const word istop = xlnz(k + 1) - 1;
    if (istop < istrt) continue;
    first(k) = istrt;
    word i = xnzsub(k) + (kfirst - xlnz(k)) + 1;
    const word next = nzsub(i);
    link(k) = link(next);
    link(next) = k;
    for (word ii = istrt; ii <= istop; ++ii, ++i) temp(nzsub(i)) += lnz(ii) * ljk;
  }
  return s;
}

// Column j's values, less the gathered updates and scaled, are final; temp
// is cleared behind them and j joins the list of its first row.
template <class Real, class Vec, class Scale>
void finish_column(word j, civec xlnz, Vec lnz, civec xnzsub, civec nzsub, ivec link,
                   ivec first, Vec temp, Scale scale) {
  const word istrt = xlnz(j);
  const word istop = xlnz(j + 1) - 1;
  if (istop < istrt) return;
  first(j) = istrt;
  word i = xnzsub(j);
  const word row = nzsub(i);
  link(j) = link(row);
  link(row) = j;
  for (word ii = istrt; ii <= istop; ++ii, ++i) {
    const word isub = nzsub(i);
    lnz(ii) = scale(static_cast<Real>(lnz(ii) - temp(isub)));
    temp(isub) = Real(0);
  }
}

}  // namespace

void fgsfct(word n, civec xlnz, rvec lnz, civec xnzsub, civec nzsub, rvec diag, ivec link,
            ivec first, rvec temp, word& /*iflag*/, double tol, word& rank) {
  rank = 0;
  if (n < 1) return;
  // The package's floor on a diagonal is the single-precision 1e-8.
  const double floor = static_cast<double>(1e-8f);
  for (word i = 1; i <= n; ++i) {
    link(i) = 0;
    temp(i) = 0.0;
  }
  // link(j) lists the columns that still have to update column j; first(k)
  // is the position of column k's next value to use.
  for (word j = 1; j <= n; ++j) {
    const double s = gather_updates<double>(j, xlnz, lnz, xnzsub, nzsub, link, first, temp);

    // A pivot that has lost all but a fraction tol of its diagonal, or
    // whose diagonal is tiny (or not a number), is dropped: its column
    // becomes zeros instead of the factorisation failing.
    const double d = diag(j);
    double f = 0;
    if (d >= floor && d - s >= d * tol) {
      const double r = std::sqrt(d - s);
      diag(j) = r;
      ++rank;
      f = 1.0 / r;
    } else {
      diag(j) = 0.0;
    }

    finish_column<double>(j, xlnz, lnz, xnzsub, nzsub, link, first, temp,
                          [f](double v) { return v * f; });
  }
}

void merlin(word n, civec xlnz, rvec lnz, rvec diag, double /*tol*/) {
  // Every accepted pivot is converted, however small: testing the square
  // root against the tolerance would leave a tiny accepted pivot in
  // Cholesky form inside a factor read as -U, 1/D.
  for (word j = 1; j <= n; ++j) {
    const double dj = diag(j);
    if (!(dj > 0)) continue;
    for (word ii = xlnz(j); ii < xlnz(j + 1); ++ii) lnz(ii) = lnz(ii) / -dj;
    diag(j) = 1.0 / (dj * dj);
  }
}

void gsfct(word n, civec xlnz, fvec lnz, civec xnzsub, civec nzsub, fvec diag, ivec link,
           ivec first, fvec temp, word& iflag) {
  for (word i = 1; i <= n; ++i) {
    link(i) = 0;
    temp(i) = 0.0f;
  }
  for (word j = 1; j <= n; ++j) {
    const float s = gather_updates<float>(j, xlnz, lnz, xnzsub, nzsub, link, first, temp);
    float dj = diag(j) - s;
    if (dj <= 0.0f) {
      iflag = 1;
      return;
    }
    dj = std::sqrt(dj);
    diag(j) = dj;
    finish_column<float>(j, xlnz, lnz, xnzsub, nzsub, link, first, temp,
                         [dj](float v) { return v / dj; });
  }
}

void permute(word n, crvec x, rvec y, civec p) {
  for (word i = 1; i <= n; ++i) y(p(i)) = x(i);
}

void spermute(word m, civec list, ivec out, civec p) {
  for (word i = 1; i <= m; ++i) out(i) = p(list(i));
}

void zerout(rvec x, civec list, civec starts, word m) {
  const word len = starts(m + 1) - 1;
  for (word k = 1; k <= len; ++k) x(list(k)) = 0.0;
}

void rzero(word n, rvec x) {
  for (word i = 1; i <= n; ++i) x(i) = 0.0;
}

void lzero(word n, ivec flags) {
  for (word i = 1; i <= n; ++i) flags(i) = 0;
}

word fratio() { return static_cast<word>(sizeof(double) / sizeof(word)); }

word ival(word i) { return i; }

}  // namespace zanto
