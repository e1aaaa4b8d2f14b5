// The reduced animal model's own loops (the Mendelian step of one trait,
// the classes of records by weight and DINV, the residual pass over the
// records of animals with equations alone) against the general steps,
// through the whole program: every output file byte for byte, for models
// that take them and models that take only some of them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "chain_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/setup_eq.hpp"

namespace run {
int velmoran_main();
}

namespace {

using namespace chaintest;

// Runs the program in a child process in folder d after set() there; its
// standard output goes to d/stdout.  Returns the exit status.
int run_child(const fs::path& d, const std::function<void()>& set) {
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    fs::current_path(d);
    fresh_globals();
    sampler::equation_plan = sampler::EquationPlan{};
    set();
    if (!std::freopen("stdout", "w", stdout)) ::_exit(3);
    std::istringstream in("params.txt\n");
    std::cin.rdbuf(in.rdbuf());
    int status = 0;
    try {
      run::velmoran_main();
    } catch (const util::Stop& s) {
      util::report_stop(s);
      status = 1;
    }
    std::fflush(nullptr);
    ::_exit(status);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// A file of a run as it is compared: standard output without the lines
// that carry times.
std::string compared(const fs::path& f) {
  std::string text = read_file(f);
  if (f.filename() != "stdout") return text;
  static const std::regex timed(" in +[0-9.eE+-]+ +s\\b|time|second|elapsed", std::regex::icase);
  std::string kept;
  for (const std::string& l : lines_of(text))
    if (!std::regex_search(l, timed)) kept += l + "\n";
  return kept;
}

struct Case {
  const char* name;
  const char* options;  // simulator options besides the common ones
};

class ReducedLoops : public ChainFolder, public testing::WithParamInterface<Case> {};

TEST_P(ReducedLoops, GiveWhatTheGeneralStepsGive) {
  if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  const fs::path data = dir() / "data";
  fs::create_directories(data);
  const Process sim = run_simulator(data, std::string("--records 1200 --reduced --nround 120 --nburn 40 "
                                                      "--skip 2 ") +
                                              GetParam().options);
  ASSERT_EQ(sim.status, 0) << sim.err;
  struct Run {
    const char* name;
    std::function<void()> set;
  };
  const Run runs[] = {
      {"own_loops", [] {}},
      // Every pass finds the slots again: the general steps throughout.
      {"general", [] { sampler::allow_kept_slots = false; }},
      // Slots kept, the reduced model's own loops off.
      {"kept_general",
       [] {
         sampler::one_trait_mendelian = false;
         sampler::use_record_classes = false;
       }},
  };
  for (const Run& r : runs) {
    const fs::path d = dir() / r.name;
    fs::create_directories(d);
    for (const auto& f : fs::directory_iterator(data)) fs::copy(f.path(), d / f.path().filename());
    ASSERT_EQ(run_child(d, r.set), 0) << r.name << "\n" << read_file(d / "stdout");
  }
  const fs::path own = dir() / runs[0].name;
  int files = 0;
  for (const auto& f : fs::directory_iterator(own)) {
    ++files;
    for (const Run& r : runs) {
      const fs::path other = dir() / r.name / f.path().filename();
      ASSERT_TRUE(fs::exists(other)) << other;
      EXPECT_TRUE(compared(f.path()) == compared(other)) << f.path().filename() << " differs in " << r.name;
    }
  }
  EXPECT_GE(files, 12);
  // The chain ran past burn-in: the records have log-likelihoods.
  EXPECT_EQ(lines_of(read_file(own / "loglike_obs")).size(), 2u + 1200u);
}

INSTANTIATE_TEST_SUITE_P(
    Reduced, ReducedLoops,
    testing::Values(Case{"one_trait", "--traits 1 --seed 41"},
                    Case{"one_trait_weights", "--traits 1 --weights --seed 42"},
                    Case{"two_traits_missing_weights", "--traits 2 --missing 0.2 --weights --seed 43"},
                    Case{"structural", "--traits 1 --structural 3 --seed 44"},
                    Case{"student_t", "--traits 1 --student-t 5 --seed 45"}),
    [](const testing::TestParamInfo<Case>& i) { return std::string(i.param.name); });

}  // namespace
