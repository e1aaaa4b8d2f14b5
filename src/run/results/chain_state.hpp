// The state of a chain that the result files do not show, kept with every
// store in the file "chain_state" so that a restart continues the chain
// rather than starting a new one from the stored values:
//
//  - the random stream where the cycle of the store left it, so that the
//    continued chain draws the numbers the uninterrupted one would have;
//  - the sires drawn for the animals with candidate sires;
//  - what defines the model (every setting of the parameter file but the
//    number of cycles, the restart line and the file names), so that a
//    restart under another model, which would mix two models in one set
//    of summaries, is refused.
//
// The file is one of the files of a store (run/results/store_record.hpp): written to
// a temporary with the result files and renamed with them.  One item a line:
//
//   cycle 3000
//   stream 1 1520448721 1187204566 n 3150742
//   model SEED = 7
//   model EFFECTS: effect 1 = 2 20 cro n
//   sire 3 17 5
//
// ("stream": generator, seeds, antithetic flag, uniforms drawn so far;
// "sire": effect of the group, animal, its sire).
#pragma once

#include "model/state.hpp"
#include "random/rangen.hpp"

namespace run::chain {

inline constexpr const char* file = "chain_state";

// Takes down the model as the parameter file (and the echo's repair of its
// matrices) gave it.  Called once at start-up, before anything changes the
// model description.
void keep_model_definition();

// Writes "chain_state" for the store of cycle model::m.round: the stream
// as it stands, the model kept, the current sires.  Allocates nothing.
void write(const model::State& s);

// Reads the store's "chain_state" for a restart at cycle `start` (through
// run/results/result_in.hpp, so from its temporary while the store is unfinished),
// before any other file of the store is read: the model kept at start-up
// must be the stored one, and each line must fit this model (its cycle, a
// stream a generator can be in, the animals with candidate sires in order,
// each with its pedigree's sire or one of its candidates); anything else
// stops the run naming the file, the line or the setting.  The sires go
// into s.PED; the stream is returned, to be set once every file is read.
rangen::Stream read(model::State& s, int start);

}  // namespace run::chain
