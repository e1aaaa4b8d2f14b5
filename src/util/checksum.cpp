#include "util/checksum.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>

#include "util/textio.hpp"

namespace util {

namespace {

constexpr std::uint64_t poly = 0xC96C5795D7870F42ULL;  // 0x42F0E1EBA9EA3693, reflected

// Eight tables: eight bytes a step (table k takes a byte k places further on).
constexpr std::array<std::array<std::uint64_t, 256>, 8> make_tables() {
  std::array<std::array<std::uint64_t, 256>, 8> t{};
  for (std::uint64_t b = 0; b < 256; ++b) {
    std::uint64_t c = b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ poly : c >> 1;
    t[0][b] = c;
  }
  for (int k = 1; k < 8; ++k)
    for (int b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xff];
  return t;
}
constexpr auto tables = make_tables();

// The register over bytes p[0, n).
inline std::uint64_t run(std::uint64_t c, const unsigned char* p, std::size_t n) {
  for (; n >= 8; n -= 8, p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    c ^= w;
    c = tables[7][c & 0xff] ^ tables[6][(c >> 8) & 0xff] ^ tables[5][(c >> 16) & 0xff] ^
        tables[4][(c >> 24) & 0xff] ^ tables[3][(c >> 32) & 0xff] ^ tables[2][(c >> 40) & 0xff] ^
        tables[1][(c >> 48) & 0xff] ^ tables[0][c >> 56];
  }
  for (; n > 0; --n, ++p) c = tables[0][(c ^ *p) & 0xff] ^ (c >> 8);
  return c;
}

inline const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

std::uint64_t crc64(std::uint64_t sum, std::string_view more) { return ~run(~sum, bytes(more), more.size()); }

std::uint64_t crc64_line(std::uint64_t sum, std::string_view line) {
  const std::uint64_t c = run(~sum, bytes(line), line.size());
  return ~(tables[0][(c ^ '\n') & 0xff] ^ (c >> 8));
}

bool tally_of_file(const char* name, long long bytes, Tally& t, bool as_read) {
  t = Tally{};
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return false;
    io_fail("cannot open file", name, errno);
  }
  constexpr std::size_t chunk = 1 << 20;
  const auto buf = std::make_unique_for_overwrite<char[]>(chunk);
  long long taken = 0;  // bytes of the file read
  bool start = true;
  bool cr = false;  // a carriage return at the end of the last piece, not yet told
  // The piece as its readers take it: a carriage return counts unless a
  // line feed follows it.
  auto add_as_read = [&](std::string_view got) {
    while (!got.empty()) {
      if (cr) {
        cr = false;
        if (got.front() != '\n') t.add("\r");
      }
      const std::size_t at = got.find('\r');
      t.add(got.substr(0, at));
      if (at == std::string_view::npos) break;
      cr = true;
      got.remove_prefix(at + 1);
    }
  };
  for (;;) {
    std::size_t want = chunk;
    if (bytes >= 0) {
      if (taken >= bytes) break;
      want = static_cast<std::size_t>(std::min<long long>(bytes - taken, chunk));
    }
    const ssize_t r = ::read(fd, buf.get(), want);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) {
      const int err = errno;
      ::close(fd);
      io_fail("cannot read file", name, err);
    }
    if (r == 0) break;
    taken += r;
    std::string_view got(buf.get(), static_cast<std::size_t>(r));
    if (!as_read) {
      t.add(got);
      continue;
    }
    if (start) got = after_byte_order_mark(got);
    start = false;
    add_as_read(got);
  }
  if (cr) t.add("\r");
  ::close(fd);
  return true;
}

void put_checksum(std::string& to, std::uint64_t sum) {
  char b[16];
  for (int k = 15; k >= 0; --k, sum >>= 4) b[k] = "0123456789abcdef"[sum & 0xf];
  to.append(b, 16);
}

bool read_checksum(std::string_view word, std::uint64_t& sum) {
  if (word.size() != 16) return false;
  std::uint64_t v = 0;
  const auto r = std::from_chars(word.data(), word.data() + word.size(), v, 16);
  if (r.ec != std::errc() || r.ptr != word.data() + word.size()) return false;
  sum = v;
  return true;
}

}  // namespace util
