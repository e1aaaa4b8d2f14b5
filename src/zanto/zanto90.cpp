// Keyword interface of the factorisation package: its state machine, the
// step runner that grows the work space on demand, and the messages.
#include "zanto/zanto90.hpp"

#include <algorithm>
#include <string>

#include "util/format.hpp"
#include "util/stop.hpp"
#include "zanto/driver.hpp"

namespace zanto {

InterfaceState& interface_state() {
  static InterfaceState s;
  return s;
}

namespace {

constexpr std::int64_t default_maxmem = 2147483647;

enum class Step { ordering, symbolic_fact, numeric_fact, solve, det, ldet, inverse, statistics };

// What the steps of one call share.
struct Call {
  const Matrix& fs;
  word msglev;
  std::int64_t maxmem;
  word* rank;
};

word option_of(Step s) {
  switch (s) {
    case Step::ordering: return 10;
    case Step::symbolic_fact: return 20;
    case Step::numeric_fact: return 40;
    case Step::solve: return 50;
    case Step::det: return 54;
    case Step::ldet: return 55;
    case Step::inverse: return 61;
    case Step::statistics: return 80;
  }
  return 0;
}

void allocate(InterfaceState& s, std::int64_t words) {
  s.work.assign(static_cast<std::size_t>(2 * (words / 2 + 1)), 0);
}

// The package relies on the matrix's layout: row starts that fit the
// arrays, every row led by its diagonal, columns within the order, and each
// off-diagonal pair stored once.  Anything else is refused before a step
// indexes by it.
void check_matrix(const Matrix& fs) {
  const long n = fs.n;
  if (n == 0 && fs.ia.empty()) return;  // an empty matrix without arrays
  const std::int32_t* ia = fs.ia.data();
  const std::int32_t* ja = fs.ja.data();
  const auto length = [](auto s) { return static_cast<long>(s.size()); };
  bool ok = n >= 0 && length(fs.ia) >= n + 1 && ia[0] == 1;
  for (long i = 0; ok && i < n; ++i) ok = ia[i] < ia[i + 1];
  const long last = ok ? ia[n] - 1 : 0;
  ok = ok && length(fs.ja) >= last && length(fs.a) >= last;
  std::vector<long> start(static_cast<std::size_t>(n) + 2, 0);
  for (long i = 1; ok && i <= n; ++i) {
    ok = ja[ia[i - 1] - 1] == i;
    for (long k = ia[i - 1] + 1; ok && k < ia[i]; ++k) {
      const long c = ja[k - 1];
      ok = c >= 1 && c <= n && c != i;
      if (ok) {
        ++start[i + 1];
        ++start[c + 1];
      }
    }
  }
  if (ok) {
    // Each node's neighbours, stamped to find a pair given twice.
    for (long i = 1; i <= n + 1; ++i) start[i] += start[i - 1];
    std::vector<long> adj(static_cast<std::size_t>(start[n + 1])), stamp(n + 1, 0);
    std::vector<long> next(start.begin(), start.end() - 1);
    for (long i = 1; i <= n; ++i)
      for (long k = ia[i - 1] + 1; k < ia[i]; ++k) {
        adj[next[i]++] = ja[k - 1];
        adj[next[ja[k - 1]]++] = i;
      }
    for (long i = 1; ok && i <= n; ++i)
      for (long p = start[i]; ok && p < start[i + 1]; ++p) {
        ok = stamp[adj[p]] != i;
        stamp[adj[p]] = i;
      }
  }
  if (!ok) util::fatal(util::freev("ZANTO90: matrix of order", fs.n, "with inconsistent arrays"));
}

// One step, repeated after each enlargement of the work space; rhs is the
// right-hand side of "solve", overwritten by the solution.
void run_zanto(InterfaceState& s, Call& c, Step step, std::vector<double>* rhs = nullptr) {
  const Matrix& fs = c.fs;
  const word n = fs.n;
  word no_rows = 1;
  const auto length = [](auto s) { return static_cast<long>(s.size()); };
  ivec ia = fs.ia.empty() ? ivec(&no_rows, 1) : ivec(fs.ia.data(), length(fs.ia));
  ivec ja(fs.ja.data(), length(fs.ja));
  rvec a(fs.a.data(), length(fs.a));
  word iscratch[4] = {0, 0, 0, 0};
  double rscratch = 0;
  for (;;) {
    std::FILE* unit = nullptr;
    if (step == Step::ordering) {
      // Created when absent, reused (and rewritten) when present.
      unit = std::fopen("zanto90.ord", "r+");
      if (unit == nullptr) unit = std::fopen("zanto90.ord", "w+");
      if (unit == nullptr) util::fatal(util::freev("ZANTO90: cannot open file zanto90.ord"));
    }
    rvec sixth = step == Step::solve ? rvec(rhs->data(), static_cast<long>(rhs->size()))
                                     : rvec(s.sc, 2);
    word flag = 0;
    std::int64_t need = 0;
    zanto(option_of(step), n, ia, ja, a, sixth, flag, stdout, unit, s.memory, need,
          view(s.work), civec(&iscratch[0], 1), civec(&iscratch[1], 1), iscratch[2],
          iscratch[3], crvec(&rscratch, 1), 0, s.rank_o);
    if (unit != nullptr) std::fclose(unit);

    switch (step) {
      case Step::ordering:
        if (c.msglev >= 3) util::say("ZANTO90: size=", n, "  #nonzeroes=", fs.nel);
        if (c.msglev >= 2) util::say("ordering time =", second());
        break;
      case Step::symbolic_fact:
        if (c.msglev >= 2) util::say("symbolic factorization time=", second());
        break;
      case Step::numeric_fact:
        if (c.msglev >= 2) util::say("numerical factorization time=", second());
        break;
      case Step::inverse:
        if (c.msglev >= 2) util::say("inversion time=", second());
        break;
      default:
        break;
    }

    if (flag == 0) {
      if (c.rank != nullptr) *c.rank = s.rank_o;
      return;
    }
    if (flag <= 100) util::fatal(util::freev("zanto: unknown error flag: ", flag));
    if (need > c.maxmem) {
      util::fatal(util::freev("ZANTO90: memory needed:", need) + "\n" +
                  util::freev("         maxmimum memory allowed:", c.maxmem));
    }
    if (c.msglev >= 1) util::say("memory increased from:", s.memory, " to:", need);
    // The old contents stay: ordering, structure and factor of earlier steps.
    s.work.resize(static_cast<std::size_t>(2 * (need / 2 + 1)), 0);
    s.memory = need;
  }
}

void make_ready(InterfaceState& s, Call& c) {
  if (s.status == -1) {
    allocate(s, s.memory);
    s.status = 0;
  }
  if (s.status == 0) {
    run_zanto(s, c, Step::ordering);
    run_zanto(s, c, Step::symbolic_fact);
    s.status = 1;
  }
  if (s.status == 1) {
    run_zanto(s, c, Step::numeric_fact);
    s.status = 2;
  }
}

void solve(InterfaceState& s, Call& c, const Optional& o) {
  const word n = c.fs.n;
  const bool wide = o.rs8 && o.sol8;
  if (!wide && !(o.rs && o.sol))
    util::fatal(util::freev("ZANTO90: optional parameter SOL or RS missing"));
  const long rs_len = wide ? static_cast<long>(o.rs8->size()) : static_cast<long>(o.rs->size());
  const long sol_len = wide ? static_cast<long>(o.sol8->size()) : static_cast<long>(o.sol->size());
  // Refused rather than read or written past their ends.
  if (rs_len < n)
    util::fatal(util::freev("ZANTO90: right-hand side of length", rs_len,
                            "shorter than the order", n));
  if (sol_len < n)
    util::fatal(util::freev("ZANTO90: solution of length", sol_len, "shorter than the order", n));
  std::vector<double> x(static_cast<std::size_t>(n));
  for (word i = 0; i < n; ++i) x[i] = wide ? (*o.rs8)[i] : static_cast<double>((*o.rs)[i]);
  make_ready(s, c);
  run_zanto(s, c, Step::solve, &x);
  for (word i = 0; i < n; ++i) {
    if (wide)
      (*o.sol8)[i] = x[i];
    else
      (*o.sol)[i] = static_cast<float>(x[i]);
  }
}

}  // namespace

void zanto90r4(std::string_view op, const Matrix& fs, const Optional& opt) {
  InterfaceState& s = interface_state();
  if (fs.n != s.last_n) {
    // Only the order is compared: a new pattern of the same order needs "res".
    s.last_n = fs.n;
    if (s.status != -1) s.status = 0;
  }
  Call c{fs, opt.msglev.value_or(0), opt.maxmem.value_or(default_maxmem), opt.rank};
  const std::string_view w = op.substr(0, std::min<std::size_t>(3, op.size()));
  if (w == "fac" || w == "sol" || w == "inv" || w == "det" || w == "lde" || w == "sta")
    check_matrix(fs);

  if (w == "fac") {
    s.status = std::min<word>(s.status, 1);
    make_ready(s, c);
  } else if (w == "sol") {
    solve(s, c, opt);
  } else if (w == "inv") {
    make_ready(s, c);
    run_zanto(s, c, Step::inverse);
    // The inverse has overwritten the factor.
    s.status = 1;
  } else if (w == "res") {
    if (s.status >= 0) std::vector<word>().swap(s.work);
    s.status = -1;
    s.memory = 100;
  } else if (w == "det" || w == "lde") {
    const bool log = w == "lde";
    if (opt.det == nullptr) {
      util::say(log ? "ZANTO90: optional parameter DET misiing"
                    : "ZANTO90: optional parameter DET missing");
      return;
    }
    make_ready(s, c);
    run_zanto(s, c, log ? Step::ldet : Step::det);
    *opt.det = s.sc[0];
  } else if (w == "sta") {
    run_zanto(s, c, Step::statistics);
  } else {
    util::say(std::string("ZANTO90 operation ") + std::string(op) + " unknown");
  }
}

void zanto90r8(std::string_view op, const Matrix& fs, std::span<const double> rs8,
               std::span<double> sol8) {
  Optional o;
  o.rs8 = rs8;
  o.sol8 = sol8;
  zanto90r4(op, fs, o);
}

}  // namespace zanto
