#include "util/format.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "util/stop.hpp"

namespace util {

namespace {

inline void blanks(std::string& out, int n) {
  if (n > 0) out.append(static_cast<std::size_t>(n), ' ');
}
inline void stars(std::string& out, int w) {
  if (w > 0) out.append(static_cast<std::size_t>(w), '*');
}

// NaN and infinities, right-aligned; the long spelling when it fits.
void put_special(std::string& out, double v, int w) {
  const char* s;
  if (std::isnan(v)) {
    s = "NaN";
  } else if (std::signbit(v)) {
    s = w >= 9 ? "-Infinity" : "-Inf";
  } else {
    s = w >= 8 ? "Infinity" : "Inf";
  }
  const int n = static_cast<int>(std::strlen(s));
  if (w <= 0) {
    out.append(s);
  } else if (n > w) {
    stars(out, w);
  } else {
    blanks(out, w - n);
    out.append(s);
  }
}

// Stack buffer for digit strings, on the heap only for huge precisions.
class Buf {
 public:
  explicit Buf(std::size_t need) {
    if (need > sizeof small_) {
      big_.resize(need);
      p_ = big_.data();
      cap_ = need;
    }
  }
  char* data() { return p_; }
  std::size_t cap() const { return cap_; }

 private:
  char small_[400];
  std::string big_;
  char* p_ = small_;
  std::size_t cap_ = sizeof small_;
};

// Exact decimal digits of a (non-negative, finite), correctly rounded, ties
// to even: the same text as printf's %.*f / %.*e, several times faster.
int print(Buf& buf, double a, std::chars_format f, int prec) {
  const auto r = std::to_chars(buf.data(), buf.data() + buf.cap() - 1, a, f, prec);
  *r.ptr = '\0';
  return static_cast<int>(r.ptr - buf.data());
}

// Fw.d of a finite value; false (nothing written) when the field is too
// narrow.  w = 0 gives the shortest field.
bool f_field(std::string& out, double v, int w, int d) {
  if (d < 0) d = 0;
  const bool neg = std::signbit(v);
  const double a = std::fabs(v);
  Buf buf(static_cast<std::size_t>(d) + 330);
  const int n = print(buf, a, std::chars_format::fixed, d);
  const char* s = buf.data();
  const int ilen = d > 0 ? n - d - 1 : n;
  // The zero before the point may go when room is short (never with d = 0).
  const bool zero_int = ilen == 1 && s[0] == '0' && d > 0;
  int len = (neg ? 1 : 0) + ilen + 1 + d;
  bool lead = true;
  if (zero_int && (w == 0 || len > w)) {
    lead = false;
    --len;
  }
  if (w > 0 && len > w) return false;
  blanks(out, w - len);
  if (neg) out.push_back('-');
  if (lead) out.append(s, static_cast<std::size_t>(ilen));
  out.push_back('.');
  if (d > 0) out.append(s + ilen + 1, static_cast<std::size_t>(d));
  return true;
}

// Ew.d[Ee] (es: ESw.d[Ee]) of a finite value; false when too narrow.
bool e_field(std::string& out, double v, int w, int d, int e, bool es) {
  const int nd = es ? d + 1 : d;  // significant digits
  if (nd < 1 || d < 0) return false;
  const bool neg = std::signbit(v);
  const double a = std::fabs(v);
  Buf buf(static_cast<std::size_t>(nd) + 40);
  char* dig = buf.data();  // the nd digits, in place after formatting
  int ex = 0;
  if (a == 0) {
    std::memset(dig, '0', static_cast<std::size_t>(nd));
  } else {
    const int n = print(buf, a, std::chars_format::scientific, nd - 1);
    // d.ddde+xx: exponent after the 'e'; digits closed up over the point.
    const char* ep = static_cast<const char*>(std::memchr(dig, 'e', static_cast<std::size_t>(n)));
    ex = std::atoi(ep + 1);
    if (nd > 1) std::memmove(dig + 1, dig + 2, static_cast<std::size_t>(nd - 1));
    if (!es) ex += 1;
  }
  const int ae = std::abs(ex);
  int elen;
  if (e < 0) {
    if (ae > 999) return false;
    elen = 4;
  } else {
    int lim = 1;
    for (int i = 0; i < e && lim <= 1000; ++i) lim *= 10;
    if (e == 0 || ae >= lim) return false;
    elen = e + 2;
  }
  // ES: d.ddd; E: .ddd with the optional 0 before the point when it fits.
  int len = (neg ? 1 : 0) + (es ? 2 : 1) + d + elen;
  const bool lead = !es && w > 0 && len < w;
  if (lead) ++len;
  if (w > 0 && len > w) return false;
  blanks(out, w - len);
  if (neg) out.push_back('-');
  if (es) {
    out.push_back(dig[0]);
    out.push_back('.');
    out.append(dig + 1, static_cast<std::size_t>(d));
  } else {
    if (lead) out.push_back('0');
    out.push_back('.');
    out.append(dig, static_cast<std::size_t>(d));
  }
  if (e < 0 && ae > 99) {
    out.push_back(ex < 0 ? '-' : '+');  // three digits take the place of the E
  } else {
    out.push_back('E');
    out.push_back(ex < 0 ? '-' : '+');
  }
  const int ed = e < 0 ? (ae > 99 ? 3 : 2) : e;
  char eb[16];
  const int en = static_cast<int>(std::to_chars(eb, eb + sizeof eb, ae).ptr - eb);
  if (ed > en) out.append(static_cast<std::size_t>(ed - en), '0');
  out.append(eb, static_cast<std::size_t>(en));
  return true;
}

// ---------------------------------------------------------------- formats

struct Node {
  enum Type : unsigned char { Data, Lit, X, T, TL, TR, Slash, Colon, Open, Close } type;
  char code = 0;  // Data: 'I', 'F', 'E', 'S' (ES), 'G', 'A'
  int rep = 1;    // Data, Slash, Open; count for X, T, TL, TR
  int w = -1, d = -1, e = -1;  // e: exponent digits (E, ES, G) or minimum digits (I)
  int match = -1;              // Open: its Close; Close: its Open
  std::string lit;
  explicit Node(Type t) : type(t) {}
};

struct Program {
  std::vector<Node> nodes;  // the list inside the outermost parentheses
  int revert = 0;           // where reversion resumes
  bool has_data = false;
};

[[noreturn]] void bad_format(std::string_view fmt, const char* why) {
  std::string m = "format error: ";
  m += why;
  m += " in format ";
  m += fmt;
  fatal(m);
}

class Parser {
 public:
  explicit Parser(std::string_view f) : f_(f) {}

  Program run() {
    Program p;
    skip();
    if (!eat('(')) bad_format(f_, "missing '('");
    std::vector<int> open;
    for (;;) {
      skip();
      if (i_ >= f_.size()) bad_format(f_, "missing ')'");
      const char c = f_[i_];
      if (c == ',') {
        ++i_;
        continue;
      }
      if (c == ')') {
        ++i_;
        if (open.empty()) break;
        const int o = open.back();
        open.pop_back();
        Node n(Node::Close);
        n.match = o;
        p.nodes[static_cast<std::size_t>(o)].match = static_cast<int>(p.nodes.size());
        if (open.empty()) p.revert = o;  // last top-level group so far
        p.nodes.push_back(std::move(n));
        continue;
      }
      if (c == '\'' || c == '"') {
        Node n(Node::Lit);
        n.lit = literal(c);
        p.nodes.push_back(std::move(n));
        continue;
      }
      if (c == '/') {
        ++i_;
        p.nodes.push_back(Node(Node::Slash));
        continue;
      }
      if (c == ':') {
        ++i_;
        p.nodes.push_back(Node(Node::Colon));
        continue;
      }
      const int r = number();  // repeat or count, -1 when absent
      skip();
      if (i_ >= f_.size()) bad_format(f_, "missing ')'");
      const char u = upper(f_[i_]);
      if (r == 0) bad_format(f_, "zero repeat count");
      if (u == '(') {
        ++i_;
        Node n(Node::Open);
        n.rep = r < 0 ? 1 : r;
        open.push_back(static_cast<int>(p.nodes.size()));
        p.nodes.push_back(std::move(n));
        continue;
      }
      if (u == '/') {
        ++i_;
        Node n(Node::Slash);
        n.rep = r < 0 ? 1 : r;
        p.nodes.push_back(std::move(n));
        continue;
      }
      if (u == 'X') {
        ++i_;
        Node n(Node::X);
        n.rep = r < 0 ? 1 : r;
        p.nodes.push_back(std::move(n));
        continue;
      }
      if (u == 'T') {
        if (r >= 0) bad_format(f_, "repeat count on T");
        ++i_;
        skip();
        Node n(Node::T);
        if (i_ < f_.size() && upper(f_[i_]) == 'L') {
          n.type = Node::TL;
          ++i_;
        } else if (i_ < f_.size() && upper(f_[i_]) == 'R') {
          n.type = Node::TR;
          ++i_;
        }
        n.rep = number();
        if (n.rep < 0 || (n.type == Node::T && n.rep < 1)) bad_format(f_, "T needs a column");
        p.nodes.push_back(std::move(n));
        continue;
      }
      Node n(Node::Data);
      n.rep = r < 0 ? 1 : r;
      ++i_;
      switch (u) {
        case 'I':
          n.code = 'I';
          n.w = need_number("I needs a width");
          if (dot()) n.e = need_number("I needs digits after '.'");
          break;
        case 'F':
          n.code = 'F';
          n.w = need_number("F needs a width");
          if (!dot()) bad_format(f_, "F needs decimals");
          n.d = need_number("F needs decimals");
          break;
        case 'E':
        case 'G':
          n.code = u;
          skip();
          if (u == 'E' && i_ < f_.size() && upper(f_[i_]) == 'S') {
            n.code = 'S';
            ++i_;
          }
          n.w = need_number("missing width");
          if (!dot()) bad_format(f_, "missing decimals");
          n.d = need_number("missing decimals");
          skip();
          if (i_ < f_.size() && upper(f_[i_]) == 'E') {
            ++i_;
            n.e = need_number("missing exponent digits");
            if (n.e < 1) bad_format(f_, "zero exponent digits");
          }
          if (n.w < 1) bad_format(f_, "zero width");
          if (n.code != 'S' && n.d < 1) bad_format(f_, "zero decimals");
          break;
        case 'A':
          n.code = 'A';
          n.w = number();
          if (n.w == 0) bad_format(f_, "zero width");
          break;
        default:
          bad_format(f_, "unknown edit descriptor");
      }
      p.has_data = true;
      p.nodes.push_back(std::move(n));
    }
    skip();
    if (i_ != f_.size()) bad_format(f_, "text after the final ')'");
    return p;
  }

 private:
  static char upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }
  void skip() {
    while (i_ < f_.size() && (f_[i_] == ' ' || f_[i_] == '\t')) ++i_;
  }
  bool eat(char c) {
    if (i_ < f_.size() && f_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool dot() {
    skip();
    return eat('.');
  }
  int number() {
    skip();
    if (i_ >= f_.size() || f_[i_] < '0' || f_[i_] > '9') return -1;
    long v = 0;
    while (i_ < f_.size() && f_[i_] >= '0' && f_[i_] <= '9') {
      v = v * 10 + (f_[i_++] - '0');
      if (v > 1000000) bad_format(f_, "number too large");
    }
    return static_cast<int>(v);
  }
  int need_number(const char* why) {
    const int v = number();
    if (v < 0) bad_format(f_, why);
    return v;
  }
  std::string literal(char q) {
    ++i_;
    std::string s;
    for (;;) {
      if (i_ >= f_.size()) bad_format(f_, "unterminated literal");
      const char c = f_[i_++];
      if (c == q) {
        if (i_ < f_.size() && f_[i_] == q) {
          s.push_back(q);
          ++i_;
          continue;
        }
        return s;
      }
      s.push_back(c);
    }
  }

  std::string_view f_;
  std::size_t i_ = 0;
};

// Recently used formats, parsed once: result files repeat the same few.
const Program& compiled(std::string_view fmt) {
  struct Entry {
    std::string text;
    Program prog;
  };
  static std::vector<Entry> cache;
  for (const Entry& en : cache)
    if (en.text == fmt) return en.prog;
  if (cache.size() >= 64) cache.erase(cache.begin());
  cache.push_back(Entry{std::string(fmt), Parser(fmt).run()});
  return cache.back().prog;
}

// Output records held in one string; the current record starts at start and
// pos is the column (0-based) where the next character goes.
struct Records {
  std::string out;
  std::size_t start = 0;
  std::size_t pos = 0;

  void put(std::string_view s) {
    const std::size_t at = start + pos;
    if (at > out.size()) out.append(at - out.size(), ' ');
    const std::size_t over = std::min(s.size(), out.size() - at);
    out.replace(at, over, s.data(), over);
    out.append(s.data() + over, s.size() - over);
    pos += s.size();
  }
  void next() {
    out.push_back('\n');
    start = out.size();
    pos = 0;
  }
};

[[noreturn]] void bad_item(std::string_view fmt, const char* what, char code) {
  std::string m = "format error: ";
  m += what;
  m += " item under ";
  m += code == 'S' ? std::string("ES") : std::string(1, code);
  m += " editing in format ";
  m += fmt;
  fatal(m);
}

void edit(std::string& field, const Node& n, const FmtItem& it, std::string_view fmt) {
  const bool real = it.kind == FmtItem::Real || it.kind == FmtItem::Real4;
  switch (n.code) {
    case 'I':
      if (it.kind != FmtItem::Int) bad_item(fmt, real ? "real" : "text", 'I');
      put_i(field, it.i, n.w, n.e);
      return;
    case 'F':
    case 'E':
    case 'S':
      if (!real) bad_item(fmt, it.kind == FmtItem::Int ? "integer" : "text", n.code);
      if (n.code == 'F')
        put_f(field, it.d, n.w, n.d);
      else if (n.code == 'E')
        put_e(field, it.d, n.w, n.d, n.e);
      else if (!std::isfinite(it.d))
        put_special(field, it.d, n.w);
      else if (!e_field(field, it.d, n.w, n.d, n.e, true))
        stars(field, n.w);
      return;
    case 'G':
      // G edits integers as Iw and texts as Aw.
      if (it.kind == FmtItem::Int)
        put_i(field, it.i, n.w);
      else if (it.kind == FmtItem::Text)
        put_a(field, it.s, n.w);
      else
        put_g(field, it.d, n.w, n.d, n.e);
      return;
    case 'A':
      if (it.kind != FmtItem::Text) bad_item(fmt, real ? "real" : "integer", 'A');
      put_a(field, it.s, n.w);
      return;
  }
}

}  // namespace

// ---------------------------------------------------------------- fields

void put_i(std::string& out, std::int64_t v, int w, int m) {
  char b[32];
  const bool neg = v < 0;
  const std::uint64_t a = neg ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  int nd = static_cast<int>(std::to_chars(b, b + sizeof b, a).ptr - b);
  if (m == 0 && a == 0) nd = 0;  // Iw.0 prints zero as blanks
  const int digits = m > nd ? m : nd;
  const int len = (neg ? 1 : 0) + digits;
  if (w > 0 && len > w) {
    stars(out, w);
    return;
  }
  blanks(out, w - len);
  if (neg) out.push_back('-');
  if (digits > nd) out.append(static_cast<std::size_t>(digits - nd), '0');
  out.append(b, static_cast<std::size_t>(nd));
}

void put_f(std::string& out, double v, int w, int d) {
  if (!std::isfinite(v)) {
    put_special(out, v, w);
  } else if (!f_field(out, v, w, d)) {
    stars(out, w);
  }
}

void put_e(std::string& out, double v, int w, int d, int e) {
  if (!std::isfinite(v)) {
    put_special(out, v, w);
  } else if (!e_field(out, v, w, d, e, false)) {
    stars(out, w);
  }
}

// F editing when the value, rounded to d significant digits, lies in
// [0.1, 10**d); then the field is F(w-n).(d-r) and n blanks (n = 4, or e+2).
// Zero takes the F form with d-1 decimals.  E editing otherwise.
void put_g(std::string& out, double v, int w, int d, int e) {
  if (!std::isfinite(v)) {
    put_special(out, v, w);
    return;
  }
  if (d < 1) {
    stars(out, w);
    return;
  }
  const int nb = e < 0 ? 4 : e + 2;
  const double a = std::fabs(v);
  int r = 1;
  if (a != 0) {
    Buf buf(static_cast<std::size_t>(d) + 40);
    const int n = print(buf, a, std::chars_format::scientific, d - 1);
    const char* ep = static_cast<const char*>(std::memchr(buf.data(), 'e', static_cast<std::size_t>(n)));
    r = std::atoi(ep + 1) + 1;
  }
  if (r < 0 || r > d) {
    put_e(out, v, w, d, e);
    return;
  }
  const std::size_t at = out.size();
  if (w - nb < 1 || !f_field(out, v, w - nb, d - r)) {
    out.resize(at);
    stars(out, w);
    return;
  }
  blanks(out, nb);
}

void put_a(std::string& out, std::string_view s, int w) {
  if (w < 0) {
    out.append(s);
  } else if (static_cast<int>(s.size()) >= w) {
    out.append(s.substr(0, static_cast<std::size_t>(w)));
  } else {
    blanks(out, w - static_cast<int>(s.size()));
    out.append(s);
  }
}

// ------------------------------------------------- fields that read back

namespace {

// True when the text holds a digit other than zero.
bool shows_digit(const char* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i)
    if (s[i] >= '1' && s[i] <= '9') return true;
  return false;
}

// v (finite) in scientific notation with p decimals, exponent of at least two
// digits: "-1.2346E+30".
int scientific(char* buf, std::size_t cap, double v, int p) {
  const auto r = std::to_chars(buf, buf + cap, v, std::chars_format::scientific, p);
  const int n = static_cast<int>(r.ptr - buf);
  for (int i = 0; i < n; ++i)
    if (buf[i] == 'e') buf[i] = 'E';
  return n;
}

}  // namespace

void put_i_field(std::string& out, std::int64_t v, int w) {
  const std::size_t at = out.size();
  put_i(out, v, w);
  // A number that fills its field would join the one before it.
  if (out.size() == at || out[at] != ' ') {
    out.resize(at);
    put_i(out, v, 0);
    out.insert(at, 1, ' ');
  }
}

void put_f_field(std::string& out, double v, int w, int d) {
  const std::size_t at = out.size();
  if (!std::isfinite(v)) {
    // Widened until a blank leads, which also brings the long spelling.
    for (int ww = std::max(w, 1);; ++ww) {
      out.resize(at);
      put_special(out, v, ww);
      if (out[at] == ' ') return;
    }
  }
  if (f_field(out, v, w, d) && out.size() > at && out[at] == ' ' &&
      (v == 0 || shows_digit(out.data() + at, out.size() - at)))
    return;
  out.resize(at);
  // Exponent form: the most decimals (up to a full 17 digits) that leave a
  // blank before the number in w columns, at least none.
  char buf[64];
  int p = std::min(16, w - 7 - (std::signbit(v) ? 1 : 0));
  if (p < 0) p = 0;
  int n = scientific(buf, sizeof buf, v, p);
  while (n + 1 > w && p > 0) n = scientific(buf, sizeof buf, v, --p);
  blanks(out, std::max(1, w - n));
  out.append(buf, static_cast<std::size_t>(n));
}

// ---------------------------------------------------------------- format

std::string format(std::string_view fmt, std::span<const FmtItem> items) {
  const Program& p = compiled(fmt);
  const std::vector<Node>& nodes = p.nodes;
  const int nn = static_cast<int>(nodes.size());
  Records rec;
  std::string field;
  std::size_t next = 0;  // next item
  struct Level {
    int open;
    int left;
  };
  std::vector<Level> stack;
  int pc = 0;
  std::size_t used_at_revert = 0;
  for (;;) {
    if (pc == nn) {  // final ')'
      if (next == items.size()) break;
      if (!p.has_data || next == used_at_revert)
        bad_format(fmt, "no data edit descriptor for the remaining items");
      used_at_revert = next;
      rec.next();
      stack.clear();
      pc = p.revert;
      continue;
    }
    const Node& n = nodes[static_cast<std::size_t>(pc)];
    switch (n.type) {
      case Node::Open:
        stack.push_back({pc, n.rep});
        break;
      case Node::Close:
        if (!stack.empty() && --stack.back().left > 0) {
          pc = stack.back().open;
        } else if (!stack.empty()) {
          stack.pop_back();
        }
        break;
      case Node::Data:
        for (int k = 0; k < n.rep; ++k) {
          if (next == items.size()) return std::move(rec.out);
          field.clear();
          edit(field, n, items[next++], fmt);
          rec.put(field);
        }
        break;
      case Node::Lit:
        rec.put(n.lit);
        break;
      case Node::X:
      case Node::TR:
        rec.pos += static_cast<std::size_t>(n.rep);
        break;
      case Node::T:
        rec.pos = static_cast<std::size_t>(n.rep - 1);
        break;
      case Node::TL:
        rec.pos = rec.pos > static_cast<std::size_t>(n.rep) ? rec.pos - static_cast<std::size_t>(n.rep) : 0;
        break;
      case Node::Slash:
        for (int k = 0; k < n.rep; ++k) rec.next();
        break;
      case Node::Colon:
        if (next == items.size()) return std::move(rec.out);
        break;
    }
    ++pc;
  }
  return std::move(rec.out);
}

// ---------------------------------------------------------------- free format

std::string free_format(std::span<const FmtItem> items) {
  std::string s;
  free_format_to(s, items);
  return s;
}

void say_items(std::span<const FmtItem> items) {
  // One line buffer, reused.
  static thread_local std::string s;
  if (s.capacity() < 256) s.reserve(256);
  s.clear();
  free_format_to(s, items);
  s.push_back('\n');
  std::fwrite(s.data(), 1, s.size(), stdout);
}

void free_format_to(std::string& s, std::span<const FmtItem> items) {
  char b[64];
  for (const FmtItem& it : items) {
    s.push_back(' ');
    switch (it.kind) {
      case FmtItem::Text:
        s.append(it.s);
        break;
      case FmtItem::Int:
        s.append(b, std::to_chars(b, b + sizeof b, it.i).ptr);
        break;
      case FmtItem::Real:
      case FmtItem::Real4:
        if (std::isnan(it.d)) {
          s.append("NaN");
        } else if (std::isinf(it.d)) {
          s.append(it.d < 0 ? "-Infinity" : "Infinity");
        } else if (it.kind == FmtItem::Real4) {
          s.append(b, std::to_chars(b, b + sizeof b, static_cast<float>(it.d)).ptr);
        } else {
          s.append(b, std::to_chars(b, b + sizeof b, it.d).ptr);
        }
        break;
    }
  }
}

void say_text(std::string_view s) {
  std::fwrite(s.data(), 1, s.size(), stdout);
  std::fputc('\n', stdout);
}

}  // namespace util
