// Chains killed, stopped and failed at many moments, then restarted.  A kill
// while writing sample lines or at any step of a store: the restart must run
// to the end, every sample file must hold each cycle once and in order, and
// the means in "varcomp" must be those of the kept lines of "varcompsam".
// Chains of every model class continued at stores draw the random numbers of
// the unbroken chain.  A restart that must be refused (a damaged record or
// value, another model) changes nothing; a store that fails leaves nothing,
// or what the restart the manual gives finishes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
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
#include <thread>
#include <vector>

#include "chain_support.hpp"
#include "model/model.hpp"
#include "random/rangen.hpp"
#include "run/cycle.hpp"
#include "run/results/store_record.hpp"
#include "sampler/setup_eq.hpp"
#include "util/checksum.hpp"
#include "util/disk_queue.hpp"
#include "util/textio.hpp"

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

// A step of a store that fails: the nth time (from 1) a step of this kind
// ("fsync", "rename", "folder") runs on this path, it fails with err, or
// the process dies there when err is 0.
struct Fault {
  const char* step = nullptr;
  const char* path = nullptr;
  int nth = 1;
  int err = EIO;
};

// What the child does at each output step: count, log, or die there.
// Stores are put on disk by a thread of their own: steps of both threads count.
struct Probe {
  std::atomic<long> count = 0;
  long kill_at = -1;    // index of the step to die at; -1 never
  bool flush = false;   // the lines written so far reach the files first
  bool partial = false; // and a piece of a line follows them in a sample file
  FILE* log = nullptr;  // every step's path, one a line
  Fault fault;
  std::atomic<int> seen = 0;  // steps of the fault's kind and path so far
  long long file_limit = -1;  // bytes a file may grow to; -1 no limit
  bool lose_lock = false;     // the folder's lock is removed as the fault strikes
};
Probe probe;

int on_fault(const char* step, const char* path) {
  Probe& p = probe;
  if (std::strcmp(step, p.fault.step) != 0 || std::strcmp(path, p.fault.path) != 0) return 0;
  if (++p.seen != p.fault.nth) return 0;
  if (p.lose_lock) ::unlink("chain_lock");
  if (p.fault.err == 0) ::raise(SIGKILL);
  return p.fault.err;
}

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

// Runs the program in a child on parameter file par, after prepare() there,
// its output in "child.out".
int in_child(const std::string& par, const std::function<void()>& prepare, run::CycleTimes* times = nullptr) {
  return program_in_child(par, "child.out", prepare, times);
}

// Sets the child up to be probed as how says (its steps logged into
// log_file).
void arm(const Probe& how, const char* log_file) {
  probe.count = 0;
  probe.kill_at = how.kill_at;
  probe.flush = how.flush;
  probe.partial = how.partial;
  probe.fault = how.fault;
  probe.lose_lock = how.lose_lock;
  probe.seen = 0;
  if (log_file) probe.log = std::fopen(log_file, "w");
  util::io_probe = on_output;
  util::io_fault = how.fault.step ? on_fault : nullptr;
  if (how.file_limit >= 0) {
    struct rlimit lim;
    ::getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = static_cast<rlim_t>(how.file_limit);
    ::setrlimit(RLIMIT_FSIZE, &lim);
    ::signal(SIGXFSZ, SIG_DFL);  // the program must set it aside itself
  }
}

// The program in a child, probed as how says.
int run_child(const std::string& par, const Probe& how, const char* log_file = nullptr) {
  return in_child(par, [&] { arm(how, log_file); });
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

// The cycle on the first line of a store record, 0 when there is none.
int record_cycle(const char* name) {
  std::ifstream in(name);
  std::string key;
  int c = 0;
  return in >> key >> c && key == "cycle" ? c : 0;
}

// The cycle of the store that a restart finds (a made store not yet
// finished counts), or 0 when there is none.
int stored_cycle() {
  if (const int c = record_cycle(run::record::pending)) return c;
  return record_cycle(run::record::file);
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

// Mean of column `value` (from 0) over the kept entries of a sample file.
double kept_mean(const std::vector<std::vector<double>>& entries, std::size_t value, int nburn) {
  double sum = 0;
  for (std::size_t c = static_cast<std::size_t>(nburn); c < entries.size(); ++c)
    sum += entries[c][value];
  return sum / static_cast<double>(entries.size() - static_cast<std::size_t>(nburn));
}

// Sample files that hold each of cycles 1 to n once and in order, and means
// in "varcomp" that are those of the kept lines of "varcompsam" (per_entry
// values an entry, the first of them g11 and, at index r, r11), to the four
// decimals of the file, from which the restarts take their sums.
void expect_whole_chain(int n, int burn, std::size_t per_entry, std::size_t r) {
  const auto vs = cycles_of("varcompsam", static_cast<int>(per_entry));
  ASSERT_EQ(vs.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), static_cast<std::size_t>(n));
  if (fs::exists("solutionsam")) {
    const std::size_t lines =
        lines_of(read_file("solutionsam")).size() / static_cast<std::size_t>(n) - 1;
    EXPECT_EQ(cycles_of("solutionsam", static_cast<int>(lines)).size(),
              static_cast<std::size_t>(n));
  }
  EXPECT_NEAR(value_after("varcomp", "Average variance components (G)"), kept_mean(vs, 0, burn),
              1.5e-4);
  EXPECT_NEAR(value_after("varcomp", "Average residuals (R)"), kept_mean(vs, r, burn), 1.5e-4);
}

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
      EXPECT_NE(read_file("child.out").find(" restart at cycle 101 : \"store_record\" is missing, so the sample "
                                            "files cannot be matched to the result files: no store was made"),
                std::string::npos)
          << read_file("child.out");
      continue;
    }
    std::ofstream("restart.par") << parameters("y " + std::to_string(stored + 1));
    ASSERT_EQ(run_child("restart.par", Probe{}), 0) << read_file("child.out");

    for (const auto& e : fs::directory_iterator(".")) {
      const std::string n = e.path().filename().string();
      EXPECT_FALSE(n.ends_with(".tmp") || n.ends_with(".new")) << n;
    }
    expect_whole_chain(nround, nburn, 2, 1);
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
  // The folder's lock stays, empty: harmless, and taken again by the next run.
  EXPECT_EQ(left, (std::set<std::string>{"chain_lock", "child.out", "d.txt", "p.par"}));
  EXPECT_EQ(fs::file_size("chain_lock"), 0u);
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
  int round = -1, taken = 0;
};
StreamLog stream_log;

// The generator's own next uniform, stepped here: the draw that calls the
// hook has counted it already, and a restart checks the count.
float generators_uniform() {
  rangen::Stream s = rangen::stream();
  s.seed1 = static_cast<rangen::i32>(std::int64_t{40014} * s.seed1 % 2147483563);
  s.seed2 = static_cast<rangen::i32>(std::int64_t{40692} * s.seed2 % 2147483399);
  rangen::set_stream(s);
  rangen::i32 z = s.seed1 - s.seed2;
  if (z < 1) z += 2147483562;
  return static_cast<float>(z) * 4.656613e-10f;
}

float logged_uniform() {
  StreamLog& l = stream_log;
  const float u = generators_uniform();
  if (model::m.round != l.round) {
    l.round = model::m.round;
    l.taken = 0;
  }
  if (l.taken++ < 12) std::fprintf(l.f, "u %d %.9g\n", l.round, static_cast<double>(u));
  return u;
}

void after_cycle(const model::State&, const run::CycleTimes&, void*) {
  StreamLog& l = stream_log;
  const rangen::Stream s = rangen::stream();
  std::fprintf(l.f, "end %d %d %d %llu\n", model::m.round, s.seed1, s.seed2,
               static_cast<unsigned long long>(s.draws));
  std::fflush(l.f);
  if (model::m.round == l.kill_after) {
    // A periodic store ends on the disk thread while cycles go on; the
    // cases kill after the last store has ended, however slow the disk.
    util::disk::wait();
    ::raise(SIGKILL);
  }
}

// Runs the program in a child on parameter file par, probed as how says,
// with the stream logged into log; its exit status, or -signal.
int run_logged(const std::string& par, int kill_after, const std::string& log,
               const Probe& how = Probe{}) {
  static run::CycleTimes times;
  times.after_cycle = after_cycle;
  return in_child(
      par,
      [&] {
        arm(how, nullptr);
        stream_log = StreamLog{std::fopen(log.c_str(), "w"), kill_after};
        rangen::set_uniform_hook(logged_uniform);
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

// Every acceptance rate in "mh_acceptance" (as the store left it, within
// burn-in as after it) lies in [0, 1]: the first value after a label, or
// each level's rate after the covariates' proposal variance.
void expect_rates() {
  if (!fs::exists("mh_acceptance")) return;
  bool covariates = false, variance = false;
  for (const std::string& l : lines_of(read_file("mh_acceptance"))) {
    if (l.find("Acceptance") != std::string::npos) {
      covariates = variance = l.find("covariates") != std::string::npos;
      continue;
    }
    std::istringstream in(l);
    double a = 0, b = 0;
    ASSERT_TRUE(in >> a) << l;
    if (variance) {
      variance = false;
      continue;
    }
    if (covariates) {
      ASSERT_TRUE(in >> b) << l;
    }
    const double rate = covariates ? b : a;
    EXPECT_TRUE(rate >= 0 && rate <= 1) << l;
  }
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
  expect_rates();
  set_keyword_value("params.txt", "RESTART:", "y 101");
  // The store's results are in place, its record not yet: a restart
  // finishes it.
  Probe in_store;
  in_store.fault = Fault{"rename", run::record::pending, 1, 0};
  ASSERT_EQ(run_logged("params.txt", 0, "log2", in_store), -SIGKILL) << read_file("child.out");
  ASSERT_EQ(stored_cycle(), 200);
  expect_rates();
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
  // those of the unbroken chain; tuning lines come once each.
  const std::string w = (top / "whole").string() + "/";
  const std::size_t per_cycle = lines_of(read_file(w + "varcompsam")).size() / chain_length - 1;
  expect_whole_chain(chain_length, cc.nburn, per_cycle, cc.r_index);
  if (fs::exists(w + "mh_dbeliefchg")) {
    EXPECT_EQ(lines_of(read_file("mh_dbeliefchg")).size(), lines_of(read_file(w + "mh_dbeliefchg")).size());
  }

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
        ChainCase{"ordinary",
                  "--traits 2 --records 60 --animals 80 --levels 4 --missing 0.2 --weights", 50, 3},
        // Direct and maternal effects, the maternal one absent for trait 2:
        // the 6 elements of the present rows, then R.
        ChainCase{"absent_effect", "--traits 2 --records 60 --animals 80 --levels 4 --maternal --absent 4", 50, 6},
        ChainCase{"candidates", "--records 80 --animals 100 --levels 4 --candidates 0.5", 50, 1,
                  [] { set_word("params.txt", "MULTIPLE_SIRES:", 4, "1"); }},
        ChainCase{"reduced", "--records 80 --levels 4 --reduced --candidates 0.5", 50, 1,
                  [] { set_word("params.txt", "MULTIPLE_SIRES:", 4, "1"); }},
        ChainCase{"breeds", "--records 80 --animals 100 --levels 4 --breeds 1,2,0.3 --unknown 0",
                  240, 3},
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

// ---------------------------------------------------------------------------
// Restarts that are refused, and stores that fail.

// Two traits, a saved fixed effect, a random effect with a full 2 by 2 G, and
// an R whose covariance is 0 from the start.
std::string two_traits(const std::string& chain, const std::string& restart) {
  return "MCMC_CHAIN:\n" + chain + "\nSEED\n11\nRESTART:\n" + restart +
         "\nDATAFILE\nd2.txt 40\nNUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1 "
         "2\nWEIGHT(S)\n\n"
         "EFFECTS:\n3 3 3 cross y\n4 4 4 cross n\nRANDOM_RESIDUAL:\nhomogeneous 5\n"
         "RESIDUAL_PRIOR_(CO)VARIANCES\n1 0\n0 1\nRANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal "
         "5\nPEDIGREEFILE:\nnone 0\n"
         "(CO)VARIANCES\n0.5 0.1\n0.1 0.5\n";
}

// One trait, structural Student-t residuals: a random cross-classified
// structural effect (factors and a shape) and a covariable one (a factor and
// a degrees-of-belief proposal).
std::string robust(const std::string& chain, const std::string& restart) {
  return "MCMC_CHAIN:\n" + chain + "\nSEED\n5\nRESTART:\n" + restart +
         "\nDATAFILE\nd1.txt "
         "60\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n3\nOBSERVATION(S)\n1\nWEIGHT(S)\n\n"
         "EFFECTS:\n2 3 cross n\n3 4 cross n\n4 1 cov n\nRANDOM_RESIDUAL:\nstruct_student_t 5\n"
         "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 "
         "10\nNUMBER_OF_STRUCTURAL_EFFECTS\n2\nSTRUCTURAL_EFFECTS:\n"
         "2 y\n3 n\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\nRANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal "
         "4\nPEDIGREEFILE:\n"
         "none 0\n(CO)VARIANCES\n0.5\n";
}

void write_chain_data() {
  std::ofstream d2("d2.txt");
  for (int i = 0; i < 40; ++i) {
    const int l1 = i % 3 + 1, l2 = (i * 5) % 4 + 1;
    d2 << 2 + 0.5 * l1 - 0.25 * l2 + ((i * 13) % 7 - 3) * 0.3 << " "
       << 1 + 0.3 * l1 + ((i * 11) % 5 - 2) * 0.4 << " " << l1 << " " << l2 << "\n";
  }
  std::ofstream d1("d1.txt");
  for (int i = 0; i < 60; ++i) {
    const int l1 = i % 3 + 1, l2 = (i * 7) % 4 + 1;
    const double x = (i % 10) / 10.0;
    d1 << 2 + 0.5 * l1 - 0.25 * l2 + 0.7 * x + ((i * 13) % 9 - 4) * 0.3 * (1 + l2 / 4.0) << " "
       << l1 << " " << l2 << " " << x << "\n";
  }
}

// Every file of the folder but the child's output, by name.
std::map<std::string, std::string> folder_files() {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::directory_iterator(".")) {
    const std::string n = e.path().filename().string();
    if (n != "child.out" && e.is_regular_file()) m[n] = read_file(n);
  }
  return m;
}

bool leftovers() {
  for (const auto& e : fs::directory_iterator(".")) {
    const std::string n = e.path().filename().string();
    if (n.ends_with(".tmp") || n.ends_with(".new")) return true;
  }
  return false;
}

// Line n (from 1) of text replaced, or dropped when line is null.
std::string with_line(const std::string& text, std::size_t n, const char* line) {
  std::vector<std::string> v = lines_of(text);
  std::string out;
  for (std::size_t k = 0; k < v.size(); ++k)
    if (k + 1 != n)
      out += v[k] + "\n";
    else if (line)
      out += std::string(line) + "\n";
  return out;
}
// Field f (from 1) of line n replaced.
std::string with_field(const std::string& text, std::size_t n, std::size_t f,
                       const std::string& value) {
  std::istringstream in(lines_of(text).at(n - 1));
  std::string line, w;
  for (std::size_t k = 1; in >> w; ++k) line += " " + (k == f ? value : w);
  return with_line(text, n, line.c_str());
}
// The record with the length of a sample file changed (its checksum kept).
std::string with_length(const std::string& record, const std::string& file, long long length) {
  std::string out;
  for (const std::string& l : lines_of(record)) {
    std::istringstream in(l);
    std::string key, name, bytes, sum;
    in >> key >> name >> bytes >> sum;
    out += (key == "sample" && name == file ? "sample " + file + " " + std::to_string(length) + " " + sum : l) + "\n";
  }
  return out;
}
// Bytes of text up to the end of its line n (from 1).
long long through_line(const std::string& text, std::size_t n) {
  std::size_t at = 0;
  for (std::size_t k = 0; k < n; ++k) at = text.find('\n', at) + 1;
  return static_cast<long long>(at);
}

struct Corruption {
  const char* what;
  const char* file;
  std::function<std::string(const std::string&)> edit;
  std::string message;
};

// Each corruption of the stored files is refused with its message, exit
// status 1 and no file changed; the files as stored are then taken.
void expect_refused(const std::string& restart_par, const std::vector<Corruption>& cases) {
  const auto stored = folder_files();
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(c.file, std::ios::binary) << c.edit(stored.at(c.file));
    const auto before = folder_files();
    EXPECT_EQ(run_child(restart_par, Probe{}), 1);
    const std::string out = read_file("child.out");
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_TRUE(folder_files() == before);
    std::ofstream(c.file, std::ios::binary) << stored.at(c.file);
  }
  EXPECT_EQ(run_child(restart_par, Probe{}), 0) << read_file("child.out");
  EXPECT_FALSE(leftovers());
}

// The text with its first `from` replaced by `to`.
std::function<std::string(const std::string&)> swapped(const std::string& from,
                                                       const std::string& to) {
  return [=](const std::string& x) {
    std::string t = x;
    const std::size_t at = t.find(from);
    if (at == std::string::npos) {
      ADD_FAILURE() << "no \"" << from << "\"";
      return t;
    }
    return t.replace(at, from.size(), to);
  };
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
  // Files moved: the chain goes on once every refusal is lifted.
  fs::rename("data.txt", "data2.txt");
  fs::rename("pedigree.txt", "ped2.txt");
  std::ofstream("params.txt.new") << swapped("pedigree.txt 100", "ped2.txt 100")(
      swapped("data.txt 80", "data2.txt 80")(read_file("params.txt")));
  fs::rename("params.txt.new", "params.txt");

  const std::vector<std::string> state = lines_of(read_file("chain_state"));
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
  expect_refused(
      "params.txt",
      {
          {"another seed", "params.txt", swapped("SEED\n3\n", "SEED\n4\n"),
           "the parameter file gives SEED \"4\" but the chain in \"chain_state\" has \"3\"" +
               keeps},
          {"another prior", "params.txt", swapped("add_an_ms 0", "add_an_ms 10"),
           "the parameter file gives RANDOM_TYPE of effect 3 \"add_an_ms 10\" but the chain in "
           "\"chain_state\" has "
           "\"add_an_ms 0\"" +
               keeps},
          {"another zero pattern", "params.txt",
           swapped("2 0.3464101615\n0.3464101615 1.5", "2 0\n0 1.5"),
           "the parameter file gives RESIDUAL_PRIOR_(CO)VARIANCES row 1 \"2 0\" but the chain in "
           "\"chain_state\" "
           "has \"2 0.3464101615\"" +
               keeps},
          {"another residual prior", "params.txt", swapped("homogeneous 0", "homogeneous 5"),
           "the parameter file gives RANDOM_RESIDUAL: \"homogeneous 5\" but the chain in "
           "\"chain_state\" has "
           "\"homogeneous 0\"" +
               keeps},
          {"another save column", "params.txt", swapped("3 3 4 cross n", "3 3 4 cross y"),
           "the parameter file gives EFFECTS: effect 1 \"3 3 4 cro y\" but the chain in "
           "\"chain_state\" has "
           "\"3 3 4 cro n\"" +
               keeps},
          {"a setting missing", "chain_state", swapped("model SEED = 3\n", ""),
           "the parameter file gives SEED \"3\" where the chain in \"chain_state\" has DATAFILE "
           "records \"80\"" +
               keeps},
          {"another cycle", "chain_state", swapped("cycle 120", "cycle 119"),
           " restart at cycle 121 needs the results of cycle 120 but \"chain_state\" holds those "
           "of cycle 119"},
          {"an impossible stream", "chain_state", swapped(state[1], "stream 1 0 0 n 5"),
           in + "2 gives a state \"stream 1 0 0 n 5\" that the random stream cannot be in"},
          // Seeds and count no longer agree: the count must be the chain's.
          {"a count of uniforms the seeds do not follow", "chain_state",
           swapped(state[1], state[1].substr(0, state[1].rfind(' ')) + " 4295001460"),
           in + "2 gives a state \"" + state[1].substr(0, state[1].rfind(' ')) +
               " 4295001460\" that SEED 3 does not reach in the 4295001460 uniforms it counts"},
          {"seeds one step on", "chain_state",
           swapped(state[1], state[1].substr(0, state[1].rfind(' ') + 1) +
                                 std::to_string(std::stoull(state[1].substr(state[1].rfind(' ') + 1)) - 1)),
           "that SEED 3 does not reach in the"},
          {"a sire not a candidate", "chain_state",
           swapped(state[sire], "sire " + std::to_string(e) + " " + std::to_string(an) + " 99999"),
           in + std::to_string(sire + 1) + " gives sire 99999 to animal " + std::to_string(an) +
               " of effect " + std::to_string(e) +
               " : not its pedigree's sire or one of its candidates"},
          {"a sire missing", "chain_state", swapped(state[sire] + "\n", ""),
           in + std::to_string(sire + 1) + " is for effect " + std::to_string(e) + " animal " +
               std::to_string(an2) + " where the model has effect " + std::to_string(e) +
               " animal " + std::to_string(an)},
          {"a store of an earlier version", "store_record",
           [](const std::string& r) {
             std::string out;
             for (const std::string& l : lines_of(r))
               if (!l.starts_with("result chain_state")) out += l + "\n";
             return out;
           },
           "the store of cycle 120 in \"store_record\" has no \"chain_state\" with the random "
           "stream and the "
           "model of the chain"},
      });
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), 150u);
}

TEST_F(StoreFault, ACorruptedRecordOrValueIsRefusedAndChangesNothing) {
  write_chain_data();
  // Two traits: G 2 by 2, R with a covariance held at 0; entries of 6 lines.
  std::ofstream("a.par") << two_traits("100 20 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("ra.par") << two_traits("150 20 1", "y 101");
  const std::string record = read_file("store_record"), vs = read_file("varcompsam"),
                    lr = read_file("loglike_rnd");
  auto line = [](std::size_t n, const char* l) {
    return [=](const std::string& x) { return with_line(x, n, l); };
  };
  auto field = [](std::size_t n, std::size_t f, const char* v) {
    return [=](const std::string& x) { return with_field(x, n, f, v); };
  };
  auto length = [](const char* f, long long n) {
    return [=](const std::string& x) { return with_length(x, f, n); };
  };
  const std::string no_line = " restart refused: \"store_record\" line ";
  expect_refused(
      "ra.par",
      {
          // The store record.
          {"a record ending in a cut of varcompsam", "store_record",
           [](const std::string& r) {
             return with_line(with_length(r, "varcompsam", 18), 9, nullptr);
           },
           "gives \"varcompsam\" a length of 18 bytes, which is not at the end of a line of it"},
          {"a length shorter than the real one", "store_record", length("loglike_rnd", 200),
           no_line + "9 gives \"loglike_rnd\" a length of 200 bytes, which is not at the end of a "
                     "line of it"},
          {"a length one cycle short", "store_record", length("loglike_rnd", through_line(lr, 99)),
           "which does not end the entry of cycle 100 (1 line): that entry would begin with \"99 "},
          {"a length inside the last entry", "store_record",
           length("varcompsam", through_line(vs, 598)),
           "which does not end the entry of cycle 100 (6 lines): that entry would begin with \""},
          {"a result line removed", "store_record", line(5, nullptr),
           "restart at cycle 101 : the store of cycle 100 in \"store_record\" has no result file "
           "\"varcomp\": the record was cut or changed after the store; put back the file of that store"},
          {"a result line repeated", "store_record", line(5, " result solutions"),
           "\"store_record\" line 5 names the result file \"solutions\" a second time"},
          {"no burn-in line", "store_record", line(2, nullptr),
           "\"store_record\" names no burn-in"},
          {"a record cut inside its last line", "store_record",
           [](const std::string& r) { return r.substr(0, r.size() - 10); },
           "cannot be read: the store it records is unknown: the record was cut or changed after the store; put "
           "back the file of that store, or start the chain afresh (RESTART: n)"},
          // Cut at the end of a line: what the store wrote after it is missing.
          {"a record cut before its sample lines", "store_record",
           [](const std::string& r) { return r.substr(0, r.find("\nsample ") + 1); },
           "has no sample file \"varcompsam\": the record was cut or changed after the store; put back the file "
           "of that store, or start the chain afresh (RESTART: n)"},
          {"a record cut before its chain_state line", "store_record",
           [](const std::string& r) { return r.substr(0, r.find("\nresult chain_state") + 1); },
           "has no \"chain_state\" with the random stream and the model of the chain: the record was cut or "
           "changed after the store; put back the file of that store"},
          {"no thinning line", "store_record", line(3, nullptr),
           "\"store_record\" names no thinning interval"},
          {"a second cycle line", "store_record", line(3, " cycle 100"),
           "\"store_record\" line 3 repeats the \"cycle\" line"},
          // Values of the result files.
          {"a mean too large to use", "solutions", field(3, 4, "1e308"),
           " restart refused: \"solutions\" line 3 holds 1e+308, too large a number to use (above "
           "1e+35 in size)"},
          {"a repeat count", "solutions", line(3, "  1  1       1  1.5348 2*0.7235"),
           " restart refused: \"solutions\" line 3 holds \"2*0.7235\", a repeat count"},
          {"a repeat count over the line", "solutions", line(3, "  1  1       1  401*0.0754"),
           " restart refused: \"solutions\" line 3 holds \"401*0.0754\", a repeat count"},
          {"a standard deviation below 0", "solutions", field(4, 5, "-0.5"),
           " restart refused: \"solutions\" line 4 holds a standard deviation of -0.5, below 0"},
          {"a last G not symmetric", "varcomp",
           [](const std::string& x) {
             return with_line(with_line(x, 9, "      0.5000      0.2000"), 10,
                              "      0.1000      0.6000");
           },
           " restart refused: \"varcomp\" line 10 holds the last sample of G for effect 2 that is "
           "not symmetric: row "
           "2 column 1 is 0.1 but row 1 column 2 is 0.2"},
          {"a last G not positive definite", "varcomp",
           [](const std::string& x) {
             return with_line(with_line(x, 9, "      1.0000      2.0000"), 10,
                              "      2.0000      1.0000");
           },
           " restart refused: \"varcomp\" line 10 holds the last sample of G for effect 2 that is "
           "not positive "
           "definite (pivot of row 2: -3)"},
          {"a covariance where R starts at 0", "varcomp",
           [](const std::string& x) {
             return with_line(with_line(x, 18, "      1.0000      0.3000"), 19,
                              "      0.3000      1.0000");
           },
           " restart refused: \"varcomp\" line 18 holds 0.3 in row 1 column 2 of the last sample "
           "of R, where the "
           "starting matrix has 0"},
          {"a negative sd of G", "varcomp", field(6, 1, "-0.0100"),
           " restart refused: \"varcomp\" line 6 holds a standard deviation of -0.01, below 0"},
          {"a word after the columns", "loglike_obs", field(5, 5, "abc"),
           " restart refused: \"loglike_obs\" line 5 cannot be read as the model's values (error reading "
           "loglike_obs at record: 3): the file was changed after the store; put back the file that the store of "
           "cycle 100 wrote"},
          {"a column too many", "loglike_obs",
           [](const std::string& x) { return with_line(x, 5, (lines_of(x)[4] + " 0.5").c_str()); },
           " restart refused: \"loglike_obs\" line 5 holds more values than the model gives "
           "(\"0.5\")"},
          {"a column too few", "loglike_obs",
           [](const std::string& x) { return with_field(x, 5, 6, ""); },
           " restart refused: \"loglike_obs\" line 5 holds fewer values than the model gives"},
          {"an ordinate of 0", "loglike_obs", field(5, 2, "0.0"),
           " restart refused: \"loglike_obs\" line 5 holds a conditional predictive ordinate of 0"},
          {"a title of another file", "solutions",
           line(1, " Solutions after:  100  rounds and burn-in of  20"),
           " restart refused: \"solutions\" line 1 is \"Solutions after: 100 rounds and burn-in of "
           "20\" where the "
           "model has \"Solution after: 100 rounds and burn-in of 20\""},
          {"a title of another burn-in", "varcomp",
           line(1, " Variance components after:  100  rounds and burn-in of  30"),
           "line 1 is \"Variance components after: 100 rounds and burn-in of 30\" where the model "
           "has"},
      });
  expect_whole_chain(150, 20, 5, 3);

  // One trait with structural Student-t residuals.
  for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
  write_chain_data();
  std::ofstream("b.par") << robust("100 40 1", "n");
  ASSERT_EQ(run_child("b.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("rb.par") << robust("150 40 1", "y 101");
  const std::string refused = " restart refused: ";
  expect_refused(
      "rb.par",
      {
          {"a weight of -1", "robustness_w", field(4, 5, "-1.000000"),
           refused + "\"robustness_w\" line 4 holds a last weight of -1, not above 0"},
          {"a shape below 0", "robustness_w", field(3, 5, "-2.000000"),
           refused + "\"robustness_w\" line 3 holds a last shape alpha of -2, not above 0"},
          {"a factor of 1e39", "structural_r", field(5, 6, "1e39"),
           refused + "\"structural_r\" line 5 holds 1e+39, too large a number to use"},
          {"a factor below 0", "structural_r", field(8, 6, "-0.5"),
           refused + "\"structural_r\" line 8 holds a last factor of -0.5, not above 0"},
          {"a structural shape of 0.9", "structural_r", field(3, 6, "0.9"),
           refused + "\"structural_r\" line 3 holds a last shape alpha of 0.9, not above 1"},
          {"a rate of 1e308", "mh_acceptance", field(2, 1, "1e308"),
           refused + "\"mh_acceptance\" line 2 holds 1e+308, too large a number to use"},
          {"a rate of 1.5", "mh_acceptance", field(6, 1, "1.5"),
           refused + "\"mh_acceptance\" line 6 holds an acceptance rate of 1.5, outside 0 to 1"},
          {"a proposal variance of 16777216", "mh_acceptance", field(2, 2, "16777216"),
           refused + "\"mh_acceptance\" line 2 holds a proposal variance of 16777216, outside the"},
          {"a proposal variance of 1e39", "mh_acceptance", field(6, 2, "1e39"),
           refused + "\"mh_acceptance\" line 6 holds 1e+39, too large a number to use"},
          {"degrees of belief tuning cannot reach", "mh_acceptance", field(4, 2, "5"),
           refused + "\"mh_acceptance\" line 4 holds proposal degrees of belief of 5, outside the"},
      });
}

// A kill after a store is made ("store_record.new" in place) and before its
// renames, then the manual's procedure: the cycle of "store_record" is
// refused, naming the cycle to give and changing nothing; the first line of
// "store_record.new" gives the restart cycle, and the chain runs on whole.
TEST_F(StoreFault, AKillBeforeTheRenamesAndTheManualsProcedure) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  Probe how;
  how.fault = Fault{"rename", "solutions.tmp", 2, 0};  // the store of cycle 200
  ASSERT_EQ(run_child("a.par", how), -SIGKILL);
  ASSERT_TRUE(fs::exists(run::record::pending));
  EXPECT_EQ(record_cycle(run::record::file), 100);

  // The first line of "store_record", as an earlier manual had it.
  std::ofstream("r.par") << two_traits("300 20 1", "y 101");
  const auto before = folder_files();
  EXPECT_EQ(run_child("r.par", Probe{}), 1);
  EXPECT_NE(read_file("child.out")
                .find(" restart at cycle 101 needs the results of cycle 100 but "
                      "\"store_record.new\" holds those of cycle 200 ; the chain continues at "
                      "cycle 201"),
            std::string::npos)
      << read_file("child.out");
  EXPECT_TRUE(folder_files() == before);

  // Step 1 of the manual: "store_record.new" when it is there.
  const int cycle =
      record_cycle(fs::exists(run::record::pending) ? run::record::pending : run::record::file);
  ASSERT_EQ(cycle, 200);
  std::ofstream("r.par") << two_traits("300 20 1", "y " + std::to_string(cycle + 1));
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  EXPECT_FALSE(leftovers());
  EXPECT_EQ(record_cycle(run::record::file), 300);
  expect_whole_chain(300, 20, 5, 3);
}

// A store whose file cannot be put on disk or renamed, or whose folder
// cannot be synced: the run stops with the file's message and status 1.
// Before the store is made nothing of it is left; after it, the record
// "store_record.new" and the temporaries not yet renamed, which the restart
// at the cycle the manual gives finishes.
TEST_F(StoreFault, AFailedStoreLeavesNothingOrWhatTheRestartFinishes) {
  struct Case {
    Fault fault;
    const char* message;
    bool made;
  };
  const Case cases[] = {
      {{"fsync", "varcomp.tmp", 2, EIO},
       "cannot write file \"varcomp.tmp\": Input/output error",
       false},
      {{"fsync", "varcompsam", 2, EIO},
       "cannot write file \"varcompsam\": Input/output error",
       false},
      {{"fsync", "store_record.tmp", 2, ENOSPC},
       "cannot write file \"store_record.tmp\": No space left",
       false},
      {{"rename", "store_record.tmp", 2, EIO},
       "cannot replace file \"store_record.new\": Input/output error",
       false},
      {{"rename", "varcomp.tmp", 2, EACCES},
       "cannot replace file \"varcomp\": Permission denied",
       true},
      // The sync of the folder right after the store of cycle 200 is made.
      {{"folder", ".", 4, EIO}, "cannot write folder \".\": Input/output error", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fault.step) + " " + c.fault.path);
    for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
    write_chain_data();
    std::ofstream("a.par") << two_traits("300 20 1", "n");
    Probe how;
    how.fault = c.fault;
    ASSERT_EQ(run_child("a.par", how), 1);
    EXPECT_NE(read_file("child.out").find(c.message), std::string::npos) << read_file("child.out");
    EXPECT_EQ(record_cycle(run::record::file), 100);
    EXPECT_EQ(fs::exists(run::record::pending), c.made);
    if (c.made) {
      EXPECT_EQ(record_cycle(run::record::pending), 200);
    } else {
      EXPECT_FALSE(leftovers());
    }
    const int cycle = c.made ? 200 : 100;
    std::ofstream("r.par") << two_traits("300 20 1", "y " + std::to_string(cycle + 1));
    ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
    EXPECT_FALSE(leftovers());
    expect_whole_chain(300, 20, 5, 3);
  }
}

// A file-size limit reached: a write error like any other, not SIGXFSZ.
TEST_F(StoreFault, AFileSizeLimitIsAWriteError) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0);
  const long long full = static_cast<long long>(read_file("varcompsam").size());
  for (const auto& e : fs::directory_iterator(".")) fs::remove_all(e.path());
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  Probe how;
  how.file_limit = full / 2;  // past the store of cycle 100, before that of 200
  ASSERT_EQ(run_child("a.par", how), 1);
  EXPECT_NE(read_file("child.out").find("cannot write file \"varcompsam\": File too large"),
            std::string::npos)
      << read_file("child.out");
  EXPECT_FALSE(leftovers());
  EXPECT_EQ(record_cycle(run::record::file), 100);
  std::ofstream("r.par") << two_traits("300 20 1", "y 101");
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  expect_whole_chain(300, 20, 5, 3);
}

// ---------------------------------------------------------------------------
// A folder holds one chain, and a store holds the files of its own chain.

// What a child does between two cycles: after cycle `at`, once the stores
// before it are on disk, act() (in the child).
struct Between {
  int at = 0;
  std::function<void()> act;
};
Between between;

run::CycleTimes* acting_times() {
  static run::CycleTimes t;
  t.after_cycle = [](const model::State&, const run::CycleTimes&, void*) {
    if (model::m.round != between.at) return;
    util::disk::wait();
    between.act();
  };
  return &t;
}

// The length of a sample file in "store_record".
long long stored_length(const std::string& name) {
  for (const std::string& l : lines_of(read_file(run::record::file))) {
    std::istringstream in(l);
    std::string key, file;
    long long bytes = -1;
    if (in >> key >> file >> bytes && key == "sample" && file == name) return bytes;
  }
  ADD_FAILURE() << "no sample " << name;
  return 0;
}

void remove_all_but(const std::set<std::string>& keep) {
  for (const auto& e : fs::directory_iterator("."))
    if (!keep.count(e.path().filename().string())) fs::remove_all(e.path());
}

// Slash residuals, and structural ones on a fixed effect, tune nothing that
// "mh_dbeliefchg" holds: it stays empty.  A chain of each stopped by a
// file-size limit inside the tuning, after its store of cycle 100, keeps it
// (the store names it), and the restart the manual gives runs to the end:
// every cycle once, means those of the sample files, and the file empty as
// in the unbroken chain.  A file stored empty and then removed (as an
// earlier version did at such a stop) is made anew.
TEST_F(StoreFault, AStopInTheTuningWithAnEmptySampleFileIsContinued) {
  const std::string structural =
      "struct_student_t 5\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\nNUMBER_OF_STRUCTURAL_EFFECTS\n2\n"
      "STRUCTURAL_EFFECTS:\n2 y\n3 n\n";
  const struct {
    const char* what;
    std::string residual;
  } cases[] = {
      {"slash", "slash 0\n"},
      {"structural on a fixed effect",
       "structural 5\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\nNUMBER_OF_STRUCTURAL_EFFECTS\n1\n"
       "STRUCTURAL_EFFECTS:\n1 n\n"},
  };
  for (const auto& c : cases) {
    for (const bool removed : {false, true}) {
      SCOPED_TRACE(std::string(c.what) + (removed ? ", removed after the stop" : ""));
      remove_all_but({});
      write_chain_data();
      std::ofstream("a.par") << swapped(structural, c.residual)(robust("400 300 1", "n"));
      ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
      ASSERT_EQ(fs::file_size("mh_dbeliefchg"), 0u);
      const std::size_t full = read_file("varcompsam").size();
      const std::size_t per_entry = lines_of(read_file("varcompsam")).size() / 400 - 1;
      const std::string unbroken = read_file("loglike_rnd");

      remove_all_but({"a.par", "d1.txt", "d2.txt"});
      Probe how;
      how.file_limit = static_cast<long long>(full * 150 / 400);
      ASSERT_EQ(run_child("a.par", how), 1);
      EXPECT_NE(read_file("child.out").find("cannot write file \"varcompsam\": File too large"), std::string::npos)
          << read_file("child.out");
      ASSERT_EQ(record_cycle(run::record::file), 100);
      EXPECT_EQ(stored_length("mh_dbeliefchg"), 0);
      ASSERT_TRUE(fs::exists("mh_dbeliefchg"));
      if (removed) fs::remove("mh_dbeliefchg");

      std::ofstream("r.par") << swapped(structural, c.residual)(robust("400 300 1", "y 101"));
      ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
      expect_whole_chain(400, 300, per_entry, 1);
      EXPECT_EQ(fs::file_size("mh_dbeliefchg"), 0u);
      EXPECT_EQ(read_file("loglike_rnd").substr(0, through_line(unbroken, 100)),
                unbroken.substr(0, through_line(unbroken, 100)));
    }
  }
}


// A run holds its folder from start-up to its end.  A second run there (the
// same job started twice) stops at once, naming the first one's process,
// and changes no file; the first runs on as if alone.  A killed run holds
// nothing: the restart runs.
TEST_F(StoreFault, ASecondRunInTheFolderStopsAndChangesNothing) {
  if (program_path().empty()) GTEST_SKIP() << "the program is not built";
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  const std::set<std::string> inputs = {"a.par", "d1.txt", "d2.txt"};
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  const auto alone = folder_files();
  remove_all_but(inputs);

  // The first run waits after cycle 150 until this end of `go` writes or
  // closes; a child that ends early closes its end of `ready`.
  struct Pipes {
    int ready[2] = {-1, -1}, go[2] = {-1, -1};
    ~Pipes() {
      for (int fd : {ready[0], ready[1], go[0], go[1]})
        if (fd >= 0) ::close(fd);
    }
  } p;
  ASSERT_EQ(::pipe(p.ready), 0);
  ASSERT_EQ(::pipe(p.go), 0);
  between = {150, [&p] {
               char c = 'p';
               (void)!::write(p.ready[1], &c, 1);
               (void)!::read(p.go[0], &c, 1);
             }};
  const pid_t first = start_program_in_child("a.par", "child.out", [] {}, acting_times());
  for (int* fd : {&p.ready[1], &p.go[0]}) {
    ::close(*fd);
    *fd = -1;
  }
  char c = 0;
  ASSERT_EQ(::read(p.ready[0], &c, 1), 1) << read_file("child.out");  // the store of cycle 100 made
  const auto held = folder_files();
  const Process second = run_program(fs::current_path(), "a.par");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, " another run (process " + std::to_string(first) +
                            ") is using this folder, and a folder holds one chain: this run stops "
                            "without changing a file. Wait for that run to end, or give this analysis "
                            "a folder of its own\n");
  EXPECT_TRUE(folder_files() == held);
  (void)!::write(p.go[1], &c, 1);
  EXPECT_EQ(child_status(first), 0) << read_file("child.out");
  EXPECT_TRUE(folder_files() == alone);

  remove_all_but(inputs);
  between = {150, [] { ::raise(SIGKILL); }};
  ASSERT_EQ(in_child("a.par", [] {}, acting_times()), -SIGKILL);
  std::ofstream("r.par") << two_traits("300 20 1", "y 101");
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  expect_whole_chain(300, 20, 5, 3);
}

// The folder's lock is a file of its own.  Linked to a file the run reads
// and closes (the data file), to a file that is not there, to /dev/null or
// made a hard link of the parameter file, the run stops at once naming it and
// what to do, and changes nothing (a dangling link makes no file); removed,
// the run goes on.  Where the file system cannot lock, the run warns and
// writes the files of a run that could.
TEST_F(StoreFault, ALockThroughALinkIsRefusedAndAFolderThatCannotBeLockedWarns) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("120 20 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  const auto alone = folder_files();
  const std::string refused =
      "the file on which a run holds this folder, is a symbolic link: a lock taken through it could be lost, "
      "letting a second run in. This run stops without changing a file. Remove \"chain_lock\" (the run makes "
      "it anew) and start the run again";
  struct Case {
    const char* what;
    std::function<void()> make;
    std::string said;
  };
  const Case cases[] = {
      {"a link to the data file", [] { fs::create_symlink("d2.txt", "chain_lock"); }, refused},
      {"a dangling link", [] { fs::create_symlink("elsewhere", "chain_lock"); }, refused},
      {"a link to /dev/null", [] { fs::create_symlink("/dev/null", "chain_lock"); }, refused},
      {"a hard link of the parameter file", [] { fs::create_hard_link("a.par", "chain_lock"); },
       "the file on which a run holds this folder, is a file with another name as well (a hard link): a lock "
       "taken through it could be lost"},
      {"a folder", [] { fs::create_directory("chain_lock"); }, "the file on which a run holds this folder, is a folder:"},
      {"a named pipe", [] { ::mkfifo("chain_lock", 0600); },
       "the file on which a run holds this folder, is not a regular file:"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all("chain_lock");
    c.make();
    const auto before = folder_files();
    EXPECT_EQ(run_child("a.par", Probe{}), 1);
    EXPECT_EQ(read_file("child.out").find(" \"chain_lock\", " + c.said), 0u) << read_file("child.out");
    EXPECT_TRUE(folder_files() == before);
    EXPECT_FALSE(fs::exists("elsewhere"));
  }
  fs::remove_all("chain_lock");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  EXPECT_TRUE(folder_files() == alone);

  Probe no_locks;
  no_locks.fault = Fault{"lock", "chain_lock", 1, ENOLCK};
  remove_all_but({"a.par", "d1.txt", "d2.txt"});
  ASSERT_EQ(run_child("a.par", no_locks), 0) << read_file("child.out");
  EXPECT_EQ(read_file("child.out").find(" warning: this folder cannot be locked (\"chain_lock\": No locks available); "
                                        "nothing keeps a second run out of it while this one runs\n"),
            0u)
      << read_file("child.out");
  EXPECT_TRUE(folder_files() == alone);
}

// A digit of a sample file changed in place at the byte `from` or after.
// The file system's clock must have ticked since the chain's last write to
// it: a change in the same tick keeps the file's time, and only a restart's
// checksum finds it.
void change_digit_in_place(const char* name, long long from) {
  std::fflush(nullptr);  // the lines since the store reach the file
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string text = read_file(name);
  const std::size_t at = text.find('.', static_cast<std::size_t>(from)) + 1;
  ASSERT_GT(at, 0u) << name;
  std::fstream f(name, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(at));
  f.put(text[at] == '1' ? '2' : '1');
}

// A sample file cut, removed, replaced or changed in place while the chain
// runs, open or closed (\"mh_dbeliefchg\" after the tuning): the run stops at
// its next store, naming the file, before that store is made, so the store
// before stays the last; a restart from it continues the chain whole when the
// file still holds what it held then, and is refused, changing nothing, when
// it does not, until the file is put back.  A file whose time alone changed
// (touched) goes on.
TEST_F(StoreFault, ASampleFileChangedUnderTheRunStopsItBeforeTheNextStore) {
  // The tuning of the robust chain ends at cycle 100: its store closes
  // "mh_dbeliefchg" for good.  The child keeps a copy of it as it was.
  auto keep_tuned = [] { fs::copy_file("mh_dbeliefchg", "tuned"); };
  auto put_back = [] { fs::rename("tuned", "mh_dbeliefchg"); };
  struct Case {
    const char* what;
    std::function<void()> act;
    std::string message;
    bool continues;
    std::function<std::string(const std::string&)> model = [](const std::string& r) {
      return two_traits("300 20 1", r);
    };
    std::function<void()> mend = nullptr;  // after a refused restart
  };
  const std::string stops =
      ". The run stops before its store of cycle 200; the last store is that of cycle 100, from which a "
      "restart continues once the file holds again what it held then";
  auto robust_chain = [](const std::string& restart) { return robust("300 200 1", restart); };
  const Case cases[] = {
      {"cut back to its length at the store",
       [] {
         std::fflush(nullptr);  // the lines since the store reach the file, and go
         fs::resize_file("loglike_rnd", static_cast<std::uintmax_t>(stored_length("loglike_rnd")));
       },
       " sample file \"loglike_rnd\" holds ", true},
      {"cut to 10 bytes", [] { fs::resize_file("loglike_rnd", 10); }, " sample file \"loglike_rnd\" holds ",
       false},
      {"replaced by a copy",
       [] {
         std::ofstream("copy") << read_file("varcompsam");
         fs::rename("copy", "varcompsam");
       },
       " sample file \"varcompsam\" was replaced while the chain wrote it: another file has its name now" +
           stops,
       true},
      {"replaced by an empty file",
       [] {
         std::ofstream("empty").close();
         fs::rename("empty", "varcompsam");
       },
       " sample file \"varcompsam\" was replaced while the chain wrote it", false},
      {"removed", [] { fs::remove("solutionsam"); },
       " sample file \"solutionsam\" was removed while the chain wrote it" + stops, false},
      {"a digit changed in place before the store", [] { change_digit_in_place("varcompsam", 0); },
       " sample file \"varcompsam\" was changed in place: its ", false},
      {"a digit changed in place after the store",
       [] { change_digit_in_place("varcompsam", stored_length("varcompsam")); },
       " sample file \"varcompsam\" was changed in place: its ", true},
      {"closed and removed",
       [keep_tuned] {
         keep_tuned();
         fs::remove("mh_dbeliefchg");
       },
       " sample file \"mh_dbeliefchg\" was removed while the chain ran" + stops, false, robust_chain, put_back},
      {"closed and changed in place",
       [keep_tuned] {
         keep_tuned();
         change_digit_in_place("mh_dbeliefchg", 0);
       },
       " sample file \"mh_dbeliefchg\" was changed in place: its ", false, robust_chain, put_back},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    remove_all_but({});
    write_chain_data();
    std::ofstream("a.par") << c.model("n");
    between = {150, c.act};
    ASSERT_EQ(in_child("a.par", [] {}, acting_times()), 1);
    const std::string out = read_file("child.out");
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_NE(out.find(stops), std::string::npos) << out;
    EXPECT_EQ(record_cycle(run::record::file), 100);
    EXPECT_FALSE(leftovers());

    std::ofstream("r.par") << c.model("y 101");
    if (!c.continues) {
      const auto before = folder_files();
      EXPECT_EQ(run_child("r.par", Probe{}), 1);
      EXPECT_TRUE(folder_files() == before);
      if (!c.mend) continue;
      c.mend();
    }
    const std::string tuned = c.mend ? read_file("mh_dbeliefchg") : "";
    ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
    if (c.mend) {
      EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), 300u);
      EXPECT_EQ(read_file("mh_dbeliefchg"), tuned);
      EXPECT_GT(tuned.size(), 0u);
    } else {
      expect_whole_chain(300, 20, 5, 3);
    }
  }

  // Its time changed, its bytes not: the chain runs on as if untouched.
  remove_all_but({});
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  const auto unbroken = folder_files();
  remove_all_but({"a.par", "d1.txt", "d2.txt"});
  between = {150, [] {
               std::this_thread::sleep_for(std::chrono::milliseconds(50));
               for (const char* f : {"varcompsam", "loglike_rnd"})
                 fs::last_write_time(f, fs::last_write_time(f) - std::chrono::hours(1));
             }};
  ASSERT_EQ(in_child("a.par", [] {}, acting_times()), 0) << read_file("child.out");
  EXPECT_TRUE(folder_files() == unbroken);
}

// The file with CR LF line ends, as an editor on Windows saves it.
std::string with_cr_lf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// Result files saved by an editor with CR LF line ends (and a byte-order
// mark) are read as they read: the restart continues as from the untouched
// files, to the same bytes of every file.  Sample files stay exact: one with
// CR LF line ends is refused and changes nothing; a refusal that quotes a
// file's text shows a carriage return as \r.
TEST_F(StoreFault, ResultFilesWithCrLfLineEndsAreTakenAsTheyRead) {
  write_chain_data();
  std::ofstream("a.par") << robust("100 40 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("r.par") << robust("150 40 1", "y 101");
  const auto stored = folder_files();
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  const auto untouched = folder_files();

  for (const auto& [name, text] : stored) std::ofstream(name, std::ios::binary) << text;
  const char* results[] = {"solutions",     "varcomp",      "loglike_obs", "mh_acceptance",
                           "structural_r", "robustness_w", "chain_state"};
  for (const char* f : results) {
    ASSERT_TRUE(stored.count(f)) << f;
    std::ofstream(f, std::ios::binary) << (f == std::string("varcomp") ? "\xEF\xBB\xBF" : "") +
                                              with_cr_lf(stored.at(f));
  }
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  EXPECT_TRUE(folder_files() == untouched);

  for (const auto& [name, text] : stored) std::ofstream(name, std::ios::binary) << text;
  expect_refused("r.par", {{"a sample file with CR LF line ends", "loglike_rnd", with_cr_lf,
                            " restart refused: \"store_record\" line "},
                           {"a carriage return inside a line", "chain_state",
                            swapped("model SEED = 5\n", "model SEED = 5\r5\n"),
                            "the parameter file gives SEED \"5\" but the chain in \"chain_state\" has \"5\\r5\" ;"}});
}

// The result files of a store tied to it: each swapped for that of another
// chain of the same model (another seed) at the same cycle is refused,
// naming it, and changes nothing; so are "chain_state" with a line more, a
// sample file changed in place, and a change of the residual type, which is
// told as the change of model it is (not as a result file missing or too
// many).  A store record of the earlier layout, without checksums, is taken
// with a warning, and the next store records them.
TEST_F(StoreFault, FilesOfAnotherChainOrChangedAreRefusedAndChangeNothing) {
  write_chain_data();
  const std::set<std::string> inputs = {"a.par", "b.par", "d1.txt", "d2.txt"};
  std::ofstream("a.par") << robust("100 40 1", "n");
  std::ofstream("b.par") << swapped("SEED\n5\n", "SEED\n6\n")(robust("100 40 1", "n"));
  ASSERT_EQ(run_child("b.par", Probe{}), 0) << read_file("child.out");
  const auto b = folder_files();
  remove_all_but(inputs);
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("ra.par") << robust("150 40 1", "y 101");

  std::vector<Corruption> cases;
  for (const char* f : {"solutions", "varcomp", "loglike_obs", "mh_acceptance", "structural_r", "robustness_w"}) {
    ASSERT_NE(b.at(f), read_file(f)) << f;
    cases.push_back({f, f, [&b, f](const std::string&) { return b.at(f); },
                     std::string(" restart refused: \"") + f +
                         "\" is not the file that the store of cycle 100 wrote (\"store_record\" gives "});
  }
  cases.push_back({"chain_state of the other seed", "chain_state",
                   [&b](const std::string&) { return b.at("chain_state"); },
                   "the parameter file gives SEED \"5\" but the chain in \"chain_state\" has \"6\""});
  cases.push_back({"chain_state with a blank line more", "chain_state",
                   [](const std::string& x) { return x + "\n"; },
                   " restart refused: \"chain_state\" is not the file that the store of cycle 100 wrote"});
  cases.push_back({"a digit of varcompsam changed", "varcompsam",
                   [](const std::string& x) {
                     std::string t = x;
                     const std::size_t at = t.find('.') + 1;
                     t[at] = t[at] == '1' ? '2' : '1';
                     return t;
                   },
                   " restart refused: \"varcompsam\" does not hold what the chain wrote to it up to the "
                   "store of cycle 100"});
  cases.push_back({"another residual type", "ra.par", swapped("struct_student_t 5", "structural 5"),
                   "the parameter file gives RANDOM_RESIDUAL: \"structural 5\" but the chain in "
                   "\"chain_state\" has \"struct_student_t 5\""});
  expect_refused("ra.par", cases);

  // The same the other way: a chain of structural residuals restarted with
  // Student-t ones, which would have a "robustness_w".
  remove_all_but(inputs);
  const auto structural = swapped("struct_student_t 5", "structural 5");
  std::ofstream("c.par") << structural(robust("100 40 1", "n"));
  ASSERT_EQ(run_child("c.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("rc.par") << structural(robust("150 40 1", "y 101"));
  expect_refused("rc.par", {{"Student-t residuals", "rc.par", swapped("structural 5", "struct_student_t 5"),
                             "the parameter file gives RANDOM_RESIDUAL: \"struct_student_t 5\" but the "
                             "chain in \"chain_state\" has \"structural 5\""}});

  // A record of the earlier layout: names and lengths alone.
  std::string old;
  for (const std::string& l : lines_of(read_file(run::record::file))) {
    std::istringstream in(l);
    std::string key, name, bytes;
    in >> key >> name >> bytes;
    old += " " + (key == "result" ? key + " " + name : key == "sample" ? key + " " + name + " " + bytes : l) + "\n";
  }
  std::ofstream(run::record::file) << old;
  std::ofstream("rc.par") << structural(robust("200 40 1", "y 151"));
  ASSERT_EQ(run_child("rc.par", Probe{}), 0) << read_file("child.out");
  EXPECT_NE(read_file("child.out").find(" warning: \"store_record\" of the store of cycle 150 holds no checksums "
                                        "of its files (a store of an earlier version of the program): they are "
                                        "taken without that check, and the next store records them"),
            std::string::npos)
      << read_file("child.out");
  std::ofstream("rc.par") << structural(robust("210 40 1", "y 201"));
  ASSERT_EQ(run_child("rc.par", Probe{}), 0) << read_file("child.out");
  EXPECT_EQ(read_file("child.out").find("warning"), std::string::npos) << read_file("child.out");
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), 210u);
  int files = 0;
  for (const std::string& l : lines_of(read_file(run::record::file))) {
    std::istringstream in(l);
    std::string key, name, sum;
    std::size_t bytes = 0;
    if (!(in >> key >> name >> bytes >> sum) || (key != "result" && key != "sample")) continue;
    ++files;
    const std::string text = read_file(name);
    ASSERT_LE(bytes, text.size()) << name;
    std::string want;
    util::put_checksum(want, util::crc64(0, std::string_view(text).substr(0, bytes)));
    EXPECT_EQ(sum, want) << name;
  }
  EXPECT_EQ(files, 9);

  // Candidate sires: "msiresppr".
  if (simulator_path().empty()) GTEST_SKIP() << "the simulator is not built";
  remove_all_but({});
  const fs::path top = fs::current_path();
  const Process sim = run_simulator(top, "--traits 1 --records 80 --animals 100 --levels 4 --candidates 0.5 "
                                         "--nround 100 --nburn 20 --skip 1 --seed 3 --out chain");
  ASSERT_EQ(sim.status, 0) << sim.err;
  fs::current_path(top / "chain");
  set_keyword_value("params.txt", "SEED", "4");
  ASSERT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  const std::string other = read_file("msiresppr");
  set_keyword_value("params.txt", "SEED", "3");
  ASSERT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  ASSERT_NE(other, read_file("msiresppr"));
  set_keyword_value("params.txt", "RESTART:", "y 101");
  set_word("params.txt", "MCMC_CHAIN:", 1, "120");
  expect_refused("params.txt", {{"msiresppr", "msiresppr", [&](const std::string&) { return other; },
                                 " restart refused: \"msiresppr\" is not the file that the store of cycle 100 "
                                 "wrote"}});
  fs::current_path(top);
}


// ---------------------------------------------------------------------------
// Restarts that nothing can mislead.

// A restart whose last cycle is below that of the store (the parameter file
// of a shorter run, or a wish for "the results at 1500") is refused before
// any file changes, naming the cycles a continued chain can have: it would
// rewrite every result as a chain of that length (the sums of 1000 kept
// cycles divided by 500: every mean doubled) and name a cycle the sample
// files have passed, which lost the chain.  The store's own last cycle runs
// no cycle and writes the same results; a later one runs on.
TEST_F(StoreFault, ALastCycleBelowTheStoresIsRefused) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("2000 1000 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  const std::string varcomp = read_file("varcomp"), solutions = read_file("solutions");
  std::ofstream("r.par") << two_traits("2000 1000 1", "y 2001");
  auto below = [](int start, int last) {
    return " restart at cycle " + std::to_string(start) + " : the parameter file ends the chain at cycle " +
           std::to_string(last) +
           " (MCMC_CHAIN:), before the store of cycle 2000 in \"store_record\" ; a continued chain restarts at "
           "cycle 2001 with a last cycle of 2000 (no cycle is run: the stored results are written again) or more";
  };
  const std::string chain = "2000 1000 1\n";
  expect_refused("r.par", {
                              {"a last cycle of 1500", "r.par", swapped(chain, "1500 1000 1\n"), below(2001, 1500)},
                              {"one cycle short", "r.par", swapped(chain, "1999 1000 1\n"), below(2001, 1999)},
                              {"the cycle after it", "r.par",
                               [](const std::string&) { return two_traits("1500 1000 1", "y 1501"); },
                               below(1501, 1500)},
                          });
  // The last run of expect_refused: the store's own last cycle.
  EXPECT_TRUE(read_file("child.out").ends_with(" min ( no cycles run )\n")) << read_file("child.out");
  EXPECT_EQ(read_file("varcomp"), varcomp);
  EXPECT_EQ(read_file("solutions"), solutions);
  std::ofstream("r.par") << two_traits("2100 1000 1", "y 2001");
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  expect_whole_chain(2100, 1000, 5, 3);
}

// The record of a store as an earlier version wrote it: without the lines
// of the input files.
std::string without_inputs(const std::string& record) {
  std::string out;
  for (const std::string& l : lines_of(record))
    if (!l.starts_with("input ")) out += l + "\n";
  return out;
}

// Every trait of a data file times 10 (one trait, the first field).
std::string traits_times_10(const std::string& data) {
  std::string out;
  for (const std::string& l : lines_of(data)) {
    std::istringstream in(l);
    double y = 0;
    in >> y;
    std::string rest;
    std::getline(in, rest);
    std::ostringstream o;
    o << y * 10 << rest << "\n";
    out += o.str();
  }
  return out;
}

// The data, pedigree and multiple-sires files changed between a stop and
// the restart are refused, naming the file, and change nothing: with every
// trait times 10, a value changed in place (the length kept), the parents of
// 150 animals removed, a candidate's prior probability changed.  Moved
// files, CR LF line ends and a byte-order mark are the same files.  A store
// that names no input files (an earlier version) is continued as before,
// and the next store names them.
TEST_F(StoreFault, ChangedDataPedigreeOrMultipleSiresFilesAreRefused) {
  if (simulator_path().empty()) GTEST_SKIP() << "the simulator is not built";
  const fs::path top = fs::current_path();
  const Process sim = run_simulator(top, "--traits 1 --records 80 --animals 200 --levels 4 --candidates 0.5 "
                                         "--nround 100 --nburn 20 --skip 1 --seed 3 --out chain");
  ASSERT_EQ(sim.status, 0) << sim.err;
  fs::current_path(top / "chain");
  ASSERT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  const std::string first = read_file(run::record::file);
  const std::string inputs = first.substr(first.find("input "));
  std::string effect;  // of the pedigree's group
  {
    std::istringstream in(inputs.substr(inputs.find("input pedigree ")));
    std::string w;
    in >> w >> w >> effect;
  }
  ASSERT_EQ(lines_of(inputs).size(), 3u) << inputs;
  set_keyword_value("params.txt", "RESTART:", "y 101");
  set_word("params.txt", "MCMC_CHAIN:", 1, "150");

  // A record that names some input files but not all (the data's line
  // removed), with the data changed: refused, nothing changed.
  {
    const std::string record = read_file(run::record::file), data = read_file("data.txt");
    std::string partial;
    for (const std::string& l : lines_of(record))
      if (!l.starts_with("input data ")) partial += l + "\n";
    ASSERT_NE(partial, record);
    std::ofstream(run::record::file) << partial;
    std::ofstream("data.txt") << traits_times_10(data);
    const auto before = folder_files();
    EXPECT_EQ(run_child("params.txt", Probe{}), 1);
    EXPECT_NE(read_file("child.out").find(
                  " restart refused: \"store_record\" names input files of the chain but not the data file"
                  " \"data.txt\", which every store of this program names: the record was changed after the store,"
                  " or the parameter file reads a file the chain did not; put back the record of that store (and the"
                  " parameter file of the chain), or start a fresh chain (RESTART: n)"),
              std::string::npos)
        << read_file("child.out");
    EXPECT_TRUE(folder_files() == before);
    std::ofstream(run::record::file) << record;
    std::ofstream("data.txt") << data;
  }

  const std::string refused = " restart refused: ", not_run_on = " is not the file the chain was run on (\"store_record\" gives ";
  const std::string data = refused + "the data file \"data.txt\"" + not_run_on;
  expect_refused(
      "params.txt",
      {
          {"every trait times 10", "data.txt", traits_times_10, data},
          {"a digit changed in place", "data.txt",
           [](const std::string& x) {
             std::string t = x;
             const std::size_t at = t.find('.') + 1;
             t[at] = t[at] == '1' ? '2' : '1';
             return t;
           },
           data},
          {"the parents of 150 animals removed", "pedigree.txt",
           [](const std::string& x) {
             std::string out;
             int n = 0;
             for (const std::string& l : lines_of(x)) {
               std::istringstream in(l);
               std::string a, s, d, code;
               in >> a >> s >> d >> code;
               out += (++n > 50 ? a + " 0 0 " + code : l) + "\n";
             }
             return out;
           },
           refused + "the pedigree file \"pedigree.txt\" of random effect " + effect + not_run_on},
          {"a candidate's probability changed", "msires.txt",
           swapped("\n3\n0.3333333333\n5\n0.3333333333\n41\n0.3333333333\n", "\n3\n0.5\n5\n0.25\n41\n0.25\n"),
           refused + "the multiple-sires file \"msires.txt\"" + not_run_on},
      });
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), 150u);

  // Moved, with CR LF line ends and a byte-order mark: the same files.
  fs::rename("data.txt", "data2.txt");
  std::ofstream("data2.txt.new", std::ios::binary) << "\xEF\xBB\xBF" + with_cr_lf(read_file("data2.txt"));
  fs::rename("data2.txt.new", "data2.txt");
  std::ofstream("ped2.txt", std::ios::binary) << with_cr_lf(read_file("pedigree.txt"));
  fs::remove("pedigree.txt");
  std::ofstream("params.txt.new") << swapped("pedigree.txt 200", "ped2.txt 200")(
      swapped("data.txt 80", "data2.txt 80")(read_file("params.txt")));
  fs::rename("params.txt.new", "params.txt");
  set_keyword_value("params.txt", "RESTART:", "y 151");
  set_word("params.txt", "MCMC_CHAIN:", 1, "180");
  ASSERT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  const std::string record = read_file(run::record::file);
  EXPECT_EQ(record.substr(record.find("input ")), inputs);

  // A store of an earlier version: continued as before, and the next store
  // names the files.
  std::ofstream(run::record::file) << without_inputs(record);
  set_keyword_value("params.txt", "RESTART:", "y 181");
  set_word("params.txt", "MCMC_CHAIN:", 1, "200");
  ASSERT_EQ(run_child("params.txt", Probe{}), 0) << read_file("child.out");
  EXPECT_EQ(read_file(run::record::file).substr(read_file(run::record::file).find("input ")), inputs);
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), 200u);
  fs::current_path(top);
}

// The lock removed while a chain runs (as a stale file, by a user who then
// starts a second run), or replaced by a file of the same name (which a
// second run makes and locks): the run stops at its next store, naming the
// lock, before that store writes anything, so the store before stays the
// last; a restart from it continues the chain whole.
TEST_F(StoreFault, TheLockRemovedWhileTheChainRunsStopsItAtTheNextStore) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  std::ofstream("r.par") << two_traits("300 20 1", "y 101");
  const std::string stops =
      " while the chain ran, so a second run may have started in this folder. The run stops before its store of "
      "cycle 200; the last store is that of cycle 100. Let any other run in this folder end (a folder holds one "
      "chain), then restart from that store; never remove \"chain_lock\" while a run goes on";
  const struct {
    const char* what;
    std::function<void()> act;
    std::string message;
  } cases[] = {
      {"removed", [] { fs::remove("chain_lock"); }, "removed"},
      {"replaced", [] {
         fs::remove("chain_lock");
         std::ofstream("chain_lock");
       }, "replaced by another file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    remove_all_but({"a.par", "r.par", "d1.txt", "d2.txt"});
    between = {150, c.act};
    ASSERT_EQ(in_child("a.par", [] {}, acting_times()), 1) << read_file("child.out");
    EXPECT_NE(read_file("child.out").find(" \"chain_lock\", the file on which this run holds its folder, was " +
                                          c.message + stops),
              std::string::npos)
        << read_file("child.out");
    EXPECT_EQ(record_cycle(run::record::file), 100);
    EXPECT_FALSE(leftovers());
    EXPECT_EQ(lines_of(read_file("varcomp")).at(0), " Variance components after:  100  rounds and burn-in of  20");
    ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
    expect_whole_chain(300, 20, 5, 3);
  }
}

// A second run let in by the removed lock removes the temporaries of this
// run's store as it starts afresh: the rename of "chain_state" fails beside
// the cycles, and the next store stops the run naming the lock, not the
// file.  The store it made is finished by the restart.
TEST_F(StoreFault, AStoreFailedWithItsLockLostStopsNamingTheLock) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  std::ofstream("r.par") << two_traits("300 20 1", "y 101");
  Probe how;
  how.fault = Fault{"rename", "chain_state.tmp", 1, ENOENT};  // the store of cycle 100
  how.lose_lock = true;
  ASSERT_EQ(run_child("a.par", how), 1) << read_file("child.out");
  const std::string out = read_file("child.out");
  EXPECT_NE(out.find(" \"chain_lock\", the file on which this run holds its folder, was removed while the chain"
                     " ran, so a second run may have started in this folder. The run stops before its store of"
                     " cycle 200; the last store is that of cycle 100."),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("cannot replace"), std::string::npos) << out;
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  expect_whole_chain(300, 20, 5, 3);
}

// Ctrl-C before the first store leaves sample files and no store record,
// in an empty folder or over the files of an earlier chain (whose record the
// fresh chain removed): the restart says that no store was made, not that a
// result file is missing or of another cycle, and changes nothing.
TEST_F(StoreFault, CtrlCBeforeTheFirstStoreIsToldAsNoStore) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  std::ofstream("r.par") << two_traits("300 20 1", "y 51");
  for (const bool earlier_chain : {false, true}) {
    SCOPED_TRACE(earlier_chain ? "over an earlier chain" : "in an empty folder");
    remove_all_but({"a.par", "r.par", "d1.txt", "d2.txt"});
    if (earlier_chain) {
      ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
    }
    between = {50, [] {
                 ::signal(SIGINT, SIG_DFL);
                 ::raise(SIGINT);
               }};
    ASSERT_EQ(in_child("a.par", [] {}, acting_times()), -SIGINT) << read_file("child.out");
    ASSERT_FALSE(fs::exists(run::record::file));
    ASSERT_TRUE(fs::exists("varcompsam"));
    const auto before = folder_files();
    EXPECT_EQ(run_child("r.par", Probe{}), 1);
    EXPECT_TRUE(read_file("child.out").ends_with(
              "\n restart at cycle 51 : \"store_record\" is missing, so the sample files cannot be matched to the "
              "result files: no store was made (a chain stopped before its first store), or the record was removed; "
              "the chain cannot be continued: start it afresh (RESTART: n)\n"))
        << read_file("child.out");
    EXPECT_TRUE(folder_files() == before);
  }
}

// Standard output redirected to a file keeps up with the chain at each
// store: a run killed after cycle 150 (or 250) shows the lines of every
// store made before, and the progress up to it.
TEST_F(StoreFault, StandardOutputIsFlushedAtEachStore) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("300 20 1", "n");
  for (const int kill_after : {150, 250}) {
    SCOPED_TRACE(kill_after);
    remove_all_but({"a.par", "d1.txt", "d2.txt"});
    between = {kill_after, [] { ::raise(SIGKILL); }};
    ASSERT_EQ(in_child("a.par", [] {}, acting_times()), -SIGKILL);
    const std::string out = read_file("child.out");
    const int stores = kill_after / 100;
    int said = 0;
    for (std::size_t at = 0; (at = out.find(" variance components stored in file: \"varcomp\"\n", at)) != std::string::npos;
         ++at)
      ++said;
    EXPECT_EQ(said, stores) << out;
    // The progress line of the store's cycle, which follows the store.
    EXPECT_NE(out.find(" round  " + std::to_string(stores * 100) + " elapsed time"), std::string::npos) << out;
  }
}

// A result file cut in half (or a line of it changed) is refused naming the
// file, where it ends, and the remedy: put back the file of the store.  With
// checksums in the record, a "chain_state" cut short is told as not the
// store's, beside the setting it no longer gives; in a record without them
// (an earlier version) the reader's message alone says it.
TEST_F(StoreFault, AResultFileCutInHalfIsNamedWithTheRemedy) {
  write_chain_data();
  std::ofstream("a.par") << two_traits("100 20 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("r.par") << two_traits("150 20 1", "y 101");
  auto half = [](const std::string& x) { return x.substr(0, x.size() / 2); };
  const std::string put_back = "put back the file that the store of cycle 100 wrote";
  // Where a file cut in half ends: its lines, the last one perhaps partial.
  auto ends = [&](const char* f) {
    return std::to_string(lines_of(half(read_file(f))).size());
  };
  const std::string cut = ", short of the lines the model gives (error reading ";
  expect_refused(
      "r.par",
      {
          {"varcomp cut in half", "varcomp", half,
           " restart refused: \"varcomp\" ends at line " + ends("varcomp") +
               ", short of the lines the model gives (the line \"Last variance components sample (G) for effect: "
               "2\"): the file was cut or changed after the store; " + put_back},
          {"solutions cut in half", "solutions", half,
           " restart refused: \"solutions\" ends at line " + ends("solutions") + cut},
          {"loglike_obs cut in half", "loglike_obs", half,
           " restart refused: \"loglike_obs\" ends at line " + ends("loglike_obs") + cut + "loglike_obs at record: "},
          {"a word in varcomp", "varcomp", [](const std::string& x) { return with_line(x, 4, "      abc"); },
           " restart refused: \"varcomp\" line 4 cannot be read as the model's values (error reading G at effect: 2): "
           "the file was changed after the store; " + put_back},
          {"chain_state cut in half", "chain_state", half,
           "\n restart refused: \"chain_state\" is not the file that the store of cycle 100 wrote"},
      });
  // The same in a record without checksums.
  std::string old;
  for (const std::string& l : lines_of(read_file(run::record::file))) {
    std::istringstream in(l);
    std::string key, name, bytes;
    in >> key >> name >> bytes;
    old += " " + (key == "result" ? key + " " + name : key == "sample" ? key + " " + name + " " + bytes : l) + "\n";
  }
  std::ofstream(run::record::file) << without_inputs(old);
  std::ofstream("r.par") << two_traits("200 20 1", "y 151");
  expect_refused("r.par", {{"varcomp cut in half", "varcomp", half,
                            " restart refused: \"varcomp\" ends at line " + ends("varcomp") +
                                ", short of the lines the model gives (the line \"Last variance components "
                                "sample (G) for effect: 2\"): the file was cut or changed after the store; put back "
                                "the file that the store of cycle 150 wrote"}});
}

}  // namespace
