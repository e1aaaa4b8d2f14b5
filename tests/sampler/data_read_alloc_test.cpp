// The data file is read once per run, record by record: the reads and checks
// of a record allocate nothing.
#include <gtest/gtest.h>

#include <string>

#include "count_new.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "sampler/eq_support.hpp"
#include "sampler/records.hpp"
#include "util/textio.hpp"

namespace {

using model::m;

TEST(DataRead, RecordsAfterTheFirstAllocateNothing) {
  constexpr int nrec = 40;
  // Trait in column 1, weight in 2, a class effect in 3 and a covariable in 4
  // nested in the classes of column 5.
  eqtest::new_model(1, {model::EffectType::cro, model::EffectType::cov}, {3, 3}, nrec);
  m.pos_y(1) = 1;
  m.pos_weight = 2;
  m.pos_eff(1, 1) = 3;
  m.pos_eff(2, 1) = 4;
  m.nestedcov(2, 1) = 5;
  model::State s;
  eqtest::new_state(s);
  std::string data;
  for (int i = 1; i <= nrec; ++i)
    data += std::to_string(i) + ".5, 1.25 " + std::to_string(i % 3 + 1) + "\t-0.75E1 " +
            std::to_string((i + 1) % 3 + 1) + (i % 4 == 0 ? "\n\n" : "\r\n");
  sampler::workspace(s).cursor.datafile = util::TextIn::from_text(data, "d.txt");
  s.irec = 1;
  sampler::read_data_record(s);
  const long before = counted::news;
  for (int i = 2; i <= nrec; ++i) {
    s.irec = i;
    sampler::read_data_record(s);
  }
  EXPECT_EQ(counted::news, before);
  EXPECT_EQ(s.INDATA(nrec, 1), 40.5f);
  EXPECT_EQ(s.INDATA(nrec, 4), -7.5f);
  EXPECT_EQ(s.INDATA(nrec, 5), 3.0f);
}

}  // namespace
