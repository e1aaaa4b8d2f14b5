// Reader of the parameter file: fills the model description (model/model.hpp).
#pragma once

#include <istream>
#include <string>

#include "util/textio.hpp"

namespace textop {

// Prompts "  name of parameter file?" on standard output, reads the name from
// standard input and reads that file.
void read_parameters();
// Same, with the name read from in (tests).
void read_parameters(std::istream& in);

// Reads the parameter file of that name (blanks around it removed) into the
// model description.  A file that does not exist stops the run.
void read_parameter_file(const std::string& name);

// Reads an opened parameter file into the model description, which starts
// afresh (model::m.parfile is kept).  Every pedigree file it names must exist.
// Numbers must be numbers, counts are bounded so that no size or sum of them
// overflows 32 bits, and (co)variance matrices must hold exactly their
// values and be symmetric.  A refusal stops the run; its last line names the
// file and the line (" in NAME, line N: "TEXT"").  Each line after the model
// that is not blank or a comment gets one warning line, as it is not read.
void read_parameter_text(util::TextIn& par);

// The parameter file last read, held open (getoption looks in it).
util::TextIn& parameter_unit();

}  // namespace textop
