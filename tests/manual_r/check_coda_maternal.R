# Run after the R of section 10 with its lines for a group of two effects, on
# a chain of a two-trait maternal model of 1205 cycles, burn-in 1000,
# thinning 10: the kept samples and means against "varcomp", and the loop's
# last posteriors against "varcompsam" read another way.
want <- function(ok, what) if (!isTRUE(all(ok))) stop("check failed: ", what, call. = FALSE)

# Entries by hand: a cycle line, then 10 values of G (order 4) and 3 of R.
v <- as.numeric(readLines("varcompsam"))
e <- matrix(v, nrow = 14)
want(ncol(e) == 121 && e[1, 121] == 1205, "varcompsam holds 121 entries of 14 lines, the last of cycle 1205")
e <- e[, e[1, ] > 1000 & e[1, ] %% 10 == 0]
want(ncol(p) == 13 && nrow(p) == 20 && ncol(e) == 20, "13 columns, the kept cycles 1010 to 1200")
want(colnames(p)[c(3, 7, 10)] == c("g1_3", "g2_4", "g4_4"), "the columns named by G's rows")
want(abs(p - t(e[-1, ])) == 0, "the kept samples")

# "varcomp": the upper triangles of the means, by rows, to 4 decimals.
vc <- readLines("varcomp")
upper <- function(title, n) {
  i <- grep(title, vc, fixed = TRUE)[1]
  a <- matrix(as.numeric(unlist(strsplit(trimws(vc[i + 1:n]), " +"))), n, byrow = TRUE)
  unlist(lapply(1:n, function(r) a[r, r:n]))
}
means <- c(upper("Average variance components (G)", 4), upper("Average residuals (R)", 2))
want(abs(colMeans(p) - means) <= 0.5e-4 + 1e-9, "posterior means agree with varcomp")

# The loop's last trait: direct g2_2, maternal g4_4, their covariance g2_4, r2_2.
want(i == 2 && m == 4, "the loop ends at trait 2, maternal row 4")
vp2 <- e[6, ] + e[11, ] + e[8, ] + e[14, ]
qs <- function(x) quantile(x, c(0.025, 0.5, 0.975))
want(abs(qs(el("g", i, i) / vp) - qs(e[6, ] / vp2)) < 1e-12, "direct heritability")
want(abs(qs(el("g", m, m) / vp) - qs(e[11, ] / vp2)) < 1e-12, "maternal heritability")
want(abs(qs(el("g", i, m) / sqrt(el("g", i, i) * el("g", m, m))) - qs(e[8, ] / sqrt(e[6, ] * e[11, ]))) < 1e-12,
     "direct-maternal correlation")
cat("coda maternal: ok\n")
