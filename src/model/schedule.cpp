#include "model/schedule.hpp"

#include <algorithm>
#include <climits>

#include "model/model.hpp"

namespace model {

bool kept_cycle(int round) { return round > m.nburn && round % m.skip == 0; }

int kept_count(int round) { return round / m.skip - m.nburn / m.skip; }

bool tuning_cycle(int round, int nburn) {
  return static_cast<float>(round) <= 0.5f * static_cast<float>(nburn);
}

int last_tuning_cycle(int round) {
  // Tuned cycles run from cycle 1; single precision takes them at most a
  // few hundred past half of burn-in.
  int t = static_cast<int>(std::min<long long>({round, m.nburn / 2 + 256LL, INT_MAX - 1LL}));
  while (t > 0 && !tuning_cycle(t, m.nburn)) --t;
  return std::max(t, 0);
}

int summed_cycles(int round, int window, bool every_cycle) {
  const int t = window > 0 ? last_tuning_cycle(round) : 0;
  const int open = window > 0 ? t % window : 0;
  return open + (every_cycle ? round - t : std::max(kept_count(round), 0));
}

Tuning mb_tuning(int e) {
  // Raised to the floor before the first cycle when too small to propose.
  const int d = m.ntrait * m.randomnumb(e);
  return {m.mb_nround > 0 ? m.mb_skip : 0, d + 4, d + 1};
}
Tuning structural_tuning() { return {m.r_nround > 0 ? m.r_skip : 0, 6}; }
Tuning structural_alpha_tuning() { return {m.r_nround > 0 ? 10 : 0}; }
Tuning robust_alpha_tuning() { return {10}; }
bool tuned_now(const Tuning& t, int round) {
  return t.window > 0 && tuning_cycle(round, m.nburn) && round % t.window == 0;
}

// Every round of every cycle adds, tuned or not.
Tuning covariate_tuning() { return {std::max(m.r_skip, 0), 0, 0, true, std::max(m.r_nround, 0)}; }

double acceptance_held(const Tuning& t, int round) {
  return static_cast<double>(summed_cycles(round, t.window, t.every_cycle)) * t.rounds;
}

double acceptance_rate(double sum, double held) { return held > 0 ? sum / held : 0.0; }

double acceptance_rate(double sum, const Tuning& t, int round) {
  return acceptance_rate(sum, acceptance_held(t, round));
}

double acceptance_sum(double rate, const Tuning& t, int round) {
  return rate * acceptance_held(t, round);
}

}  // namespace model
