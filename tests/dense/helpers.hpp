// Shared helpers of the dense-kit tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>

#include "dense/denseop.hpp"
#include "util/array.hpp"

namespace densetest {

// A matrix from its rows.
template <class T = double>
util::mat1<T> rows(std::initializer_list<std::initializer_list<double>> r) {
  const long m = static_cast<long>(r.size());
  const long n = m ? static_cast<long>(r.begin()->size()) : 0;
  util::mat1<T> a(m, n);
  long i = 1;
  for (const auto& row : r) {
    long j = 1;
    for (double v : row) a(i, j++) = static_cast<T>(v);
    ++i;
  }
  return a;
}

template <class T = double>
util::vec1<T> vec(std::initializer_list<double> v) {
  util::vec1<T> x(static_cast<long>(v.size()));
  long i = 1;
  for (double e : v) x(i++) = static_cast<T>(e);
  return x;
}

template <class T = double>
util::mat1<T> diag(std::initializer_list<double> d) {
  const long n = static_cast<long>(d.size());
  util::mat1<T> a(n, n);
  long i = 1;
  for (double e : d) {
    a(i, i) = static_cast<T>(e);
    ++i;
  }
  return a;
}

// Standard output of f, with runs of blanks squeezed to one and blanks at
// the start and end of each line removed (spacing of free-format lines is
// not fixed).
inline std::string output_of(const std::function<void()>& f) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  const std::string raw = testing::internal::GetCapturedStdout();
  std::string out, line;
  auto flush_line = [&] {
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line;
    out += '\n';
    line.clear();
  };
  for (char c : raw) {
    if (c == '\n') {
      flush_line();
    } else if (c == ' ') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  if (!line.empty()) flush_line();
  return out;
}

// Raw standard output of f.
inline std::string raw_output_of(const std::function<void()>& f) {
  std::fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

// Every test starts from the kit's initial tolerance.
class DenseTest : public testing::Test {
 protected:
  void SetUp() override { denseop::denseop_tol = 1.0e-10; }
  void TearDown() override { denseop::denseop_tol = 1.0e-10; }
};

// At the tolerance every sampling cycle runs with.
class CycleTolTest : public DenseTest {
 protected:
  void SetUp() override {
    DenseTest::SetUp();
    denseop::denseop_tol = 1.0e-9;
  }
};

// The largest magnitude of the elements.
inline double max_abs(const util::mat1<double>& a) {
  double m = 0;
  for (long j = 1; j <= a.cols(); ++j)
    for (long i = 1; i <= a.rows(); ++i) m = std::fmax(m, std::fabs(a(i, j)));
  return m;
}

template <class A, class B>
void expect_mat_near(const A& got, const B& want, double tol) {
  ASSERT_EQ(got.rows(), want.rows());
  ASSERT_EQ(got.cols(), want.cols());
  for (long j = 1; j <= got.cols(); ++j)
    for (long i = 1; i <= got.rows(); ++i)
      EXPECT_NEAR(got(i, j), want(i, j), tol) << "at (" << i << "," << j << ")";
}

template <class A>
void expect_mat_eq(const A& got, std::initializer_list<std::initializer_list<double>> want) {
  const auto w = rows(want);
  ASSERT_EQ(got.rows(), w.rows());
  ASSERT_EQ(got.cols(), w.cols());
  for (long j = 1; j <= got.cols(); ++j)
    for (long i = 1; i <= got.rows(); ++i)
      EXPECT_EQ(static_cast<double>(got(i, j)), w(i, j)) << "at (" << i << "," << j << ")";
}

}  // namespace densetest
