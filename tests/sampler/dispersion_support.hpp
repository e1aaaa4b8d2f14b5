// Support of the dispersion-step tests: small models with a diagonal random
// group whose relationship inverse is the identity, fixed solutions, and a
// scratch working folder for the sample files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/gibbsvar.hpp"
#include "sampler/samplefiles.hpp"
#include "sparse/sparsem.hpp"

namespace disptest {

// Makes effect e a "diagonal" random group of one effect with prior degrees
// of belief db and starting block g0 (nt by nt, column-major).
inline void diagonal_group(int e, int db, const std::vector<double>& g0) {
  model::Model& M = model::m;
  const int nt = M.ntrait;
  M.randomtype(e) = model::RandomType::diagonal;
  M.randomnumb(e) = 1;
  M.dbelief_g(e) = db;
  for (int j = 1; j <= nt; ++j)
    for (int i = 1; i <= nt; ++i) M.g(e, i, j) = g0[static_cast<std::size_t>((i - 1) + (j - 1) * nt)];
}

inline void set_r(const std::vector<double>& r0) {
  const int nt = model::m.ntrait;
  for (int j = 1; j <= nt; ++j)
    for (int i = 1; i <= nt; ++i) model::m.r(i, j) = r0[static_cast<std::size_t>((i - 1) + (j - 1) * nt)];
}

// The identity as the relationship inverse of the group at e, as the first
// cycle leaves it for a "diagonal" group.
inline void identity_ainv(model::State& s, int e) {
  const int n = model::m.nlev(e);
  sparsem::zero_sparse_hashm(s.AINV(e), n);
  for (int l = 1; l <= n; ++l) sparsem::add_sparse_hashm(1.0, l, l, s.AINV(e));
  s.DF_RANDOM(e) = n;
}

// Chain settings of the cycle in hand.
inline void cycle(int round, int nround, int nburn, int skip) {
  model::m.round = round;
  model::m.nround = nround;
  model::m.nburn = nburn;
  model::m.skip = skip;
}

// Runs each test in a fresh empty folder and leaves the model as a fresh
// run finds it (a test's sample files end with its state).
class InFolder : public testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(testing::TempDir()) /
           (std::string("disp_") + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  void TearDown() override {
    model::m = model::Model{};
    std::filesystem::current_path(old_);
  }

  static bool exists(const std::string& name) { return std::filesystem::exists(name); }
  static std::vector<std::string> file_lines(const std::string& name) {
    std::ifstream in(name);
    std::vector<std::string> v;
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
  }

 private:
  std::filesystem::path old_, dir_;
};

}  // namespace disptest
