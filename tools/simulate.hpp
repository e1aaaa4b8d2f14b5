// Simulator of data sets for VELMORAN: a pedigree, data records and a
// parameter file drawn from an animal model with known (co)variances.  A tool
// for examples, tests and benchmarks; the program itself does not use it.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

constexpr int max_traits = 3;
// Largest order of the genetic (co)variance matrix: direct and maternal
// effects of every trait.
constexpr int max_order = 2 * max_traits;

struct Options {
  long records = 1000;
  long animals = 0;  // 0: 1.5 times the records
  int traits = 1;
  int levels = 20;          // levels of the fixed cross-classified effect
  int generations = 3;      // generations after the founders
  double unknown = 0.05;    // chance that a parent of a non-founder is unknown
  double missing = 0.0;     // chance that one trait of a record is missing
  bool weights = false;     // record-weight column
  bool tbv = false;         // also write the true breeding values
  // One trait only: Student-t residuals with this many degrees of freedom
  // (0: normal), and a residual variance at the last fixed level this many
  // times that of the other levels (0: homogeneous).
  double student_t = 0.0;
  double structural = 0.0;
  // A maternal genetic effect beside the direct one: the dam's column in
  // the data, one group of both effects (G of order 2 traits, the direct
  // traits first).
  bool maternal = false;
  // Rows of G (1-based, trait fastest within effect) of effects absent for
  // a trait: their data column is 0 and their true values 0.
  std::vector<int> absent;
  // Reduced animal model: parents numbered first (they alone have
  // equations), then the recorded animals without progeny; animals with
  // neither are left out.  Needs at most one record per animal.
  bool reduced = false;
  // Share of the animals with a known sire whose sire is given as 2 to 4
  // candidates (the true one among sires of its generation) in a
  // multiple-sires file.
  double candidates = 0.0;
  // Reaction-norm data set instead (one trait, no pedigree): y = rnorm_mean +
  // h_j (1 + b_i) + e with rnorm_env environment levels j (covariates h of
  // variance rnorm_var_h) and rnorm_slopes slope levels i (slopes b of
  // variance rnorm_var_b).  0: the animal model.
  int rnorm_env = 0, rnorm_slopes = 0;
  double rnorm_var_h = 4.0, rnorm_var_b = 0.25, rnorm_mean = 1.0;
  // Two breeds (one trait): the additive variances of breeds 1 and 2 and
  // their segregation covariance; founders of odd id are of breed 1, of even
  // id of breed 2, and later generations mix them.  Empty: one breed.
  std::vector<double> breeds;
  // Metropolis rounds per cycle of the breed blocks, and their prior degrees
  // of belief (--dbelief when given: the prior needs at least 3).
  int mb_rounds = 2;
  int mb_dbelief = 5;
  // "add_an_upg" or "add_an_upgi": every unknown parent of a non-founder is
  // one parent group, the level after the animals; the founders (generation
  // 0) keep both parents unknown.  Empty: add_animal.
  std::string groups;
  std::uint64_t seed = 1;
  long chain_seed = 0;      // 0: derived from seed
  long nround = 1000, nburn = 200, skip = 10;
  int dbelief = 0;
  double start_scale = 1.0;  // starting (co)variances = start_scale * truth
  std::vector<double> g, r;  // lower triangles by rows; empty: the defaults
  std::string out = ".";
  std::string prefix;
  bool help = false;
  std::string command;  // the options as given, for the files' headers
};

// Parses the command-line words (without the program name).  Throws
// std::invalid_argument with a message naming the word at fault.
Options parse_options(const std::vector<std::string>& args);
std::string usage();

// Full symmetric matrix, row-major, traits x traits.
using Matrix = std::vector<double>;

// Order of the genetic (co)variance matrix: traits, times 2 with a maternal
// effect.
int g_order(const Options& o);
// The true genetic and residual (co)variance matrices of the options; the
// genetic one as the parameter file's starting matrix holds it (absent rows
// included: the truth has them 0).
Matrix true_g(const Options& o);
Matrix true_r(const Options& o);
// Lower Cholesky factor; throws std::invalid_argument when the matrix is not
// positive definite.
Matrix cholesky(const Matrix& a, int n, const char* what);

// Splitmix64-seeded xoshiro256** stream with Box-Muller normals.
class Rng {
 public:
  explicit Rng(std::uint64_t seed);
  std::uint64_t next();
  double uniform();              // in (0, 1)
  long below(long n);            // uniform in 0 .. n-1
  double normal();
  double gamma(double shape);    // standard gamma deviate, shape > 0

 private:
  std::array<std::uint64_t, 4> s_{};
  bool have_spare_ = false;
  double spare_ = 0.0;
};

// Animals 1..n; sire(i), dam(i) are 0 or below i.  Index 0 is unused.
struct Pedigree {
  std::vector<long> sire, dam;
  std::vector<int> generation;
  long size() const { return static_cast<long>(sire.size()) - 1; }
};

Pedigree make_pedigree(long animals, int generations, double unknown, Rng& rng);

// Breeding values, animal i row t of G at [i * order + t - 1]: the parents'
// mean plus a Mendelian sampling term of (1 - known parents / 4) G.
std::vector<double> breeding_values(const Pedigree& p, const Matrix& g, int order, Rng& rng);

// Two-breed breeding values (one trait): the parents' mean plus a Mendelian
// term of variance W from the breed fractions of the animal, its parents and
// grandparents.  frac[2 i + b - 1] is the fraction of breed b of animal i;
// bg holds G11, G22, G12.  Needs every non-founder's parents known.
std::vector<double> breed_values(const Pedigree& p, const std::vector<double>& bg, Rng& rng,
                                 std::vector<double>& frac);
// The Mendelian variance of animal i under bg.
double breed_mendelian_var(const Pedigree& p, const std::vector<double>& frac,
                           const std::vector<double>& bg, long i);

// Numbering of the animals in the files written: new_id[i] of animal i (0
// when it is left out), and the number of animals with equations.
struct Numbering {
  std::vector<long> new_id;
  long kept = 0, with_equations = 0;
};
Numbering number_animals(const Pedigree& p, long first_recorded, bool reduced);

// Candidate sires of an animal (ids of the simulation) with the true sire
// among them.
struct Candidates {
  long animal = 0;
  std::vector<long> sires;
};
// For a share of the animals with a known sire: 2 to 4 candidates, drawn
// from the sires of the true sire's generation.  With breed fractions (frac
// as breed_values gives them) only from those of the true sire's fractions,
// so that the animal's fractions hold whichever candidate is its sire.
std::vector<Candidates> draw_candidates(const Pedigree& p, double share, Rng& rng,
                                        const std::vector<double>& frac = {});

struct Summary {
  std::vector<std::string> files;  // paths written
  long records = 0, animals = 0, founders = 0;
};

// Draws the whole data set and writes its files into o.out.  Throws
// std::runtime_error when a file cannot be written.
Summary simulate(const Options& o);
// The reaction-norm data set (o.rnorm_env > 0): data, parameter file and the
// true covariates and slopes.  simulate calls it for such options.
Summary simulate_rnorm(const Options& o);

}  // namespace sim
