#include "run/results/result_out.hpp"

#include "model/model.hpp"

namespace run::results {

namespace {

// Made when the program starts, so that no store allocates.
struct Shared {
  util::TextOut out;
  std::string buf;
  Shared() {
    out.reserve_buffers();
    buf.reserve(1 << 17);
  }
};
Shared shared;

}  // namespace

ResultOut::ResultOut(const char* name) : out_(shared.out), buf_(shared.buf) {
  out_.open(name, util::TextOut::Mode::atomic);
  buf_.clear();
}

const util::Tally& ResultOut::sealed() { return shared.out.tally(); }

void ResultOut::title(const char* t) { free(t, model::m.round, " rounds and burn-in of ", model::m.nburn); }

}  // namespace run::results
