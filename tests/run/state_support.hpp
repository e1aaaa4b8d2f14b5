// Support of the state, echo and pedigree-file tests: a scratch working
// folder per test, parameter texts read into the model description, captured
// standard output and golden files.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "model/model.hpp"
#include "model/model_support.hpp"
#include "model/state.hpp"
#include "run/readfiles.hpp"
#include "run/textop.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace statetest {

// Runs each test in a fresh empty folder, so relative file names (pedigree
// files, "msirespprsam") stay inside it.
class InFolder : public testing::Test {
 protected:
  void SetUp() override {
    old_ = std::filesystem::current_path();
    const auto* info = testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::filesystem::path(testing::TempDir()) /
           (std::string("state_") + info->test_suite_name() + "_" + info->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);
  }
  // The model description is global: leave it as a fresh run finds it.
  void TearDown() override {
    model::m = model::Model{};
    std::filesystem::current_path(old_);
  }

  static void write(const std::string& name, const std::string& text) { std::ofstream(name) << text; }
  static bool exists(const std::string& name) { return std::filesystem::exists(name); }

 private:
  std::filesystem::path old_, dir_;
};

// Reads a parameter text into the model description, as from "test.par".
// One trait; effect 1 is a fixed class effect, the others are given as
// their EFFECTS: lines; the residual and its matrix r, then groups.
inline std::string model1(const std::string& effects, int neff, const std::string& groups,
                          const std::string& restart = "n", const std::string& r = "1\n",
                          const std::string& residual = "homogeneous 5\n") {
  return "MCMC_CHAIN:\n100 10 2\nSEED\n5\nRESTART:\n" + restart +
         "\nDATAFILE\nd.txt 7\nNUMBER_OF_TRAITS\n1\nNUMBER_OF_EFFECTS\n" + std::to_string(neff) +
         "\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n2 3 cross y\n" + effects + "RANDOM_RESIDUAL:\n" +
         residual + "RESIDUAL_PRIOR_(CO)VARIANCES\n" + r + groups;
}

// The random group of effect e.
inline std::string group(int e, const std::string& type, const std::string& pedline,
                         const std::string& extra = "", const std::string& cov = "1\n") {
  return "RANDOM_GROUP\n" + std::to_string(e) + "\nRANDOM_TYPE\n" + type + " 4\nPEDIGREEFILE:\n" +
         pedline + "\n" + extra + "(CO)VARIANCES\n" + cov;
}

inline const std::string mb_metropolis = "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n4 25\n";

inline void read_model(const std::string& text) {
  model::m.parfile = "test.par";
  auto in = util::TextIn::from_text(text, "test.par");
  textop::read_parameter_text(in);
}

// Standard output of f, and the message of the stop that ended it ("" when
// it returned).
struct Run {
  std::string out;
  std::string stop;
};
inline Run capture(const std::function<void()>& f) {
  Run r;
  testing::internal::CaptureStdout();
  try {
    f();
  } catch (const util::Stop& s) {
    r.stop = s.what();
  }
  r.out = testing::internal::GetCapturedStdout();
  return r;
}

// A folder whose test reads a model and its pedigree and multiple-sires
// files into a fresh state.
class FilesFolder : public InFolder {
 protected:
  // Reads the model, allocates the state and reads the files.
  statetest::Run load(const std::string& text) {
    read_model(text);
    modeltest::allocate_for_model(s_);
    return capture([this] { run::read_files(s_); });
  }
  model::State s_;
};

// Compares text with the golden file tests/run/golden/<name>.  With
// VELMORAN_UPDATE_GOLDEN set, writes the file instead.
inline void expect_golden(const std::string& name, const std::string& text) {
  // A build that names its sources relative to the build folder (a shared
  // compiler cache) finds them through the folder the test runner names.
  std::filesystem::path dir = std::filesystem::path(__FILE__).parent_path() / "golden";
  if (dir.is_relative())
    if (const char* data = std::getenv("VELMORAN_TEST_DATA")) dir = std::filesystem::path(data) / "run" / "golden";
  const std::filesystem::path file = dir / name;
  if (std::getenv("VELMORAN_UPDATE_GOLDEN")) {
    std::filesystem::create_directories(dir);
    std::ofstream(file, std::ios::binary) << text;
    return;
  }
  std::ifstream in(file, std::ios::binary);
  ASSERT_TRUE(in.good()) << "no golden file " << file;
  std::stringstream ss;
  ss << in.rdbuf();
  EXPECT_EQ(text, ss.str()) << "echo differs from " << file;
}

// Lines of a text.
inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> v;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

}  // namespace statetest
