// Process entry and exit: the set-up order, the exit sequence and the fatal runtime errors.
#pragma once

namespace mirzet::runtime {

// Sets up the handle table, the standard handles and the stream table, runs the program and ends
// the process through the normal exit with the program's status.
[[noreturn]] void start(int argc, char** argv);

// The normal exit: every stream is flushed, then the process ends. A flush that fails turns a
// successful status into 1, so lost output is never reported as success.
[[noreturn]] void exit_normally(int status);

// Writes "runtime error" and the numbered message to standard error, unconverted, and ends the
// process with 255 without flushing any stream.
[[noreturn]] void fatal_error(int number);

}  // namespace mirzet::runtime
