// Normal distribution routines and machine constants of the generator library.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "random/rangen.hpp"

using rangen::i32;

namespace {

// x, Phi(x), Phi(-x) at the double x, to 19 digits (mpmath, 200 bits).
struct CdfRef {
  double x, lower, upper;
};
constexpr CdfRef cdf_refs[] = {
    {-37.5, 4.605353009581954844e-308, 1.0},
    {-30, 4.90671392714818706e-198, 1.0},
    {-20, 2.753624118606233695e-89, 1.0},
    {-10, 7.619853024160526066e-24, 1.0},
    {-8, 6.220960574271784124e-16, 0.9999999999999993779},
    {-5.656854248, 7.70862901714047081e-9, 0.9999999922913709829},
    {-5, 2.866515718791939117e-7, 0.9999997133484281208},
    {-3, 0.001349898031630094527, 0.9986501019683699055},
    {-2, 0.0227501319481792072, 0.9772498680518207928},
    {-1.5, 0.066807201268858066, 0.933192798731141934},
    {-1, 0.1586552539314570514, 0.8413447460685429486},
    {-0.66291, 0.2536940983897399398, 0.7463059016102600602},
    {-0.5, 0.3085375387259868964, 0.6914624612740131036},
    {-0.1, 0.4601721627229710163, 0.5398278372770289837},
    {0.3, 0.6179114221889526331, 0.3820885778110473669},
    {0.7, 0.7580363477769269714, 0.2419636522230730286},
    {1.2, 0.8849303297782917234, 0.1150696702217082766},
    {2.5, 0.9937903346742238648, 0.006209665325776135167},
    {4, 0.9999683287581668801, 0.00003167124183311992125},
    {6, 0.999999999013412355, 9.865876450376981407e-10},
    {9, 0.9999999999999999999, 1.128588405953840648e-19},
    {12, 1.0, 1.776482112077678998e-33},
    {25, 1.0, 3.056696706382560916e-138},
};

// p and the standard normal quantile at p (mpmath, 200 bits).
struct QuantRef {
  double p, z;
};
constexpr QuantRef quant_refs[] = {
    {1.000000013351432e-10, -6.361340900353645171},
    {1e-05, -4.26489079392282461},
    {0.001, -3.090232306167813535},
    {0.025, -1.959963984540054212},
    {0.3, -0.524400512708040816},
    {0.7, 0.5244005127080406563},
    {0.975, 1.959963984540053856},
    {0.999, 3.090232306167813278},
    {0.9999999999, 6.361340889697421864},
};

}  // namespace

TEST(NormalCdf, AgreesWithHighPrecisionReferences) {
  for (const CdfRef& r : cdf_refs) {
    double res, ccum;
    rangen::cumnor(r.x, res, ccum);
    // The smaller tail to a few units in the last place, the other to its
    // absolute rounding.
    const double small = r.x < 0 ? res : ccum;
    const double small_ref = r.x < 0 ? r.lower : r.upper;
    const double big = r.x < 0 ? ccum : res;
    const double big_ref = r.x < 0 ? r.upper : r.lower;
    EXPECT_NEAR(small, small_ref, 4e-16 * small_ref) << "x = " << r.x;
    EXPECT_NEAR(big, big_ref, 2.3e-16) << "x = " << r.x;
  }
}

TEST(NormalCdf, SymmetryZeroAndClamps) {
  double r, c;
  rangen::cumnor(0.0, r, c);
  EXPECT_EQ(r, 0.5);
  EXPECT_EQ(c, 0.5);
  rangen::cumnor(1e-300, r, c);
  EXPECT_EQ(r, 0.5);
  for (double x : {0.01, 0.5, 0.66291, 0.7, 1.5, 3.3, 5.656854248, 6.0, 20.0, 37.0}) {
    double r1, c1, r2, c2;
    rangen::cumnor(x, r1, c1);
    rangen::cumnor(-x, r2, c2);
    EXPECT_EQ(r1, c2) << x;
    EXPECT_EQ(c1, r2) << x;
  }
  // Below about -37.519 the lower tail is under 2^-1022 and becomes 0.
  rangen::cumnor(-37.5, r, c);
  EXPECT_GT(r, 0.0);
  rangen::cumnor(-37.52, r, c);
  EXPECT_EQ(r, 0.0);
  EXPECT_EQ(c, 1.0);
  rangen::cumnor(-1e6, r, c);
  EXPECT_EQ(r, 0.0);
  EXPECT_EQ(c, 1.0);
  // From about 8.2924 the lower tail rounds to 1 while the upper stays positive.
  rangen::cumnor(8.28, r, c);
  EXPECT_LT(r, 1.0);
  rangen::cumnor(8.2924, r, c);
  EXPECT_EQ(r, 1.0);
  EXPECT_GT(c, 0.0);
}

TEST(NormalQuantile, AgreesWithReferencesAndRoundTrips) {
  for (const QuantRef& r : quant_refs) {
    EXPECT_NEAR(rangen::dinvnr(r.p, 1.0 - r.p), r.z, 1e-13 * std::fabs(r.z)) << r.p;
  }
  EXPECT_NEAR(rangen::dinvnr(0.5, 0.5), 0.0, 1e-15);
  EXPECT_NEAR(rangen::dinvnr(0.9999999999, 1 - 0.9999999999), 6.3613409, 1e-7);
  for (double x : {-7.5, -2.2, -0.4, 0.9, 3.7}) {
    double p, q;
    rangen::cumnor(x, p, q);
    EXPECT_NEAR(rangen::dinvnr(p, q), x, 1e-12 * std::fabs(x)) << x;
  }
}

TEST(NormalQuantile, StartValueAndPolynomial) {
  const double a[] = {1.0, 2.0, 3.0};
  EXPECT_EQ(rangen::devlpl(a, 3, 2.0), 1.0 + 2.0 * 2.0 + 3.0 * 4.0);
  EXPECT_EQ(rangen::devlpl(a, 1, 5.0), 1.0);
  // Odeh-Evans start: within 1.5e-8 of the quantile, antisymmetric.
  for (const QuantRef& r : quant_refs) EXPECT_NEAR(rangen::stvaln(r.p), r.z, 1.5e-8) << r.p;
  EXPECT_EQ(rangen::stvaln(0.25), -rangen::stvaln(0.75));
}

TEST(NormalDriver, StatusCodes) {
  double p = 0.5, q = 0.5, x = 0.0, mean = 0.0, sd = 1.0, bound = -9.0;
  i32 status = 99;
  rangen::cdfnor(0, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(bound, 1.0);
  rangen::cdfnor(5, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -1);
  EXPECT_EQ(bound, 4.0);
  p = 0.3, q = 0.3;
  rangen::cdfnor(2, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, 3);
  EXPECT_EQ(bound, 1.0);
  p = 0.0, q = 1.0;
  rangen::cdfnor(2, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -2);
  EXPECT_EQ(bound, 0.0);
  p = 1.5;
  rangen::cdfnor(3, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -2);
  EXPECT_EQ(bound, 1.0);
  p = 0.5, q = 0.0;
  rangen::cdfnor(2, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -3);
  EXPECT_EQ(bound, 0.0);
  q = 1.5;
  rangen::cdfnor(2, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -3);
  EXPECT_EQ(bound, 1.0);
  // sd = 0 for which 1: status -6, p and q untouched.
  p = 0.123, q = 0.456, sd = 0.0, bound = -9.0;
  rangen::cdfnor(1, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, -6);
  EXPECT_EQ(bound, 0.0);
  EXPECT_EQ(p, 0.123);
  EXPECT_EQ(q, 0.456);
  // which 4 never reads sd.
  p = 0.975, q = 0.025, x = 3.0, mean = 1.0, sd = -5.0;
  rangen::cdfnor(4, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, 0);
  EXPECT_NEAR(sd, 2.0 / 1.959963984540054, 1e-14);
}

TEST(NormalDriver, ComputesEachQuantity) {
  double p = 0.975, q = 0.025, x = 0.0, mean = 0.0, sd = 1.0, bound = 0.0;
  i32 status = 99;
  rangen::cdfnor(2, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, 0);
  EXPECT_NEAR(x, 1.95996398454, 5e-12);
  double xx = 0.0;
  double pp = 0.025, qq = 0.975;
  rangen::cdfnor(2, pp, qq, xx, mean, sd, status, bound);
  EXPECT_EQ(xx, -x);
  // which 1 at mean 3, sd 2, x = 3 + 2 z.
  mean = 3.0, sd = 2.0, x = 3.0 + 2.0 * 1.2;
  rangen::cdfnor(1, p, q, x, mean, sd, status, bound);
  EXPECT_EQ(status, 0);
  EXPECT_NEAR(p, 0.8849303297782917234, 2.3e-16);
  EXPECT_NEAR(q, 0.1150696702217082766, 6e-17);  // z carries one rounding
  // which 3: the mean from p, q, x, sd.
  p = 0.975, q = 0.025, x = 10.0, sd = 2.0, mean = 0.0;
  rangen::cdfnor(3, p, q, x, mean, sd, status, bound);
  EXPECT_NEAR(mean, 10.0 - 2.0 * 1.959963984540054, 1e-13);
}

TEST(MachineConstants, Values) {
  EXPECT_EQ(rangen::ipmpar(3), 2147483647);
  EXPECT_EQ(rangen::ipmpar(8), 53);
  EXPECT_EQ(rangen::ipmpar(10), 1024);
  EXPECT_EQ(rangen::spmpar(1), std::numeric_limits<double>::epsilon());
  EXPECT_EQ(rangen::spmpar(0), rangen::spmpar(1));
  EXPECT_EQ(rangen::spmpar(2), std::numeric_limits<double>::min());
  EXPECT_EQ(rangen::spmpar(3), std::numeric_limits<double>::max());
  EXPECT_EQ(rangen::spmpar(7), rangen::spmpar(3));
}
