// Dense kit for small symmetric positive semi-definite matrices: Cholesky
// factor with a pivot tolerance, generalised inverses, solves and determinants
// built on it, packed storage and printing, the positive-definite repair, and
// general solves.
//
// Every symmetric input of the Cholesky family, the determinants and the
// packing is read from its diagonal and lower triangle only; the repair reads
// the upper triangle.  Optional integer outputs are pointers (nullptr = absent,
// never written).
//
// Raw forms work on caller storage: element (i, j), counted from 1, of a
// matrix of order n lies at p[(i - 1) + (j - 1) * ld], ld >= n.  They allocate
// nothing for orders up to max_order (larger orders take one heap buffer).
// These, and the mat20 forms, are the ones for hot paths; the util::mat1 and
// util::vec1 forms allocate their results.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "util/array.hpp"

namespace util {
class TextOut;
}

namespace denseop {

// Pivot tolerance of the Cholesky family, relative to the scale of the
// matrix, its largest diagonal element in magnitude: a pivot d is dropped
// when |d| < denseop_tol * scale (or d is exactly 0), so a matrix and every
// multiple of it drop the same pivots whatever the units of the data.  1e-10
// at start; the cycle loop sets 1e-9.  Both precisions compare against this
// one 64-bit value.
extern double denseop_tol;

inline constexpr int max_order = 20;

// Fixed-capacity square matrix of order n <= 20, column-major with leading
// dimension 20.  Only the leading n by n part is meaningful.
struct mat20 {
  static constexpr int ld = max_order;
  int n = 0;
  std::array<double, ld * ld> a;

  mat20() = default;
  // Order n, leading n by n part zero.
  explicit mat20(int order);

  double& operator()(int i, int j) {
    VELMORAN_CHECK("mat20 row", i, 1, n);
    VELMORAN_CHECK("mat20 column", j, 1, n);
    return a[static_cast<std::size_t>((i - 1) + (j - 1) * ld)];
  }
  double operator()(int i, int j) const {
    VELMORAN_CHECK("mat20 row", i, 1, n);
    VELMORAN_CHECK("mat20 column", j, 1, n);
    return a[static_cast<std::size_t>((i - 1) + (j - 1) * ld)];
  }
  double* data() { return a.data(); }
  const double* data() const { return a.data(); }
};

// ---------------------------------------------------------------------------
// Cholesky factor L (m = L L'), lower triangle, zero above the diagonal.
// A pivot dropped by the rule above leaves a zero row and column of L;
// a negative pivot beyond it prints " Matrix not semipositive-definite, row "
// and ends the factorisation, leaving the partial factor; ierr = -1.

// Raw: copy of the leading n by n of m into l, factored there.
void fchols8(const double* m, int n, int ldm, double* l, int ldl);
// Raw: in place.
void chols8(double* m, int n, int ldm, int* rank = nullptr, int* ierr = nullptr);
mat20 fchols8(const mat20& m);

util::mat1<double> fchols8(const util::mat1<double>& m);
util::mat1<float> fchols4(const util::mat1<float>& m);
void chols8(util::mat1<double>& m, int* rank = nullptr, int* ierr = nullptr);
void chols4(util::mat1<float>& m, int* rank = nullptr, int* ierr = nullptr);
// Packed forms: the packed result holds L' as an upper triangle by rows.
void chols8t(util::vec1<double>& m, int* rank = nullptr, int* ierr = nullptr);
void chols4t(util::vec1<float>& m, int* rank = nullptr, int* ierr = nullptr);
util::vec1<double> fchols8t(const util::vec1<double>& m);
util::vec1<float> fchols4t(const util::vec1<float>& m);

// ---------------------------------------------------------------------------
// Generalised inverse by Cholesky: the inverse over the kept pivots, zero rows
// and columns at dropped ones, both triangles written.  After a negative pivot
// also "Inverse not possible"; the partial factor is left as the result.
// The subroutine forms write rank and ierr (0 or -1) on every path.

void finvcs8(const double* m, int n, int ldm, double* g, int ldg);
void invcs8(double* m, int n, int ldm, int* rank = nullptr, int* ierr = nullptr);
mat20 finvcs8(const mat20& m);

util::mat1<double> finvcs8(const util::mat1<double>& m);
util::mat1<float> finvcs4(const util::mat1<float>& m);
void invcs8(util::mat1<double>& m, int* rank = nullptr, int* ierr = nullptr);
void invcs4(util::mat1<float>& m, int* rank = nullptr, int* ierr = nullptr);
void invcs8t(util::vec1<double>& m, int* rank = nullptr);
void invcs4t(util::vec1<float>& m, int* rank = nullptr);
util::vec1<double> finvcs8t(const util::vec1<double>& m);
util::vec1<float> finvcs4t(const util::vec1<float>& m);

// ---------------------------------------------------------------------------
// Solve m x = rhs by Cholesky; components at dropped pivots are 0.  After a
// negative pivot also "Solving not possible" (64-bit) or "Solution not
// possible" (32-bit), and the solution holds the right-hand side unchanged.
// The subroutine forms write rank and ierr (0 or -1) on every path.

// Raw: m unchanged; x may be the same array as rhs.
void fsolvs8(const double* m, int n, int ldm, const double* rhs, double* x);
// fsolvs8(m, n, ldm, rhs, x) and then finvcs8(m, n, ldm, g, ldg), the same
// numbers and messages, with m factored once.
void fsolvinvs8(const double* m, int n, int ldm, const double* rhs, double* x, double* g,
                int ldg);
// Raw: m overwritten by its factor; x is the right-hand side on entry.
void solvs8(double* m, int n, int ldm, double* x, int* rank = nullptr, int* ierr = nullptr);
void fsolvs8(const mat20& m, const double* rhs, double* x);

util::vec1<double> fsolvs8(const util::mat1<double>& m, const util::vec1<double>& rhs);
util::vec1<float> fsolvs4(const util::mat1<float>& m, const util::vec1<float>& rhs);
void solvs8(util::mat1<double>& m, util::vec1<double>& x, int* rank = nullptr, int* ierr = nullptr);
void solvs4(util::mat1<float>& m, util::vec1<float>& x, int* rank = nullptr, int* ierr = nullptr);
void solvs8f(const util::mat1<double>& m, const util::vec1<double>& rhs, util::vec1<double>& sol,
             int* rank = nullptr, int* ierr = nullptr);
void solvs4f(const util::mat1<float>& m, const util::vec1<float>& rhs, util::vec1<float>& sol,
             int* rank = nullptr, int* ierr = nullptr);
void solvs8t(const util::vec1<double>& m, const util::vec1<double>& rhs, util::vec1<double>& sol,
             int* rank = nullptr, int* ierr = nullptr);
void solvs4t(const util::vec1<float>& m, const util::vec1<float>& rhs, util::vec1<float>& sol,
             int* rank = nullptr, int* ierr = nullptr);
util::vec1<double> fsolvs8t(const util::vec1<double>& m, const util::vec1<double>& rhs);
util::vec1<float> fsolvs4t(const util::vec1<float>& m, const util::vec1<float>& rhs);

// ---------------------------------------------------------------------------
// Determinant over the kept pivots (a dropped pivot counts as 1), always in
// 64-bit arithmetic.  After a negative pivot the message is printed and the
// product is taken over the partial factor.

// ierr (when given): 0, or -1 after a negative pivot.
double fdets8(const double* m, int n, int ldm, int* ierr = nullptr);
double fdets8(const mat20& m);
double fdets8(const util::mat1<double>& m);
double fdets8p(const util::vec1<double>& m);
float fdets4(const util::mat1<float>& m);
float fdets4p(const util::vec1<float>& m);

// ---------------------------------------------------------------------------
// Packed storage: the upper triangle by rows, n(n+1)/2 values.

// Position (from 1) of (i, j), i <= j, in a packed matrix of order n.
int pos_symm(int i, int j, int n);
// Order of a packed vector of len values (elements beyond n(n+1)/2 unused).
int packed_order(long len);
// x(pos_symm(j, i, n)) := m(i, j) for j <= i; x is enlarged if too short.
void packit8(const util::mat1<double>& m, util::vec1<double>& x);
void packit4(const util::mat1<float>& m, util::vec1<float>& x);
// m := 0, then the symmetric matrix of order rows(m) from x.
void unpackit8(const util::vec1<double>& x, util::mat1<double>& m);
void unpackit4(const util::vec1<float>& x, util::mat1<float>& m);

// Prints m one row per formatted write, with fmt (default "(10g12.4/)"),
// after the title text when given; to un when given, else standard output.
void printm8(const util::mat1<double>& m, std::optional<std::string_view> text = std::nullopt,
             std::optional<std::string_view> fmt = std::nullopt, util::TextOut* un = nullptr);
void printm4(const util::mat1<float>& m, std::optional<std::string_view> text = std::nullopt,
             std::optional<std::string_view> fmt = std::nullopt, util::TextOut* un = nullptr);
void printm8p(const util::vec1<double>& x, std::optional<std::string_view> text = std::nullopt,
              std::optional<std::string_view> fmt = std::nullopt, util::TextOut* un = nullptr);
void printm4p(const util::vec1<float>& x, std::optional<std::string_view> text = std::nullopt,
              std::optional<std::string_view> fmt = std::nullopt, util::TextOut* un = nullptr);

// ---------------------------------------------------------------------------
// Positive-definite repair.

enum class Repair {
  unchanged,       // smallest eigenvalue not below eps times the largest: x left as it was
  repaired,        // small eigenvalues raised, x rebuilt, mes printed
  eigen_failed,    // the eigen decomposition failed (info: its status, or 0 when it
                   // gave values that are not numbers); x unchanged
  not_repairable,  // no positive eigenvalue to scale from; x unchanged, nothing printed
};
struct PosDef {
  Repair state = Repair::unchanged;
  int info = 0;  // status of the eigen decomposition
  // Of a repaired matrix: every eigenvalue was above 0 before (it was
  // positive definite, its eigenvalues only too far apart).
  bool was_positive = false;
};

// When the smallest eigenvalue of x is below eps times the largest, raises
// every eigenvalue whose ratio to the largest is below eps to eps times the
// largest and rebuilds x
// (symmetric) from the eigenvectors; prints mes when it does.  Rows and
// columns that are entirely zero stay out and stay zero.  fix: 0, or -1 after
// a repair.  The eigen decomposition reads the upper triangle.
[[nodiscard]] PosDef pos_def(util::mat1<double>& x, std::optional<std::string_view> mes, double eps,
                             int* fix = nullptr);
// The same on the leading n by n block of x (leading dimension ldx); nothing
// is allocated for orders up to max_order.
[[nodiscard]] PosDef pos_def(double* x, int n, int ldx, std::optional<std::string_view> mes,
                             double eps, int* fix = nullptr);

// Eigenvalues (ascending) and orthonormal eigenvectors of x from its upper
// triangle; lam and v are sized to the order of x.  Returns the status of the
// decomposition (0 on success).
int syev8(const util::mat1<double>& x, util::vec1<double>& lam, util::mat1<double>& v);
int syev4(const util::mat1<float>& x, util::vec1<float>& lam, util::mat1<float>& v);

util::mat1<double> diag_vec_mat8(const util::vec1<double>& v);
util::mat1<float> diag_vec_mat4(const util::vec1<float>& v);
util::vec1<double> diag_mat_vec8(const util::mat1<double>& m);
util::vec1<float> diag_mat_vec4(const util::mat1<float>& m);

// ---------------------------------------------------------------------------
// General square systems by LU with partial pivoting.  A singular or
// mis-shaped system stops the run with the solver's status.  The 32-bit forms
// solve in 64 bits and round the result.

void gesv8(const util::mat1<double>& a, const util::vec1<double>& b, util::vec1<double>& x);
void gesv4(const util::mat1<float>& a, const util::vec1<float>& b, util::vec1<float>& x);
util::vec1<double> fgesv8(const util::mat1<double>& a, const util::vec1<double>& b);
util::vec1<float> fgesv4(const util::mat1<float>& a, const util::vec1<float>& b);
void geinv8(util::mat1<double>& a);
void geinv4(util::mat1<float>& a);
util::mat1<double> fgeinv8(const util::mat1<double>& a);
util::mat1<float> fgeinv4(const util::mat1<float>& a);
// Identity of the order of rows(m).
util::mat1<double> eye8(const util::mat1<double>& m);
util::mat1<float> eye4(const util::mat1<float>& m);

}  // namespace denseop
