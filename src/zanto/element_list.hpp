// Walking the list of an eliminated node (an element) in the orderings'
// quotient graph.
#pragma once

#include "zanto/work.hpp"

namespace zanto {

// Calls visit(node) for each node in the list of `element`: a negative entry
// -e continues the list in the storage of e, a 0 or the end of the last
// storage ends it.  Entries are read as the walk reaches them, so visit may
// overwrite slots already passed.
template <class Visit>
inline void for_each_in_element(word element, civec xadj, civec adjncy, Visit&& visit) {
  word link = element;
  for (;;) {
    const word jstrt = xadj(link);
    const word jstop = xadj(link + 1) - 1;
    bool more = false;
    for (word j = jstrt; j <= jstop; ++j) {
      const word node = adjncy(j);
      if (node < 0) {
        link = -node;
        more = true;
        break;
      }
      if (node == 0) return;
      visit(node);
    }
    if (!more) return;
  }
}

}  // namespace zanto
