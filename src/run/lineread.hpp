// Line tokeniser of the parameter file, and a few text and table utilities.
//
// A line is split into words at blanks and tabs; it may be of any length and
// hold any number of words.  Words keep their full length.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/array.hpp"
#include "util/textio.hpp"

namespace textop {

// Words of one line.  n is the word count, -1 at end of file; the word texts
// of the previous line then stay in `xc` but word() no longer returns them.
struct Words {
  int n = 0;
  std::vector<std::string> xc;  // xc[k - 1] is word k (k <= n)
  long line = 0;                // number of the line in its file; at end of file, of the last line
  std::string text;             // the line as read; empty at end of file

  // Word k (1-based); empty when k is not within 1..n.
  std::string_view word(int k) const {
    return k >= 1 && k <= n ? std::string_view(xc[static_cast<std::size_t>(k - 1)])
                            : std::string_view();
  }
};

// Integer value of a word: an optional leading '-', then digits up to the
// first character that is not one ("12ab" is 12, "1.5" is 1, "y" and "+3"
// are 0).  Returns false when the value does not fit in 32 bits.
bool word_int(std::string_view w, int& value);

// Reading a word as a number where a number must stand.
enum class NumRead { ok, not_a_number, out_of_range };

// A whole number: an optional sign, then digits and nothing else ("1e4",
// "4O", "1.5" and "five" are not).  out_of_range beyond 32 bits.
NumRead whole_number(std::string_view w, int& value);

// A real number in any form field_real takes ("1e4" is); a value that is not
// finite is out_of_range.
NumRead real_number(std::string_view w, double& value);

// Splits text into words.
void nums(std::string_view text, Words& w);

// Reads the next line that is not a comment ('#' as its first character
// after leading blanks and tabs) and splits it.  A blank line gives n = 0;
// end of file gives n = -1.  Returns false at end of file.
bool readline(util::TextIn& in, Words& w);

// Value of the first n characters of a by the rule of word_int; 0 when n is
// below 1 (below 2 when a begins with '-') or no digit follows the sign.  A
// value beyond 32 bits stops the run.
int decode(std::string_view a, int n);

// The integers as decimal text separated by single blanks.
std::string pack(std::span<const int> ix);

// Splits a text at blanks and tabs: n = word count; word k and its value go
// to xc(k) and x(k) when k is within the span's size (an empty span stores
// nothing).  The value is the number in the word's first 12 characters, or 0
// when they do not hold one.
void nums2(std::string_view a, int& n, std::span<double> x = {},
           std::span<std::string> xc = {});

// Value of a numeric field as nums2 reads it: optional sign, digits with an
// optional decimal point, optional exponent (E, D, e or d, optional sign);
// false when the text is not such a number.
bool field_real(std::string_view f, double& value);
bool field_real(std::string_view f, float& value);

// Looks, from the start of the file, for the first line whose first two words
// are "OPTION" and name; n = number of the words after the name (copied, with
// their values, into xc and x as far as each holds), or -1 when none.
void getoption(util::TextIn& par, std::string_view name, int& n,
               std::span<double> x = {}, std::span<std::string> xc = {});

// Table res(1..256): for entry k, the bits of k-1 pick the coefficients b of
// eight relatives (0.5 for the first four, -0.25 for the last four); res(k) =
// 1/(1 - b'Vb), or 0 when b'Vb reaches 0.9999.
void creatres(util::vec1<double>& res);

}  // namespace textop
