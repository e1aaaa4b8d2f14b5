// Storage and residual checks, the statistics report and the clock.
#include <cmath>
#include <cstdint>
#include <string>

#include "util/clock.hpp"
#include "util/format.hpp"
#include "zanto/sparssub.hpp"

namespace zanto {

namespace {

void put_line(std::FILE* unit, const std::string& s) {
  std::fwrite(s.data(), 1, s.size(), unit);
  std::fputc('\n', unit);
}

template <class... A>
void put_free(std::FILE* unit, const A&... a) {
  put_line(unit, util::freev(a...));
}

}  // namespace

void checkst(word option, std::int64_t need, std::int64_t& largest, std::int64_t available,
             word& flag) {
  if (need > largest) largest = need;
  if (need > available) flag = option * 100 + 1;
}

void checkb(word n, civec ia, civec ja, crvec a, crvec x, crvec b, double tol, rvec t,
            std::FILE* unit, word& flag) {
  for (word i = 1; i <= n; ++i) t(i) = 0.0;
  for (word i = 1; i <= n; ++i) {
    for (word k = ia(i); k < ia(i + 1); ++k) {
      const word j = ja(k);
      t(i) += a(k) * x(j);
      if (i < j) t(j) += a(k) * x(i);
    }
  }
  double dev = 0;
  for (word i = 1; i <= n; ++i) {
    const double ti = t(i);
    put_free(unit, i, ti, b(i));
    if (ia(i + 1) > ia(i)) dev = dev + std::fabs(ti - b(i)) / n;
  }
  if (dev > tol) {
    flag = 1;
    put_free(unit, "ERROR in CHECKB: not accurate solution");
    put_free(unit, "observed deviation = ", dev);
    put_free(unit, "maximum allowed    = ", tol);
  }
}

word count_nza(word n, civec ia, civec ja, std::FILE* unit) {
  word offdiag = 0;
  word empty = 0;
  for (word i = 1; i <= n; ++i) {
    if (ia(i + 1) == ia(i)) ++empty;
    for (word k = ia(i); k < ia(i + 1); ++k)
      if (ja(k) != i) ++offdiag;
  }
  if (empty > 0) put_free(unit, "WARNING! ", empty, " empty rows");
  return offdiag;
}

void figureout(word n, std::int64_t available, std::FILE* unit, const Stats& st, word rank) {
  const auto ival = [&](const char* text, std::int64_t v) {
    put_line(unit, util::formatv("(a,i25)", text, static_cast<long long>(v)));
  };
  const auto rval = [&](const char* text, double v, const char* fmt) {
    put_line(unit, util::formatv(fmt, text, v));
  };
  const auto count = [](double v) { return static_cast<std::int64_t>(v); };

  put_line(unit, "               **************");
  put_line(unit, "               **** ZANTO ***");
  put_line(unit, "               **************");
  put_line(unit, "");
  put_line(unit, "              SPARSE STATISTICS");
  ival("      DIMENSION OF MATRIX     =", n);
  ival("      RANK                    =", rank);
  ival("      STORAGE AVAILABLE       =", available);
  ival("      MAXIMUM NEEDED          =", st.max_need);
  ival("      NZE IN UPPER TRIANGULAR =", n + st.nze);
  ival("      NZE IN FACTOR           =", st.maxlnz);
  ival("      NO. OF CALLS NUM FACT   =", count(st.n_numeric));
  ival("      NO. OF CALLS SOLVE      =", count(st.n_solve));
  ival("      NO. OF CALLS SPARS SOLV =", count(st.n_sparse_solve));
  ival("      NO. OF CALLS DET / LDET =", count(st.n_det));
  ival("      NO. OF CALLS SPARS INV  =", count(st.n_inverse));
  if (st.n_sparse_solve > 0) {
    const double ns = st.n_sparse_solve;
    ival("      MAX NO. NODES           =", count(st.max_nf));
    ival("      MAX PATH LENGTH         =", count(st.max_path));
    rval("      AVG NO. NODES FPATH     =", st.sum_nf / ns, "(a,f25.3)");
    rval("      AVG NO. NODES BPATH     =", st.sum_nb / ns, "(a,f25.3)");
    rval("      AVG FPATH LENGTH        =", st.sum_fpath / ns, "(a,f25.3)");
    rval("      AVG BPATH LENGTH        =", st.sum_bpath / ns, "(a,f25.3)");
  }
  rval("      TOTAL CPU TIME IN ZANTO =", st.t_total, "(a,f25.6)");
  rval("      TIME FOR FINDING ORDER  =", st.t_order, "(a,f25.6)");
  rval("      TIME FOR SYMBOLIC FAC   =", st.t_symbolic, "(a,f25.6)");
  rval("      TIME FOR NUMERICAL FAC  =", st.t_numeric, "(a,f25.6)");
  rval("      TIME FOR SOLVE          =", st.t_solve, "(a,f25.6)");
  rval("      TIME FOR SPARSE SOLVE   =", st.t_sparse_solve, "(a,f25.6)");
  rval("      TIME FOR SPARSE INVERSE =", st.t_inverse, "(a,f25.6)");
}

float second() { return util::cpu_seconds(); }

}  // namespace zanto
