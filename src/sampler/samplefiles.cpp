#include "sampler/samplefiles.hpp"

#include "run/model.hpp"
#include "util/stop.hpp"

namespace sampler {

SampleFiles sample_files;

bool wants_mh_dbeliefchg() {
  const model::Model& M = model::m;
  if (M.residualtype != model::res_homogeneous) return true;
  for (int e = 1; e <= M.neff; ++e)
    if (M.randomtype(e) == model::rnd_add_an_mb || M.randomtype(e) == model::rnd_diag_mb)
      return true;
  return false;
}

bool wants_solutionsam() {
  const model::Model& M = model::m;
  for (int e = 1; e <= M.neff; ++e)
    if (M.effectsave(e) == 1) return true;
  return false;
}

namespace {

void open_set(SampleFiles& f, util::TextOut::Mode mode, bool mh) {
  close(f);
  f.varcompsam = util::TextOut(varcompsam_file, mode);
  f.loglike_rnd = util::TextOut(loglike_rnd_file, mode);
  if (mh && wants_mh_dbeliefchg()) f.mh_dbeliefchg = util::TextOut(mh_dbeliefchg_file, mode);
  if (wants_solutionsam()) f.solutionsam = util::TextOut(solutionsam_file, mode);
}

}  // namespace

void open_new(SampleFiles& f) {
  open_set(f, util::TextOut::Mode::replace, true);
  f.made_new = true;
}

void open_append(SampleFiles& f, bool with_mh_dbeliefchg) {
  open_set(f, util::TextOut::Mode::append, with_mh_dbeliefchg);
}

void close(SampleFiles& f) {
  f.made_new = false;
  f.varcompsam.close();
  f.loglike_rnd.close();
  f.mh_dbeliefchg.close();
  f.solutionsam.close();
}

void flush(SampleFiles& f) {
  f.varcompsam.flush();
  f.loglike_rnd.flush();
  f.mh_dbeliefchg.flush();
  f.solutionsam.flush();
}

}  // namespace sampler

namespace sampler {

void discard_empty(SampleFiles& f) {
  // A file that cannot be written out any more is closed all the same.
  for (util::TextOut* o : {&f.varcompsam, &f.loglike_rnd, &f.mh_dbeliefchg, &f.solutionsam}) {
    try {
      o->close();
    } catch (const util::Stop&) {
    }
  }
  if (!f.made_new) return;
  for (const char* name : {varcompsam_file, loglike_rnd_file, mh_dbeliefchg_file, solutionsam_file})
    if (util::file_size(name) == 0) util::remove_file(name);
}

}  // namespace sampler
