// Benchmark driver: runs the program exactly as velmoran does (parameter
// file name on standard input, output files in the working directory), with
// the cycles timed phase by phase and every heap allocation counted, and
// writes one result file of "key value" lines:
//
//   records, equations, coefficients (filled slots of XX after the first
//   cycle), table_slots, cycles, first_cycle (seconds), build, blocks,
//   dispersion (seconds per cycle over the cycles after the first),
//   allocs_after_first (allocations in the cycles after the first),
//   peak_kb (largest resident set), reference_search (seconds of one more
//   search for the location parameters the records cannot tell apart, run
//   after the first cycle outside the timed cycles).
//
//   velmoran_bench RESULT-FILE < name-of-parameter-file
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "model/model.hpp"
#include "model/state.hpp"
#include "run/cycle.hpp"
#include "sampler/references.hpp"
#include "util/stop.hpp"

namespace run {
int velmoran_main(CycleTimes* times);
}

// ---- counting allocator ----------------------------------------------------

namespace {
long long allocations = 0;

void* counted(std::size_t n) {
  ++allocations;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* counted_aligned(std::size_t n, std::align_val_t a) {
  ++allocations;
  const std::size_t al = static_cast<std::size_t>(a);
  if (void* p = std::aligned_alloc(al, (n + al - 1) / al * al)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return counted(n); }
void* operator new[](std::size_t n) { return counted(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  ++allocations;
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  ++allocations;
  return std::malloc(n == 0 ? 1 : n);
}
void* operator new(std::size_t n, std::align_val_t a) { return counted_aligned(n, a); }
void* operator new[](std::size_t n, std::align_val_t a) { return counted_aligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }

// ---- per-cycle record ------------------------------------------------------

namespace {

struct Tally {
  int cycles = 0;
  double first_cycle = 0;
  double build = 0, blocks = 0, dispersion = 0;  // sums over the cycles after the first
  long long allocs_at_first = 0, allocs_at_last = 0;
  long long records = 0, equations = 0, coefficients = 0, table_slots = 0;
  double reference_search = 0;
  int references = 0;
};

void after_cycle(const model::State& s, const run::CycleTimes& t, void* user) {
  Tally& y = *static_cast<Tally*>(user);
  ++y.cycles;
  // Each cycle's times, for a look at how they spread (the run's stderr file).
  std::fprintf(stderr, "cycle %d build %.6f blocks %.6f dispersion %.6f\n", y.cycles, t.build,
               t.blocks, t.dispersion);
  if (y.cycles == 1) {
    y.first_cycle = t.build + t.blocks + t.dispersion;
    y.allocs_at_first = allocations;
    y.records = model::m.nrec;
    y.equations = s.neq;
    y.coefficients = s.XX.filled;
    y.table_slots = s.XX.nel;
    // The search the first cycle ran, once more on the data it read.
    const auto t0 = std::chrono::steady_clock::now();
    const int irec = s.irec;
    auto& st = const_cast<model::State&>(s);
    y.references = static_cast<int>(sampler::find_references(st).size());
    st.irec = irec;
    y.reference_search = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    y.allocs_at_first = allocations;
  } else {
    y.build += t.build;
    y.blocks += t.blocks;
    y.dispersion += t.dispersion;
  }
  y.allocs_at_last = allocations;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmoran_bench RESULT-FILE < name-of-parameter-file\n");
    return 2;
  }
  Tally tally;
  run::CycleTimes times;
  times.after_cycle = after_cycle;
  times.user = &tally;
  try {
    run::velmoran_main(&times);
  } catch (const util::Stop& s) {
    util::report_stop(s);
    return 1;
  }

  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  std::FILE* f = std::fopen(argv[1], "w");
  if (!f) {
    std::perror(argv[1]);
    return 2;
  }
  const int rest = tally.cycles > 1 ? tally.cycles - 1 : 1;
  std::fprintf(f, "records %lld\nequations %lld\ncoefficients %lld\ntable_slots %lld\n",
               tally.records, tally.equations, tally.coefficients, tally.table_slots);
  std::fprintf(f, "cycles %d\nfirst_cycle %.6f\n", tally.cycles, tally.first_cycle);
  std::fprintf(f, "build %.6f\nblocks %.6f\ndispersion %.6f\n", tally.build / rest,
               tally.blocks / rest, tally.dispersion / rest);
  std::fprintf(f, "allocs_after_first %lld\npeak_kb %ld\n",
               tally.allocs_at_last - tally.allocs_at_first, ru.ru_maxrss);
  std::fprintf(f, "reference_search %.6f\nreferences %d\n", tally.reference_search, tally.references);
  std::fclose(f);
  return 0;
}
