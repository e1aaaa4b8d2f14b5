// Parameter echo: golden layouts, the model checks and the positive-definite
// repair of the starting matrices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "dense/lapack.hpp"
#include "model/model_support.hpp"
#include "model/model.hpp"
#include "model/state.hpp"
#include "run/echo.hpp"
#include "state_support.hpp"

namespace {

using statetest::capture;
using statetest::expect_golden;
using statetest::read_model;

model::Model& M = model::m;

const char* const title = "VELMORAN 1.20";

// Header of a parameter file up to EFFECTS:, with the given settings.
std::string head(int ntrait, int neff, const std::string& obs, const std::string& weight,
                 const std::string& restart = "n") {
  return "MCMC_CHAIN:\n5000 1000 10\nSEED\n4711\nRESTART:\n" + restart +
         "\nDATAFILE\ndata.txt 120\nNUMBER_OF_TRAITS\n" + std::to_string(ntrait) +
         "\nNUMBER_OF_EFFECTS\n" + std::to_string(neff) + "\nOBSERVATION(S)\n" + obs +
         "\nWEIGHT(S)\n" + weight + "\nEFFECTS:\n";
}

// Eigenvalues (ascending) of a symmetric matrix given by columns, by LAPACK.
std::vector<double> eigenvalues(std::vector<double> a, int n) {
  std::vector<double> w(static_cast<std::size_t>(n)), work(static_cast<std::size_t>(3 * n + 10));
  const int lwork = static_cast<int>(work.size());
  int info = 0;
  dsyev_("N", "U", &n, a.data(), &n, w.data(), work.data(), &lwork, &info, 1, 1);
  EXPECT_EQ(info, 0);
  return w;
}

std::vector<double> r_columns() {
  std::vector<double> v;
  for (int j = 1; j <= M.ntrait; ++j)
    for (int i = 1; i <= M.ntrait; ++i) v.push_back(M.r(i, j));
  return v;
}

std::vector<double> g_columns(int e, int d) {
  std::vector<double> v;
  for (int j = 1; j <= d; ++j)
    for (int i = 1; i <= d; ++i) v.push_back(M.g(e, i, j));
  return v;
}

class Echo : public statetest::InFolder {
 protected:
  void SetUp() override {
    InFolder::SetUp();
    write("ped.txt", "1 0 0\n");
    write("ms.txt", "1\n1\n1.0\n");
  }
  // The echo of the model read from text; fails the test on a stop.
  static std::string echo(const std::string& text) {
    read_model(text);
    const statetest::Run r = capture([] { run::print_parameters(title); });
    EXPECT_EQ(r.stop, "");
    return r.out;
  }
};

// ---------------------------------------------------------------- goldens

TEST_F(Echo, GoldenOneTrait) {
  const std::string text = head(1, 3, "4", "5") +
                           "1 3 cross y\n2 20 cross n\n3 1 cov n\n"
                           "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n2.5\n"
                           "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n"
                           "(CO)VARIANCES\n0.75\n";
  expect_golden("echo_one_trait.txt", echo(text));
}

TEST_F(Echo, GoldenTwoTraitsCorrelatedGroupRestart) {
  // A nested covariable, an effect absent for trait 2, a group of two
  // correlated effects (order 4), a restart line.
  const std::string text = head(2, 4, "6 7", "", "y 2001") +
                           "1 1 4 cross y\n2 0 5 cov n 8 8\n3 3 100 cross y\n3 3 100 cross n\n"
                           "RANDOM_RESIDUAL:\nhomogeneous 10\nRESIDUAL_PRIOR_(CO)VARIANCES\n"
                           "1.0 0.5\n0.5 2.0\n"
                           "RANDOM_GROUP\n3 4\nRANDOM_TYPE\nadd_animal 8\nPEDIGREEFILE:\nped.txt 100\n"
                           "(CO)VARIANCES\n"
                           "4.0 1.0 0.5 0.2\n1.0 3.0 0.1 0.3\n0.5 0.1 2.0 -0.4\n0.2 0.3 -0.4 1.5\n";
  const std::string out = echo(text);
  expect_golden("echo_two_traits.txt", out);
  EXPECT_NE(out.find("Restarting cycle                 2001\n"), std::string::npos);
}

std::string structural_model(const std::string& type) {
  return head(1, 3, "1", "") + "2 3 cross y\n3 8 cross n\n4 1 cov n\n" + "RANDOM_RESIDUAL:\n" +
         type +
         " 6\nMETROPOLIS_STEP_OF_STRUCTURAL_EFFECTS:\n10 50\nNUMBER_OF_STRUCTURAL_EFFECTS\n2\n"
         "STRUCTURAL_EFFECTS:\n1 y\n2\nRESIDUAL_PRIOR_(CO)VARIANCES\n1.5\n";
}

TEST_F(Echo, GoldenStructuralResidualColumn40) {
  expect_golden("echo_structural.txt", echo(structural_model("structural")));
}

TEST_F(Echo, GoldenStructSlashColumn30) {
  const std::string out = echo(structural_model("struct_slash"));
  expect_golden("echo_struct_slash.txt", out);
  // At column 30 the values overwrite the ends of the long labels.
  EXPECT_NE(out.find("\n Metropolis steps within roun      10\n"), std::string::npos);
  EXPECT_NE(out.find("\n Cycles to adjust metropolis       50 during burn-in:\n"), std::string::npos);
}

TEST_F(Echo, GoldenGroupTypesWithPedigrees) {
  // Types 4, 5, 6, an add_an_ms group with one candidate at most (no
  // Dirichlet line) and a diag_mb group of three breeds.
  const std::string text =
      head(1, 6, "1", "") +
      "2 3 cross y\n3 50 cross n\n4 50 cross n\n5 30 cross n\n6 40 ram n\n7 60 cross n\n"
      "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n"
      "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_upg 7\nPEDIGREEFILE:\nped.txt 50\n(CO)VARIANCES\n0.3\n"
      "RANDOM_GROUP\n3\nRANDOM_TYPE\nadd_an_upgi 7\nPEDIGREEFILE:\nped.txt 50\n(CO)VARIANCES\n0.4\n"
      "RANDOM_GROUP\n4\nRANDOM_TYPE\nadd_sire 3\nPEDIGREEFILE:\nped.txt 30\n(CO)VARIANCES\n0.05\n"
      "RANDOM_GROUP\n5\nRANDOM_TYPE\nadd_an_ms 6\nPEDIGREEFILE:\nped.txt 45 2\n"
      "MULTIPLE_SIRES:\n1 ms.txt 3\n(CO)VARIANCES\n0.25\n"
      "RANDOM_GROUP\n6\nRANDOM_TYPE\ndiag_mb 9\nPEDIGREEFILE:\nped.txt 60 0 3\n"
      "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n5 20\n(CO)VARIANCES\n"
      "1 0 0\n0 2 0.5\n0 0.5 3\n";
  const std::string out = echo(text);
  expect_golden("echo_group_types.txt", out);
  EXPECT_EQ(out.find("Dirichlel"), std::string::npos);
  EXPECT_NE(out.find(" Max_N of Sires to infer:               1\n"), std::string::npos);
}

TEST_F(Echo, GoldenMultipleBreedsWithMultipleSires) {
  // Two traits; add_an_mb with two breeds (order 4) and candidate sires with
  // a Dirichlet weight; a diag_mb group of one breed.
  const std::string text =
      head(2, 3, "1 2", "") + "3 3 2 cross y\n4 4 80 cross y\n5 5 80 cross n\n" +
      "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1 0.2 0.2 1\n"
      "RANDOM_GROUP\n2\nRANDOM_TYPE\nadd_an_mb 12\nPEDIGREEFILE:\nped.txt 80 4 2\n"
      "MULTIPLE_SIRES:\n3 ms.txt 12 0.5\nMETROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n4 25\n"
      "(CO)VARIANCES\n"
      "1.0 0.3 0.1 0.05\n0.3 2.0 0.05 0.2\n0.1 0.05 1.5 0.4\n0.05 0.2 0.4 2.5\n"
      "RANDOM_GROUP\n3\nRANDOM_TYPE\ndiag_mb 9\nPEDIGREEFILE:\nped.txt 80 0 1\n"
      "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n4 25\n(CO)VARIANCES\n0.5 0 0 0.5\n";
  const std::string out = echo(text);
  expect_golden("echo_multiple_breeds.txt", out);
  EXPECT_NE(out.find(" Dirichlel hyperparameters:        0.5000\n"), std::string::npos);
}

// ---------------------------------------------------------------- layouts

TEST_F(Echo, GroupAnnouncementsAndTypeSeven) {
  // One effect at column 20, three correlated effects from column 30.
  const std::string text = head(1, 4, "1", "") + "2 3 cross y\n3 10 cross n\n3 10 cross n\n3 10 cross n\n" +
                           "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n"
                           "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1\n"
                           "RANDOM_GROUP\n2 3 4\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n"
                           "(CO)VARIANCES\n1 0 0\n0 1 0\n0 0 1\n";
  std::string out = echo(text);
  EXPECT_NE(out.find("\n Random Effect(s)    1\n"), std::string::npos);
  EXPECT_NE(out.find("\n correlated random effects     2  3  4\n"), std::string::npos);

  // A parental-dominance group (which the reader refuses) shows its file and
  // no degrees of belief.
  M.randomtype(1) = model::RandomType::par_domin;
  M.randomfile(1) = "dom.txt";
  out = capture([] { run::print_parameters(title); }).out;
  const std::size_t at = out.find(" Type of Random Effect:      parental dominance\n");
  ASSERT_NE(at, std::string::npos);
  const std::size_t next = out.find(" trait   effect", at);
  const std::string group = out.substr(at, next - at);
  EXPECT_NE(group.find(" Pedigree File:              dom.txt"), std::string::npos);
  EXPECT_EQ(group.find("Prior degrees of belief"), std::string::npos);
}

TEST_F(Echo, NestingColumnsOfElevenTraitsContinue) {
  std::string pos, nest, r;
  for (int t = 1; t <= 11; ++t) {
    pos += std::to_string(t) + " ";
    nest += std::to_string(20 + t) + " ";
    for (int u = 1; u <= 11; ++u) r += t == u ? "1 " : "0 ";
  }
  const std::string text = head(11, 2, pos, "") + pos + "5 cov n " + nest + "\n" + pos + "4 cross n\n" +
                           "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n" + r + "\n";
  const auto ls = statetest::lines(echo(text));
  const auto row = std::find_if(ls.begin(), ls.end(), [](const std::string& l) { return l.starts_with(" 1  covariable"); });
  ASSERT_NE(row, ls.end());
  EXPECT_TRUE(row->ends_with(" 21 22 23 24 25 26 27 28 29 30")) << *row;
  ASSERT_NE(row + 1, ls.end());
  EXPECT_EQ(*(row + 1), std::string(54, ' ') + " 31");
  EXPECT_TRUE((row + 2)->starts_with(" 2  cross-classified")) << *(row + 2);
}

TEST_F(Echo, NestingColumnsOnlyWhenTheFirstIsSet) {
  // The first trait's nesting column is 0: no nesting columns at all.
  const std::string text = head(2, 1, "1 2", "") + "3 3 4 cov n 0 9\n" +
                           "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1 0 0 1\n";
  const auto ls = statetest::lines(echo(text));
  const auto row = std::find_if(ls.begin(), ls.end(), [](const std::string& l) { return l.starts_with(" 1  covariable"); });
  ASSERT_NE(row, ls.end());
  EXPECT_EQ(*row, " 1  covariable           3  3                4     0");
}

// ---------------------------------------------------------------- checks

TEST_F(Echo, ModelChecksStop) {
  const std::string resid = "RANDOM_RESIDUAL:\nstudent_t 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n";
  // One trait with student_t passes.
  {
    read_model(head(1, 1, "1", "") + "2 3 cross y\n" + resid + "1.0\n");
    const auto r = capture([] { run::print_parameters(title); });
    EXPECT_EQ(r.stop, "");
  }
  // Two traits stop right after the degrees-of-belief line.
  {
    read_model(head(2, 1, "1 2", "") + "3 3 3 cross y\n" + resid + "1 0 0 1\n");
    const auto r = capture([] { run::print_parameters(title); });
    EXPECT_EQ(r.stop, " ERROR: only homoskedastic residuals are possible for multitrait models");
    EXPECT_TRUE(r.out.ends_with(" R prior degrees of belief:             5\n")) << r.out;
  }
  // RAM and reaction norm together stop after the effect table.
  {
    read_model(head(1, 3, "1", "") + "2 30 ram y\n3 10 unk n\n4 10 rno n 3\n" +
               "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n");
    const auto r = capture([] { run::print_parameters(title); });
    EXPECT_EQ(r.stop, " ERROR: Joint implementation of RAM and reaction-norm effects not possible");
    EXPECT_TRUE(r.out.ends_with(" 3  reaction-norm        4                  10     0    3\n")) << r.out;
  }
  // Codes that the reader never gives.
  const std::string ok = head(1, 1, "1", "") + "2 3 cross y\n" +
                         "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1.0\n"
                         "RANDOM_GROUP\n1\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n1\n";
  read_model(ok);
  M.residualtype = static_cast<model::ResidualType>(7);
  const std::string internal = " Internal error (a fault of the program, not of its input): ";
  EXPECT_EQ(capture([] { run::print_parameters(title); }).stop, internal + "unknown RESIDUAL-TYPE");
  read_model(ok);
  M.randomtype(1) = static_cast<model::RandomType>(11);
  const auto r = capture([] { run::print_parameters(title); });
  EXPECT_EQ(r.stop, internal + "unknown RANDOM-TYPE");
  EXPECT_TRUE(r.out.ends_with("\n Random Effect(s)    1\n")) << r.out;
}

// ---------------------------------------------------------------- repair

TEST_F(Echo, IndefiniteStartingMatricesAreRepaired) {
  // R has eigenvalues -1 and 3; the group block (two traits, two correlated
  // effects) has a zero second row and column around an indefinite part.
  const std::string text = head(2, 3, "1 2", "") + "3 3 4 cross y\n4 4 10 cross n\n4 4 10 cross n\n" +
                           "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n1 2\n2 1\n"
                           "RANDOM_GROUP\n2 3\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n"
                           "(CO)VARIANCES\n1 0 0 0\n0 0 0 0\n0 0 -1 0\n0 0 0 1\n";
  read_model(text);
  const auto r = capture([] { run::print_parameters(title); });
  ASSERT_EQ(r.stop, "");
  const std::string msg = "     Matrix not positive definite: corrected\n";
  EXPECT_NE(r.out.find(" Residual (co)variance Matrix\n" + msg), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(" correlated random effects     2  3\n Type of Random Effect:      diagonal\n"
                       " Prior degrees of belief:               4\n" + msg),
            std::string::npos)
      << r.out;

  // R: the eigenvalue -1 is raised to 1e-4 times the largest, 3.
  const auto wr = eigenvalues(r_columns(), 2);
  EXPECT_NEAR(wr[0], 3e-4, 1e-12);
  EXPECT_NEAR(wr[1], 3.0, 1e-12);
  EXPECT_EQ(M.r(1, 2), M.r(2, 1));
  // The listing shows the repaired values.
  EXPECT_NE(r.out.find(util::formatv("(20g12.5)", M.r(1, 1), M.r(1, 2))), std::string::npos);

  // G: the zero row and column stay zero; the rest is repaired.
  const auto wg = eigenvalues(g_columns(2, 4), 4);
  EXPECT_NEAR(wg[0], 0.0, 1e-15);
  EXPECT_NEAR(wg[1], 1e-4, 1e-12);
  EXPECT_NEAR(wg[2], 1.0, 1e-12);
  EXPECT_NEAR(wg[3], 1.0, 1e-12);
  for (int k = 1; k <= 4; ++k) {
    EXPECT_EQ(M.g(2, 2, k), 0.0);
    EXPECT_EQ(M.g(2, k, 2), 0.0);
  }
  EXPECT_GT(M.g(2, 3, 3), 0.0);

  // The chain's prior copies are the repaired matrices.
  model::State s;
  modeltest::allocate_for_model(s);
  for (int j = 1; j <= 2; ++j)
    for (int i = 1; i <= 2; ++i) EXPECT_EQ(s.ORIG_R(i, j), M.r(i, j));
  for (int j = 1; j <= 4; ++j)
    for (int i = 1; i <= 4; ++i) EXPECT_EQ(s.ORIG_G(2, i, j), M.g(2, i, j));
}

TEST_F(Echo, DefiniteMatrixUnchangedAndEveryBreedBlockRepaired) {
  // R positive definite: bit for bit unchanged.  The multiple-breed block
  // (two traits, two breeds) is indefinite in its first breed's block and in
  // the second's; each breed pair's block is repaired on its own, the
  // definite pair block (1,2) stays as read, and so does the mirrored (2,1).
  const std::string mb = head(2, 2, "1 2", "") + "3 3 3 cross y\n4 4 10 cross n\n" +
                         "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n"
                         "0.7 0.1\n0.1 0.9\n"
                         "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiag_mb 4\nPEDIGREEFILE:\nped.txt 10 0 2\n"
                         "METROPOLIS_STEP_OF_MULTIBREED_(CO)VARIANCES:\n4 25\n(CO)VARIANCES\n";
  read_model(mb + "1 2 0.3 0.1\n2 1 0.1 0.4\n0.3 0.1 1 2\n0.1 0.4 2 1\n");
  const util::arr3<double> g0 = M.g;
  auto r = capture([] { run::print_parameters(title); });
  ASSERT_EQ(r.stop, "");
  EXPECT_EQ(M.r(1, 1), 0.7);
  EXPECT_EQ(M.r(1, 2), 0.1);
  EXPECT_EQ(M.r(2, 1), 0.1);
  EXPECT_EQ(M.r(2, 2), 0.9);
  // Two correction messages, the group's breed blocks 1 and 2; none for R.
  const std::size_t first = r.out.find("positive definite: corrected");
  ASSERT_NE(first, std::string::npos);
  const std::size_t second = r.out.find("positive definite: corrected", first + 1);
  ASSERT_NE(second, std::string::npos);
  EXPECT_EQ(r.out.find("positive definite: corrected", second + 1), std::string::npos);
  EXPECT_GT(first, r.out.find(" Random Effect(s)"));

  for (int b = 0; b <= 2; b += 2) {
    auto w = eigenvalues(g_columns(2, 2), 2);
    if (b == 2) {
      std::vector<double> c;
      for (int j = 3; j <= 4; ++j)
        for (int i = 3; i <= 4; ++i) c.push_back(M.g(2, i, j));
      w = eigenvalues(c, 2);
    }
    EXPECT_NEAR(w[0], 3e-4, 1e-12) << b;
    EXPECT_NEAR(w[1], 3.0, 1e-12) << b;
  }
  for (int j = 3; j <= 4; ++j)
    for (int i = 1; i <= 2; ++i) {
      EXPECT_EQ(M.g(2, i, j), g0(2, i, j)) << i << "," << j;
      EXPECT_EQ(M.g(2, j, i), g0(2, j, i)) << j << "," << i;
    }
  // The listing: breed pairs (1,1), (1,2), (2,2), two traits each.
  EXPECT_NE(r.out.find("\n   1  2     1       2   0.30000     0.10000    \n"), std::string::npos) << r.out;

  // A later breed block that cannot be made definite stops the run, where it
  // would otherwise stay indefinite for the whole chain; so does a pair block
  // that is not symmetric, and a pair block wholly 0 is left alone.
  read_model(mb + "1 0.5 0 0\n0.5 1 0 0\n0 0 -5 0\n0 0 0 -5\n");
  r = capture([] { run::print_parameters(title); });
  EXPECT_EQ(r.stop,
            " The starting (co)variance matrix of random effect 2 (breeds 2 and 2) is not positive"
            " definite and cannot be corrected (no positive eigenvalue, or values that are not numbers)");
  read_model(mb + "1 0.5 0.3 0.1\n0.5 1 0.2 0.4\n0.3 0.2 1 0\n0.1 0.4 0 1\n");
  r = capture([] { run::print_parameters(title); });
  EXPECT_EQ(r.stop,
            " The starting (co)variance matrix of random effect 2: the block of breeds 1 and 2, a"
            " (co)variance matrix of its own, is not symmetric: row 1 column 4 is 0.1 but row 2"
            " column 3 is 0.2");
  read_model(mb + "1 0.5 0 0\n0.5 1 0 0\n0 0 1 0.5\n0 0 0.5 1\n");
  r = capture([] { run::print_parameters(title); });
  EXPECT_EQ(r.stop, "");
  EXPECT_EQ(r.out.find("positive definite: corrected"), std::string::npos);
}

TEST_F(Echo, MatricesThatCannotBeRepairedStop) {
  const std::string base = head(2, 2, "1 2", "") + "3 3 4 cross y\n4 4 10 cross n\n" +
                           "RANDOM_RESIDUAL:\nhomogeneous 5\nRESIDUAL_PRIOR_(CO)VARIANCES\n";
  const std::string group = "RANDOM_GROUP\n2\nRANDOM_TYPE\ndiagonal 4\nPEDIGREEFILE:\nnone\n(CO)VARIANCES\n";
  read_model(base + "-1 0 0 -2\n" + group + "1 0 0 1\n");
  auto r = capture([] { run::print_parameters(title); });
  EXPECT_EQ(r.stop,
            " The starting residual (co)variance matrix is not positive definite and cannot be corrected"
            " (no positive eigenvalue, or values that are not numbers)");
  EXPECT_EQ(r.out.find("positive definite: corrected"), std::string::npos);

  read_model(base + "1 0 0 1\n" + group + "-1 -0.5 -0.5 -1\n");
  r = capture([] { run::print_parameters(title); });
  EXPECT_EQ(r.stop,
            " The starting (co)variance matrix of random effect 2 is not positive definite and cannot"
            " be corrected (no positive eigenvalue, or values that are not numbers)");
}

}  // namespace
