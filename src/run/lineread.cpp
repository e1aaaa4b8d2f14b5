#include "run/lineread.hpp"

#include <climits>
#include <cmath>
#include <cstdlib>

#include "util/stop.hpp"

namespace textop {

namespace {

bool is_sep(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Calls f(word) for every word of text.
template <class F>
void each_word(std::string_view text, F&& f) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    while (i < n && is_sep(text[i])) ++i;
    if (i >= n) break;
    std::size_t j = i;
    while (j < n && !is_sep(text[j])) ++j;
    f(text.substr(i, j - i));
    i = j;
  }
}

}  // namespace

bool word_int(std::string_view w, int& value) {
  std::size_t i = 0;
  bool neg = false;
  if (!w.empty() && w[0] == '-') {
    neg = true;
    i = 1;
  }
  long long v = 0;
  for (; i < w.size() && is_digit(w[i]); ++i) {
    v = v * 10 + (w[i] - '0');
    if (v > 2147483648LL) {  // beyond any 32-bit magnitude; stop before 64 bits overflow too
      value = 0;
      return false;
    }
  }
  if (neg) v = -v;
  if (v > INT_MAX || v < INT_MIN) {
    value = 0;
    return false;
  }
  value = static_cast<int>(v);
  return true;
}

NumRead whole_number(std::string_view w, int& value) {
  std::size_t i = 0;
  if (!w.empty() && (w[0] == '-' || w[0] == '+')) i = 1;
  if (i == w.size()) return NumRead::not_a_number;
  for (std::size_t k = i; k < w.size(); ++k)
    if (!is_digit(w[k])) return NumRead::not_a_number;
  int v = 0;
  const std::string_view unsigned_part = w.substr(i);
  // word_int reads the digits with the sign that matters for the range.
  const bool fits = w[0] == '-' ? word_int(w, v) : word_int(unsigned_part, v);
  if (!fits) return NumRead::out_of_range;
  value = v;
  return NumRead::ok;
}

NumRead real_number(std::string_view w, double& value) {
  if (w.empty() || w.find(' ') != std::string_view::npos) return NumRead::not_a_number;
  double v = 0;
  if (!field_real(w, v)) return NumRead::not_a_number;
  if (!std::isfinite(v)) return NumRead::out_of_range;
  value = v;
  return NumRead::ok;
}

void nums(std::string_view text, Words& w) {
  w.n = 0;
  w.xc.clear();
  each_word(text, [&](std::string_view word) {
    w.xc.emplace_back(word);
    ++w.n;
  });
}

bool readline(util::TextIn& in, Words& w) {
  std::string_view line;
  while (in.getline(line)) {
    const std::size_t p = line.find_first_not_of(" \t");
    if (p != std::string_view::npos && line[p] == '#') continue;
    nums(line, w);
    w.line = in.line_number();
    w.text.assign(line);
    return true;
  }
  w.n = -1;
  w.line = in.line_number();
  w.text.clear();
  return false;
}

int decode(std::string_view a, int n) {
  if (n < 1) return 0;
  std::string_view t = a.substr(0, static_cast<std::size_t>(n));
  int v = 0;
  if (!word_int(t, v)) util::fatal(" integer out of range: " + std::string(t));
  return v;
}

std::string pack(std::span<const int> ix) {
  std::string a;
  for (std::size_t k = 0; k < ix.size(); ++k) {
    if (k > 0) a.push_back(' ');
    a += std::to_string(ix[k]);
  }
  return a;
}

namespace {

// Checks a numeric field and rewrites it in the form strtod reads; an empty
// field is "0".
bool real_text(std::string_view f, std::string& s) {
  s.clear();
  const std::size_t b = f.find_first_not_of(' ');
  if (b == std::string_view::npos) {
    s = "0";
    return true;
  }
  f = f.substr(b, f.find_last_not_of(' ') - b + 1);
  std::size_t i = 0;
  if (i < f.size() && (f[i] == '+' || f[i] == '-')) s.push_back(f[i++]);
  std::size_t digits = 0;
  while (i < f.size() && is_digit(f[i])) s.push_back(f[i++]), ++digits;
  if (i < f.size() && f[i] == '.') {
    s.push_back(f[i++]);
    while (i < f.size() && is_digit(f[i])) s.push_back(f[i++]), ++digits;
  }
  if (digits == 0) return false;
  if (i == f.size()) return true;
  const char c = f[i];
  if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
    ++i;
  } else if (c != '+' && c != '-') {
    return false;
  }
  s.push_back('e');  // "1.5-3" is 1.5e-3 as well
  if (i < f.size() && (f[i] == '+' || f[i] == '-')) s.push_back(f[i++]);
  std::size_t edigits = 0;
  while (i < f.size() && is_digit(f[i])) s.push_back(f[i++]), ++edigits;
  return edigits > 0 && i == f.size();
}

}  // namespace

bool field_real(std::string_view f, double& value) {
  std::string s;
  if (!real_text(f, s)) return false;
  value = std::strtod(s.c_str(), nullptr);
  return true;
}

bool field_real(std::string_view f, float& value) {
  std::string s;
  if (!real_text(f, s)) return false;
  value = std::strtof(s.c_str(), nullptr);  // rounded once, straight to 32 bits
  return true;
}

void nums2(std::string_view a, int& n, std::span<double> x, std::span<std::string> xc) {
  n = 0;
  each_word(a, [&](std::string_view word) {
    const std::size_t k = static_cast<std::size_t>(n);
    ++n;
    if (k < xc.size()) xc[k] = std::string(word);
    if (k < x.size()) {
      double v = 0;
      if (!field_real(word.substr(0, 12), v)) v = 0;
      x[k] = v;
    }
  });
}

void getoption(util::TextIn& par, std::string_view name, int& n, std::span<double> x,
               std::span<std::string> xc) {
  par.rewind();
  std::string_view line;
  std::vector<std::string> words;
  while (par.getline(line)) {
    words.clear();
    each_word(line, [&](std::string_view word) { words.emplace_back(word); });
    if (words.size() < 2 || words[0] != "OPTION" || words[1] != name) continue;
    n = static_cast<int>(words.size()) - 2;
    for (std::size_t k = 0; k + 2 < words.size(); ++k) {
      if (k < xc.size()) xc[k] = words[k + 2];
      if (k < x.size()) {
        double v = 0;
        if (!field_real(std::string_view(words[k + 2]).substr(0, 12), v)) v = 0;
        x[k] = v;
      }
    }
    return;
  }
  n = -1;
}

void creatres(util::vec1<double>& res) {
  static constexpr double V[8][8] = {
      {1, 0, 0.25, 0.25, 0.5, 0, 0.5, 0},  {0, 1, 0.25, 0.25, 0, 0.5, 0, 0.5},
      {0.25, 0.25, 1, 0, 0.5, 0.5, 0, 0},  {0.25, 0.25, 0, 1, 0, 0, 0.5, 0.5},
      {0.5, 0, 0.5, 0, 1, 0, 0, 0},        {0, 0.5, 0.5, 0, 0, 1, 0, 0},
      {0.5, 0, 0, 0.5, 0, 0, 1, 0},        {0, 0.5, 0, 0.5, 0, 0, 0, 1}};
  const double limit = static_cast<double>(0.9999f);
  res.resize(256);
  for (int k = 1; k <= 256; ++k) {
    double b[8];
    for (int j = 0; j < 8; ++j) {
      const bool set = ((k - 1) >> j) & 1;
      b[j] = set ? (j < 4 ? 0.5 : -0.25) : 0.0;
    }
    double q = 0;
    for (int i = 0; i < 8; ++i)
      for (int j = 0; j < 8; ++j) q += b[i] * V[i][j] * b[j];
    res(k) = q >= limit ? 0.0 : 1.0 / (1.0 - q);
  }
}

}  // namespace textop
