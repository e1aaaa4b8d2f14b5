// A new user's own files through the program: what would be misread
// silently is warned of, refusals point at the likely cause, and the
// program's arguments are answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

// Two traits, a fixed class (3 levels), a covariable and an additive animal
// effect of 30 animals (the first 10 founders); 40 records.
std::string parameters(const std::string& r = "2 0.5\n0.5 3", const std::string& g = "1 0.2\n0.2 1.5",
                       const std::string& effects = "3 3 3 cross n\n4 4 1 cov n\n5 5 30 cross n") {
  return "MCMC_CHAIN:\n40 10 5\nSEED\n7\nRESTART:\nn\nDATAFILE\ndata.txt 40\nNUMBER_OF_TRAITS\n2\n"
         "NUMBER_OF_EFFECTS\n3\nOBSERVATION(S)\n1 2\nWEIGHT(S)\n\nEFFECTS:\n" +
         effects + "\nRANDOM_RESIDUAL:\nhomogeneous 0\nRESIDUAL_PRIOR_(CO)VARIANCES\n" + r +
         "\nRANDOM_GROUP\n3\nRANDOM_TYPE\nadd_animal 0\nPEDIGREEFILE:\npedigree.txt 30\n(CO)VARIANCES\n" + g + "\n";
}

std::vector<std::string> pedigree_lines() {
  std::vector<std::string> v;
  for (int a = 1; a <= 30; ++a)
    v.push_back(a <= 10 ? std::to_string(a) + " 0 0"
                        : std::to_string(a) + " " + std::to_string((a * 7) % 5 + 1) + " " +
                              std::to_string((a * 3) % 5 + 6));
  return v;
}

// Line r (from 1): trait 1, trait 2, class, covariable, animal.
std::vector<std::string> data_lines() {
  std::vector<std::string> v;
  char line[96];
  for (int r = 1; r <= 40; ++r) {
    std::snprintf(line, sizeof line, "%.4f %.4f %d %.4f %d", 10.0 + 2.0 * std::sin(r), 20.0 + 3.0 * std::cos(r),
                  r % 3 + 1, 0.1 * (r % 7) - 0.3, (r * 11) % 30 + 1);
    v.push_back(line);
  }
  return v;
}

void write_lines(const fs::path& p, const std::vector<std::string>& lines) {
  std::ofstream o(p, std::ios::binary);
  for (const std::string& l : lines) o << l << "\n";
}

void write_model(const fs::path& d, const std::vector<std::string>& data,
                 const std::vector<std::string>& ped = pedigree_lines(), const std::string& par = parameters()) {
  write_lines(d / "data.txt", data);
  write_lines(d / "pedigree.txt", ped);
  std::ofstream(d / "params.txt", std::ios::binary) << par;
}

// Field k (from 1) of a data line replaced by word.
std::string with_field(const std::string& line, int k, const std::string& word) {
  std::vector<std::string> f;
  std::istringstream in(line);
  for (std::string w; in >> w;) f.push_back(w);
  f[static_cast<std::size_t>(k - 1)] = word;
  std::string out;
  for (const std::string& w : f) out += (out.empty() ? "" : " ") + w;
  return out;
}

// The lines of the program's output that contain text.
std::vector<std::string> lines_with(const std::string& out, const std::string& text) {
  std::vector<std::string> v;
  for (const std::string& l : lines_of(out))
    if (l.find(text) != std::string::npos) v.push_back(l);
  return v;
}

class OwnData : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
  }
};

// Lines whose field counts differ from the first record's are warned of
// once, at the first of them, whether or not the shifted columns are then
// refused; lines after the records analysed are not looked at.  A warning
// changes no result file.
TEST_F(OwnData, UnevenFieldCountsAreWarnedOfAtTheFirstSuchLine) {
  const std::vector<std::string> clean = data_lines();
  auto edited = [&clean](std::vector<std::pair<int, std::string>> edits) {
    std::vector<std::string> data = clean;
    for (const auto& [line, text] : edits) {
      if (line > static_cast<int>(data.size())) data.resize(static_cast<std::size_t>(line));
      data[static_cast<std::size_t>(line - 1)] = text;
    }
    return data;
  };
  // The same numbers, separated by ", " on even lines and by tabs on odd
  // ones, with a blank line after the fifth.
  std::vector<std::string> separators = clean;
  for (std::size_t k = 0; k < separators.size(); ++k) {
    const std::string sep = k % 2 == 1 ? ", " : "\t";
    for (std::size_t p = separators[k].find(' '); p != std::string::npos; p = separators[k].find(' ', p + sep.size()))
      separators[k].replace(p, 1, sep);
  }
  separators.insert(separators.begin() + 5, "");
  // Line 7 with a decimal comma in trait 1: its trait 2 lands in the class
  // column, which then holds no whole number.
  std::string comma7 = clean[6];
  comma7[comma7.find('.')] = ',';
  const std::string tail = ": fields are separated by blanks, tabs or commas, so a decimal comma splits a number"
                           " in two (325,6 is read as 325 and 6) and shifts the columns after it; if a decimal"
                           " comma is the cause, the results are wrong until the file is fixed: write decimals"
                           " with a point";
  // A line that holds the decimal comma is warned of as such.
  const std::string comma_tail = ": fields are separated by blanks, tabs or commas, so a decimal comma splits a"
                                 " number in two (325,6 is read as 325 and 6) and shifts the columns after it; the"
                                 " results are wrong until the file is fixed: write decimals with a point";
  struct Case {
    const char* name;
    std::vector<std::string> data;
    int status;
    std::string warning;  // "" none
    bool same_results;    // the numbers read are those of the clean file
  };
  const Case cases[] = {
      {"clean", clean, 0, "", true},
      {"decimal comma", edited({{7, comma7}}), 1,
       " warning: line 7 of data file data.txt separates its fields by blanks or tabs and holds " +
           comma7.substr(0, comma7.find(' ')) + ", 6 fields where the first record (line 1) holds 5" + comma_tail,
       false},
      {"notes after lines 12 and 30", edited({{12, clean[11] + " checked"}, {30, clean[29] + " x"}}), 0,
       " warning: line 12 of data file data.txt holds 6 fields where the first record (line 1) holds 5" + tail, true},
      {"first record longer", edited({{1, clean[0] + " 1"}}), 0,
       " warning: line 2 of data file data.txt holds 5 fields where the first record (line 1) holds 6" + tail, true},
      {"commas, tabs and a blank line", separators, 0, "", true},
      {"longer line after the records analysed", edited({{41, clean[0] + " 7"}}), 0, "", true},
      // A missing covariable left blank: the animal moves into its column
      // and the sixth column into the animal's.
      {"an empty cell of a tab-separated file", [&] {
         std::vector<std::string> v = clean;
         v[8] = with_field(v[8], 4, "");
         for (std::string& l : v) {
           std::replace(l.begin(), l.end(), ' ', '\t');
           l += "\t1";
         }
         return v;
       }(),
       0,
       " warning: line 9 of data file data.txt separates its fields by tabs and field 4 is an empty cell, which the"
       " read passes over (the values after it move one field to the left): write 0, the missing code, for a"
       " missing value",
       false},
  };
  std::string reference;  // "solutions" of the clean file
  for (const Case& c : cases) {
    write_model(dir(), c.data);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, c.status) << c.name << "\n" << p.out << p.err;
    const auto warnings = lines_with(p.out, " warning: line ");
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty()) << c.name << ": " << warnings[0];
    } else {
      ASSERT_EQ(warnings.size(), 1u) << c.name << "\n" << p.out;
      EXPECT_EQ(warnings[0], c.warning) << c.name;
    }
    if (!c.same_results) continue;
    const std::string solutions = read_file(dir() / "solutions");
    if (reference.empty()) reference = solutions;
    EXPECT_EQ(solutions, reference) << c.name;
  }
}

// Ids first, traits last: a decimal comma on a line whose fields are
// separated by blanks is warned of once, at its first line, with the field
// counts where they differ, and the warning says the results are wrong;
// commas that separate fields, and a comma after the fields read, are not.
TEST_F(OwnData, DecimalCommasAreWarnedOfAtTheFirstSuchLine) {
  const std::string par = [] {
    std::string p = parameters("2 0.5\n0.5 3", "1 0.2\n0.2 1.5", "1 1 3 cross n\n2 2 1 cov n\n3 3 30 cross n");
    p.replace(p.find("OBSERVATION(S)\n1 2\n"), 19, "OBSERVATION(S)\n4 5\n");
    return p;
  }();
  // Line r: class, covariable, animal, trait 1, trait 2, each trait with
  // its decimal separator, or whole (as spreadsheets write 12,0 as 12).
  auto lines = [](char point, int whole_until, const std::string& sep = " ", const std::string& note = "") {
    std::vector<std::string> v;
    for (const std::string& l : data_lines()) {
      std::vector<std::string> f;
      std::istringstream in(l);
      for (std::string w; in >> w;) f.push_back(w);
      for (int k : {0, 1}) {
        if (static_cast<int>(v.size()) < whole_until) f[k] = f[k].substr(0, f[k].find('.'));
        std::replace(f[k].begin(), f[k].end(), '.', point);
      }
      v.push_back(f[2] + sep + f[3] + sep + f[4] + sep + f[0] + sep + f[1] + note);
    }
    return v;
  };
  const std::string tail = ": fields are separated by blanks, tabs or commas, so a decimal comma splits a number"
                           " in two (325,6 is read as 325 and 6) and shifts the columns after it; the results are"
                           " wrong until the file is fixed: write decimals with a point";
  const std::vector<std::string> commas = lines(',', 0), spreadsheet = lines(',', 1);
  struct Case {
    const char* name;
    std::vector<std::string> data;
    std::string warning;  // "" none
    bool same_results;    // the numbers read are those of the clean file
  };
  const Case cases[] = {
      {"clean", lines('.', 0), "", true},
      // Every line: field counts agree, and trait 1 is cut to its whole part.
      {"decimal commas on every line", commas,
       " warning: line 1 of data file data.txt separates its fields by blanks or tabs and holds 11,6829" + tail,
       false},
      // The first record whole, the next with commas: one warning, at line 2.
      {"whole values without a comma", spreadsheet,
       " warning: line 2 of data file data.txt separates its fields by blanks or tabs and holds 11,8186, 7 fields"
       " where the first record (line 1) holds 5" + tail,
       false},
      {"a note with a comma after the fields read", lines('.', 0, " ", " 12,5"), "", true},
      {"fields separated by commas", lines('.', 0, ","), "", true},
      // The traits' comma follows a number that has its point: a separator.
      {"a comma after a number with its point", [&] {
         std::vector<std::string> v = lines('.', 0);
         for (std::string& l : v) l[l.rfind(' ')] = ',';
         return v;
       }(),
       "", true},
      {"fields separated by \", \"", lines('.', 0, ", "), "", true},
  };
  std::string reference;
  for (const Case& c : cases) {
    write_model(dir(), c.data, pedigree_lines(), par);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    const auto warnings = lines_with(p.out, "decimal comma");
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty()) << c.name << ": " << warnings[0];
    } else {
      ASSERT_EQ(warnings.size(), 1u) << c.name << "\n" << p.out;
      EXPECT_EQ(warnings[0], c.warning) << c.name;
    }
    const std::string solutions = read_file(dir() / "solutions");
    if (reference.empty()) reference = solutions;
    EXPECT_EQ(solutions == reference, c.same_results) << c.name;
  }
}

// Traits that hold a usual missing code other than 0 are warned of, one
// line per trait with the codes met, their records and the first line;
// values that are no such code exactly, and codes in other columns, are not.
TEST_F(OwnData, UsualMissingCodesInTraitsAreCounted) {
  struct Case {
    const char* name;
    std::vector<std::pair<int, std::string>> fields;  // "line column value"
    std::vector<std::string> warnings;
  };
  const std::string tail1 = ": a usual code of a missing value, which is read here as a measurement; the missing"
                            " code is 0 (manual, section 1.1)";
  const std::string tail2 = ": usual codes of a missing value, which are read here as measurements; the missing"
                            " code is 0 (manual, section 1.1)";
  const Case cases[] = {
      {"none", {}, {}},
      {"-999 in trait 2", {{9, "2 -999"}, {4, "2 -999"}, {33, "2 -999.0"}},
       {" warning: trait 2 (data column 2) holds -999 in 3 records, the first on line 4 of data.txt" + tail1}},
      {"several codes in both traits",
       {{40, "1 9999"}, {21, "1 -99"}, {2, "2 -99999"}, {3, "2 99999"}, {5, "2 -9999"}, {6, "1 9999"}},
       {" warning: trait 1 (data column 1) holds -99 or 9999 in 3 records, the first on line 6 of data.txt" + tail2,
        " warning: trait 2 (data column 2) holds -9999, -99999 or 99999 in 3 records, the first on line 2 of"
        " data.txt" +
            tail2}},
      {"near codes, and a code in a covariable",
       {{3, "1 -999.5"}, {4, "2 -998"}, {5, "1 999"}, {6, "2 99"}, {7, "4 -999"}, {8, "1 -9999e-1"}},
       {}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> data = data_lines();
    for (const auto& [line, edit] : c.fields) {
      const int col = std::stoi(edit.substr(0, edit.find(' ')));
      std::string& l = data[static_cast<std::size_t>(line - 1)];
      l = with_field(l, col, edit.substr(edit.find(' ') + 1));
    }
    write_model(dir(), data);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    EXPECT_EQ(lines_with(p.out, "missing value"), c.warnings) << c.name;
  }
}

// The line after the correction of a starting matrix names the largest
// correlation of the corrected matrix (its small eigenvalues raised to a
// ten-thousandth of the largest), here worked out from the eigenvalues.
TEST_F(OwnData, CorrectedStartNamesItsLargestCorrelation) {
  // The correlation of [a b; b c] corrected, to four decimals: l1 v v' +
  // l2 w w' with v = (b, l1 - a) / |.|, w orthogonal to it.
  auto correlation = [](const double* m) {
    const double a = m[0], b = m[1], c = m[2], half = std::sqrt((a - c) * (a - c) / 4.0 + b * b);
    const double l1 = (a + c) / 2.0 + half, l2 = std::max((a + c) / 2.0 - half, 1e-4 * l1);
    const double n = std::hypot(b, l1 - a), x = b / n, y = (l1 - a) / n;
    char t[32];
    std::snprintf(t, sizeof t, "%.4f",
                  (l1 - l2) * x * y / std::sqrt((l1 * x * x + l2 * y * y) * (l1 * y * y + l2 * x * x)));
    return std::string(t);
  };
  const std::string tail = "; a chain started so near a singular matrix may stay near it for thousands of cycles:"
                           " a positive-definite start (manual, section 1.1) avoids a long burn-in";
  const std::string units = "; the start was positive definite, but its eigenvalues lie more than 1e4 apart, so"
                            " its smallest were raised: traits in units far apart do that (manual, section 1.1);"
                            " units that give variances of like size keep the start as given";
  struct Case {
    const char* name;
    double r[3], g[3];  // a, b, c of R and of G
    bool r_corrected, g_corrected;
  };
  const Case cases[] = {
      {"both positive definite", {2, 0.5, 3}, {1, 0.2, 1.5}, false, false},
      {"G of a correlation 1.28", {2, 0.5, 3}, {145, 400, 668}, false, true},
      {"R of a correlation -2.5", {4, -5, 1}, {1, 0.2, 1.5}, true, false},
      {"G just singular", {2, 0.5, 3}, {1, 1, 1}, false, true},
      {"G positive definite, variances 400 and 0.015", {2, 0.5, 3}, {400, 0.1, 0.015}, false, true},
  };
  for (const Case& c : cases) {
    auto text = [](const double* v) {
      char t[96];
      std::snprintf(t, sizeof t, "%g %g\n%g %g", v[0], v[1], v[1], v[2]);
      return std::string(t);
    };
    write_model(dir(), data_lines(), pedigree_lines(), parameters(text(c.r), text(c.g)));
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    std::vector<std::string> expected;
    if (c.r_corrected)
      expected.push_back(" warning: the corrected residual (co)variance matrix has a correlation of " +
                         correlation(c.r) + tail);
    if (c.g_corrected)
      expected.push_back(" warning: the corrected (co)variance matrix of random effect 3 has a correlation of " +
                         correlation(c.g) + (c.g[0] * c.g[2] > c.g[1] * c.g[1] ? units : tail));
    EXPECT_EQ(lines_with(p.out, "has a correlation of"), expected) << c.name;
    EXPECT_EQ(lines_with(p.out, "Matrix not positive definite: corrected").size(), expected.size()) << c.name;
  }
}

// Refusals of words and ids point at their likely cause: a ";"-separated
// file, a header line, an id that is no number or beyond the levels (to be
// recoded), a note among the effect lines; a word written for a missing
// level keeps the missing code's hint.
TEST_F(OwnData, RefusalsPointAtTheLikelyCause) {
  const std::vector<std::string> clean = data_lines();
  auto data_edit = [&clean](int line, int field, const std::string& word) {
    std::vector<std::string> d = clean;
    d[static_cast<std::size_t>(line - 1)] = with_field(d[static_cast<std::size_t>(line - 1)], field, word);
    return d;
  };
  std::vector<std::string> semicolons = clean, header = clean;
  for (std::string& l : semicolons) std::replace(l.begin(), l.end(), ' ', ';');
  header.insert(header.begin(), "weight1 weight2 hys age animal_id");
  std::vector<std::string> ped_raw = pedigree_lines(), ped_na = pedigree_lines();
  ped_raw[2] = "500226401 0 0";
  ped_na[12] = "13 NA 8";
  std::vector<std::string> ped_tabs = pedigree_lines(), ped_cr(1);
  for (std::string& l : ped_tabs) std::replace(l.begin(), l.end(), ' ', '\t');
  ped_tabs[12] = "13\t\t8";
  for (const std::string& l : pedigree_lines()) ped_cr[0] += l + "\r";
  std::vector<std::string> data_tabs = clean, data_cr(1);
  for (std::string& l : data_tabs) std::replace(l.begin(), l.end(), ' ', '\t');
  data_tabs[8] = data_tabs[8].substr(0, data_tabs[8].rfind('\t', data_tabs[8].rfind('\t') - 1) + 1) + "\t" +
                 data_tabs[8].substr(data_tabs[8].rfind('\t') + 1);
  for (const std::string& l : clean) data_cr[0] += l + "\r";
  // Line 8's covariable -0.2000 written with a decimal comma: its 2000
  // lands in the animal's column.
  const std::string cov8 = with_field(clean[7], 4, "-0,2000");
  const std::string recode =
      "; levels are numbered 1, 2, ... up to the levels of the effect: recode ids beyond them (manual, section 1.1)"
      " or give the effect more levels";
  const std::string data_at = " Error in data file data.txt, line ";
  const std::string note = "; a line of text stands in its place (comment lines begin with #)";
  struct Case {
    const char* name;
    std::vector<std::string> data, ped;
    std::string par;
    std::string message;  // the refusal's first line
  };
  const Case cases[] = {
      {"semicolons", semicolons, pedigree_lines(), parameters(),
       data_at + "1 (record 1): field 1 \"" + semicolons[0] +
           "\" is not a number; fields are separated by blanks, tabs or commas, not by \";\""},
      {"header line", header, pedigree_lines(), parameters(),
       data_at + "1 (record 1): field 1 \"weight1\" is not a number; line 1 looks like a header line of column"
                 " names: the data file holds numbers only, so leave it out"},
      {"alphanumeric animal", data_edit(5, 5, "DE0932734600"), pedigree_lines(), parameters(),
       data_at + "5 (record 5): field 5 \"DE0932734600\" is not a number; levels are whole numbers from 1 to the"
                 " levels of the effect: recode ids such as this one (manual, section 1.1)"},
      {"NA as the animal", data_edit(5, 5, "NA"), pedigree_lines(), parameters(),
       data_at + "5 (record 5): field 5 \"NA\" is not a number; a missing level is coded 0"},
      {"NA as trait 2 in line 1", data_edit(1, 2, "NA"), pedigree_lines(), parameters(),
       data_at + "1 (record 1): field 2 \"NA\" is not a number; a missing trait is coded 0"},
      {"animal beyond the levels in the data", data_edit(8, 5, "500226401"), pedigree_lines(), parameters(),
       data_at + "8 (record 8), effect 3, trait 1: level 500226400 is not within 1 to 30" + recode},
      {"class not whole", data_edit(8, 3, "4.5"), pedigree_lines(), parameters(),
       data_at + "8 (record 8), effect 1, trait 1: level 4.5 is not within 1 to 3"},
      {"decimal comma before the animal", [&] {
         std::vector<std::string> d = clean;
         d[7] = cov8;
         return d;
       }(),
       pedigree_lines(), parameters(),
       data_at + "8 (record 8), effect 3, trait 1: level 2000 is not within 1 to 30" + recode +
           "; the line holds -0,2000, and a decimal comma, which splits a number in two (325,6 is read as 325 and"
           " 6) and shifts the columns after it, is the likely cause: write decimals with a point"},
      {"a value too near 0 for a 32-bit real", data_edit(3, 2, "1e-400"), pedigree_lines(), parameters(),
       data_at + "3 (record 3): field 2 \"1e-400\" is too near 0 to be held: it would read as 0, the missing code"},
      {"the same, of a double's normal range", data_edit(4, 1, "-2.5e-46"), pedigree_lines(), parameters(),
       data_at + "4 (record 4): field 1 \"-2.5e-46\" is too near 0 to be held: it would read as 0, the missing"
                 " code"},
      {"tab-separated data with an empty cell", data_tabs, pedigree_lines(), parameters(),
       data_at + "9 (record 9): the line holds 4 values where 5 are needed (the data record length); the line"
                 " separates its fields by tabs and field 4 is an empty cell, which the read passes over (the values"
                 " after it move one field to the left): write 0, the missing code, for a missing value"},
      {"data with CR line ends", data_cr, pedigree_lines(), parameters(),
       " total number of record in data set data.txt:  1  is not equal   to the value you have entered:  40; the"
       " file's lines end in a carriage return alone (the line ends of old Mac files), which ends no line here, so"
       " the file reads as one line: save it with line feeds (LF, or CR LF)"},
      {"NA as a parent", clean, ped_na, parameters(),
       " Error in pedigree file pedigree.txt of effect 3, line 13 (record 13): field 2 \"NA\" is not an integer; an"
       " unknown parent is written 0"},
      {"tab-separated pedigree with an empty cell", clean, ped_tabs, parameters(),
       " Error in pedigree file pedigree.txt of effect 3, line 13 (record 13): the line holds 2 values where 3 are"
       " needed; the line separates its fields by tabs and field 2 is an empty cell, which the read passes over"
       " (the values after it move one field to the left): write 0 for an unknown parent"},
      {"pedigree with CR line ends", clean, ped_cr, parameters(),
       " Error in pedigree file pedigree.txt of effect 3, record 2: the file ends after 1 of the 30 records"
       " declared; the file's lines end in a carriage return alone (the line ends of old Mac files), which ends no"
       " line here, so the file reads as one line: save it with line feeds (LF, or CR LF)"},
      {"pedigree id as recorded", clean, ped_raw, parameters(),
       " Error in pedigree file pedigree.txt of effect 3, line 3 (record 3): animal 500226401 is not within 1 to 30" +
           recode},
      {"note of four words among the effects", clean, pedigree_lines(),
       parameters("2 0.5\n0.5 3", "1 0.2\n0.2 1.5", "3 3 3 cross n\nage at weighing, centred\n4 4 1 cov n"),
       " too few or too many numbers for effect 2. Was 4" + note},
      {"note of five words among the effects", clean, pedigree_lines(),
       parameters("2 0.5\n0.5 3", "1 0.2\n0.2 1.5", "3 3 3 cross n\nage at weighing, centred here\n4 4 1 cov n"),
       " EFFECTS: data column of effect 2 trait 1 must be a whole number. Was \"age\"" + note},
      {"effect line with a word for a column", clean, pedigree_lines(),
       parameters("2 0.5\n0.5 3", "1 0.2\n0.2 1.5", "3 3 3 cross n\nx 4 1 cov n\n5 5 30 cross n"),
       " EFFECTS: data column of effect 2 trait 1 must be a whole number. Was \"x\""},
  };
  for (const Case& c : cases) {
    write_model(dir(), c.data, c.ped, c.par);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 1) << c.name << "\n" << p.out << p.err;
    const auto out = lines_of(p.out);
    const auto at = std::find_if(out.begin(), out.end(), [](const std::string& l) {
      return l.starts_with(" Error") || l.starts_with(" too few") || l.starts_with(" EFFECTS:") ||
             l.starts_with(" total number of record");
    });
    ASSERT_NE(at, out.end()) << c.name << "\n" << p.out;
    EXPECT_EQ(*at, c.message) << c.name;
  }
}

// A tab-separated pedigree whose empty cells stand for unknown parents
// reads the values after such a cell one field to the left: where the line
// still gives its fields (a birth year after the parents), the start-up
// warns of the first such line; a line whose empty cell is after the
// fields read, or that has none, is not warned of.
TEST_F(OwnData, EmptyCellsOfATabSeparatedPedigreeAreWarnedOf) {
  auto tabbed = [](int line, const std::string& text) {
    std::vector<std::string> v;
    for (const std::string& l : pedigree_lines()) v.push_back(l + "\t2019");
    for (std::string& l : v) std::replace(l.begin(), l.end(), ' ', '\t');
    if (line > 0) v[static_cast<std::size_t>(line - 1)] = text;
    return v;
  };
  const struct {
    const char* name;
    std::vector<std::string> ped;
    std::string warning;  // "" none
  } cases[] = {
      {"no empty cell", tabbed(0, ""), ""},
      {"an empty cell among the parents", tabbed(14, "14\t\t7\t9"),
       " warning: line 14 of pedigree file pedigree.txt separates its fields by tabs and field 2 is an empty cell,"
       " which the read passes over (the values after it move one field to the left): write 0 for an unknown"
       " parent"},
      {"an empty cell after the fields read", tabbed(14, "14\t3\t7\t\t2019"), ""},
  };
  for (const auto& c : cases) {
    write_model(dir(), data_lines(), c.ped);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
    const auto warnings = lines_with(p.out, "empty cell");
    if (c.warning.empty()) {
      EXPECT_TRUE(warnings.empty()) << c.name << ": " << warnings[0];
    } else {
      ASSERT_EQ(warnings.size(), 1u) << c.name << "\n" << p.out;
      EXPECT_EQ(warnings[0], c.warning) << c.name;
    }
  }
}

// A line of the multiple-sires file holds one value: a probability written
// with a decimal comma ("0,3333333333", "0 ,3333") would read as 0 and the
// block's other candidates take its share, and a line of two values would
// lose its second.  Each is refused, naming the file, the line and the
// comma; the file as written runs.
TEST_F(OwnData, MultipleSiresLinesOfMoreThanOneValueAreRefused) {
  if (simulator_path().empty()) GTEST_SKIP() << "the simulator is not built";
  const Process sim = run_simulator(dir(), "--traits 1 --records 80 --animals 200 --levels 4 --candidates 0.5 "
                                           "--nround 20 --nburn 10 --skip 1 --seed 3 --out chain");
  ASSERT_EQ(sim.status, 0) << sim.err;
  const fs::path chain = dir() / "chain";
  const std::string ms = read_file(chain / "msires.txt");
  ASSERT_EQ(ms.substr(0, 22), "3\n3\n0.3333333333\n5\n0.3");
  auto replaced = [&ms](const std::string& from, const std::string& to) {
    std::string t = ms;
    for (std::size_t at = t.find(from); at != std::string::npos; at = t.find(from, at + to.size()))
      t.replace(at, from.size(), to);
    return t;
  };
  const std::string at = " Error in multiple-sires file msires.txt, line ";
  const std::string comma = "; a comma separates two values, so a decimal comma cuts a number to its whole part"
                            " (0,3333 is read as 0 and 3333): write decimals with a point";
  const std::string one = " values where one stands (the count, a candidate's id or its probability, one a line)";
  const struct {
    const char* name;
    std::string file;
    std::string message;  // "" runs
  } cases[] = {
      {"as written", ms, ""},
      {"decimal commas", replaced("0.3333333333", "0,3333333333"),
       at + "3 (record 3): the line holds \"0,3333333333\", 2" + one + comma},
      {"a comma after a blank", "3\n3\n0 ,3333\n" + ms.substr(17), at + "3 (record 3): the line holds \"0 ,3333\", 2" + one + comma},
      {"a blank after a comma", "3\n3\n0, 3333\n" + ms.substr(17), at + "3 (record 3): the line holds \"0, 3333\", 2" + one + comma},
      {"an id and its probability on one line", "3\n3 0.3333333333\n" + ms.substr(4),
       at + "2 (record 2): the line holds \"3 0.3333333333\", 2" + one},
  };
  for (const auto& c : cases) {
    std::ofstream(chain / "msires.txt", std::ios::binary) << c.file;
    const Process p = run_program(chain);
    if (c.message.empty()) {
      EXPECT_EQ(p.status, 0) << c.name << "\n" << p.out << p.err;
      continue;
    }
    EXPECT_EQ(p.status, 1) << c.name << "\n" << p.out << p.err;
    const auto errors = lines_with(p.out, " Error in multiple-sires file");
    ASSERT_EQ(errors.size(), 1u) << c.name << "\n" << p.out;
    EXPECT_EQ(errors[0], c.message) << c.name;
  }
}

// The parameter file's name comes on standard input only: --help (or -h)
// says so and ends with status 0, any other argument stops the run with
// status 1 on standard error; neither touches the folder.  Without
// arguments the run is as before.
TEST_F(OwnData, ArgumentsAreAnsweredNotIgnored) {
  const std::string how = " velmoran reads the name of its parameter file from standard input, not from its"
                          " arguments: echo params.txt | velmoran";
  const std::string help = how + "\n The files it reads and writes, and its messages, are described in the user"
                                 " manual, docs/manual.md (section 1: running the program).\n";
  struct Case {
    const char* args;
    int status;
    std::string out, err;  // whole, or for the run without arguments a part of out
  };
  const Case cases[] = {
      {"--help", 0, help, ""},
      {"-h", 0, help, ""},
      {"params.txt --help", 0, help, ""},
      {"params.txt", 1, "", how + "; this run stops without reading \"params.txt\"\n"},
      {"params.txt other.txt", 1, "", how + "; this run stops without reading \"params.txt other.txt\"\n"},
      {"", 0, "  name of parameter file?     \n     VELMORAN 1.20\n", ""},
  };
  for (const Case& c : cases) {
    for (const auto& f : fs::directory_iterator(dir())) fs::remove_all(f.path());
    write_model(dir(), data_lines());
    const Process p = run_in(dir(), quoted(program_path()) + " " + c.args, "params.txt\n");
    EXPECT_EQ(p.status, c.status) << c.args << "\n" << p.out << p.err;
    if (*c.args == 0) {
      EXPECT_TRUE(p.out.starts_with(c.out)) << p.out;
      EXPECT_TRUE(fs::exists(dir() / "solutions"));
      continue;
    }
    EXPECT_EQ(p.out, c.out) << c.args;
    EXPECT_EQ(p.err, c.err) << c.args;
    // Nothing was made in the folder, not even the lock.
    std::vector<std::string> files;
    for (const auto& f : fs::directory_iterator(dir())) files.push_back(f.path().filename().string());
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{"data.txt", "params.txt", "pedigree.txt"})) << c.args;
  }
}

}  // namespace
