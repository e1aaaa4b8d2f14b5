#include "util/textio.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <utility>

#include "util/disk_queue.hpp"
#include "util/stop.hpp"

namespace util {

namespace {

// Stream buffer of an output file: large writes, few system calls.
constexpr std::size_t stream_buffer = 1 << 16;

inline bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }
inline bool is_sep(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == ',' || c == '/';
}

// Integers: optional sign, digits, nothing else; overflow of the target is bad.
template <class T>
bool parse_int(const char* t, const char* e, T& out) {
  if (t < e && *t == '+') {
    ++t;
    if (t < e && *t == '-') return false;
  }
  T v;
  auto r = std::from_chars(t, e, v);
  if (r.ec != std::errc() || r.ptr != e) return false;
  out = v;
  return true;
}

// Reals: the forms 1.5, .5, 5., 1.5E3, 1.5D3, 1.5E+3 and 1.5+3 (a signed
// exponent without its letter), also Inf and NaN.  The text is parsed
// straight to T, so a 32-bit target is rounded once.  Overflow gives an
// infinity and underflow zero or a subnormal (correctly rounded, ties to
// even); record reads refuse both the infinity and the zero.
template <class T>
bool parse_real(const char* t, const char* e, T& out) {
  if (t < e && *t == '+') {
    ++t;
    if (t < e && (*t == '-' || *t == '+')) return false;
  }
  const std::size_t n = static_cast<std::size_t>(e - t);
  if (n == 0) return false;
  char small[72];
  std::string big;
  char* buf = small;
  if (n + 2 > sizeof small) {
    big.resize(n + 2);
    buf = big.data();
  }
  std::size_t m = 0;
  for (std::size_t i = 0; i < n; ++i) {
    char c = t[i];
    if (c == 'd' || c == 'D') {
      c = 'e';
    } else if ((c == '+' || c == '-') && i > 0) {
      const char q = t[i - 1];
      if ((q >= '0' && q <= '9') || q == '.') buf[m++] = 'e';
    }
    buf[m++] = c;
  }
  buf[m] = '\0';
  T v;
  auto r = std::from_chars(buf, buf + m, v, std::chars_format::general);
  if (r.ptr != buf + m) return false;
  if (r.ec == std::errc::result_out_of_range) {
    char* end = nullptr;
    if constexpr (std::is_same_v<T, float>)
      v = std::strtof(buf, &end);
    else
      v = std::strtod(buf, &end);
    if (end != buf + m) return false;
  } else if (r.ec != std::errc()) {
    return false;
  }
  out = v;
  return true;
}

bool store(const ReadTarget& tg, std::size_t k, const char* t, const char* e) {
  switch (tg.kind) {
    case ReadTarget::I32:
      return parse_int(t, e, static_cast<int*>(tg.p)[k]);
    case ReadTarget::I64:
      return parse_int(t, e, static_cast<std::int64_t*>(tg.p)[k]);
    case ReadTarget::R32:
      return parse_real(t, e, static_cast<float*>(tg.p)[k]);
    case ReadTarget::R64:
      return parse_real(t, e, static_cast<double*>(tg.p)[k]);
  }
  return false;
}

// True when a real target holds 0 though its text has a digit other than 0
// before the exponent: a number too near 0 for the target, read as 0.
bool lost_to_zero(const ReadTarget& tg, std::size_t k, std::string_view w) {
  if (tg.kind == ReadTarget::R32 ? static_cast<const float*>(tg.p)[k] != 0.0f
      : tg.kind == ReadTarget::R64 ? static_cast<const double*>(tg.p)[k] != 0.0
                                   : true)
    return false;
  for (std::size_t i = 0; i < w.size(); ++i) {
    const char c = w[i];
    if (c >= '1' && c <= '9') return true;
    if (c == 'e' || c == 'E' || c == 'd' || c == 'D' || (i > 0 && (c == '+' || c == '-'))) break;
  }
  return false;
}

bool is_finite(const ReadTarget& tg, std::size_t k) {
  if (tg.kind == ReadTarget::R32) return std::isfinite(static_cast<const float*>(tg.p)[k]);
  if (tg.kind == ReadTarget::R64) return std::isfinite(static_cast<const double*>(tg.p)[k]);
  return true;
}

bool blank_line(std::string_view s) {
  for (const char c : s)
    if (!is_blank(c)) return false;
  return true;
}

bool all_digits(std::string_view w) {
  std::size_t i = 0;
  if (i < w.size() && (w[i] == '-' || w[i] == '+')) ++i;
  if (i == w.size()) return false;
  for (; i < w.size(); ++i)
    if (w[i] < '0' || w[i] > '9') return false;
  return true;
}

}  // namespace

std::string describe(const RecordRead& r) {
  using F = RecordRead::Fault;
  const std::string field = "field " + std::to_string(r.field);
  const std::string word = " \"" + std::string(r.word) + "\"";
  switch (r.fault) {
    case F::none:
      return "no fault";
    case F::eof:
      return "the file ends";
    case F::short_line:
      return "the line holds " + std::to_string(r.field) + " values where " +
             std::to_string(r.wanted) + " are needed";
    case F::empty_field:
      return field + " is empty";
    case F::slash:
      return field + word + " holds a \"/\"";
    case F::not_number:
      if (!r.integer) return field + word + " is not a number";
      if (all_digits(r.word)) return field + word + " is too large an integer";
      return field + word + " is not an integer";
    case F::not_finite:
      return field + word + " is not a finite number";
    case F::underflow:
      return field + word + " is too near 0 to be held: it would read as 0";
  }
  return "";
}

bool missing_word(std::string_view w) {
  if (w.size() > 7) return false;
  char low[8] = {};
  for (std::size_t i = 0; i < w.size(); ++i)
    low[i] = w[i] >= 'A' && w[i] <= 'Z' ? static_cast<char>(w[i] - 'A' + 'a') : w[i];
  const std::string_view l(low, w.size());
  for (const char* k : {"na", "nan", "null", "none", "missing", ".", "-", "--", "?", "*"})
    if (l == k) return true;
  return false;
}

std::size_t count_fields(std::string_view line) {
  std::size_t n = 0;
  bool in_field = false;
  for (const char c : line) {
    const bool sep = is_blank(c) || c == ',';
    n += !sep && !in_field ? 1 : 0;
    in_field = !sep;
  }
  return n;
}

std::string_view decimal_comma(std::string_view line, std::size_t fields) {
  const auto digit = [](char c) { return c >= '0' && c <= '9'; };
  const std::size_t n = line.size();
  bool blanks = false;  // a blank or tab alone separates two fields
  std::size_t comma = n, field = 0, start = 0;
  bool in_field = false;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = line[i];
    const bool sep = is_blank(c) || c == ',';
    if (!sep && !in_field) ++field, start = i;
    in_field = !sep;
    // After a number that has its decimal point, a comma separates fields.
    if (c == ',' && comma == n && field <= fields && i > 0 && i + 1 < n && digit(line[i - 1]) &&
        digit(line[i + 1]) && line.substr(start, i - start).find('.') == std::string_view::npos)
      comma = i;
    if (blanks || !is_blank(c) || i == 0 || is_blank(line[i - 1])) continue;
    std::size_t j = i;
    while (j < n && is_blank(line[j])) ++j;
    blanks = line[i - 1] != ',' && j < n && line[j] != ',';
  }
  if (!blanks || comma == n) return {};
  std::size_t b = comma, e = comma;
  while (b > 0 && !is_blank(line[b - 1])) --b;
  while (e < n && !is_blank(line[e])) ++e;
  return line.substr(b, e - b);
}

std::size_t empty_tab_cell(std::string_view line, std::size_t fields) {
  for (std::size_t t = line.find('\t'); t != std::string_view::npos; t = line.find('\t', t + 1)) {
    std::size_t j = t + 1;
    while (j < line.size() && is_blank(line[j]) && line[j] != '\t') ++j;
    if (j < line.size() && line[j] != '\t') continue;
    const std::size_t before = count_fields(line.substr(0, t));
    if (before >= 1 && before < fields) return before + 1;
  }
  return 0;
}

std::string_view after_byte_order_mark(std::string_view s) {
  constexpr std::string_view mark = "\xEF\xBB\xBF";
  return s.starts_with(mark) ? s.substr(mark.size()) : s;
}

std::string shown(std::string_view text) {
  std::string s;
  s.reserve(text.size());
  for (char c : text)
    if (c == '\r')
      s += "\\r";
    else
      s += c;
  return s;
}

std::string_view trim_right(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t')) --n;
  return s.substr(0, n);
}

// ---------------------------------------------------------------- TextIn

TextIn::TextIn(const std::string& name) : name_(trim_right(name)) {
  const int fd = ::open(name_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) io_fail("cannot open file", name_, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    io_fail("cannot open file", name_, err);
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    io_fail("cannot open file", name_, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  }
  text_.resize(static_cast<std::size_t>(st.st_size));
  std::size_t got = 0;
  for (;;) {
    if (got == text_.size()) text_.resize(text_.size() + 65536);  // file grew
    const ssize_t r = ::read(fd, text_.data() + got, text_.size() - got);
    if (r < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      io_fail("cannot read file", name_, err);
    }
    if (r == 0) break;
    got += static_cast<std::size_t>(r);
  }
  ::close(fd);
  text_.resize(got);
  skip_byte_order_mark();
  open_ = true;
}

TextIn TextIn::from_text(std::string text, std::string name) {
  TextIn in;
  in.name_ = std::move(name);
  in.text_ = std::move(text);
  in.skip_byte_order_mark();
  in.open_ = true;
  return in;
}

void TextIn::skip_byte_order_mark() {
  begin_ = text_.size() - after_byte_order_mark(text_).size();
  pos_ = begin_;
}

bool TextIn::exists(const std::string& name) {
  const std::string n(trim_right(name));
  struct stat st;
  if (::stat(n.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ::access(n.c_str(), R_OK) == 0;
}

bool TextIn::getline(std::string_view& line) {
  const std::size_t size = text_.size();
  if (pos_ >= size) return false;
  const char* b = text_.data();
  const void* nl = std::memchr(b + pos_, '\n', size - pos_);
  std::size_t end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - b) : size;
  std::size_t stop = end;
  if (stop > pos_ && b[stop - 1] == '\r') --stop;
  line = std::string_view(b + pos_, stop - pos_);
  pos_ = nl ? end + 1 : size;
  ++line_no_;
  return true;
}

// List-directed input.  A comma right after another separator comma (or at
// the start of the read) is a null value, as is "r*": its targets keep their
// values.  A repeat that outlasts the targets is cut short.
ReadStatus TextIn::read(std::span<const ReadTarget> targets) {
  const char* const b = text_.data();
  const char* const e = b + text_.size();
  const char* p = b + pos_;
  if (p < e) ++line_no_;

  std::size_t ti = 0, k = 0;
  const std::size_t nt = targets.size();
  while (ti < nt && targets[ti].n == 0) ++ti;

  dropped_ = false;
  first_dropped_ = first_repeat_ = {};
  auto finish = [&](ReadStatus s) {
    for (; p < e && *p != '\n'; ++p)
      if (!is_sep(*p) && !dropped_) {
        dropped_ = true;
        const char* t = p;
        while (p + 1 < e && !is_sep(p[1])) ++p;
        first_dropped_ = std::string_view(t, static_cast<std::size_t>(p + 1 - t));
      }
    if (p < e) ++p;
    pos_ = static_cast<std::size_t>(p - b);
    return s;
  };

  if (ti == nt) return p < e ? finish(ReadStatus::ok) : ReadStatus::eof;

  bool after_value = false;
  while (ti < nt) {
    for (;;) {
      while (p < e && is_blank(*p)) ++p;
      if (p < e && *p == '\n') {
        ++p;
        if (p < e) ++line_no_;
        continue;
      }
      break;
    }
    if (p == e) {
      pos_ = text_.size();
      return ReadStatus::eof;
    }
    const char c = *p;
    if (c == '/') {
      ++p;
      break;
    }
    if (c == ',') {
      ++p;
      if (after_value) {
        after_value = false;
        continue;
      }
      // null value
      if (++k == targets[ti].n) {
        k = 0;
        do ++ti;
        while (ti < nt && targets[ti].n == 0);
      }
      continue;
    }
    const char* t = p;
    while (p < e && !is_sep(*p)) ++p;
    after_value = true;
    std::size_t rep = 1;
    bool null = false;
    if (const void* star = std::memchr(t, '*', static_cast<std::size_t>(p - t))) {
      if (first_repeat_.empty())
        first_repeat_ = std::string_view(t, static_cast<std::size_t>(p - t));
      const char* s = static_cast<const char*>(star);
      std::size_t r = 0;
      if (s == t) return finish(ReadStatus::bad);
      for (const char* q = t; q < s; ++q) {
        if (*q < '0' || *q > '9') return finish(ReadStatus::bad);
        r = r * 10 + static_cast<std::size_t>(*q - '0');
        if (r > std::numeric_limits<int>::max()) return finish(ReadStatus::bad);
      }
      if (r == 0) return finish(ReadStatus::bad);
      rep = r;
      t = s + 1;
      null = (t == p);
    }
    for (; rep > 0 && ti < nt; --rep) {
      if (!null && !store(targets[ti], k, t, p)) return finish(ReadStatus::bad);
      if (++k == targets[ti].n) {
        k = 0;
        do ++ti;
        while (ti < nt && targets[ti].n == 0);
      }
    }
  }
  return finish(ReadStatus::ok);
}

RecordRead TextIn::read_record(std::span<const ReadTarget> targets) {
  using F = RecordRead::Fault;
  RecordRead r;
  for (const ReadTarget& tg : targets) r.wanted += tg.n;
  std::string_view line;
  do {
    if (!getline(line)) {
      r.fault = F::eof;
      r.line = line_no_;
      return r;
    }
  } while (blank_line(line));
  r.line = line_no_;
  r.text = line;

  const char* p = line.data();
  const char* const e = p + line.size();
  auto skip_blanks = [&] {
    while (p < e && is_blank(*p)) ++p;
  };
  skip_blanks();
  bool after_comma = false;
  std::size_t ti = 0, k = 0, field = 0;
  const std::size_t nt = targets.size();
  while (ti < nt && targets[ti].n == 0) ++ti;
  while (ti < nt) {
    if (p == e && !after_comma) {
      r.fault = F::short_line;
      r.field = field;
      return r;
    }
    if (p == e || *p == ',') {  // a comma after a comma, at the start or at the end
      r.fault = F::empty_field;
      r.field = field + 1;
      return r;
    }
    const char* t = p;
    while (p < e && !is_blank(*p) && *p != ',') ++p;
    ++field;
    const std::string_view w(t, static_cast<std::size_t>(p - t));
    const ReadTarget& tg = targets[ti];
    F fault = F::none;
    if (w.find('/') != std::string_view::npos)
      fault = F::slash;
    else if (!store(tg, k, t, p))
      fault = F::not_number;
    else if (!is_finite(tg, k))
      fault = F::not_finite;
    else if (lost_to_zero(tg, k, w))
      fault = F::underflow;
    if (fault != F::none) {
      r.fault = fault;
      r.field = field;
      r.word = w;
      r.integer = tg.kind == ReadTarget::I32 || tg.kind == ReadTarget::I64;
      return r;
    }
    if (++k == tg.n) {
      k = 0;
      do ++ti;
      while (ti < nt && targets[ti].n == 0);
    }
    skip_blanks();
    after_comma = p < e && *p == ',';
    if (after_comma) {
      ++p;
      skip_blanks();
    }
  }
  return r;
}

bool TextIn::lone_carriage_returns() const {
  for (std::size_t i = text_.find('\r', begin_); i != std::string::npos; i = text_.find('\r', i + 1))
    if (i + 1 < text_.size() && text_[i + 1] != '\n') return true;
  return false;
}

long TextIn::records_left() const {
  long n = 0;
  bool filled = false;
  for (std::size_t i = pos_; i < text_.size(); ++i) {
    const char c = text_[i];
    if (c == '\n') {
      n += filled ? 1 : 0;
      filled = false;
    } else if (!is_blank(c)) {
      filled = true;
    }
  }
  return n + (filled ? 1 : 0);
}

// ---------------------------------------------------------------- TextOut

TextOut::TextOut(const std::string& name, Mode mode) { open(name, mode); }

void TextOut::open(std::string_view name, Mode mode) {
  close();
  name_.assign(trim_right(name));
  mode_ = mode;
  err_ = 0;
  tally_ = Tally{};
  seen_ = Seen{};
  others_ = false;
  pending_ = 0;
  if (mode == Mode::atomic) {
    tmp_.assign(name_);
    tmp_.append(".tmp");
    f_ = std::fopen(tmp_.c_str(), "w");
    if (!f_) io_fail("cannot open file", tmp_, errno);
  } else {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | (mode == Mode::replace ? O_TRUNC : 0);
    const int fd = ::open(name_.c_str(), flags, 0666);
    if (fd < 0) io_fail("cannot open file", name_, errno);
    struct stat st;
    if (mode == Mode::append && ::fstat(fd, &st) == 0 && st.st_size > 0)
      tally_ = Tally{static_cast<long long>(st.st_size), 0, false};
    f_ = ::fdopen(fd, "a");
    if (!f_) {
      const int err = errno;
      ::close(fd);
      io_fail("cannot open file", name_, err);
    }
  }
  reserve_buffers();
  std::setvbuf(f_, vbuf_.get(), _IOFBF, stream_buffer);
  look_after();
}

void TextOut::reserve_buffers() {
  if (!vbuf_) vbuf_ = std::make_unique_for_overwrite<char[]>(stream_buffer);  // pages touched only as written
  // Room for the free-format lines of a sample file.
  if (buf_.capacity() < 128) buf_.reserve(128);
  if (name_.capacity() < 64) name_.reserve(64);
  if (tmp_.capacity() < 68) tmp_.reserve(68);
}

TextOut::TextOut(TextOut&& o) noexcept
    : seen_(o.seen_),
      others_(o.others_),
      pending_(o.pending_),
      f_(std::exchange(o.f_, nullptr)),
      name_(std::move(o.name_)),
      tmp_(std::move(o.tmp_)),
      buf_(std::move(o.buf_)),
      vbuf_(std::move(o.vbuf_)),
      mode_(o.mode_),
      err_(o.err_),
      tally_(o.tally_) {}

TextOut& TextOut::operator=(TextOut&& o) noexcept {
  if (this != &o) {
    if (f_) {
      std::fclose(f_);
      if (mode_ == Mode::atomic) std::remove(tmp_.c_str());
    }
    f_ = std::exchange(o.f_, nullptr);
    name_ = std::move(o.name_);
    tmp_ = std::move(o.tmp_);
    buf_ = std::move(o.buf_);
    vbuf_ = std::move(o.vbuf_);
    mode_ = o.mode_;
    err_ = o.err_;
    tally_ = o.tally_;
    seen_ = o.seen_;
    others_ = o.others_;
    pending_ = o.pending_;
  }
  return *this;
}

TextOut::~TextOut() {
  if (!f_) return;
  std::fclose(f_);
  f_ = nullptr;
  if (mode_ == Mode::atomic) std::remove(tmp_.c_str());
}

// Input and output failures end the run the way a run-time I/O error does:
// a message on standard error.
void io_fail(const char* what, const std::string& name, int err) {
  std::string m = what;
  m += " \"";
  m += name;
  m += '"';
  if (err != 0) {
    m += ": ";
    m += std::strerror(err);
  }
  fatal_stderr(m);
}

void (*io_probe)(const char* path) = nullptr;
int (*io_fault)(const char* step, const char* path) = nullptr;

int fault_of(const char* step, const char* path) {
  return io_fault ? io_fault(step, path) : 0;
}

// Devices that cannot be put on disk that way are not faults.
int sync_file(int fd, const char* path) {
  if (const int f = fault_of("fsync", path)) return f;
  if (::fsync(fd) == 0 || errno == EINVAL || errno == EROFS) return 0;
  return errno;
}

// The stream writes to the file only when drain() does: a piece that does
// not fit in what is left of the buffer has the buffer written out first,
// and one longer than the buffer is written out at once.
void TextOut::write(std::string_view s) {
  if (!f_ || s.empty()) return;
  if (io_probe) io_probe(path().c_str());
  if (pending_ + s.size() > stream_buffer) drain();
  if (std::fwrite(s.data(), 1, s.size(), f_) != s.size()) keep_reason();
  pending_ += s.size();
  if (pending_ > stream_buffer) drain(true);
  tally_.add(s);
}

void TextOut::line(std::string_view s) {
  if (!f_) return;
  if (io_probe) io_probe(path().c_str());
  if (pending_ + s.size() + 1 > stream_buffer) drain();
  if (!s.empty() && std::fwrite(s.data(), 1, s.size(), f_) != s.size()) keep_reason();
  if (std::fputc('\n', f_) == EOF) keep_reason();
  pending_ += s.size() + 1;
  if (pending_ > stream_buffer) drain(true);
  tally_.add_line(s);
}

namespace {

bool same_time(long long sec, long long nsec, const struct stat& st) {
  return sec == static_cast<long long>(st.st_mtim.tv_sec) && nsec == static_cast<long long>(st.st_mtim.tv_nsec);
}

template <class Seen>
Seen seen_of(const struct stat& st) {
  return Seen{static_cast<long long>(st.st_dev), static_cast<long long>(st.st_ino),
              static_cast<long long>(st.st_mtim.tv_sec), static_cast<long long>(st.st_mtim.tv_nsec), true};
}

}  // namespace

// Result files are written whole to temporaries of their own: nobody else
// writes them, and nothing is looked at.
void TextOut::look_before() {
  if (!f_ || mode_ == Mode::atomic || !seen_.known) return;
  struct stat st;
  if (::fstat(::fileno(f_), &st) == 0 && !same_time(seen_.sec, seen_.nsec, st)) others_ = true;
}

void TextOut::look_after() {
  if (!f_ || mode_ == Mode::atomic) return;
  struct stat st;
  if (::fstat(::fileno(f_), &st) != 0) return;
  seen_ = seen_of<Seen>(st);
}

void TextOut::drain(bool through) {
  // A piece longer than the buffer went to the file in part as it was
  // written, looked at before: the time now is the object's own.
  if (!through) look_before();
  if (std::fflush(f_) != 0) keep_reason();
  pending_ = 0;
  look_after();
}

void TextOut::accept() {
  others_ = false;
  if (f_) {
    look_after();
    return;
  }
  struct stat st;
  if (::stat(name_.c_str(), &st) != 0) return;
  seen_ = seen_of<Seen>(st);
}

void TextOut::watch(std::string_view name) {
  close();
  name_.assign(trim_right(name));
  mode_ = Mode::append;
  seen_ = Seen{};
  accept();
}

TextOut::Check TextOut::check() {
  Check c;
  struct stat mine, named;
  if (!f_) {
    // Closed: its name against the file as last seen.
    if (!seen_.known) return c;
    if (::stat(name_.c_str(), &named) != 0) {
      c.kind = Check::missing;
    } else if (static_cast<long long>(named.st_size) != tally_.bytes) {
      c.kind = Check::resized;
      c.bytes = static_cast<long long>(named.st_size);
    } else if (static_cast<long long>(named.st_dev) != seen_.dev || static_cast<long long>(named.st_ino) != seen_.ino ||
               !same_time(seen_.sec, seen_.nsec, named) || others_) {
      c.kind = Check::touched;
    }
    return c;
  }
  flush();
  if (::fstat(::fileno(f_), &mine) != 0) io_fail("cannot read file", path(), errno);
  if (::stat(path().c_str(), &named) != 0) {
    c.kind = Check::missing;
  } else if (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino) {
    c.kind = Check::replaced;
  } else if (static_cast<long long>(mine.st_size) != tally_.bytes) {
    c.kind = Check::resized;
    c.bytes = static_cast<long long>(mine.st_size);
  } else if (others_) {
    c.kind = Check::touched;
  }
  return c;
}

// The first failure of a write is what later reports of the file give:
// errno has moved on by then, or the stream was written out elsewhere.
void TextOut::keep_reason() {
  if (err_ == 0) err_ = errno;
}

int TextOut::reason() const {
  if (err_ != 0) return err_;
  return errno != 0 ? errno : EIO;
}

void TextOut::flush() {
  if (!f_) return;
  look_before();
  errno = 0;
  if (std::fflush(f_) != 0 || std::ferror(f_)) io_fail("cannot write file", path(), reason());
  pending_ = 0;
  look_after();
}

void TextOut::sync() {
  if (!f_) return;
  flush();
  if (io_probe) io_probe(path().c_str());
  if (const int err = sync_file(::fileno(f_), path().c_str()))
    io_fail("cannot write file", path(), err);
}

void TextOut::seal() {
  if (!f_) return;
  look_before();
  errno = 0;
  bool bad = std::fflush(f_) != 0 || std::ferror(f_) != 0;
  if (bad) keep_reason();
  pending_ = 0;
  if (!bad) look_after();
  if (mode_ == Mode::atomic && !bad) {
    if (io_probe) io_probe(tmp_.c_str());
    if (const int err = sync_file(::fileno(f_), tmp_.c_str())) {
      bad = true;
      if (err_ == 0) err_ = err;
    }
  }
  if (std::fclose(std::exchange(f_, nullptr)) != 0 && !bad) {
    bad = true;
    keep_reason();
  }
  if (!bad) return;
  if (mode_ == Mode::atomic) std::remove(tmp_.c_str());
  io_fail("cannot write file", mode_ == Mode::atomic ? tmp_ : name_, reason());
}

void TextOut::sync_later() {
  if (!f_) return;
  flush();
  const int fd = ::dup(::fileno(f_));
  if (fd < 0) {
    sync();
    return;
  }
  disk::fsync_fd(fd, path().c_str(), false);
}

void TextOut::seal_later() {
  if (!f_) return;
  if (mode_ != Mode::atomic) {
    seal();
    return;
  }
  errno = 0;
  bool bad = std::fflush(f_) != 0 || std::ferror(f_) != 0;
  if (bad) keep_reason();
  const int fd = bad ? -1 : ::dup(::fileno(f_));
  if (!bad && fd < 0) {
    seal();
    return;
  }
  if (std::fclose(std::exchange(f_, nullptr)) != 0 && !bad) {
    bad = true;
    keep_reason();
  }
  if (bad) {
    if (fd >= 0) ::close(fd);
    std::remove(tmp_.c_str());
    io_fail("cannot write file", tmp_, reason());
  }
  disk::fsync_fd(fd, tmp_.c_str(), true);
}

void TextOut::commit() {
  if (!f_) return;
  const bool atomic = mode_ == Mode::atomic;
  seal();
  if (atomic) replace_file(tmp_.c_str(), name_.c_str());
}

void TextOut::close() {
  if (!f_) return;
  if (mode_ != Mode::atomic) {
    commit();
    return;
  }
  std::fclose(std::exchange(f_, nullptr));
  std::remove(tmp_.c_str());
}

void replace_file(const char* from, const char* to) {
  if (io_probe) io_probe(from);
  if (const int f = fault_of("rename", from)) io_fail("cannot replace file", to, f);
  if (std::rename(from, to) != 0) io_fail("cannot replace file", to, errno);
}

int sync_folder_error() {
  if (io_probe) io_probe(".");
  if (const int f = fault_of("folder", ".")) return f;
  const int fd = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  const int err = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS ? 0 : errno;
  ::close(fd);
  return err;
}

void sync_folder() {
  if (const int err = sync_folder_error()) io_fail("cannot write folder", ".", err);
}

long long file_size(const char* name) {
  struct stat st;
  if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

void cut_file(const char* name, long long size) {
  if (::truncate(name, static_cast<off_t>(size)) != 0) io_fail("cannot cut file", name, errno);
}

void remove_file(const char* name) { ::unlink(name); }

}  // namespace util
