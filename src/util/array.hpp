// Arrays with Fortran-style index ranges (1-based by default), zero-initialised,
// column-major.  Bounds are checked when VELMORAN_BOUNDS is defined (test and
// sanitizer builds); release builds index directly.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "util/team.hpp"
#ifdef __linux__
#include <sys/mman.h>
#endif

namespace util {

// Allocator of the arrays: a large array (the equations, the data, the hash
// tables) is aligned to 2 MB and, on Linux, marked for transparent huge pages
// before it is first touched, so that walks over it at random cost fewer
// address-translation misses.
template <class T>
struct ArrayAlloc {
  using value_type = T;
  static constexpr std::size_t huge_page = std::size_t(2) << 20;
  static constexpr std::size_t huge_from = std::size_t(4) << 20;

  ArrayAlloc() = default;
  template <class U>
  ArrayAlloc(const ArrayAlloc<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < huge_from) return std::allocator<T>().allocate(n);
    void* p = ::operator new(bytes, std::align_val_t(huge_page));
#ifdef __linux__
    madvise(p, bytes / huge_page * huge_page, MADV_HUGEPAGE);
#endif
    prefault(static_cast<char*>(p), bytes);
    return static_cast<T*>(p);
  }
  void deallocate(T* p, std::size_t n) {
    if (n * sizeof(T) < huge_from)
      std::allocator<T>().deallocate(p, n);
    else
      ::operator delete(p, std::align_val_t(huge_page));
  }
  template <class U>
  bool operator==(const ArrayAlloc<U>&) const { return true; }

 private:
  static constexpr std::size_t prefault_per_part = std::size_t(64) << 20;
  // The system clears each new page at its first touch, on the thread that
  // touches it: the pages of a very large array are touched by a few threads
  // at once before the array's own (single-threaded) initialisation.
  static void prefault(char* p, std::size_t bytes) {
    if (bytes < 2 * prefault_per_part) return;
    const int parts = team_parts(bytes, prefault_per_part);
    run_parts(parts, [=](int q) {
      const std::size_t pages = (bytes + page - 1) / page;
      const std::size_t from = pages * static_cast<std::size_t>(q) / static_cast<std::size_t>(parts);
      const std::size_t to = pages * static_cast<std::size_t>(q + 1) / static_cast<std::size_t>(parts);
      for (std::size_t k = from; k < to; ++k) static_cast<volatile char*>(p)[k * page] = 0;
    });
  }
  static constexpr std::size_t page = 4096;
};

template <class T>
using array_vector = std::vector<T, ArrayAlloc<T>>;

[[noreturn]] inline void bounds_fail(const char* what, long i, long lo, long hi) {
  std::fprintf(stderr, "index %ld out of range %ld:%ld in %s\n", i, lo, hi, what);
  std::abort();
}

#ifdef VELMORAN_BOUNDS
#define VELMORAN_CHECK(what, i, lo, hi) \
  do {                                  \
    if ((i) < (lo) || (i) > (hi)) ::util::bounds_fail(what, (i), (lo), (hi)); \
  } while (0)
#else
#define VELMORAN_CHECK(what, i, lo, hi) ((void)0)
#endif

// vec1<T>(n): indices 1..n;  vec1<T>(lo, hi): indices lo..hi.
template <class T>
class vec1 {
 public:
  vec1() = default;
  explicit vec1(long n) { resize(n); }
  vec1(long lo, long hi) { resize(lo, hi); }

  void resize(long n) { resize(1, n); }
  void resize(long lo, long hi) {
    lo_ = lo;
    hi_ = hi < lo - 1 ? lo - 1 : hi;
    d_.assign(static_cast<std::size_t>(hi_ - lo_ + 1), T{});
  }
  void fill(const T& v) { d_.assign(d_.size(), v); }
  void clear() { d_.clear(); d_.shrink_to_fit(); lo_ = 1; hi_ = 0; }

  T& operator()(long i) {
    VELMORAN_CHECK("vec1", i, lo_, hi_);
    return d_[static_cast<std::size_t>(i - lo_)];
  }
  const T& operator()(long i) const {
    VELMORAN_CHECK("vec1", i, lo_, hi_);
    return d_[static_cast<std::size_t>(i - lo_)];
  }

  long lo() const { return lo_; }
  long hi() const { return hi_; }
  long size() const { return hi_ - lo_ + 1; }
  bool empty() const { return d_.empty(); }
  T* data() { return d_.data(); }
  const T* data() const { return d_.data(); }
  array_vector<T>& raw() { return d_; }
  const array_vector<T>& raw() const { return d_; }

 private:
  array_vector<T> d_;
  long lo_ = 1, hi_ = 0;
};

// mat1<T>(m, n): rows 1..m, columns 1..n, column-major (a column is contiguous).
template <class T>
class mat1 {
 public:
  mat1() = default;
  mat1(long m, long n) { resize(m, n); }

  void resize(long m, long n) {
    m_ = m < 0 ? 0 : m;
    n_ = n < 0 ? 0 : n;
    d_.assign(static_cast<std::size_t>(m_ * n_), T{});
  }
  void fill(const T& v) { d_.assign(d_.size(), v); }

  T& operator()(long i, long j) {
    VELMORAN_CHECK("mat1 row", i, 1L, m_);
    VELMORAN_CHECK("mat1 column", j, 1L, n_);
    return d_[static_cast<std::size_t>((j - 1) * m_ + (i - 1))];
  }
  const T& operator()(long i, long j) const {
    VELMORAN_CHECK("mat1 row", i, 1L, m_);
    VELMORAN_CHECK("mat1 column", j, 1L, n_);
    return d_[static_cast<std::size_t>((j - 1) * m_ + (i - 1))];
  }
  // Start of column j, for kernels that walk a column.
  T* col(long j) {
    VELMORAN_CHECK("mat1 column", j, 1L, n_);
    return d_.data() + (j - 1) * m_;
  }
  const T* col(long j) const {
    VELMORAN_CHECK("mat1 column", j, 1L, n_);
    return d_.data() + (j - 1) * m_;
  }

  long rows() const { return m_; }
  long cols() const { return n_; }
  T* data() { return d_.data(); }
  const T* data() const { return d_.data(); }

 private:
  array_vector<T> d_;
  long m_ = 0, n_ = 0;
};

// arr3<T>(a, b, c): indices 1..a, 1..b, 1..c, first index fastest.
template <class T>
class arr3 {
 public:
  arr3() = default;
  arr3(long a, long b, long c) { resize(a, b, c); }

  void resize(long a, long b, long c) {
    a_ = a < 0 ? 0 : a;
    b_ = b < 0 ? 0 : b;
    c_ = c < 0 ? 0 : c;
    d_.assign(static_cast<std::size_t>(a_ * b_ * c_), T{});
  }
  void fill(const T& v) { d_.assign(d_.size(), v); }

  T& operator()(long i, long j, long k) {
    VELMORAN_CHECK("arr3 index 1", i, 1L, a_);
    VELMORAN_CHECK("arr3 index 2", j, 1L, b_);
    VELMORAN_CHECK("arr3 index 3", k, 1L, c_);
    return d_[static_cast<std::size_t>(((k - 1) * b_ + (j - 1)) * a_ + (i - 1))];
  }
  const T& operator()(long i, long j, long k) const {
    VELMORAN_CHECK("arr3 index 1", i, 1L, a_);
    VELMORAN_CHECK("arr3 index 2", j, 1L, b_);
    VELMORAN_CHECK("arr3 index 3", k, 1L, c_);
    return d_[static_cast<std::size_t>(((k - 1) * b_ + (j - 1)) * a_ + (i - 1))];
  }

  long extent1() const { return a_; }
  long extent2() const { return b_; }
  long extent3() const { return c_; }
  T* data() { return d_.data(); }
  const T* data() const { return d_.data(); }

 private:
  array_vector<T> d_;
  long a_ = 0, b_ = 0, c_ = 0;
};

}  // namespace util
