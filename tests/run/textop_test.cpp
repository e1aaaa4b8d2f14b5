#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "param_support.hpp"
#include "run/textop.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace {

const model::Model& M = model::m;

std::string temp_file(const std::string& name, const std::string& text) {
  const std::string path = testing::TempDir() + "param_" + name;
  std::ofstream(path) << text;
  return path;
}

// A pedigree file that exists (its content is not read here).
const std::string& ped_path() {
  static const std::string p = temp_file("ped.txt", "1 0 0\n2 0 0\n");
  return p;
}

// Replaces every "@PED" by the existing pedigree file.
std::string with_ped(std::string text) {
  for (std::size_t p; (p = text.find("@PED")) != std::string::npos;) text.replace(p, 4, ped_path());
  return text;
}

// Reads a parameter text; returns the stop message, or "" when it passed.
// Every stop ends with a line naming the place in the file; it is checked
// here and left out of the message returned.
std::string read(const std::string& text) {
  auto in = util::TextIn::from_text(with_ped(text), "test.par");
  try {
    textop::read_parameter_text(in);
  } catch (const util::Stop& s) {
    const std::string m = s.what();
    const std::size_t p = m.rfind('\n');
    if (p == std::string::npos || m.compare(p, 13, "\n in test.par") != 0) {
      ADD_FAILURE() << "no place in the file named: " << m;
      return m;
    }
    return m.substr(0, p);
  }
  return "";
}

using paramtest::base;
using paramtest::sub;

// The base text up to (not including) the first `from`.
std::string upto(const std::string& from) { return base.substr(0, base.find(from)); }

// Base with a structural residual, ahead of RESIDUAL_PRIOR_(CO)VARIANCES.
std::string structural(const std::string& sections) {
  return sub(sub(base, "homogeneous 5", "structural 5"), "RESIDUAL_PRIOR_(CO)VARIANCES\n",
             sections + "RESIDUAL_PRIOR_(CO)VARIANCES\n");
}

// Base whose group is replaced by `group` (from its RANDOM_GROUP line on).
std::string group(const std::string& g) { return upto("RANDOM_GROUP") + g; }

TEST(ParameterFile, EveryStopMessage) {
  struct Case {
    const char* what;
    std::string text;
    std::string message;
  };
  const std::string ms_group =
      "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_ms 4\nPEDIGREEFILE:\n@PED 10 2\n"
      "MULTIPLE_SIRES:\n3 ms.txt 12 0.5\n(CO)VARIANCES\n0.5\n";
  const std::string mb_group =
      "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_mb 4\nPEDIGREEFILE:\n@PED 10 2 2\n"
      "MULTIPLE_SIRES:\n1 ms.txt 12\nMETROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n10 50\n"
      "(CO)VARIANCES\n1 0 0 1\n";
  const Case cases[] = {
      // The messages of the reader, in the order of the file.
      {"empty file", "", " INPUT FILE EMPTY"},
      {"only comments", "# nothing\n  # here\n", " INPUT FILE EMPTY"},
      {"first keyword", sub(base, "MCMC_CHAIN:", "MCMC_CHAIN"), " MCMC_CHAIN: not found"},
      {"seed lower case", sub(base, "SEED", "seed"), " SEED not found"},
      {"seed with colon", sub(base, "SEED", "SEED:"), " SEED not found"},
      {"restart", sub(base, "RESTART:", "RESTART"), " RESTART: not found"},
      {"datafile", sub(base, "DATAFILE", "DATA_FILE"), " DATAFILE not found"},
      {"traits", sub(base, "NUMBER_OF_TRAITS", "NUMBER_OF_TRAIT"), " NUMBER_OF_TRAITS not found"},
      {"effects count", sub(base, "NUMBER_OF_EFFECTS", "#\n"), " NUMBER_OF_EFFECTS not found"},
      {"observations", sub(base, "OBSERVATION(S)", "OBSERVATIONS"), "  OBSERVATION(S) not found"},
      {"observation count", sub(base, "OBSERVATION(S)\n1\n", "OBSERVATION(S)\n1 2\n"),
       " 1 numbers expected after OBSERVATION(S)"},
      {"weights", sub(base, "WEIGHT(S)", "WEIGHT"), "  WEIGHT(S) not found"},
      {"two weights", sub(base, "WEIGHT(S)\n\n", "WEIGHT(S)\n4 5\n"), " 1 Only one number for WEIGHT"},
      {"weights at end of file", upto("WEIGHT(S)") + "WEIGHT(S)\n", " 1 Only one number for WEIGHT"},
      {"effects keyword", sub(base, "EFFECTS:", "EFFECTS"), "  EFFECTS: not found"},
      {"blank line for a keyword", sub(base, "EFFECTS:\n", "\nEFFECTS:\n"), "  EFFECTS: not found"},
      {"effect word count", sub(base, "3 10 cross n", "3 10 cross"),
       " too few or too many numbers for effect 2. Was 3"},
      {"effect line at end of file", upto("3 10 cross"), " too few or too many numbers for effect 2. Was -1"},
      {"residual keyword", sub(base, "RANDOM_RESIDUAL:", "RANDOM_RESIDUAL"), "  RANDOM_RESIDUAL: not found"},
      {"residual type", sub(base, "homogeneous 5", "homogenous 5"),
       " unknown RANDOM_RESIDUAL-TYPE: homogenous\n"
       "  Should be homogeneous, structural, slash, struct_slash, student_t, struct_student_t"},
      {"residual type on 16 characters", sub(base, "homogeneous 5", "homogeneousX 5"),
       " unknown RANDOM_RESIDUAL-TYPE: homogeneousX\n"
       "  Should be homogeneous, structural, slash, struct_slash, student_t, struct_student_t"},
      {"structural metropolis", structural(""), " METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: not found"},
      {"structural count", structural("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 20\n"),
       " NUMBER_OF_STRUCTURAL_EFFECTS not found"},
      {"structural effects",
       structural("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 20\nNUMBER_OF_STRUCTURAL_EFFECTS\n1\n"),
       "  STRUCTURAL_EFFECTS: not found"},
      {"structural effect line",
       structural("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 20\nNUMBER_OF_STRUCTURAL_EFFECTS\n2\n"
                  "STRUCTURAL_EFFECTS:\n1 y\n2 y extra\n"),
       " too few or too many numbers for effect 2. Was 3"},
      {"residual prior", sub(base, "RESIDUAL_PRIOR_(CO)VARIANCES", "RESIDUAL_PRIOR_COVARIANCES"),
       "  RESIDUAL_PRIOR_(CO)VARIANCES not found"},
      {"residual numbers missing", upto("RANDOM_GROUP").substr(0, upto("RANDOM_GROUP").size() - 4),
       " error reading RANDOM_RESIDUAL variances\n"
       " RESIDUAL_PRIOR_(CO)VARIANCES: the file ends after 0 of the 1 values of a matrix of order 1"},
      {"comment inside residual numbers", sub(base, "(CO)VARIANCES\n1.0\n", "(CO)VARIANCES\n# one\n1.0\n"),
       " error reading RANDOM_RESIDUAL variances\n RESIDUAL_PRIOR_(CO)VARIANCES: \"#\" is not a number"},
      {"group line empty", sub(base, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\n\n"),
       " line after RANDOM_GROUP has too few or too many numbers"},
      {"group line too long", sub(base, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\n1 2 3\n"),
       " line after RANDOM_GROUP has too few or too many numbers"},
      {"group out of range", sub(base, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\n2 3\n"),
       " number 2 3 after RANDOM_GROUP out of range"},
      {"group below 1", sub(base, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\n0 1\n"),
       " number 0 1 after RANDOM_GROUP out of range"},
      {"group not consecutive", sub(base, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\n2 1\n"),
       "  correlated effects: 2 1 should be consecutive"},
      {"random type keyword", sub(base, "RANDOM_TYPE", "RANDOMTYPE"), "  RANDOM_TYPE not found"},
      {"random type word", sub(base, "diagonal 4", "diag 4"),
       " unknown RANDOM-TYPE: diag\n"
       "  Should be diagonal, add_animal, add_sire add_an_upg, add_an_upginb, or par_domin add_an_ms, "
       "add_an_mb, diag_mb"},
      {"pedigree keyword", sub(base, "PEDIGREEFILE:", "PEDIGREEFILE"), "  PEDIGREEFILE for random effect 2 not found"},
      {"multiple sires keyword", group(sub(ms_group, "MULTIPLE_SIRES:", "MULTIPLE_SIRES")),
       "  MULTIPLE_SIRES: for random effect 2 not found"},
      {"multibreed metropolis keyword",
       group(sub(mb_group, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:", "METROPOLIS_STEP_MB:")),
       " METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: not found"},
      {"covariances keyword", sub(base, "(CO)VARIANCES\n0.5", "COVARIANCES\n0.5"), "  (CO)VARIANCES not found"},
      {"group numbers missing", base.substr(0, base.size() - 4),
       " error reading variances for effect 2\n"
       " (CO)VARIANCES: the file ends after 0 of the 1 values of a matrix of order 1"},
      {"group numbers unreadable", sub(base, "\n0.5\n", "\nhalf\n"),
       " error reading variances for effect 2\n (CO)VARIANCES: \"half\" is not a number"},

      // A value line short of words says what it should hold.
      {"short chain line", sub(base, "1000 100 10", "1000 100"),
       " MCMC_CHAIN: the value line holds 2 words; expected 3 numbers: the number of cycles, the burn-in and"
       " the thinning interval"},
      {"empty seed line", sub(base, "1234", ""), " SEED: the value line is empty; expected 1 number: the seed"},
      {"restart without cycle", sub(base, "RESTART:\nn\n", "RESTART:\ny\n"),
       " RESTART: the value line holds 1 word; expected 2 words: y and the cycle to restart from"},
      {"datafile without count", sub(base, "data.txt 50", "data.txt"),
       " DATAFILE: the value line holds 1 word; expected 2 words: the data file and the number of records"},
      {"residual without belief", sub(base, "homogeneous 5", "homogeneous"),
       " RANDOM_RESIDUAL: the value line holds 1 word; expected 2 words: the residual type and the degrees of"
       " belief"},
      {"random type without belief", sub(base, "diagonal 4", "diagonal"),
       " RANDOM_TYPE: the value line holds 1 word; expected 2 words: the random type and the degrees of belief"},
      {"pedigree line without count",
       group("RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_animal 4\nPEDIGREEFILE:\n@PED\n(CO)VARIANCES\n1\n"),
       " PEDIGREEFILE: the value line holds 1 word; expected 2 words: the pedigree file and the number of"
       " animals"},
      {"sires line without weight", group(sub(ms_group, "3 ms.txt 12 0.5", "3 ms.txt 12")),
       " MULTIPLE_SIRES: the value line holds 3 words; expected 4 words: the largest number of candidate sires,"
       " the multiple-sires file, its number of values and the Dirichlet weight"},
      {"multibreed line short", group(sub(mb_group, "10 50", "10")),
       " METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: the value line holds 1 word; expected 2 numbers: the"
       " steps per cycle and the tuning interval"},

      // Values that would break the run later.
      {"no cycles", sub(base, "1000 100 10", "0 0 10"), " MCMC_CHAIN: number of cycles must be at least 1. Was 0"},
      {"no thinning", sub(base, "1000 100 10", "1000 100 0"),
       " MCMC_CHAIN: thinning interval must be at least 1. Was 0"},
      {"seed 0", sub(base, "1234", "0"), " SEED: a seed of 0 is not possible. Was 0"},
      {"no records", sub(base, "data.txt 50", "data.txt 0"), " DATAFILE: number of records must be at least 1. Was 0"},
      {"no traits", sub(base, "NUMBER_OF_TRAITS\n1", "NUMBER_OF_TRAITS\n0"),
       " NUMBER_OF_TRAITS must be at least 1. Was 0"},
      {"negative effects", sub(base, "NUMBER_OF_EFFECTS\n2", "NUMBER_OF_EFFECTS\n-2"),
       " NUMBER_OF_EFFECTS must be at least 1. Was -2"},
      {"trait column 0", sub(base, "OBSERVATION(S)\n1\n", "OBSERVATION(S)\n0\n"),
       " OBSERVATION(S): data column of trait 1 must be at least 1. Was 0"},
      {"negative weight column", sub(base, "WEIGHT(S)\n\n", "WEIGHT(S)\n-4\n"),
       " WEIGHT(S): data column must not be negative. Was -4"},
      {"negative effect column", sub(base, "3 10 cross n", "-3 10 cross n"),
       " EFFECTS: data column of effect 2 trait 1 must not be negative. Was -3"},
      {"no levels", sub(base, "3 10 cross n", "3 0 cross n"),
       " EFFECTS: number of levels of effect 2 must be at least 1. Was 0"},
      {"negative nesting column", sub(base, "3 10 cross n", "3 10 cov n -1"),
       " EFFECTS: nesting column of effect 2 trait 1 must not be negative. Was -1"},
      {"unknown effect type", sub(base, "3 10 cross n", "3 10 co n"),
       " EFFECTS: the type of effect 2 must begin with cro, cov, ram, unk or rno"},
      {"structural tuning 0",
       structural("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 0\nNUMBER_OF_STRUCTURAL_EFFECTS\n1\n"
                  "STRUCTURAL_EFFECTS:\n1\n"),
       " METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS: tuning interval must be at least 1. Was 0"},
      {"structural effect out of range",
       structural("METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 20\nNUMBER_OF_STRUCTURAL_EFFECTS\n1\n"
                  "STRUCTURAL_EFFECTS:\n3 y\n"),
       " STRUCTURAL_EFFECTS: effect number must be within 1 to 2. Was 3"},
      {"multibreed tuning 0", group(sub(mb_group, "10 50", "10 0")),
       " METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES: tuning interval must be at least 1. Was 0"},
      {"improper breed-block prior", group(sub(mb_group, "add_an_mb 4", "add_an_mb 2")),
       " RANDOM_TYPE add_an_mb of random effect 2: degrees of belief 2 give no proper prior of its"
       " breed blocks of order 1; the least allowed is 3"},
      {"no breed-block prior", group(sub(mb_group, "add_an_mb 4", "diag_mb 0")),
       " RANDOM_TYPE diag_mb of random effect 2: degrees of belief 0 give no proper prior of its"
       " breed blocks of order 1; the least allowed is 3"},
      {"no breeds", group(sub(mb_group, "@PED 10 2 2", "@PED 10 2 0")),
       " PEDIGREEFILE: number of breeds of random effect 2 must be at least 1. Was 0"},
      {"overflowing integer", sub(base, "1234", "4294967297"), " SEED number out of range: 4294967297"},
      {"overflowing level count", sub(base, "3 10 cross n", "3 2147483648 cross n"),
       " EFFECTS: number out of range: 2147483648"},
      {"bad Dirichlet weight", group(sub(ms_group, "3 ms.txt 12 0.5", "3 ms.txt 12 half")),
       " MULTIPLE_SIRES: the Dirichlet weight is not a number: half"},

      // Models the rest of the program cannot run.
      {"pedigree file missing",
       group("RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_sire 4\nPEDIGREEFILE:\nno_such_pedigree 10\n(CO)VARIANCES\n1\n"),
       " pedigree file of random effect 2 not found: no_such_pedigree"},
      {"par_domin", sub(base, "diagonal 4", "par_domin 4"),
       " RANDOM_TYPE par_domin (parental dominance) of random effect 2 is not implemented"},
      {"two candidate-sire groups",
       group(sub(ms_group, "RANDOM_GROUP\n2\n", "RANDOM_GROUP\n1\n") + ms_group),
       " RANDOM_TYPE add_an_ms of random effect 2: only one group of type add_an_ms or add_an_mb is possible"},
      {"two ram groups",
       group("RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1\n"
             "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1\n")
           .replace(base.find("2 5 cross y"), 11, "2 5 ram y  ")
           .replace(base.find("3 10 cross n"), 12, "3 10 ram n  "),
       " RANDOM_GROUP 2: a second reduced animal model (ram) group is not possible"},
  };
  // Standard output (the unknown effect type's warning) is captured while
  // reading, so failures are reported after it.
  std::vector<std::string> got;
  testing::internal::CaptureStdout();
  for (const Case& c : cases) got.push_back(read(c.text));
  testing::internal::GetCapturedStdout();
  for (std::size_t k = 0; k < got.size(); ++k) EXPECT_EQ(got[k], cases[k].message) << cases[k].what;
  // The base itself is sound.
  EXPECT_EQ(read(base), "");
}

// nt traits, ne effects, all of them in one diagonal group whose block holds
// 1000 * min(i, j) + max(i, j) at row i, column j, a row per line.
std::string one_big_group(int nt, int ne) {
  std::string obs, eff, rnums, grp, block;
  for (int t = 1; t <= nt; ++t) {
    obs += std::to_string(t) + " ";
    eff += "4 ";
    for (int u = 1; u <= nt; ++u) rnums += t == u ? "1 " : "0 ";
  }
  for (int e = 1; e <= ne; ++e) grp += std::to_string(e) + " ";
  const int d = nt * ne;
  for (int j = 1; j <= d; ++j)
    for (int i = 1; i <= d; ++i)
      block += std::to_string(1000 * std::min(i, j) + std::max(i, j)) + (i == d ? "\n" : " ");
  std::string t = "MCMC_CHAIN:\n10 0 1\nSEED\n5\nRESTART:\nn\nDATAFILE\nd 1\nNUMBER_OF_TRAITS\n" +
                  std::to_string(nt) + "\nNUMBER_OF_EFFECTS\n" + std::to_string(ne) + "\nOBSERVATION(S)\n" + obs +
                  "\nWEIGHT(S)\n\nEFFECTS:\n";
  for (int e = 1; e <= ne; ++e) t += eff + "10 cross n\n";
  return t + "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n" + rnums +
         "\nRANDOM_GROUP\n" + grp + "\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n" + block +
         "\n";
}

TEST(ParameterFile, BlockAbove20StopsWithTheMaxcorrWarning) {
  EXPECT_EQ(read(one_big_group(3, 7)),
            " maxcorr should be increased to at least 21\n"
            " the (co)variance block of random effect 1 has order 21; the largest possible is 20");
  ASSERT_EQ(read(one_big_group(2, 10)), "");  // order 20 is read
  EXPECT_EQ(M.g(1, 1, 1), 1001);
  EXPECT_EQ(M.g(1, 20, 1), 1020);
  EXPECT_EQ(M.g(1, 1, 2), 1002);
  EXPECT_EQ(M.g(1, 20, 20), 20020);
}

TEST(ParameterFile, UnknownEffectTypeWarnsThenStops) {
  testing::internal::CaptureStdout();
  const std::string m = read(sub(base, "2 5 cross y", "2 5 fixed y"));
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, " Unknown type of effect: fixed\n");
  EXPECT_EQ(m, " EFFECTS: the type of effect 1 must begin with cro, cov, ram, unk or rno");
}

TEST(ParameterFile, WordComparisons) {
  // Effect types on three letters.
  ASSERT_EQ(read(sub(sub(base, "2 5 cross y", "2 5 covariable y"), "3 10 cross n", "3 10 cov n")), "");
  EXPECT_EQ(M.effecttype(1), model::EffectType::cov);
  EXPECT_EQ(M.effecttype(2), model::EffectType::cov);
  ASSERT_EQ(read(sub(sub(base, "2 5 cross y", "2 5 rnorm y"), "3 10 cross n", "3 10 unknown n")), "");
  EXPECT_EQ(M.effecttype(1), model::EffectType::rno);
  EXPECT_EQ(M.effecttype(2), model::EffectType::unk);
  ASSERT_EQ(read(sub(base, "3 10 cross n", "3 10 cro n")), "");
  EXPECT_EQ(M.effecttype(2), model::EffectType::cro);

  // Random types on 11 characters, residual types on 16.
  const std::string upg = "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_upginb 4\nPEDIGREEFILE:\n@PED 12\n(CO)VARIANCES\n1\n";
  ASSERT_EQ(read(group(upg)), "");
  EXPECT_EQ(M.randomtype(2), model::RandomType::add_an_upgi);
  EXPECT_EQ(M.lenped(2), 12);  // taken for this type as well
  ASSERT_EQ(read(group(sub(upg, "add_an_upginb", "add_an_upg"))), "");
  EXPECT_EQ(M.randomtype(2), model::RandomType::add_an_upg);
  EXPECT_EQ(M.lenped(2), 12);
  EXPECT_NE(read(group(sub(upg, "add_an_upginb", "add_animalX"))), "");
  ASSERT_EQ(read(sub(base, "homogeneous 5", "student_t 5")), "");
  EXPECT_EQ(M.residualtype, model::ResidualType::student_t);
  const std::string st = "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 20\nNUMBER_OF_STRUCTURAL_EFFECTS\n0\n"
                         "STRUCTURAL_EFFECTS:\n";
  ASSERT_EQ(read(sub(structural(st), "structural 5", "struct_student_t_and_more 5")), "");
  EXPECT_EQ(M.residualtype, model::ResidualType::struct_student_t);
  EXPECT_EQ(M.neffr, 0);
}

TEST(ParameterFile, RestartForms) {
  ASSERT_EQ(read(base), "");
  EXPECT_EQ(M.rstart, 'n');
  EXPECT_EQ(M.start, 1);
  ASSERT_EQ(read(sub(base, "RESTART:\nn\n", "RESTART:\ny 5001\n")), "");
  EXPECT_EQ(M.rstart, 'y');
  EXPECT_EQ(M.start, 5001);
  ASSERT_EQ(read(sub(base, "RESTART:\nn\n", "RESTART:\nyes 12\n")), "");
  EXPECT_EQ(M.start, 12);
  ASSERT_EQ(read(sub(base, "RESTART:\nn\n", "RESTART:\nY 5001\n")), "");  // either case restarts
  EXPECT_EQ(M.rstart, 'y');
  EXPECT_EQ(M.start, 5001);
}

TEST(ParameterFile, NestingColumnsAndSaveWord) {
  // One trait: 4 words take the save word's value as the nesting column, 5
  // words the fifth word; 6 words leave it at 0.
  ASSERT_EQ(read(sub(sub(base, "2 5 cross y", "2 5 cov y"), "3 10 cross n", "3 10 cov 7")), "");
  EXPECT_EQ(M.nestedcov(1, 1), 0);
  EXPECT_EQ(M.effectsave(1), 1);
  EXPECT_EQ(M.nestedcov(2, 1), 7);
  EXPECT_EQ(M.effectsave(2), 0);
  ASSERT_EQ(read(sub(sub(base, "2 5 cross y", "2 5 rno yes 4"), "3 10 cross n", "3 10 cov n 4 9")), "");
  EXPECT_EQ(M.nestedcov(1, 1), 4);
  EXPECT_EQ(M.effectsave(1), 1);
  EXPECT_EQ(M.nestedcov(2, 1), 0);
  // Only covariables and reaction norms are nested.
  ASSERT_EQ(read(sub(base, "3 10 cross n", "3 10 cross n 4")), "");
  EXPECT_EQ(M.nestedcov(2, 1), 0);
}

TEST(ParameterFile, ModelWithoutGroupsAndSilentEndOfGroups) {
  ASSERT_EQ(read(upto("RANDOM_GROUP")), "");
  for (int e = 1; e <= 2; ++e) {
    EXPECT_EQ(M.randomtype(e), model::RandomType::none);
    EXPECT_EQ(M.randomnumb(e), 0);
  }
  EXPECT_EQ(M.g.extent1(), 2);
  EXPECT_EQ(M.g.extent2(), 20);
  EXPECT_EQ(M.pos_weight, 0);
  EXPECT_EQ(M.miss, 0);

  // A misspelled RANDOM_GROUP would end the model and leave the group after
  // it unread: it stops the run.
  const std::string two = base + "RANDOM_GROUPS\n1\nRANDOM_TYPE\nnothing\n";
  EXPECT_EQ(read(two),
            " \"RANDOM_GROUPS\" looks like a keyword but is none; the nearest keyword is RANDOM_GROUP. The model"
            " ends before this line, which would not be read");
}

TEST(ParameterFile, SiresSettings) {
  const std::string ms =
      "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_ms 4\nPEDIGREEFILE:\n@PED 10 2\n"
      "MULTIPLE_SIRES:\n1 ms.txt 12 7\n(CO)VARIANCES\n0.5\n";
  ASSERT_EQ(read(group(ms)), "");
  EXPECT_EQ(M.max_msires, 1);
  EXPECT_EQ(M.ms_alpha, 0.0f);  // the fourth word counts only above 1
  ASSERT_EQ(read(group(sub(ms, "1 ms.txt 12 7", "2 ms.txt 12 0.5"))), "");
  EXPECT_EQ(M.ms_alpha, 0.5f);
  ASSERT_EQ(read(group(sub(ms, "1 ms.txt 12 7", "2 ms.txt 12 3"))), "");
  EXPECT_EQ(M.ms_alpha, 3.0f);
}

// Two traits, four effects, two random groups, comments, tabs and a long file
// name: every field of the description.
TEST(ParameterFile, CompleteMultiTraitModel) {
  const std::string long_name(60, 'd');
  const std::string text =
      "# chain\n"
      "MCMC_CHAIN:\n"
      "  20000\t2000   10  trailing words are ignored\n"
      "SEED\n"
      "# between keyword and value\n"
      "-77\n"
      "RESTART:\n"
      "y 5001\n"
      "DATAFILE\n" +
      long_name + " 1234\n"
      "NUMBER_OF_TRAITS\n"
      "2\n"
      "NUMBER_OF_EFFECTS extra\n"
      "4\n"
      "OBSERVATION(S)\n"
      "5 6\n"
      "WEIGHT(S)\n"
      "7\n"
      "EFFECTS:\n"
      "1 1 3 cross y\n"
      "2 0 1 covariable n 3 0\n"
      "4\t4 500 cross yes\n"
      "4 4 500 cro n\n"
      "RANDOM_RESIDUAL:\n"
      "homogeneous 10\n"
      "RESIDUAL_PRIOR_(CO)VARIANCES\n"
      "2.0 0.5\n"
      "0.5, 3.0\n"
      "RANDOM_GROUP\n"
      "1\n"
      "RANDOM_TYPE\n"
      "diagonal 6\n"
      "PEDIGREEFILE:\n"
      "not_a_file\n"
      "(CO)VARIANCES\n"
      "1 0.1 0.1 2\n"
      "# comment between groups\n"
      "RANDOM_GROUP\n"
      "3 4\n"
      "RANDOM_TYPE\n"
      "add_animal 8\n"
      "PEDIGREEFILE:\n"
      "@PED 900\n"
      "(CO)VARIANCES\n"
      "11 12 13 14\n"
      "12 22 23 24\n"
      "13 23 33 34\n"
      "14 24 34 44\n"
      "not a group\n";
  ASSERT_EQ(read(text), "");

  EXPECT_EQ(M.parfile, "");  // given by read_parameter_file only
  EXPECT_EQ(M.nround, 20000);
  EXPECT_EQ(M.nburn, 2000);
  EXPECT_EQ(M.skip, 10);
  EXPECT_EQ(M.seed, -77);
  EXPECT_EQ(M.rstart, 'y');
  EXPECT_EQ(M.start, 5001);
  EXPECT_EQ(M.round, 0);
  EXPECT_EQ(M.datafile, long_name);
  EXPECT_EQ(M.nrec, 1234);
  EXPECT_EQ(M.ntrait, 2);
  EXPECT_EQ(M.neff, 4);
  EXPECT_EQ(M.pos_weight, 7);
  EXPECT_EQ(M.miss, 0);
  ASSERT_EQ(M.pos_y.size(), 2);
  EXPECT_EQ(M.pos_y(1), 5);
  EXPECT_EQ(M.pos_y(2), 6);

  ASSERT_EQ(M.pos_eff.rows(), 4);
  ASSERT_EQ(M.pos_eff.cols(), 2);
  const int pos_eff[4][2] = {{1, 1}, {2, 0}, {4, 4}, {4, 4}};
  const int nlev[4] = {3, 1, 500, 500};
  const model::EffectType type[4] = {model::EffectType::cro, model::EffectType::cov,
                                     model::EffectType::cro, model::EffectType::cro};
  const int save[4] = {1, 0, 1, 0};
  const int nested[4][2] = {{0, 0}, {3, 0}, {0, 0}, {0, 0}};
  const model::RandomType rtype[4] = {model::RandomType::diagonal, model::RandomType::none,
                                      model::RandomType::add_animal, model::RandomType::none};
  const int rnumb[4] = {1, 0, 2, 0};
  const int belief[4] = {6, 0, 8, 0};
  const int lenped[4] = {0, 0, 900, 0};
  const std::string file[4] = {"not_a_file", "", ped_path(), ""};
  for (int e = 1; e <= 4; ++e) {
    SCOPED_TRACE(e);
    for (int t = 1; t <= 2; ++t) {
      EXPECT_EQ(M.pos_eff(e, t), pos_eff[e - 1][t - 1]);
      EXPECT_EQ(M.nestedcov(e, t), nested[e - 1][t - 1]);
    }
    EXPECT_EQ(M.nlev(e), nlev[e - 1]);
    EXPECT_EQ(M.effecttype(e), type[e - 1]);
    EXPECT_EQ(M.effectsave(e), save[e - 1]);
    EXPECT_EQ(M.randomtype(e), rtype[e - 1]);
    EXPECT_EQ(M.randomnumb(e), rnumb[e - 1]);
    EXPECT_EQ(M.dbelief_g(e), belief[e - 1]);
    EXPECT_EQ(M.randomfile(e), file[e - 1]);
    EXPECT_EQ(M.lenped(e), lenped[e - 1]);
    EXPECT_EQ(M.ngrp(e), 0);
    EXPECT_EQ(M.nbreed(e), 0);
  }

  EXPECT_EQ(M.residualtype, model::ResidualType::homogeneous);
  EXPECT_EQ(M.dbelief_r, 10);
  EXPECT_EQ(M.r_nround, 0);
  EXPECT_EQ(M.r_skip, 0);
  EXPECT_EQ(M.neffr, 0);
  EXPECT_EQ(M.pos_effr.size(), 0);
  ASSERT_EQ(M.r.rows(), 2);
  EXPECT_EQ(M.r(1, 1), 2.0);
  EXPECT_EQ(M.r(2, 1), 0.5);
  EXPECT_EQ(M.r(1, 2), 0.5);
  EXPECT_EQ(M.r(2, 2), 3.0);
  EXPECT_EQ(M.rinv.rows(), 2);
  EXPECT_EQ(M.rinv.cols(), 2);

  ASSERT_EQ(M.g.extent1(), 4);
  EXPECT_EQ(M.g(1, 1, 1), 1);
  EXPECT_EQ(M.g(1, 2, 1), 0.1);
  EXPECT_EQ(M.g(1, 1, 2), 0.1);
  EXPECT_EQ(M.g(1, 2, 2), 2);
  EXPECT_EQ(M.g(1, 3, 3), 0);  // outside the block
  for (int i = 1; i <= 4; ++i)
    for (int j = 1; j <= 4; ++j) EXPECT_EQ(M.g(3, i, j), 10 * std::min(i, j) + std::max(i, j)) << i << "," << j;
  EXPECT_EQ(M.g(4, 1, 1), 0);  // the group lives at its first effect
  EXPECT_EQ(M.ginv.extent1(), 0);  // the main program allocates it

  EXPECT_EQ(M.max_msires, 0);
  EXPECT_EQ(M.msfile, "");
  EXPECT_EQ(M.n_ms, 0);
  EXPECT_EQ(M.ms_alpha, 0.0f);
  EXPECT_EQ(M.mb_nround, 0);
  EXPECT_EQ(M.mb_skip, 0);
}

// One trait with structural Student-t residuals, a candidate-sire group on a
// reduced animal model and a multiple-breed group.
TEST(ParameterFile, CompleteSingleTraitWithSiresAndBreeds) {
  const std::string text =
      "MCMC_CHAIN:\n100 10 1\nSEED\n99\nRESTART:\nn\nDATAFILE\ndat 10\n"
      "NUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n3\nOBSERVATION(S)\n1\nWEIGHT(S)\n\n"
      "EFFECTS:\n2 4 cross n\n3 50 ram y\n4 20 cross n\n"
      "RANDOM_RESIDUAL:\nstruct_student_t 4\n"
      "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n5 25\n"
      "NUMBER_OF_STRUCTURAL_EFFECTS\n2\n"
      "STRUCTURAL_EFFECTS:\n1 y\n3\n"
      "RESIDUAL_PRIOR_(CO)VARIANCES\n4.5\n"
      "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_ms 7\nPEDIGREEFILE:\n@PED 80 3\n"
      "MULTIPLE_SIRES:\n3 sires.txt 45 0.25\n(CO)VARIANCES\n1.5\n"
      "RANDOM_GROUP\n3\nRANDOM_TYPE\ndiag_mb 9\nPEDIGREEFILE:\n@PED 20 0 2\n"
      "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n3 40\n(CO)VARIANCES\n1 0.2\n0.2 2\n";
  ASSERT_EQ(read(text), "");
  EXPECT_EQ(M.residualtype, model::ResidualType::struct_student_t);
  EXPECT_EQ(M.dbelief_r, 4);
  EXPECT_EQ(M.r_nround, 5);
  EXPECT_EQ(M.r_skip, 25);
  EXPECT_EQ(M.neffr, 2);
  EXPECT_EQ(M.pos_effr(1), 1);
  EXPECT_EQ(M.pos_effr(2), 3);
  EXPECT_EQ(M.effrsave(1), 1);
  EXPECT_EQ(M.effrsave(2), 0);
  EXPECT_EQ(M.r(1, 1), 4.5);

  EXPECT_EQ(M.effecttype(2), model::EffectType::ram);
  EXPECT_EQ(M.randomtype(2), model::RandomType::add_an_ms);
  EXPECT_EQ(M.dbelief_g(2), 7);
  EXPECT_EQ(M.lenped(2), 80);
  EXPECT_EQ(M.ngrp(2), 3);
  EXPECT_EQ(M.nbreed(2), 0);
  EXPECT_EQ(M.g(2, 1, 1), 1.5);
  EXPECT_EQ(M.max_msires, 3);
  EXPECT_EQ(M.msfile, "sires.txt");
  EXPECT_EQ(M.n_ms, 45);
  EXPECT_EQ(M.ms_alpha, 0.25f);

  EXPECT_EQ(M.randomtype(3), model::RandomType::diag_mb);
  EXPECT_EQ(M.randomnumb(3), 1);
  EXPECT_EQ(M.lenped(3), 20);
  EXPECT_EQ(M.ngrp(3), 0);
  EXPECT_EQ(M.nbreed(3), 2);
  EXPECT_EQ(M.mb_nround, 3);
  EXPECT_EQ(M.mb_skip, 40);
  EXPECT_EQ(M.g(3, 1, 1), 1);
  EXPECT_EQ(M.g(3, 2, 1), 0.2);
  EXPECT_EQ(M.g(3, 2, 2), 2);
  EXPECT_EQ(M.randomfile(3), ped_path());
}

TEST(ParameterFile, NameFromStandardInput) {
  const std::string path = temp_file("ok.par", with_ped(base));
  std::istringstream in("   " + path + "  \n");
  testing::internal::CaptureStdout();
  textop::read_parameters(in);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "  name of parameter file?");
  EXPECT_EQ(M.parfile, path);
  EXPECT_EQ(M.nround, 1000);
  EXPECT_EQ(M.g(2, 1, 1), 0.5);
  EXPECT_TRUE(textop::parameter_unit().is_open());

  // A missing file is not created; an empty one is empty.
  const std::string missing = testing::TempDir() + "param_no_such_file.par";
  std::remove(missing.c_str());
  try {
    textop::read_parameter_file(missing);
    ADD_FAILURE() << "missing file accepted";
  } catch (const util::Stop& s) {
    EXPECT_EQ(std::string(s.what()), " parameter file not found: " + missing);
  }
  EXPECT_FALSE(util::TextIn::exists(missing));
  try {
    textop::read_parameter_file(temp_file("empty.par", ""));
    ADD_FAILURE() << "empty file accepted";
  } catch (const util::Stop& s) {
    EXPECT_EQ(std::string(s.what()), " INPUT FILE EMPTY\n in " + testing::TempDir() + "param_empty.par, at the end of the file");
  }

  // No name at all: a failure of standard input.
  std::istringstream none("");
  testing::internal::CaptureStdout();
  try {
    textop::read_parameters(none);
    ADD_FAILURE() << "no name accepted";
  } catch (const util::Stop& s) {
    EXPECT_TRUE(s.to_stderr);
  }
  testing::internal::GetCapturedStdout();
}

}  // namespace
