// How the core's readers and writers fail. Checks of a job return a Refusal
// (api.h); everything that reads or writes files throws:
//   InputError         bad input: a file, a setting or a directory that cannot
//                      be used as it is. what() starts with where the fault is:
//                      "file:line:column: ", "file: " or the flag ("--ranks 0:2: ").
//   std::system_error  a failure of the system (a disk that refuses a write);
//                      what() names the file.
// The command turns the first into exit code 2, the second into 1.
#ifndef ZARNO_ERRORS_H
#define ZARNO_ERRORS_H

#include <stdexcept>

namespace zarno {

class InputError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A run directory that cannot be surveyed (not one, runs of other data,
// corrupt files); what() names the file.
class RunDirError : public InputError {
public:
    using InputError::InputError;
};

}  // namespace zarno

#endif
