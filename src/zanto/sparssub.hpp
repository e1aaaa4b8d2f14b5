// Routines of the sparse factorisation package: fill-reducing ordering,
// symbolic and numeric factorisation, solves, determinants, checks and the
// statistics report.
//
// Every array is supplied by the caller (regions of the driver's work array,
// or plain arrays) as a 1-based view; nothing here allocates.  Trouble is
// reported through integer flags; only checkb, count_nza and figureout write,
// to the stream they are given.
//
// The factor is that of the permuted matrix B (B(invp(i), invp(j)) = A(i, j)),
// B = U D U' with U unit lower triangular.  Column j of U keeps its
// off-diagonal values in lnz(xlnz(j) .. xlnz(j+1)-1), the k-th of them in row
// nzsub(xnzsub(j) + k - 1).  After the numeric step lnz holds -U and diag the
// reciprocals 1/D, 0 where a pivot was dropped.
#pragma once

#include <cstdint>
#include <cstdio>

#include "zanto/work.hpp"

namespace zanto {

// ---- Ordering ------------------------------------------------------------

// Full adjacency structure of the graph of a matrix held as its upper
// triangle in compressed rows.  Diagonal entries, columns 0 and columns above
// n are skipped; count (n words) is scratch.
void unfold(word n, civec ia, civec ja, ivec xadj, ivec adjncy, ivec count);

// Multiple minimum degree ordering.  adjncy is destroyed.  Note invp comes
// before perm.  With n < 1 nothing is written, nofsub included.
void genmmd(word n, civec xadj, ivec adjncy, ivec invp, ivec perm, word delta, ivec dhead,
            ivec qsize, ivec llist, ivec marker, word maxint, word& nofsub);

// The steps of genmmd.  The degree buckets are doubly linked through dforw
// (forward) and dbakw (backward; the head of bucket d holds -d there).
void mmdint(word n, civec xadj, civec adjncy, ivec dhead, ivec dforw, ivec dbakw, ivec qsize,
            ivec llist, ivec marker);
void mmdelm(word mdnode, civec xadj, ivec adjncy, ivec dhead, ivec dforw, ivec dbakw, ivec qsize,
            ivec llist, ivec marker, word maxint, word tag);
void mmdupd(word ehead, word n, civec xadj, ivec adjncy, word delta, word& mdeg, ivec dhead,
            ivec dforw, ivec dbakw, ivec qsize, ivec llist, ivec marker, word maxint, word& tag);
void mmdnum(word n, ivec perm, ivec invp, civec qsize);

// Quotient minimum degree ordering and its steps.  adjncy is transformed;
// nofsub is the sum of the degrees of the eliminated nodes.
void genqmd(word n, civec xadj, ivec adjncy, ivec perm, ivec invp, ivec deg, ivec marker,
            ivec rchset, ivec nbrhd, ivec qsize, ivec qlink, word& nofsub);
void qmdrch(word root, civec xadj, civec adjncy, civec deg, ivec marker, word& rchsze,
            ivec rchset, word& nhdsze, ivec nbrhd);
void qmdmrg(civec xadj, civec adjncy, ivec deg, ivec qsize, ivec qlink, ivec marker, word deg0,
            word nhdsze, civec nbrhd, ivec rchset, ivec ovrlp);
void qmdqt(word root, civec xadj, ivec adjncy, civec marker, word rchsze, civec rchset,
           civec nbrhd);
void qmdupd(civec xadj, civec adjncy, word nlist, civec list, ivec deg, ivec qsize, ivec qlink,
            ivec marker, ivec rchset, ivec nbrhd);

// ---- Symbolic and numeric factorisation ----------------------------------

// Structure of the factor.  maxsub: in the length of nzsub available, out
// the number used.  flag 1 when nzsub is too short (outputs incomplete).
void smbfct(word n, civec xadj, civec adjncy, civec perm, civec invp, ivec xlnz, word& maxlnz,
            ivec xnzsub, ivec nzsub, word& maxsub, ivec rchlnk, ivec mrglnk, ivec marker,
            word& flag);

// The permuted matrix without its diagonal (ian, jan, an: upper triangle in
// the new numbering) and its diagonal in diag.
void loadap(word n, civec ia, civec ja, crvec a, ivec ian, ivec jan, rvec an, rvec diag,
            civec invp, ivec count);
// The permuted values into the factor's storage; fill positions get 0.
void loadu(word n, civec ian, civec jan, crvec an, civec xlnz, civec nzsub, civec xnzsub,
           rvec lnz, rvec temp);
// Left-looking column Cholesky factorisation that drops pivots below the
// tolerance instead of failing.  iflag is never written.
void fgsfct(word n, civec xlnz, rvec lnz, civec xnzsub, civec nzsub, rvec diag, ivec link,
            ivec first, rvec temp, word& iflag, double tol, word& rank);
// Cholesky factor to the form -U, 1/D.
void merlin(word n, civec xlnz, rvec lnz, rvec diag, double tol);
// The same factorisation in 32-bit reals; stops with iflag 1 at the first
// pivot that is not positive.
void gsfct(word n, civec xlnz, fvec lnz, civec xnzsub, civec nzsub, fvec diag, ivec link,
           ivec first, fvec temp, word& iflag);

// y(p(i)) = x(i).
void permute(word n, crvec x, rvec y, civec p);
// out(i) = p(list(i)).
void spermute(word m, civec list, ivec out, civec p);
// x(list(k)) = 0 for k = 1 .. starts(m+1) - 1.
void zerout(rvec x, civec list, civec starts, word m);
void rzero(word n, rvec x);
void lzero(word n, ivec flags);
// Integer words per 64-bit real.
word fratio();
word ival(word i);

// ---- Solves, determinants, checks ----------------------------------------

// Solves B x = b in place (x holds b on entry).  Note nzsub before xnzsub.
void fullfb(word n, civec xlnz, civec nzsub, civec xnzsub, crvec lnz, crvec diag, rvec x);
// Elimination-tree parent of each column (0 for a root).
void makepath(word n, ivec parent, civec xlnz, civec nzsub, civec xnzsub);
// Path list of the m listed nodes: segment i holds the part of list(i)'s
// path to the root that no earlier listed node covered.  mark must be all
// false on entry and is so again on return.
void segpath(word n, civec list, word m, ivec xpath, ivec path, civec parent, ivec mark);
// Solve along a forward and a backward path list, in place in x.
void fastfb(civec fpath, civec fxpath, word mf, civec bpath, civec bxpath, word mb, civec xlnz,
            civec nzsub, civec xnzsub, crvec lnz, crvec diag, rvec x);
// x(list(i)) = v(i) and v(i) = x(list(i)).
void expand(word m, civec list, crvec v, rvec x);
void compress(word m, civec list, rvec v, crvec x);
// Product and sum of logarithms of the accepted pivots.
void mkdet(word n, crvec diag, double& det);
void mkldet(word n, crvec diag, double& ldet);

// Storage check: records the largest need, and sets flag = option*100 + 1
// when need exceeds what is available (flag untouched otherwise).  Sizes in
// 64 bits, so a need past the range of a word is a shortage, not a wrap.
void checkst(word option, std::int64_t need, std::int64_t& largest, std::int64_t available,
             word& flag);
// Residual check of x against A x = b (A: upper triangle in compressed rows,
// input numbering); t is scratch of n reals.  Writes a line per row and, when
// the mean deviation exceeds tol, three lines and flag 1.
void checkb(word n, civec ia, civec ja, crvec a, crvec x, crvec b, double tol, rvec t,
            std::FILE* unit, word& flag);
// Stored off-diagonal entries; warns on rows that store nothing.
word count_nza(word n, civec ia, civec ja, std::FILE* unit);

// ---- Sparse inverse and storage utilities ---------------------------------

// Elements of the inverse on the caller's own upper pattern, in place in a.
// The factor is consumed: diag and lnz end up holding the inverse's elements
// on the factor's pattern.  w1, w2: n reals; count and ident are integer
// views of n words over the storage of w1 and w2; dest: nze words.  ia
// keeps its values; within a row the diagonal stays first, then the
// elements with invp(c) > invp(i) in their earlier order, then the others by
// increasing column.
void fsinverse1(word n, civec perm, civec invp, rvec diag, civec xnzsub, civec nzsub,
                civec xlnz, rvec lnz, rvec w1, rvec w2, ivec count, ivec ident, ivec dest,
                ivec ia, ivec ja, rvec a);
// Elements of the inverse on the pattern of the matrix, rewritten as full
// symmetric storage (2 nze - n elements: ja and a must have that room); the
// factor is only read.  Scratch: w, zdiag (n reals), lval (maxlnz + n
// reals), lrow and rowcol (maxlnz + n words), xrow (n + 1), cnt, cnt2 (n).
void fsinverse(word n, civec perm, civec invp, crvec diag, civec xnzsub, civec nzsub, civec xlnz,
               crvec lnz, rvec w, rvec lval, rvec zdiag, ivec lrow, ivec xrow, ivec rowcol,
               ivec cnt, ivec cnt2, ivec ia, ivec ja, rvec a);

// n words set to 0.
void zero(word n, ivec x);
// Starts of n buckets from their sizes: starts(1) = 1, starts(r + 1) =
// starts(r) + count(r); count is left zero, ready for filling.
void counts_to_starts(word n, ivec count, ivec starts);
// Starts of the rows of the factor's off-diagonal values; count (n words)
// is left zero.
void factor_row_starts(word n, civec xlnz, civec nzsub, civec xnzsub, ivec count, ivec starts);
// Compressed rows (ia, ja, a) to compressed columns (ib, jb, b), each
// column's elements by increasing row; count: n words.
void rowtocol(civec ia, civec ja, crvec a, ivec ib, ivec jb, rvec b, ivec count, word n);
// The factor's columns to a row-wise copy: row r lists (column, value).
void rowtocolu(civec xlnz, civec nzsub, civec xnzsub, crvec lnz, ivec ib, ivec jb, rvec b,
               ivec count, word n);
// Every element (i, c) of a matrix stored once per pair moves to the row of
// the one of i and c with the smaller key (stable within rows); ia gets the
// new row starts from ia(1).  count: n words, dest: nze words.
void pperm(word n, civec key, ivec ia, ivec ja, rvec a, ivec count, ivec dest);

// ---- Statistics ------------------------------------------------------------

// The driver's statistics record (its slot numbers in comments).
struct Stats {
  std::int64_t nofsub = 0;    // 0: subscripts bound, then subscripts used
  std::int64_t maxlnz = 0;    // 1: off-diagonal values of the factor
  std::int64_t max_need = 0;  // 2: largest storage need checked
  std::int64_t nze = 0;       // 3: stored elements of the last matrix
  double n_numeric = 0;       // 10: numeric factorisations
  double n_solve = 0;         // 11: full solves
  double n_sparse_solve = 0;  // 12: sparse solves
  double n_det = 0;           // 13: determinants and log-determinants
  double n_inverse = 0;       // 14: sparse inverses
  double t_total = 0;         // 19: processor seconds, all calls
  double t_order = 0;         // 20
  double t_symbolic = 0;      // 21
  double t_numeric = 0;       // 23
  double t_solve = 0;         // 24
  double t_inverse = 0;       // 25
  double t_sparse_solve = 0;  // 26
  double max_nf = 0;          // 29: largest right-hand-side list
  double max_path = 0;        // 30: largest path length
  double sum_nf = 0;          // 31
  double sum_nb = 0;          // 32
  double sum_fpath = 0;       // 33
  double sum_bpath = 0;       // 34
};

// The statistics report.
void figureout(word n, std::int64_t available, std::FILE* unit, const Stats& st, word rank);

// Processor time of the process in seconds.
float second();

}  // namespace zanto
