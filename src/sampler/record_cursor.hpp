// The record cursor's own members and the slot stream: the types that the
// per-record steps (records.hpp) and the chain's workspace share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/model.hpp"
#include "model/state.hpp"
#include "util/array.hpp"
#include "util/textio.hpp"

namespace sampler {

// The slots of every record of one cycle, in record order: the equation
// plan's keys, and where a record's design cannot change between cycles
// (RecordCursor::slots_fixed) the slots that later cycles load instead of
// finding them again.  Per record: the slot count of each trait, then the
// equation of each slot trait by trait, a missing-code slot's (always 1) kept
// negated so that the residuals can pass it by.  Multipliers are not kept:
// a record with one slot per effect and trait, in effect order, has them
// from its data (1, a covariable's value, 0 for a missing code).
struct SlotStream {
  std::vector<std::int32_t> key;
  // Bit i-1 for record i, when loading is allowed: its multipliers follow
  // from its data (checked against those found when it was kept).
  std::vector<std::uint64_t> derived;
  // When loading is allowed, the multipliers of the records whose
  // multipliers do not follow from their data (parents of an animal without
  // an equation, at 0.5), in record order, each trait's in turn.
  std::vector<float> mult;
  int records = 0;  // records kept so far
  bool loadable = false;
  // Changes whenever the stream is started anew (never the same twice for
  // one workspace, never 0 once started): what is worked out from a stream
  // is kept with its generation.
  long generation = 0;

  bool is_derived(int irec) const { return derived_bit(derived.data(), irec); }
  // The same from the bits alone, for a pass that holds them in a register.
  static bool derived_bit(const std::uint64_t* bits, int irec) {
    const auto i = static_cast<std::size_t>(irec - 1);
    return (bits[i >> 6] >> (i & 63) & 1) != 0;
  }
};

// Where a record's slots stand in the stream: its slot counts at key_at of
// the keys, its multipliers (when they do not follow from its data) at
// mult_at.
struct KeptAt {
  std::int32_t irec;
  std::uint32_t key_at, mult_at;
};

// One record's part of the stream.
struct RecordSlots {
  const std::int32_t* cnt;  // (ntrait) slot counts
  const std::int32_t* eq;   // equations, trait by trait
  const float* x;           // multipliers, the same order
  int n;                    // slots in all
};

// Members of the record cursor that the sampler state does not hold yet, and
// model-derived constants of the per-record steps.  One instance in each
// state's workspace.
struct RecordCursor {
  // Slot counts of each trait of the current record, and the largest of them.
  // s.naddr holds the count of the last trait.
  util::vec1<int> naddr_t;  // (ntrait)
  int nslot_max = 0;
  // Owning effect of each slot: e for a slot of effect e, -e for the slot of
  // an effect whose value is the missing code.  Rows beyond a trait's count
  // are stale.
  util::mat1<int> SLOT_EFF;  // (neff+50, ntrait)
  // First slot of effect e in trait t; 0 when the effect has none (a
  // non-parent animal without known parents).
  util::mat1<int> EFF_SLOT;  // (neff, ntrait)

  // Rows of s.WEIGHT_COV that may hold a multiplier, when rows_known (the
  // first find_addresses after prepare_records clears them all).
  bool rows_known = false;
  int used_rows = 0;

  // The data file (unit 50); its records are read at the first cycle of a run.
  util::TextIn datafile;
  // What the read of the data has met so far, for its warnings; record 1
  // starts it anew.
  struct DataTally {
    std::size_t fields = 0;  // of the first record's line
    long fields_line = 0;    // that line
    bool uneven = false;     // a line of another count has been reported
    bool comma = false;      // a line with a decimal comma has been reported
    bool tab_cell = false;   // a line with an empty tab cell has been reported
    // The number with a decimal comma on the line in hand (a view into the
    // file), empty when it holds none: a level refused there names it.
    std::string_view comma_word;
    // Per trait (index t-1): records that hold a usual missing code other
    // than 0, the line of the first, and the codes met (bit k of code k).
    long coded[model::maxcorr] = {};
    long first_line[model::maxcorr] = {};
    unsigned codes[model::maxcorr] = {};
  };
  DataTally tally;

  // ---- derived from the model by prepare_records
  int ntrait = 0, neff = 0;
  util::vec1<long long> eq_base;  // (neff) equations before effect e: (sum of earlier nlev) * ntrait
  util::vec1<int> unk_of_rno;     // (neff*ntrait) per (rno effect, trait): its unknown covariable, 0 none
  bool has_rno = false;
  int e8 = 0;                     // model::reduced_animal_group()
  bool rinv_constant = false;     // no structural factor, robust weight or Mendelian term
  bool scale_free = false;        // no structural factor or robust weight
  // Per trait t (index t-1): 1 when the animal effect e8 has data for t, so
  // that a Mendelian term enters that trait.
  util::vec1<int> ram_trait;      // (ntrait)
  // Set by decode_r: the animal of the record in hand when it has no
  // equation (0 otherwise, and after find_addresses), and then the record's
  // covariance s R / w + G / DINV (column-major, ntrait by ntrait), which its
  // imputation uses in place of R / w.
  int nonparent = 0;
  util::vec1<double> record_cov;  // (ntrait*ntrait)
  // The last inverses formed for such records, each with the weight, DINV
  // and pivot tolerance it was formed from, for the scaled r and the animal
  // effect's block of g in memo_rg (column-major, r's cells first): most of
  // these records share a few of them.
  struct MendelianMemo {
    bool valid = false;
    double w = 0, d = 0, tol = 0;
    std::vector<double> rinv, cov;  // (ntrait*ntrait)
    // What the Mendelian step forms from the same (its joint draw of the
    // animal effect's terms over nd traits): A Sigma^-1 (nd by ntrait) and
    // the root of the draw's covariance (nd by nd), once it has them.
    bool draw_ready = false;
    std::vector<double> as, root;
  };
  static constexpr int mendelian_memos = 4;
  MendelianMemo mendelian_memo[mendelian_memos];
  // In a reduced animal model whose records' slots are all kept
  // (slots_loadable), each record's class: -1 for an animal with an
  // equation (the inverse of r), else the index of its pair of weight and
  // DINV, whose inverse and covariance the first of its records in a pass
  // keeps for the others when there are no structural factors or robust
  // weights.  Made for a stream generation (record_classes).
  struct RecordClasses {
    long generation = 0;
    std::vector<std::int32_t> of_record;  // (nrec)
    // The records of animals with equations, in order, and where their
    // slots stand in the stream.
    std::vector<KeptAt> with_equation;
    // Per class: the pass whose values are kept (0 none), the memo they
    // came from, and the values (ntrait*ntrait each).
    std::vector<long> pass;
    std::vector<int> memo;
    std::vector<double> rinv, cov;
    long checked_pass = 0;  // the pass last asked whether the classes hold
    bool on = false;        // they hold for checked_pass
  };
  RecordClasses classes;
  std::vector<double> memo_rg;  // (2*ntrait*ntrait)
  // The passes (decode_r) in which memo_rg and the inverse of r were last
  // found to hold.
  long rg_pass = 0, r_pass = 0, passes = 0;
  int mendelian_next = 0;       // the memo to replace next
  int memo_used = -1;           // the memo of the record in hand, -1 none
  // Every record's slots are the same in every cycle: no unknown covariable
  // or reaction norm (their multipliers read the solutions), no sampled
  // sire (it moves an animal's parents), and decode_r needs no slot (no
  // structural factor).
  bool slots_fixed = false;
  // Per (trait t, effect e) at (t-1)*neff + e-1: the data column whose value
  // is the slot's multiplier (a covariable), 0 for a multiplier of 1.
  util::vec1<int> mult_col;
  util::vec1<float> slot_x;  // (ntrait*neff) multipliers of a loaded record
  // decode_r's inverse of r, reused while r and the pivot tolerance stay.
  bool rinv_cached = false;
  double cached_tol = 0;
  util::vec1<double> cached_r, cached_rinv;  // (ntrait*ntrait) column-major
  // Reaction-norm solutions met before their unknown covariable's slot, by
  // that effect (work of find_addresses).
  util::vec1<float> rn_pending;  // (neff)
  util::vec1<float> rec_buf;     // (reclen) one record as read
  // Additions to the coefficient matrix waiting to be made (work of the
  // equation build): entries head..tail-1 of t.
  struct Term {
    int row, col;
    double v;
  };
  struct TermQueue {
    std::vector<Term> t;
    std::size_t head = 0, tail = 0;
  };
  TermQueue queue;
  SlotStream stream;
};

}  // namespace sampler
