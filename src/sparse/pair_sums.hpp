// Sums of a symmetric matrix's elements gathered by key in any order, for a
// matrix that is built once and read once (a Gram matrix of data columns).
// The coefficient matrix's store (sparse_hashm) fixes its table layout and
// announces its growth, which the program's output shows; this one does
// neither, and takes 0-based indices.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace sparsem {

class PairSums {
 public:
  // expect: about how many distinct elements will come (the table grows).
  explicit PairSums(std::size_t expect) {
    std::size_t n = 1024;
    while (n < 2 * expect) n *= 2;
    keys_.assign(n, empty);
    vals_.assign(n, 0.0);
  }
  // Element (a, b) or (b, a) += v.
  void add(std::uint32_t a, std::uint32_t b, double v) {
    if (a > b) std::swap(a, b);
    const std::uint64_t key = (static_cast<std::uint64_t>(a) << 32) | b;
    std::size_t h = slot_of(key);
    while (keys_[h] != key) {
      if (keys_[h] == empty) {
        keys_[h] = key;
        if (++filled_ * 2 > keys_.size()) {
          grow();
          add(a, b, v);
          return;
        }
        break;
      }
      h = (h + 1) & (keys_.size() - 1);
    }
    vals_[h] += v;
  }
  // f(a, b, value) for every element held, a <= b, in no particular order.
  template <class F>
  void each(F f) const {
    for (std::size_t h = 0; h < keys_.size(); ++h)
      if (keys_[h] != empty)
        f(static_cast<int>(keys_[h] >> 32), static_cast<int>(keys_[h] & 0xffffffffULL), vals_[h]);
  }
  std::size_t size() const { return filled_; }

 private:
  static constexpr std::uint64_t empty = ~0ULL;
  std::size_t slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - std::countr_zero(keys_.size())));
  }
  void grow() {
    std::vector<std::uint64_t> k(keys_.size() * 2, empty);
    std::vector<double> v(keys_.size() * 2, 0.0);
    std::swap(k, keys_);
    std::swap(v, vals_);
    filled_ = 0;
    for (std::size_t h = 0; h < k.size(); ++h)
      if (k[h] != empty) {
        std::size_t g = slot_of(k[h]);
        while (keys_[g] != empty) g = (g + 1) & (keys_.size() - 1);
        keys_[g] = k[h];
        vals_[g] = v[h];
        ++filled_;
      }
  }
  std::vector<std::uint64_t> keys_;
  std::vector<double> vals_;
  std::size_t filled_ = 0;
};

}  // namespace sparsem
