#pragma once

namespace util {
// Processor time used by this process, in seconds, as the program's 32-bit real.
float cpu_seconds();
}  // namespace util
