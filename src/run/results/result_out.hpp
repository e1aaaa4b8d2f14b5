// A result file of a store under construction: lines are gathered in a
// buffer and handed to the file's temporary in large pieces; the store
// renames the temporaries into place (run/results/store_record.hpp).  The
// files of a store are written one at a time, and every store reuses the
// same stream and buffer: a periodic store allocates nothing.
#pragma once

#include <string>
#include <string_view>

#include "util/format.hpp"
#include "util/textio.hpp"

namespace run::results {

class ResultOut {
 public:
  explicit ResultOut(const char* name);
  // A file left unsealed by a stop keeps the old one and loses its temporary.
  ~ResultOut() { out_.close(); }
  ResultOut(const ResultOut&) = delete;
  ResultOut& operator=(const ResultOut&) = delete;

  // The line being made, for fields put by util::put_*_field.
  std::string& buf() { return buf_; }
  void end_line() {
    buf_.push_back('\n');
    if (buf_.size() >= (1 << 16)) spill();
  }
  // A free-format line.
  template <class... A>
  void free(const A&... a) {
    util::free_format_to(buf_, util::FmtArgs(a...).items());
    end_line();
  }
  void text(std::string_view s) {
    buf_ += s;
    end_line();
  }
  // The title line: the title, the cycle of the store and the burn-in,
  // which the restart reads back (ResultIn::title).
  void title(const char* t);
  // Written whole and put on disk; the store renames it into place.
  void seal() {
    spill();
    out_.seal_later();
  }
  // The length and checksum of the file last sealed, for the store record.
  static const util::Tally& sealed();

 private:
  void spill() {
    out_.write(buf_);
    buf_.clear();
  }
  util::TextOut& out_;
  std::string& buf_;
};

}  // namespace run::results
