// Support of the record and equation tests: a model description built in
// code (model/model_support.hpp), a state allocated for it, and dense
// references.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/state.hpp"
#include "sampler/records.hpp"
#include "util/stop.hpp"

namespace eqtest {

using modeltest::new_model;

// The state of the model (call after the model is complete).
inline void new_state(model::State& s) {
  modeltest::allocate_for_model(s);
  sampler::prepare_records(s);
}

// Record irec's columns 1..values.size().
inline void put_record(model::State& s, int irec, const std::vector<float>& values) {
  for (std::size_t c = 0; c < values.size(); ++c) s.INDATA(irec, static_cast<long>(c) + 1) = values[c];
}

// The first per-record steps on record irec.
inline void load(model::State& s, int irec) {
  s.irec = irec;
  sampler::decode_record(s);
  sampler::find_addresses(s);
}

// Message of the stop that f must end in.
inline std::string stop_of(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (const util::Stop& st) {
    testing::internal::GetCapturedStdout();
    return st.what();
  }
  testing::internal::GetCapturedStdout();
  ADD_FAILURE() << "expected a stop";
  return "";
}

// Standard output of f.
inline std::string stdout_of(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (...) {
    testing::internal::GetCapturedStdout();
    throw;
  }
  return testing::internal::GetCapturedStdout();
}

// Dense symmetric inverse by Gauss-Jordan (small positive definite matrices).
inline std::vector<double> dense_inverse(std::vector<double> a, int n) {
  std::vector<double> b(static_cast<std::size_t>(n * n), 0.0);
  for (int i = 0; i < n; ++i) b[static_cast<std::size_t>(i + i * n)] = 1.0;
  auto A = [&](int i, int j) -> double& { return a[static_cast<std::size_t>(i + j * n)]; };
  auto B = [&](int i, int j) -> double& { return b[static_cast<std::size_t>(i + j * n)]; };
  for (int k = 0; k < n; ++k) {
    const double p = A(k, k);
    for (int j = 0; j < n; ++j) {
      A(k, j) /= p;
      B(k, j) /= p;
    }
    for (int i = 0; i < n; ++i) {
      if (i == k) continue;
      const double f = A(i, k);
      for (int j = 0; j < n; ++j) {
        A(i, j) -= f * A(k, j);
        B(i, j) -= f * B(k, j);
      }
    }
  }
  return b;
}

// The values of a vector, and two such lists compared bit for bit.
inline std::vector<double> values(const util::vec1<double>& v) {
  return std::vector<double>(v.data(), v.data() + v.size());
}

inline void expect_same_bits(const std::vector<double>& a, const std::vector<double>& b, const char* what) {
  ASSERT_EQ(a.size(), b.size()) << what;
  for (std::size_t k = 0; k < a.size(); ++k)
    ASSERT_EQ(std::memcmp(&a[k], &b[k], sizeof(double)), 0)
        << what << " " << k << ": " << a[k] << " " << b[k];
}

}  // namespace eqtest
