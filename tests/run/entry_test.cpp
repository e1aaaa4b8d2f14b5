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

TEST_F(Entry, StartUpRunsInOrderAndEndsNormally) {
  write("ms.txt", "2\n1\n0.6\n2\n0.4\n");
  write("ped.txt", "1 0 0 1\n2 0 0 1\n3 1 -1 2\n");
  write("run.par",
        "MCMC_CHAIN:\n100 10 2\nSEED\n321\nRESTART:\nn\nDATAFILE\nd.txt 7\nNUMBER_OF_TRAITS\n1\n"
        "NUMBER_OF_EFFECTS\n2\nOBSERVATION(S)\n1\nWEIGHT(S)\n\nEFFECTS:\n2 3 cross y\n7 3 cross n\n"
        "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1\n"
        "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_ms 4\nPEDIGREEFILE:\nped.txt 3 0\n"
        "MULTIPLE_SIRES:\n2 ms.txt 5 0\n(CO)VARIANCES\n0.5\n");
  std::istringstream in("run.par\n");
  std::streambuf* old = std::cin.rdbuf(in.rdbuf());
  int rc = -1;
  const auto r = statetest::capture([&rc] { rc = run::velmoran_main(); });
  std::cin.rdbuf(old);
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(rc, 0);

  EXPECT_TRUE(r.out.starts_with("  name of parameter file?     \n     VELMORAN 1.20\n")) << r.out;
  const std::size_t remarks = r.out.find(" REMARKS");
  const std::size_t length = r.out.find("\n Data record length =  7\n");
  const std::size_t msfile = r.out.find(" read msfile 5  records ");
  ASSERT_NE(remarks, std::string::npos);
  ASSERT_NE(length, std::string::npos);
  ASSERT_NE(msfile, std::string::npos);
  EXPECT_LT(remarks, length);
  EXPECT_LT(length, msfile);
  EXPECT_TRUE(r.out.ends_with("          3         1        -1   2.0000         1         1\n"
                              " read pedigree 2 with  3  animals \n"
                              " nonparent starting position at ms  6\n"))
      << r.out;

  // The stream was seeded once from SEED, and nothing has drawn from it.
  const double next = prob::gen_uniform_real();
  prob::set_seed(321);
  EXPECT_EQ(next, prob::gen_uniform_real());
}

}  // namespace
