#include "run/results/varcomp.hpp"

#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run::results {

namespace {

using model::m;

// One matrix row of d values, ten fields of F12.4 to a line.
template <class Get>
void matrix_row(ResultOut& f, int d, Get get) {
  std::string& b = f.buf();
  for (int j = 1; j <= d; ++j) {
    util::put_f_field(b, get(j), 12, 4);
    if (j % 10 == 0 || j == d) f.end_line();
  }
}

// d rows of d values each, one free-format read per row; fail(i) is the
// message of a row that cannot be read.  A row takes exactly the lines of
// its d values, ten to a line; the line each row begins on goes into lines.
template <class Fail, class Put>
void read_rows(ResultIn& f, int d, std::vector<double>& row, Fail fail, Put put,
               std::vector<long>* lines = nullptr) {
  row.assign(static_cast<std::size_t>(d), 0.0);
  if (lines) lines->assign(static_cast<std::size_t>(d) + 1, 0);
  for (int i = 1; i <= d; ++i) {
    if (lines) (*lines)[static_cast<std::size_t>(i)] = f.line_number() + 1;
    if (!f.row_values(std::span<double>(row), (d + 9) / 10)) f.unreadable(fail(i));
    for (int j = 1; j <= d; ++j) put(i, j, row[static_cast<std::size_t>(j - 1)]);
  }
}

// The last sample of a (co)variance matrix of order d, as the sampler keeps
// it: symmetric, and unless only that is asked, 0 where the starting matrix
// is 0 and positive definite over the rows that the starting matrix does
// not leave at 0.  lines(i) is the line row i begins on.
template <class Get, class Orig>
void check_last_matrix(const ResultIn& f, const std::string& what, int d, Get g, Orig orig,
                       const std::vector<long>& lines, bool only_symmetry = false) {
  auto line = [&](int i) { return lines[static_cast<std::size_t>(i)]; };
  const std::string sample = "the last sample of " + what;
  for (int i = 1; i <= d; ++i)
    for (int j = 1; j < i; ++j)
      if (g(i, j) != g(j, i))
        f.refuse_at(line(i), "holds " + sample + " that is not symmetric: row " +
                                 std::to_string(i) + " column " + std::to_string(j) + " is " +
                                 text_of(g(i, j)) + " but row " + std::to_string(j) + " column " +
                                 std::to_string(i) + " is " + text_of(g(j, i)));
  if (only_symmetry) return;
  for (int i = 1; i <= d; ++i)
    for (int j = 1; j <= d; ++j)
      if (orig(i, j) == 0.0 && g(i, j) != 0.0)
        f.refuse_at(line(i), "holds " + text_of(g(i, j)) + " in row " + std::to_string(i) +
                                 " column " + std::to_string(j) + " of " + sample +
                                 ", where the starting matrix has 0");
  // Cholesky factor of the rows kept, row by row.
  int rows[model::maxcorr], n = 0;
  for (int i = 1; i <= d; ++i)
    if (orig(i, i) != 0.0) rows[n++] = i;
  double l[model::maxcorr][model::maxcorr] = {};
  for (int a = 0; a < n; ++a) {
    for (int b = 0; b <= a; ++b) {
      double x = g(rows[a], rows[b]);
      for (int k = 0; k < b; ++k) x -= l[a][k] * l[b][k];
      if (b < a) {
        l[a][b] = x / l[b][b];
      } else if (x > 0) {
        l[a][a] = std::sqrt(x);
      } else {
        f.refuse_at(line(rows[a]), "holds " + sample +
                                       " that is not positive definite (pivot of row " +
                                       std::to_string(rows[a]) + ": " + text_of(x) + ")");
      }
    }
  }
}

// The last sample of the G block of the random group at effect e: a
// multiple-breed block breed pair by breed pair, each pair's block in its
// own right (0 where the sampler keeps it 0).
void check_last_g(const ResultIn& f, const model::State& s, int e, int d,
                  const std::vector<long>& lines) {
  const std::string what = "G for effect " + std::to_string(e);
  auto orig = [&](int i, int j) { return s.ORIG_G(e, i, j); };
  if (!model::multiple_breed(m.randomtype(e))) {
    check_last_matrix(
        f, what, d, [e](int i, int j) { return m.g(e, i, j); }, orig, lines);
    return;
  }
  const int nb = m.nbreed(e), k = d / nb;
  check_last_matrix(
      f, what, d, [e](int i, int j) { return m.g(e, i, j); }, orig, lines, true);
  for (int b1 = 1; b1 <= nb; ++b1)
    for (int b2 = b1; b2 <= nb; ++b2) {
      const int r0 = (b1 - 1) * k, c0 = (b2 - 1) * k;
      std::vector<long> sub(static_cast<std::size_t>(k) + 1);
      for (int i = 1; i <= k; ++i)
        sub[static_cast<std::size_t>(i)] = lines[static_cast<std::size_t>(r0 + i)];
      check_last_matrix(
          f, what + " (breeds " + std::to_string(b1) + " and " + std::to_string(b2) + ")", k,
          [&](int i, int j) { return m.g(e, r0 + i, c0 + j); },
          [&](int i, int j) { return model::sampled_element(s.ORIG_G, e, r0 + i, c0 + j) ? 1.0 : 0.0; },
          sub);
    }
}

}  // namespace

void write_varcomp(const model::State& s, const Kept& sm) {
  const int nt = m.ntrait;
  ResultOut f(varcomp_file);
  f.title(title_varcomp);
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = model::block_order(e);
    if (d <= 0) continue;
    f.free(label_g_mean, e);
    for (int i = 1; i <= d; ++i) matrix_row(f, d, [&](int j) { return sm.mean(s.SUMG(e, i, j)); });
    f.free(label_g_sd, e);
    for (int i = 1; i <= d; ++i)
      matrix_row(f, d, [&](int j) { return sm.sd(s.SUMG(e, i, j), s.SSG(e, i, j)); });
    f.free(label_g_last, e);
    for (int i = 1; i <= d; ++i) matrix_row(f, d, [&](int j) { return m.g(e, i, j); });
  }
  f.free(label_r_mean);
  for (int i = 1; i <= nt; ++i) matrix_row(f, nt, [&](int j) { return sm.mean(s.SUMR(i, j)); });
  f.free(label_r_sd);
  for (int i = 1; i <= nt; ++i) matrix_row(f, nt, [&](int j) { return sm.sd(s.SUMR(i, j), s.SSR(i, j)); });
  f.free(label_r_last);
  for (int i = 1; i <= nt; ++i) matrix_row(f, nt, [&](int j) { return m.r(i, j); });
  f.seal();
}

void read_varcomp(model::State& s, int start, const Kept& sm) {
  ResultIn f(varcomp_file, start);
  f.title(title_varcomp);
  std::vector<double> row;
  std::vector<long> lines;
  // Sums of squares from the sd and the sum just rebuilt.
  auto squares = [&](double S, double sd) {
    check_sd(f, sd);
    return sm.squares(S, sd);
  };
  for (int e = 1; e <= m.neff; ++e) {
    if (m.randomnumb(e) <= 0) continue;
    const int d = model::block_order(e);
    if (d <= 0) continue;
    auto fail = [e](int) { return util::freev("error reading G at effect: ", e); };
    f.label(util::freev(label_g_mean, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SUMG(e, i, j) = sm.sum(v); });
    f.label(util::freev(label_g_sd, e));
    read_rows(f, d, row, fail, [&](int i, int j, double v) { s.SSG(e, i, j) = squares(s.SUMG(e, i, j), v); });
    f.label(util::freev(label_g_last, e));
    read_rows(
        f, d, row, fail, [&](int i, int j, double v) { m.g(e, i, j) = v; }, &lines);
    check_last_g(f, s, e, d, lines);
  }
  const int nt = m.ntrait;
  auto fail = [](int i) { return util::freev("error reading R at trait: ", i); };
  f.label(label_r_mean);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SUMR(i, j) = sm.sum(v); });
  f.label(label_r_sd);
  read_rows(f, nt, row, fail, [&](int i, int j, double v) { s.SSR(i, j) = squares(s.SUMR(i, j), v); });
  f.label(label_r_last);
  read_rows(
      f, nt, row, fail, [&](int i, int j, double v) { m.r(i, j) = v; }, &lines);
  check_last_matrix(
      f, "R", nt, [](int i, int j) { return m.r(i, j); },
      [&s](int i, int j) { return s.ORIG_R(i, j); }, lines);
  f.end();
  util::say("read variance components from file: \"varcomp\"");
}

}  // namespace run::results
