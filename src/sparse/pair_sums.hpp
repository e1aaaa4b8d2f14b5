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
    slots_.assign(n, Slot{});
  }
  // Element (a, b) or (b, a) += v.
  void add(std::uint32_t a, std::uint32_t b, double v) {
    if (a > b) std::swap(a, b);
    const std::uint64_t key = (static_cast<std::uint64_t>(a) << 32) | b;
    std::size_t h = slot_of(key);
    while (slots_[h].key != key) {
      if (slots_[h].key == empty) {
        slots_[h].key = key;
        if (++filled_ * 2 > slots_.size()) {
          grow();
          add(a, b, v);
          return;
        }
        break;
      }
      h = (h + 1) & (slots_.size() - 1);
    }
    slots_[h].value += v;
  }
  // f(a, b, value) for every element held, a <= b, in no particular order.
  template <class F>
  void each(F f) const {
    for (const Slot& x : slots_)
      if (x.key != empty) f(static_cast<int>(x.key >> 32), static_cast<int>(x.key & 0xffffffffULL), x.value);
  }
  std::size_t size() const { return filled_; }

 private:
  static constexpr std::uint64_t empty = ~0ULL;
  // A key beside its value: one cache line for each element reached.
  struct Slot {
    std::uint64_t key = empty;
    double value = 0;
  };
  std::size_t slot_of(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ULL) >> (64 - std::countr_zero(slots_.size())));
  }
  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    std::swap(old, slots_);
    filled_ = 0;
    for (const Slot& x : old)
      if (x.key != empty) {
        std::size_t g = slot_of(x.key);
        while (slots_[g].key != empty) g = (g + 1) & (slots_.size() - 1);
        slots_[g] = x;
        ++filled_;
      }
  }
  std::vector<Slot> slots_;
  std::size_t filled_ = 0;
};

}  // namespace sparsem
