// Checksums of the files a chain writes, so that a restart can tell the
// files of its own store from files of another chain or files changed
// since: a 64-bit cyclic redundancy check of polynomial 0x42F0E1EBA9EA3693
// (0xC96C5795D7870F42 with its bits reflected), bits taken lowest first,
// started from all ones and its result inverted; "123456789" gives
// 995dc9bbdf1939fa.
#pragma once

#include <cstdint>
#include <string_view>

namespace util {

// The checksum of the bytes before, taken on over `more`: crc64(crc64(0, a),
// b) is crc64(0, a followed by b), and no bytes give 0.
std::uint64_t crc64(std::uint64_t sum, std::string_view more);
// The same over `line` and a newline.
std::uint64_t crc64_line(std::uint64_t sum, std::string_view line);

// What a file holds, as its writer counts it: its length and the checksum
// of its bytes.  `summed` is false while the checksum of bytes the writer
// did not write (a file opened at its end) is not yet known.
struct Tally {
  long long bytes = 0;
  std::uint64_t sum = 0;
  bool summed = true;
  void add(std::string_view s) {
    bytes += static_cast<long long>(s.size());
    sum = crc64(sum, s);
  }
  void add_line(std::string_view s) {
    bytes += static_cast<long long>(s.size()) + 1;
    sum = crc64_line(sum, s);
  }
};

// The tally of the first `bytes` bytes of file `name` (all of it when bytes
// is below 0; fewer where the file ends).  False when there is no such file;
// a file that cannot be read stops the run.  With as_read, the file as the
// program's readers read it: a UTF-8 byte-order mark at the start (which
// names the encoding) and a carriage return before each line feed (CR LF
// line ends) are left out of the tally, as the readers skip them.
bool tally_of_file(const char* name, long long bytes, Tally& t, bool as_read = false);

// A checksum as a file records it: 16 hexadecimal digits, and back (false
// when `word` is not one).
void put_checksum(std::string& to, std::uint64_t sum);
bool read_checksum(std::string_view word, std::uint64_t& sum);

}  // namespace util
