#include "sampler/workspace.hpp"

namespace sampler {

namespace {

void drop_workspace(Workspace* w) { delete w; }

}  // namespace

void make_workspace(const model::State& s) { s.work = {new Workspace, drop_workspace}; }

}  // namespace sampler
