// Pedigree and multiple-sires files: layouts by random type, candidate
// blocks, the echo lines, the sample file of the candidates' probabilities
// and every message.
#include <gtest/gtest.h>

#include <string>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/state.hpp"
#include "run/readfiles.hpp"
#include "state_support.hpp"

namespace {

using statetest::capture;
using statetest::read_model;

model::Model& M = model::m;

using statetest::group;
using statetest::mb_metropolis;
using statetest::model1;

using Files = statetest::FilesFolder;

// ---------------------------------------------------------------- worked example

TEST_F(Files, WorkedMultipleSiresExample) {
  write("ms.txt", "2\n101\n0.6\n102\n0.4\n3\n201\n0.5\n202\n0.3\n203\n0.2\n");
  write("ped.txt",
        "1 0 0 1.0\n2 0 0 1.0\n3 1 2 2.0\n4 1 2 2.0\n5 3 -1 1.3333\n"
        "6 0 0 1.0\n7 3 4 2.0\n8 0 0 1.0\n9 6 -1 1.5\n10 7 8 2.0\n");
  const auto r = load(model1("3 250 cross n\n", 2,
                             group(2, "add_an_ms", "ped.txt 10 0", "MULTIPLE_SIRES:\n2 ms.txt 12 0\n")));
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(r.out,
            "     2.0000\n"
            "   101.0000\n"
            "     0.6000\n"
            "   102.0000\n"
            "     0.4000\n"
            "     3.0000\n"
            "   201.0000\n"
            "     0.5000\n"
            "   202.0000\n"
            " read msfile 12  records \n"
            "          1         0         0   1.0000         0         0\n"
            "          2         0         0   1.0000         0         0\n"
            "          3         1         2   2.0000         0         0\n"
            "          4         1         2   2.0000         0         0\n"
            "          5         3        -1   1.3333         1         1\n"
            "          6         0         0   1.0000         0         0\n"
            "          7         3         4   2.0000         0         0\n"
            "          8         0         0   1.0000         0         0\n"
            "          9         6        -1   1.5000         0         6\n"
            "         10         7         8   2.0000         0         0\n"
            " read pedigree 2 with  10  animals \n"
            " nonparent starting position at ms  13\n");
  EXPECT_EQ(s_.P_MS(5), 1);
  EXPECT_EQ(s_.P_MS(9), 6);
  EXPECT_EQ(M.n_ms, 13);
  EXPECT_EQ(s_.MS_STAT(5), 1);
  EXPECT_EQ(s_.MS_STAT(9), 0);  // 3 candidates exceed 2
  for (int i : {1, 2, 3, 4, 6, 7, 8, 10}) {
    EXPECT_EQ(s_.P_MS(i), 0);
    EXPECT_EQ(s_.MS_STAT(i), 0);
  }
  ASSERT_EQ(s_.MS.size(), 12);
  EXPECT_EQ(s_.MS(7), 201.0);
  EXPECT_EQ(s_.MS(12), 0.2);
  EXPECT_EQ(s_.PED(2, 9, 1), 9);
  EXPECT_EQ(s_.PED(2, 9, 2), 6);
  EXPECT_EQ(s_.PED(2, 9, 3), -1);
  ASSERT_EQ(s_.DINV.size(), 10);
  EXPECT_EQ(s_.DINV(5), 1.3333f);
  // Two candidates at most: sums and Dirichlet parameters exist; with
  // ms_alpha 0 the parameters are the file's values and no sample file is made.
  ASSERT_EQ(s_.SUMMS.size(), 12);
  ASSERT_EQ(s_.SSMS.size(), 12);
  for (int i = 1; i <= 12; ++i) {
    EXPECT_EQ(s_.MS_ALPHAS(i), s_.MS(i));
    EXPECT_EQ(s_.SUMMS(i), 0.0);
  }
  EXPECT_FALSE(exists("msirespprsam"));
  // Not a reduced animal model: no values of animals without equations.
  EXPECT_EQ(s_.SOL_N.rows(), 0);
}

// ---------------------------------------------------------------- layouts by type

TEST_F(Files, AnimalAndSirePedigreesEchoTenRecords) {
  std::string ped, ms;
  for (int i = 1; i <= 25; ++i) ped += std::to_string(i) + (i > 2 ? " 1 2\n" : " 0 0\n");
  for (int i = 1; i <= 25; ++i) ms += "1\n";
  write("ped.txt", ped);
  write("sire.txt", "1 0 0\n2 1 0\n3 1 2   trailing words are skipped\n4 3 2\n");
  write("ms.txt", ms);
  write("ams.txt", "1 0 0 1\n2 0 0 1\n");
  const auto r = load(model1("3 25 cross n\n4 4 cross n\n5 2 cross n\n", 4,
                             group(2, "add_animal", "ped.txt 25") + group(3, "add_sire", "sire.txt 4") +
                                 group(4, "add_an_ms", "ams.txt 2 0", "MULTIPLE_SIRES:\n1 ms.txt 25\n")));
  ASSERT_EQ(r.stop, "");
  const auto ls = statetest::lines(r.out);
  ASSERT_EQ(ls.size(), 9u + 1 + 10 + 1 + 4 + 1 + 2 + 1 + 1);
  EXPECT_EQ(ls[9], " read msfile 25  records ");
  EXPECT_EQ(ls[10], "          1         0         0");
  EXPECT_EQ(ls[19], "         10         1         2");
  EXPECT_EQ(ls[20], " read pedigree 2 with  25  animals ");
  EXPECT_EQ(ls[23], "          3         1         2");
  EXPECT_EQ(ls[25], " read pedigree 3 with  4  animals ");
  // A group without negative sires leaves the position at 1.
  EXPECT_EQ(ls.back(), " nonparent starting position at ms  1");
  EXPECT_EQ(s_.PED(2, 25, 1), 25);
  EXPECT_EQ(s_.PED(2, 25, 3), 2);
  EXPECT_EQ(s_.PED(3, 4, 2), 3);
  EXPECT_EQ(s_.PED(3, 5, 1), 0);  // beyond the sire pedigree: untouched
  // max_msires 1: the file is read, and a single candidate's draws are
  // counted too.
  EXPECT_EQ(s_.MS.size(), 25);
  EXPECT_EQ(s_.SUMMS.size(), 25);
  EXPECT_EQ(s_.MS_ALPHAS.size(), 25);
}

TEST_F(Files, UnknownParentGroupTypesReadFourIntegers) {
  write("upg.txt", "1 0 0 3\n2 0 0 3\n3 1 2 1\n4 3 0 2\n5 0 0 4\n");
  write("upgi.txt", "1 0 0 1000\n2 1 0 1333\n3 1 2 2000\n");
  const auto r = load(model1("3 5 cross n\n4 3 cross n\n", 3,
                             group(2, "add_an_upg", "upg.txt 5") + group(3, "add_an_upgi", "upgi.txt 3")));
  ASSERT_EQ(r.stop, "");
  EXPECT_NE(r.out.find("          4         3         0         2\n"), std::string::npos);
  EXPECT_NE(r.out.find("          2         1         0      1333\n          3         1         2      2000\n"
                     " read pedigree 3 with  3  animals \n"),
            std::string::npos);
  EXPECT_EQ(s_.PED_CODE(2, 3), 1);
  EXPECT_EQ(s_.PED_CODE(2, 5), 4);
  EXPECT_EQ(s_.PED_CODE(3, 2), 1333);
  EXPECT_EQ(s_.PED(3, 3, 3), 2);
  // The codes have their own array: no line is marked as a sampled sire.
  for (int i = 1; i <= 5; ++i) EXPECT_EQ(s_.MS_STAT(i), 0);

  // A type-4 code outside 1..4 has no multiplier.
  write("upg.txt", "1 0 0 3\n2 0 0 5\n");
  EXPECT_EQ(load(model1("3 5 cross n\n", 2, group(2, "add_an_upg", "upg.txt 2"))).stop,
            " Error in pedigree file upg.txt of effect 2, line 2 (record 2): multiplier code 5 is not within 1 to 4");
}

TEST_F(Files, MultipleBreedGroups) {
  // add_an_mb of two breeds and diag_mb of three; the first file is padded
  // to three fractions and reads the same.
  write("mb.txt", "1 0 0 1 0 9\n2 0 0 0 1 9\n3 1 2 0.5 0.5 9\n4 2 3 0.25 0.75 9\n");
  write("dmb.txt", "1 0 0 0.2 0.3 0.5\n2 0 1 0 0 1\n3 1 2 0.1 0.1 0.8\n");
  auto two_groups = [](const std::string& ms) {
    return model1("3 4 cross n\n4 3 cross n\n", 3,
                  group(2, "add_an_mb", "mb.txt 4 0 2", "MULTIPLE_SIRES:\n" + ms + "\n" + mb_metropolis,
                        "1 0 0 1\n") +
                      group(3, "diag_mb", "dmb.txt 3 0 3", mb_metropolis, "1 0 0\n0 1 0\n0 0 1\n"));
  };
  auto r = load(two_groups("0 none 0"));
  ASSERT_EQ(r.stop, "");
  EXPECT_NE(r.out.find("          4         2         3         0         0   0.2500   0.7500\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("          2         0         1         0         0   0.0000   0.0000   1.0000\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with(" read pedigree 3 with  3  animals \n"));
  ASSERT_EQ(s_.BREED.extent1(), 3);
  ASSERT_EQ(s_.BREED.extent2(), 4);
  ASSERT_EQ(s_.BREED.extent3(), 3);
  EXPECT_EQ(s_.BREED(2, 4, 1), 0.25);
  EXPECT_EQ(s_.BREED(2, 4, 2), 0.75);
  EXPECT_EQ(s_.BREED(2, 4, 3), 0.0);  // the group's own two fractions only
  EXPECT_EQ(s_.BREED(3, 1, 3), 0.5);
  for (int b2 = 1; b2 <= 3; ++b2)
    for (int b1 = 1; b1 <= 3; ++b1) {
      EXPECT_EQ(s_.MB_DBELIEF(2, b1, b2), 4);
      EXPECT_EQ(s_.MB_DBELIEF(3, b1, b2), 3);
      EXPECT_EQ(s_.MB_DBELIEF(1, b1, b2), 0);
      EXPECT_EQ(s_.SUMMB_ACCEP(2, b1, b2), 0.0);
    }

  // The add_an_mb group alone with candidate sires (two groups with them
  // are refused, see RefusedIds).
  write("ms.txt", "1\n2\n1.0\n2\n1\n0.5\n3\n0.5\n");
  write("mb.txt", "1 0 0 1 0 9\n2 0 0 0 1 9\n3 1 -1 0.5 0.5 9\n4 2 -1 0.25 0.75 9\n");
  r = load(model1("3 4 cross n\n", 2,
                  group(2, "add_an_mb", "mb.txt 4 0 2", "MULTIPLE_SIRES:\n2 ms.txt 8 0.5\n" + mb_metropolis,
                        "1 0 0 1\n")));
  ASSERT_EQ(r.stop, "");
  EXPECT_NE(r.out.find("          4         2        -1         1         4   0.2500   0.7500\n"),
            std::string::npos)
      << r.out;
  EXPECT_TRUE(r.out.ends_with(" read pedigree 2 with  4  animals \n nonparent starting position at ms  9\n"));
  EXPECT_EQ(s_.P_MS(3), 1);
  EXPECT_EQ(s_.P_MS(4), 4);
  EXPECT_EQ(s_.MS_STAT(3), 1);
  EXPECT_EQ(s_.MS_STAT(4), 1);
  EXPECT_EQ(M.n_ms, 9);
  // ms_alpha > 0 on a fresh chain: parameters ms_alpha, sample file created.
  for (int i = 1; i <= 8; ++i) EXPECT_EQ(s_.MS_ALPHAS(i), 0.5);
  EXPECT_TRUE(s_.msirespprsam.is_open());
  EXPECT_TRUE(exists("msirespprsam"));
}

TEST_F(Files, MoreThanTenFractionsContinueUnderTheFirst) {
  std::string line = "1 0 0";
  for (int b = 1; b <= 12; ++b) line += b < 12 ? " 0.05" : " 0.45";
  write("dmb.txt", line + "\n");
  std::string cov;
  for (int i = 1; i <= 12; ++i)
    for (int j = 1; j <= 12; ++j) cov += i == j ? "1 " : "0 ";
  const auto r = load(model1("3 1 cross n\n", 2, group(2, "diag_mb", "dmb.txt 1 0 12", mb_metropolis, cov + "\n")));
  ASSERT_EQ(r.stop, "");
  const auto ls = statetest::lines(r.out);
  ASSERT_GE(ls.size(), 3u);
  EXPECT_EQ(ls[0], "          1         0         0         0         0   0.0500   0.0500   0.0500   0.0500"
                   "   0.0500   0.0500   0.0500   0.0500   0.0500   0.0500");
  EXPECT_EQ(ls[1], std::string(51, ' ') + "   0.0500   0.4500");
  EXPECT_EQ(s_.BREED(2, 1, 12), 0.45);
}

TEST_F(Files, ReducedAnimalModelGroupAndEmptyPedigree) {
  // Animals 5 and 6 have no equations (4 levels): their line ids may pass
  // the levels; their parents may not.
  write("ram.txt", "1 0 0 1\n2 0 0 1\n3 1 2 2\n4 1 2 2\n5 3 4 2\n6 4 0 1.3333\n");
  write("empty.txt", "");
  const auto r = load(model1("3 4 ram n\n4 3 cross n\n", 3,
                             group(2, "add_an_ms", "ram.txt 6 0", "MULTIPLE_SIRES:\n0 none 0\n") +
                                 group(3, "add_animal", "empty.txt 0")));
  ASSERT_EQ(r.stop, "");
  EXPECT_NE(r.out.find(" read pedigree 3 with  0  animals \n"), std::string::npos);
  EXPECT_EQ(r.out.find("nonparent"), std::string::npos);  // max_msires 0
  EXPECT_EQ(s_.SOL_N.rows(), 2);
  EXPECT_EQ(s_.SOL_N.cols(), 1);
  EXPECT_EQ(s_.SUMSOL_N.rows(), 2);
  EXPECT_EQ(s_.SSSOL_N.cols(), 1);
  EXPECT_EQ(s_.SOL_N(2, 1), 0.0);
  EXPECT_EQ(s_.DINV(6), 1.3333f);

  // An empty add_an_ms pedigree allocates DINV with no element.
  write("ram.txt", "");
  const auto e = load(model1("3 4 ram n\n", 2, group(2, "add_an_ms", "ram.txt 0 0", "MULTIPLE_SIRES:\n0 none 0\n")));
  ASSERT_EQ(e.stop, "");
  EXPECT_EQ(s_.DINV.size(), 0);
  EXPECT_EQ(e.out, " read pedigree 2 with  0  animals \n");
}

// ---------------------------------------------------------------- sample file and Dirichlet parameters

TEST_F(Files, SampleFileOfTheCandidateProbabilities) {
  write("ms.txt", "1\n1\n0.8\n");
  write("ped.txt", "1 0 0 1\n2 0 -1 1\n");
  struct Case {
    const char* restart;
    const char* alpha;
    bool file;
    double first_alpha;  // MS_ALPHAS(1)
  };
  const Case cases[] = {
      {"n", "0", false, 1.0},         // a copy of MS
      {"n", "0.5", true, 0.5},        // ms_alpha everywhere
      {"y 11", "0.5", false, 0.5},    // a restart opens it later for appending
      {"n", "-1", true, 1.0},         // a copy of MS, yet the file is made
      {"N", "0.5", true, 0.5},        // n in either case is a fresh chain
  };
  for (const Case& c : cases) {
    std::filesystem::remove("msirespprsam");
    const auto r = load(model1("3 2 cross n\n", 2,
                               group(2, "add_an_ms", "ped.txt 2 0",
                                     std::string("MULTIPLE_SIRES:\n2 ms.txt 3 ") + c.alpha + "\n"),
                               c.restart));
    ASSERT_EQ(r.stop, "") << c.restart << " " << c.alpha;
    EXPECT_EQ(exists("msirespprsam"), c.file) << c.restart << " " << c.alpha;
    EXPECT_EQ(s_.msirespprsam.is_open(), c.file);
    EXPECT_EQ(s_.MS_ALPHAS(1), c.first_alpha);
    EXPECT_EQ(s_.MS_ALPHAS(3), std::string(c.alpha) == "0.5" ? 0.5 : 0.8);
  }
}

TEST_F(Files, MultipleSiresFileWithoutCandidateGroups) {
  // The position line then shows the file's value count.
  write("ms.txt", "1\n2\n1.0\n");
  write("ped.txt", "1 0 0\n");
  read_model(model1("3 2 cross n\n", 2, group(2, "add_animal", "ped.txt 1")));
  M.max_msires = 1;
  M.msfile = "ms.txt";
  M.n_ms = 3;
  model::State s;
  modeltest::allocate_for_model(s);
  const auto r = capture([&s] { run::read_files(s); });
  ASSERT_EQ(r.stop, "");
  EXPECT_TRUE(r.out.ends_with(" nonparent starting position at ms  3\n")) << r.out;
}

// ---------------------------------------------------------------- messages

TEST_F(Files, ReadFailures) {
  const std::string ms_model =
      model1("3 2 cross n\n", 2, group(2, "add_an_ms", "ped.txt 2 0", "MULTIPLE_SIRES:\n1 ms.txt 12\n"));
  write("ped.txt", "1 0 0 1\n2 0 0 1\n");
  // Fewer values than n_ms: the first missing record.
  write("ms.txt", "2\n1\n0.6\n2\n0.4\n3\n1\n0.5\n2\n0.3\n2\n");
  auto r = load(ms_model);
  EXPECT_EQ(r.stop, " Error in multiple-sires file ms.txt, record 12: the file ends after 11 of the 12 "
                    "values declared");
  EXPECT_TRUE(r.out.ends_with("     2.0000\n")) << r.out;  // values 1 to 9 only
  // A value that is not a number.
  write("ms.txt", "2\n1\nx\n");
  EXPECT_EQ(load(ms_model).stop,
            " Error in multiple-sires file ms.txt, line 3 (record 3): field 1 \"x\" is not a number");
  // A missing file is not created.
  std::filesystem::remove("ms.txt");
  EXPECT_EQ(load(ms_model).stop, " multiple-sires file not found: ms.txt");
  EXPECT_FALSE(exists("ms.txt"));

  const std::string animal_model = model1("3 5 cross n\n", 2, group(2, "add_animal", "ped.txt 3"));
  // A malformed value.
  write("ped.txt", "1 0 0\n2 x 0\n3 0 0\n");
  EXPECT_EQ(load(animal_model).stop,
            " Error in pedigree file ped.txt of effect 2, line 2 (record 2): field 2 \"x\" is not an "
            "integer; ids are whole numbers from 1 to the levels of the effect: recode ids such as this one"
            " (manual, section 1.1)");
  // A file with fewer records.
  write("ped.txt", "1 0 0\n2 0 0\n");
  r = load(animal_model);
  EXPECT_EQ(r.stop, " Error in pedigree file ped.txt of effect 2, record 3: the file ends after 2 of the 3 "
                    "records declared");
  EXPECT_TRUE(r.out.ends_with("          2         0         0\n"));
  // A line ending early stops at that line; nothing of the next line is taken.
  write("ped.txt", "1 0\n2 0 0\n3 0 0\n");
  r = load(animal_model);
  EXPECT_EQ(r.stop, " Error in pedigree file ped.txt of effect 2, line 1 (record 1): the line holds 2 values "
                    "where 3 are needed");
  EXPECT_EQ(s_.PED(2, 2, 1), 0);
  // A DINV that is not a number.
  write("ms.txt", "1\n1\n1.0\n");
  write("ped.txt", "1 0 0 one\n");
  EXPECT_EQ(load(model1("3 2 cross n\n", 2, group(2, "add_an_ms", "ped.txt 1 0", "MULTIPLE_SIRES:\n1 ms.txt 3\n")))
                .stop,
            " Error in pedigree file ped.txt of effect 2, line 1 (record 1): field 4 \"one\" is not a "
            "number");
}

TEST_F(Files, RefusedIds) {
  struct Case {
    const char* what;
    std::string model;
    std::string ped;
    std::string ms;
    std::string message;
  };
  const std::string ped3 = model1("3 5 cross n\n", 2, group(2, "add_animal", "ped.txt 3"));
  const std::string sire = model1("3 5 cross n\n", 2, group(2, "add_sire", "ped.txt 3"));
  auto ms_model = [](int nlev, int lenped, int max, int n_ms) {
    return model1("3 " + std::to_string(nlev) + " cross n\n", 2,
                  group(2, "add_an_ms", "ped.txt " + std::to_string(lenped) + " 0",
                        "MULTIPLE_SIRES:\n" + std::to_string(max) + " ms.txt " + std::to_string(n_ms) + " 0\n"));
  };
  auto mb_model = [](int nlev, int lenped, const std::string& ms) {
    return model1("3 " + std::to_string(nlev) + " cross n\n", 2,
                  group(2, "add_an_mb", "ped.txt " + std::to_string(lenped) + " 0 1",
                        "MULTIPLE_SIRES:\n" + ms + "\n" + mb_metropolis));
  };
  const std::string where = " Error in pedigree file ped.txt of effect 2, line ";
  const std::string msf = " of the multiple-sires file ms.txt";
  // Said beside an id above the levels.
  const std::string recode =
      "; levels are numbered 1, 2, ... up to the levels of the effect: recode ids beyond them (manual, section 1.1)"
      " or give the effect more levels";
  const Case cases[] = {
      {"animal above the levels", ped3, "1 0 0\n6 0 0\n3 0 0\n", "",
       where + "2 (record 2): animal 6 is not within 1 to 5" + recode},
      {"animal 0", ped3, "0 0 0\n2 0 0\n3 0 0\n", "", where + "1 (record 1): animal 0 is not within 1 to 5"},
      {"parent above the levels", ped3, "1 0 0\n2 0 0\n3 1 9\n", "",
       where + "3 (record 3): parent 9 is not within 0 to 5" + recode},
      {"negative parent", ped3, "1 -1 0\n2 0 0\n3 0 0\n", "",
       where + "1 (record 1): parent -1 is not within 0 to 5"},
      {"blank lines skipped", ped3, "1 0 0\n\n  \n2 0 7\n3 0 0\n", "",
       where + "4 (record 2): parent 7 is not within 0 to 5" + recode},
      {"sire model names", sire, "1 0 0\n2 1 0\n3 1 8\n", "",
       where + "3 (record 3): maternal grandsire 8 is not within 0 to 5" + recode},
      {"negative sire without a multiple-sires file",
       model1("3 2 cross n\n", 2, group(2, "diag_mb", "ped.txt 2 0 1", mb_metropolis)), "1 0 0 1\n2 0 -1 1\n", "",
       where + "2 (record 2): negative sire -1 (candidate sires) but the model has no multiple-sires file"},
      {"dam negative", ms_model(5, 2, 1, 3), "1 0 0 1\n2 -1 0 1\n", "1\n1\n1\n",
       where + "2 (record 2): dam -1 is not within 0 to 5"},
      {"block beyond the values", ms_model(5, 3, 1, 3), "1 0 0 1\n2 0 -1 1\n3 0 -1 1\n", "1\n1\n1.0\n",
       where + "3 (record 3): the candidate block would start at position 4, beyond the 3 values" + msf},
      {"count not whole", ms_model(5, 2, 3, 6), "1 0 0 1\n2 0 -1 1\n", "2.5\n1\n0.5\n3\n0.5\n0\n",
       where + "2 (record 2): the candidate count 2.5 at position 1" + msf + " is not a whole number from 1 to 50"},
      {"count zero", ms_model(5, 2, 3, 3), "1 0 0 1\n2 0 -1 1\n", "0\n1\n1\n",
       where + "2 (record 2): the candidate count 0 at position 1" + msf + " is not a whole number from 1 to 50"},
      {"count above 50", ms_model(5, 2, 3, 3), "1 0 0 1\n2 0 -1 1\n", "51\n1\n1\n",
       where + "2 (record 2): the candidate count 51 at position 1" + msf + " is not a whole number from 1 to 50"},
      {"block runs past the values", ms_model(5, 2, 3, 4), "1 0 0 1\n2 0 -1 1\n", "2\n1\n0.5\n3\n",
       where + "2 (record 2): the block of 2 candidates at position 1" + msf + " runs past its 4 values"},
      {"candidate above the levels", ms_model(5, 2, 3, 5), "1 0 0 1\n2 0 -1 1\n", "2\n1\n0.5\n6\n0.5\n",
       where + "2 (record 2): candidate sire 6 at position 4" + msf + " is not within 0 to 5"},
      {"negative candidate", ms_model(5, 2, 3, 3), "1 0 0 1\n2 0 -1 1\n", "1\n-2\n1\n",
       where + "2 (record 2): candidate sire -2 at position 2" + msf + " is not within 0 to 5"},
      {"every candidate 0 of a sampled sire", ms_model(5, 2, 3, 5), "1 0 0 1\n2 0 -1 1\n", "2\n0\n0.5\n0\n0.5\n",
       where + "2 (record 2): every candidate of the block at position 1" + msf +
           " is 0; no sire can be drawn for animal 2"},
      {"Dirichlet shape 0", model1("3 5 cross n\n", 2, group(2, "add_an_ms", "ped.txt 2 0", "MULTIPLE_SIRES:\n2 ms.txt 5 -1\n")),
       "1 0 0 1\n2 0 -1 1\n", "2\n1\n0.5\n3\n0\n",
       where + "2 (record 2): the Dirichlet parameter 0 of candidate 2 of the block at position 1" + msf +
           " is not above 0"},
      {"Mendelian coefficient 0", ms_model(5, 2, 3, 3), "1 0 0 1\n2 0 0 0\n", "1\n1\n1\n",
       where + "2 (record 2): Mendelian coefficient 0 is not above 0"},
      // A block the draw or the average could not weight, and candidates
      // that would make the animal its own parent or ancestor.
      {"probabilities all 0", ms_model(5, 2, 3, 5), "1 0 0 1\n2 0 -1 1\n", "2\n1\n0\n3\n0\n",
       where + "2 (record 2): the probabilities of the 2 candidates of the block at position 1" + msf +
           " are all 0"},
      {"negative probability", ms_model(5, 2, 3, 5), "1 0 0 1\n2 0 -1 1\n", "2\n1\n-0.25\n3\n1.25\n",
       where + "2 (record 2): the probability -0.25 of candidate 1 at position 3" + msf + " is not within 0 to 1"},
      {"probability above 1 of an averaged block", ms_model(5, 2, 1, 5), "1 0 0 1\n2 0 -1 1\n",
       "2\n1\n0.5\n3\n1.5\n",
       where + "2 (record 2): the probability 1.5 of candidate 2 at position 5" + msf + " is not within 0 to 1"},
      {"own candidate", ms_model(5, 2, 3, 5), "1 0 0 1\n2 0 -1 1\n", "2\n1\n0.5\n2\n0.5\n",
       where + "2 (record 2): animal 2 is its own candidate sire at position 4" + msf},
      {"candidate is the dam", ms_model(5, 2, 3, 5), "1 0 0 1\n2 1 -1 1\n", "2\n1\n0.5\n3\n0.5\n",
       where + "2 (record 2): candidate sire 1 at position 2" + msf + " is the animal's dam"},
      {"candidate descends from the animal", ms_model(5, 4, 3, 5), "1 0 0 1\n2 0 -1 1\n3 0 0 1\n4 2 3 2\n",
       "2\n3\n0.5\n4\n0.5\n",
       where + "2 (record 2): candidate sire 4 at position 4" + msf +
           " descends from animal 2, through the lines 2 -> 4 -> 2"},
      {"multiple-breed parent without a line", mb_model(3, 3, "1 ms.txt 3"), "1 0 0 1\n2 0 0 1\n3 1 4 1\n",
       "1\n1\n1\n", where + "3 (record 3): sire 4 is not within 0 to 3" + recode},
      {"multiple-breed candidate without a line", mb_model(3, 3, "1 ms.txt 3"), "1 0 0 1\n2 0 0 1\n3 1 -1 1\n",
       "1\n9\n1\n", where + "3 (record 3): candidate sire 9 at position 2" + msf + " is not within 0 to 3"},
  };
  for (const Case& c : cases) {
    write("ped.txt", c.ped);
    write("ms.txt", c.ms);
    EXPECT_EQ(load(c.model).stop, c.message) << c.what;
  }

  // Accepted: a candidate 0 before the last one, a last candidate 0 (the
  // draw ends at the last sire), and the line ids of animals without
  // equations in a reduced animal model.
  write("ped.txt", "1 0 0 1\n2 0 -1 1\n3 0 -1 1\n");
  write("ms.txt", "2\n0\n0.5\n1\n0.5\n2\n1\n0.5\n0\n0.5\n");
  const auto ok = load(ms_model(5, 3, 1, 10));
  EXPECT_EQ(ok.stop, "");
  EXPECT_EQ(s_.MS_STAT(2), 0);
  write("ped.txt", "1 0 0 1\n2 0 0 1\n3 1 2 1\n4 1 -1 1\n");
  write("ms.txt", "1\n2\n1\n");
  const auto ram = load(model1("3 2 ram n\n", 2,
                               group(2, "add_an_ms", "ped.txt 4 0", "MULTIPLE_SIRES:\n1 ms.txt 3\n")));
  EXPECT_EQ(ram.stop, "");
  EXPECT_EQ(s_.MS_STAT(4), 1);

  // Two groups that can have candidate sires share the lists by line: one
  // of them with candidates is refused; without any, both are read.
  const std::string two = model1("3 3 cross n\n4 3 cross n\n", 3,
                                 group(2, "add_an_ms", "ped.txt 3 0", "MULTIPLE_SIRES:\n2 ms.txt 5 0\n") +
                                     group(3, "diag_mb", "ped2.txt 3 0 1", mb_metropolis));
  write("ms.txt", "2\n1\n0.5\n2\n0.5\n");
  write("ped2.txt", "1 0 0 1\n2 0 0 1\n3 1 2 1\n");
  write("ped.txt", "1 0 0 1\n2 0 0 1\n3 0 -1 1\n");
  EXPECT_EQ(load(two).stop,
            " The pedigree of effect 2 has candidate sires, and the model has 2 groups that can have them "
            "(effects 2, 3): candidate lists and drawn sires belong to pedigree lines, not to groups, so a "
            "model with candidate sires may hold only one group of types add_an_ms, add_an_mb and diag_mb");
  write("ped.txt", "1 0 0 1\n2 0 0 1\n3 0 1 1\n");
  EXPECT_EQ(load(two).stop, "");
}

}  // namespace
