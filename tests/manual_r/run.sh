#!/bin/bash
# Runs the R blocks of the manual as written: those of sections 1.1 and 7 on the
# raw files here (text ids, string classes, NA, -999 and empty fields, unknown
# parents written 0, NA and ""), then the program on the files they write; that
# of section 10 on a short chain of the bundled example.  Exit 77 (skipped)
# where R or its coda package is missing.
# Usage: run.sh SOURCE_DIR VELMORAN SCRATCH_DIR
set -euo pipefail
src=$1
exe=$2
work=$3
here="$src/tests/manual_r"

if ! command -v Rscript >/dev/null || ! Rscript -e 'library(coda)' >/dev/null 2>&1; then
  echo "skipped: Rscript or the R package coda is missing (Debian: r-base-core r-cran-coda)"
  exit 77
fi

fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work/own" "$work/coda"

# Blocks are fenced ```r (indented inside list items); each goes to the run of
# its section, and a block in any other section has no data to run on.
awk -v own="$work/own/manual.R" -v coda="$work/coda/manual.R" '
  /^<!-- section: / { sec = $3 }
  /^ *```r *$/ {
    if (sec == "own-data" || sec == "pedigree-files") out = own
    else if (sec == "coda") out = coda
    else { print "an R block in section " sec " has nothing to run on"; exit 1 }
    match($0, /^ */); ind = RLENGTH; inb = 1; n[out]++; next
  }
  inb && /^ *``` *$/ { inb = 0; next }
  inb { print substr($0, ind + 1) > out }
  END { if (!n[own] || !n[coda]) { print "no R block found in sections 1.1, 7 or 10"; exit 1 } }
' "$src/docs/manual.md" || fail "extracting the R blocks of docs/manual.md"

# Sections 1.1 and 7: recode, write the files, the sire file and the parent groups.
cd "$work/own"
cp "$here/pedigree_raw.txt" "$here/data_raw.txt" "$here"/params_*.txt .
cat manual.R "$here/check_own.R" > own.R
Rscript own.R > r.log 2>&1 || { cat r.log; fail "the R of sections 1.1 and 7"; }
grep -q '^own data: ok' r.log || { cat r.log; fail "check_own.R did not finish"; }

# The program takes the written files: the founders it names are those left
# without a line, and no other warning is given.
for model in animal sire upg; do
  echo "params_$model.txt" | "$exe" > "run_$model.log" 2>&1 ||
    { tail -20 "run_$model.log"; fail "velmoran on the $model model of the written files"; }
  grep -i 'warning' "run_$model.log" > "warn_$model.txt" || true
done
founders=$(cat founders.txt)
grep -q "^ *warning: $founders levels of effect 3 have no line in pedigree file pedigree.txt" warn_animal.txt ||
  { cat warn_animal.txt; fail "animal model: no warning of $founders founders"; }
[ "$(wc -l < warn_animal.txt)" -eq 1 ] || { cat warn_animal.txt; fail "animal model: other warnings"; }
for model in sire upg; do
  [ ! -s "warn_$model.txt" ] || { cat "warn_$model.txt"; fail "$model model: warnings"; }
done

# Section 10: a chain of the example whose last cycle is off the thinning.
cd "$work/coda"
cp "$src/examples/data.txt" "$src/examples/pedigree.txt" .
sed 's/^6000 1000 10$/1205 1000 10/' "$src/examples/params.txt" > params.txt
grep -q '^1205 1000 10$' params.txt || fail "MCMC_CHAIN of examples/params.txt not found"
echo params.txt | "$exe" > run.log 2>&1 || { tail -20 run.log; fail "velmoran on the example"; }
cat manual.R "$here/check_coda.R" > coda.R
Rscript coda.R > r.log 2>&1 || { cat r.log; fail "the R of section 10"; }
grep -q '^coda: ok' r.log || { cat r.log; fail "check_coda.R did not finish"; }
for line in "heritability of trait 1 :" "genetic correlation of traits 1 and 2 :" "heritability of trait 2 :"; do
  grep -Eq "^$line( -?[0-9.]+){3} *\$" r.log || { cat r.log; fail "no line \"$line\" with three numbers"; }
done

# A column list that does not fit the file stops with the manual's message.
sed 's/^cols <- c(tri("g"), tri("r")) /cols <- c(tri("g"), "r1_1", "r2_2")/' manual.R > short.R
grep -q '"r1_1", "r2_2")' short.R || fail "the cols line of section 10 not found"
if Rscript short.R > short.log 2>&1; then cat short.log; fail "a short cols ran on"; fi
grep -q 'varcompsam does not read as entries of 6 lines' short.log || { cat short.log; fail "short cols: no message"; }
echo "the manual's R blocks ran as written"
