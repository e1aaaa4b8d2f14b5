// Packed symmetric storage and matrix printing.
#include <cmath>
#include <cstdint>
#include <string>

#include "dense/denseop.hpp"
#include "dense/work.hpp"
#include "util/format.hpp"
#include "util/textio.hpp"

namespace denseop {

int pos_symm(int i, int j, int n) {
  if (i > j) {
    const int t = i;
    i = j;
    j = t;
  }
  return (i - 1) * n - i * (i - 3) / 2 + j - i;
}

int packed_order(long len) {
  // Kept in single precision: beyond lengths of about 2^24 the rounding
  // decides the order.
  const float eight_len = static_cast<float>(static_cast<std::int32_t>(8 * len));
  return static_cast<int>((std::sqrt(eight_len + 1.0f) - 1.0f) / 2.0f);
}

namespace {

template <class T>
void packit(const util::mat1<T>& m, util::vec1<T>& x) {
  const int n = static_cast<int>(m.rows());
  if (m.cols() < n) detail::shape_fail("packit", "matrix has fewer columns than rows");
  const long need = static_cast<long>(n) * (n + 1) / 2;
  if (x.size() < need) x.resize(need);
  const detail::VRef<T> p{x.data()};  // positions count from 1
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= i; ++j) p(pos_symm(j, i, n)) = m(i, j);
}

template <class T>
void unpackit(const util::vec1<T>& x, util::mat1<T>& m) {
  m.fill(T(0));
  const int n = static_cast<int>(m.rows());
  if (n > 0 && m.cols() < n) detail::shape_fail("unpackit", "matrix has fewer columns than rows");
  if (x.size() < static_cast<long>(n) * (n + 1) / 2)
    detail::shape_fail("unpackit", "packed vector shorter than the order of the matrix");
  const detail::VRef<const T> p{x.data()};
  for (int i = 1; i <= n; ++i)
    for (int j = 1; j <= i; ++j) {
      const T v = p(pos_symm(j, i, n));
      m(i, j) = v;
      m(j, i) = v;
    }
}

std::string_view format_in_effect(std::optional<std::string_view> fmt) {
  std::string_view f = fmt ? *fmt : std::string_view("(10g12.4/)");
  if (f.size() > 40) f = f.substr(0, 40);
  while (!f.empty() && f.back() == ' ') f.remove_suffix(1);
  return f;
}

template <class T>
void printm(const util::mat1<T>& m, std::optional<std::string_view> text,
            std::optional<std::string_view> fmt, util::TextOut* un) {
  if (text) {
    if (un)
      un->line(*text);
    else
      util::say(*text);
  }
  const std::string_view f = format_in_effect(fmt);
  const int n = static_cast<int>(m.rows());
  if (n < 1) return;
  util::FmtArgs row;
  for (int i = 1; i <= n; ++i) {
    row.clear();
    for (int j = 1; j <= n; ++j) row.add(util::FmtItem(m(i, j)));
    const std::string s = util::format(f, row);
    if (un)
      un->line(s);
    else
      util::say_text(s);
  }
}

}  // namespace

void packit8(const util::mat1<double>& m, util::vec1<double>& x) { packit(m, x); }
void packit4(const util::mat1<float>& m, util::vec1<float>& x) { packit(m, x); }
void unpackit8(const util::vec1<double>& x, util::mat1<double>& m) { unpackit(x, m); }
void unpackit4(const util::vec1<float>& x, util::mat1<float>& m) { unpackit(x, m); }

void printm8(const util::mat1<double>& m, std::optional<std::string_view> text,
             std::optional<std::string_view> fmt, util::TextOut* un) {
  printm(m, text, fmt, un);
}

void printm4(const util::mat1<float>& m, std::optional<std::string_view> text,
             std::optional<std::string_view> fmt, util::TextOut* un) {
  printm(m, text, fmt, un);
}

void printm8p(const util::vec1<double>& x, std::optional<std::string_view> text,
              std::optional<std::string_view> fmt, util::TextOut* un) {
  const int n = packed_order(x.size());
  util::mat1<double> m(n, n);
  unpackit(x, m);
  printm(m, text, fmt, un);
}

void printm4p(const util::vec1<float>& x, std::optional<std::string_view> text,
              std::optional<std::string_view> fmt, util::TextOut* un) {
  const int n = packed_order(x.size());
  util::mat1<float> m(n, n);
  unpackit(x, m);
  printm(m, text, fmt, un);
}

}  // namespace denseop
