// Support of the parameter-file tests: a small valid parameter text and
// edits of it.
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace paramtest {

// One trait, two effects, one diagonal group; line numbers in the comments.
inline const std::string base =
    "MCMC_CHAIN:\n"                     // 1
    "1000 100 10\n"                     // 2
    "SEED\n"                            // 3
    "1234\n"                            // 4
    "RESTART:\n"                        // 5
    "n\n"                               // 6
    "DATAFILE\n"                        // 7
    "data.txt 50\n"                     // 8
    "NUMBER_OF_TRAITS\n"                // 9
    "1\n"                               // 10
    "NUMBER_OF_EFFECTS\n"               // 11
    "2\n"                               // 12
    "OBSERVATION(S)\n"                  // 13
    "1\n"                               // 14
    "WEIGHT(S)\n"                       // 15
    "\n"                                // 16
    "EFFECTS:\n"                        // 17
    "2 5 cross y\n"                     // 18
    "3 10 cross n\n"                    // 19
    "RANDOM_RESIDUAL:\n"                // 20
    "homogeneous 5\n"                   // 21
    "RESIDUAL_PRIOR_(CO)VARIANCES\n"    // 22
    "1.0\n"                             // 23
    "RANDOM_GROUP\n"                    // 24
    "2\n"                               // 25
    "RANDOM_TYPE\n"                     // 26
    "diagonal 4\n"                      // 27
    "PEDIGREEFILE:\n"                   // 28
    "none\n"                            // 29
    "(CO)VARIANCES\n"                   // 30
    "0.5\n";                            // 31

// The text with the first `from` replaced by `to`.
inline std::string sub(const std::string& text, const std::string& from, const std::string& to) {
  const std::size_t p = text.find(from);
  if (p == std::string::npos) {
    ADD_FAILURE() << "no '" << from << "' in the text";
    return text;
  }
  std::string t = text;
  t.replace(p, from.size(), to);
  return t;
}

}  // namespace paramtest
