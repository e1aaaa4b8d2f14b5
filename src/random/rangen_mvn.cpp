// Normal and multivariate normal deviates of the generator library, with the
// single-precision Cholesky factorisation and dot product they rest on.
#include <cmath>

#include "random/rangen.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace rangen {

float gennor(float av, float sd) { return snorm() * sd + av; }

float sdot(i32 n, const float* sx, i32 incx, const float* sy, i32 incy) {
  float stemp = 0.0f;
  if (n <= 0) return stemp;
  if (incx == 1 && incy == 1) {
    // Leading n mod 5 products, then groups of five, into one sum.
    const i32 m = n % 5;
    for (i32 i = 0; i < m; ++i) stemp = stemp + sx[i] * sy[i];
    for (i32 i = m; i < n; i += 5) {
      stemp = stemp + sx[i] * sy[i] + sx[i + 1] * sy[i + 1] + sx[i + 2] * sy[i + 2] +
              sx[i + 3] * sy[i + 3] + sx[i + 4] * sy[i + 4];
    }
    return stemp;
  }
  i32 ix = incx < 0 ? (1 - n) * incx : 0;
  i32 iy = incy < 0 ? (1 - n) * incy : 0;
  for (i32 i = 0; i < n; ++i) {
    stemp = stemp + sx[ix] * sy[iy];
    ix += incx;
    iy += incy;
  }
  return stemp;
}

void spofa(float* a, i32 lda, i32 n, i32& info) {
  auto at = [&](i32 i, i32 j) -> float& { return a[(j - 1) * lda + (i - 1)]; };
  for (i32 j = 1; j <= n; ++j) {
    info = j;
    float s = 0.0f;
    for (i32 k = 1; k <= j - 1; ++k) {
      float t = at(k, j) - sdot(k - 1, &at(1, k), 1, &at(1, j), 1);
      t = t / at(k, k);
      at(k, j) = t;
      s = s + t * t;
    }
    s = at(j, j) - s;
    if (s <= 0.0f) return;
    at(j, j) = std::sqrt(s);
  }
  info = 0;
}

void setgmn(const util::vec1<float>& meanv, util::mat1<float>& covm, i32 p,
            util::vec1<float>& parm) {
  if (p <= 0) {
    util::say("P nonpositive in SETGMN");
    util::say("Value of P: ", p);
    util::fatal_stderr("P nonpositive in SETGMN");
  }
  parm(1) = static_cast<float>(p);
  for (i32 i = 2; i <= p + 1; ++i) parm(i) = meanv(i - 1);
  i32 info;
  spofa(covm.data(), static_cast<i32>(covm.rows()), p, info);
  if (info != 0) {
    util::say(" COVM not positive definite in SETGMN");
    util::fatal_stderr(" COVM not positive definite in SETGMN");
  }
  i32 icount = p + 1;
  for (i32 i = 1; i <= p; ++i) {
    for (i32 j = i; j <= p; ++j) {
      icount = icount + 1;
      parm(icount) = covm(i, j);
    }
  }
}

namespace {

void genmn_from(const util::vec1<float>& parm, util::vec1<float>& x, util::vec1<float>& work) {
  const i32 p = static_cast<i32>(parm(1));
  if (p <= 0) return;
  for (i32 i = 1; i <= p; ++i) work(i) = snorm();
  for (i32 i = 1; i <= p; ++i) {
    i32 icount = 0;
    float ae = 0.0f;
    for (i32 j = 1; j <= i; ++j) {
      icount = icount + j - 1;
      ae = ae + parm(i + (j - 1) * p - icount + p + 1) * work(j);
    }
    x(i) = ae + parm(i + 1);
  }
}

}  // namespace

void genmn(const util::vec1<float>& parm, util::vec1<float>& x, util::vec1<float>& work) {
  genmn_from(parm, x, work);
}

void genmtn(const util::vec1<float>& meanv, util::mat1<float>& covm, i32 p,
            util::vec1<float>& x) {
  util::vec1<float> parm(p > 0 ? p * (p + 3) / 2 + 1 : 1);
  setgmn(meanv, covm, p, parm);
  util::vec1<float> work(p);
  genmn_from(parm, x, work);
}

}  // namespace rangen
