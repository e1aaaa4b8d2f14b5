// Solves with the factor -U, 1/D: full right-hand sides, and sparse ones
// along the paths of the elimination tree; determinants.
#include <cmath>

#include "zanto/sparssub.hpp"

namespace zanto {

void fullfb(word n, civec xlnz, civec nzsub, civec xnzsub, crvec lnz, crvec diag, rvec x) {
  for (word j = 1; j <= n; ++j) {
    const double xj = x(j);
    word i = xnzsub(j);
    for (word k = xlnz(j); k < xlnz(j + 1); ++k, ++i) x(nzsub(i)) += lnz(k) * xj;
  }
  for (word j = 1; j <= n; ++j) x(j) *= diag(j);
  for (word j = n; j >= 1; --j) {
    double s = 0;
    word i = xnzsub(j);
    for (word k = xlnz(j); k < xlnz(j + 1); ++k, ++i) s += lnz(k) * x(nzsub(i));
    x(j) += s;
  }
}

void makepath(word n, ivec parent, civec xlnz, civec nzsub, civec xnzsub) {
  for (word j = 1; j <= n; ++j) parent(j) = 0;
  for (word j = 1; j <= n; ++j)
    if (xlnz(j + 1) > xlnz(j)) parent(j) = nzsub(xnzsub(j));
}

void segpath(word /*n*/, civec list, word m, ivec xpath, ivec path, civec parent, ivec mark) {
  word q = 1;
  for (word i = 1; i <= m; ++i) {
    xpath(i) = q;
    for (word node = list(i); node != 0 && mark(node) == 0; node = parent(node)) {
      mark(node) = 1;
      path(q) = node;
      ++q;
    }
  }
  xpath(m + 1) = q;
  for (word k = 1; k < q; ++k) mark(path(k)) = 0;
}

void fastfb(civec fpath, civec fxpath, word mf, civec bpath, civec bxpath, word mb, civec xlnz,
            civec nzsub, civec xnzsub, crvec lnz, crvec diag, rvec x) {
  // Later segments hold the descendants' ends of the paths, so running the
  // segments last to first meets every node after its descendants.
  for (word seg = mf; seg >= 1; --seg) {
    for (word p = fxpath(seg); p < fxpath(seg + 1); ++p) {
      const word j = fpath(p);
      const double xj = x(j);
      word i = xnzsub(j);
      for (word k = xlnz(j); k < xlnz(j + 1); ++k, ++i) x(nzsub(i)) += lnz(k) * xj;
    }
    for (word p = fxpath(seg); p < fxpath(seg + 1); ++p) {
      const word j = fpath(p);
      x(j) *= diag(j);
    }
  }
  for (word seg = 1; seg <= mb; ++seg) {
    for (word p = bxpath(seg + 1) - 1; p >= bxpath(seg); --p) {
      const word j = bpath(p);
      double s = 0;
      word i = xnzsub(j);
      for (word k = xlnz(j); k < xlnz(j + 1); ++k, ++i) s += lnz(k) * x(nzsub(i));
      x(j) += s;
    }
  }
}

void expand(word m, civec list, crvec v, rvec x) {
  for (word i = 1; i <= m; ++i) x(list(i)) = v(i);
}

void compress(word m, civec list, rvec v, crvec x) {
  for (word i = 1; i <= m; ++i) v(i) = x(list(i));
}

void mkdet(word n, crvec diag, double& det) {
  det = 1;
  for (word i = 1; i <= n; ++i)
    if (diag(i) != 0) det = det / diag(i);
}

void mkldet(word n, crvec diag, double& ldet) {
  ldet = 0;
  for (word i = 1; i <= n; ++i)
    if (diag(i) != 0) ldet = ldet - std::log(diag(i));
}

}  // namespace zanto
