#include "model/state.hpp"

#include <climits>
#include <new>
#include <stdexcept>
#include <string>

#include "model/model.hpp"
#include "util/clock.hpp"
#include "util/stop.hpp"

namespace model {

int number_of_equations() {
  const model::Model& M = model::m;
  long long levels = 0;
  for (int e = 1; e <= M.neff; ++e) levels += M.nlev(e);
  const long long neq = static_cast<long long>(M.ntrait) * levels;
  if (neq > INT_MAX)
    util::fatal(" The model has " + std::to_string(neq) + " equations; at most " +
                std::to_string(INT_MAX) + " are possible");
  return static_cast<int>(neq);
}

int data_record_length() {
  const model::Model& M = model::m;
  int len = INT_MIN;
  auto take = [&len](int v) {
    if (v > len) len = v;
  };
  for (int t = 1; t <= M.ntrait; ++t) take(M.pos_y(t));
  for (int t = 1; t <= M.ntrait; ++t)
    for (int e = 1; e <= M.neff; ++e) take(M.pos_eff(e, t));
  for (int t = 1; t <= M.ntrait; ++t)
    for (int e = 1; e <= M.neff; ++e) take(M.nestedcov(e, t));
  take(M.pos_weight);
  return len;
}

namespace {

// Runs one allocation step; a size the memory cannot hold stops the run with
// a message naming what was being allocated and the counts behind it.
template <class F>
void allocating(const std::string& what, F&& f) {
  try {
    f();
  } catch (const std::bad_alloc&) {
    util::fatal(" Not enough memory for " + what);
  } catch (const std::length_error&) {
    util::fatal(" Not enough memory for " + what);
  }
}

std::string num(long long v) {
  return std::to_string(v);
}

}  // namespace

void allocate_state(State& s) {
  // A state allocated anew (the entry's, reused by a second run in one
  // process) starts without the work areas of the run before.
  s.work.reset();
  model::Model& M = model::m;
  const int nt = M.ntrait, nf = M.neff, neq = s.neq, nrec = M.nrec;
  int lp = 0;
  for (int e = 1; e <= nf; ++e)
    if (M.lenped(e) > lp) lp = M.lenped(e);

  // Arrays 1-23, in order.  Extents below 0 give empty arrays.
  const std::string eqs = "the " + num(neq) + " equations (NUMBER_OF_TRAITS " + num(nt) +
                          " times the levels of EFFECTS:)";
  allocating("the right-hand side and solutions of " + eqs, [&] {
    s.XY.resize(neq);
    s.SOL.resize(neq);
  });
  allocating("the addresses of one record (" + num(nf) + " effects, " + num(nt) + " traits)", [&] {
    s.ADDRESS.resize(nf + extra_slots, nt);
    // Rows beyond a trait's slots are read as equation numbers: keep them valid.
    s.ADDRESS.fill(1);
    s.WEIGHT_COV.resize(nf + extra_slots, nt);
    s.Y.resize(nt);
  });
  allocating(
      "the data records (DATAFILE: " + num(nrec) + " records of " + num(s.reclen) + " columns)",
      [&] { s.INDATA.resize(nrec, s.reclen); });
  allocating("the relationship structures and pedigrees (" + num(nf) +
                 " effects, PEDIGREEFILE: " + num(lp) + " animals)",
             [&] {
               s.AINV.resize(nf);
               s.AINV_IJA.resize(nf);
               s.DF_RANDOM.resize(nf);
               s.PED.resize(nf, lp, 3);
               s.P_MS.resize(lp);
               s.MS_STAT.resize(lp);
               s.PROBS.resize(2 + max_candidates);
             });
  allocating(
      "the (co)variance matrices and their sums (" + num(nf) + " effects, " + num(nt) + " traits)",
      [&] {
        s.ORIG_R.resize(nt, nt);
        s.ORIG_G.resize(nf, model::maxcorr, model::maxcorr);
        M.ginv.resize(nf, model::maxcorr, model::maxcorr);
        s.SUMG.resize(nf, model::maxcorr, model::maxcorr);
        s.SUMR.resize(nt, nt);
        s.SSG.resize(nf, model::maxcorr, model::maxcorr);
        s.SSR.resize(nt, nt);
      });
  allocating("the posterior sums of " + eqs, [&] {
    s.SUMSOL.resize(neq);
    s.SSSOL.resize(neq);
  });
  allocating("the log-likelihoods of the records (DATAFILE: " + num(nrec) + " records, " + num(nt) +
                 " traits)",
             [&] { s.LOGL_OBS.resize(nrec, nt + 3); });

  // Start values, in order.  Fresh arrays are already 0, so only the values
  // that are not 0 need setting.
  allocating("the coefficient matrix of " + eqs, [&] { sparsem::zero_sparse_hashm(s.XX, neq); });
  s.SOL.fill(0.0);
  s.ORIG_G = M.g;
  s.ORIG_R = M.r;
  s.MS_STAT.fill(0);
  s.PROBS.fill(1.0);

  // The heavy-tailed weight parameter starts at its values for every
  // residual type, so nothing reads an undefined value.
  s.w_alpha = 1.5;
  s.w_alpha_varprop = static_cast<double>(0.1f);
  s.sumw_alpha = 0;
  s.ssw_alpha = 0;
  s.sumw_alphaaccep = 0;

  if (M.neffr > 0)
    allocating("the structural residual factors of " + eqs, [&] {
      const int nr = M.neffr;
      s.R_SOL.resize(neq);
      s.R_SOL.fill(1.0);
      s.R_NREC.resize(neq);
      s.SUMR_SOL.resize(neq);
      s.SSR_SOL.resize(neq);
      s.SUMR_ACCEP.resize(nr);
      s.R_DBELIEFPROP.resize(nr);
      s.R_DBELIEFPROP.fill(2000);
      s.R_ALPHA.resize(nr);
      s.R_ALPHA.fill(3.0);
      s.SUMR_ALPHAACCEP.resize(nr);
      s.SUMR_ALPHA.resize(nr);
      s.SSR_ALPHA.resize(nr);
      s.R_ALPHA_VARPROP.resize(nr);
      s.R_ALPHA_VARPROP.fill(static_cast<double>(0.1f));
      s.SUMH_ACCEP.resize(neq);
      s.H_VARPROP.resize(nf);
      s.H_VARPROP.fill(100.0);
    });

  if (model::robust_residuals())
    allocating("the robustness weights (DATAFILE: " + num(nrec) + " records)", [&] {
      s.WEIGHT_ROBUST.resize(nrec);
      s.WEIGHT_ROBUST.fill(1.0);
      s.SUMWEIGHT_ROBUST.resize(nrec);
      s.SSWEIGHT_ROBUST.resize(nrec);
    });
}

void start_clock(State& s) {
  s.cpu_start = util::cpu_seconds();
  s.cpu_last = s.cpu_start;
}

}  // namespace model
