#!/bin/bash
# Runs the R blocks of the manual as written: those of sections 1.1 and 7 on the
# raw files here (text ids, string classes, NA, -999 and empty fields, unknown
# parents written 0, NA and ""), then the program on the files they write, and
# again on the same files exported with ";" and decimal commas; that of section
# 10 on a short chain of the bundled example, and with the lines for a group of
# two effects on a short chain of a simulated maternal model.  Exit 77 (skipped)
# where R or its coda package is missing.
# Usage: run.sh SOURCE_DIR VELMORAN SCRATCH_DIR SIMULATE
set -euo pipefail
src=$1
exe=$2
work=$3
sim=$4
here="$src/tests/manual_r"

if ! command -v Rscript >/dev/null || ! Rscript -e 'library(coda)' >/dev/null 2>&1; then
  echo "skipped: Rscript or the R package coda is missing (Debian: r-base-core r-cran-coda)"
  exit 77
fi

fail() { echo "FAIL: $*"; exit 1; }

rm -rf "$work"
mkdir -p "$work/own" "$work/coda" "$work/maternal"

# Blocks are fenced ```r (indented inside list items); each goes to the run of
# its section, and a block in any other section has no data to run on.  Those
# of sections 1.1 and 7 make one script; of section 10 the first is the
# script, the next two its cols line and its loop for a group of two effects.
awk -v own="$work/own/manual.R" -v coda="$work/coda/manual.R" -v mat="$work/maternal/part" '
  /^<!-- section: / { sec = $3 }
  /^ *```r *$/ {
    if (sec == "own-data" || sec == "pedigree-files") out = own
    else if (sec == "coda") out = nc++ ? mat nc ".R" : coda
    else { print "an R block in section " sec " has nothing to run on"; exit 1 }
    match($0, /^ */); ind = RLENGTH; inb = 1; n[out]++; next
  }
  inb && /^ *``` *$/ { inb = 0; next }
  inb { print substr($0, ind + 1) > out }
  END {
    if (!n[own] || !n[coda]) { print "no R block found in sections 1.1, 7 or 10"; exit 1 }
    if (nc != 3) { print "section 10 has " nc " R blocks, not 3"; exit 1 }
  }
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

# Section 1.1, an export with ";" between fields and decimal commas: the lines
# as written stop in R, and with sep = ";", dec = "," they write the files of
# the comma-separated export, byte for byte.
mkdir -p "$work/semicolon"
cd "$work/semicolon"
for f in pedigree_raw.txt data_raw.txt; do
  sed 's/,/;/g; s/\([0-9]\)\.\([0-9]\)/\1,\2/g' "$here/$f" > "$f"
done
grep -q ';351,1;' data_raw.txt || fail "the \";\" export has no decimal comma"
if Rscript ../own/manual.R > plain.log 2>&1; then fail "the lines as written ran on the \";\" export"; fi
grep -Eq 'more columns than column names|did not have [0-9]+ elements' plain.log ||
  { cat plain.log; fail "the \";\" export: not the error section 1.1 names"; }
sed 's/sep = ","/sep = ";"/' ../own/manual.R > no_dec.R
if Rscript no_dec.R > no_dec.log 2>&1; then fail "sep = \";\" without dec ran on the \";\" export"; fi
grep -q 'holds text: add its missing code to na.strings, or read a file with decimal commas (351,1) with dec = ","' no_dec.log ||
  { cat no_dec.log; fail "sep = \";\" without dec: the stop does not name the decimal comma"; }
sed 's/sep = ","/sep = ";", dec = ","/' ../own/manual.R > semicolon.R
[ "$(grep -c 'sep = ";", dec = ","' semicolon.R)" -eq 2 ] || fail "section 1.1 has not two read.table lines with sep"
Rscript semicolon.R > r.log 2>&1 || { cat r.log; fail "sep = \";\", dec = \",\" on the \";\" export"; }
for f in pedigree.txt data.txt sires.txt pedigree_upg.txt; do
  cmp -s "$f" "../own/$f" || fail "$f from the \";\" export differs from that of the comma-separated one"
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

# Section 10, a group of two effects: its cols line and its loop in the
# script, on a chain of a simulated two-trait maternal model.
cd "$work/maternal"
"$sim" --traits 2 --records 600 --maternal --seed 3 --nround 1205 --nburn 1000 --skip 10 > sim.log ||
  { cat sim.log; fail "simulating the maternal model"; }
echo params.txt | "$exe" > run.log 2>&1 || { tail -20 run.log; fail "velmoran on the maternal model"; }
awk -v cols=part2.R -v loop=part3.R '
  /^cols <- / { while ((getline l < cols) > 0) print l; n++; next }
  /^for \(i in 1:nt\) \{/ { while ((getline l < loop) > 0) print l; n++; cut = 1 }
  !cut { print }
  END { if (n != 2) { print "the cols line or the loop of section 10 not found"; exit 1 } }
' ../coda/manual.R > maternal.R || fail "the lines for a group of two effects do not fit the script"
cat maternal.R "$here/check_coda_maternal.R" > coda.R
Rscript coda.R > r.log 2>&1 || { cat r.log; fail "the R of section 10 for a group of two effects"; }
grep -q '^coda maternal: ok' r.log || { cat r.log; fail "check_coda_maternal.R did not finish"; }
for t in 1 2; do
  for what in "direct heritability" "maternal heritability" "direct-maternal correlation"; do
    grep -Eq "^$what of trait $t :( -?[0-9.]+){3} *\$" r.log ||
      { cat r.log; fail "no line \"$what of trait $t\" with three numbers"; }
  done
done
echo "the manual's R blocks ran as written"
