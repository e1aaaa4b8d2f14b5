// The state of one chain: equations, current solutions, the data in memory,
// relationship structures, prior copies of the (co)variance matrices, the
// posterior running sums, the structural-residual and robust-weight state,
// and the record cursor through which every pass over the data handles one
// record at a time.
//
// One instance, owned by the entry and handed to every procedure of a cycle.
// It is allocated once by allocate_state (arrays below in their order of
// allocation), completed by read_files, and lives for the whole run.  All
// arrays are 1-based; reals are 64-bit unless declared float; integers are
// 32-bit.  Every array starts at a defined value: the start value given
// below, otherwise 0.
#pragma once

#include <memory>

#include "sparse/sparsem.hpp"
#include "util/array.hpp"
#include "util/textio.hpp"

namespace sampler {
struct Workspace;
}

namespace model {

// Largest number of candidate sires of one animal: PROBS holds the animal,
// its dam and at most this many candidates.
inline constexpr int max_candidates = 50;
// Extra slots per record and trait beyond one per effect (parents and
// candidate sires of animals without equations).
inline constexpr int extra_slots = 50;

struct State {
  // ---- sizes
  int neq = 0;     // number of equations: ntrait * sum of nlev
  int reclen = 0;  // data record length: columns of INDATA

  // ---- run clock (processor seconds, 32-bit)
  float cpu_start = 0;  // when the cycles begin
  float cpu_now = 0;    // last reading
  float cpu_last = 0;   // at the previous progress line

  // ---- record cursor
  int irec = 0;             // current record
  int naddr = 0;            // slot count of the current record
  double rec_weight = 0;    // weight of the current record (1 without weights)
  double res_scale = 0;     // residual scale of the current record
  util::mat1<int> ADDRESS;  // (neff+50, ntrait) equation of each slot; starts at 1
  util::mat1<float> WEIGHT_COV;  // (neff+50, ntrait) multiplier of each slot
  util::vec1<float> Y;           // (ntrait) observations of the current record

  // ---- cycle accumulator
  double logl_total = 0;  // total log-likelihood of the cycle

  // ---- heavy-tailed weight parameter (start values for every residual type)
  double w_alpha = 1.5;                      // shape (t degrees of freedom or slash parameter)
  double w_alpha_varprop = double(0.1f);     // variance of its log-normal proposal
  double sumw_alpha = 0, ssw_alpha = 0;      // sums over kept samples
  double sumw_alphaaccep = 0;                // acceptance sum

  // ---- equations
  // Coefficient matrix, upper triangle, order neq.  After the first cycle of
  // a run, cycles build XX_IJA directly and XX keeps its keys (see
  // sampler/eq_plan.hpp).
  sparsem::sparse_hashm XX;
  sparsem::sparse_ija XX_IJA; // its compressed-row copy; empty until the first cycle
  util::vec1<double> XY;      // (neq) right-hand side
  util::vec1<double> SOL;     // (neq) current solutions

  // ---- data
  util::mat1<float> INDATA;  // (nrec, reclen) all data records, record index first

  // ---- relationship structures
  util::vec1<sparsem::sparse_hashm> AINV;    // (neff) relationship inverse of each group
  util::vec1<sparsem::sparse_ija> AINV_IJA;  // (neff) its compressed-row copy
  util::vec1<int> DF_RANDOM;                 // (neff) degrees of freedom of each group
  util::arr3<int> PED;       // (neff, Lp, 3) pedigree lines; column 3 takes drawn sires
  util::vec1<int> P_MS;      // (Lp) start of the line's candidate block in MS; 0 = none
  util::vec1<int> MS_STAT;   // (Lp) 1 when the line's sire is sampled
  util::vec1<double> PROBS;  // (52) work weights of one animal; starts at 1.0

  // ---- prior copies (as read and repaired by the echo)
  util::mat1<double> ORIG_R;  // (ntrait, ntrait)
  util::arr3<double> ORIG_G;  // (neff, 20, 20); 0 outside the groups' blocks

  // ---- posterior sums
  util::arr3<double> SUMG;      // (neff, 20, 20)
  util::mat1<double> SUMR;      // (ntrait, ntrait)
  util::arr3<double> SSG;       // (neff, 20, 20)
  util::mat1<double> SSR;       // (ntrait, ntrait)
  util::vec1<double> SUMSOL;    // (neq)
  util::vec1<double> SSSOL;     // (neq)
  util::mat1<double> LOGL_OBS;  // (nrec, ntrait+3)

  // ---- structural residual effects (allocated when neffr > 0)
  util::vec1<double> R_SOL;            // (neq) factors; start 1.0
  util::vec1<double> R_NREC;           // (neq)
  util::vec1<double> SUMR_SOL;         // (neq)
  util::vec1<double> SSR_SOL;          // (neq)
  util::vec1<double> SUMR_ACCEP;       // (neffr)
  util::vec1<int> R_DBELIEFPROP;       // (neffr) start 2000
  util::vec1<double> R_ALPHA;          // (neffr) start 3.0
  util::vec1<double> SUMR_ALPHAACCEP;  // (neffr)
  util::vec1<double> SUMR_ALPHA;       // (neffr)
  util::vec1<double> SSR_ALPHA;        // (neffr)
  util::vec1<double> R_ALPHA_VARPROP;  // (neffr) start 0.1f widened
  util::vec1<double> SUMH_ACCEP;       // (neq)
  util::vec1<double> H_VARPROP;        // (neff) start 100.0

  // ---- robust weights (allocated when model::robust_residuals)
  util::vec1<double> WEIGHT_ROBUST;     // (nrec) start 1.0
  util::vec1<double> SUMWEIGHT_ROBUST;  // (nrec)
  util::vec1<double> SSWEIGHT_ROBUST;   // (nrec)

  // ---- multiple sires and multiple breeds (allocated by read_files)
  util::vec1<double> MS;         // (n_ms) the multiple-sires file; when max_msires > 0
  util::vec1<double> SUMMS;      // (n_ms) when max_msires > 0
  util::vec1<double> SSMS;       // (n_ms) when max_msires > 0
  util::vec1<double> MS_ALPHAS;  // (n_ms) Dirichlet parameters; when max_msires > 0
  util::vec1<float> DINV;        // (lenped) Mendelian coefficients of the add_an_ms group
  util::mat1<double> SUMSOL_N;   // (lenped-nlev, randomnumb*ntrait) add_an_ms group of a "ram" effect
  util::mat1<double> SSSOL_N;    // same shape
  util::mat1<double> SOL_N;      // same shape: values of the animals without equations
  util::arr3<double> BREED;        // (neff, Lp, B) breed fractions; B = largest nbreed
  util::arr3<double> SUMMB_ACCEP;  // (neff, B, B)
  util::arr3<int> MB_DBELIEF;      // (neff, B, B) proposal degrees of belief; start nlev(e)
  // (neff, Lp) fourth integer of the pedigree lines of random types
  // add_an_upg (multiplier code 1..4) and add_an_upgi (multiplier times 1000).
  util::mat1<int> PED_CODE;

  // Sample file "msirespprsam" of the candidate-sire probabilities; open when
  // max_msires > 1 and ms_alpha != 0 (created by read_files on a fresh run,
  // reopened for appending by the restart and after each store).
  util::TextOut msirespprsam;

  // The sampler's work areas of this chain (the record cursor's own members,
  // the equation plan, the link of XX to XX_IJA, ...): made by the sampler
  // on first use (sampler::workspace) and ended by it; their contents are
  // work, not the chain's value, so a const state may still use them.  Only
  // the sampler knows their type, so that this folder includes none of its
  // headers.
  mutable std::unique_ptr<sampler::Workspace, void (*)(sampler::Workspace*)> work{nullptr, nullptr};
};

// neq = ntrait * (sum of nlev) of the model description.  A count beyond the
// 32-bit range stops the run.
int number_of_equations();

// Largest data column named in the model description: pos_y, pos_eff,
// nestedcov and pos_weight, over signed 32-bit integers.
int data_record_length();

// Allocates the state from the model description and sets its start values:
// arrays 1-23 in their order (ginv of the model included), then XX as an
// empty hash of order s.neq with the default table size, SOL, ORIG_G := g,
// ORIG_R := r, MS_STAT, PROBS and the sums, then the structural-residual
// group (neffr > 0) and the robust-weight group (model::robust_residuals).
// Ends the sampler's work areas of s, if any.  s.neq and s.reclen must be
// set.
void allocate_state(State& s);

// cpu_start := the processor time now; cpu_last := cpu_start.
void start_clock(State& s);

}  // namespace model
