# A whole rank survey with R's NMF package, the way its users run one: every
# pattern count of a range, several runs each, the package's default method
# and its own convergence stop, then its summary (cophenetic correlation,
# dispersion) per count.
#
#   Rscript nmf_study.R DATA FIRST LAST RUNS CORES
#
# DATA: a header of sample labels, then per gene its name and values, tab-
# separated (the layout zarno run reads). CORES 1 runs sequentially; more use
# the package's own parallel backend. Prints one JSON object as its last line:
# the seconds the study took (reading aside), the package's version and method,
# and per count the iterations of its best run and the survey's measures.
args <- commandArgs(trailingOnly = TRUE)
if (length(args) != 5) stop("usage: Rscript nmf_study.R DATA FIRST LAST RUNS CORES")
data <- args[1]
ranks <- as.integer(args[2]):as.integer(args[3])
runs <- as.integer(args[4])
cores <- as.integer(args[5])

suppressMessages(library(NMF))
x <- as.matrix(read.delim(data, row.names = 1, check.names = FALSE))

# '-p' keeps the package on one core; 'pN' gives its backend N workers.
opt <- if (cores <= 1) "-p" else paste0("p", cores)
start <- proc.time()[["elapsed"]]
fit <- nmf(x, ranks, nrun = runs, seed = 123456, .opt = opt)
seconds <- proc.time()[["elapsed"]] - start

s <- summary(fit)
# Each count's consensus matrix, for the agreement with the generating groups.
cons <- sapply(as.character(ranks), function(k) {
  m <- consensus(fit$fit[[k]])
  paste0("[", paste(apply(m, 1, function(r) paste0("[", paste(sprintf("%.4f", r), collapse = ","), "]")),
                    collapse = ","), "]")
})
per <- sprintf('{"rank":%d,"iterations":%d,"cophenetic":%.6f,"dispersion":%.6f,"rss":%.6g,"consensus":%s}',
               as.integer(s$rank), as.integer(s$niter), s$cophenetic, s$dispersion, s$rss, cons)
cat(sprintf('{"seconds":%.3f,"version":"%s","method":"%s","runs":%d,"cores":%d,"ranks":[%s]}\n',
            seconds, as.character(packageVersion("NMF")), as.character(s$method[1]), runs,
            cores, paste(per, collapse = ",")))
