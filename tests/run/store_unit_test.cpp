// A store as one unit and the restart that continues from it: result lines
// that do not fit the model or hold numbers that are not finite, sample
// files cut back to the store, and a disk that fills during a store.
// (Interruptions at every step of a store: store_fault_test.cpp.)
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <map>
#include <functional>
#include <string>
#include <vector>

#include "run/restart.hpp"
#include "run/results/store_record.hpp"
#include "run/store.hpp"
#include "run/results/store_record.hpp"
#include "sampler/samplefiles.hpp"
#include "store_support.hpp"
#include "util/format.hpp"

namespace {

using statetest::lines;
using namespace storetest;

class StoreUnit : public StoreFolder {
 protected:
  static std::vector<std::string> file_lines(const std::string& f) { return lines(slurp(f)); }
  static void put_lines(const std::string& f, const std::vector<std::string>& v) {
    std::string out;
    for (const auto& l : v) out += l + "\n";
    write(f, out);
  }
  // The last blank-separated field of a line replaced.
  static std::string with_last_field(const std::string& line, const std::string& field) {
    const std::size_t end = line.find_last_not_of(' ');
    const std::size_t begin = line.find_last_of(' ', end) + 1;
    return line.substr(0, begin) + field;
  }
  static std::string refused(const char* file, int line, const std::string& what) {
    return std::string(" restart refused: \"") + file + "\" line " + std::to_string(line) + " " + what;
  }
  static bool any_temporary() {
    for (const auto& e : std::filesystem::directory_iterator(".")) {
      const std::string n = e.path().filename().string();
      if (n.ends_with(".tmp") || n.ends_with(".new")) return true;
    }
    return false;
  }
};

// Result files that a restart refuses, each naming the file and the line.
TEST_F(StoreUnit, RestartRefusesFilesThatDoNotFitTheModel) {
  make_sample_files();
  model_a(state_, 1000, 1000);
  ASSERT_EQ(store().stop, "");
  const std::vector<std::string> names = {"solutions", "msiresppr", "varcomp", "loglike_obs"};
  std::map<std::string, std::vector<std::string>> stored;
  for (const auto& f : names) stored[f] = file_lines(f);

  using Edit = std::function<void(std::vector<std::string>&)>;
  struct Case {
    const char* what;
    const char* file;
    Edit edit;
    std::function<void()> model;  // the model of the restart, after model_a
    std::string message;
  };
  const std::string not_finite = ", a number that is not finite";
  const std::vector<Case> cases = {
      {"a sample that is not a number",
       "solutions",
       [&](auto& v) { v[2] = with_last_field(v[2], "NaN"); },
       {},
       refused("solutions", 3, "holds NaN" + not_finite)},
      {"an infinite last sample",
       "solutions",
       [&](auto& v) { v[4] = with_last_field(v[4], "-Infinity"); },
       {},
       refused("solutions", 5, "holds -Infinity" + not_finite)},
      {"a value too many",
       "solutions",
       [&](auto& v) { v[4] += " 1.5"; },
       {},
       refused("solutions", 5, "holds more values than the model gives (\"1.5\")")},
      {"an infinite variance",
       "varcomp",
       [&](auto& v) { v[2] = " Infinity 1.0 2.0 3.0"; },
       {},
       refused("varcomp", 3, "holds Infinity" + not_finite)},
      {"an infinite CPO",
       "loglike_obs",
       [&](auto& v) { v[3] = "         2  Infinity  -1.0  0.0  0.0  0.0"; },
       {},
       refused("loglike_obs", 4, "holds Infinity" + not_finite)},
      {"swapped lines",
       "solutions",
       [&](auto& v) { std::swap(v[2], v[3]); },
       {},
       refused("solutions", 3,
               "is for trait 2 effect 1 level 1 where the model has trait 1 effect 1 level 1")},
      {"swapped records",
       "loglike_obs",
       [&](auto& v) { std::swap(v[3], v[4]); },
       {},
       refused("loglike_obs", 4, "is for record 3 where the model has record 2")},
      {"another sire",
       "msiresppr",
       [&](auto& v) { v[2] = "       2     999 0.1 0.1 0.1 0.1"; },
       {},
       refused("msiresppr", 3, "is for animal 2 sire 999 where the model has animal 2 sire 101")},
      {"a line too many",
       "solutions",
       [&](auto& v) { v.push_back(v.back()); },
       {},
       refused("solutions", static_cast<int>(stored["solutions"].size()) + 1,
               "is past the last line the model gives")},
      {"a short file",
       "solutions",
       [&](auto& v) { v.resize(6); },
       {},
       " restart refused: \"solutions\" ends at line 6, short of the lines the model gives (error reading "
       "solutions at effect: 1 level : 3 trait: 1): the file was cut or changed after the store; put back the "
       "file that the store of cycle 1000 wrote"},
      // Fewer levels of effect 2: its second level stands where effect 3 begins.
      {"fewer levels",
       "solutions",
       {},
       [] { M.nlev(2) = 1; },
       refused("solutions", 15,
               "is for trait 1 effect 2 level 2 where the model has trait 1 effect 3 level 1")},
      // One breed: blocks of order 2 where the file has 4.
      {"a smaller block",
       "varcomp",
       {},
       [] { M.nbreed(2) = 1; },
       refused("varcomp", 12, "holds more values than the model gives (\"0.2250\")")},
      // A block of order 4 where the file has 2: its first row begins on
      // line 3 and runs into line 4.
      {"a larger block",
       "varcomp",
       {},
       [] { M.randomnumb(1) = 2; },
       refused("varcomp", 3, "holds fewer values than the model gives")},
      {"another label",
       "varcomp",
       [&](auto& v) { v[1] = " Average variance components (G) for effect:  3"; },
       {},
       refused("varcomp", 2,
               "is \"Average variance components (G) for effect: 3\" where the model has \"Average "
               "variance "
               "components (G) for effect: 1\"")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.edit) {
      auto v = stored[c.file];
      c.edit(v);
      put_lines(c.file, v);
    }
    model_a(state_, 1000, 1000);
    if (c.model) c.model();
    EXPECT_EQ(restart(1001).stop, c.message);
    for (const auto& f : names) put_lines(f, stored[f]);
    sampler::close(sampler::sample_files(state_));
    state_.msirespprsam.close();
  }
  // The files as stored are taken.
  model_a(state_, 1000, 1000);
  EXPECT_EQ(restart(1001).stop, "");
}

// The files with structural and robust residuals: identifiers and words of
// their labelled lines.
TEST_F(StoreUnit, RestartChecksTheResidualFiles) {
  make_sample_files();
  model_b(state_, 300, 300, 100, 5);
  ASSERT_EQ(store().stop, "");
  const std::vector<std::string> names = {"structural_r", "robustness_w", "mh_acceptance"};
  std::map<std::string, std::vector<std::string>> stored;
  for (const auto& f : names) stored[f] = file_lines(f);
  struct Case {
    const char* file;
    std::size_t line;  // from 0
    std::string text;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"structural_r", 3, "  1  2   gamma  1.0  1.0  1.0",
       refused("structural_r", 4, "has \"gamma\" where the model has \"alpha\"")},
      {"structural_r", 3, "  1  3   alpha  1.0  1.0  1.0",
       refused("structural_r", 4, "is for trait 1 effect 3 where the model has trait 1 effect 2")},
      {"structural_r", 2, "  1  1       2  1.0  1.0  1.0",
       refused("structural_r", 3, "is for trait 1 effect 1 level 2 where the model has trait 1 effect 1 level 1")},
      {"robustness_w", 3, "  1         2  1.0  1.0  1.0",
       refused("robustness_w", 4, "is for trait 1 record 2 where the model has trait 1 record 1")},
      {"mh_acceptance", 0, " Acceptance rate & proposal dbelief for structural R effect:  2",
       refused("mh_acceptance", 1,
               "is \"Acceptance rate & proposal dbelief for structural R effect: 2\" where the model has "
               "\"Acceptance rate & proposal dbelief for structural R effect: 1\"")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.file) + " " + std::to_string(c.line));
    auto v = stored[c.file];
    ASSERT_LT(c.line, v.size());
    v[c.line] = c.text;
    put_lines(c.file, v);
    model_b(state_, 300, 300, 100, 5);
    EXPECT_EQ(restart(301).stop, c.message);
    put_lines(c.file, stored[c.file]);
    sampler::close(sampler::sample_files(state_));
  }
}

// Lines written after the store — whole cycles, a partial cycle, a partial
// line — are cut from every sample file, so the continued chain holds each
// cycle once.
TEST_F(StoreUnit, RestartCutsTheSampleFilesBackToTheStore) {
  ASSERT_NO_FATAL_FAILURE(store_a_with_samples());
  const std::vector<std::string> samples = {"varcompsam", "loglike_rnd", "solutionsam", "msirespprsam",
                                            "mh_dbeliefchg"};
  std::map<std::string, std::string> at_store;
  for (const auto& f : samples) at_store[f] = slurp(f);
  write("varcompsam", at_store["varcompsam"] + " 1001\n 0.5\n 1002\n 0.2");
  write("loglike_rnd", at_store["loglike_rnd"] + " 1001 -3.5\n 10");
  write("solutionsam", at_store["solutionsam"] + " 1001\n");
  write("mh_dbeliefchg", at_store["mh_dbeliefchg"] + " 17\n");

  model_a_saving();
  ASSERT_EQ(restart(1001).stop, "");
  sampler::SampleFiles& f = sampler::sample_files(state_);
  f.varcompsam.line(" 1001");
  f.loglike_rnd.line(" 1001 -2.5");
  sampler::close(f);
  state_.msirespprsam.close();
  EXPECT_EQ(slurp("varcompsam"), at_store["varcompsam"] + " 1001\n");
  EXPECT_EQ(slurp("loglike_rnd"), at_store["loglike_rnd"] + " 1001 -2.5\n");
  EXPECT_EQ(slurp("solutionsam"), at_store["solutionsam"]);
  EXPECT_EQ(slurp("mh_dbeliefchg"), at_store["mh_dbeliefchg"]);  // cut, though not reopened
}

// A restart refuses sample files that lost lines of the store, a store that
// does not name a file the chain has, a missing record and one of another
// cycle.
TEST_F(StoreUnit, RestartRefusesSampleFilesThatDoNotMatchTheStore) {
  const std::string damaged =
      ": the record was cut or changed after the store; put back the file of that store, or start the chain "
      "afresh (RESTART: n)";
  make_sample_files();
  model_a(state_, 1000, 1000);
  ASSERT_EQ(store().stop, "");
  const std::string record = slurp("store_record"), varcompsam = slurp("varcompsam");
  auto again = [&](int nround = 1000, int nburn = 105, int skip = 10) {
    model_a(state_, 1000, nround, nburn, skip);
    const auto r = restart(1001);
    sampler::close(sampler::sample_files(state_));
    state_.msirespprsam.close();
    return r.stop;
  };
  write("varcompsam", " 1 var");
  EXPECT_EQ(again(), util::freev("restart at cycle", 1001, ":", "\"varcompsam\"", "holds", 6,
                                 "bytes, fewer than the", static_cast<int>(varcompsam.size()),
                                 "it held at the store of cycle", 1000));
  write("varcompsam", varcompsam);

  std::string without;
  for (const auto& l : lines(record))
    if (l.find("loglike_rnd") == std::string::npos) without += l + "\n";
  write("store_record", without);
  EXPECT_EQ(again(), util::freev("restart at cycle", 1001, ": the store of cycle", 1000, "has no sample file",
                                 std::string("\"loglike_rnd\"") + run::record::record_damaged));

  write("store_record", " cycle 900\n" + record.substr(record.find('\n') + 1));
  EXPECT_EQ(again(), util::freev("restart at cycle", 1001, "needs the results of cycle", 1000,
                                 "but", "\"store_record\"", "holds those of cycle", 900,
                                 "; the chain continues at cycle", 901));

  write("store_record", record + " sample nosuchfile 12\n");
  EXPECT_EQ(again(), util::freev("\"store_record\"", "line", 14,
                                 "cannot be read: the store it records is unknown" + damaged));

  // The chain's burn-in and thinning interval are recorded and must stay;
  // its length may grow.
  ASSERT_EQ(record.substr(0, record.find("result")), "cycle 1000\nburn_in 105\nthinning 10\n");
  write("store_record", record);
  const std::string keeps = "; a continued chain keeps its burn-in and thinning interval";
  struct Setting {
    int nround, nburn, skip;
    std::string stop;
  };
  const Setting settings[] = {
      {2000, 105, 10, ""},
      {2000, 100, 10,
       util::freev("restart at cycle", 1001, ": the parameter file gives a burn-in of", 100, "but the chain in",
                   "\"store_record\"", "has", 105, keeps)},
      {1000, 105, 5,
       util::freev("restart at cycle", 1001, ": the parameter file gives a thinning interval of", 5,
                   "but the chain in", "\"store_record\"", "has", 10, keeps)},
  };
  for (const Setting& c : settings) EXPECT_EQ(again(c.nround, c.nburn, c.skip), c.stop) << c.nburn << " " << c.skip;
  // A record that does not name them is refused: every store writes them.
  std::string unnamed;
  for (const auto& l : lines(record))
    if (l.find("burn_in") == std::string::npos) unnamed += l + "\n";
  write("store_record", unnamed);
  EXPECT_EQ(again(), util::freev("\"store_record\"", "names no", "burn-in" + damaged));
  write("store_record", record);

  std::filesystem::remove("store_record");
  EXPECT_EQ(again(), util::freev("restart at cycle", 1001, ":", "\"store_record\"",
                                 "is missing, so the sample files cannot be matched to the result files: no "
                                 "store was made (a chain stopped before its first store), or the record was "
                                 "removed; the chain cannot be continued: start it afresh (RESTART: n)"));
  write("store_record", record);
  EXPECT_EQ(again(), "");
}

// A disk that fills during a store: the run stops naming the file it could
// not write, and the previous store stays whole, with no temporary left.
TEST_F(StoreUnit, AFullDiskLeavesThePreviousStore) {
  make_sample_files();
  model_a(state_, 1000, 2000);
  ASSERT_EQ(store().stop, "");
  std::map<std::string, std::string> before;
  for (const char* f : {"solutions", "msiresppr", "varcomp", "loglike_obs", "mh_acceptance", "store_record"})
    before[f] = slurp(f);
  const std::size_t solutions_size = before["solutions"].size();
  const std::string varcompsam_at_store = slurp("varcompsam");

  M.round = 1100;
  struct rlimit old;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto* old_handler = ::signal(SIGXFSZ, SIG_IGN);
  // Files may grow to just under the size of "solutions".
  struct rlimit small = old;
  small.rlim_cur = solutions_size - 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto r = store();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(r.stop, "cannot write file \"solutions.tmp\": File too large");
  EXPECT_EQ(r.out, "");
  for (const auto& [f, text] : before) EXPECT_EQ(slurp(f), text) << f;
  EXPECT_FALSE(any_temporary());

  // Sample lines that no longer fit: the store that would count them is not
  // made, and a restart cuts what did fit.
  const std::string varcompsam = slurp("varcompsam");
  small.rlim_cur = varcompsam.size() + 10;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ::signal(SIGXFSZ, SIG_IGN);
  for (int k = 0; k < 10; ++k) sampler::sample_files(state_).varcompsam.line(" 1050");
  // Not captured: capturing writes out every stream at once.
  std::string full_stop;
  try {
    run::store_solutions(state_);
  } catch (const util::Stop& e) {
    full_stop = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(full_stop, "cannot write file \"varcompsam\": File too large");
  for (const auto& [f, text] : before) EXPECT_EQ(slurp(f), text) << f;
  EXPECT_EQ(slurp("varcompsam").size(), varcompsam.size() + 10);
  sampler::discard_empty(sampler::sample_files(state_), true);  // as the stopped run does
  state_.msirespprsam.close();
  model_a(state_, 1000, 2000);
  ASSERT_EQ(restart(1001).stop, "");
  EXPECT_EQ(slurp("varcompsam"), varcompsam_at_store);
}

}  // namespace
