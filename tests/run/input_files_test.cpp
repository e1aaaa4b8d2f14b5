// Data, pedigree and multiple-sires files that cannot be misread: each
// malformed input stops the run with a message naming the file, the line
// (or record) and the value; sound inputs in their accepted variants read.
#include <gtest/gtest.h>

#include <string>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/state.hpp"
#include "run/readfiles.hpp"
#include "sampler/records.hpp"
#include "state_support.hpp"

namespace {

using statetest::capture;
using statetest::read_model;

// One trait in column 1, weight in column 2; a class effect of 2 levels in
// column 3 and a covariable in column 4 nested in the 2 classes of column 5.
std::string data_model(int nrec) {
  return "MCMC_CHAIN:\n2 0 1\nSEED\n5\nRESTART:\nn\nDATAFILE\nd.txt " + std::to_string(nrec) +
         "\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\nWEIGHT(S)\n2\n"
         "EFFECTS:\n3 2 cross y\n4 2 cov n 5\nRANDOM_RESIDUAL:\nhomogeneous 5\n"
         "RESIDUAL_PRIOR_(CO)VARIANCES\n1\n";
}

// One trait; effect 1 a fixed class effect, effect 2 the animal (or sire)
// effect of nlev levels in a random group of the given type.
std::string ped_model(int nlev, const std::string& type, const std::string& pedline,
                      const std::string& extra = "") {
  return statetest::model1("3 " + std::to_string(nlev) + " cross n\n", 2,
                           statetest::group(2, type, pedline, extra));
}

class InputFiles : public statetest::InFolder {
 protected:
  void new_state(const std::string& model) {
    read_model(model);
    modeltest::allocate_for_model(s_);
  }
  // Reads the data file d.txt as the first cycle does.
  statetest::Run read_data(const std::string& data, int nrec) {
    write("d.txt", data);
    new_state(data_model(nrec));
    sampler::prepare_records(s_);
    return capture([&] {
      sampler::open_data_file(s_, "d.txt");
      for (int i = 1; i <= nrec; ++i) {
        s_.irec = i;
        sampler::read_data_record(s_);
      }
    });
  }
  statetest::Run read_pedigrees(const std::string& model) {
    new_state(model);
    return capture([this] { run::read_files(s_); });
  }
  model::State s_;
};

TEST_F(InputFiles, DataFile) {
  struct Case {
    const char* what;
    const char* data;
    int nrec;
    std::string stop;
    const char* warning;  // "" none
  };
  const std::string at = " Error in data file d.txt, line ";
  const std::string recode = "; levels are numbered 1, 2, ... up to the levels of the effect: recode ids beyond them (manual, section 1.1) or give the effect more levels";
  const Case cases[] = {
      // The fields after the record length are not read, but a line of
      // another count is warned of: a decimal comma would make one.
      {"accepted forms", "10 1 1 0.5 1\n\n  \n12,0.25,2,2.75,2\r\n 9 2 2 -1 1 name 7\n8 1 2 0 0\n", 4, "",
       " warning: line 5 of data file d.txt holds 7 fields where the first record (line 1) holds 5: fields are"
       " separated by blanks, tabs or commas, so a decimal comma splits a number in two (325,6 is read as 325 and"
       " 6) and shifts the columns after it; if a decimal comma is the cause, the results are wrong until the file"
       " is fixed: write decimals with a point\n"},
      {"more records than declared", "10 1 1 0.5 1\n\n12 1 2 1 1\n9 2 2 -1 1\n", 2, "",
       " Warning: data file d.txt holds 3 records; the first 2 are analysed\n"},
      {"fewer records than declared", "10 1 1 0.5 1\n12 1 2 1 1\n\n", 3,
       " total number of record in data set d.txt:  2  is not equal   to the value you have entered:  3",
       ""},
      {"header", "y w herd x class\n10 1 1 0.5 1\n", 1,
       at + "1 (record 1): field 1 \"y\" is not a number; line 1 looks like a header line of column names: the"
            " data file holds numbers only, so leave it out",
       ""},
      {"NA", "10 1 1 0.5 1\n\nNA 1 1 0.5 1\n", 2,
       at + "3 (record 2): field 1 \"NA\" is not a number; a missing trait is coded 0", ""},
      {"NA for a level", "10 1 NA 0.5 1\n", 1,
       at + "1 (record 1): field 3 \"NA\" is not a number; a missing level is coded 0", ""},
      {"NA for a covariable", "10 1 1 NA 1\n", 1,
       at + "1 (record 1): field 4 \"NA\" is not a number; a missing covariable is coded 0", ""},
      {"short line", "10 1 1 0.5\n1\n", 1,
       at + "1 (record 1): the line holds 4 values where 5 are needed (the data record length)", ""},
      {"empty field", "10,1,,0.5,1\n", 1, at + "1 (record 1): field 3 is empty", ""},
      {"slash", "10 1 1 / 1\n", 1, at + "1 (record 1): field 4 \"/\" holds a \"/\"", ""},
      {"NaN", "nan 1 1 0.5 1\n", 1, at + "1 (record 1): field 1 \"nan\" is not a finite number; a missing trait is coded 0",
       ""},
      {"infinite", "10 1 1 1e40 1\n", 1, at + "1 (record 1): field 4 \"1e40\" is not a finite number", ""},
      // A 32-bit real holds 1e-45 (with fewer digits), not 1e-46; the
      // exponent is not the mantissa, and 0 written small is 0.
      {"too near 0", "10 1 1 0.5 1\n10 1 1 -1e-46 1\n", 2,
       at + "2 (record 2): field 4 \"-1e-46\" is too near 0 to be held: it would read as 0, the missing code", ""},
      {"weight too near 0", "10 1e-50 1 0.5 1\n", 1,
       at + "1 (record 1): field 2 \"1e-50\" is too near 0 to be held: it would read as 0", ""},
      {"too near 0, the exponent's sign without a letter", "2.5-99 1 1 0.5 1\n", 1,
       at + "1 (record 1): field 1 \"2.5-99\" is too near 0 to be held: it would read as 0, the missing code", ""},
      {"near 0 but held", "1e-45 1 1 1.2e-38 1\n", 1, "", ""},
      {"0 written small", "0.000E-999 1 1 0.5 1\n", 1, at + "1 (record 1): All traits are missing; eliminate such records!",
       ""},
      {"fractional level", "10 1 1 0.5 1\n10 1 1.5 0.5 1\n", 2,
       at + "2 (record 2), effect 1, trait 1: level 1.5 is not a whole number", ""},
      {"fractional nesting class", "10 1 1 0.5 2.5\n", 1,
       at + "1 (record 1), effect 2, trait 1: nesting class 2.5 is not a whole number", ""},
      {"level out of range", "\n\n10 1 3 0.5 1\n", 1,
       at + "3 (record 1), effect 1, trait 1: level 3 is not within 1 to 2" + recode, ""},
      {"all traits missing", "10 1 1 0.5 1\n\n0 1 1 0.5 1\n", 2,
       at + "3 (record 2): All traits are missing; eliminate such records!", ""},
      {"weight 0", "10 0 1 0.5 1\n", 1, at + "1 (record 1): weight 0 (column 2) is not above 0", ""},
      {"negative weight", "10 -2 1 0.5 1\n", 1, at + "1 (record 1): weight -2 (column 2) is not above 0", ""},
  };
  for (const Case& c : cases) {
    const auto r = read_data(c.data, c.nrec);
    EXPECT_EQ(r.stop, c.stop) << c.what;
    EXPECT_EQ(r.out, c.warning) << c.what;
  }
  // The accepted forms as stored.
  read_data(cases[0].data, 4);
  EXPECT_EQ(s_.INDATA(2, 2), 0.25f);
  EXPECT_EQ(s_.INDATA(2, 4), 2.75f);
  EXPECT_EQ(s_.INDATA(3, 4), -1.0f);
  EXPECT_EQ(s_.INDATA(4, 4), 0.0f);  // a covariable of 0: absent, its class not looked at
}

TEST_F(InputFiles, Pedigree) {
  struct Case {
    const char* what;
    std::string model;
    const char* ped;
    std::string stop;
  };
  const std::string animal = ped_model(6, "add_animal", "ped.txt 5");
  const std::string at = " Error in pedigree file ped.txt of effect 2, line ";
  const Case cases[] = {
      {"sound", animal, "1 0 0\n2 0 0\n\n3 1 2\n4 3 2\n5 4 0\n", ""},
      {"own parent", animal, "1 0 0\n2 0 2\n3 0 0\n4 0 0\n5 0 0\n",
       at + "2 (record 2): animal 2 is given as its own parent"},
      {"repeated animal", animal, "1 0 0\n2 0 0\n3 1 2\n2 1 0\n5 0 0\n",
       at + "4 (record 4): animal 2 was given before, on line 2"},
      {"one animal as both parents", animal, "1 0 0\n2 0 0\n3 1 1\n4 0 0\n5 0 0\n",
       at + "3 (record 3): both parents are 1"},
      {"own ancestor", animal, "1 3 0\n2 1 0\n3 2 0\n4 0 0\n5 0 0\n",
       at + "1 (record 1): animal 1 is its own ancestor, through the lines 1 -> 3 -> 2 -> 1"},
      {"own ancestor, lines in any order", animal, "5 4 0\n4 0 3\n3 1 2\n\n1 0 0\n2 5 0\n",
       at + "1 (record 1): animal 5 is its own ancestor, through the lines 1 -> 2 -> 3 -> 6 -> 1"},
      {"fractional id", animal, "1 0 0\n2 1.5 0\n", at + "2 (record 2): field 2 \"1.5\" is not an integer"},
      // Parents written as a missing value, ids that are names.
      {"a parent left empty", animal, "1 0 0\n2,,0\n", at + "2 (record 2): field 2 is empty; an unknown parent is written 0"},
      {"a dam written ?", animal, "1 0 0\n2 1 ?\n",
       at + "2 (record 2): field 3 \"?\" is not an integer; an unknown parent is written 0"},
      {"NA as the animal", animal, "NA 0 0\n", at + "1 (record 1): field 1 \"NA\" is not an integer"},
      {"a name as a parent", animal, "1 0 0\n2 Bella 0\n",
       at + "2 (record 2): field 2 \"Bella\" is not an integer; ids are whole numbers from 1 to the levels of the"
            " effect: recode ids such as this one (manual, section 1.1)"},
      {"id beyond 32 bits", animal, "1 0 0\n2 0 99999999999\n",
       at + "2 (record 2): field 3 \"99999999999\" is too large an integer"},
      {"short line", animal, "1 0 0\n2 0\n3 0 0\n", at + "2 (record 2): the line holds 2 values where 3 are needed"},
      // The sire's sire may also be its maternal grandsire.
      {"sire model", ped_model(6, "add_sire", "ped.txt 3"), "1 0 0\n2 0 0\n3 1 1\n", ""},
      {"sire model, own sire", ped_model(6, "add_sire", "ped.txt 3"), "1 0 0\n2 0 0\n3 3 1\n",
       at + "3 (record 3): sire 3 is given as its own sire of the sire"},
      // Unknown parent groups 5 and 6 have no parents; one group may stand
      // for both parents.
      {"parent groups", ped_model(6, "add_an_upg", "ped.txt 4"), "1 5 5 3\n2 5 6 3\n3 1 2 1\n4 6 6 3\n", ""},
      {"parent groups with lines of their own", ped_model(6, "add_an_upg", "ped.txt 6"),
       "5 0 0 4\n6 0 0 4\n1 5 5 3\n2 5 6 3\n3 1 2 1\n4 6 6 3\n", ""},
      {"an animal as both parents", ped_model(6, "add_an_upg", "ped.txt 4"), "1 5 5 3\n2 5 6 3\n3 1 2 1\n4 3 3 1\n",
       at + "4 (record 4): both parents are 3, an animal with parents of its own (line 3), not a parent group"},
      {"inbreeding codes", ped_model(6, "add_an_upgi", "ped.txt 3"), "1 5 5 1000\n2 1 5 1333\n3 2 1 2000\n", ""},
      {"animal off its record", ped_model(6, "add_an_ms", "ped.txt 3 0", "MULTIPLE_SIRES:\n1 ms.txt 3\n"),
       "1 0 0 1\n3 0 0 1\n2 0 0 1\n",
       at + "2 (record 2): animal 2 has no line: record 2 describes animal 3; each record must describe the animal "
            "of its number"},
      {"dam is the sire", ped_model(6, "add_an_ms", "ped.txt 3 0", "MULTIPLE_SIRES:\n1 ms.txt 3\n"),
       "1 0 0 1\n2 0 0 1\n3 2 2 1\n", at + "3 (record 3): both parents are 2"},
      {"Mendelian coefficient not finite", ped_model(6, "add_an_ms", "ped.txt 1 0", "MULTIPLE_SIRES:\n1 ms.txt 3\n"),
       "1 0 0 inf\n", at + "1 (record 1): field 4 \"inf\" is not a finite number"},
      {"file ends early", animal, "1 0 0\n2 0 0\n\n",
       " Error in pedigree file ped.txt of effect 2, record 3: the file ends after 2 of the 5 records declared"},
  };
  write("ms.txt", "1\n1\n1.0\n");
  for (const Case& c : cases) {
    write("ped.txt", c.ped);
    EXPECT_EQ(read_pedigrees(c.model).stop, c.stop) << c.what;
  }
}

TEST_F(InputFiles, AncestryOfALongPedigreeIsWalkedWithoutRecursion) {
  // Each animal the parent of the next, listed youngest first, so one walk
  // climbs the whole pedigree.
  constexpr int n = 200000;
  std::string ped;
  for (int i = n; i >= 1; --i) ped += std::to_string(i) + " " + std::to_string(i - 1) + " 0\n";
  write("ped.txt", ped);
  EXPECT_EQ(read_pedigrees(ped_model(n, "add_animal", "ped.txt " + std::to_string(n))).stop, "");
  // The founder made a descendant of the youngest closes a cycle through all.
  write("ped.txt", ped.substr(0, ped.size() - 6) + "1 " + std::to_string(n) + " 0\n");
  const auto r = read_pedigrees(ped_model(n, "add_animal", "ped.txt " + std::to_string(n)));
  EXPECT_TRUE(r.stop.starts_with(" Error in pedigree file ped.txt of effect 2, line 1 (record 1): animal " +
                                 std::to_string(n) + " is its own ancestor, through the lines 1 -> 2 -> "))
      << r.stop;
  EXPECT_TRUE(r.stop.ends_with(" -> ... -> 1")) << r.stop;
}

TEST_F(InputFiles, MultipleSiresFile) {
  struct Case {
    const char* what;
    const char* ms;
    std::string stop;
  };
  // Animal 3 has candidate sires: a block of 2 candidates in 5 values.
  const std::string model = ped_model(6, "add_an_ms", "ped.txt 3 0", "MULTIPLE_SIRES:\n2 ms.txt 5 0\n");
  const std::string at = " Error in multiple-sires file ms.txt, line ";
  const std::string block = " Error in pedigree file ped.txt of effect 2, line 3 (record 3): candidate sire ";
  const Case cases[] = {
      {"sound, blank lines skipped", "2\n\n1\n0.6   a comment\n2\n0.4\n", ""},
      {"not a number", "2\n1\n0.6\nsire2\n0.4\n", at + "4 (record 4): field 1 \"sire2\" is not a number"},
      {"NaN", "2\n1\nNaN\n2\n0.4\n", at + "3 (record 3): field 1 \"NaN\" is not a finite number"},
      {"empty line of commas", "2\n1\n,\n2\n0.4\n", at + "3 (record 3): field 1 is empty"},
      {"file ends early", "2\n1\n0.6\n2\n",
       " Error in multiple-sires file ms.txt, record 5: the file ends after 4 of the 5 values declared"},
      {"fractional candidate", "2\n1\n0.6\n2.5\n0.4\n",
       block + "2.5 at position 4 of the multiple-sires file ms.txt is not a whole number"},
  };
  write("ped.txt", "1 0 0 1\n2 0 0 1\n3 0 -1 1.5\n");
  for (const Case& c : cases) {
    write("ms.txt", c.ms);
    EXPECT_EQ(read_pedigrees(model).stop, c.stop) << c.what;
  }
}

}  // namespace
