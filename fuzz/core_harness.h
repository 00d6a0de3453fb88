// Drives one of the core's file readers with one fuzz input: the command's
// input tables and control files, and the files of a run directory that
// --resume, `zarno survey` and cluster workers read back. Shared by the
// libFuzzer targets and the core's regression test. Every input is written as
// real files and read back; a broken invariant aborts. Only the exceptions a
// reader may throw (InputError with the file first, std::system_error) are
// caught: any other escapes and is a finding.
#ifndef ZARNO_FUZZ_CORE_HARNESS_H
#define ZARNO_FUZZ_CORE_HARNESS_H

#include <cstddef>
#include <cstdint>

namespace zfuzz {

// Byte 0 picks the form of the rest: bit 0 a .csv name, bit 1 gzip-compressed
// here (raw gzip bytes are read as they come too), bit 2 a byte order mark
// before the text, bit 3 uncertainties (every value must be positive). A table
// read is checked against its shape reader and written with the run
// directory's table writer and read back to the same labels and bits.
int Table(const uint8_t* in, size_t size);
// The whole input is a .ctr control file, read by the command's reader and
// compared with the numbers its first two lines hold.
int CoreControl(const uint8_t* in, size_t size);
// The whole input is job.json beside one complete run: the resume check, the
// run directory writer and the survey's reader must agree on it.
int JobJson(const uint8_t* in, size_t size);
// The whole input is the run.json of k2/c1 beside valid matrices: the resume
// check, the summary and the survey's reader must agree on whether it counts.
int RunJson(const uint8_t* in, size_t size);
// The input is split at lines "====" into a run's run.json, amplitudes.tsv,
// patterns.tsv, the held-out twin's run.json, summary.tsv and the cluster's
// plan.json: the survey's reader, the summary writer and the plan's reader.
int RunDirectory(const uint8_t* in, size_t size);

}  // namespace zfuzz

#endif
