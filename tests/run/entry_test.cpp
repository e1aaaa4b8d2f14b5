// Start-up of the entry: parameter file, echo, seed, record length, state
// and pedigree files, in that order.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "random/prob.hpp"
#include "state_support.hpp"

namespace run {
int velmoran_main();
}

namespace {

class Entry : public statetest::InFolder {};

// A model that its class's start-up checks refuse is refused right after its
// echo, before the stream is seeded or any file beyond the parameter file is
// read.
TEST_F(Entry, ModelCheckStopsRightAfterTheEcho) {
  write("ms.txt", "2\n1\n0.6\n2\n0.4\n");
  write("ped.txt", "1 0 0 1\n2 0 0 1\n3 1 -1 2\n");
  write("run.par",
        "MCMC_CHAIN:\n100 10 2\nSEED\n321\nRESTART:\nn\nDATAFILE\nd.txt 7\nNUMBER_OF_TRAITS\n1\n"
        "NUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n2 3 unk y\n7 3 rno n\n"
        "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\n"
        "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_mb 4\nPEDIGREEFILE:\nped.txt 3 0 2\n"
        "MULTIPLE_SIRES:\n2 ms.txt 5 0\nMETROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n4 25\n"
        "(CO)VARIANCES\n0.5 0\n0 0.5\n");
  prob::set_seed(77);
  const double expected = prob::gen_uniform_real();
  prob::set_seed(77);
  std::istringstream in("run.par\n");
  std::streambuf* old = std::cin.rdbuf(in.rdbuf());
  const auto r = statetest::capture([] { run::velmoran_main(); });
  std::cin.rdbuf(old);
  EXPECT_NE(r.stop.find("reaction-norm effect 2 has no level column for trait 1"), std::string::npos)
      << r.stop;
  EXPECT_TRUE(r.out.starts_with("  name of parameter file?     \n     VELMORAN 1.20\n")) << r.out;
  EXPECT_NE(r.out.find(" REMARKS"), std::string::npos);
  EXPECT_EQ(r.out.find("Data record length"), std::string::npos);
  EXPECT_EQ(expected, prob::gen_uniform_real());  // not reseeded
}

}  // namespace
