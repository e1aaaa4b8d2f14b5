# Run after the R of sections 1.1 and 7: the files they wrote are checked
# against the raw files read another way (split by hand, ids looked up by name).
want <- function(ok, what) if (!isTRUE(all(ok))) stop("check failed: ", what, call. = FALSE)

raw <- function(file) {
  l <- readLines(file)
  f <- lapply(strsplit(paste0(l, ",."), ",", fixed = TRUE), function(x) trimws(head(x, -1)))
  m <- do.call(rbind, f[-1])
  colnames(m) <- f[[1]]
  m
}
rp <- raw("pedigree_raw.txt")
rd <- raw("data_raw.txt")
unknown <- function(x) x %in% c("0", "NA", "")
missing <- function(x) x %in% c("NA", "") | suppressWarnings(as.numeric(x)) %in% -999
num_file <- function(file, ncol) {
  x <- scan(file, quiet = TRUE)
  want(length(x) %% ncol == 0, paste(file, "holds", ncol, "columns"))
  matrix(x, ncol = ncol, byrow = TRUE)
}

# 1.1: the records that observe a trait, every id once, unknown parents 0.
kept <- !(missing(rd[, "weight"]) & missing(rd[, "gain"]))
want(sum(!kept) >= 10 && any(rp[, "dam"] == "") && any(rp[, "sire"] == "0"),
     "the raw files hold records without a trait and unknown parents written \"\" and 0")
expect_ids <- setdiff(unique(c(rp[, "animal"], rp[, "sire"], rp[, "dam"], rd[kept, "animal"])),
                      c("0", "NA", ""))
want(length(ids) == length(expect_ids) && setequal(ids, expect_ids), "ids are the named animals")
A <- length(ids)
name <- function(i) ifelse(i == 0, "", ids[pmax(i, 1)])

pf <- num_file("pedigree.txt", 3)
want(nrow(pf) == nrow(rp), "a pedigree line per raw line")
want(name(pf[, 1]) == rp[, "animal"], "pedigree animals")
for (v in c("sire", "dam"))
  want((pf[, match(v, c("animal", "sire", "dam"))] == 0) == unknown(rp[, v]) &
       (unknown(rp[, v]) | name(pf[, match(v, c("animal", "sire", "dam"))]) == rp[, v]),
       paste("pedigree", v))
writeLines(as.character(A - nrow(rp)), "founders.txt")

df <- num_file("data.txt", 6)
rk <- rd[kept, ]
want(nrow(df) == nrow(rk), "DATAFILE: the records that observe a trait")
for (t in 1:2) {
  tok <- rk[, c("weight", "gain")[t]]
  want((df[, t] == 0) == missing(tok), paste("trait", t, "missing exactly where coded"))
  want(missing(tok) | abs(df[, t] - suppressWarnings(as.numeric(tok))) < 1e-9, paste("trait", t, "values"))
}
herd <- rk[, "herd"]
want((df[, 3] == 0) == (herd == ""), "a missing herd is 0")
hl <- unique(data.frame(h = herd, l = df[, 3])[herd != "", ])
want(!anyDuplicated(hl$h) && !anyDuplicated(hl$l) && setequal(hl$l, seq_len(nrow(hl))),
     "herds numbered 1 to their count, one level each")
age <- suppressWarnings(as.numeric(rk[, "age"]))
want(abs(df[, 4] - ifelse(is.na(age), 0, age - mean(age, na.rm = TRUE))) < 1e-9, "age centred, missing 0")
want(name(df[, 5]) == rk[, "animal"], "data animals")

# 7, sire file: each sire by its own sire and its dam's sire, looked up by name.
rsire <- function(a) { v <- rp[match(a, rp[, "animal"]), "sire"]; ifelse(is.na(v) | unknown(v), "", v) }
rdam <- function(a) { v <- rp[match(a, rp[, "animal"]), "dam"]; ifelse(is.na(v) | unknown(v), "", v) }
sf <- num_file("sires.txt", 3)
sname <- function(l) ifelse(l == 0, "", ids[sires[pmax(l, 1)]])
want(sf[, 1] == seq_len(nrow(sf)) & nrow(sf) == length(unique(sires)), "a sire line per sire, in order")
want(sname(sf[, 2]) == rsire(sname(sf[, 1])), "sire of the sire")
want(sname(sf[, 3]) == rsire(rdam(sname(sf[, 1]))), "maternal grandsire")
want(sname(df[, 6]) == rsire(rk[, "animal"]), "the data's sire column")

# 7, parent groups: line i animal i, codes from the unknown parents, groups
# numbered A + 1 on without a gap, one group for both parents where a class
# holds founders only, the same class the same group.
uf <- num_file("pedigree_upg.txt", 4)
want(nrow(uf) == A && all(uf[, 1] == 1:A), "line i describes animal i")
line <- match(ids, rp[, "animal"])
us <- is.na(line) | unknown(rp[line, "sire"])
ud <- is.na(line) | unknown(rp[line, "dam"])
want(uf[, 4] == 1 + us + ud, "codes")
want(ifelse(us, uf[, 2] > A, uf[, 2] == pmax(pf[line, 2], 0)), "known sires kept, unknown ones groups")
want(ifelse(ud, uf[, 3] > A, uf[, 3] == pmax(pf[line, 3], 0)), "known dams kept, unknown ones groups")
g <- c(uf[us, 2], uf[ud, 3])
want(setequal(g, A + seq_len(max(g) - A)), "every group level is used")
both <- uf[, 2] == uf[, 3]
want(any(both) && all(us[both] & ud[both]), "a founders-only class has one group for both parents")
want(!any(uf[us & !ud, 2] %in% uf[ud, 3]) && !any(uf[ud & !us, 3] %in% uf[us, 2]),
     "sire and dam groups apart where an animal lacks one parent only")
yr <- as.numeric(substr(ifelse(is.na(line), rd[match(ids, rd[, "animal"]), "birth"], rp[line, "birth"]), 1, 4))
cl <- cut(yr, c(-Inf, 2009, 2014, Inf))
k <- us & !is.na(cl)
want(nrow(unique(data.frame(uf[k, 2], cl[k]))) == length(unique(uf[k, 2])) &&
     length(unique(uf[k, 2])) == length(unique(cl[k])), "one sire group per class of birth years")
want(group_of(uf[us, 2]) == gs[us] & group_of(uf[ud, 3]) == gd[ud], "group_of gives each group level its code")
old <- grepl("^DEO", ids)                       # founders seen only as parents
want(any(old) && all(uf[old, 2] > A & uf[old, 3] > A), "founders seen only as parents get groups")
cat("own data: ok\n")
