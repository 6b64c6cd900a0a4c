#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zoq {

/// Runs one child process to completion under a hard deadline.
///
/// Blocks the calling thread for at most `deadline` seconds plus up to 5 s of
/// reaping after a kill. Never leaves a zombie behind, whether the run succeeds,
/// fails or is interrupted by an exception.
namespace BoundedProcess {

/// How long to wait for a killed child to be reaped before giving up on it.
inline constexpr double reapGrace = 5.0;

/// Starts `executable` (argv[0] is its path, then exactly `arguments`) with
/// standard input and standard error on /dev/null and standard output on
/// `stdoutFd` (borrowed; the caller keeps and closes it), the caller's
/// environment, and default signal dispositions and mask.
///
/// Throws:
/// - `invalid("deadline")` unless `deadline` is a positive finite number of
///   seconds (nothing is started);
/// - `io("spawn", error)` when the child cannot be started (including an
///   executable that does not exist or cannot be executed);
/// - `deadline` when the child is still running after `deadline` seconds: it is
///   killed with SIGKILL first;
/// - `processFailed(status)` when it ends other than by exiting with 0. The
///   status is the exit code for a normal exit (1..255) and the negated signal
///   number for death by a signal (-9 for SIGKILL), so the two never collide;
/// - `io(operation, errno)` if the kernel refuses to wait ("pidfd_open", "poll",
///   "waitpid"); the child is killed and reaped first.
void run(const std::filesystem::path& executable, const std::vector<std::string>& arguments, double deadline,
         int stdoutFd);

} // namespace BoundedProcess
} // namespace zoq
