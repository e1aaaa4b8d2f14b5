// The chain end to end: the block pass over the equations of a cycle, the
// posterior of the location effects with the (co)variances held fixed, the
// printed system of a small model, and whole runs of the program: seeds,
// result files, stops and the calibration of the (co)variance estimates on
// simulated data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

// ---------------------------------------------------------------------------
// Helpers of the in-process tests.

// The coefficient matrix held in XX, both triangles.
Dense dense_of(const sparsem::sparse_hashm& XX, int n) {
  Dense C(n);
  for (int j = 1; j <= n; ++j)
    for (int i = 1; i <= j; ++i) C(i - 1, j - 1) = C(j - 1, i - 1) = sparsem::get_sparse_hashm(i, j, XX);
  return C;
}

std::vector<double> values_of(const util::vec1<double>& v) { return {v.data(), v.data() + v.size()}; }

// One sweep of block Gauss-Seidel over blocks of nt consecutive equations in
// ascending order, from x.
std::vector<double> block_gauss_seidel(const Dense& C, const std::vector<double>& b, std::vector<double> x,
                                       int nt) {
  const int n = C.n;
  for (int f = 0; f < n; f += nt) {
    Dense B(nt);
    std::vector<double> r(static_cast<std::size_t>(nt));
    for (int i = f; i < f + nt; ++i) {
      double v = b[static_cast<std::size_t>(i)];
      for (int j = 0; j < n; ++j) {
        if (j >= f && j < f + nt)
          B(i - f, j - f) = C(i, j);
        else
          v -= C(i, j) * x[static_cast<std::size_t>(j)];
      }
      r[static_cast<std::size_t>(i - f)] = v;
    }
    const std::vector<double> xb = multiply(inverse(B), r);
    for (int i = 0; i < nt; ++i) x[static_cast<std::size_t>(f + i)] = xb[static_cast<std::size_t>(i)];
  }
  return x;
}

double max_abs(const std::vector<double>& v) {
  double m = 0;
  for (double x : v) m = std::max(m, std::fabs(x));
  return m;
}

double max_diff(const util::vec1<double>& a, const std::vector<double>& b) {
  double m = 0;
  for (long q = 1; q <= a.size(); ++q) m = std::max(m, std::fabs(a(q) - b[static_cast<std::size_t>(q - 1)]));
  return m;
}

// The pedigree of the models is free of inbreeding, so that the tabular A^-1
// is the one the additive rules build.
void expect_no_inbreeding(const SmallModel& sm) {
  const Dense A = sm.relationship();
  for (int i = 0; i < sm.nanimal; ++i) ASSERT_EQ(A(i, i), 1.0) << "animal " << i + 1;
}

// ---------------------------------------------------------------------------
// With every normal deviate 0 the pass is block Gauss-Seidel.

class BlockPass : public ChainFolder {};

TEST_F(BlockPass, IsExactBlockGaussSeidelAndConvergesToTheDenseSolution) {
  const SmallModel sm = small_model(2, 3, 8, 14, 5);
  expect_no_inbreeding(sm);
  ASSERT_EQ(sm.neq(), 24);
  sm.write_files(dir());
  model::State s;
  start_chain(s);
  ASSERT_EQ(s.neq, 24);
  // A chain that starts at cycle 2 computes no starting solutions, so the
  // sweeps start from the values put into SOL.
  model::m.start = 2;
  for (int q = 1; q <= s.neq; ++q) s.SOL(q) = 0.75 * (q % 5) - 1.5;

  long draws = 0;
  rangen::set_normal_hook([&draws] {
    ++draws;
    return 0.0f;
  });

  Dense C;
  std::vector<double> b;
  sm.mme(C, b);
  const std::vector<double> xs = multiply(inverse(C), b);
  const double scale = 1.0 + max_abs(xs);

  stdout_of([&] { build_equations(s, 2); });
  // The equations of the cycle are the dense reference (the pedigree's
  // single-parent multiplier is the 32-bit 4/3, hence the tolerance).
  const Dense H = dense_of(s.XX, s.neq);
  const std::vector<double> rhs = values_of(s.XY);
  for (int j = 0; j < s.neq; ++j) {
    for (int i = 0; i < s.neq; ++i)
      ASSERT_NEAR(H(i, j), C(i, j), 1e-6 * (1.0 + std::fabs(C(i, j)))) << "(" << i + 1 << "," << j + 1 << ")";
    ASSERT_NEAR(rhs[static_cast<std::size_t>(j)], b[static_cast<std::size_t>(j)], 1e-9 * (1.0 + std::fabs(b[j])));
  }

  // The first pass is one sweep of block Gauss-Seidel from the start values,
  // with the later blocks' old values and the earlier blocks' new ones.
  const std::vector<double> sweep = block_gauss_seidel(H, rhs, values_of(s.SOL), 2);
  stdout_of([&] { run::gibbssol(s); });
  for (int q = 1; q <= s.neq; ++q)
    EXPECT_NEAR(s.SOL(q), sweep[static_cast<std::size_t>(q - 1)], 1e-11 * scale) << "equation " << q;
  // Two deviates per block of two traits, nothing else drawn.
  EXPECT_EQ(draws, 24);

  // Later cycles rebuild the equations and sweep again: the pass converges
  // to the solution of the equations.
  const std::vector<double> hs = multiply(inverse(H), rhs);
  int round = 3;
  double change = 1.0;
  for (; round <= 3000 && change > 1e-14 * scale; ++round) {
    const std::vector<double> before = values_of(s.SOL);
    fixed_cycle(s, round);
    change = max_diff(s.SOL, before);
  }
  EXPECT_LT(round, 3000) << "no convergence";
  EXPECT_EQ(draws, 24L * (round - 2));
  EXPECT_LT(max_diff(s.SOL, hs), 1e-10 * scale);
  EXPECT_LT(max_diff(s.SOL, xs), 1e-6 * scale);
}

TEST_F(BlockPass, StartSolutionsOfTheFirstCycleSolveTheEquations) {
  const SmallModel sm = small_model(2, 3, 8, 14, 6);
  sm.write_files(dir());
  model::State s;
  start_chain(s);
  Dense C;
  std::vector<double> b;
  sm.mme(C, b);
  const std::vector<double> xs = multiply(inverse(C), b);
  rangen::set_normal_hook([] { return 0.0f; });

  // Cycle 1 solves by conjugate gradients; the pass that follows leaves
  // the solution where it is.  24 equations: nothing of the system printed.
  // The solver stops when the squared residual falls below 1e-10 of the
  // right-hand side's; the sweep after it keeps it there.
  const std::string out = stdout_of([&] { fixed_cycle(s, 1); });
  const std::vector<double> cx = multiply(C, values_of(s.SOL));
  double rr = 0, bb = 0;
  for (std::size_t q = 0; q < b.size(); ++q) {
    rr += (b[q] - cx[q]) * (b[q] - cx[q]);
    bb += b[q] * b[q];
  }
  EXPECT_LT(rr / bb, 1e-10);
  EXPECT_LT(max_diff(s.SOL, xs), 1e-3 * (1.0 + max_abs(xs)));
  EXPECT_EQ(out.find("left hand side"), std::string::npos);
  EXPECT_EQ(out.find("right hand side"), std::string::npos);
  EXPECT_EQ(out.find("start solutions"), std::string::npos);
  EXPECT_NE(out.find("iterations"), std::string::npos) << out;
  // The sample files of a fresh chain are created in cycle 1, and only those
  // the model needs.
  EXPECT_TRUE(fs::exists("varcompsam"));
  EXPECT_TRUE(fs::exists("loglike_rnd"));
  EXPECT_FALSE(fs::exists("solutionsam"));
  EXPECT_FALSE(fs::exists("mh_dbeliefchg"));
}

// ---------------------------------------------------------------------------
// With fixed (co)variances the chain samples the posterior of the
// location effects: mean C^-1 b, covariance C^-1.

TEST_F(ChainFolder, PosteriorOfLocationEffectsMatchesTheDenseSystem) {
  const SmallModel sm = small_model(2, 2, 6, 12, 9);
  expect_no_inbreeding(sm);
  expect_dense_location_posterior(sm, dir());
}

// ---------------------------------------------------------------------------
// The printed system of a small model.

std::string trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(' ');
  if (a == std::string::npos) return "";
  const std::size_t z = s.find_last_not_of(' ');
  return s.substr(a, z - a + 1);
}

std::string fixed(double v, int w, int d) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%*.*f", w, d, v);
  return buf;
}

// A line of fixed fields of width w with d decimals holding values: the
// layout exactly, each value as printed or, where the last digit may round
// either way, within half a unit of it.
void expect_fixed_line(const std::string& line, const std::vector<double>& values, int w, int d,
                       const std::string& what) {
  ASSERT_EQ(line.size(), values.size() * static_cast<std::size_t>(w)) << what << ": \"" << line << "\"";
  for (std::size_t k = 0; k < values.size(); ++k) {
    const std::string field = line.substr(k * static_cast<std::size_t>(w), static_cast<std::size_t>(w));
    const std::string want = fixed(values[k], w, d);
    if (field == want) continue;
    const double got = std::atof(field.c_str());
    EXPECT_EQ(field, fixed(got, w, d)) << what << " field " << k + 1;
    EXPECT_LE(std::fabs(got - values[k]), 0.5 * std::pow(10.0, -d) + 1e-9)
        << what << " field " << k + 1 << ": \"" << field << "\" for " << values[k];
  }
}

// Values v split into lines of per_line.
std::vector<std::vector<double>> chunks(const std::vector<double>& v, std::size_t per_line) {
  std::vector<std::vector<double>> out;
  for (std::size_t k = 0; k < v.size(); k += per_line)
    out.emplace_back(v.begin() + static_cast<long>(k), v.begin() + static_cast<long>(std::min(v.size(), k + per_line)));
  return out;
}

// Index of the first line at or after from whose trimmed text starts with
// prefix; lines.size() when none.
std::size_t find_line(const std::vector<std::string>& lines, std::size_t from, const std::string& prefix) {
  for (std::size_t i = from; i < lines.size(); ++i)
    if (trim(lines[i]).rfind(prefix, 0) == 0) return i;
  return lines.size();
}

std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> v;
  for (std::string w; in >> w;) v.push_back(w);
  return v;
}

// Distinct upper elements that the records of sm create in the coefficient
// matrix (zeros included), and the count once the pedigree has added its.
void structure_counts(const SmallModel& sm, std::size_t& records, std::size_t& with_pedigree) {
  std::set<std::pair<int, int>> keys;
  auto add = [&keys](int a, int b) {
    if (a <= b) keys.insert({a, b});
  };
  for (const Record& r : sm.recs)
    for (int t1 = 1; t1 <= sm.nt; ++t1)
      for (int t2 = 1; t2 <= sm.nt; ++t2) {
        const int e1[3] = {sm.eq_level(r.level, t1), sm.eq_cov(t1), sm.eq_animal(r.animal, t1)};
        const int e2[3] = {sm.eq_level(r.level, t2), sm.eq_cov(t2), sm.eq_animal(r.animal, t2)};
        for (int a : e1)
          for (int b : e2) add(a, b);
      }
  records = keys.size();
  for (const auto& p : sm.ped)
    for (int k1 = 0; k1 < 3; ++k1)
      for (int k2 = 0; k2 < 3; ++k2)
        if (p[k1] != 0 && p[k2] != 0)
          for (int t1 = 1; t1 <= sm.nt; ++t1)
            for (int t2 = 1; t2 <= sm.nt; ++t2) add(sm.eq_animal(p[k1], t1), sm.eq_animal(p[k2], t2));
  with_pedigree = keys.size();
}

// The output of the first cycle of sm (neq <= 20), from its start-up on.
void expect_printed_system(const std::string& out, const SmallModel& sm) {
  const std::vector<std::string> lines = lines_of(out);
  const int nt = sm.nt, neq = sm.neq();
  Dense C;
  std::vector<double> b;
  sm.mme(C, b);
  const std::vector<double> xs = multiply(inverse(C), b);

  // Slot tables of records 1 to 9: slot outer, trait inner; trait, slot,
  // equation (I8 each) and multiplier (F9.1) after one blank.
  std::size_t i = 0;
  const int nrec = static_cast<int>(sm.recs.size());
  for (int r = 1; r <= std::min(nrec, 9); ++r) {
    const Record& rec = sm.recs[static_cast<std::size_t>(r - 1)];
    ASSERT_LT(i, lines.size());
    EXPECT_EQ(trim(lines[i]), "trait    eff    addr    weight") << "record " << r;
    ++i;
    const int eq[3][3] = {{sm.eq_level(rec.level, 1), sm.eq_cov(1), sm.eq_animal(rec.animal, 1)},
                          {sm.eq_level(rec.level, 2), sm.eq_cov(2), sm.eq_animal(rec.animal, 2)},
                          {0, 0, 0}};
    const double x[3] = {1.0, static_cast<float>(rec.cov), 1.0};
    for (int slot = 1; slot <= 3; ++slot)
      for (int t = 1; t <= nt; ++t, ++i) {
        ASSERT_LT(i, lines.size());
        const std::string& l = lines[i];
        char head[40];
        std::snprintf(head, sizeof head, " %8d%8d%8d", t, slot, eq[t - 1][slot - 1]);
        EXPECT_EQ(l.substr(0, 25), head) << "record " << r << ": \"" << l << "\"";
        if (l.size() >= 25) expect_fixed_line(l.substr(25), {x[slot - 1]}, 9, 1, "slot multiplier");
      }
  }
  // Record 10 and later have no table.
  ASSERT_LT(i, lines.size());
  EXPECT_NE(trim(lines[i]), "trait    eff    addr    weight");

  // Progress lines of the record pass and the pedigree terms, then the
  // system.
  // The counts are the stored elements of the coefficient matrix: every
  // (slot, trait) pair of the records, then the pedigree's.
  std::size_t from_records = 0, from_pedigree = 0;
  structure_counts(sm, from_records, from_pedigree);
  const std::size_t read = find_line(lines, i, "read ");
  ASSERT_EQ(read, i) << out;
  auto w = words(lines[read]);
  ASSERT_EQ(w.size(), 8u) << lines[read];
  EXPECT_EQ(w[1], std::to_string(nrec));
  EXPECT_EQ(w[2] + " " + w[3], "records in");
  EXPECT_EQ(w[5] + " " + w[6] + " " + w[7], "s, " + std::to_string(from_records) + " nonzeroes") << lines[read];
  ASSERT_LT(read + 2, lines.size());
  EXPECT_EQ(words(lines[read + 1]), (std::vector<std::string>{"read", std::to_string(sm.ped.size()), "additive",
                                                                "pedigrees"}));
  const std::size_t peds = read + 2;
  w = words(lines[peds]);
  ASSERT_EQ(w.size(), 7u) << lines[peds];
  EXPECT_EQ(w[0] + " " + w[1] + " " + w[2], "finished peds in");
  EXPECT_EQ(w[4] + " " + w[5] + " " + w[6], "s, " + std::to_string(from_pedigree) + " nonzeroes") << lines[peds];
  const std::size_t lhs = find_line(lines, peds + 1, "left hand side");
  ASSERT_EQ(lhs, peds + 1) << out;
  EXPECT_EQ(trim(lines[lhs]), "left hand side");

  // Every row of the full symmetric matrix, eleven F7.2 fields a line, with
  // no leading text.
  i = lhs + 1;
  for (int row = 0; row < neq; ++row) {
    std::vector<double> v;
    for (int c = 0; c < neq; ++c) v.push_back(C(row, c));
    for (const auto& part : chunks(v, 11)) {
      ASSERT_LT(i, lines.size());
      expect_fixed_line(lines[i++], part, 7, 2, "row " + std::to_string(row + 1));
    }
  }
  // The right-hand side: its title on a line of its own, then groups of ten
  // F8.2 fields, the groups after the first following an empty line.
  ASSERT_LT(i, lines.size());
  EXPECT_EQ(lines[i++], " right hand side:");
  const auto groups = chunks(b, 10);
  for (std::size_t g = 0; g < groups.size(); ++g) {
    if (g > 0) {
      ASSERT_LT(i, lines.size());
      EXPECT_EQ(lines[i++], "");
    }
    ASSERT_LT(i, lines.size());
    expect_fixed_line(lines[i++], groups[g], 8, 2, "right hand side");
  }
  // The conjugate-gradient lines, then the start solutions: ten F8.2 fields
  // a line, no empty lines.
  const std::size_t start = find_line(lines, i, "start solutions:");
  ASSERT_LT(start, lines.size()) << out;
  for (std::size_t k = i; k < start; ++k) {
    const std::string l = trim(lines[k]);
    EXPECT_TRUE(l.rfind("round ", 0) == 0 || l.find(" iterations,") != std::string::npos) << l;
  }
  EXPECT_NE(lines[start - 1].find(" iterations,"), std::string::npos) << lines[start - 1];
  EXPECT_EQ(lines[start], " start solutions: ");
  i = start + 1;
  for (const auto& part : chunks(xs, 10)) {
    ASSERT_LT(i, lines.size());
    expect_fixed_line(lines[i++], part, 8, 2, "start solutions");
  }
  EXPECT_EQ(i, lines.size()) << "after the start solutions: " << (i < lines.size() ? lines[i] : "");
}

class Printing : public ChainFolder {};

TEST_F(Printing, TwentyEquationsOfTwoTraitsAsLaidOut) {
  const SmallModel sm = small_model(2, 2, 7, 10, 13);
  expect_no_inbreeding(sm);
  ASSERT_EQ(sm.neq(), 20);
  sm.write_files(dir());
  model::State s;
  start_chain(s);
  const std::string out = stdout_of([&] { fixed_cycle(s, 1); });
  expect_printed_system(out, sm);
  // Later cycles print nothing.
  EXPECT_EQ(stdout_of([&] { fixed_cycle(s, 2); }), "");
}

TEST_F(Printing, TwentyEquationsPrintTheSystemAndTwentyOneDoNot) {
  for (const int animals : {16, 17}) {
    fresh_globals();
    const SmallModel sm = small_model(1, 3, animals, 18, 17);
    ASSERT_EQ(sm.neq(), 4 + animals);
    sm.write_files(dir());
    model::State s;
    start_chain(s);
    const std::string out = stdout_of([&] { fixed_cycle(s, 1); });
    if (sm.neq() <= 20) {
      expect_printed_system(out, sm);
    } else {
      const std::vector<std::string> lines = lines_of(out);
      // Slot tables and progress lines as before, no system.
      EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                              [](const std::string& l) { return trim(l) == "trait    eff    addr    weight"; }),
                9);
      EXPECT_LT(find_line(lines, 0, "finished peds in "), lines.size()) << out;
      EXPECT_EQ(out.find("left hand side"), std::string::npos) << out;
      EXPECT_EQ(out.find("right hand side"), std::string::npos);
      EXPECT_EQ(out.find("start solutions"), std::string::npos);
    }
    sampler::close(sampler::sample_files(s));
  }
}

// ---------------------------------------------------------------------------
// Whole runs of the program.

#define NEED_TOOLS()                                                                    \
  do {                                                                                  \
    if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";                 \
    if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";          \
  } while (0)

std::set<std::string> files_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

std::size_t line_count(const fs::path& p) { return lines_of(read_file(p)).size(); }

class Program : public ChainFolder {};

// Seeds and the result files of a small run.
TEST_F(Program, SameSeedSameFilesOtherSeedOtherChainAndTheResultFiles) {
  NEED_TOOLS();
  // 2 traits, 300 records of 450 animals, 20 fixed levels; 42 cycles, so the
  // last one is written to the sample files though not a multiple of 5.
  const fs::path a = dir() / "a", b = dir() / "b", c = dir() / "c";
  fs::create_directories(a);
  const Process sim = run_simulator(
      a, "--records 300 --traits 2 --nround 42 --nburn 10 --skip 5 --seed 3 --chain-seed 777");
  ASSERT_EQ(sim.status, 0) << sim.err;
  fs::copy(a, b);
  fs::copy(a, c);
  set_keyword_value(c / "params.txt", "SEED", "778");
  const std::set<std::string> inputs = files_in(a);

  const Process pa = run_program(a), pb = run_program(b), pc = run_program(c);
  ASSERT_EQ(pa.status, 0) << pa.out << pa.err;
  ASSERT_EQ(pb.status, 0) << pb.out << pb.err;
  ASSERT_EQ(pc.status, 0) << pc.out << pc.err;

  // Exactly the result and sample files of this model, the record and the
  // chain state of the last store, and the folder's lock, empty.
  std::set<std::string> made;
  for (const std::string& f : files_in(a))
    if (!inputs.count(f) && f != "store_record" && f != "chain_state" && f != "chain_lock") made.insert(f);
  EXPECT_TRUE(fs::exists(a / "store_record"));
  EXPECT_TRUE(fs::exists(a / "chain_state"));
  EXPECT_EQ(fs::file_size(a / "chain_lock"), 0u);
  const std::set<std::string> expected = {"solutions", "varcomp", "loglike_obs", "varcompsam", "loglike_rnd"};
  EXPECT_EQ(made, expected);

  for (const std::string& f : expected) {
    EXPECT_EQ(read_file(a / f), read_file(b / f)) << f << " differs between two runs of one seed";
    if (f != "loglike_rnd") {
      EXPECT_NE(read_file(a / f), read_file(c / f)) << f << " is the same for two seeds";
    }
  }
  // The log-likelihoods of the kept cycles (15 to 40) differ too; those of
  // burn-in and of the last cycle, which is not kept, are 0.
  const auto la = lines_of(read_file(a / "loglike_rnd")), lc = lines_of(read_file(c / "loglike_rnd"));
  ASSERT_EQ(la.size(), 9u);
  ASSERT_EQ(lc.size(), 9u);
  for (std::size_t k = 0; k < la.size(); ++k) {
    const bool kept = k >= 2 && k <= 7;
    std::istringstream ia(la[k]), ic(lc[k]);
    int ra = 0, rc = 0;
    double va = 1, vc = 1;
    ia >> ra >> va;
    ic >> rc >> vc;
    EXPECT_EQ(ra, k < 8 ? 5 * static_cast<int>(k + 1) : 42);
    EXPECT_EQ(ra, rc);
    if (kept) {
      EXPECT_LT(va, 0.0) << la[k];
      EXPECT_NE(va, vc) << la[k];
    } else {
      EXPECT_EQ(va, 0.0) << la[k];
      EXPECT_EQ(vc, 0.0) << lc[k];
    }
  }

  // Line counts: 2 traits; effects of 20, 1 and 450 levels; 300 records;
  // cycles 5, 10, ..., 40 and 42 in the sample files, each with the cycle
  // and the 3 + 3 elements of G and R.
  EXPECT_EQ(line_count(a / "solutions"), 2u + 2u * (20 + 1 + 450));
  EXPECT_EQ(line_count(a / "varcomp"), 1u + 3u * (1 + 2) + 3u * (1 + 2));
  EXPECT_EQ(line_count(a / "loglike_obs"), 2u + 300u);
  EXPECT_EQ(line_count(a / "varcompsam"), 9u * 7u);
  EXPECT_EQ(line_count(a / "loglike_rnd"), 9u);
  // Every number written is finite and fits its field.
  for (const std::string& f : expected)
    for (const std::string& l : lines_of(read_file(a / f))) {
      std::string low = l;
      std::transform(low.begin(), low.end(), low.begin(), [](unsigned char ch) { return std::tolower(ch); });
      EXPECT_EQ(low.find("nan"), std::string::npos) << f << ": " << l;
      EXPECT_EQ(low.find("inf"), std::string::npos) << f << ": " << l;
      EXPECT_EQ(low.find("**"), std::string::npos) << f << ": " << l;
    }
  const auto vs = lines_of(read_file(a / "varcompsam"));
  EXPECT_EQ(trim(vs[0]), "5");
  EXPECT_EQ(trim(vs[8 * 7]), "42");

  // The run ends with the timing line.
  const auto out = lines_of(pa.out);
  ASSERT_FALSE(out.empty());
  const std::string last = trim(out.back());
  EXPECT_EQ(last.rfind("Time elapsed ", 0), 0u) << last;
  EXPECT_NE(last.find(" min"), std::string::npos) << last;
  EXPECT_NE(last.find("rounds/min )"), std::string::npos) << last;
  EXPECT_EQ(pa.err, "");
}

TEST_F(Program, MissingDataFileStopsNamingIt) {
  NEED_TOOLS();
  const SmallModel sm = small_model(1, 2, 6, 8, 1);
  sm.write_files(dir());
  fs::remove(dir() / "data.txt");
  const Process p = run_program(dir());
  EXPECT_EQ(p.status, 1);
  EXPECT_NE((p.out + p.err).find("\"data.txt\""), std::string::npos) << p.out << p.err;
  EXPECT_EQ(p.out.find("Time elapsed"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir() / "solutions"));
  EXPECT_FALSE(fs::exists(dir() / "varcompsam"));
}

// ---------------------------------------------------------------------------
// Calibration: data simulated with known (co)variances; the posterior
// means of G and R lie within a few posterior standard deviations of the
// truth.

class Calibration : public ChainFolder, public testing::WithParamInterface<int> {};

TEST_P(Calibration, PosteriorMeansOfGAndRNearTheTruth) {
  NEED_TOOLS();
  const int nt = GetParam();
  // 1500 records of 2250 animals; the chain starts at 1.5 times the truth.
  const Process sim = run_simulator(dir(), "--records 1500 --traits " + std::to_string(nt) +
                                               " --nround 600 --nburn 100 --skip 5 --start-scale 1.5 --seed " +
                                               std::to_string(40 + nt));
  ASSERT_EQ(sim.status, 0) << sim.err;
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  expect_calibrated(dir(), nt);
}

INSTANTIATE_TEST_SUITE_P(Traits, Calibration, testing::Values(1, 2),
                         [](const testing::TestParamInfo<int>& i) { return std::to_string(i.param) + "_traits"; });

}  // namespace
