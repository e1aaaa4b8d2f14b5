// The program's entry: start-up, then the cycles of the sampler.
#include "random/prob.hpp"
#include "run/echo.hpp"
#include "run/model.hpp"
#include "run/readfiles.hpp"
#include "run/state.hpp"
#include "run/textop.hpp"
#include "util/format.hpp"

namespace run {

int velmoran_main() {
  model::Model& M = model::m;

  // Start-up, in this order.
  textop::read_parameters();
  print_parameters("VELMORAN 1.20");
  // The only seeding of the run.
  prob::set_seed(M.seed);

  State st;
  st.neq = number_of_equations();
  st.reclen = data_record_length();
  util::say("Data record length = ", st.reclen);
  allocate_state(st);
  read_files(st);

  // Restart from the result files (rstart 'y'): not built yet.
  // The data file (unit 50) is opened here; its records are read at the
  // first cycle: not built yet.
  start_clock(st);

  // The cycles from M.start to M.nround and the final evaluation: not built
  // yet.
  return 0;
}

}  // namespace run
