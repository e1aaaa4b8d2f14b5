// Inputs that would change the model without a word: a pedigree without its
// founders, a misspelt keyword, zeros in a starting matrix, values out of
// range; and messages that must point at the cause.  One row per item.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "chain_support.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "param_support.hpp"
#include "run/echo.hpp"
#include "run/readfiles.hpp"
#include "run/textop.hpp"
#include "sampler/relationship.hpp"
#include "sparse/sparsem.hpp"
#include "state_support.hpp"

namespace {

using statetest::capture;
using statetest::read_model;

model::Model& M = model::m;

// One trait; effect 1 a fixed class effect of 3 levels, effect 2 of nlev
// levels; the residual matrix r, then groups.
std::string model_text(int nlev, const std::string& groups, const std::string& r = "1\n",
                       const std::string& residual = "homogeneous 5\n") {
  return statetest::model1("3 " + std::to_string(nlev) + " cross n\n", 2, groups, "n", r, residual);
}

// The random group of effect 2.
std::string group(const std::string& type, const std::string& pedline, const std::string& extra = "",
                  const std::string& cov = "1\n") {
  return statetest::group(2, type, pedline, extra, cov);
}

const std::string& mb_extra = statetest::mb_metropolis;

// The parameter text's stop ("" none) and what reading it printed.
statetest::Run read(const std::string& text) {
  return capture([&] {
    auto in = util::TextIn::from_text(text, "test.par");
    textop::read_parameter_text(in);
  });
}

// ---------------------------------------------------------------- parameter file

TEST(SilentInputs, ParameterFileLinesAndMessages) {
  const std::string base = model_text(5, group("diagonal", "none"));  // 31 lines
  const std::string structural =
      model_text(5, "", "1\n",
                 "structural 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\nNUMBER_OF_STRUCTURAL_EFFECTS\n1\n"
                 "STRUCTURAL_EFFECTS:\n1 y\n");
  struct Case {
    const char* what;
    std::string text;
    std::string stop;
    std::string out;
  };
  const std::string ended = ". The model ends before this line, which would not be read\n in test.par, line 32: ";
  const Case cases[] = {
      {"misspelt RANDOM_GROUP", base + "RANDOM_GRUP\n3\n",
       " \"RANDOM_GRUP\" looks like a keyword but is none; the nearest keyword is RANDOM_GROUP" + ended +
           "\"RANDOM_GRUP\"",
       ""},
      {"in lower case", base + "random_group\n",
       " \"random_group\" looks like a keyword but is none; the nearest keyword is RANDOM_GROUP" + ended +
           "\"random_group\"",
       ""},
      {"one letter off a short keyword", base + "SED 5\n",
       " \"SED\" looks like a keyword but is none; the nearest keyword is SEED" + ended + "\"SED 5\"", ""},
      {"capitals with a colon, near no keyword", base + "  BURN_IN: 500\n", "",
       " warning: line 32 of test.par is not part of the model and was not read: BURN_IN: 500\n"},
      {"a keyword after the end", base + "RANDOM_TYPE\n",
       " RANDOM_TYPE stands after the end of the model and would not be read; after a matrix only RANDOM_GROUP "
       "may follow\n in test.par, line 32: \"RANDOM_TYPE\"",
       ""},
      {"warnings before the keyword", base + "end of groups\nRANDOM_GRUP\n",
       " \"RANDOM_GRUP\" looks like a keyword but is none; the nearest keyword is RANDOM_GROUP. The model ends "
       "before this line, which would not be read\n in test.par, line 33: \"RANDOM_GRUP\"",
       " warning: line 32 of test.par is not part of the model and was not read: end of groups\n"},
      {"other lines only warn", base + "END\ndiagonal 4\n", "",
       " warning: line 32 of test.par is not part of the model and was not read: END\n"
       " warning: line 33 of test.par is not part of the model and was not read: diagonal 4\n"},
      {"one effect line too many", paramtest::sub(base, "3 5 cross n\n", "3 5 cross n\n4 2 cross n\n"),
       " EFFECTS: the file gives 3 effect lines but NUMBER_OF_EFFECTS is 2\n in test.par, line 20: \"4 2 cross n\"",
       ""},
      {"one effect line too few", paramtest::sub(base, "3 5 cross n\n", ""),
       " EFFECTS: the file gives 1 effect line but NUMBER_OF_EFFECTS is 2\n in test.par, line 19: "
       "\"RANDOM_RESIDUAL:\"",
       ""},
      {"one structural line too many", paramtest::sub(structural, "1 y\n", "1 y\n2 n\n"),
       " STRUCTURAL_EFFECTS: the file gives 2 structural effect lines but NUMBER_OF_STRUCTURAL_EFFECTS is 1\n"
       " in test.par, line 28: \"2 n\"",
       ""},
      {"one structural line too few", paramtest::sub(structural, "1 y\n", ""),
       " STRUCTURAL_EFFECTS: the file gives 0 structural effect lines but NUMBER_OF_STRUCTURAL_EFFECTS is 1\n"
       " in test.par, line 27: \"RESIDUAL_PRIOR_(CO)VARIANCES\"",
       ""},
      {"symmetry names the rows as written",
       "MCMC_CHAIN:\n100 10 2\nSEED\n5\nRESTART:\nn\nDATAFILE\nd.txt 7\nNUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n1\n"
       "OBSERVATION(S)\n1 2\nWEIGHT(S)\n\nEFFECTS:\n3 3 4 cross n\nRANDOM_RESIDUAL:\nhomogeneous 0\n"
       "RESIDUAL_PRIOR_(CO)VARIANCES\n1.5 0.9\n0.1 0.75\n",
       " RESIDUAL_PRIOR_(CO)VARIANCES: the matrix is not symmetric: row 1 column 2 is 0.9 but row 2 column 1 is 0.1\n"
       " in test.par, line 23: \"0.1 0.75\"",
       ""},
  };
  for (const Case& c : cases) {
    const statetest::Run r = read(c.text);
    EXPECT_EQ(r.stop, c.stop) << c.what;
    EXPECT_EQ(r.out, c.out) << c.what;
  }
}

// A line after the model stops the run only when its first word is near a
// keyword: within one edit (a character inserted, dropped, changed, or two
// neighbours swapped) per four characters of the keyword, at most three.
// Every other line is a note: warned of, and the run goes on.
TEST(SilentInputs, NotesAfterTheModelRunAndNearMissesStop) {
  const std::string base = model_text(5, group("diagonal", "none"));  // 31 lines
  struct Case {
    const char* line;
    const char* nearest;  // "": a note
  };
  const Case cases[] = {
      {"NB: h2 from PREV_RUN was 0.3", ""},
      {"HERD_B checked against last year", ""},
      {"END", ""},  // two edits from SEED, which allows one
      {"NB", ""},
      {"TODO: rerun with 20000 cycles", ""},
      {"Checked by JB", ""},
      {"PEDIGREE of 2019 only", ""},       // five edits from PEDIGREEFILE:
      {"VARIANCES from the pilot", ""},    // four from (CO)VARIANCES, which allows three
      {"RANDOM_GRUP", "RANDOM_GROUP"},
      {"RANDOMGROUP 3", "RANDOM_GROUP"},
      {"Random_Group", "RANDOM_GROUP"},
      {"RANDOM_GROPU", "RANDOM_GROUP"},  // a swap is one edit
      {"MCMC_CHIAN: 1000 100 10", "MCMC_CHAIN:"},
      {"RESIDUAL_PRIOR_COVARIANCES", "RESIDUAL_PRIOR_(CO)VARIANCES"},
      {"COVARIANCES", "(CO)VARIANCES"},
      {"PEDIGREFILE: ped.txt 30", "PEDIGREEFILE:"},
      {"RANDOM_TYPES", "RANDOM_TYPE"},
      {"METROPOLIS_STEP_OF_MULTIBREED_COVARIANCES:", "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:"},
      {"SEEDS 5", "SEED"},
      {"SEE", "SEED"},
      {"seed 18", "SEED"},
  };
  for (const Case& c : cases) {
    const std::string line = c.line;
    const statetest::Run r = read(base + line + "\n");
    if (*c.nearest == 0) {
      EXPECT_EQ(r.stop, "") << line;
      EXPECT_EQ(r.out, " warning: line 32 of test.par is not part of the model and was not read: " + line + "\n")
          << line;
    } else {
      const std::string first = line.substr(0, line.find(' '));
      EXPECT_EQ(r.stop, " \"" + first + "\" looks like a keyword but is none; the nearest keyword is " + c.nearest +
                            ". The model ends before this line, which would not be read\n in test.par, line 32: \"" +
                            line + "\"")
          << line;
    }
  }
}

// Where a keyword is expected and a line of text stands, the message adds
// how comment lines begin; a value line without its keyword, a single word
// or a near miss keep the plain message.
TEST(SilentInputs, ANoteWhereAKeywordBelongsSaysHowCommentsBegin) {
  const std::string base = model_text(5, group("diagonal", "none"));
  const std::string hint = "; a line of text stands in its place (comment lines begin with #)";
  struct Case {
    const char* what;
    std::string text;
    std::string stop;
  };
  const Case cases[] = {
      {"a title at the top", "Test run for HYS_2024 data\n" + base,
       " MCMC_CHAIN: not found" + hint + "\n in test.par, line 1: \"Test run for HYS_2024 data\""},
      {"a note inside a group", paramtest::sub(base, "RANDOM_TYPE\n", "Herds as random, as in 2023\nRANDOM_TYPE\n"),
       "  RANDOM_TYPE not found" + hint + "\n in test.par, line 26: \"Herds as random, as in 2023\""},
      {"a value line without its keyword", paramtest::sub(base, "DATAFILE\n", ""),
       " DATAFILE not found\n in test.par, line 7: \"d.txt 7\""},
      {"a type line without its keyword", paramtest::sub(base, "RANDOM_RESIDUAL:\n", ""),
       "  RANDOM_RESIDUAL: not found\n in test.par, line 20: \"homogeneous 5\""},
      {"one word", "Draft\n" + base, " MCMC_CHAIN: not found\n in test.par, line 1: \"Draft\""},
      {"a near miss", paramtest::sub(base, "SEED\n", "SED 5\n"), " SEED not found\n in test.par, line 3: \"SED 5\""},
  };
  for (const Case& c : cases) EXPECT_EQ(read(c.text).stop, c.stop) << c.what;
}

class SilentInputsFiles : public statetest::FilesFolder {
 protected:
  // A^-1 of group 2 as the first cycle builds it, dense (upper triangle).
  std::vector<double> relationship_inverse(model::RandomType type) {
    M.round = M.start = 1;
    capture([&] { sampler::add_g_add(s_, type, 2); });
    const int n = M.nlev(2);
    std::vector<double> a(static_cast<std::size_t>(n * n), 0.0);
    for (int i = 1; i <= n; ++i)
      for (int j = i; j <= n; ++j) a[static_cast<std::size_t>((i - 1) * n + j - 1)] = sparsem::get_sparse_hashm(i, j, s_.AINV(2));
    return a;
  }
};

// The prompt ends without a line break: the banner of the echo follows on
// its line, but a warning or a stop while the file is read starts a line of
// its own.
TEST_F(SilentInputsFiles, PromptLineEndsBeforeAWarningOrAStop) {
  const std::string base = model_text(5, group("diagonal", "none"));
  struct Case {
    const char* what;
    std::string file;  // "" none
    std::string out;
    bool stops;
  };
  const std::string prompt = "  name of parameter file?";
  const Case cases[] = {
      {"read without a word", base, prompt, false},
      {"a warning", base + "END\n",
       prompt + "\n warning: line 32 of a.par is not part of the model and was not read: END\n", false},
      {"a stop", base + "RANDOM_GRUP\n", prompt + "\n", true},
      {"no such file", "", prompt + "\n", true},
  };
  for (const Case& c : cases) {
    std::remove("a.par");
    if (!c.file.empty()) write("a.par", c.file);
    std::istringstream in("a.par\n");
    const statetest::Run r = capture([&] { textop::read_parameters(in); });
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_EQ(!r.stop.empty(), c.stops) << c.what << ": " << r.stop;
  }
}

TEST_F(SilentInputsFiles, ElementsThatStayZeroAreNamedAtStartUp) {
  write("mb.txt", "1 0 0 1 0\n");
  const std::string two =
      "MCMC_CHAIN:\n100 10 2\nSEED\n5\nRESTART:\nn\nDATAFILE\nd.txt 7\nNUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n2\n"
      "OBSERVATION(S)\n1 2\nWEIGHT(S)\n\nEFFECTS:\n3 3 4 cross n\n4 4 5 cross n\nRANDOM_RESIDUAL:\nhomogeneous 0\n"
      "RESIDUAL_PRIOR_(CO)VARIANCES\n";
  const std::string group1 = "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n";
  std::string swapped_effects = two;
  swapped_effects.replace(swapped_effects.find("4 4 5 cross n"), 13, "4 0 5 cross n");
  const std::string three =
      "MCMC_CHAIN:\n100 10 2\nSEED\n5\nRESTART:\nn\nDATAFILE\nd.txt 7\nNUMBER_OF_TRAITS\n3\nNUMBER_OF_EFFECTS\n1\n"
      "OBSERVATION(S)\n1 2 3\nWEIGHT(S)\n\nEFFECTS:\n4 4 4 4 cross n\nRANDOM_RESIDUAL:\nhomogeneous 0\n"
      "RESIDUAL_PRIOR_(CO)VARIANCES\n";
  const std::string said = " elements 0 in the starting matrix stay 0 for the whole chain (not sampled, not in \"varcompsam\"):";
  const std::string every =
      " every covariance stays 0, which is what identity starting matrices do; to estimate the covariances, start each"
      " from a small value other than 0, such as 0.1 times the root of the product of its two variances";
  const std::string sampled =
      " elements 0 in the starting matrix are sampled all the same, since their breed blocks are drawn whole (in"
      " \"varcompsam\" like the other elements):";
  const std::string mb2 = "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiag_mb 5\nPEDIGREEFILE:\nmb.txt 1 0 2\n";
  const std::string mb4 = "(CO)VARIANCES\n1 0 0 0\n0 2 0 0\n0 0 1.5 0.4\n0 0 0.4 2.5\n";
  struct Case {
    const char* what;
    std::string text;
    std::vector<std::string> lines;  // every line that names zeros, in order
  };
  const Case cases[] = {
      {"identity matrices", two + "1 0\n0 1\n" + group1 + "1 0\n0 1\n",
       {" warning: R:" + said + " (1,2)", " warning: R:" + every, " warning: G of random effect 1:" + said + " (1,2)",
        " warning: G of random effect 1:" + every}},
      // Only where every covariance is fixed does the warning tell the remedy.
      {"one covariance of three", three + "1 0 0.2\n0 1 0.3\n0.2 0.3 1\n", {" warning: R:" + said + " (1,2)"}},
      {"every covariance of three", three + "1 0 0\n0 1 0\n0 0 1\n",
       {" warning: R:" + said + " (1,2) (1,3) (2,3)", " warning: R:" + every}},
      {"no zeros", two + "1 0.5\n0.5 1\n" + group1 + "1 0.2\n0.2 1\n", {}},
      // Effect 2 absent for trait 2: the pairs of the three present rows,
      // all 0, are every covariance there is; one of them not 0 is not.
      {"identity over the present rows",
       swapped_effects + "1 0\n0 1\nRANDOM_GROUP\n1 2\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n"
           "1 0 0 9\n0 1 0 9\n0 0 1 9\n9 9 9 9\n",
       {" warning: R:" + said + " (1,2)", " warning: R:" + every,
        " warning: G of random effect 1:" + said + " (1,2) (1,3) (2,3)", " warning: G of random effect 1:" + every}},
      {"a present covariance not 0",
       swapped_effects + "1 0.5\n0.5 1\nRANDOM_GROUP\n1 2\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone\n"
           "(CO)VARIANCES\n1 0 0.2 0\n0 1 0 0\n0.2 0 1 0\n0 0 0 0\n",
       {" warning: G of random effect 1:" + said + " (1,2) (2,3)"}},
      {"breed blocks",
       model_text(1, "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiag_mb 4\nPEDIGREEFILE:\nmb.txt 1 0 2\n" + mb_extra +
                         "(CO)VARIANCES\n1 0\n0 2\n"),
       {" warning: G of random effect 2: elements of breed blocks wholly 0 in the starting matrix stay 0 for the whole "
        "chain (not sampled, not in \"varcompsam\"): (1,2)",
        " warning: G of random effect 2:" + every}},
      // Two traits: a block is drawn whole unless it is wholly 0, and keeps
      // 0 the row of a variance 0.
      {"breed blocks of two traits", two + "1 0\n0 1\n" + mb2 + mb_extra + mb4,
       {" warning: R:" + said + " (1,2)", " warning: R:" + every,
        " warning: G of random effect 2: elements of breed blocks wholly 0 in the starting matrix stay 0 for the whole "
        "chain (not sampled, not in \"varcompsam\"): (1,3) (1,4) (2,3) (2,4)",
        " G of random effect 2:" + sampled + " (1,2)"}},
      {"a variance 0 in a breed block", two + "1 0.5\n0.5 1\n" + mb2 + mb_extra +
           "(CO)VARIANCES\n1 0.5 0.3 0\n0.5 2 0 0\n0.3 0 1.5 0\n0 0 0 0\n",
       {" warning: G of random effect 2:" + said + " (1,4) (2,3) (2,4) (3,4) (4,4)"}},
      {"no Metropolis rounds", two + "1 0.5\n0.5 1\n" + mb2 + "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n0 25\n" + mb4,
       {" warning: G of random effect 2:" + said + " (1,2) (1,3) (1,4) (2,3) (2,4)"}},
  };
  for (const Case& c : cases) {
    read_model(c.text);
    const statetest::Run r = capture([] { run::print_parameters("VELMORAN 1.20"); });
    ASSERT_EQ(r.stop, "") << c.what;
    std::vector<std::string> named;
    for (const std::string& l : statetest::lines(r.out))
      if (l.find("stay 0 for the whole chain") != std::string::npos || l.find("sampled all the same") != std::string::npos ||
          l.find("every covariance stays 0") != std::string::npos)
        named.push_back(l);
    EXPECT_EQ(named, c.lines) << c.what;
  }
}

// ---------------------------------------------------------------- pedigree files

TEST_F(SilentInputsFiles, PedigreeLinesAndValues) {
  const std::string where = " Error in pedigree file ped.txt of effect 2";
  const std::string no_line = " warning: 3 levels of effect 2 have no line in pedigree file ped.txt";
  struct Case {
    const char* what;
    std::string model;
    std::string ped;
    std::string stop;
    std::string said;               // lines of the output ("" none of these lines)
    std::vector<std::string> added;  // lines given to levels without one: "id parent parent [code]"
  };
  auto mb = [](int nlev, int len, int breeds) {
    return model_text(nlev, group(breeds == 2 ? "diag_mb" : "add_an_mb",
                                  "ped.txt " + std::to_string(len) + " 0 " + std::to_string(breeds),
                                  breeds == 2 ? mb_extra : "MULTIPLE_SIRES:\n0 none 0\n" + mb_extra,
                                  breeds == 2 ? "1 0.1\n0.1 1\n" : "1 0 0\n0 1 0\n0 0 1\n"));
  };
  const Case cases[] = {
      {"animal model without founders", model_text(6, group("add_animal", "ped.txt 3")), "3 1 2\n4 1 2\n5 3 0\n", "",
       no_line + "; each is taken as an animal with both parents unknown: 1 2 6", {"1 0 0", "2 0 0", "6 0 0"}},
      {"sire model without the oldest bulls", model_text(4, group("add_sire", "ped.txt 2")), "3 1 2\n4 1 0\n", "",
       " warning: 2 levels of effect 2 have no line in pedigree file ped.txt; each is taken as a sire with neither "
       "ancestor known: 1 2",
       {"1 0 0", "2 0 0"}},
      {"parent groups stay groups", model_text(7, group("add_an_upg", "ped.txt 3")), "1 6 7 3\n2 6 7 3\n3 1 2 1\n",
       "", " warning: 2 levels of effect 2 have no line in pedigree file ped.txt; each is taken as an animal with both "
           "parents unknown: 4 5\n 2 parents of effect 2 without a line are taken as parent groups: 6 7",
       {"4 0 0 3", "5 0 0 3"}},
      {"inbreeding weights", model_text(6, group("add_an_upgi", "ped.txt 2")), "1 6 6 1000\n2 1 6 1333\n", "",
       no_line + "; each is taken as an animal with both parents unknown: 3 4 5\n"
                 " 1 parent of effect 2 without a line is taken as a parent group: 6",
       {"3 0 0 1000", "4 0 0 1000", "5 0 0 1000"}},
      // Founders 1 and 2 left out: the codes make them animals.  Group 9
      // stands for both parents, and beside an animal with a line; group 8
      // has a line of its own (of no weight), beside founder 1.
      {"founders that are parents, groups", model_text(9, group("add_an_upg", "ped.txt 5")),
       "8 0 0 4\n3 1 2 1\n4 9 9 3\n5 3 9 2\n6 8 1 2\n", "",
       no_line + "; each is taken as an animal with both parents unknown: 1 2 7\n"
                 " 1 parent of effect 2 without a line is taken as a parent group: 9",
       {"1 0 0 3", "2 0 0 3", "7 0 0 3"}},
      // The weights 2 and more, between 1 and 2, and 1 count two, one and no
      // animal parents; of parents 1 and 8 without lines, 8 is numbered higher.
      {"founders that are parents, weights", model_text(8, group("add_an_upgi", "ped.txt 4")),
       "3 1 2 2000\n4 8 8 1000\n5 1 8 1450\n6 3 8 1333\n", "",
       no_line + "; each is taken as an animal with both parents unknown: 1 2 7\n"
                 " 1 parent of effect 2 without a line is taken as a parent group: 8",
       {"1 0 0 1000", "2 0 0 1000", "7 0 0 1000"}},
      {"codes that disagree", model_text(9, group("add_an_upg", "ped.txt 2")), "3 1 2 1\n4 1 9 3\n",
       where + ", line 2 (record 2): parent 1 has no line of its own, and the codes of its offspring's lines "
               "disagree: line 1 (code 1) counts it as an animal, line 2 (code 3) as a parent group",
       "", {}},
      // Group 1 numbered before animal 3: line 1 takes 3 for the group.
      {"groups numbered first", model_text(6, group("add_an_upg", "ped.txt 2")), "5 3 1 2\n6 1 1 3\n",
       where + ", line 2 (record 2): parent 1 has no line of its own, and the codes of its offspring's lines "
               "disagree: line 1 (code 2) counts it as an animal, line 2 (code 3) as a parent group (of two parents "
               "without lines on a line with one animal parent, the one numbered higher is taken as the group: "
               "groups are numbered after the animals)",
       "", {}},
      {"a negative weight", model_text(6, group("add_an_upgi", "ped.txt 3")), "1 6 6 1000\n2 1 6 -1333\n3 1 2 2000\n",
       where + ", line 2 (record 2): multiplier code -1333 (1000 times the line's weight) is below 0", "", {}},
      {"one parent an animal, both the same", model_text(9, group("add_an_upg", "ped.txt 1")), "3 9 9 2\n",
       where + ", line 1 (record 1): its code 2 makes one parent an animal and the other a parent group, but both "
               "parents are 9, which has no line of its own",
       "", {}},
      {"the first five ids", model_text(9, group("add_animal", "ped.txt 1")), "9 0 0\n", "",
       " warning: 8 levels of effect 2 have no line in pedigree file ped.txt; each is taken as an animal with both "
       "parents unknown: 1 2 3 4 5 ...",
       {"1 0 0", "2 0 0", "3 0 0", "4 0 0", "5 0 0", "6 0 0", "7 0 0", "8 0 0"}},
      {"a whole pedigree", model_text(3, group("add_animal", "ped.txt 3")), "1 0 0\n2 0 0\n3 1 2\n", "", "", {}},
      {"more records than declared", model_text(3, group("add_animal", "ped.txt 3")), "1 0 0\n2 0 0\n3 1 2\n\n4 0 0\n",
       "", " Warning: pedigree file ped.txt of effect 2 holds 4 records; the first 3 are read", {}},
      {"multiple breeds: a missing line", mb(4, 3, 2), "1 0 0 1 0\n2 0 0 0 1\n3 1 2 0.5 0.5\n",
       where + ": animal 4 has no line: the file is read for 3 lines (PEDIGREEFILE:) where the 4 levels of the "
               "effect need one each, line i describing animal i",
       "", {}},
      {"multiple breeds: a line skipped", mb(3, 3, 2), "1 0 0 1 0\n3 1 0 0.5 0.5\n",
       where + ", line 2 (record 2): animal 2 has no line: record 2 describes animal 3; each record must describe "
               "the animal of its number",
       "", {}},
      {"negative fraction", mb(2, 2, 2), "1 0 0 1 0\n2 0 0 -2 3\n",
       where + ", line 2 (record 2): breed fraction -2 of breed 1 is not within 0 to 1", "", {}},
      {"huge fraction", mb(2, 2, 2), "1 0 0 3.5e38 0\n2 0 0 0 1\n",
       where + ", line 1 (record 1): breed fraction 3.5e+38 of breed 1 is not within 0 to 1", "", {}},
      {"fractions short of 1", mb(2, 2, 2), "1 0 0 0.5 0.4\n2 0 0 0 1\n",
       where + ", line 1 (record 1): the breed fractions sum to 0.9; they must sum to 1 (within 0.001)", "", {}},
      {"thirds to three decimals", mb(1, 1, 3), "1 0 0 0.333 0.333 0.333\n", "", "", {}},
  };
  for (const Case& c : cases) {
    write("ped.txt", c.ped);
    const statetest::Run r = load(c.model);
    EXPECT_EQ(r.stop, c.stop) << c.what;
    if (!c.stop.empty()) continue;
    if (c.said.empty())
      for (const std::string& l : statetest::lines(r.out)) EXPECT_EQ(l.find("arning"), std::string::npos) << c.what << ": " << l;
    else
      EXPECT_NE(r.out.find("\n" + c.said + "\n"), std::string::npos) << c.what << ": no lines \"" << c.said << "\" in\n" << r.out;
    // The added lines follow those read, and count as lines of the pedigree.
    const int read = static_cast<int>(statetest::lines(c.ped).size());
    const bool coded = c.model.find("add_an_upg") != std::string::npos;
    EXPECT_EQ(M.lenped(2), std::min(read, M.lenped(2)) + static_cast<int>(c.added.size())) << c.what;
    for (std::size_t k = 0; k < c.added.size(); ++k) {
      const int line = M.lenped(2) - static_cast<int>(c.added.size()) + 1 + static_cast<int>(k);
      std::string got = std::to_string(s_.PED(2, line, 1)) + " " + std::to_string(s_.PED(2, line, 2)) + " " +
                        std::to_string(s_.PED(2, line, 3));
      if (coded) got += " " + std::to_string(s_.PED_CODE(2, line));
      EXPECT_EQ(got, c.added[k]) << c.what;
    }
  }
}

// A pedigree without the lines of its founders (or of animals known by no
// relative) gives the relationship inverse, and the degrees of freedom, of
// the whole pedigree.
TEST_F(SilentInputsFiles, PedigreeWithoutFoundersGivesTheWholeRelationshipInverse) {
  struct Case {
    const char* what;
    const char* type;
    model::RandomType code;
    int nlev;
    std::string whole, part;
  };
  const Case cases[] = {
      {"animal model", "add_animal", model::RandomType::add_animal, 9,
       "1 0 0\n2 0 0\n3 0 0\n4 1 2\n5 1 3\n6 4 5\n7 4 0\n8 6 7\n9 0 0\n",
       "4 1 2\n5 1 3\n6 4 5\n7 4 0\n8 6 7\n"},
      {"sire model", "add_sire", model::RandomType::add_sire, 6,
       "1 0 0\n2 0 0\n3 1 2\n4 3 1\n5 3 0\n6 0 4\n", "3 1 2\n4 3 1\n5 3 0\n6 0 4\n"},
      {"parent groups", "add_an_upg", model::RandomType::add_an_upg, 8,
       "1 7 8 3\n2 7 7 3\n3 1 2 1\n4 3 8 2\n5 0 0 3\n6 0 0 3\n",
       "1 7 8 3\n2 7 7 3\n3 1 2 1\n4 3 8 2\n"},
      {"parent groups with inbreeding", "add_an_upgi", model::RandomType::add_an_upgi, 6,
       "1 6 6 1000\n2 1 6 1333\n3 1 2 2000\n4 0 0 1000\n5 0 0 1000\n",
       "1 6 6 1000\n2 1 6 1333\n3 1 2 2000\n"},
      // Founders 1 and 2 are parents, beside group 8 (one parent an
      // animal) or each other.
      {"parent groups, founders that are parents", "add_an_upg", model::RandomType::add_an_upg, 8,
       "1 0 0 3\n2 0 0 3\n3 1 2 1\n4 8 8 3\n5 3 8 2\n6 8 1 2\n7 2 8 2\n",
       "3 1 2 1\n4 8 8 3\n5 3 8 2\n6 8 1 2\n7 2 8 2\n"},
      {"parent groups with inbreeding, founders that are parents", "add_an_upgi", model::RandomType::add_an_upgi, 7,
       "1 0 0 1000\n2 0 0 1000\n3 1 2 2000\n4 7 7 1000\n5 3 7 1333\n6 1 7 1333\n",
       "3 1 2 2000\n4 7 7 1000\n5 3 7 1333\n6 1 7 1333\n"},
  };
  for (const Case& c : cases) {
    const int whole_lines = static_cast<int>(statetest::lines(c.whole).size());
    const int part_lines = static_cast<int>(statetest::lines(c.part).size());
    write("ped.txt", c.whole);
    ASSERT_EQ(load(model_text(c.nlev, group(c.type, "ped.txt " + std::to_string(whole_lines)))).stop, "") << c.what;
    const std::vector<double> whole = relationship_inverse(c.code);
    const int df = s_.DF_RANDOM(2);
    write("ped.txt", c.part);
    ASSERT_EQ(load(model_text(c.nlev, group(c.type, "ped.txt " + std::to_string(part_lines)))).stop, "") << c.what;
    const std::vector<double> part = relationship_inverse(c.code);
    ASSERT_EQ(whole.size(), part.size());
    for (std::size_t k = 0; k < whole.size(); ++k) EXPECT_NEAR(part[k], whole[k], 1e-12) << c.what << " element " << k;
    EXPECT_EQ(s_.DF_RANDOM(2), df) << c.what;
    EXPECT_EQ(df, whole_lines) << c.what;
  }
}

// Rank of the symmetric matrix of order n whose upper triangle a holds by
// rows, by elimination with full pivoting.
int rank_of(std::vector<double> a, int n) {
  auto at = [&](int i, int j) -> double& { return a[static_cast<std::size_t>(i * n + j)]; };
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < i; ++j) at(i, j) = at(j, i);
  int r = 0;
  for (; r < n; ++r) {
    int pi = r, pj = r;
    for (int i = r; i < n; ++i)
      for (int j = r; j < n; ++j)
        if (std::fabs(at(i, j)) > std::fabs(at(pi, pj))) pi = i, pj = j;
    if (std::fabs(at(pi, pj)) < 1e-9) break;
    for (int j = 0; j < n; ++j) std::swap(at(r, j), at(pi, j));
    for (int i = 0; i < n; ++i) std::swap(at(i, r), at(i, pj));
    for (int i = r + 1; i < n; ++i) {
      const double f = at(i, r) / at(r, r);
      for (int j = r; j < n; ++j) at(i, j) -= f * at(r, j);
    }
  }
  return r;
}

// Lines of no weight (code 4, weight 0), of groups or of animals, add no term
// to the relationship inverse: G counts as its levels the lines of weight
// above 0, which is the rank of the inverse, and the start-up says so.
TEST_F(SilentInputsFiles, LinesOfNoWeightAreNoLevelsOfG) {
  struct Case {
    const char* what;
    const char* type;
    model::RandomType code;
    int nlev;
    std::string ped;
    int levels;
    std::string said;  // "" no such line
  };
  const std::string head = " Pedigree file ped.txt of effect 2: ";
  const Case cases[] = {
      {"groups' lines", "add_an_upg", model::RandomType::add_an_upg, 8,
       "7 0 0 4\n8 0 0 4\n1 7 8 3\n2 7 7 3\n3 1 2 1\n4 3 8 2\n5 0 0 3\n6 0 0 3\n", 6,
       head + "2 of its 8 lines carry no weight (code 4) and add nothing to the relationship inverse: G of effect 2 "
              "counts the other 6 as its levels, with 10 degrees of freedom (6 levels + 4 degrees of belief)"},
      {"an animal's line", "add_an_upg", model::RandomType::add_an_upg, 8,
       "1 7 8 3\n2 7 7 3\n3 1 2 4\n4 3 8 2\n5 0 0 3\n6 0 0 3\n", 5,
       head + "1 of its 6 lines carries no weight (code 4) and adds nothing to the relationship inverse: G of effect 2 "
              "counts the other 5 as its levels, with 9 degrees of freedom (5 levels + 4 degrees of belief)"},
      {"weight 0", "add_an_upgi", model::RandomType::add_an_upgi, 6,
       "6 0 0 0\n1 6 6 1000\n2 1 6 1333\n3 1 2 2000\n4 0 0 1000\n5 0 0 1000\n", 5,
       head + "1 of its 6 lines carries no weight (code 0) and adds nothing to the relationship inverse: G of effect 2 "
              "counts the other 5 as its levels, with 9 degrees of freedom (5 levels + 4 degrees of belief)"},
      {"every line weighted", "add_animal", model::RandomType::add_animal, 3, "1 0 0\n2 0 0\n3 1 2\n", 3, ""},
  };
  for (const Case& c : cases) {
    const int lines = static_cast<int>(statetest::lines(c.ped).size());
    write("ped.txt", c.ped);
    const statetest::Run r = load(model_text(c.nlev, group(c.type, "ped.txt " + std::to_string(lines))));
    ASSERT_EQ(r.stop, "") << c.what;
    if (c.said.empty())
      EXPECT_EQ(r.out.find("no weight (code"), std::string::npos) << c.what << "\n" << r.out;
    else
      EXPECT_NE(r.out.find("\n" + c.said + "\n"), std::string::npos) << c.what << "\n" << r.out;
    const std::vector<double> a = relationship_inverse(c.code);
    EXPECT_EQ(s_.DF_RANDOM(2), c.levels) << c.what;
    EXPECT_EQ(rank_of(a, c.nlev), c.levels) << c.what;
  }
}

// The folder a under the test's own folder top, emptied, with the data set
// the simulator writes with options.
std::filesystem::path simulated(const char* top, const char* a, const std::string& options) {
  const std::filesystem::path d = std::filesystem::path(testing::TempDir()) / top / a;
  std::filesystem::remove_all(d.parent_path());
  std::filesystem::create_directories(d);
  const chaintest::Process sim = chaintest::run_simulator(d, options);
  EXPECT_EQ(sim.status, 0) << sim.err;
  return d;
}

// Through the program: a simulated pedigree without its founders' lines
// (those naming no parent) has the relationship inverse of the whole one up to
// the order of its sums, so its chain draws what the whole one draws, to six
// digits: an animal model, and models with a parent group whose founders
// are parents beside the group (one trait; weights of two traits).
TEST(SilentInputsProgram, PedigreeWithoutFoundersGivesTheChainOfTheWholeOne) {
  namespace fs = std::filesystem;
  using namespace chaintest;
  if (program_path().empty() || simulator_path().empty()) GTEST_SKIP() << "program or simulator not built";
  const fs::path top = fs::path(testing::TempDir()) / "silent_founders";
  fs::remove_all(top);
  struct Case {
    const char* name;
    std::string options;
    bool groups;
  };
  const Case cases[] = {
      {"animal", "--records 400 --seed 21", false},
      {"groups", "--records 400 --unknown 0.2 --groups add_an_upg --seed 22", true},
      {"weights", "--records 300 --traits 2 --unknown 0.2 --groups add_an_upgi --seed 23", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path a = top / c.name / "whole", b = top / c.name / "part";
    fs::create_directories(a);
    const Process sim = run_simulator(a, c.options + " --nround 600 --nburn 100 --skip 5");
    ASSERT_EQ(sim.status, 0) << sim.err;
    fs::copy(a, b);
    const std::vector<std::string> truth = lines_of(read_file(a / "truth.txt"));
    int founders = 0, animals = 0;
    for (std::size_t i = 0; i + 1 < truth.size(); ++i) {
      if (truth[i] == "FOUNDERS") founders = std::stoi(truth[i + 1]);
      if (truth[i] == "ANIMALS") animals = std::stoi(truth[i + 1]);
    }
    ASSERT_GT(founders, 5);
    int kept = 0;
    {
      std::ofstream out(b / "pedigree.txt");
      for (const std::string& line : lines_of(read_file(a / "pedigree.txt"))) {
        std::istringstream in(line);
        long id = 0, p = 0, q = 0;
        in >> id >> p >> q;
        if (p == 0 && q == 0) continue;
        out << line << "\n";
        ++kept;
      }
    }
    ASSERT_EQ(kept + founders, animals);
    set_keyword_value(b / "params.txt", "PEDIGREEFILE:", "pedigree.txt " + std::to_string(kept));

    const Process pa = run_program(a), pb = run_program(b);
    ASSERT_EQ(pa.status, 0) << pa.out << pa.err;
    ASSERT_EQ(pb.status, 0) << pb.out << pb.err;
    std::string said = " warning: " + std::to_string(founders) +
                       " levels of effect 3 have no line in pedigree file pedigree.txt; each is taken as an animal "
                       "with both parents unknown: 1 2 3 4 5 ...\n";
    if (c.groups)
      said += " 1 parent of effect 3 without a line is taken as a parent group: " + std::to_string(animals + 1) + "\n";
    EXPECT_NE(pb.out.find(said), std::string::npos) << pb.out;
    // Every draw of G and R; the starting solutions, iterated to a
    // tolerance, may differ in their last digits.
    std::istringstream sa(read_file(a / "varcompsam")), sb(read_file(b / "varcompsam"));
    std::vector<double> da, db;
    for (double x; sa >> x;) da.push_back(x);
    for (double x; sb >> x;) db.push_back(x);
    ASSERT_EQ(da.size(), db.size());
    ASSERT_GT(da.size(), 100u);
    for (std::size_t k = 0; k < da.size(); ++k) ASSERT_NEAR(db[k], da[k], 1e-6 * (1.0 + std::fabs(da[k]))) << k;
  }
}

// Through the program: a line of no weight for the parent group (code 4, or
// weight 0) leaves the chain of the pedigree without it as it was, to the
// byte (before, it counted as a level of G: 0.726 against 1.053 for the
// mean of G in a set of 400 animals with 6 such lines); a negative weight
// stops the reading of the pedigree at its line.
TEST(SilentInputsProgram, LinesOfNoWeightLeaveTheChainAsItWas) {
  namespace fs = std::filesystem;
  using namespace chaintest;
  if (program_path().empty() || simulator_path().empty()) GTEST_SKIP() << "program or simulator not built";
  const fs::path top = fs::path(testing::TempDir()) / "silent_no_weight";
  fs::remove_all(top);
  struct Case {
    const char* name;
    std::string options;
    const char* code;
    const char* refusal;  // of the line 201 0 0 -1000
  };
  const Case cases[] = {
      {"groups", "--records 300 --unknown 0.3 --groups add_an_upg --seed 31", "4", "is not within 1 to 4"},
      {"weights", "--records 200 --traits 2 --unknown 0.3 --groups add_an_upgi --seed 32", "0",
       "(1000 times the line's weight) is below 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path a = top / c.name / "plain", b = top / c.name / "lined", n = top / c.name / "negative";
    fs::create_directories(a);
    const Process sim = run_simulator(a, c.options + " --animals 200 --nround 200 --nburn 50 --skip 2");
    ASSERT_EQ(sim.status, 0) << sim.err;
    fs::copy(a, b);
    fs::copy(a, n);
    const std::string ped = read_file(a / "pedigree.txt");
    const std::string lines = std::to_string(statetest::lines(ped).size() + 1);
    std::ofstream(b / "pedigree.txt") << ped << "201 0 0 " << c.code << "\n";
    std::ofstream(n / "pedigree.txt") << ped << "201 0 0 -1000\n";
    set_keyword_value(b / "params.txt", "PEDIGREEFILE:", "pedigree.txt " + lines);
    set_keyword_value(n / "params.txt", "PEDIGREEFILE:", "pedigree.txt " + lines);

    const Process pa = run_program(a), pb = run_program(b), pn = run_program(n);
    ASSERT_EQ(pa.status, 0) << pa.out << pa.err;
    ASSERT_EQ(pb.status, 0) << pb.out << pb.err;
    EXPECT_EQ(pa.out.find("no weight (code"), std::string::npos);
    EXPECT_NE(pb.out.find(" Pedigree file pedigree.txt of effect 3: 1 of its 201 lines carries no weight (code " +
                          std::string(c.code) + ") and adds nothing to the relationship inverse: G of effect 3 counts "
                          "the other 200 as its levels"),
              std::string::npos)
        << pb.out;
    for (const char* f : {"varcompsam", "solutions", "varcomp"}) EXPECT_EQ(read_file(b / f), read_file(a / f)) << f;
    EXPECT_EQ(pn.status, 1);
    EXPECT_NE((pn.out + pn.err)
                  .find(" Error in pedigree file pedigree.txt of effect 3, line 201 (record 201): multiplier code "
                        "-1000 " +
                        std::string(c.refusal)),
              std::string::npos)
        << pn.out << pn.err;
  }
}

// Through the program: every file it reads saved with a UTF-8 byte-order
// mark (the parameter, data, pedigree and multiple-sires files, the name on
// standard input, and on a restart the result files, "store_record" and
// "chain_state") gives the outputs of the same files without it.
TEST(SilentInputsProgram, ByteOrderMarksOnEveryInputChangeNoOutput) {
  namespace fs = std::filesystem;
  using namespace chaintest;
  if (program_path().empty() || simulator_path().empty()) GTEST_SKIP() << "program or simulator not built";
  const fs::path a =
      simulated("silent_marks", "plain", "--records 150 --candidates 0.3 --nround 150 --nburn 50 --skip 1 --seed 5");
  const fs::path b = a.parent_path() / "marked";
  ASSERT_FALSE(HasFailure());
  const std::string mark = "\xEF\xBB\xBF";
  auto marked = [&](const fs::path& f, const std::string& text) {
    std::ofstream(f, std::ios::binary) << mark << text;
  };
  const std::vector<std::string> inputs = {"params.txt", "data.txt", "pedigree.txt", "msires.txt"};
  auto run_both = [&] {
    for (const std::string& f : inputs) marked(b / f, read_file(a / f));
    const Process pa = run_program(a), pb = run_in(b, quoted(program_path()), mark + "params.txt\n");
    ASSERT_EQ(pa.status, 0) << pa.out << pa.err;
    ASSERT_EQ(pb.status, 0) << pb.out << pb.err;
    int outputs = 0;
    for (const fs::directory_entry& f : fs::directory_iterator(a)) {
      const std::string name = f.path().filename().string();
      if (std::find(inputs.begin(), inputs.end(), name) != inputs.end() || name == "truth.txt") continue;
      EXPECT_EQ(read_file(f.path()), read_file(b / name)) << name;
      ++outputs;
    }
    EXPECT_GE(outputs, 7);
  };
  fs::create_directories(b);
  fs::copy_file(a / "truth.txt", b / "truth.txt");
  run_both();

  // The chain continued from its store, the store's files marked too.
  set_keyword_value(a / "params.txt", "MCMC_CHAIN:", "250 50 1");
  set_keyword_value(a / "params.txt", "RESTART:", "y 151");
  std::vector<std::string> stored = {"store_record"};
  for (const std::string& l : lines_of(read_file(b / "store_record")))
    if (l.starts_with("result ")) stored.push_back(l.substr(7, l.find(' ', 7) - 7));
  EXPECT_GE(stored.size(), 5u);
  for (const std::string& f : stored) marked(b / f, read_file(b / f));
  run_both();
}

}  // namespace
