// The sample files: which files a model gets, creation, appending, closing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "model/model.hpp"
#include "sampler/dispersion_support.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/samplefiles.hpp"

namespace {

using model::m;

using SampleFiles = disptest::InFolder;

TEST_F(SampleFiles, ConditionsOfTheOptionalFiles) {
  eqtest::new_model(1, {model::EffectType::cro, model::EffectType::cro}, {2, 3}, 1);
  EXPECT_FALSE(model::uses_mh_files());
  EXPECT_FALSE(model::saves_solutions());
  sampler::SampleFiles files;
  sampler::open_new(files);
  EXPECT_TRUE(exists("varcompsam"));
  EXPECT_TRUE(exists("loglike_rnd"));
  EXPECT_FALSE(exists("mh_dbeliefchg"));
  EXPECT_FALSE(exists("solutionsam"));
  sampler::close(files);

  m.effectsave(2) = 1;
  m.residualtype = model::ResidualType::slash;  // a heavy-tailed residual tunes a proposal
  EXPECT_TRUE(model::uses_mh_files());
  EXPECT_TRUE(model::saves_solutions());
  m.residualtype = model::ResidualType::homogeneous;
  m.randomtype(1) = model::RandomType::add_an_mb;
  EXPECT_TRUE(model::uses_mh_files());
  sampler::open_new(files);
  EXPECT_TRUE(exists("mh_dbeliefchg"));
  EXPECT_TRUE(exists("solutionsam"));
}

TEST_F(SampleFiles, NewReplacesAppendKeepsAndClosedFilesDropLines) {
  eqtest::new_model(1, {model::EffectType::cro}, {2}, 1);
  m.effectsave(1) = 1;
  m.randomtype(1) = model::RandomType::diag_mb;
  sampler::SampleFiles files;
  sampler::open_new(files);
  files.varcompsam.free(1);
  files.mh_dbeliefchg.free(0.5);
  sampler::close(files);

  sampler::open_append(files);
  files.varcompsam.free(2);
  files.mh_dbeliefchg.free(0.25);
  sampler::close(files);
  EXPECT_EQ(file_lines("varcompsam"), (std::vector<std::string>{" 1", " 2"}));
  EXPECT_EQ(file_lines("mh_dbeliefchg"), (std::vector<std::string>{" 0.5", " 0.25"}));

  // Past the tuning window "mh_dbeliefchg" stays closed; writes to it are dropped.
  sampler::open_append(files, false);
  EXPECT_FALSE(files.mh_dbeliefchg.is_open());
  files.mh_dbeliefchg.free(9.0);
  files.solutionsam.free(3);
  sampler::flush(files);
  EXPECT_EQ(file_lines("solutionsam"), std::vector<std::string>{" 3"});
  sampler::close(files);
  EXPECT_EQ(file_lines("mh_dbeliefchg").size(), 2u);

  // A fresh run empties the files.
  sampler::open_new(files);
  sampler::close(files);
  EXPECT_TRUE(file_lines("varcompsam").empty());
  EXPECT_TRUE(file_lines("solutionsam").empty());
}

}  // namespace
