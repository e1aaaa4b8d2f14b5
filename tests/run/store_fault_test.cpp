// A chain killed at many moments — while writing sample lines, and at every
// step of a store — and then restarted: the restart must run to the end,
// every sample file must hold each cycle once and in order, and the means
// in "varcomp" must be those of the kept lines of "varcompsam".
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "chain_support.hpp"
#include "random/rangen.hpp"
#include "run/cycle.hpp"
#include "run/model.hpp"
#include "run/store_record.hpp"
#include "sampler/setup_eq.hpp"
#include "util/textio.hpp"

namespace run {
int velmoran_main(CycleTimes* times);
}

namespace {

using namespace chaintest;

constexpr int nround = 230, nburn = 30;

std::string parameters(const std::string& restart) {
  return "MCMC_CHAIN:\n" + std::to_string(nround) + " " + std::to_string(nburn) +
         " 1\nSEED\n11\nRESTART:\n" + restart +
         "\nDATAFILE\nd.txt 24\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\n"
         "WEIGHT(S)\n\nEFFECTS:\n2 3 cross y\n3 4 cross n\nRANDOM_RESIDUAL:\nhomogeneous 5\n"
         "RESIDUAL_PRIOR_(CO)VARIANCES\n1\nRANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone 0\n"
         "(CO)VARIANCES\n0.5\n";
}

void write_data() {
  std::ofstream d("d.txt");
  for (int i = 0; i < 24; ++i) {
    const int l1 = i % 3 + 1, l2 = (i * 5) % 4 + 1;
    d << 2 + 0.5 * l1 - 0.25 * l2 + ((i * 13) % 7 - 3) * 0.2 << " " << l1 << " " << l2 << "\n";
  }
}

// What the child does at each output step: count, log, or die there.
// Stores are put on disk by a thread of their own: steps of both threads count.
struct Probe {
  std::atomic<long> count = 0;
  long kill_at = -1;    // index of the step to die at; -1 never
  bool flush = false;   // the lines written so far reach the files first
  bool partial = false; // and a piece of a line follows them in a sample file
  FILE* log = nullptr;  // every step's path, one a line
};
Probe probe;

void on_output(const char* path) {
  Probe& p = probe;
  if (p.log) std::fprintf(p.log, "%s\n", path);
  if (p.count++ != p.kill_at) return;
  if (p.flush) std::fflush(nullptr);
  const bool sample = std::strcmp(path, "varcompsam") == 0 || std::strcmp(path, "loglike_rnd") == 0 ||
                      std::strcmp(path, "solutionsam") == 0;
  if (p.partial && sample) {
    const int fd = ::open(path, O_WRONLY | O_APPEND);
    if (fd >= 0) {
      const char piece[] = "   0.1234";
      (void)!::write(fd, piece, sizeof piece - 1);
      ::close(fd);
    }
  }
  ::raise(SIGKILL);
}

// Runs the program in a child process of this one on parameter file par,
// after prepare() there, with times handed to it; returns its exit status,
// or -signal when a signal ended it.
int in_child(const std::string& par, const std::function<void()>& prepare, run::CycleTimes* times = nullptr) {
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    fresh_globals();
    sampler::equation_plan = sampler::EquationPlan{};
    prepare();
    const int quiet = ::open("child.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    std::istringstream in(par + "\n");
    std::cin.rdbuf(in.rdbuf());
    int status = 0;
    try {
      run::velmoran_main(times);
    } catch (const util::Stop& s) {
      util::report_stop(s);
      status = 1;
    }
    std::fflush(nullptr);
    ::_exit(status);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -999;
}

// The program in a child, probed as how says (its steps logged into log_file).
int run_child(const std::string& par, const Probe& how, const char* log_file = nullptr) {
  return in_child(par, [&] {
    probe.count = 0;
    probe.kill_at = how.kill_at;
    probe.flush = how.flush;
    probe.partial = how.partial;
    if (log_file) probe.log = std::fopen(log_file, "w");
    util::io_probe = on_output;
  });
}

// The lines of a sample file as cycles: each a line holding the cycle, then
// per_cycle lines of one value (per_cycle 0: the value on the cycle's line).
std::vector<std::vector<double>> cycles_of(const std::string& file, int per_cycle) {
  std::vector<std::vector<double>> v;
  const std::vector<std::string> ls = lines_of(read_file(file));
  std::size_t i = 0;
  while (i < ls.size()) {
    std::istringstream h(ls[i++]);
    int c = 0;
    if (!(h >> c) || c != static_cast<int>(v.size()) + 1) {
      ADD_FAILURE() << file << ": cycle " << v.size() + 1 << " expected at line " << i << ": " << ls[i - 1];
      return v;
    }
    std::vector<double> x;
    double d;
    if (per_cycle == 0) {
      if (!(h >> d)) ADD_FAILURE() << file << " line " << i;
      x.push_back(d);
    }
    for (int k = 0; k < per_cycle; ++k) {
      if (i >= ls.size() || !(std::istringstream(ls[i++]) >> d)) {
        ADD_FAILURE() << file << ": cycle " << c << " cut short";
        return v;
      }
      x.push_back(d);
    }
    v.push_back(x);
  }
  return v;
}

// The value on the line after the first that holds label.
double value_after(const std::string& file, const std::string& label) {
  const std::vector<std::string> ls = lines_of(read_file(file));
  for (std::size_t i = 0; i + 1 < ls.size(); ++i)
    if (ls[i].find(label) != std::string::npos) return std::stod(ls[i + 1]);
  ADD_FAILURE() << "no " << label << " in " << file;
  return 0;
}

// The cycle of the store that a restart finds (a made store not yet
// finished counts), or 0 when there is none.
int stored_cycle() {
  for (const char* f : {run::record::pending, run::record::file}) {
    std::ifstream in(f);
    std::string key;
    int c = 0;
    if (in >> key >> c && key == "cycle") return c;
  }
  return 0;
}

// In memory when the system has such a folder: a store puts its files on
// disk, which a disk makes slow and which is not what is tested here.
class StoreFault : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    std::error_code ec;
    if (!fs::is_directory("/dev/shm", ec)) return;
    shm_ = fs::path("/dev/shm") / ("velmoran_fault_" + std::to_string(::getpid()));
    fs::remove_all(shm_, ec);
    if (!fs::create_directory(shm_, ec)) return;
    fs::current_path(shm_);
  }
  void TearDown() override {
    ChainFolder::TearDown();
    std::error_code ec;
    if (!shm_.empty()) fs::remove_all(shm_, ec);
  }

 private:
  fs::path shm_;
};

TEST_F(StoreFault, EveryKillLeavesAChainThatARestartFinishes) {
  write_data();
  std::ofstream("fresh.par") << parameters("n");

  // A full run, counting its output steps.
  ASSERT_EQ(run_child("fresh.par", Probe{}, "steps.txt"), 0) << read_file("child.out");
  const std::vector<std::string> steps = lines_of(read_file("steps.txt"));
  const std::string whole_varcomp = read_file("varcomp");
  // Steps outside the sample files belong to stores; a store's sample
  // files are put on disk first, so a store begins at its first
  // "varcompsam" step that is not a line (one after the last line).
  std::vector<long> store_steps, line_steps;
  for (std::size_t k = 0; k < steps.size(); ++k) {
    const std::string& p = steps[k];
    const bool sample = p == "varcompsam" || p == "loglike_rnd" || p == "solutionsam";
    (sample ? line_steps : store_steps).push_back(static_cast<long>(k));
  }
  ASSERT_GT(store_steps.size(), 40u);
  // Every step of the stores after the first, some of the first, and lines
  // in the burn-in, between stores and after the last periodic store.
  std::set<long> kills;
  const std::size_t per_store = store_steps.size() / 3;
  for (std::size_t k = 0; k < store_steps.size(); ++k)
    if (k >= per_store ? (k < 2 * per_store || k % 3 == 0) : k % 4 == 1) kills.insert(store_steps[k]);
  const std::size_t nl = line_steps.size();
  for (double at : {0.02, 0.3, 0.5, 0.61, 0.9, 0.97}) kills.insert(line_steps[static_cast<std::size_t>(at * nl)]);

  int index = 0;
  for (long kill : kills) {
    SCOPED_TRACE("killed at step " + std::to_string(kill) + " (" + steps[static_cast<std::size_t>(kill)] + ")");
    for (const auto& e : fs::directory_iterator(".")) {
      const std::string n = e.path().filename().string();
      if (n != "d.txt" && n != "fresh.par" && n != "steps.txt") fs::remove(e.path());
    }
    Probe how;
    how.kill_at = kill;
    how.flush = index % 2 == 0;
    how.partial = index % 4 == 0;
    ++index;
    ASSERT_EQ(run_child("fresh.par", how), -SIGKILL);

    const int stored = stored_cycle();
    if (stored == 0) {
      // No store yet: nothing to continue, and a restart says so.
      std::ofstream("restart.par") << parameters("y 101");
      EXPECT_EQ(run_child("restart.par", Probe{}), 1);
      EXPECT_NE(read_file("child.out").find("cannot open file \"solutions\""), std::string::npos)
          << read_file("child.out");
      continue;
    }
    std::ofstream("restart.par") << parameters("y " + std::to_string(stored + 1));
    ASSERT_EQ(run_child("restart.par", Probe{}), 0) << read_file("child.out");

    for (const auto& e : fs::directory_iterator(".")) {
      const std::string n = e.path().filename().string();
      EXPECT_FALSE(n.ends_with(".tmp") || n.ends_with(".new")) << n;
    }
    const auto vs = cycles_of("varcompsam", 2);
    EXPECT_EQ(vs.size(), static_cast<std::size_t>(nround));
    EXPECT_EQ(cycles_of("solutionsam", 3).size(), static_cast<std::size_t>(nround));
    EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), static_cast<std::size_t>(nround));
    double g = 0, r = 0;
    for (std::size_t c = nburn; c < vs.size(); ++c) {
      g += vs[c][0];
      r += vs[c][1];
    }
    const double n = nround - nburn;
    // The means are stored to four decimals and a restart rebuilds its sums
    // from them.
    EXPECT_NEAR(value_after("varcomp", "Average variance components (G)"), g / n, 1.5e-4);
    EXPECT_NEAR(value_after("varcomp", "Average residuals (R)"), r / n, 1.5e-4);
    if (stored == nround) {
      EXPECT_EQ(read_file("varcomp"), whole_varcomp);
    }
  }
  EXPECT_GT(index, 40);
}

// A run that stops in its first cycle, after it made its sample files but
// before a line went into them, leaves none of them behind.
TEST_F(ChainFolder, ARunStoppedBeforeItsFirstSampleLeavesNoSampleFiles) {
  // Two traits, one record and no prior degrees of belief: too few degrees
  // of freedom for the 2 by 2 matrices, found in the dispersion step.
  std::ofstream("d.txt") << "1.5 2.5 1 1\n";
  std::ofstream("p.par") << "MCMC_CHAIN:\n10 2 1\nSEED\n5\nRESTART:\nn\nDATAFILE\nd.txt 1\nNUMBER_OF_TRAITS\n2\n"
                            "NUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1 2\nWEIGHT(S)\n\nEFFECTS:\n3 3 1 cross n\n"
                            "4 4 1 cross n\nRANDOM_RESIDUAL:\nhomogeneous 0\nRESIDUAL_PRIOR_(CO)VARIANCES\n1 0\n0 1\n"
                            "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 0\nPEDIGREEFILE:\nnone 0\n(CO)VARIANCES\n"
                            "0.5 0\n0 0.5\n";
  ASSERT_EQ(run_child("p.par", Probe{}), 1);
  EXPECT_NE(read_file("child.out").find("Degrees of freedom"), std::string::npos) << read_file("child.out");
  std::set<std::string> left;
  for (const auto& e : fs::directory_iterator(".")) left.insert(e.path().filename().string());
  EXPECT_EQ(left, (std::set<std::string>{"child.out", "d.txt", "p.par"}));
}

// ---------------------------------------------------------------------------
// Chains of every model class killed and stopped at stores and continued,
// against the same chain run without a break: each cycle once in every
// sample file, means that are those of the sample files, and in the first
// cycle of each continued run the random numbers of the unbroken chain.

// What a child running the program writes about the stream, and where it
// dies.  The uniforms pass through the deviate service's test seam, which
// hands out the generator's own numbers and logs the first ones of each cycle.
struct StreamLog {
  FILE* f = nullptr;
  int kill_after = 0;  // the cycle after which the child is killed; 0 never
  bool kill_in_store = false;  // killed instead as its first store renames the record into place
  int round = -1, taken = 0;
};
StreamLog stream_log;

float logged_uniform() {
  StreamLog& l = stream_log;
  const float u = static_cast<float>(rangen::ignlgi()) * 4.656613e-10f;
  if (model::m.round != l.round) {
    l.round = model::m.round;
    l.taken = 0;
  }
  if (l.taken++ < 12) std::fprintf(l.f, "u %d %.9g\n", l.round, static_cast<double>(u));
  return u;
}

void after_cycle(const run::State&, const run::CycleTimes&, void*) {
  StreamLog& l = stream_log;
  const rangen::Stream s = rangen::stream();
  std::fprintf(l.f, "end %d %d %d %llu\n", model::m.round, s.seed1, s.seed2,
               static_cast<unsigned long long>(s.draws));
  std::fflush(l.f);
  if (model::m.round == l.kill_after) ::raise(SIGKILL);
}

// Runs the program in a child on parameter file par with the stream logged
// into log; its exit status, or -signal.
int run_logged(const std::string& par, int kill_after, const std::string& log, bool kill_in_store = false) {
  static run::CycleTimes times;
  times.after_cycle = after_cycle;
  return in_child(
      par,
      [&] {
        stream_log = StreamLog{std::fopen(log.c_str(), "w"), kill_after, kill_in_store};
        rangen::set_uniform_hook(logged_uniform);
        // The store's results are in place, its record not yet: a restart
        // finishes it.
        util::io_probe = [](const char* path) {
          if (stream_log.kill_in_store && std::strcmp(path, run::record::pending) == 0) ::raise(SIGKILL);
        };
      },
      &times);
}

// A log read back: the first uniforms of each cycle, and the stream after it.
struct Logged {
  std::map<int, std::string> uniforms, end;
};
Logged read_log(const std::string& file) {
  Logged g;
  for (const std::string& l : lines_of(read_file(file))) {
    std::istringstream in(l);
    std::string kind;
    int round = 0;
    in >> kind >> round;
    std::string rest;
    std::getline(in, rest);
    (kind == "u" ? g.uniforms[round] : g.end[round]) += rest + ";";
  }
  return g;
}

// The value line after keyword with word k (from 1) replaced.
void set_word(const std::string& parfile, const std::string& keyword, std::size_t k, const std::string& word) {
  std::vector<std::string> lines = lines_of(read_file(parfile));
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == keyword) {
      std::istringstream in(lines[i + 1]);
      std::vector<std::string> w;
      for (std::string x; in >> x;) w.push_back(x);
      ASSERT_LT(k - 1, w.size()) << keyword;
      w[k - 1] = word;
      std::string v;
      for (const std::string& x : w) v += (v.empty() ? "" : " ") + x;
      set_keyword_value(parfile, keyword, v);
      return;
    }
  FAIL() << keyword;
}

// Mean of column `value` (from 0) over the kept entries of a sample file.
double kept_mean(const std::vector<std::vector<double>>& entries, std::size_t value, int nburn) {
  double sum = 0;
  for (std::size_t c = static_cast<std::size_t>(nburn); c < entries.size(); ++c) sum += entries[c][value];
  return sum / static_cast<double>(entries.size() - static_cast<std::size_t>(nburn));
}

struct ChainCase {
  const char* name;
  const char* simulate;
  int nburn;
  std::size_t r_index;  // R's place in an entry of "varcompsam"
  std::function<void()> edit = [] {};  // of "params.txt"
};

std::ostream& operator<<(std::ostream& o, const ChainCase& c) { return o << c.name; }

class ContinuedChain : public StoreFault, public testing::WithParamInterface<ChainCase> {};

constexpr int chain_length = 300;

TEST_P(ContinuedChain, KilledAndStoppedAtStoresGoesOnAsTheUnbrokenChain) {
  const ChainCase& cc = GetParam();
  if (simulator_path().empty()) GTEST_SKIP() << "the simulator is not built";
  const fs::path top = fs::current_path();
  fs::create_directory("sim");
  const Process sim = run_simulator(top / "sim", std::string(cc.simulate) + " --nround " +
                                                     std::to_string(chain_length) + " --nburn " +
                                                     std::to_string(cc.nburn) + " --skip 1 --seed 3");
  ASSERT_EQ(sim.status, 0) << sim.err;
  fs::current_path(top / "sim");
  cc.edit();
  fs::current_path(top);
  for (const char* d : {"whole", "pieces"}) fs::copy(top / "sim", top / d);

  // The unbroken chain.
  fs::current_path(top / "whole");
  ASSERT_EQ(run_logged("params.txt", 0, "log"), 0) << read_file("child.out");
  const Logged whole = read_log("log");

  // Killed after cycle 150 (the store of cycle 100 made), continued there
  // and killed in the store of cycle 200, continued and stopped at 250 (a
  // store at the end of a run), then continued to the end.
  fs::current_path(top / "pieces");
  ASSERT_EQ(run_logged("params.txt", 150, "log1"), -SIGKILL) << read_file("child.out");
  ASSERT_EQ(stored_cycle(), 100);
  set_keyword_value("params.txt", "RESTART:", "y 101");
  ASSERT_EQ(run_logged("params.txt", 0, "log2", true), -SIGKILL) << read_file("child.out");
  ASSERT_EQ(stored_cycle(), 200);
  set_keyword_value("params.txt", "RESTART:", "y 201");
  set_word("params.txt", "MCMC_CHAIN:", 1, "250");
  ASSERT_EQ(run_logged("params.txt", 0, "log3"), 0) << read_file("child.out");
  set_keyword_value("params.txt", "RESTART:", "y 251");
  set_word("params.txt", "MCMC_CHAIN:", 1, std::to_string(chain_length));
  ASSERT_EQ(run_logged("params.txt", 0, "log4"), 0) << read_file("child.out");

  // The first cycle of each continued run draws the uniforms of the unbroken
  // chain, not those of cycle 1 again, and leaves the stream where it does.
  const Logged second = read_log("log2"), third = read_log("log3"), fourth = read_log("log4");
  for (auto [c, g] : {std::pair{101, &second}, std::pair{201, &third}, std::pair{251, &fourth}}) {
    SCOPED_TRACE("cycle " + std::to_string(c));
    ASSERT_TRUE(g->uniforms.count(c));
    EXPECT_EQ(g->uniforms.at(c), whole.uniforms.at(c));
    EXPECT_NE(g->uniforms.at(c), whole.uniforms.at(1));
    EXPECT_EQ(g->end.at(c), whole.end.at(c));
  }

  // Every sample file holds each cycle once, in order, entries as long as
  // those of the unbroken chain.
  const std::string w = (top / "whole").string() + "/";
  const std::size_t per_cycle = lines_of(read_file(w + "varcompsam")).size() / chain_length - 1;
  const auto vs = cycles_of("varcompsam", static_cast<int>(per_cycle));
  ASSERT_EQ(vs.size(), static_cast<std::size_t>(chain_length));
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), static_cast<std::size_t>(chain_length));
  if (fs::exists("solutionsam")) {
    const std::size_t n = lines_of(read_file(w + "solutionsam")).size() / chain_length - 1;
    EXPECT_EQ(cycles_of("solutionsam", static_cast<int>(n)).size(), static_cast<std::size_t>(chain_length));
  }
  // Tuning lines once each.
  if (fs::exists(w + "mh_dbeliefchg")) {
    EXPECT_EQ(lines_of(read_file("mh_dbeliefchg")).size(), lines_of(read_file(w + "mh_dbeliefchg")).size());
  }
  // The means of "varcomp" are those of the kept entries (to the four
  // decimals of the file, from which the restarts take their sums).
  EXPECT_NEAR(value_after("varcomp", "Average variance components (G)"), kept_mean(vs, 0, cc.nburn), 1.5e-4);
  EXPECT_NEAR(value_after("varcomp", "Average residuals (R)"), kept_mean(vs, cc.r_index, cc.nburn), 1.5e-4);

  // Candidate sires with a Dirichlet weight: every kept cycle once in
  // "msirespprsam", and each candidate's mean in "msiresppr" that of its lines.
  if (fs::exists("msirespprsam")) {
    std::map<int, std::pair<double, int>> by_sire;  // sum and count of its probabilities
    std::vector<int> cycles;
    int animal = 0;
    for (const std::string& l : lines_of(read_file("msirespprsam"))) {
      std::istringstream in(l);
      int c = 0, an = 0, sire = 0;
      double pr = 0;
      ASSERT_TRUE(in >> c >> an >> sire >> pr) << l;
      if (cycles.empty() || cycles.back() != c) cycles.push_back(c);
      animal = an;
      by_sire[sire].first += pr;
      ++by_sire[sire].second;
    }
    std::vector<int> kept;
    for (int c = cc.nburn + 1; c <= chain_length; ++c) kept.push_back(c);
    EXPECT_EQ(cycles, kept);
    int checked = 0;
    for (const std::string& l : lines_of(read_file("msiresppr"))) {
      std::istringstream in(l);
      int an = 0, sire = 0;
      double mean = 0;
      if (!(in >> an >> sire >> mean) || an != animal) continue;
      ASSERT_EQ(by_sire[sire].second, chain_length - cc.nburn) << sire;
      EXPECT_NEAR(mean, by_sire[sire].first / by_sire[sire].second, 2e-6) << "sire " << sire;
      ++checked;
    }
    EXPECT_GE(checked, 2);
  }
}

// Every file of the folder but the child's output, by name.
std::map<std::string, std::string> folder_files() {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::directory_iterator("."))
    if (e.path().filename() != "child.out") m[e.path().filename().string()] = read_file(e.path());
  return m;
}

void replace_text(const std::string& file, const std::string& from, const std::string& to) {
  std::string t = read_file(file);
  const std::size_t at = t.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  t.replace(at, from.size(), to);
  std::ofstream(file, std::ios::binary) << t;
}

// A restart under another model, or from a damaged "chain_state", is
// refused before anything is read or cut, naming the setting or the line;
// the names of the files may change.
TEST_F(StoreFault, AnotherModelOrADamagedChainStateIsRefusedAndNothingChanges) {
  if (simulator_path().empty()) GTEST_SKIP() << "the simulator is not built";
  const fs::path top = fs::current_path();
  const Process sim = run_simulator(top, "--traits 2 --records 80 --animals 100 --levels 4 --candidates 0.5 "
                                         "--nround 120 --nburn 20 --skip 1 --seed 3 --out chain");
  ASSERT_EQ(sim.status, 0) << sim.err;
  fs::current_path(top / "chain");
  set_word("params.txt", "MULTIPLE_SIRES:", 4, "1");
  ASSERT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  set_keyword_value("params.txt", "RESTART:", "y 121");
  set_word("params.txt", "MCMC_CHAIN:", 1, "150");
  const std::map<std::string, std::string> before = folder_files();
  const std::vector<std::string> state = lines_of(before.at("chain_state"));
  std::size_t sire = 0;  // the first sire line, from 0
  while (sire < state.size() && state[sire].rfind("sire ", 0) != 0) ++sire;
  ASSERT_LT(sire + 1, state.size());
  std::istringstream first(state[sire]), second(state[sire + 1]);
  std::string w;
  int e = 0, an = 0, an2 = 0;
  first >> w >> e >> an;
  second >> w >> e >> an2;
  const std::string keeps = " ; a continued chain keeps its model";
  const std::string in = " restart refused: \"chain_state\" line ";
  struct Case {
    std::string file, from, to, message;
  };
  const Case cases[] = {
      {"params.txt", "SEED\n3\n", "SEED\n4\n",
       "the parameter file gives SEED \"4\" but the chain in \"chain_state\" has \"3\"" + keeps},
      {"params.txt", "add_an_ms 0", "add_an_ms 10",
       "the parameter file gives RANDOM_TYPE of effect 3 \"add_an_ms 10\" but the chain in \"chain_state\" has "
       "\"add_an_ms 0\"" + keeps},
      {"params.txt", "2 0.3464101615\n0.3464101615 1.5", "2 0\n0 1.5",
       "the parameter file gives RESIDUAL_PRIOR_(CO)VARIANCES row 1 \"2 0\" but the chain in \"chain_state\" has "
       "\"2 0.3464101615\"" + keeps},
      {"params.txt", "homogeneous 0", "homogeneous 5",
       "the parameter file gives RANDOM_RESIDUAL: \"homogeneous 5\" but the chain in \"chain_state\" has "
       "\"homogeneous 0\"" + keeps},
      {"params.txt", "3 3 4 cross n", "3 3 4 cross y",
       "the parameter file gives EFFECTS: effect 1 \"3 3 4 cro y\" but the chain in \"chain_state\" has "
       "\"3 3 4 cro n\"" + keeps},
      {"chain_state", "model SEED = 3\n", "",
       "the parameter file gives SEED \"3\" where the chain in \"chain_state\" has DATAFILE records \"80\"" + keeps},
      {"chain_state", "cycle 120", "cycle 119",
       " restart at cycle 121 needs the results of cycle 120 but \"chain_state\" holds those of cycle 119"},
      {"chain_state", state[1], "stream 1 0 0 n 5", in + "2 gives a state \"stream 1 0 0 n 5\" that the random stream cannot be in"},
      {"chain_state", state[sire], "sire " + std::to_string(e) + " " + std::to_string(an) + " 99999",
       in + std::to_string(sire + 1) + " gives sire 99999 to animal " + std::to_string(an) + " of effect " +
           std::to_string(e) + " : not its pedigree's sire or one of its candidates"},
      {"chain_state", state[sire] + "\n", "",
       in + std::to_string(sire + 1) + " is for effect " + std::to_string(e) + " animal " + std::to_string(an2) +
           " where the model has effect " + std::to_string(e) + " animal " + std::to_string(an)},
      {"store_record", " result chain_state\n", "",
       "the store of cycle 120 has no \"chain_state\" with the random stream and the model of the chain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    replace_text(c.file, c.from, c.to);
    EXPECT_EQ(run_child("params.txt", Probe{}), 1);
    EXPECT_NE(read_file("child.out").find(c.message), std::string::npos) << read_file("child.out");
    std::ofstream(c.file, std::ios::binary) << before.at(c.file);
    const std::map<std::string, std::string> now = folder_files();
    for (const auto& [name, text] : before) EXPECT_EQ(now.count(name) ? now.at(name) : "(gone)", text) << name;
    EXPECT_EQ(now.size(), before.size());
  }
  // Files moved: the chain goes on.
  fs::rename("data.txt", "data2.txt");
  fs::rename("pedigree.txt", "ped2.txt");
  replace_text("params.txt", "data.txt 80", "data2.txt 80");
  replace_text("params.txt", "pedigree.txt 100", "ped2.txt 100");
  EXPECT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), 150u);
}

const fs::path par = "params.txt";
// Structural residuals on an unknown covariable (random: a shape) and on the
// reaction norm (whose covariates are drawn by Metropolis-Hastings).
void structural_rnorm() {
  set_keyword_value(par, "RANDOM_RESIDUAL:",
                    "structural 0\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n2 5\n"
                    "NUMBER_OF_STRUCTURAL_EFFECTS\n2\nSTRUCTURAL_EFFECTS:\n2 y\n3 y");
}

INSTANTIATE_TEST_SUITE_P(
    EveryModelClass, ContinuedChain,
    testing::Values(
        ChainCase{"ordinary", "--traits 2 --records 60 --animals 80 --levels 4 --missing 0.2 --weights", 50, 3},
        ChainCase{"candidates", "--records 80 --animals 100 --levels 4 --candidates 0.5", 50, 1,
                  [] { set_word("params.txt", "MULTIPLE_SIRES:", 4, "1"); }},
        ChainCase{"reduced", "--records 80 --levels 4 --reduced --candidates 0.5", 50, 1,
                  [] { set_word("params.txt", "MULTIPLE_SIRES:", 4, "1"); }},
        ChainCase{"breeds", "--records 80 --animals 100 --levels 4 --breeds 1,2,0.3 --unknown 0", 240, 3},
        ChainCase{"structural", "--records 80 --animals 100 --levels 4 --structural 3", 240, 1,
                  [] {
                    set_keyword_value(par, "NUMBER_OF_STRUCTURAL_EFFECTS", "2");
                    set_keyword_value(par, "STRUCTURAL_EFFECTS:", "1 y\n2 y");
                  }},
        ChainCase{"student_t", "--records 80 --animals 100 --levels 4 --student-t 5", 240, 1},
        ChainCase{"slash", "--records 80 --animals 100 --levels 4 --student-t 5", 240, 1,
                  [] { set_keyword_value(par, "RANDOM_RESIDUAL:", "slash 0"); }},
        ChainCase{"reaction_norm", "--rnorm 4,3 --records 80", 240, 2, structural_rnorm}),
    [](const testing::TestParamInfo<ChainCase>& i) { return std::string(i.param.name); });

}  // namespace
