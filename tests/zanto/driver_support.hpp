// Helpers of the driver, sparse-inverse and interface tests: the package's
// process-wide state reset per test, a scratch working folder (the ordering
// file goes to the working directory), steps of the driver that grow their
// work array on demand, and LAPACK's dense inverse as the reference.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "stop_capture.hpp"
#include "support.hpp"
#include "zanto/driver.hpp"
#include "zanto/zanto90.hpp"

extern "C" void dpotri_(const char* uplo, const int* n, double* a, const int* lda, int* info,
                        std::size_t uplo_len);

namespace zantotest {

// Each test in a fresh empty folder, with the package as a fresh process
// finds it.
class PackageTest : public testing::Test {
 protected:
  void SetUp() override {
    zanto::driver_state() = zanto::DriverState{};
    zanto::interface_state() = zanto::InterfaceState{};
    old_ = std::filesystem::current_path();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(testing::TempDir()) /
           (std::string("zanto_") + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    std::filesystem::current_path(old_);
    zanto::interface_state() = zanto::InterfaceState{};
  }

 private:
  std::filesystem::path old_, dir_;
};

inline std::string read_file(const std::string& name) {
  std::ifstream in(name);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

using testsupport::captured;
using testsupport::stop_message;

// A matrix in the driver's hands, with its work array.
struct Pkg {
  Csr m;
  std::vector<word> work;
  std::vector<double> sol;
  word rank = -1;
  std::int64_t need = 0;

  explicit Pkg(const Csr& c, std::size_t words = 100) : m(c), work(words, 0), sol(c.n + 1, 0.0) {}

  // One call; flag returned.
  word call(word option, std::FILE* iout = nullptr, std::FILE* ioor = nullptr,
            std::int64_t free = -1) {
    word flag = -77;
    word scratch = 0;
    double rs = 0;
    zanto::zanto(option, m.n, zanto::view(m.ia), zanto::view(m.ja), zanto::view(m.a),
                 zanto::view(sol), flag, iout, ioor,
                 free < 0 ? static_cast<std::int64_t>(work.size()) : free, need,
                 zanto::view(work), zanto::civec(&scratch, 1), zanto::civec(&scratch, 1), 0, 0,
                 zanto::crvec(&rs, 1), 0, rank);
    return flag;
  }
  // One step, the work array grown (contents kept) until it fits.
  word step(word option, std::FILE* ioor = nullptr) {
    for (;;) {
      const word flag = call(option, nullptr, ioor);
      if (flag != option * 100 + 1) return flag;
      work.resize(static_cast<std::size_t>(need), 0);
    }
  }
  void factorise() {
    EXPECT_EQ(step(10), 0);
    EXPECT_EQ(step(20), 0);
    EXPECT_EQ(step(40), 0);
  }
  zanto::Regions regions() {
    const auto& st = zanto::driver_state().stats;
    return zanto::regions(zanto::view(work), m.n, static_cast<word>(st.nofsub),
                          static_cast<word>(st.maxlnz));
  }
};

// LAPACK's inverse of the principal submatrix of A on `rows` (0-based),
// bordered by zeros; empty when it is not positive definite.
inline Dense lapack_inverse(const Dense& A, const std::vector<int>& rows) {
  const int n = static_cast<int>(A.size());
  const int m = static_cast<int>(rows.size());
  std::vector<double> c = lapack_chol(A, rows);
  if (static_cast<int>(c.size()) != m * m) return {};
  int info = 0;
  if (m > 0) dpotri_("L", &m, c.data(), &m, &info, 1);
  if (info != 0) return {};
  Dense Z(n, std::vector<double>(n, 0.0));
  for (int j = 0; j < m; ++j)
    for (int i = j; i < m; ++i)
      Z[rows[i]][rows[j]] = Z[rows[j]][rows[i]] = c[static_cast<std::size_t>(j) * m + i];
  return Z;
}

inline std::vector<int> all_rows(int n) {
  std::vector<int> r(n);
  for (int i = 0; i < n; ++i) r[i] = i;
  return r;
}

// Dense matrix from compressed rows (both triangles from whichever is stored).
inline Dense to_dense(const Csr& m) {
  Dense A(m.n, std::vector<double>(m.n, 0.0));
  for (word i = 1; i <= m.n; ++i)
    for (word k = m.ia[i - 1]; k < m.ia[i]; ++k) {
      const word j = m.ja[k - 1];
      A[i - 1][j - 1] = A[j - 1][i - 1] = m.a[k - 1];
    }
  return A;
}

}  // namespace zantotest
