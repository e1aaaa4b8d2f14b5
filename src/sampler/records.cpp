#include "sampler/records.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <string>
#include <utility>

#include "dense/denseop.hpp"
#include "model/model.hpp"
#include "random/prob.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace sampler {

bool allow_kept_slots = true;

namespace {

using model::m;


// Value of a data field as the messages show it.
std::string shown(float v) { return util::freev(v).substr(1); }

// Where a data value stands: the record, and with its line the file too
// (records checked after they were read have no line).
std::string data_where(const model::State& s, int irec, long line) {
  if (line <= 0) return " Error in data record " + std::to_string(irec);
  return " Error in data file " + workspace(s).cursor.datafile.name() + ", line " + std::to_string(line) +
         " (record " + std::to_string(irec) + ")";
}

constexpr const char* all_missing = "All traits are missing; eliminate such records!";

[[noreturn]] void refuse(const model::State& s, int irec, long line, const std::string& what) {
  util::fatal(data_where(s, irec, line) + ": " + what);
}

[[noreturn]] void refuse(const model::State& s, int irec, long line, int e, int t, const std::string& what) {
  util::fatal(data_where(s, irec, line) + ", effect " + std::to_string(e) + ", trait " +
              std::to_string(t) + ": " + what);
}

// True when v, truncated toward zero, is a level 1..n.
bool level_in(double v, int n) { return v >= 1.0 && v < static_cast<double>(n) + 1.0; }

// What a decimal comma does to a line whose fields are separated by blanks.
constexpr const char* comma_splits =
    "a decimal comma splits a number in two (325,6 is read as 325 and 6) and shifts the columns after it";
constexpr const char* comma_splits_which =
    "a decimal comma, which splits a number in two (325,6 is read as 325 and 6) and shifts the columns after"
    " it,";

// Said beside a level refused on a line that holds a number with a decimal
// comma: the comma has most likely moved a trait's digits into the level's
// column.
std::string comma_cause(const model::State& s, long line) {
  const std::string_view w = workspace(s).cursor.tally.comma_word;
  if (line <= 0 || w.empty()) return "";
  return "; the line holds " + util::shown(w) + ", and " + comma_splits_which +
         " is the likely cause: write decimals with a point";
}

// A level must name one of the n levels exactly: a fraction would be cut to
// a level silently.
void check_level(const model::State& s, int irec, long line, int e, int t, const char* what, float v, int n) {
  if (!level_in(v, n))
    refuse(s, irec, line, e, t,
           std::string(what) + " " + shown(v) + " is not within 1 to " + std::to_string(n) +
               (v >= static_cast<double>(n) + 1.0 && v == std::trunc(v) ? model::recode_hint : "") +
               comma_cause(s, line));
  if (v != std::trunc(v))
    refuse(s, irec, line, e, t,
           std::string(what) + " " + shown(v) + " is not a whole number" + comma_cause(s, line));
  // Data are held as 32-bit reals: from 2^24 on, neighbouring levels read
  // alike (16777217 arrives as 16777216), so none of them is trusted.
  if (v >= 16777216.0f)
    refuse(s, irec, line, e, t,
           std::string(what) + " " + shown(v) +
               " (as a 32-bit real) is 16777216 or more; data hold levels exactly only up to 16777215");
}

// Equation of effect e, level l, trait t from the prepared bases.
inline int eq(const RecordCursor& c, int e, int l, int t) {
  return static_cast<int>(c.eq_base(e) + static_cast<long long>(l - 1) * c.ntrait + t);
}

[[noreturn]] void too_many_slots(const model::State& s, int t) {
  util::fatal(util::freev("record", s.irec, "trait", t, "has more than",
                          m.neff + model::extra_slots, "design slots"));
}

}  // namespace

// ---------------------------------------------------------------------------

void prepare_records(const model::State& s) {
  (void)s;
  RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait, nf = m.neff;
  if (nt > max_traits)
    util::internal_error("at most " + std::to_string(max_traits) + " traits are possible, not " +
                         std::to_string(nt));
  c.ntrait = nt;
  c.neff = nf;
  c.naddr_t.resize(nt);
  c.nslot_max = 0;
  c.SLOT_EFF.resize(nf + model::extra_slots, nt);
  c.EFF_SLOT.resize(nf, nt);
  c.rn_pending.resize(nf);

  c.eq_base.resize(nf);
  long long levels = 0;
  for (int e = 1; e <= nf; ++e) {
    c.eq_base(e) = levels * nt;
    levels += m.nlev(e);
  }

  // The unknown covariable of each reaction norm: the first "unk" effect on
  // the same data column of the trait.
  c.has_rno = false;
  c.unk_of_rno.resize(static_cast<long>(nf) * nt);
  c.unk_of_rno.fill(0);
  for (int e = 1; e <= nf; ++e) {
    if (m.effecttype(e) != model::EffectType::rno) continue;
    c.has_rno = true;
    for (int t = 1; t <= nt; ++t) {
      if (m.pos_eff(e, t) == m.miss) continue;
      if (m.nestedcov(e, t) <= 0)
        util::fatal(util::freev("reaction-norm effect", e, "has no level column for trait", t));
      for (int k = 1; k <= nf; ++k)
        if (m.effecttype(k) == model::EffectType::unk && m.pos_eff(k, t) == m.pos_eff(e, t)) {
          c.unk_of_rno((t - 1) * nf + e) = k;
          break;
        }
    }
  }

  // The Mendelian term of a reduced animal model.
  c.e8 = model::reduced_animal_group();
  if (c.e8 > 0 && m.pos_eff(c.e8, 1) == 0)
    util::internal_error("the animal effect " + std::to_string(c.e8) +
                         " of the add_an_ms group must be present for trait 1");

  c.scale_free = m.neffr == 0 && !model::robust_residuals();
  c.rinv_constant = c.scale_free && c.e8 == 0;
  c.ram_trait.resize(nt);
  for (int t = 1; t <= nt; ++t) c.ram_trait(t) = c.e8 > 0 && m.pos_eff(c.e8, t) != 0 ? 1 : 0;
  c.nonparent = 0;
  c.record_cov.resize(static_cast<long>(nt) * nt);
  for (RecordCursor::MendelianMemo& x : c.mendelian_memo) x.valid = false;
  c.memo_rg.clear();
  c.mendelian_next = 0;
  bool fixed = m.neffr == 0;
  for (int e = 1; e <= nf; ++e) {
    const model::EffectType et = m.effecttype(e);
    if (et == model::EffectType::unk || et == model::EffectType::rno) fixed = false;
    if (et == model::EffectType::ram && m.max_msires > 0) fixed = false;
  }
  c.slots_fixed = fixed && allow_kept_slots;
  c.stream = SlotStream{};
  c.mult_col.resize(static_cast<long>(nf) * nt);
  c.slot_x.resize(static_cast<long>(nf) * nt);
  for (int t = 1; t <= nt; ++t)
    for (int e = 1; e <= nf; ++e)
      c.mult_col((t - 1) * nf + e) =
          m.effecttype(e) == model::EffectType::cov ? m.pos_eff(e, t) : 0;
  c.rinv_cached = false;
  c.rows_known = false;
  c.queue.head = c.queue.tail = 0;
  c.cached_r.resize(nt * nt);
  c.cached_rinv.resize(nt * nt);
}

void open_data_file(const model::State& s, const std::string& name) { workspace(s).cursor.datafile = util::TextIn(name); }

int address1(int eff, int level, int trait) {
  long long before = 0;
  for (int e = 1; e < eff; ++e) before += m.nlev(e);
  return static_cast<int>((before + level - 1) * m.ntrait + trait);
}

// ---------------------------------------------------------------------------

void find_addresses(model::State& s) {
  RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait, nf = m.neff, ld = nf + model::extra_slots;
  if (c.ntrait != nt || c.neff != nf || c.SLOT_EFF.rows() != ld) prepare_records(s);
  const int irec = s.irec;
  const float missv = static_cast<float>(m.miss);

  // Rows beyond a trait's slots read 0: those the last record used are
  // cleared after this one's are set.
  if (!c.rows_known) {
    std::fill(s.WEIGHT_COV.data(), s.WEIGHT_COV.data() + static_cast<long>(ld) * nt, 0.0f);
    c.used_rows = 0;
  }
  c.rows_known = false;  // until this record's rows are all known
  c.nonparent = 0;       // until decode_r finds otherwise
  int nmax = 0, n = 0;
  for (int t = 1; t <= nt; ++t) {
    int* addr = s.ADDRESS.col(t);
    float* wc = s.WEIGHT_COV.col(t);
    int* own = c.SLOT_EFF.col(t);
    int* first = c.EFF_SLOT.col(t);
    if (c.has_rno) std::fill(c.rn_pending.data(), c.rn_pending.data() + nf, 0.0f);
    n = 0;
    // Slot n+1 of effect e; the caller checks the room for it.
    auto add = [&](int e, int a, float x) {
      if (n >= ld) too_many_slots(s, t);
      addr[n] = a;
      wc[n] = x;
      own[n] = e;
      ++n;
    };
    for (int e = 1; e <= nf; ++e) {
      const int col = m.pos_eff(e, t);
      const float v = col == m.miss ? missv : s.INDATA(irec, col);
      first[e - 1] = n + 1;
      if (v == missv) {
        add(-e, 1, 0.0f);
        continue;
      }
      const int level = static_cast<int>(v);
      switch (m.effecttype(e)) {
        case model::EffectType::cro: add(e, eq(c, e, level, t), 1.0f); break;
        case model::EffectType::cov: {
          const int nc = m.nestedcov(e, t);
          if (nc < 0) util::internal_error("wrong description of nested covariable");
          const int l = nc == 0 ? 1 : static_cast<int>(s.INDATA(irec, nc));
          add(e, eq(c, e, l, t), v);
          break;
        }
        case model::EffectType::ram: {
          if (level <= m.nlev(e)) {
            add(e, eq(c, e, level, t), 1.0f);
            break;
          }
          // An animal without an equation of its own: its known parents and
          // candidate sires stand in for it.
          const int p2 = s.PED(e, level, 2), p3 = s.PED(e, level, 3);
          const int start = n;
          if (p2 > 0) add(e, eq(c, e, p2, t), 0.5f);
          if (p3 > 0) add(e, eq(c, e, p3, t), 0.5f);
          if (p3 < 0) {
            const int p = s.P_MS(level);
            const int last = static_cast<int>(2.0 * s.MS(p));
            for (int j = 1; j <= last; j += 2) {
              const int sire = static_cast<int>(s.MS(p + j));
              add(e, eq(c, e, sire, t), static_cast<float>(0.5 * s.MS(p + j + 1)));
            }
          }
          if (n == start) first[e - 1] = 0;
          break;
        }
        case model::EffectType::unk: {
          // A reaction norm met earlier left its solution waiting here.
          const float pend = c.has_rno ? c.rn_pending(e) : 0.0f;
          add(e, eq(c, e, level, t), pend + 1.0f);
          break;
        }
        case model::EffectType::rno: {
          const int l = static_cast<int>(s.INDATA(irec, m.nestedcov(e, t)));
          const int k = c.unk_of_rno((t - 1) * nf + e);
          if (k == 0) util::internal_error("unknown covariable address not found");
          add(e, eq(c, e, l, t), static_cast<float>(s.SOL(eq(c, k, level, t))));
          const double b = s.SOL(eq(c, e, l, t));
          if (k < e) {
            float& x = wc[first[k - 1] - 1];
            x = static_cast<float>(static_cast<double>(x) + b);
          } else {
            float& x = c.rn_pending(k);
            x = static_cast<float>(static_cast<double>(x) + b);
          }
          break;
        }
        default:
          util::internal_error("unimplemented effect " + std::to_string(e));
      }
    }
    c.naddr_t(t) = n;
    nmax = std::max(nmax, n);
    if (n < c.used_rows) std::fill(wc + n, wc + c.used_rows, 0.0f);
  }
  c.used_rows = nmax;
  c.rows_known = true;
  s.naddr = n;
  c.nslot_max = nmax;
}

// ---------------------------------------------------------------------------

void clear_slots(const model::State& s) {
  RecordCursor& c = workspace(s).cursor;
  SlotStream& st = c.stream;
  ++st.generation;
  st.key.clear();
  st.derived.clear();
  st.mult.clear();
  st.records = 0;
  st.loadable = c.slots_fixed;
  // Room for one slot per effect and trait, the common design: growing by
  // doubling would hold two copies at once.
  const std::size_t slots = static_cast<std::size_t>(m.nrec) * m.ntrait * m.neff;
  st.key.reserve(slots + static_cast<std::size_t>(m.nrec) * m.ntrait);
  if (st.loadable) st.derived.reserve((static_cast<std::size_t>(m.nrec) + 63) / 64);
}

namespace {

// True when the multipliers of the record in the cursor are those that
// for_each_kept_record derives from its data.
bool multipliers_derived(const model::State& s) {
  const RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait, nf = m.neff;
  const long ld = s.WEIGHT_COV.rows();
  for (int t = 1; t <= nt; ++t) {
    if (c.naddr_t(t) != nf) return false;
    const int* own = c.SLOT_EFF.col(t);
    const float* wc = s.WEIGHT_COV.data() + (t - 1) * ld;
    for (int j = 0; j < nf; ++j) {
      if (own[j] != j + 1 && own[j] != -(j + 1)) return false;
      const int col = c.mult_col((t - 1) * nf + j + 1);
      const float want = own[j] < 0 ? 0.0f : col == 0 ? 1.0f : s.INDATA(s.irec, col);
      if (std::memcmp(&want, &wc[j], sizeof want) != 0) return false;
    }
  }
  return true;
}

}  // namespace

void keep_slots(const model::State& s) {
  const RecordCursor& c = workspace(s).cursor;
  SlotStream& st = workspace(s).cursor.stream;
  const int nt = m.ntrait;
  const long ld = s.ADDRESS.rows();
  for (int t = 0; t < nt; ++t) st.key.push_back(c.naddr_t(t + 1));
  for (int t = 0; t < nt; ++t) {
    const int* addr = s.ADDRESS.data() + t * ld;
    const int* own = c.SLOT_EFF.col(t + 1);
    for (int i = 0; i < c.naddr_t(t + 1); ++i) st.key.push_back(own[i] < 0 ? -addr[i] : addr[i]);
  }
  if (st.loadable) {
    const auto i = static_cast<std::size_t>(st.records);
    if (i % 64 == 0) st.derived.push_back(0);
    if (multipliers_derived(s)) {
      st.derived.back() |= std::uint64_t{1} << (i % 64);
    } else {
      for (int t = 0; t < nt; ++t) {
        const float* wc = s.WEIGHT_COV.data() + t * ld;
        st.mult.insert(st.mult.end(), wc, wc + c.naddr_t(t + 1));
      }
    }
  }
  ++st.records;
}

RecordSlots KeptRecords::at(const model::State& s, int irec) {
  RecordCursor& c = workspace(s).cursor;
  const SlotStream& st = c.stream;
  const int nt = c.ntrait;
  auto length = [&](std::size_t at) {
    int n = 0;
    for (int t = 0; t < nt; ++t) n += st.key[at + static_cast<std::size_t>(t)];
    return n;
  };
  for (; next_ < irec; ++next_) {
    const int n = length(key_at_);
    key_at_ += static_cast<std::size_t>(nt + n);
    if (!st.is_derived(next_)) mult_at_ += static_cast<std::size_t>(n);
  }
  const std::int32_t* cnt = st.key.data() + key_at_;
  const int n = length(key_at_);
  if (!st.is_derived(irec)) return RecordSlots{cnt, cnt + nt, st.mult.data() + mult_at_, n};
  float* x = c.slot_x.data();
  derive_multipliers(s, c, cnt + nt, n, x);
  return RecordSlots{cnt, cnt + nt, x, n};
}

bool slots_loadable(const model::State& s) {
  const RecordCursor& c = workspace(s).cursor;
  const SlotStream& st = c.stream;
  return c.slots_fixed && st.loadable && st.records == m.nrec &&
         c.ntrait == m.ntrait && c.neff == m.neff;
}

// ---------------------------------------------------------------------------

long new_pass(const model::State& s) { return ++workspace(s).cursor.passes; }

void rinv_of_r(const model::State& s, long pass) {
  RecordCursor& c = workspace(s).cursor;
  const int cells = m.ntrait * m.ntrait;
  double* ri = m.rinv.data();
  const double* r = m.r.data();
  // The inverse of 1.0 * r is reused while r and the pivot tolerance are
  // those it was formed from.  (Few cells: compared and copied in line.)
  if (c.rinv_cached && same_bits(c.cached_tol, denseop::denseop_tol)) {
    const double* cr = c.cached_r.data();
    int k = pass != 0 && c.r_pass == pass ? cells : 0;
    while (k < cells && same_bits(cr[k], r[k])) ++k;
    if (k == cells) {
      c.r_pass = pass;
      const double* cri = c.cached_rinv.data();
      for (k = 0; k < cells; ++k) ri[k] = cri[k];
      return;
    }
  }
  for (int i = 0; i < cells; ++i) ri[i] = 1.0 * r[i];
  int ierr = 0;
  denseop::invcs8(ri, m.ntrait, m.ntrait, nullptr, &ierr);
  // A failed inverse reports itself; keep it uncached so it does so again.
  c.rinv_cached = ierr == 0;
  if (c.rinv_cached) {
    c.cached_tol = denseop::denseop_tol;
    c.r_pass = pass;
    for (int k = 0; k < cells; ++k) {
      c.cached_r.data()[k] = r[k];
      c.cached_rinv.data()[k] = ri[k];
    }
  }
}

namespace {

// decode_r for a record of animal a, which has no equation, at scale sc.
// The Mendelian term belongs to the animal, not to its record: neither the
// weight nor the residual scale touches it.  The covariance is
// sc r / w + G / DINV, and rinv its inverse divided by w.
void nonparent_rinv(model::State& s, int a, double sc, long pass) {
  RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait, e8 = c.e8;
  const int cells = nt * nt;
  const double w = s.rec_weight, d = static_cast<double>(s.DINV(a));
  // What the inverse is formed from: sc r and the animal effect's block of
  // g, kept in memo_rg.  Most records find them as the last one left them.
  auto g_cell = [&](int i, int j) {
    return c.ram_trait(i) != 0 && c.ram_trait(j) != 0 ? m.g(e8, i, j) : 0.0;
  };
  bool same_rg = c.memo_rg.size() == 2 * static_cast<std::size_t>(cells);
  // (A scale other than 1 may differ from record to record.)
  if (same_rg && !(pass != 0 && c.rg_pass == pass && sc == 1.0)) {
    const double* rg = c.memo_rg.data();
    for (int j = 1; j <= nt && same_rg; ++j)
      for (int i = 1; i <= nt && same_rg; ++i) {
        const int k = (i - 1) + (j - 1) * nt;
        same_rg = same_bits(rg[k], sc * m.r(i, j)) && same_bits(rg[cells + k], g_cell(i, j));
      }
  }
  if (!same_rg) {
    // Another r or G: no inverse kept holds.
    c.memo_rg.resize(2 * static_cast<std::size_t>(cells));
    double* rg = c.memo_rg.data();
    for (int j = 1; j <= nt; ++j)
      for (int i = 1; i <= nt; ++i) {
        const int k = (i - 1) + (j - 1) * nt;
        rg[k] = sc * m.r(i, j);
        rg[cells + k] = g_cell(i, j);
      }
    for (RecordCursor::MendelianMemo& x : c.mendelian_memo) x.valid = false;
  }
  c.rg_pass = sc == 1.0 ? pass : 0;
  const double* rg = c.memo_rg.data();
  double* ri = m.rinv.data();
  double* cov = c.record_cov.data();
  c.memo_used = -1;
  for (int k = 0; k < RecordCursor::mendelian_memos; ++k) {
    const RecordCursor::MendelianMemo& x = c.mendelian_memo[k];
    if (x.valid && same_bits(x.w, w) && same_bits(x.d, d) && same_bits(x.tol, denseop::denseop_tol)) {
      for (int q = 0; q < cells; ++q) {
        ri[q] = x.rinv[static_cast<std::size_t>(q)];
        cov[q] = x.cov[static_cast<std::size_t>(q)];
      }
      c.memo_used = k;
      return;
    }
  }
  for (int k = 0; k < cells; ++k) {
    const double gd = rg[cells + k] / d;
    ri[k] = rg[k] + w * gd;
    cov[k] = rg[k] / w + gd;
  }
  int ierr = 0;
  denseop::invcs8(ri, nt, nt, nullptr, &ierr);
  // A failed inverse reports itself; keep it out so that it does so again.
  if (ierr != 0) return;
  c.memo_used = c.mendelian_next;
  RecordCursor::MendelianMemo& x = c.mendelian_memo[c.mendelian_next];
  c.mendelian_next = (c.mendelian_next + 1) % RecordCursor::mendelian_memos;
  x.valid = true;
  x.draw_ready = false;
  x.w = w;
  x.d = d;
  x.tol = denseop::denseop_tol;
  x.rinv.assign(ri, ri + cells);
  x.cov.assign(cov, cov + cells);
}

// Makes the record classes for the stream as it stands (its records all
// read).
void make_record_classes(const model::State& s) {
  RecordCursor& c = workspace(s).cursor;
  RecordCursor::RecordClasses& k = c.classes;
  const int e8 = c.e8, col = m.pos_eff(e8, 1), nl = m.nlev(e8);
  const SlotStream& st = c.stream;
  const int nt = m.ntrait;
  k.generation = st.generation;
  k.of_record.assign(static_cast<std::size_t>(m.nrec), -1);
  k.with_equation.clear();
  WeightDinvClasses class_of;
  std::size_t key_at = 0, mult_at = 0;
  for (int i = 1; i <= m.nrec; ++i) {
    const int a = static_cast<int>(s.INDATA(i, col));
    const std::size_t here = key_at, mult_here = mult_at;
    std::size_t n = 0;
    for (int t = 0; t < nt; ++t) n += static_cast<std::size_t>(st.key[key_at + static_cast<std::size_t>(t)]);
    key_at += static_cast<std::size_t>(nt) + n;
    if (!st.is_derived(i)) mult_at += n;
    if (a <= nl) {
      k.with_equation.push_back(
          KeptAt{i, static_cast<std::uint32_t>(here), static_cast<std::uint32_t>(mult_here)});
      continue;
    }
    k.of_record[static_cast<std::size_t>(i - 1)] = class_of.add(s, i, a).first;
  }
  const std::size_t n = class_of.size(), cells = static_cast<std::size_t>(m.ntrait) * m.ntrait;
  k.pass.assign(n, 0);
  k.memo.assign(n, -1);
  k.rinv.assign(n * cells, 0.0);
  k.cov.assign(n * cells, 0.0);
}

// True when the record classes serve the pass: asked once a pass.
bool classes_serve(const model::State& s, long pass) {
  RecordCursor& c = workspace(s).cursor;
  RecordCursor::RecordClasses& k = c.classes;
  if (k.checked_pass == pass) return k.on;
  k.checked_pass = pass;
  k.on = use_record_classes && c.scale_free && record_classes(s) != nullptr;
  return k.on;
}

// decode_r of a record of a pass that the record classes serve.
void decode_r_by_class(model::State& s, long pass) {
  RecordCursor& c = workspace(s).cursor;
  RecordCursor::RecordClasses& k = c.classes;
  const int cells = m.ntrait * m.ntrait;
  double* ri = m.rinv.data();
  const int cls = k.of_record[static_cast<std::size_t>(s.irec - 1)];
  s.res_scale = 1.0;
  c.memo_used = -1;
  if (cls < 0) {
    c.nonparent = 0;
    rinv_of_r(s, pass);
    return;
  }
  const int a = static_cast<int>(s.INDATA(s.irec, m.pos_eff(c.e8, 1)));
  c.nonparent = a;
  const std::size_t at = static_cast<std::size_t>(cls) * static_cast<std::size_t>(cells);
  if (k.pass[static_cast<std::size_t>(cls)] == pass) {
    double* cov = c.record_cov.data();
    const double* kr = k.rinv.data() + at;
    const double* kc = k.cov.data() + at;
    for (int q = 0; q < cells; ++q) {
      ri[q] = kr[q];
      cov[q] = kc[q];
    }
    // The memo it came from, while it holds them still.
    const int mk = k.memo[static_cast<std::size_t>(cls)];
    const RecordCursor::MendelianMemo& x = c.mendelian_memo[mk];
    if (x.valid && same_bits(x.w, s.rec_weight) && same_bits(x.d, static_cast<double>(s.DINV(a))) &&
        same_bits(x.tol, denseop::denseop_tol))
      c.memo_used = mk;
    return;
  }
  nonparent_rinv(s, a, 1.0, pass);
  // A failed inverse is formed (and reported) again for every record.
  if (c.memo_used < 0) return;
  k.pass[static_cast<std::size_t>(cls)] = pass;
  k.memo[static_cast<std::size_t>(cls)] = c.memo_used;
  std::copy(ri, ri + cells, k.rinv.data() + at);
  std::copy(c.record_cov.data(), c.record_cov.data() + cells, k.cov.data() + at);
}

}  // namespace

bool use_record_classes = true;

const RecordCursor::RecordClasses* record_classes(const model::State& s) {
  RecordCursor& c = workspace(s).cursor;
  RecordCursor::RecordClasses& k = c.classes;
  if (c.e8 <= 0 || !slots_loadable(s)) return nullptr;
  // Offsets into the stream are kept in 32 bits.
  if (c.stream.key.size() > UINT32_MAX || c.stream.mult.size() > UINT32_MAX) return nullptr;
  if (k.generation != c.stream.generation) make_record_classes(s);
  return &k;
}

void decode_r(model::State& s, long pass) {
  RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait;
  double* ri = m.rinv.data();
  const double* r = m.r.data();

  if (pass != 0 && classes_serve(s, pass)) {
    decode_r_by_class(s, pass);
    return;
  }

  // The record's animal, read from the first trait's column, takes a
  // Mendelian term when it has no equation of its own.
  int a = 0;
  if (c.e8 > 0) {
    a = static_cast<int>(s.INDATA(s.irec, m.pos_eff(c.e8, 1)));
    if (a <= m.nlev(c.e8)) a = 0;
  }
  c.nonparent = a;
  c.memo_used = -1;

  if (c.scale_free && a == 0) {
    s.res_scale = 1.0;
    rinv_of_r(s, pass);
    return;
  }

  double sc = structural_scale(s, [&s](int q) { return s.R_SOL(q); });
  if (model::robust_residuals()) sc = sc / s.WEIGHT_ROBUST(s.irec);
  s.res_scale = sc;
  if (a > 0) {
    nonparent_rinv(s, a, sc, pass);
    return;
  }
  for (int i = 0; i < nt * nt; ++i) ri[i] = sc * r[i];
  denseop::invcs8(ri, nt, nt);
}

// ---------------------------------------------------------------------------

void record_residuals(const model::State& s, double* e) {
  const RecordCursor& c = workspace(s).cursor;
  for (int t = 1; t <= m.ntrait; ++t) {
    const int* addr = s.ADDRESS.col(t);
    const float* wc = s.WEIGHT_COV.col(t);
    const int* own = c.SLOT_EFF.col(t);
    double r = static_cast<double>(s.Y(t));
    for (int j = 0; j < c.naddr_t(t); ++j) {
      const int ef = own[j];
      if (ef < 0) continue;  // missing code: no term
      // The record weight is a precision: it scales the residual's
      // covariance, never the fitted value.
      const double cj =
          m.effecttype(ef) == model::EffectType::unk ? 1.0 : static_cast<double>(wc[j]);
      r = r - cj * s.SOL(addr[j]);
    }
    e[t - 1] = r;
  }
}

namespace {

// predict_missing_y with the residuals from residuals(e), for a record with
// a missing trait.  Kept out of line: its work arrays make a large frame.
template <class Residuals>
[[gnu::noinline]] void predict_missing(model::State& s, Residuals&& residuals) {
  const int nt = m.ntrait;
  float* y = s.Y.data();
  int mi[max_traits], ob[max_traits];
  int nm = 0, no = 0;
  for (int t = 0; t < nt; ++t) {
    if (y[t] == 0.0f)
      mi[nm++] = t;
    else
      ob[no++] = t;
  }
  if (nm == 0) return;
  // Records are refused at their first read; this guards later changes.
  if (no == 0) refuse(s, s.irec, 0, all_missing);

  double e[max_traits];
  residuals(e);

  // Blocks of r by the missing (m) and observed (o) lists, leading dimension 20.
  // A record without the Mendelian term of its animal in the solutions has
  // that term's covariance in its own.
  constexpr int L = max_traits;
  const bool own_cov = workspace(s).cursor.nonparent > 0;
  const double* r = own_cov ? workspace(s).cursor.record_cov.data() : m.r.data();
  auto R = [&](int i, int j) { return r[i + j * nt]; };
  double roo[L * L], rooi[L * L], tt[L * L], v[L * L], mean[L], z[L];
  for (int j = 0; j < no; ++j)
    for (int i = 0; i < no; ++i) roo[i + j * L] = R(ob[i], ob[j]);
  denseop::finvcs8(roo, no, L, rooi, L);
  // T = Rmo Roo^-
  for (int k = 0; k < no; ++k)
    for (int i = 0; i < nm; ++i) {
      double sum = 0.0;
      for (int l = 0; l < no; ++l) sum += R(mi[i], ob[l]) * rooi[l + k * L];
      tt[i + k * L] = sum;
    }
  for (int i = 0; i < nm; ++i) {
    double sum = 0.0;
    for (int k = 0; k < no; ++k) sum += tt[i + k * L] * e[ob[k]];
    y[mi[i]] = static_cast<float>(sum - e[mi[i]]);
    mean[i] = static_cast<double>(y[mi[i]]);
  }
  // V = (Rmm - T Rom) / w: the record's residual covariance is R/w, which
  // leaves the regression T as it is and scales the conditional covariance.
  // (The covariance of a record without its animal's term holds w already.)
  const double w = own_cov ? 1.0 : s.rec_weight;
  for (int j = 0; j < nm; ++j)
    for (int i = 0; i < nm; ++i) {
      double sum = 0.0;
      for (int l = 0; l < no; ++l) sum += tt[i + l * L] * R(ob[l], mi[j]);
      v[i + j * L] = (R(mi[i], mi[j]) - sum) / w;
    }
  prob::gen_normal_multi(mean, v, nm, L, z);
  for (int i = 0; i < nm; ++i) y[mi[i]] = static_cast<float>(z[i]);
}

}  // namespace

void predict_missing_traits(model::State& s) {
  predict_missing(s, [&s](double* e) { record_residuals(s, e); });
}

void predict_missing_traits(model::State& s, const RecordSlots& r) {
  predict_missing(s, [&s, &r](double* e) { record_residuals(s, r, e); });
}

// ---------------------------------------------------------------------------

void check_data_record(const model::State& s, int irec, long line) {
  const RecordCursor& c = workspace(s).cursor;
  const int nt = m.ntrait, nf = m.neff;
  const float missv = static_cast<float>(m.miss);
  for (int k = 1; k <= s.reclen; ++k)
    if (!std::isfinite(s.INDATA(irec, k)))
      refuse(s, irec, line, "column " + std::to_string(k) + " holds " + shown(s.INDATA(irec, k)) +
                             ", not a finite number");
  bool observed = false;
  for (int t = 1; t <= nt && !observed; ++t) observed = s.INDATA(irec, m.pos_y(t)) != 0.0f;
  if (!observed) refuse(s, irec, line, all_missing);
  if (m.pos_weight > 0) {
    const float w = s.INDATA(irec, m.pos_weight);
    if (!(w > 0.0f))
      refuse(s, irec, line, "weight " + shown(w) + " (column " + std::to_string(m.pos_weight) +
                             ") is not above 0");
  }
  for (int t = 1; t <= nt; ++t)
    for (int e = 1; e <= nf; ++e) {
      const int col = m.pos_eff(e, t);
      if (col == m.miss) continue;
      const float v = s.INDATA(irec, col);
      if (v == missv) continue;
      const int nl = m.nlev(e);
      switch (m.effecttype(e)) {
        case model::EffectType::cro:
        case model::EffectType::unk: check_level(s, irec, line, e, t, "level", v, nl); break;
        case model::EffectType::cov: {
          const int nc = m.nestedcov(e, t);
          if (nc > 0) check_level(s, irec, line, e, t, "nesting class", s.INDATA(irec, nc), nl);
          break;
        }
        case model::EffectType::rno: {
          check_level(s, irec, line, e, t, "level", s.INDATA(irec, m.nestedcov(e, t)), nl);
          break;
        }
        case model::EffectType::ram: {
          const int lp = std::min<long>(m.lenped(e), s.PED.extent2());
          check_level(s, irec, line, e, t, "animal", v, std::max(nl, lp));
          const int a = static_cast<int>(v);
          if (a <= nl) break;
          // An animal without an equation: its parents and candidate sires
          // must have equations.
          for (int k = 2; k <= 3; ++k) {
            const int p = s.PED(e, a, k);
            if (p > nl)
              refuse(s, irec, line, e, t,
                     "parent " + std::to_string(p) + " of animal " + std::to_string(a) +
                         " is not within 1 to " + std::to_string(nl));
          }
          if (s.PED(e, a, 3) < 0) {
            const int p = a <= s.P_MS.hi() ? s.P_MS(a) : 0;
            const long nms = s.MS.size();
            const double cnt = p >= 1 && p <= nms ? s.MS(p) : -1.0;
            if (!(cnt >= 0.0 && p + 2.0 * cnt <= static_cast<double>(nms)))
              refuse(s, irec, line, e, t,
                     "animal " + std::to_string(a) + " has no list of candidate sires");
            const int last = static_cast<int>(2.0 * cnt);
            for (int j = 1; j <= last; j += 2)
              if (!level_in(std::trunc(s.MS(p + j)), nl))
                refuse(s, irec, line, e, t,
                       "candidate sire " + util::freev(s.MS(p + j)).substr(1) + " of animal " +
                           std::to_string(a) + " is not within 1 to " + std::to_string(nl));
          }
          break;
        }
        default:
          break;  // find_addresses reports an unknown type
      }
    }
  if (c.e8 > 0) {
    // The record's animal, read from the first trait's column, takes a
    // Mendelian term when it has no equation of its own.
    const int e8 = c.e8;
    const double v = s.INDATA(irec, m.pos_eff(e8, 1));
    if (!(v < m.nlev(e8) + 1.0) && !(v < s.DINV.hi() + 1.0))
      refuse(s, irec, line, e8, 1,
             "animal " + shown(static_cast<float>(v)) +
                 " has no Mendelian coefficient (pedigree of " + std::to_string(s.DINV.hi()) +
                 " lines)");
  }
}

namespace {

// True when a word that is no number reads as a number's start: a digit,
// or a sign or point before one.
bool numeric_start(std::string_view w) {
  std::size_t i = 0;
  if (i < w.size() && (w[i] == '-' || w[i] == '+')) ++i;
  if (i < w.size() && w[i] == '.') ++i;
  return i < w.size() && w[i] >= '0' && w[i] <= '9';
}

// True when every field of the line is a word that no number begins, as in
// a line of column names.
bool names_only(std::string_view line) {
  bool any = false;
  std::size_t i = 0;
  while (i < line.size()) {
    const char c = line[i];
    if (c == ' ' || c == '\t' || c == '\r' || c == ',') {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' && line[j] != ',') ++j;
    if (numeric_start(line.substr(i, j - i))) return false;
    any = true;
    i = j;
  }
  return any;
}

// What a word where a number stands most likely is: a field of a file
// separated by ";", a header line, a missing value written as a word (the
// data code it as 0), or an id that is no level; and what a number too near
// 0 would become.
std::string field_hint(const util::RecordRead& r, int irec) {
  using F = util::RecordRead::Fault;
  if (r.fault == F::underflow)
    return static_cast<std::size_t>(m.pos_weight) == r.field ? "" : ", the missing code";
  const bool nan = r.fault == F::not_finite && !r.word.empty() && (r.word[0] == 'n' || r.word[0] == 'N');
  if (r.fault != F::not_number && !nan) return "";
  if (r.word.find(';') != std::string_view::npos)
    return "; fields are separated by blanks, tabs or commas, not by \";\"";
  if (irec == 1 && names_only(r.text))
    return "; line " + std::to_string(r.line) +
           " looks like a header line of column names: the data file holds numbers only, so leave it out";
  for (int t = 1; t <= m.ntrait; ++t)
    if (static_cast<std::size_t>(m.pos_y(t)) == r.field) return "; a missing trait is coded 0";
  for (int e = 1; e <= m.neff; ++e)
    for (int t = 1; t <= m.ntrait; ++t)
      if (static_cast<std::size_t>(m.pos_eff(e, t)) == r.field) {
        if (m.effecttype(e) == model::EffectType::cov) return "; a missing covariable is coded 0";
        if (nan || util::missing_word(r.word)) return "; a missing level is coded 0";
        return "; levels are whole numbers from 1 to the levels of the effect: recode ids such as this"
               " one (manual, section 1.1)";
      }
  return "";
}

// Codes that other programs and spreadsheets write for a missing value.
// This program's is 0, so a trait that holds one reads it as a measurement.
constexpr float usual_codes[] = {-99.0f, -999.0f, -9999.0f, -99999.0f, 9999.0f, 99999.0f};
constexpr const char* usual_code_text[] = {"-99", "-999", "-9999", "-99999", "9999", "99999"};
constexpr int n_usual_codes = 6;

// Counts the traits of record irec that hold one of those codes.
void tally_codes(const model::State& s, RecordCursor::DataTally& tally, int irec, long line) {
  for (int t = 1; t <= m.ntrait; ++t) {
    const float y = s.INDATA(irec, m.pos_y(t));
    if (y > -99.0f && y < 9999.0f) continue;
    for (int k = 0; k < n_usual_codes; ++k)
      if (y == usual_codes[k]) {
        if (tally.coded[t - 1]++ == 0) tally.first_line[t - 1] = line;
        tally.codes[t - 1] |= 1u << k;
        break;
      }
  }
}

// One warning per trait that holds such codes, after the last record.
void warn_codes(const RecordCursor::DataTally& tally, const std::string& file) {
  for (int t = 1; t <= m.ntrait; ++t) {
    const long n = tally.coded[t - 1];
    if (n == 0) continue;
    std::string codes;
    int listed = 0, seen = 0;
    for (int k = 0; k < n_usual_codes; ++k) seen += (tally.codes[t - 1] >> k) & 1u;
    for (int k = 0; k < n_usual_codes; ++k) {
      if (!((tally.codes[t - 1] >> k) & 1u)) continue;
      ++listed;
      codes += std::string(listed == 1 ? "" : listed == seen ? " or " : ", ") + usual_code_text[k];
    }
    util::say_text(" warning: trait " + std::to_string(t) + " (data column " + std::to_string(m.pos_y(t)) +
                   ") holds " + codes + " in " + std::to_string(n) + (n == 1 ? " record" : " records") +
                   ", the first on line " + std::to_string(tally.first_line[t - 1]) + " of " + file +
                   (seen == 1 ? ": a usual code of a missing value, which is read here as a measurement"
                              : ": usual codes of a missing value, which are read here as measurements") +
                   "; the missing code is 0 (manual, section 1.1)");
  }
}

}  // namespace

void read_data_record(model::State& s) {
  RecordCursor& c = workspace(s).cursor;
  const int irec = s.irec, len = s.reclen;
  if (c.rec_buf.size() != len) c.rec_buf.resize(len);
  float* buf = c.rec_buf.data();
  util::RecordRead r;
  r.fault = util::RecordRead::Fault::eof;
  if (c.datafile.is_open())
    r = c.datafile.read_recordv(std::span<float>(buf, static_cast<std::size_t>(len)));
  if (r.fault == util::RecordRead::Fault::eof) {
    const std::string& name = c.datafile.name();
    util::fatal(util::freev("total number of record in data set" + (name.empty() ? "" : " " + name) + ": ",
                            irec - 1, " is not equal   to the value you have entered: ", m.nrec) +
                (c.datafile.lone_carriage_returns()
                     ? "; the file's lines end in a carriage return alone (the line ends of old Mac files), which"
                       " ends no line here, so the file reads as one line: save it with line feeds (LF, or CR LF)"
                     : ""));
  }
  // A field left out, or a number split at a decimal comma, shifts every
  // later column of its line without a fault of its own; a decimal comma in
  // the last column read cuts its number without shifting anything.  A line
  // that separates its fields by blanks and holds a comma between two digits
  // is warned of once, and a line of another field count than the first
  // record's once (unless a decimal comma has been warned of, which says it).
  RecordCursor::DataTally& tally = c.tally;
  const std::size_t fields = util::count_fields(r.text);
  if (irec == 1) {
    tally = {};
    tally.fields = fields;
    tally.fields_line = r.line;
  }
  tally.comma_word = util::decimal_comma(r.text, static_cast<std::size_t>(len));
  const bool uneven = fields != tally.fields;
  // An empty cell of a tab-separated line (a missing value left blank) is
  // passed over as no field at all: it, not a comma, shifts the columns.
  const std::size_t cell = util::empty_tab_cell(r.text, static_cast<std::size_t>(len));
  const std::string empty_cell =
      cell == 0 ? ""
                : " separates its fields by tabs and field " + std::to_string(cell) +
                      " is an empty cell, which the read passes over (the values after it move one field to the"
                      " left): write 0, the missing code, for a missing value";
  if (cell > 0) {
    if (r.ok() && !tally.tab_cell)
      util::say_text(" warning: line " + std::to_string(r.line) + " of data file " + c.datafile.name() +
                     empty_cell);
    tally.tab_cell = true;
  } else if (!tally.comma_word.empty() && !tally.comma) {
    tally.comma = true;
    util::say_text(" warning: line " + std::to_string(r.line) + " of data file " + c.datafile.name() +
                   " separates its fields by blanks or tabs and holds " + util::shown(tally.comma_word) +
                   (uneven ? ", " + std::to_string(fields) + " fields where the first record (line " +
                                 std::to_string(tally.fields_line) + ") holds " + std::to_string(tally.fields)
                           : "") +
                   ": fields are separated by blanks, tabs or commas, so " + comma_splits +
                   "; the results are wrong until the file is fixed: write decimals with a point");
  } else if (uneven && !tally.uneven && !tally.comma) {
    tally.uneven = true;
    util::say_text(" warning: line " + std::to_string(r.line) + " of data file " + c.datafile.name() +
                   " holds " + std::to_string(fields) + " fields where the first record (line " +
                   std::to_string(tally.fields_line) + ") holds " + std::to_string(tally.fields) +
                   ": fields are separated by blanks, tabs or commas, so " + comma_splits +
                   "; if a decimal comma is the cause, the results are wrong until the file is fixed:"
                   " write decimals with a point");
  }
  if (!r.ok())
    refuse(s, irec, r.line,
           util::describe(r) + (r.fault == util::RecordRead::Fault::short_line
                                    ? " (the data record length)" + (cell > 0 ? "; the line" + empty_cell : "")
                                    : field_hint(r, irec)));
  for (int k = 1; k <= len; ++k) s.INDATA(irec, k) = buf[k - 1];
  check_data_record(s, irec, r.line);
  tally.comma_word = {};
  tally_codes(s, tally, irec, r.line);
  if (irec == m.nrec) {
    warn_codes(tally, c.datafile.name());
    const long more = c.datafile.records_left();
    if (more > 0)
      util::say_text(" Warning: data file " + c.datafile.name() + " holds " +
                     std::to_string(irec + more) + " records; the first " + std::to_string(irec) +
                     " are analysed");
  }
}

std::pair<std::int32_t, bool> WeightDinvClasses::add(const model::State& s, int irec, int a) {
  const int pw = m.pos_weight;
  w = pw == 0 ? 1.0 : static_cast<double>(s.INDATA(irec, pw));
  d = static_cast<double>(s.DINV(a));
  std::pair<std::uint64_t, std::uint64_t> key;
  std::memcpy(&key.first, &w, sizeof w);
  std::memcpy(&key.second, &d, sizeof d);
  const auto [it, added] = of_.emplace(key, static_cast<std::int32_t>(of_.size()));
  return {it->second, added};
}

}  // namespace sampler
