// Drives one file reader with one fuzz input; shared by the libFuzzer targets
// and the regression test. Every input is written as a real file and read
// back; a broken invariant aborts.
#ifndef ZARNO_FUZZ_HARNESS_H
#define ZARNO_FUZZ_HARNESS_H

#include <cstddef>
#include <cstdint>

namespace zfuzz {

// The whole input is the control file; the result is compared with the C
// library's own scan of it.
int Control(const uint8_t* in, size_t size);
// Bytes 0-3 pick Ngenes, Nsamples, uncertFlag and where the data file ends
// and the uncertainty file begins in the rest.
int Data(const uint8_t* in, size_t size);
// Bytes 0-1 pick Nrows and Ncolumns; the rest is the matrix file.
int Matrix(const uint8_t* in, size_t size);
// Bytes 0-1 pick Ngenes and Npatterns; the rest is the link file, read by a
// start with group priors.
int Link(const uint8_t* in, size_t size);

}  // namespace zfuzz

#endif
