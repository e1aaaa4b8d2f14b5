// Two-breed data with crossbreds through the whole program: the breed
// variances and the segregation covariance are recovered, a chain stored
// and restarted goes on from its acceptance file, and candidate sires of
// either breed are drawn with their exact posterior probabilities.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <tuple>
#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

class MultiBreedChain : public ChainFolder {
 protected:
  void SetUp() override {
    ChainFolder::SetUp();
    if (program_path().empty()) GTEST_SKIP() << "VELMORAN_EXE not set";
    if (simulator_path().empty()) GTEST_SKIP() << "VELMORAN_SIMULATE not set";
  }
  void simulate(const std::string& options) {
    const Process sim = run_simulator(dir(), "--breeds 1,2,0.3 --unknown 0 " + options);
    ASSERT_EQ(sim.status, 0) << sim.err;
  }
};

TEST_F(MultiBreedChain, BreedVariancesNearTheTruth) {
  simulate("--records 1500 --nround 1200 --nburn 400 --skip 5 --dbelief 5 --start-scale 1.5 --seed 3");
  const Process p = run_program(dir());
  ASSERT_EQ(p.status, 0) << p.out << p.err;
  const auto truth = lines_of(read_file(dir() / "truth.txt"));
  const auto varcomp = lines_of(read_file(dir() / "varcomp"));
  const Dense gt = matrix_after(truth, "BREED_(CO)VARIANCES", 2);
  const Dense gm = matrix_after(varcomp, "Average variance components (G) for effect:", 2);
  const Dense gs = matrix_after(varcomp, "Std deviation of variance components (G) for effect:", 2);
  for (int i = 0; i < 2; ++i)
    for (int j = i; j < 2; ++j) {
      EXPECT_GT(gs(i, j), 0.0);
      EXPECT_LT(std::fabs(gm(i, j) - gt(i, j)), 4.0 * gs(i, j))
          << "G(" << i + 1 << "," << j + 1 << "): mean " << gm(i, j) << ", sd " << gs(i, j);
    }
  EXPECT_EQ(gm(0, 1), gm(1, 0));
  const Dense rt = matrix_after(truth, "RESIDUAL_(CO)VARIANCES", 1);
  const Dense rm = matrix_after(varcomp, "Average residuals (R)", 1);
  const Dense rs = matrix_after(varcomp, "Std deviation of residuals (R)", 1);
  EXPECT_LT(std::fabs(rm(0, 0) - rt(0, 0)), 4.0 * rs(0, 0));
  // Tuned proposals: an acceptance rate and degrees of belief per breed pair.
  const auto acc = lines_of(read_file(dir() / "mh_acceptance"));
  ASSERT_EQ(acc.size(), 6u);
  for (std::size_t k = 1; k < 6; k += 2) {
    double rate = 0;
    int nu = 0;
    ASSERT_EQ(std::sscanf(acc[k].c_str(), "%lf %d", &rate, &nu), 2) << acc[k];
    EXPECT_GT(rate, 0.1) << acc[k];
    EXPECT_LT(rate, 1.0) << acc[k];
    EXPECT_GE(nu, 5) << acc[k];
  }
}

TEST_F(MultiBreedChain, RestartGoesOnAndRefusesDegreesOfBeliefTuningCannotReach) {
  simulate("--records 150 --nround 30 --nburn 10 --skip 1 --dbelief 5 --seed 8");
  const Process first = run_program(dir());
  ASSERT_EQ(first.status, 0) << first.out << first.err;
  const std::string stored = read_file(dir() / "mh_acceptance");
  set_keyword_value(dir() / "params.txt", "RESTART:", "y 31");
  const Process again = run_program(dir());
  ASSERT_EQ(again.status, 0) << again.out << again.err;
  EXPECT_EQ(read_file(dir() / "mh_acceptance"), stored);
  EXPECT_EQ(again.out.find("raised to"), std::string::npos) << again.out;

  // Degrees of belief of 2 read back: no tuning from the start (the
  // group's levels) reaches them, and the restart is refused before any
  // file changes.
  std::vector<std::string> lines = lines_of(stored);
  std::string text;
  for (std::size_t k = 0; k < lines.size(); ++k) {
    if (k % 2 == 1) lines[k] = lines[k].substr(0, lines[k].size() - 10) + "         2";
    text += lines[k] + "\n";
  }
  std::ofstream(dir() / "mh_acceptance") << text;
  const std::string loglike_rnd = read_file(dir() / "loglike_rnd");
  set_keyword_value(dir() / "params.txt", "MCMC_CHAIN:", "40 10 1");
  const Process refused = run_program(dir());
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find(
                " restart refused: \"mh_acceptance\" line 2 holds proposal degrees of belief of 2, "
                "outside the "),
            std::string::npos)
      << refused.out;
  EXPECT_EQ(read_file(dir() / "mh_acceptance"), text);
  EXPECT_EQ(read_file(dir() / "loglike_rnd"), loglike_rnd);

  std::ofstream(dir() / "mh_acceptance") << stored;
  const Process more = run_program(dir());
  ASSERT_EQ(more.status, 0) << more.out << more.err;
  EXPECT_EQ(lines_of(read_file(dir() / "loglike_rnd")).size(), 40u);
  EXPECT_EQ(lines_of(read_file(dir() / "mh_acceptance")).size(), 6u);
}

// ---------------------------------------------------------------------------
// Candidate sires of two breeds against the exact posterior.
//
// Eight animals of two breeds, two records each, G held at its prior mean
// by a prior of 10^6 degrees of belief (and R at 1 likewise).  Animal 6
// (dam 4) has candidates 1 (breed 1) and 5 (an F1): its W, and through its
// parents those of its offspring 7 (a candidate) and 8, depend on the
// choice.  Animal 7 (dam 5) has candidates 3 and 6.  Summing the Gaussian
// likelihood of the records over the four choices, the breeding values and
// the mean integrated out, gives each candidate's posterior probability.

struct TinyLine {
  int a, dam, sire;
  double f1, f2;
};
const TinyLine tiny_ped[] = {{1, 0, 0, 1, 0},       {2, 0, 0, 0, 1},       {3, 0, 0, 1, 0},
                             {4, 0, 0, 0, 1},       {5, 2, 1, 0.5, 0.5},   {6, 4, -1, 0.5, 0.5},
                             {7, 5, -1, 0.5, 0.5},  {8, 6, 3, 0.75, 0.25}};
const double tiny_y[8][2] = {{1.2, 0.4}, {-0.8, -1.5}, {2.1, 1.7}, {0.3, -0.2},
                             {0.9, 0.1}, {1.6, 2.4},   {1.9, 1.1}, {2.2, 1.8}};
const double tiny_g[3] = {1.0, 2.0, 1.5};  // G11, G22, G12

// nu0: the breed blocks' prior degrees of belief (10^6 holds G at the prior
// mean); rounds: their Metropolis rounds per cycle.
void write_tiny(const fs::path& d, int nround, int nburn, int seed, int nu0 = 1000000, int rounds = 1) {
  std::ofstream p(d / "params.txt");
  p << "MCMC_CHAIN:\n" << nround << " " << nburn << " 1\nSEED\n" << seed
    << "\nRESTART:\nn\nDATAFILE\ndata.txt 16\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n2\n"
       "OBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n2 1 cross n\n3 8 cross n\n"
       "RANDOM_RESIDUAL:\nhomogeneous 1000000000\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\n"
       "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_mb " << nu0 << "\nPEDIGREEFILE:\npedigree.txt 8 0 2\n"
       "MULTIPLE_SIRES:\n2 msires.txt 10 0\nMETROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n" << rounds << " 5\n"
       "(CO)VARIANCES\n1 1.5\n1.5 2\n";
  std::ofstream ped(d / "pedigree.txt");
  for (const TinyLine& l : tiny_ped) ped << l.a << " " << l.dam << " " << l.sire << " " << l.f1 << " " << l.f2 << "\n";
  std::ofstream(d / "msires.txt") << "2\n1\n0.5\n5\n0.5\n2\n3\n0.5\n6\n0.5\n";
  std::ofstream data(d / "data.txt");
  for (int a = 0; a < 8; ++a)
    for (int r = 0; r < 2; ++r) data << tiny_y[a][r] << " 1 " << a + 1 << "\n";
}

// ln of the likelihood of the records with the sires of 6 and 7 given.
double tiny_log_likelihood(int sire6, int sire7, const double* g = tiny_g) {
  TinyLine ped[8];
  std::copy(std::begin(tiny_ped), std::end(tiny_ped), ped);
  ped[5].sire = sire6;
  ped[6].sire = sire7;
  auto f = [&](int x, int b) { return b == 1 ? ped[x - 1].f1 : ped[x - 1].f2; };
  auto seg = [&](int x) { return f(x, 1) * f(x, 2) * g[2]; };
  // Breeding values a = T m, T = (I - P)^-1, m ~ N(0, diag W).
  Dense T(8), K(8);
  std::vector<double> W(8);
  for (int i = 1; i <= 8; ++i) {
    const TinyLine& l = ped[i - 1];
    double w = f(i, 1) * g[0] + f(i, 2) * g[1];
    for (int p : {l.dam, l.sire}) {
      if (p <= 0) continue;
      w += 2 * seg(p);
      if (p < i) {
        w -= 0.25 * (f(p, 1) * g[0] + f(p, 2) * g[1]);
        for (int q : {ped[p - 1].dam, ped[p - 1].sire})
          if (q > 0) w -= 0.5 * seg(q);
      }
    }
    W[static_cast<std::size_t>(i - 1)] = w;
    T(i - 1, i - 1) = 1.0;
    for (int p : {l.dam, l.sire})
      if (p > 0)
        for (int j = 0; j < 8; ++j) T(i - 1, j) += 0.5 * T(p - 1, j);
  }
  for (int i = 0; i < 8; ++i)
    for (int j = 0; j < 8; ++j)
      for (int k = 0; k < 8; ++k) K(i, j) += T(i, k) * W[static_cast<std::size_t>(k)] * T(j, k);
  // V = Z K Z' + I over the 16 records; the mean (flat prior) integrated out.
  Dense V(16);
  for (int i = 0; i < 16; ++i)
    for (int j = 0; j < 16; ++j) V(i, j) = K(i / 2, j / 2) + (i == j ? 1.0 : 0.0);
  double logdet = 0;
  {
    Dense L = V;
    for (int j = 0; j < 16; ++j) {
      for (int k = 0; k < j; ++k) L(j, j) -= L(j, k) * L(j, k);
      L(j, j) = std::sqrt(L(j, j));
      logdet += 2 * std::log(L(j, j));
      for (int i = j + 1; i < 16; ++i) {
        for (int k = 0; k < j; ++k) L(i, j) -= L(i, k) * L(j, k);
        L(i, j) /= L(j, j);
      }
    }
  }
  const Dense Vi = inverse(V);
  std::vector<double> y(16), one(16, 1.0);
  for (int i = 0; i < 16; ++i) y[static_cast<std::size_t>(i)] = tiny_y[i / 2][i % 2];
  const std::vector<double> Viy = multiply(Vi, y), Vi1 = multiply(Vi, one);
  double yVy = 0, oVy = 0, oVo = 0;
  for (int i = 0; i < 16; ++i) {
    yVy += y[static_cast<std::size_t>(i)] * Viy[static_cast<std::size_t>(i)];
    oVy += Viy[static_cast<std::size_t>(i)];
    oVo += Vi1[static_cast<std::size_t>(i)];
  }
  return -0.5 * logdet - 0.5 * std::log(oVo) - 0.5 * (yVy - oVy * oVy / oVo);
}

// Given the blocks g, the exact posterior probabilities of sire 1 for
// animal 6 and of sire 3 for animal 7 (equal prior probabilities), and the
// log of the likelihood summed over the four choices.
struct TinyExact {
  double p6, p7, log_sum;
};
TinyExact tiny_exact(const double* g = tiny_g) {
  double L[2][2], top = -1e300;
  const int s6[2] = {1, 5}, s7[2] = {3, 6};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) top = std::max(top, L[i][j] = tiny_log_likelihood(s6[i], s7[j], g));
  double p[2][2], sum = 0;
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j) sum += p[i][j] = std::exp(L[i][j] - top);
  return {(p[0][0] + p[0][1]) / sum, (p[0][0] + p[1][0]) / sum, top + std::log(sum)};
}

// Each chain a batch: the z of the chains' mean against the exact value.
void print_against_exact(const char* name, const std::vector<double>& chains, double exact) {
  BatchMeans b(1);
  for (double x : chains) b.add(x);
  const double m = b.mean(), se = b.se();
  std::printf("%s: exact %.5f, chains %.5f +- %.5f, z %+.2f\n", name, exact, m, se, (m - exact) / se);
}

// The share of kept cycles in which animal an drew candidate sire from
// "msiresppr".
double drawn_share(const fs::path& d, int an, int sire) {
  for (const std::string& l : lines_of(read_file(d / "msiresppr"))) {
    std::istringstream in(l);
    int a = 0, c = 0;
    double mean, sd, last, share;
    if (in >> a >> c >> mean >> sd >> last >> share && a == an && c == sire) return share;
  }
  ADD_FAILURE() << "no line of animal " << an << " and sire " << sire;
  return -1;
}

TEST_F(MultiBreedChain, CandidateSiresFollowTheirExactPosterior) {
  const TinyExact ex = tiny_exact();
  const double p6 = ex.p6, p7 = ex.p7;
  // By hand (tools/check_mb_candidate_sires): several seeds of long chains.
  const char* env = std::getenv("VELMORAN_MB_SIRE_CHECK");
  int cycles = 9000, seeds = 1, first = 0;
  if (env) {
    ASSERT_GE(std::sscanf(env, "%d %d %d", &cycles, &seeds, &first), 2) << env;
  }
  std::vector<double> got6, got7;
  for (int k = first; k < first + seeds; ++k) {
    write_tiny(dir(), cycles, 1000, 17 + 1000 * k);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out.substr(0, 2000) << p.err;
    got6.push_back(drawn_share(dir(), 6, 1));
    got7.push_back(drawn_share(dir(), 7, 3));
  }
  if (env) {
    print_against_exact("animal 6, sire 1", got6, p6);
    print_against_exact("animal 7, sire 3", got7, p7);
    return;
  }
  // 8,000 kept cycles: a standard error near 0.006.  (A draw without the
  // determinant and the offspring's terms gives 0.571 and 0.501.)
  EXPECT_NEAR(got6[0], p6, 0.02) << "exact " << p6;
  EXPECT_NEAR(got7[0], p7, 0.02) << "exact " << p7;
}

// By hand only (tools/check_mb_candidate_sires --blocks): the breed blocks
// sampled too, under a prior of 10 degrees of belief, against the posterior
// means of G and of the sires by quadrature over the three blocks.
TEST_F(MultiBreedChain, CandidateSiresAndBlocksAgainstQuadrature) {
  const char* env = std::getenv("VELMORAN_MB_BLOCK_CHECK");
  if (!env) GTEST_SKIP() << "VELMORAN_MB_BLOCK_CHECK not set";
  int cycles = 0, seeds = 0, first = 0;
  ASSERT_GE(std::sscanf(env, "%d %d %d", &cycles, &seeds, &first), 2) << env;
  const int nu0 = 10;
  // Each block has the inverse-gamma prior of shape nu0/2 and scale
  // (nu0 - 2) O / 2; on a grid of ln G, the Jacobian G.
  const int n = 40;
  const double O[3] = {tiny_g[0], tiny_g[1], tiny_g[2]};
  std::vector<double> lg[3], lp[3];
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < n; ++i) {
      const double u = std::log(O[k]) - 3.0 + 6.5 * i / (n - 1);
      lg[k].push_back(u);
      lp[k].push_back(-0.5 * nu0 * u - 0.5 * (nu0 - 2) * O[k] * std::exp(-u));
    }
  std::vector<double> logw;
  std::vector<std::array<double, 5>> val;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j)
      for (int k = 0; k < n; ++k) {
        const double g[3] = {std::exp(lg[0][static_cast<std::size_t>(i)]), std::exp(lg[1][static_cast<std::size_t>(j)]),
                             std::exp(lg[2][static_cast<std::size_t>(k)])};
        const TinyExact x = tiny_exact(g);
        logw.push_back(lp[0][static_cast<std::size_t>(i)] + lp[1][static_cast<std::size_t>(j)] +
                       lp[2][static_cast<std::size_t>(k)] + x.log_sum);
        val.push_back({g[0], g[1], g[2], x.p6, x.p7});
      }
  const double top = *std::max_element(logw.begin(), logw.end());
  double exact[5] = {}, total = 0;
  for (std::size_t q = 0; q < logw.size(); ++q) {
    const double w = std::exp(logw[q] - top);
    total += w;
    for (int c = 0; c < 5; ++c) exact[c] += w * val[q][static_cast<std::size_t>(c)];
  }
  for (double& x : exact) x /= total;

  std::vector<std::array<double, 5>> got;
  for (int k = first; k < first + seeds; ++k) {
    write_tiny(dir(), cycles, cycles / 10, 29 + 1000 * k, nu0, 3);
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out.substr(0, 2000) << p.err;
    const Dense gm = matrix_after(lines_of(read_file(dir() / "varcomp")), "Average variance components (G) for effect:", 2);
    got.push_back({gm(0, 0), gm(1, 1), gm(0, 1), drawn_share(dir(), 6, 1), drawn_share(dir(), 7, 3)});
  }
  const char* names[5] = {"G11", "G22", "G12", "animal 6, sire 1", "animal 7, sire 3"};
  for (int c = 0; c < 5; ++c) {
    std::vector<double> chains;
    for (const auto& v : got) chains.push_back(v[static_cast<std::size_t>(c)]);
    print_against_exact(names[c], chains, exact[c]);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Zeros inside the breed blocks of two traits.  A block is proposed whole, so
// a 0 inside a block with both variances is sampled and written like any
// element; a 0 in the row of a variance 0 of its block stays 0.  Every
// entry of "varcompsam" has one line per sampled element, their means over
// the kept cycles are the means of "varcomp", and a restart reads the
// samples back and goes on with entries of the same length (but refuses
// entries that lack the sampled zeros, as earlier versions wrote them).
// By hand, the posterior of such an element against the truth and an
// independent chain: tools/check_mb_zeros.

TEST_F(MultiBreedChain, ZerosInsideBreedBlocksOfTwoTraits) {
  simulate("--records 150 --nround 10 --seed 8");
  // Two traits: the simulated one and one made from it; effects: the fixed
  // class (column 3) and the animal (column 5).
  std::vector<std::string> data = lines_of(read_file(dir() / "data.txt"));
  {
    std::ofstream o(dir() / "data.txt");
    int k = 0;
    for (const std::string& l : data) {
      std::istringstream in(l);
      double y = 0;
      in >> y;
      std::string rest;
      std::getline(in, rest);
      o << y << " " << 0.5 * y + (k++ * 37 % 11) / 5.0 - 1.0 << rest << "\n";
    }
  }
  const int animals = static_cast<int>(lines_of(read_file(dir() / "pedigree.txt")).size());
  struct Case {
    const char* what;
    const char* g;  // the whole matrix: breed blocks (1,1), (1,2); (1,2), (2,2)
    int values;     // of G in an entry
    const char* said;
  };
  const Case cases[] = {
      {"a covariance 0 within breed 1", "1 0 0.1 0.05\n0 2 0.05 0.2\n0.1 0.05 1.5 0.4\n0.05 0.2 0.4 2.5\n", 10,
       " G of random effect 2: elements 0 in the starting matrix are sampled all the same, since their breed "
       "blocks are drawn whole (in \"varcompsam\" like the other elements): (1,2)"},
      {"a variance 0 in breed 2", "1 0.5 0.3 0\n0.5 2 0 0\n0.3 0 1.5 0\n0 0 0 0\n", 5,
       " G of random effect 2: elements 0 in the starting matrix stay 0 for the whole chain (not sampled, not in "
       "\"varcompsam\"): (1,4) (2,3) (2,4) (3,4) (4,4)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* f : {"varcompsam", "store_record", "chain_state"}) fs::remove(dir() / f);
    std::ofstream(dir() / "params.txt")
        << "MCMC_CHAIN:\n30 10 1\nSEED\n5\nRESTART:\nn\nDATAFILE\ndata.txt " << data.size()
        << "\nNUMBER_OF_TRAITS\n2\nNUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1 2\nWEIGHT(S)\n\nEFFECTS:\n"
           "3 3 20 cross n\n5 5 "
        << animals
        << " cross n\nRANDOM_RESIDUAL:\nhomogeneous 0\nRESIDUAL_PRIOR_(CO)VARIANCES\n2 0.5\n0.5 1.5\n"
           "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_mb 5\nPEDIGREEFILE:\npedigree.txt "
        << animals << " 0 2\nMULTIPLE_SIRES:\n0 none 0\nMETROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n2 5\n"
        << "(CO)VARIANCES\n" << c.g;
    const Process p = run_program(dir());
    ASSERT_EQ(p.status, 0) << p.out << p.err;
    EXPECT_NE(p.out.find(c.said), std::string::npos) << p.out.substr(0, 4000);
    const int per = 1 + c.values + 3;
    std::vector<std::string> sam = lines_of(read_file(dir() / "varcompsam"));
    ASSERT_EQ(sam.size(), static_cast<std::size_t>(30 * per));
    // The upper triangle by rows, as sampled.
    std::vector<std::pair<int, int>> at;
    std::istringstream g(c.g);
    Dense g0(4);
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) g >> g0(i, j);
    const bool var0 = g0(3, 3) == 0.0;
    for (int i = 0; i < 4; ++i)
      for (int j = i; j < 4; ++j)
        if (!var0 || (i != 3 && j != 3 && !(i == 1 && j == 2))) at.emplace_back(i, j);
    ASSERT_EQ(at.size(), static_cast<std::size_t>(c.values));
    Dense mean(4);
    for (int k = 10; k < 30; ++k) {
      ASSERT_EQ(std::stoi(sam[static_cast<std::size_t>(k * per)]), k + 1);
      for (std::size_t v = 0; v < at.size(); ++v)
        mean(at[v].first, at[v].second) += std::stod(sam[static_cast<std::size_t>(k * per) + 1 + v]) / 20;
    }
    const Dense gm = matrix_after(lines_of(read_file(dir() / "varcomp")), "Average variance components (G)", 4);
    for (int i = 0; i < 4; ++i)
      for (int j = i; j < 4; ++j) EXPECT_NEAR(gm(i, j), mean(i, j), 6e-5) << i + 1 << "," << j + 1;
    if (!var0) {
      EXPECT_GT(std::fabs(mean(0, 1)), 1e-3);  // sampled away from its start
    }

    set_keyword_value(dir() / "params.txt", "MCMC_CHAIN:", "40 10 1");
    set_keyword_value(dir() / "params.txt", "RESTART:", "y 31");
    if (!var0) {
      // The entries as earlier versions wrote them, without the sampled 0
      // (line 2 of each), are refused, saying so.
      const std::string sam_text = read_file(dir() / "varcompsam"), record = read_file(dir() / "store_record");
      std::string old;
      for (std::size_t k = 0; k < sam.size(); ++k)
        if (k % static_cast<std::size_t>(per) != 2) old += sam[k] + "\n";
      std::ofstream(dir() / "varcompsam") << old;
      std::string rec;
      for (const std::string& l : lines_of(record))
        rec += (l.starts_with("sample varcompsam ")
                    ? "sample varcompsam " + std::to_string(old.size()) + l.substr(l.rfind(' '))
                    : l) +
               "\n";
      std::ofstream(dir() / "store_record") << rec;
      const Process refused = run_program(dir());
      EXPECT_EQ(refused.status, 1);
      EXPECT_NE(refused.out.find("; it ends an entry of 13 lines, as earlier versions wrote it, without the elements 0 "
                                 "inside breed blocks that are sampled: a chain begun so cannot go on, start it afresh"),
                std::string::npos)
          << refused.out.substr(refused.out.size() > 3000 ? refused.out.size() - 3000 : 0);
      std::ofstream(dir() / "varcompsam") << sam_text;
      std::ofstream(dir() / "store_record") << record;
    }
    const Process more = run_program(dir());
    ASSERT_EQ(more.status, 0) << more.out << more.err;
    sam = lines_of(read_file(dir() / "varcompsam"));
    ASSERT_EQ(sam.size(), static_cast<std::size_t>(40 * per));
    EXPECT_EQ(sam[static_cast<std::size_t>(30 * per)], " 31");
  }
}
