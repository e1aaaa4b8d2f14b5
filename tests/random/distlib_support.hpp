// Error measures for the distribution-library tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>

namespace distlib_test {

constexpr double kEps = 2.220446049250313e-16;

// Relative error in units of the double epsilon (absolute when ref is 0).
inline double err_eps(double got, double ref) {
  if (got == ref) return 0.0;
  if (ref == 0.0) return std::fabs(got) / kEps;
  return std::fabs(got - ref) / (std::fabs(ref) * kEps);
}

// got within (base + weight * kappa) epsilons of ref.  kappa is the
// condition number of the quantity; weight allows for the rounding of the
// arguments that any double-precision method makes on the way.
inline ::testing::AssertionResult near_eps(double got, double ref, double base, double weight,
                                           double kappa, const std::string& what) {
  double e = err_eps(got, ref);
  double tol = base + weight * kappa;
  if (std::isfinite(got) && e <= tol) return ::testing::AssertionSuccess();
  std::ostringstream os;
  os.precision(17);
  os << what << ": got " << got << ", want " << ref << ", error " << e << " eps > " << tol
     << " (kappa " << kappa << ")";
  return ::testing::AssertionFailure() << os.str();
}

// Worst error of a table, for the record when a test fails.
struct Worst {
  double err = 0;
  std::string at;
  void add(double e, const std::string& where) {
    if (e > err) {
      err = e;
      at = where;
    }
  }
};

inline std::string args(double a, double b) {
  std::ostringstream os;
  os.precision(17);
  os << "(" << a << ", " << b << ")";
  return os.str();
}
inline std::string args(double a) {
  std::ostringstream os;
  os.precision(17);
  os << "(" << a << ")";
  return os.str();
}

}  // namespace distlib_test
