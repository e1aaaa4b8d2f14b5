// Output formatting.
//
// Fixed-column output follows classic edit descriptors given as a format text,
// e.g. "(a,i8,10f12.4)": Iw, Iw.m, Fw.d, Ew.d, Ew.dEe, ESw.d, Gw.d, Aw, A, nX,
// Tn, TLn, TRn, '/', quoted literals, repeat counts on descriptors and on
// parenthesised groups, and format reversion when items outlast the format.
// A field too narrow fills with asterisks; a negative value that rounds to
// zero keeps its sign; NaN and Infinity print right-aligned.
//
// Free-format output writes items separated by blanks, beginning with one blank.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace util {

// One output item.  Reals of either width are kept as double: every float is
// exactly a double, so the decimal text is the same.
struct FmtItem {
  enum Kind : unsigned char { Int, Real, Real4, Text } kind;
  std::int64_t i = 0;
  double d = 0;
  std::string_view s;

  FmtItem() : kind(Int) {}
  FmtItem(int v) : kind(Int), i(v) {}
  FmtItem(long v) : kind(Int), i(v) {}
  FmtItem(long long v) : kind(Int), i(v) {}
  FmtItem(unsigned v) : kind(Int), i(v) {}
  FmtItem(unsigned long v) : kind(Int), i(static_cast<std::int64_t>(v)) {}  // sizes
  FmtItem(unsigned long long v) : kind(Int), i(static_cast<std::int64_t>(v)) {}
  FmtItem(float v) : kind(Real4), d(v) {}
  FmtItem(double v) : kind(Real), d(v) {}
  FmtItem(const char* v) : kind(Text), s(v) {}
  FmtItem(std::string_view v) : kind(Text), s(v) {}
  FmtItem(const std::string& v) : kind(Text), s(v) {}
};

// Builds a list of items; spans of numbers add one item per element.  The
// first few items are kept inline, so a short line allocates nothing.
class FmtArgs {
 public:
  FmtArgs() = default;
  template <class... A>
  explicit FmtArgs(const A&... a) {
    (add(a), ...);
  }
  FmtArgs& add(const FmtItem& it) {
    if (heap_.empty() && n_ < inline_items) {
      buf_[n_++] = it;
    } else {
      if (heap_.empty()) heap_.assign(buf_.begin(), buf_.begin() + static_cast<long>(n_));
      heap_.push_back(it);
    }
    return *this;
  }
  template <class T>
  FmtArgs& add(std::span<const T> xs) {
    for (const T& x : xs) add(FmtItem(x));
    return *this;
  }
  template <class T>
  FmtArgs& add(std::span<T> xs) {
    for (const T& x : xs) add(FmtItem(x));
    return *this;
  }
  template <class T>
  FmtArgs& add(const std::vector<T>& xs) {
    for (const T& x : xs) add(FmtItem(x));
    return *this;
  }
  std::span<const FmtItem> items() const {
    if (heap_.empty()) return {buf_.data(), n_};
    return heap_;
  }
  void clear() {
    n_ = 0;
    heap_.clear();
  }

 private:
  static constexpr std::size_t inline_items = 8;
  std::array<FmtItem, inline_items> buf_;
  std::size_t n_ = 0;
  std::vector<FmtItem> heap_;
};

// Formats items under a format text.  Records are separated by '\n'; the
// result has no trailing newline.  A bad format text stops the run.
std::string format(std::string_view fmt, std::span<const FmtItem> items);
inline std::string format(std::string_view fmt, const FmtArgs& args) {
  return format(fmt, args.items());
}
template <class... A>
std::string formatv(std::string_view fmt, const A&... a) {
  return format(fmt, FmtArgs(a...));
}

// Single fields, appended to out (fast paths for large result files).
void put_i(std::string& out, std::int64_t v, int w, int m = -1);  // Iw / Iw.m
void put_f(std::string& out, double v, int w, int d);             // Fw.d
void put_e(std::string& out, double v, int w, int d, int e = -1);  // Ew.d / Ew.dEe
void put_g(std::string& out, double v, int w, int d, int e = -1);  // Gw.d
void put_a(std::string& out, std::string_view s, int w = -1);     // A / Aw

// Fields of the files that are read back (result files).  A value is written
// as Iw or Fw.d when that text leaves at least one blank before it and, for a
// real other than zero, shows a digit other than zero; so every value of
// ordinary size is written exactly as under Iw and Fw.d.  Otherwise it is
// written so that it still reads back: a real in exponent form in the same
// width (as many digits as fit, one blank before them), an integer one column
// wider.  A width too narrow for any exponent form is widened.
void put_i_field(std::string& out, std::int64_t v, int w);
void put_f_field(std::string& out, double v, int w, int d);

// Free format: " item item ...".  Integers in decimal, reals in the shortest
// text that reads back to the same value (float items to the same float),
// texts as they stand.
std::string free_format(std::span<const FmtItem> items);
// The same text appended to out.
void free_format_to(std::string& out, std::span<const FmtItem> items);
template <class... A>
std::string freev(const A&... a) {
  return free_format(FmtArgs(a...).items());
}

// Writes one free-format line (with its newline) to standard output.
void say_items(std::span<const FmtItem> items);
template <class... A>
void say(const A&... a) {
  say_items(FmtArgs(a...).items());
}
// Writes text (plus a newline) to standard output as it stands.
void say_text(std::string_view s);

}  // namespace util
