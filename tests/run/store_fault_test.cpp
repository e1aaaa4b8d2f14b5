// A chain killed at many moments — while writing sample lines, and at every
// step of a store — and then restarted: the restart must run to the end,
// every sample file must hold each cycle once and in order, and the means
// in "varcomp" must be those of the kept lines of "varcompsam".
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
#include "run/store_record.hpp"
#include "sampler/setup_eq.hpp"
#include "util/textio.hpp"

namespace run {
int velmoran_main();
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
};
Probe probe;

int on_fault(const char* step, const char* path) {
  Probe& p = probe;
  if (std::strcmp(step, p.fault.step) != 0 || std::strcmp(path, p.fault.path) != 0) return 0;
  if (++p.seen != p.fault.nth) return 0;
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

// Runs the program in a child process of this one on parameter file par;
// returns its exit status, or -signal when a signal ended it.
int run_child(const std::string& par, const Probe& how, const char* log_file = nullptr) {
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    fresh_globals();
    sampler::equation_plan = sampler::EquationPlan{};
    probe.count = 0;
    probe.kill_at = how.kill_at;
    probe.flush = how.flush;
    probe.partial = how.partial;
    probe.fault = how.fault;
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
    const int quiet = ::open("child.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(quiet, 1);
    ::dup2(quiet, 2);
    std::istringstream in(par + "\n");
    std::cin.rdbuf(in.rdbuf());
    int status = 0;
    try {
      run::velmoran_main();
    } catch (const util::Stop& s) {
      util::report_stop(s);
      status = 1;
    }
    std::fflush(nullptr);
    if (probe.log) std::fclose(probe.log);
    ::_exit(status);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -999;
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
// Restarts that are refused, and stores that fail.

// Two traits, a saved fixed effect, a random effect with a full 2 by 2 G, and
// an R whose covariance is 0 from the start.
std::string two_traits(const std::string& chain, const std::string& restart) {
  return "MCMC_CHAIN:\n" + chain + "\nSEED\n11\nRESTART:\n" + restart +
         "\nDATAFILE\nd2.txt 40\nNUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1 2\nWEIGHT(S)\n\n"
         "EFFECTS:\n3 3 3 cross y\n4 4 4 cross n\nRANDOM_RESIDUAL:\nhomogeneous 5\n"
         "RESIDUAL_PRIOR_(CO)VARIANCES\n1 0\n0 1\nRANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 5\nPEDIGREEFILE:\nnone 0\n"
         "(CO)VARIANCES\n0.5 0.1\n0.1 0.5\n";
}

// One trait, structural Student-t residuals: a random cross-classified
// structural effect (factors and a shape) and a covariable one (a factor and
// a degrees-of-belief proposal).
std::string robust(const std::string& chain, const std::string& restart) {
  return "MCMC_CHAIN:\n" + chain + "\nSEED\n5\nRESTART:\n" + restart +
         "\nDATAFILE\nd1.txt 60\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n3\nOBSERVATION(S)\n1\nWEIGHT(S)\n\n"
         "EFFECTS:\n2 3 cross n\n3 4 cross n\n4 1 cov n\nRANDOM_RESIDUAL:\nstruct_student_t 5\n"
         "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\nNUMBER_OF_STRUCTURAL_EFFECTS\n2\nSTRUCTURAL_EFFECTS:\n"
         "2 y\n3 n\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\nRANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\n"
         "none 0\n(CO)VARIANCES\n0.5\n";
}

void write_chain_data() {
  std::ofstream d2("d2.txt");
  for (int i = 0; i < 40; ++i) {
    const int l1 = i % 3 + 1, l2 = (i * 5) % 4 + 1;
    d2 << 2 + 0.5 * l1 - 0.25 * l2 + ((i * 13) % 7 - 3) * 0.3 << " " << 1 + 0.3 * l1 + ((i * 11) % 5 - 2) * 0.4
       << " " << l1 << " " << l2 << "\n";
  }
  std::ofstream d1("d1.txt");
  for (int i = 0; i < 60; ++i) {
    const int l1 = i % 3 + 1, l2 = (i * 7) % 4 + 1;
    const double x = (i % 10) / 10.0;
    d1 << 2 + 0.5 * l1 - 0.25 * l2 + 0.7 * x + ((i * 13) % 9 - 4) * 0.3 * (1 + l2 / 4.0) << " " << l1 << " "
       << l2 << " " << x << "\n";
  }
}

// Every file of the folder but the child's output, by name.
std::map<std::string, std::string> folder_files() {
  std::map<std::string, std::string> m;
  for (const auto& e : fs::directory_iterator(".")) {
    const std::string n = e.path().filename().string();
    if (n != "child.out") m[n] = read_file(n);
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
    if (k + 1 != n) out += v[k] + "\n";
    else if (line) out += std::string(line) + "\n";
  return out;
}
// Field f (from 1) of line n replaced.
std::string with_field(const std::string& text, std::size_t n, std::size_t f, const std::string& value) {
  std::istringstream in(lines_of(text).at(n - 1));
  std::string line, w;
  for (std::size_t k = 1; in >> w; ++k) line += " " + (k == f ? value : w);
  return with_line(text, n, line.c_str());
}
// The record with the length of a sample file changed.
std::string with_length(const std::string& record, const std::string& file, long long length) {
  std::string out;
  for (const std::string& l : lines_of(record))
    out += (l.find(" " + file + " ") != std::string::npos ? " sample " + file + " " + std::to_string(length) : l) +
           "\n";
  return out;
}
// Bytes of text up to the end of its line n (from 1).
long long through_line(const std::string& text, std::size_t n) {
  std::size_t at = 0;
  for (std::size_t k = 0; k < n; ++k) at = text.find('\n', at) + 1;
  return static_cast<long long>(at);
}

// The cycle on the first line of a store record.
int record_cycle(const char* name) {
  std::ifstream in(name);
  std::string key;
  int c = 0;
  return in >> key >> c && key == "cycle" ? c : 0;
}

// Sample files that hold each of cycles 1 to n once and in order, and means
// in "varcomp" that are those of the kept lines of "varcompsam" (per_entry
// values an entry, the first two of them g11 and, at index r, r11).
void expect_whole_chain(int n, int burn, std::size_t per_entry, std::size_t r) {
  const auto vs = cycles_of("varcompsam", static_cast<int>(per_entry));
  ASSERT_EQ(vs.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(cycles_of("loglike_rnd", 0).size(), static_cast<std::size_t>(n));
  double g = 0, rr = 0;
  for (std::size_t c = static_cast<std::size_t>(burn); c < vs.size(); ++c) {
    g += vs[c][0];
    rr += vs[c][r];
  }
  EXPECT_NEAR(value_after("varcomp", "Average variance components (G)"), g / (n - burn), 1.5e-4);
  EXPECT_NEAR(value_after("varcomp", "Average residuals (R)"), rr / (n - burn), 1.5e-4);
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

TEST_F(StoreFault, ACorruptedRecordOrValueIsRefusedAndChangesNothing) {
  write_chain_data();
  // Two traits: G 2 by 2, R with a covariance held at 0; entries of 6 lines.
  std::ofstream("a.par") << two_traits("100 20 1", "n");
  ASSERT_EQ(run_child("a.par", Probe{}), 0) << read_file("child.out");
  std::ofstream("ra.par") << two_traits("150 20 1", "y 101");
  const std::string record = read_file("store_record"), vs = read_file("varcompsam"),
                    lr = read_file("loglike_rnd");
  auto line = [](std::size_t n, const char* l) { return [=](const std::string& x) { return with_line(x, n, l); }; };
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
           [](const std::string& r) { return with_line(with_length(r, "varcompsam", 18), 8, nullptr); },
           "gives \"varcompsam\" a length of 18 bytes, which is not at the end of a line of it"},
          {"a length shorter than the real one", "store_record", length("loglike_rnd", 200),
           no_line + "8 gives \"loglike_rnd\" a length of 200 bytes, which is not at the end of a line of it"},
          {"a length one cycle short", "store_record", length("loglike_rnd", through_line(lr, 99)),
           "which does not end the entry of cycle 100 (1 line): that entry would begin with \"99 "},
          {"a length inside the last entry", "store_record", length("varcompsam", through_line(vs, 598)),
           "which does not end the entry of cycle 100 (6 lines): that entry would begin with \""},
          {"a result line removed", "store_record", line(5, nullptr),
           "restart at cycle 101 : the store of cycle 100 in \"store_record\" has no result file \"varcomp\""},
          {"a result line repeated", "store_record", line(5, " result solutions"),
           "\"store_record\" line 5 names the result file \"solutions\" a second time"},
          {"no burn-in line", "store_record", line(2, nullptr), "\"store_record\" names no burn-in"},
          {"no thinning line", "store_record", line(3, nullptr), "\"store_record\" names no thinning interval"},
          {"a second cycle line", "store_record", line(3, " cycle 100"),
           "\"store_record\" line 3 repeats the \"cycle\" line"},
          // Values of the result files.
          {"a mean too large to use", "solutions", field(3, 4, "1e308"),
           " restart refused: \"solutions\" line 3 holds 1e+308, too large a number to use (above 1e+35 in size)"},
          {"a repeat count", "solutions", line(3, "  1  1       1  1.5348 2*0.7235"),
           " restart refused: \"solutions\" line 3 holds \"2*0.7235\", a repeat count"},
          {"a repeat count over the line", "solutions", line(3, "  1  1       1  401*0.0754"),
           " restart refused: \"solutions\" line 3 holds \"401*0.0754\", a repeat count"},
          {"a standard deviation below 0", "solutions", field(4, 5, "-0.5"),
           " restart refused: \"solutions\" line 4 holds a standard deviation of -0.5, below 0"},
          {"a last G not symmetric", "varcomp", [](const std::string& x) {
             return with_line(with_line(x, 9, "      0.5000      0.2000"), 10, "      0.1000      0.6000");
           },
           " restart refused: \"varcomp\" line 10 holds the last sample of G for effect 2 that is not symmetric: row "
           "2 column 1 is 0.1 but row 1 column 2 is 0.2"},
          {"a last G not positive definite", "varcomp", [](const std::string& x) {
             return with_line(with_line(x, 9, "      1.0000      2.0000"), 10, "      2.0000      1.0000");
           },
           " restart refused: \"varcomp\" line 10 holds the last sample of G for effect 2 that is not positive "
           "definite (pivot of row 2: -3)"},
          {"a covariance where R starts at 0", "varcomp", [](const std::string& x) {
             return with_line(with_line(x, 18, "      1.0000      0.3000"), 19, "      0.3000      1.0000");
           },
           " restart refused: \"varcomp\" line 18 holds 0.3 in row 1 column 2 of the last sample of R, where the "
           "starting matrix has 0"},
          {"a negative sd of G", "varcomp", field(6, 1, "-0.0100"),
           " restart refused: \"varcomp\" line 6 holds a standard deviation of -0.01, below 0"},
          {"a word after the columns", "loglike_obs", field(5, 5, "abc"),
           "error reading loglilke_obs at record:  3"},
          {"a column too many", "loglike_obs", [](const std::string& x) {
             return with_line(x, 5, (lines_of(x)[4] + " 0.5").c_str());
           },
           " restart refused: \"loglike_obs\" line 5 holds more values than the model gives (\"0.5\")"},
          {"a column too few", "loglike_obs", [](const std::string& x) { return with_field(x, 5, 6, ""); },
           " restart refused: \"loglike_obs\" line 5 holds fewer values than the model gives"},
          {"an ordinate of 0", "loglike_obs", field(5, 2, "0.0"),
           " restart refused: \"loglike_obs\" line 5 holds a conditional predictive ordinate of 0"},
          {"a title of another file", "solutions", line(1, " Solutions after:  100  rounds and burn-in of  20"),
           " restart refused: \"solutions\" line 1 is \"Solutions after: 100 rounds and burn-in of 20\" where the "
           "model has \"Solution after: 100 rounds and burn-in of 20\""},
          {"a title of another burn-in", "varcomp",
           line(1, " Variance components after:  100  rounds and burn-in of  30"),
           "line 1 is \"Variance components after: 100 rounds and burn-in of 30\" where the model has"},
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
           refused + "\"mh_acceptance\" line 6 holds an acceptance rate of 1.5, outside 0 to 1.15"},
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
  EXPECT_NE(read_file("child.out").find(" restart at cycle 101 needs the results of cycle 100 but "
                                        "\"store_record.new\" holds those of cycle 200 ; the chain continues at "
                                        "cycle 201"),
            std::string::npos)
      << read_file("child.out");
  EXPECT_TRUE(folder_files() == before);

  // Step 1 of the manual: "store_record.new" when it is there.
  const int cycle = record_cycle(fs::exists(run::record::pending) ? run::record::pending : run::record::file);
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
      {{"fsync", "varcomp.tmp", 2, EIO}, "cannot write file \"varcomp.tmp\": Input/output error", false},
      {{"fsync", "varcompsam", 2, EIO}, "cannot write file \"varcompsam\": Input/output error", false},
      {{"fsync", "store_record.tmp", 2, ENOSPC}, "cannot write file \"store_record.tmp\": No space left", false},
      {{"rename", "store_record.tmp", 2, EIO}, "cannot replace file \"store_record.new\": Input/output error",
       false},
      {{"rename", "varcomp.tmp", 2, EACCES}, "cannot replace file \"varcomp\": Permission denied", true},
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
  EXPECT_NE(read_file("child.out").find("cannot write file \"varcompsam\": File too large"), std::string::npos)
      << read_file("child.out");
  EXPECT_FALSE(leftovers());
  EXPECT_EQ(record_cycle(run::record::file), 100);
  std::ofstream("r.par") << two_traits("300 20 1", "y 101");
  ASSERT_EQ(run_child("r.par", Probe{}), 0) << read_file("child.out");
  expect_whole_chain(300, 20, 5, 3);
}

}  // namespace
