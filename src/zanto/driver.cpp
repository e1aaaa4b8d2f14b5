// The package driver: storage checks, the calling order of the package's
// routines, the ordering file and the statistics record.
#include "zanto/driver.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "util/format.hpp"
#include "util/textio.hpp"

namespace zanto {

DriverState& driver_state() {
  static DriverState s;
  return s;
}

namespace {

using i64 = std::int64_t;

void put_line(std::FILE* unit, const std::string& s) {
  if (unit == nullptr) return;
  std::fwrite(s.data(), 1, s.size(), unit);
  std::fputc('\n', unit);
}

// The ordering as the file holds it: a line with n and nofsub, then perm
// and invp under 10I7.  What was in the file beyond is cut off.
void write_ordering(std::FILE* f, word n, word nofsub, civec perm, civec invp) {
  if (f == nullptr) return;
  std::rewind(f);
  std::string s = util::freev(n, nofsub);
  s.push_back('\n');
  util::FmtArgs items;
  for (word k = 1; k <= n; ++k) items.add(perm(k));
  for (word k = 1; k <= n; ++k) items.add(invp(k));
  s += util::format("(10i7)", items);
  s.push_back('\n');
  std::fwrite(s.data(), 1, s.size(), f);
  std::fflush(f);
  const long end = std::ftell(f);
  if (end >= 0 && ftruncate(fileno(f), end) != 0) {
    // A file that cannot be cut keeps stale lines after the ordering;
    // reading it back stops at the values it needs.
  }
}

bool parse_int(const std::string& tok, long& v) {
  if (tok.empty()) return false;
  char* end = nullptr;
  v = std::strtol(tok.c_str(), &end, 10);
  return end != nullptr && *end == '\0';
}

// The file from its start, held as text.
util::TextIn whole_file(std::FILE* f) {
  std::rewind(f);
  std::string text;
  char buf[4096];
  for (std::size_t got; (got = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, got);
  return util::TextIn::from_text(std::move(text));
}

// count values under 10I7: ten fields of seven columns per line, blanks
// ignored, a short line padded with blanks (a blank field reads 0).
bool read_10i7(util::TextIn& in, std::vector<word>& out, long count) {
  std::string_view line;
  out.clear();
  while (static_cast<long>(out.size()) < count) {
    if (!in.getline(line)) return false;
    for (int fld = 0; fld < 10 && static_cast<long>(out.size()) < count; ++fld) {
      std::string tok;
      for (std::size_t c = 7 * static_cast<std::size_t>(fld);
           c < 7 * static_cast<std::size_t>(fld + 1) && c < line.size(); ++c)
        if (line[c] != ' ') tok.push_back(line[c]);
      long v = 0;
      if (!tok.empty() && !parse_int(tok, v)) return false;
      if (v < INT32_MIN || v > INT32_MAX) return false;
      out.push_back(static_cast<word>(v));
    }
  }
  return true;
}

// Option 70.  A file that does not hold an ordering of this order (short,
// corrupt, or not a permutation) gives flag -1 and leaves perm and invp as
// they were.
void read_ordering(std::FILE* f, std::FILE* iout, word n, ivec perm, ivec invp, Stats& st,
                   word& flag) {
  if (f == nullptr) {
    put_line(iout, util::freev("error in unit IOOR "));
    flag = -2;
    return;
  }
  util::TextIn in = whole_file(f);
  // The first line is read list-directed: two integers, over as many lines
  // as it takes.
  word nfile = 0, nofsub = 0;
  if (in.readv(nfile, nofsub) != util::ReadStatus::ok) nfile = 0;
  if (nfile != n) {
    if (nfile != 0) {
      put_line(iout, util::freev("incorrect size of permutation vector"));
      put_line(iout, util::freev("size ", nfile, " found; size ", n, " required"));
    }
    flag = -1;
    return;
  }
  std::vector<word> v;
  if (nofsub < 0 || !read_10i7(in, v, 2L * n)) {
    flag = -1;
    return;
  }
  for (word k = 1; k <= n; ++k) {
    const word p = v[k - 1];
    if (p < 1 || p > n || v[static_cast<std::size_t>(n) + p - 1] != k) {
      flag = -1;
      return;
    }
  }
  for (word k = 1; k <= n; ++k) {
    perm(k) = v[k - 1];
    invp(k) = v[static_cast<std::size_t>(n) + k - 1];
  }
  st.nofsub = nofsub;
}

// Words of the matrix arrays that the full-storage inverse fills.
i64 full_storage_size(word n, civec ia, civec ja) {
  i64 off = 0;
  for (word i = 1; i <= n; ++i)
    for (word k = ia(i); k < ia(i + 1); ++k)
      if (ja(k) != i) ++off;
  return n + 2 * off;
}

// Length of the path list of the m nodes node_at(1..m) (new positions) up
// the elimination tree, each node counted once.
template <class NodeAt>
word path_length(NodeAt node_at, word m, civec parent, ivec mark) {
  word len = 0;
  for (word i = 1; i <= m; ++i)
    for (word node = node_at(i); node != 0 && mark(node) == 0; node = parent(node)) {
      mark(node) = 1;
      ++len;
    }
  for (word i = 1; i <= m; ++i)
    for (word node = node_at(i); node != 0 && mark(node) != 0; node = parent(node)) mark(node) = 0;
  return len;
}

}  // namespace

void zanto(word option, word n, ivec ia, ivec ja, rvec a, rvec sol, word& flag, std::FILE* iout,
           std::FILE* ioor, std::int64_t free, std::int64_t& need, ivec work, civec listf,
           civec listb, word nf, word nb, crvec vals, word same, word& rank) {
  DriverState& ds = driver_state();
  Stats& st = ds.stats;
  flag = 0;
  const float t0 = second();
  if (!ds.first) {
    ds.ratio = fratio();
    ds.first = true;
  }
  const word nze = ia(n + 1) - 1;
  st.nze = nze;
  const i64 avail = std::min<i64>(free, work.n);
  // A failed check leaves at once, before anything is written.
  const auto short_of = [&](i64 size) {
    need = size;
    checkst(option, size, st.max_need, avail, flag);
    return flag != 0;
  };
  const i64 n64 = n;
  const i64 nze64 = nze;

  switch (option) {
    case 10: {
      if (short_of(7 * n64 + 2 + 2 * nze64)) return;
      ivec perm = work.sub(1, n), invp = work.sub(n + 1, n);
      const i64 s = 3 * n64 + 2 + 2 * nze64;
      ivec dhead = work.sub(s, n);
      unfold(n, ia, ja, work.sub(2 * n + 1, n + 1), work.sub(3 * n + 2, 2 * nze), dhead);
      const float t1 = second();
      word nofsub = 0;
      genmmd(n, work.sub(2 * n + 1, n + 1), work.sub(3 * n + 2, 2 * nze), invp, perm, 0, dhead,
             work.sub(s + n, n), work.sub(s + 2 * n, n), work.sub(s + 3 * n, n), 9999999, nofsub);
      st.t_order += second() - t1;
      st.nofsub = nofsub;
      write_ordering(ioor, n, nofsub, perm, invp);
      break;
    }
    case 70: {
      if (work.n < 2 * n64) {
        // No room for the ordering at all: ask for it as a shortage.
        need = 2 * n64;
        checkst(option, need, st.max_need, avail, flag);
        return;
      }
      read_ordering(ioor, iout, n, work.sub(1, n), work.sub(n + 1, n), st, flag);
      break;
    }
    case 20: {
      const i64 nofsub = st.nofsub;
      if (short_of(8 * n64 + 4 + nofsub + 2 * nze64)) return;
      const float t1 = second();
      const i64 s = 4 * n64 + 3 + nofsub;
      ivec xadj = work.sub(s, n + 1), adjncy = work.sub(s + n + 1, 2 * nze);
      const i64 r = s + n + 1 + 2 * nze64;
      ivec rchlnk = work.sub(r, n);
      unfold(n, ia, ja, xadj, adjncy, rchlnk);
      word maxsub = static_cast<word>(nofsub), maxlnz = 0, sflag = 0;
      smbfct(n, xadj, adjncy, work.sub(1, n), work.sub(n + 1, n), work.sub(2 * n + 1, n + 1),
             maxlnz, work.sub(3 * n + 2, n + 1), work.sub(4 * n + 3, maxsub), maxsub, rchlnk,
             work.sub(r + n, n), work.sub(r + 2 * n, n), sflag);
      st.t_symbolic += second() - t1;
      if (sflag != 0) {
        flag = sflag;
        break;
      }
      st.nofsub = maxsub;
      st.maxlnz = maxlnz;
      break;
    }
    case 40: {
      const Layout l = layout(n, st.nofsub, st.maxlnz);
      const i64 f = l.f, g = f + n64 + 1, h = odd(g + nze64), k = odd(h + 2 * nze64);
      if (short_of(k + 2 * n64)) return;
      const float t1 = second();
      const Regions rg = regions(work, n, static_cast<word>(st.nofsub), static_cast<word>(st.maxlnz));
      ivec ian = work.sub(f, n + 1), jan = work.sub(g, nze);
      rvec an = rvec::in(work, h, nze);
      loadap(n, ia, ja, a, ian, jan, an, rg.diag, rg.invp, work.sub(k, n));
      loadu(n, ian, jan, an, rg.xlnz, rg.nzsub, rg.xnzsub, rg.lnz, rvec::in(work, k, n));
      const i64 t = odd(f + 2 * n64);
      if (short_of(t + 2 * n64)) return;
      word iflag = 0;
      fgsfct(n, rg.xlnz, rg.lnz, rg.xnzsub, rg.nzsub, rg.diag, work.sub(f, n),
             work.sub(f + n, n), rvec::in(work, t, n), iflag, ds.tol, rank);
      merlin(n, rg.xlnz, rg.lnz, rg.diag, ds.tol);
      st.n_numeric += 1;
      st.t_numeric += second() - t1;
      break;
    }
    case 50: {
      const Layout l = layout(n, st.nofsub, st.maxlnz);
      need = l.f + 2 * n64;
      const float t1 = second();
      const Regions rg = regions(work, n, static_cast<word>(st.nofsub), static_cast<word>(st.maxlnz));
      rvec temp = rvec::in(work, l.f, n);
      permute(n, sol, temp, rg.invp);
      fullfb(n, rg.xlnz, rg.nzsub, rg.xnzsub, rg.lnz, rg.diag, temp);
      permute(n, temp, sol, rg.perm);
      st.n_solve += 1;
      st.t_solve += second() - t1;
      break;
    }
    case 51:
    case 52: {
      const Layout l = layout(n, st.nofsub, st.maxlnz);
      const i64 f = l.f, u = odd(f + 2 * n64);
      const i64 need0 = u + 2 * n64 + 2 * static_cast<i64>(nf) + 1;
      if (short_of(need0 + 200)) return;
      const Regions rg = regions(work, n, static_cast<word>(st.nofsub), static_cast<word>(st.maxlnz));
      ivec parent = work.sub(f, n), mark = work.sub(f + n, n);
      rvec temp = rvec::in(work, u, n);
      if (option == 51) {
        rzero(n, temp);
        lzero(n, mark);
        makepath(n, parent, rg.xlnz, rg.nzsub, rg.xnzsub);
        break;
      }
      const float t1 = second();
      ivec fxpath = work.sub(u + 2 * n64, nf + 1);
      ivec fnew = work.sub(u + 2 * n64 + nf + 1, nf);
      spermute(nf, listf, fnew, rg.invp);
      // Path lengths are found before the paths are written, so nothing is
      // written past the space that was checked.
      const word plen = path_length([fnew](word i) { return fnew(i); }, nf, parent, mark);
      st.sum_fpath += plen;
      const i64 p = static_cast<i64>(plen) + 1;
      // With the same lists the backward paths are the forward ones.
      ivec fpath, bpath, bxpath = fxpath, bnew = fnew;
      word mb = nf, blen = plen;
      if (same == 1) {
        if (short_of(need0 + p - 1)) return;
        fpath = work.sub(need0, plen);
        segpath(n, fnew, nf, fxpath, fpath, parent, mark);
        bpath = fpath;
      } else {
        // The listed rows' new positions are only looked up here: their
        // region lies beyond the first check.
        const word qlen =
            path_length([&](word i) { return rg.invp(listb(i)); }, nb, parent, mark);
        const i64 q = static_cast<i64>(qlen) + 1;
        if (short_of(need0 + p + 2 * static_cast<i64>(nb) + q - 1)) return;
        fpath = work.sub(need0, plen);
        segpath(n, fnew, nf, fxpath, fpath, parent, mark);
        const i64 bx = need0 + p - 1;
        bxpath = work.sub(bx, nb + 1);
        bnew = work.sub(bx + nb + 1, nb);
        bpath = work.sub(bx + 2 * static_cast<i64>(nb) + 1, qlen);
        spermute(nb, listb, bnew, rg.invp);
        segpath(n, bnew, nb, bxpath, bpath, parent, mark);
        mb = nb;
        blen = qlen;
      }
      zerout(temp, fpath, fxpath, nf);
      if (same != 1) zerout(temp, bpath, bxpath, nb);
      expand(nf, fnew, vals, temp);
      fastfb(fpath, fxpath, nf, bpath, bxpath, mb, rg.xlnz, rg.nzsub, rg.xnzsub, rg.lnz, rg.diag,
             temp);
      compress(mb, bnew, sol, temp);
      st.sum_bpath += blen;
      st.max_path = std::max<double>(st.max_path, blen);
      st.n_sparse_solve += 1;
      st.sum_nf += nf;
      st.sum_nb += nb;
      st.max_nf = std::max<double>(st.max_nf, nf);
      st.max_path = std::max<double>(st.max_path, nb);
      st.t_sparse_solve += second() - t1;
      break;
    }
    case 54:
    case 55: {
      const Regions rg = regions(work, n, static_cast<word>(st.nofsub), static_cast<word>(st.maxlnz));
      double v = 0;
      if (option == 54)
        mkdet(n, rg.diag, v);
      else
        mkldet(n, rg.diag, v);
      sol(1) = v;
      st.n_det += 1;
      break;
    }
    case 56: {
      const Layout l = layout(n, st.nofsub, st.maxlnz);
      checkb(n, ia, ja, a, sol, vals, ds.tol, rvec::in(work, l.f, n), iout, flag);
      break;
    }
    case 60: {
      const i64 m = st.maxlnz;
      const Layout l = layout(n, st.nofsub, m);
      const i64 f = l.f;
      const i64 z2 = odd(f + m + n64), z3 = odd(z2 + 2 * (m + n64)), z4 = z3 + 2 * n64,
                z5 = z4 + n64 + 1, z6 = z5 + m + n64, z7 = z6 + n64, z8 = odd(z7 + n64);
      if (short_of(z8 + 2 * n64)) return;
      const i64 room = full_storage_size(n, ia, ja);
      if (room > ja.n || room > a.n) {
        put_line(iout, util::freev("option 60: room for", room, "matrix elements needed;",
                                   std::min(ja.n, a.n), "given"));
        flag = -3;
        break;
      }
      const float t1 = second();
      const Regions rg = regions(work, n, static_cast<word>(st.nofsub), static_cast<word>(m));
      const word mn = static_cast<word>(m + n64);
      fsinverse(n, rg.perm, rg.invp, rg.diag, rg.xnzsub, rg.nzsub, rg.xlnz, rg.lnz,
                rvec::in(work, z8, n), rvec::in(work, z2, mn), rvec::in(work, z3, n),
                work.sub(f, mn), work.sub(z4, n + 1), work.sub(z5, mn), work.sub(z6, n),
                work.sub(z7, n), ia, ja, a);
      st.n_inverse += 1;
      st.t_inverse += second() - t1;
      break;
    }
    case 61: {
      const Layout l = layout(n, st.nofsub, st.maxlnz);
      const i64 f = l.f;
      if (short_of(f + 5 * n64 + nze64)) return;
      const float t1 = second();
      const Regions rg = regions(work, n, static_cast<word>(st.nofsub), static_cast<word>(st.maxlnz));
      fsinverse1(n, rg.perm, rg.invp, rg.diag, rg.xnzsub, rg.nzsub, rg.xlnz, rg.lnz,
                 rvec::in(work, f, n), rvec::in(work, f + 2 * n64, n), work.sub(f, n),
                 work.sub(f + 2 * n64, n), work.sub(f + 4 * n64, nze), ia, ja, a);
      st.n_inverse += 1;
      st.t_inverse += second() - t1;
      break;
    }
    case 80:
      figureout(n, free, iout, st, rank);
      break;
    default:
      put_line(iout, util::freev("option no. ", option, " not implemented"));
      flag = -99;
      break;
  }
  st.t_total += second() - t0;
}

}  // namespace zanto
