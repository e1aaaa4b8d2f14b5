// Support of the record and equation tests: a model description built in
// code, a state allocated for it, and dense references.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "run/model.hpp"
#include "run/state.hpp"
#include "sampler/records.hpp"
#include "util/stop.hpp"

namespace eqtest {

// A fresh model: nt traits, effects of the given types and levels, nrec
// records; every effect absent (pos_eff 0), r the identity, homogeneous
// residual, no random group.
inline void new_model(int nt, const std::vector<model::EffectType>& types,
                      const std::vector<int>& levels, int nrec) {
  model::m = model::Model{};
  model::Model& M = model::m;
  const int nf = static_cast<int>(types.size());
  M.ntrait = nt;
  M.neff = nf;
  M.nrec = nrec;
  M.round = 1;
  M.start = 1;
  M.nround = 1;
  M.skip = 1;
  M.residualtype = model::ResidualType::homogeneous;
  M.pos_y.resize(nt);
  M.pos_eff.resize(nf, nt);
  M.nestedcov.resize(nf, nt);
  M.nlev.resize(nf);
  M.effecttype.resize(nf);
  M.effectsave.resize(nf);
  M.randomtype.resize(nf);
  M.randomtype.fill(model::RandomType::none);
  M.randomnumb.resize(nf);
  M.dbelief_g.resize(nf);
  M.randomfile.resize(nf);
  M.lenped.resize(nf);
  M.ngrp.resize(nf);
  M.nbreed.resize(nf);
  M.g.resize(nf, model::maxcorr, model::maxcorr);
  M.ginv.resize(nf, model::maxcorr, model::maxcorr);
  for (int e = 1; e <= nf; ++e) {
    M.effecttype(e) = types[static_cast<std::size_t>(e - 1)];
    M.nlev(e) = levels[static_cast<std::size_t>(e - 1)];
  }
  M.r.resize(nt, nt);
  M.rinv.resize(nt, nt);
  for (int t = 1; t <= nt; ++t) M.r(t, t) = 1.0;
}

// The state of the model (call after the model is complete).
inline void new_state(run::State& s) {
  s = run::State{};
  s.neq = run::number_of_equations();
  s.reclen = run::data_record_length();
  run::allocate_state(s);
  sampler::prepare_records(s);
}

// Record irec's columns 1..values.size().
inline void put_record(run::State& s, int irec, const std::vector<float>& values) {
  for (std::size_t c = 0; c < values.size(); ++c) s.INDATA(irec, static_cast<long>(c) + 1) = values[c];
}

// The first per-record steps on record irec.
inline void load(run::State& s, int irec) {
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
