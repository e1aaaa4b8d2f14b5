// Random effects absent for some traits (data column 0): the present rows of
// a group take the inverse of their own block of G, not the present rows of
// the inverse of G, and the absent rows are no part of the model.  Checked
// against the dense posterior of the location effects with G held fixed, in
// layouts of one, two and three traits with the absent effect in different
// places, and through the whole program: what the starting matrix holds in
// the absent rows changes nothing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "run/chain_support.hpp"

namespace {

using namespace chaintest;

struct Layout {
  const char* name;
  int nt;
  bool maternal;
  std::vector<int> absent;
  // Lower triangle of G by rows; strong covariances to the absent rows make
  // their rows of G^-1 far from the present block's inverse.
  std::vector<double> g;
};

std::ostream& operator<<(std::ostream& o, const Layout& l) { return o << l.name; }

SmallModel layout_model(const Layout& l, unsigned long long seed) {
  SmallModel sm = small_model(l.nt, 3, 8, 16, seed);
  sm.maternal = l.maternal;
  sm.absent = l.absent;
  const int n = l.maternal ? 2 * l.nt : l.nt;
  sm.G = Dense(n);
  std::size_t k = 0;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) sm.G(i, j) = sm.G(j, i) = l.g[k++];
  // The record's dam from the pedigree (0 when unknown: no maternal effect).
  for (Record& r : sm.recs) r.dam = sm.ped[static_cast<std::size_t>(r.animal - 1)][2];
  return sm;
}

class AbsentLocations : public ChainFolder, public testing::WithParamInterface<Layout> {};

TEST_P(AbsentLocations, PosteriorWithGFixedIsThatOfThePresentBlock) {
  expect_dense_location_posterior(layout_model(GetParam(), 29), dir());
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, AbsentLocations,
    testing::Values(
        // The animal effect for trait 1 only.
        Layout{"second_of_two", 2, false, {2}, {1.0, 0.8, 1.0}},
        Layout{"middle_of_three", 3, false, {2}, {1.0, 0.7, 1.5, 0.3, 0.6, 2.0}},
        // A maternal effect on trait 2 only.
        Layout{"maternal_of_first", 2, true, {3},
               {1.0, 0.3, 1.5, -0.6, 0.2, 1.0, 0.1, -0.5, 0.4, 0.8}},
        // One trait: the maternal effect absent altogether.
        Layout{"maternal_of_one", 1, true, {2}, {1.0, -0.7, 1.0}}),
    [](const testing::TestParamInfo<Layout>& i) { return std::string(i.param.name); });

// The whole program: the rows of an absent effect are 0 in the echo, in every
// sample and in "varcomp", are not written to "varcompsam", and whatever the
// starting matrix holds there (a covariance that leaves it indefinite
// included) the chain is the same to the byte.
TEST_F(ChainFolder, AbsentRowsOfTheStartingMatrixAreNoPartOfTheModel) {
  SmallModel sm = layout_model(Layout{"", 2, true, {4}, {1.0, 0.3, 1.5, -0.6, 0.2, 1.0, 0.1, -0.5, 0.4, 0.8}}, 7);
  sm.nround = 60;
  sm.nburn = 20;
  sm.skip = 2;
  std::vector<std::string> outputs;
  for (double c : {0.4, 0.0, 9.0}) {
    SCOPED_TRACE(c);
    const fs::path d = dir() / ("c" + std::to_string(outputs.size()));
    fs::create_directories(d);
    fs::current_path(d);
    SmallModel x = sm;
    for (int i = 0; i < 3; ++i) x.G(i, 3) = x.G(3, i) = i == 2 ? c : -0.5 * c;
    x.G(3, 3) = c == 0.0 ? 0.0 : 0.8;  // 0: a row of zeros
    x.write_files(d);
    ASSERT_EQ(program_in_child("params.txt", "out.txt", [] {}), 0) << read_file("out.txt");
    const std::string out = read_file("out.txt");
    EXPECT_NE(out.find(" G of random effect 3: rows and columns of effects absent for a trait (data column 0)"
                       " are 0 for the whole chain (no such effect: not sampled, not in \"varcompsam\"):"
                       " 4 (effect 4, trait 2)\n"),
              std::string::npos);
    // The present rows were positive definite: nothing to correct.
    EXPECT_EQ(out.find("corrected"), std::string::npos);
    std::string files;
    for (const char* f : {"varcomp", "solutions", "varcompsam", "loglike_obs"}) files += read_file(f);
    outputs.push_back(files);

    const auto varcomp = lines_of(read_file("varcomp"));
    for (const char* label : {"Average variance components (G)", "Last variance components sample (G)"}) {
      const Dense g = matrix_after(varcomp, label, 4);
      for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(g(i, 3), 0.0) << label;
        EXPECT_EQ(g(3, i), 0.0) << label;
      }
      EXPECT_GT(g(2, 2), 0.0) << label;
    }
    // An entry: the cycle, the 6 elements of the present rows, the 3 of R.
    EXPECT_EQ(lines_of(read_file("varcompsam")).size(), 30u * (1 + 6 + 3));
    fs::current_path(dir());
  }
  EXPECT_EQ(outputs[1], outputs[0]);
  EXPECT_EQ(outputs[2], outputs[0]);
}

}  // namespace
