# A whole rank survey with RcppML (alternating least squares by coordinate
# descent), the way its users run one: every pattern count of a range,
# several seeds each, its default stop (tol 1e-4), on one thread.
#
#   Rscript rcppml_study.R DATA FIRST LAST RUNS
#
# DATA as for nmf_study.R. Prints one JSON object as its last line: the
# seconds the study took (reading aside), the package's version, and per
# count the iterations of its runs and the consensus matrix of the sample
# assignments (each sample to its largest pattern, the fraction of runs in
# which two samples share one), the rule zarno's survey uses.
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 4) stop("usage: Rscript rcppml_study.R DATA FIRST LAST RUNS")
data <- args[1]
ranks <- as.integer(args[2]):as.integer(args[3])
runs <- as.integer(args[4])

suppressMessages(library(RcppML))
options(RcppML.threads = 1)
x <- as.matrix(read.delim(data, row.names = 1, check.names = FALSE))

start <- proc.time()[["elapsed"]]
fits <- lapply(ranks, function(k) lapply(seq_len(runs), function(r)
  RcppML::nmf(x, k, seed = r, verbose = FALSE)))
seconds <- proc.time()[["elapsed"]] - start

per <- character(0)
for (i in seq_along(ranks)) {
  n <- ncol(x)
  cons <- matrix(0, n, n)
  iters <- integer(0)
  for (m in fits[[i]]) {
    top <- apply(m$h, 2, which.max)
    cons <- cons + outer(top, top, "==")
    iters <- c(iters, as.integer(m$iter))
  }
  cons <- cons / length(fits[[i]])
  rows <- apply(cons, 1, function(r) paste0("[", paste(sprintf("%.4f", r), collapse = ","), "]"))
  per <- c(per, sprintf('{"rank":%d,"iterations":[%s],"consensus":[%s]}', ranks[i],
                        paste(iters, collapse = ","), paste(rows, collapse = ",")))
}
cat(sprintf('{"seconds":%.3f,"version":"%s","runs":%d,"ranks":[%s]}\n', seconds,
            as.character(packageVersion("RcppML")), runs, paste(per, collapse = ",")))
