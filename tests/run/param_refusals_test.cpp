// Parameter files that must not be misread: every refusal names the file,
// the line and the word; lines the model does not use are reported.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "param_support.hpp"
#include "run/lineread.hpp"
#include "state_support.hpp"

namespace {

const model::Model& M = model::m;

using paramtest::base;
using paramtest::sub;

// The same model with two traits: 2 by 2 matrices.
const std::string base2 =
    "MCMC_CHAIN:\n1000 100 10\nSEED\n1234\nRESTART:\nn\nDATAFILE\ndata.txt 50\n"
    "NUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1 2\nWEIGHT(S)\n\n"
    "EFFECTS:\n3 3 5 cross y\n4 4 10 cross n\n"
    "RANDOM_RESIDUAL:\nhomogeneous 5\n"
    "RESIDUAL_PRIOR_(CO)VARIANCES\n"    // line 22
    "1 0.5\n"                           // 23
    "0.5 2\n"                           // 24
    "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n"
    "(CO)VARIANCES\n"                   // 31
    "0.5 0.1\n"                         // 32
    "0.1 0.6\n";                        // 33

struct Outcome {
  std::string stop;  // the whole message; "" when the file was read
  std::string out;   // standard output while reading
};

Outcome read(const std::string& text) {
  const auto r = statetest::capture([&] {
    auto in = util::TextIn::from_text(text, "test.par");
    textop::read_parameter_text(in);
  });
  return {r.stop, r.out};
}

struct Case {
  const char* what;
  std::string text;
  std::string message;  // "" = accepted
};

void expect_all(const std::vector<Case>& cases) {
  for (const Case& c : cases) EXPECT_EQ(read(c.text).stop, c.message) << c.what;
}

TEST(ParameterRefusals, WordsThatAreNotNumbers) {
  expect_all({
      {"letters for cycles", sub(base, "1000 100 10", "abc 100 10"),
       " MCMC_CHAIN: number of cycles must be a whole number. Was \"abc\"\n"
       " in test.par, line 2: \"abc 100 10\""},
      {"exponent for an integer", sub(base, "data.txt 50", "data.txt 1e4"),
       " DATAFILE: number of records must be a whole number. Was \"1e4\"\n"
       " in test.par, line 8: \"data.txt 1e4\""},
      {"letter O for zero", sub(base, "3 10 cross n", "3 4O cross n"),
       " EFFECTS: number of levels of effect 2 must be a whole number. Was \"4O\"\n"
       " in test.par, line 19: \"3 4O cross n\""},
      {"word for traits", sub(base, "NUMBER_OF_TRAITS\n1\n", "NUMBER_OF_TRAITS\nfive\n"),
       " NUMBER_OF_TRAITS must be a whole number. Was \"five\"\n in test.par, line 10: \"five\""},
      {"decimal for a column", sub(base, "OBSERVATION(S)\n1\n", "OBSERVATION(S)\n1.5\n"),
       " OBSERVATION(S): data column of trait 1 must be a whole number. Was \"1.5\"\n"
       " in test.par, line 14: \"1.5\""},
      {"keyword where the seed stands", sub(base, "SEED\n1234\n", "SEED\nRESTART:\n"),
       " SEED: seed must be a whole number. Was \"RESTART:\"\n in test.par, line 4: \"RESTART:\""},
      {"belief with a unit", sub(base, "diagonal 4", "diagonal 4df"),
       " RANDOM_TYPE: degrees of belief must be a whole number. Was \"4df\"\n"
       " in test.par, line 27: \"diagonal 4df\""},
      {"group number as a word", sub(base, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\ntwo\n"),
       " RANDOM_GROUP: effect number must be a whole number. Was \"two\"\n in test.par, line 25: \"two\""},
      // Reals may carry exponents and signs; whole numbers a sign.
      {"reals with exponents", sub(sub(base, "\n1.0\n", "\n1e0\n"), "\n0.5\n", "\n+5D-1\n"), ""},
      {"whole number with a plus sign", sub(base, "1234", "+1234"), ""},
  });
  ASSERT_EQ(read(sub(base, "\n0.5\n", "\n5e-1\n")).stop, "");
  EXPECT_EQ(M.g(2, 1, 1), 0.5);
}

TEST(ParameterRefusals, ChainSettings) {
  const std::string bad_burn = " MCMC_CHAIN: the burn-in must be below the number of cycles 1000. Was ";
  expect_all({
      {"negative burn-in", sub(base, "1000 100 10", "1000 -1 10"),
       " MCMC_CHAIN: burn-in must not be negative. Was -1\n in test.par, line 2: \"1000 -1 10\""},
      {"burn-in equal to the cycles", sub(base, "1000 100 10", "1000 1000 10"),
       bad_burn + "1000\n in test.par, line 2: \"1000 1000 10\""},
      {"burn-in above the cycles", sub(base, "1000 100 10", "1000 5000 10"),
       bad_burn + "5000\n in test.par, line 2: \"1000 5000 10\""},
      {"nothing kept after the burn-in", sub(base, "1000 100 10", "999 995 10"),
       " MCMC_CHAIN: no cycle after the burn-in 995 up to cycle 999 is a multiple of the thinning interval 10;"
       " no sample would be kept\n in test.par, line 2: \"999 995 10\""},
      {"thinning beyond the chain", sub(base, "1000 100 10", "1000 0 2000"),
       " MCMC_CHAIN: no cycle after the burn-in 0 up to cycle 1000 is a multiple of the thinning interval 2000;"
       " no sample would be kept\n in test.par, line 2: \"1000 0 2000\""},
      {"last cycle kept", sub(base, "1000 100 10", "1000 990 10"), ""},
      {"no burn-in", sub(base, "1000 100 10", "1000 0 1"), ""},
      {"restart cycle 0", sub(base, "RESTART:\nn\n", "RESTART:\ny 0\n"),
       " RESTART: cycle to restart from must be at least 1. Was 0\n in test.par, line 6: \"y 0\""},
  });
}

TEST(ParameterRefusals, RestartAnswer) {
  struct Answer {
    const char* line;
    char rstart;  // 0 = refused
    int start;
  };
  const Answer answers[] = {
      {"y 501", 'y', 501}, {"Y 501", 'y', 501}, {"yes 7", 'y', 7}, {"YES 7", 'y', 7},
      {"n", 'n', 1},       {"N", 'n', 1},       {"no 99", 'n', 1}, {"x", 0, 0},
      {"1", 0, 0},         {"ja 5", 0, 0},
  };
  for (const Answer& a : answers) {
    const Outcome o = read(sub(base, "RESTART:\nn\n", std::string("RESTART:\n") + a.line + "\n"));
    if (a.rstart == 0) {
      const std::string word = std::string(a.line).substr(0, std::string(a.line).find(' '));
      EXPECT_EQ(o.stop, " RESTART: the answer must be y or n. Was \"" + word + "\"\n in test.par, line 6: \"" +
                            a.line + "\"");
      continue;
    }
    ASSERT_EQ(o.stop, "") << a.line;
    EXPECT_EQ(M.rstart, a.rstart) << a.line;
    EXPECT_EQ(M.start, a.start) << a.line;
  }
}

TEST(ParameterRefusals, CovarianceMatrices) {
  const std::string err_r = " error reading RANDOM_RESIDUAL variances\n";
  expect_all({
      {"fewer values at the end of the file", base2.substr(0, base2.find("0.1 0.6\n")),
       " error reading variances for effect 2\n"
       " (CO)VARIANCES: the file ends after 2 of the 4 values of a matrix of order 2\n"
       " in test.par, at the end of the file (after line 32)"},
      {"fewer rows: a keyword comes first", sub(base2, "1 0.5\n0.5 2\n", "1 0.5\n"),
       err_r + " RESIDUAL_PRIOR_(CO)VARIANCES: \"RANDOM_GROUP\" is not a number\n"
               " in test.par, line 24: \"RANDOM_GROUP\""},
      {"more values on the last line", sub(base2, "0.5 2\n", "0.5 2 0\n"),
       " RESIDUAL_PRIOR_(CO)VARIANCES: more values than the 4 of a matrix of order 2\n"
       " in test.par, line 24: \"0.5 2 0\""},
      {"words after the values", sub(base2, "0.5 2\n", "0.5 2 residual\n"),
       err_r + " RESIDUAL_PRIOR_(CO)VARIANCES: \"residual\" is not a number\n"
               " in test.par, line 24: \"0.5 2 residual\""},
      {"more rows", sub(base2, "0.1 0.6\n", "0.1 0.6\n0 0\n"),
       " (CO)VARIANCES: more rows than the order 2 of the matrix\n in test.par, line 34: \"0 0\""},
      {"a third row for the residual", sub(base2, "0.5 2\n", "0.5 2\n0 0\n"),
       " RESIDUAL_PRIOR_(CO)VARIANCES: more rows than the order 2 of the matrix\n"
       " in test.par, line 25: \"0 0\""},
      {"a row of the wrong length", sub(base2, "1 0.5\n0.5 2\n", "1 0.5 0.5\n2\n"),
       " RESIDUAL_PRIOR_(CO)VARIANCES: a line holds 3 values; the rows of a matrix of order 2 hold 2 each\n"
       " in test.par, line 23: \"1 0.5 0.5\""},
      {"not symmetric", sub(base2, "0.5 0.1\n0.1 0.6\n", "0.5 0.1\n0.2 0.6\n"),
       " (CO)VARIANCES: the matrix is not symmetric: row 1 column 2 is 0.1 but row 2 column 1 is 0.2\n"
       " in test.par, line 33: \"0.2 0.6\""},
      {"not finite", sub(base, "\n1.0\n", "\n1e999\n"),
       err_r + " RESIDUAL_PRIOR_(CO)VARIANCES: \"1e999\" is not a finite number\n in test.par, line 23: \"1e999\""},
      {"empty field between commas", sub(base2, "1 0.5\n", "1,,0.5\n"),
       err_r + " RESIDUAL_PRIOR_(CO)VARIANCES: an empty value between commas\n in test.par, line 23: \"1,,0.5\""},
      // Accepted layouts: all values on one line, commas, repeats, blank lines.
      {"one line", sub(base2, "1 0.5\n0.5 2\n", "1 0.5 0.5 2\n"), ""},
      {"commas and a blank line", sub(base2, "1 0.5\n0.5 2\n", "1, 0.5,\n\n0.5 ,2\n"), ""},
      {"repeat counts", sub(base2, "0.5 0.1\n0.1 0.6\n", "4*0.5\n"), ""},
  });
  ASSERT_EQ(read(sub(base2, "0.5 0.1\n0.1 0.6\n", "2*0.5\n2*0.5\n")).stop, "");
  EXPECT_EQ(M.g(2, 2, 1), 0.5);
  EXPECT_EQ(M.g(2, 2, 2), 0.5);
}

TEST(ParameterRefusals, GroupGivenTwice) {
  const std::string g1 = "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n0.5\n";
  const std::string g12 = "RANDOM_GROUP\n1 2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1 0\n0 1\n";
  expect_all({
      {"same group twice", base + base.substr(base.find("RANDOM_GROUP")),
       " RANDOM_GROUP 2: effect 2 is already in the random group of effect 2; an effect belongs to one group only\n"
       " in test.par, line 33: \"2\""},
      {"overlapping groups", base + g12,
       " RANDOM_GROUP 1 2: effect 2 is already in the random group of effect 2; an effect belongs to one group"
       " only\n in test.par, line 33: \"1 2\""},
      {"two groups of their own", base + g1, ""},
  });
}

TEST(ParameterRefusals, GroupsOfAbsentEffects) {
  const std::string absent2 = sub(base2, "4 4 10 cross n", "4 0 10 cross n");
  expect_all({
      {"absent for one trait", absent2, ""},
      {"absent for every trait", sub(base2, "4 4 10 cross n", "0 0 10 cross n"),
       " RANDOM_GROUP 2: its effects are absent for every trait (every data column 0): the group has"
       " nothing to sample\n in test.par, line 26: \"2\""},
      // Breed blocks are drawn whole.
      {"multiple breeds", sub(absent2, "diagonal 4", "diag_mb 6"),
       " RANDOM_TYPE diag_mb of random effect 2: effect 2 is absent for trait 2 (data column 0); a"
       " multiple-breed group needs each of its effects for every trait\n in test.par, line 28: \"diag_mb 6\""},
  });
}

TEST(ParameterRefusals, CountsAndBeliefsAreBounded) {
  expect_all({
      {"cycles", sub(base, "1000 100 10", "1000000001 100 10"),
       " MCMC_CHAIN: number of cycles must be at most 1000000000. Was 1000000001\n"
       " in test.par, line 2: \"1000000001 100 10\""},
      {"records", sub(base, "data.txt 50", "data.txt 2000000000"),
       " DATAFILE: number of records must be at most 1000000000. Was 2000000000\n"
       " in test.par, line 8: \"data.txt 2000000000\""},
      // The residual matrix is of order at most 20, as every block is.
      {"traits", sub(base, "NUMBER_OF_TRAITS\n1\n", "NUMBER_OF_TRAITS\n21\n"),
       " NUMBER_OF_TRAITS must be at most 20. Was 21\n in test.par, line 10: \"21\""},
      {"effects", sub(base, "NUMBER_OF_EFFECTS\n2\n", "NUMBER_OF_EFFECTS\n2000000000\n"),
       " NUMBER_OF_EFFECTS must be at most 10000. Was 2000000000\n in test.par, line 12: \"2000000000\""},
      {"data column", sub(base, "3 10 cross n", "3000000 10 cross n"),
       " EFFECTS: data column of effect 2 trait 1 must be at most 1000000. Was 3000000\n"
       " in test.par, line 19: \"3000000 10 cross n\""},
      {"negative belief", sub(base, "homogeneous 5", "homogeneous -4"),
       " RANDOM_RESIDUAL: degrees of belief must not be negative. Was -4\n"
       " in test.par, line 21: \"homogeneous -4\""},
      {"belief that overflows a sum", sub(base, "diagonal 4", "diagonal 2147483647"),
       " RANDOM_TYPE: degrees of belief must be at most 1000000000. Was 2147483647\n"
       " in test.par, line 27: \"diagonal 2147483647\""},
  });
  // Traits times the sum of the levels must stay within 32 bits.
  const std::string two = sub(sub(base2, "3 3 5 cross y", "3 3 600000000 cross y"), "4 4 10 cross n",
                              "4 4 600000000 cross n");
  EXPECT_EQ(read(two).stop,
            " EFFECTS: the model has 2400000000 equations (traits times the sum of the levels); at most 2147483647 are"
            " possible\n in test.par, line 19: \"4 4 600000000 cross n\"");
}

TEST(ParameterRefusals, ShortOrMissingValueLines) {
  expect_all({
      {"value line missing at the end", base.substr(0, base.find("1234")),
       " SEED: the value line is missing at the end of the file; expected 1 number: the seed\n"
       " in test.par, at the end of the file (after line 3)"},
      {"short structural line",
       sub(sub(base, "homogeneous 5", "structural 5"), "RESIDUAL_PRIOR_(CO)VARIANCES\n",
           "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10\nRESIDUAL_PRIOR_(CO)VARIANCES\n"),
       " METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: the value line holds 1 word; expected 2 numbers: the steps per"
       " cycle and the tuning interval\n in test.par, line 23: \"10\""},
      // Where the keyword itself is missing, the message of that keyword.
      {"keyword missing", sub(base, "SEED\n", "SED\n"), " SEED not found\n in test.par, line 3: \"SED\""},
  });
}

TEST(ParameterRefusals, LinesNotReadAreReported) {
  const std::string tail =
      "# a comment after the model\n"      // 32
      "END\n"                              // 33
      "1\n"                                // 34
      "\n"                                 // 35
      "   # indented comment\n"            // 36
      "diagonal 4\n";                      // 37
  const Outcome o = read(base + tail);
  ASSERT_EQ(o.stop, "");
  EXPECT_EQ(o.out,
            " warning: line 33 of test.par is not part of the model and was not read: END\n"
            " warning: line 34 of test.par is not part of the model and was not read: 1\n"
            " warning: line 37 of test.par is not part of the model and was not read: diagonal 4\n");

  // A complete file says nothing; comments alone after it neither.
  EXPECT_EQ(read(base).out, "");
  EXPECT_EQ(read(base + "# end\n\n").out, "");
}

// Blank lines after a matrix are no end of the model: every later group is
// read, and a further row after them is still a row too many.
TEST(ParameterRefusals, BlankLinesDoNotEndTheModel) {
  const std::string g1 = "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 3\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n0.25\n";
  struct Blank {
    const char* what;
    std::string text;
    std::string message;
    int groups;  // groups read when accepted
  };
  const std::vector<Blank> cases = {
      {"after the residual matrix", sub(base, "1.0\n", "1.0\n\n\n"), "", 1},
      {"after a group's matrix", base + "\n" + g1 + "\n", "", 2},
      {"blank and comment lines between groups", base + "\n# next\n\n" + g1, "", 2},
      {"two traits, blank after each matrix",
       sub(sub(base2, "0.5 2\n", "0.5 2\n\n"), "0.1 0.6\n", "0.1 0.6\n\n") +
           "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 3\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1 0\n0 1\n",
       "", 2},
      {"a row too many after a blank line", sub(base, "1.0\n", "1.0\n\n2.0\n"),
       " RESIDUAL_PRIOR_(CO)VARIANCES: more rows than the order 1 of the matrix\n in test.par, line 25: \"2.0\"",
       0},
  };
  for (const Blank& c : cases) {
    const Outcome o = read(c.text);
    EXPECT_EQ(o.stop, c.message) << c.what;
    if (!c.message.empty()) continue;
    EXPECT_EQ(o.out, "") << c.what;
    int groups = 0;
    for (int e = 1; e <= M.neff; ++e) groups += M.randomnumb(e) > 0 ? 1 : 0;
    EXPECT_EQ(groups, c.groups) << c.what;
  }
  EXPECT_EQ(M.randomtype(1), model::RandomType::none);  // the last case stopped before any group
  const Outcome o = read(base + "\n" + g1);
  ASSERT_EQ(o.stop, "");
  EXPECT_EQ(M.randomtype(1), model::RandomType::diagonal);
  EXPECT_EQ(M.dbelief_g(1), 3);
  EXPECT_EQ(M.g(1, 1, 1), 0.25);
}

TEST(ParameterRefusals, NumberWords) {
  using textop::NumRead;
  struct W {
    const char* word;
    NumRead whole;
    int value;
    NumRead real;
    double x;
  };
  const W words[] = {
      {"42", NumRead::ok, 42, NumRead::ok, 42},
      {"-7", NumRead::ok, -7, NumRead::ok, -7},
      {"+7", NumRead::ok, 7, NumRead::ok, 7},
      {"1e4", NumRead::not_a_number, 0, NumRead::ok, 1e4},
      {"2.5", NumRead::not_a_number, 0, NumRead::ok, 2.5},
      {"4O", NumRead::not_a_number, 0, NumRead::not_a_number, 0},
      {"five", NumRead::not_a_number, 0, NumRead::not_a_number, 0},
      {"-", NumRead::not_a_number, 0, NumRead::not_a_number, 0},
      {"", NumRead::not_a_number, 0, NumRead::not_a_number, 0},
      {"2147483647", NumRead::ok, INT_MAX, NumRead::ok, 2147483647.0},
      {"-2147483648", NumRead::ok, INT_MIN, NumRead::ok, -2147483648.0},
      {"2147483648", NumRead::out_of_range, 0, NumRead::ok, 2147483648.0},
      {"1e400", NumRead::not_a_number, 0, NumRead::out_of_range, 0},
  };
  for (const W& w : words) {
    int v = 0;
    double x = 0;
    EXPECT_EQ(textop::whole_number(w.word, v), w.whole) << w.word;
    if (w.whole == NumRead::ok) {
      EXPECT_EQ(v, w.value) << w.word;
    }
    EXPECT_EQ(textop::real_number(w.word, x), w.real) << w.word;
    if (w.real == NumRead::ok) {
      EXPECT_EQ(x, w.x) << w.word;
    }
  }
}

// A size the memory cannot hold stops with a message naming it.
class StateTooLarge : public statetest::InFolder {};

TEST_F(StateTooLarge, AllocationNamesWhatDidNotFit) {
  statetest::read_model(base);
  model::m.nrec = INT_MAX;
  model::State s;
  s.neq = model::number_of_equations();
  s.reclen = INT_MAX;  // more elements than an array can have: refused before any memory is taken
  const auto r = statetest::capture([&] { model::allocate_state(s); });
  EXPECT_EQ(r.stop, " Not enough memory for the data records (DATAFILE: 2147483647 records of 2147483647 columns)");
}

}  // namespace
