#include "run/restart.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "model/model.hpp"
#include "random/rangen.hpp"
#include "run/input_files.hpp"
#include "run/results/chain_state.hpp"
#include "run/results/loglike_obs.hpp"
#include "run/results/mh_acceptance.hpp"
#include "run/results/msiresppr.hpp"
#include "run/results/result_in.hpp"
#include "run/results/robustness_w.hpp"
#include "run/results/sample_files.hpp"
#include "run/results/solutions.hpp"
#include "run/results/store_record.hpp"
#include "run/results/structural_r.hpp"
#include "run/results/varcomp.hpp"
#include "run/store.hpp"
#include "util/format.hpp"
#include "util/stop.hpp"

namespace run {

using model::m;
using namespace results;

namespace {

// The stored means become sums again through the kept count, which the
// burn-in and thinning interval fix: a continued chain keeps both.
void check_settings(const record::Store& st, int start) {
  const std::string rec = std::string("\"") + st.source + "\"";
  auto same = [&](const char* what, int given, int stored) {
    if (given != stored)
      util::fatal(util::freev("restart at cycle", start, ": the parameter file gives a " + std::string(what) + " of",
                              given, "but the chain in", rec, "has", stored,
                              "; a continued chain keeps its burn-in and thinning interval"));
  };
  same("burn-in", m.nburn, st.burn_in);
  same("thinning interval", m.skip, st.thinning);
}

// A chain continues from its last store and never ends before it: a last
// cycle below the store's would rewrite the stored sums as those of a
// shorter chain (every mean multiplied) and name a cycle the sample files
// have passed.  The same last cycle writes the stored results again.
void check_last_cycle(const record::Store& st, int start, const std::string& rec) {
  if (m.nround >= st.cycle) return;
  const long long next = static_cast<long long>(st.cycle) + 1;
  util::fatal(util::freev("restart at cycle", start, ": the parameter file ends the chain at cycle",
                          m.nround, "(MCMC_CHAIN:), before the store of cycle", st.cycle, "in", rec,
                          "; a continued chain restarts at cycle", next, "with a last cycle of",
                          st.cycle,
                          "(no cycle is run: the stored results are written again) or more"));
}

// The record of the last store against the restart: a last cycle not below
// the stored one, the cycle before the restart cycle (else the message
// names the cycle to give), the chain's settings, and "chain_state",
// without which a chain cannot go on.
void check_record(const record::Store& st, int start) {
  const std::string rec = std::string("\"") + st.source + "\"";
  check_last_cycle(st, start, rec);
  if (st.cycle != start - 1)
    util::fatal(util::freev("restart at cycle", start, "needs the results of cycle", start - 1,
                            "but", rec, "holds those of cycle", st.cycle,
                            "; the chain continues at cycle", static_cast<long long>(st.cycle) + 1));
  check_settings(st, start);
  // A store of an earlier version of the program, which kept no stream; the
  // versions that keep checksums write it always, so a record of checksums
  // without it was cut or changed.
  if (!st.has_result(chain::file))
    util::fatal(util::freev("restart at cycle", start, ": the store of cycle", st.cycle, "in", rec, "has no",
                            std::string("\"") + chain::file + "\" with the random stream and the model of the chain" +
                                (st.summed ? record::record_damaged
                                           : " (a store of an earlier version of the program): it cannot be "
                                             "continued")));
  if (!st.summed)
    util::say_text(util::freev("warning:", rec, "of the store of cycle", st.cycle,
                          "holds no checksums of its files (a store of an earlier version of the "
                          "program): they are taken without that check, and the next store records them"));
}

// The result files of the record: those a store of this model writes at
// the stored cycle, each once.  Checked once the model is known to be the
// stored one, so that a change of model is told as such.
void check_result_names(const record::Store& st, int start) {
  const std::string rec = std::string("\"") + st.source + "\"";
  const char* names[record::max_results];
  const int n = stored_results(st.cycle, names);
  for (int k = 0; k < n; ++k)
    if (!st.has_result(names[k]))
      util::fatal(util::freev("restart at cycle", start, ": the store of cycle", st.cycle, "in", rec,
                              "has no result file", std::string("\"") + names[k] + "\"" + record::record_damaged));
  for (int k = 0; k < st.nresults; ++k)
    if (std::find_if(names, names + n, [&](const char* r) {
          return r == std::string_view(st.results[k]);
        }) == names + n)
      util::fatal(util::freev("restart at cycle", start, ": the store of cycle", st.cycle, "in",
                              rec, "has the result file", std::string("\"") + st.results[k] + "\"",
                              ", which this model does not write"));
}

// "chain_state", whose refusals name the parameter file's settings: when
// the file is not the one the store wrote (cut or changed after it), the
// stop says that too, and to put it back, rather than to change the
// parameter file.
rangen::Stream read_chain_state(model::State& s, int start, const record::Store& st) {
  try {
    return chain::read(s, start);
  } catch (const util::Stop& stop) {
    const std::string damaged =
        stop.to_stderr ? std::string() : record::not_stored(st, chain::file);
    if (damaged.empty()) throw;
    util::fatal(std::string(stop.what()) + "\n" + damaged);
  }
}

}  // namespace

void restart(model::State& s, int start) {
  // Cycle 1 starts a fresh chain, which creates the sample files anew.
  if (start <= 1)
    util::fatal(util::freev("restart at cycle", start,
                            "not possible: a restarted chain continues at cycle 2 or later"));
  // Every file is checked before any is changed: the last store is read
  // where it stands, a store left unfinished by an interruption from its
  // temporaries.
  record::Store st;
  // Without a record there is no store to continue (a chain stopped before
  // its first one), whatever result files an earlier chain left here.
  if (!record::read(st))
    util::fatal(util::freev(
        "restart at cycle", start, ":", std::string("\"") + record::file + "\"",
        "is missing, so the sample files cannot be matched to the result files: no store "
        "was made (a chain stopped before its first store), or the record was removed; "
        "the chain cannot be continued: start it afresh (RESTART: n)"));
  const ReadingStore reading(&st);
  check_record(st, start);
  // The data, pedigree and multiple-sires files the chain began with, before
  // "chain_state" is read against the pedigree's animals.
  inputs::check(st);
  // The model, the sires and the stream come first; the stream goes on from
  // the store once every file is read.
  const rangen::Stream stream = read_chain_state(s, start, st);
  check_result_names(st, start);
  const Kept sm = Kept::at_cycle(start - 1);

  read_solutions(s, start, sm);
  if (m.max_msires > 1) read_msiresppr(s, start, sm);
  read_varcomp(s, start, sm);
  if (m.nburn < start - 1) {
    read_loglike_obs(s, start, sm);
  } else {
    s.LOGL_OBS.fill(0.0);
  }
  if (model::uses_mh_files()) read_mh_acceptance(s, start, sm);
  if (m.neffr > 0) read_structural_r(s, start, sm);
  if (model::robust_residuals()) read_robustness_w(s, start, sm);
  // A file that reads well but is not the one the store wrote comes from
  // another chain, or was changed since.
  record::check_result_files(st);
  check_sample_files(s, start, st);

  // Only now is anything changed: the unfinished store is finished (or the
  // leftovers of one not made are removed), and the sample files are cut
  // back to the store and opened.
  record::recover();
  open_sample_files(s, start, st);
  rangen::set_stream(stream);
}

}  // namespace run
