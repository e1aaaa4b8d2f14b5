// Matrix graph and multiple minimum degree ordering.
//
// The quotient graph lives in adjncy: an eliminated node (an element) keeps
// in its own storage the list of nodes it reaches; when its list outgrows
// that storage, the storage of the elements it absorbed is reused, chained
// by negative entries (-e continues in the storage of e); a 0 ends a list
// early.  Uneliminated nodes carry dforw >= 0; eliminated ones -number,
// nodes merged into another -representative (with qsize 0).
#include "zanto/element_list.hpp"
#include "zanto/sparssub.hpp"

namespace zanto {

void unfold(word n, civec ia, civec ja, ivec xadj, ivec adjncy, ivec count) {
  for (word i = 1; i <= n; ++i) count(i) = 0;
  for (word i = 1; i <= n; ++i) {
    for (word k = ia(i); k < ia(i + 1); ++k) {
      const word j = ja(k);
      if (j == 0 || j == i || j > n) continue;
      ++count(i);
      ++count(j);
    }
  }
  counts_to_starts(n, count, xadj);
  for (word i = 1; i <= n; ++i) {
    for (word k = ia(i); k < ia(i + 1); ++k) {
      const word j = ja(k);
      if (j == 0 || j == i || j > n) continue;
      adjncy(xadj(i) + count(i)) = j;
      adjncy(xadj(j) + count(j)) = i;
      ++count(i);
      ++count(j);
    }
  }
}

namespace {

// Markers restart at 1 when the tag would reach maxint; merged and numbered
// isolated nodes keep maxint for good.
void reset_markers(word n, ivec marker, word maxint) {
  for (word i = 1; i <= n; ++i)
    if (marker(i) < maxint) marker(i) = 0;
}

}  // namespace

void mmdint(word n, civec xadj, civec /*adjncy*/, ivec dhead, ivec dforw, ivec dbakw, ivec qsize,
            ivec llist, ivec marker) {
  for (word node = 1; node <= n; ++node) {
    dhead(node) = 0;
    qsize(node) = 1;
    marker(node) = 0;
    llist(node) = 0;
  }
  // Pushing at the head in increasing order lists each bucket by decreasing
  // node number: of equal degrees the highest node goes first.
  for (word node = 1; node <= n; ++node) {
    const word ndeg = xadj(node + 1) - xadj(node) + 1;
    const word fnode = dhead(ndeg);
    dforw(node) = fnode;
    dhead(ndeg) = node;
    if (fnode > 0) dbakw(fnode) = node;
    dbakw(node) = -ndeg;
  }
}

void mmdelm(word mdnode, civec xadj, ivec adjncy, ivec dhead, ivec dforw, ivec dbakw, ivec qsize,
            ivec llist, ivec marker, word maxint, word tag) {
  // Uneliminated neighbours stay in mdnode's storage, compacted to its front;
  // eliminated neighbours are collected in a list for absorption.
  marker(mdnode) = tag;
  const word istrt = xadj(mdnode);
  const word istop = xadj(mdnode + 1) - 1;
  word elmnt = 0;
  word rloc = istrt;
  word rlmt = istop;
  for (word i = istrt; i <= istop; ++i) {
    const word nabor = adjncy(i);
    if (nabor == 0) break;
    if (marker(nabor) >= tag) continue;
    marker(nabor) = tag;
    if (dforw(nabor) < 0) {
      llist(nabor) = elmnt;
      elmnt = nabor;
    } else {
      adjncy(rloc) = nabor;
      ++rloc;
    }
  }

  // Nodes reached through each absorbed element join the reachable set;
  // when the current storage is full, writing goes on in the storage of the
  // elements linked from its last slot.
  while (elmnt > 0) {
    adjncy(rlmt) = -elmnt;
    for_each_in_element(elmnt, xadj, adjncy, [&](word node) {
      if (marker(node) >= tag || dforw(node) < 0) return;
      marker(node) = tag;
      while (rloc >= rlmt) {
        const word next = -adjncy(rlmt);
        rloc = xadj(next);
        rlmt = xadj(next + 1) - 1;
      }
      adjncy(rloc) = node;
      ++rloc;
    });
    elmnt = llist(elmnt);
  }
  if (rloc <= rlmt) adjncy(rloc) = 0;

  // Each reachable node leaves its degree bucket and sheds the neighbours
  // now covered by mdnode; one left with nothing else is merged into mdnode,
  // the others get mdnode as a neighbour and wait for a degree update.
  for_each_in_element(mdnode, xadj, adjncy, [&](word rnode) {
    const word pvnode = dbakw(rnode);
    if (pvnode != 0 && pvnode != -maxint) {
      const word nxnode = dforw(rnode);
      if (nxnode > 0) dbakw(nxnode) = pvnode;
      if (pvnode > 0) dforw(pvnode) = nxnode;
      if (pvnode < 0) dhead(-pvnode) = nxnode;
    }
    const word jstrt = xadj(rnode);
    const word jstop = xadj(rnode + 1) - 1;
    word xqnbr = jstrt;
    for (word j = jstrt; j <= jstop; ++j) {
      const word nabor = adjncy(j);
      if (nabor == 0) break;
      if (marker(nabor) >= tag) continue;
      adjncy(xqnbr) = nabor;
      ++xqnbr;
    }
    const word nqnbrs = xqnbr - jstrt;
    if (nqnbrs <= 0) {
      qsize(mdnode) += qsize(rnode);
      qsize(rnode) = 0;
      marker(rnode) = maxint;
      dforw(rnode) = -mdnode;
      dbakw(rnode) = -maxint;
    } else {
      dforw(rnode) = nqnbrs + 1;
      dbakw(rnode) = 0;
      adjncy(xqnbr) = mdnode;
      ++xqnbr;
      if (xqnbr <= jstop) adjncy(xqnbr) = 0;
    }
  });
}

void mmdupd(word ehead, word n, civec xadj, ivec adjncy, word delta, word& mdeg, ivec dhead,
            ivec dforw, ivec dbakw, ivec qsize, ivec llist, ivec marker, word maxint, word& tag) {
  const word mdeg0 = mdeg + delta;
  for (word elmnt = ehead; elmnt > 0; elmnt = llist(elmnt)) {
    // Tags for the nodes of this element stay below mtag; its own nodes are
    // marked with mtag so that each node's count takes them once (deg0).
    word mtag = tag + mdeg0;
    if (mtag >= maxint) {
      tag = 1;
      reset_markers(n, marker, maxint);
      mtag = tag + mdeg0;
    }

    // Nodes of the element waiting for an update go into two lists: those
    // with two neighbours (this element and one other) and the rest.
    word q2head = 0;
    word qxhead = 0;
    word deg0 = 0;
    for_each_in_element(elmnt, xadj, adjncy, [&](word enode) {
      if (qsize(enode) == 0) return;
      deg0 += qsize(enode);
      marker(enode) = mtag;
      if (dbakw(enode) != 0) return;
      if (dforw(enode) != 2) {
        llist(enode) = qxhead;
        qxhead = enode;
      } else {
        llist(enode) = q2head;
        q2head = enode;
      }
    });

    // Puts enode at the head of the bucket of its new external degree.
    auto reinsert = [&](word enode, word deg) {
      deg = deg - qsize(enode) + 1;
      const word fnode = dhead(deg);
      dforw(enode) = fnode;
      dbakw(enode) = -deg;
      if (fnode > 0) dbakw(fnode) = enode;
      dhead(deg) = enode;
      if (deg < mdeg) mdeg = deg;
    };

    // Two neighbours: when the other one is an element too, every node of
    // both elements with the same two neighbours is indistinguishable from
    // enode and is merged into it.
    for (word enode = q2head; enode > 0; enode = llist(enode)) {
      if (dbakw(enode) != 0) continue;
      ++tag;
      word deg = deg0;
      const word istrt = xadj(enode);
      word nabor = adjncy(istrt);
      if (nabor == elmnt) nabor = adjncy(istrt + 1);
      if (dforw(nabor) >= 0) {
        deg += qsize(nabor);
        reinsert(enode, deg);
        continue;
      }
      for_each_in_element(nabor, xadj, adjncy, [&](word node) {
        if (node == enode || qsize(node) == 0) return;
        if (marker(node) < tag) {
          marker(node) = tag;
          deg += qsize(node);
        } else if (dbakw(node) == 0) {
          if (dforw(node) == 2) {
            qsize(enode) += qsize(node);
            qsize(node) = 0;
            marker(node) = maxint;
            dforw(node) = -enode;
            dbakw(node) = -maxint;
          } else {
            // Outmatched: node has enode's neighbours and more, so its
            // degree cannot fall below enode's; it waits outside the
            // buckets until enode's elimination reaches it.
            dbakw(node) = -maxint;
          }
        }
      });
      reinsert(enode, deg);
    }

    // More neighbours: count every node reached through them once.
    for (word enode = qxhead; enode > 0; enode = llist(enode)) {
      if (dbakw(enode) != 0) continue;
      ++tag;
      word deg = deg0;
      const word istrt = xadj(enode);
      const word istop = xadj(enode + 1) - 1;
      for (word i = istrt; i <= istop; ++i) {
        const word nabor = adjncy(i);
        if (nabor == 0) break;
        if (marker(nabor) >= tag) continue;
        marker(nabor) = tag;
        if (dforw(nabor) >= 0) {
          deg += qsize(nabor);
          continue;
        }
        // Nodes of an element not yet counted.
        for_each_in_element(nabor, xadj, adjncy, [&](word node) {
          if (marker(node) >= tag) return;
          marker(node) = tag;
          deg += qsize(node);
        });
      }
      reinsert(enode, deg);
    }

    tag = mtag;
  }
}

void mmdnum(word n, ivec perm, ivec invp, civec qsize) {
  for (word node = 1; node <= n; ++node) {
    if (qsize(node) <= 0)
      perm(node) = invp(node);   // -representative
    else
      perm(node) = -invp(node);  // its number
  }
  // A merged node takes the next number after its final representative;
  // the chain is shortened on the way.
  for (word node = 1; node <= n; ++node) {
    if (perm(node) > 0) continue;
    word father = node;
    while (perm(father) <= 0) father = -perm(father);
    const word root = father;
    const word num = perm(root) + 1;
    invp(node) = -num;
    perm(root) = num;
    father = node;
    for (;;) {
      const word nextf = -perm(father);
      if (nextf <= 0) break;
      perm(father) = -root;
      father = nextf;
    }
  }
  for (word node = 1; node <= n; ++node) {
    const word num = -invp(node);
    invp(node) = num;
    perm(num) = node;
  }
}

void genmmd(word n, civec xadj, ivec adjncy, ivec invp, ivec perm, word delta, ivec dhead,
            ivec qsize, ivec llist, ivec marker, word maxint, word& nofsub) {
  if (n < 1) return;
  mmdint(n, xadj, adjncy, dhead, invp, perm, qsize, llist, marker);

  // Isolated nodes first, in bucket order.
  word num = 1;
  for (word nextmd = dhead(1); nextmd > 0;) {
    const word mdnode = nextmd;
    nextmd = invp(mdnode);
    marker(mdnode) = maxint;
    invp(mdnode) = -num;
    ++num;
  }
  nofsub = 0;
  if (num <= n) {
    word tag = 1;
    dhead(1) = 0;
    word mdeg = 2;
    for (;;) {
      while (dhead(mdeg) <= 0) ++mdeg;
      // One stage: independent nodes of the lowest buckets up to the limit,
      // without degree updates in between.
      const word mdlmt = mdeg + delta;
      word ehead = 0;
      bool finished = false;
      for (;;) {
        const word mdnode = dhead(mdeg);
        if (mdnode <= 0) {
          ++mdeg;
          if (mdeg > mdlmt) break;
          continue;
        }
        const word nextmd = invp(mdnode);
        dhead(mdeg) = nextmd;
        if (nextmd > 0) perm(nextmd) = -mdeg;
        invp(mdnode) = -num;
        nofsub += mdeg + qsize(mdnode) - 2;
        if (num + qsize(mdnode) > n) {
          finished = true;
          break;
        }
        ++tag;
        if (tag >= maxint) {
          tag = 1;
          reset_markers(n, marker, maxint);
        }
        mmdelm(mdnode, xadj, adjncy, dhead, invp, perm, qsize, llist, marker, maxint, tag);
        num += qsize(mdnode);
        llist(mdnode) = ehead;
        ehead = mdnode;
        if (delta < 0) break;
      }
      if (finished || num > n) break;
      mmdupd(ehead, n, xadj, adjncy, delta, mdeg, dhead, invp, perm, qsize, llist, marker, maxint,
             tag);
    }
  }
  mmdnum(n, perm, invp, qsize);
}

}  // namespace zanto
