// Scratch storage for the dense kernels: inline up to a fixed capacity, on the
// heap only beyond it, so the small orders of the sampler never allocate.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

namespace denseop::detail {

template <class T, std::size_t N>
class Work {
 public:
  explicit Work(std::size_t n) {
    if (n > N) {
      heap_.resize(n);
      p_ = heap_.data();
    } else {
      p_ = buf_.data();
    }
  }
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
  T* data() { return p_; }
  T& operator[](std::size_t i) { return p_[i]; }

 private:
  std::array<T, N> buf_;
  std::vector<T> heap_;
  T* p_;
};

// The scale of a matrix that decides its pivots, gathered over its diagonal:
// the larger of scale and |diag|; an element that is not finite takes no part.
// Two selects the compiler makes without branches (|diag| <= max fails for
// an infinite or NaN one).
inline double diagonal_scale(double scale, double diag) {
  const double a = std::fabs(diag);
  const double finite = a <= std::numeric_limits<double>::max() ? a : scale;
  return scale < finite ? finite : scale;
}

// Column-major view with indices counted from 1.
template <class T>
struct Ref {
  T* p;
  std::ptrdiff_t ld;
  T& operator()(int i, int j) const { return p[(i - 1) + (j - 1) * ld]; }
};

// Vector view with indices counted from 1.
template <class T>
struct VRef {
  T* p;
  T& operator()(int i) const { return p[i - 1]; }
};

// Copies the leading n by n block of src into dst.
template <class S, class D>
void copy_block(const S* src, int lds, D* dst, int ldd, int n) {
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i)
      dst[i + static_cast<std::ptrdiff_t>(j) * ldd] =
          static_cast<D>(src[i + static_cast<std::ptrdiff_t>(j) * lds]);
}

// Stops the run over an argument whose shape cannot hold what it must.
[[noreturn]] void shape_fail(const char* who, const char* what);

}  // namespace denseop::detail
