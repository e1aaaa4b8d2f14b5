// Support of the end-to-end chain tests: small animal models written as
// parameter, data and pedigree files; the start-up and cycles of the program
// driven function by function; dense references of the mixed-model
// equations; and runs of the program and the simulator as processes.
#pragma once

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model_support.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "random/prob.hpp"
#include "random/rangen.hpp"
#include "run/cycle.hpp"
#include "run/readfiles.hpp"
#include "run/textop.hpp"
#include "sampler/gibbs.hpp"
#include "sampler/records.hpp"
#include "sampler/samplefiles.hpp"
#include "sampler/setup_eq.hpp"
#include "sparse/sparsem.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace chaintest {

namespace fs = std::filesystem;

// ---------------------------------------------------------------------------
// Dense linear algebra on small matrices (column-major, 0-based).

struct Dense {
  int n = 0;
  std::vector<double> a;
  Dense() = default;
  explicit Dense(int order) : n(order), a(static_cast<std::size_t>(order) * order, 0.0) {}
  double& operator()(int i, int j) { return a[static_cast<std::size_t>(i + j * n)]; }
  double operator()(int i, int j) const { return a[static_cast<std::size_t>(i + j * n)]; }
};

// Inverse of a symmetric positive definite matrix by Gauss-Jordan with
// partial pivoting.
inline Dense inverse(Dense a) {
  const int n = a.n;
  Dense b(n);
  for (int i = 0; i < n; ++i) b(i, i) = 1.0;
  for (int k = 0; k < n; ++k) {
    int p = k;
    for (int i = k + 1; i < n; ++i)
      if (std::fabs(a(i, k)) > std::fabs(a(p, k))) p = i;
    if (p != k)
      for (int j = 0; j < n; ++j) {
        std::swap(a(k, j), a(p, j));
        std::swap(b(k, j), b(p, j));
      }
    const double d = a(k, k);
    for (int j = 0; j < n; ++j) {
      a(k, j) /= d;
      b(k, j) /= d;
    }
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      const double f = a(i, k);
      if (f == 0) continue;
      for (int j = 0; j < n; ++j) {
        a(i, j) -= f * a(k, j);
        b(i, j) -= f * b(k, j);
      }
    }
  }
  return b;
}

inline std::vector<double> multiply(const Dense& a, const std::vector<double>& x) {
  std::vector<double> y(static_cast<std::size_t>(a.n), 0.0);
  for (int j = 0; j < a.n; ++j)
    for (int i = 0; i < a.n; ++i) y[static_cast<std::size_t>(i)] += a(i, j) * x[static_cast<std::size_t>(j)];
  return y;
}

// ---------------------------------------------------------------------------
// A small animal model: a fixed cross-classified effect, a covariable and an
// additive animal effect (with a maternal one beside it, of the record's
// dam, in its group), every trait recorded on every record.  Data columns:
// traits 1..nt, level nt+1, covariable nt+2, animal nt+3, dam nt+4.

struct Record {
  std::vector<double> y;  // one per trait
  int level = 1;
  double cov = 0;
  int animal = 1;
  int dam = 0;  // with a maternal effect; 0 unknown
};

struct SmallModel {
  int nt = 1;
  int nlevels = 2;
  int nanimal = 1;
  std::vector<std::array<int, 3>> ped;  // animal, sire, dam; parents first
  std::vector<Record> recs;
  bool maternal = false;
  // Rows of G (trait fastest within effect) of effects absent for a trait:
  // data column 0.
  std::vector<int> absent;
  Dense G, R;  // G of the group's order (nt, or 2 nt with the maternal effect), R nt by nt
  int nround = 1, nburn = 0, skip = 1, seed = 1;

  int effects() const { return maternal ? 2 : 1; }  // of the group
  bool present(int row) const { return std::find(absent.begin(), absent.end(), row) == absent.end(); }
  int neq() const { return nt * (nlevels + 1 + effects() * nanimal); }
  // Equations (1-based) of the effects.
  int eq_level(int l, int t) const { return (l - 1) * nt + t; }
  int eq_cov(int t) const { return nlevels * nt + t; }
  int eq_animal(int a, int t) const { return (nlevels + 1 + a - 1) * nt + t; }
  int eq_dam(int a, int t) const { return (nlevels + 1 + nanimal + a - 1) * nt + t; }
  // Equation q belongs to an effect absent for its trait.
  bool absent_eq(int q) const {
    const int first = eq_animal(1, 1);
    if (q < first) return false;
    const int k = (q - first) / (nt * nanimal), t = (q - 1) % nt + 1;
    return !present(k * nt + t);
  }

  std::string parameter_text() const {
    std::ostringstream o;
    o.precision(17);
    o << "MCMC_CHAIN:\n" << nround << " " << nburn << " " << skip << "\nSEED\n" << seed
      << "\nRESTART:\nn\nDATAFILE\ndata.txt " << recs.size() << "\nNUMBER_OF_TRAITS\n" << nt
      << "\nNUMBER_OF_EFFECTS\n" << 2 + effects() << "\nOBSERVATION(S)\n";
    for (int t = 1; t <= nt; ++t) o << t << " ";
    o << "\nWEIGHT(S)\n\nEFFECTS:\n";
    const int cols[4] = {nt + 1, nt + 2, nt + 3, nt + 4};
    const int levels[4] = {nlevels, 1, nanimal, nanimal};
    const char* types[4] = {"cross", "cov", "cross", "cross"};
    for (int e = 0; e < 2 + effects(); ++e) {
      for (int t = 1; t <= nt; ++t) o << (e < 2 || present((e - 2) * nt + t) ? cols[e] : 0) << " ";
      o << levels[e] << " " << types[e] << " n\n";
    }
    o << "RANDOM_RESIDUAL:\nhomogeneous 0\nRESIDUAL_PRIOR_(CO)VARIANCES\n";
    put_matrix(o, R);
    o << "RANDOM_GROUP\n" << (maternal ? "3 4" : "3") << "\nRANDOM_TYPE\nadd_animal 0\nPEDIGREEFILE:\nped.txt " << ped.size()
      << "\n(CO)VARIANCES\n";
    put_matrix(o, G);
    return o.str();
  }

  std::string data_text() const {
    std::ostringstream o;
    o.precision(9);
    for (const Record& r : recs) {
      for (double y : r.y) o << y << " ";
      o << r.level << " " << r.cov << " " << r.animal;
      if (maternal) o << " " << r.dam;
      o << "\n";
    }
    return o.str();
  }

  std::string pedigree_text() const {
    std::ostringstream o;
    for (const auto& p : ped) o << p[0] << " " << p[1] << " " << p[2] << "\n";
    return o.str();
  }

  void write_files(const fs::path& dir, const std::string& parfile = "params.txt") const {
    std::ofstream(dir / parfile) << parameter_text();
    std::ofstream(dir / "data.txt") << data_text();
    std::ofstream(dir / "ped.txt") << pedigree_text();
  }

  // Numerator relationship matrix by the tabular method (parents first).
  Dense relationship() const {
    Dense A(nanimal);
    std::vector<std::array<int, 2>> par(static_cast<std::size_t>(nanimal) + 1, {0, 0});
    for (const auto& p : ped) par[static_cast<std::size_t>(p[0])] = {p[1], p[2]};
    for (int i = 1; i <= nanimal; ++i) {
      const int s = par[static_cast<std::size_t>(i)][0], d = par[static_cast<std::size_t>(i)][1];
      for (int j = 1; j < i; ++j) {
        double v = 0;
        if (s > 0) v += 0.5 * A(j - 1, s - 1);
        if (d > 0) v += 0.5 * A(j - 1, d - 1);
        A(i - 1, j - 1) = A(j - 1, i - 1) = v;
      }
      A(i - 1, i - 1) = 1.0 + (s > 0 && d > 0 ? 0.5 * A(s - 1, d - 1) : 0.0);
    }
    return A;
  }

  // The mixed-model equations C x = b: X'R^-1 X + G^-1 (x) A^-1 and
  // X'R^-1 y, with the data as the program holds them (32-bit values).  A
  // trait value of 0 is missing: the record enters with the inverse of R
  // over its observed traits only, so that C^-1 b and C^-1 are the mean and
  // covariance given the observed data.  An effect absent for a trait has no
  // such effect: G^-1 is the inverse of G over the present rows, and each
  // absent equation holds 1 on its diagonal alone (mean and covariance 0
  // are the program's).
  void mme(Dense& C, std::vector<double>& b) const {
    const int n = neq();
    C = Dense(n);
    b.assign(static_cast<std::size_t>(n), 0.0);
    std::vector<int> rows;  // present rows, 0-based
    for (int p = 0; p < G.n; ++p)
      if (present(p + 1)) rows.push_back(p);
    Dense Gp(static_cast<int>(rows.size()));
    for (int i = 0; i < Gp.n; ++i)
      for (int j = 0; j < Gp.n; ++j) Gp(i, j) = G(rows[static_cast<std::size_t>(i)], rows[static_cast<std::size_t>(j)]);
    const Dense Gpi = inverse(Gp), Ai = inverse(relationship());
    Dense Gi(G.n);
    for (int i = 0; i < Gp.n; ++i)
      for (int j = 0; j < Gp.n; ++j) Gi(rows[static_cast<std::size_t>(i)], rows[static_cast<std::size_t>(j)]) = Gpi(i, j);
    for (const Record& r : recs) {
      std::vector<int> obs;
      for (int t = 0; t < nt; ++t)
        if (static_cast<float>(r.y[static_cast<std::size_t>(t)]) != 0.0f) obs.push_back(t);
      const int no = static_cast<int>(obs.size());
      Dense Roo(no);
      for (int i = 0; i < no; ++i)
        for (int j = 0; j < no; ++j) Roo(i, j) = R(obs[static_cast<std::size_t>(i)], obs[static_cast<std::size_t>(j)]);
      const Dense Ri = inverse(Roo);
      // Design row of trait t: (equation, multiplier) pairs.
      std::vector<std::vector<std::pair<int, double>>> x(static_cast<std::size_t>(nt));
      for (int t = 1; t <= nt; ++t) {
        auto& xt = x[static_cast<std::size_t>(t - 1)];
        xt = {{eq_level(r.level, t), 1.0}, {eq_cov(t), static_cast<double>(static_cast<float>(r.cov))}};
        if (present(t)) xt.push_back({eq_animal(r.animal, t), 1.0});
        if (maternal && r.dam > 0 && present(nt + t)) xt.push_back({eq_dam(r.dam, t), 1.0});
      }
      for (int i1 = 0; i1 < no; ++i1)
        for (int i2 = 0; i2 < no; ++i2) {
          const int t1 = obs[static_cast<std::size_t>(i1)], t2 = obs[static_cast<std::size_t>(i2)];
          const double w = Ri(i1, i2);
          const double y2 = static_cast<float>(r.y[static_cast<std::size_t>(t2)]);
          for (const auto& [a1, x1] : x[static_cast<std::size_t>(t1)]) {
            b[static_cast<std::size_t>(a1 - 1)] += x1 * w * y2;
            for (const auto& [a2, x2] : x[static_cast<std::size_t>(t2)]) C(a1 - 1, a2 - 1) += x1 * w * x2;
          }
        }
    }
    auto eq = [&](int k, int a, int t) { return k == 0 ? eq_animal(a, t) : eq_dam(a, t); };
    for (int k1 = 0; k1 < effects(); ++k1)
      for (int k2 = 0; k2 < effects(); ++k2)
        for (int a1 = 1; a1 <= nanimal; ++a1)
          for (int a2 = 1; a2 <= nanimal; ++a2)
            for (int t1 = 1; t1 <= nt; ++t1)
              for (int t2 = 1; t2 <= nt; ++t2)
                C(eq(k1, a1, t1) - 1, eq(k2, a2, t2) - 1) +=
                    Gi(k1 * nt + t1 - 1, k2 * nt + t2 - 1) * Ai(a1 - 1, a2 - 1);
    for (int q = 1; q <= n; ++q)
      if (absent_eq(q)) C(q - 1, q - 1) = 1.0;
  }

 private:
  static void put_matrix(std::ostringstream& o, const Dense& m) {
    for (int i = 0; i < m.n; ++i) {
      for (int j = 0; j < m.n; ++j) o << m(i, j) << (j + 1 < m.n ? " " : "\n");
    }
  }
};

// Deterministic pseudo-random numbers for building data: multiples of 1/16
// in [-range, range], exact in 32 bits.
struct Sixteenths {
  unsigned long long x;
  explicit Sixteenths(unsigned long long seed) : x(seed * 2654435761ULL + 12345) {}
  double next(double range) {
    x = x * 6364136223846793005ULL + 1442695040888963407ULL;
    const long steps = static_cast<long>(range * 16);
    const long k = static_cast<long>((x >> 33) % static_cast<unsigned long long>(2 * steps + 1)) - steps;
    return static_cast<double>(k) / 16.0;
  }
};

// A model of nt traits with nlevels fixed levels and nanimal animals: a
// non-inbred pedigree in which some animals have both parents known, some
// one, some none; nrec records, every animal with at least one record when
// nrec >= nanimal.
inline SmallModel small_model(int nt, int nlevels, int nanimal, int nrec, unsigned long long seed) {
  SmallModel m;
  m.nt = nt;
  m.nlevels = nlevels;
  m.nanimal = nanimal;
  // A pedigree without inbreeding: founders, full and half sibs, animals
  // with only a sire or only a dam known, and matings of unrelated animals.
  static const int table[][2] = {{0, 0}, {0, 0}, {0, 0}, {1, 2}, {1, 3},  {4, 0},  {0, 2},  {0, 0}, {8, 5},
                                 {6, 0}, {0, 9}, {0, 0}, {12, 7}, {13, 0}, {10, 0}, {0, 11}, {12, 0}};
  constexpr int known = static_cast<int>(sizeof table / sizeof table[0]);
  for (int i = 1; i <= nanimal; ++i) {
    const int s = i <= known ? table[i - 1][0] : i - 4;
    const int d = i <= known ? table[i - 1][1] : 0;
    m.ped.push_back({i, s, d});
  }
  Sixteenths rnd(seed);
  for (int k = 0; k < nrec; ++k) {
    Record r;
    r.animal = k < nanimal ? k + 1 : 1 + static_cast<int>((k * 7) % nanimal);
    r.level = 1 + k % nlevels;
    // A covariable of 0 would be the missing code.
    r.cov = rnd.next(1.5);
    if (r.cov == 0) r.cov = 0.0625;
    for (int t = 0; t < nt; ++t) r.y.push_back(10.0 * (t + 1) + rnd.next(3.0));
    m.recs.push_back(r);
  }
  m.G = Dense(nt);
  m.R = Dense(nt);
  for (int i = 0; i < nt; ++i) {
    m.G(i, i) = 1.0 + 0.5 * i;
    m.R(i, i) = 2.0 - 0.25 * i;
    for (int j = 0; j < i; ++j) {
      m.G(i, j) = m.G(j, i) = 0.375;
      m.R(i, j) = m.R(j, i) = 0.5;
    }
  }
  return m;
}

// Batch means of one statistic of the chain.
struct BatchMeans {
  int per_batch;
  std::vector<double> batches;
  double sum = 0;
  int in_batch = 0;
  explicit BatchMeans(int n) : per_batch(n) {}
  void add(double x) {
    sum += x;
    if (++in_batch == per_batch) {
      batches.push_back(sum / per_batch);
      sum = 0;
      in_batch = 0;
    }
  }
  double mean() const {
    double m = 0;
    for (double x : batches) m += x;
    return m / static_cast<double>(batches.size());
  }
  // Standard error of the mean.
  double se() const {
    const double m = mean();
    double v = 0;
    for (double x : batches) v += (x - m) * (x - m);
    const double k = static_cast<double>(batches.size());
    return std::sqrt(v / (k - 1) / k);
  }
};

// ---------------------------------------------------------------------------
// The chain in process.

// Leaves every global of the chain as a fresh process finds it.
inline void fresh_globals() {
  model::m = model::Model{};
  rangen::clear_hooks();
  denseop::denseop_tol = 1e-10;
}

}  // namespace chaintest

namespace run {
int velmoran_main(CycleTimes* times);
}

namespace chaintest {

// Starts the whole program in a child process of this one on parameter file
// par (read from its standard input), after prepare() there, with its
// standard output and error in file out and times handed to it.  Returns the
// child's process id.
inline pid_t start_program_in_child(const std::string& par, const std::string& out,
                                    const std::function<void()>& prepare, run::CycleTimes* times = nullptr) {
  std::cout.flush();
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    fresh_globals();
    prepare();
    const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) ::_exit(3);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
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
  return pid;
}

// The exit status of child pid once it ends, or -signal when a signal ended it.
inline int child_status(pid_t pid) {
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (WIFSIGNALED(st)) return -WTERMSIG(st);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -999;
}

// The same, run to its end: the child's exit status.
inline int program_in_child(const std::string& par, const std::string& out,
                            const std::function<void()>& prepare, run::CycleTimes* times = nullptr) {
  return child_status(start_program_in_child(par, out, prepare, times));
}

// Runs each test in a fresh empty folder.
class ChainFolder : public testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("chain_") + info->test_suite_name() + "_" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');  // parameterised tests
    dir_ = fs::path(testing::TempDir()) / name;
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    fs::current_path(dir_);
    fresh_globals();
  }
  void TearDown() override {
    fresh_globals();
    fs::current_path(old_);
  }
  const fs::path& dir() const { return dir_; }

 private:
  fs::path old_, dir_;
};

// Start-up of the program for the files in the working folder, function by
// function: parameter file, seed, state, pedigree files, data file, clock.
// Returns what it printed.
inline std::string start_chain(model::State& s, const std::string& parfile = "params.txt") {
  testing::internal::CaptureStdout();
  try {
    model::m.parfile = parfile;
    util::TextIn in(parfile);
    textop::read_parameter_text(in);
    prob::set_seed(model::m.seed);
    modeltest::allocate_for_model(s);
    run::read_files(s);
    sampler::open_data_file(s, model::m.datafile);
    model::start_clock(s);
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

// The first half of a cycle: group inverses, reset and rebuild of the
// equations.
inline void build_equations(model::State& s, int round) {
  model::m.round = round;
  run::invert_group_blocks();
  run::reset_equations(s);
  sampler::setup_eq(s);
}

// One cycle with the (co)variances held fixed: the equations and the block
// pass, no dispersion step.
inline void fixed_cycle(model::State& s, int round) {
  build_equations(s, round);
  run::gibbssol(s);
}

// Standard output of f.
inline std::string stdout_of(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

// With the (co)variances held fixed the chain samples the posterior of the
// location effects: mean C^-1 b and covariance C^-1 of the dense system.
// Checked on batch means of a long chain run in the working folder.
inline void expect_dense_location_posterior(const SmallModel& sm, const fs::path& dir) {
  sm.write_files(dir);
  model::State s;
  start_chain(s);
  const int n = s.neq, nt = sm.nt;
  Dense C;
  std::vector<double> b;
  sm.mme(C, b);
  const Dense Ci = inverse(C);
  const std::vector<double> xs = multiply(Ci, b);

  const int burn = 200, kept = 15000, batch = kept / 50;
  std::vector<BatchMeans> mean(static_cast<std::size_t>(n), BatchMeans(batch));
  std::vector<BatchMeans> var(static_cast<std::size_t>(n), BatchMeans(batch));
  std::vector<BatchMeans> cov(static_cast<std::size_t>(n / nt), BatchMeans(batch));  // traits 1, 2 of a block
  // The equations of absent effects stay 0 in every cycle.
  long nonzero_absent = 0;
  stdout_of([&] { fixed_cycle(s, 1); });
  for (int round = 2; round <= burn + kept; ++round) {
    fixed_cycle(s, round);
    for (int q = 1; q <= n; ++q) nonzero_absent += sm.absent_eq(q) && s.SOL(q) != 0.0;
    if (round <= burn) continue;
    for (int q = 0; q < n; ++q) {
      const double d = s.SOL(q + 1) - xs[static_cast<std::size_t>(q)];
      mean[static_cast<std::size_t>(q)].add(d);
      var[static_cast<std::size_t>(q)].add(d * d);
    }
    for (int k = 0; k < n / nt && nt >= 2; ++k)
      cov[static_cast<std::size_t>(k)].add((s.SOL(k * nt + 1) - xs[static_cast<std::size_t>(k * nt)]) *
                                           (s.SOL(k * nt + 2) - xs[static_cast<std::size_t>(k * nt + 1)]));
  }
  EXPECT_EQ(nonzero_absent, 0);

  // Within a few standard errors of the chain (batch means), and the
  // standard errors small enough for the comparison to mean something.
  const double z = 4.5;
  for (int q = 0; q < n; ++q) {
    if (sm.absent_eq(q + 1)) continue;
    const double v = Ci(q, q);
    const BatchMeans& m = mean[static_cast<std::size_t>(q)];
    const BatchMeans& w = var[static_cast<std::size_t>(q)];
    EXPECT_LT(std::fabs(m.mean()), z * m.se()) << "mean of equation " << q + 1 << ": " << xs[q] + m.mean()
                                               << " against " << xs[q];
    EXPECT_LT(m.se(), 0.05 * std::sqrt(v)) << "equation " << q + 1;
    EXPECT_LT(std::fabs(w.mean() - v), z * w.se()) << "variance of equation " << q + 1 << ": " << w.mean()
                                                  << " against " << v;
    EXPECT_LT(w.se(), 0.1 * v) << "equation " << q + 1;
  }
  for (int k = 0; k < n / nt && nt >= 2; ++k) {
    if (sm.absent_eq(k * nt + 1) || sm.absent_eq(k * nt + 2)) continue;
    const double c = Ci(k * nt, k * nt + 1);
    const BatchMeans& m = cov[static_cast<std::size_t>(k)];
    EXPECT_LT(std::fabs(m.mean() - c), z * m.se()) << "covariance in block " << k + 1 << ": " << m.mean()
                                                  << " against " << c;
  }
}

// ---------------------------------------------------------------------------
// The program and the simulator as processes.

// Path of a program built beside the test executable, or named by an
// environment variable; "" when neither exists.
inline std::string tool_path(const char* env, const char* name) {
  if (const char* p = std::getenv(env); p && fs::exists(p)) return p;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = self.parent_path() / name;
    if (fs::exists(beside)) return beside.string();
  }
  return "";
}
inline std::string program_path() { return tool_path("VELMORAN_EXE", "velmoran"); }
inline std::string simulator_path() { return tool_path("VELMORAN_SIMULATE", "simulate"); }

inline std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

inline std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream o;
  o << in.rdbuf();
  return o.str();
}

inline std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

struct Process {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out, err;
};

// Runs command in folder dir with the given standard input; its output goes
// to files beside dir, not into it.
inline Process run_in(const fs::path& dir, const std::string& command, const std::string& input) {
  const fs::path base = dir.parent_path() / dir.filename();
  const fs::path in = base.string() + ".stdin", out = base.string() + ".stdout",
                 err = base.string() + ".stderr";
  std::ofstream(in) << input;
  const std::string cmd = "cd " + quoted(dir.string()) + " && " + command + " < " + quoted(in.string()) +
                          " > " + quoted(out.string()) + " 2> " + quoted(err.string());
  const int rc = std::system(cmd.c_str());
  Process p;
  if (rc != -1 && WIFEXITED(rc)) p.status = WEXITSTATUS(rc);
  p.out = read_file(out);
  p.err = read_file(err);
  return p;
}

// The program on the parameter file parfile in dir.
inline Process run_program(const fs::path& dir, const std::string& parfile = "params.txt") {
  return run_in(dir, quoted(program_path()), parfile + "\n");
}

// The simulator writing into dir.
inline Process run_simulator(const fs::path& dir, const std::string& options) {
  return run_in(dir, quoted(simulator_path()) + " " + options, "");
}

// Replaces the value line after keyword in a parameter file.
inline void set_keyword_value(const fs::path& parfile, const std::string& keyword, const std::string& value) {
  std::vector<std::string> lines = lines_of(read_file(parfile));
  bool found = false;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i] == keyword) {
      lines[i + 1] = value;
      found = true;
      break;
    }
  ASSERT_TRUE(found) << keyword;
  std::ofstream o(parfile);
  for (const std::string& l : lines) o << l << "\n";
}

// Matrices that follow a label line in a text file: the rows after the
// first line that contains label, n rows of n numbers.
inline Dense matrix_after(const std::vector<std::string>& lines, const std::string& label, int n) {
  Dense m(n);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(label) == std::string::npos) continue;
    for (int r = 0; r < n; ++r) {
      if (i + 1 + static_cast<std::size_t>(r) >= lines.size()) {
        ADD_FAILURE() << "short matrix after " << label;
        return m;
      }
      std::istringstream row(lines[i + 1 + static_cast<std::size_t>(r)]);
      for (int c = 0; c < n; ++c)
        if (!(row >> m(r, c))) ADD_FAILURE() << "bad row after " << label;
    }
    return m;
  }
  ADD_FAILURE() << "no line " << label;
  return m;
}

// Calibration: the posterior means of G (the animal group) and R in the
// "varcomp" of folder d lie within four posterior standard deviations of the
// true values in the simulator's "truth.txt", and those deviations are
// small against the truth.
inline void expect_calibrated(const fs::path& d, int nt) {
  const auto truth = lines_of(read_file(d / "truth.txt"));
  const auto varcomp = lines_of(read_file(d / "varcomp"));
  struct Part {
    const char* name;
    Dense truth, mean, sd;
  };
  const Part parts[2] = {
      {"G", matrix_after(truth, "GENETIC_(CO)VARIANCES", nt),
       matrix_after(varcomp, "Average variance components (G) for effect:", nt),
       matrix_after(varcomp, "Std deviation of variance components (G) for effect:", nt)},
      {"R", matrix_after(truth, "RESIDUAL_(CO)VARIANCES", nt), matrix_after(varcomp, "Average residuals (R)", nt),
       matrix_after(varcomp, "Std deviation of residuals (R)", nt)}};
  for (const Part& p : parts)
    for (int i = 0; i < nt; ++i)
      for (int j = i; j < nt; ++j) {
        const double t = p.truth(i, j), m = p.mean(i, j), s = p.sd(i, j);
        EXPECT_GT(s, 0.0) << p.name << "(" << i + 1 << "," << j + 1 << ")";
        EXPECT_LT(s, 0.5 * std::sqrt(p.truth(i, i) * p.truth(j, j))) << p.name << "(" << i + 1 << "," << j + 1 << ")";
        EXPECT_LT(std::fabs(m - t), 4.0 * s)
            << p.name << "(" << i + 1 << "," << j + 1 << "): mean " << m << ", sd " << s << ", truth " << t;
      }
}

}  // namespace chaintest
