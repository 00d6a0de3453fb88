# Time one update round of the R package NMF's weighted 'ls-nmf' method, with
# weights 1/sigma: its update then has the engine's objective.
#
#   Rscript lsnmf.R GENES SAMPLES PATTERNS ROUNDS REPS
#
# The stopping rule stamps the clock after every round and stops after
# ROUNDS + 1; the setup of nmf() and the first round stay outside the timing.
# Prints one JSON object: the median seconds per round over REPS runs, and the
# BLAS in use. ZARNO_CLOCK=wall times wall-clock time instead of the process's
# processor time. Pin the BLAS to one thread through the environment, as
# compare.py does.
suppressMessages(library(NMF))

args <- as.integer(commandArgs(trailingOnly = TRUE))
if (length(args) != 5 || any(is.na(args)) || any(args <= 0))
  stop("usage: Rscript lsnmf.R GENES SAMPLES PATTERNS ROUNDS REPS")
genes <- args[1]; samples <- args[2]; patterns <- args[3]; rounds <- args[4]; reps <- args[5]

# Positive data near rank `patterns` (a small floor keeps every row non-zero,
# which nmf() requires), multiplicative noise, uncertainties growing with the
# value, as in the other benchmarks.
set.seed(12345 + genes + samples + patterns)
a <- matrix(runif(genes * patterns), genes, patterns)
a[matrix(runif(genes * patterns), genes, patterns) < 0.3] <- 0
p <- matrix(runif(patterns * samples), patterns, samples)
data <- (a %*% p + 0.01) * (0.8 + 0.4 * matrix(runif(genes * samples), genes, samples))
sigma <- 0.05 + 0.1 * data

now <- if (Sys.getenv("ZARNO_CLOCK", "cpu") == "cpu") {
  function() { t <- proc.time(); t[["user.self"]] + t[["sys.self"]] }
} else {
  function() as.numeric(Sys.time())
}

time_run <- function() {
  stamps <- numeric(rounds + 1)
  stop_rule <- function(object, i, y, x, ...) {
    stamps[i] <<- now()
    i >= rounds + 1
  }
  fit <- nmf(data, patterns, "ls-nmf", weight = 1 / sigma, seed = "random",
             .stop = stop_rule, .options = "-p")
  if (niter(fit) != rounds + 1) stop("ls-nmf ran ", niter(fit), " rounds, not ", rounds + 1)
  (stamps[rounds + 1] - stamps[1]) / rounds
}

times <- vapply(seq_len(reps), function(i) time_run(), numeric(1))
blas <- sprintf("%s (LAPACK %s)", extSoftVersion()[["BLAS"]], La_library())
cat(sprintf('{"tool": "ls-nmf", "version": "NMF %s, R %s", "seconds_per_round": %.9g, "all": [%s], "blas": "%s"}\n',
            as.character(packageVersion("NMF")), as.character(getRversion()), median(times),
            paste(sprintf("%.9g", times), collapse = ", "), blas))
