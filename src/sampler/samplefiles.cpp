#include "sampler/samplefiles.hpp"

#include "model/model.hpp"
#include "util/stop.hpp"

namespace sampler {

SampleFiles sample_files;

namespace {

void open_set(SampleFiles& f, util::TextOut::Mode mode, bool mh) {
  close(f);
  f.varcompsam = util::TextOut(varcompsam_file, mode);
  f.loglike_rnd = util::TextOut(loglike_rnd_file, mode);
  if (mh && model::uses_mh_files()) f.mh_dbeliefchg = util::TextOut(mh_dbeliefchg_file, mode);
  if (model::saves_solutions()) f.solutionsam = util::TextOut(solutionsam_file, mode);
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
