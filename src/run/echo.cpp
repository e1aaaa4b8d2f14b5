#include "run/echo.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run {

namespace {

// Writes one formatted block (one or more lines) to standard output.
template <class... A>
void out(std::string_view fmt, const A&... a) {
  util::say_text(util::formatv(fmt, a...));
}
void out_args(std::string_view fmt, const util::FmtArgs& a) { util::say_text(util::format(fmt, a)); }

// File names are fixed 40-character texts in the echo: blank-padded.
std::string name40(const std::string& s) {
  std::string t = s;
  if (t.size() < 40) t.resize(40, ' ');
  return t;
}

const char* effect_name(model::EffectType type) {
  switch (type) {
    case model::EffectType::cro: return "cross-classified";
    case model::EffectType::cov: return "covariable";
    case model::EffectType::ram: return "ram";
    case model::EffectType::unk: return "unknown-covariable";
    case model::EffectType::rno: return "reaction-norm";
    default: return "???";
  }
}

struct RandomName {
  const char* name;
  const char* addition;
};
RandomName random_name(model::RandomType type) {
  switch (type) {
    case model::RandomType::diagonal: return {"diagonal", ""};
    case model::RandomType::add_animal: return {"additive animal", ""};
    case model::RandomType::add_an_upg: return {"additive animal", " with unknown parent groups"};
    case model::RandomType::add_an_upgi:
      return {"additive animal", " with unknown parent groups and inbreeding"};
    case model::RandomType::add_sire: return {"additive sire", ""};
    case model::RandomType::par_domin: return {"parental dominance", ""};
    case model::RandomType::add_an_ms:
      return {"(reduced) animal model", " with msires and parent groups"};
    case model::RandomType::add_an_mb:
      return {"multiple breed animal model", " with additive effects"};
    case model::RandomType::diag_mb: return {"multiple breed uncorrelated effect", ""};
    default: return {"", ""};
  }
}

constexpr std::string_view corrected = "    Matrix not positive definite: corrected";

// The repair raises the small eigenvalues only to a ten-thousandth of the
// largest, so a start far from positive definite comes out nearly singular
// (a correlation near 1), and a chain started there may stay near it for
// thousands of cycles: the line after the repair's says how near.
void largest_correlation(const util::mat1<double>& x, const std::string& what, bool was_pd) {
  const int n = static_cast<int>(x.rows());
  double largest = 0.0;
  bool any = false;
  for (int j = 2; j <= n; ++j)
    for (int i = 1; i < j; ++i) {
      if (!(x(i, i) > 0.0 && x(j, j) > 0.0)) continue;
      const double c = x(i, j) / std::sqrt(x(i, i) * x(j, j));
      if (!any || std::fabs(c) > std::fabs(largest)) largest = c;
      any = true;
    }
  if (!any) return;
  char text[32];
  std::snprintf(text, sizeof text, "%.4f", largest);
  // Four decimals would show a correlation just below 1 as 1.
  if (std::fabs(largest) < 1.0 && std::fabs(std::atof(text)) >= 1.0)
    std::snprintf(text, sizeof text, "%.6f", largest);
  // A start that was positive definite is "corrected" only for eigenvalues
  // more than 1e4 apart, which traits in units far apart give: the advice
  // then is other units, not another start.
  util::say_text(" warning: the corrected " + what + " has a correlation of " + text +
                 (was_pd ? "; the start was positive definite, but its eigenvalues lie more than 1e4 apart,"
                           " so its smallest were raised: traits in units far apart do that (manual,"
                           " section 1.1); units that give variances of like size keep the start as given"
                         : "; a chain started so near a singular matrix may stay near it for thousands of"
                           " cycles: a positive-definite start (manual, section 1.1) avoids a long burn-in"));
}

// Repairs a starting matrix in place; a matrix the repair cannot make
// positive definite would otherwise be reported as corrected while left as
// it was, so it stops the run here.
void repair(util::mat1<double>& x, const std::string& what) {
  const denseop::PosDef r = denseop::pos_def(x, corrected, 1e-4);
  if (r.state == denseop::Repair::not_repairable || r.state == denseop::Repair::eigen_failed)
    util::fatal(" The starting " + what +
                " is not positive definite and cannot be corrected (no positive eigenvalue,"
                " or values that are not numbers)");
  if (r.state == denseop::Repair::repaired) largest_correlation(x, what, r.was_positive);
}

// The lines naming the upper-triangle elements that are 0 in a starting
// matrix of the given order: those that stay 0 for the whole chain, as a
// warning, since identity starting matrices fix every covariance at 0 and
// so estimate none; and, in a multiple-breed group (breed blocks of
// order block, drawn whole), those that are sampled with their block.
// Nothing when there is none.  Of a group with effects absent for a trait,
// only its `present` rows have covariances that could be sampled.
template <class At, class Sampled>
void zero_pattern(const std::string& what, int order, int block, At at, Sampled sampled, int present) {
  auto block_zero = [&](int i, int j) {
    const int r0 = (i - 1) / block * block, c0 = (j - 1) / block * block;
    for (int c = c0 + 1; c <= c0 + block; ++c)
      for (int r = r0 + 1; r <= r0 + block; ++r)
        if (at(r, c) != 0.0) return false;
    return true;
  };
  std::string fixed, drawn;
  bool whole = block != 0;  // every element that stays 0 in a block wholly 0
  int fixed_covariances = 0;
  for (int i = 1; i <= order; ++i)
    for (int j = i; j <= order; ++j) {
      if (at(i, j) != 0.0) continue;
      const std::string ij = " (" + std::to_string(i) + "," + std::to_string(j) + ")";
      if (sampled(i, j)) {
        drawn += ij;
      } else {
        fixed += ij;
        whole = whole && block_zero(i, j);
        if (j > i) ++fixed_covariances;
      }
    }
  if (!fixed.empty())
    util::say_text(" warning: " + what + (whole ? " elements of breed blocks wholly" : " elements") +
                   " 0 in the starting matrix stay 0 for the whole chain (not sampled, not in"
                   " \"varcompsam\"):" + fixed);
  if (present >= 2 && fixed_covariances == present * (present - 1) / 2)
    util::say_text(" warning: " + what +
                   " every covariance stays 0, which is what identity starting matrices do; to"
                   " estimate the covariances, start each from a small value other than 0, such as"
                   " 0.1 times the root of the product of its two variances");
  if (!drawn.empty())
    util::say_text(" " + what +
                   " elements 0 in the starting matrix are sampled all the same, since their breed"
                   " blocks are drawn whole (in \"varcompsam\" like the other elements):" + drawn);
}

void chain_and_data(std::string_view title) {
  const model::Model& M = model::m;
  util::say("    ");
  util::say("    " + std::string(title));

  out("(/' Parameter file:',t30,a)", name40(M.parfile));
  out("(' Total number of MCMC cycles:',t30,i8)", M.nround);
  out("(' Burn-in period:',t30,i8)", M.nburn);
  out("(' Thinning interval:',t30,i8)", M.skip);
  out("(' Seed:',t30,i8)", M.seed);
  out("(' Is this a restart?:',t30,a)", std::string(1, M.rstart));
  if (M.rstart == 'y') out("('Restarting cycle',t30,i8)", M.start);
  out("(' Data file:',t30,a)", name40(M.datafile));
  out("(' Number of Traits',t30,i2)", M.ntrait);
  out("(' Number of Effects',t30,i2)", M.neff);
  util::FmtArgs ys;
  for (int t = 1; t <= M.ntrait; ++t) ys.add(M.pos_y(t));
  out_args("(' Position of Observations',t30,20i3)", ys);
  out("(' Position of Weight (1)',t30,20i3)", M.pos_weight);
  out("(' Value of Missing Trait/Observation',t40,i8)", M.miss);
}

void effect_table() {
  const model::Model& M = model::m;
  out("(/' EFFECTS')");
  out("(' #  type',t25,'position (2)',t42,'levels  save  [positions for nested]')");

  // The row layout carries the number of traits as an I2 field; the colon
  // lets more than ten nesting columns continue on further lines.
  std::string nt2 = std::to_string(M.ntrait);
  if (nt2.size() < 2) nt2.insert(0, 2 - nt2.size(), ' ');
  const std::string layout = "(i2,2x,a19," + nt2 + "i3,t37,i10,t51,i2,t55,10i3:/(t55,10i3))";

  bool ram = false, rno = false;
  util::FmtArgs row;
  for (int i = 1; i <= M.neff; ++i) {
    std::string type = effect_name(M.effecttype(i));
    type.resize(20, ' ');
    row.clear();
    row.add(i).add(type);
    for (int t = 1; t <= M.ntrait; ++t) row.add(M.pos_eff(i, t));
    row.add(M.nlev(i)).add(M.effectsave(i));
    if (M.nestedcov(i, 1) != 0)
      for (int t = 1; t <= M.ntrait; ++t) row.add(M.nestedcov(i, t));
    out_args(layout, row);
    ram = ram || M.effecttype(i) == model::EffectType::ram;
    rno = rno || M.effecttype(i) == model::EffectType::rno;
  }
  if (ram && rno) util::fatal(util::freev("ERROR: Joint implementation of RAM and reaction-norm effects not possible"));
}

void residual_model() {
  model::Model& M = model::m;
  const model::ResidualType rt = M.residualtype;
  const char* type = model::word(rt);
  if (*type == 0) util::internal_error("unknown RESIDUAL-TYPE");
  out("(' Type of Residuals:',t30,a)", type);

  util::FmtArgs pos, save;
  for (int k = 1; k <= M.neffr; ++k) {
    pos.add(M.pos_effr(k));
    save.add(M.effrsave(k));
  }
  if (rt == model::ResidualType::structural) {
    out("(' Metropolis steps within round:',t40,i8)", M.r_nround);
    out("(' Cycles to tune MH during burn-in:',t40,i8)", M.r_skip);
    out("(' Number structural effects:',t40,i3)", M.neffr);
    out_args("(' Structural effects:',t40,50i3)", pos);
    out_args("(' Structural effects save:',t40,50i3)", save);
  } else if (model::structural(rt)) {
    out("(' Metropolis steps within round:',t30,i8)", M.r_nround);
    out("(' Cycles to adjust metropolis variance during burn-in:',t30,i8)", M.r_skip);
    out("(' Number structural effects:',t30,i3)", M.neffr);
    out_args("(' Structural effects:',t30,50i3)", pos);
    out_args("(' Structural effects save:',t30,50i3)", save);
  }

  out("(' R prior degrees of belief:',t30,i12)", M.dbelief_r);
  if (M.ntrait > 1 && rt != model::ResidualType::homogeneous)
    util::fatal(util::freev("ERROR: only homoskedastic residuals are possible for multitrait models"));

  out("(/' Residual (co)variance Matrix')");
  repair(M.r, "residual (co)variance matrix");
  denseop::printm8(M.r, std::nullopt, "(20g12.5)");
  zero_pattern("R:", M.ntrait, 0, [&M](int i, int j) { return M.r(i, j); },
               [](int, int) { return false; }, M.ntrait);
}

void multiple_sires_lines() {
  const model::Model& M = model::m;
  if (M.max_msires <= 0) return;
  out("(' Msires File: ',t30,a)", name40(M.msfile));
  out("(' Dimension of Msfile: ',t30,i12)", M.n_ms);
  out("(' Max_N of Sires to infer: ',t30,i12)", M.max_msires);
  if (M.max_msires > 1) out("(' Dirichlel hyperparameters: ',t30,f12.4)", M.ms_alpha);
}

// A multiple-breed group's breed blocks are each drawn as a (co)variance
// matrix of its own, so every pair's block (of order m) is repaired, save
// one wholly 0 (kept 0 for the whole chain): a later block left indefinite
// would stay so for the whole chain.
void repair_breed_blocks(int e, int m, int nb) {
  model::Model& M = model::m;
  util::mat1<double> block(m, m);
  for (int b1 = 1; b1 <= nb; ++b1)
    for (int b2 = b1; b2 <= nb; ++b2) {
      const int r0 = (b1 - 1) * m, c0 = (b2 - 1) * m;
      bool zero = true;
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          block(i, j) = M.g(e, r0 + i, c0 + j);
          zero = zero && block(i, j) == 0.0;
        }
      if (zero && (b1 != 1 || b2 != 1)) continue;
      if (b1 != b2)
        for (int j = 1; j <= m; ++j)
          for (int i = j + 1; i <= m; ++i)
            if (block(i, j) != block(j, i))
              util::fatal(" The starting (co)variance matrix of random effect " + std::to_string(e) +
                          ": the block of breeds " + std::to_string(b1) + " and " + std::to_string(b2) +
                          ", a (co)variance matrix of its own, is not symmetric: row " +
                          std::to_string(r0 + j) + " column " + std::to_string(c0 + i) + " is " +
                          util::freev(block(j, i)).substr(1) + " but row " + std::to_string(r0 + i) +
                          " column " + std::to_string(c0 + j) + " is " + util::freev(block(i, j)).substr(1));
      repair(block, "(co)variance matrix of random effect " + std::to_string(e) +
                        (b1 == 1 && b2 == 1 ? ""
                                            : " (breeds " + std::to_string(b1) + " and " +
                                                  std::to_string(b2) + ")"));
      for (int j = 1; j <= m; ++j)
        for (int i = 1; i <= m; ++i) {
          M.g(e, r0 + i, c0 + j) = block(i, j);
          if (b1 != b2) M.g(e, c0 + j, r0 + i) = block(i, j);  // the mirrored pair
        }
    }
}

// The block of any other group, over its present rows: the rows of effects
// absent for a trait are no part of the prior (the present rows' block of an
// inverse-Wishart matrix is one of its own), so they are set to 0 and the
// present rows alone are repaired.
void repair_present_rows(int e, int m, const int* rows, int mp) {
  model::Model& M = model::m;
  util::mat1<double> block(mp, mp);
  for (int j = 1; j <= mp; ++j)
    for (int i = 1; i <= mp; ++i) block(i, j) = M.g(e, rows[i - 1], rows[j - 1]);
  repair(block, "(co)variance matrix of random effect " + std::to_string(e));
  for (int j = 1; j <= m; ++j)
    for (int i = 1; i <= m; ++i) M.g(e, i, j) = 0.0;
  for (int j = 1; j <= mp; ++j)
    for (int i = 1; i <= mp; ++i) M.g(e, rows[i - 1], rows[j - 1]) = block(i, j);
}

void random_group(int e) {
  model::Model& M = model::m;
  const int n = M.randomnumb(e);
  const model::RandomType rt = M.randomtype(e);
  if (n == 1) {
    out("(/' Random Effect(s)',t20,10i3)", e);
  } else {
    util::FmtArgs ids;
    for (int k = 0; k < n; ++k) ids.add(e + k);
    out_args("(/' correlated random effects',t30,10i3)", ids);
  }
  const RandomName nm = random_name(rt);
  if (*nm.name == 0) util::internal_error("unknown RANDOM-TYPE");
  out("(' Type of Random Effect:',t30,a,a)", nm.name, nm.addition);
  const std::string ped = name40(M.randomfile(e));
  switch (rt) {
    case model::RandomType::diagonal:
      out("(' Prior degrees of belief:',t30,i12)", M.dbelief_g(e));
      break;
    case model::RandomType::add_animal:
      out("(' Pedigree File:',t30,a)", ped);
      out("(' Prior degrees of belief:',t30,i12)", M.dbelief_g(e));
      break;
    case model::RandomType::add_an_upg:
    case model::RandomType::add_an_upgi:
    case model::RandomType::add_sire:
      out("(' Pedigree File: ',t30,a)", ped);
      out("(' Prior degrees of belief:',t30,i12)", M.dbelief_g(e));
      break;
    case model::RandomType::par_domin: out("(' Pedigree File: ',t30,a)", ped); break;
    case model::RandomType::add_an_ms:
      out("(' Prior degrees of belief:',t30,i12)", M.dbelief_g(e));
      out("(' Pedigree File: ',t30,a)", ped);
      out("(' Number of Animals: ',t30,i12)", M.lenped(e));
      out("(' Number of groups: ',t30,i12)", M.ngrp(e));
      multiple_sires_lines();
      break;
    case model::RandomType::add_an_mb:
    case model::RandomType::diag_mb:
      out("(' Metropolis steps within round:',t30,i8)", M.mb_nround);
      out("(' Cycles to adjust metropolis variance during burn-in:',t30,i8)", M.mb_skip);
      out("(' Prior degrees of belief:',t30,i12)", M.dbelief_g(e));
      out("(' Pedigree File: ',t30,a)", ped);
      out("(' Number of Animals: ',t30,i12)", M.lenped(e));
      out("(' Number of breeds: ',t30,i12)", M.nbreed(e));
      out("(' Number of groups: ',t30,i12)", M.ngrp(e));
      if (model::multiple_sires_section(rt)) multiple_sires_lines();
      break;
    case model::RandomType::none: break;
  }

  const int m = M.ntrait * n;
  const bool mb = model::multiple_breed(rt);
  const int nb = mb ? M.nbreed(e) : 1;
  // (The reader leaves no multiple-breed group an absent effect.)
  std::vector<bool> absent(static_cast<std::size_t>(m) + 1, false);
  int mp = m;
  if (mb) {
    repair_breed_blocks(e, m, nb);
  } else {
    int rows[model::maxcorr];
    mp = model::present_rows(e, rows);
    repair_present_rows(e, m, rows, mp);
    absent.assign(absent.size(), true);
    for (int k = 0; k < mp; ++k) absent[static_cast<std::size_t>(rows[k])] = false;
  }

  util::FmtArgs row;
  if (mb) {
    util::say_text(" breeds  trait   effect    (CO)VARIANCES");
    for (int b1 = 1; b1 <= nb; ++b1)
      for (int b2 = b1; b2 <= nb; ++b2)
        for (int k = 1; k <= n; ++k)
          for (int t = 1; t <= M.ntrait; ++t) {
            const int r = (b1 - 1) * m + (k - 1) * M.ntrait + t;
            row.clear();
            row.add(b1).add(b2).add(t).add(e + k - 1);
            for (int c = (b2 - 1) * m + 1; c <= b2 * m; ++c) row.add(M.g(e, r, c));
            out_args("(1x,i3,i3,2x,i4,i8,2x,20g12.5)", row);
          }
  } else {
    util::say_text(" trait   effect    (CO)VARIANCES");
    for (int k = 1; k <= n; ++k)
      for (int t = 1; t <= M.ntrait; ++t) {
        const int r = (k - 1) * M.ntrait + t;
        row.clear();
        row.add(t).add(e + k - 1);
        for (int c = 1; c <= m; ++c) row.add(M.g(e, r, c));
        out_args("(i3,i8,2x,20g12.5)", row);
      }
  }
  const std::string what = "G of random effect " + std::to_string(e) + ":";
  if (mp < m) {
    std::string list;
    for (int i = 1; i <= m; ++i)
      if (absent[static_cast<std::size_t>(i)])
        list += " " + std::to_string(i) + " (effect " + std::to_string(e + (i - 1) / M.ntrait) +
                ", trait " + std::to_string((i - 1) % M.ntrait + 1) + ")";
    util::say_text(" " + what +
                   " rows and columns of effects absent for a trait (data column 0) are 0 for the"
                   " whole chain (no such effect: not sampled, not in \"varcompsam\"):" + list);
  }
  // (The absent rows' zeros have their own line.)
  zero_pattern(what, mb ? m * M.nbreed(e) : m, mb ? m : 0,
               [&M, e, &absent, mb](int i, int j) {
                 return !mb && (absent[static_cast<std::size_t>(i)] || absent[static_cast<std::size_t>(j)])
                            ? 1.0
                            : M.g(e, i, j);
               },
               [&M, e](int i, int j) { return model::sampled_element(M.g, e, i, j); },
               mb ? m * M.nbreed(e) : mp);
}

}  // namespace

void print_parameters(std::string_view title) {
  const model::Model& M = model::m;
  chain_and_data(title);
  effect_table();
  residual_model();
  for (int e = 1; e <= M.neff; ++e)
    if (M.randomnumb(e) != 0) random_group(e);

  out("(/' REMARKS')");
  util::say(" (1) Weight position 0 means no weights utilized");
  util::say(" (2) Effect positions of 0 for some effects and traits means that such");
  util::say("     effects are missing for specified traits");
  util::say();
}

}  // namespace run
