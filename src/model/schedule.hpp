// The chain's schedule, from the model description: which cycles are kept
// for the posterior summaries, in which the Metropolis-Hastings proposals
// are tuned, and which acceptance probabilities an acceptance sum holds
// after a cycle (the rates a store writes and a restart reads back).
#pragma once

namespace model {

// A kept cycle: past burn-in and a multiple of the thinning interval.  Its
// samples enter the posterior sums and the per-record log-likelihoods.
bool kept_cycle(int round);
// Samples in the running sums after cycle `round`: the cycles past nburn
// that are multiples of skip, (round div skip) - (nburn div skip).  It is 0
// or negative during burn-in.
int kept_count(int round);

// True while the proposals are tuned: round at most half of nburn, in single
// precision.
bool tuning_cycle(int round, int nburn);
// The last cycle up to `round` in which proposals are tuned (0: none).
int last_tuning_cycle(int round);
// Cycles whose acceptance an acceptance sum holds after cycle `round`, for
// a proposal tuned every `window` cycles (0: never): while tuning, those
// since the last tuning step; after it, those the last window left open at
// the end of tuning and, from then on, every cycle (every_cycle) or the kept
// ones.
int summed_cycles(int round, int window, bool every_cycle);

// How the proposal of a Metropolis-Hastings step is tuned, and which
// acceptance probabilities its acceptance sum holds.
struct Tuning {
  int window = 0;            // cycles of a tuning window (0: never tuned)
  int floor = 0;             // least degrees of belief the tuning leaves
  int raised_at = 0;         // degrees of belief at or below it start at the floor
  bool every_cycle = false;  // past tuning every cycle adds to the sum, not only a kept one
  int rounds = 1;            // probabilities a cycle adds
};
// The breed pairs of the multiple-breed group at effect e; the degrees of
// belief of a covariable structural effect; the proposal variances of the
// shape of a random structural effect, of the Student-t shape and of the
// covariates of an unknown covariable.
Tuning mb_tuning(int e);
Tuning structural_tuning();
Tuning structural_alpha_tuning();
Tuning robust_alpha_tuning();
Tuning covariate_tuning();
// The proposal is tuned in cycle `round`: the steps tune it then, and the
// sample file gets its tuned setting.
bool tuned_now(const Tuning& t, int round);
// The acceptance rate a store after cycle `round` writes for a sum: the sum
// over the probabilities it holds, 0 when it holds none; so a rate lies in
// [0, 1] in burn-in and after it.  And the sum back from a rate.
double acceptance_rate(double sum, const Tuning& t, int round);
double acceptance_sum(double rate, const Tuning& t, int round);
// The probabilities an acceptance sum holds after cycle `round`, and the
// rate of a sum from them: for many sums of one proposal.
double acceptance_held(const Tuning& t, int round);
double acceptance_rate(double sum, double held);

}  // namespace model
