// Text files: input read whole into memory (line reads and free-format
// reads), result files replaced atomically, sample files written new or
// appended.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/checksum.hpp"
#include "util/format.hpp"

namespace util {

// Status of a free-format read.
enum class ReadStatus { ok, eof, bad };

// A target of a free-format read: one variable, or every element of a span.
struct ReadTarget {
  enum Kind : unsigned char { I32, I64, R32, R64 } kind;
  void* p;
  std::size_t n;
  ReadTarget(int& v) : kind(I32), p(&v), n(1) {}
  ReadTarget(std::int64_t& v) : kind(I64), p(&v), n(1) {}
  ReadTarget(float& v) : kind(R32), p(&v), n(1) {}
  ReadTarget(double& v) : kind(R64), p(&v), n(1) {}
  ReadTarget(std::span<int> v) : kind(I32), p(v.data()), n(v.size()) {}
  ReadTarget(std::span<std::int64_t> v) : kind(I64), p(v.data()), n(v.size()) {}
  ReadTarget(std::span<float> v) : kind(R32), p(v.data()), n(v.size()) {}
  ReadTarget(std::span<double> v) : kind(R64), p(v.data()), n(v.size()) {}
};

// Outcome of a record read (TextIn::read_record).
struct RecordRead {
  enum class Fault : unsigned char {
    none,
    eof,          // no record left
    short_line,   // fewer fields than wanted
    empty_field,  // nothing between two commas (or before a first, after a last)
    slash,        // a "/" in a field
    not_number,   // not a number of the target's kind (integer or real)
    not_finite,   // a real that is NaN or infinite
    underflow     // a real that is not 0 but too near 0 for the target: it would read as 0
  };
  Fault fault = Fault::none;
  long line = 0;           // the record's line (at eof: the lines read)
  std::size_t field = 0;   // the field at fault, from 1; for short_line the fields found
  std::size_t wanted = 0;  // the values the read wanted
  bool integer = false;    // the field at fault was to be an integer
  std::string_view word;   // the text of the field at fault (a view into the file)
  std::string_view text;   // the record's whole line (a view into the file)
  bool ok() const { return fault == Fault::none; }
};

// What a faulty record read met, for messages: `field 3 "NA" is not a number`.
std::string describe(const RecordRead& r);

// True for the words that stand for a missing value in files written by
// other means (NA, NaN, null, none, missing, ".", "-", "--", "?", "*", in
// any case): where this program reads a number, 0 is the missing code.
bool missing_word(std::string_view w);

// Fields of a record's line as a record read splits them (at blanks, tabs
// and commas), counted to the end of the line.
std::size_t count_fields(std::string_view line);

// In a line whose fields are separated by blanks or tabs (a blank or tab
// between two fields with no comma beside it), the first word that holds a
// comma between two digits within the first `fields` fields (as a read
// splits them): a number written with a decimal comma, which the read takes
// as two.  Empty when there is none.
std::string_view decimal_comma(std::string_view line, std::size_t fields);

// In a line whose cells are separated by tabs, the field (from 1) that an
// empty cell stands for when it falls within the first `fields` fields: a
// cell of nothing but blanks between two tabs, or after a last tab, with a
// field before it.  A read passes over such a cell, so the values after it
// move one field to the left.  0 when there is none.
std::size_t empty_tab_cell(std::string_view line, std::size_t fields);

// An input text file, held in memory.  Opening never creates a file: a
// missing or unreadable file stops the run with a message naming it.  A
// UTF-8 byte-order mark at the start (the bytes EF BB BF, which some editors
// save first) marks the encoding and is no text: reads begin after it.
class TextIn {
 public:
  TextIn() = default;
  // Opens name (trailing blanks removed).  Stops the run when it cannot.
  explicit TextIn(const std::string& name);
  // Same, over text given directly (tests, in-memory data).
  static TextIn from_text(std::string text, std::string name = "(text)");
  // True when name exists and is a readable regular file.
  static bool exists(const std::string& name);

  bool is_open() const { return open_; }
  const std::string& name() const { return name_; }

  // Next line, without its end-of-line characters ("\n" or "\r\n").
  // False at end of file.
  bool getline(std::string_view& line);
  // Free-format read: starts on a new line, may span lines, and skips the
  // rest of its last line.  Separators: blank, tab, comma, line end.  E and D
  // exponents are accepted, and r*v repeats.  On eof or bad the position is
  // after the line where the read stopped.
  ReadStatus read(std::span<const ReadTarget> targets);
  template <class... T>
  ReadStatus readv(T&&... t) {
    const ReadTarget ts[] = {ReadTarget(t)...};
    return read(std::span<const ReadTarget>(ts, sizeof...(T)));
  }
  // Record read: one line is one record.  Blank lines are skipped; the first
  // fields of the next line fill the targets in order, and the rest of the
  // line is not looked at.  Fields are separated by blanks, tabs, or one comma
  // with or without blanks around it.  A line with too few fields, an empty
  // field, a "/", a word that is not a number (an integer target takes only
  // an integer), a real that is not finite and a real that is not 0 but
  // reads as 0 are faults, after which the targets are partly filled.  A
  // real nearer 0 than the target's normal numbers but not 0 is kept as it
  // reads, with fewer digits.  Allocates nothing.
  RecordRead read_record(std::span<const ReadTarget> targets);
  template <class... T>
  RecordRead read_recordv(T&&... t) {
    const ReadTarget ts[] = {ReadTarget(t)...};
    return read_record(std::span<const ReadTarget>(ts, sizeof...(T)));
  }
  // Non-blank lines after the current position (the position stays).
  long records_left() const;
  void rewind() { pos_ = begin_; line_no_ = 0; }
  // Number of lines consumed so far (the last line read or skipped).
  long line_number() const { return line_no_; }
  bool at_end() const { return pos_ >= text_.size(); }
  // True when a carriage return ends a line without a line feed after it
  // (the line ends of old Mac files): such a file reads as one line.
  bool lone_carriage_returns() const;
  // True when the last free-format read left items unread on its last line.
  bool dropped_items() const { return dropped_; }
  // The first item the last free-format read left unread, and the first
  // repeat (r*v) it took; empty when there is none.
  std::string_view first_dropped() const { return first_dropped_; }
  std::string_view first_repeat() const { return first_repeat_; }

 private:
  std::string name_;
  std::string text_;
  void skip_byte_order_mark();
  std::size_t begin_ = 0;  // where the text begins: after a byte-order mark
  std::size_t pos_ = 0;
  long line_no_ = 0;
  bool open_ = false;
  bool dropped_ = false;
  std::string_view first_dropped_, first_repeat_;
};

// An output text file.
class TextOut {
 public:
  enum class Mode { replace, append, atomic };
  TextOut() = default;
  // replace: created new or truncated; append: opened at its end (created if
  // missing); atomic: written to a temporary file in the same folder and
  // renamed over name by commit(), so an interrupted write never damages the
  // old file.  Stops the run when the file cannot be opened.  replace and
  // append files are written at their end whatever happened to them, so
  // that a file cut under the writer shows in its length (check()).
  TextOut(const std::string& name, Mode mode);
  // Finishes what is open (as close does) and opens name; the object's
  // strings and buffers are reused, so a file opened again costs no memory.
  void open(std::string_view name, Mode mode);
  // Makes now the buffers that opening files of names up to 64 characters
  // needs, for an object that opens file after file.
  void reserve_buffers();
  TextOut(TextOut&& o) noexcept;
  TextOut& operator=(TextOut&& o) noexcept;
  TextOut(const TextOut&) = delete;
  TextOut& operator=(const TextOut&) = delete;
  ~TextOut();

  bool is_open() const { return f_ != nullptr; }
  const std::string& name() const { return name_; }

  void write(std::string_view s);  // as it stands
  void line(std::string_view s);   // plus a newline
  template <class... A>
  void free(const A&... a) {  // one free-format line
    buf_.clear();
    free_format_to(buf_, FmtArgs(a...).items());
    line(buf_);
  }
  void fmt(std::string_view f, const FmtArgs& args) {  // one formatted block
    line(format(f, args));
  }
  void flush();
  // Writes out pending lines and has the system put them on disk.
  void sync();
  // Finishes the file: atomic files are put on disk and renamed into place;
  // others closed.
  void commit();
  // An atomic file finished but not renamed: written out, on disk and
  // closed; its temporary waits for replace_file.  A file that cannot be
  // finished loses its temporary and stops the run.
  void seal();
  // As sync and seal, but the file's fsync is queued on util::disk, to be
  // made with the rest of a store while the run goes on.
  void sync_later();
  void seal_later();
  // Closes without committing (an atomic file's temporary is removed).
  void close();

  // The file as this object wrote it: what it held when opened (append:
  // its length, its checksum not yet known) and every byte written since.
  // Kept once the file is closed, until the next open; bytes -1 for an
  // object that has opened nothing and been told nothing.
  const Tally& tally() const { return tally_; }
  // The file holds t (a file reopened at its end, or one checked by whoever
  // knows what it held): later writes go on from it.
  void resume(const Tally& t) { tally_ = t; }
  // The file under the object's name against what the object wrote, once
  // pending lines are written out: the same file (device and inode), length
  // and modification time, or what differs.  The time is the one the file
  // had after the object's own last write (each write of the stream is
  // followed by a look at the file, and preceded by one that notes a time
  // another program set meanwhile): `touched` tells that another program
  // wrote to the file, or set its time, since then; whether it changed a
  // byte only its bytes can tell.  A write of another program within the
  // same tick of the file system's clock as one of the object's own keeps
  // the time and is not seen.  A closed file is checked at its name as it
  // was when closed (or when watched): missing, resized, or touched (also
  // when another file has its name now).
  struct Check {
    enum Kind { same, missing, replaced, resized, touched } kind = same;
    long long bytes = 0;  // its length now (resized)
  };
  Check check();
  // After a check that found the file touched and its bytes those the object
  // wrote: the file as it is now is the object's.
  void accept();
  // A closed file `name` that the object's tally describes (one it has not
  // written in this process): checked from now on as if the object had
  // closed it.
  void watch(std::string_view name);
  // The object knows the file it checks (it opened or watched one).
  bool watched() const { return seen_.known; }

 private:
  const std::string& path() const { return mode_ == Mode::atomic ? tmp_ : name_; }
  void keep_reason();
  int reason() const;
  // The stream's buffer written out (errors kept for the next flush), with
  // a look at the file before (unless the piece just written went `through`
  // the buffer to the file) and after.
  void drain(bool through = false);
  // Before a write of the object: a time the object did not leave notes
  // another writer.  After it: the file's identity and time are noted.
  void look_before();
  void look_after();
  // What the object last saw of its file: device, inode and modification
  // time (seconds and nanoseconds).
  struct Seen {
    long long dev = 0, ino = 0, sec = 0, nsec = 0;
    bool known = false;
  };
  Seen seen_;
  bool others_ = false;      // another program set the time since the last check
  std::size_t pending_ = 0;  // bytes in the stream's buffer
  std::FILE* f_ = nullptr;
  std::string name_, tmp_;
  std::string buf_;  // line buffer of free(), reused
  std::unique_ptr<char[]> vbuf_;  // the stream's buffer, kept across opens
  Mode mode_ = Mode::replace;
  int err_ = 0;  // errno of the first failed write since the file was opened
  Tally tally_{-1, 0, false};
};

// Stops the run for a failed input or output: what "name": the system's reason.
[[noreturn]] void io_fail(const char* what, const std::string& name, int err);

// Renames from over to, replacing it in one step; stops the run when it
// cannot.
void replace_file(const char* from, const char* to);
// Has the system put the entries of the working folder on disk, so that
// renames done so far survive a crash; stops the run when it cannot
// ("cannot write folder ".": ...").  sync_folder_error does the same and
// returns the system's reason, 0 when it worked.
void sync_folder();
int sync_folder_error();
// Has the system put the file open on fd on disk: 0, or the reason it
// could not (path names it for the test seam below).
int sync_file(int fd, const char* path);
// Size in bytes of a regular file, or -1 when there is none.
long long file_size(const char* name);
// Cuts a file to its first size bytes; stops the run when it cannot.
void cut_file(const char* name, long long size);
// Removes a file if it exists.
void remove_file(const char* name);

// When set, called before each output line or piece, each file put on disk
// and each rename, with the path concerned: tests stop the process there to
// see what an interruption at that moment leaves.
extern void (*io_probe)(const char* path);
// When set, asked before each file is put on disk (step "fsync"), each
// rename ("rename"), each sync of the folder ("folder") and each try to lock
// a file ("lock"), with the path concerned: a non-zero errno value makes that
// step fail as if the system had refused it.  Tests fail a store at a chosen
// step, or a file system that cannot lock, with it.
extern int (*io_fault)(const char* step, const char* path);
// The fault io_fault sets for a step, or 0.
int fault_of(const char* step, const char* path);

// Removes trailing blanks (fixed-width names compare and open without them).
std::string_view trim_right(std::string_view s);

// The text with each carriage return written as the two characters \r: a
// message that quotes a file shows one rather than moving to the start of
// its line.
std::string shown(std::string_view text);

// The text after a UTF-8 byte-order mark at its start (the whole text when it
// has none): the mark names the encoding and is no part of the text.
std::string_view after_byte_order_mark(std::string_view s);

}  // namespace util
