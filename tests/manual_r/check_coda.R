# Run after the R of section 10 on a chain of 1205 cycles, burn-in 1000,
# thinning 10: its kept samples, means and quantiles against the program's
# "varcomp" and against "varcompsam" read another way.
want <- function(ok, what) if (!isTRUE(all(ok))) stop("check failed: ", what, call. = FALSE)

# Entries by hand: a cycle line, then 6 values; the last entry (1205) is off
# the thinning and the first 100 are burn-in.
v <- as.numeric(readLines("varcompsam"))
e <- matrix(v, nrow = 7)
want(ncol(e) == 121 && e[1, 121] == 1205, "varcompsam holds 121 entries, the last of cycle 1205")
e <- e[, e[1, ] > 1000 & e[1, ] %% 10 == 0]
want(nrow(p) == 20 && ncol(e) == 20, "the kept cycles 1010 to 1200")
want(abs(p - t(e[-1, ])) == 0, "the kept samples")

# "varcomp" prints the means of the kept samples to 4 decimals.
vc <- readLines("varcomp")
at <- function(title) {
  i <- grep(title, vc, fixed = TRUE)[1]
  m <- as.numeric(unlist(strsplit(trimws(vc[i + 1:2]), " +")))
  m[c(1, 2, 4)]
}
means <- c(at("Average variance components (G)"), at("Average residuals (R)"))
want(abs(colMeans(p) - means) <= 0.5e-4 + 1e-9, "posterior means agree with varcomp")

# The loop's last posteriors: heritability of trait 2 and the genetic correlation.
h <- e[4, ] / (e[4, ] + e[7, ])
r <- e[3, ] / sqrt(e[2, ] * e[4, ])
want(abs(quantile(h2, c(0.025, 0.5, 0.975)) - quantile(h, c(0.025, 0.5, 0.975))) < 1e-12, "heritability")
want(abs(quantile(rg, c(0.025, 0.5, 0.975)) - quantile(r, c(0.025, 0.5, 0.975))) < 1e-12, "correlation")
cat("coda: ok\n")
