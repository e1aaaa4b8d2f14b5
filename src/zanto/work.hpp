// Views over the factorisation package's storage.
//
// The package works on one caller-owned array of 4-byte words.  Integer
// regions are words; a region of 64-bit reals takes two words per value and
// is read and written through memcpy, so the same routines run on a region of
// the work array and on a plain array of doubles.  Every view is indexed from
// 1 and bounds-checked in test builds.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "util/array.hpp"

namespace zanto {

using word = std::int32_t;

// 1-based view of n elements of T (words, 32-bit reals).
template <class T>
struct view1 {
  T* p = nullptr;
  long n = 0;

  view1() = default;
  view1(T* first, long len) : p(first), n(len) {}
  template <class U>
  view1(const view1<U>& o) : p(o.p), n(o.n) {}  // to a view of const

  T& operator()(long i) const {
    VELMORAN_CHECK("zanto view", i, 1L, n);
    return p[i - 1];
  }
  // The len elements from position first on.
  view1 sub(long first, long len) const {
    VELMORAN_CHECK("zanto subview", first, 1L, n + 1);
    VELMORAN_CHECK("zanto subview end", first - 1 + len, 0L, n);
    return view1(p + (first - 1), len);
  }
};

using ivec = view1<word>;
using civec = view1<const word>;
using fvec = view1<float>;

// One 64-bit real at a byte address.
class rref {
 public:
  explicit rref(unsigned char* at) : p_(at) {}
  rref(const rref&) = default;
  operator double() const {
    double v;
    std::memcpy(&v, p_, sizeof v);
    return v;
  }
  rref& operator=(double v) {
    std::memcpy(p_, &v, sizeof v);
    return *this;
  }
  rref& operator=(const rref& o) { return *this = static_cast<double>(o); }
  rref& operator+=(double v) { return *this = static_cast<double>(*this) + v; }
  rref& operator-=(double v) { return *this = static_cast<double>(*this) - v; }
  rref& operator*=(double v) { return *this = static_cast<double>(*this) * v; }
  rref& operator/=(double v) { return *this = static_cast<double>(*this) / v; }

 private:
  unsigned char* p_;
};

// 1-based view of n 64-bit reals.
struct rvec {
  unsigned char* p = nullptr;
  long n = 0;

  rvec() = default;
  rvec(double* first, long len) : p(reinterpret_cast<unsigned char*>(first)), n(len) {}
  // nreals reals stored from word position `at` of the word view w.
  static rvec in(ivec w, long at, long nreals) {
    VELMORAN_CHECK("zanto real region", at, 1L, w.n + 1);
    VELMORAN_CHECK("zanto real region end", at - 1 + 2 * nreals, 0L, w.n);
    rvec r;
    r.p = reinterpret_cast<unsigned char*>(w.p + (at - 1));
    r.n = nreals;
    return r;
  }

  rref operator()(long i) const {
    VELMORAN_CHECK("zanto reals", i, 1L, n);
    return rref(p + 8 * (i - 1));
  }
  rvec sub(long first, long len) const {
    VELMORAN_CHECK("zanto real subview", first, 1L, n + 1);
    VELMORAN_CHECK("zanto real subview end", first - 1 + len, 0L, n);
    rvec r;
    r.p = p + 8 * (first - 1);
    r.n = len;
    return r;
  }
};

// Read-only view of n 64-bit reals.
struct crvec {
  const unsigned char* p = nullptr;
  long n = 0;

  crvec() = default;
  crvec(const double* first, long len) : p(reinterpret_cast<const unsigned char*>(first)), n(len) {}
  crvec(const rvec& r) : p(r.p), n(r.n) {}

  double operator()(long i) const {
    VELMORAN_CHECK("zanto reals", i, 1L, n);
    double v;
    std::memcpy(&v, p + 8 * (i - 1), sizeof v);
    return v;
  }
};

// Views over whole containers.
inline ivec view(std::vector<word>& v) { return ivec(v.data(), static_cast<long>(v.size())); }
inline civec cview(const std::vector<word>& v) { return civec(v.data(), static_cast<long>(v.size())); }
inline rvec view(std::vector<double>& v) { return rvec(v.data(), static_cast<long>(v.size())); }
inline crvec cview(const std::vector<double>& v) { return crvec(v.data(), static_cast<long>(v.size())); }
inline ivec view(util::vec1<word>& v) { return ivec(v.data(), v.size()); }
inline civec cview(const util::vec1<word>& v) { return civec(v.data(), v.size()); }
inline rvec view(util::vec1<double>& v) { return rvec(v.data(), v.size()); }
inline crvec cview(const util::vec1<double>& v) { return crvec(v.data(), v.size()); }

// x when x is odd, else x + 1: regions of reals start on odd word positions,
// which are 8-byte aligned when the work array is.
inline std::int64_t odd(std::int64_t x) { return x % 2 != 0 ? x : x + 1; }

// Word positions of the regions that persist in the work array between
// steps, from the order n, the bound on compressed subscripts and the number
// of off-diagonal values of the factor.  Computed in 64 bits: a size beyond
// the range of a word is a shortage of space, never a wrapped position.
struct Layout {
  std::int64_t perm, invp, xlnz, xnzsub, nzsub;  // integer regions
  std::int64_t d, e, f;  // diag (n reals), lnz (maxlnz reals), first scratch word
};
inline Layout layout(std::int64_t n, std::int64_t nofsub, std::int64_t maxlnz) {
  Layout l{};
  l.perm = 1;
  l.invp = n + 1;
  l.xlnz = 2 * n + 1;
  l.xnzsub = 3 * n + 2;
  l.nzsub = 4 * n + 3;
  l.d = odd(4 * n + 3 + nofsub);
  l.e = l.d + 2 * n;
  l.f = l.e + 2 * maxlnz;
  return l;
}

// The persistent regions of a work array as views.
struct Regions {
  ivec perm, invp, xlnz, xnzsub, nzsub;
  rvec diag, lnz;
};
inline Regions regions(ivec work, word n, word nofsub, word maxlnz) {
  const Layout l = layout(n, nofsub, maxlnz);
  Regions r;
  r.perm = work.sub(l.perm, n);
  r.invp = work.sub(l.invp, n);
  r.xlnz = work.sub(l.xlnz, n + 1);
  r.xnzsub = work.sub(l.xnzsub, n + 1);
  r.nzsub = work.sub(l.nzsub, nofsub);
  r.diag = rvec::in(work, l.d, n);
  r.lnz = rvec::in(work, l.e, maxlnz);
  return r;
}

}  // namespace zanto
