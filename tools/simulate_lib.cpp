#include "simulate.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <stdexcept>

namespace sim {

namespace {

constexpr double pi = 3.14159265358979323846;

// Largest id or level that a 32-bit real in the data file holds exactly.
constexpr long max_exact_id = 16777216;
// Seeds the program's combined generator accepts.
constexpr long max_chain_seed = 2147483398;

// Default truth for up to three traits: heritabilities 1/3, 1/4 and 0.4.
constexpr double g_var[max_traits] = {1.0, 0.5, 2.0};
constexpr double r_var[max_traits] = {2.0, 1.5, 3.0};
// Correlations of the pairs (2,1), (3,1), (3,2).
constexpr double g_cor[3] = {0.3, -0.2, 0.5};
constexpr double r_cor[3] = {0.2, 0.1, 0.3};
// Trait means and covariable slopes in phenotypic standard deviations.
constexpr double trait_mean[max_traits] = {10.0, 20.0, 30.0};
constexpr double slope_sd[max_traits] = {0.8, -0.5, 0.3};

[[noreturn]] void bad(const std::string& m) { throw std::invalid_argument(m); }

long to_long(const std::string& opt, const std::string& v) {
  errno = 0;
  char* end = nullptr;
  const long x = std::strtol(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || errno == ERANGE) bad(opt + ": not an integer: '" + v + "'");
  return x;
}

double to_double(const std::string& opt, const std::string& v) {
  errno = 0;
  char* end = nullptr;
  const double x = std::strtod(v.c_str(), &end);
  if (v.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(x))
    bad(opt + ": not a number: '" + v + "'");
  return x;
}

std::vector<double> to_list(const std::string& opt, const std::string& v) {
  std::vector<double> out;
  std::size_t from = 0;
  while (true) {
    const std::size_t comma = v.find(',', from);
    out.push_back(to_double(opt, v.substr(from, comma == std::string::npos ? comma : comma - from)));
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return out;
}

void in_range(const std::string& opt, double x, double lo, double hi) {
  if (!(x >= lo && x <= hi)) {
    char b[160];
    std::snprintf(b, sizeof b, "%s must be between %g and %g", opt.c_str(), lo, hi);
    bad(b);
  }
}

// Full matrix from a lower triangle by rows.
Matrix from_lower(const std::vector<double>& low, int n) {
  Matrix a(n * n);
  int k = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) a[i * n + j] = a[j * n + i] = low[k++];
  return a;
}

Matrix default_matrix(const double* var, const double* cor, int n) {
  Matrix a(n * n);
  for (int i = 0; i < n; ++i) a[i * n + i] = var[i];
  const int pi_[3] = {1, 2, 2}, pj_[3] = {0, 0, 1};
  for (int k = 0; k < 3; ++k) {
    const int i = pi_[k], j = pj_[k];
    if (i >= n) continue;
    a[i * n + j] = a[j * n + i] = cor[k] * std::sqrt(var[i] * var[j]);
  }
  return a;
}

// L z for a lower factor L and a fresh standard normal vector z.
void correlated(const Matrix& l, int n, double scale, Rng& rng, double* out) {
  double z[max_order];
  for (int i = 0; i < n; ++i) z[i] = rng.normal();
  for (int i = 0; i < n; ++i) {
    double s = 0.0;
    for (int j = 0; j <= i; ++j) s += l[i * n + j] * z[j];
    out[i] = scale * s;
  }
}

// A value for the data file with 4 decimals, never printed as zero: a zero
// marks a missing trait or an absent covariable.
void put_value(std::FILE* f, double x, const char* sep = " ") {
  if (std::fabs(x) < 0.00005) x = std::copysign(0.0001, x);
  std::fprintf(f, "%s%.4f", sep, x);
}

struct File {
  std::string path;
  std::FILE* f = nullptr;
  explicit File(std::string p) : path(std::move(p)) {
    f = std::fopen(path.c_str(), "w");
    if (!f) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::setvbuf(f, nullptr, _IOFBF, 1 << 16);
  }
  ~File() {
    if (f) std::fclose(f);
  }
  void close() {
    const bool bad_write = std::ferror(f) != 0;
    const int rc = std::fclose(f);
    f = nullptr;
    if (bad_write || rc != 0) throw std::runtime_error("error writing " + path);
  }
};

void put_matrix(std::FILE* f, const Matrix& a, int n, double scale) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < n; ++j) std::fprintf(f, "%s%.10g", j ? " " : "", scale * a[i * n + j]);
    std::fprintf(f, "\n");
  }
}

// Sample (co)variance matrix of n-vectors stored one after another.
Matrix sample_cov(const std::vector<double>& v, int n) {
  const std::size_t m = v.size() / n;
  Matrix c(n * n, 0.0);
  if (m < 2) return c;
  std::vector<double> mean(n, 0.0);
  for (std::size_t k = 0; k < m; ++k)
    for (int i = 0; i < n; ++i) mean[i] += v[k * n + i];
  for (int i = 0; i < n; ++i) mean[i] /= static_cast<double>(m);
  for (std::size_t k = 0; k < m; ++k)
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) c[i * n + j] += (v[k * n + i] - mean[i]) * (v[k * n + j] - mean[j]);
  for (double& x : c) x /= static_cast<double>(m - 1);
  return c;
}

}  // namespace

std::string usage() {
  return "usage: simulate [options]\n"
         "Writes a simulated data set for VELMORAN: params.txt, data.txt, pedigree.txt, truth.txt.\n"
         "  --records N      data records (default 1000)\n"
         "  --animals N      animals in the pedigree (default 1.5 x records)\n"
         "  --traits N       traits, 1 to 3 (default 1)\n"
         "  --levels N       levels of the fixed cross-classified effect (default 20)\n"
         "  --generations N  generations after the founders (default 3)\n"
         "  --unknown F      chance that a parent of a non-founder is unknown (default 0.05)\n"
         "  --missing F      chance that a trait of a record is missing, never all of them;\n"
         "                   two or more traits (default 0)\n"
         "  --weights        add a record-weight column (weights 1 to 4, residual R/w)\n"
         "  --student-t DF   Student-t residuals with DF degrees of freedom (one trait)\n"
         "  --structural K   residual variance at the last fixed level K times the others,\n"
         "                   the fixed effect a structural residual effect (one trait)\n"
         "  --maternal       a maternal genetic effect beside the direct one (the dam's\n"
         "                   column last in the data), in one group with it: G of order\n"
         "                   2 x traits, the direct traits first\n"
         "  --absent I,J,..  rows of G (trait fastest within effect) of effects absent for\n"
         "                   a trait: data column 0 in the parameter file, true values 0\n"
         "  --g V,V,..       true genetic (co)variances, lower triangle by rows\n"
         "  --r V,V,..       true residual (co)variances, lower triangle by rows\n"
         "  --seed N         seed of the simulation (default 1)\n"
         "  --chain-seed N   SEED of the parameter file (default derived from --seed)\n"
         "  --nround N       cycles of the chain (default 1000)\n"
         "  --nburn N        burn-in (default 200)\n"
         "  --skip N         thinning interval (default 10)\n"
         "  --dbelief N      prior degrees of belief of G and R (default 0)\n"
         "  --start-scale S  starting (co)variances are S times the true ones (default 1)\n"
         "  --tbv            also write the true breeding values (tbv.txt)\n"
         "  --reduced        reduced animal model: parents first, recorded animals without\n"
         "                   progeny after them (no equations); at most one record per animal\n"
         "  --candidates F   share of the animals with a known sire whose sire is given as\n"
         "                   2 to 4 candidates in msires.txt (default 0)\n"
         "  --rnorm E,S      reaction-norm data set instead (one trait, no pedigree):\n"
         "                   y = mu + h_j (1 + b_i) + e, E environments, S slope levels\n"
         "  --rnorm-mean MU  mu of the reaction-norm data set (default 1; its level and that\n"
         "                   of the covariates mix slowly in the chain)\n"
         "  --rnorm-var VH,VB  variances of the covariates h and slopes b (default 4,0.25)\n"
         "  --breeds V,V,C   two breeds (one trait, --unknown 0): additive variances of\n"
         "                   breeds 1 and 2 and their segregation covariance; odd founders\n"
         "                   are of breed 1, even of breed 2; an add_an_mb model whose\n"
         "                   breed blocks have prior degrees of belief 5 (or --dbelief, at\n"
         "                   least 3); with --candidates, candidates of the true sire's\n"
         "                   breed fractions\n"
         "  --mb-rounds N    Metropolis rounds per cycle of the breed blocks (default 2)\n"
         "  --groups TYPE    an add_an_upg or add_an_upgi model: every unknown parent of a\n"
         "                   non-founder is one parent group, numbered after the animals;\n"
         "                   founders keep both parents unknown (0); the codes count the\n"
         "                   parents that are animals (upgi: weights 2, 4/3, 1, no inbreeding)\n"
         "  --out DIR        output folder, created when absent (default .)\n"
         "  --prefix P       prefix of the file names (default none)\n";
}

Options parse_options(const std::vector<std::string>& args) {
  Options o;
  o.command = "simulate";
  for (const std::string& w : args) o.command += " " + w;
  bool dbelief_given = false;
  for (std::size_t k = 0; k < args.size(); ++k) {
    std::string opt = args[k], val;
    bool has_val = false;
    if (const std::size_t eq = opt.find('='); opt.rfind("--", 0) == 0 && eq != std::string::npos) {
      val = opt.substr(eq + 1);
      opt = opt.substr(0, eq);
      has_val = true;
    }
    auto value = [&]() -> std::string {
      if (has_val) return val;
      if (k + 1 >= args.size()) bad(opt + ": value missing");
      return args[++k];
    };
    auto flag = [&]() {
      if (has_val) bad(opt + " takes no value");
    };
    if (opt == "--help" || opt == "-h") {
      flag();
      o.help = true;
    } else if (opt == "--records") o.records = to_long(opt, value());
    else if (opt == "--animals") o.animals = to_long(opt, value());
    else if (opt == "--traits") o.traits = static_cast<int>(to_long(opt, value()));
    else if (opt == "--levels") o.levels = static_cast<int>(to_long(opt, value()));
    else if (opt == "--generations") o.generations = static_cast<int>(to_long(opt, value()));
    else if (opt == "--unknown") o.unknown = to_double(opt, value());
    else if (opt == "--missing") o.missing = to_double(opt, value());
    else if (opt == "--weights") {
      flag();
      o.weights = true;
    } else if (opt == "--tbv") {
      flag();
      o.tbv = true;
    } else if (opt == "--reduced") {
      flag();
      o.reduced = true;
    } else if (opt == "--maternal") {
      flag();
      o.maternal = true;
    } else if (opt == "--absent") {
      for (double x : to_list(opt, value())) {
        if (x != std::floor(x) || x < 1 || x > max_order) bad("--absent: rows are whole numbers from 1");
        o.absent.push_back(static_cast<int>(x));
      }
    } else if (opt == "--candidates") o.candidates = to_double(opt, value());
    else if (opt == "--breeds") o.breeds = to_list(opt, value());
    else if (opt == "--student-t") o.student_t = to_double(opt, value());
    else if (opt == "--structural") o.structural = to_double(opt, value());
    else if (opt == "--g") o.g = to_list(opt, value());
    else if (opt == "--r") o.r = to_list(opt, value());
    else if (opt == "--seed") {
      const long s = to_long(opt, value());
      if (s < 1) bad("--seed must be a positive integer");
      o.seed = static_cast<std::uint64_t>(s);
    } else if (opt == "--chain-seed") o.chain_seed = to_long(opt, value());
    else if (opt == "--nround") o.nround = to_long(opt, value());
    else if (opt == "--nburn") o.nburn = to_long(opt, value());
    else if (opt == "--skip") o.skip = to_long(opt, value());
    else if (opt == "--dbelief") {
      o.dbelief = static_cast<int>(to_long(opt, value()));
      dbelief_given = true;
    } else if (opt == "--mb-rounds") o.mb_rounds = static_cast<int>(to_long(opt, value()));
    else if (opt == "--start-scale") o.start_scale = to_double(opt, value());
    else if (opt == "--rnorm") {
      const std::vector<double> v = to_list(opt, value());
      if (v.size() != 2) bad("--rnorm needs two numbers: environments,slope levels");
      o.rnorm_env = static_cast<int>(v[0]);
      o.rnorm_slopes = static_cast<int>(v[1]);
      if (o.rnorm_env != v[0] || o.rnorm_slopes != v[1] || o.rnorm_env < 2 || o.rnorm_slopes < 1)
        bad("--rnorm needs whole numbers: at least 2 environments and 1 slope level");
    } else if (opt == "--rnorm-mean") {
      o.rnorm_mean = to_double(opt, value());
    } else if (opt == "--rnorm-var") {
      const std::vector<double> v = to_list(opt, value());
      if (v.size() != 2 || !(v[0] > 0.0) || !(v[1] > 0.0)) bad("--rnorm-var needs two positive variances");
      o.rnorm_var_h = v[0];
      o.rnorm_var_b = v[1];
    } else if (opt == "--groups") o.groups = value();
    else if (opt == "--out") o.out = value();
    else if (opt == "--prefix") o.prefix = value();
    else bad("unknown option '" + opt + "'");
  }
  if (o.help) return o;

  in_range("--records", static_cast<double>(o.records), 1, static_cast<double>(max_exact_id));
  if (o.animals == 0) o.animals = o.records + o.records / 2;
  in_range("--animals", static_cast<double>(o.animals), 1, static_cast<double>(max_exact_id));
  in_range("--traits", o.traits, 1, max_traits);
  // A reaction-norm data set has no fixed levels.
  if (o.rnorm_env == 0) in_range("--levels", o.levels, 1, static_cast<double>(std::min(o.records, max_exact_id)));
  in_range("--generations", o.generations, 0, 1000);
  in_range("--unknown", o.unknown, 0.0, 1.0);
  in_range("--missing", o.missing, 0.0, 0.95);
  if (o.missing > 0.0 && o.traits < 2) bad("--missing needs two or more traits");
  if (o.student_t != 0.0) {
    if (o.traits != 1) bad("--student-t needs one trait");
    in_range("--student-t", o.student_t, 0.1, 1000);
  }
  if (o.structural != 0.0) {
    if (o.traits != 1) bad("--structural needs one trait");
    if (o.levels < 2) bad("--structural needs two or more levels");
    in_range("--structural", o.structural, 0.001, 1000);
  }
  in_range("--candidates", o.candidates, 0.0, 1.0);
  if (!o.breeds.empty()) {
    if (o.breeds.size() != 3) bad("--breeds needs 3 values: two breed variances and their covariance");
    if (!(o.breeds[0] > 0.0 && o.breeds[1] > 0.0 && o.breeds[2] >= 0.0))
      bad("--breeds: the variances must be positive and the covariance not negative");
    if (o.traits != 1) bad("--breeds needs one trait");
    if (o.reduced) bad("--breeds does not go with --reduced");
    // The breed blocks' prior is proper above their order (1) plus 1.
    if (dbelief_given) {
      if (o.dbelief < 3) bad("--breeds needs --dbelief of at least 3 (the breed blocks' prior)");
      o.mb_dbelief = o.dbelief;
    }
    in_range("--mb-rounds", o.mb_rounds, 0, 1000);
    // The fractions of an unknown parent are not known.
    if (o.unknown != 0.0) bad("--breeds needs --unknown 0");
  }
  if (!o.groups.empty()) {
    if (o.groups != "add_an_upg" && o.groups != "add_an_upgi") bad("--groups needs add_an_upg or add_an_upgi");
    if (o.reduced || o.candidates > 0.0 || !o.breeds.empty() || o.rnorm_env > 0)
      bad("--groups takes none of --reduced, --candidates, --breeds, --rnorm");
  }
  // Only an animal's first record enters the sampling of its Mendelian term.
  if (o.reduced && o.records > o.animals) bad("--reduced needs at most one record per animal");
  in_range("--nround", static_cast<double>(o.nround), 1, std::numeric_limits<int>::max());
  in_range("--nburn", static_cast<double>(o.nburn), 0, std::numeric_limits<int>::max());
  in_range("--skip", static_cast<double>(o.skip), 1, std::numeric_limits<int>::max());
  in_range("--dbelief", o.dbelief, 0, std::numeric_limits<int>::max());
  if (!(o.start_scale > 0.0)) bad("--start-scale must be positive");
  if (o.chain_seed == 0) o.chain_seed = 1 + static_cast<long>((o.seed - 1) % max_chain_seed);
  in_range("--chain-seed", static_cast<double>(o.chain_seed), 1, max_chain_seed);
  const std::size_t tri = static_cast<std::size_t>(o.traits * (o.traits + 1) / 2);
  const int ord = g_order(o);
  const std::size_t gtri = static_cast<std::size_t>(ord * (ord + 1) / 2);
  if (!o.g.empty() && o.g.size() != gtri) bad("--g needs " + std::to_string(gtri) + " values (lower triangle by rows)");
  if (!o.r.empty() && o.r.size() != tri) bad("--r needs " + std::to_string(tri) + " values (lower triangle by rows)");
  for (std::size_t k = 0; k < o.absent.size(); ++k) {
    if (o.absent[k] > ord) bad("--absent: row " + std::to_string(o.absent[k]) + " is beyond the order " + std::to_string(ord) + " of G");
    for (std::size_t j = 0; j < k; ++j)
      if (o.absent[j] == o.absent[k]) bad("--absent: row " + std::to_string(o.absent[k]) + " is given twice");
  }
  if (static_cast<int>(o.absent.size()) >= ord) bad("--absent leaves no row of G");
  if (o.reduced && std::find(o.absent.begin(), o.absent.end(), 1) != o.absent.end())
    bad("--reduced needs the animal effect for trait 1 (--absent without 1)");
  if ((o.maternal || !o.absent.empty()) && !o.breeds.empty()) bad("--breeds takes neither --maternal nor --absent");
  cholesky(true_g(o), ord, "--g");
  cholesky(true_r(o), o.traits, "--r");
  // The parameter file holds names of at most 40 characters, split at blanks.
  if (o.prefix.find_first_of(" \t\n") != std::string::npos) bad("--prefix must not hold blanks");
  if (o.prefix.size() + std::string("pedigree.txt").size() > 40) bad("--prefix is too long (names are 40 characters at most)");
  if (o.out.empty()) bad("--out must not be empty");
  if (o.rnorm_env > 0) {
    if (o.traits != 1) bad("--rnorm needs one trait");
    if (o.rnorm_env > o.records || o.rnorm_slopes > o.records)
      bad("--rnorm needs at least one record per environment and slope level");
    if (o.reduced || o.candidates > 0.0 || o.student_t > 0.0 || o.structural > 0.0 || o.weights)
      bad("--rnorm takes none of --reduced, --candidates, --student-t, --structural, --weights");
    if (o.maternal || !o.absent.empty()) bad("--rnorm takes neither --maternal nor --absent");
  }
  return o;
}

int g_order(const Options& o) { return o.maternal ? 2 * o.traits : o.traits; }

Matrix true_g(const Options& o) {
  const int ord = g_order(o);
  if (!o.g.empty()) return from_lower(o.g, ord);
  const Matrix d = default_matrix(g_var, g_cor, o.traits);
  if (!o.maternal) return d;
  // Maternal (co)variances half the direct ones; direct-maternal
  // covariances -0.25 times the direct ones.
  const int nt = o.traits;
  const double f[2][2] = {{1.0, -0.25}, {-0.25, 0.5}};
  Matrix g(static_cast<std::size_t>(ord * ord));
  for (int k1 = 0; k1 < 2; ++k1)
    for (int k2 = 0; k2 < 2; ++k2)
      for (int i = 0; i < nt; ++i)
        for (int j = 0; j < nt; ++j) g[(k1 * nt + i) * ord + k2 * nt + j] = f[k1][k2] * d[i * nt + j];
  return g;
}

Matrix true_r(const Options& o) {
  return o.r.empty() ? default_matrix(r_var, r_cor, o.traits) : from_lower(o.r, o.traits);
}

Matrix cholesky(const Matrix& a, int n, const char* what) {
  Matrix l(n * n, 0.0);
  for (int j = 0; j < n; ++j) {
    double d = a[j * n + j];
    for (int k = 0; k < j; ++k) d -= l[j * n + k] * l[j * n + k];
    if (!(d > 0.0)) bad(std::string(what) + ": the matrix is not positive definite");
    l[j * n + j] = std::sqrt(d);
    for (int i = j + 1; i < n; ++i) {
      double s = a[i * n + j];
      for (int k = 0; k < j; ++k) s -= l[i * n + k] * l[j * n + k];
      l[i * n + j] = s / l[j * n + j];
    }
  }
  return l;
}

Rng::Rng(std::uint64_t seed) {
  std::uint64_t x = seed;
  for (auto& w : s_) {
    x += 0x9e3779b97f4a7c15ULL;
    std::uint64_t z = x;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    w = z ^ (z >> 31);
  }
}

std::uint64_t Rng::next() {
  auto rotl = [](std::uint64_t v, int k) { return (v << k) | (v >> (64 - k)); };
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

double Rng::uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }

long Rng::below(long n) {
  const long k = static_cast<long>(uniform() * static_cast<double>(n));
  return k < n ? k : n - 1;
}

double Rng::normal() {
  if (have_spare_) {
    have_spare_ = false;
    return spare_;
  }
  const double u1 = uniform(), u2 = uniform();
  const double rad = std::sqrt(-2.0 * std::log(u1));
  spare_ = rad * std::sin(2.0 * pi * u2);
  have_spare_ = true;
  return rad * std::cos(2.0 * pi * u2);
}

double Rng::gamma(double shape) {
  // Marsaglia and Tsang; a shape below 1 is raised by one and scaled back.
  if (shape < 1.0) return gamma(shape + 1.0) * std::pow(uniform(), 1.0 / shape);
  const double d = shape - 1.0 / 3.0, c = 1.0 / std::sqrt(9.0 * d);
  while (true) {
    double x, v;
    do {
      x = normal();
      v = 1.0 + c * x;
    } while (v <= 0.0);
    v = v * v * v;
    const double u = uniform();
    if (std::log(u) < 0.5 * x * x + d - d * v + d * std::log(v)) return d * v;
  }
}

Pedigree make_pedigree(long n, int generations, double unknown, Rng& rng) {
  Pedigree p;
  p.sire.assign(n + 1, 0);
  p.dam.assign(n + 1, 0);
  p.generation.assign(n + 1, 0);
  std::vector<char> male(n + 1, 0);
  for (long i = 1; i <= n; ++i) male[i] = rng.uniform() < 0.5;

  // Generation g holds the ids first(g) .. first(g+1)-1, so parents, drawn
  // from the generation before, always come before their offspring.
  const long slices = generations + 1L;
  auto first = [&](long g) { return g * n / slices + 1; };
  std::vector<long> sires, dams;
  for (long g = 1; g < slices; ++g) {
    sires.clear();
    dams.clear();
    for (long i = first(g - 1); i < first(g); ++i) (male[i] ? sires : dams).push_back(i);
    // A tenth of the males become sires, so that half-sib families form.
    const long nsire = sires.empty() ? 0 : std::max(1L, (static_cast<long>(sires.size()) + 9) / 10);
    for (long k = 0; k < nsire; ++k)
      std::swap(sires[k], sires[k + rng.below(static_cast<long>(sires.size()) - k)]);
    const long ndam = static_cast<long>(dams.size());
    for (long i = first(g); i < first(g + 1); ++i) {
      p.generation[i] = static_cast<int>(g);
      const bool sire_known = rng.uniform() >= unknown;
      const bool dam_known = rng.uniform() >= unknown;
      if (sire_known && nsire > 0) p.sire[i] = sires[rng.below(nsire)];
      if (dam_known && ndam > 0) p.dam[i] = dams[rng.below(ndam)];
    }
  }
  return p;
}

std::vector<double> breeding_values(const Pedigree& p, const Matrix& g, int nt, Rng& rng) {
  const Matrix l = cholesky(g, nt, "G");
  const long n = p.size();
  std::vector<double> a((n + 1) * nt, 0.0);
  double m[max_order];
  for (long i = 1; i <= n; ++i) {
    const long s = p.sire[i], d = p.dam[i];
    const int known = (s > 0) + (d > 0);
    correlated(l, nt, std::sqrt(1.0 - 0.25 * known), rng, m);
    for (int t = 0; t < nt; ++t) a[i * nt + t] = 0.5 * (a[s * nt + t] + a[d * nt + t]) + m[t];
  }
  return a;
}

double breed_mendelian_var(const Pedigree& p, const std::vector<double>& frac,
                           const std::vector<double>& bg, long i) {
  auto f = [&](long x, int b) { return frac[static_cast<std::size_t>(2 * x + b - 1)]; };
  double w = f(i, 1) * bg[0] + f(i, 2) * bg[1];
  for (long q : {p.dam[i], p.sire[i]}) {
    if (q <= 0) continue;
    w -= 0.25 * (f(q, 1) * bg[0] + f(q, 2) * bg[1]);
    w += 2.0 * f(q, 1) * f(q, 2) * bg[2];
    for (long r : {p.dam[q], p.sire[q]})
      if (r > 0) w -= 0.5 * f(r, 1) * f(r, 2) * bg[2];
  }
  return w;
}

std::vector<double> breed_values(const Pedigree& p, const std::vector<double>& bg, Rng& rng,
                                 std::vector<double>& frac) {
  const long n = p.size();
  frac.assign(static_cast<std::size_t>(2 * (n + 1)), 0.0);
  std::vector<double> a(static_cast<std::size_t>(n + 1), 0.0);
  for (long i = 1; i <= n; ++i) {
    const long s = p.sire[i], d = p.dam[i];
    if (s > 0 && d > 0) {
      for (int b = 0; b < 2; ++b)
        frac[static_cast<std::size_t>(2 * i + b)] =
            0.5 * (frac[static_cast<std::size_t>(2 * s + b)] + frac[static_cast<std::size_t>(2 * d + b)]);
    } else {
      frac[static_cast<std::size_t>(2 * i + (i % 2 == 1 ? 0 : 1))] = 1.0;
    }
    const double w = std::max(breed_mendelian_var(p, frac, bg, i), 0.0);
    a[static_cast<std::size_t>(i)] =
        0.5 * (a[static_cast<std::size_t>(s)] + a[static_cast<std::size_t>(d)]) + std::sqrt(w) * rng.normal();
  }
  return a;
}

Numbering number_animals(const Pedigree& p, long first_recorded, bool reduced) {
  const long n = p.size();
  Numbering num;
  num.new_id.assign(n + 1, 0);
  if (!reduced) {
    for (long i = 1; i <= n; ++i) num.new_id[i] = i;
    num.kept = num.with_equations = n;
    return num;
  }
  std::vector<char> parent(n + 1, 0);
  for (long i = 1; i <= n; ++i) {
    parent[p.sire[i]] = 1;
    parent[p.dam[i]] = 1;
  }
  long next = 0;
  for (long i = 1; i <= n; ++i)
    if (parent[i]) num.new_id[i] = ++next;
  num.with_equations = next;
  for (long i = first_recorded; i <= n; ++i)
    if (!parent[i]) num.new_id[i] = ++next;
  num.kept = next;
  return num;
}

std::vector<Candidates> draw_candidates(const Pedigree& p, double share, Rng& rng,
                                        const std::vector<double>& frac) {
  auto same_breeds = [&](long a, long b) {
    if (frac.empty()) return true;
    return frac[static_cast<std::size_t>(2 * a)] == frac[static_cast<std::size_t>(2 * b)] &&
           frac[static_cast<std::size_t>(2 * a + 1)] == frac[static_cast<std::size_t>(2 * b + 1)];
  };
  const long n = p.size();
  std::vector<Candidates> out;
  if (!(share > 0.0)) return out;
  // The sires used in each generation.
  int gmax = 0;
  for (long i = 1; i <= n; ++i) gmax = std::max(gmax, p.generation[i]);
  std::vector<std::vector<long>> pool(static_cast<std::size_t>(gmax) + 1);
  std::vector<int> seen(n + 1, -1);
  for (long i = 1; i <= n; ++i) {
    const long s = p.sire[i];
    if (s > 0 && seen[s] != p.generation[i]) {
      seen[s] = p.generation[i];
      pool[static_cast<std::size_t>(p.generation[i])].push_back(s);
    }
  }
  for (long i = 1; i <= n; ++i) {
    if (p.sire[i] == 0 || !(rng.uniform() < share)) continue;
    std::vector<long> others;
    for (long s : pool[static_cast<std::size_t>(p.generation[i])])
      if (s != p.sire[i] && same_breeds(s, p.sire[i])) others.push_back(s);
    if (others.empty()) continue;
    const long k = std::min<long>(1 + rng.below(3), static_cast<long>(others.size()));
    for (long j = 0; j < k; ++j)
      std::swap(others[j], others[j + rng.below(static_cast<long>(others.size()) - j)]);
    others.resize(static_cast<std::size_t>(k));
    others.insert(others.begin() + rng.below(k + 1), p.sire[i]);
    out.push_back({i, others});
  }
  return out;
}

Summary simulate_rnorm(const Options& o) {
  namespace fs = std::filesystem;
  const Matrix r = true_r(o);
  Rng rng(o.seed);
  const int ne = o.rnorm_env, ns = o.rnorm_slopes;
  std::vector<double> h(static_cast<std::size_t>(ne)), b(static_cast<std::size_t>(ns));
  for (double& x : h) x = std::sqrt(o.rnorm_var_h) * rng.normal();
  for (double& x : b) x = std::sqrt(o.rnorm_var_b) * rng.normal();
  const double mu = o.rnorm_mean, sd = std::sqrt(r[0]);

  std::error_code ec;
  fs::create_directories(o.out, ec);
  if (ec) throw std::runtime_error("cannot create " + o.out + ": " + ec.message());
  auto path = [&](const char* name) { return (fs::path(o.out) / (o.prefix + name)).string(); };
  Summary sum;
  sum.records = o.records;
  {
    // Data: trait, mean (1), environment, slope level.
    File f(path("data.txt"));
    for (long k = 0; k < o.records; ++k) {
      const long j = k % ne;
      const long i = k < ns ? k : rng.below(ns);
      const double y = mu + h[static_cast<std::size_t>(j)] * (1.0 + b[static_cast<std::size_t>(i)]) + sd * rng.normal();
      put_value(f.f, y, "");
      std::fprintf(f.f, " 1 %ld %ld\n", j + 1, i + 1);
    }
    f.close();
    sum.files.push_back(f.path);
  }
  {
    File f(path("params.txt"));
    std::FILE* p = f.f;
    std::fprintf(p, "# Simulated reaction-norm data set: %ld records, %d environments, %d slope levels, seed %llu\n",
                 o.records, ne, ns, static_cast<unsigned long long>(o.seed));
    std::fprintf(p, "# Data columns: trait 1, mean 2, environment 3, slope level 4\n# Made by: %s", o.command.c_str());
    std::fprintf(p, "\nMCMC_CHAIN:\n%ld %ld %ld\n", o.nround, o.nburn, o.skip);
    std::fprintf(p, "SEED\n%ld\n", o.chain_seed);
    std::fprintf(p, "RESTART:\nn\n");
    std::fprintf(p, "DATAFILE\n%sdata.txt %ld\n", o.prefix.c_str(), o.records);
    std::fprintf(p, "NUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n3\nOBSERVATION(S)\n1\nWEIGHT(S)\n\n");
    std::fprintf(p, "EFFECTS:\n2 1 cross n\n3 %d unk y\n3 %d rno y 4\n", ne, ns);
    std::fprintf(p, "RANDOM_RESIDUAL:\nhomogeneous %d\n", o.dbelief);
    std::fprintf(p, "RESIDUAL_PRIOR_(CO)VARIANCES\n%.10g\n", o.start_scale * r[0]);
    std::fprintf(p, "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal %d\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n%.10g\n",
                 o.dbelief, o.start_scale * o.rnorm_var_h);
    std::fprintf(p, "RANDOM_GROUP\n3\nRANDOM_TYPE\ndiagonal %d\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n%.10g\n",
                 o.dbelief, o.start_scale * o.rnorm_var_b);
    f.close();
    sum.files.push_back(f.path);
  }
  {
    File f(path("truth.txt"));
    std::FILE* p = f.f;
    std::fprintf(p, "# True values of the simulated reaction-norm data set (seed %llu)\n# Made by: %s\n",
                 static_cast<unsigned long long>(o.seed), o.command.c_str());
    std::fprintf(p, "RECORDS\n%ld\nMEAN\n%.10g\nRESIDUAL_VARIANCE\n%.10g\n", o.records, mu, r[0]);
    std::fprintf(p, "COVARIATES (environment, h)\n");
    for (int j = 0; j < ne; ++j) std::fprintf(p, "%d %.10g\n", j + 1, h[static_cast<std::size_t>(j)]);
    std::fprintf(p, "SLOPES (level, b)\n");
    for (int i = 0; i < ns; ++i) std::fprintf(p, "%d %.10g\n", i + 1, b[static_cast<std::size_t>(i)]);
    f.close();
    sum.files.push_back(f.path);
  }
  return sum;
}

Summary simulate(const Options& o) {
  if (o.rnorm_env > 0) return simulate_rnorm(o);
  namespace fs = std::filesystem;
  const int nt = o.traits, ord = g_order(o);
  const Matrix g = true_g(o), r = true_r(o);
  const Matrix lr = cholesky(r, nt, "R");
  Rng rng(o.seed);

  const Pedigree ped = make_pedigree(o.animals, o.generations, o.unknown, rng);
  const bool mb = !o.breeds.empty();
  std::vector<double> frac;
  std::vector<double> a = mb ? breed_values(ped, o.breeds, rng, frac) : breeding_values(ped, g, ord, rng);
  // An absent effect has no values: the present ones keep the distribution
  // of their own block of G.
  std::vector<char> absent(static_cast<std::size_t>(ord), 0);
  for (int x : o.absent) absent[static_cast<std::size_t>(x - 1)] = 1;
  Matrix g_true = g;
  for (int i = 0; i < ord; ++i)
    for (int j = 0; j < ord; ++j)
      if (absent[static_cast<std::size_t>(i)] || absent[static_cast<std::size_t>(j)]) g_true[i * ord + j] = 0.0;
  if (!o.absent.empty())
    for (long i = 0; i <= ped.size(); ++i)
      for (int t = 0; t < ord; ++t)
        if (absent[static_cast<std::size_t>(t)]) a[static_cast<std::size_t>(i * ord + t)] = 0.0;
  auto gd = [&](int t) { return g[t * ord + t]; };  // direct variance of trait t
  // The breed blocks as the parameter file holds them: G11, G12; G12, G22.
  const Matrix bgm = mb ? Matrix{o.breeds[0], o.breeds[2], o.breeds[2], o.breeds[1]} : Matrix{};

  // Fixed effects: a level effect around each trait's mean and a slope on the
  // covariable, both on the scale of the phenotypic standard deviation.
  std::vector<double> level_eff(static_cast<std::size_t>(o.levels) * nt), slope(nt);
  for (int t = 0; t < nt; ++t) slope[t] = slope_sd[t] * std::sqrt(gd(t) + r[t * nt + t]);
  for (int l = 0; l < o.levels; ++l)
    for (int t = 0; t < nt; ++t)
      level_eff[l * nt + t] = trait_mean[t] + std::sqrt(gd(t) + r[t * nt + t]) * rng.normal();

  std::error_code ec;
  fs::create_directories(o.out, ec);
  if (ec) throw std::runtime_error("cannot create " + o.out + ": " + ec.message());
  auto path = [&](const char* name) { return (fs::path(o.out) / (o.prefix + name)).string(); };
  Summary sum;
  sum.animals = o.animals;
  sum.records = o.records;
  // With parent groups an unknown parent of a non-founder is the group, the
  // level after the animals (when some line names it).
  const bool groups = !o.groups.empty();
  long group = 0;
  for (long i = 1; i <= ped.size(); ++i)
    if (groups && ped.generation[i] > 0 && (ped.sire[i] == 0 || ped.dam[i] == 0)) group = o.animals + 1;
  auto parent_or_group = [&](long i, long p) { return p > 0 || ped.generation[i] == 0 ? p : group; };
  // Founders: the animals whose line names no parent.
  for (long i = 1; i <= ped.size(); ++i)
    sum.founders += parent_or_group(i, ped.sire[i]) == 0 && parent_or_group(i, ped.dam[i]) == 0;

  // Data: traits, level, covariable, animal[, weight].  The last animals carry
  // the records, one each, or several each when records outnumber animals.
  const long with_records = std::min(o.records, o.animals);
  const long first_recorded = o.animals - with_records + 1;

  // Candidate sires come from a stream of their own: the data set is the
  // same with and without them.
  const bool ms_model = o.reduced || o.candidates > 0.0;
  Rng crng(o.seed ^ 0x5bd1e9955bd1e995ULL);
  const std::vector<Candidates> cands = draw_candidates(ped, o.candidates, crng, frac);
  const Numbering num = number_animals(ped, first_recorded, o.reduced);
  std::vector<long> orig(static_cast<std::size_t>(num.kept) + 1, 0);
  for (long i = 1; i <= ped.size(); ++i)
    if (num.new_id[i] > 0) orig[static_cast<std::size_t>(num.new_id[i])] = i;
  std::vector<long> cand_of(ped.size() + 1, -1);
  for (std::size_t c = 0; c < cands.size(); ++c) cand_of[cands[c].animal] = static_cast<long>(c);

  // Pedigree: animal, sire, dam; for the candidate-sire model animal, dam,
  // sire (-1 for candidates) and the Mendelian coefficient.
  long n_ms = 0;
  {
    File f(path("pedigree.txt"));
    if (mb) {
      // Animal, dam, sire, then the fractions of the two breeds.
      // A sire given as candidates is -1.
      for (long i = 1; i <= ped.size(); ++i)
        std::fprintf(f.f, "%ld %ld %ld %.10g %.10g\n", i, ped.dam[i], cand_of[i] >= 0 ? -1L : ped.sire[i],
                     frac[static_cast<std::size_t>(2 * i)], frac[static_cast<std::size_t>(2 * i + 1)]);
    } else if (groups) {
      // Animal, sire, dam, then the code of the line: the parents that are
      // animals, as a class (add_an_upg) or as 1000 times the weight.
      for (long i = 1; i <= ped.size(); ++i) {
        const int known = (ped.sire[i] > 0) + (ped.dam[i] > 0);
        const int code = o.groups == "add_an_upg" ? 3 - known : known == 2 ? 2000 : known == 1 ? 1333 : 1000;
        std::fprintf(f.f, "%ld %ld %ld %d\n", i, parent_or_group(i, ped.sire[i]), parent_or_group(i, ped.dam[i]),
                     code);
      }
    } else if (!ms_model) {
      for (long i = 1; i <= ped.size(); ++i) std::fprintf(f.f, "%ld %ld %ld\n", i, ped.sire[i], ped.dam[i]);
    } else {
      for (long k = 1; k <= num.kept; ++k) {
        const long i = orig[static_cast<std::size_t>(k)];
        const long s = ped.sire[i], d = ped.dam[i];
        const int known = (s > 0) + (d > 0);
        const char* dinv = known == 2 ? "2" : known == 1 ? "1.333333333" : "1";
        const long sire = cand_of[i] >= 0 ? -1 : num.new_id[s];
        std::fprintf(f.f, "%ld %ld %ld %s\n", k, num.new_id[d], sire, dinv);
      }
    }
    f.close();
    sum.files.push_back(f.path);
  }
  if (!cands.empty()) {
    File f(path("msires.txt"));
    for (long k = 1; k <= num.kept; ++k) {
      const long i = orig[static_cast<std::size_t>(k)];
      if (cand_of[i] < 0) continue;
      const std::vector<long>& c = cands[static_cast<std::size_t>(cand_of[i])].sires;
      std::fprintf(f.f, "%zu\n", c.size());
      for (long s : c) std::fprintf(f.f, "%ld\n%.10g\n", num.new_id[s], 1.0 / static_cast<double>(c.size()));
      n_ms += 1 + 2 * static_cast<long>(c.size());
    }
    f.close();
    sum.files.push_back(f.path);
  }
  std::vector<double> residuals;
  residuals.reserve(static_cast<std::size_t>(o.records) * nt);
  {
    File f(path("data.txt"));
    double e[max_traits];
    bool miss[max_traits];
    for (long k = 0; k < o.records; ++k) {
      const long animal = first_recorded + k % with_records;
      const int level = k < o.levels ? static_cast<int>(k) : static_cast<int>(rng.below(o.levels));
      const double cov = rng.normal();
      const int w = o.weights ? 1 + static_cast<int>(rng.below(4)) : 1;
      correlated(lr, nt, 1.0 / std::sqrt(static_cast<double>(w)), rng, e);
      if (o.student_t > 0.0) {
        // A normal over the root of a Gamma(df/2, rate df/2) weight.
        const double h = 0.5 * o.student_t;
        e[0] /= std::sqrt(rng.gamma(h) / h);
      }
      if (o.structural > 0.0 && level == o.levels - 1) e[0] *= std::sqrt(o.structural);
      int nmiss = 0;
      for (int t = 0; t < nt; ++t) nmiss += (miss[t] = o.missing > 0.0 && rng.uniform() < o.missing);
      if (nmiss == nt) miss[rng.below(nt)] = false;
      for (int t = 0; t < nt; ++t) {
        double y = level_eff[level * nt + t] + slope[t] * cov + a[animal * ord + t] + e[t];
        if (o.maternal) y += a[ped.dam[animal] * ord + nt + t];
        if (miss[t])
          std::fprintf(f.f, "%s0", t ? " " : "");
        else
          put_value(f.f, y, t ? " " : "");
      }
      std::fprintf(f.f, " %d", level + 1);
      put_value(f.f, cov);
      std::fprintf(f.f, " %ld", num.new_id[animal]);
      if (o.weights) std::fprintf(f.f, " %d", w);
      if (o.maternal) std::fprintf(f.f, " %ld", num.new_id[ped.dam[animal]]);
      std::fprintf(f.f, "\n");
      if (w == 1)
        for (int t = 0; t < nt; ++t) residuals.push_back(e[t]);
    }
    f.close();
    sum.files.push_back(f.path);
  }

  // Parameter file: traits in columns 1..nt, then level, covariable, animal
  // and weight; starting (co)variances start_scale times the truth.
  {
    File f(path("params.txt"));
    std::FILE* p = f.f;
    std::fprintf(p, "# Simulated data set: %d trait(s), %ld records, %ld animals, seed %llu\n", nt, o.records,
                 o.animals, static_cast<unsigned long long>(o.seed));
    std::fprintf(p, "# Data columns: trait(s) 1-%d, fixed level %d, covariable %d, animal %d", nt, nt + 1, nt + 2,
                 nt + 3);
    if (o.weights) std::fprintf(p, ", weight %d", nt + 4);
    const int dam_col = nt + 4 + (o.weights ? 1 : 0);
    if (o.maternal) std::fprintf(p, ", dam %d", dam_col);
    std::fprintf(p, "\n# Made by: %s", o.command.c_str());
    std::fprintf(p, "\nMCMC_CHAIN:\n%ld %ld %ld\n", o.nround, o.nburn, o.skip);
    std::fprintf(p, "SEED\n%ld\n", o.chain_seed);
    std::fprintf(p, "RESTART:\nn\n");
    std::fprintf(p, "DATAFILE\n%sdata.txt %ld\n", o.prefix.c_str(), o.records);
    std::fprintf(p, "NUMBER_OF_TRAITS\n%d\n", nt);
    std::fprintf(p, "NUMBER_OF_EFFECTS\n%d\n", o.maternal ? 4 : 3);
    std::fprintf(p, "OBSERVATION(S)\n");
    for (int t = 1; t <= nt; ++t) std::fprintf(p, "%s%d", t > 1 ? " " : "", t);
    std::fprintf(p, "\nWEIGHT(S)\n");
    if (o.weights) std::fprintf(p, "%d", nt + 4);
    std::fprintf(p, "\nEFFECTS:\n");
    const long animal_levels = num.with_equations + (group > 0 ? 1 : 0);
    const long nlev[4] = {o.levels, 1, animal_levels, animal_levels};
    const char* type[4] = {"cross", "cov", o.reduced ? "ram" : "cross", "cross"};
    for (int e = 0; e < (o.maternal ? 4 : 3); ++e) {
      for (int t = 0; t < nt; ++t) {
        // Rows of G: the direct effect's traits, then the maternal effect's.
        const int row = e < 2 ? -1 : (e - 2) * nt + t;
        const int col = e == 3 ? dam_col : nt + 1 + e;
        std::fprintf(p, "%d ", row >= 0 && absent[static_cast<std::size_t>(row)] ? 0 : col);
      }
      std::fprintf(p, "%ld %s n\n", nlev[e], type[e]);
    }
    const bool st = o.structural > 0.0, ht = o.student_t > 0.0;
    const char* rtype = st ? (ht ? "struct_student_t" : "structural") : (ht ? "student_t" : "homogeneous");
    std::fprintf(p, "RANDOM_RESIDUAL:\n%s %d\n", rtype, o.dbelief);
    if (st)
      std::fprintf(p, "METROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n1 10\nNUMBER_OF_STRUCTURAL_EFFECTS\n1\n"
                      "STRUCTURAL_EFFECTS:\n1 y\n");
    std::fprintf(p, "RESIDUAL_PRIOR_(CO)VARIANCES\n");
    put_matrix(p, r, nt, o.start_scale);
    const char* group_line = o.maternal ? "3 4" : "3";
    if (mb) {
      std::fprintf(p, "RANDOM_GROUP\n3\nRANDOM_TYPE\nadd_an_mb %d\n", o.mb_dbelief);
      std::fprintf(p, "PEDIGREEFILE:\n%spedigree.txt %ld 0 2\n", o.prefix.c_str(), o.animals);
      if (cands.empty())
        std::fprintf(p, "MULTIPLE_SIRES:\n0 none 0\n");
      else
        std::fprintf(p, "MULTIPLE_SIRES:\n4 %smsires.txt %ld 0\n", o.prefix.c_str(), n_ms);
      std::fprintf(p, "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n%d 5\n", o.mb_rounds);
      std::fprintf(p, "(CO)VARIANCES\n");
      put_matrix(p, bgm, 2, o.start_scale);
    } else if (!ms_model) {
      std::fprintf(p, "RANDOM_GROUP\n%s\nRANDOM_TYPE\n%s %d\n", group_line, groups ? o.groups.c_str() : "add_animal",
                   o.dbelief);
      std::fprintf(p, "PEDIGREEFILE:\n%spedigree.txt %ld\n", o.prefix.c_str(), o.animals);
    } else {
      std::fprintf(p, "RANDOM_GROUP\n%s\nRANDOM_TYPE\nadd_an_ms %d\n", group_line, o.dbelief);
      std::fprintf(p, "PEDIGREEFILE:\n%spedigree.txt %ld 0\n", o.prefix.c_str(), num.kept);
      if (cands.empty())
        std::fprintf(p, "MULTIPLE_SIRES:\n0 none 0\n");
      else
        std::fprintf(p, "MULTIPLE_SIRES:\n4 %smsires.txt %ld 0\n", o.prefix.c_str(), n_ms);
    }
    if (!mb) {
      // As a user writes it: the rows of absent effects are not read.
      std::fprintf(p, "(CO)VARIANCES\n");
      put_matrix(p, g, ord, o.start_scale);
    }
    f.close();
    sum.files.push_back(f.path);
  }

  // Truth: keyword lines, each followed by its values.
  {
    File f(path("truth.txt"));
    std::FILE* p = f.f;
    std::fprintf(p, "# True values of the simulated data set (seed %llu)\n# Made by: %s\n",
                 static_cast<unsigned long long>(o.seed), o.command.c_str());
    std::fprintf(p, "TRAITS\n%d\nRECORDS\n%ld\nANIMALS\n%ld\nFOUNDERS\n%ld\n", nt, o.records, o.animals, sum.founders);
    std::fprintf(p, "GENETIC_(CO)VARIANCES%s\n",
                 o.maternal ? " (direct traits, then maternal traits)" : "");
    put_matrix(p, g_true, ord, 1.0);
    std::fprintf(p, "RESIDUAL_(CO)VARIANCES\n");
    put_matrix(p, r, nt, 1.0);
    if (mb) {
      std::fprintf(p, "BREED_(CO)VARIANCES (breed 1, segregation; segregation, breed 2)\n");
      put_matrix(p, bgm, 2, 1.0);
    }
    if (o.student_t > 0.0) std::fprintf(p, "RESIDUAL_T_DF\n%.10g\n", o.student_t);
    if (o.structural > 0.0)
      std::fprintf(p, "RESIDUAL_RATIO_OF_LAST_LEVEL\n%.10g\n", o.structural);
    std::fprintf(p, "HERITABILITIES\n");
    for (int t = 0; t < nt; ++t)
      std::fprintf(p, "%s%.6f", t ? " " : "", g_true[t * ord + t] / (g_true[t * ord + t] + r[t * nt + t]));
    std::fprintf(p, "\nCOVARIABLE_SLOPES\n");
    for (int t = 0; t < nt; ++t) std::fprintf(p, "%s%.10g", t ? " " : "", slope[t]);
    std::fprintf(p, "\n# Realised in this draw: (co)variances of the founders' breeding values and of the\n"
                    "# residuals of the records of weight 1\n");
    std::vector<double> fa;
    for (long i = 1; i <= ped.size(); ++i)
      if (ped.sire[i] == 0 && ped.dam[i] == 0) fa.insert(fa.end(), &a[i * ord], &a[i * ord] + ord);
    std::fprintf(p, "REALISED_FOUNDER_(CO)VARIANCES\n");
    put_matrix(p, sample_cov(fa, ord), ord, 1.0);
    std::fprintf(p, "REALISED_RESIDUAL_(CO)VARIANCES\n");
    put_matrix(p, sample_cov(residuals, nt), nt, 1.0);
    std::fprintf(p, "FIXED_LEVELS (level, then one effect per trait)\n");
    for (int l = 0; l < o.levels; ++l) {
      std::fprintf(p, "%d", l + 1);
      for (int t = 0; t < nt; ++t) std::fprintf(p, " %.10g", level_eff[l * nt + t]);
      std::fprintf(p, "\n");
    }
    if (!cands.empty()) {
      std::fprintf(p, "TRUE_SIRES (animal, sire; numbered as in the pedigree file)\n");
      for (const Candidates& c : cands)
        if (num.new_id[c.animal] > 0)
          std::fprintf(p, "%ld %ld\n", num.new_id[c.animal], num.new_id[ped.sire[c.animal]]);
    }
    f.close();
    sum.files.push_back(f.path);
  }

  if (o.tbv) {
    File f(path("tbv.txt"));
    for (long i = 1; i <= ped.size(); ++i) {
      if (num.new_id[i] == 0) continue;
      std::fprintf(f.f, "%ld", num.new_id[i]);
      for (int t = 0; t < ord; ++t) std::fprintf(f.f, " %.6f", a[i * ord + t]);
      std::fprintf(f.f, "\n");
    }
    f.close();
    sum.files.push_back(f.path);
  }
  return sum;
}

}  // namespace sim
