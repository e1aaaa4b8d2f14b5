// Echo of the parameter file and the checks of the model description.
#pragma once

#include <string_view>

namespace run {

// Writes the banner (title) and a labelled echo of the model description to
// standard output, stops on combinations the sampler cannot handle, and makes
// the starting residual and random-group (co)variance matrices positive
// definite (the repaired values are what the echo lists and the chain starts
// from).  A starting matrix that cannot be made positive definite stops the
// run.  Called once, right after the parameter file is read.
void print_parameters(std::string_view title);

}  // namespace run
