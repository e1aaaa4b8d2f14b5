// A file of a store read back on a restart.  Besides the reads of the
// layout, a line that does not fit the model (other words, identifiers or
// labels, more or fewer values, lines past the end), a repeat count r*v,
// which the program never writes, and a number that is not finite or too
// large to use are refused, naming the file, the line and the value: such
// files would poison the continued chain.
#pragma once

#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "run/results/store_record.hpp"
#include "util/textio.hpp"

namespace run {

// Blanks of a line collapsed and trimmed, for comparing lines word by word.
std::string words_of(std::string_view line);
// A number as the messages give it.
std::string text_of(double x);

// While one lives, the files of store st (if any) are read where they
// stand: a store made but not finished has some in their temporaries.
class ReadingStore {
 public:
  explicit ReadingStore(const record::Store* st);
  ~ReadingStore();
  ReadingStore(const ReadingStore&) = delete;
  ReadingStore& operator=(const ReadingStore&) = delete;
};

class ResultIn {
 public:
  // File `name` of the store being read, for a restart at cycle start.
  ResultIn(const char* name, int start);

  // The title line: the title, the cycle before the restart cycle and the
  // chain's burn-in.
  void title(const char* text);
  void skip();
  // A label line that must read as the store writes it for this model.
  void label(const std::string& expected);
  // The next line that holds a word; false at the end of the file.
  bool next_line(std::string_view& line);
  // One free-format read of exactly the values of one line.  False when it
  // cannot be read.
  template <class... T>
  bool values(T&&... t) {
    const util::ReadTarget ts[] = {util::ReadTarget(t)...};
    return checked(std::span<const util::ReadTarget>(ts, sizeof...(T)), 1);
  }
  // The same over exactly `lines` lines (the rows of a matrix).
  bool row_values(std::span<double> v, long lines);
  // Numbers of any size from here on (log-likelihoods and densities).
  void any_size() { bounded_ = false; }
  // A line of `ints` integers (into ids) and one word, then three reals.
  bool labelled(int ints, int* ids, std::string_view word, double& a, double& b, double& c);
  // Identifiers read from the last line against those the model gives there.
  void ids(std::initializer_list<const char*> names, std::initializer_list<int> found,
           std::initializer_list<int> want) const;
  // Nothing but blank lines may follow the last line the model gives.
  void end();
  long line_number() const { return in_.line_number(); }
  // The file as the messages name it.
  const std::string& name() const { return name_; }
  [[noreturn]] void refuse(const std::string& what) const { refuse_at(in_.line_number(), what); }
  // The values the model gives at this point cannot be read (`what` says
  // which): the file ends before them, or holds something else there.
  // The message names the file and the line, and says to put back the file
  // of the store.
  [[noreturn]] void unreadable(const std::string& what) const;
  [[noreturn]] void refuse_at(long line, const std::string& what) const;
  // A value of the last line read that must lie in [lo, hi], give or take
  // the rounding of its field.
  void within(double x, double lo, double hi, const std::string& what, double rounding = 0) const;
  void above(double x, double lo, const std::string& what) const;

 private:
  bool checked(std::span<const util::ReadTarget> ts, long lines);
  // A read that failed: whether it ran out of file (else it met something
  // other than the values); false, for the reader to return.
  bool ran_out(bool end) {
    ran_out_ = end;
    return false;
  }
  // The values just read by `in`: the forms and sizes the program writes,
  // and no more of them on the line.
  void check(const util::TextIn& in, std::span<const util::ReadTarget> ts) const;
  std::string name_;
  util::TextIn in_;
  int start_;
  bool bounded_ = true;
  bool ran_out_ = false;
};

}  // namespace run
