// Quotient minimum degree ordering.
//
// deg(i) < 0 marks an eliminated node.  marker: 0 free; 1 in the current
// reachable set; -1 an element already absorbed (for good) or a node merged
// into an indistinguishable one; 2 a node whose degree is settled in this
// update.  An eliminated node's list holds the nodes it reaches, continued
// in the storage of absorbed elements through negative entries and ended
// by a 0.
#include "zanto/element_list.hpp"
#include "zanto/sparssub.hpp"

namespace zanto {

void qmdrch(word root, civec xadj, civec adjncy, civec deg, ivec marker, word& rchsze,
            ivec rchset, word& nhdsze, ivec nbrhd) {
  nhdsze = 0;
  rchsze = 0;
  for (word j = xadj(root); j < xadj(root + 1); ++j) {
    const word nabor = adjncy(j);
    if (nabor == 0) return;
    if (marker(nabor) != 0) continue;
    if (deg(nabor) >= 0) {
      ++rchsze;
      rchset(rchsze) = nabor;
      marker(nabor) = 1;
      continue;
    }
    // An eliminated neighbour: take the uneliminated nodes it reaches.
    marker(nabor) = -1;
    ++nhdsze;
    nbrhd(nhdsze) = nabor;
    for_each_in_element(nabor, xadj, adjncy, [&](word node) {
      if (marker(node) != 0) return;
      ++rchsze;
      rchset(rchsze) = node;
      marker(node) = 1;
    });
  }
}

void qmdqt(word root, civec xadj, ivec adjncy, civec marker, word rchsze, civec rchset,
           civec nbrhd) {
  // The reachable set becomes root's list, spilling into the storage of the
  // absorbed elements; each reached node then sees root in place of its
  // first absorbed element.
  word irch = 0;
  word inhd = 0;
  word node = root;
  word end = 0;
  for (;;) {
    const word jstrt = xadj(node);
    const word jstop = xadj(node + 1) - 2;
    bool placed = false;
    for (word j = jstrt; j <= jstop; ++j) {
      ++irch;
      adjncy(j) = rchset(irch);
      if (irch >= rchsze) {
        end = j;
        placed = true;
        break;
      }
    }
    if (placed) break;
    const word link = adjncy(jstop + 1);
    node = -link;
    if (link < 0) continue;
    ++inhd;
    node = nbrhd(inhd);
    adjncy(jstop + 1) = -node;
  }
  adjncy(end + 1) = 0;

  for (irch = 1; irch <= rchsze; ++irch) {
    const word rnode = rchset(irch);
    if (marker(rnode) < 0) continue;
    for (word j = xadj(rnode); j < xadj(rnode + 1); ++j) {
      const word nabor = adjncy(j);
      if (marker(nabor) >= 0) continue;
      adjncy(j) = root;
      break;
    }
  }
}

void qmdmrg(civec xadj, civec adjncy, ivec deg, ivec qsize, ivec qlink, ivec marker, word deg0,
            word nhdsze, civec nbrhd, ivec rchset, ivec ovrlp) {
  if (nhdsze <= 0) return;
  for (word inhd = 1; inhd <= nhdsze; ++inhd) marker(nbrhd(inhd)) = 0;
  for (word inhd = 1; inhd <= nhdsze; ++inhd) {
    const word root = nbrhd(inhd);
    marker(root) = -1;
    word rchsze = 0;
    word novrlp = 0;
    word deg1 = 0;
    // The element's reachable set, and its overlap with the list being
    // updated (marked 1 by the caller).
    for_each_in_element(root, xadj, adjncy, [&](word nabor) {
      const word mark = marker(nabor);
      if (mark == 0) {
        ++rchsze;
        rchset(rchsze) = nabor;
        deg1 += qsize(nabor);
        marker(nabor) = 1;
      } else if (mark == 1) {
        ++novrlp;
        ovrlp(novrlp) = nabor;
        marker(nabor) = 2;
      }
    });
    // Overlap nodes with no neighbour outside are indistinguishable: they
    // form one supernode, chained through qlink.
    word head = 0;
    word mrgsze = 0;
    for (word iov = 1; iov <= novrlp; ++iov) {
      const word node = ovrlp(iov);
      bool outside = false;
      for (word j = xadj(node); j < xadj(node + 1); ++j) {
        if (marker(adjncy(j)) != 0) continue;
        marker(node) = 1;
        outside = true;
        break;
      }
      if (outside) continue;
      mrgsze += qsize(node);
      marker(node) = -1;
      word lnode = node;
      while (qlink(lnode) > 0) lnode = qlink(lnode);
      qlink(lnode) = head;
      head = node;
    }
    if (head > 0) {
      qsize(head) = mrgsze;
      deg(head) = deg0 + deg1 - 1;
      marker(head) = 2;
    }
    marker(nbrhd(inhd)) = 0;
    for (word irch = 1; irch <= rchsze; ++irch) marker(rchset(irch)) = 0;
  }
}

void qmdupd(civec xadj, civec adjncy, word nlist, civec list, ivec deg, ivec qsize, ivec qlink,
            ivec marker, ivec rchset, ivec nbrhd) {
  if (nlist <= 0) return;
  // Elements adjacent to some node of the list; deg0 is the list's weight.
  word deg0 = 0;
  word nhdsze = 0;
  for (word il = 1; il <= nlist; ++il) {
    const word node = list(il);
    deg0 += qsize(node);
    for (word j = xadj(node); j < xadj(node + 1); ++j) {
      const word nabor = adjncy(j);
      if (marker(nabor) != 0 || deg(nabor) >= 0) continue;
      marker(nabor) = -1;
      ++nhdsze;
      nbrhd(nhdsze) = nabor;
    }
  }
  if (nhdsze > 0)
    qmdmrg(xadj, adjncy, deg, qsize, qlink, marker, deg0, nhdsze, nbrhd, rchset,
           nbrhd.sub(nhdsze + 1, nbrhd.n - nhdsze));
  // Degrees of the list's nodes that were not settled by a merge.
  for (word il = 1; il <= nlist; ++il) {
    const word node = list(il);
    const word mark = marker(node);
    if (mark > 1 || mark < 0) continue;
    marker(node) = 2;
    word rchsze = 0;
    word nhd = 0;
    qmdrch(node, xadj, adjncy, deg, marker, rchsze, rchset, nhd, nbrhd);
    word deg1 = deg0;
    for (word irch = 1; irch <= rchsze; ++irch) {
      const word inode = rchset(irch);
      deg1 += qsize(inode);
      marker(inode) = 0;
    }
    deg(node) = deg1 - 1;
    for (word inhd = 1; inhd <= nhd; ++inhd) marker(nbrhd(inhd)) = 0;
  }
}

void genqmd(word n, civec xadj, ivec adjncy, ivec perm, ivec invp, ivec deg, ivec marker,
            ivec rchset, ivec nbrhd, ivec qsize, ivec qlink, word& nofsub) {
  word mindeg = n;
  nofsub = 0;
  for (word node = 1; node <= n; ++node) {
    perm(node) = node;
    invp(node) = node;
    marker(node) = 0;
    qsize(node) = 1;
    qlink(node) = 0;
    const word ndeg = xadj(node + 1) - xadj(node);
    deg(node) = ndeg;
    if (ndeg < mindeg) mindeg = ndeg;
  }
  word num = 0;
  word search = 1;
  word thresh = mindeg;
  mindeg = n;
  while (num < n) {
    // Cyclic search for a node of degree at most the threshold; when none
    // is left, the smallest degree seen becomes the threshold.
    if (num + 1 > search) search = num + 1;
    word node = 0;
    word found = 0;
    for (word j = search; j <= n; ++j) {
      node = perm(j);
      if (marker(node) < 0) continue;
      const word ndeg = deg(node);
      if (ndeg <= thresh) {
        found = j;
        break;
      }
      if (ndeg < mindeg) mindeg = ndeg;
    }
    if (found == 0) {
      search = 1;
      thresh = mindeg;
      mindeg = n;
      continue;
    }
    search = found;
    nofsub += deg(node);
    marker(node) = 1;
    word rchsze = 0;
    word nhdsze = 0;
    qmdrch(node, xadj, adjncy, deg, marker, rchsze, rchset, nhdsze, nbrhd);

    // Number node and the nodes merged into it.
    for (word nxnode = node; nxnode > 0; nxnode = qlink(nxnode)) {
      ++num;
      const word np = invp(nxnode);
      const word ip = perm(num);
      perm(np) = ip;
      invp(ip) = np;
      perm(num) = nxnode;
      invp(nxnode) = num;
      deg(nxnode) = -1;
    }
    if (rchsze <= 0) continue;

    qmdupd(xadj, adjncy, rchsze, rchset, deg, qsize, qlink, marker,
           rchset.sub(rchsze + 1, rchset.n - rchsze), nbrhd.sub(nhdsze + 1, nbrhd.n - nhdsze));
    marker(node) = 0;
    for (word irch = 1; irch <= rchsze; ++irch) {
      const word inode = rchset(irch);
      if (marker(inode) < 0) continue;
      marker(inode) = 0;
      const word ndeg = deg(inode);
      if (ndeg < mindeg) mindeg = ndeg;
      if (ndeg > thresh) continue;
      mindeg = thresh;
      thresh = ndeg;
      search = invp(inode);
    }
    if (nhdsze > 0) qmdqt(node, xadj, adjncy, marker, rchsze, rchset, nbrhd);
  }
}

}  // namespace zanto
