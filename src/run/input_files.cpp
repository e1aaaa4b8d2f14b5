#include "run/input_files.hpp"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "model/model.hpp"
#include "util/stop.hpp"
#include "util/textio.hpp"

namespace run::inputs {

namespace {

using model::m;

// An input file of the model: what the record keeps of it, its name in the
// parameter file, and whether it was there to be summed.
struct File {
  record::Input in;
  std::string name;
  bool found = false;
};

// The model's input files, as the last keep() found them.
std::vector<File> files;

// The files the model reads: the data, the pedigree file of each random
// group whose type reads one (as run::read_files does), the multiple-sires
// file when candidate sires are read.
std::vector<File> model_files() {
  std::vector<File> v;
  v.push_back({{record::input_kinds[0], 0, {}}, m.datafile});
  for (int e = 1; e <= m.neff; ++e) {
    const model::RandomType t = m.randomtype(e);
    if (model::additive_lines(t) || model::candidate_sires(t))
      v.push_back({{record::input_kinds[1], e, {}}, m.randomfile(e)});
  }
  if (m.max_msires > 0) v.push_back({{record::input_kinds[2], 0, {}}, m.msfile});
  return v;
}

// The file as the messages name it.
std::string described(const File& f) {
  const std::string quoted = "\"" + f.name + "\"";
  if (f.in.effect > 0)
    return "the pedigree file " + quoted + " of random effect " + std::to_string(f.in.effect);
  if (std::strcmp(f.in.kind, "data") == 0) return "the data file " + quoted;
  return "the multiple-sires file " + quoted;
}

const record::Input* stored_as(const record::Store& st, const record::Input& in) {
  for (const record::Input& s : st.inputs)
    if (std::strcmp(s.kind, in.kind) == 0 && s.effect == in.effect) return &s;
  return nullptr;
}

}  // namespace

void keep() {
  files = model_files();
  std::vector<record::Input> kept;
  for (File& f : files) {
    if (!util::TextIn::exists(f.name)) continue;
    f.found = util::tally_of_file(f.name.c_str(), -1, f.in.tally, true);
    if (f.found) kept.push_back(f.in);
  }
  record::keep_inputs(std::move(kept));
}

void check(const record::Store& st) {
  // A store of this program names every input of its chain; one of an
  // earlier version names none.  A record that names some only would leave
  // the others unchecked.
  if (!st.inputs.empty())
    for (const File& f : files)
      if (f.found && !stored_as(st, f.in))
        util::fatal(" restart refused: \"" + std::string(st.source) + "\" names input files of the chain but not " +
                    described(f) +
                    ", which every store of this program names: the record was changed after the store, or the "
                    "parameter file reads a file the chain did not; put back the record of that store (and the "
                    "parameter file of the chain), or start a fresh chain (RESTART: n)");
  for (const File& f : files) {
    // A file the record does not name (a store of an earlier version) is
    // not compared.
    const record::Input* was = stored_as(st, f.in);
    if (!was) continue;
    // Missing: stopped as its reader would stop, before anything changes.
    if (!f.found) util::TextIn open(f.name);
    if (was->tally.bytes == f.in.tally.bytes && was->tally.sum == f.in.tally.sum) continue;
    util::fatal(
        " restart refused: " + described(f) + " is not the file the chain was run on (\"" +
        st.source + "\" gives " + record::described(was->tally) + ", the file holds " +
        record::described(f.in.tally) +
        "): a continued chain reads the data, pedigree and multiple-sires files it began with, "
        "moved or renamed perhaps but not changed; put back that file, or start a fresh chain "
        "(RESTART: n) on this one");
  }
}

}  // namespace run::inputs
