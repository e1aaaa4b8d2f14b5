// Reduced animal models and candidate sires through the whole program: a
// reduced animal model is a reparametrisation of the full one, so both give
// the same posterior means of the variances, the same per-record
// log-likelihoods and the same posterior probabilities of candidate sires;
// with uncertain paternity the true sire gets the highest posterior
// probability far more often than chance.  The reduced model's own loops
// give what the general steps give, byte for byte.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "run/chain_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/records.hpp"
#include "sampler/eq_plan.hpp"
#include "sampler/setup_eq.hpp"

namespace {

using namespace chaintest;

#define NEED_TOOLS()                                                           \
  do {                                                                         \
    if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";        \
    if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set"; \
  } while (0)

std::vector<double> numbers(const std::string& line) {
  std::istringstream in(line);
  std::vector<double> v;
  for (double x; in >> x;) v.push_back(x);
  return v;
}

// Mean and batch-means standard error of G and R of a one-trait chain from
// its "varcompsam" (cycle, g, r per written cycle), over the cycles past
// burn-in.
struct Posterior {
  double mean[2] = {0, 0}, se[2] = {0, 0};
};

Posterior posterior(const fs::path& d, int nburn) {
  const auto lines = lines_of(read_file(d / "varcompsam"));
  std::vector<double> x[2];
  for (std::size_t i = 0; i + 2 < lines.size(); i += 3) {
    if (numbers(lines[i])[0] <= nburn) continue;
    x[0].push_back(numbers(lines[i + 1])[0]);
    x[1].push_back(numbers(lines[i + 2])[0]);
  }
  Posterior p;
  constexpr int batches = 20;
  for (int k = 0; k < 2; ++k) {
    const std::size_t n = x[k].size(), b = n / batches;
    double m = 0;
    for (double v : x[k]) m += v;
    m /= static_cast<double>(n);
    double ss = 0;
    for (int j = 0; j < batches; ++j) {
      double bm = 0;
      for (std::size_t i = 0; i < b; ++i) bm += x[k][j * b + i];
      bm /= static_cast<double>(b);
      ss += (bm - m) * (bm - m);
    }
    p.mean[k] = m;
    p.se[k] = std::sqrt(ss / (batches - 1) / batches);
  }
  return p;
}

class ReducedModel : public ChainFolder {};

// ---------------------------------------------------------------------------
// The reduced model against the full one on the same simulated data: the
// simulator's reduced data set, and a copy whose "ram" effect has every
// pedigree line as a level, so that every animal has its own equation.

// Per written cycle of "varcompsam" past nburn: the values of G and R.
std::vector<std::vector<double>> varcomp_samples(const fs::path& d, int nburn) {
  std::vector<std::vector<double>> rows;
  bool keep = false;
  for (const std::string& l : lines_of(read_file(d / "varcompsam"))) {
    if (l.find('.') == std::string::npos) {  // the cycle's number
      keep = numbers(l)[0] > nburn;
      if (keep) rows.emplace_back();
    } else if (keep) {
      rows.back().push_back(numbers(l)[0]);
    }
  }
  return rows;
}

// Per data record after the header lines of "loglike_obs": the log of its CPO
// and its average log-likelihood.
std::vector<std::pair<double, double>> record_loglikes(const fs::path& d) {
  std::vector<std::pair<double, double>> v;
  const auto lines = lines_of(read_file(d / "loglike_obs"));
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::vector<double> x = numbers(lines[i]);
    v.emplace_back(std::log(x[1]), x[2]);
  }
  return v;
}

// Posterior share of each (animal, candidate) in "msiresppr".
std::map<std::pair<long, long>, double> sire_shares(const fs::path& d) {
  std::map<std::pair<long, long>, double> v;
  const auto lines = lines_of(read_file(d / "msiresppr"));
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::vector<double> x = numbers(lines[i]);
    v[{static_cast<long>(x[0]), static_cast<long>(x[1])}] = x[5];
  }
  return v;
}

struct FullCase {
  const char* name;
  const char* options;  // simulator options besides the common ones
};
void PrintTo(const FullCase& c, std::ostream* o) { *o << c.name; }

class ReducedAgainstFull : public ChainFolder, public testing::WithParamInterface<FullCase> {};

TEST_P(ReducedAgainstFull, SamePosteriorAndPerRecordLogLikelihoods) {
  NEED_TOOLS();
  const fs::path red = dir() / "reduced", full = dir() / "full";
  constexpr int nburn = 300;
  fs::create_directories(red);
  // Heritabilities of 2/3 and 3/5: G lies well inside its space, where
  // the repair of a quadratic form that is not positive definite (an
  // approximation, which would meet the two chains' forms differently) is
  // not needed.
  const Process sim = run_simulator(red, std::string("--traits 2 --records 400 --g 2,0.6,1.5 --r 1,0.2,1 "
                                                     "--nround 3000 --nburn 300 --skip 1 --reduced ") +
                                             GetParam().options);
  ASSERT_EQ(sim.status, 0) << sim.err;
  fs::create_directories(full);
  for (const auto& f : fs::directory_iterator(red)) fs::copy(f.path(), full / f.path().filename());
  // The full model: the "ram" effect's levels are every pedigree line.
  const std::size_t animals = lines_of(read_file(red / "pedigree.txt")).size();
  std::string params;
  int with_equations = 0;
  for (const std::string& l : lines_of(read_file(red / "params.txt"))) {
    std::vector<std::string> w;
    std::istringstream in(l);
    for (std::string x; in >> x;) w.push_back(x);
    if (w.size() == 5 && w[3] == "ram") {
      with_equations = std::stoi(w[2]);
      params += w[0] + " " + w[1] + " " + std::to_string(animals) + " cross n\n";
    } else {
      params += l + "\n";
    }
  }
  ASSERT_GT(with_equations, 0);
  std::ofstream(full / "params.txt") << params;
  for (const fs::path& d : {red, full}) {
    const Process p = run_program(d);
    ASSERT_EQ(p.status, 0) << d << p.out << p.err;
  }

  // G and R: batch means of the two chains within four standard errors.
  const auto a = varcomp_samples(red, nburn), b = varcomp_samples(full, nburn);
  ASSERT_EQ(a.size(), b.size());
  ASSERT_EQ(a[0].size(), 6u);  // G and R of two traits
  for (std::size_t k = 0; k < a[0].size(); ++k) {
    BatchMeans x(static_cast<int>(a.size()) / 20), y(static_cast<int>(b.size()) / 20);
    for (const auto& r : a) x.add(r[k]);
    for (const auto& r : b) y.add(r[k]);
    EXPECT_LT(std::fabs(x.mean() - y.mean()), 4.0 * std::hypot(x.se(), y.se()))
        << "value " << k << ": reduced " << x.mean() << " (" << x.se() << "), full " << y.mean() << " ("
        << y.se() << ")";
  }

  // Per record with both traits observed (an imputed trait makes the
  // density noisy): its average log-likelihood differs between the chains
  // only by their sampling error, which the records of animals with
  // equations in both (the parents) show.  (Its CPO, a harmonic mean, is
  // too noisy for this.)
  const auto la = record_loglikes(red), lb = record_loglikes(full);
  ASSERT_EQ(la.size(), 400u);
  ASSERT_EQ(lb.size(), 400u);
  double ss[2] = {0, 0};
  int n[2] = {0, 0};
  const auto data = lines_of(read_file(red / "data.txt"));
  for (std::size_t i = 0; i < la.size(); ++i) {
    const std::vector<double> x = numbers(data[i]);
    if (x[0] == 0.0 || x[1] == 0.0) continue;
    const int nonparent = x[4] > with_equations ? 1 : 0;
    ss[nonparent] += std::pow(la[i].second - lb[i].second, 2);
    EXPECT_TRUE(std::isfinite(la[i].first)) << "record " << i + 1;
    ++n[nonparent];
  }
  ASSERT_GT(n[0], 50);
  ASSERT_GT(n[1], 50);
  EXPECT_LT(std::sqrt(ss[1] / n[1]), 2.0 * std::sqrt(ss[0] / n[0]))
      << "average log-likelihood: root mean square difference of " << n[1]
      << " records of animals without equations against " << n[0] << " others";

  // Candidate sires: the same posterior shares.
  if (!fs::exists(red / "msires.txt")) return;
  const auto sa = sire_shares(red), sb = sire_shares(full);
  ASSERT_EQ(sa.size(), sb.size());
  double sum = 0;
  for (const auto& [k, v] : sa) sum += std::pow(v - sb.at(k), 2);
  EXPECT_LT(std::sqrt(sum / static_cast<double>(sa.size())), 0.05);
}

INSTANTIATE_TEST_SUITE_P(
    Reduced, ReducedAgainstFull,
    testing::Values(FullCase{"missing_traits", "--missing 0.25 --seed 31"},
                    FullCase{"weights", "--weights --seed 32"},
                    FullCase{"candidates_missing", "--candidates 0.4 --missing 0.2 --seed 33"}),
    [](const testing::TestParamInfo<FullCase>& i) { return std::string(i.param.name); });

TEST_F(ReducedModel, GivesThePosteriorMeansOfTheFullAnimalModel) {
  NEED_TOOLS();
  const fs::path full = dir() / "full", red = dir() / "reduced";
  const std::string common = "--records 800 --nround 6000 --nburn 500 --skip 2 --seed 12";
  for (const fs::path& d : {full, red}) {
    fs::create_directories(d);
    const Process sim = run_simulator(d, common + (d == red ? " --reduced" : ""));
    ASSERT_EQ(sim.status, 0) << sim.err;
    const Process p = run_program(d);
    ASSERT_EQ(p.status, 0) << p.out << p.err;
  }
  const Posterior a = posterior(full, 500), b = posterior(red, 500);
  const char* names[2] = {"G", "R"};
  for (int k = 0; k < 2; ++k) {
    EXPECT_GT(b.se[k], 0.0);
    EXPECT_LT(std::fabs(a.mean[k] - b.mean[k]), 4.0 * std::hypot(a.se[k], b.se[k]))
        << names[k] << ": full " << a.mean[k] << " (" << a.se[k] << "), reduced " << b.mean[k] << " ("
        << b.se[k] << ")";
  }

  // The animals without equations have their values in "solutions" beside
  // the others, and every record its log-likelihood.
  const auto sol = lines_of(read_file(red / "solutions"));
  const auto ped = lines_of(read_file(red / "pedigree.txt"));
  std::size_t effect3 = 0;
  for (std::size_t i = 2; i < sol.size(); ++i) effect3 += numbers(sol[i])[1] == 3;
  EXPECT_EQ(effect3, ped.size());
  const auto ll = lines_of(read_file(red / "loglike_obs"));
  ASSERT_EQ(ll.size(), 2u + 800u);
  for (std::size_t i = 2; i < ll.size(); ++i)
    for (double x : numbers(ll[i])) ASSERT_TRUE(std::isfinite(x)) << ll[i];
}

TEST_F(ReducedModel, TrueSiresGetTheHighestPosteriorProbability) {
  NEED_TOOLS();
  // A heritability of 0.8: each animal's own record tells of its sire.
  const Process sim = run_simulator(dir(), "--records 800 --nround 600 --nburn 100 --skip 2 --seed 8 --reduced "
                                           "--candidates 0.5 --g 4 --r 1");
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;

  std::map<long, long> truth;
  bool in = false;
  for (const std::string& l : lines_of(read_file(dir() / "truth.txt"))) {
    if (in) {
      const std::vector<double> v = numbers(l);
      truth[static_cast<long>(v[0])] = static_cast<long>(v[1]);
    }
    in = in || l.rfind("TRUE_SIRES", 0) == 0;
  }
  // msiresppr: animal, sire, probability mean, sd, last, share of the draws.
  std::map<long, std::vector<std::pair<long, double>>> drawn;
  const auto lines = lines_of(read_file(dir() / "msiresppr"));
  for (std::size_t i = 2; i < lines.size(); ++i) {
    const std::vector<double> v = numbers(lines[i]);
    ASSERT_EQ(v.size(), 6u) << lines[i];
    drawn[static_cast<long>(v[0])].push_back({static_cast<long>(v[1]), v[5]});
  }
  ASSERT_EQ(drawn.size(), truth.size());
  double hits = 0, chance = 0, var = 0;
  for (const auto& [animal, c] : drawn) {
    double sum = 0;
    std::size_t best = 0;
    for (std::size_t k = 0; k < c.size(); ++k) {
      sum += c[k].second;
      if (c[k].second > c[best].second) best = k;
    }
    EXPECT_NEAR(sum, 1.0, 1e-6) << animal;
    hits += c[best].first == truth[animal];
    const double q = 1.0 / static_cast<double>(c.size());
    chance += q;
    var += q * (1 - q);
  }
  EXPECT_GT(truth.size(), 200u);
  EXPECT_GT(hits, chance + 4.0 * std::sqrt(var)) << "hits " << hits << " of " << truth.size();
}

// ---------------------------------------------------------------------------
// The reduced model's own loops (the Mendelian step of one trait, the
// classes of records by weight and DINV, the residual pass over the records
// of animals with equations alone, the additions of one trait in order)
// against the general steps, through the whole program: every output file
// byte for byte, for models that take them all and models that take some.

// Runs the program in a child process in folder d after set() there; its
// standard output goes to d/stdout.  Returns the exit status.
int run_child(const fs::path& d, const std::function<void()>& set) {
  return program_in_child("params.txt", (d / "stdout").string(), [&] {
    fs::current_path(d);
    set();
  });
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

struct Run {
  const char* name;
  std::function<void()> set;  // the switches of the test seam, in the child
};

// The simulator's data with options, run by each of runs: every output file
// byte for byte that of the first; a run of nrec records past burn-in.
void expect_same_outputs(const fs::path& top, const std::string& options, const std::vector<Run>& runs,
                         int nrec) {
  const fs::path data = top / "data";
  fs::create_directories(data);
  const Process sim = run_simulator(data, "--records " + std::to_string(nrec) +
                                              " --nround 120 --nburn 40 --skip 2 " + options);
  ASSERT_EQ(sim.status, 0) << sim.err;
  for (const Run& r : runs) {
    const fs::path d = top / r.name;
    fs::create_directories(d);
    for (const auto& f : fs::directory_iterator(data)) fs::copy(f.path(), d / f.path().filename());
    ASSERT_EQ(run_child(d, r.set), 0) << r.name << "\n" << read_file(d / "stdout");
  }
  const fs::path first = top / runs[0].name;
  int files = 0;
  for (const auto& f : fs::directory_iterator(first)) {
    ++files;
    for (const Run& r : runs) {
      const fs::path other = top / r.name / f.path().filename();
      ASSERT_TRUE(fs::exists(other)) << other;
      EXPECT_TRUE(compared(f.path()) == compared(other)) << f.path().filename() << " differs in " << r.name;
    }
  }
  EXPECT_GE(files, 12);
  // The chain ran past burn-in: the records have log-likelihoods.
  EXPECT_EQ(lines_of(read_file(first / "loglike_obs")).size(), 2u + static_cast<std::size_t>(nrec));
}

class ReducedLoops : public ChainFolder, public testing::WithParamInterface<FullCase> {};

TEST_P(ReducedLoops, GiveWhatTheGeneralStepsGive) {
  if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  expect_same_outputs(dir(), std::string("--reduced ") + GetParam().options,
                      {
                          {"own_loops", [] {}},
                          // Every pass finds the slots again: the general steps throughout.
                          {"general", [] { sampler::allow_kept_slots = false; }},
                          // Slots kept, the reduced model's own loops off.
                          {"kept_general",
                           [] {
                             sampler::one_trait_mendelian = false;
                             sampler::use_record_classes = false;
                           }},
                      },
                      1200);
}

INSTANTIATE_TEST_SUITE_P(
    Reduced, ReducedLoops,
    testing::Values(FullCase{"one_trait", "--traits 1 --seed 41"},
                    FullCase{"one_trait_weights", "--traits 1 --weights --seed 42"},
                    FullCase{"two_traits_missing_weights", "--traits 2 --missing 0.2 --weights --seed 43"},
                    FullCase{"structural", "--traits 1 --structural 3 --seed 44"},
                    FullCase{"student_t", "--traits 1 --student-t 5 --seed 45"}),
    [](const testing::TestParamInfo<FullCase>& i) { return std::string(i.param.name); });

// The groups whose terms the plan adds in its own way (drawn sires looked up
// by their slots, multiple-breed terms kept between cycles): every cycle
// through the table gives every output file byte for byte.
class PlannedBuilds : public ChainFolder, public testing::WithParamInterface<FullCase> {};

TEST_P(PlannedBuilds, GiveWhatTheTableGives) {
  if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  expect_same_outputs(dir(), GetParam().options,
                      {{"planned", [] {}}, {"table", [] { sampler::allow_planned_builds = false; }}}, 600);
}

INSTANTIATE_TEST_SUITE_P(
    Groups, PlannedBuilds,
    testing::Values(FullCase{"candidate_sires", "--traits 2 --candidates 0.3 --seed 46"},
                    FullCase{"reduced_candidates", "--traits 1 --reduced --candidates 0.3 --seed 47"},
                    FullCase{"breeds", "--traits 1 --breeds 1,2,0.3 --unknown 0 --seed 48"}),
    [](const testing::TestParamInfo<FullCase>& i) { return std::string(i.param.name); });

}  // namespace
