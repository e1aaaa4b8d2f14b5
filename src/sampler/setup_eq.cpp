#include "sampler/setup_eq.hpp"

#include <algorithm>
#include <span>
#include <string>

#include "run/model.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sparse/sparsem.hpp"
#include "util/clock.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

constexpr int max_traits = 20;

// Slot table of the record in the cursor: slot outer, trait inner.
void print_slots(const run::State& s) {
  const RecordCursor& c = cursor;
  util::say("    trait    eff    addr    weight");
  for (int i = 1; i <= c.nslot_max; ++i)
    for (int t = 1; t <= m.ntrait; ++t) {
      if (i > c.naddr_t(t)) continue;
      util::say_text(util::formatv("(1x,3i8,f9.1)", t, i, s.ADDRESS(i, t), s.WEIGHT_COV(i, t)));
    }
}

[[noreturn]] void not_built(int rt, int e) {
  util::fatal(util::freev("random type", rt, "of effect", e, "is not available in this build"));
}

}  // namespace

namespace {

// Additions to the coefficient matrix wait in a queue a few entries behind
// their prefetch, across records, so that the loads of their table slots
// overlap.  The order of the additions is kept.
constexpr std::size_t ahead = 32;

// Appends the record's XX additions to the queue and adds its RHS terms.
void queue_record_terms(run::State& s) {
  RecordCursor& c = cursor;
  const int nt = m.ntrait;
  const long ld = s.ADDRESS.rows();
  const int* addr = s.ADDRESS.data();
  const float* x = s.WEIGHT_COV.data();
  const double w = s.rec_weight;
  const double* ri = m.rinv.data();
  const float* y = s.Y.data();
  double* xy = s.XY.data() - 1;

  const int nmax = c.nslot_max;
  const int* cnt = c.naddr_t.data();
  bool uniform = true;
  for (int t = 0; t < nt; ++t) uniform = uniform && cnt[t] == nmax;

  RecordCursor::TermQueue& q = c.queue;
  const std::size_t most = static_cast<std::size_t>(nmax) * nmax * nt * nt;
  if (q.tail + most > q.t.size()) {
    // Move the waiting entries to the front; grow only when they cannot fit.
    std::copy(q.t.begin() + static_cast<long>(q.head), q.t.begin() + static_cast<long>(q.tail),
              q.t.begin());
    q.tail -= q.head;
    q.head = 0;
    if (q.tail + most > q.t.size()) q.t.resize(std::max(2 * q.t.size(), q.tail + most + 4096));
  }
  RecordCursor::Term* term = q.t.data();
  std::size_t nk = q.tail;
  for (int i = 0; i < nmax; ++i)
    for (int j = 0; j < nmax; ++j)
      for (int t1 = 0; t1 < nt; ++t1) {
        if (!uniform && i >= cnt[t1]) continue;
        const int a1 = addr[i + t1 * ld];
        const float x1 = x[i + t1 * ld];
        const double* rcol = ri + t1;
        for (int t2 = 0; t2 < nt; ++t2) {
          if (!uniform && j >= cnt[t2]) continue;
          // The product of the two multipliers is a 32-bit value.
          const float p = x1 * x[j + t2 * ld];
          term[nk++] = {a1, addr[j + t2 * ld], static_cast<double>(p) * w * rcol[t2 * nt]};
        }
      }
  q.tail = nk;

  // R^-1 y of the record, the same for every slot.
  double ry[max_traits];
  for (int t1 = 0; t1 < nt; ++t1) {
    double sum = 0.0;
    for (int t2 = 0; t2 < nt; ++t2) sum += ri[t1 + t2 * nt] * static_cast<double>(y[t2]);
    ry[t1] = sum;
  }
  for (int i = 0; i < nmax; ++i)
    for (int t1 = 0; t1 < nt; ++t1) {
      if (!uniform && i >= cnt[t1]) continue;
      xy[addr[i + t1 * ld]] += static_cast<double>(x[i + t1 * ld]) * w * ry[t1];
    }
}

// Adds the queued entries until at most keep wait.
void drain(run::State& s, std::size_t keep) {
  RecordCursor::TermQueue& q = cursor.queue;
  sparsem::sparse_hashm& XX = s.XX;
  const RecordCursor::Term* term = q.t.data();
  std::size_t k = q.head;
  const std::size_t tail = q.tail, stop = tail > keep ? tail - keep : 0;
  for (; k < stop; ++k) {
    const std::size_t f = k + ahead;
    if (f < tail && term[f].row <= term[f].col)
      sparsem::prefetch_sparse_hashm(term[f].row, term[f].col, XX);
    sparsem::add_sparse_hashm(term[k].v, term[k].row, term[k].col, XX);
  }
  q.head = k;
  if (q.head == q.tail) q.head = q.tail = 0;
}

}  // namespace

void add_record_terms(run::State& s) {
  queue_record_terms(s);
  drain(s, 0);
}

void add_random_terms(run::State& s) {
  for (int e = 1; e <= m.neff; ++e) {
    const int rt = m.randomtype(e);
    switch (rt) {
      case model::rnd_none:
        break;
      case model::rnd_diagonal:
        add_g_diag(s, e);
        break;
      case model::rnd_add_animal:
      case model::rnd_add_an_upg:
      case model::rnd_add_an_upgi:
      case model::rnd_add_sire:
        // The pedigrees are in memory: nothing to rewind.
        add_g_add(s, rt, e);
        break;
      case model::rnd_add_an_ms:
        not_built(rt, e);
      case model::rnd_add_an_mb:
      case model::rnd_diag_mb:
        if (m.max_msires != 0 || m.nbreed(e) != 1) not_built(rt, e);
        add_g_add(s, model::rnd_add_animal, e);
        break;
      default:
        util::say("unimplemented random type", rt);
        break;
    }
  }
}

void setup_eq(run::State& s) {
  const bool first = m.round == m.start;
  if (first) prepare_records(s);
  // Nothing waits from a build that a stop interrupted.
  cursor.queue.head = cursor.queue.tail = 0;

  for (int irec = 1; irec <= m.nrec; ++irec) {
    s.irec = irec;
    if (first) read_data_record(s);
    decode_record(s);
    find_addresses(s);
    decode_r(s);
    predict_missing_y(s);
    if (first && irec < 10) print_slots(s);
    queue_record_terms(s);
    drain(s, ahead);
  }
  drain(s, 0);
  s.irec = m.nrec + 1;

  if (first) {
    s.cpu_now = util::cpu_seconds();
    util::say("read ", m.nrec, " records in ", s.cpu_now - s.cpu_start, " s,  ", s.XX.filled,
              " nonzeroes");
  }

  add_random_terms(s);

  if (first) {
    s.cpu_now = util::cpu_seconds();
    util::say("finished peds in ", s.cpu_now - s.cpu_start, " s,  ", s.XX.filled, " nonzeroes");
    if (s.neq <= 20) {
      util::say("left hand side");
      sparsem::print_sparse_hashm(s.XX);
      util::say_text(util::format(
          "(' right hand side:',(/10f8.2))",
          util::FmtArgs().add(std::span<const double>(s.XY.data(), static_cast<std::size_t>(s.neq)))));
    }
  }
}

}  // namespace sampler
