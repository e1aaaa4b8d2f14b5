#include "sampler/setup_eq.hpp"

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>

#include "model/model.hpp"
#include "sampler/candidate_sires.hpp"
#include "sampler/covariable_spread.hpp"
#include "sampler/eq_plan.hpp"
#include "sampler/multibreed.hpp"
#include "sampler/record_terms.hpp"
#include "sampler/records.hpp"
#include "sampler/relationship.hpp"
#include "sampler/workspace.hpp"
#include "sparse/sparsem.hpp"
#include "util/clock.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

namespace {

using model::m;

// Slot table of the record in the cursor: slot outer, trait inner.
void print_slots(const model::State& s) {
  const RecordCursor& c = workspace(s).cursor;
  util::say("    trait    eff    addr    weight");
  for (int i = 1; i <= c.nslot_max; ++i)
    for (int t = 1; t <= m.ntrait; ++t) {
      if (i > c.naddr_t(t)) continue;
      util::say_text(util::formatv("(1x,3i8,f9.1)", t, i, s.ADDRESS(i, t), s.WEIGHT_COV(i, t)));
    }
}

// Additions to the coefficient matrix wait in a queue a few entries behind
// their prefetch, across records, so that the loads of their table slots
// overlap.  The order of the additions is kept.
constexpr std::size_t ahead = 32;

// Appends the record's XX additions to the queue and adds its RHS terms.
void queue_record_terms(model::State& s) {
  RecordCursor& c = workspace(s).cursor;
  RecordCursor::TermQueue& q = c.queue;
  const std::size_t nmax = static_cast<std::size_t>(c.nslot_max);
  const std::size_t nt = static_cast<std::size_t>(m.ntrait);
  const std::size_t most = nmax * nmax * nt * nt;
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
  SlotView view;
  view_of_cursor(s, view);
  record_terms(s, view, [&](int row, int col, double v) { term[nk++] = {row, col, v}; });
  q.tail = nk;
}

// Adds the queued entries until at most keep wait.
void drain(model::State& s, std::size_t keep) {
  RecordCursor::TermQueue& q = workspace(s).cursor.queue;
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

bool known_group_type(model::RandomType rt) {
  switch (rt) {
    case model::RandomType::diagonal:
    case model::RandomType::add_animal:
    case model::RandomType::add_an_upg:
    case model::RandomType::add_an_upgi:
    case model::RandomType::add_sire:
    case model::RandomType::add_an_ms:
    case model::RandomType::add_an_mb:
    case model::RandomType::diag_mb: return true;
    default:
      return false;
  }
}

// The terms of the group at e into XX.
void add_group_through_table(model::State& s, int e, RelationshipTerms& terms) {
  const model::RandomType rt = model::build_type(e);
  switch (rt) {
    case model::RandomType::diagonal: add_g_diag(s, e, terms); break;
    case model::RandomType::add_animal:
    case model::RandomType::add_an_upg:
    case model::RandomType::add_an_upgi:
    case model::RandomType::add_sire:
      // The pedigrees are in memory: nothing to rewind.
      add_g_add(s, rt, e, terms);
      break;
    // Its sires drawn and A^-1 made (update_ainv) before.
    case model::RandomType::add_an_ms: add_ainv_terms(s, e, terms); break;
    default: {  // multiple breeds
      const int d = m.ntrait * m.randomnumb(e);
      if (m.max_msires != 0)
        add_g_mbs(s, e, model::max_candidates, d);
      else
        add_g_mb(s, e, model::max_candidates, d);
      break;
    }
  }
}

// The random groups' terms, straight into XX_IJA while direct holds and
// each group can; through XX from the first group that cannot.
void add_random_terms(model::State& s, bool& direct,
                      const std::function<bool(int)>* only = nullptr) {
  RelationshipTerms& terms = relationship_terms(s);
  EquationPlan& plan = workspace(s).plan;
  for (int e = 1; e <= m.neff; ++e) {
    if (only && !(*only)(e)) continue;
    const model::RandomType rt = m.randomtype(e);
    if (rt == model::RandomType::none) continue;
    if (!known_group_type(rt))
      util::internal_error("unimplemented random type " + std::to_string(static_cast<int>(rt)));
    // Sires drawn first: A^-1 may change.
    const bool drawn_sires = rt == model::RandomType::add_an_ms;
    if (drawn_sires) update_ainv(s, e, model::max_candidates);
    bool done = false;
    if (direct) {
      done = plan.add_group(s, e, terms);
      if (!done) {
        plan.leave(s);
        direct = false;
      }
    }
    if (!done) add_group_through_table(s, e, terms);
    if (drawn_sires) finish_aav(s, e);
  }
}

}  // namespace

void add_random_terms(model::State& s, const std::function<bool(int)>& only) {
  bool direct = false;
  add_random_terms(s, direct, &only);
}

void setup_eq(model::State& s) {
  const bool first = m.round == m.start;
  if (first) prepare_records(s);
  Workspace& w = workspace(s);
  // Nothing waits from a build that a stop interrupted.
  w.cursor.queue.head = w.cursor.queue.tail = 0;

  EquationPlan& plan = w.plan;
  const Route route = plan.begin(s, first);
  // On a planned route until a record or a group leaves the plan.
  bool direct = route != Route::through_table;

  if (route == Route::planned_loaded) {
    plan.add_loaded_records(s);
  } else {
    const long pass = new_pass(s);
    for (int irec = 1; irec <= m.nrec; ++irec) {
      s.irec = irec;
      if (first) read_data_record(s);
      decode_record(s);
      find_addresses(s);
      decode_r(s, pass);
      predict_missing_y(s);
      if (first && irec < 10) print_slots(s);
      if (direct) {
        if (plan.add_record(s)) continue;
        plan.leave(s);
        direct = false;
      }
      if (route == Route::through_table) keep_slots(s);
      queue_record_terms(s);
      drain(s, ahead);
    }
    drain(s, 0);
  }
  s.irec = m.nrec + 1;

  if (first) {
    warn_far_covariables(s);
    s.cpu_now = util::cpu_seconds();
    util::say("read ", m.nrec, " records in ", s.cpu_now - s.cpu_start, " s,  ", s.XX.filled,
              " nonzeroes");
  }

  add_random_terms(s, direct);
  plan.end(route, direct);

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